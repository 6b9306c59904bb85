// Numeric variables.
#include "shell/vars.h"

#include <climits>
#include <cmath>
#include <unordered_map>

#include "shell/fatal.h"
#include "shell/settings.h"

namespace {
struct VarTable {
  std::vector<VariableEntry> entries;               // creation order
  std::unordered_map<std::string, size_t> first;    // name -> index of its first entry
};

VarTable& table() {
  static VarTable t;
  return t;
}

VariableEntry* find_var(const std::string& name) {
  VarTable& t = table();
  const auto it = t.first.find(name);
  return it == t.first.end() ? nullptr : &t.entries[it->second];
}

// Integer reading shared by GetVarI and GetVarL: exact integers read as themselves,
// other values by the truncation rule with the given warning.
long integer_reading(const std::string& name, const char* warning_format, double lo, double hi) {
  const VariableEntry* e = find_var(name);
  if (!e) {
    warning(strformat("GetVar -- could not find %s", name.c_str()));
    return 0;
  }
  const double v = e->value;
  if (!std::isfinite(v)) fatal(strformat("variable %s must be a finite number", name.c_str()));
  const double r = integer_rule(v);
  if (r < lo || r > hi) fatal(strformat("variable %s is out of range for an integer", name.c_str()));
  if (std::fabs(v - r) > 1e-4) warning(strformat(warning_format, name.c_str()));
  return static_cast<long>(r);
}
}  // namespace

void InitVars() {
  table().entries.clear();
  table().first.clear();
}

void AddVar(const std::string& name, int verbose, const std::string& description, double value) {
  VariableEntry e;
  e.name = name;
  e.description = description.size() < 2 ? std::string() : "[" + description + "]";
  e.value = value;
  VarTable& t = table();
  t.entries.push_back(e);
  t.first.emplace(name, t.entries.size() - 1);  // keeps the first entry of a name
  if (verbose) qprintf("Creating %s = %e %s\n", name.c_str(), value, t.entries.back().description.c_str());
}

void SetVar(const std::string& name, int verbose, double value) {
  if (quietflag == 1) verbose = 0;
  VariableEntry* e = find_var(name);
  if (!e) {
    AddVar(name, verbose, " ", value);
    return;
  }
  e->value = value;
  if (verbose) qprintf("Setting %s = %e\n", name.c_str(), value);
}

double GetVar(const std::string& name) {
  const VariableEntry* e = find_var(name);
  if (!e) {
    warning(strformat("GetVar -- could not find %s", name.c_str()));
    return 0;
  }
  return e->value;
}

int GetVarI(const std::string& name) {
  return static_cast<int>(integer_reading(name, "variable %s should be an integer.", INT_MIN, INT_MAX));
}

long GetVarL(const std::string& name) {
  return integer_reading(name, "variable %s should be a long integer.", -9.2e18, 9.2e18);
}

void ShowVars() {
  qprintf("Current global variables:\n");
  for (const auto& e : table().entries) qprintf("%s = %e %s\n", e.name.c_str(), e.value, e.description.c_str());
}

const std::vector<VariableEntry>& varlist() { return table().entries; }
