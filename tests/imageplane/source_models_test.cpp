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
  double load(const std::string& name, std::initializer_list<double> p, double rays = 0) {
    InitSrcArr(1, rays);
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
  EXPECT_EQ(fatal_message([&] { initsrcmod(names, params); }), "unknown source type: blob");
  EXPECT_FALSE(is_source_class("blob"));
  EXPECT_TRUE(is_source_class("ptsrc"));
  EXPECT_FALSE(is_extended_source("ptsrc"));
  EXPECT_EQ(fatal_message([this] { load("srcmap", {1, 0, 0, 0, 0, 0, 0, 1}); }), "no srcmaps have been loaded");
  source_init(0);  // outside 1..Nsource: nothing
  source_init(2);
}

// The ends of the index range: at n = 20 (2n = 40) the radii enclose their fractions in
// closed form; at n = 0.05 the profile I0 exp(-(r/s)^(1/n)), integrated over the plane,
// gives the flux and 90% of it inside R90. Beyond the range, and for sizes outside
// 1e-10..3600 (also as a logarithm), the source takes a penalty of at least 1e8, larger
// the further out, with a warning naming the value, and its derived values stay as they
// were (no normalisation of a profile that has none).
TEST_F(SourceModels, SizeAndIndexRanges) {
  EXPECT_EQ(load("sersic", {1, 0, 0, 0, 0, 1.5, 0, 20}), 0);
  const double s20 = d(10);
  EXPECT_NEAR(lower_gamma_integer(40, std::pow(1.5 / s20, 1.0 / 20)), 0.5, 1e-6);
  EXPECT_NEAR(lower_gamma_integer(40, std::pow(d(11) / s20, 1.0 / 20)), 0.9, 1e-6);
  EXPECT_NEAR(lower_gamma_integer(40, std::pow(d(12) / s20, 1.0 / 20)), 0.999, 1e-6);
  EXPECT_TRUE(std::isfinite(d(9)) && d(9) > 0);

  EXPECT_EQ(load("sersic", {2, 0, 0, 0, 0, 1e-10, 0, 0.05}), 0);
  const double I0 = d(9), s = d(10), R90 = d(11), R999 = d(12);
  auto light = [&](double R) {  // midpoint rule in r
    const int n = 200000;
    double sum = 0;
    for (int i = 0; i < n; ++i) {
      const double r = (i + 0.5) * R / n;
      sum += I0 * std::exp(-std::pow(r / s, 20.0)) * 2 * kPi * r;
    }
    return sum * R / n;
  };
  EXPECT_NEAR(light(2 * R999), 2.0, 2e-5);
  EXPECT_NEAR(light(R90), 1.8, 2e-5);
  for (const char* c : {"uniform", "sersic"}) {
    EXPECT_EQ(load(c, {1, 0, 0, 0, 0, 3600, 0, 1}), 0) << c;
    EXPECT_EQ(load(c, {1, 0, 0, 0, 0, 1e-10, 0, 1}), 0) << c;
  }

  struct Bad {
    const char* cls;
    int srclog;
    double p6, n;
    const char* warning;
  };
  const Bad bad[] = {
      {"sersic", 0, 0.1, 20.5, "WARNING: source 1: sersic index 20.5 is out of range"},
      {"sersic", 0, 0.1, 100, "WARNING: source 1: sersic index 100 is out of range"},
      {"sersic", 0, 0.1, 0.049, "WARNING: source 1: sersic index 0.049 is out of range"},
      {"sersic", 0, 0.1, 0, "WARNING: source 1: sersic index 0 is out of range"},
      {"uniform", 0, 3601, 0, "WARNING: source 1: uniform size 3601 is out of range"},
      {"uniform", 0, 1e6, 0, "WARNING: source 1: uniform size 1e+06 is out of range"},
      {"uniform", 0, 9e-11, 0, "WARNING: source 1: uniform size 9e-11 is out of range"},
      {"uniform", 0, -1, 0, "WARNING: source 1: uniform size -1 is out of range"},
      {"uniform", 1, 400, 0, "WARNING: source 1: uniform size 10^400 (parameter 6 under srclog 1) is out of range"},
      {"sersic", 1, -10.5, 1, "WARNING: source 1: sersic size 10^-10.5 (parameter 6 under srclog 1) is out of range"},
  };
  double previous = 0;
  for (const Bad& b : bad) {
    load("uniform", {1, 0, 0, 0, 0, 0.5, 0, 0});
    TWsrc.srcparms[1][9] = 7;
    settings.srclog = b.srclog;
    BVec<std::string> names(1, 1);
    Mat params(1, 1, 1, 8);
    names[1] = b.cls;
    params[1][1] = 1;
    params[1][6] = b.p6;
    params[1][8] = b.n;
    CaptureOutput out;
    const double penalty = initsrcmod(names, params);
    settings.srclog = 0;
    EXPECT_GE(penalty, 1e8) << b.warning;
    EXPECT_LT(penalty, 1e30);
    EXPECT_EQ(out.text().rfind(b.warning, 0), 0u) << out.text();
    EXPECT_EQ(d(9), 7) << b.warning;
    if (&b == &bad[1]) {
      EXPECT_GT(penalty, previous);  // index 100 lies further out than 20.5
    }
    previous = penalty;
  }
}

// The rays a search keeps are the ray count times the spread (R99.9/R90)^2: 1 for a disc,
// ln 1000 / ln 10 = 3 for a Gaussian (n = 1/2), the same from the derived radii; a count
// whose rays over the 99.9% ellipse exceed the bound is refused, and in a fit a trial
// index that spreads a fixed count beyond it takes the penalty.
TEST_F(SourceModels, RaysOverTheSourceEllipseAreBounded) {
  EXPECT_EQ(source_ray_spread("uniform", 0), 1.0);
  EXPECT_NEAR(source_ray_spread("sersic", 0.5), 3.0, 1e-5);
  load("sersic", {1, 0, 0, 0, 0, 0.3, 0, 4});
  EXPECT_NEAR(source_ray_spread("sersic", 4), (d(12) / d(11)) * (d(12) / d(11)), 1e-9 * d(12) / d(11));
  double excess;
  EXPECT_EQ(source_rays_fault("ptsrc", 0, -5, excess), "");
  EXPECT_EQ(source_rays_fault("uniform", 0, kMaxSourceRays, excess), "");
  EXPECT_EQ(source_rays_fault("uniform", 0, 2 * kMaxSourceRays, excess).rfind("ray count 1e+08 is too large", 0), 0u);
  EXPECT_NEAR(excess, 1.0, 1e-12);
  EXPECT_EQ(source_rays_fault("sersic", 0.5, kMaxSourceRays / 3 * 0.999, excess), "");
  EXPECT_NE(source_rays_fault("sersic", 0.5, kMaxSourceRays / 3 * 1.001, excess), "");
  EXPECT_EQ(source_rays_fault("sersic", 1, 0, excess), "ray count 0 is not positive: a sersic source needs rays");

  EXPECT_EQ(load("sersic", {1, 0, 0, 0, 0, 0.3, 0, 1}, 1e6), 0);
  CaptureOutput out;
  EXPECT_GE(load("sersic", {1, 0, 0, 0, 0, 0.3, 0, 4}, 1e6), 1e8);
  EXPECT_EQ(out.text().rfind("WARNING: source 1: ray count 1e+06 is too large: this sersic source would take 5.97e+07", 0),
            0u)
      << out.text();
}
