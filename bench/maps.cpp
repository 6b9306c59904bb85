// Cost per grid point of the map commands on an isothermal ellipsoid with shear, against one
// lens evaluation (plotkappa, plotmaps) and one image search (plotmag).
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "app/startup.h"
#include "bench/bench.h"
#include "core/lens_model.h"
#include "core/magtens.h"
#include "core/maps.h"
#include "imageplane/images.h"
#include "models/evaluator.h"
#include "shell/commands.h"
#include "shell/fatal.h"
#include "shell/vars.h"

void bench_maps();

namespace {

double ns_of(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - t0).count();
}

// Runs a command with its screen output thrown away; returns its time in ns.
double timed(void (*cmd)(const WordArray&), const std::vector<std::string>& words) {
  FILE* saved = QVMstdout;
  FILE* sink = std::fopen("/dev/null", "w");
  QVMstdout = sink;
  const auto t0 = std::chrono::steady_clock::now();
  cmd(WordArray(words));
  const double ns = ns_of(t0);
  QVMstdout = saved;
  std::fclose(sink);
  return ns;
}

}  // namespace

void bench_maps() {
  start_program(stdin, stdout);
  quietflag = 1;
  {
    FILE* f = std::tmpfile();
    std::fputs("alpha 1 0 0 0.3 20 0.06 55 0 0 1\n0 0 0 0 0 0 0 0 0 0\n", f);
    std::rewind(f);
    FILE* saved = QVMstdin;
    QVMstdin = f;
    run_command_line(WordArray({"setlens", "1", "1"}));
    QVMstdin = saved;
    std::fclose(f);
  }
  SetGlob();
  char tmpl[] = "/tmp/tarnbench-maps-XXXXXX";
  const std::string dir = mkdtemp(tmpl) ? tmpl : "/tmp";

  double x = 0.3, y = 0.2;
  const double pdm = ns_per_call(1000000, [&] {
    double pot, ax, ay, xx, yy, xy, yx;
    potdefmag(x, y, pot, ax, ay, xx, yy, xy, yx);
    keep(pot + ax + xx);
    x += 1e-7;
  });
  std::printf("potdefmag: %6.0f ns per point\n", pdm);

  const double points = 1000.0 * 1000.0;
  const std::vector<std::string> grid = {"-2", "2", "1000", "-2", "2", "1000"};
  auto with = [&](std::vector<std::string> head) {
    head.insert(head.end(), grid.begin(), grid.end());
    return head;
  };
  for (int type : {2, 3}) {
    const double ns = timed(plotkappa, with({"plotkappa", dir + "/k", std::to_string(type)}));
    std::printf("plotkappa 1000 x 1000 (%s): %6.0f ns per point = %4.2f potdefmag\n", type == 2 ? "binary" : "FITS",
                ns / points, ns / points / pdm);
  }
  const double maps = timed(plotmaps, with({"plotmaps", dir + "/m"}));
  std::printf("plotmaps 1000 x 1000 (8 FITS maps): %6.0f ns per point = %4.2f potdefmag\n", maps / points,
              maps / points / pdm);

  // plotmag: one image search per source; against find_img over the same sources.
  const int n = 40;
  const double mag = timed(plotmag, {"plotmag", "-0.2", "0.2", std::to_string(n), "-0.2", "0.2", std::to_string(n),
                                     dir + "/pm", "2"});
  long k = 0;
  const double fi = ns_per_call(n * n, [&] {
    int m = 0;
    Mat list;
    find_img(m, list, -0.2 + 0.4 * (k / n) / (n - 1), -0.2 + 0.4 * (k % n) / (n - 1));
    ++k;
  });
  std::printf("plotmag %d x %d: %8.1f us per point = %4.2f find_img (%.1f us)\n", n, n, mag / (n * n) / 1000,
              mag / (n * n) / fi, fi / 1000);
  for (const char* f : {"/k", "/m-pot.fits", "/m-defx.fits", "/m-defy.fits", "/m-xx.fits", "/m-yy.fits",
                        "/m-xy.fits", "/m-yx.fits", "/m-mu.fits", "/pm"})
    std::remove((dir + f).c_str());
  rmdir(dir.c_str());
}
