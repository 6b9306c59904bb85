// Curve and ring constraints: their chi-squared terms and the ring-source tables that
// the fit keeps beside the model of each "ring" pseudo-component.
#pragma once

#include <cstdio>
#include <string>

#include "numeric/alloc.h"

struct RingTables {
  int Nring = 0;
  Mat Ringparms;  // [1..NRINGMAX][1..4]: source x, y, e, PA of each ring's source
  IMat Ringvary;  // [1..NRINGMAX][1..4]
};
extern RingTables TSring;

// Slot 6 (curves) and slot 7 (rings) of TSstore.chi.
void chicurve();
void chiring();

// Hooks of the optimiser on the "ring" pseudo-components:
// before an evaluation of a trial model (e and PA into the ring's source);
void ring_trial_hook(const BVec<std::string>& names, const Mat& params, bool check_index);
// at the start of an optimisation (ring sources reset, positions in the start model 0);
void ring_reset_hook(const BVec<std::string>& names, Mat& gref);
// at its end (fitted ring-source positions into the returned model).
void ring_result_hook(const BVec<std::string>& names, const Mat& gtry, Mat& model);

// Writes the source of every loaded ring (the best-fit report); nothing while no ring
// is loaded.
void writeringp(FILE* stream);
