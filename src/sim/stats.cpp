// Statistics over clump realisations: lensing quantities at fixed image-plane points
// (magdistimg), images of a fixed source (magdistsrc, ranlens), image counts of fixed or
// random sources (ranlens1), and the field at a point as the population is truncated
// (clumpcheckR).
#include "sim/stats.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "core/lens_model.h"
#include "imageplane/grid.h"
#include "imageplane/images.h"
#include "io/outfile.h"
#include "io/qvmfile.h"
#include "models/component.h"
#include "models/evaluator.h"
#include "numeric/constants.h"
#include "numeric/interp.h"
#include "numeric/sort.h"
#include "shell/argcheck.h"
#include "shell/commands.h"
#include "shell/fatal.h"
#include "shell/settings.h"
#include "sim/clumps.h"
#include "sim/mocks.h"

namespace {
constexpr int kMaxHeld = 20;

bool headers_on() { return !quietflag && settings.verbose <= 2; }

struct Field {
  double phi, px, py, pxx, pyy, pxy, pyx;
  double mu() const { return 1.0 / ((1.0 - pxx) * (1.0 - pyy) - pxy * pyx); }
};
Field eval_at(double x, double y) {
  Field f;
  potdefmag(x, y, f.phi, f.px, f.py, f.pxx, f.pyy, f.pxy, f.pyx);
  return f;
}

// All three clump streams of one realisation from one seed value.
void draw_from(long s) { do_drawclumps(s, s, s); }
}  // namespace

int refine_pos(double& x, double& y, double u, double v) {
  const double xtol = settings.xtol;
  double step = 1e30;
  for (int it = 0; it < 1000 && step > 0.1 * xtol; ++it) {
    const Field f = eval_at(x, y);
    const double fx = x - f.px - u, fy = y - f.py - v;
    const double det = (1.0 - f.pxx) * (1.0 - f.pyy) - f.pxy * f.pyx;
    if (det == 0 || !std::isfinite(det)) return 0;
    double dx = ((1.0 - f.pyy) * fx + f.pxy * fy) / det;
    double dy = (f.pxy * fx + (1.0 - f.pxx) * fy) / det;
    step = std::hypot(dx, dy);
    if (!std::isfinite(step)) return 0;
    if (step > 0.1) {
      dx *= 0.1 / step;
      dy *= 0.1 / step;
    }
    x -= dx;
    y -= dy;
  }
  return step <= xtol ? 1 : 0;
}

// ---- ranlens ----

namespace {
struct HeldImage {
  double x, y, mu, delay, flag;
};

// Magnification times flux, delay, class; counts per class; delays relative to the
// smallest, maxima moved last when they are not counted.
void classify(std::vector<HeldImage>& im, const std::vector<Field>& fl, double u, double v, double srcf, int& nmin,
              int& nsad, int& nmax) {
  nmin = nsad = nmax = 0;
  double tmin = 1e300;
  for (size_t i = 0; i < im.size(); ++i) {
    const Field& f = fl[i];
    im[i].mu = f.mu() * srcf;
    im[i].delay = mock_delay(im[i].x, im[i].y, f.phi, u, v, 1e-4);
    const int p = mock_parity(f.pxx, f.pyy, f.pxy, f.pyx);
    im[i].flag = p;
    if (p == 1) ++nmin;
    if (p == -1) ++nsad;
    if (p == 0 && settings.omitcore <= 0) ++nmax;
    tmin = std::min(tmin, im[i].delay);
  }
  for (auto& h : im) {
    h.delay -= tmin;
    if (h.flag == 0 && settings.omitcore > 0) h.delay = 1e8;
  }
}
}  // namespace

void ranlens(const WordArray& words) {
  const int nw = words.own_count();
  require_model();
  const std::string base = words[1];
  const double srcu = words.finite(2, words[0]), srcv = words.finite(3, words[0]), srcf = words.finite(4, words[0]);
  const long Nran = words.signed_count(5, "number of random lenses");
  const long Niter = nw > 6 ? words.signed_count(6, "number of iterations") : 1;
  const double sigx = nw > 7 ? words.finite(7, words[0]) : 0.0;
  const char* msg = "could not open output file";
  OutFile fdat(base + ".dat", "w", msg, true);
  OutFile fall(base + ".all", "w", msg, true);
  RandomStream Nseed(settings.seed), rseed(settings.seed), gseed(settings.seed);
  const int save_mode = settings.clumpmode, save_use = TWclump.useclumps;
  settings.clumpmode = 0;
  struct Restore {
    int m, u;
    ~Restore() {
      settings.clumpmode = m;
      TWclump.useclumps = u;
    }
  } restore{save_mode, save_use};

  // Reference images of the smooth model, in delay order.
  int n = 0;
  Mat list;
  find_img(n, list, srcu, srcv);
  std::vector<HeldImage> ref(static_cast<size_t>(n));
  std::vector<Field> rf(static_cast<size_t>(n));
  for (int i = 1; i <= n; ++i) {
    ref[i - 1].x = list[i][1];
    ref[i - 1].y = list[i][2];
    rf[i - 1] = eval_at(list[i][1], list[i][2]);
  }
  int rmin, rsad, rmax;
  classify(ref, rf, srcu, srcv, srcf, rmin, rsad, rmax);
  std::stable_sort(ref.begin(), ref.end(), [](const HeldImage& a, const HeldImage& b) { return a.delay < b.delay; });
  ref.resize(static_cast<size_t>(rmin + rsad + rmax));

  settings.clumpmode = 2;
  TWclump.useclumps = 1;
  const double xtol = settings.xtol;
  for (long r = 1; r <= Nran; ++r) {
    do_drawclumps(Nseed, rseed, gseed);
    std::vector<HeldImage> held;
    std::vector<Field> hf;
    for (const HeldImage& ri : ref)
      for (long it = 0; it < Niter; ++it) {
        double x = ri.x + sigx * gasdev(gseed), y = ri.y + sigx * gasdev(gseed);
        if (!refine_pos(x, y, srcu, srcv) || static_cast<int>(held.size()) >= kMaxHeld) continue;
        bool near = false;
        for (const auto& h : held)
          if (std::hypot(h.x - x, h.y - y) < 2 * xtol) near = true;
        if (near) continue;
        held.push_back({x, y, 0, 0, 0});
        hf.push_back(eval_at(x, y));
      }
    int hmin, hsad, hmax;
    classify(held, hf, srcu, srcv, srcf, hmin, hsad, hmax);
    bool line = true;
    if (hmin != rmin) warning("wrong number of minima");
    if (hsad != rsad) warning("wrong number of saddles");
    if (hmax != rmax) {
      warning("wrong number of maxima");
      line = false;
    }
    line = line && hmin == rmin && hsad == rsad;
    std::vector<int> match(ref.size(), -1);
    if (line && !ref.empty()) {
      std::vector<double> flags(held.size());
      for (size_t k = 0; k < held.size(); ++k) flags[k] = held[k].flag;
      for (size_t i = 0; i < ref.size() && line; ++i) {
        double best = 1e300;
        for (size_t k = 0; k < held.size(); ++k) {
          if (flags[k] != ref[i].flag) continue;
          const double d = std::hypot(held[k].x - ref[i].x, held[k].y - ref[i].y);
          if (d < best) best = d, match[i] = static_cast<int>(k);
        }
        if (match[i] < 0) {
          warning("image matching failed");
          line = false;
        } else {
          flags[static_cast<size_t>(match[i])] = 99;
        }
      }
    }
    if (line) {
      std::fprintf(fdat, "%ld", r);
      for (size_t i = 0; i < ref.size(); ++i) {
        const HeldImage& h = held[static_cast<size_t>(match[i])];
        std::fprintf(fdat, " %e", std::hypot(h.x - ref[i].x, h.y - ref[i].y));
      }
      std::fprintf(fdat, " ");
      for (size_t i = 0; i < ref.size(); ++i) std::fprintf(fdat, " %13.6e", held[static_cast<size_t>(match[i])].mu);
      std::fprintf(fdat, " ");
      for (size_t i = 0; i < ref.size(); ++i) std::fprintf(fdat, " %e", held[static_cast<size_t>(match[i])].delay);
      std::fprintf(fdat, "\n");
      fdat.flush();
    }
    std::fprintf(fall, "\n%ld %d\n", r, static_cast<int>(held.size()));
    std::fprintf(fall, "parities: %d %d %d\n", hmin, hsad, hmax);
    for (const auto& h : held) std::fprintf(fall, "%13.6e %13.6e %13.6e %13.6e\n", h.x, h.y, h.mu, h.delay);
    fall.flush();
  }
  fall.close();
  fdat.close();
}

// ---- ranlens1 ----

void ranlens1(const WordArray& words) {
  const int nw = words.own_count();
  if (nw < 5 || (words.finite_integer(3, words[0]) == 1 && nw < 6)) {
    refuse_line(words);
    return;
  }
  require_model();
  const std::string base = words[1];
  const long Nlens = words.signed_count(2, "number of lenses"), Nsrc = words.signed_count(3, "number of sources");
  const double R = Nsrc > 1 ? words.finite(4, words[0]) : 0.0;
  const double u0 = Nsrc == 1 ? words.finite(4, words[0]) : 0.0, v0 = Nsrc == 1 ? words.finite(5, words[0]) : 0.0;
  const char* msg = "could not open output file";
  OutFile fdat(base + ".dat", "w", msg, true);
  OutFile fall(base + ".all", "w", msg, true);
  RandomStream srcseed(settings.seed);
  int n = 0;
  Mat list;
  static const char* kClass[3] = {"  saddle\n", "  maximum\n", "  minimum\n"};
  for (long lens = 1; lens <= Nlens; ++lens) {
    draw_from(repetition_seed(settings.seed, lens));
    if (initmodel(TWref.ref[1], 1) > 0) fatal("in initmodel called from ranlens1");
    for (long src = 1; src <= Nsrc; ++src) {
      double u = u0, v = v0;
      if (Nsrc > 1) {
        const double rr = R * std::sqrt(ran2(srcseed)), th = 2 * kPi * ran2(srcseed);
        u = rr * std::cos(th);
        v = rr * std::sin(th);
      }
      find_img(n, list, u, v);
      int cnt[3] = {};
      double sum[3] = {};
      std::vector<int> cls(static_cast<size_t>(n) + 1);
      for (int i = 1; i <= n; ++i) {
        const int p = mock_parity(list[i][5], list[i][6], list[i][7], list[i][8]);
        cls[static_cast<size_t>(i)] = p;
        cnt[p + 1]++;
        sum[p + 1] += std::fabs(list[i][3]);
      }
      const int ntot = cnt[0] + cnt[1] + cnt[2];
      const double stot = sum[0] + sum[1] + sum[2];
      std::fprintf(fall, "lens   %ld\n", lens);
      std::fprintf(fall, "source %ld %13.6e %13.6e\n", src, u, v);
      std::fprintf(fall, "total   %4d %e\n", ntot, stot);
      std::fprintf(fall, "minima  %4d %e\n", cnt[2], sum[2]);
      std::fprintf(fall, "saddles %4d %e\n", cnt[0], sum[0]);
      std::fprintf(fall, "maxima  %4d %e\n", cnt[1], sum[1]);
      std::fprintf(fall, "images:\n");
      for (int i = 1; i <= n; ++i) {
        std::fprintf(fall, " %3d %13.6e %13.6e %13.6e", i, list[i][1], list[i][2], list[i][3]);
        std::fprintf(fall, "%s", kClass[cls[static_cast<size_t>(i)] + 1]);
      }
      std::fprintf(fall, "\n");
      fall.flush();
      std::fprintf(fdat, "%ld %ld tot %d %e min %d %e sad %d %e max %d %e\n", lens, src, ntot, stot, cnt[2], sum[2],
                   cnt[0], sum[0], cnt[1], sum[1]);
      fdat.flush();
    }
  }
  fall.close();
  fdat.close();
}

// ---- magdistimg ----

void magdistimg(const WordArray& words) {
  require_model();
  const long N = words.signed_count(1, "number of realisations");
  const std::string base = words[2];
  const char* msg = "could not open magdistimg output file";
  OutFile fall(base + "-all.dat", "w", msg, true);
  OutFile fmag(base + "-mag.dat", "w", msg, true);
  if (headers_on()) std::fprintf(fall, "#  pot  defx  defy  kappa  gamma_c  gamma_s\n");
  const Mat& pts = TWsecgrid.imggridpos;
  const int np = std::min(static_cast<int>(TWsecgrid.imggridp[1] * 1.000001), static_cast<int>(pts.nrows()));
  for (long i = 1; i <= N; ++i) {
    if (i % 1000 == 0) qprintf("Step %.0f/%.0f\n", static_cast<double>(i), static_cast<double>(N));
    draw_from(repetition_seed(settings.seed, i));
    for (int k = 1; k <= np; ++k) {
      const Field f = eval_at(pts[k][1], pts[k][2]);
      std::fprintf(fall, "  %13.6e %13.6e %13.6e %13.6e %13.6e %13.6e", f.phi, f.px, f.py, 0.5 * (f.pxx + f.pyy),
                   0.5 * (f.pxx - f.pyy), f.pxy);
      std::fprintf(fmag, " %13.6e", f.mu());
    }
    std::fprintf(fall, "\n");
    std::fprintf(fmag, "\n");
    fall.flush();
    fmag.flush();
  }
  fmag.close();
  fall.close();
}

// ---- magdistsrc ----

void magdistsrc(const WordArray& words) {
  require_model();
  const double u = words.finite(1, words[0]), v = words.finite(2, words[0]);
  const long N = words.signed_count(3, "number of realisations");
  const std::string base = words[4];
  const double x1 = getp(1, 2), y1 = getp(1, 3);
  const double rs = settings.rscale;
  double rmax;
  if (settings.gridcoords == 1)
    rmax = std::min({std::fabs(x1 - rs * settings.gridlo1), std::fabs(rs * settings.gridhi1 - x1),
                     std::fabs(y1 - rs * settings.gridlo2), std::fabs(rs * settings.gridhi2 - y1)});
  else if (settings.gridcoords == 2)
    rmax = rs * settings.gridhi1;
  else
    fatal("unknown value of gridcoords");
  const char* msg = "could not open magdistsrc output file";
  OutFile fdat(base + ".dat", "w", msg, true);
  OutFile fimg(base + ".img", "w", msg, true);
  const bool hdr = headers_on();
  if (hdr) {
    std::fprintf(fdat, "#  mu_tot  mu_max  N_img\n");
    std::fprintf(fimg, "#  mu_tot  mu_max  N_img  (x,y,mu,dt)_i\n");
  }
  int n = 0;
  Mat list;
  for (long step = 1; step <= N; ++step) {
    qprintf("Step %.0f/%.0f\n", static_cast<double>(step), static_cast<double>(N));
    draw_from(repetition_seed(settings.seed, step));
    find_img(n, list, u, v);
    double mutot = 0, mumax = 0, e = -1, mue = 0;
    for (int i = 1; i <= n; ++i) {
      list[i][4] = mock_delay(list[i][1], list[i][2], list[i][4], u, v, 0.001);
      const double m = std::fabs(list[i][3]);
      mutot += m;
      mumax = std::max(mumax, m);
      const double d = std::hypot(list[i][1] - x1, list[i][2] - y1);
      if (d > e) e = d, mue = m;
    }
    for (int i = n; i >= 1; --i) list[i][4] -= list[1][4];
    for (double fr : {0.95, 0.90, 0.80})
      if (e > fr * rmax && mue > 0.001 * mutot) {
        const std::string w = strformat("# warning: significant image beyond %.2f*rmax\n", fr);
        qprintf("%s", w.c_str());
        if (hdr) {
          std::fprintf(fdat, "%s", w.c_str());
          std::fprintf(fimg, "%s", w.c_str());
        }
        break;
      }
    std::fprintf(fdat, "%e %e %3d\n", mutot, mumax, n);
    std::fprintf(fimg, "%e %e %3d", mutot, mumax, n);
    for (int i = 1; i <= n; ++i)
      std::fprintf(fimg, "  %13.6e %13.6e %13.6e %e", list[i][1], list[i][2], list[i][3], list[i][4]);
    std::fprintf(fimg, "\n");
    fdat.flush();
    fimg.flush();
  }
  fimg.close();
  fdat.close();
}

// ---- clumpcheckR ----

void clumpcheckR(const WordArray& words) {
  require_model();
  const double x = words.finite(1, words[0]), y = words.finite(2, words[0]), Rlo = words.finite(3, words[0]), Rhi = words.finite(4, words[0]);
  const int steps = words.signed_count(5, "number of steps");
  const long Nran = words.signed_count(6, "number of random realisations");
  const std::string base = words[7];
  if (steps == 0) fatal("in clumpcheckR: the number of radius steps cannot be 0");
  if (log_range_refused(steps, Rlo, Rhi)) {
    warn_log_range();
    return;
  }
  const int K = std::abs(steps);
  std::vector<double> Rk(static_cast<size_t>(K) + 1);
  for (int k = 1; k <= K; ++k) Rk[static_cast<size_t>(k)] = K == 1 ? Rlo : setparm(steps, k, Rlo, Rhi);
  OutFile fall(base + ".all", "w", "could not open output file", true);
  ClumpState& cs = TWclump;
  struct ResetR {
    ~ResetR() { TWclump.clumpRmax = 0; }
  } reset;
  auto vals = [](const Field& f, double* v) {
    v[0] = f.phi, v[1] = f.px, v[2] = f.py, v[3] = f.pxx, v[4] = f.pyy, v[5] = f.pxy, v[6] = f.mu();
  };
  auto line = [&](double R, const double* v) {
    std::fprintf(fall, "%e %13.6e %13.6e %13.6e %13.6e %13.6e %13.6e %13.6e\n", R, v[0], v[1], v[2], v[3], v[4],
                 v[5], v[6]);
  };
  // Per radius: sums and sums of squares of 7 values and 9 differences.
  std::vector<double> s(static_cast<size_t>(K + 1) * 32, 0.0);
  auto at = [&](int k, int q) -> double& { return s[static_cast<size_t>(k) * 32 + q]; };
  for (long i = 1; i <= Nran; ++i) {
    std::fprintf(fall, "# run %ld\n", i);
    const long seed = repetition_seed(settings.seed, i);
    cs.clumpRmax = 0;
    draw_from(seed);
    double full[7];
    vals(eval_at(x, y), full);
    line(0, full);
    for (int k = 1; k <= K; ++k) {
      cs.clumpRmax = Rk[static_cast<size_t>(k)];
      draw_from(seed);
      double t[7];
      vals(eval_at(x, y), t);
      line(Rk[static_cast<size_t>(k)], t);
      double d[9];
      for (int q = 0; q < 6; ++q) d[q] = t[q] - full[q];
      d[6] = t[6] - full[6];
      d[7] = 1.0 / t[6] - 1.0 / full[6];
      d[8] = t[6] / full[6] - 1.0;
      for (int q = 0; q < 7; ++q) at(k, q) += t[q], at(k, 7 + q) += t[q] * t[q];
      for (int q = 0; q < 9; ++q) at(k, 14 + q) += d[q], at(k, 23 + q) += d[q] * d[q];
    }
    fall.flush();
  }
  cs.clumpRmax = 0;
  // Spread of a value: sqrt(<v^2> - <v>^2), floored at 0 against rounding.
  auto spread = [&](double s1, double s2) {
    if (Nran < 1) return 0.0;
    const double m = s1 / Nran, var = s2 / Nran - m * m;
    return var > 0 ? std::sqrt(var) : 0.0;
  };
  WholeFile fdat(base + ".dat", "could not open output file", true);
  WholeFile ferr(base + "-err.dat", "could not open output file", true);
  for (int k = 1; k <= K; ++k) {
    std::fprintf(fdat, "%13.6e", Rk[static_cast<size_t>(k)]);
    for (int q = 0; q < 7; ++q)
      std::fprintf(fdat, "  %13.6e %13.6e", Nran > 0 ? at(k, q) / Nran : 0.0, spread(at(k, q), at(k, 7 + q)));
    std::fprintf(fdat, "\n");
    std::fprintf(ferr, "%13.6e", Rk[static_cast<size_t>(k)]);
    for (int q = 0; q < 9; ++q) std::fprintf(ferr, " %e", spread(at(k, 14 + q), at(k, 23 + q)));
    std::fprintf(ferr, "\n");
  }
  ferr.commit();
  fdat.commit();
  fall.close();
}

