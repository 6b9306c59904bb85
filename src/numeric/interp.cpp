// Step values and interpolation: setparm, the table-interpolation failures, and interpolation
// between neighbours, optionally in the logarithm.
#include "numeric/interp.h"

#include <cstdlib>

#include "shell/fatal.h"

// ---------------------------------------------------------------- step values

double setparm(int n, int i, double lo, double hi) {
  if (i == 1) return lo;
  const double f = static_cast<double>(i - 1) / static_cast<double>(std::abs(n) - 1);
  if (n > 0) return lo + (hi - lo) * f;
  return lo * std::pow(hi / lo, f);
}

// ---------------------------------------------------------------- tables

namespace interp_detail {

void short_table(const char* routine) {
  fatal(strformat("%s needs a table of at least two entries", routine));
}

void not_increasing() { fatal("linint2 requires an array that is monotonic increasing"); }

void out_of_range() { warning("x out of range in linint"); }

}  // namespace interp_detail

// ---------------------------------------------------------------- neighbours

namespace {

[[noreturn]] void across_zero() { fatal("cannot do log interpolation across zero"); }

// +1 when every value is positive, -1 when every value is negative; otherwise the
// logarithmic interpolation is impossible.
double common_sign(const double* v, int n) {
  bool pos = true, neg = true;
  for (int i = 0; i < n; ++i) {
    pos = pos && v[i] > 0.0;
    neg = neg && v[i] < 0.0;
  }
  if (pos) return 1.0;
  if (neg) return -1.0;
  across_zero();
}

// Weighted sum of the values, or of log10|value| mapped back with the common sign.
double weighted(const double* v, const double* w, int n, int logflag) {
  double s = 0.0;
  if (!logflag) {
    for (int i = 0; i < n; ++i) s += w[i] * v[i];
    return s;
  }
  const double sign = common_sign(v, n);
  for (int i = 0; i < n; ++i) s += w[i] * std::log10(std::fabs(v[i]));
  return sign * std::pow(10.0, s);
}

bool all_equal(const double* v, int n) {
  for (int i = 1; i < n; ++i)
    if (v[i] != v[0]) return false;
  return true;
}

}  // namespace

double interp1(double t, double a, double b, int logflag) {
  const double v[2] = {a, b}, w[2] = {1.0 - t, t};
  return weighted(v, w, 2, logflag);
}

double interp2(const Mat& m, int i1, int i2, int j1, int j2, int logflag, double t, double u) {
  const double v[4] = {m[i1][j1], m[i1][j2], m[i2][j1], m[i2][j2]};
  if (all_equal(v, 4)) return v[0];
  const double w[4] = {(1 - t) * (1 - u), (1 - t) * u, t * (1 - u), t * u};
  return weighted(v, w, 4, logflag);
}

double interp3(const Tensor3& T, int i1, int i2, int j1, int j2, int k1, int k2, double t, double u, double v,
               int logflag) {
  // Element [i][j][k] of the contiguous block, last index fastest.
  const long nc = T.chi() - T.clo() + 1, nd = T.dhi() - T.dlo() + 1;
  auto at = [&](int i, int j, int k) {
    TW_CHECK_INDEX(i, T.rlo(), T.rhi());
    TW_CHECK_INDEX(j, T.clo(), T.chi());
    TW_CHECK_INDEX(k, T.dlo(), T.dhi());
    return T.data()[((i - T.rlo()) * nc + (j - T.clo())) * nd + (k - T.dlo())];
  };
  double val[8], w[8];
  int n = 0;
  for (int a = 0; a < 2; ++a)
    for (int b = 0; b < 2; ++b)
      for (int c = 0; c < 2; ++c) {
        val[n] = at(a ? i2 : i1, b ? j2 : j1, c ? k2 : k1);
        w[n] = (a ? t : 1 - t) * (b ? u : 1 - u) * (c ? v : 1 - v);
        ++n;
      }
  if (all_equal(val, 8)) return val[0];
  return weighted(val, w, 8, logflag);
}
