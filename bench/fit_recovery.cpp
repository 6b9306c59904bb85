// Wall time and evaluation count of the recovery fits of the quadoff lens: from b 0.9 in
// the source-plane form, and from a perturbed start near the optimum in the image-plane
// form (the grid built for every trial model), without and with the trace file.
#include <cstdio>
#include <cstdlib>
#include <string>

#include <unistd.h>

#include "app/startup.h"
#include "bench/bench.h"
#include "core/lens_model.h"
#include "fit/fit_data.h"
#include "fit/optimize.h"
#include "fit/store.h"
#include "shell/commands.h"
#include "shell/fatal.h"
#include "shell/settings.h"
#include "shell/vars.h"

namespace {
void write_text(const std::string& path, const char* text) {
  FILE* f = std::fopen(path.c_str(), "w");
  std::fputs(text, f);
  std::fclose(f);
}
}  // namespace

void bench_fit_recovery() {
  start_program(stdin, stdout);
  quietflag = 1;
  const std::string dir = "/tmp/tarnbench_fitrec_" + std::to_string(::getpid());
  const std::string mk = "mkdir -p " + dir;
  if (std::system(mk.c_str()) != 0) return;
  char* old = getcwd(nullptr, 0);
  if (chdir(dir.c_str()) != 0) return;
  write_text("quadoff.dat",
             "1\n0 0 0.003\n1 1\n0 1\n0 1\n1\n4\n"
             "1.163803 0.082317 4.591467 0.003 0.5 0 0.01\n"
             "-1.046803 0.131375 7.459387 0.003 0.5 0.158018 0.01\n"
             "-0.281878 0.884234 -5.706979 0.003 0.5 0.210596 0.01\n"
             "-0.224001 -0.861559 -4.323673 0.003 0.5 0.260515 0.01\n");
  struct Recovery {
    const char* label;
    double chimode;
    const char* model;
  };
  const Recovery fits[] = {
      {"source plane (chimode 0)", 0, "1 1\nalpha 0.9 0 0 0 0 0.05 10 0 0 1\n1 0 0 0 0 1 1 0 0 0\n"},
      {"image plane  (chimode 1)", 1, "1 1\nalpha 0.995 0 0 0 0 0.098 1 0 0 1\n1 0 0 0 0 1 1 0 0 0\n"},
  };
  for (const Recovery& f : fits) {
    for (int tempfiles = 0; tempfiles <= 1; ++tempfiles) {
      SetVar("gridflag", 0, 0);
      SetVar("chimode", 0, f.chimode);
      SetVar("tempfiles", 0, tempfiles);
      SetVar("verbose", 0, 3);
      SetGlob();
      data(WordArray({"data", "quadoff.dat"}));
      write_text("start.dat", f.model);
      run_command_line(WordArray({"setlens", "start.dat"}));
      BVec<Mat> models(1, 1);
      models[1] = TWref.ref[1].p;
      int evals = 0;
      const double ns = ns_per_call(1, [&] {
        optimization_run(TWref.ref[1].names, TWref.refv, models, 1, 1, true,
                         [&](int, int niter) { evals += niter; });
      });
      std::printf("recovery fit %s, tempfiles %d: %9.3f ms wall, %5d func evals, %9.1f us per func eval\n",
                  f.label, tempfiles, ns / 1e6, evals, evals > 0 ? ns / 1e3 / evals : 0.0);
    }
  }
  if (old && chdir(old) != 0) return;
  std::free(old);
  const std::string rm = "rm -rf " + dir;
  if (std::system(rm.c_str()) != 0) return;
}
