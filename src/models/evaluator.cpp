// The whole-model evaluator potdefmag: potential, deflection and second derivatives summed
// over the components, without allocation or look-up by name.
#include "models/evaluator.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>

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
    print_labelled(QVMstdout, "Warning",
                   strformat("subsave is on, but evaluation point is not on small grid(s): %13.6e %13.6e", u, v));
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

// True when the whole-model sum needs none of its rarer parts: no line-of-sight or
// registration rows, no clumps, cached clump grids or clump list, no dominance tracking, no
// try2 matrices, the default one-component evaluator and a single plane. sum_plain then
// gives the same result as the general loop of potdefmagONE.
inline bool plain_sum_applies() {
  if (TWgal.npass_ != 0 || TWtrack.track_mode != 0 || TWmod.has_losmat || ellipse != ellipse1 || LOS.on)
    return false;
  const ClumpState& cs = TWclump;
  // Without populations, cached grids or a clump list there is nothing to add or remove
  // whatever the clump settings.
  if (cs.clump_list_n <= 0 && cs.subsaveN <= 0 && cs.clumpdat.empty()) return true;
  // With the clump field in force it adds nothing while no component has clumps and no
  // cached grid exists (the model load gives every component an empty population); without
  // it, the clump list's components are removed.
  const bool F = (settings.clumpmode == 1 || (settings.clumpmode == 2 && cs.useclumps == 1)) &&
                 std::fabs(cs.clumpwgt) > 1e-6;
  if (!F) return cs.clump_list_n <= 0;
  if (cs.subsaveN > 0 && !cs.subsavedat.empty()) return false;
  for (long j = cs.clumpdat.lo(); j <= cs.clumpdat.hi(); ++j)
    if (cs.clumpdat[j].type > 0) return false;
  return true;
}

// Stores v into d as one scalar (the value passes through a register first).
inline void store_scalar(double& d, double v) {
  asm("" : "+x"(v));
  d = v;
}

// Clears the dominance record unless it is clear already (loads are cheaper than stores
// in the hot path).
inline void clear_dominance_if_set(DominanceTrack& tr) {
  typedef std::uint64_t Pair __attribute__((vector_size(16)));
  static_assert(sizeof tr.track_arr == 14 * 8 && sizeof tr.track_dom == 7 * 4, "record layout");
  Pair any = {0, 0};
  for (int k = 0; k < 14; k += 2) {
    Pair w;
    std::memcpy(&w, tr.track_arr + k, sizeof w);
    any |= w;
  }
  std::uint64_t d[3];  // track_dom[0..5]
  std::memcpy(d, tr.track_dom, sizeof d);
  std::uint32_t d6;
  std::memcpy(&d6, tr.track_dom + 6, sizeof d6);
  // Entries 0 and 7 of track_arr and 0 of track_dom are no entries, so they may be read
  // here (nothing writes them). A -0 counts as set: the clear leaves +0.
  if ((any[0] | any[1] | d[0] | d[1] | d[2] | d6) != 0) clear_dominance(tr);
}

// The field of an isothermal row with b = 0 (zeros) or truncated (two profiles) into
// f[1..6], in the component frame.
__attribute__((noinline)) void iso_terms_rare(const GalaxyTable::Row& r, double xp, double yp, bool pot,
                                              double* f) {
  for (int q = 1; q <= 6; ++q) f[q] = 0.0;
  if (r.iso_terms < 2) return;
  // Both cores belong to the same b != 0.
  iso_detail::iso_truncated(r.iso[0], r.iso[1], xp, yp, pot, false, f);
}

// Adds to t[1..7] what one component contributes to the plain sum: its field (in the
// component frame P, A, B, Txx, Tyy, Txy, turned back into the image frame as
// component_detail::rotate_back does with c, sn the cosine and sine of the row's angle) and
// its shear term (P2, X2, Y2, gc, g5, gs, gs). The general loop also adds the products of the
// field with the zeros of its identity line-of-sight matrix, which change nothing but the
// sign of a zero sum.
inline void contribution(double* t, const GalaxyTable::Row& r, double P, double A, double B, double Txx,
                         double Tyy, double Txy, double c, double sn, double P2, double X2, double Y2, double gc,
                         double g5, double gs) {
  const double ss = r.rot_ss, cc = r.rot_cc, sc = r.rot_sc;
  const double R1_6 = -sc * Txx + (ss - cc) * Txy + sc * Tyy;
  t[1] = P + P2;
  t[2] = (-sn * A - c * B) + X2;
  t[3] = (c * A - sn * B) + Y2;
  t[4] = (ss * Txx + 2.0 * sc * Txy + cc * Tyy) + gc;
  t[5] = (cc * Txx - 2.0 * sc * Txy + ss * Tyy) + g5;
  t[6] = R1_6 + gs;
  t[7] = R1_6 + gs;
}

// The shear term of component_detail::shear_plain at the offset (dx, dy).
inline void shear_terms(double gc, double gs, double dx, double dy, double& P2, double& X2, double& Y2) {
  P2 = gc * (dx * dx - dy * dy) / 2.0 + gs * dx * dy;
  X2 = gc * dx + gs * dy;
  Y2 = gs * dx - gc * dy;
}

// What the plain sum makes: everything, the second derivatives alone (t[4..7], o4..o7) or
// the deflection alone (t[2..3], o2..o3). The other entries are then not the field's.
enum class Want { kAll, kHess, kDefl };

// A row of the isothermal closed form: its contribution t[1..7], from the row's own record
// (the entries kW asks for).
template <Want kW>
inline void iso_row(const GalaxyTable::Row& r, double x, double y, bool pot, double* t) {
  constexpr bool kHess = kW == Want::kHess, kDefl = kW == Want::kDefl;
  const CurrentComponent& k = r.c;
  const double c = k.ct, sn = k.st;
  const double dx = x - k.xg, dy = y - k.yg;
  const double xp = -sn * dx + c * dy, yp = -c * dx - sn * dy;
  double f1, f2, f3, f4, f5, f6;
  if (r.iso_terms == 1) {
    double f[7];  // stays in registers: its address goes nowhere
    f[1] = f[2] = f[3] = 0.0;
    if (kDefl) f[4] = f[5] = f[6] = 0.0;  // not made
    iso_detail::iso_eval<!kDefl>(r.iso[0], xp, yp, pot, false, f, !kHess);
    f1 = f[1], f2 = f[2], f3 = f[3], f4 = f[4], f5 = f[5], f6 = f[6];
  } else {
    double f[7];
    iso_terms_rare(r, xp, yp, pot, f);
    f1 = f[1], f2 = f[2], f3 = f[3], f4 = f[4], f5 = f[5], f6 = f[6];
  }
  double P2, X2, Y2;
  shear_terms(k.gc, k.gs, dx, dy, P2, X2, Y2);
  if (kDefl) {
    // The deflection's entries of contribution(), alone.
    t[2] = (-sn * f2 - c * f3) + X2;
    t[3] = (c * f2 - sn * f3) + Y2;
    return;
  }
  contribution(t, r, f1, f2, f3, f4, f5, f6, c, sn, P2, X2, Y2, k.gc, -k.gc, k.gs);
}

// A row evaluated by its class routine through `cur`: its contribution t[1..7]. gct, gst
// are the shear totals of the rows before it (read by intshr), updated here.
inline void class_row(const GalaxyTable::Row& r, double x, double y, double& gct, double& gst, double* t) {
  cur = r.c;
  cur.ID = r.name;
  component_detail::cur_pristine = nullptr;  // the class routine may change `cur`
  const double c = cur.ct, sn = cur.st;
  double dx = x - cur.xg, dy = y - cur.yg;
  const double xp = -sn * dx + c * dy, yp = -c * dx - sn * dy;
  if (!cur.cls) component_detail::unknown_class();
  DerivVector f;  // arrives cleared, as class routines expect
  cur.cls->evaluate(f, xp, yp);
  double P2, X2, Y2, gc, g5, gs;
  if (cur.cid == CLS_intshr) {
    LensState& tm = TWmod;
    tm.gctot = gct;
    tm.gstot = gst;
    shear(tm.R2, x, y);
    P2 = tm.R2[1];
    X2 = tm.R2[2];
    Y2 = tm.R2[3];
    gc = tm.R2[4];
    g5 = tm.R2[5];
    gs = tm.R2[6];
  } else {
    gc = cur.gc;
    g5 = -gc;
    gs = cur.gs;
    gct += gc;
    gst += gs;
    dx = x - cur.xg;
    dy = y - cur.yg;
    shear_terms(gc, gs, dx, dy, P2, X2, Y2);
  }
  contribution(t, r, f[1], f[2], f[3], f[4], f[5], f[6], c, sn, P2, X2, Y2, gc, g5, gs);
}

// The whole-model sum when plain_sum_applies(): o1..o7 as potdefmagONE gives them, times
// scale. Rows whose closed form the loader prepared are evaluated from their own record;
// the others go through `cur` and their class routine as in the general loop. Component 1
// is left loaded. With Want::kHess only o4..o7 are made (the same bits; o1..o3 are not the
// field's): single closed-form rows then skip their potential and deflection. With
// Want::kDefl only o2..o3 are made (the others are not the field's): closed-form rows then
// skip their potential and second derivatives.
//
// Each instance starts on a cache line of its own: where it starts moved its inner branches
// across fetch boundaries, by about a nanosecond per call, whenever unrelated code changed.
template <Want kW>
__attribute__((aligned(64))) void sum_plain(double x, double y, double scale, double& o1, double& o2,
                                            double& o3, double& o4, double& o5, double& o6, double& o7) {
  using Row = GalaxyTable::Row;
  const int n = TWgal.NGALMAX;
  const bool pot = settings.potflag != 0;
  const int norm = settings.alphanorm;
  // The sum reads entries 1..6: class routines may skip the third derivatives (set at the
  // first class routine, restored on every way out).
  struct NoThird {
    bool on = false;
    void set() {
      if (!on) TWmod.third = false;
      on = true;
    }
    ~NoThird() {
      if (on) TWmod.third = true;
    }
  } no_third;
  clear_dominance_if_set(TWtrack);
  double gct = 0, gst = 0;
  double s1 = 0, s2 = 0, s3 = 0, s4 = 0, s5 = 0, s6 = 0, s7 = 0;
  int loaded = 0;         // row last copied into `cur` for its class routine
  int last = 0;           // active row met last
  const int* refon = n >= 1 ? &TWgal.refon[1] : nullptr;  // switches of rows 1..n
  const int* refflag = n >= 1 ? &TWgal.refflag[1] : nullptr;
  for (int j = 1; j <= n; ++j) {
    if (refon[j - 1] == 0 || refflag[j - 1] <= 0) continue;
    Row& r = TWgal.rows_[j];
    last = j;
    if (!r.valid) component_detail::load_row(r, j);
    if (r.kind == Row::ROW_ISO && r.iso_norm != norm)  // SetMod reloads the rows of its class
      component_detail::prepare_sum(r);
    double t[8];
    if (r.kind == Row::ROW_NONE) {
      continue;
    } else if (r.kind == Row::ROW_ISO) {
      iso_row<kW>(r, x, y, pot, t);
      gct += r.c.gc;
      gst += r.c.gs;
    } else {
      no_third.set();
      loaded = j;
      class_row(r, x, y, gct, gst, t);
    }
    if (kW == Want::kDefl) {
      s2 += t[2];
      s3 += t[3];
      continue;
    }
    s1 += t[1];
    s2 += t[2];
    s3 += t[3];
    s4 += t[4];
    s5 += t[5];
    s6 += t[6];
    s7 += t[7];
  }
  // Stored one by one: a pair store would be built from the two spilled totals by one wide
  // load, which waits for both narrow stores to retire.
  store_scalar(TWmod.gctot, gct);
  store_scalar(TWmod.gstot, gst);
  // Leave component 1 loaded: it is when its class routine ran last (as the general loop
  // leaves it), or when `cur` holds its current loaded values untouched.
  if (n >= 1 && !(last == 1 && loaded == 1) && component_detail::cur_pristine != &TWgal.rows_[1])
    component_detail::initgal_unchecked(1);
  // The results last, as potdefmag stores them after the sum.
  o1 = scale * s1;
  o2 = scale * s2;
  o3 = scale * s3;
  o4 = scale * s4;
  o5 = scale * s5;
  o6 = scale * s6;
  o7 = scale * s7;
}

}  // namespace

void potdefmag(double x, double y, double& pot, double& phix, double& phiy, double& phixx,
               double& phiyy, double& phixy, double& phiyx) {
  if (plain_sum_applies()) {
    sum_plain<Want::kAll>(x, y, TWmod.scale, pot, phix, phiy, phixx, phiyy, phixy, phiyx);
    return;
  }
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

void potdefmag_hessian(double x, double y, double& phixx, double& phiyy, double& phixy, double& phiyx) {
  double pot, phix, phiy;
  if (plain_sum_applies())
    sum_plain<Want::kHess>(x, y, TWmod.scale, pot, phix, phiy, phixx, phiyy, phixy, phiyx);
  else
    potdefmag(x, y, pot, phix, phiy, phixx, phiyy, phixy, phiyx);
}

void potdefmag_deflection(double x, double y, double& phix, double& phiy) {
  double pot, phixx, phiyy, phixy, phiyx;
  if (plain_sum_applies())
    sum_plain<Want::kDefl>(x, y, TWmod.scale, pot, phix, phiy, phixx, phiyy, phixy, phiyx);
  else
    potdefmag(x, y, pot, phix, phiy, phixx, phiyy, phixy, phiyx);
}

// Not re-entrant: uses `cur`, TWmod's scratch and running totals, and the class routines
// it reaches must not call back into it.
void potdefmagONE(PotDefMagVector& out, double x, double y, bool want_param_derivs) {
  out.zero();
  if (want_param_derivs) fatal("parameter derivatives have been deactivated");
  if (plain_sum_applies()) {
    double* o = out.v;
    sum_plain<Want::kAll>(x, y, 1.0, o[1], o[2], o[3], o[4], o[5], o[6], o[7]);
    return;
  }
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
