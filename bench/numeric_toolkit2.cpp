// Costs of the Fourier transforms and of one simplex step.
#include <cmath>
#include <vector>

#include "bench/bench.h"
#include "numeric/fft.h"
#include "numeric/minimize.h"
#include "numeric/random.h"

void bench_numeric_toolkit2();

namespace {

// The reference for a simplex step: one inline evaluation of the same objective.
double rosenbrock_sum(const Vec& p, int n) {
  double f = 0.0;
  for (int j = 1; j < n; j++) {
    const double a = 1 - p[j], b = p[j + 1] - p[j] * p[j];
    f += a * a + 100 * b * b;
  }
  return f;
}

}  // namespace

void bench_numeric_toolkit2() {
  long seed = -1;

  // Complex transform of 1024 values, forward and back (so the data stay bounded).
  const long nn = 1024;
  std::vector<double> data(2 * nn);
  for (double& x : data) x = ran1(seed) - 0.5;
  const double t_four1 = ns_per_call(2000, [&] {
    four1(data.data(), nn, 1);
    four1(data.data(), nn, -1);
    for (double& x : data) x *= 1.0 / nn;
    keep(data[3]);
  }) / 2.0;
  const double nlogn = nn * std::log2(static_cast<double>(nn));
  std::printf("four1 1024 complex       : %10.1f ns  (%.2f ns per N log2 N)\n", t_four1, t_four1 / nlogn);

  // Real transform of 4096 values, forward and back.
  const long nr = 4096;
  std::vector<double> real(nr);
  for (double& x : real) x = ran1(seed) - 0.5;
  const double t_realft = ns_per_call(1000, [&] {
    realft(real.data(), nr, 1);
    realft(real.data(), nr, -1);
    for (double& x : real) x *= 2.0 / nr;
    keep(real[5]);
  }) / 2.0;
  std::printf("realft 4096 real         : %10.1f ns  (%.2f ns per N log2 N)\n", t_realft,
              t_realft / (nr * std::log2(static_cast<double>(nr))));

  // Two-dimensional real transform of a 128 x 128 map, forward and back.
  const long n2 = 128, n3 = 128;
  Tensor3 map(1, 1, 1, n2, 1, n3);
  Mat speq(1, 1, 1, 2 * n2);
  for (long i = 0; i < n2 * n3; i++) map.data()[i] = ran1(seed) - 0.5;
  const double t_rlft3 = ns_per_call(100, [&] {
    rlft3(map, speq, 1, n2, n3, 1);
    rlft3(map, speq, 1, n2, n3, -1);
    for (long i = 0; i < n2 * n3; i++) map.data()[i] *= 2.0 / (n2 * n3);
    keep(map.data()[7]);
  }) / 2.0;
  std::printf("rlft3 128 x 128 real     : %10.1f ns  (%.2f ns per N log2 N)\n", t_rlft3,
              t_rlft3 / (n2 * n3 * std::log2(static_cast<double>(n2 * n3))));

  // One simplex step (a reflection through amotry) in ten dimensions, against one inline
  // evaluation of the objective.
  const int ndim = 10;
  auto f = [&](const Vec& p) { return rosenbrock_sum(p, ndim); };
  Mat p(1, ndim + 1, 1, ndim);
  Vec y(1, ndim + 1), psum(1, ndim), ptry(1, ndim), v(1, ndim);
  for (int i = 1; i <= ndim + 1; i++) {
    for (int j = 1; j <= ndim; j++) v[j] = p[i][j] = -1.0 + 0.1 * (i == j + 1) + 0.01 * j;
    y[i] = f(v);
  }
  for (int j = 1; j <= ndim; j++) {
    double s = 0.0;
    for (int i = 1; i <= ndim + 1; i++) s += p[i][j];
    psum[j] = s;
  }
  int ihi = 1;
  const double t_step = ns_per_call(200000, [&] {
    keep(amotry(p, y, psum, ndim, f, ihi, -1.0, ptry));
    ihi = ihi % (ndim + 1) + 1;
  });
  const double t_eval = ns_per_call(200000, [&] { keep(rosenbrock_sum(v, ndim)); v[1] += 1e-12; });
  std::printf("amotry step, 10-D        : %10.1f ns  (ratio to one inline evaluation %.2f)\n", t_step,
              t_step / t_eval);
}
