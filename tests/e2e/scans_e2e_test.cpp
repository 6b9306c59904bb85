// The scans and the Monte Carlo error bars as a user runs them from a command file, on
// problems whose answers are known: a quadratic chi-squared in three parameters, a lens
// whose delays fix h, and a galaxy position with an error ellipse.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <sstream>
#include <string>
#include <vector>

#include "support/test_support.h"

namespace {

// chi^2 = ((b-1)/0.05)^2 + ((x-0.1)/0.1)^2 + ((y+0.1)/0.1)^2 + ((x-y)/0.05)^2: at fixed x
// the optimum is b = 1, y = 0.8 x - 0.02.
const char* kQuadratic =
    "set ftol 1e-8\n"
    "set chimode 0\n"
    "set gridflag 0\n"
    "set tempfiles 0\n"
    "setlens 1 1\n"
    "alpha 1 0 0 0 0 0 0 0 0 1\n"
    "1 1 1 0 0 0 0 0 0 0\n"
    "plimits lim.dat\n"
    "pmatch tie.dat\n";

void write_quadratic(const ScratchDir& d) {
  d.write("lim.dat", "3\n1 1 1 0.05\n1 2 0.1 0.1\n1 3 -0.1 0.1\n");
  d.write("tie.dat", "1\n1 2 1 3 1 0.05\n");
}

// The rows of numbers of a .chi file (comment lines skipped).
std::vector<std::vector<double>> chi_rows(const std::string& text) {
  std::vector<std::vector<double>> rows;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#' || line.find('#') != std::string::npos) continue;
    std::istringstream l(line);
    std::vector<double> r;
    double v;
    while (l >> v) r.push_back(v);
    rows.push_back(r);
  }
  return rows;
}

// The parameters of every "alpha" line of a file, in order.
std::vector<std::vector<double>> alpha_lines(const std::string& text) {
  std::vector<std::vector<double>> rows;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream l(line);
    std::string cls;
    l >> cls;
    if (cls != "alpha") continue;
    std::vector<double> r;
    double v;
    while (l >> v) r.push_back(v);
    rows.push_back(r);
  }
  return rows;
}

// The totals of the "CHISQ:" lines and the "# chi=" values of a file, in order.
std::vector<double> values_after(const std::string& text, const std::string& label) {
  std::vector<double> v;
  for (size_t at = text.find(label); at != std::string::npos; at = text.find(label, at + 1))
    v.push_back(std::stod(text.substr(at + label.size())));
  return v;
}

TEST(ScansE2E, VaryoneTracesTheProfileOfTheQuadraticForEveryStartRule) {
  const double totals[] = {9.8, 4.0, 1.8, 3.2, 8.2};
  for (const char* flag : {"0", "1", "2"}) {
    ScratchDir d;
    write_quadratic(d);
    const RunResult r = run_commands(d, std::string(kQuadratic) + "varyone 1 2 -0.2 0.2 5 p " + flag + "\n");
    ASSERT_EQ(r.status, 0) << r.out;
    const auto rows = chi_rows(d.read("p.chi"));
    ASSERT_EQ(rows.size(), 5u) << flag;
    const auto models = alpha_lines(d.read("p.dat"));
    ASSERT_EQ(models.size(), 5u);
    for (int i = 0; i < 5; ++i) {
      const double x = -0.2 + 0.1 * i;
      EXPECT_NEAR(rows[i][0], x, 1e-12) << flag;
      EXPECT_NEAR(rows[i][1], totals[i], 1e-4) << flag << " step " << i + 1;
      // p.dat in grid order too.
      EXPECT_NEAR(models[i][1], x, 1e-12);
      EXPECT_NEAR(models[i][2], 0.8 * x - 0.02, 1e-4) << flag << " step " << i + 1;
      EXPECT_NEAR(models[i][0], 1, 1e-4);
    }
    // Ranked by chi-squared: x = 0, 0.1, -0.1, 0.2, -0.2.
    const auto ranked = alpha_lines(d.read("p.startN"));
    const double order[] = {0, 0.1, -0.1, 0.2, -0.2};
    ASSERT_EQ(ranked.size(), 5u);
    for (int i = 0; i < 5; ++i) EXPECT_NEAR(ranked[i][1], order[i], 1e-12) << flag;
    const auto best = alpha_lines(d.read("p.best"));
    ASSERT_EQ(best.size(), 1u);
    EXPECT_EQ(best[0][1], 0);
    EXPECT_EQ(alpha_lines(d.read("p.start"))[0][1], 0);
  }
}

TEST(ScansE2E, VarytwoAndModelgridMapTheSameChiSquared) {
  ScratchDir d;
  write_quadratic(d);
  const RunResult r = run_commands(d, std::string(kQuadratic) +
                                          "varytwo 1 2 -0.1 0.1 3 1 3 -0.1 0.1 3 q\n"
                                          "modelgrid 2 g\n1 2 -0.1 0.1 3\n1 3 -0.1 0.1 3\n");
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find("QVM extrapflag 1\n"), std::string::npos);
  // x outer, y = -0.1, 0, 0.1 inner.
  const double want[] = {4, 9, 24, 5, 2, 9, 16, 5, 4};
  const std::string chi = d.read("q.chi");
  EXPECT_EQ(chi.substr(0, chi.find('\n', chi.find('\n') + 1)),
            "-1.000000e-01 1.000000e-01 -1.000000e-01 1.000000e-01  # ilo ihi jlo jhi\n3 3  # isteps jsteps");
  const auto rows = chi_rows(chi);
  ASSERT_EQ(rows.size(), 9u);
  const auto qmodels = alpha_lines(d.read("q.dat"));
  const std::vector<double> gtot = values_after(d.read("g.dat"), "CHISQ:");
  ASSERT_EQ(gtot.size(), 9u);
  for (int n = 0; n < 9; ++n) {
    const double x = -0.1 + 0.1 * (n / 3), y = -0.1 + 0.1 * (n % 3);
    EXPECT_NEAR(rows[n][0], x, 1e-12);
    EXPECT_NEAR(rows[n][1], y, 1e-12);
    EXPECT_NEAR(rows[n][2], want[n], 1e-4) << n;
    EXPECT_NEAR(qmodels[n][0], 1, 1e-4) << n;
    EXPECT_NEAR(gtot[n], want[n], 1e-4) << n;
  }
  EXPECT_FALSE(d.exists("g.chi"));
  // g.startN lists the nine totals ascending.
  std::vector<double> ranked = values_after(d.read("g.startN"), "# chi=");
  std::vector<double> sorted(want, want + 9);
  std::sort(sorted.begin(), sorted.end());
  ASSERT_EQ(ranked.size(), 9u);
  for (int n = 0; n < 9; ++n) EXPECT_NEAR(ranked[n], sorted[n], 1e-4);
  const auto best = alpha_lines(d.read("q.best"));
  EXPECT_EQ(best[0][1], 0);
  EXPECT_EQ(best[0][2], 0);
}

// Galaxy at (0.05, -0.02) with an error ellipse of axes 0.03 and 0.01 at 30 degrees; the
// fitted position has the ellipse's covariance: errors sqrt(3e-4) in x, sqrt(7e-4) in y.
const char* kErrorbars =
    "set chimode 0\n"
    "set gridflag 0\n"
    "set nopointchi 1\n"
    "set tempfiles 0\n"
    "data2 lens.dat\n"
    "setlens 1 1\n"
    "alpha 1 0 0 0.2 67.8 0 0 0 0 1\n"
    "0 1 1 0 0 0 0 0 0 0\n";

void write_errorbars_data(const ScratchDir& d) {
  d.write("lens.dat",
          "1\n0.05 -0.02 0.03 0.01 30\n1 1000\n0 1000\n0 1000\n"
          "1\n1\n1 0 1 1000 1000 0 1000 0 1000\n");
}

// The component line that follows a label of an .err file.
std::vector<double> err_line(const std::string& text, const std::string& label) {
  return alpha_lines(text.substr(text.find(label)))[0];
}

TEST(ScansE2E, ErrorbarsRecoverTheErrorEllipseAndRepeatForTheirSeed) {
  ScratchDir d;
  write_errorbars_data(d);
  const RunResult r =
      run_commands(d, std::string(kErrorbars) +
                          "optimize before\nerrorbars e 400\nerrorbars e2 400\noptimize after\n"
                          "set seed 4242\nerrorbars f 50\nerrorbars f2 50\nset restart 2\nerrorbars g 2\n");
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(count_occurrences(r.out, "errorbars: run #"), 902) << "printed in quiet mode too";
  // Scoring the model as it stands varies nothing, yet each realisation still runs
  // "restart" times.
  EXPECT_EQ(count_occurrences(r.out, "Optimization 2/2:"), 2);
  const std::string err = d.read("e.err");
  const auto mean = err_line(err, "MEANS:"), bar = err_line(err, "ERRORBARS:");
  EXPECT_NEAR(bar[1], std::sqrt(3e-4), 0.15 * std::sqrt(3e-4));
  EXPECT_NEAR(bar[2], std::sqrt(7e-4), 0.15 * std::sqrt(7e-4));
  EXPECT_NEAR(mean[1], 0.05, 0.005);
  EXPECT_NEAR(mean[2], -0.02, 0.005);
  // A parameter that never moves: its value and an error bar of exactly 0.
  EXPECT_EQ(mean[4], 67.8);
  EXPECT_EQ(bar[4], 0);
  EXPECT_EQ(bar[3], 0);
  EXPECT_EQ(err_line(err, "PARMS:")[4], 67.8);
  EXPECT_EQ(r.out.find("negative variance"), std::string::npos);
  // The same seed gives the same realisations, for a positive seed as well.
  EXPECT_EQ(d.read("e.dat"), d.read("e2.dat"));
  EXPECT_EQ(d.read("f.dat"), d.read("f2.dat"));
  EXPECT_NE(d.read("f.dat").substr(0, 400), d.read("e.dat").substr(0, 400));
  // The data and the model come back: a fit afterwards is the fit before.
  EXPECT_EQ(d.read("before.dat"), d.read("after.dat"));
}

TEST(ScansE2E, VaryhFindsHFromTheDelays) {
  // Two images of a singular isothermal sphere; both delays measured, at h = 0.7.
  const char* data =
      "1\n0 0 0.003\n0 1000\n0 1000\n0 1000\n1\n2\n"
      "1.2 0 6 0.003 0.5 0 0.01\n"
      "-0.8 0 -4 0.003 0.5 0.571429 0.01\n";
  const double want[] = {261.22, 45.35, 0, 25.51, 80.63};
  for (const char* models : {"1 1\nalpha 1 0 0 0 0 0 0 1e-6 0 1\n",
                             "1 2\nalpha 1.05 0 0 0 0 0 0 1e-6 0 1\nalpha 1 0 0 0 0 0 0 1e-6 0 1\n"}) {
    ScratchDir d;
    d.write("lens.dat", data);
    const RunResult r = run_commands(d, std::string("set chimode 0\nset gridflag 0\nset tempfiles 0\n"
                                                    "data lens.dat\nsetlens ") +
                                            models + "0 0 0 0 0 0 0 0 0 0\nvaryh 0.5 0.9 5 h\n");
    ASSERT_EQ(r.status, 0) << r.out;
    const auto rows = chi_rows(d.read("h.chi"));
    ASSERT_EQ(rows.size(), 5u);
    for (int i = 0; i < 5; ++i) {
      EXPECT_NEAR(rows[i][0], 0.5 + 0.1 * i, 1e-12);
      const double diff = rows[i][1] - rows[2][1];
      EXPECT_NEAR(diff, want[i], 1e-3 * want[i]) << models << " h = " << rows[i][0];
    }
    const std::string best = d.read("h.best");
    EXPECT_NE(best.find("     h:  7.000000e-01"), std::string::npos) << best;
    EXPECT_NEAR(alpha_lines(best)[0][0], 1.0, 1e-12);
  }
}

TEST(ScansE2E, RefusalsEndTheRunWithStatusOne) {
  struct Case {
    std::string commands, message;
  } cases[] = {
      {"errorbars e 0\n", "ERROR: errorbars needs N >= 1\n"},
      {"varyh 0.5 0.9 5 h\n", "ERROR: varyh needs observed lens data (h comes from the fit of the time delays)\n"},
      {"modelgrid 1 g\n1 2 0 1 0\n", "ERROR: modelgrid slot 1 has 0 steps\n"},
      {"varyone 1 12 0 1 3 p\n", "ERROR: in varyone, iparm 12 is not a parameter index (1 to 10)\n"},
      {"varyone 1 2 -0.2 0.2 5 nodir/p\n",
       "ERROR: in varyone, could not open output chisq file: nodir/p.chi: No such file or directory\n"},
      {"varytwo 1 2 -0.1 0.1 3 1 3 -0.1 0.1 3 nodir/q\n",
       "ERROR: in varytwo, could not open output chisq file: nodir/q.chi: No such file or directory\n"},
      {"errorbars nodir/e 3\n", "ERROR: could not open errorbars .dat file: nodir/e.dat: No such file or directory\n"},
      // A logarithmic range through 0, and a step count out of range, before any file.
      {"varyone 1 2 0 0.2 -5 p\n", "ERROR: logarithmic steps need lo and hi of the same sign, both nonzero\n"},
      {"varyone 1 2 0.1 0.2 2147483648 p\n", "ERROR: argument 'steps' is out of range.\n"},
  };
  for (const Case& c : cases) {
    ScratchDir d;
    write_quadratic(d);
    const RunResult r = run_commands(d, std::string(kQuadratic) + c.commands);
    EXPECT_EQ(r.status, 1) << c.commands;
    EXPECT_NE(r.out.find(c.message), std::string::npos) << r.out;
    EXPECT_FALSE(d.exists("p.chi"));
  }
}

// A point whose ellipticity the hard checks refuse (e = 1) scores its penalty alone: its
// report holds no chi-squared terms, sources or images of the point evaluated before it.
TEST(ScansE2E, APointStoppedByAHardCheckCarriesOnlyItsPenalty) {
  ScratchDir d;
  d.write("lens.dat", "1\n0 0 0.003\n0 1000\n0 1000\n0 1000\n1\n2\n"
                      "1.2 0 6 0.003 0.5 0 0.01\n-0.8 0 -4 0.003 0.5 0.571429 0.01\n");
  const RunResult r = run_commands(d, "set checkparity 0\nset chimode 0\nset gridflag 0\nset tempfiles 0\ndata lens.dat\n"
                                      "setlens 1 1\nalpha 1 0 0 0 0 0 0 1e-6 0 1\n0 0 0 0 0 0 0 0 0 0\n"
                                      "varyone 1 4 0.1 1 3 p\n");
  ASSERT_EQ(r.status, 0) << r.out;
  const auto rows = chi_rows(d.read("p.chi"));
  ASSERT_EQ(rows.size(), 3u);
  const std::string dat = d.read("p.dat");
  std::vector<std::string> reports;
  for (size_t at = dat.find("LENS PARMS:"); at != std::string::npos;) {
    const size_t next = dat.find("LENS PARMS:", at + 1);
    reports.push_back(dat.substr(at, next == std::string::npos ? std::string::npos : next - at));
    at = next;
  }
  ASSERT_EQ(reports.size(), 3u);
  for (int i = 0; i < 3; ++i) {
    const bool refused = rows[i][1] >= 1e6;
    EXPECT_EQ(refused, i == 2) << rows[i][1];
    double terms = 0;
    for (size_t c = 2; c < rows[i].size(); ++c) terms += std::fabs(rows[i][c]);
    const bool zero_posn = reports[i].find("  posn:  0.000000e+00  0.000000e+00\n") != std::string::npos;
    const bool zero_images = count_occurrences(reports[i], "->   0.0000   0.0000   0.0000   0.0000\n") == 2;
    EXPECT_EQ(terms == 0, refused) << i;
    EXPECT_EQ(zero_posn, refused) << reports[i];
    EXPECT_EQ(zero_images, refused) << reports[i];
  }
}

}  // namespace
