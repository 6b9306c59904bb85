// Observed lens data: the galaxy and source records, the data file reader and the commands
// data, data2 and batchdata.
#include "fit/fit_data.h"

#include <algorithm>
#include <cmath>

#include "fit/fit_state.h"
#include "fit/pointchi.h"
#include "imageplane/grid.h"
#include "imageplane/source_models.h"
#include "io/qvmfile.h"
#include "numeric/constants.h"
#include "numeric/cosmology.h"
#include "numeric/random.h"
#include "shell/commands.h"
#include "shell/fatal.h"
#include "shell/settings.h"
#include "shell/vars.h"

ObservedData TSobs;
RandomStream batchdata_nseed;

void SrcData::allocate(int mimg, int mflux) {
  maximg = std::max(mimg, 0);
  multiflux = std::max(mflux, 0);
  nimg = 0;
  nflux = 1;
  u = v = h = 0;
  wpos = wflux = wtdel = 1;
  zsrc = -1;
  pscale = 1;
  nextra = 0;
  fsrc.reset(1, multiflux);
  srcsize.reset(1, multiflux);
  srcsize.fill(1.0);
  core.reset(1, maximg);
  grid.reset(1, maximg);
  for (Vec* a : {&x, &y, &sig_a, &sig_b, &err_pa, &tdel, &sig_tdel}) a->reset(1, maximg);
  flux.reset(1, maximg, 1, multiflux);
  sig_flux.reset(1, maximg, 1, multiflux);
  extra.reset(1, maximg, 1, 4);
  invcov.reset(1, maximg, 0, 1, 0, 1);
}

void clear_observed_data() {
  TSobs = ObservedData();
}

BVec<GalData> galvector(long lo, long hi) { return BVec<GalData>(lo, hi); }
void free_galvector(BVec<GalData>& table) { table.clear(); }

BVec<SrcData> srcvector(long lo, long hi) {
  BVec<SrcData> t(lo, hi);
  for (long i = lo; i <= hi; ++i) t[i].allocate(settings.maximg, settings.multiflux);
  return t;
}
void free_srcvector(BVec<SrcData>& table) { table.clear(); }

void copygalaxy(GalData& to, const GalData& from) { to = from; }

void copysource(const SrcData& from, SrcData& to) {
  if (from.nimg > to.maximg || from.nextra > to.maximg) fatal("QVM uh oh maximg");
  if (from.nflux > to.multiflux) fatal("QVM uh oh multiflux");
  const int nb = std::min(from.multiflux, to.multiflux);
  to.nimg = from.nimg;
  to.nflux = from.nflux;
  to.u = from.u;
  to.v = from.v;
  to.h = from.h;
  to.zsrc = from.zsrc;
  to.wpos = from.wpos;
  to.wflux = from.wflux;
  to.wtdel = from.wtdel;
  to.pscale = from.pscale;
  for (int b = 1; b <= nb; ++b) {
    to.fsrc[b] = from.fsrc[b];
    to.srcsize[b] = from.srcsize[b];
  }
  for (int k = 1; k <= from.nimg; ++k) {
    to.core[k] = from.core[k];
    to.grid[k] = from.grid[k];
    to.x[k] = from.x[k];
    to.y[k] = from.y[k];
    to.sig_a[k] = from.sig_a[k];
    to.sig_b[k] = from.sig_b[k];
    to.err_pa[k] = from.err_pa[k];
    to.tdel[k] = from.tdel[k];
    to.sig_tdel[k] = from.sig_tdel[k];
    for (int b = 1; b <= nb; ++b) {
      to.flux[k][b] = from.flux[k][b];
      to.sig_flux[k][b] = from.sig_flux[k][b];
    }
    for (int i = 0; i <= 1; ++i)
      for (int j = 0; j <= 1; ++j) to.invcov[k][i][j] = const_cast<Tensor3&>(from.invcov)[k][i][j];
  }
  to.nextra = from.nextra;
  for (int k = 1; k <= from.nextra; ++k)
    for (int c = 1; c <= 3; ++c) to.extra[k][c] = from.extra[k][c];
}

void use_batch_entry(int i) {
  if (i < 1 || i > TSobs.Nbatdat) fatal(strformat("batch entry %d does not exist", i));
  copygalaxy(TSobs.galobs[1], TSobs.galbat[i]);
  copysource(TSobs.srcbat[i], TSobs.srcobs[1]);
  TSobs.batch_entry = i;
  TSobs.poserr_checked = false;
}

void compute_invcov(SrcData& s, int k) {
  const double th = s.err_pa[k] * kPi / 180.0;
  const double c = std::cos(th), sn = std::sin(th);
  const double A = s.sig_a[k] * s.sig_a[k], B = s.sig_b[k] * s.sig_b[k];
  const double iA = A > 0 ? 1.0 / A : 0.0, iB = B > 0 ? 1.0 / B : 0.0;
  s.invcov[k][0][0] = sn * sn * iA + c * c * iB;
  s.invcov[k][1][1] = c * c * iA + sn * sn * iB;
  // s c (A - B)/(A B) = s c (1/B - 1/A)
  s.invcov[k][0][1] = s.invcov[k][1][0] = sn * c * (iB - iA);
}

void require_position_errors() {
  if (TSobs.poserr_checked) return;
  for (int i = 1; i <= TSobs.Nsrcobs; ++i) {
    const SrcData& s = TSobs.srcobs[i];
    for (int k = 1; k <= s.nimg; ++k) {
      if (s.core[k] != 0) continue;
      if (s.sig_a[k] <= 0 || s.sig_b[k] <= 0) {
        std::string where = strformat("source #%d, image #%d", i, k);
        if (TSobs.batch_entry > 0) where += strformat(" of batch entry %d", TSobs.batch_entry);
        fatal("position error of 0 for " + where + "; image positions need errors above 0");
      }
    }
  }
  TSobs.poserr_checked = true;
}

// The redshift the model is referenced to, as the core takes it: zref as the user set
// it, or the zsrc setting while zref is negative (the default); -1 when neither is set.
static double model_zref() {
  const double zref = GetVar("zref");
  if (zref >= 0) return zref;
  const double zsrc = GetVar("zsrc");
  return zsrc > 0 ? zsrc : -1;
}

double reference_ratio(bool print) {
  const double zref = model_zref();
  if (zref < 0 || zref >= 1000) {
    if (print) note("For source redshift scaling, using Dls/Dos=1.");
    return 1.0;
  }
  const double R0 = PMdist(settings.zlens, zref) / PMdist(0, zref);
  if (print) note(strformat("For source redshift scaling, using z,Dls/Dos= %e %e", zref, R0));
  return R0;
}

void proc_imggrid() {
  SecondaryGridParams& p = TWsecgrid.imggridp;
  const int N = static_cast<int>(p[1] * 1.000001);
  if (N >= 0) {
    TWgrid.nimggrid = N;
    return;
  }
  const int m = std::min(-N, TSobs.Nsrcobs);
  qprintf("Setting positions for imggrid/imgarray:\n");
  int total = 0;
  for (int i = 1; i <= m; ++i) total += TSobs.srcobs[i].nimg;
  p[1] = total;
  TWgrid.nimggrid = total;
  if (total > 0)
    TWsecgrid.imggridpos.reset(1, total, 1, 2);
  else
    TWsecgrid.imggridpos.clear();
  int n = 0;
  for (int i = 1; i <= m; ++i) {
    SrcData& s = TSobs.srcobs[i];
    for (int k = 1; k <= s.nimg; ++k) {
      ++n;
      s.grid[k] = n;
      TWsecgrid.imggridpos[n][1] = s.x[k];
      TWsecgrid.imggridpos[n][2] = s.y[k];
      qprintf("  %13.6e %13.6e\n", s.x[k], s.y[k]);
    }
  }
}

namespace {

// Lines of one data file: every read must find a line with enough values. The last value
// of a line (an error, usually) may be left out and is then 0.
struct DataReader {
  FILE* fp;
  std::string path;
  WordArray w;
  // Next data line; the end of the file here is an error naming the file.
  void next() {
    if (myread(fp, w) == 0) fatal("data file " + path + " ends before all its lines were read");
  }
  void next(int values, const char* message) {
    next();
    if (w.own_count() < values) fatal(message);
  }
  // Value k of the line, 0 when the line has no such value; a value that is not a finite
  // number ends the program naming the file.
  double val(int k) const { return k < w.own_count() ? w.finite(k, "data file " + path) : 0.0; }
  // The count that starts the line just read: a finite integer (within 1e-4, by the
  // program's integer rule) within lo..hi; anything else ends the program naming the file.
  int count(const char* name, int lo, int hi) const {
    const std::string& word = w[0];
    double v = 0;
    bool ok = parse_real(word, v) && fits_int(v);
    if (ok) {
      const long k = read_integer(v);
      ok = std::fabs(v - static_cast<double>(k)) < 1.0e-4 && k >= lo && k <= hi;
    }
    if (!ok) fatal("data file " + path + ": " + name + " " + word + " is not a usable count");
    return static_cast<int>(read_integer(v));
  }
};

// What one load noticed, for its once-per-load notes.
struct LoadNotes {
  bool zero_flux_error = false;
  bool zero_galaxy_error = false;
  void print() const {
    if (zero_flux_error)
      note("flux errors of 0 mark unmeasured fluxes; those images are left out of the flux fit.");
    if (zero_galaxy_error)
      note("galaxy position errors of 0 mark unmeasured positions; those galaxies are left out of the galaxy term.");
  }
};

// Reads the four lines of one galaxy (elliptical: the position line of data2).
void read_galaxy(DataReader& r, GalData& g, bool elliptical, double sigg, LoadNotes& notes) {
  if (elliptical) {
    r.next(4, "too few galaxy position data entries");
    g.x = r.val(0);
    g.y = r.val(1);
    g.sig_a = r.val(2);
    g.sig_b = r.val(3);
    g.err_pa = r.val(4);
  } else {
    r.next(2, "too few galaxy position data entries");
    g.x = r.val(0);
    g.y = r.val(1);
    g.sig_a = r.val(2);
    if (sigg != 0) g.sig_a = sigg;
    g.sig_b = g.sig_a;
    g.err_pa = 0;
  }
  r.next(1, "too few galaxy effective radius data entries");
  g.R_e = r.val(0);
  g.sig_R_e = r.val(1);
  r.next(1, "too few galaxy PA data entries");
  g.PA = r.val(0);
  g.sig_PA = r.val(1);
  r.next(1, "too few galaxy ellipticity data entries");
  g.e = r.val(0);
  g.sig_e = r.val(1);
  if (g.sig_a == 0 || g.sig_b == 0) notes.zero_galaxy_error = true;
}

// Takes the optional words of a source line (already read) into s: wpos, then wflux only
// after wpos, wtdel only after wflux, zsrc only after all three weights. A zsrc of 0
// counts as not given. A value that is not a finite number ends the program naming the file.
void read_source_options(const DataReader& r, SrcData& s) {
  const int n = r.w.own_count();
  s.zsrc = settings.zsrc;
  if (n > 1) {
    s.wpos = r.val(1);
    if (n > 2) {
      s.wflux = r.val(2);
      if (n > 3) {
        s.wtdel = r.val(3);
        if (n > 4 && r.val(4) != 0) s.zsrc = r.val(4);
      }
    }
  }
}

// Redshift bookkeeping of a load: whether redshift information is used and the scale
// factor of each source.
struct RedshiftState {
  bool on = false;
  bool turned_off = false;
  double R0 = 1;

  // The scale factor of a source at zs; ends the program when the source (or the
  // reference redshift) is not behind the lens.
  double scale(int isrc, double zs) const {
    const double zl = settings.zlens;
    if (zs <= zl)
      fatal(strformat("source #%d has zsrc=%g, not behind the lens at zlens=%g", isrc, zs, zl));
    return PMdist(zl, zs) / PMdist(0, zs) / R0;
  }
  void check_zref() const {
    const double zref = model_zref();
    if (zref >= 0 && zref < 1000 && zref <= settings.zlens)
      fatal(strformat("zref=%g is not behind the lens at zlens=%g", zref, settings.zlens));
  }
  // First source: decides whether redshift information is used. With print_ref the
  // reference note follows when it is (so a fit says which redshift its model is at).
  void first(int isrc, SrcData& s, bool print, bool print_ref = false) {
    const double zl = settings.zlens;
    const bool has_z = s.zsrc > 0;
    s.pscale = 1;
    const char* msg;
    if (zl <= 0 && !has_z) {
      msg = "No redshift information is being used.";
    } else if (zl > 0 && !has_z) {
      msg = "You gave zlens but not zsrc, so no redshift information is used.";
    } else if (zl <= 0 && has_z) {
      msg = "You gave zsrc but not zlens, so no redshift information is used.";
    } else {
      msg = "Using redshift information.";
      on = true;
    }
    if (print) note(msg);
    if (on) {
      check_zref();
      R0 = reference_ratio(print_ref);
      s.pscale = scale(isrc, s.zsrc);
    }
  }
  void later(int isrc, SrcData& s) {
    s.pscale = 1;
    if (!on) return;
    if (s.zsrc <= 0) {
      warning(strformat("source #%d does not have a redshift,\n         so all redshift information is ignored.", isrc));
      on = false;
      turned_off = true;
      return;
    }
    s.pscale = scale(isrc, s.zsrc);
  }
};

void check_maximg(int isrc, int nimg, const SrcData& s) {
  if (nimg > s.maximg)
    fatal(strformat("source #%d has %d images; the\n       code can handle no more than %d", isrc,
                    nimg, s.maximg));
}

// Reads one image line into image k of s (elliptical: the line of data2).
void read_image(DataReader& r, SrcData& s, int k, bool elliptical) {
  if (elliptical) {
    r.next(8, "too few image data entries");
    s.x[k] = r.val(0);
    s.y[k] = r.val(1);
    s.flux[k][1] = r.val(2);
    s.sig_a[k] = r.val(3);
    s.sig_b[k] = r.val(4);
    s.err_pa[k] = r.val(5);
    s.sig_flux[k][1] = r.val(6);
    s.tdel[k] = r.val(7);
    s.sig_tdel[k] = r.val(8);
  } else {
    r.next(6, "too few image data entries");
    s.x[k] = r.val(0);
    s.y[k] = r.val(1);
    s.flux[k][1] = r.val(2);
    s.sig_a[k] = r.val(3);
    s.sig_flux[k][1] = r.val(4);
    s.tdel[k] = r.val(5);
    s.sig_tdel[k] = r.val(6);
    s.sig_b[k] = s.sig_a[k];
    s.err_pa[k] = 0;
  }
}

// The galaxy whose core holds image k (the last one within omitcore), 0 for none.
int core_of(const BVec<GalData>& gal, int ngal, double x, double y) {
  int c = 0;
  for (int g = 1; g <= ngal; ++g)
    if (std::hypot(x - gal[g].x, y - gal[g].y) < settings.omitcore) c = g;
  return c;
}

// The multi-band section of a source, read when every band-1 flux is negative.
void read_bands(DataReader& r, SrcData& s, LoadNotes& notes) {
  bool all_negative = s.nimg > 0;
  for (int k = 1; k <= s.nimg; ++k)
    if (!(s.flux[k][1] < 0)) all_negative = false;
  if (!all_negative) return;
  r.next(1, "missing number of multiwavelength flux bands");
  const int nflux = r.count("nflux", 0, 99999);
  if (nflux > s.multiflux) fatal("you need to increase multiflux");
  qprintf("Reading multiwavelength flux data: nflux = %d\n", nflux);
  s.nflux = nflux;
  for (int b = 1; b <= s.nflux; ++b) {
    r.next(2 * s.nimg, "not enough multiwavelength flux data");
    s.srcsize[b] = r.val(0);
    for (int k = 1; k <= s.nimg; ++k) {
      s.flux[k][b] = r.val(2 * k - 1);
      s.sig_flux[k][b] = r.val(2 * k);
      if (s.sig_flux[k][b] == 0) notes.zero_flux_error = true;
    }
  }
}

FILE* open_or_fail(const std::string& path, const char* message) {
  FILE* fp = open_input_file(path, "r", message);
  if (!fp) fatal(message);
  return fp;
}

// Releases the current lens (not the batch tables).
void release_current_lens() {
  TSobs.Ngalobs = 0;
  TSobs.galobs.clear();
  TSobs.galmod.clear();
  TSobs.Nsrcobs = 0;
  TSobs.srcobs.clear();
  TSobs.srcmod.clear();
  TSobs.batch_entry = 0;
  TSobs.poserr_checked = false;
}

// Source-model tables and image grids follow the observed sources; the model records
// start as copies of the observed ones.
void finish_load() {
  if (TSobs.Nsrcobs > TWsrc.NSRCMAX) InitSrcArr(TSobs.Nsrcobs, TWsrc.finsrc_ray_num);
  proc_imggrid();
  for (int i = 1; i <= TSobs.Nsrcobs; ++i) copysource(TSobs.srcobs[i], TSobs.srcmod[i]);
  for (int i = 1; i <= TSobs.Ngalobs; ++i) copygalaxy(TSobs.galmod[i], TSobs.galobs[i]);
}

// data and data2: loads one observed lens.
void load_lens(const WordArray& words, bool elliptical) {
  double sigx = 0, sigf = 0, sigt = 0, sigg = 0;
  if (!elliptical) {
    const int n = words.own_count();
    sigx = n > 2 ? words.finite(2, "data") : 0;
    sigf = n > 3 ? words.finite(3, "data") : 0;
    sigt = n > 4 ? words.finite(4, "data") : 0;
    sigg = n > 5 ? words.finite(5, "data") : 0;
  }
  const std::string path = words[1];
  FileHandle file(open_or_fail(path, "could not open data file"));
  if (elliptical || !quietflag) qprintf("Reading lens data from file %s\n", path.c_str());

  DataReader r{file, path, WordArray()};
  LoadNotes notes;
  r.next();
  const int ngal = r.count("Ngal", 1, 99999);
  BVec<GalData> gal = galvector(1, ngal);
  for (int g = 1; g <= ngal; ++g) read_galaxy(r, gal[g], elliptical, sigg, notes);

  r.next();
  const int nsrc = r.count("Nsrcobs", 1, 99999);
  RedshiftState z;
  BVec<SrcData> src = srcvector(1, nsrc);
  double rmax = -1;
  const bool print_core = elliptical || !quietflag;
  for (int i = 1; i <= nsrc; ++i) {
    SrcData& s = src[i];
    r.next();
    const int nimg = r.count("Nimg", 1, 99999);
    read_source_options(r, s);
    if (i == 1)
      z.first(i, s, !quietflag, true);
    else
      z.later(i, s);
    check_maximg(i, nimg, s);
    s.nimg = nimg;
    for (int k = 1; k <= nimg; ++k) {
      read_image(r, s, k, elliptical);
      if (!elliptical) {
        if (sigx != 0) s.sig_a[k] = sigx;
        if (sigt != 0) s.sig_tdel[k] = sigt;
        // A negative sigf is a fractional error: |sigf| of the flux's size.
        if (sigf > 0) s.sig_flux[k][1] = sigf;
        if (sigf < 0) s.sig_flux[k][1] = std::fabs(sigf) * std::fabs(s.flux[k][1]);
        s.sig_b[k] = s.sig_a[k];
        s.err_pa[k] = 0;
      }
      if (s.sig_flux[k][1] == 0) notes.zero_flux_error = true;
      compute_invcov(s, k);
      rmax = std::max(rmax, std::hypot(s.x[k] - gal[1].x, s.y[k] - gal[1].y));
      s.core[k] = core_of(gal, ngal, s.x[k], s.y[k]);
      if (s.core[k] != 0 && print_core)
        print_labelled(QVMstdout, "NOTE",
                       strformat("src #%d img #%d is in core of galaxy #%d -- ignoring image", i, k, s.core[k]));
    }
    read_bands(r, s, notes);
  }
  if (!z.on)
    for (int i = 1; i <= nsrc; ++i) src[i].pscale = 1;
  file.close();
  notes.print();

  // The lens loaded before goes only now that the new one is read whole.
  release_current_lens();
  TSobs.Ngalobs = ngal;
  TSobs.galobs = std::move(gal);
  TSobs.galmod = galvector(1, ngal);
  TSobs.Nsrcobs = nsrc;
  TSobs.srcobs = std::move(src);
  TSobs.srcmod = srcvector(1, nsrc);
  SetVar("rscale", 1, rmax);
  finish_load();
  proc_GausCorr();
}

// What the entries of the batch being loaded noticed.
LoadNotes batch_notes;

}  // namespace

int batchdata_read1(FILE* fp, const std::string& path, int noise, GalData& gal, SrcData& s,
                    double& rmin, double& rmax, double fac) {
  DataReader r{fp, path, WordArray()};
  LoadNotes& notes = batch_notes;
  if (myread(fp, r.w) == 0) return 0;
  if (r.count("Ngal", 1, 99999) != 1) fatal("batchdata currently handles only one galaxy per entry");
  read_galaxy(r, gal, false, 0, notes);
  gal.sig_a *= fac;
  gal.sig_b *= fac;
  gal.sig_R_e *= fac;
  gal.sig_PA *= fac;
  gal.sig_e *= fac;

  r.next();
  if (r.count("Nsrcobs", 1, 99999) != 1) fatal("batchdata currently handles only one source per entry");
  r.next();
  const int nimg = r.count("Nimg", 1, 99999);
  s.nimg = 0;
  s.nflux = 1;
  s.u = s.v = s.h = 0;
  s.wpos = s.wflux = s.wtdel = 1;
  s.nextra = 0;
  for (int b = 1; b <= s.multiflux; ++b) {
    s.fsrc[b] = 0;
    s.srcsize[b] = 1;
  }
  read_source_options(r, s);
  RedshiftState z;
  z.first(1, s, !quietflag && settings.verbose <= 0);
  s.pscale = 1;  // scale factors are relative to the entry's own source
  check_maximg(1, nimg, s);
  s.nimg = nimg;
  for (int k = 1; k <= nimg; ++k) {
    read_image(r, s, k, false);
    const double d = std::hypot(s.x[k] - gal.x, s.y[k] - gal.y);
    rmin = std::min(rmin, d);
    rmax = std::max(rmax, d);
    s.core[k] = d < settings.omitcore ? 1 : 0;
    if (s.core[k] != 0)
      print_labelled(QVMstdout, "NOTE",
                     strformat("src #%d img #%d is in core of galaxy #%d -- ignoring image", 1, k, s.core[k]));
    s.sig_a[k] *= fac;
    s.sig_b[k] *= fac;
    s.sig_flux[k][1] *= fac;
    s.sig_tdel[k] *= fac;
    compute_invcov(s, k);
  }
  bool multiband = s.nimg > 0;
  for (int k = 1; k <= s.nimg; ++k)
    if (!(s.flux[k][1] < 0)) multiband = false;
  read_bands(r, s, notes);
  if (noise) {
    if (multiband) fatal("batchdata cannot currently use noise with multiwavelength data");
    if (!quietflag && settings.verbose <= 2) qprintf("batchdata: adding noise\n");
    gal.x += gasdev(batchdata_nseed) * gal.sig_a;
    gal.y += gasdev(batchdata_nseed) * gal.sig_a;
    for (int k = 1; k <= s.nimg; ++k) {
      s.x[k] += gasdev(batchdata_nseed) * s.sig_a[k];
      s.y[k] += gasdev(batchdata_nseed) * s.sig_a[k];
      s.flux[k][1] += gasdev(batchdata_nseed) * s.sig_flux[k][1];
      s.tdel[k] += gasdev(batchdata_nseed) * s.sig_tdel[k];
    }
  }
  return 1;
}

// ---- commands ----

void data(const WordArray& words) {
  load_lens(words, false);
}

void data2(const WordArray& words) {
  load_lens(words, true);
}

void batchdata(const WordArray& words) {
  const int n = words.own_count();
  const std::string path = words[1];
  const int noise = n > 2 ? words.int_value(2) : 0;
  const double fac = n > 3 ? words.finite(3, "batchdata") : 1.0;
  batchdata_nseed.restart(settings.seed);

  BVec<GalData> gal = galvector(1, 1);
  BVec<SrcData> src = srcvector(1, 1);

  FileHandle file(open_or_fail(path, "could not open batchdata file"));
  qprintf("Reading batch data from file %s\n", path.c_str());
  double rmin = 1e30, rmax = -1;
  int count = 0;
  while (batchdata_read1(file, path, noise, gal[1], src[1], rmin, rmax, fac) == 1) ++count;
  file.close();
  qprintf("Number of entries in batch data file: %d\n", count);
  if (count < 1) fatal("batchdata file " + path + " holds no valid entry");

  BVec<GalData> galbat = galvector(1, count);
  BVec<SrcData> srcbat = srcvector(1, count);
  file = FileHandle(open_or_fail(path, "could not open batchdata file"));
  rmin = 1e30;
  rmax = -1;
  batch_notes = LoadNotes();
  for (int i = 1; i <= count; ++i)
    if (batchdata_read1(file, path, noise, galbat[i], srcbat[i], rmin, rmax, fac) != 1)
      fatal("in batchdata");
  file.close();
  batch_notes.print();

  // The lens and batch loaded before go only now that the new batch is read whole.
  release_current_lens();
  TSobs.Nbatdat = count;
  TSobs.galbat = std::move(galbat);
  TSobs.srcbat = std::move(srcbat);
  TSobs.Ngalobs = 1;
  TSobs.galobs = std::move(gal);
  TSobs.galmod = galvector(1, 1);
  TSobs.Nsrcobs = 1;
  TSobs.srcobs = std::move(src);
  TSobs.srcmod = srcvector(1, 1);
  SetVar("rscale", 1, rmax);
  use_batch_entry(1);
  finish_load();
}

// ---- help ----

