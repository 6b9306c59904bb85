// Cost of one evaluation of the fitter's objective (tryparms) beyond the lens evaluations
// it makes: the quadoff lens, the source-plane form (no grid), without and with the
// trace file.
#include <cstdio>
#include <cstdlib>
#include <string>

#include <unistd.h>

#include "bench/bench.h"
#include "core/lens_model.h"
#include "fit/fit_data.h"
#include "fit/store.h"
#include "models/evaluator.h"
#include "shell/commands.h"
#include "shell/fatal.h"
#include "shell/settings.h"
#include "shell/startup.h"
#include "shell/vars.h"

namespace {
void write_file(const std::string& path, const char* text) {
  FILE* f = std::fopen(path.c_str(), "w");
  std::fputs(text, f);
  std::fclose(f);
}
}  // namespace

void bench_fit() {
  start_program(stdin, stdout);
  quietflag = 1;
  SetVar("gridflag", 0, 0);
  SetVar("chimode", 0, 0);
  SetGlob();
  const std::string dir = "/tmp/tarnbench_fit_" + std::to_string(::getpid());
  std::string mk = "mkdir -p " + dir;
  if (std::system(mk.c_str()) != 0) return;
  write_file(dir + "/model.dat", "1 1\nalpha 1 0.001 0 0 0 0.1 0 0 0 1\n0 1 1 0 0 0 0 0 0 0\n");
  write_file(dir + "/quadoff.dat",
             "1\n0 0 0.003\n1 1\n0 1\n0 1\n1\n4\n"
             "1.163803 0.082317 4.591467 0.003 0.5 0 0.01\n"
             "-1.046803 0.131375 7.459387 0.003 0.5 0.158018 0.01\n"
             "-0.281878 0.884234 -5.706979 0.003 0.5 0.210596 0.01\n"
             "-0.224001 -0.861559 -4.323673 0.003 0.5 0.260515 0.01\n");
  setlens(WordArray({"setlens", dir + "/model.dat"}));
  data(WordArray({"data", dir + "/quadoff.dat"}));

  int ndim, ng, ns;
  storage_init(TWref.ref[1].names, TWref.refv, TWref.ref[1].p, ndim, ng, ns);
  Vec x(1, ndim);
  x[1] = 0.001;
  x[2] = 0;
  const long n = 200000;
  const double total = ns_per_call(n, [&] { keep(tryparms(x)); });
  const double load = ns_per_call(n, [&] { keep(initmodel(TSstore.gname, TSstore.gtry, TWref.ref[1].z, 0)); });
  // The parity check evaluates the lens at the reference image and at each image.
  const SrcData& s = TSobs.srcobs[1];
  const double lens = ns_per_call(n, [&] {
    double p, a, b, c, d, e, f;
    for (int k = 0; k <= s.nimg; ++k) {
      potdefmag(s.x[k == 0 ? 2 : k], s.y[k == 0 ? 2 : k], p, a, b, c, d, e, f);
      keep(a);
    }
  });
  std::printf("tryparms, tempfiles 0    : %10.1f ns total, %8.1f ns beyond initmodel and 5 lens evaluations\n",
              total, total - load - lens);
  TSrun.chifile = std::fopen((dir + "/chitmp.dat").c_str(), "w");
  const double traced = ns_per_call(20000, [&] { keep(tryparms(x)); });
  std::fclose(TSrun.chifile);
  TSrun.chifile = nullptr;
  std::printf("tryparms, tempfiles 1    : %10.1f ns total, %8.1f ns beyond initmodel and 5 lens evaluations\n",
              traced, traced - load - lens);
  storage_clear();
  std::string rm = "rm -rf " + dir;
  if (std::system(rm.c_str()) != 0) return;
}
