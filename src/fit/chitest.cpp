// The test term: a known likelihood over the varied parameters (chitest), for checking the
// optimisers and samplers against an exact answer.
#include "fit/chitest.h"

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "core/lens_model.h"
#include "fit/store.h"
#include "fit/testterms.h"
#include "io/outfile.h"
#include "io/qvmfile.h"
#include "numeric/constants.h"
#include "numeric/random.h"
#include "shell/commands.h"
#include "shell/fatal.h"
#include "shell/settings.h"

ChiTestState TWchitest;

namespace {
constexpr const char* kZeroDispersion = "cannot have a dispersion of zero along a principal axis in chitest";
}  // namespace

void init_chitest() { TWchitest = ChiTestState(); }

double chitest_value(const Mat& gparms, bool start_model) {
  ChiTestState& t = TWchitest;
  t.rejected = false;
  const int n = t.chitestN;
  if (n <= 0) return 0.0;
  // The trial model must have the components the term was set up with.
  if (gparms.rhi() < t.ngal) fatal("the model has fewer components than when chitest was turned on");
  int k = 0;
  for (int i = 1; i <= t.ngal; ++i)
    for (int j = 1; j <= 10; ++j)
      if (t.vary[i][j] != 0) t.chitestX[++k] = gparms[i][j];
  for (int a = 1; a <= n; ++a) {
    double y = 0.0;
    for (int b = 1; b <= n; ++b) y += t.chitestS[a][b] * t.chitestX[b];
    t.chitestY[a] = y;
  }
  double chi = 0.0;
  for (int a = 1; a <= n; ++a) {
    const double sig = t.chitestSIG[a], mu = t.chitestMU[a], y = t.chitestY[a];
    if (sig > 0) {
      const double d = (y - mu) / sig;
      chi += d * d + 2.0 * std::log(sig * kSqrt2Pi);
    } else if (sig < 0) {
      const double r = y / mu;
      if (!(r > 0)) {
        if (start_model) fatal("negative ratio in chitest");
        // Outside the lognormal's support: a proposed model is rejected, more strongly
        // the further it lies.
        chi += (1.0 + r * r) * 1e8;
        t.rejected = true;
        continue;
      }
      const double l = std::log(r);
      chi += l * l / (sig * sig) + 2.0 * std::log(std::fabs(sig * y) * kSqrt2Pi);
    } else {
      fatal(kZeroDispersion);
    }
  }
  return chi;
}

double chitest_func(const Mat& params) { return chitest_value(params, start_model_flag()); }

void chitest(const WordArray& words) {
  if (words[1] == "off") {
    qprintf("Turning chitest feature off.\n");
    init_chitest();
    return;
  }
  if (words[1] != "on") {
    refuse_line(words, "unknown mode " + words[1]);
    return;
  }
  const int rotate = words.own_count() > 2 ? words.int_value(2) : 0;
  qprintf("Turning chitest feature on.\n");
  init_chitest();

  // The new set-up is built aside and takes effect once it is complete and valid.
  ChiTestState t;
  const ModelSet& ms = TWref;
  t.ngal = ms.Ngal;
  if (t.ngal > 0) {
    t.vary.reset(1, t.ngal, 1, 10);
    for (int i = 1; i <= t.ngal; ++i)
      for (int j = 1; j <= 10; ++j) {
        t.vary[i][j] = ms.refv[i][j];
        if (t.vary[i][j] != 0) ++t.chitestN;
      }
  }
  const int n = t.chitestN;
  if (n == 0) warning("chitest is meaningless when no parameters vary");
  t.chitestX.reset(1, n);
  t.chitestY.reset(1, n);
  t.chitestMU.reset(1, n);
  t.chitestSIG.reset(1, n);
  t.chitestS.reset(1, n, 1, n);

  qprintf("Enter the dispersions: (number of dimensions = %d)\n", n);
  WordArray w;
  if (myread(QVMstdin, w) != 1) w = WordArray();
  // The dispersions are the numbers of the line, in order.
  std::vector<double> sig;
  for (int i = 0; i < w.own_count(); ++i) {
    double v;
    if (parse_real(w[i], v)) sig.push_back(v);
  }
  if (static_cast<int>(sig.size()) < n)
    fatal(strformat("chitest needs %d dispersions, the line has %d", n, static_cast<int>(sig.size())));
  for (int k = 1; k <= n; ++k) {
    t.chitestSIG[k] = sig[k - 1];
    // Refused here, before any fit can reach it.
    if (t.chitestSIG[k] == 0) fatal(kZeroDispersion);
  }

  // Draws and rotations come from a private stream of the seed: every `chitest` command
  // starts from the same point.
  RandomStream rng(settings.seed);
  if (rotate == 1) {
    ranrot(rng, n, t.chitestS);
    qprintf("Random rotation matrix:\n");
    for (int a = 1; a <= n; ++a) {
      for (int b = 1; b <= n; ++b) qprintf(" %9.6f", t.chitestS[a][b]);
      qprintf("\n");
    }
  } else {
    for (int a = 1; a <= n; ++a)
      for (int b = 1; b <= n; ++b) t.chitestS[a][b] = a == b ? 1.0 : 0.0;
    qprintf("No rotation.\n");
  }

  int k = 0;
  for (int i = 1; i <= t.ngal; ++i)
    for (int j = 1; j <= 10; ++j)
      if (t.vary[i][j] != 0) t.chitestX[++k] = ms.ref[1].p[i][j];
  for (int a = 1; a <= n; ++a) {
    double mu = 0.0;
    for (int b = 1; b <= n; ++b) mu += t.chitestS[a][b] * t.chitestX[b];
    t.chitestMU[a] = mu;
    if (t.chitestSIG[a] < 0 && mu == 0) fatal(strformat("lognormal factor %d needs a nonzero centre", a));
  }

  if (words.own_count() > 4) {
    const long ndraw = words.integer(3);
    WholeFile f(words[4], "could not open output file", true);
    std::fprintf(f, " # Columns %d-%d: standard coordinate frame\n", 1, n);
    std::fprintf(f, " # Columns %d-%d: principal axes frame\n", n + 1, 2 * n);
    std::fprintf(f, " #\n");
    for (long d = 0; d < ndraw; ++d) {
      for (int a = 1; a <= n; ++a) {
        const double g = gasdev(rng), sig = t.chitestSIG[a], mu = t.chitestMU[a];
        t.chitestY[a] = sig > 0 ? mu + sig * g : mu * std::exp(sig * g);
      }
      for (int a = 1; a <= n; ++a) {
        double x = 0.0;
        for (int b = 1; b <= n; ++b) x += t.chitestS[b][a] * t.chitestY[b];
        t.chitestX[a] = x;
      }
      for (int a = 1; a <= n; ++a) std::fprintf(f, " %13.6e", t.chitestX[a]);
      std::fprintf(f, "  ");
      for (int a = 1; a <= n; ++a) std::fprintf(f, " %13.6e", t.chitestY[a]);
      std::fprintf(f, "\n");
    }
    f.commit();
  }
  TWchitest = std::move(t);
}

