// Cost of one class evaluation (component frame) for the Sersic family, the cusped NFW and
// a convergence-map component, with the integrand calls per numerical evaluation; and the
// time of one kap2lens solution of a 512 x 512 map.
#include <chrono>
#include <cmath>
#include <cstdio>
#include <string>
#include <unistd.h>
#include <vector>

#include "bench/bench.h"
#include "bench/profile_bench.h"
#include "models/classes.h"
#include "models/component.h"
#include "models/elliptical_pattern.h"
#include "models/kapmap.h"
#include "models/tab.h"
#include "numeric/alloc.h"
#include "numeric/constants.h"
#include "shell/fatal.h"
#include "shell/settings.h"

void bench_profiles3();

namespace {

}  // namespace

void bench_profiles3() {
  settings = Settings();
  settings.potflag = 1;
  settings.inttol = 1e-6;
  settings.alphanorm = 1;
  const std::vector<BenchPoint> pts = bench_points(512, 98765UL);

  // The circular Sersic n = 4 convergence and deflection written inline (the lower
  // incomplete Gamma function by its series, 40 terms): the cost of one closed-form point.
  size_t k = 0;
  const double inline_ns = ns_per_call(200000, [&] {
    const BenchPoint& p = pts[k++ % pts.size()];
    const double r = std::hypot(p.x, p.y), a = 7.669248 * std::pow(r, 0.25);
    double term = 1.0 / 8, sum = term;
    for (int j = 1; j < 40; ++j) sum += (term *= a / (8 + j));
    keep(std::exp(-a) + 8 * sum * std::exp(-a) * r);
  });

  bench_component(1.0, 0.0, 1.0, 0, 4.0);
  bench_class("sersic n = 4, circular (closed form)", 100000, pts, modelclass::sersic, inline_ns);
  bench_component(1.0, 0.3, 1.0, 0, 4.0);
  bench_class("sersic n = 4, elliptical (numerical)", 2000, pts, modelclass::sersic, inline_ns);
  bench_component(1.0, 0.3, 1.0, 0, 1.0);
  bench_class("sersic n = 1, elliptical (numerical)", 2000, pts, modelclass::sersic, inline_ns);
  bench_component(1.0, 0.3, 1.0, 0, 0.0);
  bench_class("devauc, elliptical (numerical)", 2000, pts, modelclass::devauc, inline_ns);
  bench_class("expdisk, elliptical (numerical)", 2000, pts, modelclass::expdisk, inline_ns);
  bench_class("gaus, elliptical (numerical)", 2000, pts, modelclass::gaus, inline_ns);
  bench_class("devaucA, elliptical (one pseudo-Jaffe)", 200000, pts, modelclass::devaucA, inline_ns);
  bench_class("expdiskA, elliptical (eleven Kuzmin disks)", 200000, pts, modelclass::expdiskA, inline_ns);

  // sersicT from a table of the elliptical n = 4 profile (e 0.1..0.5, r 0.02..4
  // logarithmic, 0..90 degrees).
  tablist.clear();
  LensTable& t = AddTab();
  t.name = "sersic";
  t.b = 1.0;
  t.s = 1.0;
  t.alpha = 4.0;
  const double lo[3] = {0.1, 0.02, 0.0}, hi[3] = {0.5, 4.0, 90.0};
  const int cnt[3] = {5, -30, 10};
  t.set_axes(lo, hi, cnt);
  for (int i = 1; i <= t.count[0]; ++i) {
    bench_component(1.0, t.node(TAB_E, i), 1.0, 0, 4.0);
    for (int j = 1; j <= t.count[1]; ++j)
      for (int l = 1; l <= t.count[2]; ++l) {
        const double r = t.node(TAB_R, j), th = t.node(TAB_T, l) * kPi / 180;
        DerivVector o;
        modelclass::sersic(o, r * std::cos(th), r * std::sin(th));
        for (int m = 0; m < 6; ++m) t.at(m, i, j, l) = o[m + 1];
      }
  }
  bench_component(1.0, 0.3, 1.0, 0, 4.0);
  bench_class("sersicT n = 4, elliptical (table)", 2000000, pts, modelclass::sersicT, inline_ns);
  tablist.clear();

  // Cusped NFW: closed-form slope 1 and a general slope.
  bench_component(0.5, 0.0, 1.0, 0, 1.3);
  bench_class("nfwcusp 1.3, circular (inner integrals)", 2000, pts, modelclass::nfwcusp);
  bench_component(0.5, 0.3, 1.0, 0, 1.0);
  bench_class("nfwcusp 1, elliptical (numerical)", 2000, pts, modelclass::nfwcusp);
  bench_component(0.5, 0.3, 1.0, 0, 1.3);
  bench_class("nfwcusp 1.3, elliptical (numerical)", 100, pts, modelclass::nfwcusp);

  // A 512 x 512 convergence map (a softened isothermal sphere) through kap2lens, then one
  // "kapmap" component reading it.
  const int n = 512;
  Mat kap(1, n, 1, n);
  for (int i = 1; i <= n; ++i)
    for (int j = 1; j <= n; ++j) {
      const double x = -4 + 8.0 * (i - 1) / (n - 1), y = -4 + 8.0 * (j - 1) / (n - 1);
      kap[i][j] = 0.5 / std::sqrt(0.04 + x * x + y * y);
    }
  char path[] = "/tmp/tarnbench_kapmapXXXXXX";
  const int fd = mkstemp(path);
  if (fd >= 0) close(fd);
  FILE* saved = QVMstdout;
  QVMstdout = std::fopen("/dev/null", "w");
  const auto t0 = std::chrono::steady_clock::now();
  do_kap2lens(n, n, kap, path, -4, 4, -4, 4);
  const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
  reset_kapmaps();
  thekmap.Nkmap = 1;
  thekmap.slot.assign(2, KapMap());
  read_kapmap_file(path, thekmap.slot[1]);
  std::fclose(QVMstdout);
  QVMstdout = saved;
  std::remove(path);
  std::printf("%-46s: %12.1f ms\n", "kap2lens, 512 x 512 map (1024 x 1024 grid)", ms);
  bench_component(1.0, 0.0, 0.0, 0, 1.0);
  bench_class("kapmap component (bilinear in a 512^2 map)", 5000000, pts, modelclass::kapmap);
  reset_kapmaps();
}
