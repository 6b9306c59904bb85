// Cosmological distances and ages: closed forms of matter-only and empty universes, an
// independent integration of the comoving distance and the age, derivatives against finite
// differences, and the error for an expansion rate that is not defined.

#include <gtest/gtest.h>

#include <cmath>

#include "numeric/cosmology.h"
#include "numeric/integrate.h"
#include "shell/fatal.h"
#include "shell/settings.h"
#include "support/test_support.h"

namespace {

constexpr double kHubbleMpc = 2997.9;  // c/H0 in h^-1 Mpc

class Cosmology : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = settings;
    settings.inttol = 1e-6;
    use(0.3, 0.7);
  }
  void TearDown() override { settings = saved_; }
  static void use(double om, double ol) {
    settings.omega = om;
    settings.lambda = ol;
  }
  // Independent reference: the comoving distance by the adaptive integrator at a tight
  // tolerance, with E(z) written in its textbook form.
  static double chi_ref(double z1, double z2) {
    const double om = settings.omega, ol = settings.lambda, ok = 1 - om - ol;
    const double saved = settings.inttol;
    settings.inttol = 1e-11;
    const double chi = integrate1(
        [=](double z) { return 1 / std::sqrt(om * std::pow(1 + z, 3) + ok * (1 + z) * (1 + z) + ol); }, z1, z2);
    settings.inttol = saved;
    return chi;
  }
  // Age by direct integration of dt = da / (a H), in h^-1 Gyr.
  static double age_ref(double z) {
    const double om = settings.omega, ol = settings.lambda, ok = 1 - om - ol;
    const double saved = settings.inttol;
    settings.inttol = 1e-11;
    // a = s^2 removes the square-root behaviour at a = 0: dt = 2 s^2 ds / sqrt(om + ok s^2 + ol s^6).
    const double t = integrate1(
        [=](double s) { return s == 0 ? 0.0 : 2 * s * s / std::sqrt(om + ok * s * s + ol * std::pow(s, 6)); },
        0, std::sqrt(1 / (1 + z)));
    settings.inttol = saved;
    return 9.78 * t;
  }
  Settings saved_;
};

}  // namespace

TEST_F(Cosmology, DefaultCosmologyDistancesOfALensSystem) {
  // zlens 0.5, zsrc 2: about 881.35, 767.95 and 1208.62 h^-1 Mpc (independent integration).
  EXPECT_NEAR(angdist(0, 0.5) * kHubbleMpc, 881.35, 0.01);
  EXPECT_NEAR(angdist(0.5, 2) * kHubbleMpc, 767.95, 0.01);
  EXPECT_NEAR(angdist(0, 2) * kHubbleMpc, 1208.62, 0.01);
  for (double z : {0.1, 1.0, 3.0, 10.0}) {
    EXPECT_NEAR(PMdist(0, z), chi_ref(0, z), 2e-6 * chi_ref(0, z)) << z;
    EXPECT_DOUBLE_EQ(angdist(0, z), PMdist(0, z) / (1 + z));
  }
  EXPECT_EQ(PMdist(1, 1), 0);
  EXPECT_EQ(PMdist(2, 1), 0);
}

TEST_F(Cosmology, MatterOnlyClosedForms) {
  use(1, 0);
  for (double z : {0.5, 1.0, 4.0}) EXPECT_NEAR(PMdist(0, z), 2 * (1 - 1 / std::sqrt(1 + z)), 1e-14);
  EXPECT_NEAR(angdist(0, 1), 1 - 1 / std::sqrt(2.0), 1e-14);
  // Open and closed models without lambda, against the integrated comoving distance.
  for (double om : {0.3, 2.0}) {
    use(om, 0);
    const double ok = 1 - om, s = std::sqrt(std::fabs(ok)), chi = chi_ref(0.5, 2.5);
    const double ref = ok > 0 ? std::sinh(s * chi) / s : std::sin(s * chi) / s;
    EXPECT_NEAR(PMdist(0.5, 2.5), ref, 1e-9) << om;
  }
}

TEST_F(Cosmology, EmptyUniverseIsTheLimitNotNaN) {
  // omega = lambda = 0: the closed form is 0/0; its limit is sinh(ln((1+z2)/(1+z1))).
  use(0, 0);
  const double z1 = 0.5, z2 = 3;
  const double ref = std::sinh(std::log((1 + z2) / (1 + z1)));
  EXPECT_NEAR(PMdist(z1, z2), ref, 1e-14);
  use(1e-9, 0);
  EXPECT_NEAR(PMdist(z1, z2), ref, 1e-8);
  use(0, 0);
  EXPECT_NEAR(univ_age(1), 9.78 / 2, 1e-14);
  EXPECT_NEAR(univ_age(1), age_ref(1), 1e-8);
  use(1e-6, 0);
  EXPECT_NEAR(univ_age(1), 9.78 / 2, 1e-4);
}

TEST_F(Cosmology, CurvedModelsWithLambdaJoinTheClosedForm) {
  // A tiny lambda takes the integration route with sin or sinh; it must meet the
  // lambda = 0 closed form of the same curvature.
  for (double om : {0.3, 2.0}) {
    use(om, 0);
    const double closed = PMdist(0.2, 1.7);
    use(om, 1e-9);
    EXPECT_NEAR(PMdist(0.2, 1.7), closed, 2e-6 * closed) << om;
  }
  // Closed model with lambda: sine branch against an independent integration.
  use(0.5, 0.8);
  const double s = std::sqrt(0.3);
  EXPECT_NEAR(PMdist(0, 2), std::sin(s * chi_ref(0, 2)) / s, 2e-6);
}

TEST_F(Cosmology, DerivativesMatchFiniteDifferences) {
  const double pairs[][2] = {{0.3, 0.7}, {0.3, 0.2}, {0.6, 0.9}};
  for (const auto& c : pairs) {
    use(c[0], c[1]);
    const double z1 = 0.4, z2 = 1.8, h = 1e-3;
    const double d1 = (PMdist(z1 + h, z2) - PMdist(z1 - h, z2)) / (2 * h);
    const double d2 = (PMdist(z1, z2 + h) - PMdist(z1, z2 - h)) / (2 * h);
    EXPECT_NEAR(dPMdist(1, z1, z2), d1, 1e-5) << c[0] << " " << c[1];
    EXPECT_NEAR(dPMdist(2, z1, z2), d2, 1e-5) << c[0] << " " << c[1];
  }
  EXPECT_EQ(fatal_of([] { dPMdist(3, 0, 1); }).message, "unknown mode in dPMdist");
}

TEST_F(Cosmology, AgesByEveryRoute) {
  use(1, 0);
  EXPECT_NEAR(univ_age(0), 6.52, 1e-12);
  use(0.3, 0.7);  // flat closed form
  EXPECT_NEAR(univ_age(0), age_ref(0), 1e-5);
  EXPECT_NEAR(univ_age(2), age_ref(2), 1e-5);
  EXPECT_NEAR(lookback(0, 2), univ_age(0) - univ_age(2), 1e-12);
  use(0.3, 0);  // open closed form
  EXPECT_NEAR(univ_age(0.5), age_ref(0.5), 1e-5);
  use(0.3, 0.5);  // integration
  EXPECT_NEAR(univ_age(0.5), age_ref(0.5), 1e-6);
  use(0, 0.5);  // integration without matter: 1/(aE) = sqrt(2/(1+a^2)) down to a = 0
  EXPECT_NEAR(univ_age(0), 9.78 * std::sqrt(2.0) * std::asinh(1.0), 1e-6);
  use(1.3, -0.3);  // flat with negative lambda: no closed form, integrated
  EXPECT_NEAR(univ_age(0), age_ref(0), 1e-6);
  use(2, 0);
  EXPECT_EQ(fatal_of([] { univ_age(0); }).message, "age not implemented for omega>1");
}

TEST_F(Cosmology, UndefinedExpansionEndsWithAnError) {
  // omega 0.3, lambda 3: E(z)^2 turns negative near z = 1.3.
  use(0.3, 3);
  FatalError e = fatal_of([] { PMdist(0, 3); });
  EXPECT_EQ(e.kind, FatalKind::Error);
  EXPECT_NE(e.message.find("E(z)^2 <= 0"), std::string::npos);
  e = fatal_of([] { univ_age(0); });
  EXPECT_NE(e.message.find("E(z)^2 <= 0"), std::string::npos);
  use(-0.5, 0);
  e = fatal_of([] { PMdist(0, 3); });
  EXPECT_NE(e.message.find("E(z)^2 <= 0"), std::string::npos);
  e = fatal_of([] { univ_age(0); });
  EXPECT_NE(e.message.find("E(z)^2 <= 0"), std::string::npos);
}
