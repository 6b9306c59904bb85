// A started program with a lens at redshift 0.5 and a source at 2, for the tests of
// multi-plane models and the line-of-sight commands.
#pragma once

#include "core/command_fixture.h"

class LineOfSightTest : public CommandTest {
 protected:
  void SetUp() override {
    CommandTest::SetUp();
    set("gridlo1", 0.05);
    set("zlens", 0.5);
    set("zsrc", 2);
  }
  // Sets a variable and refreshes the settings.
  void set(const char* name, double v) {
    SetVar(name, 0, v);
    SetGlob();
  }
};
