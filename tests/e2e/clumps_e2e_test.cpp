// Clump substructure as a user runs it from a command file: populations, repeatable
// draws, the tree check, the far zone and its test mode, and the refusals.
#include <gtest/gtest.h>

#include <cmath>
#include <sstream>
#include <string>
#include <vector>

#include "support/numeric_rows.h"
#include "support/test_support.h"

namespace {

const std::string kModel =
    "set gridflag = 0\n"
    "setlens 1 1\n"
    "alpha 1 0 0 0 0 0 0 0.05 0 1\n"
    "0 0 0 0 0 0 0 0 0 0\n";

double rms_column(const std::vector<std::vector<double>>& t, size_t c) {
  double s = 0;
  for (const auto& r : t) s += r.at(c) * r.at(c);
  return std::sqrt(s / t.size());
}

TEST(ClumpsE2E, PopulationsDrawRepeatablyAndWriteTheirFiles) {
  ScratchDir d;
  const RunResult r = run_commands(d, kModel +
                                          "setclumps 1 0 3\n1 0.001 1 0 star 0\n"
                                          "drawclumps\nwriteclumps a\ndrawclumps\nwriteclumps b\n"
                                          "set seed = 7\ndrawclumps\nwriteclumps c\ndrawclumps\nwriteclumps e\n"
                                          "drawclumps 3 4 5\nwriteclumps f 1\n");
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("Number of clumps:  9269.01\n"), std::string::npos) << r.out;
  EXPECT_EQ(d.read("a.dat"), d.read("b.dat"));
  EXPECT_EQ(d.read("c.dat"), d.read("e.dat"));
  EXPECT_NE(d.read("a.dat"), d.read("c.dat"));
  EXPECT_NE(d.read("a.dat"), d.read("f.dat"));
  EXPECT_EQ(numeric_rows(d.read("a.dat")).size(), 9269u);
  EXPECT_EQ(numeric_rows(d.read("a.prob")).size(), 1000u);
  EXPECT_EQ(d.read("a.dat").rfind("\n# igal 1\n", 0), 0u);
  EXPECT_EQ(count_occurrences(d.read("a.box"), "# "), 9269 + 1);
}

TEST(ClumpsE2E, TreeCheckReportsExactSumsAndTheSpeedOfTheTree) {
  ScratchDir d;
  const RunResult r = run_commands(d, kModel +
                                          "setclumps 1 0 3\n1 0.001 1 0 star 0\n"
                                          "checktree ct 0.2 1.5 100\n"
                                          "set leaferr = 1e30\nset leafsize = 0.4\nchecktree cu 0.2 1.5 100\n");
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  const size_t first = r.out.find("  speedup  ");
  ASSERT_NE(first, std::string::npos);
  EXPECT_EQ(r.out.substr(first, 16), "  speedup  1.00\n") << r.out;
  const auto abs = numeric_rows(d.read("ct.abs"));  // the "<= -7" bin holds everything
  EXPECT_NE(d.read("ct.abs").find(" <= -7  1.000000 1.000000 1.000000 1.000000 1.000000 1.000000 1.000000"),
            std::string::npos)
      << d.read("ct.abs");
  double speedup = 0;
  std::sscanf(r.out.c_str() + r.out.find("  speedup  ", first + 1), "  speedup  %lf", &speedup);
  EXPECT_GE(speedup, 30.0);
  EXPECT_EQ(numeric_rows(d.read("cu.dat")).size(), 100u * 8);
}

TEST(ClumpsE2E, FarZoneMomentsAndTheirTestMode) {
  ScratchDir d;
  RunResult r = run_commands(d, kModel +
                                    "farclumps 1 2.5 4\n"
                                    "setclumps 1 0 3\n1 0.001 1 0 star 0\n"
                                    "writeclumps w\n");
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("  7698.47 explicit\n  1570.53 outer zone\n"), std::string::npos) << r.out;
  const auto ij = numeric_rows(d.read("w-IJ.dat"));
  ASSERT_EQ(ij.size(), 8u);
  EXPECT_NEAR(ij[4][5], 4.873101e-8, 1e-4 * 4.873101e-8);
  // Test mode: the far clumps are drawn explicitly; their coefficients follow the Gaussian
  // model (chi-squared of 8 degrees of freedom), and the far field matches the exact one.
  r = run_commands(d, kModel +
                          "farclumps 1 2.5 4 300 300 test\n"
                          "setclumps 1 0 3\n1 0.01 1 0 star 0\n"
                          "clumpIJdist 400 ij\n"
                          "imgarray 1\n1 0\n"
                          "clumptestfar 100 tf\n");
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  double mean = 0;
  const auto chi = numeric_rows(d.read("ij-chi.dat"));
  ASSERT_EQ(chi.size(), 400u);
  for (const auto& c : chi) mean += c[0] / chi.size();
  EXPECT_NEAR(mean, 8.0, 0.8);  // sd of the mean 0.2
  EXPECT_EQ(numeric_rows(d.read("ij-cdf.dat")).size(), 400u);
  const auto err = numeric_rows(d.read("tf-err.dat"));
  ASSERT_EQ(err.size(), 100u);
  // Residual deflection of the terms above order 4, for clumps ten times heavier than in
  // the reference case (RMS 6.594e-5 there).
  EXPECT_NEAR(rms_column(err, 1), 6.594e-5 * std::sqrt(10.0), 0.3 * 6.594e-5 * std::sqrt(10.0));
  EXPECT_EQ(numeric_rows(d.read("tf-stats.dat")).size(), 5u);
}

TEST(ClumpsE2E, RefusalsEndTheProgramWithStatusOne) {
  const struct {
    std::string cmds, msg;
  } cases[] = {
      {"setclumps 1 0 3\n1 0 1 0 star\n", "ERROR: clump mass parameter must not be zero"},
      {"setclumps 1 0 3\n1 0.01 1 0 nfw 0.5\n", "ERROR: scale radius is negative"},
      {"checktree ct 1 1 10\n", "ERROR: checktree needs rmin < rmax"},
      {"farclumps 1 2 2 1\n", "ERROR: farclumps needs Nrad of at least 2"},
      // A parent of negative convergence has no covariance for its far clumps.
      {"setlens 1 1\nalpha -1 0 0 0 0 0 0 0.05 0 1\n0 0 0 0 0 0 0 0 0 0\n"
       "farclumps 1 2.5 2 100 100\nsetclumps 1 0 3\n1 0.01 1 0 star\n",
       "ERROR: the far-zone covariance of the clumps of component 1 is not positive definite"},
      // Words that are not finite numbers would give a negative clump count or nan clumps.
      {"setclumps 1 0 inf\n1 0.001 1 0 star 0\n", "ERROR: setclumps: inf is not a finite number"},
      {"setclumps 1 0 3\n1 nan 1 0 star 0\n", "ERROR: setclumps: nan is not a finite number"},
      {"setclumps 1 0 3\n1 0.001 1 0 gaus nan\n", "ERROR: setclumps: nan is not a finite number"},
      {"drawclumps 1 nan\n", "ERROR: drawclumps: nan is not a finite number"},
      {"checktree ct 0 inf 10\n", "ERROR: checktree: inf is not a finite number"},
      {"farclumps 1 nan 4\n", "ERROR: farclumps: nan is not a finite number"},
      {"scaleclumps 1 1 rt inf 0.3 0\n", "ERROR: scaleclumps: inf is not a finite number"},
      // A count no long can hold was cast to a negative number of clumps.
      {"setclumps 1 0 3\n1 1e-300 1 0 star 0\n", "ERROR: in setclumps, 9.269007e+300 clumps are too many to draw"},
  };
  for (const auto& c : cases) {
    ScratchDir d;
    const RunResult r = run_commands(d, kModel + c.cmds + "quit\n");
    EXPECT_EQ(r.status, 1) << c.cmds;
    EXPECT_NE(r.out.find(c.msg), std::string::npos) << r.out;
  }
}

TEST(ClumpsE2E, SmallGridCacheAroundTheObservedImages) {
  ScratchDir d;
  const std::string data = source_path("examples/quadoff.dat");
  const std::string head =
      "set gridflag = 0\nsetlens 2 1\nalpha 1 0 0 0 0 0.1 0 0 0 1\nalpha 0.02 0 0 0 0 0 0 0.05 0 1\n"
      "0 0 0 0 0 0 0 0 0 0\n0 0 0 0 0 0 0 0 0 0\n"
      "setclumps 1 0 3\n2 0.0001 1 0 star 0\ndata " + data + "\n";
  RunResult r = run_commands(d, head +
                                    "subsave on -0.01 0.01 11 -0.01 0.01 11 grids\nsubsave test st11 200\n"
                                    "subsave on -0.01 0.01 11 -0.01 0.01 11 again\n"
                                    "subsave off\nsubsave on -0.01 0.01 21 -0.01 0.01 21\nsubsave test st21 200\n");
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("Applying subsave to the following mass component(s): 2\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("WARNING: subsave already on -- turn it off before changing it"), std::string::npos);
  EXPECT_FALSE(d.exists("again"));  // the refused second start leaves its file alone
  EXPECT_EQ(count_occurrences(d.read("grids"), "# small grid #"), 4);
  const auto a = numeric_rows(d.read("st11")), b = numeric_rows(d.read("st21"));
  ASSERT_EQ(a.size(), 800u);
  ASSERT_EQ(b.size(), 800u);
  for (size_t c = 2; c < 8; ++c) {  // bilinear interpolation: the error falls as the step squared
    const double ratio = rms_column(a, c) / rms_column(b, c);
    EXPECT_GT(ratio, 3.0) << c;
    EXPECT_LT(ratio, 5.0) << c;
  }
  // A clump on an image switches that image's grid off.
  r = run_commands(d, "set gridflag = 0\nsetlens 3 1\nalpha 1 0 0 0 0 0.1 0 0 0 1\n"
                      "alpha 0.02 0 0 0 0 0 0 0.05 0 1\nalpha 0.01 1.163803 0.082317 0 0 0 0 0.001 0 1\n"
                      "0 0 0 0 0 0 0 0 0 0\n0 0 0 0 0 0 0 0 0 0\n0 0 0 0 0 0 0 0 0 0\n"
                      "setclumps 1 0 0.002\n3 2e-5 1 0 star 0\ndata " + data + "\n"
                      "subsave on -0.01 0.01 11 -0.01 0.01 11\n");
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("   1.  1.163803e+00  8.231700e-02\nA clump overlaps the image, so turning small grid off.\n"),
            std::string::npos)
      << r.out;
}

}  // namespace
