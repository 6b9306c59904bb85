// The try2 command: fixed line-of-sight and shear matrices.
#include <gtest/gtest.h>

#include <array>
#include <cmath>

#include "app/startup.h"
#include "models/component.h"
#include "models/evaluator.h"
#include "models/substructure.h"
#include "shell/fatal.h"
#include "shell/settings.h"
#include "support/test_support.h"

namespace {

void fresh_program(int n) {
  start_program(stdin, stdout);
  quietflag = 0;
  InitModels();
  TWgal.allocate(n);
  TWmod = LensState();
  TWclump = ClumpState();
  TWtrack = DominanceTrack();
  LOS = LOSPlanes();
}

void set_component(int i, const std::string& name, std::initializer_list<double> p) {
  setID(i, name);
  int k = 1;
  for (double v : p) setp(i, k++, v);
}

std::array<double, 8> pdm(double x, double y) {
  std::array<double, 8> o{};
  potdefmag(x, y, o[1], o[2], o[3], o[4], o[5], o[6], o[7]);
  return o;
}

WordArray line(std::vector<std::string> w) {
  w.insert(w.begin(), "try2");
  w.push_back("#");  // the comment marker the line reader appends
  return WordArray(w);
}

}  // namespace

TEST(Try2, HelpAndShortLines) {
  fresh_program(1);
  {
    CaptureOutput cap;
    try2help(1);
    try2help(2);
    EXPECT_EQ(cap.text(), "try2 <n>\ntry2 <n>\n");
  }
  {
    quietflag = 1;
    CaptureOutput cap;
    try2help(2);
    EXPECT_EQ(cap.text(), "");
    quietflag = 0;
  }
  CaptureOutput cap;
  run_handler(try2, line({"1", "2", "3", "4", "5", "6", "7", "8", "9"}));  // nine numbers
  EXPECT_EQ(cap.text(), "try2 <n>\n");
  EXPECT_FALSE(TWmod.has_losmat);
}

TEST(Try2, IdentityAndNoShearLeaveTheClassFields) {
  fresh_program(2);
  set_component(1, "ptmass", {1.0, 0.5, 0.25, 0, 0, 0.1, 30});
  set_component(2, "LOSshr", {0.1, 0, 0, 0, 0, 0.05, 10});
  run_handler(try2, line({"9", "0", "0", "0", "0", "9", "0", "0", "0", "0"}));
  ASSERT_TRUE(TWmod.has_losmat);
  settings.potflag = 0;
  testing::internal::CaptureStdout();
  const auto o = pdm(1.7, -0.6);
  const std::string printed = testing::internal::GetCapturedStdout();
  EXPECT_EQ(printed, "QVM using manual shr 0.000000e+00 0.000000e+00 0.000000e+00 0.000000e+00 "
                     "(5.000000e-01,2.500000e-01)\n");
  // Point mass b = 1 at (0.5, 0.25), offset (1.2, -0.85): deflection b^2 (dx, dy) / r^2.
  const double dx = 1.2, dy = -0.85, r2 = dx * dx + dy * dy;
  EXPECT_NEAR(o[2], dx / r2, 1e-15);
  EXPECT_NEAR(o[3], dy / r2, 1e-15);
  EXPECT_NEAR(o[4], -(dx * dx - dy * dy) / (r2 * r2), 1e-15);
  EXPECT_NEAR(o[6], -2 * dx * dy / (r2 * r2), 1e-15);
  EXPECT_EQ(o[6], o[7]);
}

TEST(Try2, MatricesReplaceTheLineOfSightAndShearTerms) {
  fresh_program(2);
  set_component(1, "ptmass", {0.5, 0.5, 0.25, 0, 0, 0.1, 30});  // shear term replaced
  set_component(2, "LOSshr", {0.1, 0, 0});
  // w2..w5 make matrix 1 = [[0.9, -0.02], [-0.03, 0.8]]; w7..w10 matrix 2.
  run_handler(try2, line({"0", "0.1", "0.02", "0.03", "0.2", "0", "0.11", "0.12", "0.13", "0.14"}));
  EXPECT_DOUBLE_EQ(TWmod.losmat[1][1][1], 0.9);
  EXPECT_DOUBLE_EQ(TWmod.losmat[1][1][2], -0.02);
  EXPECT_DOUBLE_EQ(TWmod.losmat[1][2][1], -0.03);
  EXPECT_DOUBLE_EQ(TWmod.losmat[1][2][2], 0.8);
  settings.potflag = 0;
  testing::internal::CaptureStdout();
  const double x = 1.5, y = 0.75;
  const auto o = pdm(x, y);
  testing::internal::GetCapturedStdout();
  // Point mass field at the mapped point (LOSshr centre (0, 0)), second derivatives times
  // matrix 1 on the right, plus matrix 2 as the shear term about the point mass centre.
  const double m = 0.9, l = -0.02, h = -0.03, g = 0.8;
  const double u = m * x + l * y, v = h * x + g * y;
  const double dx = u - 0.5, dy = v - 0.25, r2 = dx * dx + dy * dy, b2 = 0.25;
  const double Hxx = -b2 * (dx * dx - dy * dy) / (r2 * r2), Hyy = -Hxx, Hxy = -2 * b2 * dx * dy / (r2 * r2);
  const double sx = x - 0.5, sy = y - 0.25;
  EXPECT_NEAR(o[2], b2 * dx / r2 + 0.11 * sx + 0.12 * sy, 1e-14);
  EXPECT_NEAR(o[3], b2 * dy / r2 + 0.13 * sx + 0.14 * sy, 1e-14);
  EXPECT_NEAR(o[4], m * Hxx + h * Hxy + 0.11, 1e-14);
  EXPECT_NEAR(o[5], l * Hxy + g * Hyy + 0.14, 1e-14);
  EXPECT_NEAR(o[6], l * Hxx + g * Hxy + 0.12, 1e-14);
  EXPECT_NEAR(o[7], m * Hxy + h * Hyy + 0.13, 1e-14);
}

TEST(Try2, WithoutAnLOSshrComponentOnlyTheShearMatrixActs) {
  // Matrix 1 replaces the map of an LOSshr component; with none in the model the class
  // fields stay at the given point (and potflag may stay 1).
  fresh_program(1);
  set_component(1, "ptmass", {1.0, 0.5, 0.25, 0, 0, 0.1, 30});
  run_handler(try2, line({"0", "0.1", "0.02", "0.03", "0.2", "0", "0", "0", "0", "0"}));
  testing::internal::CaptureStdout();
  const auto o = pdm(1.7, -0.6);
  testing::internal::GetCapturedStdout();
  // Point mass b = 1 at (0.5, 0.25), offset (1.2, -0.85), no shear term.
  const double dx = 1.2, dy = -0.85, r2 = dx * dx + dy * dy;
  EXPECT_NEAR(o[1], 0.5 * std::log(r2), 1e-15);
  EXPECT_NEAR(o[2], dx / r2, 1e-15);
  EXPECT_NEAR(o[3], dy / r2, 1e-15);
  EXPECT_NEAR(o[5], (dx * dx - dy * dy) / (r2 * r2), 1e-15);
}
