// Extended sources: the image finder that integrates the brightness over the triangulated
// image plane (the brightness laws are in finite_source_shape.cpp, checkfinsrc in
// checkfinsrc.cpp).
#include "imageplane/finite_source.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>

#include "imageplane/catalog.h"
#include "imageplane/grid.h"
#include "imageplane/gridcheck.h"
#include "imageplane/images.h"
#include "imageplane/source_models.h"
#include "io/qvmfile.h"
#include "models/component.h"
#include "models/evaluator.h"
#include "numeric/constants.h"
#include "numeric/random.h"
#include "shell/fatal.h"
#include "shell/settings.h"

FiniteSourceState TWfinsrc;

namespace {

constexpr int kAttrU = 0, kAttrV = 1, kAttrPar = 3, kAttrPhi = 4;
// Stream tag of the points drawn inside a small source (triangle tags are 2t and 2t + 1).
constexpr unsigned long long kSmallSourceTag = ~0ULL;
// A leaf is split while the lens at its edge midpoints strays from its linear mapping by
// more than half this fraction of the source's minor 90% radius (to kMaxDepth levels).
constexpr double kDepthFraction = 0.02;
// Leaves on the edge of a uniform source are split until their source-plane sides are at
// most this fraction of its minor 90% radius (while their light is resolved).
constexpr double kEdgeFraction = 0.25;
// A Sersic leaf takes rays by its light: at least one per share of one ray (the source's
// flux over finsrc_ray_num), and up to this many where the ray density asked gives them.
constexpr double kLightRays = 4.0;
// Fewest rays expected in a leaf that takes rays in its source-plane triangle.
constexpr double kMinLeafRays = 1.0;
// Two groups of leaves are one image where the light between them stays at or above this
// fraction of the fainter one's peak; below it, light is faint and goes to the nearest image.
constexpr double kSaddleFraction = 0.1;
// An image whose core carries less than this fraction of the light of the brightest core
// (a speck where the mesh meets a singular lens centre) keeps its core's light and draws
// no faint light.
constexpr double kCoreShare = 1e-4;
// Room of the candidate list of parent triangles.
constexpr size_t kMaxCandidates = 100000;

// A drawn ray count as an integer. The bound on a source's rays keeps every mean far below
// the range of long; a draw that is not finite or beyond 1e15 is an error, not an overflow.
long drawn_rays(double k) {
  if (!(k >= 0.0 && k <= 1e15)) fatal(strformat("an image search drew %g rays in one triangle, more than it can shoot", k));
  return static_cast<long>(k);
}

// The three corners of a triangle (or leaf): image positions, source positions, potentials.
struct TriVerts {
  double x[3], y[3], u[3], v[3], phi[3];
};

double tri_area2(double x1, double y1, double x2, double y2, double x3, double y3) {
  return (x2 - x1) * (y3 - y1) - (x3 - x1) * (y2 - y1);
}

// The start of a stream seeded by a mixed value.
RandomStream mixed_stream(unsigned long long a, unsigned long long b, unsigned long long c) {
  return RandomStream(mixed_stream_start(mix_seed(a, b, c)));
}

// Adds a patch's sums to the image whose centroid lies nearest to the patch's own (the
// first on a tie) within seeing, or opens a new image; with seeing 0 every patch is an
// image of its own. A patch below 1e-8 of the source's flux parameter (or without light)
// opens none: the bound follows the flux, so a faint source keeps its images.
int assign_light(double W, double X, double Y, double D) {
  FiniteSourceState& F = TWfinsrc;
  if (!(W > 0.0) || W < 1e-8 * F.shape.total) return -1;
  const double cx = X / W, cy = Y / W;
  // Squared distances: the nearest centroid, the first of equal ones, never one at 1e8
  // or beyond.
  double dbest = 1e16;
  int best = -1;
  for (int j = 0; j < F.finsrc_cnt; ++j) {
    const FiniteSourceState::Acc& a = F.finsrc_tmp[static_cast<size_t>(j)];
    const double dx = a.cx - cx, dy = a.cy - cy, d2 = dx * dx + dy * dy;
    if (d2 < dbest) {
      dbest = d2;
      best = j;
    }
  }
  if (best < 0 || !(settings.seeing > 0.0 && std::sqrt(dbest) <= settings.seeing)) {
    F.finsrc_tmp.emplace_back();
    best = F.finsrc_cnt++;
  }
  FiniteSourceState::Acc& a = F.finsrc_tmp[static_cast<size_t>(best)];
  a.x += X;
  a.y += Y;
  a.w += W;
  a.d += D;
  a.cx = a.x / a.w;
  a.cy = a.y / a.w;
  return best;
}

// Sums of the rays of one triangle.
struct RaySums {
  double W = 0, X = 0, Y = 0, D = 0;
  // One ray at barycentric (a, b, c) with weight factor wfac.
  void add(const FinsrcShape& s, const TriVerts& T, double a, double b, double c, double wfac) {
    const double su = a * T.u[0] + b * T.u[1] + c * T.u[2];
    const double sv = a * T.v[0] + b * T.v[1] + c * T.v[2];
    const double x = a * T.x[0] + b * T.x[1] + c * T.x[2];
    const double y = a * T.y[0] + b * T.y[1] + c * T.y[2];
    const double om = s.flux(su, sv) * wfac;
    const double tau = ((x - su) * (x - su) + (y - sv) * (y - sv)) * 0.5 - (a * T.phi[0] + b * T.phi[1] + c * T.phi[2]);
    W += om;
    X += om * x;
    Y += om * y;
    D += om * tau;
  }
};

bool shape_on(const FinsrcShape& s) { return s.kind != FinsrcShape::kOff; }

// An image whose leaves at the grid's rim carry more than this fraction of its light is
// cut by the rim.
constexpr double kRimFraction = 1e-3;

// The outer rim of the main grid as built: the circle of its outer nodes about component 1
// (polar) or the box of its nodes (Cartesian). Mesh vertices on it bound the mesh.
struct GridRim {
  bool known = false, polar = true;
  double x0 = 0, y0 = 0, R = 0, xlo = 0, xhi = 0, ylo = 0, yhi = 0;
  void build() {
    known = TWgrid.top != nullptr;
    if (!known) return;
    polar = TWgrid.top_polar;
    x0 = TWgrid.top_x0;
    y0 = TWgrid.top_y0;
    R = 0;
    xlo = ylo = 1e300;
    xhi = yhi = -1e300;
    for (const gnode* g = TWgrid.top; g != nullptr; g = g->next) {
      R = std::max(R, std::hypot(g->x - x0, g->y - y0));
      xlo = std::min(xlo, g->x), xhi = std::max(xhi, g->x);
      ylo = std::min(ylo, g->y), yhi = std::max(yhi, g->y);
    }
  }
  bool on(double x, double y) const {
    if (!known) return false;
    if (polar) return std::hypot(x - x0, y - y0) >= R * (1.0 - 1e-9);
    const double e = 1e-12 * std::max(xhi - xlo, yhi - ylo);
    return x <= xlo + e || x >= xhi - e || y <= ylo + e || y >= yhi - e;
  }
};

// The outer ring of a polar grid is a polygon of ngrid2 - 1 chords (its first and last
// angles meet): a circle of radius r holds when the grid's radius is r / cos(pi/(ngrid2 - 1)).
double chord_widening() {
  const int k = std::max(3, settings.ngrid2 - 1);
  return 1.0 / std::cos(kPi / k);
}

// Warns of the images whose light the rim cuts, naming the one with the largest share of
// its light at the rim (the one cut most) and the grid that holds every image of the
// source's 99.9% ellipse (none when the grid holds them already).
void warn_rim(int n, const Mat& list, double u, double v, double R999) {
  static RepeatedMessage cap;
  const FiniteSourceState& F = TWfinsrc;
  int worst = 0;
  double share = kRimFraction;
  for (int i = 1; i <= n; ++i) {
    const double s = F.rim_light[static_cast<size_t>(i - 1)] / list[i][3];
    if (s > share) {
      share = s;
      worst = i;
    }
  }
  if (worst == 0) return;
  if (cap.count() > 0) {
    cap.first();
    return;
  }
  GridNeed need;
  if (need.add("findimg", {SourceDisc{u, v, R999}})) return;
  cap.first();
  cap.warn(need.advice(strformat("the image of source #%d at (%g, %g) reaches the rim of the grid and its light "
                                 "beyond is lost",
                                 settings.isource, list[worst][1], list[worst][2]),
                       chord_widening()));
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Integration over one triangle

namespace {

constexpr int kMaxDepth = 8;

// A point of a mesh triangle's refinement lattice: image position, source position and
// potential under the current scale factor.
struct LatPt {
  double x, y, u, v, phi;
};

// A mesh triangle taking part in the search: its corners ordered by mesh vertex index (so
// that a point of an edge is computed with the same bits from both triangles sharing it),
// the true lens at its three edge midpoints and its margin.
struct Parent {
  int t = 0;
  LatPt c[3];
  LatPt mid[3];  // midpoints of corners (1, 2), (0, 2), (0, 1)
  double pad = 0;
  int rim = 0;  // bit k: the edge opposite corner k lies on the outer rim of the grid
  int vid[3] = {0, 0, 0};  // mesh vertices of the corners (ascending)
};

// The candidate parents of the current search (kept across searches).
std::vector<Parent> cand_buffer;

void load_parent(int t, double f, Parent& P) {
  const triangulateio& m = TWtri.out;
  const int na = m.numberofpointattributes;
  int id[3];
  for (int k = 0; k < 3; ++k) id[k] = m.trianglelist[3 * static_cast<size_t>(t) + k];
  std::sort(id, id + 3);
  P.t = t;
  for (int k = 0; k < 3; ++k) P.vid[k] = id[k];
  for (int k = 0; k < 3; ++k) {
    const size_t i = static_cast<size_t>(id[k]);
    const double* a = &m.pointattributelist[i * na];
    const double x = m.pointlist[2 * i], y = m.pointlist[2 * i + 1];
    P.c[k] = {x, y, x - f * (x - a[kAttrU]), y - f * (y - a[kAttrV]), f * a[kAttrPhi]};
  }
}

// The lens at the lattice point with weights (i, j, k)/n on the ordered corners. Each
// coordinate is summed in corner order, so a point of an edge (one weight 0) has the same
// bits in both triangles sharing the edge. potdefmag carries the scale factor.
LatPt lens_at(const LatPt* c, int i, int j, int k, double inv_n) {
  const double x = ((i * c[0].x + j * c[1].x) + k * c[2].x) * inv_n;
  const double y = ((i * c[0].y + j * c[1].y) + k * c[2].y) * inv_n;
  double pot, px, py, pxx, pyy, pxy, pyx;
  potdefmag(x, y, pot, px, py, pxx, pyy, pxy, pyx);
  ++TWfinsrc.evals;
  return {x, y, x - px, y - py, pot};
}

// The true lens at the edge midpoints of a parent and its margin: twice the largest
// distance between a midpoint's true source position and the linear one (a quadratic
// mapping strays from the linear one by at most 4/3 of that inside the triangle).
void measure_parent(Parent& P) {
  const LatPt* c = P.c;
  P.mid[0] = lens_at(c, 0, 1, 1, 0.5);
  P.mid[1] = lens_at(c, 1, 0, 1, 0.5);
  P.mid[2] = lens_at(c, 1, 1, 0, 0.5);
  double dev = 0;
  for (int k = 0; k < 3; ++k) {
    const LatPt& a = c[(k + 1) % 3];
    const LatPt& b = c[(k + 2) % 3];
    dev = std::max(dev, std::hypot(P.mid[k].u - 0.5 * (a.u + b.u), P.mid[k].v - 0.5 * (a.v + b.v)));
  }
  P.pad = 2.0 * dev;
}

// Distance, in the elliptical measure of the source (divided by srcsize), from the source
// centre to the source-plane triangle (0 when the centre lies inside).
double tri_distance(const FinsrcShape& s, const double* u, const double* v) {
  if (intriangle(u[0], v[0], u[1], v[1], u[2], v[2], s.u0, s.v0) != 0) return 0.0;
  double d = std::min({s.radius(u[0], v[0]), s.radius(u[1], v[1]), s.radius(u[2], v[2])});
  const double q2 = (1.0 - s.e) * (1.0 - s.e);
  for (int k = 0; k < 3; ++k) {
    const int j = (k + 1) % 3;
    const double du1 = u[k] - s.u0, dv1 = v[k] - s.v0, du2 = u[j] - s.u0, dv2 = v[j] - s.v0;
    const double m1 = s.ct * dv1 - s.st * du1, w1 = -s.ct * du1 - s.st * dv1;
    const double m2 = s.ct * dv2 - s.st * du2, w2 = -s.ct * du2 - s.st * dv2;
    const double dm = m2 - m1, dw = w2 - w1, q = q2 * dm * dm + dw * dw;
    if (!(q > 0.0)) continue;
    const double t = -(q2 * m1 * dm + w1 * dw) / q;
    if (t < 0.0 || t > 1.0) continue;
    d = std::min(d, std::fabs(dm * w1 - dw * m1) / std::sqrt(q) * s.inv_size);
  }
  return d;
}

// A Euclidean source-plane length in the elliptical measure: an upper bound, so that the
// widened ellipse holds every point within that length of the source's.
double elliptical(const FinsrcShape& s, double len) { return len * s.inv_q * s.inv_size; }

double tri_distance(const FinsrcShape& s, const LatPt& a, const LatPt& b, const LatPt& c) {
  const double u[3] = {a.u, b.u, c.u}, v[3] = {a.v, b.v, c.v};
  return tri_distance(s, u, v);
}

// Union-find over links `up`: a set is known by its smallest member.
int set_root(std::vector<int>& up, int k) {
  while (up[static_cast<size_t>(k)] != k) {
    up[static_cast<size_t>(k)] = up[static_cast<size_t>(up[static_cast<size_t>(k)])];
    k = up[static_cast<size_t>(k)];
  }
  return k;
}
// Joins the sets of a and b; returns the root of the union.
int unite(std::vector<int>& up, int a, int b) {
  a = set_root(up, a);
  b = set_root(up, b);
  if (a != b) up[static_cast<size_t>(std::max(a, b))] = std::min(a, b);
  return std::min(a, b);
}

// The refinement lattice of one parent: points (i, j) with weights (i, j, n - i - j)/n,
// evaluated once each (stamped per parent).
struct Lattice {
  int n = 0;
  double inv_n = 1;
  // Points are read only where stamped: their storage is left uninitialised, so that its
  // pages are touched only as the refinement reaches them.
  std::unique_ptr<LatPt[]> pt;
  size_t room = 0;
  std::vector<unsigned> stamp;
  unsigned cur = 0;
  void start(const Parent& P, int depth) {
    n = 1 << depth;
    inv_n = 1.0 / n;
    const size_t size = static_cast<size_t>(n + 1) * static_cast<size_t>(n + 1);
    if (room < size) {
      pt.reset(new LatPt[size]);
      room = size;
      stamp.assign(size, 0);
      cur = 0;
    }
    if (++cur == 0) {
      std::fill(stamp.begin(), stamp.end(), 0u);
      cur = 1;
    }
    put(n, 0, P.c[0]);
    put(0, n, P.c[1]);
    put(0, 0, P.c[2]);
    put(0, n / 2, P.mid[0]);
    put(n / 2, 0, P.mid[1]);
    put(n / 2, n / 2, P.mid[2]);
  }
  void put(int i, int j, const LatPt& p) {
    const size_t k = static_cast<size_t>(i) * static_cast<size_t>(n + 1) + static_cast<size_t>(j);
    pt[k] = p;
    stamp[k] = cur;
  }
  const LatPt& at(const LatPt* c, int i, int j) {
    const size_t k = static_cast<size_t>(i) * static_cast<size_t>(n + 1) + static_cast<size_t>(j);
    if (stamp[k] != cur) {
      pt[k] = lens_at(c, i, j, n - i - j, inv_n);
      stamp[k] = cur;
    }
    return pt[k];
  }
};
Lattice lattice;

// The i-th point inside the 99.9% ellipse of a small source (the same set for every leaf of
// a search), drawn as asked for.
RandomStream small_stream;
void small_point(const FinsrcShape& s, size_t r, double& pu, double& pv) {
  std::vector<double>& pts = TWfinsrc.small_pts;
  if (pts.empty())
    small_stream = mixed_stream(static_cast<unsigned long long>(settings.seed), TWfinsrc.rep, kSmallSourceTag);
  const double R = s.R999 * s.size, q = 1.0 - s.e;
  while (pts.size() <= 2 * r + 1) {
    const double a = ran2(small_stream), b = ran2(small_stream);
    const double rho = std::sqrt(a) * R, ph = 2.0 * kPi * b;
    const double c = rho * std::cos(ph), sn = q * rho * std::sin(ph);
    pts.push_back(s.u0 - s.st * c - s.ct * sn);
    pts.push_back(s.v0 + s.ct * c - s.st * sn);
  }
  pu = pts[2 * r];
  pv = pts[2 * r + 1];
}

// Integrates one leaf that carries light and appends it; returns its number.
int integrate_leaf(const LatPt& p0, const LatPt& p1, const LatPt& p2, double dist, bool rim, RandomStream& counts,
                   RandomStream& pos, double& area, double& rays, double srcarea) {
  FiniteSourceState& F = TWfinsrc;
  const FinsrcShape& s = F.shape;
  const TriVerts T = {{p0.x, p1.x, p2.x}, {p0.y, p1.y, p2.y}, {p0.u, p1.u, p2.u}, {p0.v, p1.v, p2.v},
                      {p0.phi, p1.phi, p2.phi}};
  const double A = 0.5 * std::fabs(tri_area2(T.x[0], T.y[0], T.x[1], T.y[1], T.x[2], T.y[2]));
  area += A;
  ++F.leaves;
  double W = 0, X = 0, Y = 0, D = 0;
  int code;
  if (s.is_uniform() && finsrc_in1(s, code, T.u[0], T.v[0]) && finsrc_in1(s, code, T.u[1], T.v[1]) &&
      finsrc_in1(s, code, T.u[2], T.v[2])) {
    // The ellipse is convex: a triangle whose corners lie in it lies in it, and its
    // brightness is the constant I0 (a corner on the rim counts as inside).
    const double b = s.I;
    double dx[3], dy[3];
    for (int k = 0; k < 3; ++k) {
      dx[k] = T.x[k] - T.u[k];
      dy[k] = T.y[k] - T.v[k];
    }
    double dd = 0.0;
    for (int k = 0; k < 3; ++k) dd += dx[k] * dx[k] + dy[k] * dy[k];
    for (int k = 0; k < 3; ++k)
      for (int j = k + 1; j < 3; ++j) dd += dx[k] * dx[j] + dy[k] * dy[j];
    W = b * A;
    X = W * (T.x[0] + T.x[1] + T.x[2]) / 3.0;
    Y = W * (T.y[0] + T.y[1] + T.y[2]) / 3.0;
    D = W * (dd / 12.0 - (T.phi[0] + T.phi[1] + T.phi[2]) / 3.0);
  } else {
    const double S2 = tri_area2(T.u[0], T.v[0], T.u[1], T.v[1], T.u[2], T.v[2]);
    const double S = 0.5 * std::fabs(S2);
    const double dens = F.finsrc_ray_dens;
    RaySums sum;
    if (srcarea >= S) {
      // Rays uniform in the source-plane triangle, at least kMinLeafRays of them expected:
      // a leaf by a critical curve is tiny in the source plane, and a rare ray there would
      // carry a large weight. A uniform source or a map takes the ray density asked; a
      // Sersic profile as many as the light of the leaf's source-plane triangle (bounded by
      // its brightest) holds shares of one ray (F.quantum): many in its bright centre, few
      // in its faint wings.
      double want = S * dens;
      if (s.kind == FinsrcShape::kSersic && F.quantum > 0.0) {
        want = S * std::fabs(s.brightest(dist));
        // By a steep centre the brightest light overstates the leaf's: take at most the
        // light between the leaf's nearest and farthest radii.
        if (want > 10.0 * F.quantum) {
          const double far = std::max({s.radius(T.u[0], T.v[0]), s.radius(T.u[1], T.v[1]), s.radius(T.u[2], T.v[2])});
          want = std::min(want, std::fabs(s.light_within(far) - s.light_within(dist)));
        }
        // Up to kLightRays rays a share where the density asked gives them.
        want = std::min(want / F.quantum, 1e9);
        want = std::max(want, std::min(S * dens, kLightRays * want));
      }
      const double mean = std::max(want, kMinLeafRays);
      const double wfac = A / mean;
      const long k = drawn_rays(poidev(mean, counts));
      rays += static_cast<double>(k);
      for (long r = 0; r < k; ++r) {
        double a = ran2(pos), b = ran2(pos);
        if (a + b > 1.0) {
          a = 1.0 - a;
          b = 1.0 - b;
        }
        sum.add(s, T, a, b, 1.0 - a - b, wfac);
      }
    } else {
      // Rays uniform in the source's 99.9% ellipse; those in the source-plane triangle count.
      // The points are shared by every such leaf of the search: only the ones this leaf is
      // the first to draw are new rays.
      const long k = drawn_rays(poidev(srcarea * dens, counts));
      const size_t drawn = F.small_pts.size();
      const double inv = 1.0 / S2, wfac = A / (S * dens);
      for (long r = 0; r < k; ++r) {
        double pu, pv;
        small_point(s, static_cast<size_t>(r), pu, pv);
        const double l1 = tri_area2(pu, pv, T.u[1], T.v[1], T.u[2], T.v[2]) * inv;
        const double l2 = tri_area2(T.u[0], T.v[0], pu, pv, T.u[2], T.v[2]) * inv;
        const double l3 = 1.0 - l1 - l2;
        if (l1 < 0.0 || l1 > 1.0 || l2 < 0.0 || l2 > 1.0 || l3 < 0.0 || l3 > 1.0) continue;
        sum.add(s, T, l1, l2, l3, wfac);
      }
      rays += static_cast<double>((F.small_pts.size() - drawn) / 2);
    }
    W = sum.W;
    X = sum.X;
    Y = sum.Y;
    D = sum.D;
  }
  // Brightness of the leaf for the grouping, free of ray noise: the brightest light its
  // source-plane triangle meets (dist is its elliptical distance from the centre); a
  // source map's at the triangle's centre, or where that is dark the leaf's mean.
  double b;
  if (s.kind == FinsrcShape::kSrcmap) {
    b = s.flux((T.u[0] + T.u[1] + T.u[2]) / 3.0, (T.v[0] + T.v[1] + T.v[2]) / 3.0);
    if (b == 0.0 && W > 0.0 && A > 0.0) b = W / A;
  } else {
    b = s.brightest(dist);
  }
  const int id = static_cast<int>(F.lit.size());
  F.lit.push_back({W, X, Y, D, b, (T.x[0] + T.x[1] + T.x[2]) / 3.0, (T.y[0] + T.y[1] + T.y[2]) / 3.0, rim});
  return id;
}

// The edges and mesh-vertex corners of a leaf with lattice corners (i, j) of parent P
// (lattice of n steps a side), as segments of leaf id.
void add_segments(const Parent& P, const int* i, const int* j, int n, int id) {
  std::vector<FiniteSourceState::Seg>& segs = TWfinsrc.segs;
  constexpr unsigned long long kSide = 1ULL << 63, kVertex = 1ULL << 62;
  auto side = [&](int a, int b) {  // the mesh edge between corners a < b of P
    return kSide | (static_cast<unsigned long long>(P.vid[a]) << 31) | static_cast<unsigned long long>(P.vid[b]);
  };
  const unsigned long long inner = static_cast<unsigned long long>(P.t) << 12;
  for (int k = 0; k < 3; ++k) {
    const int a = k, b = (k + 1) % 3;
    unsigned long long key;
    int lo, hi;
    if (i[a] == i[b]) {  // a line i = c: along j (on the side of corners 1, 2 when c = 0)
      key = i[a] == 0 ? side(1, 2) : inner | (0u << 10) | static_cast<unsigned>(i[a]);
      lo = std::min(j[a], j[b]), hi = std::max(j[a], j[b]);
    } else if (j[a] == j[b]) {  // j = c: along i (side 0, 2 when c = 0)
      key = j[a] == 0 ? side(0, 2) : inner | (1u << 10) | static_cast<unsigned>(j[a]);
      lo = std::min(i[a], i[b]), hi = std::max(i[a], i[b]);
    } else {  // i + j = c: along i (side 0, 1 when c = n)
      const int c = i[a] + j[a];
      key = c == n ? side(0, 1) : inner | (2u << 10) | static_cast<unsigned>(c);
      lo = std::min(i[a], i[b]), hi = std::max(i[a], i[b]);
    }
    segs.push_back({key, lo, hi, id});
    // A corner at a mesh vertex meets every leaf there.
    const int v = i[a] == n ? 0 : j[a] == n ? 1 : (i[a] == 0 && j[a] == 0) ? 2 : -1;
    if (v >= 0) segs.push_back({kVertex | static_cast<unsigned long long>(P.vid[v]), 0, 0, id});
  }
}

// Refines a parent that takes part and integrates its leaves, each lattice triangle as deep
// as it needs. A triangle is split into four while the true lens at its edge midpoints
// strays from its linear mapping by more than kDepthFraction/2 of the source's minor 90%
// radius (near a lens centre or a critical curve that is deep; elsewhere one level), or,
// for a source with an edge, while it straddles the edge and is larger than kEdgeFraction
// of that radius in the source plane; never once its light (its image-plane area times the
// brightest light its linear image meets) is below what one ray resolves, nor below
// kMaxDepth. A triangle takes part while its linear source-plane image lies within R99.9 +
// twice its stray (a quadratic mapping strays from the linear one by at most 4/3 of the
// midpoints' stray inside it); a child not measured takes half its parent's stray, as a
// mapping that bends more sharply than a quadratic one near a singular centre does. The
// leaves that meet the 99.9% ellipse itself carry the light (also those that no ray hits,
// so that a region of light has no holes).
void integrate_parent(const Parent& P, double& area, double& rays, double srcarea) {
  FiniteSourceState& F = TWfinsrc;
  const FinsrcShape& s = F.shape;
  const unsigned long long tt = static_cast<unsigned long long>(P.t);
  const unsigned long long pseed = static_cast<unsigned long long>(settings.shoot_pseed);
  RandomStream counts = mixed_ran1_stream(mix_seed(pseed, F.rep, 2 * tt));
  RandomStream pos = mixed_stream(static_cast<unsigned long long>(settings.shoot_rseed), F.rep, 2 * tt + 1);
  lattice.start(P, kMaxDepth);
  const int n = lattice.n;
  // Lattice triangles as (i, j) of their corners, with their level and their stray (an
  // upper estimate until measured).
  struct Tri {
    int i[3], j[3], level;
    double dev;
    bool measured;
  };
  Tri stack[3 * kMaxDepth + 4];
  int top = 0;
  stack[top++] = {{n, 0, 0}, {0, n, 0}, 0, 0.5 * P.pad, true};
  const double R999 = s.R999, tol = F.dev_tol, edge = F.edge_len, quantum = F.quantum;
  while (top > 0) {
    Tri T = stack[--top];
    const LatPt& a = lattice.at(P.c, T.i[0], T.j[0]);
    const LatPt& b = lattice.at(P.c, T.i[1], T.j[1]);
    const LatPt& c = lattice.at(P.c, T.i[2], T.j[2]);
    // Midpoints opposite corners 0, 1, 2.
    int mi[3], mj[3];
    for (int k = 0; k < 3; ++k) {
      const int p = (k + 1) % 3, q = (k + 2) % 3;
      mi[k] = (T.i[p] + T.i[q]) / 2;
      mj[k] = (T.j[p] + T.j[q]) / 2;
    }
    const bool can_split = T.level < kMaxDepth;
    if (can_split && !T.measured && (T.dev > tol || T.level < 1)) {
      const LatPt* corner[3] = {&a, &b, &c};
      double dev = 0;
      for (int k = 0; k < 3; ++k) {
        const LatPt& m = lattice.at(P.c, mi[k], mj[k]);
        const LatPt& p = *corner[(k + 1) % 3];
        const LatPt& q = *corner[(k + 2) % 3];
        dev = std::max(dev, std::hypot(m.u - 0.5 * (p.u + q.u), m.v - 0.5 * (p.v + q.v)));
      }
      T.dev = dev;
      T.measured = true;
    }
    const double d = tri_distance(s, a, b, c), margin = elliptical(s, 2.0 * T.dev);
    if (d > R999 + margin) continue;
    bool split = false;
    if (can_split) {
      const double A = 0.5 * std::fabs(tri_area2(a.x, a.y, b.x, b.y, c.x, c.y));
      if (A * s.brightest(std::max(0.0, d - margin)) >= quantum) {
        split = T.level < 1 || T.dev > tol;
        if (!split && edge > 0.0 && d <= R999) {
          // A source with an edge: split while the triangle straddles it and is large (but
          // smaller than the source: a larger leaf takes the points drawn in the source).
          int code;
          const bool inside = finsrc_in1(s, code, a.u, a.v) && finsrc_in1(s, code, b.u, b.v) &&
                              finsrc_in1(s, code, c.u, c.v);
          if (!inside && 0.5 * std::fabs(tri_area2(a.u, a.v, b.u, b.v, c.u, c.v)) < srcarea) {
            const double L = std::max({std::hypot(a.u - b.u, a.v - b.v), std::hypot(b.u - c.u, b.v - c.v),
                                       std::hypot(c.u - a.u, c.v - a.v)});
            split = L > edge;
          }
        }
      }
    }
    if (!split) {
      if (d > R999) continue;
      F.depth = std::max(F.depth, T.level);
      bool rim = false;
      if (P.rim != 0)
        for (int k = 0; k < 3; ++k)
          rim = rim || ((P.rim & 1) && T.i[k] == 0) || ((P.rim & 2) && T.j[k] == 0) ||
                ((P.rim & 4) && T.i[k] + T.j[k] == n);
      const int id = integrate_leaf(a, b, c, d, rim, counts, pos, area, rays, srcarea);
      add_segments(P, T.i, T.j, n, id);
      continue;
    }
    // The four children, pushed in reverse so that they are taken in order.
    const double kid_dev = 0.5 * T.dev;
    const Tri kids[4] = {{{T.i[0], mi[2], mi[1]}, {T.j[0], mj[2], mj[1]}, T.level + 1, kid_dev, false},
                         {{mi[2], T.i[1], mi[0]}, {mj[2], T.j[1], mj[0]}, T.level + 1, kid_dev, false},
                         {{mi[1], mi[0], T.i[2]}, {mj[1], mj[0], T.j[2]}, T.level + 1, kid_dev, false},
                         {{mi[0], mi[1], mi[2]}, {mj[0], mj[1], mj[2]}, T.level + 1, kid_dev, false}};
    for (int k = 3; k >= 0; --k) stack[top++] = kids[k];
  }
}

}  // namespace

void finsrc_tri(int t, int shoot, double& area, double& rays, double srcarea) {
  Parent P;
  load_parent(t, TWfinsrc.f, P);
  if (shoot == 0) {
    area += 0.5 * std::fabs(tri_area2(P.c[0].x, P.c[0].y, P.c[1].x, P.c[1].y, P.c[2].x, P.c[2].y));
    return;
  }
  measure_parent(P);
  integrate_parent(P, area, rays, srcarea);
}

// ---------------------------------------------------------------------------------------
// The image finder

namespace {

// Leaves are grouped into images by their light. Taken from the brightest down, a leaf
// joins the groups of the leaves met at its corners; two groups met at one leaf become one
// image when that leaf's brightness is at least kSaddleFraction of the fainter group's
// peak (so light that runs on along an arc or a ring keeps it whole). The core of an
// image is its leaves of at least that fraction of its own peak; every other leaf (the
// faint light between images and at their edges) goes to the image whose core is nearest
// (among cores of at least kCoreShare of the brightest core's light), from leaf centre to
// leaf centre.
// Returns the image of every leaf in label (a root leaf), or -1 for a leaf no walk reached.
void label_leaves() {
  FiniteSourceState& F = TWfinsrc;
  const std::vector<FiniteSourceState::Leaf>& L = F.lit;
  const int n = static_cast<int>(L.size());
  // Leaves that touch: segments of one line that share a stretch or a point.
  std::vector<FiniteSourceState::Seg>& sg = F.segs;
  std::sort(sg.begin(), sg.end(), [](const FiniteSourceState::Seg& a, const FiniteSourceState::Seg& b) {
    return a.key < b.key || (a.key == b.key && (a.lo < b.lo || (a.lo == b.lo && a.leaf < b.leaf)));
  });
  F.pairs.clear();
  std::vector<int>& act = F.active;
  for (size_t g = 0; g < sg.size();) {
    size_t e = g;
    while (e < sg.size() && sg[e].key == sg[g].key) ++e;
    act.clear();
    for (size_t k = g; k < e; ++k) {
      size_t w = 0;
      for (const int q : act) {
        if (sg[static_cast<size_t>(q)].hi < sg[k].lo) continue;  // ended before this one
        act[w++] = q;
        const int other = sg[static_cast<size_t>(q)].leaf;
        if (other != sg[k].leaf) F.pairs.push_back({other, sg[k].leaf});
      }
      act.resize(w);
      act.push_back(static_cast<int>(k));
    }
    g = e;
  }
  F.nb_start.assign(static_cast<size_t>(n) + 1, 0);
  for (const auto& pr : F.pairs) {
    ++F.nb_start[static_cast<size_t>(pr.first) + 1];
    ++F.nb_start[static_cast<size_t>(pr.second) + 1];
  }
  for (int k = 0; k < n; ++k) F.nb_start[static_cast<size_t>(k) + 1] += F.nb_start[static_cast<size_t>(k)];
  F.nb.resize(2 * F.pairs.size());
  F.fill.assign(F.nb_start.begin(), F.nb_start.end() - 1);
  for (const auto& pr : F.pairs) {
    F.nb[static_cast<size_t>(F.fill[static_cast<size_t>(pr.first)]++)] = pr.second;
    F.nb[static_cast<size_t>(F.fill[static_cast<size_t>(pr.second)]++)] = pr.first;
  }

  // Groups by light, from the brightest leaf down.
  F.order.clear();
  for (int k = 0; k < n; ++k)
    if (L[static_cast<size_t>(k)].b > 0.0) F.order.push_back(k);
  std::sort(F.order.begin(), F.order.end(), [&](int a, int b) {
    const double ba = L[static_cast<size_t>(a)].b, bb = L[static_cast<size_t>(b)].b;
    return ba > bb || (ba == bb && a < b);
  });
  F.up.assign(static_cast<size_t>(n), -1);  // -1: not yet taken
  F.peak.resize(static_cast<size_t>(n));
  for (const int k : F.order) {
    const FiniteSourceState::Leaf& l = L[static_cast<size_t>(k)];
    int r = -1;
    for (int q = F.nb_start[static_cast<size_t>(k)]; q < F.nb_start[static_cast<size_t>(k) + 1]; ++q) {
      const int o = F.nb[static_cast<size_t>(q)];
      if (F.up[static_cast<size_t>(o)] < 0) continue;
      const int ro = set_root(F.up, o);
      if (r < 0) {
        r = ro;
      } else if (ro != r &&
                 l.b >= kSaddleFraction * std::min(F.peak[static_cast<size_t>(r)], F.peak[static_cast<size_t>(ro)])) {
        const double pk = std::max(F.peak[static_cast<size_t>(r)], F.peak[static_cast<size_t>(ro)]);
        r = unite(F.up, r, ro);
        F.peak[static_cast<size_t>(r)] = pk;
      }
    }
    if (r < 0) {
      F.up[static_cast<size_t>(k)] = k;
      F.peak[static_cast<size_t>(k)] = l.b;
    } else if (k < r) {
      // A root stays the smallest leaf of its group.
      F.up[static_cast<size_t>(r)] = k;
      F.up[static_cast<size_t>(k)] = k;
      F.peak[static_cast<size_t>(k)] = F.peak[static_cast<size_t>(r)];
    } else {
      F.up[static_cast<size_t>(k)] = r;
    }
  }

  // Cores: the light of each; only cores of at least kCoreShare of the largest draw faint
  // light.
  F.label.assign(static_cast<size_t>(n), -1);
  F.core_w.assign(static_cast<size_t>(n), 0.0);
  double core_max = 0.0;
  for (const int k : F.order) {
    const int r = set_root(F.up, k);
    if (L[static_cast<size_t>(k)].b >= kSaddleFraction * F.peak[static_cast<size_t>(r)]) {
      F.label[static_cast<size_t>(k)] = r;
      core_max = std::max(core_max, F.core_w[static_cast<size_t>(r)] += L[static_cast<size_t>(k)].W);
    }
  }
  // The cores that draw light, in cells of a grid over their box (cells of about two).
  std::vector<int>& cores = F.owner;
  cores.clear();
  double x0 = 1e300, x1 = -1e300, y0 = 1e300, y1 = -1e300;
  for (int k = 0; k < n; ++k) {
    const int r = F.label[static_cast<size_t>(k)];
    if (r < 0 || !(F.core_w[static_cast<size_t>(r)] >= kCoreShare * core_max)) continue;
    cores.push_back(k);
    const FiniteSourceState::Leaf& l = L[static_cast<size_t>(k)];
    x0 = std::min(x0, l.cx), x1 = std::max(x1, l.cx), y0 = std::min(y0, l.cy), y1 = std::max(y1, l.cy);
  }
  if (cores.empty()) return;
  const int g = std::clamp(static_cast<int>(std::sqrt(0.5 * static_cast<double>(cores.size()))), 1, 256);
  const double span = std::max({x1 - x0, y1 - y0, 1e-300}), cell = span / g * (1.0 + 1e-12);
  auto cell_of = [&](double x, double y, int& ci, int& cj) {
    ci = std::clamp(static_cast<int>((x - x0) / cell), 0, g - 1);
    cj = std::clamp(static_cast<int>((y - y0) / cell), 0, g - 1);
  };
  const size_t ncell = static_cast<size_t>(g) * static_cast<size_t>(g);
  F.at_start.assign(ncell + 1, 0);
  int ci, cj;
  for (const int k : cores) {
    cell_of(L[static_cast<size_t>(k)].cx, L[static_cast<size_t>(k)].cy, ci, cj);
    ++F.at_start[static_cast<size_t>(ci) * static_cast<size_t>(g) + static_cast<size_t>(cj) + 1];
  }
  for (size_t c = 0; c < ncell; ++c) F.at_start[c + 1] += F.at_start[c];
  F.at_leaf.resize(cores.size());
  F.fill.assign(F.at_start.begin(), F.at_start.end() - 1);
  for (const int k : cores) {
    cell_of(L[static_cast<size_t>(k)].cx, L[static_cast<size_t>(k)].cy, ci, cj);
    int& slot = F.fill[static_cast<size_t>(ci) * static_cast<size_t>(g) + static_cast<size_t>(cj)];
    F.at_leaf[static_cast<size_t>(slot++)] = k;
  }
  // Every other leaf: the nearest core, by rings of cells about the leaf's (projected on
  // the grid's box, which brings no core nearer), until the next ring lies beyond the best.
  for (int k = 0; k < n; ++k) {
    if (F.label[static_cast<size_t>(k)] >= 0) continue;  // a core (also a speck's) keeps its light
    const FiniteSourceState::Leaf& l = L[static_cast<size_t>(k)];
    cell_of(l.cx, l.cy, ci, cj);
    double best = 1e300;
    int who = -1;
    for (int ring = 0; ring < g; ++ring) {
      for (int i = ci - ring; i <= ci + ring; ++i) {
        if (i < 0 || i >= g) continue;
        const bool edge_row = i == ci - ring || i == ci + ring;
        for (int j = cj - ring; j <= cj + ring; j += edge_row ? 1 : 2 * ring) {
          if (j >= 0 && j < g) {
            const size_t c = static_cast<size_t>(i) * static_cast<size_t>(g) + static_cast<size_t>(j);
            for (int q = F.at_start[c]; q < F.at_start[c + 1]; ++q) {
              const FiniteSourceState::Leaf& o = L[static_cast<size_t>(F.at_leaf[static_cast<size_t>(q)])];
              const double d2 = (o.cx - l.cx) * (o.cx - l.cx) + (o.cy - l.cy) * (o.cy - l.cy);
              if (d2 < best) {
                best = d2;
                who = F.at_leaf[static_cast<size_t>(q)];
              }
            }
          }
          if (ring == 0) break;
        }
      }
      const double reach = ring * cell;
      if (who >= 0 && best <= reach * reach) break;
    }
    F.label[static_cast<size_t>(k)] = F.label[static_cast<size_t>(who)];
  }
}

// Sums the light of each image and adds the images, in the order of their first leaf, to
// the list by the seeing rule. A leaf with light that no walk reached goes to the image
// with the nearest centroid.
void group_leaves() {
  FiniteSourceState& F = TWfinsrc;
  label_leaves();
  const size_t n = F.lit.size();
  std::vector<FiniteSourceState::Leaf>& patch = F.patch;
  patch.assign(n, FiniteSourceState::Leaf{0, 0, 0, 0, 0, 0, 0, false});
  // The images, by their first leaf (leaves are in candidate order).
  std::vector<int>& first = F.order;
  first.assign(n, -1);
  std::vector<int>& roots = F.at_leaf;
  roots.clear();
  for (size_t k = 0; k < n; ++k) {
    const int r = F.label[k];
    if (r < 0) continue;
    if (first[static_cast<size_t>(r)] < 0) {
      first[static_cast<size_t>(r)] = static_cast<int>(k);
      roots.push_back(r);
    }
    FiniteSourceState::Leaf& p = patch[static_cast<size_t>(r)];
    const FiniteSourceState::Leaf& l = F.lit[k];
    p.W += l.W;
    p.X += l.X;
    p.Y += l.Y;
    p.D += l.D;
    if (l.rim) p.b += l.W;
  }
  for (size_t k = 0; k < n; ++k) {
    const FiniteSourceState::Leaf& l = F.lit[k];
    if (F.label[k] >= 0 || !(l.W > 0.0)) continue;
    int best = -1;
    double d2 = 1e300;
    for (const int r : roots) {
      const FiniteSourceState::Leaf& p = patch[static_cast<size_t>(r)];
      if (!(p.W > 0.0)) continue;
      const double dx = p.X / p.W - l.cx, dy = p.Y / p.W - l.cy;
      if (dx * dx + dy * dy < d2) {
        d2 = dx * dx + dy * dy;
        best = r;
      }
    }
    if (best < 0) continue;
    FiniteSourceState::Leaf& p = patch[static_cast<size_t>(best)];
    p.W += l.W;
    p.X += l.X;
    p.Y += l.Y;
    p.D += l.D;
    if (l.rim) p.b += l.W;
  }
  // Roots were met in leaf order: the images are in the order of their first leaf.
  // (A patch's b holds the light of its leaves at the rim.)
  F.rim_light.clear();
  for (const int r : roots) {
    const FiniteSourceState::Leaf& p = patch[static_cast<size_t>(r)];
    const int i = assign_light(p.W, p.X, p.Y, p.D);
    if (i < 0) continue;
    F.rim_light.resize(static_cast<size_t>(F.finsrc_cnt), 0.0);
    F.rim_light[static_cast<size_t>(i)] += p.b;
  }
}

}  // namespace

void find_img_finsrc(int& n, Mat& list, double u, double v) {
  n = 0;
  list.clear();
  FiniteSourceState& F = TWfinsrc;
  F.finsrc_tmp.clear();
  F.finsrc_cnt = 0;
  F.rays = 0;
  F.lit.clear();
  F.segs.clear();
  F.small_pts.clear();
  F.evals = 0;
  F.leaves = 0;
  F.shape = finsrc_shape(settings.isource);
  const FinsrcShape& s = F.shape;
  F.u = u;
  F.v = v;
  F.f = TWmod.scale;
  if (F.rep_override >= 0)
    F.rep = static_cast<unsigned long long>(F.rep_override);
  else
    F.rep = settings.seed > 0 ? ++F.nsearch : 0;

  const double q = 1.0 - s.e;
  F.finsrc_ray_dens = TWsrc.finsrc_ray_num / (kPi * s.R90 * s.R90 * q);
  // The sampled ellipse follows srcsize like the brightness and the membership tests.
  const double R999 = s.R999 * s.size;
  const double srcarea = kPi * R999 * R999 * q;
  if (!shape_on(s) || !(TWsrc.finsrc_ray_num > 0.0) || !std::isfinite(F.finsrc_ray_dens)) return;

  const triangulateio& m = TWtri.out;
  const SourceTileCatalog& cat = TWcat;
  if (!(cat.built && cat.ntri == m.numberoftriangles && cat.nvert == m.numberofpoints &&
        m.numberofpointattributes > kAttrPhi)) {
    warning("the source catalogue does not match the current grid; no images found");
    return;
  }
  const bool scaled = std::fabs(F.f - 1.0) > 1e-6;

  // Triangles whose source-plane image meets the source, within their margin: 1 accepted,
  // 2 measured and refused. Every triangle looked at is measured: where the lens curves
  // strongly its margin can exceed its own size.
  TWtri.mark.assign(static_cast<size_t>(m.numberoftriangles), 0);
  // The candidates' buffer is kept across searches, with room for every triangle of the
  // grid from the first search on (room only: pages are touched as candidates come).
  std::vector<Parent>& cands = cand_buffer;
  cands.clear();
  cands.reserve(std::min(static_cast<size_t>(m.numberoftriangles), kMaxCandidates));
  F.cand_room = cands.capacity();
  double pad_max = 0;  // the largest margin measured
  long measured = 0;
  auto consider = [&](int t) {
    int& mk = TWtri.mark[static_cast<size_t>(t)];
    if (mk != 0) return;
    mk = 2;
    if (ingalcore(t)) return;
    Parent P;
    load_parent(t, F.f, P);
    measure_parent(P);
    pad_max = std::max(pad_max, P.pad);
    ++measured;
    if (tri_distance(s, P.c[0], P.c[1], P.c[2]) > s.R999 + elliptical(s, P.pad)) return;
    mk = 1;
    // The candidate list holds at most 99999 parent triangles; a source that covers more
    // ends the run with an error rather than a silent truncation.
    if (cands.size() + 1 >= kMaxCandidates) fatal("too many triangles cover the source");
    cands.push_back(P);
  };
  // A triangle taken in by its margin has its linear image within pad/(1 - e) of the box
  // of the source's 99.9% ellipse (half-width R999). The search looks at the triangles
  // nearest that box (at least one is measured), widens the box by the largest margin
  // measured so far, and again until the widening holds the largest margin.
  auto reach = [&] { return pad_max / q; };
  if (!scaled) {
    // Cells beyond the box's on each side: at least one, and enough to hold the reach.
    auto cells = [&](double len, double dw) {
      if (!(dw > 0.0)) return 1;
      const double k = std::ceil(len * 1.00001 / dw);
      return k < cat.ncat + 1.0 ? std::max(1, static_cast<int>(k)) : cat.ncat + 1;
    };
    const int cu0 = cat_cell(u - R999, cat.cat_u0, cat.cat_du, cat.ncat);
    const int cu1 = cat_cell(u + R999, cat.cat_u0, cat.cat_du, cat.ncat);
    const int cv0 = cat_cell(v - R999, cat.cat_v0, cat.cat_dv, cat.ncat);
    const int cv1 = cat_cell(v + R999, cat.cat_v0, cat.cat_dv, cat.ncat);
    int ku = 1, kv = 1;
    int done_u0 = 0, done_u1 = -1, done_v0 = 0, done_v1 = -1;  // the block searched so far
    for (;;) {
      const int iu0 = std::max(0, cu0 - ku), iu1 = std::min(cat.ncat, cu1 + ku);
      const int iv0 = std::max(0, cv0 - kv), iv1 = std::min(cat.ncat, cv1 + kv);
      for (int iu = iu0; iu <= iu1; ++iu)
        for (int iv = iv0; iv <= iv1; ++iv) {
          if (iu >= done_u0 && iu <= done_u1 && iv >= done_v0 && iv <= done_v1) continue;
          const CatCell cell = cat_cell_lists(iu, iv);
          for (const int* t = cell.tile; t != cell.tile_end; ++t) consider(*t);
        }
      done_u0 = iu0;
      done_u1 = iu1;
      done_v0 = iv0;
      done_v1 = iv1;
      if (iu0 == 0 && iu1 == cat.ncat && iv0 == 0 && iv1 == cat.ncat) break;
      if (measured == 0) {
        ku *= 2;
        kv *= 2;
        continue;
      }
      const int nu = cells(reach(), cat.cat_du), nv = cells(reach(), cat.cat_dv);
      if (nu <= ku && nv <= kv) break;
      ku = std::max(ku, nu);
      kv = std::max(kv, nv);
    }
  } else {
    // Under a scale factor the catalogue's cells no longer hold the tiles' source images, so
    // each triangle's own linear image is tested: its gap to the source's box.
    auto gap = [&](int t) {
      Parent P;
      load_parent(t, F.f, P);
      const double u_lo = std::min({P.c[0].u, P.c[1].u, P.c[2].u}), u_hi = std::max({P.c[0].u, P.c[1].u, P.c[2].u});
      const double v_lo = std::min({P.c[0].v, P.c[1].v, P.c[2].v}), v_hi = std::max({P.c[0].v, P.c[1].v, P.c[2].v});
      return std::max({u_lo - (u + R999), (u - R999) - u_hi, v_lo - (v + R999), (v - R999) - v_hi, 0.0});
    };
    double w = 1e300;  // the nearest triangle's gap
    for (int t = 0; t < m.numberoftriangles; ++t)
      if (!ingalcore(t)) w = std::min(w, gap(t));
    for (;;) {
      for (int t = 0; t < m.numberoftriangles; ++t)
        if (TWtri.mark[static_cast<size_t>(t)] == 0 && gap(t) <= w) consider(t);
      if (!(reach() > w)) break;
      w = reach();
    }
  }

  // Edges of the candidates on the grid's rim.
  GridRim rim;
  rim.build();
  if (rim.known)
    for (Parent& P : cands) {
      bool on[3];
      for (int k = 0; k < 3; ++k) on[k] = rim.on(P.c[k].x, P.c[k].y);
      P.rim = (on[1] && on[2] ? 1 : 0) | (on[0] && on[2] ? 2 : 0) | (on[0] && on[1] ? 4 : 0);
    }

  // Refinement tolerances of the search: the stray of a leaf's linear mapping, the size of a
  // leaf on a uniform source's edge, and the light one ray resolves.
  const double rmin = s.R90 * s.size * q;
  F.dev_tol = 0.5 * kDepthFraction * rmin;
  F.edge_len = s.is_uniform() ? kEdgeFraction * rmin : 0.0;
  F.quantum = s.total_flux() / TWsrc.finsrc_ray_num;
  F.depth = 0;
  double area = 0.0, rays = 0.0;
  for (const Parent& P : cands) integrate_parent(P, area, rays, srcarea);
  group_leaves();
  F.rays = rays;
  std::printf("QVM source #%d area %e rays %e\n", settings.isource, srcarea, rays);
  if (F.finsrc_ray_verb != 0) {
    qprintf("finsrc analysis:\n");
    qprintf("  image plane area searched  = %.2e\n", area);
    qprintf("  actual number of rays shot = %.2e\n", rays);
  }

  n = F.finsrc_cnt;
  if (n == 0) return;
  list.reset(1, n, 1, 9);
  for (int i = 1; i <= n; ++i) {
    const FiniteSourceState::Acc& a = F.finsrc_tmp[static_cast<size_t>(i - 1)];
    const double x = a.x / a.w, y = a.y / a.w, T = a.d / a.w;
    double pot, px, py, pxx, pyy, pxy, pyx;
    potdefmag(x, y, pot, px, py, pxx, pyy, pxy, pyx);
    list[i][1] = x;
    list[i][2] = y;
    list[i][3] = a.w;
    list[i][4] = ((x - u) * (x - u) + (y - v) * (y - v)) / 2.0 - T;
    list[i][5] = pxx;
    list[i][6] = pyy;
    list[i][7] = pxy;
    list[i][8] = pyx;
    list[i][9] = 1.0;
  }
  F.rim_light.resize(static_cast<size_t>(n), 0.0);
  warn_rim(n, list, u, v, R999);
}
