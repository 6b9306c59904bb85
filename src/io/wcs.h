// The world-coordinate reference of written maps.
//
// A map whose pixel (i, j) is the lens-plane point (x_i, y_j) carries, while the reference
// is on, tangent-plane sky coordinates about (RA, Dec): x grows westward (RA falls) and y
// northward. The reference pixel and the pixel matrix that a map's header needs depend on
// the map's own grid, so every map writer brackets its writes with
//
//   WCSprocess(nx, ny, x lo, x hi, y lo, y hi);   // adapt WCSinfo to this grid
//   write_array(...);                             // one or more maps of this grid
//   WCSreset();                                   // give WCSinfo back as WCSset left it
//
// and the values given to WCSset stay in force from map to map.
#pragma once

// Ties pixel positions of a written map to the sky. While it is on, every FITS array file
// carries tangent-plane world-coordinate keywords built from it (see write_fits).
struct WcsReference {
  double on = 0;              // greater than 0: on
  double refx = 0, refy = 0;  // reference pixel x and y (1-based map pixel coordinates)
  double ra = 0, dec = 0;     // right ascension and declination of the reference pixel, decimal degrees
  double m11 = 0, m12 = 0;    // pixel matrix in arcseconds per pixel, stored 11, 12, 21, 22
  double m21 = 0, m22 = 0;
  bool is_on() const { return on > 0; }
};

// The reference in force; off at start-up. Set by the command WCSset: refx and refy as
// given there ask for a pixel: both below 0.5 in magnitude, the pixel of the lens-plane
// origin; a negative one, the middle of the map along that axis; any other, that pixel.
extern WcsReference WCSinfo;
// WCSinfo as it was before WCSprocess adapted it; its on flag is above 0 exactly while an
// adaptation is waiting for its WCSreset.
extern WcsReference WCSold;

// Adapts WCSinfo to a map of |nx| x |ny| pixels whose pixel (1, 1) is (x lo, y lo) and
// pixel (|nx|, |ny|) is (x hi, y hi); nx and ny are the step counts as the command took
// them. Nothing while the reference is off. Otherwise:
//  - the pixel size along x is dx = (x hi - x lo)/(nx - 1) arcsec, with its sign (a
//    descending grid keeps its sky the right way round), likewise dy; the pixel matrix
//    becomes (dx, 0, 0, dy);
//  - an axis of one step (or of zero extent) has no pixel size of its own: it takes the
//    magnitude of the other axis's (1 arcsec when neither has one), with a warning;
//  - the reference pixel is resolved as described at WCSinfo;
//  - a geometric axis (a negative count) has no linear sky coordinates: the reference is
//    switched off for this map, with "WARNING: logarithmic map axis: no world coordinates
//    written";
//  - when the resolved reference is not finite (a grid very far from the origin in units
//    of its pixels), it is switched off for this map with a warning.
void WCSprocess(int nx, int ny, double xlo, double xhi, double ylo, double yhi);
// Restores WCSinfo as it was before the last WCSprocess (its on flag included); nothing
// when no adaptation is pending.
void WCSreset();
