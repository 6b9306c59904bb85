// Extended sources: the brightness laws and geometry of a source, its membership tests and
// the edge count of a grid.
#include <algorithm>
#include <cmath>

#include "imageplane/finite_source.h"
#include "imageplane/grid.h"
#include "imageplane/images.h"
#include "imageplane/source_models.h"
#include "imageplane/srcmap.h"
#include "models/evaluator.h"
#include "numeric/constants.h"
#include "numeric/specfunc.h"
#include "shell/fatal.h"
#include "shell/settings.h"

FinsrcShape finsrc_shape(int i) {
  const SourceModel& src = TWsrc;
  if (i < 1 || i > src.Nsource) fatal(strformat("source index %d is out of range (1 to %d)", i, src.Nsource));
  const std::string& id = src.srcID[i];
  const BRow<const double> p = src.srcparms[i];
  FinsrcShape s;
  const bool on = src.srcon[i] != 0;
  if (id == "uniform") {
    s.kind = FinsrcShape::kUniform;
  } else if (id == "sersic") {
    s.kind = FinsrcShape::kSersic;
  } else if (id == "srcmap") {
    s.kind = FinsrcShape::kSrcmap;
  } else if (on && id == "ptsrc") {
    fatal("a point source is somehow being treated as finite!");
  } else if (on) {
    fatal(strformat("unknown source type: %s", id.c_str()));
  }
  s.u0 = p[2];
  s.v0 = p[3];
  const double pa = p[5] * kPi / 180.0;
  s.ct = std::cos(pa);
  s.st = std::sin(pa);
  // A source map ignores e in its brightness, so its geometry is round too.
  s.e = s.kind == FinsrcShape::kSrcmap ? 0.0 : p[4];
  s.inv_q = 1.0 / (1.0 - s.e);
  s.size = TWcursrc.srcsize;
  s.inv_size = 1.0 / s.size;
  s.R6 = p[6];
  s.R90 = p[11];
  s.R999 = p[12];
  s.R0 = p[10];
  const double norm = 1.0 / (s.size * s.size);
  if (s.kind == FinsrcShape::kSrcmap) {
    const double m = std::trunc(p[8] * 1.000001);
    s.map = std::fabs(m) < 2147483648.0 ? static_cast<int>(m) : 0;  // beyond an int: no map, refused at the look-up
    s.I = p[1] * norm;
  } else {
    s.I = p[9] * norm;
  }
  s.total = std::fabs(p[1]);
  if (s.kind == FinsrcShape::kSersic) {
    s.inv_s = 1.0 / p[10];
    s.inv_n = 1.0 / p[8];
    s.root = p[8] == 1.0 ? 0 : p[8] == 2.0 ? 1 : p[8] == 4.0 ? 2 : -1;
  }
  if (!on) s.kind = FinsrcShape::kOff;
  return s;
}

double FinsrcShape::sersic_at(double r) const {
  const double x = r * inv_s;
  switch (root) {
    case 0:
      return I * std::exp(-x);
    case 1:
      return I * std::exp(-std::sqrt(x));
    case 2:
      return I * std::exp(-std::sqrt(std::sqrt(x)));
    default:
      return I * std::exp(-std::pow(x, inv_n));
  }
}

double FinsrcShape::flux(double u, double v) const {
  switch (kind) {
    case kUniform:
      return radius(u, v) < R0 ? I : 0.0;
    case kSersic:
      return sersic_at(radius(u, v));
    case kSrcmap: {
      // Map coordinates stretch with srcsize like the analytic sources, so the flux stays.
      const double du = u - u0, dv = v - v0;
      return I * srcmap_flux(map, (du * ct + dv * st) * inv_size, (dv * ct - du * st) * inv_size);
    }
    default:
      return 0.0;
  }
}

double FinsrcShape::brightest(double r) const {
  switch (kind) {
    case kUniform:
      return r <= R0 ? I : 0.0;
    case kSersic:
      return sersic_at(r);
    case kSrcmap:
      return HUGE_VAL;
    default:
      return 0.0;
  }
}

double FinsrcShape::light_within(double r) const {
  if (kind != kSersic) return total;
  return total * gammp(2.0 / inv_n, std::pow(r * inv_s, inv_n));
}

double FinsrcShape::total_flux() const { return kind == kSrcmap ? HUGE_VAL : total; }

double finsrc_flux(double u, double v) { return finsrc_shape(settings.isource).flux(u, v); }

int finsrc_in1(const FinsrcShape& s, int& code, double u, double v) {
  const double r = s.radius(u, v);
  if (r <= s.R90)
    code = s.is_uniform() ? -1 : 2;
  else if (r <= s.R999)
    code = 3;
  else
    code = 0;
  return code != 0 ? 1 : 0;
}

int finsrc_in2(const FinsrcShape& s, int& code, double u1, double v1, double u2, double v2) {
  code = 0;
  const double du1 = u1 - s.u0, dv1 = v1 - s.v0, du2 = u2 - s.u0, dv2 = v2 - s.v0;
  const double m1 = s.ct * dv1 - s.st * du1, w1 = -s.ct * du1 - s.st * dv1;
  const double m2 = s.ct * dv2 - s.st * du2, w2 = -s.ct * du2 - s.st * dv2;
  const double dm = m2 - m1, dw = w2 - w1, q2 = (1.0 - s.e) * (1.0 - s.e);
  const double q = q2 * dm * dm + dw * dw;
  if (!(q > 0.0)) return 0;
  const double t = -(q2 * m1 * dm + w1 * dw) / q;
  if (t < 0.0 || t > 1.0) return 0;
  const double d = std::fabs(dm * w1 - dw * m1) / std::sqrt(q) * s.inv_size;
  if (d <= s.R999) {
    if (d <= s.R6)
      code = s.is_uniform() ? -1 : 1;
    else if (d <= s.R90)
      code = 2;
    else
      code = 3;
  }
  return code != 0 ? 1 : 0;
}

int finsrc_in1(int& code, double u, double v) { return finsrc_in1(finsrc_shape(settings.isource), code, u, v); }

int finsrc_in2(int& code, double u1, double v1, double u2, double v2) {
  return finsrc_in2(finsrc_shape(settings.isource), code, u1, v1, u2, v2);
}

int finsrc_checkedge(const gnode* node, int mode) {
  if (mode != 1 && mode != 2) fatal("in finsrc_checkedge");
  const FinsrcShape s = finsrc_shape(settings.isource);
  const double f = TWmod.scale;
  int count = 0, code;
  auto test = [&](const gnode* p) {
    count += finsrc_in1(s, code, p->x - f * (p->x - p->u), p->y - f * (p->y - p->v));
  };
  const gnode* p = node;
  if (mode == 1) {
    for (; p->right; p = p->right) test(p);
    for (; p->up; p = p->up) test(p);
    for (; p->left; p = p->left) test(p);
    for (; p->down; p = p->down) test(p);
  } else {
    while (p->right) p = p->right;
    for (; p->up; p = p->up) test(p);
  }
  return count;
}
