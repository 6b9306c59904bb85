// Optimisation commands (optimize, minimize, reopt, randomize) and the optimisation run
// that they share with the batch, scan and convergence commands.
#pragma once

#include <functional>
#include <string>

#include "numeric/alloc.h"
#include "shell/words.h"

// Progress report of one run of the restart loop: run r of settings.restart, with the
// minimiser's count; chi-squared components are in TSstore.chi.
using OptProgress = std::function<void(int r, int niter)>;

// The optimisation run: domin "restart" times, each from the tensor as the last left it.
// The first run seeds the simplex with nfirst models, later runs with nlater. A run that
// finds nothing varied sets "restart" to 1. start_model marks the first evaluation as
// that of the user's model as loaded. progress (may be empty) is called after each run.
void optimization_run(const BVec<std::string>& names, const IMat& vary, BVec<Mat>& models, int nfirst, int nlater,
                      bool start_model, const OptProgress& progress);

void optimize(const WordArray& words);
void optimizehelp(int level);
void minimize(const WordArray& words);
void minimizehelp(int level);
void reopt(const WordArray& words);
void reopthelp(int level);
void randomize(const WordArray& words);
void randomizehelp(int level);
