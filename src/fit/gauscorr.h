// Relative-position term (chimode 2): the positions of a source's images relative to its
// first image, against the differences of the model deflection there, with unit errors
// correlated by the differencing.
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

// Rebuilds GausCorr for the observed data just loaded (data, data2). Every image enters,
// core images too, without registration shifts; a source of fewer than two images adds
// no relative coordinate.
void proc_GausCorr();
// Returns the chi-squared (the position part of the point-image term; the flux and delay
// parts are 0), sets GausCorr.rms, and copies every observed source into its model
// record. Before any source of two or more images was loaded the program ends
// ("GausCorr seems not to be initialized").
double chiGausCorr(const Mat& params, Mat& srcparams);
