// Component loading, the component frame, external shear, the internal quadrupole and
// the registration table.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <functional>
#include <vector>

#include "models/classes.h"
#include "models/component.h"
#include "models/evaluator.h"
#include "numeric/constants.h"
#include "shell/fatal.h"
#include "shell/settings.h"
#include "support/test_support.h"

namespace {

void fresh_model(int n) {
  InitModels();
  TWgal.allocate(n);
  settings = Settings();
  settings.potflag = 1;
  settings.intshrmode = 1;
  settings.maxrgstr = 5;
  TWmod = LensState();
  TWrgstr = RegisterTable();
  LOS = LOSPlanes();
}

void set_component(int i, const std::string& name, std::initializer_list<double> p) {
  setID(i, name);
  int k = 1;
  for (double v : p) setp(i, k++, v);
}

// Test class: a cubic polynomial in the component frame, so that central differences of
// its image-plane field are exact up to rounding and every entry 1..10 is non-trivial.
constexpr double cA = 0.3, cB = -0.7, cC = 1.1, cD = 0.25, cE = -0.4, cF = 0.6, cG = 0.15;
constexpr double cH = 0.2, cK = -0.35;
double cubic(double x, double y) {
  return cA * x * x + cB * x * y + cC * y * y + cD * x * x * x + cE * x * x * y + cF * x * y * y +
         cG * y * y * y + cH * x + cK * y;
}
double last_x, last_y;
void cubic_class(DerivVector& o, double x, double y) {
  last_x = x;
  last_y = y;
  o[1] = cubic(x, y);
  o[2] = 2 * cA * x + cB * y + 3 * cD * x * x + 2 * cE * x * y + cF * y * y + cH;
  o[3] = cB * x + 2 * cC * y + cE * x * x + 2 * cF * x * y + 3 * cG * y * y + cK;
  o[4] = 2 * cA + 6 * cD * x + 2 * cE * y;
  o[5] = 2 * cC + 2 * cF * x + 6 * cG * y;
  o[6] = cB + 2 * cE * x + 2 * cF * y;
  o[7] = 6 * cD;
  o[8] = 2 * cE;
  o[9] = 2 * cF;
  o[10] = 6 * cG;
}

DerivVector eval1(double x, double y) {
  DerivVector out;
  ellipse1(out, x, y);
  return out;
}

}  // namespace

TEST(Initgal, LoadingRules) {
  // Expected values from the loading rules: a negative ellipticity or shear becomes
  // positive with 90 degrees added; mpole/fourmode keep the sign; kapmap turns by -90.
  struct Case {
    const char* name;
    double e, te, gamma, tg;
    double ep, te_out, gm, tg_out;
  } cases[] = {
      {"ptmass", -0.3, 10, 0, 0, 0.3, 100, 0, 0},
      {"mpole", -0.3, 10, 0, 0, -0.3, 10, 0, 0},
      {"fourmode", -0.3, 10, 0, 0, -0.3, 10, 0, 0},
      {"kapmap", 0.2, 90, 0, 0, 0.2, 0, 0, 0},
      {"kapmap", -0.2, 0, 0, 0, 0.2, 0, 0, 0},
      {"convrg", 0.1, 20, -0.1, 30, 0.1, 20, 0.1, 120},
  };
  fresh_model(1);
  for (const Case& c : cases) {
    set_component(1, c.name, {1.0, 0.5, -0.5, c.e, c.te, c.gamma, c.tg, -2.0, -3.0, 1.5});
    initgal(1);
    SCOPED_TRACE(c.name);
    EXPECT_EQ(std::string(cur.ID), c.name);
    EXPECT_DOUBLE_EQ(cur.ep, c.ep);
    EXPECT_DOUBLE_EQ(cur.te, c.te_out);
    EXPECT_DOUBLE_EQ(cur.gm, c.gm);
    EXPECT_DOUBLE_EQ(cur.tg, c.tg_out);
    EXPECT_DOUBLE_EQ(cur.ss, 2.0);
    EXPECT_DOUBLE_EQ(cur.aa, 3.0);
    EXPECT_DOUBLE_EQ(cur.al, 1.5);
    EXPECT_NEAR(cur.ct, std::cos(c.te_out * kPi / 180), 1e-15);
    EXPECT_NEAR(cur.s2t, std::sin(2 * c.te_out * kPi / 180), 1e-15);
  }
  // gamma = -0.1 at 30 degrees: gc = 0.1 cos 240 = -0.05, gs = 0.1 sin 240 = -0.0866.
  EXPECT_NEAR(cur.gc, -0.05, 1e-12);
  EXPECT_NEAR(cur.gs, -0.0866, 5e-5);
  // ArnoldADE keeps the signs of parameters 8 and 9.
  set_component(1, "ArnoldADE", {1, 0, 0, 0, 0, 0, 0, -2.0, -3.0, 0});
  initgal(1);
  EXPECT_EQ(cur.ss, -2.0);
  EXPECT_EQ(cur.aa, -3.0);
}

TEST(Initgal, SeesParameterChangesMadeAnyWay) {
  fresh_model(2);
  set_component(1, "convrg", {0.2, 0, 0});
  set_component(2, "ptmass", {1.0, 1, 1});
  initgal(1);
  EXPECT_EQ(cur.b, 0.2);
  TWgal.p[1][1] = 0.4;  // direct write, not through setp
  initgal(2);
  initgal(1);
  EXPECT_EQ(cur.b, 0.4);
  setID(1, "ptmass");
  initgal(1);
  EXPECT_EQ(cur.cid, CLS_ptmass);
  // Multi-plane: the centre comes from the component's own plane.
  TWgal.pos[1][5] = 3.0;
  TWgal.pos[1][6] = 4.0;
  LOS.on = 1;
  initgal(1);
  EXPECT_EQ(cur.xg, 3.0);
  EXPECT_EQ(cur.yg, 4.0);
  LOS.on = 0;
  initgal(1);
  EXPECT_EQ(cur.xg, 0.0);
  // Rows that do not exist are refused.
  EXPECT_EQ(fatal_message([] { initgal(3); }), "component 3 does not exist");
  EXPECT_EQ(fatal_message([] { setp(1, 11, 0.0); }), "parameter 11 does not exist");
}

TEST(Ellipse1, FrameConventionByHand) {
  fresh_model(1);
  AddMod("cubic", cubic_class, modelclass::dumrho, modelclass::dummass, "test");
  // te = 0: the major (x') axis points along +y. The image point one unit above the
  // centre (2, 1) is x' = 1, y' = 0.
  set_component(1, "cubic", {1, 2, 1, 0.2, 0});
  initgal(1);
  eval1(2, 2);
  EXPECT_NEAR(last_x, 1, 1e-15);
  EXPECT_NEAR(last_y, 0, 1e-15);
  // te = 90: the major axis points along -x; one unit to the right is x' = -1, y' = 0,
  // one unit up is x' = 0, y' = -1.
  setp(1, 5, 90);
  initgal(1);
  eval1(3, 1);
  EXPECT_NEAR(last_x, -1, 1e-15);
  EXPECT_NEAR(last_y, 0, 1e-15);
  eval1(2, 2);
  EXPECT_NEAR(last_x, 0, 1e-15);
  EXPECT_NEAR(last_y, -1, 1e-15);
  // At the centre the class sees (0, 0).
  eval1(2, 1);
  EXPECT_EQ(last_x, 0.0);
  EXPECT_EQ(last_y, 0.0);
  InitModels();
}

TEST(Ellipse1, RotatedMovedFieldMatchesItsDerivatives) {
  // Image-plane field f(x'(x, y), y'(x, y)) of the cubic class; entries 2..10 must be its
  // derivatives. The five-point difference is exact for polynomials up to degree four.
  fresh_model(1);
  AddMod("cubic", cubic_class, modelclass::dumrho, modelclass::dummass, "test");
  const double h = 1e-2;
  auto diff = [&](const std::function<double(double, double)>& g, double x, double y, double dx, double dy) {
    return (-g(x + 2 * dx, y + 2 * dy) + 8 * g(x + dx, y + dy) - 8 * g(x - dx, y - dy) +
            g(x - 2 * dx, y - 2 * dy)) / (12 * (dx + dy));
  };
  for (double te : {0.0, 37.0, 90.0, -125.0, 200.0}) {
    set_component(1, "cubic", {1, 0.7, -0.4, 0.2, te});
    initgal(1);
    const double t = te * kPi / 180, c = std::cos(t), s = std::sin(t);
    auto f = [&](double x, double y) {
      const double dx = x - 0.7, dy = y + 0.4;
      return cubic(-s * dx + c * dy, -c * dx - s * dy);
    };
    auto e = [](int k) { return [k](double x, double y) { return eval1(x, y)[k]; }; };
    const double x = 1.3, y = 0.2;
    const DerivVector o = eval1(x, y);
    SCOPED_TRACE(te);
    EXPECT_NEAR(o[1], f(x, y), 1e-12);
    EXPECT_NEAR(o[2], diff(f, x, y, h, 0), 1e-11);
    EXPECT_NEAR(o[3], diff(f, x, y, 0, h), 1e-11);
    EXPECT_NEAR(o[4], diff(e(2), x, y, h, 0), 1e-11);
    EXPECT_NEAR(o[5], diff(e(3), x, y, 0, h), 1e-11);
    EXPECT_NEAR(o[6], diff(e(2), x, y, 0, h), 1e-11);
    EXPECT_NEAR(o[6], diff(e(3), x, y, h, 0), 1e-11);
    EXPECT_NEAR(o[7], diff(e(4), x, y, h, 0), 1e-11);
    EXPECT_NEAR(o[8], diff(e(4), x, y, 0, h), 1e-11);
    EXPECT_NEAR(o[9], diff(e(5), x, y, h, 0), 1e-11);
    EXPECT_NEAR(o[10], diff(e(5), x, y, 0, h), 1e-11);
  }
  InitModels();
}

TEST(Ellipse1, ScratchAsOutputAndPointSymmetry) {
  fresh_model(1);
  set_component(1, "ptmass", {1.3, 0.5, 0.25, 0.3, 0});
  initgal(1);
  const DerivVector ref = eval1(1.7, -0.6);
  for (double te : {15.0, 90.0, 241.0}) {
    setp(1, 5, te);
    initgal(1);
    ellipse1(TWmod.R1, 1.7, -0.6);
    for (int k = 1; k <= 6; ++k) EXPECT_NEAR(TWmod.R1[k], ref[k], 1e-14) << te << " " << k;
  }
}

TEST(Ellipse1, PseudoComponentsGiveZeros) {
  fresh_model(1);
  for (const char* name : {"none", "register", "LOSshr"}) {
    set_component(1, name, {1, 1, 1, 0.3, 20, 0.1, 10, 1, 1, 1});
    initgal(1);
    DerivVector out;
    for (int k = 1; k <= 10; ++k) out[k] = 9;
    CaptureOutput cap;
    ellipse1(out, 0.3, 0.4);
    for (int k = 1; k <= 10; ++k) EXPECT_EQ(out[k], 0.0) << name;
    EXPECT_EQ(cap.text(), "");
  }
}

TEST(Ellipse2, FarComponentUsesItsExpansionAboutComponentOne) {
  fresh_model(2);
  AddMod("cubic", cubic_class, modelclass::dumrho, modelclass::dummass, "test");
  set_component(1, "ptmass", {1, 0.1, 0.2});
  set_component(2, "cubic", {1, 5, 1, 0.2, 30});
  initgal(2);
  // Without farcut ellipse2 is ellipse1.
  DerivVector a, b;
  ellipse1(a, 0.4, -0.3);
  ellipse2(b, 0.4, -0.3);
  for (int k = 1; k <= 10; ++k) EXPECT_NEAR(a[k], b[k], 1e-14);
  // Far: the second-order Taylor expansion about component 1's centre, in image-plane
  // terms, with third derivatives 0.
  TWmod.farcut = 2.0;
  DerivVector c0;
  ellipse1(c0, 0.1, 0.2);
  const double ex = 0.4 - 0.1, ey = -0.3 - 0.2;
  ellipse2(b, 0.4, -0.3);
  EXPECT_NEAR(b[1], c0[1] + c0[2] * ex + c0[3] * ey + 0.5 * c0[4] * ex * ex + c0[6] * ex * ey +
                        0.5 * c0[5] * ey * ey, 1e-12);
  EXPECT_NEAR(b[2], c0[2] + c0[4] * ex + c0[6] * ey, 1e-12);
  EXPECT_NEAR(b[3], c0[3] + c0[6] * ex + c0[5] * ey, 1e-12);
  for (int k = 4; k <= 6; ++k) EXPECT_NEAR(b[k], c0[k], 1e-12);
  for (int k = 7; k <= 10; ++k) EXPECT_EQ(b[k], 0.0);
  // LOSshr reaches its placeholder in ellipse2 (with the warning).
  set_component(2, "LOSshr", {0.1});
  initgal(2);
  CaptureOutput cap;
  ellipse2(b, 0.4, -0.3);
  EXPECT_EQ(cap.text(), "WARNING: YOU SHOULD NOT HAVE ENTERED LOSshrfunc!\n");
  InitModels();
}

TEST(Shear, ExternalShearTerm) {
  fresh_model(1);
  // gamma 0.1 at angle 0, dx = 1, dy = 0: potential 0.05, deflection (0.1, 0), second
  // derivatives (0.1, -0.1, 0).
  set_component(1, "convrg", {0, 2, 3, 0, 0, 0.1, 0});
  initgal(1);
  DerivVector o;
  shear(o, 3, 3);
  const double want[] = {0, 0.05, 0.1, 0, 0.1, -0.1, 0, 0, 0, 0, 0};
  for (int k = 1; k <= 10; ++k) EXPECT_NEAR(o[k], want[k], 1e-15) << k;
  // General form phi = gc (dx^2 - dy^2)/2 + gs dx dy, not rotated with the component.
  set_component(1, "ptmass", {1, 2, 3, 0.3, 70, 0.13, 25});
  initgal(1);
  const double gc = 0.13 * std::cos(kPi * 25 / 90), gs = 0.13 * std::sin(kPi * 25 / 90);
  TWmod.gctot = TWmod.gstot = 0;
  shear(o, 2.5, 1.2);
  const double dx = 0.5, dy = -1.8;
  EXPECT_NEAR(o[1], gc * (dx * dx - dy * dy) / 2 + gs * dx * dy, 1e-15);
  EXPECT_NEAR(o[2], gc * dx + gs * dy, 1e-15);
  EXPECT_NEAR(o[3], gs * dx - gc * dy, 1e-15);
  EXPECT_NEAR(o[4], gc, 1e-15);
  EXPECT_NEAR(o[5], -gc, 1e-15);
  EXPECT_NEAR(o[6], gs, 1e-15);
  EXPECT_NEAR(TWmod.gctot, gc, 1e-15);
  EXPECT_NEAR(TWmod.gstot, gs, 1e-15);
  // Pseudo-components carry no shear term.
  for (const char* name : {"none", "register", "LOSshr"}) {
    set_component(1, name, {1, 2, 3, 0, 0, 0.1, 0});
    initgal(1);
    shear(o, 3, 3);
    for (int k = 1; k <= 10; ++k) EXPECT_EQ(o[k], 0.0) << name;
  }
}

TEST(Intshr, QuadrupoleOnlyThroughTheShearTerm) {
  fresh_model(1);
  set_component(1, "intshr", {1.2, 0.5, -0.3, 0, 0, 0.08, 20});
  initgal(1);
  const double A1 = 0.08 * std::cos(kPi * 20 / 90), A2 = 0.08 * std::sin(kPi * 20 / 90);
  // As a class field it is zero.
  DerivVector o = eval1(1.0, 1.0);
  for (int k = 1; k <= 10; ++k) EXPECT_EQ(o[k], 0.0);
  // Through shear(): the exterior quadrupole B/2 Re((A1 + i A2)/z^2), B = b^4, checked
  // against the complex form and by differences.
  auto phi = [&](double x, double y) {
    const std::complex<double> z(x - 0.5, y + 0.3);
    return std::pow(1.2, 4) / 2 * std::real(std::complex<double>(A1, A2) / (z * z));
  };
  auto sh = [&](double x, double y) {
    DerivVector r;
    shear(r, x, y);
    return r;
  };
  const double x = 1.4, y = 0.9, h = 1e-5;
  o = sh(x, y);
  EXPECT_NEAR(o[1], phi(x, y), 1e-14);
  EXPECT_NEAR(o[2], (phi(x + h, y) - phi(x - h, y)) / (2 * h), 1e-8);
  EXPECT_NEAR(o[3], (phi(x, y + h) - phi(x, y - h)) / (2 * h), 1e-8);
  EXPECT_NEAR(o[4], (sh(x + h, y)[2] - sh(x - h, y)[2]) / (2 * h), 1e-8);
  EXPECT_NEAR(o[5], (sh(x, y + h)[3] - sh(x, y - h)[3]) / (2 * h), 1e-8);
  EXPECT_NEAR(o[6], (sh(x, y + h)[2] - sh(x, y - h)[2]) / (2 * h), 1e-8);
  EXPECT_EQ(TWmod.intshrflag, 0);
  EXPECT_EQ(TWmod.gctot, 0.0);  // the quadrupole does not count as shear
  // At its own centre it contributes nothing.
  o = sh(0.5, -0.3 + 5e-6);
  for (int k = 1; k <= 10; ++k) EXPECT_EQ(o[k], 0.0);
  // Mode 2 with no shear before it: nothing.
  settings.intshrmode = 2;
  o = sh(x, y);
  for (int k = 1; k <= 10; ++k) EXPECT_EQ(o[k], 0.0);
  settings.intshrmode = 3;
  EXPECT_EQ(fatal_message([&] { sh(x, y); }), "unknown value of intshrmode");
  EXPECT_EQ(TWmod.intshrflag, 0);
}

TEST(Register, SetAndGetShifts) {
  fresh_model(2);
  // A register component loaded before any model set-up made the table gets one.
  set_component(1, "register", {4, 1, 0.5, 0.5});
  initgal(1);
  double sx, sy;
  GetRegister(4, 1, sx, sy);
  EXPECT_EQ(sx, 0.5);
  InitRegister();
  // Type 1, number 0: one shift for every image set.
  set_component(1, "register", {1, 0, 0.01, -0.02});
  initgal(1);
  for (int k = 0; k <= 5; ++k) {
    double dx, dy;
    GetRegister(1, k, dx, dy);
    EXPECT_EQ(dx, 0.01);
    EXPECT_EQ(dy, -0.02);
  }
  double dx = 1, dy = 1;
  GetRegister(1, 6, dx, dy);  // above maxrgstr: silently 0
  EXPECT_EQ(dx, 0.0);
  EXPECT_EQ(dy, 0.0);
  GetRegister(3, 2, dx, dy);  // nothing registered
  EXPECT_EQ(dx, 0.0);
  // A single number; 2.9999999 reads as 3.
  set_component(2, "register", {3, 2.9999999, 0.5, 0.25});
  initgal(2);
  GetRegister(3, 3, dx, dy);
  EXPECT_EQ(dx, 0.5);
  EXPECT_EQ(dy, 0.25);
  // InitRegister clears; loading the component again restores the shift.
  InitRegister();
  GetRegister(3, 3, dx, dy);
  EXPECT_EQ(dx, 0.0);
  initgal(2);
  GetRegister(3, 3, dx, dy);
  EXPECT_EQ(dx, 0.5);

  struct Bad {
    std::function<void()> f;
    const char* msg;
  } bad[] = {
      {[] { SetRegister(2, 3, 0, 0); }, "all curve constraints must use the same shift (data number = 0)"},
      {[] { SetRegister(5, 0, 0, 0); }, "unknown data type for registration"},
      {[] { SetRegister(1, 6, 0, 0); }, "register data number out of bounds; increase maxrgstr variable"},
      {[] { SetRegister(1, -1, 0, 0); }, "register data number out of bounds; increase maxrgstr variable"},
      {[] { double a, b; GetRegister(0, 1, a, b); }, "unknown data type for registration"},
      {[] { settings.maxrgstr = 8; double a, b; GetRegister(1, 7, a, b); },
       "register data number out of bounds; increase maxrgstr variable"},
  };
  for (const Bad& b : bad) EXPECT_EQ(fatal_message(b.f), b.msg);
  // A huge data number is refused, not wrapped.
  set_component(2, "register", {1, 1e300, 0, 0});
  EXPECT_EQ(fatal_message([] { initgal(2); }), "register data number out of bounds; increase maxrgstr variable");
}

// Values derived from the parameters at load (axis ratio, the alpha family's normalisation,
// angle sines and cosines, shear components) follow every parameter change at the next
// load: a changed model evaluates exactly as the same model built afresh, and classes
// that lend the current component other parameters see values derived from them.
TEST(Initgal, DerivedValuesFollowParameterChanges) {
  auto field = [](double x, double y) {
    double o[7];
    potdefmag(x, y, o[0], o[1], o[2], o[3], o[4], o[5], o[6]);
    return std::vector<double>(o, o + 7);
  };
  const std::vector<double> p0 = {1.0, 0.1, -0.2, 0.3, 20.0, 0.05, 70.0, 0.05, 0.4, 1.0};
  const std::vector<double> p1 = {1.3, -0.1, 0.2, 0.55, -35.0, 0.08, 10.0, 0.02, 0.0, 1.0};
  for (int norm : {0, 1}) {
    fresh_model(1);
    settings.alphanorm = norm;
    setID(1, "alpha");
    for (int k = 1; k <= 10; ++k) setp(1, k, p0[k - 1]);
    const std::vector<double> before = field(0.7, 0.3);
    for (int k = 1; k <= 10; ++k) setp(1, k, p1[k - 1]);
    initgal(1);
    const double q = 1 - p1[3];
    EXPECT_EQ(cur.q, q);
    EXPECT_NEAR(cur.anf, std::sqrt((1 + q * q) / 2) / q, 1e-15);
    const std::vector<double> changed = field(0.7, 0.3);
    fresh_model(1);
    settings.alphanorm = norm;
    setID(1, "alpha");
    for (int k = 1; k <= 10; ++k) setp(1, k, p1[k - 1]);
    const std::vector<double> fresh = field(0.7, 0.3);
    for (int k = 0; k < 7; ++k) {
      EXPECT_EQ(changed[k], fresh[k]) << norm << " " << k;
      EXPECT_NE(changed[k], before[k]) << norm << " " << k;
    }
  }
  // A class routine called with an ellipticity of its caller's choosing.
  fresh_model(1);
  set_component(1, "alpha", {1.0, 0, 0, 0.0, 0, 0, 0, 0.1, 0, 1.0});
  initgal(1);
  cur.ep = 0.4;
  EXPECT_EQ(cur.q, 1.0);
  DerivVector direct;
  modelclass::alpha(direct, 0.6, 0.2);
  EXPECT_EQ(cur.q, 0.6);
  set_component(1, "alpha", {1.0, 0, 0, 0.4, 0, 0, 0, 0.1, 0, 1.0});
  initgal(1);
  DerivVector loaded;
  modelclass::alpha(loaded, 0.6, 0.2);
  for (int k = 1; k <= 10; ++k) EXPECT_EQ(direct[k], loaded[k]) << k;
}

// The whole-model sum skips the third derivatives it does not read; a single component's
// evaluation after it still has them.
TEST(Ellipse1, ThirdDerivativesAfterTheWholeModelSum) {
  fresh_model(1);
  set_component(1, "alpha", {1.0, 0, 0, 0.3, 30.0, 0, 0, 0.1, 0, 1.0});
  initgal(1);
  const DerivVector before = eval1(0.5, 0.4);
  double a, b, c, d, e, f, g;
  potdefmag(0.5, 0.4, a, b, c, d, e, f, g);
  EXPECT_EQ(d, before[4]);
  const DerivVector after = eval1(0.5, 0.4);
  for (int k = 7; k <= 10; ++k) {
    EXPECT_NE(after[k], 0.0) << k;
    EXPECT_EQ(after[k], before[k]) << k;
  }
}
