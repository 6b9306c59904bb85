// Start files of one and several models, and the best-fit report.
#include <gtest/gtest.h>

#include <string>

#include "fit/fit_fixture.h"
#include "fit/results.h"

namespace {

class ResultsTest : public FitTest {
 protected:
  void SetUp() override {
    FitTest::SetUp();
    set("chimode", 0);
    set("tempfiles", 0);
  }
};

const char* kFour =
    "alpha 1 0 0 0 0 0.1 0 0 0 1\n"
    "alpha 0.2 0.5 0 0 0 0 0 0 0 1\n"
    "none 0 0 0 0 0 0 0 0 0 0\n"
    "alpha 0.1 -0.5 0 0 0 0 0 0 0 1\n";
const char* kFourVary =
    "1 0 0 0 0 0 0 0 0 0\n"
    "0 1 0 0 0 0 0 0 0 0\n"
    "0 0 1 0 0 0 0 0 0 0\n"
    "0 0 0 1 0 0 0 0 0 0\n";

}  // namespace

TEST_F(ResultsTest, OneModelStartFileLeavesNoneOutAndReadsBack) {
  load_model(kFour, kFourVary, 4);
  const ModelSet& M = TWref;
  writestart(dir.file("one.start"), M.ref[1].names, M.refv, M.ref[1].p);
  EXPECT_EQ(dir.read("one.start"),
            "3 1\n"
            "   alpha 1.000000e+00 0.0 0.0 0.0 0.0 1.000000e-01 0.0 0.0 0.0 1.000000e+00\n"
            "   alpha 2.000000e-01 5.000000e-01 0.0 0.0 0.0 0.0 0.0 0.0 0.0 1.000000e+00\n"
            "   alpha 1.000000e-01 -5.000000e-01 0.0 0.0 0.0 0.0 0.0 0.0 0.0 1.000000e+00\n"
            " 1 0 0 0 0 0 0 0 0 0\n"
            " 0 1 0 0 0 0 0 0 0 0\n"
            " 0 0 0 1 0 0 0 0 0 0\n");
  run_handler(setlens, cmd({"setlens", dir.file("one.start")}));
  EXPECT_EQ(TWref.Ngal, 3);
  EXPECT_EQ(TWref.ref[1].p[3][2], -0.5);
  EXPECT_EQ(TWref.refv[3][4], 1);
}

TEST_F(ResultsTest, MultiModelStartFileIsOrderedByChi) {
  load_model(kQuadoffModel, "1 0 0 0 0 0 0 0 0 0\n");
  BVec<Mat> models(1, 3);
  Vec chi(1, 3);
  const double b[] = {1.1, 1.2, 1.3}, c[] = {5, 2, 9};
  for (int k = 1; k <= 3; ++k) {
    models[k] = TWref.ref[1].p;
    models[k][1][1] = b[k - 1];
    chi[k] = c[k - 1];
  }
  writestartN(dir.file("n.startN"), TWref.ref[1].names, TWref.refv, models, chi, 3);
  EXPECT_EQ(dir.read("n.startN"),
            "1 3\n"
            "# chi= 2.000000e+00\n"
            "   alpha 1.200000e+00 0.0 0.0 0.0 0.0 1.000000e-01 0.0 0.0 0.0 1.000000e+00\n"
            "# chi= 5.000000e+00\n"
            "   alpha 1.100000e+00 0.0 0.0 0.0 0.0 1.000000e-01 0.0 0.0 0.0 1.000000e+00\n"
            "# chi= 9.000000e+00\n"
            "   alpha 1.300000e+00 0.0 0.0 0.0 0.0 1.000000e-01 0.0 0.0 0.0 1.000000e+00\n"
            " 1 0 0 0 0 0 0 0 0 0\n");
  run_handler(setlens, cmd({"setlens", dir.file("n.startN")}));
  ASSERT_EQ(TWref.Nref, 3);
  EXPECT_EQ(TWref.ref[1].p[1][1], 1.2);
  EXPECT_EQ(TWref.ref[3].p[1][1], 1.3);
}

TEST_F(ResultsTest, BothStartFilesKeepTheRedshiftsOfAMultiPlaneModel) {
  set("zlens", 0.5);
  set("zsrc", 2);
  set("gridlo1", 0.05);
  dir.write("mp.dat",
            "2 1 1\nptmass 1 0 0 0 0 0 0 0 0 0 0.5\nptmass 0.25 0.9 -0.6 0 0 0 0 0 0 0 0.3\n"
            "1 0 0 0 0 0 0 0 0 0\n0 0 0 0 0 0 0 0 0 0\n");
  run_handler(setlens, cmd({"setlens", dir.file("mp.dat")}));
  const ModelSet& M = TWref;
  BVec<Mat> models(1, 2);
  models[1] = models[2] = M.ref[1].p;
  Vec chi(1, 2);
  chi[1] = 1;
  chi[2] = 0.5;
  writestart(dir.file("mp.start"), M.ref[1].names, M.refv, M.ref[1].p);
  writestartN(dir.file("mp.startN"), M.ref[1].names, M.refv, models, chi, 2);
  EXPECT_EQ(dir.read("mp.start").substr(0, 6), "2 1 1\n");
  EXPECT_EQ(dir.read("mp.startN").substr(0, 6), "2 2 1\n");
  for (const char* f : {"mp.start", "mp.startN"}) {
    SCOPED_TRACE(f);
    run_handler(setlens, cmd({"setlens", dir.file(f)}));
    EXPECT_NEAR(TWref.ref[1].z[1], 0.5, 1e-6);
    EXPECT_NEAR(TWref.ref[1].z[2], 0.3, 1e-6);
  }
}

TEST_F(ResultsTest, ReportLeavesOutCoreImagesAndPrintsTheSourceScales) {
  load_quadoff();
  load_model(kQuadoffModel, "0 1 1 0 0 0 0 0 0 0\n");
  initmodel(TWref.ref[1], 0);
  TSobs.srcobs[1].core[2] = 1;
  TSobs.srcmod[1] = model_images(1, kQuadoffU, kQuadoffV);
  TSobs.srcmod[1].u = kQuadoffU;
  TSobs.srcmod[1].v = kQuadoffV;
  set("tscale", 3.5);
  FILE* fp = std::fopen(dir.file("rep").c_str(), "w");
  writebest(fp, TWref.ref[1].names, TWref.ref[1].p);
  std::fclose(fp);
  const std::string r = dir.read("rep");
  EXPECT_NE(r.find("Source #1\n  posn:  5.000000e-02  2.000000e-02\n"), std::string::npos) << r;
  EXPECT_EQ(r.find("Dls/Ds:"), std::string::npos);
  EXPECT_NE(r.find("tscale:  3.500000e+00\n"), std::string::npos);
  const size_t at = r.find("images:\n");
  ASSERT_NE(at, std::string::npos);
  EXPECT_EQ(count_occurrences(r.substr(at), " -> "), TSobs.srcobs[1].nimg - 1);
  EXPECT_EQ(r.find(strformat("%8.4f", TSobs.srcobs[1].x[2]), at), std::string::npos);
}
