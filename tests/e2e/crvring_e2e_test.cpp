// Curve, ring and convergence-and-shear commands through the real program.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "shell/fatal.h"
#include "support/test_support.h"

namespace {

const char* kIsothermal = "setlens 1 1\nalpha 1 0 0 0 0 0 0 0 0 1\n0 0 0 0 0 0 0 0 0 0\n";

TEST(CrvRingE2E, KapgamAtAPoint) {
  ScratchDir d;
  const RunResult r = run_commands(d, std::string(kIsothermal) +
                                          "kapgam 1 1.2 1.6\n"
                                          "changelens 1\nalpha 1 0 0 0 0 0.1 30 0 0 1\n"
                                          "kapgam 1 1.2 1.6 kg.dat\n");
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find("kappa,gamma,theta= 2.500000e-01 2.499750e-01 -3.686990e+01\n"), std::string::npos) << r.out;
  EXPECT_EQ(d.read("kg.dat"), "kappa,gamma,theta= 2.500000e-01 1.947350e-01 -2.598093e+01\n");
}

TEST(CrvRingE2E, CurvesLoadAndReport) {
  ScratchDir d;
  std::string ref = "37\n", test = "36\n";
  for (int k = 0; k <= 36; ++k) {
    const double t = (k % 36) * 10 * M_PI / 180;
    ref += strformat("%.10f %.10f 0.01\n", 1.1 * std::cos(t), 1.1 * std::sin(t));
    if (k < 36) test += strformat("# point %d\n%.10f %.10f 0.01\n", k, 1.1 * std::cos(t), 1.1 * std::sin(t));
  }
  d.write("ref.dat", ref);
  d.write("try.dat", test);
  const RunResult r = run_tarnsolve(d.path(), {}, "crvstatus\ncrvpts 2 1 ref.dat ref.dat\ncrvpts 2 2 try.dat\n"
                                                  "crvpts 2 2 try.dat\ncrvstatus\ncrvmax 2 3 40\ncrvstatus\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("No curves are loaded.\n"), std::string::npos);
  EXPECT_NE(r.out.find("Reading 37 points from crvpts file ref.dat\n"), std::string::npos);
  EXPECT_NE(r.out.find("WARNING: overwriting existing data in test crv #2\n"), std::string::npos);
  EXPECT_NE(r.out.find("Curve #2 loaded:\n   2 ref  segments: 37 37\n   1 test segments: 36\n"), std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("Setting maximum crv dimensions to: 2 3 40\n"), std::string::npos);
  EXPECT_EQ(count_occurrences(r.out, "No curves are loaded.\n"), 2);

  // The capacities are enforced: 37 points no longer fit.
  const RunResult e = run_commands(d, "crvmax 2 3 30\ncrvpts 1 1 ref.dat\n");
  EXPECT_EQ(e.status, 1);
  EXPECT_NE(e.out.find("ERROR: too many points on curve segment; use crvmax to allow more"), std::string::npos);
}

TEST(CrvRingE2E, RingsLoadAndTheIndexGuard) {
  ScratchDir d;
  d.write("ring.dat", "2 # rays\n0 0 0 1 0.01 1 0\n0 0 180 1 0.01 1 1\n");
  RunResult r = run_tarnsolve(d.path(), {}, "ringmax 3\nringmax 2 5\nringdat ring.dat ring.dat\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("ringmax <max no. of rings> <max no. of rays on a ring>"), std::string::npos);
  EXPECT_NE(r.out.find("Setting maximum ring dimensions to: 2 5\n"), std::string::npos);
  EXPECT_EQ(count_occurrences(r.out, "Reading 2 points from ringdat file ring.dat\n"), 2);

  r = run_commands(d, "ringmax 1 5\nringdat ring.dat ring.dat\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("ERROR: too many rings; use ringmax to allow more"), std::string::npos);
}

TEST(CrvRingE2E, HelpTexts) {
  ScratchDir d;
  const RunResult r =
      run_tarnsolve(d.path(), {}, "help crvmax\nhelp crvpts\nhelp crvstatus\nhelp ringmax\nhelp ringdat\nhelp kapgam\n"
                                  "crvpts\nringdat\nkapgam\n");
  EXPECT_EQ(r.status, 0);
  for (const char* s : {"crvmax <max no. crvs> <max no. segments in a crv> <max no. pts on a segment>\n",
                        "  mode 1 : loads reference points                \n",
                        "  beginning with #\n",
                        "    flag=2 : flux minimum = possible crit line crossing    \n",
                        "ringmax <max no. of rings> <max no. of rays on a ring>\n",
                        "crvstatus\nPrints information about the curve data that have been loaded.\n",
                        "kapgam 4 [outname] [alpha?] [Dmode]"})
    EXPECT_NE(r.out.find(s), std::string::npos) << s;
  // The full help of crvpts, ringdat and kapgam when given no word.
  EXPECT_GE(count_occurrences(r.out, "crvpts <index> <mode> [list of files]"), 2);
  EXPECT_GE(count_occurrences(r.out, "ringdat [list of data files]"), 2);
  EXPECT_GE(count_occurrences(r.out, "kapgam <mode> [other arguments]"), 2);
}

}  // namespace
