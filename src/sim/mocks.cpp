// Mock lenses: the multiply imaged region, the luminosity function, and the mock data
// files of mocklens and mock3.
#include "sim/mocks.h"

#include <algorithm>
#include <cmath>

#include "core/lens_model.h"
#include "imageplane/critcurves.h"
#include "imageplane/grid.h"
#include "imageplane/gridcheck.h"
#include "imageplane/images.h"
#include "io/outfile.h"
#include "io/qvmfile.h"
#include "models/component.h"
#include "models/evaluator.h"
#include "numeric/constants.h"
#include "numeric/interp.h"
#include "shell/commands.h"
#include "shell/fatal.h"
#include "shell/settings.h"
#include "sim/clumps.h"
#include "sim/omega.h"

MockLFState TWmock;
long mock_draw_limit = 1000000;

namespace {

void say(const char* line) {
  if (!quietflag) qprintf("%s\n", line);
}
}  // namespace

void get_umax(double& ug, double& vg, double& umax) {
  const double xg = getp(1, 2), yg = getp(1, 3);
  double pot, px, py, pxx, pyy, pxy, pyx;
  potdefmag(xg, yg, pot, px, py, pxx, pyy, pxy, pyx);
  ug = xg - px;
  vg = yg - py;
  umax = -1;
  const double Rthresh = settings.Rthresh;
  for (int i = 1; i <= TWcrit.ncrit; ++i) {
    const double rimg = std::hypot(TWcrit.crit[i][1] - xg, TWcrit.crit[i][2] - yg);
    const double rsrc = std::hypot(TWcrit.crit[i][3] - ug, TWcrit.crit[i][4] - vg);
    if ((Rthresh <= 0 || Rthresh >= rimg) && rsrc > umax) umax = rsrc;
  }
}

double mock_LF_frac(double x) {
  const MockLFState& m = TWmock;
  double out;
  return linint(m.mock_LF[1], m.mock_LF[3], m.mock_LFn, out, x);
}

double mockflux() {
  MockLFState& m = TWmock;
  if (m.mock_LFn <= 0) return 1.0;
  const double a = ran2(m.mock_seed);
  double x;
  linint(m.mock_LF[3], m.mock_LF[1], m.mock_LFn, x, a);
  return std::exp(-x);
}

int mock_parity(double phixx, double phiyy, double phixy, double phiyx) {
  const double t = 2.0 - phixx - phiyy;
  const double det = (1.0 - phixx) * (1.0 - phiyy) - phixy * phiyx;
  const double D = t * t - 4.0 * det;
  if (D < 0) return 1;  // complex eigenvalues count as a minimum
  const double sq = std::sqrt(D);
  if ((t + sq) / 2 < 0) return 0;
  if ((t - sq) / 2 < 0) return -1;
  return 1;
}

double mock_delay(double x, double y, double phi, double u, double v, double tol) {
  double t = 0.5 * ((x - u) * (x - u) + (y - v) * (y - v)) - phi;
  if (std::fabs(settings.tscale - 1.0) > tol) t *= settings.tscale / settings.hval;
  return t;
}

int mock_classify(int n, Mat& list, double u, double v, double L) {
  int H = 0;
  for (int i = 1; i <= n; ++i) {
    list[i][3] *= L;
    list[i][4] = mock_delay(list[i][1], list[i][2], list[i][4], u, v, 1e-4);
    const int par = mock_parity(list[i][5], list[i][6], list[i][7], list[i][8]);
    list[i][9] = par;
    if (par != 0 || settings.omitcore <= 0) ++H;
  }
  return H;
}

void mock_disc_point(RandomStream& r, double xc, double yc, double R, double& x, double& y) {
  const double a1 = ran2(r), a2 = ran2(r);
  const double rr = std::sqrt(a1) * R, th = 2.0 * kPi * a2;
  x = xc - rr * std::sin(th);
  y = yc + rr * std::cos(th);
}

void mock_map(double x, double y, double& u, double& v, double* mu) {
  double pot, px, py, pxx, pyy, pxy, pyx;
  potdefmag(x, y, pot, px, py, pxx, pyy, pxy, pyx);
  u = x - px;
  v = y - py;
  if (mu) *mu = 1.0 / ((1.0 - pxx) * (1.0 - pyy) - pxy * pyx);
}

void mock_draw_source(RandomStream& r, int mode, double xg, double yg, double rimg, double ug, double vg, double umax,
                      const char* cmd, long drawn, long kept, long& since, double& u, double& v) {
  if (mode == 1) {
    mock_disc_point(r, ug, vg, umax, u, v);
    return;
  }
  for (;;) {
    double x, y;
    mock_disc_point(r, xg, yg, rimg, x, y);
    mock_map(x, y, u, v);
    if (std::hypot(u - ug, v - vg) < umax) return;
    if (++since >= mock_draw_limit)
      fatal(strformat("in %s: %ld sources drawn in a row with none kept (drawn %ld, kept %ld)", cmd, mock_draw_limit,
                      drawn, kept));
  }
}

double mock_image_radius(const std::string& warntext, double xg, double yg, double ug, double vg, double umax) {
  const SecondaryGridParams& g = TWsecgrid.galgridp;
  const double rs = settings.rscale;
  const int nr = static_cast<int>(g[4] * 1.000001);
  const int nt = static_cast<int>(g[7] * 1.000001);
  if (std::abs(nr) < 1) {
    warning(warntext);
    return rs * g[3];
  }
  double radius = -1;
  for (int k = std::abs(nr); k >= 1; --k) {
    const double r = std::abs(nr) == 1 ? rs * g[2] : setparm(nr, k, rs * g[2], rs * g[3]);
    bool inside = false;
    if (nt >= 1) {
      for (int j = 1; j <= nt && !inside; ++j) {
        const double th = (nt == 1 ? g[5] : setparm(nt, j, g[5], g[6])) * kPi / 180.0;
        double u, v;
        mock_map(xg + r * std::cos(th), yg + r * std::sin(th), u, v);
        if (umax > std::hypot(u - ug, v - vg)) inside = true;
      }
    }
    if (inside) break;
    radius = r;
  }
  if (radius < 0) {
    warning(warntext);
    radius = rs * g[3];
  }
  return radius;
}

void mock_brightness(int n, const Mat& list, double& B1, double& B2, double& B3, double& sep) {
  n = std::min(n, 12);
  sep = -1;
  if (n == 0) {
    B1 = 1, B2 = B3 = 0;
    return;
  }
  if (n == 1) {
    B1 = std::fabs(list[1][3]), B2 = B3 = 0;
    return;
  }
  for (int i = 1; i <= n; ++i)
    for (int j = i + 1; j <= n; ++j)
      sep = std::max(sep, std::hypot(list[i][1] - list[j][1], list[i][2] - list[j][2]));
  int order[13];
  for (int i = 1; i <= n; ++i) order[i] = i;
  std::stable_sort(order + 1, order + n + 1,
                   [&](int a, int b) { return std::fabs(list[a][3]) > std::fabs(list[b][3]); });
  B1 = 0;
  for (int i = 1; i <= n; ++i) B1 += std::fabs(list[i][3]);
  B2 = std::fabs(list[order[2]][3]);
  B3 = 0;
  const int b = order[1];
  for (int k = 2; k <= n; ++k) {
    const int i = order[k];
    if (std::hypot(list[i][1] - list[b][1], list[i][2] - list[b][2]) > 0.5 * sep) {
      B3 = std::fabs(list[i][3]);
      break;
    }
  }
}

// ---- mockLF ----

void mockLF(const WordArray& words) {
  MockLFState& m = TWmock;
  m.mock_LF.clear();
  m.mock_LFn = 0;
  const double Llo = words.finite(1, words[0]);
  double nu1 = words.finite(2, words[0]);
  const double Lstar = words.finite(3, words[0]);
  double nu2 = words.finite(4, words[0]);
  const double Lhi = words.finite(5, words[0]), Llim = words.finite(6, words[0]);
  m.mock_Llim = Llim;
  int N = words.own_count() > 7 ? words.signed_count(7, "number of steps") : 1000;
  if (nu1 < 0 || nu2 < 0) fatal("mockLF slopes must be positive");
  if (nu1 > nu2) {
    say("mockLF should have nu1<nu2, so swapping slopes");
    std::swap(nu1, nu2);
  }
  N = std::abs(N);
  if (N < 2) fatal("mockLF needs at least 2 steps");
  if (!(Llo > 0) || !(Lhi > 0)) fatal("mockLF luminosities must be positive");
  say("Setting source luminosity function for mock lenses.");
  m.mock_LF.reset(1, 3, 1, N);
  Mat& T = m.mock_LF;
  for (int i = 1; i <= N; ++i) {
    const double x = setparm(N, i, -std::log(Lhi), -std::log(Llo));
    const double L = std::exp(-x);
    T[1][i] = x;
    T[2][i] = 1.0 / (std::pow(L / Lstar, nu1) + std::pow(L / Lstar, nu2));
    if (i == 1)
      T[3][i] = 0;
    else
      T[3][i] = T[3][i - 1] + (x - T[1][i - 1]) * 0.5 * (T[2][i - 1] * std::exp(-T[1][i - 1]) + T[2][i] * L);
  }
  const double FN = T[3][N];
  for (int i = 1; i <= N; ++i) T[3][i] /= FN;
  m.mock_LFn = N;
  // Without a limit every source is bright enough: the fraction is 1.
  m.mock_Plim = Llim > 0 ? mock_LF_frac(-std::log(Llim)) : 1.0;
  m.mock_seed.restart(settings.seed);
}

// ---- one mock lens ----
namespace {

struct MockNoise {
  double siggal = 0, sigx = 0, sigf = 0, sigt = 0;
};

// Counted image: a maximum only when omitcore <= 0.
bool counted(double parity) { return settings.omitcore <= 0 || std::fabs(parity) >= 0.001; }

void write_lens_file(const std::string& name, const char* msg, double u, double v, double gx, double gy,
                     double gsig, int H, int n, const Mat& L, const MockNoise& s, bool mocklens_form,
                     int paritycol) {
  WholeFile f(name, msg, true);
  std::fprintf(f, "# source position: %e %e\n", u, v);
  std::fprintf(f, "\n1\n");
  std::fprintf(f, "%e %e %e\n", gx, gy, gsig);
  for (int k = 0; k < 3; ++k) std::fprintf(f, "0.0 10000.0\n");
  std::fprintf(f, "\n1\n%d\n", H);
  for (int i = 1; i <= n; ++i) {
    const double par = L[i][paritycol];
    if (mocklens_form ? !counted(par) : par != 1) continue;
    const double terr = mocklens_form ? (std::fabs(L[i][4]) < 0.01 ? 0.01 : std::fabs(s.sigt)) : std::fabs(s.sigt);
    std::fprintf(f, "%13.6e %13.6e %13.6e %13.6e %13.6e %13.6e %13.6e\n", L[i][1], L[i][2], L[i][3],
                 std::fabs(s.sigx), std::fabs(s.sigf) * std::fabs(L[i][3]), L[i][4], terr);
  }
  f.commit();
}

void write_catalogue_header(FILE* f, double umax, int mode, double rimg) {
  std::fprintf(f, "model:\n");
  writep(f, TWref.ref[1].names, TWref.ref[1].p);
  std::fprintf(f, "#\n");
  std::fprintf(f, "source plane radius: %e\n", umax);
  if (mode == 2) std::fprintf(f, "image plane radius: %e\n", rimg);
  std::fprintf(f, "#\n");
  flush_record(f);
}

// The no-region warning shared by the mock commands.
void warn_no_region(const char* cmd) {
  warning(strformat("in %s: no caustic point counts, so there is no multiply imaged region; no sources drawn",
                    cmd));
}

}  // namespace

// ---- mocklens ----

long density_sources(const std::string& command, const std::string& word, double density, double area, long lo) {
  const double n = density * area;
  // Checked as a double, before any conversion.
  if (!(n > static_cast<double>(lo) - 1.0 && n < static_cast<double>(kCountLimit) + 1.0) ||
      static_cast<long>(n) < lo)
    fatal(strformat("in %s, %s is not a usable source density (it gives %.6g sources; %ld to %ld)", command.c_str(),
                    word.c_str(), n, lo, kCountLimit));
  return static_cast<long>(n);
}

void mocklens(const WordArray& words) {
  const int nw = words.own_count();
  require_model();
  const std::string base = words[1];
  int Nsrc = words.signed_count(2, "number of sources");
  const int mode = nw > 3 ? words.finite_int(3, words[0]) : 1;
  const int minimg = nw > 4 ? words.signed_count(4, "minimum number of images") : 0;
  MockNoise s;
  s.siggal = nw > 5 ? words.finite(5, words[0]) : 0;
  s.sigx = nw > 6 ? words.finite(6, words[0]) : 0;
  s.sigf = nw > 7 ? words.finite(7, words[0]) : 0;
  s.sigt = nw > 8 ? words.finite(8, words[0]) : 0;
  const int addnoise = nw > 9 ? std::fabs(words.finite(9, words[0])) >= 1.0 : 1;  // nonzero once truncated
  if (mode != 1 && mode != 2) fatal("unknown source mode in mocklens");

  const MockLFState& lf = TWmock;
  RandomStream pos(settings.seed), noise(settings.seed);
  const double xg = getp(1, 2), yg = getp(1, 3);
  double ug, vg, umax;
  get_umax(ug, vg, umax);
  const bool region = umax > 0;
  if (!region) warn_no_region("mocklens");
  if (region) require_grid_holds("mocklens", {{ug, vg, umax}});
  double rimg = 0;
  if (mode == 2 && region)
    rimg = mock_image_radius("for mocklens, grid may not cover full multiply imaged region", xg, yg, ug, vg, umax);
  if (Nsrc < 0)
    Nsrc = region ? static_cast<int>(density_sources("mocklens", words[2], -Nsrc, kPi * umax * umax, 0)) : 0;
  if (!region) Nsrc = 0;

  const char* cmsg = "could not open mock lens output file";
  OutFile fall(base + ".all", "w", cmsg, true);
  OutFile fdat(base + ".dat", "w", cmsg, true);
  write_catalogue_header(fall, umax, mode, rimg);
  write_catalogue_header(fdat, umax, mode, rimg);

  double Ntotal[13] = {}, Nbright[13] = {}, Bsum[13] = {};
  long drawn = 0, kept = 0, since_kept = 0;
  int ndouble = 0, nquad = 0, nother = 0;
  int n = 0;
  Mat list;
  while (kept < Nsrc) {
    double u, v;
    mock_draw_source(pos, mode, xg, yg, rimg, ug, vg, umax, "mocklens", drawn, kept, since_kept, u, v);
    ++drawn;
    if (drawn % 1000 == 0) qprintf("Sources tried/kept: %ld %ld\n", drawn, kept);
    const double L = mockflux();
    find_img(n, list, u, v);
    if (n > 11) fatal("too many images in mocklens");
    const int H = mock_classify(n, list, u, v, L);
    Ntotal[H] += 1;
    double gx = xg, gy = yg;
    if (addnoise) {
      if (s.siggal > 0) {
        gx += s.siggal * gasdev(noise);
        gy += s.siggal * gasdev(noise);
      }
      for (int i = 1; i <= n; ++i) {
        if (s.sigx > 0) {
          list[i][1] += s.sigx * gasdev(noise);
          list[i][2] += s.sigx * gasdev(noise);
        }
        if (s.sigf > 0) list[i][3] += s.sigf * gasdev(noise) * list[i][3];
        if (s.sigt > 0) list[i][4] += s.sigt * gasdev(noise);
      }
    }
    double tmin = 1e6;
    for (int i = 1; i <= n; ++i) {
      list[i][1] -= gx;
      list[i][2] -= gy;
      tmin = std::min(tmin, list[i][4]);
    }
    for (int i = 1; i <= n; ++i) list[i][4] -= tmin;
    double J = 0;
    for (int i = 1; i <= n; ++i) J += std::fabs(list[i][3]);
    const bool bright = J > lf.mock_Llim;
    if (n > 0) {
      if (bright) Nbright[H] += 1;
      // Without a limit (or without a table) every lens carries weight 1.
      double w = 1.0;
      if (lf.mock_LFn > 0 && lf.mock_Llim > 0) w = mock_LF_frac(-std::log(L * lf.mock_Llim / J));
      Bsum[H] += w / lf.mock_Plim;
    }
    bool keep = bright && !(minimg > 1 && H < minimg);
    std::string kind, fname;
    if (keep) {
      if (H < minimg) {
      } else if (H == 2) {
        fname = strformat("%s-d%d.lens", base.c_str(), ++ndouble);
        kind = "double";
      } else if (H == 4) {
        fname = strformat("%s-q%d.lens", base.c_str(), ++nquad);
        kind = "quad";
      } else {
        fname = strformat("%s-o%d.lens", base.c_str(), ++nother);
        kind = "other";
      }
      ++kept;
      since_kept = 0;
      if (!fname.empty())
        write_lens_file(fname, "could not open mocklens lens data file", u, v, 0, 0, std::fabs(s.siggal), H, n,
                        list, s, true, 9);
    }
    auto record = [&](FILE* f) {
      std::fprintf(f, "# %s", bright ? "bright" : "faint");
      if (!fname.empty()) std::fprintf(f, " %s %s", kind.c_str(), fname.c_str());
      std::fprintf(f, "\n");
      std::fprintf(f, "%13.6e %13.6e %13.6e                   # source pos, flux\n", u, v, L);
      std::fprintf(f, "%2d                                                          # number of images\n", H);
      for (int i = 1; i <= n; ++i)
        if (counted(list[i][9]))
          std::fprintf(f, "%13.6e %13.6e %13.6e %13.6e %2.0f  # x y f tdel parity\n", list[i][1], list[i][2],
                       list[i][3], list[i][4], list[i][9]);
      flush_record(f);
    };
    record(fall);
    if (keep) record(fdat);
    if (TWomega.OMEGAwrite_mode > 0) {
      Mat img(1, std::max(H, 1), 1, 4);
      int k = 0;
      for (int i = 1; i <= n && k < H; ++i)
        if (counted(list[i][9])) {
          ++k;
          for (int q = 1; q <= 4; ++q) img[k][q] = list[i][q];
        }
      OMEGAwrite_mock(k, img, u, v, L);
    }
    // The records of this source are complete before a run that keeps nothing stops.
    if (!keep && ++since_kept >= mock_draw_limit)
      fatal(strformat("in mocklens: %ld sources drawn in a row with none kept (drawn %ld, kept %ld)", mock_draw_limit,
                      drawn, kept));
  }
  WholeFile fst(base + ".stats", "could not open mock lens stats output file", true);
  const double a = drawn > 0 ? kPi * umax * umax / drawn : 0.0;
  std::fprintf(fst, "#img  Ntotal  Nkept     area           B*area\n");
  for (int H = 0; H <= 11; ++H)
    std::fprintf(fst, "%3d %7.0f %6.0f   %e  %e\n", H, Ntotal[H], Nbright[H], a * Ntotal[H], a * Bsum[H]);
  fst.commit();
  fdat.close();
  fall.close();
}

// ---- mock3 ----

void mock3(const WordArray& words) {
  const int nw = words.own_count();
  require_model();
  const std::string base = words[1];
  const double density = words.finite(2, words[0]);
  MockNoise s;
  s.siggal = words.finite(3, words[0]);
  s.sigx = words.finite(4, words[0]);
  s.sigf = words.finite(5, words[0]);
  s.sigt = words.finite(6, words[0]);
  const int mode = nw > 7 ? words.finite_int(7, words[0]) : 1;
  if (mode != 1 && mode != 2) fatal("unknown mode in mock3");
  RandomStream pos(settings.seed), noise(settings.seed);
  const double xg = getp(1, 2), yg = getp(1, 3);
  double ug, vg, umax;
  get_umax(ug, vg, umax);
  double xc, yc, R;
  if (mode == 1) {
    xc = ug, yc = vg, R = umax;
    qprintf("Region in source plane: center (%f,%f) radius %f\n", ug, vg, umax);
    if (umax <= 0) warn_no_region("mock3");
  } else {
    xc = xg, yc = yg, R = 0.98 * settings.gridhi1;
    qprintf("Region in image plane: center (%f,%f) radius %f\n", xg, yg, R);
  }
  const int N = R > 0 ? static_cast<int>(density_sources("mock3", words[2], density, kPi * R * R, -kCountLimit)) : 0;
  if (N <= 0) return;
  int ndouble = 0, nquad = 0, nother = 0, n = 0;
  Mat list;
  for (int isrc = 1; isrc <= N; ++isrc) {
    if (isrc % 1000 == 0) qprintf("Random source #%d/%d\n", isrc, N);
    double u, v;
    mock_disc_point(pos, xc, yc, R, u, v);
    if (mode == 2) {
      const double x = u, y = v;
      mock_map(x, y, u, v);
    }
    find_img(n, list, u, v);
    for (int i = 1; i <= n; ++i) {
      list[i][4] = mock_delay(list[i][1], list[i][2], list[i][4], u, v, 1e-4);
      list[i][1] -= xg;
      list[i][2] -= yg;
    }
    double gx = 0, gy = 0;
    if (s.siggal > 0) {
      gx = s.siggal * gasdev(noise);
      gy = s.siggal * gasdev(noise);
    }
    double tmin = 1e6;
    for (int i = 1; i <= n; ++i) {
      if (s.sigx > 0) {
        list[i][1] += s.sigx * gasdev(noise);
        list[i][2] += s.sigx * gasdev(noise);
      }
      if (s.sigf > 0) list[i][3] += s.sigf * gasdev(noise) * list[i][3];
      if (s.sigt > 0) list[i][4] += s.sigt * gasdev(noise);
      tmin = std::min(tmin, list[i][4]);
    }
    int H = 0;
    for (int i = 1; i <= n; ++i) {
      list[i][4] -= tmin;
      // Class at the written position, taken back into the model's frame.
      double pot, px, py, pxx, pyy, pxy, pyx;
      potdefmag(list[i][1] + xg, list[i][2] + yg, pot, px, py, pxx, pyy, pxy, pyx);
      list[i][5] = mock_parity(pxx, pyy, pxy, pyx) == 0 ? -1 : 1;
      if (list[i][5] == 1) ++H;
    }
    if (H < 2) continue;
    std::string fname;
    if (H == 2)
      fname = strformat("%s-d%d.lens", base.c_str(), ++ndouble);
    else if (H == 4)
      fname = strformat("%s-q%d.lens", base.c_str(), ++nquad);
    else
      fname = strformat("%s-o%d.lens", base.c_str(), ++nother);
    write_lens_file(fname, "could not open mock3 output file", u, v, gx, gy, std::fabs(s.sigx), H, n, list, s,
                    false, 5);
  }
}

