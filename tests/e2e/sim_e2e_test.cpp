// Simulations as a user runs them from command files: Monte Carlo cross sections of the
// cored isothermal sphere against its closed forms, mock lenses fitted back, batch mocks
// over parameter grids, clump realisation statistics and the two-step simulation.
#include <gtest/gtest.h>

#include <cmath>
#include <sstream>
#include <string>
#include <vector>

#include "support/test_support.h"

namespace {

constexpr double kPi = 3.14159265358979323846;

// Cored isothermal sphere: r_E^2 = 0.9, radial critical radius^2 = 0.0375, caustic
// radius^2 = 0.3375.
const std::string kSphere =
    "setlens 1 1\n"
    "alpha 1 0 0 0 0 0 0 0.05 0 1\n"
    "0 0 0 0 0 0 0 0 0 0\n";

std::vector<std::vector<double>> rows(const std::string& text) {
  std::vector<std::vector<double>> out;
  std::istringstream in(text);
  std::string l;
  while (std::getline(in, l)) {
    const size_t h = l.find('#');
    if (h != std::string::npos) l = l.substr(0, h);
    std::istringstream ls(l);
    std::vector<double> r;
    double v;
    while (ls >> v) r.push_back(v);
    if (!r.empty()) out.push_back(r);
  }
  return out;
}

// Rows of a file after the line that starts with the given text.
std::vector<std::vector<double>> rows_after(const std::string& text, const std::string& mark) {
  const size_t at = text.find(mark);
  if (at == std::string::npos) return {};
  return rows(text.substr(text.find('\n', at) + 1));
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
  const auto raw = rows(d.read("m.stats"));
  ASSERT_GE(raw.size(), 13u);
  EXPECT_NEAR(raw[3][2], area, 1e-6);
  EXPECT_GE(raw[3][1], 0.998 * 20000);
  // nu = -2: B1 area = area x mean total magnification = 2.4 pi.
  const auto biased = rows_after(d.read("m.stats"), "# nu= -2.000000");
  ASSERT_GE(biased.size(), 4u);
  EXPECT_NEAR(biased[3][2], 2.4 * kPi, 0.05 * 2.4 * kPi);
  EXPECT_EQ(count_occurrences(d.read("m2"), "# source position"), 1060);
  // Bootstrap: the raw area is exact in mode 1; the mean separation as the closed form.
  const auto csec = rows(d.read("c.csec"));
  EXPECT_NEAR(csec[2][4], area, 1e-6);
  const auto sep = rows(d.read("s.dat"));
  EXPECT_NEAR(sep[0][0], 1.8593, 0.002);
  const auto hist = rows(d.read("s.hist"));
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
  const auto stats = rows(d.read("k.stats"));
  EXPECT_EQ(stats[3][1], 3);
  EXPECT_NEAR(stats[3][3], kPi * 0.3375, 1e-5);
  for (int k = 1; k <= 3; ++k) {
    const std::string name = "k-o" + std::to_string(k) + ".lens";
    const std::string file = d.read(name);
    double u, v;
    ASSERT_EQ(std::sscanf(file.c_str(), "# source position: %lf %lf", &u, &v), 2) << file;
    const auto data = rows(file);
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
  const auto img = rows(lens);
  bool zero = false;
  for (size_t i = 7; i < img.size(); ++i)
    if (img[i][5] == 0) zero = img[i][6] == 0.01;
  EXPECT_TRUE(zero) << lens;
  // mock3 leaves out the central maximum: two images in its files.
  EXPECT_NE(d.read("t-d1.lens").find("\n1\n2\n"), std::string::npos) << d.read("t-d1.lens");
  const RunResult s = run_commands(d, "set seed 7\n" + cmds);
  ASSERT_EQ(s.status, 0);
  EXPECT_NE(d.read("k.all"), all);
}

}  // namespace
