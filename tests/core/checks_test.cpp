// Model checks: error bins, checkmod, checkder, ranpos, checkPder and checkmag.
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include "core/checks.h"
#include "core/model_fixture.h"
#include "models/component.h"
#include "models/evaluator.h"

namespace {

class ChecksTest : public ModelCommandTest {
 protected:
  // The 8 rows (bins 7 down to 0) of a histogram file, each the values after the label.
  std::vector<std::vector<double>> histogram(const std::string& name) {
    std::istringstream in(dir.read(name));
    std::string line;
    std::vector<std::vector<double>> rows;
    for (int k = 0; k < 4; ++k) std::getline(in, line);
    while (std::getline(in, line)) {
      std::istringstream l(line);
      std::string a, b;
      l >> a >> b;
      std::vector<double> v;
      for (double x; l >> x;) v.push_back(x);
      rows.push_back(v);
    }
    return rows;
  }
  // The data lines of a text table (comment lines skipped), as numbers.
  std::vector<std::vector<double>> table(const std::string& name) {
    std::istringstream in(dir.read(name));
    std::string line;
    std::vector<std::vector<double>> rows;
    while (std::getline(in, line)) {
      if (line.empty() || line[0] == '#') continue;
      std::istringstream l(line);
      std::vector<double> v;
      for (double x; l >> x;) v.push_back(x);
      rows.push_back(v);
    }
    return rows;
  }
};

}  // namespace

TEST(ErrorBin, NearPowersOfTenAndNonFiniteErrors) {
  struct Case {
    double err;
    int bin;
  };
  const double inf = std::numeric_limits<double>::infinity(), nan = std::nan("");
  const Case cases[] = {{0, 7},    {1e-9, 7}, {1e-7, 7}, {4e-7, 6},  {1e-6, 6}, {1e-3, 3},
                        {0.3, 1},  {0.32, 0}, {1, 0},    {1e30, 0},  {inf, 0},  {nan, 0}};
  for (const Case& c : cases) EXPECT_EQ(error_bin(c.err), c.bin) << c.err;
}

// Two equal models agree exactly: every error is raised to 1e-7 and counted in bin 7.
// Comparing with a different model 2 leaves model 1 loaded afterwards.
TEST_F(ChecksTest, CheckmodCountsErrorsAndLeavesModelOneLoaded) {
  load({"alpha 1 0.1 0 0.2 0 0 0 0.1 0 1", "alpha 1 0.1 0 0.2 0 0 0 0.1 0 1"}, 2);
  const std::string base = dir.file("cm");
  run(checkmod, {"checkmod", base, "0.1", "2", "50"});
  for (const char* f : {"cm.abs", "cm.rel"}) {
    const auto h = histogram(f);
    ASSERT_EQ(h.size(), 8u);
    for (double v : h[0]) EXPECT_DOUBLE_EQ(v, 1.0);
  }
  EXPECT_EQ(table("cm.dat").size(), 50u);

  load({"alpha 1 0.1 0 0.2 0 0 0 0.1 0 1", "nfw 2 0 0.3 0 0 0 0 1 0 0"}, 2);
  run(checkmod, {"checkmod", base, "0.1", "2", "20"});
  EXPECT_EQ(TWgal.name(1), "alpha");
  EXPECT_EQ(TWgal.p[1][2], 0.1);

  load({"alpha 1 0 0 0 0 0 0 0 0 1"});
  EXPECT_EQ(fatal_message([&] { run_handler(checkmod, cmd({"checkmod"})); }), "You must give two mass models.");
}

// With potflag 0 checkder compares four quantities while column 0 is still divided by
// N x 6, so it adds up to 4/6; a smooth model's derivatives agree to better than 1e-3.
TEST_F(ChecksTest, CheckderNormalisationAndAgreement) {
  load({"alpha 1 0 0 0.2 30 0 0 0.2 0 1"});
  const std::string base = dir.file("cd");
  run(checkder, {"checkder", base, "0.3", "2", "40"});
  double sum = 0;
  auto h = histogram("cd.rel");
  for (int b = 0; b < 8; ++b) sum += h[static_cast<size_t>(b)][0];
  EXPECT_NEAR(sum, 1.0, 1e-5);
  for (int b = 5; b < 8; ++b) EXPECT_EQ(h[static_cast<size_t>(b)][0], 0.0) << "bin " << 7 - b;

  set("potflag", 0);
  run(checkder, {"checkder", base, "0.3", "2", "40"});
  h = histogram("cd.rel");
  ASSERT_EQ(h[0].size(), 7u);  // column 0 and quantities 2..7
  sum = 0;
  for (const auto& row : h) sum += row[0];
  EXPECT_NEAR(sum, 4.0 / 6.0, 1e-5);
}

// A multi-plane model's potential is a delay only at an image: its differences are not
// the deflection (errors near 0.1 here), so checkder compares the second derivatives alone,
// says so, and finds them consistent with the differences of the deflection.
TEST_F(ChecksTest, CheckderOfAMultiPlaneModelLeavesThePotentialAlone) {
  set("zlens", 0.5);
  set("zsrc", 2);
  set("gridlo1", 0.05);
  {
    CommandInput in("alpha 1 0 0 0.2 10 0 0 0.1 0 1 0.5\nalpha 0.25 0.9 -0.6 0 0 0 0 0.05 0 1 0.3\n"
                    "0 0 0 0 0 0 0 0 0 0\n0 0 0 0 0 0 0 0 0 0\n");
    CaptureOutput quiet;
    run_handler(setlens, cmd({"setlens", "2", "1", "1"}));
  }
  ASSERT_NE(LOS.on, 0);
  const std::string out = run(checkder, {"checkder", dir.file("cd"), "0.2", "2", "100"});
  EXPECT_NE(out.find("WARNING: checkder: the potential of a multi-plane model is not differentiated"),
            std::string::npos);
  EXPECT_NE(dir.read("cd.dat").find("x y  (abserr, relerr) for: xx yy xy yx\n"), std::string::npos);
  const auto h = histogram("cd.abs");
  ASSERT_EQ(h[0].size(), 7u);
  double sum = 0;
  for (size_t b = 0; b < 8; ++b) {
    sum += h[b][0];
    // Bins 7 down to 0: nothing at 1e-3 or above.
    if (b >= 4) { EXPECT_EQ(h[b][0], 0.0) << "bin " << 7 - b; }
  }
  EXPECT_NEAR(sum, 4.0 / 6.0, 1e-5);
}

TEST_F(ChecksTest, SamplingRangesThatCannotWorkAreRefused) {
  load({"alpha 1 0 0 0 0 0 0 0.1 0 1", "alpha 1 0 0 0 0 0 0 0.1 0 1"}, 2);
  const std::string b = dir.file("x");
  struct Case {
    CommandHandler h;
    std::vector<std::string> words;
    const char* message;
  };
  const Case cases[] = {
      {checkder, {"checkder", b, "0.1", "1", "10", "0"}, "checkder: the step h must not be 0 (0)"},
      {checkder, {"checkder", b, "0.1", "1", "0"}, "checkder: Nsamp must be at least 1 (0)"},
      {checkmod, {"checkmod", b, "0", "0", "10"}, "checkmod: rmax must be positive (0)"},
      {checkmod, {"checkmod", b, "1", "1", "10"}, "checkmod: rmin must be below rmax (1)"},
      {checkder, {"checkder", b, "0.1", "inf", "10"}, "checkder: inf is not a finite number"},
  };
  for (const Case& c : cases) EXPECT_EQ(fatal_message([&] { run(c.h, c.words); }), c.message);
  EXPECT_FALSE(dir.exists("x.dat"));
}

// ranpos draws from the annulus about component 1: with rmin = rmax every point lies on
// the circle; relative values vanish at the centre's own deflection.
TEST_F(ChecksTest, RanposPointsLieInTheAnnulus) {
  load({"alpha 1 0.3 -0.2 0 0 0 0 0.1 0 1"});
  run(ranpos, {"ranpos", dir.file("r.dat"), "1", "1", "5"});
  const auto pts = table("r.dat");
  ASSERT_EQ(pts.size(), 5u);
  for (const auto& p : pts) EXPECT_NEAR(std::hypot(p[0] - 0.3, p[1] + 0.2), 1.0, 1e-6);
  run(ranpos, {"ranpos", dir.file("r.dat"), "0.5", "2", "10", "1"});
  for (const auto& p : table("r.dat")) {
    const double r = std::hypot(p[0] - 0.3, p[1] + 0.2);
    EXPECT_GE(r, 0.5 - 1e-6);
    EXPECT_LE(r, 2 + 1e-6);
  }
}

TEST_F(ChecksTest, CheckPderEndsWithTheEvaluatorsRefusal) {
  load({"alpha 1 0 0 0 0 0 0 0.1 0 1"});
  EXPECT_EQ(fatal_message([&] { run(checkPder, {"checkPder", "1", "0", "0.01"}); }),
            "parameter derivatives have been deactivated");
}

// Point mass with shear 0.1 along x: the cusp at 2 gamma b / sqrt(1 + gamma); four images
// inside it and two outside, with total magnifications as in the closed forms.
TEST_F(ChecksTest, CheckmagMatchesTheClosedFormsNearTheCusp) {
  set("gridflag", 1);
  set("gridlo1", 0.05);
  load({"ptmass 1 0 0 0 0 0.1 0 0 0 0"});
  const std::string out = run(checkmag, {"checkmag", dir.file("m.dat"), "0.01", "0.1", "-3"});
  EXPECT_EQ(out.find("WARNING"), std::string::npos) << out;
  std::istringstream in(dir.read("m.dat"));
  double uc;
  in >> uc;
  EXPECT_NEAR(uc, 0.2 / std::sqrt(1.1), 1e-7);
  auto rows = table("m.dat");
  rows.erase(rows.begin());  // the cusp line
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_NEAR(rows[1][0], 0.01 * std::sqrt(10.0), 1e-7);  // geometric steps
  EXPECT_EQ(rows[0][1], 4);
  EXPECT_NEAR(rows[0][2], 90.02244, 1e-4);
  EXPECT_EQ(rows[0][5], 2);
  EXPECT_NEAR(rows[0][6], 44.52889, 1e-4);
  for (const auto& r : rows) {
    EXPECT_LT(std::fabs(r[4]), 1e-5);
    EXPECT_LT(std::fabs(r[8]), 1e-5);
  }
}

// Isothermal sphere (core 1e-4) with shear 0.1: the cusp at 2 gamma b / (1 + gamma); the
// core keeps the totals within 0.3% of the singular sphere's for du >= 0.01.
TEST_F(ChecksTest, CheckmagOfTheIsothermalSphere) {
  set("gridflag", 1);
  set("omitcore", 1e-4);
  load({"alpha 1 0 0 0 0 0.1 0 0 0 1"});
  const std::string out = run(checkmag, {"checkmag", dir.file("m.dat"), "0.01", "0.1", "-5"});
  EXPECT_EQ(out.find("WARNING"), std::string::npos) << out;
  auto rows = table("m.dat");
  EXPECT_NEAR(rows[0][0], 0.2 / 1.1, 1e-7);
  rows.erase(rows.begin());
  ASSERT_EQ(rows.size(), 5u);
  for (const auto& r : rows) {
    EXPECT_EQ(r[1], 4);
    EXPECT_EQ(r[5], 2);
    EXPECT_LT(std::fabs(r[4]), 3e-3) << r[0];
    EXPECT_LT(std::fabs(r[8]), 3e-3) << r[0];
  }
}

TEST_F(ChecksTest, CheckmagSaysWhenItsClosedFormsDoNotApply) {
  set("gridflag", 1);
  set("gridlo1", 0.05);
  load({"ptmass 1 0 0 0 0 0.1 30 0 0 0"});
  const std::string out = run(checkmag, {"checkmag", dir.file("m.dat"), "0.01", "0.1", "2"});
  EXPECT_NE(out.find("WARNING: checkmag assumes one round component at the origin with shear along the x axis; "
                     "the analytic values do not apply"),
            std::string::npos);
  EXPECT_EQ(table("m.dat").size(), 3u);  // the cusp line and two steps

  const std::string warned = run(checkmag, {"checkmag", dir.file("m.dat"), "0", "0.1", "-2"});
  EXPECT_NE(warned.find("WARNING: cannot use logarithmic spacing"), std::string::npos);

  load({"nfw 1 0 0 0 0 0.1 0 1 0 0"});
  EXPECT_EQ(fatal_message([&] { run(checkmag, {"checkmag", dir.file("m.dat"), "0.01", "0.1", "2"}); }),
            "checkmag not implemented for model 'nfw'.");
}
