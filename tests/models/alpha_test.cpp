// The softened power-law family: "alpha", "pjaffe", "king", alpha_rho and alpha_M.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <string>

#include "models/classes.h"
#include "models/component.h"
#include "models/evaluator.h"
#include "models/registry.h"
#include "models/tabulated_pattern.h"
#include "numeric/constants.h"
#include "shell/fatal.h"
#include "shell/settings.h"

namespace {

using Fn = void (*)(DerivVector&, double, double);

void set_cur(double b, double e, double s, double a, double al) {
  settings = Settings();
  settings.potflag = 1;
  settings.inttol = 1e-6;
  settings.alphanorm = 0;
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

// The family's convergence with factor A (|alpha| above 0.01, else 1).
double kappa(double b, double q, double s, double al, double x, double y, double A) {
  const double xi2 = x * x + y * y / (q * q);
  return 0.5 * A * std::pow(b, 2 - al) * std::pow(s * s + xi2, al / 2 - 1);
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

// Deflection of a convergence kappa(xi) constant on ellipses x^2 + y^2/q^2 = xi^2, by
// quadrature of the convergence over the homoeoids (Schramm 1990; Keeton 2001, eqs. for
// J0 and J1): alpha_x = q x int_0^1 kappa(xi(u)) w^-1/2 du, alpha_y = q y int kappa w^-3/2,
// w = 1 - (1 - q^2) u, xi^2 = u (x^2 + y^2/w). The substitution u = t^2 removes the
// centre's singularity of a cusped profile.
void homoeoid_deflection(const std::function<double(double)>& kap_of_xi, double q, double x, double y,
                         double& ax, double& ay) {
  auto integrand = [&](double t, double power) {
    const double u = t * t;
    if (u == 0) return 0.0;
    const double w = 1 - (1 - q * q) * u;
    return 2 * t * kap_of_xi(std::sqrt(u * (x * x + y * y / w))) / std::pow(w, power);
  };
  ax = q * x * quad([&](double t) { return integrand(t, 0.5); }, 0, 1);
  ay = q * y * quad([&](double t) { return integrand(t, 1.5); }, 0, 1);
}

TEST(AlphaIsothermal, DeflectionMatchesQuadratureOfConvergence) {
  for (double s : {0.0, 0.2}) {
    const double b = 1.3, e = 0.35, q = 1 - e;
    set_cur(b, e, s, 0, 1.0);
    const double sc = s == 0 ? 1e-4 : s;  // zero core becomes 1e-4
    for (auto [x, y] : {std::pair{0.4, 0.3}, {-1.5, 0.7}, {0.05, -2.0}}) {
      const DerivVector o = eval(modelclass::alpha, x, y);
      double ax, ay;
      homoeoid_deflection([&](double xi) { return 0.5 * b / std::sqrt(sc * sc + xi * xi); }, q, x, y, ax, ay);
      EXPECT_NEAR(o[2], ax, 1e-9) << s << " " << x << "," << y;
      EXPECT_NEAR(o[3], ay, 1e-9) << s << " " << x << "," << y;
      EXPECT_NEAR((o[4] + o[5]) / 2, kappa(b, q, sc, 1, x, y, 1), 1e-12);
    }
  }
}

TEST(AlphaIsothermal, DerivativesThroughThirdOrder) {
  // Elliptical, nearly circular (series branch) and circular.
  for (double e : {0.4, 2e-13, 0.0}) {
    set_cur(1.1, e, 0.3, 0, 1.0);
    for (auto [x, y] : {std::pair{0.4, 0.3}, {-1.5, 0.7}}) {
      expect_fd(modelclass::alpha, x, y, 1e-5, 1e-8);
      const double h = 1e-5;
      const DerivVector o = eval(modelclass::alpha, x, y);
      const DerivVector xp = eval(modelclass::alpha, x + h, y), xm = eval(modelclass::alpha, x - h, y);
      const DerivVector yp = eval(modelclass::alpha, x, y + h), ym = eval(modelclass::alpha, x, y - h);
      EXPECT_NEAR(o[7], (xp[4] - xm[4]) / (2 * h), 1e-7) << e;
      EXPECT_NEAR(o[8], (yp[4] - ym[4]) / (2 * h), 1e-7) << e;
      EXPECT_NEAR(o[8], (xp[6] - xm[6]) / (2 * h), 1e-7) << e;
      EXPECT_NEAR(o[9], (xp[5] - xm[5]) / (2 * h), 1e-7) << e;
      EXPECT_NEAR(o[9], (yp[6] - ym[6]) / (2 * h), 1e-7) << e;
      EXPECT_NEAR(o[10], (yp[5] - ym[5]) / (2 * h), 1e-7) << e;
    }
    // The potential is 0 at the centre.
    EXPECT_NEAR(eval(modelclass::alpha, 0, 0)[1], 0.0, 1e-13);
  }
}

TEST(AlphaMinusOne, ClosedFormPoissonDerivativesAndCentre) {
  const double b = 0.9, e = 0.3, s = 0.4, q = 1 - e;
  set_cur(b, e, s, 0, -1.0);
  for (auto [x, y] : {std::pair{0.4, 0.3}, {-1.5, 0.7}}) {
    const DerivVector o = eval(modelclass::alpha, x, y);
    EXPECT_NEAR((o[4] + o[5]) / 2, kappa(b, q, s, -1, x, y, 1), 1e-12);
    expect_fd(modelclass::alpha, x, y, 1e-5, 1e-8);
  }
  EXPECT_NEAR(eval(modelclass::alpha, 0, 0)[1], 0.0, 1e-15);
}

TEST(AlphaGeneral, EllipticalPoissonDerivativesAndQuadrature) {
  // Poisson against kappa with A = |alpha| (positive for negative alpha as well).
  for (double al : {0.5, 1.4, -0.5, 0.005}) {
    const double b = 1.2, e = 0.3, s = 0.25, q = 1 - e, A = std::fabs(al) > 0.01 ? std::fabs(al) : 1.0;
    set_cur(b, e, s, 0, al);
    settings.inttol = 1e-10;
    for (auto [x, y] : {std::pair{0.4, 0.3}, {-1.5, 0.7}}) {
      const DerivVector o = eval(modelclass::alpha, x, y);
      const double k = kappa(b, q, s, al, x, y, A);
      EXPECT_GT((o[4] + o[5]) / 2, 0.0) << al;
      EXPECT_NEAR((o[4] + o[5]) / 2, k, 1e-8 * k + 1e-9) << al;
      double ax, ay;
      homoeoid_deflection([&](double xi) { return 0.5 * A * std::pow(b, 2 - al) * std::pow(s * s + xi * xi, al / 2 - 1); },
                          q, x, y, ax, ay);
      EXPECT_NEAR(o[2], ax, 1e-8) << al;
      EXPECT_NEAR(o[3], ay, 1e-8) << al;
      expect_fd(modelclass::alpha, x, y, 1e-4, 1e-6);
    }
  }
}

TEST(AlphaGeneral, CircularFormsAndCentre) {
  for (double al : {0.5, 1.4, -0.5, 0.0}) {
    const double b = 1.2, s = 0.25, A = std::fabs(al) > 0.01 ? std::fabs(al) : 1.0;
    set_cur(b, 0.0, s, 0, al);
    settings.inttol = 1e-10;
    for (auto [x, y] : {std::pair{0.04, 0.03}, {0.4, 0.3}, {-1.5, 0.7}}) {
      const DerivVector o = eval(modelclass::alpha, x, y);
      const double k = kappa(b, 1, s, al, x, y, A);
      EXPECT_NEAR((o[4] + o[5]) / 2, k, 1e-12 * k) << al;
      // Deflection = mean convergence inside r times r: (2/r) int_0^r kappa r' dr'.
      const double r = std::hypot(x, y);
      const double m = quad([&](double t) { return t * kappa(b, 1, s, al, t, 0, A); }, 0, r);
      EXPECT_NEAR(std::hypot(o[2], o[3]), 2 * m / r, 1e-10) << al;
      // (The potential is checked against the integral of the deflection below.)
      expect_fd(modelclass::alpha, x, y, 1e-5 * r, 1e-6 * (1 + std::fabs(o[4])), false);
    }
    // Centre: no deflection, phi_xx = phi_yy = F s^(alpha - 2).
    const DerivVector c = eval(modelclass::alpha, 0, 0);
    const double F = 0.5 * std::pow(b, 2 - al) * A;
    EXPECT_EQ(c[2], 0.0);
    EXPECT_EQ(c[3], 0.0);
    EXPECT_NEAR(c[4], F * std::pow(s, al - 2), 1e-12 * c[4]);
    EXPECT_NEAR(c[5], c[4], 1e-15 * c[4]);
    EXPECT_EQ(c[6], 0.0);
  }
}

TEST(AlphaGeneral, CircularPotentialSwitchAtHalfCore) {
  // The potential changes from the integral (2r < s) to the closed form (2r >= s); the
  // closed form carries Euler's constant to six places, 0.577216, and the jump is exactly
  // what that rounding implies: -F s^alpha (0.577216 - gamma)/alpha, F = A b^(2-alpha)/2.
  const double gamma = 0.57721566490153286;
  for (double al : {0.5, 1.5, -0.4}) {
    set_cur(1.0, 0.0, 0.4, 0, al);
    settings.inttol = 1e-12;
    const double below = eval(modelclass::alpha, 0.2 * (1 - 1e-12), 0)[1];
    const double above = eval(modelclass::alpha, 0.2, 0)[1];
    const double F = 0.5 * std::fabs(al);
    EXPECT_NEAR(above - below, -F * std::pow(0.4, al) * (0.577216 - gamma) / al, 1e-9) << al;
    // Far out the closed form agrees with N times the integral of the deflection.
    const double r = 5.0;
    const double far = eval(modelclass::alpha, r, 0)[1];
    const double near_r = eval(modelclass::alpha, 0.19, 0)[1];
    const double integral = quad([](double t) {
      DerivVector o;
      modelclass::alpha(o, t, 0);
      return o[2];
    }, 0.19, r);
    EXPECT_NEAR(far - near_r, integral, 2e-6 * std::fabs(far)) << al;
  }
}

TEST(AlphaGeneral, BranchThresholdsAreContinuous) {
  // alpha = 1 +- 2e-6 (general routine) against alpha = 1 (isothermal form), and likewise
  // around -1, elliptical and circular; e = 1e-6 against e = 0.
  for (double e : {0.0, 0.3}) {
    for (double centre : {1.0, -1.0}) {
      set_cur(1.1, e, 0.3, 0, centre);
      settings.inttol = 1e-11;
      const DerivVector c = eval(modelclass::alpha, 0.5, 0.35);
      for (double d : {2e-6, -2e-6}) {
        cur.al = centre + d;
        const DerivVector g = eval(modelclass::alpha, 0.5, 0.35);
        for (int k = 1; k <= 6; ++k) EXPECT_NEAR(g[k], c[k], 2e-5 * (std::fabs(c[k]) + 1e-3)) << centre << " " << e << " " << k;
      }
    }
  }
  set_cur(1.1, 0.0, 0.3, 0, 0.6);
  settings.inttol = 1e-11;
  const DerivVector c = eval(modelclass::alpha, 0.5, 0.35);
  cur.ep = 1e-6;
  const DerivVector n = eval(modelclass::alpha, 0.5, 0.35);
  for (int k = 1; k <= 6; ++k) EXPECT_NEAR(c[k], n[k], 2e-6 * std::fabs(c[k])) << k;
}

TEST(AlphaGeneral, FactorJumpAtOnePercent) {
  // |alpha| <= 0.01: kappa = (1/2) b^(2-alpha)...; above: (|alpha|/2) b^(2-alpha)... .
  for (double al : {0.005, 0.02, -0.005, -0.02}) {
    const double b = 1.5, s = 0.2;
    set_cur(b, 0.0, s, 0, al);
    const DerivVector o = eval(modelclass::alpha, 0.3, 0.1);
    const double A = std::fabs(al) > 0.01 ? std::fabs(al) : 1.0;
    EXPECT_NEAR((o[4] + o[5]) / 2, kappa(b, 1, s, al, 0.3, 0.1, A), 1e-12) << al;
  }
}

TEST(Alpha, ZerosPotflagAndAlphanorm) {
  set_cur(0.0, 0.3, 0.0, 0.5, 0.5);
  const DerivVector z = eval(modelclass::alpha, 1, 1);
  for (int k = 1; k <= 10; ++k) EXPECT_EQ(z[k], 0.0);
  for (Fn f : {modelclass::pjaffe, modelclass::king}) {
    const DerivVector zz = eval(f, 1, 1);
    for (int k = 1; k <= 10; ++k) EXPECT_EQ(zz[k], 0.0);
  }
  // potflag 0: no potential, the rest unchanged.
  for (double al : {1.0, -1.0, 0.5}) {
    for (double e : {0.0, 0.3}) {
      set_cur(1.0, e, 0.2, 0, al);
      const DerivVector a = eval(modelclass::alpha, 0.7, 0.2);
      settings.potflag = 0;
      const DerivVector p = eval(modelclass::alpha, 0.7, 0.2);
      EXPECT_EQ(p[1], 0.0);
      for (int k = 2; k <= 6; ++k) EXPECT_NEAR(p[k], a[k], 1e-12 * std::fabs(a[k])) << al << " " << e;
    }
  }
  // alphanorm 1 multiplies b, s and a by sqrt((1 + q^2)/2)/q; nothing changes at e = 0;
  // the component's parameters are restored afterwards.
  for (double e : {0.0, 0.5}) {
    const double q = 1 - e, f = std::sqrt((1 + q * q) / 2) / q;
    set_cur(1.0, e, 0.2, 0.9, 1.0);
    settings.alphanorm = 1;
    const DerivVector n = eval(modelclass::alpha, 0.7, 0.2);
    EXPECT_EQ(cur.b, 1.0);
    EXPECT_EQ(cur.ss, 0.2);
    EXPECT_EQ(cur.aa, 0.9);
    set_cur(f, e, 0.2 * f, 0.9 * f, 1.0);
    const DerivVector d = eval(modelclass::alpha, 0.7, 0.2);
    for (int k = 1; k <= 10; ++k) EXPECT_NEAR(n[k], d[k], 1e-13) << e << " " << k;
  }
}

TEST(Alpha, TruncationPseudoJaffeAndKing) {
  const double b = 1.0, e = 0.2, s = 0.1, a = 2.0, q = 1 - e;
  for (double al : {1.0, 0.6}) {
    set_cur(b, e, s, a, al);
    const DerivVector t = eval(modelclass::alpha, 0.5, 0.4);
    set_cur(b, e, s, 0, al);
    const DerivVector inner = eval(modelclass::alpha, 0.5, 0.4);
    set_cur(b, e, a, 0, al);
    const DerivVector outer = eval(modelclass::alpha, 0.5, 0.4);
    for (int k = 1; k <= 6; ++k) EXPECT_NEAR(t[k], inner[k] - outer[k], 1e-12) << al << " " << k;
  }
  // pjaffe with a > 0: the truncated isothermal; its convergence is
  // (b/2)[(s^2 + xi^2)^-1/2 - (a^2 + xi^2)^-1/2].
  set_cur(b, e, s, a, 0.3);
  const DerivVector pj = eval(modelclass::pjaffe, 0.5, 0.4);
  EXPECT_EQ(cur.al, 0.3);
  set_cur(b, e, s, a, 1.0);
  const DerivVector al1 = eval(modelclass::alpha, 0.5, 0.4);
  for (int k = 1; k <= 10; ++k) EXPECT_EQ(pj[k], al1[k]);
  EXPECT_NEAR((pj[4] + pj[5]) / 2, kappa(b, q, s, 1, 0.5, 0.4, 1) - kappa(b, q, a, 1, 0.5, 0.4, 1), 1e-12);
  // pjaffe with a = 0: no truncation, the cored isothermal (positive convergence).
  set_cur(b, e, s, 0, 0.3);
  const DerivVector pj0 = eval(modelclass::pjaffe, 0.5, 0.4);
  EXPECT_NEAR((pj0[4] + pj0[5]) / 2, kappa(b, q, s, 1, 0.5, 0.4, 1), 1e-12);
  // king with s = 0: cores 8.66e-5 and 1.727e-4.
  set_cur(b, e, 0.0, 0, 0.3);
  const DerivVector kg = eval(modelclass::king, 0.5, 0.4);
  EXPECT_EQ(cur.ss, 0.0);
  EXPECT_EQ(cur.al, 0.3);
  set_cur(b, e, 0.866e-4, 0, 1.0);
  const DerivVector k1 = eval(modelclass::alpha, 0.5, 0.4);
  set_cur(b, e, 1.727e-4, 0, 1.0);
  const DerivVector k2 = eval(modelclass::alpha, 0.5, 0.4);
  for (int k = 1; k <= 6; ++k) EXPECT_NEAR(kg[k], 4.24 * k1[k] - 3.5 * k2[k], 1e-12) << k;
  for (int k = 7; k <= 10; ++k) EXPECT_EQ(kg[k], 0.0);
}

TEST(AlphaMass, DensityMassConsistency) {
  // dM/dr = 4 pi r^2 rho on every branch; the large-radius series joins the
  // hypergeometric form at s/r = 0.1.
  for (double al : {1.0, 0.5, 1.5, -0.5, 0.0, -1.0}) {
    set_cur(1.2, 0.0, 0.3, 0, al);
    for (double r : {0.1, 1.0, 2.0}) {
      const double h = 1e-4 * r;
      const double dM = (modelclass::alpha_M(r + h) - modelclass::alpha_M(r - h)) / (2 * h);
      EXPECT_NEAR(dM, 4 * kPi * r * r * modelclass::alpha_rho(r), 2e-5 * dM) << al << " " << r;
    }
    if (al > 0) {
      const double r = 3.0;  // s/r = 0.1: the two forms meet
      EXPECT_NEAR(modelclass::alpha_M(r * (1 - 1e-9)), modelclass::alpha_M(r * (1 + 1e-9)),
                  1e-5 * modelclass::alpha_M(r)) << al;
    }
  }
  // Isothermal: the projected convergence b/(2 xi) of the singular sphere has 3-d mass
  // 2 b r.
  set_cur(0.8, 0.0, 0.0, 0, 1.0);
  EXPECT_NEAR(modelclass::alpha_M(5.0), 2 * 0.8 * 5.0, 1e-12);
}

TEST(AlphaRegistry, ClassesAreWiredThroughTheEvaluator) {
  InitModels();
  EXPECT_EQ(FindModelClass("alpha")->evaluate, modelclass::alpha);
  EXPECT_EQ(FindModelClass("alpha")->density, modelclass::alpha_rho);
  EXPECT_EQ(FindModelClass("pjaffe")->evaluate, modelclass::pjaffe);
  EXPECT_EQ(FindModelClass("king")->evaluate, modelclass::king);
  EXPECT_EQ(FindModelClass("nfw")->mass, modelclass::nfw_M);
  EXPECT_EQ(FindModelClass("nfwT")->evaluate, modelclass::nfwT);
  EXPECT_EQ(FindModelClass("tab")->evaluate, modelclass::tab);
  // An isothermal ellipsoid at (0.3, -0.2) with angle 30: the potential and the
  // convergence are those of the class at the point in the component frame,
  // x' = -sin t dx + cos t dy, y' = -cos t dx - sin t dy.
  TWgal.allocate(1);
  settings = Settings();
  settings.potflag = 1;
  settings.alphanorm = 1;
  setID(1, "alpha");
  const double p[11] = {0, 1.2, 0.3, -0.2, 0.25, 30.0, 0, 0, 0.1, 0, 1.0};
  for (int k = 1; k <= 10; ++k) setp(1, k, p[k]);
  double pot, px, py, pxx, pyy, pxy, pyx;
  potdefmag(1.0, 0.5, pot, px, py, pxx, pyy, pxy, pyx);
  const double t = 30.0 * kPi / 180, dx = 0.7, dy = 0.7;
  const double xf = -std::sin(t) * dx + std::cos(t) * dy, yf = -std::cos(t) * dx - std::sin(t) * dy;
  initgal(1);
  const DerivVector o = eval(modelclass::alpha, xf, yf);
  EXPECT_NEAR(pot, o[1], 1e-13);
  EXPECT_NEAR(pxx + pyy, o[4] + o[5], 1e-13);
  EXPECT_NEAR(std::hypot(px, py), std::hypot(o[2], o[3]), 1e-13);
}

TEST(AlphaSingular, AppellSeriesFormAgainstThePattern) {
  // alpha0 (singular, Appell F1 series, factor A = 1) times alpha against the general
  // routine (factor A = alpha) with the smallest core (1e-4): the core changes the fields
  // by about (s/r)^alpha = 1e-6 at alpha = 1.5.
  const double b = 1.1, e = 0.3;
  for (auto [x, y] : {std::pair{0.8, 0.5}, {-0.4, 1.2}}) {
    set_cur(b, e, 0.0, 0, 1.5);
    settings.inttol = 1e-10;
    const DerivVector a0 = eval(modelclass::alpha0, x, y);
    const DerivVector n = eval(modelclass::alphaN, x, y);
    for (int k = 2; k <= 6; ++k) EXPECT_NEAR(1.5 * a0[k], n[k], 1e-5 * (std::fabs(n[k]) + 0.1)) << k;
    // The potentials differ by the constant the core adds; their differences agree.
    const DerivVector a1 = eval(modelclass::alpha0, 0.3, -0.2), n1 = eval(modelclass::alphaN, 0.3, -0.2);
    EXPECT_NEAR(1.5 * (a0[1] - a1[1]), n[1] - n1[1], 1e-5);
  }
  set_cur(1.0, 0.3, 0.0, 0, 0.0);
  try {
    eval(modelclass::alpha0, 1, 1);
    ADD_FAILURE();
  } catch (const FatalError& e) {
    EXPECT_EQ(e.message, "alpha0 model invalid for al<=0.0");
  }
  set_cur(1.0, 0.3, 0.0, 0, 0.8);
  try {
    eval(modelclass::alpha0, 0, 0);
    ADD_FAILURE();
  } catch (const FatalError& e) {
    EXPECT_EQ(e.message, "alpha0 model invalid at origin");
  }
  cur.al = 1.2;
  EXPECT_EQ(eval(modelclass::alpha0, 0, 0)[4], 0.0);
}

}  // namespace
