// Whether the grid holds every image of a region of sources, against the singular
// isothermal sphere of b = 1: a source at distance beta < 1 has images at radii 1 + beta
// and 1 - beta, and the grid's edge at radius R > 1 maps to the circle of radius R - 1.
#include "imageplane/gridcheck.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "core/command_fixture.h"
#include "core/lens_model.h"
#include "shell/settings.h"

namespace {

class GridCheckTest : public CommandTest {
 protected:
  ScratchDir d;
  void build(int coords, double lo1, double hi1, double lo2, double hi2,
             const std::string& model = "1 1\nalpha 1 0 0 0 0 0 0 0 0 1\n0 0 0 0 0 0 0 0 0 0\n") {
    SetVar("gridflag", 0, 1);
    SetVar("gridcoords", 0, coords);
    SetVar("gridlo1", 0, lo1);
    SetVar("gridhi1", 0, hi1);
    SetVar("gridlo2", 0, lo2);
    SetVar("gridhi2", 0, hi2);
    SetGlob();
    d.write("sis.dat", model);
    run_handler(setlens, cmd({"setlens", d.file("sis.dat")}));
  }
};

TEST_F(GridCheckTest, RadiusNeededHoldsTheOuterImages) {
  struct Case {
    const char* what;
    int coords;
    double hi1;  // polar radius, or half-width of a square Cartesian grid
    SourceDisc disc;
    double lo, hi;  // bounds of the edge radius (half-width) needed
  } cases[] = {
      // Outer images reach 1 + 1.2: the grid must reach beyond 2.2 (with a small margin).
      {"polar, disc about the centre", 2, 2.0, {0, 0, 1.2}, 2.2, 2.25},
      {"square, disc about the centre", 1, 2.0, {0, 0, 1.2}, 2.2, 2.26},
      // Already wide enough: nothing more is needed.
      {"polar, small disc", 2, 2.0, {0, 0, 0.5}, 2.0, 2.0},
      // An edge inside the critical curve maps to a circle that winds once about the
      // source too (u = (R - 1) times the unit vector), yet both images lie beyond it.
      {"polar, edge inside the critical curve", 2, 0.4, {0.1, 0, 0}, 1.1, 1.12},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    build(c.coords, c.coords == 1 ? -c.hi1 : 0.0, c.hi1, c.coords == 1 ? -c.hi1 : 0.0, c.coords == 1 ? c.hi1 : 360.0);
    const std::vector<SourceDisc> discs{c.disc};
    const bool holds = c.lo <= c.hi1 && c.hi1 <= c.hi;
    EXPECT_EQ(grid_edge_holds(1.0, discs), holds);
    const double needed = grid_scale_needed(discs) * c.hi1;
    EXPECT_GE(needed, c.lo);
    EXPECT_LE(needed, c.hi);
    if (holds) {
      EXPECT_NO_THROW(require_grid_holds("test", discs));
    } else {
      const std::string m = fatal_message([&] { require_grid_holds("mock1", discs); });
      EXPECT_EQ(m.rfind("in mock1: the grid does not hold every image of the sources drawn: ", 0), 0u) << m;
      EXPECT_NE(m.find(c.coords == 1 ? "gridhi1 2.2" : "gridhi1 to at least "), std::string::npos) << m;
    }
  }
}

TEST_F(GridCheckTest, EveryListedSourceMustBeHeld) {
  build(2, 0, 2, 0, 360);
  // 0.9 has its outer image at 1.9, inside; 1.5 at 2.5, outside; 3 has one image at 4.
  EXPECT_TRUE(grid_edge_holds(1.0, {{0.9, 0, 0}, {0, -0.5, 0}}));
  EXPECT_FALSE(grid_edge_holds(1.0, {{0.9, 0, 0}, {0, 1.5, 0}}));
  EXPECT_FALSE(grid_edge_holds(1.0, {{3, 0, 0}}));
  const double needed = grid_scale_needed({{0.9, 0, 0}, {0, 1.5, 0}}) * 2.0;
  EXPECT_GT(needed, 2.5);
  EXPECT_LT(needed, 2.53);
}

TEST_F(GridCheckTest, WeightedDrawsNeedEveryImageInsideTheirDisc) {
  // Outer images reach 2.2: a grid of radius 2.26 holds them, but the weighted draws use
  // only r < 0.98 x 2.26 = 2.21, too little once the margin is kept.
  const std::vector<SourceDisc> discs{{0, 0, 1.2}};
  build(2, 0, 2.26, 0, 360);
  EXPECT_NO_THROW(require_grid_holds("mock1", discs));
  const std::string m = fatal_message([&] { require_grid_holds("mock1", discs, true); });
  double named = 0;
  ASSERT_EQ(std::sscanf(m.substr(m.find("at least ")).c_str(), "at least %lf", &named), 1) << m;
  EXPECT_GE(named * kWeightedDrawFraction, 2.2);
  EXPECT_LE(named * kWeightedDrawFraction, 2.26);
  // The radius named suffices for the weighted draws; a Cartesian box is drawn whole.
  build(2, 0, named, 0, 360);
  EXPECT_NO_THROW(require_grid_holds("mock1", discs, true));
  build(1, -2.26, 2.26, -2.26, 2.26);
  ASSERT_TRUE(grid_edge_holds(1.0, discs));
  EXPECT_FALSE(grid_edge_holds(kWeightedDrawFraction, discs));
  EXPECT_NO_THROW(require_grid_holds("mock1", discs, true));
}

TEST_F(GridCheckTest, MassesBeyondTheEdgeMustBeEnclosed) {
  // A point mass at (3, 0) beyond a grid of radius (half-width) 2 has its own critical
  // curve and an image of every source close to it; the edge alone shows nothing wrong.
  const std::string model =
      "2 1\nalpha 1 0 0 0 0 0 0 0 0 1\nptmass 0.1 3 0 0 0 0 0 0 0 0\n0 0 0 0 0 0 0 0 0 0\n0 0 0 0 0 0 0 0 0 0\n";
  const std::vector<SourceDisc> discs{{0, 0, 0.3}};
  for (int coords : {2, 1}) {
    SCOPED_TRACE(coords);
    build(coords, coords == 1 ? -2.0 : 0.0, 2, coords == 1 ? -2.0 : 0.0, coords == 1 ? 2.0 : 360.0, model);
    EXPECT_FALSE(grid_edge_holds(1.0, discs));
    const double needed = grid_scale_needed(discs) * 2;
    EXPECT_GE(needed, 3 / 0.98);
    EXPECT_LE(needed, 3.5);
    const std::string m = fatal_message([&] { require_grid_holds("mock1", discs); });
    EXPECT_NE(m.find(coords == 1 ? "gridhi1 3." : "gridhi1 to at least 3."), std::string::npos) << m;
  }
  // A massless component anywhere asks nothing.
  build(2, 0, 2, 0, 360,
        "2 1\nalpha 1 0 0 0 0 0 0 0 0 1\nptmass 0 3 0 0 0 0 0 0 0 0\n0 0 0 0 0 0 0 0 0 0\n0 0 0 0 0 0 0 0 0 0\n");
  EXPECT_TRUE(grid_edge_holds(1.0, discs));
}

TEST_F(GridCheckTest, NoGridHoldsThemWhenEveryFarEdgeIsCritical) {
  // A mass sheet of convergence 1 and a shear of 0.2: det A = -0.04 far out, so no edge
  // lies outside the critical curves.
  build(2, 0, 2, 0, 360,
        "2 1\nalpha 1 0 0 0 0 0.2 0 0 0 1\nconvrg 1 0 0 0 0 0 0 0 0 0\n0 0 0 0 0 0 0 0 0 0\n0 0 0 0 0 0 0 0 0 0\n");
  EXPECT_EQ(grid_scale_needed({{0, 0, 0.1}}), -1.0);
  const std::string m = fatal_message([] { require_grid_holds("mock1", {{0, 0, 0.1}}); });
  EXPECT_NE(m.find("nor would one 100 times larger"), std::string::npos) << m;
}

}  // namespace

TEST_F(GridCheckTest, FindersWarnNamingTheFirstSourceNotHeld) {
  // The edge at R = 2 maps to the circle of radius 1: a source within it (less the edge's
  // step, 2 pi / 720) has both images inside the grid, one beyond it an image outside.
  build(2, 0, 2, 0, 360);
  std::vector<SourceDisc> held;
  for (double beta : {0.0, 0.3, 0.6, 0.9, 0.985})
    for (int k = 0; k < 8; ++k) held.push_back({beta * std::cos(0.8 * k), beta * std::sin(0.8 * k), 0});
  {
    CaptureOutput out;
    EXPECT_TRUE(warn_grid_holds(held));
    EXPECT_TRUE(warn_grid_holds({}));
    EXPECT_EQ(out.text(), "");
  }
  std::vector<SourceDisc> some = held;
  some.insert(some.begin() + 3, {0, -1.02, 0});
  some.push_back({1.5, 0, 0});
  CaptureOutput out;
  EXPECT_FALSE(warn_grid_holds(some));
  EXPECT_FALSE(warn_grid_holds({{0.3, 0.99, 0}}));
  const std::string t = out.text();
  EXPECT_EQ(t.rfind("WARNING: the grid does not hold every image of the source at (0, -1.02) nor of 1 more of the "
                    "sources: set gridhi1 to at least 2.5",
                    0),
            0u)
      << t;
  EXPECT_NE(t.find("\nWARNING: the grid does not hold every image of the source at (0.3, 0.99): set gridhi1 to at "
                   "least 2.0"),
            std::string::npos)
      << t;
}

TEST_F(GridCheckTest, FindersCheckTheLensOfTheMomentOnAGridKeptFromAnother) {
  build(2, 0, 2, 0, 360);
  CaptureOutput out;
  EXPECT_TRUE(warn_grid_holds({{0.95, 0, 0}}));
  // A lens of b = 1.5 loaded without a new grid: the same edge maps to the circle of radius
  // 0.5, and the source's outer image at 2.45 lies beyond the grid.
  SetVar("gridflag", 0, 0);
  SetGlob();
  d.write("sis2.dat", "1 1\nalpha 1.5 0 0 0 0 0 0 0 0 1\n0 0 0 0 0 0 0 0 0 0\n");
  run_handler(setlens, cmd({"setlens", d.file("sis2.dat")}));
  EXPECT_FALSE(warn_grid_holds({{0.95, 0, 0}}));
  EXPECT_NE(out.text().find("source at (0.95, 0): set gridhi1 to at least 2.4"), std::string::npos) << out.text();
}
