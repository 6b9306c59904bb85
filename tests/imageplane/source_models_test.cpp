// The source-model tables: InitSrcArr, initsrcmod and the derived values of source_init.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>

#include "imageplane/source_models.h"
#include "numeric/constants.h"
#include "shell/fatal.h"
#include "shell/settings.h"
#include "support/test_support.h"

namespace {

class SourceModels : public ::testing::Test {
 protected:
  void SetUp() override {
    settings = Settings();
    settings.xtol = 1e-6;
    settings.maxellip = 0.99;
    settings.shrcoords = 2;
    settings.verbose = 1;
    quietflag = 1;
  }
  void TearDown() override { quietflag = 0; }
  // Loads one source of the given class and parameters 1..8; returns the penalty.
  double load(const std::string& name, std::initializer_list<double> p) {
    InitSrcArr(1, 0);
    BVec<std::string> names(1, 1);
    Mat params(1, 1, 1, 8);
    names[1] = name;
    int k = 1;
    for (double v : p) params[1][k++] = v;
    return initsrcmod(names, params);
  }
  double d(int k) const { return TWsrc.srcparms[1][k]; }
};

// P(2n, t) for an integer 2n = m: 1 - exp(-t) sum_{k<m} t^k / k!.
double lower_gamma_integer(int m, double t) {
  double term = 1.0, sum = 1.0;
  for (int k = 1; k < m; ++k) {
    term *= t / k;
    sum += term;
  }
  return 1.0 - std::exp(-t) * sum;
}

}  // namespace

TEST_F(SourceModels, InitSrcArrMakesDefaultPointSources) {
  InitSrcArr(3, 40);
  ASSERT_EQ(TWsrc.Nsource, 3);
  EXPECT_EQ(TWsrc.NSRCMAX, 3);
  EXPECT_EQ(TWsrc.finsrc_ray_num, 40);
  for (int i = 1; i <= 3; ++i) {
    EXPECT_EQ(TWsrc.srcID[i], "ptsrc");
    EXPECT_EQ(TWsrc.srcon[i], 1);
    EXPECT_EQ(TWsrc.srcparms[i][1], 1);
    for (int k = 2; k <= 12; ++k) EXPECT_EQ(TWsrc.srcparms[i][k], 0);
    for (int k = 1; k <= 12; ++k) EXPECT_EQ(TWsrc.srcvary[i][k], k <= 3 ? 1 : 0);
  }
  InitSrcArr(-1, 0);
  EXPECT_EQ(TWsrc.Nsource, 0);
  EXPECT_TRUE(TWsrc.srcID.empty());
}

TEST_F(SourceModels, EllipticityComponentsAndTheirBound) {
  settings.shrcoords = 1;
  EXPECT_EQ(load("uniform", {1, 0.1, 0.2, 0.3, 0.4, 0.5, 0, 0}), 0);
  EXPECT_NEAR(d(4), 0.5, 1e-15);
  EXPECT_NEAR(d(5), std::atan2(0.4, 0.3) * 90 / kPi, 1e-12);
  EXPECT_EQ(d(2), 0.1);
  EXPECT_EQ(TWsrc.srcID[1], "uniform");

  settings.shrcoords = 2;
  CaptureOutput out;
  EXPECT_DOUBLE_EQ(load("uniform", {1, 0, 0, 1.5, 0, 0.5, 0, 0}), 2.5e8);
  EXPECT_EQ(out.text(), "WARNING: source ellip = 1.500000 out of bounds\n");  // also when quiet
  EXPECT_EQ(d(4), 0.99);
  EXPECT_NEAR(d(9), 1.0 / (kPi * 0.25 * 0.01), 1e-9);  // derived with the clamped value
}

TEST_F(SourceModels, PointAndUniformSources) {
  load("ptsrc", {3, 1, 2, 0.5, 10, 0.2, 0, 0});
  for (int k = 9; k <= 12; ++k) EXPECT_EQ(d(k), 0);
  // Uniform disk: I0 = flux / (pi R0^2 (1 - e)), so I0 times the ellipse's area is the flux.
  load("uniform", {2, 0, 0, 0.2, 0, 0.5, 0, 0});
  EXPECT_NEAR(d(9) * kPi * 0.5 * 0.5 * 0.8, 2.0, 1e-14);
  EXPECT_EQ(d(10), 0.5);
  EXPECT_EQ(d(11), 0.5);
  EXPECT_EQ(d(12), 0.5);
  settings.srclog = 1;
  load("uniform", {2, 0, 0, 0.2, 0, std::log10(0.5), 0, 0});
  EXPECT_NEAR(d(12), 0.5, 1e-15);
  EXPECT_EQ(d(6), std::log10(0.5));  // the given parameter keeps its logarithm
  settings.srclog = 2;
  EXPECT_EQ(fatal_message([this] { load("uniform", {2, 0, 0, 0, 0, 0.5, 0, 0}); }), "unknown value of srclog");
}

// n = 1/2 is a Gaussian: the light inside x scale radii is 1 - exp(-x^2), so the radius
// of fraction F is s sqrt(-ln(1 - F)) and I0 = flux / (pi s^2 (1 - e)).
TEST_F(SourceModels, SersicHalfIsAGaussian) {
  quietflag = 0;
  CaptureOutput out;
  load("sersic", {3, 0, 0, 0.25, 0, 0.8, 0, 0.5});
  const double s = 0.8 / std::sqrt(std::log(2.0));
  EXPECT_NEAR(d(10), s, 2e-6);
  EXPECT_NEAR(d(11), s * std::sqrt(std::log(10.0)), 2e-6);
  EXPECT_NEAR(d(12), s * std::sqrt(std::log(1000.0)), 2e-6);
  EXPECT_NEAR(d(9), 3.0 / (kPi * s * s * 0.75), 1e-5);
  const std::string t = out.text();
  EXPECT_EQ(t.rfind("Sersic model parameters:\n  index, n                            = 5.000000e-01\n", 0), 0u);
  EXPECT_NE(t.find("\n  half-light radius                   = 8.000000e-01\n"), std::string::npos);
  EXPECT_NE(t.find("\n  radius enclosing 90% of the light   = "), std::string::npos);
  EXPECT_NE(t.find("\n  radius enclosing 99.9% of the light = "), std::string::npos);
  // With srclog 1 the half-light radius is given as its logarithm.
  settings.srclog = 1;
  load("sersic", {3, 0, 0, 0.25, 0, std::log10(0.8), 0, 0.5});
  EXPECT_NEAR(d(10), s, 2e-6);
  settings.srclog = 0;
  // No report when quiet or verbose > 1.
  settings.verbose = 2;
  CaptureOutput none;
  load("sersic", {3, 0, 0, 0.25, 0, 0.8, 0, 0.5});
  EXPECT_EQ(none.text(), "");
}

// Integer 2n: the enclosed fraction in closed form. Indices of 6 and above reach less than
// 99.9% of the light at 1e8 scale radii, so the root must be bracketed further out.
TEST_F(SourceModels, SersicRadiiEncloseTheirFractions) {
  for (double n : {1.0, 2.0, 4.0, 6.0, 8.0}) {
    load("sersic", {1, 0, 0, 0, 0, 1.5, 0, n});
    const double s = d(10);
    const int m = static_cast<int>(2 * n);
    EXPECT_NEAR(lower_gamma_integer(m, std::pow(1.5 / s, 1 / n)), 0.5, 1e-6) << n;
    EXPECT_NEAR(lower_gamma_integer(m, std::pow(d(11) / s, 1 / n)), 0.9, 1e-6) << n;
    EXPECT_NEAR(lower_gamma_integer(m, std::pow(d(12) / s, 1 / n)), 0.999, 1e-6) << n;
    EXPECT_NEAR(src_sersic_Rfunc(d(11) / s, n, 0.9), 0, 1e-6);
  }
}

TEST_F(SourceModels, UnknownAndUnavailableClasses) {
  InitSrcArr(1, 0);
  TWsrc.srcparms[1][9] = 7;
  BVec<std::string> names(1, 1);
  Mat params(1, 1, 1, 8);
  names[1] = "blob";
  CaptureOutput out;
  EXPECT_EQ(initsrcmod(names, params), 0);
  EXPECT_EQ(out.text(), "ERROR: unknown source type: blob\n");
  EXPECT_EQ(d(9), 7);  // left as it was; the program goes on
  EXPECT_EQ(fatal_message([this] { load("srcmap", {1, 0, 0, 0, 0, 0, 0, 1}); }), "no srcmaps have been loaded");
  source_init(0);  // outside 1..Nsource: nothing
  source_init(2);
}
