// Flux and time-delay terms on the quadoff images, against closed forms and brute force.
#include <gtest/gtest.h>

#include <cmath>

#include "fit/constraints.h"
#include "fit/fit_fixture.h"
#include "fit/fluxtdel.h"
#include "imageplane/source_models.h"

namespace {

class FluxTdelTest : public FitTest {
 protected:
  void SetUp() override {
    FitTest::SetUp();
    load_quadoff_model();
    load_quadoff();
    mod = model_images(1, kQuadoffU, kQuadoffV);
    sparms.reset(1, 2, 1, 8);
    sparms[1][1] = sparms[2][1] = 1;
  }
  // Observed fluxes equal to fac times the model magnifications, with error sig.
  void exact_fluxes(double fac, double sig) {
    SrcData& o = TSobs.srcobs[1];
    for (int k = 1; k <= 4; ++k) {
      o.flux[k][1] = fac * mod.flux[k][1];
      o.sig_flux[k][1] = sig;
    }
  }
  double flux(SrcData m) { return procflux(TSobs.srcobs[1], m, sparms, 1); }
  double tdel(SrcData& m) { return proctdel(TSobs.srcobs[1], m); }
  // The observed delays made with h = 0.6 from the model delays.
  void h06_delays() {
    const double d[5] = {0, 0, 0.184354, 0.245695, 0.303934};
    for (int k = 1; k <= 4; ++k) TSobs.srcobs[1].tdel[k] = d[k];
  }

  SrcData mod;
  Mat sparms;
};

}  // namespace

TEST_F(FluxTdelTest, SourceFluxIsTheLeastSquaresScaleOfTheMagnifications) {
  EXPECT_NEAR(flux(mod), 0.0, 1e-8);
  EXPECT_NEAR(sparms[1][1], 1.0, 2e-6);
  EXPECT_NEAR(TWsrc.srcparms[1][1], sparms[1][1], 0);
  for (int k = 1; k <= 4; ++k) TSobs.srcobs[1].flux[k][1] *= 2;
  SrcData m = mod;
  EXPECT_NEAR(procflux(TSobs.srcobs[1], m, sparms, 1), 0.0, 1e-8);
  EXPECT_NEAR(sparms[1][1], 2.0, 4e-6);
  EXPECT_NEAR(m.fsrc[1], sparms[1][1], 0);
  EXPECT_NEAR(m.flux[3][1], TSobs.srcobs[1].flux[3][1], 1e-4);  // model fluxes, signed
}

TEST_F(FluxTdelTest, MagnitudeErrorsScoreLogRatios) {
  exact_fluxes(1, -0.2);
  TSobs.srcobs[1].flux[2][1] *= 1.2;
  const double chi = flux(mod);
  EXPECT_NEAR(sparms[1][1], 1.05, 1e-12);
  const double e1 = 12.5 * std::log10(1.05), e2 = 12.5 * std::log10(0.875);
  EXPECT_NEAR(chi, 3 * e1 * e1 + e2 * e2, 1e-10);
  EXPECT_NEAR(chi, 0.735941, 1e-6);

  // A model flux of the wrong sign, or an observed flux of 0, costs 1e8, never a NaN.
  TSobs.srcobs[1].flux[3][1] = -TSobs.srcobs[1].flux[3][1];
  sparms[1][1] = 1;
  EXPECT_GT(flux(mod), 1e8);
  exact_fluxes(1, -0.2);
  TSobs.srcobs[1].flux[4][1] = 0;
  TWsrc.srcvary[1][1] = 0;
  sparms[1][1] = 1;
  EXPECT_NEAR(flux(mod), 1e8, 1e-3);
}

TEST_F(FluxTdelTest, LeastSquaresFluxIsTheBruteForceMinimum) {
  SrcData& o = TSobs.srcobs[1];
  const double f[5] = {0, 4.1, 8.0, -5.2, -4.6}, s[5] = {0, 0.3, 0.5, 0.1, 0.4};
  for (int k = 1; k <= 4; ++k) {
    o.flux[k][1] = f[k];
    o.sig_flux[k][1] = s[k];
  }
  o.wflux = 1.5;
  const double chi = flux(mod);
  const double best = sparms[1][1];
  for (double fs = best - 0.2; fs <= best + 0.2; fs += 0.001) {
    sparms[1][1] = fs;
    TWsrc.srcvary[1][1] = 0;
    EXPECT_GE(flux(mod) - chi, -1e-9) << fs;
  }
}

TEST_F(FluxTdelTest, FluxesWithoutErrorsAreNotMeasured) {
  exact_fluxes(1, 0.1);
  TSobs.srcobs[1].flux[2][1] *= 1.2;
  TSobs.srcobs[1].sig_flux[2][1] = 0;
  EXPECT_NEAR(flux(mod), 0.0, 1e-20);
  EXPECT_NEAR(sparms[1][1], 1.0, 1e-12);
  // None measured: the given source flux stays and the band adds 0.
  exact_fluxes(1, 0);
  sparms[1][1] = 3;
  SrcData m = mod;
  EXPECT_EQ(procflux(TSobs.srcobs[1], m, sparms, 1), 0.0);
  EXPECT_EQ(sparms[1][1], 3);
  EXPECT_NEAR(m.flux[1][1], 3 * mod.flux[1][1], 1e-12);
}

TEST_F(FluxTdelTest, SignRulesAndExactTies) {
  // checkparity 0: signs ignored, the model flux takes the observed sign.
  set("checkparity", 0);
  exact_fluxes(1, 0.1);
  for (int k = 1; k <= 4; ++k) TSobs.srcobs[1].flux[k][1] = -std::fabs(TSobs.srcobs[1].flux[k][1]);
  SrcData m = mod;
  EXPECT_NEAR(procflux(TSobs.srcobs[1], m, sparms, 1), 0.0, 1e-20);
  EXPECT_NEAR(sparms[1][1], 1.0, 1e-12);
  EXPECT_LT(m.flux[1][1], 0);
  set("checkparity", 1);

  // srcsign 1 keeps the sign of the source flux in the tables.
  InitSrcArr(2, 0);
  TWsrc.srcparms[1][1] = -3;
  set("srcsign", 1);
  exact_fluxes(-1, 0.1);
  flux(mod);
  EXPECT_NEAR(sparms[1][1], -1.0, 1e-12);
  exact_fluxes(1, 0.1);
  flux(mod);
  EXPECT_NEAR(sparms[1][1], -1.0, 1e-12);  // the least-squares +1, turned to the tables' sign
  set("srcsign", 0);

  // An exact tie of source 2's flux to source 1's: ratio x flux + zero point.
  TScons.npmatch = 1;
  TScons.pmatcharr.reset(1, 1);
  TScons.pmatcharr[1] = PmatchRow{1, -2, 1, -1, 1, 2, 0, 0.5};
  sparms[1][1] = 1.5;
  SrcData m2 = mod;
  procflux(TSobs.srcobs[1], m2, sparms, 2);
  EXPECT_EQ(sparms[2][1], 3.5);
  EXPECT_EQ(TWsrc.srcparms[2][1], 3.5);
  EXPECT_EQ(m2.fsrc[1], 3.5);
}

TEST_F(FluxTdelTest, DelaysFitTheHubbleScaleAndZeroPoint) {
  set("tscale", 1);  // hval 0.7, hvale 0.1 by default
  SrcData m = mod;
  EXPECT_NEAR(tdel(m), 0.0, 1e-6);
  EXPECT_NEAR(m.h, 0.7, 2e-5);

  h06_delays();
  m = mod;
  EXPECT_NEAR(tdel(m), 1.206487, 2e-5);
  EXPECT_NEAR(m.h, 0.609897, 2e-6);
  set("hvale", 0);
  m = mod;
  EXPECT_NEAR(tdel(m), 10.621423, 1e-4);
  EXPECT_EQ(m.h, 1 / (1 / 0.7));
}

TEST_F(FluxTdelTest, DelayLeastSquaresIsTheBruteForceMinimum) {
  set("tscale", 1);
  h06_delays();
  TSobs.srcobs[1].sig_tdel[3] = 0.02;
  SrcData m = mod;
  const double chi = tdel(m);
  const double a = 1 / m.h, c = m.tdel[1] - a * mod.tdel[1];
  const double hvale = settings.hvale, a0 = 1 / 0.7;
  auto chi_at = [&](double aa, double cc) {
    double sum = std::pow((aa - a0) / hvale, 2);
    for (int k = 1; k <= 4; ++k) {
      const double s = TSobs.srcobs[1].sig_tdel[k];
      sum += std::pow(aa * mod.tdel[k] + cc - TSobs.srcobs[1].tdel[k], 2) / (s * s);
    }
    return sum;
  };
  EXPECT_NEAR(chi_at(a, c), chi, 1e-9);
  for (double da = -0.01; da <= 0.01; da += 0.002)
    for (double dc = -0.002; dc <= 0.002; dc += 0.0004) EXPECT_GE(chi_at(a + da, c + dc) - chi, -1e-9);
}

TEST_F(FluxTdelTest, WithoutLeverageTheEarliestUsedImageIsAtZero) {
  set("tscale", 1);
  SrcData& o = TSobs.srcobs[1];
  for (int k = 1; k <= 4; ++k) o.sig_tdel[k] = 0;
  o.sig_tdel[2] = 0.01;  // one measured delay, at 0: no constraint
  o.tdel[2] = 0;
  SrcData m = mod;
  for (int k = 1; k <= 4; ++k) m.tdel[k] = 2e6 + k;  // later than any fixed search start
  m.core[1] = 1;                                    // image 1 not used
  EXPECT_EQ(tdel(m), 0.0);
  EXPECT_EQ(m.h, 0.7);
  EXPECT_EQ(m.tdel[2], 0.0);
  EXPECT_NEAR(m.tdel[4], 2 / 0.7, 1e-6);

  set("potflag", 0);
  m = mod;
  EXPECT_EQ(fatal_message([&] { tdel(m); }), "you must set potflag=1 when using time delays");
  o.sig_tdel[2] = 0;
  m = mod;
  EXPECT_EQ(tdel(m), 0.0);  // nothing measured: potflag not needed
}
