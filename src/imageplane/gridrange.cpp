// Coordinates of the main grid: plain ranges from the grid settings (grid mode 1), or
// polar rays whose radial nodes bracket the critical curves (grid mode 2).
#include <algorithm>
#include <cmath>

#include "imageplane/grid.h"
#include "models/component.h"
#include "models/evaluator.h"
#include "numeric/constants.h"
#include "numeric/interp.h"
#include "numeric/roots.h"
#include "numeric/sort.h"
#include "shell/fatal.h"
#include "shell/settings.h"


namespace {

// One ray of the critical-curve grid: its angle and, for the outer (0) and inner (1)
// curve, the critical radius and the critical point with its source position.
struct CritRay {
  double theta = 0;
  double r[2] = {}, x[2] = {}, y[2] = {}, u[2] = {}, v[2] = {};
};

struct RaySearch {
  double x0 = 0, y0 = 0, rmin = 0, rmax = 0;
  int curves = 2;              // curves still sought
  bool reported_one = false;   // the note on dropping to one curve was printed
};

double detA_on_ray(double r, double t, double x0, double y0) {
  double phi, ax, ay, xx, yy, xy, yx;
  potdefmag(x0 - r * std::sin(t), y0 + r * std::cos(t), phi, ax, ay, xx, yy, xy, yx);
  return (1.0 - xx) * (1.0 - yy) - xy * yx;
}

// Finds the critical points on the ray at angle theta (degrees). False when det A shows
// no sign change along the ray.
bool gcrt_pnt(RaySearch& rs, double theta, CritRay& ray) {
  ray.theta = theta;
  const double t = theta * kPi / 180.0;
  auto f = [&](double r) { return detA_on_ray(r, t, rs.x0, rs.y0); };
  Vec xb1(1, 10), xb2(1, 10);
  int nb = 10;
  zbrak(f, rs.rmin, rs.rmax, 100, xb1, xb2, nb);
  if (nb < 1) return false;
  if (rs.curves > 1 && nb <= 1) {
    rs.curves = 1;
    if (!quietflag && !rs.reported_one) note("now looking for only 1 critical line.");
    rs.reported_one = true;
  }
  const double tol = 0.1 * settings.crittol;
  for (int c = 0; c < rs.curves; ++c) {
    const int k = c == 0 ? nb : 1;  // outer curve: last bracket; inner: first
    double r = zbrent(f, xb1[k], xb2[k], tol);
    r = zbrent(f, xb1[k], xb2[k], tol * r);
    ray.r[c] = r;
    ray.x[c] = rs.x0 - r * std::sin(t);
    ray.y[c] = rs.y0 + r * std::cos(t);
    double phi, ax, ay, xx, yy, xy, yx;
    potdefmag(ray.x[c], ray.y[c], phi, ax, ay, xx, yy, xy, yx);
    ray.u[c] = ray.x[c] - ax;
    ray.v[c] = ray.y[c] - ay;
  }
  return true;
}

}  // namespace

void setgridmode(int mode) {
  if (mode == 1) {
    TWgrid.grid_range = gridrng0;
  } else if (mode == 2) {
    TWgrid.grid_range = gridrngCRIT;
  } else {
    fatal("Unknown value of gridmode");
  }
  TWgrid.grid_mode = mode;
}

void gridrng0(int& N1, int& N2, Mat& c1, Mat& c2) {
  const Settings& s = settings;
  TWgrid.subgrid_anyway = false;
  if (s.gridcoords == 1) {
    if (s.ngrid1 <= 0 || s.ngrid2 <= 0) fatal("for cartesian grid, ngrid1 and ngrid2 must be positive");
  } else if (s.ngrid2 <= 0) {
    fatal("for polar grid, ngrid2 must be positive");
  }
  if (s.ngrid1 < 0 && s.gridlo1 <= 0) fatal("logarithmic radial steps need gridlo1 > 0");
  N1 = std::abs(s.ngrid1);
  N2 = s.ngrid2;
  c1.reset(1, N1, 1, N2);
  c2.reset(1, N1, 1, N2);
  for (int i = 1; i <= N1; ++i)
    for (int j = 1; j <= N2; ++j) {
      c1[i][j] = setparm(s.ngrid1, i, s.gridlo1, s.gridhi1) * s.rscale;
      c2[i][j] = setparm(s.ngrid2, j, s.gridlo2, s.gridhi2) * (s.gridcoords == 1 ? s.rscale : 1.0);
    }
  if (s.gridcoords != 1) {
    if (s.gridhi2 - s.gridlo2 == 360.0)
      for (int i = 1; i <= N1; ++i) c2[i][N2] = c2[i][1];
    if ((s.gridhi2 - s.gridlo2) / s.ngrid2 >= 180.0) fatal("grid has more than 180 deg per angular step; increase resolution");
  }
}

void gridrngCRIT(int& N1, int& N2, Mat& c1, Mat& c2) {
  const Settings& s = settings;
  if (s.gridcoords != 2) fatal("critical curve grid must be polar");
  if (s.ngrid1 <= 0 || s.ngrid2 <= 0) fatal("ngrid1 and ngrid2 must be positive");
  RaySearch rs;
  rs.rmin = s.gridlo1 * s.rscale;
  rs.rmax = s.gridhi1 * s.rscale;
  if (TWgal.NGALMAX > 0) {
    rs.x0 = TWgal.p[1][2];
    rs.y0 = TWgal.p[1][3];
  }
  if (!quietflag) note("looking for 2 critical curves.");

  std::vector<CritRay> rays;
  const int n = s.ngrid2 + 1;
  for (int k = 1; k <= n; ++k) {
    CritRay ray;
    if (gcrt_pnt(rs, setparm(n, k, s.gridlo2, s.gridhi2), ray)) rays.push_back(ray);
  }
  // Without rays that can form the grid, the main grid is made from the plain ranges and
  // subgridded as in grid mode 1.
  auto fall_back = [&](const char* why) {
    warning(strformat("%s; using the plain grid ranges", why));
    gridrng0(N1, N2, c1, c2);
    TWgrid.subgrid_anyway = true;
  };
  if (rays.empty()) return fall_back("no critical curve found along the grid rays");
  TWgrid.subgrid_anyway = false;

  // Subdivide where the caustic moves far between neighbouring rays.
  const size_t nr = rays.size();
  if (nr > 1) {
    double L[2] = {0, 0};
    bool usable[2] = {false, false};
    for (int c = 0; c < rs.curves; ++c) {
      double su = 0, sv = 0, sr = 0, far = 0;
      for (size_t k = 1; k < nr; ++k)
        L[c] += std::hypot(rays[k].u[c] - rays[k - 1].u[c], rays[k].v[c] - rays[k - 1].v[c]);
      L[c] /= static_cast<double>(nr);
      for (const auto& r : rays) {
        su += r.u[c];
        sv += r.v[c];
        sr += r.r[c];
      }
      su /= static_cast<double>(nr);
      sv /= static_cast<double>(nr);
      sr /= static_cast<double>(nr);
      for (const auto& r : rays) far = std::max(far, std::hypot(r.u[c] - su, r.v[c] - sv));
      // A mean step at rounding level is no scale; nor is the spread of a point-like caustic
      // (a circular lens) that only reflects the tolerance of the critical radii, about
      // 0.1 crittol r times the radial stretch of the map.
      usable[c] = L[c] > 1e-9 * (1.0 + far) && far > 10.0 * s.crittol * sr;
    }
    for (size_t k = 1; k < nr; ++k) {
      int steps = 1;
      for (int c = 0; c < rs.curves; ++c) {
        if (!usable[c]) continue;
        const double d = std::hypot(rays[k].u[c] - rays[k - 1].u[c], rays[k].v[c] - rays[k - 1].v[c]);
        steps = std::max(steps, static_cast<int>(d / L[c] * 1.000001) + 1);
      }
      for (int q = 1; q < steps; ++q) {
        const double f = static_cast<double>(q) / steps;
        CritRay ray;
        if (gcrt_pnt(rs, (1 - f) * rays[k - 1].theta + f * rays[k].theta, ray)) rays.push_back(ray);
      }
    }
  }
  // Rays in ascending angle.
  const long total = static_cast<long>(rays.size());
  Vec theta(1, total);
  for (long k = 1; k <= total; ++k) theta[k] = rays[static_cast<size_t>(k - 1)].theta;
  LVec order(1, total);
  indexx(total, theta, order);
  std::vector<const CritRay*> sorted;
  for (long k = 1; k <= total; ++k) sorted.push_back(&rays[static_cast<size_t>(order[k] - 1)]);
  // Over a full circle the last ray repeats the first. When one of the two end rays was
  // dropped for want of a critical point, the first ray kept is repeated after the last,
  // so that the rings still close.
  const bool full = s.gridhi2 - s.gridlo2 == 360.0;
  if (full && sorted.size() > 1 &&
      !(sorted.front()->theta == setparm(n, 1, s.gridlo2, s.gridhi2) &&
        sorted.back()->theta == setparm(n, n, s.gridlo2, s.gridhi2)))
    sorted.push_back(sorted.front());
  // Neighbouring rays 180 degrees or more apart (rays dropped between them) make no cells:
  // their rings would not enclose the centre.
  double widest = sorted.size() > 1 ? 0.0 : 360.0;
  for (size_t k = 1; k < sorted.size(); ++k) {
    double gap = sorted[k]->theta - sorted[k - 1]->theta;
    if (gap < 0) gap += 360.0;  // the first ray repeated after the last
    widest = std::max(widest, gap);
  }
  if (widest >= 180.0) return fall_back("critical points found on too few grid rays to close the grid");

  const double tp = 1.0 + s.crittol, tm = 1.0 - s.crittol;
  const int ng = s.ngrid1;
  const bool omit_core = s.omitcore > 1e-5;
  N2 = static_cast<int>(sorted.size());
  N1 = rs.curves == 1 ? 2 * ng : (omit_core ? 2 * ng : 3 * ng);
  c1.reset(1, N1, 1, N2);
  c2.reset(1, N1, 1, N2);
  for (int j = 1; j <= N2; ++j) {
    const CritRay& ray = *sorted[static_cast<size_t>(j - 1)];
    const double r1 = ray.r[0], r2 = ray.r[1];
    std::vector<std::pair<double, double>> runs;
    if (rs.curves == 1) {
      runs = {{rs.rmin, tm * r1}, {tp * r1, rs.rmax}};
    } else if (omit_core) {
      runs = {{tp * r2, tm * r1}, {tp * r1, rs.rmax}};
    } else {
      runs = {{rs.rmin, tm * r2}, {tp * r2, tm * r1}, {tp * r1, rs.rmax}};
    }
    int i = 1;
    for (const auto& run : runs)
      for (int k = 1; k <= ng; ++k, ++i) {
        c1[i][j] = setparm(ng, k, run.first, run.second);
        c2[i][j] = ray.theta;
      }
  }
  if (full && N2 > 1) {
    // The last ray is the first one again: repeat its nodes exactly so that they merge
    // (the two rays were solved apart, so their radii may differ by the tolerance).
    for (int i = 1; i <= N1; ++i) {
      c1[i][N2] = c1[i][1];
      c2[i][N2] = c2[i][1];
    }
  }
}
