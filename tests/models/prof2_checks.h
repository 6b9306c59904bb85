// Checks shared by the profile tests: loading a component into `cur`, evaluating a class
// routine, and comparing its derivatives with central finite differences.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "models/component.h"
#include "models/derivs.h"
#include "numeric/constants.h"
#include "shell/fatal.h"
#include "support/test_support.h"

namespace prof2 {

using ClassFn = void (*)(DerivVector&, double, double);

// Loads the parameters that class routines read into the current component.
inline void load(const char* id, double b, double e, double s, double a, double al) {
  cur = CurrentComponent();
  cur.ID = id;
  cur.b = b;
  cur.ep = e;
  cur.ss = s;
  cur.aa = a;
  cur.al = al;
}

inline DerivVector eval(ClassFn f, double x, double y) {
  DerivVector out;
  f(out, x, y);
  return out;
}

// Central differences (step h) of the potential and of the deflection at (x, y) against
// the returned first and second derivatives; tol is relative to max(1, |value|) scaled by
// the size of the values compared. With third = true, also the third derivatives from
// differences of the second derivatives. The class is re-evaluated with the same `cur`
// (the test restores the parameters a class may change, e.g. a zero core replaced).
inline void expect_consistent_derivatives(ClassFn f, double x, double y, double h, double tol,
                                          bool potential = true, bool third = false) {
  const CurrentComponent saved = cur;
  auto at = [&](double px, double py) {
    cur = saved;
    return eval(f, px, py);
  };
  const DerivVector c = at(x, y), xp = at(x + h, y), xm = at(x - h, y), yp = at(x, y + h),
                    ym = at(x, y - h);
  auto near = [&](double fd, double an, const char* what) {
    const double scale = std::fmax(1.0, std::fabs(an));
    EXPECT_NEAR(fd, an, tol * scale) << what << " at (" << x << ", " << y << ")";
  };
  if (potential) {
    near((xp[1] - xm[1]) / (2 * h), c[2], "phi_x from phi");
    near((yp[1] - ym[1]) / (2 * h), c[3], "phi_y from phi");
  }
  near((xp[2] - xm[2]) / (2 * h), c[4], "phi_xx from phi_x");
  near((yp[3] - ym[3]) / (2 * h), c[5], "phi_yy from phi_y");
  near((yp[2] - ym[2]) / (2 * h), c[6], "phi_xy from phi_x");
  near((xp[3] - xm[3]) / (2 * h), c[6], "phi_xy from phi_y");
  if (third) {
    near((xp[4] - xm[4]) / (2 * h), c[7], "phi_xxx");
    near((yp[4] - ym[4]) / (2 * h), c[8], "phi_xxy");
    near((xp[5] - xm[5]) / (2 * h), c[9], "phi_xyy");
    near((yp[5] - ym[5]) / (2 * h), c[10], "phi_yyy");
  }
  cur = saved;
}

// Convergence (phi_xx + phi_yy)/2 of a result.
inline double kappa_of(const DerivVector& d) { return 0.5 * (d[4] + d[5]); }

}  // namespace prof2

// ---- shared reference tools ----

#include <functional>

#include "models/tab.h"

namespace prof2 {

// Adaptive Simpson quadrature: an independent rule for reference values.
inline double simpson_step(const std::function<double(double)>& f, double a, double b, double fa, double fm,
                           double fb, double whole, double tol, int depth) {
  const double m = (a + b) / 2, lm = (a + m) / 2, rm = (m + b) / 2, flm = f(lm), frm = f(rm);
  const double left = (m - a) / 6 * (fa + 4 * flm + fm), right = (b - m) / 6 * (fm + 4 * frm + fb);
  // Converged, or down to the rounding of the values themselves.
  const double diff = std::fabs(left + right - whole);
  // (Every interval is halved at least six times, so that no early coincidence passes.)
  if (depth <= 0 || (depth <= 18 && (diff <= 15 * tol || diff <= 1e-15 * std::fabs(left + right))))
    return left + right + (left + right - whole) / 15;
  return simpson_step(f, a, m, fa, flm, fm, left, tol / 2, depth - 1) +
         simpson_step(f, m, b, fm, frm, fb, right, tol / 2, depth - 1);
}
inline double simpson(const std::function<double(double)>& f, double a, double b, double tol = 1e-12) {
  const double fa = f(a), fb = f(b), fm = f((a + b) / 2);
  return simpson_step(f, a, b, fa, fm, fb, (b - a) / 6 * (fa + 4 * fm + fb), tol, 24);
}

// Surface density at projected radius R of a spherical density rho: 2 int_0^inf rho dz,
// taken with z = R sinh(u), in which the integrand is smooth and falls off exponentially
// for densities steeper than 1/r; the range ends where it has fallen by 1e-17 (slope
// n_out of the density at large radius).
inline double project(const std::function<double(double)>& rho, double R, double tol = 1e-12,
                      double n_out = 2.0) {
  const double umax = 17 * std::log(10.0) / (n_out - 1) + 2;
  return simpson([&](double u) { return 2 * rho(R * std::cosh(u)) * R * std::cosh(u); }, 0, umax, tol);
}

// Appends a table of class `name` made from the numerical class `twin` with parameters
// (b, s, a, al): ne x nr x nt points over ellipticity [elo, ehi], radius [rlo, rhi] and
// angle [tlo, thi] degrees (linear axes), the values at (r cos t, r sin t).
inline void make_table(const char* name, ClassFn twin, double b, double s, double a, double al, double elo,
                       double ehi, int ne, double rlo, double rhi, int nr, double tlo, double thi, int nt) {
  LensTable& t = AddTab();
  t.name = name;
  t.b = b;
  t.s = s;
  t.a = a;
  t.alpha = al;
  const double lo[3] = {elo, rlo, tlo}, hi[3] = {ehi, rhi, thi};
  const int n[3] = {ne, nr, nt};
  t.set_axes(lo, hi, n);
  for (int i = 1; i <= ne; ++i)
    for (int j = 1; j <= nr; ++j)
      for (int l = 1; l <= nt; ++l) {
        const double e = t.node(0, i), r = t.node(1, j), th = t.node(2, l) * kPi / 180;
        load(name, b, e, s, a, al);
        const DerivVector d = eval(twin, r * std::cos(th), r * std::sin(th));
        for (int k = 0; k < 6; ++k) t.at(k, i, j, l) = d[k + 1];
      }
}

}  // namespace prof2
