// The lens model set: the reference models that the user specifies (setlens, changelens,
// ranparm), their text format, and the loader initmodel that turns one parameter set
// into the component table TWgal that the evaluator uses.
//
// A model is a list of Ngal components, each an instance of a registered model class
// with ten parameters:
//   1 mass scale b (base-10 logarithm with logRein 1; for "ptmass" a negative value is
//     minus the mass in 10^12 solar masses), 2-3 position x, y (with galcoords 2, for
//     components 2 onward, radius and position angle in degrees about the polar origin),
//   4-5 ellipticity and its angle in degrees (with shrcoords 1 its Cartesian components),
//   6-7 external shear and its angle in degrees (with shrcoords 1 its components),
//   8-9 scale lengths (base-10 logarithms with logrscale 1; for "mpole" 9 is the
//     multipole order), 10 exponent alpha.
// Classes "none" (an empty slot) and "register" (registration shifts) are not mass
// components: the loader leaves their parameters unconverted and skips them wherever
// they stand.
//
// Where things live: NGALMAX (rows of every per-component array, equal to Ngal after a
// model set-up) is TWgal.NGALMAX; the component switches refon and the bridge-cut flags
// refflag are TWgal.refon and TWgal.refflag, which the evaluator reads. Model i of the
// set is TWref.ref[i]: its class names (refID), parameters (refp), redshifts (refz),
// time-delay factors (reftau) and bridge scales (refbridge).
//
// Model file (setlens <file>), read with the line reader (blank and comment lines
// skipped):
//   Ngal Nref [redshift flag]
//   Nref blocks of Ngal component lines: class p1 .. p10 [redshift, with the flag]
//   Ngal vary-flag lines: ten integers
// Component lines are written by writep: "%8s" class, then " 0.0" for a zero parameter
// and " %e" otherwise, then "  %f" with the model-1 redshift when there are several lens
// planes.
#pragma once

#include <cstdio>
#include <initializer_list>
#include <string>
#include <vector>

#include "models/model_set.h"
#include "numeric/alloc.h"
#include "shell/words.h"

// The bridge cut (set by the line-of-sight commands): components far from a centre are
// left out of the evaluation. Off unless R0 > 0.
struct BridgeCut {
  double gal = 0;       // component whose position is the centre, as a real (0: x, y below)
  double x = 0, y = 0;  // explicit centre
  double R0 = -1;       // radius at the lens redshift
};
extern BridgeCut bridgecutarr;

// Command setlens (also registered as startup): "setlens <Ngal> <Nref> [redshift flag]"
// followed on the command input by the component and vary-flag lines, or
// "setlens <model file>". Refreshes the settings first; with no argument prints its help.
// The settings refreshes of setlens (redshifts held while the new model is built) and of
// changelens (the model reloaded with its redshifts).
void SetGlobKeepingRedshifts();
void SetGlobForReload();
void setlens(const WordArray& words);
void setlenshelp(int level);
// Command changelens: "changelens [list of indices]": reads one component line per index
// from the command input; a positive index replaces that component of model 1, a
// negative index component |index| of every model. Then reloads model 1.
void changelens(const WordArray& words);
void changelenshelp(int level);
// Command ranparm: "ranparm <igal> <iparm> <lo> <hi>": sets that parameter of model 1 to
// a uniform deviate in [lo, hi] drawn from a private copy of the setting seed, and
// reloads model 1.
void ranparm(const WordArray& words);
void ranparmhelp(int level);

// Writes the component lines of one model (names [1..NGALMAX], params [1..NGALMAX][1..10])
// to stream; components of class "none" are skipped; nothing when NGALMAX is 0.
void writep(FILE* stream, const BVec<std::string>& names, const Mat& params);

// Loads one model into TWgal and returns its penalty: 0 for an admissible model, 1e8 or
// more for each violated bound (the clamped values are loaded). names [1..NGALMAX],
// params [1..NGALMAX][1..10], redshifts [1..NGALMAX] (callers pass model 1's); the
// caller's arrays are not changed. regrid nonzero refreshes the clump positions and
// rebuilds the grid. Not re-entrant (writes TWgal, refflag and the grid).
double initmodel(const BVec<std::string>& names, const Mat& params, const Vec& redshifts, int regrid);
inline double initmodel(const LensModel& m, int regrid) { return initmodel(m.names, m.p, m.z, regrid); }

// ---- staged: set-up steps that later parts of the program complete ----
// Creates the clump populations for n components; now every population is empty.
void clumpvec(int n);
// Refreshes the clump positions of the current model; now a no-op (no clumps exist).
void getclumppos();

// Shared by the model loader and the line-of-sight set-up: whether a row is a mass
// component (not "none" or "register"), and the integer reading of a real parameter
// (integer part of 1.000001 times it; 0 when that is no int).
bool is_mass_component(const std::string& name);
int trunc_int(double v);

// ---- lens planes (multi-plane lensing, models/multiplane.h) ----
// Sets up the lens planes of the model set from model 1's redshift row z (rows of class
// "none" and "register" get redshift 1e8); switches every component on and, with several
// planes, off those at or behind the source; builds the matrices for zsrc.
void initLOS(Vec& z);
// The line-of-sight shear reduction (shearLOS): keeps the main planes and folds the others
// into effective matrices along the reference ray. Needs model 1 loaded.
void initLOSshear();
// Fills the multi-plane matrices for the model's redshifts z and a source at redshift zs;
// nothing while multi-plane lensing is off. After a shearLOS reduction, zsrc restores the
// reduced matrices; another redshift gets plain matrices for the main planes (with a
// warning once per reduction).
void calcLOSmatrices(const Vec& z, double zs);
// Places each plane component in its own lens plane (position columns 5 and 6).
void procgalposLOS();
// Components that the line-of-sight settings treat exactly (the shearLOS exact list).
const std::vector<int>& exact_components();

// The redshifts and cosmology that the time-delay and bridge factors, the lens planes and
// their matrices were built for (models set up with the redshift flag).
struct RedshiftStamp {
  bool zflag = false;  // the model set carries redshifts
  double zlens = 0, zsrc = 0, zref = 0, omega = 0, lambda = 0;
};
extern RedshiftStamp TWzstamp;
// Part of the settings refresh: when the model set carries redshifts and zlens, zsrc, zref,
// omega or lambda changed since it was built, rebuilds its factors, planes and model
// ("Note: lens planes rebuilt for new redshifts"), or ends the program when the new
// redshifts cannot be used.
void refresh_lens_redshifts();
// Part of the settings refresh: when a setting that the lens evaluation reads (alphanorm,
// intshrmode, potflag, clumpmode, inttol, and the clump tree's leafsize, leaferr, xtol) changed since the last refresh, reloads model 1
// as a model load does, so that its grid, critical curves and catalogue are those of the
// lens now evaluated. setlens and changelens, which load the model themselves, only take
// note of the values. Settings read only when a model is loaded (logRein, shrcoords,
// maxellip, ...) leave the loaded lens as it is and apply at the next load.
void refresh_lens_settings();
// Forgets the values refresh_lens_settings compares with (program start).
void reset_lens_settings_stamp();
