// Microlensing: ray shooting through the mesh, the point-mass map, cuts through maps and
// their statistics, the older ray shooter and the magnification distribution.
#include <gtest/gtest.h>

#include <cmath>
#include <sstream>
#include <string>
#include <vector>

#include "core/lens_model.h"
#include "imageplane/lens_fixture.h"
#include "imageplane/map_text.h"
#include "imageplane/microlensing.h"
#include "io/arrayfile.h"
#include "numeric/constants.h"
#include "numeric/roots.h"
#include "support/test_support.h"

using namespace lensfix;

namespace {

WordArray words(std::vector<std::string> w) { return WordArray(std::move(w)); }

// Closed-form magnification of the point mass at (u, v), averaged over a pixel of side h
// by the midpoint rule on an m x m lattice (the pixel average that ray counts estimate).
double ptmass_pixel_average(double u, double v, double h, int m) {
  double s = 0;
  for (int a = 0; a < m; ++a)
    for (int b = 0; b < m; ++b) s += ptmass_mag(u + h * ((a + 0.5) / m - 0.5), v + h * ((b + 0.5) / m - 0.5));
  return s / (m * m);
}

// Runs the counting pass and one shooting pass of density nray1 per unit magnification;
// returns the magnification map.
Mat shoot(double lo, double hi, int n, double nray1, int interpolate, long seed, double* total = nullptr) {
  RayShootState& s = TWshoot;
  init_rayshoot(s, lo, hi, n, lo, hi, n, seed);
  const double density = nray1 / (s.shoot_du * s.shoot_dv);
  ShootCounters c;
  do_rayshoot(s, 0, interpolate, c, density);
  if (total) *total = c.total;
  do_rayshoot(s, 1, interpolate, c, density);
  Mat m(1, n, 1, n);
  for (int p = 1; p <= n; ++p)
    for (int q = 1; q <= n; ++q) m[p][q] = s.shoot_dat[p][q] / nray1;
  return m;
}

}  // namespace

// The point-mass magnification (r^2 + 2)/(r sqrt(r^2 + 4)): 2.182821 at r = 0.5 and
// 3/sqrt(5) on the Einstein ring.
TEST(Microlensing, PointMassMagnification) {
  EXPECT_NEAR(ptmass_mag(0.5, 0.0), 2.182821, 5e-7);
  EXPECT_NEAR(ptmass_mag(0.0, -0.5), 2.182821, 5e-7);
  EXPECT_NEAR(ptmass_mag(0.6, 0.8), 3.0 / std::sqrt(5.0), 1e-14);
  EXPECT_NEAR(ptmass_mag(30.0, 40.0), 1.0, 1e-6);
}

// No lens (b = 0): every pixel of a window well inside the mesh receives Nray1 rays on
// average, the counted total is the window's share of rho times the mesh area, and the
// map repeats exactly from the same seed, positive or negative.
TEST(Microlensing, RayShootIdentityLensAndSeeds) {
  fresh_model(1);
  set_component(1, "alpha", {0, 0, 0, 0, 0, 0, 0, 0, 0, 1});
  build_mesh(even_radii(2.0, 10), 24);
  const double nray1 = 2e4;
  const int n = 9;
  for (int interpolate : {0, 1}) {
    SCOPED_TRACE(interpolate);
    const Mat m = shoot(-1, 1, n, nray1, interpolate, -15);
    double mean = 0, worst = 0;
    for (int p = 1; p <= n; ++p)
      for (int q = 1; q <= n; ++q) {
        mean += m[p][q] / (n * n);
        worst = std::max(worst, std::fabs(m[p][q] - 1));
      }
    // Poisson error 1/sqrt(2e4) = 0.7% per pixel, 0.08% for the mean of 81 pixels.
    EXPECT_LT(worst, 0.035);
    EXPECT_NEAR(mean, 1.0, 0.004);
  }
  // A stream copied from a seed restarts from it: 15 repeats as -15 does, twice in a run.
  for (long seed : {15L, -15L}) {
    const Mat a = shoot(-1, 1, n, 2e3, 0, seed);
    const Mat b = shoot(-1, 1, n, 2e3, 0, seed);
    for (int p = 1; p <= n; ++p)
      for (int q = 1; q <= n; ++q) ASSERT_EQ(a[p][q], b[p][q]) << "seed " << seed;
  }
}

// A window whose box no triangle's source-plane box meets draws and shoots nothing.
TEST(Microlensing, RayShootWindowOutsideMesh) {
  fresh_model(1);
  set_component(1, "alpha", {0, 0, 0, 0, 0, 0, 0, 0, 0, 1});
  build_mesh(even_radii(2.0, 6), 16);
  double total = -1;
  const Mat m = shoot(5, 7, 5, 1e4, 0, -3, &total);
  EXPECT_EQ(total, 0.0);
  for (int p = 1; p <= 5; ++p)
    for (int q = 1; q <= 5; ++q) EXPECT_EQ(m[p][q], 0.0);
}

// Point mass b = 1: exact and interpolated rays against the pixel-averaged closed form
// away from the lens (Poisson error 1/sqrt(Nray1 mu) <= 0.6%).
TEST(Microlensing, RayShootPointMass) {
  fresh_model(1);
  set_component(1, "ptmass", {1, 0, 0});
  build_mesh(even_radii(2.2, 60, 0.05), 90);
  const int n = 11;
  const double h = 0.2;
  for (int interpolate : {0, 1}) {
    SCOPED_TRACE(interpolate);
    const Mat m = shoot(-1, 1, n, 3e4, interpolate, -7);
    for (int p = 1; p <= n; ++p)
      for (int q = 1; q <= n; ++q) {
        const double u = -1 + (p - 1) * h, v = -1 + (q - 1) * h;
        if (std::hypot(u, v) < 0.3) continue;
        const double ref = ptmass_pixel_average(u, v, h, 40);
        EXPECT_NEAR(m[p][q] / ref, 1.0, 0.03) << u << " " << v;
      }
  }
}

// A ray that rounding puts one pixel past the window's last pixel is reported and counted
// in the last pixel, not written past the counts.
TEST(Microlensing, RayShootRoundingAtWindowEdge) {
  fresh_model(1);
  RayShootState& s = TWshoot;
  init_rayshoot(s, -1, 1, 3, -1, 1, 3, -1);
  // The largest u below the window's upper edge whose pixel index rounds past the end.
  double u = s.shoot_uhi;
  bool found = false;
  for (int k = 0; k < 64 && !found; ++k) {
    u = std::nextafter(u, -1.0);
    found = static_cast<int>((u - s.shoot_ulo) / s.shoot_du) + 1 > s.shoot_nu;
  }
  ASSERT_TRUE(found) << "no rounded edge case for this window";
  // One triangle whose every ray maps (by interpolation) to (u, 0).
  TWtri.out = triangulateio();
  TWtri.out.numberofpoints = 3;
  TWtri.out.numberofpointattributes = 6;
  TWtri.out.pointlist = {0, 0, 1, 0, 0, 1};
  TWtri.out.pointattributelist = {u, 0, 1, 1, 0, 1, u, 0, 1, 1, 0, 1, u, 0, 1, 1, 0, 1};
  TWtri.out.numberoftriangles = 1;
  TWtri.out.trianglelist = {0, 1, 2};
  ShootCounters c;
  testing::internal::CaptureStdout();
  do_rayshoot(s, 1, 1, c, 100.0);
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("QVM weird u"), std::string::npos);
  double sum = 0;
  for (int p = 1; p <= 3; ++p)
    for (int q = 1; q <= 3; ++q) sum += s.shoot_dat[p][q];
  EXPECT_GT(s.shoot_dat[3][2], 20.0);  // Poisson mean 50
  EXPECT_EQ(sum, s.shoot_dat[3][2]);
}

// The rayshoot command: argument checks refuse a map that would divide by zero; two stages
// write maps of one normalisation; mu0 writes log10(mu/mu0) and -9 where no ray fell.
TEST(Microlensing, RayShootCommand) {
  fresh_model(1);
  SetVar("gridflag", 0, 0);
  ScratchDir d;
  {
    CommandInput in("alpha 0 0 0 0 0 0 0 0 0 1\n0 0 0 0 0 0 0 0 0 0\n");
    CaptureOutput cap;
    run_handler(setlens, words({"setlens", "1", "1"}));
  }
  build_mesh(even_radii(1.0, 5), 16);
  struct Case {
    std::vector<std::string> w;
    const char* warning;
  };
  const std::string f = d.file("bad.txt");
  const Case bad[] = {
      {{"rayshoot", "-1", "1", "1", "-1", "1", "5", f, "1", "100"}, "u steps=1 is smaller than"},
      {{"rayshoot", "1", "1", "5", "-1", "1", "5", f, "1", "100"}, "needs u hi > u lo"},
      {{"rayshoot", "-1", "1", "5", "-1", "1", "5", f, "1", "0"}, "needs Nray1 > 0"},
      {{"rayshoot", "-1", "1", "5", "-1", "1", "5", f, "1", "100", "0"}, "needs Nwrite >= 1"},
  };
  for (const Case& c : bad) {
    CaptureOutput cap;
    run_handler(rayshoot, words(c.w));
    EXPECT_NE(cap.text().find(c.warning), std::string::npos) << cap.text();
    EXPECT_FALSE(d.exists("bad.txt"));
  }
  // Window -2..2 over a mesh of radius 1, mu0 = 1: 0 near the centre, -9 beyond the mesh.
  {
    CaptureOutput cap;
    run_handler(rayshoot, words({"rayshoot", "-2", "2", "9", "-2", "2", "9", d.file("rel.txt"), "1", "4e3", "2", "0", "1"}));
    EXPECT_EQ(count_occurrences(cap.text(), "Writing relative magnifications"), 2);
  }
  int nx, ny;
  const Mat rel = read_text_map(d.file("rel.txt"), nx, ny);
  ASSERT_EQ(nx, 9);
  EXPECT_NEAR(rel[5][5], 0.0, 0.03);  // log10 of 1 +- 5 sigma
  EXPECT_EQ(rel[1][1], -9.0);
  EXPECT_EQ(rel[9][5], -9.0);
}

// magmapP: centre values at Nover 1; oversampled pixels are pixel averages; epsilon <= 0
// takes one batch; a pixel on the lens stops at 1e7 points with a warning; a positive seed
// repeats.
TEST(Microlensing, MagmapP) {
  start_program(stdin, stdout);
  ScratchDir d;
  CaptureOutput cap;
  run_handler(magmapP, words({"magmapP", "-1", "1", "5", "0", "1", "3", d.file("a.txt"), "1"}));
  int nx, ny;
  const Mat a = read_text_map(d.file("a.txt"), nx, ny);
  ASSERT_EQ(nx, 5);
  ASSERT_EQ(ny, 3);
  EXPECT_NEAR(a[5][1], 3.0 / std::sqrt(5.0), 5e-6);
  EXPECT_NEAR(a[4][1], 2.182821, 5e-6);

  SetVar("seed", 0, 15);
  for (const char* eps : {"0", "-1"}) {
    run_handler(magmapP, words({"magmapP", "0.5", "1.5", "3", "0.5", "1.5", "3", d.file("b.txt"), "1", "10", eps}));
    const Mat b = read_text_map(d.file("b.txt"), nx, ny);
    EXPECT_GT(b[1][1], 1.0);
  }
  EXPECT_EQ(count_occurrences(cap.text(), "ix,iy,Ntot,mu="), 0);  // one batch per pixel

  run_handler(magmapP, words({"magmapP", "0.5", "1.5", "3", "0.5", "1.5", "3", d.file("c1.txt"), "1", "4000", "2e-3"}));
  run_handler(magmapP, words({"magmapP", "0.5", "1.5", "3", "0.5", "1.5", "3", d.file("c2.txt"), "1", "4000", "2e-3"}));
  EXPECT_EQ(d.read("c1.txt"), d.read("c2.txt"));
  const Mat c = read_text_map(d.file("c1.txt"), nx, ny);
  for (int i = 1; i <= 3; ++i)
    for (int j = 1; j <= 3; ++j) {
      const double u = 0.5 + 0.5 * (i - 1), v = 0.5 + 0.5 * (j - 1);
      EXPECT_NEAR(c[i][j], ptmass_pixel_average(u, v, 0.5, 200), 8e-3);  // 4 epsilon
    }

  const std::string before = cap.text();
  run_handler(magmapP, words({"magmapP", "-1", "1", "3", "-1", "1", "3", d.file("e.txt"), "1", "20000", "1e-3"}));
  const std::string out = cap.text().substr(before.size());
  EXPECT_NE(out.find("WARNING: magmapP pixel 2 2 stopped at 1e7 points, error "), std::string::npos) << out;
  EXPECT_EQ(count_occurrences(out, "stopped at 1e7 points"), 1);
}

// Cuts: M[i][j] = i + 2j on 21 x 21 pixels through the centre pixel (11, 11); along x,
// d = -10..9 lie inside with value 33 + d; along y the value is 33 + 2d; a line beyond the
// map has no inside point.
TEST(Microlensing, CutsThroughMap) {
  const int n = 21;
  Mat m(1, n, 1, n);
  for (int i = 1; i <= n; ++i)
    for (int j = 1; j <= n; ++j) m[i][j] = i + 2 * j;
  struct Case {
    double b, theta, slope;
  };
  for (const Case& c : {Case{0, 0, 1}, Case{0, kPi / 2, 2}, Case{3, 0, 1}}) {
    Mat cut;
    lcrv_from_map(n, n, m, cut, c.b, c.theta);
    ASSERT_EQ(cut.rhi(), n);
    int inside = 0;
    for (int i = 1; i <= n; ++i) {
      const double d = cut[i][1];
      EXPECT_EQ(d, i - 11.0);
      if (cut[i][3] < 0) {
        EXPECT_EQ(cut[i][2], 0.0);
        continue;
      }
      ++inside;
      EXPECT_NEAR(cut[i][2], 33 + 2 * c.b + c.slope * d, 1e-9) << c.theta << " " << d;
    }
    EXPECT_EQ(inside, 20);
  }
  Mat cut;
  lcrv_from_map(n, n, m, cut, 40, 0.3);
  for (int i = 1; i <= n; ++i) EXPECT_EQ(cut[i][3], -1.0);
}

// map2lcrv writes (pixscale d, value) at inside points, nothing for a line that misses the
// map, and refuses a scale that is not positive; map2lstats refuses one angle and such a
// scale, and writes the sorted fractions of angles.
TEST(Microlensing, MapCutCommands) {
  start_program(stdin, stdout);
  ScratchDir d;
  const int n = 21;
  Mat m(1, n, 1, n);
  for (int i = 1; i <= n; ++i)
    for (int j = 1; j <= n; ++j) m[i][j] = i + 2 * j;
  write_array(d.file("map.txt"), 1, n, n, m);
  CaptureOutput cap;
  run_handler(map2lcrv, words({"map2lcrv", d.file("map.txt"), "1", "0.5", "0", "0", d.file("l.txt")}));
  std::istringstream in(d.read("l.txt"));
  double x, v;
  int rows = 0;
  while (in >> x >> v) {
    EXPECT_NEAR(v, 33 + x / 0.5, 1e-5);
    ++rows;
  }
  EXPECT_EQ(rows, 20);
  run_handler(map2lcrv, words({"map2lcrv", d.file("map.txt"), "1", "1", "100", "0", d.file("miss.txt")}));
  EXPECT_TRUE(d.exists("miss.txt"));
  EXPECT_EQ(d.read("miss.txt"), "");
  for (const char* scale : {"0", "-0.5"}) {
    const std::string before = cap.text();
    run_handler(map2lcrv, words({"map2lcrv", d.file("map.txt"), "1", scale, "0", "0", d.file("l0.txt")}));
    EXPECT_NE(cap.text().substr(before.size()).find("WARNING: map2lcrv needs pixscale > 0"), std::string::npos);
    EXPECT_FALSE(d.exists("l0.txt"));
  }

  for (auto w : {std::vector<std::string>{"1", "0", "1", "1", "1"}, std::vector<std::string>{"0", "0", "1", "1", "3"}}) {
    const std::string before = cap.text();
    run_handler(map2lstats, words({"map2lstats", d.file("map.txt"), "1", w[0], w[1], w[2], w[3], w[4], "0", d.file("s"), "1"}));
    EXPECT_NE(cap.text().substr(before.size()).find("WARNING: map2lstats needs"), std::string::npos);
    EXPECT_FALSE(d.exists("s-max.dat"));
  }
  // Two impact parameters, five angles 0, 90, 180, 270, 360 degrees; threshold 50.
  run_handler(map2lstats, words({"map2lstats", d.file("map.txt"), "1", "1", "0", "2", "2", "5", "50", d.file("s"), "1"}));
  std::istringstream mx(d.read("s-max.dat"));
  std::vector<std::vector<double>> rowsv;
  double f, a, b;
  while (mx >> f >> a >> b) rowsv.push_back({f, a, b});
  ASSERT_EQ(rowsv.size(), 5u);
  for (int l = 0; l < 5; ++l) EXPECT_NEAR(rowsv[l][0], 1 - l / 5.0, 1e-12);
  for (int l = 1; l < 5; ++l) EXPECT_LE(rowsv[l - 1][1], rowsv[l][1]);
  // b = 0: the largest value on a cut through the centre: along +y up to 33 + 2*9 = 51.
  EXPECT_NEAR(rowsv[4][1], 51.0, 1e-5);
  std::istringstream du(d.read("s-dur.dat"));
  std::vector<double> dur0;
  while (du >> f >> a >> b) dur0.push_back(a);
  // Values above 50 lie only on the cut along +y (d = 9: 51), so once in each cut that
  // passes there, and nowhere along x.
  EXPECT_EQ(dur0.front(), 0.0);
  EXPECT_EQ(dur0.back(), 1.0);
}

// rayshootOLD and magdist2 read their grids from the command input.
TEST(Microlensing, OlderRayShooterAndMagnificationDistribution) {
  start_program(stdin, stdout);
  SetVar("gridflag", 0, 0);
  ScratchDir d;
  CaptureOutput cap;
  {
    CommandInput in("alpha 0 0 0 0 0 0 0 0 0 1\n0 0 0 0 0 0 0 0 0 0\n");
    run_handler(setlens, words({"setlens", "1", "1"}));
  }
  {
    // No lens: rays uniform over [-1, 1]^2 count 1 per unit magnification in pixels inside.
    CommandInput in("-1 1 -1 1 80000\n-0.5 0.5 3 -0.5 0.5 3\n");
    rayshootOLD(words({"rayshootOLD", d.file("old.txt"), "1"}));
  }
  int nx, ny;
  const Mat old = read_text_map(d.file("old.txt"), nx, ny);
  ASSERT_EQ(nx, 3);
  for (int p = 1; p <= 3; ++p)
    for (int q = 1; q <= 3; ++q) EXPECT_NEAR(old[p][q], 1.0, 0.05);  // 5000 rays a pixel
  {
    CommandInput in("-1 1 -1 1\n");
    EXPECT_EQ(fatal_message([&] { rayshootOLD(words({"rayshootOLD", d.file("x.txt"), "1"})); }),
              "too few entries for image plane grid in rayshootOLD");
  }

  // A 4 x 2 map of log10 magnifications over 0..3 x 0..1 (pixel area 1).
  Mat lm(1, 4, 1, 2);
  const double vals[8] = {0.5, -0.5, 0.25, -9, 1.0, -0.1, 0.05, -0.3};
  for (int k = 0; k < 8; ++k) lm[k / 2 + 1][k % 2 + 1] = vals[k];
  write_array(d.file("lm.txt"), 1, 4, 2, lm);
  {
    CommandInput in(d.file("lm.txt") + " 1 0 3 0 1\n");
    magdist2(words({"magdist2", d.file("dist.txt"), "0", "0.4", "3"}));
  }
  std::istringstream t(d.read("dist.txt"));
  std::string header;
  std::getline(t, header);
  EXPECT_EQ(header.rfind("#", 0), 0u);
  // delta 0, 0.2, 0.4: above: 4, 3, 2 pixels; below -delta: 3, 2, 1 (the -9 pixel ignored).
  const double want[3][5] = {{0, 0, 4, 0, 3}, {0.2, -5, 3, -5, 2}, {0.4, 0, 2, 0, 1}};
  for (const auto& w : want) {
    double r[5];
    for (double& x : r) t >> x;
    for (int k = 0; k < 5; ++k) EXPECT_NEAR(r[k], w[k], 1e-6) << w[0] << " " << k;
  }
  {
    CommandInput in(d.file("lm.txt") + " 1 0 3\n");
    EXPECT_EQ(fatal_message([&] { magdist2(words({"magdist2", d.file("y.txt"), "0", "0.4", "3"})); }),
              "in magdist2, too few specifications for the mag file");
  }
}

// The half-light radius of a Sersic profile: n = 1 (exponential) at 1.678347 scale radii;
// n = 0.5 (Gaussian exp(-x^2)) at sqrt(ln 2).
TEST(Microlensing, SersicHalfLightRadius) {
  EXPECT_NEAR(zbrent([](double x) { return sersic_Reff(x, 1.0); }, 0.1, 10.0, 1e-12), 1.678347, 1e-6);
  EXPECT_NEAR(zbrent([](double x) { return sersic_Reff(x, 0.5); }, 0.1, 10.0, 1e-12), std::sqrt(std::log(2.0)),
              1e-7);
}

// Point masses deflected in blocks: the sum agrees with potdefmag to 1e-12 of the sum of
// the components' |alpha|, other components (a sheet with shear) are added by potdefmag,
// and a ray-shot map is the same through both routes from one seed. Rows the block sum
// cannot stand for (a point mass with shear) keep the model on the plain route.
TEST(Microlensing, PointMassBlocks) {
  fresh_model(5);
  set_component(1, "ptmass", {0.4, 0.1, -0.2});
  set_component(2, "ptmass", {0.3, -0.5, 0.3, 0, 30});
  set_component(3, "convrg", {0.2, 0, 0, 0, 0, 0.1, 20});
  set_component(4, "ptmass", {0.5, 0.6, 0.5});
  set_component(5, "ptmass", {0.2, -0.1, -0.9});
  PtmassField f;
  ASSERT_TRUE(f.build());
  EXPECT_EQ(f.rows, (std::vector<int>{1, 2, 4, 5}));
  EXPECT_TRUE(f.others);
  const int n = 7;
  const double px[n] = {0.3, -1.2, 0.1, 0.6, 2.0, -0.4, 0.05};  // point 3: on component 1's centre
  const double py[n] = {0.2, 0.7, -0.2, 0.5001, -1.5, 0.33, 0.01};
  double ax[n], ay[n];
  f.deflect(n, px, py, ax, ay);
  {
    OtherComponentsOnly only(f);
    for (int r = 0; r < n; ++r) {
      double pot, ox, oy, xx, yy, xy, yx;
      potdefmag(px[r], py[r], pot, ox, oy, xx, yy, xy, yx);
      ax[r] += ox;
      ay[r] += oy;
    }
  }
  EXPECT_EQ(TWgal.NGALMAX, 5);  // the full table is back, with component 1 loaded
  EXPECT_EQ(cur.igal, 1);
  for (int r = 0; r < n; ++r) {
    double pot, ox, oy, xx, yy, xy, yx;
    potdefmag(px[r], py[r], pot, ox, oy, xx, yy, xy, yx);
    double scale = 0;  // sum of the components' |alpha|
    for (int j = 1; j <= 5; ++j) {
      initgal(j);
      DerivVector d;
      ellipse(d, px[r], py[r]);
      DerivVector sh;
      shear(sh, px[r], py[r]);
      scale += std::hypot(d[2] + sh[2], d[3] + sh[3]);
    }
    EXPECT_NEAR(ax[r], ox, 1e-12 * scale) << r;
    EXPECT_NEAR(ay[r], oy, 1e-12 * scale) << r;
  }

  build_mesh(even_radii(2.5, 30, 0.05), 48);
  TWshoot.allow_blocks = true;
  const Mat a = shoot(-1, 1, 9, 300, 0, -11);
  TWshoot.allow_blocks = false;
  const Mat b = shoot(-1, 1, 9, 300, 0, -11);
  TWshoot.allow_blocks = true;
  double total = 0;
  for (int p = 1; p <= 9; ++p)
    for (int q = 1; q <= 9; ++q) {
      EXPECT_EQ(a[p][q], b[p][q]) << p << " " << q;
      total += a[p][q];
    }
  EXPECT_GT(total, 50.0);

  set_component(4, "ptmass", {0.5, 0.6, 0.5, 0, 0, 0.05, 10});
  PtmassField g;
  EXPECT_TRUE(g.build());
  EXPECT_EQ(g.rows, (std::vector<int>{1, 2, 5}));
  set_component(3, "none", {});
  set_component(4, "none", {});
  EXPECT_TRUE(g.build());
  EXPECT_FALSE(g.others);
  TWmod.scale = 0.5;
  EXPECT_FALSE(g.build());
  TWmod.scale = 1;
}

// A word that is not a finite number ends the command with an error naming the command
// and the word, before any map, range or file is made.
TEST(Microlensing, NonFiniteWordsRefused) {
  fresh_model(1);
  set_component(1, "alpha", {0, 0, 0, 0, 0, 0, 0, 0, 0, 1});
  build_mesh(even_radii(1.0, 5), 16);
  ScratchDir d;
  Mat m(1, 5, 1, 5);
  m.fill(1.0);
  write_array(d.file("map.txt"), 1, 5, 5, m);
  const std::string map = d.file("map.txt"), out = d.file("out.txt");
  struct Case {
    std::vector<std::string> w;
    const char* bad;  // the refused word
  };
  const Case cases[] = {
      {{"rayshoot", "-1", "inf", "5", "-1", "1", "5", out, "1", "100"}, "inf"},
      {{"rayshoot", "-1", "1", "5", "-1", "1", "5", out, "1", "nan"}, "nan"},
      {{"rayshoot", "-1", "1", "5", "-1", "1", "5", out, "1", "100", "inf"}, "inf"},
      {{"rayshoot", "-1", "1", "5", "-1", "1", "5", out, "1", "100", "1", "0", "nan"}, "nan"},
      {{"magmapP", "nan", "1", "5", "-1", "1", "5", out, "1"}, "nan"},
      {{"magmapP", "-1", "1", "5", "-1", "1", "5", out, "1", "4", "nan"}, "nan"},
      {{"lightcrv", out, "-1", "0.5", "inf", "0.5", "5"}, "inf"},
      {{"lightcrv", out, "-1", "0.5", "1", "0.5", "5", "0.1", "nan", "2"}, "nan"},
      {{"map2lcrv", map, "1", "1", "nan", "0", out}, "nan"},
      {{"map2lcrv", map, "1", "inf", "0", "0", out}, "inf"},
      {{"map2lstats", map, "1", "1", "0", "1", "2", "5", "nan", out, "1"}, "nan"},
      {{"map2lstats", map, "1", "1", "0", "1", "inf", "5", "1", out, "1"}, "inf"},
  };
  for (const Case& c : cases) {
    CaptureOutput cap;
    const std::string msg = fatal_message([&] {
      const WordArray w = words(c.w);
      if (c.w[0] == "rayshoot") run_handler(rayshoot, w);
      if (c.w[0] == "magmapP") run_handler(magmapP, w);
      if (c.w[0] == "lightcrv") run_handler(lightcrv, w);
      if (c.w[0] == "map2lcrv") run_handler(map2lcrv, w);
      if (c.w[0] == "map2lstats") run_handler(map2lstats, w);
    });
    EXPECT_EQ(msg, c.w[0] + ": " + c.bad + " is not a finite number") << c.w[0];
    EXPECT_FALSE(d.exists("out.txt")) << c.w[0];
    EXPECT_FALSE(d.exists("out.txt-max.dat")) << c.w[0];
  }
}

// A map pixel that is not finite (an infinity at a point lens, a NaN blank) would make
// cuts, maxima and integrals NaN or infinite: an error naming the file and the pixel.
TEST(Microlensing, NonFiniteMapPixelsRefused) {
  start_program(stdin, stdout);
  ScratchDir d;
  const double inf = HUGE_VAL;
  for (double bad : {inf, std::nan("")}) {
    Mat m(1, 5, 1, 5);
    m.fill(1.0);
    m[3][4] = bad;
    {
      CaptureOutput cap;
      write_array(d.file("map.txt"), 1, 5, 5, m);
    }
    const std::string map = d.file("map.txt"), want = map + ": pixel (3, 4) is not a finite number";
    CaptureOutput cap;
    EXPECT_EQ(fatal_message([&] { run_handler(map2lcrv, words({"map2lcrv", map, "1", "1", "0", "0", d.file("l.txt")})); }), want);
    EXPECT_EQ(fatal_message([&] {
                run_handler(map2lstats, words({"map2lstats", map, "1", "1", "0", "1", "2", "5", "1", d.file("s"), "1"}));
              }),
              want);
    EXPECT_FALSE(d.exists("l.txt"));
    EXPECT_FALSE(d.exists("s-max.dat"));
  }
}
