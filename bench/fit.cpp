// Cost of one evaluation of the fitter's objective (tryparms) on the quadoff lens: the
// source-plane form beyond its lens evaluations (without and with the trace file); the
// image-plane form with the grid built per trial model, split into the grid build, the
// image searches and the rest; the relative-position form; linear-parameter schemes.
#include <cstdio>
#include <cstdlib>
#include <string>

#include <unistd.h>

#include "app/startup.h"
#include "bench/bench.h"
#include "core/lens_model.h"
#include "fit/fit_data.h"
#include "fit/linparms.h"
#include "fit/pointchi.h"
#include "fit/store.h"
#include "imageplane/images.h"
#include "imageplane/source_models.h"
#include "models/evaluator.h"
#include "shell/commands.h"
#include "shell/fatal.h"
#include "shell/settings.h"
#include "shell/vars.h"

namespace {
void write_file(const std::string& path, const char* text) {
  FILE* f = std::fopen(path.c_str(), "w");
  std::fputs(text, f);
  std::fclose(f);
}
}  // namespace

void bench_fit_recovery();

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
  run_command_line(WordArray({"setlens", dir + "/model.dat"}));
  data(WordArray({"data", dir + "/quadoff.dat"}));

  int ndim, ng, ns;
  storage_init(TWref.ref[1].names, TWref.refv, TWref.ref[1].p, ndim, ng, ns);
  Vec x(1, ndim);
  x[1] = 0.001;
  x[2] = 0;
  const long n = 200000;
  const double total = ns_per_call(n, [&] { keep(tryparms(x)); });
  const double load = ns_per_call(n, [&] { keep(initmodel(TSstore.gname, TSstore.gtry, TWref.ref[1].z, 0)); });
  // The parity check evaluates the lens at the reference image and at each image; the
  // source-plane form at each image and at each moved image.
  const SrcData& s = TSobs.srcobs[1];
  const double lens = ns_per_call(n, [&] {
    double p, a, b, c, d, e, f;
    for (int k = 0; k <= s.nimg; ++k) {
      potdefmag(s.x[k == 0 ? 2 : k], s.y[k == 0 ? 2 : k], p, a, b, c, d, e, f);
      keep(a);
    }
    for (int k = 1; k <= 2 * s.nimg; ++k) {
      potdefmag(s.x[(k + 1) / 2] + 1e-3 * (k % 2), s.y[(k + 1) / 2], p, a, b, c, d, e, f);
      keep(a);
    }
  });
  const int nlens = 3 * s.nimg + 1;
  std::printf("chimode 0, tempfiles 0   : %10.1f ns total, %8.1f ns beyond initmodel and %d lens evaluations\n",
              total, total - load - lens, nlens);
  TSrun.chifile = std::fopen((dir + "/chitmp.dat").c_str(), "w");
  const double traced = ns_per_call(20000, [&] { keep(tryparms(x)); });
  std::fclose(TSrun.chifile);
  TSrun.chifile = nullptr;
  std::printf("chimode 0, tempfiles 1   : %10.1f ns total, %8.1f ns beyond initmodel and %d lens evaluations\n",
              traced, traced - load - lens, nlens);

  // The image-plane form: the grid is rebuilt for every trial model.
  SetVar("chimode", 0, 1);
  for (int gridflag = 0; gridflag <= 1; ++gridflag) {
    SetVar("gridflag", 0, gridflag);
    SetVar("omitcore", 0, gridflag ? 0.05 : 0.0);
    SetGlob();
    const long m = 20;
    TSpoint.ntryuv = 0;
    const double trial = ns_per_call(m, [&] { keep(tryparms(x)); }) * 1e-6;
    const double per_trial = static_cast<double>(TSpoint.ntryuv) / m;
    const double grid = ns_per_call(m, [&] { keep(initmodel(TSstore.gname, TSstore.gtry, TWref.ref[1].z, 1)); }) * 1e-6;
    const double u = TWsrc.srcparms[1][2], v = TWsrc.srcparms[1][3];
    int nimg = 0;
    Mat list;
    const double search = ns_per_call(1000, [&] {
      if (gridflag)
        find_img(nimg, list, u, v);
      else
        find_img_nogrid(nimg, list, TSobs.srcobs[1], u, v);
      keep(nimg);
    }) * 1e-6;
    const double rest = trial - grid - per_trial * search;
    std::printf("chimode 1, gridflag %d    : %8.3f ms per trial model: grid %.3f ms, %.1f tryuv x %.1f us searches, "
                "%.3f ms beyond (%.1f%%)\n",
                gridflag, trial, grid, per_trial, search * 1e3, rest, 100 * rest / trial);
  }
  SetVar("chimode", 0, 2);
  SetVar("gridflag", 0, 0);
  SetGlob();
  const double gc = ns_per_call(20, [&] { keep(tryparms(x)); }) * 1e-6;
  const double gcgrid = ns_per_call(20, [&] { keep(initmodel(TSstore.gname, TSstore.gtry, TWref.ref[1].z, 1)); }) * 1e-6;
  std::printf("chimode 2                : %8.3f ms per trial model, grid %.3f ms\n", gc, gcgrid);

  for (int scheme : {1, 31}) {
    SetVar("linparms", 0, scheme);
    SetGlob();
    Mat p = TWref.ref[1].p;
    const double t = ns_per_call(20000, [&] {
      auto_parms(p);
      keep(p[1][6]);
    });
    std::printf("auto_parms, linparms %-3d : %10.1f ns per call\n", scheme, t);
  }
  SetVar("linparms", 0, 0);
  SetGlob();
  storage_clear();
  std::string rm = "rm -rf " + dir;
  if (std::system(rm.c_str()) != 0) return;
  bench_fit_recovery();
  bench_fit_crvring();
}
