// The settings mirrors: one record holding, under the variable's own name, the value of
// every registered numeric setting as of the last settings refresh (SetGlob).
//
// Core settings first (70, registered by the core start-up), then the 23 fitting
// settings, then values derived by the refresh. Integer settings are read with the
// program's integer rule (read_integer below); before the first refresh every mirror is
// zero except rscale (1) and Rthresh (-1).
#pragma once

#include <cstddef>
#include <string>

struct Settings {
  // ---- core settings, in registration order ----
  double rscale = 1, Rthresh = -1;
  double gridlo1 = 0, gridhi1 = 0, gridlo2 = 0, gridhi2 = 0;
  int ngrid1 = 0, ngrid2 = 0, nsubg1 = 0, nsubg2 = 0;
  int gridflag = 0, gridsave = 0;
  double omitcore = 0, omitcrit = 0, microimages = 0, microzone = 0;
  int nmicrog = 0;
  double clumpzone = 0;
  int maxlev = 0, gallev = 0, imglev = 0, critmode = 0;
  double crittol = 0, magtol = 0, deftol = 0, tdeltol = 0, originX = 0, originY = 0;
  int galcoords = 0, shrcoords = 0, gridcoords = 0;
  double maxellip = 0, maxshear = 0;
  int maxrgstr = 0, potflag = 0;
  double xmatch = 0, xtol = 0, inttol = 0;
  int catalog = 0, nobflip = 0, intshrmode = 0;
  long seed = 0;
  double omega = 0, lambda = 0, hval = 0, hvale = 0, tscale = 0;
  int tshift = 0;
  double zlens = 0, zsrc = 0, zref = 0;
  int verbose = 0;
  double seeing = 0, smallsrc = 0;
  int plotmode = 0, plotquiet = 0, clumpmode = 0;
  double leafsize = 0, leaferr = 0;
  long maxclumps = 0;
  int isource = 0, alphanorm = 0, logRein = 0, logrscale = 0, srclog = 0;
  double srcrng = 0;
  int srccat = 0;  // number of source-catalogue cells in each direction
  double imgsearch = 0;
  int batchwrite = 0, tempfiles = 0;

  // ---- fitting settings ----
  int maximg = 0, multiflux = 0;
  double fluxweight = 0, timeweight = 0, weakweight = 0;
  int checkparity = 0;
  double chimode = 0;
  int srcsign = 0, optmode = 0, optNMAX = 0, vertmode = 0;
  double xfloor = 0, xceil = 0, ftol = 0;
  int restart = 0;
  double upenalty = 0;
  int linparms = 0, nopointchi = 0;
  double chiperpoint = 0;
  int Rfold = 0, Rcusp = 0, PAwrap = 0;
  double extraflux = 0;

  // ---- derived by the refresh ----
  long shoot_pseed = 0, shoot_rseed = 0;  // ray-shooting seeds, copied from seed
};

extern Settings settings;

// The program's rule for turning a real value into a count or an index: a value that is
// exactly an integer is that integer; any other value gives the integer part (towards
// zero) of value * 1.000001, which lifts values a hair below an integer to it.
// Values beyond the range of a long are clamped; callers that need a range check use
// fits_long/fits_int.
long read_integer(double v);
// The rule itself, on the double (no conversion, so no clamping): v when it is exactly an
// integer, else the integer part of v * 1.000001.
double integer_rule(double v);
inline int read_int(double v) { return static_cast<int>(read_integer(v)); }
// True when v (finite) reads as an integer within the range of int / long.
bool fits_int(double v);
bool fits_long(double v);

// One registered numeric setting: its name, default, how its mirror reads the value,
// the description given at registration, and the mirror it fills.
enum class SettingKind { Real, Integer, LongInteger, PlainInteger };
struct SettingSpec {
  const char* name;
  double initial;
  SettingKind kind;
  const char* description;
  double Settings::*real = nullptr;
  int Settings::*integer = nullptr;
  long Settings::*long_integer = nullptr;
};
constexpr SettingSpec real_setting(const char* n, double v, const char* d, double Settings::*m) {
  return {n, v, SettingKind::Real, d, m, nullptr, nullptr};
}
constexpr SettingSpec int_setting(const char* n, double v, const char* d, int Settings::*m) {
  return {n, v, SettingKind::Integer, d, nullptr, m, nullptr};
}
constexpr SettingSpec long_setting(const char* n, double v, const char* d, long Settings::*m) {
  return {n, v, SettingKind::LongInteger, d, nullptr, nullptr, m};
}
constexpr SettingSpec plain_int_setting(const char* n, double v, const char* d, int Settings::*m) {
  return {n, v, SettingKind::PlainInteger, d, nullptr, m, nullptr};
}

// A folder's rows of one table (its commands, or its settings).
template <typename Row>
struct RowSpan {
  const Row* rows;
  size_t count;
  const Row* begin() const { return rows; }
  const Row* end() const { return rows + count; }
};
using SettingTable = RowSpan<SettingSpec>;

// ---- bounds of the grid settings ----
// Upper bounds of the settings that multiply the grid's nodes, checked by the core's
// settings refresh with the other grid checks: steps of the top grid (ngrid1, negative for
// logarithmic steps, and ngrid2), subgrid zones (nsubg1, nsubg2), subgrid levels (maxlev,
// gallev, imglev), and the cells a side of the source-tile catalogue (srccat).
constexpr int kMaxTopSteps = 2000;
constexpr int kMaxSubgridZones = 16;
constexpr int kMaxGridLevel = 16;
constexpr int kMaxCatalogCells = 2000;
// The refusal of one value of a grid setting taken alone, in the refresh's words ("maxlev
// must be <= 16 (it is 100)", "ngrid1 = 1 leaves no grid: it needs at least 2 steps"), or ""
// when the value passes, is no finite number that fits an int (other checks refuse those),
// or name is not one of the settings above. `set` refuses such a value before it is
// stored, and the core's refresh ends the program on it; what depends on two settings (a
// gridhi not above its gridlo) is left to the refresh.
std::string grid_value_refusal(const std::string& name, double value);

// Registers every setting of a table as a numeric variable, silently, in table order.
void register_settings(SettingTable table);
// Copies the value of every setting of a table into its mirror.
void refresh_settings(SettingTable table);
// False when name is a registered integer setting and value lies outside what its mirror
// holds (an int, or a long); true for every other name and value.
bool setting_value_fits(const std::string& name, double value);
