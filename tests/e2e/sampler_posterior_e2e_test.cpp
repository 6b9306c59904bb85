// The samplers on a posterior known in closed form, through the real program: an "alpha"
// lens with b, x, y free, no data, Gaussian limits on b, x, y and a soft tie x = y:
//   chi^2 = ((b - 1)/0.05)^2 + ((x - 0.1)/0.1)^2 + ((y + 0.1)/0.1)^2 + ((x - y)/0.05)^2.
// Posterior mean (1, 1/90, -1/90), sd (0.05, 0.074536, 0.074536), corr(x, y) 0.8; the
// integral of exp(-chi^2/2) is 1.0791e-3.
#include <gtest/gtest.h>

#include <cmath>
#include <sstream>
#include <string>
#include <vector>

#include "support/numeric_rows.h"
#include "support/test_support.h"

namespace {
std::vector<std::vector<double>> rows_of(const std::string& text) { return numeric_rows(text); }

constexpr double kMean[3] = {1.0, 1.0 / 90, -1.0 / 90};
constexpr double kSd[3] = {0.05, 0.074536, 0.074536};
constexpr double kVolumeEvidence = 1.0791e-3;

// The lens, the limits and the tie; extra limit rows are appended to the limits file.
std::string setup(const ScratchDir& d, const std::string& extra_limit = "") {
  d.write("lim.dat", std::string(extra_limit.empty() ? "3\n" : "4\n") + "1 1 1 0.05\n1 2 0.1 0.1\n1 3 -0.1 0.1\n" +
                         extra_limit);
  d.write("match.dat", "1\n1 2 1 3 1 0 0.05\n");
  return "set gridflag 0\nset chimode 0\nset tempfiles 0\nsetlens 1 1\n"
         "alpha 1.2 0.3 -0.3 0 0 0 0 0 0 1\n1 1 1 0 0 0 0 0 0 0\n"
         "plimits lim.dat\npmatch match.dat\n";
}

void expect_chain_posterior(const std::vector<std::vector<double>>& rows, const std::string& label) {
  ASSERT_GT(rows.size(), 1000u) << label;
  double s[4] = {}, q[4] = {}, sxy = 0;
  for (size_t r = 1; r < rows.size(); ++r) {
    for (int k = 0; k < 4; ++k) {
      s[k] += rows[r][k];
      q[k] += rows[r][k] * rows[r][k];
    }
    sxy += rows[r][1] * rows[r][2];
  }
  const double N = static_cast<double>(rows.size() - 1);
  double mean[4], var[4];
  for (int k = 0; k < 4; ++k) {
    mean[k] = s[k] / N;
    var[k] = q[k] / N - mean[k] * mean[k];
  }
  for (int k = 0; k < 3; ++k) {
    EXPECT_NEAR(mean[k], kMean[k], 0.2 * kSd[k]) << label << " " << k;
    EXPECT_NEAR(var[k] / (kSd[k] * kSd[k]), 1, 0.2) << label << " " << k;
  }
  EXPECT_NEAR((sxy / N - mean[1] * mean[2]) / std::sqrt(var[1] * var[2]), 0.8, 0.05) << label;
  EXPECT_NEAR(mean[3], 0.7, 1e-6) << label;  // the h column
}
}  // namespace

TEST(SamplerPosteriorE2E, ChainsInBothModesRepeatFromTheirSeed) {
  ScratchDir d;
  const RunResult r = run_commands(d, setup(d) +
                                          "MCMCset 2 minsteps 4000\nMCMCrun c2\nMCMCrun c2b\n"
                                          "MCMCset 1\nset seed 15\nMCMCrun c1\nMCMCrun c1b\n");
  ASSERT_EQ(r.status, 0) << r.out;
  expect_chain_posterior(rows_of(d.read("c2-p.dat")), "mode 2");
  expect_chain_posterior(rows_of(d.read("c1-p.dat")), "mode 1");
  EXPECT_EQ(d.read("c2-p.dat"), d.read("c2b-p.dat"));
  EXPECT_EQ(d.read("c1-p.dat"), d.read("c1b-p.dat"));
  EXPECT_EQ(d.read("c1-7.tmp"), d.read("c1b-7.tmp"));
}

TEST(SamplerPosteriorE2E, HubbleParameterInTheChains) {
  ScratchDir d;
  const RunResult r = run_commands(d, setup(d) + "set hvale 0.1\nMCMCset 1 minsteps 4000 hinchain 1\nMCMCrun h\n");
  ASSERT_EQ(r.status, 0) << r.out;
  const auto rows = rows_of(d.read("h-p.dat"));
  ASSERT_GT(rows.size(), 1000u);
  double s = 0, q = 0;
  for (size_t i = 1; i < rows.size(); ++i) {
    s += rows[i][3];
    q += rows[i][3] * rows[i][3];
  }
  const double N = static_cast<double>(rows.size() - 1), m = s / N;
  EXPECT_NEAR(m, 0.7, 0.02);
  EXPECT_NEAR(std::sqrt(q / N - m * m), 0.1, 0.02);
}

TEST(SamplerPosteriorE2E, EvidenceAndPosteriorOfNestedSampling) {
  ScratchDir d;
  const std::string box = "0.7 1.3\n-0.5 0.5\n-0.5 0.5\n";
  const RunResult r = run_commands(d, setup(d) + "nestsampSet live 1000\n" + box + "nestsampRun n\n" +
                                          "nestsampSet live 1000 chicut 30\n" + box + "nestsampRun o\n" +
                                          "nestsampSet live 1000 chicut 1e8 mode 3\n" + box + "nestsampRun m\n");
  ASSERT_EQ(r.status, 0) << r.out;
  for (const char* base : {"n", "o", "m"}) {
    const auto done = rows_of(d.read(std::string(base) + "-done.dat"));
    ASSERT_EQ(done.size(), 1u);
    const std::vector<double>& z = done[0];
    EXPECT_NEAR(z[0], kVolumeEvidence / 0.6, 3 * z[2]) << base;
    EXPECT_NEAR(z[3], kVolumeEvidence, 3 * z[5]) << base;
    EXPECT_NEAR(z[2] / z[0], 0.06, 0.02) << base;
  }
  const auto done = rows_of(d.read("n-done.dat"))[0];
  EXPECT_NEAR(done[3], 0.6 * done[0], 1e-6 * done[0]);
  const auto mean = rows_of(d.read("n-mean.dat"));
  ASSERT_EQ(mean.size(), 3u);
  for (int k = 0; k < 3; ++k) EXPECT_NEAR(mean[k][1], kMean[k], 0.15 * kSd[k]) << k;
  const auto cov = rows_of(d.read("n-cov.dat"));
  ASSERT_EQ(cov.size(), 6u);
  EXPECT_NEAR(cov[0][2] / (kSd[0] * kSd[0]), 1, 0.15);
  EXPECT_NEAR(cov[3][2] / (kSd[1] * kSd[1]), 1, 0.15);
  EXPECT_NEAR(cov[5][2] / (kSd[2] * kSd[2]), 1, 0.15);
  EXPECT_NEAR(cov[4][2] / (0.8 * kSd[1] * kSd[2]), 1, 0.15);
  EXPECT_NEAR(cov[1][2], 0, 0.1 * kSd[0] * kSd[1]);
  EXPECT_NEAR(cov[2][2], 0, 0.1 * kSd[0] * kSd[2]);
  auto chicnt = [&](const char* base) {
    const std::string t = d.read(std::string(base) + "-tmp.dat");
    return std::atof(t.c_str() + t.rfind("# chicnt= ") + 10);
  };
  EXPECT_GE(chicnt("n"), 17500);
  EXPECT_LE(chicnt("n"), 20500);
  EXPECT_GE(chicnt("m"), 26500);
  EXPECT_LE(chicnt("m"), 30500);
}

TEST(SamplerPosteriorE2E, LikelihoodsBelowTheDoubleRange) {
  // x and y boxes of -2..2: chi^2 up to about 6900 at the corners.
  ScratchDir d;
  const RunResult r = run_commands(d, setup(d) + "nestsampSet live 1000\n0.7 1.3\n-2 2\n-2 2\nnestsampRun w\n");
  ASSERT_EQ(r.status, 0) << r.out;
  const auto z = rows_of(d.read("w-done.dat"))[0];
  EXPECT_NEAR(z[3], kVolumeEvidence, 3 * z[5]);
  EXPECT_NEAR(z[0], 1.1241e-4, 3 * z[2]);
  ASSERT_TRUE(std::isfinite(z[2]));
  EXPECT_NEAR(z[2] / z[0], 0.08, 0.03);
}

TEST(SamplerPosteriorE2E, ConstantChiSquaredOffsetLeavesPosteriorAndChainsUnchanged) {
  // A limit on alpha (1 against 0.6 +- 0.01) adds 1600 to every chi-squared.
  const std::string cmds =
      "nestsampSet live 300\n0.7 1.3\n-0.5 0.5\n-0.5 0.5\nnestsampRun n\n"
      "MCMCset 1 minsteps 300 maxsteps 601\nMCMCrun c\n";
  ScratchDir a, b;
  const RunResult ra = run_commands(a, setup(a) + cmds);
  const RunResult rb = run_commands(b, setup(b, "1 10 0.6 0.01\n") + cmds);
  ASSERT_EQ(ra.status, 0) << ra.out;
  ASSERT_EQ(rb.status, 0) << rb.out;
  EXPECT_EQ(a.read("n-mean.dat"), b.read("n-mean.dat"));
  EXPECT_EQ(a.read("n-cov.dat"), b.read("n-cov.dat"));
  const auto ca = rows_of(a.read("c-p.dat")), cb = rows_of(b.read("c-p.dat"));
  ASSERT_EQ(ca.size(), cb.size());
  for (size_t i = 1; i < ca.size(); ++i)
    for (int k = 0; k < 3; ++k) ASSERT_EQ(ca[i][k], cb[i][k]) << i;
  // Every likelihood of run b underflows: its evidence prints 0 with a warning.
  EXPECT_EQ(rows_of(b.read("n-done.dat"))[0][0], 0.0);
  EXPECT_NE(rb.out.find("WARNING: evidence below the double range: ln Z = "), std::string::npos);
  EXPECT_GT(rows_of(b.read("n-draw.dat")).size(), 50u);
}
