// Multi-plane models as a user runs them from a command file: images and delays of a lens
// with a perturber in front of it, the settings refresh after a change of redshift, the
// single-redshift case, the void-correction test table and the refusals.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "support/test_support.h"

namespace {

const char* kSetup =
    "set zlens 0.5\n"
    "set zsrc 2\n"
    "set gridlo1 0.05\n";

std::string model(const std::vector<std::string>& lines, bool zflag = true) {
  std::string t = "setlens " + std::to_string(lines.size()) + " 1" + (zflag ? " 1" : "") + "\n";
  for (const auto& l : lines) t += l + "\n";
  for (size_t k = 0; k < lines.size(); ++k) t += "0 0 0 0 0 0 0 0 0 0\n";
  return t;
}

const std::vector<std::string> kLens = {"ptmass 1 0 0 0 0 0 0 0 0 0 0.5",
                                        "ptmass 0.25 0.9 -0.6 0 0 0 0 0 0 0 0.3"};

// The image rows printed after each occurrence of title: x, y, mag, tdel.
std::vector<std::vector<std::array<double, 4>>> tables(const std::string& out, const std::string& title) {
  std::vector<std::vector<std::array<double, 4>>> all;
  std::istringstream in(out);
  std::string l;
  while (std::getline(in, l)) {
    if (l != title) continue;
    std::getline(in, l);  // source
    std::getline(in, l);
    int n = 0;
    std::sscanf(l.c_str(), "# %d images", &n);
    std::vector<std::array<double, 4>> rows;
    for (int i = 0; i < n && std::getline(in, l); ++i) {
      std::array<double, 4> r{};
      std::sscanf(l.c_str(), "%lf %lf %lf %lf", &r[0], &r[1], &r[2], &r[3]);
      rows.push_back(r);
    }
    all.push_back(rows);
  }
  return all;
}

// Each image table printed after "findimg results:", as printed: the source line, the
// count line and the image rows.
std::vector<std::string> blocks(const std::string& out) {
  std::vector<std::string> b;
  std::istringstream in(out);
  std::string l;
  while (std::getline(in, l)) {
    if (l != "findimg results:") continue;
    std::string block, count;
    std::getline(in, l);
    std::getline(in, count);
    block = l + "\n" + count + "\n";
    int n = 0;
    std::sscanf(count.c_str(), "# %d images", &n);
    for (int i = 0; i < n && std::getline(in, l); ++i) block += l + "\n";
    b.push_back(block);
  }
  return b;
}

TEST(LineOfSightE2E, PerturberInFrontOfTheLens) {
  ScratchDir d;
  const RunResult r = run_commands(d, std::string(kSetup) + model(kLens) + "findsrc 1.1 0.3\n");
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  const auto t = tables(r.out, "findsrc results:");
  ASSERT_EQ(t.size(), 1u) << r.out;
  std::istringstream in(r.out.substr(r.out.find("findsrc results:\n") + 17));
  double u, v;
  in >> u >> v;
  EXPECT_NEAR(u, 0.212103, 1e-6);
  EXPECT_NEAR(v, 0.002309, 1e-6);
  // Expected images (x, y, mu, delay in tscale/hval units).
  const std::vector<std::array<double, 4>> expect = {{1.100000, 0.300000, 2.735048, 0.0},
                                                     {0.705439, -0.650368, -0.656860, 9.32874},
                                                     {-0.902064, -0.127792, -2.321346, 29.44892}};
  for (const auto& e : expect) {
    bool found = false;
    for (const auto& row : t[0]) {
      if (std::hypot(row[0] - e[0], row[1] - e[1]) > 2e-6) continue;
      found = true;
      EXPECT_NEAR(row[2], e[2], 2e-6);
      EXPECT_NEAR(row[3], e[3], 2e-5);
    }
    EXPECT_TRUE(found) << e[0] << " " << e[1] << "\n" << r.out;
  }
}

TEST(LineOfSightE2E, SourceRedshiftChangeEqualsAFreshSetUp) {
  ScratchDir d;
  const std::vector<std::string> three = {kLens[0], kLens[1], "ptmass 0.5 0.3 0.1 0 0 0 0 0 0 0 2"};
  const std::string find = "findimg 0.212103 0.002309\n";
  // A component at the source redshift changes nothing; moving the source behind it
  // rebuilds the model exactly as setting it up there does.
  const RunResult a = run_commands(d, std::string(kSetup) + model(kLens) + find + model(three) + find +
                                          "set zsrc 3\n" + find);
  ASSERT_EQ(a.status, 0) << a.out << a.err;
  EXPECT_EQ(count_occurrences(a.out, "Note: lens planes rebuilt for new redshifts\n"), 1);
  const RunResult b = run_commands(d, "set zlens 0.5\nset zsrc 3\nset gridlo1 0.05\n" + model(three) + find);
  ASSERT_EQ(b.status, 0) << b.out << b.err;
  const auto ba = blocks(a.out), bb = blocks(b.out);
  ASSERT_EQ(ba.size(), 3u);
  ASSERT_EQ(bb.size(), 1u);
  EXPECT_EQ(ba[0], ba[1]);
  EXPECT_EQ(ba[2], bb[0]);
  EXPECT_NE(ba[1], ba[2]);
}

TEST(LineOfSightE2E, OneRedshiftForAllIsTheSinglePlaneModel) {
  ScratchDir d;
  const std::vector<std::string> plain = {"alpha 1 0 0 0.2 30 0.05 10 0.1 0 1", "ptmass 0.25 0.9 -0.6 0 0 0 0 0 0 0"};
  const std::string find = "findimg 0.1 0.05\n";
  const RunResult r = run_commands(d, std::string(kSetup) + model(plain, false) + find +
                                          model({plain[0] + " 0.5", plain[1] + " 0.5"}) + find);
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  const auto b = blocks(r.out);
  ASSERT_EQ(b.size(), 2u);
  EXPECT_EQ(b[0], b[1]);
}

TEST(LineOfSightE2E, VoidCorrectionTestTable) {
  ScratchDir d;
  const RunResult r = run_commands(d, std::string(kSetup) + "masscomplete test 0.01 3 1 -1\ntry 0.5 1.0\n");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("masscomplete test 51 101 5.000000e-01 1.000000e+00 4.409843e-01 7.714271e-01 "
                       "6.796905e-01 1.037003e+00  6.796905e-01 1.037003e+00\n"),
            std::string::npos);
  EXPECT_NE(r.out.find("QVM 0.500000 0.440984 : 1.000000 0.771427 : 0.679691 1.037003\n"), std::string::npos);
}

TEST(LineOfSightE2E, Refusals) {
  ScratchDir d;
  struct Case {
    std::string commands, message;
  };
  const std::vector<Case> cases = {
      {"set zlens 2\nset zsrc 2\nset tscale 10\n" + model(kLens), "lens redshift must be smaller than source redshift"},
      {"set zsrc 2\n" + model(kLens), "if redshifts are used, zlens and zsrc should be set"},
      {std::string(kSetup) + model(kLens) + "set zsrc 0.4\nfindimg 0 0\n",
       "lens redshift must be smaller than source redshift"},
      {std::string(kSetup) + "try 0.5 1\n", "no masscomplete tables are loaded"},
      {std::string(kSetup) + "masscomplete test 0 3 1 -1\n", "dz must be positive in masscomplete"},
      {std::string(kSetup) + "shearLOS gal 1 5.0 zbox\n", "with shearLOS zbox, you must specify dz cut"},
      // Numbers that are not finite would fold or cut every component, or fill the tables
      // with NaN, without a word.
      {std::string(kSetup) + "shearLOS pos 0 0 nan\n", "shearLOS: nan is not a finite number"},
      {std::string(kSetup) + "shearLOS gal 1 5.0 HOTlos inf\n", "shearLOS: inf is not a finite number"},
      {std::string(kSetup) + "bridgecut gal 1 1e999\n", "bridgecut: 1e999 is not a finite number"},
      {std::string(kSetup) + "masscomplete test 0.01 3 nan -1\n", "masscomplete: nan is not a finite number"},
  };
  for (const Case& c : cases) {
    const RunResult r = run_commands(d, c.commands);
    EXPECT_EQ(r.status, 1) << c.commands;
    EXPECT_NE(r.out.find("ERROR: " + c.message + "\n"), std::string::npos) << c.commands << r.out;
  }
}

}  // namespace
