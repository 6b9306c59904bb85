// The tiled and triangulated image plane, checked by geometry and by the lens equation.
#include <gtest/gtest.h>

#include <cmath>

#include "core/grid_control.h"
#include "core/lens_model.h"
#include "imageplane/grid.h"
#include "models/evaluator.h"
#include "shell/commands.h"
#include "shell/fatal.h"
#include "shell/settings.h"
#include "shell/startup.h"
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
    setlens(WordArray({"setlens", dir_.file("model.in")}));
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
double polygon(int n, double r) { return 0.5 * n * r * r * std::sin(2 * M_PI / n); }

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
  galgrid(WordArray({"galgrid", "1", "0.5", "1.0", "6", "0", "360", "20"}));
  build();
  EXPECT_EQ(mesh().numberofpoints, main_only);
  // On other rays the galaxy grid adds its own vertices.
  galgrid(WordArray({"galgrid", "1", "0.5", "1.0", "6", "0", "360", "21"}));
  build();
  EXPECT_GT(mesh().numberofpoints, main_only);
  check_mesh_invariants(polygon(19, 2) - polygon(19, 0.1));
}

TEST_F(Grid, GalaxyOutsideTheMainGridGetsNoGrid) {
  load({"ptmass 1 0 0 0 0 0 0 0 0 0", "ptmass 0.1 1.5 0 0 0 0 0 0 0 0"});
  set("gridsave", 1);
  galgrid(WordArray({"galgrid", "2", "0.05", "0.2", "4", "0", "360", "12"}));
  set("gridhi1", 1.0);
  build();
  ASSERT_EQ(TWgrid.gal.size(), 3u);
  EXPECT_NE(TWgrid.gal[1], nullptr);
  EXPECT_EQ(TWgrid.gal[2], nullptr);  // at distance 1.5 from component 1, outside r = 1
  set("gridhi1", 2.0);
  build();
  EXPECT_NE(TWgrid.gal[2], nullptr);
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
      {{{"ngrid2", 1}}, "grid has more than 180 deg per angular step; increase resolution"},
      {{{"gridcoords", 1}, {"ngrid1", 0}}, "for cartesian grid, ngrid1 and ngrid2 must be positive"},
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

TEST_F(Grid, SecondaryGridCommands) {
  CaptureOutput out;
  quietflag = 0;
  galgrid(WordArray({"galgrid", "3"}));
  EXPECT_NE(out.text().find("galgrid <Ngal>"), std::string::npos);
  galgrid(WordArray({"galgrid", "2", "0", "1", "-10", "0", "360", "20"}));
  EXPECT_NE(out.text().find("WARNING: galaxy grids cannot be logarithmic if rlo=0"), std::string::npos);
  EXPECT_EQ(TWsecgrid.galgridp[1], 0);  // refused values are not kept
  galgrid(WordArray({"galgrid", "0"}));
  EXPECT_NE(out.text().find("Turning off secondary grids around galaxies."), std::string::npos);
  imggrid(WordArray({"imggrid", "-2", "0.1", "1", "5", "0", "360", "20"}));
  EXPECT_NE(out.text().find("  Ngrid  [using observed image positions]\n"), std::string::npos);
  dir_.write("pos.txt", "2\n1 2\n# a comment\n3 4\n");
  imgarray(WordArray({"imgarray", "5", dir_.file("pos.txt")}));
  EXPECT_EQ(TWgrid.nimggrid, 2);
  EXPECT_EQ(TWsecgrid.imggridpos[2][1], 3);
  EXPECT_NE(out.text().find("Positions for imgarray:\n   1.000000e+00  2.000000e+00\n"), std::string::npos);
  dir_.write("short.txt", "3\n1 2\n");
  EXPECT_THROW(imgarray(WordArray({"imgarray", "3", dir_.file("short.txt")})), FatalError);
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
  autogrid(WordArray({"autogrid"}));
  quietflag = 1;
  EXPECT_NE(out.text().find("Note: no multiply-imaged region was found"), std::string::npos);
  EXPECT_EQ(GetVar("gridhi1"), 2.0);
  EXPECT_GT(mesh().numberoftriangles, 0);
}

TEST_F(Grid, AutogridWithoutCausticsUsesTheMagnificationBoundAlone) {
  // A uniform sheet of convergence 0.5 magnifies by 1/(1 - 0.5)^2 = 4 everywhere.
  load({"convrg 0.5 0 0 0 0 0 0 0 0 0"});
  autogrid(WordArray({"autogrid", "1", "5"}));
  EXPECT_DOUBLE_EQ(GetVar("gridhi1"), 0.1);  // the first radius passes
  CaptureOutput out;
  autogrid(WordArray({"autogrid", "1", "3"}));
  EXPECT_NE(out.text().find("WARNING: autogrid could not find a grid satisfying your criteria"), std::string::npos);
  EXPECT_DOUBLE_EQ(GetVar("gridhi1"), 0.1);  // back to the upper radius it started from
  SetVar("gridhi1", 0, 2);
  autogrid(WordArray({"autogrid", "3"}));
  EXPECT_EQ(GetVar("ngrid1"), -20);
  try {
    SetVar("gridlo1", 0, 0);
    SetVar("ngrid1", 0, 20);
    autogrid(WordArray({"autogrid", "2"}));
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
  plotgrid(WordArray({"plotgrid", dir_.file("g.dat")}));
  const std::string text = dir_.read("g.dat");
  EXPECT_EQ(count_occurrences(text, "\n") - 8, mesh().numberofedges);
  set("plotmode", 3);
  SetGlob();
  plotgrid(WordArray({"plotgrid", dir_.file("g.reg")}));
  EXPECT_EQ(count_occurrences(dir_.read("g.reg"), "image;line("), mesh().numberofedges);
}
