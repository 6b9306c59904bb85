// Fits repeated over a family of inputs: every lens of a batch data set (batchfit), and
// many realisations of the clump populations (clumpmarg).
//
//   batchfit <outbase> [mode] [Rein steps] [istart] [iend]
//   clumpmarg <outbase> <Nran> [jackknife]
//
// batchfit collects one record per lens in outbase.tmp and then splits it into
// outbase.dat (the best-fit reports), outbase-chi.dat (one chi-squared line per lens),
// outbase-p.dat (index, chi^2, h, Rein and the varied parameters per lens) and
// outbase.startN (a model file of the fitted models, one per lens).
//
// clumpmarg averages the likelihood L = exp(-chi^2/2) of a fit over clump realisations,
// directly and through a gamma distribution fitted to the chi-squared values (maximum
// likelihood: ln k - psi(k) = ln <chi^2> - <ln chi^2>, theta = <chi^2>/k, and the mean of
// exp(-chi^2/2) over that distribution is (2/(theta+2))^k), with jackknife errors.
#pragma once

#include <cstdio>
#include <string>

#include "numeric/alloc.h"
#include "shell/words.h"

// One lens record of the batch temporary file: the markers "# index Nimg", "# fit",
// "# chisq" and "# parameters" each followed by their block.
void batchfit_write(FILE* fp, int index, const BVec<std::string>& names, const IMat& vary, const Mat& params,
                    double Rein);

// Splits the records of tmp (outbase.tmp, read from its start) into outbase.dat,
// outbase-chi.dat, outbase-p.dat and outbase.startN.
// Each record is delimited by its own marker lines, so a report of any length (no source
// redshift, a distance-ratio or rms line, extra images, rings) stays in its own block.
// names and vary (of model 1) give the component count of the model file and its vary
// lines; nlens is the count written in its first line.
void batchfit_split(const std::string& outbase, const BVec<std::string>& names, const IMat& vary, int nlens,
                    FILE* tmp);

// Result of clumpmarg_proc. Without a gamma fit, gamma_L, shape and scale are -1.
struct ClumpMargStats {
  double mean_L = 0;    // mean likelihood
  double gamma_L = -1;  // likelihood averaged over the fitted gamma distribution
  double shape = -1;    // gamma shape k
  double scale = -1;    // gamma scale theta
};

// Right-hand side of the gamma-shape equation solved by clumpmarg_func.
extern double clumpmarg_rhs;
// psi(x) - ln x - clumpmarg_rhs.
double clumpmarg_func(double x);
// Statistics of chi[1..n], L[1..n] without entry b (b outside 1..n: all of them).
ClumpMargStats clumpmarg_proc(int b, int n, const Vec& chi, const Vec& L);

void batchfit(const WordArray& words);
void batchfithelp(int level);
void clumpmarg(const WordArray& words);
void clumpmarghelp(int level);
