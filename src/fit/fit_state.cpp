// Start-up state of the fitter: its settings and the hooks that the program entry and the
// settings refresh call.
#include "fit/fit_state.h"

#include <iterator>

#include "fit/chitest.h"
#include "fit/constraints.h"
#include "fit/curves_rings.h"
#include "fit/fit_data.h"
#include "fit/pixsrc.h"
#include "fit/pointchi.h"
#include "fit/weak.h"
#include "shell/settings.h"

FitCapacities fitcap;

namespace {
const SettingSpec kFitSettings[] = {
    int_setting("maximg", 10, "Maximum number of images the code can handle", &Settings::maximg),
    int_setting("multiflux", 1, "Maximum number of multiwavelength fluxes", &Settings::multiflux),
    real_setting("fluxweight", 1, "Weight applied to flux constraints", &Settings::fluxweight),
    real_setting("timeweight", 1, "Weight applied to time delay constraints", &Settings::timeweight),
    real_setting("weakweight", 1, "Weight applied to weak lensing constraints", &Settings::weakweight),
    int_setting("checkparity", 1, "Flag for whether to check image parities", &Settings::checkparity),
    real_setting("chimode", 1, "0->approx, 1->exact, otherwise mixed", &Settings::chimode),
    int_setting("srcsign", 0, "If +1 or -1, forces sign of source flux.", &Settings::srcsign),
    int_setting("optmode", 1, "1->amoeba, 2->powell", &Settings::optmode),
    int_setting("optNMAX", 50000, "Max number of function evals when optimizing", &Settings::optNMAX),
    int_setting("vertmode", 1, "1->fixed, 2->random vertices", &Settings::vertmode),
    real_setting("xfloor", 0.005, "Smallest length variation in initial simplex", &Settings::xfloor),
    real_setting("xceil", 0.1, "Largest length variation in initial simplex", &Settings::xceil),
    real_setting("ftol", 1e-4, "Tolerance for optimization routine", &Settings::ftol),
    int_setting("restart", 1, "Number of times to run optimization", &Settings::restart),
    real_setting("upenalty", 1e-4, "Penalty for being in wrong source region", &Settings::upenalty),
    int_setting("linparms", 0, "Automatically set linear parameters?", &Settings::linparms),
    int_setting("nopointchi", 0, "Use (0) or Ignore (1) point images", &Settings::nopointchi),
    real_setting("chiperpoint", 0, "Use total (0) or per point (>0) curve chisq", &Settings::chiperpoint),
    int_setting("Rfold", 0, "Analyze fold relation?", &Settings::Rfold),
    int_setting("Rcusp", 0, "Analyze cusp relation?", &Settings::Rcusp),
    int_setting("PAwrap", 1, "Wrap PAs to be between -90 and +90?", &Settings::PAwrap),
    real_setting("extraflux", 0, "Upper limit on flux of extra images", &Settings::extraflux),
};
constexpr int kNumFitSettings = static_cast<int>(std::size(kFitSettings));
static_assert(kNumFitSettings == 23, "the fitting program has 23 settings");
}  // namespace

void register_fit_settings() { register_settings(kFitSettings, kNumFitSettings); }

void refresh_fit_settings() { refresh_settings(kFitSettings, kNumFitSettings); }

void init_fit_data() {
  // Empty observed, batch and constraint tables; no ring and no correlated-position term.
  clear_observed_data();
  TScons = ConstraintTables();
  GausCorr = GausCorrData();
  TSring = RingTables();
  fitcap.NRINGMAX = 10;
  fitcap.MRINGMAX = 200;
  fitcap.CRVNMAX = 5;
  fitcap.CRVSMAX = 10;
  fitcap.CRVPMAX = 200;
  init_weak();
  init_chitest();
  init_pixsrc();
}

void InitCrvs() {
  CurveTables& T = TScrv;
  const int n = fitcap.CRVNMAX, s = fitcap.CRVSMAX, p = fitcap.CRVPMAX;
  for (Tensor3* t : {&T.crvrefX, &T.crvrefY, &T.crvrefS, &T.crvtryX, &T.crvtryY, &T.crvtryS}) {
    t->reset(1, n, 0, s, 0, p);
    for (int c = 1; c <= n; ++c) (*t)[c][0][0] = -1;  // not loaded
  }
}
void InitPkg() {}
void GlobPkg() {}
