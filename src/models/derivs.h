// Small fixed vectors of the lens evaluation.
//
// DerivVector     entries 1..10 of one component evaluation:
//                   1 phi, 2 phi_x, 3 phi_y, 4 phi_xx, 5 phi_yy, 6 phi_xy,
//                   7 phi_xxx, 8 phi_xxy, 9 phi_xyy, 10 phi_yyy.
//                 Entries 7..10 are written only by the classes that compute third
//                 derivatives; the whole-model evaluator reads 1..6.
// PotDefMagVector entries 1..7 of a whole-model evaluation:
//                   1 phi, 2 phi_x, 3 phi_y, 4 phi_xx, 5 phi_yy, 6 phi_xy, 7 phi_yx.
//
// Both are plain values on the stack (no allocation), zero when constructed, addressed
// from 1 like the rest of the program's vectors. Index 0 exists in storage but is not a
// valid entry; with TW_BOUNDS_CHECK (Debug and sanitizer builds) an index outside 1..N
// ends the program through nrerror.
#pragma once

#include <cstddef>
#include <utility>

#include "numeric/alloc.h"

template <int N>
struct FixedVec1 {
  double v[N + 1];

  FixedVec1() { zero(); }
  double& operator[](int i) { TW_CHECK_INDEX(i, 1, N); return v[i]; }
  const double& operator[](int i) const { TW_CHECK_INDEX(i, 1, N); return v[i]; }
  // Sets entries 1..N to 0. Written as single stores: a block clear of this small size
  // through the string instructions costs more than the evaluation of a simple class.
  void zero() { zero_each(std::make_index_sequence<N + 1>{}); }
  static constexpr int size() { return N; }

 private:
  template <size_t... I>
  void zero_each(std::index_sequence<I...>) { ((v[I] = 0.0), ...); }
};

using DerivVector = FixedVec1<10>;
using PotDefMagVector = FixedVec1<7>;

// Sets out[1..10] to 0.
inline void phi2zero(DerivVector& out) { out.zero(); }

// Fills out[2..6] of a circular field at (x, y) from the deflection over the radius A, the
// second radial derivative B and the direction cosines c = x/r, d = y/r.
inline void circular_out(DerivVector& out, double A, double B, double x, double y, double c, double d) {
  out[2] = A * x;
  out[3] = A * y;
  out[4] = A * d * d + B * c * c;
  out[5] = A * c * c + B * d * d;
  out[6] = (B - A) * d * c;
}
