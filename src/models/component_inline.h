// Inline bodies of the component loader and evaluator, shared by component.cpp and the
// whole-model evaluator so that its per-component path compiles without calls. Internal
// to the models subsystem: other code uses initgal, ellipse and shear (component.h).
#pragma once

#include <cstdint>
#include <cstring>

#include "models/component.h"
#include "models/evaluator.h"

namespace component_detail {

// Out-of-line slow paths (component.cpp).
void load_row(GalaxyTable::Row& r, int i);
[[noreturn]] void unknown_class();
void refresh_register(const GalaxyTable::Row& r);

// Bitwise comparison of the row's parameters with those its cache was made from (no
// branches; a NaN parameter compares equal to itself, a changed sign of zero recomputes).
inline bool row_changed(const GalaxyTable::Row& r, int i) {
  if (!r.valid) return true;
  const double* p = &static_cast<const Mat&>(TWgal.p)[i][1];
  std::uint64_t diff = 0;
  for (int k = 0; k < 10; ++k) {
    std::uint64_t a, b;
    std::memcpy(&a, &r.praw[k + 1], sizeof a);
    std::memcpy(&b, &p[k], sizeof b);
    diff |= a ^ b;
  }
  return diff != 0;
}

// initgal for a row known to exist.
inline void initgal_unchecked(int i) {
  GalaxyTable::Row& r = TWgal.rows_[i];
  if (row_changed(r, i)) load_row(r, i);
  cur = r.c;
  cur.ID = r.name;  // the view is re-pointed at every load: rows may have moved
  if (LOS.on) {
    cur.xg = TWgal.pos[i][5];
    cur.yg = TWgal.pos[i][6];
  }
  if (r.cid == CLS_register) refresh_register(r);
}

// Rotates a component-frame result (r) into the image frame (out); c, s are the cosine
// and sine of the position angle. Reads every entry of r before writing out.
inline void rotate_back(DerivVector& out, const DerivVector& r, double c, double s) {
  const double P = r[1], A = r[2], B = r[3], Txx = r[4], Tyy = r[5], Txy = r[6];
  const double U1 = r[7], U2 = r[8], U3 = r[9], U4 = r[10];
  const double s2 = s * s, c2 = c * c, sc = s * c;
  out[1] = P;
  out[2] = -s * A - c * B;
  out[3] = c * A - s * B;
  out[4] = s2 * Txx + 2.0 * sc * Txy + c2 * Tyy;
  out[5] = c2 * Txx - 2.0 * sc * Txy + s2 * Tyy;
  out[6] = -sc * Txx + (s2 - c2) * Txy + sc * Tyy;
  if (U1 == 0.0 && U2 == 0.0 && U3 == 0.0 && U4 == 0.0) {  // most classes
    out[7] = out[8] = out[9] = out[10] = 0.0;
    return;
  }
  out[7] = -s2 * s * U1 - 3.0 * s2 * c * U2 - 3.0 * s * c2 * U3 - c2 * c * U4;
  out[8] = s2 * c * U1 + (2.0 * s * c2 - s2 * s) * U2 + (c2 * c - 2.0 * s2 * c) * U3 - s * c2 * U4;
  out[9] = -s * c2 * U1 + (2.0 * s2 * c - c2 * c) * U2 + (2.0 * s * c2 - s2 * s) * U3 - s2 * c * U4;
  out[10] = c2 * c * U1 - 3.0 * c2 * s * U2 + 3.0 * c * s2 * U3 - s2 * s * U4;
}

inline void ellipse1_inline(DerivVector& out, double x, double y) {
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
  cur.cls->evaluate(r, xp, yp);
  rotate_back(out, r, c, s);
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
