// Extended sources: the brightness law of the current source, its membership tests, and
// the image finder that integrates the brightness over the triangulated image plane with
// random rays; the ray-count convergence command checkfinsrc.
//
// Source-plane geometry of the current source (isource). With (du, dv) the offset from
// the centre (u0, v0) and t the position angle, m = cos t dv - sin t du runs along the
// major axis (-sin t, cos t) and w = -cos t du - sin t dv across it; the elliptical radius
// is r = sqrt(m^2 + (w/(1 - e))^2) / srcsize. A "srcmap" source is round in this geometry
// (e taken as 0: its radii are circles about the map origin); its brightness reads the map
// at x_map = du cos PA + dv sin PA, y_map = dv cos PA - du sin PA (divided by srcsize).
// Every brightness is divided by srcsize^2, so srcsize stretches a source at fixed flux.
//
// Under a model-wide scale factor f (TWmod.scale) a mesh vertex at x with deflection
// alpha maps to x - f alpha and its potential is f phi: the finder uses those throughout.
//
// Images of an extended source (find_img_finsrc): every mesh triangle whose source-plane
// image meets the source's 99.9% ellipse, widened by a margin, takes part. The margin of a
// triangle is twice the largest distance between the true source position of an edge's
// midpoint and the mesh's linear one: within it lies the true source-plane image of the
// triangle. The triangles whose linear images lie near the box of the ellipse (by the
// catalogue's cells, or under a scale factor by each triangle's own box) are measured,
// the nearest at least, and the box is widened until it holds the largest margin
// measured (a margin may exceed both the triangle's sides and a catalogue cell). Each
// such triangle is split into four at its edge midpoints, the true lens evaluated at the
// new corners, and each child split again as deep as it needs: while the lens at its edge
// midpoints strays from its linear mapping by more than 1% of the source's minor 90%
// radius (deep by a lens centre or a critical curve), or (a uniform source) while it
// straddles the edge and its sides exceed a quarter of that radius; never once its light
// (image-plane area times the brightest light its linear image meets) is below the share
// of one ray (the source's flux over finsrc_ray_num), nor deeper than 8 levels. A triangle takes
// part while its linear image lies within R99.9 plus twice its stray. Light is integrated
// on the leaves: a uniform source that covers a whole leaf contributes its exact integral;
// any other leaf gets random rays at a density of finsrc_ray_num per 90% ellipse (or, where
// the source is bright, so that no ray carries more than one ray's share of its light),
// thrown in the leaf's source-plane triangle
// (at least one ray expected per leaf) or, when the source's 99.9% ellipse is the
// smaller, in that ellipse: such leaves share one set of points there, each taking the
// first of them by a Poisson count of its own and keeping those in its triangle, and the
// search's ray total counts each shared point once. The ray counts and positions of a
// mesh triangle's leaves come
// from two generator records of their own, seeded by a mix of (seed, repetition,
// triangle); the points inside a small source from (seed, repetition), the same set for
// every leaf. With seed <= 0 every search is repetition 0 (a search repeated under the
// same settings shoots the same rays); with seed > 0 the repetition counts the run's
// searches. Images are the regions of brighter light: leaves that touch (their edges share
// a stretch or a point of one lattice line or mesh edge, however deep each was split) join,
// from the brightest down, and two such groups stay apart where the light between them
// falls below a tenth of the fainter one's peak; the leaves of an image below a tenth of its
// peak, and the leaves between images, give their light to the image whose bright core is
// nearest (by a walk through the leaves), so the fluxes still sum to the total. Images
// are numbered in the order of their first mesh triangle in the candidate list,
// and an image whose centroid lies within seeing of an earlier one's (the nearest) joins
// it (seeing 0 joins nothing).
#pragma once

#include <cmath>
#include <string>
#include <utility>
#include <vector>

#include "numeric/alloc.h"
#include "shell/words.h"

// The brightness law and geometry of one source, prepared once from the source tables so
// that evaluating it is plain arithmetic. Take it once (finsrc_shape) and call flux() in
// loops: the tables are not read again, so a shape goes stale when the source changes.
struct FinsrcShape {
  enum Kind { kOff, kUniform, kSersic, kSrcmap };
  Kind kind = kOff;
  int map = 0;                   // srcmap: index of the map
  double u0 = 0, v0 = 0;         // centre
  double ct = 1, st = 0;         // cos and sin of the position angle
  double e = 0;                  // ellipticity of the geometry (0 for a source map)
  double inv_q = 1;              // 1/(1 - e)
  double size = 1;               // srcsize
  double inv_size = 1;           // 1/srcsize
  double R6 = 0;                 // parameter 6 (radius of the edge test's inner band)
  double R90 = 0, R999 = 0;      // parameters 11, 12
  double I = 0;                  // I0/srcsize^2 (uniform, sersic); factor/srcsize^2 (srcmap)
  double R0 = 0;                 // uniform: radius (parameter 10)
  double inv_s = 0;              // sersic: 1/scale radius
  double inv_n = 1;              // sersic: 1/n
  int root = 0;                  // sersic: 1/n is 1 (0), 1/2 (1), 1/4 (2), else pow (-1)
  double total = 0;              // uniform, sersic: the flux (parameter 1)
  bool is_uniform() const { return kind == kUniform; }
  // Elliptical radius of (u, v) (already divided by srcsize).
  double radius(double u, double v) const {
    const double du = u - u0, dv = v - v0;
    const double m = ct * dv - st * du, w = (-ct * du - st * dv) * inv_q;
    return std::sqrt(m * m + w * w) * inv_size;
  }
  // Surface brightness at (u, v).
  double flux(double u, double v) const;
  // A Sersic source's surface brightness at elliptical radius r.
  double sersic_at(double r) const;
  // The brightest light at elliptical radius r or beyond (the profiles fall outward); a
  // source map: infinity.
  double brightest(double r) const;
  // A Sersic source's flux within elliptical radius r (another source: its total flux).
  double light_within(double r) const;
  // The total flux of the source (for a source map, infinity).
  double total_flux() const;
};

// The shape of source i (1..Nsource, checked): "ptsrc" ends the program ("a point source
// is somehow being treated as finite!"), an unknown class too ("unknown source type"); a
// source that is switched off has kind kOff (zero brightness everywhere).
FinsrcShape finsrc_shape(int i);

// Surface brightness of the current source (isource) at a source-plane point. Convenient
// but slow in a loop (it prepares the shape at every call): loops take finsrc_shape once.
double finsrc_flux(double u, double v);

// Membership of a point: code -1 (uniform) or 2 within R90; 3 within R99.9; else 0.
// Returns 1 when the code is nonzero.
int finsrc_in1(int& code, double u, double v);
// Membership of the segment (u1, v1)-(u2, v2), by the point of its line nearest the centre
// in the elliptical measure: 0 when that point lies beyond either end (the ends are left to
// finsrc_in1); otherwise -1 (uniform) or 1 within parameter 6, 2 within R90, 3 within
// R99.9, else 0. Returns 1 when the code is nonzero.
int finsrc_in2(int& code, double u1, double v1, double u2, double v2);
// The same tests on a prepared shape.
int finsrc_in1(const FinsrcShape& s, int& code, double u, double v);
int finsrc_in2(const FinsrcShape& s, int& code, double u1, double v1, double u2, double v2);

struct gnode;
// Counts the nodes along the edge of a grid whose source positions pass finsrc_in1. Mode
// 1 walks from node right, then up, then left, then down; mode 2 moves to the rightmost
// node uncounted and then walks up. Each walk counts a node before leaving it. Another
// mode ends the program ("in finsrc_checkedge").
int finsrc_checkedge(const gnode* node, int mode);

// State of one finite-source search, and the process-wide search counter.
struct FiniteSourceState {
  double finsrc_ray_dens = 0;  // rays per unit source-plane area of the current search
  int finsrc_ray_verb = 0;     // print the analysis lines of each search
  // Image accumulators: per image the flux-weighted sums of x and y, the flux, and the
  // flux-weighted sum of the delay term; finsrc_cnt images are open.
  struct Acc {
    double x = 0, y = 0, w = 0, d = 0;
    double cx = 0, cy = 0;  // the current centroid x/w, y/w
  };
  std::vector<Acc> finsrc_tmp;
  int finsrc_cnt = 0;
  // Leaves of the current search that meet the source (in candidate order): their sums,
  // their brightness for the grouping (the brightest light their source-plane triangle
  // meets), their image-plane centre.
  struct Leaf {
    double W, X, Y, D;
    double b, cx, cy;
    bool rim;  // a corner lies on the outer rim of the grid
  };
  std::vector<Leaf> lit;
  // The edges of the leaves, on the lines of their mesh triangle's lattice (key: the line;
  // lo, hi: the stretch along it in lattice steps): leaves whose edges share a stretch or
  // a point of one line touch. Edges on a mesh triangle's sides, and corners at its
  // vertices, are keyed by the mesh's vertices, so that they meet those of the neighbours.
  struct Seg {
    unsigned long long key;
    int lo, hi, leaf;
  };
  std::vector<Seg> segs;
  // Grouping buffers: the touching leaves (pairs, then per leaf), union-find links of the
  // leaves, the peak of a group of leaves, the leaves by brightness, the cores, the cores in
  // the cells of a grid, the image of each leaf, the light of each core and the sums of the
  // images.
  std::vector<std::pair<int, int>> pairs;
  std::vector<int> nb_start, nb, active;
  std::vector<int> up, order, owner, at_start, at_leaf, label, fill;
  std::vector<double> peak, core_w;
  std::vector<Leaf> patch;
  // Per image of the list: the light of its leaves at the grid's rim.
  std::vector<double> rim_light;
  // Room of the buffer of candidate parent triangles (kept across searches, like every
  // buffer here: a search in steady state allocates nothing).
  size_t cand_room = 0;
  // Points inside a small source (u, v pairs), drawn once per search as leaves ask for them.
  std::vector<double> small_pts;
  // Refinement: the deepest leaf below a mesh triangle in the last search, its lens
  // evaluations and leaves (those that meet the source); the tolerances of the search
  // (the stray of a leaf's linear mapping, the largest leaf on a uniform source's edge,
  // the light one ray resolves).
  int depth = 0;
  double dev_tol = 0, edge_len = 0, quantum = 0;
  long evals = 0, leaves = 0;
  // Context of the current search, read by finsrc_tri.
  FinsrcShape shape;
  double u = 0, v = 0;         // the source position searched
  double f = 1;                // model-wide scale factor
  unsigned long long rep = 0;  // repetition of this search (seeds its streams)
  double rays = 0;             // rays shot by the last search
  // Searches run at a positive seed (the repetition of the next is one more).
  unsigned long long nsearch = 0;
  // When >= 0, the repetition of the next searches (checkfinsrc numbers its own).
  long long rep_override = -1;
};
extern FiniteSourceState TWfinsrc;

// Integrates the current source over the leaves of mesh triangle t (0-based) in the
// current search and appends the leaves that carry light to TWfinsrc.lit (grouped into
// images by find_img_finsrc); area (image-plane area of the leaves kept) and rays (rays
// shot) are running totals of the caller. With shoot 0 only the triangle's own area is
// added. srcarea is the area of the source's 99.9% ellipse.
void finsrc_tri(int t, int shoot, double& area, double& rays, double srcarea);

// Images of the current source placed at (u, v): n images in list[1..n][1..9] (image
// position as the flux-weighted centroid, flux, the potential that makes pot2tdel give the
// flux-weighted mean delay, the second derivatives at the centroid, 1). Needs the mesh and
// catalogue of the current grid build. No rays (finsrc_ray_num <= 0) or a source that is
// off give no images.
void find_img_finsrc(int& n, Mat& list, double u, double v);

// checkfinsrc <Nray lo> <hi> <# steps> <# bootstraps> <outname>
void checkfinsrc(const WordArray& words);
void checkfinsrchelp(int level);
