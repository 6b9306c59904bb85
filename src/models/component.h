// The component table, the current component, and the one-component evaluator.
//
// Evaluation chain (single thread, NOT re-entrant):
//   potdefmag -> potdefmagONE -> for each active component: initgal(i) loads row i of
//   TWgal into `cur` -> ellipse (= ellipse1) moves the point into the component frame and
//   calls cur.cls->evaluate -> the class routine reads `cur`.
//   The plain whole-model sum (models/evaluator.cpp) evaluates the rows whose closed form
//   the loader prepared (the cored isothermal ellipsoid) from the row itself, without
//   `cur`, and the others as above.
// `cur`, the scratch of TWmod and the running shear totals are shared process-wide state:
// a class routine must never call back into this chain for another component, and every
// routine that loops over components reloads component 1 when it finishes.
//
// Component frame: with t the position angle in degrees and (dx, dy) the offset from the
// component centre, x' = -sin t dx + cos t dy, y' = -cos t dx - sin t dy: the major axis
// points along (-sin t, cos t), the angle counted from +y towards -x.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "models/derivs.h"
#include "models/isothermal_closed.h"
#include "models/registry.h"
#include "numeric/alloc.h"

// ---------------------------------------------------------------------------------------
// The current component: what initgal(i) loaded last. Class routines read it.
struct CurrentComponent {
  std::string_view ID = "none";  // class name (view into TWgal's name row; NUL-terminated, so
                        // ID.data() may be printed with %s)
  double b = 0, xg = 0, yg = 0, ep = 0, te = 0, gm = 0, tg = 0, ss = 0, aa = 0, al = 0;
  double ct = 1, st = 0, c2t = 1, s2t = 0;  // cos, sin of te; cos, sin of 2 te
  double gc = 0, gs = 0;                    // gm cos 2tg, gm sin 2tg
  // Values derived from ep alone (refresh_axis_values): kept with the ep they belong to, so
  // that a class reading them after someone changed cur.ep recomputes them instead.
  double axis_ep = 0;  // ep these values were computed from
  double q = 1;        // axis ratio 1 - ep
  double anf = 1;      // normalisation factor sqrt((1 + q^2)/2)/q of the alpha family
  double vq = 0;       // sqrt(|1 - q^2|)
  double qov = 0;      // q / vq (infinite for a circular component)
  const ModelClass* cls = nullptr;          // resolved class (nullptr: "none" or unknown)
  ClassId cid = CLS_NONE;                   // registration position, CLS_NONE, CLS_UNKNOWN
  int igal = 0;                             // row number loaded (0: none yet)
};
extern CurrentComponent cur;

// Computes the axis values of c from c.ep.
void refresh_axis_values(CurrentComponent& c);
// c's axis values, recomputed first when c.ep changed since they were made.
inline void check_axis_values(CurrentComponent& c) {
  if (c.axis_ep != c.ep) refresh_axis_values(c);
}

// ---------------------------------------------------------------------------------------
// The component table of the model being evaluated.
//
// Rows 1..NGALMAX. Parameters, redshifts, positions and the switches are plain arrays;
// the class name of a row is set only through setID (which resolves the class once).
// Each row keeps what loading it derives from its parameters (trig of the angles, shear
// components, axis ratio, normalisation factors, closed-form constants), made once when
// the row is loaded after a change and not per evaluation. Parameters change through setp
// (or the model load, which uses it), which marks the row for reloading; a value written
// into p directly is taken at the next explicit initgal(i) of that row, which compares the
// row with its parameters (the evaluators do not).
struct GalaxyTable {
  int NGALMAX = 0;  // number of component rows (0 before the first model set-up)
  Mat p;            // [1..NGALMAX][1..10] parameters after the model loader's conversions
  Vec z;            // [1..NGALMAX] redshifts
  int count = 0;    // components other than "none" and "register" (kept by the loader)
  Mat pos;          // [1..NGALMAX][1..6]: 1 distance from component 1, 2 direction angle
                    // (deg), 3-4 centre x, y; 5-6 centre in the component's own plane
  // Switches of model 1 read by the evaluators (filled by the model commands):
  IVec refon;       // [1..NGALMAX] on/off switch (0 = off)
  IVec refflag;     // [1..NGALMAX] bridge cut: 0 cut away, 1 kept, 2 treated exactly

  // (Re)creates every row for n components: names "none", parameters 0, switches on
  // (refon 1, refflag 1).
  void allocate(int n);
  const std::string& name(int i) const;
  const ModelClass* cls(int i) const { return rows_[i].cls; }
  ClassId cid(int i) const { return rows_[i].cid; }
  // True when row i takes part in single-plane evaluations (refon != 0, refflag > 0).
  bool active(int i) const { return refon[i] != 0 && refflag[i] > 0; }

  struct Row {
    std::string name = "none";
    const ModelClass* cls = nullptr;
    ClassId cid = CLS_NONE;
    bool valid = false;      // cache below matches the parameters and name
    double praw[11] = {};    // parameters the cache was computed from
    CurrentComponent c;      // loaded values (xg, yg from parameters 2, 3)
    // How the whole-model sum treats the row, decided at load: ROW_CLASS through the class
    // routine and `cur`; ROW_NONE adds nothing; ROW_ISO evaluates the closed form of the
    // cored isothermal ellipsoid from the constants below, without `cur`. Those follow the
    // alphanorm setting (iso_norm) they were made for; a class routine replaced by SetMod
    // marks its rows for reloading (iso_fn: the routine they were made for).
    enum Kind : int { ROW_CLASS = 0, ROW_NONE = 1, ROW_ISO = 2 };
    int kind = ROW_CLASS;
    double rot_ss = 0, rot_cc = 1, rot_sc = 0;  // st^2, ct^2, st ct of the loaded angle
    int iso_terms = 0;       // profiles summed (0: b = 0; 2: truncated, iso[0] - iso[1])
    int iso_norm = 0;
    ModelClassEval iso_fn = nullptr;
    iso_detail::IsoConsts iso[2];
  };
  // Internal to the models subsystem (the evaluator's inline loader reads it); other code
  // uses setID, name(), cls(), cid().
  std::vector<Row> rows_;    // [0..NGALMAX], row 0 unused
  int npass_ = 0;            // rows of class "LOSshr" or "register" (kept by setID and the
                             // class resolution): without them the evaluator's first pass
                             // over the components has nothing to do
};
extern GalaxyTable TWgal;

// Store / read parameter k (1..10), redshift and class name of component i.
void setp(int i, int k, double value);
void getp(int i, int k, double& value);
double getp(int i, int k);
void setz(int i, double z);
void getz(int i, double& z);
// Stores the class name and resolves its class (no error here for an unknown name: the
// first evaluation of the component reports it).
void setID(int i, const std::string& name);
// Re-resolves the class of every row (after classes were added to the registry).
void resolve_component_classes();
// Current b, ep, ss, aa, al.
void getparms(double& b, double& e, double& s, double& a, double& alpha);

// Loads component i into `cur` (Part of the evaluation chain; cheap when the row is
// unchanged). A "register" component refreshes its registration entry at every load.
void initgal(int i);

// ---------------------------------------------------------------------------------------
// Model-wide working record of the evaluator (the image-plane subsystem keeps its grid and
// catalogue state in its own record).
struct LensState {
  DerivVector R1, R2;       // evaluator scratch: class field, then clump/shear term (the
                            // whole-model sum keeps its own copies on the stack and uses
                            // these for the calls it does not inline)
  double scale = 1.0;       // factor on every output of potdefmag
  double potdefmag_com[11] = {};  // [0..10] scratch of the profile routines
  double gctot = 0, gstot = 0;    // running shear totals of one whole-model evaluation
  int intshrflag = 0;             // 1 while shear() runs the intshr quadrupole
  double farcut = 0;              // far-component distance of ellipse2 (0 = off)
  bool third = true;              // false while the whole-model sum runs: nobody reads the
                                  // third derivatives then, and classes may skip them
  // try2 matrices: absent until try2 first runs; losmat[m][i][j], m, i, j = 1..2.
  bool has_losmat = false;
  double losmat[3][3][3] = {};
};
extern LensState TWmod;

// External-shear term of the current component at the image-plane point (x, y).
void shear(DerivVector& out, double x, double y);

// ---------------------------------------------------------------------------------------
// One-component evaluator: writes all of out[1..10] for the current component at the
// image-plane point (x, y), without the model-wide scale (zeros for "none", "register",
// and in ellipse1 "LOSshr"). out may be TWmod.R1.
using ComponentEvaluator = void (*)(DerivVector& out, double x, double y);
extern ComponentEvaluator ellipse;  // ellipse1 from start-up
void ellipse1(DerivVector& out, double x, double y);
void ellipse2(DerivVector& out, double x, double y);

// Three-dimensional mass inside r and density at r, summed over every component row.
double total_mass(double r);
double total_rho(double r);

// ---------------------------------------------------------------------------------------
// Registration shifts of the pseudo-class "register".
// Data types: 1 image positions (by source), 2 curves (number 0 only), 3 rings, 4 weak.
struct RegisterTable {
  bool exists = false;
  int nrgstr = 0;   // upper data number, settings.maxrgstr when made
  Tensor3 rgstr;    // [1..4][0..nrgstr][1..2]
};
extern RegisterTable TWrgstr;
void InitRegister();
void SetRegister(int type, int number, double dx, double dy);
void GetRegister(int type, int number, double& dx, double& dy);
