// The composition root: starts the core (its settings first), then registers, in the
// program's order, the commands that every folder's table offers, the folders'
// settings-refresh hooks, then the fitting program's settings, data tables and package hook.
#include "app/startup.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <iterator>
#include <string_view>
#include <unordered_map>

#include "core/commands.h"
#include "core/twick.h"
#include "fit/commands.h"
#include "fit/fit_state.h"
#include "imageplane/commands.h"
#include "io/commands.h"
#include "models/commands.h"
#include "shell/commands.h"
#include "shell/fatal.h"
#include "sim/commands.h"

namespace {

// clang-format off
// The core's commands in registration order (the order of the help listing).
const char* const kCoreOrder[] = {
    "version", "set", "help", "quit", "exit", "rm", "mv", "startup", "setlens", "changelens",
    "thetaEin", "stepsize", "setsource", "turnoff", "turnon", "regrid", "ranparm", "showLOS",
    "shearLOS", "masscomplete", "plotzbridge", "bridgecut", "changevary", "changevarysrc",
    "listmodels", "gridmode", "maingrid", "galgrid", "imggrid", "imgarray", "autogrid", "ranpos",
    "checkmod", "checkder", "checkPder", "checktree", "checkmag", "plotgrid", "plotcrit",
    "fitcrit", "plotkappa", "plotshear", "plotmu", "plotdef0", "plotdef1", "plotdef2", "plottdel",
    "plotmaps", "HFFmaps2d", "HFFmaps3d", "magweightimg", "magweightsrc", "plotmag", "plotpot",
    "magtensor", "magtensImg", "magtensSrc", "calcRein", "setMrat", "findimg", "findimg2",
    "findimg3", "findsrc", "findsrc3", "magcrosssec", "checkfinsrc", "doPCA", "mock1", "mock2",
    "mock3", "mockLF", "mocklens", "batchmock1", "batchmock2", "mockcsec", "csec2sep", "ranlens",
    "ranlens1", "ellsrc", "ellimg", "WCSset", "filetypes", "fileconvert", "imarith", "imcombine",
    "imdiff", "imstats", "fft1", "SBmap1", "SBmap2", "convolve1", "convolve2", "imgstats",
    "spider", "moments", "maketab", "loadtab", "loadpowlawtab", "kap2lens", "sig2lens",
    "makekapmap", "loadkapmap", "checkkapmap", "makesrcmap", "loadsrcmap", "setgausran1",
    "clumplist", "setclumps", "farclumps", "NFWclumps", "scaleclumps", "drawclumps", "writeclumps",
    "clumpcheckR", "clumpIJdist", "clumptestfar", "magdistimg", "magdistsrc", "OMEGAstep1",
    "OMEGAstep2", "OMEGAwrite", "OMEGAmerge", "MTseries", "loadnonpar", "bootstrap", "jackknife",
    "setfoldcaus", "try", "lightcrv", "rayshoot", "magmapP", "map2lcrv", "map2lstats",
};

// The commands of the fitting program, appended after the core's, in this order.
const char* const kFitOrder[] = {
    "data", "data2", "batchdata", "pixsrc", "crvmax", "crvpts", "crvstatus", "ringmax", "ringdat",
    "weakdata", "weakproc", "weakmock", "plimits", "pbounds", "PArange", "pmatch", "minimize",
    "optimize", "batchfit", "clumpmarg", "reopt", "errorbars", "randomize", "modelgrid", "varyone",
    "varytwo", "varyh", "chitest", "MCMCset", "MCMCrun", "MCMCbatch", "nestsampSet", "nestsampRun",
    "nestsampDraw", "kapgam", "subsave", "try2",
};
// clang-format on

// Every folder's table of commands.
RowSpan<CommandTable> folder_tables() {
  static const CommandTable tables[] = {shell_commands(), core_commands(), models_commands(), imageplane_commands(),
                                        io_commands(),    sim_commands(),  fit_commands()};
  return {tables, std::size(tables)};
}

// Every row the folders offer, by name; a name offered twice is a fault of the program.
const std::unordered_map<std::string_view, const CommandSpec*>& offered_rows() {
  static const std::unordered_map<std::string_view, const CommandSpec*> rows = [] {
    std::unordered_map<std::string_view, const CommandSpec*> m;
    for (const CommandTable table : folder_tables())
      for (const CommandSpec& c : table)
        if (!m.emplace(c.name, &c).second) fatal(strformat("two folders offer the command %s", c.name));
    return m;
  }();
  return rows;
}

// The one row named name among the folders' tables.
const CommandSpec& offered(const char* name) {
  const auto it = offered_rows().find(name);
  if (it == offered_rows().end()) fatal(strformat("no folder offers the command %s", name));
  return *it->second;
}

template <size_t N>
void register_commands(const char* const (&order)[N]) {
  for (const char* name : order) AddCmd(offered(name));
}

// Every row a folder offers is placed once in the order (the names are checked to be
// offered once as they are placed).
void check_every_row_placed() {
  size_t rows = 0;
  for (const CommandTable table : folder_tables()) rows += table.count;
  if (cmdlist().size() != rows) fatal("the command order does not place every folder's commands once");
}

}  // namespace

void start_program(FILE* in, FILE* out) {
  InitTWick(in, out);
  register_commands(kCoreOrder);
  InitRefreshHooks();
  register_core_refresh();
  register_fit_refresh();
  register_commands(kFitOrder);
  check_every_row_placed();
  register_fit_settings();
  init_fit_data();
  InitCrvs();
  InitPkg();
  quietflag = 0;
}

void prepare_standard_streams() {
  // Each descriptor below fd is open, so the lowest free one /dev/null gets is fd itself.
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    const int held = ::open("/dev/null", O_RDONLY);
    if (held >= 0 && held != fd) {
      ::dup2(held, fd);
      ::close(held);
    }
  }
  keep_standard_output_reason();
}
