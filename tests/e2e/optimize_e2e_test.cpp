// The fitting commands as a user runs them from a command file: optimize and its files,
// constraints from files, randomize and reopt on the model set it leaves, and refusals.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

#include "support/test_support.h"

namespace {

// The quadoff lens as a user's data file.
void copy_quadoff(const ScratchDir& d) {
  std::ifstream in(source_path("examples/quadoff.dat"));
  std::ofstream(d.file("quadoff.dat")) << in.rdbuf();
}

// Source-plane fits without trace files; b and the shear are held near 1 and 0.1 by
// limits, so every model has a chi-squared of its own.
const char* kSetup =
    "set chimode 0\n"
    "set gridflag 0\n"
    "set tempfiles 0\n"
    "set verbose 2\n"
    "data quadoff.dat\n"
    "plimits lim.dat\n"
    "setlens 1 1\n"
    "alpha 0.9 0 0 0 0 0.05 10 0 0 1\n"
    "1 0 0 0 0 1 1 0 0 0\n";
const char* kLimits = "2\n1 1 1.0 0.01\n1 6 0.1 0.01\n";
const char* kRandomize = "randomize 3 r 0 1\n0.9 1.1\n0 0.2\n-10 10\n";

ScratchDir& fill(ScratchDir& d) {
  copy_quadoff(d);
  d.write("lim.dat", kLimits);
  d.write("pm.dat", "1\n1 1 2 1 1.0 -0.1\n");
  return d;
}

// The parameter lines of a model file (those that start with a class name).
int model_lines(const std::string& text) { return count_occurrences(text, "   alpha "); }

}  // namespace

TEST(OptimizeE2E, WritesItsFilesAndTheFitResumesFromThem) {
  ScratchDir d;
  fill(d);
  RunResult r = run_tarnsolve(d.path(), {}, std::string(kSetup) + "optimize fit\n");
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find("  Optimization 1/1:"), std::string::npos);
  EXPECT_NE(r.out.find("LENS PARMS:\n"), std::string::npos);
  for (const char* f : {"fit.dat", "fit.start", "fit-chi.dat", "fit-img.dat", "fit-imgfit.dat"})
    EXPECT_TRUE(d.exists(f)) << f;
  // chimode 0: no plot files.
  EXPECT_FALSE(d.exists("best.sm"));
  EXPECT_FALSE(d.exists("grid.dat"));
  std::istringstream start(d.read("fit.start"));
  std::string head, cls;
  std::getline(start, head);
  double b = 0, x, y, e, pa, g = 0;
  start >> cls >> b >> x >> y >> e >> pa >> g;
  EXPECT_EQ(head, "1 1");
  EXPECT_NEAR(b, 1.0, 1e-3);
  EXPECT_NEAR(g, 0.1, 1e-3);
  // The fit's files load back: its model and its images as lens data.
  r = run_tarnsolve(d.path(), {},
                    "set chimode 0\nset gridflag 0\nset tempfiles 0\nplimits lim.dat\n"
                    "setlens fit.start\ndata fit-imgfit.dat\noptimize chk\n");
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(r.out.find("ERROR"), std::string::npos) << r.out;
  EXPECT_TRUE(d.exists("chk.start"));
}

TEST(OptimizeE2E, QuietOptimizePrintsOneNumberAndWritesNothing) {
  ScratchDir d;
  fill(d);
  const RunResult r = run_commands(d, std::string(kSetup) + "optimize q\n");
  ASSERT_EQ(r.status, 0) << r.out;
  const size_t last = r.out.find_last_of('\n', r.out.size() - 2);
  const std::string line = r.out.substr(last + 1);
  double v = -1;
  char rest[8] = "";
  EXPECT_EQ(std::sscanf(line.c_str(), "%le%7s", &v, rest), 1) << line;
  EXPECT_GT(v, 0);
  EXPECT_EQ(r.out.find("Optimization 1/1"), std::string::npos);
  for (const char* f : {"q.dat", "q.start", "q-chi.dat", "q-img.dat", "q-imgfit.dat"}) EXPECT_FALSE(d.exists(f)) << f;
}

TEST(OptimizeE2E, ImagesWithNegativeFluxesWriteTheBandSectionTheyPromise) {
  ScratchDir d;
  fill(d);
  std::string neg =
      "1\n0 0 0.003\n1 1\n0 1\n0 1\n1\n2\n"
      "1.0 0.0 -1.0 0.003 0.1 0 0\n"
      "-1.0 0.0 -1.0 0.003 0.1 0 0\n"
      "1\n"
      "1 -1.0 0.1 -1.0 0.1\n";
  d.write("neg.dat", neg);
  const RunResult r = run_tarnsolve(d.path(), {},
                                    "set chimode 0\nset gridflag 0\nset tempfiles 0\nset checkparity 0\n"
                                    "data neg.dat\nsetlens 1 1\nalpha 1 0 0 0 0 0 0 0 0 1\n"
                                    "0 0 0 0 0 0 0 0 0 0\noptimize n\ndata n-imgfit.dat\n");
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(r.out.find("ERROR"), std::string::npos) << r.out;
  EXPECT_EQ(count_occurrences(r.out, "Reading multiwavelength flux data: nflux = 1"), 2) << r.out;
}

TEST(OptimizeE2E, RandomizeRepeatsForItsSeedAndReoptWorksOnTheSetItLeaves) {
  std::string first;
  for (int run = 0; run < 2; ++run) {
    ScratchDir d;
    fill(d);
    const RunResult r = run_tarnsolve(d.path(), {}, std::string(kSetup) + "set seed 17\n" + kRandomize);
    ASSERT_EQ(r.status, 0) << r.out;
    const std::string startN = d.read("r.startN");
    EXPECT_EQ(model_lines(startN), 3);
    EXPECT_EQ(count_occurrences(startN, "# chi="), 3);
    for (const char* f : {"r.dat", "r.best", "r.start"}) EXPECT_TRUE(d.exists(f)) << f;
    if (run == 0)
      first = startN;
    else
      EXPECT_EQ(startN, first);
  }
  // Another seed draws other models.
  {
    ScratchDir d;
    fill(d);
    const RunResult r = run_tarnsolve(d.path(), {}, std::string(kSetup) + "set seed 18\n" + kRandomize);
    ASSERT_EQ(r.status, 0);
    EXPECT_NE(d.read("r.startN"), first);
  }
  // randomize leaves Nref = 3 varied parameters + 1 models.
  ScratchDir d;
  fill(d);
  RunResult r = run_tarnsolve(d.path(), {}, std::string(kSetup) + kRandomize + "reopt b 1 1\nreopt b 3 4\n");
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find("Appending reopt results to file b.dat"), std::string::npos);
  EXPECT_NE(r.out.find("Re-optimizing model 4/4"), std::string::npos);
  EXPECT_EQ(count_occurrences(d.read("b.dat"), "LENS PARMS:"), 3);
  const std::string startN = d.read("b.startN");
  EXPECT_EQ(startN.substr(0, 4), "1 4\n");
  EXPECT_EQ(model_lines(startN), 4);
  // Ordered by chi, with real values for the models outside the range.
  std::istringstream in(startN);
  std::string l;
  double prev = -1;
  int n = 0;
  while (std::getline(in, l)) {
    double c;
    if (std::sscanf(l.c_str(), "# chi= %le", &c) != 1) continue;
    EXPECT_GE(c, prev);
    EXPECT_LT(c, 1e6);
    prev = c;
    ++n;
  }
  EXPECT_EQ(n, 4);
  r = run_tarnsolve(d.path(), {}, std::string(kSetup) + kRandomize + "reopt b 3 5\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("ERROR: in reopt, ending index 5 exceeds the number of models"), std::string::npos) << r.out;
}

TEST(OptimizeE2E, RandomizeWithoutOptimizingKeepsOneModel) {
  ScratchDir d;
  fill(d);
  const RunResult r =
      run_tarnsolve(d.path(), {}, std::string(kSetup) + "randomize 2 r 0 0\n0.9 1.1\n0 0.2\n-10 10\nreopt s\n");
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find("Re-optimizing model 1/1"), std::string::npos);
  EXPECT_EQ(r.out.find("Re-optimizing model 2/"), std::string::npos);
}

TEST(OptimizeE2E, Refusals) {
  struct Case {
    const char* commands;
    const char* message;
  };
  const Case cases[] = {
      {"randomize 0 r\n", "ERROR: in randomize, the number of runs must be >= 1"},
      {"randomize 2 r\n0.9\n", "ERROR: too few inputs"},
      {"set nobflip 1\nrandomize 1 r\n-1 -0.5\n0 0.2\n-10 10\n", "ERROR: in randomize, every one of 1000"},
      {"reopt b 0\n", "ERROR: in reopt, starting index must be >= 1"},
      // The user's own start model breaks a lognormal tie.
      {"set checkparity 0\nsetlens 2 1\nalpha 1 0 0 0 0 0.1 0 0 0 1\nalpha -0.5 0.5 0 0 0 0 0 0 0 1\n"
       "1 0 0 0 0 0 0 0 0 0\n0 0 0 0 0 0 0 0 0 0\npmatch pm.dat\noptimize\n",
       "ERROR: negative numbers associated with lognormal errors in pmatch"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.commands);
    ScratchDir d;
    fill(d);
    const RunResult r = run_tarnsolve(d.path(), {}, std::string(kSetup) + "set verbose 3\n" + c.commands);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find(c.message), std::string::npos) << r.out;
  }
  // randomize with N < 1 writes no best file from no run.
  ScratchDir d;
  fill(d);
  run_tarnsolve(d.path(), {}, std::string(kSetup) + "randomize 0 r\n");
  EXPECT_FALSE(d.exists("r.best"));
}

TEST(OptimizeE2E, CommandsAreListedWithTheirHelp) {
  ScratchDir d;
  const RunResult r = run_at_terminal(d.path(), {},
                                      "help optimize\nhelp minimize\nhelp reopt\nhelp randomize\nhelp pmatch\n"
                                      "reopt\nrandomize 3\npbounds\n");
  EXPECT_EQ(r.status, 0);
  for (const char* t : {"optimize [outbase]", "[Same as optimize.]", "reopt <outbase> [starting index] [ending index]",
                        "randomize <number runs> <outbase> [linparms] [optimize?] [maxchi]",
                        "  igal iparm jgal jparm ratio zeropt sigma [src]",
                        "pbounds <file> [indices of constraints to ignore]"})
    EXPECT_NE(r.out.find(t), std::string::npos) << t;
  EXPECT_GE(count_occurrences(r.out, "reopt <outbase>"), 2);
}
