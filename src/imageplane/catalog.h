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
// margin of kStraddleMargin times their box extent on every side.
//
// The cells are stored compactly: cell c = iu (ncat + 1) + iv lists the tiles
// list[start[c] .. start[c + 1] - 1].
#pragma once

#include <vector>

struct SourceTileCatalog {
  bool built = false;
  int ncat = 0;   // cells per axis minus one, as built (0: one cell holding every tile)
  int ntri = 0;   // tiles of the mesh it was built on
  int nvert = 0;  // vertices of that mesh
  double cat_u0 = 0, cat_u1 = 0, cat_du = 0, cat_v0 = 0, cat_v1 = 0, cat_dv = 0;
  std::vector<int> start, list;
  // Per tile: kFoldStraddle, kFoldNext or 0; its listing box (umin, umax, vmin, vmax),
  // unscaled.
  std::vector<unsigned char> fold;
  std::vector<double> box;
  // Vertex adjacency of the mesh (its edges): the neighbours of vertex i are
  // vadj[vstart[i] .. vstart[i + 1] - 1].
  std::vector<int> vstart, vadj;
};
extern SourceTileCatalog TWcat;

// Fraction of a fold tile's box extent added on every side of its box.
constexpr double kStraddleMargin = 0.5;
// Fold kinds of a tile.
constexpr unsigned char kFoldStraddle = 1, kFoldNext = 2;

// Rebuilds the catalogue from the mesh TWtri.out and the critical-point list (run at the
// end of every grid build, after find_crit). Reads srccat and srcrng.
void docatalog();
// Releases the catalogue.
void cat_free();
// Cell index (0..ncat) of a source-plane coordinate w on an axis starting at w0 with
// cells of width dw: int((w - w0)/dw x 1.000001), clamped.
int cat_cell(double w, double w0, double dw, int ncat);
