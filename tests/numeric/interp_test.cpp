// Interpolation: step values, table look-up inside and outside the table, linear and
// logarithmic interpolation that must reproduce the functions it interpolates, and the
// least-squares plane with its residuals.

#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "numeric/alloc.h"
#include "numeric/interp.h"
#include "shell/fatal.h"
#include "support/test_support.h"

namespace {

Vec vec(std::initializer_list<double> v) {
  Vec r(1, static_cast<long>(v.size()));
  long i = 1;
  for (double e : v) r[i++] = e;
  return r;
}

}  // namespace

// ---------------------------------------------------------------- step values

TEST(Setparm, LinearAndLogarithmicSteps) {
  EXPECT_DOUBLE_EQ(setparm(5, 3, 0, 10), 5);
  EXPECT_DOUBLE_EQ(setparm(-5, 3, 1, 100), 10);
  EXPECT_DOUBLE_EQ(setparm(-3, 1, 1, 100), 1);
  EXPECT_DOUBLE_EQ(setparm(2, 2, 3, 7), 7);
  EXPECT_DOUBLE_EQ(setparm(-4, 4, 2, 54), 54);
  EXPECT_DOUBLE_EQ(setparm(-4, 2, -2, -54), -6);  // logarithmic over a negative range
  EXPECT_DOUBLE_EQ(setparm(1, 1, 3, 7), 3);
}

// ---------------------------------------------------------------- tables

TEST(Linint, DecreasingTableInsideAndOutside) {
  const Vec x = vec({3, 2, 1}), y = vec({30, 20, 10});
  double out = 0;
  {
    CaptureOutput cap;
    EXPECT_DOUBLE_EQ(linint(x, y, 3, out, 2.5), 25);
    EXPECT_EQ(out, 25);
    EXPECT_EQ(linint(x, y, 3, out, 2.0), 20);  // a table abscissa gives its value exactly
    EXPECT_EQ(cap.text(), "");
  }
  CaptureOutput cap;
  EXPECT_NEAR(linint(x, y, 3, out, 0.0), 0, 1e-12);
  EXPECT_NEAR(linint(x, y, 3, out, 4.0), 40, 1e-12);
  EXPECT_EQ(cap.text(), "WARNING: x out of range in linint\nWARNING: x out of range in linint\n");
}

TEST(Linint, RepeatedAbscissaeStayFinite) {
  // A cumulative table with steps of zero width: a flat interval gives its start value.
  const Vec x = vec({0, 0.5, 0.5, 0.5, 1}), y = vec({0, 1, 2, 3, 4});
  double out;
  EXPECT_DOUBLE_EQ(linint(x, y, 5, out, 0.25), 0.5);
  EXPECT_DOUBLE_EQ(linint(x, y, 5, out, 0.75), 3.5);
  EXPECT_DOUBLE_EQ(linint2(x, y, 5, 1, out, 0.75), 3.5);
  EXPECT_DOUBLE_EQ(linint2(x, y, 5, 3, out, 0.5), 2);
  const Vec xf = vec({1, 1, 2}), yf = vec({4, 6, 8});
  EXPECT_DOUBLE_EQ(linint(xf, yf, 3, out, 1.0), 4);
  EXPECT_DOUBLE_EQ(linint2(xf, yf, 3, 1, out, 1.0), 4);
}

TEST(Linint, SearchFromAnyHint) {
  const Vec x = vec({1, 2, 3, 4}), y = vec({10, 20, 30, 40});
  double out;
  for (int hint : {-3, 1, 2, 3, 9}) {
    EXPECT_DOUBLE_EQ(linint2(x, y, 4, hint, out, 3.5), 35) << hint;
    EXPECT_DOUBLE_EQ(linint2(x, y, 4, hint, out, 1.5), 15) << hint;
    EXPECT_DOUBLE_EQ(linint2(x, y, 4, hint, out, 3.0), 30) << hint;
  }
  CaptureOutput cap;
  EXPECT_NEAR(linint2(x, y, 4, 1, out, 5.0), 50, 1e-12);
  EXPECT_NEAR(linint2(x, y, 4, 1, out, 0.0), 0, 1e-12);
  EXPECT_EQ(count_occurrences(cap.text(), "WARNING: x out of range in linint\n"), 2);
}

TEST(Linint, RefusedTables) {
  const Vec one = vec({1}), dec = vec({3, 2, 1});
  double out;
  EXPECT_EQ(fatal_of([&] { linint(one, one, 1, out, 1.0); }).message, "linint needs a table of at least two entries");
  EXPECT_EQ(fatal_of([&] { linint2(one, one, 1, 1, out, 1.0); }).message,
            "linint2 needs a table of at least two entries");
  const FatalError e = fatal_of([&] { linint2(dec, dec, 3, 1, out, 2.0); });
  EXPECT_EQ(e.kind, FatalKind::Error);
  EXPECT_EQ(e.message, "linint2 requires an array that is monotonic increasing");
}

// ---------------------------------------------------------------- neighbours

TEST(Interp, OneDimensionalLinearAndLogarithmic) {
  EXPECT_DOUBLE_EQ(interp1(0.25, 2, 6, 0), 3);
  EXPECT_NEAR(interp1(0.5, 1, 100, 1), 10, 1e-12);
  EXPECT_NEAR(interp1(0.5, -1, -100, 1), -10, 1e-12);
  EXPECT_EQ(fatal_of([] { interp1(0.5, -1, 100, 1); }).message, "cannot do log interpolation across zero");
  EXPECT_EQ(fatal_of([] { interp1(0.5, 0, 100, 1); }).message, "cannot do log interpolation across zero");
}

TEST(Interp, BilinearAndTrilinearReproduceTheirFunctions) {
  Mat m(1, 3, 1, 3), lg(1, 3, 1, 3);
  for (int i = 1; i <= 3; ++i)
    for (int j = 1; j <= 3; ++j) {
      m[i][j] = 1 + 2 * i + 3 * j + 0.5 * i * j;
      lg[i][j] = -std::pow(10.0, 0.1 * i + 0.2 * j);
    }
  // Between rows 1 and 3 and columns 1 and 3 at fractions 0.3 and 0.6: i = 1.6, j = 2.2.
  EXPECT_NEAR(interp2(m, 1, 3, 1, 3, 0, 0.3, 0.6), 1 + 3.2 + 6.6 + 0.5 * 1.6 * 2.2, 1e-12);
  EXPECT_NEAR(interp2(lg, 1, 3, 1, 3, 1, 0.3, 0.6), -std::pow(10.0, 0.16 + 0.44), 1e-12);
  Mat flat(1, 2, 1, 2);
  flat.fill(-4);
  EXPECT_EQ(interp2(flat, 1, 2, 1, 2, 1, 0.3, 0.6), -4);
  flat[2][2] = 5;
  EXPECT_EQ(fatal_of([&] { interp2(flat, 1, 2, 1, 2, 1, 0.3, 0.6); }).message, "cannot do log interpolation across zero");

  Tensor3 T(0, 2, 1, 2, 3, 5);
  for (int i = 0; i <= 2; ++i)
    for (int j = 1; j <= 2; ++j)
      for (int k = 3; k <= 5; ++k) T[i][j][k] = 1 + i - 2 * j + 0.5 * k + i * j * k;
  // i = 0.5, j = 1.25, k = 3 + 0.8*2 = 4.6
  const double i = 0.5, j = 1.25, k = 4.6;
  EXPECT_NEAR(interp3(T, 0, 1, 1, 2, 3, 5, 0.5, 0.25, 0.8, 0), 1 + i - 2 * j + 0.5 * k + i * j * k, 1e-12);
  Tensor3 P(1, 2, 1, 2, 1, 2);
  P.fill(2.5);
  EXPECT_EQ(interp3(P, 1, 2, 1, 2, 1, 2, 0.1, 0.2, 0.3, 1), 2.5);
  P[2][1][2] = 25;
  EXPECT_NEAR(interp3(P, 1, 2, 1, 2, 1, 2, 1.0, 0.0, 0.5, 1), 2.5 * std::sqrt(10.0), 1e-12);

  // Corners of 1 + 2t + 3u + 4tu on the unit square.
  const Vec c = vec({1, 3, 4, 10});
  EXPECT_NEAR(interp2b(c, 0.3, 0.7), 1 + 0.6 + 2.1 + 4 * 0.21, 1e-12);
}

TEST(Fitplane, ExactPlaneAndLeastSquaresResiduals) {
  const Vec x = vec({0, 1, 0, 2}), y = vec({0, 0, 1, 3});
  Vec z(1, 4);
  for (int k = 1; k <= 4; ++k) z[k] = 2 * x[k] - 3 * y[k] + 5;
  double p, q, r, rms;
  fitplane1(x, y, z, p, q, r, rms);
  EXPECT_NEAR(p, 2, 1e-12);
  EXPECT_NEAR(q, -3, 1e-12);
  EXPECT_NEAR(r, 5, 1e-12);
  EXPECT_NEAR(rms, 0, 1e-12);
  // Off the plane: the residuals of a least-squares fit are orthogonal to 1, x and y.
  z[4] += 1;
  fitplane1(x, y, z, p, q, r, rms);
  double s1 = 0, sx = 0, sy = 0, ss = 0;
  for (int k = 1; k <= 4; ++k) {
    const double e = p * x[k] + q * y[k] + r - z[k];
    s1 += e;
    sx += e * x[k];
    sy += e * y[k];
    ss += e * e;
  }
  EXPECT_NEAR(s1, 0, 1e-12);
  EXPECT_NEAR(sx, 0, 1e-12);
  EXPECT_NEAR(sy, 0, 1e-12);
  EXPECT_NEAR(rms, std::sqrt(ss / 4), 1e-12);
  double value, rms2;
  EXPECT_NEAR(fitplane2(x, y, z, 1.5, -1, value, rms2), 1.5 * p - q + r, 1e-12);
  EXPECT_EQ(value, fitplane2(x, y, z, 1.5, -1, value, rms2));
  EXPECT_EQ(rms2, rms);
}
