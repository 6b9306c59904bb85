// Clump populations: the population lines, the radial tables, the draws and the
// population commands.
//
// Source: lensing by substructure in the lens galaxy (Mao & Schneider 1998, MNRAS 295, 587;
// Metcalf & Madau 2001, ApJ 563, 9), modelled here as clumps that take the mass of a parent
// component: positions follow the parent's projected mass, masses a power-law mass
// function (drawn by inverting its cumulative distribution), and the count is Poisson
// (or fixed at the expected number).
#include "sim/clumps.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "io/outfile.h"
#include "io/qvmfile.h"
#include "models/component.h"
#include "numeric/constants.h"
#include "numeric/interp.h"
#include "shell/commands.h"
#include "shell/fatal.h"
#include "shell/settings.h"
#include "sim/commands.h"

namespace {

bool talkative() { return !quietflag && settings.verbose <= 1; }

struct TypeWord {
  const char* word;
  int type;
  int count_index;  // index of the optional count-mode word
};
const TypeWord kTypes[] = {{"star", CLUMP_STAR, 5}, {"gaus", CLUMP_GAUS, 6}, {"pjaffe", CLUMP_PJAFFE, 6},
                           {"pj", CLUMP_PJAFFE, 6}, {"tsis", CLUMP_TSIS, 6}, {"nfw", CLUMP_NFW, 7},
                           {"pow", CLUMP_POW, 7},   {"soft", CLUMP_SOFT, 6}};
}  // namespace

double clump_Sk(int k, double q, double beta) {
  const double e = k + beta;
  if (std::fabs(e) < 1e-12) return std::log(q);
  return (std::pow(q, e) - 1.0) / e;
}

// ---- population lines ----

void setclumps_line(const WordArray& line, double Rmin, double Rmax) {
  const int nw = line.own_count();
  if (nw < 4) {
    refuse("too few clump model parameters");
    return;
  }
  ClumpState& cs = TWclump;
  const long igal = line.finite_integer(0, "setclumps");
  if (igal < 1 || igal > cs.clumpdat.hi()) {
    refuse(strformat("in setclumps, galaxy index %ld is out of range", igal));
    return;
  }
  ClumpPop& pop = cs.clumpdat[igal];
  const double m = line.finite(1, "setclumps"), q = line.finite(2, "setclumps"), beta = line.finite(3, "setclumps");
  if (m == 0) fatal("clump mass parameter must not be zero");
  double mean = std::fabs(m), g = 1.0;
  if (q > 1) {
    const double S1 = clump_Sk(1, q, beta), S2 = clump_Sk(2, q, beta), S3 = clump_Sk(3, q, beta);
    if (m < 0) mean = std::fabs(m) * S2 / S1;
    g = S1 * S3 / (S2 * S2);
  }
  const double meff = g * mean;
  if (talkative()) qprintf("Clump population: meff = %e\n", meff);
  const std::string& word = line[4];
  const TypeWord* t = nullptr;
  for (const auto& k : kTypes)
    if (word == k.word) t = &k;
  if (!t) fatal(strformat("Unknown clump type: %s", word.c_str()));
  pop.m = mean;
  pop.meff = meff;
  pop.q = q;
  pop.beta = beta;
  pop.type = t->type;
  for (double& p : pop.parms) p = 0;
  const double w5 = line.finite(5, "setclumps");
  switch (t->type) {
    case CLUMP_GAUS:
      pop.parms[0] = w5 / std::sqrt(2.0 * std::log(2.0));
      break;
    case CLUMP_PJAFFE:
      pop.parms[0] = w5 > 0 ? w5 / 0.75 : -w5;
      break;
    case CLUMP_TSIS:
      pop.parms[0] = w5 > 0 ? w5 / 0.360035 : -w5;
      break;
    case CLUMP_NFW:
    case CLUMP_POW:
      pop.parms[0] = w5;
      pop.parms[1] = line.finite(6, "setclumps");
      break;
    case CLUMP_SOFT:
      pop.parms[0] = w5;
      break;
    default:
      break;
  }
  pop.randomN = 1;
  if (nw > t->count_index) pop.randomN = line.finite_int(t->count_index, "setclumps");
  do_setclumps(static_cast<int>(igal), Rmin, Rmax);
}

void do_setclumps(int igal, double Rmin, double Rmax) {
  ClumpState& cs = TWclump;
  ClumpPop& pop = cs.clumpdat[igal];
  if (pop.type <= 0) return;
  pop.Rmin = Rmin;
  pop.Rmax = Rmax;
  const double* F = cs.SCfarp;
  const int mode = read_int(F[0]);
  if (mode == 0) {
    pop.Nrad = read_int(F[4]);
    pop.r0 = pop.Rfac = 0;
    pop.R1 = Rmin;
    pop.R2 = Rmax;
    pop.farmode = pop.mmax = pop.nterms = 0;
  } else {
    pop.mmax = read_int(F[3]);
    pop.Nrad = read_int(F[4]);
    pop.Nang = read_int(F[5]);
    pop.r0 = F[1];
    pop.Rfac = F[2];
    pop.R1 = Rmin;
    pop.R2 = pop.r0 * pop.Rfac;
    pop.farmode = 1;
    pop.nterms = 2 * pop.mmax;
  }
  if (pop.R1 - pop.R2 > 1e-6) fatal("in setclumps, R1>R2");
  if (pop.R2 > pop.Rmax) fatal("in setclumps, R2<Rmax");
  if (pop.Nrad < 2) fatal("the radial table of a clump population needs at least 2 rows");
  if (pop.root) TreeFree(*pop.root);
  initgal(igal);
  pop.rtab.reset(1, pop.Nrad);
  pop.Ptab.reset(1, pop.Nrad);
  Vec work(1, pop.Nrad);
  double mass = 0;
  if (mode == 2)
    mass = clump_make_Prad(igal, pop.Nrad, pop.rtab, pop.Ptab, work, &pop, Rmin, Rmax);
  else if (pop.R2 > pop.R1)
    mass = clump_make_Prad(igal, pop.Nrad, pop.rtab, pop.Ptab, work, &pop, pop.R1, pop.R2);
  else
    pop.rtab.clear(), pop.Ptab.clear();
  pop.Nexp = mass / pop.m;
  // Beyond this no realisation could be held in memory (and beyond a long none counted).
  if (!(pop.Nexp <= 1e12)) fatal(strformat("in setclumps, %e clumps are too many to draw", pop.Nexp));
  pop.ndrawn = 0;
  if (pop.farmode == 0) {
    if (pop.Nexp >= 1e5)
      qprintf("Number of clumps:  %e\n", pop.Nexp);
    else
      qprintf("Number of clumps:  %.2f\n", pop.Nexp);
    pop.mean.clear();
    pop.coef.clear();
    pop.choldiag.clear();
    pop.cov.clear();
    pop.chol.clear();
    pop.farzero = false;
  } else {
    clump_far_setup(igal);
  }
}

double clump_make_Prad(int igal, int n, Vec& rtab, Vec& Ptab, Vec& work, ClumpPop* pop, double a, double b) {
  const double xg = TWgal.pos[igal][3], yg = TWgal.pos[igal][4];
  const double e = TWgal.p[igal][4], th = TWgal.p[igal][5] * kPi / 180.0;
  const double st = std::sin(th), ct = std::cos(th);
  const bool circular = std::fabs(e) < 0.001;
  const double h = (b - a) / (n - 1);
  DerivVector& R = TWmod.R1;
  double prevR = 0, prevK = 0;
  auto build = [&](bool first_pass) {
    for (int i = 1; i <= n; ++i) {
      const double Ri = first_pass ? a + (i - 1) * h : work[i];
      rtab[i] = Ri;
      const double x = xg - Ri * st, y = yg + Ri * ct;
      ellipse(R, x, y);
      const double kap = 0.5 * (R[4] + R[5]);
      if (circular)
        Ptab[i] = kPi * Ri * std::hypot(R[2], R[3]);
      else if (i == 1)
        Ptab[i] = 0;
      else
        Ptab[i] = Ptab[i - 1] + kPi * (Ri - prevR) * (prevR * prevK + Ri * kap);
      prevR = Ri;
      prevK = kap;
      if (first_pass && i == n && pop) {
        pop->xout = x;
        pop->yout = y;
        pop->kapout = kap;
      }
    }
    const double p1 = Ptab[1];
    for (int i = 1; i <= n; ++i) Ptab[i] -= p1;
    const double T = Ptab[n];
    if (T > 0)
      for (int i = 1; i <= n; ++i) Ptab[i] /= T;
    return T;
  };
  const double T = build(true);
  if (T > 0) {
    work[1] = rtab[1];
    for (int i = 2; i <= n; ++i) {
      double out;
      linint(Ptab, rtab, n, out, static_cast<double>(i - 1) / (n - 1));
      work[i] = out;
    }
    if (h > work[2] - work[1]) build(false);
  }
  return (1.0 - e) * T;
}

// ---- draws ----

void do_drawclumps_loc(int i, RandomStream& Ns, RandomStream& rs) {
  ClumpState& cs = TWclump;
  ClumpPop& pop = cs.clumpdat[i];
  if (pop.type <= 0 || pop.Nexp < 1e-4 || pop.Ptab.size() < pop.Nrad || pop.Nrad < 2) return;
  if (!pop.root) pop.root = std::make_shared<ClumpNode>();
  ClumpNode& root = *pop.root;
  TreeFree(root);
  const double xg = TWgal.pos[i][3], yg = TWgal.pos[i][4];
  const double e = TWgal.p[i][4], th = TWgal.p[i][5] * kPi / 180.0;
  const double st = std::sin(th), ct = std::cos(th);
  pop.Nseed = Ns.seed;
  pop.rseed = rs.seed;
  const bool spread = pop.q > 1;
  const double e1 = 1.0 + pop.beta;
  const double mlo = spread ? pop.m * clump_Sk(1, pop.q, pop.beta) / clump_Sk(2, pop.q, pop.beta) : pop.m;
  const double qe = spread && std::fabs(e1) >= 1e-12 ? std::pow(pop.q, e1) - 1.0 : 0.0;
  long N;
  if (pop.randomN > 0) {
    N = static_cast<long>(poidev(pop.Nexp, Ns));
    if (talkative()) qprintf("Number of clumps (expected/actual):  %.2f  %ld\n", pop.Nexp, N);
  } else {
    N = static_cast<long>(pop.Nexp * 1.000001);
    if (talkative()) qprintf("Number of clumps (fixed):  %ld\n", N);
  }
  pop.ndrawn = N;
  TreeInit(root, xg - pop.Rmax, xg + pop.Rmax, yg - pop.Rmax, yg + pop.Rmax);
  if (pop.nterms > 0) {
    pop.coef.reset(1, pop.nterms);
  }
  const int nr = pop.Nrad;
  std::vector<ClumpXYM> explicit_clumps;
  explicit_clumps.reserve(static_cast<size_t>(std::max(0L, std::min(N, 100000000L))));
  for (long k = 0; k < N; ++k) {
    const double U1 = ran2(rs);
    double R;
    linint2(pop.Ptab, pop.rtab, nr, static_cast<int>((nr - 1) * U1 * 1.000001) + 1, R, U1);
    const double phi = 2.0 * kPi * ran2(rs);
    const double w = R * std::cos(phi), v = R * std::sin(phi) * (1.0 - e);
    const double x = xg - w * st - v * ct, y = yg + w * ct - v * st;
    double mass = pop.m;
    if (spread) {
      const double U3 = ran2(rs);
      if (std::fabs(e1) < 1e-12)
        mass = mlo * std::pow(pop.q, U3);
      else
        mass = mlo * std::pow(1.0 + U3 * qe, 1.0 / e1);
    }
    if (cs.clumpRmax > 0 && R >= cs.clumpRmax) continue;
    const double d = std::hypot(w, v);
    if (pop.farmode == 0 || d <= pop.R2) {
      explicit_clumps.push_back({x, y, mass});
    } else {
      const double psi = std::atan2(y - yg, x - xg);
      double t = 1.0;
      for (int l = 1; l <= pop.mmax; ++l) {
        t *= pop.r0 / d;
        pop.coef[2 * l - 1] += mass * t * std::cos(l * psi) / (2.0 * kPi);
        pop.coef[2 * l] += mass * t * std::sin(l * psi) / (2.0 * kPi);
      }
    }
  }
  TreeInsertAll(pop.parms, pop.type, root, explicit_clumps);
  TreePrune(root);
}

void do_drawclumps_far(int i, RandomStream& gs) {
  ClumpState& cs = TWclump;
  ClumpPop& pop = cs.clumpdat[i];
  if (pop.type <= 0 || pop.farmode == 0 || read_int(cs.SCfarp[0]) == 2) return;
  pop.gseed = gs.seed;
  const int n = pop.nterms;
  pop.coef.reset(1, n);
  if (pop.farzero || n <= 0 || pop.chol.nrows() < n || pop.mean.size() < n) return;
  Vec g(1, n), out(1, n);
  gasvec(gs, n, pop.chol, g, out);
  for (int a = 1; a <= n; ++a) pop.coef[a] = out[a] + pop.mean[a];
}

void do_drawclumps(RandomStream& Ns, RandomStream& rs, RandomStream& gs) {
  ClumpState& cs = TWclump;
  for (long i = 1; i <= cs.clumpdat.hi(); ++i) {
    do_drawclumps_loc(static_cast<int>(i), Ns, rs);
    do_drawclumps_far(static_cast<int>(i), gs);
  }
  if (cs.subsaveN > 0) subsave_rebuild();
}

void do_drawclumps(long Nseed, long rseed, long gseed) {
  RandomStream Ns(Nseed), rs(rseed), gs(gseed);
  do_drawclumps(Ns, rs, gs);
}

void ClumpWriteProb(FILE* f, const ClumpPop& pop) {
  for (long i = 1; i <= pop.rtab.hi() && i <= pop.Ptab.hi(); ++i)
    std::fprintf(f, "%13.6e %13.6e\n", pop.rtab[i], pop.Ptab[i]);
}

// ---- commands ----

void setclumps(const WordArray& words) {
  const long npop = words.finite_integer(1, words[0]);
  const double Rmin = words.finite(2, words[0]), Rmax = words.finite(3, words[0]);
  if (Rmax < Rmin) fatal("cannot run setclumps with Rmin>Rmax");
  ClumpState& cs = TWclump;
  if (cs.clumpdat.empty()) {
    warning("Must set main model before setting clumps.");
    return;
  }
  for (long k = 0; k < npop; ++k) {
    WordArray line;
    if (!myread(QVMstdin, line)) break;
    setclumps_line(line, Rmin, Rmax);
  }
  const long s = settings.seed;
  do_drawclumps(s, s, s);
}

void drawclumps(const WordArray& words) {
  const int n = words.own_count();
  const long s = settings.seed;
  do_drawclumps(n > 1 ? words.finite_integer(1, words[0]) : s, n > 2 ? words.finite_integer(2, words[0]) : s, n > 3 ? words.finite_integer(3, words[0]) : s);
}

void clumplist(const WordArray& words) {
  ClumpState& cs = TWclump;
  const int n = words.own_count();
  cs.clump_list.clear();
  cs.clump_list_n = 0;
  if (words.finite_integer(1, words[0]) == 0) {
    qprintf("No clump components.\n");
    return;
  }
  for (int i = 1; i < n; ++i) words.finite_int(i, words[0]);  // every index usable before any is listed
  cs.clump_list.reset(1, n - 1);
  qprintf("List of clump components:");
  for (int i = 1; i < n; ++i) {
    cs.clump_list[i] = words.finite_int(i, words[0]);
    qprintf(" %d", cs.clump_list[i]);
  }
  qprintf("\n");
  cs.clump_list_n = n - 1;
}

void scaleclumps(const WordArray& words) {
  const int n = words.own_count() - 1;
  double* a = TWclump.NFWclumparr;
  a[0] = 1;
  a[1] = words.finite(1, words[0]);
  a[2] = words.finite(2, words[0]);
  a[3] = -1, a[4] = 1.0 / 3.0, a[5] = 0;
  a[6] = -1, a[7] = 1.0 / 3.0, a[8] = 0;
  auto take = [&](int k, const char* msg) {
    const std::string& w = words[k];
    int at = w == "rs" ? 3 : (w == "rt" ? 6 : 0);
    if (!at) {
      refuse(msg);
      return;
    }
    a[at] = words.finite(k + 1, words[0]);
    a[at + 1] = words.finite(k + 2, words[0]);
    a[at + 2] = words.finite(k + 3, words[0]);
  };
  take(3, "scaleclumpshelp argument #3 is not recognized");
  if (n >= 10) take(7, "scaleclumpshelp argument #7 is not recognized");
  qprintf("Defining scaling relations for NFW clumps:\n");
  qprintf("  m0  = %e\n", a[1]);
  qprintf("  R0  = %e\n", a[2]);
  if (a[6] > 0) qprintf("  rt = %e * (m/m0)^%f * (R/R0)^%f\n", a[6], a[7], a[8]);
  if (a[3] > 0) qprintf("  rs = %e * (m/m0)^%f * (R/R0)^%f\n", a[3], a[4], a[5]);
}

// NFWclumps is scaleclumps under another name (a short line prints scaleclumps' usage).
void NFWclumps(const WordArray& words) { run_command(table_row(sim_commands(), "scaleclumps"), words); }

void writeclumps(const WordArray& words) {
  const int n = words.own_count();
  const std::string base = words[1];
  const char* msg = "could not open writeclumps output file";
  WholeFile fdat(base + ".dat", msg, true);
  WholeFile fbox(base + ".box", msg, true);
  WholeFile fprob(base + ".prob", msg, true);
  WholeFile fij;
  ClumpState& cs = TWclump;
  std::vector<long> list;
  if (n > 2)
    for (int i = 2; i < n; ++i) list.push_back(words.finite_integer(i, words[0]));
  else
    for (long i = 1; i <= cs.clumpdat.hi(); ++i) list.push_back(i);
  for (long ig : list) {
    if (ig < cs.clumpdat.lo() || ig > cs.clumpdat.hi()) continue;  // no such component
    const ClumpPop& pop = cs.clumpdat[ig];
    if (pop.root && pop.root->n > 0) {
      std::fprintf(fdat, "\n# igal %ld\n", ig);
      std::fprintf(fbox, "\n# igal %ld\n", ig);
      TreeWritePt(fdat, *pop.root);
      TreeWriteBox(fbox, *pop.root);
    }
    if (pop.type > 0) {
      std::fprintf(fprob, "\n# igal %ld\n", ig);
      ClumpWriteProb(fprob, pop);
    }
    if (pop.type > 0 && pop.farmode > 0) {
      if (!fij) fij = WholeFile(base + "-IJ.dat", msg, true);
      std::fprintf(fij, "# igal %ld\n", ig);
      for (int i = 1; i <= pop.nterms; ++i) {
        std::fprintf(fij, "%13.6e   ", pop.mean[i]);
        for (int j = 1; j <= pop.nterms; ++j) std::fprintf(fij, " %13.6e", pop.cov[i][j]);
        std::fprintf(fij, "\n");
      }
    }
  }
  fij.commit();
  fprob.commit();
  fbox.commit();
  fdat.commit();
}

