// Constrained Delaunay triangulation of the image-plane nodes.
//
// The mesh records and the one call that the grid code makes: given points (with their
// attributes), constraining segments and hole points, triangulate the planar straight-line
// graph and carve away the triangles outside the boundary and inside each hole, up to
// the segments. The switches name the options of the call; the grid code always asks for
// "zBepQ": indices from zero, no boundary markers, the edge list, a planar
// straight-line graph (segments and holes), quiet.
//
// Output: the input vertices first, in their order and with their attributes; any vertex
// added where two segments cross comes after them, with attributes interpolated along the
// segment it lies on. Triangles are counter-clockwise. The order of triangles and edges is
// the triangulator's own: nothing may depend on it.
#pragma once

#include <vector>

struct triangulateio {
  std::vector<double> pointlist;           // x, y pairs
  std::vector<double> pointattributelist;  // numberofpointattributes values per point
  int numberofpoints = 0;
  int numberofpointattributes = 0;
  std::vector<int> trianglelist;           // three vertex indices (0-based) per triangle
  int numberoftriangles = 0;
  int numberofcorners = 3;
  std::vector<int> segmentlist;            // two vertex indices per segment
  int numberofsegments = 0;
  std::vector<double> holelist;            // x, y pairs
  int numberofholes = 0;
  std::vector<int> edgelist;               // two vertex indices per edge
  int numberofedges = 0;
};

// Empties a record: every list empty, every count zero. The lists keep their storage, so
// that a record rebuilt at every grid build allocates only when the mesh grows.
void tri_init(triangulateio& t);
// Empties every list of a record (keeping its storage, as tri_init); the hole list only
// when flag is 1 (an output record shares its input's holes).
void free_tri(triangulateio& t, int flag);

// Triangulates `in` into `out` (the previous contents of `out` are replaced). Degenerate
// input (fewer than three distinct points, all points on a line) gives a mesh without
// triangles, never an abort. A segment naming a vertex that does not exist ends the program.
void triangulate(const char* switches, const triangulateio& in, triangulateio& out);
// The same triangulation built always by inserting every segment into a constrained
// triangulation of the points, the route `triangulate` takes only when some segment is not
// an edge of the points' Delaunay triangulation; for checking that both give one mesh.
void triangulate_constrained(const triangulateio& in, triangulateio& out);
