// Numeric variables: every user setting is a named double.
#pragma once

#include <string>
#include <vector>

struct VariableEntry {
  std::string name;
  std::string description;  // "[text]", or empty
  double value;
};

void InitVars();
void AddVar(const std::string& name, int verbose, const std::string& description, double value);
void SetVar(const std::string& name, int verbose, double value);
double GetVar(const std::string& name);
int GetVarI(const std::string& name);
long GetVarL(const std::string& name);
void ShowVars();
const std::vector<VariableEntry>& varlist();
