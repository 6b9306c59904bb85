// Merging of the nodes into mesh vertices, checked against the plain first-match scan.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "core/lens_model.h"
#include "imageplane/grid.h"
#include "shell/commands.h"
#include "shell/settings.h"
#include "shell/startup.h"
#include "shell/vars.h"
#include "support/test_support.h"

namespace {

// Nodes set out where the merge's cell lookup can go wrong: on both sides of the boundaries
// of its cells (16 xmatch wide, from the origin), at distances just inside and just outside
// xmatch, near the origin and so far from it that the place inside a cell is not trusted.
// Each node must get the vertex that a scan of the vertices found so far, in order, finds
// first (a square test), and the mesh must list exactly those vertices.
TEST(Mesh, MergeFindsTheFirstVertexWithinXmatchAcrossCellBoundaries) {
  start_program(stdin, stdout);
  quietflag = 1;
  SetVar("gridflag", 0, 0);
  ScratchDir dir;
  dir.write("model.in", "1 1\nalpha 1 0 0 0 0 0 0 0.1 0 1\n0 0 0 0 0 0 0 0 0 0\n");
  setlens(WordArray({"setlens", dir.file("model.in")}));
  const double xmatch = 1e-3, cell = 16 * xmatch;
  SetVar("xmatch", 0, xmatch);
  SetVar("gridcoords", 0, 1);
  SetGlob();
  const double offsets[] = {-2.5, -1.5, -1.01, -0.99, -0.5, -0.01, 0, 0.01, 0.49, 0.98, 1.01, 1.5, 2.5};
  for (double base : {0.0, 2.4e10}) {  // 2.4e10 / cell = 1.5e12 cells, beyond 2^40
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
      const int nv = static_cast<int>(found.size() / 2);
      int v = 0;
      while (v < nv && !(std::fabs(g->x - found[2 * v]) < xmatch && std::fabs(g->y - found[2 * v + 1]) < xmatch)) ++v;
      if (v == nv) {
        found.push_back(g->x);
        found.push_back(g->y);
      } else {
        ++merged;
      }
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

}  // namespace
