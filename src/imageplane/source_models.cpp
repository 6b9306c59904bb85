// The source-model tables: sources, their classes, parameters, switches and vary flags, and
// the derived normalisations and radii the brightness laws read.
#include "imageplane/source_models.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "imageplane/srcmap.h"
#include "numeric/constants.h"
#include "numeric/roots.h"
#include "numeric/specfunc.h"
#include "shell/fatal.h"
#include "shell/settings.h"

SourceModel TWsrc;

namespace {

// Size parameter 6 as a length: the value itself, or 10 to its power with srclog 1.
double source_size(double p6) {
  if (settings.srclog == 0) return p6;
  if (settings.srclog == 1) return std::pow(10.0, p6);
  fatal("unknown value of srclog");
}

// Radius, in scale radii, enclosing the light fraction F of a Sersic profile of index n.
// The search starts on [0, 1e8]; for large indices the fraction reached at 1e8 scale
// radii can still be below F, so the upper end is widened until the root is bracketed.
double sersic_radius(double n, double F) {
  auto f = [n, F](double x) { return src_sersic_Rfunc(x, n, F); };
  double hi = 1e8;
  while (f(hi) < 0.0 && hi < 1e300) hi *= 1e8;
  return zbrent(f, 0.0, hi, settings.xtol);
}

// The shortest text that reads back as v: a value named in a message as it was given.
std::string value_text(double v) {
  std::string t;
  for (int digits = 6; digits <= 17; ++digits) {
    t = strformat("%.*g", digits, v);
    if (std::strtod(t.c_str(), nullptr) == v || v != v) break;
  }
  return t;
}

// How far v lies outside [lo, hi]: 0 inside, NaN for NaN.
double outside(double v, double lo, double hi) {
  if (v < lo) return lo - v;
  if (v > hi) return v - hi;
  return v == v ? 0.0 : v;
}

// The ray-count fault of an extended source of class id and spread (R99.9/R90)^2.
std::string rays_fault(const std::string& id, double spread, double rays, double& excess) {
  excess = 0.0;
  if (!std::isfinite(rays)) {
    excess = rays;
    return "ray count " + value_text(rays) + " is not a finite number";
  }
  if (!(rays > 0.0)) {
    excess = 1.0 - rays;
    return "ray count " + value_text(rays) + " is not positive: a " + id + " source needs rays";
  }
  const double over = rays * spread;
  if (!(over <= kMaxSourceRays)) {
    excess = over / kMaxSourceRays - 1.0;
    return "ray count " + value_text(rays) +
           strformat(" is too large: this %s source would take %.3g rays over its 99.9%% ellipse "
                     "(the ray count times (R99.9/R90)^2 = %.4g), more than the %g a search can hold",
                     id.c_str(), over, spread, kMaxSourceRays);
  }
  return "";
}

// The penalty of a source that cannot be imaged, growing with how far outside its range the
// faulty value lies, and finite.
double fault_penalty(double excess) {
  if (!(excess < 1e21)) excess = 1e21;
  return (std::max(excess, 0.0) + 1.0) * 1e8;
}

}  // namespace

bool is_extended_source(const std::string& id) { return id == "uniform" || id == "sersic" || id == "srcmap"; }
bool is_source_class(const std::string& id) { return id == "ptsrc" || is_extended_source(id); }

std::string source_shape_fault(const std::string& id, double p6, double p8, double& excess) {
  excess = 0.0;
  if (id == "uniform" || id == "sersic") {
    const double size = source_size(p6);
    if (!(size >= kMinSourceSize && size <= kMaxSourceSize)) {
      const bool lg = settings.srclog == 1;
      excess = lg ? outside(p6, std::log10(kMinSourceSize), std::log10(kMaxSourceSize))
                  : outside(p6, kMinSourceSize, kMaxSourceSize);
      const std::string value = lg ? "10^" + value_text(p6) + " (parameter 6 under srclog 1)" : value_text(p6);
      return strformat("%s size %s is out of range: a source size must be between %g and %g arcseconds", id.c_str(),
                       value.c_str(), kMinSourceSize, kMaxSourceSize);
    }
  }
  if (id == "sersic" && !(p8 >= kMinSersicIndex && p8 <= kMaxSersicIndex)) {
    excess = outside(p8, kMinSersicIndex, kMaxSersicIndex);
    return "sersic index " + value_text(p8) +
           strformat(" is out of range: a Sersic index must be between %g and %g", kMinSersicIndex, kMaxSersicIndex);
  }
  return "";
}

double source_ray_spread(const std::string& id, double p8) {
  if (id == "sersic") {
    const double r = sersic_radius(p8, 0.999) / sersic_radius(p8, 0.9);
    return r * r;
  }
  if (id == "srcmap") {
    const double kk = std::trunc(p8 * 1.000001);
    if (!(kk >= 1.0 && kk <= srcmap_count())) return 1.0;
    const int k = static_cast<int>(kk);
    const double r90 = srcmap_r90(k), r999 = srcmap_r999(k);
    return r90 > 0.0 && r999 > r90 ? (r999 / r90) * (r999 / r90) : 1.0;
  }
  return 1.0;
}

std::string source_rays_fault(const std::string& id, double p8, double rays, double& excess) {
  excess = 0.0;
  if (!is_extended_source(id)) return "";
  // The spread is at least 1: a count above the bound is refused without solving for it.
  const double spread = std::isfinite(rays) && rays > 0.0 && rays <= kMaxSourceRays ? source_ray_spread(id, p8) : 1.0;
  return rays_fault(id, spread, rays, excess);
}

void InitSrcArr(int n, double rays) {
  SourceModel& s = TWsrc;
  if (n < 0) n = 0;
  s.Nsource = s.NSRCMAX = n;
  s.srcID.reset(1, n);
  s.srcparms.reset(1, n, 1, 12);
  s.srcon.reset(1, n);
  s.srcvary.reset(1, n, 1, 12);
  for (int i = 1; i <= n; ++i) {
    s.srcID[i] = "ptsrc";
    s.srcon[i] = 1;
    s.srcparms[i][1] = 1.0;
    for (int k = 1; k <= 3; ++k) s.srcvary[i][k] = 1;
  }
  s.finsrc_ray_num = rays;
}

double initsrcmod(const BVec<std::string>& names, const Mat& params) {
  SourceModel& s = TWsrc;
  double penalty = 0.0;
  for (int i = 1; i <= s.NSRCMAX; ++i) {
    s.srcID[i] = names[i];
    BRow<double> p = s.srcparms[i];
    for (int k = 1; k <= 8; ++k) p[k] = params[i][k];
    if (settings.shrcoords == 1) {
      const double ec = p[4], es = p[5];
      p[4] = std::sqrt(ec * ec + es * es);
      p[5] = std::atan2(es, ec) * 180.0 / kPi / 2.0;
    }
    if (p[4] > settings.maxellip) {
      warning(strformat("source ellip = %f out of bounds", p[4]));
      penalty += (std::fabs(p[4]) + 1.0) * 1e8;
      p[4] = settings.maxellip;
    }
    // A size or index that cannot be imaged never reaches the normalisation; the ray
    // count is checked against the spread just derived.
    double excess = 0.0;
    std::string fault = source_shape_fault(s.srcID[i], p[6], p[8], excess);
    if (fault.empty()) {
      source_init(i);
      if (s.finsrc_ray_num > 0.0 && is_extended_source(s.srcID[i])) {
        const double spread = p[12] > p[11] && p[11] > 0.0 ? (p[12] / p[11]) * (p[12] / p[11]) : 1.0;
        fault = rays_fault(s.srcID[i], spread, s.finsrc_ray_num, excess);
      }
    }
    if (!fault.empty()) {
      warning(strformat("source %d: %s", i, fault.c_str()));
      penalty += fault_penalty(excess);
    }
  }
  return penalty;
}

double src_sersic_Rfunc(double x, double n, double F) { return gammp(2.0 * n, std::pow(x, 1.0 / n)) - F; }

void source_init(int i) {
  SourceModel& s = TWsrc;
  if (i < 1 || i > s.Nsource) return;
  BRow<double> p = s.srcparms[i];
  const std::string& id = s.srcID[i];
  if (id == "ptsrc") {
    for (int k = 9; k <= 12; ++k) p[k] = 0.0;
  } else if (id == "uniform") {
    const double R0 = source_size(p[6]);
    p[9] = p[1] / (kPi * R0 * R0 * (1.0 - p[4]));
    p[10] = p[11] = p[12] = R0;
  } else if (id == "sersic") {
    const double Reff = source_size(p[6]);
    const double n = p[8];
    const double x50 = sersic_radius(n, 0.5);
    const double x90 = sersic_radius(n, 0.9);
    const double x999 = sersic_radius(n, 0.999);
    const double sc = Reff / x50;
    const double R90 = x90 * sc, R999 = x999 * sc;
    const double I0 = p[1] / (2.0 * kPi * sc * sc * (1.0 - p[4]) * n * gamfunc(2.0 * n));
    if (!quietflag && settings.verbose <= 1) {
      qprintf("Sersic model parameters:\n");
      qprintf("  index, n                            = %e\n", n);
      qprintf("  normalization, I0                   = %e\n", I0);
      qprintf("  scale radius                        = %e\n", sc);
      qprintf("  half-light radius                   = %e\n", Reff);
      qprintf("  radius enclosing 90%% of the light   = %e\n", R90);
      qprintf("  radius enclosing 99.9%% of the light = %e\n", R999);
    }
    p[9] = I0;
    p[10] = sc;
    p[11] = R90;
    p[12] = R999;
  } else if (id == "srcmap") {
    const double kk = std::trunc(p[8] * 1.000001);
    if (srcmap_count() <= 0) fatal("no srcmaps have been loaded");
    if (!(kk >= 1.0 && kk <= srcmap_count())) fatal("srcmap index out of bounds");
    const int k = static_cast<int>(kk);
    if (srcmap_planes(k) > 1) fatal("srcmap cannot yet handle data cubes");
    p[9] = 1.0;
    p[10] = p[11] = srcmap_r90(k);
    p[12] = srcmap_r999(k);
  } else {
    fatal(strformat("unknown source type: %s", id.c_str()));
  }
}

int srcmap_count() { return TWsmap.Nsmap; }
int srcmap_planes(int k) { return TWsmap.thesmap[k].planes; }
double srcmap_r90(int k) { return TWsmap.thesmap[k].planes > 0 ? TWsmap.thesmap[k].radius90[1] : 0.0; }
double srcmap_r999(int k) { return TWsmap.thesmap[k].planes > 0 ? TWsmap.thesmap[k].radius999[1] : 0.0; }
