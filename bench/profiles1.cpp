// Cost of one class evaluation (component frame) for the softened power law, the NFW
// family and a tabulated NFW; for the numerical classes also the integrand calls per
// evaluation.
#include <cmath>
#include <cstdio>
#include <vector>

#include "bench/bench.h"
#include "bench/profile_bench.h"
#include "models/classes.h"
#include "models/component.h"
#include "models/elliptical_pattern.h"
#include "models/tab.h"
#include "numeric/constants.h"
#include "shell/settings.h"

namespace {

}  // namespace

void bench_profiles1() {
  settings = Settings();
  settings.potflag = 1;
  settings.inttol = 1e-6;
  settings.alphanorm = 1;
  const std::vector<BenchPoint> pts = bench_points(1024, 12345UL);

  // Isothermal ellipsoid, alpha = 1, closed form, against the deflection and second
  // derivatives written inline.
  bench_component(1.0, 0.3, 0.05, 0, 1.0);
  size_t k = 0;
  const double q = 0.7, s = 0.05, v = std::sqrt(1 - q * q);
  const double inline_ns = ns_per_call(2000000, [&] {
    const BenchPoint& p = pts[k++ % pts.size()];
    const double psi = std::sqrt(q * q * (s * s + p.x * p.x) + p.y * p.y);
    const double ax = q / v * std::atan(v * p.x / (psi + s)), ay = q / v * std::atanh(v * p.y / (psi + q * q * s));
    const double W = psi + s, D = psi * (W * W + v * v * p.x * p.x);
    keep(ax + ay + q * (psi * W - q * q * p.x * p.x) / D + q * (s * W + p.x * p.x) / D - q * p.x * p.y / D +
         p.x * ax + p.y * ay - 0.5 * q * s * std::log(W * W + v * v * p.x * p.x));
  });
  bench_class("alpha, isothermal ellipsoid (closed form)", 2000000, pts, modelclass::alpha, inline_ns);

  bench_component(1.0, 0.0, 0.05, 0, 0.5);
  bench_class("alpha 0.5, circular (closed form)", 1000000, pts, modelclass::alpha);
  bench_component(1.0, 0.3, 0.05, 0, 0.5);
  bench_class("alpha 0.5, elliptical (numerical)", 20000, pts, modelclass::alpha);

  // NFW, circular against the closed forms written inline.
  bench_component(0.5, 0.0, 1.0, 0, 0);
  k = 0;
  const double nfw_inline = ns_per_call(2000000, [&] {
    const BenchPoint& p = pts[k++ % pts.size()];
    const double r = std::hypot(p.x, p.y), X = r, g = X * X - 1;
    const double F = X < 1 ? std::atanh(std::sqrt(-g)) / std::sqrt(-g) : std::atan(std::sqrt(g)) / std::sqrt(g);
    const double L = std::log(X / 2), A = 2 * (L + F) / (X * X), B = 2 * (1 - F) / g - A;
    const double h = X < 1 ? L * L - std::pow(std::atanh(std::sqrt(-g)), 2) : L * L + std::pow(std::atan(std::sqrt(g)), 2);
    const double c = p.x / r, d = p.y / r;
    keep(A * p.x + A * p.y + A * d * d + B * c * c + A * c * c + B * d * d + (B - A) * c * d + h);
  });
  bench_class("nfw, circular (closed form)", 2000000, pts, modelclass::nfw, nfw_inline);
  bench_component(0.5, 0.3, 1.0, 0, 0);
  bench_class("nfw, elliptical (numerical)", 20000, pts, modelclass::nfw);

  // nfwT from a table of the elliptical NFW (e 0.1..0.5, r 0.02..4 logarithmic, 0..90 deg).
  tablist.clear();
  LensTable& t = AddTab();
  t.name = "nfw";
  t.b = 0.5;
  t.s = 1.0;
  const double lo[3] = {0.1, 0.02, 0.0}, hi[3] = {0.5, 4.0, 90.0};
  const int cnt[3] = {5, -40, 19};
  t.set_axes(lo, hi, cnt);
  for (int i = 1; i <= t.count[0]; ++i) {
    bench_component(0.5, t.node(TAB_E, i), 1.0, 0, 0);
    for (int j = 1; j <= t.count[1]; ++j)
      for (int l = 1; l <= t.count[2]; ++l) {
        const double r = t.node(TAB_R, j), th = t.node(TAB_T, l) * kPi / 180;
        DerivVector o;
        modelclass::nfw(o, r * std::cos(th), r * std::sin(th));
        for (int m = 0; m < 6; ++m) t.at(m, i, j, l) = o[m + 1];
      }
  }
  bench_component(0.5, 0.3, 1.0, 0, 0);
  bench_class("nfwT, elliptical (table)", 2000000, pts, modelclass::nfwT);
  tablist.clear();
}
