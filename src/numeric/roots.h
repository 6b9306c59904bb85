// Root finders: Newton-Raphson for a system of equations (mnewt), outward and scanning
// bracketing (zbrac, zbrak) and Brent's root finder (zbrent).
//
// Functions of one variable are callables f(double) -> double. The routines are templates
// over the callable and keep no state between calls.
#pragma once

#include <cmath>
#include <utility>

#include "numeric/alloc.h"
#include "numeric/linalg.h"
#include "shell/fatal.h"

// The system that the grid-free image search solves: fills fvec[1..n] with the residuals
// of the lens equation at x[1..n] and fjac[1..n][1..n] with their Jacobian, changing
// nothing else. Defined by the fitting code; mnewt calls it unless given another system.
void usrfun(const Vec& x, int n, Vec& fvec, Mat& fjac);

namespace roots_detail {
// True when some row i of fjac[1..n][1..n] is entirely zero.
bool has_zero_row(const Mat& fjac, int n);
// Prints the zbrent line on standard output and ends through nrerror.
[[noreturn]] void zbrent_unbracketed(double x1, double f1, double x2, double f2);
}  // namespace roots_detail

// Newton-Raphson for a system: improves x[1..n] in place by at most ntrial steps. Each
// step calls system(x, n, fvec, fjac); it stops when the sum of |fvec| is at most tolf or
// the sum of |dx| at most tolx. A Jacobian with a row of zeros (the step is undefined
// there) ends the iteration like non-convergence: x keeps the last iterate. No failure
// is reported; callers check the residual.
template <class System>
void mnewt(int ntrial, Vec& x, int n, double tolx, double tolf, System&& system) {
  IVec indx(1, n);
  Vec p(1, n), fvec(1, n);
  Mat fjac(1, n, 1, n);
  double d;
  for (int k = 1; k <= ntrial; k++) {
    system(x, n, fvec, fjac);
    double errf = 0.0;
    for (int i = 1; i <= n; i++) errf += std::fabs(fvec[i]);
    if (errf <= tolf) return;
    if (roots_detail::has_zero_row(fjac, n)) return;
    for (int i = 1; i <= n; i++) p[i] = -fvec[i];
    ludcmp(fjac, n, indx, d);
    lubksb(fjac, n, indx, p);
    double errx = 0.0;
    for (int i = 1; i <= n; i++) {
      errx += std::fabs(p[i]);
      x[i] += p[i];
    }
    if (errx <= tolx) return;
  }
}

// The same on the lens equation of the fitting code (usrfun).
inline void mnewt(int ntrial, Vec& x, int n, double tolx, double tolf) {
  mnewt(ntrial, x, n, tolx, tolf, usrfun);
}

// Widens [x1, x2] (both in and out) outward by the factor 1.6, moving the end with the
// smaller |f|, until func changes sign: returns 1 then, or 0 after 50 widenings.
// x1 == x2 ends the program through nrerror ("Bad initial range in zbrac").
template <class Func>
int zbrac(Func&& func, double& x1, double& x2) {
  constexpr double kFactor = 1.6;
  constexpr int kNtry = 50;
  if (x1 == x2) nrerror("Bad initial range in zbrac");
  double f1 = func(x1), f2 = func(x2);
  for (int j = 1; j <= kNtry; j++) {
    if (f1 * f2 < 0.0) return 1;
    if (std::fabs(f1) < std::fabs(f2)) {
      x1 += kFactor * (x1 - x2);
      f1 = func(x1);
    } else {
      x2 += kFactor * (x2 - x1);
      f2 = func(x2);
    }
  }
  return 0;
}

// Scans [x1, x2] in n equal subintervals for sign changes and records each bracketing
// subinterval [xb1[k], xb2[k]], k = 1, 2, ... On entry nb is the room in xb1 and xb2;
// the scan stops when that many are recorded. On return nb is the number recorded.
// A root exactly on an interior grid point is recorded once (in the subinterval that
// ends there), not again in the next one.
template <class Func>
void zbrak(Func&& fx, double x1, double x2, int n, Vec& xb1, Vec& xb2, int& nb) {
  long room = nb;
  if (room > xb1.hi()) room = xb1.hi();
  if (room > xb2.hi()) room = xb2.hi();
  int nbb = 0;
  if (n <= 0 || room < 1 || xb1.lo() > 1 || xb2.lo() > 1) {
    nb = 0;
    return;
  }
  const double dx = (x2 - x1) / n;
  double x = x1;
  double fp = fx(x);
  for (int i = 1; i <= n; i++) {
    x += dx;
    const double fc = fx(x);
    // Signs are compared rather than multiplied (a product of tiny values underflows).
    // A zero at the left end was recorded with the previous subinterval (except at x1).
    const bool change = (fc < 0.0 && fp > 0.0) || (fc > 0.0 && fp < 0.0);
    if (change || fc == 0.0 || (fp == 0.0 && i == 1)) {
      ++nbb;
      xb1[nbb] = x - dx;
      xb2[nbb] = x;
      if (nbb == room) break;
    }
    fp = fc;
  }
  nb = nbb;
}

// Brent's root finder (van Wijngaarden-Dekker-Brent): returns a root of func between x1
// and x2 to the absolute accuracy tol. A zero at either end counts as bracketed; values
// of one sign at both ends print "zbrent: a=... f(a)=... : b=... f(b)=..." on standard
// output and end the program through nrerror ("Root must be bracketed in zbrent").
// After 100 iterations it warns "Maximum number of iterations exceeded in zbrent" and
// returns the best estimate.
template <class Func>
double zbrent(Func&& func, double x1, double x2, double tol) {
  constexpr int kItmax = 100;
  constexpr double kEps = 3.0e-8;
  double a = x1, b = x2, c = x2, d = 0.0, e = 0.0;
  double fa = func(a), fb = func(b);
  if ((fa > 0.0 && fb > 0.0) || (fa < 0.0 && fb < 0.0)) roots_detail::zbrent_unbracketed(a, fa, b, fb);
  double fc = fb;
  for (int iter = 1; iter <= kItmax; iter++) {
    if ((fb > 0.0 && fc > 0.0) || (fb < 0.0 && fc < 0.0)) {
      c = a;  // rename so that the root lies between b and c
      fc = fa;
      e = d = b - a;
    }
    if (std::fabs(fc) < std::fabs(fb)) {
      a = b;
      b = c;
      c = a;
      fa = fb;
      fb = fc;
      fc = fa;
    }
    const double tol1 = 2.0 * kEps * std::fabs(b) + 0.5 * tol;
    const double xm = 0.5 * (c - b);
    if (std::fabs(xm) <= tol1 || fb == 0.0) return b;
    if (std::fabs(e) >= tol1 && std::fabs(fa) > std::fabs(fb)) {
      const double s = fb / fa;  // attempt inverse quadratic interpolation
      double p, q;
      if (a == c) {
        p = 2.0 * xm * s;
        q = 1.0 - s;
      } else {
        q = fa / fc;
        const double r = fb / fc;
        p = s * (2.0 * xm * q * (q - r) - (b - a) * (r - 1.0));
        q = (q - 1.0) * (1.0 - s) * (1.0 - r);
      }
      if (p > 0.0) q = -q;
      p = std::fabs(p);
      const double min1 = 3.0 * xm * q - std::fabs(tol1 * q);
      const double min2 = std::fabs(e * q);
      if (2.0 * p < (min1 < min2 ? min1 : min2)) {
        e = d;  // accept the interpolation
        d = p / q;
      } else {
        d = xm;  // bisection
        e = d;
      }
    } else {
      d = xm;
      e = d;
    }
    a = b;
    fa = fb;
    b += std::fabs(d) > tol1 ? d : (xm >= 0.0 ? std::fabs(tol1) : -std::fabs(tol1));
    fb = func(b);
  }
  warning("Maximum number of iterations exceeded in zbrent");
  return b;
}
