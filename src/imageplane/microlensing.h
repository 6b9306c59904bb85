// Microlensing: source-plane magnification maps by inverse ray shooting through the
// triangulated image plane, the analytic map of a single point mass, light curves of a
// source moving along a straight track, and cuts through stored magnification maps with
// their statistics.
//
// Ray shooting: rays are spread over the mesh TWtri.out with a density rho per unit
// image-plane area, mapped to the source plane and counted in source-plane pixels, so
// that a pixel whose magnification is mu receives about rho * mu * (pixel area) rays.
// Each mesh triangle whose source-plane bounding box meets the window draws a Poisson
// number of rays of mean rho * (its area), placed uniformly in it; a ray is deflected
// exactly (potdefmag) or, with interpolation, placed in the source plane by the linear map
// of its triangle. The ray counts and the ray positions come from two streams of their own,
// both restarted from the setting seed at every run, so a run repeats exactly.
//
// Map files are two-dimensional array files (io/arrayfile.h); a magnification map M has
// pixel (p, q) at u = u lo + (p - 1) du, v = v lo + (q - 1) dv.
#pragma once

#include <string>
#include <vector>

#include "models/component.h"
#include "numeric/alloc.h"
#include "numeric/random.h"
#include "shell/words.h"

// The point masses of the loaded model, for deflecting rays in blocks: a deflection-only
// sum over the "ptmass" components in component order. It stands in for those components
// only where the whole-model evaluator would return exactly their sum plus the other
// components' deflections: one lens plane, model-wide scale 1, the default component
// evaluator, no clumps or cached substructure grids, no line-of-sight or registration
// components, no dominance tracking, and "ptmass" rows without ellipticity or shear.
struct PtmassField {
  std::vector<double> x, y, b2;  // centres and squared Einstein radii, in component order
  std::vector<int> rows;         // their component rows
  std::vector<int> other_rows;   // the other active components (evaluated by potdefmag)
  bool others = false;           // other_rows is not empty
  // Collects the point masses; false (and empty) when the sum cannot stand in for them.
  bool build();
  // ax, ay[0..n-1] = the point masses' deflections at (px, py)[0..n-1].
  void deflect(int n, const double* px, const double* py, double* ax, double* ay) const;
};

// While it lives, the component table holds only the other active components of a field
// (in their order), so that potdefmag returns their deflections without visiting the
// point-mass rows; the full table and component 1 are back afterwards.
class OtherComponentsOnly {
 public:
  explicit OtherComponentsOnly(const PtmassField& f);
  ~OtherComponentsOnly();
  OtherComponentsOnly(const OtherComponentsOnly&) = delete;
  OtherComponentsOnly& operator=(const OtherComponentsOnly&) = delete;

 private:
  GalaxyTable full_;
  bool swapped_ = false;
};

// State of one ray-shooting run (filled by rayshoot, kept until the next run).
struct RayShootState {
  // Source-plane window: the pixel-centre ranges widened by half a pixel on each side.
  double shoot_ulo = 0, shoot_uhi = 0, shoot_vlo = 0, shoot_vhi = 0;
  int shoot_nu = 0, shoot_nv = 0;       // pixels along u and v
  double shoot_du = 0, shoot_dv = 0;    // pixel sizes
  Mat shoot_dat;                        // [1..nu][1..nv] rays collected in each pixel
  Mat shoot_tmp;                        // [1..nu][1..nv] the map written after each pass
  RandomStream shoot_pseed;             // ray counts (Poisson deviates)
  RandomStream shoot_rseed;             // ray positions (uniform deviates)
  bool allow_blocks = true;             // exact rays may use the point-mass block sum
  PtmassField field;                    // point masses of the current shooting pass
  bool use_blocks = false;              // the pass deflects in blocks
};
extern RayShootState TWshoot;

// Running counts of a ray-shooting run: rays since the last progress line, progress
// stages, and the rays drawn by the counting pass.
struct ShootCounters {
  long counter = 0;
  int step = 0;
  double total = 0;
};

// Sets up the state for a window of nu x nv pixel centres over [ulo, uhi] x [vlo, vhi]
// (nu, nv >= 2, hi > lo): pixel sizes, the widened window, zeroed counts, and both streams
// restarted from seed.
void init_rayshoot(RayShootState& shoot, double ulo, double uhi, int nu, double vlo, double vhi, int nv,
                   long seed);
// Visits the mesh triangles in index order and passes each one whose source-plane
// bounding box meets the window to do_trishoot. shoot 0 is the counting pass.
void do_rayshoot(RayShootState& shoot, int shoot_rays, int interpolate, ShootCounters& c, double density);
// Draws the Poisson ray count of triangle t (mean density * area) and, when shoot_rays is
// nonzero, shoots its rays into shoot.shoot_dat; the counting pass only adds the count to
// c.total.
void do_trishoot(int t, RayShootState& shoot, int shoot_rays, int interpolate, ShootCounters& c, double density);

// Magnification of a point mass of unit Einstein radius at (x, y):
// (r^2 + 2)/(r sqrt(r^2 + 4)).
double ptmass_mag(double x, double y);

// Cut through the map M[1..nx][1..ny] along the straight line at impact parameter b
// (pixels) from the map centre (nx/2 + 0.5, ny/2 + 0.5), in the direction theta (radians):
// cut[1..max(nx, ny)][1..3] = position d along the line (pixels), bilinear map value, and
// 1 inside the map or -1 outside (value 0).
void lcrv_from_map(int nx, int ny, const Mat& map, Mat& cut, double b, double theta);

// Root function of the half-light radius of a Sersic profile of index n, in units of
// its scale radius: P(2n, x^(1/n)) - 1/2.
double sersic_Reff(double x, double n);

// ---- commands ----
void rayshoot(const WordArray& words);
void rayshoothelp(int level);
void magmapP(const WordArray& words);
void magmapPhelp(int level);
void lightcrv(const WordArray& words);
void lightcrvhelp(int level);
void map2lcrv(const WordArray& words);
void map2lcrvhelp(int level);
void map2lstats(const WordArray& words);
void map2lstatshelp(int level);

// Older ray shooter: "rayshootOLD <filename> <filetype> [mag0]", then from the command
// input the image-plane rectangle "<x lo> <hi> <y lo> <hi> <number of rays>" and the
// source-plane pixels "<u lo> <hi> <# steps> <v lo> <hi> <# steps>". Rays are drawn
// uniformly over the rectangle, deflected exactly and counted in the nearest pixel.
void rayshootOLD(const WordArray& words);
// Distribution of magnifications of a stored map of log10 relative magnifications:
// "magdist2 <outname> <delta lo> <hi> <# steps>", then from the command input
// "<name> <type> <u lo> <hi> <v lo> <hi>" of the map.
void magdist2(const WordArray& words);
