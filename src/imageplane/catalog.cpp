// The source-tile catalogue: for a grid of source-plane cells, the mesh triangles whose
// image in the source plane may hold a source in the cell.
#include "imageplane/catalog.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "imageplane/critcurves.h"
#include "imageplane/grid.h"
#include "imageplane/images.h"
#include "models/component.h"
#include "models/evaluator.h"
#include "numeric/constants.h"
#include "shell/settings.h"

SourceTileCatalog TWcat;

namespace {
constexpr int kAttrU = 0, kAttrV = 1, kAttrMu = 2, kAttrPar = 3;
// Vertex flags of the build: det A > 0, a neighbour with det A of the other sign, a
// maximum of the time-delay surface (a galaxy's core).
constexpr unsigned char kPositive = 1, kByCurve = 2, kCore = 4;

// Whether det A = 1/mu is positive, from mu without the division: +0 gives +inf, +inf
// gives +0, NaN neither.
inline bool det_positive(double mu) {
  return (mu > 0.0 && mu < HUGE_VAL) || (mu == 0.0 && !std::signbit(mu));
}

inline int cell_of(double w, double w0, double dw, int ncat) {
  if (ncat <= 0 || !(dw > 0.0)) return 0;
  const double s = (w - w0) / dw * 1.000001;
  if (!(s > 0.0)) return 0;  // also NaN
  if (s >= ncat) return ncat;
  return static_cast<int>(s);
}

// The cells iu0, iu1, iv0, iv1 of listing boxes (umin, umax, vmin, vmax), each as
// cell_of gives it, with the tests that do not depend on the box made once and the
// clamping free of branches.
struct BoxCells {
  double u0, du, v0, dv, top;
  bool u_on, v_on;
  explicit BoxCells(const SourceTileCatalog& c)
      : u0(c.cat_u0), du(c.cat_du), v0(c.cat_v0), dv(c.cat_dv), top(c.ncat),
        u_on(c.ncat > 0 && c.cat_du > 0.0), v_on(c.ncat > 0 && c.cat_dv > 0.0) {}
  int cell(double w, double w0, double dw) const {
    double s = (w - w0) / dw * 1.000001;
    s = s > 0.0 ? s : 0.0;  // also NaN
    s = s < top ? s : top;
    return static_cast<int>(s);
  }
  void operator()(const double* b, int* r) const {
    r[0] = u_on ? cell(b[0], u0, du) : 0;
    r[1] = u_on ? cell(b[1], u0, du) : 0;
    r[2] = v_on ? cell(b[2], v0, dv) : 0;
    r[3] = v_on ? cell(b[3], v0, dv) : 0;
  }
};

// Index of the mesh edge a-b (either order), found through the vertex adjacency; -1 when
// the edge list lacks it. Both orders give the same edge.
inline int edge_index(const SourceTileCatalog& c, int a, int b) {
  if (a > b) std::swap(a, b);
  const SourceTileCatalog::Work& w = c.work;
  const int* high = w.ehigh.data();
  for (int k = w.estart[static_cast<size_t>(a)], e = w.estart[static_cast<size_t>(a) + 1]; k < e; ++k)
    if (high[k] == b) return w.eid[static_cast<size_t>(k)];
  return -1;
}

// Sizes of the columns of cells, for n items each listed in its block of cells
// r[4k .. 4k + 3]: the offsets of the columns' lists, col_start[0 .. side], and the
// lists' full length.
void size_columns(int n, const int* r, int side, std::vector<int>& col_start, std::vector<int>& list,
                  SourceTileCatalog::Work& w) {
  w.diff.assign(static_cast<size_t>(side) + 1, 0);
  int* d = w.diff.data();
  for (int k = 0; k < n; ++k) {
    const int* q = r + 4 * static_cast<size_t>(k);
    if (q[0] > q[1] || q[2] > q[3]) continue;
    const int width = q[3] - q[2] + 1;
    d[q[0]] += width;
    d[q[1] + 1] -= width;
  }
  col_start.resize(static_cast<size_t>(side) + 1);
  col_start[0] = 0;
  int run = 0;
  for (int iu = 0; iu < side; ++iu) {
    run += d[iu];
    col_start[static_cast<size_t>(iu) + 1] = col_start[static_cast<size_t>(iu)] + run;
  }
  list.resize(static_cast<size_t>(col_start[static_cast<size_t>(side)]));
}

// Writes the lists of column iu for n items listed in blocks r: the offsets of the
// column's cells start[iu side .. iu side + side] (the last is the next column's offset)
// and the items of each cell, ascending, from list[base] on.
void list_column(int iu, int n, const int* r, int side, int base, int* start, int* list,
                 SourceTileCatalog::Work& w) {
  // The items of the column, gathered without branches.
  std::vector<int>& column = w.column;
  column.resize(static_cast<size_t>(n));
  int* col = column.data();
  int nc = 0;
  for (int k = 0; k < n; ++k) {
    const int* q = r + 4 * static_cast<size_t>(k);
    col[nc] = k;
    nc += (q[0] <= iu) & (iu <= q[1]) & (q[2] <= q[3]);
  }
  column.resize(static_cast<size_t>(nc));
  w.diff.assign(static_cast<size_t>(side) + 1, 0);
  int* d = w.diff.data();
  for (const int k : column) {
    ++d[r[4 * static_cast<size_t>(k) + 2]];
    --d[r[4 * static_cast<size_t>(k) + 3] + 1];
  }
  // Offsets of the cells; d becomes each cell's fill cursor.
  int* s = start + static_cast<size_t>(iu) * side;
  int run = 0, off = base;
  for (int iv = 0; iv < side; ++iv) {
    run += d[iv];
    s[iv] = off;
    d[iv] = off;
    off += run;
  }
  s[side] = off;
  for (const int k : column) {
    const int* q = r + 4 * static_cast<size_t>(k);
    for (int iv = q[2]; iv <= q[3]; ++iv) list[d[iv]++] = k;
  }
}

// Distances from the centre of a polar grid are compared with the bounds of the outer
// ring through sqrt(dx^2 + dy^2), which agrees with hypot to a few units in the last
// place; hypot decides within a margin of the bound.
struct RadiusTest {
  const double* xy;
  double x0, y0;
  double fast(int i) const {
    const double dx = xy[2 * static_cast<size_t>(i)] - x0, dy = xy[2 * static_cast<size_t>(i) + 1] - y0;
    return std::sqrt(dx * dx + dy * dy);
  }
  double exact(int i) const {
    return std::hypot(xy[2 * static_cast<size_t>(i)] - x0, xy[2 * static_cast<size_t>(i) + 1] - y0);
  }
  // -1, 0 or 1: the exact radius of vertex i (fast value r) is surely below, near or
  // surely above the bound.
  static int side_of(double r, double bound) {
    if (!(r > 1e-150 && r < 1e150)) return 0;
    const double band = 1e-12 * (r + std::fabs(bound));
    if (r < bound - band) return -1;
    if (r > bound + band) return 1;
    return 0;
  }
};

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
  SourceTileCatalog::Work& w = c.work;
  const int nv = m.numberofpoints;
  const RadiusTest rt{m.pointlist.data(), x0, y0};
  // Vertices on the circle, by angle.
  const double tol = 1e-9 * R;
  w.radius.resize(static_cast<size_t>(std::max(nv, 0)));
  w.ring.clear();
  for (int i = 0; i < nv; ++i) {
    const double r = rt.fast(i);
    w.radius[static_cast<size_t>(i)] = r;
    const double d = std::fabs(r - R);
    const int below = RadiusTest::side_of(d, tol);
    const bool on = below < 0 || (below == 0 && std::fabs(rt.exact(i) - R) <= tol);
    if (on)
      w.ring.emplace_back(std::atan2(m.pointlist[2 * static_cast<size_t>(i) + 1] - y0,
                                     m.pointlist[2 * static_cast<size_t>(i)] - x0),
                          i);
  }
  auto& ring = w.ring;
  if (ring.size() < 2) return;
  std::sort(ring.begin(), ring.end());
  const size_t nr = ring.size();
  double maxgap = 0.0;
  for (size_t k = 0; k < nr; ++k) {
    const double gap = ring[(k + 1) % nr].first - ring[k].first + (k + 1 == nr ? 2.0 * kPi : 0.0);
    if (gap < kPi) maxgap = std::max(maxgap, gap);
  }
  // Boundary edges (edges of one triangle only) near the circle: the chords lie beyond
  // R cos(gap/2).
  const double rmin = R * std::cos(0.5 * maxgap) - tol;
  w.outer.resize(static_cast<size_t>(std::max(nv, 0)));
  for (int i = 0; i < nv; ++i) {
    const int sd = RadiusTest::side_of(w.radius[static_cast<size_t>(i)], rmin);
    w.outer[static_cast<size_t>(i)] = sd > 0 || (sd == 0 && rt.exact(i) >= rmin);
  }
  const unsigned char* outer = w.outer.data();
  // Boundary edges near the circle: the edges with both ends near the circle that only
  // one triangle uses, each by its ends (lower first), ascending.
  auto& boundary = w.boundary;
  boundary.clear();
  for (int t = 0; t < m.numberoftriangles; ++t) {
    const int* tv = &m.trianglelist[3 * static_cast<size_t>(t)];
    if (outer[tv[0]] + outer[tv[1]] + outer[tv[2]] < 2) continue;
    for (int k = 0; k < 3; ++k) {
      const int a = tv[k], b = tv[(k + 1) % 3];
      if (outer[static_cast<size_t>(a)] && outer[static_cast<size_t>(b)])
        boundary.emplace_back(std::min(a, b), std::max(a, b));
    }
  }
  std::sort(boundary.begin(), boundary.end());
  {
    size_t kept = 0;
    for (size_t k = 0; k < boundary.size();) {
      size_t run = k + 1;
      while (run < boundary.size() && boundary[run] == boundary[k]) ++run;
      if (run == k + 1) boundary[kept++] = boundary[k];
      k = run;
    }
    boundary.resize(kept);
  }
  auto px = [&](int i) { return m.pointlist[2 * static_cast<size_t>(i)]; };
  auto py = [&](int i) { return m.pointlist[2 * static_cast<size_t>(i) + 1]; };
  // A chord between neighbouring ring vertices is part of the mesh boundary when its
  // midpoint lies on a boundary edge. The boundary edge with the chord's own ends, where
  // there is one, is tried first: it normally holds the midpoint.
  auto on_edge = [&](const std::pair<int, int>& e, double qx, double qy) {
    const double ax = px(e.first), ay = py(e.first), bx = px(e.second), by = py(e.second);
    const double dx = bx - ax, dy = by - ay, l2 = dx * dx + dy * dy;
    if (l2 == 0.0) return false;
    // Edges clearly away from the point are passed over before the division.
    const double along = (qx - ax) * dx + (qy - ay) * dy;
    if (along < -1e-6 * l2 || along > (1 + 1e-6) * l2) return false;
    const double s = along / l2;
    if (s < -1e-9 || s > 1 + 1e-9) return false;
    return std::fabs((qx - ax) * dy - (qy - ay) * dx) / std::sqrt(l2) <= tol;
  };
  auto on_boundary = [&](int i, int j, double qx, double qy) {
    const std::pair<int, int> own(std::min(i, j), std::max(i, j));
    if (std::binary_search(boundary.begin(), boundary.end(), own) && on_edge(own, qx, qy)) return true;
    for (const auto& e : boundary)
      if (on_edge(e, qx, qy)) return true;
    return false;
  };
  for (size_t k = 0; k < nr; ++k) {
    const int i = ring[k].second, j = ring[(k + 1) % nr].second;
    double gap = ring[(k + 1) % nr].first - ring[k].first;
    if (k + 1 == nr) gap += 2.0 * kPi;
    if (!(gap > 0.0) || gap >= kPi) continue;
    if (!on_boundary(i, j, 0.5 * (px(i) + px(j)), 0.5 * (py(i) + py(j)))) continue;
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
    const double rtan = R / std::cos(0.5 * gap);
    cap.x[2] = x0 + rtan * std::cos(mid);
    cap.y[2] = y0 + rtan * std::sin(mid);
    potdefmag(cap.x[2], cap.y[2], pot, ax, ay, xx, yy, xy, yx);
    cap.u[2] = cap.x[2] - ax;
    cap.v[2] = cap.y[2] - ay;
    cap.det[2] = (1.0 - xx) * (1.0 - yy) - xy * yx;
    cap.par[2] = lens_parity(xx, yy, xy, yx);
    // The arc's midpoint.
    const double xm = x0 + R * std::cos(mid), ym = y0 + R * std::sin(mid);
    potdefmag_deflection(xm, ym, ax, ay);
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

int cat_cell(double w, double w0, double dw, int ncat) { return cell_of(w, w0, dw, ncat); }

void cat_free() { TWcat = SourceTileCatalog(); }

namespace {

// Bounds of the catalogue's cells: a box of half-width srcrng about the source position
// of galaxy 1 when srcrng is set, else the source-plane range of the grid.
void set_catalog_bounds(SourceTileCatalog& c) {
  if (settings.srcrng > 0.0) {
    double uc = 0.0, vc = 0.0;
    if (TWgal.NGALMAX >= 1) {
      const double x1 = TWgal.p[1][2], y1 = TWgal.p[1][3];
      double ax, ay;
      potdefmag_deflection(x1, y1, ax, ay);
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
  c.cat_du = c.cat_dv = 0.0;
  if (c.ncat > 0) {
    c.cat_du = (c.cat_u1 - c.cat_u0) / c.ncat;
    c.cat_dv = (c.cat_v1 - c.cat_v0) / c.ncat;
  }
}

// The cells' lists are sized here and written column by column when first read.
void size_lists(SourceTileCatalog& c) {
  SourceTileCatalog::Work& w = c.work;
  const int side = c.ncat + 1;
  const size_t ncell = static_cast<size_t>(side) * side;
  c.start.resize(ncell + 1);
  c.cap_start.resize(ncell + 1);
  c.col_listed.assign(static_cast<size_t>(side), 0);
  size_columns(static_cast<int>(c.range.size() / 4), c.range.data(), side, c.col_start, c.list, w);
  size_columns(static_cast<int>(c.cap_range.size() / 4), c.cap_range.data(), side, c.cap_col_start, c.cap_list, w);
  w.column.reserve(std::max(c.range.size(), c.cap_range.size()) / 4 + 1);
}

// Vertex flags: the sign of det A and a corner at a maximum of the time-delay surface.
void flag_vertices(SourceTileCatalog& c, const triangulateio& m) {
  SourceTileCatalog::Work& w = c.work;
  const int na = m.numberofpointattributes, nv = c.nvert;
  const double* attrs = m.pointattributelist.data();
  w.vflag.resize(static_cast<size_t>(nv));
  unsigned char* vflag = w.vflag.data();
  for (int i = 0; i < nv; ++i) {
    const double* a = attrs + static_cast<size_t>(i) * na;
    unsigned char f = det_positive(a[kAttrMu]) ? kPositive : 0;
    if (na > kAttrPar && a[kAttrPar] == -2.0) f |= kCore;
    vflag[i] = f;
  }
}

// The edges of each vertex to higher-numbered vertices, with each entry's edge index
// (estart, ehigh, eid), from the edge list; in the same pass, the vertices next to a
// critical curve (one of its neighbours has det A of the other sign) are flagged.
void index_edges(SourceTileCatalog& c, const triangulateio& m) {
  SourceTileCatalog::Work& w = c.work;
  unsigned char* vflag = w.vflag.data();
  const int nv = c.nvert;
  const int ne = m.numberofedges;
  const int* el = m.edgelist.data();
  w.estart.assign(static_cast<size_t>(nv) + 1, 0);
  int* es = w.estart.data();
  for (int e = 0; e < ne; ++e) {
    const int a = el[2 * e], b = el[2 * e + 1];
    ++es[std::min(a, b) + 1];
    if ((vflag[a] ^ vflag[b]) & kPositive) {
      vflag[a] |= kByCurve;
      vflag[b] |= kByCurve;
    }
  }
  for (int i = 0; i < nv; ++i) es[i + 1] += es[i];
  w.ehigh.resize(static_cast<size_t>(std::max(ne, 0)));
  w.eid.resize(static_cast<size_t>(std::max(ne, 0)));
  // Filled through estart shifted by one place (each vertex's cursor), then shifted back.
  int* high = w.ehigh.data();
  int* id = w.eid.data();
  for (int i = nv; i > 0; --i) es[i] = es[i - 1];
  for (int e = 0; e < ne; ++e) {
    const int a = el[2 * e], b = el[2 * e + 1];
    const int k = es[std::min(a, b) + 1]++;
    high[k] = std::max(a, b);
    id[k] = e;
  }
  es[0] = 0;
}

// Caustic point of each edge that crosses a critical curve (the first listed for it).
void mark_critical_edges(SourceTileCatalog& c, int ne) {
  SourceTileCatalog::Work& w = c.work;
  const int nv = c.nvert;
  w.crit.assign(static_cast<size_t>(std::max(ne, 0)), 0);
  for (int k = 1; k <= TWcrit.ncrit && 2 * k <= static_cast<int>(TWcrit.edge.size()); ++k) {
    const int a = TWcrit.edge[2 * static_cast<size_t>(k) - 2], b = TWcrit.edge[2 * static_cast<size_t>(k) - 1];
    if (a < 0 || b < 0 || a >= nv || b >= nv) continue;
    const int e = edge_index(c, a, b);
    if (e >= 0 && w.crit[static_cast<size_t>(e)] == 0) w.crit[static_cast<size_t>(e)] = k;
  }
}

// Source position of an edge's midpoint (straddling tiles), computed once per edge.
class EdgeMidpoints {
 public:
  EdgeMidpoints(SourceTileCatalog::Work& w, const triangulateio& m) : w_(w), m_(m) {
    const int ne = m.numberofedges;
    w.mid_set.assign(static_cast<size_t>(std::max(ne, 0)), 0);
    w.mid.resize(2 * static_cast<size_t>(std::max(ne, 0)));
  }
  void source(int e, int a, int b, double& mu, double& mv) const {
    SourceTileCatalog::Work& w = w_;
    if (e >= 0 && w.mid_set[static_cast<size_t>(e)]) {
      mu = w.mid[2 * static_cast<size_t>(e)];
      mv = w.mid[2 * static_cast<size_t>(e) + 1];
      return;
    }
    const triangulateio& m = m_;
    const double x = 0.5 * (m.pointlist[2 * static_cast<size_t>(a)] + m.pointlist[2 * static_cast<size_t>(b)]);
    const double y =
        0.5 * (m.pointlist[2 * static_cast<size_t>(a) + 1] + m.pointlist[2 * static_cast<size_t>(b) + 1]);
    double ax, ay;
    potdefmag_deflection(x, y, ax, ay);
    mu = x - ax;
    mv = y - ay;
    if (!std::isfinite(mu) || !std::isfinite(mv)) {
      const int na = m.numberofpointattributes;
      mu = m.pointattributelist[static_cast<size_t>(a) * na + kAttrU];
      mv = m.pointattributelist[static_cast<size_t>(a) * na + kAttrV];
    }
    if (e >= 0) {
      w.mid_set[static_cast<size_t>(e)] = 1;
      w.mid[2 * static_cast<size_t>(e)] = mu;
      w.mid[2 * static_cast<size_t>(e) + 1] = mv;
    }
  }

 private:
  SourceTileCatalog::Work& w_;
  const triangulateio& m_;
};

// Listing boxes of the triangles and their cells: each triangle's source box, widened
// at a fold to hold its caustic points and edge midpoints, and by a margin next to one.
void list_triangles(SourceTileCatalog& c, const triangulateio& m) {
  SourceTileCatalog::Work& w = c.work;
  const int na = m.numberofpointattributes;
  const double* attrs = m.pointattributelist.data();
  const unsigned char* vflag = w.vflag.data();
  const EdgeMidpoints mids(w, m);
  const BoxCells box_cells(c);
  c.range.resize(4 * static_cast<size_t>(c.ntri));
  const int* tl = m.trianglelist.data();
  for (int t = 0; t < c.ntri; ++t) {
    const int* tv = tl + 3 * static_cast<size_t>(t);
    double umin = 1e300, umax = -1e300, vmin = 1e300, vmax = -1e300;
    bool pos[3];
    unsigned char any = 0;
    for (int k = 0; k < 3; ++k) {
      const double* a = attrs + static_cast<size_t>(tv[k]) * na;
      const double u = a[kAttrU], v = a[kAttrV];
      umin = std::min(umin, u);
      umax = std::max(umax, u);
      vmin = std::min(vmin, v);
      vmax = std::max(vmax, v);
      const unsigned char f = vflag[tv[k]];
      pos[k] = f & kPositive;
      any |= f;
    }
    const bool next = any & kByCurve;
    const bool core = any & kCore;  // a corner at a maximum of the time-delay surface
    const bool straddle = pos[0] != pos[1] || pos[0] != pos[2];
    if (straddle || (core && next)) {
      int edge[3];
      for (int k = 0; k < 3; ++k) edge[k] = edge_index(c, tv[k], tv[(k + 1) % 3]);
      for (int k = 0; k < 3 && straddle; ++k) {
        if (pos[k] == pos[(k + 1) % 3] || edge[k] < 0 || w.crit[static_cast<size_t>(edge[k])] == 0) continue;
        const int kc = w.crit[static_cast<size_t>(edge[k])];
        const double u = TWcrit.crit[kc][3], v = TWcrit.crit[kc][4];
        umin = std::min(umin, u);
        umax = std::max(umax, u);
        vmin = std::min(vmin, v);
        vmax = std::max(vmax, v);
      }
      for (int k = 0; k < 3; ++k) {
        double mu, mv;
        mids.source(edge[k], tv[k], tv[(k + 1) % 3], mu, mv);
        umin = std::min(umin, mu);
        umax = std::max(umax, mu);
        vmin = std::min(vmin, mv);
        vmax = std::max(vmax, mv);
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
    box_cells(b, &c.range[4 * static_cast<size_t>(t)]);
  }
}

// Caps beyond the outer ring, and their listing.
void list_caps(SourceTileCatalog& c, const triangulateio& m) {
  build_caps(c, m);
  const BoxCells box_cells(c);
  const size_t ncap = c.caps.size();
  c.cap_range.resize(4 * ncap);
  for (size_t k = 0; k < ncap; ++k) box_cells(c.caps[k].box, &c.cap_range[4 * k]);
}

}  // namespace

void docatalog() {
  // The previous catalogue is replaced field by field: its lists and work space keep
  // their storage for this build.
  SourceTileCatalog& c = TWcat;
  const triangulateio& m = TWtri.out;
  c.ncat = settings.srccat > 0 ? settings.srccat : 0;
  c.ntri = m.numberoftriangles;
  c.nvert = m.numberofpoints;
  set_catalog_bounds(c);
  const size_t ntri = static_cast<size_t>(std::max(c.ntri, 0));
  c.fold.assign(ntri, 0);
  c.box.resize(ntri * 4);
  c.caps.clear();
  c.range.clear();
  c.cap_range.clear();
  c.su0 = TWgrid.umin;
  c.su1 = TWgrid.umax;
  c.sv0 = TWgrid.vmin;
  c.sv1 = TWgrid.vmax;
  c.built = true;
  if (c.ntri <= 0 || m.numberofpointattributes <= kAttrMu) {
    std::fill(c.box.begin(), c.box.end(), 0.0);
    c.vstart.clear();
    c.vadj.clear();
    c.adj_built = true;
    size_lists(c);
    return;
  }

  flag_vertices(c, m);
  index_edges(c, m);
  // The full adjacency is made when the search under a scale factor first needs it; its
  // storage is sized here.
  const int ne = m.numberofedges;
  c.vstart.resize(static_cast<size_t>(c.nvert) + 1);
  c.vadj.resize(2 * static_cast<size_t>(std::max(ne, 0)));
  c.adj_built = false;
  mark_critical_edges(c, ne);
  list_triangles(c, m);
  list_caps(c, m);
  size_lists(c);
}

void cat_vertex_adjacency() {
  SourceTileCatalog& c = TWcat;
  if (!c.built || c.adj_built) return;
  c.adj_built = true;
  const triangulateio& m = TWtri.out;
  const int nv = c.nvert, ne = m.numberofedges;
  if (m.numberofpoints != nv || c.vadj.size() != 2 * static_cast<size_t>(std::max(ne, 0))) {
    // Not the mesh of the build: no neighbours.
    std::fill(c.vstart.begin(), c.vstart.end(), 0);
    return;
  }
  const int* el = m.edgelist.data();
  int* vs = c.vstart.data();
  std::fill(c.vstart.begin(), c.vstart.end(), 0);
  for (int e = 0; e < ne; ++e) {
    ++vs[el[2 * e] + 1];
    ++vs[el[2 * e + 1] + 1];
  }
  for (int i = 0; i < nv; ++i) vs[i + 1] += vs[i];
  // Filled through vstart shifted by one place (each vertex's cursor), then shifted back.
  int* adj = c.vadj.data();
  for (int i = nv; i > 0; --i) vs[i] = vs[i - 1];
  for (int e = 0; e < ne; ++e) {
    const int a = el[2 * e], b = el[2 * e + 1];
    adj[vs[a + 1]++] = b;
    adj[vs[b + 1]++] = a;
  }
  vs[0] = 0;
}

void cat_list_column(int iu) {
  SourceTileCatalog& c = TWcat;
  if (!c.built || iu < 0 || iu > c.ncat || c.col_listed[static_cast<size_t>(iu)]) return;
  const int side = c.ncat + 1;
  list_column(iu, static_cast<int>(c.range.size() / 4), c.range.data(), side, c.col_start[static_cast<size_t>(iu)],
              c.start.data(), c.list.data(), c.work);
  list_column(iu, static_cast<int>(c.cap_range.size() / 4), c.cap_range.data(), side,
              c.cap_col_start[static_cast<size_t>(iu)], c.cap_start.data(), c.cap_list.data(), c.work);
  c.col_listed[static_cast<size_t>(iu)] = 1;
}
