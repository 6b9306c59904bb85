// Result writers of the fitter: start files, the chi-squared line, the best-fit report and
// the plot macros of the tiling and critical curves.
#include "fit/results.h"

#include <cmath>

#include "core/lens_model.h"
#include "core/sources.h"
#include "fit/curves_rings.h"
#include "fit/fit_data.h"
#include "fit/pointchi.h"
#include "fit/store.h"
#include "imageplane/critcurves.h"
#include "imageplane/grid.h"
#include "imageplane/source_models.h"
#include "io/outfile.h"
#include "models/component.h"
#include "models/evaluator.h"
#include "numeric/sort.h"
#include "shell/fatal.h"
#include "shell/settings.h"
#include "shell/vars.h"

void writechi(FILE* stream, const double* chi, int labelled) {
  if (labelled) std::fprintf(stream, "CHISQ:");
  for (int i = 0; i < 9; ++i) std::fprintf(stream, " %e", chi[i]);
  if (labelled) std::fprintf(stream, " # tot pos flux tdel gal plim crv ring weak");
  std::fprintf(stream, "\n");
  if (std::fabs(settings.chimode - 2.0) < 1e-4) std::fprintf(stream, "RMS: %e # from GausCorr\n", GausCorr.rms);
}

namespace {
int count_components(const BVec<std::string>& names) {
  int n = 0;
  for (int i = 1; i <= TWgal.NGALMAX; ++i)
    if (names[i] != "none") ++n;
  return n;
}

// Line of the first line's third number: the multi-plane flag when it is on.
void write_header(FILE* fp, int n, int count) {
  if (LOS.on != 0)
    std::fprintf(fp, "%d %d %d\n", n, count, LOS.on);
  else
    std::fprintf(fp, "%d %d\n", n, count);
}

void write_vary(FILE* fp, const BVec<std::string>& names, const IMat& vary) {
  for (int i = 1; i <= TWgal.NGALMAX; ++i) {
    if (names[i] == "none") continue;
    for (int k = 1; k <= 10; ++k) std::fprintf(fp, " %d", vary[i][k]);
    std::fprintf(fp, "\n");
  }
}

// A startup file replaces an earlier one only when complete; a failure ends the program.
WholeFile open_start(const std::string& path) { return WholeFile(path, "could not open startup file " + path); }
}  // namespace

void writestart(const std::string& path, const BVec<std::string>& names, const IMat& vary, const Mat& params) {
  WholeFile fp = open_start(path);
  qprintf("Writing startup file to %s\n", path.c_str());
  write_header(fp, count_components(names), 1);
  writep(fp, names, params);
  write_vary(fp, names, vary);
  fp.commit();
}

void writestartN(const std::string& path, const BVec<std::string>& names, const IMat& vary,
                 const BVec<Mat>& models, const Vec& chi, int count) {
  LVec order(1, count);
  Vec c(1, count);
  for (int k = 1; k <= count; ++k) c[k] = chi[k];
  indexx(count, c, order);
  WholeFile fp = open_start(path);
  qprintf("Writing multi-model startup file to %s\n", path.c_str());
  write_header(fp, count_components(names), count);
  for (int k = 1; k <= count; ++k) {
    std::fprintf(fp, "# chi= %e\n", chi[order[k]]);
    writep(fp, names, models[order[k]]);
  }
  write_vary(fp, names, vary);
  fp.commit();
}

bool evaluation_stopped(const double* chi) {
  if (chi[kChiTot] == 0) return false;
  for (int c = 1; c < kChiSlots; ++c)
    if (chi[c] != 0) return false;
  return true;
}

void writebest(FILE* fp, const BVec<std::string>& names, const Mat& params) {
  const bool stopped = evaluation_stopped(TSstore.chi);
  std::fprintf(fp, "LENS PARMS:\n");
  writep(fp, names, params);
  std::fprintf(fp, "SOURCE PARMS:\n");
  writesrc(fp, TWsrc.srcID, TWsrc.srcparms);
  writechi(fp, TSstore.chi, 1);
  std::fprintf(fp, "\n");
  const bool gauscorr = std::fabs(settings.chimode - 2.0) < 1e-4;
  int ir = 0;  // next entry of the correlated-position residuals
  for (int i = 1; i <= TSobs.Nsrcobs; ++i) {
    const SrcData& o = TSobs.srcobs[i];
    const SrcData& m = TSobs.srcmod[i];
    double xs = 0, ys = 0;
    GetRegister(1, i, xs, ys);
    std::fprintf(fp, "Source #%d\n", i);
    std::fprintf(fp, "  posn: %13.6e %13.6e\n", stopped ? 0.0 : m.u, stopped ? 0.0 : m.v);
    std::fprintf(fp, "  flux: %13.6e\n", !stopped && m.multiflux >= 1 ? m.fsrc[1] : 0.0);
    std::fprintf(fp, "     h: %13.6e\n", stopped ? 0.0 : m.h);
    if (m.zsrc > 0)
      std::fprintf(fp, "  zsrc: %13.6e\n", m.zsrc);
    else if (settings.zsrc > 0)
      std::fprintf(fp, "  zsrc: %13.6e\n", settings.zsrc);
    if (std::fabs(m.pscale - 1) > 1e-6) std::fprintf(fp, "Dls/Ds: %13.6e\n", m.pscale);
    std::fprintf(fp, "tscale: %13.6e\n", settings.tscale / o.pscale);
    std::fprintf(fp, "images:\n");
    const int n = std::min(o.nimg, o.maximg);
    for (int k = 1; k <= n; ++k) {
      if (o.core[k] != 0) continue;
      const bool have = !stopped && k <= m.maximg && m.multiflux >= 1;
      std::fprintf(fp, " %8.4f %8.4f (%.1e) %8.4f (%9.2e) %6.2f (%.1e) -> %8.4f %8.4f %8.4f %8.4f\n", o.x[k] + xs,
                   o.y[k] + ys, o.sig_a[k], o.multiflux >= 1 ? o.flux[k][1] : 0.0,
                   o.multiflux >= 1 ? o.sig_flux[k][1] : 0.0, o.tdel[k], o.sig_tdel[k], have ? m.x[k] : 0.0,
                   have ? m.y[k] : 0.0, have ? m.flux[k][1] : 0.0, have ? m.tdel[k] : 0.0);
    }
    if (!stopped && m.nextra > 0) {
      std::fprintf(fp, "Extra model images: %d\n", m.nextra);
      for (int k = 1; k <= m.nextra; ++k)
        std::fprintf(fp, settings.extraflux > 0 ? " %13.6e %13.6e %13.6e  (x,y,flux)\n"
                                                : " %13.6e %13.6e %13.6e  (x,y,magnification)\n",
                     m.extra[k][1], m.extra[k][2], m.extra[k][3]);
    }
    if (gauscorr) {
      std::fprintf(fp, "GausCorr residuals:\n");
      for (int l = 2; l <= m.nimg; ++l) {
        const double a = ir + 1 <= GausCorr.resid.hi() ? GausCorr.resid[ir + 1] : 0.0;
        const double b = ir + 2 <= GausCorr.resid.hi() ? GausCorr.resid[ir + 2] : 0.0;
        ir += 2;
        std::fprintf(fp, "  %d %d %13.6e %13.6e %13.6e\n", i, l, a, b, std::sqrt(a * a + b * b));
      }
    }
    std::fprintf(fp, "\n");
  }
  std::fprintf(fp, "\n");
  writeringp(fp);
}

namespace {
const char* const kColours[4] = {"blue", "green", "magenta", "cyan"};

void macro_opening(FILE* fp, const char* name) {
  std::fprintf(fp, "%s 03 # %s [automatic limits?] [plot grid?] [use colors?]\n", name, name);
  std::fprintf(fp, "\t if (!$?1) {define 1 1}\n");
  std::fprintf(fp, "\t if (!$?2) {define 2 1}\n");
  std::fprintf(fp, "\t if (!$?3) {define 3 1}\n");
}

void panel_opening(FILE* fp, const char* name, double xc, double yc, double R, const char* label,
                   const char* plotone) {
  macro_opening(fp, name);
  std::fprintf(fp, "\t define limitflag $1\n");
  std::fprintf(fp, "\t define gridflag  $2\n");
  std::fprintf(fp, "\t define colorflag $3\n");
  std::fprintf(fp, "\t if ($limitflag==1) {limits %f %f %f %f}\n", xc - R, xc + R, yc - R, yc + R);
  std::fprintf(fp, "\t box \\n xlabel arcsec \\n ylabel arcsec\n");
  std::fprintf(fp, "\t relocate $($fx1+0.5*($fx2-$fx1)) $($fy1+1.02*($fy2-$fy1))\n");
  std::fprintf(fp, "\t putlabel 8 %s\n", label);
  std::fprintf(fp, "\t if ($gridflag) {myctype black \\n %s grid.dat}\n", plotone);
  std::fprintf(fp, "\t myctype red \\n %s crit.dat\n", plotone);
  std::fprintf(fp, "\t expand $($expand*1.5)\n");
}

void panel_closing(FILE* fp) {
  std::fprintf(fp, "\t expand $($expand/1.5)\n");
  std::fprintf(fp, "\t myctype black\n");
  std::fprintf(fp, "\n");
}
}  // namespace

void doplot() {
  plot_grid("grid.dat");
  plot_crit("crit.dat");
  WholeFile fp;
  try {
    fp = WholeFile("best.sm", "Could not open sm file best.sm");
  } catch (const FatalError& e) {
    // The plot macros are a convenience: without them the fit goes on.
    print_error(e.message);
    return;
  }
  qprintf("Writing sm macros to best.sm\n");
  // No model images or sources to mark when the fit's last evaluation stopped at a hard check.
  const bool stopped = evaluation_stopped(TSstore.chi);
  const double R = 1.05 * GetVar("gridhi1") * GetVar("rscale");
  const double xc = getp(1, 2), yc = getp(1, 3);
  double pot, px, py, pxx, pyy, pxy, pyx;
  potdefmag(xc, yc, pot, px, py, pxx, pyy, pxy, pyx);
  const double uc = xc - px, vc = yc - py;

  std::fprintf(fp, "\n");
  macro_opening(fp, "plot");
  std::fprintf(fp, "\t erase \n");
  std::fprintf(fp, "\t window 2 2 1 1 \\n plotimg $1 $2 $3\n");
  std::fprintf(fp, "\t window 2 2 2 1 \\n plotsrc $1 $2 $3\n");
  std::fprintf(fp, "\n");

  panel_opening(fp, "plotimg", xc, yc, R, "image plane", "imgplotone");
  for (int i = 1; i <= TSobs.Nsrcobs; ++i) {
    const SrcData& o = TSobs.srcobs[i];
    const SrcData& m = TSobs.srcmod[i];
    double xs = 0, ys = 0;
    GetRegister(1, i, xs, ys);
    std::fprintf(fp, "\t myctype %s\n", kColours[(i - 1) % 4]);
    const int n = std::min(o.nimg, o.maximg);
    for (int k = 1; k <= n; ++k) {
      std::fprintf(fp, "\t relocate %f %f \\n ptype 3 3 \\n dot\n", o.x[k] + xs, o.y[k] + ys);
      if (k <= m.maximg && !stopped)
        std::fprintf(fp, "\t relocate %f %f \\n ptype 4 3 \\n dot\n", m.x[k] + xs, m.y[k] + ys);
    }
  }
  panel_closing(fp);

  panel_opening(fp, "plotsrc", uc, vc, R, "source plane", "srcplotone");
  for (int i = 1; i <= TSobs.Nsrcobs; ++i) {
    const SrcData& m = TSobs.srcmod[i];
    std::fprintf(fp, "\t myctype %s\n", kColours[(i - 1) % 4]);
    if (!stopped) std::fprintf(fp, "\t relocate %f %f \\n ptype 4 3 \\n dot\n", m.u, m.v);
  }
  panel_closing(fp);

  std::fprintf(fp, "myctype 1\n");
  std::fprintf(fp, "\t if ($colorflag) {ctype $1} else {ctype black}\n");
  std::fprintf(fp, "\n");
  const char* data_line = "\t data $1 read {x1 1 y1 2 u1 3 v1 4 x2 5 y2 6 u2 7 v2 8}\n";
  std::fprintf(fp, "imgplotone 11\n");
  std::fprintf(fp, "%s", data_line);
  std::fprintf(fp, "\t do i=0,dimen(x1)-1 {relocate $(x1[$i]) $(y1[$i]) draw $(x2[$i]) $(y2[$i])}\n");
  std::fprintf(fp, "\n");
  std::fprintf(fp, "srcplotone 11\n");
  std::fprintf(fp, "%s", data_line);
  std::fprintf(fp, "\t do i=0,dimen(x1)-1 {relocate $(u1[$i]) $(v1[$i]) draw $(u2[$i]) $(v2[$i])}\n");
  std::fprintf(fp, "\n");
  fp.commit();
}
