// Clump populations through their commands: the expected numbers, repeatable draws from
// their own streams, the count, radius and mass distributions, the far zone, the
// evaluator's use of the clumps, and the refusals.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "core/command_fixture.h"
#include "core/lens_model.h"
#include "models/component.h"
#include "models/evaluator.h"
#include "models/substructure.h"
#include "numeric/constants.h"
#include "numeric/random.h"
#include "shell/settings.h"
#include "shell/vars.h"
#include "sim/clumps.h"

namespace {

const char* kSphere = "alpha 1 0 0 0 0 0 0 0.05 0 1";

class ClumpPopTest : public CommandTest {
 protected:
  void model(const std::vector<std::string>& lines) {
    std::string text = std::to_string(lines.size()) + " 1\n";
    for (const auto& l : lines) text += l + "\n";
    for (size_t k = 0; k < lines.size(); ++k) text += "0 0 0 0 0 0 0 0 0 0\n";
    dir.write("model.dat", text);
    run_handler(setlens, cmd({"setlens", dir.file("model.dat")}));
  }
  // Runs setclumps with the population lines; returns what it printed (not quiet).
  std::string set_clumps(std::vector<std::string> words, const std::string& lines) {
    CommandInput in(lines);
    words.insert(words.begin(), "setclumps");
    CaptureOutput cap;
    quietflag = 0;
    run_handler(setclumps, WordArray(words));
    quietflag = 1;
    return cap.text();
  }
  void draw(long a, long b, long c) {
    run_handler(drawclumps, cmd({"drawclumps", std::to_string(a), std::to_string(b), std::to_string(c)}));
  }
  ClumpPop& pop(int i = 1) { return TWclump.clumpdat[i]; }
  // The clumps of component i's tree in tree order.
  std::vector<FlatClump> clumps(int i = 1) {
    const ClumpPop& p = pop(i);
    if (!p.root || !p.root->own_pool) return {};
    return p.root->own_pool->order;
  }
  ScratchDir dir;
};

TEST_F(ClumpPopTest, ExpectedNumberAndRepeatableDrawsFromTheirOwnStreams) {
  model({kSphere});
  const std::string out = set_clumps({"1", "0", "3"}, "1 0.001 1 0 star 0\n");
  EXPECT_NE(out.find("Number of clumps:  9269.01\n"), std::string::npos) << out;
  EXPECT_NE(out.find("Number of clumps (fixed):  9269\n"), std::string::npos) << out;
  EXPECT_NEAR(pop().Nexp, kPi * (std::sqrt(0.0025 + 9) - 0.05) / 0.001, 0.05);
  const auto first = clumps();
  ASSERT_EQ(first.size(), 9269u);
  // Another caller's stream on the shared tables is not disturbed by the draws.
  long s = -3;
  const double a1 = ran2(s), a2 = ran2(s), a3 = ran2(s);
  s = -3;
  EXPECT_EQ(ran2(s), a1);
  for (long seed : {-15L, 7L, 0L}) {
    SetVar("seed", 0, static_cast<double>(seed));
    run_handler(drawclumps, cmd({"drawclumps"}));
    const auto one = clumps();
    run_handler(drawclumps, cmd({"drawclumps"}));
    const auto two = clumps();
    ASSERT_EQ(one.size(), two.size());
    for (size_t k = 0; k < one.size(); ++k) {
      ASSERT_EQ(one[k].x, two[k].x) << "seed " << seed;
      ASSERT_EQ(one[k].y, two[k].y);
    }
    if (seed == -15) {
      EXPECT_EQ(one[0].x, first[0].x);
    }
    if (seed == 7) {  // seeds 7 and -7 start the same stream; -15 another
      draw(-7, -7, -7);
      EXPECT_EQ(clumps()[0].x, one[0].x);
      EXPECT_NE(one[0].x, first[0].x);
    }
  }
  EXPECT_EQ(ran2(s), a2);
  EXPECT_EQ(ran2(s), a3);
}

TEST_F(ClumpPopTest, CountsArePoissonAndRadiesFollowTheEnclosedMass) {
  model({kSphere});
  set_clumps({"1", "0", "3"}, "1 0.01 1 0 star\n");  // Poisson counts, mean 926.9
  const double mean = pop().Nexp;
  const int n = 300;
  double s1 = 0, s2 = 0;
  for (int k = 1; k <= n; ++k) {
    draw(k, k, k);
    const double c = static_cast<double>(pop().ndrawn);
    s1 += c;
    s2 += c * c;
  }
  const double m = s1 / n, var = s2 / n - m * m;
  EXPECT_NEAR(m, mean, 4 * std::sqrt(mean / n));
  EXPECT_NEAR(var / mean, 1.0, 0.35);  // 4 sigma of a sample variance of 300
  // Radii: cumulative (sqrt(s^2 + R^2) - s)/(sqrt(s^2 + 9) - s) for the softened sphere.
  set_clumps({"1", "0", "3"}, "1 0.001 1 0 star 0\n");
  std::vector<double> r;
  for (const auto& c : clumps()) r.push_back(std::hypot(c.x, c.y));
  std::sort(r.begin(), r.end());
  const double s = 0.05, norm = std::sqrt(s * s + 9) - s;
  double ks = 0;
  for (size_t k = 0; k < r.size(); ++k) {
    const double F = (std::sqrt(s * s + r[k] * r[k]) - s) / norm;
    ks = std::max({ks, std::fabs(F - static_cast<double>(k) / r.size()), std::fabs(F - (k + 1.0) / r.size())});
  }
  EXPECT_LT(ks, 0.025);
}

TEST_F(ClumpPopTest, MassFunctionDrawsWithinItsRange) {
  model({kSphere});
  std::string out = set_clumps({"1", "0", "3"}, "1 0.001 100 -1.9 star\n");
  EXPECT_NE(out.find("Clump population: meff = 4.576406e-03"), std::string::npos) << out;
  auto check = [&](double lo, double hi, double mean, double tol) {
    double sum = 0;
    const auto cl = clumps();
    for (const auto& c : cl) {
      EXPECT_GE(c.prof.m, lo * (1 - 1e-12));
      EXPECT_LE(c.prof.m, hi * (1 + 1e-12));
      sum += c.prof.m;
    }
    EXPECT_NEAR(sum / cl.size(), mean, tol * mean);
  };
  check(1.869574e-4, 1.869574e-2, 1e-3, 0.06);
  // beta = -1 and -2 take the logarithmic forms; m < 0 gives the low end.
  set_clumps({"1", "0", "3"}, "1 -0.0002 50 -1 star\n");
  EXPECT_NEAR(pop().m, 2e-4 * 49 / std::log(50.0), 1e-15);
  check(2e-4, 1e-2, pop().m, 0.08);
  set_clumps({"1", "0", "3"}, "1 -0.0002 50 -2 star\n");
  EXPECT_NEAR(pop().m, 2e-4 * std::log(50.0) / (1 - 1 / 50.0), 1e-15);
  check(2e-4, 1e-2, pop().m, 0.08);
  set_clumps({"1", "0", "3"}, "1 0.002 1 -1.9 star\n");  // one mass
  EXPECT_EQ(pop().meff, 0.002);
  check(0.002, 0.002, 0.002, 1e-12);
}

TEST_F(ClumpPopTest, TruncationKeepsTheInnerClumpsOfTheSameRealisation) {
  model({kSphere});
  set_clumps({"1", "0", "3"}, "1 0.005 1 0 star\n");
  const auto all = clumps();
  TWclump.clumpRmax = 1.0;
  run_handler(drawclumps, cmd({"drawclumps"}));
  TWclump.clumpRmax = 0;
  std::vector<std::pair<double, double>> inner, kept;
  for (const auto& c : all)
    if (std::hypot(c.x, c.y) < 1.0) inner.push_back({c.x, c.y});
  for (const auto& c : clumps()) kept.push_back({c.x, c.y});
  std::sort(inner.begin(), inner.end());
  std::sort(kept.begin(), kept.end());
  EXPECT_EQ(inner, kept);
  EXPECT_GT(kept.size(), 100u);
}

TEST_F(ClumpPopTest, ClumpsReplaceTheParentInEvaluations) {
  model({kSphere, "ptmass 0.1 2 0 0 0 0 0 0 0 0"});
  const double P[7] = {};
  double smooth[7];
  potdefmag(0.7, 0.2, smooth[0], smooth[1], smooth[2], smooth[3], smooth[4], smooth[5], smooth[6]);
  set_clumps({"1", "0", "3"}, "1 0.001 1 0 star 0\n");
  double with[7];
  potdefmag(0.7, 0.2, with[0], with[1], with[2], with[3], with[4], with[5], with[6]);
  // The clumps carry the parent's mass: the deflection stays close, the field is lumpy.
  DerivVector tree;
  TreeCalc(pop().root.get(), tree, 0.7, 0.2);
  initgal(2);
  DerivVector pm;
  ellipse(pm, 0.7, 0.2);
  EXPECT_NEAR(with[1], tree[2] + pm[2], 1e-12);
  EXPECT_NEAR(with[1], smooth[1], 0.05);
  // clumpmode 0: the smooth parent again; a listed clump component is then left out.
  SetVar("clumpmode", 0, 0);
  SetGlob();
  double off[7];
  potdefmag(0.7, 0.2, off[0], off[1], off[2], off[3], off[4], off[5], off[6]);
  EXPECT_EQ(off[1], smooth[1]);
  run_handler(clumplist, cmd({"clumplist", "2"}));
  potdefmag(0.7, 0.2, off[0], off[1], off[2], off[3], off[4], off[5], off[6]);
  EXPECT_NEAR(off[1], smooth[1] - pm[2], 1e-12);
  (void)P;
}

TEST_F(ClumpPopTest, GaussianClumpsHaveAPotentialThatTheTreeApproximates) {
  model({kSphere});
  set_clumps({"1", "0", "3"}, "1 0.001 1 0 gaus 1 0\n");
  RandomStream r(9);
  double worst = 0;
  for (int i = 0; i < 30; ++i) {
    const double x = 2.4 * (ran2(r) - 0.5), y = 2.4 * (ran2(r) - 0.5);
    settings.leafsize = 0.4;
    settings.leaferr = 1e30;
    DerivVector t, e;
    TreeCalc(pop().root.get(), t, x, y);
    settings.leafsize = settings.leaferr = 0;
    TreeCalc(pop().root.get(), e, x, y);
    EXPECT_NE(e[1], 0.0);
    worst = std::max(worst, std::fabs(t[1] - e[1]));
  }
  EXPECT_LT(worst, 1e-2);
}

TEST_F(ClumpPopTest, FarZoneMomentsAndDraws) {
  model({kSphere});
  run_handler(farclumps, cmd({"farclumps", "1", "2.5", "4"}));
  const std::string out = set_clumps({"1", "0", "3"}, "1 0.001 1 0 star 0\n");
  EXPECT_NE(out.find(" 7698.47 explicit\n"), std::string::npos) << out;
  EXPECT_NE(out.find(" 1570.53 outer zone\n"), std::string::npos) << out;
  const ClumpPop& p = pop();
  const double var[4] = {2.652135e-6, 3.575465e-7, 4.873101e-8, 6.712628e-9};
  for (int l = 1; l <= 4; ++l) {
    EXPECT_NEAR(p.cov[2 * l - 1][2 * l - 1], var[l - 1], 1e-4 * var[l - 1]);
    EXPECT_NEAR(p.cov[2 * l][2 * l], var[l - 1], 1e-4 * var[l - 1]);
    EXPECT_NEAR(p.mean[2 * l - 1], 0.0, 1e-6 * std::sqrt(var[l - 1]));
    for (int b = 1; b <= 8; ++b)
      if (b != 2 * l) {
        EXPECT_NEAR(p.cov[2 * l][b], 0.0, 1e-6 * var[l - 1]);
      }
  }
  // The explicit clumps come from the first two streams, the coefficients from the third.
  draw(5, 6, 7);
  const auto a = clumps();
  const Vec ca = pop().coef;
  draw(5, 6, 8);
  const auto b = clumps();
  ASSERT_EQ(a.size(), b.size());
  EXPECT_EQ(a[10].x, b[10].x);
  EXPECT_NE(ca[1], pop().coef[1]);
  // The multipole field: no convergence, deflection the gradient of the potential, finite
  // at the centre, valid up to R2 and refused beyond.
  auto F = [&](double x, double y) {
    DerivVector d;
    ClumpMpoleCalc(1, d, x, y);
    return d;
  };
  const double h = 1e-5;
  for (auto pt : {std::pair<double, double>{0.6, -0.9}, {0.0, 0.0}, {-1.2, 0.3}}) {
    const DerivVector d = F(pt.first, pt.second);
    EXPECT_EQ(d[4], -d[5]);
    for (int q = 1; q <= 6; ++q) EXPECT_TRUE(std::isfinite(d[q]));
    const DerivVector xp = F(pt.first + h, pt.second), xm = F(pt.first - h, pt.second);
    const DerivVector yp = F(pt.first, pt.second + h), ym = F(pt.first, pt.second - h);
    EXPECT_NEAR((xp[1] - xm[1]) / (2 * h), d[2], 1e-8);
    EXPECT_NEAR((yp[1] - ym[1]) / (2 * h), d[3], 1e-8);
    EXPECT_NEAR((xp[2] - xm[2]) / (2 * h), d[4], 1e-8);
    EXPECT_NEAR((yp[2] - ym[2]) / (2 * h), d[6], 1e-8);
    EXPECT_NEAR((xp[3] - xm[3]) / (2 * h), d[6], 1e-8);
  }
  F(2.5, 0);
  EXPECT_EQ(fatal_message([&] { F(2.5 + 1e-9, 0); }),
            "it is not valid to compute clump multipoles within multipole region");
}

TEST_F(ClumpPopTest, FlattenedParentOrientsTheQuadrupoleAndAZeroWidthFarZoneIsEmpty) {
  model({"alpha 1 0 0 0.3 90 0 0 0.05 0 1"});  // major axis along x
  run_handler(farclumps, cmd({"farclumps", "1", "2", "2", "200", "200"}));
  set_clumps({"1", "0", "3"}, "1 0.001 1 0 star 0\n");
  EXPECT_GT(pop().mean[3], 0.0);
  EXPECT_NEAR(pop().mean[4], 0.0, 1e-3 * pop().mean[3]);
  // R2 = Rmax: no far clumps, zero coefficients, no Cholesky failure.
  run_handler(farclumps, cmd({"farclumps", "1", "3", "2"}));
  set_clumps({"1", "0", "3"}, "1 0.001 1 0 star 0\n");
  EXPECT_TRUE(pop().farzero);
  EXPECT_FALSE(clump_far_active(pop()));
  for (int a = 1; a <= 4; ++a) EXPECT_EQ(pop().coef[a], 0.0);
}

TEST_F(ClumpPopTest, RefusalsEndTheCommand) {
  const auto err = [&](std::vector<std::string> w, const std::string& lines) {
    return fatal_message([&] { set_clumps(w, lines); });
  };
  EXPECT_NE(set_clumps({"1", "0", "3"}, "1 0.001 1 0 star\n").find("Must set main model before setting clumps."),
            std::string::npos);
  model({kSphere});
  EXPECT_EQ(err({"1", "2", "1"}, ""), "cannot run setclumps with Rmin>Rmax");
  EXPECT_EQ(err({"1", "0", "3"}, "1 0 1 0 star\n"), "clump mass parameter must not be zero");
  EXPECT_EQ(err({"1", "0", "3"}, "1 0.01 1 0 blob\n"), "Unknown clump type: blob");
  EXPECT_EQ(err({"1", "0", "3"}, "1 0.01 1 0 nfw 0.5 0\n"), "scale radius is negative");
  run_handler(farclumps, cmd({"farclumps", "1", "4", "2"}));
  EXPECT_EQ(err({"1", "0", "3"}, "1 0.01 1 0 star\n"), "in setclumps, R2<Rmax");
  EXPECT_EQ(fatal_message([&] { run_handler(farclumps, cmd({"farclumps", "1", "2", "2", "1"})); }),
            "farclumps needs Nrad of at least 2");
  EXPECT_EQ(fatal_message([&] { run_handler(farclumps, cmd({"farclumps", "1", "2", "2", "10", "0", "test"})); }),
            "farclumps needs Nang of at least 1 in test mode");
  EXPECT_EQ(fatal_message([&] { run_handler(farclumps, cmd({"farclumps", "0", "2", "2", "10", "10", "test"})); }),
            "farclumps needs positive r0, Rfac and mmax in test mode");
  EXPECT_EQ(fatal_message([&] { run_handler(checktree, cmd({"checktree", dir.file("ct"), "1", "1", "10"})); }),
            "checktree needs rmin < rmax");
  EXPECT_EQ(fatal_message([&] { run_handler(checktree, cmd({"checktree", dir.file("ct"), "0", "1", "0"})); }),
            "checktree needs at least one sample point");
  // At a terminal a short line and an index out of range are skipped with a warning.
  run_handler(farclumps, cmd({"farclumps", "0", "0", "0"}));
  model({kSphere, kSphere});  // a new number of components: every population is gone
  const std::string out = set_clumps({"2", "0", "3"}, "1 0.01 1\n7 0.01 1 0 star\n");
  EXPECT_NE(out.find("WARNING: too few clump model parameters\n"), std::string::npos) << out;
  EXPECT_NE(out.find("WARNING: in setclumps, galaxy index 7 is out of range\n"), std::string::npos) << out;
  EXPECT_EQ(pop(1).type, 0);
  EXPECT_EQ(pop(2).type, 0);
}

TEST_F(ClumpPopTest, ClumpPositionsFollowTheTrees) {
  model({kSphere});
  set_clumps({"1", "0", "3"}, "1 0.01 1 0 star 0\n");
  SetVar("gridhi1", 0, 1.0);
  SetGlob();
  getclumppos();
  const ClumpState& cs = TWclump;
  int inside = 0;
  for (const auto& c : clumps()) inside += std::fabs(c.x) <= 1 && std::fabs(c.y) <= 1;
  EXPECT_EQ(cs.nclumppos, inside);
  for (int k = 1; k <= cs.nclumppos; ++k) {
    EXPECT_NEAR(cs.clumppos[k][1], std::hypot(cs.clumppos[k][3], cs.clumppos[k][4]), 1e-12);
    EXPECT_GE(cs.clumppos[k][2], 0.0);
    EXPECT_LE(cs.clumppos[k][2], 360.0);
  }
  SetVar("maxclumps", 0, 0);
  SetGlob();
  EXPECT_EQ(fatal_message([] { getclumppos(); }), "maxclumps must be positive");
}

TEST_F(ClumpPopTest, SizeRelationsAndClumpList) {
  model({kSphere, "ptmass 0.1 2 0 0 0 0 0 0 0 0"});
  CaptureOutput cap;
  quietflag = 0;
  run_handler(scaleclumps, cmd({"scaleclumps", "0.001", "1", "rt", "0.05", "0.5", "0"}));
  run_handler(clumplist, cmd({"clumplist", "2", "3"}));
  run_handler(clumplist, cmd({"clumplist", "0"}));
  quietflag = 1;
  const std::string out = cap.text();
  EXPECT_NE(out.find("  rt = 5.000000e-02 * (m/m0)^0.500000 * (R/R0)^0.000000\n"), std::string::npos) << out;
  EXPECT_EQ(out.find("  rs ="), std::string::npos);
  EXPECT_NE(out.find("List of clump components: 2 3\nNo clump components.\n"), std::string::npos) << out;
  EXPECT_EQ(TWclump.NFWclumparr[3], -1.0);
  EXPECT_EQ(TWclump.clump_list_n, 0);
  // pow clumps take rt from the relation; nfw clumps then lack a scale radius.
  set_clumps({"1", "0", "3"}, "1 0.004 1 0 pow 9 0.5\n");
  EXPECT_NEAR(clumps()[0].prof.rt, 0.05 * std::sqrt(4.0), 1e-14);
  EXPECT_EQ(fatal_message([&] { set_clumps({"1", "0", "3"}, "1 0.004 1 0 nfw 9 0.5\n"); }), "scale radius is negative");
}

}  // namespace
