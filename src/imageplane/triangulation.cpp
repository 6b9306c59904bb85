// Constrained Delaunay triangulation through CGAL (exact predicates, crossing segments
// split): the plain Delaunay triangulation of the points, carved as it stands when every
// segment is made of its edges, else the constrained one. The CGAL headers stay inside
// this one file: they are slow to compile.
#include "imageplane/triangulation.h"

#include <CGAL/Constrained_Delaunay_triangulation_2.h>
#include <CGAL/Delaunay_triangulation_2.h>
#include <CGAL/Exact_predicates_inexact_constructions_kernel.h>
#include <CGAL/Triangulation_face_base_with_info_2.h>
#include <CGAL/Triangulation_vertex_base_with_info_2.h>

#include <cmath>
#include <limits>
#include <utility>

#include "imageplane/predicates.h"
#include "shell/fatal.h"

namespace {
// Vertex info: the input index, -1 for a vertex CGAL added where two segments cross.
struct VertexIndex {
  int i = -1;
};
// Face info: set when carving reaches the face.
struct FaceMark {
  bool outside = false;
  bool listed = false;  // its edges were listed
};
using K = CGAL::Exact_predicates_inexact_constructions_kernel;

// The kernel with its orientation and in-circle tests replaced by ours (predicates.h):
// the same exact signs, settled in doubles or double-doubles in all but the exactly
// degenerate cases, where the kernel's own tests take over. The corners of a polar grid
// cell are cocircular up to rounding, which sends many in-circle tests past the kernel's
// double-precision filter into interval and exact arithmetic; double-doubles settle
// them at a fraction of the cost. Everything else (constructions, comparisons, the
// exact kernel used for crossing segments) is the kernel's.
struct Traits : K {
  struct Orientation_2 {
    using result_type = CGAL::Orientation;
    CGAL::Orientation operator()(const Point_2& p, const Point_2& q, const Point_2& r) const {
      return static_cast<CGAL::Orientation>(predicates::orientation(p.x(), p.y(), q.x(), q.y(), r.x(), r.y()));
    }
  };
  struct Side_of_oriented_circle_2 {
    using result_type = CGAL::Oriented_side;
    CGAL::Oriented_side operator()(const Point_2& p, const Point_2& q, const Point_2& r, const Point_2& t) const {
      return static_cast<CGAL::Oriented_side>(
          predicates::incircle(p.x(), p.y(), q.x(), q.y(), r.x(), r.y(), t.x(), t.y()));
    }
  };
  Orientation_2 orientation_2_object() const { return {}; }
  Side_of_oriented_circle_2 side_of_oriented_circle_2_object() const { return {}; }
};

}  // namespace

// Point location walks first with plain double orientations and only then with exact
// ones, as CGAL does for its own kernel (it enables this per kernel): the walk, and with
// it the order in which faces are made, stays the same as with the kernel alone.
template <>
struct CGAL::Triangulation_structural_filtering_traits<Traits> {
  using Use_structural_filtering_tag = CGAL::Tag_true;
};

// Crossing segments meet where the kernel alone would place the crossing.
static_assert(CGAL::internal::can_construct_almost_exact_intersection_v<Traits> ==
              CGAL::internal::can_construct_almost_exact_intersection_v<K>);

namespace {
using Vb = CGAL::Triangulation_vertex_base_with_info_2<VertexIndex, Traits>;
using Fbi = CGAL::Triangulation_face_base_with_info_2<FaceMark, Traits>;
using Fb = CGAL::Constrained_triangulation_face_base_2<Traits, Fbi>;
using Tds = CGAL::Triangulation_data_structure_2<Vb, Fb>;
using CDT = CGAL::Constrained_Delaunay_triangulation_2<Traits, Tds, CGAL::Exact_predicates_tag>;
// The plain Delaunay triangulation on the same data structure: where every segment is
// already one of its edges it is the constrained triangulation, and builds faster.
using DT = CGAL::Delaunay_triangulation_2<Traits, Tds>;
using Tr = CGAL::Triangulation_2<Traits, Tds>;  // the common base of both
using Point = CDT::Point;
using VH = CDT::Vertex_handle;
using FH = CDT::Face_handle;

// Work lists kept between calls, so that a rebuild of a mesh of the same size allocates
// nothing here (CGAL's own storage is allocated per triangulation).
struct Scratch {
  std::vector<VH> vh;
  std::vector<VH> added;
  std::vector<FH> stack;
};
Scratch scratch;

// Marks as outside every face reachable from `start` without crossing a constrained edge.
void flood_outside(FH start, std::vector<FH>& stack) {
  if (start->info().outside) return;
  start->info().outside = true;
  stack.push_back(start);
  while (!stack.empty()) {
    FH f = stack.back();
    stack.pop_back();
    for (int i = 0; i < 3; ++i) {
      if (f->is_constrained(i)) continue;
      FH n = f->neighbor(i);
      if (n->info().outside) continue;
      n->info().outside = true;
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

// Empties every list of a record (keeping its storage) and zeroes every count; the hole
// list stays when keep_holes is set.
void empty_record(triangulateio& t, bool keep_holes) {
  t.pointlist.clear();
  t.pointattributelist.clear();
  t.numberofpoints = 0;
  t.numberofpointattributes = 0;
  t.trianglelist.clear();
  t.numberoftriangles = 0;
  t.numberofcorners = 3;
  t.segmentlist.clear();
  t.numberofsegments = 0;
  t.edgelist.clear();
  t.numberofedges = 0;
  if (!keep_holes) {
    t.holelist.clear();
    t.numberofholes = 0;
  }
}

// Inserts the points in the order given, each located from a face of the one before: the
// grid lists its nodes ring by ring (or column by column), which keeps every walk short
// and costs less here than CGAL's spatial sort. The mesh does not depend on the order: the
// Delaunay test is exact and settles cocircular points by a fixed symbolic perturbation.
// Coincident input points share one vertex, which carries the lowest of their indices.
template <class T>
void insert_points(T& tr, const triangulateio& in, std::vector<VH>& vh) {
  const int n = in.numberofpoints;
  vh.resize(static_cast<size_t>(n));
  FH hint;
  for (int i = 0; i < n; ++i) {
    const VH v = tr.insert(Point(in.pointlist[2 * i], in.pointlist[2 * i + 1]), hint);
    vh[static_cast<size_t>(i)] = v;
    hint = v->face();
    if (v->info().i < 0) v->info().i = i;
  }
}

// Marks every segment as constrained edges of the plain Delaunay triangulation, on both
// of their faces: the edge joining its ends, or the chain of edges through the vertices
// lying exactly on it (where a subgrid's nodes sit on a boundary), which is how the
// constrained triangulation splits it too. False (with some marks set) when a segment is
// not made of edges.
bool mark_segments(DT& dt, const triangulateio& in, const std::vector<VH>& vh) {
  if (dt.dimension() < 2) return in.numberofsegments == 0;
  auto mark = [&dt](FH f, int i) {
    f->set_constraint(i, true);
    f->neighbor(i)->set_constraint(dt.mirror_index(f, i), true);
  };
  for (int s = 0; s < in.numberofsegments; ++s) {
    VH a = vh[static_cast<size_t>(in.segmentlist[2 * s])];
    const VH b = vh[static_cast<size_t>(in.segmentlist[2 * s + 1])];
    if (a == b) continue;
    FH f;
    int i;
    if (dt.is_edge(a, b, f, i)) {
      mark(f, i);
      continue;
    }
    while (a != b) {
      VH next;
      if (!dt.includes_edge(a, b, next, f, i)) return false;
      mark(f, i);
      a = next;
    }
  }
  return true;
}

// Inserts the segments into a constrained triangulation of the points, in their order.
void insert_segments(CDT& cdt, const triangulateio& in, const std::vector<VH>& vh) {
  for (int s = 0; s < in.numberofsegments; ++s) {
    const VH a = vh[static_cast<size_t>(in.segmentlist[2 * s])], b = vh[static_cast<size_t>(in.segmentlist[2 * s + 1])];
    if (a != b) cdt.insert_constraint(a, b);
  }
}

// The vertices of the output: the input's, then those added where segments cross (numbered
// after the input's in the triangulation's own order), with attributes interpolated along
// the input segment each lies on.
void list_vertices(Tr& tr, size_t distinct, const triangulateio& in, triangulateio& out, std::vector<VH>& added) {
  const int n = in.numberofpoints;
  const int na = in.numberofpointattributes;
  added.clear();
  if (tr.number_of_vertices() > distinct)
    for (auto v = tr.finite_vertices_begin(); v != tr.finite_vertices_end(); ++v) {
      if (v->info().i >= 0) continue;
      v->info().i = n + static_cast<int>(added.size());
      added.push_back(v);
    }

  empty_record(out, false);
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
}

// Carves the triangulation at its constrained edges and lists its triangles and edges.
void carve_and_list(Tr& tr, const triangulateio& in, triangulateio& out, std::vector<FH>& stack) {
  if (tr.dimension() < 2) return;  // no triangles to make

  // Carve: every face starts inside; flood from the infinite faces and from each hole.
  auto c0 = tr.incident_faces(tr.infinite_vertex()), c = c0;
  do flood_outside(c, stack);
  while (++c != c0);
  for (int h = 0; h < in.numberofholes; ++h) {
    const Point p(in.holelist[2 * h], in.holelist[2 * h + 1]);
    FH g = tr.locate(p);
    if (g != FH()) flood_outside(g, stack);
  }

  out.trianglelist.reserve(3 * tr.number_of_faces());
  out.edgelist.reserve(2 * (tr.number_of_faces() + tr.number_of_vertices()));
  // One pass over the faces gives the triangles and the edges. An edge is listed with the
  // first of its two faces in the pass (CGAL's own edge iterator takes the face at the
  // lower address, which would let the heap's layout choose the orientation of an edge and
  // with it where a critical point is found along it).
  const VH inf = tr.infinite_vertex();
  for (auto f = tr.all_faces_begin(); f != tr.all_faces_end(); ++f) {
    const VH v[3] = {f->vertex(0), f->vertex(1), f->vertex(2)};
    const bool inside = !f->info().outside;
    f->info().listed = true;
    if (inside && v[0] != inf && v[1] != inf && v[2] != inf) {
      for (int i = 0; i < 3; ++i) out.trianglelist.push_back(v[i]->info().i);
      ++out.numberoftriangles;
    }
    for (int i = 0; i < 3; ++i) {
      const FH g = f->neighbor(i);
      if (g->info().listed) continue;
      const VH a = v[CDT::cw(i)], b = v[CDT::ccw(i)];
      if (a == inf || b == inf || (!inside && g->info().outside)) continue;
      out.edgelist.push_back(a->info().i);
      out.edgelist.push_back(b->info().i);
      ++out.numberofedges;
    }
  }
}

void check_segments(const triangulateio& in) {
  for (int s = 0; s < 2 * in.numberofsegments; ++s)
    if (in.segmentlist[s] < 0 || in.segmentlist[s] >= in.numberofpoints)
      fatal("triangulation segment names a vertex that does not exist");
}
}  // namespace

void tri_init(triangulateio& t) { empty_record(t, false); }

void free_tri(triangulateio& t, int flag) { empty_record(t, flag != 1); }

void triangulate(const char* /*switches*/, const triangulateio& in, triangulateio& out) {
  check_segments(in);
  Scratch& w = scratch;
  // The grid's boundaries are rings and rays through its own nodes, which are mostly edges
  // of the plain Delaunay triangulation already. When every segment is one, that
  // triangulation is the constrained one and is carved as it stands.
  DT dt;
  insert_points(dt, in, w.vh);
  const size_t distinct = dt.number_of_vertices();
  if (mark_segments(dt, in, w.vh)) {
    list_vertices(dt, distinct, in, out, w.added);
    carve_and_list(dt, in, out, w.stack);
    return;
  }
  // Otherwise the points' triangulation becomes the start of a constrained one (the same
  // data structure), which takes the segments in their order as if none had been marked.
  for (auto f = dt.all_faces_begin(); f != dt.all_faces_end(); ++f)
    f->set_constraints(false, false, false);
  CDT cdt;
  static_cast<Tr&>(cdt).swap(dt);
  insert_segments(cdt, in, w.vh);
  list_vertices(cdt, distinct, in, out, w.added);
  carve_and_list(cdt, in, out, w.stack);
}

void triangulate_constrained(const triangulateio& in, triangulateio& out) {
  check_segments(in);
  Scratch& w = scratch;
  CDT cdt;
  insert_points(cdt, in, w.vh);
  const size_t distinct = cdt.number_of_vertices();
  insert_segments(cdt, in, w.vh);
  list_vertices(cdt, distinct, in, out, w.added);
  carve_and_list(cdt, in, out, w.stack);
}
