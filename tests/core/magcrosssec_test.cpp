// Magnification cross sections: areas against the singular isothermal sphere, the base
// grid without refinement, repeatability and refused arguments.
#include <gtest/gtest.h>

#include <cmath>
#include <sstream>
#include <string>
#include <vector>

#include "core/magcrosssec.h"
#include "core/model_fixture.h"
#include "imageplane/images.h"
#include "numeric/constants.h"
#include "shell/commands.h"

namespace {

class MagCsecTest : public ModelCommandTest {
 protected:
  void SetUp() override {
    ModelCommandTest::SetUp();
    set("gridflag", 1);
    set("omitcore", 0.05);
    set("gridhi1", 4);
    // An isothermal sphere of b = 1 slightly off the grid's centre.
    load({"alpha 1 0.0123 0.0071 0 0 0 0 0 0 1"});
  }
  struct Sample {
    double u, v, mu, area;
    int n, level;
  };
  std::vector<Sample> area(const std::string& base) {
    std::istringstream in(dir.read(base + "-area.dat"));
    std::vector<Sample> out;
    Sample s;
    while (in >> s.u >> s.v >> s.n >> s.mu >> s.level >> s.area) out.push_back(s);
    return out;
  }
  void csec(const std::string& base, std::vector<std::string> args) {
    std::vector<std::string> w = {"magcrosssec", dir.file(base)};
    w.insert(w.end(), args.begin(), args.end());
    run(magcrosssec, w);
  }
};

}  // namespace

// Total magnification of the isothermal sphere: 2/|u| inside the caustic |u| < 1, so the
// area above 2 is pi and above 4 is pi/4; all of the 3 x 3 square has images.
TEST_F(MagCsecTest, AreasOfTheIsothermalSphere) {
  csec("c", {"-1.5", "1.5", "20", "-1.5", "1.5", "20", "2", "6", "3", "4000"});
  const auto s = area("c");
  double total = 0, above2 = 0, above4 = 0;
  for (const Sample& p : s) {
    total += p.area;
    if (p.mu > 2) above2 += p.area;
    if (p.mu > 4) above4 += p.area;
  }
  EXPECT_NEAR(total, 9.0, 1e-5);
  EXPECT_NEAR(above2 / kPi, 1.0, 0.03);
  EXPECT_NEAR(above4 / (kPi / 4), 1.0, 0.03);
  EXPECT_GT(s.size(), 4000u);
}

// One threshold: no refinement, every base tile is final at level 1 and, with Ntarget 0,
// gets its one sample carrying the whole tile.
TEST_F(MagCsecTest, OneThresholdKeepsTheBaseGrid) {
  csec("one", {"-1.5", "1.5", "20", "-1.5", "1.5", "20", "2", "6", "1", "0"});
  const auto s = area("one");
  ASSERT_EQ(s.size(), 361u);
  for (const Sample& p : s) {
    EXPECT_EQ(p.level, 1);
    EXPECT_NEAR(p.area, (3.0 / 19) * (3.0 / 19), 1e-8);  // as printed
  }
  std::istringstream grid(dir.read("one-grid.dat"));
  int lines = 0;
  for (std::string l; std::getline(grid, l);) ++lines;
  EXPECT_EQ(lines, 361);
}

// The run draws from its own record started at -|seed|: a positive and a negative seed
// give the same file, and image searches in between (whose restarts draw too) change
// nothing.
TEST_F(MagCsecTest, RunsRepeatForTheSameSeed) {
  const std::vector<std::string> args = {"-1.5", "1.5", "8", "-1.5", "1.5", "8", "2", "6", "2", "300"};
  set("seed", 15);
  csec("a", args);
  int n;
  Mat list;
  find_img(n, list, 0.3, 0.1);
  set("seed", -15);
  csec("b", args);
  EXPECT_EQ(dir.read("a-area.dat"), dir.read("b-area.dat"));
  set("seed", 16);
  csec("c", args);
  EXPECT_NE(dir.read("a-area.dat"), dir.read("c-area.dat"));
}

// A lone final tile has no neighbours in rank: it weighs the floor and takes Ntarget + 1
// samples; with no spread and equal thresholds every weight is 0 and the samples are
// shared equally.
TEST_F(MagCsecTest, LoneTileAndZeroWeights) {
  csec("lone", {"0.2", "0.3", "2", "0.2", "0.3", "2", "2", "6", "1", "10"});
  auto s = area("lone");
  ASSERT_EQ(s.size(), 11u);
  double total = 0;
  for (const Sample& p : s) total += p.area;
  EXPECT_NEAR(total, 0.01, 1e-8);

  load({"alpha 0 0 0 0 0 0 0 0 0 1"});  // no lens: every magnification is 1
  csec("flat", {"2", "2.2", "3", "2", "2.2", "3", "3", "3", "1", "8"});
  s = area("flat");
  ASSERT_EQ(s.size(), 4u * 3);  // 4 tiles, 8/4 + 1 samples each
  for (const Sample& p : s) EXPECT_NEAR(p.area, 0.01 / 3, 1e-8);
}

TEST_F(MagCsecTest, ArgumentsThatCannotWorkAreRefused) {
  struct Case {
    std::vector<std::string> args;
    const char* message;
  };
  const Case cases[] = {
      {{"-1", "1", "1", "-1", "1", "5", "2", "6", "2", "10"}, "magcrosssec: the u grid needs at least 2 steps (1)"},
      {{"-1", "1", "5", "-1", "1", "1.5", "2", "6", "2", "10"}, "magcrosssec: the v grid needs at least 2 steps (1.5)"},
      {{"-1", "1", "5", "-1", "1", "5", "2", "6", "2", "-1"}, "magcrosssec: Ntarget must not be negative (-1)"},
      {{"-1", "1", "5", "-1", "1", "5", "2", "nan", "2", "10"}, "magcrosssec: nan is not a finite number"},
  };
  for (const Case& c : cases) EXPECT_EQ(fatal_message([&] { csec("x", c.args); }), c.message);
  quietflag = 0;
  for (const char* nmu : {"-2", "0"}) {
    const std::string out = run(magcrosssec, {"magcrosssec", dir.file("x"), "-1", "1", "5", "-1", "1", "5", "0",
                                              "6", nmu, "10"});
    EXPECT_NE(out.find("WARNING:"), std::string::npos) << nmu;
  }
  quietflag = 1;
  EXPECT_FALSE(dir.exists("x-map.dat"));
}
