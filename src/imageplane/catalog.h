// The source-tile catalogue: which mesh triangles (tiles) may contain a given source
// position.
//
// A square grid of (ncat + 1) x (ncat + 1) source-plane cells over the source range of the
// grid nodes (or, with srcrng > 0, a square of half-width srcrng about the source position
// of component 1). Each cell lists, by ascending index, the tiles whose source-plane box
// touches it. A tile's box is the box of its three vertices' source positions. Two kinds
// of tiles get a wider box: a tile that straddles a critical curve (det A of its vertices
// differs in sign), whose box also holds the caustic points of its straddling edges,
// because its true image is folded and reaches beyond its vertices' images; and a tile
// next to one (sharing a vertex), whose true image near the fold departs from the
// triangle of its vertices' images by more than the image separations there. Both get a
// margin of kStraddleMargin times their box extent on every side. The box of a straddling
// tile, and of a tile next to one with a corner at a galaxy's core (a maximum of the
// time-delay surface), also holds the source positions of its edge midpoints: near a
// galaxy's centre a folded tile's image reaches far beyond its corners' images.
//
// A polar main grid covers the disc r <= gridhi1 rscale about component 1, but its mesh
// ends at the polygon of its outer ring. Each sliver between a chord of that polygon and
// the circle is covered by a cap: the triangle of the chord's ends and the point where the
// circle's tangents at them meet. Caps are searched like tiles (the cells list them in a
// list of their own), so that images between the polygon and the circle are found.
//
// The search range of the solver is the source range of the grid nodes widened by the
// boxes (without margin) of the straddling tiles, which hold the caustic points, and by
// the cap points: a source beyond the nodes' images may still have images in the grid.
//
// The cells are stored compactly: cell c = iu (ncat + 1) + iv lists the tiles
// list[start[c] .. start[c + 1] - 1]. In a fit every trial model rebuilds the grid and
// then looks up the few cells of its sources, so the build writes only each tile's block
// of cells and the size of each column of cells (one iu); the lists of a column are
// written when one of its cells is first read. Read the cells through cat_cell_lists.
#pragma once

#include <cstddef>
#include <utility>
#include <vector>

// A cap beyond a chord of the outer ring of a polar main grid: vertices 0, 1 the chord's
// ends (mesh vertices), 2 the meeting point of the circle's tangents there; the lens map
// at each (source position, det A, parity).
struct GridCap {
  double x[3] = {}, y[3] = {}, u[3] = {}, v[3] = {}, det[3] = {};
  int par[3] = {};
  double box[4] = {};  // listing box (umin, umax, vmin, vmax), unscaled
};

struct SourceTileCatalog {
  bool built = false;
  int ncat = 0;   // cells per axis minus one, as built (0: one cell holding every tile)
  int ntri = 0;   // tiles of the mesh it was built on
  int nvert = 0;  // vertices of that mesh
  double cat_u0 = 0, cat_u1 = 0, cat_du = 0, cat_v0 = 0, cat_v1 = 0, cat_dv = 0;
  // Cell lists of the tiles (valid in the columns written so far).
  std::vector<int> start, list;
  // Per tile: kFoldStraddle, kFoldNext or 0; its listing box (umin, umax, vmin, vmax),
  // unscaled.
  std::vector<unsigned char> fold;
  std::vector<double> box;
  // Vertex adjacency of the mesh (its edges): the neighbours of vertex i are
  // vadj[vstart[i] .. vstart[i + 1] - 1]. Only the search under a scale factor reads it:
  // it is made by the first call of cat_vertex_adjacency after a build.
  std::vector<int> vstart, vadj;
  bool adj_built = false;
  // Caps beyond the outer ring, listed by cell like the tiles: cell c lists the caps
  // cap_list[cap_start[c] .. cap_start[c + 1] - 1].
  std::vector<GridCap> caps;
  std::vector<int> cap_start, cap_list;
  // Each tile's (range) and each cap's (cap_range) block of cells: iu0, iu1, iv0, iv1,
  // empty when iu0 > iu1 or iv0 > iv1.
  std::vector<int> range, cap_range;
  // Offsets of the columns' lists in list and cap_list (ncat + 2 each), and whether each
  // column's lists are written.
  std::vector<int> col_start, cap_col_start;
  std::vector<unsigned char> col_listed;
  // Search range (unscaled): node range, straddling tiles' boxes, cap points.
  double su0 = 0, su1 = 0, sv0 = 0, sv1 = 0;

  // Work space of the build, kept between builds so that rebuilding a mesh of about the
  // same size allocates nothing.
  struct Work {
    std::vector<unsigned char> vflag;    // per vertex: det A > 0, next to a critical curve, core
    std::vector<int> estart, ehigh, eid;  // edges by lower vertex i: higher vertex and edge
                                          // index at estart[i] .. estart[i + 1] - 1
    std::vector<int> crit;               // per edge: its critical point (1..ncrit), 0 none
    std::vector<unsigned char> mid_set;  // per edge: source position of its midpoint known
    std::vector<double> mid;             // per edge: that position (u, v)
    std::vector<int> column;             // tiles or caps of the column being written
    std::vector<int> diff;               // cell counting
    std::vector<double> radius;          // caps: distance of each vertex from the centre
    std::vector<unsigned char> outer;    // caps: vertex near the outer ring
    std::vector<std::pair<double, int>> ring;
    std::vector<std::pair<int, int>> boundary;  // caps: boundary edges near the outer ring
  } work;
};
extern SourceTileCatalog TWcat;

// Fraction of a fold tile's box extent added on every side of its box.
constexpr double kStraddleMargin = 0.5;
// Fold kinds of a tile.
constexpr unsigned char kFoldStraddle = 1, kFoldNext = 2;

// Rebuilds the catalogue from the mesh TWtri.out and the critical-point list (run at the
// end of every grid build, after find_crit). Reads srccat and srcrng, and for the caps
// gridcoords, gridhi1 and rscale.
void docatalog();
// Releases the catalogue.
void cat_free();
// The tiles and caps listed in cell (iu, iv) of the catalogue (0 <= iu, iv <= ncat), each
// list ascending: [tile, tile_end) and [cap, cap_end).
struct CatCell {
  const int *tile, *tile_end, *cap, *cap_end;
};
// Makes the vertex adjacency of the catalogue's mesh (vstart, vadj) unless made already.
void cat_vertex_adjacency();
// Writes the lists of column iu of the catalogue's cells.
void cat_list_column(int iu);
inline CatCell cat_cell_lists(int iu, int iv) {
  const SourceTileCatalog& c = TWcat;
  if (!c.col_listed[static_cast<std::size_t>(iu)]) cat_list_column(iu);
  const std::size_t cell = static_cast<std::size_t>(iu) * (static_cast<std::size_t>(c.ncat) + 1) + static_cast<std::size_t>(iv);
  return {c.list.data() + c.start[cell], c.list.data() + c.start[cell + 1], c.cap_list.data() + c.cap_start[cell],
          c.cap_list.data() + c.cap_start[cell + 1]};
}
// Cell index (0..ncat) of a source-plane coordinate w on an axis starting at w0 with
// cells of width dw: int((w - w0)/dw x 1.000001), clamped.
int cat_cell(double w, double w0, double dw, int ncat);
