// The clump tree: exact sums, the multipole approximation and its opening rules, clumps
// that fall on one point, and the walks over the leaves.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "core/command_fixture.h"
#include "models/substructure.h"
#include "numeric/constants.h"
#include "numeric/random.h"
#include "shell/settings.h"

namespace {

struct Clump {
  double x, y, m;
};

class ClumpTreeTest : public CommandTest {
 protected:
  void build(const std::vector<Clump>& cl, int type = CLUMP_STAR, const double* P = nullptr, double half = 2.0) {
    static const double none[5] = {};
    TreeInit(root, -half, half, -half, half);
    for (const auto& c : cl) TreeInsert(P ? P : none, type, root, c.x, c.y, c.m);
    TreePrune(root);
    type_ = type;
    P_ = P ? P : none;
    clumps_ = cl;
  }
  // Field of the tree at (x, y) with the given opening settings.
  DerivVector tree(double x, double y, double leafsize, double leaferr) {
    settings.leafsize = leafsize;
    settings.leaferr = leaferr;
    DerivVector d;
    TreeCalc(&root, d, x, y);
    return d;
  }
  // Direct sum of the clump profiles.
  DerivVector direct(double x, double y) {
    DerivVector d;
    for (const auto& c : clumps_) {
      double phi, a, k, g;
      const double dx = x - c.x, dy = y - c.y, r = std::hypot(dx, dy);
      clump_calc(type_, P_, phi, a, k, g, c.m, r);
      const double ct = dx / r, st = dy / r, c2 = ct * ct - st * st, s2 = 2 * ct * st;
      d[1] += phi, d[2] += a * ct, d[3] += a * st;
      d[4] += k - g * c2, d[5] += k + g * c2, d[6] -= g * s2;
    }
    return d;
  }
  static std::vector<Clump> random_clumps(int n, double R, long seed) {
    RandomStream r(seed);
    std::vector<Clump> v;
    for (int i = 0; i < n; ++i) v.push_back({R * (2 * ran2(r) - 1), R * (2 * ran2(r) - 1), 1e-4 * (0.5 + ran2(r))});
    return v;
  }
  ClumpNode root;
  int type_ = CLUMP_STAR;
  const double* P_ = nullptr;
  std::vector<Clump> clumps_;
};

TEST_F(ClumpTreeTest, DefaultSettingsGiveTheExactSumByEitherRoute) {
  const double P[5] = {0.8, 0, 0, 0, 0};
  for (int type : {CLUMP_STAR, CLUMP_PJAFFE}) {
    build(random_clumps(300, 1.5, 3), type, P);
    for (auto pt : {std::pair<double, double>{0.3, -0.2}, {1.9, 1.7}, {-0.05, 0.4}}) {
      const DerivVector d = direct(pt.first, pt.second);
      const DerivVector flat = tree(pt.first, pt.second, 0, 0);      // one flat pass
      const DerivVector walk = tree(pt.first, pt.second, 1e-12, 0);  // every node opened
      for (int q = 1; q <= 6; ++q) {
        EXPECT_NEAR(flat[q], d[q], 1e-12 * (std::fabs(d[q]) + 1)) << type << " " << q;
        EXPECT_NEAR(walk[q], flat[q], 1e-12 * (std::fabs(d[q]) + 1)) << type << " " << q;
      }
    }
  }
  TWclump.treecount = 0;
  tree(0.1, 0.1, 0, 0);
  EXPECT_EQ(TWclump.treecount, 300);
}

TEST_F(ClumpTreeTest, UnopenedNodeAddsMonopoleAndQuadrupole) {
  // Two equal masses at (+-s, 0) seen from (R, 0): potential 2 m ln R/pi - m s^2/(pi R^2).
  const double m = 0.01, s = 0.01, R = 1.0;
  build({{-s, 0, m}, {s, 0, m}});
  const DerivVector d = tree(R, 0, 0.5, 1e30);
  EXPECT_NEAR(d[1], 2 * m * std::log(R) / kPi - m * s * s / (kPi * R * R), 3e-11);  // next order: m s^4/(2 pi R^4)
  // Everywhere the multipoles agree with the exact field to (s/r)^4.
  for (double a : {0.3, 1.1, 2.0}) {
    const double x = 0.4 * std::cos(a), y = 0.4 * std::sin(a);
    const DerivVector t = tree(x, y, 0.5, 1e30), e = direct(x, y);
    for (int q = 1; q <= 6; ++q) EXPECT_NEAR(t[q], e[q], 5e-3 * m * std::pow(s / 0.4, 4) / 0.16) << q;
  }
}

TEST_F(ClumpTreeTest, ErrorFallsFastWithLeafSize) {
  build(random_clumps(3000, 1.5, 11));
  double prev = 0;
  std::vector<double> errs;
  for (double L : {0.4, 0.2, 0.1, 0.05}) {
    double worst = 0;
    RandomStream r(5);
    for (int i = 0; i < 40; ++i) {
      const double x = 1.4 * (2 * ran2(r) - 1), y = 1.4 * (2 * ran2(r) - 1);
      worst = std::max(worst, std::fabs(tree(x, y, L, 1e30)[2] - tree(x, y, 0, 0)[2]));
    }
    if (prev > 0) {
      EXPECT_GT(prev / worst, 6.0) << "leafsize " << L;
    }
    prev = worst;
  }
  // leaferr alone opens a node whose quadrupole changes the deflection by more than it.
  TWclump.treecount = 0;
  tree(0.2, 0.3, 10, 1e-9);
  const long fine = TWclump.treecount;
  TWclump.treecount = 0;
  tree(0.2, 0.3, 10, 1e-5);
  EXPECT_LT(TWclump.treecount, fine);
}

TEST_F(ClumpTreeTest, ExtendedClumpsInsideANodeAreOpened) {
  // Wide Gaussian clumps around the point: every node holding several of them is within
  // their extent, so even a huge leafsize gives the exact sum.
  const double P[5] = {3.0, 0, 0, 0, 0};
  std::vector<Clump> cl = {{0.01, 0.02, 1e-3}, {-0.02, 0.01, 1e-3}, {0.015, -0.02, 1e-3}, {-0.01, -0.01, 1e-3}};
  build(cl, CLUMP_GAUS, P);
  const DerivVector t = tree(0.005, 0.0, 50, 1e30), e = direct(0.005, 0.0);
  for (int q = 1; q <= 6; ++q) EXPECT_NEAR(t[q], e[q], 1e-12) << q;
}

TEST_F(ClumpTreeTest, CoincidentClumpsShareOneLeafAndAllCount) {
  std::vector<Clump> cl = {{0.3, 0.3, 1e-3}, {0.3, 0.3, 2e-3}, {0.3, 0.3, 3e-3}, {-0.5, 0.2, 1e-3}};
  build(cl);  // ends: the shared point is not split for ever
  EXPECT_EQ(root.n, 4);
  for (double L : {0.0, 1e-12, 0.5}) {
    const DerivVector t = tree(0.0, -0.4, L, L > 0.1 ? 1e30 : 0), e = direct(0.0, -0.4);
    for (int q = 1; q <= 6; ++q) EXPECT_NEAR(t[q], e[q], 1e-12) << "leafsize " << L << " q " << q;
  }
  Mat table(1, 10, 1, 4);
  int count = 0;
  TreeClumpPos(root, 10, count, table, -1, 1, -1, 1);
  EXPECT_EQ(count, 4);
}

TEST_F(ClumpTreeTest, ClumpPositionsStopAtCapacityWithAWarning) {
  build({{0.1, 0.1, 1e-4}, {0.2, -0.3, 1e-4}, {-0.4, 0.5, 1e-4}, {0.6, 0.6, 1e-4}, {-0.7, -0.2, 1e-4},
         {1.8, 1.8, 1e-4}});
  Mat table(1, 2, 1, 4);
  int count = 0;
  CaptureOutput cap;
  TreeClumpPos(root, 2, count, table, -1, 1, -1, 1);  // five inside, one outside the box
  EXPECT_EQ(count, 2);
  EXPECT_EQ(count_occurrences(cap.text(), "too many clumps; you need to increase maxclumps"), 3);
}

TEST_F(ClumpTreeTest, CheckBoxShrinksAwayFromClumpsOrGivesUp) {
  const double m = kPi * 0.01;  // zone of half side 0.1
  build({{0.5, 0.3, m}});
  double xlo = -0.2, xhi = 0.2, ylo = -0.2, yhi = 0.2;  // not met
  EXPECT_EQ(TreeCheckBox(xlo, xhi, ylo, yhi, root), 0);
  EXPECT_EQ(xhi, 0.2);
  xlo = 0.1, xhi = 0.5, ylo = -0.2, yhi = 0.3;  // met at the upper right corner
  EXPECT_EQ(TreeCheckBox(xlo, xhi, ylo, yhi, root), 1);
  EXPECT_NEAR(xhi, 0.4, 1e-15);
  EXPECT_NEAR(yhi, 0.2, 1e-15);
  EXPECT_EQ(xlo, 0.1);
  EXPECT_EQ(ylo, -0.2);
  xlo = 0.45, xhi = 0.55, ylo = 0.25, yhi = 0.35;  // midpoint covered
  EXPECT_EQ(TreeCheckBox(xlo, xhi, ylo, yhi, root), -1);
}

TEST_F(ClumpTreeTest, FreedTreeAddsNothing) {
  build({{0.1, 0.1, 1e-3}});
  TreeFree(root);
  EXPECT_EQ(root.n, -1);
  const DerivVector d = tree(0.5, 0.5, 0, 0);
  for (int q = 1; q <= 6; ++q) EXPECT_EQ(d[q], 0.0);
}

TEST_F(ClumpTreeTest, ModelFileOutputWritesExactClumpsInsteadOfAddingThem) {
  build({{0.1, 0.2, 1e-3}, {-0.3, 0.4, 2e-3}});
  FILE* f = std::tmpfile();
  ClumpState& cs = TWclump;
  cs.OMEGAout = f;
  cs.OMEGAarr[0] = 1.0 + 5.0;  // cut radius 5: every clump within it is written
  const DerivVector d = tree(0.0, 0.0, 0.3, 1e30);
  cs.OMEGAout = nullptr;
  for (int q = 1; q <= 6; ++q) EXPECT_EQ(d[q], 0.0);
  EXPECT_EQ(cs.OMEGAarr[4], 2.0);
  std::rewind(f);
  char line[200];
  ASSERT_TRUE(std::fgets(line, sizeof line, f));
  double b, x, y;
  ASSERT_EQ(std::sscanf(line, "ptmass %lf %lf %lf", &b, &x, &y), 3) << line;
  EXPECT_NEAR(b, std::sqrt((x < 0 ? 2e-3 : 1e-3) / kPi), 1e-7);  // b is the clump's Einstein radius
  EXPECT_TRUE((x == -0.3 && y == 0.4) || (x == 0.1 && y == 0.2)) << line;
  std::fclose(f);
  const double P[5] = {0.5, 0, 0, 0, 0};
  build({{0.1, 0.2, 1e-3}}, CLUMP_GAUS, P);
  cs.OMEGAout = std::tmpfile();
  EXPECT_EQ(fatal_message([&] { tree(0.0, 0.0, 0, 0); }), "OMEGA stuff doesn't work for 'gaus' clumps");
  std::fclose(cs.OMEGAout);
  cs.OMEGAout = nullptr;
}

TEST_F(ClumpTreeTest, FilingAllAtOnceBuildsTheSameTree) {
  std::vector<Clump> cl = random_clumps(500, 1.9, 21);
  cl.push_back(cl[7]);  // a coincident pair as well
  build(cl);
  const std::vector<FlatClump> one = root.own_pool->order;
  const DerivVector a = tree(0.2, -0.1, 0.4, 1e30);
  ClumpNode other;
  TreeInit(other, -2, 2, -2, 2);
  std::vector<ClumpXYM> all;
  for (const auto& c : cl) all.push_back({c.x, c.y, c.m});
  const double none[5] = {};
  TreeInsertAll(none, CLUMP_STAR, other, all);
  TreePrune(other);
  ASSERT_EQ(other.own_pool->order.size(), one.size());
  for (size_t k = 0; k < one.size(); ++k) {
    EXPECT_EQ(other.own_pool->order[k].x, one[k].x);
    EXPECT_EQ(other.own_pool->order[k].y, one[k].y);
  }
  settings.leafsize = 0.4;
  settings.leaferr = 1e30;
  DerivVector b;
  TreeCalc(&other, b, 0.2, -0.1);
  for (int q = 1; q <= 6; ++q) EXPECT_NEAR(b[q], a[q], 1e-12 * (std::fabs(a[q]) + 1e-3)) << q;
}

}  // namespace
