// The subsave command: the small-grid cache of the clump field, built around the images
// of the loaded lens data.
#include "fit/subsave.h"

#include <algorithm>
#include <string>

#include "fit/fit_data.h"
#include "io/outfile.h"
#include "models/substructure.h"
#include "shell/commands.h"
#include "shell/fatal.h"
#include "sim/clumps.h"

namespace {

// The observed image positions that the cache is built around, [1..n][1..2], source by
// source and within a source in data order; returns n.
int subsave_images(Mat& images) {
  images.clear();
  const ObservedData& ob = TSobs;
  int n = 0;
  for (int i = 1; i <= ob.Nsrcobs && i <= ob.srcobs.hi(); ++i) n += std::max(0, ob.srcobs[i].nimg);
  if (n <= 0) return 0;
  images.reset(1, n, 1, 2);
  int k = 0;
  for (int i = 1; i <= ob.Nsrcobs && i <= ob.srcobs.hi(); ++i) {
    const SrcData& s = ob.srcobs[i];
    for (int j = 1; j <= s.nimg; ++j) {
      ++k;
      images[k][1] = s.x[j];
      images[k][2] = s.y[j];
    }
  }
  return n;
}

}  // namespace

void subsave(const WordArray& words) {
  const int n = words.own_count();
  const std::string what = words[1];
  ClumpState& cs = TWclump;
  if (what == "on" && n >= 8) {
    if (cs.subsaveN > 0) {
      warning("subsave already on -- turn it off before changing it");
      return;
    }
    const int nx = words.signed_count(4, "number of grid points"), ny = words.signed_count(7, "number of grid points");
    if (nx < 2 || ny < 2) {
      refuse("subsave needs at least 2 grid points in x and in y; subsave stays off");
      return;
    }
    const double lim[4] = {words.finite(2, words[0]), words.finite(3, words[0]), words.finite(5, words[0]), words.finite(6, words[0])};
    WholeFile out;
    if (n > 8) out = WholeFile(words[8], "could not open subsave output file", true);
    qprintf("Turning on subsave.\n");
    qprintf("Applying subsave to the following mass component(s): ");
    for (long j = 1; j <= cs.clumpdat.hi(); ++j)
      if (cs.clumpdat[j].type > 0) qprintf("%ld", j);
    qprintf("\n");
    qprintf("Computing subsave around the following image positions:\n");
    Mat images;
    const int nimg = subsave_images(images);
    if (nimg <= 0) {
      warning("Cannot use subsave because no images are loaded.");
      subsave_free();
      out.commit();
      return;
    }
    subsave_build(images, nimg, lim, nx, ny, out.get(), false);
    out.commit();
    return;
  }
  if (what == "off" && n >= 2) {
    if (cs.subsaveN > 0) {
      if (!quietflag) qprintf("Turning off subsave.\n");
      subsave_free();
    } else if (!quietflag) {
      qprintf("Cannot turn off subsave because it has not been turned on.\n");
    }
    return;
  }
  if (what == "test" && n >= 4) {
    WholeFile out(words[2], "could not open subsave test output file", true);
    std::fprintf(out, "#  x y [error in:] pot defx defy xx yy xy\n");
    if (cs.subsaveN <= 0) {
      if (!quietflag) qprintf("Cannot test subsave because it has not been turned on.\n");
      out.commit();
      return;
    }
    subsave_test(out, words.signed_count(3, "number of test points"));
    out.commit();
    return;
  }
  const bool mode = what.empty() || what == "on" || what == "off" || what == "test";
  refuse_line(words, mode ? "too few arguments" : "unknown mode " + what);
}

