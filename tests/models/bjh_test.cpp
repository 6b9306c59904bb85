// Burkert, Jaffe and Hernquist profiles and their tabulated twins.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <vector>

#include "models/burkert_jaffe_hern.h"
#include "models/classes.h"
#include "models/component.h"
#include "models/prof2_checks.h"
#include "models/tab.h"
#include "models/tabulated_pattern.h"
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

struct Family {
  const char* name;
  prof2::ClassFn fn;
  // 3-d density of b = s = 1 (whose projection is kappa~).
  std::function<double(double)> rho;
};

const std::vector<Family>& families() {
  static const std::vector<Family> f = {
      {"burkert", burkert, [](double r) { return 1 / ((1 + r) * (1 + r * r)); }},
      {"jaffe", jaffe, [](double r) { return 1 / (r * r * (1 + r) * (1 + r)); }},
      {"hern", hern, [](double r) { return 1 / (r * (1 + r) * (1 + r) * (1 + r)); }},
  };
  return f;
}

// Mass inside the cylinder of radius R of a spherical density rho (b = s = 1): the mass
// inside the sphere of radius R plus the part of each outer shell inside the cylinder,
// the outer shells taken with r = R/v.
double cylinder_mass(const std::function<double(double)>& rho, double R) {
  // r = R w^2: the integrand vanishes at w = 0 for every density here (r^2 rho finite).
  const double inner = prof2::simpson(
      [&](double w) {
        const double r = R * w * w;
        return w > 0 ? 4 * kPi * r * r * rho(r) * 2 * R * w : 0.0;
      },
      0, 1, 1e-13);
  const double outer = prof2::simpson(
      [&](double v) {
        if (v <= 0) return 0.0;
        const double r = R / v;
        return 4 * kPi * r * r * rho(r) * (1 - std::sqrt(1 - v * v)) * R / (v * v);
      },
      0, 1, 1e-13);
  return inner + outer;
}

class Bjh : public ::testing::Test {
 protected:
  void SetUp() override {
    settings.potflag = 1;
    settings.inttol = 1e-6;
    settings.verbose = 1;
    quietflag = 0;
    tablist.clear();
    TWtabwarn.reset();
  }
  void TearDown() override {
    settings.inttol = 1e-6;
    settings.potflag = 1;
    tablist.clear();
    TWtabwarn.reset();
  }
};

}  // namespace

// The convergence b kappa~ of each circular class against a direct projection of its 3-d
// density, and the registered densities against the same formulas.
TEST_F(Bjh, ConvergenceIsTheProjectedDensity) {
  for (const Family& f : families()) {
    const double b = 0.7, s = 1.3;
    load(f.name, b, 0, s, 0, 0);
    for (double X : {0.003, 0.2, 0.99995, 1.0, 1.00005, 1.7, 12.0}) {
      const double r = X * s;
      const double want = b * prof2::project(f.rho, X);
      EXPECT_NEAR(kappa_of(eval(f.fn, 0.6 * r, 0.8 * r)), want, 2e-6 * want) << f.name << " X=" << X;
    }
  }
  load("jaffe", 0.7, 0, 1.3, 0, 0);
  EXPECT_NEAR(jaffe_rho(0.9), 0.7 / 1.3 * families()[1].rho(0.9 / 1.3), 1e-14);
  load("hern", 0.7, 0, 1.3, 0, 0);
  EXPECT_NEAR(hern_rho(0.9), 0.7 / 1.3 * families()[2].rho(0.9 / 1.3), 1e-14);
}

// Circular deflections from the mass inside the cylinder: alpha(R) = M_cyl(R)/(pi R).
TEST_F(Bjh, CircularDeflectionIsTheEnclosedProjectedMass) {
  settings.inttol = 1e-10;  // the circular potentials are integrals
  for (const Family& f : families()) {
    load(f.name, 1, 0, 1, 0, 0);
    for (double X : {0.005, 0.3, 1.0, 2.5, 40.0}) {
      const DerivVector d = eval(f.fn, X, 0);
      const double want = cylinder_mass(f.rho, X) / (kPi * X);
      EXPECT_NEAR(d[2], want, 1e-8 * want) << f.name << " X=" << X;
      expect_consistent_derivatives(f.fn, 0.8 * X, 0.6 * X, 1e-6 * X, 1e-6);
    }
  }
  // Jaffe and Hernquist deflections in closed form, b s D(X).
  load("jaffe", 2, 0, 0.5, 0, 0);
  EXPECT_NEAR(eval(jaffe, 0.3, 0)[2], 2 * 0.5 * jaffe0phir(0.6), 1e-14);
  load("hern", 2, 0, 0.5, 0, 0);
  EXPECT_NEAR(eval(hern, 0.3, 0)[2], 2 * 0.5 * hern0phir(0.6), 1e-14);
}

// Elliptical components: Poisson's relation against b kappa~(xi), and finite differences
// potential -> deflection -> second derivatives.
TEST_F(Bjh, EllipticalPoissonAndDerivatives) {
  settings.inttol = 1e-9;
  for (const Family& f : families()) {
    const double b = 0.9, e = 0.35, s = 0.8, q = 1 - e;
    load(f.name, b, e, s, 0, 0);
    for (auto [x, y] : std::vector<std::pair<double, double>>{{0.5, 0.2}, {0.05, -0.02}, {-1.5, 2.0}}) {
      const double xi = std::sqrt(x * x + y * y / (q * q));
      double k, dk;
      if (f.fn == burkert) burkert_kappa(xi / s, k, dk);
      if (f.fn == jaffe) jaffe_kappa(xi / s, k, dk);
      if (f.fn == hern) hern_kappa(xi / s, k, dk);
      const DerivVector d = eval(f.fn, x, y);
      // hern integrates from u = inttol: the part below it is of order inttol ln(1/xi).
      EXPECT_NEAR(kappa_of(d), b * k, 1e-6 * b * k) << f.name << " (" << x << ", " << y << ")";
      expect_consistent_derivatives(f.fn, x, y, 1e-5, 1e-6);
    }
  }
}

// The elliptical integrals join the circular forms: e = 1e-6 integrates, e = 0 does not.
TEST_F(Bjh, CircularLimitOfTheIntegrals) {
  settings.inttol = 1e-9;
  for (const Family& f : families()) {
    load(f.name, 1.1, 0, 0.7, 0, 0);
    const DerivVector c = eval(f.fn, 0.4, 0.3);
    load(f.name, 1.1, 1e-6, 0.7, 0, 0);
    const DerivVector e = eval(f.fn, 0.4, 0.3);
    for (int k = 2; k <= 6; ++k) EXPECT_NEAR(e[k], c[k], 3e-6 * std::fmax(1.0, std::fabs(c[k]))) << f.name << k;
    // The potentials: both zero at the centre (hern: both from its lower limit inttol).
    if (f.fn != hern) {
      EXPECT_NEAR(e[1], c[1], 3e-6 * std::fabs(c[1])) << f.name;
    }
  }
}

TEST_F(Bjh, CircularBurkertHasItsPotential) {
  // The potential is N times the integral of the deflection from the centre.
  settings.inttol = 1e-10;
  load("burkert", 1.2, 0, 0.6, 0, 0);
  const DerivVector d = eval(burkert, 0.3, 0.4);
  const double want = 1.2 * prof2::simpson([](double r) { return 0.6 * burkert0phir(r / 0.6); }, 0, 0.5, 1e-12);
  EXPECT_NEAR(d[1], want, 1e-8 * std::fabs(want));
  expect_consistent_derivatives(burkert, 0.3, 0.4, 1e-5, 1e-6);
  EXPECT_EQ(eval(burkert, 0, 0)[1], 0.0);
}

// Burkert deflection function: pi/2 in its series and the closed form written without the
// cancellation of artanh near 1. References: the closed form evaluated in 40-digit
// arithmetic (mpmath).
TEST_F(Bjh, BurkertDeflectionIsAccurateAtSmallRadius) {
  struct Ref {
    double X, D;
  };
  const std::vector<Ref> refs = {
      {1e-4, 1.5707962746004681e-04},
      {1e-3, 1.5707922586447815e-03},
      {0.01, 1.5705046429810210e-02},
      {1.0, 1.0216025228897138},
      {3.0, 1.1741582078434213},
  };
  for (const Ref& r : refs) EXPECT_NEAR(burkert0phir(r.X), r.D, 2e-9 * r.D) << r.X;
  // The series just below the switch at X = 0.01 (reference shifted by the slope pi/2).
  EXPECT_NEAR(burkert0phir(0.00999999999), 1.570504642981021e-02 - kPi / 2 * 1e-11, 2e-9 * 0.0157);
}

// Each convergence routine's near-X = 1 branch joins its closed form to the printed
// precision of the series coefficients; the Burkert derivative is the derivative of its
// series (-0.350153 at X = 1).
TEST_F(Bjh, ConvergenceBranchesJoinNearTheScaleRadius) {
  using KFn = void (*)(double, double&, double&);
  for (KFn f : {KFn(burkert_kappa), KFn(jaffe_kappa), KFn(hern_kappa)}) {
    for (double g : {-1e-4, 1e-4}) {
      double k1, d1, k2, d2;
      f(std::sqrt(1 + g * 0.9999), k1, d1);
      f(std::sqrt(1 + g * 1.0001), k2, d2);
      EXPECT_NEAR(k1, k2, 2e-6);
      EXPECT_NEAR(d1, d2, 2e-6);
    }
  }
  // d kappa~/d(X^2) at X = 1 against a difference of the closed forms (X^2 = 1 +- 0.01).
  double kp, km, dummy, d0;
  burkert_kappa(std::sqrt(1.01), kp, dummy);
  burkert_kappa(std::sqrt(0.99), km, dummy);
  burkert_kappa(1.0, dummy, d0);
  EXPECT_NEAR(d0, (kp - km) / 0.02, 3e-5);
  EXPECT_NEAR(d0, -0.3501531603366222, 2e-6);  // mpmath, 40 digits
}

TEST_F(Bjh, MassesDensitiesAndZeros) {
  load("jaffe", 0.8, 0, 1.5, 0, 0);
  const double Mj = 4 * kPi * 0.8 * 1.5 * 1.5;
  EXPECT_NEAR(jaffe_M(1.5 * 10000 * (1 - 1e-12)) / jaffe_M(1.5 * 10000 * (1 + 1e-12)), 1.0, 1e-15);
  EXPECT_NEAR(jaffe_M(1e12), Mj, 1e-10 * Mj);
  load("hern", 0.8, 0, 1.5, 0, 0);
  EXPECT_NEAR(hern_M(1.5), kPi * 0.8 * 1.5 * 1.5 / 2, 1e-14);
  EXPECT_NEAR(hern_M(1e12), 2 * kPi * 0.8 * 1.5 * 1.5, 1e-9);
  // The masses are the integrals of the densities.
  for (auto [M, rho] : std::vector<std::pair<double (*)(double), double (*)(double)>>{{jaffe_M, jaffe_rho},
                                                                                      {hern_M, hern_rho}}) {
    const double want = prof2::simpson(
        [&](double w) { return w > 0 ? 4 * kPi * 4 * std::pow(w, 4) * rho(2 * w * w) * 4 * w : 0.0; }, 0, 1, 1e-13);
    EXPECT_NEAR(M(2.0), want, 1e-9 * want);
  }
  EXPECT_EQ(fatal_message([] { burk_rho(1); }), "I don't think we should be here.");
  EXPECT_EQ(fatal_message([] { burk_M(1); }), "I don't think we should be here.");

  const std::vector<std::pair<prof2::ClassFn, const char*>> msgs = {
      {burkert, "Burkert scale radius cannot be zero"},
      {jaffe, "Jaffe scale radius cannot be zero"},
      {hern, "Hernquist scale radius cannot be zero"}};
  for (auto [fn, msg] : msgs) {
    load("x", 1, 0.2, 0, 0, 0);
    EXPECT_EQ(fatal_message([fn = fn] { eval(fn, 0.3, 0.1); }), msg);
    load("x", 0, 0.2, 0, 0, 0);
    EXPECT_EQ(eval(fn, 0.3, 0.1)[2], 0.0);
    load("x", 1, 0.2, 1, 0, 0);
    const DerivVector c = eval(fn, 0, 0);
    for (int k = 1; k <= 10; ++k) EXPECT_EQ(c[k], 0.0);
  }
}

// Without a table the T classes warn ten times, then once more that they fall silent,
// and return exactly what their twins return.
TEST_F(Bjh, TabulatedClassesFallBackWithoutATable) {
  struct T {
    prof2::ClassFn t, twin;
    const char* name;
  };
  for (const T& c : {T{jaffeT, jaffe, "jaffeT"}, T{hernT, hern, "hernT"}, T{burkertT, burkert, "burkertT"}}) {
    CaptureOutput out;
    for (int i = 0; i < 12; ++i) {
      load(c.name, 1, 0.2, 0.5, 0, 0);
      const DerivVector t = eval(c.t, 0.3, 0.1);
      load(c.name, 1, 0.2, 0.5, 0, 0);
      const DerivVector n = eval(c.twin, 0.3, 0.1);
      for (int k = 1; k <= 6; ++k) EXPECT_EQ(t[k], n[k]);
    }
    const std::string text = out.text();
    EXPECT_EQ(count_occurrences(text, std::string("WARNING: entire model out of tabulation range in ") + c.name + "\n"), 10);
    EXPECT_EQ(count_occurrences(text, "         Using numerical solution instead.\n"), 10);
    EXPECT_EQ(count_occurrences(text, "(Further warnings will be suppressed.)\n"), 1);
  }
  // s = 0: the T class uses 1e-4 instead of stopping.
  CaptureOutput out;
  load("hernT", 1, 0.2, 0, 0, 0);
  eval(hernT, 0.3, 0.1);
  EXPECT_EQ(cur.ss, 1e-4);
}

// With a table made from the numerical class (b_t = 1, s_t = 1), a component of another
// mass and length scale is rescaled from it and agrees with its twin to the accuracy of
// the interpolation.
TEST_F(Bjh, TabulatedClassesRescaleTheirTables) {
  prof2::make_table("hern", hern, 1, 1, 0, 0, 0.28, 0.32, 3, 0.28, 0.36, 9, 10, 40, 31);
  prof2::make_table("jaffe", jaffe, 1, 1, 0, 0, 0.28, 0.32, 3, 0.28, 0.36, 9, 10, 40, 31);
  const double b = 1.7, s = 1.6, x = 0.5 * std::cos(0.4), y = 0.5 * std::sin(0.4);  // R' = 0.3125, 22.9 deg
  for (auto [t, twin, name] : std::vector<std::tuple<prof2::ClassFn, prof2::ClassFn, const char*>>{
           {hernT, hern, "hernT"}, {jaffeT, jaffe, "jaffeT"}}) {
    CaptureOutput out;
    load(name, b, 0.3, s, 0, 0);
    const DerivVector tv = eval(t, x, y);
    load(name, b, 0.3, s, 0, 0);
    const DerivVector nv = eval(twin, x, y);
    EXPECT_EQ(out.text(), "");
    for (int k = 1; k <= 6; ++k) EXPECT_NEAR(tv[k], nv[k], 2e-3 * std::fabs(nv[k]) + 1e-6) << name << k;
  }
}
