// The mesh of the image plane: every node of every grid becomes a vertex (coincident
// nodes merged), the boundaries become constraining segments, and the constrained
// Delaunay triangulation of the whole is carved at the segments.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#include "imageplane/grid.h"
#include "models/component.h"
#include "shell/fatal.h"
#include "shell/settings.h"

MeshSet TWtri;

namespace {

// Vertices found so far, with a spatial hash for merging: a node joins the first vertex
// (lowest index) lying within xmatch of it in both coordinates, exactly as a linear scan
// of the vertices in order would find it, at a cost independent of the vertex count.
//
// Each vertex sits in the cell of its position, cells being 64 xmatch wide: two coordinates
// closer than xmatch lie in the same or in neighbouring cells, and a node looks only at the
// cells its xmatch square can reach (mostly its own; a neighbour along a coordinate only
// near that side of the cell; all three where the coordinate is too large for its place
// inside the cell to be trusted). The table is open-addressed and kept between builds, so
// that a rebuild allocates nothing once the buffers have grown to the size of the mesh.
class VertexMerger {
 public:
  // Starts a build. The table keeps its size from the build before (it grows as cells are
  // added), and its slots are emptied by a new generation, not by rewriting them.
  // used_ still counts the cells of the build before here.
  void reset(triangulateio* in, double tol) {
    in_ = in;
    tol_ = tol;
    w_ = kCellWidth * tol;
    // A multiply by the reciprocal instead of a division: it moves t by a few ulps, far
    // within the margin below, and storing and looking up place a coordinate alike. Only
    // where the reciprocal keeps full precision; elsewhere the division stays.
    inv_w_ = w_ > 0x1p-1000 && w_ < 0x1p1000 ? 1 / w_ : 0;
    // A table far larger than the last build needed (after a much finer grid) shrinks, so
    // that its look-ups stay within the cache.
    if (slots_.empty() || (slots_.size() > 64 && 8 * used_ < slots_.size())) {
      size_t size = 64;
      while (size < 2 * used_) size *= 2;
      slots_.assign(size, Slot());
    }
    mask_ = slots_.size() - 1;
    if (++gen_ == 0) {  // the generation wrapped: empty every slot for real
      for (Slot& s : slots_) s.gen = 0;
      gen_ = 1;
    }
    used_ = 0;
    chain_.clear();
    ++build_;
  }

  // The vertex of node g. A node that copied its lens from an evaluated node lies at that
  // node's position bit for bit, so the first vertex within xmatch of one is the first
  // within xmatch of the other (vertices made later have higher indices): whichever of
  // them is numbered first in this build looks the vertex up and leaves it with the
  // evaluated node for the rest. Only where a node matches its own position (finite
  // coordinates, xmatch > 0), as a scan would find it.
  int vertex_of(gnode* g) {
    gnode* root = g->twin ? g->twin : g;
    if (root->numbered == build_) return root->vertex;
    const int v = look_up(g);
    if (std::fabs(g->x - g->x) < tol_ && std::fabs(g->y - g->y) < tol_) {
      root->vertex = v;
      root->numbered = build_;
    }
    return v;
  }

 private:
  // The first vertex within xmatch of g, or a new vertex for it. The node's own cell is
  // looked at first and its slot kept for the insert; the neighbouring cells only when the
  // node lies near their side.
  int look_up(const gnode* g) {
    std::int64_t cx, cy, x0, x1, y0, y1;
    reach(g->x, cx, x0, x1);
    reach(g->y, cy, y0, y1);
    int best = -1;
    size_t k = find(cx, cy);
    if (slots_[k].gen == gen_) best = first_match(slots_[k].head, g, best);
    if ((x0 | x1 | y0 | y1) != 0)
      for (std::int64_t i = x0; i <= x1; ++i)
        for (std::int64_t j = y0; j <= y1; ++j) {
          if (i == 0 && j == 0) continue;
          const Slot& cell = slots_[find(cx + i, cy + j)];
          if (cell.gen == gen_) best = first_match(cell.head, g, best);
        }
    if (best >= 0) return best;
    const int v = in_->numberofpoints++;
    in_->pointlist.push_back(g->x);
    in_->pointlist.push_back(g->y);
    std::vector<double>& attr = in_->pointattributelist;
    attr.push_back(g->u);
    attr.push_back(g->v);
    attr.push_back(g->mu);
    attr.push_back(static_cast<double>(g->parity));
    attr.push_back(g->phi);
    attr.push_back(0.0);
    if (slots_[k].gen != gen_) {
      if (2 * (used_ + 1) > slots_.size()) {  // keep the table at most half full
        grow();
        k = find(cx, cy);
      }
      ++used_;
      slots_[k] = Slot{cx, cy, -1, gen_};
    }
    chain_.push_back(slots_[k].head);
    slots_[k].head = v;
    return v;
  }

  struct Slot {
    std::int64_t cx = 0, cy = 0;
    int head = -1;           // newest vertex of the cell
    std::uint32_t gen = 0;   // build that filled the slot; any other: the slot is empty
  };

  static constexpr double kCellWidth = 64;  // in units of xmatch
  // A neighbouring cell is looked at from within two xmatch of its side: one xmatch of
  // reach and one of margin, far above the rounding of t below 2^40 cells (2^-11).
  static constexpr double kEdge = 2 / kCellWidth;

  // The lowest of `best` (none when negative) and the vertices of the cell chain from
  // `head` that lie within xmatch of g.
  int first_match(int head, const gnode* g, int best) const {
    const double* p = in_->pointlist.data();
    for (int v = head; v >= 0; v = chain_[static_cast<size_t>(v)]) {
      if (best >= 0 && v >= best) continue;
      if (std::fabs(g->x - p[2 * v]) < tol_ && std::fabs(g->y - p[2 * v + 1]) < tol_) best = v;
    }
    return best;
  }

  // Cell of coordinate c and the range [lo, hi] of cell offsets (-1, 0, 1) that a
  // coordinate within xmatch of it can fall in. Beyond 2^40 cells from the origin the
  // place inside the cell is not trusted and all three are taken. Indices are clamped (a
  // NaN, which matches nothing, goes to cell 0).
  void reach(double c, std::int64_t& cell, std::int64_t& lo, std::int64_t& hi) const {
    const double t = inv_w_ != 0 ? c * inv_w_ : c / w_, q = std::floor(t);
    lo = -1;
    hi = 1;
    if (!(q == q)) {
      cell = 0;
      return;
    }
    cell = static_cast<std::int64_t>(std::max(-4e18, std::min(4e18, q)));
    if (std::fabs(t) < 1099511627776.0) {  // 2^40
      const double f = t - q;             // exact here: 0 <= f < 1
      if (f >= kEdge) lo = 0;
      if (f <= 1 - kEdge) hi = 0;
    }
  }

  // Slot of cell (cx, cy): the one holding it, or the empty slot where it would go.
  size_t find(std::int64_t cx, std::int64_t cy) const {
    std::uint64_t h = static_cast<std::uint64_t>(cx) * 0x9E3779B97F4A7C15ULL + static_cast<std::uint64_t>(cy);
    h ^= h >> 32;
    h *= 0xD6E8FEB86659FD93ULL;
    h ^= h >> 32;
    size_t k = static_cast<size_t>(h) & mask_;
    while (slots_[k].gen == gen_ && (slots_[k].cx != cx || slots_[k].cy != cy)) k = (k + 1) & mask_;
    return k;
  }

  // Doubles the table and places the cells of this build in it again.
  void grow() {
    std::vector<Slot> old(2 * slots_.size());
    old.swap(slots_);
    mask_ = slots_.size() - 1;
    for (const Slot& s : old)
      if (s.gen == gen_) slots_[find(s.cx, s.cy)] = s;
  }

  triangulateio* in_ = nullptr;
  double tol_ = 0, w_ = 0, inv_w_ = 0;
  size_t mask_ = 0;
  size_t used_ = 0;         // slots filled in this build
  std::uint32_t gen_ = 0;   // this build's generation
  unsigned long long build_ = 0;  // builds started (never wraps), for gnode::numbered
  std::vector<Slot> slots_;
  std::vector<int> chain_;  // per vertex: the next older vertex of its cell, or -1
};

VertexMerger merger;  // kept between builds with its buffers

// Boundary types of a grid's segments.
enum Boundary { kSecondary = 0, kCartesian = 1, kPolar = 2 };

void add_segment(triangulateio& in, int a, int b) {
  if (a == b) return;
  in.segmentlist.push_back(a);
  in.segmentlist.push_back(b);
  ++in.numberofsegments;
}

// Vertices of one grid: each node in list order, and right after a node the nodes of its
// subgrid (recursively), so that the numbering is that of a single walk over every node.
void number_vertices(gnode* first) {
  for (gnode* g = first; g; g = g->next) {
    if (g->next) __builtin_prefetch(g->next);  // the next node loads while this one is numbered
    g->vertex = merger.vertex_of(g);
    if (g->subgrid) number_vertices(g->subgrid);
  }
}

// One grid: vertices for its nodes and its subgrids', then the segments of its top level
// (subgrids give none). open_rays: a polar grid whose rays do not close into a full
// circle also gets segments along its first and last ray.
void tri_procgrid(triangulateio& in, gnode* first, bool inner_ring, Boundary type, bool open_rays) {
  number_vertices(first);
  for (gnode* g = first; g; g = g->next) {
    if (type == kCartesian) {
      if ((!g->down || !g->up) && g->right) add_segment(in, g->vertex, g->right->vertex);
      if ((!g->left || !g->right) && g->up) add_segment(in, g->vertex, g->up->vertex);
    } else if (type == kPolar) {
      if (!g->right && g->up) add_segment(in, g->vertex, g->up->vertex);
      if (open_rays && (!g->down || !g->up) && g->right) add_segment(in, g->vertex, g->right->vertex);
    }
    if (inner_ring && !g->left && g->up) add_segment(in, g->vertex, g->up->vertex);
  }
}

}  // namespace

void grid2tri() {
  const Settings& s = settings;
  GridState& gs = TWgrid;
  triangulateio& in = TWtri.in;
  tri_init(in);
  in.numberofpointattributes = 6;

  const bool main_polar = s.gridcoords == 2;
  const bool main_full = s.gridhi2 - s.gridlo2 == 360.0;
  const bool main_ring = main_polar && s.gridlo1 > 0;
  const SecondaryGridParams& gp = TWsecgrid.galgridp;
  const SecondaryGridParams& ip = TWsecgrid.imggridp;
  const bool gal_ring = gs.ngalgrid > 0 && gp[2] > 0, gal_full = gp[6] - gp[5] == 360.0;
  const bool img_ring = gs.nimggrid > 0 && ip[2] > 0, img_full = ip[6] - ip[5] == 360.0;
  // The secondary grids are there while their build keeps them (always within dogrid).
  const int ngal = std::min(gs.ngalgrid, static_cast<int>(gs.gal.size()) - 1);
  const int nimg = std::min(gs.nimggrid, static_cast<int>(gs.img.size()) - 1);

  // The lists keep their storage from the build before: no walk to count the nodes first.
  merger.reset(&in, s.xmatch);

  tri_procgrid(in, gs.top, main_ring, main_polar ? kPolar : kCartesian, main_polar && !main_full);
  for (int k = 1; k <= ngal; ++k) tri_procgrid(in, gs.gal[static_cast<size_t>(k)], gal_ring, kSecondary, false);
  for (int k = 1; k <= nimg; ++k) tri_procgrid(in, gs.img[static_cast<size_t>(k)], img_ring, kSecondary, false);

  // A hole is carved only inside a closed inner ring of a grid that was built: a hole
  // point inside an open ring would eat the whole mesh.
  auto add_hole = [&](double x, double y) {
    in.holelist.push_back(x);
    in.holelist.push_back(y);
    ++in.numberofholes;
  };
  if (main_ring && main_full && gs.top && TWgal.NGALMAX > 0) add_hole(TWgal.pos[1][3], TWgal.pos[1][4]);
  if (gal_ring && gal_full)
    for (int k = 1; k <= ngal; ++k)
      if (gs.gal[static_cast<size_t>(k)]) add_hole(TWgal.pos[k][3], TWgal.pos[k][4]);
  if (img_ring && img_full)
    for (int k = 1; k <= nimg; ++k)
      if (gs.img[static_cast<size_t>(k)] && k <= TWsecgrid.imggridpos.nrows())
        add_hole(TWsecgrid.imggridpos[k][1], TWsecgrid.imggridpos[k][2]);

  triangulate("zBepQ", in, TWtri.out);
  triangulateio& out = TWtri.out;
  TWtri.mark.assign(static_cast<size_t>(out.numberoftriangles), 0);
  double* attr = out.pointattributelist.data();
  for (int k = 0; k < 3 * out.numberoftriangles; ++k) attr[6 * out.trianglelist[k] + 5] += 1.0;
  // The input stays until the next build: its lists are reused then, and it lets the
  // triangulation be timed on its own.
}
