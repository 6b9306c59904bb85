// Simulations as a user runs them from command files: Monte Carlo cross sections of the
// cored isothermal sphere against its closed forms, mock lenses fitted back, batch mocks
// over parameter grids, clump realisation statistics and the two-step simulation.
#include <gtest/gtest.h>
#include <fitsio.h>

#include <cmath>
#include <cstdio>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "numeric/constants.h"
#include "support/numeric_rows.h"
#include "support/test_support.h"

namespace {

// Cored isothermal sphere: r_E^2 = 0.9, radial critical radius^2 = 0.0375, caustic
// radius^2 = 0.3375.
const std::string kSphere =
    "setlens 1 1\n"
    "alpha 1 0 0 0 0 0 0 0.05 0 1\n"
    "0 0 0 0 0 0 0 0 0 0\n";

// Rows of a file after the line that starts with the given text.
std::vector<std::vector<double>> rows_after(const std::string& text, const std::string& mark) {
  const size_t at = text.find(mark);
  if (at == std::string::npos) return {};
  return numeric_rows(text.substr(text.find('\n', at) + 1));
}

TEST(SimE2E, CrossSectionsOfTheSphereMatchTheClosedForms) {
  ScratchDir d;
  const RunResult r = run_commands(d, kSphere +
                                          "mock1 m 20000\n"
                                          "mock2 m2 1000\n"
                                          "mockcsec c 5000 -2 -2 1 20\n"
                                          "csec2sep c 5000 -2 -2 1 s 1 3 41\n");
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  const double area = kPi * 0.3375;
  const auto raw = numeric_rows(d.read("m.stats"));
  ASSERT_GE(raw.size(), 13u);
  EXPECT_NEAR(raw[3][2], area, 1e-6);
  EXPECT_GE(raw[3][1], 0.998 * 20000);
  // nu = -2: B1 area = area x mean total magnification = 2.4 pi.
  const auto biased = rows_after(d.read("m.stats"), "# nu= -2.000000");
  ASSERT_GE(biased.size(), 4u);
  EXPECT_NEAR(biased[3][2], 2.4 * kPi, 0.05 * 2.4 * kPi);
  EXPECT_EQ(count_occurrences(d.read("m2"), "# source position"), 1060);
  // Bootstrap: the raw area is exact in mode 1; the mean separation as the closed form.
  const auto csec = numeric_rows(d.read("c.csec"));
  EXPECT_NEAR(csec[2][4], area, 1e-6);
  const auto sep = numeric_rows(d.read("s.dat"));
  EXPECT_NEAR(sep[0][0], 1.8593, 0.002);
  const auto hist = numeric_rows(d.read("s.hist"));
  double sum = 0;
  for (int k = 0; k < 41; ++k) sum += hist[static_cast<size_t>(k)][1] * 0.05;
  EXPECT_NEAR(sum, 1.0, 1e-9);
}

TEST(SimE2E, NoMultiplyImagedRegionDrawsNothingAndZeroDivisorsStayFinite) {
  ScratchDir d;
  // Too weak to form caustics: no critical points count.
  const RunResult r = run_commands(d,
                                   "setlens 1 1\nalpha 0.01 0 0 0 0 0 0 0.5 0 1\n0 0 0 0 0 0 0 0 0 0\n"
                                   "mocklens k -10\nmock1 m 100\nmock2 m2 10\nmock1 z 0\n"
                                   "mock1 b 100 0 0.5 0.5 1\n");
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_GE(count_occurrences(r.out, "no multiply imaged region"), 3) << r.out;
  EXPECT_NE(r.out.find("no sources: the cross sections are 0"), std::string::npos);
  EXPECT_FALSE(d.exists("k-o1.lens"));
  for (const char* f : {"k.stats", "m.stats", "z.stats", "b.stats"}) {
    const std::string t = d.read(f);
    EXPECT_EQ(t.find("nan"), std::string::npos) << f << t;
    EXPECT_EQ(t.find("inf"), std::string::npos) << f << t;
  }
  // A lens that has a region: slope 0.5 (nu > -1) with single-image B2 = 0 stays finite.
  const RunResult r2 = run_commands(d, kSphere + "set omitcore 0.1\nmock1 b 300 0 0.5 0.5 1\n");
  ASSERT_EQ(r2.status, 0) << r2.out;
  const std::string b = d.read("b.stats");
  EXPECT_EQ(b.find("inf"), std::string::npos) << b;
  EXPECT_EQ(b.find("nan"), std::string::npos) << b;
}

TEST(SimE2E, CommandsThatCannotKeepAnythingStop) {
  ScratchDir d;
  struct Case {
    std::string cmds, message;
  } cases[] = {
      {"mockcsec c 100 -2 -2 1 0\n", "bootstrap resamplings must be at least 1"},
      {"mockcsec c 0 -2 -2 1 5\n", "number of sources must not be 0"},
      {"mocklens k 5 3\n", "unknown source mode in mocklens"},
      {"mock3 k 1 0 0 0 0 3\n", "unknown mode in mock3"},
      {"csec2sep c 5 -2 -2 1 s 1 3 1\n", "at least 2 steps"},
      // Counts, densities, slopes and noise that are not finite numbers.
      {"mock2 m inf\n", "mock2: inf is not a finite number"},
      {"mockcsec c 50 -2 nan 1 20\n", "mockcsec: nan is not a finite number"},
      {"mockLF 0.01 nan 1 -2 100 0.1\n", "mockLF: nan is not a finite number"},
      {"mocklens k 2 1 0 nan 0.001 0.05 0.01 0\n", "mocklens: nan is not a finite number"},
      {"magdistsrc 0.1 0 inf md\n", "magdistsrc: inf is not a finite number"},
      {"OMEGAstep1 0.2 nan 1 o\n", "OMEGAstep1: nan is not a finite number"},
  };
  for (const Case& c : cases) {
    const RunResult r = run_commands(d, kSphere + c.cmds);
    EXPECT_EQ(r.status, 1) << c.cmds;
    EXPECT_NE(r.out.find(c.message), std::string::npos) << c.cmds << r.out;
  }
  // csec2sep on a file that holds fewer lenses than asked for.
  const RunResult w = run_commands(d, kSphere + "mockcsec c 10 -2 -2 1 2\ncsec2sep c 20 -2 -2 1 s 1 3 5\n");
  EXPECT_EQ(w.status, 1);
  EXPECT_NE(w.out.find("ends after 10 of 20 lenses"), std::string::npos) << w.out;
}

TEST(SimE2E, MockLensesLoadAndFitBackToTheirModel) {
  ScratchDir d;
  const RunResult r = run_commands(d, kSphere + "mocklens k 3 1 0 0.01 0.001 0.05 0.01 0\n");
  ASSERT_EQ(r.status, 0) << r.out;
  for (const char* f : {"k.all", "k.dat", "k.stats"}) EXPECT_TRUE(d.exists(f)) << f;
  const auto stats = numeric_rows(d.read("k.stats"));
  EXPECT_EQ(stats[3][1], 3);
  EXPECT_NEAR(stats[3][3], kPi * 0.3375, 1e-5);
  for (int k = 1; k <= 3; ++k) {
    const std::string name = "k-o" + std::to_string(k) + ".lens";
    const std::string file = d.read(name);
    double u, v;
    ASSERT_EQ(std::sscanf(file.c_str(), "# source position: %lf %lf", &u, &v), 2) << file;
    const auto data = numeric_rows(file);
    // Galaxy, three placeholder lines, counts, then the three images.
    ASSERT_EQ(data.size(), 10u) << file;
    std::ostringstream cmds;
    cmds << "set chimode 0\nset tempfiles 0\nset timeweight 0\ndata " << name << "\n"
         << kSphere << "findimg " << u << " " << v << "\noptimize fit\n";
    const RunResult f = run_tarnsolve(d.path(), {}, cmds.str());
    ASSERT_EQ(f.status, 0) << f.out;
    const auto found = rows_after(f.out, "# 3 images:");
    ASSERT_GE(found.size(), 3u) << f.out;
    // Every written image is found again with its magnification (no noise was added).
    for (int i = 7; i < 10; ++i) {
      bool hit = false;
      for (size_t j = 0; j < 3; ++j)
        if (std::hypot(found[j][0] - data[static_cast<size_t>(i)][0], found[j][1] - data[static_cast<size_t>(i)][1]) <
                1e-5 &&
            std::fabs(found[j][2] - data[static_cast<size_t>(i)][2]) < 1e-4 * std::fabs(found[j][2]))
          hit = true;
      EXPECT_TRUE(hit) << name << " image " << i - 6;
    }
    const size_t at = f.out.find("chisq ");
    ASSERT_NE(at, std::string::npos) << f.out;
    EXPECT_LT(std::stod(f.out.substr(at + 6)), 1e-4) << f.out.substr(at, 40);
  }
}

TEST(SimE2E, MockLensesWithNoiseAndLuminositiesAreRepeatable) {
  ScratchDir d;
  const std::string cmds = "galgrid 1 0.01 2 20 0 360 24\n" + kSphere +
                           "mockLF 0.01 1 1 2 100 0.5\n"
                           "mocklens k 5 2 2 0.01 0.001 0.05 0.01\n"
                           "mock3 t 3 0.01 0.001 0.05 0.01\n";
  ASSERT_EQ(run_commands(d, cmds).status, 0);
  const std::string all = d.read("k.all"), lens = d.read("k-o1.lens"), m3 = d.read("t-o1.lens");
  const RunResult r = run_commands(d, cmds);
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(d.read("k.all"), all);
  EXPECT_EQ(d.read("t-o1.lens"), m3);
  EXPECT_NE(all.find("image plane radius: "), std::string::npos);
  // Every data file starts its delays at 0, with error 0.01 there.
  const auto img = numeric_rows(lens);
  bool zero = false;
  for (size_t i = 7; i < img.size(); ++i)
    if (img[i][5] == 0) zero = img[i][6] == 0.01;
  EXPECT_TRUE(zero) << lens;
  // mock3 leaves out the central maximum: two images in its files.
  EXPECT_NE(d.read("t-d1.lens").find("\n1\n2\n"), std::string::npos) << d.read("t-d1.lens");
  // Off centre, the image classes of mock3 are still taken where the images are: the
  // core image is left out, so a three-image lens is a double.
  const RunResult off = run_commands(d, "setlens 1 1\nalpha 1 0.5 0 0 0 0 0 0.05 0 1\n0 0 0 0 0 0 0 0 0 0\n"
                                        "mock3 x 3 0 0 0 0\n");
  ASSERT_EQ(off.status, 0) << off.out;
  EXPECT_TRUE(d.exists("x-d1.lens"));
  EXPECT_FALSE(d.exists("x-o1.lens"));
  const RunResult s = run_commands(d, "set seed 7\n" + cmds);
  ASSERT_EQ(s.status, 0);
  EXPECT_NE(d.read("k.all"), all);
}

TEST(SimE2E, BatchMocksStepTheirParametersAndSplitTheirRecords) {
  ScratchDir d;
  const std::string one = "set gridhi1 20\nset ngrid1 60\nsetlens 1 1\nalpha 1 0 0 0 0 0 0 0.05 0 1\n"
                          "1 0 0 0 0 0 0 0 0 0\n";
  const RunResult r = run_commands(d, one + "batchmock1 m 3\n1 9 3\nbatchmock1 l 1\n1 9 3 log\n");
  ASSERT_EQ(r.status, 0) << r.out;
  auto col = [](const std::string& t, size_t c) {
    std::vector<double> v;
    for (const auto& row : numeric_rows(t)) v.push_back(row.at(c));
    return v;
  };
  EXPECT_EQ(col(d.read("m-o-p.dat"), 1), (std::vector<double>{1, 1, 1, 5, 5, 5, 9, 9, 9}));
  EXPECT_EQ(col(d.read("l-o-p.dat"), 1), (std::vector<double>{1, 3, 9}));
  EXPECT_EQ(col(d.read("l-o-p.dat"), 0), (std::vector<double>{1, 2, 3}));
  EXPECT_EQ(d.read("m-d.start"), "1 0\n 1 0 0 0 0 0 0 0 0 0\n");

  // Two varied parameters, 2 x 3 steps: six models, the last parameter fastest.
  const RunResult two = run_commands(d,
                                     "setlens 2 1\nalpha 1 0 0 0 0 0 0 0.05 0 1\nptmass 0.01 1.5 0 0 0 0 0 0 0 0\n"
                                     "1 0 0 0 0 0 0 0 0 0\n0 1 0 0 0 0 0 0 0 0\n"
                                     "batchmock1 s 1\n0.9 1.1 2\n1 1.2 3\n");
  ASSERT_EQ(two.status, 0) << two.out;
  const std::string tmp = d.read("s.tmp");
  const char* labels[6] = {"1 1", "1 2", "1 3", "2 1", "2 2", "2 3"};
  size_t at = 0;
  for (int m = 0; m < 6; ++m) {
    at = tmp.find("# model " + std::to_string(m + 1) + " indices " + labels[m] + " other", at);
    EXPECT_NE(at, std::string::npos) << m;
  }

  // Near b = 1 the default grid holds all three images: nine records that load back.
  const RunResult near = run_commands(d,
                                      "setlens 1 1\nalpha 1 0 0 0 0 0 0 0.05 0 1\n1 0 0 0 0 0 0 0 0 0\n"
                                      "batchmock1 n 3\n0.9 1.1 3\n"
                                      "setlens n-o.start\nbatchdata n-o.dat\n");
  ASSERT_EQ(near.status, 0) << near.out;
  EXPECT_NE(near.out.find("Number of entries in batch data file: 9"), std::string::npos) << near.out;
  EXPECT_EQ(count_occurrences(d.read("n-o.dat"), "\n3\n"), 9);
  EXPECT_EQ(numeric_rows(d.read("n-o.img")).size(), 27u);
  EXPECT_EQ(d.read("n-o.start").rfind("1 9\n# model 1 indices 1 other 1\n   alpha", 0), 0u);
  // Each record's leading image has delay 0 and delay error 0.01.
  EXPECT_EQ(count_occurrences(d.read("n-o.img"), " 0.000000e+00  1.000000e-02\n"), 9);
}

TEST(SimE2E, BatchMockFitsRowsReadBack) {
  ScratchDir d;
  const RunResult r = run_commands(d,
                                   // A grid that holds the outer images of b = 1.1.
                                   "set batchwrite 2\nset gridhi1 3\nsetlens 2 1\nalpha 1 0 0 0.2 10 0 0 0.05 0 1\n"
                                   "alpha 0.1 1.5 0 0 0 0 0 0 0 1\n1 0 0 0 0 0 0 0 0 0\n0 0 0 0 0 0 0 0 0 0\n"
                                   "set seed 40000\nbatchmock1 q 2 1 0 0 0 0 0 2\n0.9 1.1 2\n");
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_FALSE(d.exists("q.tmp"));
  EXPECT_FALSE(d.exists("q-o.dat"));
  fitsfile* f = nullptr;
  int status = 0, ncols = 0;
  long nrows = 0;
  ffopen(&f, d.file("q.fits").c_str(), READONLY, &status);
  ffmnhd(f, BINARY_TBL, const_cast<char*>("MODEL_REALISATIONS"), 0, &status);
  ffgncl(f, &ncols, &status);
  ffgnrw(f, &nrows, &status);
  EXPECT_EQ(ncols, 73);
  EXPECT_EQ(nrows, 4);
  int c = 0, anynul = 0;
  long seed = 0, model[4] = {};
  ffgcno(f, CASEINSEN, const_cast<char*>("SEED"), &c, &status);
  ffgcv(f, TLONG, c, 1, 1, 1, nullptr, &seed, &anynul, &status);
  ffgcno(f, CASEINSEN, const_cast<char*>("MOD_ID_1"), &c, &status);
  ffgcv(f, TLONG, c, 1, 1, 4, nullptr, model, &anynul, &status);
  double norm[4] = {};
  ffgcno(f, CASEINSEN, const_cast<char*>("LENS1NORM"), &c, &status);
  ffgcv(f, TDOUBLE, c, 1, 1, 4, nullptr, norm, &anynul, &status);
  ffclos(f, &status);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(seed, 40000);
  EXPECT_EQ(model[0], 1);
  EXPECT_EQ(model[3], 2);
  EXPECT_EQ(norm[0], 0.9);
  EXPECT_EQ(norm[3], 1.1);
}

TEST(SimE2E, BatchMockSourceListsNoiseModesAndRefusedModels) {
  ScratchDir d;
  d.write("src.txt", "0.1 0.05\n0.2 -0.1 2\n");
  const std::string model = "setlens 1 1\nalpha 1 0 0 0 0 0 0 0.05 0 1\n1 0 0 1 0 0 0 0 0 0\n";
  const RunResult r = run_commands(d, model +
                                          // Five sources asked for, two listed: each model uses the two.
                                          "batchmock2 w2 5 src.txt 0 0.01 0.001 0 0.01 2\n0.9 1.1 2\n0 0 1\n"
                                          "batchmock2 w1 0 src.txt 0 0.01 0.001 0 0.01 1\n1 1 1\n0 0 1\n"
                                          // No steps: no models, the split files still written.
                                          "batchmock1 w0 1\n1 2 0\n0 0 1\n"
                                          // Grid values the loader refuses: skipped at once.
                                          "batchmock1 we 1\n1 1 1\n1.2 1.4 2\n");
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(numeric_rows(d.read("w2-o-p.dat")).size(), 4u);
  EXPECT_EQ(d.read("w0-d.start"), "1 0\n 1 0 0 1 0 0 0 0 0 0\n");
  EXPECT_EQ(d.read("w0-o.dat"), "");
  EXPECT_NE(r.out.find("parameters out of bounds in batchmock1; model 2 skipped"), std::string::npos) << r.out;
  // Noise after shifting moves the written galaxy; before shifting it stays at 0, 0.
  const auto after = numeric_rows(d.read("w2-o.dat")), before = numeric_rows(d.read("w1-o.dat"));
  ASSERT_GE(after.size(), 2u);
  EXPECT_NE(after[1][0], 0.0);
  EXPECT_EQ(before[1][0], 0.0);
  EXPECT_EQ(before[1][1], 0.0);
  // The source's own flux (2) scales its images.
  const std::string w1 = d.read("w1-o.dat");
  const auto second = rows_after(w1, "# source position: 2.000000e-01 -1.000000e-01");
  ASSERT_GE(second.size(), 10u);
  const RunResult f = run_commands(d, model + "findimg 0.2 -0.1\n");
  const auto found = rows_after(f.out, "# 3 images:");
  ASSERT_EQ(found.size(), 3u) << f.out;
  double sum_file = 0, sum_found = 0;
  for (int i = 0; i < 3; ++i) sum_file += std::fabs(second[7 + static_cast<size_t>(i)][2]);
  for (const auto& row : found) sum_found += std::fabs(row[2]);
  EXPECT_NEAR(sum_file, 2 * sum_found, 1e-4 * sum_found);
  const RunResult log = run_commands(d, model + "batchmock1 wl 1\n2 2 3 log\n1 1 1\n");
  EXPECT_EQ(log.status, 1);
  EXPECT_NE(log.out.find("ERROR: batchmock: range cannot be 0 with log steps"), std::string::npos) << log.out;
  // A range or a listed source that is not a finite number.
  d.write("nan.txt", "0.1 nan\n");
  for (const auto& c : {std::make_pair(model + "batchmock1 wn 1\n0.9 inf 2\n0 0 1\n", "ERROR: batchmock1: inf is not"),
                        std::make_pair(model + "batchmock2 wn 1 nan.txt\n1 1 1\n0 0 1\n", "ERROR: batchmock2: nan is not")}) {
    const RunResult bad = run_commands(d, c.first);
    EXPECT_EQ(bad.status, 1) << c.first;
    EXPECT_NE(bad.out.find(c.second), std::string::npos) << bad.out;
  }
}

// One population of stars over the sphere (the clump tests' population).
const std::string kClumps = "set gridflag = 0\n" + kSphere + "setclumps 1 0 3\n1 0.001 1 0 star 0\n";

TEST(SimE2E, RealisationStatisticsAreRepeatableAndMatchTheSmoothModel) {
  ScratchDir d;
  const std::string cmds = kClumps +
                           "imgarray 1\n0.5 0\n"
                           "magdistimg 100 md\n"
                           "clumpcheckR 0.5 0 1 3.5 3 5 cr\n";
  ASSERT_EQ(run_commands(d, cmds).status, 0);
  const std::string md = d.read("md-mag.dat"), cr = d.read("cr.all");
  const RunResult r = run_commands(d, cmds);
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(d.read("md-mag.dat"), md);
  EXPECT_EQ(d.read("cr.all"), cr);
  // Mean deflection over realisations is the smooth model's, alpha(0.5) = 0.904988.
  const auto all = numeric_rows(d.read("md-all.dat"));
  ASSERT_EQ(all.size(), 100u);
  double s = 0, s2 = 0;
  for (const auto& row : all) s += row[1], s2 += row[1] * row[1];
  const double mean = s / 100, se = std::sqrt((s2 / 100 - mean * mean) / 99);
  EXPECT_NEAR(mean, 0.904988, 3 * se);
  // Truncated at the population's outer radius, the field is the full one: no spread.
  const auto err = numeric_rows(d.read("cr-err.dat"));
  ASSERT_EQ(err.size(), 3u);
  EXPECT_EQ(err[2][0], 3.5);
  for (size_t k = 1; k < err[2].size(); ++k) EXPECT_EQ(err[2][k], 0.0) << k;
  EXPECT_GT(err[0][1], 0.0);
  const RunResult seven = run_commands(d, "set seed 7\n" + cmds);
  ASSERT_EQ(seven.status, 0);
  EXPECT_NE(d.read("md-mag.dat"), md);
  // Realisations 6, 7 and 8 of seed 7 once all started at -1: every realisation is its own.
  std::set<std::vector<double>> distinct;
  for (const auto& row : numeric_rows(d.read("md-all.dat"))) distinct.insert(row);
  EXPECT_EQ(distinct.size(), 100u);
}

TEST(SimE2E, RealisationStatisticsWithoutClumpsRepeatTheSmoothModel) {
  ScratchDir d;
  const RunResult r = run_commands(d, kSphere +
                                          "ranlens rl 0.1 0.05 2 3 3 0\n"
                                          "ranlens1 r1 2 1 0.1 0.05\n"
                                          "ranlens1 r5 1 5 0.3\n"
                                          "magdistsrc 0.1 0.05 2 ms\n"
                                          "magdistsrc 5 5 1 none\n");
  ASSERT_EQ(r.status, 0) << r.out;
  // Three images each time, at distance 0 from the smooth ones, flux 2 x magnification.
  const auto rl = numeric_rows(d.read("rl.dat"));
  ASSERT_EQ(rl.size(), 3u);
  for (const auto& row : rl) {
    ASSERT_EQ(row.size(), 10u);
    for (int k = 1; k <= 3; ++k) EXPECT_LT(row[static_cast<size_t>(k)], 1e-6);
    EXPECT_EQ(row[7], 0.0);  // delays from the earliest image
  }
  EXPECT_EQ(count_occurrences(d.read("rl.all"), "parities: 1 1 1\n"), 3);
  const auto r1 = numeric_rows(d.read("r1.dat"));
  EXPECT_EQ(count_occurrences(d.read("r1.dat"), " tot 3 "), 2);
  EXPECT_EQ(count_occurrences(d.read("r5.all"), "lens   1\n"), 5);
  for (const auto& row : numeric_rows(d.read("r5.all")))
    if (row.size() == 3 && row[0] >= 1 && row[0] <= 5) { EXPECT_LE(std::hypot(row[1], row[2]), 0.3 + 1e-12); }
  const auto ms = numeric_rows(d.read("ms.dat"));
  ASSERT_EQ(ms.size(), 2u);
  EXPECT_EQ(ms[0], ms[1]);
  EXPECT_EQ(ms[0][2], 3);
  EXPECT_EQ(numeric_rows(d.read("none.dat"))[0], (std::vector<double>{0, 0, 0}));
}

TEST(SimE2E, TwoStepSimulationSolvesItsLocalModel) {
  ScratchDir d;
  const RunResult r = run_commands(d,
                                   "set leafsize 0.4\n" + kSphere +
                                       "setclumps 1 0 3\n1 0.01 1 0 star 0\n"
                                       "OMEGAstep1 0.2 0 1 o 0.05 0.2 40\n");
  ASSERT_EQ(r.status, 0) << r.out;
  const auto img = numeric_rows(d.read("o-img.dat"));
  ASSERT_GE(img.size(), 3u);  // realisation, count, then image 1
  const std::string model = d.read("o-ran1-mod1.dat");
  // The lines of a command file that runs: settings, grid, model, vary lines, step 2.
  const size_t set = model.find("setlens "), conv = model.find("convrg "), step = model.find("OMEGAstep2 ");
  EXPECT_EQ(model.rfind("set shrcoords = 1\n# ptimg ", 0), 0u);
  EXPECT_LT(model.find("maingrid 1 "), set);
  EXPECT_LT(set, conv);
  EXPECT_LT(conv, model.find("  0 0 0 0 0 0 0 0 0 0\n"));
  EXPECT_LT(model.find("# potential reference"), step);
  const RunResult s = run_tarnsolve(d.path(), {"-q", "o-ran1-mod1.dat"});
  ASSERT_EQ(s.status, 0) << s.out;
  const auto found = rows_after(s.out, " images:  x  y  mag  tdel");
  bool hit = false;
  for (const auto& f : found)
    if (std::hypot(f[0] - img[2][0], f[1] - img[2][1]) < 1e-5) hit = true;
  EXPECT_TRUE(hit) << s.out;
}

TEST(SimE2E, StatisticsStopWhenTheGridCannotHoldEveryImage) {
  ScratchDir d;
  // An isothermal ellipsoid of b = 1.2 (with a small core, so that its central images are
  // found alike on every grid): outer images of sources near its caustics lie beyond the
  // default grid (radius 2), though the sources lie within the grid's images.
  const std::string sie = "setlens 1 1\nalpha 1.2 0 0 0.3 0 0 0 0.05 0 1\n0 0 0 0 0 0 0 0 0 0\n";
  d.write("far.txt", "2.5 0\n");
  struct Case {
    std::string cmds, who, output;
  } cases[] = {
      {"mock1 m 2000 2\n", "mock1", "m.stats"},
      {"mock2 m 100\n", "mock2", "m.stats"},
      {"mockcsec c 100 -2 -2 1 5\n", "mockcsec", "c.dat"},
      {"mocklens k 5\n", "mocklens", "k.all"},
      {"batchmock1 b 5\n", "batchmock1, model 1", "b-o.dat"},
      // One listed source whose single image lies beyond the grid.
      {"batchmock2 f 0 far.txt\n", "batchmock2, model 1", "f-o.dat"},
  };
  std::string message;
  for (const Case& c : cases) {
    const RunResult r = run_commands(d, sie + c.cmds);
    EXPECT_EQ(r.status, 1) << c.cmds << r.out;
    const std::string head = "ERROR: in " + c.who + ": the grid does not hold every image of the sources drawn: ";
    EXPECT_NE(r.out.find(head + "set gridhi1 to at least "), std::string::npos) << c.cmds << r.out;
    EXPECT_FALSE(d.exists(c.output)) << c.cmds;
    if (message.empty()) message = r.out;
  }
  // A grid just large enough for the check counts the images of every source as one
  // twice as large does, and no source goes without an image.
  double needed = 0;
  ASSERT_EQ(std::sscanf(message.substr(message.find("at least ")).c_str(), "at least %lf", &needed), 1) << message;
  EXPECT_GT(needed, 2.0);
  EXPECT_LT(needed, 3.0);
  std::vector<std::vector<double>> tables[2];
  for (int k = 0; k < 2; ++k) {
    std::ostringstream set;
    set << "set gridhi1 " << needed * (k + 1) << "\n";
    const RunResult r = run_commands(d, set.str() + sie + "mock1 m 2000 2\n");
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(r.out.find("outside known source range"), std::string::npos) << r.out;
    const auto rows = numeric_rows(d.read("m.stats"));
    ASSERT_GE(rows.size(), 13u);
    for (size_t H = 0; H <= 12; ++H) tables[k].push_back({rows[H][0], rows[H][1]});
  }
  EXPECT_EQ(tables[0], tables[1]);
  EXPECT_EQ(tables[0][0][1], 0);

  // Magnification-weighted draws pick image-plane points only within 0.98 gridhi1: that
  // grid is too small for them, and the radius they name suffices.
  std::ostringstream at;
  at << "set gridhi1 " << needed << "\n";
  const RunResult w = run_commands(d, at.str() + sie + "mock1 w -200\n");
  EXPECT_EQ(w.status, 1) << w.out;
  EXPECT_FALSE(d.exists("w.stats"));
  double weighted = 0;
  ASSERT_EQ(std::sscanf(w.out.substr(w.out.find("at least ")).c_str(), "at least %lf", &weighted), 1) << w.out;
  EXPECT_GE(weighted, needed / 0.98 * 0.99);
  std::ostringstream wider;
  wider << "set gridhi1 " << weighted << "\n";
  EXPECT_EQ(run_commands(d, wider.str() + sie + "mock1 w -200\nmockcsec c -200 -2 -2 1 5\n").status, 0);
}

TEST(SimE2E, BatchMocksCheckEveryModelBeforeWritingAnything) {
  ScratchDir d;
  // An isothermal ellipsoid stepped over b = 0.9, 1.1, 1.3: a grid of radius 1.8 holds the
  // images of the first model only.
  const std::string model = "set batchwrite 3\nsetlens 1 1\nalpha 0.9 0 0 0.3 0 0 0 0.05 0 1\n";
  const std::string stepped = model + "1 0 0 0 0 0 0 0 0 0\nbatchmock1 q 20\n0.9 1.3 3\n";
  const char* files[] = {"q.tmp", "q.fits", "q-o.dat", "q-q.dat", "q-d.start"};
  const RunResult r = run_commands(d, "set gridhi1 1.8\n" + stepped);
  EXPECT_EQ(r.status, 1) << r.out;
  const std::string head = "ERROR: in batchmock1, model 2: the grid does not hold every image of the sources drawn: ";
  ASSERT_NE(r.out.find(head + "set gridhi1 to at least "), std::string::npos) << r.out;
  // Nothing is written before every model has been checked.
  for (const char* f : files) EXPECT_FALSE(d.exists(f)) << f;
  // The radius named holds the images of every model, the largest included.
  double named = 0;
  ASSERT_EQ(std::sscanf(r.out.substr(r.out.find("at least ")).c_str(), "at least %lf", &named), 1) << r.out;
  std::ostringstream set;
  set << "set gridhi1 " << named << "\n";
  const RunResult ok = run_commands(d, set.str() + stepped);
  ASSERT_EQ(ok.status, 0) << ok.out;
  for (const char* f : files) EXPECT_TRUE(d.exists(f)) << f;
  EXPECT_NE(d.read("q.tmp").find("# model 3 indices 3 "), std::string::npos);

  // A randomly drawn angle makes the models known only as they run: the model that fails
  // then ends the batch without the files it began, and leaves a table made before alone.
  const std::string random = model + "1 0 0 0 1 0 0 0 0 0\nbatchmock1 q 20\n0.9 1.3 3\n0 0 -1\n";
  const RunResult late = run_commands(d, "set gridhi1 1.8\n" + random);
  EXPECT_EQ(late.status, 1) << late.out;
  EXPECT_NE(late.out.find(head), std::string::npos) << late.out;
  EXPECT_FALSE(d.exists("q.tmp"));
  EXPECT_TRUE(d.exists("q.fits"));
  std::remove(d.file("q.fits").c_str());
  EXPECT_EQ(run_commands(d, "set gridhi1 1.8\n" + random).status, 1);
  EXPECT_FALSE(d.exists("q.tmp"));
  EXPECT_FALSE(d.exists("q.fits"));
}

}  // namespace
