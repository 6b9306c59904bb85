// Magnification tensors and their eigen data, the tensor files at points and at the images
// of sources, and the magnification maps, against an isothermal sphere.
#include <gtest/gtest.h>

#include <cmath>
#include <sstream>
#include <string>
#include <vector>

#include "core/command_fixture.h"
#include "core/lens_model.h"
#include "core/magtens.h"
#include "io/arrayfile.h"
#include "io/wcs.h"
#include "numeric/constants.h"
#include "shell/settings.h"

namespace {

const char* kSphere = "alpha 1 0 0 0 0 0 0 0 0 1";

class MagtensTest : public CommandTest {
 protected:
  void TearDown() override {
    WCSinfo = WCSold = WcsReference();
    CommandTest::TearDown();
  }
  // The isothermal sphere with its grid (outer radius gridhi) and the core image left out.
  void load_sphere(double gridhi = 2) {
    SetVar("gridflag", 0, 1);
    SetVar("gridhi1", 0, gridhi);
    SetVar("omitcore", 0, 0.05);
    CommandInput in(std::string(kSphere) + "\n0 0 0 0 0 0 0 0 0 0\n");
    run_handler(setlens, cmd({"setlens", "1", "1"}));
  }
  template <class Fn>
  std::string run(Fn fn, const std::vector<std::string>& words) {
    CaptureOutput out;
    run_handler(fn, cmd(words));
    return out.text();
  }
  std::vector<std::string> lines(const std::string& name) const {
    std::vector<std::string> rows;
    std::istringstream in(dir.read(name));
    for (std::string l; std::getline(in, l);) rows.push_back(l);
    return rows;
  }
  static std::vector<double> numbers(const std::string& line) {
    std::vector<double> v;
    std::istringstream in(line);
    for (double x; in >> x;) v.push_back(x);
    return v;
  }
  Mat read(const std::string& name, int& nx, int& ny, int type = kTextFile) const {
    Mat a;
    CaptureOutput quiet;
    EXPECT_TRUE(read_array(dir.file(name), type, nx, ny, a));
    return a;
  }
  ScratchDir dir;
};

bool ends_with(const std::string& s, const std::string& tail) {
  return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

// |M v - lambda v| for the unit vector at angle t (radians).
double eigen_residual(const MagTensor& M, double lambda, double t) {
  const double c = std::cos(t), s = std::sin(t);
  return std::hypot(M.m11 * c + M.m12 * s - lambda * c, M.m21 * c + M.m22 * s - lambda * s);
}

}  // namespace

// Every direction is a real eigenvector, finite and within -90..90 degrees, also where M12
// is 0 or -0 (on the axes of a round lens), where only M21 is 0 or only M12 is, and where
// the eigenvalues coincide.
TEST(MagnificationTensor, DirectionsAreEigenvectorsEverywhere) {
  struct Case {
    const char* what;
    double xx, yy, xy, yx;
  };
  std::vector<Case> cases = {
      {"diagonal", 0.0, 0.5, 0.0, 0.0},
      {"diagonal, -0 off the diagonal", 0.0, 0.5, -0.0, -0.0},
      {"diagonal, M22 < M11", 0.5, 0.0, 0.0, 0.0},
      {"isotropic", 0.3, 0.3, 0.0, 0.0},
      {"only M21 = 0", 0.1, 0.4, 0.2, 0.0},
      {"only M12 = 0", 0.1, 0.4, 0.0, 0.2},
      {"saddle", 0.0, 1.25, 0.0, 0.0},
  };
  // The isothermal sphere b = 1 at r = 2 in every direction: lambda 2 and 1, the larger
  // one tangential.
  for (const double deg : {0.0, 30.0, 45.0, 90.0, 135.0, 180.0, -90.0, -60.0}) {
    const double p = deg * kPi / 180, s = std::sin(p), c = std::cos(p);
    cases.push_back({"sphere", 0.5 * s * s, 0.5 * c * c, -0.5 * s * c, -0.5 * s * c});
  }
  for (const Case& k : cases) {
    SCOPED_TRACE(testing::Message() << k.what << " " << k.xx << " " << k.yy << " " << k.xy << " " << k.yx);
    const MagTensor M = magnification_tensor(k.xx, k.yy, k.xy, k.yx);
    const double det = (1 - k.xx) * (1 - k.yy) - k.xy * k.yx;
    EXPECT_NEAR(M.m11 * M.m22 - M.m12 * M.m21, 1 / det, 1e-12);
    EXPECT_NEAR(M.lp * M.lm, 1 / det, 1e-12);
    EXPECT_GE(M.lp, M.lm);
    double dp, dm;
    eigen_directions_deg(M, dp, dm);
    for (const auto& [lambda, d] : {std::pair{M.lp, dp}, std::pair{M.lm, dm}}) {
      ASSERT_TRUE(std::isfinite(d));
      EXPECT_GE(d, -90.0);
      EXPECT_LE(d, 90.0);
      EXPECT_LT(eigen_residual(M, lambda, d * kPi / 180), 1e-9);
    }
    if (M.lp != M.lm && k.xy == k.yx) {
      EXPECT_NEAR(std::fabs(std::remainder(dp - dm, 180.0)), 90.0, 1e-9);
    }
    // The files' pair: the larger magnitude first, angles by atan2, finite.
    double l1, t1, l2, t2;
    eigen_pair(M, l1, t1, l2, t2);
    EXPECT_GE(std::fabs(l1), std::fabs(l2));
    EXPECT_TRUE(std::isfinite(t1) && std::isfinite(t2));
    if (std::string(k.what) == "sphere") {
      EXPECT_NEAR(M.lp, 2.0, 1e-12);
      EXPECT_NEAR(M.lm, 1.0, 1e-12);
    }
  }
  // The saddle: lambda- = -4 is larger in magnitude than lambda+ = 1.
  double l1, t1, l2, t2;
  eigen_pair(magnification_tensor(0.0, 1.25, 0.0, 0.0), l1, t1, l2, t2);
  EXPECT_DOUBLE_EQ(l1, -4.0);
  EXPECT_DOUBLE_EQ(l2, 1.0);
}

TEST_F(MagtensTest, MagtensorPrintsTheTangentialEigenvalueFirst) {
  load_sphere();
  EXPECT_EQ(run(magtensor, {"magtensor", "2", "0"}),
            "Magnification tensor:\n 1.000025e+00  0.000000e+00\n 0.000000e+00  1.999900e+00\n"
            "Eigenvalues and directions:\n 1.999900e+00  9.000000e+01\n 1.000025e+00  0.000000e+00\n");
  const std::string d = run(magtensor, {"magtensor", "1.414214", "1.414214"});
  EXPECT_NE(d.find("\n 1.999899e+00 -4.500000e+01\n 1.000025e+00  4.500000e+01\n"), std::string::npos) << d;
}

// The three forms of magtensImg: one line per position, in list order or x outer; the
// eigen file holds the eigenvalues of the tensor file's matrix.
TEST_F(MagtensTest, MagtensImgWritesOneLinePerPosition) {
  load_sphere();
  const std::string out = dir.file("o");
  run(magtensImg, {"magtensImg", out, "0.5", "0.2"});
  EXPECT_EQ(lines("o-tens.dat").size(), 1u);
  EXPECT_EQ(lines("o-eigen.dat").size(), 1u);

  dir.write("list", "3\n1.5 0\n# a comment\n0 -2\n-0.5 0.5\n");
  run(magtensImg, {"magtensImg", out, dir.file("list")});
  const auto t = lines("o-tens.dat"), e = lines("o-eigen.dat");
  ASSERT_EQ(t.size(), 3u);
  const double xs[3] = {1.5, 0, -0.5}, ys[3] = {0, -2, 0.5};
  for (int k = 0; k < 3; ++k) {
    const auto tv = numbers(t[static_cast<size_t>(k)]), ev = numbers(e[static_cast<size_t>(k)]);
    ASSERT_EQ(tv.size(), 6u);
    EXPECT_EQ(tv[0], xs[k]);
    EXPECT_EQ(tv[1], ys[k]);
    EXPECT_EQ(ev[0], xs[k]);
    EXPECT_GE(std::fabs(ev[2]), std::fabs(ev[4]));
    EXPECT_NEAR(ev[2] + ev[4], tv[2] + tv[5], 1e-5 * std::fabs(ev[2]));
    EXPECT_NEAR(ev[2] * ev[4], tv[2] * tv[5] - tv[3] * tv[4], 1e-5 * std::fabs(ev[2] * ev[4]));
    // The first eigenvalue of an isothermal sphere is 1/(1 - 1/r).
    EXPECT_NEAR(ev[2], 1 / (1 - 1 / std::hypot(xs[k], ys[k])), 1e-3 * std::fabs(ev[2]));
  }

  run(magtensImg, {"magtensImg", out, "1", "2", "2", "-1", "1", "3"});
  const auto g = lines("o-tens.dat");
  ASSERT_EQ(g.size(), 6u);
  EXPECT_EQ(numbers(g[2])[0], 1.0);
  EXPECT_EQ(numbers(g[2])[1], 1.0);
  EXPECT_EQ(numbers(g[3])[0], 2.0);

  dir.write("short", "3\n1.5 0\n0 -2\n");
  EXPECT_EQ(fatal_message([&] { run(magtensImg, {"magtensImg", out, dir.file("short")}); }),
            "file ended after 2 of 3 positions");
  EXPECT_EQ(run(magtensImg, {"magtensImg", out, "1", "2", "-2", "-1", "1", "3"}),
            "WARNING: x steps cannot be negative\n         (logarithmic steps not allowed here).\n");
}

// magtensSrc with Nwrite 4 for a source with two images: two image groups brightest first,
// two zero groups, and two image lines in the data file.
TEST_F(MagtensTest, MagtensSrcPadsToNwriteBrightestFirst) {
  load_sphere();
  const std::string out = dir.file("out");
  run(magtensSrc, {"magtensSrc", out, "0.01", "0.2", "0", "4"});
  const auto t = lines("out-tens.dat"), e = lines("out-eigen.dat"), d = lines("out-img.dat");
  ASSERT_EQ(t.size(), 2u);
  EXPECT_EQ(t[0], "1 0.000000e+00");
  EXPECT_EQ(e[0], "1 0.000000e+00");
  const auto tv = numbers(t[1]), ev = numbers(e[1]);
  ASSERT_EQ(tv.size(), 4u + 4 * 7);
  EXPECT_EQ(tv[2], 2);
  EXPECT_NEAR(tv[3], 10.0, 1e-3);  // mu 6 and -4
  EXPECT_NEAR(tv[6], 6.0, 1e-3);
  EXPECT_NEAR(tv[13], -4.0, 1e-3);
  for (size_t k = 18; k < tv.size(); ++k) EXPECT_EQ(tv[k], 0.0);
  EXPECT_NEAR(ev[7], 6.0, 1e-3);  // lambda1 of the brightest image is its magnification
  EXPECT_TRUE(ends_with(t[1], "e+00  0 0 0 0 0 0 0  0 0 0 0 0 0 0")) << t[1];
  const std::vector<std::string> head = {"1", "0.0 0.0 10000.0", "0.0 10000.0", "0.0 10000.0", "0.0 10000.0", "",
                                         "1", "", "2"};
  ASSERT_EQ(d.size(), head.size() + 2);
  for (size_t k = 0; k < head.size(); ++k) EXPECT_EQ(d[k], head[k]) << k;
  EXPECT_EQ(d[9].substr(0, 28), " 1.199917e+00 -5.578824e-26 ");
  EXPECT_TRUE(ends_with(d[9], "e-26 1 1.000000e-02 1000.0 0 0")) << d[9];

  // Nwrite 1: only the brightest image in all three files; count and mutot cover both.
  run(magtensSrc, {"magtensSrc", out, "0.01", "0.2", "0", "1"});
  EXPECT_EQ(numbers(lines("out-tens.dat")[1]).size(), 4u + 7);
  EXPECT_EQ(numbers(lines("out-tens.dat")[1])[2], 2);
  EXPECT_EQ(lines("out-img.dat").size(), 10u);

  // The grid form: the header holds the source count and the pixel area; a single step has
  // no pixel (area 0); a negative Nwrite is refused before any file is touched.
  run(magtensSrc, {"magtensSrc", out, "0.01", "0.1", "0.3", "3", "0", "0.5", "2"});
  EXPECT_EQ(lines("out-tens.dat")[0], "6 5.000000e-02");
  EXPECT_EQ(lines("out-tens.dat").size(), 7u);
  run(magtensSrc, {"magtensSrc", out, "0.01", "0.1", "0.3", "3", "0", "0", "1"});
  EXPECT_EQ(lines("out-eigen.dat")[0], "3 0.000000e+00");
  dir.write("list", "2\n0.1 0\n0.2 0.1\n");
  run(magtensSrc, {"magtensSrc", out, "0.01", dir.file("list")});
  EXPECT_EQ(lines("out-tens.dat")[0], "2 0.000000e+00");
  EXPECT_EQ(numbers(lines("out-tens.dat")[1]).size(), 4u + 2 * 7);
  // A list followed by Nwrite (not a source at u = 0, v = Nwrite).
  run(magtensSrc, {"magtensSrc", out, "0.01", dir.file("list"), "3"});
  EXPECT_EQ(lines("out-tens.dat")[0], "2 0.000000e+00");
  EXPECT_EQ(numbers(lines("out-tens.dat")[2]).size(), 4u + 3 * 7);
  const std::string before = dir.read("out-img.dat");
  EXPECT_EQ(run(magtensSrc, {"magtensSrc", out, "0.01", "0.2", "0", "-2"}),
            "WARNING: argument Nwrite=-2 is smaller than the\n         minimum allowed value (0).\n");
  EXPECT_EQ(dir.read("out-img.dat"), before);
}

// Source-plane maps: image counts and total magnifications; in the image plane the weight
// times the image count is |det A|, and a maximum of the delay surface is left out while
// omitcore is set.
TEST_F(MagtensTest, MagnificationWeightMaps) {
  load_sphere(4);
  run(magweightsrc, {"magweightsrc", dir.file("s"), "1", "0.5", "1.5", "3", "0", "0", "1"});
  int nx, ny;
  const Mat w = read("s-wgt.dat", nx, ny), n = read("s-nimg.dat", nx, ny);
  ASSERT_EQ(nx, 3);
  EXPECT_EQ(n[1][1], 2);  // u = 0.5: mu 3 and -1
  EXPECT_NEAR(w[1][1], 4.0, 2e-3);
  EXPECT_EQ(n[3][1], 1);  // u = 1.5: x = 2.5 alone
  EXPECT_NEAR(w[3][1], 1.666667, 2e-5);

  run(magweightimg, {"magweightimg", dir.file("i"), "1", "0.00002", "1.5", "2", "0", "0", "1"});
  const Mat wi = read("i-wgt.dat", nx, ny), ni = read("i-nimg.dat", nx, ny);
  EXPECT_EQ(wi[1][1], 0.0);  // inside the core: both eigenvalues of A negative
  EXPECT_EQ(ni[1][1], 0.0);
  EXPECT_EQ(ni[2][1], 2);  // x = 1.5: the source 0.5 has the images 1.5 and -0.5
  EXPECT_NEAR(wi[2][1] * ni[2][1], 1 - 1 / 1.5, 1e-3);
}

// plotmag: total and brightest-image magnification; the text layout; the writer's error for
// a missing file type comes after the map; an unknown mode before any output.
TEST_F(MagtensTest, PlotmagModesAndOutputs) {
  load_sphere();
  const std::string f = dir.file("pm");
  run(plotmag, {"plotmag", "0.5", "0.6", "2", "0", "0.1", "2", f, "1"});
  const auto rows = lines("pm");
  ASSERT_EQ(rows.size(), 3u + 4);
  EXPECT_EQ(rows[0], "5.000000e-01 6.000000e-01 0.000000e+00 1.000000e-01");
  EXPECT_EQ(rows[1], " 2 2");
  EXPECT_EQ(rows[2], "# columns: u v Nimg totmag");
  EXPECT_EQ(rows[3].substr(0, 31), " 5.000000e-01  0.000000e+00  2 ");
  EXPECT_NEAR(numbers(rows[3])[3], 4.0, 2e-3);
  EXPECT_EQ(numbers(rows[5])[0], 0.6);  // u outer
  run(plotmag, {"plotmag", "0.5", "0.6", "2", "0", "0.1", "2", f, "1", "2"});
  EXPECT_NEAR(numbers(lines("pm")[3])[3], 3.0, 2e-3);

  const std::string printed = run(plotmag, {"plotmag", "0.5", "0.6", "2", "0", "0.1", "2", f + ".dat", "2"});
  int nx, ny;
  const Mat m = read("pm.dat", nx, ny, kBinaryFile);
  EXPECT_NEAR(m[1][1], 4.0, 2e-3);
  EXPECT_EQ(count_occurrences(printed, " iu = "), 2);

  CaptureOutput cap;
  EXPECT_EQ(fatal_message([&] { run_handler(plotmag, cmd({"plotmag", "0.5", "0.6", "2", "0", "0.1", "2", f + "0"})); }),
            "unknown filetype in write_array()");
  EXPECT_EQ(count_occurrences(cap.text(), " iu = "), 2);
  EXPECT_EQ(fatal_message([&] { run_handler(plotmag, cmd({"plotmag", "0.5", "0.6", "2", "0", "0.1", "2", f + "3", "1", "3"})); }),
            "unknown mode in plotmag");
  EXPECT_FALSE(dir.exists("pm3"));
}
