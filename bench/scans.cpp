// Cost of the scans: function evaluations per varyone step on a quadratic chi-squared in
// three parameters (b, x, y; x scanned) for each start rule, the scan's own time per step
// beyond its evaluations (start models, stores and the two flushed report writes), and
// evaluations per errorbars realisation on a galaxy with an error ellipse.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "app/startup.h"
#include "bench/bench.h"
#include "core/lens_model.h"
#include "fit/constraints.h"
#include "fit/errorbars.h"
#include "fit/fit_data.h"
#include "fit/scans.h"
#include "fit/store.h"
#include "shell/commands.h"
#include "shell/fatal.h"
#include "shell/vars.h"

namespace {
void write_file(const std::string& path, const char* text) {
  FILE* f = std::fopen(path.c_str(), "w");
  std::fputs(text, f);
  std::fclose(f);
}

// Runs a command with its screen output in memory; returns the seconds it took and the
// mean of the "func evals" counts it printed (count: how many).
double run_counted(void (*command)(const WordArray&), const WordArray& words, double& evals, int& count) {
  char* buf = nullptr;
  size_t len = 0;
  FILE* mem = open_memstream(&buf, &len);
  FILE* saved = QVMstdout;
  QVMstdout = mem;
  const auto t0 = std::chrono::steady_clock::now();
  command(words);
  const auto t1 = std::chrono::steady_clock::now();
  QVMstdout = saved;
  std::fclose(mem);
  const std::string out(buf, len);
  std::free(buf);
  evals = 0;
  count = 0;
  for (size_t at = out.find("Optimization "); at != std::string::npos; at = out.find("Optimization ", at + 1)) {
    const size_t colon = out.find(':', at);
    evals += std::atoi(out.c_str() + colon + 1);
    ++count;
  }
  if (count > 0) evals /= count;
  return std::chrono::duration<double>(t1 - t0).count();
}
}  // namespace

void bench_scans() {
  start_program(stdin, stdout);
  quietflag = 0;
  SetVar("gridflag", 0, 0);
  SetVar("chimode", 0, 0);
  SetVar("tempfiles", 0, 0);
  SetVar("verbose", 0, 2);
  SetGlob();
  const std::string dir = "/tmp/tarnbench_scans_" + std::to_string(::getpid());
  std::string mk = "mkdir -p " + dir;
  if (std::system(mk.c_str()) != 0) return;
  write_file(dir + "/model.dat", "1 1\nalpha 1 0 0 0 0 0 0 0 0 1\n1 1 1 0 0 0 0 0 0 0\n");
  write_file(dir + "/lim.dat", "3\n1 1 1 0.05\n1 2 0.1 0.1\n1 3 -0.1 0.1\n");
  write_file(dir + "/tie.dat", "1\n1 2 1 3 1 0.05\n");
  run_command_line(WordArray({"setlens", dir + "/model.dat"}));
  run_command_line(WordArray({"plimits", dir + "/lim.dat"}));
  run_command_line(WordArray({"pmatch", dir + "/tie.dat"}));

  // One evaluation of the objective on this problem.
  int ndim, ng, ns;
  storage_init(TWref.ref[1].names, TWref.refv, TWref.ref[1].p, ndim, ng, ns);
  Vec x(1, ndim);
  x[1] = 1;
  const double eval = ns_per_call(200000, [&] { keep(tryparms(x)); }) * 1e-9;
  storage_clear();
  std::printf("quadratic chi^2: %.1f ns per evaluation\n", eval * 1e9);

  // A scan's own time beyond its evaluations (each step's, and the rewrite's one per step
  // and one for the best): the slope between a short and a long scan is the cost of a
  // step; what remains is the cost of the command (opening, rewriting and closing files).
  const int reps = 100;
  for (const char* flag : {"0", "1", "2"}) {
    double evals5 = 0, own[2] = {0, 0};
    const int n[2] = {5, 41};
    for (int s = 0; s < 2; ++s)
      for (int r = 0; r < reps; ++r) {
        double e = 0;
        int count = 0;
        const double t = run_counted(
            varyone, WordArray({"varyone", "1", "2", "-0.2", "0.2", std::to_string(n[s]), dir + "/p", flag}), e, count);
        own[s] += (t - (e * count + n[s] + 1) * eval) / reps;
        if (s == 0) evals5 += e / reps;
      }
    const double per_step = (own[1] - own[0]) / (n[1] - n[0]);
    std::printf("varyone extrapflag %s : %5.1f evaluations per step; beyond them %6.1f us per step, %7.1f us per "
                "command\n",
                flag, evals5, per_step * 1e6, (own[0] - n[0] * per_step) * 1e6);
  }

  write_file(dir + "/lens.dat",
             "1\n0.05 -0.02 0.03 0.01 30\n1 1000\n0 1000\n0 1000\n1\n1\n1 0 1 1000 1000 0 1000 0 1000\n");
  write_file(dir + "/model2.dat", "1 1\nalpha 1 0 0 0.2 67.8 0 0 0 0 1\n0 1 1 0 0 0 0 0 0 0\n");
  run_command_line(WordArray({"plimits", "reset"}));
  run_command_line(WordArray({"pmatch", "reset"}));
  SetVar("nopointchi", 0, 1);
  SetGlob();
  run_command_line(WordArray({"data2", dir + "/lens.dat"}));
  run_command_line(WordArray({"setlens", dir + "/model2.dat"}));
  double evals = 0;
  int count = 0;
  const int N = 400;
  const double seconds = run_counted(errorbars, WordArray({"errorbars", dir + "/e", std::to_string(N)}), evals, count);
  std::printf("errorbars             : %5.1f evaluations per realisation, %6.1f us per realisation\n", evals,
              seconds / N * 1e6);
  quietflag = 1;
  std::string rm = "rm -rf " + dir;
  if (std::system(rm.c_str()) != 0) return;
}
