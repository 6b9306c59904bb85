// checkfinsrc: how the images of the current extended source converge with the number of
// rays.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "imageplane/finite_source.h"
#include "imageplane/images.h"
#include "imageplane/source_models.h"
#include "io/outfile.h"
#include "io/qvmfile.h"
#include "numeric/interp.h"
#include "shell/argcheck.h"
#include "shell/commands.h"
#include "shell/fatal.h"
#include "shell/settings.h"

namespace {

// Restores the ray target, the analysis switch and the repetition numbering however the
// command ends.
struct CheckfinsrcScope {
  double rays = TWsrc.finsrc_ray_num;
  ~CheckfinsrcScope() {
    TWsrc.finsrc_ray_num = rays;
    TWfinsrc.finsrc_ray_verb = 0;
    TWfinsrc.rep_override = -1;
  }
};

void write_header(FILE* fp, int nref) {
  std::fprintf(fp, "        ");
  for (int j = 1; j <= nref; ++j) std::fprintf(fp, "          Image %-2d          ", j);
  std::fprintf(fp, "\n\n");
}

}  // namespace

void checkfinsrc(const WordArray& words) {
  if (!checksteps(words[3], "steps", 1, 1)) return;
  if (!checkint(words[4], "bootstraps")) return;
  const double lo = words.finite(1, "checkfinsrc"), hi = words.finite(2, "checkfinsrc");
  const int steps = words.signed_count(3, "number of steps");
  const long nrep = word_integer(words[4]);
  if (nrep < 1) {
    refuse("checkfinsrc needs at least one bootstrap");
    return;
  }
  if (log_range_refused(steps, lo, hi)) {
    warn_log_range();
    return;
  }
  const std::string outname = words[5];
  const int nsteps = std::abs(steps);

  CheckfinsrcScope scope;
  // The current source, checked, and where it sits; both ray counts within its bounds.
  setfinsrc(settings.isource, 0, 0.0, 0.0);
  for (const double r : {lo, hi}) {
    double excess;
    const std::string fault =
        source_rays_fault(TWsrc.srcID[settings.isource], TWsrc.srcparms[settings.isource][8], r, excess);
    if (!fault.empty()) fatal("checkfinsrc: " + fault);
  }
  const double u = TWsrc.srcparms[settings.isource][2], v = TWsrc.srcparms[settings.isource][3];
  qprintf("Running checkfinsrc\n");
  // Every search of the command has a repetition number of its own, whatever the seed, so
  // that its repetitions are independent and the command repeats exactly.
  long long rep = 0;

  TWsrc.finsrc_ray_num = hi;
  qprintf("Running reference case\n");
  int nref = 0;
  Mat list;
  TWfinsrc.rep_override = ++rep;
  find_img(nref, list, u, v);
  if (nref == 0) fatal("checkfinsrc: the reference search found no image");

  // Per step, image and column: sums, sums of squares; then means and errors.
  const size_t width = static_cast<size_t>(nref) * 4;
  std::vector<double> sum(static_cast<size_t>(nsteps) * width, 0.0), sq(sum.size(), 0.0);
  std::vector<long> count(static_cast<size_t>(nsteps), 0);
  for (int i = 1; i <= nsteps; ++i) {
    const double nray = setparm(steps, i, lo, hi);
    TWsrc.finsrc_ray_num = nray;
    qprintf("Nray= %.2e\n", nray);
    double* S = &sum[static_cast<size_t>(i - 1) * width];
    double* Q = &sq[static_cast<size_t>(i - 1) * width];
    for (long r = 1; r <= nrep; ++r) {
      TWfinsrc.finsrc_ray_verb = r == 1 ? 1 : 0;
      TWfinsrc.rep_override = ++rep;
      int n = 0;
      find_img(n, list, u, v);
      TWfinsrc.finsrc_ray_verb = 0;
      if (n != nref) {
        warning("incorrect number of images");
      } else {
        for (int j = 1; j <= nref; ++j)
          for (int c = 1; c <= 4; ++c) {
            const size_t k = static_cast<size_t>(j - 1) * 4 + (c - 1);
            S[k] += list[j][c];
            Q[k] += list[j][c] * list[j][c];
          }
        ++count[static_cast<size_t>(i - 1)];
      }
      if (r == 1) qprintf("bootstrap #");
      if (r % 10 == 0) qprintf(" %ld", r);
      std::fflush(QVMstdout);
    }
    qprintf("\n");
    if (count[static_cast<size_t>(i - 1)] == 0) {
      warning(strformat("checkfinsrc: no repetition at Nray = %.2e found the reference number of images; "
                        "the step is left out",
                        nray));
      continue;
    }
    const double cn = static_cast<double>(count[static_cast<size_t>(i - 1)]);
    for (size_t k = 0; k < width; ++k) {
      const double mean = S[k] / cn;
      // Rounding can take the mean square a little below the squared mean.
      const double var = std::max(0.0, Q[k] / cn - mean * mean);
      S[k] = mean;
      Q[k] = std::sqrt(var);
    }
  }

  WholeFile fp(outname, "could not open checkfinsrc output file", true);
  std::fprintf(fp, "Vary number of rays from top to bottom, images from left to right.\n");
  std::fprintf(fp, "\n");
  std::fprintf(fp, "Each block gives value of x, y, mu, tdel, with bootstrap errorbars.\n");
  std::fprintf(fp, "\n");
  write_header(fp, nref);
  auto block = [&](int i, bool relative) {
    const double* M = &sum[static_cast<size_t>(i - 1) * width];
    const double* E = &sq[static_cast<size_t>(i - 1) * width];
    const double* L = &sum[static_cast<size_t>(nsteps - 1) * width];
    for (int c = 1; c <= 4; ++c) {
      if (c == 1)
        std::fprintf(fp, "%8.2e", setparm(steps, i, lo, hi));
      else
        std::fprintf(fp, "        ");
      for (int j = 1; j <= nref; ++j) {
        const size_t k = static_cast<size_t>(j - 1) * 4 + (c - 1);
        double mean = M[k], err = E[k];
        if (relative) {
          double h = c == 3 ? std::fabs(L[static_cast<size_t>(j - 1) * 4 + 2]) : 1.0;
          if (h == 0.0) h = 1.0;
          mean = (mean - L[k]) / h;
          err /= h;
        }
        std::fprintf(fp, "  %11.4e +/- %10.4e", mean, err);
      }
      std::fprintf(fp, "\n");
    }
    std::fprintf(fp, "\n");
  };
  for (int i = 1; i <= nsteps; ++i)
    if (count[static_cast<size_t>(i - 1)] > 0) block(i, false);
  // The relative blocks are measured against the last step: none when it was left out.
  if (count[static_cast<size_t>(nsteps - 1)] > 0) {
    std::fprintf(fp, "Now each block gives error (relative to highest Nray) in x, y, mu, tdel.\n");
    std::fprintf(fp, "Fractional error for mu, absolute for x, y, and tdel.\n");
    std::fprintf(fp, "\n");
    write_header(fp, nref);
    for (int i = 1; i <= nsteps; ++i)
      if (count[static_cast<size_t>(i - 1)] > 0) block(i, true);
  }
  fp.commit();
}
