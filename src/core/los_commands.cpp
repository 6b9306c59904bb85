// Line-of-sight commands: shearLOS, bridgecut, showLOS, masscomplete and plotzbridge, with
// their help routines.
#include "core/los_commands.h"

#include <cmath>
#include <string>

#include "core/lens_model.h"
#include "io/outfile.h"
#include "io/qvmfile.h"
#include "models/evaluator.h"
#include "models/multiplane.h"
#include "numeric/constants.h"
#include "numeric/cosmology.h"
#include "numeric/interp.h"
#include "shell/commands.h"
#include "shell/fatal.h"
#include "shell/settings.h"

namespace {

// +0 in place of -0, so that a vanishing entry prints as 0.
inline double unsigned_zero(double v) { return v + 0.0; }

}  // namespace

// ---- shearLOS ----

void shearLOS(const WordArray& words) {
  const int nw = words.own_count();
  LOSPlanes& L = LOS;
  L.exact.clear();
  L.cutparm = 0.0;
  L.nexact = 0.0;
  L.outbase = "NULL";
  const std::string& key = words[1];
  int next;
  if (key == "off") {
    L.shearmode = 1;
    return;
  } else if (key == "pos") {
    if (nw < 5) {
      refuse_line(words);
      return;
    }
    L.refgal = 0.0;
    L.xref = words.finite(2, "shearLOS");
    L.yref = words.finite(3, "shearLOS");
    L.Rcut = words.finite(4, "shearLOS");
    next = 5;
  } else if (key == "gal") {
    if (nw < 4) {
      refuse_line(words);
      return;
    }
    L.refgal = words.finite(2, "shearLOS");
    L.xref = L.yref = 0.0;
    L.Rcut = words.finite(3, "shearLOS");
    next = 4;
  } else {
    fatal("unknown argument to shearLOS");
  }
  L.shearmode = 2;
  L.cutmode = 0;
  if (next < nw) {
    const std::string& z = words[next];
    if (z == "zbox") {
      L.cutmode = 1;
      if (next + 1 >= nw) fatal("with shearLOS zbox, you must specify dz cut");
      L.cutparm = words.finite(next + 1, "shearLOS");
      next += 2;
    } else if (z == "zbridge") {
      L.cutmode = 2;
      // Only a number is dz: "zbridge exact 4 7 8" keeps its exact list.
      if (next + 1 < nw && words.is_number(next + 1)) {
        L.cutparm = words.real(next + 1);
        next += 2;
      } else {
        next += 1;
      }
    } else if (z == "HOTlos" || z == "HOTcut") {
      L.cutmode = z == "HOTlos" ? 3 : 4;
      if (next + 1 >= nw) fatal("with shearLOS HOT mode, you must specify dx cut");
      L.cutparm = words.finite(next + 1, "shearLOS");
      next += 2;
    } else {
      L.outbase = z.substr(0, 132);
    }
  }
  if (next + 1 < nw && words[next] == "exact") {
    for (int i = next + 1; i < nw; ++i) L.exact.push_back(words.int_value(i));
    L.nexact = static_cast<double>(L.exact.size());
  }
}

// ---- bridgecut ----

void bridgecut(const WordArray& words) {
  const int nw = words.own_count();
  const std::string& key = words[1];
  BridgeCut& bc = bridgecutarr;
  if (key == "off") {
    bc = BridgeCut{0.0, 0.0, 0.0, -1.0};
    qprintf("bridgecut: turning off");
  } else if (key == "pos" && nw >= 5) {
    bc.gal = 0.0;
    bc.x = words.finite(2, "bridgecut");
    bc.y = words.finite(3, "bridgecut");
    bc.R0 = words.finite(4, "bridgecut");
    qprintf("bridgecut: R0=%f centered on (%f,%f)\n", bc.R0, bc.x, bc.y);
  } else if (key == "gal" && nw >= 4) {
    bc.gal = words.finite(2, "bridgecut");
    bc.R0 = words.finite(3, "bridgecut");
    qprintf("bridgecut: R0=%f centered on galaxy %.0f\n", bc.R0, bc.gal);
  } else {
    const bool mode = nw < 2 || key == "pos" || key == "gal";
    refuse_line(words, mode ? "too few arguments" : "unknown mode " + key);
  }
}

// ---- showLOS ----

void showLOS(const WordArray& words) {
  const LOSPlanes& L = LOS;
  // Each call writes the file anew, whole.
  WholeFile file;
  if (words.own_count() > 1) file = WholeFile(words[1], "could not open showLOS output file", true);
  const int N = L.nplane, N1 = N + 1;
  const bool have = !L.Bmat.empty() && L.Bmat.rhi() == N1;
  FILE* copy = nullptr;  // where the screen lines are copied to, when they are
  const auto say = [&](const std::string& text) {
    qprintf("%s", text.c_str());
    if (copy) std::fputs(text.c_str(), copy);
  };
  // The 2x2 matrix of plane pair (i, j) of a tensor.
  const auto pair = [&](const Tensor3& t, int i, int j) {
    return BRow<const double>(t.data() + 4 * ((i - 1) * N1 + (j - 1)), 1, 4);
  };

  if (have && L.reduced && N == 1) {
    const BRow<const double> Bl = L.Bmat[1], Bs = L.Bmat[2], Fs = L.Fmat[2];
    const BRow<const double> Cls = pair(L.Cmat, 1, 2), Gls = pair(L.Gmat, 1, 2);
    qprintf("Results from shearLOS with one main plane:\n");
    qprintf("{%f, %f, %f, %f, %f}\n", Bl[1], Bs[1], Cls[1], Fs[1], Gls[1]);
    qprintf("Matrices\n");
    const auto line = [](const char* fmt, BRow<const double> m) { qprintf(fmt, m[1], m[2], m[3], m[4]); };
    line("B_l:  %f %f %f %f\n", Bl);
    line("B_s:  %f %f %f %f\n", Bs);
    line("C_ls: %f %f %f %f\n", Cls);
    line("F_s:  %f %f %f %f\n", Fs);
    line("G_ls: %f %f %f %f\n", Gls);
    qprintf("Differences from nominal\n");
    const auto diff = [&](const char* fmt, BRow<const double> m, bool to_file) {
      const double a = unsigned_zero(1.0 - m[1]), b = unsigned_zero(-m[2]), c = unsigned_zero(-m[3]),
                   d = unsigned_zero(1.0 - m[4]);
      qprintf(fmt, a, b, c, d);
      if (to_file && file) std::fprintf(file, fmt, a, b, c, d);
    };
    diff("1-B_l:  %13.6e %13.6e %13.6e %13.6e\n", Bl, true);
    diff("1-B_s:  %13.6e %13.6e %13.6e %13.6e\n", Bs, true);
    diff("1-C_ls: %13.6e %13.6e %13.6e %13.6e\n", Cls, true);
    diff("1-G_ls: %13.6e %13.6e %13.6e %13.6e\n", Gls, false);
    qprintf("  F_s:  %13.6e %13.6e %13.6e %13.6e\n", Fs[1], Fs[2], Fs[3], Fs[4]);
  } else if (have && N >= 2) {
    // Every line of a display of several planes goes to the named file as well.
    copy = file;
    const LensModel* m1 = TWref.Nref >= 1 ? &TWref.ref[1] : nullptr;
    const auto zof = [&](int i) { return m1 ? m1->z[L.order[i]] : TWgal.z[L.order[i]]; };
    say("Galaxies listed in order of redshift:\n");
    for (int i = 1; i <= N; ++i) say(strformat("z %9.6f   gal %2ld\n", zof(i), L.order[i]));
    say(strformat("z %9.6f   src\n", settings.zsrc));
    say(" beta_ij  |");
    for (int j = 1; j <= N; ++j) say(strformat(" %9.6f", zof(j)));
    say("\n --------- ");
    for (int j = 1; j <= N; ++j) say(" ---------");
    say("\n");
    const auto beta = [&](int i, int j) { return pair(L.Cmat, i, j)[1]; };
    for (int i = 1; i <= N; ++i) {
      say(strformat("%9.6f :", zof(i)));
      for (int j = 1; j <= N; ++j) {
        if (j < i)
          say("          ");
        else
          say(strformat(" %9.6f", beta(i, j)));
      }
      say("\n");
    }
    say("QVM TEST");
    for (int i = 1; i <= N; ++i)
      for (int j = i + 1; j <= N; ++j) say(strformat(" beta%d%d->%f,", i, j, beta(i, j)));
    say("\n");
  }

  // The tensors exist only with several planes or after a reduction.
  if (have) {
    say("Here are the [1,1] entries of the tensors:\n");
    std::string all = "QVMtensors";
    const auto list = [&](const char* label, auto entry) {
      std::string s = label;
      for (int i = 1; i <= N1; ++i) s += strformat(" %13.6e", entry(i));
      say(s + "\n");
      all += s.substr(std::string(label).size());
    };
    list("Bl ", [&](int i) { return L.Bmat[i][1]; });
    list("Cls", [&](int i) { return pair(L.Cmat, i, N1)[1]; });
    list("Fl ", [&](int i) { return L.Fmat[i][1]; });
    list("Gls", [&](int i) { return pair(L.Gmat, i, N1)[1]; });
    say(all + "\n");
  }
  file.commit();
}

// ---- try ----

void try_(const WordArray& words) {
  if (TWvoid.Nmasscomp <= 0) fatal("no masscomplete tables are loaded");
  const double zi = words.real(1), zj = words.real(2);
  const double Di = PMdist(0.0, zi), Dj = PMdist(0.0, zj);
  double b, f;
  voidcorrect(zi, Di, zj, Dj, b, f);
  qprintf("QVM %f %f : %f %f : %f %f\n", zi, Di, zj, Dj, b, f);
}

// ---- masscomplete ----

void masscomplete(const WordArray& words) {
  const int nw = words.own_count();
  const Settings& s = settings;
  const std::string& key = words[1];
  const double dz = nw > 2 ? words.finite(2, "masscomplete") : 0.001;
  if (key != "off" && !(dz > 0)) fatal("dz must be positive in masscomplete");
  MassComplete& v = TWvoid;
  const bool talk = !quietflag && s.verbose <= 1;
  if (v.Nmasscomp > 0) {
    if (talk) qprintf("Deallocating previous masscomplete array (%d)\n", v.Nmasscomp);
    v = MassComplete();
  }

  Vec z, c;
  int n = 0;
  const bool test = key == "test";
  if (test) {
    if (nw < 6) {
      qprintf("masscomplete test <dz> <zmax> <a> <n>\n");
      return;
    }
    const double zmax = words.finite(3, "masscomplete"), a = words.finite(4, "masscomplete"),
                 nc = words.finite(5, "masscomplete");
    const double count = std::floor(zmax / dz) + 2.0;
    if (!(zmax > 0) || !(count <= 1e6)) fatal("bad completeness range in masscomplete test");
    n = static_cast<int>(count);
    z.reset(1, n);
    c.reset(1, n);
    for (int p = 1; p <= n - 1; ++p) {
      z[p] = setparm(n - 1, p, 0.0, zmax);
      c[p] = std::pow(1.0 + a * z[p], nc);
    }
    z[n] = zmax + dz;
    c[n] = 0.0;
  } else if (key == "off") {
    v.Nmasscomp = 0;
    if (talk) qprintf("masscompleteness: Turning off void corrections.\n");
    return;
  } else {
    std::vector<double> zz, cc;
    {
      FileHandle in(QVMfopen(key, "r", "could not open input file"));
      WordArray w;
      while (myread(in, w) == 1) {
        const int line = static_cast<int>(zz.size()) + 1;
        // Two numbers, z increasing: a NaN would pass the checks below and fill the tables.
        if (w.own_count() < 2 || !std::isfinite(w.real(0)) || !std::isfinite(w.real(1)) ||
            (!zz.empty() && !(w.real(0) > zz.back())))
          fatal(strformat("bad completeness line %d in %s", line, key.c_str()));
        zz.push_back(w.real(0));
        cc.push_back(w.real(1));
        w = WordArray();
      }
    }
    n = static_cast<int>(zz.size());
    z.reset(1, n);
    c.reset(1, n);
    for (int p = 1; p <= n; ++p) {
      z[p] = zz[p - 1];
      c[p] = cc[p - 1];
    }
  }

  if (s.zlens <= 0 || s.zsrc <= 0) fatal("in masscomplete, zlens and zsrc must be set");
  if (n < 1 || z[1] > 0.001) fatal("completeness function needs to start at z=0");
  if (c[n] > 0.001) fatal("completeness function needs to go to 0 at high-z end");
  build_masscomplete(z, c, n, dz);

  if (!test) return;
  const int m = v.Nmasscomp;
  const double Ds = PMdist(0.0, s.zsrc), Dl = PMdist(0.0, s.zlens), Dls = PMdist(s.zlens, s.zsrc);
  const double kap = std::sqrt(1.5 * s.omega);
  qprintf("masscomplete test # i j zi zj Di Dj (betahat,tauhat)[numerical] (betahat,tauhat)[analytic]\n");
  for (int i = 1; i <= m - 1; ++i) {
    qprintf("masscomplete test\n");
    const double zi = v.masscomp[1][i], Di = v.masscomp[3][i];
    for (int k = i; k <= m; ++k) {
      const double zk = v.masscomp[1][k], Dk = v.masscomp[3][k];
      // betahat is the ray separation over D_k; at D_k = 0 (the observer) the separation
      // itself, which is 0, as in the numerical column.
      double bh, th;
      if (kap > 0) {
        const double u = kap * (Dk - Di);
        bh = Ds * std::sinh(u) / (kap * (Ds - Di));
        th = Dls * (kap * Dk * std::cosh(u) - std::sinh(u)) / (Dl * kap * (Ds - Di));
      } else {
        bh = Ds * (Dk - Di) / (Ds - Di);
        th = Di * Dls / ((Ds - Di) * Dl);
      }
      if (Dk > 0) bh /= Dk;
      qprintf("masscomplete test %d %d %e %e %e %e %e %e  %e %e\n", i, k, zi, zk, Di, Dk, v.betahat[i][k],
              v.tauhat[i][k], bh, th);
    }
  }
}

// ---- plotzbridge ----

void plotzbridge(const WordArray& words) {
  const Settings& s = settings;
  const double lo = words.real(1), hi = words.real(2);
  const int steps = words.signed_count(3, "number of steps");
  if (!(lo > 0 && hi > 0 && s.zlens > 0 && s.zlens < s.zsrc)) fatal("plotzbridge needs 0 < z and 0 < zlens < zsrc");
  WholeFile out(words[4], "could not open output file", true);
  const double Dl = PMdist(0.0, s.zlens), Ds = PMdist(0.0, s.zsrc), Dls = PMdist(s.zlens, s.zsrc);
  std::fprintf(out, "#  z  beta  R/R0 ('fix')  R/R0  ('free')\n");
  for (int i = 1; i <= steps; ++i) {
    const double z = setparm(steps, i, lo, hi);
    const double D = PMdist(0.0, z), Dzs = PMdist(z, s.zsrc);
    const double B = ((1.0 + z) / (1.0 + s.zlens)) * Dzs * Dl / (Dls * D);
    double beta, fix, fr;
    if (z >= s.zlens) {
      beta = PMdist(s.zlens, z) * Ds / (Dls * D);
      fix = std::cbrt((1.0 - beta) * (1.0 - beta) * B);
      fr = std::cbrt((1.0 - beta) * B);
    } else {
      beta = PMdist(z, s.zlens) * Ds / (Dzs * Dl);
      fix = std::cbrt(B);
      fr = std::cbrt((1.0 - beta) * B);
    }
    std::fprintf(out, "%e %e %e %e\n", z, beta, unsigned_zero(fix), unsigned_zero(fr));
  }
  out.commit();
}

// ---- diagnostic matrices ----

void shearLOS_write(FILE* matfile, FILE* shrfile, const double M[4], const char* label) {
  std::fprintf(matfile, "%-8s %13.6e %13.6e %13.6e %13.6e\n", label, unsigned_zero(1.0 - M[0]),
               unsigned_zero(-M[1]), unsigned_zero(-M[2]), unsigned_zero(1.0 - M[3]));
  double t = std::atan2(M[1] - M[2], M[0] + M[3]);
  if (t > kPi / 2) t -= kPi;
  if (t < -kPi / 2) t += kPi;
  const double c = std::cos(t), s = std::sin(t);
  const double S11 = c * M[0] - s * M[2], S12 = c * M[1] - s * M[3];
  const double S22 = s * M[1] + c * M[3];
  std::fprintf(shrfile, "%-8s %13.6e %13.6e %13.6e  %13.6e\n", label, unsigned_zero(1.0 - (S11 + S22) / 2),
               unsigned_zero(-(S11 - S22) / 2), unsigned_zero(-S12), unsigned_zero(t));
}
