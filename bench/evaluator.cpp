// Cost of one whole-model evaluation (potdefmag) against the same closed forms written
// inline, at random positions. Each figure is the fastest of several repetitions, which
// keeps the comparison steady on a busy machine.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <random>
#include <vector>

#include "bench/bench.h"
#include "core/lens_model.h"
#include "models/classes.h"
#include "models/component.h"
#include "models/evaluator.h"
#include "numeric/constants.h"
#include "shell/settings.h"

void bench_evaluator();

namespace {

constexpr int kPoints = 1024;
constexpr int kRepeats = 15;

// Fastest of kRepeats timings of n calls of fn.
template <class F>
double best_ns(long n, F&& fn) {
  double best = 1e300;
  for (int r = 0; r < kRepeats; ++r) best = std::min(best, ns_per_call(n, fn));
  return best;
}

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
  return best_ns(calls, [&] {
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
    const double gm = 0.01 * i, tg = 13.0 * i * kPi / 90.0;
    comps.push_back({i % 2 == 1, i % 2 ? 0.5 + 0.05 * i : 0.02 * i, 0.1 * i, -0.07 * i, gm * std::cos(tg),
                     gm * std::sin(tg)});
  }
  long k = 0;
  return best_ns(calls, [&] {
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

// The isothermal ellipsoid of the benchmark model (b 1 at (0.1, -0.2), e 0.3 at 20 degrees,
// core 0.05, shear 0.05 at 70 degrees) written inline: potential, deflection and second
// derivatives in the component frame, turned back into the image frame, plus the shear.
// With alphanorm 1 the class multiplies b and s by f = sqrt((1 + q^2)/2)/q: the inline form
// takes them already multiplied.
double time_inline_isothermal(const std::vector<Pt>& pts, long calls, double f) {
  const double b = f, xg = 0.1, yg = -0.2, q = 0.7, s = 0.05 * f, t = 20.0 * kPi / 180.0;
  const double ct = std::cos(t), st = std::sin(t), gc = 0.05 * std::cos(70.0 * kPi / 90.0),
               gs = 0.05 * std::sin(70.0 * kPi / 90.0);
  const double q2 = q * q, u = 1 - q2, v = std::sqrt(u), qb = q * b, c1 = (1 + q) * s;
  long k = 0;
  return best_ns(calls, [&] {
    const Pt& p = pts[static_cast<size_t>(k++ & (kPoints - 1))];
    const double dx = p.x - xg, dy = p.y - yg;
    const double x = -st * dx + ct * dy, y = -ct * dx - st * dy;
    const double psi = std::sqrt(q2 * (s * s + x * x) + y * y);
    const double ax = qb / v * std::atan(v * x / (psi + s)), ay = qb / v * std::atanh(v * y / (psi + q2 * s));
    const double W = psi + s, E = W * W + u * x * x, iD = 1.0 / (psi * E);
    const double txx = qb * (psi * W - q2 * x * x) * iD, tyy = qb * (s * W + x * x) * iD, txy = -qb * x * y * iD;
    const double pot = x * ax + y * ay - 0.5 * qb * s * std::log(E / (c1 * c1));
    const double s2 = st * st, c2 = ct * ct, sc = st * ct;
    const double o1 = pot + gc * (dx * dx - dy * dy) / 2 + gs * dx * dy;
    const double o2 = -st * ax - ct * ay + gc * dx + gs * dy;
    const double o3 = ct * ax - st * ay + gs * dx - gc * dy;
    const double o4 = s2 * txx + 2 * sc * txy + c2 * tyy + gc;
    const double o5 = c2 * txx - 2 * sc * txy + s2 * tyy - gc;
    const double o6 = -sc * txx + (s2 - c2) * txy + sc * tyy + gs;
    keep(o1 + o2 + o3 + o4 + o5 + o6 + o6);
  });
}

// A model of n isothermal ellipsoids with shear, at n redshifts between 0.2 and 1.5 (one
// redshift when planes is false), loaded as the model commands load it.
void build_plane_model(int n, bool planes) {
  settings.zlens = 0.5;
  settings.zsrc = 2.0;
  settings.zref = 2.0;
  settings.gridflag = 0;
  settings.galcoords = 1;
  settings.shrcoords = 2;
  settings.maxellip = 0.99;
  settings.maxshear = 1.0;
  TWref = ModelSet();
  TWref.Ngal = n;
  TWref.Nref = 1;
  TWref.ref.reset(1, 1);
  LensModel& m = TWref.ref[1];
  m.allocate(n);
  for (int i = 1; i <= n; ++i) {
    m.names[i] = "alpha";
    const double p[11] = {0, i == 1 ? 1.0 : 0.2, 0.3 * i - 0.5, 0.2 - 0.15 * i, 0.3, 20.0 * i, 0.02, 40.0 * i, 0.05, 0, 1};
    for (int k = 1; k <= 10; ++k) m.p[i][k] = p[k];
    m.z[i] = planes ? 0.2 + 1.3 * (i - 1) / (n > 1 ? n - 1 : 1) : 0.5;
    m.tau[i] = 1.0;
  }
  TWgal.allocate(n);
  initLOS(m.z);
  initmodel(m, 0);
}

}  // namespace

void bench_evaluator() {
  InitModels();
  settings.potflag = 1;
  settings.clumpmode = 1;
  settings.alphanorm = 0;  // the alpha class takes b and s as given (the inline form below)
  const std::vector<Pt> pts = random_points();
  const long calls = 400000;

  std::printf("%-34s %10s %10s %8s\n", "model", "potdefmag", "inline", "ratio");
  double t1 = 0, r1 = 0;
  for (int n : {1, 2, 5, 10}) {
    build_model(n);
    const double t = time_potdefmag(pts, calls / n);
    const double r = time_inline(pts, calls / n, n);
    std::printf("%2d component(s) (ptmass/convrg+shr) %8.1f ns %8.1f ns %8.2f\n", n, t, r, t / r);
    if (n == 1) {
      t1 = t;
      r1 = r;
    } else if (n == 10) {
      // Slope of each column from 1 to 10 components: what an added component costs beyond
      // its formulas.
      const double st = (t - t1) / 9.0, sr = (r - r1) / 9.0;
      std::printf(" fixed cost per added component     %8.1f ns (%.1f ns per component against %.1f ns inline)\n",
                  st - sr, st, sr);
    }
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
  setp(1, 2, 0.1);
  setp(1, 3, -0.2);
  setp(1, 4, 0.3);
  setp(1, 5, 20.0);
  setp(1, 6, 0.05);
  setp(1, 7, 70.0);
  setp(1, 8, 0.05);
  setp(1, 10, 1.0);
  const double t = time_potdefmag(pts, calls);
  const double r = time_inline_isothermal(pts, calls, 1.0);
  std::printf(" 1 component (alpha 1, e 0.3, shr)  %8.1f ns %8.1f ns %8.2f\n", t, r, t / r);
  settings.alphanorm = 1;
  const double tn = time_potdefmag(pts, calls);
  const double rn = time_inline_isothermal(pts, calls, std::sqrt((1.0 + 0.49) / 2.0) / 0.7);
  std::printf(" the same with alphanorm 1           %8.1f ns %8.1f ns %8.2f\n", tn, rn, tn / rn);
  settings.alphanorm = 0;

  // Multi-plane recursion against one plane of the same components.
  quietflag = 1;
  std::printf("%-34s %10s %10s %8s\n", "isothermal ellipsoids", "planes", "one plane", "ratio");
  for (int n : {2, 5, 20}) {
    build_plane_model(n, true);
    const double tp = time_potdefmag(pts, calls / n);
    build_plane_model(n, false);
    const double t1 = time_potdefmag(pts, calls / n);
    std::printf("%2d planes                          %8.1f ns %8.1f ns %8.2f\n", n, tp, t1, tp / t1);
  }
  quietflag = 0;
}
