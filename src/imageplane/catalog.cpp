#include "imageplane/catalog.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <unordered_map>

#include "imageplane/critcurves.h"
#include "imageplane/grid.h"
#include "imageplane/images.h"
#include "models/component.h"
#include "models/evaluator.h"
#include "shell/settings.h"

SourceTileCatalog TWcat;

namespace {
constexpr int kAttrU = 0, kAttrV = 1, kAttrMu = 2, kAttrPar = 3;

uint64_t edge_key(int a, int b) {
  if (a > b) std::swap(a, b);
  return (static_cast<uint64_t>(static_cast<uint32_t>(a)) << 32) | static_cast<uint32_t>(b);
}
// Caps of a polar main grid (see catalog.h): for each chord of the outer ring that is an
// edge of the mesh boundary, the triangle of its ends and the meeting point of the
// circle's tangents there, with the lens map at that point; its source box holds also the
// source position of the arc's midpoint.
void build_caps(SourceTileCatalog& c, const triangulateio& m) {
  c.caps.clear();
  if (settings.gridcoords != 2 || m.numberofpointattributes <= kAttrPar) return;
  const double R = settings.gridhi1 * settings.rscale;
  if (!(R > 0.0)) return;
  const int na = m.numberofpointattributes;
  double x0 = 0.0, y0 = 0.0;
  if (TWgal.NGALMAX >= 1) {
    x0 = TWgal.p[1][2];
    y0 = TWgal.p[1][3];
  }
  // Vertices on the circle, by angle.
  const double tol = 1e-9 * R;
  auto radius = [&](int i) {
    return std::hypot(m.pointlist[2 * static_cast<size_t>(i)] - x0, m.pointlist[2 * static_cast<size_t>(i) + 1] - y0);
  };
  std::vector<std::pair<double, int>> ring;
  for (int i = 0; i < m.numberofpoints; ++i)
    if (std::fabs(radius(i) - R) <= tol)
      ring.emplace_back(std::atan2(m.pointlist[2 * static_cast<size_t>(i) + 1] - y0,
                                   m.pointlist[2 * static_cast<size_t>(i)] - x0),
                        i);
  if (ring.size() < 2) return;
  std::sort(ring.begin(), ring.end());
  const size_t nr = ring.size();
  double maxgap = 0.0;
  for (size_t k = 0; k < nr; ++k) {
    const double gap = ring[(k + 1) % nr].first - ring[k].first + (k + 1 == nr ? 2.0 * M_PI : 0.0);
    if (gap < M_PI) maxgap = std::max(maxgap, gap);
  }
  // Boundary edges (edges of one triangle only) near the circle: the chords lie beyond
  // R cos(gap/2).
  const double rmin = R * std::cos(0.5 * maxgap) - tol;
  std::vector<char> outer(static_cast<size_t>(m.numberofpoints), 0);
  for (int i = 0; i < m.numberofpoints; ++i) outer[static_cast<size_t>(i)] = radius(i) >= rmin;
  std::unordered_map<uint64_t, int> uses;
  for (int t = 0; t < m.numberoftriangles; ++t)
    for (int k = 0; k < 3; ++k) {
      const int a = m.trianglelist[3 * t + k], b = m.trianglelist[3 * t + (k + 1) % 3];
      if (outer[static_cast<size_t>(a)] && outer[static_cast<size_t>(b)]) ++uses[edge_key(a, b)];
    }
  std::vector<std::pair<int, int>> boundary;
  for (const auto& e : uses)
    if (e.second == 1) boundary.emplace_back(static_cast<int>(e.first >> 32), static_cast<int>(e.first & 0xffffffffu));
  auto px = [&](int i) { return m.pointlist[2 * static_cast<size_t>(i)]; };
  auto py = [&](int i) { return m.pointlist[2 * static_cast<size_t>(i) + 1]; };
  // A chord between neighbouring ring vertices is part of the mesh boundary when its
  // midpoint lies on a boundary edge.
  auto on_boundary = [&](double qx, double qy) {
    for (const auto& e : boundary) {
      const double ax = px(e.first), ay = py(e.first), bx = px(e.second), by = py(e.second);
      const double dx = bx - ax, dy = by - ay, l2 = dx * dx + dy * dy;
      if (l2 == 0.0) continue;
      const double s = ((qx - ax) * dx + (qy - ay) * dy) / l2;
      if (s < -1e-9 || s > 1 + 1e-9) continue;
      if (std::fabs((qx - ax) * dy - (qy - ay) * dx) / std::sqrt(l2) <= tol) return true;
    }
    return false;
  };
  for (size_t k = 0; k < nr; ++k) {
    const int i = ring[k].second, j = ring[(k + 1) % nr].second;
    double gap = ring[(k + 1) % nr].first - ring[k].first;
    if (k + 1 == nr) gap += 2.0 * M_PI;
    if (!(gap > 0.0) || gap >= M_PI) continue;
    if (!on_boundary(0.5 * (px(i) + px(j)), 0.5 * (py(i) + py(j)))) continue;
    const double mid = ring[k].first + 0.5 * gap;
    GridCap cap;
    const int ends[2] = {i, j};
    for (int q = 0; q < 2; ++q) {
      const size_t v = static_cast<size_t>(ends[q]);
      cap.x[q] = m.pointlist[2 * v];
      cap.y[q] = m.pointlist[2 * v + 1];
      cap.u[q] = m.pointattributelist[v * na + kAttrU];
      cap.v[q] = m.pointattributelist[v * na + kAttrV];
      cap.det[q] = 1.0 / m.pointattributelist[v * na + kAttrMu];
      cap.par[q] = static_cast<int>(m.pointattributelist[v * na + kAttrPar]);
    }
    double pot, ax, ay, xx, yy, xy, yx;
    const double rt = R / std::cos(0.5 * gap);
    cap.x[2] = x0 + rt * std::cos(mid);
    cap.y[2] = y0 + rt * std::sin(mid);
    potdefmag(cap.x[2], cap.y[2], pot, ax, ay, xx, yy, xy, yx);
    cap.u[2] = cap.x[2] - ax;
    cap.v[2] = cap.y[2] - ay;
    cap.det[2] = (1.0 - xx) * (1.0 - yy) - xy * yx;
    cap.par[2] = lens_parity(xx, yy, xy, yx);
    // The arc's midpoint.
    const double xm = x0 + R * std::cos(mid), ym = y0 + R * std::sin(mid);
    potdefmag(xm, ym, pot, ax, ay, xx, yy, xy, yx);
    double umin = xm - ax, umax = umin, vmin = ym - ay, vmax = vmin;
    for (int q = 0; q < 3; ++q) {
      umin = std::min(umin, cap.u[q]);
      umax = std::max(umax, cap.u[q]);
      vmin = std::min(vmin, cap.v[q]);
      vmax = std::max(vmax, cap.v[q]);
    }
    if (!(std::isfinite(umin) && std::isfinite(umax) && std::isfinite(vmin) && std::isfinite(vmax))) continue;
    c.su0 = std::min(c.su0, umin);
    c.su1 = std::max(c.su1, umax);
    c.sv0 = std::min(c.sv0, vmin);
    c.sv1 = std::max(c.sv1, vmax);
    const bool straddle = (cap.det[0] > 0.0) != (cap.det[1] > 0.0) || (cap.det[0] > 0.0) != (cap.det[2] > 0.0);
    if (straddle) {
      const double g = kStraddleMargin * std::max(umax - umin, vmax - vmin);
      umin -= g;
      umax += g;
      vmin -= g;
      vmax += g;
    }
    cap.box[0] = umin;
    cap.box[1] = umax;
    cap.box[2] = vmin;
    cap.box[3] = vmax;
    c.caps.push_back(cap);
  }
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
  c.cap_start.assign(ncell + 1, 0);
  c.fold.assign(static_cast<size_t>(std::max(c.ntri, 0)), 0);
  c.box.assign(static_cast<size_t>(std::max(c.ntri, 0)) * 4, 0.0);
  c.su0 = TWgrid.umin;
  c.su1 = TWgrid.umax;
  c.sv0 = TWgrid.vmin;
  c.sv1 = TWgrid.vmax;
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

  // Source position of an edge's midpoint (straddling tiles), computed once per edge.
  std::unordered_map<uint64_t, std::pair<double, double>> mid_of_edge;
  auto midpoint_source = [&](int a, int b) {
    const auto key = edge_key(a, b);
    const auto it = mid_of_edge.find(key);
    if (it != mid_of_edge.end()) return it->second;
    const double x = 0.5 * (m.pointlist[2 * static_cast<size_t>(a)] + m.pointlist[2 * static_cast<size_t>(b)]);
    const double y =
        0.5 * (m.pointlist[2 * static_cast<size_t>(a) + 1] + m.pointlist[2 * static_cast<size_t>(b) + 1]);
    double pot, ax, ay, xx, yy, xy, yx;
    potdefmag(x, y, pot, ax, ay, xx, yy, xy, yx);
    std::pair<double, double> uv(x - ax, y - ay);
    if (!std::isfinite(uv.first) || !std::isfinite(uv.second)) uv = {attr(a, kAttrU), attr(a, kAttrV)};
    mid_of_edge.emplace(key, uv);
    return uv;
  };

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
    bool core = false;  // a corner at a maximum of the time-delay surface (a galaxy's core)
    for (int k = 0; k < 3 && na > kAttrPar; ++k) core = core || attr(tv[k], kAttrPar) == -2.0;
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
    if (straddle || (core && next)) {
      for (int k = 0; k < 3; ++k) {
        const auto uv = midpoint_source(tv[k], tv[(k + 1) % 3]);
        umin = std::min(umin, uv.first);
        umax = std::max(umax, uv.first);
        vmin = std::min(vmin, uv.second);
        vmax = std::max(vmax, uv.second);
      }
      c.su0 = std::min(c.su0, umin);
      c.su1 = std::max(c.su1, umax);
      c.sv0 = std::min(c.sv0, vmin);
      c.sv1 = std::max(c.sv1, vmax);
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

  // Caps beyond the outer ring, and their listing.
  build_caps(c, m);
  const int ncap = static_cast<int>(c.caps.size());
  std::vector<int> crange(4 * static_cast<size_t>(ncap));
  for (int k = 0; k < ncap; ++k) {
    const double* b = c.caps[static_cast<size_t>(k)].box;
    int* r = &crange[4 * static_cast<size_t>(k)];
    r[0] = cat_cell(b[0], c.cat_u0, c.cat_du, c.ncat);
    r[1] = cat_cell(b[1], c.cat_u0, c.cat_du, c.ncat);
    r[2] = cat_cell(b[2], c.cat_v0, c.cat_dv, c.ncat);
    r[3] = cat_cell(b[3], c.cat_v0, c.cat_dv, c.ncat);
    for (int iu = r[0]; iu <= r[1]; ++iu)
      for (int iv = r[2]; iv <= r[3]; ++iv) ++c.cap_start[static_cast<size_t>(iu) * side + iv + 1];
  }
  for (size_t k = 0; k < ncell; ++k) c.cap_start[k + 1] += c.cap_start[k];
  c.cap_list.assign(static_cast<size_t>(c.cap_start[ncell]), 0);
  std::vector<int> cfill(c.cap_start.begin(), c.cap_start.end() - 1);
  for (int k = 0; k < ncap; ++k) {
    const int* r = &crange[4 * static_cast<size_t>(k)];
    for (int iu = r[0]; iu <= r[1]; ++iu)
      for (int iv = r[2]; iv <= r[3]; ++iv)
        c.cap_list[static_cast<size_t>(cfill[static_cast<size_t>(iu) * side + iv]++)] = k;
  }
}
