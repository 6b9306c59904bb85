// Tabulated lens models: tables on a grid of ellipticity, radius and angle, their binary
// file, the trilinear lookup InterpTab and the class "tab".
#include "models/tab.h"

#include <climits>
#include <cmath>
#include <cstring>
#include <new>

#include "io/qvmfile.h"
#include "models/classes.h"
#include "models/component.h"
#include "numeric/constants.h"
#include "shell/fatal.h"
#include "shell/settings.h"

TableList tablist;

namespace {

constexpr size_t kNameBytes = 132;
constexpr double kOnBound = 1e-12;  // relative distance from an axis bound that counts as on it

// Position of v on one axis: lower node i (1-based), upper node i2 and fraction f.
// v is in lookup units and lies inside the axis (checked by the caller); at_hi marks the
// upper bound itself, which is the last cell with fraction exactly 1.
inline void axis_cell(const LensTable& t, int ax, double v, bool at_hi, int& i, int& i2, double& f) {
  const int n = t.count[ax];
  if (n < 2) {
    i = i2 = 1;
    f = 0.0;
    return;
  }
  const double d = (t.hi[ax] - t.lo[ax]) / (n - 1);
  if (at_hi || d == 0.0) {
    i = d == 0.0 ? 1 : n - 1;
    i2 = i + 1;
    f = d == 0.0 ? 0.0 : 1.0;
    return;
  }
  double s = (v - t.lo[ax]) / d * 1.000001;
  i = static_cast<int>(s) + 1;
  if (s < 0.0) i = 1;  // rounding of a logarithm just below the lower bound
  if (i >= n) i = n - 1;
  i2 = i + 1;
  f = (v - (t.lo[ax] + (i - 1) * d)) / d;
}

const LensTable* find_table(TableRef& ref) {
  if (ref.generation != tablist.generation) {
    ref.table = nullptr;
    ref.searched = 0;
    ref.generation = tablist.generation;
  }
  if (ref.table) return ref.table;
  if (ref.searched == tablist.tables.size() && ref.searched != 0) return nullptr;
  if (ref.name == "general") {
    if (!tablist.tables.empty()) ref.table = &tablist.tables.front();
  } else {
    for (const LensTable& t : tablist.tables)
      if (t.name == ref.name) {
        ref.table = &t;
        break;
      }
  }
  if (!ref.table) ref.searched = tablist.tables.size();
  return ref.table;
}

template <class T>
bool read_item(FILE* fp, T& v) {
  return std::fread(&v, sizeof(T), 1, fp) == 1;
}

template <class T>
bool write_item(FILE* fp, const T& v) {
  return std::fwrite(&v, sizeof(T), 1, fp) == 1;
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Tables

void LensTable::set_axes(const double lo_lin[3], const double hi_lin[3], const int file_count[3]) {
  static const char* const kAxis[3] = {"ellipticity", "radius", "angle"};
  double points = 1.0;
  for (int ax = 0; ax < 3; ++ax) {
    const int c = file_count[ax];
    if (c == 0 || c == INT_MIN)
      fatal(strformat("tabulated model %s has no points on its %s axis", name.c_str(), kAxis[ax]));
    logflag[ax] = c < 0 ? 1 : 0;
    count[ax] = c < 0 ? -c : c;
    lin_lo[ax] = lo_lin[ax];
    lin_hi[ax] = hi_lin[ax];
    if (!(lo_lin[ax] <= hi_lin[ax]))
      fatal(strformat("tabulated model %s has an empty %s range", name.c_str(), kAxis[ax]));
    if (logflag[ax]) {
      if (!(lo_lin[ax] > 0.0))
        fatal(strformat("tabulated model %s has a logarithmic %s axis that does not start above 0",
                        name.c_str(), kAxis[ax]));
      lo[ax] = std::log10(lo_lin[ax]);
      hi[ax] = std::log10(hi_lin[ax]);
    } else {
      lo[ax] = lo_lin[ax];
      hi[ax] = hi_lin[ax];
    }
    points *= count[ax];
  }
  if (points * 6.0 > 2e10)
    fatal(strformat("tabulated model %s is too large (%.0f points)", name.c_str(), points));
  try {
    values.assign(static_cast<size_t>(points) * 6, 0.0);
  } catch (const std::bad_alloc&) {
    fatal(strformat("not enough memory for tabulated model %s", name.c_str()));
  }
}

double LensTable::node(int axis, int n) const {
  if (count[axis] < 2) return lin_lo[axis];
  const double v = lo[axis] + (n - 1) * (hi[axis] - lo[axis]) / (count[axis] - 1);
  return logflag[axis] ? std::pow(10.0, v) : v;
}

LensTable& AddTab() {
  tablist.tables.emplace_back();
  return tablist.tables.back();
}

// ---------------------------------------------------------------------------------------
// Lookup

int InterpTab(TableRef& ref, double e, double x, double y, TabLookup& out) {
  const LensTable* t = find_table(ref);
  if (!t) {
    if (ref.name != "general" && !quietflag && settings.verbose <= 2)
      warning(strformat("no tabulated results loaded for model %.*s", static_cast<int>(ref.name.size()),
                        ref.name.data()));
    return TAB_NONE;
  }
  out.b = t->b;
  out.s = t->s;
  out.alpha = t->alpha;

  const double sx = x < 0.0 ? -1.0 : 1.0, sy = y < 0.0 ? -1.0 : 1.0;
  const double X = std::fabs(x), Y = std::fabs(y);
  const double R = std::sqrt(X * X + Y * Y) * t->s / cur.ss;
  const double th = std::atan2(Y, X) * kDeg;
  double v[3] = {e, R, th};
  for (int ax = 0; ax < 3; ++ax)
    if (!(v[ax] >= t->lin_lo[ax] && v[ax] <= t->lin_hi[ax])) {
      // A value within rounding of a bound is on it: the radius of an edge node, say,
      // may compute to 10.000000000000002 for a bound of 10.
      if (std::fabs(v[ax] - t->lin_lo[ax]) <= kOnBound * std::fabs(t->lin_lo[ax]))
        v[ax] = t->lin_lo[ax];
      else if (std::fabs(v[ax] - t->lin_hi[ax]) <= kOnBound * std::fabs(t->lin_hi[ax]))
        v[ax] = t->lin_hi[ax];
      else
        return TAB_OUT_E + ax;
    }

  int i[3], i2[3];
  double f[3];
  for (int ax = 0; ax < 3; ++ax) {
    const bool at_hi = v[ax] == t->lin_hi[ax];
    const double w = t->logflag[ax] ? std::log10(v[ax]) : v[ax];
    axis_cell(*t, ax, w, at_hi, i[ax], i2[ax], f[ax]);
  }
  const double fe = f[0], fr = f[1], ft = f[2];
  const double we[2] = {1.0 - fe, fe}, wr[2] = {1.0 - fr, fr}, wt[2] = {1.0 - ft, ft};
  const int ie[2] = {i[0], i2[0]}, ir[2] = {i[1], i2[1]}, it[2] = {i[2], i2[2]};
  double acc[6] = {0, 0, 0, 0, 0, 0};
  for (int a = 0; a < 2; ++a)
    for (int b = 0; b < 2; ++b)
      for (int c = 0; c < 2; ++c) {
        const double wgt = we[a] * wr[b] * wt[c];
        const double* p = &t->values[t->index(0, ie[a], ir[b], it[c])];
        for (int k = 0; k < 6; ++k) acc[k] += wgt * p[k];
      }
  out.v[0] = acc[0];
  out.v[1] = acc[1] * sx;
  out.v[2] = acc[2] * sy;
  out.v[3] = acc[3];
  out.v[4] = acc[4];
  out.v[5] = acc[5] * sx * sy;
  return TAB_OK;
}

int InterpTab(std::string_view name, double e, double x, double y, TabLookup& out) {
  TableRef ref(name);
  return InterpTab(ref, e, x, y, out);
}

// ---------------------------------------------------------------------------------------
// Files

LensTable& read_lens_table(FILE* fp, const std::string& what) {
  LensTable t;
  char name[kNameBytes + 1] = {};
  double lo[3], hi[3];
  int cnt[3];
  auto short_file = [&what]() {
    fatal(strformat("tabulated model file %s is shorter than its header says", what.c_str()));
  };
  if (std::fread(name, 1, kNameBytes, fp) != kNameBytes) short_file();
  t.name.assign(name, strnlen(name, kNameBytes));
  if (!read_item(fp, t.b) || !read_item(fp, t.s) || !read_item(fp, t.a) || !read_item(fp, t.alpha))
    short_file();
  for (int ax = 0; ax < 3; ++ax)
    if (!read_item(fp, lo[ax]) || !read_item(fp, hi[ax]) || !read_item(fp, cnt[ax])) short_file();
  // Every use of a table rescales it by b/b_t and s/s_t.
  if (t.b == 0.0 || t.s == 0.0 || !std::isfinite(t.b) || !std::isfinite(t.s))
    fatal(strformat("tabulated model file %s was made with b = %g and s = %g: it cannot be rescaled",
                    what.c_str(), t.b, t.s));
  // The values the header announces must be in the file before anything is allocated
  // for them (a damaged header could ask for any amount of memory).
  const long here = std::ftell(fp);
  if (here >= 0 && std::fseek(fp, 0, SEEK_END) == 0) {
    const long end = std::ftell(fp);
    if (std::fseek(fp, here, SEEK_SET) != 0) short_file();
    double need = 6.0 * sizeof(double);
    for (int ax = 0; ax < 3; ++ax) need *= std::fabs(static_cast<double>(cnt[ax]));
    if (end >= here && static_cast<double>(end - here) < need) short_file();
  }
  t.set_axes(lo, hi, cnt);
  if (std::fread(t.values.data(), sizeof(double), t.values.size(), fp) != t.values.size()) short_file();
  LensTable& node = AddTab();
  node = std::move(t);
  return node;
}

LensTable& load_lens_table(const std::string& path) {
  FileHandle fp(QVMfopen(path, "rb", "could not open maketab input file"));
  return read_lens_table(fp, path);
}

bool write_lens_table(FILE* fp, const LensTable& t) {
  char name[kNameBytes] = {};
  std::memcpy(name, t.name.data(), std::min(t.name.size(), kNameBytes - 1));
  bool ok = std::fwrite(name, 1, kNameBytes, fp) == kNameBytes;
  ok = ok && write_item(fp, t.b) && write_item(fp, t.s) && write_item(fp, t.a) && write_item(fp, t.alpha);
  for (int ax = 0; ax < 3; ++ax) {
    const int c = t.logflag[ax] ? -t.count[ax] : t.count[ax];
    ok = ok && write_item(fp, t.lin_lo[ax]) && write_item(fp, t.lin_hi[ax]) && write_item(fp, c);
  }
  ok = ok && std::fwrite(t.values.data(), sizeof(double), t.values.size(), fp) == t.values.size();
  return ok;
}

// ---------------------------------------------------------------------------------------
// Class "tab": the first loaded table, rescaled in mass by b/b_t and in length by s/s_t.

namespace {
TableRef g_general_table("general");
}

namespace modelclass {

void tab(DerivVector& out, double x, double y) {
  if (cur.b == 0.0) return;
  if (cur.ss == 0.0) cur.ss = 1e-4;
  if (x == 0.0 && y == 0.0) return;
  TabLookup L;
  if (InterpTab(g_general_table, cur.ep, x, y, L) != TAB_OK) fatal("No tabulated model has been loaded.");
  const double g = cur.b / L.b, f = cur.ss / L.s;
  out[1] = g * f * f * L.v[0];
  out[2] = g * f * L.v[1];
  out[3] = g * f * L.v[2];
  out[4] = g * L.v[3];
  out[5] = g * L.v[4];
  out[6] = g * L.v[5];
}

}  // namespace modelclass
