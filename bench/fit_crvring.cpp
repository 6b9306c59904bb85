// Cost of the curve and ring terms on their fixtures (the isothermal lens b 1, core 1e-7):
// the curve term per evaluation split into the grid build of the trial lens and the image
// searches, against 36 point-source searches of the same sources and one grid build; and
// one call of the ring ray function with its diagnostic lines sent to a null stream,
// against one lens evaluation, with the calls of one ring evaluation.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <unistd.h>

#include "app/startup.h"
#include "bench/bench.h"
#include "core/lens_model.h"
#include "fit/curves_rings.h"
#include "imageplane/grid.h"
#include "imageplane/images.h"
#include "models/evaluator.h"
#include "numeric/constants.h"
#include "shell/commands.h"
#include "shell/fatal.h"
#include "shell/settings.h"
#include "shell/vars.h"

namespace {
void write_text(const std::string& path, const std::string& text) {
  FILE* f = std::fopen(path.c_str(), "w");
  std::fputs(text.c_str(), f);
  std::fclose(f);
}
std::string circle(double r, int n) {
  std::string t = std::to_string(n) + "\n";
  for (int k = 0; k < n; ++k) {
    const double a = (k % 36) * 10 * kPi / 180;
    t += strformat("%.17g %.17g 0.01\n", r * std::cos(a), r * std::sin(a));
  }
  return t;
}
}  // namespace

void bench_fit_crvring() {
  start_program(stdin, stdout);
  quietflag = 1;
  SetVar("gridflag", 0, 0);
  SetVar("chimode", 0, 0);
  SetVar("tempfiles", 0, 0);
  SetGlob();
  const std::string dir = "/tmp/tarnbench_crv_" + std::to_string(::getpid());
  if (std::system(("mkdir -p " + dir).c_str()) != 0) return;
  write_text(dir + "/model.dat", "2 1\nalpha 1 0 0 0 0 0 0 1e-7 0 1\nring 1 0 0 0 0 0 0 0 0 0\n"
                                 "0 0 0 0 0 0 0 0 0 0\n0 0 0 0 0 0 0 0 0 0\n");
  write_text(dir + "/ref1.dat", circle(1.1, 37));
  write_text(dir + "/ref2.dat", circle(0.9, 37));
  write_text(dir + "/try.dat", circle(1.1, 36));
  std::string ring = "12\n";
  for (int j = 0; j < 12; ++j) {
    const double phi = 30.0 * j, s = std::sin(phi * kPi / 180), c = std::cos(phi * kPi / 180);
    ring += strformat("0 0 %g %.17g 0.01 1 0\n", phi, 1 - 0.05 * s + 0.02 * c);
  }
  write_text(dir + "/ring.dat", ring);
  run_command_line(WordArray({"setlens", dir + "/model.dat"}));
  run_command_line(WordArray({"crvpts", "1", "1", dir + "/ref1.dat", dir + "/ref2.dat"}));
  run_command_line(WordArray({"crvpts", "1", "2", dir + "/try.dat"}));
  const LensModel& m = TWref.ref[1];

  // Curve term: the trial lens with its grid, then the searches on it.
  const int reps = 20;
  const double build = ns_per_call(reps, [&] { keep(initmodel(m.names, m.p, m.z, 1)); });
  const double load = ns_per_call(reps, [&] { keep(initmodel(m.names, m.p, m.z, 0)); });
  initmodel(m.names, m.p, m.z, 1);
  const double term = ns_per_call(reps, [&] { keep(chicurve()); });
  // The same 36 sources searched directly.
  double su[36], sv[36];
  for (int k = 0; k < 36; ++k) {
    const double a = k * 10 * kPi / 180, x = 1.1 * std::cos(a), y = 1.1 * std::sin(a);
    double pot, ax, ay, xx, yy, xy, yx;
    potdefmag(x, y, pot, ax, ay, xx, yy, xy, yx);
    su[k] = x - ax;
    sv[k] = y - ay;
  }
  const double searches = ns_per_call(reps, [&] {
    for (int k = 0; k < 36; ++k) {
      int n = 0;
      Mat list;
      find_img(n, list, su[k], sv[k]);
      keep(n);
    }
  });
  const double grid = build - load;
  std::printf("chicurve, circle fixture   : %9.1f us per evaluation = grid build %9.1f us + searches %9.1f us;"
              " floor (dogrid + 36 find_img) %9.1f us, ratio %.2f\n",
              (grid + term) / 1000, grid / 1000, term / 1000, (grid + searches) / 1000,
              (grid + term) / (grid + searches));

  // Ring ray function with its three lines sent to a null stream.
  run_command_line(WordArray({"ringdat", dir + "/ring.dat"}));
  TSringwork.diag = std::fopen("/dev/null", "w");
  initmodel(m.names, m.p, m.z, 0);
  TSringwork.glob_iring = 1;
  TSringwork.glob_jring = 3;
  double lam = 0.9;
  const long n = 200000;
  const double func = ns_per_call(n, [&] {
    keep(ring_func(lam));
    lam += 1e-9;
  });
  double x = 0.3, y = 0.9;
  const double lens = ns_per_call(n, [&] {
    double pot, ax, ay, xx, yy, xy, yx;
    potdefmag(x, y, pot, ax, ay, xx, yy, xy, yx);
    keep(pot + ax);
    x += 1e-9;
  });
  TSring.Ringvary[1][1] = TSring.Ringvary[1][2] = 1;
  const long before = TSringwork.nfunc;
  const double one = ns_per_call(1, [&] { keep(onering()); });
  std::printf("ring_func, null stream     : %9.1f ns per call = %5.1f lens evaluations of %5.1f ns;"
              " onering: %ld ring_func calls, %9.1f ms\n",
              func, func / lens, lens, TSringwork.nfunc - before, one / 1e6);
  std::fclose(TSringwork.diag);
  TSringwork.diag = nullptr;
  if (std::system(("rm -rf " + dir).c_str()) != 0) return;
}
