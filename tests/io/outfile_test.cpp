// Checked output files: a whole file replaces its target only when complete, and every
// failure ends the program with a message naming the file and the system's reason.
#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "io/outfile.h"
#include "shell/fatal.h"
#include "support/test_support.h"

TEST(WholeFile, ReplacesTheTargetOnlyOnCommit) {
  ScratchDir dir;
  dir.write("r.dat", "old complete file\n");
  {
    WholeFile f(dir.file("r.dat"));
    std::fputs("new\n", f);
    // While it is written the target still holds the earlier file, beside one hidden temporary.
    EXPECT_EQ(dir.read("r.dat"), "old complete file\n");
    const auto e = dir_entries(dir.path());
    ASSERT_EQ(e.size(), 2u);
    EXPECT_EQ(e[0].rfind(".r.dat.tmp", 0), 0u) << e[0];
    f.commit();
  }
  EXPECT_EQ(dir.read("r.dat"), "new\n");
  EXPECT_EQ(dir_entries(dir.path()), std::vector<std::string>{"r.dat"});
  struct stat st;
  ASSERT_EQ(stat(dir.file("r.dat").c_str(), &st), 0);
  EXPECT_NE(st.st_mode & 0044, 0u);  // the mode of a new file, not the temporary's 0600

  // Left without commit (an error path unwinding): the temporary goes, the target stays.
  {
    WholeFile f(dir.file("r.dat"));
    std::fputs("half", f);
  }
  EXPECT_EQ(dir.read("r.dat"), "new\n");
  EXPECT_EQ(dir_entries(dir.path()), std::vector<std::string>{"r.dat"});
}

TEST(WholeFile, AFailedWriteCloseOrRenameKeepsTheEarlierFile) {
  ScratchDir dir;
  struct Case { WholeFileFault step; int err; const char* reason; };
  const Case cases[] = {
      {WholeFileFault::Write, ENOSPC, "No space left on device"},
      {WholeFileFault::Close, EIO, "Input/output error"},
      {WholeFileFault::Rename, EXDEV, "Invalid cross-device link"},
  };
  for (const Case& c : cases) {
    dir.write("keep.dat", "1 2 3\n4 5 6\n");
    const FatalError e = fatal_of([&] {
      WholeFile f(dir.file("keep.dat"));
      std::fputs("7 8 9\n", f);
      inject_whole_file_fault(c.step, c.err);
      f.commit();
    });
    EXPECT_EQ(e.kind, FatalKind::Error);
    EXPECT_EQ(e.status, 1);
    EXPECT_EQ(e.message, "could not write " + dir.file("keep.dat") + ": " + c.reason);
    EXPECT_EQ(dir.read("keep.dat"), "1 2 3\n4 5 6\n");
    EXPECT_EQ(dir_entries(dir.path()), std::vector<std::string>{"keep.dat"});
  }
}

TEST(WholeFile, OpenFailuresNameThePathAndTheReason) {
  ScratchDir dir;
  EXPECT_EQ(fatal_message([&] { WholeFile f(dir.file("no/x.dat")); }),
            "could not write " + dir.file("no/x.dat") + ": No such file or directory");
  EXPECT_EQ(fatal_message([&] { WholeFile f(dir.file("no/x.dat"), "could not open fit output file"); }),
            "could not open fit output file: " + dir.file("no/x.dat") + ": No such file or directory");
  // A folder in the target's place is refused, never replaced.
  mkdir(dir.file("sub").c_str(), 0755);
  EXPECT_EQ(fatal_message([&] { WholeFile f(dir.file("sub")); }),
            "could not write " + dir.file("sub") + ": Is a directory");
}

TEST(WholeFile, ADeviceIsWrittenInPlaceAndAFullOneFails) {
  // /dev/full is never replaced by a renamed temporary, and its refusal is reported.
  EXPECT_EQ(fatal_message([] {
              WholeFile f("/dev/full");
              std::fputs("x\n", f);
              f.commit();
            }),
            "could not write /dev/full: No space left on device");
  WholeFile n("/dev/null");
  std::fputs("x\n", n);
  n.commit();
}

TEST(WholeFile, ALinkIsFollowedToItsTarget) {
  ScratchDir dir;
  dir.write("real.dat", "old\n");
  ASSERT_EQ(symlink(dir.file("real.dat").c_str(), dir.file("link.dat").c_str()), 0);
  WholeFile f(dir.file("link.dat"));
  std::fputs("new\n", f);
  f.commit();
  EXPECT_EQ(dir.read("real.dat"), "new\n");
  struct stat st;
  ASSERT_EQ(lstat(dir.file("link.dat").c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
}

TEST(OutFile, FlushAndCloseReportTheFailedWrite) {
  OutFile f("/dev/full", "w");
  std::fputs("a record\n", f);
  EXPECT_EQ(fatal_message([&] { f.flush(); }), "could not write /dev/full: No space left on device");
  OutFile g("/dev/full", "a");
  std::fputs("a record\n", g);
  EXPECT_EQ(fatal_message([&] { g.close(); }), "could not write /dev/full: No space left on device");
  ScratchDir dir;
  EXPECT_EQ(fatal_message([&] { OutFile h(dir.file("no/c.tmp"), "w", "could not open chain file"); }),
            "could not open chain file: " + dir.file("no/c.tmp") + ": No such file or directory");
}

TEST(OutFile, AFullFilesystemIsReportedWhereTheWriteFailedAndKeepsEarlierWholeFiles) {
  ScratchDir dir;
  const std::string mnt = dir.file("small");
  mkdir(mnt.c_str(), 0755);
  if (mount("tmpfs", mnt.c_str(), "tmpfs", 0, "size=64k") != 0) {
    GTEST_SKIP() << "cannot mount a small tmpfs here: " << std::strerror(errno);
  }
  {
    WholeFile k(mnt + "/keep.dat");
    std::fputs("complete\n", k);
    k.commit();
  }
  // A chain file, whose bytes are tallied as they go: the system's reason all the same.
  const std::string path = mnt + "/chain.tmp";
  ByteTally tally;
  OutFile f(path, tally);
  const std::string row(100, '1');
  long flushed = 0;
  const std::string m1 = fatal_message([&] {
    for (;;) {
      std::fprintf(f, "%s\n", row.c_str());
      f.flush();
      ++flushed;
    }
  });
  EXPECT_EQ(m1, "could not write " + path + ": No space left on device");
  EXPECT_GT(flushed, 100);
  const std::string m2 = fatal_message([&] {
    WholeFile k(mnt + "/keep.dat");
    for (int i = 0; i < 100; ++i) std::fprintf(k, "%s\n", row.c_str());
    k.commit();
  });
  EXPECT_EQ(m2, "could not write " + mnt + "/keep.dat: No space left on device");
  std::string kept;
  if (FILE* in = std::fopen((mnt + "/keep.dat").c_str(), "r")) {
    char buf[64] = "";
    kept = std::fgets(buf, sizeof buf, in) ? buf : "";
    std::fclose(in);
  }
  EXPECT_EQ(kept, "complete\n");
  EXPECT_EQ(dir_entries(mnt), (std::vector<std::string>{"chain.tmp", "keep.dat"}));
  f = OutFile();
  umount2(mnt.c_str(), MNT_DETACH);
}

// A file's tally tells the bytes written from any other content, also of the same length.
TEST(OutFile, TallySeesAFileReplacedByOneOfTheSameLength) {
  ScratchDir dir;
  ByteTally written;
  {
    OutFile f(dir.file("c-1.tmp"), written);
    std::fputs(" 1.000000e+00 2.000000e+00 -1\n", f);
    std::fputs(" 3.000000e+00 4.000000e+00 1\n", f);
    f.close();
  }
  auto tally = [&] {
    FILE* in = std::fopen(dir.file("c-1.tmp").c_str(), "r");
    const ByteTally t = tally_of(in);
    std::fclose(in);
    return t;
  };
  EXPECT_EQ(written.count, 59);
  EXPECT_TRUE(tally() == written);
  // Two rows of another chain, the same length.
  dir.write("c-1.tmp", " 3.000000e+00 4.000000e+00 1\n 1.000000e+00 2.000000e+00 -1\n");
  EXPECT_FALSE(tally() == written);
}
