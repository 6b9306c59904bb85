// The fitting tests' started program, for the tests of the chi-squared terms: no trace
// files, the source-plane form (no grid builds), and the scratch folder as the working
// folder (the terms read and write files relative to it).
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "fit/fit_fixture.h"

// The numbers of every line of a text table that does not begin with "#" (blanks before
// it allowed), those of a trailing comment included.
inline std::vector<std::vector<double>> table_rows(const std::string& text) {
  std::vector<std::vector<double>> rows;
  std::istringstream in(text);
  std::string line, w;
  while (std::getline(in, line)) {
    const size_t first = line.find_first_not_of(' ');
    if (first == std::string::npos || line[first] == '#') continue;
    std::istringstream ls(line);
    std::vector<double> row;
    while (ls >> w) {
      char* end = nullptr;
      const double v = std::strtod(w.c_str(), &end);
      if (*end == '\0') row.push_back(v);
    }
    rows.push_back(row);
  }
  return rows;
}

class TermTest : public FitTest {
 protected:
  void SetUp() override {
    FitTest::SetUp();
    set("tempfiles", 0);
    set("chimode", 0);  // the source-plane form: no grid builds
    char buf[4096];
    saved_cwd_ = getcwd(buf, sizeof buf) ? buf : ".";
    ASSERT_EQ(chdir(dir.path().c_str()), 0);
  }
  void TearDown() override {
    if (chdir(saved_cwd_.c_str()) != 0) ADD_FAILURE() << "could not return to " << saved_cwd_;
    FitTest::TearDown();
  }
  // A one-component, one-model set with the given vary flags, loaded into the evaluator.
  void lens(const std::string& component, const std::string& vary = "0 0 0 0 0 0 0 0 0 0") {
    load_model(component + "\n", vary + "\n");
  }
  // Sets parameter k of component 1 of model 1 and reloads it.
  void set_parameter(int k, double v) {
    TWref.ref[1].p[1][k] = v;
    initmodel(TWref.ref[1], 0);
  }

  // Scores model 1 of the set with calc_chi inside a store of its own; start marks it as
  // the user's model as loaded.
  double score(bool start = false) {
    int nd, ng, ns;
    storage_init(TWref.ref[1].names, TWref.refv, TWref.ref[1].p, nd, ng, ns);
    if (start) set_start_model();
    const double c = calc_chi(TSstore.gname, TSstore.gref, TSstore.sname, TSstore.sref);
    storage_clear();
    return c;
  }

 private:
  std::string saved_cwd_;
};
