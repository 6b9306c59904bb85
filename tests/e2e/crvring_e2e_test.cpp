// Curve, ring and convergence-and-shear commands through the real program.
#include <gtest/gtest.h>

#include <cmath>
#include <sstream>
#include <string>
#include <vector>

#include "numeric/constants.h"
#include "shell/fatal.h"
#include "support/test_support.h"

namespace {

const char* kIsothermal = "setlens 1 1\nalpha 1 0 0 0 0 0 0 0 0 1\n0 0 0 0 0 0 0 0 0 0\n";

// Points every 10 degrees on the circle r (n of them; 37 closes the polyline).
std::string circle(double r, int n) {
  std::string t = std::to_string(n) + "\n";
  for (int k = 0; k < n; ++k) {
    const double a = (k % 36) * 10 * kPi / 180;
    t += strformat("%.10f %.10f 0.01\n", r * std::cos(a), r * std::sin(a));
  }
  return t;
}

// The nine chi-squared slots of an optimize result file.
std::vector<double> chi_slots(const ScratchDir& d, const std::string& name) {
  std::istringstream in(d.read(name));
  std::vector<double> v;
  double x;
  while (in >> x) v.push_back(x);
  EXPECT_EQ(v.size(), 9u) << name;
  v.resize(9);
  return v;
}

// Parameter k of the first line of the start file that begins with the class name.
double start_parameter(const ScratchDir& d, const std::string& file, const std::string& cls, int k) {
  std::istringstream in(d.read(file));
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream w(line);
    std::string name;
    w >> name;
    if (name != cls) continue;
    double p = 0;
    for (int i = 1; i <= k; ++i) w >> p;
    return p;
  }
  ADD_FAILURE() << "no " << cls << " in " << file;
  return 0;
}

std::string isothermal_model(double b, const std::string& vary, const std::string& extra = "",
                             const std::string& extra_vary = "") {
  return strformat("setlens %d 1\nalpha %g 0 0 0 0 0 0 1e-7 0 1\n", extra.empty() ? 1 : 2, b) + extra + vary +
         extra_vary;
}

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
    const double t = (k % 36) * 10 * kPi / 180;
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
  // Typed at a terminal, the short line prints its usage and the run goes on.
  RunResult r = run_at_terminal(d.path(), {}, "ringmax 3\nringmax 2 5\nringdat ring.dat ring.dat\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("ringmax <max no. of rings> <max no. of rays on a ring>"), std::string::npos);
  EXPECT_NE(r.out.find("Setting maximum ring dimensions to: 2 5\n"), std::string::npos);
  EXPECT_EQ(count_occurrences(r.out, "Reading 2 points from ringdat file ring.dat\n"), 2);

  r = run_commands(d, "ringmax 1 5\nringdat ring.dat ring.dat\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("ERROR: too many rings; use ringmax to allow more"), std::string::npos);
}

// Curves of the circle fixture scored by optimize with nothing varied (slot 6), with no
// grid flag and the source-plane point term, then with the defaults; then fitted back.
TEST(CrvRingE2E, CurveFixtureScoredAndFitted) {
  ScratchDir d;
  d.write("ref1.dat", circle(1.1, 37));
  d.write("ref2.dat", circle(0.9, 37));
  d.write("try.dat", circle(1.1, 36));
  const std::string load = "crvpts 1 1 ref1.dat ref2.dat\ncrvpts 1 2 try.dat\n";
  const std::string fixed = "0 0 0 0 0 0 0 0 0 0\n";
  d.write("cmds.in", "set gridflag 0\nset chimode 0\n" + load + isothermal_model(1.01, fixed) + "optimize a\n" +
                         isothermal_model(1.003, fixed) + "optimize b\n" + "set gridflag 1\nset chimode 1\n" +
                         isothermal_model(1.01, fixed) + "optimize c\n");
  RunResult r = run_tarnsolve(d.path(), {"cmds.in"});
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_NEAR(chi_slots(d, "a-chi.dat")[6], 144.0, 0.01);
  EXPECT_NEAR(chi_slots(d, "b-chi.dat")[6], 12.96, 0.01);
  EXPECT_NEAR(chi_slots(d, "c-chi.dat")[6], 144.0, 0.01);
  EXPECT_EQ(chi_slots(d, "c-chi.dat")[0], chi_slots(d, "c-chi.dat")[6]);
  // The trace of the last evaluation: two images of each of the 36 test points, the
  // central maxima left out.
  const std::string trace = d.read("crvpts.tmp");
  EXPECT_EQ(count_occurrences(trace, "\n1 1 "), 72);

  d.write("cmds.in", "set gridflag 0\nset chimode 0\nset tempfiles 0\n" + load +
                         "setlens 1 1\nalpha 0.95 0.02 -0.01 0 0 0 0 1e-7 0 1\n1 1 1 0 0 0 0 0 0 0\noptimize fit\n");
  r = run_tarnsolve(d.path(), {"cmds.in"});
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_NEAR(start_parameter(d, "fit.start", "alpha", 1), 1.0, 1e-4);
  EXPECT_NEAR(start_parameter(d, "fit.start", "alpha", 2), 0.0, 1e-3);
  EXPECT_NEAR(start_parameter(d, "fit.start", "alpha", 3), 0.0, 1e-3);
}

// The ring fixture: twelve rays from the centre of the isothermal lens b 1 with a source
// at (0.05, 0.02); at b 1.01 each crest lies one d(lambda) out (slot 7), and the fit
// recovers the lens and the source, which lands in the ring component.
TEST(CrvRingE2E, RingFixtureScoredAndFitted) {
  ScratchDir d;
  std::string ring = "12\n";
  for (int j = 0; j < 12; ++j) {
    const double phi = 30.0 * j, s = std::sin(phi * kPi / 180), c = std::cos(phi * kPi / 180);
    ring += strformat("0 0 %g %.10f 0.01 1 0\n", phi, 1 - 0.05 * s + 0.02 * c);
  }
  d.write("ring.dat", ring);
  const std::string comp = "ring 1 0 0 0 0 0 0 0 0 0\n", fixed = "0 0 0 0 0 0 0 0 0 0\n";
  d.write("cmds.in", "ringdat ring.dat\n" + isothermal_model(1.01, fixed, comp, fixed) + "optimize a\n" +
                         "set tempfiles 0\n" + isothermal_model(0.95, "1 0 0 0 0 0 0 0 0 0\n", comp, fixed) +
                         "optimize fit\n");
  const RunResult r = run_tarnsolve(d.path(), {"cmds.in"});
  ASSERT_EQ(r.status, 0) << r.out.substr(0, 2000);
  EXPECT_NEAR(chi_slots(d, "a-chi.dat")[7], 12.0, 0.01);
  EXPECT_NE(r.out.find("RING: found 2 critical line crossings\n"), std::string::npos);
  // The ray files of the final evaluation: the model crests, the curve closed on ray 1.
  const std::string pts = d.read("ringpts.tmp"), dat = d.read("ringpts.tmpdat");
  EXPECT_EQ(count_occurrences(pts, "\n"), 13);
  EXPECT_EQ(pts.substr(pts.rfind('\n', pts.size() - 2) + 1), pts.substr(0, pts.find('\n') + 1));
  EXPECT_EQ(count_occurrences(dat, " 0 0 \n"), 12);
  EXPECT_NEAR(start_parameter(d, "fit.start", "alpha", 1), 1.0, 1e-4);
  const double u0 = start_parameter(d, "fit.start", "ring", 2), v0 = start_parameter(d, "fit.start", "ring", 3);
  EXPECT_NEAR(u0, 0.05, 1e-4);
  EXPECT_NEAR(v0, 0.02, 1e-4);
  const size_t at = r.out.rfind("Ring 1: ");
  ASSERT_NE(at, std::string::npos);
  double pu, pv;
  ASSERT_EQ(std::sscanf(r.out.c_str() + at, "Ring 1: %lf %lf", &pu, &pv), 2);
  EXPECT_NEAR(pu, u0, 1e-6);
  EXPECT_NEAR(pv, v0, 1e-6);
}

// A crest that cannot be found on the user's start lens ends the run; a ring index
// beyond the loaded tables too.
TEST(CrvRingE2E, RingFailuresEndTheRun) {
  ScratchDir d;
  std::string ring = "12\n";
  for (int j = 0; j < 12; ++j) ring += strformat("0 0 %d 1 0.01 1 0\n", 30 * j);
  d.write("ring.dat", ring);
  const std::string fixed = "0 0 0 0 0 0 0 0 0 0\n";
  RunResult r = run_commands(d, "set tempfiles 0\nringdat ring.dat\n" +
                                    isothermal_model(0.001, fixed, "ring 1 0 0 0 0 0 0 0 0 0\n", fixed) +
                                    "optimize a\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("ERROR: the crest of ring #1 was not found on"), std::string::npos);
  r = run_commands(d, "set tempfiles 0\nringdat ring.dat\nringmax 20 200\n" +
                          isothermal_model(1, fixed, "ring 11 0 0 0 0 0 0 0 0 0\n", fixed) + "optimize a\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("ERROR: ring index 11 out of range"), std::string::npos);
}

TEST(CrvRingE2E, HelpTexts) {
  ScratchDir d;
  // At a terminal a line too short to run prints the command's usage and the run goes on.
  const RunResult r =
      run_at_terminal(d.path(), {},
                      "help crvmax\nhelp crvpts\nhelp crvstatus\nhelp ringmax\nhelp ringdat\nhelp kapgam\n"
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
