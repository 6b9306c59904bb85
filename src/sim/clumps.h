// Clump populations: set-up from the parent's convergence, random realisations filed in
// the clump trees, the far-zone multipoles, the small-grid cache of the clump field, and
// the commands that drive them.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>

#include "models/substructure.h"
#include "numeric/random.h"
#include "shell/words.h"

// ---- mass function ----
// S_k = (q^(k+beta) - 1)/(k+beta), ln q where k + beta = 0.
double clump_Sk(int k, double q, double beta);

// ---- populations ----
// Reads one population line of setclumps into its record and sets it up.
void setclumps_line(const WordArray& line, double Rmin, double Rmax);
void do_setclumps(int igal, double Rmin, double Rmax);
// Radial table of component igal (loaded last) between major-axis radii a and b; returns
// the expected mass there. work is scratch [1..n]; pop, when given, receives xout, yout,
// kapout.
double clump_make_Prad(int igal, int n, Vec& rtab, Vec& Ptab, Vec& work, ClumpPop* pop, double a, double b);
// Draws a new realisation of every population (explicit clumps, then far zone); the
// streams advance, so a caller that keeps them gets a new realisation at every call.
void do_drawclumps(RandomStream& Nseed, RandomStream& rseed, RandomStream& gseed);
// The same from three seed values: each starts a fresh stream at -|s| (-1 for 0).
void do_drawclumps(long Nseed, long rseed, long gseed);
// -(|s| + i): the start of the streams of repetition i of a run seeded by s, so that
// repetitions of a positive seed never meet at -1.
inline long repetition_seed(long s, long i) { return -(std::labs(s) + i); }
void do_drawclumps_loc(int i, RandomStream& Nseed, RandomStream& rseed);
void do_drawclumps_far(int i, RandomStream& gseed);
void ClumpWriteProb(FILE* f, const ClumpPop& pop);

// ---- far zone ----
void clump_far_setup(int igal);
// Statistics of values[1..n] without values[k].
void do_jackone(int k, int n, const Vec& values, double& mean, double& sigma, double& skew, double& kurt);
void do_jackknife(int n, const Vec& values, double& mu, double& mu_e, double& sig, double& sig_e, double& skew,
                  double& skew_e, double& kur, double& kur_e);
// True for a population whose far zone takes part in the statistics commands.
bool clump_far_active(const ClumpPop& pop);

// ---- small-grid cache ----
// Builds the cache around the given image positions [1..n][1..2] (lims: dx lo, dx hi, dy lo,
// dy hi); writes the grid points to out when given. Reports unless silent.
void subsave_build(const Mat& images, int n, const double lims[4], int nx, int ny, FILE* out, bool silent);
// Rebuilds the cache (same images and limits) from the current trees, silently.
void subsave_rebuild();
void subsave_free();
// The test of the cache: cached minus full values at random points of every grid.
void subsave_test(FILE* out, int npts);

// ---- commands ----
void setclumps(const WordArray& words);
void setclumpshelp(int level);
void drawclumps(const WordArray& words);
void drawclumpshelp(int level);
void clumplist(const WordArray& words);
void clumplisthelp(int level);
void scaleclumps(const WordArray& words);
void scaleclumpshelp(int level);
void NFWclumps(const WordArray& words);
void NFWclumpshelp(int level);
void writeclumps(const WordArray& words);
void writeclumpshelp(int level);
void checktree(const WordArray& words);
void checktreehelp(int level);
void farclumps(const WordArray& words);
void farclumpshelp(int level);
void clumpIJdist(const WordArray& words);
void clumpIJdisthelp(int level);
void clumptestfar(const WordArray& words);
void clumptestfarhelp(int level);
