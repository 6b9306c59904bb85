// The split of the batch-fit record file, and the statistics of the clump marginalisation.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "fit/batchfit.h"
#include "fit/fit_fixture.h"
#include "io/qvmfile.h"
#include "numeric/random.h"

namespace {

// Two lens records as batchfit_write leaves them. Lens 3 has the plain layout (one model
// line, a printed source redshift, two images); lens 7 has none of it: no redshift, a
// distance-ratio line, three images, an extra model image, correlated-position residuals
// and an rms line after its chi-squared line.
const std::string kReport3 =
    "LENS PARMS:\n"
    "   alpha 1.000000e+00 0.0 0.0 0.0 0.0 1.000000e-01 0.0 0.0 0.0 1.000000e+00\n"
    "SOURCE PARMS:\n"
    "   ptsrc 1.000000e+00 5.000000e-02 2.000000e-02 0.0 0.0 0.0 0.0 0.0\n"
    "CHISQ: 1.0e-05 1.0e-05 0 0 0 0 0 0 0 # tot pos flux tdel gal plim crv ring weak\n"
    "\n"
    "Source #1\n"
    "  posn:  5.000000e-02  2.000000e-02\n"
    "  flux:  1.000000e+00\n"
    "     h:  7.000000e-01\n"
    "  zsrc:  2.000000e+00\n"
    "tscale:  1.000000e+00\n"
    "images:\n"
    "   1.1638   0.0823 (3.0e-03)   4.5915 ( 5.00e-01)   0.00 (1.0e-02) ->   1.1638   0.0823   4.5915   0.0000\n"
    "  -1.0468   0.1314 (3.0e-03)   7.4594 ( 5.00e-01)   0.16 (1.0e-02) ->  -1.0468   0.1314   7.4594   0.1580\n"
    "\n"
    "\n";
const std::string kReport7 =
    "LENS PARMS:\n"
    "   alpha 9.000000e-01 0.0 0.0 0.0 0.0 5.000000e-02 0.0 0.0 0.0 1.000000e+00\n"
    "SOURCE PARMS:\n"
    "   ptsrc 1.000000e+00 1.000000e-02 0.0 0.0 0.0 0.0 0.0 0.0\n"
    "CHISQ: 2.0e+00 2.0e+00 0 0 0 0 0 0 0 # tot pos flux tdel gal plim crv ring weak\n"
    "RMS: 1.0e-03 # from GausCorr\n"
    "\n"
    "Source #1\n"
    "  posn:  1.000000e-02  0.000000e+00\n"
    "  flux:  1.000000e+00\n"
    "     h:  6.000000e-01\n"
    "Dls/Ds:  8.000000e-01\n"
    "tscale:  1.250000e+00\n"
    "images:\n"
    "   0.9000   0.0100 (3.0e-03)   2.0000 ( 5.00e-01)   0.00 (1.0e-02) ->   0.9000   0.0100   2.0000   0.0000\n"
    "  -0.8800   0.0100 (3.0e-03)  -1.5000 ( 5.00e-01)   0.10 (1.0e-02) ->  -0.8800   0.0100  -1.5000   0.1000\n"
    "   0.0200   0.9000 (3.0e-03)   1.0000 ( 5.00e-01)   0.20 (1.0e-02) ->   0.0200   0.9000   1.0000   0.2000\n"
    "Extra model images: 1\n"
    "  1.000000e-03  2.000000e-03  3.000000e-01  (x,y,magnification)\n"
    "GausCorr residuals:\n"
    "  1 2  1.000000e-03  0.000000e+00  1.000000e-03\n"
    "  1 3  0.000000e+00  2.000000e-03  2.000000e-03\n"
    "\n"
    "\n";
const std::string kChi3 = " 1.0e-05 1.0e-05 0 0 0 0 0 0 0\n";
const std::string kChi7 = " 2.0e+00 2.0e+00 0 0 0 0 0 0 0\n";
const std::string kPar3 = "1.0e-05 7.0e-01 -1.0e+00  1.000000e+00  1.000000e-01  0.000000e+00\n";
const std::string kPar7 = "2.0e+00 6.0e-01 -1.0e+00  9.000000e-01  5.000000e-02  0.000000e+00\n";

std::string record(int index, int nimg, const std::string& report, const std::string& chi,
                   const std::string& rms, const std::string& par) {
  return "# index Nimg\n" + std::to_string(index) + " " + std::to_string(nimg) + "\n# fit\n" + report +
         "# chisq\n" + chi + rms + "# parameters\n" + par + "\n";
}

}  // namespace

class BatchSplitTest : public FitTest {};

// Every record lands in its own block of each file whatever its report's length; the model
// file counts and lists only the components that are written ("none" is left out).
TEST_F(BatchSplitTest, EachRecordKeepsItsOwnBlocks) {
  dir.write("b.tmp", record(3, 2, kReport3, kChi3, "", kPar3) +
                         record(7, 3, kReport7, kChi7, "RMS: 1.0e-03 # from GausCorr\n", kPar7));
  BVec<std::string> names(1, 2);
  names[1] = "alpha";
  names[2] = "none";
  IMat vary(1, 2, 1, 10);
  vary.fill(0);
  vary[1][1] = vary[1][6] = vary[1][7] = 1;
  vary[2][2] = 1;
  FileHandle in(std::fopen(dir.file("b.tmp").c_str(), "r"));
  batchfit_split(dir.file("b"), names, vary, 2, in);

  EXPECT_EQ(dir.read("b.dat"), "# index 3\n" + kReport3 + "# index 7\n" + kReport7);
  EXPECT_EQ(dir.read("b-chi.dat"), "3 " + kChi3 + "7 " + kChi7);
  EXPECT_EQ(dir.read("b-p.dat"), "3 " + kPar3 + "7 " + kPar7);
  EXPECT_EQ(dir.read("b.startN"),
            "1 2\n"
            "# index 3\n"
            "   alpha 1.000000e+00 0.0 0.0 0.0 0.0 1.000000e-01 0.0 0.0 0.0 1.000000e+00\n"
            "# index 7\n"
            "   alpha 9.000000e-01 0.0 0.0 0.0 0.0 5.000000e-02 0.0 0.0 0.0 1.000000e+00\n"
            " 1 0 0 0 0 1 1 0 0 0\n");
}

// No lens (istart above iend): the model file still has its first line and vary lines.
TEST_F(BatchSplitTest, NoRecordLeavesHeaderAndVaryLines) {
  dir.write("e.tmp", "");
  BVec<std::string> names(1, 1);
  names[1] = "alpha";
  IMat vary(1, 1, 1, 10);
  vary.fill(1);
  FileHandle in(std::fopen(dir.file("e.tmp").c_str(), "r"));
  batchfit_split(dir.file("e"), names, vary, 0, in);
  EXPECT_EQ(dir.read("e.startN"), "1 0\n 1 1 1 1 1 1 1 1 1 1\n");
  EXPECT_EQ(dir.read("e.dat"), "");
  EXPECT_EQ(dir.read("e-p.dat"), "");
}

// chi^2 with 4 degrees of freedom is a gamma distribution of shape 2 and scale 2, whose
// mean of exp(-chi^2/2) is (2/(2+2))^2 = 1/4. Tolerances: about five standard errors of
// the maximum-likelihood estimates for 10^5 draws.
TEST(ClumpMargProc, RecoversTheGammaDistributionOfChiSquaredValues) {
  const int n = 100000;
  Vec chi(1, n), L(1, n);
  RandomStream r(12345);
  for (int i = 1; i <= n; ++i) {
    double c = 0;
    for (int k = 0; k < 4; ++k) {
      const double g = gasdev(r);
      c += g * g;
    }
    chi[i] = c;
    L[i] = std::exp(-0.5 * c);
  }
  const ClumpMargStats s = clumpmarg_proc(0, n, chi, L);
  EXPECT_NEAR(s.shape, 2.0, 0.04);
  EXPECT_NEAR(s.scale, 2.0, 0.04);
  EXPECT_NEAR(s.gamma_L, 0.25, 0.25 * 0.02);
  EXPECT_NEAR(s.mean_L, 0.25, 0.25 * 0.02);
  // The shape solves the maximum-likelihood equation; shape times scale is the mean.
  EXPECT_NEAR(clumpmarg_func(s.shape), 0.0, 1e-3);
  double sum = 0;
  for (int i = 1; i <= n; ++i) sum += chi[i];
  EXPECT_NEAR(s.shape * s.scale, sum / n, 1e-9 * sum / n);
}

// Leaving entry b out averages the other n-1 entries.
TEST(ClumpMargProc, LeaveOneOutAveragesTheOthers) {
  Vec chi(1, 4), L(1, 4);
  const double c[4] = {1.0, 2.0, 3.0, 6.0};
  for (int i = 1; i <= 4; ++i) {
    chi[i] = c[i - 1];
    L[i] = std::exp(-0.5 * c[i - 1]);
  }
  const ClumpMargStats s = clumpmarg_proc(4, 4, chi, L);
  EXPECT_NEAR(s.mean_L, (L[1] + L[2] + L[3]) / 3, 1e-15);
  EXPECT_NEAR(s.shape * s.scale, 2.0, 1e-12);
}

// No gamma fit: the shape, scale and gamma-fit likelihood are -1.
TEST(ClumpMargProc, SamplesWithoutAGammaFit) {
  struct Case {
    const char* what;
    double chi[3];
  } cases[] = {
      {"a chi-squared of exactly 0", {0.0, 1.0, 2.0}},
      {"all values equal (no spread to fit)", {3.0, 3.0, 3.0}},
      {"every value 0", {0.0, 0.0, 0.0}},
  };
  for (const Case& c : cases) {
    Vec chi(1, 3), L(1, 3);
    for (int i = 1; i <= 3; ++i) {
      chi[i] = c.chi[i - 1];
      L[i] = std::exp(-0.5 * c.chi[i - 1]);
    }
    const ClumpMargStats s = clumpmarg_proc(0, 3, chi, L);
    EXPECT_EQ(s.gamma_L, -1.0) << c.what;
    EXPECT_EQ(s.shape, -1.0) << c.what;
    EXPECT_EQ(s.scale, -1.0) << c.what;
    EXPECT_NEAR(s.mean_L, (L[1] + L[2] + L[3]) / 3, 1e-15) << c.what;
  }
}
