// Lens models and sources specified through command files, as a user runs the program.
#include <gtest/gtest.h>

#include "support/test_support.h"

TEST(ModelSpecE2E, ModelAndSourcesFromTheCommandInput) {
  ScratchDir d;
  const RunResult r = run_commands(d,
                                   "set gridflag 0\n"
                                   "setlens 2 1\n"
                                   "alpha 1.0 0 0 0.2 10 0.05 20 0.1 0 1\n"
                                   "# a comment between the lines\n"
                                   "ptmass 0.3 1.0 -0.5 0 0 0 0 0 0 0\n"
                                   "1 1 1 1 1 1 1 0 0 0\n"
                                   "1 1 1 0 0 0 0 0 0 0\n"
                                   "setsource 2 100\n"
                                   "ptsrc 1 0.1 0.1 0 0 0 0 0\n"
                                   "uniform 2 0 0 0.1 0 0.3 0 0\n"
                                   "1 1 1 0 0 0 0 0\n"
                                   "1 1 1 1 1 1 0 0\n"
                                   "turnoff gal 2 src 1\n"
                                   "turnon status\n"
                                   "changevary 2\n"
                                   "1 1 1 0 0 0 0 0\n"
                                   "changelens -1\n"
                                   "alpha 1.1 0 0 0.2 10 0.05 20 0.1 0 1\n"
                                   "turnon status\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out,
            "Enter sources:\n"
            "For each source, enter what to vary:\n"
            "In turnoff:\nTurning off galaxy #2\nTurning off source #1\n"
            "In turnon:\n"
            "Current status of mass model components:\n  gal #1 on\n  gal #2 off\n"
            "Current status of source components:\n  src #1 off\n  src #2 on\n"
            "Enter what to vary for galaxy #2:\nNew vary flags for galaxy #2:\n 1 1 1 0 0 0 0 0 0 0\n"
            "Enter galaxy #-1\n"
            "In turnon:\n"
            "Current status of mass model components:\n  gal #1 on\n  gal #2 on\n"
            "Current status of source components:\n  src #1 off\n  src #2 on\n");
}

TEST(ModelSpecE2E, ModelFileThroughStartupAndRanparmRepeats) {
  ScratchDir d;
  d.write("model.dat",
          "2 1\n"
          "alpha 1.0 0 0 0.2 10 0.05 20 0.1 0 1\n"
          "alpha 0.3 1.0 -0.5 0 0 0 0 0 0 1\n"
          "1 1 1 1 1 1 1 0 0 0\n"
          "1 1 1 0 0 0 0 0 0 0\n");
  const RunResult r = run_commands(d,
                                   "set gridflag 0\n"
                                   "set seed 12\n"
                                   "startup model.dat\n"
                                   "ranparm 2 1 0 1\n"
                                   "ranparm 2 1 0 1\n");
  EXPECT_EQ(r.status, 0);
  ASSERT_EQ(count_occurrences(r.out, "Random value p[2][1] = "), 2);
  const size_t a = r.out.find("Random value"), b = r.out.find("Random value", a + 1);
  EXPECT_EQ(r.out.substr(a, b - a), r.out.substr(b));
  EXPECT_EQ(r.out.rfind("Reading model from file model.dat\n", 0), 0u);
}

TEST(ModelSpecE2E, BrokenInputEndsWithItsErrorAndStatusOne) {
  struct Case {
    const char* commands;
    const char* error;
  };
  const std::vector<Case> cases = {
      // The command input ends after one of two component lines.
      {"set gridflag 0\nsetlens 2 1\nalpha 1 0 0 0 0 0 0 0 0 1\n", "ERROR: in setlens, you gave too few parameters.\n"},
      {"set gridflag 0\nsetlens -2 1\n", "ERROR: in setlens file, must give Ngal, Nref\n"},
      {"set gridflag 0\nsetlens model.dat\n", "ERROR: in setlens, you gave too few vary flags.\n"},
      {"setsource 0 10\n", "ERROR: number of sources must be positive\n"},
      {"changelens 1\nalpha 1 0 0 0 0 0 0 0 0 1\n", "ERROR: no lens model has been specified\n"},
  };
  for (const auto& c : cases) {
    ScratchDir d;
    d.write("model.dat", "1 1\nalpha 1 0 0 0 0 0 0 0 0 1\n1 1 1 1 1 1 1 1\n");
    const RunResult r = run_commands(d, c.commands);
    EXPECT_EQ(r.status, 1) << c.commands;
    EXPECT_NE(r.out.find(c.error), std::string::npos) << r.out;
  }
}
