// Convergence maps: the Fourier solver, the binary map files, the class "kapmap" and the
// map commands.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "app/startup.h"
#include "io/arrayfile.h"
#include "models/classes.h"
#include "models/component.h"
#include "models/evaluator.h"
#include "models/kapmap.h"
#include "models/registry.h"
#include "numeric/constants.h"
#include "numeric/cosmology.h"
#include "shell/fatal.h"
#include "shell/settings.h"
#include "shell/vars.h"
#include "support/test_support.h"

namespace {

constexpr double kEuler = 0.57721566490153286061;

// A command line as the line reader hands it over (comment marker last).
WordArray line(std::vector<std::string> w) {
  w.push_back("#");
  return WordArray(std::move(w));
}

class KapMapTest : public ::testing::Test {
 protected:
  void SetUp() override {
    start_program(stdin, stdout);
    quietflag = 1;
    TWgal.allocate(0);
    InitModels();
    reset_kapmaps();
    chatter_ = std::make_unique<CaptureOutput>();  // the commands' progress lines
  }
  void TearDown() override {
    chatter_.reset();
    reset_kapmaps();
    quietflag = 0;
  }
  std::unique_ptr<CaptureOutput> chatter_;
  // A one-component model.
  void model(const std::string& cls, std::vector<double> p) {
    TWgal.allocate(1);
    setID(1, cls);
    for (int k = 1; k <= static_cast<int>(p.size()); ++k) setp(1, k, p[k - 1]);
  }
  // Writes a binary map file by hand (header then maps, values v(m, i, j)).
  std::string write_map(const std::string& name, int nx, int ny, double xlo, double xhi, double ylo,
                        double yhi, const std::function<double(int, int, int)>& v, long truncate_to = -1) {
    std::string bytes;
    auto put = [&bytes](const void* p, size_t n) { bytes.append(static_cast<const char*>(p), n); };
    const int32_t nx32 = nx, ny32 = ny;
    put(&xlo, 8);
    put(&xhi, 8);
    put(&nx32, 4);
    put(&ylo, 8);
    put(&yhi, 8);
    put(&ny32, 4);
    for (int m = 0; m < 7; ++m)
      for (int i = 1; i <= nx; ++i)
        for (int j = 1; j <= ny; ++j) {
          const double d = v(m, i, j);
          put(&d, 8);
        }
    if (truncate_to >= 0) bytes.resize(static_cast<size_t>(truncate_to));
    dir.write(name, bytes);
    return dir.file(name);
  }
  ScratchDir dir;
};

// Circular Gaussian convergence k0 exp(-r^2/(2 sg^2)) and its exact lens fields:
// alpha_r = 2 k0 sg^2 (1 - exp(-r^2/(2 sg^2)))/r (enclosed mass over pi r), the second
// derivatives from A = alpha_r/r and B = d alpha_r/dr = 2 kappa - A, and the potential
// phi(r) - phi(0) = k0 sg^2 Ein(r^2/(2 sg^2)), Ein(u) = E1(u) + ln u + gamma.
struct Gaussian {
  double k0, sg;
  double kappa(double x, double y) const { return k0 * std::exp(-(x * x + y * y) / (2 * sg * sg)); }
  double potential(double x, double y) const {
    const double u = (x * x + y * y) / (2 * sg * sg);
    return k0 * sg * sg * (-std::expint(-u) + std::log(u) + kEuler);
  }
  void fields(double x, double y, double f[7]) const {
    const double r2 = x * x + y * y, r = std::sqrt(r2);
    const double A = r > 0 ? 2 * k0 * sg * sg * -std::expm1(-r2 / (2 * sg * sg)) / r2 : k0;
    const double B = 2 * kappa(x, y) - A;
    const double c = r > 0 ? x / r : 1, s = r > 0 ? y / r : 0;
    f[KM_KAPPA] = kappa(x, y);
    f[KM_POT] = potential(x, y);
    f[KM_DEFX] = A * x;
    f[KM_DEFY] = A * y;
    f[KM_PHIXX] = A * s * s + B * c * c;
    f[KM_PHIYY] = A * c * c + B * s * s;
    f[KM_PHIXY] = (B - A) * s * c;
  }
};

// Solves the Gaussian through do_kap2lens and the binary file; returns the largest errors
// over the whole map of the potential differences and deflections (relative to the peak
// deflection, 1.2764 k0 sg at r = 1.585 sg) and of the second derivatives (relative to k0).
struct SolveErrors {
  double pot = 0, defl = 0, second = 0;
};
SolveErrors solve_gaussian(const ScratchDir& dir, const Gaussian& g, int nx, int ny, double xlo, double xhi,
                           double ylo, double yhi) {
  Mat kap(1, nx, 1, ny);
  const double dx = (xhi - xlo) / (nx - 1), dy = (yhi - ylo) / (ny - 1);
  for (int i = 1; i <= nx; ++i)
    for (int j = 1; j <= ny; ++j) kap[i][j] = g.kappa(xlo + (i - 1) * dx, ylo + (j - 1) * dy);
  const std::string out = dir.file("g.kmap");
  do_kap2lens(nx, ny, kap, out, xlo, xhi, ylo, yhi);
  KapMap m;
  read_kapmap_file(out, m);
  EXPECT_EQ(m.nx, nx);
  EXPECT_EQ(m.ny, ny);
  EXPECT_EQ(m.xlo, xlo);
  EXPECT_EQ(m.yhi, yhi);
  SolveErrors e;
  const double peak = 1.2764 * g.k0 * g.sg;
  // Potential differences are taken against the pixel nearest the centre.
  const int ic = (nx + 1) / 2, jc = (ny + 1) / 2;
  double fc[7];
  g.fields(xlo + (ic - 1) * dx, ylo + (jc - 1) * dy, fc);
  for (int i = 1; i <= nx; ++i)
    for (int j = 1; j <= ny; ++j) {
      const double x = xlo + (i - 1) * dx, y = ylo + (j - 1) * dy;
      double f[7];
      g.fields(x, y, f);
      EXPECT_DOUBLE_EQ(m.maps[KM_KAPPA][i][j], kap[i][j]);
      const double dpot = (m.maps[KM_POT][i][j] - m.maps[KM_POT][ic][jc]) - (f[KM_POT] - fc[KM_POT]);
      e.pot = std::fmax(e.pot, std::fabs(dpot) / (peak * std::hypot(xhi - xlo, yhi - ylo)));
      for (int k : {KM_DEFX, KM_DEFY}) e.defl = std::fmax(e.defl, std::fabs(m.maps[k][i][j] - f[k]) / peak);
      for (int k : {KM_PHIXX, KM_PHIYY, KM_PHIXY})
        e.second = std::fmax(e.second, std::fabs(m.maps[k][i][j] - f[k]) / g.k0);
    }
  return e;
}

}  // namespace

// The Fourier solution uses each axis's own wavenumbers and pixel spacing, and removes the
// periodic images that a padded box carries (the mean sheet alone removes only their
// isotropic part, leaving a few per cent on a 2:1 box). A well-sampled Gaussian is then
// reproduced to rounding over the whole map, whatever the box shape.
TEST_F(KapMapTest, GaussianMapReproducesItsAnalyticFieldsOnSquareAndNonSquareGrids) {
  struct Case {
    int nx, ny;
    double xlo, xhi, ylo, yhi, sg, tol;
  };
  const Case cases[] = {
      {64, 64, -8, 8, -8, 8, 1.0, 1e-9},        // square box, square pixels
      {64, 40, -8, 8, -6, 6, 0.8, 1e-9},        // pixels of different width and height
      {64, 32, -8, 8, -3.9365, 3.9365, 0.6, 1e-9},  // 2:1 box, square pixels
      {40, 64, -6, 6, -8, 8, 0.8, 1e-9},        // the long axis along y
      {64, 16, -8, 8, -1.9, 1.9, 0.4, 2e-6},    // 4:1 box; sg only 1.6 pixels: sampling
      {33, 21, -4, 4, -2.5, 2.5, 0.5, 1e-6},    // odd sizes, off-centre padding; 5 sg cut
  };
  for (const Case& c : cases) {
    const SolveErrors e = solve_gaussian(dir, Gaussian{0.8, c.sg}, c.nx, c.ny, c.xlo, c.xhi, c.ylo, c.yhi);
    EXPECT_LT(e.pot, c.tol) << c.nx << " x " << c.ny;
    EXPECT_LT(e.defl, c.tol) << c.nx << " x " << c.ny;
    EXPECT_LT(e.second, c.tol) << c.nx << " x " << c.ny;
  }
}

// A Gaussian placed away from the origin keeps its own centre: the sheet that the zero
// mode drops is put back as the sheet of the map's own mass.
TEST_F(KapMapTest, OffCentreMassKeepsZeroDeflectionAtItsCentre) {
  const int nx = 48, ny = 48;
  Mat kap(1, nx, 1, ny);
  const double xlo = 2, xhi = 14, ylo = -9, yhi = 3, d = 12.0 / 47;
  const Gaussian g{1.0, 0.7};
  for (int i = 1; i <= nx; ++i)
    for (int j = 1; j <= ny; ++j) kap[i][j] = g.kappa(xlo + (i - 1) * d - 8, ylo + (j - 1) * d + 3);
  do_kap2lens(nx, ny, kap, dir.file("o.kmap"), xlo, xhi, ylo, yhi);
  KapMap m;
  read_kapmap_file(dir.file("o.kmap"), m);
  for (int i = 1; i <= nx; i += 5)
    for (int j = 1; j <= ny; j += 5) {
      double f[7];
      g.fields(xlo + (i - 1) * d - 8, ylo + (j - 1) * d + 3, f);
      EXPECT_NEAR(m.maps[KM_DEFX][i][j], f[KM_DEFX], 1e-9);
      EXPECT_NEAR(m.maps[KM_DEFY][i][j], f[KM_DEFY], 1e-9);
    }
}

TEST_F(KapMapTest, TransformGridSizesAndLimits) {
  EXPECT_EQ(kapmap_fft_length(100), 256);
  EXPECT_EQ(kapmap_fft_length(60), 128);
  EXPECT_EQ(kapmap_fft_length(64), 128);
  EXPECT_EQ(kapmap_fft_length(1), 2);
  EXPECT_EQ(kapmap_fft_length(16384), 32768);
  EXPECT_EQ(kapmap_fft_length(16385), 0);
  Mat wide(1, 16385, 1, 2), tall(1, 2, 1, 16385);
  EXPECT_EQ(fatal_message([&] { do_kap2lens(16385, 2, wide, dir.file("x"), 0, 1, 0, 1); }),
            "kappa array too large in x direction");
  EXPECT_EQ(fatal_message([&] { do_kap2lens(2, 16385, tall, dir.file("x"), 0, 1, 0, 1); }),
            "kappa array too large in y direction");
  Mat one(1, 1, 1, 5);
  EXPECT_EQ(fatal_message([&] { do_kap2lens(1, 5, one, dir.file("x"), 0, 1, 0, 1); }),
            "kappa map needs at least two pixels along each axis");
  Mat two(1, 2, 1, 2);
  EXPECT_EQ(fatal_message([&] { do_kap2lens(2, 2, two, dir.file("x"), 1, 0, 0, 1); }),
            "kappa map range must run from low to high in x and in y");
  EXPECT_EQ(fatal_message([&] { do_kap2lens(2, 2, two, dir.file("no/such/dir/x"), 0, 1, 0, 1); }),
            "could not open kap2lens output file: " + dir.file("no/such/dir/x") + ": No such file or directory");
}

// A 100 x 60 map is padded to 256 x 128; the mean sheet is (nx ny)/(N1 N2) times a uniform
// value. The solution of a uniform disc-less square of convergence is checked elsewhere;
// here the messages and the sheet's value.
TEST_F(KapMapTest, UniformMapReportsItsGridAndSheet) {
  Mat kap(1, 100, 1, 60);
  for (int i = 1; i <= 100; ++i)
    for (int j = 1; j <= 60; ++j) kap[i][j] = 0.5;
  quietflag = 0;
  CaptureOutput cap;
  do_kap2lens(100, 60, kap, dir.file("u.kmap"), -1, 1, -0.6, 0.6);
  const std::string text = cap.text();
  EXPECT_NE(text.find("Solving Poisson equation using FFTs.\nNote: FFT grid size = 256 128\n"
                      "Working on: kappa\nWorking on: potential\nWorking on: defx\nWorking on: defy\n"
                      "Working on: phixx\nWorking on: phiyy\nWorking on: phixy\n"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find(strformat("Correcting lensFFT results with sheet kappa = %e\n", 0.5 * 6000 / 32768.0)),
            std::string::npos);
  EXPECT_NE(text.find("Writing kap2lens data to binary file " + dir.file("u.kmap")), std::string::npos);
  // Inside a uniform square the convergence is the map's value: (phi_xx + phi_yy)/2 = 0.5
  // away from the edges.
  KapMap m;
  read_kapmap_file(dir.file("u.kmap"), m);
  EXPECT_NEAR(0.5 * (m.maps[KM_PHIXX][50][30] + m.maps[KM_PHIYY][50][30]), 0.5, 2e-3);
  EXPECT_NEAR(m.maps[KM_DEFX][50][30] + m.maps[KM_DEFX][51][30], 0.0, 1e-9);  // symmetric map
}

TEST_F(KapMapTest, TrimmingCutsBelowTheLevelAndRaisesANegativeOneToTheBorderMaximum) {
  auto fresh = [] {
    Mat k(1, 4, 1, 3);
    const double v[4][3] = {{0.1, 0.2, 0.1}, {0.3, 0.9, 0.25}, {0.3, 0.8, 0.2}, {0.1, 0.15, 0.1}};
    for (int i = 1; i <= 4; ++i)
      for (int j = 1; j <= 3; ++j) k[i][j] = v[i - 1][j - 1];
    return k;
  };
  Mat k = fresh();
  trim_kapmap(4, 3, k, -1.0);  // border maximum 0.3: the two 0.3 pixels stay
  EXPECT_EQ(k[2][1], 0.3);
  EXPECT_EQ(k[3][1], 0.3);
  EXPECT_EQ(k[2][2], 0.9);
  EXPECT_EQ(k[2][3], 0.0);
  EXPECT_EQ(k[1][2], 0.0);
  k = fresh();
  trim_kapmap(4, 3, k, -5.0);  // the border maximum is larger than -5
  EXPECT_EQ(k[1][1], 0.0);
  EXPECT_EQ(k[3][2], 0.8);
  k = fresh();
  trim_kapmap(4, 3, k, 0.85);
  EXPECT_EQ(k[3][2], 0.0);
  EXPECT_EQ(k[2][2], 0.9);
}

TEST_F(KapMapTest, ClassInterpolatesTheStoredMapsBilinearly) {
  // Map values linear in i and j, different per map: bilinear interpolation is then exact.
  auto val = [](int m, int i, int j) { return (m + 1) * (1.0 + 0.5 * i - 0.25 * j) + (m == 0 ? 0 : m * i * j); };
  const std::string f = write_map("lin.kmap", 5, 4, -2, 2, -1, 2, val);
  EXPECT_EQ(fatal_message([] { run_handler(loadkapmap, line({"loadkapmap", "missing-file", "1"})); }),
            "could not open loadkapmap input file");
  reset_kapmaps();
  run_handler(loadkapmap, line({"loadkapmap", f}));
  ASSERT_EQ(thekmap.Nkmap, 1);
  model("kapmap", {2.0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
  auto at = [&](double x, double y) {
    double o[7];
    potdefmag(x, y, o[0], o[1], o[2], o[3], o[4], o[5], o[6]);
    return std::vector<double>(o, o + 6);
  };
  // Pixel centres, including the last row and column, give the stored values times b.
  for (int i = 1; i <= 5; ++i)
    for (int j = 1; j <= 4; ++j) {
      const std::vector<double> o = at(-2 + (i - 1) * 1.0, -1 + (j - 1) * 1.0);
      for (int m = 1; m <= 6; ++m) EXPECT_NEAR(o[m - 1], 2.0 * val(m, i, j), 1e-12) << i << " " << j;
    }
  // Inside a cell: the bilinear blend of its four corners.
  const std::vector<double> mid = at(-1.5, 0.25);  // i = 1.5, j = 2.25
  const double fu = 0.5, fv = 0.25;
  for (int m = 1; m <= 6; ++m) {
    const double v = (1 - fu) * (1 - fv) * val(m, 1, 2) + fu * (1 - fv) * val(m, 2, 2) + (1 - fu) * fv * val(m, 1, 3) +
                     fu * fv * val(m, 2, 3);
    EXPECT_NEAR(mid[m - 1], 2.0 * v, 1e-12);
  }
  // Just outside the map: zeros.
  for (double v : at(2.0 + 1e-6, 0.0)) EXPECT_EQ(v, 0.0);
  for (double v : at(0.0, -1.0 - 1e-6)) EXPECT_EQ(v, 0.0);
  // Length scale a = 2: the map's coordinates are (x, y)/2, potential times 4, deflection
  // times 2, second derivatives as they are.
  setp(1, 9, 2.0);
  const std::vector<double> sc = at(2 * -1.0, 2 * 0.0);  // pixel (2, 2)
  EXPECT_NEAR(sc[0], 2.0 * 4.0 * val(1, 2, 2), 1e-12);
  EXPECT_NEAR(sc[1], 2.0 * 2.0 * val(2, 2, 2), 1e-12);
  EXPECT_NEAR(sc[2], 2.0 * 2.0 * val(3, 2, 2), 1e-12);
  EXPECT_NEAR(sc[3], 2.0 * val(4, 2, 2), 1e-12);
  EXPECT_NEAR(sc[5], 2.0 * val(6, 2, 2), 1e-12);
}

TEST_F(KapMapTest, ClassChecksItsTableAndIndex) {
  model("kapmap", {1.0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
  double o[7];
  EXPECT_EQ(fatal_message([&] { potdefmag(0.1, 0.1, o[0], o[1], o[2], o[3], o[4], o[5], o[6]); }),
            "no kapmaps have been loaded");
  const std::string f = write_map("c.kmap", 3, 3, 0, 1, 0, 1, [](int m, int, int) { return m; });
  run_handler(loadkapmap, line({"loadkapmap", f, "2", "3"}));
  ASSERT_EQ(thekmap.Nkmap, 3);
  // Index 0 means 1, which holds no map: a warning and zeros.
  quietflag = 0;
  {
    CaptureOutput cap;
    potdefmag(0.5, 0.5, o[0], o[1], o[2], o[3], o[4], o[5], o[6]);
    EXPECT_EQ(cap.text(), "WARNING: trying to compute with a kapmap that has not been loaded\n");
  }
  for (int k = 0; k < 7; ++k) EXPECT_EQ(o[k], 0.0);
  setp(1, 10, 2.7);  // truncated: slot 2
  potdefmag(0.5, 0.5, o[0], o[1], o[2], o[3], o[4], o[5], o[6]);
  EXPECT_NEAR(o[1], 2.0, 1e-12);
  for (double bad : {4.0, -1.0, std::nan("")}) {
    setp(1, 10, bad);
    EXPECT_EQ(fatal_message([&] { potdefmag(0.5, 0.5, o[0], o[1], o[2], o[3], o[4], o[5], o[6]); }),
              "kapmap index out of bounds")
        << bad;
  }
}

TEST_F(KapMapTest, LoadkapmapFixesTheTableSizeAndRefusesBadFiles) {
  const std::string f = write_map("a.kmap", 2, 2, 0, 1, 0, 1, [](int, int, int) { return 1.0; });
  run_handler(loadkapmap, line({"loadkapmap", f, "1", "2"}));
  run_handler(loadkapmap, line({"loadkapmap", f, "2", "2"}));  // the same total again is accepted
  EXPECT_EQ(fatal_message([&] { run_handler(loadkapmap, line({"loadkapmap", f, "1", "3"})); }),
            "you cannot change the total number of kappa maps once it is set");
  EXPECT_EQ(fatal_message([&] { run_handler(loadkapmap, line({"loadkapmap", f, "3"})); }), "in loadkapmap, index is out of bounds");
  EXPECT_EQ(fatal_message([&] { run_handler(loadkapmap, line({"loadkapmap", f, "0"})); }), "in loadkapmap, index is out of bounds");

  // A file shorter than its header says, a header with an impossible size and a value that
  // is not a number end with an ERROR naming the file; the slot keeps its map.
  const std::string s = write_map("short.kmap", 3, 3, 0, 1, 0, 1, [](int, int, int) { return 1.0; }, 40 + 56 * 9 - 8);
  EXPECT_EQ(fatal_message([&] { run_handler(loadkapmap, line({"loadkapmap", s, "1"})); }),
            "kapmap file " + s + " is shorter than its header says");
  const std::string h = write_map("hdr.kmap", 3, 3, 0, 1, 0, 1, [](int, int, int) { return 1.0; }, 30);
  EXPECT_EQ(fatal_message([&] { run_handler(loadkapmap, line({"loadkapmap", h, "1"})); }),
            "kapmap file " + h + " is shorter than its header says");
  const std::string z = write_map("zero.kmap", 0, 3, 0, 1, 0, 1, [](int, int, int) { return 1.0; });
  EXPECT_EQ(fatal_message([&] { run_handler(loadkapmap, line({"loadkapmap", z, "1"})); }),
            "kapmap file " + z + " declares an impossible size 0 x 3");
  const std::string n = write_map("nan.kmap", 2, 2, 0, 1, 0, 1, [](int m, int i, int) { return m == 3 && i == 2 ? NAN : 1.0; });
  EXPECT_EQ(fatal_message([&] { run_handler(loadkapmap, line({"loadkapmap", n, "1"})); }),
            "kapmap file " + n + " holds a value that is not a number");
  const std::string rv = write_map("rev.kmap", 2, 2, 1, 0, 0, 1, [](int, int, int) { return 1.0; });
  EXPECT_EQ(fatal_message([&] { run_handler(loadkapmap, line({"loadkapmap", rv, "1"})); }),
            "kapmap file " + rv + " has an empty or reversed range");
  EXPECT_EQ(thekmap.slot[1].nx, 2);

  quietflag = 0;
  CaptureOutput cap;
  run_handler(loadkapmap, line({"loadkapmap"}));
  EXPECT_EQ(cap.text(), "loadkapmap <input file> [index/1] [total number of kappa maps/1]\n"
                        "  Loads binary file containing kappa map (from kap2lens).\n");
}

// kap2lens end to end: a text map and its range file, trimming, the binary file, then the
// class reproduces the solved maps at the pixels.
TEST_F(KapMapTest, Kap2lensCommandSolvesTrimsAndFeedsTheClass) {
  const int nx = 24, ny = 16;
  Mat kap(1, nx, 1, ny);
  const Gaussian g{0.9, 0.5};
  for (int i = 1; i <= nx; ++i)
    for (int j = 1; j <= ny; ++j) kap[i][j] = g.kappa(-3 + (i - 1) * 6.0 / 23, -2 + (j - 1) * 4.0 / 15) + 0.01;
  ASSERT_TRUE(write_array(dir.file("k.txt"), 1, nx, ny, kap));
  dir.write("k.rng", "-3 3\n-2 2\n");
  run_handler(kap2lens, line({"kap2lens", dir.file("k.txt"), "1", dir.file("k.rng"), dir.file("k.kmap"), "trim"}));
  KapMap m;
  read_kapmap_file(dir.file("k.kmap"), m);
  // Trimmed at the border maximum (0.01 plus the Gaussian's tail at the edge midpoints).
  EXPECT_EQ(m.maps[KM_KAPPA][1][1], 0.0);
  EXPECT_GT(m.maps[KM_KAPPA][12][8], 0.5);
  run_handler(loadkapmap, line({"loadkapmap", dir.file("k.kmap")}));
  model("kapmap", {1.0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
  for (int i : {1, 7, 24})
    for (int j : {1, 9, 16}) {
      double o[7];
      potdefmag(-3 + (i - 1) * 6.0 / 23, -2 + (j - 1) * 4.0 / 15, o[0], o[1], o[2], o[3], o[4], o[5], o[6]);
      EXPECT_NEAR(o[1], m.maps[KM_DEFX][i][j], 1e-12);
      EXPECT_NEAR(o[4], m.maps[KM_PHIYY][i][j], 1e-12);
    }
  // A range file without two numbers on a line ends with an ERROR naming it.
  dir.write("bad.rng", "-3 3\n-2 two\n");
  EXPECT_EQ(fatal_message([&] {
              run_handler(kap2lens, line({"kap2lens", dir.file("k.txt"), "1", dir.file("bad.rng"), dir.file("k2.kmap")}));
            }),
            "range file " + dir.file("bad.rng") + ": the y range is not a pair of numbers");
  dir.write("short.rng", "-3 3\n");
  EXPECT_EQ(fatal_message([&] {
              run_handler(kap2lens, line({"kap2lens", dir.file("k.txt"), "1", dir.file("short.rng"), dir.file("k2.kmap")}));
            }),
            "range file " + dir.file("short.rng") + " has no y range (two numbers expected)");
  EXPECT_EQ(fatal_message([&] {
              run_handler(kap2lens, line({"kap2lens", dir.file("k.txt"), "1", dir.file("none.rng"), dir.file("k2.kmap")}));
            }),
            "could not open kap2lens range file");
}

TEST_F(KapMapTest, Sig2lensConvertsSurfaceDensityWithTheDistances) {
  Mat sig(1, 8, 1, 8);
  for (int i = 1; i <= 8; ++i)
    for (int j = 1; j <= 8; ++j) sig[i][j] = 1e9;
  ASSERT_TRUE(write_array(dir.file("s.txt"), 1, 8, 8, sig));
  dir.write("s.rng", "-10 10\n-10 10\n");
  const WordArray cmd = line({"sig2lens", dir.file("s.txt"), "1", dir.file("s.rng"), dir.file("s.kmap")});
  EXPECT_EQ(fatal_message([&] { run_handler(sig2lens, cmd); }), "sig2lens needs lens and source redshifts");
  SetVar("zlens", 0, 0.0);
  SetVar("zsrc", 0, 2.0);
  EXPECT_EQ(fatal_message([&] { run_handler(sig2lens, cmd); }), "sig2lens needs a positive lens redshift");
  SetVar("zlens", 0, 0.5);
  run_handler(sig2lens, cmd);
  KapMap m;
  read_kapmap_file(dir.file("s.kmap"), m);
  // Sigma_crit = h 5.5541e8 Dos/(Dls Dol) Msun/kpc^2 and Dol c/H0 kpc per radian.
  const double h = settings.hval;
  const double Dol = angdist(0, 0.5), Dos = angdist(0, 2), Dls = angdist(0.5, 2);
  const double kpc_per_arcsec = Dol * 2997920.0 / h * kPi / 648000.0;
  EXPECT_NEAR(m.maps[KM_KAPPA][3][3], 1e9 / (h * 5.5541e8 * Dos / (Dls * Dol)), 1e-12);
  EXPECT_NEAR(m.xhi, 10 / kpc_per_arcsec, 1e-12);
  EXPECT_NEAR(m.ylo, -10 / kpc_per_arcsec, 1e-12);
}

// makekapmap writes the model's convergence and the range file that kap2lens reads;
// checkkapmap compares a map with the model.
TEST_F(KapMapTest, MakekapmapAndCheckkapmapFollowTheModel) {
  EXPECT_EQ(fatal_message([&] {
              run_handler(makekapmap, line({"makekapmap", dir.file("m.txt"), "1", dir.file("m.rng"), "-1", "1", "5", "-1", "1",
                               "3"}));
            }),
            "makekapmap needs a lens model (none has been set)");
  model("convrg", {0.3});
  run_handler(makekapmap, line({"makekapmap", dir.file("m.txt"), "1", dir.file("m.rng"), "-1", "1", "5", "-2", "2", "3", "0", "2"}));
  int nx, ny;
  Mat m;
  ASSERT_TRUE(read_array(dir.file("m.txt"), 1, nx, ny, m));
  EXPECT_EQ(nx, 5);
  EXPECT_EQ(ny, 3);
  EXPECT_NEAR(m[4][2], 0.3, 1e-6);  // single precision in the file
  EXPECT_EQ(dir.read("m.rng"), strformat("%e %e\n%e %e\n", -1.0, 1.0, -2.0, 2.0));
  // A bad step count is refused by the step check (a warning, nothing written).
  quietflag = 0;
  {
    CaptureOutput cap;
    run_handler(makekapmap, line({"makekapmap", dir.file("n.txt"), "1", dir.file("n.rng"), "-1", "1", "0", "-1", "1", "3"}));
    EXPECT_NE(cap.text().find("x steps cannot be 0"), std::string::npos) << cap.text();
  }
  EXPECT_FALSE(dir.exists("n.txt"));

  // checkkapmap against the same model: chi^2 = 0; against a map off by 0.1 with noise
  // 0.05 in two pixels: chi^2 = 2 * 4 over those pixels within Rhi.
  Mat noise(1, 5, 1, 3), off(1, 5, 1, 3);
  for (int i = 1; i <= 5; ++i)
    for (int j = 1; j <= 3; ++j) {
      noise[i][j] = (i == 3 || i == 4) && j == 2 ? 0.05 : 0.0;
      off[i][j] = 0.4;
    }
  ASSERT_TRUE(write_array(dir.file("noise.txt"), 1, 5, 3, noise));
  ASSERT_TRUE(write_array(dir.file("off.txt"), 1, 5, 3, off));
  CaptureOutput cap;
  run_handler(checkkapmap, line({"checkkapmap", dir.file("off.txt"), dir.file("noise.txt"), "1", dir.file("m.rng"), "0", "0.6",
                    dir.file("model.txt"), "1"}));
  const std::string text = cap.text();
  // Pixel (3, 2) is at the origin and (4, 2) at x = 0.5: both inside Rhi = 0.6.
  const size_t at = text.find("checkkapmap:\n  Npix    = 2\n  chi^2   = ");
  ASSERT_NE(at, std::string::npos) << text;
  double chi2 = 0, perpix = 0;
  ASSERT_EQ(std::sscanf(text.c_str() + at, "checkkapmap:\n  Npix    = 2\n  chi^2   = %lf\n  chi^2/N = %lf", &chi2,
                        &perpix),
            2);
  EXPECT_NEAR(chi2, 8.0, 1e-5);  // the map and noise are single precision in the file
  EXPECT_NEAR(perpix, 4.0, 1e-5);
  ASSERT_TRUE(read_array(dir.file("model.txt"), 1, nx, ny, m));
  EXPECT_NEAR(m[3][2], 0.3, 1e-6);
  EXPECT_EQ(m[1][1], 0.0);  // outside Rhi
  Mat small(1, 4, 1, 3);
  ASSERT_TRUE(write_array(dir.file("small.txt"), 1, 4, 3, small));
  EXPECT_EQ(fatal_message([&] {
              run_handler(checkkapmap, line({"checkkapmap", dir.file("off.txt"), dir.file("small.txt"), "1", dir.file("m.rng")}));
            }),
            "checkkapmap: the noise map (4 x 3) and the kappa map (5 x 3) differ in size");
}

// fft1: the transform of a sampled Gaussian has the power exp(-k^2) of the continuous one,
// F(k) = (1/sqrt(2 pi)) int exp(-x^2/2) exp(i k x) dx = exp(-k^2/2).
TEST_F(KapMapTest, Fft1TransformsASampledFunction) {
  std::string data = "40\n";
  for (int k = 0; k < 40; ++k) data += strformat("%.17g %.17g\n", -10 + k * 0.5, std::exp(-0.5 * std::pow(-10 + k * 0.5, 2)));
  dir.write("g.dat", data);
  run_handler(fft1, line({"fft1", dir.file("g.dat"), "0", "0", dir.file("g.fft")}));
  const std::string out = dir.read("g.fft");
  ASSERT_EQ(out.rfind("#  F(k) = 1/sqrt(2*pi) * \\int f(x) exp(i*k*x) dx\n#  index  k  Re(F)  Im(F)  power=|F|^2\n", 0), 0u);
  // 2 Ndata = 80 points pad to 128: rows 0..64.
  std::istringstream in(out);
  std::string row;
  int rows = 0;
  while (std::getline(in, row)) {
    if (row[0] == '#') continue;
    int idx;
    double k, re, im, pw;
    ASSERT_EQ(std::sscanf(row.c_str(), "%d %lf %lf %lf %lf", &idx, &k, &re, &im, &pw), 5) << row;
    EXPECT_EQ(idx, rows);
    EXPECT_NEAR(k, rows == 64 ? kPi / 0.5 : rows * 2 * kPi / (128 * 0.5), 1e-5 * (1 + k));
    EXPECT_NEAR(pw, std::exp(-k * k), 1e-6) << k;
    ++rows;
  }
  EXPECT_EQ(rows, 65);
  // Periodic data of a power-of-two length use exactly that many points.
  std::string per;
  for (int k2 = 0; k2 < 8; ++k2) per += strformat("%d %g\n", k2, k2 == 0 ? 1.0 : 0.0);
  dir.write("p.dat", per);
  run_handler(fft1, line({"fft1", dir.file("p.dat"), "1", "1", dir.file("p.fft")}));
  EXPECT_NE(dir.read("p.fft").find(strformat("4 %e", kPi)), std::string::npos);  // Nyquist row of 8 points
  dir.write("s.dat", "5\n0 1\n1 2\n");
  EXPECT_EQ(fatal_message([&] { run_handler(fft1, line({"fft1", dir.file("s.dat"), "0", "0", dir.file("s.fft")})); }),
            "fft1: " + dir.file("s.dat") + " holds fewer than 5 data lines of two numbers");
  dir.write("big.dat", "20000\n");
  EXPECT_EQ(fatal_message([&] { run_handler(fft1, line({"fft1", dir.file("big.dat"), "0", "0", dir.file("b.fft")})); }),
            "fft1: array too large");
}
