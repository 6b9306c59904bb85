// Lensed maps, convolution, the velocity field of a disk and image statistics.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

#include "core/lens_model.h"
#include "core/sources.h"
#include "imageplane/lens_fixture.h"
#include "imageplane/map_text.h"
#include "imageplane/sbmap.h"
#include "io/arrayfile.h"
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
  setlens(words({"setlens", "1", "1"}));
}

// An isothermal sphere of Einstein radius 1 and a uniform disk (flux 1, R0 0.05) at (0.3, 0).
void sphere_and_disk() {
  load_model("alpha 1 0 0 0 0 0 0 0 0 1");
  CommandInput in("uniform 1 0.3 0 0 0 0.05 0 0\n0 0 0 0 0 0 0 0\n");
  CaptureOutput cap;
  setsource(words({"setsource", "1", "1000"}));
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
  convolve1(words({"convolve1", d.file("one.txt"), "1", d.file("psf.txt"), "1", d.file("o1.txt"), "1"}));
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

  convolve1(words({"convolve1", d.file("g.txt"), "1", d.file("psf.txt"), "1", d.file("o2.txt"), "1"}));
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
      [&] { convolve1(words({"convolve1", d.file("g.txt"), "1", d.file("zero.txt"), "1", d.file("o3.txt"), "1"})); });
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
    imgstats(words({"imgstats", d.file("a.txt"), "1"}));
    EXPECT_NE(cap.text().find(std::string("Results from imgstats:\n")), std::string::npos);
    EXPECT_NE(cap.text().find(c.lines), std::string::npos) << cap.text();
  }
  write_map(d.file("b.txt"), 2, 2, [](int i, int j) { return i + 2.0 * j; });  // 3 4 5 6
  CaptureOutput cap;
  imgstats(words({"imgstats", d.file("b.txt"), "1"}));
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
  spider(words({"spider", "-2", "2", "9", "-2", "2", "9", d.file("s.txt"), "1", "0", "0", "60", "0", "200", "1"}));
  int nx, ny;
  const Mat s = read_text_map(d.file("s.txt"), nx, ny);
  const double vmax = 200 * std::sin(M_PI / 3);
  for (int i = 1; i <= 9; ++i)
    for (int j = 1; j <= 9; ++j) {
      const double x = -2 + 0.5 * (i - 1), y = -2 + 0.5 * (j - 1);
      // deprojected radius: x is the minor axis, shrunk by cos i = 1/2
      const double r = std::hypot(y, 2 * x);
      double want = 0;
      if (r > 0 && r <= 1) want = 200 * std::sin(M_PI / 3) * 0.5 * y / std::hypot(0.5 * y, x);
      EXPECT_NEAR(s[i][j], want, 2e-4) << x << " " << y;
    }
  EXPECT_NEAR(s[5][3], -vmax, 2e-4);
  EXPECT_NEAR(s[5][7], vmax, 2e-4);
  EXPECT_NEAR(vmax, 173.205, 5e-4);
  EXPECT_EQ(s[5][5], 0.0);

  spider(words({"spider", "-2", "2", "9", "-2", "2", "9", d.file("s0.txt"), "1", "0.3", "0", "0", "0", "200", "1"}));
  const Mat s0 = read_text_map(d.file("s0.txt"), nx, ny);
  for (int i = 1; i <= 9; ++i)
    for (int j = 1; j <= 9; ++j) EXPECT_EQ(s0[i][j], 0.0);

  EXPECT_EQ(fatal_message([&] {
              spider(words({"spider", "-2", "2", "9", "-2", "2", "9", d.file("s9.txt"), "1", "0", "0", "90", "0", "200", "1"}));
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
  SBmap1(words({"SBmap1", d.file("src.txt"), "1", "0", "1", "0", "1", d.file("img.txt"), "1", "-0.5", "1.5", "9",
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
  SBmap1(words({"SBmap1", d.file("src.txt"), "1", "0", "1", "0", "1", d.file("img2.txt"), "1", "-0.5", "1.5", "9",
                "-0.5", "1.5", "9", "2"}));
  const Mat img2 = read_text_map(d.file("img2.txt"), nx, ny);
  EXPECT_NEAR(img2[7][5], f(1 - 0.0625, 0.5) / 2, 1e-6);  // x = 1, y = 0.5
  EXPECT_NEAR(img2[5][5], f(0.5, 0.5), 1e-6);

  // A map that cannot be interpolated: an error naming the file, nothing written.
  write_map(d.file("thin.txt"), 1, 5, [](int, int) { return 1.0; });
  struct Case {
    const char* file;
    const char* ulo;
    const char* uhi;
    const char* what;
  };
  for (const Case& c : {Case{"thin.txt", "0", "1", "pixels"}, Case{"src.txt", "0.5", "0.5", "zero width"}}) {
    const std::string msg = fatal_message([&] {
      SBmap1(words({"SBmap1", d.file(c.file), "1", c.ulo, c.uhi, "0", "1", d.file("bad.txt"), "1", "-1", "1", "5",
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
  SBmap1(words({"SBmap1", d.file("flat.txt"), "1", "-0.5", "0.5", "-0.5", "0.5", d.file("img.txt"), "1", "-2", "2",
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
  SBmap2(words({"SBmap2", "-1", "1", "5", "-1", "1", "5", "1", d.file("x.txt"), "1"}));
  EXPECT_NE(cap.text().find("WARNING: no sources specified in SBmap2"), std::string::npos) << cap.text();
  EXPECT_FALSE(d.exists("x.txt"));
  EXPECT_EQ(TWmod.scale, 1.0);
}

// A uniform disk (flux 1, R0 0.05) at 0.3 behind an isothermal sphere of Einstein radius 1:
// point-source magnification (1.3 + 0.7)/0.3 = 6.667, for the disk 6.690 with
// oversampling (6.519 at the pixel centres of this lattice); the source flux is the disk's.
TEST(SBmap, LensedUniformDisk) {
  sphere_and_disk();
  ScratchDir d;
  for (const char* nover : {"4", "1"}) {
    CaptureOutput cap;
    SBmap2(words({"SBmap2", "-2", "2", "401", "-2", "2", "401", nover, d.file("u.txt"), "1"}));
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
      fatal_message([&] { SBmap2(words({"SBmap2", "-1", "1", "5", "-1", "1", "5", "1", d.file("z.txt"), "1"})); });
  EXPECT_NE(msg.find("zsrc=0"), std::string::npos) << msg;
  EXPECT_FALSE(d.exists("z.txt"));
  EXPECT_EQ(TWmod.scale, 1.0);
}
