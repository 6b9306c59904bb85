// The tabulated pattern: classes whose name ends in "T" read their six values from a table
// loaded earlier (models/tab.h), rescale them to the component's mass scale and scale
// radius, and fall back on their numerical twin, with a capped warning, whenever the table
// cannot answer.
//
// How a T class plugs in: one descriptor with the class's identity, its table, its twin
// and its scaling, and a one-line class routine:
//
//   TabulatedClass g_nfwT{TAB_nfwT, "nfwT", TableRef("nfw"), modelclass::nfw,
//                         TabScaling::Standard, false};
//   void nfwT(DerivVector& out, double x, double y) { tabulated_class(g_nfwT, out, x, y); }
//
// tabulated_class runs, in this order:
//   1. b == 0: all zeros.  2. s == 0: cur.ss becomes 1e-4 (kept for the fallback too).
//   3. InterpTab(table, e, x, y). When a table was found and check_exponent is set, the
//      table's exponent (its parameter 10) is compared with the component's `al`: a
//      difference above 1e-6 (absolute when the table's value is 0, relative otherwise)
//      refuses the table ("WARNING: <class> table was made for another shape parameter").
//      Classes with a shape exponent (slope, index: "nfwcuspT", "sersicT") set it.
//   4. Success: rescaled values, with beta = b/b_t and lambda = s/s_t:
//        Standard:        phi beta lambda^2, first derivatives beta lambda, second beta;
//        MassOverLength:  phi beta lambda,   first derivatives beta,        second
//                         beta/lambda (b scales the convergence as b/s: "devaucT", "cuspT").
//   5. Otherwise: the outcome's counter goes up; while it is at most 10 the warning
//      "WARNING: <what> out of tabulation range in <class>" (what: "ellipticity %9.2e",
//      "position (%9.2e %9.2e)", "entire model") or the shape warning, then
//      "         Using numerical solution instead.", and after the tenth
//      "(Further warnings will be suppressed.)"; then the twin evaluates into out.
// Classes with their own rules ("alphaT": its s = 0 route and its own scaling) call the
// pieces: tabulated_lookup (steps 3 and 5 without the fallback) and tabulated_rescale.
#pragma once

#include "models/derivs.h"
#include "models/registry.h"
#include "models/tab.h"

// The tabulated classes, for their warning counters.
enum TabClassId : int {
  TAB_alphaT, TAB_nfwT, TAB_nfwcuspT, TAB_cuspT, TAB_burkertT, TAB_jaffeT, TAB_hernT,
  TAB_devaucT, TAB_sersicT, TAB_expdiskT, TAB_gausT, TAB_CLASS_COUNT
};

// Outcomes counted separately per class: the InterpTab codes 1, 2, 3 and "no table", and
// a table made for another shape exponent.
enum TabOutcome : int { TABW_E, TABW_R, TABW_T, TABW_NONE, TABW_SHAPE, TABW_COUNT };

// Warning counters of every T class, zero at start, never reset by the program; a counter
// stops growing once past the cap (it only decides whether to warn).
struct TabWarningCounters {
  int n[TAB_CLASS_COUNT][TABW_COUNT] = {};
  void reset();  // tests only
};
extern TabWarningCounters TWtabwarn;

enum class TabScaling { Standard, MassOverLength };

struct TabulatedClass {
  TabClassId id;
  const char* name;          // class name, as written in the warnings
  TableRef table;            // table name (the base class) and its cached lookup
  ModelClassEval numerical;  // numerical twin
  TabScaling scaling;
  bool check_exponent;       // compare the table's exponent with the component's `al`
};

// The whole class routine (steps 1 to 5).
void tabulated_class(TabulatedClass& tc, DerivVector& out, double x, double y);

// Steps 3 and 5 without the fallback: true with L filled when the table answers; false
// after counting (and, within the cap, warning about) the outcome.
bool tabulated_lookup(TabulatedClass& tc, double x, double y, TabLookup& L);

// Step 4: the rescaled table values into out[1..6] (b, s of the current component).
void tabulated_rescale(TabScaling scaling, const TabLookup& L, DerivVector& out);

// Counts one fallback of class id for outcome o and writes the capped warning lines;
// x, y are the component-frame point, e the ellipticity.
void tabulated_warning(TabClassId id, const char* name, TabOutcome o, double e, double x, double y);

namespace modelclass {
// Routines of the softened power law that are not class routines of their own: the
// general branch of "alpha" (the numerical twin of "alphaT"). It reads b, s, al, ep of `cur` as they
// stand (no alphanorm rescaling, no truncation, no special forms for alpha = +-1).
void alphaN(DerivVector& out, double x, double y);
// The singular elliptical power law (no core, alpha > 0) through Appell's F1, with the
// convergence (1/2) b^(2 - alpha) xi^(alpha - 2) (factor A = 1); not a class. Ends with "alpha0 model invalid for al<=0.0", and at the
// origin for alpha <= 1 with "alpha0 model invalid at origin".
void alpha0(DerivVector& out, double x, double y);
}  // namespace modelclass
