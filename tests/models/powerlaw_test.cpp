// Power-law variants and the power-law coefficient table.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <functional>
#include <vector>

#include "app/startup.h"
#include "models/classes.h"
#include "models/component.h"
#include "models/powerlaw.h"
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

WordArray line(std::vector<std::string> w) {
  w.push_back("#");
  return WordArray(std::move(w));
}

// Adaptive Simpson quadrature: an independent rule for reference values.
double simpson_step(const std::function<double(double)>& f, double a, double b, double fa, double fm, double fb,
                    double whole, double tol, int depth) {
  const double m = (a + b) / 2, lm = (a + m) / 2, rm = (m + b) / 2, flm = f(lm), frm = f(rm);
  const double left = (m - a) / 6 * (fa + 4 * flm + fm), right = (b - m) / 6 * (fm + 4 * frm + fb);
  if (depth <= 0 || std::fabs(left + right - whole) <= 15 * tol) return left + right + (left + right - whole) / 15;
  return simpson_step(f, a, m, fa, flm, fm, left, tol / 2, depth - 1) +
         simpson_step(f, m, b, fm, frm, fb, right, tol / 2, depth - 1);
}
double simpson(const std::function<double(double)>& f, double a, double b, double tol = 1e-12) {
  const double fa = f(a), fb = f(b), fm = f((a + b) / 2);
  return simpson_step(f, a, b, fa, fm, fb, (b - a) / 6 * (fa + 4 * fm + fb), tol, 40);
}

class PowerLaw : public ::testing::Test {
 protected:
  void SetUp() override {
    settings.potflag = 1;
    settings.inttol = 1e-6;
    settings.alphanorm = 1;
    settings.verbose = 1;
  }
  void TearDown() override {
    settings.potflag = 1;
    settings.inttol = 1e-6;
  }
};

}  // namespace

// ---- softpow: convergence (b^2/2)(s + r)^-2 ----

TEST_F(PowerLaw, SoftpowPoissonPotentialAndChecks) {
  settings.inttol = 1e-10;
  const double b = 1.2, s = 0.3;
  load("softpow", b, 0, s, 0, 0);
  for (auto [x, y] : std::vector<std::pair<double, double>>{{0.5, 0.2}, {-0.01, 0.02}, {2.0, -3.0}}) {
    const double r = std::hypot(x, y);
    EXPECT_NEAR(kappa_of(eval(softpow, x, y)), b * b / 2 / ((s + r) * (s + r)), 1e-10);
    expect_consistent_derivatives(softpow, x, y, 1e-5, 1e-7);
  }
  // The two forms of the deflection function meet at r/s = 1e-4.
  EXPECT_NEAR(softpow0phir(0.99999e-4 * s) / softpow0phir(1.00001e-4 * s), 0.99999 / 1.00001, 1e-7);
  // Centre: m = H/s^2, phi_xx = phi_yy = H/s^2.
  const DerivVector c = eval(softpow, 0, 0);
  EXPECT_NEAR(c[4], b * b / 2 / (s * s), 1e-12);
  EXPECT_NEAR(c[5], b * b / 2 / (s * s), 1e-12);
  EXPECT_EQ(c[1], 0.0);

  load("softpow", b, 0, s, 0, 1e-7);  // accepted as alpha = 0
  EXPECT_TRUE(std::isfinite(eval(softpow, 0.1, 0.1)[2]));
  load("softpow", b, 0, s, 0, 0.5);
  EXPECT_EQ(fatal_message([] { eval(softpow, 0.1, 0.1); }), "softpow only implemented for alpha=0");
  load("softpow", b, 0.1, s, 0, 0);
  EXPECT_EQ(fatal_message([] { eval(softpow, 0.1, 0.1); }), "softpow only implemented for circular case");
  load("softpow", b, 0, 0, 0, 0);
  eval(softpow, 0.1, 0.1);
  EXPECT_EQ(cur.ss, 1e-4);
}

// ---- alphapot ----

TEST_F(PowerLaw, AlphapotDerivativesToThirdOrder) {
  settings.potflag = 0;  // the potential is returned all the same
  load("alphapot", 0.8, 0.35, 0.2, 0, 1.3);
  for (auto [x, y] : std::vector<std::pair<double, double>>{{0.5, 0.2}, {-0.7, 1.1}, {0.0, -0.4}}) {
    const DerivVector d = eval(alphapot, x, y);
    EXPECT_NEAR(d[1], 0.8 * std::pow(0.04 + x * x + y * y / (0.65 * 0.65), 0.65), 1e-14);
    expect_consistent_derivatives(alphapot, x, y, 1e-5, 1e-8, true, true);
  }
  load("alphapot", 0.8, 0.35, 0, 0, 1.3);
  eval(alphapot, 0.1, 0.1);
  EXPECT_EQ(cur.ss, 1e-4);
}

// ---- tpow: convergence (alpha^2/2) b r^(alpha-2) inside a, point mass outside ----

TEST_F(PowerLaw, TpowInsideOutsideAndContinuityAtA) {
  for (double al : {0.7, 1.4, 0.004}) {
    const double b = 0.9, a = 1.5;
    load("tpow", b, 0, 0, a, al);
    const DerivVector in = eval(tpow, 0.6, 0.8);
    EXPECT_NEAR(kappa_of(in), al * al / 2 * b * std::pow(1.0, al - 2), 1e-13) << al;
    expect_consistent_derivatives(tpow, 0.6, 0.8, 1e-6, 1e-7);
    expect_consistent_derivatives(tpow, 1.8, -1.2, 1e-6, 1e-7);
    EXPECT_NEAR(kappa_of(eval(tpow, 1.8, -1.2)), 0.0, 1e-14);
    const DerivVector at = eval(tpow, a, 0), past = eval(tpow, a * (1 + 1e-12), 0);
    EXPECT_NEAR(at[1], past[1], 1e-11);
    EXPECT_NEAR(at[2], past[2], 1e-11);
  }
  // At |alpha| = 0.01 the series of the bracket ((r/a)^alpha - 1)/alpha stands for the
  // exact value to its truncation error alpha^3 t^4/24 (t = ln(r/a) = -1.9 here).
  load("tpow", 1, 0, 0, 2, 0.01);
  const double t = std::log(0.3 / 2), exact = 0.01 * std::pow(2.0, 0.01) * (std::log(2.0) + std::expm1(0.01 * t) / 0.01);
  EXPECT_NEAR(eval(tpow, 0.3, 0)[1], exact, 0.01 * 1e-6 * std::pow(t, 4) / 24 * 1.1);
  load("tpow", 1, 0.1, 0, 2, 1);
  EXPECT_EQ(eval(tpow, 0, 0)[2], 0.0);
  EXPECT_EQ(fatal_message([] { eval(tpow, 0.1, 0); }), "for now, tpow model must be circular");
  load("tpow", 1, 0, 0, 0, 1);
  EXPECT_EQ(fatal_message([] { eval(tpow, 0.1, 0); }), "tpow truncation radius cannot be zero");
}

// ---- tsis ----

namespace {
const double kTsisC[7] = {0, 2 / kPi, 4 / kPi, 16 / (3 * kPi), 32 / (5 * kPi), 256 / (35 * kPi), 512 / (63 * kPi)};

// Convergence (units of b) by direct projection of rho = (1/2 pi) R^-2 (1 + R^2/a_n^2)^-n
// (n >= 1) or (1/2 pi) R^-2 inside a (n = 0), along the line of sight z = r tan t.
double tsis_projected(int n, double r, double a) {
  if (n == 0) {
    if (r >= a) return 0;
    return simpson([&](double) { return 1.0 / (kPi * r); }, 0, std::acos(r / a));
  }
  const double an = kTsisC[n] * a;
  return simpson(
      [&](double t) {
        const double c = std::cos(t);
        return 1.0 / (kPi * r) / std::pow(1 + r * r / (c * c * an * an), n);
      },
      0, kPi / 2, 1e-10 / r);
}
}  // namespace

TEST_F(PowerLaw, TsisConvergenceIsTheProjectedDensity) {
  const double b = 1.3, a = 0.8;
  for (int n = 0; n <= 6; ++n) {
    load("tsis", b, 0, 0, a, n);
    for (double r : {0.002, 0.05, 0.5, 0.79, 1.2, 3.0}) {
      const double x = 0.6 * r, y = -0.8 * r;
      const DerivVector d = eval(tsis, x, y);
      const double want = b * tsis_projected(n, r, a);
      EXPECT_NEAR(kappa_of(d), want, 1e-9 * std::fmax(1.0, want)) << "n=" << n << " r=" << r;
      if (n > 0 || std::fabs(r - a) > 0.02) {
        expect_consistent_derivatives(tsis, x, y, 1e-6, 3e-6);
      }
    }
    // Total mass 2 a b: far away the deflection is 2 a b/(pi r) (the mass beyond r is a
    // fraction of order a/r for n = 1).
    const DerivVector far = eval(tsis, 3e6, 4e6);
    EXPECT_NEAR(std::hypot(far[2], far[3]), 2 * a * b / (kPi * 5e6), 1e-6 * 2 * a * b / (kPi * 5e6)) << n;
    // Potential zero at the centre for n >= 1 (at small radius it is b r).
    if (n > 0) {
      EXPECT_NEAR(eval(tsis, 1e-9, 0)[1], b * 1e-9, 1e-15);
    }
  }
}

TEST_F(PowerLaw, TsisGeneralFormsEqualThePartsClosedFormsForN1To3) {
  const double a = 1.1;
  for (int n = 1; n <= 3; ++n) {
    const double an = kTsisC[n] * a;
    load("tsis", 1, 0, 0, a, n);
    for (double g : {0.002, 0.3, 1.0, 4.0}) {
      const double w = std::sqrt(1 + g * g), L = std::log((w + 1) / 2);
      double D, K, G, P;
      if (n == 1) {
        D = (g + 1 - w) / g;
        K = (1 / g - 1 / w) / (2 * an);
        G = (g + 2 - 2 / w - g * g / w) / (2 * an * g * g);
        P = an * (L + g + 1 - w);
      } else if (n == 2) {
        D = 1 - g / w + (1 - 1 / w) / (2 * g);
        K = (2 * w * (1 + g * g) - 3 * g - 2 * g * g * g) / (4 * an * g * (1 + g * g) * w);
        G = (2 * (w - 1) + (2 * w - 3) * g * g + 2 * g * w + 2 * g * g * g * w - 2 * g * g * g * g) /
            (4 * an * g * g * (1 + g * g) * w);
        P = an / 2 * (2 * g + 2 - 2 * w + L);
      } else {
        const double w5 = std::pow(w, 5);
        D = (8 * g + 3 + 1 / (w * w * w) + 4 / w - 8 * w) / (8 * g);
        K = (8 * w + 16 * g * g * w + 8 * std::pow(g, 4) * w - 15 * g - 20 * g * g * g - 8 * std::pow(g, 5)) /
            (16 * an * g * w5);
        G = (8 * g * w5 + 6 * w5 - 6 - 15 * g * g - 20 * std::pow(g, 4) - 8 * std::pow(g, 6)) / (16 * an * g * g * w5);
        P = an / 8 * (8 * g + 7 + 1 / w - 8 * w + 3 * L);
      }
      const DerivVector d = eval(tsis, g * an, 0);  // on the x axis: phi_xx = K - G, phi_yy = K + G
      const double tol = g < 0.01 ? 1e-6 : 1e-11;  // the Part's forms cancel at small g
      EXPECT_NEAR(d[2], D, tol) << n << " " << g;
      EXPECT_NEAR(d[1], P, tol) << n << " " << g;
      EXPECT_NEAR(d[4], K - G, tol / g) << n << " " << g;
      EXPECT_NEAR(d[5], K + G, tol / g) << n << " " << g;
    }
  }
}

TEST_F(PowerLaw, TsisSwitchesAndChecks) {
  const double a = 0.9;
  for (int n = 0; n <= 6; ++n) {  // the small-radius series meet the closed forms
    load("tsis", 1, 0, 0, a, n);
    const double rs = n == 0 ? 0.01 * a : 0.001 * kTsisC[n] * a;
    const DerivVector lo = eval(tsis, rs * (1 - 1e-12), 0), hi = eval(tsis, rs * (1 + 1e-12), 0);
    for (int k = 1; k <= 5; ++k) EXPECT_NEAR(lo[k], hi[k], 1e-9 * std::fmax(1.0, std::fabs(hi[k]))) << n << " " << k;
  }
  // n = 0 at r = a: K = 0 and P = (2 a b/pi) ln a.
  load("tsis", 2, 0, 0, a, 0);
  const DerivVector at = eval(tsis, a, 0);
  EXPECT_NEAR(kappa_of(at), 0.0, 1e-14);
  EXPECT_NEAR(at[1], 2 * (2 * a / kPi) * std::log(a), 1e-14);

  load("tsis", 1, 5e-5, 0, a, 2.005);  // n = 2, nearly circular accepted
  const DerivVector n2 = eval(tsis, 0.3, 0.1);
  load("tsis", 1, 0, 0, a, 2);
  EXPECT_EQ(eval(tsis, 0.3, 0.1)[2], n2[2]);
  load("tsis", 1, 0, 0, a, 2.02);
  EXPECT_EQ(fatal_message([] { eval(tsis, 0.3, 0.1); }), "unknown value of the truncation power in tsis model");
  load("tsis", 1, 0.001, 0, a, 2);
  EXPECT_EQ(fatal_message([] { eval(tsis, 0.3, 0.1); }), "tsis model must be circular");
  load("tsis", 1, 0, 0.01, a, 2);
  EXPECT_EQ(fatal_message([] { eval(tsis, 0.3, 0.1); }), "tsis model must be singular");
  load("tsis", 1, 0, 0, 0, 2);
  EXPECT_EQ(fatal_message([] { eval(tsis, 0.3, 0.1); }), "tsis truncation radius (parameter 9) cannot be zero");
  EXPECT_EQ(eval(tsis, 0, 0)[2], 0.0);
}

// ---- the coefficient table ----

namespace {
// Fills the six arrays with c_k = k + i + 2 j + 3 l at spline indices (i, j, l); a cubic
// B-spline reproduces linear functions: the value at (alpha, q, theta) is then
// k + (u1 + 1) + 2 (u2 + 1) + 3 (u3 + 1), u the position in node steps.
void fill_linear(PowerLawTable& t) {
  powlaw_set_axes(t);
  for (int k = 1; k <= 6; ++k) {
    t.powlawTcoeffs[k].reset(0, PowerLawTable::kCount - 1);
    for (long i = 0; i < PowerLawTable::kN1 + 2; ++i)
      for (long j = 0; j < PowerLawTable::kN2 + 2; ++j)
        for (long l = 0; l < PowerLawTable::kN3 + 2; ++l)
          t.powlawTcoeffs[k][i * PowerLawTable::kStride1 + j * PowerLawTable::kStride2 + l] =
              k + static_cast<double>(i) + 2.0 * j + 3.0 * l;
  }
  t.powlawTflag = 1;
}
double linear_value(int k, double al, double q, double th) {
  const double u1 = (al - 0.4) / 0.01, u2 = (q - 0.02) / 0.01, u3 = (th + kPi / 2) / (kPi / 90);
  return k + (u1 + 1) + 2 * (u2 + 1) + 3 * (u3 + 1);
}
}  // namespace

TEST_F(PowerLaw, SplineReproducesLinearCoefficientsUpToTheLastNode) {
  fill_linear(TWpowlaw);
  const Mat& L = TWpowlaw.powlawTlim;
  EXPECT_EQ(L[1][0], 121);
  EXPECT_NEAR(L[2][3], 0.01, 1e-15);
  EXPECT_NEAR(L[3][3], kPi / 90, 1e-15);
  EXPECT_EQ(L[3][5], kPi / 2);
  for (auto [al, q, th] : std::vector<std::tuple<double, double, double>>{
           {0.5, 0.2, 0.0}, {1.234, 0.777, 0.9}, {1.5, 1.0, kPi / 2}, {0.4, 0.02, -kPi / 2}, {1.6, 1.1, kPi / 2}})
    for (int k = 1; k <= 6; ++k) EXPECT_NEAR(powlawT_interp(k, al, q, th), linear_value(k, al, q, th), 1e-9);
}

TEST_F(PowerLaw, PowlawTAppliesItsScalingsAndRanges) {
  fill_linear(TWpowlaw);
  const double b = 1.1, e = 0.3, al = 0.8, q = 0.7;
  load("alphaT", b, e, 0, 0, al);
  const double x = 0.4, y = -0.3, r = 0.5, th = std::acos(0.8);
  DerivVector d;
  ASSERT_EQ(powlawT(d, x, y), 1);
  double T[7];
  for (int k = 1; k <= 6; ++k) T[k] = linear_value(k, al, q, th);
  const double bp = b * std::sqrt((1 + q * q) / 2) / q, w = std::pow(bp / r, 2 - al), sq = std::sqrt(q);
  EXPECT_NEAR(d[1], w * r * r * T[1] / (al * sq), 1e-9);
  EXPECT_NEAR(d[2], x * w * T[2], 1e-9);
  EXPECT_NEAR(d[3], y * w * T[3] / q, 1e-9);
  EXPECT_NEAR(d[4], (al - 2) * sq * x * x * w * T[4] / (r * r) + w * T[2], 1e-8);
  EXPECT_NEAR(d[5], (al - 2) * y * y * w * T[6] / (q * sq * r * r) + w * T[3] / q, 1e-8);
  EXPECT_NEAR(d[6], (al - 2) * x * y * w * T[5] / (sq * r * r), 1e-8);

  settings.alphanorm = 0;
  ASSERT_EQ(powlawT(d, x, y), 1);
  EXPECT_NEAR(d[2], x * std::pow(b / r, 2 - al) * T[2], 1e-9);
  // Centre and b = 0: filled with zeros.
  EXPECT_EQ(powlawT(d, 0, 0), 1);
  EXPECT_EQ(d[2], 0.0);
  // Bounds included; outside: 0 and zeros.
  for (auto [a2, e2, ok] : std::vector<std::tuple<double, double, int>>{
           {1.0, 0.8, 1}, {1.0, 0.0, 1}, {0.5, 0.3, 1}, {1.5, 0.3, 1}, {1.6, 0.3, 0}, {0.45, 0.3, 0}, {1.0, 0.85, 0}})
  {
    load("alphaT", b, e2, 0, 0, a2);
    EXPECT_EQ(powlawT(d, x, y), ok) << a2 << " " << e2;
    if (!ok) {
      EXPECT_EQ(d[2], 0.0);
    }
  }
  TWpowlaw.powlawTflag = 0;
  EXPECT_EQ(powlawT(d, x, y), 0);
}

TEST_F(PowerLaw, LoadpowlawtabUsageAndFaultyFiles) {
  start_program(stdin, stdout);
  ScratchDir dir;
  {
    CaptureOutput out;
    run_handler(loadpowlawtab, line({"loadpowlawtab"}));
    EXPECT_EQ(out.text(), "loadpowlawtab <filename>\nRead interpolation coefficients for powlawT model.\n");
  }
  // A short file and a file with a word that is no number: ERROR naming the file, the
  // table as it was.
  fill_linear(TWpowlaw);
  dir.write("short.dat", "1 2 3 4 5 6\n7 8 9\n");
  dir.write("word.dat", "1 2 3 4 5 6\n7 8 nine 10 11 12\n");
  std::string m;
  {
    CaptureOutput out;
    m = fatal_message([&] { run_handler(loadpowlawtab, line({"loadpowlawtab", dir.file("short.dat")})); });
  }
  EXPECT_EQ(m, "loadpowlawtab input file " + dir.file("short.dat") + " holds 9 values; the table needs 7618374");
  {
    CaptureOutput out;
    m = fatal_message([&] { run_handler(loadpowlawtab, line({"loadpowlawtab", dir.file("word.dat")})); });
  }
  EXPECT_EQ(m, "loadpowlawtab input file " + dir.file("word.dat") + ": value 9 (\"nine\") is not a number");
  EXPECT_NEAR(powlawT_interp(1, 1.0, 0.5, 0.5), linear_value(1, 1.0, 0.5, 0.5), 1e-9);
  {
    CaptureOutput out;
    m = fatal_message([&] { run_handler(loadpowlawtab, line({"loadpowlawtab", dir.file("none.dat")})); });
  }
  EXPECT_EQ(m, "could not open loadpowlawtab input file");
}

TEST_F(PowerLaw, LoadpowlawtabReadsAWholeTable) {
  start_program(stdin, stdout);
  ScratchDir dir;
  {
    // Records in file order (alpha index outermost); the six values of a record are
    // 10 k + (i + j + l) mod 7, so every array and position is told apart.
    FILE* f = std::fopen(dir.file("tab.dat").c_str(), "w");
    ASSERT_NE(f, nullptr);
    for (long i = 0; i < PowerLawTable::kN1 + 2; ++i)
      for (long j = 0; j < PowerLawTable::kN2 + 2; ++j)
        for (long l = 0; l < PowerLawTable::kN3 + 2; ++l) {
          const int v = static_cast<int>((i + j + l) % 7);
          std::fprintf(f, "%d %d %d\n%d %d %d\n", 10 + v, 20 + v, 30 + v, 40 + v, 50 + v, 60 + v);
        }
    std::fclose(f);
  }
  TWpowlaw = PowerLawTable();
  {
    CaptureOutput out;
    run_handler(loadpowlawtab, line({"loadpowlawtab", dir.file("tab.dat")}));
    EXPECT_EQ(out.text(), "Opened input file: " + dir.file("tab.dat") + "\nRead powlawtab.\n");
  }
  EXPECT_EQ(TWpowlaw.powlawTflag, 1);
  for (long idx : {0L, 12345L, PowerLawTable::kCount - 1}) {
    const long i = idx / PowerLawTable::kStride1, j = idx % PowerLawTable::kStride1 / PowerLawTable::kStride2,
               l = idx % PowerLawTable::kStride2;
    for (int k = 1; k <= 6; ++k) EXPECT_EQ(TWpowlaw.powlawTcoeffs[k][idx], 10 * k + (i + j + l) % 7);
  }
  TWpowlaw = PowerLawTable();
}

// ---- alphaT ----

namespace {
class AlphaT : public PowerLaw {
 protected:
  void SetUp() override {
    PowerLaw::SetUp();
    quietflag = 0;
    tablist.clear();
    TWtabwarn.reset();
  }
  void TearDown() override {
    PowerLaw::TearDown();
    tablist.clear();
    TWtabwarn.reset();
    TWpowlaw = PowerLawTable();
  }
  // alphaN with b and s rescaled as "alpha" does for alphanorm = 1.
  static DerivVector numerical(double b, double e, double s, double al, double x, double y) {
    const double q = 1 - e, f = std::sqrt((1 + q * q) / 2) / q;
    load("alphaT", b * f, e, s * f, 0, al);
    return eval(alphaN, x, y);
  }
};
}  // namespace

TEST_F(AlphaT, SingularModelOutsideTheCoefficientTableFallsBackToTheNumericalModel) {
  fill_linear(TWpowlaw);
  CaptureOutput out;
  for (int i = 0; i < 11; ++i) {
    load("alphaT", 1.1, 0.3, 0, 0, 1.6);  // alpha outside 0.5..1.5
    const DerivVector t = eval(alphaT, 0.4, 0.3);
    EXPECT_EQ(cur.ss, 1e-4);
    const DerivVector n = numerical(1.1, 0.3, 1e-4, 1.6, 0.4, 0.3);
    for (int k = 1; k <= 6; ++k) EXPECT_EQ(t[k], n[k]) << k;
    EXPECT_NE(t[2], 0.0);
  }
  const std::string text = out.text();
  EXPECT_EQ(count_occurrences(text, "WARNING: alphaT model is out of tabulation range\n"), 10);
  EXPECT_EQ(count_occurrences(text, "(Further warnings will be suppressed.)\n"), 2);  // and the table's own
  EXPECT_EQ(count_occurrences(text, "ignoring model"), 0);
}

TEST_F(AlphaT, SingularModelInsideTheCoefficientTableUsesIt) {
  fill_linear(TWpowlaw);
  for (double e : {0.8, 0.0}) {  // q = 0.2 and q = 1.0, bounds included
    load("alphaT", 1.1, e, 0, 0, 1.0);
    const DerivVector t = eval(alphaT, 0.4, 0.3);
    DerivVector p;
    load("alphaT", 1.1, e, 0, 0, 1.0);
    ASSERT_EQ(powlawT(p, 0.4, 0.3), 1);
    for (int k = 1; k <= 6; ++k) EXPECT_EQ(t[k], p[k]);
  }
  load("alphaT", 1.1, 0.3, 0, 0, 1.0);
  const DerivVector c = eval(alphaT, 0, 0);
  for (int k = 1; k <= 10; ++k) EXPECT_EQ(c[k], 0.0);
}

TEST_F(AlphaT, WithoutTablesTheNumericalModelAnswers) {
  CaptureOutput out;
  load("alphaT", 0.9, 0.25, 0.2, 0, 0.7);
  const DerivVector t = eval(alphaT, 0.5, -0.2);
  const DerivVector n = numerical(0.9, 0.25, 0.2, 0.7, 0.5, -0.2);
  for (int k = 1; k <= 6; ++k) EXPECT_EQ(t[k], n[k]);
  EXPECT_NE(out.text().find("WARNING: entire model out of tabulation range in alphaT\n"), std::string::npos);
  load("alphaT", 0, 0.25, 0.2, 0, 0.7);
  EXPECT_EQ(eval(alphaT, 0.5, -0.2)[2], 0.0);
}

TEST_F(AlphaT, RescalesATableOfTheAlphaClass) {
  // Table made from "alpha" with b_t = 1, s_t = 0.5; a component with b = 1.4, s = 0.8.
  prof2::make_table("alpha", alpha, 1, 0.5, 0, 0.7, 0.28, 0.32, 3, 0.5, 0.7, 9, 10, 40, 31);
  const double x = 0.9 * std::cos(0.4), y = 0.9 * std::sin(0.4);  // R' = 0.5625
  CaptureOutput out;
  load("alphaT", 1.4, 0.3, 0.8, 0, 0.7);
  const DerivVector t = eval(alphaT, x, y);
  load("alpha", 1.4, 0.3, 0.8, 0, 0.7);
  const DerivVector n = eval(alpha, x, y);
  EXPECT_EQ(out.text(), "");
  for (int k = 1; k <= 6; ++k) EXPECT_NEAR(t[k], n[k], 2e-3 * std::fabs(n[k]) + 1e-7) << k;
}
