// Step values and interpolation.
//
// setparm turns a range and a number of steps into the value of one step (linear, or
// logarithmic for a negative count); linint/linint2 interpolate linearly in monotonic
// tables; interp1/2/3 interpolate between 2, 4 or 8 neighbours, optionally in the
// logarithm; interp2b is the bilinear form on the unit square; fitplane1/2 fit a
// least-squares plane to four points.
//
// Tables, corner vectors and point lists are addressed from 1 (x[1..n]) like the bounded
// vectors of numeric/alloc.h; any type with operator[] taking that index will do (Vec, a
// matrix row, ...).
#pragma once

#include <cmath>

#include "numeric/alloc.h"

// ---- step values ----

// Value of step i (1..|n|) of n between lo and hi: step 1 is lo and step |n| is hi, linear
// for n > 0 and logarithmic for n <= 0 (lo and hi then non-zero and of one sign). Callers
// asking for a step beyond the first pass |n| >= 2.
double setparm(int n, int i, double lo, double hi);

// ---- linear interpolation in tables ----

namespace interp_detail {
[[noreturn]] void short_table(const char* routine);
[[noreturn]] void not_increasing();
void out_of_range();
// (1 - s) y1 + s y2 with s = (x0 - x1)/(x2 - x1); a flat interval (x1 == x2) gives y1.
inline double blend(double x1, double x2, double y1, double y2, double x0) {
  if (x2 == x1) return y1;
  const double s = (x0 - x1) / (x2 - x1);
  return (1.0 - s) * y1 + s * y2;
}
}  // namespace interp_detail

// y at x0 by linear interpolation in the table x[1..n], y[1..n] (x increasing or
// decreasing, repeated abscissae allowed); written to out and returned. Outside the table
// it warns "x out of range in linint" and extrapolates from the end interval. A table of
// fewer than two entries ends with an ERROR.
template <class XA, class YA>
double linint(const XA& x, const YA& y, int n, double& out, double x0) {
  if (n < 2) interp_detail::short_table("linint");
  const bool up = x[1] < x[n];
  const double lo = up ? x[1] : x[n], hi = up ? x[n] : x[1];
  int k;
  if (x0 < lo) {
    interp_detail::out_of_range();
    k = up ? 1 : n - 1;
  } else if (x0 > hi) {
    interp_detail::out_of_range();
    k = up ? n - 1 : 1;
  } else {
    k = n - 1;
    for (int j = 1; j < n; ++j) {
      const double a = x[j], b = x[j + 1];
      if ((a <= x0 && x0 <= b) || (b <= x0 && x0 <= a)) {
        k = j;
        break;
      }
    }
  }
  return out = interp_detail::blend(x[k], x[k + 1], y[k], y[k + 1], x0);
}

// The same in an increasing table, searching up or down from the interval hint (clamped to
// 1..n-1), so that sequential look-ups that pass their previous interval are fast. A table
// whose last abscissa is below its first ends with "linint2 requires an array that is
// monotonic increasing"; fewer than two entries end with an ERROR.
template <class XA, class YA>
double linint2(const XA& x, const YA& y, int n, int hint, double& out, double x0) {
  if (n < 2) interp_detail::short_table("linint2");
  if (x[n] < x[1]) interp_detail::not_increasing();
  int k;
  if (x0 < x[1]) {
    interp_detail::out_of_range();
    k = 1;
  } else if (x0 > x[n]) {
    interp_detail::out_of_range();
    k = n - 1;
  } else {
    k = hint < 1 ? 1 : (hint > n - 1 ? n - 1 : hint);
    if (x0 > x[k + 1]) {
      while (k < n - 1 && !(x[k] <= x0 && x0 <= x[k + 1])) ++k;
    } else if (!(x0 > x[k] || x0 == x[k])) {
      while (k > 1 && !(x[k] <= x0 && x0 <= x[k + 1])) --k;
    }
  }
  return out = interp_detail::blend(x[k], x[k + 1], y[k], y[k + 1], x0);
}

// ---- interpolation between neighbours (fractions measured from the first index) ----

// (1 - t) a + t b; with logflag non-zero the same on log10|value| (a and b both positive
// or both negative, else "cannot do log interpolation across zero").
double interp1(double t, double a, double b, int logflag);
// Bilinear in m[i1..i2][j1..j2] with t along the first index and u along the second; four
// equal corners give their value.
double interp2(const Mat& m, int i1, int i2, int j1, int j2, int logflag, double t, double u);
// Trilinear in T over the eight corners; eight equal corners give their value.
double interp3(const Tensor3& T, int i1, int i2, int j1, int j2, int k1, int k2, double t, double u, double v,
               int logflag);

// Corners c[1] at (0, 0), c[2] at (1, 0), c[3] at (0, 1), c[4] at (1, 1) of the unit
// square.
template <class CA>
double interp2b(const CA& c, double t, double u) {
  return c[1] + (c[2] - c[1]) * t + (c[3] - c[1]) * u + t * u * (c[1] - c[2] - c[3] + c[4]);
}

// ---- least-squares plane through four points ----

// The plane z = p x + q y + r minimising the squared residuals over the points
// (x[k], y[k], z[k]), k = 1..4, and the rms residual.
template <class XA, class YA, class ZA>
void fitplane1(const XA& x, const YA& y, const ZA& z, double& p, double& q, double& r, double& rms) {
  // Normal equations about the centroid, solved in closed form.
  const double xm = 0.25 * (x[1] + x[2] + x[3] + x[4]);
  const double ym = 0.25 * (y[1] + y[2] + y[3] + y[4]);
  const double zm = 0.25 * (z[1] + z[2] + z[3] + z[4]);
  double sxx = 0, sxy = 0, syy = 0, sxz = 0, syz = 0;
  for (int k = 1; k <= 4; ++k) {
    const double dx = x[k] - xm, dy = y[k] - ym, dz = z[k] - zm;
    sxx += dx * dx;
    sxy += dx * dy;
    syy += dy * dy;
    sxz += dx * dz;
    syz += dy * dz;
  }
  const double det = sxx * syy - sxy * sxy;
  p = (sxz * syy - syz * sxy) / det;
  q = (syz * sxx - sxz * sxy) / det;
  r = zm - p * xm - q * ym;
  double ss = 0;
  for (int k = 1; k <= 4; ++k) {
    const double e = p * x[k] + q * y[k] + r - z[k];
    ss += e * e;
  }
  rms = std::sqrt(ss / 4.0);
}

// The fitted plane's value at (a, b); rms as in fitplane1.
template <class XA, class YA, class ZA>
double fitplane2(const XA& x, const YA& y, const ZA& z, double a, double b, double& value, double& rms) {
  double p, q, r;
  fitplane1(x, y, z, p, q, r, rms);
  return value = p * a + q * b + r;
}
