// Monte Carlo cross sections of the current model: mock lens lists with raw and biased
// cross sections (mock1, mock2), bootstrap cross sections (mockcsec) and image
// separation distributions (csec2sep).
//
// Sources: lens cross sections and their magnification bias for power-law source counts as
// in Turner, Ostriker & Gott 1984, ApJ 284, 1; images classed as minima, saddles and maxima
// of the time-delay surface (Blandford & Narayan 1986, ApJ 310, 568); errors by bootstrap
// resampling (Efron 1979, Ann. Statist. 7, 1).
#include <algorithm>
#include <cmath>
#include <vector>

#include "core/lens_model.h"
#include "imageplane/gridcheck.h"
#include "imageplane/images.h"
#include "io/outfile.h"
#include "io/qvmfile.h"
#include "models/component.h"
#include "numeric/constants.h"
#include "numeric/interp.h"
#include "shell/argcheck.h"
#include "shell/commands.h"
#include "shell/fatal.h"
#include "shell/settings.h"
#include "sim/clumps.h"
#include "sim/mocks.h"

namespace {
constexpr int kMaxImg = 12;

// Bias factor of brightness B for bias value s: a power law of slope s (s < 0) or the
// mockLF fraction at limiting luminosity s (s > 0). A brightness of 0 adds nothing.
double bias_factor(double B, double s) {
  if (B <= 0) return 0.0;
  if (s < 0) return std::pow(B, -1.0 - s);
  return mock_LF_frac(-std::log(s / B)) / mock_LF_frac(-std::log(s));
}

void biased_header(FILE* f, const char* title = "# biased cross sections:") {
  std::fprintf(f, "%s\n", title);
  std::fprintf(f, "#   B1: uses total magnification\n");
  std::fprintf(f, "#   B2: uses mag of 2nd brightest image\n");
  std::fprintf(f, "#   B3: uses mag of 2nd brightest image more than 0.5*sep away\n");
  std::fprintf(f, "#       from brightest image\n");
  std::fprintf(f, "\n");
}

void too_many(const char* cmd, int n, const Mat& list, double u, double v) {
  warning(strformat("too many images in %s", cmd));
  qprintf("source: %e %e\n", u, v);
  qprintf("images:\n");
  for (int i = 1; i <= n; ++i) qprintf("%3d %13.6e %13.6e %13.6e\n", i, list[i][1], list[i][2], list[i][3]);
}

// A point of the image plane mapped to the source plane inside the source circle, for the
// magnification-weighted draws; omitlimit > 0 also refuses points of |mu| above it.
void weighted_source(RandomStream& r, double xg, double yg, double ug, double vg, double umax, double omitlimit,
                     const char* cmd, double& u, double& v) {
  for (long tries = 1;; ++tries) {
    double x, y;
    if (settings.gridcoords == 1) {
      x = settings.gridlo1 + (settings.gridhi1 - settings.gridlo1) * ran2(r);
      y = settings.gridlo2 + (settings.gridhi2 - settings.gridlo2) * ran2(r);
    } else {
      mock_disc_point(r, xg, yg, kWeightedDrawFraction * settings.rscale * settings.gridhi1, x, y);
    }
    double mu;
    mock_map(x, y, u, v, &mu);
    const bool hot = omitlimit > 0 && std::fabs(mu) > omitlimit;
    if (hot) {
      note("ignoring high-magnification source");
      qprintf("(u,v,x,y,mu)= %e %e %e %e %e\n", u, v, x, y, mu);
    }
    if (std::hypot(u - ug, v - vg) <= umax && !hot) return;
    if (tries >= mock_draw_limit)
      fatal(strformat("in %s: %ld image-plane points drawn in a row with none inside the source region", cmd,
                      mock_draw_limit));
  }
}

// Bias values of mockcsec and csec2sep; false (after the warning) when refused.
bool bias_values(double lo, double hi, int steps, Vec& s) {
  if (log_range_refused(steps, lo, hi)) {
    warn_log_range();
    return false;
  }
  if (!((lo > 0 && hi > 0) || (lo <= 0 && hi <= 0))) {
    refuse("nulo and nuhi must have the same sign");
    return false;
  }
  if (lo > 0 && TWmock.mock_LFn <= 0) {
    warning("mockLF has not been set");
    return false;
  }
  const int k = std::max(1, std::abs(steps));
  s.reset(1, k);
  for (int m = 1; m <= k; ++m) s[m] = k == 1 ? lo : setparm(steps, m, lo, hi);
  return true;
}

void bias_label(FILE* f, double s) {
  if (s >= 0)
    std::fprintf(f, "# L0= %f\n", s);
  else
    std::fprintf(f, "# nu= %f\n", s);
}

}  // namespace

// ---- do_mock, mock1, mock2 ----

void do_mock(const std::string& outname, int nsrc, int minimg, int nslope, const Vec& slopes, double ug, double vg,
             double umax) {
  const int mode = nsrc < 0 ? 2 : 1;
  const int N = std::abs(nsrc);
  const double xg = getp(1, 2), yg = getp(1, 3);
  const bool tostdout = outname == "stdout";
  OutFile fown;
  if (!tostdout) fown = OutFile(outname, "w", "could not open mock lens output file", true);
  FILE* f = tostdout ? QVMstdout : fown.get();
  std::fprintf(f, "model:\n");
  writep(f, TWref.ref[1].names, TWref.ref[1].p);
  std::fprintf(f, "#\n");
  std::fprintf(f, "source plane: area and number of sources\n");
  std::fprintf(f, "%13.6e %d\n", kPi * umax * umax, N);
  std::fprintf(f, "#\n");

  const bool region = umax > 0;
  if (!region) warning("no caustic point counts, so there is no multiply imaged region; no sources drawn");
  if (N == 0) warning("no sources: the cross sections are 0");
  RandomStream r(settings.seed);
  long Nlens[kMaxImg + 1] = {};
  double R[kMaxImg + 1] = {};
  std::vector<double> T(3 * std::max(nslope, 1) * (kMaxImg + 1), 0.0);
  auto t_at = [&](int j, int g, int H) -> double& { return T[((j - 1) * nslope + (g - 1)) * (kMaxImg + 1) + H]; };
  double W = 0;
  long drawn = 0;
  int n = 0;
  Mat list;
  for (int i = 1; region && i <= N; ++i) {
    if (i % 1000 == 0) qprintf("Random source #%d/%d\n", i, N);
    double u, v;
    if (mode == 1)
      mock_disc_point(r, ug, vg, umax, u, v);
    else
      weighted_source(r, xg, yg, ug, vg, umax, settings.omitcrit, mode == 1 ? "mock1" : "mock2", u, v);
    ++drawn;
    find_img(n, list, u, v);
    if (n > kMaxImg) {
      too_many("mock1/mock2", n, list, u, v);
      n = kMaxImg;
    }
    const int H = mock_classify(n, list, u, v, 1.0);
    double tmin = 1e30;
    for (int k = 1; k <= n; ++k) tmin = std::min(tmin, list[k][4]);
    Nlens[H] += 1;
    for (int k = 1; k <= n; ++k) list[k][4] -= tmin;
    double B[4], sep;
    mock_brightness(n, list, B[1], B[2], B[3], sep);
    const double w = mode == 1 ? 1.0 : 1.0 / B[1];
    W += w;
    R[H] += w;
    for (int j = 1; j <= 3; ++j)
      for (int g = 1; g <= nslope; ++g) {
        // A brightness of 0 (no second image) adds nothing at any slope.
        const double b = B[j] > 0 ? std::pow(B[j], -1.0 - slopes[g]) : 0.0;
        t_at(j, g, H) += w * b;
      }
    if (H >= minimg) {
      std::fprintf(f, "%13.6e %13.6e                                   # source position\n", u, v);
      std::fprintf(f, "%2d                                                            # number of images\n", H);
      for (int k = 1; k <= n; ++k)
        if (settings.omitcore <= 0 || std::fabs(list[k][9]) >= 0.001)
          std::fprintf(f, "%13.6e %13.6e %13.6e %13.6e %2d    # x y mag tdel parity\n", list[k][1], list[k][2],
                       list[k][3], list[k][4], static_cast<int>(list[k][9]));
      std::fprintf(f, "#\n");
      flush_record(f);
    }
  }
  double a = 0;
  if (drawn > 0) a = mode == 1 ? kPi * umax * umax / N : (W > 0 ? kPi * umax * umax / W : 0.0);
  WholeFile fsown;
  if (!tostdout) fsown = WholeFile(outname + ".stats", "could not open mock lens stats output file", true);
  FILE* fs = tostdout ? QVMstdout : fsown.get();
  std::fprintf(fs, "# raw cross section:  numimg  Nlens  area\n");
  for (int H = 0; H <= kMaxImg; ++H) std::fprintf(fs, "%2d %8ld  %13.6e\n", H, Nlens[H], a * R[H]);
  std::fprintf(fs, "\n");
  biased_header(fs);
  for (int g = 1; g <= nslope; ++g) {
    std::fprintf(fs, "# nu= %f\n", slopes[g]);
    for (int H = 0; H <= kMaxImg; ++H) {
      std::fprintf(fs, "%2d %8ld", H, Nlens[H]);
      for (int j = 1; j <= 3; ++j) std::fprintf(fs, " %13.6e", a * t_at(j, g, H));
      std::fprintf(fs, "\n");
    }
    std::fprintf(fs, "\n");
  }
  flush_record(fs);
  fsown.commit();
  fown.close();
}

namespace {
void mock12(const WordArray& words, bool density) {
  const int nw = words.own_count();
  require_model();
  const std::string out = words[1];
  const int minimg = nw > 3 ? words.signed_count(3, "minimum number of images") : 0;
  const double nulo = nw > 4 ? words.finite(4, words[0]) : -2.0;
  int k = 1;
  double nuhi = nulo;
  if (nw >= 7) {
    nuhi = words.finite(5, words[0]);
    k = words.signed_count(6, "number of slopes");
  }
  if (k == 0) fatal("the number of slopes cannot be 0");
  if (log_range_refused(k, nulo, nuhi)) {
    warn_log_range();
    return;
  }
  const int nk = std::abs(k);
  Vec slopes(1, nk);
  for (int i = 1; i <= nk; ++i) slopes[i] = nk == 1 ? nulo : setparm(k, i, nulo, nuhi);
  double ug, vg, umax;
  get_umax(ug, vg, umax);
  int nsrc;
  if (density)
    nsrc = umax > 0 ? static_cast<int>(density_sources(words[0], words[2], words.finite(2, words[0]),
                                                       kPi * umax * umax, -kCountLimit))
                    : 0;
  else
    nsrc = words.signed_count(2, "number of sources");
  if (umax > 0 && nsrc != 0) require_grid_holds(density ? "mock2" : "mock1", {{ug, vg, umax}}, nsrc < 0);
  do_mock(out, nsrc, minimg, nk, slopes, ug, vg, umax);
}

}  // namespace

void mock1(const WordArray& words) { mock12(words, false); }
void mock2(const WordArray& words) { mock12(words, true); }
// ---- mockcsec ----

namespace {

// What mockcsec is asked for.
struct CsecRequest {
  std::string base;
  int N = 0, mode = 1, Nboot = 0;
  Vec sv;  // bias values
};

// The region the sources are drawn in.
struct SourceRegion {
  double xg = 0, yg = 0, ug = 0, vg = 0, umax = 0;
};

// One kept mock lens: its image count (without the core), brightnesses, separation and
// the weight of its draw.
struct CsecLens {
  int H;
  double B[4], sep, w;
};

// The per-lens outputs: properties (.dat), every image (.all) and the sources (.src).
struct CsecFiles {
  OutFile fdat, fall, fsrc;
};

// Reads the words; false when the bias values are refused.
bool read_csec_words(const WordArray& words, CsecRequest& q) {
  q.base = words[1];
  const int nsrc = words.signed_count(2, "number of sources");
  const double lo = words.finite(3, words[0]), hi = words.finite(4, words[0]);
  const int steps = words.signed_count(5, "number of steps");
  q.Nboot = words.signed_count(6, "number of bootstrap resamplings");
  q.N = std::abs(nsrc);
  if (q.N < 1) fatal("in mockcsec: the number of sources must not be 0");
  if (q.Nboot < 1) fatal("in mockcsec: the number of bootstrap resamplings must be at least 1");
  if (!bias_values(lo, hi, steps, q.sv)) return false;
  q.mode = nsrc < 0 ? 2 : 1;
  return true;
}

SourceRegion csec_region(int mode) {
  SourceRegion g;
  g.xg = getp(1, 2);
  g.yg = getp(1, 3);
  get_umax(g.ug, g.vg, g.umax);
  if (g.umax <= 0) fatal("in mockcsec: no caustic point counts, so there is no multiply imaged region");
  require_grid_holds("mockcsec", {{g.ug, g.vg, g.umax}}, mode == 2);
  return g;
}

void open_csec_files(const CsecRequest& q, const SourceRegion& g, CsecFiles& f) {
  const char* msg = "could not open output file";
  f.fdat = OutFile(q.base + ".dat", "w", msg, true);
  f.fall = OutFile(q.base + ".all", "w", msg, true);
  f.fsrc = OutFile(q.base + ".src", "w", msg, true);
  FILE* fdat = f.fdat;
  std::fprintf(fdat, "model:\n");
  writep(fdat, TWref.ref[1].names, TWref.ref[1].p);
  std::fprintf(fdat, "#\n");
  std::fprintf(fdat, "source plane: area and number of sources\n");
  std::fprintf(fdat, "%13.6e %d\n", kPi * g.umax * g.umax, q.N);
  std::fprintf(fdat, "#\n");
  std::fprintf(fdat, "# column 1: numimg\n");
  std::fprintf(fdat, "# column 2: total magnification\n");
  std::fprintf(fdat, "# column 3: mag of 2nd brightest image\n");
  std::fprintf(fdat, "# column 4: mag of 2nd brightest image more than 0.5*sep away\n");
  std::fprintf(fdat, "# column 5: maximum image separation\n");
  std::fprintf(fdat, "#\n");
  f.fdat.flush();
}

// The images of a drawn source pass when their counts are consistent (omitcore <= 0) or
// none is above half of omitcrit in magnification; a refusal is noted with the images.
bool images_pass(int n, const Mat& list, double u, double v, int nmin, int nsad, int nmax) {
  bool ok = true;
  if (settings.omitcore <= 0) {
    if (nmin + nmax != nsad + 1) {
      ok = false;
      note("ignoring lens with incorrect numbers of images");
      qprintf("%13.6e %13.6e\n", u, v);
      for (int k = 1; k <= n; ++k)
        qprintf("%13.6e %13.6e %13.6e %2.0f\n", list[k][1], list[k][2], list[k][3], list[k][9]);
    }
  } else {
    const double lim = 0.5 * settings.omitcrit;
    for (int k = 1; k <= n; ++k)
      if (std::fabs(list[k][3]) > lim) {
        ok = false;
        note("ignoring high-magnification source");
        qprintf("(u,v,x,y,mu)= %e %e %e %e %e\n", u, v, list[k][1], list[k][2], std::fabs(list[k][3]));
      }
  }
  return ok;
}

// The draw of the sources: what carries from source to source.
struct CsecDraw {
  RandomStream r;
  std::vector<CsecLens> lenses;
  long Nlens[kMaxImg + 1] = {};
  long drawn = 0;
  int n = 0;
  Mat list;
  explicit CsecDraw(long seed) : r(seed) {}
};

// Draws sources until one gives a lens that passes (source i of N), records and writes it.
void draw_lens(const CsecRequest& q, const SourceRegion& g, CsecDraw& d, CsecFiles& f, int i) {
  const double hot = settings.omitcrit > 1 ? 0.5 * settings.omitcrit : 0.0;
  Mat& list = d.list;
  for (long refused = 0;; ++refused) {
    if (refused >= mock_draw_limit)
      fatal(strformat("in mockcsec: %ld sources refused in a row (drawn %ld, kept %d)", mock_draw_limit, d.drawn,
                      i - 1));
    ++d.drawn;
    double u, v;
    if (q.mode == 1)
      mock_disc_point(d.r, g.ug, g.vg, g.umax, u, v);
    else
      weighted_source(d.r, g.xg, g.yg, g.ug, g.vg, g.umax, hot, "mockcsec", u, v);
    find_img(d.n, list, u, v);
    if (d.n > kMaxImg) {
      too_many("mockcsec", d.n, list, u, v);
      d.n = kMaxImg;
    }
    const int n = d.n;
    int nmin = 0, nsad = 0, nmax = 0;
    for (int k = 1; k <= n; ++k) {
      const int p = mock_parity(list[k][5], list[k][6], list[k][7], list[k][8]);
      list[k][9] = p;
      (p == 1 ? nmin : p == -1 ? nsad : nmax)++;
    }
    if (!images_pass(n, list, u, v, nmin, nsad, nmax)) continue;
    CsecLens L;
    L.H = nmin + nsad;
    mock_brightness(n, list, L.B[1], L.B[2], L.B[3], L.sep);
    if (L.sep < 0) L.sep = 0;
    L.w = q.mode == 1 ? 1.0 : 1.0 / L.B[1];
    L.B[0] = 1;
    d.Nlens[L.H] += 1;
    d.lenses.push_back(L);
    std::fprintf(f.fdat, "%2.0f %e %e %e %e\n", static_cast<double>(L.H), L.B[1], L.B[2], L.B[3], L.sep);
    std::fprintf(f.fall, "#\n");
    std::fprintf(f.fall, "%13.6e %13.6e %2d %2d             # u v numimg numimg(noncore)\n", u, v, n, L.H);
    std::fprintf(f.fsrc, "%13.6e %13.6e %2d %2d             # u v numimg numimg(noncore)\n", u, v, n, L.H);
    for (int k = 1; k <= n; ++k)
      std::fprintf(f.fall, "%13.6e %13.6e %13.6e %2.0f  # x y mu parity\n", list[k][1], list[k][2], list[k][3],
                   list[k][9]);
    f.fdat.flush();
    f.fall.flush();
    f.fsrc.flush();
    return;
  }
}

// Bias factors of every lens, computed once: [(l * 3 + j - 1) * nb + m - 1].
struct BiasTable {
  int nb;
  std::vector<double> fac;
  BiasTable(const std::vector<CsecLens>& lenses, const Vec& sv) : nb(sv.hi()), fac(lenses.size() * 3 * nb) {
    for (size_t l = 0; l < lenses.size(); ++l)
      for (int j = 1; j <= 3; ++j)
        for (int m = 1; m <= nb; ++m) at(l, j, m) = bias_factor(lenses[l].B[j], sv[m]);
  }
  double& at(size_t l, int j, int m) { return fac[(l * 3 + (j - 1)) * nb + (m - 1)]; }
  double at(size_t l, int j, int m) const { return fac[(l * 3 + (j - 1)) * nb + (m - 1)]; }
};

// Sums over the bootstrap resamplings of the counts (n), raw areas (a) and biased areas
// (b, at [bi(j, m, H)]), and of their squares.
struct BootSums {
  static constexpr int K = kMaxImg + 1;
  int nb;
  std::vector<double> nS, nS2, aS, aS2, bS, bS2;
  explicit BootSums(int nbias)
      : nb(nbias), nS(K), nS2(K), aS(K), aS2(K), bS(3 * nbias * K), bS2(3 * nbias * K) {}
  int bi(int j, int m, int H) const { return ((j - 1) * nb + (m - 1)) * K + H; }
};

BootSums bootstrap(const CsecRequest& q, const SourceRegion& g, CsecDraw& d, const BiasTable& bias) {
  const int N = q.N, nb = bias.nb, K = BootSums::K;
  BootSums s(nb);
  std::vector<double> Nb(K), Rb(K), Sb(3 * nb * K);
  for (int b = 1; b <= q.Nboot; ++b) {
    std::fill(Nb.begin(), Nb.end(), 0.0);
    std::fill(Rb.begin(), Rb.end(), 0.0);
    std::fill(Sb.begin(), Sb.end(), 0.0);
    double Wb = 0;
    for (int i = 1; i <= N; ++i) {
      int idx = static_cast<int>(N * ran2(d.r)) + 1;
      if (idx > N) idx = N;
      const size_t l = static_cast<size_t>(idx - 1);
      const CsecLens& L = d.lenses[l];
      Nb[L.H] += 1;
      Wb += L.w;
      Rb[L.H] += L.w;
      for (int j = 1; j <= 3; ++j)
        for (int m = 1; m <= nb; ++m) Sb[s.bi(j, m, L.H)] += L.w * bias.at(l, j, m);
    }
    const double ab = q.mode == 1 ? kPi * g.umax * g.umax / N : kPi * g.umax * g.umax / Wb;
    for (int H = 0; H < K; ++H) {
      s.nS[H] += Nb[H], s.nS2[H] += Nb[H] * Nb[H];
      s.aS[H] += ab * Rb[H], s.aS2[H] += ab * Rb[H] * ab * Rb[H];
    }
    for (size_t k = 0; k < Sb.size(); ++k) s.bS[k] += ab * Sb[k], s.bS2[k] += ab * Sb[k] * ab * Sb[k];
  }
  return s;
}

// Weighted mean and scatter of the image separations of the lenses with two images or more.
template <class Weight>
void separation_stats(const std::vector<CsecLens>& lenses, Weight weight, double& mean, double& scat) {
  double s0 = 0, s1 = 0, s2 = 0;
  for (size_t l = 0; l < lenses.size(); ++l) {
    if (lenses[l].H <= 1) continue;
    const double k = weight(l);
    s0 += k, s1 += k * lenses[l].sep, s2 += k * lenses[l].sep * lenses[l].sep;
  }
  mean = scat = 0;
  if (s0 > 0) {
    mean = s1 / s0;
    const double var = s2 / s0 - mean * mean;
    scat = var > 0 ? std::sqrt(var) : 0.0;
  }
}

// The summary (.csec): bootstrap means and errors of the raw and biased cross sections,
// then the image separations without and with bias.
void write_csec(const CsecRequest& q, const CsecDraw& d, const BiasTable& bias, const BootSums& s) {
  const int nb = bias.nb, K = BootSums::K;
  const Vec& sv = q.sv;
  const std::vector<CsecLens>& lenses = d.lenses;
  auto stats = [&](double sum, double sum2, double& mean, double& err) {
    mean = sum / q.Nboot;
    const double var = sum2 / q.Nboot - mean * mean;
    err = var > 0 ? std::sqrt(var) : 0.0;
  };
  WholeFile fc(q.base + ".csec", "could not open mock lens stats output file", true);
  std::fprintf(fc, "# raw cross section:  numimg  Nlens  <Nlens> error  area error\n");
  for (int H = 0; H < K; ++H) {
    double nm, ne, am, ae;
    stats(s.nS[H], s.nS2[H], nm, ne);
    stats(s.aS[H], s.aS2[H], am, ae);
    std::fprintf(fc, "%2d %8ld  %8.1f %8.1f  %e %e\n", H, d.Nlens[H], nm, ne, am, ae);
  }
  std::fprintf(fc, "\n");
  biased_header(fc);
  for (int m = 1; m <= nb; ++m) {
    bias_label(fc, sv[m]);
    for (int H = 0; H < K; ++H) {
      std::fprintf(fc, "%2d %8ld", H, d.Nlens[H]);
      for (int j = 1; j <= 3; ++j) {
        double mean, err;
        stats(s.bS[s.bi(j, m, H)], s.bS2[s.bi(j, m, H)], mean, err);
        std::fprintf(fc, "  %e %e", mean, err);
      }
      std::fprintf(fc, "\n");
    }
    std::fprintf(fc, "\n");
  }
  double mean, scat;
  separation_stats(lenses, [&](size_t l) { return lenses[l].w; }, mean, scat);
  std::fprintf(fc, "# image separation: mean and scatter, no bias\n");
  std::fprintf(fc, "%e %e\n", mean, scat);
  std::fprintf(fc, "\n");
  std::fprintf(fc, "# image separation: mean and scatter, with bias\n");
  std::fprintf(fc, sv[1] < 0 ? "# nu  B1  B2  B3\n" : "# L0  B1  B2  B3\n");
  for (int m = 1; m <= nb; ++m) {
    std::fprintf(fc, "%f", sv[m]);
    for (int j = 1; j <= 3; ++j) {
      separation_stats(lenses, [&](size_t l) { return lenses[l].w * bias.at(l, j, m); }, mean, scat);
      std::fprintf(fc, "  %e %e", mean, scat);
    }
    std::fprintf(fc, "\n");
  }
  fc.commit();
}

}  // namespace

void mockcsec(const WordArray& words) {
  require_model();
  CsecRequest q;
  if (!read_csec_words(words, q)) return;
  const SourceRegion g = csec_region(q.mode);

  CsecFiles f;
  open_csec_files(q, g, f);
  qprintf("Generating random lenses.\n");
  CsecDraw d(settings.seed);
  d.lenses.reserve(static_cast<size_t>(std::min(q.N, 1 << 16)));  // grows beyond as lenses are kept
  for (int i = 1; i <= q.N; ++i) {
    if (i % 1000 == 0) qprintf("Random source #%d/%d\n", i, q.N);
    draw_lens(q, g, d, f, i);
  }

  const BiasTable bias(d.lenses, q.sv);
  qprintf("Doing bootstrap resampling.\n");
  const BootSums s = bootstrap(q, g, d, bias);
  write_csec(q, d, bias, s);
  f.fsrc.close();
  f.fall.close();
  f.fdat.close();
}

// ---- csec2sep ----

void csec2sep(const WordArray& words) {
  const std::string inbase = words[1];
  const int nsrc = words.signed_count(2, "number of sources");
  const double lo = words.finite(3, words[0]), hi = words.finite(4, words[0]);
  const int steps = words.signed_count(5, "number of steps");
  const std::string outbase = words[6];
  const double slo = words.finite(7, words[0]), shi = words.finite(8, words[0]);
  const int ns = words.signed_count(9, "number of separation steps");
  if (ns < 2) fatal("in csec2sep: the separation needs at least 2 steps");
  Vec sv;
  if (!bias_values(lo, hi, steps, sv)) return;
  const int nb = sv.hi();
  if (4.0 * nb * ns > static_cast<double>(kCountLimit))
    fatal(strformat("in csec2sep: %d bias values with %d separation steps need more than %ld histogram bins", nb, ns,
                    kCountLimit));
  const int N = std::abs(nsrc);
  const bool weighted = nsrc < 0;
  const double ds = (shi - slo) / (ns - 1);

  FileHandle fin(QVMfopen(inbase + ".all", "r", "could not open input file"));
  // Sums and histograms for j = 0 (no bias) and j = 1..3 at every bias value.
  const int G = 4 * nb;
  auto gi = [&](int j, int m) { return j * nb + (m - 1); };
  std::vector<double> S0(G), S1(G), S2(G), hist(static_cast<size_t>(G) * ns);
  WordArray w;
  Mat img;
  for (int l = 1; l <= N; ++l) {
    if (myread(fin, w) == 0 || w.own_count() < 3)
      fatal(strformat("in csec2sep: %s.all ends after %d of %d lenses", inbase.c_str(), l - 1, N));
    const int n = w.int_value(2);
    // A lens of the file holds at most kMaxImg images (mockcsec keeps no more).
    if (n < 0 || n > kMaxImg) fatal(strformat("in csec2sep: bad image count in %s.all", inbase.c_str()));
    img.reset(1, std::max(n, 1), 1, 3);
    for (int k = 1; k <= n; ++k) {
      if (myread(fin, w) == 0 || w.own_count() < 3)
        fatal(strformat("in csec2sep: %s.all ends inside lens %d", inbase.c_str(), l));
      img[k][1] = w.real(0), img[k][2] = w.real(1), img[k][3] = w.real(2);
    }
    if (n <= 1) continue;
    double B[4], sep;
    mock_brightness(n, img, B[1], B[2], B[3], sep);
    B[0] = 1;
    if (sep < 1) {
      qprintf("QVM src %d sep %f\n", l, sep);
      for (int k = 1; k <= n; ++k) qprintf("%13.6e %13.6e %13.6e\n", img[k][1], img[k][2], img[k][3]);
    }
    if (std::fabs(B[2]) < 1e-4) qprintf("QVM %d %f %f %f : %e %e\n", l, B[1], B[2], B[3], img[1][1], img[1][2]);
    const double wt = weighted ? 1.0 / B[1] : 1.0;
    const double bin = (sep - slo + 0.5 * ds) / ds * 1.000001;
    const int kbin = bin > -1.0 && bin < ns ? static_cast<int>(bin) + 1 : 0;  // beyond the bins: not counted
    for (int j = 0; j <= 3; ++j)
      for (int m = 1; m <= nb; ++m) {
        const double K = j == 0 ? wt : wt * bias_factor(B[j], sv[m]);
        const int g = gi(j, m);
        S0[g] += K, S1[g] += K * sep, S2[g] += K * sep * sep;
        if (kbin >= 1 && kbin <= ns) hist[static_cast<size_t>(g) * ns + (kbin - 1)] += K;
      }
  }
  std::vector<double> mean(G), var(G);
  for (int g = 0; g < G; ++g) {
    // A group of no weight keeps 0.
    if (S0[g] > 0) {
      mean[g] = S1[g] / S0[g];
      var[g] = S2[g] / S0[g] - mean[g] * mean[g];
    }
    double tot = 0;
    for (int k = 0; k < ns; ++k) tot += hist[static_cast<size_t>(g) * ns + k];
    for (int k = 0; k < ns; ++k) {
      double& h = hist[static_cast<size_t>(g) * ns + k];
      h = tot > 0 ? h / (ds * tot) : 0.0;
    }
  }
  auto sk = [&](int k) { return setparm(ns, k, slo, shi); };
  WholeFile fh(outbase + ".hist", "could not open csec2sep output file", true);
  std::fprintf(fh, "# unbiased\n");
  for (int k = 1; k <= ns; ++k) std::fprintf(fh, "%e %e\n", sk(k), hist[static_cast<size_t>(gi(0, 1)) * ns + k - 1]);
  std::fprintf(fh, "\n");
  biased_header(fh, "# biased:");
  for (int m = 1; m <= nb; ++m) {
    bias_label(fh, sv[m]);
    for (int k = 1; k <= ns; ++k) {
      std::fprintf(fh, "%e", sk(k));
      for (int j = 1; j <= 3; ++j) std::fprintf(fh, " %e", hist[static_cast<size_t>(gi(j, m)) * ns + k - 1]);
      std::fprintf(fh, "\n");
    }
    std::fprintf(fh, "\n");
  }
  WholeFile fd(outbase + ".dat", "could not open csec2sep output file", true);
  std::fprintf(fd, "# unbiased\n%e\n%e\n\n", mean[gi(0, 1)], var[gi(0, 1)]);
  biased_header(fd, "# biased:");
  for (int m = 1; m <= nb; ++m) {
    bias_label(fd, sv[m]);
    for (int j = 1; j <= 3; ++j) std::fprintf(fd, " %e", mean[gi(j, m)]);
    std::fprintf(fd, "\n");
    for (int j = 1; j <= 3; ++j) std::fprintf(fd, " %e", var[gi(j, m)]);
    std::fprintf(fd, "\n\n");
  }
  fd.commit();
  fh.commit();
}

