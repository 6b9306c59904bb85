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

// Without quiet mode the prompts and reports of the model commands reach the user, also
// when the lines come from a model file or a command file.
TEST(ModelSpecE2E, PromptsAndReportsOutsideQuietMode) {
  ScratchDir d;
  d.write("model.dat",
          "2 1\n"
          "alpha 1 0 0 0.2 10 0.05 20 0.1 0 1\n"
          "ptmass -1 1 0 0 0 0 0 0 0 0\n"
          "1 1 1 1 1 1 1 0 0 0\n"
          "1 1 1 0 0 0 0 0 0 0\n");
  d.write("cmds.in",
          "set gridflag 0\n"
          "set zlens 0.5\n"
          "set zsrc 2\n"
          "startup model.dat\n"
          "setsource 1 100\n"
          "sersic 2 0 0 0.1 0 0.5 0 0.5\n"
          "1 1 1 0 0 0 0 0\n"
          "stepsize 2 1\n"
          "0.1 0.1 0.1 0 0 0 0 0 0 0\n"
          "0.2 0.01 0.01 0 0 0 0 0\n"
          "stepsize init\n");
  const RunResult r = run_tarnsolve(d.path(), {"cmds.in"});
  EXPECT_EQ(r.status, 0) << r.out;
  // Point mass of 10^12 solar masses at zlens 0.5 for zsrc 2 (omega 0.3, lambda 0.7, h 0.7):
  // 2.025938 from an independent integration of the distances.
  EXPECT_NE(r.out.find("Reading model from file model.dat\n"
                       "Enter galaxies for model #1:\n"
                       "Enter what to vary for each galaxy:\n"
                       "ptmass: M12,zl,zs= 1.000000 0.500000 2.000000 --> theta_Ein= 2.025938\n"),
            std::string::npos)
      << r.out;
  // Sersic n = 1/2 is a Gaussian: s = Reff / sqrt(ln 2), R90 = s sqrt(ln 10),
  // R99.9 = s sqrt(ln 1000), I0 = flux / (pi s^2 (1 - e)).
  EXPECT_NE(r.out.find("Enter sources:\n"
                       "Sersic model parameters:\n"
                       "  index, n                            = 5.000000e-01\n"
                       "  normalization, I0                   = 1.961205e+00\n"
                       "  scale radius                        = 6.005612e-01\n"
                       "  half-light radius                   = 5.000000e-01\n"
                       "  radius enclosing 90% of the light   = 9.113079e-01\n"
                       "  radius enclosing 99.9% of the light = 1.578432e+00\n"
                       "For each source, enter what to vary:\n"),
            std::string::npos)
      << r.out;
  // Component 1 keeps the default steps of a new table; component 2 has the steps typed.
  EXPECT_NE(r.out.find("Enter step sizes for galaxy #2:\n"
                       "stepsize array for galaxy parameters:\n"
                       " 1.000000e-02 1.000000e-02 1.000000e-02 1.000000e-02 1.000000e+00 1.000000e-02"
                       " 1.000000e+00 1.000000e-02 1.000000e-02 1.000000e-02\n"
                       " 1.000000e-01 1.000000e-01 1.000000e-01 0.000000e+00 0.000000e+00 0.000000e+00"
                       " 0.000000e+00 0.000000e+00 0.000000e+00 0.000000e+00\n"
                       "Enter step sizes for all source model parameters:\n"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("Initializing stepsize to 0 for all galaxy parameters\n"
                       "stepsize array for galaxy parameters:\n"
                       " 0.000000e+00 0.000000e+00"),
            std::string::npos);
  EXPECT_NE(r.out.find("Initializing stepsize to 0 for all source parameters\n"), std::string::npos);
}
