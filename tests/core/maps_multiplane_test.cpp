// Maps of a model with two lens planes: the Frontier Fields set at the source redshift, the
// Cartesian table, and the commands that hold only for one plane.
#include <gtest/gtest.h>

#include <cmath>
#include <sstream>
#include <string>
#include <vector>

#include "core/lens_model.h"
#include "core/los_fixture.h"
#include "core/magtens.h"
#include "core/maps.h"
#include "io/arrayfile.h"
#include "models/evaluator.h"

namespace {

class MapsMultiPlaneTest : public LineOfSightTest {
 protected:
  // A point mass at 0.5 and a perturber at 0.3 in front of it.
  void SetUp() override {
    LineOfSightTest::SetUp();
    CommandInput in(
        "ptmass 1 0 0 0 0 0 0 0 0 0 0.5\nptmass 0.25 0.9 -0.6 0 0 0 0 0 0 0 0.3\n"
        "0 0 0 0 0 0 0 0 0 0\n0 0 0 0 0 0 0 0 0 0\n");
    run_handler(setlens, cmd({"setlens", "2", "1", "1"}));
    ASSERT_EQ(LOS.on, 1);
  }
  template <class Fn>
  std::string run(Fn fn, const std::vector<std::string>& words) {
    CaptureOutput out;
    run_handler(fn, cmd(words));
    return out.text();
  }
  Mat read(const std::string& name, int type) const {
    Mat a;
    int nx, ny;
    CaptureOutput quiet;
    EXPECT_TRUE(read_array(dir.file(name), type, nx, ny, a));
    return a;
  }
  ScratchDir dir;
};

const std::vector<std::string> kGrid = {"0.5", "1.5", "3", "-0.5", "0.5", "3"};

std::vector<std::string> words(std::vector<std::string> head, std::vector<std::string> tail = {}) {
  head.insert(head.end(), kGrid.begin(), kGrid.end());
  head.insert(head.end(), tail.begin(), tail.end());
  return head;
}

}  // namespace

// HFFmaps3d at zsrc: its magnification and convergence are those of plotmu and plotkappa on
// the same grid, its shear amplitude that of the evaluator (gamma_s = phi_xy).
TEST_F(MapsMultiPlaneTest, FrontierFieldsSetAtTheSourceRedshift) {
  const std::string out = run(HFFmaps3d, words({"HFFmaps3d", dir.file("h")}));
  EXPECT_NE(out.find("Rescaling model to zsrc = 2.000000\nComputing maps.\nStep 1/3\n"), std::string::npos) << out;
  run(plotmu, words({"plotmu", dir.file("mu.dat"), "1"}, {"1"}));
  run(plotkappa, words({"plotkappa", dir.file("k.dat"), "1"}));
  const Mat mag = read("h-magnif.fits", kFitsFile), kap = read("h-kappa.fits", kFitsFile);
  const Mat gam = read("h-gamma.fits", kFitsFile), mu = read("mu.dat", kTextFile), k = read("k.dat", kTextFile);
  for (int i = 1; i <= 3; ++i) {
    for (int j = 1; j <= 3; ++j) {
      SCOPED_TRACE(testing::Message() << i << " " << j);
      EXPECT_NEAR(mag[i][j], mu[i][j], 1e-6 * mu[i][j]);
      EXPECT_NEAR(kap[i][j], k[i][j], 1e-6 * (1 + std::fabs(k[i][j])));
      const Lens l = lens_at(0.5 * i, -0.5 + 0.5 * (j - 1));
      EXPECT_NEAR(gam[i][j], std::hypot(0.5 * (l.xx - l.yy), l.xy), 1e-6 * (1 + gam[i][j]));
    }
  }
  EXPECT_EQ(fatal_message([&] { run(HFFmaps2d, words({"HFFmaps2d", dir.file("h")})); }),
            "HFFmaps2d cannot be used with multiple lens planes");
}

// plotdef1 on a model referenced to Dls/Ds = 1: the planes are recomputed for zsrc and the
// values are not scaled further.
TEST_F(MapsMultiPlaneTest, CartesianTableRecomputesThePlanes) {
  set("zref", 1000);
  const std::string out = run(plotdef1, words({"plotdef1", dir.file("d1")}));
  EXPECT_NE(out.find("NOTE: Recomputing LOS matrices for zsrc= 2.000000\n"), std::string::npos) << out;
  EXPECT_EQ(out.find("Scaling results"), std::string::npos);
  std::istringstream in(dir.read("d1"));
  std::string line;
  for (int k = 0; k < 5; ++k) std::getline(in, line);
  int rows = 0;
  while (std::getline(in, line)) {
    double v[10];
    std::istringstream r(line);
    for (double& x : v) r >> x;
    const Lens l = lens_at(v[0], v[1]);
    const double expect[8] = {l.pot, l.ax, l.ay, l.xx, l.yy, l.xy, l.yx, mu_of(l)};
    for (int c = 0; c < 8; ++c) EXPECT_NEAR(v[c + 2], expect[c], 1e-7 * (1 + std::fabs(expect[c]))) << line;
    ++rows;
  }
  EXPECT_EQ(rows, 9);
}

// The image-plane weight map holds only for one plane; the time-delay surface is a delay
// only at the images.
TEST_F(MapsMultiPlaneTest, SinglePlaneCommandsSaySo) {
  const Lens l = lens_at(1.0, 0.0);
  ASSERT_GT(std::fabs(l.xy - l.yx), 1e-4);
  EXPECT_EQ(fatal_message([&] { run(magweightimg, words({"magweightimg", dir.file("w"), "1"})); }),
            "magweightimg assumes single-plane lensing");
  std::string out;
  {
    ::testing::internal::CaptureStdout();
    out = run(plottdel, words({"plottdel", "0", "0"}, {dir.file("td.dat"), "1"}));
    ::testing::internal::GetCapturedStdout();
  }
  EXPECT_NE(out.find("WARNING: with several lens planes the surface is a time delay only at the images\n"),
            std::string::npos)
      << out;
  EXPECT_TRUE(dir.exists("td.dat"));
}
