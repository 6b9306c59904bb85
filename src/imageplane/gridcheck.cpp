// The check that the image-plane grid holds every image of the sources a command may draw,
// from the source-plane curve of the grid's outer edge.
#include "imageplane/gridcheck.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "imageplane/grid.h"
#include "models/component.h"
#include "models/evaluator.h"
#include "numeric/constants.h"
#include "shell/fatal.h"
#include "shell/settings.h"

namespace {

constexpr int kCirclePoints = 720;  // edge points of a polar grid
constexpr int kSidePoints = 180;    // edge points per side of a Cartesian grid
constexpr double kMaxScale = 100.0;
constexpr double kCentreMargin = 0.02;  // mass centres lie this fraction inside the edge

// The outer edge of the main grid as it was built: the radius of its outer ring about
// component 1 (polar), or the box of its nodes (Cartesian). The settings stand in when no
// grid has been built.
struct GridEdge {
  bool polar = true;
  double x0 = 0, y0 = 0, R = 0;          // polar
  double xlo = 0, xhi = 0, ylo = 0, yhi = 0;  // Cartesian
};

GridEdge built_edge() {
  const Settings& s = settings;
  GridEdge e;
  e.polar = s.gridcoords != 1;
  if (TWgal.NGALMAX > 0) {
    e.x0 = TWgal.p[1][2];
    e.y0 = TWgal.p[1][3];
  }
  e.R = s.rscale * s.gridhi1;
  e.xlo = s.rscale * s.gridlo1, e.xhi = s.rscale * s.gridhi1;
  e.ylo = s.rscale * s.gridlo2, e.yhi = s.rscale * s.gridhi2;
  if (TWgrid.top == nullptr) return e;
  // Taken when the grid was built: a walk over its nodes here would cost every finder more
  // than its search on a fine grid.
  const GridState& g = TWgrid;
  e.polar = g.top_polar;
  e.x0 = g.top_x0;
  e.y0 = g.top_y0;
  e.R = g.top_R;
  e.xlo = g.top_xlo, e.xhi = g.top_xhi;
  e.ylo = g.top_ylo, e.yhi = g.top_yhi;
  return e;
}

// Image-plane points of the edge scaled by `scale` about its centre, counter-clockwise.
void edge_points(const GridEdge& e, double scale, std::vector<double>& x, std::vector<double>& y) {
  x.clear();
  y.clear();
  if (e.polar) {
    const double R = scale * e.R;
    for (int k = 0; k < kCirclePoints; ++k) {
      const double t = kTwoPi * k / kCirclePoints;
      x.push_back(e.x0 - R * std::sin(t));
      y.push_back(e.y0 + R * std::cos(t));
    }
    return;
  }
  const double xc = 0.5 * (e.xlo + e.xhi), yc = 0.5 * (e.ylo + e.yhi);
  const double xl = xc + scale * (e.xlo - xc), xh = xc + scale * (e.xhi - xc);
  const double yl = yc + scale * (e.ylo - yc), yh = yc + scale * (e.yhi - yc);
  const double cx[5] = {xl, xh, xh, xl, xl}, cy[5] = {yl, yl, yh, yh, yl};
  for (int side = 0; side < 4; ++side)
    for (int k = 0; k < kSidePoints; ++k) {
      const double f = static_cast<double>(k) / kSidePoints;
      x.push_back((1 - f) * cx[side] + f * cx[side + 1]);
      y.push_back((1 - f) * cy[side] + f * cy[side + 1]);
    }
}

// Square of the distance from (px, py) to the segment from (ax, ay) to (bx, by).
double segment_distance2(double ax, double ay, double bx, double by, double px, double py) {
  const double dx = bx - ax, dy = by - ay, L2 = dx * dx + dy * dy;
  double t = L2 > 0 ? ((px - ax) * dx + (py - ay) * dy) / L2 : 0.0;
  t = std::clamp(t, 0.0, 1.0);
  const double ex = ax + t * dx - px, ey = ay + t * dy - py;
  return ex * ex + ey * ey;
}

double segment_distance(double ax, double ay, double bx, double by, double px, double py) {
  return std::sqrt(segment_distance2(ax, ay, bx, by, px, py));
}

// True when (x, y) lies inside the edge scaled by `scale`, by 2% of its size.
bool well_inside(const GridEdge& e, double scale, double x, double y) {
  const double f = (1.0 - kCentreMargin) * scale;
  if (e.polar) return std::hypot(x - e.x0, y - e.y0) <= f * e.R;
  const double xc = 0.5 * (e.xlo + e.xhi), yc = 0.5 * (e.ylo + e.yhi);
  return x >= xc + f * (e.xlo - xc) && x <= xc + f * (e.xhi - xc) && y >= yc + f * (e.ylo - yc) &&
         y <= yc + f * (e.yhi - yc);
}

// Every active mass profile (the classes from the point mass on, and classes added later)
// must have its centre inside the edge: its critical curve may lie wholly beyond it.
bool centres_inside(const GridEdge& e, double scale) {
  for (int i = 1; i <= TWgal.NGALMAX; ++i) {
    if (TWgal.cid(i) < CLS_ptmass || !TWgal.active(i) || TWgal.p[i][1] == 0) continue;
    if (!well_inside(e, scale, TWgal.p[i][2], TWgal.p[i][3])) return false;
  }
  return true;
}

// The source-plane curve of the edge scaled by `scale`; usable is false when a mass centre
// lies outside it or a critical curve meets it (it then holds no source).
struct MappedEdge {
  bool usable = false;
  std::vector<double> u, v;
  double step = 0;  // its longest step
  // A circle about the curve's mean point that no part of the curve enters, and how many
  // times the curve winds about that point: a disc inside the circle is wound about as
  // often, which spares most sources the walk along the curve.
  double cu = 0, cv = 0, inner = 0;
  long winding = 0;
  // The circle about the same point that holds the whole curve: a disc beyond it is not
  // wound about at all.
  double outer = 0;
};

// Winding number of the closed curve (u, v) about (pu, pv); false when the curve comes
// within `clear` of the point.
bool winding_about(const std::vector<double>& u, const std::vector<double>& v, double pu, double pv, double clear,
                   long& winding) {
  const size_t n = u.size();
  const double clear2 = clear * clear;
  // The signed count of the crossings of the ray from the point towards +u: a step
  // upwards with the point on its left adds one, a step downwards with it on its right
  // takes one away (counter-clockwise positive).
  long turns = 0;
  for (size_t k = 0; k < n; ++k) {
    const size_t j = (k + 1) % n;
    if (segment_distance2(u[k], v[k], u[j], v[j], pu, pv) < clear2) return false;
    const double ax = u[k] - pu, ay = v[k] - pv, bx = u[j] - pu, by = v[j] - pv;
    const double side = ax * by - ay * bx;
    if (ay <= 0) {
      if (by > 0 && side > 0) ++turns;
    } else if (by <= 0 && side < 0) {
      --turns;
    }
  }
  winding = turns;
  return true;
}

MappedEdge map_edge(const GridEdge& e, double scale) {
  MappedEdge m;
  if (!centres_inside(e, scale)) return m;
  std::vector<double> x, y;
  edge_points(e, scale, x, y);
  const size_t n = x.size();
  m.u.resize(n);
  m.v.resize(n);
  for (size_t k = 0; k < n; ++k) {
    double phi, ax, ay, xx, yy, xy, yx;
    potdefmag(x[k], y[k], phi, ax, ay, xx, yy, xy, yx);
    // On or inside a critical curve the mapped edge no longer counts the outer images.
    if (!((1.0 - xx) * (1.0 - yy) - xy * yx > 0)) return m;
    m.u[k] = x[k] - ax;
    m.v[k] = y[k] - ay;
  }
  for (size_t k = 0; k < n; ++k) {
    const size_t j = (k + 1) % n;
    m.step = std::max(m.step, std::hypot(m.u[j] - m.u[k], m.v[j] - m.v[k]));
    m.cu += m.u[k] / static_cast<double>(n);
    m.cv += m.v[k] / static_cast<double>(n);
  }
  m.inner = 1e300;
  for (size_t k = 0; k < n; ++k) {
    const size_t j = (k + 1) % n;
    m.inner = std::min(m.inner, segment_distance(m.u[k], m.v[k], m.u[j], m.v[j], m.cu, m.cv));
  }
  for (size_t k = 0; k < n; ++k) m.outer = std::max(m.outer, std::hypot(m.u[k] - m.cu, m.v[k] - m.cv));
  if (!winding_about(m.u, m.v, m.cu, m.cv, 0.0, m.winding)) m.inner = 0;
  m.usable = true;
  return m;
}

// True when the mapped edge winds once about the disc, with the margin.
bool disc_held(const MappedEdge& m, const SourceDisc& d) {
  if (!m.usable) return false;
  const double clear = d.r + m.step + 0.02 * d.r;
  // Every point within `clear` of the centre lies inside the empty circle: the curve keeps
  // the margin and winds about the disc as about the circle's centre.
  const double centre = std::hypot(d.u - m.cu, d.v - m.cv);
  if (centre + clear < m.inner) return m.winding == 1;
  if (centre - clear > m.outer) return false;
  long winding = 0;
  return winding_about(m.u, m.v, d.u, d.v, clear, winding) && winding == 1;
}

// The mapped edge of the finders' last check. Finders run one after another on one lens
// and grid, so the edge is mapped anew only when the grid's edge moved or the lens maps
// some probe points of the edge otherwise than before (bit for bit): a change of the lens
// moves the deflection everywhere.
struct EdgeCache {
  bool valid = false;
  GridEdge e;
  MappedEdge m;
  std::vector<double> x, y;
};
EdgeCache finder_cache;
constexpr size_t kProbeStride = 45;

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

bool same_edge(const GridEdge& a, const GridEdge& b) {
  return a.polar == b.polar && same_bits(a.x0, b.x0) && same_bits(a.y0, b.y0) && same_bits(a.R, b.R) &&
         same_bits(a.xlo, b.xlo) && same_bits(a.xhi, b.xhi) && same_bits(a.ylo, b.ylo) && same_bits(a.yhi, b.yhi);
}

bool probes_match(const EdgeCache& c) {
  for (size_t k = 0; k < c.x.size(); k += kProbeStride) {
    double phi, ax, ay, xx, yy, xy, yx;
    potdefmag(c.x[k], c.y[k], phi, ax, ay, xx, yy, xy, yx);
    if (!same_bits(c.x[k] - ax, c.m.u[k]) || !same_bits(c.y[k] - ay, c.m.v[k])) return false;
  }
  return true;
}

const MappedEdge& finder_edge() {
  const GridEdge e = built_edge();
  EdgeCache& c = finder_cache;
  if (c.valid && same_edge(c.e, e) && probes_match(c)) return c.m;
  c.e = e;
  c.m = map_edge(e, 1.0);
  edge_points(e, 1.0, c.x, c.y);
  c.valid = c.m.usable;
  return c.m;
}

bool edge_holds(const GridEdge& e, double scale, const std::vector<SourceDisc>& discs) {
  const MappedEdge m = map_edge(e, scale);
  if (!m.usable) return false;
  for (const SourceDisc& d : discs)
    if (!disc_held(m, d)) return false;
  return true;
}

// The smallest scale t >= 1 (within about 1%) for which the edge scaled by `part` t holds
// the discs; -1 when none up to 100 does.
double scale_needed(const GridEdge& e, const std::vector<SourceDisc>& discs, double part = 1.0) {
  if (edge_holds(e, part, discs)) return 1.0;
  double lo = 1.0, hi = -1.0;
  for (double s = 1.1; s <= kMaxScale * 1.000001; s *= 1.1) {
    if (edge_holds(e, part * s, discs)) {
      hi = s;
      break;
    }
    lo = s;
  }
  if (hi < 0) return -1.0;
  for (int k = 0; k < 6; ++k) {
    const double mid = std::sqrt(lo * hi);
    (edge_holds(e, part * mid, discs) ? hi : lo) = mid;
  }
  return hi;
}

// x rounded up (down with `down`) to three significant digits, so that the grid named holds.
double round3(double x, bool down = false) {
  if (x == 0 || !std::isfinite(x)) return x;
  const double q = std::pow(10.0, std::floor(std::log10(std::fabs(x))) - 2);
  const double k = x / q;
  return (down ? std::floor(k * (1 + 1e-12)) : std::ceil(k * (1 - 1e-12))) * q;
}

}  // namespace

std::string grid_advice(double needed) {
  if (needed > 0)
    return strformat("set gridhi1 to at least %g and regrid (or run autogrid from a larger gridhi1)", needed);
  return "increase gridhi1 and regrid (or run autogrid from a larger gridhi1)";
}

bool grid_edge_holds(double scale, const std::vector<SourceDisc>& discs) {
  return edge_holds(built_edge(), scale, discs);
}

double grid_scale_needed(const std::vector<SourceDisc>& discs) { return scale_needed(built_edge(), discs); }

bool GridNeed::add(const std::string& who, const std::vector<SourceDisc>& discs, bool weighted) {
  if (discs.empty()) return true;
  const GridEdge e = built_edge();
  const double s = scale_needed(e, discs, weighted && e.polar ? kWeightedDrawFraction : 1.0);
  if (s == 1.0) return true;
  if (who_.empty()) who_ = who;
  polar_ = e.polar;
  if (s < 0) {
    if (lost_who_.empty()) lost_who_ = who;
    return false;
  }
  const double rs = settings.rscale;
  if (e.polar) {
    radius_ = std::max(radius_, round3(s * e.R / rs));
    return false;
  }
  const double xc = 0.5 * (e.xlo + e.xhi), yc = 0.5 * (e.ylo + e.yhi);
  lo1_ = std::min(lo1_, round3((xc + s * (e.xlo - xc)) / rs, true));
  hi1_ = std::max(hi1_, round3((xc + s * (e.xhi - xc)) / rs));
  lo2_ = std::min(lo2_, round3((yc + s * (e.ylo - yc)) / rs, true));
  hi2_ = std::max(hi2_, round3((yc + s * (e.yhi - yc)) / rs));
  return false;
}

std::string GridNeed::advice(const std::string& what, double widen) const {
  if (!lost_who_.empty())
    return strformat(
        "%s, nor would one %g times larger (its edge meets a critical curve, or its source-plane "
        "image does not wind once about the sources): check gridhi1 and the model",
        what.c_str(), kMaxScale);
  if (polar_) return strformat("%s: %s", what.c_str(), grid_advice(round3(radius_ * widen)).c_str());
  return strformat(
      "%s: set gridlo1 %g gridhi1 %g gridlo2 %g gridhi2 %g or wider and regrid (or run autogrid "
      "from a larger grid)",
      what.c_str(), lo1_, hi1_, lo2_, hi2_);
}

void GridNeed::require() const {
  if (who_.empty()) return;
  const std::string& who = lost_who_.empty() ? who_ : lost_who_;
  fatal("in " + who + ": " + advice("the grid does not hold every image of the sources drawn"));
}

void GridHoldWatch::add(const SourceDisc& d) {
  // The lens and the grid stay as they are while a finder runs: the edge is looked up once.
  if (!edge_looked_up_) finder_edge();
  edge_looked_up_ = true;
  if (!disc_held(finder_cache.m, d)) lost_.push_back(d);
}

bool GridHoldWatch::warn() const {
  if (lost_.empty()) return true;
  GridNeed need;
  need.add("", lost_);
  const SourceDisc& d = lost_.front();
  std::string what = strformat("the grid does not hold every image of the source at (%g, %g)", d.u, d.v);
  if (lost_.size() > 1) what += strformat(" nor of %zu more of the sources", lost_.size() - 1);
  warning(need.advice(what));
  return false;
}

bool warn_grid_holds(const std::vector<SourceDisc>& discs) {
  GridHoldWatch watch;
  for (const SourceDisc& d : discs) watch.add(d);
  return watch.warn();
}

void require_grid_holds(const std::string& who, const std::vector<SourceDisc>& discs, bool weighted) {
  GridNeed need;
  need.add(who, discs, weighted);
  need.require();
}
