#include <gtest/gtest.h>

#include "shell/commands.h"
#include "shell/fatal.h"
#include "shell/settings.h"
#include "shell/startup.h"
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
    const char* name;
    double value;
    const char* message;
  };
  const std::vector<Case> cases = {
      {"galcoords", 3, "galcoords must be 1 or 2"},
      {"galcoords", 0, "galcoords must be 1 or 2"},
      {"potflag", -1, "potflag must be 0 or 1"},
      {"catalog", 2, "catalog must be 0 or 1"},
      {"nsubg1", 0, "Number of subgrid zones must be positive"},
      {"maxlev", 0, "maxlev must be >= 1"},
      {"crittol", 0, "crittol must be positive"},
      {"xtol", -1, "xtol must be positive"},
      {"gridlo1", -0.1, "for polar grid, gridlo1 and gridhi1 must be positive"},
      {"ngrid1", 5e12, "variable ngrid1 is out of range for an integer"},
  };
  for (const auto& c : cases) {
    start_program(stdin, stdout);
    quietflag = 1;
    SetVar(c.name, 0, c.value);
    EXPECT_EQ(refresh_error(), c.message) << c.name;
  }
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
