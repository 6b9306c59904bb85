// The noise of the Monte Carlo error bars: which data are perturbed and how, and the
// error bars of a model fitted to realisations of a known noise.
#include <gtest/gtest.h>

#include <cmath>

#include "fit/errorbars.h"
#include "fit/fit_fixture.h"
#include "numeric/constants.h"

namespace {

class ErrorbarsTest : public FitTest {};

TEST_F(ErrorbarsTest, PerturbationRules) {
  // Each rule against a twin stream that draws the deviate the rule must use.
  struct Case {
    const char* what;
    double value, sig;
    int kind;  // 0 addnoise, 1 flux, 2 delay
    int expect;  // 0 unchanged (no draw), 1 value + sig G, 2 value 10^(-0.4 |sig| G)
  } cases[] = {
      {"error 999", 0, 999, 0, 1},         {"error 1000", 0, 1000, 0, 0},
      {"flux error 0.2", 5, 0.2, 1, 1},    {"flux error 1000", 5, 1000, 1, 0},
      {"flux error 0", 5, 0, 1, 1},        {"magnitudes", 5, -0.3, 1, 2},
      {"negative flux, magnitudes", -5, -0.3, 1, 2},
      {"flux error -1000", 5, -1000, 1, 0}, {"flux error -999", 5, -999, 1, 2},
      {"reference delay 0", 0, 0.01, 2, 1}, {"delay", 3, 0.5, 2, 1},
      {"delay without error", 3, 0, 2, 0},  {"delay error -1", 3, -1, 2, 0},
      {"delay error 1000", 3, 1000, 2, 0},
  };
  for (const Case& c : cases) {
    RandomStream r(-7), twin(-7);
    double got = c.kind == 0 ? addnoise(c.sig, r) : c.kind == 1 ? noisy_flux(c.value, c.sig, r)
                                                                : noisy_delay(c.value, c.sig, r);
    if (c.kind == 0) got += c.value;
    if (c.expect == 0) {
      EXPECT_EQ(got, c.value) << c.what;
      EXPECT_EQ(r.seed, twin.seed) << c.what << ": no deviate drawn";
    } else {
      const double g = gasdev(twin);
      const double want = c.expect == 1 ? c.value + c.sig * g : c.value * std::pow(10.0, -0.4 * std::fabs(c.sig) * g);
      EXPECT_DOUBLE_EQ(got, want) << c.what;
      if (c.expect == 2) {
        EXPECT_GT(got * c.value, 0) << c.what << ": the sign is kept";
      }
    }
  }
}

TEST_F(ErrorbarsTest, PositionsMoveAlongTheirErrorEllipse) {
  // Many realisations of one galaxy: the covariance of the moved position against the
  // ellipse of axes 0.03, 0.01 at 30 degrees.
  GalData g0;
  g0.sig_a = 0.03;
  g0.sig_b = 0.01;
  g0.err_pa = 30;
  g0.sig_R_e = g0.sig_PA = g0.sig_e = 1000;
  RandomStream r(11);
  const int n = 40000;
  double sxx = 0, syy = 0, sxy = 0;
  for (int i = 0; i < n; ++i) {
    GalData g = g0;
    perturb_galaxy(g, r);
    EXPECT_EQ(g.R_e, 0);
    sxx += g.x * g.x;
    syy += g.y * g.y;
    sxy += g.x * g.y;
  }
  const double t = kPi / 6, a2 = 9e-4, b2 = 1e-4;
  const double cxx = std::sin(t) * std::sin(t) * a2 + std::cos(t) * std::cos(t) * b2;
  const double cyy = std::cos(t) * std::cos(t) * a2 + std::sin(t) * std::sin(t) * b2;
  const double cxy = -std::sin(t) * std::cos(t) * (a2 - b2);
  // Monte Carlo error of a variance estimate: about sqrt(2/n) of it (2% here); 4 sigma.
  EXPECT_NEAR(sxx / n, cxx, 0.03 * cxx);
  EXPECT_NEAR(syy / n, cyy, 0.03 * cyy);
  EXPECT_NEAR(sxy / n, cxy, 0.03 * std::sqrt(cxx * cyy));
}

TEST_F(ErrorbarsTest, NeedsAtLeastOneRealisation) {
  load_quadoff_model();
  for (const char* n : {"0", "-3"}) {
    EXPECT_EQ(fatal_message([&] { run_handler(errorbars, cmd({"errorbars", dir.file("e"), n})); }), "errorbars needs N >= 1");
    EXPECT_FALSE(dir.exists("e.dat"));
  }
}

TEST_F(ErrorbarsTest, ObservedDataComeBackUnchanged) {
  load_quadoff_model();
  load_quadoff();
  set("chimode", 0);
  set("tempfiles", 0);
  const SrcData before = TSobs.srcobs[1];
  const GalData gbefore = TSobs.galobs[1];
  run_handler(errorbars, cmd({"errorbars", dir.file("e"), "3"}));
  const SrcData& after = TSobs.srcobs[1];
  for (int k = 1; k <= before.nimg; ++k) {
    EXPECT_EQ(after.x[k], before.x[k]);
    EXPECT_EQ(after.y[k], before.y[k]);
    EXPECT_EQ(after.flux[k][1], before.flux[k][1]);
    EXPECT_EQ(after.tdel[k], before.tdel[k]);
  }
  EXPECT_EQ(TSobs.galobs[1].x, gbefore.x);
  EXPECT_EQ(count_occurrences(dir.read("e.dat"), "LENS PARMS:"), 3);
}

}  // namespace
