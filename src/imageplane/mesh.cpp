// The mesh of the image plane: every node of every grid becomes a vertex (coincident
// nodes merged), the boundaries become constraining segments, and the constrained
// Delaunay triangulation of the whole is carved at the segments.
#include <cmath>
#include <cstdint>
#include <unordered_map>

#include "imageplane/grid.h"
#include "models/component.h"
#include "shell/fatal.h"
#include "shell/settings.h"

MeshSet TWtri;

namespace {

// Vertices found so far, with a spatial hash for merging: a node joins the first vertex
// (lowest index) lying within xmatch of it in both coordinates, exactly as a linear scan
// of the vertices in order would find it, at a cost independent of the vertex count.
class VertexMerger {
 public:
  explicit VertexMerger(triangulateio& in, double tol) : in_(in), tol_(tol) {}

  int vertex_of(const gnode* g) {
    const std::int64_t cx = cell(g->x), cy = cell(g->y);
    int best = -1;
    for (std::int64_t dx = -1; dx <= 1; ++dx)
      for (std::int64_t dy = -1; dy <= 1; ++dy) {
        const auto it = cells_.find(key(cx + dx, cy + dy));
        if (it == cells_.end()) continue;
        for (int v : it->second) {
          if (best >= 0 && v >= best) continue;
          if (std::fabs(g->x - in_.pointlist[2 * v]) < tol_ && std::fabs(g->y - in_.pointlist[2 * v + 1]) < tol_)
            best = v;
        }
      }
    if (best >= 0) return best;
    const int v = in_.numberofpoints++;
    in_.pointlist.push_back(g->x);
    in_.pointlist.push_back(g->y);
    const double attr[6] = {g->u, g->v, g->mu, static_cast<double>(g->parity), g->phi, 0.0};
    in_.pointattributelist.insert(in_.pointattributelist.end(), attr, attr + 6);
    cells_[key(cx, cy)].push_back(v);
    return v;
  }

 private:
  std::int64_t cell(double c) const { return static_cast<std::int64_t>(std::floor(c / tol_)); }
  static std::uint64_t key(std::int64_t a, std::int64_t b) {
    return static_cast<std::uint64_t>(a) * 0x9E3779B97F4A7C15ULL ^ static_cast<std::uint64_t>(b);
  }
  triangulateio& in_;
  double tol_;
  std::unordered_map<std::uint64_t, std::vector<int>> cells_;
};

// Boundary types of a grid's segments.
enum Boundary { kSecondary = 0, kCartesian = 1, kPolar = 2 };

void add_segment(triangulateio& in, int a, int b) {
  if (a == b) return;
  in.segmentlist.push_back(a);
  in.segmentlist.push_back(b);
  ++in.numberofsegments;
}

// One grid: vertices for its nodes (and, recursively, its subgrids'), and at the top
// level the segments of its boundary. open_rays: a polar grid whose rays do not close
// into a full circle also gets segments along its first and last ray.
void tri_procgrid(VertexMerger& merger, triangulateio& in, gnode* first, int depth, bool inner_ring,
                  Boundary type, bool open_rays) {
  for (gnode* g = first; g; g = g->next) g->vertex = merger.vertex_of(g);
  if (depth == 1) {
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
  for (gnode* g = first; g; g = g->next)
    if (g->subgrid) tri_procgrid(merger, in, g->subgrid, depth + 1, inner_ring, type, open_rays);
}

}  // namespace

void grid2tri() {
  const Settings& s = settings;
  GridState& gs = TWgrid;
  triangulateio& in = TWtri.in;
  tri_init(in);
  in.numberofpointattributes = 6;
  VertexMerger merger(in, s.xmatch);

  const bool main_polar = s.gridcoords == 2;
  const bool main_full = s.gridhi2 - s.gridlo2 == 360.0;
  const bool main_ring = main_polar && s.gridlo1 > 0;
  const SecondaryGridParams& gp = TWsecgrid.galgridp;
  const SecondaryGridParams& ip = TWsecgrid.imggridp;
  const bool gal_ring = gs.ngalgrid > 0 && gp[2] > 0, gal_full = gp[6] - gp[5] == 360.0;
  const bool img_ring = gs.nimggrid > 0 && ip[2] > 0, img_full = ip[6] - ip[5] == 360.0;

  tri_procgrid(merger, in, gs.top, 1, main_ring, main_polar ? kPolar : kCartesian, main_polar && !main_full);
  for (int k = 1; k <= gs.ngalgrid; ++k)
    tri_procgrid(merger, in, gs.gal[static_cast<size_t>(k)], 1, gal_ring, kSecondary, false);
  for (int k = 1; k <= gs.nimggrid; ++k)
    tri_procgrid(merger, in, gs.img[static_cast<size_t>(k)], 1, img_ring, kSecondary, false);

  // A hole is carved only inside a closed inner ring of a grid that was built: a hole
  // point inside an open ring would eat the whole mesh.
  auto add_hole = [&](double x, double y) {
    in.holelist.push_back(x);
    in.holelist.push_back(y);
    ++in.numberofholes;
  };
  if (main_ring && main_full && gs.top && TWgal.NGALMAX > 0) add_hole(TWgal.pos[1][3], TWgal.pos[1][4]);
  if (gal_ring && gal_full)
    for (int k = 1; k <= gs.ngalgrid; ++k)
      if (gs.gal[static_cast<size_t>(k)]) add_hole(TWgal.pos[k][3], TWgal.pos[k][4]);
  if (img_ring && img_full)
    for (int k = 1; k <= gs.nimggrid; ++k)
      if (gs.img[static_cast<size_t>(k)]) add_hole(TWsecgrid.imggridpos[k][1], TWsecgrid.imggridpos[k][2]);

  triangulate("zBepQ", in, TWtri.out);
  triangulateio& out = TWtri.out;
  TWtri.mark.assign(static_cast<size_t>(out.numberoftriangles), 0);
  for (int k = 0; k < 3 * out.numberoftriangles; ++k) out.pointattributelist[6 * out.trianglelist[k] + 5] += 1.0;
  free_tri(in, 1);
}
