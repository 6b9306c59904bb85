// Fits from the starts users give them, run as a user runs them: random starts near the
// fold of the position angles, a fit with nothing to improve, a start model with an image
// on the wrong side of its critical curve, and warnings that repeat inside one fit.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "support/test_support.h"

namespace {

void copy_quadoff(const ScratchDir& d) {
  std::ifstream in(source_path("examples/quadoff.dat"));
  std::ofstream(d.file("quadoff.dat")) << in.rdbuf();
}

// The four images of "alpha 1 0 0 0.3 90 0.08 25 0 0 1" (an ellipsoid at 90 degrees with
// shear) for the source (0.03, 0.02), as findimg gives them; position errors of 3 mas.
const char* const kQuad90 =
    "1\n0 0 0.003\n1 1\n0 1\n0 1\n1\n4\n"
    "5.622204e-01 9.658261e-01 5.287174 0.003 0.5 0 0\n"
    "-2.838765e-01 -9.951404e-01 7.492961 0.003 0.5 0 0\n"
    "8.657446e-01 -4.698858e-01 -6.322818 0.003 0.5 0 0\n"
    "-9.492642e-01 1.743608e-01 -4.353942 0.003 0.5 0 0\n";

// The same lens turned to 120 degrees (written -60 with the default folding), same source.
const char* const kQuad120 =
    "1\n0 0 0.003\n1 1\n0 1\n0 1\n1\n4\n"
    "9.770032e-01 -3.949429e-01 13.04200 0.003 0.5 0 0\n"
    "-1.434723e-01 1.004800e+00 18.93243 0.003 0.5 0 0\n"
    "8.136684e-01 7.025888e-01 -17.81429 0.003 0.5 0 0\n"
    "-8.082222e-01 -5.903604e-01 -7.125421 0.003 0.5 0 0\n";

// The "Optimization 1/1: N func evals, chisq X" lines of a run: (N, X as printed).
std::vector<std::pair<int, std::string>> optimizations(const std::string& out) {
  std::vector<std::pair<int, std::string>> rows;
  const std::regex line("Optimization 1/1: +([0-9]+) func evals, chisq (\\S+)");
  for (std::sregex_iterator it(out.begin(), out.end(), line), end; it != end; ++it)
    rows.emplace_back(std::stoi((*it)[1]), (*it)[2]);
  return rows;
}

// The ten parameters of the first component line of a model file.
std::vector<double> first_component(const std::string& text) {
  std::istringstream in(text);
  std::string head, cls;
  std::getline(in, head);
  in >> cls;
  std::vector<double> p(10);
  for (double& v : p) in >> v;
  return p;
}

}  // namespace

// The two-stage fit (source plane without the parity check, then the image plane) of an
// isothermal ellipsoid with shear, 7 lens parameters and the source, from starts whose
// angles sit at the fold: the optimiser moves through continuous angles, so PAwrap changes
// only what is written, and every start reaches the optimum (chi^2 ~ 1e-4).
TEST(FitStartsE2E, RandomStartsAtTheAngleFoldReachTheOptimum) {
  const char* starts[] = {"0.9 0.02 -0.02 0.1 30 0.05 90", "1.1 -0.03 0.01 0.2 -60 0.15 88",
                          "0.95 0.01 0.03 0.05 89 0.1 -89"};
  for (const char* st : starts) {
    std::vector<std::pair<int, std::string>> first_stage;
    for (int pawrap : {1, 0}) {
      ScratchDir d;
      copy_quadoff(d);
      d.write("s.dat", std::string("1 1\nalpha ") + st + " 0 0 1\n1 1 1 1 1 1 1 0 0 0\n");
      const RunResult r = run_tarnsolve(
          d.path(), {},
          "set PAwrap " + std::to_string(pawrap) +
              "\nset tempfiles 0\nset verbose 2\nset checkparity 0\nset chimode 0\nset gridflag 0\n"
              "data quadoff.dat\nsetlens s.dat\noptimize a\n"
              "set checkparity 1\nset chimode 1\nset omitcore 0.05\nsetlens a.start\noptimize b\n");
      ASSERT_EQ(r.status, 0) << r.out;
      const auto opt = optimizations(r.out);
      ASSERT_EQ(opt.size(), 2u) << r.out;
      EXPECT_EQ(r.out.find("NMAX exceeded"), std::string::npos) << st;
      EXPECT_LT(std::atof(opt[1].second.c_str()), 1e-3) << st << " PAwrap " << pawrap;
      const std::vector<double> p = first_component(d.read("b.start"));
      EXPECT_NEAR(p[0], 1.0, 1e-4) << st;
      EXPECT_NEAR(p[5], 0.1, 1e-4) << st;
      if (pawrap == 1) {
        // Written models keep the folded angles.
        EXPECT_LE(std::fabs(p[4]), 90.0) << st;
        EXPECT_LE(std::fabs(p[6]), 90.0) << st;
        first_stage.push_back(opt[0]);
      } else {
        // The first stage starts from the same model either way: the same path and result.
        EXPECT_EQ(opt[0], first_stage.at(0)) << st;
      }
    }
  }
}

// A fit that cannot improve on its start (no data: chi^2 0 everywhere; or every trial
// failing the parity check) writes its start model, byte for byte, however often it runs.
TEST(FitStartsE2E, FitWithNothingToImproveWritesItsStartModel) {
  const std::string start =
      "1 1\n"
      "   alpha 1.000000e+00 0.0 0.0 5.000000e-02 6.000000e+01 1.000000e-01 3.000000e+01 0.0 0.0 1.000000e+00\n"
      " 1 1 1 1 1 1 1 0 0 0\n";
  ScratchDir d;
  copy_quadoff(d);
  d.write("start.dat", start);
  // The brightest image with the other sign: every model fails the parity check there.
  std::string flipped = d.read("quadoff.dat");
  const std::string bright = "-1.046803 0.131375 7.459387";
  ASSERT_NE(flipped.find(bright), std::string::npos);
  flipped.replace(flipped.find(bright), bright.size(), "-1.046803 0.131375 -7.459387");
  d.write("flipped.dat", flipped);

  RunResult r = run_tarnsolve(d.path(), {},
                              "set tempfiles 0\nset chimode 0\nset gridflag 0\n"
                              "setlens start.dat\noptimize a\nsetlens a.start\noptimize b\n");
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(d.read("a.start"), start);
  EXPECT_EQ(d.read("b.start"), start);

  r = run_tarnsolve(d.path(), {},
                    "set tempfiles 0\nset chimode 0\nset gridflag 0\ndata flipped.dat\n"
                    "setlens start.dat\noptimize c\n");
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(d.read("c.start"), start);
  // The failure names the brightest image, once, with the advice; the count follows.
  const std::string head = "ERROR: failed parity check -- source #1, image #2 (the reference, brightest image)\n";
  EXPECT_EQ(count_occurrences(r.out, head), 1) << r.out;
  EXPECT_EQ(count_occurrences(r.out, "Observed parity"), 1);
  EXPECT_NE(r.out.find("or use 'set checkparity 0' for a first source-plane stage."), std::string::npos);
  EXPECT_TRUE(std::regex_search(r.out, std::regex("image #2 \\(the reference, brightest image\\) \\(printed once; "
                                                  "[0-9]+ times in all\\)\n")))
      << r.out;
}

// Warnings that repeat inside one fit print once, and the count follows at the end of
// the command; the next command prints them again.
TEST(FitStartsE2E, RepeatedWarningsPrintOncePerCommand) {
  ScratchDir d;
  copy_quadoff(d);
  // A magnification cap of 2 caps every image of every trial; an evaluation limit of 10
  // stops each of the restarts.
  const std::string fit =
      "set tempfiles 0\nset chimode 0\nset gridflag 0\nset omitcrit 2\nset optNMAX 10\nset restart 3\n"
      "data quadoff.dat\nsetlens 1 1\nalpha 0.9 0 0 0 0 0.05 10 0 0 1\n1 0 0 0 0 1 1 0 0 0\n";
  const RunResult r = run_tarnsolve(d.path(), {}, fit + "optimize a\noptimize b\n");
  ASSERT_EQ(r.status, 0) << r.out;
  const std::string cap = "WARNING: In chiapprox, magnification is above threshold; scaling to mu = 2.000000e+00";
  EXPECT_EQ(count_occurrences(r.out, cap + "\n"), 2) << r.out;
  EXPECT_EQ(count_occurrences(r.out, "Note: NMAX exceeded in amoeba\n"), 2);
  const std::regex closing(" \\(printed once; ([0-9]+) times in all\\)\n");
  int lines = 0;
  for (std::sregex_iterator it(r.out.begin(), r.out.end(), closing), end; it != end; ++it) {
    ++lines;
    EXPECT_GT(std::stoi((*it)[1]), 2);
  }
  EXPECT_EQ(lines, 4) << r.out;
  EXPECT_EQ(count_occurrences(r.out, cap + " (printed once; "), 2);
  EXPECT_EQ(count_occurrences(r.out, "Note: NMAX exceeded in amoeba (printed once; "), 2);
}

namespace {

// The position angle (parameter 5) of component 1 in an errorbars run of n realisations:
// in each fitted model of e.dat, and in the PARMS:, MEANS: and ERRORBARS: blocks of e.err.
struct ErrorBarAngles {
  std::vector<double> runs;
  double parm = 0, mean = 0, bar = 0;
};

ErrorBarAngles errorbar_angles(const ScratchDir& d, const std::string& setup, int n) {
  const RunResult r = run_tarnsolve(d.path(), {},
                                    "set tempfiles 0\nset verbose 2\nset chimode 0\nset gridflag 0\n" + setup +
                                        "errorbars e " + std::to_string(n) + "\n");
  EXPECT_EQ(r.status, 0) << r.out;
  ErrorBarAngles a;
  std::istringstream runs(d.read("e.dat"));
  for (std::string line; std::getline(runs, line);)
    if (line.find("   alpha ") == 0) a.runs.push_back(first_component("\n" + line)[4]);
  const std::string err = d.read("e.err");
  const size_t parms = err.find("PARMS:\n"), means = err.find("MEANS:\n"), bars = err.find("ERRORBARS:\n");
  EXPECT_NE(bars, std::string::npos) << err;
  if (bars == std::string::npos) return a;
  a.parm = first_component(err.substr(parms))[4];
  a.mean = first_component(err.substr(means))[4];
  a.bar = first_component(err.substr(bars))[4];
  return a;
}

}  // namespace

// Error bars of a lens whose ellipsoid lies at 90 degrees: the realisations fit angles on
// both sides of the fold (89 and -89), and their mean and scatter are taken across it
// (mean near +-90, scatter of a few degrees, not a mean near 0 and a scatter of 90).
TEST(FitStartsE2E, ErrorBarsOfAnAngleAtTheFold) {
  ScratchDir d;
  d.write("q90.dat", kQuad90);
  const ErrorBarAngles a =
      errorbar_angles(d, "data q90.dat\nsetlens 1 1\nalpha 1 0 0 0.3 90 0.08 25 0 0 1\n1 0 0 1 1 1 1 0 0 0\n", 8);
  int above = 0, below = 0;
  for (double pa : a.runs) (pa > 0 ? above : below) += 1;
  ASSERT_EQ(above + below, 8);
  ASSERT_GT(above, 0);
  ASSERT_GT(below, 0);
  EXPECT_GT(std::fabs(a.mean), 85.0);
  EXPECT_LE(std::fabs(a.mean), 90.0);
  EXPECT_GT(a.bar, 0.1);
  EXPECT_LT(a.bar, 10.0);
}

// With a PArange row holding the angle in [0, 180), the mean is folded as the written
// models are: every realisation and PARMS: hold about 120, and so does MEANS: (not -60).
TEST(FitStartsE2E, ErrorBarsMeanFollowsPArange) {
  ScratchDir d;
  d.write("q120.dat", kQuad120);
  d.write("range.dat", "1\n1 5 0 180\n");
  const ErrorBarAngles a = errorbar_angles(
      d, "data q120.dat\nPArange range.dat\nsetlens 1 1\nalpha 1 0 0 0.3 120 0.08 25 0 0 1\n1 0 0 1 1 1 1 0 0 0\n", 3);
  ASSERT_EQ(a.runs.size(), 3u);
  for (double pa : a.runs) EXPECT_NEAR(pa, 120.0, 5.0);
  EXPECT_NEAR(a.parm, 120.0, 1.0);
  EXPECT_NEAR(a.mean, a.parm, 3 * a.bar + 0.1);
}

// Nested sampling of a position angle whose posterior sits at 90 degrees, from a box
// across the fold: the live points stay continuous, so the posterior mean is 90 with a
// small scatter (not a mean near 0 with a scatter of 90); the rows written are folded.
TEST(FitStartsE2E, NestedSamplingAcrossTheFold) {
  ScratchDir d;
  d.write("q90.dat", kQuad90);
  const RunResult r = run_commands(d,
                                   "set tempfiles 0\nset verbose 2\nset chimode 0\nset gridflag 0\ndata q90.dat\n"
                                   "setlens 1 1\nalpha 1 0 0 0.3 90 0.08 25 0 0 1\n0 0 0 0 1 0 0 0 0 0\n"
                                   "nestsampSet live 50 minsteps 100 writelive 0\n80 100\nnestsampRun n\n");
  ASSERT_EQ(r.status, 0) << r.out;
  std::istringstream mean(d.read("n-mean.dat"));
  std::string header;
  std::getline(mean, header);
  int index = 0;
  double m = 0, scatter = 0;
  mean >> index >> m >> scatter;
  EXPECT_NEAR(std::fabs(m), 90.0, 0.5);
  EXPECT_LE(std::fabs(m), 90.0);
  EXPECT_LT(scatter, 1.0);
  std::istringstream rows(d.read("n-nest.dat"));
  std::getline(rows, header);
  int n = 0;
  for (double x, chi, w, pa; rows >> x >> chi >> w >> pa; ++n) EXPECT_LE(std::fabs(pa), 90.0);
  EXPECT_GT(n, 100);
  // The marginal distribution is one piece across the fold: its values, folded as written
  // and read back as angles near 90, rise with the cumulative weight, and its median
  // agrees with the mean.
  std::istringstream cdf(d.read("n-cdf.dat"));
  std::getline(cdf, header);
  int ranks = 0;
  double last = -1e30, last_c = 0, median = 0;
  for (double pa, c; cdf >> pa >> c; ++ranks) {
    EXPECT_LE(std::fabs(pa), 90.0);
    const double near90 = pa < 0 ? pa + 180 : pa;
    EXPECT_GE(near90, last) << "rank " << ranks + 1;
    EXPECT_GE(c, last_c);
    if (last_c < 0.5 && c >= 0.5) median = near90;
    last = near90;
    last_c = c;
  }
  EXPECT_EQ(ranks, n);
  EXPECT_NEAR(last_c, 1.0, 1e-6);
  EXPECT_NEAR(median, std::fabs(m), 3 * scatter);
}
