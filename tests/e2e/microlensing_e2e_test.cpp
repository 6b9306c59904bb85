// Microlensing commands as a user runs them from a command file: ray-shot maps against the
// point-mass map, repeatable seeds, maps beyond the grid, and light curves.
#include <gtest/gtest.h>

#include <cmath>
#include <sstream>
#include <string>
#include <vector>

#include "imageplane/map_text.h"
#include "support/test_support.h"

namespace {

const char* kPointMass =
    "set gridlo1 0.05\n"
    "set ngrid1 80\n"
    "set ngrid2 80\n"
    "setlens 1 1\n"
    "ptmass 1 0 0 0 0 0 0 0 0 0\n"
    "0 0 0 0 0 0 0 0 0 0\n";

const char* kNoLens =
    "setlens 1 1\n"
    "alpha 0 0 0 0 0 0 0 0 0 1\n"
    "0 0 0 0 0 0 0 0 0 0\n";

}  // namespace

// Point mass b = 1: rayshoot (exact and interpolated rays) against magmapP over the same
// pixels, away from the lens and where the grid (r <= 2) holds the outer image of the
// whole pixel, (|u| + sqrt(u^2 + 4))/2 <= 2 for |u| <= 1.5; Poisson error per pixel
// 1/sqrt(2e4 mu) <= 0.7%.
TEST(MicrolensingE2E, RayShootMatchesPointMassMap) {
  ScratchDir d;
  const RunResult r = run_commands(d, std::string(kPointMass) +
                                          "magmapP -1 1 11 -1 1 11 p.txt 1 16 1e-3\n"
                                          "rayshoot -1 1 11 -1 1 11 r0.txt 1 2e4 1 0\n"
                                          "rayshoot -1 1 11 -1 1 11 r1.txt 1 2e4 1 1\n");
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("rayshoot: expected number of rays approx"), std::string::npos);
  const TextMap p = parse_text_map(d.read("p.txt"));
  for (const char* f : {"r0.txt", "r1.txt"}) {
    SCOPED_TRACE(f);
    const TextMap m = parse_text_map(d.read(f));
    ASSERT_EQ(m.nx, 11);
    for (int i = 1; i <= 11; ++i)
      for (int j = 1; j <= 11; ++j) {
        const double u = -1 + 0.2 * (i - 1), v = -1 + 0.2 * (j - 1);
        if (std::hypot(u, v) < 0.3 || std::hypot(std::fabs(u) + 0.1, std::fabs(v) + 0.1) > 1.5) continue;
        EXPECT_NEAR(m.at(i, j) / p.at(i, j), 1.0, 0.03) << u << " " << v;
      }
  }
}

// The same seed writes the same map, twice in one run, for a positive seed as for its
// negative; no lens over -3..3 with mu0 = 1 is about 0 inside the grid's disc (radius 2)
// and -9 wholly outside it.
TEST(MicrolensingE2E, RayShootSeedsAndGridEdge) {
  ScratchDir d;
  const RunResult r = run_commands(d, std::string(kNoLens) +
                                          "set seed -15\n"
                                          "rayshoot -3 3 13 -3 3 13 a1.txt 1 400 1 0 1\n"
                                          "rayshoot -3 3 13 -3 3 13 a2.txt 1 400 1 0 1\n"
                                          "set seed 15\n"
                                          "rayshoot -3 3 13 -3 3 13 b1.txt 1 400 1 0 1\n"
                                          "rayshoot -3 3 13 -3 3 13 b2.txt 1 400 1 0 1\n");
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(count_occurrences(r.out, "Writing relative magnifications, log10(mu/1.000000e+00)"), 4);
  EXPECT_EQ(d.read("a1.txt"), d.read("a2.txt"));
  EXPECT_EQ(d.read("b1.txt"), d.read("b2.txt"));
  const TextMap m = parse_text_map(d.read("a1.txt"));
  for (int i = 1; i <= 13; ++i)
    for (int j = 1; j <= 13; ++j) {
      const double u = -3 + 0.5 * (i - 1), v = -3 + 0.5 * (j - 1);
      const double r0 = std::hypot(u, v);
      if (r0 <= 1.0) { EXPECT_NEAR(m.at(i, j), 0.0, 0.11) << u << " " << v; }  // 400 rays: 5 sigma
      if (r0 >= 2.0 + 0.36) { EXPECT_EQ(m.at(i, j), -9.0) << u << " " << v; }  // beyond the pixel's corner
    }
}

// Light curve of a point source past a point mass: the middle step at u = (0, 0.5) has
// mu = (r^2 + 2)/(r sqrt(r^2 + 4)) = 2.182821 with the centroid on the source's side; with
// plotmode 2 passes end with an empty line, but not a one-step pass.
TEST(MicrolensingE2E, LightCurve) {
  ScratchDir d;
  const RunResult r = run_commands(d, std::string(kPointMass) +
                                          "lightcrv lc.txt -1 0.5 1 0.5 21\n"
                                          "set plotmode 2\n"
                                          "lightcrv lc2.txt -1 0.5 1 0.5 3 0.1 0.2 2\n"
                                          "lightcrv lc1.txt -1 0.5 1 0.5 1\n");
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("Writing lightcrv to lc.txt"), std::string::npos);
  std::istringstream in(d.read("lc.txt"));
  std::string line;
  std::vector<std::vector<double>> rows;
  int comments = 0;
  while (std::getline(in, line)) {
    if (line.rfind("#", 0) == 0) {
      ++comments;
      continue;
    }
    std::istringstream l(line);
    std::vector<double> row(7);
    for (double& x : row) l >> x;
    rows.push_back(row);
  }
  EXPECT_EQ(comments, 3);
  ASSERT_EQ(rows.size(), 21u);
  const auto& mid = rows[10];
  EXPECT_EQ(mid[0], 0.0);
  EXPECT_NEAR(mid[1], 0.0, 1e-12);
  EXPECT_NEAR(mid[2], 0.5, 1e-12);
  EXPECT_NEAR(mid[3], 1.0, 1e-6);
  EXPECT_NEAR(mid[4], 2.182821, 2e-6);
  EXPECT_GT(mid[6], 0.5);
  EXPECT_EQ(d.read("lc2.txt").substr(0, 2), "#\n");
  EXPECT_EQ(count_occurrences(d.read("lc2.txt"), "\n\n"), 2);
  EXPECT_NE(d.read("lc2.txt").find("2.000000e-01 "), std::string::npos);
  EXPECT_EQ(count_occurrences(d.read("lc1.txt"), "\n\n"), 0);
}

// Without a grid there are no triangles to shoot rays through: rayshoot warns and writes
// nothing (a map of zeros would claim no light at all), and the run goes on; a word that
// is not a finite number ends the run with status 1 before anything is written.
TEST(MicrolensingE2E, RayShootWithoutGridAndNonFiniteWords) {
  ScratchDir d;
  const RunResult r = run_commands(d,
                                   "set gridflag 0\n"
                                   "setlens 1 1\n"
                                   "alpha 1 0 0 0 0 0 0 0 0 1\n"
                                   "0 0 0 0 0 0 0 0 0 0\n"
                                   "rayshoot -1 1 11 -1 1 11 r.txt 1 100\n"
                                   "rayshoot -1 1 11 -1 1 11 r1.txt 1 100 1 1\n"
                                   "magmapP -1 1 5 -1 1 5 ok.txt 1\n"
                                   "magmapP -1 inf 5 -1 1 5 p.txt 1\n"
                                   "magmapP -1 1 5 -1 1 5 after.txt 1\n");
  EXPECT_EQ(r.status, 1) << r.out << r.err;
  EXPECT_EQ(count_occurrences(r.out, "WARNING: rayshoot needs the grid of the model; none is built"), 2) << r.out;
  EXPECT_EQ(r.out.find("rayshoot: expected number of rays"), std::string::npos);
  EXPECT_FALSE(d.exists("r.txt"));
  EXPECT_FALSE(d.exists("r1.txt"));
  EXPECT_TRUE(d.exists("ok.txt"));
  EXPECT_NE(r.out.find("ERROR: magmapP: inf is not a finite number"), std::string::npos) << r.out;
  EXPECT_FALSE(d.exists("p.txt"));
  EXPECT_FALSE(d.exists("after.txt"));
}
