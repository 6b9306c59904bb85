// Extended sources: brightness laws, membership tests, the image finder that integrates the
// brightness over the triangulated image plane, and checkfinsrc.
#include "imageplane/finite_source.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "imageplane/catalog.h"
#include "imageplane/grid.h"
#include "imageplane/images.h"
#include "imageplane/source_models.h"
#include "imageplane/srcmap.h"
#include "io/outfile.h"
#include "io/qvmfile.h"
#include "models/evaluator.h"
#include "numeric/constants.h"
#include "numeric/interp.h"
#include "numeric/random.h"
#include "shell/argcheck.h"
#include "shell/commands.h"
#include "shell/fatal.h"
#include "shell/settings.h"

FiniteSourceState TWfinsrc;

namespace {

constexpr int kAttrU = 0, kAttrV = 1, kAttrPar = 3, kAttrPhi = 4;
// Stream tag of the points drawn inside a small source (triangle tags are 2t and 2t + 1).
constexpr unsigned long long kSmallSourceTag = ~0ULL;
// Leaves are refined until the largest margin of the search, divided by 4 per level, is at
// most this fraction of the source's minor 90% radius (or the depth limit is reached).
constexpr double kDepthFraction = 0.02;
// Fewest rays expected in a leaf that takes rays in its source-plane triangle.
constexpr double kMinLeafRays = 1.0;
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
// image of its own.
void assign_light(double W, double X, double Y, double D) {
  FiniteSourceState& F = TWfinsrc;
  if (W < 1e-8) return;
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

}  // namespace

// ---------------------------------------------------------------------------------------
// Brightness and geometry

FinsrcShape finsrc_shape(int i) {
  const SourceModel& src = TWsrc;
  if (i < 1 || i > src.Nsource) fatal(strformat("source index %d is out of range (1 to %d)", i, src.Nsource));
  const std::string& id = src.srcID[i];
  const BRow<const double> p = src.srcparms[i];
  FinsrcShape s;
  const bool on = src.srcon[i] != 0;
  if (id == "uniform") {
    s.kind = FinsrcShape::kUniform;
  } else if (id == "sersic") {
    s.kind = FinsrcShape::kSersic;
  } else if (id == "srcmap") {
    s.kind = FinsrcShape::kSrcmap;
  } else if (on && id == "ptsrc") {
    fatal("a point source is somehow being treated as finite!");
  } else if (on) {
    fatal(strformat("unknown source type: %s", id.c_str()));
  }
  s.u0 = p[2];
  s.v0 = p[3];
  const double pa = p[5] * kPi / 180.0;
  s.ct = std::cos(pa);
  s.st = std::sin(pa);
  // A source map ignores e in its brightness, so its geometry is round too.
  s.e = s.kind == FinsrcShape::kSrcmap ? 0.0 : p[4];
  s.inv_q = 1.0 / (1.0 - s.e);
  s.size = TWcursrc.srcsize;
  s.inv_size = 1.0 / s.size;
  s.R6 = p[6];
  s.R90 = p[11];
  s.R999 = p[12];
  s.R0 = p[10];
  const double norm = 1.0 / (s.size * s.size);
  if (s.kind == FinsrcShape::kSrcmap) {
    const double m = std::trunc(p[8] * 1.000001);
    s.map = std::fabs(m) < 2147483648.0 ? static_cast<int>(m) : 0;  // beyond an int: no map, refused at the look-up
    s.I = p[1] * norm;
  } else {
    s.I = p[9] * norm;
  }
  if (s.kind == FinsrcShape::kSersic) {
    s.inv_s = 1.0 / p[10];
    s.inv_n = 1.0 / p[8];
    s.root = p[8] == 1.0 ? 0 : p[8] == 2.0 ? 1 : p[8] == 4.0 ? 2 : -1;
  }
  if (!on) s.kind = FinsrcShape::kOff;
  return s;
}

double FinsrcShape::flux(double u, double v) const {
  switch (kind) {
    case kUniform:
      return radius(u, v) < R0 ? I : 0.0;
    case kSersic: {
      const double x = radius(u, v) * inv_s;
      switch (root) {
        case 0:
          return I * std::exp(-x);
        case 1:
          return I * std::exp(-std::sqrt(x));
        case 2:
          return I * std::exp(-std::sqrt(std::sqrt(x)));
        default:
          return I * std::exp(-std::pow(x, inv_n));
      }
    }
    case kSrcmap: {
      // Map coordinates stretch with srcsize like the analytic sources, so the flux stays.
      const double du = u - u0, dv = v - v0;
      return I * srcmap_flux(map, (du * ct + dv * st) * inv_size, (dv * ct - du * st) * inv_size);
    }
    default:
      return 0.0;
  }
}

double finsrc_flux(double u, double v) { return finsrc_shape(settings.isource).flux(u, v); }

int finsrc_in1(const FinsrcShape& s, int& code, double u, double v) {
  const double r = s.radius(u, v);
  if (r <= s.R90)
    code = s.is_uniform() ? -1 : 2;
  else if (r <= s.R999)
    code = 3;
  else
    code = 0;
  return code != 0 ? 1 : 0;
}

int finsrc_in2(const FinsrcShape& s, int& code, double u1, double v1, double u2, double v2) {
  code = 0;
  const double du1 = u1 - s.u0, dv1 = v1 - s.v0, du2 = u2 - s.u0, dv2 = v2 - s.v0;
  const double m1 = s.ct * dv1 - s.st * du1, w1 = -s.ct * du1 - s.st * dv1;
  const double m2 = s.ct * dv2 - s.st * du2, w2 = -s.ct * du2 - s.st * dv2;
  const double dm = m2 - m1, dw = w2 - w1, q2 = (1.0 - s.e) * (1.0 - s.e);
  const double q = q2 * dm * dm + dw * dw;
  if (!(q > 0.0)) return 0;
  const double t = -(q2 * m1 * dm + w1 * dw) / q;
  if (t < 0.0 || t > 1.0) return 0;
  const double d = std::fabs(dm * w1 - dw * m1) / std::sqrt(q) * s.inv_size;
  if (d <= s.R999) {
    if (d <= s.R6)
      code = s.is_uniform() ? -1 : 1;
    else if (d <= s.R90)
      code = 2;
    else
      code = 3;
  }
  return code != 0 ? 1 : 0;
}

int finsrc_in1(int& code, double u, double v) { return finsrc_in1(finsrc_shape(settings.isource), code, u, v); }

int finsrc_in2(int& code, double u1, double v1, double u2, double v2) {
  return finsrc_in2(finsrc_shape(settings.isource), code, u1, v1, u2, v2);
}

int finsrc_checkedge(const gnode* node, int mode) {
  if (mode != 1 && mode != 2) fatal("in finsrc_checkedge");
  const FinsrcShape s = finsrc_shape(settings.isource);
  const double f = TWmod.scale;
  int count = 0, code;
  auto test = [&](const gnode* p) {
    count += finsrc_in1(s, code, p->x - f * (p->x - p->u), p->y - f * (p->y - p->v));
  };
  const gnode* p = node;
  if (mode == 1) {
    for (; p->right; p = p->right) test(p);
    for (; p->up; p = p->up) test(p);
    for (; p->left; p = p->left) test(p);
    for (; p->down; p = p->down) test(p);
  } else {
    while (p->right) p = p->right;
    for (; p->up; p = p->up) test(p);
  }
  return count;
}

// ---------------------------------------------------------------------------------------
// Integration over one triangle

namespace {

constexpr int kMaxDepth = 6;

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
};

void load_parent(int t, double f, Parent& P) {
  const triangulateio& m = TWtri.out;
  const int na = m.numberofpointattributes;
  int id[3];
  for (int k = 0; k < 3; ++k) id[k] = m.trianglelist[3 * static_cast<size_t>(t) + k];
  std::sort(id, id + 3);
  P.t = t;
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

// Patches of lit leaves (union-find over TWfinsrc.up): a patch is known by its first leaf.
int leaf_root(int k) {
  std::vector<int>& up = TWfinsrc.up;
  while (up[static_cast<size_t>(k)] != k) {
    up[static_cast<size_t>(k)] = up[static_cast<size_t>(up[static_cast<size_t>(k)])];
    k = up[static_cast<size_t>(k)];
  }
  return k;
}
void unite(int a, int b) {
  a = leaf_root(a);
  b = leaf_root(b);
  if (a != b) TWfinsrc.up[static_cast<size_t>(std::max(a, b))] = std::min(a, b);
}

// The refinement lattice of one parent: points (i, j) with weights (i, j, n - i - j)/n,
// evaluated once each (stamped per parent).
struct Lattice {
  int n = 0;
  double inv_n = 1;
  std::vector<LatPt> pt;
  std::vector<unsigned> stamp;
  std::vector<int> owner;  // a lit leaf at the point, when owner_stamp is cur
  std::vector<unsigned> owner_stamp;
  unsigned cur = 0;
  void start(const Parent& P, int depth) {
    n = 1 << depth;
    inv_n = 1.0 / n;
    const size_t size = static_cast<size_t>(n + 1) * static_cast<size_t>(n + 1);
    if (pt.size() < size || ++cur == 0) {
      pt.assign(size, LatPt{});
      stamp.assign(size, 0);
      owner.assign(size, 0);
      owner_stamp.assign(size, 0);
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
  // Joins lit leaf id to the leaf already at point (i, j), if any.
  void join(int i, int j, int id) {
    const size_t k = static_cast<size_t>(i) * static_cast<size_t>(n + 1) + static_cast<size_t>(j);
    if (owner_stamp[k] == cur) {
      unite(owner[k], id);
    } else {
      owner[k] = id;
      owner_stamp[k] = cur;
    }
  }
  // The lit points of the triangle's edges, where its patches meet those of its
  // neighbours: matched across triangles by position in group_leaves.
  void edge_corners() {
    auto put_corner = [&](int i, int j) {
      const size_t k = static_cast<size_t>(i) * static_cast<size_t>(n + 1) + static_cast<size_t>(j);
      if (owner_stamp[k] == cur) TWfinsrc.corners.push_back({pt[k].x, pt[k].y, owner[k]});
    };
    for (int t = 0; t <= n; ++t) {
      put_corner(t, 0);
      put_corner(0, t);
      put_corner(t, n - t);
    }
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
int integrate_leaf(const LatPt& p0, const LatPt& p1, const LatPt& p2, RandomStream& counts, RandomStream& pos,
                    double& area, double& rays, double srcarea) {
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
      // carry a large weight.
      const double mean = std::max(S * dens, kMinLeafRays);
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
  const int id = static_cast<int>(F.lit.size());
  F.lit.push_back({W, X, Y, D});
  F.up.push_back(id);
  return id;
}

// Refines a parent that takes part and integrates its leaves. Children are kept while
// their linear source-plane triangle lies within R99.9 + pad/4^level of the source; the
// leaves that meet the 99.9% ellipse itself carry the light (also those that no ray hits,
// so that a patch of light has no holes).
void integrate_parent(const Parent& P, double& area, double& rays, double srcarea) {
  FiniteSourceState& F = TWfinsrc;
  const FinsrcShape& s = F.shape;
  const unsigned long long tt = static_cast<unsigned long long>(P.t);
  const unsigned long long pseed = static_cast<unsigned long long>(settings.shoot_pseed);
  RandomStream counts = mixed_ran1_stream(mix_seed(pseed, F.rep, 2 * tt));
  RandomStream pos = mixed_stream(static_cast<unsigned long long>(settings.shoot_rseed), F.rep, 2 * tt + 1);
  const int depth = F.depth;
  lattice.start(P, depth);
  const int n = lattice.n;
  // Lattice triangles as (i, j) of their corners, with their level.
  struct Tri {
    int i[3], j[3], level;
  };
  Tri stack[3 * kMaxDepth + 4];
  int top = 0;
  stack[top++] = {{n, 0, 0}, {0, n, 0}, 0};
  const double R999 = s.R999, pad = elliptical(s, P.pad);
  while (top > 0) {
    const Tri T = stack[--top];
    if (T.level == depth) {
      const int id = integrate_leaf(lattice.at(P.c, T.i[0], T.j[0]), lattice.at(P.c, T.i[1], T.j[1]),
                                    lattice.at(P.c, T.i[2], T.j[2]), counts, pos, area, rays, srcarea);
      for (int k = 0; k < 3; ++k) lattice.join(T.i[k], T.j[k], id);
      continue;
    }
    // Midpoints opposite corners 0, 1, 2 and the four children; pushed in reverse so that
    // they are taken in order.
    int mi[3], mj[3];
    for (int k = 0; k < 3; ++k) {
      const int a = (k + 1) % 3, b = (k + 2) % 3;
      mi[k] = (T.i[a] + T.i[b]) / 2;
      mj[k] = (T.j[a] + T.j[b]) / 2;
    }
    const Tri kids[4] = {{{T.i[0], mi[2], mi[1]}, {T.j[0], mj[2], mj[1]}, T.level + 1},
                         {{mi[2], T.i[1], mi[0]}, {mj[2], T.j[1], mj[0]}, T.level + 1},
                         {{mi[1], mi[0], T.i[2]}, {mj[1], mj[0], T.j[2]}, T.level + 1},
                         {{mi[0], mi[1], mi[2]}, {mj[0], mj[1], mj[2]}, T.level + 1}};
    // Leaves must meet the source itself: the margin only keeps the ways to them open.
    const double reach = T.level + 1 == depth ? R999 : R999 + pad / static_cast<double>(1 << (2 * (T.level + 1)));
    for (int c = 3; c >= 0; --c) {
      const Tri& K = kids[c];
      const LatPt& a = lattice.at(P.c, K.i[0], K.j[0]);
      const LatPt& b = lattice.at(P.c, K.i[1], K.j[1]);
      const LatPt& d = lattice.at(P.c, K.i[2], K.j[2]);
      if (tri_distance(s, a, b, d) <= reach) stack[top++] = K;
    }
  }
  lattice.edge_corners();
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

// Joins the patches of neighbouring triangles that meet at a lit edge point (a shared
// corner joins two leaves) and adds each patch, in the order of its first leaf, to the
// images by the seeing rule.
void group_leaves() {
  FiniteSourceState& F = TWfinsrc;
  std::vector<FiniteSourceState::Corner>& c = F.corners;
  std::sort(c.begin(), c.end(), [](const FiniteSourceState::Corner& a, const FiniteSourceState::Corner& b) {
    return a.x < b.x || (a.x == b.x && a.y < b.y);
  });
  for (size_t k = 1; k < c.size(); ++k)
    if (c[k].x == c[k - 1].x && c[k].y == c[k - 1].y) unite(c[k].leaf, c[k - 1].leaf);
  const size_t n = F.lit.size();
  std::vector<FiniteSourceState::Leaf>& patch = F.patch;
  patch.assign(n, FiniteSourceState::Leaf{0, 0, 0, 0});
  for (size_t k = 0; k < n; ++k) {
    FiniteSourceState::Leaf& p = patch[static_cast<size_t>(leaf_root(static_cast<int>(k)))];
    const FiniteSourceState::Leaf& l = F.lit[k];
    p.W += l.W;
    p.X += l.X;
    p.Y += l.Y;
    p.D += l.D;
  }
  for (size_t k = 0; k < n; ++k)
    if (F.up[k] == static_cast<int>(k)) assign_light(patch[k].W, patch[k].X, patch[k].Y, patch[k].D);
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
  F.up.clear();
  F.corners.clear();
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
  std::vector<Parent> cands;
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

  // Depth of the leaves: deep enough that the largest margin, divided by 4 per level, is
  // small against the source's minor radius.
  double pad = 0;
  for (const Parent& P : cands) pad = std::max(pad, P.pad);
  const double rmin = s.R90 * s.size * q;
  F.depth = 1;
  while (F.depth < kMaxDepth && pad / static_cast<double>(1 << (2 * F.depth)) > kDepthFraction * rmin) ++F.depth;

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
}

// ---------------------------------------------------------------------------------------
// checkfinsrc

namespace {

// Restores the ray target, the analysis switch and the repetition numbering however the
// command ends.
struct CheckfinsrcScope {
  double rays = TWsrc.finsrc_ray_num;
  ~CheckfinsrcScope() {
    TWsrc.finsrc_ray_num = rays;
    TWfinsrc.finsrc_ray_verb = 0;
    TWfinsrc.rep_override = -1;
  }
};

void write_header(FILE* fp, int nref) {
  std::fprintf(fp, "        ");
  for (int j = 1; j <= nref; ++j) std::fprintf(fp, "          Image %-2d          ", j);
  std::fprintf(fp, "\n\n");
}

}  // namespace

void checkfinsrc(const WordArray& words) {
  if (!checksteps(words[3], "steps", 1, 1)) return;
  if (!checkint(words[4], "bootstraps")) return;
  const double lo = words.finite(1, "checkfinsrc"), hi = words.finite(2, "checkfinsrc");
  const int steps = words.signed_count(3, "number of steps");
  const long nrep = word_integer(words[4]);
  if (nrep < 1) {
    refuse("checkfinsrc needs at least one bootstrap");
    return;
  }
  if (log_range_refused(steps, lo, hi)) {
    warn_log_range();
    return;
  }
  const std::string outname = words[5];
  const int nsteps = std::abs(steps);

  CheckfinsrcScope scope;
  // The current source, checked, and where it sits; both ray counts within its bounds.
  setfinsrc(settings.isource, 0, 0.0, 0.0);
  for (const double r : {lo, hi}) {
    double excess;
    const std::string fault =
        source_rays_fault(TWsrc.srcID[settings.isource], TWsrc.srcparms[settings.isource][8], r, excess);
    if (!fault.empty()) fatal("checkfinsrc: " + fault);
  }
  const double u = TWsrc.srcparms[settings.isource][2], v = TWsrc.srcparms[settings.isource][3];
  qprintf("Running checkfinsrc\n");
  // Every search of the command has a repetition number of its own, whatever the seed, so
  // that its repetitions are independent and the command repeats exactly.
  long long rep = 0;

  TWsrc.finsrc_ray_num = hi;
  qprintf("Running reference case\n");
  int nref = 0;
  Mat list;
  TWfinsrc.rep_override = ++rep;
  find_img(nref, list, u, v);
  if (nref == 0) fatal("checkfinsrc: the reference search found no image");

  // Per step, image and column: sums, sums of squares; then means and errors.
  const size_t width = static_cast<size_t>(nref) * 4;
  std::vector<double> sum(static_cast<size_t>(nsteps) * width, 0.0), sq(sum.size(), 0.0);
  std::vector<long> count(static_cast<size_t>(nsteps), 0);
  for (int i = 1; i <= nsteps; ++i) {
    const double nray = setparm(steps, i, lo, hi);
    TWsrc.finsrc_ray_num = nray;
    qprintf("Nray= %.2e\n", nray);
    double* S = &sum[static_cast<size_t>(i - 1) * width];
    double* Q = &sq[static_cast<size_t>(i - 1) * width];
    for (long r = 1; r <= nrep; ++r) {
      TWfinsrc.finsrc_ray_verb = r == 1 ? 1 : 0;
      TWfinsrc.rep_override = ++rep;
      int n = 0;
      find_img(n, list, u, v);
      TWfinsrc.finsrc_ray_verb = 0;
      if (n != nref) {
        warning("incorrect number of images");
      } else {
        for (int j = 1; j <= nref; ++j)
          for (int c = 1; c <= 4; ++c) {
            const size_t k = static_cast<size_t>(j - 1) * 4 + (c - 1);
            S[k] += list[j][c];
            Q[k] += list[j][c] * list[j][c];
          }
        ++count[static_cast<size_t>(i - 1)];
      }
      if (r == 1) qprintf("bootstrap #");
      if (r % 10 == 0) qprintf(" %ld", r);
      std::fflush(QVMstdout);
    }
    qprintf("\n");
    if (count[static_cast<size_t>(i - 1)] == 0) {
      warning(strformat("checkfinsrc: no repetition at Nray = %.2e found the reference number of images; "
                        "the step is left out",
                        nray));
      continue;
    }
    const double cn = static_cast<double>(count[static_cast<size_t>(i - 1)]);
    for (size_t k = 0; k < width; ++k) {
      const double mean = S[k] / cn;
      // Rounding can take the mean square a little below the squared mean.
      const double var = std::max(0.0, Q[k] / cn - mean * mean);
      S[k] = mean;
      Q[k] = std::sqrt(var);
    }
  }

  WholeFile fp(outname, "could not open checkfinsrc output file", true);
  std::fprintf(fp, "Vary number of rays from top to bottom, images from left to right.\n");
  std::fprintf(fp, "\n");
  std::fprintf(fp, "Each block gives value of x, y, mu, tdel, with bootstrap errorbars.\n");
  std::fprintf(fp, "\n");
  write_header(fp, nref);
  auto block = [&](int i, bool relative) {
    const double* M = &sum[static_cast<size_t>(i - 1) * width];
    const double* E = &sq[static_cast<size_t>(i - 1) * width];
    const double* L = &sum[static_cast<size_t>(nsteps - 1) * width];
    for (int c = 1; c <= 4; ++c) {
      if (c == 1)
        std::fprintf(fp, "%8.2e", setparm(steps, i, lo, hi));
      else
        std::fprintf(fp, "        ");
      for (int j = 1; j <= nref; ++j) {
        const size_t k = static_cast<size_t>(j - 1) * 4 + (c - 1);
        double mean = M[k], err = E[k];
        if (relative) {
          double h = c == 3 ? std::fabs(L[static_cast<size_t>(j - 1) * 4 + 2]) : 1.0;
          if (h == 0.0) h = 1.0;
          mean = (mean - L[k]) / h;
          err /= h;
        }
        std::fprintf(fp, "  %11.4e +/- %10.4e", mean, err);
      }
      std::fprintf(fp, "\n");
    }
    std::fprintf(fp, "\n");
  };
  for (int i = 1; i <= nsteps; ++i)
    if (count[static_cast<size_t>(i - 1)] > 0) block(i, false);
  // The relative blocks are measured against the last step: none when it was left out.
  if (count[static_cast<size_t>(nsteps - 1)] > 0) {
    std::fprintf(fp, "Now each block gives error (relative to highest Nray) in x, y, mu, tdel.\n");
    std::fprintf(fp, "Fractional error for mu, absolute for x, y, and tdel.\n");
    std::fprintf(fp, "\n");
    write_header(fp, nref);
    for (int i = 1; i <= nsteps; ++i)
      if (count[static_cast<size_t>(i - 1)] > 0) block(i, true);
  }
  fp.commit();
}

