// The scans through the library: the start-model predictors, the walk of a profile, the
// ordering of the model set for the h scan, and the refusals of bad scan set-ups.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "fit/constraints.h"
#include "fit/fit_fixture.h"
#include "fit/scans.h"
#include "imageplane/source_models.h"
#include "numeric/interp.h"

namespace {

// A quadratic chi-squared in b, x and y: limits on all three and a soft tie x = y.
const char* kLimits = "3\n1 1 1 0.05\n1 2 0.1 0.1\n1 3 -0.1 0.1\n";
const char* kTie = "1\n1 2 1 3 1 0.05\n";

class ScansTest : public FitTest {
 protected:
  void SetUp() override {
    FitTest::SetUp();
    set("chimode", 0);
    set("tempfiles", 0);
    set("ftol", 1e-8);
  }
  // The quadratic problem: model b 1 at (x0, 0), b, x and y varied.
  void quadratic(double x0 = 0) {
    load_model("alpha 1 " + std::to_string(x0) + " 0 0 0 0 0 0 0 1\n", "1 1 1 0 0 0 0 0 0 0\n");
    dir.write("lim.dat", kLimits);
    dir.write("tie.dat", kTie);
    run_handler(plimits, cmd({"plimits", "reset"}));
    run_handler(pmatch, cmd({"pmatch", "reset"}));
    run_handler(plimits, cmd({"plimits", dir.file("lim.dat")}));
    run_handler(pmatch, cmd({"pmatch", dir.file("tie.dat")}));
  }
  // The step numbers of the "Running" lines that varyone prints, in order.
  std::vector<int> walk(const WordArray& words) {
    std::vector<int> steps;
    for (const auto& p : walk2(words, varyone)) steps.push_back(p.first);
    return steps;
  }
  // The (i, j) of the "Running" lines of a scan command (j 0 for a profile); notes counts
  // the "Note:" lines on starting points.
  std::vector<std::pair<int, int>> walk2(const WordArray& words, void (*command)(const WordArray&),
                                         int* notes = nullptr) {
    quietflag = 0;
    set("verbose", 2);
    CaptureOutput out;
    command(words);
    quietflag = 1;
    std::vector<std::pair<int, int>> steps;
    std::istringstream in(out.text());
    std::string line;
    if (notes) *notes = 0;
    while (std::getline(in, line)) {
      if (notes && line.rfind("Note: starting from", 0) == 0) ++*notes;
      if (line.rfind("Running ", 0) != 0) continue;
      int i = 0, j = 0;
      double x;
      std::sscanf(line.c_str(), "Running %d %le %d", &i, &x, &j);
      steps.emplace_back(i, j);
    }
    return steps;
  }
  Mat model(std::initializer_list<double> rows) {
    Mat m(1, TWgal.NGALMAX, 1, 10);
    int i = 1;
    for (double v : rows) {
      for (int k = 1; k <= 10; ++k) m[i][k] = v + k;
      ++i;
    }
    return m;
  }
};

TEST_F(ScansTest, ExtrapolationWeightsFollowTheScannedParameter) {
  load_model("alpha 1 0 0 0 0 0 0 0 0 1\nalpha 1 0 0 0 0 0 0 0 0 1\n",
             "1 1 1 0 0 0 0 0 0 0\n0 0 0 0 0 0 0 0 0 0\n", 2);
  // Anchors P1 (rows 10 + k) and P2 (rows 20 + k): the scanned parameter (1, 2) is 12 in
  // P1 and 22 in P2 unless a case moves it.
  struct Case {
    double a, c, x, d;
  } cases[] = {
      {12, 22, 17, 0.5},       // between the anchors
      {12, 22, 2, -1.0},       // beyond P1: the downward pass
      {12, 12.005, 30, 0.0},   // anchors closer than 0.01: no extrapolation
      {0, 0.01, 0.02, 2.0},    // a gap of exactly 0.01 extrapolates
  };
  for (const Case& t : cases) {
    Mat P1 = model({10, 30}), P2 = model({20, 40});
    P1[1][2] = t.a;
    P2[1][2] = t.c;
    Mat out(1, 3, 1, 10);
    out.fill(99);
    extrap(P1, P2, 1, 2, out, t.x);
    for (int i = 1; i <= 2; ++i)
      for (int k = 1; k <= 10; ++k) {
        if (i == 1 && k == 2) continue;
        EXPECT_NEAR(out[i][k], (1 - t.d) * P1[i][k] + t.d * P2[i][k], 1e-9) << t.x << " " << i << " " << k;
      }
    EXPECT_EQ(out[1][2], t.x);
    for (int k = 1; k <= 10; ++k) EXPECT_EQ(out[3][k], 0) << "rows beyond the model are cleared";
  }
  // extraph: only the varied parameters move; the fixed ones come from model 1 of the set.
  const Mat P1 = model({10, 30}), P2 = model({20, 40});
  struct HCase {
    double a, c, x, e;
  } hcases[] = {{0.6, 0.7, 0.8, 2.0}, {0.7, 0.6, 0.5, 2.0}, {0.7, 0.705, 0.9, 0.0}};
  for (const HCase& t : hcases) {
    Mat out(1, 2, 1, 10);
    extraph(P1, P2, out, t.a, t.c, t.x);
    for (int i = 1; i <= 2; ++i)
      for (int k = 1; k <= 10; ++k) {
        const double want = TWref.refv[i][k] ? (1 - t.e) * P1[i][k] + t.e * P2[i][k] : TWref.ref[1].p[i][k];
        EXPECT_NEAR(out[i][k], want, 1e-9) << t.x << " " << i << " " << k;
      }
  }
}

TEST_F(ScansTest, NearestStepAndLogarithmicRanges) {
  Vec v(1, 5);
  for (int i = 1; i <= 5; ++i) v[i] = setparm(5, i, -0.2, 0.2);
  EXPECT_EQ(nearest_step(v, 5, 0.0), 3);
  EXPECT_EQ(nearest_step(v, 5, 0.05), 3) << "equal distances: the first step wins";
  EXPECT_EQ(nearest_step(v, 5, 7.0), 5);
  EXPECT_EQ(nearest_step(v, 5, -7.0), 1);
  EXPECT_EQ(nearest_step(v, 1, 7.0), 1);
  struct Case {
    long steps;
    double lo, hi;
    bool refused;
  } cases[] = {{-3, 1, 100, false}, {-3, -1, -100, false}, {3, 0, -1, false}, {-3, 0, 1, true},
               {-3, 1, 0, true},    {-3, -1, 1, true},     {-3, 1, -1, true}};
  for (const Case& c : cases)
    EXPECT_EQ(scan_log_range_refused(c.steps, c.lo, c.hi), c.refused) << c.steps << " " << c.lo << " " << c.hi;
}

TEST_F(ScansTest, ProfileWalksUpFromTheNearestStepThenDown) {
  struct Case {
    double x0;
    std::string steps;
    std::vector<int> order;
  } cases[] = {
      {0.0, "5", {3, 4, 5, 2, 1}},
      {0.35, "5", {5, 4, 3, 2, 1}},  // beyond hi: the whole scan runs downward
      {-9, "5", {1, 2, 3, 4, 5}},
      {0.0, "1", {1}},
  };
  for (const Case& c : cases) {
    quadratic(c.x0);
    EXPECT_EQ(walk(cmd({"varyone", "1", "2", "-0.2", "0.2", c.steps, dir.file("w")})), c.order) << c.x0;
  }
}

TEST_F(ScansTest, MapWalksTheRowOfTheNearestPointThenEveryColumn) {
  using Walk = std::vector<std::pair<int, int>>;
  struct Case {
    double x0;
    std::string steps, flag;
    Walk order;
  } cases[] = {
      {0.0, "3", "1", {{2, 2}, {3, 2}, {1, 2}, {1, 3}, {1, 1}, {2, 3}, {2, 1}, {3, 3}, {3, 1}}},
      // At a corner every pass runs one way.
      {-0.1, "3", "1", {{1, 1}, {2, 1}, {3, 1}, {1, 2}, {1, 3}, {2, 2}, {2, 3}, {3, 2}, {3, 3}}},
      {0.0, "1", "1", {{1, 1}}},
      {0.0, "3", "0", {{2, 2}, {3, 2}, {1, 2}, {1, 3}, {1, 1}, {2, 3}, {2, 1}, {3, 3}, {3, 1}}},
  };
  for (const Case& c : cases) {
    // The model at (x0, x0).
    quadratic(c.x0);
    TWref.ref[1].p[1][3] = c.x0;
    int notes = 0;
    const Walk got = walk2(cmd({"varytwo", "1", "2", "-0.1", "0.1", c.steps, "1", "3", "-0.1", "0.1", c.steps,
                                dir.file("m"), c.flag}),
                           varytwo, &notes);
    EXPECT_EQ(got, c.order) << c.x0 << " " << c.steps;
    // Starting from the reference model is noted at every point.
    EXPECT_EQ(notes, c.flag == "0" ? static_cast<int>(c.order.size()) : 0);
    EXPECT_EQ(varytwo_jsteps, std::stoi(c.steps));
  }
}

TEST_F(ScansTest, EveryProfileStepIsTheConstrainedOptimum) {
  // Two anchors of a scan step are exact points of the straight valley y = 0.8 x - 0.02,
  // so an extrapolated start lies on it; each step must land there whatever its start.
  for (const char* flag : {"0", "1", "2"}) {
    quadratic();
    run_handler(varyone, cmd({"varyone", "1", "2", "-0.2", "0.2", "5", dir.file("p"), flag}));
    std::istringstream chi(dir.read("p.chi"));
    std::string line;
    std::getline(chi, line);
    const double want[] = {9.8, 4.0, 1.8, 3.2, 8.2};
    for (int i = 0; i < 5; ++i) {
      double x = 0, tot = 0;
      chi >> x >> tot;
      std::getline(chi, line);
      EXPECT_NEAR(x, -0.2 + 0.1 * i, 1e-12) << flag;
      EXPECT_NEAR(tot, want[i], 1e-4) << flag << " step " << i + 1;
    }
  }
  // The scan leaves the model set as it was.
  EXPECT_EQ(TWref.ref[1].p[1][2], 0);
  EXPECT_EQ(TWref.ref[1].p[1][3], 0);
}

TEST_F(ScansTest, AnInvalidExtrapolationFlagEndsTheScanAtItsFirstExtrapolatedStep) {
  quadratic();
  std::vector<int> seen;
  const std::string msg = fatal_message([&] {
    seen = walk(cmd({"varyone", "1", "2", "-0.2", "0.2", "5", dir.file("p"), "3"}));
  });
  EXPECT_EQ(msg, "unknown value of extrapflag");
  // The start step x = 0 has P1 = P2; the next has anchors at x = 0 (the fit and the
  // model set) and does not extrapolate either: the file holds both.
  const std::string chi = dir.read("p.chi");
  EXPECT_EQ(std::count(chi.begin(), chi.end(), '\n'), 3);
}

TEST_F(ScansTest, SorthOrdersTheModelSetInItsOwnStore) {
  // Two models: model 2 is the quadoff lens itself.
  dir.write("set.dat",
            "1 2\nalpha 1.3 0 0 0 0 0.1 0 0 0 1\nalpha 1 0 0 0 0 0.1 0 0 0 1\n0 1 1 0 0 0 0 0 0 0\n");
  run_handler(setlens, cmd({"setlens", dir.file("set.dat")}));
  load_quadoff();
  TWsrc.srcvary[1][1] = 0;  // the flux term asks the store whether the flux is varied
  const Mat src = TWsrc.srcparms;
  BVec<Mat> out(1, 2);
  for (int m = 1; m <= 2; ++m) out[m].reset(1, TWgal.NGALMAX, 1, 10);
  sorth(out);
  EXPECT_EQ(out[1][1][1], 1.0);
  EXPECT_EQ(out[2][1][1], 1.3);
  EXPECT_FALSE(TSstore.built);
  for (int k = 1; k <= 8; ++k) EXPECT_EQ(TWsrc.srcparms[1][k], src[1][k]) << k;
}

TEST_F(ScansTest, RefusalsComeBeforeAnyFileOrFit) {
  quadratic();
  const std::string p = dir.file("r");
  struct Case {
    std::vector<std::string> words;
    std::string message;
  } fatal_cases[] = {
      {{"varyone", "2", "2", "-0.2", "0.2", "5", p}, "in varyone, igal 2 is not a component of the model (1 to 1)"},
      {{"varyone", "1", "11", "-0.2", "0.2", "5", p}, "in varyone, iparm 11 is not a parameter index (1 to 10)"},
      {{"varytwo", "1", "2", "-0.1", "0.1", "3", "0", "3", "-0.1", "0.1", "3", p},
       "in varytwo, jgal 0 is not a component of the model (1 to 1)"},
      {{"varytwo", "1", "0", "-0.1", "0.1", "3", "1", "3", "-0.1", "0.1", "3", p},
       "in varytwo, iparm 0 is not a parameter index (1 to 10)"},
      {{"varyh", "0.5", "0.9", "5", p}, "varyh needs observed lens data (h comes from the fit of the time delays)"},
      // Bounds that are not finite numbers would be fitted and written as nan steps.
      {{"varyone", "1", "2", "nan", "0.2", "5", p}, "varyone: nan is not a finite number"},
      {{"varytwo", "1", "2", "-0.1", "0.1", "3", "1", "3", "-0.1", "inf", "3", p}, "varytwo: inf is not a finite number"},
      {{"varyh", "0.5", "nan", "5", p}, "varyh: nan is not a finite number"},
  };
  for (const Case& c : fatal_cases) {
    EXPECT_EQ(fatal_message([&] {
                if (c.words[0] == "varyone")
                  run_handler(varyone, WordArray(c.words));
                else if (c.words[0] == "varytwo")
                  run_handler(varytwo, WordArray(c.words));
                else
                  run_handler(varyh, WordArray(c.words));
              }),
              c.message);
    EXPECT_FALSE(dir.exists("r.chi")) << c.message;
  }
  // Logarithmic steps over a range through or at 0 warn and do nothing more.
  const std::string warn = "WARNING: logarithmic steps need lo and hi of the same sign, both nonzero\n";
  const std::vector<std::vector<std::string>> warned = {
      {"varyone", "1", "2", "0", "0.2", "-5", p},
      {"varyone", "1", "2", "-0.1", "0.2", "-5", p},
      {"varytwo", "1", "2", "0.1", "0.2", "3", "1", "3", "0.1", "0", "-3", p},
      {"varyh", "0", "0.9", "-5", p},
  };
  load_quadoff();
  for (const auto& w : warned) {
    CaptureOutput out;
    if (w[0] == "varyone")
      run_handler(varyone, WordArray(w));
    else if (w[0] == "varytwo")
      run_handler(varytwo, WordArray(w));
    else
      run_handler(varyh, WordArray(w));
    EXPECT_EQ(out.text(), warn) << w[0];
    EXPECT_FALSE(dir.exists("r.chi"));
  }
}

TEST_F(ScansTest, ModelgridRefusesSlotsItCannotScan) {
  quadratic();
  struct Case {
    std::string ndim, lines, message;
  } cases[] = {
      {"10", "", "in modelgrid, cannot handle that many dimensions"},
      {"2", "1 2 0 1 3\n1 3 0 1\n", "too few modelgrid entries"},
      {"2", "1 2 0 1 3\n1 3 0 1 0\n", "modelgrid slot 2 has 0 steps"},
      {"1", "1 2 -1 1 -3\n", "logarithmic steps need lo and hi of the same sign, both nonzero"},
      {"1", "2 2 0 1 3\n", "in modelgrid, kgal 2 is not a component of the model (1 to 1)"},
      {"1", "1 0 0 1 3\n", "in modelgrid, kparm 0 is not a parameter index (1 to 10)"},
      {"1", "1 2 0 nan 3\n", "modelgrid: nan is not a finite number"},
      {"3", "1 2 0 1 2000\n1 3 0 1 2000\n0 0 0 0 2000\n", "in modelgrid, cannot store a grid of 8000000000 points"},
      // Within the int range, beyond any machine's memory.
      {"2", "1 2 0 1 40000\n1 3 0 1 40000\n", "in modelgrid, cannot store a grid of 1600000000 points"},
  };
  for (const Case& c : cases) {
    CommandInput in(c.lines);
    EXPECT_EQ(fatal_message([&] { run_handler(modelgrid, cmd({"modelgrid", c.ndim, dir.file("g")})); }), c.message);
    EXPECT_FALSE(dir.exists("g.dat")) << c.message;
  }
}

TEST_F(ScansTest, ModelgridOfNoDimensionsFitsTheReferenceModelOnce) {
  quadratic();
  for (const char* ndim : {"0", "-2"}) {
    CommandInput in("");
    run_handler(modelgrid, cmd({"modelgrid", ndim, dir.file("g")}));
    const std::string dat = dir.read("g.dat");
    EXPECT_EQ(count_occurrences(dat, "LENS PARMS:"), 1) << ndim;
    EXPECT_NE(dat.find("CHISQ: 1.777778e+00"), std::string::npos) << dat;  // the optimum 16/9
    EXPECT_FALSE(dir.exists("g.chi"));
    EXPECT_EQ(count_occurrences(dir.read("g.startN"), "# chi="), 1);
  }
  // A slot of logarithmic steps takes the values 1, 10, 100; a slot without a component
  // repeats its points.
  CommandInput in("1 1 1 100 -3\n0 5 0 0 2\n");
  run_handler(modelgrid, cmd({"modelgrid", "2", dir.file("g")}));
  const std::string startN = dir.read("g.startN");
  EXPECT_EQ(count_occurrences(startN, "# chi="), 6);
  for (const char* b : {"alpha 1.000000e+00", "alpha 1.000000e+01", "alpha 1.000000e+02"})
    EXPECT_EQ(count_occurrences(startN, b), 2) << b;
}

}  // namespace
