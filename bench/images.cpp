// Cost of finding the images of a point source on a built grid (a four-image isothermal
// ellipsoid with shear and core), and of the grid build with its critical curves and
// source catalogue.
#include <chrono>
#include <array>
#include <cmath>
#include <vector>

#include "app/startup.h"
#include "bench/bench.h"
#include "core/lens_model.h"
#include "imageplane/catalog.h"
#include "imageplane/critcurves.h"
#include "imageplane/grid.h"
#include "imageplane/images.h"
#include "models/evaluator.h"
#include "numeric/constants.h"
#include "numeric/random.h"
#include "shell/commands.h"
#include "shell/fatal.h"
#include "shell/vars.h"

namespace {
double us_since(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - t0).count();
}
}  // namespace

void bench_images() {
  start_bench_lens("alpha 1 0 0 0.3 20 0.06 55 0.05 0 1\n0 0 0 0 0 0 0 0 0 0\n");
  SetGlob();

  // Grid build, and the share of critical curves and catalogue.
  const int reps = 10;
  double build = 0, crit = 0, cat = 0;
  for (int i = 0; i < reps; ++i) {
    auto t0 = std::chrono::steady_clock::now();
    dogrid();
    build += us_since(t0);
    t0 = std::chrono::steady_clock::now();
    find_crit();
    crit += us_since(t0);
    t0 = std::chrono::steady_clock::now();
    docatalog();
    cat += us_since(t0);
  }
  std::printf("dogrid (default grid, %d tiles, %d critical points): %9.1f us, of which find_crit %8.1f us,"
              " docatalog %8.1f us\n",
              TWtri.out.numberoftriangles, TWcrit.ncrit, build / reps, crit / reps, cat / reps);

  // One lens evaluation, the unit of the solver's work.
  long seed = -7;
  double x = 0.3, y = 0.2;
  const double pdm_ns = ns_per_call(200000, [&] {
    double pot, ax, ay, xx, yy, xy, yx;
    potdefmag(x, y, pot, ax, ay, xx, yy, xy, yx);
    keep(pot + ax);
    x += 1e-9;
  });

  // Sources spread over the caustic region (five or three images), and sources within
  // 1% of the tangential caustic (found along rays by bisection on det A).
  std::vector<std::array<double, 2>> spread, near;
  for (int k = 0; k < 400; ++k) spread.push_back({(ran2(seed) - 0.5) * 0.5, (ran2(seed) - 0.5) * 0.5});
  for (int k = 0; k < 400; ++k) {
    const double t = 2 * kPi * (k + 0.5) / 400, ct = std::cos(t), st = std::sin(t);
    auto det = [&](double r) {
      double pot, ax, ay, xx, yy, xy, yx;
      potdefmag(r * ct, r * st, pot, ax, ay, xx, yy, xy, yx);
      return (1 - xx) * (1 - yy) - xy * yx;
    };
    double a = 0.6, b = 1.8;
    const bool fa = det(a) > 0;
    for (int it = 0; it < 60; ++it) ((det(0.5 * (a + b)) > 0) == fa ? a : b) = 0.5 * (a + b);
    double pot, ax, ay, xx, yy, xy, yx;
    potdefmag(a * ct, a * st, pot, ax, ay, xx, yy, xy, yx);
    const double u = a * ct - ax, v = a * st - ay, s = (k % 2 ? 0.99 : 1.01);
    near.push_back({u * s, v * s});
  }
  for (int pass = 0; pass < 3; ++pass) {
    const auto& src = pass == 1 ? near : spread;
    // Pass 2: a source at another redshift (model-wide scale factor 0.9).
    TWmod.scale = pass == 2 ? 0.9 : 1.0;
    long images = 0;
    size_t i = 0;
    const double ns = ns_per_call(4000, [&] {
      int n = 0;
      Mat list;
      const auto& p = src[i++ % src.size()];
      find_img(n, list, p[0], p[1]);
      images += n;
    });
    std::printf("find_img, %s: %8.1f us per call (%.2f images per source), = %6.0f lens evaluations of "
                "%5.0f ns\n",
                pass == 0   ? "sources over the caustic region"
                : pass == 1 ? "sources within 1% of the caustic"
                            : "caustic region, scale factor 0.9",
                ns / 1000,
                images / 4000.0, ns / pdm_ns, pdm_ns);
  }
  TWmod.scale = 1.0;

  // The findimg command line as a script runs it (refresh, search, grid check, output), on
  // the default grid and on a 300 by 300 one: the check must not walk the grid's nodes.
  FILE* null = std::fopen("/dev/null", "w");
  FILE* saved = QVMstdout;
  QVMstdout = null;
  double per_line[2] = {};
  const int steps[2] = {20, 300};
  for (int k = 0; k < 2; ++k) {
    SetVar("ngrid1", 0, steps[k]);
    SetVar("ngrid2", 0, steps[k]);
    SetGlob();
    dogrid();
    const WordArray line({"findimg", "0.05", "0.03"});
    per_line[k] = fastest_ns(3, 500, [&] { run_command_line(line); });
  }
  QVMstdout = saved;
  std::fclose(null);
  std::printf("findimg command line: %8.1f us on the default grid, %8.1f us on a 300 by 300 grid\n",
              per_line[0] / 1000, per_line[1] / 1000);
}
