// Principal component analysis of point sets: mean and covariance, principal axes, the
// rotation into and out of the principal frame, and the covariance distance. The command
// doPCA that uses them is in io/pca_command.cpp.
#include "numeric/pca.h"

#include <cmath>
#include <vector>

#include "numeric/linalg.h"
#include "numeric/sort.h"
#include "shell/fatal.h"

void check_covariance_input(long npts, long n) {
  if (npts < 2) fatal(strformat("a covariance matrix needs at least two points (%ld given)", npts));
  if (n < 1) fatal(strformat("a covariance matrix needs at least one dimension (%ld given)", n));
}

void COVcalc(const Mat& data, int npts, int n, Vec& mean, Mat& cov, Mat* icov) {
  check_covariance_input(npts, n);
  for (int j = 1; j <= n; j++) {
    double sum = 0.0;
    for (int i = 1; i <= npts; i++) sum += data[i][j];
    mean[j] = sum / npts;
  }
  for (int l = 1; l <= n; l++) {
    for (int m = 1; m <= n; m++) {
      double sum = 0.0;
      for (int i = 1; i <= npts; i++) sum += (data[i][l] - mean[l]) * (data[i][m] - mean[m]);
      cov[l][m] = sum / (npts - 1);
    }
  }
  if (icov) {
    for (int l = 1; l <= n; l++)
      for (int m = 1; m <= n; m++) (*icov)[l][m] = cov[l][m];
    matinv(*icov, n);
  }
}

void eigensort(int n, Vec& w, Mat& v, int dir) {
  if (n <= 0) return;
  Vec key(1, n), wcopy(1, n);
  LVec indx(1, n);
  Mat vcopy(1, n, 1, n);
  for (int i = 1; i <= n; i++) {
    key[i] = std::fabs(w[i]) * dir;
    wcopy[i] = w[i];
    for (int j = 1; j <= n; j++) vcopy[i][j] = v[i][j];
  }
  indexx(n, key, indx);
  for (int i = 1; i <= n; i++) {
    const long k = indx[i];
    w[i] = wcopy[k];
    for (int j = 1; j <= n; j++) v[i][j] = vcopy[k][j];
  }
}

void PCArot(const Vec& mean, const Mat& rot, int n, Vec& x) {
  Vec d(1, n);
  for (int j = 1; j <= n; j++) d[j] = x[j] - mean[j];
  for (int i = 1; i <= n; i++) {
    double sum = 0.0;
    for (int j = 1; j <= n; j++) sum += rot[i][j] * d[j];
    x[i] = sum;
  }
}

void PCAderot(const Vec& mean, const Mat& rot, int n, Vec& x) {
  Vec y(1, n);
  for (int i = 1; i <= n; i++) y[i] = x[i];
  for (int j = 1; j <= n; j++) {
    double sum = 0.0;
    for (int i = 1; i <= n; i++) sum += rot[i][j] * y[i];
    x[j] = sum + mean[j];
  }
}

double COVdist(const Vec& mean, const Mat& icov, int n, const Vec& x) {
  double sum = 0.0;
  for (int i = 1; i <= n; i++) {
    double row = 0.0;
    for (int j = 1; j <= n; j++) row += icov[i][j] * (x[j] - mean[j]);
    sum += (x[i] - mean[i]) * row;
  }
  return std::sqrt(sum);
}

void PCAdcmp(Mat& data, int npts, int n, Vec& mean, Vec& eval, Mat& rot) {
  COVcalc(data, npts, n, mean, rot);
  // The covariance is symmetric and non-negative: its singular values are its
  // eigenvalues and the columns of U its eigenvectors.
  Mat v(1, n, 1, n);
  svdcmp(rot, n, n, eval, v);
  for (int i = 1; i <= n; i++) {
    for (int j = i + 1; j <= n; j++) {
      const double t = rot[i][j];
      rot[i][j] = rot[j][i];
      rot[j][i] = t;
    }
  }
  eigensort(n, eval, rot, -1);
  Vec x(1, n);
  for (int i = 1; i <= npts; i++) {
    for (int j = 1; j <= n; j++) x[j] = data[i][j];
    PCArot(mean, rot, n, x);
    for (int j = 1; j <= n; j++) data[i][j] = x[j];
  }
}
