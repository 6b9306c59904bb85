// Written files at their edges, through the binary: FITS maps on a disk that fills at any
// point, the standard streams named as output files, names at the folder's limit, and an
// interrupt while a file is being written.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "support/test_support.h"

namespace {

const char* kSphere =
    "setlens 1 1\n"
    "alpha 1 0 0 0 0 0 0 0.05 0 1\n"
    "0 0 0 0 0 0 0 0 0 0\n";

// The hidden names in a folder.
std::vector<std::string> hidden(const std::string& dir) {
  std::vector<std::string> v;
  for (const std::string& n : dir_entries(dir))
    if (n[0] == '.') v.push_back(n);
  return v;
}

// A tmpfs of 1 MiB mounted at path while it lives; ok() is false where this machine refuses it.
class SmallDisk {
 public:
  explicit SmallDisk(const std::string& path) : path_(path) {
    mkdir(path.c_str(), 0755);
    ok_ = mount("tmpfs", path.c_str(), "tmpfs", 0, "size=1m") == 0;
    if (!ok_) why_ = std::strerror(errno);
  }
  ~SmallDisk() {
    if (ok_) umount2(path_.c_str(), MNT_DETACH);
  }
  bool ok() const { return ok_; }
  const std::string& why() const { return why_; }
  // Leaves exactly the given number of free pages, with a hidden filler file.
  void leave_pages(long pages) const {
    const std::string filler = path_ + "/.filler";
    std::remove(filler.c_str());
    struct statvfs s;
    ASSERT_EQ(statvfs(path_.c_str(), &s), 0);
    const long long fill = static_cast<long long>(s.f_bavail) * s.f_bsize - pages * 4096LL;
    std::ofstream f(filler, std::ios::binary);
    const std::string block(4096, 'x');
    for (long long done = 0; done < fill; done += 4096) f.write(block.data(), 4096);
  }

 private:
  std::string path_, why_;
  bool ok_ = false;
};

}  // namespace

// At every fill level of the disk a FITS map is either written whole (status 0) or the run
// ends with the library's write error, status 106, and the earlier file as it was; plotmaps
// replaces each of its maps only by a complete one.
TEST(WrittenFilesE2E, FitsMapsOnAFillingDiskAreWholeOrKeepTheEarlierFile) {
  ScratchDir d;
  SmallDisk disk(d.file("full"));
  if (!disk.ok()) GTEST_SKIP() << "cannot mount a small tmpfs here: " << disk.why();
  struct Case {
    std::string command;
    std::vector<std::string> files;
    long pages;  // the sweep runs from 0 free pages to this many
  };
  const Case cases[] = {
      {"plotkappa full/k.fits 3 -1 1 41 -1 1 41\n", {"full/k.fits"}, 5},
      {"plotkappa full/k.fits 3 -1 1 101 -1 1 101\n", {"full/k.fits"}, 13},
      {"plotkappa full/k.fits.gz 3 -1 1 101 -1 1 101\n", {"full/k.fits.gz"}, 13},
      {"plotmaps full/m -1 1 21 -1 1 21\n", {}, 14},
  };
  for (const Case& c : cases) {
    // The complete files, then earlier ones in their place.
    for (const std::string& n : dir_entries(d.file("full"))) std::remove(d.file("full/" + n).c_str());
    RunResult r = run_commands(d, std::string(kSphere) + c.command);
    ASSERT_EQ(r.status, 0) << c.command << r.out << r.err;
    std::vector<std::string> files = c.files;
    if (files.empty())
      for (const std::string& n : dir_entries(d.file("full"))) files.push_back("full/" + n);
    ASSERT_FALSE(files.empty());
    std::vector<std::string> complete;
    for (const std::string& f : files) complete.push_back(d.read(f));
    int whole = 0, refused = 0;
    for (long pages = 0; pages <= c.pages; ++pages) {
      for (const std::string& f : files) d.write(f, "an earlier file\n");
      disk.leave_pages(pages);
      r = run_commands(d, std::string(kSphere) + c.command);
      EXPECT_TRUE(r.status == 0 || r.status == 106) << c.command << pages << r.status;
      if (r.status == 106) {
        EXPECT_NE(r.err.find("FITSIO status = 106: error writing to FITS file"), std::string::npos) << r.err;
        EXPECT_NE(r.err.find("No space left on device"), std::string::npos) << r.err;
      }
      bool all_new = true;
      for (size_t i = 0; i < files.size(); ++i) {
        const std::string now = d.read(files[i]);
        EXPECT_TRUE(now == complete[i] || now == "an earlier file\n") << c.command << pages << files[i];
        all_new = all_new && now == complete[i];
      }
      EXPECT_EQ(all_new, r.status == 0) << c.command << pages;
      ++(r.status == 0 ? whole : refused);
      EXPECT_EQ(hidden(d.file("full")), std::vector<std::string>{".filler"}) << c.command << pages;
    }
    // The sweep reaches from a disk too full for the files to one that holds them.
    EXPECT_GT(whole, 0) << c.command;
    EXPECT_GT(refused, 0) << c.command;
    std::remove(d.file("full/.filler").c_str());
  }
}

// /dev/stdout as an output name while standard output is appended to a log: the table goes
// into the log between the two reports, and the log's earlier line stays.
TEST(WrittenFilesE2E, DevStdoutIsWrittenIntoTheAppendedLog) {
  ScratchDir d;
  d.write("a.in", std::string(kSphere) + "findimg 0.3 0.1\nplotcrit /dev/stdout\nfindimg 0.3 0.1\n");
  d.write("run.log", "line 1 of an earlier log\n");
  const std::string cmd = "cd '" + d.path() + "' && '" + tarnsolve_binary() + "' a.in >> run.log 2>err.txt";
  const int rc = std::system(cmd.c_str());
  ASSERT_TRUE(WIFEXITED(rc));
  EXPECT_EQ(WEXITSTATUS(rc), 0);
  const std::string log = d.read("run.log");
  EXPECT_EQ(log.rfind("line 1 of an earlier log\n", 0), 0u) << log.substr(0, 200);
  EXPECT_EQ(count_occurrences(log, "images:"), 2);
  const size_t first = log.find("images:"), table = log.find("# Columns: x1 y1 u1 v1 x2 y2 u2 v2"),
               second = log.rfind("images:");
  ASSERT_NE(table, std::string::npos);
  EXPECT_LT(first, table);
  EXPECT_LT(table, second);
}

// With standard output closed, /dev/stdout names no file the program may write: the command
// file, whatever descriptor it has, is left as it was.
TEST(WrittenFilesE2E, AClosedStandardOutputNeverTakesTheCommandFile) {
  ScratchDir d;
  const std::string commands = std::string(kSphere) + "plotcrit /dev/stdout\n";
  d.write("c.in", commands);
  const std::string cmd = "cd '" + d.path() + "' && '" + tarnsolve_binary() + "' -q c.in >&- 2>err.txt";
  const int rc = std::system(cmd.c_str());
  ASSERT_TRUE(WIFEXITED(rc));
  EXPECT_EQ(WEXITSTATUS(rc), 1) << d.read("err.txt");
  EXPECT_EQ(d.read("c.in"), commands);
  EXPECT_EQ(dir_entries(d.path()), (std::vector<std::string>{"c.in", "err.txt"}));
}

// Names as long as the folder allows are written, text and FITS alike.
TEST(WrittenFilesE2E, OutputNamesAtTheFoldersLimitAreWritten) {
  ScratchDir d;
  const std::string name(250, 'L');
  const RunResult r = run_commands(d, std::string(kSphere) + "plotcrit " + name + "\nplotkappa " + name +
                                          ".fits 3 -1 1 5 -1 1 5\n");
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_TRUE(d.exists(name));
  EXPECT_TRUE(d.exists(name + ".fits"));
  EXPECT_EQ(d.read(name + ".fits").size(), 5760u);
  EXPECT_EQ(hidden(d.path()), std::vector<std::string>{});
}

// Ctrl-C while rayshoot writes its map: no hidden temporary stays, the map is whole, and the
// program dies by the signal.
TEST(WrittenFilesE2E, AnInterruptLeavesNoTemporary) {
  ScratchDir d;
  d.write("a.in",
          "set gridlo1 0.001\nsetlens 1 1\nptmass 1 0 0 0 0 0 0 0 0 0\n0 0 0 0 0 0 0 0 0 0\n"
          "rayshoot -1 1 600 -1 1 600 r.txt 1 100 50\n");
  d.write("r.txt", "an earlier map\n");
  const std::string binary = tarnsolve_binary();
  const pid_t pid = fork();
  if (pid == 0) {
    signal(SIGINT, SIG_DFL);
    if (chdir(d.path().c_str()) != 0) _exit(120);
    const int out = open("out.txt", O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(out, 1);
    dup2(out, 2);
    execl(binary.c_str(), binary.c_str(), "-q", "a.in", static_cast<char*>(nullptr));
    _exit(121);
  }
  ASSERT_GT(pid, 0);
  // Waits, up to a minute, for the map's temporary to appear.
  bool seen = false;
  for (int i = 0; i < 12000 && !seen; ++i) {
    seen = !hidden(d.path()).empty();
    if (!seen) usleep(5000);
  }
  kill(pid, SIGINT);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(seen) << d.read("out.txt");
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGINT) << status << d.read("out.txt");
  EXPECT_EQ(hidden(d.path()), std::vector<std::string>{});
  const std::string map = d.read("r.txt");  // the earlier map, or one written at an earlier stage
  EXPECT_TRUE(map == "an earlier map\n" || map.rfind("600 600\n", 0) == 0) << map.substr(0, 40);
}
