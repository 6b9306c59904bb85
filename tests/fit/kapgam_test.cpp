// Convergence and shear at points: closed forms of the isothermal lens, every model of
// the model set, the observed images with their distance ratios, and the errors.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>

#include "fit/fit_fixture.h"
#include "fit/kapgam.h"

namespace {

class KapgamTest : public FitTest {
 protected:
  std::string run(std::vector<std::string> w) {
    CaptureOutput out;
    run_handler(kapgam, WordArray(w));
    return out.text();
  }
};

TEST_F(KapgamTest, PointValuesOfTheIsothermalLens) {
  // kappa = b / 2r = 0.25 at r = 2; the shear of the isothermal sphere equals kappa and is
  // tangential: theta = PA of (1.2, 1.6) - 90 = -36.87 degrees (the core 1e-4 lowers gamma).
  load_model("alpha 1 0 0 0 0 0 0 0 0 1\n", "0 0 0 0 0 0 0 0 0 0\n");
  EXPECT_EQ(run({"kapgam", "1", "1.2", "1.6"}), "kappa,gamma,theta= 2.500000e-01 2.499750e-01 -3.686990e+01\n");
  load_model("alpha 1 0 0 0 0 0.1 30 0 0 1\n", "0 0 0 0 0 0 0 0 0 0\n");
  EXPECT_EQ(run({"kapgam", "1", "1.2", "1.6"}), "kappa,gamma,theta= 2.500000e-01 1.947350e-01 -2.598093e+01\n");
  // At the centre the lens is round: no shear, angle 0.
  load_model("alpha 1 0 0 0 0 0 0 0.2 0 1\n", "0 0 0 0 0 0 0 0 0 0\n");
  double k, g, t, ax, ay;
  kapgam_at(0, 0, k, g, t, ax, ay);
  EXPECT_EQ(g, 0.0);
  EXPECT_EQ(t, 0.0);
  EXPECT_NEAR(k, 1 / (2 * 0.2), 1e-12);  // b / 2s at the centre of the cored sphere
}

// Mode 2 evaluates every model at the same positions, read once.
TEST_F(KapgamTest, FilePositionsForEveryModel) {
  dir.write("model.dat", "1 2\nalpha 1 0 0 0 0 0 0 0 0 1\nalpha 2 0 0 0 0 0 0 0 0 1\n0 0 0 0 0 0 0 0 0 0\n");
  run_handler(setlens, cmd({"setlens", dir.file("model.dat")}));
  dir.write("pos.dat", "2 # number of points\n# a comment\n1.2 1.6\n0 3\n");
  std::string out = run({"kapgam", "2", dir.file("pos.dat")});
  EXPECT_EQ(out.substr(0, out.find('\n')), "Opened input file: " + dir.file("pos.dat"));
  out = out.substr(out.find('\n') + 1);
  const std::string expected = "kapgam output:  index  x  y  kappa  gamma  theta\n\n" +
                               strformat(" 1 %13.6e %13.6e %13.6e", 1.2, 1.6, 0.25) + "\n";
  EXPECT_EQ(out.substr(0, expected.size() - 1), expected.substr(0, expected.size() - 1));
  // Two blocks of two lines, the second model twice as strong.
  EXPECT_EQ(count_occurrences(out, "\n 1 "), 2);
  EXPECT_EQ(count_occurrences(out, "\n 2 "), 2);
  EXPECT_NE(out.find(strformat(" 2 %13.6e %13.6e %13.6e", 0.0, 3.0, 2.0 / 6)), std::string::npos);
  // Model 1 is loaded again afterwards.
  double k, g, t, ax, ay;
  kapgam_at(1.2, 1.6, k, g, t, ax, ay);
  EXPECT_NEAR(k, 0.25, 1e-4);
}

// Mode 3 at the observed images: each source at its own distance ratio (Dmode 1) or at
// the reference one (Dmode 2); a source without images writes only its header line.
TEST_F(KapgamTest, ObservedImagesAndDistanceRatios) {
  set("zlens", 0.5);
  load_model("alpha 1 0 0 0 0 0.1 30 0 0 1\n", "0 0 0 0 0 0 0 0 0 0\n");
  load_data("1\n0 0 0.003\n1 1\n0 1\n0 1\n2\n"
            "2 1 1 1 2\n1.2 0.1 1 0.003 0.5 0 0\n-0.8 0.3 -1 0.003 0.5 0 0\n"
            "1 1 1 1 2\n0.5 0.5 1 0.003 0.5 0 0\n");
  const double ratio = 0.635391;  // the lens strength at zsrc 2 against that at zref
  auto values = [&](const std::string& text, int source) {
    std::vector<std::array<double, 8>> rows;
    size_t at = text.find(strformat("source #%d\n", source));
    EXPECT_NE(at, std::string::npos);
    at = text.find('\n', at) + 1;
    std::array<double, 8> r;
    int k;
    while (std::sscanf(text.c_str() + at, "%d %lf %lf %lf %lf %lf %lf %lf", &k, &r[0], &r[1], &r[2], &r[3], &r[4],
                       &r[5], &r[6]) >= 6) {
      rows.push_back(r);
      at = text.find('\n', at) + 1;
    }
    return rows;
  };
  const std::string d1 = run({"kapgam", "3", dir.file("k1.dat"), "1", "1"});
  const std::string d2 = run({"kapgam", "3", dir.file("k2.dat"), "1", "2"});
  EXPECT_EQ(d1, "Opened output file: " + dir.file("k1.dat") + "\n");  // the table goes to the file
  const std::string t1 = dir.read("k1.dat"), t2 = dir.read("k2.dat");
  EXPECT_EQ(t1.substr(0, t1.find('\n')), "kapgam output:  index  x  y  kappa  gamma  theta  alphax  alphay");
  const auto a = values(t1, 1), b = values(t2, 1);
  ASSERT_EQ(a.size(), 2u);
  ASSERT_EQ(b.size(), 2u);
  for (int k = 0; k < 2; ++k) {
    EXPECT_NEAR(a[k][2] / b[k][2], ratio, 2e-6);  // kappa
    EXPECT_NEAR(a[k][3] / b[k][3], ratio, 2e-6);  // gamma
    EXPECT_NEAR(a[k][4], b[k][4], 1e-5);          // theta
    EXPECT_NEAR(a[k][5] / b[k][5], ratio, 2e-6);  // deflection
  }
  EXPECT_EQ(TWmod.scale, 1.0);
  // Without alpha: five numbers after the index.
  const std::string plain = run({"kapgam", "3"});
  EXPECT_NE(plain.find(strformat("source #1\n 1 %13.6e %13.6e ", 1.2, 0.1)), std::string::npos);
  const size_t line = plain.find(" 1  1.2");
  EXPECT_EQ(std::count(plain.begin() + line, plain.begin() + plain.find('\n', line), 'e'), 5);
}

TEST_F(KapgamTest, Errors) {
  load_model("alpha 1 0 0 0 0 0 0 0 0 1\n", "0 0 0 0 0 0 0 0 0 0\n");
  dir.write("short.dat", "3\n1 1\n2\n");
  dir.write("nan.dat", "2\n1 1\nnan 2\n");
  struct Case {
    std::vector<std::string> words;
    std::string message;
  };
  const Case cases[] = {
      {{"kapgam", "5"}, "unknown mode in kapgam"},
      {{"kapgam", "0", "1", "1"}, "unknown mode in kapgam"},
      {{"kapgam", "3", dir.file("o.dat"), "0", "3"}, "in kapgam, unknown value of Dmode"},
      {{"kapgam", "2", dir.file("short.dat")}, "too few entries in kapgam input file"},
      {{"kapgam", "2", dir.file("none.dat")}, "could not open kapgam input file"},
      {{"kapgam", "2", dir.file("nan.dat")}, "kapgam: nan is not a finite number"},
      {{"kapgam", "1", "0", "0", dir.path() + "/no/such/dir"},
       "could not open kapgam output file: " + dir.path() + "/no/such/dir: No such file or directory"},
  };
  for (const Case& c : cases) EXPECT_EQ(fatal_message([&] { run(c.words); }), c.message) << c.words[1];
  // Too few words: the help only.
  quietflag = 0;
  EXPECT_NE(run({"kapgam", "1", "0.5"}).find("kapgam 2 <inname> [outname]"), std::string::npos);
  EXPECT_NE(run({"kapgam"}).find("kapgam <mode> [other arguments]"), std::string::npos);
}

}  // namespace

namespace {

// Mode 4 re-fits each model (here with nothing varied) and reports at the images the
// fitted model predicts; the model set keeps its parameters.
TEST_F(KapgamTest, PredictedImagesAfterTheFit) {
  load_quadoff_model("0 0 0 0 0 0 0 0 0 0\n");
  load_quadoff();
  set("gridflag", 1);
  const Mat start = TWref.ref[1].p;
  run({"kapgam", "4", dir.file("k4.dat"), "0", "2"});
  const std::string out = dir.read("k4.dat");
  const size_t at = out.find("source #1\n");
  ASSERT_NE(at, std::string::npos) << out;
  const SrcData& obs = TSobs.srcobs[1];
  const char* p = out.c_str() + at + 10;
  for (int k = 1; k <= obs.nimg; ++k) {
    int index;
    double x, y, kap, gam, th;
    ASSERT_EQ(std::sscanf(p, "%d %lf %lf %lf %lf %lf", &index, &x, &y, &kap, &gam, &th), 6);
    EXPECT_EQ(index, k);
    // The quadoff lens images its source onto the observed images.
    EXPECT_NEAR(x, obs.x[k], 1e-5);
    EXPECT_NEAR(y, obs.y[k], 1e-5);
    double k2, g2, t2, ax, ay;
    kapgam_at(x, y, k2, g2, t2, ax, ay);
    EXPECT_NEAR(kap, k2, 1e-5);
    EXPECT_NEAR(gam, g2, 1e-5);
    p = std::strchr(p, '\n') + 1;
  }
  for (int k = 1; k <= 10; ++k) EXPECT_EQ(TWref.ref[1].p[1][k], start[1][k]);
}

}  // namespace
