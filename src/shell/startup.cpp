// Start-up of the whole program, shared by the program entry and the tests.
#include "shell/startup.h"

#include "core/twick.h"
#include "fit/batchfit.h"
#include "fit/chitest.h"
#include "fit/constraints.h"
#include "fit/curves_rings.h"
#include "fit/errorbars.h"
#include "fit/fit_data.h"
#include "fit/fit_state.h"
#include "fit/kapgam.h"
#include "fit/mcmc.h"
#include "fit/nestsamp.h"
#include "fit/optimize.h"
#include "fit/pixsrc.h"
#include "fit/scans.h"
#include "fit/weak.h"
#include "models/evaluator.h"
#include "shell/commands.h"
#include "shell/fatal.h"
#include "sim/clumps.h"

namespace {
struct FitCommand {
  const char* name;
  CommandHandler handler;
  HelpRoutine help;
};

// The commands of the fitting program, appended after the core's, in this order.
const FitCommand kFitCommands[] = {
    {"data", data, datahelp},
    {"data2", data2, data2help},
    {"batchdata", batchdata, batchdatahelp},
    {"pixsrc", pixsrc, pixsrchelp},
    {"crvmax", crvmax, crvmaxhelp},
    {"crvpts", crvpts, crvptshelp},
    {"crvstatus", crvstatus, crvstatushelp},
    {"ringmax", ringmax, ringmaxhelp},
    {"ringdat", ringdat, ringdathelp},
    {"weakdata", weakdata, weakdatahelp},
    {"weakproc", weakproc, weakprochelp},
    {"weakmock", weakmock, weakmockhelp},
    {"plimits", plimits, plimitshelp},
    {"pbounds", pbounds, pboundshelp},
    {"PArange", PArange, PArangehelp},
    {"pmatch", pmatch, pmatchhelp},
    {"minimize", minimize, minimizehelp},
    {"optimize", optimize, optimizehelp},
    {"batchfit", batchfit, batchfithelp},
    {"clumpmarg", clumpmarg, clumpmarghelp},
    {"reopt", reopt, reopthelp},
    {"errorbars", errorbars, errorbarshelp},
    {"randomize", randomize, randomizehelp},
    {"modelgrid", modelgrid, modelgridhelp},
    {"varyone", varyone, varyonehelp},
    {"varytwo", varytwo, varytwohelp},
    {"varyh", varyh, varyhhelp},
    {"chitest", chitest, chitesthelp},
    {"MCMCset", MCMCset, MCMCsethelp},
    {"MCMCrun", MCMCrun, MCMCrunhelp},
    {"MCMCbatch", MCMCbatch, MCMCbatchhelp},
    {"nestsampSet", nestsampSet, nestsampSethelp},
    {"nestsampRun", nestsampRun, nestsampRunhelp},
    {"nestsampDraw", nestsampDraw, nestsampDrawhelp},
    {"kapgam", kapgam, kapgamhelp},
    {"subsave", subsave, subsavehelp},
    {"try2", try2, try2help},
};
}  // namespace

void start_program(FILE* in, FILE* out) {
  InitTWick(in, out);
  for (const auto& c : kFitCommands) AddCmd(c.name, c.handler, c.help);
  register_fit_settings();
  init_fit_data();
  InitCrvs();
  InitPkg();
  quietflag = 0;
}
