// Lensed maps, convolution, the velocity field of a disk and image statistics.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "core/lens_model.h"
#include "core/sources.h"
#include "imageplane/lens_fixture.h"
#include "imageplane/map_text.h"
#include "imageplane/sbmap.h"
#include "io/arrayfile.h"
#include "numeric/constants.h"
#include "support/test_support.h"

using namespace lensfix;

namespace {

WordArray words(std::vector<std::string> w) { return WordArray(std::move(w)); }

// The map a[i][j] = f(i, j) written as a text file.
template <class F>
void write_map(const std::string& path, int nx, int ny, F&& f) {
  Mat a(1, nx, 1, ny);
  for (int i = 1; i <= nx; ++i)
    for (int j = 1; j <= ny; ++j) a[i][j] = f(i, j);
  CaptureOutput cap;
  write_array(path, 1, nx, ny, a);
}

// Sum, centroid and second moments (about the centroid, per axis) of a map.
struct Moments {
  double sum = 0, cx = 0, cy = 0, vx = 0, vy = 0;
};
Moments moments(const Mat& a, int nx, int ny) {
  Moments m;
  for (int i = 1; i <= nx; ++i)
    for (int j = 1; j <= ny; ++j) {
      m.sum += a[i][j];
      m.cx += a[i][j] * i;
      m.cy += a[i][j] * j;
    }
  m.cx /= m.sum;
  m.cy /= m.sum;
  for (int i = 1; i <= nx; ++i)
    for (int j = 1; j <= ny; ++j) {
      m.vx += a[i][j] * (i - m.cx) * (i - m.cx) / m.sum;
      m.vy += a[i][j] * (j - m.cy) * (j - m.cy) / m.sum;
    }
  return m;
}

// A started program with a one-component model loaded (no grid build).
void load_model(const std::string& component) {
  fresh_model(1);
  SetVar("gridflag", 0, 0);
  SetVar("gridlo1", 0, 0.05);  // a polar grid may not start on a point mass
  CommandInput in(component + "\n0 0 0 0 0 0 0 0 0 0\n");
  CaptureOutput cap;
  run_handler(setlens, words({"setlens", "1", "1"}));
}

// An isothermal sphere of Einstein radius 1 and a uniform disk (flux 1, R0 0.05) at (0.3, 0).
void sphere_and_disk() {
  load_model("alpha 1 0 0 0 0 0 0 0 0 1");
  CommandInput in("uniform 1 0.3 0 0 0 0.05 0 0\n0 0 0 0 0 0 0 0\n");
  CaptureOutput cap;
  run_handler(setsource, words({"setsource", "1", "1000"}));
}

double gauss(double dx, double dy, double s) { return std::exp(-(dx * dx + dy * dy) / (2 * s * s)); }

}  // namespace

// Grid lengths: the smallest power of two at least twice the larger image along each axis;
// an axis beyond 16384 pixels ends the program.
TEST(Convolve, GridLength) {
  EXPECT_EQ(convolve_length(100, 'x'), 256);
  EXPECT_EQ(convolve_length(60, 'y'), 128);
  EXPECT_EQ(convolve_length(1, 'x'), 2);
  EXPECT_EQ(convolve_length(16384, 'y'), 32768);
  EXPECT_EQ(fatal_message([] { convolve_length(16385, 'x'); }), "kappa array too large in x direction");
  EXPECT_EQ(fatal_message([] { convolve_length(20000, 'y'); }), "kappa array too large in y direction");
}

// One bright pixel convolved with a function brightest at its centre is the function,
// normalised, centred on that pixel; Gaussians: flux kept and second moments add.
TEST(Convolve, ImageWithImage) {
  start_program(stdin, stdout);
  ScratchDir d;
  write_map(d.file("one.txt"), 64, 64, [](int i, int j) { return (i == 20 && j == 40) ? 1.0 : 0.0; });
  write_map(d.file("psf.txt"), 15, 15, [](int i, int j) { return 3.0 * gauss(i - 8, j - 8, 1.5); });
  write_map(d.file("g.txt"), 64, 64, [](int i, int j) { return gauss(i - 32.5, j - 30, 2.0); });
  CaptureOutput cap;
  run_handler(convolve1, words({"convolve1", d.file("one.txt"), "1", d.file("psf.txt"), "1", d.file("o1.txt"), "1"}));
  EXPECT_NE(cap.text().find("Fluxes: old 1.000000e+00 new 1.000000e+00"), std::string::npos) << cap.text();
  int nx, ny;
  const Mat o1 = read_text_map(d.file("o1.txt"), nx, ny);
  ASSERT_EQ(nx, 64);
  ASSERT_EQ(ny, 64);
  double psum = 0;
  for (int i = 1; i <= 15; ++i)
    for (int j = 1; j <= 15; ++j) psum += static_cast<float>(3.0 * gauss(i - 8, j - 8, 1.5));
  for (int i = 1; i <= 64; ++i)
    for (int j = 1; j <= 64; ++j) {
      const int a = i - 20 + 8, b = j - 40 + 8;
      const double want =
          (a >= 1 && a <= 15 && b >= 1 && b <= 15) ? static_cast<float>(3.0 * gauss(a - 8, b - 8, 1.5)) / psum : 0.0;
      ASSERT_NEAR(o1[i][j], want, 1e-7) << i << " " << j;
    }

  run_handler(convolve1, words({"convolve1", d.file("g.txt"), "1", d.file("psf.txt"), "1", d.file("o2.txt"), "1"}));
  Mat g, p;
  int gx, gy, px, py;
  g = read_text_map(d.file("g.txt"), gx, gy);
  p = read_text_map(d.file("psf.txt"), px, py);
  const Mat o2 = read_text_map(d.file("o2.txt"), nx, ny);
  const Moments mg = moments(g, gx, gy), mp = moments(p, px, py), mo = moments(o2, nx, ny);
  EXPECT_NEAR(mo.sum / mg.sum, 1.0, 1e-6);
  EXPECT_NEAR(mo.vx, mg.vx + mp.vx, 1e-6 * mo.vx);
  EXPECT_NEAR(mo.vy, mg.vy + mp.vy, 1e-6 * mo.vy);
  EXPECT_NEAR(mo.cx, mg.cx, 1e-5);  // the function is centred on its brightest pixel
  EXPECT_NEAR(mo.cy, mg.cy, 1e-5);

  // A function that sums to 0 cannot be normalised: an error naming its file.
  write_map(d.file("zero.txt"), 3, 3, [](int i, int j) { return i == 2 ? 1.0 : -0.5; });
  const std::string msg = fatal_message(
      [&] { run_handler(convolve1, words({"convolve1", d.file("g.txt"), "1", d.file("zero.txt"), "1", d.file("o3.txt"), "1"})); });
  EXPECT_NE(msg.find(d.file("zero.txt")), std::string::npos) << msg;
  EXPECT_FALSE(d.exists("o3.txt"));
}

// imgstats: extremes from the pixels themselves (all above 1e10 too); a constant image has
// deviation 0, not the root of a rounding residue.
TEST(ImgStats, ExtremesAndSpread) {
  start_program(stdin, stdout);
  ScratchDir d;
  struct Case {
    double base, step;
    const char* lines;
  };
  const Case cases[] = {
      {3e10, 1e9, "minimum value      = 3.000000e+10\nmaximum value      = 3.500000e+10\n"},
      {-7e12, -1e11, "minimum value      = -7.500000e+12\nmaximum value      = -7.000000e+12\n"},
      {0.1, 0.0, "average value      = 1.000000e-01\nstandard deviation = 0.000000e+00\n"},
  };
  for (const Case& c : cases) {
    write_map(d.file("a.txt"), 3, 2, [&](int i, int j) { return c.base + c.step * ((i - 1) + 3 * (j - 1)); });
    CaptureOutput cap;
    run_handler(imgstats, words({"imgstats", d.file("a.txt"), "1"}));
    EXPECT_NE(cap.text().find(std::string("Results from imgstats:\n")), std::string::npos);
    EXPECT_NE(cap.text().find(c.lines), std::string::npos) << cap.text();
  }
  write_map(d.file("b.txt"), 2, 2, [](int i, int j) { return i + 2.0 * j; });  // 3 4 5 6
  CaptureOutput cap;
  run_handler(imgstats, words({"imgstats", d.file("b.txt"), "1"}));
  EXPECT_NE(cap.text().find("average value      = 4.500000e+00\nstandard deviation = 1.118034e+00\n"),
            std::string::npos);
}

// Velocity field of a disk at i = 60, PA = 0, Vcirc 200, Rmax 1 with no lens: +-Vcirc sin i
// along the major (y) axis, 0 along x, 0 at the centre and beyond radius 1; i = 0 gives 0;
// i = 90 (in radians never exactly cos i = 0) ends the program.
TEST(Spider, DiskVelocityField) {
  load_model("alpha 0 0 0 0 0 0 0 0 0 1");
  ScratchDir d;
  CaptureOutput cap;
  run_handler(spider, words({"spider", "-2", "2", "9", "-2", "2", "9", d.file("s.txt"), "1", "0", "0", "60", "0", "200", "1"}));
  int nx, ny;
  const Mat s = read_text_map(d.file("s.txt"), nx, ny);
  const double vmax = 200 * std::sin(kPi / 3);
  for (int i = 1; i <= 9; ++i)
    for (int j = 1; j <= 9; ++j) {
      const double x = -2 + 0.5 * (i - 1), y = -2 + 0.5 * (j - 1);
      // deprojected radius: x is the minor axis, shrunk by cos i = 1/2
      const double r = std::hypot(y, 2 * x);
      double want = 0;
      if (r > 0 && r <= 1) want = 200 * std::sin(kPi / 3) * 0.5 * y / std::hypot(0.5 * y, x);
      EXPECT_NEAR(s[i][j], want, 2e-4) << x << " " << y;
    }
  EXPECT_NEAR(s[5][3], -vmax, 2e-4);
  EXPECT_NEAR(s[5][7], vmax, 2e-4);
  EXPECT_NEAR(vmax, 173.205, 5e-4);
  EXPECT_EQ(s[5][5], 0.0);

  run_handler(spider, words({"spider", "-2", "2", "9", "-2", "2", "9", d.file("s0.txt"), "1", "0.3", "0", "0", "0", "200", "1"}));
  const Mat s0 = read_text_map(d.file("s0.txt"), nx, ny);
  for (int i = 1; i <= 9; ++i)
    for (int j = 1; j <= 9; ++j) EXPECT_EQ(s0[i][j], 0.0);

  EXPECT_EQ(fatal_message([&] {
              run_handler(spider, words({"spider", "-2", "2", "9", "-2", "2", "9", d.file("s9.txt"), "1", "0", "0", "90", "0", "200", "1"}));
            }),
            "spider diagram is not well defined for i=90");
  EXPECT_FALSE(d.exists("s9.txt"));
}

// Bilinear sampling of a source map: exact for a linear field, the upper edge in the last
// cell, 0 outside the map's range.
TEST(SBmap, SourceMapSampler) {
  Mat m(1, 4, 1, 3);
  for (int p = 1; p <= 4; ++p)
    for (int q = 1; q <= 3; ++q) m[p][q] = 2.0 * p - 3.0 * q;  // u = (p - 1)/3, v = (q - 1)/2 on [0,1]^2
  SourceMapSampler s;
  s.map = &m;
  s.nu = 4;
  s.nv = 3;
  s.ulo = 0;
  s.uhi = 1;
  s.vlo = 0;
  s.vhi = 1;
  s.du = 1.0 / 3;
  s.dv = 0.5;
  auto field = [](double u, double v) { return 2.0 * (3 * u + 1) - 3.0 * (2 * v + 1); };
  for (double u : {0.0, 0.2, 1.0 / 3, 0.5, 0.999999, 1.0})
    for (double v : {0.0, 0.3, 0.5, 1.0}) EXPECT_NEAR(s(u, v), field(u, v), 1e-12) << u << " " << v;
  EXPECT_EQ(s(-1e-9, 0.5), 0.0);
  EXPECT_EQ(s(0.5, 1.0 + 1e-9), 0.0);
}

// SBmap1 with no lens: a linear source map over [0, 1]^2 comes back where the image grid
// overlaps it, bilinear interpolation being exact; a sample outside the map adds 0 but
// counts in the mean (Nover 2 at the map's edge gives half); both fluxes are reported.
TEST(SBmap, LensedMapFromFile) {
  load_model("alpha 0 0 0 0 0 0 0 0 0 1");
  ScratchDir d;
  auto f = [](double u, double v) { return 1 + u + 2 * v; };
  write_map(d.file("src.txt"), 5, 5, [&](int p, int q) { return f((p - 1) / 4.0, (q - 1) / 4.0); });
  CaptureOutput cap;
  run_handler(SBmap1, words({"SBmap1", d.file("src.txt"), "1", "0", "1", "0", "1", d.file("img.txt"), "1", "-0.5", "1.5", "9",
                "-0.5", "1.5", "9", "1"}));
  int nx, ny;
  const Mat img = read_text_map(d.file("img.txt"), nx, ny);
  ASSERT_EQ(nx, 9);
  for (int i = 1; i <= 9; ++i)
    for (int j = 1; j <= 9; ++j) {
      const double x = -0.5 + 0.25 * (i - 1), y = -0.5 + 0.25 * (j - 1);
      const bool in = x >= 0 && x <= 1 && y >= 0 && y <= 1;
      EXPECT_NEAR(img[i][j], in ? f(x, y) : 0.0, 1e-6) << x << " " << y;
    }
  // Source flux: sum of pixels times the pixel area 1/16 (sum of f over the 5 x 5 nodes is
  // 25 (1 + 0.5 + 1) = 62.5); image flux: sum over the 25 inside pixels times 1/16 likewise.
  EXPECT_NE(cap.text().find("Total source plane flux: 3.906250e+00\nTotal image  plane flux: 3.906250e+00\n"),
            std::string::npos)
      << cap.text();

  // Nover 2: points at +-dx/4, +-dy/4; on the map's edge x = 1 half of them fall outside.
  run_handler(SBmap1, words({"SBmap1", d.file("src.txt"), "1", "0", "1", "0", "1", d.file("img2.txt"), "1", "-0.5", "1.5", "9",
                "-0.5", "1.5", "9", "2"}));
  const Mat img2 = read_text_map(d.file("img2.txt"), nx, ny);
  EXPECT_NEAR(img2[7][5], f(1 - 0.0625, 0.5) / 2, 1e-6);  // x = 1, y = 0.5
  EXPECT_NEAR(img2[5][5], f(0.5, 0.5), 1e-6);

  // The image grid's axes run either way: a reversed x axis mirrors the map, and the flux
  // stays the same positive number.
  run_handler(SBmap1, words({"SBmap1", d.file("src.txt"), "1", "0", "1", "0", "1", d.file("rev.txt"), "1", "1.5", "-0.5", "9",
                "-0.5", "1.5", "9", "1"}));
  const Mat rev = read_text_map(d.file("rev.txt"), nx, ny);
  for (int i = 1; i <= 9; ++i)
    for (int j = 1; j <= 9; ++j) ASSERT_NEAR(rev[i][j], img[10 - i][j], 1e-6) << i << " " << j;
  EXPECT_EQ(count_occurrences(cap.text(), "Total image  plane flux: 3.906250e+00\n"), 2) << cap.text();

  // A map that cannot be interpolated, or a source range of zero width or given from hi to
  // lo (no sample would land on it): an error naming the file, nothing written.
  write_map(d.file("thin.txt"), 1, 5, [](int, int) { return 1.0; });
  struct Case {
    const char* file;
    const char* ulo;
    const char* uhi;
    const char* vlo;
    const char* vhi;
    const char* what;
  };
  const Case cases[] = {{"thin.txt", "0", "1", "0", "1", "pixels"},
                        {"src.txt", "0.5", "0.5", "0", "1", "hi > lo"},
                        {"src.txt", "1", "0", "0", "1", "hi > lo"},
                        {"src.txt", "0", "1", "1", "-1", "hi > lo"}};
  for (const Case& c : cases) {
    const std::string msg = fatal_message([&] {
      run_handler(SBmap1, words({"SBmap1", d.file(c.file), "1", c.ulo, c.uhi, c.vlo, c.vhi, d.file("bad.txt"), "1", "-1", "1", "5",
                    "-1", "1", "5", "1"}));
    });
    EXPECT_NE(msg.find(d.file(c.file)), std::string::npos) << msg;
    EXPECT_NE(msg.find(c.what), std::string::npos) << msg;
    EXPECT_FALSE(d.exists("bad.txt"));
  }
}

// Surface brightness is conserved: behind a point mass a uniform source map of brightness
// 2 gives 2 at every pixel whose source position lies on the map, 0 elsewhere.
TEST(SBmap, PointMassConservesBrightness) {
  load_model("ptmass 1 0 0 0 0 0 0 0 0 0");
  ScratchDir d;
  write_map(d.file("flat.txt"), 3, 3, [](int, int) { return 2.0; });
  CaptureOutput cap;
  run_handler(SBmap1, words({"SBmap1", d.file("flat.txt"), "1", "-0.5", "0.5", "-0.5", "0.5", d.file("img.txt"), "1", "-2", "2",
                "21", "-2", "2", "21", "1"}));
  int nx, ny;
  const Mat img = read_text_map(d.file("img.txt"), nx, ny);
  int lit = 0;
  for (int i = 1; i <= 21; ++i)
    for (int j = 1; j <= 21; ++j) {
      const double x = -2 + 0.2 * (i - 1), y = -2 + 0.2 * (j - 1), r2 = x * x + y * y;
      if (r2 == 0) continue;
      const double u = x - x / r2, v = y - y / r2;
      if (std::fabs(std::fabs(u) - 0.5) < 1e-9 || std::fabs(std::fabs(v) - 0.5) < 1e-9) continue;
      const bool in = std::fabs(u) < 0.5 && std::fabs(v) < 0.5;
      EXPECT_NEAR(img[i][j], in ? 2.0 : 0.0, 1e-6) << x << " " << y;
      lit += in;
    }
  EXPECT_GT(lit, 20);
}

// SBmap2 without sources warns and writes nothing; afterwards the scale factor is 1.
TEST(SBmap, AnalyticMapWithoutSources) {
  load_model("alpha 1 0 0 0 0 0 0 0 0 1");
  InitSrcArr(0, 0);
  ScratchDir d;
  CaptureOutput cap;
  run_handler(SBmap2, words({"SBmap2", "-1", "1", "5", "-1", "1", "5", "1", d.file("x.txt"), "1"}));
  EXPECT_NE(cap.text().find("WARNING: no sources specified in SBmap2"), std::string::npos) << cap.text();
  EXPECT_FALSE(d.exists("x.txt"));
  EXPECT_EQ(TWmod.scale, 1.0);
}

// Both fluxes are positive whichever way the image grid's axes run; pixel i of a reversed
// axis lies where pixel 82 - i of the forward one does (up to the rounding of the pixel
// positions).
TEST(SBmap, ReversedAxesKeepFlux) {
  sphere_and_disk();
  ScratchDir d;
  const char* grids[][6] = {{"-2", "2", "81", "-2", "2", "81"},
                            {"2", "-2", "81", "-2", "2", "81"},
                            {"-2", "2", "81", "2", "-2", "81"},
                            {"2", "-2", "81", "2", "-2", "81"}};
  std::vector<double> fluxes;
  std::vector<Mat> maps;
  for (const auto& g : grids) {
    CaptureOutput cap;
    run_handler(SBmap2, words({"SBmap2", g[0], g[1], g[2], g[3], g[4], g[5], "2", d.file("m.txt"), "1"}));
    const std::string out = cap.text();
    const size_t k = out.find("Total image  plane flux: ");
    ASSERT_NE(k, std::string::npos) << out;
    fluxes.push_back(std::atof(out.c_str() + k + 25));
    int nx, ny;
    maps.push_back(read_text_map(d.file("m.txt"), nx, ny));
  }
  EXPECT_GT(fluxes[0], 6.0);  // about 6.7: the disk's magnified flux
  for (size_t m = 1; m < fluxes.size(); ++m) EXPECT_NEAR(fluxes[m], fluxes[0], 1e-6 * fluxes[0]) << m;
  double worst = 0;
  for (int i = 1; i <= 81; ++i)
    for (int j = 1; j <= 81; ++j) {
      worst = std::max(worst, std::fabs(maps[1][i][j] - maps[0][82 - i][j]));
      worst = std::max(worst, std::fabs(maps[2][i][j] - maps[0][i][82 - j]));
      worst = std::max(worst, std::fabs(maps[3][i][j] - maps[0][82 - i][82 - j]));
    }
  EXPECT_LT(worst, 1e-5);
}

// A uniform disk (flux 1, R0 0.05) at 0.3 behind an isothermal sphere of Einstein radius 1:
// point-source magnification (1.3 + 0.7)/0.3 = 6.667, for the disk 6.690 with
// oversampling (6.519 at the pixel centres of this lattice); the source flux is the disk's.
TEST(SBmap, LensedUniformDisk) {
  sphere_and_disk();
  ScratchDir d;
  for (const char* nover : {"4", "1"}) {
    CaptureOutput cap;
    run_handler(SBmap2, words({"SBmap2", "-2", "2", "401", "-2", "2", "401", nover, d.file("u.txt"), "1"}));
    const std::string out = cap.text();
    const size_t k = out.find("Total image  plane flux: ");
    ASSERT_NE(k, std::string::npos) << out;
    const double flux = std::atof(out.c_str() + k + 25);
    EXPECT_NE(out.find("Total source plane flux: 1.000000e+00\n"), std::string::npos);
    if (nover[0] == '4')
      EXPECT_NEAR(flux, 6.690, 0.005 * 6.690);
    else
      EXPECT_NEAR(flux, 6.519, 0.0005);
  }
  EXPECT_EQ(TWmod.scale, 1.0);
}

// A model referenced to Dls/Dos = 1 cannot be scaled to a source at z = 0 (0/0): an error
// naming zsrc, no map, and the scale factor left at 1.
TEST(SBmap, AnalyticMapAtZeroSourceRedshift) {
  sphere_and_disk();
  SetVar("zlens", 0, 0.5);
  SetVar("zsrc", 0, 0.0);
  SetVar("zref", 0, 1001);
  ScratchDir d;
  const std::string msg =
      fatal_message([&] { run_handler(SBmap2, words({"SBmap2", "-1", "1", "5", "-1", "1", "5", "1", d.file("z.txt"), "1"})); });
  EXPECT_NE(msg.find("zsrc=0"), std::string::npos) << msg;
  EXPECT_FALSE(d.exists("z.txt"));
  EXPECT_EQ(TWmod.scale, 1.0);
}

// A word that is not a finite number ends the command with an error naming the command
// and the word, before any map or range is made: nothing is written.
TEST(SBmap, NonFiniteWordsRefused) {
  sphere_and_disk();
  ScratchDir d;
  write_map(d.file("src.txt"), 3, 3, [](int, int) { return 1.0; });
  const std::string in = d.file("src.txt"), out = d.file("out.txt");
  struct Case {
    std::vector<std::string> w;
    const char* bad;  // the refused word
  };
  const Case cases[] = {
      {{"SBmap1", in, "1", "nan", "1", "0", "1", out, "1", "-1", "1", "5", "-1", "1", "5", "1"}, "nan"},
      {{"SBmap1", in, "1", "0", "1", "0", "1", out, "1", "-1", "inf", "5", "-1", "1", "5", "1"}, "inf"},
      {{"SBmap1", in, "nan", "0", "1", "0", "1", out, "1", "-1", "1", "5", "-1", "1", "5", "1"}, "nan"},
      {{"SBmap2", "-1", "1", "5", "-inf", "1", "5", "1", out, "1"}, "-inf"},
      {{"spider", "-1", "1", "5", "-1", "1", "5", out, "1", "0", "0", "nan", "0", "200", "1"}, "nan"},
      {{"spider", "-1", "1", "5", "-1", "1", "5", out, "1", "0", "0", "60", "0", "200", "inf"}, "inf"},
      {{"convolve1", in, "1", in, "nan", out, "1"}, "nan"},
      {{"convolve2", in, "1", "0.02", "nan", out, "1"}, "nan"},
      {{"imgstats", in, "inf"}, "inf"},
  };
  for (const Case& c : cases) {
    CaptureOutput cap;
    const std::string msg = fatal_message([&] {
      const WordArray w = words(c.w);
      if (c.w[0] == "SBmap1") run_handler(SBmap1, w);
      if (c.w[0] == "SBmap2") run_handler(SBmap2, w);
      if (c.w[0] == "spider") run_handler(spider, w);
      if (c.w[0] == "convolve1") run_handler(convolve1, w);
      if (c.w[0] == "convolve2") run_handler(convolve2, w);
      if (c.w[0] == "imgstats") run_handler(imgstats, w);
    });
    EXPECT_EQ(msg, c.w[0] + ": " + c.bad + " is not a finite number");
    EXPECT_FALSE(d.exists("out.txt")) << c.w[0];
  }
  EXPECT_EQ(TWmod.scale, 1.0);
}

// An input pixel that is not finite (NaN, an infinity, a text value beyond single
// precision) would turn fluxes, convolutions and statistics into NaN: an error naming the
// file and the pixel, nothing written.
TEST(SBmap, NonFinitePixelsRefused) {
  sphere_and_disk();
  ScratchDir d;
  write_map(d.file("ok.txt"), 3, 3, [](int i, int j) { return i == 2 && j == 2 ? 1.0 : 0.1; });
  // Pixel (2, 3) of a 3 x 3 text map is the 8th value (x fastest).
  for (const char* bad : {"nan", "-inf", "1e39"}) {
    SCOPED_TRACE(bad);
    std::string text = "3 3\n";
    for (int k = 1; k <= 9; ++k) text += k == 8 ? std::string(bad) + "\n" : "0.5\n";
    d.write("bad.txt", text);
    const std::string b = d.file("bad.txt"), ok = d.file("ok.txt"), out = d.file("out.txt");
    const std::string want = b + ": pixel (2, 3) is not a finite number";
    const std::vector<std::vector<std::string>> runs = {
        {"SBmap1", b, "1", "-1", "1", "-1", "1", out, "1", "-1", "1", "5", "-1", "1", "5", "1"},
        {"convolve1", b, "1", ok, "1", out, "1"},
        {"convolve1", ok, "1", b, "1", out, "1"},
        {"convolve2", b, "1", "0.02", "0.02", out, "1"},
        {"imgstats", b, "1"},
    };
    for (const auto& r : runs) {
      CaptureOutput cap;
      const std::string msg = fatal_message([&] {
        const WordArray w = words(r);
        if (r[0] == "SBmap1") run_handler(SBmap1, w);
        if (r[0] == "convolve1") run_handler(convolve1, w);
        if (r[0] == "convolve2") run_handler(convolve2, w);
        if (r[0] == "imgstats") run_handler(imgstats, w);
      });
      EXPECT_EQ(msg, want) << r[0];
      EXPECT_FALSE(d.exists("out.txt")) << r[0];
    }
  }
}

// convolve2 samples the source at steps of the pixel scale and weights it by the pixel
// area: a scale that is not positive is refused with a warning, and nothing is written.
TEST(Convolve, ImageWithSourceNeedsPositivePixelScale) {
  sphere_and_disk();
  ScratchDir d;
  write_map(d.file("one.txt"), 8, 8, [](int i, int j) { return i == 4 && j == 4 ? 1.0 : 0.0; });
  for (auto scale : {std::pair<const char*, const char*>{"0", "0.02"}, {"0.02", "-0.02"}, {"-1", "-1"}}) {
    CaptureOutput cap;
    run_handler(convolve2, words({"convolve2", d.file("one.txt"), "1", scale.first, scale.second, d.file("out.txt"), "1"}));
    EXPECT_NE(cap.text().find("WARNING: convolve2 needs xpixel > 0 and ypixel > 0"), std::string::npos) << cap.text();
    EXPECT_EQ(cap.text().find("Fluxes:"), std::string::npos);
    EXPECT_FALSE(d.exists("out.txt"));
  }
  CaptureOutput cap;
  run_handler(convolve2, words({"convolve2", d.file("one.txt"), "1", "0.02", "0.02", d.file("out.txt"), "1"}));
  EXPECT_TRUE(d.exists("out.txt"));
}
