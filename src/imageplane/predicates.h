// Exact signs of the two determinants a planar Delaunay triangulation is built on, in
// three stages that each answer only when they are certain:
//   1. the determinant in doubles, with a forward error bound (below, inline);
//   2. the same determinant in double-double arithmetic, with its own bound;
//   3. the triangulation kernel's own filtered exact predicate (interval arithmetic, then
//      exact numbers), which also settles exact zeros.
// Every sign returned is the sign of the exact determinant of the double inputs, so a
// triangulation built on these predicates is the one built on the kernel's alone.
//
// orientation(a, b, c): sign of (b - a) x (c - a); positive when a, b, c turn
// counter-clockwise.
// incircle(a, b, c, d): sign of the in-circle determinant; positive when d lies inside the
// circle through a, b, c taken counter-clockwise (negative inside when they turn clockwise).
#pragma once

#include <cfloat>
#include <cmath>

namespace predicates {

// Returned by a stage that cannot certify the sign.
constexpr int kUndecided = 2;

// The bounds of stages 1 and 2 assume that every operation is rounded once, to nearest
// double. Where the compiler evaluates in wider registers or reassociates, both stages
// step aside and the kernel's tests decide everything. The files that use them are built
// with -ffp-contract=off (see CMakeLists.txt): a multiply fused with an add would skip a
// rounding that the splitting of a product relies on.
#if defined(__FAST_MATH__)
constexpr bool kRoundsToDouble = false;
#else
constexpr bool kRoundsToDouble = FLT_EVAL_METHOD == 0;
#endif

// Differences up to this magnitude keep every product of four of them far from overflow
// (2^100 to the fourth power is 2^400), so the bounds below hold without range checks
// beyond this one. A NaN fails the test as well.
constexpr double kMaxDifference = 0x1p100;
// A squared length up to this bounds both differences within kMaxDifference.
constexpr double kMaxLift = 0x1p200;
// Absolute allowance for underflow: results that fall below the normal range are rounded
// with an absolute error of at most 2^-1075 each and are multiplied afterwards by at most
// (2 * 2^100)^2 = 2^202; even a hundred such errors stay below 2^-866, under this.
constexpr double kUnderflowAllowance = 0x1p-830;

// Stage 1 of orientation.
//
// With u = 2^-53 and exact differences x, the computed differences are x(1 + d), |d| <= u;
// each of the two products then carries at most three roundings and their difference one
// more, so the computed determinant differs from the exact one by at most
// gamma_4 (|P1| + |P2|), gamma_k = k u / (1 - k u), P1, P2 the two exact products. The
// computed |P1| + |P2| is itself within gamma_4 of the exact one, so 4.5e-16 times it
// bounds the error; 1e-15 leaves a factor two. No range check is needed: an overflow
// makes the bound infinite or NaN, and both comparisons fail.
inline int orientation_stage1(double ax, double ay, double bx, double by, double cx, double cy) {
  if (!kRoundsToDouble) return kUndecided;
  const double bax = bx - ax, bay = by - ay, cax = cx - ax, cay = cy - ay;
  const double p1 = bax * cay, p2 = bay * cax;
  const double det = p1 - p2;
  const double bound = 1e-15 * (std::fabs(p1) + std::fabs(p2)) + kUnderflowAllowance;
  if (det > bound) return 1;
  if (det < -bound) return -1;
  return kUndecided;
}

// Stage 1 of incircle, translated to d:
//   det = lift_a (b x c) + lift_b (c x a) + lift_c (a x b),
// lift the squared length of a difference, x the cross product of two differences.
//
// Bound: each lift (two squares of rounded differences, a sum of positive terms) is within
// gamma_4 of the exact one relatively; each cross product is within gamma_4 (|P1| + |P2|)
// of the exact one; their product adds one rounding, giving at most gamma_10 times
// lift (|P1| + |P2|); the sum of the three terms adds two more, so the error is at most
// gamma_12 * perm, perm = sum of lift (|P1| + |P2|) over the three terms. The computed
// perm is within gamma_12 of the exact one, so 1.4e-15 times it bounds the error; 3e-15
// leaves a factor two. The range check keeps the underflow allowance valid (a value
// rounded below the normal range is multiplied afterwards by at most a lift).
inline int incircle_stage1(double ax, double ay, double bx, double by, double cx, double cy, double dx,
                           double dy) {
  if (!kRoundsToDouble) return kUndecided;
  const double adx = ax - dx, ady = ay - dy, bdx = bx - dx, bdy = by - dy, cdx = cx - dx, cdy = cy - dy;
  const double bc1 = bdx * cdy, bc2 = cdx * bdy;
  const double ca1 = cdx * ady, ca2 = adx * cdy;
  const double ab1 = adx * bdy, ab2 = bdx * ady;
  const double alift = adx * adx + ady * ady;
  const double blift = bdx * bdx + bdy * bdy;
  const double clift = cdx * cdx + cdy * cdy;
  // Every difference within kMaxDifference (a NaN fails too).
  if (!((alift <= kMaxLift) & (blift <= kMaxLift) & (clift <= kMaxLift))) return kUndecided;
  const double det = alift * (bc1 - bc2) + blift * (ca1 - ca2) + clift * (ab1 - ab2);
  const double perm = alift * (std::fabs(bc1) + std::fabs(bc2)) + blift * (std::fabs(ca1) + std::fabs(ca2)) +
                      clift * (std::fabs(ab1) + std::fabs(ab2));
  const double bound = 3e-15 * perm + kUnderflowAllowance;
  if (det > bound) return 1;
  if (det < -bound) return -1;
  return kUndecided;
}

// Stage 2 (double-double), for inputs stage 1 left undecided: +1, -1 or kUndecided.
int orientation_stage2(double ax, double ay, double bx, double by, double cx, double cy);
int incircle_stage2(double ax, double ay, double bx, double by, double cx, double cy, double dx, double dy);
// The same, always with products split in two (stage 2 uses fma where the processor has it).
int orientation_stage2_without_fma(double ax, double ay, double bx, double by, double cx, double cy);
int incircle_stage2_without_fma(double ax, double ay, double bx, double by, double cx, double cy, double dx,
                                double dy);

// Stages 2 and 3, for inputs stage 1 left undecided: the exact sign, -1, 0 or +1.
int orientation_rest(double ax, double ay, double bx, double by, double cx, double cy);
int incircle_rest(double ax, double ay, double bx, double by, double cx, double cy, double dx, double dy);

// All three stages: the exact sign, -1, 0 or +1.
inline int orientation(double ax, double ay, double bx, double by, double cx, double cy) {
  const int s = orientation_stage1(ax, ay, bx, by, cx, cy);
  return s != kUndecided ? s : orientation_rest(ax, ay, bx, by, cx, cy);
}
inline int incircle(double ax, double ay, double bx, double by, double cx, double cy, double dx, double dy) {
  const int s = incircle_stage1(ax, ay, bx, by, cx, cy, dx, dy);
  return s != kUndecided ? s : incircle_rest(ax, ay, bx, by, cx, cy, dx, dy);
}

}  // namespace predicates
