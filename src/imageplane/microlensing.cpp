// Microlensing: magnification maps by inverse ray shooting, the map of a point mass with
// convergence and shear, light curves along straight tracks, and cuts through stored maps.
//
// Sources: inverse ray shooting as in Kayser, Refsdal & Stabell 1986, A&A 166, 36; the
// point mass with convergence and shear of Chang & Refsdal 1979, Nature 282, 561.
#include "imageplane/microlensing.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "imageplane/grid.h"
#include "imageplane/images.h"
#include "imageplane/sbmap.h"
#include "imageplane/source_models.h"
#include "io/arrayfile.h"
#include "io/outfile.h"
#include "io/qvmfile.h"
#include "models/component.h"
#include "models/evaluator.h"
#include "models/model_set.h"
#include "models/registry.h"
#include "models/substructure.h"
#include "numeric/constants.h"
#include "numeric/interp.h"
#include "shell/argcheck.h"
#include "shell/commands.h"
#include "shell/fatal.h"
#include "shell/settings.h"

RayShootState TWshoot;

namespace {

constexpr long kRaysPerStage = 10000000;  // rays between two progress lines
constexpr double kMagmapMaxPoints = 1e7;  // random points per pixel at most

// Pixel index of coordinate w in the window [lo, hi) of n pixels of size d; w is inside
// the window. Rounding can put a ray just below the upper edge one pixel past the last:
// it is reported and counted in the last pixel.
inline int pixel_index(double w, double lo, double hi, double d, int n, char axis) {
  int p = static_cast<int>((w - lo) / d) + 1;
  if (p > n) {
    std::printf("QVM weird %c %.12e %d : %.12e %.12e %d\n", axis, w, p, lo, hi, n);
    std::fflush(stdout);
    p = n;
  }
  return p;
}

// Adds a ray at (u, v) to the counts when it falls in the window.
inline void collect(RayShootState& s, double u, double v) {
  if (u < s.shoot_ulo || u >= s.shoot_uhi || v < s.shoot_vlo || v >= s.shoot_vhi) return;
  const int p = pixel_index(u, s.shoot_ulo, s.shoot_uhi, s.shoot_du, s.shoot_nu, 'u');
  const int q = pixel_index(v, s.shoot_vlo, s.shoot_vhi, s.shoot_dv, s.shoot_nv, 'v');
  s.shoot_dat[p][q] += 1.0;
}

// Advances the ray counter (a progress line every kRaysPerStage rays) and draws the
// barycentric weights of the next ray, uniform over a triangle.
inline void next_ray(RayShootState& s, ShootCounters& c, double& a, double& b, double& cc) {
  if (++c.counter >= kRaysPerStage) {
    c.counter = 0;
    ++c.step;
    if (!quietflag) qprintf("rayshoot: step %d of %.0f\n", c.step, 1e-7 * c.total);
  }
  a = ran2(s.shoot_rseed);
  b = ran2(s.shoot_rseed);
  if (a + b > 1.0) {
    a = 1.0 - a;
    b = 1.0 - b;
  }
  cc = 1.0 - a - b;
}

// Exact rays of one triangle deflected in blocks: the rays drawn in order, the point
// masses summed over the block, the other components through potdefmag.
void shoot_blocks(RayShootState& s, ShootCounters& c, long nray, double x1, double y1, double x2, double y2,
                  double x3, double y3) {
  constexpr int kBlock = 256;
  double px[kBlock], py[kBlock], ax[kBlock], ay[kBlock];
  for (long done = 0; done < nray;) {
    const int m = static_cast<int>(std::min<long>(kBlock, nray - done));
    for (int r = 0; r < m; ++r) {
      double a, b, cc;
      next_ray(s, c, a, b, cc);
      px[r] = a * x1 + b * x2 + cc * x3;
      py[r] = a * y1 + b * y2 + cc * y3;
    }
    s.field.deflect(m, px, py, ax, ay);
    if (s.field.others)
      for (int r = 0; r < m; ++r) {
        double pot, ox, oy, xx, yy, xy, yx;
        potdefmag(px[r], py[r], pot, ox, oy, xx, yy, xy, yx);
        ax[r] += ox;
        ay[r] += oy;
      }
    for (int r = 0; r < m; ++r) collect(s, px[r] - ax[r], py[r] - ay[r]);
    done += m;
  }
}

// Magnification value m written as log10(m/mu0), -9 where m/mu0 < 1e-9.
double relative_mag(double m, double mu0) { return m / mu0 >= 1e-9 ? std::log10(m / mu0) : -9.0; }

// The array-file type word i of a command (word 0 names the command).
int type_word(const WordArray& w, int i) { return w.finite_int(i, w[0]); }

// The map window of rayshoot and magmapP: x lo, hi, # steps (words 1-3), y lo, hi, # steps
// (words 4-6), the output file (7) and its type (8).
struct MapWindow {
  double xlo, xhi;
  int nx;
  double ylo, yhi;
  int ny;
  std::string file;
  int type;
};

// The names under which the step counts and the file type are checked.
struct WindowNames {
  const char* xsteps;
  const char* ysteps;
  const char* type;
};

// Reads the window, both step counts at least min_steps; false, after the checks' warning,
// when a count or the type is not usable.
bool read_map_window(const WordArray& words, const char* cmd, WindowNames names, int min_steps, MapWindow& m) {
  if (!checksteps(words[3], names.xsteps, min_steps, 0)) return false;
  if (!checksteps(words[6], names.ysteps, min_steps, 0)) return false;
  if (!checktype(words[8], names.type)) return false;
  m.xlo = words.finite(1, cmd);
  m.xhi = words.finite(2, cmd);
  m.ylo = words.finite(4, cmd);
  m.yhi = words.finite(5, cmd);
  m.nx = words.usable(3, "number of steps", min_steps, kCountLimit);
  m.ny = words.usable(6, "number of steps", min_steps, kCountLimit);
  check_grid_points(cmd, m.nx, m.ny);
  m.file = words[7];
  m.type = type_word(words, 8);
  check_file_type(m.type);
  return true;
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Point masses summed in blocks

bool PtmassField::build() {
  x.clear();
  y.clear();
  b2.clear();
  rows.clear();
  other_rows.clear();
  others = false;
  const ClumpState& cs = TWclump;
  bool clumps = cs.clump_list_n > 0 || cs.subsaveN > 0;
  for (long j = cs.clumpdat.lo(); j <= cs.clumpdat.hi() && !cs.clumpdat.empty(); ++j)
    if (cs.clumpdat[j].type > 0) clumps = true;
  if (LOS.on || TWmod.scale != 1.0 || TWmod.has_losmat || TWtrack.track_mode != 0 || ellipse != ellipse1 ||
      TWgal.npass_ > 0 || clumps)
    return false;
  for (int j = 1; j <= TWgal.NGALMAX; ++j) {
    if (!TWgal.active(j) || TWgal.cid(j) == CLS_NONE) continue;
    initgal(j);
    if (TWgal.cid(j) == CLS_ptmass && cur.ep == 0.0 && cur.gm == 0.0 && cur.gc == 0.0 && cur.gs == 0.0) {
      x.push_back(cur.xg);
      y.push_back(cur.yg);
      b2.push_back(cur.b * cur.b);
      rows.push_back(j);
    } else {
      other_rows.push_back(j);
    }
  }
  if (TWgal.NGALMAX >= 1) initgal(1);
  if (rows.empty()) other_rows.clear();
  others = !other_rows.empty();
  return !rows.empty();
}

namespace {

// The deflection factor b^2/r^2 of one star, 0 at its centre, written without a branch (so
// that the loops run on vectors): the divisor there is 1 and the factor 0.
inline double star_factor(double bb, double r2) {
  const double at_centre = static_cast<double>(r2 == 0.0);
  return bb / (r2 + at_centre) * (1.0 - at_centre);
}

}  // namespace

void PtmassField::deflect(int n, const double* px, const double* py, double* ax, double* ay) const {
  double* __restrict gx = ax;
  double* __restrict gy = ay;
  const double* __restrict qx = px;
  const double* __restrict qy = py;
  for (int r = 0; r < n; ++r) gx[r] = gy[r] = 0.0;
  const size_t m = rows.size();
  size_t k = 0;
  // Two stars per sweep over the rays, added one after the other (component order).
  for (; k + 1 < m; k += 2) {
    const double cx1 = x[k], cy1 = y[k], bb1 = b2[k];
    const double cx2 = x[k + 1], cy2 = y[k + 1], bb2 = b2[k + 1];
    for (int r = 0; r < n; ++r) {
      const double dx1 = qx[r] - cx1, dy1 = qy[r] - cy1;
      const double dx2 = qx[r] - cx2, dy2 = qy[r] - cy2;
      const double g1 = star_factor(bb1, dx1 * dx1 + dy1 * dy1);
      const double g2 = star_factor(bb2, dx2 * dx2 + dy2 * dy2);
      gx[r] = (gx[r] + g1 * dx1) + g2 * dx2;
      gy[r] = (gy[r] + g1 * dy1) + g2 * dy2;
    }
  }
  for (; k < m; ++k) {
    const double cx = x[k], cy = y[k], bb = b2[k];
    for (int r = 0; r < n; ++r) {
      const double dx = qx[r] - cx, dy = qy[r] - cy;
      const double g = star_factor(bb, dx * dx + dy * dy);
      gx[r] += g * dx;
      gy[r] += g * dy;
    }
  }
}

OtherComponentsOnly::OtherComponentsOnly(const PtmassField& f) {
  if (!f.others) return;
  full_ = std::move(TWgal);
  swapped_ = true;
  TWgal = GalaxyTable();
  const int n = static_cast<int>(f.other_rows.size());
  TWgal.allocate(n);
  for (int i = 1; i <= n; ++i) {
    const int j = f.other_rows[static_cast<size_t>(i - 1)];
    setID(i, full_.rows_[static_cast<size_t>(j)].name);
    for (int k = 1; k <= 10; ++k) setp(i, k, full_.p[j][k]);
    for (int k = 1; k <= 6; ++k) TWgal.pos[i][k] = full_.pos[j][k];
    TWgal.z[i] = full_.z[j];
    TWgal.refon[i] = full_.refon[j];
    TWgal.refflag[i] = full_.refflag[j];
  }
  TWgal.count = n;
}

OtherComponentsOnly::~OtherComponentsOnly() {
  if (!swapped_) return;
  TWgal = std::move(full_);
  cur = CurrentComponent();
  if (TWgal.NGALMAX >= 1) initgal(1);
}

// ---------------------------------------------------------------------------------------
// Ray shooting

void init_rayshoot(RayShootState& s, double ulo, double uhi, int nu, double vlo, double vhi, int nv, long seed) {
  s.shoot_nu = nu;
  s.shoot_nv = nv;
  s.shoot_du = (uhi - ulo) / (nu - 1);
  s.shoot_dv = (vhi - vlo) / (nv - 1);
  s.shoot_ulo = ulo - 0.5 * s.shoot_du;
  s.shoot_uhi = uhi + 0.5 * s.shoot_du;
  s.shoot_vlo = vlo - 0.5 * s.shoot_dv;
  s.shoot_vhi = vhi + 0.5 * s.shoot_dv;
  s.shoot_dat.reset(1, nu, 1, nv);
  s.shoot_dat.fill(0.0);
  s.shoot_tmp.reset(1, nu, 1, nv);
  s.shoot_tmp.fill(0.0);
  s.shoot_pseed.restart(seed);
  s.shoot_rseed.restart(seed);
}

void do_rayshoot(RayShootState& s, int shoot_rays, int interpolate, ShootCounters& c, double density) {
  s.use_blocks = shoot_rays && !interpolate && s.allow_blocks && s.field.build();
  std::optional<OtherComponentsOnly> off;
  if (s.use_blocks) off.emplace(s.field);
  const triangulateio& m = TWtri.out;
  const int na = m.numberofpointattributes;
  for (int t = 0; t < m.numberoftriangles; ++t) {
    double umin = 1e300, umax = -1e300, vmin = 1e300, vmax = -1e300;
    for (int k = 0; k < 3; ++k) {
      const size_t a = static_cast<size_t>(m.trianglelist[3 * static_cast<size_t>(t) + k]) * na;
      const double u = m.pointattributelist[a], v = m.pointattributelist[a + 1];
      umin = std::min(umin, u);
      umax = std::max(umax, u);
      vmin = std::min(vmin, v);
      vmax = std::max(vmax, v);
    }
    if (umin < s.shoot_uhi && umax > s.shoot_ulo && vmin < s.shoot_vhi && vmax > s.shoot_vlo)
      do_trishoot(t, s, shoot_rays, interpolate, c, density);
  }
}

void do_trishoot(int t, RayShootState& s, int shoot_rays, int interpolate, ShootCounters& c, double density) {
  const triangulateio& m = TWtri.out;
  const int na = m.numberofpointattributes;
  const size_t i1 = static_cast<size_t>(m.trianglelist[3 * static_cast<size_t>(t)]);
  const size_t i2 = static_cast<size_t>(m.trianglelist[3 * static_cast<size_t>(t) + 1]);
  const size_t i3 = static_cast<size_t>(m.trianglelist[3 * static_cast<size_t>(t) + 2]);
  const double x1 = m.pointlist[2 * i1], y1 = m.pointlist[2 * i1 + 1];
  const double x2 = m.pointlist[2 * i2], y2 = m.pointlist[2 * i2 + 1];
  const double x3 = m.pointlist[2 * i3], y3 = m.pointlist[2 * i3 + 1];
  const double area = 0.5 * std::fabs((x2 - x1) * (y3 - y1) - (x3 - x1) * (y2 - y1));
  const double k = poidev(density * area, s.shoot_pseed);
  if (!shoot_rays) {
    c.total += k;
    return;
  }
  const double u1 = m.pointattributelist[i1 * na], v1 = m.pointattributelist[i1 * na + 1];
  const double u2 = m.pointattributelist[i2 * na], v2 = m.pointattributelist[i2 * na + 1];
  const double u3 = m.pointattributelist[i3 * na], v3 = m.pointattributelist[i3 * na + 1];
  const long nray = static_cast<long>(k);
  if (s.use_blocks) {
    shoot_blocks(s, c, nray, x1, y1, x2, y2, x3, y3);
    return;
  }
  for (long r = 0; r < nray; ++r) {
    double a, b, cc;
    next_ray(s, c, a, b, cc);
    double u, v;
    if (interpolate) {
      u = a * u1 + b * u2 + cc * u3;
      v = a * v1 + b * v2 + cc * v3;
    } else {
      lens_to_source(a * x1 + b * x2 + cc * x3, a * y1 + b * y2 + cc * y3, u, v);
    }
    collect(s, u, v);
  }
}

void rayshoot(const WordArray& words) {
  const int nw = words.own_count();
  const char* cmd = "rayshoot";
  MapWindow m;
  if (!read_map_window(words, cmd, {"u steps", "v steps", "filetype"}, 2, m)) return;
  const auto& [ulo, uhi, nu, vlo, vhi, nv, file, type] = m;
  const double nray1 = words.finite(9, cmd);
  const long nwrite = nw > 10 ? words.finite_integer(10, cmd) : 1;
  const int interpolate = nw > 11 ? (words.finite_integer(11, cmd) != 0 ? 1 : 0) : 0;
  const double mu0 = nw > 12 ? words.finite(12, cmd) : 0.0;
  // A window without width, no rays or no stage would divide by zero.
  if (!(uhi > ulo) || !(vhi > vlo)) {
    refuse("rayshoot needs u hi > u lo and v hi > v lo");
    return;
  }
  if (!(nray1 > 0.0)) {
    refuse("rayshoot needs Nray1 > 0");
    return;
  }
  if (nwrite < 1) {
    refuse("rayshoot needs Nwrite >= 1");
    return;
  }
  require_model();
  // Rays are spread over the triangles of the grid: without one no ray is shot, and the
  // map written would claim a magnification of 0 everywhere.
  if (TWtri.out.numberoftriangles <= 0) {
    warning("rayshoot needs the grid of the model; none is built (set gridflag 1 and regrid)");
    return;
  }

  RayShootState& s = TWshoot;
  init_rayshoot(s, ulo, uhi, nu, vlo, vhi, nv, settings.shoot_pseed);
  s.shoot_rseed.restart(settings.shoot_rseed);
  const double density = nray1 / (s.shoot_du * s.shoot_dv);

  if (!quietflag) qprintf("rayshoot: Running lots of light rays...\n");
  ShootCounters c;
  do_rayshoot(s, 0, interpolate, c, density);
  qprintf("rayshoot: expected number of rays approx %e\n", c.total);

  for (long i = 1; i <= nwrite; ++i) {
    do_rayshoot(s, 1, interpolate, c, density / static_cast<double>(nwrite));
    const double scale = static_cast<double>(nwrite) / (static_cast<double>(i) * nray1);
    for (int p = 1; p <= nu; ++p)
      for (int q = 1; q <= nv; ++q) s.shoot_tmp[p][q] = scale * s.shoot_dat[p][q];
    if (mu0 >= 1e-4) {
      qprintf("Writing relative magnifications, log10(mu/%e)\n", mu0);
      for (int p = 1; p <= nu; ++p)
        for (int q = 1; q <= nv; ++q) s.shoot_tmp[p][q] = relative_mag(s.shoot_tmp[p][q], mu0);
    } else {
      qprintf("Writing absolute magnifications.\n");
    }
    if (!write_array(file, type, nu, nv, s.shoot_tmp)) break;
  }
  // The matrices live for one run.
  s.shoot_dat = Mat();
  s.shoot_tmp = Mat();
}

// ---------------------------------------------------------------------------------------
// Point-mass map

double ptmass_mag(double x, double y) {
  const double r2 = x * x + y * y;
  return (r2 + 2.0) / std::sqrt(r2 * (r2 + 4.0));
}

void magmapP(const WordArray& words) {
  const int nw = words.own_count();
  const char* cmd = "magmapP";
  MapWindow m;
  if (!read_map_window(words, cmd, {"nx", "ny", "outtype"}, 1, m)) return;
  const auto& [xlo, xhi, nx, ylo, yhi, ny, file, type] = m;
  long nover = 1;
  double epsilon = 0.0;
  if (nw >= 11) {
    if (!checkint2(words[9], "Nover", 1, 99999)) return;
    nover = words.integer(9);
    epsilon = words.finite(10, cmd);
  }
  // One pixel along an axis has no extent to sample.
  const double dx = nx > 1 ? (xhi - xlo) / (nx - 1) : 0.0;
  const double dy = ny > 1 ? (yhi - ylo) / (ny - 1) : 0.0;
  RandomStream r(settings.seed);  // a local copy: the setting does not advance
  Mat map(1, nx, 1, ny);
  for (int i = 1; i <= nx; ++i) {
    if (!quietflag) qprintf("Step %d/%d\n", i, nx);
    const double x = setparm(nx, i, xlo, xhi);
    for (int j = 1; j <= ny; ++j) {
      const double y = setparm(ny, j, ylo, yhi);
      if (nover == 1) {
        map[i][j] = ptmass_mag(x, y);
        continue;
      }
      double sum = 0.0, sum2 = 0.0, n = 0.0, err = 0.0;
      // Batches until the error of the mean is small enough; one batch when epsilon is
      // not positive. Next to the lens the variance of mu diverges: stop at 1e7 points.
      for (;;) {
        for (long k = 0; k < nover; ++k) {
          const double a = ran2(r);
          const double b = ran2(r);
          const double mu = ptmass_mag(x + (a - 0.5) * dx, y + (b - 0.5) * dy);
          sum += mu;
          sum2 += mu * mu;
        }
        n += static_cast<double>(nover);
        const double mean = sum / n;
        err = std::sqrt(std::max(0.0, sum2 / n - mean * mean) / n);
        if (epsilon <= 0.0 || !(err > epsilon)) break;
        if (n >= kMagmapMaxPoints) {
          warning(strformat("magmapP pixel %d %d stopped at 1e7 points, error %e", i, j, err));
          break;
        }
      }
      map[i][j] = sum / n;
      if (n > 10.0 * static_cast<double>(nover)) qprintf("ix,iy,Ntot,mu= %d %d %.0f %e\n", i, j, n, map[i][j]);
    }
  }
  write_array(file, type, nx, ny, map);
}

// ---------------------------------------------------------------------------------------
// Light curves

void lightcrv(const WordArray& words) {
  const int nw = words.own_count();
  if (!checksteps(words[6], "steps", 1, 0)) return;
  const char* cmd = "lightcrv";
  const double u1 = words.finite(2, cmd), v1 = words.finite(3, cmd), u2 = words.finite(4, cmd),
               v2 = words.finite(5, cmd);
  const int n = words.usable(6, "number of steps", 1, kCountLimit);
  double rlo = 0.0, rhi = 0.0;
  int nr = 1;
  if (nw >= 10) {
    if (!checksteps(words[9], "Rsrc steps", 1, 1)) return;
    rlo = words.finite(7, cmd);
    rhi = words.finite(8, cmd);
    nr = words.signed_count(9, "number of steps");
    if (log_range_refused(nr, rlo, rhi)) {
      warn_log_range();
      return;
    }
  }
  require_model();
  const std::string file = words[1];
  WholeFile fp(file, "could not open lightcrv output file");
  qprintf("Writing lightcrv to %s\n", file.c_str());

  const std::string mark = GetString("_COMMENT");
  std::fprintf(fp, "%s\n", mark.c_str());
  std::fprintf(fp, "%s  Rsrc  u  v  ell  magnification  x-centroid  y-centroid", mark.c_str());
  if (settings.verbose == 3) std::fprintf(fp, "  Nimg  [list of image x,y,mu]");
  std::fprintf(fp, "\n");

  const int passes = std::abs(nr);
  const long long total = static_cast<long long>(n) * passes;
  long long step = 0;
  for (int pass = 1; pass <= passes; ++pass) {
    // The source size is a label of the pass: the track is computed for the source as set.
    const double R = nw >= 10 ? setparm(nr, pass, rlo, rhi) : 0.0;
    std::fprintf(fp, "%s\n", mark.c_str());
    for (int i = 1; i <= n; ++i) {
      const double u = setparm(n, i, u1, u2), v = setparm(n, i, v1, v2);
      const double ell = std::hypot(u - u1, v - v1);
      int nimg = 0;
      Mat list;
      find_img(nimg, list, u, v);
      double mag = 0.0, xc = 0.0, yc = 0.0;
      for (int k = 1; k <= nimg; ++k) {
        const double w = std::fabs(list[k][3]);
        mag += w;
        xc += w * list[k][1];
        yc += w * list[k][2];
      }
      if (mag != 0.0) {
        xc /= mag;
        yc /= mag;
      } else {
        xc = yc = 0.0;
      }
      std::fprintf(fp, "%13.6e %13.6e %13.6e %13.6e %13.6e %13.6e %13.6e", R, u, v, ell, mag, xc, yc);
      if (settings.verbose == 3) {
        std::fprintf(fp, " %d", nimg);
        for (int k = 1; k <= nimg; ++k) std::fprintf(fp, " %13.6e %13.6e %13.6e", list[k][1], list[k][2], list[k][3]);
      }
      std::fprintf(fp, "\n");
      flush_record(fp);
      if (++step % 10 == 0 && !quietflag) qprintf("Step %lld/%lld\n", step, total);
    }
    if (settings.plotmode == 2 && n > 1) std::fprintf(fp, "\n");
  }
  fp.commit();
}

// ---------------------------------------------------------------------------------------
// Cuts through maps

void lcrv_from_map(int nx, int ny, const Mat& map, Mat& cut, double b, double theta) {
  const int count = std::max(nx, ny);
  cut.reset(1, count, 1, 3);
  const double cx = nx / 2.0 + 0.5, cy = ny / 2.0 + 0.5;
  const double s = std::sin(theta), c = std::cos(theta);
  for (int i = 1; i <= count; ++i) {
    const double d = i - (count / 2.0 + 0.5);
    const double X = cx - b * s + d * c;
    const double Y = cy + b * c + d * s;
    cut[i][1] = d;
    // Inside: 0 < int(X) < nx and 0 < int(Y) < ny, tested before any conversion.
    if (X >= 1.0 && X < nx && Y >= 1.0 && Y < ny) {
      const int p = static_cast<int>(X), q = static_cast<int>(Y);
      const double t = X - p, w = Y - q;
      cut[i][2] = (1 - t) * (1 - w) * map[p][q] + t * (1 - w) * map[p + 1][q] + (1 - t) * w * map[p][q + 1] +
                  t * w * map[p + 1][q + 1];
      cut[i][3] = 1.0;
    } else {
      cut[i][2] = 0.0;
      cut[i][3] = -1.0;
    }
  }
}

void map2lcrv(const WordArray& words) {
  const double pixscale = words.finite(3, "map2lcrv");
  const double b = words.finite(4, "map2lcrv"), theta = words.finite(5, "map2lcrv");
  const int type = type_word(words, 2);
  if (!(pixscale > 0.0)) {
    refuse("map2lcrv needs pixscale > 0");
    return;
  }
  int nx = 0, ny = 0;
  Mat map;
  if (!read_finite_array(words[1], type, nx, ny, map)) return;
  Mat cut;
  lcrv_from_map(nx, ny, map, cut, b / pixscale, theta * kPi / 180.0);
  WholeFile fp(words[6], "could not open output file", true);
  for (int i = 1; i <= static_cast<int>(cut.rhi()); ++i)
    if (cut[i][3] > 0.0) std::fprintf(fp, "%13.6e %13.6e\n", pixscale * cut[i][1], cut[i][2]);
  fp.commit();
}

void map2lstats(const WordArray& words) {
  const char* cmd = "map2lstats";
  const double pixscale = words.finite(3, cmd), blo = words.finite(4, cmd), bhi = words.finite(5, cmd);
  const double nbw = words.finite(6, cmd), ntw = words.finite(7, cmd);  // counts given as numbers, truncated
  const double threshold = words.finite(8, cmd);
  const std::string base = words[9];
  const int intype = type_word(words, 2), outtype = type_word(words, 10);
  check_file_type(intype);
  check_file_type(outtype);
  if (!(pixscale > 0.0)) {
    refuse("map2lstats needs pixscale > 0");
    return;
  }
  // The angles run over 2 pi (l - 1)/(#theta - 1): at least two of them.
  if (!(nbw >= 1.0 && nbw < 1e6) || !(ntw >= 2.0 && ntw < 1e6)) {
    refuse("map2lstats needs #b >= 1 and #theta >= 2");
    return;
  }
  const int nb = static_cast<int>(nbw), nt = static_cast<int>(ntw);
  int nx = 0, ny = 0;
  Mat map;
  if (!read_finite_array(words[1], intype, nx, ny, map)) return;

  Mat vmax(1, nb, 1, nt), dur(1, nb, 1, nt), integ(1, nb, 1, nt);
  Mat cut;
  for (int k = 1; k <= nb; ++k) {
    const double b = setparm(nb, k, blo, bhi);
    for (int l = 1; l <= nt; ++l) {
      const double theta = 2.0 * kPi * (l - 1) / static_cast<double>(nt - 1);
      lcrv_from_map(nx, ny, map, cut, b / pixscale, theta);
      double gmax = 0.0, d = 0.0, sum = 0.0;
      for (int i = 1; i <= static_cast<int>(cut.rhi()); ++i) {
        const double g = cut[i][3] > 0.0 ? std::fabs(cut[i][2]) : 0.0;
        gmax = std::max(gmax, g);
        if (g > threshold) {
          d += pixscale;
          sum += pixscale * g;
        }
      }
      vmax[k][l] = gmax;
      dur[k][l] = d;
      integ[k][l] = sum;
    }
  }

  const char* names[3] = {"max", "dur", "int"};
  const Mat* tables[3] = {&vmax, &dur, &integ};
  for (int m = 0; m < 3; ++m) {
    if (outtype == kFitsFile) {
      write_array(strformat("%s-%s.fits", base.c_str(), names[m]), kFitsFile, nb, nt, *tables[m]);
      continue;
    }
    // For every b the values in ascending order: line l holds the fraction of angles at or
    // above the l-th value.
    std::vector<std::vector<double>> sorted(static_cast<size_t>(nb));
    for (int k = 1; k <= nb; ++k) {
      auto& col = sorted[static_cast<size_t>(k - 1)];
      for (int l = 1; l <= nt; ++l) col.push_back((*tables[m])[k][l]);
      std::sort(col.begin(), col.end());
    }
    const std::string path = strformat("%s-%s.dat", base.c_str(), names[m]);
    WholeFile fp(path, "could not open output file", true);
    for (int l = 1; l <= nt; ++l) {
      std::fprintf(fp, "%e", 1.0 - (l - 1) / static_cast<double>(nt));
      for (int k = 1; k <= nb; ++k) std::fprintf(fp, " %e", sorted[static_cast<size_t>(k - 1)][static_cast<size_t>(l - 1)]);
      std::fprintf(fp, "\n");
    }
    fp.commit();
  }
}

// ---------------------------------------------------------------------------------------
// Older ray shooter and the magnification distribution

void rayshootOLD(const WordArray& words) {
  SetGlob();
  const int nw = words.own_count();
  if (nw < 3) {
    if (!quietflag) qprintf("rayshootOLD <filename> <filetype> [mag0]\n");
    return;
  }
  const std::string file = words[1];
  const int type = type_word(words, 2);
  check_file_type(type);
  const double mag0 = nw > 3 ? words.finite(3, "rayshootOLD") : 0.0;
  if (!quietflag) {
    qprintf("Enter the rectangle of rays in the image plane, in the form\n");
    qprintf("<x lo> <hi> <y lo> <hi> <number of rays>:\n");
  }
  WordArray g;
  if (myread(QVMstdin, g) == 0 || g.own_count() < 5) fatal("too few entries for image plane grid in rayshootOLD");
  if (!quietflag) {
    qprintf("Enter the source plane pixels, in the form\n");
    qprintf("<u lo> <hi> <# steps> <v lo> <hi> <# steps>:\n");
  }
  WordArray sp;
  if (myread(QVMstdin, sp) == 0 || sp.own_count() < 6) fatal("too few entries for source plane grid in rayshootOLD");
  if (!checkint2(g[4], "nray", 100, 99999)) return;
  if (!checksteps(sp[2], "u steps", 2, 0) || !checksteps(sp[5], "v steps", 2, 0)) return;
  if (!checktype(words[2], "filetype")) return;
  const char* cmd = "rayshootOLD";
  const double xlo = g.finite(0, cmd), xhi = g.finite(1, cmd), ylo = g.finite(2, cmd), yhi = g.finite(3, cmd);
  const long nray = g.integer(4);
  const double ulo = sp.finite(0, cmd), uhi = sp.finite(1, cmd), vlo = sp.finite(3, cmd), vhi = sp.finite(4, cmd);
  const int nu = static_cast<int>(usable_integer(cmd, sp[2], "number of steps", 2, kCountLimit));
  const int nv = static_cast<int>(usable_integer(cmd, sp[5], "number of steps", 2, kCountLimit));
  check_grid_points(cmd, nu, nv);
  const double du = (uhi - ulo) / (nu - 1), dv = (vhi - vlo) / (nv - 1);
  if (!(du > 0.0) || !(dv > 0.0)) {
    refuse("rayshootOLD needs u hi > u lo and v hi > v lo");
    return;
  }
  require_model();
  RandomStream r(settings.seed);
  Mat mag(1, nu, 1, nv);
  mag.fill(0.0);
  const long report = std::max(1L, nray / 20);
  for (long i = 1; i <= nray; ++i) {
    if (i % report == 0 && !quietflag) qprintf("Working on ray %ld/%ld\n", i, nray);
    const double x = xlo + (xhi - xlo) * ran2(r);
    const double y = ylo + (yhi - ylo) * ran2(r);
    double u, v;
    lens_to_source(x, y, u, v);
    const double fp = std::floor((u - ulo) / du + 0.5) + 1.0, fq = std::floor((v - vlo) / dv + 0.5) + 1.0;
    if (fp >= 1.0 && fp <= nu && fq >= 1.0 && fq <= nv) mag[static_cast<int>(fp)][static_cast<int>(fq)] += 1.0;
  }
  const double scale = (xhi - xlo) * (yhi - ylo) / (du * dv * static_cast<double>(nray));
  for (int p = 1; p <= nu; ++p)
    for (int q = 1; q <= nv; ++q) {
      mag[p][q] *= scale;
      if (mag0 > 1e-4) mag[p][q] = relative_mag(mag[p][q], mag0);
    }
  write_array(file, type, nu, nv, mag);
}

void magdist2(const WordArray& words) {
  SetGlob();
  if (words.own_count() < 5) {
    if (!quietflag) qprintf("magdist2 <outname> <delta lo> <hi> <# steps>\n");
    return;
  }
  if (!checksteps(words[4], "delta steps", 1, 1)) return;
  const double dlo = words.finite(2, "magdist2"), dhi = words.finite(3, "magdist2");
  const int nd = words.signed_count(4, "number of steps");
  if (log_range_refused(nd, dlo, dhi)) {
    warn_log_range();
    return;
  }
  WordArray w;
  if (myread(QVMstdin, w) == 0 || w.own_count() < 6) fatal("in magdist2, too few specifications for the mag file");
  int nx = 0, ny = 0;
  Mat map;
  const double ulo = w.finite(2, "magdist2"), uhi = w.finite(3, "magdist2");
  const double vlo = w.finite(4, "magdist2"), vhi = w.finite(5, "magdist2");
  // The pixels are only compared with the thresholds (-inf or NaN counts nowhere), so the
  // map is read as it is.
  if (!read_array(w[0], w.finite_int(1, "magdist2"), nx, ny, map)) return;
  if (nx < 2 || ny < 2) fatal("magnification map " + w[0] + " needs at least 2 pixels along each axis");
  const double pixarea = std::fabs((uhi - ulo) / (nx - 1) * (vhi - vlo) / (ny - 1));

  const int n = std::abs(nd);
  std::vector<double> delta(static_cast<size_t>(n) + 2), amp(delta.size()), deamp(delta.size());
  for (int i = 1; i <= n; ++i) {
    const double d = setparm(nd, i, dlo, dhi);
    double na = 0.0, nd2 = 0.0;
    for (int p = 1; p <= nx; ++p)
      for (int q = 1; q <= ny; ++q) {
        const double m = map[p][q];
        if (m <= -8.9) continue;  // pixels that received nothing
        if (m > d) na += 1.0;
        if (m < -d) nd2 += 1.0;
      }
    delta[static_cast<size_t>(i)] = d;
    amp[static_cast<size_t>(i)] = na * pixarea;
    deamp[static_cast<size_t>(i)] = nd2 * pixarea;
  }
  auto deriv = [&](const std::vector<double>& s, int i) {
    if (i == 1 || i == n) return 0.0;
    const size_t k = static_cast<size_t>(i);
    return (s[k + 1] - s[k - 1]) / (delta[k + 1] - delta[k - 1]);
  };
  WholeFile fp(words[1], "could not open output file in magdist2", true);
  const std::string mark = GetString("_COMMENT");
  std::fprintf(fp, "%s delta  dsigma/ddelta(amp)  sigma(>delta)(amp)  dsigma/ddelta(deamp)  sigma(>delta)(deamp)\n",
               mark.c_str());
  for (int i = 1; i <= n; ++i) {
    const size_t k = static_cast<size_t>(i);
    std::fprintf(fp, "%13.6e %13.6e %13.6e %13.6e %13.6e\n", delta[k], deriv(amp, i), amp[k], deriv(deamp, i),
                 deamp[k]);
  }
  fp.commit();
}

double sersic_Reff(double x, double n) { return src_sersic_Rfunc(x, n, 0.5); }
