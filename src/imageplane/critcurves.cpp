#include "imageplane/critcurves.h"

CritPointList TWcrit;

// Staged: the critical-point list stays empty until the curve finder lands.
void find_crit() {
  TWcrit.ncrit = 0;
  TWcrit.crit.clear();
}
