// Linear algebra on random matrices: LU solutions, inverses and determinants, Cholesky
// factors and their inverses, singular value decompositions that rebuild their matrix,
// Gram-Schmidt, and the handling of singular and semi-definite matrices.

#include <gtest/gtest.h>

#include <cmath>

#include "numeric/linalg.h"
#include "numeric/random.h"
#include "support/test_support.h"

namespace {

Mat random_matrix(int m, int n, long& seed) {
  Mat a(1, m, 1, n);
  for (int i = 1; i <= m; i++)
    for (int j = 1; j <= n; j++) a[i][j] = ran1(seed) - 0.5;
  return a;
}

Mat product(const Mat& a, const Mat& b) {
  Mat c(1, a.nrows(), 1, b.ncols());
  for (long i = 1; i <= a.nrows(); i++)
    for (long j = 1; j <= b.ncols(); j++) {
      double s = 0;
      for (long k = 1; k <= a.ncols(); k++) s += a[i][k] * b[k][j];
      c[i][j] = s;
    }
  return c;
}

void expect_identity(const Mat& m, double tol) {
  for (long i = 1; i <= m.nrows(); i++)
    for (long j = 1; j <= m.ncols(); j++) EXPECT_NEAR(m[i][j], i == j ? 1.0 : 0.0, tol) << i << "," << j;
}

}  // namespace

TEST(Linalg, LuSolvesAndInverts) {
  long seed = -31;
  for (int n : {1, 2, 5, 12}) {
    Mat a = random_matrix(n, n, seed), lu = a;
    Vec b(1, n), x(1, n);
    for (int i = 1; i <= n; i++) b[i] = x[i] = ran1(seed);
    IVec indx(1, n);
    double d;
    ludcmp(lu, n, indx, d);
    lubksb(lu, n, indx, x);
    for (int i = 1; i <= n; i++) {  // A x reproduces b
      double s = 0;
      for (int j = 1; j <= n; j++) s += a[i][j] * x[j];
      EXPECT_NEAR(s, b[i], 1e-11);
    }
    Mat inv = a;
    matinv(inv, n);
    expect_identity(product(a, inv), 1e-10);
    expect_identity(product(inv, a), 1e-10);
  }

  // The determinant is d times the product of U's diagonal; this matrix (det -85 by
  // cofactors: -2 (80 - 42) + 3 (32 - 35)) needs row exchanges.
  Mat a(1, 3, 1, 3);
  const double v[3][3] = {{0, 2, 3}, {4, 5, 6}, {7, 8, 20}};
  for (int i = 0; i < 3; i++)
    for (int j = 0; j < 3; j++) a[i + 1][j + 1] = v[i][j];
  IVec indx(1, 3);
  double d;
  ludcmp(a, 3, indx, d);
  EXPECT_NEAR(d * a[1][1] * a[2][2] * a[3][3], -85.0, 1e-12);
}

TEST(Linalg, LuOfSingularMatrices) {
  Mat zero_row(1, 2, 1, 2);
  zero_row[1][1] = 1; zero_row[1][2] = 2;
  IVec indx(1, 2);
  double d;
  const FatalError e = fatal_of([&] { ludcmp(zero_row, 2, indx, d); });
  EXPECT_EQ(e.kind, FatalKind::Numerical);
  EXPECT_EQ(e.message, "Singular matrix in routine ludcmp");

  // Singular without a zero row: the zero pivot becomes 1e-20 and the decomposition ends.
  Mat ones(1, 2, 1, 2);
  ones.fill(1.0);
  ludcmp(ones, 2, indx, d);
  EXPECT_EQ(ones[2][2], 1e-20);
  // Both rows are equal pivot candidates for column 1: the last one is taken.
  EXPECT_EQ(indx[1], 2);
  EXPECT_EQ(d, -1.0);
}

TEST(Linalg, CholeskyFactorAndItsInverse) {
  // A = B B^T + I is positive definite.
  long seed = -32;
  const int n = 6;
  Mat b = random_matrix(n, n, seed), a(1, n, 1, n);
  for (int i = 1; i <= n; i++)
    for (int j = 1; j <= n; j++) {
      double s = i == j ? 1.0 : 0.0;
      for (int k = 1; k <= n; k++) s += b[i][k] * b[j][k];
      a[i][j] = s;
    }
  Mat L = a;
  Vec p(1, n);
  ASSERT_EQ(cov2chol(n, L, &p), 1);
  for (int i = 1; i <= n; i++) {
    EXPECT_EQ(L[i][i], p[i]);
    for (int j = i + 1; j <= n; j++) EXPECT_EQ(L[i][j], 0.0);
  }
  Mat LT(1, n, 1, n);
  for (int i = 1; i <= n; i++)
    for (int j = 1; j <= n; j++) LT[i][j] = L[j][i];
  const Mat llt = product(L, LT);
  for (int i = 1; i <= n; i++)
    for (int j = 1; j <= n; j++) EXPECT_NEAR(llt[i][j], a[i][j], 1e-12);

  Mat inv(1, n, 1, n);
  cholinv(n, L, inv);
  Mat lower(1, n, 1, n);  // the lower triangle of inv is L^-1
  for (int i = 1; i <= n; i++)
    for (int j = 1; j <= i; j++) lower[i][j] = inv[i][j];
  expect_identity(product(lower, L), 1e-12);
}

TEST(Linalg, CholeskyRefusesSemiDefiniteMatrices) {
  Mat ones(1, 2, 1, 2);
  ones.fill(1.0);
  Vec p(1, 2);
  EXPECT_EQ(choldc(ones, 2, p), 0);  // the second pivot is exactly 0
  ones.fill(1.0);
  CaptureOutput out;
  EXPECT_EQ(cov2chol(2, ones), 0);
  EXPECT_EQ(out.text(), "WARNING: cannot find Cholesky decomposition of covariance matrix\n");
}

TEST(Linalg, SingularValueDecompositionReconstructs) {
  long seed = -33;
  for (auto mn : {std::pair<int, int>{4, 4}, {7, 3}, {1, 1}, {3, 5}}) {
    const int m = mn.first, n = mn.second;
    const Mat a = random_matrix(m, n, seed);
    Mat u = a, v(1, n, 1, n);
    Vec w(1, n);
    svdcmp(u, m, n, w, v);
    for (int j = 1; j <= n; j++) EXPECT_GE(w[j], 0.0);
    for (int i = 1; i <= m; i++)  // U W V^T = A
      for (int j = 1; j <= n; j++) {
        double s = 0;
        for (int k = 1; k <= n; k++) s += u[i][k] * w[k] * v[j][k];
        EXPECT_NEAR(s, a[i][j], 1e-12) << m << "x" << n;
      }
    Mat vt(1, n, 1, n);
    for (int i = 1; i <= n; i++)
      for (int j = 1; j <= n; j++) vt[i][j] = v[j][i];
    expect_identity(product(vt, v), 1e-12);
    if (m >= n) {
      Mat ut(1, n, 1, m);
      for (int i = 1; i <= m; i++)
        for (int j = 1; j <= n; j++) ut[j][i] = u[i][j];
      expect_identity(product(ut, u), 1e-12);
    }
  }

  // A rank-one matrix: one singular value sqrt(sum of squares), the others zero.
  Mat r(1, 3, 1, 3), v(1, 3, 1, 3);
  for (int i = 1; i <= 3; i++)
    for (int j = 1; j <= 3; j++) r[i][j] = i * j;  // (1,2,3)^T (1,2,3)
  Vec w(1, 3);
  svdcmp(r, 3, 3, w, v);
  double big = 0, rest = 0;
  for (int j = 1; j <= 3; j++) {
    big = std::max(big, w[j]);
    rest += w[j];
  }
  EXPECT_NEAR(big, 14.0, 1e-12);
  EXPECT_NEAR(rest - big, 0.0, 1e-12);
}

TEST(Linalg, Pythag) {
  EXPECT_DOUBLE_EQ(pythag(3, 4), 5);
  EXPECT_DOUBLE_EQ(pythag(-4, 3), 5);
  EXPECT_EQ(pythag(0, 0), 0);
  EXPECT_DOUBLE_EQ(pythag(1e300, 1e300), std::sqrt(2.0) * 1e300);    // no overflow
  EXPECT_DOUBLE_EQ(pythag(3e-300, 4e-300), 5e-300);                 // no underflow
}

TEST(Linalg, GramSchmidtKeepsTheNestedSubspaces) {
  long seed = -34;
  const int n = 4;
  const Mat q = random_matrix(n, n, seed);
  Mat a = q;
  GramSchmidt(n, a);
  Mat at(1, n, 1, n);
  for (int i = 1; i <= n; i++)
    for (int j = 1; j <= n; j++) at[i][j] = a[j][i];
  expect_identity(product(at, a), 1e-12);
  // Column k lies in the span of q_1..q_k: it is orthogonal to nothing of them in general,
  // but q_k has no component along columns k+1.. of the result.
  for (int k = 1; k <= n; k++)
    for (int c = k + 1; c <= n; c++) {
      double dot = 0;
      for (int i = 1; i <= n; i++) dot += q[i][k] * a[i][c];
      EXPECT_NEAR(dot, 0.0, 1e-12);
    }
  // The first column is q_1 normalised.
  double len = 0;
  for (int i = 1; i <= n; i++) len += q[i][1] * q[i][1];
  for (int i = 1; i <= n; i++) EXPECT_NEAR(a[i][1], q[i][1] / std::sqrt(len), 1e-15);

  Vec u(1, 2), v(1, 2), out(1, 2);
  u[1] = 2; u[2] = 0; v[1] = 3; v[2] = 5;
  GramSchmidtProj(2, u, v, out);
  EXPECT_DOUBLE_EQ(out[1], 3.0);
  EXPECT_DOUBLE_EQ(out[2], 0.0);
}
