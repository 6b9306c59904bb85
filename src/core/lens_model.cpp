// Reference lens models: reading and writing their text format, setlens, changelens,
// ranparm, and initmodel, which loads one parameter set into the component table.
#include "core/lens_model.h"

#include <cmath>
#include <cstring>

#include "imageplane/grid.h"
#include "io/qvmfile.h"
#include "models/component.h"
#include "models/evaluator.h"
#include "models/multiplane.h"
#include "models/special.h"
#include "models/substructure.h"
#include "numeric/constants.h"
#include "numeric/cosmology.h"
#include "numeric/random.h"
#include "shell/commands.h"
#include "shell/fatal.h"
#include "shell/settings.h"

BridgeCut bridgecutarr;
RedshiftStamp TWzstamp;

// Rows that the loader converts, places and checks: every component that is a mass
// component, wherever it stands in the table.
bool is_mass_component(const std::string& name) { return name != "none" && name != "register"; }

// The program's integer reading of a real parameter: integer part of 1.000001 times it.
int trunc_int(double v) {
  const double t = std::trunc(v * 1.000001);
  if (!(t >= -2147483647.0 && t <= 2147483647.0)) return 0;
  return static_cast<int>(t);
}

namespace {

// One component line in the model-file format (without the newline).
std::string component_line(const std::string& name, BRow<const double> p, bool with_z, double z) {
  std::string s = strformat("%8s", name.c_str());
  for (int k = 1; k <= 10; ++k) s += p[k] == 0.0 ? std::string(" 0.0") : strformat(" %e", p[k]);
  if (with_z) s += strformat("  %f", z);
  return s;
}

// Einstein radius of a point mass of M 10^12 solar masses at redshift zl (the
// component's own redshift when positive, else zlens) for a source at zsrc.
double ptmass_radius(double M, double zrow) {
  const double zl = zrow > 0 ? zrow : settings.zlens;
  // A lens or source at redshift 0 (or below) has no lensing distance: refuse it as unset.
  if (settings.zsrc <= 0 || zl <= 0) fatal("to use ptmass with p[1]=mass, redshifts must be specified");
  const double Dl = angdist(0.0, zl), Ds = angdist(0.0, settings.zsrc), Dls = angdist(zl, settings.zsrc);
  return 1.64711 * std::sqrt(M * settings.hval * Dls / (Dl * Ds));
}

// Parameter 1 of a component as the loader converts it (logarithm, point mass by mass).
double converted_b(const std::string& name, double p1, double z) {
  if (settings.logRein) return std::pow(10.0, p1);
  if (name == "ptmass" && p1 < 0) return ptmass_radius(-p1, z);
  return p1;
}

// Brings an angle in degrees into [0, 360] by whole turns (360 itself stays). A large
// angle loses its whole turns in one exact step that ends where turn-by-turn steps end:
// a positive multiple of 360 at 360, a negative one at 0.
double wrap360(double a) {
  if (std::fabs(a) > 3600.0) {
    const double r = std::fmod(a, 360.0);
    a = r != 0.0 ? r : a > 0.0 ? 360.0 : 0.0;
  }
  while (a < 0.0) a += 360.0;
  while (a > 360.0) a -= 360.0;
  return a;
}

// Working copies of the loader, kept between calls so that a fit allocates nothing.
struct LoaderScratch {
  Mat p;
  Vec z;
};
LoaderScratch scratch;

// Reads the next data line; false at the end of the input.
bool next_line(FILE* in, WordArray& w) {
  w = WordArray();
  return myread(in, w) == 1;
}

// Reads one component line (class name and ten parameters); the end of the input counts
// as a line with too few words.
void read_component(FILE* in, WordArray& w, const char* message) {
  if (!next_line(in, w) || w.own_count() < 11) fatal(message);
}

// Sets up the lens planes from model 1 and loads it as the commands do; a positive
// penalty ends the program with message.
void reload_model1(const char* message) {
  LensModel& m = TWref.ref[1];
  initLOS(m.z);
  if (LOS.shearmode == 2) {
    if (initmodel(m, 0) > 0) fatal(message);
    initLOSshear();
  }
  if (initmodel(m, settings.gridflag) > 0) fatal(message);
}

// What the settings refresh does about changed redshifts while a model command refreshes:
// setlens builds everything anew, changelens reloads the model itself.
enum class RedshiftHold { none, all, reload };
RedshiftHold redshift_hold = RedshiftHold::none;

// The settings refresh of setlens and changelens.
void SetGlobHeld(RedshiftHold h) {
  redshift_hold = h;
  try {
    SetGlob();
  } catch (...) {
    redshift_hold = RedshiftHold::none;
    throw;
  }
  redshift_hold = RedshiftHold::none;
}

// Redshifts that a model with component redshifts needs: both set, the lens in front.
void check_model_redshifts() {
  const Settings& s = settings;
  if (!(s.zlens > 0 && s.zsrc > 0)) fatal("if redshifts are used, zlens and zsrc should be set");
  if (s.zlens >= s.zsrc) fatal("lens redshift must be smaller than source redshift");
}

void stamp_redshifts(bool zflag) {
  const Settings& s = settings;
  TWzstamp = RedshiftStamp{zflag, s.zlens, s.zsrc, s.zref, s.omega, s.lambda};
}

// Time-delay and bridge factors of model i for the present zlens and zsrc; a model whose
// redshifts all equal model 1's within 1e-6 copies model 1's.
void plane_factors(ModelSet& ms, int i) {
  const Settings& s = settings;
  const double Dl = PMdist(0.0, s.zlens), Ds = PMdist(0.0, s.zsrc), Dls = PMdist(s.zlens, s.zsrc);
  LensModel& m = ms.ref[i];
  const int n = ms.Ngal;
  bool same = i > 1;
  for (int j = 1; j <= n && same; ++j) same = std::fabs(m.z[j] - ms.ref[1].z[j]) <= 1e-6;
  for (int j = 1; j <= n; ++j) {
    // Empty and registration rows are no planes (the plane set-up moves them to 1e8).
    if (!is_mass_component(m.names[j])) continue;
    if (same) {
      m.bridge[j] = ms.ref[1].bridge[j];
      m.tau[j] = ms.ref[1].tau[j];
      continue;
    }
    const double zj = m.z[j];
    const double Dj = PMdist(0.0, zj), Djs = PMdist(zj, s.zsrc);
    const double B = ((1.0 + zj) / (1.0 + s.zlens)) * (Dl * Djs) / (Dls * Dj);
    m.tau[j] = (Dj / Djs) * (Dls / Dl);
    if (zj < s.zlens) {
      m.bridge[j] = std::cbrt(B);
    } else {
      const double Dlj = PMdist(s.zlens, zj);
      m.bridge[j] = std::cbrt(B * (1.0 - Dlj * Ds / (Dls * Dj)));
    }
  }
}

}  // namespace

// ---- setlens ----

void SetGlobKeepingRedshifts() { SetGlobHeld(RedshiftHold::all); }

void SetGlobForReload() { SetGlobHeld(RedshiftHold::reload); }

void setlens(const WordArray& words) {
  const int nw = words.own_count();
  ModelSet& ms = TWref;
  const int oldNgal = ms.Ngal;

  FileHandle file;
  FILE* in = QVMstdin;
  long ngal, nref, zflag;
  if (nw == 2) {
    file = FileHandle(open_input_file(words[1], "r", "could not open setlens file"));
    if (!file) fatal("could not open setlens file");
    qprintf("Reading model from file %s\n", words.c_str(1));
    in = file;
    WordArray h;
    if (!next_line(in, h) || h.own_count() < 2) fatal("in setlens file, must give Ngal, Nref");
    ngal = h.finite_integer(0, "setlens");
    nref = h.finite_integer(1, "setlens");
    zflag = h.own_count() > 2 ? h.finite_integer(2, "setlens") : 0;
  } else {
    ngal = words.finite_integer(1, "setlens");
    nref = words.finite_integer(2, "setlens");
    zflag = nw > 3 ? words.finite_integer(3, "setlens") : 0;
  }
  if (ngal < 0 || nref < 0 || ngal > 2147483647L || nref > 2147483647L)
    fatal("in setlens file, must give Ngal, Nref");
  if (zflag != 0) check_model_redshifts();
  if (ngal == 0 || nref == 0) fatal("no setlens model defined");

  // The model set for the new counts; the per-component tables only when the number of
  // components changes (then any clump populations are gone).
  ms.Ngal = static_cast<int>(ngal);
  ms.Nref = static_cast<int>(nref);
  ms.ref.reset(1, ms.Nref);
  for (int i = 1; i <= ms.Nref; ++i) ms.ref[i].allocate(ms.Ngal);
  if (oldNgal == 0 || oldNgal != ms.Ngal || TWgal.NGALMAX != ms.Ngal || ms.refv.rhi() != ms.Ngal) {
    TWgal.allocate(ms.Ngal);
    ms.refv.reset(1, ms.Ngal, 1, 10);
    clumpvec(ms.Ngal);
    LOS.order.reset(1, ms.Ngal);
  }
  const int n = ms.Ngal;

  for (int j = 1; j <= n; ++j) TWgal.refon[j] = 1;
  ms.refv.fill(0);
  InitRegister();

  WordArray w;
  for (int i = 1; i <= ms.Nref; ++i) {
    LensModel& m = ms.ref[i];
    if (!quietflag) qprintf("Enter galaxies for model #%d:\n", i);
    for (int j = 1; j <= n; ++j) {
      read_component(in, w, "in setlens, you gave too few parameters.");
      m.names[j] = w[0];
      for (int k = 1; k <= 10; ++k) m.p[j][k] = w.finite(k, "setlens");
      if (zflag) {
        const double z = w.own_count() > 11 ? w.finite(11, "setlens") : 0.0;
        if (!(z > 0)) fatal("in setlens, expected redshift is absent or 0");
        m.z[j] = z;
      }
      if (m.names[j] == "nonpar") nonpar_init();
    }
    if (zflag) plane_factors(ms, i);
  }

  if (!quietflag) qprintf("Enter what to vary for each galaxy:\n");
  for (int j = 1; j <= n; ++j) {
    // Nine flags suffice: a missing tenth reads 0.
    if (!next_line(in, w) || w.own_count() < 9) fatal("in setlens, you gave too few vary flags.");
    const int own = w.own_count();
    for (int k = 1; k <= 10; ++k)
      ms.refv[j][k] = k - 1 < own ? w.finite_int(k - 1, "setlens") : 0;
  }
  file.close();

  stamp_redshifts(zflag != 0);
  reload_model1("in initmodel called from setlens");
}

// ---- changelens ----

void changelens(const WordArray& words) {
  const int nw = words.own_count();
  require_model();
  ModelSet& ms = TWref;
  // Every index is checked before any line is read.
  for (int a = 1; a < nw; ++a) {
    const long idx = words.finite_integer(a, "changelens");
    const long g = idx < 0 ? -idx : idx;
    if (g < 1 || g > ms.Ngal) fatal(strformat("galaxy index %ld is out of range", idx));
  }
  WordArray w;
  for (int a = 1; a < nw; ++a) {
    const long idx = words.integer(a);
    const long g = idx < 0 ? -idx : idx;
    qprintf("Enter galaxy #%ld\n", idx);
    read_component(QVMstdin, w, "in changelens, you gave too few parameters.");
    const int first = 1, last = idx > 0 ? 1 : ms.Nref;
    for (int i = first; i <= last; ++i) {
      LensModel& m = ms.ref[i];
      m.names[g] = w[0];
      for (int k = 1; k <= 10; ++k) m.p[g][k] = w.finite(k, "changelens");
    }
    if (w[0] == "nonpar") nonpar_init();
  }
  // As after setlens, the registration shifts start afresh: a replaced "register"
  // component leaves none behind, and the remaining ones return at the next evaluation.
  InitRegister();
  reload_model1("in initmodel called from changelens");
}

// ---- ranparm ----

void ranparm(const WordArray& words) {
  require_model();
  const long igal = words.integer(1), iparm = words.integer(2);
  const double lo = words.real(3), hi = words.real(4);
  if (igal < 1 || igal > TWref.Ngal) fatal(strformat("galaxy index %ld is out of range", igal));
  if (iparm < 1 || iparm > 10) fatal(strformat("parameter index %ld is out of range", iparm));
  // A private copy of the seed, made non-positive so that the generator starts afresh
  // from it: the same settings always give the same value.
  long seed = settings.seed - 23 * igal - 11 * iparm;
  if (seed > 0) seed = -seed;
  const double value = lo + ran2(seed) * (hi - lo);
  TWref.ref[1].p[igal][iparm] = value;
  qprintf("Random value p[%ld][%ld] = %e\n", igal, iparm, value);
  if (initmodel(TWref.ref[1], settings.gridflag) > 0) fatal("in initmodel from ranparm");
}

// ---- writep ----

void writep(FILE* stream, const BVec<std::string>& names, const Mat& params) {
  const int n = TWgal.NGALMAX;
  const bool with_z = LOS.on != 0 && TWref.Nref >= 1;
  for (int j = 1; j <= n; ++j) {
    if (names[j] == "none") continue;
    const double z = with_z ? TWref.ref[1].z[j] : 0.0;
    const std::string line = component_line(names[j], params[j], with_z, z);
    std::fprintf(stream, "%s\n", line.c_str());
  }
}

// ---- initmodel ----

double initmodel(const BVec<std::string>& names, const Mat& params, const Vec& redshifts, int regrid) {
  const int n = TWgal.NGALMAX;
  if (n == 0) return 0.0;
  if (names.lo() > 1 || names.hi() < n || params.rlo() > 1 || params.rhi() < n || params.clo() > 1 ||
      params.chi() < 10 || redshifts.lo() > 1 || redshifts.hi() < n)
    fatal("initmodel was given a model with too few components");
  const Settings& s = settings;

  // 1. Working copies.
  Mat& p = scratch.p;
  Vec& z = scratch.z;
  if (p.rhi() != n || p.rlo() != 1) p.reset(1, n, 1, 10);
  if (z.hi() != n || z.lo() != 1) z.reset(1, n);
  for (int i = 1; i <= n; ++i) {
    for (int k = 1; k <= 10; ++k) p[i][k] = params[i][k];
    z[i] = redshifts[i];
  }

  // 2-3. Logarithmic parameters and point masses given by mass.
  int count = 0;
  for (int i = 1; i <= n; ++i) {
    if (!is_mass_component(names[i])) continue;
    ++count;
    BRow<double> q = p[i];
    if (s.logRein) q[1] = std::pow(10.0, q[1]);
    if (s.logrscale) {
      if (q[8] != 0.0) q[8] = std::pow(10.0, q[8]);
      // The multipole order of "mpole" is no length.
      if (q[9] != 0.0 && names[i] != "mpole") q[9] = std::pow(10.0, q[9]);
    }
    if (names[i] == "ptmass" && q[1] < 0 && !s.logRein) {
      const double M = -q[1];
      q[1] = ptmass_radius(M, z[i]);
      if (!quietflag && s.verbose <= 1)
        qprintf("ptmass: M12,zl,zs= %f %f %f --> theta_Ein= %f\n", M, z[i] > 0 ? z[i] : s.zlens, s.zsrc, q[1]);
    }
  }

  // 4-5. Positions.
  TWgal.count = count;
  Mat& pos = TWgal.pos;
  pos.fill(0.0);
  const double x1 = p[1][2], y1 = p[1][3];
  pos[1][1] = 0.0;
  pos[1][2] = 0.0;
  pos[1][3] = x1;
  pos[1][4] = y1;
  for (int i = 2; i <= n; ++i) {
    if (!is_mass_component(names[i])) continue;
    BRow<double> q = p[i];
    if (s.galcoords == 1) {
      const double dx = q[2] - x1, dy = q[3] - y1;
      pos[i][1] = std::sqrt(dx * dx + dy * dy);
      pos[i][2] = wrap360(std::atan2(dy, dx) * kDeg - 90.0);
      pos[i][3] = q[2];
      pos[i][4] = q[3];
    } else if (s.galcoords == 2) {
      double x0 = x1, y0 = y1;
      if (s.originX > -1e5 && s.originY > -1e5) {
        x0 = s.originX;
        y0 = s.originY;
      }
      const double r = q[2], t = q[3];
      q[2] = x0 - r * std::sin(t / kDeg);
      q[3] = y0 + r * std::cos(t / kDeg);
      pos[i][1] = r;
      pos[i][2] = wrap360(t);
      pos[i][3] = q[2];
      pos[i][4] = q[3];
    } else {
      fatal("unknown value of galcoords");
    }
  }

  // 6. Clump positions.
  if (regrid) getclumppos();

  // 7. Bridge cut.
  IVec& refflag = TWgal.refflag;
  if (bridgecutarr.R0 > 0) {
    double cx = bridgecutarr.x, cy = bridgecutarr.y;
    const int g = trunc_int(bridgecutarr.gal);
    if (g > 0) {
      if (g > n) fatal(strformat("bridge cut centre galaxy %d is out of range", g));
      cx = pos[g][3];
      cy = pos[g][4];
    }
    const bool have = TWref.Nref >= 1 && TWref.Ngal == n;
    for (int i = 1; i <= n; ++i) {
      const double scale = have ? TWref.ref[1].bridge[i] : -1.0;
      if (scale < 0) {
        refflag[i] = 0;
      } else {
        const double d = std::hypot(pos[i][3] - cx, pos[i][4] - cy);
        refflag[i] = scale * bridgecutarr.R0 >= d ? 1 : 0;
      }
    }
    for (int e : exact_components())
      if (e >= 1 && e <= n) refflag[e] = 2;
    if (s.verbose <= 1) {
      qprintf("Galaxies surviving the bridge cut:\n");
      const bool with_z = LOS.on != 0;
      for (int i = 1; i <= n; ++i) {
        if (refflag[i] == 0 || names[i] == "none") continue;
        std::string line = component_line(names[i], params[i], with_z, redshifts[i]);
        if (refflag[i] == 2) line += " [exact]";
        qprintf("%s\n", line.c_str());
      }
    }
  } else {
    refflag.fill(1);
  }

  // 8. A point mass on the polar grid's centre needs a grid that leaves the centre out.
  if (count > 0 && s.gridcoords == 2) {
    for (int i = 1; i <= n; ++i)
      if (names[i] == "ptmass" && pos[i][1] <= 1e-6 && s.gridlo1 <= 1e-6)
        fatal("with a ptmass at the origin, gridlo1 must be >0");
  }

  // 9. Ellipticity and shear given as components.
  if (s.shrcoords == 1) {
    for (int i = 1; i <= n; ++i) {
      if (!is_mass_component(names[i])) continue;
      BRow<double> q = p[i];
      const double m = names[i] == "mpole" ? q[9] : 2.0;
      const double e = std::sqrt(q[4] * q[4] + q[5] * q[5]);
      q[5] = std::atan2(q[5], q[4]) * kDeg / m;
      q[4] = e;
      const double g = std::sqrt(q[6] * q[6] + q[7] * q[7]);
      q[7] = std::atan2(q[7], q[6]) * kDeg / 2.0;
      q[6] = g;
    }
  } else if (s.shrcoords != 2) {
    fatal("unknown value of shrcoords");
  }

  // 10. Bounds and their penalty.
  double penalty = 0.0;
  for (int i = 1; i <= n; ++i) {
    if (!is_mass_component(names[i])) continue;
    BRow<double> q = p[i];
    if (s.nobflip == 1 && TWref.Nref >= 1 && i <= TWref.Ngal) {
      // Compare the trial value with model 1's value converted the same way.
      const LensModel& m1 = TWref.ref[1];
      const double b1 = converted_b(m1.names[i], m1.p[i][1], m1.z[i]);
      if (q[1] * b1 < 0) {
        warning(strformat("b[%d] has changed signs", i));
        const double d = q[1] - b1;
        penalty += 1e8 * (1.0 + d * d);
      }
    }
    if (q[4] > s.maxellip && names[i] != "fourmode" && names[i] != "mpole") {
      warning(strformat("ellip = %f out of bounds", q[4]));
      penalty += 1e8 * (std::fabs(q[4]) + 1.0);
      q[4] = s.maxellip;
    }
    if (q[6] > s.maxshear) {
      warning(strformat("shear = %f out of bounds", q[6]));
      penalty += 1e8 * (std::fabs(q[6]) + 1.0);
      q[6] = s.maxshear;
    }
    if (names[i] != "ArnoldADE") {
      q[8] = std::fabs(q[8]);
      q[9] = std::fabs(q[9]);
    }
  }

  // 11. Into the component table.
  for (int i = 1; i <= n; ++i) {
    if (TWgal.name(i) != names[i]) setID(i, names[i]);
    for (int k = 1; k <= 10; ++k) setp(i, k, p[i][k]);
    TWgal.z[i] = z[i];
  }

  // 12-13. Own-plane positions and the grid.
  if (LOS.on) procgalposLOS();
  if (regrid) dogrid();
  return penalty;
}

// ---- staged set-up steps ----

// Creates one empty clump population per component (no component has clumps); the trees
// of the old populations go with them.
void clumpvec(int n) {
  free_clumpvec(TWclump.clumpdat);
  TWclump.clumpdat.reset(1, n);
}

// Rebuilds the table of clump positions inside the grid box from the current trees:
// columns 3-4 the position, 1-2 distance and angle (degrees, from +y) about the box centre.
void getclumppos() {
  ClumpState& cs = TWclump;
  cs.clumppos.clear();
  cs.nclumppos = 0;
  const Settings& s = settings;
  if (s.maxclumps < 1) fatal("maxclumps must be positive");
  if (s.maxclumps > 2147483647L) fatal("maxclumps is too large");
  const int cap = static_cast<int>(s.maxclumps);
  bool any = false;
  for (long i = 1; i <= cs.clumpdat.hi(); ++i)
    any = any || (cs.clumpdat[i].root && cs.clumpdat[i].root->n > 0);
  if (!any) return;  // no clumps: the table stays empty
  cs.clumppos.reset(1, cap, 1, 4);
  const double x0 = TWgal.NGALMAX >= 1 ? TWgal.p[1][2] : 0.0, y0 = TWgal.NGALMAX >= 1 ? TWgal.p[1][3] : 0.0;
  double xlo, xhi, ylo, yhi;
  if (s.gridcoords == 1) {
    xlo = s.rscale * s.gridlo1;
    xhi = s.rscale * s.gridhi1;
    ylo = s.rscale * s.gridlo2;
    yhi = s.rscale * s.gridhi2;
  } else {
    const double h = s.rscale * s.gridhi1;
    xlo = x0 - h;
    xhi = x0 + h;
    ylo = y0 - h;
    yhi = y0 + h;
  }
  for (long i = 1; i <= cs.clumpdat.hi(); ++i)
    if (cs.clumpdat[i].root) TreeClumpPos(*cs.clumpdat[i].root, cap, cs.nclumppos, cs.clumppos, xlo, xhi, ylo, yhi);
  for (int k = 1; k <= cs.nclumppos; ++k) {
    const double dx = cs.clumppos[k][3] - x0, dy = cs.clumppos[k][4] - y0;
    cs.clumppos[k][1] = std::hypot(dx, dy);
    double a = std::atan2(dy, dx) * 180.0 / kPi - 90.0;
    if (a < 0) a += 360.0;
    if (a > 360) a -= 360.0;
    cs.clumppos[k][2] = a;
  }
}

namespace {

// The settings the lens evaluation reads, as of the last settings refresh.
struct LensSettingsStamp {
  int alphanorm = 0, intshrmode = 0, potflag = 0, clumpmode = 0;
  // The clump tree's opening tests and its closeness cut are read at every evaluation.
  double inttol = 0, leafsize = 0, leaferr = 0, xtol = 0;
  bool valid = false;
};
LensSettingsStamp lens_settings_stamp;

LensSettingsStamp current_lens_settings() {
  const Settings& s = settings;
  return {s.alphanorm, s.intshrmode, s.potflag, s.clumpmode, s.inttol, s.leafsize, s.leaferr, s.xtol, true};
}

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// The real settings bit for bit, so that a value that is not a number compares equal to itself.
bool same_lens_settings(const LensSettingsStamp& a, const LensSettingsStamp& b) {
  return a.alphanorm == b.alphanorm && a.intshrmode == b.intshrmode && a.potflag == b.potflag &&
         a.clumpmode == b.clumpmode && same_bits(a.inttol, b.inttol) && same_bits(a.leafsize, b.leafsize) &&
         same_bits(a.leaferr, b.leaferr) && same_bits(a.xtol, b.xtol);
}

}  // namespace

void reset_lens_settings_stamp() { lens_settings_stamp = LensSettingsStamp(); }

void refresh_lens_settings() {
  const LensSettingsStamp now = current_lens_settings();
  const bool changed = lens_settings_stamp.valid && !same_lens_settings(now, lens_settings_stamp);
  lens_settings_stamp = now;
  if (!changed || redshift_hold != RedshiftHold::none || TWref.Nref < 1 || TWref.Ngal < 1 || TWgal.NGALMAX < 1) return;
  reload_model1("in initmodel after a change of the lens settings");
}

// The settings refresh after a change of redshifts or cosmology.
void refresh_lens_redshifts() {
  const RedshiftStamp& st = TWzstamp;
  if (!st.zflag || redshift_hold == RedshiftHold::all || TWref.Nref < 1 || TWref.Ngal < 1) return;
  const Settings& s = settings;
  if (st.zlens == s.zlens && st.zsrc == s.zsrc && st.zref == s.zref && st.omega == s.omega &&
      st.lambda == s.lambda)
    return;
  check_model_redshifts();
  for (int i = 1; i <= TWref.Nref; ++i) plane_factors(TWref, i);
  stamp_redshifts(true);
  if (redshift_hold == RedshiftHold::reload) return;
  note("lens planes rebuilt for new redshifts");
  reload_model1("in initmodel called from setlens");
}

// No tiled grid is built yet.

// The non-parametric class needs no set-up.
