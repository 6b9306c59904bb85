// The doPCA command: reading the points, the principal frame written, bad input.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "io/pca_command.h"
#include "shell/fatal.h"
#include "shell/words.h"
#include "support/numeric_rows.h"
#include "support/test_support.h"

namespace {
WordArray cmd(std::vector<std::string> w) { return WordArray(std::move(w)); }
}  // namespace

class DoPca : public ::testing::Test {
 protected:
  void SetUp() override { InitStrings(); }  // the line reader's comment marker
  ScratchDir dir;
  // Points on a tilted line with scatter; deterministic.
  std::string points(int npts) const {
    std::string s;
    for (int i = 0; i < npts; i++) s += strformat("%.6f %.6f extra\n", 0.1 * i + 0.03 * ((i * 7) % 5), 0.05 * i - 0.02 * ((i * 3) % 4));
    return s;
  }
};

TEST_F(DoPca, DimensionFromTheFileAndCountingPass) {
  dir.write("in.dat", "# header comment\n2\n\n" + points(10) + "# trailing comment\n");
  CaptureOutput out;
  run_handler(doPCA, cmd({"doPCA", dir.file("in.dat"), dir.file("out")}));
  const std::string text = out.text();
  EXPECT_NE(text.find("doPCA: counting data points ... 10\n"), std::string::npos) << text;
  EXPECT_NE(text.find("doPCA: number of dimensions ... 2\n"), std::string::npos) << text;

  const std::string info = dir.read("out.info");
  EXPECT_EQ(info.rfind("#  index  eigenvalues  mean-vector  rotation-matrix\n", 0), 0u);
  const auto irows = numeric_rows(info);
  ASSERT_EQ(irows.size(), 2u);
  ASSERT_EQ(irows[0].size(), 5u);  // index, eigenvalue, mean, two rotation entries
  EXPECT_EQ(irows[0][0], 1);
  EXPECT_EQ(irows[1][0], 2);
  const auto drows = numeric_rows(dir.read("out.dat"));
  ASSERT_EQ(drows.size(), 10u);

  // The .dat columns have sample variances equal to the .info eigenvalues, in order.
  for (int c = 0; c < 2; c++) {
    double m = 0, v = 0;
    for (const auto& r : drows) m += r[c];
    m /= drows.size();
    for (const auto& r : drows) v += (r[c] - m) * (r[c] - m);
    v /= drows.size() - 1;
    EXPECT_NEAR(v, irows[c][1], 1e-5 * irows[0][1]);
  }
  EXPECT_GE(irows[0][1], irows[1][1]);
  // The info line format.
  const std::string first = info.substr(info.find('\n') + 1);
  EXPECT_EQ(first.substr(0, 3), " 1 ");
}

TEST_F(DoPca, DimensionAndCountOnTheCommandLine) {
  dir.write("in.dat", points(10));  // no dimension line: the first line is a point
  {
    CaptureOutput out;
    run_handler(doPCA, cmd({"doPCA", dir.file("in.dat"), dir.file("a"), "2"}));
    EXPECT_NE(out.text().find("counting data points ... 10\n"), std::string::npos);
  }
  EXPECT_EQ(numeric_rows(dir.read("a.dat")).size(), 10u);
  {
    CaptureOutput out;
    run_handler(doPCA, cmd({"doPCA", dir.file("in.dat"), dir.file("b"), "2", "4"}));
    EXPECT_EQ(out.text().find("counting"), std::string::npos);  // no counting pass
  }
  EXPECT_EQ(numeric_rows(dir.read("b.dat")).size(), 4u);
}

TEST_F(DoPca, BadInput) {
  dir.write("short.dat", "2\n1 2\n3\n4 5\n");
  CaptureOutput out;
  FatalError e = fatal_of([&] { run_handler(doPCA, cmd({"doPCA", dir.file("short.dat"), dir.file("o")})); });
  EXPECT_EQ(e.kind, FatalKind::Error);
  EXPECT_EQ(e.message, "missing data in doPCA input file");

  // More points asked for than the file holds.
  e = fatal_of([&] { run_handler(doPCA, cmd({"doPCA", dir.file("short.dat"), dir.file("o"), "1", "9"})); });
  EXPECT_EQ(e.message, "missing data in doPCA input file");

  // A dimension of 0 or less read from the file.
  for (const char* dim : {"0", "-2"}) {
    dir.write("zero.dat", std::string(dim) + "\n1 2\n3 4\n");
    e = fatal_of([&] { run_handler(doPCA, cmd({"doPCA", dir.file("zero.dat"), dir.file("o")})); });
    EXPECT_EQ(e.kind, FatalKind::Error);
    EXPECT_NE(e.message.find("dimensions"), std::string::npos) << e.message;
  }

  // A single point has no covariance.
  dir.write("one.dat", "2\n1 2\n");
  e = fatal_of([&] { run_handler(doPCA, cmd({"doPCA", dir.file("one.dat"), dir.file("o")})); });
  EXPECT_EQ(e.kind, FatalKind::Error);
  EXPECT_EQ(e.message, "a covariance matrix needs at least two points (1 given)");
  // A file with a dimension line and no points: the same ERROR, before any matrix of that
  // dimension is made (a refused allocation would end through the numerical report).
  dir.write("empty.dat", "1000000000\n");
  e = fatal_of([&] { run_handler(doPCA, cmd({"doPCA", dir.file("empty.dat"), dir.file("o")})); });
  EXPECT_EQ(e.kind, FatalKind::Error);
  EXPECT_EQ(e.message, "a covariance matrix needs at least two points (0 given)");

  e = fatal_of([&] { run_handler(doPCA, cmd({"doPCA", dir.file("absent.dat"), dir.file("o")})); });
  EXPECT_EQ(e.message, "could not open input file for doPCA");
  EXPECT_FALSE(dir.exists("o.info"));
}

TEST_F(DoPca, TooFewWordsPrintsTheHelp) {
  CaptureOutput out;
  run_handler(doPCA, cmd({"doPCA", "only-one"}));
  EXPECT_NE(out.text().find("doPCA <inname> <outbase> [# dimensions] [# data points]"), std::string::npos);
  EXPECT_NE(out.text().find("data' = rot . (data-mean)"), std::string::npos);
  CaptureOutput one;
  doPCAhelp(1);
  EXPECT_EQ(one.text(), "Do Principal Component Analysis of a dataset.\n");
}
