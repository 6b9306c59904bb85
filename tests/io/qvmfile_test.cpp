// The file opener: its report of each mode (in quiet mode too) and its refusal.
#include <gtest/gtest.h>

#include "io/qvmfile.h"
#include "shell/fatal.h"
#include "support/test_support.h"

TEST(QVMfopen, ReportsInputAndOutputFilesAlsoInQuietModeAndNothingForOtherModes) {
  ScratchDir dir;
  const std::string f = dir.file("f.txt");
  quietflag = 1;
  CaptureOutput out;
  {
    FileHandle w(QVMfopen(f, "w", "no"));
    std::fputs("x\n", w);
  }
  { FileHandle a(QVMfopen(f, "a", "no")); }
  { FileHandle r(QVMfopen(f, "r", "no")); }
  { FileHandle rp(QVMfopen(f, "r+", "no")); }
  { FileHandle wb(QVMfopen(dir.file("g.bin"), "wb", "no")); }
  quietflag = 0;
  EXPECT_EQ(out.text(), "Opened output file: " + f + "\nOpened input file: " + f + "\nOpened input file: " + f +
                            "\nOpened output file: " + dir.file("g.bin") + "\n");
  EXPECT_EQ(dir.read("f.txt"), "x\n");
}

TEST(QVMfopen, FailureEndsWithTheCallersMessageAndPrintsNothingElse) {
  ScratchDir dir;
  CaptureOutput out;
  for (const char* mode : {"r", "w", "a"}) {
    try {
      QVMfopen(dir.file("none/f.txt"), mode, "could not open the test file");
      ADD_FAILURE() << mode;
    } catch (const FatalError& e) {
      EXPECT_EQ(e.kind, FatalKind::Error);
      // An output file's refusal names the file and the reason; an input file's message is the caller's.
      EXPECT_EQ(e.message, mode[0] == 'r' ? std::string("could not open the test file")
                                          : "could not open the test file: " + dir.file("none/f.txt") +
                                                ": No such file or directory");
    }
  }
  EXPECT_EQ(out.text(), "");
}
