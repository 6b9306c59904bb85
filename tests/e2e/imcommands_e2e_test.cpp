// The image commands as a user runs them: a command file through the real binary, with
// every message, the files it leaves, and how errors end the run.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>

#include "support/test_support.h"

namespace {

// The 3 x 2 array a[x][y] = 10 x + y as a text file (x fastest).
const char* const kLayoutText =
    "3 2\n1.100000e+01\n2.100000e+01\n3.100000e+01\n1.200000e+01\n2.200000e+01\n3.200000e+01\n";

}  // namespace

TEST(ImageCommandsE2E, ConvertThroughEveryTypeAndWorkOnTheArrays) {
  ScratchDir d;
  d.write("a.txt", "3 2\n11 21 31\n12 22 32\n");
  const RunResult r = run_commands(d,
                                   "fileconvert a.txt 1 a.fits 3\n"
                                   "fileconvert a.fits 3 a.bin 2\n"
                                   "fileconvert a.bin 2 back.txt 1\n"
                                   "imarith back.txt 1 neg.txt 1 mult -1\n"
                                   "imarith neg.txt 1 abs.bin 2 abs\n"
                                   "imcombine a.txt 1 neg.txt 1 2 sum.txt 1\n"
                                   "imdiff abs.bin 2 a.fits 3 2 rel.txt 1\n"
                                   "imstats a.bin 2\n"
                                   "imstats a.bin 2 2 3 2\n"
                                   "imstats a.bin 2 2 3 2 0 # the last bound 0 means the edge\n");
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out,
            "Reading array from text file a.txt\n"
            "Writing array to FITS file a.fits\n"
            "Reading array from FITS file a.fits\n"
            "Writing array to binary file a.bin\n"
            "Reading array from binary file a.bin\n"
            "Writing array to text file back.txt\n"
            "Reading array from text file back.txt\n"
            "imarith: performing multiplication\n"
            "Writing array to text file neg.txt\n"
            "Reading array from text file neg.txt\n"
            "imarith: taking absolute value\n"
            "Writing array to binary file abs.bin\n"
            "Reading array from text file a.txt\n"
            "Reading array from text file neg.txt\n"
            "Writing array to text file sum.txt\n"
            "Reading array from binary file abs.bin\n"
            "Reading array from FITS file a.fits\n"
            "Writing array to text file rel.txt\n"
            // Values 11..32: mean 21.5, population sigma sqrt(66.9166...) (sum of squared
            // deviations 401.5 over 6 pixels).
            "Reading array from binary file a.bin\n"
            "imstats results for nx=1-3 and ny=1-2:\n"
            "  mu,sigma= 2.150000e+01 8.180261e+00\n"
            // Three bounds are not a range: the whole array again.
            "Reading array from binary file a.bin\n"
            "imstats results for nx=1-3 and ny=1-2:\n"
            "  mu,sigma= 2.150000e+01 8.180261e+00\n"
            // Columns 2..3 of row 2: 22 and 32.
            "Reading array from binary file a.bin\n"
            "imstats results for nx=2-3 and ny=2-2:\n"
            "  mu,sigma= 2.700000e+01 5.000000e+00\n");
  EXPECT_EQ(d.read("back.txt"), kLayoutText);
  EXPECT_EQ(d.read("sum.txt"),  // a + 2 (-a) = -a
            "3 2\n-1.100000e+01\n-2.100000e+01\n-3.100000e+01\n-1.200000e+01\n-2.200000e+01\n-3.200000e+01\n");
  EXPECT_EQ(d.read("rel.txt"),  // |-a| / a - 1 = 0
            "3 2\n0.000000e+00\n0.000000e+00\n0.000000e+00\n0.000000e+00\n0.000000e+00\n0.000000e+00\n");
  // The binary file: two 32-bit sizes, then the six values as 32-bit floats, x fastest.
  const std::string bin = d.read("a.bin");
  ASSERT_EQ(bin.size(), 32u);
  int32_t dims[2];
  float v[6];
  std::memcpy(dims, bin.data(), 8);
  std::memcpy(v, bin.data() + 8, 24);
  EXPECT_EQ(dims[0], 3);
  EXPECT_EQ(dims[1], 2);
  const float expect[6] = {11, 21, 31, 12, 22, 32};
  for (int i = 0; i < 6; ++i) EXPECT_EQ(v[i], expect[i]) << i;
  // A FITS file is 2880-byte blocks: one header block and one data block here.
  EXPECT_EQ(d.read("a.fits").size(), 2u * 2880u);
}

TEST(ImageCommandsE2E, Hdf5EndsTheRunBeforeAnyInputIsRead) {
  ScratchDir d;
  d.write("a.txt", kLayoutText);
  d.write("k.txt", "3 3\n0.1\n0.1\n0.1\n0.1\n0.2\n0.1\n0.1\n0.1\n0.1\n");
  d.write("r.rng", "-1 1\n-1 1\n");
  RunResult r = run_commands(d, "filetypes\n");
  EXPECT_EQ(r.out,
            "The known file types are as follows:\n"
            "  1 : text file\n"
            "  2 : binary file\n"
            "  3 : FITS file\n"
            "  4 : HDF5 file [not currently implemented]\n");
  // As input or output, in any word of a command: nothing read, nothing written, status 1.
  for (const char* line : {"fileconvert a.txt 1 a.h5 4", "imstats a.h5 4", "imcombine a.h5 4 a.txt 1 1 c.txt 1",
                           "imcombine a.txt 1 a.txt 1 1 c.h5 4", "imarith a.txt 1 c.h5 4 abs",
                           "imdiff a.txt 1 a.txt 1 1 c.h5 4", "kap2lens k.txt 4 r.rng o.bin",
                           "SBmap2 -1 1 5 0 1 5 1 o.txt 4", "loadsrcmap a.h5 4 r.rng"}) {
    SCOPED_TRACE(line);
    r = run_commands(d, std::string(line) + "\nfiletypes\n");
    EXPECT_EQ(r.out, "ERROR: code has not been compiled to use HDF5 files\n");
    EXPECT_EQ(r.status, 1);
  }
  // The maps that search for images refuse the type before the search (whose warnings
  // about sources beyond the grid and rows of progress would come first).
  for (const char* line :
       {"magweightimg mw 4 5 6 2 5 6 2", "magweightsrc mw 4 5 6 2 5 6 2", "plotmag 5 6 2 5 6 2 pm 4"}) {
    SCOPED_TRACE(line);
    r = run_commands(
        d, "startup 1 1\nalpha 1 0 0 0.3 0 0 0 0 0 1\n0 0 0 0 0 0 0 0 0 0\n" + std::string(line) + "\nfiletypes\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("ERROR: code has not been compiled to use HDF5 files\n"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("WARNING"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find(" iu ="), std::string::npos) << r.out;
  }
  EXPECT_FALSE(d.exists("a.h5"));
  EXPECT_FALSE(d.exists("c.txt"));
  EXPECT_FALSE(d.exists("c.h5"));
  EXPECT_FALSE(d.exists("o.bin"));
}

TEST(ImageCommandsE2E, ErrorsEndTheRunBeforeAnythingIsWritten) {
  struct Case {
    std::string command, out;
  };
  const std::vector<Case> cases = {
      {"imarith a.txt 1 o.txt 1 sqrt", "ERROR: unknown operation in imarith\n"},
      {"imdiff a.txt 1 a.txt 1 4 o.txt 1",
       "Reading array from text file a.txt\nReading array from text file a.txt\nERROR: unknown mode in imdiff\n"},
      {"fileconvert a.txt 7 o.txt 1", "ERROR: unknown filetype in read_array()\n"},
      {"fileconvert a.txt 1 o.txt 9", "Reading array from text file a.txt\nERROR: unknown filetype in write_array()\n"},
      // A type word that is no number is refused, not read as type 0, before the input is read.
      {"fileconvert a.txt 1 o.txt x", "ERROR: in fileconvert, x is not a number\n"},
      {"imstats missing.txt 1", "ERROR: could not open input file missing.txt\n"},
      {"fileconvert short.bin 2 o.txt 1",
       "Reading array from binary file short.bin\nERROR: binary file short.bin ends after 1 of its 6 values\n"},
      {"fileconvert a.txt 1 nodir/o.bin 2",
       "Reading array from text file a.txt\nERROR: could not open output file nodir/o.bin: No such file or "
       "directory\n"},
  };
  for (const Case& c : cases) {
    ScratchDir d;
    d.write("a.txt", kLayoutText);
    const int32_t head[2] = {3, 2};
    const float one = 1;
    std::string bin(reinterpret_cast<const char*>(head), 8);
    bin.append(reinterpret_cast<const char*>(&one), 4);
    d.write("short.bin", bin);
    const RunResult r = run_commands(d, c.command + "\nfiletypes\n");
    EXPECT_EQ(r.out, c.out) << c.command;  // nothing after the error runs
    EXPECT_EQ(r.status, 1) << c.command;
    EXPECT_FALSE(d.exists("o.txt")) << c.command;
  }
}

TEST(ImageCommandsE2E, FitsFailureEndsWithTheLibraryReportAndStatus) {
  ScratchDir d;
  d.write("a.txt", kLayoutText);
  d.write("not.fits", kLayoutText);
  // A file that is no FITS file ends the run; the file written before it is whole.
  RunResult r =
      run_commands(d, "fileconvert a.txt 1 a.fits 3\nfileconvert not.fits 3 a.fits 3\nfiletypes\n");
  EXPECT_EQ(r.out, "Reading array from text file a.txt\nWriting array to FITS file a.fits\n");
  EXPECT_NE(r.status, 0);
  EXPECT_NE(r.status, 1);  // the library's status, not the plain error status
  EXPECT_NE(r.err.find("FITSIO status ="), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("not.fits"), std::string::npos) << r.err;
  r = run_commands(d, "imstats a.fits 3\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("  mu,sigma= 2.150000e+01 8.180261e+00\n"), std::string::npos) << r.out;
}

TEST(ImageCommandsE2E, HelpTextsThroughTheHelpCommand) {
  ScratchDir d;
  const RunResult r = run_at_terminal(d.path(), {}, "help imarith\nimstats onlyafile\nhelp filetypes\n");
  const std::string pad72 = "imarith <inname> <intype> <outname> <outtype> <operation> [value]       \n";
  EXPECT_NE(r.out.find("Help for: imarith\n" + pad72 +
                       " Lets you apply some arithmetic operation to an image.                  \n"),
            std::string::npos)
      << r.out;
  // Too few words, typed: the full help of the command, nothing read, the run goes on.
  EXPECT_NE(r.out.find("imstats <file1> <file1type> [ixlo ixhi iylo iyhi]                \n"), std::string::npos)
      << r.out;
  EXPECT_EQ(r.out.find("Reading array"), std::string::npos);
  EXPECT_NE(r.out.find("Help for: filetypes\nfiletypes\n Lists the known file types.\n"), std::string::npos)
      << r.out;
  EXPECT_EQ(r.status, 0);
}
