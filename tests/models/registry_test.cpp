// Model-class registry, listmodels, placeholders and the total mass/density sums.
#include <gtest/gtest.h>

#include <functional>
#include <sstream>

#include "models/classes.h"
#include "models/component.h"
#include "models/registry.h"
#include "shell/fatal.h"
#include "shell/settings.h"
#include "support/test_support.h"

namespace {

void fresh_model(int n) {
  InitModels();
  TWgal.allocate(n);
  settings = Settings();
  settings.potflag = 1;
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

// A class with a density and mass of its own: rho = b r, M = b r^2 (values only need to
// be recognisable).
double test_rho(double r) { return cur.b * r; }
double test_mass(double r) { return cur.b * r * r; }
void test_eval(DerivVector& out, double x, double y) { out[1] = 7.0; }

}  // namespace

TEST(Registry, ListModelsPrintsTheFiftyOneClassesInOrder) {
  fresh_model(0);
  CaptureOutput cap;
  run_handler(listmodels, WordArray({"listmodels", "extra", "words"}));
  const auto lines = lines_of(cap.text());
  ASSERT_EQ(lines.size(), 51u);
  EXPECT_EQ(lines[0], "ring     : Ring source parameters (only in tarnsolve)");
  EXPECT_EQ(lines[11], "ArnoldADE : Arnold ADE -- QVM IN DEVELOPMENT");  // nine letters, not cut
  EXPECT_EQ(lines[12], "ptmass   : Point mass");
  EXPECT_EQ(lines[22], "devauc   : de Vaucouleurs r^(1/4) model (numerical) ");
  EXPECT_EQ(lines[43], "expdisk  : Exponential disk (numerical)  ");
  EXPECT_EQ(lines[50], "gausT    : Gaussian model (tabulated)");
  // Registration position and ClassId agree for every class.
  for (const ModelClass& m : modlist()) EXPECT_EQ(FindModelClass(m.name)->id, m.id);
  EXPECT_EQ(FindModelClass("nfwpot")->id, CLS_nfwpot);
}

TEST(Registry, ListModelsPrintsInQuietModeButItsHelpDoesNot) {
  fresh_model(0);
  quietflag = 1;
  {
    CaptureOutput cap;
    run_handler(listmodels, WordArray({"listmodels"}));
    listmodelshelp(2);
    EXPECT_EQ(lines_of(cap.text()).size(), 51u);
  }
  quietflag = 0;
  CaptureOutput cap;
  listmodelshelp(1);
  listmodelshelp(2);
  EXPECT_EQ(cap.text(), "Lists all mass models.\nLists all mass models.\n");
}

TEST(Registry, UnknownClassFailsAtFirstEvaluationNotWhenStored) {
  fresh_model(1);
  setID(1, "Ptmass");  // differs from "ptmass" only in case
  setp(1, 1, 1.0);
  initgal(1);          // loading is fine
  DerivVector out;
  EXPECT_EQ(fatal_message([&] { ellipse1(out, 1.0, 0.0); }), "unknown model class Ptmass");
}

TEST(Registry, ClassNotBuiltYetEndsWithItsName) {
  // Stands for any class whose routine has not landed (the class table points it at
  // not_built).
  fresh_model(1);
  AddMod("later", modelclass::not_built, modelclass::dumrho, modelclass::dummass, "not yet");
  setID(1, "later");
  setp(1, 1, 1.0);
  initgal(1);
  DerivVector out;
  const std::string msg = fatal_message([&] { ellipse1(out, 1.0, 0.5); });
  EXPECT_EQ(msg, "model class later is not available in this build");
  InitModels();
}

TEST(Registry, SetModReplacesInPlaceAndAddModAppends) {
  fresh_model(1);
  const ModelClass* before = FindModelClass("alpha");
  SetMod("alpha", test_eval, test_rho, test_mass, "replaced");
  EXPECT_EQ(FindModelClass("alpha"), before);  // same entry, components keep their class
  EXPECT_EQ(before->description, "replaced");
  EXPECT_EQ(modlist().size(), 51u);
  setID(1, "alpha");
  initgal(1);
  DerivVector out;
  ellipse1(out, 0.3, 0.4);
  EXPECT_EQ(out[1], 7.0);

  // A name that was unknown when stored names the class once it is registered.
  setID(1, "extra");
  EXPECT_EQ(TWgal.cid(1), CLS_UNKNOWN);
  AddMod("extra", test_eval, test_rho, test_mass, "first");
  AddMod("extra", modelclass::dummy, test_rho, test_mass, "duplicate");
  EXPECT_EQ(modlist().size(), 53u);
  EXPECT_EQ(FindModelClass("extra")->description, "first");  // the earliest wins
  initgal(1);
  ellipse1(out, 0.3, 0.4);
  EXPECT_EQ(out[1], 7.0);
  InitModels();
}

TEST(Registry, PlaceholderRoutines) {
  fresh_model(0);
  DerivVector out;
  out[3] = 5;
  {
    CaptureOutput cap;
    modelclass::rgstfunc(out, 1, 1);
    modelclass::LOSshrfunc(out, 1, 1);
    modelclass::dummy(out, 1, 1);
    EXPECT_EQ(cap.text(),
              "WARNING: YOU SHOULD NOT HAVE ENTERED rgstfunc!\n"
              "WARNING: YOU SHOULD NOT HAVE ENTERED LOSshrfunc!\n");
  }
  for (int k = 1; k <= 10; ++k) EXPECT_EQ(out[k], 0.0);
  EXPECT_EQ(fatal_message([] { modelclass::dumrho(1.0); }), "3-d density not defined for this model");
  EXPECT_EQ(fatal_message([] { modelclass::dummass(1.0); }), "3-d density not defined for this model");
}

TEST(Registry, TotalMassAndDensitySumEveryRowAndReloadComponentOne) {
  // Empty model: nothing to sum, nothing to reload.
  fresh_model(0);
  EXPECT_EQ(total_mass(2.0), 0.0);
  EXPECT_EQ(total_rho(2.0), 0.0);

  fresh_model(4);
  SetMod("alpha", test_eval, test_rho, test_mass, "test");
  setID(1, "alpha");
  setp(1, 1, 1.0);
  setID(2, "register");
  setp(2, 1, 1.0);
  setID(3, "alpha");
  setp(3, 1, 2.0);
  TWgal.refon[3] = 0;  // switched off: still counted
  // row 4 stays "none"
  EXPECT_DOUBLE_EQ(total_mass(2.0), 1.0 * 4 + 2.0 * 4);
  EXPECT_DOUBLE_EQ(total_rho(2.0), 1.0 * 2 + 2.0 * 2);
  EXPECT_EQ(cur.igal, 1);
  // A class without a density pair ends the program.
  setID(4, "ptmass");
  EXPECT_EQ(fatal_message([] { total_mass(1.0); }), "3-d density not defined for this model");
  setID(4, "bogus");
  EXPECT_EQ(fatal_message([] { total_rho(1.0); }), "unknown model class bogus");
  InitModels();
}
