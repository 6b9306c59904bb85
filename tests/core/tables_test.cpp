// Tabulated-model files (maketab, loadtab, the table lookup at axis bounds) and the
// jackknife and bootstrap errors.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "core/model_fixture.h"
#include "core/tables.h"
#include "models/component.h"
#include "models/tab.h"

namespace {

class TablesTest : public ModelCommandTest {
 protected:
  void SetUp() override {
    ModelCommandTest::SetUp();
    tablist.clear();
  }
  void TearDown() override {
    tablist.clear();
    ModelCommandTest::TearDown();
  }
  std::string bytes(const std::string& name) const { return dir.read(name); }
  template <class T>
  static T field(const std::string& b, size_t offset) {
    T v;
    std::memcpy(&v, b.data() + offset, sizeof(T));
    return v;
  }
};

const char* kAlpha = "alpha 1 0 0 0 0 0 0 0.1 0 1";

}  // namespace

// The file layout, and the round trip: the "tab" model built on the loaded table and
// tabulated again on the same grid gives back every value of the first table.
TEST_F(TablesTest, MaketabWritesTheTableThatTheTabModelReproduces) {
  load({kAlpha});
  const std::string t1 = dir.file("t.bin"), t2 = dir.file("t2.bin");
  run(maketab, {"maketab", t1, "0", "0.5", "6", "0.01", "10", "-20", "10"});
  const std::string a = bytes("t.bin");
  ASSERT_EQ(a.size(), 224u + 6 * 20 * 10 * 48);
  EXPECT_EQ(field<int32_t>(a, 200), -20);
  EXPECT_EQ(field<double>(a, 132), 1.0);  // b
  EXPECT_EQ(field<double>(a, 140), 0.1);  // s
  EXPECT_NEAR(field<double>(a, a.size() - 48 + 16), 1.189811, 1e-6);  // last point's phi_y
  EXPECT_NEAR(field<double>(a, 57344 + 8), 0.943506, 1e-6);

  run(loadtab, {"loadtab", t1});
  ASSERT_EQ(tablist.tables.size(), 1u);
  const LensTable& t = tablist.tables.front();
  EXPECT_EQ(t.logflag[TAB_R], 1);
  EXPECT_EQ(t.count[TAB_R], 20);
  EXPECT_DOUBLE_EQ(t.lo[TAB_R], -2);
  EXPECT_DOUBLE_EQ(t.hi[TAB_R], 1);

  load({"tab 1 0 0 0 0 0 0 0.1 0 1"});
  run(maketab, {"maketab", t2, "0", "0.5", "6", "0.01", "10", "-20", "10"});
  const std::string b = bytes("t2.bin");
  ASSERT_EQ(b.size(), a.size());
  for (size_t off = 224; off < a.size(); off += 8)
    ASSERT_NEAR(field<double>(a, off), field<double>(b, off), 1e-10) << "byte " << off;
}

// maketab loads its copy of the model (moved to the origin, position angle -90) for the
// run only: afterwards model 1 is loaded again and the shrcoords mirror is as set.
TEST_F(TablesTest, MaketabLeavesModelOneLoaded) {
  set("shrcoords", 1);
  load({"alpha 1 0.2 -0.1 0.1 0.2 0 0 0.1 0 1"});
  const double e = TWgal.p[1][4], pa = TWgal.p[1][5];
  run(maketab, {"maketab", dir.file("t.bin"), "0", "0.5", "3", "0.1", "2", "4", "3"});
  EXPECT_EQ(settings.shrcoords, 1);
  EXPECT_EQ(TWgal.p[1][2], 0.2);
  EXPECT_EQ(TWgal.p[1][3], -0.1);
  EXPECT_EQ(TWgal.p[1][4], e);
  EXPECT_EQ(TWgal.p[1][5], pa);
}

// With logarithmic parameters the file holds the loaded b and s, which every user of the
// table rescales by.
TEST_F(TablesTest, MaketabHeaderHoldsTheLoadedScales) {
  set("logRein", 1);
  set("logrscale", 1);
  load({"alpha 0.30103 0 0 0 0 0 0 -1 0 1"});
  run(maketab, {"maketab", dir.file("t.bin"), "0", "0.5", "3", "0.1", "2", "4", "3"});
  const std::string a = bytes("t.bin");
  EXPECT_NEAR(field<double>(a, 132), 2.0, 1e-5);
  EXPECT_NEAR(field<double>(a, 140), 0.1, 1e-12);
}

TEST_F(TablesTest, MaketabRefusalsComeBeforeAnyFile) {
  struct Case {
    const char* model;
    std::vector<std::string> args;  // after the file name
    const char* error;              // nullptr: a warning ends the command
  };
  const Case cases[] = {
      {"alpha 1 0 0 0 0 0.1 0 0.1 0 1", {"0", "0.5", "3", "0.1", "2", "4", "3"},
       "The mass model should not contain any shear."},
      {kAlpha, {"0", "0.5", "3", "0.1", "2", "4", "1"}, "you must have at least 2 steps in ellip/r/theta."},
      {kAlpha, {"0", "0.5", "3", "0.1", "0.10001", "4", "3"}, "range for ellip/r/theta must be nonzero."},
      {kAlpha, {"0", "0.5", "3", "2", "0.1", "4", "3"},
       "maketab: the upper end of the ellip or r range is below the lower end"},
      {kAlpha, {"0", "0.5", "3", "0.1", "2", "2.5", "3"}, nullptr},   // r steps not an integer
      {kAlpha, {"0", "0.5", "3", "0", "2", "-4", "3"}, nullptr},      // log radii from 0
      {kAlpha, {"0", "0.5", "-3", "0.1", "2", "4", "3"}, nullptr},    // log ellipticities from 0
      {"alpha 1 0 0 0 0 0 0 0 0 1", {"0", "0.5", "3", "0.1", "2", "4", "3"},
       "maketab: a table of alpha with b = 1 and s = 0 could not be rescaled"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.model);
    load({c.model});
    std::vector<std::string> w = {"maketab", dir.file("x.bin")};
    w.insert(w.end(), c.args.begin(), c.args.end());
    if (c.error) {
      EXPECT_EQ(fatal_message([&] { run_handler(maketab, cmd(w)); }), c.error);
    } else {
      quietflag = 0;
      const std::string out = run(maketab, w);
      quietflag = 1;
      EXPECT_NE(out.find("WARNING:"), std::string::npos);
    }
    EXPECT_FALSE(dir.exists("x.bin"));
  }
}

// A file shorter than its header says is refused before its tables are allocated, also
// when the header announces far more memory than exists.
TEST_F(TablesTest, ShortTableFileIsRefusedNamingTheFile) {
  load({kAlpha});
  run(maketab, {"maketab", dir.file("t.bin"), "0", "0.5", "3", "0.1", "2", "4", "3"});
  std::string a = bytes("t.bin");
  dir.write("short.bin", a.substr(0, a.size() - 8));
  std::string huge = a.substr(0, 224);
  const int32_t big = 200000;
  for (size_t off : {180u, 200u}) std::memcpy(&huge[off], &big, 4);
  dir.write("huge.bin", huge);
  for (const char* name : {"short.bin", "huge.bin"}) {
    const std::string path = dir.file(name);
    EXPECT_EQ(fatal_message([&] { run(loadtab, {"loadtab", path}); }),
              "tabulated model file " + path + " is shorter than its header says");
  }
  EXPECT_TRUE(tablist.tables.empty());
}

// A lookup within rounding beyond an axis bound takes the value on the bound; one clearly
// beyond it is outside the table.
TEST_F(TablesTest, LookupWithinRoundingOfABoundIsOnIt) {
  LensTable& t = AddTab();
  t.name = "general";
  t.b = 1;
  t.s = 1;
  const double lo[3] = {0, 1, 0}, hi[3] = {0.5, 10, 90};
  const int n[3] = {2, -3, 2};
  t.set_axes(lo, hi, n);
  for (int i = 1; i <= 2; ++i)
    for (int j = 1; j <= 3; ++j)
      for (int l = 1; l <= 2; ++l) t.at(1, i, j, l) = 100 * i + 10 * j + l;
  cur.ss = 1;
  struct Case {
    double e, x, y;
    int code;
    double phix;
  };
  const Case cases[] = {
      {0, 10, 0, TAB_OK, 131},
      {0, 10 * (1 + 2e-16), 0, TAB_OK, 131},
      {0.5 * (1 + 1e-15), 10, 0, TAB_OK, 231},
      {0, 0, 10 * (1 + 1e-15), TAB_OK, 0},  // on the y axis: angle 90 and the outer radius
      {0, 10 * (1 + 1e-9), 0, TAB_OUT_R, 0},
      {0.5 + 1e-9, 10, 0, TAB_OUT_E, 0},
  };
  for (const Case& c : cases) {
    TabLookup L;
    EXPECT_EQ(InterpTab("general", c.e, c.x, c.y, L), c.code) << c.x << " " << c.y;
    if (c.code == TAB_OK && c.x > 0) { EXPECT_DOUBLE_EQ(L.v[1], c.phix); }
  }
}

// ---- jackknife and bootstrap ----

TEST_F(TablesTest, JackknifeOfSmallSamples) {
  struct Case {
    const char* data;
    const char* line;
  };
  const Case cases[] = {
      {"1\n2\n3\n", "2.000000e+00 5.773503e-01 6.666667e-01 3.333333e-01\n"},  // mean 2, error 1/sqrt(3)
      {"# comment\nx 0.1\ny 0.1\nz 0.1\n", "1.000000e-01 0.000000e+00 0.000000e+00 0.000000e+00\n"},
  };
  for (const Case& c : cases) {
    dir.write("d.txt", c.data);
    const bool one_column = std::string(c.data)[0] == '1';
    const std::string out = run(jackknife, {"jackknife", dir.file("d.txt"), one_column ? "1" : "2"});
    EXPECT_NE(out.find(c.line), std::string::npos) << out;
  }
}

// Bootstrap moments of 1, 2, 3: the means of the resamples scatter by sigma/sqrt(n) =
// sqrt(2/9); runs with the same seed (either sign) repeat.
TEST_F(TablesTest, BootstrapMomentsAndRepeatability) {
  dir.write("d.txt", "1\n2\n3\n");
  const std::string f = dir.file("d.txt");
  auto line = [&](long seed) {
    set("seed", static_cast<double>(seed));
    run(bootstrap, {"bootstrap", f, "1", "20000", "3", dir.file("b.txt")});
    return dir.read("b.txt");
  };
  const std::string a = line(15), b = line(-15), c = line(7);
  EXPECT_EQ(a, b);
  EXPECT_NE(a, c);
  double m, sm, s, ss;
  ASSERT_EQ(std::sscanf(a.c_str(), "%lf %lf %lf %lf", &m, &sm, &s, &ss), 4);
  EXPECT_NEAR(m, 2.0, 5 * std::sqrt(2.0 / 9 / 20000));
  EXPECT_NEAR(sm, std::sqrt(2.0 / 9), 0.03 * std::sqrt(2.0 / 9));
}

TEST_F(TablesTest, ResamplingInputIsChecked) {
  dir.write("d.txt", "1 2\n3 4\n5 6\n");
  dir.write("one.txt", "1\n");
  const std::string d = dir.file("d.txt"), one = dir.file("one.txt");
  struct Case {
    CommandHandler h;
    std::vector<std::string> words;
    std::string message;
  };
  const Case cases[] = {
      {jackknife, {"jackknife", d, "3"}, "too few columns in data file"},
      {jackknife, {"jackknife", d, "1", "5"}, "file ended after 3 of 5 values"},
      {jackknife, {"jackknife", one, "1"}, "jackknife needs at least 2 values (the file gives 1)"},
      {jackknife, {"jackknife", d, "0"}, "jackknife: the column must be at least 1 (0)"},
      {bootstrap, {"bootstrap", d, "1", "0"}, "bootstrap: the number of resamplings must be at least 1 (0)"},
      {bootstrap, {"bootstrap", d, "2", "10", "4"}, "file ended after 3 of 4 values"},
  };
  for (const Case& c : cases) EXPECT_EQ(fatal_message([&] { run(c.h, c.words); }), c.message);
  dir.write("empty.txt", "# nothing\n");
  EXPECT_EQ(fatal_message([&] { run(bootstrap, {"bootstrap", dir.file("empty.txt"), "1", "10"}); }),
            "bootstrap: the data file holds no values");
}
