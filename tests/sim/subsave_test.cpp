// The small-grid cache of the clump field: its nodes hold the tree's values, it follows
// every new realisation, it steps aside for clumps on an image, and it interpolates with
// the error of a bilinear scheme.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "core/command_fixture.h"
#include "core/lens_model.h"
#include "fit/subsave.h"
#include "io/qvmfile.h"
#include "models/evaluator.h"
#include "models/substructure.h"
#include "numeric/random.h"
#include "shell/settings.h"
#include "shell/vars.h"
#include "sim/clumps.h"

namespace {

class SubsaveTest : public CommandTest {
 protected:
  void SetUp() override {
    CommandTest::SetUp();
    dir.write("model.dat", "2 1\nalpha 1 0 0 0 0 0.1 0 0 0 1\nalpha 0.02 0 0 0 0 0 0 0.05 0 1\n"
                           "0 0 0 0 0 0 0 0 0 0\n0 0 0 0 0 0 0 0 0 0\n");
    run_handler(setlens, cmd({"setlens", dir.file("model.dat")}));
    CommandInput in("2 0.0001 1 0 star 0\n");
    run_handler(setclumps, cmd({"setclumps", "1", "0", "3"}));
    images.reset(1, 3, 1, 2);
    const double pos[3][2] = {{1.1, 0.05}, {-0.2, 0.95}, {-0.7, -0.6}};
    for (int k = 0; k < 3; ++k) images[k + 1][1] = pos[k][0], images[k + 1][2] = pos[k][1];
  }
  void TearDown() override {
    subsave_free();
    CommandTest::TearDown();
  }
  void build(int n) {
    const double lims[4] = {-0.01, 0.01, -0.01, 0.01};
    subsave_free();
    subsave_build(images, 3, lims, n, n, nullptr, true);
  }
  static std::vector<double> eval(double x, double y) {
    std::vector<double> v(7);
    potdefmag(x, y, v[0], v[1], v[2], v[3], v[4], v[5], v[6]);
    return v;
  }
  // Tree sum of the clumps of component 2 at (x, y).
  static DerivVector tree(double x, double y) {
    DerivVector d;
    TreeCalc(TWclump.clumpdat[2].root.get(), d, x, y);
    return d;
  }
  void expect_nodes_hold_the_tree() {
    for (int k = 1; k <= 3; ++k) {
      SubsaveGrid& g = TWclump.subsavedat[k];
      ASSERT_EQ(g.on, 1);
      for (int i = 1; i <= g.nx; i += 3)
        for (int j = 1; j <= g.ny; j += 4) {
          const DerivVector d = tree(g.xlo + (i - 1) * g.xstep, g.ylo + (j - 1) * g.ystep);
          for (int q = 1; q <= 6; ++q) EXPECT_NEAR(g.tab[q][i][j], d[q], 1e-12 * (std::fabs(d[q]) + 1));
        }
    }
  }
  Mat images;
  ScratchDir dir;
};

TEST_F(SubsaveTest, NodesHoldTheTreeAndFollowEveryDraw) {
  build(11);
  EXPECT_EQ(TWclump.subsaveN, 3);
  expect_nodes_hold_the_tree();
  // A new realisation replaces the cache silently (same images, same grids).
  run_handler(drawclumps, cmd({"drawclumps", "4", "4", "4"}));
  EXPECT_EQ(TWclump.subsaveN, 3);
  expect_nodes_hold_the_tree();
  // At a node the cached evaluation is the full one; off the grids the full one is used
  // and warned about at most 20 times.
  const SubsaveGrid& g = TWclump.subsavedat[2];
  const double x = g.xlo + 3 * g.xstep, y = g.ylo + 7 * g.ystep;
  const std::vector<double> cached = eval(x, y);
  const int n = TWclump.subsaveN;
  TWclump.subsaveN = 0;
  const std::vector<double> full = eval(x, y);
  TWclump.subsaveN = n;
  for (int q = 0; q < 7; ++q) EXPECT_NEAR(cached[q], full[q], 1e-12 * (std::fabs(full[q]) + 1)) << q;
  CaptureOutput cap;
  for (int i = 0; i < 25; ++i) eval(0.3, 0.3);
  EXPECT_EQ(count_occurrences(cap.text(), "Warning: subsave is on, but evaluation point is not on small grid(s)"), 20);
}

TEST_F(SubsaveTest, InterpolationErrorFallsAsTheSquareOfTheStep) {
  std::vector<double> rms[2];
  for (int pass = 0; pass < 2; ++pass) {
    build(pass == 0 ? 11 : 21);
    ScratchDir d;
    {
      FileHandle f(std::fopen(d.file("t.dat").c_str(), "w"));
      subsave_test(f, 200);
    }
    std::vector<double> sum(6, 0.0);
    int n = 0;
    FILE* f = std::fopen(d.file("t.dat").c_str(), "r");
    double v[8];
    while (std::fscanf(f, "%lf %lf %lf %lf %lf %lf %lf %lf", &v[0], &v[1], &v[2], &v[3], &v[4], &v[5], &v[6], &v[7]) ==
           8) {
      for (int q = 0; q < 6; ++q) sum[static_cast<size_t>(q)] += v[q + 2] * v[q + 2];
      ++n;
    }
    std::fclose(f);
    EXPECT_EQ(n, 600);
    for (double s : sum) rms[pass].push_back(std::sqrt(s / n));
  }
  for (int q = 0; q < 6; ++q) {
    const double ratio = rms[0][static_cast<size_t>(q)] / rms[1][static_cast<size_t>(q)];
    EXPECT_GT(ratio, 3.0) << "column " << q;
    EXPECT_LT(ratio, 6.0) << "column " << q;
  }
}

TEST_F(SubsaveTest, FarZoneIsAddedAtCachedPoints) {
  run_handler(farclumps, cmd({"farclumps", "1", "2.5", "3", "100", "100"}));
  {
    CommandInput in("2 0.0001 1 0 star 0\n");
    run_handler(setclumps, cmd({"setclumps", "1", "0", "3"}));
  }
  build(5);
  const SubsaveGrid& g = TWclump.subsavedat[1];
  const std::vector<double> cached = eval(g.xlo + g.xstep, g.ylo);
  TWclump.subsaveN = 0;
  const std::vector<double> full = eval(g.xlo + g.xstep, g.ylo);
  TWclump.subsaveN = 3;
  for (int q = 0; q < 7; ++q) EXPECT_NEAR(cached[q], full[q], 1e-12 * (std::fabs(full[q]) + 1)) << q;
}

TEST_F(SubsaveTest, AClumpOnTheImageTurnsItsGridOff) {
  const std::vector<FlatClump>& cl = TWclump.clumpdat[2].root->own_pool->order;
  images[2][1] = cl[5].x + 1e-4;
  images[2][2] = cl[5].y;
  CaptureOutput cap;
  const double lims[4] = {-0.01, 0.01, -0.01, 0.01};
  subsave_build(images, 3, lims, 5, 5, nullptr, false);
  EXPECT_NE(cap.text().find("A clump overlaps the image, so turning small grid off.\n"), std::string::npos);
  EXPECT_EQ(TWclump.subsavedat[2].on, 0);
  EXPECT_EQ(TWclump.subsavedat[1].on, 1);
}

TEST_F(SubsaveTest, CommandRefusesGridsOfOnePointAndReportsWhenOff) {
  CaptureOutput cap;
  quietflag = 0;
  run_handler(subsave, cmd({"subsave", "on", "-0.01", "0.01", "1", "-0.01", "0.01", "11"}));
  run_handler(subsave, cmd({"subsave", "off"}));
  quietflag = 1;
  EXPECT_EQ(TWclump.subsaveN, 0);
  EXPECT_NE(cap.text().find("at least 2 grid points"), std::string::npos);
  EXPECT_NE(cap.text().find("Cannot turn off subsave because it has not been turned on."), std::string::npos);
}

}  // namespace
