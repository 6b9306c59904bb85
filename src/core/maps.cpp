// Lens-plane maps of the current model (plotkappa, plotshear, plotmu, plotpot, plottdel,
// plotmaps, the HFF maps, plotdef0/plotdef1) and the shared map-writing steps.
#include "core/maps.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "core/lens_model.h"
#include "imageplane/images.h"
#include "io/arrayfile.h"
#include "io/outfile.h"
#include "io/wcs.h"
#include "models/component.h"
#include "models/evaluator.h"
#include "numeric/constants.h"
#include "numeric/cosmology.h"
#include "numeric/interp.h"
#include "shell/argcheck.h"
#include "shell/commands.h"
#include "shell/fatal.h"
#include "shell/settings.h"

namespace {

// "Computing maps." and "Step i/N" before each x step (plotmaps and the Frontier Fields sets).
auto step_lines(const MapGrid& g) {
  qprintf("Computing maps.\n");
  return [n = g.cols()](int i, double) { qprintf("Step %d/%d\n", i, n); };
}

std::string file_name(const std::string& base, const char* suffix) { return base + suffix; }

// Diagnostic lines that go to standard output whatever the output stream is.
void diagnostic(const char* fmt, double a, double b, double c, double d, double e) {
  std::fflush(QVMstdout);
  std::printf(fmt, a, b, c, d, e);
  std::fflush(stdout);
}

WholeFile open_table(const std::string& path, const char* command) {
  return WholeFile(path, strformat("could not open %s output file", command));
}

}  // namespace

// ---- shared pieces ----

bool first_model_gridded() {
  require_model();
  return initmodel(TWref.ref[1], 1) <= 0;
}

bool read_map_grid(const WordArray& words, int first, const char* xname, const char* yname, bool allow_log,
                   MapGrid& g) {
  if (!checksteps(words[first + 2], xname, 1, allow_log ? 1 : 0)) return false;
  if (!checksteps(words[first + 5], yname, 1, allow_log ? 1 : 0)) return false;
  // A range end that is not a finite number would fill the maps and their headers with NaN.
  const std::string& command = words[0];
  g.xlo = words.finite(first, command);
  g.xhi = words.finite(first + 1, command);
  g.nx = words.signed_count(first + 2, "number of steps");
  g.ylo = words.finite(first + 3, command);
  g.yhi = words.finite(first + 4, command);
  g.ny = words.signed_count(first + 5, "number of steps");
  check_grid_points(command, g.nx, g.ny);
  if (log_range_refused(g.nx, g.xlo, g.xhi) || log_range_refused(g.ny, g.ylo, g.yhi)) {
    warn_log_range();
    return false;
  }
  return true;
}

void write_maps(const MapGrid& g, int type, std::initializer_list<std::pair<std::string, const Mat*>> maps) {
  // The reference goes back as WCSset left it also when a write ends in an error.
  struct Adapted {
    explicit Adapted(const MapGrid& g) { WCSprocess(g.nx, g.ny, g.xlo, g.xhi, g.ylo, g.yhi); }
    ~Adapted() { WCSreset(); }
  } adapted(g);
  for (const auto& m : maps) write_array(m.first, type, g.cols(), g.rows(), *m.second);
}

const char* map_extension(int type) { return type == kFitsFile ? "fits" : "dat"; }

// ---- plotkappa ----

void plotkappa(const WordArray& words) {
  require_model();
  MapGrid g;
  if (!read_map_grid(words, 3, "x steps", "y steps", true, g)) return;
  const int type = words.int_value(2);
  check_file_type(type);
  Mat kap = new_map(g);
  double sum = 0, sum2 = 0;
  walk_grid(g, "plotkappa", [&](int i, int j, double x, double y) {
    const double k = kappa_of(lens_at(x, y));
    kap[i][j] = k;
    sum += k;
    sum2 += k * k;
  });
  write_maps(g, type, {{words[1], &kap}});
  const double n = static_cast<double>(g.points());
  const double mean = sum / n;
  // Rounding can leave the variance of a flat map slightly below 0.
  const double var = std::max(0.0, sum2 / n - mean * mean);
  qprintf("average kappa: %f +/- %f\n", mean, std::sqrt(var));
}

// ---- plotshear ----

void plotshear(const WordArray& words) {
  require_model();
  MapGrid g;
  if (!read_map_grid(words, 3, "x steps", "y steps", true, g)) return;
  const int type = words.int_value(2);
  check_file_type(type);
  Mat kap = new_map(g), gam = new_map(g), gamc = new_map(g), gams = new_map(g), gamt = new_map(g), gamr = new_map(g);
  walk_grid(g, "plotshear", [&](int i, int j, double x, double y) {
    const Lens l = lens_at(x, y);
    const double gc = 0.5 * (l.xx - l.yy), gs = 0.5 * (l.xy + l.yx);
    // Polar components about the lens-plane origin.
    const double r2 = x * x + y * y;
    const double c = r2 > 0 ? (x * x - y * y) / r2 : 0.0;
    const double s = r2 > 0 ? 2.0 * x * y / r2 : 0.0;
    kap[i][j] = kappa_of(l);
    gam[i][j] = std::sqrt(gc * gc + gs * gs);
    gamc[i][j] = gc;
    gams[i][j] = gs;
    gamt[i][j] = -(c * gc + s * gs);
    gamr[i][j] = s * gc - c * gs;
  });
  const std::string& base = words[1];
  const std::string ext = map_extension(type);
  write_maps(g, type,
             {{base + "-kap." + ext, &kap},
              {base + "-gam." + ext, &gam},
              {base + "-gamc." + ext, &gamc},
              {base + "-gams." + ext, &gams},
              {base + "-gamt." + ext, &gamt},
              {base + "-gamr." + ext, &gamr}});
}

// ---- plotmu ----

void plotmu(const WordArray& words) {
  require_model();
  const int nw = words.own_count();
  MapGrid g;
  if (!read_map_grid(words, 3, "x steps", "y steps", true, g)) return;
  const int type = words.int_value(2);
  check_file_type(type);
  const bool absolute = nw > 9 && words.integer(9) == 1;
  Mat mu = new_map(g);
  walk_grid(g, "plotmu", [&](int i, int j, double x, double y) {
    const double m = mu_of(lens_at(x, y));
    mu[i][j] = absolute ? std::fabs(m) : m;
  });
  write_maps(g, type, {{words[1], &mu}});
}

// ---- plotpot ----

void plotpot(const WordArray& words) {
  if (!first_model_gridded()) return;
  if (words.own_count() < 9) {
    refuse_line(words);
    return;
  }
  MapGrid g;
  if (!read_map_grid(words, 3, "x steps", "y steps", true, g)) return;
  const int type = words.int_value(2);
  check_file_type(type);
  Mat pot = new_map(g);
  walk_grid(
      g, nullptr, [](int i, double x) { qprintf(" ix = %2d, x = %13.6e\n", i, x); },
      [&](int i, int j, double x, double y) { pot[i][j] = lens_at(x, y).pot; });
  write_maps(g, type, {{words[1], &pot}});
}

// ---- plottdel ----

void plottdel(const WordArray& words) {
  require_model();
  MapGrid g;
  if (!read_map_grid(words, 3, "x steps", "y steps", true, g)) return;
  if (settings.potflag == 0) fatal("cannot run plottdel with potflag=0");
  const double u = words.finite(1, "plottdel"), v = words.finite(2, "plottdel");
  const int type = words.int_value(10);
  check_file_type(type);
  if (settings.tscale == 1.0)
    note("time delays in units of tscale");
  else
    note("time delays in h^-1 days");
  const double factor = settings.tscale / settings.hval;

  // The earliest image sets the zero of the surface.
  double tau0 = 1e8;
  {
    int n = 0;
    Mat list;
    find_img(n, list, u, v);
    for (int k = 1; k <= n; ++k) {
      const double dx = list[k][1] - u, dy = list[k][2] - v;
      const double tau = (0.5 * (dx * dx + dy * dy) - list[k][4]) * factor;
      if (tau < tau0) tau0 = tau;
      diagnostic("QVM img %.0f %e %e %e %e\n", k, list[k][1], list[k][2], list[k][3], list[k][4]);
    }
    if (n == 0) warning("no images found; the time-delay surface is relative to 1e8");
  }
  if (LOS.on) warning("with several lens planes the surface is a time delay only at the images");

  const int saved_clumpmode = settings.clumpmode;
  settings.clumpmode = 1;  // the clump fields are always part of the surface
  qprintf("Computing time delay surface.\n");
  Mat tdel = new_map(g);
  walk_grid(g, nullptr, [&](int i, int j, double x, double y) {
    const double dx = x - u, dy = y - v;
    tdel[i][j] = (0.5 * (dx * dx + dy * dy) - lens_at(x, y).pot) * factor - tau0;
  });
  write_maps(g, type, {{words[9], &tdel}});
  settings.clumpmode = saved_clumpmode;
}

// ---- plotmaps ----

void plotmaps(const WordArray& words) {
  require_model();
  const int nw = words.own_count();
  MapGrid g;
  if (!read_map_grid(words, 2, "x steps", "y steps", false, g)) return;
  // Without a reference position the maps hold the lens itself.
  double x0 = 0, y0 = 0;
  Lens ref{0, 0, 0, 0, 0, 0, 0};
  if (nw >= 10) {
    x0 = words.finite(8, "plotmaps");
    y0 = words.finite(9, "plotmaps");
    ref = lens_at(x0, y0);
    diagnostic("QVM reference %e %e : %e %e %e\n", x0, y0, ref.pot, ref.ax, ref.ay);
  }
  Mat pot = new_map(g), defx = new_map(g), defy = new_map(g), xx = new_map(g), yy = new_map(g), xy = new_map(g),
      yx = new_map(g), mu = new_map(g);
  walk_grid(g, nullptr, step_lines(g), [&](int i, int j, double x, double y) {
    const Lens l = lens_at(x, y);
    pot[i][j] = l.pot - ref.pot - (x - x0) * ref.ax - (y - y0) * ref.ay;
    defx[i][j] = l.ax - ref.ax;
    defy[i][j] = l.ay - ref.ay;
    xx[i][j] = l.xx;
    yy[i][j] = l.yy;
    xy[i][j] = l.xy;
    yx[i][j] = l.yx;
    mu[i][j] = mu_of(l);
  });
  const std::string& b = words[1];
  write_maps(g, kFitsFile,
             {{file_name(b, "-pot.fits"), &pot},
              {file_name(b, "-defx.fits"), &defx},
              {file_name(b, "-defy.fits"), &defy},
              {file_name(b, "-xx.fits"), &xx},
              {file_name(b, "-yy.fits"), &yy},
              {file_name(b, "-xy.fits"), &xy},
              {file_name(b, "-yx.fits"), &yx},
              {file_name(b, "-mu.fits"), &mu}});
}

// ---- Hubble Frontier Fields map sets ----

namespace {

// Magnification for a model scaled by D (the distance ratio of the source), capped where
// the determinant vanishes.
inline double hff_magnification(const Lens& l, double D) {
  const double det = (1.0 - D * l.xx) * (1.0 - D * l.yy) - D * l.xy * D * l.yx;
  return std::fabs(det) < 1e-6 ? 1000000.0 : 1.0 / std::fabs(det);
}

// The maps that both Frontier Fields sets hold, unscaled: potential, deflection, convergence
// and shear amplitude (with gamma_s = phi_xy).
struct HffCommon {
  Mat psi, defx, defy, kap, gam;
  explicit HffCommon(const MapGrid& g)
      : psi(new_map(g)), defx(new_map(g)), defy(new_map(g)), kap(new_map(g)), gam(new_map(g)) {}
  void set(int i, int j, const Lens& l) {
    psi[i][j] = l.pot;
    defx[i][j] = l.ax;
    defy[i][j] = l.ay;
    kap[i][j] = kappa_of(l);
    gam[i][j] = std::hypot(0.5 * (l.xx - l.yy), l.xy);
  }
};

}  // namespace

void HFFmaps2d(const WordArray& words) {
  require_model();
  const Settings& s = settings;
  if (LOS.on) fatal("HFFmaps2d cannot be used with multiple lens planes");
  if (s.zref < 1000) fatal("HFFmaps2d needs models referenced to Dls/Ds = 1");
  // The distance ratios need both redshifts; without them they are 0/0.
  if (!(s.zlens > 0 && s.zsrc > 0)) fatal("HFFmaps2d needs positive zlens and zsrc");
  MapGrid g;
  if (!read_map_grid(words, 2, "x steps", "y steps", false, g)) return;
  const double zs[5] = {1, 2, 4, 9, s.zsrc};
  double D[5];
  for (int k = 0; k < 5; ++k) D[k] = PMdist(s.zlens, zs[k]) / PMdist(0, zs[k]);

  HffCommon m(g);
  Mat g1 = new_map(g), g2 = new_map(g);
  Mat mag[5];
  for (Mat& a : mag) a = new_map(g);
  walk_grid(g, nullptr, step_lines(g), [&](int i, int j, double x, double y) {
    const Lens l = lens_at(x, y);
    m.set(i, j, l);
    g1[i][j] = 0.5 * (l.xx - l.yy);
    g2[i][j] = l.xy;
    for (int k = 0; k < 5; ++k) mag[k][i][j] = hff_magnification(l, D[k]);
  });
  const std::string& b = words[1];
  write_maps(g, kFitsFile,
             {{file_name(b, "_psi.fits"), &m.psi},
              {file_name(b, "_x-arcsec-deflect.fits"), &m.defx},
              {file_name(b, "_y-arcsec-deflect.fits"), &m.defy},
              {file_name(b, "_kappa.fits"), &m.kap},
              {file_name(b, "_gamma1.fits"), &g1},
              {file_name(b, "_gamma2.fits"), &g2},
              {file_name(b, "_gamma.fits"), &m.gam},
              {file_name(b, "_z01-magnif.fits"), &mag[0]},
              {file_name(b, "_z02-magnif.fits"), &mag[1]},
              {file_name(b, "_z04-magnif.fits"), &mag[2]},
              {file_name(b, "_z09-magnif.fits"), &mag[3]},
              {file_name(b, "_zsrc-magnif.fits"), &mag[4]}});
}

void HFFmaps3d(const WordArray& words) {
  require_model();
  if (!LOS.on) fatal("HFFmaps3d should not be used with a 2d model");
  MapGrid g;
  if (!read_map_grid(words, 2, "x steps", "y steps", false, g)) return;
  qprintf("Rescaling model to zsrc = %f\n", settings.zsrc);
  calcLOSmatrices(TWref.ref[1].z, settings.zsrc);
  HffCommon m(g);
  Mat mag = new_map(g);
  walk_grid(g, nullptr, step_lines(g), [&](int i, int j, double x, double y) {
    const Lens l = lens_at(x, y);
    m.set(i, j, l);
    mag[i][j] = hff_magnification(l, 1.0);
  });
  const std::string& b = words[1];
  write_maps(g, kFitsFile,
             {{file_name(b, "-psi.fits"), &m.psi},
              {file_name(b, "-x-arcsec-deflect.fits"), &m.defx},
              {file_name(b, "-y-arcsec-deflect.fits"), &m.defy},
              {file_name(b, "-kappa.fits"), &m.kap},
              {file_name(b, "-gamma.fits"), &m.gam},
              {file_name(b, "-magnif.fits"), &mag}});
}

// ---- text tables ----

void plotdef0(const WordArray& words) {
  require_model();
  if (!checksteps(words[4], "r steps", 1, 1)) return;
  if (!checksteps(words[5], "theta steps", 1, 0)) return;
  const double rlo = words.finite(2, "plotdef0"), rhi = words.finite(3, "plotdef0");
  const int nr = words.signed_count(4, "number of steps"), nt = words.signed_count(5, "number of steps");
  if (log_range_refused(nr, rlo, rhi)) {
    warn_log_range();
    return;
  }
  WholeFile f = open_table(words[1], "plotdef0");
  qprintf("Writing deflection monopole to %s\n", words.c_str(1));
  const double x0 = getp(1, 2), y0 = getp(1, 3);
  for (int i = 1; i <= std::abs(nr); ++i) {
    const double r = setparm(nr, i, rlo, rhi);
    double sum = 0;
    for (int j = 1; j <= nt; ++j) {
      const double th = setparm(nt, j, 0.0, 360.0) * kPi / 180.0;
      const double c = std::cos(th), s = std::sin(th);
      const Lens l = lens_at(x0 + r * c, y0 + r * s);
      sum += l.ax * c + l.ay * s;
    }
    std::fprintf(f, "%13.6e %13.6e\n", r, sum / nt);
  }
  f.commit();
}

void plotdef1(const WordArray& words) {
  require_model();
  MapGrid g;
  if (!read_map_grid(words, 2, "x steps", "y steps", true, g)) return;
  WholeFile f = open_table(words[1], "plotdef1");
  qprintf("Writing lensing properties to %s\n", words.c_str(1));
  const Settings& s = settings;
  // A model referenced to Dls/Ds = 1 is scaled to the source redshift.
  double fac = 1.0;
  if (s.zref >= 1000 && s.zlens > 0 && s.zsrc > 0) {
    if (LOS.on) {
      print_labelled(QVMstdout, "NOTE", strformat("Recomputing LOS matrices for zsrc= %f", s.zsrc));
      calcLOSmatrices(TWref.ref[1].z, s.zsrc);
    } else {
      fac = PMdist(s.zlens, s.zsrc) / PMdist(0, s.zsrc);
      print_labelled(QVMstdout, "NOTE", strformat("Scaling results: zsrc,Dfac= %e %e", s.zsrc, fac));
    }
  }
  const std::string K = GetString("_COMMENT");
  const char* k = K.c_str();
  std::fprintf(f, "%e %e %e %e  %s x lo hi, y lo hi\n", g.xlo, g.xhi, g.ylo, g.yhi, k);
  std::fprintf(f, "%d %d  %s x steps, y steps\n", g.nx, g.ny, k);
  std::fprintf(f, "%s\n%s Columns:  x y pot defx defy xx yy xy yx mu\n%s\n", k, k, k);
  walk_grid(g, nullptr, [&](int, int, double x, double y) {
    Lens l = lens_at(x, y);
    for (double* v : {&l.pot, &l.ax, &l.ay, &l.xx, &l.yy, &l.xy, &l.yx}) *v *= fac;
    std::fprintf(f, "%15.8e %15.8e %15.8e %15.8e %15.8e %15.8e %15.8e %15.8e %15.8e %15.8e\n", x, y, l.pot, l.ax, l.ay,
                 l.xx, l.yy, l.xy, l.yx, mu_of(l));
  });
  f.commit();
}

void plotdef2(const WordArray& words) {
  require_model();
  if (!checksteps(words[4], "theta steps", 1, 0)) return;
  if (!checksteps(words[7], "r steps", 1, 1)) return;
  const double tlo = words.finite(2, "plotdef2"), thi = words.finite(3, "plotdef2");
  const double rlo = words.finite(5, "plotdef2"), rhi = words.finite(6, "plotdef2");
  const int nt = words.signed_count(4, "number of steps"), nr = words.signed_count(7, "number of steps");
  if (log_range_refused(nr, rlo, rhi)) {
    warn_log_range();
    return;
  }
  WholeFile f = open_table(words[1], "plotdef2");
  qprintf("Writing lensing properties to %s\n", words.c_str(1));
  const std::string K = GetString("_COMMENT");
  const char* k = K.c_str();
  std::fprintf(f, "%e %e %e %e  %s theta lo hi, r lo hi\n", tlo, thi, rlo, rhi, k);
  std::fprintf(f, "%d %d  %s theta steps, r steps\n", nt, nr, k);
  std::fprintf(f, "%s\n%s Columns:  th r pot defx defy xx yy xy yx\n%s\n", k, k, k);
  const double x0 = getp(1, 2), y0 = getp(1, 3);
  for (int i = 1; i <= nt; ++i) {
    const double th = setparm(nt, i, tlo, thi) * kPi / 180.0;
    for (int j = 1; j <= std::abs(nr); ++j) {
      const double r = setparm(nr, j, rlo, rhi);
      const Lens l = lens_at(x0 - r * std::sin(th), y0 + r * std::cos(th));
      std::fprintf(f, "%13.6e %13.6e %13.6e %13.6e %13.6e %13.6e %13.6e %13.6e %13.6e\n", th, r, l.pot, l.ax, l.ay,
                   l.xx, l.yy, l.xy, l.yx);
    }
  }
  f.commit();
}

// ---- WCSset ----

void WCSset(const WordArray& words) {
  const int nw = words.own_count();
  const bool report = !quietflag && settings.verbose <= 1;
  if (words[1] == "off") {
    WCSinfo.on = 0;
    if (report) qprintf("Turning off WCS info.\n");
    return;
  }
  if (nw < 4) {
    refuse_line(words);
    return;
  }
  // Read all four before anything changes: a word that is not a finite number would put
  // NaN into the header of every later map.
  const double refx = words.finite(1, "WCSset"), refy = words.finite(2, "WCSset");
  const double ra = words.finite(3, "WCSset"), dec = words.finite(4, "WCSset");
  WcsReference& w = WCSinfo;
  w.on = 1;
  w.refx = refx;
  w.refy = refy;
  w.ra = ra;
  w.dec = dec;
  w.m11 = 1;
  w.m12 = 0;
  w.m21 = 0;
  w.m22 = 1;
  if (report) qprintf("WCS: %.0f %.0f %f %f\n", w.refx, w.refy, w.ra, w.dec);
}

