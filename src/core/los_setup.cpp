// Line-of-sight set-up: the lens planes of the model in redshift order, their distance
// ratios and coupling matrices, the own-plane positions of the components, and the
// shearLOS reduction that keeps the main planes and folds the others into shears.
//
// Sources: the multi-plane lens equation with the planes coupled by distance ratios
// (Blandford & Narayan 1986, ApJ 310, 568; Schneider, Ehlers & Falco 1992, Gravitational
// Lenses, Springer); the shearLOS reduction, which keeps the main planes exact and treats
// the others in the tidal approximation, follows the hybrid framework of McCully et al.
// 2014, MNRAS 443, 3631.
#include <cmath>
#include <vector>

#include "core/lens_model.h"
#include "core/los_commands.h"
#include "io/outfile.h"
#include "models/evaluator.h"
#include "models/multiplane.h"
#include "numeric/cosmology.h"
#include "numeric/sort.h"
#include "shell/fatal.h"
#include "shell/settings.h"

namespace {

// Sizes the plane matrices for N planes and the source (allocation only when N changes).
void size_plane_arrays(int N) {
  LOSPlanes& L = LOS;
  const int N1 = N + 1;
  if (L.Bmat.rhi() != N1 || L.Bmat.empty()) {
    L.Bmat.reset(1, N1, 1, 4);
    L.Fmat.reset(1, N1, 1, 4);
    L.Cmat.reset(1, N1, 1, N1, 1, 4);
    L.Gmat.reset(1, N1, 1, N1, 1, 4);
    L.dist.reset(0, N1, 0, N1);
    L.zplane.reset(1, N1);
    L.tau.reset(1, N1);
  }
  los_size_scratch();
}

void set_scalar(BRow<double> m, double v) {
  m[1] = v;
  m[2] = 0.0;
  m[3] = 0.0;
  m[4] = v;
}

// Plane redshifts, time-delay factors and the planes in front of the source zs.
void fill_plane_list(const Vec& z, double zs) {
  LOSPlanes& L = LOS;
  const int N = L.nplane;
  const bool have = TWref.Nref >= 1;
  L.nuse = 0;
  for (int i = 1; i <= N; ++i) {
    const long k = L.order[i];
    L.zplane[i] = z[k];
    L.tau[i] = have ? TWref.ref[1].tau[k] : 1.0;
    if (z[k] < zs - 1e-6) L.nuse = i;
  }
  L.zplane[N + 1] = zs;
  L.tau[N + 1] = 0.0;
}

void copy_reduced(bool save) {
  LOSPlanes& L = LOS;
  if (save) {
    L.Bsave = L.Bmat;
    L.Fsave = L.Fmat;
    L.Csave = L.Cmat;
    L.Gsave = L.Gmat;
  } else {
    L.Bmat = L.Bsave;
    L.Fmat = L.Fsave;
    L.Cmat = L.Csave;
    L.Gmat = L.Gsave;
  }
}

// 2x2 matrices as four doubles 11, 12, 21, 22.
struct M2 {
  double a = 1, b = 0, c = 0, d = 1;
};
M2 mul(const M2& x, const M2& y) {
  return {x.a * y.a + x.b * y.c, x.a * y.b + x.b * y.d, x.c * y.a + x.d * y.c, x.c * y.b + x.d * y.d};
}
M2 inv(const M2& m) {
  const double det = m.a * m.d - m.b * m.c;
  return {m.d / det, -m.b / det, -m.c / det, m.a / det};
}
template <class T>
M2 row_m2(BRow<T> r) {
  return {r[1], r[2], r[3], r[4]};
}

}  // namespace

void initLOS(Vec& z) {
  LOSPlanes& L = LOS;
  const Settings& s = settings;
  const int n = TWgal.NGALMAX;
  L.Bmat.clear();
  L.Fmat.clear();
  L.Cmat.clear();
  L.Gmat.clear();
  L.dist.clear();
  L.reduced = false;
  L.Bsave.clear();
  L.Fsave.clear();
  L.Csave.clear();
  L.Gsave.clear();
  L.reduce_warned = false;
  L.zref_warned = false;
  L.on = 0;
  L.nplane = 0;
  L.nuse = 0;
  if (n < 1) return;

  // Every mass component is a plane when one is: a component without a redshift among
  // components with one would take the place of the farthest plane.
  int with = 0, without = 0;
  const bool have = TWref.Nref >= 1 && TWref.Ngal == n;
  for (int i = 1; i <= n; ++i) {
    const std::string& name = have ? TWref.ref[1].names[i] : TWgal.name(i);
    if (!is_mass_component(name)) {
      z[i] = 1e8;
    } else if (z[i] > 0) {
      ++with;
    } else {
      ++without;
    }
  }
  if (with > 0 && without > 0) fatal("expected redshift is not positive");
  L.nplane = with;
  for (int i = 1; i <= n; ++i) TWgal.refon[i] = 1;

  if (L.order.lo() != 1 || L.order.hi() != n) L.order.reset(1, n);
  indexx(n, z, L.order);
  const int N = L.nplane;
  for (int j = 2; j <= N; ++j)
    if (z[L.order[j]] - z[L.order[j - 1]] > 1e-6) ++L.on;
  if (N < 2 || L.on == 0) {
    L.on = 0;
    return;
  }

  // Planes at or within 1e-6 of the source (where the time-delay factor diverges) and
  // behind it take no part.
  const bool talk = !quietflag && s.verbose <= 1;
  if (talk) qprintf("Checking for LOS galaxies behind source ...");
  for (int i = 1; i <= n; ++i) {
    if (!have || !is_mass_component(TWref.ref[1].names[i]) || !(z[i] > 0)) continue;
    if (z[i] >= s.zsrc - 1e-6) {
      TWgal.refon[i] = 0;
      if (talk) qprintf(" %d", i);
    }
  }
  if (talk) qprintf(" done\n");

  size_plane_arrays(N);
  calcLOSmatrices(z, s.zsrc);
}

void calcLOSmatrices(const Vec& z, double zs) {
  LOSPlanes& L = LOS;
  if (!L.on) return;
  const Settings& s = settings;
  if (L.reduced) {
    if (std::fabs(zs - L.zreduced) <= 1e-6) {
      copy_reduced(false);
      fill_plane_list(z, zs);
      return;
    }
    if (!L.reduce_warned) {
      warning(strformat("shearLOS reduction not applied at z=%g", zs));
      L.reduce_warned = true;
    }
  }
  const int N = L.nplane, N1 = N + 1;
  size_plane_arrays(N);
  fill_plane_list(z, zs);
  const Vec& zp = L.zplane;

  L.Dl = PMdist(0.0, s.zlens);
  L.Ds = PMdist(0.0, zs);
  L.Dls = PMdist(s.zlens, zs);
  L.Dref = L.Dlref = 1.0;
  const bool finite_ref = s.zref > 0 && s.zref < 1000;
  if (finite_ref) {
    L.Dref = PMdist(0.0, s.zref);
    L.Dlref = PMdist(s.zlens, s.zref);
  }

  // Distances; equal redshifts (within 1e-6) share one integration.
  Mat& d = L.dist;
  d.fill(0.0);
  const auto zat = [&](int k) { return k == 0 ? 0.0 : zp[k]; };
  for (int k = 0; k <= N; ++k) {
    if (k >= 1 && std::fabs(zat(k) - zat(k - 1)) <= 1e-6) {
      for (int m = k + 1; m <= N1; ++m) d[k][m] = d[k - 1][m];
      continue;
    }
    for (int m = k + 1; m <= N1; ++m) {
      if (!(zat(m) - zat(k) > 1e-6)) continue;
      if (m > k + 1 && std::fabs(zat(m) - zat(m - 1)) <= 1e-6 && d[k][m - 1] > 0)
        d[k][m] = d[k][m - 1];
      else
        d[k][m] = PMdist(zat(k), zat(m));
    }
  }

  const bool voids = TWvoid.Nmasscomp > 0;
  for (int i = 1; i <= N1; ++i) {
    double b = 1.0, f = 0.0;
    if (voids) voidcorrect(0.0, 0.0, zp[i], d[0][i], b, f);
    set_scalar(L.Bmat[i], b);
    set_scalar(L.Fmat[i], f);
  }
  for (int j = 1; j <= N1; ++j) {
    for (int k = 1; k <= N1; ++k) {
      double c = 0.0, g = 0.0;
      const bool couples = zp[j] < zp[k] && zp[k] <= zs && zp[j] <= s.zref;
      if (couples && finite_ref && std::fabs(zp[j] - s.zref) <= 1e-6) {
        // The model's deflections are scaled to a source at zref: a plane there has no
        // finite deflection to pass on.
        if (!L.zref_warned) {
          warning("lens plane at zref feeds no later plane");
          L.zref_warned = true;
        }
      } else if (couples) {
        const double Djk = d[j][k], Dj = d[0][j], Dk = d[0][k];
        if (s.zref >= 1000) {
          c = Djk / Dk;
          g = Dj / L.Dl;
        } else {
          const double Djr = PMdist(zp[j], s.zref);
          c = Djk * L.Dref / (Dk * Djr);
          g = (Dj / Djr) * (L.Dlref / L.Dl);
        }
        if (voids) voidcorrect(zp[j], Dj, zp[k], Dk, c, g);
      }
      set_scalar(L.Cmat[j][k], c);
      set_scalar(L.Gmat[j][k], g);
    }
  }
}

void procgalposLOS() {
  LOSPlanes& L = LOS;
  if (!L.on) return;
  los_check_clumps();
  Mat& pos = TWgal.pos;
  for (int i = 1; i <= TWgal.NGALMAX; ++i) {
    pos[i][5] = pos[i][3];
    pos[i][6] = pos[i][4];
  }
  // Front to back: every deflecting plane's own-plane centre is in place when it is used.
  for (int p = 1; p <= L.nplane; ++p) {
    const long k = L.order[p];
    double xp, yp;
    los_plane_position(p, pos[k][3], pos[k][4], xp, yp);
    pos[k][5] = xp;
    pos[k][6] = yp;
  }
}

namespace {

// What shearLOS reads from its settings and the model before the walk over the planes.
struct ShearSetup {
  int r = 0;            // reference galaxy (0: the reference point)
  double xr = 0, yr = 0;  // reference position
  int a = 0;            // plane of the reference galaxy, or of the first galaxy at zlens
  int mode = 0;
  bool hot = false;
  double dz = 0, dxcut = 0;
};

// The walk's result: the unreduced shears of the folded planes, the lensing and time-delay
// matrices at every plane, and the planes kept (the source last).
struct ShearWalk {
  std::vector<M2> Phi, A, H;
  std::vector<int> kept;
};

// First plane (in redshift order) of galaxy r, or with r < 1 of a galaxy at zlens; 0 if none.
int reference_plane(int r) {
  const LOSPlanes& L = LOS;
  const LensModel& m1 = TWref.ref[1];
  for (int i = 1; i <= L.nplane; ++i) {
    const long k = L.order[i];
    if (r >= 1 ? k == r : std::fabs(m1.z[k] - settings.zlens) < 1e-4) return i;
  }
  return 0;
}

ShearSetup shear_setup() {
  const LOSPlanes& L = LOS;
  const Mat& pos = TWgal.pos;
  ShearSetup u;
  u.r = trunc_int(L.refgal);
  if (u.r > TWgal.NGALMAX) fatal(strformat("shearLOS reference galaxy %d is out of range", u.r));
  u.xr = u.r >= 1 ? pos[u.r][3] : L.xref;
  u.yr = u.r >= 1 ? pos[u.r][4] : L.yref;
  u.a = reference_plane(u.r);
  u.mode = L.cutmode;
  u.hot = u.mode == 3 || u.mode == 4;
  if (u.a == 0 && u.hot) fatal("in shearLOS, no galaxy matches zlens");
  u.dz = (u.mode == 1 || u.mode == 2) ? L.cutparm : 0.0;
  u.dxcut = u.hot ? L.cutparm : 0.0;
  return u;
}

// Scalar couplings of the unreduced system.
double cc(int j, int k) { return LOS.Cmat[j][k][1]; }
double gg(int j, int k) { return LOS.Gmat[j][k][1]; }

// Walks the planes front to back, tracing the reference ray, and decides for each plane
// whether it stays a main plane or is folded into the shears of the others.
ShearWalk walk_planes(const ShearSetup& u) {
  const LOSPlanes& L = LOS;
  const Settings& s = settings;
  const int N1 = L.nplane + 1;
  const LensModel& m1 = TWref.ref[1];
  const Mat& pos = TWgal.pos;

  OutFile tmp;
  if (u.hot && s.tempfiles == 1) tmp = open_trace("shearLOS.tmp", true);
  if (tmp) std::fprintf(tmp, "#  dx  index  model+parameters\n");

  ShearWalk w;
  w.Phi.assign(N1 + 1, M2{0, 0, 0, 0});
  w.A.assign(N1 + 1, M2{});
  w.H.assign(N1 + 1, M2{});
  std::vector<double> ax(N1 + 1, 0.0), ay(N1 + 1, 0.0);
  for (int i = 1; i <= N1; ++i) {
    const double b = L.Bmat[i][1], f = L.Fmat[i][1];
    double X = b * u.xr, Y = b * u.yr;
    M2 Ai{b, 0, 0, b}, Hi{f, 0, 0, f};
    for (int j = 1; j < i; ++j) {
      const double c = cc(j, i), g = gg(j, i);
      X -= c * ax[j];
      Y -= c * ay[j];
      const M2 PA = mul(w.Phi[j], w.A[j]);
      Ai = {Ai.a - c * PA.a, Ai.b - c * PA.b, Ai.c - c * PA.c, Ai.d - c * PA.d};
      Hi = {Hi.a - g * PA.a, Hi.b - g * PA.b, Hi.c - g * PA.c, Hi.d - g * PA.d};
    }
    w.A[i] = Ai;
    w.H[i] = Hi;
    if (i == N1) {
      w.kept.push_back(N1);
      break;
    }
    const int k = static_cast<int>(L.order[i]);
    double fld[6] = {0, 0, 0, 0, 0, 0};
    if (k != u.r) {
      los_plane_field(k, X, Y, fld);
    } else {
      initgal(k);
    }
    double alx = fld[1], aly = fld[2], pxx = fld[3], pyy = fld[4], pxy = fld[5];
    const double rc = std::hypot(X - pos[k][5], Y - pos[k][6]);
    const double gamma = std::sqrt(0.25 * (pxx - pyy) * (pxx - pyy) + pxy * pxy);
    const double R = std::hypot(pos[k][3] - u.xr, pos[k][4] - u.yr);
    bool exact = k == u.r;
    for (int e : L.exact) exact = exact || e == k;
    bool main = exact;
    if (!exact) {
      switch (u.mode) {
        case 0: main = R < L.Rcut; break;
        case 1: main = R < L.Rcut && std::fabs(m1.z[k] - s.zlens) < u.dz; break;
        case 2: main = R < L.Rcut * m1.bridge[k] || std::fabs(m1.z[k] - s.zlens) < u.dz; break;
        default: {
          if (u.a == 0) fatal("shearLOS HOT mode requires a reference galaxy");
          const double wt = u.a < i ? (1.0 - cc(u.a, i)) * (1.0 - cc(u.a, i)) : 1.0;
          const double h = wt * gamma * L.Rcut * L.Rcut / rc;
          main = u.dxcut <= h;
          if (tmp) {
            std::fprintf(tmp, "%e %4d %-8s", h, k, m1.names[k].c_str());
            for (int q = 1; q <= 10; ++q) std::fprintf(tmp, " %13.6e", m1.p[k][q]);
            std::fprintf(tmp, "  %f%s\n", m1.z[k], main ? " main" : "");
          }
        }
      }
    }
    const bool stays = main && m1.names[k] != "convrg" && TWgal.refflag[k] > 0;
    if (u.mode == 4 && !stays) alx = aly = pxx = pyy = pxy = 0.0;
    ax[i] = alx;
    ay[i] = aly;
    if (stays) {
      w.Phi[i] = M2{0, 0, 0, 0};
      w.kept.push_back(i);
    } else {
      w.Phi[i] = M2{pxx, pxy, pxy, pyy};
    }
  }
  tmp.close();
  return w;
}

// The reduced system over the kept planes.
struct Reduced {
  Mat Bn, Fn;
  Tensor3 Cn, Gn;
};

void put(BRow<double> row, const M2& m) {
  row[1] = m.a;
  row[2] = m.b;
  row[3] = m.c;
  row[4] = m.d;
}

Reduced reduce_planes(const ShearWalk& w) {
  const int N1 = LOS.nplane + 1;
  const std::vector<int>& kept = w.kept;
  const int K = static_cast<int>(kept.size());
  Reduced rd{Mat(1, K, 1, 4), Mat(1, K, 1, 4), Tensor3(1, K, 1, K, 1, 4), Tensor3(1, K, 1, K, 1, 4)};
  for (int q = 1; q <= K; ++q) {
    put(rd.Bn[q], w.A[kept[q - 1]]);
    put(rd.Fn[q], w.H[kept[q - 1]]);
  }
  std::vector<M2> Ct(N1 + 1), Gt(N1 + 1);
  for (int p = 1; p <= K; ++p) {
    for (int q = p + 1; q <= K; ++q) {
      const int P = kept[p - 1], Q = kept[q - 1];
      for (int m = P + 1; m <= Q; ++m) {
        M2 c{cc(P, m), 0, 0, cc(P, m)}, g{gg(P, m), 0, 0, gg(P, m)};
        for (int t = P + 1; t < m; ++t) {
          const M2 PC = mul(w.Phi[t], Ct[t]);
          const double cs = cc(t, m), gs = gg(t, m);
          c = {c.a - cs * PC.a, c.b - cs * PC.b, c.c - cs * PC.c, c.d - cs * PC.d};
          g = {g.a - gs * PC.a, g.b - gs * PC.b, g.c - gs * PC.c, g.d - gs * PC.d};
        }
        Ct[m] = c;
        Gt[m] = g;
      }
      put(rd.Cn[p][q], Ct[Q]);
      put(rd.Gn[p][q], Gt[Q]);
    }
  }
  return rd;
}

// Diagnostics of the redshift box: the effective shear matrices of the foreground, the
// background and the lens plane, in shearLOS-mat.dat and shearLOS-shr.dat.
void write_box_diagnostics(const ShearSetup& u, const ShearWalk& w, Reduced& rd) {
  const Settings& s = settings;
  const LOSPlanes& L = LOS;
  const LensModel& m1 = TWref.ref[1];
  const int N = L.nplane;
  const double dz = u.dz;
  const int ap = u.a;
  if (ap == 0) fatal("in shearLOS, no galaxy matches zlens");
  M2 fg, bg, tot, zl;
  const auto sub = [](M2& x, double c, const M2& y) {
    x = {x.a - c * y.a, x.b - c * y.b, x.c - c * y.c, x.d - c * y.d};
  };
  for (int i = 1; i <= N; ++i) {
    const double zk = m1.z[L.order[i]];
    if (zk < s.zlens - dz)
      sub(fg, cc(i, ap), w.Phi[i]);
    else if (zk < s.zlens + dz)
      sub(zl, 1.0, w.Phi[i]);
    else if (zk < s.zsrc)
      sub(bg, cc(ap, i), w.Phi[i]);
    if (zk < s.zsrc) sub(tot, 1.0, w.Phi[i]);
  }
  WholeFile mf("shearLOS-mat.dat", "could not open shearLOS output file", true);
  WholeFile sf("shearLOS-shr.dat", "could not open shearLOS output file", true);
  std::fprintf(mf, "# effective shear matrices, Gamma_eff = 1-A or 1-B\n#\n");
  std::fprintf(sf, "# effective convergence and shear\n#  kappa  gamma_c  gamma_s  theta_skew\n#\n");
  const auto both = [&](const char* line) {
    std::fprintf(mf, "%s\n", line);
    std::fprintf(sf, "%s\n", line);
  };
  const auto write = [&](const M2& m, const char* label) {
    const double M[4] = {m.a, m.b, m.c, m.d};
    shearLOS_write(mf, sf, M, label);
  };
  if (w.kept.size() == 2) {
    both("# full shearLOS calculation");
    const M2 Bl = row_m2(rd.Bn[1]), Bs = row_m2(rd.Bn[2]), Cls = row_m2(rd.Cn[1][2]);
    write(Bl, "full-fg");
    write(Cls, "full-bg");
    write(Bs, "full-tot");
    write(mul(mul(inv(Cls), Bs), inv(Bl)), "full-eff");
    write(mul(inv(Cls), Bs), "full-pri");
  }
  both("# estimates assuming small shear");
  write(fg, "est-fg");
  write(bg, "est-bg");
  write(tot, "est-tot");
  both("# contribution from lens plane");
  write(zl, "zlens");
  sf.commit();
  mf.commit();
}

// The new plane list: kept planes first, the folded components after them, switched off;
// the reduced matrices take the place of the full ones and are saved for later redshifts.
void install_reduced(const ShearWalk& w, Reduced& rd) {
  LOSPlanes& L = LOS;
  const Settings& s = settings;
  const LensModel& m1 = TWref.ref[1];
  const int N = L.nplane, N1 = N + 1;
  const int K = static_cast<int>(w.kept.size());
  LVec old = L.order;
  std::vector<char> is_kept(N1 + 1, 0);
  for (int i : w.kept) is_kept[i] = 1;
  int q = 0;
  for (int i = 1; i <= N; ++i)
    if (is_kept[i]) L.order[++q] = old[i];
  for (int i = 1; i <= N; ++i) {
    if (is_kept[i]) continue;
    L.order[++q] = old[i];
    TWgal.refon[old[i]] = 0;
  }
  qprintf("shearLOS: started with %d lens plane(s), now using %d main plane(s)\n", N, K - 1);
  L.nplane = K - 1;
  L.Bmat = std::move(rd.Bn);
  L.Fmat = std::move(rd.Fn);
  L.Cmat = std::move(rd.Cn);
  L.Gmat = std::move(rd.Gn);
  L.dist.reset(0, K, 0, K);
  L.zplane.reset(1, K);
  L.tau.reset(1, K);
  los_size_scratch();
  fill_plane_list(m1.z, s.zsrc);
  L.reduced = true;
  L.zreduced = s.zsrc;
  L.reduce_warned = false;
  copy_reduced(true);
}

void print_main_planes() {
  const LOSPlanes& L = LOS;
  const LensModel& m1 = TWref.ref[1];
  if (quietflag || settings.verbose > 2) return;
  qprintf("main planes, in redshift order:\n");
  for (int i = 1; i <= L.nplane; ++i) {
    const long k = L.order[i];
    qprintf("%4ld %-8s", k, m1.names[k].c_str());
    for (int t = 1; t <= 10; ++t) qprintf(" %13.6e", m1.p[k][t]);
    qprintf("  %f\n", m1.z[k]);
  }
}

}  // namespace

void initLOSshear() {
  if (LOS.on == 0) {
    if (!quietflag) note("cannot use shearLOS with a single lens plane");
    return;
  }
  const ShearSetup u = shear_setup();
  const ShearWalk w = walk_planes(u);
  Reduced rd = reduce_planes(w);
  if (u.mode == 1 && u.dz > 0) write_box_diagnostics(u, w, rd);
  install_reduced(w, rd);
  print_main_planes();
  initgal(1);
}

// The shearLOS exact list.
const std::vector<int>& exact_components() { return LOS.exact; }
