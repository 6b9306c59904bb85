// Parameter constraints of the fitter: limits, bounds, angle ranges and ties, and the
// routines that apply them to every trial model.
#pragma once

#include <string>

#include "numeric/alloc.h"

// One parameter tie: p[igal][iparm] = ratio x p[jgal][jparm] + zeropt (negative galaxy
// indices name sources). Exact when sigma is 0, a Gaussian term when sigma > 0, a
// lognormal term when sigma < 0. Indices read as trunc(value x 1.000001).
struct PmatchRow {
  double on = 0, igal = 0, iparm = 0, jgal = 0, jparm = 0, ratio = 0, sigma = 0, zeropt = 0;
};

struct ConstraintTables {
  int npmatch = 0;
  BVec<PmatchRow> pmatcharr;  // [1..npmatch]
  int nPA = 0, mpbnd = 0, npbnd = 0, nplim = 0;
};
extern ConstraintTables TScons;

// Index of a table column read as an integer: trunc(value x 1.000001).
inline int constraint_index(double v) { return static_cast<int>(v * 1.000001); }

// Folds amplitudes and angles into their ranges and applies exact ties, in place;
// sparams may be null (no source steps).
void proc_parms(Mat& gparams, Mat* sparams);
// Summed penalty of the hard bounds (0 when the model is admissible).
double check_parms(const BVec<std::string>& names, const Mat& gparams);
// Sets chi slot 5 (limits, bounds and soft ties).
void plimchi(const Mat& gparams, const Mat& sparams);
