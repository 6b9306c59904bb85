// Chi-squared scans: the profile of one parameter (varyone), of the Hubble parameter h
// (varyh), maps over two parameters (varytwo) and grids of up to nine (modelgrid). Every
// scan point is a full re-fit of the other varied parameters by the optimisation run;
// the profile scans start each point from a model extrapolated linearly from the two
// points fitted before it.
//
// Files of a scan with base name B: B.chi (the scanned values and the chi-squared
// components of each point; not for modelgrid), B.dat (the best-fit report of each
// point), both flushed point by point and rewritten in grid order at the end; B.startN
// (every point's model ordered by chi-squared), B.best (report of the best point) and
// B.start (its model file).
#pragma once

#include <string>

#include "numeric/alloc.h"
#include "shell/words.h"

// Numbers of steps (magnitudes) of the two parameters of the current varytwo.
extern int varytwo_jsteps, varytwo_ksteps;

// Start model for the fixed value x of parameter (igal, iparm), extrapolated linearly from
// the anchors P1 and P2 along that parameter (weight 0 when their values of it differ by
// less than 0.01): components 1..Ngal of out become (1 - d) P1 + d P2 with the parameter
// set to x; the rows beyond Ngal become 0.
void extrap(const Mat& P1, const Mat& P2, int igal, int iparm, Mat& out, double x);
// Start model for h = x from P1 fitted at h = a and P2 at h = c: varied parameters are
// extrapolated (weight 0 when |a - c| < 0.01), fixed ones come from model 1 of the set.
void extraph(const Mat& P1, const Mat& P2, Mat& out, double a, double c, double x);
// The models of the model set ordered by increasing chi-squared into out[1..Nref]; each
// is scored in a model store of its own making (model 1, the set's vary flags). The
// source tables are left as they were.
void sorth(BVec<Mat>& out);

// Logarithmic steps (a negative count) need both ends nonzero and of one sign.
inline bool scan_log_range_refused(long steps, double lo, double hi) {
  return steps < 0 && !(lo != 0.0 && hi != 0.0 && (lo > 0.0) == (hi > 0.0));
}
// Index of the value nearest to current among values[1..n] (the first of equal ones).
int nearest_step(const Vec& values, int n, double current);

void do_varytwo(int igal, int iparm, int isteps, int jgal, int jparm, int jsteps, double ilo, double ihi,
                double jlo, double jhi, const std::string& outbase, int extrapflag);

void varyone(const WordArray& words);
void varyonehelp(int level);
void varyh(const WordArray& words);
void varyhhelp(int level);
void varytwo(const WordArray& words);
void varytwohelp(int level);
void modelgrid(const WordArray& words);
void modelgridhelp(int level);
