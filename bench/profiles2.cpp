// Mass profiles II: ns per class evaluation, one closed-form and one numerical class of
// each family, with the integrand calls of the numerical ones.
#include <cmath>
#include <cstdio>

#include "bench/bench.h"
#include "models/classes.h"
#include "models/component.h"
#include "models/elliptical_pattern.h"
#include "shell/settings.h"

void bench_profiles2();

namespace {

void load(double b, double e, double s, double a, double al) {
  cur = CurrentComponent();
  cur.b = b;
  cur.ep = e;
  cur.ss = s;
  cur.aa = a;
  cur.al = al;
}

void run(const char* what, void (*fn)(DerivVector&, double, double), long n, double b, double e, double s,
         double a, double al) {
  load(b, e, s, a, al);
  const long calls0 = elliptical_pattern_stats.integrand_calls;
  const long ints0 = elliptical_pattern_stats.integrations;
  long i = 0;
  const double ns = ns_per_call(n, [&] {
    DerivVector out;
    const double t = 0.001 * static_cast<double>(i++ % 1000);
    fn(out, 0.3 + t, 0.7 - 0.5 * t);
    keep(out[2] + out[4]);
  });
  const long ints = elliptical_pattern_stats.integrations - ints0;
  if (ints > 0)
    std::printf("  %-44s %12.1f ns   %6.1f integrand calls per evaluation\n", what, ns,
                static_cast<double>(elliptical_pattern_stats.integrand_calls - calls0) / static_cast<double>(ints));
  else
    std::printf("  %-44s %12.1f ns\n", what, ns);
}

}  // namespace

void bench_profiles2() {
  settings.potflag = 1;
  settings.inttol = 1e-6;
  settings.alphanorm = 1;
  // Inline reference: the point mass written out, the cheapest closed form.
  long i = 0;
  const double ref = ns_per_call(2000000, [&] {
    const double x = 0.3 + 0.001 * static_cast<double>(i++ % 1000), y = 0.7, r2 = x * x + y * y;
    keep(std::log(r2) + x / r2 + (x * x - y * y) / (r2 * r2));
  });
  std::printf("  %-44s %12.1f ns\n", "inline formula (point mass)", ref);
  // Closed-form special potentials.
  run("kuzdisk (elliptical, closed form)", modelclass::kuzdisk, 2000000, 1, 0.3, 0.5, 0, 0);
  run("mpole m = 3 (third derivatives)", modelclass::mpole, 2000000, 0, 0.1, 0, 3, 1.3);
  // Power-law variants: closed form and numerical.
  run("tsis n = 4 (closed form)", modelclass::tsis, 2000000, 1, 0, 0, 1.5, 4);
  run("softpow (potential by integration)", modelclass::softpow, 20000, 1, 0, 0.3, 0, 0);
  // Two-slope profiles.
  run("nuker circular (incomplete Beta)", modelclass::nuker, 200000, 0.5, 0, 1.0, 4.0, 0.5);
  run("nuker elliptical e = 0.3", modelclass::nuker, 2000, 0.5, 0.3, 1.0, 4.0, 0.5);
  run("cusp elliptical e = 0.3 (alpha 1.5, n 4)", modelclass::cusp, 1000, 0.5, 0.3, 1.0, 4.0, 1.5);
  // Burkert, Jaffe and Hernquist.
  run("hern circular (potential by integration)", modelclass::hern, 20000, 0.5, 0, 1.0, 0, 0);
  settings.potflag = 0;
  run("hern circular (closed deflection)", modelclass::hern, 2000000, 0.5, 0, 1.0, 0, 0);
  settings.potflag = 1;
  run("jaffe elliptical e = 0.3", modelclass::jaffe, 5000, 0.5, 0.3, 1.0, 0, 0);
  run("burkert elliptical e = 0.3", modelclass::burkert, 5000, 0.5, 0.3, 1.0, 0, 0);
}
