// Minimisers: the downhill simplex (amoeba, with its step amotry), Powell's direction-set
// method (powell) with its line minimiser (linmin, F1dim, mnbrak, brent).
//
// Objectives are callables. An ObjectiveFunction is called as f(Vec& p) with p[1..n] and
// returns a double; it may not keep the vector, which belongs to the minimiser. A
// ScalarFunction is called as f(double x). The routines are templates over the callable,
// so a lambda with its own state serves as well as a plain function.
//
// Re-entrancy: linmin keeps its line (origin, direction, objective) in a local F1dim
// object, not in process-wide state, so an objective minimised by powell or linmin may
// itself call powell or linmin. The only process-wide state here is the simplex's cut-off
// mode (minimizer_state).
#pragma once

#include <cmath>
#include <type_traits>
#include <utility>

#include "numeric/alloc.h"
#include "shell/fatal.h"

// The simplex's cut-off stopping mode. While amoeba_cut_flag is 1, every amoeba call stops
// as soon as its best value falls below amoeba_cut (and makes no other stopping test).
// Nested sampling sets both before its searches and restores 0 and -1e12 afterwards.
struct MinimizerState {
  double amoeba_cut = -1e12;
  int amoeba_cut_flag = 0;
};
extern MinimizerState minimizer_state;

// The value amoeba leaves in y[1] when it stops at its evaluation limit.
constexpr double kAmoebaLimitValue = 1e12;

namespace minimize_detail {
// "Note: NMAX exceeded in amoeba" on standard output.
void amoeba_limit_note();
inline double sign_of(double a, double b) { return b >= 0.0 ? std::fabs(a) : -std::fabs(a); }
}  // namespace minimize_detail

// Moves vertex ihi of the simplex (p[1..ndim+1][1..ndim], values y[1..ndim+1]) through the
// centroid of the others by the factor fac: the trial point is psum f1 - p[ihi] f2 with
// f1 = (1 - fac)/ndim, f2 = f1 - fac. A trial better than y[ihi] replaces the vertex and
// psum (the sums of the vertex coordinates) is corrected. Returns the trial value.
// ptry[1..ndim] is scratch for the trial point.
template <class Func>
double amotry(Mat& p, Vec& y, Vec& psum, int ndim, Func&& funk, int ihi, double fac, Vec& ptry) {
  const double fac1 = (1.0 - fac) / ndim;
  const double fac2 = fac1 - fac;
  for (int j = 1; j <= ndim; j++) ptry[j] = psum[j] * fac1 - p[ihi][j] * fac2;
  const double ytry = funk(ptry);
  if (ytry < y[ihi]) {
    y[ihi] = ytry;
    for (int j = 1; j <= ndim; j++) {
      psum[j] += ptry[j] - p[ihi][j];
      p[ihi][j] = ptry[j];
    }
  }
  return ytry;
}

template <class Func>
double amotry(Mat& p, Vec& y, Vec& psum, int ndim, Func&& funk, int ihi, double fac) {
  Vec ptry(1, ndim);
  return amotry(p, y, psum, ndim, std::forward<Func>(funk), ihi, fac, ptry);
}

// Downhill simplex (Nelder and Mead) over ndim dimensions from the simplex the caller
// filled: vertices p[1..ndim+1][1..ndim], values y[1..ndim+1]. Stopping rule:
//   cut-off mode (minimizer_state.amoeba_cut_flag == 1): best value < amoeba_cut;
//   ftol > 0: 2|y_hi - y_lo| / (|y_hi| + |y_lo|) < ftol, or |y_lo| < ftol;
//   ftol <= 0: best value < |ftol|.
// On stopping, vertex 1 is the best vertex found. nfunk counts the evaluations. When
// nfunk reaches NMAX before a stop (it may pass it by the evaluations of the last pass),
// the note "Note: NMAX exceeded in amoeba" goes to standard output, the best vertex is
// still moved to row 1, and y[1] is set to 1e12 to tell the caller that the limit was
// reached (its coordinates p[1] are the best point found).
template <class Func>
void amoeba(Mat& p, Vec& y, int ndim, double ftol, Func&& funk, int& nfunk, int NMAX) {
  nfunk = 0;
  if (ndim < 1) return;  // a single vertex is its own minimum
  const int mpts = ndim + 1;
  Vec psum(1, ndim), ptry(1, ndim);
  auto get_psum = [&]() {
    for (int j = 1; j <= ndim; j++) {
      double sum = 0.0;
      for (int i = 1; i <= mpts; i++) sum += p[i][j];
      psum[j] = sum;
    }
  };
  auto best_first = [&](int ilo) {
    std::swap(y[1], y[ilo]);
    for (int j = 1; j <= ndim; j++) std::swap(p[1][j], p[ilo][j]);
  };
  get_psum();
  for (;;) {
    // Rank: ilo lowest (the last of equal lowest), ihi highest, inhi next highest.
    int ilo = 1, ihi, inhi;
    if (y[1] > y[2]) {
      ihi = 1;
      inhi = 2;
    } else {
      ihi = 2;
      inhi = 1;
    }
    for (int i = 1; i <= mpts; i++) {
      if (y[i] <= y[ilo]) ilo = i;
      if (y[i] > y[ihi]) {
        inhi = ihi;
        ihi = i;
      } else if (y[i] > y[inhi] && i != ihi) {
        inhi = i;
      }
    }
    bool stop;
    if (minimizer_state.amoeba_cut_flag == 1) {
      stop = y[ilo] < minimizer_state.amoeba_cut;
    } else if (ftol > 0.0) {
      const double rtol = 2.0 * std::fabs(y[ihi] - y[ilo]) / (std::fabs(y[ihi]) + std::fabs(y[ilo]));
      stop = rtol < ftol || std::fabs(y[ilo]) < ftol;
    } else {
      stop = y[ilo] < std::fabs(ftol);
    }
    if (stop) {
      best_first(ilo);
      return;
    }
    if (nfunk >= NMAX) {
      best_first(ilo);  // the caller takes vertex 1: keep the best point found
      minimize_detail::amoeba_limit_note();
      y[1] = kAmoebaLimitValue;
      return;
    }
    nfunk += 2;
    double ytry = amotry(p, y, psum, ndim, funk, ihi, -1.0, ptry);  // reflection
    if (ytry <= y[ilo]) {
      amotry(p, y, psum, ndim, funk, ihi, 2.0, ptry);  // expansion
    } else if (ytry >= y[inhi]) {
      const double ysave = y[ihi];
      ytry = amotry(p, y, psum, ndim, funk, ihi, 0.5, ptry);  // one-dimensional contraction
      if (ytry >= ysave) {  // shrink every vertex towards the best one
        for (int i = 1; i <= mpts; i++) {
          if (i != ilo) {
            for (int j = 1; j <= ndim; j++) p[i][j] = psum[j] = 0.5 * (p[i][j] + p[ilo][j]);
            y[i] = funk(psum);
          }
        }
        nfunk += ndim;
        get_psum();
      }
    } else {
      --nfunk;  // only the reflection was evaluated
    }
  }
}

// Brackets a minimum of func: from distinct ax, bx, finds ax, bx, cx with bx between the
// others and fb below fa and fc (golden-ratio expansion with parabolic extrapolation).
template <class Func>
void mnbrak(double& ax, double& bx, double& cx, double& fa, double& fb, double& fc, Func&& func) {
  constexpr double kGold = 1.618034, kGlimit = 100.0, kTiny = 1.0e-20;
  fa = func(ax);
  fb = func(bx);
  if (fb > fa) {  // go downhill from a to b
    std::swap(ax, bx);
    std::swap(fa, fb);
  }
  cx = bx + kGold * (bx - ax);
  fc = func(cx);
  while (fb > fc) {
    const double r = (bx - ax) * (fb - fc);
    const double q = (bx - cx) * (fb - fa);
    const double qr = std::fabs(q - r) > kTiny ? std::fabs(q - r) : kTiny;
    double u = bx - ((bx - cx) * q - (bx - ax) * r) / (2.0 * minimize_detail::sign_of(qr, q - r));
    const double ulim = bx + kGlimit * (cx - bx);
    double fu;
    if ((bx - u) * (u - cx) > 0.0) {  // parabolic u between b and c
      fu = func(u);
      if (fu < fc) {
        ax = bx;
        bx = u;
        fa = fb;
        fb = fu;
        return;
      } else if (fu > fb) {
        cx = u;
        fc = fu;
        return;
      }
      u = cx + kGold * (cx - bx);
      fu = func(u);
    } else if ((cx - u) * (u - ulim) > 0.0) {  // between c and the limit
      fu = func(u);
      if (fu < fc) {
        bx = cx;
        cx = u;
        u = cx + kGold * (cx - bx);
        fb = fc;
        fc = fu;
        fu = func(u);
      }
    } else if ((u - ulim) * (ulim - cx) >= 0.0) {  // beyond the limit
      u = ulim;
      fu = func(u);
    } else {
      u = cx + kGold * (cx - bx);
      fu = func(u);
    }
    ax = bx;
    bx = cx;
    cx = u;
    fa = fb;
    fb = fc;
    fc = fu;
  }
}

// Brent's method: from a bracketing triple (bx between ax and cx, f(bx) below both) finds
// the minimum to a fractional tolerance tol; returns the minimum value and writes its
// abscissa to xmin. After 100 iterations it warns "Too many iterations in brent" and
// returns the best point found.
template <class Func>
double brent(double ax, double bx, double cx, Func&& f, double tol, double& xmin) {
  constexpr int kItmax = 100;
  constexpr double kCgold = 0.3819660, kZeps = 1.0e-10;
  double a = ax < cx ? ax : cx;
  double b = ax > cx ? ax : cx;
  double d = 0.0, e = 0.0;
  double x, w, v, fx, fw, fv;
  x = w = v = bx;
  fw = fv = fx = f(x);
  for (int iter = 1; iter <= kItmax; iter++) {
    const double xm = 0.5 * (a + b);
    const double tol1 = tol * std::fabs(x) + kZeps;
    const double tol2 = 2.0 * tol1;
    if (std::fabs(x - xm) <= (tol2 - 0.5 * (b - a))) {
      xmin = x;
      return fx;
    }
    if (std::fabs(e) > tol1) {  // trial parabolic fit
      const double r = (x - w) * (fx - fv);
      double q = (x - v) * (fx - fw);
      double p = (x - v) * q - (x - w) * r;
      q = 2.0 * (q - r);
      if (q > 0.0) p = -p;
      q = std::fabs(q);
      const double etemp = e;
      e = d;
      if (std::fabs(p) >= std::fabs(0.5 * q * etemp) || p <= q * (a - x) || p >= q * (b - x)) {
        e = (x >= xm ? a - x : b - x);
        d = kCgold * e;
      } else {
        d = p / q;
        const double u = x + d;
        if (u - a < tol2 || b - u < tol2) d = minimize_detail::sign_of(tol1, xm - x);
      }
    } else {
      e = (x >= xm ? a - x : b - x);
      d = kCgold * e;
    }
    const double u = (std::fabs(d) >= tol1 ? x + d : x + minimize_detail::sign_of(tol1, d));
    const double fu = f(u);
    if (fu <= fx) {
      if (u >= x) a = x; else b = x;
      v = w; w = x; x = u;
      fv = fw; fw = fx; fx = fu;
    } else {
      if (u < x) a = u; else b = u;
      if (fu <= fw || w == x) {
        v = w;
        w = u;
        fv = fw;
        fw = fu;
      } else if (fu <= fv || v == x || v == w) {
        v = u;
        fv = fu;
      }
    }
  }
  warning("Too many iterations in brent");
  xmin = x;
  return fx;
}

// The objective along one line: F1dim(x) = func(pcom + x xicom). It holds the line for
// one linmin call.
template <class Func>
class F1dim {
 public:
  F1dim(int n, const Vec& p, const Vec& xi, Func& func) : n_(n), pcom_(1, n), xicom_(1, n), xt_(1, n), func_(func) {
    for (int j = 1; j <= n; j++) {
      pcom_[j] = p[j];
      xicom_[j] = xi[j];
    }
  }
  double operator()(double x) {
    for (int j = 1; j <= n_; j++) xt_[j] = pcom_[j] + x * xicom_[j];
    return func_(xt_);
  }

 private:
  int n_;
  Vec pcom_, xicom_, xt_;
  Func& func_;
};

// Minimises func along the direction xi[1..n] from p[1..n]: brackets with mnbrak from the
// abscissae 0 and 1, refines with brent at tolerance 2e-4; fret receives the minimum
// value, xi becomes the displacement taken and p the minimising point.
template <class Func>
void linmin(Vec& p, Vec& xi, int n, double& fret, Func&& func) {
  constexpr double kTol = 2.0e-4;
  using F = std::remove_reference_t<Func>;
  F1dim<F> f1dim(n, p, xi, func);
  double ax = 0.0, xx = 1.0, bx, fa, fx, fb, xmin;
  mnbrak(ax, xx, bx, fa, fx, fb, f1dim);
  fret = brent(ax, xx, bx, f1dim, kTol, xmin);
  for (int j = 1; j <= n; j++) {
    xi[j] *= xmin;
    p[j] += xi[j];
  }
}

// Powell's direction-set method: minimises func from p[1..n] with the initial directions
// in the columns of xi[1..n][1..n] (changed on return). Stops when one iteration decreases
// the value by no more than the fractional tolerance: 2|fp - fret| <= ftol (|fp| + |fret|).
// p returns the best point, fret its value, iter the number of iterations. After 500
// iterations it warns "powell exceeding maximum iterations." and returns the best point.
template <class Func>
void powell(Vec& p, Mat& xi, int n, double ftol, int& iter, double& fret, Func&& func) {
  constexpr int kItmax = 500;
  Vec pt(1, n), ptt(1, n), xit(1, n);
  fret = func(p);
  for (int j = 1; j <= n; j++) pt[j] = p[j];
  for (iter = 1;; ++iter) {
    const double fp = fret;
    int ibig = 0;
    double del = 0.0;  // largest decrease along one direction
    for (int i = 1; i <= n; i++) {
      for (int j = 1; j <= n; j++) xit[j] = xi[j][i];
      const double fptt = fret;
      linmin(p, xit, n, fret, func);
      if (fptt - fret > del) {
        del = fptt - fret;
        ibig = i;
      }
    }
    if (2.0 * std::fabs(fp - fret) <= ftol * (std::fabs(fp) + std::fabs(fret))) return;
    if (iter == kItmax) {
      warning("powell exceeding maximum iterations.");
      return;
    }
    for (int j = 1; j <= n; j++) {  // extrapolated point and average direction
      ptt[j] = 2.0 * p[j] - pt[j];
      xit[j] = p[j] - pt[j];
      pt[j] = p[j];
    }
    const double fptt = func(ptt);
    if (fptt < fp && ibig > 0) {
      const double a = fp - fret - del, b = fp - fptt;
      const double t = 2.0 * (fp - 2.0 * fret + fptt) * a * a - del * b * b;
      if (t < 0.0) {  // move along the average direction and keep it
        linmin(p, xit, n, fret, func);
        for (int j = 1; j <= n; j++) {
          xi[j][ibig] = xi[j][n];
          xi[j][n] = xit[j];
        }
      }
    }
  }
}
