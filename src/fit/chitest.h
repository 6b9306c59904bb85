// The test term: a known likelihood over the varied component parameters, so that the
// optimisers and samplers can be checked against an exact answer.
//
// L(x) = prod_k p_k(y_k), y = S x, with S a rotation (the identity unless asked for) and
// each factor Gaussian (sig_k > 0) or lognormal (sig_k < 0) about the centre mu = S x0 of
// the model that was current when the term was set up. The term is -2 ln L, every
// factor's normalisation included.
#pragma once

#include "numeric/alloc.h"
#include "shell/words.h"

struct ChiTestState {
  int chitestN = 0;           // dimension; 0 = off
  Vec chitestX, chitestY;     // [1..N] scratch: standard and principal-axes coordinates
  Vec chitestMU, chitestSIG;  // [1..N] centres and dispersions
  Mat chitestS;               // [1..N][1..N] rotation from the standard frame to the axes
  // The vary flags [1..ngal][1..10] as they stood at `chitest on`: they pick the
  // coordinates out of every trial model, whatever the fit varies now.
  int ngal = 0;
  IMat vary;
  // True when the model last scored lay outside a lognormal factor's support: a rejected
  // model, which the pixelated-source term does not send out even when the other factors'
  // normalisations leave slot 5 at or below 1e8.
  bool rejected = false;
};
extern ChiTestState TWchitest;

// Start-up: the term is off.
void init_chitest();

// The term for the trial component parameters gparms [1..NGALMAX][1..10]; 0 while off.
// A lognormal factor whose ratio y_k/mu_k is not positive ends the program ("negative
// ratio in chitest") for the user's start model (start_model true); for a model that a
// minimiser, scan or sampler proposes it costs (1 + (y_k/mu_k)^2) 1e8 in place of that
// factor, and the model counts as rejected.
double chitest_value(const Mat& gparms, bool start_model);

void chitest(const WordArray& words);
void chitesthelp(int level);
