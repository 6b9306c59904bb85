// The small-grid cache of the clump field around observed images.
#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "fit/fit_data.h"
#include "io/outfile.h"
#include "io/qvmfile.h"
#include "models/component.h"
#include "models/evaluator.h"
#include "numeric/interp.h"
#include "shell/commands.h"
#include "shell/fatal.h"
#include "shell/settings.h"
#include "sim/clumps.h"

namespace {

// Fills the six layers of one grid from the current trees.
void fill_grid(SubsaveGrid& g, FILE* out) {
  ClumpState& cs = TWclump;
  for (int v = 1; v <= g.nx; ++v)
    for (int w = 1; w <= g.ny; ++w) {
      const double x = setparm(g.nx, v, g.xlo, g.xhi), y = setparm(g.ny, w, g.ylo, g.yhi);
      if (out) std::fprintf(out, "%13.6e %13.6e\n", x, y);
      double sum[7] = {};
      for (long j = 1; j <= cs.clumpdat.hi(); ++j) {
        const ClumpPop& pop = cs.clumpdat[j];
        if (pop.type <= 0) continue;
        DerivVector d;
        TreeCalc(pop.root.get(), d, x, y);
        for (int q = 1; q <= 6; ++q) sum[q] += d[q];
      }
      for (int q = 1; q <= 6; ++q) g.tab[q][v][w] = sum[q];
    }
}

}  // namespace

void subsave_build(const Mat& images, int n, const double lims[4], int nx, int ny, FILE* out, bool silent) {
  ClumpState& cs = TWclump;
  cs.subsavedat.reset(1, n);
  cs.subsave_img = images;
  for (int k = 0; k < 4; ++k) cs.subsave_lim[k] = lims[k];
  cs.subsave_nx = nx;
  cs.subsave_ny = ny;
  for (int k = 1; k <= n; ++k) {
    const double x0 = images[k][1], y0 = images[k][2];
    if (!silent) qprintf(" %3d. %13.6e %13.6e\n", k, x0, y0);
    SubsaveGrid& g = cs.subsavedat[k];
    g.on = 1;
    g.nx = nx;
    g.ny = ny;
    g.xlo = x0 + lims[0];
    g.xhi = x0 + lims[1];
    g.ylo = y0 + lims[2];
    g.yhi = y0 + lims[3];
    g.xstep = (g.xhi - g.xlo) / (nx - 1);
    g.ystep = (g.yhi - g.ylo) / (ny - 1);
    g.tab.reset(1, 6, 1, nx, 1, ny);
    for (long j = 1; j <= cs.clumpdat.hi() && g.on; ++j) {
      const ClumpPop& pop = cs.clumpdat[j];
      if (pop.type <= 0 || !pop.root) continue;
      const int r = TreeCheckBox(g.xlo, g.xhi, g.ylo, g.yhi, *pop.root);
      if (r == 1) {
        if (!silent) qprintf("Shrinking small grid to avoid clump(s): x %e %e y %e %e\n", g.xlo, g.xhi, g.ylo, g.yhi);
        g.xstep = (g.xhi - g.xlo) / (nx - 1);
        g.ystep = (g.yhi - g.ylo) / (ny - 1);
      } else if (r == -1) {
        if (!silent) qprintf("A clump overlaps the image, so turning small grid off.\n");
        g.on = 0;
      }
    }
  }
  for (int k = 1; k <= n; ++k) {
    SubsaveGrid& g = cs.subsavedat[k];
    if (!g.on) continue;
    if (out) std::fprintf(out, "\n# small grid #%d\n", k);
    fill_grid(g, out);
  }
  cs.subsaveN = n;
}

void subsave_rebuild() {
  ClumpState& cs = TWclump;
  if (cs.subsaveN <= 0) return;
  const Mat images = cs.subsave_img;
  const double lims[4] = {cs.subsave_lim[0], cs.subsave_lim[1], cs.subsave_lim[2], cs.subsave_lim[3]};
  subsave_build(images, cs.subsaveN, lims, cs.subsave_nx, cs.subsave_ny, nullptr, true);
}

void subsave_free() {
  ClumpState& cs = TWclump;
  cs.subsavedat.clear();
  cs.subsave_img.clear();
  cs.subsaveN = 0;
}

void subsave_test(FILE* out, int npts) {
  ClumpState& cs = TWclump;
  RandomStream rs(settings.seed);
  struct Point {
    double x, y, v[7];
  };
  std::vector<Point> pts;
  for (int k = 1; k <= cs.subsaveN; ++k) {
    const SubsaveGrid& g = cs.subsavedat[k];
    for (int i = 0; i < npts; ++i) {
      Point p{};
      p.x = g.xlo + ran2(rs) * (g.xhi - g.xlo);
      p.y = g.ylo + ran2(rs) * (g.yhi - g.ylo);
      pts.push_back(p);
    }
  }
  for (Point& p : pts) potdefmag(p.x, p.y, p.v[0], p.v[1], p.v[2], p.v[3], p.v[4], p.v[5], p.v[6]);
  const int saved = cs.subsaveN;
  cs.subsaveN = 0;
  for (const Point& p : pts) {
    double f[7];
    potdefmag(p.x, p.y, f[0], f[1], f[2], f[3], f[4], f[5], f[6]);
    std::fprintf(out, "%13.6e %13.6e ", p.x, p.y);
    for (int q = 0; q < 6; ++q) std::fprintf(out, " %13.6e", p.v[q] - f[q]);
    std::fprintf(out, "\n");
  }
  cs.subsaveN = saved;
}

// The observed image positions that the cache is built around, [1..n][1..2], source by
// source and within a source in data order; returns n.
int subsave_images(Mat& images) {
  images.clear();
  const ObservedData& ob = TSobs;
  int n = 0;
  for (int i = 1; i <= ob.Nsrcobs && i <= ob.srcobs.hi(); ++i) n += std::max(0, ob.srcobs[i].nimg);
  if (n <= 0) return 0;
  images.reset(1, n, 1, 2);
  int k = 0;
  for (int i = 1; i <= ob.Nsrcobs && i <= ob.srcobs.hi(); ++i) {
    const SrcData& s = ob.srcobs[i];
    for (int j = 1; j <= s.nimg; ++j) {
      ++k;
      images[k][1] = s.x[j];
      images[k][2] = s.y[j];
    }
  }
  return n;
}

void subsave(const WordArray& words) {
  SetGlob();
  const int n = words.own_count();
  const std::string what = words[1];
  ClumpState& cs = TWclump;
  if (what == "on" && n >= 8) {
    if (cs.subsaveN > 0) {
      warning("subsave already on -- turn it off before changing it");
      return;
    }
    const int nx = words.signed_count(4, "number of grid points"), ny = words.signed_count(7, "number of grid points");
    if (nx < 2 || ny < 2) {
      warning("subsave needs at least 2 grid points in x and in y; subsave stays off");
      return;
    }
    const double lim[4] = {words.finite(2, words[0]), words.finite(3, words[0]), words.finite(5, words[0]), words.finite(6, words[0])};
    WholeFile out;
    if (n > 8) out = WholeFile(words[8], "could not open subsave output file", true);
    qprintf("Turning on subsave.\n");
    qprintf("Applying subsave to the following mass component(s): ");
    for (long j = 1; j <= cs.clumpdat.hi(); ++j)
      if (cs.clumpdat[j].type > 0) qprintf("%ld", j);
    qprintf("\n");
    qprintf("Computing subsave around the following image positions:\n");
    Mat images;
    const int nimg = subsave_images(images);
    if (nimg <= 0) {
      warning("Cannot use subsave because no images are loaded.");
      subsave_free();
      out.commit();
      return;
    }
    subsave_build(images, nimg, lim, nx, ny, out.get(), false);
    out.commit();
    return;
  }
  if (what == "off" && n >= 2) {
    if (cs.subsaveN > 0) {
      if (!quietflag) qprintf("Turning off subsave.\n");
      subsave_free();
    } else if (!quietflag) {
      qprintf("Cannot turn off subsave because it has not been turned on.\n");
    }
    return;
  }
  if (what == "test" && n >= 4) {
    WholeFile out(words[2], "could not open subsave test output file", true);
    std::fprintf(out, "#  x y [error in:] pot defx defy xx yy xy\n");
    if (cs.subsaveN <= 0) {
      if (!quietflag) qprintf("Cannot test subsave because it has not been turned on.\n");
      out.commit();
      return;
    }
    subsave_test(out, words.signed_count(3, "number of test points"));
    out.commit();
    return;
  }
  subsavehelp(2);
}

void subsavehelp(int level) {
  if (level == 1) {
    help_padded(65, {"Turns on/off ability to store pot/def/mag due to substructure."});
    return;
  }
  help_padded(65, {"subsave on <dx lo> <hi> <#steps> <dy lo> <hi> <#steps> [outname]",
                   "  -- or --",
                   "subsave off",
                   "  -- or --",
                   "subsave test <outname> <# points per grid>",
                   "Turns on/off ability to store pot/def/mag due to substructure.",
                   "When turning on, the arguments specify the small grid centred on",
                   "each image where the pot/def/mag due to substructure are stored.",
                   "With outname given, the code writes the small grids to that file.",
                   "Tests pick the specified number of random points on each small",
                   "grid and report the pot/def/mag errors of using stored instead of",
                   "exact results.",
                   "Note: the code will use the full calculation for any points off",
                   "the small grids, with a limited number of warnings."});
}
