// Tabulated lens models: tables of potential, deflection and second derivatives of a
// one-component model on a grid of ellipticity, radius and angle, their binary file, the
// trilinear lookup InterpTab, and the general tabulated class "tab".
//
// Binary file of one table (native byte order, every field written separately):
//   132-byte class name (zero-terminated inside the 132 bytes), then the doubles b, s, a,
//   alpha (parameters 1, 8, 9, 10), then per axis (ellipticity, radius, angle) the doubles
//   lo, hi and the 32-bit count (negative: |count| logarithmically spaced points), then
//   six doubles per grid point (potential, phi_x, phi_y, phi_xx, phi_yy, phi_xy), the
//   ellipticity index outermost, the angle index innermost. Angles in degrees (0..90 as
//   written by maketab); the values are those at (r cos t, r sin t) in the frame of the
//   tabulated component.
#pragma once

#include <cstdio>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

#include "models/derivs.h"

// Axis numbers of a table.
enum TabAxis : int { TAB_E = 0, TAB_R = 1, TAB_T = 2 };

// One loaded table.
struct LensTable {
  std::string name;                     // class name of the tabulated component
  double b = 0, s = 0, a = 0, alpha = 0;  // parameters 1, 8, 9, 10 of that component
  int logflag[3] = {0, 0, 0};           // 1: the axis is logarithmic
  int count[3] = {0, 0, 0};             // points per axis (positive)
  double lo[3] = {0, 0, 0}, hi[3] = {0, 0, 0};  // in lookup units (log10 on a log axis)
  double lin_lo[3] = {0, 0, 0}, lin_hi[3] = {0, 0, 0};  // as in the file (linear units)
  // The six values of every grid point, point after point in file order.
  std::vector<double> values;

  // Sets the axes (linear ranges as in the file, negative count: logarithmic) and sizes
  // the values (zero). Ends the program with an ERROR for an axis that cannot be used.
  void set_axes(const double lo_lin[3], const double hi_lin[3], const int file_count[3]);
  // Value k (0 potential .. 5 phi_xy) at grid point (i, j, l), 1-based like the file.
  double& at(int k, int i, int j, int l) { return values[index(k, i, j, l)]; }
  double at(int k, int i, int j, int l) const { return values[index(k, i, j, l)]; }
  // Grid value of point n (1..count) of an axis, in linear units.
  double node(int axis, int n) const;
  size_t index(int k, int i, int j, int l) const {
    return ((static_cast<size_t>(i - 1) * count[1] + (j - 1)) * count[2] + (l - 1)) * 6 + k;
  }
};

// The loaded tables in load order. Tables are never removed; references stay valid.
struct TableList {
  std::deque<LensTable> tables;
  unsigned long generation = 0;  // advanced by clear(): cached references start afresh
  // Removes every table (tests only: the program never removes tables).
  void clear() {
    tables.clear();
    ++generation;
  }
};
extern TableList tablist;

// Appends an empty table at the tail of tablist and returns it for filling.
LensTable& AddTab();

// Result of a lookup: the table's parameters 1, 8, 10 (whenever a table was found) and the
// six interpolated values (potential, phi_x, phi_y, phi_xx, phi_yy, phi_xy; code 0 only).
struct TabLookup {
  double b = 0, s = 0, alpha = 0;
  double v[6] = {0, 0, 0, 0, 0, 0};
};

// Outcome codes of InterpTab.
enum TabCode : int {
  TAB_OK = 0, TAB_OUT_E = 1, TAB_OUT_R = 2, TAB_OUT_T = 3, TAB_NONE = 10
};

// A table chosen by name, found once: the first table of tablist with that name never
// changes once found (tables are only appended), and a missing one is searched again only
// after more tables were loaded. "general" stands for the first table, whatever its name.
struct TableRef {
  std::string_view name;
  const LensTable* table = nullptr;
  size_t searched = 0;  // tablist size at the last search that found nothing
  unsigned long generation = 0;  // tablist generation of the cached values
  explicit constexpr TableRef(std::string_view n) : name(n) {}
};

// Interpolates the table chosen by name at ellipticity e and component-frame point (x, y)
// for the current component's scale radius cur.ss; a value within 1e-12 (relative) of an
// axis bound counts as on it. Returns TAB_OK, TAB_OUT_E, TAB_OUT_R,
// TAB_OUT_T (ellipticity, scaled radius, angle outside the table) or TAB_NONE (no such
// table; a named search first prints "WARNING: no tabulated results loaded for model %s"
// unless quiet or verbose > 2).
int InterpTab(TableRef& ref, double e, double x, double y, TabLookup& out);
int InterpTab(std::string_view name, double e, double x, double y, TabLookup& out);

// Reads one table file from fp into a new table appended by AddTab. A file shorter than
// its header announces (checked before the values are allocated, when fp can seek), a
// table made with b = 0 or s = 0 (it cannot be rescaled), or an axis that cannot be used
// (count 0; a logarithmic axis with a bound <= 0) ends the program with an ERROR naming
// what is wrong; nothing is appended then. `what` names the file in those messages.
LensTable& read_lens_table(FILE* fp, const std::string& what);
// Opens path ("could not open maketab input file" when it cannot) and reads it.
LensTable& load_lens_table(const std::string& path);
// Writes a table in the file format (linear ranges, negative counts on logarithmic axes).
// Returns false when a write failed.
bool write_lens_table(FILE* fp, const LensTable& t);
