// The settings mirrors: registration of the numeric settings and their refresh from the
// variables (SetGlob).
#include "shell/settings.h"

#include <climits>
#include <cmath>
#include <unordered_map>

Settings settings;

long read_integer(double v) {
  if (std::isnan(v)) return 0;
  if (v >= 9.2e18) return LONG_MAX;
  if (v <= -9.2e18) return LONG_MIN;
  return static_cast<long>(integer_rule(v));
}

double integer_rule(double v) { return v == std::trunc(v) ? v : std::trunc(v * 1.000001); }

bool fits_long(double v) { return std::isfinite(v) && std::fabs(v) < 9.2e18; }

bool fits_int(double v) {
  if (!std::isfinite(v)) return false;
  const double r = integer_rule(v);
  return r >= INT_MIN && r <= INT_MAX;
}

#include "shell/fatal.h"
#include "shell/vars.h"

namespace {
// The kind of every registered setting, by name (the first registration of a name).
std::unordered_map<std::string, SettingKind>& setting_kinds() {
  static std::unordered_map<std::string, SettingKind> kinds;
  return kinds;
}
}  // namespace

std::string grid_value_refusal(const std::string& name, double value) {
  if (!fits_int(value)) return "";
  const long v = read_integer(value);
  const char* n = name.c_str();
  auto above = [&](long bound) { return strformat("%s must be <= %ld (it is %ld)", n, bound, v); };
  if (name == "ngrid1") {
    if (v > -2 && v < 2) return strformat("ngrid1 = %ld leaves no grid: it needs at least 2 steps", v);
    if (v < -kMaxTopSteps || v > kMaxTopSteps)
      return strformat("ngrid1 must be between -%d and %d (it is %ld)", kMaxTopSteps, kMaxTopSteps, v);
  } else if (name == "ngrid2") {
    if (v < 2) return strformat("ngrid2 = %ld leaves no grid: it needs at least 2 steps", v);
    if (v > kMaxTopSteps) return above(kMaxTopSteps);
  } else if (name == "nsubg1" || name == "nsubg2") {
    if (v <= 0) return "Number of subgrid zones must be positive";
    if (v > kMaxSubgridZones) return above(kMaxSubgridZones);
  } else if (name == "maxlev" || name == "gallev" || name == "imglev") {
    if (v <= 0) return name + " must be >= 1";
    if (v > kMaxGridLevel) return above(kMaxGridLevel);
  } else if (name == "srccat") {
    if (v > kMaxCatalogCells) return above(kMaxCatalogCells);
  }
  return "";
}

void register_settings(SettingTable table) {
  for (const SettingSpec& s : table) {
    AddVar(s.name, 0, s.description, s.initial);
    setting_kinds().emplace(s.name, s.kind);
  }
}

bool setting_value_fits(const std::string& name, double value) {
  const auto it = setting_kinds().find(name);
  if (it == setting_kinds().end()) return true;
  switch (it->second) {
    case SettingKind::Real:
      return true;
    case SettingKind::Integer:
      return fits_int(value);
    case SettingKind::LongInteger:
      return fits_long(value);
    case SettingKind::PlainInteger:
      return fits_int(std::trunc(value));
  }
  return true;
}

void refresh_settings(SettingTable table) {
  for (const SettingSpec& s : table) {
    switch (s.kind) {
      case SettingKind::Real:
        settings.*s.real = GetVar(s.name);
        break;
      case SettingKind::Integer:
        settings.*s.integer = GetVarI(s.name);
        break;
      case SettingKind::LongInteger:
        settings.*s.long_integer = GetVarL(s.name);
        break;
      case SettingKind::PlainInteger: {
        const double v = GetVar(s.name);
        if (!fits_int(std::trunc(v))) fatal(strformat("variable %s is out of range for an integer", s.name));
        settings.*s.integer = static_cast<int>(std::trunc(v));
        break;
      }
    }
  }
}
