// Whether the image-plane grid holds every image of the sources a command may draw.
//
// The outer edge of the main grid (the circle r = rscale gridhi1 about component 1 of a
// polar grid, the box of a Cartesian one) maps to a closed curve in the source plane. When
// every critical curve lies inside the grid, det A > 0 beyond the edge: the lens map there
// preserves orientation and, far out, winds once about every source, so the number of
// images outside the grid of a source w is 1 - (winding number of the mapped edge about
// w). A source has all its images inside the grid exactly when the mapped edge winds once
// about it. The check asks det A > 0 all along the edge (no critical curve crosses it); a
// critical curve wholly beyond the grid, of a distant galaxy, is not seen. The box of the
// grid nodes' source positions is no such test: a source inside it may still have an
// outer image beyond the edge.
//
// The edge is sampled at a few hundred points; the mapped curve must keep a margin (the
// longest mapped edge step, plus 2% of a disc's radius) from every source region.
#pragma once

#include <string>
#include <vector>

// A disc of source positions (r = 0: a single source).
struct SourceDisc {
  double u, v, r;
};

// Magnification-weighted draws pick image-plane points within this fraction of a polar
// grid's radius (in the whole box of a Cartesian grid), so every image must lie there.
constexpr double kWeightedDrawFraction = 0.98;

// The advice given wherever sources may fall beyond the grid's images; with needed > 0 it
// names the smallest gridhi1 that holds them.
std::string grid_advice(double needed = 0);

// True when the main grid's outer edge, scaled by `scale` about its centre (component 1
// for a polar grid, the box centre for a Cartesian one), lies outside every critical
// curve and its source-plane image winds once, with the margin, about every disc.
bool grid_edge_holds(double scale, const std::vector<SourceDisc>& discs);

// The smallest scale (>= 1, within about 1%) for which grid_edge_holds, searched outward
// up to 100; 1 when the grid holds them already, -1 when no scale up to 100 does.
double grid_scale_needed(const std::vector<SourceDisc>& discs);

// What the grid needs to hold every image of the sources drawn, gathered over one or more
// models (each checked on the grid built for it), so that a single ERROR names a grid
// that holds the images of them all.
class GridNeed {
 public:
  // Checks the current model: every image of every source of the discs must lie inside
  // the grid (with `weighted`, inside the part of a polar grid that magnification-weighted
  // draws use). False when they do not. Runs the lens once per edge point.
  bool add(const std::string& who, const std::vector<SourceDisc>& discs, bool weighted = false);
  // Ends the program with an ERROR naming the first model that failed and the gridhi1
  // (for a Cartesian grid, the four ranges) that holds the images of every model added;
  // returns when every model was held.
  void require() const;
  // The text of the ERROR after its "in <who>: ": what, then what the grid needs. A polar
  // grid's radius is first multiplied by `widen` (so that the chords of its outer ring, not
  // only the circle, hold the images).
  std::string advice(const std::string& what, double widen = 1.0) const;

 private:
  std::string who_;       // first model not held ("" while every one is)
  std::string lost_who_;  // first model no grid up to 100 times larger holds
  bool polar_ = true;
  double radius_ = 0;                                            // polar: gridhi1 needed
  double lo1_ = 1e300, hi1_ = -1e300, lo2_ = 1e300, hi2_ = -1e300;  // Cartesian ranges needed
};

// GridNeed for one model: ends the program with the ERROR naming `who` unless the grid
// holds every image of the discs.
void require_grid_holds(const std::string& who, const std::vector<SourceDisc>& discs, bool weighted = false);

// The check of the point-source finders: when the grid cannot hold every image of the
// sources, one WARNING naming the first source not held (and how many more are not) and
// the gridhi1 that holds them all: "WARNING: the grid does not hold every image of the
// source at (<u>, <v>): set gridhi1 to at least <r> and regrid (...)". Returns whether
// the grid holds them; the finder then goes on as it would.
bool warn_grid_holds(const std::vector<SourceDisc>& discs);

// warn_grid_holds for a finder of many sources, taking them one at a time as they are
// searched: each is checked when added and only those the grid does not hold are kept, so
// the check holds no memory for the sources it passes.
class GridHoldWatch {
 public:
  void add(const SourceDisc& d);
  // The WARNING of warn_grid_holds for the sources added; whether the grid holds them all.
  bool warn() const;

 private:
  bool edge_looked_up_ = false;
  std::vector<SourceDisc> lost_;  // the sources not held, in the order added
};
