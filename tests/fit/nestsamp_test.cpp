// Nested sampling: region volume, inside test and enclosure; the evidence and posterior
// of a known Gaussian in the bounding modes, with the optimised set-up, with likelihoods
// far below the double range and with a constant chi-squared offset; the log-space sums
// against the plain sums; repeatability; the refusals.
#include <gtest/gtest.h>

#include <cmath>

#include "fit/sampler_fixture.h"
#include "io/outfile.h"
#include "numeric/constants.h"
#include "numeric/minimize.h"
#include "numeric/random.h"
#include "shell/settings.h"

using namespace sampler_test;

namespace {
// A run state of n parameters and `live` points, drawn from a correlated Gaussian.
void fill_live(int n, int live, int mode) {
  nestsamp_clear();
  NS.NSnvary = n;
  NS.NSlive = live;
  NS.NSmode = mode;
  NS.NSexpand = 1.3;
  nestsamp_alloc(n);
  nestsamp_reset_region();
  NS.NSgseed.restart(3);
  NS.NSrseed.restart(4);
  RandomStream r(11);
  for (int i = 1; i <= live; ++i) {
    const double g1 = gasdev(r), g2 = gasdev(r), g3 = gasdev(r);
    NS.NSparr[i][1] = 1 + 2 * g1;
    if (n > 1) NS.NSparr[i][2] = -1 + 0.5 * g1 + 0.3 * g2;
    if (n > 2) NS.NSparr[i][3] = 0.1 * g3;
    NS.NSlnlike[i] = -0.5 * i;
    NS.NSchi[i] = i;
    nestsamp_sums(i, 1);
  }
  for (int k = 1; k <= n; ++k) {
    NSbnd1.lo[k] = -100;
    NSbnd1.hi[k] = 100;
  }
}

double quad(const Vec& p, int n) {
  double s = 0;
  for (int k = 1; k <= n; ++k)
    for (int l = 1; l <= n; ++l) s += (p[k] - NS.NSmu[k]) * NS.NSCinv[k][l] * (p[l] - NS.NSmu[l]);
  return s;
}

std::vector<double> done_row(const std::string& path) { return read_rows(path).at(0); }
}  // namespace

TEST(NestSampRegion, UnitBallVolume) {
  for (int n = 0; n <= 7; ++n)
    EXPECT_NEAR(unit_ball_volume(n), std::pow(kPi, n / 2.0) / std::tgamma(n / 2.0 + 1), 1e-12) << n;
  EXPECT_DOUBLE_EQ(unit_ball_volume(2), kPi);
  EXPECT_NEAR(unit_ball_volume(3), 4 * kPi / 3, 1e-14);
}

TEST(NestSampRegion, InsideTestOfBothPriorRegions) {
  fill_live(2, 10, 1);
  NSbnd1.lo[1] = 0, NSbnd1.hi[1] = 1, NSbnd1.lo[2] = -1, NSbnd1.hi[2] = 1;
  // Secondary ellipse centred at (0.5, 0), axes 0.4 and 0.1 along directions rotated 90 deg.
  NSbnd2.flag = 1;
  NSbnd2.origin[1] = 0.5, NSbnd2.origin[2] = 0;
  NSbnd2.rotation[1][1] = 0, NSbnd2.rotation[1][2] = 1, NSbnd2.rotation[2][1] = -1, NSbnd2.rotation[2][2] = 0;
  NSbnd2.axes[1] = 0.4, NSbnd2.axes[2] = 0.1;
  NSbnd2.lo[1] = -0.4, NSbnd2.hi[1] = 0.4, NSbnd2.lo[2] = -0.1, NSbnd2.hi[2] = 0.1;
  struct Case {
    double x, y;
    int mode, level1, level2;
  };
  const Case cases[] = {
      {0.5, 0.0, 1, 1, 1},   {0.5, 0.39, 1, 1, 1}, {0.5, 0.41, 1, 1, 0}, {0.59, 0.0, 1, 1, 1},
      {0.61, 0.0, 1, 1, 0},  {0.58, 0.3, 1, 1, 0}, {0.58, 0.3, 3, 1, 1}, {1.2, 0.0, 1, 0, 0},
      {0.5, -1.01, 3, 0, 0}, {0.0, 0.0, 3, 1, 0},
  };
  Vec p(1, 2);
  for (const Case& c : cases) {
    NS.NSmode = c.mode;
    p[1] = c.x;
    p[2] = c.y;
    EXPECT_EQ(NSinbounds(p, 1), c.level1) << c.x << " " << c.y;
    EXPECT_EQ(NSinbounds(p, 2), c.level2) << c.x << " " << c.y << " mode " << c.mode;
  }
  NSbnd2.flag = 0;
  p[1] = 0.0, p[2] = 0.9;
  EXPECT_EQ(NSinbounds(p, 2), 1);  // no secondary region yet
}

TEST(NestSampRegion, DrawingRegionEnclosesTheLivePoints) {
  const int n = 3, live = 300;
  double vol_cov = 0;
  for (int mode : {1, 2, 3}) {
    fill_live(n, live, mode);
    nestsamp_cov();
    Vec p(1, n);
    if (mode == 3) {
      for (int k = 1; k <= n; ++k) {
        double lo = 1e30, hi = -1e30;
        for (int i = 1; i <= live; ++i) {
          double w = 0;
          for (int l = 1; l <= n; ++l) w += NS.NSevec[k][l] * (NS.NSparr[i][l] - NS.NSmu[l]);
          lo = std::min(lo, w);
          hi = std::max(hi, w);
        }
        EXPECT_NEAR(NS.NSprng[1][k], 1.3 * lo, 1e-9);
        EXPECT_NEAR(NS.NSprng[2][k], 1.3 * hi, 1e-9);
      }
    } else {
      // Every live point inside the region, the outermost one on its shrunken boundary.
      const double limit = mode == 1 ? (NS.NSscale / 1.3) * (NS.NSscale / 1.3) : 1.0;
      double dmax = 0;
      for (int i = 1; i <= live; ++i) {
        for (int k = 1; k <= n; ++k) p[k] = NS.NSparr[i][k];
        dmax = std::max(dmax, quad(p, n));
      }
      EXPECT_LE(dmax, limit * (1 + 1e-6)) << mode;
      if (mode == 1) {
        EXPECT_NEAR(dmax, limit, 1e-9 * limit);
      }
      double vol = unit_ball_volume(n);
      for (int k = 1; k <= n; ++k) vol *= std::sqrt(NS.NSeval[k]) * (mode == 1 ? NS.NSscale / 1.3 : 1.0);
      if (mode == 1) vol_cov = vol;
      if (mode == 2) {
        EXPECT_LT(vol, vol_cov * 1.0001);  // the fitted ellipsoid is no larger
      }
      // Draws fall inside the expanded region.
      long count = 0;
      for (int t = 0; t < 2000; ++t) {
        nestsamp_ran(p, 1, count);
        ASSERT_LE(quad(p, n), NS.NSscale * NS.NSscale * (1 + 1e-9));
      }
      EXPECT_EQ(count, 2000);
    }
  }
}

TEST(NestSampRegion, ExtremesKeptPointByPointMatchAFullPass) {
  for (int mode : {1, 3}) {
    fill_live(3, 200, mode);
    nestsamp_cov();
    RandomStream r(5);
    for (int t = 0; t < 500; ++t) {
      // Replace a point (often one of the extremes) and keep the cache current.
      const int i = t % 3 == 0 ? (mode == 3 ? NS.iboxhi[1 + t % 3] : NS.imax) : 1 + static_cast<int>(200 * ran2(r));
      for (int k = 1; k <= 3; ++k) NS.NSparr[i][k] = NS.NSmu[k] + 0.5 * gasdev(r);
      nestsamp_recache(i);
      nestsamp_max();
    }
    const double scale = NS.NSscale;
    Mat box(1, 2, 1, 3);
    for (int k = 1; k <= 3; ++k) box[1][k] = NS.NSprng[1][k], box[2][k] = NS.NSprng[2][k];
    NS.cache_valid = false;
    nestsamp_max();
    if (mode == 3) {
      for (int k = 1; k <= 3; ++k) {
        EXPECT_DOUBLE_EQ(box[1][k], NS.NSprng[1][k]);
        EXPECT_DOUBLE_EQ(box[2][k], NS.NSprng[2][k]);
      }
    } else {
      EXPECT_DOUBLE_EQ(scale, NS.NSscale);
    }
  }
}

TEST(NestSampRegion, AHopelessDrawIsRefused) {
  fill_live(2, 10, 1);
  nestsamp_cov();
  NSbnd1.lo[1] = 50, NSbnd1.hi[1] = 51;  // far from every live point
  Vec p(1, 2);
  long count = 0;
  CaptureOutput out;
  EXPECT_EQ(fatal_message([&] { nestsamp_ran(p, 1, count); }),
            "nestsamp cannot draw a point inside the prior box (check the box and expand)");
  EXPECT_EQ(count, kNSMaxDrawFailures);
}

TEST(NestSampRegion, AReplacementThatNeverScoresLowerIsRefused) {
  fill_live(2, 10, 1);
  nestsamp_cov();
  NS.objective = [](Vec&) { return 1e9; };  // above every live chi-squared
  CaptureOutput out;
  EXPECT_EQ(fatal_message([] { nestsamp_new(3); }),
            "nestsamp cannot find a point below the worst live chi^2 (the live points have collapsed)");
  EXPECT_EQ(NS.NSchicnt, static_cast<double>(kNSMaxDrawFailures));
  NS.objective = nullptr;
}

// The progress log reaches the disk in whole lines only: a row is flushed once the caller
// has completed it, so a run killed at any moment leaves no half line.
TEST(NestSampRegion, ProgressLogIsFlushedInWholeLines) {
  ScratchDir dir;
  fill_live(2, 10, 1);
  nestsamp_cov();
  OutFile log(dir.file("log"), "w");
  NS.NSouttmp = log;
  NS.NSwritebad = 1;
  static int calls;
  calls = 0;
  NS.objective = [](Vec&) { return ++calls == 1 ? 1e9 : 0.5; };  // one refused draw, then a good one
  nestsamp_new(3);
  const std::string text = dir.read("log");
  NS.objective = nullptr;
  NS.NSouttmp = nullptr;
  NS.NSwritebad = 0;
  EXPECT_NE(text.find(" # bad chi^2\nchi "), std::string::npos) << text;
  const std::string last = " # good 2\n";
  ASSERT_GE(text.size(), last.size()) << text;
  EXPECT_EQ(text.substr(text.size() - last.size()), last) << text;
}

TEST(NestSampRegion, CovarianceWithoutCholeskyFactorDrawsFromItsStandardDeviations) {
  fill_live(2, 10, 1);
  NS.NScov[1][1] = 4, NS.NScov[1][2] = NS.NScov[2][1] = 0, NS.NScov[2][2] = 0;
  CaptureOutput out;
  nestsamp_eigen();
  EXPECT_NE(out.text().find("cannot find Cholesky decomposition"), std::string::npos);
  EXPECT_EQ(NS.NSchol[1][1], 2);
  EXPECT_EQ(NS.NSchol[2][2], 0);
  EXPECT_EQ(NS.NSchol[2][1], 0);
  EXPECT_EQ(NS.NSchol[1][2], 0);
}

TEST(NestSampRegion, LiveSumStaysInLogarithms) {
  fill_live(1, 3, 1);
  NS.NSlnlike[1] = -5000, NS.NSlnlike[2] = -5001, NS.NSlnlike[3] = -4990;
  nestsamp_reset_region();
  for (int i = 1; i <= 3; ++i) nestsamp_sums(i, 1);
  const double expect = -4990 + std::log(1 + std::exp(-10.0) + std::exp(-11.0));
  EXPECT_NEAR(std::log(NS.NSsumL) + NS.NSlnLref, expect, 1e-12);
  nestsamp_sums(3, -1);
  EXPECT_NEAR(std::log(NS.NSsumL) + NS.NSlnLref, -5000 + std::log(1 + std::exp(-1.0)), 1e-9);
}

// ---- runs ----

namespace {
struct Expect {
  int mode;
  double chicnt_lo, chicnt_hi;
};
}  // namespace

TEST_F(SamplerTest, EvidenceAndPosteriorOfAGaussianInTwoBoundingModes) {
  for (const Expect& e : {Expect{1, 17500, 20500}, Expect{3, 26500, 30500}}) {
    ns_set({"live", "1000", "mode", std::to_string(e.mode)});
    ns_run("n");
    const std::vector<double> d = done_row(base("n-done.dat"));
    ASSERT_EQ(d.size(), 6u);
    EXPECT_NEAR(d[0], kEvidenceVolume / 0.6, 3 * d[2]) << e.mode;
    EXPECT_NEAR(d[3], kEvidenceVolume, 3 * d[5]) << e.mode;
    EXPECT_NEAR(d[3], 0.6 * d[0], 1e-6 * d[0]);
    EXPECT_NEAR(d[2] / d[0], 0.06, 0.02);
    const auto mean = read_rows(base("n-mean.dat"));
    ASSERT_EQ(mean.size(), 3u);
    for (int k = 0; k < 3; ++k) EXPECT_NEAR(mean[k][1], kMean[k], 0.15 * kSd[k]) << e.mode << " " << k;
    const auto cov = read_rows(base("n-cov.dat"));
    ASSERT_EQ(cov.size(), 6u);  // each pair once
    EXPECT_NEAR(cov[0][2] / (kSd[0] * kSd[0]), 1, 0.15);
    EXPECT_NEAR(cov[3][2] / (kSd[1] * kSd[1]), 1, 0.15);
    EXPECT_NEAR(cov[5][2] / (kSd[2] * kSd[2]), 1, 0.15);
    EXPECT_NEAR(cov[4][2] / (kCorrXY * kSd[1] * kSd[2]), 1, 0.15);
    EXPECT_NEAR(cov[1][2], 0, 0.1 * kSd[0] * kSd[1]);
    EXPECT_NEAR(cov[2][2], 0, 0.1 * kSd[0] * kSd[2]);
    EXPECT_GE(NS.NSchicnt, e.chicnt_lo) << e.mode;
    EXPECT_LE(NS.NSchicnt, e.chicnt_hi) << e.mode;
    EXPECT_FALSE(TSstore.built);
  }
}

TEST_F(SamplerTest, OptimisedStartGivesTheSameEvidence) {
  ns_set({"live", "1000", "chicut", "30"});
  ns_run("o");
  const std::vector<double> d = done_row(base("o-done.dat"));
  EXPECT_NEAR(d[0], kEvidenceVolume / 0.6, 3 * d[2]);
  EXPECT_NEAR(d[3], kEvidenceVolume, 3 * d[5]);
  EXPECT_LT(NSbnd2.volume, NSbnd1.volume);
  EXPECT_EQ(NSbnd2.flag, 1);
}

TEST_F(SamplerTest, LikelihoodsBelowTheDoubleRangeKeepTheEvidence) {
  // x and y boxes of -2..2: the corners have chi^2 near 6900 (L = 0 as a double).
  ns_set({"live", "1000"}, "0.7 1.3\n-2 2\n-2 2\n");
  ns_run("w");
  const std::vector<double> d = done_row(base("w-done.dat"));
  EXPECT_NEAR(d[3], kEvidenceVolume, 3 * d[5]);
  EXPECT_NEAR(d[0], 1.1241e-4, 3 * d[2]);
  ASSERT_TRUE(std::isfinite(d[2]));
  EXPECT_NEAR(d[2] / d[0], 0.08, 0.03);
  for (const auto& r : read_rows(base("w-mean.dat"))) EXPECT_TRUE(std::isfinite(r[2]));
}

TEST_F(SamplerTest, ConstantOffsetOfTheChiSquaredChangesOnlyTheEvidenceScale) {
  ns_set({"live", "200", "draw", "150"});
  ns_run("a");
  const double lnZa = NSresult.lnZtot;
  chi_offset = 1600;
  CaptureOutput out;
  ns_run("b");
  EXPECT_NEAR(NSresult.lnZtot, lnZa - 800, 1e-6);
  EXPECT_EQ(slurp(base("a-mean.dat")), slurp(base("b-mean.dat")));
  EXPECT_EQ(slurp(base("a-cov.dat")), slurp(base("b-cov.dat")));
  EXPECT_EQ(slurp(base("a-draw.dat")).size() > 100, true);
  EXPECT_EQ(read_rows(base("a-draw.dat")).size(), read_rows(base("b-draw.dat")).size());
  EXPECT_EQ(done_row(base("b-done.dat"))[0], 0.0);
  EXPECT_NE(out.text().find(strformat("WARNING: evidence below the double range: ln Z = %e", lnZa - 800)
                                .substr(0, 52)),
            std::string::npos);
  // nestsampDraw: every w of run b underflowed; the weights come from X and chi^2.
  run_handler(nestsampDraw, cmd({"nestsampDraw", base("a"), base("da.dat"), "150"}));
  run_handler(nestsampDraw, cmd({"nestsampDraw", base("b"), base("db.dat"), "150"}));
  const double na = static_cast<double>(read_rows(base("da.dat")).size());
  const double nb = static_cast<double>(read_rows(base("db.dat")).size());
  EXPECT_GT(na, 100);
  EXPECT_NEAR(nb, na, 0.05 * na);
}

TEST_F(SamplerTest, LogarithmicSumsAgreeWithThePlainSums) {
  ns_set({"live", "50", "minsteps", "200"});
  ns_run("s");
  const auto rows = read_rows(base("s-nest.dat"));
  const unsigned long S = NSresult.steps;
  ASSERT_EQ(rows.size(), S + 50);
  const double live = 50, t1 = live / (live + 1), t2 = (live + 1) / (live + 2);
  double X = 1, X2 = 1, Z = 0, Z2 = 0, Y = 0, H = 0;
  for (unsigned long i = 0; i < S; ++i) {
    X *= t1;
    X2 *= t2;
    const double L = std::exp(-rows[i][1] / 2), w = X * L / live;
    EXPECT_NEAR(rows[i][2], w, w * (1e-6 + 5e-7 * rows[i][1]));  // printed to 7 digits
    Z += w;
    Y += X2 * L;
    Z2 += 2 * w * Y / (live + 1);
    H += w * std::log(L);
  }
  double Zlive = 0;
  for (size_t i = S; i < rows.size(); ++i) Zlive += X * std::exp(-rows[i][1] / 2) / live;
  const double Ztot = Z + Zlive;
  EXPECT_NEAR(std::exp(NSresult.lnZ), Z, 1e-5 * Z);
  EXPECT_NEAR(std::exp(NSresult.lnZtot), Ztot, 1e-5 * Ztot);
  const double sigZ = std::sqrt(Z2 - Z * Z), sigH = Ztot * std::sqrt((H / Ztot - std::log(Ztot)) / live);
  EXPECT_NEAR(std::exp(NSresult.lnsigZ), sigZ, 1e-3 * sigZ);
  EXPECT_NEAR(std::exp(NSresult.lnsigH), sigH, 1e-4 * sigH);
  // The stop test is never made before step minsteps + 1.
  EXPECT_GT(S, 200u);
}

TEST_F(SamplerTest, NoStepsLeavesOnlyTheLivePoints) {
  ns_set({"live", "20", "maxsteps", "0"});
  ns_run("z");
  const auto rows = read_rows(base("z-nest.dat"));
  ASSERT_EQ(rows.size(), 20u);
  double mean_L = 0;
  for (const auto& r : rows) {
    EXPECT_EQ(r[0], 1);
    EXPECT_NEAR(r[2], std::exp(-r[1] / 2) / 20, r[2] * (1e-6 + 5e-7 * r[1]));
    mean_L += std::exp(-r[1] / 2) / 20;
  }
  EXPECT_FALSE(dir.exists("z-best.dat"));
  for (const char* f : {"z-mean.dat", "z-cov.dat", "z-draw.dat", "z-cdf.dat"})
    EXPECT_TRUE(read_rows(base(f)).empty()) << f;
  const std::vector<double> d = done_row(base("z-done.dat"));
  EXPECT_NEAR(d[0], mean_L, 1e-4 * mean_L);
  EXPECT_EQ(d[1], 0);
}

TEST_F(SamplerTest, RunUsesTheStoreOfItsSetEvenAfterOtherFits) {
  ns_set({"live", "60", "maxsteps", "300"});
  ns_run("p");
  const std::string first = slurp(base("p-nest.dat"));
  // A chain run in between builds and frees the store; the model's vary flags change.
  mcmc_set({"1", "maxsteps", "20"});
  mcmc_run_cmd("c");
  load_model("alpha 1.2 0.3 -0.3 0 0 0 0 0 0 1\n", "1 0 0 0 0 0 0 0 0 0\n");
  ns_run("q");
  EXPECT_EQ(slurp(base("q-nest.dat")), first);
  EXPECT_EQ(read_rows(base("q-mean.dat")).size(), 3u);
}

TEST_F(SamplerTest, SameSeedSameRunWhateverElseDrawsFromTheSharedGenerators) {
  for (const char* mode : {"1", "2", "3"}) {
    for (long seed : {-15L, 15L}) {
      SetVar("seed", 0, static_cast<double>(seed));
      SetGlob();
      ns_set({"live", "60", "maxsteps", "300", "mode", mode});
      ns_run("a");
      disturb_shared = true;
      ns_run("b");
      disturb_shared = false;
      EXPECT_EQ(slurp(base("a-nest.dat")), slurp(base("b-nest.dat"))) << mode << " " << seed;
      EXPECT_EQ(slurp(base("a-draw.dat")), slurp(base("b-draw.dat"))) << mode << " " << seed;
    }
  }
}

TEST_F(SamplerTest, SetRefusals) {
  struct Case {
    std::vector<std::string> set;
    const char* box;
    const char* message;
  };
  const Case cases[] = {
      {{"update", "0"}, "", "nestsamp needs update of at least 1"},
      {{"rescale", "0.5"}, "", "nestsamp needs rescale of at least 1"},
      {{"expand", "0"}, "", "nestsamp needs a positive expand"},
      {{"live", "3"}, "", "nestsamp needs more live points than the 3 varied parameters (live)"},
      {{"live", "3e9"}, "", "nestsamp needs live of at most 1000000000"},
      {{"live", "10"}, "0.7 1.3\n0.5 0.5\n", "nestsamp box line 2 needs hi above lo"},
      {{"live", "10"}, "0.7 1.3\n0.5\n", "too few inputs"},
      {{"live", "10"}, "0.7 1.3\n", "too few inputs"},
  };
  for (const Case& c : cases) {
    NSctl = NestSampControl();
    EXPECT_EQ(fatal_message([&] { ns_set(c.set, c.box); }), c.message);
  }
  // Without a set-up the run only warns.
  nestsamp_clear();
  CaptureOutput out;
  ns_run("x");
  EXPECT_EQ(out.text(), "WARNING: You need to do nestsampSet before nestsampRun.\n");
}

TEST_F(SamplerTest, OptimisedStartThatCannotReachTheCutIsRefused) {
  CaptureOutput out;
  EXPECT_EQ(fatal_message([&] { ns_set({"live", "10", "chicut", "1e-300"}); ns_run("f"); }),
            "nestsamp optimisation did not get below chicut in 1000 tries (raise chicut)");
  EXPECT_EQ(minimizer_state.amoeba_cut_flag, 0);
}

TEST_F(SamplerTest, ACutNoChiSquaredCanReachIsRefusedAtOnce) {
  // A cut at or below 0 ends the set-up before any box line is read or any start searched.
  for (const char* cut : {"0", "-1"}) {
    NSctl = NestSampControl();
    EXPECT_EQ(fatal_message([&] {
                ns_set({"live", "10", "chicut", cut}, "");
              }),
              "in nestsampSet, chicut must be positive")
        << cut;
  }
}

TEST_F(SamplerTest, SetAdjustsExpandAndDraw) {
  CaptureOutput out;
  ns_set({"live", "100", "minsteps", "1000", "draw", "5000", "expand", "0.5"});
  EXPECT_NE(out.text().find("WARNING: nestsamp: expansion factor should be >=1\n"), std::string::npos);
  EXPECT_NE(out.text().find("WARNING: in nestsamp, draw should not exceed minsteps+live\n"), std::string::npos);
  EXPECT_EQ(NS.NSexpand, 2.0);
  EXPECT_EQ(NS.NSdraw, 1100.0);
  EXPECT_NEAR(NSbnd1.volume, 0.6, 1e-12);
}
