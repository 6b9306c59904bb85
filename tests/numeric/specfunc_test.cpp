#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "numeric/specfunc.h"
#include "shell/fatal.h"

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kEuler = 0.57721566490153286;  // Euler-Mascheroni constant

// Runs fn, which must end the program, and returns the failure.
template <class F>
FatalError fatal_of(F&& fn) {
  try {
    fn();
  } catch (const FatalError& e) {
    return e;
  }
  ADD_FAILURE() << "expected the routine to end the program";
  return FatalError(FatalKind::Error, "", 0);
}

}  // namespace

// ---------------------------------------------------------------- Gamma family

TEST(Gamma, HalfIntegerValues) {
  // Closed forms: Gamma(1/2) = sqrt(pi), Gamma(-1/2) = -2 sqrt(pi),
  // Gamma(-5/2) = -8 sqrt(pi)/15, Gamma(-7/2) = 16 sqrt(pi)/105.
  const double sp = std::sqrt(kPi);
  EXPECT_NEAR(gamfunc(0.5), sp, 1e-9 * sp);
  EXPECT_NEAR(gamfunc(-0.5), -2 * sp, 2e-9 * sp);
  EXPECT_NEAR(gamfunc(-2.5), -8 * sp / 15, 1e-9 * sp);
  EXPECT_NEAR(gamfunc(-3.5), 16 * sp / 105, 1e-9 * sp);
  EXPECT_NEAR(gamfunc(5.0), 24.0, 24e-9);
}

TEST(Gamma, RecurrenceHoldsAcrossEveryBranch) {
  // Gamma(x + 1) = x Gamma(x): the positive branch, the shifted branch (-3, 0) and the
  // reflection branch below -3, and each pair straddling a branch boundary.
  for (double x : {-7.3, -4.7, -3.2, -2.9, -2.5, -1.3, -0.6, -0.4, 0.3, 1.7, 6.1, 30.5}) {
    const double lhs = gamfunc(x + 1), rhs = x * gamfunc(x);
    EXPECT_NEAR(lhs, rhs, 2e-9 * std::fabs(rhs)) << "x = " << x;
  }
}

TEST(Gamma, AgreesWithTheLibraryGamma) {
  for (double x = -9.95; x < 20; x += 0.37) {
    if (std::fabs(x - std::nearbyint(x)) < 1e-9) continue;
    const double ref = std::tgamma(x);
    EXPECT_NEAR(gamfunc(x), ref, 1e-9 * std::fabs(ref)) << "x = " << x;
  }
  for (double x : {1e-6, 0.01, 0.5, 3.0, 17.3, 150.0}) EXPECT_NEAR(gammln(x), std::lgamma(x), 1e-9);
  // Far below zero Gamma underflows smoothly instead of failing.
  EXPECT_NEAR(gamfunc(-180.5), std::tgamma(-180.5), 1e-300);
}

TEST(Gamma, PolesKeepTheirBehaviour) {
  EXPECT_EQ(fatal_of([] { gamfunc(0.0); }).message, "cannot evaluate Gamma(0)");
  EXPECT_TRUE(std::isinf(gamfunc(-1.0)));
  EXPECT_TRUE(std::isinf(gamfunc(-2.0)));
  for (double x : {-3.0, -4.0, -17.0}) {
    const FatalError e = fatal_of([x] { gamfunc(x); });
    EXPECT_EQ(e.kind, FatalKind::Error);
    EXPECT_EQ(e.message, "Cannot do gamma functions for arguments <= -3");
  }
}

TEST(Digamma, KnownValuesRecurrenceAndReflection) {
  EXPECT_NEAR(digamm(1.0), -kEuler, 1e-9);
  EXPECT_NEAR(digamm(0.5), -kEuler - 2 * std::log(2.0), 1e-9);  // psi(1/2) = -gamma - 2 ln 2
  // psi(x + 1) = psi(x) + 1/x, including the range (-1, 0) used by the softened power law
  // and the reflected range below -1.
  for (double x : {-3.3, -1.5, -0.7, -0.2, 0.4, 2.5, 11.0})
    EXPECT_NEAR(digamm(x + 1), digamm(x) + 1 / x, 1e-8 * (1 + std::fabs(1 / x))) << "x = " << x;
  // The derivative of gammln, by a central difference.
  for (double x : {0.3, 1.7, 9.0}) {
    const double h = 1e-5;
    EXPECT_NEAR(digamm(x), (gammln(x + h) - gammln(x - h)) / (2 * h), 1e-6);
  }
}

// ---------------------------------------------------------------- incomplete Gamma

TEST(IncompleteGamma, ClosedForms) {
  // P(1, x) = 1 - e^-x; P(1/2, x) = erf(sqrt x); Q(3, x) = e^-x (1 + x + x^2/2).
  for (double x : {0.01, 0.3, 1.0, 1.9, 2.1, 5.0, 20.0}) {
    EXPECT_NEAR(gammp(1.0, x), 1 - std::exp(-x), 1e-6) << x;
    EXPECT_NEAR(gammp(0.5, x), std::erf(std::sqrt(x)), 1e-6) << x;
    EXPECT_NEAR(gammq(3.0, x), std::exp(-x) * (1 + x + x * x / 2), 1e-6) << x;
    EXPECT_NEAR(gammp(2.5, x) + gammq(2.5, x), 1.0, 1e-15) << x;
  }
  EXPECT_EQ(gammp(2.0, 0.0), 0.0);
  EXPECT_EQ(gammq(2.0, 0.0), 1.0);
}

TEST(IncompleteGamma, ContinuousWhereSeriesMeetsContinuedFraction) {
  for (double a : {0.5, 1.0, 3.7, 12.0}) {
    const double x = a + 1;
    EXPECT_NEAR(gammp(a, x * (1 - 1e-12)), gammp(a, x), 1e-6) << a;
  }
}

TEST(IncompleteGamma, InvalidArgumentsEndThroughTheNumericalReport) {
  struct Case {
    double a, x;
    bool p;
    const char* msg;
  };
  const Case cases[] = {{0.0, 1.0, true, "Invalid arguments in routine gammp"},
                        {1.0, -1.0, true, "Invalid arguments in routine gammp"},
                        {-2.0, 1.0, false, "Invalid arguments in routine gammq"}};
  for (const Case& c : cases) {
    const FatalError e = fatal_of([&] { c.p ? gammp(c.a, c.x) : gammq(c.a, c.x); });
    EXPECT_EQ(e.kind, FatalKind::Numerical);
    EXPECT_EQ(e.message, c.msg);
  }
  double r, gln;
  EXPECT_EQ(fatal_of([&] { gser(r, gln, 1.0, -1.0); }).message, "x less than 0 in routine gser");
}
