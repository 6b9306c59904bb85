// Cost of one rebuild of the image plane, split into its stages.
#include <chrono>
#include <string>

#include "bench/bench.h"
#include "core/lens_model.h"
#include "imageplane/grid.h"
#include "shell/commands.h"
#include "shell/fatal.h"
#include "shell/startup.h"
#include "shell/vars.h"

namespace {
double ms_since(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
}
}  // namespace

void bench_grid() {
  start_program(stdin, stdout);
  quietflag = 1;
  SetVar("gridflag", 0, 0);
  SetVar("gridlo1", 0, 0.05);
  // An isothermal ellipsoid with shear when that class is available, else a point mass.
  auto load = [](const char* line) {
    FILE* f = std::tmpfile();
    std::fputs(line, f);
    std::fputs("\n0 0 0 0 0 0 0 0 0 0\n", f);
    std::rewind(f);
    FILE* saved = QVMstdin;
    QVMstdin = f;
    setlens(WordArray({"setlens", "1", "1"}));
    QVMstdin = saved;
    std::fclose(f);
    SetGlob();
  };
  load("alpha 1 0 0 0.3 20 0.1 -40 0.05 0 1");
  try {
    dogrid();
  } catch (const FatalError&) {
    load("ptmass 1 0 0 0 0 0.1 -40 0 0 0");
  }

  const int reps = 20;
  double total = 0, tri = 0;
  int nodes = 0;
  for (int i = 0; i < reps; ++i) {
    auto t0 = std::chrono::steady_clock::now();
    dogrid();
    total += ms_since(t0);
    nodes = TWtri.out.numberofpoints;
    t0 = std::chrono::steady_clock::now();
    grid2tri();
    tri += ms_since(t0);
  }
  std::printf("dogrid (default grid, %d vertices): %8.3f ms, of which merging + triangulation %8.3f ms\n",
              nodes, total / reps, tri / reps);
}
