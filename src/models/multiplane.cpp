// Multi-plane lensing: the ray recursion through the lens planes and the void-correction
// tables.
//
// Source: the multi-plane lens equation of Blandford & Narayan 1986, ApJ 310, 568, and
// Schneider, Ehlers & Falco 1992, Gravitational Lenses (Springer), with the planes coupled
// by ratios of angular-diameter distances.
#include "models/multiplane.h"

#include <cmath>
#include <vector>

#include "models/component_inline.h"
#include "models/evaluator.h"
#include "models/substructure.h"
#include "numeric/cosmology.h"
#include "numeric/interp.h"
#include "shell/fatal.h"
#include "shell/settings.h"

void (*rebuild_los_matrices)(const Vec& z, double zs) = nullptr;

MassComplete TWvoid;

namespace {

// Scratch per plane: position (2), deflection (2), Phi A (4).
constexpr int kStride = 8;

// The fields of the component loaded in `cur` at (x, y): potential, deflection and the
// tidal matrix (symmetric: xx, yy, xy). Zeros when the component is off or cut.
struct PlaneField {
  double psi = 0, ax = 0, ay = 0, pxx = 0, pyy = 0, pxy = 0;
};

inline PlaneField plane_field(int k, double x, double y) {
  PlaneField f;
  component_detail::initgal_unchecked(k);
  if (!TWgal.active(k)) return f;
  LensState& tm = TWmod;
  DerivVector R1, R2;
  if (ellipse == ellipse1) {
    component_detail::ellipse1_inline(R1, x, y, false);
  } else {
    ellipse(tm.R1, x, y);
    R1 = tm.R1;
  }
  if (cur.cid == CLS_intshr) {
    shear(tm.R2, x, y);
    R2 = tm.R2;
  } else {
    component_detail::shear_plain(R2, x, y);
  }
  f.psi = R1[1] + R2[1];
  f.ax = R1[2] + R2[2];
  f.ay = R1[3] + R2[3];
  f.pxx = R1[4] + R2[4];
  f.pyy = R1[5] + R2[5];
  f.pxy = R1[6] + R2[6];
  return f;
}

}  // namespace

void los_plane_field(int k, double x, double y, double f[6]) {
  const PlaneField p = plane_field(k, x, y);
  f[0] = p.psi;
  f[1] = p.ax;
  f[2] = p.ay;
  f[3] = p.pxx;
  f[4] = p.pyy;
  f[5] = p.pxy;
}

void los_check_clumps() {
  const ClumpState& cs = TWclump;
  const bool active = settings.clumpmode == 1 || (settings.clumpmode == 2 && cs.useclumps == 1);
  if (!active || !(std::fabs(cs.clumpwgt) > 1e-6)) return;
  // Clump mode and weight are on by default: only a component that has clumps counts.
  for (long j = cs.clumpdat.lo(); j <= cs.clumpdat.hi(); ++j)
    if (cs.clumpdat[j].type > 0) fatal("cannot currently handle clumps with multiple lens planes");
}

void los_size_scratch() {
  const size_t n = static_cast<size_t>(LOS.nplane + 1) * kStride;
  if (LOS.work.size() != n) LOS.work.assign(n, 0.0);
}

namespace {

// The recursion; General false when every coupling matrix is a multiple of the identity
// (no shearLOS reduction), which needs one product per pair instead of four.
template <bool General>
void recursion(PotDefMagVector& out, double x, double y) {
  LOSPlanes& L = LOS;
  const int N = L.nplane, N1 = N + 1, nuse = L.nuse;
  double* w = L.work.data();
  const double* B = L.Bmat.data();
  const double* C = L.Cmat.data();
  const double* G = L.Gmat.data();
  const long* order = L.order.data() - L.order.lo();
  const double* tau = L.tau.data() - 1;
  TWmod.gctot = TWmod.gstot = 0.0;

  double T = 0.0;
  double bx = 0, by = 0, A11 = 1, A12 = 0, A21 = 0, A22 = 1;
  for (int step = 1; step <= nuse + 1; ++step) {
    const int i = step <= nuse ? step : N1;
    const double* Bi = B + (i - 1) * 4;
    double px = Bi[0] * x + Bi[1] * y, py = Bi[2] * x + Bi[3] * y;
    double a11 = Bi[0], a12 = Bi[1], a21 = Bi[2], a22 = Bi[3];
    for (int j = 1; j < step; ++j) {
      const double* c = C + ((j - 1) * N1 + (i - 1)) * 4;
      const double* Q = w + (j - 1) * kStride;
      if (General) {
        px -= c[0] * Q[2] + c[1] * Q[3];
        py -= c[2] * Q[2] + c[3] * Q[3];
        a11 -= c[0] * Q[4] + c[1] * Q[6];
        a12 -= c[0] * Q[5] + c[1] * Q[7];
        a21 -= c[2] * Q[4] + c[3] * Q[6];
        a22 -= c[2] * Q[5] + c[3] * Q[7];
      } else {
        const double k = c[0];
        px -= k * Q[2];
        py -= k * Q[3];
        a11 -= k * Q[4];
        a12 -= k * Q[5];
        a21 -= k * Q[6];
        a22 -= k * Q[7];
      }
    }
    if (i == N1) {
      bx = px;
      by = py;
      A11 = a11;
      A12 = a12;
      A21 = a21;
      A22 = a22;
      break;
    }
    const PlaneField f = plane_field(static_cast<int>(order[i]), px, py);
    double* P = w + (i - 1) * kStride;
    P[0] = px;
    P[1] = py;
    P[2] = f.ax;
    P[3] = f.ay;
    P[4] = f.pxx * a11 + f.pxy * a21;  // Phi A
    P[5] = f.pxx * a12 + f.pxy * a22;
    P[6] = f.pxy * a11 + f.pyy * a21;
    P[7] = f.pxy * a12 + f.pyy * a22;
    T += tau[i] * (0.5 * (px * f.ax + py * f.ay) - f.psi);
  }

  // Time-delay sum: F of the source plane and G of every plane into the source.
  const double* F = L.Fmat.data() + (N1 - 1) * 4;
  T += 0.5 * (bx * (F[0] * x + F[1] * y) + by * (F[2] * x + F[3] * y));
  for (int j = 1; j <= nuse; ++j) {
    const double* g = G + ((j - 1) * N1 + (N1 - 1)) * 4;
    const double* Q = w + (j - 1) * kStride;
    T -= 0.5 * (bx * (g[0] * Q[2] + g[1] * Q[3]) + by * (g[2] * Q[2] + g[3] * Q[3]));
  }

  out[2] = x - bx;
  out[3] = y - by;
  out[4] = 1.0 - A11;
  out[5] = 1.0 - A22;
  out[6] = -A12;
  out[7] = -A21;
  out[1] = 0.5 * (out[2] * out[2] + out[3] * out[3]) - T;
}

}  // namespace

// Not re-entrant: uses `cur`, TWmod's scratch and LOS.work; leaves component 1 loaded.
void potdefmagLOS(PotDefMagVector& out, double x, double y) {
  out.zero();
  los_check_clumps();
  if (LOS.reduced)
    recursion<true>(out, x, y);
  else
    recursion<false>(out, x, y);
  if (TWgal.NGALMAX >= 1) component_detail::initgal_unchecked(1);
}

void los_plane_position(int p, double x, double y, double& xp, double& yp) {
  LOSPlanes& L = LOS;
  const int N1 = L.nplane + 1;
  double* w = L.work.data();
  const double* B = L.Bmat.data();
  const double* C = L.Cmat.data();
  for (int i = 1; i <= p; ++i) {
    const double* Bi = B + (i - 1) * 4;
    double px = Bi[0] * x + Bi[1] * y, py = Bi[2] * x + Bi[3] * y;
    for (int j = 1; j < i; ++j) {
      const double* c = C + ((j - 1) * N1 + (i - 1)) * 4;
      const double* Q = w + (j - 1) * kStride;
      px -= c[0] * Q[2] + c[1] * Q[3];
      py -= c[2] * Q[2] + c[3] * Q[3];
    }
    if (i == p) {
      xp = px;
      yp = py;
      break;
    }
    const PlaneField f = plane_field(static_cast<int>(L.order[i]), px, py);
    double* P = w + (i - 1) * kStride;
    P[2] = f.ax;
    P[3] = f.ay;
  }
  if (TWgal.NGALMAX >= 1) initgal(1);
}

// ---- void corrections ----

void build_masscomplete(const Vec& zp, const Vec& cp, int n, double dz) {
  const Settings& s = settings;
  const double zsrc = s.zsrc;
  const double margin = 1e-9;
  std::vector<double> nz, nc;
  nz.push_back(zp[1]);
  nc.push_back(cp[1]);
  for (int p = 2; p <= n; ++p) {
    // Intermediate nodes dz apart, none within rounding of the next point (a sliver of
    // an interval would be divided by).
    for (;;) {
      const double zn = nz.back() + dz;
      if (!(zn < zp[p] - margin && zn < zsrc - margin)) break;
      double cn;
      linint(zp, cp, n, cn, zn);
      nz.push_back(zn);
      nc.push_back(cn);
    }
    if (zp[p] <= zsrc) {
      nz.push_back(zp[p]);
      nc.push_back(cp[p]);
    }
  }
  // The nodes end at the source, with no completeness there.
  if (nz.back() < zsrc - dz - margin) {
    nz.push_back(zsrc - dz);
    nc.push_back(0.0);
  }
  if (nz.back() < zsrc - margin) {
    nz.push_back(zsrc);
    nc.push_back(0.0);
  }

  MassComplete& v = TWvoid;
  const int m = static_cast<int>(nz.size());
  v.masscomp.reset(1, 3, 1, m);
  for (int k = 1; k <= m; ++k) {
    v.masscomp[1][k] = nz[k - 1];
    v.masscomp[2][k] = nc[k - 1];
    v.masscomp[3][k] = PMdist(0.0, nz[k - 1]);
  }
  v.betahat.reset(1, m, 1, m);
  v.deriv.reset(1, m, 1, m);
  v.tauhat.reset(1, m, 1, m);

  const double Ds = PMdist(0.0, zsrc), Dl = PMdist(0.0, s.zlens), Dls = PMdist(s.zlens, zsrc);
  Vec a(1, m);
  for (int k = 1; k <= m; ++k) a[k] = 1.5 * s.omega * v.masscomp[2][k] * (1.0 + v.masscomp[1][k]);
  BRow<double> D = v.masscomp[3];
  for (int i = 1; i <= m - 1; ++i) {
    double y = 0.0, yp = Ds / (Ds - D[i]), wv = Ds * D[i] / (Ds - D[i]);
    v.betahat[i][i] = 0.0;
    v.deriv[i][i] = yp;
    v.tauhat[i][i] = wv * Dls / (Dl * Ds);
    for (int k = i; k <= m - 1; ++k) {
      const double h = D[k + 1] - D[k], sa = a[k] + a[k + 1], ak = a[k], ak1 = a[k + 1], Dk = D[k];
      const double h2 = h * h, h3 = h2 * h, h4 = h3 * h;
      const double y1 = y + yp * h + (2 * ak + ak1) * y * h2 / 6 + sa * yp * h3 / 12 + ak * ak * y * h4 / 24;
      const double yp1 = yp + sa * y * h / 2 + (ak + 2 * ak1) * yp * h2 / 6 + ak * ak * y * h3 / 6;
      const double w1 = wv + sa * Dk * y * h / 2 + (ak + 2 * ak1) * (y + Dk * yp) * h2 / 6 +
                        ((ak + 3 * ak1) * yp + 2 * ak * ak1 * Dk * y) * h3 / 12 +
                        ak * ak * (Dk * yp + 3 * y) * h4 / 24;
      y = y1;
      yp = yp1;
      wv = w1;
      v.betahat[i][k + 1] = D[k + 1] > 0 ? y / D[k + 1] : y;
      v.deriv[i][k + 1] = yp;
      v.tauhat[i][k + 1] = wv * Dls / (Dl * Ds);
    }
  }
  v.Nmasscomp = m;
  v.zlens = s.zlens;
  v.zsrc = zsrc;
  v.omega = s.omega;
  v.lambda = s.lambda;
}

void voidcorrect(double zi, double Di, double zj, double Dj, double& b, double& f) {
  const Settings& s = settings;
  const MassComplete& v = TWvoid;
  if (s.zref >= 1000) fatal("voidcorrect has not been updated to handle zref>=1000");
  if (v.zlens != s.zlens || v.zsrc != s.zsrc || v.omega != s.omega || v.lambda != s.lambda)
    fatal("masscomplete tables were built for other zlens, zsrc, omega or lambda; rerun masscomplete");
  const int m = v.Nmasscomp;
  const BRow<const double> z = v.masscomp[1];
  const BRow<const double> D = v.masscomp[3];
  if ((zi < 0 || zj < 0 || zi > z[m] || zj > z[m]) && !quietflag && s.verbose < 1)
    note("redshift out of range in voidcorrect");
  if (zi >= z[m]) fatal("in voidcorrect, zi should never equal zsrc");
  // Node intervals; a redshift below the first node uses the first interval, a receiving
  // redshift at or beyond the last node the last one.
  int i = 1;
  while (i < m - 1 && zi >= z[i + 1]) ++i;
  int j = 1;
  while (j < m - 1 && zj >= z[j + 1]) ++j;
  const double u = (Di - D[i]) / (D[i + 1] - D[i]);
  const double t = (Dj - D[j]) / (D[j + 1] - D[j]);
  const auto mix = [&](const Mat& tab) {
    return (1 - u) * (1 - t) * tab[i][j] + (1 - u) * t * tab[i][j + 1] + u * (1 - t) * tab[i + 1][j] +
           u * t * tab[i + 1][j + 1];
  };
  b = mix(v.betahat);
  f = mix(v.tauhat);
}
