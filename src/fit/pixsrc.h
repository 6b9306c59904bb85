// The pixelated-source term: every trial model's deflection field is handed to an
// external source-reconstruction program, whose log-evidence becomes a chi-squared,
// chi^2 = -2 ln(E/E0).
//
// Exchange files, in the folder "tempFolder" of the working directory:
//   <base>_gridSize.dat   read by `pixsrc on`: xmin ymin xmax ymax (pixel indices)
//   <base>_deflection.dat written per evaluation: "i j ax ay" per pixel, i outer, the
//                         deflection at (i scale, j scale) in pixel units
//   <base>_evidence.dat   read per evaluation: ln E
// The program is started as "java -jar <exec> <base>" (java found through PATH), directly
// and without a shell, and waited for.
#pragma once

#include <string>

#include "shell/words.h"

struct PixsrcSettings {
  int pixsrcflag = 0;
  std::string pixsrc_base;
  double pixsrc_scl = 1.0;  // image-plane length of one pixel
  double pixsrc_lE0 = 0.0;  // reference log-evidence ln(E0)
  std::string pixsrc_exec = "morvane.jar";
  int pixsrc_rng[4] = {0, 0, 0, 0};  // xmin, ymin, xmax, ymax
};
extern PixsrcSettings TWpixsrc;

// Start-up: the term is off.
void init_pixsrc();

// Paths of the exchange files for a base name.
std::string pixsrc_path(const std::string& base, const char* suffix);
// Writes the deflection file of the loaded model.
void pixsrc_write_deflection();
// Runs the external program on the current deflection file and returns -2 (ln E - ln E0).
// A program that cannot be started, fails or leaves no finite evidence ends the program.
double pixsrc_run();
// The term for the loaded model: 0 while the term is off, when the parameter-limit slot
// plim (which the test term adds to) exceeds 1e8, or when the test term rejected the model
// (models rejected anyway are not sent out); otherwise the deflection file is written and
// the program run.
double pixsrc_term(double plim, bool rejected = false);

void pixsrc(const WordArray& words);
void pixsrchelp(int level);
