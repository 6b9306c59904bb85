// Shared set-up of the image-plane tests: a model in the component table, settings at
// their start-up values, a triangulated polar lattice with the lens mapping at its
// vertices, and an independent dense-grid root search of the lens equation.
#pragma once

#include <array>
#include <cmath>
#include <initializer_list>
#include <string>
#include <vector>

#include "app/startup.h"
#include "imageplane/catalog.h"
#include "imageplane/critcurves.h"
#include "imageplane/grid.h"
#include "imageplane/images.h"
#include "imageplane/source_models.h"
#include "models/component.h"
#include "models/evaluator.h"
#include "models/registry.h"
#include "models/substructure.h"
#include "numeric/constants.h"
#include "shell/commands.h"
#include "shell/fatal.h"
#include "shell/settings.h"
#include "shell/vars.h"

namespace lensfix {

// A fresh program state (settings at their start-up values, read by a settings refresh,
// but alphanorm 0 so that b is the isothermal's Einstein radius as given), a model of n
// components (all "none") and one point source.
inline void fresh_model(int n) {
  start_program(stdin, stdout);
  end_command_messages();  // each test is a command of its own: once-printed warnings print again
  SetVar("alphanorm", 0, 0);
  SetGlob();
  TWgal.allocate(n);
  TWmod = LensState();
  TWclump = ClumpState();
  TWtrack = DominanceTrack();
  LOS = LOSPlanes();
  ellipse = ellipse1;
  InitSrcArr(1, 0);
}

inline void set_component(int i, const std::string& name, std::initializer_list<double> p) {
  setID(i, name);
  int k = 1;
  for (double v : p) setp(i, k++, v);
}

// Triangulated polar lattice about the origin: rings at the given radii (a radius of 0 is
// the centre point) with nt rays each, the lens mapping at every vertex, then the
// critical curves and the catalogue. With a first radius above 0 the inside of the
// innermost ring is a hole.
inline void build_mesh(const std::vector<double>& radii, int nt) {
  TWgrid = GridState();
  triangulateio in;
  in.numberofpointattributes = 6;
  std::vector<int> first;  // index of each ring's first vertex
  for (double r : radii) {
    first.push_back(in.numberofpoints);
    const int rays = r == 0.0 ? 1 : nt;
    for (int j = 0; j < rays; ++j) {
      const double th = 2.0 * kPi * j / nt;
      const double x = r * std::cos(th), y = r * std::sin(th);
      double pot, ax, ay, xx, yy, xy, yx;
      potdefmag(x, y, pot, ax, ay, xx, yy, xy, yx);
      const double det = (1 - xx) * (1 - yy) - xy * yx;
      const int par = lens_parity(xx, yy, xy, yx);
      in.pointlist.insert(in.pointlist.end(), {x, y});
      in.pointattributelist.insert(in.pointattributelist.end(), {x - ax, y - ay, 1.0 / det, double(par), pot, 0.0});
      ++in.numberofpoints;
      TWgrid.umin = std::min(TWgrid.umin, x - ax);
      TWgrid.umax = std::max(TWgrid.umax, x - ax);
      TWgrid.vmin = std::min(TWgrid.vmin, y - ay);
      TWgrid.vmax = std::max(TWgrid.vmax, y - ay);
    }
  }
  auto ring = [&](size_t k) {
    for (int j = 0; j < nt; ++j) {
      in.segmentlist.insert(in.segmentlist.end(), {first[k] + j, first[k] + (j + 1) % nt});
      ++in.numberofsegments;
    }
  };
  ring(radii.size() - 1);
  if (radii[0] > 0.0) {
    ring(0);
    in.holelist.insert(in.holelist.end(), {0.0, 0.0});
    in.numberofholes = 1;
  }
  triangulate("zBepQ", in, TWtri.out);
  find_crit();
  docatalog();
}

// Radii 0, h, 2h, ... rmax.
inline std::vector<double> even_radii(double rmax, int n, double r0 = 0.0) {
  std::vector<double> r;
  for (int i = 0; i <= n; ++i) r.push_back(r0 + (rmax - r0) * i / n);
  return r;
}

// Independent root search of the lens equation x - alpha(x) = (u, v) over the square
// [-L, L]^2: every cell of an N x N lattice in which both residual components change sign
// is polished by Newton's method from its centre; roots closer than 1e-7 are one.
class DenseRoots {
 public:
  DenseRoots(double L, int N) : L_(L), N_(N), ax_((N + 1) * (N + 1)), ay_((N + 1) * (N + 1)) {
    for (int i = 0; i <= N; ++i)
      for (int j = 0; j <= N; ++j) {
        double pot, ax, ay, xx, yy, xy, yx;
        potdefmag(x(i), x(j), pot, ax, ay, xx, yy, xy, yx);
        ax_[idx(i, j)] = ax;
        ay_[idx(i, j)] = ay;
      }
  }
  std::vector<std::array<double, 2>> roots(double u, double v) const {
    std::vector<std::array<double, 2>> out;
    const double h = 2 * L_ / N_;
    for (int i = 0; i < N_; ++i)
      for (int j = 0; j < N_; ++j) {
        double f1min = 1e300, f1max = -1e300, f2min = 1e300, f2max = -1e300;
        for (int a = 0; a <= 1; ++a)
          for (int b = 0; b <= 1; ++b) {
            const double f1 = x(i + a) - ax_[idx(i + a, j + b)] - u;
            const double f2 = x(j + b) - ay_[idx(i + a, j + b)] - v;
            f1min = std::min(f1min, f1);
            f1max = std::max(f1max, f1);
            f2min = std::min(f2min, f2);
            f2max = std::max(f2max, f2);
          }
        if (f1min > 0 || f1max < 0 || f2min > 0 || f2max < 0) continue;
        double px = x(i) + h / 2, py = x(j) + h / 2;
        bool ok = false;
        for (int it = 0; it < 60; ++it) {
          double pot, ax, ay, xx, yy, xy, yx;
          potdefmag(px, py, pot, ax, ay, xx, yy, xy, yx);
          const double f1 = px - ax - u, f2 = py - ay - v;
          if (f1 * f1 + f2 * f2 < 1e-26) {
            ok = true;
            break;
          }
          const double a = 1 - xx, b = -xy, c = -yx, d = 1 - yy, det = a * d - b * c;
          if (det == 0) break;
          px -= (d * f1 - b * f2) / det;
          py -= (-c * f1 + a * f2) / det;
        }
        if (!ok || std::fabs(px - (x(i) + h / 2)) > 2 * h || std::fabs(py - (x(j) + h / 2)) > 2 * h) continue;
        bool dup = false;
        for (const auto& r : out)
          if (std::hypot(r[0] - px, r[1] - py) < 1e-7) dup = true;
        if (!dup) out.push_back({px, py});
      }
    return out;
  }

 private:
  double x(int i) const { return -L_ + 2 * L_ * i / N_; }
  size_t idx(int i, int j) const { return static_cast<size_t>(i) * (N_ + 1) + j; }
  double L_;
  int N_;
  std::vector<double> ax_, ay_;
};

// Independent root search that also resolves close pairs: the square of half-width R about
// (xc, yc) in N x N cells; a cell is searched when both residual components change sign on
// its corners, or when det A changes sign there and the residual box widened by its own
// extent holds 0 (a fold may hide two roots in it); such a cell is split in four, down to
// five levels. Each searched cell is polished by Newton's method from its centre (and from
// its corners when det A changes sign); roots closer than 1e-8 are one.
class RefinedRoots {
 public:
  RefinedRoots(double xc, double yc, double R, int N)
      : xc_(xc), yc_(yc), R_(R), N_(N), f_((N + 1) * (N + 1)) {
    for (int i = 0; i <= N; ++i)
      for (int j = 0; j <= N; ++j) f_[idx(i, j)] = eval(x(i), y(j));
  }
  std::vector<std::array<double, 2>> roots(double u, double v) const {
    std::vector<std::array<double, 2>> out;
    const double h = 2 * R_ / N_;
    for (int i = 0; i < N_; ++i)
      for (int j = 0; j < N_; ++j) {
        const Node c[4] = {f_[idx(i, j)], f_[idx(i + 1, j)], f_[idx(i, j + 1)], f_[idx(i + 1, j + 1)]};
        cell(x(i), y(j), h, c, u, v, 0, out);
      }
    return out;
  }

 private:
  struct Node {
    double ax, ay, det;
  };
  static Node eval(double px, double py) {
    double pot, ax, ay, xx, yy, xy, yx;
    potdefmag(px, py, pot, ax, ay, xx, yy, xy, yx);
    return {ax, ay, (1 - xx) * (1 - yy) - xy * yx};
  }
  // Corners c: (x0, y0), (x0 + h, y0), (x0, y0 + h), (x0 + h, y0 + h).
  void cell(double x0, double y0, double h, const Node* c, double u, double v, int depth,
            std::vector<std::array<double, 2>>& out) const {
    double f1min = 1e300, f1max = -1e300, f2min = 1e300, f2max = -1e300;
    int pos = 0;
    for (int k = 0; k < 4; ++k) {
      const double px = x0 + (k & 1) * h, py = y0 + (k >> 1) * h;
      const double f1 = px - c[k].ax - u, f2 = py - c[k].ay - v;
      f1min = std::min(f1min, f1);
      f1max = std::max(f1max, f1);
      f2min = std::min(f2min, f2);
      f2max = std::max(f2max, f2);
      pos += c[k].det > 0;
    }
    const bool crit = pos != 0 && pos != 4;
    const double g = crit ? std::max(f1max - f1min, f2max - f2min) : 0.0;
    if (f1min > g || f1max < -g || f2min > g || f2max < -g) return;
    if (crit && depth < 5) {
      const double e = h / 2;
      Node m[9];  // 3 x 3 nodes of the split cell, row by row
      for (int b = 0; b < 3; ++b)
        for (int a = 0; a < 3; ++a) {
          const int k = b * 3 + a;
          if (a != 1 && b != 1)
            m[k] = c[(a / 2) + 2 * (b / 2)];
          else
            m[k] = eval(x0 + a * e, y0 + b * e);
        }
      for (int b = 0; b < 2; ++b)
        for (int a = 0; a < 2; ++a) {
          const Node q[4] = {m[b * 3 + a], m[b * 3 + a + 1], m[(b + 1) * 3 + a], m[(b + 1) * 3 + a + 1]};
          cell(x0 + a * e, y0 + b * e, e, q, u, v, depth + 1, out);
        }
      return;
    }
    newton(x0 + h / 2, y0 + h / 2, x0 + h / 2, y0 + h / 2, h, u, v, out);
    if (crit)
      for (int k = 0; k < 4; ++k) newton(x0 + (k & 1) * h, y0 + (k >> 1) * h, x0 + h / 2, y0 + h / 2, h, u, v, out);
  }
  static void newton(double px, double py, double cx, double cy, double h, double u, double v,
                     std::vector<std::array<double, 2>>& out) {
    for (int it = 0; it < 80; ++it) {
      double pot, ax, ay, xx, yy, xy, yx;
      potdefmag(px, py, pot, ax, ay, xx, yy, xy, yx);
      const double f1 = px - ax - u, f2 = py - ay - v;
      if (f1 * f1 + f2 * f2 < 1e-26) {
        if (std::fabs(px - cx) > 2 * h || std::fabs(py - cy) > 2 * h) return;
        for (const auto& r : out)
          if (std::hypot(r[0] - px, r[1] - py) < 1e-8) return;
        out.push_back({px, py});
        return;
      }
      const double a = 1 - xx, b = -xy, c = -yx, d = 1 - yy, det = a * d - b * c;
      if (det == 0 || !std::isfinite(det)) return;
      px -= (d * f1 - b * f2) / det;
      py -= (-c * f1 + a * f2) / det;
      if (!std::isfinite(px) || !std::isfinite(py)) return;
    }
  }
  double x(int i) const { return xc_ - R_ + 2 * R_ * i / N_; }
  double y(int j) const { return yc_ - R_ + 2 * R_ * j / N_; }
  size_t idx(int i, int j) const { return static_cast<size_t>(i) * (N_ + 1) + j; }
  double xc_, yc_, R_;
  int N_;
  std::vector<Node> f_;
};

// The tangential caustic sampled along the tangential critical curve, found ray by ray by
// bisection on det A between r = 0.5 and r = 1.8 (independent of the mesh).
struct Caustic {
  std::vector<std::array<double, 2>> pts;  // caustic points by angle of the ray
};
inline Caustic tangential_caustic(int n) {
  Caustic c;
  auto det = [](double x, double y) {
    double pot, ax, ay, xx, yy, xy, yx;
    potdefmag(x, y, pot, ax, ay, xx, yy, xy, yx);
    return (1 - xx) * (1 - yy) - xy * yx;
  };
  for (int k = 0; k < n; ++k) {
    const double t = 2 * kPi * k / n, ct = std::cos(t), st = std::sin(t);
    double a = 0.5, b = 1.8;
    const double fa = det(a * ct, a * st);
    for (int it = 0; it < 80; ++it) {
      const double m = 0.5 * (a + b);
      if ((det(m * ct, m * st) > 0) == (fa > 0))
        a = m;
      else
        b = m;
    }
    const double r = 0.5 * (a + b);
    double pot, ax, ay, xx, yy, xy, yx;
    potdefmag(r * ct, r * st, pot, ax, ay, xx, yy, xy, yx);
    c.pts.push_back({r * ct - ax, r * st - ay});
  }
  return c;
}

// Sources by the caustic: each fold (midway between cusps) and each cusp moved along the
// caustic normal inside and outside by frac times the caustic's mean radius.
struct Src {
  std::string what;
  double u, v;
};
inline std::vector<Src> caustic_sources(const Caustic& c, double frac) {
  const int n = static_cast<int>(c.pts.size());
  double cu = 0, cv = 0;
  for (const auto& p : c.pts) {
    cu += p[0] / n;
    cv += p[1] / n;
  }
  double rmean = 0;
  for (const auto& p : c.pts) rmean += std::hypot(p[0] - cu, p[1] - cv) / n;
  // Cusps: local minima of the caustic's speed along the curve.
  std::vector<double> speed(n);
  for (int k = 0; k < n; ++k) {
    const auto& a = c.pts[(k + n - 1) % n];
    const auto& b = c.pts[(k + 1) % n];
    speed[k] = std::hypot(b[0] - a[0], b[1] - a[1]);
  }
  std::vector<int> cusps;
  for (int k = 0; k < n; ++k)
    if (speed[k] < speed[(k + n - 1) % n] && speed[k] <= speed[(k + 1) % n]) cusps.push_back(k);
  std::vector<Src> out;
  const double d = frac * rmean;
  for (size_t j = 0; j < cusps.size(); ++j) {
    const auto& p = c.pts[cusps[j]];
    // inside a cusp: towards the caustic's centre; outside: beyond the tip.
    const double ru = p[0] - cu, rv = p[1] - cv, rr = std::hypot(ru, rv);
    out.push_back({"cusp in " + std::to_string(j), p[0] - d * ru / rr, p[1] - d * rv / rr});
    out.push_back({"cusp out " + std::to_string(j), p[0] + d * ru / rr, p[1] + d * rv / rr});
    // fold midway (by ray index) to the next cusp
    const int k1 = cusps[j], k2 = cusps[(j + 1) % cusps.size()];
    const int km = (k1 + ((k2 - k1 + n) % n) / 2) % n;
    const auto& q = c.pts[km];
    const auto& a = c.pts[(km + n - 1) % n];
    const auto& b = c.pts[(km + 1) % n];
    double nu = -(b[1] - a[1]), nv = b[0] - a[0];
    const double nn = std::hypot(nu, nv);
    nu /= nn;
    nv /= nn;
    if (nu * (cu - q[0]) + nv * (cv - q[1]) < 0) {  // make the normal point inwards
      nu = -nu;
      nv = -nv;
    }
    out.push_back({"fold in " + std::to_string(j), q[0] + d * nu, q[1] + d * nv});
    out.push_back({"fold out " + std::to_string(j), q[0] - d * nu, q[1] - d * nv});
  }
  return out;
}

}  // namespace lensfix
