// The staged orientation and in-circle signs against the kernel's exact predicates, and a
// mesh built on them against the kernel's own Delaunay triangulation, face for face.
#include <gtest/gtest.h>

#include <CGAL/Delaunay_triangulation_2.h>
#include <CGAL/Exact_predicates_inexact_constructions_kernel.h>
#include <CGAL/Triangulation_vertex_base_with_info_2.h>

#include <array>
#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "imageplane/predicates.h"
#include "imageplane/triangulation.h"
#include "numeric/constants.h"

namespace {
using K = CGAL::Exact_predicates_inexact_constructions_kernel;
using P = std::array<double, 2>;

int exact_orientation(const P& a, const P& b, const P& c) {
  return static_cast<int>(K().orientation_2_object()(K::Point_2(a[0], a[1]), K::Point_2(b[0], b[1]), K::Point_2(c[0], c[1])));
}
int exact_incircle(const P& a, const P& b, const P& c, const P& d) {
  return static_cast<int>(K().side_of_oriented_circle_2_object()(K::Point_2(a[0], a[1]), K::Point_2(b[0], b[1]),
                                                                  K::Point_2(c[0], c[1]), K::Point_2(d[0], d[1])));
}

struct Quad {
  std::string what;
  P a, b, c, d;
};

// Polar-grid nodes (r cos t, r sin t) in doubles.
P polar(double r, double t) { return {r * std::cos(t), r * std::sin(t)}; }

// The table: four points per entry; orientation takes the first three.
std::vector<Quad> cases() {
  std::vector<Quad> q;
  std::mt19937_64 rng(7);
  std::uniform_real_distribution<double> u(-1, 1);
  for (int i = 0; i < 200; ++i)
    q.push_back({"random", {u(rng), u(rng)}, {u(rng), u(rng)}, {u(rng), u(rng)}, {u(rng), u(rng)}});
  // Corners of polar cells (cocircular up to rounding), in both turning directions, and
  // three nodes along a ray with a fourth beside it (collinear up to rounding).
  for (int i = 1; i <= 12; ++i)
    for (int j = 0; j < 20; ++j) {
      const double r1 = 0.05 + 0.173 * i, r2 = r1 + 0.173, r3 = r2 + 0.173;
      const double t1 = 2 * kPi * j / 20, t2 = 2 * kPi * (j + 1) / 20;
      q.push_back({"polar cell", polar(r1, t1), polar(r2, t1), polar(r2, t2), polar(r1, t2)});
      q.push_back({"polar cell, clockwise", polar(r1, t2), polar(r2, t2), polar(r2, t1), polar(r1, t1)});
      q.push_back({"polar ray", polar(r1, t1), polar(r2, t1), polar(r3, t1), polar(r1, t2)});
    }
  // Exactly cocircular and collinear points.
  q.push_back({"circle of radius 5", {5, 0}, {3, 4}, {-4, 3}, {0, -5}});
  q.push_back({"circle, clockwise", {0, -5}, {-4, 3}, {3, 4}, {-3, -4}});
  q.push_back({"mirrored points", {0.3, 0.7}, {-0.3, 0.7}, {-0.3, -0.7}, {0.3, -0.7}});
  q.push_back({"mirrored, off axis", {1.1, 0.1}, {0.1, 1.1}, {-0.9, 0.1}, {0.1, -0.9}});
  q.push_back({"integer line", {0, 0}, {3, 7}, {9, 21}, {-6, -14}});
  q.push_back({"axis", {0.1, 0}, {0.7, 0}, {-2.3, 0}, {5, 0}});
  q.push_back({"halves", {0.5, 0.25}, {1.5, 0.75}, {-0.5, -0.25}, {2.5, 1.25}});
  // Near but not on: one unit in the last place off the exact configurations.
  q.push_back({"circle, one ulp in", {5, 0}, {3, 4}, {-4, 3}, {0, std::nextafter(-5.0, 0.0)}});
  q.push_back({"circle, one ulp out", {5, 0}, {3, 4}, {-4, 3}, {0, std::nextafter(-5.0, -6.0)}});
  q.push_back({"line, one ulp off", {0, 0}, {3, 7}, {9, std::nextafter(21.0, 22.0)}, {1, 1}});
  // Repeated points.
  q.push_back({"a = b", {0.2, 0.3}, {0.2, 0.3}, {0.9, -0.1}, {0.5, 0.5}});
  q.push_back({"all equal", {0.2, 0.3}, {0.2, 0.3}, {0.2, 0.3}, {0.2, 0.3}});
  q.push_back({"d = a", {0.2, 0.3}, {0.7, 0.1}, {0.9, 0.8}, {0.2, 0.3}});
  return q;
}

// The same points scaled by 2^k: the exact signs do not change (while nothing overflows or
// underflows), but the double and double-double stages must step aside at the extremes.
Quad scaled(Quad q, int k) {
  for (P* p : {&q.a, &q.b, &q.c, &q.d}) {
    (*p)[0] = std::ldexp((*p)[0], k);
    (*p)[1] = std::ldexp((*p)[1], k);
  }
  q.what += " scaled by 2^" + std::to_string(k);
  return q;
}

// Stage results: the exact sign or kUndecided, never a wrong sign.
void expect_certain(int stage, int exact, const char* which) {
  if (stage != predicates::kUndecided) {
    EXPECT_EQ(stage, exact) << which;
  }
}
}  // namespace

TEST(Predicates, EveryStageGivesTheExactSignOrStepsAside) {
  using namespace predicates;
  int zeros = 0;
  for (const Quad& base : cases())
    for (int k : {0, -40, 40, -300, 300, -520, 520}) {
      const Quad q = scaled(base, k);
      SCOPED_TRACE(q.what);
      const auto [a, b, c, d] = std::array<P, 4>{q.a, q.b, q.c, q.d};
      const int o = exact_orientation(a, b, c), s = exact_incircle(a, b, c, d);
      EXPECT_EQ(o, exact_orientation(base.a, base.b, base.c));
      EXPECT_EQ(s, exact_incircle(base.a, base.b, base.c, base.d));
      expect_certain(orientation_stage1(a[0], a[1], b[0], b[1], c[0], c[1]), o, "orientation stage 1");
      expect_certain(orientation_stage2(a[0], a[1], b[0], b[1], c[0], c[1]), o, "orientation stage 2");
      expect_certain(orientation_stage2_without_fma(a[0], a[1], b[0], b[1], c[0], c[1]), o, "orientation stage 2, split");
      EXPECT_EQ(orientation(a[0], a[1], b[0], b[1], c[0], c[1]), o);
      expect_certain(incircle_stage1(a[0], a[1], b[0], b[1], c[0], c[1], d[0], d[1]), s, "in-circle stage 1");
      expect_certain(incircle_stage2(a[0], a[1], b[0], b[1], c[0], c[1], d[0], d[1]), s, "in-circle stage 2");
      expect_certain(incircle_stage2_without_fma(a[0], a[1], b[0], b[1], c[0], c[1], d[0], d[1]), s,
                     "in-circle stage 2, split");
      EXPECT_EQ(incircle(a[0], a[1], b[0], b[1], c[0], c[1], d[0], d[1]), s);
      zeros += (o == 0) + (s == 0);
    }
  EXPECT_GT(zeros, 0);  // the table reaches the exact stage
}

TEST(Predicates, DoubleDoublesSettleNearlyDegenerateGridCells) {
  // What stage 1 leaves open on polar cells and rays, stage 2 settles (unless the
  // determinant is exactly zero); exactly collinear points with exact differences too.
  using namespace predicates;
  if (!kRoundsToDouble) GTEST_SKIP() << "stages 1 and 2 step aside in this build";
  int open_after_stage1 = 0;
  for (const Quad& q : cases()) {
    if (q.what.rfind("polar", 0) != 0 && q.what != "integer line" && q.what != "axis" && q.what != "halves") continue;
    SCOPED_TRACE(q.what);
    const auto& [a, b, c, d] = std::array<P, 4>{q.a, q.b, q.c, q.d};
    const int o = exact_orientation(a, b, c), s = exact_incircle(a, b, c, d);
    if (orientation_stage1(a[0], a[1], b[0], b[1], c[0], c[1]) == kUndecided) {
      ++open_after_stage1;
      EXPECT_EQ(orientation_stage2(a[0], a[1], b[0], b[1], c[0], c[1]), o);
      EXPECT_EQ(orientation_stage2_without_fma(a[0], a[1], b[0], b[1], c[0], c[1]), o);
    }
    if (incircle_stage1(a[0], a[1], b[0], b[1], c[0], c[1], d[0], d[1]) == kUndecided && s != 0) {
      ++open_after_stage1;
      EXPECT_EQ(incircle_stage2(a[0], a[1], b[0], b[1], c[0], c[1], d[0], d[1]), s);
      EXPECT_EQ(incircle_stage2_without_fma(a[0], a[1], b[0], b[1], c[0], c[1], d[0], d[1]), s);
    }
  }
  EXPECT_GT(open_after_stage1, 100);
}

TEST(Predicates, MeshIsTheKernelsOwnDelaunayTriangulationFaceForFace) {
  // Polar grid and lattice nodes inside a square whose sides are the only segments: the adapter's
  // triangles are the finite faces of the kernel's Delaunay triangulation of the same
  // points inserted in the same order, in the same order and orientation.
  triangulateio in;
  auto add = [&in](double x, double y) {
    in.pointlist.push_back(x);
    in.pointlist.push_back(y);
    ++in.numberofpoints;
  };
  for (double x : {-4.0, 4.0})
    for (double y : {-4.0, 4.0}) add(x, y);
  for (int i = 0; i < 16; ++i)
    for (int j = 0; j < 24; ++j) {
      const P p = polar(0.05 + 0.2 * i, 2 * kPi * j / 24);
      add(p[0], p[1]);
    }
  // A lattice, coarse nodes first: the fine ones then fall on edges and exactly on
  // circles, where the point location and the symbolic perturbation have choices to make
  // (and a few coincide with polar nodes).
  for (int step : {4, 2, 1})
    for (int i = -8; i <= 8; ++i)
      for (int j = -8; j <= 8; ++j)
        if (i % step == 0 && j % step == 0 && ((i / step) % 2 != 0 || (j / step) % 2 != 0 || step == 4))
          add(0.375 * i, 0.375 * j);
  in.segmentlist = {0, 1, 1, 3, 3, 2, 2, 0};
  in.numberofsegments = 4;
  triangulateio out;
  triangulate("zBepQ", in, out);

  using Vb = CGAL::Triangulation_vertex_base_with_info_2<int, K>;
  using Tds = CGAL::Triangulation_data_structure_2<Vb>;
  CGAL::Delaunay_triangulation_2<K, Tds> dt;
  Tds::Face_handle hint;
  for (int i = 0; i < in.numberofpoints; ++i) {
    const size_t before = dt.number_of_vertices();
    const auto v = dt.insert(K::Point_2(in.pointlist[2 * i], in.pointlist[2 * i + 1]), hint);
    if (dt.number_of_vertices() > before) v->info() = i;  // a repeated point keeps the first index
    hint = v->face();
  }
  std::vector<int> expected;
  for (auto f = dt.all_faces_begin(); f != dt.all_faces_end(); ++f)
    if (!dt.is_infinite(f))
      for (int k = 0; k < 3; ++k) expected.push_back(f->vertex(k)->info());
  ASSERT_EQ(out.numberofpoints, in.numberofpoints);
  EXPECT_EQ(out.numberoftriangles, static_cast<int>(dt.number_of_faces()));
  EXPECT_TRUE(out.trianglelist == expected);

}
