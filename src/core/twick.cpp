// Core start-up, the core command and settings tables, and the core settings refresh.
#include "core/twick.h"

#include <cmath>
#include <cstdio>
#include <iterator>

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

using S = Settings;
const SettingSpec kCoreSettings[] = {
    real_setting("rscale", 1, "Sets radial scale of grid", &S::rscale),
    real_setting("Rthresh", -1, "Radial threshold (may be used in different ways)", &S::Rthresh),
    real_setting("gridlo1", 0, "Lower limit of grid coordinate #1 (x or r)", &S::gridlo1),
    real_setting("gridhi1", 2, "Upper limit of grid coordinate #1 (x or r)", &S::gridhi1),
    real_setting("gridlo2", 0, "Lower limit of grid coordinate #2 (y or t)", &S::gridlo2),
    real_setting("gridhi2", 360, "Upper limit of grid coordinate #2 (y or t)", &S::gridhi2),
    int_setting("ngrid1", 20, "dimension of top grid", &S::ngrid1),
    int_setting("ngrid2", 20, "dimension of top grid", &S::ngrid2),
    int_setting("nsubg1", 2, "dimension of sub grid", &S::nsubg1),
    int_setting("nsubg2", 2, "dimension of sub grid", &S::nsubg2),
    int_setting("gridflag", 1, "Flag for whether to compute grid", &S::gridflag),
    int_setting("gridsave", 0, "Flag for whether to save temporary grids", &S::gridsave),
    real_setting("omitcore", 0, "Size of omitted region around galaxies", &S::omitcore),
    real_setting("omitcrit", 500, "Magnification of omitted band around crit crv", &S::omitcrit),
    real_setting("microimages", 0, "Smallest radius for seeking microimages (0 means don't)", &S::microimages),
    real_setting("microzone", 2, "Radius of region for accurate microlensing (units of Rein)", &S::microzone),
    int_setting("nmicrog", 20, "Dimension of local microlensing grid", &S::nmicrog),
    real_setting("clumpzone", 2, "Radius of region for accurate clump lensing        ", &S::clumpzone),
    int_setting("maxlev", 3, "Deepest level of subgrid near critical curves", &S::maxlev),
    int_setting("gallev", 3, "Deepest level of subgrid near galaxies", &S::gallev),
    int_setting("imglev", 3, "Deepest level of subgrid near images", &S::imglev),
    int_setting("critmode", 1, "Flag for refining position of critical curves", &S::critmode),
    real_setting("crittol", 1e-6, "Tolerance for finding critical curves", &S::crittol),
    real_setting("magtol", 0.01, "Fractional tolerance in magnification", &S::magtol),
    real_setting("deftol", 0.001, "Absolute tolerance in deflection", &S::deftol),
    real_setting("tdeltol", 0, "Absolute tolerance in time delays", &S::tdeltol),
    real_setting("originX", -1e6, "x coordinate of polar coordinate origin", &S::originX),
    real_setting("originY", -1e6, "y coordinate of polar coordinate origin", &S::originY),
    int_setting("galcoords", 1, "1->cartesian, 2->polar", &S::galcoords),
    int_setting("shrcoords", 2, "1->cartesian, 2->polar", &S::shrcoords),
    int_setting("gridcoords", 2, "1->cartesian, 2->polar", &S::gridcoords),
    real_setting("maxellip", 0.99, "Maximum allowed value of the ellipticity", &S::maxellip),
    real_setting("maxshear", 1, "Maximum allowed value of the shear", &S::maxshear),
    int_setting("maxrgstr", 5, "Maximum number of registration definitions", &S::maxrgstr),
    int_setting("potflag", 1, "Compute lensing potential?", &S::potflag),
    real_setting("xmatch", 1e-8, "Tolerance for grid positions to be considered identical", &S::xmatch),
    real_setting("xtol", 1e-6, "Tolerance for positions to be considered identical", &S::xtol),
    real_setting("inttol", 1e-6, "Tolerance for numerical integrals", &S::inttol),
    int_setting("catalog", 0, "Flag for using catalog of source tiles", &S::catalog),
    int_setting("nobflip", 0, "Flag for whether to prevent sign flips in b's", &S::nobflip),
    int_setting("intshrmode", 1, "1->direct parameters, 2->(fint,dtheta)", &S::intshrmode),
    long_setting("seed", -15, "Seed for randum number generator", &S::seed),
    real_setting("omega", 0.3, "Matter density Omega_Matter", &S::omega),
    real_setting("lambda", 0.7, "Cosmological constant Omega_Lambda", &S::lambda),
    real_setting("hval", 0.7, "H_0 in units of 100 km/s/Mpc", &S::hval),
    real_setting("hvale", 0.1, "Uncertainty in H_0 in units of 100 km/s/Mpc", &S::hvale),
    real_setting("tscale", 1, "The cosmology-dependent time delay factor", &S::tscale),
    int_setting("tshift", 1, "Whether to shift tdels and report differential tdels", &S::tshift),
    real_setting("zlens", -1, "The lens redshift", &S::zlens),
    real_setting("zsrc", -1, "The source redshift", &S::zsrc),
    real_setting("zref", -1, "Reference source redshift for which model is defined", &S::zref),
    int_setting("verbose", 1, "Extent of status reports written to screen", &S::verbose),
    real_setting("seeing", 0, "Effective resolution when considering finite sources", &S::seeing),
    real_setting("smallsrc", 0.001, "Smallest source considered to be finite", &S::smallsrc),
    int_setting("plotmode", 1, "Specifies file format for curve plots", &S::plotmode),
    int_setting("plotquiet", 0, "Specifies whether to omit comments for curve plots", &S::plotquiet),
    int_setting("clumpmode", 1, "How to use clumps in calculations", &S::clumpmode),
    real_setting("leafsize", 0, "Maximum size of an unopened leaf", &S::leafsize),
    real_setting("leaferr", 0, "Error threshold for tree", &S::leaferr),
    long_setting("maxclumps", 10000, "Maximum number of clumps whose centers are resolved", &S::maxclumps),
    int_setting("isource", 1, "Index of the source to use in basic calculations", &S::isource),
    int_setting("alphanorm", 1, "Flag indicating how to interpret 'b' for alpha models", &S::alphanorm),
    int_setting("logRein", 0, "Flag for whether p[1] parameter is logarithmatic", &S::logRein),
    int_setting("logrscale", 0, "Flag for whether p[8,9] parameters are logarithmatic", &S::logrscale),
    int_setting("srclog", 0, "Flag for whether to use logarithmatic source sizes", &S::srclog),
    real_setting("srcrng", 0, "Range for source catalog; <=0 means automatic", &S::srcrng),
    int_setting("srccat", 100, "Number of source catalog cells in each direction", &S::srccat),
    real_setting("imgsearch", 100, "Number of search points per tile when finding images", &S::imgsearch),
    plain_int_setting("batchwrite", 1, "Output mode for batchmock runs", &S::batchwrite),
    int_setting("tempfiles", 1, "Flag for whether to write the temp files", &S::tempfiles),
};
constexpr int kNumCoreSettings = static_cast<int>(std::size(kCoreSettings));
static_assert(kNumCoreSettings == 70, "the core has 70 settings");

// Checks of the core settings, in the order they are tested.
void check_settings() {
  const Settings& s = settings;
  if (s.nsubg1 <= 0 || s.nsubg2 <= 0) fatal("Number of subgrid zones must be positive");
  if (s.maxlev <= 0) fatal("maxlev must be >= 1");
  if (s.gallev <= 0) fatal("gallev must be >= 1");
  if (s.imglev <= 0) fatal("imglev must be >= 1");
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
  register_settings(kCoreSettings, kNumCoreSettings);
  TW_glob_init0();
  TW_glob_init();
  ellipse = ellipse1;
  rebuild_los_matrices = calcLOSmatrices;
  setgridmode(1);
}

void TW_glob_init0() {
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
  refresh_settings(kCoreSettings, kNumCoreSettings);
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
  // A model built for other redshifts or another cosmology is rebuilt (never used stale).
  refresh_lens_redshifts();
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

