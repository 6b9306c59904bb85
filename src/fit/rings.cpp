// Ring constraints: the ring tables, their commands, the ring term with its inner fit of
// each ring's source, and the hooks of the optimiser on the "ring" pseudo-components.
//
// The diagnostic lines of the ray functions and of the inner fit go to the diagnostic
// stream of TSringwork (standard output unless redirected), buffered.
#include <algorithm>
#include <cmath>
#include <string>

#include "fit/curves_rings.h"
#include "fit/fit_state.h"
#include "fit/store.h"
#include "imageplane/images.h"
#include "io/outfile.h"
#include "io/qvmfile.h"
#include "models/component.h"
#include "models/evaluator.h"
#include "numeric/constants.h"
#include "numeric/minimize.h"
#include "numeric/roots.h"
#include "shell/commands.h"
#include "shell/fatal.h"
#include "shell/settings.h"

RingTables TSring;
RingWork TSringwork;

namespace {
constexpr double kRad = kPi / 180.0;
// Crossings of the critical curve kept per source evaluation.
constexpr int kMaxCross = 100;

FILE* diag() { return TSringwork.diag ? TSringwork.diag : stdout; }

// The lens at distance |lambda| along ray j of the current ring.
struct RayPoint {
  double x, y;            // P
  double ax, ay;          // deflection
  double xx, yy, xy, yx;  // second derivatives of the potential
};
RayPoint ray_point(int j, double lambda) {
  const RingWork& W = TSringwork;
  BRow<double> r = TSring.Ringdat[W.glob_iring][j];
  const double l = std::fabs(lambda), phi = r[3] * kRad;
  RayPoint P;
  P.x = r[1] + W.xshift - l * std::sin(phi);
  P.y = r[2] + W.yshift + l * std::cos(phi);
  double pot;
  potdefmag(P.x, P.y, pot, P.ax, P.ay, P.xx, P.yy, P.xy, P.yx);
  return P;
}

// The point of ray j at its observed lambda, without the lens.
void observed_point(int j, double& x, double& y) {
  const RingWork& W = TSringwork;
  BRow<double> r = TSring.Ringdat[W.glob_iring][j];
  const double l = std::fabs(r[4]), phi = r[3] * kRad;
  x = r[1] + W.xshift - l * std::sin(phi);
  y = r[2] + W.yshift + l * std::cos(phi);
}

// Projections of the source-plane offset of P on the axes of the ring's source.
struct SourceFrame {
  double u0, v0, e, pa, W2, s, c;
};
SourceFrame source_frame() {
  BRow<double> q = TSring.Ringparms[TSringwork.glob_iring];
  SourceFrame f;
  f.u0 = q[1];
  f.v0 = q[2];
  f.e = q[3];
  f.pa = q[4] * kRad;
  f.W2 = 1.0 / ((1.0 - f.e) * (1.0 - f.e));
  f.s = std::sin(f.pa);
  f.c = std::cos(f.pa);
  return f;
}

// Match value of the point (x, y) of ray j against a candidate (h, m): tangential offset
// in units of the arc uncertainty, radial offset in units of d(lambda).
double match_value(int j, double x, double y, double h, double m) {
  BRow<double> r = TSring.Ringdat[TSringwork.glob_iring][j];
  const double phi = r[3] * kRad, s = std::sin(phi), c = std::cos(phi);
  const double dx = x - h, dy = y - m;
  const double t = (c * dx + s * dy) / (r[4] * r[6] * kRad), q = (-s * dx + c * dy) / r[5];
  return t * t + q * q;
}

int ring_count(int i) { return static_cast<int>(TSring.Ringdat[i][0][1] * 1.000001); }

// The ring index named by "ring" component i, checked against the allocated tables.
int ring_index(const Mat& params, int i) {
  const double v = params[i][1] * 1.000001;
  if (!(v >= 1 && v < TSring.nalloc + 1.0))
    fatal(strformat("ring index %d out of range", static_cast<int>(std::max(std::min(v, 2e9), -2e9))));
  return static_cast<int>(v);
}

// Finds the crest of ray j from a guess of its lambda; true when found at lambda > 0.
bool solve_crest(int j, double guess) {
  RingWork& W = TSringwork;
  W.glob_jring = j;
  double x1 = 0.9 * guess, x2 = 1.1 * guess;
  bool found = false;
  std::fprintf(diag(), "QVM before %d\n", j);
  if (x1 != x2 && zbrac(ring_func, x1, x2)) {
    const double l = zbrent(ring_func, x1, x2, 1e-4);
    if (l > 0) {
      W.lam[j] = l;
      W.ok[j] = 1;
      found = true;
    }
  }
  std::fprintf(diag(), "QVM after  %d\n", j);
  return found;
}
}  // namespace

// ---- ray functions ----

double ring_dist(double lambda) {
  const RayPoint P = ray_point(TSringwork.glob_jring, lambda);
  const SourceFrame f = source_frame();
  const double dx = P.x - P.ax - f.u0, dy = P.y - P.ay - f.v0;
  const double a1 = -f.s * dx + f.c * dy, a2 = -f.c * dx - f.s * dy;
  return std::sqrt(a1 * a1 + f.W2 * a2 * a2);
}

double ring_func(double lambda) {
  RingWork& W = TSringwork;
  ++W.nfunc;
  const int j = W.glob_jring;
  const RayPoint P = ray_point(j, lambda);
  const SourceFrame f = source_frame();
  BRow<double> r = TSring.Ringdat[W.glob_iring][j];
  const double phi = r[3] * kRad, tx = -std::sin(phi), ty = std::cos(phi);
  const double dx = P.x - P.ax - f.u0, dy = P.y - P.ay - f.v0;
  const double a1 = -f.s * dx + f.c * dy, a2 = -f.c * dx - f.s * dy;
  // The source-plane direction of the ray, A t.
  const double atx = (1 - P.xx) * tx - P.xy * ty, aty = -P.yx * tx + (1 - P.yy) * ty;
  const double b1 = -f.s * atx + f.c * aty, b2 = -f.c * atx - f.s * aty;
  const double value = a1 * b1 + f.W2 * a2 * b2;
  FILE* d = diag();
  std::fprintf(d, "QVMfunc parms %e %e %e\n", r[1] + W.xshift, r[2] + W.yshift, phi);
  std::fprintf(d, "QVMfunc parms %e %e %e %e\n", f.u0, f.v0, f.e, f.pa);
  std::fprintf(d, "QVMfunc value %e %e\n", std::fabs(lambda), value);
  return value;
}

void init_ringsource(double& du, double& dv) {
  RingWork& W = TSringwork;
  const int i = W.glob_iring, n = ring_count(i);
  FILE* d = diag();
  double sw = 0, su = 0, sv = 0, suu = 0, svv = 0;
  for (int j = 1; j <= n; ++j) {
    const RayPoint P = ray_point(j, TSring.Ringdat[i][j][4]);
    const double sx = P.x - P.ax, sy = P.y - P.ay;
    const double w = TSring.Ringflag[i][j] == 2 ? 1000.0 : 1.0;
    sw += w;
    su += w * sx;
    sv += w * sy;
    suu += w * sx * sx;
    svv += w * sy * sy;
    std::fprintf(d, "QVMringsrc %d %e %e %e %e\n", j, P.x, P.y, P.ax, P.ay);
    std::fprintf(d, "QVMringsrc %d %e %e : %e %e %e\n", j, sx, sy, su, sv, w);
  }
  // ringdat refuses a ring without rays, so the weights never sum to 0.
  const double u0 = su / sw, v0 = sv / sw;
  TSring.Ringparms[i][1] = u0;
  TSring.Ringparms[i][2] = v0;
  du = std::sqrt(std::fabs(suu / sw - u0 * u0)) + 1e-5;
  dv = std::sqrt(std::fabs(svv / sw - v0 * v0)) + 1e-5;
  std::fprintf(d, "QVMringsrc %e %e %e\n", u0, v0, sw);
  std::fprintf(d, "DEBUG: init_ringsource (u0,v0)=(%13.6e %13.6e)\n", u0, v0);
  std::fprintf(d, "DEBUG:                 (du,dv)=(%13.6e %13.6e)\n", du, dv);
  if (FILE* c = TSrun.chifile) {
    std::fprintf(c, "DEBUG: init_ringsource (u0,v0)=(%13.6e %13.6e)\n", u0, v0);
    std::fprintf(c, "DEBUG:                 (du,dv)=(%13.6e %13.6e)\n", du, dv);
  }
}

void canonical_ring_source(double& e, double& PA) {
  if (e < 0) {
    e = -e;
    PA += 90;
  }
  if (e > 1) {
    e = 1 / e;
    PA += 90;
  }
  // Whole half-turns first, so that a huge angle cannot keep the loops below going.
  if (std::fabs(PA) > 360) PA = std::fmod(PA, 180.0);
  while (PA < -90) PA += 180;
  while (PA > 90) PA -= 180;
}

// ---- the term ----

double vary_ringsource(Vec& p) {
  RingWork& W = TSringwork;
  const int i = W.glob_iring, n = ring_count(i);
  BRow<int> flag = TSring.Ringflag[i];
  BRow<double> q = TSring.Ringparms[i];
  FILE* d = diag();

  // The ring points of the final model, for inspection: a working folder that refuses
  // them costs the files, not the fit.
  OutFile tmp, tmpdat;
  if (W.finalflag == 1 && settings.tempfiles == 1) {
    tmp = open_trace("ringpts.tmp", false);
    tmpdat = open_trace("ringpts.tmpdat", false);
  }

  int k = 0;
  for (int m = 1; m <= 4; ++m)
    if (TSring.Ringvary[i][m] > 0) q[m] = p[++k];
  canonical_ring_source(q[3], q[4]);
  if (TSrun.chifile)
    std::fprintf(TSrun.chifile, "chiring: ***** ring #%d, new source: %e %e %e %e ...\n", i, q[1], q[2], q[3], q[4]);

  // Crests: first from the observed lambda, then from the crest of the nearest solved ray.
  int bad = n;
  for (int j = 1; j <= n; ++j) {
    W.ok[j] = 0;
    if (solve_crest(j, TSring.Ringdat[i][j][4])) --bad;
  }
  std::fprintf(d, "After first pass %d bad points out of %d \n", bad, n);
  int pass = 1;
  while (pass < 5 && bad > 0 && bad < n) {
    ++pass;
    for (int m = 1; m <= n; ++m) {
      if (W.ok[m]) continue;
      double best = 360;
      for (int h = 1; h <= n; ++h) {
        if (!W.ok[h]) continue;
        const double delta = std::fabs(TSring.Ringdat[i][m][3] - TSring.Ringdat[i][h][3]);
        const double D = std::fabs(delta - 360 * std::trunc(delta / 360));
        if (D < best) {
          best = D;
          W.guess[m] = W.lam[h];
        }
      }
    }
    for (int m = 1; m <= n; ++m)
      if (!W.ok[m] && solve_crest(m, W.guess[m])) --bad;
    std::fprintf(d, "After %d pass %d bad points out of %d \n", pass, bad, n);
  }
  if (bad > 0) {
    std::fprintf(d, "After %d pass %d bad points out of %d \n", pass, bad, n);
    // The user's start lens with the start source: the data or the start are at fault.
    if (W.strict) {
      std::fflush(d);
      fatal(strformat("the crest of ring #%d was not found on %d of its %d rays", i, bad, n));
    }
  }

  // Positions of the normal rays; an unsolved ray costs kRingUnsolved in place of its term.
  double chi1 = 0;
  for (int j = 1; j <= n; ++j) {
    BRow<double> r = TSring.Ringdat[i][j];
    if (!W.ok[j]) {
      chi1 += kRingUnsolved;
      W.lam[j] = r[4];
    }
    if (flag[j] != 0) continue;
    if (W.ok[j]) {
      const double t = (W.lam[j] - r[4]) / r[5];
      chi1 += t * t;
    }
    W.glob_jring = j;
    W.dist[j] = ring_dist(W.lam[j]);
  }

  // Flux peaks against the images of the source centre.
  std::fprintf(d, "RING: Finding ring peaks\n");
  int nimg = 0;
  Mat list;
  // The point solver: the current source and the source tables stay as they are.
  find_img_ptsrc(nimg, list, q[1], q[2]);
  for (int m = 1; m <= nimg; ++m) std::fprintf(d, "Ring peak %e %e\n", list[m][1], list[m][2]);
  double chi2 = 0;
  for (int j = 1; j <= n; ++j) {
    if (flag[j] != 1) continue;
    double x, y;
    observed_point(j, x, y);
    std::fprintf(d, "Ring peak at %d %e %e\n", j, x, y);
    double best = kRingUnsolved;
    for (int m = 1; m <= nimg; ++m) {
      const double v = match_value(j, x, y, list[m][1], list[m][2]);
      std::fprintf(d, "  matched to %e %e with chi %e\n", list[m][1], list[m][2], v);
      if (v < best) best = v;
    }
    std::fprintf(d, "QVM minchi(1) %e\n", best);
    chi2 += best;
  }
  std::fprintf(d, "RING: Done finding %d ring peaks, contribution to chi-square %e\n", nimg, chi2);

  // Crossings of the critical curve between consecutive normal rays at their observed
  // lambda, starting from the last ray.
  std::fprintf(d, "RING: Finding critical line crossings\n");
  int ncross = 0;
  if (n > 0) {
    RayPoint prev = ray_point(n, TSring.Ringdat[i][n][4]);
    double det_prev = (1 - prev.xx) * (1 - prev.yy) - prev.xy * prev.yx;
    for (int m = 1; m <= n; ++m) {
      if (flag[m] != 0) continue;
      const RayPoint P = ray_point(m, TSring.Ringdat[i][m][4]);
      const double det = (1 - P.xx) * (1 - P.yy) - P.xy * P.yx;
      if (det * det_prev <= 0) {
        const double f = det_prev / (det - det_prev);
        const double cx = prev.x - (P.x - prev.x) * f, cy = prev.y - (P.y - prev.y) * f;
        ++ncross;
        if (ncross <= kMaxCross) {
          W.cross[ncross][1] = cx;
          W.cross[ncross][2] = cy;
        } else {
          std::fprintf(d, "I do not know how you managed it, but the ring crossed the crit curve > %d times\n",
                       kMaxCross);
        }
        std::fprintf(d, "Ring crosses critical line at %e %e %e %e\n", cx, cy, det, det_prev);
      }
      prev = P;
      det_prev = det;
    }
  }
  std::fprintf(d, "RING: found %d critical line crossings\n", ncross);

  // Flux minima against the crossings.
  const int nstored = std::min(ncross, kMaxCross);
  double chi3 = 0;
  for (int j = 1; j <= n; ++j) {
    if (flag[j] != 2) continue;
    double x, y;
    observed_point(j, x, y);
    double best = kRingUnsolved;
    for (int m = 1; m <= nstored; ++m) {
      const double v = match_value(j, x, y, W.cross[m][1], W.cross[m][2]);
      if (v < best) {
        best = v;
        std::fprintf(d, "matched %d %e %e to %e %e with chi %e\n", j, x, y, W.cross[m][1], W.cross[m][2], v);
      }
    }
    std::fprintf(d, "QVM minchi(2) %e\n", best);
    chi3 += best;
  }
  std::fprintf(d, "RING: Done critical line crossings contributing %e to chi-square\n", chi3);

  if (tmp) {
    for (int j = 1; j <= n; ++j) {
      if (flag[j] != 0) continue;
      BRow<double> r = TSring.Ringdat[i][j];
      std::fprintf(tmp, "%e %e %e %e %e\n", W.lam[j], r[1] + W.xshift, r[2] + W.yshift, r[3], W.dist[j]);
      if (tmpdat) std::fprintf(tmpdat, "%e %e %e %e %e 0 0 \n", r[1], r[2], r[3], W.lam[j], r[5]);
    }
    if (n > 0) {
      // The curve closes on ray 1, whatever its kind.
      BRow<double> r = TSring.Ringdat[i][1];
      W.glob_jring = 1;
      std::fprintf(tmp, "%e %e %e %e %e\n", W.lam[1], r[1] + W.xshift, r[2] + W.yshift, r[3], ring_dist(W.lam[1]));
    }
  }
  tmp.close();
  tmpdat.close();

  const double total = chi1 + chi2 + chi3;
  std::fprintf(d, "DONE RING %e %e %e %e\n", chi1, chi2, chi3, total);
  if (TSrun.chifile) std::fprintf(TSrun.chifile, "%e\n", total);
  return total;
}

double onering() {
  RingWork& W = TSringwork;
  const int i = W.glob_iring;
  FILE* d = diag();
  FILE* trace = TSrun.chifile;
  double du, dv;
  init_ringsource(du, dv);

  int idx[5] = {0, 0, 0, 0, 0};
  int nv = 0;
  for (int m = 1; m <= 4; ++m)
    if (TSring.Ringvary[i][m] > 0) idx[++nv] = m;
  const int ndim = nv > 0 ? nv : 1;
  W.finalflag = 0;
  const double step[5] = {0, std::max(du, 0.05), std::max(dv, 0.05), 0.05, 5.0};
  Mat p(1, ndim + 1, 1, ndim);
  Vec y(1, ndim + 1), row(1, ndim);
  for (int v = 1; v <= ndim + 1; ++v)
    for (int k = 1; k <= ndim; ++k) {
      p[v][k] = k <= nv ? TSring.Ringparms[i][idx[k]] : 0.0;
      if (k <= nv && v == k + 1) p[v][k] += step[idx[k]];
    }
  for (int v = 1; v <= ndim + 1; ++v) {
    // Only the start source of the user's start lens keeps the error of an unsolved crest.
    W.strict = v == 1 && start_model_flag();
    for (int k = 1; k <= ndim; ++k) row[k] = p[v][k];
    y[v] = vary_ringsource(row);
    W.strict = false;
  }
  if (nv > 0) {
    std::fprintf(d, "calling ring amoeba\n");
    if (trace) std::fprintf(trace, "calling ring amoeba\n");
    for (int v = 1; v <= ndim + 1; ++v) {
      for (int k = 1; k <= ndim; ++k) {
        std::fprintf(d, "%e ", p[v][k]);
        if (trace) std::fprintf(trace, "%e ", p[v][k]);
      }
      std::fprintf(d, "\n");
      if (trace) std::fprintf(trace, "\n");
    }
  }
  BRow<int> vary = TSring.Ringvary[i];
  std::fprintf(d, "varying %d %d %d %d total %d\n", vary[1], vary[2], vary[3], vary[4], nv);
  if (nv > 0) {
    std::fprintf(d, "DEBUG: minimizing %d variables %d dimension \n", nv, ndim);
    int nfunk = 0;
    amoeba(p, y, ndim, settings.ftol, vary_ringsource, nfunk, 5000);
  }
  if (trace) std::fprintf(trace, "chiring: ***** ring #%d, re-run best source\n", i);
  W.finalflag = 1;
  for (int k = 1; k <= ndim; ++k) row[k] = p[1][k];
  struct ClearFinal {
    ~ClearFinal() { TSringwork.finalflag = 0; }
  } clear_final;
  const double chi = vary_ringsource(row);
  BRow<double> q = TSring.Ringparms[i];
  std::fprintf(d, "  done ring amoeba: %e %e %e %e %e\n", chi, q[1], q[2], q[3], q[4]);
  if (trace) std::fprintf(trace, "  done ring amoeba: %e\n", chi);
  return chi;
}

double chiring() {
  double chi = 0;
  RingWork& W = TSringwork;
  for (int i = 1; i <= TSring.Nring; ++i) {
    W.glob_iring = i;
    GetRegister(3, i, W.xshift, W.yshift);
    chi += onering();
  }
  return chi;
}

void writeringp(FILE* stream) {
  for (int i = 1; i <= TSring.Nring; ++i) {
    BRow<double> q = TSring.Ringparms[i];
    std::fprintf(stream, "Ring %d: %13.6e %13.6e %13.6e %13.6e # u0 v0 e PA\n", i, q[1], q[2], q[3], q[4]);
  }
}

bool crvring_need_grid() { return (TSring.Nring > 0 && TSring.has_peak) || curves_loaded(); }

// ---- hooks of the optimiser ----

void ring_trial_hook(const BVec<std::string>& names, const Mat& params, bool) {
  // Checked on every call: the index addresses the tables below.
  for (long j = names.lo(); j <= names.hi(); ++j) {
    if (names[j] != "ring") continue;
    const int n = ring_index(params, static_cast<int>(j));
    TSring.Ringparms[n][3] = params[j][4];
    TSring.Ringparms[n][4] = params[j][5];
  }
}

void ring_reset_hook(const BVec<std::string>& names, Mat& gref) {
  for (int i = 1; i <= TSring.Nring; ++i)
    for (int m = 1; m <= 4; ++m) {
      TSring.Ringparms[i][m] = 0;
      TSring.Ringvary[i][m] = m <= 2 ? 1 : 0;
    }
  for (long j = names.lo(); j <= names.hi(); ++j)
    if (names[j] == "ring") gref[j][2] = gref[j][3] = 0;
}

void ring_result_hook(const BVec<std::string>& names, const Mat& gtry, Mat& model) {
  for (long j = names.lo(); j <= names.hi(); ++j) {
    if (names[j] != "ring") continue;
    const int n = ring_index(gtry, static_cast<int>(j));
    model[j][2] = TSring.Ringparms[n][1];
    model[j][3] = TSring.Ringparms[n][2];
  }
}

// ---- commands ----

void ringmax(const WordArray& words) {
  const long n = words.finite_integer(1, "ringmax"), m = words.finite_integer(2, "ringmax");
  if (n < 0 || m < 0) fatal("capacities must be >= 0");
  // The ray table (six values and a flag per ray) that the next ringdat allocates.
  crvring_check_capacities("ringmax", {n, m}, 7.0L * n * (m + 1.0L));
  fitcap.NRINGMAX = static_cast<int>(n);
  fitcap.MRINGMAX = static_cast<int>(m);
  qprintf("Setting maximum ring dimensions to: %d %d\n", fitcap.NRINGMAX, fitcap.MRINGMAX);
}

void ringdat(const WordArray& words) {
  const int nw = words.own_count();
  const int nmax = fitcap.NRINGMAX, mmax = fitcap.MRINGMAX;
  const int nring = nw - 1;
  if (nring > nmax) fatal("too many rings; use ringmax to allow more");
  // The new tables replace the old ones once every file has loaded.
  RingTables T;
  T.Nring = nring;
  T.nalloc = nmax;
  T.mrays = mmax;
  T.Ringdat.reset(1, nmax, 0, mmax, 1, 6);
  T.Ringflag.reset(1, nmax, 0, mmax);
  T.Ringparms.reset(1, nmax, 1, 4);
  T.Ringvary.reset(1, nmax, 1, 4);
  for (int i = 1; i <= nmax; ++i) T.Ringvary[i][1] = T.Ringvary[i][2] = 1;
  WordArray w;
  for (int i = 1; i <= nring; ++i) {
    const std::string path = words[i];
    FileHandle fp(open_input_file(path, "r", "could not open ring data file"));
    if (!fp) fatal("could not open ring data file");
    crvring_next_line(fp, w, path, 0, 1);
    const long N = w.finite_integer(0, "ringdat");
    // A ring without rays has no source to fit.
    if (N <= 0) fatal(strformat("ring data file %s has no rays", path.c_str()));
    if (N > mmax) fatal("too many points on ring; use ringmax to allow more");
    T.Ringdat[i][0][1] = static_cast<double>(N);
    qprintf("Reading %ld points from ringdat file %s\n", N, path.c_str());
    for (int j = 1; j <= N; ++j) {
      crvring_next_line(fp, w, path, j, static_cast<int>(N) + 1);
      if (w.own_count() < 7) fatal(strformat("Too few entries for ray #%d in ringdat", j));
      BRow<double> r = T.Ringdat[i][j];
      // Every value must be a finite number: a nan centre or angle would make the term nan.
      for (int m = 1; m <= 6; ++m) r[m] = w.finite(m - 1, "ringdat");
      const int f = static_cast<int>(
          usable_truncation("ringdat", w[6], w.finite(6, "ringdat") * 1.000001, "flag", -kIntWordLimit, kIntWordLimit));
      T.Ringflag[i][j] = f;
      // lambda and d(lambda) scale the crest search and the position term, d(phi) the
      // match of peaks and minima.
      if (!(r[4] > 0) || !(r[5] > 0) || ((f == 1 || f == 2) && !(r[6] > 0)))
        fatal(strformat("ray #%d in ring data file %s needs lambda, d(lambda) > 0 (and d(phi) > 0 on flag 1 or 2)", j,
                        path.c_str()));
      if (f == 1) T.has_peak = true;
    }
  }
  TSring = std::move(T);
  RingWork& W = TSringwork;
  W.lam.reset(1, std::max(mmax, 1));
  W.ok.reset(1, std::max(mmax, 1));
  W.dist.reset(1, std::max(mmax, 1));
  W.guess.reset(1, std::max(mmax, 1));
  W.cross.reset(1, kMaxCross, 1, 2);
}

