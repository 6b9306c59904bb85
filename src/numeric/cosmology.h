// Cosmological distances and ages for a homogeneous universe with matter and a
// cosmological constant. The cosmology is read from settings.omega (Omega_matter) and
// settings.lambda (Omega_lambda) at every call; the curvature is 1 - omega - lambda.
//
// Distances are dimensionless, in units of the Hubble distance c/H0 (multiply by 2997.9
// for h^-1 Mpc); ages are in h^-1 Gyr. A cosmology in which the expansion rate is not
// defined over the range asked for (E(z)^2 <= 0) ends with an ERROR.
#pragma once

// 1/E(z), the integrand of the comoving distance.
double distint(double z);
// Transverse comoving (proper-motion) distance from z1 to z2; 0 when z1 >= z2.
double PMdist(double z1, double z2);
// Angular-diameter distance from z1 to z2: PMdist(z1, z2) / (1 + z2).
double angdist(double z1, double z2);
// Derivative of PMdist with respect to z1 (mode 1) or z2 (mode 2); any other mode ends
// with "unknown mode in dPMdist".
double dPMdist(int mode, double z1, double z2);
// Integrand of the age in the scale factor a.
double ageint(double a);
// Age of the universe at redshift z, h^-1 Gyr. A universe without a cosmological
// constant and omega > 1 ends with "age not implemented for omega>1".
double univ_age(double z);
// univ_age(z1) - univ_age(z2).
double lookback(double z1, double z2);
double arccosh(double x);
double arcsinh(double x);
