// Observed lens data: the data file, the loaders and the record routines.
#include <gtest/gtest.h>

#include <cmath>

#include "fit/fit_data.h"
#include "fit/fit_fixture.h"
#include "imageplane/grid.h"
#include "imageplane/source_models.h"
#include "numeric/constants.h"

namespace {

const char* kGalaxy = "1\n0 0 0.003\n1 1\n0 1\n0 1\n";

// One galaxy at the origin and one source with the given source line and image lines.
std::string one_source(const std::string& source_line, const std::string& images) {
  return std::string(kGalaxy) + "1\n" + source_line + "\n" + images;
}

class FitDataTest : public FitTest {};

}  // namespace

TEST_F(FitDataTest, SourceLineOptionsComeOnlyFromRealWords) {
  struct Row {
    const char* line;
    double wpos, wflux, wtdel, zsrc;
  } rows[] = {
      {"1", 1, 1, 1, -1},
      {"1 # a comment 5 5", 1, 1, 1, -1},
      {"1 1 0", 1, 0, 1, -1},
      {"1 2 3 4 0.5", 2, 3, 4, 0.5},
      {"1 1 1 1", 1, 1, 1, -1},   // no zsrc word: the setting, not 0
      {"1 1 1 1 0", 1, 1, 1, -1}, // zsrc 0 counts as not given
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.line);
    // A six-value image line: the delay error is 0 (no measured delay).
    load_data(one_source(r.line, "0.5 0 1 0.01 0.1 0.3\n"));
    ASSERT_EQ(TSobs.Nsrcobs, 1);
    SrcData& s = TSobs.srcobs[1];
    EXPECT_EQ(s.nimg, 1);
    EXPECT_EQ(s.wpos, r.wpos);
    EXPECT_EQ(s.wflux, r.wflux);
    EXPECT_EQ(s.wtdel, r.wtdel);
    EXPECT_EQ(s.zsrc, r.zsrc);
    EXPECT_EQ(s.tdel[1], 0.3);
    EXPECT_EQ(s.sig_tdel[1], 0.0);
  }
}

TEST_F(FitDataTest, QuadoffLoadsItsGalaxyImagesAndRscale) {
  quietflag = 0;
  CaptureOutput out;
  load_quadoff();
  EXPECT_NE(out.text().find("Note: No redshift information is being used.\n"), std::string::npos);
  ASSERT_EQ(TSobs.Ngalobs, 1);
  ASSERT_EQ(TSobs.Nsrcobs, 1);
  EXPECT_EQ(TSobs.galobs[1].sig_a, 0.003);
  EXPECT_EQ(TSobs.galobs[1].sig_b, 0.003);
  SrcData& s = TSobs.srcobs[1];
  EXPECT_EQ(s.nimg, 4);
  EXPECT_EQ(s.flux[3][1], -5.706979);
  EXPECT_EQ(s.sig_tdel[4], 0.01);
  EXPECT_EQ(s.pscale, 1.0);
  EXPECT_NEAR(GetVar("rscale"), 1.166711, 1e-6);
  EXPECT_NEAR(s.invcov[1][0][0], 1 / 9e-6, 1e-6);
  EXPECT_NEAR(s.invcov[1][0][1], 0, 1e-9);
  EXPECT_EQ(TSobs.srcmod[1].nimg, 4);  // model records start as copies
}

TEST_F(FitDataTest, OverridesAndFractionalFluxErrorsUseTheFluxSize) {
  // sigf < 0: a fractional error of the flux's size, positive also for a saddle.
  load_data(one_source("2", "0.5 0 3 0.01 0.2 0 0.1\n-0.5 0 -4.5 0.01 0.2 0 0.1\n"), "data",
            {"0", "-0.1", "0.5", "0.004"});
  SrcData& s = TSobs.srcobs[1];
  EXPECT_NEAR(s.sig_flux[1][1], 0.3, 1e-12);
  EXPECT_NEAR(s.sig_flux[2][1], 0.45, 1e-12);
  EXPECT_EQ(s.sig_a[1], 0.01);  // sigx 0 keeps the file's position errors
  EXPECT_EQ(s.sig_tdel[2], 0.5);
  EXPECT_EQ(TSobs.galobs[1].sig_a, 0.004);
  EXPECT_EQ(TSobs.galobs[1].sig_b, 0.004);
  load_data(one_source("1", "0.5 0 3 0.01 0.2 0 0.1\n"), "data", {"0.02", "0.7"});
  EXPECT_EQ(TSobs.srcobs[1].sig_a[1], 0.02);
  EXPECT_EQ(TSobs.srcobs[1].sig_b[1], 0.02);
  EXPECT_EQ(TSobs.srcobs[1].sig_flux[1][1], 0.7);
  // An override that is not a finite number is refused, not spread over every error.
  EXPECT_EQ(fatal_message([&] { load_data(one_source("1", "0.5 0 3 0.01 0.2 0 0.1\n"), "data", {"nan"}); }),
            "data: nan is not a finite number");
}

TEST_F(FitDataTest, ZeroErrorsAreNotedOncePerLoad) {
  CaptureOutput out;
  load_data("1\n0 0 0\n1 1\n0 1\n0 1\n1\n2\n0.5 0 3 0.01 0 0 0.1\n-0.5 0 -4 0.01 0 0 0.1\n");
  const std::string t = out.text();
  EXPECT_EQ(count_occurrences(t, "Note: flux errors of 0"), 1);
  EXPECT_EQ(count_occurrences(t, "Note: galaxy position errors of 0"), 1);
}

TEST_F(FitDataTest, ErrorEllipsesGiveTheInverseCovarianceAndAZeroAxisIsRefusedWhenUsed) {
  load_data("1\n0 0 0.01 0.01 0\n1 1\n0 1\n0 1\n1\n2\n"
            "0.5 0 3 0.02 0.01 30 0.2 0 0\n"
            "-0.5 0 -4 0.02 0 0 0.2 0 0\n",
            "data2");
  SrcData& s = TSobs.srcobs[1];
  // Covariance of axes a, b with the major axis along (-sin pa, cos pa).
  const double a = 0.02, b = 0.01, th = 30 * kPi / 180, c = std::cos(th), sn = std::sin(th);
  const double C[2][2] = {{a * a * sn * sn + b * b * c * c, (b * b - a * a) * sn * c},
                          {(b * b - a * a) * sn * c, a * a * c * c + b * b * sn * sn}};
  for (int i = 0; i < 2; ++i)
    for (int j = 0; j < 2; ++j) {
      const double p = s.invcov[1][i][0] * C[0][j] + s.invcov[1][i][1] * C[1][j];
      EXPECT_NEAR(p, i == j ? 1.0 : 0.0, 1e-12);
    }
  for (int i = 0; i < 2; ++i)
    for (int j = 0; j < 2; ++j) EXPECT_TRUE(std::isfinite(s.invcov[2][i][j]));
  EXPECT_EQ(fatal_message([] { require_position_errors(); }),
            "position error of 0 for source #1, image #2; image positions need errors above 0");
}

TEST_F(FitDataTest, RedshiftsGiveScaleFactorsAgainstTheReferenceRedshift) {
  const std::string two = std::string(kGalaxy) + "2\n1 1 1 1 1\n0.5 0 1 0.01 0.1 0 0\n"
                                                 "1 1 1 1 2\n-0.5 0 1 0.01 0.1 0 0\n";
  set("zlens", 0.5);
  load_data(two);
  EXPECT_NEAR(TSobs.srcobs[1].pscale, 0.428353, 1e-6);
  EXPECT_NEAR(TSobs.srcobs[2].pscale, 0.635391, 1e-6);
  // A reference at z = 2, named by zref, or by zsrc while zref is left at its default (the
  // core's reference, which findimg uses); the note says which.
  for (const char* name : {"zsrc", "zref"}) {
    set(name, 2);
    {
      CaptureOutput out;
      load_data(two);
      EXPECT_NE(out.text().find("Note: For source redshift scaling, using z,Dls/Dos= 2.000000e+00 6.353908e-01\n"),
                std::string::npos)
          << name;
    }
    EXPECT_NEAR(TSobs.srcobs[1].pscale, 0.674156, 1e-6) << name;
    EXPECT_NEAR(TSobs.srcobs[2].pscale, 1.0, 1e-12) << name;
    if (std::string(name) == "zsrc") set(name, -1);
  }
  set("zref", 2000);
  {
    CaptureOutput out;
    load_data(two);
    EXPECT_NE(out.text().find("Note: For source redshift scaling, using Dls/Dos=1.\n"), std::string::npos);
  }
  EXPECT_NEAR(TSobs.srcobs[2].pscale, 0.635391, 1e-6);

  // A later source without a redshift turns redshift information off for all.
  {
    CaptureOutput out;
    load_data(std::string(kGalaxy) + "2\n1 1 1 1 1\n0.5 0 1 0.01 0.1 0 0\n1\n-0.5 0 1 0.01 0.1 0 0\n");
    EXPECT_NE(out.text().find("WARNING: source #2 does not have a redshift,\n"), std::string::npos);
  }
  EXPECT_EQ(TSobs.srcobs[1].pscale, 1.0);
  EXPECT_EQ(TSobs.srcobs[2].pscale, 1.0);
}

TEST_F(FitDataTest, SourcesAndReferencesNotBehindTheLensAreRefused) {
  set("zlens", 0.5);
  const std::string at = std::string(kGalaxy) + "1\n1 1 1 1 0.4\n0.5 0 1 0.01 0.1 0 0\n";
  EXPECT_EQ(fatal_message([&] { load_data(at); }), "source #1 has zsrc=0.4, not behind the lens at zlens=0.5");
  set("zref", 0.3);
  const std::string ok = std::string(kGalaxy) + "1\n1 1 1 1 1\n0.5 0 1 0.01 0.1 0 0\n";
  EXPECT_EQ(fatal_message([&] { load_data(ok); }), "zref=0.3 is not behind the lens at zlens=0.5");
}

TEST_F(FitDataTest, MalformedFilesEndWithAnErrorOrEmptyTables) {
  struct Row {
    std::string text, message;
  } rows[] = {
      {"1\n0 0 0.003\n1 1\n", "ends before all its lines were read"},
      {one_source("2", "0.5 0 1 0.01 0.1 0 0\n"), "ends before all its lines were read"},
      {"1\n0\n", "too few galaxy position data entries"},
      {"1\n0 nan 0.003\n1 1\n0 1\n0 1\n", "nan is not a finite number"},
      {one_source("1", "0.5 0 inf 0.01 0.1 0 0\n"), "inf is not a finite number"},
      {one_source("1 nan", "0.5 0 1 0.01 0.1 0 0\n"), "nan is not a finite number"},
      {one_source("1 1 1 1 inf", "0.5 0 1 0.01 0.1 0 0\n"), "inf is not a finite number"},
      {one_source("1", "0.5 0 1 0.01 0.1\n"), "too few image data entries"},
      {one_source("2", "-1 0 -1 0.01 0.1 0\n1 0 -2 0.01 0.1 0\n1\n1 -1 0.1\n"),
       "not enough multiwavelength flux data"},
      {one_source("1", "-1 0 -1 0.01 0.1 0\n2\n"), "you need to increase multiflux"},
      {one_source("1", "-1 0 -1 0.01 0.1 0\n-1\n"), "nflux -1 is not a usable count"},
      {one_source("1", "-1 0 -1 0.01 0.1 0\nnan\n"), "nflux nan is not a usable count"},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.text);
    const std::string m = fatal_message([&] { load_data(r.text); });
    EXPECT_NE(m.find(r.message), std::string::npos) << m;
  }
  // The last value of a line may be left out: a galaxy line "x y" (position not measured),
  // one-value radius, angle and ellipticity lines and a band line without its last error.
  set("multiflux", 2);
  load_data("1\n0.1 0.2\n1\n2\n0.3\n1\n2\n-1 0 -1 0.01 0.1 0\n1 0 -2 0.01 0.1 0\n1\n1 -1 0.1 -2\n");
  ASSERT_EQ(TSobs.Ngalobs, 1);
  EXPECT_EQ(TSobs.galobs[1].y, 0.2);
  EXPECT_EQ(TSobs.galobs[1].sig_a, 0.0);
  EXPECT_EQ(TSobs.galobs[1].PA, 2.0);
  EXPECT_EQ(TSobs.galobs[1].e, 0.3);
  EXPECT_EQ(TSobs.srcobs[1].flux[2][1], -2.0);
  EXPECT_EQ(TSobs.srcobs[1].sig_flux[2][1], 0.0);
  set("multiflux", 1);
  // A count that is not usable ends the load with an ERROR naming the file, the count and
  // its word, and leaves the lens loaded before as it was.
  load_quadoff();
  for (const char* word : {"0", "nan", "2147483648", "1e400", "1.5.2", "-1", "2.5"}) {
    SCOPED_TRACE(word);
    EXPECT_NE(fatal_message([&] {
                load_data(std::string(kGalaxy) + word + "\n");
              }).find(std::string(": Nsrcobs ") + word + " is not a usable count"),
              std::string::npos);
    EXPECT_EQ(TSobs.Ngalobs, 1);
    EXPECT_EQ(TSobs.Nsrcobs, 1);
    EXPECT_EQ(TSobs.srcobs[1].nimg, 4);
  }
  EXPECT_NE(fatal_message([&] { load_data("nan\n"); }).find(": Ngal nan is not a usable count"), std::string::npos);
  EXPECT_NE(
      fatal_message([&] { load_data(std::string(kGalaxy) + "1\n1e400\n"); }).find(": Nimg 1e400 is not a usable count"),
      std::string::npos);
  EXPECT_EQ(TSobs.Nsrcobs, 1);

  set("maximg", 1);
  EXPECT_EQ(fatal_message([&] { load_quadoff(); }),
            "source #1 has 4 images; the\n       code can handle no more than 1");
}

TEST_F(FitDataTest, MultiBandSectionFollowsOnlyWhenEveryFluxIsNegative) {
  set("multiflux", 2);
  load_data(one_source("2", "0.5 0 -1 0.01 0.1 0\n-0.5 0 -2 0.01 0.1 0\n2\n"
                            "1.5 3 0.3 -4 0.4\n2.5 5 0.5 -6 0\n"));
  SrcData& s = TSobs.srcobs[1];
  EXPECT_EQ(s.nflux, 2);
  EXPECT_EQ(s.srcsize[2], 2.5);
  EXPECT_EQ(s.flux[2][1], -4);
  EXPECT_EQ(s.sig_flux[2][2], 0);
  EXPECT_EQ(s.flux[1][2], 5);
  // One flux not negative: no section follows (the next line is the next source).
  load_data(std::string(kGalaxy) + "2\n2\n0.5 0 -1 0.01 0.1 0\n-0.5 0 2 0.01 0.1 0\n1\n0 1 1 0.01 0.1 0\n");
  EXPECT_EQ(TSobs.srcobs[1].nflux, 1);
  EXPECT_EQ(TSobs.srcobs[2].nimg, 1);
}

TEST_F(FitDataTest, ImagesInAGalaxyCoreAreMarked) {
  set("omitcore", 0.1);
  quietflag = 0;
  CaptureOutput out;
  load_data("2\n0 0 0.01\n1 1\n0 1\n0 1\n1 0 0.01\n1 1\n0 1\n0 1\n1\n2\n1.05 0 1 0.01 0.1 0\n-1 0 1 0.01 0.1 0\n");
  EXPECT_EQ(TSobs.srcobs[1].core[1], 2);
  EXPECT_EQ(TSobs.srcobs[1].core[2], 0);
  EXPECT_NE(out.text().find("NOTE: src #1 img #1 is in core of galaxy #2 -- ignoring image\n"), std::string::npos);
}

TEST_F(FitDataTest, NegativeImageGridCountTakesTheObservedImagesOfTheFirstSources) {
  TWsecgrid.imggridp[1] = -2;
  load_data(std::string(kGalaxy) + "3\n4\n1 0 1 0.01 0.1 0\n2 0 1 0.01 0.1 0\n3 0 1 0.01 0.1 0\n4 0 1 0.01 0.1 0\n"
                                   "2\n5 0 1 0.01 0.1 0\n6 0 1 0.01 0.1 0\n2\n7 0 1 0.01 0.1 0\n8 0 1 0.01 0.1 0\n");
  EXPECT_EQ(TWsecgrid.imggridp[1], 6);
  EXPECT_EQ(TWgrid.nimggrid, 6);
  for (int n = 1; n <= 6; ++n) EXPECT_EQ(TWsecgrid.imggridpos[n][1], n);
  EXPECT_EQ(TSobs.srcobs[2].grid[2], 6);
  EXPECT_EQ(TSobs.srcobs[3].grid[1], 0);
}

TEST_F(FitDataTest, BatchEntriesLoadRescaleAndRepeatTheirNoisePerSeed) {
  std::string text;
  for (int e = 1; e <= 3; ++e)
    text += "1\n0 0 0.01\n1 1\n0 1\n0 1\n1\n2\n" + std::to_string(e) + " 0 2 0.01 0.1 0 0.5\n-1 0 -1 0.02 0.2 3 0.5\n";
  load_data(text, "batchdata", {"0", "2"});
  ASSERT_EQ(TSobs.Nbatdat, 3);
  EXPECT_EQ(TSobs.srcbat[3].x[1], 3);
  EXPECT_EQ(TSobs.srcbat[2].sig_a[2], 0.04);
  EXPECT_EQ(TSobs.srcbat[2].sig_tdel[1], 1.0);
  EXPECT_EQ(TSobs.galbat[1].sig_a, 0.02);
  EXPECT_NEAR(TSobs.srcbat[1].invcov[1][0][0], 1 / 4e-4, 1e-6);
  EXPECT_EQ(TSobs.srcobs[1].x[1], 1);  // entry 1 is the current lens
  EXPECT_EQ(TSobs.batch_entry, 1);

  auto noisy = [&](long seed) {
    set("seed", seed);
    load_data(text, "batchdata", {"1"});
    return std::vector<double>{TSobs.galbat[1].x, TSobs.srcbat[2].y[1], TSobs.srcbat[3].flux[2][1],
                               TSobs.srcbat[3].tdel[2]};
  };
  const auto a = noisy(17), b = noisy(17), c = noisy(18);
  EXPECT_EQ(a, b);
  EXPECT_NE(a, c);
  EXPECT_NE(a[1], 0.0);

  // Entry with a position error of 0, copied in: the check names the batch entry.
  load_data(text + "1\n0 0 0.01\n1 1\n0 1\n0 1\n1\n1\n0.5 0 1 0 0.1 0\n", "batchdata");
  use_batch_entry(4);
  EXPECT_EQ(fatal_message([] { require_position_errors(); }),
            "position error of 0 for source #1, image #1 of batch entry 4; image positions need errors above 0");
}

TEST_F(FitDataTest, BatchFilesWithoutAValidEntryOrWithSeveralGalaxiesAreRefused) {
  EXPECT_NE(fatal_message([&] { load_data("0\n", "batchdata"); }).find(": Ngal 0 is not a usable count"),
            std::string::npos);
  EXPECT_NE(fatal_message([&] { load_data("", "batchdata"); }).find("holds no valid entry"), std::string::npos);
  EXPECT_EQ(fatal_message([&] { load_data("2\n", "batchdata"); }),
            "batchdata currently handles only one galaxy per entry");
  EXPECT_EQ(fatal_message([&] { load_data("1\n0 0 0.01\n1 1\n0 1\n0 1\n1\n2\n-1 0 -1 0.01 0.1 0\n1 0 -1 0.01 0.1 0\n1\n1 -1 1 -1 1\n",
                                          "batchdata", {"1"}); }),
            "batchdata cannot currently use noise with multiwavelength data");
}

TEST_F(FitDataTest, CopySourceRefusesRecordsTooSmall) {
  load_quadoff();
  SrcData small;
  small.allocate(3, 1);
  EXPECT_EQ(fatal_message([&] { copysource(TSobs.srcobs[1], small); }), "QVM uh oh maximg");
  SrcData big;
  big.allocate(10, 1);
  copysource(TSobs.srcobs[1], big);
  EXPECT_EQ(big.tdel[3], 0.210596);
  EXPECT_EQ(big.invcov[2][1][1], 1 / 9e-6);
}
