// Image finding, source finding and critical curves as a user runs them from a command
// file, checked against closed forms and against a dense-grid root search done here.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "imageplane/lens_fixture.h"
#include "numeric/constants.h"
#include "support/test_support.h"

namespace {

// The image-finding commands must be in the program's command table.
bool commands_registered() {
  ScratchDir d;
  const RunResult r = run_tarnsolve(d.path(), {}, "help findimg\nquit\n");
  return r.out.find("findimg <source u> <source v>") != std::string::npos;
}

#define REQUIRE_COMMANDS() \
  if (!commands_registered()) GTEST_SKIP() << "findimg is not in the command table of this build"

struct Row {
  double x, y, mag, tdel;
};
struct Block {
  double u = 0, v = 0;
  std::vector<Row> rows;
};

// Every image block of a text: the source line, the count line and the rows.
std::vector<Block> blocks(const std::string& text) {
  std::vector<Block> out;
  std::istringstream in(text);
  std::string l;
  while (std::getline(in, l)) {
    if (l.find("  # source") == std::string::npos) continue;
    Block b;
    std::sscanf(l.c_str(), "%lf %lf", &b.u, &b.v);
    while (std::getline(in, l) && l.rfind("# ", 0) != 0) {
    }
    int n = 0;
    std::sscanf(l.c_str(), "# %d images:", &n);
    for (int i = 0; i < n && std::getline(in, l); ++i) {
      Row r;
      std::sscanf(l.c_str(), "%lf %lf %lf %lf", &r.x, &r.y, &r.mag, &r.tdel);
      b.rows.push_back(r);
    }
    out.push_back(b);
  }
  return out;
}

const char* kIsothermal =
    "setlens 1 1\n"
    "alpha 1 0 0 0 0 0 0 0 0 1\n"
    "0 0 0 0 0 0 0 0 0 0\n";

}  // namespace

// Isothermal sphere b = 1 (zero core, which the class makes 1e-4): images of u = 0.2 at
// u + 1 and u - 1 up to the core, mu = 1/(1 - 1/|x|) = +6 and -4, delay
// ((x2 - u)^2 - (x1 - u)^2)/2 - (|x2| - |x1|) = 0.4 (less the core's share).
TEST(FindimgE2E, IsothermalSphere) {
  REQUIRE_COMMANDS();
  ScratchDir d;
  const RunResult r = run_commands(d, std::string(kIsothermal) + "findimg 0.2 0\nset omitcore 0.05\nfindimg 0.2 0\n");
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(count_occurrences(r.out, "findimg results:\n"), 2);
  const auto b = blocks(r.out);
  ASSERT_EQ(b.size(), 2u);
  for (const Block& k : b) {
    std::vector<Row> bright;
    for (const Row& row : k.rows)
      if (std::fabs(row.mag) > 1e-3) bright.push_back(row);  // the faint core maximum aside
    ASSERT_EQ(bright.size(), 2u);
    EXPECT_NEAR(bright[0].x, 1.199917, 1.5e-6);
    EXPECT_NEAR(bright[0].y, 0.0, 1e-9);
    EXPECT_NEAR(bright[0].mag, 6.0, 5e-5);
    EXPECT_EQ(bright[0].tdel, 0.0);
    EXPECT_NEAR(bright[1].x, -0.799875, 1.5e-6);
    EXPECT_NEAR(bright[1].mag, -4.0, 5e-5);
    EXPECT_NEAR(bright[1].tdel, 0.39996, 1e-5);
  }
  EXPECT_EQ(b[1].rows.size(), 2u);  // omitcore: exactly the two images
}

// omitcore changes only what happens at the core: for spheres whose images lie past the
// grid's edge (gridhi1 2) the search finds with it every image it finds without it, the
// core maximum aside. b = 2.5, u = 0.1: x = u + b = 2.6 and u - b = -2.4 (to the 1e-4 core).
TEST(FindimgE2E, OmitcoreKeepsTheImagesFoundWithoutIt) {
  REQUIRE_COMMANDS();
  for (const char* b : {"1.9", "2.1", "2.5"}) {
    SCOPED_TRACE(b);
    ScratchDir d;
    const std::string lens = std::string("setlens 1 1\nalpha ") + b + " 0 0 0 0 0 0 0 0 1\n0 0 0 0 0 0 0 0 0 0\n";
    const RunResult r = run_commands(d, lens + "findimg 0.1 0\nset omitcore 0.05\nfindimg 0.1 0\n");
    ASSERT_EQ(r.status, 0) << r.out;
    const auto k = blocks(r.out);
    ASSERT_EQ(k.size(), 2u);
    std::vector<Row> without;
    for (const Row& row : k[0].rows)
      if (std::fabs(row.mag) > 1e-3) without.push_back(row);
    ASSERT_EQ(without.size(), 2u);
    ASSERT_EQ(k[1].rows.size(), 2u);
    for (size_t i = 0; i < 2; ++i) {
      EXPECT_DOUBLE_EQ(k[1].rows[i].x, without[i].x);
      EXPECT_DOUBLE_EQ(k[1].rows[i].mag, without[i].mag);
    }
    EXPECT_NEAR(without[0].x, 0.1 + std::stod(b), 2e-4);
    EXPECT_NEAR(without[1].x, 0.1 - std::stod(b), 2e-4);
  }
}

// Point mass b = 1: x = (u +- sqrt(u^2 + 4))/2 = 1.280776, -0.780776 for u = 0.5,
// mu = 1/(1 - x^-4) = 1.591410, -0.591410, delay difference 1.010321. findsrc on either
// image gives back the source and both images.
TEST(FindimgE2E, PointMassAndFindsrc) {
  REQUIRE_COMMANDS();
  ScratchDir d;
  const RunResult r = run_commands(d,
                                   "set gridlo1 0.05\n"
                                   "setlens 1 1\n"
                                   "ptmass 1 0 0 0 0 0 0 0 0 0\n"
                                   "0 0 0 0 0 0 0 0 0 0\n"
                                   "findimg 0.5 0\n"
                                   "findsrc 1.280776 0\n"
                                   "findsrc -0.780776 0 src.dat\n");
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find("findsrc results:\n"), std::string::npos);
  auto b = blocks(r.out);
  const auto f = blocks(d.read("src.dat"));
  ASSERT_EQ(b.size(), 2u);
  ASSERT_EQ(f.size(), 1u);
  b.push_back(f[0]);
  for (const Block& k : b) {
    EXPECT_NEAR(k.u, 0.5, 2e-6);
    EXPECT_NEAR(k.v, 0.0, 1e-12);
    ASSERT_EQ(k.rows.size(), 2u);
    EXPECT_NEAR(k.rows[0].x, 1.280776, 2e-6);
    EXPECT_NEAR(k.rows[1].x, -0.780776, 2e-6);
    EXPECT_NEAR(k.rows[0].mag, 1.591410, 4e-6);
    EXPECT_NEAR(k.rows[1].mag, -0.591410, 4e-6);
    EXPECT_NEAR(k.rows[1].tdel, 1.010321, 4e-6);
  }
  // The exact source: the printed digits of findimg (y is 0 up to rounding).
  const size_t row = r.out.find("# 2 images:  x  y  mag  tdel\n 1.280776e+00 ");
  ASSERT_NE(row, std::string::npos) << r.out;
  EXPECT_EQ(r.out.compare(r.out.find('\n', row + 1) + 28, 28, "  1.591410e+00  0.000000e+00"), 0) << r.out;
  EXPECT_LT(std::fabs(b[0].rows[0].y), 1e-15);
}

// The mesh's edges (their order and direction) and the critical points found along them
// follow from the model alone: a run whose heap is laid out otherwise (large blocks served
// by mmap, at falling addresses) writes the same grid and curves byte for byte.
TEST(FindimgE2E, GridAndCurvesDoNotDependOnTheHeapLayout) {
  REQUIRE_COMMANDS();
  const std::string cmds =
      "setlens 2 1\nalpha 1 0 0 0.3 20 0.1 10 0.01 0 1\nptmass 0.3 0.5 0.4 0 0 0 0 0 0 0\n"
      "0 0 0 0 0 0 0 0 0 0\n0 0 0 0 0 0 0 0 0 0\nplotcrit crit.dat\nplotgrid grid.dat\n";
  std::string files[2];
  for (int run = 0; run < 2; ++run) {
    ScratchDir d;
    if (run == 1) setenv("MALLOC_MMAP_THRESHOLD_", "4096", 1);
    const RunResult r = run_commands(d, cmds);
    unsetenv("MALLOC_MMAP_THRESHOLD_");
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    files[run] = d.read("crit.dat") + d.read("grid.dat");
    ASSERT_GT(files[run].size(), 1000u);
  }
  EXPECT_TRUE(files[0] == files[1]);
}

// plotcrit on an isothermal sphere with shear gamma = 0.1 at angle 0, whose potential
// (gamma/2)(x^2 - y^2) puts the tangential curve at r = b(1 - gamma cos 2 theta)/(1 - gamma^2)
// and the caustic's cusps at 2 gamma/(1 + gamma) = 0.18182 and 2 gamma/(1 - gamma) = 0.22222;
// the default core (1e-4) moves the cusps to 0.181798 and 0.222202.
TEST(FindimgE2E, PlotcritShearedIsothermalSphere) {
  REQUIRE_COMMANDS();
  struct Case {
    const char* core;
    double cusp_u, cusp_v, tol_r;
  } cases[] = {{"1e-7", 2 * 0.1 / 1.1, 2 * 0.1 / 0.9, 1e-6}, {"0", 0.181798, 0.222202, 2e-4}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.core);
    ScratchDir d;
    const RunResult r = run_commands(d, std::string("setlens 1 1\nalpha 1 0 0 0 0 0.1 0 ") + c.core +
                                            " 0 1\n0 0 0 0 0 0 0 0 0 0\nplotcrit crit.dat\n");
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("Writing critical curves and caustics to crit.dat\n"), std::string::npos);
    std::istringstream in(d.read("crit.dat"));
    std::string l;
    double umax = 0, vmax = 0;
    int n = 0;
    while (std::getline(in, l)) {
      if (l.empty() || l[0] == '#') continue;
      double p[8];
      ASSERT_EQ(std::sscanf(l.c_str(), "%lf %lf %lf %lf %lf %lf %lf %lf", &p[0], &p[1], &p[2], &p[3], &p[4], &p[5],
                            &p[6], &p[7]),
                8);
      for (int e = 0; e < 8; e += 4) {
        const double rr = std::hypot(p[e], p[e + 1]), th = std::atan2(p[e + 1], p[e]);
        if (rr < 0.5) continue;  // the core's radial curve
        ++n;
        EXPECT_NEAR(rr, (1 - 0.1 * std::cos(2 * th)) / (1 - 0.01), c.tol_r);
        umax = std::max(umax, std::fabs(p[e + 2]));
        vmax = std::max(vmax, std::fabs(p[e + 3]));
      }
    }
    EXPECT_GT(n, 100);
    EXPECT_NEAR(umax, c.cusp_u, 2e-6);
    EXPECT_NEAR(vmax, c.cusp_v, 2e-6);
  }
}

// A four-image isothermal ellipsoid with shear and a resolvable core (s = 0.05 b): sources
// within 1% of every fold and cusp, inside and outside, and inside the caustic. The image
// counts are odd and the images are those of a dense-grid root search of the same model.
TEST(FindimgE2E, FourImageLensAgainstDenseSearch) {
  REQUIRE_COMMANDS();
  using namespace lensfix;
  // The same model in this process, for the reference search.
  fresh_model(1);
  set_component(1, "alpha", {1, 0, 0, 0.3, 20, 0.06, 55, 0.05, 0, 1});
  const DenseRoots dense(1.9, 700);
  std::vector<Src> srcs = caustic_sources(tangential_caustic(2000), 0.01);
  srcs.push_back({"centre", 0.0, 0.0});
  srcs.push_back({"inside", 0.03, -0.02});
  srcs.push_back({"outside", 0.35, 0.2});
  std::string list = strformat("%d\n", static_cast<int>(srcs.size()));
  for (const Src& s : srcs) list += strformat("%.17g %.17g\n", s.u, s.v);
  ScratchDir d;
  d.write("src.in", list);
  const RunResult r = run_commands(d,
                                   "set alphanorm 0\n"
                                   "setlens 1 1\n"
                                   "alpha 1 0 0 0.3 20 0.06 55 0.05 0 1\n"
                                   "0 0 0 0 0 0 0 0 0 0\n"
                                   "findimg3 src.in img.out\n");
  ASSERT_EQ(r.status, 0) << r.out;
  const auto b = blocks(d.read("img.out"));
  ASSERT_EQ(b.size(), srcs.size());
  for (size_t k = 0; k < srcs.size(); ++k) {
    SCOPED_TRACE(srcs[k].what);
    const auto ref = dense.roots(srcs[k].u, srcs[k].v);
    ASSERT_EQ(b[k].rows.size(), ref.size());
    EXPECT_EQ(ref.size() % 2, 1u);
    for (const auto& p : ref) {
      double best = 1e300;
      for (const Row& row : b[k].rows) best = std::min(best, std::hypot(row.x - p[0], row.y - p[1]));
      EXPECT_LT(best, 5e-6) << p[0] << " " << p[1];  // printed to 7 digits
    }
  }
}

// Logarithmic steps from a range end of 0 are refused before any search. A script ends
// with the refusal as an ERROR and no file written; typed at a terminal the refusal
// warns, findimg2 leaves its (empty) files, ellsrc and ellimg open none.
TEST(FindimgE2E, LogarithmicStepsFromZeroAreRefused) {
  REQUIRE_COMMANDS();
  const char* const lines[] = {"findimg2 0 0.2 -3 0.1 0.2 2 grid.out mag.out\n",
                               "ellsrc ell.out 0 0 0.2 0 0 0.3 -3 8\n", "ellimg eli.out 0 0 0.2 0 0.1 0 -3 8\n"};
  for (const char* line : lines) {
    ScratchDir s;
    const RunResult e = run_commands(s, std::string(kIsothermal) + line);
    EXPECT_EQ(e.status, 1) << line;
    EXPECT_NE(e.out.find("ERROR: cannot use logarithmic spacing with a\n"), std::string::npos) << e.out;
    EXPECT_EQ(dir_entries(s.path()), std::vector<std::string>{"cmds.in"}) << line;
  }
  ScratchDir d;
  const RunResult r = run_at_terminal(
      d.path(), {"-q"},
      std::string(kIsothermal) + lines[0] + lines[1] + lines[2] + "findimg2 0.1 0.2 2 0.1 0.2 -2 grid2.out mag2.out\n");
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(count_occurrences(r.out, "WARNING: cannot use logarithmic spacing with a\n"
                                     "         negative parameter range.\n"),
            3);
  EXPECT_EQ(d.read("grid.out"), "");
  EXPECT_EQ(d.read("mag.out"), "");
  EXPECT_FALSE(d.exists("ell.out"));
  EXPECT_FALSE(d.exists("eli.out"));
  // With positive ranges the grid runs: 2 x 2 sources, one summary line each.
  const auto g = blocks(d.read("grid2.out"));
  ASSERT_EQ(g.size(), 4u);
  EXPECT_EQ(g[1].u, 0.1);
  EXPECT_NEAR(g[1].v, 0.2, 1e-12);  // the last logarithmic step is hi
  std::istringstream m(d.read("mag2.out"));
  double u, v, mag;
  int n;
  m >> u >> v >> n >> mag;
  EXPECT_EQ(n, static_cast<int>(g[0].rows.size()));
  EXPECT_NEAR(mag, std::fabs(g[0].rows[0].mag) + std::fabs(g[0].rows[1].mag), 1e-5 * mag);
}

// A position file shorter than its count ends the program with the count reached.
TEST(FindimgE2E, ShortPositionFilesEndWithAnError) {
  REQUIRE_COMMANDS();
  for (const char* cmd : {"findimg3 pos.in out.dat\n", "findsrc3 pos.in out\n"}) {
    SCOPED_TRACE(cmd);
    ScratchDir d;
    d.write("pos.in", "# three positions\n3\n0.2 0\n1.2 0.1\n");
    const RunResult r = run_commands(d, std::string(kIsothermal) + cmd + "findimg 0.2 0\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("ERROR: file ended after 2 of 3 positions\n"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("findimg results"), std::string::npos);
  }
  // findsrc3's table: one line per image with the position number, the source and the image.
  ScratchDir d;
  d.write("pos.in", "1\n1.2 0.0\n");
  const RunResult r = run_commands(d, std::string(kIsothermal) + "findsrc3 pos.in out\n");
  ASSERT_EQ(r.status, 0) << r.out;
  const std::string txt = d.read("out.txt");
  EXPECT_EQ(txt.rfind("# isrc u v iimg x y mu tdel\n1  2.000", 0), 0u) << txt;
  EXPECT_EQ(blocks(d.read("out.dat")).size(), 1u);
}

// Tracking: mode 0 writes index 0 and zeros in every group; a mode outside 0..2 ends the
// program after the image file was written.
TEST(FindimgE2E, TrackingFile) {
  REQUIRE_COMMANDS();
  ScratchDir d;
  RunResult r = run_commands(d, std::string(kIsothermal) + "set omitcore 0.05\nfindimg 0.2 0 img.out 0 track.out\n");
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(d.read("track.out"),
            "#  imgnum  potential  deflection  convergence  shear\n"
            "1  0 0.000000e+00 0.000000e+00  0 0.000000e+00 0.000000e+00  0 0.000000e+00 0.000000e+00  0 "
            "0.000000e+00 0.000000e+00\n"
            "2  0 0.000000e+00 0.000000e+00  0 0.000000e+00 0.000000e+00  0 0.000000e+00 0.000000e+00  0 "
            "0.000000e+00 0.000000e+00\n");
  r = run_commands(d, std::string(kIsothermal) + "set omitcore 0.05\nfindimg 0.2 0 img2.out 1\n"
                                                 "findimg 0.2 0 img3.out 3 track3.out\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("ERROR: unknown tracking mode\n"), std::string::npos);
  EXPECT_EQ(blocks(d.read("img3.out")).size(), 1u);
  EXPECT_FALSE(d.exists("track3.out"));
  EXPECT_EQ(blocks(d.read("img2.out")).size(), 1u);  // five words: no tracking
}

// ellsrc keeps every image of a radius step, however many: four cored isothermal spheres
// give 17 images of one source, more than the 10 rows per angle step of a fixed table.
TEST(FindimgE2E, EllsrcKeepsEveryImage) {
  REQUIRE_COMMANDS();
  ScratchDir d;
  const RunResult r = run_commands(d,
                                   "set alphanorm 0\n"
                                   "maingrid 1 -2.5 2.5 50 -2.5 2.5 50\n"
                                   "setlens 4 1\n"
                                   "alpha 0.5 0.8 0.8 0 0 0 0 0.05 0 1\n"
                                   "alpha 0.5 -0.8 0.8 0 0 0 0 0.05 0 1\n"
                                   "alpha 0.5 -0.8 -0.8 0 0 0 0 0.05 0 1\n"
                                   "alpha 0.5 0.8 -0.8 0 0 0 0 0.05 0 1\n"
                                   "0 0 0 0 0 0 0 0 0 0\n0 0 0 0 0 0 0 0 0 0\n"
                                   "0 0 0 0 0 0 0 0 0 0\n0 0 0 0 0 0 0 0 0 0\n"
                                   "findimg 0.02 0.01\n"
                                   "set plotmode 2\n"
                                   "ellsrc ell.dat 0.02 0.01 0 0 0.001 0.001 1 1\n");
  ASSERT_EQ(r.status, 0) << r.out;
  const auto b = blocks(r.out);
  ASSERT_EQ(b.size(), 1u);
  ASSERT_EQ(b[0].rows.size(), 17u);
  EXPECT_NE(r.out.find("Writing ellsrc data to ell.dat\n"), std::string::npos);
  // plotmode 2: every written end is one line "x y u v"; each image appears among them.
  std::istringstream in(d.read("ell.dat"));
  std::string l;
  std::vector<std::array<double, 2>> ends;
  while (std::getline(in, l)) {
    double x, y, u, v;
    if (l.empty() || l[0] == '#' || std::sscanf(l.c_str(), "%lf %lf %lf %lf", &x, &y, &u, &v) != 4) continue;
    EXPECT_NEAR(u, 0.02 - 0.001 * std::sin(0.0), 1e-12);
    EXPECT_NEAR(v, 0.01 + 0.001, 1e-12);  // the ellipse point at theta = 0: (u0, v0 + R)
    ends.push_back({x, y});
  }
  int seen = 0;
  for (const Row& row : b[0].rows) {
    double best = 1e300;
    for (const auto& e : ends) best = std::min(best, std::hypot(e[0] - row.x, e[1] - row.y));
    seen += best < 0.05;  // the ellipse point is 0.001 from the findimg source
  }
  EXPECT_EQ(seen, 17);
}

// An image between the outer polygon of the polar grid and its circle r = gridhi1 = 2:
// midway between two of the 19 rays the polygon is at 2 cos(pi/19) = 1.9727, and an image
// at r = 1.993 there is found. Isothermal sphere b = 1: the source of an image at radius
// r lies on its ray at r - 1 (less the core's 1e-4 share), and mu = r/(r - 1).
TEST(FindimgE2E, ImageBetweenOuterPolygonAndCircle) {
  REQUIRE_COMMANDS();
  const double t = kPi / 19, r = 1.993;  // grid rays at theta = 360 (j - 1)/19 degrees
  const double x = -r * std::sin(t), y = r * std::cos(t);
  const double f = (r - 1.0) / r;  // u = f x up to the core
  ScratchDir d;
  const RunResult res = run_commands(d, std::string(kIsothermal) + "set omitcore 0.05\n" +
                                            strformat("findsrc %.17g %.17g\n", x, y) +
                                            strformat("findimg %.17g %.17g\n", f * x, f * y));
  ASSERT_EQ(res.status, 0) << res.out;
  EXPECT_EQ(res.out.find("outside known source range"), std::string::npos) << res.out;
  const auto b = blocks(res.out);
  ASSERT_EQ(b.size(), 2u);
  for (const Block& k : b) {
    bool found = false;
    for (const Row& row : k.rows)
      if (std::hypot(row.x, row.y) > 1.98) {
        found = true;
        EXPECT_NEAR(std::atan2(row.y, row.x), std::atan2(y, x), 1e-5);
        EXPECT_NEAR(std::hypot(row.x, row.y), r, 2e-4);
        EXPECT_NEAR(row.mag, r / (r - 1.0), 2e-3);
      }
    EXPECT_TRUE(found) << "no image near r = 1.993";
  }
}

// fitcrit with a trailing comment on its line: the comment is no argument (eps stays 0.1).
// Isothermal sphere b = 1 with core 1e-4: the tangential critical curve is the circle
// r = 1 - 1e-4, so a = 0.9999 and e = 0.
TEST(FindimgE2E, FitcritWithTrailingComment) {
  REQUIRE_COMMANDS();
  ScratchDir d;
  const RunResult r = run_commands(d, std::string(kIsothermal) + "fitcrit 2 fit.dat # ellipse of the ring\n");
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(r.out.find("WARNING"), std::string::npos) << r.out;
  ASSERT_TRUE(d.exists("fit.dat"));
  double a = 0, e = 1;
  ASSERT_EQ(std::sscanf(d.read("fit.dat").c_str(), "# Best-fit ellipse:\n#   a  = %lf\n#   e  = %lf", &a, &e), 2);
  EXPECT_NEAR(a, 0.9999, 2e-5);
  EXPECT_NEAR(e, 0.0, 1e-4);
}
