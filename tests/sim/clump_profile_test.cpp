// Radial profiles of the clump types: the potential, deflection, convergence and shear of
// each must agree with each other (alpha = phi', kappa = (alpha' + alpha/r)/2,
// gamma = alpha/r - kappa), join at the switches between series and closed forms, and
// meet the point mass at the truncation radius.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "core/command_fixture.h"
#include "models/substructure.h"
#include "numeric/constants.h"
#include "sim/clumps.h"

namespace {

struct ProfileCase {
  const char* name;
  int type;
  double P1, P2;
};

// Sizes in units of the clump's Einstein radius sqrt(m/pi) (m = 0.3 below).
const ProfileCase kCases[] = {
    {"star", CLUMP_STAR, 0, 0},     {"gaus", CLUMP_GAUS, 0.7, 0},   {"pjaffe", CLUMP_PJAFFE, 0.8, 0},
    {"tsis", CLUMP_TSIS, 1.3, 0},   {"nfw", CLUMP_NFW, 2.0, 0.4},   {"nfw-rt<rs", CLUMP_NFW, 0.5, 0.9},
    {"pow", CLUMP_POW, 1.5, 0.6},   {"pow-flat", CLUMP_POW, 1.5, 0.004}, {"soft", CLUMP_SOFT, 0.3, 0},
};

struct Field {
  double phi, alpha, kappa, gamma;
};
Field eval(const ClumpProfile& p, double r) {
  Field f;
  clump_profile_eval(p, r, f.phi, f.alpha, f.kappa, f.gamma);
  return f;
}

class ClumpProfileTest : public CommandTest {};

TEST_F(ClumpProfileTest, FieldsAgreeWithEachOtherByFiniteDifferences) {
  const double m = 0.3, b = std::sqrt(m / kPi);
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    const double P[5] = {c.P1, c.P2, 0, 0, 0};
    const ClumpProfile p = clump_profile(c.type, P, m);
    // Radii across every branch: deep inside the series, both closed forms, beyond rt.
    for (double u : {0.003, 0.02, 0.15, 0.45, 0.9, 1.7, 3.1, 6.0}) {
      const double r = u * b, h = 1e-4 * r;
      const Field f = eval(p, r), lo = eval(p, r - h), hi = eval(p, r + h);
      const double dphi = (hi.phi - lo.phi) / (2 * h);
      const double dalpha = (hi.alpha - lo.alpha) / (2 * h);
      const double scale = std::fabs(f.alpha) + 1e-12;
      EXPECT_NEAR(dphi, f.alpha, 1e-6 * scale + 1e-9) << "r=" << r;
      const double kap = 0.5 * (dalpha + f.alpha / r);
      EXPECT_NEAR(kap, f.kappa, 1e-5 * (std::fabs(f.kappa) + f.alpha / r)) << "r=" << r;
      EXPECT_NEAR(f.gamma, f.alpha / r - f.kappa, 1e-9 * (f.alpha / r)) << "r=" << r;
    }
  }
}

TEST_F(ClumpProfileTest, BranchesJoinAndTruncatedClumpsMeetThePointMass) {
  const double m = 0.3;
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    const double P[5] = {c.P1, c.P2, 0, 0, 0};
    const ClumpProfile p = clump_profile(c.type, P, m);
    // Where one form hands over to the next: 0.01 and 0.1 (pjaffe) of the size, the size
    // itself (tsis), x = 0.01 and 1 +- 1e-4 (nfw), rt (nfw, pow).
    std::vector<double> joins = {0.01 * p.a, p.a, 10 * p.a, p.rt};
    if (c.type == CLUMP_NFW) joins.insert(joins.end(), {p.a * (1 + 1e-4), p.a * (1 - 1e-4)});
    for (double r : joins) {
      if (!(r > 0)) continue;
      const Field a = eval(p, r * (1 - 1e-9)), z = eval(p, r * (1 + 1e-9));
      EXPECT_NEAR(a.phi, z.phi, 1e-7 * (std::fabs(a.phi) + 1)) << "r=" << r;
      EXPECT_NEAR(a.alpha, z.alpha, 1e-6 * std::fabs(a.alpha)) << "r=" << r;
      // The convergence ends at a truncation radius (for tsis it falls to 0 as a square root).
      if (r != p.rt && !(c.type == CLUMP_TSIS && r == p.a)) {
        EXPECT_NEAR(a.kappa, z.kappa, 1e-5 * std::fabs(a.kappa) + 1e-9) << "r=" << r;
      }
    }
    if (p.rt > 0) {  // outside rt the clump is a point mass of the same mass
      const Field f = eval(p, 2.5 * p.rt);
      EXPECT_NEAR(f.phi, m / kPi * std::log(2.5 * p.rt), 1e-12);
      EXPECT_NEAR(f.alpha, m / (kPi * 2.5 * p.rt), 1e-12);
    }
  }
}

TEST_F(ClumpProfileTest, ExtendedClumpsHoldTheirMassAndApproachThePointMass) {
  const double m = 0.3, b = std::sqrt(m / kPi);
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    const double P[5] = {c.P1, c.P2, 0, 0, 0};
    const ClumpProfile p = clump_profile(c.type, P, m);
    const double r = 400 * b;  // far outside every clump (the soft one still has a tail)
    const Field f = eval(p, r);
    EXPECT_NEAR(f.alpha * r * kPi, m, 2e-3 * m);
    EXPECT_NEAR(f.phi, m / kPi * std::log(r), 2e-3 * m);
  }
}

TEST_F(ClumpProfileTest, GaussianPotentialUsesTheExponentialIntegral) {
  // E1 against tabulated values, across the switch at 1 and up to the cut at 40.
  const struct { double x, e1; } t[] = {{1e-3, 6.331539364136149}, {0.5, 0.5597735947761608}, {1.0, 0.21938393439552029},
                                        {3.0, 0.01304838109419703}, {10.0, 4.156968929685324e-06}};
  for (const auto& v : t) EXPECT_NEAR(clump_E1(v.x), v.e1, 1e-9 * v.e1 + 1e-15) << v.x;
  EXPECT_EQ(clump_E1(41.0), 0.0);
  EXPECT_NEAR(clump_E1(1 - 1e-12), clump_E1(1 + 1e-12), 1e-11);
  // The centre value (m/2pi)(ln 2 sigma^2 - gamma) continues the profile.
  const double m = 0.3, P[5] = {0.7, 0, 0, 0, 0};
  const ClumpProfile p = clump_profile(CLUMP_GAUS, P, m);
  EXPECT_NEAR(eval(p, 0).phi, eval(p, 1e-7 * p.a).phi, 1e-10);
  EXPECT_NEAR(eval(p, 0).phi, m / (2 * kPi) * (std::log(2 * p.a * p.a) - 0.5772156649015329), 1e-14);
}

TEST_F(ClumpProfileTest, BadRadiiAreRefused) {
  const double nfw_no_rs[5] = {2.0, 0, 0, 0, 0};
  EXPECT_EQ(fatal_message([&] { clump_profile(CLUMP_NFW, nfw_no_rs, 0.1); }), "scale radius is negative");
  const double neg_rt[5] = {-1.0, 0.3, 0, 0, 0};
  EXPECT_EQ(fatal_message([&] { clump_profile(CLUMP_POW, neg_rt, 0.1); }), "truncation radius is negative");
  EXPECT_EQ(fatal_message([&] { clump_profile(9, neg_rt, 0.1); }), "unknown clump type");
  // With only an rt relation the scale radius of an nfw clump is -(m/m0)^(1/3): refused;
  // a pow clump needs no scale radius.
  double* a = TWclump.NFWclumparr;
  a[0] = 1, a[1] = 1, a[3] = -1, a[4] = 1.0 / 3, a[6] = 0.5, a[7] = 1.0 / 3;
  const double none[5] = {};
  EXPECT_EQ(fatal_message([&] { clump_profile(CLUMP_NFW, none, 0.1); }), "scale radius is negative");
  const ClumpProfile p = clump_profile(CLUMP_POW, none, 0.1);
  EXPECT_NEAR(p.rt, 0.5 * std::pow(0.1, 1.0 / 3), 1e-14);
}

}  // namespace
