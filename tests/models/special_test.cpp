// Closed-form special potentials and their set-up commands.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "app/startup.h"
#include "models/classes.h"
#include "models/component.h"
#include "models/prof2_checks.h"
#include "models/special.h"
#include "numeric/constants.h"
#include "shell/commands.h"
#include "shell/fatal.h"
#include "shell/settings.h"
#include "support/test_support.h"

using namespace modelclass;
using prof2::eval;
using prof2::expect_consistent_derivatives;
using prof2::kappa_of;
using prof2::load;

namespace {

WordArray line(std::vector<std::string> w) {
  w.push_back("#");
  return WordArray(std::move(w));
}

class Special : public ::testing::Test {
 protected:
  void SetUp() override {
    settings.potflag = 1;
    settings.inttol = 1e-6;
  }
  void TearDown() override { settings.potflag = 1; }
};

// Commands refresh the settings, so they need the program's variables.
class SpecialCommands : public ::testing::Test {
 protected:
  void SetUp() override {
    start_program(stdin, stdout);
    quietflag = 0;
  }
  void TearDown() override { quietflag = 0; }
  ScratchDir dir;
};

}  // namespace

// ---- uniform sheet and point mass: the values are the closed forms evaluated by hand ----

TEST_F(Special, SheetAndPointMassValues) {
  load("convrg", 0.3, 0, 0, 0, 0);
  DerivVector d = eval(convrg, 1, 2);
  const double want_c[7] = {0, 0.75, 0.3, 0.6, 0.3, 0.3, 0};
  for (int k = 1; k <= 6; ++k) EXPECT_DOUBLE_EQ(d[k], want_c[k]) << k;

  load("ptmass", 1, 0, 0, 0, 0);
  d = eval(ptmass, 3, 4);
  const double want_p[7] = {0, std::log(5.0), 0.12, 0.16, 0.0112, -0.0112, -0.0384};
  for (int k = 1; k <= 6; ++k) EXPECT_NEAR(d[k], want_p[k], 1e-15) << k;
  d = eval(ptmass, 0, 0);
  for (int k = 1; k <= 10; ++k) EXPECT_EQ(d[k], 0.0);
  load("ptmass", 0.7, 0, 0, 0, 0);
  expect_consistent_derivatives(ptmass, 0.4, -0.9, 1e-5, 1e-8);
  EXPECT_NEAR(kappa_of(eval(ptmass, 0.4, -0.9)), 0.0, 1e-14);
}

// ---- cluster terms: phi = (s/4) r^3 [sin 3(theta - t) + sin(theta - t)], whose Laplacian
// is 2 s r sin(theta - t) (r^3 sin 3u is harmonic, Laplacian of r^3 sin u is 8 r sin u) ----

TEST_F(Special, Clus3MatchesItsPolarFormAndPoisson) {
  load("clus3", 0, 0, 0.3, 25, 0);
  const double t = 25 * kPi / 180;
  for (auto [x, y] : std::vector<std::pair<double, double>>{{0.7, -0.2}, {-1.1, 0.4}, {0.3, 1.5}}) {
    const double r = std::hypot(x, y), th = std::atan2(y, x);
    const DerivVector d = eval(clus3, x, y);
    EXPECT_NEAR(d[1], 0.3 / 4 * r * r * r * (std::sin(3 * (th - t)) + std::sin(th - t)), 1e-13);
    EXPECT_NEAR(kappa_of(d), 0.3 * r * std::sin(th - t), 1e-13);
    expect_consistent_derivatives(clus3, x, y, 1e-5, 1e-8);
  }
}

// ---- plane-wave mode: convergence b cos(k x + phi0) ----

TEST_F(Special, FourmodeConvergenceAndZeroWavenumber) {
  load("fourmode", 0.2, -3.0, 0, 0, 0.4);  // negative wavenumber keeps its sign
  for (double x : {-0.7, 0.1, 1.3}) {
    const DerivVector d = eval(fourmode, x, 0.5);
    EXPECT_NEAR(kappa_of(d), 0.2 * std::cos(-3.0 * x + 0.4), 1e-14);
    expect_consistent_derivatives(fourmode, x, 0.5, 1e-5, 1e-8);
  }
  load("fourmode", 0.2, 0, 0, 0, 0.4);
  EXPECT_EQ(fatal_message([] { eval(fourmode, 1, 1); }), "fourmode wavenumber (parameter 4) cannot be zero");
  load("fourmode", 0, 0, 0, 0, 0.4);
  EXPECT_EQ(eval(fourmode, 1, 1)[1], 0.0);
}

// ---- monopole: convergence (3 - alpha)/2 K u^(1 - alpha), zero deflection at r0 ----

TEST_F(Special, MonopoleConvergenceZeroDeflectionAtR0AndErrors) {
  const double b = 0.8, s = 0.5, a = 1.5, al = 1.4, r0 = 1.0;
  load("monopole", b, 0, s, a, al);
  const double K = b * std::pow(r0, 1 - al) * (a * a - s * s) / (std::pow(a, 3 - al) - std::pow(s, 3 - al));
  for (double r : {0.3, 1.0, 2.7}) {
    const double x = r * 0.6, y = r * 0.8;
    const DerivVector d = eval(monopole, x, y);
    EXPECT_NEAR(kappa_of(d), (3 - al) / 2 * K * std::pow(r / r0, 1 - al), 1e-12) << r;
    expect_consistent_derivatives(monopole, x, y, 1e-5, 1e-8);
  }
  const DerivVector at_r0 = eval(monopole, 0.6, 0.8);
  EXPECT_NEAR(at_r0[2], 0.0, 1e-15);
  EXPECT_NEAR(at_r0[3], 0.0, 1e-15);
  EXPECT_EQ(eval(monopole, 0, 0)[4], 0.0);

  load("monopole", b, 0.1, s, a, al);
  EXPECT_EQ(eval(monopole, 0, 0)[1], 0.0);  // centre: zeros before the circularity check
  EXPECT_EQ(fatal_message([] { eval(monopole, 1, 0); }), "monopole model must be circular");
  load("monopole", b, 0, 0, 0, al);
  EXPECT_EQ(fatal_message([] { eval(monopole, 1, 0); }), "scale radii cannot both be zero in monopole model");
}

TEST_F(Special, MonopoleWithEqualRadiiIsTheLimitOfNearlyEqualOnes) {
  load("monopole", 0.8, 0, 1.0, 1.0, 1.4);
  const DerivVector eq = eval(monopole, 0.3, 1.2);
  load("monopole", 0.8, 0, 1.0, 1.0 + 1e-7, 1.4);
  const DerivVector ne = eval(monopole, 0.3, 1.2);
  for (int k = 1; k <= 6; ++k) {
    EXPECT_TRUE(std::isfinite(eq[k]));
    EXPECT_NEAR(eq[k], ne[k], 1e-6 * std::fmax(1.0, std::fabs(eq[k]))) << k;
  }
}

// ---- multipole: phi = -(eps/m) r^alpha cos m theta; Laplacian -(eps/m)(alpha^2 - m^2)
// r^(alpha-2) cos m theta ----

TEST_F(Special, MpoleShearPoissonAndThirdDerivatives) {
  load("mpole", 0, 0.1, 0, 2, 2);  // m = 2, alpha = 2: a pure shear of 0.1
  DerivVector d = eval(mpole, 0.3, -1.7);
  EXPECT_NEAR(d[4], -0.1, 1e-15);
  EXPECT_NEAR(d[5], 0.1, 1e-15);
  EXPECT_NEAR(d[6], 0.0, 1e-15);
  for (int k = 7; k <= 10; ++k) EXPECT_NEAR(d[k], 0.0, 1e-14);

  const double eps = -0.07, m = 3, al = 1.3;
  load("mpole", 0, eps, 0, m, al);
  for (auto [x, y] : std::vector<std::pair<double, double>>{{0.8, 0.3}, {-0.4, 1.1}, {-0.9, -0.6}}) {
    const double r = std::hypot(x, y), th = std::atan2(y, x);
    d = eval(mpole, x, y);
    EXPECT_NEAR(d[1], -(eps / m) * std::pow(r, al) * std::cos(m * th), 1e-14);
    EXPECT_NEAR(2 * kappa_of(d), -(eps / m) * (al * al - m * m) * std::pow(r, al - 2) * std::cos(m * th), 1e-12);
    // First derivatives against the Part's explicit forms.
    const double f = -(eps / m) * std::pow(r, al - 1), c = std::cos(th), s = std::sin(th);
    EXPECT_NEAR(d[2], f * (al * c * std::cos(m * th) + m * s * std::sin(m * th)), 1e-13);
    EXPECT_NEAR(d[3], f * (al * s * std::cos(m * th) - m * c * std::sin(m * th)), 1e-13);
    expect_consistent_derivatives(mpole, x, y, 1e-5, 1e-8, true, true);
  }
  EXPECT_EQ(eval(mpole, 0, 0)[2], 0.0);
  load("mpole", 0, 0.1, 0, 0, 2);
  EXPECT_EQ(fatal_message([] { eval(mpole, 1, 1); }), "cannot evaluate mpole with m=0");
}

// ---- fold ----

TEST_F(Special, FoldcausCoefficients) {
  double* c = TWspecial.foldcaus_dat;
  for (int i = 1; i <= 10; ++i) c[i] = 0;
  c[1] = 1;  // K = 1 only
  load("foldcaus", 0, 0, 0, 0, 0);
  for (auto [x, y] : std::vector<std::pair<double, double>>{{0.3, 0.2}, {-2, 5}}) {
    const DerivVector d = eval(foldcaus, x, y);
    EXPECT_EQ(d[4], 0.0);
    EXPECT_EQ(d[5], 1.0);
    EXPECT_EQ(d[6], 0.0);
  }
  for (int i = 1; i <= 10; ++i) c[i] = 0.1 * i - 0.35;
  expect_consistent_derivatives(foldcaus, 0.4, -0.7, 1e-5, 1e-8);
  for (int i = 1; i <= 10; ++i) c[i] = 0;
}

// ---- Arnold germs ----

TEST_F(Special, ArnoldADEModesAndMessages) {
  settings.potflag = 1;
  load("ArnoldADE", 3, 0, 0.2, 0, 0);
  EXPECT_EQ(fatal_message([] { eval(ArnoldADE, 1, 1); }), "potential not defined for ArnoldADE model");
  settings.potflag = 0;
  struct Case {
    double mode;
    const char* message;
  };
  const std::vector<Case> cases = {
      {1, "ArdnoldADE fold has not been implemented"},
      {2, "ArdnoldADE cusp has not been implemented"},
      {5, "ArdnoldADE swallowtail has not been implemented"},
      {6, "ArdnoldADE butterfly has not been implemented"},
      {8, "ArdnoldADE wigwam has not been implemented"},
      {3.0002, "ArnoldADE: unknown mode"},
      {12, "ArnoldADE: unknown mode"},
  };
  for (const Case& k : cases) {
    load("ArnoldADE", k.mode, 0, 0.2, 0.1, 0.3);
    EXPECT_EQ(fatal_message([] { eval(ArnoldADE, 0.5, 0.5); }), k.message) << k.mode;
  }
  load("ArnoldADE", 3.00005, 0, 0.2, 0, 0);
  DerivVector d = eval(ArnoldADE, 0.5, -0.25);
  EXPECT_DOUBLE_EQ(d[2], 0.5 + 0.2 + 0.75 - 0.1875);
  load("ArnoldADE", 3, 0, 0, 0, 0);
  d = eval(ArnoldADE, 0, 0);
  for (int k = 1; k <= 6; ++k) EXPECT_EQ(d[k], 0.0);
  // Each mode's second derivatives are the derivatives of its deflection (signed s, a).
  for (double mode : {3.0, 4.0, 7.0, 9.0, 10.0, 11.0}) {
    load("ArnoldADE", mode, 0, -0.3, 0.45, -0.2);
    expect_consistent_derivatives(ArnoldADE, 0.35, -0.6, 1e-5, 1e-8, false);
    EXPECT_EQ(eval(ArnoldADE, 0.35, -0.6)[1], 0.0);
  }
}

// ---- boxy potential ----

TEST_F(Special, BoxypotDerivativesAndCircularLimit) {
  load("boxypot", 0.9, 0.3, 0, 0.7, 1.2);
  for (auto [x, y] : std::vector<std::pair<double, double>>{{0.8, 0.3}, {-0.4, 1.1}, {0.0, -0.6}}) {
    const double r = std::hypot(x, y), c2 = (x * x - y * y) / (r * r);
    const DerivVector d = eval(boxypot, x, y);
    EXPECT_NEAR(d[1], 0.9 * std::pow(r, 1.2) * std::pow(1 - 0.3 * c2, 0.7 * 1.2), 1e-14);
    // The Part's first derivatives.
    const double c = x / r, dd = y / r, B = 1 - 0.3 * c2, O = 0.9 * 1.2 * std::pow(r, 0.2) * std::pow(B, 0.84 - 1);
    EXPECT_NEAR(d[2], (B - 4 * 0.7 * 0.3 * dd * dd) * O * c, 1e-13);
    EXPECT_NEAR(d[3], (B + 4 * 0.7 * 0.3 * c * c) * O * dd, 1e-13);
    expect_consistent_derivatives(boxypot, x, y, 1e-5, 1e-7);
  }
  // e = 0: phi = b r^alpha, convergence b alpha^2 r^(alpha-2) / 2.
  load("boxypot", 0.9, 0, 0, 0.7, 1.2);
  const DerivVector d = eval(boxypot, 0.6, 0.8);
  EXPECT_NEAR(kappa_of(d), 0.9 * 1.44 / 2, 1e-13);
  EXPECT_EQ(eval(boxypot, 0, 0)[2], 0.0);
  load("boxypot", 0.9, 1.0, 0, 0.7, 1.2);
  EXPECT_EQ(fatal_message([] { eval(boxypot, 1, 0); }), "boxypot ellipticity (parameter 4) must be below 1");
}

// ---- uniform disk ----

TEST_F(Special, UnidiskInsideValuesAndErrors) {
  load("unidisk", 1, 0.3, 0, 1, 0);
  DerivVector d = eval(unidisk, 0.3, 0.2);
  EXPECT_NEAR(d[4], 2 / 1.7, 1e-14);
  EXPECT_NEAR(d[5], 2 / (0.7 * 1.7), 1e-14);
  EXPECT_EQ(d[6], 0.0);
  EXPECT_EQ(d[1], 0.0);
  EXPECT_NEAR(kappa_of(d), 1 / 0.7, 1e-14);  // b/q inside
  settings.potflag = 1;
  EXPECT_EQ(fatal_message([] { eval(unidisk, 2, 0); }), "unidisk potential is not currently implemented");
  load("unidisk", 1, 0.3, 0, 0, 0);
  EXPECT_EQ(fatal_message([] { eval(unidisk, 0.1, 0); }), "unidisk outer radius (parameter 9) cannot be zero");
}

TEST_F(Special, UnidiskOutsideIsHarmonicContinuousAndPointLikeFarAway) {
  settings.potflag = 0;
  for (double e : {0.3, 0.00002}) {  // the closed form and the nearly circular branch
    load("unidisk", 1.3, e, 0, 1.2, 0);
    const double q = 1 - e;
    for (auto [x, y] : std::vector<std::pair<double, double>>{{1.5, 0.4}, {-0.3, 1.4}, {2.0, -2.0}}) {
      const DerivVector d = eval(unidisk, x, y);
      EXPECT_NEAR(kappa_of(d), 0.0, 1e-12) << e;
      expect_consistent_derivatives(unidisk, x, y, 1e-5, 1e-8, false);
    }
    // Deflection continuous across the edge along the major and minor axes.
    for (auto [x, y] : std::vector<std::pair<double, double>>{{1.2, 0.0}, {0.0, 1.2 * q}}) {
      const DerivVector in = eval(unidisk, x * (1 - 1e-9), y * (1 - 1e-9));
      const DerivVector out = eval(unidisk, x * (1 + 1e-9), y * (1 + 1e-9));
      EXPECT_NEAR(in[2], out[2], 1e-7);
      EXPECT_NEAR(in[3], out[3], 1e-7);
    }
    // Far away the disk (mass pi b a^2) acts as a point mass: deflection b a^2 / r.
    const DerivVector far = eval(unidisk, 300, 400);
    EXPECT_NEAR(std::hypot(far[2], far[3]), 1.3 * 1.44 / 500, 1e-6 * 1.3 * 1.44 / 500);
  }
  // The two branches agree where they meet (o = 1 - q^2 = 1e-4).
  load("unidisk", 1.3, 1 - std::sqrt(1 - 0.99999e-4), 0, 1.2, 0);
  const DerivVector below = eval(unidisk, 1.5, 0.7);
  load("unidisk", 1.3, 1 - std::sqrt(1 - 1.00001e-4), 0, 1.2, 0);
  const DerivVector above = eval(unidisk, 1.5, 0.7);
  for (int k = 2; k <= 6; ++k) EXPECT_NEAR(below[k], above[k], 1e-8) << k;
}

TEST_F(Special, UnidiskWithHoleIsFieldFreeInsideTheHole) {
  settings.potflag = 0;
  load("unidisk", 1, 0.2, 0.5, 1, 0);
  const DerivVector d = eval(unidisk, 0.2, 0.1);
  for (int k = 2; k <= 6; ++k) EXPECT_NEAR(d[k], 0.0, 1e-14) << k;
  const DerivVector ring = eval(unidisk, 0.7, 0.0);
  EXPECT_NEAR(kappa_of(ring), 1 / 0.8, 1e-13);
}

// ---- Kuzmin disk: convergence (b s^3 / q)(s^2 + xi^2)^(-3/2), total mass 2 pi b s^2 ----

TEST_F(Special, KuzdiskConvergenceAndZeroScale) {
  load("kuzdisk", 1, 0, 0.5, 0, 0);
  EXPECT_NEAR(kappa_of(eval(kuzdisk, 0.3, 0.4)), std::pow(2.0, -1.5), 1e-14);
  const double b = 0.7, q = 0.6, s = 0.4;
  load("kuzdisk", b, 1 - q, s, 0, 0);
  for (auto [x, y] : std::vector<std::pair<double, double>>{{0.3, 0.2}, {-1.1, 0.5}, {0.05, -2.0}}) {
    const double xi2 = x * x + y * y / (q * q);
    EXPECT_NEAR(kappa_of(eval(kuzdisk, x, y)), b * s * s * s / q * std::pow(s * s + xi2, -1.5), 1e-12);
    expect_consistent_derivatives(kuzdisk, x, y, 1e-5, 1e-8);
  }
  // Far away: a point mass of Einstein radius^2 = 2 b s^2, less the mass beyond r (a
  // fraction s/r of it).
  const DerivVector far = eval(kuzdisk, 6000, 8000);
  EXPECT_NEAR(std::hypot(far[2], far[3]), 2 * b * s * s / 1e4, 1e-4 * 2 * b * s * s / 1e4);
  load("kuzdisk", 1, 0.2, 0, 0, 0);
  eval(kuzdisk, 0.1, 0.1);
  EXPECT_EQ(cur.ss, 1e-4);
  settings.potflag = 0;
  load("kuzdisk", 1, 0.2, 0.5, 0, 0);
  EXPECT_EQ(eval(kuzdisk, 0.1, 0.1)[1], 0.0);
}

TEST_F(Special, NonparContributesNothing) {
  load("nonpar", 1, 0.2, 0.5, 0, 0);
  const DerivVector d = eval(nonpar, 0.3, 0.1);
  for (int k = 1; k <= 10; ++k) EXPECT_EQ(d[k], 0.0);
}

// ---- Gaussian random field ----

TEST_F(Special, GausranFieldsObeyPoisson) {
  load("gausran", 0.3, 0, 2.0, 0, 0);
  double p, px, py, pxx, pyy, pxy;
  gausran0(0.4, p, px, py, pxx, pyy, pxy);
  EXPECT_NEAR((pxx + pyy) / 2, std::sqrt(2.0) * 0.3 * std::cos(kPi * 0.4), 1e-14);

  TWspecial.gausran1n = 4;
  TWspecial.gausran1arr.reset(1, 4);
  for (int i = 1; i <= 4; ++i) TWspecial.gausran1arr[i] = 0.5 * i;
  gausran1(0.3, -0.8, p, px, py, pxx, pyy, pxy);
  double kap = 0;
  for (int i = 1; i <= 4; ++i) {
    const double ang = (i - 1) * kPi / 3, kw = kPi;
    kap += 0.3 * std::sqrt(0.5) * std::cos(kw * std::cos(ang) * 0.3 + kw * std::sin(ang) * -0.8 + 0.5 * i);
  }
  EXPECT_NEAR((pxx + pyy) / 2, kap, 1e-13);
  // phi_x against a difference of phi.
  double pp, pm, d1, d2, d3, d4, d5;
  gausran1(0.3 + 1e-6, -0.8, pp, d1, d2, d3, d4, d5);
  gausran1(0.3 - 1e-6, -0.8, pm, d1, d2, d3, d4, d5);
  EXPECT_NEAR((pp - pm) / 2e-6, px, 1e-7);
  TWspecial.gausran1n = 1;
  EXPECT_EQ(fatal_message([&] { gausran1(0.3, -0.8, p, px, py, pxx, pyy, pxy); }),
            "must have more than one mode in gausran1 model");
  TWspecial.gausran1n = 0;
  TWspecial.gausran1arr.clear();
}

TEST_F(SpecialCommands, Setgausran1CountsRedrawsAndReleases) {
  {
    CaptureOutput out;
    run_handler(setgausran1, line({"setgausran1", "3"}));
    EXPECT_EQ(out.text(), "Setting number of modes in gaussian random field: 3\n");
  }
  ASSERT_EQ(TWspecial.gausran1n, 3);
  const double first = TWspecial.gausran1arr[1];
  for (int i = 1; i <= 3; ++i) {
    EXPECT_GE(TWspecial.gausran1arr[i], 0.0);
    EXPECT_LT(TWspecial.gausran1arr[i], 2 * kPi);
  }
  {
    CaptureOutput out;
    run_handler(setgausran1, line({"setgausran1", "3"}));  // same count: redraw only, no message
    EXPECT_EQ(out.text(), "");
  }
  // The refresh restores the seed setting before each command, so the draw repeats.
  EXPECT_EQ(TWspecial.gausran1arr[1], first);
  {
    CaptureOutput out;
    run_handler(setgausran1, line({"setgausran1", "0"}));  // released, count 0, nothing written
    EXPECT_EQ(out.text(), "");
  }
  EXPECT_EQ(TWspecial.gausran1n, 0);
  EXPECT_EQ(TWspecial.gausran1arr.size(), 0);
  load("gausran1", 1, 0, 1, 0, 0);
  double p, px, py, pxx, pyy, pxy;
  gausran1(0.1, 0.2, p, px, py, pxx, pyy, pxy);
  EXPECT_EQ(pxx, 0.0);

  {
    CaptureOutput out;
    run_handler(setgausran1, line({"setgausran1", "1"}));
  }
  EXPECT_EQ(fatal_message([&] { gausran1(0.3, -0.8, p, px, py, pxx, pyy, pxy); }),
            "must have more than one mode in gausran1 model");
  EXPECT_EQ(fatal_message([] { run_handler(setgausran1, line({"setgausran1", "-2"})); }),
            "setgausran1: the number of modes cannot be negative");
  {
    CaptureOutput out;
    run_handler(setgausran1, line({"setgausran1"}));
    EXPECT_EQ(out.text(), "setgausran1 <n>\n Sets the number of modes in the gausran1 model.\n");
  }
  CaptureOutput out;
  run_handler(setgausran1, line({"setgausran1", "0"}));
}

TEST_F(SpecialCommands, SetfoldcausReadsLettersExactly) {
  dir.write("fold.in", "# coefficients\nK 0.5\nk 0.25\nKK 7\nmm 3\nother line here\nh -1e-2\nh 0.125\n");
  {
    CaptureOutput out;
    run_handler(setfoldcaus, line({"setfoldcaus", dir.file("fold.in")}));
    const std::string t = out.text();
    EXPECT_NE(t.find("foldcaus parameters:\n  K = 5.000000e-01\n  e = 0.000000e+00\n"), std::string::npos) << t;
    EXPECT_NE(t.find("  r = 0.000000e+00\n"), std::string::npos);
  }
  const double* c = TWspecial.foldcaus_dat;
  EXPECT_EQ(c[1], 0.5);    // K
  EXPECT_EQ(c[6], 0.25);   // k, not K
  EXPECT_EQ(c[5], 0.125);  // later line overrides
  EXPECT_EQ(c[7], 0.0);    // two-letter words set nothing
  for (int i : {2, 3, 4, 8, 9, 10}) EXPECT_EQ(c[i], 0.0) << i;

  // Without a word: the coefficients stay and are listed.
  {
    CaptureOutput out;
    run_handler(setfoldcaus, line({"setfoldcaus"}));
    EXPECT_NE(out.text().find("  K = 5.000000e-01\n"), std::string::npos);
  }
  EXPECT_EQ(c[1], 0.5);
}

TEST_F(SpecialCommands, SetfoldcausRefusesValuesThatAreNoNumbers) {
  dir.write("bad.in", "K 0.5\ne abc\n");
  dir.write("short.in", "K 0.5\nf\n");
  TWspecial.foldcaus_dat[1] = 0.75;
  std::string m;
  {
    CaptureOutput out;
    m = fatal_message([&] { run_handler(setfoldcaus, line({"setfoldcaus", dir.file("bad.in")})); });
  }
  EXPECT_EQ(m, "setfoldcaus input file " + dir.file("bad.in") + ": coefficient e has no numeric value");
  {
    CaptureOutput out;
    m = fatal_message([&] { run_handler(setfoldcaus, line({"setfoldcaus", dir.file("short.in")})); });
  }
  EXPECT_EQ(m, "setfoldcaus input file " + dir.file("short.in") + ": coefficient f has no numeric value");
  {
    CaptureOutput out;
    m = fatal_message([&] { run_handler(setfoldcaus, line({"setfoldcaus", dir.file("missing.in")})); });
  }
  EXPECT_EQ(m, "could not open setfoldcaus input file");
}

TEST_F(SpecialCommands, SetfoldcausRandomDrawsWithoutAdvancingTheSeed) {
  SetGlob();
  const long seed = settings.seed;
  {
    CaptureOutput out;
    run_handler(setfoldcaus, line({"setfoldcaus", "ran"}));
    EXPECT_EQ(out.text().rfind("Setting random values for foldcaus parameters.\nfoldcaus parameters:\n", 0), 0u);
  }
  double first[11];
  for (int i = 1; i <= 10; ++i) {
    first[i] = TWspecial.foldcaus_dat[i];
    EXPECT_GT(first[i], 0.0);
    EXPECT_LT(first[i], 1.0);
  }
  EXPECT_EQ(settings.seed, seed);
  CaptureOutput out;
  run_handler(setfoldcaus, line({"setfoldcaus", "random"}));
  for (int i = 1; i <= 10; ++i) EXPECT_EQ(TWspecial.foldcaus_dat[i], first[i]);
  for (int i = 1; i <= 10; ++i) TWspecial.foldcaus_dat[i] = 0;
}

TEST_F(SpecialCommands, NonparCommandsAreSilent) {
  CaptureOutput out;
  run_handler(loadnonpar, line({"loadnonpar", "x"}));
  run_handler(MTseries, line({"MTseries"}));
  loadnonparhelp(2);
  MTserieshelp(1);
  nonpar_init();
  EXPECT_EQ(out.text(), "");
}
