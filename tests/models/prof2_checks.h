// Checks shared by the profile tests: loading a component into `cur`, evaluating a class
// routine, and comparing its derivatives with central finite differences.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "models/component.h"
#include "models/derivs.h"
#include "shell/fatal.h"

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

// Message of the FatalError that f throws ("" when it throws none).
template <class F>
std::string fatal_message(F f) {
  try {
    f();
  } catch (const FatalError& e) {
    return e.message;
  }
  return "";
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
