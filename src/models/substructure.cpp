// Clump substructure in the evaluator: clump populations, their quadtrees and profiles,
// far-zone multipoles and the cached small grids around observed images.
//
// Far from a group of clumps their field is replaced by the multipole expansion of their
// projected mass about the group's centre, in the cosine and sine terms of each order.
//
// Sources: the tree walk, in which the monopole and quadrupole of a node stand for its
// clumps, is the method of Barnes & Hut 1986, Nature 324, 446; nfw clumps have the density of
// Navarro, Frenk & White 1996, ApJ 462, 563, with the lensing functions of Bartelmann 1996,
// A&A 313, 697.
#include "models/substructure.h"

#include <algorithm>
#include <cmath>

#include "models/component.h"
#include "models/elliptical_pattern.h"
#include "numeric/constants.h"
#include "shell/fatal.h"
#include "shell/settings.h"

ClumpState TWclump;

namespace {

constexpr double kEulerGamma = 0.57721566490153286061;

// The size relation of nfw and pow clumps: value (m/m0)^alpha.
double relation(int which, double mass) {
  const double* a = TWclump.NFWclumparr;
  return a[which] * std::pow(mass / a[1], a[which + 1]);
}

bool relations_on() { return TWclump.NFWclumparr[0] != 0; }

// Truncation and scale radii of an nfw or pow clump.
void nfw_radii(int ctype, const double* P, double mass, double& rt, double& rs) {
  const double b = std::sqrt(mass / kPi);
  if (relations_on()) {
    rt = relation(6, mass);
    rs = ctype == CLUMP_NFW ? relation(3, mass) : 0;
  } else {
    rt = b * P[0];
    rs = ctype == CLUMP_NFW ? b * P[1] : 0;
  }
  if (rt < 0) fatal("truncation radius is negative");
  if (ctype == CLUMP_NFW && !(rs > 0)) fatal("scale radius is negative");
}

}  // namespace

void free_clumpvec(BVec<ClumpPop>& table) {
  for (long i = table.lo(); i <= table.hi(); ++i)
    if (table[i].root) TreeFree(*table[i].root);
  table.clear();
}

// ---- clump profiles ----

double clump_E1(double x) {
  if (x > 40) return 0.0;
  if (x <= 0) return HUGE_VAL;
  if (x < 1) {
    // -gamma - ln x - sum (-x)^k / (k k!)
    double sum = 0, term = 1;
    for (int k = 1; k < 60; ++k) {
      term *= -x / k;
      const double add = term / k;
      sum += add;
      if (std::fabs(add) < 1e-17 * std::fabs(sum)) break;
    }
    return -kEulerGamma - std::log(x) - sum;
  }
  // Continued fraction (modified Lentz).
  const double tiny = 1e-300;
  double b = x + 1.0, c = 1.0 / tiny, d = 1.0 / b, h = d;
  for (int i = 1; i < 200; ++i) {
    const double an = -static_cast<double>(i) * i;
    b += 2.0;
    d = 1.0 / (an * d + b);
    c = b + an / c;
    const double del = c * d;
    h *= del;
    if (std::fabs(del - 1.0) < 1e-16) break;
  }
  return h * std::exp(-x);
}

double clump_size(int ctype, const double* P, double mass) {
  const double b = std::sqrt(mass / kPi);
  switch (ctype) {
    case CLUMP_STAR:
      return 0.0;
    case CLUMP_GAUS:
    case CLUMP_SOFT:
      return 4.0 * b * P[0];
    case CLUMP_PJAFFE: {
      double f = 4.0;
      const Settings& s = settings;
      if (s.tdeltol > 0) {
        const double g = mass * s.tscale / (2.0 * kPi * s.hval * s.tdeltol);
        if (g > 4.0) {
          f = g;
          if (!quietflag && s.verbose <= 0) qprintf("clump m=%f, increasing pjaffe leaf factor to %f\n", mass, f);
        }
      }
      return f * b * P[0];
    }
    case CLUMP_TSIS:
      return b * P[0];
    case CLUMP_NFW:
    case CLUMP_POW: {
      double rt, rs;
      nfw_radii(ctype, P, mass, rt, rs);
      return rt;
    }
    default:
      fatal("unknown clump type");
  }
}

ClumpProfile clump_profile(int ctype, const double* P, double mass) {
  ClumpProfile p;
  p.type = ctype;
  p.m = mass;
  p.mpi = mass / kPi;
  const double b = std::sqrt(mass / kPi);
  switch (ctype) {
    case CLUMP_STAR:
      break;
    case CLUMP_GAUS:
      p.a = b * P[0];
      p.A = mass / (2.0 * kPi * p.a * p.a);
      break;
    case CLUMP_PJAFFE:
      p.a = b * P[0];
      p.A = mass / (kPi * p.a);
      p.c0 = p.mpi * (1.0 - std::log(2.0 * p.a));
      break;
    case CLUMP_TSIS:
      p.a = b * P[0];
      p.A = mass / (2.0 * p.a);
      p.c0 = p.mpi * (2.0 - std::log(2.0 * p.a));
      break;
    case CLUMP_NFW: {
      double rt, rs;
      nfw_radii(ctype, P, mass, rt, rs);
      p.rt = rt;
      p.a = rs;
      if (rt > 0) {
        const double tau = rt / rs;
        p.A = mass / (kPi * rt * rs * nfw0phir(tau));
        p.G = nfw_hfunc(tau);
      }
      break;
    }
    case CLUMP_POW: {
      double rt, rs;
      nfw_radii(ctype, P, mass, rt, rs);
      p.rt = rt;
      p.p = P[1];
      break;
    }
    case CLUMP_SOFT:
      p.a = b * P[0];
      break;
    default:
      fatal("unknown clump type");
  }
  // A clump of no size is a point mass (its profile formulas divide by the size).
  if ((ctype == CLUMP_GAUS || ctype == CLUMP_PJAFFE || ctype == CLUMP_TSIS) && !(p.a > 0)) p.type = CLUMP_STAR;
  if ((ctype == CLUMP_NFW || ctype == CLUMP_POW) && !(p.rt > 0)) p.type = CLUMP_STAR;
  return p;
}

void clump_profile_eval(const ClumpProfile& p, double r, double& phi, double& alpha, double& kappa,
                        double& gamma) {
  const double m = p.m, mpi = p.mpi;
  switch (p.type) {
    case CLUMP_STAR:
    star:
      phi = mpi * std::log(r);
      alpha = mpi / r;
      kappa = 0.0;
      gamma = mpi / (r * r);
      return;
    case CLUMP_GAUS: {
      const double s = p.a, s2 = s * s, r2 = r * r, A = p.A;
      const double G = std::exp(-r2 / (2.0 * s2));
      kappa = A * G;
      if (r < 0.01 * s) {
        alpha = A * r * (1.0 - r2 / (4.0 * s2) + r2 * r2 / (24.0 * s2 * s2));
        gamma = A * r2 / (4.0 * s2) * (1.0 - r2 / (3.0 * s2));
      } else {
        alpha = mpi / r * (1.0 - G);
        gamma = mpi / r2 * (1.0 - (1.0 + r2 / (2.0 * s2)) * G);
      }
      if (r > 0)
        phi = mpi * std::log(r) + 0.5 * mpi * clump_E1(r2 / (2.0 * s2));
      else
        phi = 0.5 * mpi * (std::log(2.0 * s2) - kEulerGamma);
      return;
    }
    case CLUMP_PJAFFE: {
      const double a = p.a, A = p.A, c0 = p.c0;
      if (r < 0.01 * a) {
        const double u = r / a, u3 = u * u * u, u5 = u3 * u * u;
        phi = A * r * (1.0 - u / 4.0 + u3 / 32.0 - u5 / 96.0) - c0;
        alpha = A * (1.0 - u / 2.0 + u3 / 8.0 - u5 / 16.0);
        kappa = A / (2.0 * r) * (1.0 - u + u3 / 2.0 - 3.0 * u5 / 8.0);
        gamma = A / (2.0 * r) * (1.0 - u3 / 4.0 + u5 / 4.0);
        return;
      }
      const double v = a / r;
      if (v > 0.1) {
        const double w = std::sqrt(a * a + r * r);
        phi = A * (a + r - w + a * std::log((a + w) / (2.0 * a))) - c0;
        alpha = A / r * (a + r - w);
        kappa = A / 2.0 * (1.0 / r - 1.0 / w);
        gamma = A / (2.0 * r * r) * (r + 2.0 * a - (2.0 * a * a + r * r) / w);
      } else {
        // Series in v = a/r, carried one order further than needed for the potential so that
        // the hand-over at v = 0.1 is smooth to 1e-7.
        const double v2 = v * v, v4 = v2 * v2, v6 = v4 * v2;
        phi = A * r * ((1.0 - std::log(2.0 * v)) * v + v2 / 2.0 - v4 / 24.0 + v6 / 80.0) - c0;
        alpha = A * (v - v2 / 2.0 + v4 / 8.0 - v6 / 16.0);
        kappa = A / (2.0 * r) * (v2 / 2.0 - 3.0 * v4 / 8.0 + 5.0 * v6 / 16.0);
        gamma = A / r * (v - 3.0 * v2 / 4.0 + 5.0 * v4 / 16.0 - 7.0 * v6 / 32.0);
      }
      return;
    }
    case CLUMP_TSIS: {
      const double a = p.a, A = p.A, c0 = p.c0;
      if (r < 0.01 * a) {
        const double u = r / a, u2 = u * u, u4 = u2 * u2;
        phi = A * r * (1.0 - (u / (2.0 * kPi)) * (1.0 + u2 / 24.0 + u4 / 120.0)) - c0;
        alpha = A * (1.0 - (u / kPi) * (1.0 + u2 / 12.0 + u4 / 40.0));
        kappa = A / (2.0 * r) * (1.0 - (2.0 * u / kPi) * (1.0 + u2 / 6.0 + 3.0 * u4 / 40.0));
        gamma = A / (2.0 * r) * (1.0 + (u2 * u / (6.0 * kPi)) * (1.0 + 0.6 * u2));
      } else if (r < a) {
        const double s = std::sqrt(a * a / (r * r) - 1.0), t = std::atan(s);
        const double T = 2.0 * a - 2.0 * r * s + t * r;
        phi = (2.0 * A / kPi) * (a * std::log((r * s + a) / (2.0 * a)) + T) - c0;
        alpha = (2.0 * A / (kPi * r)) * (a - r * s + t * r);
        kappa = A * t / (kPi * r);
        gamma = A * T / (kPi * r * r);
      } else {
        phi = (2.0 * A * a / kPi) * (std::log(r / (2.0 * a)) + 2.0) - c0;
        alpha = 2.0 * A * a / (kPi * r);
        kappa = 0.0;
        gamma = 2.0 * A * a / (kPi * r * r);
      }
      return;
    }
    case CLUMP_NFW: {
      if (r > p.rt) goto star;
      const double rs = p.a, A = p.A, x = r / rs;
      const double F = nfwFfunc(x);
      const double D = nfw0phir_F(x, F);
      alpha = A * rs * D;
      if (std::fabs(x - 1.0) >= 1e-4) {
        kappa = 2.0 * A * (1.0 - F) / (x * x - 1.0);
      } else {
        const double d = x - 1.0;
        kappa = 2.0 * A * (1.0 / 3.0 - 0.4 * d + (13.0 / 35.0) * d * d - (20.0 / 63.0) * d * d * d);
      }
      gamma = x > 0 ? A * D / x - kappa : 0.0;
      const double g = x > 0 ? nfw_hfunc(x) : 0.0;
      phi = mpi * std::log(p.rt) + 2.0 * A * rs * rs * (g - p.G);
      return;
    }
    case CLUMP_POW: {
      if (r > p.rt) goto star;
      const double rt = p.rt, pw = p.p, x = r / rt;
      const double T = std::pow(x, pw);
      double U;
      if (std::fabs(pw) > 0.01) {
        U = (T - 1.0) / pw;
      } else {
        // (x^p - 1)/p for a nearly flat slope, without cancellation.
        const double l = std::log(x);
        U = pw != 0 ? std::expm1(pw * l) / pw : l;
      }
      phi = mpi * (std::log(rt) + U);
      alpha = mpi / rt * T / x;
      kappa = pw * m / (2.0 * kPi * rt * rt) * T / (x * x);
      gamma = (2.0 - pw) * m / (2.0 * kPi * rt * rt) * T / (x * x);
      return;
    }
    case CLUMP_SOFT: {
      const double s = p.a, D = s * s + r * r;
      phi = mpi / 2.0 * std::log(D);
      alpha = m * r / (kPi * D);
      kappa = m * s * s / (kPi * D * D);
      gamma = m * r * r / (kPi * D * D);
      return;
    }
    default:
      fatal("unknown clump type");
  }
}

void clump_calc(int ctype, const double* cparms, double& phi, double& alpha, double& kappa, double& gamma,
                double mass, double r) {
  clump_profile_eval(clump_profile(ctype, cparms, mass), r, phi, alpha, kappa, gamma);
}

// ---- the tree ----

namespace {

// Adds one clump's exact field at (x, y) to out[1..6].
inline void add_exact(const FlatClump& c, double x, double y, double* out) {
  const double dx = x - c.x, dy = y - c.y;
  const double r2 = dx * dx + dy * dy;
  if (c.prof.type == CLUMP_STAR) {
    const double k = c.prof.mpi / r2;
    const double k2 = k / r2;
    out[1] += 0.5 * c.prof.mpi * std::log(r2);
    out[2] += k * dx;
    out[3] += k * dy;
    const double q = k2 * (dx * dx - dy * dy);
    out[4] -= q;
    out[5] += q;
    out[6] -= 2.0 * k2 * dx * dy;
    return;
  }
  const double r = std::sqrt(r2);
  double phi, alpha, kappa, gamma;
  clump_profile_eval(c.prof, r, phi, alpha, kappa, gamma);
  const double ct = r > 0 ? dx / r : 1.0, st = r > 0 ? dy / r : 0.0;
  const double c2 = ct * ct - st * st, s2 = 2.0 * ct * st;
  out[1] += phi;
  out[2] += alpha * ct;
  out[3] += alpha * st;
  out[4] += kappa - gamma * c2;
  out[5] += kappa + gamma * c2;
  out[6] -= gamma * s2;
}

// Writes the model-file line of an exactly evaluated clump (model-file output mode).
void omega_line(const FlatClump& c) {
  ClumpState& cs = TWclump;
  cs.OMEGAarr[1] = c.x;
  cs.OMEGAarr[2] = c.y;
  cs.OMEGAarr[3] = c.prof.m;
  FILE* f = cs.OMEGAout;
  const ClumpProfile& p = c.prof;
  const double m = p.m;
  switch (p.type == CLUMP_STAR ? CLUMP_STAR : p.type) {
    case CLUMP_STAR:
      std::fprintf(f, "ptmass %e %e %e 0 0 0 0 0 0 0\n", std::sqrt(m / kPi), c.x, c.y);
      break;
    case CLUMP_TSIS:
      std::fprintf(f, "tsis %e %e %e 0 0 0 0 0 %e 0\n", p.A, c.x, c.y, p.a);
      break;
    case CLUMP_NFW:
      std::fprintf(f, "tnfw2 %e %e %e 0 0 0 0 %e %e 0 # m= %e\n", p.A, c.x, c.y, p.a, p.rt, m);
      break;
    case CLUMP_POW:
      std::fprintf(f, "tpow %e %e %e 0 0 0 0 0 %e %e # m= %e\n", m / (p.p * kPi * std::pow(p.rt, p.p)), c.x, c.y,
                   p.rt, p.p, m);
      break;
    case CLUMP_GAUS:
      fatal("OMEGA stuff doesn't work for 'gaus' clumps");
    case CLUMP_PJAFFE:
      fatal("OMEGA stuff doesn't work for 'pjaffe' clumps");
    case CLUMP_SOFT:
      fatal("OMEGA stuff doesn't work for 'soft' clumps");
    default:
      fatal("unknown clump type");
  }
  cs.OMEGAarr[4] += 1;
}

void add_sums(ClumpNode& node, double x, double y, double m) {
  node.M += m;
  node.Smx += m * x;
  node.Smy += m * y;
  node.Smxx += m * x * x;
  node.Smyy += m * y * y;
  node.Smxy += m * x * y;
}

void insert_idx(ClumpNode& node, int idx, double size) {
  const FlatClump& c = node.pool->clumps[static_cast<size_t>(idx)];
  const double ex = c.x - node.xc, ey = c.y - node.yc;
  node.extent = std::max(node.extent, std::sqrt(ex * ex + ey * ey) + size);
  if (node.n <= 0) {
    node.n = 1;
    node.x = c.x;
    node.y = c.y;
    node.mass = c.prof.m;
    node.idx = idx;
    node.M = node.Smx = node.Smy = node.Smxx = node.Smyy = node.Smxy = 0;
    add_sums(node, c.x, c.y, c.prof.m);
    return;
  }
  if (!node.kids && std::max(node.hx, node.hy) < node.hmin) {
    node.same.push_back(idx);
  } else {
    if (!node.kids) {
      node.kids.reset(new ClumpNode[4]);
      for (int i = 0; i < 2; ++i)
        for (int j = 0; j < 2; ++j) {
          ClumpNode* k = node.kid(i, j);
          k->xc = node.xc + (i - 0.5) * node.hx;
          k->yc = node.yc + (j - 0.5) * node.hy;
          k->hx = node.hx / 2.0;
          k->hy = node.hy / 2.0;
          k->hmin = node.hmin;
          k->pool = node.pool;
          k->ctype = node.ctype;
        }
      node.first = nullptr;
      const FlatClump& f = node.clump();
      insert_idx(*node.kid(f.x >= node.xc, f.y >= node.yc), node.idx,
                 clump_size(node.ctype, f.parms, f.prof.m));
    }
    insert_idx(*node.kid(c.x >= node.xc, c.y >= node.yc), idx, size);
  }
  node.n += 1;
  add_sums(node, c.x, c.y, c.prof.m);
}

void prune(ClumpNode& node) {
  if (!node.kids) return;
  ClumpNode* last = nullptr;
  node.first = nullptr;
  for (int i = 0; i < 2; ++i)
    for (int j = 0; j < 2; ++j) {
      ClumpNode* k = node.kid(i, j);
      prune(*k);
      k->next = nullptr;
      if (k->n <= 0) continue;
      if (last)
        last->next = k;
      else
        node.first = k;
      last = k;
    }
}

// Appends the clumps below node in tree order.
void collect(const ClumpNode& node, std::vector<FlatClump>& out) {
  if (node.n <= 0) return;
  if (node.first) {
    for (const ClumpNode* k = node.first; k; k = k->next) collect(*k, out);
    return;
  }
  out.push_back(node.clump());
  for (int i : node.same) out.push_back(node.pool->clumps[static_cast<size_t>(i)]);
}

// Calls fn on every clump of a leaf (its first and those kept with it).
template <class F>
void each_leaf_clump(const ClumpNode& node, F&& fn) {
  fn(node.clump());
  for (int i : node.same) fn(node.pool->clumps[static_cast<size_t>(i)]);
}

struct Walk {
  double x, y, leafsize, leaferr, xtol;
  bool omega;
  double rcut;
  long count = 0;
  double* out;

  void leaf_exact(const ClumpNode& node) {
    each_leaf_clump(node, [&](const FlatClump& c) {
      ++count;
      if (omega)
        omega_line(c);
      else
        add_exact(c, x, y, out);
    });
  }

  void open(const ClumpNode& node) {
    if (node.first) {
      for (const ClumpNode* k = node.first; k; k = k->next) calc(*k);
    } else {
      leaf_exact(node);
    }
  }

  void calc(const ClumpNode& node) {
    if (node.n <= 0) return;
    const double M = node.M;
    const double X = node.Smx / M, Y = node.Smy / M;
    const double xp = x - X, yp = y - Y;
    const double r2 = xp * xp + yp * yp, r = std::sqrt(r2);
    const bool openable = node.first != nullptr || !node.same.empty();
    double E;
    if (r > xtol) {
      E = std::max(std::sqrt(node.hx * node.hx + node.hy * node.hy), node.extent) / r;
      if (openable) {
        if (E > leafsize) return open(node);
        const double d = (node.Smxx - M * X * X) - (node.Smyy - M * Y * Y);
        const double f = 2.0 * (node.Smxy - M * X * Y);
        const double r6 = r2 * r2 * r2;
        const double amx = M * xp / r2, amy = M * yp / r2;
        const double aqx = (d * xp * (xp * xp - 3 * yp * yp) - f * yp * (yp * yp - 3 * xp * xp)) / r6;
        const double aqy = (-d * yp * (yp * yp - 3 * xp * xp) - f * xp * (xp * xp - 3 * yp * yp)) / r6;
        if (std::fabs(std::hypot(amx + aqx, amy + aqy) - std::hypot(amx, amy)) > leaferr) return open(node);
      }
    } else {
      if (openable) return open(node);
      E = 1e6;
    }
    if (node.n == 1) return leaf_exact(node);
    // Several clumps left unopened: their multipoles stand for them where valid, else the
    // node is opened after all.
    if (!((E < 1 || node.ctype == CLUMP_STAR) && !(omega && r <= rcut))) return open(node);
    ++count;
    if (r <= xtol) return;
    const double d = (node.Smxx - M * X * X) - (node.Smyy - M * Y * Y);
    const double f = 2.0 * (node.Smxy - M * X * Y);
    const double r4 = r2 * r2, r6 = r4 * r2, r8 = r4 * r4;
    const double dxy = xp * xp - yp * yp, pxy = xp * yp;
    const double Q = xp * xp * xp * xp - 6 * xp * xp * yp * yp + yp * yp * yp * yp;
    const double phixx = -M * dxy / r4 - 3.0 * (Q * d + 4.0 * f * pxy * dxy) / r8;
    const double phixy = -2.0 * M * pxy / r4 + 3.0 * (f * Q - 4.0 * d * pxy * dxy) / r8;
    constexpr double ip = 1.0 / kPi;
    out[1] += ip * (0.5 * M * std::log(r2) - (d * dxy + 2.0 * f * pxy) / (2.0 * r4));
    out[2] += ip * (M * xp / r2 + (d * xp * (xp * xp - 3 * yp * yp) - f * yp * (yp * yp - 3 * xp * xp)) / r6);
    out[3] += ip * (M * yp / r2 + (-d * yp * (yp * yp - 3 * xp * xp) - f * xp * (xp * xp - 3 * yp * yp)) / r6);
    out[4] += ip * phixx;
    out[5] -= ip * phixx;
    out[6] += ip * phixy;
  }
};

}  // namespace

void TreeInit(ClumpNode& node, double xlo, double xhi, double ylo, double yhi) {
  node.kids.reset();
  node.first = node.next = nullptr;
  node.same.clear();
  node.n = 0;
  node.ctype = 0;
  node.extent = 0;
  node.idx = -1;
  node.xc = 0.5 * (xlo + xhi);
  node.yc = 0.5 * (ylo + yhi);
  node.hx = 0.5 * (xhi - xlo);
  node.hy = 0.5 * (yhi - ylo);
  node.hmin = 1e-9 * std::max(std::fabs(node.hx), std::fabs(node.hy));
  node.M = node.Smx = node.Smy = node.Smxx = node.Smyy = node.Smxy = 0;
  node.own_pool.reset(new ClumpPool);
  node.pool = node.own_pool.get();
}

void TreeInsert(const double* cparms, int ctype, ClumpNode& node, double x, double y, double mass) {
  if (!node.pool) fatal("clump tree used before it was set up");
  FlatClump c;
  c.x = x;
  c.y = y;
  for (int k = 0; k < 5; ++k) c.parms[k] = cparms[k];
  const double size = clump_size(ctype, cparms, mass);
  c.prof = clump_profile(ctype, cparms, mass);
  if (node.n <= 0) node.ctype = ctype;
  node.pool->clumps.push_back(c);
  insert_idx(node, static_cast<int>(node.pool->clumps.size()) - 1, size);
}

namespace {
// Interleaves the bits of ix (higher) and iy: the order of the quadrants at every level.
unsigned long long morton(unsigned ix, unsigned iy) {
  auto spread = [](unsigned long long v) {
    v &= 0xffffffffULL;
    v = (v | (v << 16)) & 0x0000ffff0000ffffULL;
    v = (v | (v << 8)) & 0x00ff00ff00ff00ffULL;
    v = (v | (v << 4)) & 0x0f0f0f0f0f0f0f0fULL;
    v = (v | (v << 2)) & 0x3333333333333333ULL;
    v = (v | (v << 1)) & 0x5555555555555555ULL;
    return v;
  };
  return (spread(ix) << 1) | spread(iy);
}
}  // namespace

void TreeInsertAll(const double* cparms, int ctype, ClumpNode& node, std::vector<ClumpXYM>& clumps) {
  if (!node.pool) fatal("clump tree used before it was set up");
  const double x0 = node.xc - node.hx, y0 = node.yc - node.hy;
  const double sx = node.hx > 0 ? 2147483647.0 / (2.0 * node.hx) : 0.0;
  const double sy = node.hy > 0 ? 2147483647.0 / (2.0 * node.hy) : 0.0;
  auto cell = [](double u) {
    if (!(u > 0)) return 0u;
    return u >= 2147483647.0 ? 2147483647u : static_cast<unsigned>(u);
  };
  std::vector<std::pair<unsigned long long, size_t>> key(clumps.size());
  for (size_t k = 0; k < clumps.size(); ++k)
    key[k] = {morton(cell((clumps[k].x - x0) * sx), cell((clumps[k].y - y0) * sy)), k};
  std::sort(key.begin(), key.end());
  node.pool->clumps.reserve(node.pool->clumps.size() + clumps.size());
  for (const auto& kv : key) {
    const ClumpXYM& c = clumps[kv.second];
    TreeInsert(cparms, ctype, node, c.x, c.y, c.mass);
  }
}

void TreePrune(ClumpNode& node) {
  prune(node);
  if (node.own_pool) {
    node.own_pool->order.clear();
    node.own_pool->order.reserve(static_cast<size_t>(std::max(0, node.n)));
    collect(node, node.own_pool->order);
  }
}

void TreeFree(ClumpNode& node) {
  node.kids.reset();
  node.first = node.next = nullptr;
  node.same.clear();
  node.own_pool.reset();
  node.pool = nullptr;
  node.idx = -1;
  node.n = -1;
}

void TreeCalc(const ClumpNode* root, DerivVector& out, double x, double y) {
  if (!root || root->n <= 0) return;
  const Settings& s = settings;
  ClumpState& cs = TWclump;
  const bool omega = cs.OMEGAout != nullptr;
  double* o = &out[1] - 1;
  if (!omega && s.leafsize <= 0 && root->own_pool &&
      root->own_pool->order.size() == static_cast<size_t>(root->n)) {
    // Every node would be opened: one flat pass over the clumps in tree order.
    const std::vector<FlatClump>& v = root->own_pool->order;
    for (const FlatClump& c : v) add_exact(c, x, y, o);
    cs.treecount += root->n;
    return;
  }
  Walk w{x, y, s.leafsize, s.leaferr, s.xtol, omega, cs.OMEGAarr[0] - 1.0, 0, o};
  w.calc(*root);
  cs.treecount += w.count;
}

void TreeCalc(const ClumpNode* root, DerivVector& out, Mat& dp, double x, double y) {
  TreeCalc(root, out, x, y);
  warning("parameter derivatives not defined for TreeCalc");
  for (int k = 7; k <= 10; ++k) out[k] = 0;
  for (long i = dp.rlo(); i <= dp.rhi(); ++i)
    for (long j = dp.clo(); j <= dp.chi(); ++j) dp[i][j] = 0;
}

void TreeClumpPos(const ClumpNode& node, int capacity, int& count, Mat& table, double xlo, double xhi,
                  double ylo, double yhi) {
  if (node.n <= 0) return;
  if (!(yhi >= node.yc - node.hy && xhi >= node.xc - node.hx && xlo <= node.xc + node.hx &&
        ylo <= node.yc + node.hy))
    return;
  if (node.first) {
    for (const ClumpNode* k = node.first; k; k = k->next) TreeClumpPos(*k, capacity, count, table, xlo, xhi, ylo, yhi);
    return;
  }
  each_leaf_clump(node, [&](const FlatClump& c) {
    if (!(xlo <= c.x && c.x <= xhi && ylo <= c.y && c.y <= yhi)) return;
    if (count < capacity) {
      ++count;
      table[count][3] = c.x;
      table[count][4] = c.y;
    } else {
      warning("too many clumps; you need to increase maxclumps");
    }
  });
}

int TreeCheckBox(double& xlo, double& xhi, double& ylo, double& yhi, const ClumpNode& node) {
  if (node.n <= 0) return 0;
  int result = 0;
  if (node.first) {
    for (const ClumpNode* k = node.first; k; k = k->next) {
      const int r = TreeCheckBox(xlo, xhi, ylo, yhi, *k);
      if (r == -1) return -1;
      if (r == 1) result = 1;
    }
    return result;
  }
  bool covered = false;
  each_leaf_clump(node, [&](const FlatClump& c) {
    if (covered) return;
    const double l = std::sqrt(c.prof.m / kPi);
    if (!(xlo < c.x + l && xhi > c.x - l && ylo < c.y + l && yhi > c.y - l)) return;
    const double xm = 0.5 * (xlo + xhi), ym = 0.5 * (ylo + yhi);
    if (c.x < xm)
      xlo = std::max(xlo, c.x + l);
    else
      xhi = std::min(xhi, c.x - l);
    if (c.y < ym)
      ylo = std::max(ylo, c.y + l);
    else
      yhi = std::min(yhi, c.y - l);
    if (xm < xlo || xm > xhi || ym < ylo || ym > yhi)
      covered = true;
    else
      result = 1;
  });
  return covered ? -1 : result;
}

void TreeWritePt(FILE* f, const ClumpNode& node) {
  if (node.n <= 0) return;
  if (node.first) {
    for (const ClumpNode* k = node.first; k; k = k->next) TreeWritePt(f, *k);
    return;
  }
  each_leaf_clump(node, [&](const FlatClump& c) {
    std::fprintf(f, "%e %e %e", c.x, c.y, c.prof.m);
    if (relations_on()) {
      if (node.ctype == CLUMP_NFW)
        std::fprintf(f, " rt %e rs %e", relation(6, c.prof.m), relation(3, c.prof.m));
      else if (node.ctype == CLUMP_POW)
        std::fprintf(f, " rt %e", relation(6, c.prof.m));
    }
    std::fprintf(f, "\n");
  });
}

void TreeWriteBox(FILE* f, const ClumpNode& node) {
  if (node.n <= 0) return;
  if (node.first) {
    for (const ClumpNode* k = node.first; k; k = k->next) TreeWriteBox(f, *k);
    return;
  }
  each_leaf_clump(node, [&](const FlatClump& c) {
    const double x0 = node.xc - node.hx, x1 = node.xc + node.hx, y0 = node.yc - node.hy, y1 = node.yc + node.hy;
    std::fprintf(f, "\n# %f %f\n", c.x, c.y);
    std::fprintf(f, "%f %f\n%f %f\n%f %f\n%f %f\n%f %f\n", x0, y0, x1, y0, x1, y1, x0, y1, x0, y0);
  });
}

// ---- far zone ----

void clump_mpole_basis(int mmax, double r0, double dx, double dy, double* b) {
  const int nt = 2 * mmax;
  // z^k = (dx + i dy)^k for k = 0..mmax, built by multiplication (no angles, no 0/0).
  std::vector<double> re(static_cast<size_t>(mmax + 1)), im(re.size());
  re[0] = 1;
  im[0] = 0;
  for (int k = 1; k <= mmax; ++k) {
    re[k] = re[k - 1] * dx - im[k - 1] * dy;
    im[k] = re[k - 1] * dy + im[k - 1] * dx;
  }
  double inv = 1.0;
  for (int l = 1; l <= mmax; ++l) {
    inv /= r0;
    const int tc = 2 * l - 2, ts = 2 * l - 1;  // zero-based term indices
    auto at = [&](int slot, int t) -> double& { return b[(slot - 1) * nt + t]; };
    at(1, tc) = -(2.0 / l) * re[l] * inv;
    at(1, ts) = -(2.0 / l) * im[l] * inv;
    at(2, tc) = -2.0 * re[l - 1] * inv;
    at(2, ts) = -2.0 * im[l - 1] * inv;
    at(3, tc) = 2.0 * im[l - 1] * inv;
    at(3, ts) = -2.0 * re[l - 1] * inv;
    const double c2 = l >= 2 ? re[l - 2] : 0.0, s2 = l >= 2 ? im[l - 2] : 0.0;
    const double k = 2.0 * (l - 1) * inv;
    at(4, tc) = -k * c2;
    at(4, ts) = -k * s2;
    at(5, tc) = k * c2;
    at(5, ts) = k * s2;
    at(6, tc) = k * s2;
    at(6, ts) = -k * c2;
  }
}

void ClumpMpoleCalc(int j, DerivVector& out, double x, double y) {
  ClumpState& cs = TWclump;
  if (j < cs.clumpdat.lo() || j > cs.clumpdat.hi()) return;
  const ClumpPop& pop = cs.clumpdat[j];
  if (pop.type <= 0 || pop.farmode == 0 || pop.nterms <= 0 || pop.coef.size() < pop.nterms) return;
  const double dx = x - TWgal.pos[j][3], dy = y - TWgal.pos[j][4];
  if (std::hypot(dx, dy) > pop.R2) {
    std::printf("QVM1 %13.6e %13.6e\n", x, y);
    std::fflush(stdout);
    fatal("it is not valid to compute clump multipoles within multipole region");
  }
  const int mmax = pop.mmax;
  double re = 1, im = 0, pre = 0, pim = 0, ppre = 0, ppim = 0;  // z^l, z^(l-1), z^(l-2)
  double inv = 1.0;
  double o1 = 0, o2 = 0, o3 = 0, o4 = 0, o6 = 0;
  for (int l = 1; l <= mmax; ++l) {
    ppre = pre;
    ppim = pim;
    pre = re;
    pim = im;
    const double nre = re * dx - im * dy, nim = re * dy + im * dx;
    re = nre;
    im = nim;
    inv /= pop.r0;
    const double c = pop.coef[2 * l - 1], s = pop.coef[2 * l];
    o1 += -(2.0 / l) * inv * (re * c + im * s);
    o2 += -2.0 * inv * (pre * c + pim * s);
    o3 += 2.0 * inv * (pim * c - pre * s);
    if (l >= 2) {
      const double k = 2.0 * (l - 1) * inv;
      o4 += -k * (ppre * c + ppim * s);
      o6 += k * (ppim * c - ppre * s);
    }
  }
  out[1] += o1;
  out[2] += o2;
  out[3] += o3;
  out[4] += o4;
  out[5] -= o4;
  out[6] += o6;
}
