// The constrained triangulation: meshes of lattices whose areas and Euler counts are known,
// holes and boundary segments that carve them, crossing segments, degenerate input, and the
// plain and constrained routes, which must give one mesh.

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <string>
#include <utility>
#include <vector>

#include "imageplane/triangulation.h"
#include "shell/fatal.h"

namespace {
// Signed area of triangle k.
double area(const triangulateio& t, int k) {
  const int a = t.trianglelist[3 * k], b = t.trianglelist[3 * k + 1], c = t.trianglelist[3 * k + 2];
  const double ax = t.pointlist[2 * a], ay = t.pointlist[2 * a + 1];
  const double bx = t.pointlist[2 * b], by = t.pointlist[2 * b + 1];
  const double cx = t.pointlist[2 * c], cy = t.pointlist[2 * c + 1];
  return 0.5 * ((bx - ax) * (cy - ay) - (cx - ax) * (by - ay));
}

double total_area(const triangulateio& t) {
  double s = 0;
  for (int k = 0; k < t.numberoftriangles; ++k) s += area(t, k);
  return s;
}

void add_point(triangulateio& t, double x, double y, double attr) {
  t.pointlist.push_back(x);
  t.pointlist.push_back(y);
  t.pointattributelist.push_back(attr);
  ++t.numberofpoints;
}

void add_segment(triangulateio& t, int a, int b) {
  t.segmentlist.push_back(a);
  t.segmentlist.push_back(b);
  ++t.numberofsegments;
}

// An n x n lattice over [0, 1]^2 with an inner square ring [0.4, 0.6]^2 of segments.
triangulateio lattice_with_hole(bool with_hole_point) {
  triangulateio in;
  in.numberofpointattributes = 1;
  const int n = 11;
  for (int i = 0; i < n; ++i)
    for (int j = 0; j < n; ++j) add_point(in, i / 10.0, j / 10.0, i + j);
  auto idx = [&](int i, int j) { return i * n + j; };
  // outer boundary
  for (int k = 0; k + 1 < n; ++k) {
    add_segment(in, idx(k, 0), idx(k + 1, 0));
    add_segment(in, idx(k, n - 1), idx(k + 1, n - 1));
    add_segment(in, idx(0, k), idx(0, k + 1));
    add_segment(in, idx(n - 1, k), idx(n - 1, k + 1));
  }
  // ring through (4,4) (6,4) (6,6) (4,6), along lattice lines
  for (int i = 4; i < 6; ++i) {
    add_segment(in, idx(i, 4), idx(i + 1, 4));
    add_segment(in, idx(i, 6), idx(i + 1, 6));
  }
  for (int j = 4; j < 6; ++j) {
    add_segment(in, idx(4, j), idx(4, j + 1));
    add_segment(in, idx(6, j), idx(6, j + 1));
  }
  if (with_hole_point) {
    in.holelist = {0.5, 0.5};
    in.numberofholes = 1;
  }
  return in;
}
}  // namespace

TEST(Triangulation, WithoutBoundarySegmentsEverythingUpToTheInnerRingIsCarved) {
  triangulateio in = lattice_with_hole(false), out;
  in.segmentlist.erase(in.segmentlist.begin(), in.segmentlist.begin() + 80);
  in.numberofsegments -= 40;
  triangulate("zBepQ", in, out);
  EXPECT_NEAR(total_area(out), 0.04, 1e-12);
}

TEST(Triangulation, LatticeTilesItsAreaAndKeepsInputVerticesInOrder) {
  triangulateio in = lattice_with_hole(false), out;
  triangulate("zBepQ", in, out);
  ASSERT_EQ(out.numberofpoints, in.numberofpoints);
  EXPECT_EQ(out.pointlist, in.pointlist);
  EXPECT_EQ(out.pointattributelist, in.pointattributelist);
  for (int k = 0; k < out.numberoftriangles; ++k) EXPECT_GT(area(out, k), 0);
  EXPECT_NEAR(total_area(out), 1.0, 1e-12);
  // Euler: a triangulated disc with V vertices (all on the mesh) has 2V - 2 - h triangles,
  // h the number of hull vertices (40 on the lattice's boundary).
  EXPECT_EQ(out.numberoftriangles, 2 * 121 - 2 - 40);
  EXPECT_EQ(out.numberofedges, 3 * 121 - 3 - 40);
}

TEST(Triangulation, HoleIsCarvedUpToItsSegments) {
  triangulateio in = lattice_with_hole(true), out;
  triangulate("zBepQ", in, out);
  EXPECT_NEAR(total_area(out), 1.0 - 0.04, 1e-12);
  for (int k = 0; k < out.numberoftriangles; ++k) {
    double cx = 0, cy = 0;
    for (int c = 0; c < 3; ++c) {
      cx += out.pointlist[2 * out.trianglelist[3 * k + c]] / 3;
      cy += out.pointlist[2 * out.trianglelist[3 * k + c] + 1] / 3;
    }
    EXPECT_FALSE(cx > 0.4 && cx < 0.6 && cy > 0.4 && cy < 0.6) << "triangle inside the hole";
  }
}

TEST(Triangulation, BoundarySegmentsStopTheOuterCarving) {
  // A concave L-shaped boundary: without segments the hull would be a square.
  triangulateio in, out;
  in.numberofpointattributes = 1;
  const double xy[][2] = {{0, 0}, {2, 0}, {2, 1}, {1, 1}, {1, 2}, {0, 2}};
  for (auto& p : xy) add_point(in, p[0], p[1], 0);
  for (int i = 0; i < 6; ++i) add_segment(in, i, (i + 1) % 6);
  triangulate("zBepQ", in, out);
  EXPECT_NEAR(total_area(out), 3.0, 1e-12);
}

TEST(Triangulation, CrossingSegmentsAddAVertexWithInterpolatedAttributes) {
  triangulateio in, out;
  in.numberofpointattributes = 1;
  add_point(in, 0, 0, 0);
  add_point(in, 2, 2, 4);
  add_point(in, 0, 2, 0);
  add_point(in, 2, 0, 0);
  add_segment(in, 0, 1);
  add_segment(in, 2, 3);
  // the square's sides, so that nothing is carved
  add_segment(in, 0, 2);
  add_segment(in, 2, 1);
  add_segment(in, 1, 3);
  add_segment(in, 3, 0);
  triangulate("zBepQ", in, out);
  ASSERT_EQ(out.numberofpoints, 5);
  EXPECT_DOUBLE_EQ(out.pointlist[8], 1.0);
  EXPECT_DOUBLE_EQ(out.pointlist[9], 1.0);
  EXPECT_NEAR(out.pointattributelist[4], 2.0, 1e-12);  // halfway along 0 -> 4
  EXPECT_EQ(out.numberoftriangles, 4);
  EXPECT_NEAR(total_area(out), 4.0, 1e-12);
}

TEST(Triangulation, DegenerateInputGivesAnEmptyMeshNotAnAbort) {
  struct Case {
    std::vector<double> xy;
  };
  const std::vector<Case> cases = {{{}}, {{0, 0}}, {{0, 0, 1, 1}}, {{0, 0, 1, 1, 2, 2, 3, 3}}, {{0, 0, 0, 0, 0, 0}}};
  for (const auto& c : cases) {
    triangulateio in, out;
    in.numberofpointattributes = 1;
    for (size_t i = 0; i + 1 < c.xy.size(); i += 2) add_point(in, c.xy[i], c.xy[i + 1], 1);
    triangulate("zBepQ", in, out);
    EXPECT_EQ(out.numberoftriangles, 0);
    EXPECT_EQ(out.numberofpoints, in.numberofpoints);
  }
  // A hole point lying on a segment leaves a partial mesh.
  triangulateio in = lattice_with_hole(false), out;
  in.holelist = {0.5, 0.4};
  in.numberofholes = 1;
  triangulate("zBepQ", in, out);
  EXPECT_LE(total_area(out), 1.0 + 1e-12);
}

TEST(Triangulation, SegmentOutsideThePointListEndsWithAnError) {
  triangulateio in, out;
  add_point(in, 0, 0, 0);
  add_segment(in, 0, 3);
  EXPECT_THROW(triangulate("zBepQ", in, out), FatalError);
}

TEST(Triangulation, PlainAndConstrainedRoutesGiveOneMesh) {
  // Long sides through the lattice's nodes (each side one segment through 9 nodes, split at
  // them), a side off the lattice's edges, crossing segments, and the lattices above.
  auto long_sides = [] {
    triangulateio in = lattice_with_hole(true);
    in.segmentlist.erase(in.segmentlist.begin(), in.segmentlist.begin() + 80);
    in.numberofsegments -= 40;
    const int c[4] = {0, 10, 120, 110};  // (0,0) (0,1) (1,1) (1,0)
    for (int k = 0; k < 4; ++k) add_segment(in, c[k], c[(k + 1) % 4]);
    return in;
  };
  // The square less the corner below the chord from (0.2, 0) to (0, 0.1), which crosses
  // lattice edges and so is no edge of the points' Delaunay triangulation.
  auto chord = [] {
    triangulateio in = lattice_with_hole(true);
    in.segmentlist.erase(in.segmentlist.begin(), in.segmentlist.begin() + 80);
    in.numberofsegments -= 40;
    const int c[5] = {1, 10, 120, 110, 22};  // (0,0.1) (0,1) (1,1) (1,0) (0.2,0)
    for (int k = 0; k < 5; ++k) add_segment(in, c[k], c[(k + 1) % 5]);
    return in;
  };
  auto crossing = [] {
    triangulateio in = lattice_with_hole(false);
    add_segment(in, 0, 120);
    add_segment(in, 10, 110);
    add_segment(in, 3, 57);
    return in;
  };
  const std::vector<std::pair<const char*, triangulateio>> cases = {
      {"lattice", lattice_with_hole(false)}, {"hole", lattice_with_hole(true)}, {"long sides", long_sides()},
      {"chord", chord()}, {"crossing", crossing()}};
  for (const auto& [name, in] : cases) {
    SCOPED_TRACE(name);
    triangulateio a, b;
    triangulate("zBepQ", in, a);
    triangulate_constrained(in, b);
    ASSERT_GT(a.numberoftriangles, 0);
    EXPECT_EQ(a.numberofpoints > in.numberofpoints, std::string(name) == "crossing");
    EXPECT_EQ(a.pointlist, b.pointlist);
    EXPECT_EQ(a.pointattributelist, b.pointattributelist);
    auto triangles = [](const triangulateio& t) {
      std::vector<std::array<int, 3>> s;
      for (int k = 0; k < t.numberoftriangles; ++k) {
        std::array<int, 3> v = {t.trianglelist[3 * k], t.trianglelist[3 * k + 1], t.trianglelist[3 * k + 2]};
        std::rotate(v.begin(), std::min_element(v.begin(), v.end()), v.end());
        s.push_back(v);
      }
      std::sort(s.begin(), s.end());
      return s;
    };
    auto edges = [](const triangulateio& t) {
      std::vector<std::pair<int, int>> s;
      for (int k = 0; k < t.numberofedges; ++k)
        s.emplace_back(std::min(t.edgelist[2 * k], t.edgelist[2 * k + 1]),
                       std::max(t.edgelist[2 * k], t.edgelist[2 * k + 1]));
      std::sort(s.begin(), s.end());
      return s;
    };
    EXPECT_TRUE(triangles(a) == triangles(b));
    EXPECT_TRUE(edges(a) == edges(b));
  }
  // The long sides carve nothing from the square but the hole.
  triangulateio out;
  triangulate("zBepQ", long_sides(), out);
  EXPECT_NEAR(total_area(out), 1.0 - 0.04, 1e-12);
  EXPECT_EQ(out.numberofpoints, 121);
  triangulate("zBepQ", chord(), out);
  EXPECT_NEAR(total_area(out), 1.0 - 0.04 - 0.01, 1e-12);
}
