// Magnification cross sections on an adaptive source grid.
//
// Source: the magnification cross section, the source-plane area whose images together are
// magnified by more than mu, the total magnification being the sum of |mu| over the images
// (Schneider, Ehlers & Falco 1992, Gravitational Lenses, Springer).
#include "core/magcrosssec.h"

#include <cmath>
#include <string>

#include "core/lens_model.h"
#include "imageplane/images.h"
#include "io/outfile.h"
#include "numeric/interp.h"
#include "numeric/sort.h"
#include "shell/argcheck.h"
#include "shell/commands.h"
#include "shell/fatal.h"
#include "shell/settings.h"

void magcrosssec_func(double u, double v, int& nimg, double& mu) {
  Mat list;
  nimg = 0;
  find_img(nimg, list, u, v);
  mu = 0.0;
  for (int i = 1; i <= nimg; ++i) mu += std::fabs(list[i][3]);
}

void magcsec_grid(MagCsecRun& run, int Nu, int Nv, int level, double ua, double ub, double va, double vb) {
  struct Node {
    double u, v, mu;
    int n;
  };
  std::vector<Node> nodes(static_cast<size_t>(Nu) * Nv);
  auto at = [&](int i, int j) -> Node& { return nodes[static_cast<size_t>(i - 1) * Nv + (j - 1)]; };
  for (int i = 1; i <= Nu; ++i)
    for (int j = 1; j <= Nv; ++j) {
      Node& p = at(i, j);
      p.u = setparm(Nu, i, ua, ub);
      p.v = setparm(Nv, j, va, vb);
      magcrosssec_func(p.u, p.v, p.n, p.mu);
      if (level == 1) std::fprintf(run.map, "%13.6e %13.6e %d %.6e\n", p.u, p.v, p.n, p.mu);
    }
  std::fflush(run.map);

  for (int i = 1; i < Nu; ++i)
    for (int j = 1; j < Nv; ++j) {
      const Node* c[4] = {&at(i, j), &at(i + 1, j), &at(i, j + 1), &at(i + 1, j + 1)};
      int sum = 0;
      bool differ = false;
      double m = c[0]->mu;
      for (const Node* q : c) {
        sum += q->n;
        differ = differ || q->n != c[0]->n;
        if (q->mu > m) m = q->mu;
      }
      const double ulo = c[0]->u, uhi = c[1]->u, vlo = c[0]->v, vhi = c[2]->v;
      if ((differ || m > run.t[static_cast<size_t>(level)]) && level < run.n) {
        magcsec_grid(run, 3, 3, level + 1, ulo, uhi, vlo, vhi);
      } else if (sum > 0) {
        ++run.ntiles;
        run.tiles.push_back({ulo, uhi, vlo, vhi, level});
        std::fprintf(run.grid, "%13.6e %13.6e %13.6e %13.6e %e %d\n", ulo, uhi, vlo, vhi, m, level);
      }
    }
}

void magcrosssec(const WordArray& words) {
  require_model();
  const char* cmd = "magcrosssec";
  const std::string base = words[1];
  const double ulo = words.finite(2, cmd), uhi = words.finite(3, cmd);
  const double nu_r = words.finite(4, cmd);
  const double vlo = words.finite(5, cmd), vhi = words.finite(6, cmd);
  const double nv_r = words.finite(7, cmd);
  const double mulo = words.finite(8, cmd), muhi = words.finite(9, cmd);
  const double Ntarget = words.finite(11, cmd);
  // A grid needs two nodes per side to have a tile.
  if (!(nu_r >= 2 && nu_r < 1e8)) fatal(strformat("magcrosssec: the u grid needs at least 2 steps (%s)", words.c_str(4)));
  if (!(nv_r >= 2 && nv_r < 1e8)) fatal(strformat("magcrosssec: the v grid needs at least 2 steps (%s)", words.c_str(7)));
  if (Ntarget < 0) fatal(strformat("magcrosssec: Ntarget must not be negative (%s)", words.c_str(11)));
  if (!checksteps(words[10], "mu steps", 1, 1)) return;
  const int nmu = words.signed_count(10, "number of steps");
  if (log_range_refused(nmu, mulo, muhi)) {
    warn_log_range();
    return;
  }
  const int nu = static_cast<int>(nu_r), nv = static_cast<int>(nv_r);

  MagCsecRun run;
  run.magcrosssec_seed.restart(settings.seed);
  run.n = std::abs(nmu);
  run.t.assign(static_cast<size_t>(run.n) + 1, 0.0);
  for (int i = 1; i <= run.n; ++i) run.t[static_cast<size_t>(i)] = setparm(nmu, i, mulo, muhi);

  const std::string map_name = base + "-map.dat", grid_name = base + "-grid.dat", area_name = base + "-area.dat";
  {
    WholeFile map(map_name, "could not open magcrosssec grid file", true);
    WholeFile grid(grid_name, "could not open magcrosssec grid file", true);
    run.map = map;
    run.grid = grid;
    magcsec_grid(run, nu, nv, 1, ulo, uhi, vlo, vhi);
    run.map = run.grid = nullptr;
    grid.commit();
    map.commit();
  }

  const long T = run.ntiles;
  RandomStream& rs = run.magcrosssec_seed;
  // Sample table, rows 1..10: u lo, u hi, v lo, v hi, level, sample u, v, images, mu,
  // weight. The tiles are taken as computed rather than from the rounded grid file, so
  // that the areas of the samples add up to the area covered.
  Mat s;
  if (T > 0) {
    s.reset(1, 10, 1, T);
    for (long k = 1; k <= T; ++k) {
      const MagCsecRun::Tile& tile = run.tiles[static_cast<size_t>(k - 1)];
      s[1][k] = tile.ulo;
      s[2][k] = tile.uhi;
      s[3][k] = tile.vlo;
      s[4][k] = tile.vhi;
      s[5][k] = tile.level;
      s[6][k] = s[1][k] + ran2(rs) * (s[2][k] - s[1][k]);
      s[7][k] = s[3][k] + ran2(rs) * (s[4][k] - s[3][k]);
      int n;
      double mu;
      magcrosssec_func(s[6][k], s[7][k], n, mu);
      s[8][k] = n;
      s[9][k] = mu;
    }
  }

  // Weights: the spread of the magnification between a tile's neighbours in rank,
  // floored at d; a lone tile has no neighbours and weighs d.
  double W = 0.0;
  if (T > 0) {
    const double d = nmu > 0 ? (muhi - mulo) / T : std::log(muhi / mulo) / T;
    Vec mu(1, T);
    for (long k = 1; k <= T; ++k) mu[k] = s[9][k];
    LVec rank(1, T);
    indexx(T, mu, rank);
    for (long j = 1; j <= T; ++j) {
      double w = d;
      if (T > 1) {
        const long lo = j == 1 ? 1 : (j == T ? T - 1 : j - 1);
        const long hi = j == 1 ? 2 : (j == T ? T : j + 1);
        const double a = mu[rank[lo]], b = mu[rank[hi]];
        if (nmu > 0)
          w = std::max(b - a, d);
        else if (a != 0.0 && b != 0.0)
          w = std::max(std::log(b / a), d);
      }
      s[10][rank[j]] = w;
      W += w;
    }
  }

  WholeFile area(area_name, "could not open magcrosssec grid file", true);
  for (long k = 1; k <= T; ++k) {
    // With no spread anywhere the samples are shared equally.
    const double share = W > 0.0 ? s[10][k] / W : 1.0 / static_cast<double>(T);
    const long c = static_cast<long>(Ntarget * share * 1.000001) + 1;
    const double a = (s[2][k] - s[1][k]) * (s[4][k] - s[3][k]) / static_cast<double>(c);
    const int level = static_cast<int>(s[5][k]);
    std::fprintf(area, "%13.6e %13.6e %d %.6e %d %e\n", s[6][k], s[7][k], static_cast<int>(s[8][k]), s[9][k], level,
                 a);
    for (long i = 2; i <= c; ++i) {
      const double u = s[1][k] + ran2(rs) * (s[2][k] - s[1][k]);
      const double v = s[3][k] + ran2(rs) * (s[4][k] - s[3][k]);
      int n;
      double mu;
      magcrosssec_func(u, v, n, mu);
      std::fprintf(area, "%13.6e %13.6e %d %.6e %d %e\n", u, v, n, mu, level, a);
    }
  }
  area.commit();
}

