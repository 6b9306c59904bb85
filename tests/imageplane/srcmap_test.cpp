// Source maps: the bilinear lookup, the isophote levels and radii, and what a "srcmap"
// source reads of its map.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "imageplane/source_models.h"
#include "imageplane/srcmap.h"
#include "imageplane/srcmap_fixture.h"
#include "numeric/random.h"
#include "shell/fatal.h"
#include "shell/settings.h"
#include "support/test_support.h"

namespace {

using lensfix::put_map;


class SrcMaps : public ::testing::Test {
 protected:
  void SetUp() override {
    reset_srcmaps();
    settings = Settings();
    settings.verbose = 1;
    quietflag = 1;
  }
  void TearDown() override {
    reset_srcmaps();
    quietflag = 0;
  }
};

}  // namespace

// Bilinear interpolation reproduces a bilinear function exactly, up to and including the
// last pixel centres; outside the range the map is dark.
TEST_F(SrcMaps, LookupIsBilinearAndDarkOutside) {
  auto f = [](double x, double y) { return 2 + 3 * x - 5 * y + 7 * x * y; };
  put_map(1, 11, 6, -1, 1, 0, 0.5, f);
  struct Pt {
    double x, y;
  };
  for (const Pt& p : {Pt{-1, 0}, Pt{1, 0.5}, Pt{0.33, 0.21}, Pt{-0.999, 0.499}, Pt{1, 0.1}, Pt{0.5, 0.5}})
    EXPECT_NEAR(srcmap_flux(1, p.x, p.y), f(p.x, p.y), 1e-12) << p.x << " " << p.y;
  for (const Pt& p : {Pt{-1.001, 0.2}, Pt{1.001, 0.2}, Pt{0, -1e-9}, Pt{0, 0.5001}})
    EXPECT_EQ(srcmap_flux(1, p.x, p.y), 0.0) << p.x << " " << p.y;

  // An empty slot warns and is dark; an index outside the table, several planes, or no
  // table at all end the program.
  {
    CaptureOutput cap;
    quietflag = 0;
    EXPECT_EQ(srcmap_flux(2, 0, 0), 0.0);
    EXPECT_EQ(cap.text(), "WARNING: trying to compute with a srcmap that has not been loaded\n");
  }
  EXPECT_EQ(fatal_message([] { srcmap_flux(3, 0, 0); }), "srcmap index out of bounds");
  TWsmap.thesmap[1].planes = 2;
  EXPECT_EQ(fatal_message([] { srcmap_flux(1, 0, 0.2); }), "srcmap cannot yet handle data cubes");
  reset_srcmaps();
  EXPECT_EQ(fatal_message([] { srcmap_flux(1, 0, 0); }), "no srcmaps have been loaded");
}

// Isophotes of a uniform disc (radius 0.3) on a map with negative noise around it: the
// levels come from the positive pixels, so the 90% and 99.9% circles are the disc's
// (noise made the running sums over all pixels meaningless). A single bright pixel gets
// half a pixel diagonal; a map without light ends the program naming its file.
TEST_F(SrcMaps, IsophotesComeFromThePositivePixels) {
  RandomStream r(5);
  put_map(1, 101, 101, -1, 1, -1, 1, [&](double x, double y) {
    return std::hypot(x, y) < 0.3 ? 1.0 : -0.5 * ran1(r);
  });
  const SrcMap& s = TWsmap.thesmap[1];
  EXPECT_EQ(s.level90[1], 1.0);
  EXPECT_EQ(s.level999[1], 1.0);
  EXPECT_NEAR(s.radius90[1], 0.3, 0.02);
  EXPECT_NEAR(s.radius999[1], 0.3, 0.02);
  EXPECT_EQ(srcmap_r90(1), s.radius90[1]);
  EXPECT_EQ(srcmap_r999(1), s.radius999[1]);

  put_map(2, 11, 21, -1, 1, -1, 1, [](double x, double y) { return x == 0 && y == 0 ? 3.0 : -1.0; });
  EXPECT_NEAR(TWsmap.thesmap[2].radius90[1], 0.5 * std::hypot(0.2, 0.1), 1e-12);
  EXPECT_NEAR(TWsmap.thesmap[2].radius999[1], 0.5 * std::hypot(0.2, 0.1), 1e-12);

  EXPECT_EQ(fatal_message([] { put_map(2, 5, 5, -1, 1, -1, 1, [](double, double) { return 0.0; }); }),
            "srcmap map.fits has no positive pixel");
  // A blank pixel (as image files mark them) or an infinite one is refused by name and
  // place: the rays reading near it would turn every image's flux and delay into NaN.
  for (double bad : {NAN, INFINITY})
    EXPECT_EQ(fatal_message([bad] {
                put_map(2, 5, 5, -1, 1, -1, 1, [bad](double x, double y) { return x == 0.5 && y == 0 ? bad : 1.0; });
              }),
              "srcmap map.fits: pixel (4, 3) is not a finite number");
}

// A "srcmap" source takes its radii from its map (parameters 10 to 12) and its index from
// parameter 8; a load with more planes or an index outside the table is refused.
TEST_F(SrcMaps, SourceReadsItsMap) {
  put_map(2, 41, 41, -1, 1, -1, 1, [](double x, double y) { return std::exp(-(x * x + y * y) / 0.02); });
  InitSrcArr(1, 0);
  BVec<std::string> names(1, 1);
  Mat p(1, 1, 1, 8);
  names[1] = "srcmap";
  p[1][1] = 1;
  p[1][8] = 2;
  initsrcmod(names, p);
  EXPECT_EQ(TWsrc.srcparms[1][9], 1.0);
  EXPECT_EQ(TWsrc.srcparms[1][10], TWsmap.thesmap[2].radius90[1]);
  EXPECT_EQ(TWsrc.srcparms[1][11], TWsmap.thesmap[2].radius90[1]);
  EXPECT_EQ(TWsrc.srcparms[1][12], TWsmap.thesmap[2].radius999[1]);
  // Light within 0.3 holds 1 - exp(-4.5) of a Gaussian of sigma 0.1.
  EXPECT_GT(TWsrc.srcparms[1][10], 0.2);
  EXPECT_LT(TWsrc.srcparms[1][10], 0.25);
  p[1][8] = 3;
  EXPECT_EQ(fatal_message([&] { initsrcmod(names, p); }), "srcmap index out of bounds");
  TWsmap.thesmap[2].planes = 2;
  p[1][8] = 2;
  EXPECT_EQ(fatal_message([&] { initsrcmod(names, p); }), "srcmap cannot yet handle data cubes");
}
