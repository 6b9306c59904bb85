// The NFW family: "nfw", "nfwpot", "tnfw2", "tnfw3" and the NFW functions.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <string>

#include "models/classes.h"
#include "models/component.h"
#include "models/elliptical_pattern.h"
#include "numeric/integrate.h"
#include "shell/fatal.h"
#include "shell/settings.h"
#include "support/test_support.h"

namespace {

constexpr double kPi = 3.14159265358979323846;
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

std::string fatal_message(const std::function<void()>& f) {
  try {
    f();
  } catch (const FatalError& e) {
    return e.message;
  }
  return "(no error)";
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

}  // namespace
