// Own cost of the samplers per evaluation (total processor time minus the time spent in
// the objective), on a Gaussian objective of n = 3 and 10 parameters: Markov chains in modes 1
// and 2, nested sampling in modes 1 and 3 with 100 and 1000 live points, all files off
// but the rows nested sampling writes at every step (-nest, -evid and the -tmp trace of
// the replacement), whose cost per step is timed apart.
// Also the evaluations per retired point of nested sampling.
#include <ctime>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <unistd.h>

#include "app/startup.h"
#include "bench/bench.h"
#include "core/lens_model.h"
#include "fit/mcmc.h"
#include "fit/nestsamp.h"
#include "fit/store.h"
#include "shell/commands.h"
#include "shell/fatal.h"
#include "shell/settings.h"
#include "shell/vars.h"

namespace {
int bench_n = 3;
long evaluations = 0;

double gauss(Vec& p) {
  ++evaluations;
  double s = 0;
  for (int k = 1; k <= bench_n; ++k) {
    const double t = (p[k] - 0.1 * k) / (0.05 * k);
    s += t * t;
  }
  return s;
}

// Processor time of the process (user and system), which other loads of the machine
// disturb less than the wall clock.
double cpu_seconds() {
  timespec t;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

double seconds_of(void (*fn)(const std::string&), const std::string& arg) {
  const double t0 = cpu_seconds();
  fn(arg);
  return cpu_seconds() - t0;
}

template <class F>
double cpu_per_call(long n, F&& fn) {
  const double t0 = cpu_seconds();
  for (long i = 0; i < n; ++i) fn();
  return (cpu_seconds() - t0) / static_cast<double>(n);
}

void write_file(const std::string& path, const std::string& text) {
  FILE* f = std::fopen(path.c_str(), "w");
  std::fputs(text.c_str(), f);
  std::fclose(f);
}

void load_model(const std::string& dir, int n) {
  std::string vary;
  for (int k = 1; k <= 10; ++k) vary += k <= n ? "1 " : "0 ";
  write_file(dir + "/model.dat", "1 1\nalpha 0.1 0.2 0.3 0.4 0.5 0.6 0.7 0.8 0.9 1.0\n" + vary + "\n");
  run_command_line(WordArray({"setlens", dir + "/model.dat"}));
}

void run_mcmc(const std::string& base) {
  run_command_line(WordArray({"MCMCrun", base}));
}

void run_ns(const std::string& base) { run_command_line(WordArray({"nestsampRun", base})); }
}  // namespace

void bench_samplers() {
  start_program(stdin, stdout);
  quietflag = 1;
  SetVar("gridflag", 0, 0);
  SetVar("tempfiles", 0, 0);
  SetGlob();
  const std::string dir = std::string(access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp") + "/tarnbench_samplers_" + std::to_string(::getpid());
  if (std::system(("mkdir -p " + dir).c_str()) != 0) return;
  FILE* saved_out = QVMstdout;
  QVMstdout = std::fopen("/dev/null", "w");

  MCrun.objective = gauss;
  NS.objective = gauss;
  Vec probe(1, 10);
  for (int k = 1; k <= 10; ++k) probe[k] = 0.1 * k;
  std::string lines;

  // TW_BENCH_NS_ONLY=n,live,mode runs that one nested-sampling case alone (for profiling).
  const char* only = std::getenv("TW_BENCH_NS_ONLY");
  int only_n = 0, only_live = 0, only_mode = 0;
  if (only) std::sscanf(only, "%d,%d,%d", &only_n, &only_live, &only_mode);
  for (int n : {3, 10}) {
    if (only && n != only_n) continue;
    bench_n = n;
    load_model(dir, n);
    const double t_obj = cpu_per_call(2000000, [&] { keep(gauss(probe)); });
    for (const char* mode : {"1", "2"}) {
      if (only) break;
      run_command_line(WordArray({"MCMCset", mode, "Nchain", "20", "minsteps", "1e9", "maxsteps", "5001", "Nwrite", "5000",
                         "tempfiles", "0", "Ncheck", "100"}));
      evaluations = 0;
      const double t = seconds_of(run_mcmc, dir + "/c");
      lines += strformat("MCMC mode %s, n = %2d              : %8.1f ns own time per evaluation (%ld evaluations)\n",
                         mode, n, (t - evaluations * t_obj) / evaluations * 1e9, evaluations);
    }
    // Cost of one -nest row and one -evid row, flushed, as every step writes them.
    FILE* f = std::fopen((dir + "/rows.dat").c_str(), "w");
    Vec p(1, n);
    NS.NSnvary = n;
    const double t_rows = cpu_per_call(20000, [&] {
      nestsamp_write2(f, p, 1.0, 0.5, 1e-3);
      std::fprintf(f, "%.0f %e %e %e %e\n", 1.0, 0.5, 0.1, 0.1, 0.1);
      std::fflush(f);
      std::fprintf(f, "# picking new point, chicut= %e\n", 1.0);  // the -tmp trace of a replacement
      nestsamp_write1(f, p, 0, 1.0);
      std::fprintf(f, " # good %ld\n", 1L);
    });
    // The -tmp trace of one region update: covariance rows, centre and axes.
    const double t_update = cpu_per_call(2000, [&] {
      std::fprintf(f, "# covariance matrix\n");
      for (int k = 1; k <= n; ++k) {
        std::fprintf(f, "#");
        for (int l = 1; l <= n; ++l) std::fprintf(f, " %13.6e", 0.1 * k + l);
        std::fprintf(f, "\n");
      }
      std::fprintf(f, "# PCA ellipsoid\n# center:");
      for (int k = 1; k <= n; ++k) std::fprintf(f, " %13.6e", 0.3 * k);
      std::fprintf(f, "\n# axes:  ");
      for (int k = 1; k <= n; ++k) std::fprintf(f, " %13.6e", 0.7 * k);
      std::fprintf(f, " (PCA frame)\n");
      std::fflush(f);
    });
    std::fclose(f);
    lines += strformat("nestsamp rows, n = %2d              : %8.1f ns per step (-nest, -evid and -tmp, flushed), "
                       "%8.1f ns per region update (-tmp)\n",
                       n, t_rows * 1e9, t_update * 1e9);
    for (int live : {100, 1000}) {
      for (const char* mode : {"1", "3"}) {
        if (only && (live != only_live || std::atoi(mode) != only_mode)) continue;
        NSctl = NestSampControl();
        NSctl.NSparms[1] = std::atof(mode);
        NSctl.NSparms[3] = live;
        NSctl.NSparms[4] = 0;
        NSctl.NSparms[5] = 20 * live;
        NSctl.NSparms[9] = 0;  // no early stop: a fixed number of steps
        NSctl.NSparms[11] = 0;
        NSctl.NSparms[13] = 0;
        nestsamp_init();
        for (int k = 1; k <= n; ++k) {
          NSbnd1.lo[k] = 0.1 * k - 0.25 * k;
          NSbnd1.hi[k] = 0.1 * k + 0.25 * k;
          NSbnd1.volume *= NSbnd1.hi[k] - NSbnd1.lo[k];
        }
        evaluations = 0;
        const double t = seconds_of(run_ns, dir + "/n");
        const double steps = static_cast<double>(NSresult.steps);
        const double own = t - evaluations * t_obj - steps * t_rows - std::floor(steps / 10) * t_update;
        lines += strformat(
            "nestsamp mode %s, n = %2d, live %4d : %8.1f ns own time per evaluation, %6.2f evaluations per retired "
            "point\n",
            mode, n, live, own / evaluations * 1e9, (evaluations - live) / steps);
      }
    }
    storage_clear();
  }
  nestsamp_clear();
  MCrun.objective = nullptr;
  NS.objective = nullptr;
  std::fclose(QVMstdout);
  QVMstdout = saved_out;
  std::fputs(lines.c_str(), stdout);
  if (std::system(("rm -rf " + dir).c_str()) != 0) return;
}
