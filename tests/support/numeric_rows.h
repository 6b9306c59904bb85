// Rows of numbers of a text table (blank lines and lines starting with '#' skipped).
#pragma once

#include <sstream>
#include <string>
#include <vector>

inline std::vector<std::vector<double>> numeric_rows(const std::string& text) {
  std::vector<std::vector<double>> rows;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream ss(line);
    std::vector<double> r;
    for (double v; ss >> v;) r.push_back(v);
    if (!r.empty()) rows.push_back(r);
  }
  return rows;
}
