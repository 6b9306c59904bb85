// Minimisers on functions with known minima: the downhill simplex (Rosenbrock's function, its
// stop modes, cut-off and evaluation limit), Powell's method on a rotated quadratic, and
// bracketing, Brent's line search and nested line minimisations.

#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "numeric/constants.h"
#include "numeric/minimize.h"
#include "support/test_support.h"

namespace {

double rosenbrock(const Vec& p) {
  const double a = 1 - p[1], b = p[2] - p[1] * p[1];
  return a * a + 100 * b * b;
}

// A simplex of ndim + 1 vertices: the start point and one step along each axis.
struct Simplex {
  Mat p;
  Vec y;
  template <class F>
  Simplex(const std::vector<double>& start, double step, F&& f) : p(1, start.size() + 1, 1, start.size()), y(1, start.size() + 1) {
    const int n = static_cast<int>(start.size());
    Vec v(1, n);
    for (int i = 1; i <= n + 1; i++) {
      for (int j = 1; j <= n; j++) p[i][j] = start[j - 1] + (i == j + 1 ? step : 0.0);
      for (int j = 1; j <= n; j++) v[j] = p[i][j];
      y[i] = f(v);
    }
  }
};

// Restores the simplex's cut-off mode after a test that changes it.
struct CutMode {
  CutMode(double cut) {
    minimizer_state.amoeba_cut_flag = 1;
    minimizer_state.amoeba_cut = cut;
  }
  ~CutMode() {
    minimizer_state.amoeba_cut_flag = 0;
    minimizer_state.amoeba_cut = -1e12;
  }
};

}  // namespace

TEST(Amoeba, FindsRosenbrocksMinimumAndCountsEveryEvaluation) {
  int calls = 0;
  auto f = [&](const Vec& p) { ++calls; return rosenbrock(p); };
  Simplex s({-1.2, 1.0}, 0.1, f);
  calls = 0;
  int nfunk = -1;
  amoeba(s.p, s.y, 2, 1e-14, f, nfunk, 10000);
  EXPECT_NEAR(s.p[1][1], 1.0, 1e-4);
  EXPECT_NEAR(s.p[1][2], 1.0, 2e-4);
  EXPECT_LT(s.y[1], 1e-14);  // relative mode stops once |y_lo| < ftol at the latest
  EXPECT_EQ(nfunk, calls);
  for (int i = 2; i <= 3; i++) EXPECT_LE(s.y[1], s.y[i]);  // vertex 1 is the best
}

TEST(Amoeba, ConvergedSimplexReturnsAtOnceWithTheBestVertexFirst) {
  int calls = 0;
  auto f = [&](const Vec& p) { ++calls; return 5.0 + 1e-9 * p[1]; };
  Simplex s({0.0, 0.0}, 1.0, f);  // vertex 2 = (1, 0) is the worst; 1 and 3 tie lowest
  calls = 0;
  s.p[3][1] = -1;  // make vertex 3 the unique best
  s.y[3] = 5.0 - 1e-9;
  int nfunk = -1;
  amoeba(s.p, s.y, 2, 1e-6, f, nfunk, 100);
  EXPECT_EQ(nfunk, 0);
  EXPECT_EQ(calls, 0);
  EXPECT_EQ(s.p[1][1], -1);
  EXPECT_EQ(s.y[1], 5.0 - 1e-9);
}

TEST(Amoeba, StopModes) {
  auto bowl = [](const Vec& p) { return p[1] * p[1] + p[2] * p[2]; };
  {
    // ftol > 0: a best value within ftol of zero stops at once, however spread the simplex.
    Simplex s({0.001, 0.0}, 5.0, bowl);
    int nfunk = -1;
    amoeba(s.p, s.y, 2, 1e-4, bowl, nfunk, 100);
    EXPECT_EQ(nfunk, 0);
    EXPECT_EQ(s.y[1], 1e-6);
  }
  {
    // ftol < 0: stops only when the best value falls below |ftol|, not on a small spread.
    auto lifted = [](const Vec& p) { return 1.0 + (p[1] - 3) * (p[1] - 3) + p[2] * p[2]; };
    Simplex s({0.0, 0.0}, 0.5, lifted);
    int nfunk = -1;
    CaptureOutput out;
    end_command_messages();  // the note is printed once per command: this is one
    testing::internal::CaptureStdout();
    amoeba(s.p, s.y, 2, -0.5, lifted, nfunk, 400);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Note: NMAX exceeded in amoeba\n");
    EXPECT_EQ(s.y[1], 1e12);
    EXPECT_GE(nfunk, 400);
    EXPECT_NEAR(s.p[1][1], 3.0, 1e-6);  // converged long before the limit
    int calls = 0, first_below = 0;
    auto watched = [&](const Vec& p) {
      const double v = bowl(p);
      ++calls;
      if (v < 1e-3 && first_below == 0) first_below = calls;
      return v;
    };
    Simplex t({0.731, 0.413}, 0.37, watched);
    calls = 0;
    amoeba(t.p, t.y, 2, -1e-3, watched, nfunk, 400);
    EXPECT_LT(t.y[1], 1e-3);
    ASSERT_GT(first_below, 0);
    EXPECT_LE(calls - first_below, 3);  // it stopped after the pass that first went below
  }
}

TEST(Amoeba, CutOffMode) {
  {
    CutMode cut(0.5);
    Simplex s({-1.2, 1.0}, 0.1, rosenbrock);
    int nfunk = -1;
    amoeba(s.p, s.y, 2, 1e-30, rosenbrock, nfunk, 10000);
    EXPECT_LT(s.y[1], 0.5);
    EXPECT_EQ(s.y[1], rosenbrock([&] { Vec v(1, 2); v[1] = s.p[1][1]; v[2] = s.p[1][2]; return v; }()));
    EXPECT_GT(s.y[1], 0.05);  // stopped at the first value under the cut
  }
  {
    // A cut never reached: ftol is ignored (the simplex converges) and the run ends at NMAX.
    CutMode cut(-1.0);
    Simplex s({-1.2, 1.0}, 0.1, rosenbrock);
    int nfunk = -1;
    testing::internal::CaptureStdout();
    amoeba(s.p, s.y, 2, 0.5, rosenbrock, nfunk, 300);
    testing::internal::GetCapturedStdout();
    EXPECT_GE(nfunk, 300);
    EXPECT_LE(nfunk, 302);  // at most the evaluations of the last pass beyond NMAX
    EXPECT_EQ(s.y[1], 1e12);
  }
  EXPECT_EQ(minimizer_state.amoeba_cut_flag, 0);
}

TEST(Amoeba, EvaluationLimitKeepsTheBestVertexFirst) {
  // The caller takes vertex 1 when the limit is reached: it must be the best point found.
  for (int nmax : {0, 7, 30, 61}) {
    Simplex s({-1.2, 1.0}, 0.1, rosenbrock);
    if (nmax == 0) {  // make the best vertex one other than 1
      std::swap(s.y[1], s.y[3]);
      for (int j = 1; j <= 2; j++) std::swap(s.p[1][j], s.p[3][j]);
    }
    int nfunk = -1;
    end_command_messages();  // the note is printed once per command: each pass is one
    testing::internal::CaptureStdout();
    amoeba(s.p, s.y, 2, 1e-14, rosenbrock, nfunk, nmax);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Note: NMAX exceeded in amoeba\n");
    EXPECT_EQ(s.y[1], 1e12);
    if (nmax == 0) {
      EXPECT_EQ(nfunk, 0);
    }
    Vec v(1, 2);
    v[1] = s.p[1][1];
    v[2] = s.p[1][2];
    const double best = rosenbrock(v);
    for (int i = 2; i <= 3; i++) EXPECT_LE(best, s.y[i]) << "NMAX " << nmax;
  }
}

TEST(Powell, MinimisesARotatedQuadratic) {
  // f = u^2 / 1 + 25 v^2 in axes rotated by 30 degrees, centred on (1, -2).
  const double c = std::cos(kPi / 6), s = std::sin(kPi / 6);
  int calls = 0;
  auto f = [&](const Vec& p) {
    ++calls;
    const double dx = p[1] - 1, dy = p[2] + 2;
    const double u = c * dx + s * dy, v = -s * dx + c * dy;
    return u * u + 25 * v * v + 3.0;
  };
  Vec p(1, 2);
  Mat xi(1, 2, 1, 2);
  xi[1][1] = xi[2][2] = 1;
  int iter = 0;
  double fret = 0;
  powell(p, xi, 2, 1e-12, iter, fret, f);
  EXPECT_NEAR(p[1], 1.0, 1e-5);
  EXPECT_NEAR(p[2], -2.0, 1e-5);
  EXPECT_NEAR(fret, 3.0, 1e-10);
  EXPECT_EQ(fret, f(p));
  EXPECT_LT(iter, 20);
}

TEST(Powell, ConstantFunctionStopsAfterTheFirstIteration) {
  auto f = [](const Vec&) { return 7.0; };
  Vec p(1, 3);
  Mat xi(1, 3, 1, 3);
  for (int i = 1; i <= 3; i++) xi[i][i] = 1;
  int iter = 0;
  double fret = 0;
  powell(p, xi, 3, 1e-6, iter, fret, f);
  EXPECT_EQ(iter, 1);
  EXPECT_EQ(fret, 7.0);
}

TEST(Powell, IterationLimitWarnsAndReturnsTheBestPoint) {
  // A tolerance that can never be met keeps powell going to its limit; the run goes on.
  auto f = [](const Vec& p) { return (p[1] - 1) * (p[1] - 1) + (p[2] - 2) * (p[2] - 2) + 1.0; };
  Vec p(1, 2);
  Mat xi(1, 2, 1, 2);
  xi[1][1] = xi[2][2] = 1;
  int iter = 0;
  double fret = 0;
  CaptureOutput out;
  powell(p, xi, 2, -1.0, iter, fret, f);
  EXPECT_EQ(iter, 500);
  EXPECT_EQ(out.text(), "WARNING: powell exceeding maximum iterations.\n");
  EXPECT_NEAR(p[1], 1.0, 1e-6);
  EXPECT_NEAR(p[2], 2.0, 1e-6);
  EXPECT_NEAR(fret, 1.0, 1e-12);
}

TEST(LineSearch, BracketAndBrent) {
  auto cosine = [](double x) { return std::cos(x); };
  double ax = 2.0, bx = 2.5, cx, fa, fb, fc;
  mnbrak(ax, bx, cx, fa, fb, fc, cosine);
  EXPECT_GT((ax - bx) * (bx - cx), 0.0);  // bx between ax and cx
  EXPECT_LE(fb, fa);
  EXPECT_LE(fb, fc);
  double xmin = 0;
  const double fmin = brent(ax, bx, cx, cosine, 1e-8, xmin);
  EXPECT_NEAR(xmin, kPi, 1e-7);  // minimum of cos at pi
  EXPECT_NEAR(fmin, -1.0, 1e-14);
}

TEST(LineSearch, BrentIterationLimitWarnsAndReturnsTheBestPoint) {
  // A flat function over a huge interval with tolerance 0: every step is a golden section
  // (the parabola through equal values is degenerate), which shrinks the interval by about
  // 0.618 per step: about 118 steps from 2e15 to the 1e-10 floor, more than the 100 allowed.
  int calls = 0;
  auto flat = [&](double) { ++calls; return 7.0; };
  double xmin = 1e300;
  CaptureOutput out;
  const double f = brent(-1e15, 0.0, 1e15, flat, 0.0, xmin);
  EXPECT_EQ(out.text(), "WARNING: Too many iterations in brent\n");
  EXPECT_EQ(calls, 101);  // one start value and one per iteration
  EXPECT_EQ(f, 7.0);
  EXPECT_LT(std::fabs(xmin), 1e15);
}

TEST(LineSearch, NestedLineMinimisationsKeepTheirOwnLines) {
  // The outer objective runs a line minimisation of its own: g(x, y) = min over t of
  // (t - x)^2 + (t + y)^2 = (x + y)^2 / 2, so the outer minimum of
  // g + (x - 1)^2 + (y - 3)^2 is at x = 1 - s/2, y = 3 - s/2 with s = x + y = 2: (0, 2),
  // where the value is 2 + 1 + 1 = 4.
  int inner_calls = 0;
  auto outer = [&](const Vec& q) {
    auto inner = [&](const Vec& t) { ++inner_calls; return (t[1] - q[1]) * (t[1] - q[1]) + (t[1] + q[2]) * (t[1] + q[2]); };
    Vec t(1, 1), dir(1, 1);
    dir[1] = 1;
    double g = 0;
    linmin(t, dir, 1, g, inner);
    return g + (q[1] - 1) * (q[1] - 1) + (q[2] - 3) * (q[2] - 3);
  };
  Vec p(1, 2);
  Mat xi(1, 2, 1, 2);
  xi[1][1] = xi[2][2] = 1;
  int iter = 0;
  double fret = 0;
  powell(p, xi, 2, 1e-12, iter, fret, outer);
  EXPECT_GT(inner_calls, 0);
  EXPECT_NEAR(p[1], 0.0, 1e-5);
  EXPECT_NEAR(p[2], 2.0, 1e-5);
  EXPECT_NEAR(fret, 4.0, 1e-9);
}
