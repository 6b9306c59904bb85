// Simulations: the cost of a mock source in mock1 and mockcsec against the bare image
// solve of the same sources, and the cost of one batch-mock model with clumps against one
// grid build. Each line prints the ratio that the targets are stated in.
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/startup.h"
#include "bench/bench.h"
#include "core/lens_model.h"
#include "imageplane/images.h"
#include "numeric/random.h"
#include "shell/commands.h"
#include "shell/fatal.h"
#include "shell/settings.h"
#include "shell/words.h"
#include "sim/mocks.h"


namespace {

void run(const std::string& cmds) { run_bench_commands(cmds); }

double seconds(const std::string& cmds) {
  const auto t0 = std::chrono::steady_clock::now();
  run(cmds);
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// Bare solves of n sources drawn as mock1 draws them.
double bare_solves(int n) {
  double ug, vg, umax;
  get_umax(ug, vg, umax);
  RandomStream r(settings.seed);
  int ni = 0;
  Mat list;
  const auto t0 = std::chrono::steady_clock::now();
  for (int i = 0; i < n; ++i) {
    double u, v;
    mock_disc_point(r, ug, vg, umax, u, v);
    find_img(ni, list, u, v);
    keep(ni);
  }
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

}  // namespace

void bench_sim() {
  char tmpl[] = "/tmp/tarnbench.XXXXXX";
  const char* dir = mkdtemp(tmpl);
  if (!dir) return;
  const std::string base = std::string(dir) + "/";
  FILE* sink = std::fopen("/dev/null", "w");
  start_program(stdin, sink);
  quietflag = 1;
  const int n = 20000;
  run("setlens 1 1\nalpha 1 0 0 0.1 0 0.05 20 0.05 0 1\n0 0 0 0 0 0 0 0 0 0\n");
  double t_bare = bare_solves(n);
  const double t_mock1 = seconds("mock1 " + base + "m " + std::to_string(n) + "\n");
  const double t_csec = seconds("mockcsec " + base + "c " + std::to_string(n) + " -2 -1 3 20\n");
  t_bare = std::min(t_bare, bare_solves(n));
  // A batch of 10 models with clumps and one source each against 10 grid builds, on a
  // grid that holds the images of sources behind the stars' caustics (stars out to 3).
  run("set gridhi1 5\nsetlens 1 1\nalpha 1 0 0 0.1 0 0.05 20 0.05 0 1\n1 0 0 0 0 0 0 0 0 0\n"
      "setclumps 1 0 3\n1 0.01 1 0 star 0\n");
  std::string regrids;
  for (int i = 0; i < 10; ++i) regrids += "regrid\n";
  const double t_grid = seconds(regrids);
  const double t_batch = seconds("batchmock1 " + base + "b 1\n0.95 1.05 10\n");
  std::fclose(sink);
  std::printf("mock1: sources/s %.0f, bare find_img %.0f; bookkeeping / solve %.2f (<= 1)\n", n / t_mock1, n / t_bare,
              (t_mock1 - t_bare) / t_bare);
  std::printf("mockcsec: sources/s %.0f; bookkeeping / solve %.2f (<= 1)\n", n / t_csec, (t_csec - t_bare) / t_bare);
  std::printf("batchmock1 with clumps: one model / one grid build %.2f (about 1)\n", t_batch / t_grid);
  std::string rm = "rm -rf " + std::string(dir);
  if (std::system(rm.c_str()) != 0) std::printf("(could not remove %s)\n", dir);
}
