// Clump substructure: the tree against a flat sum, the exact mode, the cached small grids
// and the far-zone set-up. Each line prints the ratio that the targets are stated in.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "app/startup.h"
#include "bench/bench.h"
#include "core/lens_model.h"
#include "models/component.h"
#include "models/evaluator.h"
#include "models/substructure.h"
#include "numeric/constants.h"
#include "shell/commands.h"
#include "shell/fatal.h"
#include "shell/settings.h"
#include "shell/vars.h"
#include "sim/clumps.h"

void bench_clumps();

namespace {

constexpr int kPoints = 256;

template <class F>
double best_ns(long n, F&& fn) {
  double best = 1e300;
  for (int r = 0; r < 7; ++r) best = std::min(best, ns_per_call(n, fn));
  return best;
}

struct Pt {
  double x, y;
};

std::vector<Pt> points(double R) {
  std::vector<Pt> p;
  unsigned long s = 12345;
  auto u = [&] {
    s = s * 6364136223846793005UL + 1442695040888963407UL;
    return static_cast<double>(s >> 11) / 9007199254740992.0;
  };
  while (p.size() < kPoints) {
    const double x = R * (2 * u() - 1), y = R * (2 * u() - 1);
    if (std::hypot(x, y) < R) p.push_back({x, y});
  }
  return p;
}

void run(const std::string& cmds) { run_bench_commands(cmds); }

// The softened sphere with N point clumps between 0 and 3.
void sphere(long N) {
  char line[128];
  std::snprintf(line, sizeof line, "1 %.10g 1 0 star 0\n", 9.26901 / N);
  run("set gridflag = 0\nsetlens 1 1\nalpha 1 0 0 0 0 0 0 0.05 0 1\n0 0 0 0 0 0 0 0 0 0\n"
      "setclumps 1 0 3\n" + std::string(line));
}

struct Mass {
  double x, y, m;
};

// Reference: the six quantities of every clump by a flat loop, no trigonometric calls.
double flat_sum(const std::vector<Mass>& v, double x, double y, double* o) {
  double p = 0, ax = 0, ay = 0, xx = 0, xy = 0;
  for (const Mass& c : v) {
    const double dx = x - c.x, dy = y - c.y, r2 = dx * dx + dy * dy;
    const double k = c.m / r2, k2 = k / r2;
    p += c.m * std::log(r2);
    ax += k * dx;
    ay += k * dy;
    xx += k2 * (dx * dx - dy * dy);
    xy += k2 * dx * dy;
  }
  o[0] = p / (2 * kPi), o[1] = ax / kPi, o[2] = ay / kPi, o[3] = -xx / kPi, o[4] = xx / kPi, o[5] = -2 * xy / kPi;
  return o[0] + o[1];
}

// One point mass the way a profile routine evaluates it: radius, angle and its trig.
double inline_ptmass(double m, double x, double y) {
  const double r = std::hypot(x, y), t = std::atan2(y, x);
  const double phi = m / kPi * std::log(r), a = m / (kPi * r), g = m / (kPi * r * r);
  const double c = std::cos(t), s = std::sin(t), c2 = std::cos(2 * t), s2 = std::sin(2 * t);
  return phi + a * c + a * s - g * c2 + g * c2 - g * s2;
}

}  // namespace

void bench_clumps() {
  FILE* sink = std::fopen("/dev/null", "w");
  start_program(stdin, sink);
  quietflag = 1;
  const std::vector<Pt> pts = points(2.5);
  // Inline point mass: per call.
  long k = 0;
  const double t_pm = best_ns(200000, [&] {
    const Pt& p = pts[static_cast<size_t>(k++ & (kPoints - 1))];
    keep(inline_ptmass(1e-3, p.x + 0.01, p.y));
  });
  for (long N : {1000L, 10000L, 100000L}) {
    sphere(N);
    const ClumpPop& pop = TWclump.clumpdat[1];
    const ClumpNode* root = pop.root.get();
    std::vector<Mass> flat;
    for (const FlatClump& c : root->own_pool->order) flat.push_back({c.x, c.y, c.prof.m});
    const double n = static_cast<double>(flat.size());
    const long calls = std::max(20L, 4000000L / N);
    k = 0;
    const double t_ref = best_ns(calls, [&] {
      const Pt& p = pts[static_cast<size_t>(k++ & (kPoints - 1))];
      double o[6];
      keep(flat_sum(flat, p.x, p.y, o));
    });
    settings.leafsize = settings.leaferr = 0;
    const double t_exact = best_ns(calls, [&] {
      const Pt& p = pts[static_cast<size_t>(k++ & (kPoints - 1))];
      DerivVector d;
      TreeCalc(root, d, p.x, p.y);
      keep(d[1]);
    });
    settings.leafsize = 0.4;
    settings.leaferr = 1e30;
    TWclump.treecount = 0;
    for (const Pt& p : pts) {
      DerivVector d;
      TreeCalc(root, d, p.x, p.y);
    }
    const double per_eval = static_cast<double>(TWclump.treecount) / kPoints;
    const double t_tree = best_ns(calls * 10, [&] {
      const Pt& p = pts[static_cast<size_t>(k++ & (kPoints - 1))];
      DerivVector d;
      TreeCalc(root, d, p.x, p.y);
      keep(d[1]);
    });
    settings.leafsize = settings.leaferr = 0;
    const double t_draw = best_ns(3, [&] { do_drawclumps(-1, -1, -1); });
    std::fflush(stdout);
    std::printf("N=%6.0f  reference/clump / inline ptmass %.2f (<= 0.5)   exact / reference %.2f (<= 2)\n", n,
                t_ref / n / t_pm, t_exact / t_ref);
    std::printf("          tree: N/treecount %.1f (>= 30 at 1e4)   reference / tree %.1f (>= 3 at 1e4, 10 at 1e5)"
                "   draw %.0f ns/clump\n",
                n / per_eval, t_ref / t_tree, t_draw / n);
  }
  // Cached small grid against a one-ptmass model.
  sphere(10000);
  Mat img(1, 1, 1, 2);
  const double lims[4] = {-0.01, 0.01, -0.01, 0.01};
  for (int t = 0; t < 32; ++t) {  // an image position whose grid no clump covers
    img[1][1] = 1.2 * std::cos(0.7 * t);
    img[1][2] = 1.2 * std::sin(0.7 * t);
    subsave_build(img, 1, lims, 21, 21, nullptr, true);
    const SubsaveGrid& g = TWclump.subsavedat[1];
    if (g.on && g.xhi - g.xlo > 0.015 && g.yhi - g.ylo > 0.015) break;
  }
  const SubsaveGrid& g = TWclump.subsavedat[1];
  if (!g.on) std::printf("(the cached grid is off: a clump covers the image)\n");
  std::vector<Pt> near = points(1.0);
  for (Pt& p : near) p = {g.xlo + 0.5 * (p.x + 1) * (g.xhi - g.xlo), g.ylo + 0.5 * (p.y + 1) * (g.yhi - g.ylo)};
  k = 0;
  const double t_cache = best_ns(200000, [&] {
    const Pt& p = near[static_cast<size_t>(k++ & (kPoints - 1))];
    double a, b, c, d, e, f, g;
    potdefmag(p.x, p.y, a, b, c, d, e, f, g);
    keep(a + b);
  });
  subsave_free();
  TWclump.clumpdat[1] = ClumpPop();  // the one-ptmass model has no clumps
  run("set gridlo1 = 0.01\nsetlens 1 1\nptmass 0.5 0.3 0 0 0 0 0 0 0 0\n0 0 0 0 0 0 0 0 0 0\n");
  const double t_one = best_ns(200000, [&] {
    const Pt& p = near[static_cast<size_t>(k++ & (kPoints - 1))];
    double a, b, c, d, e, f, g;
    potdefmag(p.x, p.y, a, b, c, d, e, f, g);
    keep(a + b);
  });
  std::printf("cached-grid potdefmag / one-ptmass potdefmag %.2f (<= 2)\n", t_cache / t_one);
  // Far-zone set-up against Nrad Nang evaluations of the parent.
  run("setlens 1 1\nalpha 1 0 0 0 0 0 0 0.05 0 1\n0 0 0 0 0 0 0 0 0 0\nfarclumps 1 2.5 4\n");
  sphere(1000);
  initgal(1);
  const double t_setup = best_ns(1, [&] { clump_far_setup(1); });
  const double t_par = best_ns(1, [&] {
    initgal(1);
    DerivVector& R = TWmod.R1;
    double s = 0;
    for (int i = 0; i < 1000; ++i)
      for (int j = 0; j < 1000; ++j) {
        ellipse(R, 2.5 + 0.0005 * i, 0.001 * j);
        s += R[4];
      }
    keep(s);
  });
  std::printf("far-zone set-up / Nrad Nang parent evaluations %.2f (<= 2)\n", t_setup / t_par);
  run("farclumps 0 0 0\n");
  QVMstdout = stdout;
  std::fclose(sink);
}
