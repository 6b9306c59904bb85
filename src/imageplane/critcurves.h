// Critical curves and caustics of the current mesh, their plot files, and the ellipse fit
// of the tangential critical curve (command fitcrit).
//
// A critical curve is where det A of the lens mapping vanishes. Every mesh edge whose two
// vertices have det A of opposite sign crosses a critical curve; the crossing is located
// along the edge (Brent's method on det A, or linear interpolation with critmode 0) and
// becomes one critical point, stored with its caustic image (the source position there).
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "numeric/alloc.h"
#include "shell/words.h"

// The critical points of the current model: rows [1..ncrit] of x, y (image plane) and
// u, v (source plane), in the order of the mesh's edge list. edge[2k-2], edge[2k-1] are
// the mesh vertices of the edge on which point k lies (the source catalogue reads them to
// outline the caustic pieces of the tiles that straddle a critical curve).
struct CritPointList {
  int ncrit = 0;
  Mat crit;
  std::vector<int> edge;
  // Edge under refinement (read by refinecrit).
  double edge_x1 = 0, edge_y1 = 0, edge_x2 = 0, edge_y2 = 0;
};
extern CritPointList TWcrit;

// Rebuilds the critical-point list from the mesh TWtri.out (run by every grid build).
// Edges whose end values are not finite are skipped. The lens at the ends of an edge is
// the build's own evaluation (TWgrid.vertex_lens) wherever the build evaluated that very
// vertex; elsewhere it is evaluated.
void find_crit();
// det A at the fraction t (0..1) along the stored edge.
double refinecrit(double t);
// A fresh copy of the critical-point list: n rows [1..n][1..4] (empty when n is 0).
void get_crit(int& n, Mat& list);
// Writes the current critical curves and caustics to a file in the plotmode format; with
// no critical points a note and no file.
void plot_crit(const std::string& file);
// Writes points [1..n][1..4] (x, y, u, v) chained into curves onto an open stream in the
// plotmode format (header unless plotquiet is 1). The stream stays open.
void plot_crv(FILE* fp, int n, const Mat& pts);
// Total image-plane and source-plane length of the chained curves of points [1..n][1..4].
void crvlen(int n, const Mat& pts, double& limg, double& lsrc);

// Command fitcrit <mmax> <outname> [eps]: fits an ellipse and a Fourier series to the
// tangential critical curve around component 1.
void fitcrit(const WordArray& words);
void fitcrithelp(int level);
// Misfit of the ellipse r(theta) = A / sqrt(1 - E cos 2(theta - PA)) to the tangential
// points held by the last fitcrit (p[1..3] = A, E, PA).
double fitcrit_chi(const Vec& p);
