// Power-law variants ("softpow", "alphapot", "alphaT", "tsis", "tpow") and the
// coefficient table of the tabulated singular power law with its loader.
//
// The class routines are declared in models/classes.h; this header holds the table, the
// spline evaluation and the loader command.
#pragma once

#include <string>

#include "models/derivs.h"
#include "numeric/alloc.h"
#include "shell/words.h"

// Uniform cubic B-spline coefficients of six functions T1..T6 of (alpha, q, theta):
// T1 potential, T2 x-deflection, T3 y-deflection, T4 phi_xx, T5 phi_xy, T6 phi_yy.
struct PowerLawTable {
  // Node counts, first and last nodes of the axes alpha, q and theta (radians), and the
  // valid ranges inside them.
  static constexpr int kN1 = 121, kN2 = 109, kN3 = 91;
  static constexpr long kCount = static_cast<long>(kN1 + 2) * (kN2 + 2) * (kN3 + 2);  // 1,269,729
  static constexpr long kStride1 = static_cast<long>(kN2 + 2) * (kN3 + 2);            // 10,323
  static constexpr long kStride2 = kN3 + 2;                                           // 93

  int powlawTflag = 0;   // 1 once a coefficient file has been read
  Mat powlawTlim;        // [1..3][0..5]: n, first node, last node, step, valid from, valid to
  Vec powlawTcoeffs[7];  // [1..6], each [0..kCount-1], index i*kStride1 + j*kStride2 + k
  int alphaTcount[4] = {};  // "alphaT" warnings: [0] no table, [1..3] outcomes 1..3
};
extern PowerLawTable TWpowlaw;

// Fills the fixed axes of powlawTlim (allocating it).
void powlaw_set_axes(PowerLawTable& t);

// Uniform cubic B-spline in three dimensions over coefficients laid out with strides
// (n2 + 2)(n3 + 2), n3 + 2 and 1; (p1, p2, p3) the position, f the first nodes, d the
// steps. n1 is the node count of axis 1 (a position on the last node of an axis is taken
// in the last cell with fraction 1).
double einspline_eval(const Vec& coeffs, int n1, int n2, int n3, double p1, double p2, double p3,
                      double f1, double f2, double f3, double d1, double d2, double d3);
// Spline value of coefficient array k (1..6) at (alpha, q, theta).
double powlawT_interp(int k, double alpha, double q, double theta);

// The tabulated singular power law of the current component (used by "alphaT" with
// s = 0). Returns 1 when out is filled (or nothing is to be done), 0 when the table is
// not loaded or alpha, q or theta lie outside its valid ranges (out then zero).
int powlawT(DerivVector& out, double x, double y);

// Deflection function of "softpow": (2/r)(ln(1 + r/s) - r/(r + s)) in units of b^2/2.
double softpow0phir(double r);

// Command loadpowlawtab <filename>.
void loadpowlawtab(const WordArray& words);
void loadpowlawtabhelp(int level);
// Reads the coefficient records of a file into the table (no messages). Ends with an
// ERROR naming the file when it holds fewer values than the table or a value that is no
// number; the table is then unchanged.
void read_powlawtab(const std::string& path, PowerLawTable& t);
