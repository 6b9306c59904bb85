// Lensed images: surface-brightness maps, the velocity field of a rotating disk, convolution
// with a point-spread function, and image statistics.
#include "imageplane/sbmap.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "imageplane/finite_source.h"
#include "imageplane/images.h"
#include "imageplane/source_models.h"
#include "io/arrayfile.h"
#include "io/wcs.h"
#include "models/evaluator.h"
#include "models/kapmap.h"
#include "models/model_set.h"
#include "models/multiplane.h"
#include "numeric/constants.h"
#include "numeric/cosmology.h"
#include "shell/argcheck.h"
#include "shell/commands.h"
#include "shell/fatal.h"
#include "shell/settings.h"

namespace {

double sum_of(const Mat& a, int nx, int ny) {
  double s = 0.0;
  for (int i = 1; i <= nx; ++i)
    for (int j = 1; j <= ny; ++j) s += a[i][j];
  return s;
}

// The array-file type word i of a command (word 0 names the command).
int type_word(const WordArray& w, int i) { return w.finite_int(i, w[0]); }

// The image-plane grid of a lensed map from the words x lo, hi, # steps, y lo, hi, # steps
// starting at word first, and Nover from word nover (the step counts already checked).
SampleGrid read_sample_grid(const WordArray& w, int first, int nover) {
  SampleGrid g;
  g.xlo = w.finite(first, w[0]);
  g.xhi = w.finite(first + 1, w[0]);
  g.nx = w.signed_count(first + 2, "number of steps");
  g.ylo = w.finite(first + 3, w[0]);
  g.yhi = w.finite(first + 4, w[0]);
  g.ny = w.signed_count(first + 5, "number of steps");
  g.nover = w.signed_count(nover, "oversampling factor");
  return g;
}

// Flux of a lensed map: the pixel sum times the pixel area, which does not depend on the
// direction in which an axis runs.
double map_flux(const Mat& out, const SampleGrid& g) { return sum_of(out, g.nx, g.ny) * std::fabs(g.dx() * g.dy()); }

// Offset of an image of n pixels in a grid of length N.
inline int offset(int n, int N) { return (N - n) / 2; }

// Index of grid cell (i, j), 1-based, in row-major order with the second index fastest.
inline size_t cell(int i, int j, int N2) { return static_cast<size_t>(i - 1) * N2 + static_cast<size_t>(j - 1); }

void print_fluxes(double before, double after) { qprintf("Fluxes: old %e new %e\n", before, after); }

// Writes a lensed map with the world-coordinate reference adapted to its grid for the
// write, and given back afterwards.
void write_lensed_map(const std::string& path, int type, const SampleGrid& g, const Mat& out) {
  WCSprocess(g.nx, g.ny, g.xlo, g.xhi, g.ylo, g.yhi);
  write_array(path, type, g.nx, g.ny, out);
  WCSreset();
}

}  // namespace

void lens_to_source(double x, double y, double& u, double& v) {
  double pot, ax, ay, xx, yy, xy, yx;
  potdefmag(x, y, pot, ax, ay, xx, yy, xy, yx);
  u = x - ax;
  v = y - ay;
}

double SourceMapSampler::operator()(double u, double v) const {
  if (!(ulo <= u && u <= uhi && vlo <= v && v <= vhi)) return 0.0;
  // Cell indices stay within 1..n - 1, so that the cell's upper neighbours exist.
  int p = static_cast<int>((u - ulo) / du * 1.000001) + 1;
  int q = static_cast<int>((v - vlo) / dv * 1.000001) + 1;
  p = std::clamp(p, 1, nu - 1);
  q = std::clamp(q, 1, nv - 1);
  const double t = (u - ulo - (p - 1) * du) / du;
  const double s = (v - vlo - (q - 1) * dv) / dv;
  const Mat& M = *map;
  return (1 - t) * (1 - s) * M[p][q] + t * (1 - s) * M[p + 1][q] + (1 - t) * s * M[p][q + 1] + t * s * M[p + 1][q + 1];
}

// ---------------------------------------------------------------------------------------
// Convolution

int convolve_length(int n, char axis) {
  const int N = kapmap_fft_length(std::max(n, 1));
  if (N == 0) fatal(strformat("kappa array too large in %c direction", axis));
  return N;
}

std::vector<double> place_image(const Mat& a, int nx, int ny, int N1, int N2) {
  std::vector<double> g(static_cast<size_t>(N1) * N2, 0.0);
  const int ox = offset(nx, N1), oy = offset(ny, N2);
  for (int i = 1; i <= nx; ++i)
    for (int j = 1; j <= ny; ++j) g[cell(i + ox, j + oy, N2)] = a[i][j];
  return g;
}

Mat convolve_grids(std::vector<double>& image, std::vector<double>& psf, int nx, int ny, int N1, int N2) {
  // The spectra and the result keep their storage from call to call: a convolution of a
  // large grid then touches no fresh memory.
  static std::vector<double> spec1, spec2, result;
  doFT(N1, N2, image, spec1);
  doFT(N1, N2, psf, spec2);
  qprintf("Doing the convolution.\n");
  for (size_t k = 0; k + 1 < spec1.size(); k += 2) {
    const double a = spec1[k], b = spec1[k + 1], c = spec2[k], d = spec2[k + 1];
    spec1[k] = a * c - b * d;
    spec1[k + 1] = a * d + b * c;
  }
  doIFT(N1, N2, result, spec1);
  Mat out(1, nx, 1, ny);
  const int ox = offset(nx, N1), oy = offset(ny, N2);
  for (int i = 1; i <= nx; ++i)
    for (int j = 1; j <= ny; ++j) out[i][j] = result[cell(i + ox, j + oy, N2)];
  return out;
}

void convolve1(const WordArray& words) {
  const int type1 = type_word(words, 2), type2 = type_word(words, 4), outtype = type_word(words, 6);
  for (int t : {type1, type2, outtype}) check_file_type(t);
  int nx1 = 0, ny1 = 0, nx2 = 0, ny2 = 0;
  Mat a1, a2;
  if (!read_finite_array(words[1], type1, nx1, ny1, a1)) return;
  if (!read_finite_array(words[3], type2, nx2, ny2, a2)) return;
  const int N1 = convolve_length(std::max(nx1, nx2), 'x');
  const int N2 = convolve_length(std::max(ny1, ny2), 'y');

  // The point-spread function: its brightest pixel (the first strictly greater, from 0)
  // moved to the zero-lag cell (1, 1), divided by its sum.
  const std::vector<double> g2 = place_image(a2, nx2, ny2, N1, N2);
  int rmax = 1, cmax = 1;
  double best = 0.0, sum = 0.0;
  for (int i = 1; i <= N1; ++i)
    for (int j = 1; j <= N2; ++j) {
      const double v = g2[cell(i, j, N2)];
      sum += v;
      if (v > best) {
        best = v;
        rmax = i;
        cmax = j;
      }
    }
  // A function summing to 0 cannot be normalised.
  if (sum == 0.0 || !std::isfinite(sum))
    fatal(strformat("the point-spread function in %s sums to %g and cannot be normalised", words.c_str(3), sum));
  std::vector<double> psf(g2.size(), 0.0);
  for (int i = 1; i <= N1; ++i) {
    int r = i - rmax + 1;
    if (r < 1) r += N1;
    for (int j = 1; j <= N2; ++j) {
      int c = j - cmax + 1;
      if (c < 1) c += N2;
      psf[cell(r, c, N2)] = g2[cell(i, j, N2)] / sum;
    }
  }

  std::vector<double> g1 = place_image(a1, nx1, ny1, N1, N2);
  qprintf("Computing FFT of original maps.\n");
  const Mat out = convolve_grids(g1, psf, nx1, ny1, N1, N2);
  write_array(words[5], outtype, nx1, ny1, out);
  print_fluxes(sum_of(a1, nx1, ny1), sum_of(out, nx1, ny1));
}

// ---------------------------------------------------------------------------------------
// Statistics

void imgstats(const WordArray& words) {
  int nx = 0, ny = 0;
  Mat a;
  if (!read_finite_array(words[1], type_word(words, 2), nx, ny, a)) return;
  // Extremes start from the first pixel; the spread is taken about the mean and cannot
  // fall below 0.
  double lo = a[1][1], hi = a[1][1], sum = 0.0;
  for (int i = 1; i <= nx; ++i)
    for (int j = 1; j <= ny; ++j) {
      lo = std::min(lo, a[i][j]);
      hi = std::max(hi, a[i][j]);
      sum += a[i][j];
    }
  const double n = static_cast<double>(nx) * ny;
  const double mean = sum / n;
  double sd = 0.0, sd2 = 0.0;
  for (int i = 1; i <= nx; ++i)
    for (int j = 1; j <= ny; ++j) {
      const double d = a[i][j] - mean;
      sd += d;
      sd2 += d * d;
    }
  const double var = std::max(0.0, (sd2 - sd * sd / n) / n);
  qprintf("Results from imgstats:\n");
  qprintf("minimum value      = %e\n", lo);
  qprintf("maximum value      = %e\n", hi);
  qprintf("average value      = %e\n", mean);
  qprintf("standard deviation = %e\n", std::sqrt(var));
}

// ---------------------------------------------------------------------------------------
// Velocity field

void spider(const WordArray& words) {
  if (!checksteps(words[3], "x steps", 1, 0)) return;
  if (!checksteps(words[6], "y steps", 1, 0)) return;
  if (!checktype(words[8], "outtype")) return;
  check_file_type(type_word(words, 8));
  const char* cmd = "spider";
  const double xlo = words.finite(1, cmd), xhi = words.finite(2, cmd), ylo = words.finite(4, cmd),
               yhi = words.finite(5, cmd);
  const int nx = words.usable(3, "number of steps", 1, kCountLimit);
  const int ny = words.usable(6, "number of steps", 1, kCountLimit);
  check_grid_points(cmd, nx, ny);
  const double u0 = words.finite(9, cmd), v0 = words.finite(10, cmd);
  const double inc = words.finite(11, cmd) * kPi / 180.0, pa = words.finite(12, cmd) * kPi / 180.0;
  const double vcirc = words.finite(13, cmd), rmax = words.finite(14, cmd);
  const double ci = std::cos(inc), si = std::sin(inc), cp = std::cos(pa), sp = std::sin(pa);
  // cos i is never exactly 0 for i = 90 degrees in radians: an edge-on disk is tested
  // within rounding.
  if (std::fabs(ci) < 1e-12) fatal("spider diagram is not well defined for i=90");
  require_model();
  Mat map(1, nx, 1, ny);
  for (int i = 1; i <= nx; ++i) {
    if (!quietflag) qprintf("spider step %d/%d\n", i, nx);
    const double x = setparm(nx, i, xlo, xhi);
    for (int j = 1; j <= ny; ++j) {
      const double y = setparm(ny, j, ylo, yhi);
      double u, v;
      lens_to_source(x, y, u, v);
      const double du = u - u0, dv = v - v0;
      const double m = cp * dv - sp * du;
      const double w = -cp * du - sp * dv;
      const double r = std::sqrt(m * m + w * w / (ci * ci));
      const double den = std::sqrt(ci * ci * m * m + w * w);
      // The disk centre itself has no direction of motion: 0 there.
      map[i][j] = (r <= rmax && den > 0.0) ? vcirc * si * ci * m / den : 0.0;
    }
  }
  write_array(words[7], type_word(words, 8), nx, ny, map);
}

// ---------------------------------------------------------------------------------------
// Lensed maps

void SBmap1(const WordArray& words) {
  if (!checktype(words[8], "outtype")) return;
  check_file_type(type_word(words, 8));
  check_file_type(type_word(words, 2));
  if (!checksteps(words[11], "x steps", 2, 0)) return;
  if (!checksteps(words[14], "y steps", 2, 0)) return;
  if (!checkint2(words[15], "Nover", 1, 99999)) return;
  require_model();
  const std::string inname = words[1];
  SourceMapSampler src;
  src.ulo = words.finite(3, "SBmap1");
  src.uhi = words.finite(4, "SBmap1");
  src.vlo = words.finite(5, "SBmap1");
  src.vhi = words.finite(6, "SBmap1");
  const SampleGrid grid = read_sample_grid(words, 9, 15);
  const int intype = type_word(words, 2);
  // The map covers [u lo, u hi] x [v lo, v hi]: a range of zero width, or one given from hi
  // to lo, would hold no sample point (an empty map) and give a source flux of the wrong
  // sign.
  if (!(src.uhi > src.ulo) || !(src.vhi > src.vlo))
    fatal(strformat("SBmap1: the source-plane range of map %s (u %g to %g, v %g to %g) needs hi > lo on each axis",
                    inname.c_str(), src.ulo, src.uhi, src.vlo, src.vhi));

  Mat smap;
  if (!read_finite_array(inname, intype, src.nu, src.nv, smap)) return;
  // Interpolation needs two pixels along each axis.
  if (src.nu < 2 || src.nv < 2)
    fatal(strformat("source map %s has %d x %d pixels; SBmap1 needs at least 2 along each axis", inname.c_str(),
                    src.nu, src.nv));
  src.map = &smap;
  src.du = (src.uhi - src.ulo) / (src.nu - 1);
  src.dv = (src.vhi - src.vlo) / (src.nv - 1);
  const double srcflux = sum_of(smap, src.nu, src.nv) * src.du * src.dv;

  const Mat out = lensed_map(grid, src);
  const double imgflux = map_flux(out, grid);
  write_lensed_map(words[7], type_word(words, 8), grid, out);
  qprintf("Total source plane flux: %e\n", srcflux);
  qprintf("Total image  plane flux: %e\n", imgflux);
}

void SBmap2(const WordArray& words) {
  if (!checksteps(words[3], "x steps", 2, 0)) return;
  if (!checksteps(words[6], "y steps", 2, 0)) return;
  if (!checkint2(words[7], "Nover", 1, 99999)) return;
  if (!checktype(words[9], "outtype")) return;
  check_file_type(type_word(words, 9));
  if (TWsrc.Nsource <= 0) {
    warning("no sources specified in SBmap2");
    return;
  }
  require_model();
  const SampleGrid grid = read_sample_grid(words, 1, 7);
  const int outtype = type_word(words, 9);

  // Source 1 current again and the model-wide scale back at 1 when the command ends.
  struct Restore {
    ~Restore() {
      TWmod.scale = 1.0;
      if (TWsrc.Nsource >= 1) setfinsrc(1, 0, 0.0, 0.0);
    }
  } restore;

  const Settings& s = settings;
  if (s.zlens > 0 && s.zsrc >= 0 && s.zref >= 1000) {
    if (LOS.on) {
      rebuild_los_matrices(TWgal.z, s.zsrc);
      note(strformat("scaling to zsrc=%f, recomputing multiplane factors", s.zsrc), stdout);
    } else {
      // A source at z = 0 has no distance to scale by (Dls/Dos would be 0/0).
      if (!(s.zsrc > 0)) fatal("SBmap2 cannot scale the model to zsrc=0: set zsrc above 0");
      TWmod.scale = PMdist(s.zlens, s.zsrc) / PMdist(0.0, s.zsrc);
      note(strformat("scaling to zsrc=%f, Dls/Dos=%f", s.zsrc, TWmod.scale), stdout);
    }
    std::fflush(stdout);
  }

  // The extended sources that are on, each prepared once; their fluxes.
  std::vector<FinsrcShape> shapes;
  double srcflux = 0.0;
  for (int k = 1; k <= TWsrc.Nsource; ++k) {
    setfinsrc(k, 0, 0.0, 0.0);
    if (!TWcursrc.usefinsrc || !TWsrc.srcon[k]) continue;
    srcflux += TWsrc.srcparms[k][1];
    shapes.push_back(finsrc_shape(k));
  }

  qprintf("Computing surface brightness map.\n");
  const Mat out = lensed_map(grid, [&](double u, double v) {
    double b = 0.0;
    for (const FinsrcShape& sh : shapes) b += sh.flux(u, v);
    return b;
  });
  const double imgflux = map_flux(out, grid);
  write_lensed_map(words[8], outtype, grid, out);
  qprintf("Total source plane flux: %e\n", srcflux);
  qprintf("Total image  plane flux: %e\n", imgflux);
}

void convolve2(const WordArray& words) {
  const double xpix = words.finite(3, "convolve2"), ypix = words.finite(4, "convolve2");
  const int intype = type_word(words, 2), outtype = type_word(words, 6);
  check_file_type(intype);
  check_file_type(outtype);
  // The function is sampled at steps of xpixel and ypixel and weighted by the pixel area:
  // without a positive scale it is no function of the image's pixels.
  if (!(xpix > 0.0) || !(ypix > 0.0)) {
    refuse("convolve2 needs xpixel > 0 and ypixel > 0");
    return;
  }
  int nx = 0, ny = 0;
  Mat a;
  if (!read_finite_array(words[1], intype, nx, ny, a)) return;
  const int N1 = convolve_length(nx, 'x');
  const int N2 = convolve_length(ny, 'y');
  std::vector<double> img = place_image(a, nx, ny, N1, N2);
  qprintf("Computing FFT of original map.\n");

  qprintf("Setting up source map and computing its FFT.\n");
  // The current source centred on the zero-lag cell, negative lags wrapped to the end.
  setfinsrc(settings.isource, 0, 0.0, 0.0);
  const FinsrcShape shape = finsrc_shape(settings.isource);
  const double u0 = TWsrc.srcparms[settings.isource][2], v0 = TWsrc.srcparms[settings.isource][3];
  std::vector<double> psf(img.size(), 0.0);
  for (int j = 0; j < N1; ++j) {
    const double du = (j > N1 / 2 ? j - N1 : j) * xpix;
    for (int k = 0; k < N2; ++k) {
      const double dv = (k > N2 / 2 ? k - N2 : k) * ypix;
      psf[cell(j + 1, k + 1, N2)] = shape.flux(u0 + du, v0 + dv) * xpix * ypix;
    }
  }
  const Mat out = convolve_grids(img, psf, nx, ny, N1, N2);
  print_fluxes(sum_of(a, nx, ny), sum_of(out, nx, ny));
  write_array(words[5], outtype, nx, ny, out);
}

