// Two-slope profiles: "nuker", "cusp", "cuspT".
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <vector>

#include "models/classes.h"
#include "models/component.h"
#include "models/prof2_checks.h"
#include "models/tab.h"
#include "models/tabulated_pattern.h"
#include "models/twoslope.h"
#include "numeric/constants.h"
#include "shell/fatal.h"
#include "shell/settings.h"
#include "support/test_support.h"

using namespace modelclass;
using prof2::eval;
using prof2::expect_consistent_derivatives;
using prof2::kappa_of;
using prof2::load;

namespace {

class TwoSlope : public ::testing::Test {
 protected:
  void SetUp() override {
    settings.potflag = 1;
    settings.inttol = 1e-10;
    settings.verbose = 1;
    quietflag = 0;
    tablist.clear();
    TWtabwarn.reset();
  }
  void TearDown() override {
    settings.inttol = 1e-6;
    tablist.clear();
    TWtabwarn.reset();
  }
};

struct Nuker {
  double aN, be, ga;
};
// Parameter sets where the textbook large-radius form meets Gamma outside its domain:
// k = (beta - 2)/alpha_N = 3.33 and 3 (integer), beta = 2 (k = 0), k < 0, and the usual
// ones, inner slopes from -0.3 to 1.5.
const std::vector<Nuker> kNukers = {{0.3, 3.0, 0.5}, {0.2, 2.6, 0.2}, {2.0, 2.0, 1.0},
                                    {1.0, 4.0, 0.0}, {1.5, 1.2, -0.3}, {0.5, 5.0, 1.5}};

double nuker_kappa_ref(const Nuker& p, double x) {
  return std::pow(x, -p.ga) * std::pow(1 + std::pow(x, p.aN), (p.ga - p.be) / p.aN);
}

// (2/r) int_0^r t kappa~(t) dt with t = r w^4 (finite integrand for gamma < 2).
double deflection_ref(const std::function<double(double)>& kap, double r) {
  return 2 / r * prof2::simpson(
                     [&](double w) {
                       if (w <= 0) return 0.0;
                       const double t = r * std::pow(w, 4);
                       return t * kap(t) * 4 * r * w * w * w;
                     },
                     0, 1, 1e-15 * r * r);
}

// Mass inside the cylinder of radius R of the current cusp: the sphere of radius R (taken
// with r = R w^k, k = 2/(3 - alpha), a smooth integrand) plus the parts of the outer
// shells inside the cylinder (r = R cosh u, whose integrand falls off like e^((1-n) u)).
double cusp_cylinder_mass(double R) {
  const double al = cur.al, n = cur.aa, k = std::fmax(1.0, 2 / (3 - al));
  const double inner = prof2::simpson(
      [&](double w) {
        if (w <= 0) return 0.0;
        const double r = R * std::pow(w, k);
        return 4 * kPi * r * r * cusp_rho(r) * k * r / w;
      },
      0, 1, 1e-14 * R * R * cusp_rho(R) * R);
  const double umax = 17 * std::log(10.0) / (n - 1) + 2;
  const double outer = prof2::simpson(
      [&](double u) {
        const double r = R * std::cosh(u);
        const double one_minus_tanh = 2 * std::exp(-2 * u) / (1 + std::exp(-2 * u));
        return 4 * kPi * r * r * cusp_rho(r) * one_minus_tanh * R * std::sinh(u);
      },
      0, umax, 1e-14 * R * R * cusp_rho(R) * R);
  return inner + outer;
}

}  // namespace

// ---- nuker ----

TEST_F(TwoSlope, NukerCircularConvergenceDeflectionAndDerivatives) {
  const double b = 0.6;
  for (const Nuker& p : kNukers) {
    load("nuker", b, 0, p.aN, p.be, p.ga);
    // (phi_xx + phi_yy)/2 at the break radius is b.
    EXPECT_NEAR(kappa_of(eval(nuker, 0.6, 0.8)), b, 1e-12) << p.be;
    for (double r : {0.003, 0.4, 1.0, 2.5, 30.0}) {
      const DerivVector d = eval(nuker, 0.8 * r, 0.6 * r);
      for (int k = 1; k <= 6; ++k) ASSERT_TRUE(std::isfinite(d[k])) << p.aN << " " << p.be << " " << r;
      const double c = (p.be - p.ga) / p.aN, N = b * std::pow(2.0, c);
      EXPECT_NEAR(kappa_of(d), N * nuker_kappa_ref(p, r), 1e-12 * N * nuker_kappa_ref(p, r));
      const double D = N * deflection_ref([&](double t) { return nuker_kappa_ref(p, t); }, r);
      EXPECT_NEAR(std::hypot(d[2], d[3]), D, 1e-10 * D) << p.aN << " " << p.be << " " << p.ga << " r=" << r;
      expect_consistent_derivatives(nuker, 0.8 * r, 0.6 * r, 1e-6 * r, 2e-6);
    }
  }
}

TEST_F(TwoSlope, NukerHypergeometricFactor) {
  // 2F1(a, c; a + 1; -x^alpha) against its Euler integral a int_0^1 s^(a-1) (1 + x^alpha s)^-c ds.
  for (const Nuker& p : kNukers) {
    load("nuker", 1, 0, p.aN, p.be, p.ga);
    const double a = (2 - p.ga) / p.aN, c = (p.be - p.ga) / p.aN;
    for (double x : {0.1, 1.0, std::pow(10.0, 1 / p.aN), 7.0}) {
      const double z = std::pow(x, p.aN);
      const double scale = std::pow(1 + z, -c);
      const double ref = prof2::simpson(
          [&](double v) {  // s = v^2
            return 2 * a * std::pow(v, 2 * a - 1) * std::pow(1 + z * v * v, -c);
          },
          0, 1, 1e-14 * scale);
      EXPECT_NEAR(nuker_hyp(x), ref, 1e-10 * std::fabs(ref)) << p.be << " x=" << x;
    }
  }
}

TEST_F(TwoSlope, NukerEllipticalPoissonDerivativesAndCircularLimit) {
  settings.inttol = 1e-9;
  const double b = 0.6, e = 0.3, q = 0.7;
  for (const Nuker& p : {Nuker{0.5, 5.0, 1.5}, Nuker{2.0, 2.0, 1.0}, Nuker{1.0, 4.0, 0.0}}) {
    load("nuker", b, e, p.aN, p.be, p.ga);
    const double N = b * std::pow(2.0, (p.be - p.ga) / p.aN);
    for (auto [x, y] : std::vector<std::pair<double, double>>{{0.5, 0.2}, {0.01, -0.02}, {-2.0, 1.5}}) {
      const double xi = std::sqrt(x * x + y * y / (q * q));
      const DerivVector d = eval(nuker, x, y);
      EXPECT_NEAR(kappa_of(d), N * nuker_kappa_ref(p, xi), 1e-6 * N * nuker_kappa_ref(p, xi)) << p.ga;
      expect_consistent_derivatives(nuker, x, y, 1e-5 * std::hypot(x, y), 1e-5);
    }
    load("nuker", b, 0, p.aN, p.be, p.ga);
    const DerivVector c = eval(nuker, 0.4, 0.3);
    load("nuker", b, 1e-6, p.aN, p.be, p.ga);
    const DerivVector el = eval(nuker, 0.4, 0.3);
    for (int k = 1; k <= 6; ++k) EXPECT_NEAR(el[k], c[k], 3e-6 * std::fmax(1.0, std::fabs(c[k]))) << k;
  }
}

TEST_F(TwoSlope, NukerChecks) {
  load("nuker", 0, 0, 0, 2, 1);
  EXPECT_EQ(eval(nuker, 0.3, 0.2)[2], 0.0);
  load("nuker", 1, 0, 0, 2, 1);
  EXPECT_EQ(fatal_message([] { eval(nuker, 0.3, 0.2); }), "NFW scale radius cannot be zero");
  load("nuker", 1, 0.2, 1, 2, 1);
  const DerivVector c = eval(nuker, 0, 0);
  for (int k = 1; k <= 10; ++k) EXPECT_EQ(c[k], 0.0);
  load("nuker", 1, 0.2, 1, 3, 2);
  EXPECT_EQ(fatal_message([] { eval(nuker, 0.3, 0.2); }), "nuker inner slope gamma (parameter 10) must be below 2");
  DerivVector out;
  EXPECT_EQ(fatal_message([&] { nukerT(out, 0.1, 0.1); }), "nukerT has not been implemented");
}

// ---- cusp ----

namespace {
struct Cusp {
  double al, n;
};
// Inner index 1 (a Gamma pole inside the scale radius), 0 (a pole everywhere), equal
// indices (a pure power law), odd negative inner index, n = 3 and close to it, and a
// cusp steeper than isothermal.
const std::vector<Cusp> kCusps = {{1.0, 4.0},     {0.0, 2.5},  {1.5, 1.5},    {-1.0, 4.0}, {1.0, 3.0},
                                  {0.5, 3.00005}, {0.5, 3.0002}, {2.5, 5.0},  {1.005, 3.0}, {1.3, 3.0},
                                  {0.999, 4.0},   {0.7, 2.2}};
}  // namespace

TEST_F(TwoSlope, CuspConvergenceIsTheProjectedDensity) {
  const double b = 0.8, s = 1.4;
  for (const Cusp& c : kCusps) {
    load("cusp", b, 0, s, c.n, c.al);
    for (double X : {0.0005, 0.005, 0.5, 1.0, 3.0}) {
      const double R = X * s;
      const double want = prof2::project(cusp_rho, R, 1e-14 * cusp_rho(R) * R, c.n);
      const DerivVector d = eval(cusp, 0.6 * R, 0.8 * R);
      EXPECT_NEAR(kappa_of(d), want, 1e-8 * want) << c.al << " " << c.n << " X=" << X;
    }
  }
}

TEST_F(TwoSlope, CuspDeflectionIsTheEnclosedProjectedMass) {
  const double b = 0.8, s = 1.4;
  for (const Cusp& c : kCusps) {
    load("cusp", b, 0, s, c.n, c.al);
    for (double X : {0.0005, 0.002, 0.02, 0.7, 1.0, 2.0, 30.0}) {
      const double R = X * s;
      const DerivVector d = eval(cusp, R, 0);
      const double want = cusp_cylinder_mass(R) / (kPi * R);
      ASSERT_TRUE(std::isfinite(d[2]));
      EXPECT_NEAR(d[2], want, 1e-8 * want) << c.al << " " << c.n << " X=" << X;
    }
    expect_consistent_derivatives(cusp, 0.5, 0.7, 1e-4, 2e-6);
    expect_consistent_derivatives(cusp, 0.003, -0.004, 1e-6, 2e-6);
  }
}

TEST_F(TwoSlope, CuspFormsJoinAtTheirSwitches) {
  // Small-radius switch, the edges of the pole window of the inner index, and n = 3.
  for (const Cusp& c : {Cusp{0.3, 4.0}, Cusp{0.9899, 4.0}, Cusp{0.9901, 4.0}, Cusp{1.3, 3.0}}) {
    load("cusp", 1, 0, 1, c.n, c.al);
    const double lo = cusp0phir(1e-3 * (1 - 1e-9)), hi = cusp0phir(1e-3 * (1 + 1e-9));
    EXPECT_NEAR(lo, hi, 1e-7 * hi) << c.al;
  }
  load("cusp", 1, 0, 1, 3.0, 1.3);
  EXPECT_NEAR(cusp0phir(1 - 1e-12), cusp0phir(1 + 1e-12), 1e-8);
  load("cusp", 1, 0, 1, 3.00005, 0.5);
  const double a = cusp0phir(0.3), c = cusp0phir(3.0);
  load("cusp", 1, 0, 1, 3.0002, 0.5);  // the general forms, as accurate
  EXPECT_NEAR(cusp0phir(0.3), a, 2e-4 * a);
  EXPECT_NEAR(cusp0phir(3.0), c, 2e-4 * c);
  load("cusp", 1, 0, 1, 4.0, 1.0099);
  const double w1 = cusp0phir(5e-4);
  load("cusp", 1, 0, 1, 4.0, 1.0101);
  EXPECT_NEAR(cusp0phir(5e-4), w1, 1e-3 * w1);
}

TEST_F(TwoSlope, CuspEllipticalPoissonAndDerivatives) {
  settings.inttol = 1e-9;
  const double b = 0.8, s = 0.9, e = 0.25, q = 0.75;
  for (const Cusp& c : {Cusp{2.2, 4.0}, Cusp{1.0, 3.0}, Cusp{0.0, 2.5}}) {
    load("cusp", b, e, s, c.n, c.al);
    for (auto [x, y] : std::vector<std::pair<double, double>>{{0.5, 0.2}, {-1.5, 2.0}}) {
      const double xi = std::sqrt(x * x + y * y / (q * q));
      double K, dK;
      cusp_kappa(K, dK, xi);
      const DerivVector d = eval(cusp, x, y);
      EXPECT_NEAR(kappa_of(d), b / (2 * kPi * s) * K, 1e-6 * b / (2 * kPi * s) * K) << c.al;
      expect_consistent_derivatives(cusp, x, y, 1e-5, 1e-5);
    }
  }
}

TEST_F(TwoSlope, CuspMassAndChecks) {
  load("cusp", 0.8, 0, 1.4, 4.0, 1.2);
  const double want = prof2::simpson(
      [](double w) {
        const double r = 2.0 * w * w * w;
        return w > 0 ? 4 * kPi * r * r * cusp_rho(r) * 6.0 * w * w : 0.0;
      },
      0, 1, 1e-14);
  EXPECT_NEAR(cusp_M(2.0), want, 1e-9 * want);
  const double R = 1.4 * 10000;
  EXPECT_NEAR(cusp_M(R * (1 - 1e-12)), cusp_M(R * (1 + 1e-12)), 1e-9 * cusp_M(R));
  load("cusp", 0.8, 0, 1.4, 3.0005, 1.2);
  EXPECT_EQ(fatal_message([] { cusp_M(1.0); }), "cusp_M cannot handle n=3");

  load("cusp", 1, 0.1, 0, 4, 1);
  EXPECT_EQ(fatal_message([] { eval(cusp, 0.3, 0.2); }), "Cusp scale radius cannot be zero");
  load("cusp", 0, 0.1, 0, 4, 1);
  EXPECT_EQ(eval(cusp, 0.3, 0.2)[2], 0.0);
  load("cusp", 1, 0.1, 1, 1.0, 0.5);
  EXPECT_EQ(fatal_message([] { eval(cusp, 0.3, 0.2); }), "cusp outer index n (parameter 9) must be greater than 1");
  load("cusp", 1, 0.1, 1, 4.0, 3.0);
  EXPECT_EQ(fatal_message([] { eval(cusp, 0.3, 0.2); }), "cusp inner index alpha (parameter 10) must be below 3");
}

TEST_F(TwoSlope, CuspTFallsBackAndRescales) {
  {
    CaptureOutput out;
    for (int i = 0; i < 11; ++i) {
      load("cuspT", 1, 0.2, 0, 4, 1.2);  // s = 0 -> 1e-4
      const DerivVector t = eval(cuspT, 0.3, 0.1);
      EXPECT_EQ(cur.ss, 1e-4);
      const DerivVector n = eval(cusp, 0.3, 0.1);
      for (int k = 1; k <= 6; ++k) EXPECT_EQ(t[k], n[k]);
    }
    EXPECT_EQ(count_occurrences(out.text(), "WARNING: entire model out of tabulation range in cuspT\n"), 10);
    EXPECT_EQ(count_occurrences(out.text(), "(Further warnings will be suppressed.)\n"), 1);
  }
  settings.inttol = 1e-8;
  prof2::make_table("cusp", cusp, 1, 1, 4, 1.2, 0.28, 0.32, 3, 0.28, 0.36, 9, 10, 40, 31);
  const double b = 1.7, s = 1.6, x = 0.5 * std::cos(0.4), y = 0.5 * std::sin(0.4);
  CaptureOutput out;
  load("cuspT", b, 0.3, s, 4, 1.2);
  const DerivVector tv = eval(cuspT, x, y);
  load("cuspT", b, 0.3, s, 4, 1.2);
  const DerivVector nv = eval(cusp, x, y);
  EXPECT_EQ(out.text(), "");
  for (int k = 1; k <= 6; ++k) EXPECT_NEAR(tv[k], nv[k], 2e-3 * std::fabs(nv[k]) + 1e-7) << k;
}
