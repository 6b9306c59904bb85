// Shared pieces of the mass-profile benchmarks: fixed positions, loading a component into
// the current-component record, and timing one class routine with its integrand calls.
#pragma once

#include <cstdio>
#include <vector>

#include "bench/bench.h"
#include "models/component.h"
#include "models/derivs.h"
#include "models/elliptical_pattern.h"

struct BenchPoint {
  double x, y;
};

// Fixed pseudo-random positions in [-2, 2]^2 (a plain linear congruential sequence).
inline std::vector<BenchPoint> bench_points(int n, unsigned long seed) {
  std::vector<BenchPoint> p(static_cast<size_t>(n));
  unsigned long s = seed;
  auto next = [&s] {
    s = s * 6364136223846793005UL + 1442695040888963407UL;
    return static_cast<double>(s >> 11) / 9007199254740992.0 * 4.0 - 2.0;
  };
  for (auto& q : p) q = {next(), next()};
  return p;
}

// Loads a component straight into `cur` (the class routines are timed in their own frame).
inline void bench_component(double b, double e, double s, double a, double al) {
  cur = CurrentComponent();
  cur.b = b;
  cur.ep = e;
  cur.ss = s;
  cur.aa = a;
  cur.al = al;
}

// Runs class routine f over the positions n times; prints ns per call, the ratio to an
// inline formula when one is given, and the integrand calls per call of numerical classes.
template <class F>
void bench_class(const char* label, long n, const std::vector<BenchPoint>& pts, F&& f, double inline_ns = 0) {
  size_t i = 0;
  const long calls0 = elliptical_pattern_stats.integrand_calls;
  const double ns = ns_per_call(n, [&] {
    const BenchPoint& p = pts[i++ % pts.size()];
    DerivVector o;
    f(o, p.x, p.y);
    keep(o[2] + o[3] + o[4]);
  });
  const double per = static_cast<double>(elliptical_pattern_stats.integrand_calls - calls0) / static_cast<double>(n);
  std::printf("%-46s: %12.1f ns", label, ns);
  if (inline_ns > 0) std::printf("  (%.2f x inline formula)", ns / inline_ns);
  if (per > 0) std::printf("  %.0f integrand calls per evaluation", per);
  std::printf("\n");
}
