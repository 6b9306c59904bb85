// The test term: its value against the closed form, its minimum, its set-up errors, the
// handling of a lognormal factor beyond its support, and the random draws.
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <string>
#include <vector>

#include "fit/chitest.h"
#include "fit/term_fixture.h"
#include "core/sources.h"
#include "shell/settings.h"

namespace {

constexpr double kSqrt2Pi = 2.50662827463100050242;
// b 1, x 0.1, core 0.3; b, x and core varied.
const char* kModel = "alpha 1 0.1 0 0 0 0 0 0.3 0 1";
const char* kVary = "1 1 0 0 0 0 0 1 0 0";

class ChitestTest : public TermTest {
 protected:
  void on(const std::string& dispersions, std::vector<std::string> extra = {}) {
    CommandInput in(dispersions + "\n");
    std::vector<std::string> w = {"chitest", "on"};
    w.insert(w.end(), extra.begin(), extra.end());
    run_handler(chitest, cmd(w));
  }
  // The term at model 1 with parameters 1, 2 and 8 replaced.
  double at(double b, double x, double core, bool start = false) {
    Mat p = TWref.ref[1].p;
    p[1][1] = b;
    p[1][2] = x;
    p[1][8] = core;
    return chitest_value(p, start);
  }
};

}  // namespace

// Gaussian factors for b and x, a lognormal one for the core: at the centre the term is
// the sum of the normalisations, sum 2 ln(sig sqrt(2 pi)) with |sig| mu for the lognormal.
// Its minimum lies at the lognormal's mode, core 0.3 e^-sig^2, lower by 0.5 - 0.25. The
// coordinates come through the vary flags of `chitest on`, so changing them later
// (changevary 0) changes nothing.
TEST_F(ChitestTest, ValueAndMinimum) {
  lens(kModel, kVary);
  on("0.1 0.05 -0.5");
  ASSERT_EQ(TWchitest.chitestN, 3);
  const double centre = 2 * std::log(0.1 * kSqrt2Pi) + 2 * std::log(0.05 * kSqrt2Pi) + 2 * std::log(0.5 * 0.3 * kSqrt2Pi);
  EXPECT_NEAR(centre, -8.877244, 1e-6);
  EXPECT_NEAR(chitest_value(TWref.ref[1].p, true), centre, 1e-12);
  run_handler(changevary, cmd({"changevary", "0"}));
  EXPECT_NEAR(chitest_value(TWref.ref[1].p, true), centre, 1e-12);

  const double mode = 0.3 * std::exp(-0.25), best = at(1, 0.1, mode);
  EXPECT_NEAR(mode, 0.233640, 1e-6);
  EXPECT_NEAR(best, centre - 0.25, 1e-12);
  for (double h : {1e-3, -1e-3}) {
    EXPECT_GT(at(1 + h, 0.1, mode), best);
    EXPECT_GT(at(1, 0.1 + h, mode), best);
    EXPECT_GT(at(1, 0.1, mode * (1 + h)), best);
  }
  // A Gaussian factor one sigma off costs exactly 1.
  EXPECT_NEAR(at(1.1, 0.1, mode) - best, 1.0, 1e-12);
}

// A lognormal factor whose ratio y/mu is not positive: the user's start model ends with the
// error, a proposed model is rejected by (1 + (y/mu)^2) 1e8 in place of that factor.
TEST_F(ChitestTest, LognormalBeyondItsSupport) {
  lens(kModel, kVary);
  on("0.1 0.05 -0.5");
  for (double core : {0.0, -0.6}) {
    EXPECT_EQ(fatal_message([&] { at(1, 0.1, core, true); }), "negative ratio in chitest");
    const double r = core / 0.3;
    const double gauss = 2 * std::log(0.1 * kSqrt2Pi) + 2 * std::log(0.05 * kSqrt2Pi);
    EXPECT_NEAR(at(1, 0.1, core), gauss + (1 + r * r) * 1e8, 1e-4);
  }
}

// Set-up errors: a short dispersion line, a zero dispersion, a lognormal factor centred on
// 0; no varied parameter gives a warning and a term that adds nothing.
TEST_F(ChitestTest, SetUpErrors) {
  struct Case { const char* component; const char* dispersions; const char* message; };
  const Case cases[] = {
      {kModel, "0.1 0.05", "chitest needs 3 dispersions, the line has 2"},
      {kModel, "0.1 0 -0.5", "cannot have a dispersion of zero along a principal axis in chitest"},
      {kModel, "0.1 abc -0.5", "chitest needs 3 dispersions, the line has 2"},
      {kModel, "", "chitest needs 3 dispersions, the line has 0"},
      {"alpha 1 0 0 0 0 0 0 0.3 0 1", "0.1 -0.05 -0.5", "lognormal factor 2 needs a nonzero centre"},
  };
  for (const Case& c : cases) {
    lens(c.component, kVary);
    EXPECT_EQ(fatal_message([&] { on(c.dispersions); }), c.message) << c.dispersions;
  }
  // A draw file that cannot be written whole is an error, not a short file.
  if (std::ifstream("/dev/full")) {
    lens(kModel, kVary);
    EXPECT_EQ(fatal_message([&] { on("0.1 0.05 -0.5", {"0", "2000", "/dev/full"}); }),
              "could not write /dev/full: No space left on device");
  }
  lens(kModel);
  CaptureOutput out;
  quietflag = 0;
  on("");
  quietflag = 1;
  EXPECT_NE(out.text().find("WARNING: chitest is meaningless when no parameters vary"), std::string::npos);
  EXPECT_EQ(chitest_value(TWref.ref[1].p, true), 0.0);
  run_handler(chitest, cmd({"chitest", "off"}));
  EXPECT_EQ(TWchitest.chitestN, 0);
}

// Draws from the joint likelihood in a rotated frame: every row satisfies y = S x; the
// Gaussian axes have mean mu and dispersion sig, the lognormal one ln(y/mu) mean 0 and
// dispersion |sig| (within four standard errors); and the command repeats its draws
// exactly, for a positive seed too.
TEST_F(ChitestTest, RandomDraws) {
  lens(kModel, kVary);
  for (const char* seed : {"-15", "7"}) {
    SetVar("seed", 0, std::stod(seed));
    on("0.1 0.05 -0.5", {"1", "2000", "d1.dat"});
    on("0.1 0.05 -0.5", {"1", "2000", "d2.dat"});
    const std::string d1 = dir.read("d1.dat");
    EXPECT_EQ(d1, dir.read("d2.dat")) << seed;
    EXPECT_EQ(d1.substr(0, d1.find('\n')), " # Columns 1-3: standard coordinate frame");
    const ChiTestState& t = TWchitest;
    const auto rows = table_rows(d1);
    ASSERT_EQ(rows.size(), 2000u);
    double sum[4] = {}, sq[4] = {};
    for (const auto& r : rows) {
      ASSERT_EQ(r.size(), 6u);
      for (int a = 1; a <= 3; ++a) {
        double y = 0;
        for (int b = 1; b <= 3; ++b) y += t.chitestS[a][b] * r[b - 1];
        EXPECT_NEAR(y, r[2 + a], 1e-5);
        const double u = a == 3 ? std::log(r[2 + a] / t.chitestMU[a]) : r[2 + a] - t.chitestMU[a];
        sum[a] += u;
        sq[a] += u * u;
      }
    }
    for (int a = 1; a <= 3; ++a) {
      const double sig = std::fabs(t.chitestSIG[a]), mean = sum[a] / 2000, sd = std::sqrt(sq[a] / 2000 - mean * mean);
      EXPECT_NEAR(mean, 0.0, 4 * sig / std::sqrt(2000.0));
      EXPECT_NEAR(sd, sig, 4 * sig / std::sqrt(4000.0));
    }
  }
}

// In the chi-squared: the user's start model scores slot 5 = -8.877244 (the fit itself is
// checked through optimize end to end). A start model beyond the lognormal's support ends
// with the error; the same model proposed in a fit scores the penalty in place of that
// factor, counts as rejected, and the run goes on.
TEST_F(ChitestTest, InTheChiSquared) {
  lens(kModel, kVary);
  on("0.1 0.05 -0.5");
  EXPECT_NEAR(score(true), -8.877244, 1e-6);
  EXPECT_NEAR(TSstore.chi[kChiPlim], -8.877244, 1e-6);

  set_parameter(8, 0.0);
  EXPECT_EQ(fatal_message([&] { score(true); }), "negative ratio in chitest");
  const double gauss = 2 * std::log(0.1 * kSqrt2Pi) + 2 * std::log(0.05 * kSqrt2Pi);
  EXPECT_NEAR(score(), 1e8 + gauss, 1e-6);
  EXPECT_TRUE(TWchitest.rejected);
  set_parameter(8, 0.3);
  score();
  EXPECT_FALSE(TWchitest.rejected);
}
