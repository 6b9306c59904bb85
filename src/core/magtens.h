// Magnification tensors at points and images, and magnification maps.
//
//   magtensor    <x> <y>                                  tensor and eigen data on the screen
//   magtensImg   <outbase> <x> <y>  |  <outbase> <grid>  |  <outbase> <inname>
//   magtensSrc   <outbase> <sigx> <u> <v> [Nwrite]  |  <outbase> <sigx> <grid> [Nwrite]
//                |  <outbase> <sigx> <inname> [Nwrite]
//   magweightimg <outbase> <filetype> <grid>   |det A| / (number of images), image counts
//   magweightsrc <outbase> <filetype> <grid>   total magnification, image counts
//   plotmag      <u lo> <hi> <#steps> <v lo> <hi> <#steps> <file> <filetype> [mode]
//
// The lens map's Jacobian at a point is A = [[1 - phi_xx, -phi_xy], [-phi_yx, 1 - phi_yy]] and
// the magnification tensor M = A^-1. Position lists are files whose first line holds the
// number N of positions, followed by N lines "x y".
#pragma once

#include "shell/words.h"

// The magnification tensor at a point and its eigenvalues lp >= lm. The discriminant is
// formed as (M11 - M22)^2 + 4 M12 M21, which cannot fall below 0 through rounding for the
// symmetric tensor of a single plane.
struct MagTensor {
  double m11, m12, m21, m22;
  double lp, lm;
};

// M and its eigenvalues from the potential's second derivatives.
MagTensor magnification_tensor(double xx, double yy, double xy, double yx);
// Directions of the eigenvectors of lp and lm in degrees (-90 to 90), the angle of
// (M12, lambda - M11) from the +x axis. Where M12 vanishes (|M12| <= 1e-12 of the norm, as
// on the axes of every round lens) the direction comes from (lambda - M22, M21); where M21
// vanishes too, M is diagonal: 0 degrees for the eigenvalue nearer M11, 90 for the other.
void eigen_directions_deg(const MagTensor& M, double& dir_p, double& dir_m);
// Eigen data as the tensor files give them: l1 the eigenvalue larger in magnitude (lp on a
// tie), l2 the other, and their directions atan2(lambda - M11, M12) in radians.
void eigen_pair(const MagTensor& M, double& l1, double& t1, double& l2, double& t2);

void magtensor(const WordArray& words);
void magtensorhelp(int level);
void magtensImg(const WordArray& words);
void magtensImghelp(int level);
void magtensSrc(const WordArray& words);
void magtensSrchelp(int level);
void magweightimg(const WordArray& words);
void magweightimghelp(int level);
void magweightsrc(const WordArray& words);
void magweightsrchelp(int level);
void plotmag(const WordArray& words);
void plotmaghelp(int level);
