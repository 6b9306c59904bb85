// Reading the text array files (type 1) that the map commands write, for the tests.
#pragma once

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "io/arrayfile.h"
#include "support/test_support.h"

// The values of a text array file: "nx ny", then nx * ny values with x fastest.
struct TextMap {
  int nx = 0, ny = 0;
  std::vector<double> v;
  double at(int i, int j) const { return v[static_cast<size_t>((j - 1) * nx + (i - 1))]; }
};
inline TextMap parse_text_map(const std::string& text) {
  TextMap m;
  std::istringstream in(text);
  in >> m.nx >> m.ny;
  double x;
  while (in >> x) m.v.push_back(x);
  EXPECT_EQ(m.v.size(), static_cast<size_t>(m.nx) * m.ny);
  return m;
}

// A text array file read into a matrix [1..nx][1..ny] (what it prints is swallowed).
inline Mat read_text_map(const std::string& path, int& nx, int& ny) {
  Mat m;
  CaptureOutput cap;
  EXPECT_TRUE(read_array(path, 1, nx, ny, m));
  return m;
}
