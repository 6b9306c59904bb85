// Point images: the lens-equation solver on the tiled image plane, time delays, the re-solve
// under clump substructure and the current-source switch.
#include "imageplane/images.h"

#include <algorithm>
#include <cmath>
#include <optional>
#include <vector>

#include "imageplane/catalog.h"
#include "imageplane/critcurves.h"
#include "imageplane/finite_source.h"
#include "imageplane/grid.h"
#include "imageplane/gridcheck.h"
#include "imageplane/source_models.h"
#include "models/component.h"
#include "models/evaluator.h"
#include "models/substructure.h"
#include "numeric/random.h"
#include "numeric/sort.h"
#include "shell/fatal.h"
#include "shell/settings.h"

CurrentSourceState TWcursrc;

namespace {

constexpr int kAttrU = 0, kAttrV = 1, kAttrMu = 2, kAttrPar = 3;
// Depth of the subdivision of tiles that straddle a critical curve: a tile is searched
// down to subtriangles 2^-kMaxDepth of its size.
constexpr int kMaxDepth = 5;
// Levels by which a subtriangle on one side of a critical curve is split further when its
// linear image misses the source (see near_caustic).
constexpr int kOneSideLevels = 2;
// Newton steps of one round.
constexpr int kNewtonSteps = 100;
// Rounds of an extra near-caustic start: from the start point, then from the best of the
// random points of its subtriangle.
constexpr int kExtraRounds = 3;
// Newton steps of an extra near-caustic start (roots there converge within a few tens).
constexpr int kNearSteps = 40;

// The lens at one point.
struct Lens {
  double phi = 0, ax = 0, ay = 0, xx = 0, yy = 0, xy = 0, yx = 0;
  void at(double x, double y) { potdefmag(x, y, phi, ax, ay, xx, yy, xy, yx); }
  double det() const { return (1.0 - xx) * (1.0 - yy) - xy * yx; }
};

// A region searched for one image: a triangle of the image plane (a mesh tile, or a
// subtriangle of a tile that straddles a critical curve), or a square (pert_img).
struct Candidate {
  double x[3] = {}, y[3] = {};  // the tile's vertices (image plane)
  int par[3] = {};              // parities at the tile's vertices
  double area = 0;              // signed image-plane area of the tile
  double x0 = 0, y0 = 0;        // start point
  int tri = -1;                 // mesh triangle (-1 for a square)
  // Extra candidate of the near-caustic search: one round, no notes. (rx, ry) is the
  // subtriangle the start was taken from and side the sign of det A of the image sought
  // there (0: either) and side_par the parity sought; it is skipped when an image found
  // earlier already lies there.
  bool extra = false;
  double rx[3] = {}, ry[3] = {};
  int side = 0, side_par = 0;
  // Square of pert_img about (x0, y0) with half-width half; par[0] the parity to keep.
  bool square = false;
  double half = 0;
};

// One solved candidate: the row of the image list, and whether it was accepted.
struct Solution {
  double row[10] = {};
  bool ok = false;
};

double tri_area(double x1, double y1, double x2, double y2, double x3, double y3) {
  return 0.5 * ((x2 - x1) * (y3 - y1) - (x3 - x1) * (y2 - y1));
}

// Barycentric coordinates of (px, py) in the triangle (signed; they sum to 1).
void barycentric(const double* x, const double* y, double a, double px, double py, double l[3]) {
  if (a == 0.0) {
    l[0] = l[1] = l[2] = 1.0 / 3.0;
    return;
  }
  l[0] = tri_area(px, py, x[1], y[1], x[2], y[2]) / a;
  l[1] = tri_area(x[0], y[0], px, py, x[2], y[2]) / a;
  l[2] = 1.0 - l[0] - l[1];
}

// Acceptance measure: 3 sum (l_i - 1/3)^2 over the barycentric coordinates: 0 at the
// centroid, 0.5 at an edge's midpoint, 2 at a vertex. For a square, 2 on its boundary.
double measure(const Candidate& c, double px, double py) {
  if (c.square) {
    const double m = std::max(std::fabs(px - c.x0), std::fabs(py - c.y0)) / c.half;
    return 2.0 * m * m;
  }
  double l[3];
  barycentric(c.x, c.y, c.area, px, py, l);
  const double t = 1.0 / 3.0;
  return 3.0 * ((l[0] - t) * (l[0] - t) + (l[1] - t) * (l[1] - t) + (l[2] - t) * (l[2] - t));
}

// Newton step s solving J s = -F at the lens L (J = A of the lens mapping), by an LU
// decomposition with partial pivoting (rows scaled by their largest element, as the
// general decomposition does). False for a Jacobian with a zero row.
bool newton_step(const Lens& L, double f1, double f2, double& s1, double& s2) {
  double a11 = 1.0 - L.xx, a12 = -L.xy, a21 = -L.yx, a22 = 1.0 - L.yy;
  double b1 = -f1, b2 = -f2;
  const double m1 = std::max(std::fabs(a11), std::fabs(a12)), m2 = std::max(std::fabs(a21), std::fabs(a22));
  if (m1 == 0.0 || m2 == 0.0) return false;
  if (std::fabs(a21) / m2 > std::fabs(a11) / m1) {
    std::swap(a11, a21);
    std::swap(a12, a22);
    std::swap(b1, b2);
  }
  if (a11 == 0.0) a11 = 1e-20;
  const double l21 = a21 / a11;
  double u22 = a22 - l21 * a12;
  if (u22 == 0.0) u22 = 1e-20;
  s2 = (b2 - l21 * b1) / u22;
  s1 = (b1 - a12 * s2) / a11;
  return true;
}

// Newton iteration on the lens equation from (x, y) for at most maxit steps. Converged:
// a step no longer than xtol followed by a residual no longer than xtol (a point where the
// Jacobian blows up, such as a point mass, gives small steps but no root). The converged
// point then takes one more step when that lowers the residual: where the map bends
// sharply (near a galaxy's centre) the residual after a step of xtol is still well above
// rounding. A Jacobian with a zero row, or a step that leaves the finite numbers, ends the
// round as a failure. On success L holds the lens at the returned point.
bool newton(double& x, double& y, double u, double v, int maxit, Lens& L) {
  const double tol2 = settings.xtol * settings.xtol;
  bool small_step = false;
  for (int it = 0;; ++it) {
    L.at(x, y);
    const double f1 = x - L.ax - u, f2 = y - L.ay - v;
    if (!std::isfinite(f1) || !std::isfinite(f2)) return false;
    const double r2 = f1 * f1 + f2 * f2;
    if (small_step && r2 <= tol2) {
      double s1, s2;
      if (r2 > 0.0 && newton_step(L, f1, f2, s1, s2)) {
        Lens P;
        const double px = x + s1, py = y + s2;
        P.at(px, py);
        const double g1 = px - P.ax - u, g2 = py - P.ay - v;
        if (g1 * g1 + g2 * g2 < r2) {
          x = px;
          y = py;
          L = P;
        }
      }
      return true;
    }
    if (it == maxit) return false;
    double s1, s2;
    if (!newton_step(L, f1, f2, s1, s2)) return false;
    x += s1;
    y += s2;
    if (!std::isfinite(x) || !std::isfinite(y)) return false;
    small_step = s1 * s1 + s2 * s2 <= tol2;
  }
}

void print_search_note(const char* title, const Candidate& c, double u, double v, bool with_image, double px,
                       double py) {
  note(title);
  qprintf("  source %13.6e %13.6e\n", u, v);
  if (with_image) qprintf("  image  %13.6e %13.6e\n", px, py);
  if (c.square) {
    const double h = c.half;
    qprintf("  tile   %13.6e %13.6e\n", c.x0 - h, c.y0 - h);
    qprintf("  tile   %13.6e %13.6e\n", c.x0 + h, c.y0 - h);
    qprintf("  tile   %13.6e %13.6e\n", c.x0 - h, c.y0 + h);
    qprintf("  tile   %13.6e %13.6e\n", c.x0 + h, c.y0 + h);
  } else {
    for (int k = 0; k < 3; ++k) qprintf("  tile   %13.6e %13.6e\n", c.x[k], c.y[k]);
  }
}

// Newton solve of one candidate (src2img). Rounds of up to 100 Newton steps, the first
// from the candidate's start point, each further one from the best of m random points of
// the region (smallest residual); a converged point inside the region (measure <= 2), or
// outside it with the parity of one of the region's vertices, is accepted. Maxima of the
// time-delay surface are refused while omitcore > 0.
bool src2img(const Candidate& c, double u, double v, Solution& out) {
  const bool verbose_notes = !quietflag && settings.verbose <= 1;
  const double search = settings.imgsearch > 0 ? settings.imgsearch : 0.0;
  const int npts = static_cast<int>(std::sqrt(search) * 1.000001) + 1;
  const int m = c.extra ? std::min(npts, kExtraRounds) : npts;
  const int maxit = c.extra ? kNearSteps : kNewtonSteps;
  // An extra candidate's first root outside the tile of another parity than the one
  // sought: an image all the same, kept when no round finds a better one.
  bool have_other = false;
  double otherx = 0, othery = 0;
  Lens other;
  // Restarts draw from their own record, started from -|seed| at each call: the same
  // points every time, and no other stream is reset by them.
  std::optional<RandomStream> restarts;

  double best = 1e12;
  bool have = false, accepted = false;
  double ansx = 0, ansy = 0;
  Lens ans;
  double x = c.x0, y = c.y0;
  for (int round = 1; round <= m && !accepted; ++round) {
    Lens L;
    double px = x, py = y;
    if (newton(px, py, u, v, maxit, L)) {
      const double q = measure(c, px, py);
      if (q < best) {
        best = q;
        have = true;
        ansx = px;
        ansy = py;
        ans = L;
      }
      if (q <= 2.0) {
        accepted = true;
      } else if (c.extra) {
        // A root outside the tile is an image all the same (found by its own tiles too;
        // duplicates collapse when the images are merged). One of the parity sought is
        // taken at once; after one of another parity the search goes on from the
        // subtriangle: near a galaxy's centre the iteration easily runs off to another
        // image.
        if (lens_parity(L.xx, L.yy, L.xy, L.yx) == c.side_par) {
          accepted = true;
          have = true;
          ansx = px;
          ansy = py;
          ans = L;
        } else if (!have_other) {
          have_other = true;
          otherx = px;
          othery = py;
          other = L;
        }
      } else {
        const int p = lens_parity(L.xx, L.yy, L.xy, L.yx);
        const int nv = c.square ? 1 : 3;
        for (int k = 0; k < nv; ++k)
          if (p == c.par[k]) accepted = true;
        if (accepted) {
          have = true;
          ansx = px;
          ansy = py;
          ans = L;
          if (q > 10.0 && verbose_notes) print_search_note("found image outside tile", c, u, v, true, px, py);
        }
      }
    }
    if (accepted || round == m) break;
    // Restart from the best of npts random points of the region (an extra candidate's
    // own subtriangle).
    const double* rx = c.extra ? c.rx : c.x;
    const double* ry = c.extra ? c.ry : c.y;
    double bestf = 1e300;
    if (!restarts) restarts.emplace(settings.seed);
    for (int k = 0; k < npts; ++k) {
      double a = ran2(*restarts), b = ran2(*restarts), qx, qy;
      if (c.square) {
        qx = c.x0 + (2.0 * a - 1.0) * c.half;
        qy = c.y0 + (2.0 * b - 1.0) * c.half;
      } else {
        if (a + b > 1.0) {
          a = 1.0 - a;
          b = 1.0 - b;
        }
        qx = a * rx[0] + b * rx[1] + (1.0 - a - b) * rx[2];
        qy = a * ry[0] + b * ry[1] + (1.0 - a - b) * ry[2];
      }
      Lens R;
      R.at(qx, qy);
      const double f1 = qx - R.ax - u, f2 = qy - R.ay - v, f = f1 * f1 + f2 * f2;
      if (f < bestf) {
        bestf = f;
        x = qx;
        y = qy;
      }
    }
  }
  if (!accepted && c.extra && have_other) {
    accepted = have = true;
    ansx = otherx;
    ansy = othery;
    ans = other;
  }
  if (!accepted && !c.extra && verbose_notes) print_search_note("image search did not converge", c, u, v, false, 0, 0);
  if (!have) return false;
  const double det = ans.det();
  double* r = out.row;
  r[1] = ansx;
  r[2] = ansy;
  r[3] = 1.0 / det;
  r[4] = ans.phi;
  r[5] = ans.xx;
  r[6] = ans.yy;
  r[7] = ans.xy;
  r[8] = ans.yx;
  r[9] = 1.0;
  if (accepted && settings.omitcore > 0.0 && lens_parity(ans.xx, ans.yy, ans.xy, ans.yx) == -2) accepted = false;
  return accepted;
}

// ---------------------------------------------------------------------------------------
// Candidates

struct Vtx {
  double x = 0, y = 0, u = 0, v = 0, det = 0;
  int par = 0;  // parity
};

struct Search {
  double u = 0, v = 0;  // the source
  double f = 1;         // model-wide scale factor
  bool scaled = false;  // f differs from 1
  std::vector<Candidate> primary, extra;
  // Scaled search: det A and parity of each mesh vertex under the current scale (det NaN:
  // not yet).
  std::vector<double> vdet;
  std::vector<int> vpar;
};

bool box_holds(double umin, double umax, double vmin, double vmax, double margin, double u, double v) {
  return u >= umin - margin && u <= umax + margin && v >= vmin - margin && v <= vmax + margin;
}

// The start point in a triangle whose source-plane image holds the source: the point of
// the same barycentric coordinates (the linear inverse), or the vertex the source sits on.
void linear_start(const Vtx* p[3], int code, double u, double v, double& x0, double& y0) {
  if (code >= 1 && code <= 3) {
    x0 = p[code - 1]->x;
    y0 = p[code - 1]->y;
    return;
  }
  const double us[3] = {p[0]->u, p[1]->u, p[2]->u}, vs[3] = {p[0]->v, p[1]->v, p[2]->v};
  const double a = tri_area(us[0], vs[0], us[1], vs[1], us[2], vs[2]);
  double l[3];
  barycentric(us, vs, a, u, v, l);
  x0 = l[0] * p[0]->x + l[1] * p[1]->x + l[2] * p[2]->x;
  y0 = l[0] * p[0]->y + l[1] * p[1]->y + l[2] * p[2]->y;
}

Vtx midpoint(const Vtx& a, const Vtx& b) {
  Vtx m;
  m.x = 0.5 * (a.x + b.x);
  m.y = 0.5 * (a.y + b.y);
  Lens L;
  L.at(m.x, m.y);
  m.u = m.x - L.ax;
  m.v = m.y - L.ay;
  m.det = L.det();
  m.par = lens_parity(L.xx, L.yy, L.xy, L.yx);
  return m;
}

bool straddles(const Vtx& a, const Vtx& b, const Vtx& c) {
  const bool pa = a.det > 0.0;
  return pa != (b.det > 0.0) || pa != (c.det > 0.0);
}

void add_extra(Search& s, const Candidate& tile, const Vtx* r[3], double x0, double y0, int side, int par) {
  Candidate c = tile;
  c.extra = true;
  c.x0 = x0;
  c.y0 = y0;
  c.side = side;
  c.side_par = par;
  for (int k = 0; k < 3; ++k) {
    c.rx[k] = r[k]->x;
    c.ry[k] = r[k]->y;
  }
  s.extra.push_back(c);
}

bool box_holds_widened(const Search& s, const Vtx* const k[3]) {
  double umin = k[0]->u, umax = umin, vmin = k[0]->v, vmax = vmin;
  for (int j = 1; j < 3; ++j) {
    umin = std::min(umin, k[j]->u);
    umax = std::max(umax, k[j]->u);
    vmin = std::min(vmin, k[j]->v);
    vmax = std::max(vmax, k[j]->v);
  }
  const double g = kStraddleMargin * std::max(umax - umin, vmax - vmin);
  return box_holds(umin, umax, vmin, vmax, g, s.u, s.v);
}

// Search of a triangle that straddles a critical curve and whose (widened) source box
// holds the source: it is split into four, down to kMaxDepth levels. Subtriangles on one
// side of the curve whose linear image holds the source give starts at the linear
// inverse; at the deepest level a straddling subtriangle gives one start on each side of
// the curve (its vertex nearest the source in the source plane), from which the Newton
// iteration reaches the image on that side of a fold. A subtriangle on one side of the
// curve whose widened box holds the source is split further too, by up to kOneSideLevels
// levels: next to the curve the map bends more than a coarse subtriangle's linear image
// shows, so that its image may lie in it although its linear image misses the source (a
// strongly flattened lens), and on a coarse grid the curve may bulge into it between its
// corners, with an image pair inside although its linear image holds the source once.
void near_caustic(Search& s, const Candidate& tile, const Vtx& a, const Vtx& b, const Vtx& c, int depth,
                  int oneside = kOneSideLevels) {
  if (depth >= kMaxDepth) {
    if (!straddles(a, b, c)) return;
    const Vtx* p[3] = {&a, &b, &c};
    for (int side = -1; side <= 1; side += 2) {
      const Vtx* best = nullptr;
      double bd = 1e300;
      for (const Vtx* q : p) {
        if ((q->det > 0.0) != (side > 0)) continue;
        const double d = (q->u - s.u) * (q->u - s.u) + (q->v - s.v) * (q->v - s.v);
        if (d < bd) {
          bd = d;
          best = q;
        }
      }
      if (best) add_extra(s, tile, p, best->x, best->y, side, best->par);
    }
    return;
  }
  const Vtx ab = midpoint(a, b), bc = midpoint(b, c), ca = midpoint(c, a);
  const Vtx* kids[4][3] = {{&a, &ab, &ca}, {&ab, &b, &bc}, {&ca, &bc, &c}, {&ab, &bc, &ca}};
  for (auto& k : kids) {
    if (straddles(*k[0], *k[1], *k[2])) {
      if (box_holds_widened(s, k)) near_caustic(s, tile, *k[0], *k[1], *k[2], depth + 1);
    } else {
      const int code = intriangle(k[0]->u, k[0]->v, k[1]->u, k[1]->v, k[2]->u, k[2]->v, s.u, s.v);
      if (code != 0) {
        double x0, y0;
        linear_start(k, code, s.u, s.v, x0, y0);
        add_extra(s, tile, k, x0, y0, k[0]->det > 0.0 ? 1 : -1, k[0]->par);
      }
      if (oneside > 0 && (code != 0 || box_holds_widened(s, k)))
        near_caustic(s, tile, *k[0], *k[1], *k[2], depth + 1, oneside - 1);
    }
  }
}

// Range of (1 - f) x + f u over x in [x0, x1] and u in [u0, u1].
void scaled_range(double f, double x0, double x1, double u0, double u1, double& lo, double& hi) {
  const double g = 1.0 - f;
  lo = (g >= 0.0 ? g * x0 : g * x1) + (f >= 0.0 ? f * u0 : f * u1);
  hi = (g >= 0.0 ? g * x1 : g * x0) + (f >= 0.0 ? f * u1 : f * u0);
}

bool incritband(int t) {
  if (settings.omitcrit <= 0.0) return false;
  const triangulateio& m = TWtri.out;
  const int na = m.numberofpointattributes;
  for (int k = 0; k < 3; ++k)
    if (!(std::fabs(m.pointattributelist[static_cast<size_t>(m.trianglelist[3 * t + k]) * na + kAttrMu]) >
          settings.omitcrit))
      return false;
  return true;
}

double vertex_det_scaled(Search& s, int vtx) {
  double& d = s.vdet[static_cast<size_t>(vtx)];
  if (std::isnan(d)) {
    Lens L;
    L.at(TWtri.out.pointlist[2 * vtx], TWtri.out.pointlist[2 * vtx + 1]);
    d = L.det();
    if (std::isnan(d)) d = 0.0;
    s.vpar[static_cast<size_t>(vtx)] = lens_parity(L.xx, L.yy, L.xy, L.yx);
  }
  return d;
}

// One tile. A tile that straddles a critical curve is searched by subdivision
// (near_caustic); any other tile is a candidate when its source triangle holds the source
// (the position codes of intriangle), and a tile next to a fold whose widened box holds
// the source is tried from the extrapolated linear inverse even when its triangle does not.
// Under omitcore the tiles at a galaxy's core are searched like the others: only the
// maxima found (src2img) are refused, so that the images their search reaches elsewhere
// (past the grid's edge, for one) are found as without omitcore.
void process_tile(Search& s, int t) {
  if (incritband(t)) return;
  const triangulateio& m = TWtri.out;
  const int na = m.numberofpointattributes;
  const int* tv = &m.trianglelist[3 * static_cast<size_t>(t)];
  Vtx w[3];
  Candidate tile;
  tile.tri = t;
  for (int k = 0; k < 3; ++k) {
    const size_t i = static_cast<size_t>(tv[k]);
    w[k].x = m.pointlist[2 * i];
    w[k].y = m.pointlist[2 * i + 1];
    w[k].u = m.pointattributelist[i * na + kAttrU];
    w[k].v = m.pointattributelist[i * na + kAttrV];
    if (s.scaled) {
      // Source positions under the scale factor: x - f (x - u).
      w[k].u = w[k].x - s.f * (w[k].x - w[k].u);
      w[k].v = w[k].y - s.f * (w[k].y - w[k].v);
    }
    w[k].det = 1.0 / m.pointattributelist[i * na + kAttrMu];
    w[k].par = static_cast<int>(m.pointattributelist[i * na + kAttrPar]);
    tile.x[k] = w[k].x;
    tile.y[k] = w[k].y;
    tile.par[k] = static_cast<int>(m.pointattributelist[i * na + kAttrPar]);
  }
  tile.area = tri_area(w[0].x, w[0].y, w[1].x, w[1].y, w[2].x, w[2].y);

  // Fold kind of the tile under the current scale, and whether its widened box holds
  // the source.
  unsigned char fold;
  if (!s.scaled) {
    fold = TWcat.fold[static_cast<size_t>(t)];
    if (fold != 0) {
      const double* b = &TWcat.box[4 * static_cast<size_t>(t)];
      if (!box_holds(b[0], b[1], b[2], b[3], 0.0, s.u, s.v)) return;
    }
  } else {
    // The scaled positions x - f (x - u) = (1 - f) x + f u of the points of the tile's
    // listing box (which holds more than the corners for a folded tile) lie in the box
    // (1 - f) [x range] + f [u range].
    const double* b = &TWcat.box[4 * static_cast<size_t>(t)];
    double xmin = w[0].x, xmax = xmin, ymin = w[0].y, ymax = ymin;
    for (int k = 1; k < 3; ++k) {
      xmin = std::min(xmin, w[k].x);
      xmax = std::max(xmax, w[k].x);
      ymin = std::min(ymin, w[k].y);
      ymax = std::max(ymax, w[k].y);
    }
    double umin, umax, vmin, vmax;
    scaled_range(s.f, xmin, xmax, b[0], b[1], umin, umax);
    scaled_range(s.f, ymin, ymax, b[2], b[3], vmin, vmax);
    const double g = kStraddleMargin * std::max(umax - umin, vmax - vmin);
    if (!box_holds(umin, umax, vmin, vmax, g, s.u, s.v)) return;
    for (int k = 0; k < 3; ++k) {
      w[k].det = vertex_det_scaled(s, tv[k]);
      w[k].par = s.vpar[static_cast<size_t>(tv[k])];
    }
    fold = straddles(w[0], w[1], w[2]) ? kFoldStraddle : 0;
    for (int k = 0; k < 3 && fold == 0; ++k) {
      const bool pk = w[k].det > 0.0;
      for (int j = TWcat.vstart[static_cast<size_t>(tv[k])]; j < TWcat.vstart[static_cast<size_t>(tv[k]) + 1]; ++j)
        if ((vertex_det_scaled(s, TWcat.vadj[static_cast<size_t>(j)]) > 0.0) != pk) {
          fold = kFoldNext;
          break;
        }
    }
  }
  if (fold == kFoldStraddle) {
    // The linear image of a folded tile tells little about where its images are: the
    // subdivision searches it instead (and finds the image pairs of the fold).
    near_caustic(s, tile, w[0], w[1], w[2], 0);
    return;
  }
  const Vtx* p[3] = {&w[0], &w[1], &w[2]};
  const int code = intriangle(w[0].u, w[0].v, w[1].u, w[1].v, w[2].u, w[2].v, s.u, s.v);
  if (code != 0) {
    Candidate c = tile;
    linear_start(p, code, s.u, s.v, c.x0, c.y0);
    s.primary.push_back(c);
  }
  if (fold == kFoldNext) {
    // Next to a fold the tile's true image departs from its linear one by more than the
    // separation of the image pairs there: a source just outside the linear image may
    // still have its image in the tile, and on a coarse grid the critical curve may even
    // bulge into the tile between its vertices, with an image pair inside. The
    // subdivision searches it (its starts are skipped where the tile's own search has
    // already found an image of their side).
    near_caustic(s, tile, w[0], w[1], w[2], 0);
  }
}

// One cap beyond the outer ring of a polar main grid (see catalog.h): searched like a tile
// whose corners are the cap's three points.
void process_cap(Search& s, int k) {
  const GridCap& cap = TWcat.caps[static_cast<size_t>(k)];
  Vtx w[3];
  Candidate tile;
  bool all_bright = true;
  for (int q = 0; q < 3; ++q) {
    w[q].x = cap.x[q];
    w[q].y = cap.y[q];
    w[q].u = cap.u[q];
    w[q].v = cap.v[q];
    w[q].det = cap.det[q];
    w[q].par = cap.par[q];
    tile.x[q] = w[q].x;
    tile.y[q] = w[q].y;
    tile.par[q] = cap.par[q];
    all_bright = all_bright && std::fabs(1.0 / cap.det[q]) > settings.omitcrit;
  }
  if (settings.omitcrit > 0.0 && all_bright) return;
  if (!s.scaled) {
    if (!box_holds(cap.box[0], cap.box[1], cap.box[2], cap.box[3], 0.0, s.u, s.v)) return;
  } else {
    double umin = 1e300, umax = -1e300, vmin = 1e300, vmax = -1e300;
    for (int q = 0; q < 3; ++q) {
      w[q].u = w[q].x - s.f * (w[q].x - w[q].u);
      w[q].v = w[q].y - s.f * (w[q].y - w[q].v);
      umin = std::min(umin, w[q].u);
      umax = std::max(umax, w[q].u);
      vmin = std::min(vmin, w[q].v);
      vmax = std::max(vmax, w[q].v);
    }
    const double g = kStraddleMargin * std::max(umax - umin, vmax - vmin);
    if (!box_holds(umin, umax, vmin, vmax, g, s.u, s.v)) return;
    for (int q = 0; q < 3; ++q) {
      Lens L;
      L.at(w[q].x, w[q].y);
      w[q].det = L.det();
      w[q].par = lens_parity(L.xx, L.yy, L.xy, L.yx);
    }
  }
  tile.area = tri_area(w[0].x, w[0].y, w[1].x, w[1].y, w[2].x, w[2].y);
  if (straddles(w[0], w[1], w[2])) {
    near_caustic(s, tile, w[0], w[1], w[2], 0);
    return;
  }
  const Vtx* p[3] = {&w[0], &w[1], &w[2]};
  const int code = intriangle(w[0].u, w[0].v, w[1].u, w[1].v, w[2].u, w[2].v, s.u, s.v);
  if (code != 0) {
    Candidate c = tile;
    linear_start(p, code, s.u, s.v, c.x0, c.y0);
    s.primary.push_back(c);
  }
}

// True when an accepted image of det sign side (0: any) lies in the triangle (rx, ry).
bool region_has_image(const Candidate& c, const std::vector<Solution>& sols) {
  const double a = tri_area(c.rx[0], c.ry[0], c.rx[1], c.ry[1], c.rx[2], c.ry[2]);
  for (const Solution& s : sols) {
    if (!s.ok) continue;
    if (c.side != 0 && (s.row[3] > 0.0) != (c.side > 0)) continue;
    double l[3];
    barycentric(c.rx, c.ry, a, s.row[1], s.row[2], l);
    if (l[0] >= -1e-9 && l[1] >= -1e-9 && l[2] >= -1e-9) return true;
  }
  return false;
}

// Solves the candidates, then keeps one row per image (refine_img). A solution within
// xtol of an earlier solution is a duplicate of it (tiles sharing an edge or a vertex
// find the same image) and is dropped. A distinct image within seeing of an earlier kept
// image is merged into it: |mu|-weighted means of position, delay and second derivatives,
// |mu| summed with the sign of the earlier one. Duplicates are dropped before merging so
// that an image found by several tiles is counted once in a merged row.
void refine_img(const std::vector<Candidate>& cands, double u, double v, int& n, Mat& list) {
  const size_t nc = cands.size();
  std::vector<Solution> sols(nc);
  for (size_t j = 0; j < nc; ++j) {
    if (cands[j].extra && region_has_image(cands[j], sols)) continue;
    sols[j].ok = src2img(cands[j], u, v, sols[j]);
  }
  const double xtol = settings.xtol, seeing = settings.seeing;
  for (size_t j = 0; j < nc; ++j) {
    if (!sols[j].ok) continue;
    for (size_t k = 0; k < j; ++k)
      if (sols[k].ok && std::hypot(sols[k].row[1] - sols[j].row[1], sols[k].row[2] - sols[j].row[2]) <= xtol) {
        sols[j].ok = false;
        break;
      }
  }

  // Weighted sums of merged rows: columns 1, 2, 4..8 times |mu|, column 3 the signed
  // total; column 4 holds the Fermat delay tau.
  struct Acc {
    double w[10];
    bool merged;
  };
  std::vector<Acc> acc(nc);
  std::vector<size_t> kept;
  for (size_t j = 0; j < nc; ++j) {
    if (!sols[j].ok) continue;
    const double* r = sols[j].row;
    const double am = std::fabs(r[3]);
    const double tau = ((r[1] - u) * (r[1] - u) + (r[2] - v) * (r[2] - v)) / 2.0 - r[4];
    Acc& a = acc[j];
    a.merged = false;
    for (int k = 1; k <= 8; ++k) a.w[k] = r[k] * am;
    a.w[3] = r[3];
    a.w[4] = tau * am;
    if (seeing > xtol) {
      // Nearest earlier image (its current weighted mean), the first of equal distances.
      double dbest = 1e8;
      size_t kbest = nc;
      for (size_t k : kept) {
        const double wk = std::fabs(acc[k].w[3]);
        const double d = std::hypot(acc[k].w[1] / wk - r[1], acc[k].w[2] / wk - r[2]);
        if (d < dbest) {
          dbest = d;
          kbest = k;
        }
      }
      if (kbest != nc && dbest <= seeing) {
        Acc& b = acc[kbest];
        for (int k : {1, 2, 4, 5, 6, 7, 8}) b.w[k] += a.w[k];
        b.w[3] = (b.w[3] >= 0 ? 1.0 : -1.0) * (std::fabs(b.w[3]) + am);
        b.merged = true;
        continue;
      }
    }
    kept.push_back(j);
  }

  n = static_cast<int>(kept.size());
  list.clear();
  if (n == 0) return;
  list.reset(1, n, 1, 9);
  for (int i = 1; i <= n; ++i) {
    const size_t j = kept[static_cast<size_t>(i - 1)];
    const Acc& a = acc[j];
    if (!a.merged) {
      for (int k = 1; k <= 9; ++k) list[i][k] = sols[j].row[k];
      continue;
    }
    const double wk = std::fabs(a.w[3]);
    const double x = a.w[1] / wk, y = a.w[2] / wk;
    list[i][1] = x;
    list[i][2] = y;
    list[i][3] = a.w[3];
    list[i][4] = ((x - u) * (x - u) + (y - v) * (y - v)) / 2.0 - a.w[4] / wk;
    for (int k = 5; k <= 8; ++k) list[i][k] = a.w[k] / wk;
    list[i][9] = 1.0;
  }
}

}  // namespace

// ---------------------------------------------------------------------------------------

int intriangle(double u1, double v1, double u2, double v2, double u3, double v3, double qu, double qv) {
  const double xt2 = settings.xtol * settings.xtol;
  auto d2 = [&](double a, double b) { return (a - qu) * (a - qu) + (b - qv) * (b - qv); };
  if (d2(u1, v1) < xt2) return 1;
  if (d2(u2, v2) < xt2) return 2;
  if (d2(u3, v3) < xt2) return 3;
  auto sgn = [](double c) { return std::fabs(c) < 1e-12 ? 0 : (c > 0 ? 1 : -1); };
  const int s12 = sgn((u1 - qu) * (v2 - qv) - (v1 - qv) * (u2 - qu));
  const int s23 = sgn((u2 - qu) * (v3 - qv) - (v2 - qv) * (u3 - qu));
  const int s31 = sgn((u3 - qu) * (v1 - qv) - (v3 - qv) * (u1 - qu));
  if (s12 != 0 && s12 == s23 && s23 == s31) return 9;
  if (s12 == 0 && s23 != 0 && s23 == s31) return -3;
  if (s23 == 0 && s12 != 0 && s12 == s31) return -1;
  if (s31 == 0 && s12 != 0 && s12 == s23) return -2;
  return 0;
}

bool ingalcore(int t) {
  if (settings.omitcore <= 0.0) return false;
  const triangulateio& m = TWtri.out;
  const int na = m.numberofpointattributes;
  for (int k = 0; k < 3; ++k)
    if (m.pointattributelist[static_cast<size_t>(m.trianglelist[3 * t + k]) * na + kAttrPar] == -2.0) return true;
  return false;
}

void setfinsrc(int i, int move, double u, double v) {
  if (i < 1 || i > TWsrc.Nsource)
    fatal(strformat("source index %d is out of range (1 to %d)", i, TWsrc.Nsource));
  settings.isource = i;
  if (move != 0) {
    TWsrc.srcparms[i][2] = u;
    TWsrc.srcparms[i][3] = v;
  }
  TWcursrc.usefinsrc = TWsrc.srcID[i] == "ptsrc" ? 0 : 1;
}

void find_img(int& n, Mat& list, double u, double v) {
  setfinsrc(settings.isource, 1, u, v);
  if (TWcursrc.usefinsrc == 0) {
    find_img_ptsrc(n, list, u, v);
  } else if (TWcursrc.usefinsrc == 1) {
    find_img_finsrc(n, list, u, v);
  } else {
    fatal("unknown value of usefinsrc flag");
  }
}

void find_img_ptsrc(int& n, Mat& list, double u, double v) {
  n = 0;
  list.clear();
  Search s;
  s.u = u;
  s.v = v;
  s.f = TWmod.scale;
  s.scaled = std::fabs(s.f - 1.0) > 1e-6;
  const triangulateio& m = TWtri.out;
  const SourceTileCatalog& cat = TWcat;
  const bool usable = cat.built && cat.ntri == m.numberoftriangles && cat.nvert == m.numberofpoints &&
                      m.numberofpointattributes > kAttrPar;

  // Range test: the search range of the catalogue (the source range of the grid nodes,
  // widened to the caustics and the caps beyond the outer ring), or under a scale factor
  // the range of the scaled source positions of the mesh vertices, critical points and
  // cap points.
  double umin = TWgrid.umin, umax = TWgrid.umax, vmin = TWgrid.vmin, vmax = TWgrid.vmax;
  if (!s.scaled && usable) {
    umin = std::min(umin, cat.su0);
    umax = std::max(umax, cat.su1);
    vmin = std::min(vmin, cat.sv0);
    vmax = std::max(vmax, cat.sv1);
  }
  if (s.scaled && usable) {
    umin = vmin = 1e300;
    umax = vmax = -1e300;
    const int na = m.numberofpointattributes;
    for (int i = 0; i < m.numberofpoints; ++i) {
      const double x = m.pointlist[2 * i], y = m.pointlist[2 * i + 1];
      const double su = x - s.f * (x - m.pointattributelist[static_cast<size_t>(i) * na + kAttrU]);
      const double sv = y - s.f * (y - m.pointattributelist[static_cast<size_t>(i) * na + kAttrV]);
      umin = std::min(umin, su);
      umax = std::max(umax, su);
      vmin = std::min(vmin, sv);
      vmax = std::max(vmax, sv);
    }
    auto widen = [&](double x, double y, double pu, double pv) {
      const double su = x - s.f * (x - pu), sv = y - s.f * (y - pv);
      if (!std::isfinite(su) || !std::isfinite(sv)) return;
      umin = std::min(umin, su);
      umax = std::max(umax, su);
      vmin = std::min(vmin, sv);
      vmax = std::max(vmax, sv);
    };
    for (int k = 1; k <= TWcrit.ncrit; ++k) {
      const double* cp = &TWcrit.crit[k][1];
      widen(cp[0], cp[1], cp[2], cp[3]);
    }
    for (const GridCap& cap : cat.caps)
      for (int q = 0; q < 3; ++q) widen(cap.x[q], cap.y[q], cap.u[q], cap.v[q]);
  }
  if (!(u >= umin && u <= umax && v >= vmin && v <= vmax)) {
    static RepeatedMessage outside_range;
    if (outside_range.first())
      outside_range.warn(strformat("source position %e %e is outside known source range; the grid may not hold every image: %s",
                                   u, v, grid_advice().c_str()));
    return;
  }
  if (!usable) {
    warning("the source catalogue does not match the current grid; no images found");
    return;
  }

  if (!s.scaled) {
    const CatCell cell =
        cat_cell_lists(cat_cell(u, cat.cat_u0, cat.cat_du, cat.ncat), cat_cell(v, cat.cat_v0, cat.cat_dv, cat.ncat));
    for (const int* t = cell.tile; t != cell.tile_end; ++t) process_tile(s, *t);
    for (const int* k = cell.cap; k != cell.cap_end; ++k) process_cap(s, *k);
  } else {
    // Under a scale factor every tile moves by (1 - f) times its deflection, so any tile
    // may reach the source: all are tested with their scaled source triangles.
    cat_vertex_adjacency();
    s.vdet.assign(static_cast<size_t>(m.numberofpoints), NAN);
    s.vpar.assign(static_cast<size_t>(m.numberofpoints), -1);
    for (int t = 0; t < m.numberoftriangles; ++t) process_tile(s, t);
    for (int k = 0; k < static_cast<int>(cat.caps.size()); ++k) process_cap(s, k);
  }
  if (s.primary.empty() && s.extra.empty()) return;
  std::vector<Candidate> cands;
  cands.reserve(s.primary.size() + s.extra.size());
  cands.insert(cands.end(), s.primary.begin(), s.primary.end());
  cands.insert(cands.end(), s.extra.begin(), s.extra.end());
  refine_img(cands, u, v, n, list);
}

// ---------------------------------------------------------------------------------------

void pot2tdel(int n, Mat& list, int shift, double u, double v) {
  if (n <= 0) return;
  const double g = std::fabs(settings.tscale - 1.0) > 0.001 ? settings.tscale / settings.hval : 1.0;
  for (int i = 1; i <= n; ++i) {
    const double dx = list[i][1] - u, dy = list[i][2] - v;
    list[i][4] = ((dx * dx + dy * dy) / 2.0 - list[i][4]) * g;
  }
  if (shift != 0) {
    double tmin = list[1][4];
    for (int i = 2; i <= n; ++i) tmin = std::min(tmin, list[i][4]);
    for (int i = 1; i <= n; ++i) list[i][4] -= tmin;
  }
  Vec key(1, n);
  for (int i = 1; i <= n; ++i) key[i] = list[i][4];
  LVec idx(1, n);
  indexx(n, key, idx);
  Mat sorted(1, n, 1, 9);
  for (int i = 1; i <= n; ++i)
    for (int k = 1; k <= 9; ++k) sorted[i][k] = list[idx[i]][k];
  list = std::move(sorted);
}

void tdel2pot(int n, Mat& list, double u, double v) {
  if (n <= 0) return;
  const double g = std::fabs(settings.tscale - 1.0) > 0.001 ? settings.tscale / settings.hval : 1.0;
  for (int i = 1; i <= n; ++i) {
    const double dx = list[i][1] - u, dy = list[i][2] - v;
    list[i][4] = (dx * dx + dy * dy) / 2.0 - list[i][4] / g;
  }
}

void pert_img(int& n, Mat& list, double u, double v, double d) {
  if (settings.clumpmode != 2 || n <= 0) return;
  TWclump.useclumps = 1;
  if (d < 0.0) {
    const int n1 = std::abs(settings.ngrid1);
    const double levels = std::pow(2.0, settings.maxlev - 1);
    d = n1 > 0 ? 2.0 * settings.gridhi1 * settings.rscale / (n1 * levels) : 0.0;
  }
  std::vector<Solution> sols(static_cast<size_t>(n));
  for (int i = 1; i <= n; ++i) {
    Candidate c;
    c.square = true;
    c.x0 = list[i][1];
    c.y0 = list[i][2];
    c.half = d > 0.0 ? d : settings.xtol;
    // The image keeps its kind: a solution outside the square is taken when it has the
    // parity of the unperturbed image.
    c.par[0] = lens_parity(list[i][5], list[i][6], list[i][7], list[i][8]);
    Solution& s = sols[static_cast<size_t>(i - 1)];
    s.ok = src2img(c, u, v, s);
  }
  // Drop an earlier image when a later one of the same magnification sign lies within
  // 2 min(0.001, xtol) of it.
  const double close = 2.0 * std::min(0.001, settings.xtol);
  for (int i = 0; i < n; ++i) {
    if (!sols[static_cast<size_t>(i)].ok) continue;
    const double* a = sols[static_cast<size_t>(i)].row;
    for (int j = i + 1; j < n; ++j) {
      const Solution& b = sols[static_cast<size_t>(j)];
      if (!b.ok) continue;
      if (std::hypot(a[1] - b.row[1], a[2] - b.row[2]) < close && (a[3] > 0.0) == (b.row[3] > 0.0)) {
        sols[static_cast<size_t>(i)].ok = false;
        break;
      }
    }
  }
  int m = 0;
  for (const Solution& s : sols) m += s.ok ? 1 : 0;
  Mat out;
  if (m > 0) {
    out.reset(1, m, 1, 9);
    int r = 0;
    for (const Solution& s : sols) {
      if (!s.ok) continue;
      ++r;
      for (int k = 1; k <= 9; ++k) out[r][k] = s.row[k];
    }
  }
  n = m;
  list = std::move(out);
  TWclump.useclumps = 0;
}
