// The far zone of clump populations: the moments of the multipole coefficients, their
// Gaussian draws, and the commands that set and test them.
//
// Source: the coefficients are a sum over a Poisson population of clumps, so their mean and
// covariance are those of Campbell's theorem: the mean is the parent's mass weighted by each
// term, the covariance the mass weighted by the product of two terms, times <m^2>/<m>.
#include <algorithm>
#include <cmath>
#include <vector>

#include "imageplane/grid.h"
#include "io/outfile.h"
#include "io/qvmfile.h"
#include "models/component.h"
#include "models/evaluator.h"
#include "numeric/constants.h"
#include "numeric/interp.h"
#include "numeric/linalg.h"
#include "numeric/sort.h"
#include "numeric/specfunc.h"
#include "shell/commands.h"
#include "shell/fatal.h"
#include "shell/settings.h"
#include "sim/clumps.h"

bool clump_far_active(const ClumpPop& pop) {
  return pop.type > 0 && pop.farmode > 0 && !pop.farzero && pop.nterms > 0;
}

void clump_far_setup(int igal) {
  ClumpState& cs = TWclump;
  ClumpPop& pop = cs.clumpdat[igal];
  qprintf("Computing coviarance matrix for clump long-range effects:\n");
  qprintf("  outer region: %e %e\n", pop.R2, pop.Rmax);
  const int nt = pop.nterms, mm = pop.mmax;
  pop.mean.reset(1, nt);
  pop.coef.reset(1, nt);
  pop.choldiag.reset(1, nt);
  pop.cov.reset(1, nt, 1, nt);
  pop.chol.reset(1, nt, 1, nt);
  std::vector<double> K(static_cast<size_t>((nt + 1) * (nt + 1)), 0.0);
  auto k_at = [&](int a, int b) -> double& { return K[static_cast<size_t>(a * (nt + 1) + b)]; };
  const int Nrad = pop.Nrad, Nang = pop.Nang;
  pop.farzero = !(pop.Rmax > pop.R2);
  if (!pop.farzero && Nang >= 1) {
    initgal(igal);
    const double xg = TWgal.pos[igal][3], yg = TWgal.pos[igal][4];
    // cos and sin of n psi_k for n = 0..2 mmax.
    const int nh = 2 * mm;
    std::vector<double> ctab(static_cast<size_t>(Nang * (nh + 1))), stab(ctab.size());
    std::vector<double> cpsi(static_cast<size_t>(Nang + 1)), spsi(cpsi.size());
    for (int k = 1; k <= Nang; ++k) {
      const double psi = 2.0 * kPi * k / Nang;
      cpsi[static_cast<size_t>(k)] = std::cos(psi);
      spsi[static_cast<size_t>(k)] = std::sin(psi);
      for (int h = 0; h <= nh; ++h) {
        ctab[static_cast<size_t>((k - 1) * (nh + 1) + h)] = std::cos(h * psi);
        stab[static_cast<size_t>((k - 1) * (nh + 1) + h)] = std::sin(h * psi);
      }
    }
    std::vector<double> C(static_cast<size_t>(nh + 1)), S(C.size()), rho(static_cast<size_t>(Nrad + 1));
    for (int j = 1; j <= Nrad; ++j) rho[static_cast<size_t>(j)] = setparm(-Nrad, j, pop.R2, pop.Rmax);
    DerivVector& R = TWmod.R1;
    for (int j = 1; j <= Nrad; ++j) {
      const double r = rho[static_cast<size_t>(j)];
      double w;
      if (Nrad == 1)
        w = 0;
      else if (j == 1)
        w = (rho[2] - rho[1]) / 2.0;
      else if (j == Nrad)
        w = (rho[static_cast<size_t>(Nrad)] - rho[static_cast<size_t>(Nrad - 1)]) / 2.0;
      else
        w = (rho[static_cast<size_t>(j + 1)] - rho[static_cast<size_t>(j - 1)]) / 2.0;
      std::fill(C.begin(), C.end(), 0.0);
      std::fill(S.begin(), S.end(), 0.0);
      for (int k = 1; k <= Nang; ++k) {
        const double* ck = &ctab[static_cast<size_t>((k - 1) * (nh + 1))];
        const double* sk = &stab[static_cast<size_t>((k - 1) * (nh + 1))];
        ellipse(R, xg + r * cpsi[static_cast<size_t>(k)], yg + r * spsi[static_cast<size_t>(k)]);
        const double kap = 0.5 * (R[4] + R[5]);
        for (int h = 0; h <= nh; ++h) {
          C[static_cast<size_t>(h)] += kap * ck[h];
          S[static_cast<size_t>(h)] += kap * sk[h];
        }
      }
      // Angular sums of kappa t_a t_b with t_0 = 1, t_{2l-1} = cos l psi, t_{2l} = sin l psi.
      auto cn = [&](int h) { return C[static_cast<size_t>(std::abs(h))]; };
      auto sn = [&](int h) { return h >= 0 ? S[static_cast<size_t>(h)] : -S[static_cast<size_t>(-h)]; };
      auto ring = [&](int a, int b) {
        const int la = (a + 1) / 2, lb = (b + 1) / 2;
        const bool ca = a == 0 || a % 2 == 1, cb = b == 0 || b % 2 == 1;
        if (ca && cb) return 0.5 * (cn(la - lb) + cn(la + lb));
        if (!ca && !cb) return 0.5 * (cn(la - lb) - cn(la + lb));
        if (ca && !cb) return 0.5 * (sn(la + lb) - sn(la - lb));
        return 0.5 * (sn(la + lb) + sn(la - lb));
      };
      const double base = r * w * (2.0 * kPi / Nang);
      for (int a = 0; a <= nt; ++a) {
        const int la = (a + 1) / 2;
        const double fa = a == 0 ? 1.0 : std::pow(pop.r0 / r, la) / (2.0 * kPi);
        for (int b = a; b <= nt; ++b) {
          const int lb = (b + 1) / 2;
          const double fb = b == 0 ? 1.0 : std::pow(pop.r0 / r, lb) / (2.0 * kPi);
          k_at(a, b) += fa * fb * ring(a, b) * base;
        }
      }
    }
    for (int a = 0; a <= nt; ++a)
      for (int b = 0; b < a; ++b) k_at(a, b) = k_at(b, a);
  }
  const bool test = read_int(cs.SCfarp[0]) == 2;
  const double Mx = pop.Nexp * pop.m;
  const double T = test ? pop.Nexp : (Mx + k_at(0, 0)) / pop.m;
  qprintf("Number of clumps (effective):\n");
  if (T >= 1e5) {
    qprintf(" %e %s\n", pop.Nexp, test ? "total" : "explicit");
    qprintf(" %e outer zone\n", k_at(0, 0) / pop.m);
  } else {
    qprintf(" %8.2f %s\n", pop.Nexp, test ? "total" : "explicit");
    qprintf(" %8.2f outer zone\n", k_at(0, 0) / pop.m);
  }
  for (int a = 1; a <= nt; ++a) {
    pop.mean[a] = k_at(0, a);
    for (int b = 1; b <= nt; ++b) pop.cov[a][b] = pop.meff * k_at(a, b);
  }
  if (pop.farzero) return;
  for (int a = 1; a <= nt; ++a)
    for (int b = 1; b <= nt; ++b) pop.chol[a][b] = pop.cov[a][b];
  if (nt > 0 && !cov2chol(nt, pop.chol, &pop.choldiag))
    fatal(strformat("the far-zone covariance of the clumps of component %d is not positive definite", igal));
}

// ---- jackknife ----

void do_jackone(int k, int n, const Vec& v, double& mean, double& sigma, double& skew, double& kurt) {
  double m1 = 0, m2 = 0, m3 = 0, m4 = 0;
  for (int i = 1; i <= n; ++i) {
    if (i == k) continue;
    const double x = v[i];
    m1 += x;
    m2 += x * x;
    m3 += x * x * x;
    m4 += x * x * x * x;
  }
  const double d = n - 1;
  m1 /= d;
  m2 /= d;
  m3 /= d;
  m4 /= d;
  mean = m1;
  sigma = std::sqrt(std::max(0.0, m2 - m1 * m1));
  skew = (m3 - 3 * m2 * m1 + 2 * m1 * m1 * m1) / (sigma * sigma * sigma);
  kurt = (m4 - 4 * m3 * m1 + 6 * m2 * m1 * m1 - 3 * m1 * m1 * m1 * m1) / (sigma * sigma * sigma * sigma) - 3.0;
}

void do_jackknife(int n, const Vec& v, double& mu, double& mu_e, double& sig, double& sig_e, double& skew,
                  double& skew_e, double& kur, double& kur_e) {
  double s[4] = {}, s2[4] = {};
  for (int k = 1; k <= n; ++k) {
    double q[4];
    do_jackone(k, n, v, q[0], q[1], q[2], q[3]);
    for (int i = 0; i < 4; ++i) {
      s[i] += q[i];
      s2[i] += q[i] * q[i];
    }
  }
  double avg[4], err[4];
  for (int i = 0; i < 4; ++i) {
    avg[i] = s[i] / n;
    err[i] = std::sqrt(n - 1.0) * std::sqrt(std::max(0.0, s2[i] / n - avg[i] * avg[i]));
  }
  mu = avg[0], mu_e = err[0], sig = avg[1], sig_e = err[1];
  skew = avg[2], skew_e = err[2], kur = avg[3], kur_e = err[3];
}

// ---- commands ----

void farclumps(const WordArray& words) {
  double* F = TWclump.SCfarp;
  const int n = words.own_count();
  if (n >= 4) {
    double nrad = F[4], nang = F[5];
    // The counts are kept as typed (the clump set-up reads them as integers), once usable.
    if (n > 4) nrad = words.finite(4, words[0]), words.signed_count(4, "number of radial steps");
    if (n > 5) nang = words.finite(5, words[0]), words.signed_count(5, "number of angular steps");
    const double r0 = words.finite(1, words[0]), rfac = words.finite(2, words[0]), mmax = words.finite(3, words[0]);
    words.signed_count(3, "multipole order");
    int mode = r0 > 0 && rfac > 0 && mmax > 0 && nrad > 0 && nang > 0 ? 1 : 0;
    if (n > 6 && words[6] == "test") mode = 2;
    if (read_int(nrad) < 2) fatal("farclumps needs Nrad of at least 2");
    if (mode == 2 && read_int(nang) < 1) fatal("farclumps needs Nang of at least 1 in test mode");
    if (mode == 2 && !(r0 > 0 && rfac > 0 && read_int(mmax) >= 1))
      fatal("farclumps needs positive r0, Rfac and mmax in test mode");
    F[0] = mode;
    F[1] = r0;
    F[2] = rfac > 0 && rfac < 1 ? 1.0 / rfac : rfac;
    F[3] = mmax;
    F[4] = nrad;
    F[5] = nang;
  }
  if (read_int(F[0]) == 0) {
    qprintf("Treating all clumps explicitly.\n");
    return;
  }
  qprintf("Using Gaussian approximation for distant clumps:\n");
  qprintf("  r0   = %e\n", F[1]);
  qprintf("  Rfac = %e\n", F[2]);
  qprintf("  mmax = %.0f\n", F[3]);
  qprintf("  Nrad = %.0f\n", F[4]);
  qprintf("  Nang = %.0f\n", F[5]);
  if (read_int(F[0]) == 2) qprintf("  test : on\n");
}

namespace {

std::vector<int> far_populations() {
  std::vector<int> v;
  const ClumpState& cs = TWclump;
  for (long i = 1; i <= cs.clumpdat.hi(); ++i)
    if (clump_far_active(cs.clumpdat[i])) v.push_back(static_cast<int>(i));
  return v;
}

void write_cdf(const std::string& path, const char* msg, std::vector<double> chi, int dof) {
  WholeFile f(path, msg, true);
  std::fprintf(f, "#  chisq  cdf(sim)  cdf(theory)\n");
  std::sort(chi.begin(), chi.end());
  const size_t n = chi.size();
  for (size_t k = 0; k < n; ++k) {
    const double th = dof > 0 ? 1.0 - gamQfunc(dof / 2.0, chi[k] / 2.0) / gamfunc(dof / 2.0) : 0.0;
    std::fprintf(f, "%e %e %e\n", chi[k], static_cast<double>(k + 1) / n, th);
  }
  f.commit();
}

void jack_pairs(FILE* f, int n, const Vec& v) {
  double a[8];
  do_jackknife(n, v, a[0], a[1], a[2], a[3], a[4], a[5], a[6], a[7]);
  for (int i = 0; i < 4; ++i) std::fprintf(f, "  %13.6e %e", a[2 * i], a[2 * i + 1]);
}

}  // namespace

void clumpIJdist(const WordArray& words) {
  ClumpState& cs = TWclump;
  if (read_int(cs.SCfarp[0]) != 2) {
    warning("clumpIJdist only works if 'test' mode is set in farclumps");
    return;
  }
  const long Nran = words.signed_count(1, "number of realisations");
  const std::string base = words[2];
  const char* msg = "could not open clumpIJdist output file";
  const std::vector<int> pops = far_populations();
  int dof = 0;
  for (int i : pops) dof += cs.clumpdat[i].nterms;
  if (Nran <= 0) {
    WholeFile f(base + "-stats.dat", msg, true);
    std::fprintf(f, "#  index  mu  sigma\n");
    for (int i : pops) {
      const ClumpPop& p = cs.clumpdat[i];
      std::fprintf(f, "# component %d\n", i);
      for (int a = 1; a <= p.nterms; ++a) std::fprintf(f, "%3d  %13.6e %e\n", a, p.mean[a], std::sqrt(p.cov[a][a]));
      if (settings.plotmode == 2) std::fprintf(f, "\n");
    }
    f.commit();
    return;
  }
  std::vector<Mat> inv;
  for (int i : pops) {
    Mat m = cs.clumpdat[i].cov;
    matinv(m, cs.clumpdat[i].nterms);
    inv.push_back(std::move(m));
  }
  OutFile fchi(base + "-chi.dat", "w", msg, true);
  OutFile fij(base + "-IJ.dat", "w", msg, true);
  const long s = settings.seed;
  RandomStream Ns(s), rs(s), gs(s);
  std::vector<double> chis;
  std::vector<std::vector<Vec>> coefs(pops.size());
  for (size_t p = 0; p < pops.size(); ++p) {
    coefs[p].assign(static_cast<size_t>(cs.clumpdat[pops[p]].nterms), Vec(1, Nran));
  }
  for (long r = 1; r <= Nran; ++r) {
    if (r % 1000 == 0 && !quietflag) qprintf("Step %.0f/%.0f\n", static_cast<double>(r), static_cast<double>(Nran));
    do_drawclumps(Ns, rs, gs);
    double chi = 0;
    for (size_t p = 0; p < pops.size(); ++p) {
      const ClumpPop& pop = cs.clumpdat[pops[p]];
      const int nt = pop.nterms;
      for (int a = 1; a <= nt; ++a)
        for (int b = 1; b <= nt; ++b)
          chi += (pop.coef[a] - pop.mean[a]) * inv[p][a][b] * (pop.coef[b] - pop.mean[b]);
      std::fprintf(fij, "  ");
      for (int a = 1; a <= nt; ++a) {
        std::fprintf(fij, " %13.6e", pop.coef[a]);
        coefs[p][static_cast<size_t>(a - 1)][r] = pop.coef[a];
      }
    }
    std::fprintf(fij, "\n");
    std::fprintf(fchi, "%e\n", chi);
    fchi.flush();
    fij.flush();
    chis.push_back(chi);
  }
  fchi.close();
  fij.close();
  write_cdf(base + "-cdf.dat", msg, chis, dof);
  WholeFile f(base + "-stats.dat", msg, true);
  if (!quietflag) qprintf("Examining jackknife statistics of IJ components.\n");
  std::fprintf(f, "#  index  [direct] mu sig  [sim]  mu mu_e  sig sig_e  skew skew_e  kur kur_e\n");
  for (size_t p = 0; p < pops.size(); ++p) {
    const ClumpPop& pop = cs.clumpdat[pops[p]];
    std::fprintf(f, "# component %d\n", pops[p]);
    for (int a = 1; a <= pop.nterms; ++a) {
      std::fprintf(f, "%3d  %13.6e %e", a, pop.mean[a], std::sqrt(pop.cov[a][a]));
      if (Nran > 1) jack_pairs(f, static_cast<int>(Nran), coefs[p][static_cast<size_t>(a - 1)]);
      std::fprintf(f, "\n");
    }
    if (settings.plotmode == 2) std::fprintf(f, "\n");
  }
  f.commit();
}

void clumptestfar(const WordArray& words) {
  const int nw = words.own_count();
  ClumpState& cs = TWclump;
  if (read_int(cs.SCfarp[0]) != 2) {
    warning("clumptestfar only works if 'test' mode is set in farclumps");
    return;
  }
  const bool ref = nw >= 5;
  const double xref = words.finite(3, words[0]), yref = words.finite(4, words[0]);
  const Mat& P = TWsecgrid.imggridpos;
  const int Npts = static_cast<int>(P.nrows());
  if (Npts <= 0) fatal("must set image positions before running clumptestfar");
  const long N = words.signed_count(1, "number of realisations");
  const std::string base = words[2];
  const char* msg = "could not open clumptestfar output file";
  const int nv = 5 * Npts;
  const std::vector<int> pops = far_populations();
  // Prediction: mean and covariance of the five quantities at every point.
  Vec mu(1, nv);
  Mat V(1, nv, 1, nv);
  for (int ig : pops) {
    const ClumpPop& pop = cs.clumpdat[ig];
    const int nt = pop.nterms;
    const double xg = TWgal.pos[ig][3], yg = TWgal.pos[ig][4];
    Mat G(1, nv, 1, nt);
    std::vector<double> b(static_cast<size_t>(6 * nt));
    for (int k = 1; k <= Npts; ++k) {
      const double dx = P[k][1] - xg, dy = P[k][2] - yg;
      if (std::hypot(dx, dy) > pop.R2) fatal("it is not valid to compute clump multipoles within multipole region");
      clump_mpole_basis(pop.mmax, pop.r0, dx, dy, b.data());
      const int slots[5] = {1, 2, 3, 4, 6};
      for (int q = 0; q < 5; ++q)
        for (int t = 1; t <= nt; ++t) G[5 * (k - 1) + q + 1][t] = b[static_cast<size_t>((slots[q] - 1) * nt + t - 1)];
    }
    for (int a = 1; a <= nv; ++a) {
      for (int t = 1; t <= nt; ++t) mu[a] += G[a][t] * pop.mean[t];
      for (int c = 1; c <= nv; ++c) {
        double s = 0;
        for (int t = 1; t <= nt; ++t)
          for (int u = 1; u <= nt; ++u) s += G[a][t] * pop.cov[t][u] * G[c][u];
        V[a][c] += s;
      }
    }
  }
  {
    WholeFile f(base + "-mean.dat", msg, true);
    for (int a = 1; a <= nv; ++a) std::fprintf(f, "%13.6e\n", mu[a]);
    f.commit();
  }
  auto write_mat = [&](const std::string& name, const Mat& m, bool corr) {
    WholeFile f(base + name, msg, true);
    for (int a = 1; a <= nv; ++a) {
      for (int c = 1; c <= nv; ++c)
        std::fprintf(f, " %13.6e", corr ? m[a][c] / std::sqrt(m[a][a] * m[c][c]) : m[a][c]);
      std::fprintf(f, "\n");
    }
    f.commit();
  };
  write_mat("-cov.dat", V, false);
  write_mat("-corr.dat", V, true);
  Mat Vinv = V;
  if (!pops.empty()) matinv(Vinv, nv);
  write_mat("-Cinv.dat", Vinv, false);

  OutFile f1(base + "-dat1.dat", "w", msg, true);
  OutFile f2(base + "-dat2.dat", "w", msg, true);
  OutFile fe(base + "-err.dat", "w", msg, true);
  OutFile fc(base + "-chi.dat", "w", msg, true);
  std::vector<double> chis;
  std::vector<Vec> samples(static_cast<size_t>(nv), Vec(1, N > 0 ? N : 1));
  auto quantities = [&](Vec& out) {
    double pref = 0;
    if (ref) {
      double p, a, b, c, d, e, g;
      potdefmag(xref, yref, p, a, b, c, d, e, g);
      pref = p;
    }
    for (int k = 1; k <= Npts; ++k) {
      double p, px, py, pxx, pyy, pxy, pyx;
      potdefmag(P[k][1], P[k][2], p, px, py, pxx, pyy, pxy, pyx);
      const int o = 5 * (k - 1);
      out[o + 1] = p - pref;
      out[o + 2] = px;
      out[o + 3] = py;
      out[o + 4] = 0.5 * (pxx - pyy);
      out[o + 5] = pxy;
    }
  };
  const long n_pop = cs.clumpdat.hi();
  std::vector<int> saved(static_cast<size_t>(n_pop + 1));
  Vec d1(1, nv), d2(1, nv);
  for (long it = 1; it <= N; ++it) {
    if (it % 100 == 0 && !quietflag) qprintf("Step %.0f/%.0f\n", static_cast<double>(it), static_cast<double>(N));
    const long s = repetition_seed(settings.seed, it);
    for (long i = 1; i <= n_pop; ++i) {
      saved[static_cast<size_t>(i)] = cs.clumpdat[i].farmode;
      cs.clumpdat[i].farmode = 0;
    }
    do_drawclumps(s, s, s);
    quantities(d1);
    for (long i = 1; i <= n_pop; ++i) cs.clumpdat[i].farmode = saved[static_cast<size_t>(i)];
    do_drawclumps(s, s, s);
    quantities(d2);
    double chi = 0;
    for (int a = 1; a <= nv; ++a) {
      std::fprintf(f1, " %13.6e", d1[a]);
      std::fprintf(f2, " %13.6e", d2[a]);
      std::fprintf(fe, " %13.6e", d2[a] - d1[a]);
      samples[static_cast<size_t>(a - 1)][it] = d1[a];
      if (!pops.empty())
        for (int c = 1; c <= nv; ++c) chi += (d1[a] - mu[a]) * Vinv[a][c] * (d1[c] - mu[c]);
    }
    std::fprintf(f1, "\n");
    std::fprintf(f2, "\n");
    std::fprintf(fe, "\n");
    std::fprintf(fc, "%e\n", chi);
    f1.flush();
    f2.flush();
    fe.flush();
    fc.flush();
    chis.push_back(chi);
  }
  f1.close();
  f2.close();
  fe.close();
  fc.close();
  write_cdf(base + "-cdf.dat", "could not open clumpIJdist output file", chis, nv);
  WholeFile f(base + "-stats.dat", "could not open clumpIJdist output file", true);
  if (!quietflag) qprintf("Examining jackknife statistics of lensing quantities.\n");
  std::fprintf(f, "#  index  [direct] mu sig  [sim]  mu mu_e  sig sig_e  skew skew_e  kur kur_e\n");
  for (int a = 1; a <= nv; ++a) {
    std::fprintf(f, "%3d  %13.6e %e", a, mu[a], std::sqrt(V[a][a]));
    if (N > 1) jack_pairs(f, static_cast<int>(N), samples[static_cast<size_t>(a - 1)]);
    std::fprintf(f, "\n");
  }
  f.commit();
}

