// Merging of the nodes into mesh vertices, checked against the plain first-match scan.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "app/startup.h"
#include "core/lens_model.h"
#include "imageplane/grid.h"
#include "imageplane/triangulation.h"
#include "shell/commands.h"
#include "shell/settings.h"
#include "shell/vars.h"
#include "support/test_support.h"

namespace {

// The vertex a plain first-match scan gives the node at (x, y): the first of `found`
// (x, y pairs) within xmatch in both coordinates, or a new one appended to it.
int scan_vertex(std::vector<double>& found, double x, double y, double xmatch) {
  const int nv = static_cast<int>(found.size() / 2);
  int v = 0;
  while (v < nv && !(std::fabs(x - found[2 * v]) < xmatch && std::fabs(y - found[2 * v + 1]) < xmatch)) ++v;
  if (v == nv) {
    found.push_back(x);
    found.push_back(y);
  }
  return v;
}

// Nodes set out where the merge's cell lookup can go wrong: on both sides of the boundaries
// of its cells (64 xmatch wide, from the origin), at distances just inside and just outside
// xmatch, near the origin and so far from it that the place inside a cell is not trusted.
// Each node must get the vertex that a scan of the vertices found so far, in order, finds
// first (a square test), and the mesh must list exactly those vertices.
TEST(Mesh, MergeFindsTheFirstVertexWithinXmatchAcrossCellBoundaries) {
  start_program(stdin, stdout);
  quietflag = 1;
  SetVar("gridflag", 0, 0);
  ScratchDir dir;
  dir.write("model.in", "1 1\nalpha 1 0 0 0 0 0 0 0.1 0 1\n0 0 0 0 0 0 0 0 0 0\n");
  run_handler(setlens, WordArray({"setlens", dir.file("model.in")}));
  const double xmatch = 1e-3, cell = 64 * xmatch;
  SetVar("xmatch", 0, xmatch);
  SetVar("gridcoords", 0, 1);
  SetGlob();
  const double offsets[] = {-2.5, -1.5, -1.01, -0.99, -0.5, -0.01, 0, 0.01, 0.49, 0.98, 1.01, 1.5, 2.5};
  for (double base : {0.0, 8e10}) {  // 8e10 / cell = 1.25e12 cells, beyond 2^40
    SCOPED_TRACE(base);
    std::vector<double> coords;
    for (int k = -2; k <= 2; ++k)
      for (double d : offsets) coords.push_back(base + k * cell + d * xmatch);
    const int n = static_cast<int>(coords.size());
    // A lattice over these coordinates: every node has neighbours within xmatch on both
    // sides of a cell boundary, and chains of nodes each within xmatch of the next.
    Mat c1(1, n, 1, n), c2(1, n, 1, n);
    for (int i = 1; i <= n; ++i)
      for (int j = 1; j <= n; ++j) {
        c1[i][j] = coords[static_cast<size_t>(i - 1)];
        c2[i][j] = coords[static_cast<size_t>(j - 1)];
      }
    free_all_grids();
    TWgrid.top = make_grid(n, n, c1, c2, 0, 0);
    grid2tri();

    std::vector<double> found;
    int merged = 0;
    for (gnode* g = TWgrid.top; g; g = g->next) {
      const size_t before = found.size();
      const int v = scan_vertex(found, g->x, g->y, xmatch);
      if (found.size() == before) ++merged;
      ASSERT_EQ(g->vertex, v) << "node at " << g->x - base << " " << g->y - base;
    }
    EXPECT_GT(merged, n * n / 4);  // the case is not trivial
    const triangulateio& t = TWtri.out;
    ASSERT_GE(t.pointlist.size(), found.size());
    EXPECT_TRUE(std::equal(found.begin(), found.end(), t.pointlist.begin()));
  }
  free_all_grids();
  quietflag = 0;
}

// Triangles (each from its lowest vertex on, keeping the turn) and edges (lower vertex
// first) of a mesh, sorted: what two triangulations of one input must share.
std::vector<std::array<int, 3>> triangle_set(const triangulateio& t) {
  std::vector<std::array<int, 3>> s;
  for (int k = 0; k < t.numberoftriangles; ++k) {
    const int* v = &t.trianglelist[3 * static_cast<size_t>(k)];
    const int m = v[0] < v[1] ? (v[0] < v[2] ? 0 : 2) : (v[1] < v[2] ? 1 : 2);
    s.push_back({v[m], v[(m + 1) % 3], v[(m + 2) % 3]});
  }
  std::sort(s.begin(), s.end());
  return s;
}

std::vector<std::pair<int, int>> edge_set(const triangulateio& t) {
  std::vector<std::pair<int, int>> s;
  for (int k = 0; k < t.numberofedges; ++k) {
    const int a = t.edgelist[2 * static_cast<size_t>(k)], b = t.edgelist[2 * static_cast<size_t>(k) + 1];
    s.emplace_back(std::min(a, b), std::max(a, b));
  }
  std::sort(s.begin(), s.end());
  return s;
}

// The build's triangulation, which carves the plain Delaunay triangulation of the vertices
// when every boundary segment is one of its edges, gives the mesh that inserting every
// segment into a constrained triangulation gives, on every kind of grid: polar with and
// without a hole, an open range of angles, galaxy and image grids (with holes, from r = 0,
// open), Cartesian, the critical-curve grid, and nodes merged at a coarse xmatch. Where
// rings of two grids about one centre cross, the mesh gets vertices of its own.
TEST(Mesh, PlainDelaunayRouteGivesTheConstrainedMesh) {
  struct Case {
    const char* name;
    const char* model;  // component lines
    std::vector<std::pair<const char*, double>> settings;
    std::vector<std::vector<std::string>> commands;  // galgrid / imggrid
    int mode;
    bool crossing;  // boundaries cross: the mesh has more vertices than its input
  };
  const char* ellipsoid = "alpha 1 0 0 0.3 20 0.1 -40 0.05 0 1\n";
  const char* two = "alpha 1 0 0 0.2 10 0 0 0.05 0 1\nptmass 0.2 0.6 0.3 0 0 0 0 0 0 0\n";
  const std::vector<std::string> gal = {"galgrid", "2", "0.05", "0.4", "4", "0", "360", "12"};
  const std::vector<std::string> gal0 = {"galgrid", "2", "0", "0.4", "5", "0", "360", "16"};
  const std::vector<std::string> galhalf = {"galgrid", "2", "0.1", "0.3", "3", "0", "180", "12"};
  const std::vector<std::string> img = {"imggrid", "2", "0.05", "0.3", "3", "0", "360", "10", "POS"};
  const std::vector<Case> cases = {
      {"polar with a hole", ellipsoid, {{"gridlo1", 0.05}}, {}, 1, false},
      {"polar from r = 0", ellipsoid, {{"gridlo1", 0}}, {}, 1, false},
      {"open range of angles", ellipsoid, {{"gridlo1", 0.05}, {"gridlo2", 30}, {"gridhi2", 250}}, {}, 1, false},
      {"image grids", two, {{"gridlo1", 0.05}}, {img}, 1, false},
      // the inner rings of the main grid and of galaxy 1's grid (both r = 0.05 about the
      // origin, on 19 and 11 rays) cross
      {"galaxy and image grids", two, {{"gridlo1", 0.05}}, {gal, img}, 1, true},
      {"galaxy grids from r = 0", two, {{"gridlo1", 0}}, {gal0}, 1, false},
      {"open galaxy grids", two, {{"gridlo1", 0.1}}, {galhalf, img}, 1, true},
      {"cartesian", ellipsoid, {{"gridcoords", 1}, {"gridlo1", -2}, {"gridhi1", 2}, {"gridlo2", -1.5}, {"gridhi2", 2}},
       {}, 1, false},
      {"cartesian with galaxy grids", two,
       {{"gridcoords", 1}, {"gridlo1", -2}, {"gridhi1", 2}, {"gridlo2", -2}, {"gridhi2", 2}}, {gal}, 1, false},
      {"critical-curve grid", ellipsoid, {{"gridlo1", 0.05}, {"ngrid1", 8}}, {}, 2, false},
      {"xmatch 0.01", two, {{"gridlo1", 0.05}, {"xmatch", 0.01}}, {gal, img}, 1, false},
      {"xmatch 0.02", two, {{"gridlo1", 0.05}, {"xmatch", 0.02}}, {gal, img}, 1, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    start_program(stdin, stdout);
    quietflag = 1;
    SetVar("gridflag", 0, 0);
    ScratchDir dir;
    const std::string model = c.model;
    const int n = static_cast<int>(std::count(model.begin(), model.end(), '\n'));
    std::string text = std::to_string(n) + " 1\n" + model;
    for (int i = 0; i < n; ++i) text += "0 0 0 0 0 0 0 0 0 0\n";
    dir.write("model.in", text);
    run_handler(setlens, WordArray({"setlens", dir.file("model.in")}));
    dir.write("pos.txt", "2\n-0.9 0.4\n0.2 -1.1\n");
    for (const auto& v : c.settings) SetVar(v.first, 0, v.second);
    for (auto words : c.commands) {
      for (auto& w : words)
        if (w == "POS") w = dir.file("pos.txt");
      (words[0] == "galgrid" ? galgrid : imggrid)(WordArray(words));
    }
    setgridmode(c.mode);
    SetGlob();
    dogrid();
    setgridmode(1);

    const triangulateio& in = TWtri.in;
    triangulateio plain, constrained;
    triangulate("zBepQ", in, plain);
    triangulate_constrained(in, constrained);
    ASSERT_GT(plain.numberoftriangles, 100);
    EXPECT_EQ(plain.numberofpoints > in.numberofpoints, c.crossing);
    EXPECT_EQ(plain.numberofpoints, constrained.numberofpoints);
    EXPECT_TRUE(plain.pointlist == constrained.pointlist);
    EXPECT_TRUE(plain.pointattributelist == constrained.pointattributelist);
    EXPECT_EQ(plain.numberoftriangles, constrained.numberoftriangles);
    EXPECT_TRUE(triangle_set(plain) == triangle_set(constrained));
    EXPECT_EQ(plain.numberofedges, constrained.numberofedges);
    EXPECT_TRUE(edge_set(plain) == edge_set(constrained));
    // Both routes build the same faces in the same order, so the lists (and with them the
    // direction of each edge, along which critical points are found) agree entry by entry:
    // the grid's output does not change with the route.
    EXPECT_TRUE(plain.trianglelist == constrained.trianglelist);
    EXPECT_TRUE(plain.edgelist == constrained.edgelist);
  }
  free_all_grids();
  quietflag = 0;
}

// Nodes that copied their lens from a node at the same position (the centre of a polar
// grid from r = 0, the last ray of a full circle, the corners of subgrids and the edge
// nodes that neighbouring subgrids share) take their vertex from that node without a
// look-up. Each node must still get the vertex a scan of the vertices found so far finds
// first, also when the same nodes are merged again at another xmatch: nothing may carry
// over from the merge before.
TEST(Mesh, NodesWithATwinGetTheVertexOfTheFirstMatchScanAtEveryXmatch) {
  start_program(stdin, stdout);
  quietflag = 1;
  SetVar("gridflag", 0, 0);
  ScratchDir dir;
  dir.write("model.in", "2 1\nalpha 1 0 0 0.3 20 0.1 -40 0.05 0 1\nptmass 0.2 0.6 0.3 0 0 0 0 0 0 0\n"
                        "0 0 0 0 0 0 0 0 0 0\n0 0 0 0 0 0 0 0 0 0\n");
  run_handler(setlens, WordArray({"setlens", dir.file("model.in")}));
  SetVar("gridlo1", 0, 0);
  SetVar("gridsave", 0, 1);
  run_handler(galgrid, WordArray({"galgrid", "2", "0", "0.4", "5", "0", "360", "16"}));
  SetGlob();
  dogrid();

  std::vector<gnode*> nodes;  // every node in the order the merge numbers them
  std::function<void(gnode*)> walk = [&](gnode* first) {
    for (gnode* g = first; g; g = g->next) {
      nodes.push_back(g);
      if (g->subgrid) walk(g->subgrid);
    }
  };
  walk(TWgrid.top);
  for (size_t k = 1; k < TWgrid.gal.size(); ++k) walk(TWgrid.gal[k]);
  int twins = 0, shared_edges = 0;
  for (const gnode* g : nodes) {
    if (!g->twin) continue;
    ++twins;
    EXPECT_TRUE(g->x == g->twin->x && g->y == g->twin->y);
    // an edge node of a subgrid, neither a corner nor a copy within its own column
    if (g->left && g->right && (!g->up || !g->down) && g->twin != g->down) ++shared_edges;
  }
  EXPECT_GT(twins, static_cast<int>(nodes.size()) / 4);
  EXPECT_GT(shared_edges, 10);

  bool built = true;  // the first round checks the merge of the build itself
  for (double xmatch : {1e-8, 0.05, 1e-3, 1e-8}) {
    SCOPED_TRACE(xmatch);
    SetVar("xmatch", 0, xmatch);
    SetGlob();
    if (!built) grid2tri();
    built = false;
    std::vector<double> found;
    for (const gnode* g : nodes) {
      const int v = scan_vertex(found, g->x, g->y, xmatch);
      ASSERT_EQ(g->vertex, v) << "node at " << g->x << " " << g->y;
    }
    EXPECT_EQ(TWtri.in.numberofpoints, static_cast<int>(found.size() / 2));
    EXPECT_TRUE(TWtri.in.pointlist == found);
  }
  SetVar("gridsave", 0, 0);
  free_all_grids();
  quietflag = 0;
}

}  // namespace
