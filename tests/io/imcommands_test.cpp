// The image commands on tiny fixtures: filetypes, fileconvert, imarith, imcombine, imdiff,
// imstats, and their help routines.
#include <gtest/gtest.h>

#include <cmath>
#include <sstream>
#include <vector>

#include "app/startup.h"
#include "io/arrayfile.h"
#include "io/imcommands.h"
#include "io/wcs.h"
#include "shell/fatal.h"
#include "support/test_support.h"

namespace {

// A command line that ends in a comment: the marker and what follows it are no arguments.
WordArray line(std::vector<std::string> w) {
  w.push_back("#");
  return WordArray(std::move(w));
}

class ImageCommands : public ::testing::Test {
 protected:
  void SetUp() override {
    start_program(stdin, stdout);
    WCSinfo = WcsReference();
  }
  void TearDown() override { quietflag = 0; }

  // Writes a text array file silently; values given row by row (x fastest).
  std::string put(const std::string& name, int nx, int ny, const std::vector<double>& v) {
    Mat a(1, nx, 1, ny);
    for (int y = 1; y <= ny; ++y)
      for (int x = 1; x <= nx; ++x) a[x][y] = v[static_cast<size_t>((y - 1) * nx + (x - 1))];
    CaptureOutput quiet;
    write_text(dir.file(name), nx, ny, a);
    return dir.file(name);
  }
  // Reads an array file of the given type silently; values row by row (x fastest).
  std::vector<double> get(const std::string& name, int type, int& nx, int& ny) {
    Mat a;
    CaptureOutput quiet;
    EXPECT_TRUE(read_array(dir.file(name), type, nx, ny, a));
    std::vector<double> v;
    for (int y = 1; y <= ny; ++y)
      for (int x = 1; x <= nx; ++x) v.push_back(a[x][y]);
    return v;
  }
  std::vector<double> get(const std::string& name, int type = 1) {
    int nx, ny;
    return get(name, type, nx, ny);
  }

  ScratchDir dir;
};

// Every line of a help text; each must be padded to the routine's width.
std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> out;
  std::stringstream ss(text);
  for (std::string l; std::getline(ss, l);) out.push_back(l);
  return out;
}

}  // namespace

TEST_F(ImageCommands, FiletypesListsTheFourCodesAlsoInQuietMode) {
  quietflag = 1;
  CaptureOutput out;
  run_handler(filetypes, line({"filetypes"}));
  EXPECT_EQ(out.text(),
            "The known file types are as follows:\n"
            "  1 : text file\n"
            "  2 : binary file\n"
            "  3 : FITS file\n"
            "  4 : HDF5 file [not currently implemented]\n");
}

TEST_F(ImageCommands, FileconvertBetweenTypesAndTheHdf5Stop) {
  const std::string in = put("in.txt", 3, 2, {11, 21, 31, 12, 22, 32});
  {
    CaptureOutput out;
    run_handler(fileconvert, line({"fileconvert", in, "1", dir.file("o.fits"), "3"}));
    EXPECT_EQ(out.text(), "Reading array from text file " + in + "\nWriting array to FITS file " +
                              dir.file("o.fits") + "\n");
  }
  int nx, ny;
  EXPECT_EQ(get("o.fits", 3, nx, ny), (std::vector<double>{11, 21, 31, 12, 22, 32}));
  EXPECT_EQ(nx, 3);
  EXPECT_EQ(ny, 2);

  // To or from HDF5: the program ends before anything is read or written.
  for (const WordArray& w : {line({"fileconvert", in, "1", dir.file("o.h5"), "4"}),
                             line({"fileconvert", dir.file("o.h5"), "4", dir.file("back.txt"), "1"})}) {
    CaptureOutput out;
    EXPECT_EQ(fatal_message([&] { run_handler(fileconvert, w); }), "code has not been compiled to use HDF5 files");
    EXPECT_EQ(out.text(), "");
  }
  EXPECT_FALSE(dir.exists("o.h5"));
  EXPECT_FALSE(dir.exists("back.txt"));
  // One word short (the comment marker is not a word): the usage, nothing else.
  {
    CaptureOutput out;
    run_handler(fileconvert, line({"fileconvert", in, "1", dir.file("short.txt")}));
    EXPECT_EQ(lines_of(out.text()).front(), "fileconvert <inname> <intype> <outname> <outtype>");
    EXPECT_FALSE(dir.exists("short.txt"));
  }
  // A broken input ends the command before anything is written.
  dir.write("bad.txt", "2 2\n1 2 x 4\n");
  CaptureOutput out;
  EXPECT_EQ(fatal_message([&] { run_handler(fileconvert, line({"fileconvert", dir.file("bad.txt"), "1", dir.file("b.bin"), "2"})); }),
            "text file " + dir.file("bad.txt") + ": value 3 (\"x\") is not a number");
  EXPECT_FALSE(dir.exists("b.bin"));
}

TEST_F(ImageCommands, ImarithOperations) {
  const std::string in = put("in.txt", 2, 2, {-1.5, 2, 0, -4});
  struct Case {
    std::vector<std::string> op;
    const char* message;
    std::vector<double> expect;
  };
  const std::vector<Case> cases = {
      {{"abs"}, "imarith: taking absolute value\n", {1.5, 2, 0, 4}},
      {{"add", "2.5"}, "imarith: performing addition\n", {1, 4.5, 2.5, -1.5}},
      {{"mult", "-2"}, "imarith: performing multiplication\n", {3, -4, -0.0, 8}},
  };
  for (const Case& c : cases) {
    std::vector<std::string> w = {"imarith", in, "1", dir.file("out.bin"), "2"};
    w.insert(w.end(), c.op.begin(), c.op.end());
    CaptureOutput out;
    run_handler(imarith, line(w));
    EXPECT_EQ(out.text(), "Reading array from text file " + in + "\n" + c.message +
                              "Writing array to binary file " + dir.file("out.bin") + "\n");
    EXPECT_EQ(get("out.bin", 2), c.expect) << c.op[0];
  }
}

TEST_F(ImageCommands, ImarithNeverWritesAnArrayItDidNotFill) {
  const std::string in = put("in.txt", 2, 2, {1, 2, 3, 4});
  CaptureOutput out;
  EXPECT_EQ(fatal_message([&] { run_handler(imarith, line({"imarith", in, "1", dir.file("o.txt"), "1", "sqrt"})); }),
            "unknown operation in imarith");
  EXPECT_EQ(out.text(), "");  // refused before the input is read
  for (const char* op : {"add", "mult"}) {
    run_handler(imarith, line({"imarith", in, "1", dir.file("o.txt"), "1", op}));
    EXPECT_EQ(lines_of(out.text()).front(),
              "imarith <inname> <intype> <outname> <outtype> <operation> [value]       ");
  }
  EXPECT_FALSE(dir.exists("o.txt"));
}

TEST_F(ImageCommands, ImcombineAddsAScaledSecondImage) {
  const std::string a = put("a.txt", 3, 1, {1, 2, 3});
  const std::string b = put("b.txt", 3, 1, {10, 20, 40});
  {
    CaptureOutput out;
    run_handler(imcombine, line({"imcombine", a, "1", b, "1", "-0.5", dir.file("c.txt"), "1"}));
  }
  EXPECT_EQ(get("c.txt"), (std::vector<double>{-4, -8, -17}));  // file1 + f*file2

  // Arrays of different dimensions: a warning, nothing written.
  const std::string t = put("t.txt", 1, 3, {1, 2, 3});
  CaptureOutput out;
  run_handler(imcombine, line({"imcombine", a, "1", t, "1", "1", dir.file("d.txt"), "1"}));
  EXPECT_NE(out.text().find("WARNING: in imcombine, the two arrays need to have the same dimensions\n"),
            std::string::npos);
  EXPECT_FALSE(dir.exists("d.txt"));
}

TEST_F(ImageCommands, ImdiffModes) {
  const std::string a = put("a.txt", 2, 2, {3, -2, 10, 1});
  const std::string b = put("b.txt", 2, 2, {1, 4, 100, -1});
  struct Case {
    const char* mode;
    std::vector<double> expect;
  };
  const std::vector<Case> cases = {
      {"1", {2, -6, -90, 2}},
      {"2", {2, -1.5, -0.9, -2}},
      // 2.5 log10 |a/b|: a/b = 3, -0.5, 0.1, -1.
      {"3", {2.5 * std::log10(3.0), 2.5 * std::log10(0.5), -2.5, 0}},
  };
  for (const Case& c : cases) {
    {
      CaptureOutput out;
      run_handler(imdiff, line({"imdiff", a, "1", b, "1", c.mode, dir.file("d.bin"), "2"}));
    }
    const std::vector<double> got = get("d.bin", 2);
    for (size_t i = 0; i < got.size(); ++i)
      EXPECT_DOUBLE_EQ(got[i], static_cast<float>(c.expect[i])) << "mode " << c.mode << " pixel " << i;
    // Equal images differ by 0 in every mode.
    {
      CaptureOutput out;
      run_handler(imdiff, line({"imdiff", a, "1", a, "1", c.mode, dir.file("z.bin"), "2"}));
    }
    for (double v : get("z.bin", 2)) EXPECT_EQ(v, 0.0) << "mode " << c.mode;
  }

  CaptureOutput out;
  EXPECT_EQ(fatal_message([&] { run_handler(imdiff, line({"imdiff", a, "1", b, "1", "4", dir.file("u.txt"), "1"})); }),
            "unknown mode in imdiff");
  EXPECT_FALSE(dir.exists("u.txt"));
  const std::string t = put("t.txt", 4, 1, {1, 2, 3, 4});
  run_handler(imdiff, line({"imdiff", a, "1", t, "1", "1", dir.file("m.txt"), "1"}));
  EXPECT_NE(out.text().find("WARNING: in imdiff, the two arrays need to have the same dimensions\n"),
            std::string::npos);
  EXPECT_FALSE(dir.exists("m.txt"));
}

TEST_F(ImageCommands, ImstatsMeanAndSigma) {
  // Pixel values 1..12 on 4 x 3 (value = x + 4 (y - 1)).
  std::vector<double> v;
  for (int i = 1; i <= 12; ++i) v.push_back(i);
  const std::string f = put("r.txt", 4, 3, v);
  auto stats = [&](std::vector<std::string> w) {
    CaptureOutput out;
    run_handler(imstats, line(w));
    const std::string t = out.text();
    const size_t at = t.find("imstats results");
    return at == std::string::npos ? std::string() : t.substr(at);
  };
  // Whole array: mean 6.5, population sigma sqrt((n^2 - 1) / 12) with n = 12.
  EXPECT_EQ(stats({"imstats", f, "1"}),
            strformat("imstats results for nx=1-4 and ny=1-3:\n  mu,sigma= %e %e\n", 6.5, std::sqrt(143.0 / 12)));
  // Columns 2..3 of rows 2..3: values 6, 7, 10, 11: mean 8.5, sigma sqrt(4.25).
  EXPECT_EQ(stats({"imstats", f, "1", "2", "3", "2", "3"}),
            strformat("imstats results for nx=2-3 and ny=2-3:\n  mu,sigma= %e %e\n", 8.5, std::sqrt(4.25)));
  // Bounds of 0, below 0 or beyond the array are clamped: row 3, values 9..12.
  EXPECT_EQ(stats({"imstats", f, "1", "-3", "99", "3", "0"}),
            strformat("imstats results for nx=1-4 and ny=3-3:\n  mu,sigma= %e %e\n", 10.5, std::sqrt(1.25)));
  // Fewer than all four bounds: the whole array.
  EXPECT_EQ(stats({"imstats", f, "1", "2", "3", "2"}),
            strformat("imstats results for nx=1-4 and ny=1-3:\n  mu,sigma= %e %e\n", 6.5, std::sqrt(143.0 / 12)));
  // An empty range is refused.
  EXPECT_EQ(stats({"imstats", f, "1", "3", "2", "1", "3"}), "");
  CaptureOutput out;
  run_handler(imstats, line({"imstats", f, "1", "9", "0", "1", "3"}));
  EXPECT_NE(out.text().find("WARNING: in imstats, the range nx=9-4 and ny=1-3 holds no pixels\n"), std::string::npos);
}

TEST_F(ImageCommands, ImstatsSumsInDoublePrecision) {
  // A constant image: sigma is exactly 0 (single-precision sums left a NaN or a residue).
  const std::string c = put("c.txt", 300, 200, std::vector<double>(60000, 0.1));
  {
    CaptureOutput out;
    run_handler(imstats, line({"imstats", c, "1"}));
    EXPECT_NE(out.text().find("  mu,sigma= 1.000000e-01 0.000000e+00\n"), std::string::npos) << out.text();
  }
  // One pixel of 2^25 among 99 ones: in single precision every 1 added to 2^25 is lost.
  // Exact: mean = (2^25 + 99) / 100, sigma^2 = (2^50 + 99) / 100 - mean^2.
  std::vector<double> v(100, 1.0);
  v[0] = 33554432.0;
  const std::string big = put("big.txt", 10, 10, v);
  const long double mean = (33554432.0L + 99) / 100;
  const long double var = (33554432.0L * 33554432.0L + 99) / 100 - mean * mean;
  CaptureOutput out;
  run_handler(imstats, line({"imstats", big, "1"}));
  EXPECT_NE(out.text().find(strformat("  mu,sigma= %e %e\n", static_cast<double>(mean),
                                      static_cast<double>(std::sqrt(var)))),
            std::string::npos)
      << out.text();
}

TEST_F(ImageCommands, HelpRoutinesArePaddedAndSilentWhenQuiet) {
  struct Case {
    void (*help)(int);
    int width;  // 0: not padded
    const char* summary;
  };
  const std::vector<Case> cases = {
      {filetypeshelp, 0, "Lists the known file types."},
      {fileconverthelp, 49, "Converts between known data file types."},
      {imarithhelp, 72, "Lets you apply some arithmetic operation to an image."},
      {imcombinehelp, 71, "Lets you add/subtract image files."},
      {imdiffhelp, 71, "Lets you find the difference between two image files, in several ways."},
      {imstatshelp, 65, "Reports statistical properties of an image."},
  };
  for (const Case& c : cases) {
    for (int level : {1, 2}) {
      quietflag = 0;
      CaptureOutput out;
      c.help(level);
      const std::vector<std::string> l = lines_of(out.text());
      ASSERT_FALSE(l.empty()) << c.summary;
      if (level == 1) {
        EXPECT_EQ(l.size(), 1u);
        EXPECT_EQ(l[0].substr(0, l[0].find_last_not_of(' ') + 1), c.summary);
      } else {
        EXPECT_GE(l.size(), 2u);
        EXPECT_NE(out.text().find(c.summary), std::string::npos);
      }
      if (c.width) {
        for (const std::string& s : l) EXPECT_EQ(static_cast<int>(s.size()), c.width) << "[" << s << "]";
      }
      quietflag = 1;
      CaptureOutput quiet;
      c.help(level);
      EXPECT_EQ(quiet.text(), "");
    }
  }
  quietflag = 0;
  CaptureOutput out;
  imdiffhelp(2);
  imcombinehelp(2);
  imarithhelp(2);
  const std::string t = out.text();
  EXPECT_EQ(count_occurrences(t, "Currently assumes the two images have the same dimensions."), 2);
  EXPECT_NE(t.find("out = file1 + f*file2"), std::string::npos);
  for (const char* op : {"abs", "add <f>", "mult <f>"}) EXPECT_NE(t.find(op), std::string::npos) << op;
}
