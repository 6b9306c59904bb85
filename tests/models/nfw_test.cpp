// The NFW family: "nfw", "nfwpot", "tnfw2", "tnfw3" and the NFW functions.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <string>

#include "models/classes.h"
#include "models/component.h"
#include "models/elliptical_pattern.h"
#include "numeric/constants.h"
#include "numeric/integrate.h"
#include "shell/fatal.h"
#include "shell/settings.h"
#include "support/test_support.h"

namespace {

using Fn = void (*)(DerivVector&, double, double);

// Loads a component straight into `cur` (component frame: the class routines are called
// directly, major axis along x).
void set_cur(double b, double e, double s, double a = 0, double al = 0) {
  settings = Settings();
  settings.potflag = 1;
  settings.inttol = 1e-6;
  settings.verbose = 1;
  cur = CurrentComponent();
  cur.b = b;
  cur.ep = e;
  cur.ss = s;
  cur.aa = a;
  cur.al = al;
}

DerivVector eval(Fn f, double x, double y) {
  DerivVector o;
  f(o, x, y);
  return o;
}

// Central differences: potential -> deflection and deflection -> second derivatives.
void expect_fd(Fn f, double x, double y, double h, double tol, bool with_pot = true) {
  const DerivVector o = eval(f, x, y);
  const DerivVector xp = eval(f, x + h, y), xm = eval(f, x - h, y);
  const DerivVector yp = eval(f, x, y + h), ym = eval(f, x, y - h);
  if (with_pot) {
    EXPECT_NEAR(o[2], (xp[1] - xm[1]) / (2 * h), tol) << "phi_x at " << x << "," << y;
    EXPECT_NEAR(o[3], (yp[1] - ym[1]) / (2 * h), tol) << "phi_y at " << x << "," << y;
  }
  EXPECT_NEAR(o[4], (xp[2] - xm[2]) / (2 * h), tol) << "phi_xx at " << x << "," << y;
  EXPECT_NEAR(o[5], (yp[3] - ym[3]) / (2 * h), tol) << "phi_yy at " << x << "," << y;
  EXPECT_NEAR(o[6], (yp[2] - ym[2]) / (2 * h), tol) << "phi_xy at " << x << "," << y;
  EXPECT_NEAR(o[6], (xp[3] - xm[3]) / (2 * h), tol) << "phi_yx at " << x << "," << y;
}

// Literature forms of the circular NFW lens (x = r/s, kappa_s = b): the projected density
// 2 kappa_s (1 - F)/(x^2 - 1), the deflection 4 kappa_s s (ln(x/2) + F)/x and the potential
// 4 kappa_s s^2 g(x), g = ln^2(x/2)/2 - 2 artanh^2(sqrt((1-x)/(1+x))) below 1 and
// ln^2(x/2)/2 + 2 arctan^2(sqrt((x-1)/(x+1))) above (Golse & Kneib 2002; Meneghetti's
// lecture notes), with F written through the half-angle forms
// F = 2 artanh(sqrt((1-x)/(1+x)))/sqrt(1-x^2), 2 arctan(sqrt((x-1)/(x+1)))/sqrt(x^2-1).
// Evaluated in long double: ln(x/2) + F cancels to x^2 ln x at small x.
long double lit_F(long double x) {
  if (x < 1) return 2 * std::atanh(std::sqrt((1 - x) / (1 + x))) / std::sqrt(1 - x * x);
  if (x > 1) return 2 * std::atan(std::sqrt((x - 1) / (x + 1))) / std::sqrt(x * x - 1);
  return 1.0;
}
double lit_kappa(double b, long double x) { return static_cast<double>(2 * b * (1 - lit_F(x)) / (x * x - 1)); }
double lit_alpha(double b, double s, long double x) {
  return static_cast<double>(4 * b * s * (std::log(x / 2) + lit_F(x)) / x);
}
double lit_psi(double b, double s, long double x) {
  const long double l = std::log(x / 2);
  long double g;
  if (x < 1) {
    const long double a = std::atanh(std::sqrt((1 - x) / (1 + x)));
    g = 0.5L * l * l - 2 * a * a;
  } else {
    const long double a = std::atan(std::sqrt((x - 1) / (x + 1)));
    g = 0.5L * l * l + 2 * a * a;
  }
  return static_cast<double>(4 * b * s * s * g);
}

// Adaptive Simpson quadrature, independent of the program's integrators.
double simpson(const std::function<double(double)>& f, double a, double b, double eps, double fa, double fm,
               double fb, double whole, int depth) {
  const double m = (a + b) / 2, lm = (a + m) / 2, rm = (m + b) / 2;
  const double flm = f(lm), frm = f(rm);
  const double left = (m - a) / 6 * (fa + 4 * flm + fm), right = (b - m) / 6 * (fm + 4 * frm + fb);
  if (depth <= 0 || std::fabs(left + right - whole) <= 15 * eps) return left + right + (left + right - whole) / 15;
  return simpson(f, a, m, eps / 2, fa, flm, fm, left, depth - 1) + simpson(f, m, b, eps / 2, fm, frm, fb, right, depth - 1);
}
double quad(const std::function<double(double)>& f, double a, double b, double eps = 1e-12) {
  const double fa = f(a), fb = f(b), fm = f((a + b) / 2);
  return simpson(f, a, b, eps, fa, fm, fb, (b - a) / 6 * (fa + 4 * fm + fb), 40);
}

TEST(NfwCircular, MatchesLiteratureClosedForms) {
  const double b = 0.7, s = 2.0;
  set_cur(b, 0.0, s);
  for (double x : {0.003, 0.2, 0.8, 1.5, 4.0, 30.0}) {
    const double r = x * s, ang = 0.6, X = r * std::cos(ang), Y = r * std::sin(ang);
    const DerivVector o = eval(modelclass::nfw, X, Y);
    const double defl = std::hypot(o[2], o[3]);
    EXPECT_NEAR(defl, lit_alpha(b, s, x), 1e-10 * defl) << x;  // F series: x^4 below 0.01
    EXPECT_NEAR(o[1], lit_psi(b, s, x), 1e-11 * (1 + std::fabs(o[1]))) << x;
    EXPECT_NEAR((o[4] + o[5]) / 2, lit_kappa(b, x), 1e-11 * lit_kappa(b, x)) << x;
  }
}

TEST(NfwCircular, FiniteDifferencesAndZeros) {
  set_cur(0.5, 0.0, 1.3);
  for (double r : {0.01, 0.5, 1.3, 1.30001, 3.0}) expect_fd(modelclass::nfw, 0.8 * r, 0.6 * r, 1e-6 * r, 2e-6);
  const DerivVector c = eval(modelclass::nfw, 0, 0);
  for (int k = 1; k <= 10; ++k) EXPECT_EQ(c[k], 0.0);
  set_cur(0.0, 0.3, 0.0);  // b = 0 wins over s = 0
  const DerivVector z = eval(modelclass::nfw, 1, 1);
  for (int k = 1; k <= 10; ++k) EXPECT_EQ(z[k], 0.0);
  set_cur(1.0, 0.3, 0.0);
  EXPECT_EQ(fatal_message([] { eval(modelclass::nfw, 1, 1); }), "NFW scale radius cannot be zero");
}

TEST(NfwElliptical, PoissonAndFiniteDifferences) {
  const double b = 0.8, s = 1.5, e = 0.4, q = 1 - e;
  set_cur(b, e, s);
  settings.inttol = 1e-10;
  for (auto [x, y] : {std::pair{0.3, 0.2}, {1.2, -0.9}, {-2.5, 3.0}, {0.0, 1.1}}) {
    const DerivVector o = eval(modelclass::nfw, x, y);
    const double xi = std::sqrt(x * x + y * y / (q * q));
    // N/q kappa~ with N = q b: the convergence is b kappa~(xi).
    EXPECT_NEAR((o[4] + o[5]) / 2, lit_kappa(b, xi / s), 1e-7) << x << "," << y;
    expect_fd(modelclass::nfw, x, y, 1e-4, 1e-6);
  }
}

TEST(NfwElliptical, ConvergesWithTolerance) {
  // The integrals at inttol 1e-6 agree with those at 1e-11 to about the tolerance.
  set_cur(1.0, 0.3, 1.0);
  settings.inttol = 1e-11;
  const DerivVector ref = eval(modelclass::nfw, 0.7, 0.4);
  for (double tol : {1e-4, 1e-6, 1e-8}) {
    settings.inttol = tol;
    const DerivVector o = eval(modelclass::nfw, 0.7, 0.4);
    for (int k = 1; k <= 6; ++k) EXPECT_NEAR(o[k], ref[k], 20 * tol) << k << " at inttol " << tol;
  }
}

TEST(NfwElliptical, CircularSwitchIsContinuous) {
  // e = 9e-7 takes the circular forms, e = 1e-6 the integrals; they agree.
  set_cur(1.0, 9e-7, 1.0);
  settings.inttol = 1e-10;
  const DerivVector c = eval(modelclass::nfw, 0.7, 0.4);
  cur.ep = 1e-6;
  const DerivVector n = eval(modelclass::nfw, 0.7, 0.4);
  // The fields themselves change by O(e) = 1e-6 between the two.
  for (int k = 1; k <= 6; ++k) EXPECT_NEAR(c[k], n[k], 2e-6 * std::fabs(c[k])) << k;
}

TEST(NfwFunctions, ContinuityAndSpecialValues) {
  EXPECT_DOUBLE_EQ(nfwFfunc(1.0), 1.0);
  auto jump = [](double (*f)(double), double at) {
    const double a = f(at * (1 - 1e-12)), b = f(at * (1 + 1e-12));
    return std::fabs(a - b) / std::fabs(a);
  };
  EXPECT_LT(jump(nfwFfunc, 0.01), 1e-10);
  EXPECT_LT(jump(nfwFfunc, std::sqrt(1.01)), 1e-10);
  EXPECT_LT(jump(nfwFfunc, std::sqrt(0.99)), 1e-10);
  EXPECT_LT(jump(nfw0phir, 1e-4), 1e-10);
  EXPECT_LT(jump(nfw0phir, 0.01), 1e-8);
  EXPECT_LT(jump(nfw_hfunc, 0.01), 1e-9);
  EXPECT_EQ(nfw0phir(0.0), 0.0);
  for (double x : {0.005, 0.3, 0.995, 1.004, 2.0, 50.0}) EXPECT_NEAR(nfwFfunc(x), lit_F(x), 1e-12 * nfwFfunc(x));
}

TEST(NfwMass, DensityAndMass) {
  set_cur(0.3, 0.0, 2.0);
  // dM/dr = 4 pi r^2 rho.
  for (double r : {0.1, 2.0, 17.0}) {
    const double h = 1e-5 * r;
    const double dM = (modelclass::nfw_M(r + h) - modelclass::nfw_M(r - h)) / (2 * h);
    EXPECT_NEAR(dM, 4 * kPi * r * r * modelclass::nfw_rho(r), 1e-8 * dM);
  }
  // Far out: 4 pi b s^2 (ln(r/s) - 1).
  const double r = 1e7;
  EXPECT_NEAR(modelclass::nfw_M(r), 4 * kPi * 0.3 * 4 * (std::log(r / 2) - 1), 1e-5);
}

// ---- nfwpot ----

TEST(NfwPot, CircularLimitEqualsNfw) {
  set_cur(0.6, 0.0, 1.7);
  for (double r : {0.005, 0.9, 1.7, 6.0}) {
    const DerivVector a = eval(modelclass::nfwpot, 0.6 * r, -0.8 * r);
    const DerivVector b = eval(modelclass::nfw, 0.6 * r, -0.8 * r);
    // nfwpot's small-X series reach X^5; nfw's F series stops at X^4 (relative 1e-9 in
    // phi_xy = (B - A) sin cos, a difference of two logarithms, at X = 0.003).
    for (int k = 1; k <= 6; ++k) EXPECT_NEAR(a[k], b[k], 2e-9 * (std::fabs(b[k]) + 1e-6)) << r << " " << k;
  }
}

TEST(NfwPot, EllipticalDerivativesIncludingTheScaleRadius) {
  const double b = 0.9, s = 1.2, e = 0.3, q = 1 - e;
  set_cur(b, e, s);
  // xi = s exactly (X = 1, where the second radial derivative is 0/0 as a quotient),
  // next to it on both sides of the series switch, and in the small-X series.
  for (double X : {1.0, 1 + 3e-5, 1 - 3e-5, 1 + 2e-4, 0.004, 0.3, 2.5}) {
    const double xi = X * s, ang = 0.7;
    const double x = xi * std::cos(ang), y = q * xi * std::sin(ang);
    const DerivVector o = eval(modelclass::nfwpot, x, y);
    for (int k = 1; k <= 6; ++k) EXPECT_TRUE(std::isfinite(o[k])) << X << " " << k;
    expect_fd(modelclass::nfwpot, x, y, 1e-5 * xi, 2e-7 * (1 + std::fabs(o[4])));
  }
  // The second radial derivative is continuous across the switch |X^2 - 1| = 1e-4.
  auto phixx_on_axis = [&](double X) { return eval(modelclass::nfwpot, X * s, 0)[4]; };
  const double g = 1e-4, Xs = std::sqrt(1 + g);
  EXPECT_NEAR(phixx_on_axis(Xs * (1 - 1e-13)), phixx_on_axis(Xs * (1 + 1e-13)), 1e-10);
  EXPECT_NEAR(phixx_on_axis(0.01 * (1 - 1e-13)), phixx_on_axis(0.01 * (1 + 1e-13)), 1e-7);
  // The potential does not depend on potflag; zeros at the centre; s = 0 is an error.
  settings.potflag = 0;
  EXPECT_NE(eval(modelclass::nfwpot, 0.5, 0.5)[1], 0.0);
  const DerivVector c = eval(modelclass::nfwpot, 0, 0);
  for (int k = 1; k <= 10; ++k) EXPECT_EQ(c[k], 0.0);
  cur.ss = 0;
  EXPECT_EQ(fatal_message([] { eval(modelclass::nfwpot, 1, 1); }), "NFW scale radius cannot be zero");
}

// ---- tnfw2 ----

TEST(Tnfw2, CutAtRadius) {
  const double b = 0.5, s = 1.0, a = 3.0;
  set_cur(b, 0.0, s, a);
  // Inside: the NFW fields; the potential is continuous at r = a; r = a uses the inside.
  const DerivVector in = eval(modelclass::tnfw2, 1.2, 0.5);
  const DerivVector nfw = [&] {
    return eval(modelclass::nfw, 1.2, 0.5);
  }();
  for (int k = 2; k <= 6; ++k) EXPECT_NEAR(in[k], nfw[k], 1e-13) << k;
  const DerivVector at = eval(modelclass::tnfw2, a, 0);
  const DerivVector out = eval(modelclass::tnfw2, a * (1 + 1e-12), 0);
  EXPECT_NEAR(at[1], out[1], 1e-10);
  EXPECT_NEAR(at[2], lit_alpha(b, s, a / s), 1e-12);  // inside formula at r = a
  EXPECT_NEAR(at[4] + at[5], 2 * lit_kappa(b, a / s), 1e-12);
  EXPECT_NEAR(out[4] + out[5], 0.0, 1e-12);
  // Outside: the mass inside a as a point mass, deflection falling as 1/r.
  for (double r : {3.5, 10.0}) {
    const DerivVector o = eval(modelclass::tnfw2, 0, r);
    EXPECT_NEAR(o[3], lit_alpha(b, s, a / s) * a / r, 1e-12) << r;
  }
  for (auto [x, y] : {std::pair{0.4, 0.3}, {2.0, 1.5}, {3.0, 2.0}}) expect_fd(modelclass::tnfw2, x, y, 1e-5, 1e-8);
}

TEST(Tnfw2, Errors) {
  set_cur(0.0, 0.5, 0.0, 0.0);
  EXPECT_EQ(eval(modelclass::tnfw2, 1, 1)[2], 0.0);
  set_cur(1.0, 0.0, 0.0, 1.0);
  EXPECT_EQ(fatal_message([] { eval(modelclass::tnfw2, 1, 1); }), "NFW scale radius cannot be zero");
  set_cur(1.0, 0.0, 1.0, 0.0);
  EXPECT_EQ(fatal_message([] { eval(modelclass::tnfw2, 1, 1); }), "NFW truncation radius cannot be zero");
  set_cur(1.0, 1e-6, 1.0, 2.0);
  EXPECT_EQ(eval(modelclass::tnfw2, 0, 0)[2], 0.0);  // r = 0 before the shape check
  EXPECT_EQ(fatal_message([] { eval(modelclass::tnfw2, 1, 1); }), "for now, tnfw2 model must be circular");
}

// ---- tnfw3 ----

// Projection of the truncated NFW density (b/s)/(x (1 + x)^2) (t^2/(t^2 + x^2))^n,
// x = r/s, along the line of sight (z = R tan(theta)).
double tnfw3_projected(double b, double s, double t, int n, double R) {
  auto rho = [&](double r) {
    const double x = r / s;
    return (b / s) / (x * (1 + x) * (1 + x)) * std::pow(t * t / (t * t + x * x), n);
  };
  return 2 * quad([&](double th) {
    const double c = std::cos(th);
    if (c <= 0) return 0.0;
    return rho(R / c) * R / (c * c);
  }, 0, kPi / 2, 1e-13);
}

TEST(Tnfw3, ConvergenceDeflectionAndPotential) {
  const double b = 0.7, s = 1.5;
  for (int n : {1, 2}) {
    for (double t : {0.6, 4.0}) {
      set_cur(b, 0.0, s, t, n);
      for (double R : {0.01, 0.7, 1.5, 4.0, 12.0}) {
        const DerivVector o = eval(modelclass::tnfw3, 0.8 * R, 0.6 * R);
        const double kap = tnfw3_projected(b, s, t, n, R);
        EXPECT_NEAR((o[4] + o[5]) / 2, kap, 1e-8 * kap) << n << " " << t << " " << R;
        // Deflection from the enclosed convergence of the class itself.
        const double enclosed = quad([&](double r) {
          const DerivVector k = eval(modelclass::tnfw3, r, 0);
          return r * (k[4] + k[5]) / 2;
        }, 1e-9, R, 1e-13);
        EXPECT_NEAR(std::hypot(o[2], o[3]), 2 * enclosed / R, 1e-7 * std::hypot(o[2], o[3])) << n << " " << t << " " << R;
        // The closed forms cancel to x^2 at small x (rounding 1e-11 relative): a step of
        // 1e-4 R keeps the difference quotients clear of it.
        expect_fd(modelclass::tnfw3, 0.8 * R, 0.6 * R, 1e-4 * R, 2e-6 * (1 + std::fabs(o[4])));
      }
    }
  }
}

TEST(Tnfw3, SeriesSwitchAndScaleRadius) {
  for (int n : {1, 2}) {
    set_cur(1.0, 0.0, 1.0, 2.0, n);
    const double s = 1.0;
    const DerivVector below = eval(modelclass::tnfw3, 1e-4 * s * (1 - 1e-12), 0);
    const DerivVector above = eval(modelclass::tnfw3, 1e-4 * s * (1 + 1e-12), 0);
    // The closed potential is a sum of terms of order 10 that cancel to x^2 ln x ~ 1e-7:
    // it meets the series to its rounding, about 1e-13 absolute.
    EXPECT_NEAR(below[1], above[1], 1e-12);
    for (int k = 2; k <= 6; ++k) EXPECT_NEAR(below[k], above[k], 1e-7 * std::fabs(above[k])) << n << " " << k;
    // x = 1 exactly (1 - F over x^2 - 1 is 0/0 there) and next to it.
    const DerivVector one = eval(modelclass::tnfw3, s, 0);
    const DerivVector near1 = eval(modelclass::tnfw3, s * (1 + 1e-3), 0);
    for (int k = 1; k <= 6; ++k) {
      EXPECT_TRUE(std::isfinite(one[k])) << k;
      EXPECT_NEAR(one[k], near1[k], 1e-2 * (std::fabs(one[k]) + 1e-3)) << k;
    }
  }
}

TEST(Tnfw3, PowerShapeAndZeros) {
  set_cur(1.0, 5e-5, 1.0, 2.0, 1.005);  // accepted: n = 1, e below 1e-4
  const DerivVector a = eval(modelclass::tnfw3, 0.5, 0.5);
  cur.al = 1.0;
  cur.ep = 0.0;
  const DerivVector b1 = eval(modelclass::tnfw3, 0.5, 0.5);
  for (int k = 1; k <= 6; ++k) EXPECT_EQ(a[k], b1[k]);
  cur.al = 1.5;
  EXPECT_EQ(fatal_message([] { eval(modelclass::tnfw3, 0.5, 0.5); }),
            "unknown value of the truncation power in tnfw3 model");
  set_cur(1.0, 2e-4, 1.0, 2.0, 1.0);
  EXPECT_EQ(fatal_message([] { eval(modelclass::tnfw3, 0.5, 0.5); }), "tnfw3 model must be circular");
  // A zero scale radius or truncation ratio is an error, not a NaN.
  set_cur(1.0, 0.0, 0.0, 2.0, 1.0);
  EXPECT_EQ(fatal_message([] { eval(modelclass::tnfw3, 0.5, 0.5); }), "tnfw3 scale radius cannot be zero");
  set_cur(1.0, 0.0, 1.0, 0.0, 1.0);
  EXPECT_EQ(fatal_message([] { eval(modelclass::tnfw3, 0.5, 0.5); }), "tnfw3 truncation ratio cannot be zero");
  set_cur(0.0, 0.3, 0.0, 0.0, 7.0);
  EXPECT_EQ(eval(modelclass::tnfw3, 0.5, 0.5)[2], 0.0);
  set_cur(1.0, 0.0, 1.0, 2.0, 1.0);
  EXPECT_EQ(eval(modelclass::tnfw3, 0, 0)[4], 0.0);
}

}  // namespace
