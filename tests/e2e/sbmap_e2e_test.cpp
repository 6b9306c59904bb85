// Image commands of the lens: convolution, statistics and the lensed velocity field of a
// disk, as a user runs them from a command file.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <utility>
#include <sstream>
#include <string>
#include <vector>

#include "imageplane/map_text.h"
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
      const double want = std::exp(-rr / s) / (2 * M_PI * s * s) * 4e-4;
      EXPECT_NEAR(m.at(i, j), want, 1e-5 * want + 1e-7) << i << " " << j;
    }
}

