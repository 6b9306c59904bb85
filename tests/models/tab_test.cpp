// Tabulated lens models: the table file, InterpTab and class "tab".
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <string>

#include "io/qvmfile.h"
#include "models/classes.h"
#include "models/component.h"
#include "models/tab.h"
#include "numeric/constants.h"
#include "shell/fatal.h"
#include "shell/settings.h"
#include "support/test_support.h"

namespace {

void reset() {
  settings = Settings();
  settings.potflag = 1;
  settings.verbose = 1;
  quietflag = 0;
  cur = CurrentComponent();
  tablist.clear();
}

// A field that is linear in each of (e, v, t) separately (v = r or log10 r), so that the
// trilinear interpolation reproduces it exactly between the nodes.
double field(int k, double e, double v, double t) {
  return (k + 1) * (0.3 + 0.7 * e) * (1.1 - 0.2 * v) * (2.0 + 0.01 * t) + 0.05 * k * e * t;
}

// A table named name with the given axes, filled with field() (angle in degrees).
LensTable make_table(const std::string& name, double b, double s, double alpha, const double lo[3],
                     const double hi[3], const int cnt[3]) {
  LensTable t;
  t.name = name;
  t.b = b;
  t.s = s;
  t.a = 0.25;
  t.alpha = alpha;
  t.set_axes(lo, hi, cnt);
  for (int i = 1; i <= t.count[0]; ++i)
    for (int j = 1; j <= t.count[1]; ++j)
      for (int l = 1; l <= t.count[2]; ++l) {
        const double e = t.node(TAB_E, i), r = t.node(TAB_R, j), th = t.node(TAB_T, l);
        const double v = t.logflag[TAB_R] ? std::log10(r) : r;
        for (int k = 0; k < 6; ++k) t.at(k, i, j, l) = field(k, e, v, th);
      }
  return t;
}

// Writes t to dir/name and returns the path.
std::string write_file(const ScratchDir& dir, const std::string& name, const LensTable& t) {
  const std::string path = dir.file(name);
  FILE* fp = std::fopen(path.c_str(), "wb");
  EXPECT_TRUE(fp != nullptr);
  EXPECT_TRUE(write_lens_table(fp, t));
  std::fclose(fp);
  return path;
}

const double kLo[3] = {0.0, 0.5, 0.0}, kHi[3] = {0.6, 4.0, 90.0};
const int kCnt[3] = {4, 8, 10};

TEST(TabFile, LayoutAndRoundTrip) {
  reset();
  ScratchDir dir;
  const double lo[3] = {0.1, 0.01, 0.0}, hi[3] = {0.4, 10.0, 90.0};
  const int cnt[3] = {3, -4, 5};
  const LensTable t = make_table("nfw", 1.5, 0.5, 2.0, lo, hi, cnt);
  const std::string path = write_file(dir, "t.bin", t);
  const std::string bytes = dir.read("t.bin");
  ASSERT_EQ(bytes.size(), 224u + 48u * 3 * 4 * 5);
  EXPECT_EQ(std::string(bytes.c_str()), "nfw");
  double d;
  int n;
  std::memcpy(&d, bytes.data() + 132, 8);
  EXPECT_EQ(d, 1.5);
  std::memcpy(&d, bytes.data() + 156, 8);
  EXPECT_EQ(d, 2.0);
  std::memcpy(&d, bytes.data() + 184, 8);
  EXPECT_EQ(d, 0.01);  // ranges in linear units
  std::memcpy(&n, bytes.data() + 200, 4);
  EXPECT_EQ(n, -4);  // logarithmic radius axis
  std::memcpy(&n, bytes.data() + 220, 4);
  EXPECT_EQ(n, 5);
  std::memcpy(&d, bytes.data() + 224 + 48 * 2 + 8, 8);  // third point's phi_x
  EXPECT_EQ(d, t.at(1, 1, 1, 3));

  {
    CaptureOutput cap;
    const LensTable& r = load_lens_table(path);
    EXPECT_EQ(tablist.tables.size(), 1u);
    EXPECT_EQ(r.name, "nfw");
    EXPECT_EQ(r.logflag[TAB_R], 1);
    EXPECT_EQ(r.count[TAB_R], 4);
    EXPECT_EQ(r.values, t.values);
    // A logarithmic radius axis from 0.01 to 10 with 4 points: 0.01, 0.1, 1, 10.
    EXPECT_NEAR(r.node(TAB_R, 1), 0.01, 1e-17);
    EXPECT_NEAR(r.node(TAB_R, 2), 0.1, 1e-16);
    EXPECT_NEAR(r.node(TAB_R, 3), 1.0, 1e-15);
    EXPECT_NEAR(r.node(TAB_R, 4), 10.0, 1e-14);
  }
}

TEST(TabFile, DamagedFilesAreRefused) {
  reset();
  ScratchDir dir;
  const LensTable t = make_table("nfw", 1, 1, 0, kLo, kHi, kCnt);
  const std::string path = write_file(dir, "t.bin", t);
  std::string bytes = dir.read("t.bin");
  dir.write("short.bin", bytes.substr(0, bytes.size() - 8));
  CaptureOutput cap;
  EXPECT_EQ(fatal_message([&] { load_lens_table(dir.file("short.bin")); }),
            "tabulated model file " + dir.file("short.bin") + " is shorter than its header says");
  dir.write("header.bin", bytes.substr(0, 100));
  EXPECT_NE(fatal_message([&] { load_lens_table(dir.file("header.bin")); }).find("shorter than its header"),
            std::string::npos);
  EXPECT_EQ(tablist.tables.size(), 0u);
  EXPECT_EQ(fatal_message([&] { load_lens_table(dir.file("missing.bin")); }), "could not open maketab input file");
  // An axis without points, and a logarithmic axis starting at 0.
  int zero = 0, neg = -3;
  std::string bad = bytes;
  std::memcpy(&bad[220], &zero, 4);
  dir.write("zero.bin", bad);
  EXPECT_EQ(fatal_message([&] { load_lens_table(dir.file("zero.bin")); }),
            "tabulated model nfw has no points on its angle axis");
  bad = bytes;
  std::memcpy(&bad[180], &neg, 4);  // ellipticity axis 0..0.6 made logarithmic
  dir.write("log.bin", bad);
  EXPECT_EQ(fatal_message([&] { load_lens_table(dir.file("log.bin")); }),
            "tabulated model nfw has a logarithmic ellipticity axis that does not start above 0");
  // A table made with s = 0 cannot be rescaled to any component.
  bad = bytes;
  const double zero_s = 0.0;
  std::memcpy(&bad[140], &zero_s, 8);
  dir.write("s0.bin", bad);
  EXPECT_EQ(fatal_message([&] { load_lens_table(dir.file("s0.bin")); }),
            "tabulated model file " + dir.file("s0.bin") + " was made with b = 1 and s = 0: it cannot be rescaled");
  EXPECT_EQ(tablist.tables.size(), 0u);
}

TEST(InterpTab, ExactForMultilinearFieldsAndAtTheBounds) {
  reset();
  const double lo[3] = {0.0, 0.01, 0.0}, hi[3] = {0.6, 10.0, 90.0};
  for (int rc : {7, -7}) {
    tablist.clear();
    const int cnt[3] = {4, rc, 10};
    AddTab() = make_table("nfw", 1, 1, 0, lo, hi, cnt);
    cur.ss = 1;
    for (auto [e, r, th] : {std::tuple{0.25, 0.37, 33.0}, {0.0, 0.01, 0.0}, {0.6, 10.0, 90.0}, {0.6, 2.5, 90.0}}) {
      const double x = r * std::cos(th * kPi / 180), y = r * std::sin(th * kPi / 180);
      TabLookup L;
      ASSERT_EQ(InterpTab("nfw", e, x, y, L), TAB_OK) << e << " " << r << " " << th;
      const double v = rc < 0 ? std::log10(r) : r;
      const double tt = std::atan2(y, x) * 180 / kPi;
      for (int k = 0; k < 6; ++k) EXPECT_NEAR(L.v[k], field(k, e, v, tt), 1e-12) << k;
    }
    // The outer radius and the angle 90 reproduce the stored values exactly (last cell,
    // fraction 1).
    const LensTable& t = tablist.tables.front();
    TabLookup L;
    ASSERT_EQ(InterpTab("nfw", t.node(TAB_E, 2), 0.0, 10.0, L), TAB_OK);
    for (int k : {0, 3, 4}) EXPECT_EQ(L.v[k], t.at(k, 2, t.count[1], 10)) << k;
  }
}

TEST(InterpTab, QuadrantsRangesAndCodes) {
  reset();
  AddTab() = make_table("nfw", 2.0, 0.5, 1.25, kLo, kHi, kCnt);
  cur.ss = 0.5;
  TabLookup A, B;
  ASSERT_EQ(InterpTab("nfw", 0.3, 1.2, 0.7, A), TAB_OK);
  EXPECT_EQ(A.b, 2.0);
  EXPECT_EQ(A.s, 0.5);
  EXPECT_EQ(A.alpha, 1.25);
  // x < 0, y > 0: the values at (|x|, y) with phi_x and phi_xy negated.
  ASSERT_EQ(InterpTab("nfw", 0.3, -1.2, 0.7, B), TAB_OK);
  const double sign[6] = {1, -1, 1, 1, 1, -1};
  for (int k = 0; k < 6; ++k) EXPECT_EQ(B.v[k], sign[k] * A.v[k]) << k;
  ASSERT_EQ(InterpTab("nfw", 0.3, 1.2, -0.7, B), TAB_OK);
  const double signy[6] = {1, 1, -1, 1, 1, -1};
  for (int k = 0; k < 6; ++k) EXPECT_EQ(B.v[k], signy[k] * A.v[k]) << k;
  // The radius is scaled by s_t/ss before the range check.
  cur.ss = 1.0;
  EXPECT_EQ(InterpTab("nfw", 0.3, 7.9, 0, B), TAB_OK);  // R' = 3.95
  EXPECT_EQ(InterpTab("nfw", 0.3, 8.1, 0, B), TAB_OUT_R);
  EXPECT_EQ(B.b, 2.0);  // parameters come back whenever a table was found
  EXPECT_EQ(InterpTab("nfw", 0.3, 0.9, 0, B), TAB_OUT_R);
  // The lower ellipticity bound succeeds, just below it: code 1.
  EXPECT_EQ(InterpTab("nfw", 0.0, 2, 1, B), TAB_OK);
  EXPECT_EQ(InterpTab("nfw", -1e-12, 2, 1, B), TAB_OUT_E);
  EXPECT_EQ(InterpTab("nfw", 0.61, 2, 1, B), TAB_OUT_E);
  // An angle range short of 90 degrees: code 3.
  const double hi45[3] = {0.6, 4.0, 45.0};
  AddTab() = make_table("hern", 1, 1, 0, kLo, hi45, kCnt);
  EXPECT_EQ(InterpTab("hern", 0.3, 1, 1.5, B), TAB_OUT_T);
  EXPECT_EQ(InterpTab("hern", 0.3, 1.5, 1, B), TAB_OK);
  // No table of that name: code 10 with a warning (not in quiet mode, nor at verbose > 2).
  {
    CaptureOutput cap;
    EXPECT_EQ(InterpTab("gaus", 0.3, 1.5, 1, B), TAB_NONE);
    settings.verbose = 3;
    EXPECT_EQ(InterpTab("gaus", 0.3, 1.5, 1, B), TAB_NONE);
    settings.verbose = 1;
    quietflag = 1;
    EXPECT_EQ(InterpTab("gaus", 0.3, 1.5, 1, B), TAB_NONE);
    quietflag = 0;
    EXPECT_EQ(cap.text(), "WARNING: no tabulated results loaded for model gaus\n");
  }
}

TEST(InterpTab, SinglePointAxis) {
  // A table made for one ellipticity answers there only, with that ellipticity's values.
  reset();
  const double lo[3] = {0.3, 0.5, 0.0}, hi[3] = {0.3, 4.0, 90.0};
  const int cnt[3] = {1, 8, 10};
  AddTab() = make_table("nfw", 1, 1, 0, lo, hi, cnt);
  cur.ss = 1;
  TabLookup L;
  ASSERT_EQ(InterpTab("nfw", 0.3, 1.3, 0.4, L), TAB_OK);
  const double tt = std::atan2(0.4, 1.3) * 180 / kPi;
  EXPECT_NEAR(L.v[2], field(2, 0.3, std::hypot(1.3, 0.4), tt), 1e-12);
  EXPECT_EQ(InterpTab("nfw", 0.31, 1.3, 0.4, L), TAB_OUT_E);
}

TEST(TabClass, RescalesTheFirstTable) {
  reset();
  // Table made for b_t = 1, s_t = 0.5; component b = 2, s = 1 at (2, 0): the stored values
  // at radius 1, times 2 * 4 (potential), 2 * 2 (deflection), 2 (second derivatives).
  AddTab() = make_table("devauc", 1.0, 0.5, 0, kLo, kHi, kCnt);
  AddTab() = make_table("nfw", 3.0, 2.0, 0, kLo, kHi, kCnt);
  cur.b = 2;
  cur.ss = 1;
  cur.ep = 0.2;
  cur.aa = 7;  // parameters 9 and 10 are not compared
  cur.al = 3;
  DerivVector o;
  modelclass::tab(o, 2, 0);
  const double f[6] = {8, 4, 4, 2, 2, 2};
  for (int k = 0; k < 6; ++k) EXPECT_NEAR(o[k + 1], f[k] * field(k, 0.2, 1.0, 0.0), 1e-12) << k;
  for (int k = 7; k <= 10; ++k) EXPECT_EQ(o[k], 0.0);
  // Zero mass, the centre: zeros; zero scale radius: 1e-4.
  DerivVector z;
  modelclass::tab(z, 0, 0);
  for (int k = 1; k <= 10; ++k) EXPECT_EQ(z[k], 0.0);
  cur.ss = 0;
  cur.b = 1;
  EXPECT_EQ(fatal_message([] { DerivVector w; modelclass::tab(w, 2, 0); }), "No tabulated model has been loaded.");
  EXPECT_EQ(cur.ss, 1e-4);
  modelclass::tab(z, 2e-4 * 0.5 * 2, 0);  // R' = R s_t / 1e-4 = 1
  EXPECT_NEAR(z[5], field(4, 0.2, 1.0, 0.0), 1e-12);
  // No table at all.
  tablist.clear();
  EXPECT_EQ(fatal_message([] { DerivVector w; modelclass::tab(w, 2, 0); }), "No tabulated model has been loaded.");
}

}  // namespace
