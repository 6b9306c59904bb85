// Start-up state of the fitter: its data tables and the hooks that the program entry and
// the settings refresh call.
#include "fit/fit_state.h"


#include "fit/chitest.h"
#include "fit/constraints.h"
#include "fit/curves_rings.h"
#include "fit/fit_data.h"
#include "fit/pixsrc.h"
#include "fit/pointchi.h"
#include "fit/weak.h"

FitCapacities fitcap;

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
