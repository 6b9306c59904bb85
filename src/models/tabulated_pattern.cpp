// The tabulated pattern shared by the "...T" classes: table lookup, rescaling to the
// component, and the fall-back on the numerical twin with a capped warning.
#include "models/tabulated_pattern.h"

#include <cmath>

#include "models/component.h"
#include "shell/fatal.h"

TabWarningCounters TWtabwarn;

void TabWarningCounters::reset() {
  for (auto& row : n)
    for (int& c : row) c = 0;
}

namespace {
constexpr int kWarnCap = 10;

TabOutcome outcome_of(int code) {
  switch (code) {
    case TAB_OUT_E: return TABW_E;
    case TAB_OUT_R: return TABW_R;
    case TAB_OUT_T: return TABW_T;
    default: return TABW_NONE;
  }
}

// True when the table's exponent differs from the component's beyond 1e-6 (absolute for a
// table exponent of 0, relative otherwise).
bool exponent_differs(double component, double table) {
  const double tol = table == 0.0 ? 1e-6 : 1e-6 * std::fabs(table);
  return !(std::fabs(component - table) <= tol);
}
}  // namespace

void tabulated_warning(TabClassId id, const char* name, TabOutcome o, double e, double x, double y) {
  int& c = TWtabwarn.n[id][o];
  if (c > kWarnCap) return;
  ++c;
  if (c > kWarnCap) return;
  switch (o) {
    case TABW_E:
      warning(strformat("ellipticity %9.2e out of tabulation range in %s", e, name));
      break;
    case TABW_R:
    case TABW_T:
      warning(strformat("position (%9.2e %9.2e) out of tabulation range in %s", x, y, name));
      break;
    case TABW_SHAPE:
      warning(strformat("%s table was made for another shape parameter", name));
      break;
    default:
      warning(strformat("entire model out of tabulation range in %s", name));
      break;
  }
  qprintf("         Using numerical solution instead.\n");
  if (c == kWarnCap) qprintf("(Further warnings will be suppressed.)\n");
}

bool tabulated_lookup(TabulatedClass& tc, double x, double y, TabLookup& L) {
  const int code = InterpTab(tc.table, cur.ep, x, y, L);
  if (code != TAB_NONE && tc.check_exponent && exponent_differs(cur.al, L.alpha)) {
    tabulated_warning(tc.id, tc.name, TABW_SHAPE, cur.ep, x, y);
    return false;
  }
  if (code == TAB_OK) return true;
  tabulated_warning(tc.id, tc.name, outcome_of(code), cur.ep, x, y);
  return false;
}

void tabulated_rescale(TabScaling scaling, const TabLookup& L, DerivVector& out) {
  const double beta = cur.b / L.b, lambda = cur.ss / L.s;
  if (scaling == TabScaling::Standard) {
    out[1] = beta * lambda * lambda * L.v[0];
    out[2] = beta * lambda * L.v[1];
    out[3] = beta * lambda * L.v[2];
    out[4] = beta * L.v[3];
    out[5] = beta * L.v[4];
    out[6] = beta * L.v[5];
  } else {
    const double g = beta / lambda;
    out[1] = beta * lambda * L.v[0];
    out[2] = beta * L.v[1];
    out[3] = beta * L.v[2];
    out[4] = g * L.v[3];
    out[5] = g * L.v[4];
    out[6] = g * L.v[5];
  }
}

void tabulated_class(TabulatedClass& tc, DerivVector& out, double x, double y) {
  if (cur.b == 0.0) return;
  if (cur.ss == 0.0) cur.ss = 1e-4;
  TabLookup L;
  if (tabulated_lookup(tc, x, y, L)) {
    tabulated_rescale(tc.scaling, L, out);
    return;
  }
  tc.numerical(out, x, y);
}
