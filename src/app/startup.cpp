// The composition root: starts the core, then registers, in the program's order, the
// commands that every folder offers and the settings-refresh hooks, then the fitting
// program's settings, data tables and package hook.
#include "app/startup.h"

#include "core/checks.h"
#include "core/einstein.h"
#include "core/findimg_commands.h"
#include "core/grid_control.h"
#include "core/lens_model.h"
#include "core/los_commands.h"
#include "core/magcrosssec.h"
#include "core/magtens.h"
#include "core/maps.h"
#include "core/sources.h"
#include "core/tables.h"
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
#include "fit/subsave.h"
#include "fit/weak.h"
#include "imageplane/critcurves.h"
#include "imageplane/finite_source.h"
#include "imageplane/grid.h"
#include "imageplane/microlensing.h"
#include "imageplane/sbmap.h"
#include "imageplane/srcmap.h"
#include "io/imcommands.h"
#include "io/pca_command.h"
#include "models/evaluator.h"
#include "models/kapmap.h"
#include "models/powerlaw.h"
#include "models/registry.h"
#include "models/special.h"
#include "shell/commands.h"
#include "shell/fatal.h"
#include "shell/settings.h"
#include "shell/vars.h"
#include "sim/batchmock.h"
#include "sim/clumps.h"
#include "sim/mocks.h"
#include "sim/omega.h"
#include "sim/stats.h"

namespace {

struct CommandRow {
  const char* name;
  CommandHandler handler;
  HelpRoutine help;
};

// The core commands in registration order (the order of the help listing).
const CommandRow kCoreCommands[] = {
    {"version", version, versionhelp},
    {"set", set, sethelp},
    {"help", help, helphelp},
    {"quit", quit, quithelp},
    {"exit", quit, quithelp},
    {"rm", rm, rmhelp},
    {"mv", mv, mvhelp},
    {"startup", setlens, setlenshelp},
    {"setlens", setlens, setlenshelp},
    {"changelens", changelens, changelenshelp},
    {"thetaEin", thetaEin, thetaEinhelp},
    {"stepsize", stepsize, stepsizehelp},
    {"setsource", setsource, setsourcehelp},
    {"turnoff", turnoff, turnoffhelp},
    {"turnon", turnon, turnonhelp},
    {"regrid", regrid, regridhelp},
    {"ranparm", ranparm, ranparmhelp},
    {"showLOS", showLOS, showLOShelp},
    {"shearLOS", shearLOS, shearLOShelp},
    {"masscomplete", masscomplete, masscompletehelp},
    {"plotzbridge", plotzbridge, plotzbridgehelp},
    {"bridgecut", bridgecut, bridgecuthelp},
    {"changevary", changevary, changevaryhelp},
    {"changevarysrc", changevarysrc, changevarysrchelp},
    {"listmodels", listmodels, listmodelshelp},
    {"gridmode", gridmode, gridmodehelp},
    {"maingrid", maingrid, maingridhelp},
    {"galgrid", galgrid, galgridhelp},
    {"imggrid", imggrid, imggridhelp},
    {"imgarray", imgarray, imgarrayhelp},
    {"autogrid", autogrid, autogridhelp},
    {"ranpos", ranpos, ranposhelp},
    {"checkmod", checkmod, checkmodhelp},
    {"checkder", checkder, checkderhelp},
    {"checkPder", checkPder, checkPderhelp},
    {"checktree", checktree, checktreehelp},
    {"checkmag", checkmag, checkmaghelp},
    {"plotgrid", plotgrid, plotgridhelp},
    {"plotcrit", plotcrit, plotcrithelp},
    {"fitcrit", fitcrit, fitcrithelp},
    {"plotkappa", plotkappa, plotkappahelp},
    {"plotshear", plotshear, plotshearhelp},
    {"plotmu", plotmu, plotmuhelp},
    {"plotdef0", plotdef0, plotdef0help},
    {"plotdef1", plotdef1, plotdef1help},
    {"plotdef2", plotdef2, plotdef2help},
    {"plottdel", plottdel, plottdelhelp},
    {"plotmaps", plotmaps, plotmapshelp},
    {"HFFmaps2d", HFFmaps2d, HFFmaps2dhelp},
    {"HFFmaps3d", HFFmaps3d, HFFmaps3dhelp},
    {"magweightimg", magweightimg, magweightimghelp},
    {"magweightsrc", magweightsrc, magweightsrchelp},
    {"plotmag", plotmag, plotmaghelp},
    {"plotpot", plotpot, plotpothelp},
    {"magtensor", magtensor, magtensorhelp},
    {"magtensImg", magtensImg, magtensImghelp},
    {"magtensSrc", magtensSrc, magtensSrchelp},
    {"calcRein", calcRein, calcReinhelp},
    {"setMrat", setMrat, setMrathelp},
    {"findimg", findimg, findimghelp},
    {"findimg2", findimg2, findimg2help},
    {"findimg3", findimg3, findimg3help},
    {"findsrc", findsrc, findsrchelp},
    {"findsrc3", findsrc3, findsrc3help},
    {"magcrosssec", magcrosssec, magcrosssechelp},
    {"checkfinsrc", checkfinsrc, checkfinsrchelp},
    {"doPCA", doPCA, doPCAhelp},
    {"mock1", mock1, mock1help},
    {"mock2", mock2, mock2help},
    {"mock3", mock3, mock3help},
    {"mockLF", mockLF, mockLFhelp},
    {"mocklens", mocklens, mocklenshelp},
    {"batchmock1", batchmock1, batchmock1help},
    {"batchmock2", batchmock2, batchmock2help},
    {"mockcsec", mockcsec, mockcsechelp},
    {"csec2sep", csec2sep, csec2sephelp},
    {"ranlens", ranlens, ranlenshelp},
    {"ranlens1", ranlens1, ranlens1help},
    {"ellsrc", ellsrc, ellsrchelp},
    {"ellimg", ellimg, ellimghelp},
    {"WCSset", WCSset, WCSsethelp},
    {"filetypes", filetypes, filetypeshelp},
    {"fileconvert", fileconvert, fileconverthelp},
    {"imarith", imarith, imarithhelp},
    {"imcombine", imcombine, imcombinehelp},
    {"imdiff", imdiff, imdiffhelp},
    {"imstats", imstats, imstatshelp},
    {"fft1", fft1, fft1help},
    {"SBmap1", SBmap1, SBmap1help},
    {"SBmap2", SBmap2, SBmap2help},
    {"convolve1", convolve1, convolve1help},
    {"convolve2", convolve2, convolve2help},
    {"imgstats", imgstats, imgstatshelp},
    {"spider", spider, spiderhelp},
    {"moments", moments, momentshelp},
    {"maketab", maketab, maketabhelp},
    {"loadtab", loadtab, loadtabhelp},
    {"loadpowlawtab", loadpowlawtab, loadpowlawtabhelp},
    {"kap2lens", kap2lens, kap2lenshelp},
    {"sig2lens", sig2lens, sig2lenshelp},
    {"makekapmap", makekapmap, makekapmaphelp},
    {"loadkapmap", loadkapmap, loadkapmaphelp},
    {"checkkapmap", checkkapmap, checkkapmaphelp},
    {"makesrcmap", makesrcmap, makesrcmaphelp},
    {"loadsrcmap", loadsrcmap, loadsrcmaphelp},
    {"setgausran1", setgausran1, setgausran1help},
    {"clumplist", clumplist, clumplisthelp},
    {"setclumps", setclumps, setclumpshelp},
    {"farclumps", farclumps, farclumpshelp},
    {"NFWclumps", NFWclumps, NFWclumpshelp},
    {"scaleclumps", scaleclumps, scaleclumpshelp},
    {"drawclumps", drawclumps, drawclumpshelp},
    {"writeclumps", writeclumps, writeclumpshelp},
    {"clumpcheckR", clumpcheckR, clumpcheckRhelp},
    {"clumpIJdist", clumpIJdist, clumpIJdisthelp},
    {"clumptestfar", clumptestfar, clumptestfarhelp},
    {"magdistimg", magdistimg, magdistimghelp},
    {"magdistsrc", magdistsrc, magdistsrchelp},
    {"OMEGAstep1", OMEGAstep1, OMEGAstep1help},
    {"OMEGAstep2", OMEGAstep2, OMEGAstep2help},
    {"OMEGAwrite", OMEGAwrite, OMEGAwritehelp},
    {"OMEGAmerge", OMEGAmerge, OMEGAmergehelp},
    {"MTseries", MTseries, MTserieshelp},
    {"loadnonpar", loadnonpar, loadnonparhelp},
    {"bootstrap", bootstrap, bootstraphelp},
    {"jackknife", jackknife, jackknifehelp},
    {"setfoldcaus", setfoldcaus, setfoldcaushelp},
    {"try", try_, tryhelp},
    {"lightcrv", lightcrv, lightcrvhelp},
    {"rayshoot", rayshoot, rayshoothelp},
    {"magmapP", magmapP, magmapPhelp},
    {"map2lcrv", map2lcrv, map2lcrvhelp},
    {"map2lstats", map2lstats, map2lstatshelp},
};

// The commands of the fitting program, appended after the core's, in this order.
const CommandRow kFitCommands[] = {
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

// The fitting half of the refresh: the fitting settings, then verbose once more.
void refresh_fitting() {
  refresh_fit_settings();
  settings.verbose = GetVarI("verbose");
}

}  // namespace

void start_program(FILE* in, FILE* out) {
  InitTWick(in, out);
  for (const auto& c : kCoreCommands) AddCmd(c.name, c.handler, c.help);
  InitRefreshHooks();
  AddRefreshHook(GlobTWick);
  AddRefreshHook(refresh_fitting);
  AddRefreshHook(GlobPkg);
  for (const auto& c : kFitCommands) AddCmd(c.name, c.handler, c.help);
  register_fit_settings();
  init_fit_data();
  InitCrvs();
  InitPkg();
  quietflag = 0;
}
