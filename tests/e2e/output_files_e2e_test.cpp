// Written files as a user meets them when the disk is full, the output path is a device
// that refuses data, the working folder is read-only, or a run was cut short: every
// failure ends with status 1 and an ERROR naming the file, and an earlier complete file
// is never replaced by a cut one.
#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/mount.h>
#include <sys/stat.h>
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

// chi^2 = ((b-1)/0.05)^2 + ((x-0.1)/0.1)^2 + ((y+0.1)/0.1)^2 + ((x-y)/0.05)^2.
const char* kQuadratic =
    "set ftol 1e-6\n"
    "set chimode 0\n"
    "set gridflag 0\n"
    "setlens 1 1\n"
    "alpha 1 0 0 0 0 0 0 0 0 1\n"
    "1 1 1 0 0 0 0 0 0 0\n"
    "plimits lim.dat\n"
    "pmatch tie.dat\n";

void write_quadratic(const ScratchDir& d, const std::string& sub = "") {
  d.write(sub + "lim.dat", "3\n1 1 1 0.05\n1 2 0.1 0.1\n1 3 -0.1 0.1\n");
  d.write(sub + "tie.dat", "1\n1 2 1 3 1 0.05\n");
}

const char* kSphere =
    "setlens 1 1\n"
    "alpha 1 0 0 0 0 0 0 0.05 0 1\n"
    "0 0 0 0 0 0 0 0 0 0\n";

const char* kSampler =
    "set gridflag 0\n"
    "set chimode 0\n"
    "set tempfiles 0\n"
    "setlens 1 1\n"
    "alpha 1.2 0.3 -0.3 0 0 0 0 0 0 1\n"
    "1 1 1 0 0 0 0 0 0 0\n"
    "nestsampSet live 50 minsteps 50 writelive 0\n"
    "0.7 1.3\n-0.5 0.5\n-0.5 0.5\n";

// Two lens planes, so that showLOS has a table to write.
const char* kTwoPlanes =
    "set zlens 0.5\n"
    "set zsrc 2\n"
    "set gridlo1 0.001\n"
    "setlens 2 1 1\n"
    "ptmass 1 0 0 0 0 0 0 0 0 0 0.5\n"
    "ptmass 0.25 0.9 -0.6 0 0 0 0 0 0 0 0.3\n"
    "0 0 0 0 0 0 0 0 0 0\n"
    "0 0 0 0 0 0 0 0 0 0\n";

const char* kDisc =
    "setsource 1 1e7\n"
    "uniform 1 0.3 0 0 0 0.05 0 0\n"
    "0 0 0 0 0 0 0 0\n";

// A 4x4 text map of convergence with its range, and five samples of a function.
void write_map_inputs(const ScratchDir& d) {
  std::string map = "4 4\n";
  for (int i = 0; i < 16; ++i) map += "0.1\n";
  d.write("k.txt", map);
  d.write("k.rng", "-1 1\n-1 1\n");
  d.write("g.dat", "5\n0 1\n1 2\n2 3\n3 2\n4 1\n");
}

// The hidden temporaries left in a folder.
std::vector<std::string> hidden(const std::string& dir) {
  std::vector<std::string> v;
  for (const std::string& n : dir_entries(dir))
    if (n[0] == '.' && n != ".stdin" && n != ".stdout" && n != ".stderr") v.push_back(n);
  return v;
}

// The ERROR line of a run's output ("" when there is none).
std::string error_line(const std::string& out) {
  const size_t at = out.find("ERROR: ");
  if (at == std::string::npos) return "";
  return out.substr(at, out.find('\n', at) - at);
}

// Runs the command file <files>/cmds.in holding commands, without -q (fits write their
// files only then), in the working folder dir; the output is captured in files too.
RunResult run_loud(const std::string& dir, const ScratchDir& files, const std::string& commands) {
  files.write("cmds.in", commands);
  const std::string cmd = "cd '" + dir + "' && '" + tarnsolve_binary() + "' '" + files.file("cmds.in") + "' > '" +
                          files.file("out.txt") + "' 2> '" + files.file("err.txt") + "' < /dev/null";
  const int rc = std::system(cmd.c_str());
  RunResult r;
  r.status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
  r.out = files.read("out.txt");
  r.err = files.read("err.txt");
  return r;
}

// A small tmpfs mounted at path while it lives; ok() is false when this machine refuses it.
class SmallDisk {
 public:
  explicit SmallDisk(const std::string& path) : path_(path) {
    mkdir(path.c_str(), 0755);
    ok_ = mount("tmpfs", path.c_str(), "tmpfs", 0, "size=64k") == 0;
    if (!ok_) why_ = std::strerror(errno);
  }
  ~SmallDisk() {
    if (ok_) umount2(path_.c_str(), MNT_DETACH);
  }
  bool ok() const { return ok_; }
  const std::string& why() const { return why_; }
  // Fills what is left of the disk.
  void fill() const {
    std::ofstream f(path_ + "/.filler", std::ios::binary);
    const std::string block(1024, 'x');
    for (int i = 0; i < 1024 && f; ++i) f.write(block.data(), static_cast<std::streamsize>(block.size())), f.flush();
  }

 private:
  std::string path_, why_;
  bool ok_ = false;
};

}  // namespace

// A device that takes no data as the output file: the command fails, naming it.
TEST(OutputFilesE2E, DevFullAsTheOutputPathEndsWithStatusOne) {
  ScratchDir d;
  d.write("col.txt", "1\n2\n3\n4\n5\n");
  write_map_inputs(d);
  ASSERT_EQ(run_commands(d, std::string(kSampler) + "nestsampRun n\n").status, 0);
  struct Case {
    std::string commands;
  } cases[] = {
      {std::string(kSphere) + "plotcrit /dev/full\n"},
      {std::string(kSphere) + "plotgrid /dev/full\n"},
      {"jackknife col.txt 1 0 /dev/full\n"},
      {"bootstrap col.txt 1 20 0 /dev/full\n"},
      {std::string(kSampler) + "nestsampDraw n /dev/full 10\n"},
      {"kap2lens k.txt 1 k.rng /dev/full\n"},
      {"fft1 g.dat 0 0 /dev/full\n"},
      {std::string(kSphere) + kDisc + "checkfinsrc 1e2 1e3 2 2 /dev/full\n"},
      {std::string(kTwoPlanes) + "showLOS /dev/full\n"},
  };
  for (const Case& c : cases) {
    const RunResult r = run_commands(d, c.commands);
    EXPECT_EQ(r.status, 1) << c.commands << r.out;
    EXPECT_EQ(error_line(r.out), "ERROR: could not write /dev/full: No space left on device") << c.commands << r.out;
  }
}

// Output that never reaches standard output is a failure of the run.
TEST(OutputFilesE2E, StandardOutputThatCannotBeWrittenEndsWithStatusOne) {
  ScratchDir d;
  d.write("cmds.in", std::string(kSphere) + "findimg 0.2 0\n");
  const std::string cmd = "cd '" + d.path() + "' && '" + tarnsolve_binary() + "' cmds.in > /dev/full 2> err.txt";
  const int rc = std::system(cmd.c_str());
  ASSERT_TRUE(WIFEXITED(rc));
  EXPECT_EQ(WEXITSTATUS(rc), 1);
  EXPECT_EQ(d.read("err.txt"), "ERROR: could not write standard output: No space left on device\n");
}

// nestsampDraw draws only from a finished run; a rerun first takes away the earlier run's
// mark of completion, and sets it again only after every other final file is in place, so
// a run that ends early is never taken as finished.
TEST(OutputFilesE2E, NestedSamplingDrawsOnlyFromAFinishedRun) {
  ScratchDir d;
  // A rerun that fails at its third file, after its -nest file is open, and one that fails
  // at its draws, after its evidence is known.
  for (const char* blocked : {"n-evid.dat", "n-draw.dat"}) {
    ASSERT_EQ(run_commands(d, std::string(kSampler) + "nestsampRun n\n").status, 0);
    ASSERT_TRUE(d.exists("n-done.dat"));
    std::remove(d.file(blocked).c_str());
    ASSERT_EQ(mkdir(d.file(blocked).c_str(), 0755), 0);
    RunResult r = run_commands(d, std::string(kSampler) + "nestsampRun n\n");
    EXPECT_EQ(r.status, 1) << blocked;
    EXPECT_EQ(error_line(r.out), "ERROR: could not open nestsamp NSoutput file: " + std::string(blocked) +
                                     ": Is a directory")
        << r.out;
    EXPECT_FALSE(d.exists("n-done.dat")) << blocked;
    r = run_commands(d, std::string(kSampler) + "nestsampDraw n d.dat 10\n");
    EXPECT_EQ(r.status, 1) << blocked;
    EXPECT_EQ(error_line(r.out), "ERROR: n-done.dat not found: nestsamp run n did not finish");
    EXPECT_FALSE(d.exists("d.dat"));
    rmdir(d.file(blocked).c_str());
  }
}

// On a full disk every command ends with an ERROR naming its file, and the complete files
// of an earlier run in that folder are left byte for byte, with no temporaries beside them.
TEST(OutputFilesE2E, AFullDiskEndsEachCommandAndKeepsEarlierCompleteFiles) {
  ScratchDir d;
  SmallDisk disk(d.file("full"));
  if (!disk.ok()) GTEST_SKIP() << "cannot mount a small tmpfs here: " << disk.why();
  write_quadratic(d);
  const std::string setup = std::string(kQuadratic) + "set tempfiles 0\n";
  ScratchDir files;
  RunResult r = run_loud(d.path(), files, setup + "optimize full/fit\nvaryone 1 2 -0.2 0.2 3 full/p\n");
  ASSERT_EQ(r.status, 0) << r.out;
  const std::string fit_start = d.read("full/fit.start"), p_start = d.read("full/p.startN");
  ASSERT_FALSE(fit_start.empty());
  ASSERT_FALSE(p_start.empty());
  // An earlier complete file in the place of each of the last commands' outputs.
  const std::string earlier = "an earlier complete file\n";
  d.write("full/prev.out", earlier);
  write_map_inputs(d);
  disk.fill();

  const std::string cases[] = {
      setup + "optimize full/fit\n",
      setup + "varyone 1 2 -0.2 0.2 3 full/p\n",
      setup + "errorbars full/e 3\n",
      std::string(kSphere) + "plotcrit full/crit.dat\n",
      std::string(kSphere) + "plotgrid full/grid.dat\n",
      std::string(kSphere) + "mock1 full/m 200\n",
      std::string(kSphere) + "plotkappa full/k.dat 1 -1 1 50 -1 1 50\n",
      "kap2lens k.txt 1 k.rng full/prev.out\n",
      "fft1 g.dat 0 0 full/prev.out\n",
      std::string(kSphere) + kDisc + "checkfinsrc 1e2 1e3 2 2 full/prev.out\n",
      std::string(kTwoPlanes) + "showLOS full/prev.out\n",
  };
  for (const std::string& c : cases) {
    r = run_loud(d.path(), files, c);
    const std::string e = error_line(r.out);
    EXPECT_EQ(r.status, 1) << c << r.out;
    EXPECT_NE(e.find("full/"), std::string::npos) << c << r.out;
    EXPECT_NE(e.find(": No space left on device"), std::string::npos) << c << r.out;
    EXPECT_EQ(d.read("full/fit.start"), fit_start) << c;
    EXPECT_EQ(d.read("full/p.startN"), p_start) << c;
    EXPECT_EQ(d.read("full/prev.out"), earlier) << c;
    EXPECT_EQ(hidden(d.file("full")), std::vector<std::string>{".filler"}) << c;
  }
}

// The fit's trace and scratch files go to the working folder; a read-only one costs them,
// not the fit, whose named outputs go elsewhere.
TEST(OutputFilesE2E, AReadOnlyWorkingFolderDoesNotStopAFitWritingElsewhere) {
  ScratchDir d, out;
  const std::string ro = d.file("ro");
  mkdir(ro.c_str(), 0755);
  write_quadratic(d, "ro/");
  if (mount(ro.c_str(), ro.c_str(), nullptr, MS_BIND, nullptr) != 0)
    GTEST_SKIP() << "cannot bind-mount a folder here: " << std::strerror(errno);
  struct Unmount {
    std::string p;
    ~Unmount() { umount2(p.c_str(), MNT_DETACH); }
  } unmount{ro};
  if (mount(nullptr, ro.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) != 0)
    GTEST_SKIP() << "cannot make a folder read-only here: " << std::strerror(errno);
  const RunResult r = run_loud(ro, out, std::string(kQuadratic) + "set tempfiles 1\noptimize " + out.file("fit") + "\n");
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find("WARNING: could not open chitmp.dat: Read-only file system; going on without it\n"),
            std::string::npos)
      << r.out;
  EXPECT_EQ(count_occurrences(r.out, "chitmp.dat"), 1);
  EXPECT_TRUE(out.exists("fit.start"));
  EXPECT_TRUE(out.exists("fit-chi.dat"));
}
