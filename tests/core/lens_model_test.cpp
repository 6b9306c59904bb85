// The lens model set: model files, setlens, changelens, ranparm, writep and initmodel.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
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
#include "numeric/random.h"
#include "shell/commands.h"
#include "shell/fatal.h"
#include "shell/settings.h"
#include "shell/vars.h"
#include "support/test_support.h"

namespace {

using Input = CommandInput;

class LensModelTest : public CommandTest {
 protected:
  // Runs setlens on a model file written into the scratch folder.
  void load_file(const std::string& text) {
    dir.write("model.dat", text);
    run_handler(setlens, cmd({"setlens", dir.file("model.dat")}));
  }
  std::string load_error(const std::string& text) {
    return fatal_message([&] { load_file(text); });
  }
  // Loads a one-model set given as component lines (all vary flags 0).
  void load_model(const std::vector<std::string>& lines) {
    std::string text = std::to_string(lines.size()) + " 1\n";
    for (const auto& l : lines) text += l + "\n";
    for (size_t k = 0; k < lines.size(); ++k) text += "0 0 0 0 0 0 0 0 0 0\n";
    load_file(text);
  }
  ScratchDir dir;
};

const char* kTwoComponents =
    "# a comment line\n"
    "2 1\n"
    "alpha 1.0 0 0 0.2 10 0.05 20 0.1 0 1\n"
    "\n"
    "ptmass 0.3 1.0 -0.5 0 0 0 0 0 0 0\n"
    "1 1 1 1 1 1 1 0 0 0\n"
    "1 1 1 0 0 0 0 0 0 1\n";

}  // namespace

TEST_F(LensModelTest, ModelFileLoadsTheModelSetAndTheComponentTable) {
  load_file(kTwoComponents);
  EXPECT_EQ(TWref.Ngal, 2);
  EXPECT_EQ(TWref.Nref, 1);
  EXPECT_EQ(TWgal.NGALMAX, 2);
  EXPECT_EQ(TWref.ref[1].names[2], "ptmass");
  EXPECT_EQ(TWref.ref[1].p[1][6], 0.05);
  EXPECT_EQ(TWref.ref[1].z[1], -1);
  EXPECT_EQ(TWref.ref[1].tau[2], -1);
  EXPECT_EQ(TWref.ref[1].bridge[2], -1);
  EXPECT_EQ(TWref.refv[1][7], 1);
  EXPECT_EQ(TWref.refv[2][10], 1);
  EXPECT_EQ(TWgal.name(1), "alpha");
  EXPECT_EQ(TWgal.count, 2);
  EXPECT_EQ(TWgal.p[2][3], -0.5);
  EXPECT_EQ(TWgal.refon[1], 1);
  EXPECT_EQ(TWgal.refflag[2], 1);
  EXPECT_EQ(TWclump.clumpdat.hi(), 2);
  EXPECT_EQ(TWclump.clumpdat[2].type, 0);
}

TEST_F(LensModelTest, CommandInputFormReadsTheLinesThatFollow) {
  Input in("alpha 1 0 0 0 0 0 0 0 0 1\n1 0 0 0 0 0 0 0 0 0\n");
  quietflag = 0;
  CaptureOutput out;
  run_handler(setlens, cmd({"setlens", "1", "1"}));
  EXPECT_NE(out.text().find("Enter galaxies for model #1:\nEnter what to vary for each galaxy:\n"), std::string::npos);
  EXPECT_EQ(TWref.ref[1].names[1], "alpha");
  EXPECT_EQ(TWref.refv[1][1], 1);
}

TEST_F(LensModelTest, EveryErrorOfASmallBrokenModel) {
  struct Case {
    const char* text;
    const char* message;
  };
  const std::vector<Case> cases = {
      {"2\nalpha 1 0 0 0 0 0 0 0 0 1\n", "in setlens file, must give Ngal, Nref"},
      {"", "in setlens file, must give Ngal, Nref"},
      {"-1 1\n", "in setlens file, must give Ngal, Nref"},
      {"1 -2\n", "in setlens file, must give Ngal, Nref"},
      {"1 0\n0 0 0 0 0 0 0 0 0 0\n", "no setlens model defined"},
      {"0 1\n", "no setlens model defined"},
      {"1 1\nalpha 1 0 0 0 0 0 0 0 0\n0 0 0 0 0 0 0 0 0 0\n", "in setlens, you gave too few parameters."},
      // The file ends before the second model: an error, never a reuse of the last line.
      {"1 2\nalpha 1 0 0 0 0 0 0 0 0 1\n", "in setlens, you gave too few parameters."},
      {"1 1\nalpha 1 0 0 0 0 0 0 0 0 1\n0 0 0 0 0 0 0 0\n", "in setlens, you gave too few vary flags."},
      {"2 1\nalpha 1 0 0 0 0 0 0 0 0 1\nalpha 1 0 0 0 0 0 0 0 0 1\n0 0 0 0 0 0 0 0 0 0\n",
       "in setlens, you gave too few vary flags."},
      {"1 1 1\nalpha 1 0 0 0 0 0 0 0 0 1\n0 0 0 0 0 0 0 0 0 0\n",
       "if redshifts are used, zlens and zsrc should be set"},
      // The redshift settings are checked before the model is found empty.
      {"1 0 1\n", "if redshifts are used, zlens and zsrc should be set"},
  };
  for (const auto& c : cases) EXPECT_EQ(load_error(c.text), c.message) << c.text;

  EXPECT_EQ(fatal_message([] { run_handler(setlens, cmd({"setlens", "/nonexistent/model.dat"})); }), "could not open setlens file");
  EXPECT_EQ(fatal_message([] { run_handler(setlens, cmd({"setlens", "-2", "1"})); }), "in setlens file, must give Ngal, Nref");
  EXPECT_EQ(fatal_message([] { run_handler(setlens, cmd({"setlens", "2", "0"})); }), "no setlens model defined");

  SetVar("zlens", 0, 0.5);
  SetVar("zsrc", 0, 2);
  EXPECT_EQ(load_error("1 1 1\nalpha 1 0 0 0 0 0 0 0 0 1\n0 0 0 0 0 0 0 0 0 0\n"),
            "in setlens, expected redshift is absent or 0");
  EXPECT_EQ(load_error("1 1 1\nalpha 1 0 0 0 0 0 0 0 0 1 -0.3\n0 0 0 0 0 0 0 0 0 0\n"),
            "in setlens, expected redshift is absent or 0");

  SetVar("zsrc", 0, -1);
  EXPECT_EQ(load_error("1 1\nptmass -1 0 0 0 0 0 0 0 0 0\n0 0 0 0 0 0 0 0 0 0\n"),
            "to use ptmass with p[1]=mass, redshifts must be specified");
}

TEST_F(LensModelTest, NineVaryFlagsSufficeAndTheTenthReadsZero) {
  load_file("1 1\nalpha 1 0 0 0 0 0 0 0 0 1\n1 1 1 1 1 1 1 1 1\n");
  EXPECT_EQ(TWref.refv[1][9], 1);
  EXPECT_EQ(TWref.refv[1][10], 0);
}

TEST_F(LensModelTest, WritepRoundTripGivesTheSameLoadedModel) {
  load_file(
      "3 1\n"
      "alpha 1.2345678 0.1 -0.2 0.3 -45 0.05 12.5 0.01 0 1\n"
      "ptmass 0.25 -0 1.5 0 0 0 0 0 0 0\n"
      "expdisk 0.7 0.3 0.3 0.4 80 0 0 2 0 0\n"
      "1 1 1 1 1 1 1 0 0 0\n1 1 1 0 0 0 0 0 0 0\n0 0 0 0 0 0 0 0 0 0\n");
  Mat first(1, 3, 1, 10);
  for (int i = 1; i <= 3; ++i)
    for (int k = 1; k <= 10; ++k) first[i][k] = TWgal.p[i][k];

  FILE* f = std::fopen(dir.file("written.dat").c_str(), "w");
  std::fprintf(f, "3 1\n");
  writep(f, TWref.ref[1].names, TWref.ref[1].p);
  std::fprintf(f, "0 0 0 0 0 0 0 0 0 0\n0 0 0 0 0 0 0 0 0 0\n0 0 0 0 0 0 0 0 0 0\n");
  std::fclose(f);
  const std::string written = dir.read("written.dat");
  EXPECT_NE(written.find("  ptmass 2.500000e-01 0.0 1.500000e+00 0.0"), std::string::npos);  // -0 as 0.0
  EXPECT_NE(written.find("   alpha 1.234568e+00 1.000000e-01 -2.000000e-01"), std::string::npos);

  run_handler(setlens, cmd({"setlens", dir.file("written.dat")}));
  for (int i = 1; i <= 3; ++i)
    for (int k = 1; k <= 10; ++k)
      EXPECT_NEAR(TWgal.p[i][k], first[i][k], 1e-6 * (std::fabs(first[i][k]) + 1e-30)) << i << " " << k;
  EXPECT_EQ(TWgal.name(3), "expdisk");
}

TEST_F(LensModelTest, WritepSkipsEmptySlots) {
  load_model({"alpha 1 0 0 0 0 0 0 0 0 1", "none 0 0 0 0 0 0 0 0 0 0"});
  FILE* f = std::fopen(dir.file("w.dat").c_str(), "w");
  writep(f, TWref.ref[1].names, TWref.ref[1].p);
  std::fclose(f);
  EXPECT_EQ(dir.read("w.dat"),
            "   alpha 1.000000e+00 0.0 0.0 0.0 0.0 0.0 0.0 0.0 0.0 1.000000e+00\n");
}

// Einstein-de Sitter distances in closed form: D(z1, z2) = 2 ((1+z1)^-1/2 - (1+z2)^-1/2).
TEST_F(LensModelTest, RedshiftFactorsAgainstEinsteinDeSitterClosedForms) {
  SetVar("omega", 0, 1);
  SetVar("lambda", 0, 0);
  SetVar("zlens", 0, 0.5);
  SetVar("zsrc", 0, 2);
  load_file(
      "3 2 1\n"
      "alpha 1 0 0 0 0 0 0 0 0 1 0.5\n"
      "alpha 0.1 1 0 0 0 0 0 0 0 1 0.2\n"
      "alpha 0.1 0 1 0 0 0 0 0 0 1 1.0\n"
      "alpha 1 0 0 0 0 0 0 0 0 1 0.5\n"
      "alpha 0.2 1 0 0 0 0 0 0 0 1 0.2\n"
      "alpha 0.2 0 1 0 0 0 0 0 0 1 1.0\n"
      "0 0 0 0 0 0 0 0 0 0\n0 0 0 0 0 0 0 0 0 0\n0 0 0 0 0 0 0 0 0 0\n");
  auto D = [](double z1, double z2) { return 2.0 * (1.0 / std::sqrt(1 + z1) - 1.0 / std::sqrt(1 + z2)); };
  const double zl = 0.5, zs = 2.0;
  const double Dl = D(0, zl), Ds = D(0, zs), Dls = D(zl, zs);
  const LensModel& m = TWref.ref[1];
  // At the lens redshift both factors are 1.
  EXPECT_NEAR(m.tau[1], 1.0, 1e-9);
  EXPECT_NEAR(m.bridge[1], 1.0, 1e-9);
  // In front of the lens: B^(1/3).
  double zj = 0.2, Dj = D(0, zj), Djs = D(zj, zs);
  double B = ((1 + zj) / (1 + zl)) * (Dl * Djs) / (Dls * Dj);
  EXPECT_NEAR(m.tau[2], (Dj / Djs) * (Dls / Dl), 1e-6);
  EXPECT_NEAR(m.bridge[2], std::cbrt(B), 1e-6);
  // Behind it: (B (1 - Dlj Ds / (Dls Dj)))^(1/3).
  zj = 1.0, Dj = D(0, zj), Djs = D(zj, zs);
  B = ((1 + zj) / (1 + zl)) * (Dl * Djs) / (Dls * Dj);
  EXPECT_NEAR(m.bridge[3], std::cbrt(B * (1 - D(zl, zj) * Ds / (Dls * Dj))), 1e-6);
  // Model 2 has the same redshifts: its factors are model 1's.
  for (int j = 1; j <= 3; ++j) {
    EXPECT_EQ(TWref.ref[2].tau[j], m.tau[j]);
    EXPECT_EQ(TWref.ref[2].bridge[j], m.bridge[j]);
    EXPECT_EQ(TWref.ref[2].z[j], m.z[j]);
  }
}

TEST_F(LensModelTest, SameComponentCountKeepsClumpPopulationsAndResetsSwitches) {
  load_model({"alpha 1 0 0 0 0 0 0 0 0 1", "alpha 1 1 0 0 0 0 0 0 0 1"});
  TWclump.clumpdat[2].type = 3;
  TWgal.refon[2] = 0;
  load_model({"alpha 2 0 0 0 0 0 0 0 0 1", "alpha 1 1 0 0 0 0 0 0 0 1"});
  EXPECT_EQ(TWclump.clumpdat[2].type, 3);
  EXPECT_EQ(TWgal.refon[2], 1);
  load_model({"alpha 2 0 0 0 0 0 0 0 0 1"});
  EXPECT_EQ(TWclump.clumpdat.hi(), 1);
  EXPECT_EQ(TWclump.clumpdat[1].type, 0);
}

TEST_F(LensModelTest, HelpWithoutArguments) {
  quietflag = 0;
  CaptureOutput out;
  run_handler(setlens, cmd({"setlens"}));
  const std::string t = out.text();
  EXPECT_EQ(t.rfind("setlens <number of gals per model> <number of models> [redshift flag]", 0), 0u);
  EXPECT_EQ(count_occurrences(t, "\n"), 13);
  // Lines of one text are padded to a common width.
  const size_t width = t.find('\n');
  for (size_t a = 0; a < t.size(); a = t.find('\n', a) + 1) EXPECT_EQ(t.find('\n', a) - a, width);
  EXPECT_NE(t.find("\n  [parameters...]   "), std::string::npos);
  EXPECT_EQ(TWref.Nref, 0);
  quietflag = 1;
  CaptureOutput quiet;
  changelenshelp(2);
  ranparmhelp(1);
  EXPECT_EQ(quiet.text(), "");
}

// ---- initmodel ----

namespace {
struct Loaded {
  double penalty;
  std::string out;
};
}  // namespace

class InitModelTest : public LensModelTest {
 protected:
  // Loads a one-model set of the given lines (settings as set), then reloads model 1
  // with initmodel and reports its penalty and what it printed.
  Loaded reload() {
    CaptureOutput out;
    const double pen = initmodel(TWref.ref[1], 0);
    return {pen, out.text()};
  }
  void SetUp() override {
    LensModelTest::SetUp();
    set("gridlo1", 0.1);  // leaves the polar grid's centre out: point masses may sit there
  }
  void set(const char* name, double v) {
    SetVar(name, 0, v);
    SetGlob();
  }
};

TEST_F(InitModelTest, PolarPlacement) {
  set("galcoords", 2);
  load_model({"alpha 1 0.5 0.25 0 0 0 0 0 0 1", "alpha 1 1 0 0 0 0 0 0 0 1", "alpha 1 1 90 0 0 0 0 0 0 1",
              "alpha 1 2 -90 0 0 0 0 0 0 1"});
  EXPECT_NEAR(TWgal.p[2][2], 0.5, 1e-12);  // r = 1, t = 0: straight up from component 1
  EXPECT_NEAR(TWgal.p[2][3], 1.25, 1e-12);
  EXPECT_NEAR(TWgal.p[3][2], -0.5, 1e-12);  // t = 90: towards -x
  EXPECT_NEAR(TWgal.p[3][3], 0.25, 1e-12);
  EXPECT_EQ(TWgal.pos[3][1], 1);
  EXPECT_EQ(TWgal.pos[3][2], 90);
  EXPECT_EQ(TWgal.pos[4][2], 270);  // angle brought into [0, 360]
  // A huge angle is reduced by whole turns too: 1e12 deg = 2777777777 turns + 280 deg.
  TWref.ref[1].p[4][3] = 1e12 + 30;
  reload();
  EXPECT_NEAR(TWgal.pos[4][2], 310, 1e-3);
  // Whole turns end where turn-by-turn steps end: 11 turns at 360, -11 turns at +0.
  TWref.ref[1].p[4][3] = 3960;
  reload();
  EXPECT_EQ(TWgal.pos[4][2], 360);
  TWref.ref[1].p[4][3] = -3960;
  reload();
  EXPECT_EQ(TWgal.pos[4][2], 0);
  EXPECT_FALSE(std::signbit(TWgal.pos[4][2]));
  TWref.ref[1].p[4][3] = -90;
  reload();
  EXPECT_NEAR(TWgal.pos[4][3], 2.5, 1e-12);
  EXPECT_EQ(TWgal.pos[1][3], 0.5);
  EXPECT_EQ(TWgal.pos[1][1], 0);
  // An explicit origin replaces component 1 as the centre.
  set("originX", 10);
  set("originY", 20);
  reload();
  EXPECT_NEAR(TWgal.p[2][2], 10, 1e-12);
  EXPECT_NEAR(TWgal.p[2][3], 21, 1e-12);
  // The caller's arrays are not changed.
  EXPECT_EQ(TWref.ref[1].p[2][2], 1);
  EXPECT_EQ(TWref.ref[1].p[2][3], 0);
}

TEST_F(InitModelTest, CartesianDistanceAndAngle) {
  load_model({"alpha 1 0.5 0.5 0 0 0 0 0 0 1", "alpha 1 -0.5 0.5 0 0 0 0 0 0 1", "alpha 1 1.5 0.5 0 0 0 0 0 0 1",
              "alpha 1 0.5 2.5 0 0 0 0 0 0 1"});
  EXPECT_NEAR(TWgal.pos[2][1], 1, 1e-12);
  EXPECT_NEAR(TWgal.pos[2][2], 90, 1e-12);
  EXPECT_NEAR(TWgal.pos[3][2], 270, 1e-12);
  EXPECT_NEAR(TWgal.pos[4][1], 2, 1e-12);
  EXPECT_NEAR(TWgal.pos[4][2], 0, 1e-12);  // straight up
  EXPECT_EQ(TWgal.pos[3][3], 1.5);
  EXPECT_EQ(TWgal.pos[3][4], 0.5);
}

TEST_F(InitModelTest, ShearAndEllipticityComponents) {
  set("shrcoords", 1);
  load_model({"alpha 1 0 0 0.1 0.1 0.03 -0.04 0 0 1", "mpole 0.1 0 0 0.1 0.1 0 0 0 3 1"});
  EXPECT_NEAR(TWgal.p[1][4], 0.141421356, 1e-8);
  EXPECT_NEAR(TWgal.p[1][5], 22.5, 1e-12);
  EXPECT_NEAR(TWgal.p[1][6], 0.05, 1e-15);
  EXPECT_NEAR(TWgal.p[1][7], std::atan2(-0.04, 0.03) * 90 / kPi, 1e-12);
  EXPECT_NEAR(TWgal.p[2][5], 15, 1e-12);  // mpole: divided by the order 3
}

TEST_F(InitModelTest, PenaltiesClampAndWarn) {
  load_model({"alpha 1 0 0 0.5 0 0 0 0 0 1", "mpole 0.1 0 0 0.5 0 0 0 0 3 1", "fourmode 0.1 0 0 0.5 0 0 0 0 0 1"});
  for (int j = 1; j <= 3; ++j) TWref.ref[1].p[j][4] = 1.2;
  Loaded r = reload();
  EXPECT_DOUBLE_EQ(r.penalty, 2.2e8);
  EXPECT_NE(r.out.find("WARNING: ellip = 1.200000 out of bounds\n"), std::string::npos);  // also when quiet
  EXPECT_EQ(TWgal.p[1][4], 0.99);
  EXPECT_EQ(TWgal.p[2][4], 1.2);
  EXPECT_EQ(TWgal.p[3][4], 1.2);

  set("maxellip", 2);
  set("maxshear", 0.5);
  TWref.ref[1].p[1][6] = 0.7;
  r = reload();
  EXPECT_DOUBLE_EQ(r.penalty, 1.7e8);
  EXPECT_NE(r.out.find("WARNING: shear = 0.700000 out of bounds\n"), std::string::npos);
  EXPECT_EQ(TWgal.p[1][6], 0.5);

  // A positive penalty from a command's reload ends the program.
  EXPECT_EQ(fatal_message([this] { load_model({"alpha 1 0 0 0 0 0.9 0 0 0 1"}); }), "in initmodel called from setlens");
}

TEST_F(InitModelTest, NobflipComparesConvertedValues) {
  set("nobflip", 1);
  load_model({"alpha 1 0 0 0 0 0 0 0 0 1"});
  Mat p(1, 1, 1, 10);
  p[1][1] = -0.5;
  p[1][10] = 1;
  CaptureOutput out;
  EXPECT_DOUBLE_EQ(initmodel(TWref.ref[1].names, p, TWref.ref[1].z, 0), 3.25e8);
  EXPECT_NE(out.text().find("WARNING: b[1] has changed signs\n"), std::string::npos);

  // A point mass given by mass converts to a positive radius on both sides: no flip.
  set("zlens", 0.5);
  set("zsrc", 2);
  load_model({"ptmass -1 0.1 0 0 0 0 0 0 0 0"});
  EXPECT_EQ(reload().penalty, 0);
  // With logRein 1, a model-1 value of -1 is b = 0.1: no flip against any trial value.
  set("logRein", 1);
  set("zlens", -1);
  load_model({"alpha -1 0 0 0 0 0 0 0 0 1"});
  EXPECT_EQ(reload().penalty, 0);
}

TEST_F(InitModelTest, PointMassGivenByMass) {
  set("zlens", 0.5);
  set("zsrc", 2);
  set("hval", 0.7);
  set("verbose", 0);
  quietflag = 0;
  CaptureOutput out;
  load_model({"ptmass -1 0.5 0 0 0 0 0 0 0 0", "ptmass -4 1 0 0 0 0 0 0 0 0"});
  // Independent computation for omega 0.3, lambda 0.7, h 0.7: 2.025938.
  EXPECT_NEAR(TWgal.p[1][1], 2.025938, 2e-6);
  EXPECT_NEAR(TWgal.p[2][1], 2 * TWgal.p[1][1], 1e-12);  // theta_E grows as sqrt(M)
  EXPECT_NE(out.text().find("ptmass: M12,zl,zs= 1.000000 0.500000 2.000000 --> theta_Ein= 2.025938\n"),
            std::string::npos);
  EXPECT_EQ(TWref.ref[1].p[1][1], -1);
  // The lens redshift of a component given by the redshift flag.
  SetVar("zlens", 0, 0.3);
  SetGlob();
  load_file("1 1 1\nptmass -1 0.5 0 0 0 0 0 0 0 0 0.5\n0 0 0 0 0 0 0 0 0 0\n");
  EXPECT_NEAR(TWgal.p[1][1], 2.025938, 2e-6);
  // A redshift of zero gives no distance: refused like an unset one (a model set up with
  // redshifts would refuse it at the refresh already).
  load_model({"ptmass 1 0.5 0 0 0 0 0 0 0 0"});
  set("zlens", 0);
  EXPECT_EQ(fatal_message([this] { load_model({"ptmass -1 0.5 0 0 0 0 0 0 0 0"}); }),
            "to use ptmass with p[1]=mass, redshifts must be specified");
}

TEST_F(InitModelTest, LogarithmicParameters) {
  set("logRein", 1);
  set("logrscale", 1);
  load_model({"alpha 0 0 0 0 0 0 0 0 -1 1", "mpole -1 0 0 0 0 0 0 0.5 3 1", "register 1 2 0.1 0.2 0 0 0 0 0 0"});
  EXPECT_EQ(TWgal.p[1][1], 1);
  EXPECT_EQ(TWgal.p[1][8], 0);  // zero stays zero
  EXPECT_NEAR(TWgal.p[1][9], 0.1, 1e-15);
  EXPECT_NEAR(TWgal.p[2][8], std::sqrt(10.0), 1e-12);
  EXPECT_EQ(TWgal.p[2][9], 3);  // the multipole order is no length
  EXPECT_EQ(TWgal.p[3][1], 1);  // the registration data type is no mass scale
  EXPECT_EQ(TWgal.count, 2);
}

TEST_F(InitModelTest, EmptySlotsBeforeOtherComponentsLeaveNoRowUnconverted) {
  set("galcoords", 2);
  set("shrcoords", 1);
  set("maxellip", 0.5);
  load_model({"alpha 1 0 0 0 0 0 0 0 0 1", "none 0 0 0 0 0 0 0 0 0 0", "register 1 1 0 0 0 0 0 0 0 0",
              "alpha 0.5 1 90 0.3 0.4 0 0 -2 0 1"});
  Loaded r = reload();
  EXPECT_EQ(TWgal.count, 2);
  EXPECT_NEAR(TWgal.p[4][2], -1, 1e-12);  // placed although it stands after two non-mass rows
  EXPECT_NEAR(TWgal.p[4][3], 0, 1e-12);
  EXPECT_EQ(TWgal.p[4][4], 0.5);  // converted from (0.3, 0.4): exactly at the bound ...
  EXPECT_EQ(r.penalty, 0);        // ... so no penalty
  EXPECT_EQ(TWgal.p[4][8], 2);
  EXPECT_EQ(TWgal.p[3][2], 1);  // the register row is left as given
}

TEST_F(InitModelTest, BridgeCut) {
  load_model({"alpha 1 0 0 0 0 0 0 0 0 1", "alpha 1 1 0 0 0 0 0 0 0 1"});
  bridgecutarr.R0 = 5;
  quietflag = 0;
  reload();
  EXPECT_EQ(TWgal.refflag[1], 0);  // no redshifts: every component is cut
  EXPECT_EQ(TWgal.refflag[2], 0);
  bridgecutarr.gal = 3;
  EXPECT_EQ(fatal_message([this] { reload(); }), "bridge cut centre galaxy 3 is out of range");

  set("zlens", 0.5);
  set("zsrc", 2);
  bridgecutarr = BridgeCut();
  load_file("2 1 1\nalpha 1 0 0 0 0 0 0 0 0 1 0.5\nalpha 1 3 4 0 0 0 0 0 0 1 0.5\n"
            "0 0 0 0 0 0 0 0 0 0\n0 0 0 0 0 0 0 0 0 0\n");
  bridgecutarr.R0 = 4.9;
  bridgecutarr.gal = 1;
  Loaded r = reload();
  EXPECT_EQ(TWgal.refflag[1], 1);
  EXPECT_EQ(TWgal.refflag[2], 0);  // 5 from component 1, bridge scale 1
  EXPECT_NE(r.out.find("Galaxies surviving the bridge cut:\n   alpha 1.000000e+00 0.0"), std::string::npos);
  bridgecutarr.R0 = 5.1;
  reload();
  EXPECT_EQ(TWgal.refflag[2], 1);
  bridgecutarr = BridgeCut();
  reload();
  EXPECT_EQ(TWgal.refflag[1], 1);
}

TEST_F(InitModelTest, UnknownCoordinateConventions) {
  load_model({"alpha 1 0 0 0 0 0 0 0 0 1", "alpha 1 1 0 0 0 0 0 0 0 1"});
  settings.galcoords = 3;  // the settings refresh refuses these; the loader checks them too
  EXPECT_EQ(fatal_message([this] { reload(); }), "unknown value of galcoords");
  settings.galcoords = 1;
  settings.shrcoords = 0;
  EXPECT_EQ(fatal_message([this] { reload(); }), "unknown value of shrcoords");
  Input in("alpha 1 0 0 0.995 0 0 0 0 0 1\n");
  EXPECT_EQ(fatal_message([] { run_handler(changelens, cmd({"changelens", "2"})); }), "in initmodel called from changelens");
}

TEST_F(InitModelTest, PointMassAtThePolarGridCentre) {
  set("gridlo1", 0);
  EXPECT_EQ(fatal_message([this] { load_model({"ptmass 1 0 0 0 0 0 0 0 0 0"}); }),
            "with a ptmass at the origin, gridlo1 must be >0");
  set("gridlo1", 0.01);
  load_model({"ptmass 1 0 0 0 0 0 0 0 0 0"});
  EXPECT_EQ(TWgal.p[1][1], 1);
}

TEST_F(InitModelTest, SwitchingAComponentOffRemovesExactlyItsField) {
  settings.potflag = 1;
  load_model({"ptmass 1 0 0 0 0 0.1 30 0 0 0", "ptmass 0.4 1 0.5 0 0 0.05 10 0 0 0"});
  auto field = [](double x, double y) {
    std::array<double, 8> o{};
    potdefmag(x, y, o[1], o[2], o[3], o[4], o[5], o[6], o[7]);
    return o;
  };
  const double x = 0.7, y = -0.3;
  const auto both = field(x, y);
  {
    CaptureOutput out;
    run_handler(turnoff, cmd({"turnoff", "gal", "2"}));
  }
  const auto first = field(x, y);
  load_model({"ptmass 0.4 1 0.5 0 0 0.05 10 0 0 0"});
  const auto second = field(x, y);
  for (int k = 1; k <= 7; ++k) EXPECT_NEAR(both[k] - first[k], second[k], 1e-12) << k;
  EXPECT_NE(both[2], first[2]);
}

// ---- changelens and ranparm ----

TEST_F(LensModelTest, ChangelensReplacesComponentsOfOneOrEveryModel) {
  load_file("2 2\nalpha 1 0 0 0 0 0 0 0 0 1\nalpha 1 1 0 0 0 0 0 0 0 1\n"
            "alpha 2 0 0 0 0 0 0 0 0 1\nalpha 2 1 0 0 0 0 0 0 0 1\n"
            "0 0 0 0 0 0 0 0 0 0\n0 0 0 0 0 0 0 0 0 0\n");
  TWgal.refon[1] = 0;
  {
    Input in("expdisk 0.5 0 0 0 0 0 0 1 0 0\nptmass 0.2 1 1 0 0 0 0 0 0 0\n");
    CaptureOutput out;
    run_handler(changelens, cmd({"changelens", "1", "-2"}));
    EXPECT_EQ(out.text(), "Enter galaxy #1\nEnter galaxy #-2\n");  // also when quiet
  }
  EXPECT_EQ(TWref.ref[1].names[1], "expdisk");
  EXPECT_EQ(TWref.ref[2].names[1], "alpha");
  EXPECT_EQ(TWref.ref[1].names[2], "ptmass");
  EXPECT_EQ(TWref.ref[2].names[2], "ptmass");
  EXPECT_EQ(TWref.ref[2].p[2][3], 1);
  EXPECT_EQ(TWgal.name(1), "expdisk");  // model 1 reloaded ...
  EXPECT_EQ(TWgal.refon[1], 1);         // ... with every component on again

  Input in2("alpha 1 0 0 0 0 0 0 0 0\n");
  EXPECT_EQ(fatal_message([] { run_handler(changelens, cmd({"changelens", "1"})); }), "in changelens, you gave too few parameters.");
  EXPECT_EQ(fatal_message([] { run_handler(changelens, cmd({"changelens", "1"})); }), "in changelens, you gave too few parameters.");
  EXPECT_EQ(fatal_message([] { run_handler(changelens, cmd({"changelens", "3"})); }), "galaxy index 3 is out of range");
  EXPECT_EQ(fatal_message([] { run_handler(changelens, cmd({"changelens", "-3"})); }), "galaxy index -3 is out of range");
  EXPECT_EQ(fatal_message([] { run_handler(changelens, cmd({"changelens", "0"})); }), "galaxy index 0 is out of range");
}

TEST_F(LensModelTest, ChangelensStartsTheRegistrationShiftsAfresh) {
  load_model({"alpha 1 0 0 0 0 0 0 0 0 1", "register 1 0 0.01 -0.02 0 0 0 0 0 0"});
  double phi, ax, ay, xx, yy, xy, yx, dx, dy;
  potdefmag(0.5, 0.2, phi, ax, ay, xx, yy, xy, yx);  // an evaluation loads the register row
  GetRegister(1, 2, dx, dy);
  EXPECT_EQ(dx, 0.01);
  EXPECT_EQ(dy, -0.02);
  {
    Input in("none 0 0 0 0 0 0 0 0 0 0\n");
    run_handler(changelens, cmd({"changelens", "2"}));
  }
  potdefmag(0.5, 0.2, phi, ax, ay, xx, yy, xy, yx);
  GetRegister(1, 2, dx, dy);  // the replaced component leaves no shift behind
  EXPECT_EQ(dx, 0);
  EXPECT_EQ(dy, 0);
  {
    Input in("register 1 2 0.03 0.04 0 0 0 0 0 0\n");
    run_handler(changelens, cmd({"changelens", "2"}));
  }
  potdefmag(0.5, 0.2, phi, ax, ay, xx, yy, xy, yx);
  GetRegister(1, 2, dx, dy);
  EXPECT_EQ(dx, 0.03);
  GetRegister(1, 1, dx, dy);
  EXPECT_EQ(dx, 0);
}

TEST_F(LensModelTest, CommandsOnAComponentNeedAModel) {
  const std::string msg = "no lens model has been specified";
  EXPECT_EQ(fatal_message([] { run_handler(changelens, cmd({"changelens", "1"})); }), msg);
  EXPECT_EQ(fatal_message([] { run_handler(ranparm, cmd({"ranparm", "1", "1", "0", "1"})); }), msg);
  EXPECT_EQ(fatal_message([] { run_handler(changevary, cmd({"changevary", "1"})); }), msg);
  EXPECT_EQ(fatal_message([] { run_handler(stepsize, cmd({"stepsize", "1"})); }), msg);
  // Commands that use the whole model work on the empty table.
  run_handler(changevary, cmd({"changevary", "0"}));
  run_handler(changevary, cmd({"changevary", "-1"}));
  {
    CaptureOutput out;
    run_handler(turnoff, cmd({"turnoff", "gal", "1"}));
  }
  EXPECT_EQ(initmodel(BVec<std::string>(), Mat(), Vec(), 0), 0);
}

TEST_F(LensModelTest, RanparmRepeatsForTheSameSeedOfEitherSign) {
  load_model({"alpha 1 0 0 0 0 0 0 0 0 1", "alpha 1 1 0 0 0 0 0 0 0 1"});
  for (double seed : {-15.0, 40.0, 200.0}) {
    SetVar("seed", 0, seed);
    run_handler(ranparm, cmd({"ranparm", "2", "3", "0", "2"}));
    const double a = TWref.ref[1].p[2][3];
    long draw = 0;  // another stream in between must not matter
    ran2(draw);
    run_handler(ranparm, cmd({"ranparm", "2", "3", "0", "2"}));
    EXPECT_EQ(TWref.ref[1].p[2][3], a) << seed;
    EXPECT_GT(a, 0);
    EXPECT_LT(a, 2);
    EXPECT_EQ(TWgal.p[2][3], a);
    // The value is the first deviate of the private seed seed - 23 igal - 11 iparm.
    long s = static_cast<long>(seed) - 23 * 2 - 11 * 3;
    if (s > 0) s = -s;
    EXPECT_EQ(a, 2 * ran2(s));
  }
  EXPECT_EQ(GetVar("seed"), 200);
  EXPECT_EQ(fatal_message([] { run_handler(ranparm, cmd({"ranparm", "3", "1", "0", "1"})); }), "galaxy index 3 is out of range");
  EXPECT_EQ(fatal_message([] { run_handler(ranparm, cmd({"ranparm", "1", "11", "0", "1"})); }), "parameter index 11 is out of range");
  EXPECT_EQ(fatal_message([] { run_handler(ranparm, cmd({"ranparm", "1", "0", "0", "1"})); }), "parameter index 0 is out of range");
  SetVar("maxellip", 0, 0.5);
  EXPECT_EQ(fatal_message([] { run_handler(ranparm, cmd({"ranparm", "1", "4", "0.9", "1"})); }), "in initmodel from ranparm");
  quietflag = 0;
  CaptureOutput out;
  run_handler(ranparm, cmd({"ranparm", "1", "1"}));
  EXPECT_EQ(out.text().rfind("ranparm <igal> <iparm> <lo> <hi>", 0), 0u);
}
