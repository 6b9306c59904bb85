// The settings refresh: the checks that end it with their messages, the notes and warnings
// it prints, the mirrors and derived values (the cosmology block and the time-delay scale
// against an independent integration), and the fresh state that start-up leaves.

#include <gtest/gtest.h>

#include <cmath>
#include <iterator>

#include "app/startup.h"
#include "core/lens_model.h"
#include "imageplane/grid.h"
#include "imageplane/source_models.h"
#include "io/wcs.h"
#include "models/component.h"
#include "models/evaluator.h"
#include "shell/commands.h"
#include "shell/fatal.h"
#include "shell/settings.h"
#include "shell/vars.h"
#include "support/test_support.h"

namespace {
class Refresh : public ::testing::Test {
 protected:
  void SetUp() override {
    start_program(stdin, stdout);
    quietflag = 1;
  }
  void TearDown() override { quietflag = 0; }
  std::string refresh_error() {
    try {
      SetGlob();
    } catch (const FatalError& e) {
      return e.message;
    }
    return "";
  }
};
}  // namespace

TEST_F(Refresh, BadSettingsEndTheRefreshWithTheirMessage) {
  struct Case {
    std::vector<std::pair<const char*, double>> values;
    const char* message;
  };
  // One case per row of the check table, then cases where two tests fail (the first in
  // the table's order reports) and values that are out of range for their integer mirror.
  const std::vector<Case> cases = {
      {{{"nsubg1", 0}}, "Number of subgrid zones must be positive"},
      {{{"nsubg2", -1}}, "Number of subgrid zones must be positive"},
      {{{"maxlev", 0}}, "maxlev must be >= 1"},
      {{{"gallev", 0}}, "gallev must be >= 1"},
      {{{"imglev", -2}}, "imglev must be >= 1"},
      {{{"crittol", 0}}, "crittol must be positive"},
      {{{"deftol", -1e-3}}, "deftol must be positive"},
      {{{"tdeltol", -1}}, "tdeltol must be non-negative"},
      {{{"galcoords", 3}}, "galcoords must be 1 or 2"},
      {{{"galcoords", 0}}, "galcoords must be 1 or 2"},
      {{{"shrcoords", 0}}, "shrcoords must be 1 or 2"},
      {{{"gridcoords", 3}}, "gridcoords must be 1 or 2"},
      {{{"potflag", -1}}, "potflag must be 0 or 1"},
      {{{"potflag", 2}}, "potflag must be 0 or 1"},
      {{{"xmatch", 0}}, "xmatch must be positive"},
      {{{"xtol", -1}}, "xtol must be positive"},
      {{{"catalog", 2}}, "catalog must be 0 or 1"},
      {{{"catalog", -1}}, "catalog must be 0 or 1"},
      {{{"gridlo1", -0.1}}, "for polar grid, gridlo1 and gridhi1 must be positive"},
      {{{"gridhi1", -1}}, "for polar grid, gridlo1 and gridhi1 must be positive"},
      {{{"gridlo1", -0.1}, {"nsubg1", 0}}, "for polar grid, gridlo1 and gridhi1 must be positive"},
      {{{"catalog", 2}, {"maxlev", 0}}, "maxlev must be >= 1"},
      {{{"xtol", 0}, {"galcoords", 5}}, "galcoords must be 1 or 2"},
      {{{"zlens", 2}, {"zsrc", 1}}, "lens redshift must be smaller than source redshift"},
      {{{"zlens", 1}, {"zsrc", 1}}, "lens redshift must be smaller than source redshift"},
      {{{"ngrid1", 5e12}}, "variable ngrid1 is out of range for an integer"},
      // Grid settings that leave no grid, and the bounds of those that multiply its nodes.
      {{{"ngrid1", 1}}, "ngrid1 = 1 leaves no grid: it needs at least 2 steps"},
      {{{"ngrid1", -1}}, "ngrid1 = -1 leaves no grid: it needs at least 2 steps"},
      {{{"ngrid2", 0}}, "ngrid2 = 0 leaves no grid: it needs at least 2 steps"},
      {{{"gridhi1", 0}}, "gridhi1 = 0 is not above gridlo1 = 0: the grid has no extent"},
      {{{"gridlo1", 5}}, "gridhi1 = 2 is not above gridlo1 = 5: the grid has no extent"},
      {{{"gridhi2", 0}}, "gridhi2 = 0 is not above gridlo2 = 0: the grid has no extent"},
      {{{"gridcoords", 1}, {"gridlo2", 3}, {"gridhi2", -3}},
       "gridhi2 = -3 is not above gridlo2 = 3: the grid has no extent"},
      {{{"ngrid1", -2001}}, "ngrid1 must be between -2000 and 2000 (it is -2001)"},
      {{{"ngrid2", 2001}}, "ngrid2 must be <= 2000 (it is 2001)"},
      {{{"nsubg1", 17}}, "nsubg1 must be <= 16 (it is 17)"},
      {{{"nsubg2", 100}}, "nsubg2 must be <= 16 (it is 100)"},
      {{{"maxlev", 100}}, "maxlev must be <= 16 (it is 100)"},
      {{{"gallev", 17}}, "gallev must be <= 16 (it is 17)"},
      {{{"imglev", 1000}}, "imglev must be <= 16 (it is 1000)"},
      {{{"srccat", 20000}}, "srccat must be <= 2000 (it is 20000)"},
      {{{"seed", 1e19}}, "variable seed is out of range for an integer"},
      {{{"batchwrite", -3e9}}, "variable batchwrite is out of range for an integer"},
  };
  for (const auto& c : cases) {
    start_program(stdin, stdout);
    quietflag = 1;
    std::string label;
    for (const auto& [name, value] : c.values) {
      SetVar(name, 0, value);
      label += std::string(name) + " ";
    }
    EXPECT_EQ(refresh_error(), c.message) << label;
  }
}

TEST_F(Refresh, SingleGridValuesAreRefusedInTheRefreshsWords) {
  // What a check of one value (set) refuses, the refresh refuses with the same text.
  struct Case {
    const char* name;
    double value;
  };
  const Case cases[] = {{"ngrid1", 1},    {"ngrid1", -1},   {"ngrid1", 0},     {"ngrid1", 2001}, {"ngrid1", -2001},
                        {"ngrid2", 1},    {"ngrid2", 2001}, {"nsubg1", 0},     {"nsubg2", 17},   {"maxlev", 100},
                        {"maxlev", 0},    {"gallev", 17},   {"imglev", -2},    {"srccat", 2001}, {"ngrid1", -2},
                        {"ngrid2", 2000}, {"maxlev", 16},   {"srccat", -5},    {"nsubg1", 1},    {"gridhi1", 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.name) + " " + std::to_string(c.value));
    start_program(stdin, stdout);
    quietflag = 1;
    SetVar(c.name, 0, c.value);
    const std::string alone = grid_value_refusal(c.name, c.value);
    if (std::string(c.name) == "gridhi1") {
      EXPECT_EQ(alone, "");  // refused only with gridlo1, by the refresh
      EXPECT_NE(refresh_error(), "");
    } else {
      EXPECT_EQ(refresh_error(), alone);
    }
  }
  EXPECT_EQ(grid_value_refusal("maxlev", 100), "maxlev must be <= 16 (it is 100)");
  EXPECT_EQ(grid_value_refusal("omitcore", 1e6), "");
  EXPECT_EQ(grid_value_refusal("maxlev", std::nan("")), "");
}

TEST_F(Refresh, ValuesThatPassTheChecks) {
  // A Cartesian grid may have negative limits; a real setting that is not a number passes
  // the tests; an integer setting a hair below an integer reads as that integer;
  // batchwrite is plainly truncated, without the factor and without a warning.
  SetVar("gridcoords", 0, 1);
  SetVar("gridlo1", 0, -2);
  SetVar("crittol", 0, std::nan(""));
  SetVar("maxlev", 0, 2.9999999);
  SetVar("ngrid1", 0, -2000);  // the widest logarithmic top grid
  SetVar("nsubg2", 0, 16);
  SetVar("batchwrite", 0, 2.9999999);
  CaptureOutput out;
  EXPECT_EQ(refresh_error(), "");
  EXPECT_EQ(settings.gridlo1, -2);
  EXPECT_TRUE(std::isnan(settings.crittol));
  EXPECT_EQ(settings.maxlev, 3);
  EXPECT_EQ(settings.batchwrite, 2);
  EXPECT_EQ(out.text(), "");
}

TEST_F(Refresh, NotesAndWarningsOfTheRefresh) {
  struct Case {
    std::vector<std::pair<const char*, double>> values;
    int quiet;
    const char* expected;  // the whole output of one refresh
  };
  const std::vector<Case> cases = {
      {{}, 0, ""},
      {{{"gridhi2", 180}}, 0, "Note: Polar grid angular coverage is not 360 degrees\n"},
      {{{"gridhi2", 180}}, 1, ""},
      {{{"gridlo2", -180}, {"gridhi2", 180.005}}, 0, ""},
      {{{"gridcoords", 1}, {"gridhi2", 180}}, 0, ""},
      {{{"catalog", 1}}, 0, "Note: old catalog variable has been superseded by srccat\n"},
      {{{"catalog", 1}}, 1, ""},
      {{{"microimages", 1e-7}}, 1, "WARNING: microimages should not be smaller than xtol\n"},
      {{{"microimages", 1e-6}}, 0, ""},
      {{{"verbose", 1.5}}, 1,
       "WARNING: variable verbose should be an integer.\nWARNING: variable verbose should be an integer.\n"},
      {{{"maximg", 2.5}}, 1, "WARNING: variable maximg should be an integer.\n"},
  };
  for (const auto& c : cases) {
    start_program(stdin, stdout);
    std::string label;
    for (const auto& [name, value] : c.values) {
      SetVar(name, 0, value);
      label += std::string(name) + " ";
    }
    quietflag = c.quiet;
    CaptureOutput out;
    SetGlob();
    EXPECT_EQ(out.text(), c.expected) << label << "quiet " << c.quiet;
  }
}

TEST_F(Refresh, StartUpLeavesAFreshCoreWhateverCameBefore) {
  // Disturb the state that start-up owns, then start again.
  TWref.Ngal = 3;
  TWref.Nref = 2;
  TWgal.allocate(3);
  TWmod.scale = 2.5;
  WCSinfo.on = 1;
  ellipse = ellipse2;
  setgridmode(2);
  InitSrcArr(4, 100);
  LOS.on = 1;
  LOS.shearmode = 2;
  TWtrack.track_mode = 2;
  settings.rscale = 7;
  settings.Rthresh = 3;

  start_program(stdin, stdout);
  EXPECT_EQ(TWref.Ngal, 0);
  EXPECT_EQ(TWref.Nref, 0);
  EXPECT_EQ(TWgal.NGALMAX, 0);
  EXPECT_TRUE(TWgal.p.empty());
  EXPECT_EQ(TWmod.scale, 1.0);
  EXPECT_FALSE(WCSinfo.is_on());
  EXPECT_EQ(ellipse, ellipse1);
  EXPECT_EQ(TWgrid.grid_mode, 1);
  EXPECT_EQ(TWgrid.grid_range, gridrng0);
  ASSERT_EQ(TWsrc.Nsource, 1);
  EXPECT_EQ(TWsrc.srcID[1], "ptsrc");
  EXPECT_EQ(TWsrc.srcparms[1][1], 1.0);
  EXPECT_EQ(TWsrc.srcon[1], 1);
  EXPECT_EQ(TWsrc.finsrc_ray_num, 0);
  EXPECT_EQ(LOS.on, 0);
  EXPECT_EQ(LOS.shearmode, 1);
  EXPECT_EQ(TWtrack.track_mode, 0);
  EXPECT_EQ(settings.rscale, 1);
  EXPECT_EQ(settings.Rthresh, -1);
  EXPECT_EQ(quietflag, 0);

  // The tables: the core's commands first (version .. set .. help .. quit .. exit), then
  // the fitting program's; the 70 core settings, then the 23 fitting settings.
  ASSERT_GE(cmdlist().size(), 5u);
  const char* first[] = {"version", "set", "help", "quit", "exit", "rm", "mv"};
  for (size_t k = 0; k < std::size(first); ++k) EXPECT_STREQ(cmdlist()[k]->name, first[k]);
  EXPECT_STREQ(cmdlist().back()->name, "try2");
  ASSERT_EQ(varlist().size(), 93u);
  EXPECT_EQ(varlist()[0].name, "rscale");
  EXPECT_EQ(varlist()[17].description, "[Radius of region for accurate clump lensing        ]");
  EXPECT_EQ(varlist()[69].name, "tempfiles");
  EXPECT_EQ(varlist()[70].name, "maximg");
  EXPECT_EQ(varlist()[92].name, "extraflux");
}

TEST_F(Refresh, MirrorsAndDerivedValues) {
  SetVar("hval", 0, 0.7);
  SetVar("hvale", 0, 0.1);
  SetVar("seed", 0, 7.5);
  SetVar("zsrc", 0, 2);
  quietflag = 0;
  CaptureOutput out;
  SetGlob();
  EXPECT_NEAR(settings.hvale, 0.1 / 0.49, 1e-15);
  SetGlob();  // recomputed from the variable, never compounded
  EXPECT_NEAR(settings.hvale, 0.1 / 0.49, 1e-15);
  EXPECT_EQ(settings.shoot_pseed, 7);
  EXPECT_EQ(settings.shoot_rseed, 7);
  EXPECT_NE(out.text().find("WARNING: variable seed should be a long integer."), std::string::npos);
  EXPECT_EQ(settings.zref, 2);  // a negative reference redshift takes the source redshift
  EXPECT_EQ(GetVar("zref"), -1);
  EXPECT_EQ(settings.maximg, 10);
  EXPECT_EQ(settings.ngrid1, 20);
  EXPECT_EQ(settings.seed, 7);

  SetVar("gridhi2", 0, 180);
  SetGlob();
  EXPECT_NE(out.text().find("Note: Polar grid angular coverage is not 360 degrees"), std::string::npos);
}

TEST_F(Refresh, CosmologyBlockAndTimeDelayScale) {
  SetVar("zlens", 0, 0.5);
  SetVar("zsrc", 0, 2);
  CaptureOutput out;
  SetGlob();
  // Distances from an independent integration at omega 0.3, lambda 0.7.
  EXPECT_NEAR(settings.tscale, 58.2175, 1e-3);
  EXPECT_NE(out.text().find("Cosmology:\n  omega,lambda = 0.300 0.700\n  zlens,zsrc   = 0.500 2.000\n"
                            "  Dol,Dls,Dos  = 881.35 767.95 1208.62 h^-1 Mpc\n  tscale       = 58.21"),
            std::string::npos)
      << out.text();
  EXPECT_EQ(count_occurrences(out.text(), "Note:"), 0);

  SetVar("zref", 0, 1000);
  SetGlob();
  const double Dol = 881.35 / 2997.9;
  EXPECT_NEAR(settings.tscale, 1.5 * 83.8825 * Dol, 1e-3);
  EXPECT_NE(out.text().find("Note: model is referenced to Dls/Dos=1:"), std::string::npos);

  SetVar("zref", 0, 1);
  SetGlob();
  EXPECT_NE(out.text().find("Note: we are using a different reference redshift:\n  zref         = 1.000\n"),
            std::string::npos);

  SetVar("tscale", 0, 2);
  const size_t before = out.text().size();
  SetGlob();
  EXPECT_EQ(settings.tscale, 2);
  EXPECT_EQ(out.text().find("Cosmology:", before), std::string::npos);

  SetVar("tscale", 0, 1);
  SetVar("zlens", 0, 2);
  SetVar("zsrc", 0, 1);
  try {
    SetGlob();
    FAIL();
  } catch (const FatalError& e) {
    EXPECT_EQ(e.message, "lens redshift must be smaller than source redshift");
  }
}
