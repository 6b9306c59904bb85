// Image commands of the lens: convolution, statistics and the lensed velocity field of a
// disk, as a user runs them from a command file.
#include <fitsio.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <utility>
#include <sstream>
#include <string>
#include <vector>

#include "imageplane/map_text.h"
#include "numeric/constants.h"
#include "support/test_support.h"

namespace {


// "nx ny" and the values f(i, j), x fastest.
template <class F>
std::string map_text(int nx, int ny, F&& f) {
  std::ostringstream o;
  o << nx << " " << ny << "\n";
  o.precision(9);
  for (int j = 1; j <= ny; ++j)
    for (int i = 1; i <= nx; ++i) o << f(i, j) << "\n";
  return o.str();
}

}  // namespace

// A point convolved with a function brightest at its centre is the normalised function on
// that point; the fluxes are reported; imgstats reads the result.
TEST(SBmapE2E, ConvolveAndStatistics) {
  ScratchDir d;
  d.write("one.txt", map_text(64, 64, [](int i, int j) { return (i == 10 && j == 50) ? 2.0 : 0.0; }));
  d.write("psf.txt", map_text(15, 15, [](int i, int j) { return (i == 8 && j == 8) ? 2.0 : (std::abs(i - 8) + std::abs(j - 8) == 1 ? 0.5 : 0.0); }));
  const RunResult r = run_commands(d, "convolve1 one.txt 1 psf.txt 1 out.txt 1\nimgstats out.txt 1\n");
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("Computing FFT of original maps.\nDoing the convolution.\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("Fluxes: old 2.000000e+00 new 2.000000e+00\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("Results from imgstats:\nminimum value      = "), std::string::npos);
  EXPECT_NE(r.out.find("maximum value      = 1.000000e+00\n"), std::string::npos) << r.out;
  const TextMap m = parse_text_map(d.read("out.txt"));
  ASSERT_EQ(m.nx, 64);
  EXPECT_NEAR(m.at(10, 50), 1.0, 1e-6);
  EXPECT_NEAR(m.at(11, 50), 0.25, 1e-6);
  EXPECT_NEAR(m.at(10, 49), 0.25, 1e-6);
  EXPECT_NEAR(m.at(11, 51), 0.0, 1e-6);

  d.write("zero.txt", "2 1\n1\n-1\n");
  const RunResult z = run_commands(d, "convolve1 one.txt 1 zero.txt 1 out2.txt 1\n");
  EXPECT_EQ(z.status, 1);
  EXPECT_NE(z.out.find("ERROR: the point-spread function in zero.txt sums to 0"), std::string::npos) << z.out;
}

// No lens, a disk at i = 60, PA = 0 rotating at 200 out to radius 1: +-173.205 along y, 0
// along x, at the centre and beyond the disk; i = 90 is refused.
TEST(SBmapE2E, SpiderDiagram) {
  ScratchDir d;
  const RunResult r = run_commands(d,
                                   "setlens 1 1\n"
                                   "alpha 0 0 0 0 0 0 0 0 0 1\n"
                                   "0 0 0 0 0 0 0 0 0 0\n"
                                   "spider -1.5 1.5 7 -1.5 1.5 7 s.txt 1 0 0 60 0 200 1\n"
                                   "spider -1 1 3 -1 1 3 s90.txt 1 0 0 90 0 200 1\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("ERROR: spider diagram is not well defined for i=90"), std::string::npos) << r.out;
  const TextMap m = parse_text_map(d.read("s.txt"));
  ASSERT_EQ(m.nx, 7);
  for (int j = 1; j <= 7; ++j) {
    const double y = -1.5 + 0.5 * (j - 1);
    const double want = (y != 0 && std::fabs(y) <= 1) ? std::copysign(173.205, y) : 0.0;
    EXPECT_NEAR(m.at(4, j), want, 1e-3) << y;  // x = 0
    EXPECT_EQ(m.at(j, 4), 0.0) << j;           // y = 0
  }
}




// convolve2 takes the current source as the function, centred on the zero lag: a point
// image becomes the source's profile (times the pixel area) centred on the point, also
// when the current source is not source 1.
TEST(SBmapE2E, ConvolveWithSource) {
  ScratchDir d;
  d.write("one.txt", map_text(64, 64, [](int i, int j) { return (i == 20 && j == 40) ? 1.0 : 0.0; }));
  const RunResult r = run_commands(d,
                                   "setsource 2 1000\n"
                                   "sersic 1 0 0 0 0 0.1 0 1\n"
                                   "sersic 1 0.5 -0.3 0 0 0.1 0 1\n"
                                   "0 0 0 0 0 0 0 0\n"
                                   "0 0 0 0 0 0 0 0\n"
                                   "set isource 2\n"
                                   "convolve2 one.txt 1 0.02 0.02 out.txt 1\n");
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("Computing FFT of original map.\nSetting up source map and computing its FFT.\n"
                       "Doing the convolution.\nFluxes: old 1.000000e+00 new "),
            std::string::npos)
      << r.out;
  const TextMap m = parse_text_map(d.read("out.txt"));
  // Exponential profile (n = 1): I = exp(-r/s)/(2 pi s^2), s = Reff/1.678347.
  const double s = 0.1 / 1.678347;
  for (int i = 10; i <= 30; i += 2)
    for (int j = 30; j <= 50; j += 2) {
      const double rr = 0.02 * std::hypot(i - 20, j - 40);
      const double want = std::exp(-rr / s) / (2 * kPi * s * s) * 4e-4;
      EXPECT_NEAR(m.at(i, j), want, 1e-5 * want + 1e-7) << i << " " << j;
    }
}

namespace {

const char* kSphere =
    "setlens 1 1\n"
    "alpha 1 0 0 0 0 0 0 0 0 1\n"
    "0 0 0 0 0 0 0 0 0 0\n";

// The number after "<label>" in a text (0 when it is missing).
double value_after(const std::string& text, const std::string& label) {
  const size_t k = text.find(label);
  return k == std::string::npos ? 0.0 : std::atof(text.c_str() + k + label.size());
}

// Every "Total image  plane flux" of a run, in order.
std::vector<double> image_fluxes(const std::string& out) {
  std::vector<double> f;
  const std::string label = "Total image  plane flux: ";
  for (size_t k = out.find(label); k != std::string::npos; k = out.find(label, k + 1))
    f.push_back(std::atof(out.c_str() + k + label.size()));
  return f;
}

// Reference pixel of a FITS map.
std::pair<double, double> reference_pixel(const std::string& path) {
  fitsfile* f = nullptr;
  int s = 0;
  double c1 = 0, c2 = 0;
  ffopen(&f, path.c_str(), READONLY, &s);
  ffgky(f, TDOUBLE, "CRPIX1", &c1, nullptr, &s);
  ffgky(f, TDOUBLE, "CRPIX2", &c2, nullptr, &s);
  EXPECT_EQ(s, 0) << path;
  int t = 0;
  ffclos(f, &t);
  return {c1, c2};
}

}  // namespace

// A map of point sources alone is zero, and so are both fluxes.
TEST(SBmapE2E, PointSourcesOnly) {
  ScratchDir d;
  const RunResult r = run_commands(d, std::string(kSphere) +
                                          "setsource 1 1000\n"
                                          "ptsrc 1 0.3 0 0 0 0 0 0\n"
                                          "0 0 0 0 0 0 0 0\n"
                                          "SBmap2 -1 1 5 -1 1 5 1 p.txt 1\n");
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("Computing surface brightness map.\n"), std::string::npos);
  EXPECT_NE(r.out.find("Total source plane flux: 0.000000e+00\nTotal image  plane flux: 0.000000e+00\n"),
            std::string::npos)
      << r.out;
  const TextMap p = parse_text_map(d.read("p.txt"));
  for (double v : p.v) EXPECT_EQ(v, 0.0);
}

// A Sersic source lensed two ways: its map written by makesrcmap and lensed by SBmap1,
// and the analytic source lensed by SBmap2, agree within 0.5% of the peak pixel.
TEST(SBmapE2E, MapAndAnalyticSourceAgree) {
  ScratchDir d;
  const RunResult r = run_commands(d, std::string(kSphere) +
                                          "setsource 1 1000\n"
                                          "sersic 1 0.3 0 0 0 0.1 0 0.5\n"
                                          "0 0 0 0 0 0 0 0\n"
                                          "makesrcmap src.txt 1 src.rng -1 1 201 -1 1 201\n"
                                          "SBmap1 src.txt 1 -1 1 -1 1 s1.txt 1 -2 2 201 -2 2 201 1\n"
                                          "SBmap2 -2 2 201 -2 2 201 1 s2.txt 1\n");
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  const TextMap a = parse_text_map(d.read("s1.txt")), b = parse_text_map(d.read("s2.txt"));
  ASSERT_EQ(a.v.size(), b.v.size());
  double peak = 0, worst = 0;
  for (size_t k = 0; k < b.v.size(); ++k) {
    peak = std::max(peak, b.v[k]);
    worst = std::max(worst, std::fabs(a.v[k] - b.v[k]));
  }
  EXPECT_GT(peak, 10.0);
  EXPECT_LT(worst, 0.005 * peak);
  const std::vector<double> f = image_fluxes(r.out);
  ASSERT_EQ(f.size(), 2u);
  EXPECT_NEAR(f[0], f[1], 0.005 * f[1]);
}

// The model referenced to Dls/Dos = 1 is scaled to the source redshift; a source at z = 0
// cannot be scaled to (tested with the library). The scaled isothermal sphere lenses as one of Einstein radius
// Dls/Dos, and the scale is 1 again after the command.
TEST(SBmapE2E, RedshiftScaling) {
  ScratchDir d;
  const std::string sources =
      "setsource 1 1000\n"
      "uniform 1 0.2 0 0 0 0.1 0 0\n"
      "0 0 0 0 0 0 0 0\n";
  const RunResult r = run_commands(d, std::string(kSphere) + sources +
                                          "set zlens 0.5\nset zsrc 2\nset zref 1001\n"
                                          "SBmap2 -2 2 41 -2 2 41 2 a.txt 1\n"
                                          "set zlens -1\n"
                                          "SBmap2 -2 2 41 -2 2 41 2 b.txt 1\n");
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  const double f = value_after(r.out, "Note: scaling to zsrc=2.000000, Dls/Dos=");
  ASSERT_GT(f, 0.3);
  ASSERT_LT(f, 0.9);
  const RunResult s = run_commands(d, std::string("setlens 1 1\nalpha ") + std::to_string(f) +
                                          " 0 0 0 0 0 0 0 0 1\n0 0 0 0 0 0 0 0 0 0\n" + sources +
                                          "SBmap2 -2 2 41 -2 2 41 2 c.txt 1\n");
  ASSERT_EQ(s.status, 0) << s.out;
  const TextMap a = parse_text_map(d.read("a.txt")), b = parse_text_map(d.read("b.txt")),
                c = parse_text_map(d.read("c.txt"));
  double diff_ac = 0, diff_ab = 0;
  for (size_t k = 0; k < a.v.size(); ++k) {
    diff_ac = std::max(diff_ac, std::fabs(a.v[k] - c.v[k]));
    diff_ab = std::max(diff_ab, std::fabs(a.v[k] - b.v[k]));
  }
  EXPECT_LT(diff_ac, 1e-4);  // Dls/Dos printed to 6 decimals
  EXPECT_GT(diff_ab, 1.0);   // unscaled: another map

}

// World coordinates of lensed maps: the reference pixel given as (0, 0) is the pixel of
// the lens-plane origin of each map, (-1, -1) the map's centre; the values given to WCSset
// stay in force from map to map.
TEST(SBmapE2E, WorldCoordinates) {
  ScratchDir d;
  d.write("src.txt", map_text(3, 3, [](int, int) { return 1.0; }));
  const RunResult r = run_commands(d,
                                   "setlens 1 1\nalpha 0 0 0 0 0 0 0 0 0 1\n0 0 0 0 0 0 0 0 0 0\n"
                                   "WCSset 0 0 150 2.2\n"
                                   "SBmap1 src.txt 1 -1 1 -1 1 a.fits 3 -2 2 9 -1 1 5 1\n"
                                   "SBmap1 src.txt 1 -1 1 -1 1 b.fits 3 -1 3 5 -2 2 9 1\n"
                                   "WCSset -1 -1 150 2.2\n"
                                   "setsource 1 1000\nuniform 1 0 0 0 0 0.5 0 0\n0 0 0 0 0 0 0 0\n"
                                   "SBmap2 -1 1 5 -2 2 9 1 c.fits 3\n");
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(reference_pixel(d.file("a.fits")), std::make_pair(5.0, 3.0));
  EXPECT_EQ(reference_pixel(d.file("b.fits")), std::make_pair(2.0, 5.0));
  EXPECT_EQ(reference_pixel(d.file("c.fits")), std::make_pair(3.0, 5.0));
}
