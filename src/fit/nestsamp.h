// Nested sampling of the varied parameters of the model store: the evidence and a
// weighted posterior sample, with the control values of nestsampSet and the commands
// nestsampSet, nestsampRun and nestsampDraw.
//
// Files of nestsampRun <outbase>: -tmp (trace), -nest (retired points, then the final live
// points: X, chi^2, w = X L / live and the parameters), -evid (per step: step, X, Ztot,
// Znest, Zlive), -done (evidence and scatter), -best, -mean, -cov, -cdf, -draw, and with
// writelive -live and -pca.
//
// The evidence and every weight are formed from logarithms, so likelihoods far below the
// double range (chi^2 of thousands) leave the results intact; what the files print are
// the same quantities as plain numbers (an evidence below the double range prints 0 with
// a warning giving its logarithm).
#pragma once

#include <string>

#include "fit/nsbound.h"
#include "shell/words.h"

// Control values NSparms[1..14] (index 0 unused) and their keywords.
struct NestSampControl {
  double NSparms[15] = {0, 1, 0, 100, 1000, 1e6, 10, 1, 1.1, 1e-3, 0, 100, 0, 1, 1e8};
};
extern NestSampControl NSctl;
extern const char* const kNSkeywords[15];

// Builds the model store and the run state from the control values (nestsampSet).
void nestsamp_init();
// Releases the run state and the store copy; clears NSflag.
void nestsamp_clear();
// One run with the files under outbase; needs nestsamp_init and the primary box.
void nestsamp_run(const std::string& outbase);

// The results of the last run (for the callers and the tests).
struct NestSampResult {
  unsigned long steps = 0;
  double lnZ = 0;       // ln of the evidence of the retired points
  double lnZtot = 0;    // ln of the whole evidence estimate (per unit prior volume)
  double lnwmax = 0;
  double lnsigZ = 0;    // ln sigma_Z (-infinity for 0)
  double lnsigH = 0;    // ln sigma_H
  double info = 0;      // H / Ztot - ln Ztot
};
extern NestSampResult NSresult;

void nestsampSet(const WordArray& words);
void nestsampSethelp(int level);
void nestsampRun(const WordArray& words);
void nestsampRunhelp(int level);
void nestsampDraw(const WordArray& words);
void nestsampDrawhelp(int level);
