// Root finders on known roots: Brent's method (at an end, unbracketed, at its iteration
// limit), bracket widening and scanning, and Newton's method on a small system.

#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "numeric/constants.h"
#include "numeric/roots.h"
#include "support/test_support.h"

namespace {

// x^2 + y^2 = 4 and x = y.
void circle_and_diagonal(const Vec& x, int, Vec& fvec, Mat& fjac) {
  fvec[1] = x[1] * x[1] + x[2] * x[2] - 4;
  fvec[2] = x[1] - x[2];
  fjac[1][1] = 2 * x[1];
  fjac[1][2] = 2 * x[2];
  fjac[2][1] = 1;
  fjac[2][2] = -1;
}

}  // namespace

TEST(Zbrent, FindsHalfPiAsTheRootOfCosine) {
  // The accuracy test is tol/2 + 6e-8 |b|, so the relative floor of 6e-8 rules here.
  const double r = zbrent([](double x) { return std::cos(x); }, 0.0, 2.0, 1e-12);
  EXPECT_NEAR(r, kPi / 2, 1e-7);
  EXPECT_NEAR(zbrent([](double x) { return std::cos(x); }, 0.0, 2.0, 1e-3), kPi / 2, 1e-3);
}

TEST(Zbrent, RootExactlyAtAnEnd) {
  auto f = [](double x) { return x - 1.0; };
  EXPECT_EQ(zbrent(f, 1.0, 3.0, 1e-10), 1.0);
  EXPECT_EQ(zbrent(f, -2.0, 1.0, 1e-10), 1.0);
}

TEST(Zbrent, UnbracketedRootIsFatal) {
  testing::internal::CaptureStdout();
  const FatalError e = fatal_of([] { zbrent([](double x) { return x * x + 1; }, -1.0, 2.0, 1e-8); });
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "zbrent: a=-1.000000e+00 f(a)=2.000000e+00 : b=2.000000e+00 f(b)=5.000000e+00\n");
  EXPECT_EQ(e.kind, FatalKind::Numerical);
  EXPECT_EQ(e.message, "Root must be bracketed in zbrent");
}

TEST(Zbrent, IterationLimitWarnsAndReturnsTheBestEstimate) {
  // A step function with its jump at 0 and tolerance 0: the accuracy test is relative to
  // |b|, which shrinks with the interval, so the 100 iterations run out.
  auto step = [](double x) { return x < 0 ? -1.0 : 1.0; };
  CaptureOutput out;
  const double r = zbrent(step, -1.0, 1.0, 0.0);
  EXPECT_EQ(out.text(), "WARNING: Maximum number of iterations exceeded in zbrent\n");
  EXPECT_LT(std::fabs(r), 1e-20);
}

TEST(Zbrac, WidensUntilTheSignChanges) {
  auto f = [](double x) { return x - 10.0; };
  double x1 = 0, x2 = 1;
  EXPECT_EQ(zbrac(f, x1, x2), 1);
  EXPECT_LT(f(x1) * f(x2), 0.0);

  auto never = [](double x) { return x * x + 1; };
  x1 = 0;
  x2 = 1;
  EXPECT_EQ(zbrac(never, x1, x2), 0);

  x1 = x2 = 2;  // fatal even though the function is nonzero there
  const FatalError e = fatal_of([&] { zbrac(f, x1, x2); });
  EXPECT_EQ(e.kind, FatalKind::Numerical);
  EXPECT_EQ(e.message, "Bad initial range in zbrac");
}

TEST(Zbrak, ScansForBrackets) {
  Vec xb1(1, 10), xb2(1, 10);
  int nb = 10;
  zbrak([](double x) { return std::sin(x); }, 1.0, 10.0, 18, xb1, xb2, nb);
  ASSERT_EQ(nb, 3);  // pi, 2 pi, 3 pi
  for (int k = 1; k <= 3; k++) {
    EXPECT_LE(xb1[k], k * kPi);
    EXPECT_GE(xb2[k], k * kPi);
    EXPECT_NEAR(xb2[k] - xb1[k], 0.5, 1e-12);
  }
  nb = 1;  // room for one: returns at the first bracket
  zbrak([](double x) { return std::sin(x); }, 1.0, 10.0, 18, xb1, xb2, nb);
  EXPECT_EQ(nb, 1);
  EXPECT_LE(xb1[1], kPi);
  EXPECT_GE(xb2[1], kPi);
}

TEST(Zbrak, RootOnAGridPointIsRecordedOnce) {
  // One root, exactly on the interior grid point 2 of 0, 1, 2, 3, 4: a scan that takes the
  // first and the last bracket must not see two roots.
  Vec xb1(1, 10), xb2(1, 10);
  int nb = 10;
  zbrak([](double x) { return x - 2.0; }, 0.0, 4.0, 4, xb1, xb2, nb);
  ASSERT_EQ(nb, 1);
  EXPECT_EQ(xb1[1], 1.0);
  EXPECT_EQ(xb2[1], 2.0);

  // A root at the start of the range is recorded with the first subinterval.
  nb = 10;
  zbrak([](double x) { return x; }, 0.0, 1.0, 2, xb1, xb2, nb);
  ASSERT_EQ(nb, 1);
  EXPECT_EQ(xb1[1], 0.0);

  // Two roots, one on a grid point and one between points.
  nb = 10;
  zbrak([](double x) { return (x - 1.0) * (x - 2.5); }, 0.0, 4.0, 4, xb1, xb2, nb);
  ASSERT_EQ(nb, 2);
  EXPECT_EQ(xb2[1], 1.0);
  EXPECT_EQ(xb1[2], 2.0);

  // Room for none: nothing is written.
  nb = 0;
  zbrak([](double x) { return x - 2.0; }, 0.0, 4.0, 4, xb1, xb2, nb);
  EXPECT_EQ(nb, 0);
}

TEST(Mnewt, SolvesASystem) {
  Vec x(1, 2);
  x[1] = 1.0;
  x[2] = 0.5;
  mnewt(20, x, 2, 1e-14, 1e-14, circle_and_diagonal);
  EXPECT_NEAR(x[1], std::sqrt(2.0), 1e-12);
  EXPECT_NEAR(x[2], std::sqrt(2.0), 1e-12);
}

TEST(Mnewt, ZeroRowInTheJacobianEndsTheIterationQuietly) {
  // At the origin row 1 of the Jacobian (2x, 2y) vanishes: the step is undefined, and the
  // solver gives up like non-convergence instead of ending the program.
  Vec x(1, 2);
  int calls = 0;
  auto counted = [&](const Vec& q, int n, Vec& fvec, Mat& fjac) {
    ++calls;
    circle_and_diagonal(q, n, fvec, fjac);
  };
  mnewt(20, x, 2, 1e-14, 1e-14, counted);
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(x[1], 0.0);
  EXPECT_EQ(x[2], 0.0);
}
