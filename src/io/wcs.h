// The world-coordinate reference of written maps.
#pragma once

// Ties pixel positions of a written map to the sky. While it is on, every FITS array file
// carries tangent-plane world-coordinate keywords built from it (see write_fits).
struct WcsReference {
  double on = 0;              // greater than 0: on
  double refx = 0, refy = 0;  // reference pixel x and y (image-plane coordinates of that pixel)
  double ra = 0, dec = 0;     // right ascension and declination of the reference pixel, decimal degrees
  double m11 = 0, m12 = 0;    // pixel matrix in arcseconds per pixel, stored 11, 12, 21, 22
  double m21 = 0, m22 = 0;
  bool is_on() const { return on > 0; }
};

// The reference in force; off at start-up.
extern WcsReference WCSinfo;
// Where a map writer keeps WCSinfo (all but the on flag) while it adapts it for one write.
extern WcsReference WCSold;
