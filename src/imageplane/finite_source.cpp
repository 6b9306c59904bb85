#include "imageplane/finite_source.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "imageplane/catalog.h"
#include "imageplane/grid.h"
#include "imageplane/images.h"
#include "imageplane/source_models.h"
#include "imageplane/srcmap.h"
#include "io/qvmfile.h"
#include "models/evaluator.h"
#include "numeric/interp.h"
#include "numeric/random.h"
#include "shell/commands.h"
#include "shell/fatal.h"
#include "shell/settings.h"

FiniteSourceState TWfinsrc;

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr int kAttrU = 0, kAttrV = 1, kAttrPar = 3, kAttrPhi = 4;
// Stream tag of the points drawn inside a small source (triangle tags are 2t and 2t + 1).
constexpr unsigned long long kSmallSourceTag = ~0ULL;

// Vertex k (0..2) of mesh triangle t under the scale factor f: image position, source
// position x - f (x - u) and potential f phi.
struct TriVerts {
  double x[3], y[3], u[3], v[3], phi[3];
};
void load_triangle(int t, double f, TriVerts& T) {
  const triangulateio& m = TWtri.out;
  const int na = m.numberofpointattributes;
  for (int k = 0; k < 3; ++k) {
    const size_t i = static_cast<size_t>(m.trianglelist[3 * static_cast<size_t>(t) + k]);
    const double* a = &m.pointattributelist[i * na];
    const double x = m.pointlist[2 * i], y = m.pointlist[2 * i + 1];
    T.x[k] = x;
    T.y[k] = y;
    T.u[k] = x - f * (x - a[kAttrU]);
    T.v[k] = y - f * (y - a[kAttrV]);
    T.phi[k] = f * a[kAttrPhi];
  }
}

double tri_area2(double x1, double y1, double x2, double y2, double x3, double y3) {
  return (x2 - x1) * (y3 - y1) - (x3 - x1) * (y2 - y1);
}

// The start of a stream seeded by a mixed value.
RandomStream mixed_stream(unsigned long long a, unsigned long long b, unsigned long long c) {
  return RandomStream(mixed_stream_start(mix_seed(a, b, c)));
}

// Adds a triangle's sums to the image whose centroid lies nearest to the triangle's own
// (the first on a tie) within seeing, or opens a new image.
void assign_light(double W, double X, double Y, double D) {
  FiniteSourceState& F = TWfinsrc;
  if (W < 1e-8) return;
  const double cx = X / W, cy = Y / W;
  // Squared distances: the nearest centroid, the first of equal ones, never one at 1e8
  // or beyond.
  double dbest = 1e16;
  int best = -1;
  for (int j = 0; j < F.finsrc_cnt; ++j) {
    const FiniteSourceState::Acc& a = F.finsrc_tmp[static_cast<size_t>(j)];
    const double dx = a.cx - cx, dy = a.cy - cy, d2 = dx * dx + dy * dy;
    if (d2 < dbest) {
      dbest = d2;
      best = j;
    }
  }
  if (best < 0 || !(std::sqrt(dbest) <= settings.seeing)) {
    F.finsrc_tmp.emplace_back();
    best = F.finsrc_cnt++;
  }
  FiniteSourceState::Acc& a = F.finsrc_tmp[static_cast<size_t>(best)];
  a.x += X;
  a.y += Y;
  a.w += W;
  a.d += D;
  a.cx = a.x / a.w;
  a.cy = a.y / a.w;
}

// Sums of the rays of one triangle.
struct RaySums {
  double W = 0, X = 0, Y = 0, D = 0;
  // One ray at barycentric (a, b, c) with weight factor wfac.
  void add(const FinsrcShape& s, const TriVerts& T, double a, double b, double c, double wfac) {
    const double su = a * T.u[0] + b * T.u[1] + c * T.u[2];
    const double sv = a * T.v[0] + b * T.v[1] + c * T.v[2];
    const double x = a * T.x[0] + b * T.x[1] + c * T.x[2];
    const double y = a * T.y[0] + b * T.y[1] + c * T.y[2];
    const double om = s.flux(su, sv) * wfac;
    const double tau = ((x - su) * (x - su) + (y - sv) * (y - sv)) * 0.5 - (a * T.phi[0] + b * T.phi[1] + c * T.phi[2]);
    W += om;
    X += om * x;
    Y += om * y;
    D += om * tau;
  }
};

bool shape_on(const FinsrcShape& s) { return s.kind != FinsrcShape::kOff; }

}  // namespace

// ---------------------------------------------------------------------------------------
// Brightness and geometry

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
  if (s.kind == FinsrcShape::kSersic) {
    s.inv_s = 1.0 / p[10];
    s.inv_n = 1.0 / p[8];
    s.root = p[8] == 1.0 ? 0 : p[8] == 2.0 ? 1 : p[8] == 4.0 ? 2 : -1;
  }
  if (!on) s.kind = FinsrcShape::kOff;
  return s;
}

double FinsrcShape::flux(double u, double v) const {
  switch (kind) {
    case kUniform:
      return radius(u, v) < R0 ? I : 0.0;
    case kSersic: {
      const double x = radius(u, v) * inv_s;
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
    case kSrcmap: {
      // Map coordinates stretch with srcsize like the analytic sources, so the flux stays.
      const double du = u - u0, dv = v - v0;
      return I * srcmap_flux(map, (du * ct + dv * st) * inv_size, (dv * ct - du * st) * inv_size);
    }
    default:
      return 0.0;
  }
}

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

// ---------------------------------------------------------------------------------------
// Integration over one triangle

void finsrc_tri(int t, int shoot, double& area, double& rays, double srcarea) {
  const FiniteSourceState& F = TWfinsrc;
  const FinsrcShape& s = F.shape;
  TriVerts T;
  load_triangle(t, F.f, T);
  const double A = 0.5 * std::fabs(tri_area2(T.x[0], T.y[0], T.x[1], T.y[1], T.x[2], T.y[2]));
  area += A;
  if (shoot == 0) return;

  double W = 0, X = 0, Y = 0, D = 0;
  int code;
  if (s.is_uniform() && finsrc_in1(s, code, T.u[0], T.v[0]) && finsrc_in1(s, code, T.u[1], T.v[1]) &&
      finsrc_in1(s, code, T.u[2], T.v[2])) {
    // The ellipse is convex: a triangle whose corners lie in it lies in it, and its
    // brightness is the constant I0 (a corner on the rim counts as inside).
    const double b = s.I;
    double dx[3], dy[3];
    for (int k = 0; k < 3; ++k) {
      dx[k] = T.x[k] - T.u[k];
      dy[k] = T.y[k] - T.v[k];
    }
    double dd = 0.0;
    for (int k = 0; k < 3; ++k) dd += dx[k] * dx[k] + dy[k] * dy[k];
    for (int k = 0; k < 3; ++k)
      for (int j = k + 1; j < 3; ++j) dd += dx[k] * dx[j] + dy[k] * dy[j];
    W = b * A;
    X = W * (T.x[0] + T.x[1] + T.x[2]) / 3.0;
    Y = W * (T.y[0] + T.y[1] + T.y[2]) / 3.0;
    D = W * (dd / 12.0 - (T.phi[0] + T.phi[1] + T.phi[2]) / 3.0);
  } else {
    const double S2 = tri_area2(T.u[0], T.v[0], T.u[1], T.v[1], T.u[2], T.v[2]);
    const double S = 0.5 * std::fabs(S2);
    if (!(S > 0.0)) return;
    const double dens = F.finsrc_ray_dens;
    const double wfac = A / (S * dens);
    const unsigned long long tt = static_cast<unsigned long long>(t);
    RandomStream counts = mixed_stream(static_cast<unsigned long long>(settings.shoot_pseed), F.rep, 2 * tt);
    RaySums sum;
    if (srcarea >= S) {
      // Rays uniform in the source-plane triangle.
      const long k = static_cast<long>(poidev(S * dens, counts));
      rays += static_cast<double>(k);
      if (k == 0) return;
      RandomStream pos = mixed_stream(static_cast<unsigned long long>(settings.shoot_rseed), F.rep, 2 * tt + 1);
      for (long r = 0; r < k; ++r) {
        double a = ran2(pos), b = ran2(pos);
        if (a + b > 1.0) {
          a = 1.0 - a;
          b = 1.0 - b;
        }
        sum.add(s, T, a, b, 1.0 - a - b, wfac);
      }
    } else {
      // Rays uniform in the source's 99.9% ellipse (the same points for every triangle of
      // this search); those in the source-plane triangle count.
      const long k = static_cast<long>(poidev(srcarea * dens, counts));
      rays += static_cast<double>(k);
      if (k == 0) return;
      RandomStream pts = mixed_stream(static_cast<unsigned long long>(settings.seed), F.rep, kSmallSourceTag);
      const double R = s.R999 * s.size, q = 1.0 - s.e;
      const double inv = 1.0 / S2;
      for (long r = 0; r < k; ++r) {
        const double a = ran2(pts), b = ran2(pts);
        const double rho = std::sqrt(a) * R, ph = 2.0 * kPi * b;
        const double c = rho * std::cos(ph), sn = q * rho * std::sin(ph);
        const double pu = s.u0 - s.st * c - s.ct * sn, pv = s.v0 + s.ct * c - s.st * sn;
        const double l1 = tri_area2(pu, pv, T.u[1], T.v[1], T.u[2], T.v[2]) * inv;
        const double l2 = tri_area2(T.u[0], T.v[0], pu, pv, T.u[2], T.v[2]) * inv;
        const double l3 = 1.0 - l1 - l2;
        if (l1 < 0.0 || l1 > 1.0 || l2 < 0.0 || l2 > 1.0 || l3 < 0.0 || l3 > 1.0) continue;
        sum.add(s, T, l1, l2, l3, wfac);
      }
    }
    W = sum.W;
    X = sum.X;
    Y = sum.Y;
    D = sum.D;
  }
  assign_light(W, X, Y, D);
}

// ---------------------------------------------------------------------------------------
// The image finder

void find_img_finsrc(int& n, Mat& list, double u, double v) {
  n = 0;
  list.clear();
  FiniteSourceState& F = TWfinsrc;
  F.finsrc_tmp.clear();
  F.finsrc_cnt = 0;
  F.rays = 0;
  F.shape = finsrc_shape(settings.isource);
  const FinsrcShape& s = F.shape;
  F.u = u;
  F.v = v;
  F.f = TWmod.scale;
  if (F.rep_override >= 0)
    F.rep = static_cast<unsigned long long>(F.rep_override);
  else
    F.rep = settings.seed > 0 ? ++F.nsearch : 0;

  const double q = 1.0 - s.e;
  F.finsrc_ray_dens = TWsrc.finsrc_ray_num / (kPi * s.R90 * s.R90 * q);
  // The sampled ellipse follows srcsize like the brightness and the membership tests.
  const double R999 = s.R999 * s.size;
  const double srcarea = kPi * R999 * R999 * q;
  if (!shape_on(s) || !(TWsrc.finsrc_ray_num > 0.0) || !std::isfinite(F.finsrc_ray_dens)) return;

  const triangulateio& m = TWtri.out;
  const SourceTileCatalog& cat = TWcat;
  if (!(cat.built && cat.ntri == m.numberoftriangles && cat.nvert == m.numberofpoints &&
        m.numberofpointattributes > kAttrPhi)) {
    warning("the source catalogue does not match the current grid; no images found");
    return;
  }
  const bool scaled = std::fabs(F.f - 1.0) > 1e-6;

  // Triangles whose source-plane image meets the source: 1 accepted, 2 tested and refused.
  TWtri.mark.assign(static_cast<size_t>(m.numberoftriangles), 0);
  std::vector<int> cands;
  int code;
  auto consider = [&](int t) {
    int& mk = TWtri.mark[static_cast<size_t>(t)];
    if (mk != 0) return;
    mk = 2;
    if (ingalcore(t)) return;
    TriVerts T;
    load_triangle(t, F.f, T);
    const bool hit = intriangle(T.u[0], T.v[0], T.u[1], T.v[1], T.u[2], T.v[2], u, v) != 0 ||
                     finsrc_in1(s, code, T.u[0], T.v[0]) || finsrc_in1(s, code, T.u[1], T.v[1]) ||
                     finsrc_in1(s, code, T.u[2], T.v[2]) ||
                     finsrc_in2(s, code, T.u[0], T.v[0], T.u[1], T.v[1]) ||
                     finsrc_in2(s, code, T.u[0], T.v[0], T.u[2], T.v[2]) ||
                     finsrc_in2(s, code, T.u[1], T.v[1], T.u[2], T.v[2]);
    if (!hit) return;
    mk = 1;
    cands.push_back(t);
  };
  if (!scaled) {
    const int iu0 = cat_cell(u - R999, cat.cat_u0, cat.cat_du, cat.ncat);
    const int iu1 = cat_cell(u + R999, cat.cat_u0, cat.cat_du, cat.ncat);
    const int iv0 = cat_cell(v - R999, cat.cat_v0, cat.cat_dv, cat.ncat);
    const int iv1 = cat_cell(v + R999, cat.cat_v0, cat.cat_dv, cat.ncat);
    for (int iu = iu0; iu <= iu1; ++iu)
      for (int iv = iv0; iv <= iv1; ++iv) {
        const CatCell cell = cat_cell_lists(iu, iv);
        for (const int* t = cell.tile; t != cell.tile_end; ++t) consider(*t);
      }
  } else {
    // Under a scale factor the catalogue's cells no longer hold the tiles' source images.
    for (int t = 0; t < m.numberoftriangles; ++t) consider(t);
  }

  double area = 0.0, rays = 0.0;
  for (int t : cands) finsrc_tri(t, 1, area, rays, srcarea);
  F.rays = rays;
  std::printf("QVM source #%d area %e rays %e\n", settings.isource, srcarea, rays);
  if (F.finsrc_ray_verb != 0) {
    qprintf("finsrc analysis:\n");
    qprintf("  image plane area searched  = %.2e\n", area);
    qprintf("  actual number of rays shot = %.2e\n", rays);
  }

  n = F.finsrc_cnt;
  if (n == 0) return;
  list.reset(1, n, 1, 9);
  for (int i = 1; i <= n; ++i) {
    const FiniteSourceState::Acc& a = F.finsrc_tmp[static_cast<size_t>(i - 1)];
    const double x = a.x / a.w, y = a.y / a.w, T = a.d / a.w;
    double pot, px, py, pxx, pyy, pxy, pyx;
    potdefmag(x, y, pot, px, py, pxx, pyy, pxy, pyx);
    list[i][1] = x;
    list[i][2] = y;
    list[i][3] = a.w;
    list[i][4] = ((x - u) * (x - u) + (y - v) * (y - v)) / 2.0 - T;
    list[i][5] = pxx;
    list[i][6] = pyy;
    list[i][7] = pxy;
    list[i][8] = pyx;
    list[i][9] = 1.0;
  }
}

// ---------------------------------------------------------------------------------------
// checkfinsrc

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
  SetGlob();
  if (words.own_count() < 6) {
    checkfinsrchelp(2);
    return;
  }
  if (!checksteps(words[3], "steps", 1, 1)) return;
  if (!checkint(words[4], "bootstraps")) return;
  const double lo = words.finite(1, "checkfinsrc"), hi = words.finite(2, "checkfinsrc");
  const int steps = words.signed_count(3, "number of steps");
  const long nrep = word_integer(words[4]);
  if (nrep < 1) {
    warning("checkfinsrc needs at least one bootstrap");
    return;
  }
  if (log_range_refused(steps, lo, hi)) {
    warn_log_range();
    return;
  }
  const std::string outname = words[5];
  const int nsteps = std::abs(steps);

  CheckfinsrcScope scope;
  // The current source, checked, and where it sits.
  setfinsrc(settings.isource, 0, 0.0, 0.0);
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

  FileHandle fp(QVMfopen(outname, "w", "could not open checkfinsrc output file"));
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
  if (fp.close() != 0) fatal("could not write checkfinsrc output file " + outname);
}

void checkfinsrchelp(int level) {
  if (quietflag) return;
  if (level == 1) {
    qprintf("Convergence tests for finite source calculations.\n");
    return;
  }
  help_lines({"checkfinsrc <Nray lo> <hi> <# steps> <# bootstraps> <outname>",
              "Finds the images of the current extended source (at its own position)",
              "with the target number of rays stepped from lo to hi (a negative number",
              "of steps spaces them logarithmically), repeating each search the given",
              "number of times, and writes the mean and scatter of each image's x, y,",
              "mu and tdel at each step, then their errors relative to the last step",
              "(fractional for mu), to outname."});
}
