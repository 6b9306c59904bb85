// Markov chains: the Gelman-Rubin test and the step-scale rule on fixed values, chain
// moments against a known Gaussian posterior, repeatability from the seed, the two chain
// stores, subsampling and the refusals.
#include <gtest/gtest.h>

#include <cmath>

#include "fit/sampler_fixture.h"
#include "shell/settings.h"

using namespace sampler_test;

TEST(GelmanRubin, FixedSums) {
  // Chain 1 holds 0, 1, 2, 3 and chain 2 holds 1, 2, 3, 4 (s = 3 steps after the start).
  const double S[2] = {6, 10}, Q[2] = {14, 30};
  const GelmanRubin g = gelman_rubin(2, 3, S, Q);
  EXPECT_NEAR(g.W, 1.875, 1e-12);
  EXPECT_NEAR(g.B, 1.5, 1e-12);
  EXPECT_NEAR(g.V, 1.75, 1e-12);
  EXPECT_NEAR(g.Rhat, std::sqrt(1.75 / 1.875), 1e-12);
  // Identical chains: no variance between them.
  const double S2[3] = {6, 6, 6}, Q2[3] = {14, 14, 14};
  EXPECT_NEAR(gelman_rubin(3, 3, S2, Q2).Rhat, std::sqrt(2.0 / 3.0), 1e-12);
  // A test after one step never converges.
  const double S1[2] = {1, 2}, Q1[2] = {1, 2};
  EXPECT_TRUE(std::isnan(gelman_rubin(2, 1, S1, Q1).Rhat));
}

TEST(StepScale, RateRule) {
  struct Case {
    double rate, scale_after;
  };
  for (const Case& c : {Case{0.1, 0.5}, Case{0.2499, 0.5}, Case{0.25, 1.0}, Case{0.75, 1.0}, Case{0.7501, 2.0}}) {
    double scale = 1;
    int inrange = 0;
    mcmc_tune_scale(c.rate, 2.0, scale, inrange);
    EXPECT_DOUBLE_EQ(scale, c.scale_after) << c.rate;
  }
  // Ten in-range checks raise the scale once; out-of-range checks do not reset the count.
  double scale = 1;
  int inrange = 0;
  for (int i = 0; i < 5; ++i) EXPECT_FALSE(mcmc_tune_scale(0.5, 2.0, scale, inrange));
  mcmc_tune_scale(0.1, 2.0, scale, inrange);
  EXPECT_DOUBLE_EQ(scale, 0.5);
  for (int i = 0; i < 4; ++i) EXPECT_FALSE(mcmc_tune_scale(0.5, 2.0, scale, inrange));
  EXPECT_TRUE(mcmc_tune_scale(0.5, 2.0, scale, inrange));
  EXPECT_DOUBLE_EQ(scale, 1.0);
  EXPECT_EQ(inrange, 0);
}

namespace {
struct Moments {
  double mean[4] = {}, var[4] = {}, corr = 0;
  long rows = 0;
};
// Moments of columns 0..3 (b, x, y, then the h column at 3 or the extra coordinate).
Moments moments(const std::vector<std::vector<double>>& rows, int first) {
  Moments m;
  double s[4] = {}, q[4] = {}, sxy = 0;
  for (size_t r = first; r < rows.size(); ++r) {
    for (int k = 0; k < 4; ++k) {
      s[k] += rows[r][k];
      q[k] += rows[r][k] * rows[r][k];
    }
    sxy += rows[r][1] * rows[r][2];
  }
  const double N = static_cast<double>(rows.size() - first);
  m.rows = static_cast<long>(N);
  for (int k = 0; k < 4; ++k) {
    m.mean[k] = s[k] / N;
    m.var[k] = q[k] / N - m.mean[k] * m.mean[k];
  }
  m.corr = (sxy / N - m.mean[1] * m.mean[2]) / std::sqrt(m.var[1] * m.var[2]);
  return m;
}

void expect_posterior(const Moments& m, const char* label) {
  for (int k = 0; k < 3; ++k) {
    EXPECT_NEAR(m.mean[k], kMean[k], 0.2 * kSd[k]) << label << " coordinate " << k;
    EXPECT_NEAR(m.var[k] / (kSd[k] * kSd[k]), 1.0, 0.2) << label << " coordinate " << k;
  }
  EXPECT_NEAR(m.corr, kCorrXY, 0.05) << label;
}
}  // namespace

TEST_F(SamplerTest, ChainsReproduceAGaussianPosteriorInBothModes) {
  for (const char* mode : {"1", "2"}) {
    mcmc_set({mode, "minsteps", "4000"});
    mcmc_run_cmd(std::string("c") + mode);
    const auto rows = read_rows(base(std::string("c") + mode + "-p.dat"));
    ASSERT_GT(rows.size(), 1000u);
    EXPECT_EQ(static_cast<size_t>(rows[0][0]), rows.size() - 1);  // the count line
    const Moments m = moments(rows, 1);
    expect_posterior(m, mode);
    EXPECT_NEAR(m.mean[3], 0.7, 1e-9);  // h column: hval with no observed source
    EXPECT_NEAR(m.var[3], 0.0, 1e-9);
    // The model reports and start models follow the rows.
    const std::string dat = slurp(base(std::string("c") + mode + ".dat"));
    EXPECT_EQ(count_occurrences(dat, "LENS PARMS:\n"), static_cast<int>(rows.size() - 1));
    const std::string start = slurp(base(std::string("c") + mode + ".startN"));
    EXPECT_EQ(start.rfind(" 1 1 1 0 0 0 0 0 0 0\n"), start.size() - 21);
  }
}

TEST_F(SamplerTest, HubbleParameterAsAChainCoordinate) {
  mcmc_set({"1", "minsteps", "4000", "hinchain", "1", "Nchain", "12"});
  const double hval = settings.hval, hvale = settings.hvale;
  mcmc_run_cmd("ch");
  EXPECT_EQ(settings.hval, hval);  // restored after the run
  EXPECT_EQ(settings.hvale, hvale);
  const auto rows = read_rows(base("ch-p.dat"));
  ASSERT_GT(rows.size(), 1000u);
  const Moments m = moments(rows, 1);
  EXPECT_NEAR(m.mean[3], 0.7, 0.02);
  EXPECT_NEAR(std::sqrt(m.var[3]), 0.1, 0.02);
  for (size_t r = 1; r < rows.size(); ++r) ASSERT_EQ(rows[r][3], rows[r][4]);  // h column = h coordinate
}

TEST_F(SamplerTest, SameSeedSameChainsWhateverElseDrawsFromTheSharedGenerators) {
  mcmc_set({"2", "minsteps", "300", "maxsteps", "600"});
  for (long seed : {-15L, 15L}) {
    SetVar("seed", 0, static_cast<double>(seed));
    SetGlob();
    mcmc_run_cmd("a");
    disturb_shared = true;
    mcmc_run_cmd("b");
    disturb_shared = false;
    EXPECT_EQ(slurp(base("a-p.dat")), slurp(base("b-p.dat"))) << seed;
    EXPECT_EQ(slurp(base("a-3.tmp")), slurp(base("b-3.tmp"))) << seed;
  }
}

TEST_F(SamplerTest, ConstantOffsetOfTheChiSquaredLeavesTheChainsUnchanged) {
  mcmc_set({"1", "minsteps", "300", "maxsteps", "600"});
  mcmc_run_cmd("a");
  chi_offset = 1600;
  mcmc_run_cmd("b");
  const auto a = read_rows(base("a-p.dat")), b = read_rows(base("b-p.dat"));
  ASSERT_EQ(a.size(), b.size());
  for (size_t r = 1; r < a.size(); ++r) {
    for (int k = 0; k < 3; ++k) ASSERT_EQ(a[r][k], b[r][k]) << r;
    ASSERT_NEAR(b[r][4] - a[r][4], 1600, 1e-3);  // chi-squared printed to 7 digits
    ASSERT_EQ(a[r][5], b[r][5]);
  }
}

TEST_F(SamplerTest, InMemoryChainsGiveTheRowsOfTheChainFiles) {
  mcmc_set({"1", "minsteps", "200", "maxsteps", "401", "Nwrite", "3"});
  mcmc_run_cmd("f");
  mcmc_set({"1", "tempfiles", "0"});
  mcmc_run_cmd("m");
  const std::string f = slurp(base("f-p.dat")), m = slurp(base("m-p.dat"));
  EXPECT_EQ(f, m);
  // 400 steps stored every 3rd: R = 133, H = 66, rows 67..133 of each of 10 chains.
  EXPECT_EQ(f.substr(0, f.find('\n')), "670");
  EXPECT_FALSE(dir.exists("m-1.tmp"));
}

TEST_F(SamplerTest, SubsamplingDrawsStoredRowsOnly) {
  // One step: R = 1, H = 0; only row 1 (the starting point) can be drawn.
  mcmc_set({"1", "tempfiles", "0", "subsamp", "3", "maxsteps", "2", "spread", "0"});
  mcmc_run_cmd("s");
  auto rows = read_rows(base("s-p.dat"));
  ASSERT_EQ(rows.size(), 31u);
  EXPECT_EQ(rows[0][0], 30);
  for (size_t r = 1; r < rows.size(); ++r) {
    EXPECT_DOUBLE_EQ(rows[r][0], 1.2);  // the starting model (spread 0)
    EXPECT_EQ(rows[r][5], -1);
  }
  // No step at all: nothing to draw, the count lines say 0.
  mcmc_set({"1", "maxsteps", "1"});
  mcmc_run_cmd("z");
  rows = read_rows(base("z-p.dat"));
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0][0], 0);
  EXPECT_NE(slurp(base("z.startN")).find("1 0\n"), std::string::npos);
  // Longer chains: drawn rows come from the second halves.
  mcmc_set({"1", "maxsteps", "401", "minsteps", "1000", "spread", "1"});
  mcmc_run_cmd("h");
  rows = read_rows(base("h-p.dat"));
  ASSERT_EQ(rows.size(), 31u);
  for (size_t r = 1; r < rows.size(); ++r) EXPECT_GE(rows[r][5], 0);
}

TEST_F(SamplerTest, Refusals) {
  struct Case {
    std::vector<std::string> set;
    const char* message;
  };
  const Case cases[] = {
      {{"1", "Nchain", "1"}, "MCMC requires multiple chains"},
      {{"1", "Nchain", "3"}, "MCMC requires more chains than variables"},
      {{"1", "subsamp", "1"}, "MCMC: subsampling currentl requires tempfiles=0"},
      {{"1", "Ncheck", "0.5"}, "MCMC requires Ncheck of at least 1"},
      {{"1", "Nwrite", "0"}, "MCMC requires Nwrite of at least 1"},
      {{"1", "stepfac", "0"}, "MCMC requires a positive stepfac"},
      {{"3"}, "hybrid mode with parameter derivatives is currently disabled"},
      {{"0", "maxsteps", "10"}, "unknown MCMC mode"},
  };
  for (const Case& c : cases) {
    MCctl = MCMCControl();
    mcmc_set(c.set);
    EXPECT_EQ(fatal_message([&] { mcmc_run_cmd("r"); }), c.message);
    EXPECT_FALSE(TSstore.built);  // released on the way out
  }
  MCctl = MCMCControl();
  mcmc_set({"1", "hinchain", "1"});
  SetVar("hvale", 0, 0);
  SetGlob();
  EXPECT_EQ(fatal_message([&] { mcmc_run_cmd("r"); }), "MCMC cannot use hinchain feature with hvale=0");
  // Before MCMCset the run stops at the first step, after writing the starting points.
  MCctl = MCMCControl();
  SetVar("hvale", 0, 0.1);
  SetGlob();
  EXPECT_EQ(fatal_message([&] { mcmc_run_cmd("u"); }), "unknown MCMC mode");
  EXPECT_EQ(read_rows(base("u-1.tmp")).size(), 1u);
}

TEST_F(SamplerTest, SetPrintsTheValuesAndWarnsOfUnknownKeywords) {
  CaptureOutput out;
  mcmc_set({"2", "Nchain", "20", "bogus", "3", "stepfac", "0.5"});
  const std::string t = out.text();
  EXPECT_NE(t.find("Warning in MCMCset: unknown keyword 'bogus'\n"), std::string::npos);
  EXPECT_NE(t.find("MCMC parameters:\nNchain:    20\n"), std::string::npos);
  EXPECT_NE(t.find("stepfac:   0.500000\n"), std::string::npos);
  EXPECT_NE(t.find("dumbfrac: 0.050000\n"), std::string::npos);
  EXPECT_EQ(MCctl.MCmode, 2);
}
