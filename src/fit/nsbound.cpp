// Nested sampling's live points and drawing regions (ellipsoids or a principal-axis box),
// the drawing of new points and the choice of the initial live points.
#include "fit/nsbound.h"

#include <algorithm>
#include <cstdarg>
#include <cmath>
#include <limits>
#include <vector>

#include "fit/store.h"
#include "io/outfile.h"
#include "numeric/constants.h"
#include "numeric/linalg.h"
#include "numeric/minimize.h"
#include "numeric/pca.h"
#include "numeric/sort.h"
#include "shell/fatal.h"
#include "shell/settings.h"

NSbound NSbnd1, NSbnd2;
NestSampState NS;

namespace {
constexpr double kNegInf = -std::numeric_limits<double>::infinity();

void trace(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void trace(const char* fmt, ...) {
  if (!NS.NSouttmp) return;
  va_list ap;
  va_start(ap, fmt);
  std::vfprintf(NS.NSouttmp, fmt, ap);
  va_end(ap);
}

void trace_vector(const char* label, const Vec& v, int n, const char* end) {
  if (!NS.NSouttmp) return;
  std::fprintf(NS.NSouttmp, "%s", label);
  for (int k = 1; k <= n; ++k) std::fprintf(NS.NSouttmp, " %13.6e", v[k]);
  std::fprintf(NS.NSouttmp, "%s", end);
}

// w = E (p - mu) into w (no allocation); p points at parameter 1.
void rotate_into(const Mat& E, const Vec& mu, const double* p, int n, Vec& w) {
  for (int k = 1; k <= n; ++k) {
    const double* Ek = E[k].data();
    double s = 0;
    for (int l = 1; l <= n; ++l) s += Ek[l - 1] * (p[l - 1] - mu[l]);
    w[k] = s;
  }
}

double dist2(const double* p, int n) {
  const Vec& mu = NS.NSmu;
  Vec& d = NS.NSw;
  for (int k = 1; k <= n; ++k) d[k] = p[k - 1] - mu[k];
  double s = 0;
  for (int k = 1; k <= n; ++k) {
    const double* Ck = NS.NSCinv[k].data();
    double t = 0;
    for (int l = 1; l <= n; ++l) t += Ck[l - 1] * d[l];
    s += d[k] * t;
  }
  return s;
}

// The cached quantity of live point i for the region in force.
void cache_point(int i) {
  const int n = NS.NSnvary;
  if (NS.NSmode == 3) {
    Vec& w = NS.NSw;
    rotate_into(NS.NSevec, NS.NSmu, NS.NSparr[i].data(), n, w);
    for (int k = 1; k <= n; ++k) NS.NSprot[i][k] = w[k];
  } else {
    NS.NSdist[i] = dist2(NS.NSparr[i].data(), n);
  }
}

// Resets the simplex cut-off of the minimiser when the optimised set-up ends, however.
struct AmoebaCut {
  AmoebaCut(double cut) {
    minimizer_state.amoeba_cut_flag = 1;
    minimizer_state.amoeba_cut = cut;
  }
  ~AmoebaCut() {
    minimizer_state.amoeba_cut_flag = 0;
    minimizer_state.amoeba_cut = -1e12;
  }
};
}  // namespace

void NSbound::allocate(int n) {
  const int m = std::max(n, 1);
  flag = 0;
  volume = 1;
  origin.reset(1, m);
  lo.reset(1, m);
  hi.reset(1, m);
  axes.reset(1, m);
  rotation.reset(1, m, 1, m);
}

double log_add(double a, double b) {
  if (a == kNegInf) return b;
  if (b == kNegInf) return a;
  return a > b ? a + std::log1p(std::exp(b - a)) : b + std::log1p(std::exp(a - b));
}

double unit_ball_volume(int n) {
  if (n <= 0) return 1;
  if (n == 1) return 2;
  double v = 1;
  const int last = n % 2 == 0 ? 2 : 3;
  for (int a = n; a >= last; a -= 2) v *= 2 * kPi / a;
  if (n % 2 == 1) v *= 2;
  return v;
}

void nestsamp_alloc(int n) {
  NestSampState& S = NS;
  const int m = std::max(n, 1), live = std::max(S.NSlive, 1);
  S.NSparr.reset(1, live, 1, m);
  S.NSchi.reset(1, live);
  S.NSlnlike.reset(1, live);
  S.NSsumx.reset(1, m);
  S.NSsumxy.reset(1, m, 1, m);
  S.NSmu.reset(1, m);
  S.NScov.reset(1, m, 1, m);
  S.NSevec.reset(1, m, 1, m);
  S.NSvmat.reset(1, m, 1, m);
  S.NSCinv.reset(1, m, 1, m);
  S.NSchol.reset(1, m, 1, m);
  S.NSeval.reset(1, m);
  S.NSprng.reset(1, 2, 1, m);
  S.NSprot.reset(1, live, 1, m);
  S.NSq.reset(1, m);
  S.NSwork.reset(1, m);
  S.NSw.reset(1, m);
  S.NScand.reset(1, m);
  S.NSdist.reset(1, live);
  S.boxlo.reset(1, m);
  S.boxhi.reset(1, m);
  S.iboxlo.reset(1, m);
  S.iboxhi.reset(1, m);
  NSbnd1.allocate(n);
  NSbnd2.allocate(n);
}

void nestsamp_reset_region() {
  NestSampState& S = NS;
  const int n = S.NSnvary;
  S.NSsumL = 0;
  S.NSlnLref = kNegInf;
  for (int k = 1; k <= n; ++k) {
    S.NSsumx[k] = 0;
    S.NSmu[k] = 0;
    S.NSeval[k] = 1;
    for (int l = 1; l <= n; ++l) {
      S.NSsumxy[k][l] = 0;
      const double id = k == l ? 1.0 : 0.0;
      S.NScov[k][l] = S.NSchol[k][l] = S.NSevec[k][l] = S.NSCinv[k][l] = id;
    }
  }
  S.NSscale = 1;
  S.cache_valid = false;
}

double nestsamp_eval(Vec& q) { return NS.objective ? NS.objective(q) : tryparms(q); }

// ---- live sums ----

void nestsamp_sums(int i, int s) {
  NestSampState& S = NS;
  const int n = S.NSnvary;
  const double lnL = S.NSlnlike[i];
  if (s > 0) {
    if (S.NSsumL <= 0 || S.NSlnLref == kNegInf) {
      S.NSlnLref = lnL;
      S.NSsumL = 1;
    } else if (lnL > S.NSlnLref) {
      S.NSsumL = S.NSsumL * std::exp(S.NSlnLref - lnL) + 1;
      S.NSlnLref = lnL;
    } else {
      S.NSsumL += std::exp(lnL - S.NSlnLref);
    }
  } else {
    S.NSsumL -= std::exp(lnL - S.NSlnLref);
    if (S.NSsumL < 0) S.NSsumL = 0;
  }
  const double* p = S.NSparr[i].data();  // p[k - 1] is parameter k
  for (int k = 1; k <= n; ++k) {
    S.NSsumx[k] += s * p[k - 1];
    double* row = S.NSsumxy[k].data();
    for (int l = 1; l <= n; ++l) row[l - 1] += s * p[k - 1] * p[l - 1];
  }
}

void nestsamp_resum() {
  NestSampState& S = NS;
  double ref = kNegInf;
  for (int i = 1; i <= S.NSlive; ++i) ref = std::max(ref, S.NSlnlike[i]);
  double sum = 0;
  for (int i = 1; i <= S.NSlive; ++i) sum += std::exp(S.NSlnlike[i] - ref);
  S.NSlnLref = ref;
  S.NSsumL = sum;
}

// ---- the region ----

void nestsamp_eigen() {
  NestSampState& S = NS;
  const int n = S.NSnvary;
  S.cache_valid = false;
  if (n < 1) return;
  Mat a(1, n, 1, n);
  for (int k = 1; k <= n; ++k)
    for (int l = 1; l <= n; ++l) a[k][l] = S.NScov[k][l];
  svdcmp(a, n, n, S.NSeval, S.NSvmat);
  for (int l = 1; l <= n; ++l)
    for (int k = 1; k <= n; ++k) S.NSevec[l][k] = S.NSvmat[k][l];
  eigensort(n, S.NSeval, S.NSevec, 1);
  for (int j = 1; j <= n; ++j)
    for (int k = 1; k <= n; ++k) {
      double s = 0;
      for (int l = 1; l <= n; ++l) s += S.NSevec[l][j] * S.NSevec[l][k] / S.NSeval[l];
      S.NSCinv[j][k] = s;
    }
  for (int k = 1; k <= n; ++k)
    for (int l = 1; l <= n; ++l) S.NSchol[k][l] = S.NScov[k][l];
  if (!cov2chol(n, S.NSchol)) {
    // Draw from the diagonal of standard deviations instead.
    for (int k = 1; k <= n; ++k)
      for (int l = 1; l <= n; ++l) S.NSchol[k][l] = k == l ? std::sqrt(std::max(S.NScov[k][k], 0.0)) : 0.0;
  }
}

namespace {
// Extremes of the cached quantities over every live point.
void rescan_dist() {
  NestSampState& S = NS;
  S.dmax = 0;
  S.imax = 1;
  for (int i = 1; i <= S.NSlive; ++i)
    if (S.NSdist[i] > S.dmax) {
      S.dmax = S.NSdist[i];
      S.imax = i;
    }
}
void rescan_box(int k) {
  NestSampState& S = NS;
  double lo = 1e12, hi = -1e12;
  int ilo = 1, ihi = 1;
  for (int i = 1; i <= S.NSlive; ++i) {
    const double w = S.NSprot[i][k];
    if (w < lo) {
      lo = w;
      ilo = i;
    }
    if (w > hi) {
      hi = w;
      ihi = i;
    }
  }
  S.boxlo[k] = lo;
  S.boxhi[k] = hi;
  S.iboxlo[k] = ilo;
  S.iboxhi[k] = ihi;
}
}  // namespace

void nestsamp_max() {
  NestSampState& S = NS;
  const int n = S.NSnvary, live = S.NSlive;
  if (!S.cache_valid) {
    if (S.NSmode == 3) {
      for (int i = 1; i <= live; ++i) cache_point(i);
    } else {
      // Every point's distance in one pass: d = |W (p - mu)|^2 with the whitening rows
      // W_k = e_k / sqrt(lambda_k), from flat copies the loop can keep in registers.
      std::vector<double> W(static_cast<size_t>(n) * n), mu(n), dp(n);
      for (int k = 1; k <= n; ++k) {
        mu[k - 1] = S.NSmu[k];
        const double f = 1 / std::sqrt(S.NSeval[k]);
        for (int l = 1; l <= n; ++l) W[(k - 1) * n + (l - 1)] = S.NSevec[k][l] * f;
      }
      for (int i = 1; i <= live; ++i) {
        const double* p = S.NSparr[i].data();
        for (int l = 0; l < n; ++l) dp[l] = p[l] - mu[l];
        double d = 0;
        for (int k = 0; k < n; ++k) {
          const double* Wk = &W[static_cast<size_t>(k) * n];
          double t = 0;
          for (int l = 0; l < n; ++l) t += Wk[l] * dp[l];
          d += t * t;
        }
        S.NSdist[i] = d;
      }
    }
    if (S.NSmode == 3)
      for (int k = 1; k <= n; ++k) rescan_box(k);
    else
      rescan_dist();
    S.cache_valid = true;
  }
  if (S.NSmode == 3) {
    for (int k = 1; k <= n; ++k) {
      S.NSprng[1][k] = S.NSexpand * S.boxlo[k];
      S.NSprng[2][k] = S.NSexpand * S.boxhi[k];
    }
  } else {
    S.NSscale = S.NSexpand * std::sqrt(S.dmax);
  }
}

// Live point i changed: its cached quantity and the extremes follow.
void nestsamp_recache(int i) {
  NestSampState& S = NS;
  if (!S.cache_valid) return;
  cache_point(i);
  if (S.NSmode == 3) {
    for (int k = 1; k <= S.NSnvary; ++k) {
      const double w = S.NSprot[i][k];
      if (w <= S.boxlo[k]) {
        S.boxlo[k] = w;
        S.iboxlo[k] = i;
      } else if (S.iboxlo[k] == i) {
        rescan_box(k);
        continue;
      }
      if (w >= S.boxhi[k]) {
        S.boxhi[k] = w;
        S.iboxhi[k] = i;
      } else if (S.iboxhi[k] == i) {
        rescan_box(k);
      }
    }
  } else if (S.NSdist[i] >= S.dmax) {
    S.dmax = S.NSdist[i];
    S.imax = i;
  } else if (S.imax == i) {
    rescan_dist();
  }
}

double nestsamp_Vell(Vec& v) {
  NestSampState& S = NS;
  const int n = S.NSnvary;
  double D = 0;
  for (int i = 1; i <= S.NSlive; ++i) {
    double s = 0;
    for (int k = 1; k <= n; ++k) {
      const double t = (S.NSprot[i][k] - v[n + k]) / v[k];
      s += t * t;
    }
    D = std::max(D, s);
  }
  double val = 1000;
  const double r = std::sqrt(D);
  for (int k = 1; k <= n; ++k) {
    v[k] = std::fabs(v[k]) * r;
    val += std::log(v[k]);
  }
  return val;
}

void nestsamp_cov() {
  NestSampState& S = NS;
  const int n = S.NSnvary, live = S.NSlive;
  for (int k = 1; k <= n; ++k) S.NSmu[k] = S.NSsumx[k] / live;
  for (int k = 1; k <= n; ++k)
    for (int l = 1; l <= n; ++l) S.NScov[k][l] = S.NSsumxy[k][l] / live - S.NSmu[k] * S.NSmu[l];
  if (S.NSouttmp) {
    trace("# covariance matrix\n");
    for (int k = 1; k <= n; ++k) {
      trace("#");
      for (int l = 1; l <= n; ++l) trace(" %13.6e", S.NScov[k][l]);
      trace("\n");
    }
  }
  nestsamp_eigen();
  nestsamp_max();
  if (S.NSouttmp) {
    trace("# PCA ellipsoid\n");
    trace_vector("# center:", S.NSmu, n, "\n");
    trace("# axes:  ");
    for (int k = 1; k <= n; ++k) trace(" %13.6e", std::sqrt(S.NSeval[k]) * S.NSscale);
    trace(" (PCA frame)\n");
  }
  if (S.NSmode == 1 || S.NSmode == 3) return;
  if (S.NSmode != 2) fatal("unknown mode nestsamp");

  // Minimum-volume ellipsoid with axes along the principal directions.
  for (int i = 1; i <= live; ++i) {
    rotate_into(S.NSevec, S.NSmu, S.NSparr[i].data(), n, S.NSw);
    for (int k = 1; k <= n; ++k) S.NSprot[i][k] = S.NSw[k];
  }
  const int nd = 2 * n;
  Mat p(1, nd + 1, 1, nd);
  Vec y(1, nd + 1), axes(1, n);
  for (int k = 1; k <= n; ++k) {
    p[1][k] = std::sqrt(S.NSeval[k]);
    p[1][n + k] = 0;
  }
  for (int v = 2; v <= nd + 1; ++v)
    for (int k = 1; k <= n; ++k) {
      p[v][k] = std::fabs(gasdev(S.NSgseed));
      p[v][n + k] = 0.1 * std::sqrt(S.NSeval[k]) * gasdev(S.NSgseed);
    }
  Vec scratch(1, nd);
  for (int v = 1; v <= nd + 1; ++v) {
    for (int k = 1; k <= n; ++k) axes[k] = p[v][k];
    sort(n, axes);
    for (int k = 1; k <= n; ++k) p[v][k] = axes[k];
    for (int j = 1; j <= nd; ++j) scratch[j] = p[v][j];
    y[v] = nestsamp_Vell(scratch);
    for (int j = 1; j <= nd; ++j) p[v][j] = scratch[j];
  }
  int nfunk = 0;
  amoeba(p, y, nd, settings.ftol, [](Vec& v) { return nestsamp_Vell(v); }, nfunk, 5000);
  Vec c(1, n);
  for (int k = 1; k <= n; ++k) c[k] = p[1][n + k];
  PCAderot(S.NSmu, S.NSevec, n, c);
  for (int k = 1; k <= n; ++k) S.NSmu[k] = c[k];
  Mat E(1, n, 1, n);
  for (int k = 1; k <= n; ++k)
    for (int l = 1; l <= n; ++l) E[k][l] = S.NSevec[k][l];
  for (int k = 1; k <= n; ++k)
    for (int l = 1; l <= n; ++l) {
      double s = 0;
      for (int m = 1; m <= n; ++m) s += p[1][m] * p[1][m] * E[m][k] * E[m][l];
      S.NScov[k][l] = s;
    }
  nestsamp_eigen();
  S.NSscale = S.NSexpand;
  if (S.NSouttmp) {
    trace("# minimum volume ellipsoid\n");
    trace_vector("# center:", S.NSmu, n, "\n");
    trace("# axes:  ");
    for (int k = 1; k <= n; ++k) trace(" %13.6e", std::sqrt(S.NSeval[k]) * S.NSscale);
    trace("\n");
  }
}

// ---- drawing ----

int NSinbounds(const Vec& p, int level) {
  const int n = NS.NSnvary;
  for (int k = 1; k <= n; ++k)
    if (!(p[k] >= NSbnd1.lo[k] && p[k] <= NSbnd1.hi[k])) return 0;
  if (level == 2 && NSbnd2.flag == 1) {
    Vec& w = NS.NSw;
    rotate_into(NSbnd2.rotation, NSbnd2.origin, p.data(), n, w);
    if (NS.NSmode == 3) {
      for (int k = 1; k <= n; ++k)
        if (!(w[k] >= NSbnd2.lo[k] && w[k] <= NSbnd2.hi[k])) return 0;
    } else {
      double s = 0;
      for (int k = 1; k <= n; ++k) s += (w[k] / NSbnd2.axes[k]) * (w[k] / NSbnd2.axes[k]);
      if (!(s <= 1)) return 0;
    }
  }
  return 1;
}

void nestsamp_ran(Vec& p, int level, long& count) {
  NestSampState& S = NS;
  const int n = S.NSnvary;
  long failures = 0;
  for (;;) {
    ++count;
    if (count % 1000 == 0) qprintf("nestsamp: stuck trying to draw a valid random point, step %ld\n", count);
    if (S.NSmode == 3) {
      for (int k = 1; k <= n; ++k) {
        const double u = ran2(S.NSrseed);
        S.NSq[k] = (1 - u) * S.NSprng[1][k] + u * S.NSprng[2][k];
      }
      for (int k = 1; k <= n; ++k) {
        double s = S.NSmu[k];
        for (int l = 1; l <= n; ++l) s += S.NSevec[l][k] * S.NSq[l];
        p[k] = s;
      }
    } else {
      ranell(S.NSgseed, S.NSrseed, n, S.NSchol, S.NSwork, S.NSq);
      for (int k = 1; k <= n; ++k) p[k] = S.NSmu[k] + S.NSscale * S.NSq[k];
    }
    int ok = NSinbounds(p, level);
    if (S.NShull != 0 && ok) {
      double s = 0;
      for (int k = 1; k <= n; ++k) s += (p[k] - S.NSmu[k]) * (p[k] - S.NSmu[k]);
      ok = 0;
      for (int i = 1; i <= S.NSlive && !ok; ++i) {
        double d = 0;
        for (int k = 1; k <= n; ++k) d += (p[k] - S.NSmu[k]) * (S.NSparr[i][k] - S.NSmu[k]);
        if (s <= S.NSexpand * d) ok = 1;
      }
      if (!ok) qprintf("QVM outside convex hull\n");
    }
    if (ok) return;
    if (++failures >= kNSMaxDrawFailures)
      fatal("nestsamp cannot draw a point inside the prior box (check the box and expand)");
  }
}

void nestsamp_new(int i) {
  NestSampState& S = NS;
  const int n = S.NSnvary;
  Vec& cand = S.NScand;
  trace("# picking new point, chicut= %e\n", S.NSchi[i]);
  long attempts = 0;
  double chi;
  for (;;) {
    long counter = 0;
    nestsamp_ran(cand, 2, counter);
    chi = nestsamp_eval(cand);
    S.NSchicnt += 1;
    ++attempts;
    if (chi <= S.NSchi[i]) break;
    if (attempts >= kNSMaxDrawFailures)
      fatal("nestsamp cannot find a point below the worst live chi^2 (the live points have collapsed)");
    if (S.NSwritebad != 0 && S.NSouttmp) {
      nestsamp_write1(S.NSouttmp, cand, 0, chi);
      trace(" # bad chi^2\n");
      flush_record(S.NSouttmp);
    }
  }
  nestsamp_sums(i, -1);
  for (int k = 1; k <= n; ++k) S.NSparr[i][k] = cand[k];
  S.NSchi[i] = chi;
  S.NSlnlike[i] = -chi / 2;
  nestsamp_sums(i, 1);
  nestsamp_recache(i);
  if (S.NSouttmp) {
    nestsamp_write1(S.NSouttmp, cand, 0, chi);
    trace(" # good %ld\n", attempts);
    flush_record(S.NSouttmp);
  }
}

// ---- initial live points ----

namespace {
void uniform_in_box(double* p, int n) {
  for (int k = 1; k <= n; ++k) {
    const double u = ran2(NS.NSrseed);
    p[k - 1] = (1 - u) * NSbnd1.lo[k] + u * NSbnd1.hi[k];
  }
}

void take_point(int i, Vec& q, double chi, const char* tag) {
  NestSampState& S = NS;
  for (int k = 1; k <= S.NSnvary; ++k) S.NSparr[i][k] = q[k];
  S.NSchi[i] = chi;
  S.NSlnlike[i] = -chi / 2;
  nestsamp_sums(i, 1);
  if (S.NSouttmp) {
    nestsamp_write1(S.NSouttmp, q, 0, chi);
    trace(" # %s\n", tag);
    flush_record(S.NSouttmp);
  }
}
}  // namespace

void nestsamp_setup1() {
  NestSampState& S = NS;
  const int n = S.NSnvary;
  qprintf("nestsamp: drawing initial live points\n");
  trace("# picking initial live points from primary priors\n");
  Vec q(1, std::max(n, 1));
  for (int i = 1; i <= S.NSlive; ++i) {
    uniform_in_box(q.data(), n);
    const double chi = nestsamp_eval(q);
    S.NSchicnt += 1;
    take_point(i, q, chi, "initial");
  }
  nestsamp_cov();
  NSbnd2.volume = NSbnd1.volume;
  NSbnd2.flag = 0;
  trace("# prior volume: %e\n", NSbnd1.volume);
}

void nestsamp_setup2() {
  NestSampState& S = NS;
  const int n = S.NSnvary;
  qprintf("nestsamp: searching for points under chi^2 threshold\n");
  trace("# searching for points under chi^2 threshold\n");
  {
    AmoebaCut cut(S.NSchicut);
    Mat p(1, n + 1, 1, std::max(n, 1));
    Vec y(1, n + 1), q(1, std::max(n, 1));
    for (int i = 1; i <= S.NSlive; ++i) {
      for (int tries = 1;; ++tries) {
        if (tries > kNSMaxOptimisations)
          fatal("nestsamp optimisation did not get below chicut in 1000 tries (raise chicut)");
        for (int v = 1; v <= n + 1; ++v) {
          uniform_in_box(q.data(), n);
          y[v] = nestsamp_eval(q);
          for (int k = 1; k <= n; ++k) p[v][k] = q[k];
        }
        int nfunk = 0;
        amoeba(p, y, n, settings.ftol, [](Vec& x) { return nestsamp_eval(x); }, nfunk, 5000);
        S.NSchicnt += n + 1 + nfunk;
        for (int k = 1; k <= n; ++k) q[k] = p[1][k];
        if (y[1] > S.NSchicut) {
          warning("optimization did not get below chi^2 threshold");
          trace("# Warning: optimization did not get below chi^2 threshold\n");
          continue;
        }
        if (!NSinbounds(q, 1)) {
          warning("optimization converged outside of nestsamp region");
          trace("# Warning: optimization converged outside of nestsamp region\n");
          continue;
        }
        take_point(i, q, y[1], "init1");
        break;
      }
    }
  }
  nestsamp_cov();
  NSbnd2.flag = 1;
  for (int k = 1; k <= n; ++k) {
    NSbnd2.origin[k] = S.NSmu[k];
    for (int l = 1; l <= n; ++l) NSbnd2.rotation[k][l] = S.NSevec[k][l];
  }
  if (S.NSouttmp) {
    trace("# secondary priors:\n# origin of PCA frame\n");
    trace_vector("#", NSbnd2.origin, n, "\n");
    trace("# rotation to PCA frame (eigenvectors in rows)\n");
    for (int k = 1; k <= n; ++k) {
      trace("#");
      for (int l = 1; l <= n; ++l) trace(" %13.6e", NSbnd2.rotation[k][l]);
      trace("\n");
    }
  }
  if (S.NSmode == 3) {
    double V = 1;
    for (int k = 1; k <= n; ++k) {
      NSbnd2.lo[k] = S.NSprng[1][k];
      NSbnd2.hi[k] = S.NSprng[2][k];
      V *= NSbnd2.hi[k] - NSbnd2.lo[k];
    }
    NSbnd2.volume = V;
    trace("# box dimensions (PCA frame)\n");
    trace_vector("# lo", NSbnd2.lo, n, "\n");
    trace_vector("# hi", NSbnd2.hi, n, "\n");
  } else {
    double V = unit_ball_volume(n);
    for (int k = 1; k <= n; ++k) {
      NSbnd2.axes[k] = std::sqrt(S.NSeval[k]) * S.NSscale;
      V *= NSbnd2.axes[k];
    }
    NSbnd2.volume = V;
    trace("# axes (PCA frame)\n");
    trace_vector("#", NSbnd2.axes, n, "\n");
  }
  qprintf("nestsamp: drawing initial live points\n");
  trace("# picking initial live points from secondary priors\n");
  long counter = 0;
  Vec q(1, std::max(n, 1));
  for (int i = 1; i <= S.NSlive; ++i) {
    nestsamp_sums(i, -1);
    nestsamp_ran(q, 1, counter);
    const double chi = nestsamp_eval(q);
    S.NSchicnt += 1;
    take_point(i, q, chi, "init2");
  }
  nestsamp_cov();
  NSbnd2.volume *= static_cast<double>(S.NSlive) / static_cast<double>(counter);
  trace("# primary   prior volume: %e\n", NSbnd1.volume);
  trace("# secondary prior volume: %e\n", NSbnd2.volume);
}

// ---- rows ----

void nestsamp_write1(FILE* stream, const Vec& p, int newline, double chi) {
  std::fprintf(stream, "chi %e parms ", chi);
  for (int k = 1; k <= NS.NSnvary; ++k) std::fprintf(stream, " %13.6e", p[k]);
  // A line is flushed only once it is whole: the caller completes a row left open.
  if (newline) {
    std::fprintf(stream, "\n");
    flush_record(stream);
  }
}

const Vec& nestsamp_shown(const Vec& p) {
  static Vec shown;
  if (NS.objective) return p;
  const int n = std::max(NS.NSnvary, 1);
  if (shown.hi() != n) shown.reset(1, n);
  for (int k = 1; k <= NS.NSnvary; ++k) shown[k] = p[k];
  process_point(shown);
  return shown;
}

void nestsamp_write2(FILE* stream, const Vec& p, double chi, double X, double w) {
  std::fprintf(stream, "%e %e %e", X, chi, w);
  const Vec& q = nestsamp_shown(p);
  for (int k = 1; k <= NS.NSnvary; ++k) std::fprintf(stream, " %13.6e", q[k]);
  std::fprintf(stream, "\n");
  std::fflush(stream);
}
