// Cost of one whole-model evaluation (potdefmag) against the same closed forms written
// inline, at random positions.
#include <cmath>
#include <cstdio>
#include <random>
#include <vector>

#include "bench/bench.h"
#include "models/classes.h"
#include "models/component.h"
#include "models/evaluator.h"
#include "shell/settings.h"

void bench_evaluator();

namespace {

constexpr int kPoints = 1024;

struct Pt {
  double x, y;
};

std::vector<Pt> random_points() {
  std::mt19937_64 gen(12345);
  std::uniform_real_distribution<double> u(-2.0, 2.0);
  std::vector<Pt> p(kPoints);
  for (Pt& q : p) q = {u(gen), u(gen)};
  return p;
}

// One model: n components of alternating point masses and sheets, each with shear.
void build_model(int n) {
  TWgal.allocate(n);
  for (int i = 1; i <= n; ++i) {
    setID(i, i % 2 ? "ptmass" : "convrg");
    setp(i, 1, i % 2 ? 0.5 + 0.05 * i : 0.02 * i);
    setp(i, 2, 0.1 * i);
    setp(i, 3, -0.07 * i);
    setp(i, 6, 0.01 * i);
    setp(i, 7, 13.0 * i);
  }
}

double time_potdefmag(const std::vector<Pt>& pts, long calls) {
  long k = 0;
  return ns_per_call(calls, [&] {
    const Pt& p = pts[static_cast<size_t>(k++ & (kPoints - 1))];
    double a, b, c, d, e, f, g;
    potdefmag(p.x, p.y, a, b, c, d, e, f, g);
    keep(a + b + c + d + e + f + g);
  });
}

// The same model evaluated by plain inline code (angles and shear components computed once).
struct InlineComp {
  bool point;
  double b, xg, yg, gc, gs;
};

double time_inline(const std::vector<Pt>& pts, long calls, int n) {
  std::vector<InlineComp> comps;
  for (int i = 1; i <= n; ++i) {
    const double gm = 0.01 * i, tg = 13.0 * i * M_PI / 90.0;
    comps.push_back({i % 2 == 1, i % 2 ? 0.5 + 0.05 * i : 0.02 * i, 0.1 * i, -0.07 * i, gm * std::cos(tg),
                     gm * std::sin(tg)});
  }
  long k = 0;
  return ns_per_call(calls, [&] {
    const Pt& p = pts[static_cast<size_t>(k++ & (kPoints - 1))];
    double o[7] = {};
    for (const InlineComp& c : comps) {
      const double dx = p.x - c.xg, dy = p.y - c.yg;
      if (c.point) {
        const double r2 = dx * dx + dy * dy, b2 = c.b * c.b, r4 = r2 * r2;
        if (r2 > 0) {
          o[0] += 0.5 * b2 * std::log(r2);
          o[1] += b2 * dx / r2;
          o[2] += b2 * dy / r2;
          o[3] += -b2 * (dx * dx - dy * dy) / r4;
          o[4] += b2 * (dx * dx - dy * dy) / r4;
          o[5] += -2 * b2 * dx * dy / r4;
        }
      } else {
        o[0] += c.b * (dx * dx + dy * dy) / 2;
        o[1] += c.b * dx;
        o[2] += c.b * dy;
        o[3] += c.b;
        o[4] += c.b;
      }
      o[0] += c.gc * (dx * dx - dy * dy) / 2 + c.gs * dx * dy;
      o[1] += c.gc * dx + c.gs * dy;
      o[2] += c.gs * dx - c.gc * dy;
      o[3] += c.gc;
      o[4] -= c.gc;
      o[5] += c.gs;
    }
    o[6] = o[5];
    keep(o[0] + o[1] + o[2] + o[3] + o[4] + o[5] + o[6]);
  });
}

}  // namespace

void bench_evaluator() {
  InitModels();
  settings.potflag = 1;
  settings.clumpmode = 1;
  const std::vector<Pt> pts = random_points();
  const long calls = 2000000;

  std::printf("%-34s %10s %10s %8s\n", "model", "potdefmag", "inline", "ratio");
  for (int n : {1, 2, 5, 10}) {
    build_model(n);
    const double t = time_potdefmag(pts, calls / n);
    const double r = time_inline(pts, calls / n, n);
    std::printf("%2d component(s) (ptmass/convrg+shr) %8.1f ns %8.1f ns %8.2f\n", n, t, r, t / r);
  }

  // The isothermal ellipsoid with shear, once its class routine has landed.
  const ModelClass* a = FindModelClass("alpha");
  if (!a || a->evaluate == modelclass::not_built) {
    std::printf("alpha: class routine not built yet\n");
    return;
  }
  TWgal.allocate(1);
  setID(1, "alpha");
  setp(1, 1, 1.0);
  setp(1, 4, 0.3);
  setp(1, 5, 20.0);
  setp(1, 6, 0.05);
  setp(1, 7, 70.0);
  setp(1, 10, 1.0);
  std::printf(" 1 component (alpha, e 0.3, shear)  %8.1f ns\n", time_potdefmag(pts, calls));
}
