// Numerical integration: the adaptive integrator on closed-form integrals, ODE solutions,
// nested calls, non-finite values and its step limit; Romberg integration, polynomial
// interpolation and extrapolated derivatives against closed forms.

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "numeric/constants.h"
#include "numeric/integrate.h"
#include "shell/fatal.h"
#include "shell/settings.h"
#include "support/test_support.h"

namespace {

class Integrate : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = settings.inttol;
    settings.inttol = 1e-6;
  }
  void TearDown() override { settings.inttol = saved_; }
  double saved_ = 0;
};

}  // namespace

// ---------------------------------------------------------------- DIFSUB family

TEST_F(Integrate, ClosedFormIntegralsAndReversedLimits) {
  auto sinf = [](double x) { return std::sin(x); };
  EXPECT_NEAR(integrate1(sinf, 0, kPi), 2.0, 1e-6);
  EXPECT_NEAR(integrate1(sinf, kPi, 0), -2.0, 1e-6);
  // A cubic: the fourth-order steps with extrapolation are exact up to rounding.
  auto cubic = [](double x) { return 1 - 2 * x + 3 * x * x * x; };
  EXPECT_NEAR(integrate1(cubic, -1, 2), 3 - 3 + 0.75 * 15, 1e-12);
  EXPECT_NEAR(integrate1b(cubic, 2, -1), -(3 - 3 + 0.75 * 15), 1e-12);
  EXPECT_NEAR(integrate1z([](double x) { return std::exp(-x); }, 0, 30), 1 - std::exp(-30.0), 1e-6);
}

TEST_F(Integrate, ErrorFallsWithTheTolerance) {
  // Integral of 1/(1 + x^2) over [0, 10] is atan(10).
  auto f = [](double x) { return 1 / (1 + x * x); };
  double previous = 1;
  for (double tol : {1e-3, 1e-6, 1e-9}) {
    settings.inttol = tol;
    const double err = std::fabs(integrate1(f, 0, 10) - std::atan(10.0));
    EXPECT_LT(err, 10 * tol) << tol;
    EXPECT_LT(err, previous) << tol;
    previous = err;
  }
}

TEST_F(Integrate, ZeroLengthIntervalGivesZeroOrTheInitialValues) {
  int calls = 0;
  auto f = [&calls](double x) {
    ++calls;
    return x;
  };
  EXPECT_EQ(integrate1(f, 1.5, 1.5), 0.0);
  double y[2] = {3, 4};
  int nok = 0, nbad = 0;
  DIFSUB([](double, const double*, double* d) { d[0] = d[1] = 1; }, 2, y, 2.0, 2.0, 1e-6, 0.0, nok, nbad, 50);
  EXPECT_EQ(y[0], 3);
  EXPECT_EQ(y[1], 4);
  EXPECT_EQ(calls, 0);
}

TEST_F(Integrate, OdeSolutionsAndConservedEnergy) {
  // y' = y from 0 to 1 gives e.
  double y = 1;
  int nok = 0, nbad = 0;
  DIFSUB([](double, const double* v, double* d) { d[0] = v[0]; }, 1, &y, 0, 1, 1e-8, 0, nok, nbad, 5000);
  EXPECT_NEAR(y, std::exp(1.0), 1e-7);
  EXPECT_GT(nok, 0);
  // Oscillator x'' = -x over ten periods: back to the start, energy kept.
  double s[2] = {1, 0};
  DIFSUB([](double, const double* v, double* d) { d[0] = v[1]; d[1] = -v[0]; }, 2, s, 0, 20 * kPi, 1e-9,
         0, nok, nbad, 5000);
  EXPECT_NEAR(s[0], 1, 1e-6);
  EXPECT_NEAR(s[1], 0, 1e-6);
  EXPECT_NEAR(s[0] * s[0] + s[1] * s[1], 1, 1e-6);
  // integrateN: the three moments of exp(-x) over [0, 5] in one pass.
  double m[3];
  integrateN([](double x, const double*, double* d) { d[0] = std::exp(-x); d[1] = x * d[0]; d[2] = x * x * d[0]; },
             3, m, 0, 5);
  const double e5 = std::exp(-5.0);
  EXPECT_NEAR(m[0], 1 - e5, 1e-6);
  EXPECT_NEAR(m[1], 1 - 6 * e5, 1e-6);
  EXPECT_NEAR(m[2], 2 - 37 * e5, 1e-6);
}

TEST_F(Integrate, ExactTrialsGrowTheStepFourfold) {
  // With a zero right-hand side the full step and the two half steps agree exactly, so
  // each next step is four times the last: from the first trial step 1 (a hundredth of the
  // range) the steps are 1, 4, 16, 64 and a last one of 15 that ends at 100. Every step
  // costs one derivative at its start and ten for its trial.
  int calls = 0, nok = 0, nbad = 0;
  double y = 0;
  DIFSUB([&calls](double, const double*, double* d) { ++calls; d[0] = 0; }, 1, &y, 0, 100, 1e-6, 0, nok, nbad,
         5000);
  EXPECT_EQ(nok, 5);
  EXPECT_EQ(nbad, 0);
  EXPECT_EQ(calls, 55);
  EXPECT_EQ(y, 0.0);
}

TEST_F(Integrate, LargeSystemsGiveTheSameResult) {
  // More equations than fit the stack scratch: the same integral in every component.
  double y[40];
  integrateN([](double x, const double*, double* d) { for (int i = 0; i < 40; ++i) d[i] = (i + 1) * x * x; },
             40, y, 0, 3);
  for (int i = 0; i < 40; ++i) EXPECT_NEAR(y[i], 9.0 * (i + 1), 1e-9 * (i + 1));
}

TEST_F(Integrate, NestedIntegralsThroughAnyEntryAreCorrect) {
  // Integral over 0 < y < x < 1 of x*y is 1/8; the inner integral is started from inside
  // the outer integrand through the same entry point and through the others.
  auto inner = [](double x) { return integrate1([x](double y) { return x * y; }, 0, x); };
  EXPECT_NEAR(integrate1(inner, 0, 1), 0.125, 1e-9);
  auto innerb = [](double x) { return integrate1b([x](double y) { return x * y; }, 0, x); };
  EXPECT_NEAR(integrate1(innerb, 0, 1), 0.125, 1e-9);
  // Three deep through the same entry: the volume of the simplex is 1/6.
  auto l2 = [](double x) {
    return integrate1([x](double y) { return integrate1([](double) { return 1.0; }, 0, x - y); }, 0, x);
  };
  EXPECT_NEAR(integrate1(l2, 0, 1), 1.0 / 6, 1e-9);
}

TEST_F(Integrate, NonFiniteValuesAreNeverAccepted) {
  // A NaN at one point that the first trial step hits: that trial is rejected, a smaller
  // step passes, and the integral is right.
  auto spike = [](double x, const double*, double* d) {
    d[0] = x == 0.5 ? std::numeric_limits<double>::quiet_NaN() : 1.0;
  };
  double y = 0;
  int nok = 0, nbad = 0;
  DIFSUB(spike, 1, &y, 0, 1, 1e-6, 1.0, nok, nbad, 5000);
  EXPECT_GE(nbad, 1);
  EXPECT_NEAR(y, 1.0, 1e-12);
  // An integrand that is infinite at the end it starts from cannot get past it: the
  // routine's error, not a NaN reported as success.
  for (double bad : {std::numeric_limits<double>::infinity(), std::numeric_limits<double>::quiet_NaN()}) {
    auto f = [bad](double x) { return x == 0 ? bad : 1 / std::sqrt(x); };
    const FatalError e = fatal_of([&] { integrate1(f, 0, 1); });
    EXPECT_EQ(e.kind, FatalKind::Error);
    EXPECT_EQ(e.message, "too many steps in numerical integration");
  }
}

TEST_F(Integrate, StepLimitAndZeroToleranceEndTheProgram) {
  double y = 0;
  int nok = 0, nbad = 0;
  auto f = [](double x, const double*, double* d) { d[0] = std::sin(50 * x); };
  EXPECT_EQ(fatal_of([&] { DIFSUB(f, 1, &y, 0, 10, 1e-10, 0, nok, nbad, 20); }).message,
            "too many steps in numerical integration");
  EXPECT_EQ(nok + nbad, 20);
  settings.inttol = 0;
  EXPECT_EQ(fatal_of([] { integrate1([](double x) { return x; }, 0, 1); }).message,
            "too many steps in numerical integration");
}

// ---------------------------------------------------------------- Romberg, polint, deriv

TEST(Romberg, ClosedFormsAndMinimumStages) {
  int calls = 0;
  auto cubic = [&calls](double x) {
    ++calls;
    return x * x * x;
  };
  EXPECT_NEAR(qromb(cubic, 0, 2), 4.0, 1e-12);
  EXPECT_EQ(calls, 17);  // five trapezoid stages: 2 + 1 + 2 + 4 + 8
  calls = 0;
  auto expf = [&calls](double x) {
    ++calls;
    return std::exp(x);
  };
  EXPECT_NEAR(qromo(expf, 0, 1, midpnt), std::exp(1.0) - 1, 1e-8);
  EXPECT_GE(calls, 81);  // five midpoint stages: 1 + 2 + 6 + 18 + 54
  EXPECT_NEAR(qromb([](double x) { return std::sin(x); }, 0, kPi), 2.0, 1e-6);
  EXPECT_NEAR(qromo([](double x) { return std::sin(x); }, kPi, 0, midpnt3), -2.0, 1e-6);
}

TEST(Romberg, RulesNestWithTheirOwnEstimates) {
  // The same rule at two levels: integral of x + y over the unit square is 1.
  auto outer = [](double x) { return qromo([x](double y) { return x + y; }, 0, 1, midpnt); };
  EXPECT_NEAR(qromo(outer, 0, 1, midpnt), 1.0, 1e-9);
  auto outerb = [](double x) { return qromb([x](double y) { return x * y * y; }, 0, 3); };
  EXPECT_NEAR(qromb(outerb, 0, 2), 18.0, 1e-9);
}

TEST(Romberg, FailuresGoThroughTheNumericalReport) {
  auto bad = [](double) { return std::numeric_limits<double>::quiet_NaN(); };
  FatalError e = fatal_of([&] { qromb(bad, 0, 1); });
  EXPECT_EQ(e.kind, FatalKind::Numerical);
  EXPECT_EQ(e.message, "Too many steps in routine qromb");
  e = fatal_of([&] { qromo(bad, 0, 1, midpnt2); });
  EXPECT_EQ(e.message, "Too many steps in routine qromo");
}

TEST(Polint, ReproducesPolynomialsAndRefusesEqualAbscissae) {
  const double xa[4] = {0, 1, 2.5, 4}, ya[4] = {1, 2, 3, 4};
  double yv[4], y, dy;
  for (int i = 0; i < 4; ++i) yv[i] = 2 - xa[i] + 0.5 * xa[i] * xa[i] * xa[i];
  polint(xa, yv, 4, 3.0, y, dy);
  EXPECT_NEAR(y, 2 - 3 + 13.5, 1e-12);
  polint(xa, ya, 1, 7.0, y, dy);
  EXPECT_EQ(y, 1.0);
  const double xb[3] = {0, 1, 1};
  EXPECT_EQ(fatal_of([&] { polint(xb, yv, 3, 0.5, y, dy); }).message, "Error in routine polint");
}

TEST(Deriv, ExtrapolatedForwardDifferences) {
  EXPECT_NEAR(deriv([](double x) { return std::sin(x); }, 1.0, 0.1), std::cos(1.0), 1e-5);
  int calls = 0;
  auto line = [&calls](double x) {
    ++calls;
    return 3 * x - 1;
  };
  EXPECT_NEAR(deriv(line, 2.0, 0.5), 3.0, 1e-12);
  EXPECT_EQ(calls, 3);
  EXPECT_EQ(fatal_of([] { deriv([](double x) { return x * x; }, 1.0, 0.0); }).message,
            "Too many steps in routine deriv");
}
