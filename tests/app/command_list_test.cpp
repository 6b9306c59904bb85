// The program's command list: every command registered at start-up, in help-listing order.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "app/startup.h"
#include "shell/commands.h"
#include "support/test_support.h"

namespace {

// The core's commands, then the fitting program's, in registration order.
const std::vector<std::string> kCoreNames = {
    "version", "set", "help", "quit", "exit", "rm", "mv", "startup", "setlens",
    "changelens", "thetaEin", "stepsize", "setsource", "turnoff", "turnon", "regrid",
    "ranparm", "showLOS", "shearLOS", "masscomplete", "plotzbridge", "bridgecut",
    "changevary", "changevarysrc", "listmodels", "gridmode", "maingrid", "galgrid",
    "imggrid", "imgarray", "autogrid", "ranpos", "checkmod", "checkder", "checkPder",
    "checktree", "checkmag", "plotgrid", "plotcrit", "fitcrit", "plotkappa", "plotshear",
    "plotmu", "plotdef0", "plotdef1", "plotdef2", "plottdel", "plotmaps", "HFFmaps2d",
    "HFFmaps3d", "magweightimg", "magweightsrc", "plotmag", "plotpot", "magtensor",
    "magtensImg", "magtensSrc", "calcRein", "setMrat", "findimg", "findimg2", "findimg3",
    "findsrc", "findsrc3", "magcrosssec", "checkfinsrc", "doPCA", "mock1", "mock2",
    "mock3", "mockLF", "mocklens", "batchmock1", "batchmock2", "mockcsec", "csec2sep",
    "ranlens", "ranlens1", "ellsrc", "ellimg", "WCSset", "filetypes", "fileconvert",
    "imarith", "imcombine", "imdiff", "imstats", "fft1", "SBmap1", "SBmap2", "convolve1",
    "convolve2", "imgstats", "spider", "moments", "maketab", "loadtab", "loadpowlawtab",
    "kap2lens", "sig2lens", "makekapmap", "loadkapmap", "checkkapmap", "makesrcmap",
    "loadsrcmap", "setgausran1", "clumplist", "setclumps", "farclumps", "NFWclumps",
    "scaleclumps", "drawclumps", "writeclumps", "clumpcheckR", "clumpIJdist",
    "clumptestfar", "magdistimg", "magdistsrc", "OMEGAstep1", "OMEGAstep2", "OMEGAwrite",
    "OMEGAmerge", "MTseries", "loadnonpar", "bootstrap", "jackknife", "setfoldcaus",
    "try", "lightcrv", "rayshoot", "magmapP", "map2lcrv", "map2lstats"};
const std::vector<std::string> kFitNames = {
    "data", "data2", "batchdata", "pixsrc", "crvmax", "crvpts", "crvstatus", "ringmax",
    "ringdat", "weakdata", "weakproc", "weakmock", "plimits", "pbounds", "PArange",
    "pmatch", "minimize", "optimize", "batchfit", "clumpmarg", "reopt", "errorbars",
    "randomize", "modelgrid", "varyone", "varytwo", "varyh", "chitest", "MCMCset",
    "MCMCrun", "MCMCbatch", "nestsampSet", "nestsampRun", "nestsampDraw", "kapgam",
    "subsave", "try2"};

std::vector<std::string> registered_names() {
  std::vector<std::string> names;
  for (const CommandSpec* e : cmdlist()) names.push_back(e->name);
  return names;
}

}  // namespace

TEST(CommandList, StartUpRegistersTheCoreThenTheFittingCommandsInOrder) {
  start_program(stdin, stdout);
  std::vector<std::string> expected = kCoreNames;
  expected.insert(expected.end(), kFitNames.begin(), kFitNames.end());
  ASSERT_EQ(kCoreNames.size(), 133u);
  ASSERT_EQ(kFitNames.size(), 37u);
  EXPECT_EQ(registered_names(), expected);
  // A second start-up (as every test fixture does) starts the list afresh.
  start_program(stdin, stdout);
  EXPECT_EQ(registered_names(), expected);
}

TEST(CommandList, SharedHandlersAndHelpTexts) {
  start_program(stdin, stdout);
  const auto find = [](const std::string& name) -> const CommandSpec& {
    for (const CommandSpec* e : cmdlist())
      if (e->name == name) return *e;
    throw std::runtime_error("no command " + name);
  };
  for (const auto& pair : {std::make_pair("exit", "quit"), std::make_pair("startup", "setlens")}) {
    const CommandSpec &a = find(pair.first), &b = find(pair.second);
    EXPECT_EQ(a.handler, b.handler);
    EXPECT_EQ(a.refresh, b.refresh);
    EXPECT_EQ(a.fewest, b.fewest);
    EXPECT_STREQ(a.summary, b.summary);
    EXPECT_EQ(std::vector<std::string>(a.usage.begin(), a.usage.end()),
              std::vector<std::string>(b.usage.begin(), b.usage.end()));
  }
}

// The lookup the command loop runs finds every registered command by its full name, and
// only by it: a shortened name finds only a command of that name, another case nothing.
TEST(CommandList, EveryCommandIsFoundByItsFullName) {
  start_program(stdin, stdout);
  const std::vector<std::string> names = registered_names();
  const auto registered = [&](const std::string& n) { return std::find(names.begin(), names.end(), n) != names.end(); };
  for (const CommandSpec* e : cmdlist()) {
    const std::vector<const CommandSpec*> found = commands_named(e->name);
    ASSERT_EQ(found.size(), 1u) << e->name;
    EXPECT_EQ(found[0], e) << e->name;
    const std::string shorter = std::string(e->name).substr(0, std::strlen(e->name) - 1);
    EXPECT_EQ(commands_named(shorter).size(), registered(shorter) ? 1u : 0u) << e->name;
    std::string upper = e->name;
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (!registered(upper)) {
      EXPECT_TRUE(commands_named(upper).empty()) << upper;
    }
  }
  for (const char* unknown : {"", "Quit", "findimg4", "optimise", "set ", "#"})
    EXPECT_TRUE(commands_named(unknown).empty()) << unknown;
}
