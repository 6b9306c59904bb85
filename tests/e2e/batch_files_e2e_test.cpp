// The files of batch runs as a user meets them when the disk fills or another run works in
// the same folder: the FITS table of a batch mock gives back a row whose bytes did not all
// reach the disk and stays a table of whole rows; a batch reads back only the records it
// wrote into its own temporary file.
#include <fcntl.h>
#include <fitsio.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "support/test_support.h"

namespace {

// Two models of two lenses each as the batch mock draws them, 40 rows in all.
const std::string kBatchMock =
    "set batchwrite 2\nset gridhi1 3\nsetlens 2 1\nalpha 1 0 0 0.2 10 0 0 0.05 0 1\n"
    "alpha 0.1 1.5 0 0 0 0 0 0 0 1\n1 0 0 0 0 0 0 0 0 0\n0 0 0 0 0 0 0 0 0 0\n"
    "set seed 40000\n";

// The rows of a FITS table, each as its bytes, read with the library; fails the test when
// the file is not a table of whole rows: the header's row count times the row width,
// padded to whole 2880-byte blocks, must end exactly where the file ends.
std::vector<std::string> table_rows(const std::string& path) {
  std::vector<std::string> rows;
  fitsfile* f = nullptr;
  int status = 0;
  if (ffopen(&f, path.c_str(), READONLY, &status)) {
    ADD_FAILURE() << path << " does not open as a FITS file: status " << status;
    return rows;
  }
  long n = 0;
  LONGLONG width = 0, head = 0, data = 0, end = 0;
  ffmnhd(f, BINARY_TBL, const_cast<char*>("MODEL_REALISATIONS"), 0, &status);
  ffgnrw(f, &n, &status);
  ffgkyjj(f, "NAXIS1", &width, nullptr, &status);
  ffghadll(f, &head, &data, &end, &status);
  for (long r = 1; r <= n && !status; ++r) {
    std::string row(static_cast<size_t>(width), '\0');
    ffgtbb(f, r, 1, width, reinterpret_cast<unsigned char*>(&row[0]), &status);
    rows.push_back(row);
  }
  ffclos(f, &status);
  EXPECT_EQ(status, 0) << path;
  struct stat st;
  EXPECT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(static_cast<LONGLONG>(st.st_size), data + (n * width + 2879) / 2880 * 2880) << path;
  return rows;
}

// Runs "tarnsolve -q cmds.in" in d. As soon as the file tmp in d holds some bytes but fewer
// than full (the run is still writing it), the run is stopped, tamper is called and the run
// goes on. in_time is false when the run got past that point before it could be stopped.
struct TamperedRun {
  RunResult r;
  bool in_time = false;
};
TamperedRun run_tampered(const ScratchDir& d, const std::string& commands, const std::string& tmp, long long full,
                         const std::function<void()>& tamper) {
  d.write("cmds.in", commands);
  const std::string binary = tarnsolve_binary();
  const pid_t pid = fork();
  if (pid == 0) {
    if (chdir(d.path().c_str()) != 0) _exit(127);
    const int out = open("out.txt", O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(out, 1);
    dup2(out, 2);
    execl(binary.c_str(), binary.c_str(), "-q", "cmds.in", static_cast<char*>(nullptr));
    _exit(127);
  }
  TamperedRun t;
  int wstatus = 0;
  for (;;) {
    struct stat st;
    if (stat(d.file(tmp).c_str(), &st) == 0 && st.st_size > 0) {
      kill(pid, SIGSTOP);
      waitpid(pid, &wstatus, WUNTRACED);
      if (WIFSTOPPED(wstatus)) {
        t.in_time = stat(d.file(tmp).c_str(), &st) == 0 && st.st_size < full;
        if (t.in_time) tamper();
        kill(pid, SIGCONT);
        waitpid(pid, &wstatus, 0);
      }
      break;
    }
    if (waitpid(pid, &wstatus, WNOHANG) == pid) break;
    usleep(100);
  }
  t.r.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1;
  t.r.out = d.read("out.txt");
  return t;
}

// n copies of the example quad lens, as batch data.
std::string quad_lenses(int n) {
  std::ifstream in(source_path("examples/quadoff.dat"));
  std::stringstream ss;
  ss << in.rdbuf();
  std::string all;
  for (int i = 0; i < n; ++i) all += ss.str();
  return all;
}

}  // namespace

// At every level of free space the table holds, whole, every row not reported removed, and
// these are the first rows of a run with room to spare; a table that cannot be begun is
// reported and not left behind.
TEST(BatchFilesE2E, AFullDiskTakesBackTheFitsRowsItCut) {
  if (geteuid() != 0) GTEST_SKIP() << "mounting a small tmpfs needs root";
  ScratchDir d;
  const std::string commands = kBatchMock + "batchmock1 full/q 20 1 0 0 0 0 0 2\n0.9 1.1 2\n";
  mkdir(d.file("full").c_str(), 0755);
  RunResult r = run_commands(d, commands);
  ASSERT_EQ(r.status, 0) << r.out;
  const std::vector<std::string> all = table_rows(d.file("full/q.fits"));
  ASSERT_EQ(all.size(), 40u);
  std::remove(d.file("full/q.fits").c_str());

  if (mount("tmpfs", d.file("full").c_str(), "tmpfs", 0, "size=64k") != 0)
    GTEST_SKIP() << "cannot mount a small tmpfs here: " << std::strerror(errno);
  struct Unmount {
    std::string p;
    ~Unmount() { umount2(p.c_str(), MNT_DETACH); }
  } unmount{d.file("full")};
  bool cut = false, whole = false;
  for (int pages = 0; pages <= 12; ++pages) {
    std::remove(d.file("full/q.fits").c_str());
    std::remove(d.file("full/filler").c_str());
    struct statvfs vs;
    ASSERT_EQ(statvfs(d.file("full").c_str(), &vs), 0);
    const long long fill = static_cast<long long>(vs.f_bavail) * vs.f_frsize - pages * 4096LL;
    if (fill > 0) {
      std::ofstream f(d.file("full/filler"), std::ios::binary);
      f << std::string(static_cast<size_t>(fill), 'x');
    }
    r = run_commands(d, commands);
    EXPECT_EQ(r.status, 0) << pages << r.out;
    EXPECT_EQ(r.out.find("ERROR"), std::string::npos) << r.out;
    if (!d.exists("full/q.fits")) {
      // Not even the header fits: said once, and each row then finds no table.
      EXPECT_NE(r.out.find("Cannot write header to HDU\n"), std::string::npos) << pages << r.out;
      EXPECT_EQ(count_occurrences(r.out, "Unable to open file\n"), 40) << pages << r.out;
      continue;
    }
    const std::vector<std::string> rows = table_rows(d.file("full/q.fits"));
    const int removed = count_occurrences(r.out, "(No space left on device): row removed\n");
    EXPECT_EQ(rows.size() + static_cast<size_t>(removed), 40u) << pages << r.out;
    if (removed > 0) {
      cut = true;
      const std::string first = "Unable to write row " + std::to_string(rows.size() + 1) + " of full/q.fits";
      EXPECT_NE(r.out.find(first), std::string::npos) << pages << r.out;
    } else {
      whole = true;
    }
    for (size_t i = 0; i < rows.size() && i < all.size(); ++i) EXPECT_EQ(rows[i], all[i]) << pages << " row " << i + 1;
  }
  EXPECT_TRUE(cut);
  EXPECT_TRUE(whole);
}

// Another run writing into the batch's temporary (as a second run with the same outbase
// does) ends the batch with an ERROR; a file put in its place is not read, the batch goes on
// with its own records.
TEST(BatchFilesE2E, ABatchReadsBackOnlyTheRecordsItWrote) {
  ScratchDir d;
  d.write("b.dat", quad_lenses(600));
  d.write("start.dat", "1 1\nalpha 0.9 0 0 0 0 0.05 10 0 0 1\n1 0 0 0 0 1 1 0 0 0\n");
  const std::string fit =
      "set omitcore 0.05\nset chimode 0\nset gridflag 0\nset tempfiles 0\nbatchdata b.dat\nsetlens start.dat\n";
  const std::string mock = kBatchMock + "set batchwrite 1\n";
  struct Case {
    std::string commands, other, who, results;
  } cases[] = {
      {fit + "batchfit bf\n", fit + "batchfit other 1 0 1 10\n", "batchfit", "bf-p.dat"},
      {mock + "batchmock1 bf 600\n0.9 1.1 2\n", mock + "batchmock1 other 10\n0.9 1.1 2\n", "batchmock", "bf-o.dat"},
  };
  for (const Case& c : cases) {
    // A clean run, and a short one whose temporary is the foreign file.
    ASSERT_EQ(run_commands(d, c.commands).status, 0) << c.who;
    const std::string clean = d.read(c.results), clean_tmp = d.read("bf.tmp");
    ASSERT_EQ(run_commands(d, c.other).status, 0) << c.who;
    // Its first records are this run's first records byte for byte: it is marked as another's.
    const std::string foreign = "# written by another run\n" + d.read("other.tmp");
    ASSERT_NE(foreign, clean_tmp);

    std::remove(d.file("bf.tmp").c_str());
    std::remove(d.file(c.results).c_str());
    TamperedRun t = run_tampered(d, c.commands, "bf.tmp", static_cast<long long>(clean_tmp.size()), [&] {
      std::ofstream f(d.file("bf.tmp"), std::ios::binary | std::ios::trunc);
      f << foreign;
    });
    if (!t.in_time) GTEST_SKIP() << "the run wrote its temporary before it could be stopped";
    EXPECT_EQ(t.r.status, 1) << c.who << t.r.out;
    EXPECT_NE(t.r.out.find("ERROR: " + c.who + " temp file bf.tmp was changed during the run\n"), std::string::npos)
        << t.r.out;
    EXPECT_FALSE(d.exists(c.results)) << c.who;

    std::remove(d.file("bf.tmp").c_str());
    t = run_tampered(d, c.commands, "bf.tmp", static_cast<long long>(clean_tmp.size()), [&] {
      d.write("put.tmp", foreign);
      std::rename(d.file("put.tmp").c_str(), d.file("bf.tmp").c_str());
    });
    if (!t.in_time) GTEST_SKIP() << "the run wrote its temporary before it could be stopped";
    EXPECT_EQ(t.r.status, 0) << c.who << t.r.out;
    EXPECT_EQ(d.read(c.results), clean) << c.who;
  }
}

// A batch that appends writes each earlier file once with every lens's block after it: the
// same files as one appending program run per lens gives, the earlier lines first.
TEST(BatchFilesE2E, AnAppendingChainBatchAddsEveryLensAfterTheEarlierLines) {
  ScratchDir d;
  d.write("batch.dat", quad_lenses(3));
  const std::string setup =
      "set gridflag 0\nset chimode 0\nset tempfiles 0\nsetlens 1 1\n"
      "alpha 1 0 0 0 0 0.1 0 0 0 1\n0 1 1 0 0 0 0 0 0 0\n"
      "batchdata batch.dat\nMCMCset 1 Nchain 4 maxsteps 21 minsteps 1000\n";
  const char* files[] = {"-p.dat", ".dat", ".startN"};
  for (const char* f : files) {
    d.write(std::string("a") + f, "an earlier line\n");
    d.write(std::string("b") + f, "an earlier line\n");
  }
  RunResult r = run_commands(d, setup + "MCMCbatch a 1 append 1 3\n");
  ASSERT_EQ(r.status, 0) << r.out;
  for (const char* lens : {"1 1", "2 2", "3 3"}) {
    r = run_commands(d, setup + "MCMCbatch b 1 append " + lens + "\n");
    ASSERT_EQ(r.status, 0) << r.out;
  }
  for (const char* f : files) {
    const std::string a = d.read(std::string("a") + f);
    EXPECT_TRUE(a == d.read(std::string("b") + f)) << f;
    EXPECT_EQ(a.rfind("an earlier line\n# new lens\n", 0), 0u) << f;
    EXPECT_EQ(count_occurrences(a, "# new lens\n"), 3) << f;
  }
}
