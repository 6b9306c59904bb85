// Principal component analysis of point sets, and the command doPCA.
#include "numeric/pca.h"

#include <cmath>
#include <vector>

#include "io/outfile.h"
#include "io/qvmfile.h"
#include "numeric/linalg.h"
#include "numeric/sort.h"
#include "shell/fatal.h"

namespace {

// A covariance needs two points and one dimension; anything less ends with an ERROR.
void check_covariance_input(long npts, long n) {
  if (npts < 2) fatal(strformat("a covariance matrix needs at least two points (%ld given)", npts));
  if (n < 1) fatal(strformat("a covariance matrix needs at least one dimension (%ld given)", n));
}

}  // namespace

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

// ---- the command ----

void doPCAhelp(int level) {
  if (quietflag) return;
  if (level == 1) {
    qprintf("Do Principal Component Analysis of a dataset.\n");
    return;
  }
  qprintf("doPCA <inname> <outbase> [# dimensions] [# data points]\n");
  qprintf("Do Principal Component Analysis of a dataset.\n");
  qprintf("The input file holds one data point per line. If the number of dimensions\n");
  qprintf("is not given (or not positive), the first line of the file gives it. If the\n");
  qprintf("number of data points is not given (or not positive), the file is read once\n");
  qprintf("to count them.\n");
  qprintf("Writes <outbase>.info (index, eigenvalue, mean vector, rotation matrix) and\n");
  qprintf("<outbase>.dat (the data points in the principal frame, in input order).\n");
  qprintf("The rotation goes from the data frame to the principal frame:\n");
  qprintf("  data' = rot . (data-mean)\n");
}

void doPCA(const WordArray& words) {
  if (words.own_count() < 3) {
    doPCAhelp(2);
    return;
  }
  const std::string inname = words[1], outbase = words[2];
  // Counts are kept as long until the file has confirmed them (a line must hold n values,
  // npts lines must exist), so an absurd count ends with the missing-data error.
  long n = words.own_count() > 3 ? words.integer(3) : 0;
  long npts = words.own_count() > 4 ? words.integer(4) : 0;
  WordArray line;

  if (npts <= 0) {
    FileHandle f(QVMfopen(inname, "r", "could not open input file for doPCA"));
    qprintf("doPCA: counting data points ... ");
    std::fflush(QVMstdout);
    if (n <= 0) myread(f, line);  // the first data line holds the dimension
    npts = 0;
    while (myread(f, line)) npts++;
    f.close();
    qprintf("%ld\n", npts);
  }

  FileHandle f(QVMfopen(inname, "r", "could not open input file for doPCA"));
  if (n <= 0) {
    if (!myread(f, line) || line.own_count() < 1) fatal("missing data in doPCA input file");
    const long dim = line.integer(0);
    if (dim <= 0) fatal("the number of dimensions in the doPCA input file must be positive");
    n = dim;
  }
  qprintf("doPCA: number of dimensions ... %ld\n", n);

  // Points are collected before the matrix is made, so that a wrong count on the command
  // line ends with the missing-data error rather than a huge allocation.
  std::vector<double> values;
  for (long i = 1; i <= npts; i++) {
    if (!myread(f, line) || line.own_count() < n) fatal("missing data in doPCA input file");
    for (int j = 0; j < n; j++) values.push_back(line.real(j));
  }
  f.close();
  // Before the n by n matrices are made: without two points a dimension read from the
  // file has not been confirmed by any data line.
  check_covariance_input(npts, n);

  Mat data(1, npts, 1, n);
  for (long i = 1; i <= npts; i++)
    for (long j = 1; j <= n; j++) data[i][j] = values[static_cast<size_t>((i - 1) * n + (j - 1))];
  std::vector<double>().swap(values);

  Vec mean(1, n), eval(1, n);
  Mat rot(1, n, 1, n);
  PCAdcmp(data, static_cast<int>(npts), static_cast<int>(n), mean, eval, rot);

  WholeFile info(outbase + ".info", "could not open doPCA output file", true);
  std::fprintf(info, "#  index  eigenvalues  mean-vector  rotation-matrix\n");
  for (long i = 1; i <= n; i++) {
    std::fprintf(info, "%2ld %13.6e %13.6e ", i, eval[i], mean[i]);
    for (long j = 1; j <= n; j++) std::fprintf(info, " %13.6e", rot[i][j]);
    std::fprintf(info, "\n");
  }
  info.commit();

  WholeFile dat(outbase + ".dat", "could not open doPCA output file", true);
  for (long i = 1; i <= npts; i++) {
    for (long j = 1; j <= n; j++) std::fprintf(dat, " %13.6e", data[i][j]);
    std::fprintf(dat, "\n");
  }
  dat.commit();
}
