// Point-image chi-squared terms (positions, fluxes and delays of observed images) and the
// record of the correlated-position term. Each term fills slots 1 to 3 of TSstore.chi
// for the trial model loaded by calc_chi and writes the solved source flux and position
// into the trial source matrix.
#pragma once

#include "numeric/alloc.h"

struct GausCorrData {
  int nfull = 0;  // image coordinates: 2 x (images of every observed source)
  int nrel = 0;   // relative coordinates: sum over sources of (2 x images - 2)
  double rms = 0; // sqrt(chi-squared / nrel) of the last evaluation
  Vec resid, relobs;  // [1..nrel]
  Mat dmat;           // [1..nrel][1..nfull]
  Mat ddt, ddtinv;    // [1..nrel][1..nrel]
};
extern GausCorrData GausCorr;

// Source-plane form (chimode 0 or -1).
void chiapprox(const Mat& params, Mat& srcparams);
// Image-plane form (chimode 1).
void chiexact(const Mat& params, Mat& srcparams);
// Correlated-position form (chimode 2).
void chiGausCorr(const Mat& params, Mat& srcparams);
// Rebuilds GausCorr for the observed data just loaded.
void proc_GausCorr();
