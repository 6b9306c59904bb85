// Cost of one rebuild of the image plane, split into its stages: evaluation of the nodes,
// merging of coincident nodes into vertices, and the triangulation. At a realistic size
// the merge is also compared with the plain first-match scan of the vertices found so far.
#include <chrono>
#include <cmath>
#include <string>
#include <vector>

#include "bench/bench.h"
#include "core/lens_model.h"
#include "imageplane/grid.h"
#include "shell/commands.h"
#include "shell/fatal.h"
#include "shell/settings.h"
#include "shell/startup.h"
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

void run(int n1, int n2, int reps, bool compare_scan) {
  SetVar("ngrid1", 0, n1);
  SetVar("ngrid2", 0, n2);
  SetGlob();
  dogrid();
  double total = 0, mesh = 0, tri = 0;
  for (int i = 0; i < reps; ++i) {
    auto t0 = std::chrono::steady_clock::now();
    dogrid();
    total += ms_since(t0);
    t0 = std::chrono::steady_clock::now();
    grid2tri();
    mesh += ms_since(t0);
    // The triangulator alone on the same vertices and holes (without the segments).
    const triangulateio& o = TWtri.out;
    triangulateio in, out;
    in.numberofpoints = o.numberofpoints;
    in.numberofpointattributes = o.numberofpointattributes;
    in.pointlist = o.pointlist;
    in.pointattributelist = o.pointattributelist;
    in.holelist = o.holelist;
    in.numberofholes = o.numberofholes;
    t0 = std::chrono::steady_clock::now();
    triangulate("zBepQ", in, out);
    tri += ms_since(t0);
  }
  total /= reps;
  mesh /= reps;
  tri /= reps;
  std::vector<double> xy;
  collect(TWgrid.top, xy);
  std::printf("dogrid %dx%d: %zu nodes, %d vertices, %d triangles\n", n1, n2, xy.size() / 2,
              TWtri.out.numberofpoints, TWtri.out.numberoftriangles);
  std::printf("  whole rebuild %9.3f ms: evaluation %9.3f ms, merging and segments %9.3f ms, "
              "triangulation %9.3f ms\n",
              total, total - mesh, mesh - tri, tri);
  if (!compare_scan) return;
  const auto t0 = std::chrono::steady_clock::now();
  const int nv = linear_scan(xy, settings.xmatch);
  const double scan = ms_since(t0);
  std::printf("  linear-scan merge (inline formula) %9.3f ms for %d vertices; "
              "(merging and segments) / scan = %.4f\n",
              scan, nv, (mesh - tri) / scan);
}
}  // namespace

void bench_grid() {
  // An isothermal ellipsoid with shear: b 1, e 0.3 at 20 deg, shear 0.1 at -40 deg, core 0.05.
  start_bench_lens("alpha 1 0 0 0.3 20 0.1 -40 0.05 0 1\n0 0 0 0 0 0 0 0 0 0\n");
  SetVar("gridlo1", 0, 0.05);

  run(20, 20, 20, false);    // the default grid
  run(100, 100, 3, true);    // about 10,000 nodes
  run(160, 160, 2, true);    // about 26,000 nodes
}
