// The tiled and triangulated image plane, checked by geometry and by the lens equation.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>

#include "app/startup.h"
#include "core/grid_control.h"
#include "core/lens_model.h"
#include "imageplane/critcurves.h"
#include "imageplane/grid.h"
#include "models/evaluator.h"
#include "numeric/constants.h"
#include "shell/commands.h"
#include "shell/fatal.h"
#include "shell/settings.h"
#include "shell/vars.h"
#include "support/test_support.h"

namespace {

class Grid : public ::testing::Test {
 protected:
  void SetUp() override {
    start_program(stdin, stdout);
    quietflag = 1;
    SetVar("gridflag", 0, 0);
    SetVar("gridlo1", 0, 0.1);
  }
  void TearDown() override { quietflag = 0; }

  // Loads a one-model lens from component lines (class and ten parameters each).
  void load(const std::vector<std::string>& components) {
    std::string text = std::to_string(components.size()) + " 1\n";
    for (const auto& c : components) text += c + "\n";
    for (size_t i = 0; i < components.size(); ++i) text += "0 0 0 0 0 0 0 0 0 0\n";
    dir_.write("model.in", text);
    run_handler(setlens, WordArray({"setlens", dir_.file("model.in")}));
  }

  void set(const char* name, double value) { SetVar(name, 0, value); }

  void build() {
    SetGlob();
    dogrid();
  }

  ScratchDir dir_;
};

const triangulateio& mesh() { return TWtri.out; }

double tri_area(int k) {
  const triangulateio& t = mesh();
  const int a = t.trianglelist[3 * k], b = t.trianglelist[3 * k + 1], c = t.trianglelist[3 * k + 2];
  return 0.5 * ((t.pointlist[2 * b] - t.pointlist[2 * a]) * (t.pointlist[2 * c + 1] - t.pointlist[2 * a + 1]) -
                (t.pointlist[2 * c] - t.pointlist[2 * a]) * (t.pointlist[2 * b + 1] - t.pointlist[2 * a + 1]));
}

// Area of a regular polygon of n sides inscribed in a circle of radius r.
double polygon(int n, double r) { return 0.5 * n * r * r * std::sin(2 * kPi / n); }

// Checks that hold for every mesh: positive triangles, attribute 5 counting corners, and
// every vertex's source position solving the lens equation of the loaded model.
void check_mesh_invariants(double expected_area) {
  const triangulateio& t = mesh();
  ASSERT_GT(t.numberoftriangles, 0);
  double total = 0;
  for (int k = 0; k < t.numberoftriangles; ++k) {
    const double a = tri_area(k);
    EXPECT_GT(a, 0) << "triangle " << k;
    total += a;
  }
  EXPECT_NEAR(total, expected_area, 1e-9 * expected_area);
  double corners = 0;
  for (int v = 0; v < t.numberofpoints; ++v) corners += t.pointattributelist[6 * v + 5];
  EXPECT_EQ(corners, 3.0 * t.numberoftriangles);
  for (int v = 0; v < t.numberofpoints; v += 7) {
    const double x = t.pointlist[2 * v], y = t.pointlist[2 * v + 1];
    double phi, ax, ay, xx, yy, xy, yx;
    potdefmag(x, y, phi, ax, ay, xx, yy, xy, yx);
    EXPECT_NEAR(t.pointattributelist[6 * v], x - ax, 1e-12);
    EXPECT_NEAR(t.pointattributelist[6 * v + 1], y - ay, 1e-12);
    EXPECT_NEAR(t.pointattributelist[6 * v + 4], phi, 1e-12);
  }
}

// Signed area of the polygon through a ring of the main grid: the nodes linked by up from
// the node `start` (a full circle repeats its first node last, which closes the polygon).
double ring_area(const gnode* start) {
  double a = 0;
  const gnode* first = start;
  const gnode* g = start;
  for (; g->up; g = g->up) a += g->x * g->up->y - g->up->x * g->y;
  a += g->x * first->y - first->x * g->y;
  return 0.5 * a;
}

// Area inside the outer ring of a closed polar main grid.
double outer_ring_area() {
  const gnode* outer = TWgrid.top;
  while (outer->right) outer = outer->right;
  return ring_area(outer);
}

// The area a closed polar main grid covers: inside its outer ring, outside its inner ring.
double polar_grid_area() { return outer_ring_area() - ring_area(TWgrid.top); }

// Nodes of one grid in the order a single walk over every node meets them: each node, then
// its subgrid.
template <class Visit>
void walk(gnode* first, Visit&& visit) {
  for (gnode* g = first; g; g = g->next) {
    visit(g);
    if (g->subgrid) walk(g->subgrid, visit);
  }
}

// Every grid of the build (kept with gridsave 1), main grid first.
template <class Visit>
void walk_all(Visit&& visit) {
  walk(TWgrid.top, visit);
  for (size_t k = 1; k < TWgrid.gal.size(); ++k) walk(TWgrid.gal[k], visit);
  for (size_t k = 1; k < TWgrid.img.size(); ++k) walk(TWgrid.img[k], visit);
}

int max_depth(const gnode* first) {
  int d = 0;
  for (const gnode* g = first; g; g = g->next)
    if (g->subgrid) d = std::max(d, 1 + max_depth(g->subgrid));
  return d;
}

double detA_at(double x, double y) {
  double phi, ax, ay, xx, yy, xy, yx;
  potdefmag(x, y, phi, ax, ay, xx, yy, xy, yx);
  return (1 - xx) * (1 - yy) - xy * yx;
}

// Centroid of mesh triangle k.
void centroid(int k, double& x, double& y) {
  const triangulateio& t = mesh();
  x = y = 0;
  for (int c = 0; c < 3; ++c) {
    x += t.pointlist[2 * t.trianglelist[3 * k + c]] / 3;
    y += t.pointlist[2 * t.trianglelist[3 * k + c] + 1] / 3;
  }
}

}  // namespace

TEST_F(Grid, MeshInvariantsOnEveryMainGridKind) {
  struct Case {
    const char* what;
    int coords;
    double lo1, hi1;
    int n1;
    double lo2, hi2;
    int n2;
    double area;
  };
  const std::vector<Case> cases = {
      {"cartesian", 1, -2, 2, 21, -2, 2, 21, 16.0},
      {"polar with a hole", 2, 0.2, 2, 19, 0, 360, 21, polygon(20, 2) - polygon(20, 0.2)},
      // An open polar grid keeps its triangles: segments close it along its end rays.
      {"half polar", 2, 0.2, 2, 19, 0, 180, 11, (polygon(20, 2) - polygon(20, 0.2)) / 2},
  };
  load({"ptmass 1 0 0 0 0 0.1 30 0 0 0"});
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    set("gridcoords", c.coords);
    set("gridlo1", c.lo1);
    set("gridhi1", c.hi1);
    set("ngrid1", c.n1);
    set("gridlo2", c.lo2);
    set("gridhi2", c.hi2);
    set("ngrid2", c.n2);
    build();
    check_mesh_invariants(c.area);
  }
}

TEST_F(Grid, SubgridsRefineOnlyWhereTheMagnificationChangesSign) {
  load({"ptmass 1 0 0 0 0 0 0 0 0 0"});
  set("gridlo1", 0.2);
  set("maxlev", 1);
  build();
  const int plain = mesh().numberofpoints;
  EXPECT_EQ(plain, 20 * 19);  // the last ray repeats the first and merges with it
  set("maxlev", 3);
  build();
  EXPECT_GT(mesh().numberofpoints, plain);
  // Vertices that are not top-level nodes come from subgrids, which lie only in the
  // cells that straddle the critical curve r = 1 (rings at 0.958 and 1.053).
  int from_subgrids = 0;
  for (int v = 0; v < mesh().numberofpoints; ++v) {
    const double x = mesh().pointlist[2 * v], y = mesh().pointlist[2 * v + 1];
    bool top = false;
    for (gnode* g = TWgrid.top; g && !top; g = g->next) top = std::fabs(g->x - x) < 1e-12 && std::fabs(g->y - y) < 1e-12;
    if (top) continue;
    ++from_subgrids;
    EXPECT_NEAR(std::hypot(x, y), 1.0, 0.06);
  }
  // Two levels of 2 x 2 in each of the 19 straddling cells: 21 new nodes per cell, less
  // those shared along the cell edges.
  EXPECT_GT(from_subgrids, 19 * 10);
  // Grid mode 2 never subgrids.
  set("ngrid1", 10);
  setgridmode(2);
  build();
  for (gnode* g = TWgrid.top; g; g = g->next) EXPECT_EQ(g->subgrid, nullptr);
  setgridmode(1);
}

TEST_F(Grid, CriticalCurveGridBracketsTheEinsteinRing) {
  // Point mass b = 1: one (tangential) critical curve at r = 1; circular, so the caustic
  // is a point and no ray is subdivided.
  load({"ptmass 1 0 0 0 0 0 0 0 0 0"});
  set("gridlo1", 0.1);
  set("ngrid1", 5);
  quietflag = 0;
  CaptureOutput out;
  setgridmode(2);
  build();
  setgridmode(1);
  quietflag = 1;
  EXPECT_EQ(count_occurrences(out.text(), "now looking for only 1 critical line."), 1);
  int n2 = 0;
  for (gnode* g = TWgrid.top; g && !g->left; g = g->next) ++n2;
  EXPECT_EQ(n2, 21);  // ngrid2 + 1 rays, none added
  // Each ray has 2 ngrid1 nodes; the fifth and sixth straddle r = 1 within crittol.
  int ring = 0;
  for (gnode* g = TWgrid.top; g; g = g->right, ++ring) {
    const double r = std::hypot(g->x, g->y);
    if (ring == 4) {
      EXPECT_NEAR(r, 1.0 - 1e-6, 1e-7);
    }
    if (ring == 5) {
      EXPECT_NEAR(r, 1.0 + 1e-6, 1e-7);
    }
  }
  EXPECT_EQ(ring, 10);
}

TEST_F(Grid, CriticalCurveGridWithoutCurvesFallsBackToThePlainGrid) {
  load({"convrg 0.3 0 0 0 0 0 0 0 0 0"});
  set("gridlo1", 0.1);
  quietflag = 0;
  CaptureOutput out;
  setgridmode(2);
  build();
  setgridmode(1);
  quietflag = 1;
  EXPECT_NE(out.text().find("WARNING: no critical curve found along the grid rays"), std::string::npos);
  check_mesh_invariants(polygon(19, 2) - polygon(19, 0.1));
}

TEST_F(Grid, GalaxyGridSharesTheVerticesItHasInCommonWithTheMainGrid) {
  load({"ptmass 1 0 0 0 0 0 0 0 0 0", "ptmass 0.1 0 0 0 0 0 0 0 0 0"});
  set("maxlev", 1);
  build();  // main grid: rings 0.1, 0.2, ..., 2.0 on 19 rays
  const int main_only = mesh().numberofpoints;
  // Rings 0.5 .. 1.0 on the same rays about the same centre: every node coincides.
  run_handler(galgrid, WordArray({"galgrid", "1", "0.5", "1.0", "6", "0", "360", "20"}));
  build();
  EXPECT_EQ(mesh().numberofpoints, main_only);
  // On other rays the galaxy grid adds its own vertices.
  run_handler(galgrid, WordArray({"galgrid", "1", "0.5", "1.0", "6", "0", "360", "21"}));
  build();
  EXPECT_GT(mesh().numberofpoints, main_only);
  check_mesh_invariants(polygon(19, 2) - polygon(19, 0.1));
}

TEST_F(Grid, GalaxyOutsideTheMainGridGetsNoGrid) {
  load({"ptmass 1 0 0 0 0 0 0 0 0 0", "ptmass 0.1 1.5 0 0 0 0 0 0 0 0"});
  set("gridsave", 1);
  run_handler(galgrid, WordArray({"galgrid", "2", "0.05", "0.2", "4", "0", "360", "12"}));
  set("gridhi1", 1.0);
  build();
  ASSERT_EQ(TWgrid.gal.size(), 3u);
  EXPECT_NE(TWgrid.gal[1], nullptr);
  EXPECT_EQ(TWgrid.gal[2], nullptr);  // at distance 1.5 from component 1, outside r = 1
  set("gridhi1", 1.5);
  build();
  EXPECT_EQ(TWgrid.gal[2], nullptr);  // on the boundary
  set("gridhi1", 2.0);
  build();
  EXPECT_NE(TWgrid.gal[2], nullptr);
  // A cartesian main grid: strictly inside its rectangle.
  set("gridcoords", 1);
  for (double hi : {1.5, 2.0}) {
    set("gridlo1", -hi);
    set("gridhi1", hi);
    set("gridlo2", -2);
    set("gridhi2", 2);
    build();
    EXPECT_EQ(TWgrid.gal[2] != nullptr, hi > 1.5) << hi;
  }
  set("gridcoords", 2);
  set("gridlo1", 0.1);
  set("gridlo2", 0);
  set("gridhi2", 360);
  // Grids kept by a build with gridsave 1 are released by the next build (under the
  // sanitizers a lost grid is reported as a leak).
  set("gridsave", 0);
  build();
  EXPECT_TRUE(TWgrid.gal.empty());
}

TEST_F(Grid, RangeErrorsEndTheBuild) {
  struct Case {
    std::vector<std::pair<const char*, double>> settings;
    const char* message;
  };
  const std::vector<Case> cases = {
      {{{"ngrid2", 2}}, "grid has more than 180 deg per angular step; increase resolution"},
      {{{"gridcoords", 1}, {"ngrid1", -10}}, "for cartesian grid, ngrid1 and ngrid2 must be positive"},
      // Settings that leave no grid or pass a bound are refused by the refresh.
      {{{"ngrid2", 1}}, "ngrid2 = 1 leaves no grid: it needs at least 2 steps"},
      {{{"gridcoords", 1}, {"ngrid1", 0}}, "ngrid1 = 0 leaves no grid: it needs at least 2 steps"},
      {{{"maxlev", 100}}, "maxlev must be <= 16 (it is 100)"},
      {{{"ngrid1", -10}}, "logarithmic radial steps need gridlo1 > 0"},
  };
  for (const auto& c : cases) {
    start_program(stdin, stdout);
    quietflag = 1;
    set("gridflag", 0);
    set("gridlo1", 0.1);
    load({"ptmass 1 0 0 0 0 0 0 0 0 0"});
    set("gridlo1", 0);
    for (const auto& s : c.settings) set(s.first, s.second);
    try {
      build();
      ADD_FAILURE() << c.message;
    } catch (const FatalError& e) {
      EXPECT_EQ(e.message, c.message);
    }
  }
}

TEST_F(Grid, ABuildThatWouldHoldTooManyNodesStopsNamingMaxlev) {
  load({"alpha 1.2 0 0 0.3 0 0 0 0.05 0 1"});
  set("maxlev", 5);
  set_grid_node_limit(1000);
  const std::string m = fatal_message([&] { build(); });
  set_grid_node_limit(0);
  EXPECT_EQ(m,
            "the grid needs more than 1000 nodes (about 2 GB); lower maxlev (now 5), or nsubg1, nsubg2, ngrid1, "
            "ngrid2, gallev, imglev or the steps of galgrid and imggrid, and regrid");
  // The limit in force again, the same grid builds.
  build();
  EXPECT_NE(TWgrid.top, nullptr);
}

TEST_F(Grid, SecondaryGridCommands) {
  CaptureOutput out;
  quietflag = 0;
  run_handler(galgrid, WordArray({"galgrid", "3"}));
  EXPECT_NE(out.text().find("galgrid <Ngal>"), std::string::npos);
  run_handler(galgrid, WordArray({"galgrid", "2", "0", "1", "-10", "0", "360", "20"}));
  EXPECT_NE(out.text().find("WARNING: galaxy grids cannot be logarithmic if rlo=0"), std::string::npos);
  EXPECT_EQ(TWsecgrid.galgridp[1], 0);  // refused values are not kept
  run_handler(galgrid, WordArray({"galgrid", "0"}));
  EXPECT_NE(out.text().find("Turning off secondary grids around galaxies."), std::string::npos);
  run_handler(imggrid, WordArray({"imggrid", "-2", "0.1", "1", "5", "0", "360", "20"}));
  EXPECT_NE(out.text().find("  Ngrid  [using observed image positions]\n"), std::string::npos);
  dir_.write("pos.txt", "2\n1 2\n# a comment\n3 4\n");
  run_handler(imgarray, WordArray({"imgarray", "5", dir_.file("pos.txt")}));
  EXPECT_EQ(TWgrid.nimggrid, 2);
  EXPECT_EQ(TWsecgrid.imggridpos[2][1], 3);
  EXPECT_NE(out.text().find("Positions for imgarray:\n   1.000000e+00  2.000000e+00\n"), std::string::npos);
  dir_.write("short.txt", "3\n1 2\n");
  EXPECT_THROW(run_handler(imgarray, WordArray({"imgarray", "3", dir_.file("short.txt")})), FatalError);
  quietflag = 1;
}

TEST_F(Grid, GridCommandsNeedAModel) {
  for (auto* cmd : {regrid, autogrid}) {
    try {
      cmd(WordArray({"x"}));
      ADD_FAILURE();
    } catch (const FatalError& e) {
      EXPECT_EQ(e.message, "no lens model has been specified");
    }
  }
}

TEST_F(Grid, AutogridOnASinglyImagingModelKeepsTheUpperRadius) {
  load({"convrg 0.2 0 0 0 0 0 0 0 0 0"});
  quietflag = 0;
  CaptureOutput out;
  run_handler(autogrid, WordArray({"autogrid"}));
  quietflag = 1;
  EXPECT_NE(out.text().find("Note: no multiply-imaged region was found"), std::string::npos);
  EXPECT_EQ(GetVar("gridhi1"), 2.0);
  EXPECT_GT(mesh().numberoftriangles, 0);
}

TEST_F(Grid, AutogridWithoutCausticsUsesTheMagnificationBoundAlone) {
  // A uniform sheet of convergence 0.5 magnifies by 1/(1 - 0.5)^2 = 4 everywhere.
  load({"convrg 0.5 0 0 0 0 0 0 0 0 0"});
  run_handler(autogrid, WordArray({"autogrid", "1", "5"}));
  // The first radius above gridlo1 passes (gridlo1 itself would leave a grid of no extent).
  EXPECT_DOUBLE_EQ(GetVar("gridhi1"), 0.1 + 1.9 / 19);
  CaptureOutput out;
  run_handler(autogrid, WordArray({"autogrid", "1", "3"}));
  EXPECT_NE(out.text().find("WARNING: autogrid could not find a grid satisfying your criteria"), std::string::npos);
  EXPECT_DOUBLE_EQ(GetVar("gridhi1"), 0.1 + 1.9 / 19);  // back to the upper radius it started from
  SetVar("gridhi1", 0, 2);
  run_handler(autogrid, WordArray({"autogrid", "3"}));
  EXPECT_EQ(GetVar("ngrid1"), -20);
  // A later refresh builds rings in geometric progression from 0.1 to 2.
  build();
  for (gnode* g = TWgrid.top; g->right; g = g->right)
    EXPECT_NEAR(std::hypot(g->right->x, g->right->y) / std::hypot(g->x, g->y), std::pow(20.0, 1.0 / 19), 1e-12);
  try {
    SetVar("gridlo1", 0, 0);
    SetVar("ngrid1", 0, 20);
    run_handler(autogrid, WordArray({"autogrid", "2"}));
    FAIL();
  } catch (const FatalError& e) {
    EXPECT_EQ(e.message, "logarithmic radial steps in autogrid need gridlo1 > 0");
  }
}

TEST_F(Grid, PlotgridWritesEveryMeshEdge) {
  load({"ptmass 1 0 0 0 0 0 0 0 0 0"});
  set("gridlo1", 0.2);
  set("maxlev", 1);
  build();
  run_handler(plotgrid, WordArray({"plotgrid", dir_.file("g.dat")}));
  const std::string text = dir_.read("g.dat");
  EXPECT_EQ(count_occurrences(text, "\n") - 8, mesh().numberofedges);
  set("plotmode", 3);
  SetGlob();
  run_handler(plotgrid, WordArray({"plotgrid", dir_.file("g.reg")}));
  EXPECT_EQ(count_occurrences(dir_.read("g.reg"), "image;line("), mesh().numberofedges);
}

TEST_F(Grid, VertexNumberingIsTheFirstMatchScanOverEveryNode) {
  // Main grid with subgrids about the ring r = 1, two galaxy grids and two image grids; the
  // vertices must be numbered as a scan of the vertices found so far, in the order main
  // grid, galaxy grids, image grids, each node followed by its subgrid, would number them.
  load({"ptmass 1 0 0 0 0 0 0 0 0 0", "ptmass 0.2 0.6 0.3 0 0 0 0 0 0 0"});
  set("gridsave", 1);
  run_handler(galgrid, WordArray({"galgrid", "2", "0.05", "0.4", "4", "0", "360", "12"}));
  dir_.write("pos.txt", "2\n-0.9 0.4\n0.2 -1.1\n");
  run_handler(imggrid, WordArray({"imggrid", "2", "0.05", "0.3", "3", "0", "360", "10", dir_.file("pos.txt")}));
  for (double xmatch : {1e-8, 0.02}) {
    SCOPED_TRACE(xmatch);
    set("xmatch", xmatch);
    build();
    std::vector<double> found;  // x, y of the vertices found so far
    int nodes = 0, subgrid_nodes = 0;
    walk_all([&](gnode* g) {
      int v = 0;
      const int nv = static_cast<int>(found.size() / 2);
      auto matches = [&](int k) {
        return std::fabs(g->x - found[2 * k]) < xmatch && std::fabs(g->y - found[2 * k + 1]) < xmatch;
      };
      while (v < nv && !matches(v)) ++v;
      if (v == nv) {
        found.push_back(g->x);
        found.push_back(g->y);
      }
      EXPECT_EQ(g->vertex, v) << "node " << nodes;
      ++nodes;
    });
    for (gnode* g = TWgrid.top; g; g = g->next)
      if (g->subgrid) walk(g->subgrid, [&](gnode*) { ++subgrid_nodes; });
    EXPECT_GT(subgrid_nodes, 0);
    const int nv = static_cast<int>(found.size() / 2);
    ASSERT_GE(mesh().numberofpoints, nv);
    for (int v = 0; v < 2 * nv; ++v) EXPECT_EQ(mesh().pointlist[v], found[v]);
    // No segments cross at the default xmatch: the mesh has exactly the merged vertices.
    if (xmatch == 1e-8) {
      EXPECT_EQ(mesh().numberofpoints, nv);
      // Holes inside the closed inner rings of both galaxy grids (11 distinct rays) and
      // both image grids (9): galaxy 1 sits at the main grid's centre, and its smaller
      // ring is what bounds the hole there.
      check_mesh_invariants(outer_ring_area() - 2 * polygon(11, 0.05) - 2 * polygon(9, 0.05));
    }
  }
}

TEST_F(Grid, CriticalCurveGridOnAnIsothermalSphere) {
  // Isothermal sphere b = 1.3 with a small core s = 0.001: deflection
  // b (sqrt(r^2 + s^2) - s) / r, so the tangential critical curve (deflection = r) lies at
  // rc = sqrt(b^2 - 2 b s) (b for s -> 0) and the radial one near sqrt(b s) = 0.036, inside
  // gridlo1. One curve and a point caustic: no ray is added and every ray has 2 ngrid1
  // nodes, the middle two at (1 -+ crittol) rc.
  load({"alpha 1.3 0 0 0 0 0 0 0.001 0 1"});
  const double rc = std::sqrt(1.3 * 1.3 - 2 * 1.3 * 0.001);
  set("ngrid1", 6);
  quietflag = 0;
  CaptureOutput out;
  setgridmode(2);
  build();
  setgridmode(1);
  quietflag = 1;
  EXPECT_EQ(count_occurrences(out.text(), "Note: now looking for only 1 critical line."), 1);
  int rays = 0;
  for (gnode* ray = TWgrid.top; ray; ray = ray->up, ++rays) {
    int ring = 0;
    for (gnode* g = ray; g; g = g->right, ++ring) {
      EXPECT_EQ(g->subgrid, nullptr);
      const double r = std::hypot(g->x, g->y);
      if (ring == 5) {
        EXPECT_NEAR(r, rc * (1 - 1e-6), 2e-7);
        EXPECT_LT(g->mu, 0);
      }
      if (ring == 6) {
        EXPECT_NEAR(r, rc * (1 + 1e-6), 2e-7);
        EXPECT_GT(g->mu, 0);
      }
    }
    EXPECT_EQ(ring, 12);
  }
  EXPECT_EQ(rays, 21);
  check_mesh_invariants(polar_grid_area());
}

TEST_F(Grid, CriticalCurveGridWithTwoCurves) {
  // Cored isothermal ellipsoid with shear: a radial curve near r = 0.26 and a tangential
  // curve between r = 0.76 and 1.10 on every ray (det A scanned along rays at 30 degree
  // steps). The caustics are extended, so rays are added where they move fast.
  load({"alpha 1 0 0 0.3 20 0.1 -40 0.1 0 1"});
  set("ngrid1", 4);
  setgridmode(2);
  for (double omitcore : {0.0, 0.1}) {
    SCOPED_TRACE(omitcore);
    set("omitcore", omitcore);
    set("maxlev", 3);
    build();
    const int per_ray = omitcore > 0 ? 8 : 12;
    int rays = 0;
    for (gnode* ray = TWgrid.top; ray; ray = ray->up, ++rays) {
      std::vector<gnode*> nodes;
      for (gnode* g = ray; g; g = g->right) nodes.push_back(g);
      ASSERT_EQ(static_cast<int>(nodes.size()), per_ray);
      for (gnode* g : nodes) EXPECT_EQ(g->subgrid, nullptr);  // grid mode 2 never subgrids
      // The runs meet at the curves: the magnification changes sign between them.
      for (int i = 1; i < per_ray; ++i) EXPECT_EQ((nodes[i - 1]->mu > 0) != (nodes[i]->mu > 0), i % 4 == 0) << i;
      if (omitcore > 0) {
        // The innermost node lies just outside the inner curve: det A changes sign between
        // it and the radius (1 - crittol) / (1 + crittol) times smaller.
        const double f = (1 - 1e-6) / (1 + 1e-6);
        EXPECT_NE(detA_at(nodes[0]->x, nodes[0]->y) > 0, detA_at(f * nodes[0]->x, f * nodes[0]->y) > 0);
      }
    }
    EXPECT_GT(rays, 21);
    if (omitcore == 0) check_mesh_invariants(polar_grid_area());
  }
  set("omitcore", 0);
  setgridmode(1);
}

TEST_F(Grid, CriticalCurveGridDropsRaysWithoutACriticalPoint) {
  // Isothermal ellipsoid e = 0.4: its critical curve lies at r = 0.83 on the minor axis and
  // 1.38 on the major axis (the y axis); with gridhi1 = 1.2 the rays within about 35 degrees
  // of the y axis find no critical point and are dropped, also the rays at 0 and 360.
  load({"alpha 1 0 0 0.4 0 0 0 0 0 1"});
  set("gridhi1", 1.2);
  set("ngrid1", 4);
  quietflag = 0;
  CaptureOutput out;
  setgridmode(2);
  build();
  setgridmode(1);
  quietflag = 1;
  EXPECT_EQ(out.text().find("WARNING"), std::string::npos);
  std::vector<double> angles;
  for (gnode* ray = TWgrid.top; ray; ray = ray->up) {
    angles.push_back(std::atan2(-ray->x, ray->y) * 180 / kPi);
    // Every kept ray brackets the curve.
    int ring = 0;
    for (gnode* g = ray; g; g = g->right, ++ring) EXPECT_EQ(g->mu > 0, ring >= 4);
  }
  ASSERT_GT(angles.size(), 4u);
  for (double a : angles) EXPECT_GT(std::fabs(std::sin(a * kPi / 180)), std::sin(30 * kPi / 180)) << a;
  // The first kept ray is repeated last, so the rings close round the centre.
  gnode* last = TWgrid.top;
  while (last->up) last = last->up;
  EXPECT_EQ(last->vertex, TWgrid.top->vertex);
  check_mesh_invariants(polar_grid_area());
}

TEST_F(Grid, CriticalCurveGridOnRaysToOneSideFallsBackToThePlainGrid) {
  // A sheet at the centre and a point mass at (1.2, 0) whose critical ring (radius
  // 0.8 / sqrt(1 - 0.1) = 0.84) only the rays toward it cross: those rays span 72 degrees,
  // which cannot close a ring round the centre. The main grid is then built from the plain
  // ranges and subgridded as in grid mode 1; the galaxy grid keeps the rule of grid mode 2.
  load({"convrg 0.1 0 0 0 0 0 0 0 0 0", "ptmass 0.8 1.2 0 0 0 0 0 0 0 0"});
  set("gridsave", 1);
  run_handler(galgrid, WordArray({"galgrid", "2", "0.05", "1", "10", "0", "360", "20"}));
  quietflag = 0;
  CaptureOutput out;
  setgridmode(2);
  build();
  setgridmode(1);
  quietflag = 1;
  EXPECT_NE(out.text().find("WARNING: critical points found on too few grid rays to close the grid; "
                            "using the plain grid ranges"),
            std::string::npos);
  EXPECT_GT(max_depth(TWgrid.top), 0);
  ASSERT_NE(TWgrid.gal[2], nullptr);
  EXPECT_EQ(max_depth(TWgrid.gal[2]), 0);
  // Galaxy 1 (the sheet, at the centre) has a grid too: its ring of radius 0.05 inside the
  // main grid's bounds the hole there.
  check_mesh_invariants(outer_ring_area() - 2 * polygon(19, 0.05));
}

TEST_F(Grid, HolesOnlyInsideClosedInnerRingsOfBuiltGrids) {
  // Main grid with an inner ring of radius 0.05 (19 distinct rays), closed galaxy rings of
  // radius 0.1 (11 distinct rays) about galaxy 1 (the main grid's centre, so its ring
  // encloses the main one and bounds no hole of its own) and galaxy 2 at (0.6, 0.3), a
  // galaxy outside the main grid, and an image grid whose ring is closed: every hole is
  // carved up to its innermost ring, nothing else.
  load({"ptmass 1 0 0 0 0 0 0 0 0 0", "ptmass 0.1 0.6 0.3 0 0 0 0 0 0 0", "ptmass 0.1 2.5 0 0 0 0 0 0 0 0"});
  set("gridlo1", 0.05);
  set("maxlev", 1);
  run_handler(galgrid, WordArray({"galgrid", "3", "0.1", "0.2", "3", "0", "360", "12"}));
  dir_.write("pos.txt", "1\n-0.9 0.4\n");
  run_handler(imggrid, WordArray({"imggrid", "1", "0.08", "0.2", "3", "0", "360", "10", dir_.file("pos.txt")}));
  build();
  // One hole each for the main grid, galaxies 1 and 2 and the image grid; none for galaxy 3,
  // which got no grid.
  EXPECT_EQ(mesh().numberofholes, 4);
  check_mesh_invariants(polygon(19, 2) - polygon(19, 0.05) - polygon(11, 0.1) - polygon(9, 0.08));
  for (int k = 0; k < mesh().numberoftriangles; ++k) {
    double x, y;
    centroid(k, x, y);
    EXPECT_GT(std::hypot(x, y), 0.05 * std::cos(kPi / 19)) << "triangle in the main grid's hole";
    EXPECT_GT(std::hypot(x - 0.6, y - 0.3), 0.1 * std::cos(kPi / 11)) << "triangle in a galaxy's hole";
    EXPECT_GT(std::hypot(x + 0.9, y - 0.4), 0.08 * std::cos(kPi / 9)) << "triangle in the image grid's hole";
  }
  // Galaxy rings that do not close (half circles) get no hole: the mesh keeps everything
  // up to the main grid's own inner ring.
  run_handler(galgrid, WordArray({"galgrid", "3", "0.1", "0.2", "3", "0", "180", "12"}));
  build();
  EXPECT_EQ(mesh().numberofholes, 2);
  check_mesh_invariants(polygon(19, 2) - polygon(19, 0.05) - polygon(9, 0.08));
}

TEST_F(Grid, SubgridsCopyTheirCornersAndTheSourceRangeCoversEveryNode) {
  load({"alpha 1 0 0 0.3 20 0.1 -40 0.1 0 1"});
  set("gridsave", 1);
  set("deftol", 1e-3);
  set("magtol", 1e-3);
  run_handler(galgrid, WordArray({"galgrid", "1", "0.05", "0.5", "4", "0", "360", "12"}));
  dir_.write("pos.txt", "1\n0.9 0.4\n");
  run_handler(imggrid, WordArray({"imggrid", "1", "0.05", "0.3", "3", "0", "360", "10", dir_.file("pos.txt")}));
  build();
  // Corners of every subgrid are exact copies of the parent cell's corners.
  walk_all([&](gnode* g) {
    if (!g->subgrid) return;
    const gnode* s = g->subgrid;
    const gnode* s_right = s;
    while (s_right->right) s_right = s_right->right;
    const gnode* s_up = s;
    while (s_up->up) s_up = s_up->up;
    const gnode* s_ur = s_right;
    while (s_ur->up) s_ur = s_ur->up;
    for (auto [a, b] : {std::pair{s, g}, {s_right, g->right}, {s_up, g->up}, {s_ur, g->up->right}}) {
      EXPECT_EQ(a->x, b->x);
      EXPECT_EQ(a->y, b->y);
      EXPECT_EQ(a->u, b->u);
      EXPECT_EQ(a->v, b->v);
      EXPECT_EQ(a->mu, b->mu);
      EXPECT_EQ(a->phi, b->phi);
      EXPECT_EQ(a->parity, b->parity);
    }
  });
  // Never deeper than maxlev 3 allows; the galaxy grid is refined only across the critical
  // curve, the image grid (with the deflection and magnification tests) everywhere here.
  EXPECT_EQ(max_depth(TWgrid.top), 2);
  int img_cells = 0, img_refined = 0;
  for (gnode* g = TWgrid.img[1]; g; g = g->next)
    if (g->up && g->right) {
      ++img_cells;
      img_refined += g->subgrid != nullptr;
    }
  EXPECT_EQ(img_refined, img_cells);
  int gal_refined = 0;
  for (gnode* g = TWgrid.gal[1]; g; g = g->next) gal_refined += g->subgrid != nullptr;
  EXPECT_GT(gal_refined, 0);
  for (gnode* g = TWgrid.gal[1]; g; g = g->next) {
    if (!g->subgrid) continue;
    const bool sign = g->mu > 0;
    EXPECT_TRUE(sign != (g->right->mu > 0) || sign != (g->up->mu > 0) || sign != (g->up->right->mu > 0));
  }
  // The source range is exactly that of all nodes.
  double umin = 1e12, umax = -1e12, vmin = 1e12, vmax = -1e12;
  walk_all([&](gnode* g) {
    umin = std::min(umin, g->u);
    umax = std::max(umax, g->u);
    vmin = std::min(vmin, g->v);
    vmax = std::max(vmax, g->v);
  });
  EXPECT_EQ(TWgrid.umin, umin);
  EXPECT_EQ(TWgrid.umax, umax);
  EXPECT_EQ(TWgrid.vmin, vmin);
  EXPECT_EQ(TWgrid.vmax, vmax);
}

// Nodes that coincide (subgrid edges shared by neighbouring cells, also across the edges
// of their parent cells and across the seam of a full circle; the centre of a polar grid
// from radius 0) are evaluated once and share that evaluation: every node must still
// carry exactly the lens at its own position.
TEST_F(Grid, EveryNodeCarriesTheLensAtItsOwnPosition) {
  load({"alpha 1 0 0 0.3 20 0.1 -40 0.05 0 1", "alpha 0.1 0.8 0.7 0 0 0 0 0.01 0 1"});
  set("gridsave", 1);
  set("gridlo1", 0);
  set("maxlev", 4);
  set("deftol", 1e-3);
  set("magtol", 1e-2);
  run_handler(galgrid, WordArray({"galgrid", "2", "0", "0.4", "5", "0", "360", "16"}));
  dir_.write("pos.txt", "1\n-0.2 1.1\n");
  run_handler(imggrid, WordArray({"imggrid", "1", "0.05", "0.4", "4", "0", "360", "12", dir_.file("pos.txt")}));
  build();
  ASSERT_GE(max_depth(TWgrid.top), 3);
  ASSERT_GE(max_depth(TWgrid.gal[2]), 1);
  long nodes = 0;
  walk_all([&](gnode* g) {
    ++nodes;
    double phi, ax, ay, xx, yy, xy, yx;
    potdefmag(g->x, g->y, phi, ax, ay, xx, yy, xy, yx);
    const double det = (1 - xx) * (1 - yy) - xy * yx;
    const double t = 2 - xx - yy, disc = t * t - 4 * det;
    int parity = -1;
    if (disc >= 0) {
      const double l1 = 0.5 * (t + std::sqrt(disc)), l2 = 0.5 * (t - std::sqrt(disc));
      parity = (l1 > 0 && l2 > 0) ? 1 : (l1 < 0 && l2 < 0) ? -2 : -1;
    }
    const double got[] = {g->phi, g->alpha_x, g->alpha_y, g->u, g->v, g->phi_xx, g->phi_yy, g->phi_xy, g->phi_yx, g->mu};
    const double want[] = {phi, ax, ay, g->x - ax, g->y - ay, xx, yy, xy, yx, 1 / det};
    for (int k = 0; k < 10; ++k) EXPECT_EQ(got[k], want[k]) << "value " << k << " at " << g->x << " " << g->y;
    EXPECT_EQ(g->parity, parity) << "at " << g->x << " " << g->y;
  });
  EXPECT_GT(nodes, 2000);
  // ... and lies where its subgrid puts it: the bilinear blend of the parent cell's corners.
  const int n1 = settings.nsubg1, n2 = settings.nsubg2;
  walk_all([&](gnode* g) {
    if (!g->subgrid) return;
    const gnode* c[4] = {g, g->right, g->up, g->up->right};
    int index = 0;
    for (const gnode* s = g->subgrid; s; s = s->next, ++index) {
      const double a = index / (n2 + 1), b = index % (n2 + 1);
      const double u = a / n1, t = b / n2;
      const double w[4] = {(1 - u) * (1 - t), u * (1 - t), (1 - u) * t, u * t};
      EXPECT_EQ(s->x, w[0] * c[0]->x + w[1] * c[1]->x + w[2] * c[2]->x + w[3] * c[3]->x);
      EXPECT_EQ(s->y, w[0] * c[0]->y + w[1] * c[1]->y + w[2] * c[2]->y + w[3] * c[3]->y);
    }
    EXPECT_EQ(index, (n1 + 1) * (n2 + 1));
  });
}

// The critical points use the build's own evaluations at the mesh vertices: the search
// made without them (the lens evaluated at the ends of every edge) finds the same points
// bit for bit.
TEST_F(Grid, CriticalPointsFromTheBuildAgreeWithAFreshSearch) {
  load({"alpha 1 0 0 0.3 20 0.1 -40 0.05 0 1", "alpha 0.1 0.8 0.7 0 0 0 0 0.01 0 1"});
  set("gridlo1", 0.05);
  run_handler(galgrid, WordArray({"galgrid", "2", "0.01", "0.4", "5", "0", "360", "16"}));
  build();
  const int n = TWcrit.ncrit;
  ASSERT_GT(n, 100);
  const Mat built = TWcrit.crit;
  const std::vector<int> edges = TWcrit.edge;
  TWgrid.vertex_lens.clear();
  find_crit();
  ASSERT_EQ(TWcrit.ncrit, n);
  EXPECT_EQ(TWcrit.edge, edges);
  for (int k = 1; k <= n; ++k)
    for (int j = 1; j <= 4; ++j) EXPECT_EQ(TWcrit.crit[k][j], built[k][j]) << "point " << k;
}

TEST_F(Grid, MaingridSetsTheVariablesAndPrintsThem) {
  quietflag = 0;
  {
    CaptureOutput out;
    run_handler(maingrid, WordArray({"maingrid", "1", "-2", "2", "21", "-1.5", "1.5", "15"}));
    EXPECT_EQ(out.text(), "Setting cartesian grid:\n  x -2.000000e+00  2.000000e+00 21\n"
                          "  y -1.500000e+00  1.500000e+00 15\n");
    EXPECT_EQ(GetVar("gridcoords"), 1);
    EXPECT_EQ(GetVar("gridlo2"), -1.5);
    EXPECT_EQ(GetVar("ngrid2"), 15);
  }
  {
    CaptureOutput out;
    run_handler(maingrid, WordArray({"maingrid", "2", "0.1", "2", "20", "0", "360", "24"}));
    EXPECT_EQ(out.text(), "Setting polar grid:\n  r      1.000000e-01  2.000000e+00 20\n"
                          "  theta  0.000000e+00  3.600000e+02 24\n");
  }
  {
    CaptureOutput out;
    run_handler(maingrid, WordArray({"maingrid", "2", "0.1", "2", "20", "0", "360"}));
    EXPECT_NE(out.text().find("maingrid 1 <x lo> <hi> <#steps> <y lo> <hi> <#steps>"), std::string::npos);
    EXPECT_EQ(GetVar("ngrid2"), 24);  // unchanged
  }
  quietflag = 1;
}

TEST_F(Grid, ImggridReadsPositionsFromTheCommandInput) {
  FILE* in = std::tmpfile();
  std::fputs("0.5 0.2\n\n# a comment\n-0.3 0.4\n", in);
  std::rewind(in);
  FILE* saved = QVMstdin;
  QVMstdin = in;
  quietflag = 0;
  CaptureOutput out;
  run_handler(imggrid, WordArray({"imggrid", "2", "0.05", "0.3", "3", "0", "360", "10"}));
  QVMstdin = saved;
  std::fclose(in);
  quietflag = 1;
  EXPECT_EQ(out.text(),
            "Turning on secondary grids around image positions:\n"
            "  Ngrid  2\n"
            "  r      5.000000e-02  3.000000e-01 3\n"
            "  theta  0.000000e+00  3.600000e+02 10\n"
            "Enter the imggrid positions, one per line:\n"
            "Positions for imggrid:\n"
            "   5.000000e-01  2.000000e-01\n"
            "  -3.000000e-01  4.000000e-01\n");
  ASSERT_EQ(TWsecgrid.imggridpos.nrows(), 2);
  EXPECT_EQ(TWsecgrid.imggridpos[2][2], 0.4);
  // A refused value switches the image grids off (their positions are gone).
  run_handler(imggrid, WordArray({"imggrid", "2", "-0.05", "0.3", "3", "0", "360", "10"}));
  EXPECT_EQ(TWsecgrid.imggridp[1], 0);
  EXPECT_TRUE(TWsecgrid.imggridpos.empty());
}

TEST_F(Grid, RegridRebuildsOnlyWithGridflag) {
  load({"alpha 1 0 0 0.3 20 0 0 0.1 0 1"});
  EXPECT_EQ(TWgrid.top, nullptr);  // loaded with gridflag 0
  quietflag = 0;
  {
    CaptureOutput out;
    run_handler(regrid, WordArray({"regrid"}));
    EXPECT_NE(out.text().find("Recomputing the tiling of the image and source planes.\n"), std::string::npos);
  }
  quietflag = 1;
  EXPECT_EQ(TWgrid.top, nullptr);
  EXPECT_EQ(mesh().numberoftriangles, 0);
  set("gridflag", 1);
  run_handler(regrid, WordArray({"regrid"}));
  EXPECT_NE(TWgrid.top, nullptr);
  check_mesh_invariants(polar_grid_area());
  // A model the loader refuses ends the command.
  set("maxellip", 0.2);
  try {
    run_handler(regrid, WordArray({"regrid"}));
    ADD_FAILURE();
  } catch (const FatalError& e) {
    EXPECT_EQ(e.message, "in initmodel from regrid");
  }
}

TEST_F(Grid, GridControlErrorsAndHelp) {
  load({"alpha 1 0 0 0 0 0 0 0.1 0 1"});
  struct Case {
    std::vector<std::pair<const char*, double>> settings;
    std::function<void()> run;
    const char* message;
  };
  const std::vector<Case> cases = {
      {{{"gridcoords", 1}}, [] { setgridmode(2); dogrid(); }, "critical curve grid must be polar"},
      {{{"ngrid1", 0}}, [] { setgridmode(2); dogrid(); }, "ngrid1 = 0 leaves no grid: it needs at least 2 steps"},
      {{{"ngrid2", 0}}, [] { dogrid(); }, "ngrid2 = 0 leaves no grid: it needs at least 2 steps"},
      {{}, [] { run_handler(gridmode, WordArray({"gridmode", "3"})); }, "Unknown value of gridmode"},
      {{{"ngrid1", 1}},
       [] { run_handler(autogrid, WordArray({"autogrid"})); },
       "ngrid1 = 1 leaves no grid: it needs at least 2 steps"},
      {{{"ngrid2", -1}},
       [] { run_handler(autogrid, WordArray({"autogrid"})); },
       "ngrid2 = -1 leaves no grid: it needs at least 2 steps"},
      {{}, [] { run_handler(autogrid, WordArray({"autogrid", "4"})); }, "unknown grid mode in autogrid"},
      {{{"plotmode", 5}},
       [this] { run_handler(plotgrid, WordArray({"plotgrid", dir_.file("g.dat")})); },
       "unknown value of plotmode"},
      {{},
       [this] { run_handler(imggrid, WordArray({"imggrid", "1", "0.1", "0.5", "3", "0", "360", "10", dir_.file("none")})); },
       "could not open imggrid input file"},
      {{}, [this] { run_handler(imgarray, WordArray({"imgarray", "1", dir_.file("none")})); }, "could not open imgarray input file"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message);
    setgridmode(1);
    set("gridcoords", 2);
    set("ngrid1", 20);
    set("ngrid2", 20);
    set("plotmode", 1);
    for (const auto& v : c.settings) set(v.first, v.second);
    try {
      SetGlob();  // settings that leave no grid stop here
      c.run();
      ADD_FAILURE();
    } catch (const FatalError& e) {
      EXPECT_EQ(e.message, c.message);
    }
  }
  EXPECT_FALSE(dir_.exists("g.dat"));
  setgridmode(2);
  quietflag = 0;
  CaptureOutput out;
  run_handler(gridmode, WordArray({"gridmode"}));
  EXPECT_NE(out.text().find("gridmode <mode>:"), std::string::npos);
  EXPECT_EQ(TWgrid.grid_mode, 2);
  quietflag = 1;
  setgridmode(1);
}

TEST_F(Grid, AutogridLetsNegativeMagnificationsPass) {
  // A sheet of convergence 0.5 with shear 0.6: eigenvalues 1.1 and -0.1 everywhere, so no
  // radius is singly imaged (step 4 keeps gridhi1) and mu = 1/(0.25 - 0.36) < 0 never
  // exceeds mumax: the first radius above gridlo1 passes.
  load({"convrg 0.5 0 0 0 0 0.6 0 0 0 0"});
  EXPECT_LT(1 / detA_at(0.3, 0.7), 0);
  run_handler(autogrid, WordArray({"autogrid", "1", "5"}));
  EXPECT_DOUBLE_EQ(GetVar("gridhi1"), 0.1 + 1.9 / 19);
}

TEST_F(Grid, PlotFilesInEveryPlotmode) {
  load({"ptmass 1 0 0 0 0 0 0 0 0 0", "ptmass 0.1 0.6 0.3 0 0 0 0 0 0 0", "ptmass 0.1 2.5 0 0 0 0 0 0 0 0"});
  set("gridlo1", 0.2);
  set("gridsave", 1);
  run_handler(galgrid, WordArray({"galgrid", "2", "0.05", "0.2", "3", "0", "360", "8"}));
  dir_.write("pos.txt", "1\n-0.9 0.4\n");
  run_handler(imggrid, WordArray({"imggrid", "1", "0.05", "0.2", "3", "0", "360", "8", dir_.file("pos.txt")}));
  run_handler(galgrid, WordArray({"galgrid", "3", "0.05", "0.2", "3", "0", "360", "8"}));
  build();
  ASSERT_EQ(TWgrid.gal[3], nullptr);  // outside the main grid
  const triangulateio& t = mesh();
  const int a = t.edgelist[0], b = t.edgelist[1];
  // plot_grid: header and one entry per mesh edge.
  set("plotmode", 2);
  set("plotquiet", 1);  // quiets curve files, not grid files
  SetGlob();
  run_handler(plotgrid, WordArray({"plotgrid", dir_.file("g2.dat")}));
  const std::string g2 = dir_.read("g2.dat");
  EXPECT_EQ(g2.substr(0, g2.find("\n\n") + 2), GetString("_COMMENT") + " Columns: x y u v\n\n");
  EXPECT_EQ(count_occurrences(g2, "\n"), 2 + 3 * t.numberofedges);
  EXPECT_NE(g2.find(strformat("%.12e %.12e %.12e %.12e\n%.12e %.12e %.12e %.12e\n\n", t.pointlist[2 * a],
                              t.pointlist[2 * a + 1], t.pointattributelist[6 * a], t.pointattributelist[6 * a + 1],
                              t.pointlist[2 * b], t.pointlist[2 * b + 1], t.pointattributelist[6 * b],
                              t.pointattributelist[6 * b + 1])),
            std::string::npos);
  set("plotmode", 4);
  SetGlob();
  run_handler(plotgrid, WordArray({"plotgrid", dir_.file("g4.reg")}));
  const std::string g4 = dir_.read("g4.reg");
  EXPECT_EQ(g4.substr(0, g4.find('\n')), "# ds9 region file: source plane grid");
  EXPECT_EQ(count_occurrences(g4, "image;line("), t.numberofedges);
  const double* at = t.pointattributelist.data();
  EXPECT_NE(g4.find(strformat("image;line(%f,%f,%f,%f)\n", at[6 * a], at[6 * a + 1], at[6 * b], at[6 * b + 1])),
            std::string::npos);

  // plot_grid_OLD: one file per kept grid, the links of each node to up and right and
  // those of its subgrids one level deeper.
  auto links = [](gnode* first) {
    int n = 0;
    walk(first, [&](gnode* g) { n += (g->up != nullptr) + (g->right != nullptr); });
    return n;
  };
  set("plotmode", 1);
  SetGlob();
  quietflag = 0;
  {
    CaptureOutput out;
    run_handler(plotgrid, WordArray({"plotgrid", dir_.file("g1.dat"), dir_.file("b")}));
    EXPECT_NE(out.text().find("Writing main grid to " + dir_.file("b-main.grid") + "\n"), std::string::npos);
    EXPECT_NE(out.text().find("Writing galaxy grid #3 to " + dir_.file("b-gal3.grid") + "\n"), std::string::npos);
    EXPECT_NE(out.text().find("Writing image grid #1 to " + dir_.file("b-img1.grid") + "\n"), std::string::npos);
  }
  const std::string main_grid = dir_.read("b-main.grid");
  EXPECT_EQ(count_occurrences(main_grid, "\n"), links(TWgrid.top));
  EXPECT_GT(count_occurrences(main_grid, " 3\n"), 0);  // links of the second subgrid level
  gnode* g = TWgrid.top;
  EXPECT_EQ(main_grid.substr(0, main_grid.find('\n') + 1),
            strformat("%13.6e %13.6e %13.6e %13.6e %13.6e %13.6e %13.6e %13.6e %d\n", g->x, g->y, g->u, g->v,
                      g->up->x, g->up->y, g->up->u, g->up->v, 1));
  EXPECT_EQ(count_occurrences(dir_.read("b-gal1.grid"), "\n"), links(TWgrid.gal[1]));
  EXPECT_EQ(count_occurrences(dir_.read("b-img1.grid"), "\n"), links(TWgrid.img[1]));
  EXPECT_EQ(dir_.read("b-gal3.grid"), "");
  set("plotmode", 2);
  SetGlob();
  run_handler(plotgrid, WordArray({"plotgrid", dir_.file("g.dat"), dir_.file("c")}));
  EXPECT_EQ(count_occurrences(dir_.read("c-img1.grid"), "\n"), 3 * links(TWgrid.img[1]));
  // Without kept grids only the warning.
  set("gridsave", 0);
  SetGlob();
  {
    CaptureOutput out;
    run_handler(plotgrid, WordArray({"plotgrid", dir_.file("g.dat"), dir_.file("d")}));
    EXPECT_NE(out.text().find("WARNING: cannot plot temp grids because they have not been saved (see gridsave)"),
              std::string::npos);
  }
  EXPECT_FALSE(dir_.exists("d-main.grid"));
  quietflag = 1;
}

TEST_F(Grid, PolarGridFromTheCentreMergesItsFirstRingAndHasNoHole) {
  // gridlo1 = 0: the 20 nodes of the first ring all lie at the centre and become one vertex;
  // no inner ring, no hole, the whole 19-gon is covered.
  load({"alpha 1 0 0 0.2 30 0 0 0.2 0 1"});
  set("gridlo1", 0);
  build();
  int at_centre = 0;
  for (gnode* g = TWgrid.top; g; g = g->up) {
    EXPECT_EQ(g->vertex, TWgrid.top->vertex);
    ++at_centre;
  }
  EXPECT_EQ(at_centre, 20);
  EXPECT_EQ(mesh().numberofholes, 0);
  check_mesh_invariants(polygon(19, 2));
}

namespace {
// A Cartesian grid of n x n nodes over [x0, x0 + 1] x [0, 1].
gnode* square_grid(int n, double x0) {
  Mat c1(1, n, 1, n), c2(1, n, 1, n);
  for (int i = 1; i <= n; ++i)
    for (int j = 1; j <= n; ++j) {
      c1[i][j] = x0 + (i - 1.0) / (n - 1);
      c2[i][j] = (j - 1.0) / (n - 1);
    }
  return make_grid(n, n, c1, c2, 0, 0);
}
}  // namespace

// Nodes given back while others are still held are handed out again from the pool's free
// list (as when a kept grid outlives a rebuild): each comes back as a fresh node carrying
// the lens at its new position, and the held grid is untouched. Under the address
// sanitizer this also checks that no released node is read before it is handed out.
TEST_F(Grid, NodesReleasedWhileOthersAreHeldComeBackAsFreshNodes) {
  load({"alpha 1 0 0 0.3 20 0.1 -40 0.05 0 1"});
  set("gridcoords", 1);
  SetGlob();
  free_all_grids();
  gnode* held = square_grid(40, 0);
  gnode* small = square_grid(10, 2);
  free_grid(small);
  gnode* again = square_grid(20, 4);
  auto check = [](gnode* first, int n, double x0) {
    int count = 0;
    for (gnode* g = first; g; g = g->next, ++count) {
      EXPECT_EQ(g->subgrid, nullptr);
      EXPECT_EQ(g->twin, nullptr);
      EXPECT_GE(g->x, x0);
      EXPECT_LE(g->x, x0 + 1);
      double phi, ax, ay, xx, yy, xy, yx;
      potdefmag(g->x, g->y, phi, ax, ay, xx, yy, xy, yx);
      EXPECT_EQ(g->alpha_x, ax);
      EXPECT_EQ(g->alpha_y, ay);
    }
    EXPECT_EQ(count, n * n);
  };
  check(held, 40, 0);
  check(again, 20, 4);
  free_grid(again);
  free_grid(held);
}
