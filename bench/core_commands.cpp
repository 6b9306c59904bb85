// Cost of the model-questioning commands against their unit of work: magcrosssec per
// node or sample against one image search, maketab per table point against one lens
// evaluation, and the load time of a large table file.
#include <unistd.h>

#include <array>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "app/startup.h"
#include "bench/bench.h"
#include "core/lens_model.h"
#include "core/magcrosssec.h"
#include "core/tables.h"
#include "imageplane/grid.h"
#include "imageplane/images.h"
#include "io/qvmfile.h"
#include "models/evaluator.h"
#include "models/tab.h"
#include "numeric/constants.h"
#include "numeric/random.h"
#include "shell/commands.h"
#include "shell/fatal.h"
#include "shell/vars.h"

namespace {

double seconds_of(void (*cmd)(const WordArray&), std::vector<std::string> words) {
  const auto t0 = std::chrono::steady_clock::now();
  cmd(WordArray(std::move(words)));
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// Loads a one-component model from a model file in the scratch folder.
void load_model(const std::string& dir, const char* line) {
  const std::string path = dir + "/model.dat";
  {
    FileHandle f(std::fopen(path.c_str(), "w"));
    std::fprintf(f, "1 1\n%s\n0 0 0 0 0 0 0 0 0 0\n", line);
  }
  run_command_line(WordArray({"setlens", path}));
  SetGlob();
}

}  // namespace

void bench_core_commands() {
  start_program(stdin, stdout);
  quietflag = 1;
  char dir_template[] = "/tmp/tarnbench.XXXXXX";
  const std::string dir = mkdtemp(dir_template);
  FILE* devnull = std::fopen("/dev/null", "w");
  FILE* out = QVMstdout;
  QVMstdout = devnull;

  // ---- magcrosssec: an isothermal ellipsoid with shear (four-image region) ----
  SetVar("gridflag", 0, 1);
  SetVar("omitcore", 0, 0.05);
  SetVar("gridhi1", 0, 3);
  load_model(dir, "alpha 1 0.0123 0.0071 0.3 20 0.06 55 0.05 0 1");
  long seed = -3;
  std::vector<std::array<double, 2>> src;
  for (int k = 0; k < 400; ++k) src.push_back({(ran2(seed) - 0.5) * 1.2, (ran2(seed) - 0.5) * 1.2});
  size_t k = 0;
  const double find_ns = ns_per_call(2000, [&] {
    int n;
    Mat list;
    const auto& s = src[k++ % src.size()];
    find_img(n, list, s[0], s[1]);
    keep(n);
  });
  k = 0;
  const double func_ns = ns_per_call(2000, [&] {
    int n;
    double mu;
    const auto& s = src[k++ % src.size()];
    magcrosssec_func(s[0], s[1], n, mu);
    keep(mu);
  });
  const std::string base = dir + "/c";
  const double t1 =
      seconds_of(magcrosssec, {"magcrosssec", base, "-0.6", "0.6", "30", "-0.6", "0.6", "30", "2", "6", "1", "2000"});
  // The same positions searched directly: the samples gather where images are costly
  // to find (near the caustics), so the command is compared with searches of its points.
  std::vector<std::array<double, 2>> pts;
  for (const char* f : {"-map.dat", "-area.dat"}) {
    std::ifstream in(base + f);
    double u, v;
    std::string rest;
    while (in >> u >> v && std::getline(in, rest)) pts.push_back({u, v});
  }
  const auto t0 = std::chrono::steady_clock::now();
  for (const auto& s : pts) {
    int n;
    Mat list;
    find_img(n, list, s[0], s[1]);
    keep(n);
  }
  const double direct = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  const double calls = static_cast<double>(pts.size());
  std::fprintf(out, "find_img: %9.1f us per call; magcrosssec_func: %9.1f us (ratio %.3f)\n", find_ns / 1e3,
               func_ns / 1e3, func_ns / find_ns);
  std::fprintf(out, "magcrosssec (30 x 30 nodes, %.0f samples): %9.1f us per node or sample; find_img at the same"
               " points %9.1f us (ratio %.3f)\n",
               calls - 900, 1e6 * t1 / calls, 1e6 * direct / calls, t1 / direct);

  // ---- maketab of a numerically integrated elliptical profile ----
  SetVar("gridflag", 0, 0);
  load_model(dir, "alpha 1 0 0 0 0 0 0 0.1 0 0.5");
  const int ne = 2, nr = 30, nt = 30;
  const double t2 = seconds_of(maketab, {"maketab", dir + "/t.bin", "0.3", "0.35", std::to_string(ne), "0.05",
                                         "5", std::to_string(-nr), std::to_string(nt)});
  load_model(dir, "alpha 1 0 0 0.3 -90 0 0 0.1 0 0.5");
  int p = 0;
  const double pdm_ns = ns_per_call(ne * nr * nt, [&] {
    const double r = 0.05 * std::pow(100.0, (p % nr) / (nr - 1.0)), t = (p / nr % nt) * kPi / 2 / (nt - 1);
    ++p;
    double pot, ax, ay, xx, yy, xy, yx;
    potdefmag(r * std::cos(t), r * std::sin(t), pot, ax, ay, xx, yy, xy, yx);
    keep(pot + ax);
  });
  const double per_point = 1e9 * t2 / (ne * nr * nt);
  std::fprintf(out, "maketab (alpha 0.5, e 0.3): %9.1f us per point; potdefmag %9.1f us (ratio %.3f)\n",
               per_point / 1e3, pdm_ns / 1e3, per_point / pdm_ns);

  // ---- loadtab of a 43 MB table ----
  {
    LensTable t;
    t.name = "alpha";
    t.b = t.s = 1;
    const double lo[3] = {0, 0.01, 0}, hi[3] = {0.5, 10, 90};
    const int n[3] = {10, -300, 300};
    t.set_axes(lo, hi, n);
    FileHandle f(std::fopen((dir + "/big.bin").c_str(), "wb"));
    write_lens_table(f, t);
  }
  const double t3 = seconds_of(loadtab, {"loadtab", dir + "/big.bin"});
  std::fprintf(out, "loadtab (%.1f MB): %.3f s\n", 224e-6 + 10 * 300 * 300 * 48e-6, t3);
  tablist.clear();

  QVMstdout = out;
  std::fclose(devnull);
  const std::string rm = "rm -rf '" + dir + "'";
  if (std::system(rm.c_str()) != 0) { /* best effort */ }
}
