// Core start-up, the core command and settings tables, and the core settings refresh.
#include "core/twick.h"

#include <cmath>
#include <cstdio>
#include <string>
#include <iterator>
#include <utility>

#include "core/commands.h"
#include "core/lens_model.h"
#include "core/sources.h"
#include "imageplane/catalog.h"
#include "imageplane/critcurves.h"
#include "imageplane/finite_source.h"
#include "imageplane/grid.h"
#include "imageplane/images.h"
#include "imageplane/source_models.h"
#include "imageplane/srcmap.h"
#include "io/wcs.h"
#include "models/evaluator.h"
#include "models/multiplane.h"
#include "models/registry.h"
#include "models/substructure.h"
#include "numeric/cosmology.h"
#include "shell/commands.h"
#include "shell/fatal.h"
#include "shell/settings.h"
#include "shell/vars.h"

namespace {

// Ends the program when a grid setting taken alone is refused (grid_value_refusal, which
// `set` uses too): too few steps, zones or levels, or more than the grid's nodes allow.
void check_grid_counts() {
  const Settings& s = settings;
  const std::pair<const char*, int> counts[] = {{"nsubg1", s.nsubg1}, {"nsubg2", s.nsubg2}, {"maxlev", s.maxlev},
                                                {"gallev", s.gallev}, {"imglev", s.imglev}, {"ngrid1", s.ngrid1},
                                                {"ngrid2", s.ngrid2}, {"srccat", s.srccat}};
  for (const auto& [name, value] : counts)
    if (const std::string why = grid_value_refusal(name, value); !why.empty()) fatal(why);
}

// Ends the program when an upper limit of the grid is not above the lower one.
void check_grid_extent() {
  const Settings& s = settings;
  if (!(s.gridhi1 > s.gridlo1))
    fatal(strformat("gridhi1 = %g is not above gridlo1 = %g: the grid has no extent", s.gridhi1, s.gridlo1));
  if (!(s.gridhi2 > s.gridlo2))
    fatal(strformat("gridhi2 = %g is not above gridlo2 = %g: the grid has no extent", s.gridhi2, s.gridlo2));
}

// Checks of the core settings, in the order they are tested.
void check_settings() {
  const Settings& s = settings;
  // The counts multiply the nodes of a grid; the build also counts its nodes and stops
  // before it would hold more than kGridNodeLimit.
  check_grid_counts();
  check_grid_extent();
  if (s.crittol <= 0) fatal("crittol must be positive");
  if (s.deftol <= 0) fatal("deftol must be positive");
  if (s.tdeltol < 0) fatal("tdeltol must be non-negative");
  if (s.galcoords != 1 && s.galcoords != 2) fatal("galcoords must be 1 or 2");
  if (s.shrcoords != 1 && s.shrcoords != 2) fatal("shrcoords must be 1 or 2");
  if (s.gridcoords != 1 && s.gridcoords != 2) fatal("gridcoords must be 1 or 2");
  if (s.potflag != 0 && s.potflag != 1) fatal("potflag must be 0 or 1");
  if (s.xmatch <= 0) fatal("xmatch must be positive");
  if (s.xtol <= 0) fatal("xtol must be positive");
  if (s.catalog != 0 && s.catalog != 1) fatal("catalog must be 0 or 1");
}

// The cosmological time-delay scale (h^-1 days), derived while tscale is exactly 1 and
// both redshifts are set; reported in the "Cosmology:" block at every refresh.
void derive_tscale() {
  Settings& s = settings;
  if (!(s.tscale == 1.0 && s.zlens > 0 && s.zsrc > 0)) return;
  if (s.zlens >= s.zsrc) fatal("lens redshift must be smaller than source redshift");
  const double Dol = angdist(0, s.zlens), Dos = angdist(0, s.zsrc), Dls = angdist(s.zlens, s.zsrc);
  constexpr double kDays = 83.8825;   // c/H0 in h^-1 days per unit distance, over 1 + z
  constexpr double kMpc = 2997.9;     // c/H0 in h^-1 Mpc
  s.tscale = (1 + s.zlens) * kDays * Dol * Dos / Dls;
  qprintf("Cosmology:\n");
  qprintf("  omega,lambda = %.3f %.3f\n", s.omega, s.lambda);
  qprintf("  zlens,zsrc   = %.3f %.3f\n", s.zlens, s.zsrc);
  qprintf("  Dol,Dls,Dos  = %.2f %.2f %.2f h^-1 Mpc\n", Dol * kMpc, Dls * kMpc, Dos * kMpc);
  qprintf("  tscale       = %f h^-1 days\n", s.tscale);
  if (std::fabs(s.zref - s.zsrc) > 0.001 && s.zref < 1000) {
    note("we are using a different reference redshift:");
    s.tscale = (1 + s.zlens) * kDays * Dol * angdist(0, s.zref) / angdist(s.zlens, s.zref);
    qprintf("  zref         = %.3f\n", s.zref);
    qprintf("  tscale       = %f h^-1 days\n", s.tscale);
  } else if (s.zref >= 1000) {
    note("model is referenced to Dls/Dos=1:");
    s.tscale = (1 + s.zlens) * kDays * Dol;
    qprintf("  tscale       = %f h^-1 days\n", s.tscale);
  }
}

}  // namespace

void InitTWick(FILE* in, FILE* out) {
  QVMstdin = in;
  QVMstdout = out;
  InitStrings();
  InitVars();
  InitCmds();
  InitModels();
  TWsrc.NSRCMAX = 0;
  InitSrcArr(1, 0);
  TWcursrc = CurrentSourceState();
  TWfinsrc = FiniteSourceState();
  reset_srcmaps();
  WCSinfo.on = 0;
  register_settings(core_settings());
  TW_glob_init0();
  TW_glob_init();
  ellipse = ellipse1;
  rebuild_los_matrices = calcLOSmatrices;
  setgridmode(1);
}

void TW_glob_init0() {
  reset_lens_settings_stamp();
  settings.rscale = 1;
  settings.Rthresh = -1;
  TWref = ModelSet();
  TWstep = StepSizes();
  bridgecutarr = BridgeCut();
  TWclump = ClumpState();
  TWsecgrid = SecondaryGrids();
  TWrgstr = RegisterTable();
  TWtrack = DominanceTrack();
  TWzstamp = RedshiftStamp();
  TWvoid = MassComplete();
}

void TW_glob_init() {
  TWgal = GalaxyTable();
  TWmod = LensState();
  LOS = LOSPlanes();
  free_all_grids();
  TWgrid = GridState();
  TWcrit = CritPointList();
  cat_free();
  tri_init(TWtri.in);
  tri_init(TWtri.out);
  TWtri.mark.clear();
}

void GlobTWick() {
  Settings& s = settings;
  refresh_settings(core_settings());
  if (s.zref < 0) s.zref = s.zsrc;

  if (s.gridcoords == 2) {
    if (s.gridlo1 < 0 || s.gridhi1 < 0) fatal("for polar grid, gridlo1 and gridhi1 must be positive");
    if (!quietflag && std::fabs(s.gridhi2 - s.gridlo2 - 360.0) > 0.01)
      note("Polar grid angular coverage is not 360 degrees");
  }
  check_settings();
  if (s.catalog == 1 && !quietflag) note("old catalog variable has been superseded by srccat");
  if (s.microimages > 0 && s.xtol > s.microimages) warning("microimages should not be smaller than xtol");
  s.hvale = s.hvale / (s.hval * s.hval);
  derive_tscale();
  s.shoot_pseed = s.seed;
  s.shoot_rseed = s.seed;
  // A model built for other redshifts or another cosmology, or under other settings of the
  // lens evaluation, is rebuilt (never used stale).
  refresh_lens_redshifts();
  refresh_lens_settings();
}

void version(const WordArray&) {
  if (!quietflag) qprintf("tarnwick version 1.99o, updated 2009 April 20.\n");
}

void mv(const WordArray& words) {
  if (std::rename(words.c_str(1), words.c_str(2)) == 0)
    qprintf("mv %s -> %s\n", words.c_str(1), words.c_str(2));
  else
    warning(strformat("could not execute 'mv %s %s'", words.c_str(1), words.c_str(2)));
}

void rm(const WordArray& words) {
  for (int i = 1; i < words.count(); ++i) {
    if (std::remove(words.c_str(i)) == 0)
      qprintf("removed file %s\n", words.c_str(i));
    else
      warning(strformat("could not remove file %s", words.c_str(i)));
  }
}

