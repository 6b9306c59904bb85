// A started program with a lens model loaded from component lines, for the tests of the
// commands that question the model (Einstein radii, tables, checks, cross sections).
#pragma once

#include <string>
#include <vector>

#include "core/command_fixture.h"
#include "core/lens_model.h"
#include "shell/settings.h"
#include "shell/vars.h"

class ModelCommandTest : public CommandTest {
 protected:
  // Loads a model set of nref models of lines.size() / nref components (vary flags 0).
  void load(const std::vector<std::string>& lines, int nref = 1) {
    const int ngal = static_cast<int>(lines.size()) / nref;
    std::string text;
    for (const auto& l : lines) text += l + "\n";
    for (int j = 0; j < ngal; ++j) text += "0 0 0 0 0 0 0 0 0 0\n";
    CommandInput in(text);
    run_handler(setlens, cmd({"setlens", std::to_string(ngal), std::to_string(nref)}));
  }
  // Sets a numeric setting; the next command's refresh takes it up.
  static void set(const char* name, double value) { SetVar(name, 0, value); }
  // Runs a command, returning what it printed.
  template <class Handler>
  static std::string run(Handler h, std::vector<std::string> words) {
    CaptureOutput out;
    run_handler(h, cmd(std::move(words)));
    return out.text();
  }
  ScratchDir dir;
};
