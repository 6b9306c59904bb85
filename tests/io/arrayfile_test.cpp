// Array files: the byte layout of each type, round trips, the FITS header and world-coordinate
// keywords as the FITS library itself reads them, safe replacement, and every refusal of a
// broken file.
#include <fitsio.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <dirent.h>
#include <limits>
#include <vector>

#include "io/arrayfile.h"
#include "io/outfile.h"
#include "io/wcs.h"
#include "shell/fatal.h"
#include "support/test_support.h"

namespace {

// a[x][y] = 10 x + y on 3 x 2: the layout example, where the value tells its own position.
Mat layout_array() {
  Mat a(1, 3, 1, 2);
  for (int x = 1; x <= 3; ++x)
    for (int y = 1; y <= 2; ++y) a[x][y] = 10 * x + y;
  return a;
}

uint32_t bits(float f) {
  uint32_t u;
  std::memcpy(&u, &f, 4);
  return u;
}

std::vector<std::string> folder_entries(const std::string& dir) {
  std::vector<std::string> names;
  DIR* d = opendir(dir.c_str());
  while (dirent* e = readdir(d)) {
    const std::string n = e->d_name;
    if (n != "." && n != "..") names.push_back(n);
  }
  closedir(d);
  return names;
}

// Opens a FITS file with the library; fails the test on any library error.
struct FitsReader {
  fitsfile* f = nullptr;
  int status = 0;
  explicit FitsReader(const std::string& path) { ffopen(&f, path.c_str(), READONLY, &status); }
  ~FitsReader() {
    int s = 0;
    if (f) ffclos(f, &s);
  }
  long key_long(const char* k) {
    long v = 0;
    int s = 0;
    ffgky(f, TLONG, k, &v, nullptr, &s);
    EXPECT_EQ(s, 0) << k;
    return v;
  }
  // Value and comment of a keyword; status KEY_NO_EXIST when absent.
  int key_double(const char* k, double& v, std::string& comment) {
    char c[FLEN_COMMENT] = "";
    int s = 0;
    ffgky(f, TDOUBLE, k, &v, c, &s);
    comment = c;
    return s;
  }
  bool has_key(const char* k) {
    char card[FLEN_CARD];
    int s = 0;
    ffgcrd(f, k, card, &s);
    ffcmsg();
    return s == 0;
  }
  std::vector<std::string> key_names() {
    int nkeys = 0, more = 0, s = 0;
    ffghsp(f, &nkeys, &more, &s);
    std::vector<std::string> names;
    for (int i = 1; i <= nkeys; ++i) {
      char name[FLEN_KEYWORD], value[FLEN_VALUE], comment[FLEN_COMMENT];
      ffgkyn(f, i, name, value, comment, &s);
      names.push_back(name);
    }
    return names;
  }
  std::vector<float> pixels(long n) {
    std::vector<float> v(static_cast<size_t>(n));
    int anynul = 0, s = 0;
    ffgpv(f, TFLOAT, 1, n, nullptr, v.data(), &anynul, &s);
    EXPECT_EQ(s, 0);
    return v;
  }
};

class ArrayFiles : public ::testing::Test {
 protected:
  void SetUp() override { WCSinfo = WcsReference(); }
  void TearDown() override { WCSinfo = WcsReference(); }
  ScratchDir dir;
};

}  // namespace

TEST_F(ArrayFiles, TextLayoutIsHeaderThenOneValuePerLineXFastest) {
  const Mat a = layout_array();
  CaptureOutput out;
  write_text(dir.file("a.txt"), 3, 2, a);
  EXPECT_EQ(dir.read("a.txt"),
            "3 2\n1.100000e+01\n2.100000e+01\n3.100000e+01\n1.200000e+01\n2.200000e+01\n3.200000e+01\n");
  EXPECT_EQ(out.text(), "Writing array to text file " + dir.file("a.txt") + "\n");

  // Line breaks are free on input.
  dir.write("b.txt", "  3\n2 11 21\t31\n\n12 22 32");
  int nx = 0, ny = 0;
  Mat b;
  read_text(dir.file("b.txt"), nx, ny, b);
  ASSERT_EQ(nx, 3);
  ASSERT_EQ(ny, 2);
  for (int x = 1; x <= 3; ++x)
    for (int y = 1; y <= 2; ++y) EXPECT_EQ(b[x][y], a[x][y]) << x << "," << y;
  EXPECT_NE(out.text().find("Reading array from text file " + dir.file("b.txt") + "\n"), std::string::npos);
}

TEST_F(ArrayFiles, BinaryLayoutIsTwoInt32ThenFloat32XFastest) {
  CaptureOutput out;
  write_bin(dir.file("a.bin"), 3, 2, layout_array());
  const std::string s = dir.read("a.bin");
  ASSERT_EQ(s.size(), 32u);
  int32_t dims[2];
  float v[6];
  std::memcpy(dims, s.data(), 8);
  std::memcpy(v, s.data() + 8, 24);
  EXPECT_EQ(dims[0], 3);
  EXPECT_EQ(dims[1], 2);
  const float expect[6] = {11, 21, 31, 12, 22, 32};
  for (int i = 0; i < 6; ++i) EXPECT_EQ(v[i], expect[i]) << i;
  EXPECT_EQ(out.text(), "Writing array to binary file " + dir.file("a.bin") + "\n");
}

TEST_F(ArrayFiles, FitsHeaderAndPixelOrderAsTheLibraryReadsThem) {
  CaptureOutput out;
  write_fits(dir.file("a.fits"), 3, 2, layout_array());
  EXPECT_EQ(out.text(), "Writing array to FITS file " + dir.file("a.fits") + "\n");
  FitsReader r(dir.file("a.fits"));
  ASSERT_EQ(r.status, 0);
  EXPECT_EQ(r.key_long("BITPIX"), -32);
  EXPECT_EQ(r.key_long("NAXIS"), 2);
  EXPECT_EQ(r.key_long("NAXIS1"), 3);
  EXPECT_EQ(r.key_long("NAXIS2"), 2);
  const std::vector<float> p = r.pixels(6);
  const float expect[6] = {11, 21, 31, 12, 22, 32};
  for (int i = 0; i < 6; ++i) EXPECT_EQ(p[i], expect[i]) << i;
  // World-coordinate reference off: none of its keywords.
  for (const char* k : {"CTYPE1", "CTYPE2", "CRPIX1", "CRPIX2", "CRVAL1", "CRVAL2", "CD1_1", "CD1_2", "CD2_1",
                        "CD2_2"})
    EXPECT_FALSE(r.has_key(k)) << k;
}

TEST_F(ArrayFiles, FitsWorldCoordinateKeywordsWhileTheReferenceIsOn) {
  WCSinfo.on = 1;
  WCSinfo.refx = 12.5;
  WCSinfo.refy = -3.25;
  WCSinfo.ra = 150.125;
  WCSinfo.dec = -2.5;
  WCSinfo.m11 = 0.05;   // arcsec per pixel
  WCSinfo.m12 = 1e-9;   // CD below 1e-12 deg: written as exactly 0
  WCSinfo.m21 = -0.01;
  WCSinfo.m22 = 0.05;
  {
    CaptureOutput out;
    write_fits(dir.file("w.fits"), 3, 2, layout_array());
  }
  FitsReader r(dir.file("w.fits"));
  ASSERT_EQ(r.status, 0);

  char ctype[FLEN_VALUE];
  int s = 0;
  ffgky(r.f, TSTRING, "CTYPE1", ctype, nullptr, &s);
  EXPECT_STREQ(ctype, "RA---TAN");
  ffgky(r.f, TSTRING, "CTYPE2", ctype, nullptr, &s);
  EXPECT_STREQ(ctype, "DEC--TAN");
  ASSERT_EQ(s, 0);

  // Values: CD = m / (-3600) for the first row (RA grows to the left), m / 3600 for the second.
  struct Key {
    const char* name;
    double value;
    const char* comment;
  };
  const Key keys[] = {
      {"CRPIX1", 12.5, "reference pixel ix"},
      {"CRPIX2", -3.25, "reference pixel iy"},
      {"CRVAL1", 150.125, "reference RA  (decimal degrees)"},
      {"CRVAL2", -2.5, "reference Dec (decimal degrees)"},
      {"CD1_1", 0.05 / -3600.0, "scale*rotation matrix (deg/pix)"},
      {"CD1_2", 0.0, ""},
      {"CD2_1", -0.01 / 3600.0, ""},
      {"CD2_2", 0.05 / 3600.0, ""},
  };
  for (const Key& k : keys) {
    double v = -99;
    std::string comment;
    ASSERT_EQ(r.key_double(k.name, v, comment), 0) << k.name;
    // The library writes doubles with 15 significant digits.
    EXPECT_NEAR(v, k.value, 1e-14 * std::fabs(k.value)) << k.name;
    EXPECT_EQ(comment, k.comment) << k.name;
  }
  double cd12 = -1;
  std::string c;
  r.key_double("CD1_2", cd12, c);
  EXPECT_EQ(cd12, 0.0);
  EXPECT_FALSE(std::signbit(cd12));

  // Written in the listed order, after the mandatory image keywords.
  std::vector<std::string> order;
  for (const std::string& n : r.key_names())
    for (const char* k : {"NAXIS2", "CTYPE1", "CTYPE2", "CRPIX1", "CRPIX2", "CRVAL1", "CRVAL2", "CD1_1", "CD1_2",
                          "CD2_1", "CD2_2"})
      if (n == k) order.push_back(n);
  EXPECT_EQ(order, (std::vector<std::string>{"NAXIS2", "CTYPE1", "CTYPE2", "CRPIX1", "CRPIX2", "CRVAL1", "CRVAL2",
                                             "CD1_1", "CD1_2", "CD2_1", "CD2_2"}));
}

TEST_F(ArrayFiles, FitsToRawToFitsKeepsEveryValueBitForBit) {
  // Awkward single-precision values: tiny and huge magnitudes, a subnormal, signed zeros,
  // infinities, a quiet NaN, and values with all mantissa bits set.
  const float special[] = {0.1f,
                           -0.0f,
                           0.0f,
                           std::numeric_limits<float>::denorm_min(),
                           std::numeric_limits<float>::max(),
                           -std::numeric_limits<float>::min(),
                           std::numeric_limits<float>::infinity(),
                           -std::numeric_limits<float>::infinity(),
                           std::numeric_limits<float>::quiet_NaN(),
                           1.0f - std::numeric_limits<float>::epsilon() / 2,
                           -123456.789f,
                           3.14159265f};
  const int nx = 4, ny = 5;
  Mat a(1, nx, 1, ny);
  int k = 0;
  for (int y = 1; y <= ny; ++y)
    for (int x = 1; x <= nx; ++x, ++k) a[x][y] = k < 12 ? special[k] : static_cast<float>(std::sin(k) * 1e3);
  CaptureOutput out;
  write_fits(dir.file("1.fits"), nx, ny, a);
  int mx, my;
  Mat b, c, d;
  read_fits(dir.file("1.fits"), mx, my, b);
  write_bin(dir.file("2.bin"), mx, my, b);
  read_bin(dir.file("2.bin"), mx, my, c);
  write_fits(dir.file("3.fits"), mx, my, c);
  read_fits(dir.file("3.fits"), mx, my, d);
  ASSERT_EQ(mx, nx);
  ASSERT_EQ(my, ny);
  for (int x = 1; x <= nx; ++x)
    for (int y = 1; y <= ny; ++y)
      EXPECT_EQ(bits(static_cast<float>(d[x][y])), bits(static_cast<float>(a[x][y]))) << x << "," << y;
}

TEST_F(ArrayFiles, TextRoundTripKeepsSevenSignificantDigits) {
  const int nx = 7, ny = 9;
  Mat a(1, nx, 1, ny);
  for (int x = 1; x <= nx; ++x)
    for (int y = 1; y <= ny; ++y) a[x][y] = std::exp(0.9 * x - 1.7 * y) * (y % 2 ? 1 : -1) * 3.3;
  CaptureOutput out;
  write_text(dir.file("a.txt"), nx, ny, a);
  int mx, my;
  Mat b;
  read_text(dir.file("a.txt"), mx, my, b);
  ASSERT_EQ(mx, nx);
  ASSERT_EQ(my, ny);
  // "%e" keeps 7 significant digits: relative rounding <= 5e-7, plus <= 2^-24 twice for the
  // two roundings to single precision.
  for (int x = 1; x <= nx; ++x)
    for (int y = 1; y <= ny; ++y) EXPECT_NEAR(b[x][y], a[x][y], std::fabs(a[x][y]) * 6.2e-7) << x << "," << y;
}

TEST_F(ArrayFiles, EveryTypeStoresSinglePrecision) {
  Mat a(1, 1, 1, 1);
  a[1][1] = 0.1;
  CaptureOutput out;
  for (int type : {1, 2, 3}) {
    const std::string f = dir.file("p" + std::to_string(type));
    EXPECT_TRUE(write_array(f, type, 1, 1, a));
    int nx, ny;
    Mat b;
    ASSERT_TRUE(read_array(f, type, nx, ny, b));
    EXPECT_EQ(b[1][1], static_cast<double>(0.1f)) << type;  // 0.100000001490116..., not 0.1
  }

  // Beyond the float range, rounding to nearest: within half a spacing (2^103) of FLT_MAX
  // the value stays FLT_MAX, further out it is infinite.
  const double fmax = std::numeric_limits<float>::max();
  Mat c(1, 4, 1, 1);
  c[1][1] = fmax * (1 + 1e-9);
  c[2][1] = -fmax - 0x1p102;
  c[3][1] = 1e300;
  c[4][1] = -fmax - 0x1p103;
  write_bin(dir.file("range.bin"), 4, 1, c);
  int nx, ny;
  Mat d;
  read_bin(dir.file("range.bin"), nx, ny, d);
  EXPECT_EQ(d[1][1], fmax);
  EXPECT_EQ(d[2][1], -fmax);
  EXPECT_EQ(d[3][1], HUGE_VAL);
  EXPECT_EQ(d[4][1], -HUGE_VAL);
}

TEST_F(ArrayFiles, FitsWriteReplacesAnExistingFileAndLeavesNoTemporaryFile) {
  CaptureOutput out;
  write_fits(dir.file("m.fits"), 3, 2, layout_array());
  Mat small(1, 2, 1, 2);
  small.fill(7);
  write_fits(dir.file("m.fits"), 2, 2, small);
  int nx, ny;
  Mat b;
  read_fits(dir.file("m.fits"), nx, ny, b);
  EXPECT_EQ(nx, 2);
  EXPECT_EQ(ny, 2);
  EXPECT_EQ(b[2][2], 7);
  EXPECT_EQ(folder_entries(dir.path()), std::vector<std::string>{"m.fits"});

  // A path without a folder writes into the working folder.
  char cwdbuf[4096];
  ASSERT_NE(getcwd(cwdbuf, sizeof cwdbuf), nullptr);
  const std::string cwd = cwdbuf;
  ASSERT_EQ(chdir(dir.path().c_str()), 0);
  write_fits("plain.fits", 2, 2, small);
  ASSERT_EQ(chdir(cwd.c_str()), 0);
  EXPECT_TRUE(dir.exists("plain.fits"));
}

TEST_F(ArrayFiles, FailedFitsWriteKeepsTheOldFileAndRemovesItsTemporary) {
  CaptureOutput out;
  write_fits(dir.file("keep.fits"), 3, 2, layout_array());
  const std::string before = dir.read("keep.fits");

  // The library refuses a NaN keyword value: the write fails half way, after the new file
  // has been created and its image begun.
  WCSinfo.on = 1;
  WCSinfo.ra = std::nan("");
  Mat other(1, 2, 1, 2);
  ::testing::internal::CaptureStderr();
  const FatalError e = fatal_of([&] { write_fits(dir.file("keep.fits"), 2, 2, other); });
  const std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(e.kind, FatalKind::Fits);
  EXPECT_NE(e.status, 0);
  EXPECT_NE(err.find("FITSIO status ="), std::string::npos);
  EXPECT_NE(err.find(dir.file("keep.fits")), std::string::npos);
  EXPECT_EQ(dir.read("keep.fits"), before);
  EXPECT_EQ(folder_entries(dir.path()), std::vector<std::string>{"keep.fits"});

  // A folder in the target's place is never replaced.
  WCSinfo.on = 0;
  mkdir(dir.file("sub").c_str(), 0755);
  EXPECT_EQ(fatal_of([&] { write_fits(dir.file("sub"), 2, 2, other); }).message,
            "could not write " + dir.file("sub") + ": Is a directory");
  // A folder that does not exist: the library's creation failure.
  ::testing::internal::CaptureStderr();
  const FatalError e2 = fatal_of([&] { write_fits(dir.file("none/x.fits"), 2, 2, other); });
  ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(e2.kind, FatalKind::Fits);
  EXPECT_EQ(e2.status, FILE_NOT_CREATED);
  // A name longer than the folder allows cannot be created either.
  ::testing::internal::CaptureStderr();
  const FatalError e3 = fatal_of([&] { write_fits(dir.file(std::string(256, 'L')), 2, 2, other); });
  const std::string err3 = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(e3.status, FILE_NOT_CREATED);
  EXPECT_NE(err3.find("File name too long"), std::string::npos) << err3;
  EXPECT_EQ(folder_entries(dir.path()).size(), 2u);  // keep.fits and sub
}

// A FITS output name is the file's name, never the library's syntax; a ".gz" name is still
// compressed, and the library's "replace" prefix is dropped.
TEST_F(ArrayFiles, FitsNamesAreFileNames) {
  CaptureOutput out;
  const Mat a = layout_array();
  write_fits(dir.file("p.fits"), 3, 2, a);
  const std::string plain = dir.read("p.fits");
  ASSERT_EQ(plain.size(), 5760u);
  for (const char* name : {"o[1].fits", "o.fits(t)", "o.fits[compress]", "-", "mem://x"}) {
    if (std::strcmp(name, "mem://x") == 0) mkdir(dir.file("mem:").c_str(), 0755);
    write_fits(dir.file(name), 3, 2, a);
    EXPECT_EQ(dir.read(name), plain) << name;
  }
  write_fits("!" + dir.file("x.fits"), 3, 2, a);
  EXPECT_EQ(dir.read("x.fits"), plain);
  write_fits(dir.file("k.fits.gz"), 3, 2, a);
  const std::string gz = dir.read("k.fits.gz");
  ASSERT_GE(gz.size(), 2u);
  EXPECT_EQ(gz.substr(0, 2), "\x1f\x8b");
  int nx, ny;
  Mat b;
  read_fits(dir.file("k.fits.gz"), nx, ny, b);
  EXPECT_EQ(nx, 3);
  EXPECT_EQ(ny, 2);
  EXPECT_EQ(b[3][2], 32);
  for (const std::string& n : folder_entries(dir.path())) EXPECT_NE(n[0], '.') << n;
  EXPECT_EQ(folder_entries(dir.path()).size(), 8u);  // mem://x went into the folder "mem:"
}

// A FITS image whose bytes do not all reach the disk ends with the library's report of a
// write error and its status; the earlier file stays.
TEST_F(ArrayFiles, FitsWriteThatDoesNotReachTheDiskEndsWithStatus106) {
  CaptureOutput out;
  write_fits(dir.file("keep.fits"), 3, 2, layout_array());
  const std::string before = dir.read("keep.fits");
  Mat other(1, 2, 1, 2);
  other.fill(1);
  for (const WholeFileFault step : {WholeFileFault::Write, WholeFileFault::Close, WholeFileFault::Rename}) {
    ::testing::internal::CaptureStderr();
    const FatalError e = fatal_of([&] {
      inject_whole_file_fault(step, ENOSPC);
      write_fits(dir.file("keep.fits"), 2, 2, other);
    });
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(e.kind, FatalKind::Fits);
    EXPECT_EQ(e.status, WRITE_ERROR);
    EXPECT_NE(err.find("FITSIO status = 106"), std::string::npos) << err;
    EXPECT_NE(err.find("No space left on device"), std::string::npos) << err;
    EXPECT_NE(err.find(dir.file("keep.fits")), std::string::npos) << err;
    EXPECT_EQ(dir.read("keep.fits"), before);
    EXPECT_EQ(folder_entries(dir.path()), std::vector<std::string>{"keep.fits"});
  }
}

TEST_F(ArrayFiles, TypeCodesDispatchAndHdf5EndsTheProgram) {
  const Mat a = layout_array();
  const std::string hdf5 = "code has not been compiled to use HDF5 files";
  EXPECT_EQ(fatal_of([&] { write_array(dir.file("h.h5"), 4, 3, 2, a); }).message, hdf5);
  EXPECT_FALSE(dir.exists("h.h5"));
  dir.write("h.h5", "whatever");
  int nx = 5, ny = 5;
  Mat b(1, 2, 1, 2);
  EXPECT_EQ(fatal_of([&] { (void)read_array(dir.file("h.h5"), 4, nx, ny, b); }).message, hdf5);
  EXPECT_EQ(fatal_of([&] { check_file_type(4); }).message, hdf5);
  for (int type : {1, 2, 3, 0, 5}) check_file_type(type);

  for (int bad : {0, 5, -1}) {
    EXPECT_EQ(fatal_of([&] { (void)read_array(dir.file("h.h5"), bad, nx, ny, b); }).message,
              "unknown filetype in read_array()");
    EXPECT_EQ(fatal_of([&] { write_array(dir.file("x"), bad, 3, 2, a); }).message,
              "unknown filetype in write_array()");
  }
  EXPECT_FALSE(dir.exists("x"));
}

TEST_F(ArrayFiles, BrokenTextAndBinaryFilesEndWithAnErrorNamingTheFile) {
  auto bin = [](std::vector<int32_t> head, std::vector<float> vals) {
    std::string s(reinterpret_cast<const char*>(head.data()), head.size() * 4);
    s.append(reinterpret_cast<const char*>(vals.data()), vals.size() * 4);
    return s;
  };
  struct Case {
    int type;
    std::string contents;
    std::string message;  // %s stands for the path
  };
  const std::vector<Case> cases = {
      {1, "", "text file %s ends before its array size"},
      {1, "3", "text file %s ends before its array size"},
      {1, "3 x\n1\n", "text file %s: array size \"x\" is not an integer"},
      {1, "3.5 2\n", "text file %s: array size \"3.5\" is not an integer"},
      {1, "0 2\n", "text file %s declares an invalid array size 0 x 2"},
      {1, "3 -2\n", "text file %s declares an invalid array size 3 x -2"},
      {1, "3000000000 1\n", "text file %s declares an array of 3000000000 x 1 values, too large to allocate"},
      // A header that promises far more than the file holds is refused without allocating it.
      {1, "100000 100000\n1\n", "text file %s ends after 1 of its 10000000000 values"},
      {1, "2 2\n1 2 3\n", "text file %s ends after 3 of its 4 values"},
      {1, "2 1\n1.0 abc\n", "text file %s: value 2 (\"abc\") is not a number"},
      {1, "2 1\n1.0 2.0junk\n", "text file %s: value 2 (\"2.0junk\") is not a number"},
      {2, "", "binary file %s is too short to hold its array size"},
      {2, bin({3}, {}), "binary file %s is too short to hold its array size"},
      {2, bin({0, 4}, {}), "binary file %s declares an invalid array size 0 x 4"},
      {2, bin({-1, 4}, {}), "binary file %s declares an invalid array size -1 x 4"},
      {2, bin({2147483647, 2147483647}, {}),
       "binary file %s declares an array of 2147483647 x 2147483647 values, too large to allocate"},
      {2, bin({2, 2}, {1, 2, 3}), "binary file %s ends after 3 of its 4 values"},
      {2, bin({200000, 200000}, {1}), "binary file %s ends after 1 of its 40000000000 values"},
  };
  CaptureOutput out;
  int i = 0;
  for (const Case& c : cases) {
    const std::string name = "broken" + std::to_string(i++);
    dir.write(name, c.contents);
    const std::string path = dir.file(name);
    std::string expect = c.message;
    expect.replace(expect.find("%s"), 2, path);
    int nx = -7, ny = -7;
    Mat a;
    const FatalError e = fatal_of([&] { (void)read_array(path, c.type, nx, ny, a); });
    EXPECT_EQ(e.kind, FatalKind::Error) << name;
    EXPECT_EQ(e.message, expect) << name;
    // The caller's array and sizes are untouched: nothing partly filled is handed back.
    EXPECT_TRUE(a.empty()) << name;
    EXPECT_EQ(nx, -7) << name;
  }

  for (int type : {1, 2}) {
    int nx, ny;
    Mat a;
    EXPECT_EQ(fatal_of([&] { (void)read_array(dir.file("missing"), type, nx, ny, a); }).message,
              "could not open input file " + dir.file("missing"));
    EXPECT_EQ(fatal_of([&] { write_array(dir.file("none/out"), type, 3, 2, layout_array()); }).message,
              "could not open output file " + dir.file("none/out") + ": No such file or directory");
  }
}

TEST_F(ArrayFiles, BrokenFitsFiles) {
  CaptureOutput out;
  // A good file of 100 x 50 pixels, then the same cut short inside its data.
  Mat big(1, 100, 1, 50);
  write_fits(dir.file("good.fits"), 100, 50, big);
  dir.write("cut.fits", dir.read("good.fits").substr(0, 10000));
  int nx, ny;
  Mat a;
  EXPECT_EQ(fatal_of([&] { read_fits(dir.file("cut.fits"), nx, ny, a); }).message,
            "FITS file " + dir.file("cut.fits") + " is shorter than its header says");
  EXPECT_TRUE(a.empty());

  // An image with a zero axis.
  {
    fitsfile* f;
    int s = 0;
    long naxes[2] = {0, 4};
    ffinit(&f, dir.file("zero.fits").c_str(), &s);
    ffcrim(f, FLOAT_IMG, 2, naxes, &s);
    ffclos(f, &s);
    ASSERT_EQ(s, 0);
  }
  EXPECT_EQ(fatal_of([&] { read_fits(dir.file("zero.fits"), nx, ny, a); }).message,
            "FITS file " + dir.file("zero.fits") + " declares an invalid array size 0 x 4");

  // Library failures: its report on standard error with the file named, its status as the
  // exit status. A missing file, a file that is no FITS file, an image without a second axis.
  {
    fitsfile* f;
    int s = 0;
    long naxes[1] = {5};
    ffinit(&f, dir.file("line.fits").c_str(), &s);
    ffcrim(f, FLOAT_IMG, 1, naxes, &s);
    ffclos(f, &s);
    ASSERT_EQ(s, 0);
  }
  dir.write("text.fits", "3 2\n1 2 3 4 5 6\n");
  struct Case {
    const char* name;
    int status;
  };
  for (const Case& c : {Case{"missing.fits", FILE_NOT_OPENED}, Case{"line.fits", KEY_NO_EXIST},
                        Case{"text.fits", 0}}) {
    ::testing::internal::CaptureStderr();
    const FatalError e = fatal_of([&] { read_fits(dir.file(c.name), nx, ny, a); });
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(e.kind, FatalKind::Fits) << c.name;
    if (c.status) {
      EXPECT_EQ(e.status, c.status) << c.name;
    }
    EXPECT_NE(e.status, 0) << c.name;
    EXPECT_NE(err.find("FITSIO status ="), std::string::npos) << c.name;
    EXPECT_NE(err.find(dir.file(c.name)), std::string::npos) << c.name;
    EXPECT_TRUE(a.empty()) << c.name;
  }
}

// FITS files whose primary header is written by hand, card by card, padded to whole blocks.
std::string fits_header(const std::vector<std::string>& cards) {
  std::string s;
  for (const std::string& c : cards) s += c + std::string(80 - c.size(), ' ');
  s += "END" + std::string(77, ' ');
  s.append((2880 - s.size() % 2880) % 2880, ' ');
  return s;
}

TEST_F(ArrayFiles, FitsAxesFromAHandWrittenHeader) {
  const std::vector<std::string> head = {"SIMPLE  =                    T", "BITPIX  =                  -32"};
  auto with = [&](std::vector<std::string> more) {
    std::vector<std::string> c = head;
    c.insert(c.end(), more.begin(), more.end());
    return fits_header(c);
  };
  CaptureOutput out;
  int nx = -7, ny = -7;
  Mat a;
  // Axes too large for an array, and axes that promise 10^10 pixels in a file without data:
  // both refused before any array or pixel buffer is made.
  dir.write("huge.fits", with({"NAXIS   =                    2", "NAXIS1  =           3000000000",
                               "NAXIS2  =                    1"}));
  EXPECT_EQ(fatal_of([&] { read_fits(dir.file("huge.fits"), nx, ny, a); }).message,
            "FITS file " + dir.file("huge.fits") +
                " declares an array of 3000000000 x 1 values, too large to allocate");
  dir.write("empty.fits", with({"NAXIS   =                    2", "NAXIS1  =               100000",
                                "NAXIS2  =               100000"}));
  EXPECT_EQ(fatal_of([&] { read_fits(dir.file("empty.fits"), nx, ny, a); }).message,
            "FITS file " + dir.file("empty.fits") + " is shorter than its header says");
  // A negative axis: the library refuses the header with its own status.
  dir.write("neg.fits", with({"NAXIS   =                    2", "NAXIS1  =                   -3",
                              "NAXIS2  =                    2"}));
  ::testing::internal::CaptureStderr();
  const FatalError e = fatal_of([&] { read_fits(dir.file("neg.fits"), nx, ny, a); });
  const std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(e.kind, FatalKind::Fits);
  EXPECT_EQ(e.status, BAD_NAXES);
  EXPECT_NE(err.find(dir.file("neg.fits")), std::string::npos);
  EXPECT_TRUE(a.empty());
  EXPECT_EQ(nx, -7);

  // A cube of 2 x 2 x 2: its first 2 x 2 plane is the array, in file order.
  std::string cube = with({"NAXIS   =                    3", "NAXIS1  =                    2",
                           "NAXIS2  =                    2", "NAXIS3  =                    2"});
  for (int i = 1; i <= 8; ++i) {  // big-endian IEEE floats 1..8
    const float v = static_cast<float>(i);
    const uint32_t u = bits(v);
    const char be[4] = {static_cast<char>(u >> 24), static_cast<char>(u >> 16), static_cast<char>(u >> 8),
                        static_cast<char>(u)};
    cube.append(be, 4);
  }
  cube.append(2880 - 32, '\0');
  dir.write("cube.fits", cube);
  read_fits(dir.file("cube.fits"), nx, ny, a);
  ASSERT_EQ(nx, 2);
  ASSERT_EQ(ny, 2);
  EXPECT_EQ(a[1][1], 1);
  EXPECT_EQ(a[2][1], 2);
  EXPECT_EQ(a[1][2], 3);
  EXPECT_EQ(a[2][2], 4);
}

TEST(FitsBuffer, AllocationFailureHasItsOwnMessage) {
  const FatalError e = fatal_of([] { FITSvector(1, std::numeric_limits<long>::max()); });
  EXPECT_EQ(e.kind, FatalKind::Error);
  EXPECT_EQ(e.message, "could not allocate FITS data array");
  const BVec<float> v = FITSvector(0, 9);
  EXPECT_EQ(v.lo(), 0);
  EXPECT_EQ(v.hi(), 9);
}

TEST(ArrayWriters, RefuseAnArrayThatDoesNotCoverTheSize) {
  ScratchDir dir;
  Mat a(1, 2, 1, 2);
  for (int type : {1, 2, 3}) {
    EXPECT_EQ(fatal_of([&] { write_array(dir.file("o"), type, 3, 2, a); }).message,
              "no 3 x 2 array to write to output file " + dir.file("o"));
    EXPECT_EQ(fatal_of([&] { write_array(dir.file("o"), type, 0, 0, Mat()); }).message,
              "no 0 x 0 array to write to output file " + dir.file("o"));
  }
  EXPECT_FALSE(dir.exists("o"));
}
