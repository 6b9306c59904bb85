// The component table, the current component that initgal loads, and the one-component
// evaluator with its shear and ellipse helpers.
#include "models/component.h"

#include <cmath>
#include <cstdint>
#include <cstring>

#include "models/classes.h"
#include "models/component_inline.h"
#include "models/evaluator.h"
#include "numeric/constants.h"
#include "shell/fatal.h"
#include "shell/settings.h"

CurrentComponent cur;
GalaxyTable TWgal;
LensState TWmod;
RegisterTable TWrgstr;
ComponentEvaluator ellipse = ellipse1;

namespace {

void check_row(int i) {
  if (i < 1 || i > TWgal.NGALMAX) fatal(strformat("component %d does not exist", i));
}

void resolve_row(GalaxyTable::Row& r) {
  r.valid = false;
  if (r.name == "none") {
    r.cls = nullptr;
    r.cid = CLS_NONE;
    return;
  }
  r.cls = FindModelClass(r.name);
  r.cid = r.cls ? static_cast<ClassId>(r.cls->id) : CLS_UNKNOWN;
}

void count_pass_rows() {
  int n = 0;
  for (int i = 1; i <= TWgal.NGALMAX; ++i) {
    const ClassId id = TWgal.rows_[i].cid;
    n += id == CLS_LOSshr || id == CLS_register;
  }
  TWgal.npass_ = n;
}

// Truncation towards zero of v * 1.000001 as an int; values that are no int (NaN, out of
// range) give -1, which the registration checks refuse.
int trunc_index(double v) {
  const double t = std::trunc(v * 1.000001);
  if (!(t >= -2147483647.0 && t <= 2147483647.0)) return -1;
  return static_cast<int>(t);
}

}  // namespace

namespace component_detail {

const GalaxyTable::Row* cur_pristine = nullptr;

// Derives the loaded values of row i from its parameters and name.
void load_row(GalaxyTable::Row& r, int i) {
  if (cur_pristine == &r) cur_pristine = nullptr;
  BRow<const double> p = static_cast<const Mat&>(TWgal.p)[i];
  for (int k = 1; k <= 10; ++k) r.praw[k] = p[k];
  CurrentComponent& c = r.c;
  c.ID = r.name;
  c.cls = r.cls;
  c.cid = r.cid;
  c.igal = i;
  c.b = p[1];
  c.xg = p[2];
  c.yg = p[3];
  c.ep = p[4];
  c.te = p[5];
  c.gm = p[6];
  c.tg = p[7];
  c.ss = std::fabs(p[8]);
  c.aa = std::fabs(p[9]);
  c.al = p[10];
  if (r.cid == CLS_ArnoldADE) {
    c.ss = p[8];
    c.aa = p[9];
  }
  // A negative ellipticity is the positive one at 90 degrees; multipole amplitudes keep
  // their sign.
  if (r.cid != CLS_mpole && r.cid != CLS_fourmode && c.ep < 0) {
    c.ep = -c.ep;
    c.te += 90.0;
  }
  if (r.cid == CLS_kapmap) c.te -= 90.0;
  const double t = c.te * kPi / 180.0;
  c.ct = std::cos(t);
  c.st = std::sin(t);
  c.c2t = c.ct * c.ct - c.st * c.st;
  c.s2t = 2.0 * c.st * c.ct;
  if (c.gm < 0) {
    c.gm = -c.gm;
    c.tg += 90.0;
  }
  c.gc = c.gm * std::cos(kPi * c.tg / 90.0);
  c.gs = c.gm * std::sin(kPi * c.tg / 90.0);
  refresh_axis_values(c);
  prepare_sum(r);
  r.valid = true;
}

void prepare_sum(GalaxyTable::Row& r) {
  r.rot_ss = r.c.st * r.c.st;
  r.rot_cc = r.c.ct * r.c.ct;
  r.rot_sc = r.c.st * r.c.ct;
  r.kind = r.cid == CLS_NONE ? GalaxyTable::Row::ROW_NONE : GalaxyTable::Row::ROW_CLASS;
  r.iso_norm = settings.alphanorm;
  r.iso_fn = r.cls ? r.cls->evaluate : nullptr;
  r.iso_terms = 0;
  if (iso_detail::iso_component(r.c, r.iso_norm, r.iso, r.iso_terms)) r.kind = GalaxyTable::Row::ROW_ISO;
}

void unknown_class() { fatal("unknown model class " + std::string(cur.ID)); }

void refresh_register(const GalaxyTable::Row& r) {
  SetRegister(trunc_index(r.praw[1]), trunc_index(r.praw[2]), r.praw[3], r.praw[4]);
}

}  // namespace component_detail

using component_detail::unknown_class;

void refresh_axis_values(CurrentComponent& c) {
  const double q = 1.0 - c.ep;
  c.axis_ep = c.ep;
  c.q = q;
  c.anf = std::sqrt((1.0 + q * q) / 2.0) / q;
  c.vq = std::sqrt(std::fabs(1.0 - q * q));
  c.qov = q / c.vq;
}

// ---- component table ----

void GalaxyTable::allocate(int n) {
  if (n < 0) n = 0;
  NGALMAX = n;
  p.reset(1, n, 1, 10);
  z.reset(1, n);
  pos.reset(1, n, 1, 6);
  refon.reset(1, n);
  refon.fill(1);
  refflag.reset(1, n);
  refflag.fill(1);
  count = 0;
  rows_.assign(static_cast<size_t>(n) + 1, Row());
  for (int i = 1; i <= n; ++i) resolve_row(rows_[i]);
  npass_ = 0;
  // The loaded component pointed into the old rows.
  cur = CurrentComponent();
  component_detail::cur_pristine = nullptr;
}

const std::string& GalaxyTable::name(int i) const {
  check_row(i);
  return rows_[i].name;
}

void resolve_component_classes() {
  component_detail::cur_pristine = nullptr;
  for (int i = 1; i <= TWgal.NGALMAX; ++i) resolve_row(TWgal.rows_[i]);
  count_pass_rows();
  if (cur.igal >= 1 && cur.igal <= TWgal.NGALMAX) {
    cur.cls = TWgal.rows_[cur.igal].cls;
    cur.cid = TWgal.rows_[cur.igal].cid;
  }
}

void setp(int i, int k, double value) {
  check_row(i);
  if (k < 1 || k > 10) fatal(strformat("parameter %d does not exist", k));
  TWgal.p[i][k] = value;
  TWgal.rows_[i].valid = false;
  if (component_detail::cur_pristine == &TWgal.rows_[i]) component_detail::cur_pristine = nullptr;
}

void getp(int i, int k, double& value) { value = getp(i, k); }

double getp(int i, int k) {
  check_row(i);
  if (k < 1 || k > 10) fatal(strformat("parameter %d does not exist", k));
  return TWgal.p[i][k];
}

void setz(int i, double z) {
  check_row(i);
  TWgal.z[i] = z;
}

void getz(int i, double& z) {
  check_row(i);
  z = TWgal.z[i];
}

void setID(int i, const std::string& name) {
  check_row(i);
  GalaxyTable::Row& r = TWgal.rows_[i];
  r.name = name;
  resolve_row(r);
  count_pass_rows();
  // Keep the loaded component's name view valid; its values refresh at the next load.
  if (cur.igal == i) {
    component_detail::cur_pristine = nullptr;
    cur.ID = r.name;
    cur.cls = r.cls;
    cur.cid = r.cid;
  }
}

void getparms(double& b, double& e, double& s, double& a, double& alpha) {
  b = cur.b;
  e = cur.ep;
  s = cur.ss;
  a = cur.aa;
  alpha = cur.al;
}

void initgal(int i) {
  check_row(i);
  // The explicit load also takes parameters written into the table directly.
  GalaxyTable::Row& r = TWgal.rows_[i];
  if (component_detail::row_changed(r, i)) r.valid = false;
  component_detail::initgal_unchecked(i);
}

// ---- external shear and the internal quadrupole ----

namespace {
struct IntshrFlag {
  IntshrFlag() { TWmod.intshrflag = 1; }
  ~IntshrFlag() { TWmod.intshrflag = 0; }
};
}  // namespace

void shear(DerivVector& out, double x, double y) {
  if (cur.cid == CLS_intshr) {
    IntshrFlag flag;
    modelclass::intshr(out, x, y);
    return;
  }
  component_detail::shear_plain(out, x, y);
}

namespace modelclass {

// The internal shear quadrupole acts only through the shear term (shear() sets the flag):
// as a class field it is zero. (x, y) is then the image-plane point.
void intshr(DerivVector& out, double x, double y) {
  out.zero();
  if (!TWmod.intshrflag) return;
  double A1, A2;
  if (settings.intshrmode == 1) {
    A1 = cur.gc;
    A2 = cur.gs;
  } else if (settings.intshrmode == 2) {
    // (gc + i gs)(gctot + i gstot) / (1 - G): relative to the shear of the components
    // evaluated before this one.
    const double G = std::sqrt(cur.gc * cur.gc + cur.gs * cur.gs);
    A1 = (cur.gc * TWmod.gctot - cur.gs * TWmod.gstot) / (1.0 - G);
    A2 = (cur.gs * TWmod.gctot + cur.gc * TWmod.gstot) / (1.0 - G);
  } else {
    fatal("unknown value of intshrmode");
  }
  const double dx = x - cur.xg, dy = y - cur.yg;
  const double r = std::sqrt(dx * dx + dy * dy);
  if (r < 1e-5) return;
  const double phi = std::atan2(dy, dx);
  const double B = cur.b * cur.b * cur.b * cur.b;
  const double r2 = r * r, r3 = r2 * r, r4 = r2 * r2;
  out[1] = B / (2.0 * r2) * (A1 * std::cos(2 * phi) + A2 * std::sin(2 * phi));
  out[2] = -B / r3 * (A1 * std::cos(3 * phi) + A2 * std::sin(3 * phi));
  out[3] = B / r3 * (A2 * std::cos(3 * phi) - A1 * std::sin(3 * phi));
  out[4] = 3.0 * B / r4 * (A1 * std::cos(4 * phi) + A2 * std::sin(4 * phi));
  out[5] = -out[4];
  out[6] = -3.0 * B / r4 * (A2 * std::cos(4 * phi) - A1 * std::sin(4 * phi));
}

}  // namespace modelclass

// ---- one-component evaluators ----

void ellipse1(DerivVector& out, double x, double y) { component_detail::ellipse1_inline(out, x, y); }

void ellipse2(DerivVector& out, double x, double y) {
  if (cur.cid == CLS_NONE || cur.cid == CLS_register) {
    out.zero();
    return;
  }
  const double c = cur.ct, s = cur.st;
  const double dx = x - cur.xg, dy = y - cur.yg;
  double xp = -s * dx + c * dy, yp = -c * dx - s * dy;
  if (!cur.cls) unknown_class();
  component_detail::cur_pristine = nullptr;
  DerivVector r;
  bool far = false;
  double x1 = 0, y1 = 0;
  if (TWmod.farcut > 0 && TWgal.NGALMAX >= 1) {
    x1 = TWgal.p[1][2];
    y1 = TWgal.p[1][3];
    far = std::hypot(cur.xg - x1, cur.yg - y1) > TWmod.farcut;
  }
  if (!far) {
    cur.cls->evaluate(r, xp, yp);
  } else {
    // A far component enters through its second-order expansion about component 1.
    xp = -s * (x1 - cur.xg) + c * (y1 - cur.yg);
    yp = -c * (x1 - cur.xg) - s * (y1 - cur.yg);
    cur.cls->evaluate(r, xp, yp);
    const double u = -s * (x - x1) + c * (y - y1), v = -c * (x - x1) - s * (y - y1);
    const double f = r[1], g = r[2], h = r[3], l = r[4], m = r[5], o = r[6];
    r[1] = f + g * u + h * v + l * u * u / 2.0 + o * u * v + m * v * v / 2.0;
    r[2] = g + l * u + o * v;
    r[3] = h + o * u + m * v;
    r[7] = r[8] = r[9] = r[10] = 0.0;
  }
  component_detail::rotate_back(out, r, c, s);
}

// ---- total mass and density ----

namespace {
double sum_over_components(bool mass, double r) {
  double sum = 0.0;
  for (int i = 1; i <= TWgal.NGALMAX; ++i) {
    initgal(i);
    if (cur.cid == CLS_NONE || cur.cid == CLS_register) continue;
    if (!cur.cls) unknown_class();
    component_detail::cur_pristine = nullptr;
    sum += mass ? cur.cls->mass(r) : cur.cls->density(r);
  }
  if (TWgal.NGALMAX >= 1) initgal(1);
  return sum;
}
}  // namespace

double total_mass(double r) { return sum_over_components(true, r); }
double total_rho(double r) { return sum_over_components(false, r); }

// ---- registration ----

void InitRegister() {
  TWrgstr.nrgstr = settings.maxrgstr;
  TWrgstr.rgstr.reset(1, 4, 0, TWrgstr.nrgstr, 1, 2);
  TWrgstr.exists = true;
}

void SetRegister(int type, int number, double dx, double dy) {
  // A register component loaded before any model set-up gets a fresh table.
  if (!TWrgstr.exists) InitRegister();
  if (type < 1 || type > 4) fatal("unknown data type for registration");
  if (number < 0 || number > TWrgstr.nrgstr)
    fatal("register data number out of bounds; increase maxrgstr variable");
  if (type == 2 && number != 0) fatal("all curve constraints must use the same shift (data number = 0)");
  const int lo = number > 0 ? number : 0, hi = number > 0 ? number : TWrgstr.nrgstr;
  for (int k = lo; k <= hi; ++k) {
    TWrgstr.rgstr[type][k][1] = dx;
    TWrgstr.rgstr[type][k][2] = dy;
  }
}

void GetRegister(int type, int number, double& dx, double& dy) {
  dx = dy = 0.0;
  if (number < 0 || number > settings.maxrgstr || !TWrgstr.exists) return;
  if (type < 1 || type > 4) fatal("unknown data type for registration");
  if (number > TWrgstr.nrgstr) fatal("register data number out of bounds; increase maxrgstr variable");
  dx = TWrgstr.rgstr[type][number][1];
  dy = TWrgstr.rgstr[type][number][2];
}
