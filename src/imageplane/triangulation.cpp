// Constrained Delaunay triangulation through CGAL (exact predicates, crossing segments
// split). The CGAL headers stay inside this one file: they are slow to compile.
#include "imageplane/triangulation.h"

#include <CGAL/Constrained_Delaunay_triangulation_2.h>
#include <CGAL/Exact_predicates_inexact_constructions_kernel.h>
#include <CGAL/Triangulation_face_base_with_info_2.h>
#include <CGAL/Triangulation_vertex_base_with_info_2.h>

#include <cmath>
#include <limits>
#include <unordered_set>
#include <utility>

#include "shell/fatal.h"

namespace {
using K = CGAL::Exact_predicates_inexact_constructions_kernel;
using Vb = CGAL::Triangulation_vertex_base_with_info_2<int, K>;
using Fbi = CGAL::Triangulation_face_base_with_info_2<int, K>;
using Fb = CGAL::Constrained_triangulation_face_base_2<K, Fbi>;
using Tds = CGAL::Triangulation_data_structure_2<Vb, Fb>;
using CDT = CGAL::Constrained_Delaunay_triangulation_2<K, Tds, CGAL::Exact_predicates_tag>;
using Point = CDT::Point;
using VH = CDT::Vertex_handle;
using FH = CDT::Face_handle;

constexpr int kInside = 1, kOutside = 0;

// Marks as outside every face reachable from `start` without crossing a constrained edge.
void flood_outside(CDT& cdt, FH start, std::vector<FH>& stack) {
  if (start->info() == kOutside) return;
  start->info() = kOutside;
  stack.push_back(start);
  while (!stack.empty()) {
    FH f = stack.back();
    stack.pop_back();
    for (int i = 0; i < 3; ++i) {
      if (f->is_constrained(i)) continue;
      FH n = f->neighbor(i);
      if (n->info() == kOutside) continue;
      n->info() = kOutside;
      stack.push_back(n);
    }
  }
}

// Position of point p along segment a-b (0 at a, 1 at b), and its distance from it.
std::pair<double, double> along(double px, double py, double ax, double ay, double bx, double by) {
  const double dx = bx - ax, dy = by - ay, l2 = dx * dx + dy * dy;
  double t = l2 > 0 ? ((px - ax) * dx + (py - ay) * dy) / l2 : 0;
  t = std::min(1.0, std::max(0.0, t));
  const double ex = ax + t * dx - px, ey = ay + t * dy - py;
  return {t, std::sqrt(ex * ex + ey * ey)};
}
}  // namespace

void tri_init(triangulateio& t) { t = triangulateio(); }

void free_tri(triangulateio& t, int flag) {
  std::vector<double> holes;
  int nholes = 0;
  if (flag != 1) {
    holes.swap(t.holelist);
    nholes = t.numberofholes;
  }
  t = triangulateio();
  t.holelist.swap(holes);
  t.numberofholes = nholes;
}

void triangulate(const char* /*switches*/, const triangulateio& in, triangulateio& out) {
  const int n = in.numberofpoints;
  const int na = in.numberofpointattributes;
  for (int s = 0; s < 2 * in.numberofsegments; ++s)
    if (in.segmentlist[s] < 0 || in.segmentlist[s] >= n) fatal("triangulation segment names a vertex that does not exist");

  CDT cdt;
  // Vertex info holds the input index; vertices that CGAL adds where segments cross are
  // marked by kAdded before the constraints go in.
  std::vector<std::pair<Point, int>> pts;
  pts.reserve(static_cast<size_t>(n));
  for (int i = 0; i < n; ++i) pts.emplace_back(Point(in.pointlist[2 * i], in.pointlist[2 * i + 1]), i);
  cdt.insert(pts.begin(), pts.end());

  std::vector<VH> vh(static_cast<size_t>(n));
  for (auto v = cdt.finite_vertices_begin(); v != cdt.finite_vertices_end(); ++v) vh[v->info()] = v;
  for (int i = 0; i < n; ++i)  // coincident input points share one vertex
    if (vh[i] == VH()) vh[i] = cdt.insert(pts[i].first);
  std::unordered_set<const void*> known;
  for (auto v = cdt.finite_vertices_begin(); v != cdt.finite_vertices_end(); ++v) known.insert(&*v);

  for (int s = 0; s < in.numberofsegments; ++s) {
    VH a = vh[in.segmentlist[2 * s]], b = vh[in.segmentlist[2 * s + 1]];
    if (a != b) cdt.insert_constraint(a, b);
  }

  // Vertices added where segments cross come after the input vertices.
  std::vector<VH> added;
  for (auto v = cdt.finite_vertices_begin(); v != cdt.finite_vertices_end(); ++v) {
    if (known.count(&*v)) continue;
    added.push_back(v);
    v->info() = n + static_cast<int>(added.size()) - 1;
  }
  // Coincident input points: every handle now carries the index of the point it kept.

  out = triangulateio();
  out.numberofholes = in.numberofholes;
  out.holelist = in.holelist;
  out.numberofpointattributes = na;
  out.numberofpoints = n + static_cast<int>(added.size());
  out.pointlist.assign(in.pointlist.begin(), in.pointlist.begin() + 2 * n);
  out.pointattributelist.assign(in.pointattributelist.begin(), in.pointattributelist.begin() + na * n);
  for (VH v : added) {
    const double px = v->point().x(), py = v->point().y();
    out.pointlist.push_back(px);
    out.pointlist.push_back(py);
    // Interpolate the attributes along the input segment the new vertex lies on.
    int best = -1;
    double best_d = std::numeric_limits<double>::infinity(), best_t = 0;
    for (int s = 0; s < in.numberofsegments; ++s) {
      const int a = in.segmentlist[2 * s], b = in.segmentlist[2 * s + 1];
      const auto [t, d] = along(px, py, in.pointlist[2 * a], in.pointlist[2 * a + 1], in.pointlist[2 * b],
                                in.pointlist[2 * b + 1]);
      if (d < best_d) {
        best_d = d;
        best_t = t;
        best = s;
      }
    }
    for (int k = 0; k < na; ++k) {
      double value = 0;
      if (best >= 0) {
        const int a = in.segmentlist[2 * best], b = in.segmentlist[2 * best + 1];
        value = (1 - best_t) * in.pointattributelist[na * a + k] + best_t * in.pointattributelist[na * b + k];
      }
      out.pointattributelist.push_back(value);
    }
  }

  if (cdt.dimension() < 2) return;  // no triangles to make

  // Carve: everything inside, then flood from the infinite faces and from each hole.
  for (auto f = cdt.all_faces_begin(); f != cdt.all_faces_end(); ++f) f->info() = kInside;
  std::vector<FH> stack;
  for (auto f = cdt.all_faces_begin(); f != cdt.all_faces_end(); ++f)
    if (cdt.is_infinite(f)) flood_outside(cdt, f, stack);
  for (int h = 0; h < in.numberofholes; ++h) {
    const Point p(in.holelist[2 * h], in.holelist[2 * h + 1]);
    FH f = cdt.locate(p);
    if (f != FH()) flood_outside(cdt, f, stack);
  }

  for (auto f : cdt.finite_face_handles()) {
    if (f->info() != kInside) continue;
    for (int i = 0; i < 3; ++i) out.trianglelist.push_back(f->vertex(i)->info());
    ++out.numberoftriangles;
  }
  for (auto e = cdt.finite_edges_begin(); e != cdt.finite_edges_end(); ++e) {
    FH f = e->first;
    FH g = f->neighbor(e->second);
    if (f->info() == kOutside && g->info() == kOutside) continue;
    out.edgelist.push_back(f->vertex(CDT::cw(e->second))->info());
    out.edgelist.push_back(f->vertex(CDT::ccw(e->second))->info());
    ++out.numberofedges;
  }
}
