// Batch fits and clump marginalisation: the wall time per lens of batchfit against the
// single recovery fit of the same lens (the difference is the record and the split), and
// per clump realisation the draw, the fit and the rebuild of the cached clump field.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <unistd.h>

#include "app/startup.h"
#include "bench/bench.h"
#include "core/lens_model.h"
#include "fit/batchfit.h"
#include "fit/fit_data.h"
#include "fit/optimize.h"
#include "fit/store.h"
#include "fit/subsave.h"
#include "numeric/random.h"
#include "shell/commands.h"
#include "shell/fatal.h"
#include "shell/settings.h"
#include "shell/vars.h"
#include "sim/clumps.h"

namespace {

const char* kQuadoff =
    "1\n0 0 0.003\n1 1\n0 1\n0 1\n1\n4\n"
    "1.163803 0.082317 4.591467 0.003 0.5 0 0.01\n"
    "-1.046803 0.131375 7.459387 0.003 0.5 0.158018 0.01\n"
    "-0.281878 0.884234 -5.706979 0.003 0.5 0.210596 0.01\n"
    "-0.224001 -0.861559 -4.323673 0.003 0.5 0.260515 0.01\n";
// The same images without fluxes and delays, with errors 0.05 (clump realisations).
const char* kLoose =
    "1\n0 0 0.003\n1 1\n0 1\n0 1\n1\n4\n"
    "1.163803 0.082317 4.591467 0.05 0 0 0\n"
    "-1.046803 0.131375 7.459387 0.05 0 0.158018 0\n"
    "-0.281878 0.884234 -5.706979 0.05 0 0.210596 0\n"
    "-0.224001 -0.861559 -4.323673 0.05 0 0.260515 0\n";
const char* kStart = "1 1\nalpha 0.9 0 0 0 0 0.05 10 0 0 1\n1 0 0 0 0 1 1 0 0 0\n";

void write_text(const std::string& path, const std::string& text) {
  FILE* f = std::fopen(path.c_str(), "w");
  std::fputs(text.c_str(), f);
  std::fclose(f);
}

void fit_settings() {
  SetVar("gridflag", 0, 0);
  SetVar("chimode", 0, 0);
  SetVar("tempfiles", 0, 0);
  SetVar("verbose", 0, 3);
  SetGlob();
}

void bench_batch() {
  constexpr int kLenses = 64;
  std::string batch;
  for (int i = 0; i < kLenses; ++i) batch += kQuadoff;
  write_text("b.dat", batch);
  write_text("quadoff.dat", kQuadoff);
  write_text("start.dat", kStart);
  fit_settings();

  // The single recovery fit, repeated as often as the batch has lenses.
  data(WordArray({"data", "quadoff.dat"}));
  run_command_line(WordArray({"setlens", "start.dat"}));
  const double single = ns_per_call(kLenses, [] {
    BVec<Mat> models(1, 1);
    models[1] = TWref.ref[1].p;
    optimization_run(TWref.ref[1].names, TWref.refv, models, 1, 1, true, {});
  });

  run_command_line(WordArray({"batchdata", "b.dat"}));
  run_command_line(WordArray({"setlens", "start.dat"}));
  const double per_lens = ns_per_call(1, [] { run_command_line(WordArray({"batchfit", "bf"})); }) / kLenses;
  // The two parts that batchfit adds to the fits: the record of each lens and the split.
  double record = 0;
  {
    FILE* fp = std::fopen("rec.tmp", "w");
    record = ns_per_call(kLenses, [&] {
      batchfit_write(fp, 1, TWref.ref[1].names, TWref.refv, TWref.ref[1].p, -1.0);
    });
    std::fclose(fp);
  }
  double split = 1e300;
  for (int r = 0; r < 5; ++r)
    split = std::min(split, ns_per_call(1, [] {
                              FILE* in = std::fopen("rec.tmp", "r");
                              batchfit_split("rec", TWref.ref[1].names, TWref.refv, kLenses, in);
                              std::fclose(in);
                            }) / kLenses);
  std::printf("batchfit, %d quadoff lenses: %9.3f ms per lens; single recovery fit %9.3f ms; %+.1f%% added"
              " (record %7.1f us, split %7.1f us per lens)\n",
              kLenses, per_lens / 1e6, single / 1e6, 100.0 * (per_lens / single - 1.0), record / 1e3, split / 1e3);
}

void bench_clumpmarg() {
  write_text("loose.dat", kLoose);
  fit_settings();
  SetVar("checkparity", 0, 0);
  SetGlob();
  data(WordArray({"data", "loose.dat"}));
  write_text("true.dat", "1 1\nalpha 1 0 0 0 0 0.1 0 0 0 1\n0 0 0 0 0 0 0 0 0 0\n");
  run_command_line(WordArray({"setlens", "true.dat"}));
  write_text("pop.in", "1 0.001 1 0 star\n");
  {
    FILE* in = std::fopen("pop.in", "r");
    FILE* saved = QVMstdin;
    QVMstdin = in;
    run_command_line(WordArray({"setclumps", "1", "0", "2"}));
    QVMstdin = saved;
    std::fclose(in);
  }
  constexpr int kReal = 20;
  RandomStream Ns(7), rs(7), gs(7);
  BVec<Mat> models(1, 1);
  const double draw = ns_per_call(kReal, [&] { do_drawclumps(Ns, rs, gs); });
  const double fit = ns_per_call(kReal, [&] {
    models[1] = TWref.ref[1].p;
    optimization_run(TWref.ref[1].names, TWref.refv, models, 1, 1, false, {});
  });
  run_command_line(WordArray({"subsave", "on", "-0.02", "0.02", "21", "-0.02", "0.02", "21"}));
  const double rebuild = ns_per_call(kReal, [] { subsave_rebuild(); });
  const double fit_cached = ns_per_call(kReal, [&] {
    models[1] = TWref.ref[1].p;
    optimization_run(TWref.ref[1].names, TWref.refv, models, 1, 1, false, {});
  });
  run_command_line(WordArray({"subsave", "off"}));
  const double whole = ns_per_call(1, [] { run_command_line(WordArray({"clumpmarg", "cm", "20"})); }) / kReal;
  std::printf("clumpmarg per realisation (~6000 star clumps, 1 evaluation per fit): draw %9.3f ms, fit %9.3f ms,"
              " subsave rebuild %9.3f ms, fit with subsave %9.3f ms; whole command %9.3f ms\n",
              draw / 1e6, fit / 1e6, rebuild / 1e6, fit_cached / 1e6, whole / 1e6);
}

}  // namespace

void bench_batchfit() {
  start_program(stdin, stdout);
  quietflag = 1;
  const std::string dir = "/tmp/tarnbench_batch_" + std::to_string(::getpid());
  const std::string mk = "mkdir -p " + dir;
  if (std::system(mk.c_str()) != 0) return;
  char* old = getcwd(nullptr, 0);
  if (chdir(dir.c_str()) != 0) return;
  // QVMfopen reports every file it opens, in quiet mode too: keep the table readable.
  FILE* saved_out = QVMstdout;
  FILE* sink = std::fopen("/dev/null", "w");
  if (sink) QVMstdout = sink;
  bench_batch();
  bench_clumpmarg();
  QVMstdout = saved_out;
  if (sink) std::fclose(sink);
  if (old && chdir(old) != 0) return;
  std::free(old);
  const std::string rm = "rm -rf " + dir;
  if (std::system(rm.c_str()) != 0) return;
}
