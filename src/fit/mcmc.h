// Markov chain Monte Carlo over the varied parameters of the model store: several chains
// side by side with Gaussian proposals (fixed per-parameter steps, or the running
// covariance of every point so far), the Metropolis rule on the chi-squared of tryparms,
// step-scale tuning from the acceptance rate and the Gelman-Rubin convergence test.
//
// Chain coordinates x[1..n]: the varied parameters in the vector order of the store, then
// h when "hinchain" is 1. Chains and their convergence sums move through the continuous
// values proposed; the rows and models written are processed (angles folded) as every
// written model is. A chain row is the n coordinates, h, the chi-squared and a flag:
// -1 starting point, 0 repeated point, 1 move to a lower or equal chi-squared, 2 accepted
// move to a higher one; as text " %e" per coordinate and " %e %e %d\n".
//
// Files of MCMCrun <outbase>: outbase-<c>.tmp (chain c as it runs, with "tempfiles" 1),
// outbase-p.dat (count line, then the rows kept), outbase.dat (full model reports) and
// outbase.startN (models for setlens, then the vary flags).
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "numeric/alloc.h"
#include "numeric/random.h"
#include "shell/words.h"

// The objective a sampler scores points with: tryparms, or a stand-in set by the tests.
using SamplerObjective = double (*)(Vec& x);

// Control values of MCMCset: MCparms[1..14] (index 0 unused) and the step mode.
struct MCMCControl {
  double MCparms[15] = {0, 10, 1, 1.1, 1.3, 100, 1, 1, 1000, 1e7, 0.05, 10, 0, 0, 1};
  int MCmode = 0;  // 1 simple, 2 adaptive, 3 hybrid (refused)
};
extern MCMCControl MCctl;
// Keywords of MCparms[1..14] in order.
extern const char* const kMCkeywords[15];
// Most chains a run may ask for.
constexpr long kMCMaxChains = 1000000000;

// State of one run (between mcmc_init and mcmc_clear).
struct MCMCRun {
  int MCnvary = 0, MCnvaryg = 0, MCnvarys = 0;
  double MCstep = 1.0;
  Vec MCdumb;                 // [1..n] fixed step of each coordinate
  Mat MCchol;                 // [1..n][1..n] proposal covariance, then its lower factor
  Vec MCq, MCwork;            // [1..n]
  int MCfileflag = 1;
  // In-memory chains (chain files off): MCallpts[c] holds the rows of chain c one after
  // another, n + 3 values each (point, h, chi-squared, flag). Grows with its rows.
  std::vector<std::vector<double>> MCallpts;
  int MChinchain = 0;
  double MChprior[2] = {0, 0};      // mean and width of the h prior
  double saved_hval = 0, saved_hvale = 0;  // the settings before the run
  RandomStream MCrseed, MCgseed, MCsseed;
  double dumbfrac = 0;
  int MCndyn = 0;
  bool active = false;
  SamplerObjective objective = nullptr;  // null: tryparms
};
extern MCMCRun MCrun;

// Rows stored for chain c (1-based) of the in-memory store.
long mcmc_stored_rows(int c);

void mcmc_init();
// Runs the chains; models[1..m] (each [1..NGALMAX][1..10]) seed the first m chains; mode
// "w" writes new result files, "a" appends to them.
void mcmc_run(const BVec<Mat>& models, int m, const std::string& outbase, const char* mode);
void mcmc_clear();

// One step of one chain in the current mode.
void mcmc_step(Vec& x, double& h, double& chi, int& flag);
void mcmc_step_dumb(Vec& x, double& h, double& chi, int& flag);
void mcmc_step_adapt(Vec& x, double& h, double& chi, int& flag);
void mcmc_step_hybrid(Vec& x, double& h, double& chi, int& flag);
// Chi-squared of a chain point (q keeps the values proposed); h receives the
// Hubble parameter of the point.
double mcmc_chider(Vec& q, double& h);
// One chain row: written (and flushed) to stream with chain 0 or the chain files on,
// otherwise appended to chain `chain` of the store.
void mcmc_write2(int chain, FILE* stream, const Vec& point, int flag, double h, double chi);
// " %e" per coordinate, " %s" with text when given, "\n"; flushed.
void mcmc_write1(FILE* stream, const Vec& point, const char* text);

// Gelman-Rubin test of one coordinate after s steps from the per-chain sums of the s + 1
// points of each chain (S[c], Q[c], c = 0..nchain-1): within, between and posterior
// variances and the ratio. s < 2 gives a ratio that is not a number (no convergence).
struct GelmanRubin {
  double W = 0, B = 0, V = 0, Rhat = 0;
};
GelmanRubin gelman_rubin(int nchain, long s, const double* S, const double* Q);
// The step-scale rule at a check: rate below 0.25 divides the scale by stepfac, above 0.75
// multiplies it; in range counts up `inrange`, and the tenth in-range check multiplies it
// and resets the count (returns true then).
bool mcmc_tune_scale(double rate, double stepfac, double& scale, int& inrange);

// Commands.
void MCMCset(const WordArray& words);
void MCMCsethelp(int level);
void MCMCrun(const WordArray& words);
void MCMCrunhelp(int level);
void MCMCbatch(const WordArray& words);
void MCMCbatchhelp(int level);
