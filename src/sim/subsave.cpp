// The small-grid cache of the clump field around observed images.
#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

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
