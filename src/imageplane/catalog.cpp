#include "imageplane/catalog.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <unordered_map>

#include "imageplane/critcurves.h"
#include "imageplane/grid.h"
#include "models/component.h"
#include "models/evaluator.h"
#include "shell/settings.h"

SourceTileCatalog TWcat;

namespace {
constexpr int kAttrU = 0, kAttrV = 1, kAttrMu = 2;

uint64_t edge_key(int a, int b) {
  if (a > b) std::swap(a, b);
  return (static_cast<uint64_t>(static_cast<uint32_t>(a)) << 32) | static_cast<uint32_t>(b);
}
}  // namespace

int cat_cell(double w, double w0, double dw, int ncat) {
  if (ncat <= 0 || !(dw > 0.0)) return 0;
  const double s = (w - w0) / dw * 1.000001;
  if (!(s > 0.0)) return 0;  // also NaN
  if (s >= ncat) return ncat;
  return static_cast<int>(s);
}

void cat_free() { TWcat = SourceTileCatalog(); }

void docatalog() {
  cat_free();
  SourceTileCatalog& c = TWcat;
  const triangulateio& m = TWtri.out;
  const int na = m.numberofpointattributes;
  c.ncat = settings.srccat > 0 ? settings.srccat : 0;
  c.ntri = m.numberoftriangles;
  c.nvert = m.numberofpoints;

  // Bounds.
  if (settings.srcrng > 0.0) {
    double uc = 0.0, vc = 0.0;
    if (TWgal.NGALMAX >= 1) {
      const double x1 = TWgal.p[1][2], y1 = TWgal.p[1][3];
      double pot, ax, ay, xx, yy, xy, yx;
      potdefmag(x1, y1, pot, ax, ay, xx, yy, xy, yx);
      uc = x1 - ax;
      vc = y1 - ay;
    }
    c.cat_u0 = uc - settings.srcrng;
    c.cat_u1 = uc + settings.srcrng;
    c.cat_v0 = vc - settings.srcrng;
    c.cat_v1 = vc + settings.srcrng;
  } else {
    c.cat_u0 = TWgrid.umin;
    c.cat_u1 = TWgrid.umax;
    c.cat_v0 = TWgrid.vmin;
    c.cat_v1 = TWgrid.vmax;
  }
  if (c.ncat > 0) {
    c.cat_du = (c.cat_u1 - c.cat_u0) / c.ncat;
    c.cat_dv = (c.cat_v1 - c.cat_v0) / c.ncat;
  }
  const int side = c.ncat + 1;
  const size_t ncell = static_cast<size_t>(side) * side;
  c.start.assign(ncell + 1, 0);
  c.fold.assign(static_cast<size_t>(std::max(c.ntri, 0)), 0);
  c.box.assign(static_cast<size_t>(std::max(c.ntri, 0)) * 4, 0.0);
  c.built = true;
  if (c.ntri <= 0 || na <= kAttrMu) {
    c.list.clear();
    return;
  }

  auto attr = [&](int vtx, int a) { return m.pointattributelist[static_cast<size_t>(vtx) * na + a]; };
  auto positive = [&](int vtx) { return 1.0 / attr(vtx, kAttrMu) > 0.0; };

  // Vertex adjacency from the edge list; a vertex is next to a critical curve when one of
  // its neighbours has det A of the other sign.
  const int nv = c.nvert;
  c.vstart.assign(static_cast<size_t>(nv) + 1, 0);
  for (int e = 0; e < m.numberofedges; ++e) {
    ++c.vstart[static_cast<size_t>(m.edgelist[2 * e]) + 1];
    ++c.vstart[static_cast<size_t>(m.edgelist[2 * e + 1]) + 1];
  }
  for (int i = 0; i < nv; ++i) c.vstart[static_cast<size_t>(i) + 1] += c.vstart[static_cast<size_t>(i)];
  c.vadj.assign(static_cast<size_t>(c.vstart[static_cast<size_t>(nv)]), 0);
  {
    std::vector<int> at(c.vstart.begin(), c.vstart.end() - 1);
    for (int e = 0; e < m.numberofedges; ++e) {
      const int a = m.edgelist[2 * e], b = m.edgelist[2 * e + 1];
      c.vadj[static_cast<size_t>(at[static_cast<size_t>(a)]++)] = b;
      c.vadj[static_cast<size_t>(at[static_cast<size_t>(b)]++)] = a;
    }
  }
  std::vector<unsigned char> by_curve(static_cast<size_t>(nv), 0);
  for (int i = 0; i < nv; ++i)
    for (int k = c.vstart[static_cast<size_t>(i)]; k < c.vstart[static_cast<size_t>(i) + 1]; ++k)
      if (positive(c.vadj[static_cast<size_t>(k)]) != positive(i)) by_curve[static_cast<size_t>(i)] = 1;

  // Caustic point of each edge that crosses a critical curve.
  std::unordered_map<uint64_t, int> crit_of_edge;
  crit_of_edge.reserve(static_cast<size_t>(TWcrit.ncrit) * 2 + 1);
  for (int k = 1; k <= TWcrit.ncrit && 2 * k <= static_cast<int>(TWcrit.edge.size()); ++k)
    crit_of_edge.emplace(edge_key(TWcrit.edge[2 * k - 2], TWcrit.edge[2 * k - 1]), k);

  // Listing boxes.
  for (int t = 0; t < c.ntri; ++t) {
    const int* tv = &m.trianglelist[3 * static_cast<size_t>(t)];
    double umin = 1e300, umax = -1e300, vmin = 1e300, vmax = -1e300;
    bool pos[3];
    bool next = false;
    for (int k = 0; k < 3; ++k) {
      const double u = attr(tv[k], kAttrU), v = attr(tv[k], kAttrV);
      umin = std::min(umin, u);
      umax = std::max(umax, u);
      vmin = std::min(vmin, v);
      vmax = std::max(vmax, v);
      pos[k] = positive(tv[k]);
      next = next || by_curve[static_cast<size_t>(tv[k])];
    }
    const bool straddle = pos[0] != pos[1] || pos[0] != pos[2];
    if (straddle) {
      for (int k = 0; k < 3; ++k) {
        const int a = tv[k], b = tv[(k + 1) % 3];
        if (pos[k] == pos[(k + 1) % 3]) continue;
        const auto it = crit_of_edge.find(edge_key(a, b));
        if (it == crit_of_edge.end()) continue;
        const double u = TWcrit.crit[it->second][3], v = TWcrit.crit[it->second][4];
        umin = std::min(umin, u);
        umax = std::max(umax, u);
        vmin = std::min(vmin, v);
        vmax = std::max(vmax, v);
      }
    }
    if (straddle || next) {
      const double g = kStraddleMargin * std::max(umax - umin, vmax - vmin);
      umin -= g;
      umax += g;
      vmin -= g;
      vmax += g;
    }
    c.fold[static_cast<size_t>(t)] = straddle ? kFoldStraddle : next ? kFoldNext : 0;
    double* b = &c.box[4 * static_cast<size_t>(t)];
    b[0] = umin;
    b[1] = umax;
    b[2] = vmin;
    b[3] = vmax;
  }

  // Two passes: count the tiles of each cell, then fill the lists (tiles in index order).
  std::vector<int> range(4 * static_cast<size_t>(c.ntri));
  for (int t = 0; t < c.ntri; ++t) {
    const double* b = &c.box[4 * static_cast<size_t>(t)];
    int* r = &range[4 * static_cast<size_t>(t)];
    r[0] = cat_cell(b[0], c.cat_u0, c.cat_du, c.ncat);
    r[1] = cat_cell(b[1], c.cat_u0, c.cat_du, c.ncat);
    r[2] = cat_cell(b[2], c.cat_v0, c.cat_dv, c.ncat);
    r[3] = cat_cell(b[3], c.cat_v0, c.cat_dv, c.ncat);
    for (int iu = r[0]; iu <= r[1]; ++iu)
      for (int iv = r[2]; iv <= r[3]; ++iv) ++c.start[static_cast<size_t>(iu) * side + iv + 1];
  }
  for (size_t k = 0; k < ncell; ++k) c.start[k + 1] += c.start[k];
  c.list.assign(static_cast<size_t>(c.start[ncell]), 0);
  std::vector<int> fill(c.start.begin(), c.start.end() - 1);
  for (int t = 0; t < c.ntri; ++t) {
    const int* r = &range[4 * static_cast<size_t>(t)];
    for (int iu = r[0]; iu <= r[1]; ++iu)
      for (int iv = r[2]; iv <= r[3]; ++iv) c.list[static_cast<size_t>(fill[static_cast<size_t>(iu) * side + iv]++)] = t;
  }
}
