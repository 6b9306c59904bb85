// Maps with sky coordinates as a user makes them: the headers are read back with the FITS
// library and every pixel's sky position, by the tangent-plane projection, must be the sky
// position of its lens-plane point.
#include <fitsio.h>
#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <string>
#include <vector>

#include "numeric/constants.h"
#include "support/test_support.h"

namespace {

const char* kSphere =
    "setlens 1 1\n"
    "alpha 1 0 0 0 0 0 0 0 0 1\n"
    "0 0 0 0 0 0 0 0 0 0\n";

const char* const kWcsKeys[] = {"CRPIX1", "CRPIX2", "CRVAL1", "CRVAL2", "CD1_1", "CD1_2", "CD2_1", "CD2_2"};

// The image and world-coordinate keywords of a FITS map.
struct FitsMap {
  long nx = 0, ny = 0;
  std::map<std::string, double> key;  // the WCS keywords present
  std::string ctype1, ctype2;
  std::vector<float> pix;
  float at(long i, long j) const { return pix[static_cast<size_t>((j - 1) * nx + (i - 1))]; }
  bool has_wcs() const { return !ctype1.empty(); }
};

FitsMap read_map(const std::string& path) {
  FitsMap m;
  fitsfile* f = nullptr;
  int s = 0;
  ffopen(&f, path.c_str(), READONLY, &s);
  EXPECT_EQ(s, 0) << path;
  if (s) return m;
  ffgky(f, TLONG, "NAXIS1", &m.nx, nullptr, &s);
  ffgky(f, TLONG, "NAXIS2", &m.ny, nullptr, &s);
  for (const char* k : kWcsKeys) {
    double v;
    int ks = 0;
    if (ffgky(f, TDOUBLE, k, &v, nullptr, &ks) == 0) m.key[k] = v;
    ffcmsg();
  }
  char c1[FLEN_VALUE] = "", c2[FLEN_VALUE] = "";
  int ks = 0;
  if (ffgky(f, TSTRING, "CTYPE1", c1, nullptr, &ks) == 0) {
    ffgky(f, TSTRING, "CTYPE2", c2, nullptr, &ks);
    m.ctype1 = c1;
    m.ctype2 = c2;
  }
  ffcmsg();
  m.pix.resize(static_cast<size_t>(m.nx * m.ny));
  int anynul = 0;
  ffgpv(f, TFLOAT, 1, m.nx * m.ny, nullptr, m.pix.data(), &anynul, &s);
  ffclos(f, &s);
  EXPECT_EQ(s, 0);
  return m;
}

constexpr double kRad = kPi / 180.0;

// Sky position (degrees) of the tangent-plane offsets (xi, eta) in degrees about (ra0, dec0).
void deproject(double ra0, double dec0, double xi, double eta, double& ra, double& dec) {
  xi *= kRad;
  eta *= kRad;
  const double d0 = dec0 * kRad;
  const double den = std::cos(d0) - eta * std::sin(d0);
  ra = ra0 + std::atan2(xi, den) / kRad;
  dec = std::atan2(std::sin(d0) + eta * std::cos(d0), std::hypot(xi, den)) / kRad;
}

// Sky position of pixel (p1, p2) by the header.
void pixel_sky(const FitsMap& m, double p1, double p2, double& ra, double& dec) {
  const auto& k = m.key;
  const double a = p1 - k.at("CRPIX1"), b = p2 - k.at("CRPIX2");
  deproject(k.at("CRVAL1"), k.at("CRVAL2"), k.at("CD1_1") * a + k.at("CD1_2") * b, k.at("CD2_1") * a + k.at("CD2_2") * b,
            ra, dec);
}

// Every pixel of a map of the grid (xlo..xhi, n) x (ylo..yhi, n) sits where its lens-plane
// point is: x arcsec to the west (RA falls), y to the north, about (ra0, dec0).
void expect_pixels_on_the_sky(const FitsMap& m, double xlo, double xhi, double ylo, double yhi, double ra0,
                              double dec0) {
  for (long i = 1; i <= m.nx; ++i) {
    for (long j = 1; j <= m.ny; ++j) {
      const double x = xlo + (xhi - xlo) * (i - 1) / (m.nx - 1), y = ylo + (yhi - ylo) * (j - 1) / (m.ny - 1);
      double ra, dec, ra_lens, dec_lens;
      pixel_sky(m, static_cast<double>(i), static_cast<double>(j), ra, dec);
      deproject(ra0, dec0, -x / 3600.0, y / 3600.0, ra_lens, dec_lens);
      ASSERT_NEAR(ra, ra_lens, 1e-11) << i << " " << j;
      ASSERT_NEAR(dec, dec_lens, 1e-11) << i << " " << j;
    }
  }
}

}  // namespace

TEST(MapsE2E, FitsMapsCarryTheSkyPositionOfEveryPixel) {
  ScratchDir d;
  const RunResult r = run_commands(d, std::string(kSphere) +
                                          "WCSset 0 0 150 2\n"
                                          "plotkappa k.fits 3 -1 1 21 -1 1 21\n"
                                          "plotkappa kd.fits 3 1 -1 21 1 -1 21\n"
                                          "plotkappa k2.fits 3 0 2 11 -1 0 5\n"
                                          "WCSset -1 -1 150 2\n"
                                          "plotkappa kc.fits 3 0 2 11 -1 0 5\n"
                                          "WCSset 5 7 150 2\n"
                                          "plotmu kf.fits 3 0 2 11 -1 0 5\n"
                                          "plotkappa klog.fits 3 0.1 1 -4 -1 1 3\n"
                                          "plotkappa k1.fits 3 0.5 0.5 1 -1 1 3\n"
                                          "plotkappa k11.fits 3 0.5 0.5 1 1 1 1\n"
                                          "WCSset off\n"
                                          "plotkappa koff.fits 3 -1 1 21 -1 1 21\n");
  ASSERT_EQ(r.status, 0) << r.out << r.err;

  const FitsMap k = read_map(d.file("k.fits"));
  ASSERT_EQ(k.nx, 21);
  ASSERT_EQ(k.ny, 21);
  EXPECT_EQ(k.ctype1, "RA---TAN");
  EXPECT_EQ(k.ctype2, "DEC--TAN");
  EXPECT_NEAR(k.key.at("CRPIX1"), 11, 1e-12);
  EXPECT_NEAR(k.key.at("CRPIX2"), 11, 1e-12);
  EXPECT_EQ(k.key.at("CRVAL1"), 150);
  EXPECT_EQ(k.key.at("CRVAL2"), 2);
  EXPECT_NEAR(k.key.at("CD1_1"), -2.777778e-05, 1e-11);
  EXPECT_NEAR(k.key.at("CD2_2"), 2.777778e-05, 1e-11);
  EXPECT_EQ(k.key.at("CD1_2"), 0);
  EXPECT_EQ(k.key.at("CD2_1"), 0);
  EXPECT_NEAR(k.at(16, 11), 1.0, 1e-6);  // x = 0.5: b/(2r)
  EXPECT_NEAR(k.at(21, 11), 0.5, 1e-6);
  double ra, dec;
  pixel_sky(k, 1, 1, ra, dec);
  EXPECT_NEAR(ra, 150.000277947, 1e-9);
  EXPECT_NEAR(dec, 1.999722222, 1e-9);
  expect_pixels_on_the_sky(k, -1, 1, -1, 1, 150, 2);

  // A descending grid keeps its sky the right way round: pixel (1, 1) is (1, 1) arcsec.
  const FitsMap kd = read_map(d.file("kd.fits"));
  pixel_sky(kd, 1, 1, ra, dec);
  EXPECT_NEAR(ra, 149.999722053, 1e-9);
  EXPECT_NEAR(dec, 2.000277778, 1e-9);
  EXPECT_NEAR(kd.at(6, 11), 1.0, 1e-6);  // x = 0.5
  expect_pixels_on_the_sky(kd, 1, -1, 1, -1, 150, 2);

  // Another grid gets its own reference pixel: the lens-plane origin, then the middle, then
  // the fixed pixel, while the sky position of every pixel stays right.
  const FitsMap k2 = read_map(d.file("k2.fits")), kc = read_map(d.file("kc.fits")), kf = read_map(d.file("kf.fits"));
  EXPECT_NEAR(k2.key.at("CRPIX1"), 1, 1e-12);
  EXPECT_NEAR(k2.key.at("CRPIX2"), 5, 1e-12);
  expect_pixels_on_the_sky(k2, 0, 2, -1, 0, 150, 2);
  EXPECT_EQ(kc.key.at("CRPIX1"), 6);
  EXPECT_EQ(kc.key.at("CRPIX2"), 3);
  EXPECT_EQ(kf.key.at("CRPIX1"), 5);
  EXPECT_EQ(kf.key.at("CRPIX2"), 7);
  EXPECT_NEAR(kf.key.at("CD1_1"), -0.2 / 3600, 1e-15);
  EXPECT_NEAR(kf.key.at("CD2_2"), 0.25 / 3600, 1e-15);

  // A geometric axis: no world coordinates for that map, and a warning.
  EXPECT_FALSE(read_map(d.file("klog.fits")).has_wcs());
  EXPECT_EQ(count_occurrences(r.out, "WARNING: logarithmic map axis: no world coordinates written\n"), 1);
  // A one-step axis takes the other's pixel size (1 arcsec when both have one step); the
  // header holds no infinity or NaN.
  const FitsMap k1 = read_map(d.file("k1.fits")), k11 = read_map(d.file("k11.fits"));
  EXPECT_NEAR(k1.key.at("CD1_1"), -1.0 / 3600, 1e-15);
  EXPECT_NEAR(k11.key.at("CD2_2"), 1.0 / 3600, 1e-15);
  for (const FitsMap* m : {&k1, &k11})
    for (const char* key : kWcsKeys) EXPECT_TRUE(std::isfinite(m->key.at(key))) << key;
  EXPECT_EQ(count_occurrences(r.out, "WARNING: map axis of a single step"), 2);

  EXPECT_FALSE(read_map(d.file("koff.fits")).has_wcs());
}

// A text map lists x fastest after the line of its two counts.
TEST(MapsE2E, TextMapLayoutAndErrors) {
  ScratchDir d;
  const RunResult r = run_commands(d, std::string(kSphere) + "plotkappa t.dat 1 1 3 3 0 1 2\n");
  ASSERT_EQ(r.status, 0) << r.out;
  const std::string t = d.read("t.dat");
  ASSERT_EQ(t.rfind("3 2\n", 0), 0u) << t;
  std::vector<double> v;
  size_t pos = 4;
  for (int k = 0; k < 6; ++k) {
    size_t used = 0;
    v.push_back(std::stod(t.substr(pos), &used));
    pos += used + 1;
  }
  const double x[6] = {1, 2, 3, 1, 2, 3}, y[6] = {0, 0, 0, 1, 1, 1};
  for (int k = 0; k < 6; ++k) EXPECT_NEAR(v[static_cast<size_t>(k)], 0.5 / std::hypot(x[k], y[k]), 1e-4) << k;

  // No model: an error and exit status 1.
  const RunResult e = run_commands(d, "plotkappa t2.dat 1 1 3 3 0 1 2\n");
  EXPECT_EQ(e.status, 1);
  EXPECT_NE(e.out.find("ERROR: no lens model has been specified"), std::string::npos) << e.out;
  EXPECT_FALSE(d.exists("t2.dat"));
}
