// Point-image chi-squared terms: image positions (source-plane and image-plane forms),
// fluxes and delays of every observed source against a trial model.
//
// Sources: the lens equation u = x - alpha(x) and its Jacobian A = 1 - psi_ij (Schneider,
// Ehlers & Falco 1992, Gravitational Lenses, Springer): the source-plane form carries each
// image's source-plane offset into the image plane with the magnification tensor A^-1, to
// first order, and the image-plane form solves the lens equation for the images. The model
// delay is the Fermat potential |x - u|^2/2 - psi (Blandford & Narayan 1986, ApJ 310, 568).
#include "fit/pointchi.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "core/lens_model.h"
#include "core/sources.h"
#include "fit/constraints.h"
#include "fit/fluxtdel.h"
#include "fit/store.h"
#include "imageplane/critcurves.h"
#include "imageplane/grid.h"
#include "imageplane/images.h"
#include "imageplane/source_models.h"
#include "models/component.h"
#include "models/evaluator.h"
#include "numeric/constants.h"
#include "numeric/minimize.h"
#include "numeric/roots.h"
#include "numeric/sort.h"
#include "shell/fatal.h"
#include "shell/settings.h"

PointWork TSpoint;

namespace {

// The per-image tensors of the source-plane form live in fixed arrays.
constexpr int kApproxSlots = 20;

bool near(double v, double target) { return std::fabs(v - target) < 1e-4; }

// Scratch of the image-plane form, kept between calls and grown when the capacities of
// the observed records grow.
struct ExactScratch {
  int mimg = -1, mflux = -1;
  SrcData obs, mod;  // the current source's shifted observed images; the last trial's model
  Mat list;          // model images of the last trial source
  IVec match;        // [1..mimg]: the model image each observed image took (0: none)
  Mat simplex;       // [1..3][1..2]
  Vec yv;            // [1..3]
  Vec vals;          // [1..mimg]
  LVec rank;         // [1..mimg]
  Mat beta;          // [1..mimg][1..2]
  Vec uv, newton;    // [1..2]

  void ensure(int mi, int mf) {
    if (mi <= mimg && mf <= mflux) return;
    mimg = std::max(mi, std::max(mimg, 1));
    mflux = std::max(mf, std::max(mflux, 1));
    obs.allocate(mimg, mflux);
    mod.allocate(mimg, mflux);
    list.reset(1, mimg, 1, 9);
    match.reset(1, mimg);
    simplex.reset(1, 3, 1, 2);
    yv.reset(1, 3);
    vals.reset(1, mimg);
    rank.reset(1, mimg);
    beta.reset(1, mimg, 1, 2);
    uv.reset(1, 2);
    newton.reset(1, 2);
  }
};
ExactScratch scratch;

// Whether the position of source i is solved (its vary flags for u or v).
bool position_solved(int i) {
  if (TSstore.built && i >= 1 && i <= TSstore.nsrc) return TSstore.svary[i][2] != 0 || TSstore.svary[i][3] != 0;
  if (i >= 1 && i <= TWsrc.NSRCMAX) return TWsrc.srcvary[i][2] != 0 || TWsrc.srcvary[i][3] != 0;
  return true;
}

// Exact ties of source i's position to an earlier source (already solved in this
// evaluation): p = ratio p_partner + zeropt. Returns true when a row applied.
bool apply_position_ties(int i, Mat& sparms) {
  bool any = false;
  for (int r = 1; r <= TScons.npmatch; ++r) {
    const PmatchRow& row = TScons.pmatcharr[r];
    if (row.on == 0 || row.sigma != 0) continue;
    const int ip = constraint_index(row.iparm), jp = constraint_index(row.jparm);
    if ((ip != 2 && ip != 3) || (jp != 2 && jp != 3)) continue;
    if (constraint_index(row.igal) != -i) continue;
    const int j = -constraint_index(row.jgal);
    if (j <= 0 || j >= i) continue;
    sparms[i][ip] = row.ratio * sparms[j][jp] + row.zeropt;
    any = true;
  }
  return any;
}

// The optimiser's step of source i's position coordinate col (2 or 3); the default
// source step where the table has none.
double source_position_step(int i, int col) {
  const StepSizes& st = TWstep;
  double s = 0;
  if (st.made && st.ngal + i >= st.pstep.rlo() && st.ngal + i <= st.pstep.rhi()) s = st.pstep[st.ngal + i][col];
  return s != 0 ? s : 0.01 * settings.rscale;
}

// Each source is scored at its own distance ratio (or, with multi-plane lensing, its
// own redshift) and registration shift; the scale factor and the delay factor are
// restored however the form ends.
class SourceScope {
 public:
  explicit SourceScope(bool image_plane) : tscale_(settings.tscale), image_plane_(image_plane) {}
  ~SourceScope() {
    TWmod.scale = 1.0;
    settings.tscale = tscale_;
  }
  void enter(int i, const SrcData& s, double& xs, double& ys) {
    setfinsrc(i, 0, 0.0, 0.0);
    if (LOS.on == 0) {
      TWmod.scale = s.pscale;
      settings.tscale = tscale_ / s.pscale;
    } else {
      // A source without a redshift of its own lies at the global one.
      calcLOSmatrices(model_redshifts(), s.zsrc > 0 ? s.zsrc : settings.zsrc);
      if (image_plane_) {
        if (TSrun.chifile) std::fprintf(TSrun.chifile, "Recomputing LOS matrices and grid for source #%d\n", i);
        dogrid();
      }
    }
    xs = ys = 0;
    GetRegister(1, i, xs, ys);
  }
  void finish() {
    TWmod.scale = 1.0;
    settings.tscale = tscale_;
    if (LOS.on != 0) {
      calcLOSmatrices(model_redshifts(), settings.zsrc);
      if (image_plane_) dogrid();
    }
  }

 private:
  static const Vec& model_redshifts() {
    static Vec none;
    return TWref.Nref >= 1 ? TWref.ref[1].z : none;
  }
  double tscale_;
  bool image_plane_;
};

// Squared distance of (u, v) from the nearest caustic point; 1e12 without any.
double caustic_distance2(double u, double v) {
  const CritPointList& c = TWcrit;
  if (c.ncrit <= 0) return 1e12;
  double best = 1e300;
  for (int k = 1; k <= c.ncrit; ++k) {
    const double du = u - c.crit[k][3], dv = v - c.crit[k][4];
    best = std::min(best, du * du + dv * dv);
  }
  return best;
}

int used_count(const SrcData& s) {
  int m = 0;
  for (int k = 1; k <= s.nimg; ++k)
    if (s.core[k] == 0) ++m;
  return m;
}

}  // namespace

double calc_chip(double dx, double dy, double siga, double sigb, double pa) {
  const double th = pa * kPi / 180.0, c = std::cos(th), s = std::sin(th);
  const double a = siga * siga, b = sigb * sigb;
  return dx * dx * (s * s / a + c * c / b) + dy * dy * (c * c / a + s * s / b) + 2 * s * c * dx * dy * (a - b) / (a * b);
}

// ---- source-plane form ----

PointChi chiapprox(const Mat&, Mat& sparms) {
  PointChi chi;
  if (TSobs.Nsrcobs > 0) require_position_errors();
  const bool weighted = !near(settings.chimode, -1);
  const double omitcrit = settings.omitcrit;
  double M[kApproxSlots][2][2], W[kApproxSlots][2][2], bu[kApproxSlots], bv[kApproxSlots];
  double pot, ax, ay, pxx, pyy, pxy, pyx;
  SourceScope scope(false);
  for (int i = 1; i <= TSobs.Nsrcobs; ++i) {
    const SrcData& o = TSobs.srcobs[i];
    SrcData& m = TSobs.srcmod[i];
    double xs, ys;
    scope.enter(i, o, xs, ys);
    copysource(o, m);
    m.h = 0;
    const int n = o.nimg;
    if (n >= kApproxSlots) fatal("number of images is larger than chiapprox can handle");
    double S11 = 0, S12 = 0, S21 = 0, S22 = 0, b1 = 0, b2 = 0;
    int used = 0;
    Tensor3& C = const_cast<Tensor3&>(o.invcov);
    for (int k = 1; k <= n; ++k) {
      m.x[k] += xs;
      m.y[k] += ys;
      potdefmag(m.x[k], m.y[k], pot, ax, ay, pxx, pyy, pxy, pyx);
      bu[k] = m.x[k] - ax;
      bv[k] = m.y[k] - ay;
      const double det = (1 - pxx) * (1 - pyy) - pxy * pyx;
      double (&Mk)[2][2] = M[k];
      // A cap of 0 (or below) means no cap.
      if (omitcrit > 0 && std::fabs(det) < 1.0 / omitcrit) {
        static RepeatedMessage cap_warning;
        if (cap_warning.first())
          cap_warning.warn(strformat("In chiapprox, magnification is above threshold; scaling to mu = %e", omitcrit));
        const double r = std::sqrt(omitcrit);
        Mk[0][0] = Mk[1][1] = r;
        Mk[0][1] = Mk[1][0] = 0;
      } else {
        Mk[0][0] = (1 - pyy) / det;
        Mk[0][1] = pxy / det;
        Mk[1][0] = pyx / det;
        Mk[1][1] = (1 - pxx) / det;
      }
      if (!weighted) {
        Mk[0][0] = Mk[1][1] = 1;
        Mk[0][1] = Mk[1][0] = 0;
      }
      // W = M^T C M
      double CM[2][2];
      for (int r = 0; r < 2; ++r)
        for (int c = 0; c < 2; ++c) CM[r][c] = C[k][r][0] * Mk[0][c] + C[k][r][1] * Mk[1][c];
      for (int r = 0; r < 2; ++r)
        for (int c = 0; c < 2; ++c) W[k][r][c] = Mk[0][r] * CM[0][c] + Mk[1][r] * CM[1][c];
      if (o.core[k] != 0) continue;
      ++used;
      S11 += W[k][0][0];
      S12 += W[k][0][1];
      S21 += W[k][1][0];
      S22 += W[k][1][1];
      b1 += W[k][0][0] * bu[k] + W[k][0][1] * bv[k];
      b2 += W[k][1][0] * bu[k] + W[k][1][1] * bv[k];
    }
    if (!apply_position_ties(i, sparms) && position_solved(i)) {
      if (used == 0) fatal(strformat("source %d has no non-core images", i));
      const double det = S11 * S22 - S12 * S21;
      sparms[i][2] = (S22 * b1 - S12 * b2) / det;
      sparms[i][3] = (S11 * b2 - S21 * b1) / det;
    }
    const double u = sparms[i][2], v = sparms[i][3];
    TWsrc.srcparms[i][2] = u;
    TWsrc.srcparms[i][3] = v;
    m.u = u;
    m.v = v;
    for (int k = 1; k <= n; ++k) {
      const double du = u - bu[k], dv = v - bv[k];
      if (o.core[k] == 0)
        chi.pos += o.wpos * (du * (W[k][0][0] * du + W[k][0][1] * dv) + dv * (W[k][1][0] * du + W[k][1][1] * dv));
      // The image moved to first order onto the image of the fitted source.
      m.x[k] += M[k][0][0] * du + M[k][0][1] * dv;
      m.y[k] += M[k][1][0] * du + M[k][1][1] * dv;
      potdefmag(m.x[k], m.y[k], pot, ax, ay, pxx, pyy, pxy, pyx);
      const double mu = 1.0 / ((1 - pxx) * (1 - pyy) - pxy * pyx);
      for (int b = 1; b <= m.multiflux; ++b) m.flux[k][b] = mu;
      const double dx = m.x[k] - u, dy = m.y[k] - v;
      m.tdel[k] = settings.potflag == 1 ? (dx * dx + dy * dy) / 2 - pot : 0.0;
    }
    chi.flux += procflux(o, m, sparms, i);
    chi.tdel += proctdel(o, m);
  }
  scope.finish();
  return chi;
}

// ---- image-plane form ----

void find_img_nogrid(int& n, Mat& list, const SrcData& obs, double u, double v) {
  TSpoint.nogrid_u = u;
  TSpoint.nogrid_v = v;
  const int nstart = obs.nimg;
  if (nstart > 0 && (list.rlo() != 1 || list.rhi() < nstart || list.clo() != 1 || list.chi() < 9))
    list.reset(1, nstart, 1, 9);
  if (scratch.newton.size() < 2) scratch.newton.reset(1, 2);
  Vec& x = scratch.newton;
  const double xtol = settings.xtol;
  double pot, ax, ay, pxx, pyy, pxy, pyx;
  n = 0;
  for (int j = 1; j <= nstart; ++j) {
    x[1] = obs.x[j];
    x[2] = obs.y[j];
    mnewt(kNogridNewtonSteps, x, 2, xtol, 0.0);
    potdefmag(x[1], x[2], pot, ax, ay, pxx, pyy, pxy, pyx);
    // An image only where the iteration converged: the Newton step from the end point is
    // within the tolerance (a singular Jacobian or a wandering iterate is no image).
    const double a11 = 1 - pxx, a12 = -pxy, a21 = -pyx, a22 = 1 - pyy, det = a11 * a22 - a12 * a21;
    const double fu = x[1] - ax - u, fv = x[2] - ay - v;
    const double dx = (a22 * fu - a12 * fv) / det, dy = (a11 * fv - a21 * fu) / det;
    if (!(std::fabs(dx) + std::fabs(dy) <= xtol)) continue;
    // Solutions closer than the tolerance are one image.
    bool seen = false;
    for (int k = 1; k <= n && !seen; ++k) seen = std::hypot(list[k][1] - x[1], list[k][2] - x[2]) < xtol;
    if (seen) continue;
    BRow<double> r = list[++n];
    r[1] = x[1];
    r[2] = x[2];
    r[3] = 1.0 / det;
    r[4] = pot;
    r[5] = pxx;
    r[6] = pyy;
    r[7] = pxy;
    r[8] = pyx;
    r[9] = 1;
  }
}

void usrfun(const Vec& x, int, Vec& fvec, Mat& fjac) {
  double pot, ax, ay, pxx, pyy, pxy, pyx;
  potdefmag(x[1], x[2], pot, ax, ay, pxx, pyy, pxy, pyx);
  fvec[1] = x[1] - ax - TSpoint.nogrid_u;
  fvec[2] = x[2] - ay - TSpoint.nogrid_v;
  fjac[1][1] = 1 - pxx;
  fjac[1][2] = -pxy;
  fjac[2][1] = -pyx;
  fjac[2][2] = 1 - pyy;
}

double tryuv(const Vec& uv) {
  PointWork& P = TSpoint;
  ExactScratch& w = scratch;
  SrcData& obs = w.obs;
  SrcData& mod = w.mod;
  FILE* tr = TSrun.chifile;
  ++P.ntryuv;
  P.pos = P.flux = P.tdel = 0;
  copysource(obs, mod);
  const double u = uv[1], v = uv[2];
  mod.u = u;
  mod.v = v;

  // One search per trial source: an extended source keeps its own size in every band.
  TWcursrc.srcsize = 1.0;
  int N = 0;
  if (settings.gridflag != 0)
    find_img(N, w.list, u, v);
  else
    find_img_nogrid(N, w.list, obs, u, v);
  Mat& list = w.list;

  // Greedy match in observed order: each used observed image takes the nearest model
  // image not yet taken (the lowest-numbered one on a tie).
  for (int a = 1; a <= N; ++a) list[a][9] = 1;
  int nused = 0;
  bool missing = false;
  for (int j = 1; j <= obs.nimg; ++j) {
    w.match[j] = 0;
    if (obs.core[j] != 0) continue;
    ++nused;
    double best = 1e24;
    int ib = 0;
    for (int a = 1; a <= N; ++a) {
      if (list[a][9] <= 0) continue;
      const double dx = list[a][1] - obs.x[j], dy = list[a][2] - obs.y[j], d2 = dx * dx + dy * dy;
      if (d2 < best) {
        best = d2;
        ib = a;
      }
    }
    if (ib > 0) {
      w.match[j] = ib;
      list[ib][9] = -1;
    } else {
      missing = true;
    }
  }

  // Model images no observed image claimed.
  mod.nextra = 0;
  int nfound = 0;
  for (int a = 1; a <= N; ++a) {
    if (list[a][9] <= 0) continue;
    ++nfound;
    if (mod.nextra < mod.maximg) {
      ++mod.nextra;
      mod.extra[mod.nextra][1] = list[a][1];
      mod.extra[mod.nextra][2] = list[a][2];
      mod.extra[mod.nextra][3] = list[a][3];
    } else {
      warning("too many extra images!");
    }
  }
  P.nextra_found = nfound;

  // The model image set: each used observed image shows the model image it took (every
  // band with that image's magnification); one the model does not produce shows zeros.
  for (int j = 1; j <= obs.nimg; ++j) {
    if (obs.core[j] != 0) {
      mod.tdel[j] = 0;
      continue;
    }
    const int a = w.match[j];
    if (a == 0) {
      mod.x[j] = mod.y[j] = mod.tdel[j] = 0;
      for (int b = 1; b <= mod.multiflux; ++b) mod.flux[j][b] = 0;
      continue;
    }
    const double x = list[a][1], y = list[a][2];
    mod.x[j] = x;
    mod.y[j] = y;
    for (int b = 1; b <= mod.multiflux; ++b) mod.flux[j][b] = list[a][3];
    mod.tdel[j] = settings.potflag == 1 ? ((x - u) * (x - u) + (y - v) * (y - v)) / 2 - list[a][4] : 0.0;
  }
  P.flux = procflux(obs, mod, *P.sparms, P.isrc);
  if (nfound > 0 && settings.extraflux > 0) {
    const double fs = mod.fsrc[1];
    for (int k = 1; k <= mod.nextra; ++k) {
      const double f = mod.extra[k][3] * fs;
      mod.extra[k][3] = f;
      P.flux += (f / settings.extraflux) * (f / settings.extraflux);
    }
  }
  P.tdel = proctdel(obs, mod);

  const bool extra_penalty = nfound > 0 && std::fabs(settings.extraflux) < 1e-5;
  if (extra_penalty || missing) {
    // The delays and fluxes fitted through the missing images leave them at zero.
    for (int j = 1; j <= obs.nimg; ++j) {
      if (obs.core[j] != 0 || w.match[j] != 0) continue;
      mod.tdel[j] = 0;
      for (int b = 1; b <= mod.multiflux; ++b) mod.flux[j][b] = 0;
    }
    const double d2 = caustic_distance2(u, v);
    P.chisq = P.pos = (d2 + 1) * (extra_penalty ? kExtraImagePenalty : kMissingImagePenalty);
    P.flux = P.tdel = 0;
    P.penalty = extra_penalty ? PointPenalty::kExtraImages : PointPenalty::kMissingImages;
    if (tr) {
      std::fprintf(tr, "tryuv: %13e %13e %13e (%s)\n", u, v, P.chisq,
                   extra_penalty ? "extra model images" : "extra observed images");
      std::fprintf(tr, "       obs %d mod %d\n", nused, N);
    }
    return P.chisq;
  }
  P.penalty = PointPenalty::kNone;
  for (int j = 1; j <= obs.nimg; ++j) {
    if (obs.core[j] != 0) continue;
    if (tr)
      std::fprintf(tr, "    %d %13.6e %13.6e %13.6e -> %13.6e %13.6e %13.6e\n", j, obs.x[j], obs.y[j], obs.flux[j][1],
                   mod.x[j], mod.y[j], mod.flux[j][1]);
    P.pos += obs.wpos * calc_chip(mod.x[j] - obs.x[j], mod.y[j] - obs.y[j], obs.sig_a[j], obs.sig_b[j], obs.err_pa[j]);
  }
  P.chisq = settings.fluxweight * P.flux + P.pos + settings.timeweight * P.tdel;
  if (tr) std::fprintf(tr, "tryuv: %13e %13e %13e\n", u, v, P.chisq);
  return P.chisq;
}

PointChi chiexact(const Mat&, Mat& sparms) {
  PointChi chi;
  int mi = 1, mf = 1;
  for (int i = 1; i <= TSobs.Nsrcobs; ++i) {
    mi = std::max(mi, TSobs.srcobs[i].maximg);
    mf = std::max(mf, TSobs.srcobs[i].multiflux);
  }
  ExactScratch& w = scratch;
  w.ensure(mi, mf);
  if (TSobs.Nsrcobs > 0) require_position_errors();
  PointWork& P = TSpoint;
  P.sparms = &sparms;
  struct ClearWork {
    ~ClearWork() { TSpoint.sparms = nullptr; }
  } clear_work;
  FILE* tr = TSrun.chifile;
  SourceScope scope(true);
  for (int i = 1; i <= TSobs.Nsrcobs; ++i) {
    if (tr) std::fprintf(tr, "tryuv: working on source #%d\n", i);
    const SrcData& o = TSobs.srcobs[i];
    double xs, ys;
    scope.enter(i, o, xs, ys);
    copysource(o, w.obs);
    for (int k = 1; k <= w.obs.nimg; ++k) {
      w.obs.x[k] += xs;
      w.obs.y[k] += ys;
    }
    P.isrc = i;
    if (!apply_position_ties(i, sparms) && position_solved(i)) {
      const int m = used_count(w.obs);
      if (m == 0) fatal(strformat("source %d has no non-core images", i));
      // Start from the back-projected images, best first.
      double pot, ax, ay, pxx, pyy, pxy, pyx;
      int q = 0;
      for (int k = 1; k <= w.obs.nimg; ++k) {
        if (w.obs.core[k] != 0) continue;
        ++q;
        potdefmag(w.obs.x[k], w.obs.y[k], pot, ax, ay, pxx, pyy, pxy, pyx);
        w.beta[q][1] = w.obs.x[k] - ax;
        w.beta[q][2] = w.obs.y[k] - ay;
        w.uv[1] = w.beta[q][1];
        w.uv[2] = w.beta[q][2];
        w.vals[q] = tryuv(w.uv);
      }
      indexx(m, w.vals, w.rank);
      for (int c = 1; c <= 2; ++c) w.simplex[1][c] = w.beta[w.rank[1]][c];
      w.yv[1] = w.vals[w.rank[1]];
      const double p = w.simplex[1][1], qq = w.simplex[1][2];
      for (int vtx = 2; vtx <= 3; ++vtx) {
        if (m >= vtx) {
          for (int c = 1; c <= 2; ++c) w.simplex[vtx][c] = w.beta[w.rank[vtx]][c];
          w.yv[vtx] = w.vals[w.rank[vtx]];
          continue;
        }
        // Too few images: a vertex beside vertex 1 (by the position step where a
        // coordinate is 0, which a factor cannot move).
        double a = p, b = qq;
        if (vtx == 2)
          a = p != 0 ? 1.1 * p : p + source_position_step(i, 2);
        else
          b = qq != 0 ? 1.1 * qq : qq + source_position_step(i, 3);
        w.simplex[vtx][1] = w.uv[1] = a;
        w.simplex[vtx][2] = w.uv[2] = b;
        w.yv[vtx] = tryuv(w.uv);
      }
      int nfunk = 0;
      amoeba(w.simplex, w.yv, 2, settings.ftol, [](Vec& x) { return tryuv(x); }, nfunk, kTryuvMaxEvals);
      sparms[i][2] = w.simplex[1][1];
      sparms[i][3] = w.simplex[1][2];
    }
    TWsrc.srcparms[i][2] = sparms[i][2];
    TWsrc.srcparms[i][3] = sparms[i][3];
    w.uv[1] = sparms[i][2];
    w.uv[2] = sparms[i][3];
    tryuv(w.uv);
    if (P.penalty > chi.penalty) chi.penalty = P.penalty;
    chi.pos += P.pos;
    chi.flux += P.flux;
    chi.tdel += P.tdel;
    copysource(w.mod, TSobs.srcmod[i]);
    if (tr) {
      std::fprintf(tr, "tmpchi #%d: %13e %13e %13e %13e\n", i,
                   settings.fluxweight * P.flux + P.pos + settings.timeweight * P.tdel, P.pos, P.flux, P.tdel);
      std::fflush(tr);
    }
  }
  scope.finish();
  return chi;
}
