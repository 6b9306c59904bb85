// Special functions against closed forms, recurrences and independent integrals: the Gamma
// family, the incomplete and upper incomplete Gamma functions, the Gauss hypergeometric
// function on every branch, and Appell's F1.

#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "numeric/constants.h"
#include "numeric/integrate.h"
#include "numeric/specfunc.h"
#include "shell/fatal.h"
#include "shell/settings.h"
#include "support/test_support.h"

namespace {

constexpr double kEuler = 0.57721566490153286;  // Euler-Mascheroni constant

}  // namespace

// Settings read by the series and integrals, restored after each test.
class SpecFunc : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = settings.inttol;
    settings.inttol = 1e-6;
  }
  void TearDown() override { settings.inttol = saved_; }
  // An independent value: the adaptive integrator at a tight tolerance.
  template <class F>
  static double tight_integral(F&& f, double a, double b) {
    const double saved = settings.inttol;
    settings.inttol = 1e-11;
    const double v = integrate1(f, a, b);
    settings.inttol = saved;
    return v;
  }
  double saved_ = 0;
};

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

// ---------------------------------------------------------------- upper incomplete Gamma

TEST_F(SpecFunc, UpperIncompleteGammaByRegion) {
  for (double x : {0.01, 0.5, 2.0, 8.0}) {
    // a = 0 is E1(x) = -Ei(-x), up to the omitted tail below 1e-6 e^-x.
    EXPECT_NEAR(gamQfunc(0, x), -std::expint(-x), 1e-6 * std::exp(-x)) << x;
    // -1 < a < 0 by the recurrence; Gamma(1/2, x) = sqrt(pi) erfc(sqrt(x)).
    const double g05 = std::sqrt(kPi) * std::erfc(std::sqrt(x));
    EXPECT_NEAR(gamQfunc(-0.5, x), (g05 - std::exp(-x) / std::sqrt(x)) / -0.5, 1e-6 * std::fabs(g05 / x)) << x;
    EXPECT_NEAR(gamQfunc(2.5, x), gamfunc(2.5) * gammq(2.5, x), 1e-12) << x;
  }
  // At x = 0 the function diverges for a <= 0.
  EXPECT_EQ(gamQfunc(0, 0), HUGE_VAL);
  EXPECT_EQ(gamQfunc(-0.5, 0), HUGE_VAL);
  EXPECT_EQ(fatal_of([] { gamQfunc(1, -1); }).message, "cannot evaluate Gamma(a,x) for x<0");
  EXPECT_EQ(fatal_of([] { gamQfunc(-1, 1); }).message, "should not reach this point in gamQfunc()");
}

TEST_F(SpecFunc, ExponentialIntegralInsideAnotherIntegral) {
  // Integral of E1 over [1, 2] = [x E1(x) - e^-x] from 1 to 2, with E1 itself an integral.
  auto e1 = [](double x) { return -std::expint(-x); };
  const double ref = (2 * e1(2) - std::exp(-2.0)) - (e1(1) - std::exp(-1.0));
  EXPECT_NEAR(integrate1([](double x) { return gamQfunc(0, x); }, 1, 2), ref, 1e-6);
}

// ---------------------------------------------------------------- hypergeometric

TEST_F(SpecFunc, HypergeometricSeriesAndDifferentialEquation) {
  // 2F1(1, 1; 2; x) = -ln(1 - x)/x.
  auto log_form = [](double x) { return -std::log1p(-x) / x; };
  for (double x : {-0.5, -0.2, 0.3, 0.5}) EXPECT_NEAR(hyperser(1, 1, 2, x), log_form(x), 2e-6 * log_form(x)) << x;
  for (double x : {-3.0, -0.7, 0.7, 0.9}) EXPECT_NEAR(hypergeom(1, 1, 2, x), log_form(x), 1e-5 * log_form(x)) << x;
  // A terminating series is exact: 2F1(-2, b; c; x) is a quadratic.
  EXPECT_NEAR(hyperser(-2, 3, 4, 0.4), 1 - 2 * 3 * 0.4 / 4 + 3 * 4 * 0.16 / 20, 1e-15);
  EXPECT_EQ(fatal_of([] { hypergeom(1, 1, 2, 1.0); }).message,
            "Cannot evaluate evaluate hypergeometric function for x>=1");
  testing::internal::CaptureStdout();
  const FatalError e = fatal_of([] { hyperser(1, 1, 2, 0.99); });
  const std::string printed = testing::internal::GetCapturedStdout();
  EXPECT_EQ(e.message, "Hypergeometric series convergence failed");
  EXPECT_EQ(printed, "QVM hyperser 1.000000e+00 1.000000e+00 2.000000e+00 9.900000e-01\n");
}

TEST_F(SpecFunc, HypgeoClosedFormsOnEveryBranch) {
  // c - a - b = 0 (logarithmic), 1, -1 and -2 near x = 1, and the Pfaff branch.
  struct Form {
    double a, b, c;
    double (*f)(double);
  };
  const Form forms[] = {
      {1, 1, 2, [](double x) { return -std::log1p(-x) / x; }},
      {1, 1, 3, [](double x) { return 2 * ((1 - x) * std::log1p(-x) + x) / (x * x); }},
      {1, 1, 1, [](double x) { return 1 / (1 - x); }},
      {2, 2, 2, [](double x) { return 1 / ((1 - x) * (1 - x)); }},
      {0.5, 0.5, 1, [](double x) { return 2 / kPi * std::comp_ellint_1(std::sqrt(x)); }},
      {0.5, 1, 1.5, [](double x) { return std::atanh(std::sqrt(x)) / std::sqrt(x); }},
  };
  for (const Form& f : forms)
    for (double x : {-40.0, -3.0, -0.7, 0.3, 0.6, 0.9, 0.999, 1 - 1e-9}) {
      if (x < 0 && (f.c == 1.5 || f.c == 1)) continue;  // the closed forms need x > 0
      const double ref = f.f(x);
      EXPECT_NEAR(hypgeo(f.a, f.b, f.c, x), ref, 1e-6 * std::fabs(ref)) << f.a << " " << f.b << " " << f.c << " x=" << x;
    }
  // c = a: 2F1(a, b; a; x) = (1 - x)^-b, where the connection formula has 1/Gamma(0) = 0.
  for (double x : {0.8, 0.99, -5.0}) EXPECT_NEAR(hypgeo(1.7, 0.3, 1.7, x), std::pow(1 - x, -0.3), 1e-5) << x;
  // The enclosed mass of the cusped NFW profile with inner slope 1 at 300 scale radii:
  // x^2 2F1(2, 2; 3; -x) = 2 (ln(1 + x) - x/(1 + x)).
  const double x = 300;
  EXPECT_NEAR(x * x * hypgeo(2, 2, 3, -x), 2 * (std::log1p(x) - x / (1 + x)), 1e-9);
}

TEST_F(SpecFunc, HypgeoNearIntegerParameterSumsAgainstEulersIntegral) {
  // 2F1(a, 3/2; 7/2; x) = 7.5 * integral over s in [0, 1] of s^2 (1 - s^2) (1 - x s^2)^-a
  // (Euler's integral with t = s^2). c - a - b = 2 - a runs through 0, 1, -1, -2 and
  // values within and just outside 0.001 of them. The connection formula away from the
  // integers inherits the 1e-6 stopping rule of the series (about 1e-5 just above x = 0.5).
  for (double a : {0.7, 2.0, 2.0004, 1.9991, 2.0011, 1.0, 0.9995, 3.0, 4.0007, 3.9989}) {
    for (double x : {-20.0, -3.0, 0.6, 0.9, 0.99, 0.9999}) {
      const double ref = 7.5 * tight_integral([=](double s) { return s * s * (1 - s * s) * std::pow(1 - x * s * s, -a); }, 0, 1);
      // The limit form near the integers sums its series to full precision.
      const bool limit_form = x > 0.5 && std::fabs(2 - a - std::nearbyint(2 - a)) < 0.001;
      const double tol = limit_form ? 1e-8 : 1e-5;
      EXPECT_NEAR(hypgeo(a, 1.5, 3.5, x), ref, tol * std::fabs(ref)) << "a=" << a << " x=" << x;
    }
  }
  // The circular mass of the power-law model with a small negative alpha:
  // 2F1(3/2, (3 - alpha)/2; 5/2; -X) = 3 * integral of u^2 (1 + X u^2)^(-(3 - alpha)/2).
  for (double alpha : {-0.001, -0.0004, 0.0}) {
    for (double X : {30.0, 1e4}) {
      const double p = (3 - alpha) / 2;
      const double ref = 3 * tight_integral([=](double u) { return u * u * std::pow(1 + X * u * u, -p); }, 0, 1);
      EXPECT_NEAR(hypgeo(1.5, p, 2.5, -X), ref, 1e-6 * ref) << alpha << " " << X;
    }
  }
}

TEST_F(SpecFunc, HypgeoLimitFormAgainstTheSummedSeries) {
  // Below x = 1 the power series converges; summed in extended precision to its end it is
  // an independent value. c - a - b = m + e for m from -2 to 3 and |e| < 0.001, where the
  // connection formula is singular or ill-conditioned.
  auto direct = [](double a, double b, double c, double x) {
    long double t = 1, s = 1;
    for (int n = 1; n < 100000 && std::fabs(static_cast<double>(t)) >= 1e-19 * std::fabs(static_cast<double>(s)); ++n) {
      t *= static_cast<long double>(a + n - 1) * (b + n - 1) / (c + n - 1) * x / n;
      s += t;
    }
    return static_cast<double>(s);
  };
  for (double x : {0.7, 0.99})
    for (double m : {-2.0, -1.0, 0.0, 1.0, 3.0})
      for (double e : {0.0, 3e-4, -7e-4}) {
        const double a = 0.37, b = 1.21, c = a + b + m + e, ref = direct(a, b, c, x);
        EXPECT_NEAR(hypgeo(a, b, c, x), ref, 1e-11 * std::fabs(ref)) << x << " " << m << " " << e;
      }
  // A parameter that is a non-positive integer gives the polynomial; one close to such a
  // pole takes the connection formula, as accurate there as elsewhere.
  EXPECT_NEAR(hypgeo(-2, 3.5, 1.5, 0.8), 1 - 2 * 3.5 * 0.8 / 1.5 + 3.5 * 4.5 * 0.64 / (1.5 * 2.5), 1e-14);
  const double a = -1 + 2e-4, b = 1.5, c = a + b + 3e-4;
  EXPECT_NEAR(hypgeo(a, b, c, 0.95), direct(a, b, c, 0.95), 1e-6);
  // A parameter near a pole that the limit form does not reach: c - a and c - b when
  // c - a - b is near a negative integer (Euler's transformation swaps them for a and b).
  // Here c - a is within 0.001 of 0, and c - a - b near -2 and -1.
  for (double c2 : {2.00099, 1.9995, 0.999001})
    for (double x : {0.5000001, 0.6, 0.8}) EXPECT_NEAR(hypgeo(2, 2, c2, x), direct(2, 2, c2, x), 1e-11 * direct(2, 2, c2, x)) << c2 << " " << x;
  // Large a and b with x not close to 1: the 1 - x forms cancel terms some 10^10 times
  // larger than the result; the series in x itself gives it.
  for (double m : {0.0, 2.0, 4.0})
    for (double e : {0.0, 3e-4})
      for (double x : {0.54, 0.7, 0.9}) {
        const double ref = direct(10.5, 9.5, 20 + m + e, x);
        EXPECT_NEAR(hypgeo(10.5, 9.5, 20 + m + e, x), ref, 1e-11 * ref) << m << " " << e << " " << x;
      }
}

TEST_F(SpecFunc, HypgeoDomainErrors) {
  EXPECT_EQ(fatal_of([] { hypgeo(1, 1, 2, 1.5); }).message,
            "hypgeo cannot evaluate evaluate hypergeometric function for x>1");
  CaptureOutput out;
  EXPECT_EQ(fatal_of([] { hypgeo(1, 1, 2, 1.0); }).message, "should not reach this point in hypgeo()");
  EXPECT_EQ(out.text(), "hypgeo 1.000000e+00 1.000000e+00 2.000000e+00 1.000000e+00\n");
}

// ---------------------------------------------------------------- Appell F1

TEST_F(SpecFunc, AppellReducesToGauss) {
  settings.inttol = 1e-10;
  // y = 0: 2F1(a, b1; c; x); x = y: 2F1(a, b1 + b2; c; x).
  EXPECT_NEAR(appellF1ser(0.7, 0.4, -1.3, 2.2, 0.45, 0), hyperser(0.7, 0.4, 2.2, 0.45), 1e-6);
  EXPECT_NEAR(appellF1ser(0.7, 0.4, -1.3, 2.2, -0.3, -0.3), hyperser(0.7, -0.9, 2.2, -0.3), 1e-6);
  EXPECT_NEAR(appellF1ser(1.5, 0.5, 0.25, 3.0, 0.4, 0.4), hyperser(1.5, 0.75, 3.0, 0.4), 1e-6);
}

TEST_F(SpecFunc, AppellIntegralAgreesWithTheSeries) {
  settings.inttol = 1e-9;
  const double cases[][6] = {{1.5, 0.5, -0.3, 3.0, 0.4, -0.3}, {0.5, 1.2, 0.7, 2.0, 0.6, 0.2}, {2.0, -0.5, 1.5, 3.5, -0.8, 0.7}};
  for (const auto& c : cases) {
    const double ser = appellF1ser(c[0], c[1], c[2], c[3], c[4], c[5]);
    EXPECT_NEAR(appellF1int(c[0], c[1], c[2], c[3], c[4], c[5]), ser, 1e-7 * std::fabs(ser)) << c[0];
  }
  EXPECT_EQ(fatal_of([] { appellF1int(0.5, 1, 1, 1.2, 0.1, 0.1); }).message,
            "don't know how to handle (a,c) values in Appell F1 integral");
  EXPECT_EQ(fatal_of([] { appellF1int(-0.5, 1, 1, 3, 0.1, 0.1); }).message,
            "don't know how to handle (a,c) values in Appell F1 integral");
  EXPECT_EQ(fatal_of([] { appellF1ser(1, 1, 1, 2, 1.5, 0.1); }).message, "Appell F1 series convergence failed");
}
