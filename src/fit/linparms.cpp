// Linear parameters: normalisations and external shear solved directly for every trial
// model by least squares, one scheme per linparms setting.
#include "fit/linparms.h"

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "core/lens_model.h"
#include "fit/fit_data.h"
#include "fit/store.h"
#include "models/component.h"
#include "models/evaluator.h"
#include "numeric/constants.h"
#include "numeric/linalg.h"
#include "shell/fatal.h"
#include "shell/settings.h"

namespace {

constexpr int kMaxUnknowns = 6;

// Scratch kept between calls (grown when the model or the data grow).
struct LinWork {
  Mat D;                    // parameters of the model being loaded
  BVec<std::string> names;  // class names of the model being loaded
  std::vector<double> px, py, w;  // the points (images) and their weights
  Mat basis;                // [1..kMaxUnknowns][1..2 np]: deflection of each basis
  Vec rest;                 // [1..2 np]: deflection of the rest of the model
  Mat N;                    // [1..6][1..6]
  Vec R;                    // [1..6]
  IVec indx;                // [1..6]
  Vec f[6], yv;             // linp90 columns and offset, [1..2]
  Mat W2;                   // [1..2][1..2]
  int np = 0;
};
LinWork lw;
long singular_stamp = 0;

const Vec& model_z() {
  static Vec none;
  return TWref.Nref >= 1 ? TWref.ref[1].z : none;
}
const BVec<std::string>& model_names() { return TWref.ref[1].names; }

void ensure_shapes(const Mat& p) {
  if (lw.D.rlo() != p.rlo() || lw.D.rhi() != p.rhi() || lw.D.clo() != p.clo() || lw.D.chi() != p.chi())
    lw.D.reset(p.rlo(), p.rhi(), p.clo(), p.chi());
  if (lw.names.lo() != p.rlo() || lw.names.hi() != p.rhi()) lw.names.reset(p.rlo(), p.rhi());
  if (lw.N.empty()) {
    lw.N.reset(1, kMaxUnknowns, 1, kMaxUnknowns);
    lw.R.reset(1, kMaxUnknowns);
    lw.indx.reset(1, kMaxUnknowns);
    for (Vec& v : lw.f) v.reset(1, 2);
    lw.yv.reset(1, 2);
    lw.W2.reset(1, 2, 1, 2);
  }
}

void set_points(int np) {
  lw.np = np;
  if (static_cast<int>(lw.px.size()) < np) {
    lw.px.resize(np);
    lw.py.resize(np);
    lw.w.resize(np);
  }
  if (lw.rest.size() < 2 * np) {
    lw.rest.reset(1, 2 * np);
    lw.basis.reset(1, kMaxUnknowns, 1, 2 * np);
  }
}

// Deflection of the loaded model at every point into out[1..2 np] (x, y per point).
template <class Out>
void deflect(Out&& out) {
  double pot, ax, ay, pxx, pyy, pxy, pyx;
  for (int i = 0; i < lw.np; ++i) {
    potdefmag(lw.px[i], lw.py[i], pot, ax, ay, pxx, pyy, pxy, pyx);
    out[2 * i + 1] = ax;
    out[2 * i + 2] = ay;
  }
}

void warn_bounds(double penalty, int which) {
  if (penalty > 0) warning(strformat("params out of bounds in initmodel called from auto_parms(%d)", which));
}

// Basis l: component k alone with normalisation b (parameter 8 = p8, 9 = p9) and no
// shear. which > 0 names the load in the out-of-bounds warning.
void basis_alone(const Mat& p, int l, int k, double b, double p8, double p9, int which) {
  for (long i = p.rlo(); i <= p.rhi(); ++i) {
    lw.names[i] = i == k ? model_names()[i] : std::string("none");
    for (long c = p.clo(); c <= p.chi(); ++c) lw.D[i][c] = p[i][c];
  }
  lw.D[k][1] = b;
  lw.D[k][8] = p8;
  lw.D[k][9] = p9;
  lw.D[k][6] = lw.D[k][7] = 0;
  const double pen = initmodel(lw.names, lw.D, model_z(), 0);
  if (which > 0) warn_bounds(pen, which);
  deflect(lw.basis[l]);
}

// The rest: p with the listed parameters (component, parameter) set to 0.
void rest_of(const Mat& p, std::initializer_list<std::pair<int, int>> zeros, int which) {
  for (long i = p.rlo(); i <= p.rhi(); ++i)
    for (long c = p.clo(); c <= p.chi(); ++c) lw.D[i][c] = p[i][c];
  for (const auto& z : zeros) lw.D[z.first][z.second] = 0;
  const double pen = initmodel(model_names(), lw.D, model_z(), 0);
  if (which > 0) warn_bounds(pen, which);
  deflect(lw.rest);
}

// Pair differences: points 0, 1 are pair 1, points 2, 3 pair 2. Row r (1..4) of a
// deflection vector v: x and y of pair 1, then of pair 2.
template <class V>
double pair_diff(const V& v, int r) {
  const int pair = (r - 1) / 2, c = (r - 1) % 2 + 1;
  return v[4 * pair + c] - v[4 * pair + 2 + c];
}
double pair_d(int r) {
  const int pair = (r - 1) / 2;
  return (r - 1) % 2 == 0 ? lw.px[2 * pair] - lw.px[2 * pair + 1] : lw.py[2 * pair] - lw.py[2 * pair + 1];
}

// Solves N[1..n][1..n] c = R (c in R) by LU; false for a row of zeros, a vanishing pivot
// or a solution that is not finite.
bool solve_lu(int n) {
  for (int i = 1; i <= n; ++i) {
    bool zero = true;
    for (int j = 1; j <= n; ++j)
      if (lw.N[i][j] != 0) zero = false;
    if (zero) return false;
  }
  for (int i = 1; i <= n; ++i)
    for (int j = 1; j <= n; ++j)
      if (!std::isfinite(lw.N[i][j])) return false;
  double d;
  ludcmp(lw.N, n, lw.indx, d);
  // A pivot that vanished (ludcmp puts 1e-20 in its place) means dependent columns.
  for (int i = 1; i <= n; ++i)
    if (std::fabs(lw.N[i][i]) <= 1e-20) return false;
  lubksb(lw.N, n, lw.indx, lw.R);
  for (int i = 1; i <= n; ++i)
    if (!std::isfinite(lw.R[i])) return false;
  return true;
}

bool all_finite(std::initializer_list<double> v) {
  for (double x : v)
    if (!std::isfinite(x)) return false;
  return true;
}

// Writes a shear (gamma1, gamma2) into component 1.
void write_shear(Mat& p, double g1, double g2) {
  if (settings.shrcoords == 1) {
    p[1][6] = g1;
    p[1][7] = g2;
  } else {
    p[1][6] = std::sqrt(g1 * g1 + g2 * g2);
    p[1][7] = std::atan2(g2, g1) * 90.0 / kPi;
  }
}

// Scales a solved shear above limit down to target, warning with fmt (%f: the shear).
void cap_shear(double& g1, double& g2, double limit, double target, const char* fmt) {
  const double g = std::sqrt(g1 * g1 + g2 * g2);
  if (g > limit) {
    print_labelled(QVMstdout, "Warning", strformat(fmt, g));
    g1 *= target / g;
    g2 *= target / g;
  }
}

// A solved shear above 1 becomes 0.9 at the same angle (warned of with fmt, whose %f is
// the shear); then it is written into component 1.
void store_shear(Mat& p, double g1, double g2, const char* fmt) {
  cap_shear(g1, g2, 1.0, 0.9, fmt);
  write_shear(p, g1, g2);
}

void sign_warnings(const Mat& p, int scheme, int ncomp) {
  for (int k = 1; k <= ncomp; ++k)
    if (lw.R[k] * p[k][1] < 0)
      print_labelled(QVMstdout, "Warning", strformat("in linparms(%d), p[%d][1] changed sign", scheme, k));
}

// ---- the schemes (each returns false when its system is singular) ----

bool scheme1(Mat& p) {
  rest_of(p, {{1, 6}, {1, 7}}, 1);
  const double dx = pair_d(1), dy = pair_d(2);
  const double rx = dx - pair_diff(lw.rest, 1), ry = dy - pair_diff(lw.rest, 2);
  const double n = dx * dx + dy * dy;
  if (n == 0) return false;
  const double g1 = (dx * rx - dy * ry) / n, g2 = (dy * rx + dx * ry) / n;
  if (!all_finite({g1, g2})) return false;
  write_shear(p, g1, g2);
  return true;
}

bool scheme2(Mat& p) {
  const double theta = settings.shrcoords == 1 ? std::atan2(p[1][7], p[1][6]) * 90.0 / kPi : p[1][7];
  const double c = std::cos(theta * kPi / 90.0), s = std::sin(theta * kPi / 90.0);
  basis_alone(p, 1, 1, 1.0, p[1][8], p[1][9], 2);
  rest_of(p, {{1, 1}, {1, 6}, {1, 7}}, 3);
  const double dx = pair_d(1), dy = pair_d(2);
  const double ax = pair_diff(lw.basis[1], 1), ay = pair_diff(lw.basis[1], 2);
  const double rx = dx - pair_diff(lw.rest, 1), ry = dy - pair_diff(lw.rest, 2);
  const double W = dx * c + dy * s, V = dx * s - dy * c;
  const double X = ax * V - W * ay;
  if (X == 0) return false;
  const double b = (rx * V - ry * W) / X, g = (ax * ry - ay * rx) / X;
  if (!all_finite({b, g})) return false;
  p[1][1] = b;
  if (settings.shrcoords == 1) {
    p[1][6] = c * g;
    p[1][7] = s * g;
  } else {
    p[1][6] = g;
  }
  return true;
}

bool scheme3(Mat& p) {
  basis_alone(p, 1, 1, 1.0, p[1][8], p[1][9], 4);
  basis_alone(p, 2, 2, 1.0, p[2][8], p[2][9], 5);
  rest_of(p, {{1, 1}, {2, 1}}, 6);
  const double ax = pair_diff(lw.basis[1], 1), ay = pair_diff(lw.basis[1], 2);
  const double ex = pair_diff(lw.basis[2], 1), ey = pair_diff(lw.basis[2], 2);
  const double rx = pair_d(1) - pair_diff(lw.rest, 1), ry = pair_d(2) - pair_diff(lw.rest, 2);
  const double det = ax * ey - ex * ay;
  if (det == 0) return false;
  const double b1 = (rx * ey - ry * ex) / det, b2 = (ry * ax - rx * ay) / det;
  if (!all_finite({b1, b2})) return false;
  p[1][1] = b1;
  p[2][1] = b2;
  return true;
}

// Fills the 4x4 pair system from nb bases (columns 1..nb) and the rest; shear columns
// (d_x, -d_y) and (d_y, d_x) follow when with_shear.
void pair_system(int nb, bool with_shear) {
  for (int r = 1; r <= 4; ++r) {
    for (int l = 1; l <= nb; ++l) lw.N[r][l] = pair_diff(lw.basis[l], r);
    const int pair = (r - 1) / 2;
    const double dx = pair_d(2 * pair + 1), dy = pair_d(2 * pair + 2);
    if (with_shear) {
      lw.N[r][nb + 1] = (r - 1) % 2 == 0 ? dx : -dy;
      lw.N[r][nb + 2] = (r - 1) % 2 == 0 ? dy : dx;
    }
    lw.R[r] = pair_d(r) - pair_diff(lw.rest, r);
  }
}

bool scheme4(Mat& p) {
  for (int k = 1; k <= 4; ++k) basis_alone(p, k, k, 1.0, p[k][8], p[k][9], 0);
  rest_of(p, {{1, 1}, {1, 8}, {2, 1}, {2, 8}, {3, 1}, {3, 8}, {4, 1}, {4, 8}}, 0);
  pair_system(4, false);
  if (!solve_lu(4)) return false;
  sign_warnings(p, 4, 4);
  for (int k = 1; k <= 4; ++k) p[k][1] = lw.R[k];
  return true;
}

// Normal equations over the points: columns 1..nb the bases, then the shear columns
// (x, -y), (y, x) when with_shear, then (1, 0) and (0, 1); right side x - rest(x).
int normal_system(int nb, bool with_shear) {
  const int n = nb + (with_shear ? 2 : 0) + 2;
  for (int l = 1; l <= n; ++l) {
    lw.R[l] = 0;
    for (int m = 1; m <= n; ++m) lw.N[l][m] = 0;
  }
  double col[kMaxUnknowns + 1][2];
  for (int i = 0; i < lw.np; ++i) {
    const double x = lw.px[i], y = lw.py[i];
    int l = 0;
    for (int b = 1; b <= nb; ++b) {
      ++l;
      col[l][0] = lw.basis[b][2 * i + 1];
      col[l][1] = lw.basis[b][2 * i + 2];
    }
    if (with_shear) {
      ++l;
      col[l][0] = x;
      col[l][1] = -y;
      ++l;
      col[l][0] = y;
      col[l][1] = x;
    }
    ++l;
    col[l][0] = 1;
    col[l][1] = 0;
    ++l;
    col[l][0] = 0;
    col[l][1] = 1;
    const double tx = x - lw.rest[2 * i + 1], ty = y - lw.rest[2 * i + 2], wi = lw.w[i];
    for (int a = 1; a <= n; ++a) {
      lw.R[a] += wi * (col[a][0] * tx + col[a][1] * ty);
      for (int b = 1; b <= n; ++b) lw.N[a][b] += wi * (col[a][0] * col[b][0] + col[a][1] * col[b][1]);
    }
  }
  return n;
}

bool scheme5(Mat& p) {
  for (int k = 1; k <= 4; ++k) basis_alone(p, k, k, 1.0, p[k][8], p[k][9], 0);
  rest_of(p, {{1, 1}, {1, 8}, {2, 1}, {2, 8}, {3, 1}, {3, 8}, {4, 1}, {4, 8}}, 0);
  if (!solve_lu(normal_system(4, false))) return false;
  sign_warnings(p, 5, 4);
  for (int k = 1; k <= 4; ++k) p[k][1] = lw.R[k];
  return true;
}

bool scheme6(Mat& p) {
  basis_alone(p, 1, 1, 1.0, p[1][8], p[1][9], 0);
  basis_alone(p, 2, 2, 1.0, p[2][8], p[2][9], 0);
  rest_of(p, {{1, 1}, {1, 8}, {2, 1}, {2, 8}, {1, 6}, {1, 7}}, 0);
  if (!solve_lu(normal_system(2, true))) return false;
  sign_warnings(p, 6, 2);
  p[1][1] = lw.R[1];
  p[2][1] = lw.R[2];
  store_shear(p, lw.R[3], lw.R[4], "in linparms(6), shear=%f out of bounds");
  return true;
}

bool scheme31(Mat& p) {
  basis_alone(p, 1, 1, 1.0, p[1][8], p[1][9], 0);
  rest_of(p, {{1, 1}, {1, 8}, {1, 6}, {1, 7}}, 0);
  if (!solve_lu(normal_system(1, true))) return false;
  if (lw.R[1] * p[1][1] < 0) print_labelled(QVMstdout, "Warning", "in linparms(31), p[1][1] changed sign");
  p[1][1] = lw.R[1];
  store_shear(p, lw.R[2], lw.R[3], "in linparms(31), shear=%f out of bounds");
  return true;
}

bool scheme44(Mat& p) {
  const double e = settings.shrcoords == 1 ? std::sqrt(p[1][4] * p[1][4] + p[1][5] * p[1][5]) : p[1][4];
  if (e > 0.9) {
    print_labelled(QVMstdout, "Warning", strformat("in linparms(44), ellipticity=%f out of bounds", e));
    if (settings.shrcoords == 1) {
      p[1][4] *= 0.9 / e;
      p[1][5] *= 0.9 / e;
    } else {
      p[1][4] = 0.9;
    }
  }
  basis_alone(p, 1, 1, 1.0, p[1][8], p[1][9], 0);
  basis_alone(p, 2, 2, 1.0, p[2][8], p[2][9], 0);
  rest_of(p, {{1, 1}, {1, 8}, {2, 1}, {2, 8}, {1, 6}, {1, 7}}, 0);
  pair_system(2, true);
  if (!solve_lu(4)) return false;
  p[1][1] = lw.R[1];
  p[2][1] = lw.R[2];
  store_shear(p, lw.R[3], lw.R[4], "in linparms(7), shear=%f out of bounds");
  return true;
}

// Returns 0 when singular, 1 when solved, -1 when it returned early (nothing reloaded).
int scheme99(Mat& p) {
  if (settings.shrcoords == 1) fatal("linparms=99 does not work when shrcoords=1");
  if (p[1][4] > 0.99 || p[2][4] > 0.99) {
    warning("ellipticity out of bounds for linparms=99");
    return -1;
  }
  basis_alone(p, 1, 1, 1.0, p[1][8], p[1][9], 0);
  basis_alone(p, 2, 2, 1.0, p[2][8], p[2][9], 0);
  // Basis 3: a shear of magnitude 1 at component 1's shear angle, about its centre.
  const double th = p[1][7] * kPi / 90.0, c = std::cos(th), s = std::sin(th);
  for (int i = 0; i < lw.np; ++i) {
    const double dx = lw.px[i] - p[1][2], dy = lw.py[i] - p[1][3];
    lw.basis[3][2 * i + 1] = c * dx + s * dy;
    lw.basis[3][2 * i + 2] = s * dx - c * dy;
  }
  basis_alone(p, 4, 3, 0.0, 1.0, p[3][9], 0);
  rest_of(p, {{1, 1}, {1, 8}, {2, 1}, {2, 8}, {1, 6}, {3, 8}}, 0);
  pair_system(4, false);
  if (!solve_lu(4)) return 0;
  p[1][1] = lw.R[1];
  p[2][1] = lw.R[2];
  p[1][6] = lw.R[3];
  p[3][8] = lw.R[4];
  if (p[1][6] > settings.maxshear) {
    if (settings.verbose <= 2) warning("maxshear exceeded in linparms");
    p[1][6] = 0.99 * settings.maxshear;
  }
  return 1;
}

void singular_warning(int scheme) {
  if (once_per_run(singular_stamp))
    warning(strformat("linparms=%d: singular system; the trial's linear parameters are kept", scheme));
}

bool known_scheme(int lp) {
  switch (lp) {
    case 1: case 2: case 3: case 4: case 5: case 6: case 31: case 44: case 99:
      return true;
    default:
      return false;
  }
}

}  // namespace

double linp90dot(const Vec& a, const Mat& M, const Vec& b) {
  return a[1] * (M[1][1] * b[1] + M[1][2] * b[2]) + a[2] * (M[2][1] * b[1] + M[2][2] * b[2]);
}

void auto_parms(Mat& p) {
  const int lp = settings.linparms;
  if (lp == 0) return;
  require_model();
  if (lp == 90) {
    linp90(p);
    return;
  }
  const int ngal = TWref.Ngal;
  if (lp == 3 && ngal < 2) fatal("linparms=3  requires at least 2 galaxies");
  if ((lp == 4 || lp == 5) && ngal < 4) fatal(strformat("linparms=%d  requires at least 4 galaxies", lp));
  if (lp == 6 && ngal < 2) fatal("linparms=6  requires at least 2 galaxies");
  if (lp == 44 && ngal < 2) fatal("linparms=44 requires at least 2 galaxies");
  if (lp == 99 && ngal < 3) fatal("linparms=99 requires at least 3 galaxies");
  if (!known_scheme(lp) && lp <= 3) fatal(strformat("unknown value linparms=%d", lp));

  // The pairs: images 1 and 2 of source 1, then images 1 and 3 of source 1 (four or more
  // images) or images 1 and 2 of source 2.
  const int nsrc = TSobs.Nsrcobs;
  const int n1 = nsrc >= 1 ? TSobs.srcobs[1].nimg : 0;
  if (lp <= 3 && n1 < 2) fatal(strformat("linparms=%d requires at least two images of source 1", lp));
  const bool pair2_from_1 = n1 >= 4;
  if (lp > 3 && (n1 < 2 || (!pair2_from_1 && (nsrc < 2 || TSobs.srcobs[2].nimg < 2))))
    fatal("linparms>=4 requires at least two pairs of images");
  if (!known_scheme(lp)) fatal(strformat("unknown value linparms=%d", lp));

  ensure_shapes(p);
  double xs = 0, ys = 0;
  GetRegister(1, 1, xs, ys);
  const SrcData& s1 = TSobs.srcobs[1];
  const bool least_squares = lp == 5 || lp == 6 || lp == 31;
  if (least_squares) {
    require_position_errors();
    int m = 0;
    for (int k = 1; k <= s1.nimg; ++k)
      if (s1.core[k] == 0) ++m;
    set_points(m);
    int i = 0;
    for (int k = 1; k <= s1.nimg; ++k) {
      if (s1.core[k] != 0) continue;
      lw.px[i] = s1.x[k] + xs;
      lw.py[i] = s1.y[k] + ys;
      lw.w[i] = 1.0 / (s1.sig_a[k] * s1.sig_a[k]);
      ++i;
    }
  } else {
    set_points(lp > 3 ? 4 : 2);
    lw.px[0] = s1.x[1] + xs;
    lw.py[0] = s1.y[1] + ys;
    lw.px[1] = s1.x[2] + xs;
    lw.py[1] = s1.y[2] + ys;
    if (lp > 3) {
      const SrcData& s2 = pair2_from_1 ? s1 : TSobs.srcobs[2];
      const int e = 1, f = pair2_from_1 ? 3 : 2;
      lw.px[2] = s2.x[e] + xs;
      lw.py[2] = s2.y[e] + ys;
      lw.px[3] = s2.x[f] + xs;
      lw.py[3] = s2.y[f] + ys;
    }
  }

  // On a singular system the trial's values stand.
  bool solved = true;
  switch (lp) {
    case 1: solved = scheme1(p); break;
    case 2: solved = scheme2(p); break;
    case 3: solved = scheme3(p); break;
    case 4: solved = scheme4(p); break;
    case 5: solved = scheme5(p); break;
    case 6: solved = scheme6(p); break;
    case 31: solved = scheme31(p); break;
    case 44: solved = scheme44(p); break;
    case 99: {
      const int r = scheme99(p);
      if (r < 0) return;
      solved = r > 0;
      break;
    }
    default: break;
  }
  if (!solved) singular_warning(lp);
  if (initmodel(model_names(), p, model_z(), 0) > 0)
    warning("params out of bounds in initmodel called from auto_parms(7)");
}

void linp90(Mat& p) {
  if (TSobs.Nsrcobs > 1) fatal("cannot run linp90 for more than one source");
  if (TSobs.Nsrcobs < 1 || TSobs.srcobs[1].nimg < 1) fatal("linparms=90 requires observed images of source 1");
  ensure_shapes(p);
  const std::string& cls = model_names()[1];
  const bool is_alpha = cls == "alpha";
  if (!is_alpha && cls != "alphapot" && cls != "boxypot") fatal("unknown model class in linp90");
  require_position_errors();
  for (long i = p.rlo(); i <= p.rhi(); ++i)
    for (long c = p.clo(); c <= p.chi(); ++c) lw.D[i][c] = p[i][c];
  lw.D[1][1] = 1;
  lw.D[1][6] = lw.D[1][7] = 0;
  // A model out of bounds gets its penalty from calc_chi; here it is only noted.
  auto check = [](double pen) {
    if (pen > 0) warning("params out of bounds in initmodel called from linp90");
  };
  check(initmodel(model_names(), lw.D, model_z(), 0));
  const double x0 = p[1][2], y0 = p[1][3];
  const SrcData& s = TSobs.srcobs[1];
  for (int l = 1; l <= 5; ++l) {
    lw.R[l] = 0;
    for (int m = 1; m <= 5; ++m) lw.N[l][m] = 0;
  }
  double pot, ax, ay, pxx, pyy, pxy, pyx;
  Vec* f = lw.f;
  for (int k = 1; k <= s.nimg; ++k) {
    potdefmag(s.x[k], s.y[k], pot, ax, ay, pxx, pyy, pxy, pyx);
    const double wa = 1.0 / (s.sig_a[k] * s.sig_a[k]), wb = 1.0 / (s.sig_b[k] * s.sig_b[k]);
    const double th = s.err_pa[k] * kPi / 180.0, sn = std::sin(th), cs = std::cos(th);
    lw.W2[1][1] = wa * sn * sn + wb * cs * cs;
    lw.W2[1][2] = lw.W2[2][1] = (wb - wa) * sn * cs;
    lw.W2[2][2] = wa * cs * cs + wb * sn * sn;
    const double dx = s.x[k] - x0, dy = s.y[k] - y0;
    lw.yv[1] = dx;
    lw.yv[2] = dy;
    f[1][1] = ax;
    f[1][2] = ay;
    f[2][1] = dx;
    f[2][2] = -dy;
    f[3][1] = dy;
    f[3][2] = dx;
    f[4][1] = 1;
    f[4][2] = 0;
    f[5][1] = 0;
    f[5][2] = 1;
    for (int l = 1; l <= 5; ++l) {
      lw.R[l] += linp90dot(f[l], lw.W2, lw.yv);
      for (int m = 1; m <= 5; ++m) lw.N[l][m] += linp90dot(f[l], lw.W2, f[m]);
    }
  }
  const bool solved = solve_lu(5);
  const double c1 = lw.R[1];
  double g1 = lw.R[2], g2 = lw.R[3];
  const double b1 = is_alpha ? std::pow(c1, 1.0 / (2.0 - p[1][10])) : c1;
  if (solved && std::isfinite(b1)) {
    cap_shear(g1, g2, 0.99, 0.99, "shear = %f out of bounds in linp90");
    p[1][1] = b1;
    if (settings.shrcoords == 1) {
      p[1][6] = g1;
      p[1][7] = g2;
    } else {
      p[1][6] = std::sqrt(g1 * g1 + g2 * g2);
      p[1][7] = std::atan2(g2, g1) * 0.5 * 180.0 / kPi;
    }
  } else {
    singular_warning(90);
  }
  const bool near0 = std::fabs(settings.chimode) < 1e-4 || std::fabs(settings.chimode + 1) < 1e-4;
  const int regrid = (settings.gridflag != 0 || !near0) ? 1 : 0;
  check(initmodel(model_names(), p, model_z(), regrid));
}
