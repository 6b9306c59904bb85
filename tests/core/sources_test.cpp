// Sources, switches, vary flags and step sizes.
#include <gtest/gtest.h>

#include <functional>
#include <optional>

#include "app/startup.h"
#include "core/command_fixture.h"
#include "core/lens_model.h"
#include "core/sources.h"
#include "imageplane/source_models.h"
#include "models/component.h"
#include "models/evaluator.h"
#include "models/registry.h"
#include "models/substructure.h"
#include "numeric/constants.h"
#include "shell/commands.h"
#include "shell/fatal.h"
#include "shell/settings.h"
#include "shell/vars.h"
#include "support/test_support.h"

namespace {

using Input = CommandInput;

class SourcesTest : public CommandTest {
 protected:
  // A model of n components (vary flags 0) given on the command input.
  void model(int n) {
    std::string text;
    for (int j = 1; j <= n; ++j) text += "alpha 1 " + std::to_string(j) + " 0 0 0 0 0 0 0 1\n";
    for (int j = 1; j <= n; ++j) text += "0 0 0 0 0 0 0 0 0 0\n";
    Input in(text);
    run_handler(setlens, cmd({"setlens", std::to_string(n), "1"}));
  }
  void sources(int n) {
    std::string text;
    for (int i = 1; i <= n; ++i) text += "ptsrc 1 0 0 0 0 0 0 0\n";
    for (int i = 1; i <= n; ++i) text += "1 1 1 0 0 0 0 0\n";
    Input in(text);
    CaptureOutput out;
    run_handler(setsource, cmd({"setsource", std::to_string(n), "0"}));
  }
  ScratchDir dir;
};

}  // namespace

// ---- setsource and writesrc ----

TEST_F(SourcesTest, SourceFileGivesSourcesRayTargetAndVaryFlags) {
  dir.write("src.dat",
            "2 100\n"
            "# first a point source\n"
            "ptsrc 2.5 0.1 -0.2 0 0 0 0 0\n"
            "uniform 1 0 0 0.2 30 0.5 0 0\n"
            "1 1 1 0 0 0 0 0\n"
            "0 1 1 1 1 1 0 0\n");
  TWsrc.srcon[1] = 0;
  CaptureOutput out;
  run_handler(setsource, cmd({"setsource", dir.file("src.dat")}));
  EXPECT_NE(out.text().find("Opened input file: "), std::string::npos);
  EXPECT_NE(out.text().find("Enter sources:\nFor each source, enter what to vary:\n"), std::string::npos);
  EXPECT_EQ(TWsrc.Nsource, 2);
  EXPECT_EQ(TWsrc.NSRCMAX, 2);
  EXPECT_EQ(TWsrc.finsrc_ray_num, 100);
  EXPECT_EQ(TWsrc.srcID[2], "uniform");
  EXPECT_EQ(TWsrc.srcparms[1][1], 2.5);
  EXPECT_EQ(TWsrc.srcparms[1][3], -0.2);
  EXPECT_EQ(TWsrc.srcon[1], 1);
  EXPECT_EQ(TWsrc.srcvary[1][3], 1);
  EXPECT_EQ(TWsrc.srcvary[2][1], 0);
  EXPECT_EQ(TWsrc.srcvary[2][6], 1);
  // Derived values of the uniform disk: I0 = flux / (pi R0^2 (1 - e)), radii R0.
  EXPECT_NEAR(TWsrc.srcparms[2][9], 1.0 / (kPi * 0.25 * 0.8), 1e-12);
  EXPECT_EQ(TWsrc.srcparms[2][12], 0.5);
}

TEST_F(SourcesTest, CommandInputForm) {
  Input in("sersic 1 0 0 0 0 0.5 0 1\n1 1 1 0 0 1 0 1\n");
  run_handler(setsource, cmd({"setsource", "1", "250"}));
  EXPECT_EQ(TWsrc.srcID[1], "sersic");
  EXPECT_EQ(TWsrc.finsrc_ray_num, 250);
  EXPECT_EQ(TWsrc.srcvary[1][8], 1);
}

TEST_F(SourcesTest, EveryErrorOfASmallBrokenSourceFile) {
  struct Case {
    const char* text;
    const char* message;
  };
  const std::vector<Case> cases = {
      {"1 10\nptsrc 1 0 0 0 0 0 0\n1 1 1 0 0 0 0 0\n", "in setsource, you gave too few parameters."},
      {"2 10\nptsrc 1 0 0 0 0 0 0 0\n", "in setsource, you gave too few parameters."},
      {"1 10\nptsrc 1 0 0 0 0 0 0 0\n1 1 1 0 0 0 0\n", "in setsource, you gave too few vary flags."},
      {"1 10\nptsrc 1 0 0 0 0 0 0 0\n", "in setsource, you gave too few vary flags."},
      {"1 10\nuniform 1 0 0 1.5 0 0.5 0 0\n1 1 1 0 0 0 0 0\n", "in initsrcmod called from setsource"},
      {"0 10\n", "number of sources must be positive"},
      {"-2 10\n", "number of sources must be positive"},
      {"", "number of sources must be positive"},
  };
  for (const auto& c : cases) {
    dir.write("src.dat", c.text);
    CaptureOutput out;
    EXPECT_EQ(fatal_message([this] { run_handler(setsource, cmd({"setsource", dir.file("src.dat")})); }), c.message) << c.text;
  }
  CaptureOutput out;
  EXPECT_EQ(fatal_message([] { run_handler(setsource, cmd({"setsource", "/nonexistent/src.dat"})); }),
            "could not open setsource input file");
  EXPECT_EQ(fatal_message([] { run_handler(setsource, cmd({"setsource", "0", "10"})); }), "number of sources must be positive");
}

TEST_F(SourcesTest, WritesrcFormat) {
  BVec<std::string> names(1, 3);
  Mat p(1, 3, 1, 8);
  InitSrcArr(3, 0);
  names[1] = "ptsrc";
  names[2] = "none";
  names[3] = "sersic";
  p[1][1] = 1.5;
  p[1][2] = -0.0;
  p[3][8] = 4;
  const std::string path = dir.file("w.dat");
  FILE* f = std::fopen(path.c_str(), "w");
  writesrc(f, names, p);
  std::fclose(f);
  EXPECT_EQ(dir.read("w.dat"),
            "   ptsrc 1.500000e+00 0.0 0.0 0.0 0.0 0.0 0.0 0.0\n"
            "  sersic 0.0 0.0 0.0 0.0 0.0 0.0 0.0 4.000000e+00\n");
}

// ---- switches ----

TEST_F(SourcesTest, TurnoffAndTurnon) {
  model(5);
  sources(3);
  {
    CaptureOutput out;
    run_handler(turnoff, cmd({"turnoff", "gal", "2", "5", "src", "3"}));
    EXPECT_EQ(out.text(), "In turnoff:\nTurning off galaxy #2\nTurning off galaxy #5\nTurning off source #3\n");
  }
  EXPECT_EQ(TWgal.refon[2], 0);
  EXPECT_EQ(TWgal.refon[5], 0);
  EXPECT_EQ(TWgal.refon[1], 1);
  EXPECT_EQ(TWsrc.srcon[3], 0);
  {
    CaptureOutput out;
    run_handler(turnoff, cmd({"turnoff", "2", "gal", "9", "0", "-1", "src", "4", "0"}));
    EXPECT_EQ(out.text(),
              "In turnoff:\n"
              "WARNING: mode has not been set properly in turnoff\n"
              "Note: ignoring galaxy index 9 (out of range)\n"
              "Note: ignoring galaxy index 0 (out of range)\n"
              "Note: ignoring galaxy index -1 (out of range)\n"
              "Note: ignoring source index 4 (out of range)\n"
              "Note: ignoring source index 0 (out of range)\n");
  }
  {
    CaptureOutput out;
    run_handler(turnon, cmd({"turnon", "gal", "5", "status"}));
    EXPECT_EQ(out.text(),
              "In turnon:\nTurning on galaxy #5\n"
              "Current status of mass model components:\n"
              "  gal #1 on\n  gal #2 off\n  gal #3 on\n  gal #4 on\n  gal #5 on\n"
              "Current status of source components:\n"
              "  src #1 on\n  src #2 on\n  src #3 off\n");
  }
  {
    CaptureOutput out;
    run_handler(turnon, cmd({"turnon", "7"}));
    EXPECT_EQ(out.text(), "In turnon:\nWARNING: mode has not been set properly in turnon\n");
  }
  // setsource switches every source on again, setlens every component.
  sources(3);
  EXPECT_EQ(TWsrc.srcon[3], 1);
  model(5);
  EXPECT_EQ(TWgal.refon[2], 1);
}

// ---- vary flags ----

TEST_F(SourcesTest, Changevary) {
  model(3);
  for (int j = 1; j <= 3; ++j) TWref.refv[j].data()[0] = 1;
  run_handler(changevary, cmd({"changevary", "0"}));
  for (int j = 1; j <= 3; ++j)
    for (int k = 1; k <= 10; ++k) EXPECT_EQ(TWref.refv[j][k], 0);
  {
    Input in("1 1 1 0 0 0 0 1\n");
    CaptureOutput out;
    run_handler(changevary, cmd({"changevary", "2"}));
    EXPECT_EQ(out.text(), "Enter what to vary for galaxy #2:\nNew vary flags for galaxy #2:\n 1 1 1 0 0 0 0 1 0 0\n");
  }
  {
    Input in("1 1 1 1 1 1 1 1 1 1\n0 1 0 0 0 0 0 0 0\n1 0 0 0 0 0 0 0 # nine with the comment\n");
    run_handler(changevary, cmd({"changevary", "-1"}));
  }
  EXPECT_EQ(TWref.refv[1][10], 1);
  EXPECT_EQ(TWref.refv[2][2], 1);
  EXPECT_EQ(TWref.refv[2][10], 0);
  EXPECT_EQ(TWref.refv[3][1], 1);
  EXPECT_EQ(TWref.refv[3][9], 0);
  {
    Input in("1 1 1 0 0 0 0\n");
    CaptureOutput out;
    EXPECT_EQ(fatal_message([] { run_handler(changevary, cmd({"changevary", "1"})); }), "you gave too few vary flags.");
    EXPECT_EQ(fatal_message([] { run_handler(changevary, cmd({"changevary", "-1"})); }), "you gave too few vary flags.");
    EXPECT_EQ(fatal_message([] { run_handler(changevary, cmd({"changevary", "4"})); }), "galaxy index 4 is out of range");
  }
}

TEST_F(SourcesTest, Changevarysrc) {
  sources(2);
  {
    Input in("1 0 1 0 1 0\n0 0 0 0 0 0 1 1\n");
    run_handler(changevarysrc, cmd({"changevarysrc", "1"}));
  }
  EXPECT_EQ(TWsrc.srcvary[1][5], 1);
  EXPECT_EQ(TWsrc.srcvary[1][7], 0);
  EXPECT_EQ(TWsrc.srcvary[2][8], 1);
  run_handler(changevarysrc, cmd({"changevarysrc", "0"}));
  for (int k = 1; k <= 8; ++k) EXPECT_EQ(TWsrc.srcvary[2][k], 0);
  EXPECT_EQ(fatal_message([] { run_handler(changevarysrc, cmd({"changevarysrc", "2"})); }), "unknown changevarysrc mode");
  Input in("1 1 1 1 1\n");
  EXPECT_EQ(fatal_message([] { run_handler(changevarysrc, cmd({"changevarysrc", "1"})); }), "you gave too few vary flags.");
  // The input ends after the first of two lines.
  Input in2("1 1 1 1 1 1\n");
  EXPECT_EQ(fatal_message([] { run_handler(changevarysrc, cmd({"changevarysrc", "1"})); }), "you gave too few vary flags.");
}

// ---- step sizes ----

TEST_F(SourcesTest, MinstepsizeDefaults) {
  SetVar("rscale", 0, 2);
  model(2);
  sources(1);
  minstepsize();
  const double comp[11] = {0, 0.02, 0.02, 0.02, 0.01, 1, 0.01, 1, 0.02, 0.02, 0.01};
  const double src[9] = {0, 0.01, 0.02, 0.02, 0.01, 1, 0.02, 0.02, 0.01};
  for (int k = 1; k <= 10; ++k) EXPECT_DOUBLE_EQ(TWstep.pstep[2][k], comp[k]) << k;
  for (int k = 1; k <= 8; ++k) EXPECT_DOUBLE_EQ(TWstep.pstep[3][k], src[k]) << k;
  TWstep.pstep[1][1] = 7;
  minstepsize();
  EXPECT_EQ(TWstep.pstep[1][1], 7);
  EXPECT_DOUBLE_EQ(TWstep.pstep[3][2], 0.02);
}

TEST_F(SourcesTest, StepTableFollowsTheModelAndSourceCounts) {
  model(2);
  sources(1);
  minstepsize();
  TWstep.pstep[2][4] = 5;  // component 2
  TWstep.pstep[3][1] = 6;  // source 1
  model(3);
  sources(2);
  SetVar("shrcoords", 0, 1);
  SetGlob();
  minstepsize();
  ASSERT_EQ(TWstep.pstep.rhi(), 5);
  EXPECT_EQ(TWstep.pstep[2][4], 5);   // component 2 keeps its steps
  EXPECT_EQ(TWstep.pstep[4][1], 6);   // source 1 keeps its steps in its new row
  EXPECT_EQ(TWstep.pstep[3][5], 0.01);  // a new component gets the defaults of the moment
  EXPECT_EQ(TWstep.pstep[5][1], 0.01);  // a new source too
  EXPECT_EQ(TWstep.pstep[3][1], 0.01);
  model(1);
  minstepsize();
  ASSERT_EQ(TWstep.pstep.rhi(), 3);
  EXPECT_EQ(TWstep.pstep[2][1], 6);
}

TEST_F(SourcesTest, StepsizeForms) {
  model(2);
  sources(2);
  {
    Input in("1 2 3 4 5 6 7 8 9 10\n11 12 13 14 15 16 17 18 19 20\n");
    CaptureOutput out;
    run_handler(stepsize, cmd({"stepsize"}));
    EXPECT_EQ(out.text(), "Enter step sizes for all galaxies:\n");  // also when quiet
  }
  EXPECT_EQ(TWstep.pstep[2][10], 20);
  EXPECT_EQ(TWstep.pstep[3][1], 0);  // source steps set to 0
  {
    Input in("0.5 0 0 0 0 0 0 0 0 0\n1 1 1 1 1 1 1 1\n2 2 2 2 2 2 2 2\n");
    run_handler(stepsize, cmd({"stepsize", "2", "1"}));
  }
  EXPECT_EQ(TWstep.pstep[2][1], 0.5);
  EXPECT_EQ(TWstep.pstep[1][1], 1);
  EXPECT_EQ(TWstep.pstep[3][8], 1);
  EXPECT_EQ(TWstep.pstep[4][1], 2);
  {
    Input in("");
    run_handler(stepsize, cmd({"stepsize", "0", "0"}));
    EXPECT_EQ(TWstep.pstep[1][1], 0);
    EXPECT_EQ(TWstep.pstep[4][1], 0);
    TWstep.pstep[1][1] = 3;
    run_handler(stepsize, cmd({"stepsize", "init"}));
    EXPECT_EQ(TWstep.pstep[1][1], 0);
    // "stepsize 0" and a negative index read every component like "stepsize all".
    EXPECT_EQ(fatal_message([] { run_handler(stepsize, cmd({"stepsize", "0"})); }), "in stepsize, you gave too few parameters.");
    EXPECT_EQ(fatal_message([] { run_handler(stepsize, cmd({"stepsize", "-1"})); }), "in stepsize, you gave too few parameters.");
    EXPECT_EQ(fatal_message([] { run_handler(stepsize, cmd({"stepsize", "all", "0"})); }), "in stepsize, you gave too few parameters.");
    EXPECT_EQ(fatal_message([] { run_handler(stepsize, cmd({"stepsize", "3"})); }), "galaxy index 3 is out of range");
  }
  Input in("1 1 1 1 1 1 1 1 1\n");
  EXPECT_EQ(fatal_message([] { run_handler(stepsize, cmd({"stepsize", "1"})); }), "in stepsize, you gave too few parameters.");
  // The first stepsize of a run creates the table with the default steps, never zeros.
  TWstep = StepSizes();
  Input in2("1 1 1 1 1 1 1 1 1 1\n");
  run_handler(stepsize, cmd({"stepsize", "1"}));
  EXPECT_EQ(TWstep.pstep[2][1], 0.01);
}

TEST_F(SourcesTest, HelpTexts) {
  quietflag = 0;
  CaptureOutput out;
  run_handler(turnoff, cmd({"turnoff"}));
  run_handler(setsource, cmd({"setsource"}));
  run_handler(changevary, cmd({"changevary"}));
  stepsizehelp(2);
  const std::string t = out.text();
  EXPECT_EQ(t.rfind("turnoff [list of keywords and indices]", 0), 0u);
  EXPECT_NE(t.find("\n  sersic  flux u0 v0 e PA Reff 0 n"), std::string::npos);
  EXPECT_NE(t.find("\n mode<0 : you will be asked to list *all* new vary flags, in the\n"), std::string::npos);
  // The explanation lines of stepsize stand as given, from the start of their lines.
  EXPECT_NE(t.find("\nstepsize init  "), std::string::npos);
  EXPECT_NE(t.find("\nInitializes step sizes to 0 for all galaxy and source parameters."), std::string::npos);
  EXPECT_NE(t.find("\nPrompts you to enter step sizes for all galaxy parameters.  "), std::string::npos);
  EXPECT_NE(t.find("\nindex.  "), std::string::npos);
  EXPECT_NE(t.find("\n  stepsize 0 0 = stepsize init  "), std::string::npos);
}
