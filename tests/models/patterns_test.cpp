// The numerical elliptical pattern (with toy profiles and against closed forms) and the
// tabulated pattern ("nfwT", warnings, the exponent check).
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <string>

#include "models/classes.h"
#include "models/component.h"
#include "models/elliptical_pattern.h"
#include "models/tab.h"
#include "models/tabulated_pattern.h"
#include "numeric/constants.h"
#include "shell/fatal.h"
#include "shell/settings.h"
#include "support/test_support.h"

namespace {

using Fn = void (*)(DerivVector&, double, double);

void set_cur(double b, double e, double s, double a = 0, double al = 0) {
  settings = Settings();
  settings.potflag = 1;
  settings.inttol = 1e-6;
  settings.verbose = 1;
  quietflag = 0;
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

// ---- numerical elliptical pattern ----

TEST(EllipticalPattern, IsothermalThroughThePatternMatchesItsClosedForm) {
  // The general branch of "alpha" at alpha = 1 is the pattern applied to the cored
  // isothermal; the isothermal closed form is an independent route to the same six values.
  for (double e : {0.2, 0.6}) {
    set_cur(1.3, e, 0.15, 0, 1.0);
    const DerivVector closed = eval(modelclass::alpha, 0.45, -0.3);
    double prev = 1;
    for (double tol : {1e-5, 1e-7, 1e-9}) {
      settings.inttol = tol;
      const DerivVector num = eval(modelclass::alphaN, 0.45, -0.3);
      double worst = 0;
      for (int k = 1; k <= 6; ++k) worst = std::fmax(worst, std::fabs(num[k] - closed[k]));
      EXPECT_LT(worst, 50 * tol) << e << " " << tol;
      EXPECT_LE(worst, prev) << e << " " << tol;  // converges as inttol falls
      prev = worst;
    }
  }
}

// A singular isothermal profile, kappa~ = 1/xi (D = 2), on the pattern with the change of
// variable u = t^2 that keeps the integrands finite at the centre.
struct SisProfile : EllipticalProfile<SisProfile> {
  static constexpr const char* kZeroScaleError = nullptr;
  explicit SisProfile(const CurrentComponent&) {}
  void radial(double xi, double xi2, bool want_D, double& D, double& k, double& kp) const {
    if (want_D) D = 2.0;
    k = 1.0 / xi;
    kp = -0.5 / (xi2 * xi);
  }
  double u_power() const { return 2.0; }
  double potential_power() const { return 2.0; }
};
void sis_class(DerivVector& out, double x, double y) { radial_profile_class<SisProfile>(out, x, y); }

TEST(EllipticalPattern, ChangeOfVariableForACuspedProfile) {
  // Singular isothermal ellipsoid of convergence (b/2)/xi with N = q b / 2... here N = q b
  // and kappa = b/xi: its closed form (Kormann et al. 1994) with b' = 2b:
  // alpha_x = (q b'/v) atan(v x/psi), alpha_y = (q b'/v) artanh(v y/psi),
  // psi = sqrt(q^2 x^2 + y^2), v = sqrt(1 - q^2); phi = x alpha_x + y alpha_y.
  const double b = 0.8, e = 0.35, q = 1 - e, v = std::sqrt(1 - q * q);
  set_cur(b, e, 1.0);
  settings.inttol = 1e-10;
  for (auto [x, y] : {std::pair{0.5, 0.2}, {-1.0, 2.0}}) {
    const DerivVector o = eval(sis_class, x, y);
    const double psi = std::sqrt(q * q * x * x + y * y), bb = 2 * b;
    const double ax = q * bb / v * std::atan(v * x / psi), ay = q * bb / v * std::atanh(v * y / psi);
    EXPECT_NEAR(o[2], ax, 1e-8);
    EXPECT_NEAR(o[3], ay, 1e-8);
    EXPECT_NEAR(o[1], x * ax + y * ay, 1e-8);
    EXPECT_NEAR((o[4] + o[5]) / 2, b / std::sqrt(x * x + y * y / (q * q)), 1e-8);
  }
  // Circular: the potential integral in the same variable, D = 2 gives 2 N r.
  cur.ep = 0;
  const DerivVector c = eval(sis_class, 0.3, 0.4);
  EXPECT_NEAR(c[1], 2 * b * 0.5, 1e-10);
  EXPECT_NEAR(c[2], 2 * b * 0.3 / 0.5, 1e-14);
}

// The NFW profile with every integral scaled by 1e6: same results, relative control.
struct ScaledNfw : EllipticalProfile<ScaledNfw> {
  static constexpr const char* kZeroScaleError = "scaled scale radius cannot be zero";
  static constexpr bool kScaledIntegrals = true;
  double s;
  explicit ScaledNfw(const CurrentComponent& c) : s(c.ss) {}
  double lower_limit() const { return 1e-8; }
  void radial(double xi, double, bool want_D, double& D, double& k, double& kp) const {
    // Reference: the NFW class itself through the shared functions.
    const double X = xi / s, F = nfwFfunc(X), g = X * X - 1;
    if (want_D) D = s * nfw0phir_F(X, F);
    k = 2 * (1 - F) / g;
    kp = (3 * X * X * F - 2 * X * X - 1) / (s * s * X * X * g * g);
  }
  void integral_scales(double, double, double c[6]) const {
    for (int i = 0; i < 6; ++i) c[i] = 1e6;
  }
};
void scaled_nfw(DerivVector& out, double x, double y) { radial_profile_class<ScaledNfw>(out, x, y); }

TEST(EllipticalPattern, ScaledIntegralsAndStatistics) {
  set_cur(0.5, 0.3, 1.2);
  settings.inttol = 1e-10;
  const long before = elliptical_pattern_stats.integrand_calls;
  const DerivVector a = eval(modelclass::nfw, 0.61, 0.37);
  EXPECT_GT(elliptical_pattern_stats.integrand_calls, before + 10);
  const DerivVector b = eval(scaled_nfw, 0.61, 0.37);
  for (int k = 1; k <= 6; ++k) EXPECT_NEAR(a[k], b[k], 1e-8 * std::fabs(a[k])) << k;
  cur.ss = 0;
  try {
    eval(scaled_nfw, 1, 1);
    ADD_FAILURE();
  } catch (const FatalError& e) {
    EXPECT_EQ(e.message, "scaled scale radius cannot be zero");
  }
}

// ---- tabulated pattern ----

// A table of "nfw" made as maketab makes it: the class evaluated at (r cos t, r sin t)
// for each ellipticity, radius and angle of the grid.
void make_nfw_table(double b, double s, double alpha, int ne, int nr, int nt, double rlo, double rhi) {
  LensTable& t = AddTab();
  t.name = "nfw";
  t.b = b;
  t.s = s;
  t.alpha = alpha;
  const double lo[3] = {0.1, rlo, 0.0}, hi[3] = {0.4, rhi, 90.0};
  const int cnt[3] = {ne, nr, nt};
  t.set_axes(lo, hi, cnt);
  const CurrentComponent saved = cur;
  cur = CurrentComponent();
  cur.b = b;
  cur.ss = s;
  for (int i = 1; i <= ne; ++i) {
    cur.ep = t.node(TAB_E, i);
    for (int j = 1; j <= nr; ++j)
      for (int l = 1; l <= nt; ++l) {
        const double r = t.node(TAB_R, j), th = t.node(TAB_T, l) * kPi / 180;
        DerivVector o;
        modelclass::nfw(o, r * std::cos(th), r * std::sin(th));
        for (int k = 0; k < 6; ++k) t.at(k, i, j, l) = o[k + 1];
      }
  }
  cur = saved;
}

TEST(TabulatedPattern, NfwTAgainstItsNumericalTwin) {
  set_cur(1.0, 0.25, 1.0);
  tablist.clear();
  TWtabwarn.reset();
  make_nfw_table(1.0, 1.0, 0.0, 7, 41, 31, 0.2, 4.2);
  // On the nodes the table is the twin, rescaled exactly for b = 2 b_t, s = 1.5 s_t (the
  // NFW fields are b s^2 f(x/s, y/s)); between nodes within the interpolation error.
  cur.b = 2.0;
  cur.ss = 1.5;
  cur.ep = 0.25;  // a node of the ellipticity axis
  const double r = 1.5 * (0.2 + 0.1 * 13), th = 3 * kPi / 180 * 9;
  const DerivVector t = eval(modelclass::nfwT, -r * std::cos(th), r * std::sin(th));
  const DerivVector n = eval(modelclass::nfw, -r * std::cos(th), r * std::sin(th));
  // (Both sides integrate to inttol 1e-6, at different points.)
  for (int k = 1; k <= 6; ++k) EXPECT_NEAR(t[k], n[k], 5e-6 * (1 + std::fabs(n[k]))) << k;
  // Between nodes: trilinear interpolation with steps 0.05 in e, 0.1 in r and 3 degrees
  // (second derivatives vary as 1/r^2 here: about 1% at r = 1).
  cur.ep = 0.21;
  for (auto [x, y] : {std::pair{0.9, 0.7}, {-2.3, 1.4}, {1.1, -3.0}}) {
    const DerivVector tt = eval(modelclass::nfwT, x, y), nn = eval(modelclass::nfw, x, y);
    for (int k = 1; k <= 3; ++k) EXPECT_NEAR(tt[k], nn[k], 2e-3 * std::fabs(nn[k])) << x << "," << y << " " << k;
    for (int k = 4; k <= 6; ++k) EXPECT_NEAR(tt[k], nn[k], 1e-2 * (std::fabs(nn[k]) + 0.1)) << x << "," << y << " " << k;
  }
  CaptureOutput cap;  // all of the above without a warning
  eval(modelclass::nfwT, 1, 1);
  EXPECT_EQ(cap.text(), "");
}

TEST(TabulatedPattern, NoTableWarnsTenTimesThenFallsBackSilently) {
  set_cur(0.7, 0.3, 1.1);
  tablist.clear();
  TWtabwarn.reset();
  CaptureOutput cap;
  std::string expected;
  for (int i = 1; i <= 12; ++i) {
    const DerivVector t = eval(modelclass::nfwT, 0.4 + 0.01 * i, 0.3);
    const DerivVector n = eval(modelclass::nfw, 0.4 + 0.01 * i, 0.3);
    for (int k = 1; k <= 10; ++k) EXPECT_EQ(t[k], n[k]);
    expected += "WARNING: no tabulated results loaded for model nfw\n";
    if (i <= 10) expected += "WARNING: entire model out of tabulation range in nfwT\n         Using numerical solution instead.\n";
    if (i == 10) expected += "(Further warnings will be suppressed.)\n";
  }
  EXPECT_EQ(cap.text(), expected);
  // b = 0: zeros; s = 0: 1e-4 instead of an error, kept for the fallback.
  cur.b = 0;
  const DerivVector z = eval(modelclass::nfwT, 1, 1);
  for (int k = 1; k <= 10; ++k) EXPECT_EQ(z[k], 0.0);
  cur.b = 1;
  cur.ss = 0;
  const DerivVector s0 = eval(modelclass::nfwT, 1e-4, 2e-4);
  EXPECT_EQ(cur.ss, 1e-4);
  const DerivVector ref = eval(modelclass::nfw, 1e-4, 2e-4);
  for (int k = 1; k <= 6; ++k) EXPECT_EQ(s0[k], ref[k]);
}

TEST(TabulatedPattern, OutOfRangeWarningsPerOutcome) {
  set_cur(1.0, 0.5, 1.0);
  tablist.clear();
  TWtabwarn.reset();
  make_nfw_table(1.0, 1.0, 0.0, 2, 3, 3, 0.5, 2.0);
  CaptureOutput cap;
  eval(modelclass::nfwT, 1.0, 0.5);  // ellipticity 0.5 outside 0.1..0.4
  cur.ep = 0.2;
  eval(modelclass::nfwT, 3.0, -0.5);  // radius outside
  EXPECT_EQ(cap.text(),
            "WARNING: ellipticity  5.00e-01 out of tabulation range in nfwT\n"
            "         Using numerical solution instead.\n"
            "WARNING: position ( 3.00e+00 -5.00e-01) out of tabulation range in nfwT\n"
            "         Using numerical solution instead.\n");
  EXPECT_EQ(TWtabwarn.n[TAB_nfwT][TABW_E], 1);
  EXPECT_EQ(TWtabwarn.n[TAB_nfwT][TABW_R], 1);
}

// A T class with a shape exponent, on the "nfw" table, for the exponent check; and one
// with the b/s scaling.
TabulatedClass g_shapeT{TAB_nfwcuspT, "shapeT", TableRef("nfw"), modelclass::nfw, TabScaling::Standard, true};
void shapeT(DerivVector& out, double x, double y) { tabulated_class(g_shapeT, out, x, y); }
TabulatedClass g_blT{TAB_devaucT, "blT", TableRef("nfw"), modelclass::nfw, TabScaling::MassOverLength, false};
void blT(DerivVector& out, double x, double y) { tabulated_class(g_blT, out, x, y); }

TEST(TabulatedPattern, TableMadeForAnotherExponentIsRefused) {
  for (double table_al : {0.0, 1.5}) {
    set_cur(1.0, 0.25, 1.0);
    tablist.clear();
    TWtabwarn.reset();
    make_nfw_table(1.0, 1.0, table_al, 4, 21, 10, 0.2, 4.2);
    const double x = 1.0, y = 0.6;
    TabLookup L;
    ASSERT_EQ(InterpTab("nfw", 0.25, x, y, L), TAB_OK);
    const double tol = table_al == 0 ? 1e-6 : 1e-6 * table_al;
    // Within the tolerance the table serves.
    cur.al = table_al + 0.5 * tol;
    DerivVector t = eval(shapeT, x, y);
    EXPECT_EQ(t[2], 2 * L.v[1] / 2);
    // Beyond it: the numerical twin, with the shape warning, capped at ten.
    CaptureOutput cap;
    std::string expected;
    for (int i = 1; i <= 11; ++i) {
      cur.al = table_al + (i % 2 ? 2 : -2) * tol;
      t = eval(shapeT, x, y);
      const DerivVector n = eval(modelclass::nfw, x, y);
      for (int k = 1; k <= 6; ++k) EXPECT_EQ(t[k], n[k]);
      if (i <= 10) expected += "WARNING: shapeT table was made for another shape parameter\n         Using numerical solution instead.\n";
      if (i == 10) expected += "(Further warnings will be suppressed.)\n";
    }
    EXPECT_EQ(cap.text(), expected);
  }
  // Classes without the check keep using the table whatever their al.
  set_cur(1.0, 0.25, 1.0, 0, 9.0);
  const DerivVector t = eval(modelclass::nfwT, 1.0, 0.6);
  TabLookup L;
  ASSERT_EQ(InterpTab("nfw", 0.25, 1.0, 0.6, L), TAB_OK);
  EXPECT_EQ(t[2], L.v[1]);
}

TEST(TabulatedPattern, MassOverLengthScaling) {
  set_cur(1.0, 0.25, 1.0);
  tablist.clear();
  make_nfw_table(2.0, 0.5, 0.0, 4, 21, 10, 0.2, 4.2);
  // beta = b/b_t = 1.5, lambda = s/s_t = 4: phi beta lambda, deflection beta, second
  // derivatives beta/lambda.
  cur.b = 3.0;
  cur.ss = 2.0;
  const DerivVector o = eval(blT, 4.0, 2.4);
  TabLookup L;
  ASSERT_EQ(InterpTab("nfw", 0.25, 4.0, 2.4, L), TAB_OK);
  const double f[6] = {6, 1.5, 1.5, 0.375, 0.375, 0.375};
  for (int k = 0; k < 6; ++k) EXPECT_NEAR(o[k + 1], f[k] * L.v[k], 1e-15 * std::fabs(L.v[k])) << k;
}

}  // namespace
