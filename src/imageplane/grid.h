// The tiled image plane: node grids with adaptive subgrids, the grid-range routines, the
// triangulated mesh of all nodes, and the rebuild `dogrid`.
//
// One main grid (Cartesian, or polar about component 1), optional polar grids about the
// first galaxies and about given image positions. Every node carries the lens mapping at
// its position; all nodes become the vertices of one mesh (TWtri.out) whose vertex
// attributes are, in order: 0 u, 1 v (source position), 2 mu (signed magnification),
// 3 parity (1 minimum, -1 saddle, -2 maximum), 4 phi (potential), 5 number of mesh
// triangles using the vertex.
#pragma once

#include <vector>

#include "imageplane/triangulation.h"
#include "numeric/alloc.h"
#include "shell/words.h"

// One grid node. A grid is the list of its nodes linked by next/prev in column order
// (coordinate-1 index outer, coordinate-2 index inner); up/down step coordinate 2,
// left/right coordinate 1. A cell (node, right, up, up-right) exists where the node has
// both up and right; subgrid is the finer grid replacing that cell.
//
// The fields are laid out by use, one cache line each: what the walks over every node
// read (the lists, the position, the vertex), then the neighbours and the mapping, then the
// second derivatives.
struct alignas(64) gnode {
  gnode *next = nullptr, *subgrid = nullptr;
  // The evaluated node this node copied its lens from (same position bit for bit), or none.
  gnode* twin = nullptr;
  double x = 0, y = 0, mu = 0;
  int vertex = 0;  // index of the node's vertex in the mesh
  int parity = 0;
  // The mesh build (a count kept by the merge) that last set `vertex`: a node whose lens
  // was copied from a node at the same position finds that node's vertex without a look-up
  // when the build has numbered it already.
  unsigned long long numbered = 0;

  gnode *up = nullptr, *down = nullptr, *left = nullptr, *right = nullptr;
  double u = 0, v = 0, phi = 0;
  gnode* prev = nullptr;

  double alpha_x = 0, alpha_y = 0, phi_xx = 0, phi_yy = 0, phi_xy = 0, phi_yx = 0;
};

// Parameters of the secondary polar grids: [1] number of grids N, [2] r lo, [3] r hi,
// [4] radial steps (negative: logarithmic), [5] theta lo, [6] theta hi (degrees),
// [7] angular steps.
struct SecondaryGridParams {
  double p[8] = {};
  double& operator[](int i) { return p[i]; }
  double operator[](int i) const { return p[i]; }
};

// Grid-range routine: the coordinates c1 (x or r) and c2 (y or theta in degrees) of the
// N1 x N2 main-grid nodes, as matrices [1..N1][1..N2].
using GridRangeFn = void (*)(int& N1, int& N2, Mat& c1, Mat& c2);

// The lens at one mesh vertex as the build evaluated it: the vertex position and its
// attributes u, v, mu, phi (which identify the evaluation), det A and the deflection.
struct VertexLens {
  double x = 0, y = 0, u = 0, v = 0, mu = 0, phi = 0, det = 0, alpha_x = 0, alpha_y = 0;
  bool known = false;
};

// Grid state of the current build.
struct GridState {
  int ngalgrid = 0, nimggrid = 0;   // galaxy and image grids of the current build
  gnode* top = nullptr;             // main grid, kept until the next build
  // How the main grid was built: polar about (top_x0, top_y0), component 1 then, or
  // Cartesian (gridcoords 1). A later change of the settings applies at the next build.
  bool top_polar = true;
  double top_x0 = 0, top_y0 = 0;
  // The extent of the main grid's nodes, taken when it is built: their largest distance
  // from (top_x0, top_y0) and their box.
  double top_R = 0, top_xlo = 0, top_xhi = 0, top_ylo = 0, top_yhi = 0;
  std::vector<gnode*> gal, img;     // [0..ngalgrid], [0..nimggrid]; empty entries allowed
  double umin = 1e12, umax = -1e12, vmin = 1e12, vmax = -1e12;  // source range of all nodes
  int grid_mode = 1;                // 1 plain ranges, 2 ranges bracketing critical curves
  GridRangeFn grid_range = nullptr; // gridrng0 or gridrngCRIT
  bool subgrid_anyway = false;      // main grid of mode 2 built from plain ranges: subgrid it
  // The lens at the mesh vertices of the last build, by vertex index (filled after the
  // triangulation, while every grid still exists), so that the critical-curve search
  // need not evaluate the vertices again. An entry holds only where some node lies
  // exactly at the vertex.
  std::vector<VertexLens> vertex_lens;
};
extern GridState TWgrid;

// Parameters and centres of the secondary grids.
struct SecondaryGrids {
  SecondaryGridParams galgridp, imggridp;
  Mat imggridpos;  // [1..N][1..2] image-grid centres, or empty
};
extern SecondaryGrids TWsecgrid;

// The triangulated image plane.
struct MeshSet {
  triangulateio in, out;  // triangulator input of the last build, and the mesh
  std::vector<int> mark;  // one scratch mark per mesh triangle
};
extern MeshSet TWtri;

// ---- building ----
// The most grid nodes a build may hold at once: with its mesh vertex, triangles and lists
// a node takes up to about 800 bytes at the build's peak (a top grid, whose every node is a
// vertex of its own), so this is about 2 GB. A build that would need more ends the
// program, naming maxlev, before it allocates them.
constexpr long kGridNodeLimit = 2400000;
// The limit in force: kGridNodeLimit unless a test lowered it (0 restores it).
void set_grid_node_limit(long nodes);
void dogrid();
gnode* make_grid(int N1, int N2, const Mat& c1, const Mat& c2, double x0, double y0);
gnode* make_subg(gnode* node, int N1, int N2);
void subg_crit(gnode* first, int depth);
void subg_def(gnode* first, int depth);
void copy_gnode(const gnode* from, gnode* to);
void free_grid(gnode* first);
// Releases the main grid and any kept galaxy and image grids.
void free_all_grids();
void domaingrid();
void dogalgrid();
void doimggrid();

// ---- ranges ----
void setgridmode(int mode);
void gridrng0(int& N1, int& N2, Mat& c1, Mat& c2);
void gridrngCRIT(int& N1, int& N2, Mat& c1, Mat& c2);

// ---- mesh ----
void grid2tri();

// ---- commands ----
void maingrid(const WordArray& words);
void maingridhelp(int level);
void galgrid(const WordArray& words);
void galgridhelp(int level);
void imggrid(const WordArray& words);
void imggridhelp(int level);
void imgarray(const WordArray& words);
void imgarrayhelp(int level);

// ---- plot files of grids ----
void plot_grid(const std::string& file);
void plot_grid_OLD(const std::string& base);
