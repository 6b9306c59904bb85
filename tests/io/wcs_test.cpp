// Adapting the world-coordinate reference to one map's grid and giving it back afterwards.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "io/wcs.h"
#include "support/test_support.h"

namespace {

WcsReference reference(double ix, double iy) {
  WcsReference w;
  w.on = 1;
  w.refx = ix;
  w.refy = iy;
  w.ra = 150;
  w.dec = 2;
  w.m11 = 1;
  w.m22 = 1;
  w.m12 = 0.25;  // anything WCSset may leave; the map's own matrix replaces it
  return w;
}

void expect_same(const WcsReference& a, const WcsReference& b) {
  EXPECT_EQ(a.on, b.on);
  EXPECT_EQ(a.refx, b.refx);
  EXPECT_EQ(a.refy, b.refy);
  EXPECT_EQ(a.ra, b.ra);
  EXPECT_EQ(a.dec, b.dec);
  EXPECT_EQ(a.m11, b.m11);
  EXPECT_EQ(a.m12, b.m12);
  EXPECT_EQ(a.m21, b.m21);
  EXPECT_EQ(a.m22, b.m22);
}

class Wcs : public ::testing::Test {
 protected:
  void SetUp() override { WCSinfo = WCSold = WcsReference(); }
  void TearDown() override { WCSinfo = WCSold = WcsReference(); }
};

}  // namespace

TEST_F(Wcs, EachGridGetsItsOwnReferencePixelAndSignedPixelMatrix) {
  struct Case {
    const char* what;
    double ix, iy;
    int nx, ny;
    double xlo, xhi, ylo, yhi;
    double refx, refy, m11, m22;
    bool warns;
  };
  const Case cases[] = {
      {"origin, ascending", 0, 0, 21, 21, -1, 1, -1, 1, 11, 11, 0.1, 0.1, false},
      {"origin, off-centre grid", 0.3, -0.4, 11, 5, 0, 2, -2, 6, 1, 2, 0.2, 2, false},
      {"origin, descending x", 0, 0, 21, 21, 1, -1, -1, 1, 11, 11, -0.1, 0.1, false},
      {"middle of an odd and an even axis", -1, -1, 21, 20, -1, 1, 0, 19, 11, 10.5, 0.1, 1, false},
      {"middle of x, fixed y", -3, 7, 5, 9, 0, 4, 0, 8, 3, 7, 1, 1, false},
      {"fixed pixel", 5, 7, 21, 11, -1, 1, -1, 1, 5, 7, 0.1, 0.2, false},
      {"one step in x: |dy|", 0, 0, 1, 11, 0.3, 0.3, 1, -1, -0.5, 6, 0.2, -0.2, true},
      {"zero extent in y: |dx|", 5, 7, 21, 3, 1, -1, 2, 2, 5, 7, -0.1, 0.1, true},
      {"one step in both: 1 arcsec", 0, 0, 1, 1, 0.5, 0.5, -2, -2, 0.5, 3, 1, 1, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const WcsReference given = reference(c.ix, c.iy);
    WCSinfo = given;
    std::string printed;
    {
      CaptureOutput out;
      WCSprocess(c.nx, c.ny, c.xlo, c.xhi, c.ylo, c.yhi);
      printed = out.text();
    }
    EXPECT_TRUE(WCSinfo.is_on());
    EXPECT_NEAR(WCSinfo.refx, c.refx, 1e-12);
    EXPECT_NEAR(WCSinfo.refy, c.refy, 1e-12);
    EXPECT_NEAR(WCSinfo.m11, c.m11, 1e-15);
    EXPECT_NEAR(WCSinfo.m22, c.m22, 1e-15);
    EXPECT_EQ(WCSinfo.m12, 0.0);
    EXPECT_EQ(WCSinfo.m21, 0.0);
    EXPECT_EQ(WCSinfo.ra, 150.0);
    EXPECT_EQ(WCSinfo.dec, 2.0);
    for (double v : {WCSinfo.refx, WCSinfo.refy, WCSinfo.m11, WCSinfo.m22}) EXPECT_TRUE(std::isfinite(v));
    EXPECT_EQ(printed.rfind("WARNING: map axis of a single step", 0) == 0, c.warns) << printed;
    WCSreset();
    expect_same(WCSinfo, given);
  }
}

TEST_F(Wcs, GeometricAxisWritesNoCoordinatesForThatMapOnly) {
  const WcsReference given = reference(0, 0);
  for (const int nx : {-5, 5}) {
    const int ny = -nx;
    WCSinfo = given;
    std::string printed;
    {
      CaptureOutput out;
      WCSprocess(nx, ny, 0.1, 10, 0.1, 10);
      printed = out.text();
    }
    EXPECT_FALSE(WCSinfo.is_on());
    EXPECT_EQ(printed, "WARNING: logarithmic map axis: no world coordinates written\n");
    WCSreset();
    expect_same(WCSinfo, given);  // on again, and nothing else changed
  }
}

// One step in x far from the origin, with tiny y pixels: the origin's pixel overflows.
TEST_F(Wcs, ReferenceThatOverflowsWritesNoCoordinatesForThatMap) {
  const WcsReference given = reference(0, 0);
  WCSinfo = given;
  std::string printed;
  {
    CaptureOutput out;
    WCSprocess(1, 3, 1e10, 1e10, 0, 2e-300);
    printed = out.text();
  }
  EXPECT_FALSE(WCSinfo.is_on());
  EXPECT_NE(printed.find("WARNING: map grid gives no finite world coordinates: none written\n"), std::string::npos)
      << printed;
  WCSreset();
  expect_same(WCSinfo, given);
}

TEST_F(Wcs, OffReferenceAndUnpairedResetChangeNothing) {
  WcsReference off = reference(0, 0);
  off.on = 0;
  WCSinfo = off;
  {
    CaptureOutput out;
    WCSprocess(-3, 1, 0, 1, 0, 0);
    EXPECT_EQ(out.text(), "");
  }
  expect_same(WCSinfo, off);
  WCSreset();
  expect_same(WCSinfo, off);

  // A reset with no adaptation pending (or a second reset) leaves the reference alone.
  const WcsReference given = reference(-1, -1);
  WCSinfo = given;
  WCSreset();
  expect_same(WCSinfo, given);
  WCSprocess(3, 3, 0, 1, 0, 1);
  WCSreset();
  WCSinfo.ra = 10;  // a later WCSset
  WCSreset();
  EXPECT_EQ(WCSinfo.ra, 10.0);
}
