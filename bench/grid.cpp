// Cost of one rebuild of the image plane, split into its stages: evaluation of the nodes,
// merging of coincident nodes into vertices, the triangulation, the critical curves and the
// catalogue; the default build also as a number of potdefmag calls on the same lens. The
// triangulation is set against the route that inserts every segment into a constrained
// triangulation of the points. At a realistic size
// the merge is also compared with the plain first-match scan of the vertices found so far.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <string>
#include <vector>

#include "app/startup.h"
#include "bench/bench.h"
#include "core/lens_model.h"
#include "imageplane/catalog.h"
#include "imageplane/critcurves.h"
#include "imageplane/grid.h"
#include "models/evaluator.h"
#include "shell/commands.h"
#include "shell/fatal.h"
#include "shell/settings.h"
#include "shell/vars.h"

namespace {
double ms_since(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
}

// Positions of the main grid's nodes in the order the mesh numbers them (each node, then
// its subgrid).
void collect(const gnode* first, std::vector<double>& xy) {
  for (const gnode* g = first; g; g = g->next) {
    xy.push_back(g->x);
    xy.push_back(g->y);
    if (g->subgrid) collect(g->subgrid, xy);
  }
}

// The merge as a linear scan: each node joins the first earlier vertex within tol in both
// coordinates. Returns the number of vertices.
int linear_scan(const std::vector<double>& xy, double tol) {
  std::vector<double> v;
  for (size_t i = 0; i < xy.size(); i += 2) {
    bool found = false;
    for (size_t k = 0; k < v.size() && !found; k += 2)
      found = std::fabs(xy[i] - v[k]) < tol && std::fabs(xy[i + 1] - v[k + 1]) < tol;
    if (!found) {
      v.push_back(xy[i]);
      v.push_back(xy[i + 1]);
    }
  }
  return static_cast<int>(v.size() / 2);
}

// Time of one call of eval(x, y) on the loaded lens, at points spread over the grid's range
// (the fastest of several repetitions, as the grid figures are means of whole builds).
template <class Eval>
double call_ms(Eval&& eval) {
  const double r = settings.gridhi1 > 0 ? settings.gridhi1 : 2.0;
  std::vector<double> xy(2048);
  for (size_t i = 0; i < xy.size(); i += 2) {
    const double t = 0.37 * static_cast<double>(i), f = static_cast<double>(i % 97) / 97.0;
    xy[i] = r * f * std::cos(t);
    xy[i + 1] = r * f * std::sin(t);
  }
  double best = 1e300;
  for (int rep = 0; rep < 10; ++rep) {
    size_t k = 0;
    best = std::min(best, ns_per_call(20000, [&] {
      keep(eval(xy[k], xy[k + 1]));
      k = (k + 2) & 2047;
    }));
  }
  return best * 1e-6;
}

double potdefmag_ms() {
  return call_ms([](double x, double y) {
    double a, b, c, d, e, f, g;
    potdefmag(x, y, a, b, c, d, e, f, g);
    return a + b + c + d + e + f + g;
  });
}

// The critical-curve search's evaluation.
double hessian_ms() {
  return call_ms([](double x, double y) {
    double d, e, f, g;
    potdefmag_hessian(x, y, d, e, f, g);
    return d + e + f + g;
  });
}

void run(int n1, int n2, int reps, bool compare_scan) {
  SetVar("ngrid1", 0, n1);
  SetVar("ngrid2", 0, n2);
  SetGlob();
  dogrid();
  double total = 0, mesh = 0, tri = 0, cdt = 0, crit = 0, cat = 0;
  // The mesh and the triangulator alone (on the build's own input: points, segments and
  // holes) are timed within the same round as the rebuild, so that they run amid the same
  // other work as inside it.
  triangulateio scratch;
  triangulate("zBepQ", TWtri.in, scratch);
  for (int i = 0; i < reps; ++i) {
    auto t0 = std::chrono::steady_clock::now();
    dogrid();
    total += ms_since(t0);
    t0 = std::chrono::steady_clock::now();
    find_crit();
    crit += ms_since(t0);
    t0 = std::chrono::steady_clock::now();
    docatalog();
    cat += ms_since(t0);
    t0 = std::chrono::steady_clock::now();
    grid2tri();
    mesh += ms_since(t0);
    t0 = std::chrono::steady_clock::now();
    triangulate("zBepQ", TWtri.in, scratch);
    tri += ms_since(t0);
    t0 = std::chrono::steady_clock::now();
    triangulate_constrained(TWtri.in, scratch);
    cdt += ms_since(t0);
  }
  total /= reps;
  mesh /= reps;
  tri /= reps;
  crit /= reps;
  cat /= reps;
  cdt /= reps;
  std::vector<double> xy;
  collect(TWgrid.top, xy);
  const size_t nodes = xy.size() / 2;
  const double eval = total - mesh - crit - cat, call = potdefmag_ms();
  std::printf("dogrid %dx%d: %zu nodes, %d vertices, %d triangles\n", n1, n2, nodes,
              TWtri.out.numberofpoints, TWtri.out.numberoftriangles);
  std::printf("  whole rebuild %9.3f ms: evaluation %9.3f ms, merging and segments %9.3f ms, "
              "triangulation %9.3f ms, critical curves %9.3f ms, catalogue %9.3f ms\n",
              total, eval, mesh - tri, tri, crit, cat);
  std::printf("  node evaluation: %.2f potdefmag calls per node (one call %.1f ns; second derivatives "
              "alone %.1f ns)\n",
              eval / call / static_cast<double>(nodes), call * 1e6, hessian_ms() * 1e6);
  std::printf("  mesh: merging and segments %.1f ns per node, triangulation %.1f ns per vertex; "
              "together %.0f potdefmag calls\n",
              (mesh - tri) * 1e6 / static_cast<double>(nodes), tri * 1e6 / TWtri.out.numberofpoints, mesh / call);
  std::printf("  triangulation %.3f ms, with every segment inserted into the constrained triangulation "
              "%.3f ms (ratio %.2f)\n",
              tri, cdt, tri / cdt);
  if (n1 == 20 && n2 == 20) std::printf("default grid build: %.0f potdefmag calls\n", total / call);
  if (!compare_scan) return;
  const auto t1 = std::chrono::steady_clock::now();
  const int nv = linear_scan(xy, settings.xmatch);
  const double scan = ms_since(t1);
  std::printf("  linear-scan merge (inline formula) %9.3f ms for %d vertices; "
              "(merging and segments) / scan = %.4f\n",
              scan, nv, (mesh - tri) / scan);
}
}  // namespace

void bench_grid() {
  // An isothermal ellipsoid with shear: b 1, e 0.3 at 20 deg, shear 0.1 at -40 deg, core 0.05.
  start_bench_lens("alpha 1 0 0 0.3 20 0.1 -40 0.05 0 1\n0 0 0 0 0 0 0 0 0 0\n");
  SetVar("gridlo1", 0, 0.05);

  run(20, 20, 200, false);   // the default grid
  run(100, 100, 3, true);    // about 10,000 nodes
  run(160, 160, 2, true);    // about 26,000 nodes
}
