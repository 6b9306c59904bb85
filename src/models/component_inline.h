// Inline bodies of the component loader and evaluator, shared by component.cpp and the
// whole-model evaluator so that its per-component path compiles without calls. Internal
// to the models subsystem: other code uses initgal, ellipse and shear (component.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "models/component.h"
#include "models/evaluator.h"

namespace component_detail {

// Out-of-line slow paths (component.cpp).
void load_row(GalaxyTable::Row& r, int i);
// Sets r.kind and the closed-form constants of a loaded row under the current settings.
void prepare_sum(GalaxyTable::Row& r);
[[noreturn]] void unknown_class();
void refresh_register(const GalaxyTable::Row& r);

// True when the ten parameters at a and b are the same bit patterns (a NaN parameter
// compares equal to itself, a changed sign of zero counts as a change): one OR-reduction
// over pairs of parameters, without branches.
inline bool same_params(const double* a, const double* b) {
  typedef std::uint64_t Pair __attribute__((vector_size(16)));
  Pair diff = {0, 0};
  for (int k = 0; k < 10; k += 2) {
    Pair x, y;
    std::memcpy(&x, a + k, sizeof x);
    std::memcpy(&y, b + k, sizeof y);
    diff |= x ^ y;
  }
  return (diff[0] | diff[1]) == 0;
}

// Parameters 1..10 of row i, addressed from 0 (allocate() makes the table [1..n][1..10]).
inline const double* param_row(int i) {
  const Mat& p = TWgal.p;
  TW_CHECK_INDEX(i, p.rlo(), p.rhi());
  return p.data() + static_cast<std::ptrdiff_t>(i - 1) * 10;
}

// True when row i's cache no longer matches its name or parameters.
inline bool row_changed(const GalaxyTable::Row& r, int i) {
  return !r.valid || !same_params(&r.praw[1], param_row(i));
}

// Row whose loaded values `cur` holds untouched (null: none known). Set by every load; cleared
// when a class routine runs on `cur` (it may change it), when the row is reloaded or its
// class changes. The whole-model sum reads it to leave component 1 loaded without copying
// it again. Code that writes `cur` by hand loads a component again before it evaluates.
extern const GalaxyTable::Row* cur_pristine;

// initgal for a row known to exist, as the evaluators load rows: a row is reloaded when it
// was marked stale (setp, setID, initgal after a direct write), not compared with its
// parameters at every load.
inline void initgal_unchecked(int i) {
  GalaxyTable::Row& r = TWgal.rows_[i];
  if (!r.valid) load_row(r, i);
  // Copied at every load, also when `cur` came from this row last time: class routines may
  // change `cur` while they run (a zero core radius replaced in place, for one), and each
  // load must hand the next evaluation the row's own values.
  cur = r.c;
  cur.ID = r.name;  // the view is re-pointed at every load: rows may have moved
  cur_pristine = &r;
  if (LOS.on) {
    cur.xg = TWgal.pos[i][5];
    cur.yg = TWgal.pos[i][6];
    cur_pristine = nullptr;
  }
  if (r.cid == CLS_register) refresh_register(r);
}

// True when all four are +0 or -0 (the same as four comparisons with 0.0, without the
// branches).
inline bool all_zero(double a, double b, double c, double d) {
  std::uint64_t x[4];
  std::memcpy(&x[0], &a, 8);
  std::memcpy(&x[1], &b, 8);
  std::memcpy(&x[2], &c, 8);
  std::memcpy(&x[3], &d, 8);
  return ((x[0] | x[1] | x[2] | x[3]) << 1) == 0;
}

// Rotates a component-frame result (r) into the image frame (out); c, s are the cosine
// and sine of the position angle. Reads every entry of r before writing out. With third
// false the third derivatives are not turned (out[7..10] = 0): the whole-model evaluator
// reads entries 1..6 only.
inline void rotate_back(DerivVector& out, const DerivVector& r, double c, double s, bool third = true) {
  const double P = r[1], A = r[2], B = r[3], Txx = r[4], Tyy = r[5], Txy = r[6];
  const double U1 = r[7], U2 = r[8], U3 = r[9], U4 = r[10];
  const double s2 = s * s, c2 = c * c, sc = s * c;
  out[1] = P;
  out[2] = -s * A - c * B;
  out[3] = c * A - s * B;
  out[4] = s2 * Txx + 2.0 * sc * Txy + c2 * Tyy;
  out[5] = c2 * Txx - 2.0 * sc * Txy + s2 * Tyy;
  out[6] = -sc * Txx + (s2 - c2) * Txy + sc * Tyy;
  if (!third || all_zero(U1, U2, U3, U4)) {  // most classes have none
    out[7] = out[8] = out[9] = out[10] = 0.0;
    return;
  }
  out[7] = -s2 * s * U1 - 3.0 * s2 * c * U2 - 3.0 * s * c2 * U3 - c2 * c * U4;
  out[8] = s2 * c * U1 + (2.0 * s * c2 - s2 * s) * U2 + (c2 * c - 2.0 * s2 * c) * U3 - s * c2 * U4;
  out[9] = -s * c2 * U1 + (2.0 * s2 * c - c2 * c) * U2 + (2.0 * s * c2 - s2 * s) * U3 - s2 * c * U4;
  out[10] = c2 * c * U1 - 3.0 * c2 * s * U2 + 3.0 * c * s2 * U3 - s2 * s * U4;
}

inline void ellipse1_inline(DerivVector& out, double x, double y, bool third = true) {
  if (cur.cid == CLS_NONE || cur.cid == CLS_register || cur.cid == CLS_LOSshr) {
    out.zero();
    return;
  }
  const double c = cur.ct, s = cur.st;
  const double dx = x - cur.xg, dy = y - cur.yg;
  const double xp = -s * dx + c * dy, yp = -c * dx - s * dy;
  if (!cur.cls) {
    out.zero();
    unknown_class();
  }
  // The class writes into a vector of its own, so out may be any vector (TWmod.R1 too);
  // rotate_back then writes all ten entries of out.
  DerivVector r;
  cur_pristine = nullptr;
  cur.cls->evaluate(r, xp, yp);
  rotate_back(out, r, c, s, third);
}

// The external-shear term of every class but intshr (shear() handles that one).
inline void shear_plain(DerivVector& out, double x, double y) {
  if (cur.cid == CLS_NONE || cur.cid == CLS_register || cur.cid == CLS_LOSshr) {
    out.zero();
    return;
  }
  const double gc = cur.gc, gs = cur.gs;
  TWmod.gctot += gc;
  TWmod.gstot += gs;
  const double dx = x - cur.xg, dy = y - cur.yg;
  out[1] = gc * (dx * dx - dy * dy) / 2.0 + gs * dx * dy;
  out[2] = gc * dx + gs * dy;
  out[3] = gs * dx - gc * dy;
  out[4] = gc;
  out[5] = -gc;
  out[6] = gs;
  out[7] = out[8] = out[9] = out[10] = 0.0;
}

}  // namespace component_detail
