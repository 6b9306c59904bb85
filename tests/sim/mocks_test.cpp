// Pieces of the mock lenses and simulation output through the library: the luminosity
// function, image classes, brightness values, the FITS table of mock lenses, and the
// record files read back.
#include <gtest/gtest.h>
#include <fitsio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "core/command_fixture.h"
#include "core/lens_model.h"
#include "numeric/constants.h"
#include "numeric/interp.h"
#include "shell/settings.h"
#include "sim/batchmock.h"
#include "sim/clumps.h"
#include "sim/mocks.h"
#include "sim/omega.h"

namespace {

class MockLFTest : public CommandTest {
 protected:
  void TearDown() override {
    TWmock = MockLFState();
    CommandTest::TearDown();
  }
};

TEST_F(MockLFTest, TableRunsFromNoneToAllAndSwapsSlopes) {
  run_handler(mockLF, cmd({"mockLF", "0.01", "2", "1", "1", "100", "1", "-500"}));
  const MockLFState& m = TWmock;
  ASSERT_EQ(m.mock_LFn, 500);
  EXPECT_EQ(m.mock_LF[3][1], 0.0);
  EXPECT_DOUBLE_EQ(m.mock_LF[3][500], 1.0);
  EXPECT_NEAR(m.mock_LF[1][1], -std::log(100.0), 1e-12);
  EXPECT_NEAR(m.mock_LF[1][500], -std::log(0.01), 1e-12);
  // After the swap nu1 = 1 < nu2 = 2: Phi(Lstar) = 1/2.
  double phi;
  linint(m.mock_LF[1], m.mock_LF[2], 500, phi, 0.0);
  EXPECT_NEAR(phi, 0.5, 1e-3);
  EXPECT_GT(m.mock_Plim, 0.0);
  EXPECT_LT(m.mock_Plim, 1.0);
  // Draws follow the cumulative table: the fraction brighter than Lstar is F(0).
  const double F0 = mock_LF_frac(0.0);
  int bright = 0;
  const int n = 20000;
  for (int i = 0; i < n; ++i) {
    const double L = mockflux();
    ASSERT_GE(L, 0.01 * (1 - 1e-9));
    ASSERT_LE(L, 100 * (1 + 1e-9));
    bright += L > 1.0;
  }
  EXPECT_NEAR(static_cast<double>(bright) / n, F0, 4 * std::sqrt(F0 * (1 - F0) / n));
}

TEST_F(MockLFTest, WithoutTableOrLimit) {
  const long before = TWmock.mock_seed.seed;
  EXPECT_EQ(mockflux(), 1.0);
  EXPECT_EQ(TWmock.mock_seed.seed, before);
  // A limit of 0 (or below) means every source counts: fraction 1.
  run_handler(mockLF, cmd({"mockLF", "0.01", "1", "1", "2", "100", "0"}));
  EXPECT_EQ(TWmock.mock_Plim, 1.0);
  run_handler(mockLF, cmd({"mockLF", "0.01", "1", "1", "2", "100", "-3"}));
  EXPECT_EQ(TWmock.mock_Plim, 1.0);
  EXPECT_EQ(fatal_message([] { run_handler(mockLF, cmd({"mockLF", "0.01", "-1", "1", "2", "100", "1"})); }),
            "mockLF slopes must be positive");
}

TEST(MockPieces, ImageClassFromSecondDerivatives) {
  struct Case {
    double xx, yy, xy;
    int parity;
  } cases[] = {
      {0.0, 0.0, 0.0, 1},   // unlensed: minimum
      {0.5, -0.5, 0.0, 1},  // both eigenvalues 0.5
      {1.5, 0.5, 0.0, -1},  // one negative: saddle
      {0.2, 0.2, 0.9, -1},  // off-diagonal saddle
      {3.0, 3.0, 0.0, 0},   // both negative: maximum
  };
  for (const Case& c : cases) EXPECT_EQ(mock_parity(c.xx, c.yy, c.xy, c.xy), c.parity) << c.xx << " " << c.yy;
}

TEST(MockPieces, BrightnessValues) {
  Mat L(1, 4, 1, 9);
  // Brightest at (1, 0); the second brightest lies close to it; a fainter one far off.
  const double rows[4][3] = {{1.0, 0.0, 5.0}, {0.9, 0.1, -4.0}, {-1.0, 0.0, 2.0}, {0.0, 0.05, 0.5}};
  for (int i = 0; i < 4; ++i)
    for (int j = 0; j < 3; ++j) L[i + 1][j + 1] = rows[i][j];
  double B1, B2, B3, sep;
  mock_brightness(4, L, B1, B2, B3, sep);
  EXPECT_DOUBLE_EQ(B1, 11.5);
  EXPECT_DOUBLE_EQ(B2, 4.0);
  EXPECT_DOUBLE_EQ(sep, 2.0);
  EXPECT_DOUBLE_EQ(B3, 2.0);
  mock_brightness(1, L, B1, B2, B3, sep);
  EXPECT_EQ(B1, 5.0);
  EXPECT_EQ(B2, 0.0);
  EXPECT_EQ(B3, 0.0);
  EXPECT_EQ(sep, -1.0);
  mock_brightness(0, L, B1, B2, B3, sep);
  EXPECT_EQ(B1, 1.0);
}

// ---- FITS table ----

struct FitsTable {
  int ncols = 0;
  long nrows = 0;
  std::vector<std::string> names;
  fitsfile* f = nullptr;
  explicit FitsTable(const std::string& path) {
    int status = 0;
    ffopen(&f, path.c_str(), READONLY, &status);
    ffmnhd(f, BINARY_TBL, const_cast<char*>("MODEL_REALISATIONS"), 0, &status);
    ffgncl(f, &ncols, &status);
    ffgnrw(f, &nrows, &status);
    for (int c = 1; c <= ncols; ++c) {
      char key[FLEN_KEYWORD], val[FLEN_VALUE];
      ffkeyn("TTYPE", c, key, &status);
      ffgkys(f, key, val, nullptr, &status);
      names.push_back(val);
    }
    EXPECT_EQ(status, 0);
  }
  ~FitsTable() {
    int s = 0;
    ffclos(f, &s);
  }
  double get(const std::string& col, long row) {
    int c = 0, status = 0, anynul = 0;
    ffgcno(f, CASEINSEN, const_cast<char*>(col.c_str()), &c, &status);
    double v = 0;
    ffgcv(f, TDOUBLE, c, row, 1, 1, nullptr, &v, &anynul, &status);
    EXPECT_EQ(status, 0) << col;
    return v;
  }
  std::string form(const std::string& col) {
    int c = 0, status = 0;
    ffgcno(f, CASEINSEN, const_cast<char*>(col.c_str()), &c, &status);
    char key[FLEN_KEYWORD], val[FLEN_VALUE];
    ffkeyn("TFORM", c, key, &status);
    ffgkys(f, key, val, nullptr, &status);
    return val;
  }
};

class FitsRowTest : public ::testing::Test {
 protected:
  ScratchDir dir;
  std::string path = dir.file("t.fits");
  Mat params{1, 2, 1, 10};
  BVec<ClumpPop> pops{1, 2};
  double nfw[11] = {};
  const double noise[4] = {0.01, 0.002, 0.1, 0.5};
  void SetUp() override {
    for (int i = 1; i <= 2; ++i)
      for (int j = 1; j <= 10; ++j) params[i][j] = 10 * i + j;
    pops[2].type = CLUMP_NFW;
    pops[2].m = 1e-3;
    pops[2].parms[4] = 7;
    for (int k = 0; k < 11; ++k) nfw[k] = k;
    ASSERT_TRUE(write_header_create_table(path, "MODEL_REALISATIONS", 2, 1, 2, noise, 0.3, 0.7, 0.7));
  }
  bool row(int H, const Mat& img, long seed, int nd, int nq, int coord = 2, int N = 2) {
    CaptureOutput out;
    const bool ok = write_table(path, "MODEL_REALISATIONS", N, coord, 3, params, pops, 0.5, 2.0, 0.1, -0.2, H, img,
                                nd, nq, seed, nfw);
    last = out.text();
    return ok;
  }
  std::string last;
};

Mat images(std::initializer_list<std::initializer_list<double>> rows) {
  Mat m(1, static_cast<long>(rows.size()), 1, 4);
  int i = 0;
  for (const auto& r : rows) {
    int j = 0;
    ++i;
    for (double v : r) m[i][++j] = v;
  }
  return m;
}

TEST_F(FitsRowTest, ColumnsRowsAndImageSlots) {
  // A double: earlier delay first, slots 3 and 4 missing.
  ASSERT_TRUE(row(2, images({{1, 0, 3, 0.4}, {-1, 0, -2, 0.0}}), 123456, 1, 0));
  // A quad with its leading image (delay 0) at 300 degrees; others at 10, 200 and 100.
  auto at = [](double deg, double t) {
    const double a = deg * kPi / 180;
    return std::vector<double>{std::cos(a), std::sin(a), deg, t};
  };
  Mat q(1, 4, 1, 4);
  const std::vector<double> r[4] = {at(10, 0.2), at(300, 0.0), at(200, 0.3), at(100, 0.1)};
  for (int i = 0; i < 4; ++i)
    for (int j = 0; j < 4; ++j) q[i + 1][j + 1] = r[i][static_cast<size_t>(j)];
  ASSERT_TRUE(row(4, q, -70000, 1, 1));
  // A quad without an image at delay exactly 0: the earliest leads.
  for (int i = 1; i <= 4; ++i) q[i][4] += 0.05;
  ASSERT_TRUE(row(4, q, 5, 1, 2));

  FitsTable t(path);
  EXPECT_EQ(t.ncols, 73);
  EXPECT_EQ(t.nrows, 3);
  EXPECT_EQ(t.names[2], "MOD_ID_1");
  EXPECT_EQ(t.names[3], "LENS1NORM");
  EXPECT_EQ(t.names[6], "LENS1ELLIP");
  for (const char* c : {"MOD_ID_1", "CLUMP1ID", "SEED", "DOUBLE_ID", "QUAD_ID"}) EXPECT_EQ(t.form(c), "1J") << c;
  EXPECT_EQ(t.get("Z_SRC", 1), 2.0);
  EXPECT_EQ(t.get("MOD_ID_1", 1), 3.0);
  EXPECT_EQ(t.get("LENS2PROFILEINDEX", 1), 30.0);
  EXPECT_EQ(t.get("CLUMP2ID", 1), CLUMP_NFW);
  EXPECT_EQ(t.get("CLUMP2P5", 1), 7.0);
  EXPECT_EQ(t.get("NFWCL_11", 1), 10.0);
  EXPECT_EQ(t.get("SEED", 1), 123456.0);  // beyond 16 bits
  EXPECT_EQ(t.get("SEED", 2), -70000.0);
  EXPECT_EQ(t.get("DOUBLE_ID", 1), 1.0);
  EXPECT_EQ(t.get("QUAD_ID", 1), 0.0);
  EXPECT_EQ(t.get("DOUBLE_ID", 2), 0.0);
  EXPECT_EQ(t.get("QUAD_ID", 3), 2.0);
  EXPECT_EQ(t.get("IMG1X", 1), -1.0);
  EXPECT_EQ(t.get("IMG2FLUX", 1), 3.0);
  for (const char* c : {"IMG3X", "IMG4TD"}) EXPECT_EQ(t.get(c, 1), kFitsMissing);
  // Leading image (300), then decreasing relative angle: 200 (260), 100 (160), 10 (70).
  const double order[4] = {300, 200, 100, 10};
  for (int k = 0; k < 4; ++k) {
    EXPECT_NEAR(t.get("IMG" + std::to_string(k + 1) + "FLUX", 2), order[k], 1e-12) << k;
    EXPECT_NEAR(t.get("IMG" + std::to_string(k + 1) + "FLUX", 3), order[k], 1e-12) << k;
  }
  char cw[FLEN_VALUE];
  int status = 0, nl = 0;
  ffgky(t.f, TINT, "N_LENSES", &nl, nullptr, &status);
  ffgky(t.f, TSTRING, "COORD", cw, nullptr, &status);
  EXPECT_EQ(nl, 2);
  EXPECT_STREQ(cw, "POLAR");
}

TEST_F(FitsRowTest, TableOfOtherShapeTakesNoRows) {
  const Mat img = images({{1, 0, 3, 0.0}});
  EXPECT_FALSE(row(1, img, 1, 1, 0, 1));  // Cartesian row into a polar table
  EXPECT_EQ(count_occurrences(last, "\n"), 1) << last;
  EXPECT_FALSE(row(1, img, 1, 1, 0, 2, 3));  // three lenses into a table of two
  EXPECT_FALSE(write_header_create_table(path, "MODEL_REALISATIONS", 3, 1, 2, noise, 0.3, 0.7, 0.7));
  FitsTable t(path);
  EXPECT_EQ(t.nrows, 0);
}

// ---- record files ----

class RecordTest : public CommandTest {
 protected:
  ScratchDir d;
  void SetUp() override {
    CommandTest::SetUp();
    d.write("m.dat", "2 1\nalpha 1 0 0 0.1 0 0 0 0.05 0 1\nptmass 0.1 1.5 0 0 0 0 0 0 0 0\n"
                     "1 0 0 1 0 0 0 0 0 0\n0 0 0 0 0 0 0 0 0 0\n");
    run_handler(setlens, cmd({"setlens", d.file("m.dat")}));
  }
  void TearDown() override {
    OMEGAwrite_close();
    TWomega = OmegaWriteState();
    CommandTest::TearDown();
  }
};

TEST_F(RecordTest, RecordsReadBackInBothFormatsAndMergeToCsv) {
  const Mat img = images({{1, 0, 3, 0.0}, {-1, 0.5, -2, 0.25}});
  for (const char* kind : {"binary", "text"}) {
    const std::string f = d.file(std::string("r.") + kind);
    run_handler(OMEGAwrite, cmd({"OMEGAwrite", f, kind, "2"}));
    OMEGAwrite_mock(2, img, 0.1, 0.2, 1.5);
    OMEGAwrite_mock(1, img, 0.3, 0.4, 2.5);
    OMEGAwrite_close();
    OmegaRecordFile rf;
    ASSERT_EQ(OMEGAmerge_read(f, std::string(kind) == "binary" ? 1 : 2, true, rf), 2) << kind;
    EXPECT_EQ(rf.Ngal, 2);
    EXPECT_EQ(rf.nvar, 2);
    EXPECT_EQ(rf.nsub, 0);
    EXPECT_EQ(rf.names[1], "ptmass");
    EXPECT_EQ(rf.params[3], 0.1);
    EXPECT_EQ(rf.vary[3], 1);
    EXPECT_EQ(rf.maxH, 2);
    // Varied parameters of model 1, source, flux, images.
    EXPECT_EQ(rf.records[0].values, (std::vector<double>{1, 0.1, 0.1, 0.2, 1.5}));
    EXPECT_EQ(rf.records[0].images, (std::vector<double>{1, 0, 3, 0, -1, 0.5, -2, 0.25}));
    EXPECT_EQ(rf.records[1].H, 1);
  }
  // The text layout: one line per component of varied values, then the source line.
  const std::string text = d.read("r.text");
  EXPECT_NE(text.find("\n 1.000000e+00 1.000000e-01\n\n 1.000000e-01 2.000000e-01 1.500000e+00 2\n"),
            std::string::npos)
      << text;
  d.write("list", "2 binary\n" + d.file("r.binary") + "\n" + d.file("r.binary") + "\n");
  CaptureOutput out;
  run_handler(OMEGAmerge, cmd({"OMEGAmerge", d.file("list"), d.file("m.csv"), "csv", "0", "3"}));
  const std::string csv = d.read("m.csv");
  EXPECT_EQ(count_occurrences(csv, ",\n"), 4) << csv;
  // Third slot of a two-image record is padded with zeros.
  EXPECT_NE(csv.find("-2.000000,0.250000,0.000000,0.000000,0.000000,0.000000,\n"), std::string::npos) << csv;
  EXPECT_NE(out.text().find("Column 18: img3td\n"), std::string::npos) << out.text();
  // The merge's own output type does not change the record format.
  EXPECT_EQ(TWomega.OMEGAwrite_bin, 2);
}

TEST_F(RecordTest, StreamClosedByAMergeReopensForTheNextRecord) {
  const Mat img = images({{1, 0, 3, 0.0}});
  const std::string f = d.file("s.text");
  run_handler(OMEGAwrite, cmd({"OMEGAwrite", f, "text", "2"}));
  OMEGAwrite_mock(1, img, 0.1, 0.2, 1.0);
  d.write("list", "1 text\n" + f + "\n");
  run_handler(OMEGAmerge, cmd({"OMEGAmerge", d.file("list"), d.file("out"), "binary"}));
  EXPECT_EQ(TWomega.OMEGAwrite_out, nullptr);
  OMEGAwrite_mock(1, img, 0.3, 0.4, 1.0);
  OMEGAwrite_close();
  OmegaRecordFile rf;
  EXPECT_EQ(OMEGAmerge_read(f, 2, true, rf), 2);
  EXPECT_EQ(rf.records[1].values[2], 0.3);
  // The merged binary file: 2 + 3 values and 4 image values as doubles, H as an int.
  EXPECT_EQ(d.read("out").size(), 9 * sizeof(double) + sizeof(int));
}

// A record file that cannot be opened for a record ends the run naming it and the reason,
// whether it is opened per record or reopened after a merge closed the stream.
TEST_F(RecordTest, RecordFileThatCannotBeOpenedIsNamedWithTheReason) {
  const Mat img = images({{1, 0, 3, 0.0}});
  mkdir(d.file("sub").c_str(), 0755);
  const std::string f = d.file("sub/r.text");
  for (const char* mode : {"1", "2"}) {
    run_handler(OMEGAwrite, cmd({"OMEGAwrite", f, "text", mode}));
    OMEGAwrite_close();
    std::remove(f.c_str());
    rmdir(d.file("sub").c_str());
    EXPECT_EQ(fatal_message([&] { OMEGAwrite_mock(1, img, 0.1, 0.2, 1.0); }),
              "OMEGAwrite: could not open " + f + ": No such file or directory")
        << mode;
    mkdir(d.file("sub").c_str(), 0755);
  }
}

TEST_F(RecordTest, DamagedCountsAreRefusedBeforeTheyAreUsed) {
  // A header or an image count larger than the file could hold must not size anything.
  auto ints = [](std::vector<int> v) { return std::string(reinterpret_cast<const char*>(v.data()), v.size() * sizeof(int)); };
  const std::string f = d.file("r.binary");
  run_handler(OMEGAwrite, cmd({"OMEGAwrite", f, "binary", "2"}));
  OMEGAwrite_mock(1, images({{1, 0, 3, 0.0}}), 0.1, 0.2, 1.5);
  OMEGAwrite_close();
  const std::string good = d.read("r.binary");
  const std::string bigH = good.substr(0, good.size() - 4 * sizeof(double) - sizeof(int)) + ints({1000000000});
  for (const std::string& text : {ints({2000000000, 0, 0}), ints({0, 0, 400000000}), bigH}) {
    d.write("bad", text);
    OmegaRecordFile rf;
    EXPECT_NE(fatal_message([&] { OMEGAmerge_read(d.file("bad"), 1, true, rf); }).find("is not a complete record file"),
              std::string::npos);
  }
  d.write("bad", "1000000000 0 0\n");
  OmegaRecordFile rf;
  EXPECT_NE(fatal_message([&] { OMEGAmerge_read(d.file("bad"), 2, true, rf); }).find("is not a complete record file"),
            std::string::npos);
}

TEST_F(RecordTest, RefusesMismatchedFiles) {
  const std::string f = d.file("r.text");
  run_handler(OMEGAwrite, cmd({"OMEGAwrite", f, "text"}));
  d.write("other", "1 0 0\n   alpha 1 0 0 0 0 0 0 0 0 1\n 0 0 0 0 0 0 0 0 0 0\n");
  d.write("list", "2 text\n" + f + "\n" + d.file("other") + "\n");
  EXPECT_NE(fatal_message([&] { run_handler(OMEGAmerge, cmd({"OMEGAmerge", d.file("list"), d.file("o"), "text"})); })
                .find("other"),
            std::string::npos);
  EXPECT_EQ(fatal_message([&] { run_handler(OMEGAwrite, cmd({"OMEGAwrite", d.file("other"), "text"})); }),
            "OMEGAwrite: number of galaxies has changed since setup");
  EXPECT_EQ(fatal_message([&] { run_handler(OMEGAwrite, cmd({"OMEGAwrite", f, "words"})); }), "unknown format in OMEGAwrite");
  EXPECT_EQ(fatal_message([&] { run_handler(OMEGAwrite, cmd({"OMEGAwrite", f, "text", "3"})); }), "invalid mode in OMEGAwrite");
  EXPECT_NE(fatal_message([&] { run_handler(OMEGAwrite, cmd({"OMEGAwrite", d.file("no/such/dir/r"), "text"})); })
                .find("could not create"),
            std::string::npos);
}

}  // namespace

namespace {

class MockRunTest : public CommandTest {
 protected:
  ScratchDir d;
  long saved = mock_draw_limit;
  void SetUp() override {
    CommandTest::SetUp();
    SetVar("gridflag", 0, 1);
    SetGlob();
    d.write("m.dat", "1 1\nalpha 1 0 0 0 0 0 0 0.05 0 1\n0 0 0 0 0 0 0 0 0 0\n");
    run_handler(setlens, cmd({"setlens", d.file("m.dat")}));
    mock_draw_limit = 300;
  }
  void TearDown() override {
    mock_draw_limit = saved;
    TWmock = MockLFState();
    CommandTest::TearDown();
  }
};

TEST_F(MockRunTest, RunsThatKeepNothingStopWithTheirCountsAndCompleteRecords) {
  // A limiting luminosity far above any lens's brightness: every source is faint.
  run_handler(mockLF, cmd({"mockLF", "0.01", "1", "1", "2", "100", "1e9"}));
  const std::string base = d.file("k");
  EXPECT_EQ(fatal_message([&] { run_handler(mocklens, cmd({"mocklens", base, "2"})); }),
            "in mocklens: 300 sources drawn in a row with none kept (drawn 300, kept 0)");
  const std::string all = d.read("k.all");
  EXPECT_EQ(count_occurrences(all, "# faint"), 300);
  EXPECT_EQ(count_occurrences(all, "# x y f tdel parity\n"), 900);
  // Exactly four counted images: the sphere never gives them (a core image makes three).
  TWmock = MockLFState();
  EXPECT_EQ(fatal_message([&] { run_handler(mocklens, cmd({"mocklens", base, "2", "1", "4"})); }),
            "in mocklens: 300 sources drawn in a row with none kept (drawn 300, kept 0)");
  // The same window in a batch mock.
  SetVar("batchwrite", 0, 1);
  EXPECT_EQ(fatal_message([&] { run_handler(batchmock1, cmd({"batchmock1", base, "2", "1", "-4"})); }),
            "in batchmock1: 300 sources drawn in a row with none kept (drawn 300, kept 0)");
}

}  // namespace
