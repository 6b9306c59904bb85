// Quadrature and differentiation.
//
// DIFSUB, an adaptive fourth-order Runge-Kutta integrator with step doubling and local
// extrapolation, computes most definite integrals of the program: a system of n integrals
// at once (integrateN) or a single one (integrate1, integrate1b, integrate1z). Beside it:
// Romberg integration on a closed interval (qromb with the trapezoid rule trapzd), on an
// open interval (qromo with the midpoint rules midpnt, midpnt2, midpnt3), Neville
// extrapolation (polint) and a numerical first derivative (deriv).
//
// Function types (any callable, passed by reference and inlined):
//   ScalarFunction      double f(double x)
//   DerivativeFunction  void derivs(double x, const double* y, double* dydx)
//                       y and dydx hold n values addressed from 0 (y[0..n-1]); derivs
//                       fills dydx and must not change y.
//   QuadratureRule      double rule(f, a, b, int n, double& s): stage n of a refinement
//                       sequence of estimates of the integral of f over [a, b]; stage 1
//                       starts the sequence, stage n >= 2 refines the estimate held in s
//                       (which the caller keeps between the stages of one sequence).
//
// Everything here is re-entrant: no integrand, scratch or running estimate lives outside
// the call, so integrals nest freely (an integrand may itself call any integrator,
// including the one integrating it). Scratch lives on the stack of each call; DIFSUB
// allocates only for systems of more than kDifsubStackN equations.
//
// Failures: DIFSUB ends with "too many steps in numerical integration" (fatal); qromb,
// qromo, deriv and polint through nrerror with their own messages.
#pragma once

#include <cmath>
#include <vector>

#include "shell/fatal.h"
#include "shell/settings.h"

namespace integrate_detail {
// Systems up to this many equations keep their scratch on the stack.
constexpr int kDifsubStackN = 16;
// Scratch vectors of one DIFSUB call.
constexpr int kDifsubWork = 9;
[[noreturn]] void too_many_steps();
[[noreturn]] void romberg_failure(const char* routine);

// One classical Runge-Kutta step of size h from (x, y) with dydx = derivs(x, y) given;
// the result goes to yout. yt, dyt, dym are scratch.
template <class Derivs>
inline void rk4(Derivs& derivs, int n, double x, const double* y, const double* dydx, double h,
                double* yout, double* yt, double* dyt, double* dym) {
  const double hh = 0.5 * h, h6 = h / 6.0, xh = x + hh;
  for (int i = 0; i < n; ++i) yt[i] = y[i] + hh * dydx[i];
  derivs(xh, static_cast<const double*>(yt), dyt);
  for (int i = 0; i < n; ++i) yt[i] = y[i] + hh * dyt[i];
  derivs(xh, static_cast<const double*>(yt), dym);
  for (int i = 0; i < n; ++i) {
    yt[i] = y[i] + h * dym[i];
    dym[i] += dyt[i];
  }
  derivs(x + h, static_cast<const double*>(yt), dyt);
  for (int i = 0; i < n; ++i) yout[i] = y[i] + h6 * (dydx[i] + dyt[i] + 2.0 * dym[i]);
}

template <class Derivs>
void difsub_run(Derivs& derivs, int n, double* y, double x1, double x2, double eps, double h1,
                int& nok, int& nbad, int maxstp, double* w) {
  double* ys = w;          // state at the start of the step
  double* k1 = w + n;      // derivative there
  double* ya = w + 2 * n;  // one full step
  double* yb = w + 3 * n;  // two half steps
  double* km = w + 4 * n;  // derivative at the middle
  double* yt = w + 5 * n;
  double* dyt = w + 6 * n;
  double* dym = w + 7 * n;
  double* ymid = w + 8 * n;

  if (h1 == 0.0) h1 = 0.01 * (x2 - x1);
  const double dir = x2 - x1 < 0.0 ? -1.0 : 1.0;
  for (int i = 0; i < n; ++i) ys[i] = y[i];
  double h = std::fabs(h1), x = x1;
  for (;;) {
    derivs(x, static_cast<const double*>(ys), k1);
    for (;;) {
      const bool last = h > std::fabs(x2 - x);
      const double s = last ? x2 - x : dir * h;
      rk4(derivs, n, x, ys, k1, s, ya, yt, dyt, dym);
      const double s2 = 0.5 * s;
      rk4(derivs, n, x, ys, k1, s2, ymid, yt, dyt, dym);
      derivs(x + s2, static_cast<const double*>(ymid), km);
      rk4(derivs, n, x + s2, ymid, km, s2, yb, yt, dyt, dym);
      // Error of the two half steps, absolute below 1 and relative above. A value that
      // is not finite can never be accepted: such a trial is rejected and retried with
      // a quarter of the step, so an integrand that is infinite or not a number at a
      // point it cannot step past ends in the step-limit error, never in a silent NaN.
      double e = 0.0;
      bool finite = true;
      for (int i = 0; i < n; ++i) {
        if (!std::isfinite(ya[i]) || !std::isfinite(yb[i])) finite = false;
        const double q = std::fabs(yb[i] - ya[i]) / (15.0 * std::fmax(1.0, std::fabs(yb[i])));
        if (q > e) e = q;
      }
      e /= eps;
      const double as = std::fabs(s);
      if (finite && e <= 1.0) {
        h = e == 0.0 ? 4.0 * as : 0.9 * as * std::pow(e, -0.2);
        ++nok;
        if (last) {
          for (int i = 0; i < n; ++i) y[i] = (16.0 * yb[i] - ya[i]) / 15.0;
          return;
        }
        if (nok + nbad >= maxstp) too_many_steps();
        for (int i = 0; i < n; ++i) ys[i] = (16.0 * yb[i] - ya[i]) / 15.0;
        x += s;
        break;
      }
      h = finite && !std::isnan(e) ? 0.9 * as * std::pow(e, -0.25) : 0.25 * as;
      ++nbad;
      if (nok + nbad >= maxstp) too_many_steps();
    }
  }
}
}  // namespace integrate_detail

// Integrates the n equations dy/dx = derivs(x, y) from x1 to x2 (x2 < x1 integrates
// backwards). y[0..n-1] holds the values at x1 on entry and those at x2 on return. eps is
// the tolerance; h1 the length of the first trial step (sign ignored; 0 means a hundredth
// of x2 - x1). nok and nbad count accepted and rejected trial steps (incremented, never
// reset); when their sum reaches maxstp the program ends with "too many steps in
// numerical integration". An interval of zero length leaves y unchanged.
template <class Derivs>
void DIFSUB(Derivs&& derivs, int n, double* y, double x1, double x2, double eps, double h1, int& nok,
            int& nbad, int maxstp) {
  if (n <= 0 || x1 == x2) return;
  using integrate_detail::kDifsubStackN;
  using integrate_detail::kDifsubWork;
  if (n <= kDifsubStackN) {
    double w[kDifsubWork * kDifsubStackN];
    integrate_detail::difsub_run(derivs, n, y, x1, x2, eps, h1, nok, nbad, maxstp, w);
  } else {
    std::vector<double> w(static_cast<size_t>(kDifsubWork) * n);
    integrate_detail::difsub_run(derivs, n, y, x1, x2, eps, h1, nok, nbad, maxstp, w.data());
  }
}

// The n integrals from a to b of the components of derivs(x, y) (which may depend on the
// running integrals y): y[0..n-1] starts from zero at a and holds the integrals on
// return. Tolerance settings.inttol, at most 5000 trial steps.
template <class Derivs>
void integrateN(Derivs&& derivs, int n, double* y, double a, double b) {
  for (int i = 0; i < n; ++i) y[i] = 0.0;
  int nok = 0, nbad = 0;
  DIFSUB(derivs, n, y, a, b, settings.inttol, 0.0, nok, nbad, 5000);
}

// The integral of f from a to b (tolerance settings.inttol, at most 5000 trial steps).
template <class F>
double integrate1(F&& f, double a, double b) {
  double y = 0.0;
  int nok = 0, nbad = 0;
  auto rhs = [&f](double x, const double*, double* dydx) { dydx[0] = f(x); };
  DIFSUB(rhs, 1, &y, a, b, settings.inttol, 0.0, nok, nbad, 5000);
  return y;
}
// The same integral. The three names are kept for the three nesting levels at which the
// program uses single integrals (outermost, inside an integrand, inside an inner
// integrand); they are interchangeable, since nothing is shared between calls.
template <class F>
double integrate1b(F&& f, double a, double b) {
  return integrate1(f, a, b);
}
template <class F>
double integrate1z(F&& f, double a, double b) {
  return integrate1(f, a, b);
}

// Neville's algorithm: the value y at x of the polynomial of degree n-1 through the points
// (xa[i], ya[i]), i = 0..n-1, and an estimate dy of its error. Two equal abscissae end
// with "Error in routine polint".
void polint(const double* xa, const double* ya, int n, double x, double& y, double& dy);

// ---- quadrature rules ----

// Extended trapezoid rule (evaluates f at a and b): stage 1 is (b - a)(f(a) + f(b))/2;
// stage n >= 2 adds the 2^(n-2) midpoints of the previous stage's intervals.
struct TrapezoidRule {
  template <class F>
  double operator()(F&& f, double a, double b, int n, double& s) const {
    if (n <= 1) return s = 0.5 * (b - a) * (f(a) + f(b));
    long m = 1;
    for (int j = 2; j < n; ++j) m <<= 1;
    const double del = (b - a) / static_cast<double>(m);
    double sum = 0.0;
    for (long k = 1; k <= m; ++k) sum += f(a + (static_cast<double>(k) - 0.5) * del);
    return s = 0.5 * (s + (b - a) * sum / static_cast<double>(m));
  }
};

// Extended midpoint rule (never evaluates f at a or b): stage 1 is (b - a) f((a + b)/2);
// stage n >= 2 triples the grid, adding 2 * 3^(n-2) new points.
struct MidpointRule {
  template <class F>
  double operator()(F&& f, double a, double b, int n, double& s) const {
    if (n <= 1) return s = (b - a) * f(0.5 * (a + b));
    long m = 1;
    for (int j = 2; j < n; ++j) m *= 3;
    const double tnm = static_cast<double>(m);
    const double del = (b - a) / (3.0 * tnm), ddel = del + del;
    double x = a + 0.5 * del, sum = 0.0;
    for (long k = 1; k <= m; ++k) {
      sum += f(x);
      x += ddel;
      sum += f(x);
      x += del;
    }
    return s = (s + (b - a) * sum / tnm) / 3.0;
  }
};

inline constexpr TrapezoidRule trapzd{};
// Three names for the same midpoint rule: each sequence's running estimate belongs to its
// caller, so any of them may be used at any nesting level.
inline constexpr MidpointRule midpnt{}, midpnt2{}, midpnt3{};

namespace integrate_detail {
template <class F, class Rule>
double romberg(F& f, double a, double b, const Rule& rule, int jmax, double hratio, const char* routine) {
  constexpr int K = 5;
  constexpr double EPS = 1.0e-6;
  double s[32], h[33];
  double est = 0.0;
  h[1] = 1.0;
  for (int j = 1; j <= jmax; ++j) {
    s[j] = rule(f, a, b, j, est);
    // A stage that is not finite can never converge.
    if (!std::isfinite(s[j])) romberg_failure(routine);
    if (j >= K) {
      double ss, dss;
      polint(&h[j - K + 1], &s[j - K + 1], K, 0.0, ss, dss);
      if (std::fabs(dss) <= EPS * std::fabs(ss)) return ss;
    }
    h[j + 1] = hratio * h[j];
  }
  romberg_failure(routine);
}
}  // namespace integrate_detail

// Romberg integral of f over the closed interval [a, b]: trapezoid stages 1 to 25, each
// from the fifth on extrapolated to zero step from the last five; returns when the
// extrapolation error is within 1e-6 of the value. Otherwise "Too many steps in routine
// qromb" (nrerror).
template <class F>
double qromb(F&& f, double a, double b) {
  return integrate_detail::romberg(f, a, b, trapzd, 25, 0.25, "qromb");
}

// Romberg integral of f over [a, b] with an open rule (midpnt): stages 1 to 14, same
// extrapolation and tolerance as qromb. Otherwise "Too many steps in routine qromo".
template <class F, class Rule>
double qromo(F&& f, double a, double b, const Rule& rule) {
  return integrate_detail::romberg(f, a, b, rule, 14, 1.0 / 9.0, "qromo");
}

// First derivative of f at x by forward differences with steps h, h/4, h/16, ...,
// extrapolated linearly to zero step from the last two; returns when the extrapolation
// error is within 1e-5 of the value (after at least three evaluations of f). At most 20
// quotients; then "Too many steps in routine deriv" (nrerror).
template <class F>
double deriv(F&& f, double x, double h) {
  constexpr int kMax = 20;
  constexpr double kTol = 1.0e-5;
  double t[kMax + 1], q[kMax + 1];
  const double f0 = f(x);
  t[1] = 1.0;
  q[1] = (f(x + h) - f0) / h;
  for (int i = 2; i <= kMax; ++i) {
    t[i] = 0.25 * t[i - 1];
    const double hi = h * t[i];
    q[i] = (f(x + hi) - f0) / hi;
    double val, dy;
    polint(&t[i - 1], &q[i - 1], 2, 0.0, val, dy);
    if (std::fabs(dy) <= kTol * std::fabs(val)) return val;
  }
  nrerror("Too many steps in routine deriv");
}
