// Checked output files: a whole file replaces its target only when complete, and every
// failure ends the program with a message naming the file and the system's reason.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "io/outfile.h"
#include "shell/fatal.h"
#include "support/test_support.h"

namespace {

// The hidden names in a folder.
std::vector<std::string> hidden_entries(const std::string& dir) {
  std::vector<std::string> v;
  for (const std::string& n : dir_entries(dir))
    if (n[0] == '.') v.push_back(n);
  return v;
}

// Runs fn in a child process (as the given user when uid >= 0) and returns what it wrote
// into the string it was given; fn must not leave the child.
template <class F>
std::string in_child(uid_t uid, gid_t gid, bool as_user, F&& fn) {
  int p[2];
  if (pipe(p) != 0) return "(no pipe)";
  const pid_t pid = fork();
  if (pid == 0) {
    close(p[0]);
    std::string said;
    if (as_user && (setgid(gid) != 0 || setuid(uid) != 0)) said = "(setuid failed)";
    else fn(said);
    if (write(p[1], said.data(), said.size()) < 0) {}
    _exit(0);
  }
  close(p[1]);
  std::string got;
  char buf[512];
  ssize_t n;
  while ((n = read(p[0], buf, sizeof buf)) > 0) got.append(buf, static_cast<size_t>(n));
  close(p[0]);
  waitpid(pid, nullptr, 0);
  return got;
}

}  // namespace

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

// A path naming a descriptor is written through it: appended where the descriptor stands,
// never truncated or replaced, and a descriptor that cannot take data fails as standard
// output does.
TEST(WholeFile, ADescriptorPathIsWrittenThroughTheDescriptor) {
  ScratchDir dir;
  dir.write("run.log", "line 1 of an earlier log\n");
  struct stat before;
  ASSERT_EQ(stat(dir.file("run.log").c_str(), &before), 0);
  const int fd = open(dir.file("run.log").c_str(), O_WRONLY | O_APPEND);
  ASSERT_GE(fd, 0);
  const std::string names[] = {"/dev/fd/" + std::to_string(fd), "/proc/self/fd/" + std::to_string(fd)};
  for (const std::string& name : names) {
    WholeFile w(name);
    std::fputs("whole\n", w);
    w.commit();
    OutFile o(name, "w");
    std::fputs("record\n", o);
    o.close();
  }
  close(fd);
  EXPECT_EQ(dir.read("run.log"), "line 1 of an earlier log\nwhole\nrecord\nwhole\nrecord\n");
  struct stat after;
  ASSERT_EQ(stat(dir.file("run.log").c_str(), &after), 0);
  EXPECT_EQ(after.st_ino, before.st_ino);
  EXPECT_EQ(dir_entries(dir.path()), std::vector<std::string>{"run.log"});

  // Open for reading only, and closed.
  const int ro = open(dir.file("run.log").c_str(), O_RDONLY);
  ASSERT_GE(ro, 0);
  const std::string rname = "/dev/fd/" + std::to_string(ro);
  EXPECT_EQ(fatal_message([&] { WholeFile w(rname, "could not open critical curve output file"); }),
            "could not write " + rname + ": Bad file descriptor");
  EXPECT_EQ(fatal_message([&] { OutFile o(rname, "a", "could not open chain file"); }),
            "could not write " + rname + ": Bad file descriptor");
  close(ro);
  EXPECT_EQ(fatal_message([&] { WholeFile w(rname); }), "could not write " + rname + ": Bad file descriptor");
  EXPECT_EQ(dir.read("run.log"), "line 1 of an earlier log\nwhole\nrecord\nwhole\nrecord\n");
}

// Names up to the folder's limit are written: the temporary takes a shorter name then.
TEST(WholeFile, ANameAtTheFoldersLimitIsWritten) {
  ScratchDir dir;
  for (const size_t len : {244, 250, 255}) {
    const std::string name(len, 'L');
    WholeFile f(dir.file(name));
    std::fputs("x\n", f);
    EXPECT_EQ(hidden_entries(dir.path()).size(), 1u);
    f.commit();
    EXPECT_EQ(dir.read(name), "x\n");
    EXPECT_EQ(dir_entries(dir.path()), std::vector<std::string>{name});
    std::remove(dir.file(name).c_str());
  }
  // One character more is refused when the file is opened, not after it has been written.
  const std::string over(256, 'L');
  EXPECT_EQ(fatal_message([&] { WholeFile f(dir.file(over), "could not open critical curve output file"); }),
            "could not open critical curve output file: " + dir.file(over) + ": File name too long");
  EXPECT_EQ(dir_entries(dir.path()), std::vector<std::string>{});
}

// A replaced file keeps its mode; a new one gets the mode of any new file.
TEST(WholeFile, AReplacedFileKeepsItsMode) {
  ScratchDir dir;
  auto mode_of = [&](const std::string& name) {
    struct stat st;
    return stat(dir.file(name).c_str(), &st) == 0 ? st.st_mode & 07777 : 0u;
  };
  for (const mode_t m : {0600, 0755, 0640}) {
    dir.write("r.dat", "old\n");
    chmod(dir.file("r.dat").c_str(), m);
    WholeFile f(dir.file("r.dat"));
    std::fputs("new\n", f);
    f.commit();
    EXPECT_EQ(dir.read("r.dat"), "new\n");
    EXPECT_EQ(mode_of("r.dat"), m);
  }
  const mode_t mask = umask(022);
  WholeFile f(dir.file("n.dat"));
  f.commit();
  umask(mask);
  EXPECT_EQ(mode_of("n.dat"), 0644u);
}

// A dangling link gets its target created, a relative one beside the link; a target in a
// folder that does not exist is an open failure.
TEST(WholeFile, ADanglingLinkGetsItsTargetCreated) {
  ScratchDir dir;
  mkdir(dir.file("sub").c_str(), 0755);
  ASSERT_EQ(symlink("sub/t.dat", dir.file("rel").c_str()), 0);
  ASSERT_EQ(symlink(dir.file("abs.dat").c_str(), dir.file("sub/abs").c_str()), 0);
  ASSERT_EQ(symlink("rel", dir.file("chain").c_str()), 0);
  for (const char* link : {"rel", "sub/abs", "chain"}) {
    WholeFile f(dir.file(link));
    std::fprintf(f, "through %s\n", link);
    f.commit();
    struct stat st;
    ASSERT_EQ(lstat(dir.file(link).c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode)) << link;
  }
  EXPECT_EQ(dir.read("sub/t.dat"), "through chain\n");
  EXPECT_EQ(dir.read("abs.dat"), "through sub/abs\n");
  ASSERT_EQ(symlink("nowhere/x.dat", dir.file("lost").c_str()), 0);
  EXPECT_EQ(fatal_message([&] { WholeFile f(dir.file("lost"), "could not open critical curve output file"); }),
            "could not open critical curve output file: " + dir.file("lost") + ": No such file or directory");
  EXPECT_EQ(hidden_entries(dir.path()).size(), 0u);
}

// A file its user may not write is refused and kept; root writes it as before.
TEST(WholeFile, AFileTheUserMayNotWriteIsRefused) {
  ScratchDir dir;
  chmod(dir.path().c_str(), 0777);
  dir.write("ro.dat", "kept\n");
  chmod(dir.file("ro.dat").c_str(), 0444);
  const bool root = geteuid() == 0;
  const struct passwd* pw = root ? getpwnam("tester") : nullptr;
  if (root && !pw) GTEST_SKIP() << "no ordinary user to run as";
  const std::string said = in_child(pw ? pw->pw_uid : 0, pw ? pw->pw_gid : 0, root, [&](std::string& out) {
    out = fatal_message([&] {
      WholeFile f(dir.file("ro.dat"), "could not open startup file");
      std::fputs("new\n", f);
      f.commit();
    });
  });
  EXPECT_EQ(said, "could not open startup file: " + dir.file("ro.dat") + ": Permission denied");
  EXPECT_EQ(dir.read("ro.dat"), "kept\n");
  EXPECT_EQ(dir_entries(dir.path()), std::vector<std::string>{"ro.dat"});
  if (!root) return;
  WholeFile f(dir.file("ro.dat"));
  std::fputs("new\n", f);
  f.commit();
  EXPECT_EQ(dir.read("ro.dat"), "new\n");
  struct stat st;
  ASSERT_EQ(stat(dir.file("ro.dat").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0444u);
}

// SIGINT and SIGTERM remove the temporaries that are open, and the program dies by the signal.
TEST(WholeFile, AnInterruptRemovesTheOpenTemporaries) {
  for (const int sig : {SIGINT, SIGTERM}) {
    ScratchDir dir;
    dir.write("a.dat", "earlier\n");
    const pid_t pid = fork();
    if (pid == 0) {
      WholeFile a(dir.file("a.dat")), b(dir.file("b.dat"));
      struct sigaction now;
      if (sigaction(sig, nullptr, &now) != 0 || now.sa_handler == SIG_IGN) _exit(77);  // started ignoring it
      std::fputs("half", a);
      std::fflush(a);
      kill(getpid(), sig);
      _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    if (WIFEXITED(status) && WEXITSTATUS(status) == 77) GTEST_SKIP() << "the signal is ignored in this test run";
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == sig) << status;
    EXPECT_EQ(dir_entries(dir.path()), std::vector<std::string>{"a.dat"});
    EXPECT_EQ(dir.read("a.dat"), "earlier\n");
  }
}
