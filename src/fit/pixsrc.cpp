// The pixelated-source term: deflection fields handed to an external source-reconstruction
// program, whose log-evidence becomes the chi-squared -2 ln(E/E0).
#include "fit/pixsrc.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "fit/chitest.h"
#include "fit/testterms.h"
#include "io/outfile.h"
#include "io/qvmfile.h"
#include "models/evaluator.h"
#include "shell/commands.h"
#include "shell/fatal.h"

extern char** environ;

PixsrcSettings TWpixsrc;

namespace {

// Appends v as printf's "%e" writes it.
void append_e(std::string& s, double v) {
  char buf[32];
  const auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific, 6);
  s.append(buf, r.ptr);
}

void append_int(std::string& s, int v) {
  char buf[16];
  const auto r = std::to_chars(buf, buf + sizeof buf, v);
  s.append(buf, r.ptr);
}

std::string command_text(const PixsrcSettings& p) { return "java -jar " + p.pixsrc_exec + " " + p.pixsrc_base; }

[[noreturn]] void program_failed(const PixsrcSettings& p, int status) {
  fatal(strformat("pixelated-source program failed (%s, status %d)", command_text(p).c_str(), status));
}

// Starts "java -jar exec base" without a shell and waits for it; returns its exit status
// (128 + the signal number when a signal ended it).
int run_external(const PixsrcSettings& p) {
  std::vector<std::string> args = {"java", "-jar", p.pixsrc_exec, p.pixsrc_base};
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  // The child must not read the command input of this program.
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  // What this program printed so far comes before whatever the child prints.
  std::fflush(nullptr);
  pid_t pid;
  const int rc = posix_spawnp(&pid, "java", &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) fatal("could not start " + command_text(p));
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) fatal("could not start " + command_text(p));
  }
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

}  // namespace

void init_pixsrc() { TWpixsrc = PixsrcSettings(); }

std::string pixsrc_path(const std::string& base, const char* suffix) { return "tempFolder/" + base + suffix; }

void pixsrc_write_deflection() {
  const PixsrcSettings& p = TWpixsrc;
  WholeFile f(pixsrc_path(p.pixsrc_base, "_deflection.dat"), "could not open pixsrc deflection file", true);
  const double scl = p.pixsrc_scl, inv = 1.0 / scl;
  std::string line;
  for (int i = p.pixsrc_rng[0]; i <= p.pixsrc_rng[2]; ++i) {
    line.clear();
    for (int j = p.pixsrc_rng[1]; j <= p.pixsrc_rng[3]; ++j) {
      double pot, ax, ay, pxx, pyy, pxy, pyx;
      potdefmag(i * scl, j * scl, pot, ax, ay, pxx, pyy, pxy, pyx);
      append_int(line, i);
      line += ' ';
      append_int(line, j);
      line += ' ';
      append_e(line, ax * inv);
      line += ' ';
      append_e(line, ay * inv);
      line += '\n';
    }
    std::fwrite(line.data(), 1, line.size(), f);
  }
  // A deflection file cut short would be read as a different field.
  f.commit();
}

double pixsrc_run() {
  const PixsrcSettings& p = TWpixsrc;
  // A run that leaves no evidence file must not be answered by an old one.
  const std::string evidence = pixsrc_path(p.pixsrc_base, "_evidence.dat");
  if (std::remove(evidence.c_str()) != 0 && errno != ENOENT)
    fatal("could not remove the old pixsrc evidence file " + evidence);
  const int status = run_external(p);
  if (status != 0) program_failed(p, status);
  FileHandle f(QVMfopen(evidence, "r", "could not open pixsrc evidence file"));
  double lnE = 0.0;
  if (std::fscanf(f, "%le", &lnE) != 1 || !std::isfinite(lnE)) program_failed(p, status);
  return -2.0 * (lnE - p.pixsrc_lE0);
}

double pixsrc_term(double plim, bool rejected) {
  if (TWpixsrc.pixsrcflag == 0 || plim > 1e8 || rejected) return 0.0;
  pixsrc_write_deflection();
  return pixsrc_run();
}

double chipixsrc(double plim) { return pixsrc_term(plim, TWchitest.rejected); }

void pixsrc(const WordArray& words) {
  const int n = words.own_count();
  if (n > 1 && words[1] == "off") {
    TWpixsrc.pixsrcflag = 0;
    qprintf("Turning pixelated source off.\n");
    return;
  }
  if (n < 3 || words[1] != "on") {
    refuse_line(words, n < 2 || words[1] == "on" ? "too few arguments" : "unknown mode " + words[1]);
    return;
  }
  // The new settings take effect only once the grid-size file has been read.
  PixsrcSettings p;
  p.pixsrcflag = 1;
  p.pixsrc_base = words[2];
  if (n > 3) p.pixsrc_scl = words.finite(3, "pixsrc");
  if (n > 4) p.pixsrc_lE0 = words.finite(4, "pixsrc");
  if (n > 5) p.pixsrc_exec = words[5];
  // Deflections are written in units of the pixel scale.
  if (p.pixsrc_scl == 0) fatal("the pixel scale of pixsrc cannot be 0");
  const std::string gpath = pixsrc_path(p.pixsrc_base, "_gridSize.dat");
  {
    FileHandle f(QVMfopen(gpath, "r", "could not open gridSize file"));
    int* r = p.pixsrc_rng;
    if (std::fscanf(f, "%d %d %d %d", &r[0], &r[1], &r[2], &r[3]) != 4)
      fatal("gridSize file " + gpath + " does not hold four integers");
  }
  TWpixsrc = p;
  qprintf("Using pixelated source:\n");
  qprintf("  basename  = %s\n", p.pixsrc_base.c_str());
  qprintf("  scale     = %e\n", p.pixsrc_scl);
  qprintf("  ln(E0)    = %e\n", p.pixsrc_lE0);
  qprintf("  xmin,xmax = %d %d\n", p.pixsrc_rng[0], p.pixsrc_rng[2]);
  qprintf("  ymin,ymax = %d %d\n", p.pixsrc_rng[1], p.pixsrc_rng[3]);
}

