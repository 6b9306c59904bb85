// The whole-model evaluator potdefmag / potdefmagONE.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <complex>
#include <cstring>
#include <functional>

#include "models/classes.h"
#include "models/component.h"
#include "models/evaluator.h"
#include "models/substructure.h"
#include "numeric/constants.h"
#include "shell/fatal.h"
#include "shell/settings.h"
#include "support/test_support.h"

namespace {

using Out = std::array<double, 8>;  // [1..7] as potdefmag returns them

void fresh_model(int n) {
  InitModels();
  TWgal.allocate(n);
  settings = Settings();
  settings.potflag = 1;
  settings.clumpmode = 1;
  settings.intshrmode = 1;
  settings.maxrgstr = 5;
  TWmod = LensState();
  TWrgstr = RegisterTable();
  TWclump = ClumpState();
  TWtrack = DominanceTrack();
  LOS = LOSPlanes();
  ellipse = ellipse1;
}

void set_component(int i, const std::string& name, std::initializer_list<double> p) {
  setID(i, name);
  int k = 1;
  for (double v : p) setp(i, k++, v);
}

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

Out pdm(double x, double y) {
  Out o{};
  potdefmag(x, y, o[1], o[2], o[3], o[4], o[5], o[6], o[7]);
  return o;
}

// Checks the returned derivatives against central differences: the potential against the
// deflection (when with_potential), the deflection against the four second derivatives
// (phi_xy = d phi_x / dy, phi_yx = d phi_y / dx).
void expect_consistent(double x, double y, bool with_potential, double tol) {
  const double h = 1e-5;
  const Out o = pdm(x, y);
  const Out xp = pdm(x + h, y), xm = pdm(x - h, y), yp = pdm(x, y + h), ym = pdm(x, y - h);
  if (with_potential) {
    EXPECT_NEAR(o[2], (xp[1] - xm[1]) / (2 * h), tol);
    EXPECT_NEAR(o[3], (yp[1] - ym[1]) / (2 * h), tol);
  }
  EXPECT_NEAR(o[4], (xp[2] - xm[2]) / (2 * h), tol);
  EXPECT_NEAR(o[5], (yp[3] - ym[3]) / (2 * h), tol);
  EXPECT_NEAR(o[6], (yp[2] - ym[2]) / (2 * h), tol);
  EXPECT_NEAR(o[7], (xp[3] - xm[3]) / (2 * h), tol);
}

// An elliptical test class with a closed form: phi = b (x'^2 + q y'^2) / 2 plus a cubic
// term c x' (x'^2 + y'^2) / 3 so that the field has no symmetry:
// phi_x'x' + phi_y'y' = b (1 + q) + 8 c x' / 3 with q = 1 - ep, c = al. It also returns its
// third derivatives (phi_x'x'x' = 2c, phi_x'y'y' = 2c/3), which the whole-model sum ignores.
void quad_class(DerivVector& o, double x, double y) {
  const double q = 1 - cur.ep, c = cur.al;
  o[1] = cur.b * (x * x + q * y * y) / 2 + c * x * (x * x + y * y) / 3;
  o[2] = cur.b * x + c * (x * x + y * y / 3);
  o[3] = cur.b * q * y + c * 2 * x * y / 3;
  o[4] = cur.b + 2 * c * x;
  o[5] = cur.b * q + 2 * c * x / 3;
  o[6] = 2 * c * y / 3;
  o[7] = 2 * c;
  o[9] = 2 * c / 3;
}

}  // namespace

TEST(Potdefmag, EmptyModelsGiveZeros) {
  fresh_model(0);
  Out o = pdm(0.3, 0.4);
  for (int k = 1; k <= 7; ++k) EXPECT_EQ(o[k], 0.0);
  EXPECT_EQ(cur.igal, 0);
  fresh_model(3);  // all "none"
  set_component(2, "ptmass", {1, 0, 0});
  TWgal.refon[2] = 0;
  o = pdm(0.3, 0.4);
  for (int k = 1; k <= 7; ++k) EXPECT_EQ(o[k], 0.0);
  EXPECT_EQ(cur.igal, 1);  // component 1 reloaded
}

TEST(Potdefmag, ClosedFormsOfSingleComponents) {
  struct Case {
    const char* what;
    const char* cls;
    std::initializer_list<double> p;
    double x, y;
    Out want;
  } cases[] = {
      // ptmass b = 1 at (3, 4): ln 5, (3/25, 4/25), -(9-16)/625, (9-16)/625, -24/625.
      {"ptmass", "ptmass", {1, 0, 0}, 3, 4, {0, std::log(5.0), 0.12, 0.16, 0.0112, -0.0112, -0.0384, -0.0384}},
      // same, moved to (1, 1) and rotated: a point mass does not care about the angle.
      {"ptmass moved", "ptmass", {1, 1, 1, 0.4, 33}, 4, 5, {0, std::log(5.0), 0.12, 0.16, 0.0112, -0.0112, -0.0384, -0.0384}},
      {"ptmass centre", "ptmass", {1, 1, 1}, 1, 1, {0, 0, 0, 0, 0, 0, 0, 0}},
      // convrg kappa = 0.3 at (1, 2): 0.3 * 5 / 2, (0.3, 0.6), (0.3, 0.3, 0).
      {"convrg", "convrg", {0.3, 0, 0}, 1, 2, {0, 0.75, 0.3, 0.6, 0.3, 0.3, 0, 0}},
      // kappa 0 with shear 0.1 at angle 0, offset (1, 0): pure shear term.
      {"convrg shear", "convrg", {0, 2, -1, 0, 0, 0.1, 0}, 3, -1, {0, 0.05, 0.1, 0, 0.1, -0.1, 0, 0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    fresh_model(1);
    set_component(1, c.cls, c.p);
    const Out o = pdm(c.x, c.y);
    for (int k = 1; k <= 7; ++k) EXPECT_NEAR(o[k], c.want[k], 1e-15) << k;
  }
}

TEST(Potdefmag, DerivativesAgreeWithDifferencesAndPoisson) {
  fresh_model(4);
  AddMod("quadtest", quad_class, modelclass::dumrho, modelclass::dummass, "test");
  set_component(1, "ptmass", {0.8, 0.3, -0.2, 0, 0, 0.05, 40});
  set_component(2, "convrg", {0.15, -1, 2, 0, 0, 0.07, -65});
  set_component(3, "quadtest", {0.4, 0.5, 0.6, 0.3, 57, 0.02, 10, 0, 0, 0.1});
  set_component(4, "intshr", {0.9, 0.1, 0.1, 0, 0, 0.05, 15});
  for (auto [x, y] : {std::pair{1.1, 0.7}, {-0.9, 1.6}, {2.3, -1.4}}) {
    SCOPED_TRACE(x);
    expect_consistent(x, y, true, 2e-8);
    // Poisson: the convergence is the sum of the classes' own convergences (point mass
    // 0 off-centre, sheet 0.15, test class (b (2 - ep) + 8 al x' / 3) / 2; shear terms and the
    // quadrupole are traceless).
    const Out o = pdm(x, y);
    const double t = 57 * kPi / 180, xp = -std::sin(t) * (x - 0.5) + std::cos(t) * (y - 0.6);
    EXPECT_NEAR((o[4] + o[5]) / 2, 0.15 + (0.4 * 1.7 + 8.0 / 3 * 0.1 * xp) / 2, 1e-13);
    EXPECT_EQ(o[6], o[7]);  // single plane without LOSshr: symmetric
  }
  InitModels();
}

TEST(Potdefmag, SumOfComponentsScaleAndSwitches) {
  fresh_model(3);
  set_component(1, "ptmass", {0.8, 0.3, -0.2, 0, 0, 0.05, 40});
  set_component(2, "convrg", {0.15, -1, 2, 0, 0, 0.07, -65});
  set_component(3, "ptmass", {0.5, 2, 2});
  const double x = 0.9, y = 0.4;
  const Out all = pdm(x, y);
  TWgal.refon[2] = 0;
  TWgal.refflag[3] = 0;  // cut away by the bridge cut
  const Out one = pdm(x, y);
  TWgal.refon[2] = 1;
  TWgal.refon[1] = 0;
  const Out two = pdm(x, y);
  TWgal.refon[1] = 0;
  TWgal.refon[2] = 0;
  TWgal.refflag[3] = 2;  // treated exactly: included
  const Out three = pdm(x, y);
  for (int k = 1; k <= 7; ++k) EXPECT_NEAR(all[k], one[k] + two[k] + three[k], 1e-14) << k;
  EXPECT_NE(one[2], 0.0);
  EXPECT_NE(two[2], 0.0);
  EXPECT_NE(three[2], 0.0);
  // The model-wide scale multiplies every output.
  TWgal.refon[1] = TWgal.refon[2] = 1;
  TWmod.scale = 2.0;
  const Out doubled = pdm(x, y);
  for (int k = 1; k <= 7; ++k) EXPECT_EQ(doubled[k], 2 * all[k]) << k;
  EXPECT_EQ(cur.igal, 1);
}

TEST(Potdefmag, RefusesParameterDerivatives) {
  fresh_model(1);
  set_component(1, "ptmass", {1, 0, 0});
  PotDefMagVector out;
  EXPECT_EQ(fatal_message([&] { potdefmagONE(out, 1, 1, true); }), "parameter derivatives have been deactivated");
}

TEST(Potdefmag, LineOfSightShear) {
  fresh_model(2);
  // LOSshr of convergence 0.1 centred at (1, -1), no shear; a point mass with an external
  // shear. The class field is taken at (1, -1) + 0.9 (offset) and its second derivatives
  // scale by 0.9; the shear term is unchanged.
  set_component(1, "ptmass", {1.0, 0.2, 0.1, 0, 0, 0.06, 30});
  set_component(2, "LOSshr", {0.1, 1, -1});
  EXPECT_EQ(fatal_message([] { pdm(0.5, 0.5); }), "cannot currently handle potential with LOSshr");
  settings.potflag = 0;
  const double x = 2.3, y = 0.8;
  const double u = 1 + 0.9 * (x - 1), v = -1 + 0.9 * (y + 1);
  const Out o = pdm(x, y);
  TWgal.refon[2] = 0;
  const Out field = pdm(u, v);  // class field + shear term at (u, v)
  // Shear term alone, at (x, y) and at (u, v).
  initgal(1);
  DerivVector sxy, suv;
  shear(sxy, x, y);
  shear(suv, u, v);
  for (int k = 2; k <= 3; ++k) EXPECT_NEAR(o[k], field[k] - suv[k] + sxy[k], 1e-14);
  for (int k = 4; k <= 6; ++k) EXPECT_NEAR(o[k], 0.9 * (field[k] - suv[k]) + sxy[k], 1e-14);
  // With shear in the LOSshr component phi_xy and phi_yx differ, and both are the
  // derivatives of the deflection.
  TWgal.refon[2] = 1;
  set_component(2, "LOSshr", {0.1, 1, -1, 0, 0, 0.08, 25});
  const Out s = pdm(x, y);
  EXPECT_GT(std::fabs(s[6] - s[7]), 1e-3);
  expect_consistent(x, y, false, 1e-8);
}

TEST(Potdefmag, ClumpMixingAndClumpList) {
  fresh_model(2);
  set_component(1, "ptmass", {1.0, 0, 0, 0, 0, 0.05, 20});
  set_component(2, "ptmass", {0.5, 1, 1});
  const double x = 1.7, y = -0.4;
  initgal(1);
  DerivVector smooth1, shear1;
  ellipse1(smooth1, x, y);
  shear(shear1, x, y);
  const Out ref = pdm(x, y);

  // Component 1 has a population (whose clump field is empty for now): with weight 0.5 it
  // contributes half its smooth field; its shear term stays whole.
  TWclump.clumpdat.reset(1, 2);
  TWclump.clumpdat[1].type = 1;
  TWclump.clumpwgt = 0.5;
  Out o = pdm(x, y);
  for (int k = 1; k <= 3; ++k) EXPECT_NEAR(o[k], ref[k] - 0.5 * smooth1[k], 1e-14) << k;
  EXPECT_NEAR(o[4], ref[4] - 0.5 * smooth1[4], 1e-14);
  // Clumps not in use: clumpmode 0, clumpmode 2 with useclumps 0, or |clumpwgt| <= 1e-6.
  for (int variant = 0; variant < 3; ++variant) {
    settings.clumpmode = variant == 0 ? 0 : variant == 1 ? 2 : 1;
    TWclump.useclumps = variant == 1 ? 0 : 1;
    TWclump.clumpwgt = variant == 2 ? 1e-7 : 0.5;
    o = pdm(x, y);
    for (int k = 1; k <= 7; ++k) EXPECT_NEAR(o[k], ref[k], 1e-14) << variant << " " << k;
  }
  // A listed component exists only while clumps are in use: without clumps only its
  // shear term counts.
  TWclump.clump_list.reset(1, 1);
  TWclump.clump_list[1] = 1;
  TWclump.clump_list_n = 1;
  o = pdm(x, y);
  for (int k = 1; k <= 3; ++k) EXPECT_NEAR(o[k], ref[k] - smooth1[k], 1e-14) << k;
  settings.clumpmode = 1;
  TWclump.clumpwgt = 0.5;
  o = pdm(x, y);
  EXPECT_NEAR(o[2], ref[2] - 0.5 * smooth1[2], 1e-14);
}

namespace {
// A cached grid over [xlo, xlo + (nx-1) dx] x [ylo, ...] holding, for table q, the
// bilinear field q (1 + 0.5 x - 0.25 y + 0.125 x y).
double bilinear(int q, double x, double y) { return q * (1 + 0.5 * x - 0.25 * y + 0.125 * x * y); }
SubsaveGrid make_grid(double xlo, double ylo, int nx, int ny, double step) {
  SubsaveGrid g;
  g.on = 1;
  g.nx = nx;
  g.ny = ny;
  g.xlo = xlo;
  g.ylo = ylo;
  g.xstep = g.ystep = step;
  g.xhi = xlo + (nx - 1) * step;
  g.yhi = ylo + (ny - 1) * step;
  g.tab.reset(1, 6, 1, nx, 1, ny);
  for (int q = 1; q <= 6; ++q)
    for (int i = 1; i <= nx; ++i)
      for (int j = 1; j <= ny; ++j) g.tab[q][i][j] = bilinear(q, xlo + (i - 1) * step, ylo + (j - 1) * step);
  return g;
}
}  // namespace

TEST(Potdefmag, CachedGridsInterpolateAndWarn) {
  fresh_model(1);  // one "none" row: only the cached field counts
  TWclump.subsaveN = 3;
  TWclump.subsavedat.reset(1, 3);
  TWclump.subsavedat[1] = make_grid(5, 5, 4, 4, 0.5);
  TWclump.subsavedat[1].on = 0;                          // switched off: skipped
  TWclump.subsavedat[2] = make_grid(-1, -2, 1, 5, 0.5);  // one column: cannot interpolate
  TWclump.subsavedat[3] = make_grid(-1, -2, 5, 7, 0.5);
  for (auto [x, y] : {std::pair{-0.3, -1.1}, {0.77, 0.4}, {1.0, 1.0} /* upper corner */,
                      {-1.0, -2.0}, {1.0, -0.6} /* upper x edge: last cell, fx = 1 */}) {
    const Out o = pdm(x, y);
    for (int q = 1; q <= 6; ++q) EXPECT_NEAR(o[q], bilinear(q, x, y), 1e-13) << x << " " << y << " " << q;
    EXPECT_EQ(o[7], o[6]);
  }
  // Off every grid: no field, a capped warning.
  {
    CaptureOutput cap;
    for (int k = 0; k < 25; ++k) {
      const Out o = pdm(3.0, 0.0);
      EXPECT_EQ(o[1], 0.0);
    }
    const std::string line = "Warning: subsave is on, but evaluation point is not on small grid(s):  3.000000e+00  0.000000e+00\n";
    EXPECT_EQ(count_occurrences(cap.text(), line), 20);
    EXPECT_EQ(cap.text().size(), 20 * line.size());
  }
  // Clumps not in use: the cache is not read.
  settings.clumpmode = 0;
  EXPECT_EQ(pdm(0.5, 0.5)[1], 0.0);
}

TEST(Potdefmag, CachedGridStandsForTheClumpsOfPopulatedComponents) {
  fresh_model(1);
  set_component(1, "ptmass", {1.0, 0, 0});
  const Out ref = pdm(0.5, 0.5);
  TWclump.clumpdat.reset(1, 1);
  TWclump.clumpdat[1].type = 2;
  TWclump.clumpwgt = 0.25;
  TWclump.subsaveN = 1;
  TWclump.subsavedat.reset(1, 1);
  TWclump.subsavedat[1] = make_grid(0, 0, 3, 3, 0.5);
  const Out o = pdm(0.5, 0.5);
  for (int q = 1; q <= 6; ++q) EXPECT_NEAR(o[q], 0.75 * ref[q] + bilinear(q, 0.5, 0.5), 1e-14) << q;
}

TEST(Potdefmag, Dominance) {
  fresh_model(3);
  set_component(1, "convrg", {0.2, 0, 0});
  set_component(2, "convrg", {0.2, 0, 0});  // tie with component 1
  set_component(3, "ptmass", {0.3, 2, 0});
  const double x = 1.2, y = 0.5;
  // Separate contributions, from single-component evaluations.
  Out c[4];
  for (int j = 1; j <= 3; ++j) {
    for (int i = 1; i <= 3; ++i) TWgal.refon[i] = i == j;
    c[j] = pdm(x, y);
  }
  for (int i = 1; i <= 3; ++i) TWgal.refon[i] = 1;
  // Without tracking nothing is recorded (but the record is cleared).
  TWtrack.track_dom[1] = 9;
  pdm(x, y);
  EXPECT_EQ(TWtrack.track_dom[1], 0);

  auto defl = [&](int j) { return std::hypot(c[j][2], c[j][3]); };
  TWtrack.track_mode = 1;
  pdm(x, y);
  const int* dom = TWtrack.track_dom;
  const double* arr = TWtrack.track_arr;
  // Potentials: convrg 0.2 * 1.69 / 2 = 0.169 each; ptmass 0.09 ln|(-0.8, 0.5)| < 0.
  EXPECT_EQ(dom[1], 1);  // tie: the first
  EXPECT_NEAR(arr[1], c[1][1], 1e-15);
  EXPECT_NEAR(arr[8], c[2][1] + c[3][1], 1e-15);
  EXPECT_EQ(dom[4], 1);  // convergence 0.2, 0.2, 0
  EXPECT_NEAR(arr[4], 0.2, 1e-15);
  EXPECT_NEAR(arr[11], 0.2, 1e-15);
  const int jd = defl(3) > defl(1) ? 3 : 1;
  EXPECT_EQ(dom[2], jd);
  EXPECT_NEAR(arr[2], defl(jd), 1e-15);
  EXPECT_EQ(dom[5], 3);  // only the point mass shears
  EXPECT_NEAR(arr[5], std::hypot((c[3][4] - c[3][5]) / 2, c[3][6]), 1e-15);
  EXPECT_NEAR(arr[12], 0.0, 1e-15);
  // Mode 2 leaves component 1 out.
  TWtrack.track_mode = 2;
  pdm(x, y);
  EXPECT_EQ(dom[1], 2);
  EXPECT_EQ(dom[4], 2);
  EXPECT_NEAR(arr[8], c[3][1], 1e-15);
  EXPECT_NEAR(arr[11], 0.0, 1e-15);
  for (int k : {1, 2, 4, 5}) EXPECT_NE(dom[k], 1);
  // A component whose values are not positive never dominates.
  for (int i = 1; i <= 2; ++i) TWgal.refon[i] = 0;
  setp(3, 1, 0.0);
  pdm(x, y);
  for (int k : {1, 2, 4, 5}) EXPECT_EQ(dom[k], 0);
}

TEST(Potdefmag, RegistrationRefreshedAtEveryEvaluation) {
  fresh_model(2);
  InitRegister();
  set_component(1, "ptmass", {1, 0, 0});
  set_component(2, "register", {4, 1, 0.3, -0.1});
  InitRegister();  // e.g. a new model set-up
  pdm(1, 1);
  double dx, dy;
  GetRegister(4, 1, dx, dy);
  EXPECT_EQ(dx, 0.3);
  EXPECT_EQ(dy, -0.1);
  EXPECT_EQ(cur.igal, 1);
}

TEST(Potdefmag, InternalQuadrupoleRelativeToTheShearBeforeIt) {
  // intshrmode 2: amplitudes (gc + i gs)(gctot + i gstot) / (1 - G) from the shear terms of
  // the components before it; the quadrupole counts in full through the sum.
  fresh_model(2);
  settings.intshrmode = 2;
  set_component(1, "convrg", {0, 0, 0, 0, 0, 0.1, 0});      // gc 0.1, gs 0
  set_component(2, "intshr", {1.0, 0.2, 0.1, 0, 0, 0.2, 45});  // gc ~ 0, gs 0.2
  const double x = 1.3, y = -0.8;
  const Out o = pdm(x, y);
  const std::complex<double> A = std::complex<double>(0.2 * std::cos(kPi / 2), 0.2) * 0.1 / 0.8;
  const std::complex<double> z(x - 0.2, y - 0.1);
  const double quad = std::real(A / (z * z)) / 2;  // B = 1
  EXPECT_NEAR(o[1], 0.1 * (x * x - y * y) / 2 + quad, 1e-14);
  TWgal.refon[1] = 0;  // without the shear before it the quadrupole vanishes
  EXPECT_EQ(pdm(x, y)[1], 0.0);
}

TEST(Potdefmag, OneComponentIsItsFieldPlusItsShearByEveryRoute) {
  // The sum of one rotated component with third derivatives equals ellipse1 plus the shear
  // term exactly, through the inlined default evaluator and through the pointer (ellipse2
  // without farcut is ellipse1).
  fresh_model(1);
  AddMod("quadtest", quad_class, modelclass::dumrho, modelclass::dummass, "test");
  set_component(1, "quadtest", {0.4, 0.5, 0.6, 0.3, 57, 0.02, 10, 0, 0, 0.1});
  const double x = 1.3, y = -0.4;
  initgal(1);
  DerivVector f, sh;
  ellipse1(f, x, y);
  TWmod.gctot = TWmod.gstot = 0;
  shear(sh, x, y);
  EXPECT_NE(f[7], 0.0);
  const Out o = pdm(x, y);
  for (int k = 1; k <= 6; ++k) EXPECT_EQ(o[k], f[k] + sh[k]) << k;
  EXPECT_EQ(o[7], f[6] + sh[6]);
  ellipse = ellipse2;
  const Out o2 = pdm(x, y);
  ellipse = ellipse1;
  for (int k = 1; k <= 7; ++k) EXPECT_EQ(o2[k], o[k]) << k;
  InitModels();
}

// The plain sum (no tracking, clumps, line of sight or try2) evaluates the isothermal rows
// from constants made at load and the others through `cur`; the general loop (forced here by
// dominance tracking) runs every class routine through `cur`. Both give the same field for
// every kind of row, under both alphanorm settings, after a setting or a parameter changes
// between evaluations, and after a class routine is replaced; both leave component 1 loaded.
TEST(Potdefmag, PlainSumAgreesWithTheGeneralLoop) {
  fresh_model(10);
  set_component(1, "alpha", {1.0, 0.1, -0.2, 0.3, 20.0, 0.05, 70.0, 0.05, 0, 1.0});
  set_component(2, "alpha", {0.4, -0.5, 0.3, 0.2, -30.0, 0, 0, 0.1, 0.6, 1.0});  // truncated
  set_component(3, "pjaffe", {0.3, 0.6, 0.4, -0.5, 80.0, 0.02, 10.0, 0.02, 0.3});
  set_component(4, "alpha", {0.2, 0.3, 0.7, 0.1, 10.0, 0, 0, 0.2, 0, -1.0});  // through its routine
  set_component(5, "ptmass", {0.3, -0.8, -0.6, 0, 0, 0.03, 40.0});
  set_component(7, "intshr", {0.5, 0.2, 0.1, 0, 0, 0.05, 20.0});
  set_component(8, "alpha", {0.2, 0.4, -0.4, 0, 0, 0, 0, 0.03, 0, 1.0});  // circular
  set_component(9, "alpha", {0.0, 0.5, 0.5, 0.2, 0, 0.01, 0, 0.1, 0, 1.0});  // b = 0
  set_component(10, "alpha", {0.3, -0.3, 0.9, 1e-7, 5.0, 0, 0, 0, 0, 1.0});  // core 0, e ~ 0
  const double pts[][2] = {{0.7, 0.3}, {-1.1, 0.45}, {0.1, -0.2}, {2.5, -1.7}, {0.4, -0.4}};
  auto compare = [&](const char* what) {
    for (const auto& p : pts) {
      const Out plain = pdm(p[0], p[1]);
      EXPECT_EQ(cur.igal, 1);
      EXPECT_EQ(cur.b, TWgal.p[1][1]);
      TWtrack.track_mode = 1;
      const Out general = pdm(p[0], p[1]);
      TWtrack.track_mode = 0;
      EXPECT_EQ(cur.igal, 1);
      for (int k = 1; k <= 7; ++k) {
        EXPECT_TRUE(std::isfinite(plain[k])) << what << " " << k;
        EXPECT_EQ(plain[k], general[k]) << what << " " << k << " at " << p[0] << " " << p[1];
      }
      // The second derivatives alone are the same bits.
      double h[8] = {};
      potdefmag_hessian(p[0], p[1], h[4], h[5], h[6], h[7]);
      for (int k = 4; k <= 7; ++k) EXPECT_EQ(h[k], plain[k]) << what << " second derivative " << k;
      EXPECT_EQ(cur.igal, 1);
      // So is the deflection alone.
      double d[2] = {};
      potdefmag_deflection(p[0], p[1], d[0], d[1]);
      EXPECT_TRUE(same_bits(d[0], plain[2]) && same_bits(d[1], plain[3])) << what << " deflection";
      EXPECT_EQ(cur.igal, 1);
    }
  };
  for (int norm : {0, 1, 0}) {
    settings.alphanorm = norm;  // no reload between the settings
    compare(norm ? "alphanorm 1" : "alphanorm 0");
  }
  // Clump populations that hold no clumps (as the model load leaves them) add nothing.
  const int clumpmode = settings.clumpmode;
  settings.clumpmode = 1;
  TWclump.clumpdat.reset(1, 10);
  compare("empty clump populations");
  TWclump.clumpdat = BVec<ClumpPop>();
  settings.clumpmode = clumpmode;
  const Out before = pdm(0.7, 0.3);
  setp(1, 4, 0.45);
  setp(2, 9, 0.8);
  compare("changed parameters");
  EXPECT_NE(pdm(0.7, 0.3)[4], before[4]);
  // A class routine replaced after the rows were loaded is the one evaluated.
  SetMod("alpha", modelclass::convrg, modelclass::dumrho, modelclass::dummass, "sheet");
  compare("replaced routine");
  fresh_model(1);
  set_component(1, "convrg", {1.0, 0.1, -0.2, 0.3, 20.0, 0.05, 70.0, 0.05, 0, 1.0});
  const Out sheet = pdm(0.7, 0.3);
  fresh_model(1);
  SetMod("alpha", modelclass::convrg, modelclass::dumrho, modelclass::dummass, "sheet");
  set_component(1, "alpha", {1.0, 0.1, -0.2, 0.3, 20.0, 0.05, 70.0, 0.05, 0, 1.0});
  settings.potflag = 1;
  const Out replaced = pdm(0.7, 0.3);
  for (int k = 1; k <= 7; ++k) EXPECT_EQ(replaced[k], sheet[k]) << k;
  InitModels();
}

// The deflection alone is potdefmag's deflection, bit for bit, on every route: the plain sum
// with closed-form rows (single, truncated, circular, b = 0), class-routine rows and the
// internal quadrupole, with and without the potential and under a model-wide scale; and the
// general loop (dominance tracking, a line-of-sight component, clump fields), to which it
// falls back. Points at a component's centre are included.
TEST(Potdefmag, DeflectionAloneIsPotdefmagsDeflection) {
  const double pts[][2] = {{0.7, 0.3}, {-1.1, 0.45}, {0.1, -0.2}, {2.5, -1.7}, {0.0, 0.0}, {0.6, 0.4}, {1e-9, -3e-9}};
  auto compare = [&](const char* what) {
    for (const auto& p : pts) {
      const Out full = pdm(p[0], p[1]);
      double d[2] = {};
      potdefmag_deflection(p[0], p[1], d[0], d[1]);
      EXPECT_EQ(cur.igal, TWgal.NGALMAX >= 1 ? 1 : 0) << what;
      EXPECT_TRUE(same_bits(d[0], full[2]) && same_bits(d[1], full[3]))
          << what << " at " << p[0] << " " << p[1] << ": " << d[0] << " " << d[1] << " against " << full[2] << " "
          << full[3];
    }
  };
  // Closed-form rows only, and with class routines between them.
  fresh_model(4);
  set_component(1, "alpha", {1.0, 0.0, 0.0, 0.3, 20.0, 0.1, -40.0, 0.05, 0, 1.0});
  set_component(2, "alpha", {0.4, -0.5, 0.3, 0.2, -30.0, 0, 0, 0.1, 0.6, 1.0});  // truncated
  set_component(3, "pjaffe", {0.3, 0.6, 0.4, -0.5, 80.0, 0.02, 10.0, 0.02, 0.3});
  set_component(4, "alpha", {0.2, 0.4, -0.4, 0, 0, 0, 0, 0.03, 0, 1.0});  // circular
  for (int potflag : {0, 1}) {
    settings.potflag = potflag;
    compare(potflag ? "closed forms, potential" : "closed forms");
  }
  TWmod.scale = 0.7;
  compare("closed forms, scaled");
  fresh_model(8);
  settings.potflag = 0;
  set_component(1, "ptmass", {0.3, -0.8, -0.6, 0, 0, 0.03, 40.0});
  set_component(2, "alpha", {1.0, 0.1, -0.2, 0.3, 20.0, 0.05, 70.0, 0.05, 0, 1.0});
  set_component(3, "alpha", {0.2, 0.3, 0.7, 0.1, 10.0, 0, 0, 0.2, 0, -1.0});  // through its routine
  set_component(4, "intshr", {0.5, 0.2, 0.1, 0, 0, 0.05, 20.0});
  set_component(5, "alpha", {0.0, 0.5, 0.5, 0.2, 0, 0.01, 0, 0.1, 0, 1.0});  // b = 0
  set_component(6, "alpha", {0.3, -0.3, 0.9, 1e-7, 5.0, 0, 0, 0, 0, 1.0});   // core 0, e ~ 0
  set_component(7, "convrg", {0.2, 0, 0, 0, 0, 0.02, 30.0});
  set_component(8, "alpha", {0.5, 0.0, 0.0, 0.2, 60.0, 0, 0, 0.05, 0, 1.0});  // centred at a point
  settings.intshrmode = 2;
  compare("mixed rows");
  settings.alphanorm = 1;
  compare("mixed rows, alphanorm 1");
  // The general loop.
  TWtrack.track_mode = 1;
  compare("dominance tracking");
  TWtrack.track_mode = 0;
  const int clumpmode = settings.clumpmode;
  settings.clumpmode = 0;
  TWclump.clump_list.reset(1, 1);
  TWclump.clump_list[1] = 2;
  TWclump.clump_list_n = 1;
  compare("clump list removed");
  TWclump = ClumpState();
  settings.clumpmode = clumpmode;
  fresh_model(2);
  settings.potflag = 0;
  set_component(1, "alpha", {1.0, 0.1, -0.2, 0.3, 20.0, 0.05, 70.0, 0.05, 0, 1.0});
  set_component(2, "LOSshr", {0.1, 1, -1, 0, 0, 0.08, 25});
  compare("line of sight");
  InitModels();
}

TEST(Potdefmag, ClassErrorsComeAtTheFirstEvaluation) {
  fresh_model(2);
  set_component(1, "ptmass", {1, 0, 0});
  set_component(2, "Ptmass", {1, 0.5, 0});  // differs from a class name only in case
  EXPECT_EQ(fatal_message([] { pdm(1, 1); }), "unknown model class Ptmass");
  TWgal.refon[2] = 0;  // a switched-off component is never looked at
  EXPECT_EQ(pdm(1, 1)[2], 0.5);  // b^2 x / r^2
  TWgal.refon[2] = 1;
  AddMod("later", modelclass::not_built, modelclass::dumrho, modelclass::dummass, "not yet");
  setID(2, "later");
  EXPECT_EQ(fatal_message([] { pdm(1, 1); }), "model class later is not available in this build");
  InitModels();
}

TEST(Potdefmag, LineOfSightPassRules) {
  // The last active LOSshr component sets the map; switched-off ones are ignored, also by
  // the potflag check; a component renamed to LOSshr takes part at once.
  fresh_model(3);
  set_component(1, "ptmass", {1.0, 0.2, 0.1, 0, 0, 0.03, 10});
  set_component(2, "LOSshr", {0.2, 1, -1, 0, 0, 0.05, 40});
  set_component(3, "LOSshr", {0.1, -1, 1});
  settings.potflag = 0;
  const double x = 1.7, y = 0.6;
  const Out both = pdm(x, y);
  TWgal.refon[2] = 0;
  const Out last = pdm(x, y);
  for (int k = 1; k <= 7; ++k) EXPECT_EQ(both[k], last[k]) << k;
  TWgal.refon[2] = 1;
  TWgal.refon[3] = 0;
  EXPECT_NE(pdm(x, y)[2], both[2]);
  TWgal.refon[2] = 0;
  settings.potflag = 1;
  const Out none = pdm(x, y);  // no active LOSshr: no potflag error, no map
  TWgal.refon[2] = TWgal.refon[3] = 1;
  setID(2, "ptmass");
  setID(3, "ptmass");
  setp(2, 1, 0.0);
  setp(2, 6, 0.0);
  setp(3, 1, 0.0);
  for (int k = 1; k <= 7; ++k) EXPECT_EQ(pdm(x, y)[k], none[k]) << k;
  setID(3, "LOSshr");
  EXPECT_EQ(fatal_message([&] { pdm(x, y); }), "cannot currently handle potential with LOSshr");
}

TEST(Potdefmag, FinalReloadOfComponentOneRestoresItsRegistration) {
  // A later "register" component with data number 0 overwrites every number of its type;
  // the reload of component 1 at the end of each evaluation writes component 1's entry
  // again, also when component 1 is switched off.
  fresh_model(3);
  InitRegister();
  set_component(1, "register", {1, 2, 0.1, 0.2});
  set_component(2, "register", {1, 0, -0.3, 0.4});
  set_component(3, "ptmass", {1, 0, 0});
  double dx, dy;
  for (int on : {1, 0}) {
    TWgal.refon[1] = on;
    InitRegister();
    pdm(1, 1);
    GetRegister(1, 2, dx, dy);
    EXPECT_EQ(dx, 0.1) << on;
    EXPECT_EQ(dy, 0.2) << on;
    GetRegister(1, 3, dx, dy);
    EXPECT_EQ(dx, -0.3) << on;
    EXPECT_EQ(dy, 0.4) << on;
    EXPECT_EQ(cur.igal, 1);
  }
}

TEST(Potdefmag, CachedGridsThatCannotServeAPoint) {
  fresh_model(1);
  TWclump.subsaveN = 2;
  TWclump.subsavedat.reset(1, 2);
  // Tables smaller than the grid claims: never read.
  TWclump.subsavedat[1] = make_grid(0, 0, 3, 3, 0.5);
  TWclump.subsavedat[1].nx = 4;
  TWclump.subsavedat[1].xhi = 1.5;
  // Upper edge far beyond the last node: a point there uses the last cell, and the
  // bilinear field extrapolates exactly (up to rounding).
  TWclump.subsavedat[2] = make_grid(2, 0, 3, 3, 0.5);
  TWclump.subsavedat[2].xhi = 1e30;
  CaptureOutput cap;
  EXPECT_EQ(pdm(0.6, 0.6)[1], 0.0);
  EXPECT_NE(cap.text().find("not on small grid(s)"), std::string::npos);
  for (double x : {4.0, 1e12}) {
    const Out o = pdm(x, 0.7);
    for (int q = 1; q <= 6; ++q) EXPECT_NEAR(o[q], bilinear(q, x, 0.7), 1e-12 * std::fabs(bilinear(q, x, 0.7))) << x;
  }
}
