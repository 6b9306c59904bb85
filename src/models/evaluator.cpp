#include "models/evaluator.h"

#include <cmath>
#include <cstdio>

#include "models/component_inline.h"
#include "models/substructure.h"
#include "shell/fatal.h"
#include "shell/settings.h"

LOSPlanes LOS;
DominanceTrack TWtrack;

namespace {

bool in_clump_list(int j) {
  const ClumpState& cs = TWclump;
  const int n = cs.clump_list_n < cs.clump_list.hi() ? cs.clump_list_n : static_cast<int>(cs.clump_list.hi());
  for (int k = 1; k <= n; ++k)
    if (cs.clump_list[k] == j) return true;
  return false;
}

// A cached grid can be interpolated only with at least two nodes and a positive step in
// each direction, and tables that hold every node.
bool usable(const SubsaveGrid& g) {
  const Tensor3& t = g.tab;
  return g.on && g.nx >= 2 && g.ny >= 2 && g.xstep > 0 && g.ystep > 0 && !t.empty() && t.rlo() <= 1 &&
         t.rhi() >= 6 && t.clo() <= 1 && t.chi() >= g.nx && t.dlo() <= 1 && t.dhi() >= g.ny;
}

// Cell index trunc(d * 1.000001) + 1 of a point at d steps from the grid's lower edge,
// raised to at least 1 and lowered to n - 1 (the last cell), computed in floating point
// so that a point far beyond the last node cannot overflow the integer.
int cell_index(double d, int n) {
  const double i = std::trunc(d * 1.000001) + 1.0;
  if (!(i >= 1.0)) return 1;
  if (i >= n) return n - 1;
  return static_cast<int>(i);
}

// Adds the cached clump field at (u, v) to out; false when no cached grid holds the point.
// Kept out of line: it runs only while cached grids exist, and inlined into the evaluator it
// costs the component loop registers.
__attribute__((noinline)) bool add_cached_field(PotDefMagVector& out, double u, double v) {
  ClumpState& cs = TWclump;
  const long n = cs.subsaveN < cs.subsavedat.hi() ? cs.subsaveN : cs.subsavedat.hi();
  for (long j = 1; j <= n; ++j) {
    SubsaveGrid& g = cs.subsavedat[j];
    if (!(g.xlo <= u && u <= g.xhi && g.ylo <= v && v <= g.yhi) || !usable(g)) continue;
    const int i = cell_index((u - g.xlo) / g.xstep, g.nx);
    const int k = cell_index((v - g.ylo) / g.ystep, g.ny);
    const double fx = (u - (g.xlo + (i - 1) * g.xstep)) / g.xstep;
    const double fy = (v - (g.ylo + (k - 1) * g.ystep)) / g.ystep;
    for (int q = 1; q <= 6; ++q) {
      auto T = g.tab[q];
      const double val = (1 - fx) * (1 - fy) * T[i][k] + (1 - fx) * fy * T[i][k + 1] +
                         fx * (1 - fy) * T[i + 1][k] + fx * fy * T[i + 1][k + 1];
      out[q] += val;
      if (q == 6) out[7] += val;
    }
    return true;
  }
  if (cs.subsaveWarn < 20) {
    qprintf("Warning: subsave is on, but evaluation point is not on small grid(s): %13.6e %13.6e\n", u, v);
    ++cs.subsaveWarn;
  }
  return false;
}

// Clears track_dom[1..6], track_arr[1..6] and [8..13] (single stores; see DerivVector).
template <size_t... I>
inline void clear_each(double* a, int* d, std::index_sequence<I...>) {
  ((I != 6 ? a[I + 1] = 0.0 : 0.0), ...);
  ((d[I % 6 + 1] = 0), ...);
}
inline void clear_dominance(DominanceTrack& tr) {
  clear_each(tr.track_arr, tr.track_dom, std::make_index_sequence<13>{});
}

}  // namespace

void potdefmag(double x, double y, double& pot, double& phix, double& phiy, double& phixx,
               double& phiyy, double& phixy, double& phiyx) {
  PotDefMagVector out;
  if (LOS.on)
    potdefmagLOS(out, x, y);
  else
    potdefmagONE(out, x, y);
  const double s = TWmod.scale;
  pot = s * out[1];
  phix = s * out[2];
  phiy = s * out[3];
  phixx = s * out[4];
  phiyy = s * out[5];
  phixy = s * out[6];
  phiyx = s * out[7];
}

// Not re-entrant: uses `cur`, TWmod's scratch and running totals, and the class routines
// it reaches must not call back into it.
void potdefmagONE(PotDefMagVector& out, double x, double y, bool want_param_derivs) {
  out.zero();
  if (want_param_derivs) fatal("parameter derivatives have been deactivated");
  const int n = TWgal.NGALMAX;
  LensState& tm = TWmod;
  // The sum reads entries 1..6 of each component: classes may skip the third derivatives.
  struct NoThird {
    NoThird() { TWmod.third = false; }
    ~NoThird() { TWmod.third = true; }
  } no_third;

  // Line-of-sight pass: the last active LOSshr component sets the matrix (m l; h g) and
  // the point (u, v) at which the class fields are evaluated. Registration components are
  // loaded here too, as every active component is, which refreshes their shifts. Loading
  // any other component here would change nothing that lasts, so the pass runs only over
  // models that hold one of these two classes.
  double m = 1, l = 0, h = 0, g = 1, u = x, v = y;
  for (int i = 1; i <= (TWgal.npass_ > 0 ? n : 0); ++i) {
    if (!TWgal.active(i)) continue;
    const ClassId id = TWgal.cid(i);
    if (id == CLS_register) {
      component_detail::initgal_unchecked(i);
      continue;
    }
    if (id != CLS_LOSshr) continue;
    component_detail::initgal_unchecked(i);
    if (tm.has_losmat) {
      m = tm.losmat[1][1][1];
      l = tm.losmat[1][1][2];
      h = tm.losmat[1][2][1];
      g = tm.losmat[1][2][2];
    } else {
      m = 1.0 - cur.b - cur.gc;
      l = h = -cur.gs;
      g = 1.0 - cur.b + cur.gc;
    }
    if (settings.potflag) fatal("cannot currently handle potential with LOSshr");
    const double dx = x - cur.xg, dy = y - cur.yg;
    u = cur.xg + m * dx + l * dy;
    v = cur.yg + h * dx + g * dy;
  }

  tm.gctot = tm.gstot = 0.0;

  const ClumpState& cs = TWclump;
  const double w = cs.clumpwgt;
  const bool F = (settings.clumpmode == 1 || (settings.clumpmode == 2 && cs.useclumps == 1)) &&
                 std::fabs(w) > 1e-6;

  // The sum is kept in seven locals that nothing else can see, so that it lives in
  // registers (a vector in memory written one entry at a time and read back in pairs
  // stalls the loads), and stored into out at the end.
  double s1 = 0, s2 = 0, s3 = 0, s4 = 0, s5 = 0, s6 = 0, s7 = 0;
  bool hit = false;
  if (cs.subsaveN > 0 && !cs.subsavedat.empty() && F) {
    PotDefMagVector cached;
    hit = add_cached_field(cached, u, v);
    s1 = cached[1];
    s2 = cached[2];
    s3 = cached[3];
    s4 = cached[4];
    s5 = cached[5];
    s6 = cached[6];
    s7 = cached[7];
  }

  DominanceTrack& tr = TWtrack;
  clear_dominance(tr);
  double maxP = 0, maxD = 0, maxK = 0, maxG = 0;
  const int mode = tr.track_mode;

  int last = 0;  // component loaded last in this evaluation
  for (int j = 1; j <= n; ++j) {
    if (!TWgal.active(j)) continue;
    component_detail::initgal_unchecked(j);
    last = j;
    // R1: the class field, R2: the clump field, then the shear term. They are local
    // copies of TWmod's scratch vectors, so that the compiler can keep them in registers;
    // the scratch vectors serve the calls that are not inlined.
    DerivVector R1, R2;
    const bool clumped = F && j >= cs.clumpdat.lo() && j <= cs.clumpdat.hi() && cs.clumpdat[j].type > 0;
    // A component evaluator writes all ten entries; the default one is inlined here. The
    // smooth field of a component whose clumps carry all of its weight is not needed.
    if (clumped && w == 1.0) {
      // R1 stays zero
    } else if (ellipse == ellipse1) {
      component_detail::ellipse1_inline(R1, u, v, false);  // entries 7..10 are not read
    } else {
      ellipse(tm.R1, u, v);
      R1 = tm.R1;
    }
    // Components of the clump list exist only while clumps are in use.
    if (cs.clump_list_n > 0 && !F && in_clump_list(j)) R1.zero();
    if (clumped) {
      DerivVector& C = tm.R2;
      C.zero();
      // A cached grid holds the explicit clumps only; the far zone is added everywhere.
      if (!hit) TreeCalc(cs.clumpdat[j].root.get(), C, u, v);
      ClumpMpoleCalc(j, C, u, v);
      for (int k = 1; k <= 10; ++k) R1[k] = (1.0 - w) * R1[k] + w * C[k];
    }
    if (cur.cid == CLS_intshr) {
      shear(tm.R2, x, y);
      R2 = tm.R2;
    } else {
      component_detail::shear_plain(R2, x, y);
    }
    R2[7] = R2[6];
    if (tm.has_losmat && cur.cid != CLS_LOSshr) {
      const double(&M)[3][3] = tm.losmat[2];
      const double dx = x - cur.xg, dy = y - cur.yg;
      R2[1] = 0.0;
      R2[2] = M[1][1] * dx + M[1][2] * dy;
      R2[3] = M[2][1] * dx + M[2][2] * dy;
      R2[4] = M[1][1];
      R2[5] = M[2][2];
      R2[6] = M[1][2];
      R2[7] = M[2][1];
      std::printf("QVM using manual shr %e %e %e %e (%e,%e)\n", R2[4], R2[5], R2[6], R2[7], cur.xg, cur.yg);
    }
    const double Hxx = m * R1[4] + h * R1[6] + R2[4];
    const double Hyy = l * R1[6] + g * R1[5] + R2[5];
    const double Hxy = l * R1[4] + g * R1[6] + R2[6];
    const double Hyx = m * R1[6] + h * R1[5] + R2[7];
    if (mode == 1 || (mode == 2 && j > 1)) {
      const double P = R1[1] + R2[1], Dx = R1[2] + R2[2], Dy = R1[3] + R2[3];
      const double kap = (Hxx + Hyy) / 2.0, G1 = (Hxx - Hyy) / 2.0, G2 = Hxy;
      const double D = std::hypot(Dx, Dy), G = std::hypot(G1, G2);
      if (P > maxP) {
        tr.track_dom[1] = j;
        tr.track_arr[1] = P;
        maxP = P;
      }
      if (D > maxD) {
        tr.track_dom[2] = j;
        tr.track_arr[2] = Dx;
        tr.track_arr[3] = Dy;
        maxD = D;
      }
      if (kap > maxK) {
        tr.track_dom[4] = j;
        tr.track_arr[4] = kap;
        maxK = kap;
      }
      if (G > maxG) {
        tr.track_dom[5] = j;
        tr.track_arr[5] = G1;
        tr.track_arr[6] = G2;
        maxG = G;
      }
      tr.track_arr[8] += P;
      tr.track_arr[9] += Dx;
      tr.track_arr[10] += Dy;
      tr.track_arr[11] += kap;
      tr.track_arr[12] += G1;
      tr.track_arr[13] += G2;
    }
    s1 += R1[1] + R2[1];
    s2 += R1[2] + R2[2];
    s3 += R1[3] + R2[3];
    s4 += Hxx;
    s5 += Hyy;
    s6 += Hxy;
    s7 += Hyx;
  }
  out[1] = s1;
  out[2] = s2;
  out[3] = s3;
  out[4] = s4;
  out[5] = s5;
  out[6] = s6;
  out[7] = s7;

  if (mode > 0) {
    double* a = tr.track_arr;
    a[8] -= a[1];
    a[10] = a[10] - a[3];
    a[9] = std::hypot(a[9] - a[2], a[10]);
    a[2] = std::hypot(a[2], a[3]);
    a[11] -= a[4];
    a[13] = a[13] - a[6];
    a[12] = std::hypot(a[12] - a[5], a[13]);
    a[5] = std::hypot(a[5], a[6]);
  }

  // Leave component 1 loaded (already so when it was the last one loaded above).
  if (n >= 1 && last != 1) component_detail::initgal_unchecked(1);
}
