// Source maps: pixel images of a source's surface brightness (loadsrcmap, makesrcmap), lensed
// by the source class "srcmap".
#include "imageplane/srcmap.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "imageplane/finite_source.h"
#include "imageplane/images.h"
#include "io/arrayfile.h"
#include "io/outfile.h"
#include "io/qvmfile.h"
#include "numeric/interp.h"
#include "numeric/random.h"
#include "numeric/sort.h"
#include "shell/argcheck.h"
#include "shell/commands.h"
#include "shell/fatal.h"
#include "shell/settings.h"

SrcMapTable TWsmap;

BVec<SrcMap> smapvec(long lo, long hi) { return BVec<SrcMap>(lo, hi); }

void free_smapvec(BVec<SrcMap>& table, long, long) { table.clear(); }

void reset_srcmaps() {
  free_smapvec(TWsmap.thesmap, 1, TWsmap.Nsmap);
  TWsmap.Nsmap = 0;
}

double srcmap_flux(int k, double x, double y) {
  SrcMapTable& T = TWsmap;
  if (T.Nsmap <= 0) fatal("no srcmaps have been loaded");
  if (k < 1 || k > T.Nsmap) fatal("srcmap index out of bounds");
  const SrcMap& s = T.thesmap[k];
  if (s.nx <= 1 || s.ny <= 1) {
    warning("trying to compute with a srcmap that has not been loaded");
    return 0.0;
  }
  if (x < s.xlo || x > s.xhi || y < s.ylo || y > s.yhi) return 0.0;
  if (s.planes > 1) fatal("srcmap cannot yet handle data cubes");
  const double dx = (s.xhi - s.xlo) / (s.nx - 1), dy = (s.yhi - s.ylo) / (s.ny - 1);
  int i = static_cast<int>((x - s.xlo) / dx * 1.000001) + 1;
  int j = static_cast<int>((y - s.ylo) / dy * 1.000001) + 1;
  if (i >= s.nx) i = s.nx - 1;
  if (j >= s.ny) j = s.ny - 1;
  const double t = (x - s.xlo - (i - 1) * dx) / dx, u = (y - s.ylo - (j - 1) * dy) / dy;
  const Mat& M = s.map[0];
  return (1.0 - t) * (1.0 - u) * M[i][j] + t * (1.0 - u) * M[i + 1][j] + (1.0 - t) * u * M[i][j + 1] +
         t * u * M[i + 1][j + 1];
}

void proc_srcmap(int k, const std::string& file) {
  SrcMap& s = TWsmap.thesmap[k];
  const double dx = (s.xhi - s.xlo) / (s.nx - 1), dy = (s.yhi - s.ylo) / (s.ny - 1);
  // A radius of 0 would make the ray density infinite: at least half a pixel diagonal.
  const double rmin = 0.5 * std::hypot(dx, dy);
  for (int p = 1; p <= s.planes; ++p) {
    const Mat& M = s.map[static_cast<size_t>(p - 1)];
    // The isophotes are measured on the light, the positive pixels: with noise the
    // running sum over all pixels is not monotonic and its fractions mean nothing.
    Vec vals(1, static_cast<long>(s.nx) * s.ny);
    long npos = 0;
    double peak = -1e300;
    for (int i = 1; i <= s.nx; ++i)
      for (int j = 1; j <= s.ny; ++j) {
        peak = std::max(peak, M[i][j]);
        if (M[i][j] > 0.0) vals[++npos] = M[i][j];
      }
    if (npos == 0) fatal("srcmap " + file + " has no positive pixel");
    sort(npos, vals.data());
    Vec cum(1, npos);
    double c = 0.0;
    for (long n = 1; n <= npos; ++n) cum[n] = c += vals[n];
    // The level where the running sum reaches a fraction of the total; below the first
    // sum it is the faintest positive pixel (no extrapolation into the noise).
    auto level = [&](double frac) {
      const double target = frac * c;
      if (npos < 2 || target <= cum[1]) return vals[1];
      double out;
      return linint(cum, vals, static_cast<int>(npos), out, target);
    };
    const double l90 = level(0.1), l999 = level(0.001);
    double r90 = 0.0, r999 = 0.0;
    for (int i = 1; i <= s.nx; ++i) {
      const double x = setparm(s.nx, i, s.xlo, s.xhi);
      for (int j = 1; j <= s.ny; ++j) {
        const double y = setparm(s.ny, j, s.ylo, s.yhi);
        const double r = std::hypot(x, y);
        if (M[i][j] >= l90) r90 = std::max(r90, r);
        if (M[i][j] >= l999) r999 = std::max(r999, r);
      }
    }
    s.level90[p] = l90;
    s.level999[p] = l999;
    s.radius90[p] = std::max(r90, rmin);
    s.radius999[p] = std::max(r999, rmin);
    if (!quietflag && settings.verbose <= 1) {
      qprintf("srcmap, wavelength #%d:\n", p);
      qprintf("pixel level at peak:                  %e\n", peak);
      qprintf("pixel level of 90%%          isophote: %e\n", l90);
      qprintf("pixel level of 99.9%%        isophote: %e\n", l999);
      qprintf("circle circumscribing 90%%   isophote: %e\n", s.radius90[p]);
      qprintf("circle circumscribing 99.9%% isophote: %e\n", s.radius999[p]);
    }
  }
}

// ---------------------------------------------------------------------------------------
// loadsrcmap

namespace {

// The first two words of the next data line of a range file as numbers.
void read_range_pair(FILE* f, const std::string& path, const char* axis, double& lo, double& hi) {
  WordArray w;
  if (myread(f, w) == 0 || w.own_count() < 2)
    fatal(strformat("srcmap range file %s has no %s range (two numbers expected)", path.c_str(), axis));
  if (!parse_real(w[0], lo) || !parse_real(w[1], hi))
    fatal(strformat("srcmap range file %s: the %s range is not a pair of numbers", path.c_str(), axis));
}

}  // namespace

void loadsrcmap(const WordArray& words) {
  const int nw = words.own_count();
  const std::string infile = words[1], rangefile = words[3];
  const int type = words.int_value(2);
  check_file_type(type);
  const long index = nw > 4 ? words.integer(4) : 1;
  SrcMapTable& T = TWsmap;
  if (T.Nsmap == 0) {
    const long total = nw > 5 ? words.integer(5) : 1;
    if (total < 1 || total > 100000) fatal("the total number of source maps must be between 1 and 100000");
    T.thesmap = smapvec(1, total);
    T.Nsmap = static_cast<int>(total);
  } else if (nw > 5 && words.integer(5) != T.Nsmap) {
    fatal("you cannot change the total number of source maps once it is set");
  }
  if (index < 1 || index > T.Nsmap) fatal("in loadsrcmap, index is out of bounds");

  double xlo, xhi, ylo, yhi;
  {
    FileHandle f(QVMfopen(rangefile, "r", "could not open srcmap range file"));
    read_range_pair(f, rangefile, "x", xlo, xhi);
    read_range_pair(f, rangefile, "y", ylo, yhi);
  }
  int nx = 0, ny = 0;
  Mat pix;
  if (!read_array(infile, type, nx, ny, pix)) return;
  store_srcmap(static_cast<int>(index), std::move(pix), nx, ny, xlo, xhi, ylo, yhi, infile);
}

void store_srcmap(int k, Mat pixels, int nx, int ny, double xlo, double xhi, double ylo, double yhi,
                  const std::string& file) {
  if (k < 1 || k > TWsmap.Nsmap) fatal("in loadsrcmap, index is out of bounds");
  // Pixel spacings and the lookup need two pixels and an increasing range on each axis.
  if (nx < 2 || ny < 2)
    fatal(strformat("srcmap %s has %d x %d pixels (at least 2 per axis needed)", file.c_str(), nx, ny));
  if (!(xhi > xlo) || !(yhi > ylo))
    fatal(strformat("srcmap %s: its range must have hi > lo on each axis", file.c_str()));
  // A blank (NaN) or infinite pixel would make every ray that reads near it, and so the
  // images' fluxes and delays, NaN.
  for (int i = 1; i <= nx; ++i)
    for (int j = 1; j <= ny; ++j)
      if (!std::isfinite(pixels[i][j]))
        fatal(strformat("srcmap %s: pixel (%d, %d) is not a finite number", file.c_str(), i, j));
  SrcMap s;
  s.loaded = 1;
  s.planes = 1;
  s.nx = nx;
  s.ny = ny;
  s.xlo = xlo;
  s.xhi = xhi;
  s.ylo = ylo;
  s.yhi = yhi;
  s.map.push_back(std::move(pixels));
  for (Vec* v : {&s.level90, &s.radius90, &s.level999, &s.radius999}) v->reset(1, 1);
  TWsmap.thesmap[k] = std::move(s);
  proc_srcmap(k, file);
}

// ---------------------------------------------------------------------------------------
// makesrcmap

void makesrcmap(const WordArray& words) {
  const int nw = words.own_count();
  if (!checksteps(words[6], "x steps", 1, 0)) return;
  if (!checksteps(words[9], "y steps", 1, 0)) return;
  const std::string outname = words[1], rangename = words[3];
  const int outtype = words.int_value(2);
  check_file_type(outtype);
  const char* cmd = "makesrcmap";
  const double xlo = words.finite(4, cmd), xhi = words.finite(5, cmd);
  const double ylo = words.finite(7, cmd), yhi = words.finite(8, cmd);
  const int nx = words.signed_count(6, "number of steps"), ny = words.signed_count(9, "number of steps");
  const double noise = nw > 10 ? words.finite(10, cmd) : 0.0;
  const long nover_l = nw > 11 ? words.integer(11) : 1;
  if (nover_l < 1 || nover_l > 10000) {
    refuse("makesrcmap: Nover must be a number of samples from 1 to 10000");
    return;
  }
  const int nover = static_cast<int>(nover_l);
  // Oversampling spreads the samples over a pixel's width, which one step does not have.
  if (nover > 1 && (nx < 2 || ny < 2)) {
    refuse("makesrcmap: oversampling (Nover > 1) needs at least 2 steps on each axis");
    return;
  }
  qprintf("Computing source map.\n");
  const FinsrcShape shape = finsrc_shape(settings.isource);
  const double dx = nx > 1 ? (xhi - xlo) / (nx - 1) : 0.0, dy = ny > 1 ? (yhi - ylo) / (ny - 1) : 0.0;
  const bool add_noise = std::fabs(noise) >= 1.0e-6;
  RandomStream rng(settings.seed);
  Mat map(1, nx, 1, ny);
  for (int i = 1; i <= nx; ++i) {
    qprintf("Step %d/%d\n", i, nx);
    const double x = setparm(nx, i, xlo, xhi);
    for (int j = 1; j <= ny; ++j) {
      const double y = setparm(ny, j, ylo, yhi);
      double sum = 0.0;
      if (nover == 1) {
        sum = shape.flux(x, y);
      } else {
        for (int k = 1; k <= nover; ++k) {
          const double xs = x + ((k - 0.5) / nover - 0.5) * dx;
          for (int l = 1; l <= nover; ++l) sum += shape.flux(xs, y + ((l - 0.5) / nover - 0.5) * dy);
        }
      }
      map[i][j] = sum / (static_cast<double>(nover) * nover);
      // Noise is a switch: unit-sigma Gaussian noise whatever the value's size.
      if (add_noise) map[i][j] += gasdev(rng);
    }
  }
  if (add_noise) settings.seed = rng.seed;
  if (!write_array(outname, outtype, nx, ny, map)) return;
  WholeFile f(rangename, "could not open range file for writing", true);
  std::fprintf(f, "%e %e\n", xlo, xhi);
  std::fprintf(f, "%e %e\n", ylo, yhi);
  f.commit();
}

