// What the README tells a user, run through the real binary: its fitting recipe on mock
// data made by findimg, one redshift reference for findimg and the fit, and the help list.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "support/test_support.h"

namespace {

// The mock lens: an isothermal ellipsoid with external shear, lens at z = 0.5, source at
// z = 2 and at (0.05, 0.03), delays in days for the default h = 0.7.
const char* kTrueLens = "alpha 1 0 0 0.2 30 0.05 -20 0 0 1\n";
const char* kRedshifts = "set zlens 0.5\nset zsrc 2\n";
constexpr double kB = 1.0, kU = 0.05, kV = 0.03, kH = 0.7;

struct Image {
  double x, y, mag, tdel;
};

// The images of the mock lens as findimg writes them (zref left at its default).
std::vector<Image> mock_images(const ScratchDir& d) {
  const RunResult r = run_commands(d, std::string(kRedshifts) + "setlens 1 1\n" + kTrueLens +
                                          "0 0 0 0 0 0 0 0 0 0\nfindimg 0.05 0.03 mock.txt\n");
  EXPECT_EQ(r.status, 0) << r.out;
  std::istringstream in(d.read("mock.txt"));
  std::vector<Image> images;
  std::string line;
  while (std::getline(in, line)) {
    Image m;
    if (line.find('#') == std::string::npos &&
        std::sscanf(line.c_str(), "%lf %lf %lf %lf", &m.x, &m.y, &m.mag, &m.tdel) == 4)
      images.push_back(m);
  }
  return images;
}

// The four bright images as an observed-lens data file: the galaxy at the origin; flux
// the signed magnification; errors 0.003 (positions), 0.5 (fluxes) and 0.5 days (delays).
std::string data_file(const std::vector<Image>& images) {
  std::string out = "1\n0 0 0.003\n0 0\n0 0\n0 0\n1\n4\n";
  int n = 0;
  for (const Image& m : images) {
    if (std::fabs(m.mag) < 1e-3) continue;  // the central image
    out += strformat("%13.6e %13.6e %13.6e 0.003 0.5 %13.6e 0.5\n", m.x, m.y, m.mag, m.tdel);
    ++n;
  }
  EXPECT_EQ(n, 4);
  return out;
}

// The lines of the README's fenced block whose first line begins with first_line.
std::string readme_block(const std::string& first_line) {
  std::ifstream in(source_path("README.md"));
  std::string line, block;
  bool inside = false, found = false;
  while (std::getline(in, line)) {
    if (!inside && line.rfind(first_line, 0) == 0) inside = found = true;
    if (inside && line.rfind("```", 0) == 0) break;
    if (inside) block += line + "\n";
  }
  EXPECT_TRUE(found) << "no README block begins with " << first_line;
  return block;
}

// The value after label in text (NaN when absent).
double value_after(const std::string& text, const std::string& label, int skip = 0) {
  const size_t at = text.find(label);
  if (at == std::string::npos) return std::nan("");
  std::istringstream in(text.substr(at + label.size()));
  double v = std::nan("");
  for (int k = 0; k <= skip; ++k) in >> v;
  return v;
}

TEST(ReadmeE2E, TheFittingRecipeRecoversTheMockLens) {
  ScratchDir d;
  const std::vector<Image> images = mock_images(d);
  d.write("lens.dat", data_file(images));
  // The data file the README shows is the one findimg gives for the mock lens.
  const std::string shown = readme_block("# lens.dat");
  for (const Image& m : images) {
    if (std::fabs(m.mag) < 1e-3) continue;
    EXPECT_NE(shown.find(strformat("%13.6e %13.6e %13.6e", m.x, m.y, m.mag)), std::string::npos) << shown;
  }

  d.write("fit-lens.in", readme_block("# fit-lens.in"));
  const RunResult r = run_tarnsolve(d.path(), {"fit-lens.in"});
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(r.out.find("ERROR"), std::string::npos) << r.out;
  ASSERT_TRUE(d.exists("fit.start") && d.exists("fit.dat")) << r.out;
  const std::string start = d.read("fit.start"), report = d.read("fit.dat");
  EXPECT_NEAR(value_after(start, "alpha"), kB, 1e-3) << start;
  EXPECT_NEAR(value_after(report, "posn:"), kU, 1e-3) << report;
  EXPECT_NEAR(value_after(report, "posn:", 1), kV, 1e-3) << report;
  EXPECT_NEAR(value_after(report, "h:"), kH, 1e-3) << report;
}

// The plotting recipe's files have the layout its gnuplot lines read: curve segments as
// blocks of "x y u v" rows, and img.dat with the source as index 0 and the images as index 1.
TEST(ReadmeE2E, ThePlottingRecipeWritesWhatItsPlotReads) {
  ScratchDir d;
  d.write("plot.in", readme_block("# plot.in"));
  const RunResult r = run_tarnsolve(d.path(), {"-q", "plot.in"});
  EXPECT_EQ(r.status, 0) << r.out;
  const std::string crit = d.read("crit.dat"), img = d.read("img.dat");
  EXPECT_EQ(crit.rfind("# Columns: x y u v\n", 0), 0u) << crit.substr(0, 200);
  EXPECT_GT(count_occurrences(crit, "\n\n"), 10);
  // Two blank lines end gnuplot's index 0 (the source); the five images follow.
  EXPECT_EQ(img.rfind(" 5.000000e-02  3.000000e-02  # source\n\n\n# 5 images:", 0), 0u) << img;
}

// Data made by findimg with zlens and zsrc set and zref at its default are fitted by the
// true model at chi-squared ~0: the fit takes the model at zsrc, as findimg does (it used
// to take it at Dls/Ds = 1, so the true model failed the parity check).
TEST(ReadmeE2E, TheRedshiftRoundTrip) {
  ScratchDir d;
  d.write("lens.dat", data_file(mock_images(d)));
  const RunResult r = run_commands(d, std::string(kRedshifts) +
                                          "set omitcore 0.05\n"
                                          "data lens.dat\n"
                                          "setlens 1 1\n" +
                                          kTrueLens + "0 0 0 0 0 0 0 0 0 0\noptimize true\n");
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find("Note: For source redshift scaling, using z,Dls/Dos= 2.000000e+00 6.353908e-01\n"),
            std::string::npos)
      << r.out;
  EXPECT_EQ(r.out.find("parity"), std::string::npos) << r.out;
  // Under -q optimize prints the total chi-squared alone, as its last line.
  const double chi = std::stod(r.out.substr(r.out.rfind('\n', r.out.size() - 2) + 1));
  EXPECT_LT(chi, 1e-3) << r.out;
}

// Each command of the help list stands on its own line, also one whose summary is empty
// (they used to run into the next command's line) and in quiet mode, where summaries of
// the help texts are not printed.
TEST(ReadmeE2E, TheHelpListHasOneCommandToALine) {
  ScratchDir d;
  for (const bool quiet : {true, false}) {
    const RunResult r = run_tarnsolve(d.path(), quiet ? std::vector<std::string>{"-q"} : std::vector<std::string>{},
                                      "help\n");
    std::istringstream in(r.out);
    std::string line;
    std::vector<std::string> names;
    while (std::getline(in, line)) {
      const size_t sep = line.find(" -- ");
      if (sep == std::string::npos) continue;
      EXPECT_EQ(line.find(" -- ", sep + 4), std::string::npos) << line;
      names.push_back(line.substr(line.rfind(' ', sep - 1) + 1, sep - line.rfind(' ', sep - 1) - 1));
    }
    EXPECT_EQ(names.size(), 170u) << quiet;
    EXPECT_EQ(std::set<std::string>(names.begin(), names.end()).size(), names.size()) << quiet;
    for (const char* name : {"MTseries", "loadnonpar", "bootstrap", "set", "findimg", "optimize", "subsave"})
      EXPECT_EQ(std::count(names.begin(), names.end(), name), 1) << name;
  }
  const RunResult r = run_tarnsolve(d.path(), {}, "help\n");
  EXPECT_NE(r.out.find("\nMTseries -- \nloadnonpar -- \nbootstrap -- "), std::string::npos);
}

}  // namespace
