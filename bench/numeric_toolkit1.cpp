// Per-call costs of the integrators, distances and special functions, each beside the
// cost of a closed form of the same quantity.
#include <cmath>
#include <cstdio>

#include "bench/bench.h"
#include "numeric/cosmology.h"
#include "numeric/integrate.h"
#include "numeric/interp.h"
#include "numeric/specfunc.h"
#include "shell/settings.h"

void bench_numeric_toolkit1();

namespace {

void row(const char* name, double ns, double ref_ns) {
  std::printf("%-40s: %10.1f ns  (x%.1f closed form)\n", name, ns, ns / ref_ns);
}

}  // namespace

void bench_numeric_toolkit1() {
  const Settings saved = settings;
  settings.inttol = 1e-6;
  settings.omega = 0.3;
  settings.lambda = 0.7;
  double v = 0.3;  // varied a little per call so nothing is hoisted out of the loops
  auto vary = [&v] { v = v < 0.9 ? v + 1e-7 : 0.3; };

  const double cosine = ns_per_call(2000000, [&] { vary(); keep(1 - std::cos(3 * v)); });
  const double i1 = ns_per_call(20000, [&] {
    vary();
    keep(integrate1([](double x) { return std::sin(x); }, 0, 3 * v));
  });
  row("integrate1 sin over [0, 3v]", i1, cosine);

  // Six integrals in one pass, the shape of the elliptical mass-profile integrals.
  const double n6 = ns_per_call(5000, [&] {
    vary();
    double y[6];
    integrateN(
        [](double u, const double*, double* d) {
          const double w = 1 / (1 + u * u);
          d[0] = w; d[1] = u * w; d[2] = u * u * w; d[3] = w * w; d[4] = u * w * w; d[5] = std::sqrt(u + 1) * w;
        },
        6, y, 0, 1 + v);
    keep(y[0] + y[5]);
  });
  const double atanf = ns_per_call(2000000, [&] { vary(); keep(std::atan(1 + v)); });
  row("integrateN, 6 integrals over [0, 1+v]", n6, atanf);

  const double qb = ns_per_call(20000, [&] {
    vary();
    keep(qromb([](double x) { return std::exp(-x * x); }, 0, 1 + v));
  });
  const double erff = ns_per_call(2000000, [&] { vary(); keep(std::erf(1 + v)); });
  row("qromb exp(-x^2) over [0, 1+v]", qb, erff);

  const double pm = ns_per_call(20000, [&] { vary(); keep(PMdist(0.5 * v, 2 * v + 0.5)); });
  settings.lambda = 0;
  const double pm0 = ns_per_call(2000000, [&] { vary(); keep(PMdist(0.5 * v, 2 * v + 0.5)); });
  settings.lambda = 0.7;
  row("PMdist flat (integrated) / lambda=0 form", pm, pm0);

  const double tg = ns_per_call(2000000, [&] { vary(); keep(std::tgamma(v + 1.3)); });
  row("gamfunc", ns_per_call(2000000, [&] { vary(); keep(gamfunc(v + 1.3)); }), tg);
  row("gamfunc below -3 (reflection)", ns_per_call(2000000, [&] { vary(); keep(gamfunc(-4.5 + v)); }), tg);
  const double lg = ns_per_call(2000000, [&] { vary(); keep(std::lgamma(v + 1.3)); });
  row("gammln", ns_per_call(2000000, [&] { vary(); keep(gammln(v + 1.3)); }), lg);
  row("digamm", ns_per_call(2000000, [&] { vary(); keep(digamm(v + 1.3)); }), lg);
  const double ex = ns_per_call(2000000, [&] { vary(); keep(1 - std::exp(-3 * v)); });
  row("gammp(1, x)", ns_per_call(500000, [&] { vary(); keep(gammp(1.0, 3 * v)); }), ex);
  const double e1 = ns_per_call(200000, [&] { vary(); keep(std::expint(-v)); });
  row("gamQfunc(0, x) (integrated E1)", ns_per_call(5000, [&] { vary(); keep(gamQfunc(0, v)); }), e1);

  // 2F1(1, 1; 2; x) = -ln(1 - x)/x on each branch of hypgeo.
  auto lnform = [](double x) { return -std::log1p(-x) / x; };
  const double ln = ns_per_call(2000000, [&] { vary(); keep(lnform(0.5 * v)); });
  row("hypgeo series, |x| <= 0.5", ns_per_call(500000, [&] { vary(); keep(hypgeo(1, 1, 2, 0.5 * v)); }), ln);
  row("hypgeo limit form, c = a + b, x ~ 0.99",
      ns_per_call(200000, [&] { vary(); keep(hypgeo(1, 1, 2, 0.98 + 0.01 * v)); }), ln);
  row("hypgeo connection formula, x ~ 0.99",
      ns_per_call(200000, [&] { vary(); keep(hypgeo(1, 1, 2.3, 0.98 + 0.01 * v)); }), ln);
  row("hypgeo Pfaff, x = -300 (cusped NFW mass)",
      ns_per_call(200000, [&] { vary(); keep(hypgeo(1.7, 1.7, 2.7, -300 - v)); }), ln);
  row("hypergeom differential equation, x ~ 0.7",
      ns_per_call(20000, [&] { vary(); keep(hypergeom(1, 1, 2, 0.6 + 0.1 * v)); }), ln);
  row("appellF1ser", ns_per_call(50000, [&] { vary(); keep(appellF1ser(0.6, 0.8, -0.6, 1.6, 0.5 * v, 0.3)); }), ln);

  Vec xt(1, 200), yt(1, 200);
  for (int i = 1; i <= 200; ++i) {
    xt[i] = i;
    yt[i] = std::sqrt(static_cast<double>(i));
  }
  double out;
  const double lin = ns_per_call(2000000, [&] { vary(); keep(std::sqrt(100 * v + 1)); });
  row("linint2 with a near hint (200 entries)",
      ns_per_call(2000000, [&] { vary(); keep(linint2(xt, yt, 200, 30, out, 100 * v + 1)); }), lin);
  settings = saved;
}
