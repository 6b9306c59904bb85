// A freshly started program for the tests of the model and source commands: quiet, no
// grid builds, and what the commands print swallowed (tests capture their own output).
#pragma once

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "app/startup.h"
#include "shell/commands.h"
#include "shell/fatal.h"
#include "shell/vars.h"
#include "support/test_support.h"

inline WordArray cmd(std::vector<std::string> w) { return WordArray(std::move(w)); }

class CommandTest : public ::testing::Test {
 protected:
  void SetUp() override {
    start_program(stdin, stdout);  // every model, source and step table starts empty
    sink.emplace();
    end_command_messages();  // each test starts a command of its own
    quietflag = 1;
    SetVar("gridflag", 0, 0);
    SetGlob();
  }
  void TearDown() override {
    quietflag = 0;
    sink.reset();
  }

  std::optional<CaptureOutput> sink;  // swallows what the commands print; tests nest their own
};
