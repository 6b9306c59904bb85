// The pixelated-source term with a stand-in external program (tests/support/fake-java):
// the exchange files, the evidence turned into a chi-squared, the skip rule, and every way
// the external run can fail.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cmath>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "fit/chitest.h"
#include "fit/pixsrc.h"
#include "fit/term_fixture.h"
#include "models/evaluator.h"

namespace {

const char* kIsothermal = "alpha 1 0 0 0 0 0 0 0 0 1";

class PixsrcTest : public TermTest {
 protected:
  void SetUp() override {
    TermTest::SetUp();
    const char* p = std::getenv("PATH");
    saved_path_ = p ? p : "";
    use_stand_in(true);
    mkdir(dir.file("tempFolder").c_str(), 0755);
    dir.write("tempFolder/img_gridSize.dat", "-10 -10\n10 10\n");
  }
  void TearDown() override {
    setenv("PATH", saved_path_.c_str(), 1);
    TermTest::TearDown();
  }
  // Puts the stand-in first on PATH, or leaves no java on PATH at all.
  void use_stand_in(bool on) {
    const std::string stand_in = source_path("tests/support/fake-java");
    setenv("PATH", on ? (stand_in + ":" + saved_path_).c_str() : dir.path().c_str(), 1);
  }
  void on(std::vector<std::string> extra = {"img", "0.05"}) {
    std::vector<std::string> w = {"pixsrc", "on"};
    w.insert(w.end(), extra.begin(), extra.end());
    run_handler(pixsrc, cmd(w));
  }
  std::vector<std::string> log_lines() {
    std::vector<std::string> v;
    std::istringstream in(dir.read("tempFolder/java_args.log"));
    std::string l;
    while (std::getline(in, l)) v.push_back(l);
    return v;
  }

 private:
  std::string saved_path_;
};

}  // namespace

// A 21 x 21 pixel grid at scale 0.05: one line per pixel, i outer, each holding the
// deflection at (i, j) x 0.05 in pixel units. With the stand-in's reference field taken
// from b = 1, b = 1.01 gives chi^2 = sum |alpha - alpha_ref|^2 (pixel units) = 17.58878
// (0.2^2 at each of the 440 pixels off the centre, less the core's share: the sum over the
// pixels of (0.2 (sqrt(s^2 + r^2) - s)/r)^2 with s = 1e-4). The stand-in is
// started as "java -jar morvane.jar img".
TEST_F(PixsrcTest, DeflectionFileAndEvidence) {
  lens(kIsothermal);
  on();
  EXPECT_EQ(pixsrc_term(0.0), pixsrc_term(0.0));  // no reference: sum |alpha|^2
  const std::string field = dir.read("tempFolder/img_deflection.dat");
  std::istringstream in(field);
  int n = 0, i, j;
  double ax, ay, sum = 0;
  while (in >> i >> j >> ax >> ay) {
    EXPECT_EQ(i, -10 + n / 21);
    EXPECT_EQ(j, -10 + n % 21);
    if (i == 3 && j == -4) {
      double pot, px, py, pxx, pyy, pxy, pyx;
      potdefmag(0.15, -0.2, pot, px, py, pxx, pyy, pxy, pyx);
      EXPECT_NEAR(ax, px / 0.05, 1e-5 * std::fabs(px / 0.05));
      EXPECT_NEAR(ay, py / 0.05, 1e-5 * std::fabs(py / 0.05));
    }
    sum += ax * ax + ay * ay;
    ++n;
  }
  EXPECT_EQ(n, 441);
  EXPECT_NEAR(pixsrc_term(0.0), sum, 1e-9 * sum);

  dir.write("tempFolder/img_reference.dat", field);
  set_parameter(1, 1.01);
  // 17.5887806 exactly; the exchange file's seven significant digits move it by 3e-5.
  EXPECT_NEAR(pixsrc_term(0.0), 17.58878, 5e-5);
  const auto log = log_lines();
  ASSERT_EQ(log.size(), 4u);
  EXPECT_EQ(log[0], "-jar morvane.jar img");

  // ln E = ln E0 + 3 lowers the chi-squared by 6.
  on({"img", "0.05", "2"});
  dir.write("tempFolder/java_evidence", "5\n");
  EXPECT_NEAR(pixsrc_term(0.0), -6.0, 1e-12);
}

// A model that the parameter limits reject (slot above 1e8) and a term that is off start
// nothing and add nothing.
TEST_F(PixsrcTest, RejectedModelsAreNotSent) {
  lens(kIsothermal);
  EXPECT_EQ(pixsrc_term(0.0), 0.0);
  on();
  EXPECT_EQ(pixsrc_term(1e9), 0.0);
  EXPECT_EQ(pixsrc_term(1.0000001e8), 0.0);
  EXPECT_FALSE(dir.exists("tempFolder/java_args.log"));
  EXPECT_FALSE(dir.exists("tempFolder/img_deflection.dat"));
  run_handler(pixsrc, cmd({"pixsrc", "off"}));
  EXPECT_EQ(pixsrc_term(0.0), 0.0);
  EXPECT_FALSE(dir.exists("tempFolder/java_args.log"));
}

// Every failure of the external run ends the program: it cannot be started, it exits with
// a nonzero status, it leaves no evidence file (an old one is not read again), or the file
// holds no finite number.
TEST_F(PixsrcTest, FailedRunsEndTheProgram) {
  lens(kIsothermal);
  on();
  struct Case { const char* file; const char* contents; const char* message; };
  const Case cases[] = {
      {"java_fail", "3", "pixelated-source program failed (java -jar morvane.jar img, status 3)"},
      {"java_noevidence", "", "could not open pixsrc evidence file"},
      {"java_evidence", "nan\n", "pixelated-source program failed (java -jar morvane.jar img, status 0)"},
      {"java_evidence", "abc\n", "pixelated-source program failed (java -jar morvane.jar img, status 0)"},
  };
  for (const Case& c : cases) {
    dir.write("tempFolder/img_evidence.dat", "-1\n");  // left by an earlier run
    dir.write(std::string("tempFolder/") + c.file, c.contents);
    EXPECT_EQ(fatal_message([] { pixsrc_term(0.0); }), c.message) << c.file;
    std::remove(dir.file(std::string("tempFolder/") + c.file).c_str());
  }
  use_stand_in(false);
  EXPECT_EQ(fatal_message([] { pixsrc_term(0.0); }), "could not start java -jar morvane.jar img");
}

// The program is started directly, not through a shell: the executable path reaches it
// word for word, with nothing expanded or run.
TEST_F(PixsrcTest, NoShellBetween) {
  lens(kIsothermal);
  on({"img", "0.05", "0", "~/$HOME;touch x.jar"});
  pixsrc_term(0.0);
  EXPECT_EQ(log_lines().at(0), "-jar ~/$HOME;touch x.jar img");
  EXPECT_FALSE(dir.exists("x.jar"));
}

// The command: on without a base name prints the help and changes nothing; a grid-size
// file without four integers and a pixel scale of 0 are errors that leave the term as it
// was; on prints the set-up.
TEST_F(PixsrcTest, Command) {
  {
    CaptureOutput out;
    quietflag = 0;
    run_handler(pixsrc, cmd({"pixsrc", "on"}));
    quietflag = 1;
    EXPECT_NE(out.text().find("pixsrc on <basename> [pixel scale] [ln(E0)] [morvane executable]"), std::string::npos);
  }
  EXPECT_EQ(TWpixsrc.pixsrcflag, 0);
  {
    CaptureOutput out;
    on({"img", "0.05", "1.5", "x.jar"});
    EXPECT_EQ(out.text(),
              "Opened input file: tempFolder/img_gridSize.dat\nUsing pixelated source:\n  basename  = img\n"
              "  scale     = 5.000000e-02\n  ln(E0)    = 1.500000e+00\n  xmin,xmax = -10 10\n  ymin,ymax = -10 10\n");
  }
  dir.write("tempFolder/bad_gridSize.dat", "1 2 3\n");
  EXPECT_EQ(fatal_message([&] { on({"bad"}); }), "gridSize file tempFolder/bad_gridSize.dat does not hold four integers");
  EXPECT_EQ(fatal_message([&] { on({"none"}); }), "could not open gridSize file");
  EXPECT_EQ(fatal_message([&] { on({"img", "0"}); }), "the pixel scale of pixsrc cannot be 0");
  EXPECT_EQ(TWpixsrc.pixsrc_base, "img");
  EXPECT_EQ(TWpixsrc.pixsrc_exec, "x.jar");
  EXPECT_EQ(TWpixsrc.pixsrc_rng[2], 10);
  run_handler(pixsrc, cmd({"pixsrc", "off"}));
  EXPECT_EQ(TWpixsrc.pixsrcflag, 0);
}

// In the chi-squared the term adds to slot 7: with the stand-in referenced to b = 1, b =
// 1.01 scores 17.58878 there. A model that the test term rejects (a lognormal factor
// beyond its support) is not sent out.
TEST_F(PixsrcTest, InTheChiSquared) {
  lens(kIsothermal, "1 0 0 0 0 0 0 0 0 0");
  on();
  score();
  dir.write("tempFolder/img_reference.dat", dir.read("tempFolder/img_deflection.dat"));
  set_parameter(1, 1.01);
  EXPECT_NEAR(score(), 17.58878, 5e-5);
  EXPECT_NEAR(TSstore.chi[kChiRing], 17.58878, 5e-5);

  // A lognormal factor on x about 0.1; x = -0.1 lies beyond it (ratio -1: penalty 2e8).
  lens("alpha 1 0.1 0 0 0 0 0 0 0 1", "0 1 0 0 0 0 0 0 0 0");
  {
    CommandInput in("-0.5\n");
    run_handler(chitest, cmd({"chitest", "on"}));
  }
  const size_t runs = log_lines().size();
  set_parameter(2, -0.1);
  score();
  EXPECT_EQ(TSstore.chi[kChiPlim], 2e8);
  EXPECT_EQ(TSstore.chi[kChiRing], 0.0);
  EXPECT_EQ(log_lines().size(), runs);
  set_parameter(2, 0.1);
  score();
  EXPECT_EQ(log_lines().size(), runs + 1);
}
