// Principal components of Gaussian points of known covariance: eigenvalues and rotations,
// the rotation and its inverse, the covariance distance and inverse, and eigensort.

#include <gtest/gtest.h>

#include <cmath>
#include <sstream>
#include <string>
#include <vector>

#include "numeric/linalg.h"
#include "numeric/pca.h"
#include "numeric/random.h"
#include "support/test_support.h"

namespace {

// Points with covariance C = [[4, 1.2], [1.2, 1]] around (1, -2).
Mat gaussian_points(int npts, long seed) {
  Mat M(1, 2, 1, 2);
  M[1][1] = 4.0; M[1][2] = 1.2; M[2][1] = 1.2; M[2][2] = 1.0;
  cov2chol(2, M);
  Mat data(1, npts, 1, 2);
  Vec g(1, 2), out(1, 2);
  for (int i = 1; i <= npts; i++) {
    gasvec(seed, 2, M, g, out);
    data[i][1] = 1.0 + out[1];
    data[i][2] = -2.0 + out[2];
  }
  return data;
}

}  // namespace

TEST(Pca, RecoversTheCovarianceOfGaussianPoints) {
  const int npts = 40000;
  Mat data = gaussian_points(npts, -41);
  const Mat original = data;
  Vec mean(1, 2), eval(1, 2);
  Mat rot(1, 2, 1, 2), cov(1, 2, 1, 2);
  COVcalc(original, npts, 2, mean, cov);
  PCAdcmp(data, npts, 2, mean, eval, rot);

  // Eigenvalues of C: (5 +- sqrt(9 + 5.76)) / 2 = 4.4210, 0.5790 (sampling error ~1%).
  const double root = std::sqrt(9.0 + 4 * 1.44);
  EXPECT_NEAR(eval[1], (5 + root) / 2, 0.1);
  EXPECT_NEAR(eval[2], (5 - root) / 2, 0.02);
  EXPECT_NEAR(mean[1], 1.0, 0.05);
  EXPECT_NEAR(mean[2], -2.0, 0.03);

  // Exactly: rot cov rot^T = diag(eval) for the sample covariance.
  for (int i = 1; i <= 2; i++)
    for (int j = 1; j <= 2; j++) {
      double s = 0;
      for (int k = 1; k <= 2; k++)
        for (int l = 1; l <= 2; l++) s += rot[i][k] * cov[k][l] * rot[j][l];
      EXPECT_NEAR(s, i == j ? eval[i] : 0.0, 1e-10);
    }

  // The rotated points have mean 0 and sample variances equal to the eigenvalues.
  Vec m2(1, 2);
  Mat c2(1, 2, 1, 2);
  COVcalc(data, npts, 2, m2, c2);
  EXPECT_NEAR(m2[1], 0.0, 1e-12);
  EXPECT_NEAR(c2[1][1], eval[1], 1e-10);
  EXPECT_NEAR(c2[2][2], eval[2], 1e-10);
  EXPECT_NEAR(c2[1][2], 0.0, 1e-10);

  // PCAderot undoes PCArot.
  Vec x(1, 2);
  x[1] = original[7][1]; x[2] = original[7][2];
  PCArot(mean, rot, 2, x);
  EXPECT_NEAR(x[1], data[7][1], 1e-14);
  PCAderot(mean, rot, 2, x);
  EXPECT_NEAR(x[1], original[7][1], 1e-13);
  EXPECT_NEAR(x[2], original[7][2], 1e-13);
}

TEST(Pca, CovarianceDistanceAndInverse) {
  const int npts = 500;
  const Mat data = gaussian_points(npts, -42);
  Vec mean(1, 2);
  Mat cov(1, 2, 1, 2), icov(1, 2, 1, 2);
  COVcalc(data, npts, 2, mean, cov, &icov);
  for (int i = 1; i <= 2; i++)
    for (int j = 1; j <= 2; j++) {
      double s = 0;
      for (int k = 1; k <= 2; k++) s += cov[i][k] * icov[k][j];
      EXPECT_NEAR(s, i == j ? 1.0 : 0.0, 1e-12);
    }
  // One standard deviation along a principal axis is at covariance distance 1.
  Mat work = data, rot(1, 2, 1, 2);
  Vec eval(1, 2), x(1, 2);
  PCAdcmp(work, npts, 2, mean, eval, rot);
  for (int j = 1; j <= 2; j++) x[j] = mean[j] + std::sqrt(eval[2]) * rot[2][j];
  EXPECT_NEAR(COVdist(mean, icov, 2, x), 1.0, 1e-10);
}

TEST(Pca, EigensortOrdersByMagnitude) {
  Vec w(1, 3);
  Mat v(1, 3, 1, 3);
  w[1] = 2; w[2] = -3; w[3] = 0.5;
  for (int i = 1; i <= 3; i++)
    for (int j = 1; j <= 3; j++) v[i][j] = 10 * i + j;
  eigensort(3, w, v, -1);
  EXPECT_EQ(w[1], -3);
  EXPECT_EQ(w[2], 2);
  EXPECT_EQ(w[3], 0.5);
  EXPECT_EQ(v[1][1], 21);  // rows travel with their values
  EXPECT_EQ(v[2][3], 13);
  eigensort(3, w, v, 1);
  EXPECT_EQ(w[1], 0.5);
  EXPECT_EQ(w[3], -3);
  EXPECT_EQ(v[1][2], 32);
}

TEST(Pca, TooFewPointsIsAnError) {
  Mat data(1, 1, 1, 2);
  Vec mean(1, 2);
  Mat cov(1, 2, 1, 2);
  for (int npts : {0, 1}) {
    const FatalError e = fatal_of([&] { COVcalc(data, npts, 2, mean, cov); });
    EXPECT_EQ(e.kind, FatalKind::Error);
  }
}
