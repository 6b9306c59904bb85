// Loading observed lenses through the real program.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "support/test_support.h"

namespace {
std::string quadoff() {
  std::ifstream in(source_path("examples/quadoff.dat"));
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}
}  // namespace

TEST(FitDataE2E, QuadoffLoadsAndGivesTheImageGridPositions) {
  ScratchDir d;
  d.write("quadoff.dat", quadoff());
  d.write("cmds.in", "imggrid -1 0 0.1 3 0 360 8\ndata quadoff.dat\n");
  const RunResult r = run_tarnsolve(d.path(), {"cmds.in"});
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("Reading lens data from file quadoff.dat\n"
                       "Note: No redshift information is being used.\n"
                       "Setting rscale = 1.166711e+00\n"
                       "Setting positions for imggrid/imgarray:\n"
                       "   1.163803e+00  8.231700e-02\n"
                       "  -1.046803e+00  1.313750e-01\n"
                       "  -2.818780e-01  8.842340e-01\n"
                       "  -2.240010e-01 -8.615590e-01\n"),
            std::string::npos)
      << r.out;
}

TEST(FitDataE2E, BadDataFilesEndTheRunWithAnError) {
  ScratchDir d;
  d.write("short.dat", "1\n0 0 0.003\n1 1\n");
  RunResult r = run_commands(d, "data short.dat\n");
  EXPECT_NE(r.out.find("ERROR: data file short.dat ends before all its lines were read"), std::string::npos);
  EXPECT_EQ(r.status, 1);
  r = run_commands(d, "data none.dat\n");
  EXPECT_NE(r.out.find("ERROR: could not open data file"), std::string::npos);
  EXPECT_EQ(r.status, 1);
  r = run_commands(d, "batchdata short.dat\n");
  EXPECT_EQ(r.status, 1);
}

TEST(FitDataE2E, HelpTexts) {
  ScratchDir d;
  const RunResult r = run_at_terminal(d.path(), {}, "help data\nhelp data2\nhelp batchdata\ndata\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("data <file> [sigx] [sigf] [sigt] [sigg]"), std::string::npos);
  EXPECT_NE(r.out.find("x y flux sig(a) sig(b) sig (pa) sig(flux) tdel sig(tdel)"), std::string::npos);
  EXPECT_NE(r.out.find("batchdata <file> [noise?] [errbar factor]"), std::string::npos);
  EXPECT_NE(r.out.find("\n# for each image of this source, including central image:"), std::string::npos);
  EXPECT_GE(count_occurrences(r.out, "Nimg [chi^2 weights: pos flux tdel] [zsrc]"), 2);
}
