// Dense linear algebra: LU, inversion, Cholesky, singular value decomposition and
// Gram-Schmidt orthonormalisation.
#include "numeric/linalg.h"

#include <cmath>

namespace {
constexpr double kTinyPivot = 1.0e-20;

inline double sign_of(double a, double b) { return b >= 0.0 ? std::fabs(a) : -std::fabs(a); }
}  // namespace

void ludcmp(Mat& a, int n, IVec& indx, double& d) {
  Vec vv(1, n);
  d = 1.0;
  for (int i = 1; i <= n; i++) {
    double big = 0.0;
    for (int j = 1; j <= n; j++) {
      const double temp = std::fabs(a[i][j]);
      if (temp > big) big = temp;
    }
    if (big == 0.0) nrerror("Singular matrix in routine ludcmp");
    vv[i] = 1.0 / big;
  }
  for (int j = 1; j <= n; j++) {
    for (int i = 1; i < j; i++) {
      double sum = a[i][j];
      for (int k = 1; k < i; k++) sum -= a[i][k] * a[k][j];
      a[i][j] = sum;
    }
    double big = 0.0;
    int imax = j;  // stays on the diagonal when no scaled magnitude compares (NaN entries)
    for (int i = j; i <= n; i++) {
      double sum = a[i][j];
      for (int k = 1; k < j; k++) sum -= a[i][k] * a[k][j];
      a[i][j] = sum;
      const double dum = vv[i] * std::fabs(sum);
      if (dum >= big) {  // the last row wins among equal candidates
        big = dum;
        imax = i;
      }
    }
    if (j != imax) {
      for (int k = 1; k <= n; k++) {
        const double dum = a[imax][k];
        a[imax][k] = a[j][k];
        a[j][k] = dum;
      }
      d = -d;
      vv[imax] = vv[j];
    }
    indx[j] = imax;
    if (a[j][j] == 0.0) a[j][j] = kTinyPivot;
    if (j != n) {
      const double dum = 1.0 / a[j][j];
      for (int i = j + 1; i <= n; i++) a[i][j] *= dum;
    }
  }
}

void lubksb(const Mat& a, int n, const IVec& indx, Vec& b) {
  int ii = 0;
  for (int i = 1; i <= n; i++) {
    const int ip = indx[i];
    double sum = b[ip];
    b[ip] = b[i];
    if (ii) {
      for (int j = ii; j <= i - 1; j++) sum -= a[i][j] * b[j];
    } else if (sum != 0.0) {
      ii = i;  // the sums start at the first nonzero element
    }
    b[i] = sum;
  }
  for (int i = n; i >= 1; i--) {
    double sum = b[i];
    for (int j = i + 1; j <= n; j++) sum -= a[i][j] * b[j];
    b[i] = sum / a[i][i];
  }
}

void matinv(Mat& a, int n) {
  if (n <= 0) return;
  IVec indx(1, n);
  Vec col(1, n);
  Mat inv(1, n, 1, n);
  double d;
  ludcmp(a, n, indx, d);
  for (int j = 1; j <= n; j++) {
    for (int i = 1; i <= n; i++) col[i] = 0.0;
    col[j] = 1.0;
    lubksb(a, n, indx, col);
    for (int i = 1; i <= n; i++) inv[i][j] = col[i];
  }
  for (int i = 1; i <= n; i++)
    for (int j = 1; j <= n; j++) a[i][j] = inv[i][j];
}

int choldc(Mat& a, int n, Vec& p) {
  for (int i = 1; i <= n; i++) {
    for (int j = i; j <= n; j++) {
      double sum = a[i][j];
      for (int k = i - 1; k >= 1; k--) sum -= a[i][k] * a[j][k];
      if (i == j) {
        if (!(sum > 0.0)) return 0;  // also refuses a NaN pivot
        p[i] = std::sqrt(sum);
      } else {
        a[j][i] = sum / p[i];
      }
    }
  }
  return 1;
}

int cov2chol(int n, Mat& a, Vec* p) {
  Vec own;
  if (!p) {
    own.reset(1, n);
    p = &own;
  }
  if (!choldc(a, n, *p)) {
    warning("cannot find Cholesky decomposition of covariance matrix");
    return 0;
  }
  for (int i = 1; i <= n; i++) {
    a[i][i] = (*p)[i];
    for (int j = i + 1; j <= n; j++) a[i][j] = 0.0;
  }
  return 1;
}

void cholinv(int n, const Mat& L, Mat& inv) {
  for (int i = 1; i <= n; i++)
    for (int j = 1; j <= n; j++) inv[i][j] = L[i][j];
  for (int i = 1; i <= n; i++) {
    inv[i][i] = 1.0 / L[i][i];
    for (int j = i + 1; j <= n; j++) {
      double sum = 0.0;
      for (int k = i; k < j; k++) sum -= L[j][k] * inv[k][i];
      inv[j][i] = sum / L[j][j];
    }
  }
}

double pythag(double a, double b) {
  const double absa = std::fabs(a), absb = std::fabs(b);
  if (absa > absb) {
    const double r = absb / absa;
    return absa * std::sqrt(1.0 + r * r);
  }
  if (absb == 0.0) return 0.0;
  const double r = absa / absb;
  return absb * std::sqrt(1.0 + r * r);
}

void svdcmp(Mat& a, int m, int n, Vec& w, Mat& v) {
  if (n <= 0) return;
  Vec rv1(1, n);
  int l = 1, nm = 0;
  double g = 0.0, scale = 0.0, anorm = 0.0, s, f, h;

  // Householder reduction to bidiagonal form.
  for (int i = 1; i <= n; i++) {
    l = i + 1;
    rv1[i] = scale * g;
    g = s = scale = 0.0;
    if (i <= m) {
      for (int k = i; k <= m; k++) scale += std::fabs(a[k][i]);
      if (scale != 0.0) {
        for (int k = i; k <= m; k++) {
          a[k][i] /= scale;
          s += a[k][i] * a[k][i];
        }
        f = a[i][i];
        g = -sign_of(std::sqrt(s), f);
        h = f * g - s;
        a[i][i] = f - g;
        for (int j = l; j <= n; j++) {
          s = 0.0;
          for (int k = i; k <= m; k++) s += a[k][i] * a[k][j];
          f = s / h;
          for (int k = i; k <= m; k++) a[k][j] += f * a[k][i];
        }
        for (int k = i; k <= m; k++) a[k][i] *= scale;
      }
    }
    w[i] = scale * g;
    g = s = scale = 0.0;
    if (i <= m && i != n) {
      for (int k = l; k <= n; k++) scale += std::fabs(a[i][k]);
      if (scale != 0.0) {
        for (int k = l; k <= n; k++) {
          a[i][k] /= scale;
          s += a[i][k] * a[i][k];
        }
        f = a[i][l];
        g = -sign_of(std::sqrt(s), f);
        h = f * g - s;
        a[i][l] = f - g;
        for (int k = l; k <= n; k++) rv1[k] = a[i][k] / h;
        for (int j = l; j <= m; j++) {
          s = 0.0;
          for (int k = l; k <= n; k++) s += a[j][k] * a[i][k];
          for (int k = l; k <= n; k++) a[j][k] += s * rv1[k];
        }
        for (int k = l; k <= n; k++) a[i][k] *= scale;
      }
    }
    const double t = std::fabs(w[i]) + std::fabs(rv1[i]);
    if (t > anorm) anorm = t;
  }

  // Accumulation of the right-hand transformations.
  for (int i = n; i >= 1; i--) {
    if (i < n) {
      if (g != 0.0) {
        for (int j = l; j <= n; j++) v[j][i] = (a[i][j] / a[i][l]) / g;  // double division avoids underflow
        for (int j = l; j <= n; j++) {
          s = 0.0;
          for (int k = l; k <= n; k++) s += a[i][k] * v[k][j];
          for (int k = l; k <= n; k++) v[k][j] += s * v[k][i];
        }
      }
      for (int j = l; j <= n; j++) v[i][j] = v[j][i] = 0.0;
    }
    v[i][i] = 1.0;
    g = rv1[i];
    l = i;
  }

  // Accumulation of the left-hand transformations.
  for (int i = (m < n ? m : n); i >= 1; i--) {
    l = i + 1;
    g = w[i];
    for (int j = l; j <= n; j++) a[i][j] = 0.0;
    if (g != 0.0) {
      g = 1.0 / g;
      for (int j = l; j <= n; j++) {
        s = 0.0;
        for (int k = l; k <= m; k++) s += a[k][i] * a[k][j];
        f = (s / a[i][i]) * g;
        for (int k = i; k <= m; k++) a[k][j] += f * a[k][i];
      }
      for (int j = i; j <= m; j++) a[j][i] *= g;
    } else {
      for (int j = i; j <= m; j++) a[j][i] = 0.0;
    }
    ++a[i][i];
  }

  // Diagonalisation of the bidiagonal form: one singular value at a time, from the last.
  for (int k = n; k >= 1; k--) {
    for (int its = 1; its <= 30; its++) {
      int flag = 1;
      for (l = k; l >= 1; l--) {
        nm = l - 1;
        // rv1[1] is always zero, so the scan ends at l = 1 at the latest (also when the
        // norm is not a number).
        if (l == 1 || std::fabs(rv1[l]) + anorm == anorm) {
          flag = 0;
          break;
        }
        if (std::fabs(w[nm]) + anorm == anorm) break;
      }
      double c, x, y, z;
      if (flag) {
        c = 0.0;  // cancellation of rv1[l] when l > 1
        s = 1.0;
        for (int i = l; i <= k; i++) {
          f = s * rv1[i];
          rv1[i] = c * rv1[i];
          if (std::fabs(f) + anorm == anorm) break;
          g = w[i];
          h = pythag(f, g);
          w[i] = h;
          h = 1.0 / h;
          c = g * h;
          s = -f * h;
          for (int j = 1; j <= m; j++) {
            y = a[j][nm];
            z = a[j][i];
            a[j][nm] = y * c + z * s;
            a[j][i] = z * c - y * s;
          }
        }
      }
      z = w[k];
      if (l == k) {  // convergence: make the singular value non-negative
        if (z < 0.0) {
          w[k] = -z;
          for (int j = 1; j <= n; j++) v[j][k] = -v[j][k];
        }
        break;
      }
      if (its == 30) nrerror("no convergence in 30 svdcmp iterations");
      x = w[l];  // shift from the bottom 2 by 2 minor
      nm = k - 1;
      y = w[nm];
      g = rv1[nm];
      h = rv1[k];
      f = ((y - z) * (y + z) + (g - h) * (g + h)) / (2.0 * h * y);
      g = pythag(f, 1.0);
      f = ((x - z) * (x + z) + h * ((y / (f + sign_of(g, f))) - h)) / x;
      c = s = 1.0;  // next QR transformation
      for (int j = l; j <= nm; j++) {
        const int i = j + 1;
        g = rv1[i];
        y = w[i];
        h = s * g;
        g = c * g;
        z = pythag(f, h);
        rv1[j] = z;
        c = f / z;
        s = h / z;
        f = x * c + g * s;
        g = g * c - x * s;
        h = y * s;
        y *= c;
        for (int jj = 1; jj <= n; jj++) {
          x = v[jj][j];
          z = v[jj][i];
          v[jj][j] = x * c + z * s;
          v[jj][i] = z * c - x * s;
        }
        z = pythag(f, h);
        w[j] = z;
        if (z != 0.0) {  // rotation can be arbitrary when z is zero
          z = 1.0 / z;
          c = f * z;
          s = h * z;
        }
        f = c * g + s * y;
        x = c * y - s * g;
        for (int jj = 1; jj <= m; jj++) {
          y = a[jj][j];
          z = a[jj][i];
          a[jj][j] = y * c + z * s;
          a[jj][i] = z * c - y * s;
        }
      }
      rv1[l] = 0.0;
      rv1[k] = f;
      w[k] = x;
    }
  }
}

void GramSchmidtProj(int n, const Vec& u, const Vec& v, Vec& out) {
  double uv = 0.0, uu = 0.0;
  for (int i = 1; i <= n; i++) {
    uv += u[i] * v[i];
    uu += u[i] * u[i];
  }
  const double f = uv / uu;
  for (int i = 1; i <= n; i++) out[i] = f * u[i];
}

void GramSchmidt(int n, Mat& a) {
  if (n <= 0) return;
  Mat pk(1, n, 1, n);  // column k holds p_k
  Vec q(1, n), pc(1, n), proj(1, n);
  for (int k = 1; k <= n; k++) {
    for (int i = 1; i <= n; i++) q[i] = a[i][k];
    for (int i = 1; i <= n; i++) pk[i][k] = q[i];
    for (int c = 1; c < k; c++) {
      for (int i = 1; i <= n; i++) pc[i] = pk[i][c];
      GramSchmidtProj(n, pc, q, proj);
      for (int i = 1; i <= n; i++) pk[i][k] -= proj[i];
    }
  }
  for (int k = 1; k <= n; k++) {
    double len = 0.0;
    for (int i = 1; i <= n; i++) len += pk[i][k] * pk[i][k];
    len = std::sqrt(len);
    for (int i = 1; i <= n; i++) a[i][k] = pk[i][k] / len;
  }
}
