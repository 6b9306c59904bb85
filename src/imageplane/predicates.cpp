// Stages 2 and 3 of the exact orientation and in-circle signs (see predicates.h).
#include "imageplane/predicates.h"

#include <CGAL/Exact_predicates_inexact_constructions_kernel.h>

#include <cmath>

// The double-double stage is written once for two ways of forming an exact product: fma,
// where the processor has it (picked at run time, since the baseline instruction set
// lacks it and leaves std::fma to a library call), and by splitting the factors otherwise. Both
// give certain signs only, so which one runs changes no result. Its helpers are forced
// inline so that the fma version compiles them with the fma instruction set.
#if defined(__GNUC__) && defined(__x86_64__)
#define TW_FMA_DISPATCH 1
#define TW_INLINE inline __attribute__((always_inline))
#else
#define TW_INLINE inline
#endif

namespace predicates {
namespace {

// A double-double value hi + lo with |lo| <= u |hi| (u = 2^-53), or both zero.
struct DD {
  double hi, lo;
};

// a + b = s + e exactly (round to nearest, no overflow), for any a, b.
TW_INLINE DD two_sum(double a, double b) {
  const double s = a + b;
  const double bb = s - a;
  const double e = (a - (s - bb)) + (b - bb);
  return {s, e};
}

// a - b exactly, as a double-double value.
TW_INLINE DD two_diff(double a, double b) { return two_sum(a, -b); }

// Splits a into hi + lo, each with at most 26 significant bits (|a| below 2^995).
TW_INLINE void split(double a, double& hi, double& lo) {
  const double c = 134217729.0 * a;  // 2^27 + 1
  hi = c - (c - a);
  lo = a - hi;
}

// a * b = p + e exactly (round to nearest, no overflow; exact as well when |a b| is at
// least 2^-960, so that e is not below the normal range).
template <bool Fma>
TW_INLINE DD two_prod(double a, double b) {
  const double p = a * b;
  if constexpr (Fma) {
    return {p, std::fma(a, b, -p)};
  } else {
    double ah, al, bh, bl;
    split(a, ah, al);
    split(b, bh, bl);
    return {p, ((ah * bh - p) + ah * bl + al * bh) + al * bl};
  }
}

// Products and sums of double-double values. With X, Y bounds on the magnitudes of the
// exact operands (|x| <= X, |y| <= Y), each operation adds an error of at most:
//   mul: 9 u^2 |x| |y|.  The leading product is exact (two_prod); the two cross terms
//        (at most u |x||y| each) are rounded (u^2 each), summed (2 u^2) and added to the
//        leading error (3 u^2); the dropped lo * lo term is at most u^2 |x||y|; the final
//        two_sum is exact. That is 8 u^2 (1 + O(u)), within 9 u^2.
//   add: 4 u^2 (|x| + |y|).  The leading sum is exact (two_sum); lo + lo and its sum with
//        the leading error add at most u^2 and 2 u^2 (|x| + |y|) (1 + O(u)); the final
//        two_sum is exact.
// Errors carried in the operands propagate as: a product of values off by a u^2 X and
// b u^2 Y is off by at most (a + b + 9 + a b u^2) u^2 X Y; a sum by at most
// (max(a, b) + 4) u^2 (X + Y).
template <bool Fma>
TW_INLINE DD mul(DD x, DD y) {
  const DD p = two_prod<Fma>(x.hi, y.hi);
  return two_sum(p.hi, p.lo + (x.lo * y.hi + x.hi * y.lo));
}

TW_INLINE DD add(DD x, DD y) {
  const DD s = two_sum(x.hi, y.hi);
  return two_sum(s.hi, s.lo + (x.lo + y.lo));
}

TW_INLINE DD sub(DD x, DD y) { return add(x, DD{-y.hi, -y.lo}); }

// Stage 2 bound. The differences are exact (error 0). Orientation: two products (9 each)
// and their difference give at most 13 u^2 (|P1| + |P2|). In-circle: the squares (9), the
// lifts (13), the cross products (9) and their differences (13), the three products lift
// times cross (35), and the two sums (39, 43): at most 43 u^2 perm, perm as in stage 1.
// 43 u^2 = 5.3e-31 and the magnitudes are recomputed in doubles within a relative 1e-15,
// so 1e-28 leaves a factor of almost two hundred. Underflow adds at most
// kUnderflowAllowance, as in stage 1 (the differences are bounded the same way first).
constexpr double kStage2Bound = 1e-28;

TW_INLINE int sign_beyond(DD det, double bound) {
  if (det.hi > bound) return 1;
  if (det.hi < -bound) return -1;
  return kUndecided;
}

using K = CGAL::Exact_predicates_inexact_constructions_kernel;

// True when every |d| is at most kMaxDifference (a NaN fails).
TW_INLINE bool in_range(double a, double b, double c, double d) {
  return (std::fabs(a) <= kMaxDifference) & (std::fabs(b) <= kMaxDifference) & (std::fabs(c) <= kMaxDifference) &
         (std::fabs(d) <= kMaxDifference);
}

// True when the product p = a * b has an exact error term (see two_prod).
TW_INLINE bool exact_product(double a, double b, double p) {
  return p != 0 ? std::fabs(p) >= 0x1p-960 : (a == 0) | (b == 0);
}

template <bool Fma>
TW_INLINE int orientation_dd(double ax, double ay, double bx, double by, double cx, double cy) {
  if (!kRoundsToDouble) return kUndecided;
  const DD bax = two_diff(bx, ax), bay = two_diff(by, ay), cax = two_diff(cx, ax), cay = two_diff(cy, ay);
  if (!in_range(bax.hi, bay.hi, cax.hi, cay.hi)) return kUndecided;
  // Where each product has either two factors that are doubles or a zero factor, it is
  // exactly p + e, p the product rounded to nearest and e the rest (two_prod). Rounding is
  // monotone, so the two products compare as their pairs (p, e) do, lexicographically;
  // this settles collinear points (a zero determinant) as well.
  auto plain = [](DD x, DD y) { return ((x.lo == 0) & (y.lo == 0)) | (x.hi == 0) | (y.hi == 0); };
  if (plain(bax, cay) & plain(bay, cax)) {
    const DD p1 = two_prod<Fma>(bax.hi, cay.hi), p2 = two_prod<Fma>(bay.hi, cax.hi);
    if (exact_product(bax.hi, cay.hi, p1.hi) & exact_product(bay.hi, cax.hi, p2.hi)) {
      if (p1.hi != p2.hi) return p1.hi > p2.hi ? 1 : -1;
      return (p1.lo > p2.lo) - (p1.lo < p2.lo);
    }
  }
  const DD det = sub(mul<Fma>(bax, cay), mul<Fma>(bay, cax));
  const double perm = std::fabs(bax.hi * cay.hi) + std::fabs(bay.hi * cax.hi);
  return sign_beyond(det, kStage2Bound * perm + kUnderflowAllowance);
}

template <bool Fma>
TW_INLINE int incircle_dd(double ax, double ay, double bx, double by, double cx, double cy, double dx, double dy) {
  if (!kRoundsToDouble) return kUndecided;
  const DD adx = two_diff(ax, dx), ady = two_diff(ay, dy);
  const DD bdx = two_diff(bx, dx), bdy = two_diff(by, dy);
  const DD cdx = two_diff(cx, dx), cdy = two_diff(cy, dy);
  if (!in_range(adx.hi, ady.hi, bdx.hi, bdy.hi) || !in_range(cdx.hi, cdy.hi, 0, 0)) return kUndecided;
  const DD alift = add(mul<Fma>(adx, adx), mul<Fma>(ady, ady));
  const DD blift = add(mul<Fma>(bdx, bdx), mul<Fma>(bdy, bdy));
  const DD clift = add(mul<Fma>(cdx, cdx), mul<Fma>(cdy, cdy));
  const DD bc = sub(mul<Fma>(bdx, cdy), mul<Fma>(cdx, bdy));
  const DD ca = sub(mul<Fma>(cdx, ady), mul<Fma>(adx, cdy));
  const DD ab = sub(mul<Fma>(adx, bdy), mul<Fma>(bdx, ady));
  const DD det = add(add(mul<Fma>(alift, bc), mul<Fma>(blift, ca)), mul<Fma>(clift, ab));
  const double perm = alift.hi * (std::fabs(bdx.hi * cdy.hi) + std::fabs(cdx.hi * bdy.hi)) +
                      blift.hi * (std::fabs(cdx.hi * ady.hi) + std::fabs(adx.hi * cdy.hi)) +
                      clift.hi * (std::fabs(adx.hi * bdy.hi) + std::fabs(bdx.hi * ady.hi));
  return sign_beyond(det, kStage2Bound * perm + kUnderflowAllowance);
}

#ifdef TW_FMA_DISPATCH
__attribute__((target("fma"))) int orientation_dd_fma(double ax, double ay, double bx, double by, double cx, double cy) {
  return orientation_dd<true>(ax, ay, bx, by, cx, cy);
}
__attribute__((target("fma"))) int incircle_dd_fma(double ax, double ay, double bx, double by, double cx, double cy,
                                                   double dx, double dy) {
  return incircle_dd<true>(ax, ay, bx, by, cx, cy, dx, dy);
}
const bool has_fma = (__builtin_cpu_init(), __builtin_cpu_supports("fma"));
#endif
}  // namespace

int orientation_stage2(double ax, double ay, double bx, double by, double cx, double cy) {
#ifdef TW_FMA_DISPATCH
  if (has_fma) return orientation_dd_fma(ax, ay, bx, by, cx, cy);
#endif
  return orientation_dd<false>(ax, ay, bx, by, cx, cy);
}

int incircle_stage2(double ax, double ay, double bx, double by, double cx, double cy, double dx, double dy) {
#ifdef TW_FMA_DISPATCH
  if (has_fma) return incircle_dd_fma(ax, ay, bx, by, cx, cy, dx, dy);
#endif
  return incircle_dd<false>(ax, ay, bx, by, cx, cy, dx, dy);
}

int orientation_stage2_without_fma(double ax, double ay, double bx, double by, double cx, double cy) {
  return orientation_dd<false>(ax, ay, bx, by, cx, cy);
}

int incircle_stage2_without_fma(double ax, double ay, double bx, double by, double cx, double cy, double dx, double dy) {
  return incircle_dd<false>(ax, ay, bx, by, cx, cy, dx, dy);
}

int orientation_rest(double ax, double ay, double bx, double by, double cx, double cy) {
  const int s = orientation_stage2(ax, ay, bx, by, cx, cy);
  if (s != kUndecided) return s;
  return static_cast<int>(K().orientation_2_object()(K::Point_2(ax, ay), K::Point_2(bx, by), K::Point_2(cx, cy)));
}

int incircle_rest(double ax, double ay, double bx, double by, double cx, double cy, double dx, double dy) {
  const int s = incircle_stage2(ax, ay, bx, by, cx, cy, dx, dy);
  if (s != kUndecided) return s;
  return static_cast<int>(K().side_of_oriented_circle_2_object()(K::Point_2(ax, ay), K::Point_2(bx, by),
                                                                  K::Point_2(cx, cy), K::Point_2(dx, dy)));
}

}  // namespace predicates
