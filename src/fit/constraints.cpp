// Parameter constraints of the fitter: plimits, pbounds, PArange and pmatch, and the
// routines that apply them to every trial model.
#include "fit/constraints.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>
#include <vector>

#include "core/lens_model.h"
#include "fit/store.h"
#include "imageplane/source_models.h"
#include "io/qvmfile.h"
#include "models/component.h"
#include "numeric/constants.h"
#include "shell/commands.h"
#include "shell/fatal.h"
#include "shell/settings.h"

ConstraintTables TScons;

// ---- angle folding ----

double wrap_symmetric(double d, double half) {
  if (!(half > 0) || !std::isfinite(half)) return d;  // no window (an order of 0)
  const double period = 2 * half;
  return d - period * std::ceil((d - half) / period);
}

double wrap_range(double v, double lo, double hi) {
  const double period = hi - lo;
  double w = v - period * std::floor((v - lo) / period);
  if (w >= hi) w -= period;  // rounding at the upper edge
  if (w < lo) w = lo;
  return w;
}

double wrap_pa(double v) {
  if (v < -90) v += 180 * std::ceil((-90 - v) / 180);
  if (v > 90) v -= 180 * std::ceil((v - 90) / 180);
  return v;
}

namespace {

bool is_class(const std::string& name, const char* c) { return name == c; }

int mode_of(double column) {
  const int m = constraint_index(column);
  return m == 0 ? static_cast<int>(settings.shrcoords) : m;
}

// Class name of component i in model 1 of the model set ("" when there is none).
const std::string& model1_class(int i) {
  static const std::string empty;
  if (TWref.Nref < 1) return empty;
  const auto& names = TWref.ref[1].names;
  return (i >= names.lo() && i <= names.hi()) ? names[i] : empty;
}

// Angle multiplier of parameter iparm of component i: 2, or the multipole order for the
// angle of an "mpole" component.
double angle_order(int i, int iparm, const Mat& g) {
  if ((iparm == 4 || iparm == 5) && is_class(model1_class(i), "mpole")) return g[i][9];
  return 2.0;
}

// Converts a pair (4, 5) or (6, 7) of gwork row i between the coordinate forms.
void convert_pair(Mat& w, int i, int first, int mode, double k) {
  const double a = w[i][first], b = w[i][first + 1];
  if (mode == 1 && settings.shrcoords == 2) {
    const double th = k * b * kPi / 180.0;
    w[i][first] = a * std::cos(th);
    w[i][first + 1] = a * std::sin(th);
  } else if (mode == 2 && settings.shrcoords == 1) {
    w[i][first] = std::sqrt(a * a + b * b);
    w[i][first + 1] = std::atan2(b, a) * 180.0 / (k * kPi);
  }
}

int gal_rows(const Mat* g) { return g ? static_cast<int>(g->rhi()) : 0; }
int src_rows(const Mat* s) { return s ? static_cast<int>(s->rhi()) : 0; }

Mat& work_matrix(const Mat& g) {
  Mat& w = TSstore.gwork;
  if (w.rhi() < g.rhi() || w.chi() < 10) w.reset(1, g.rhi(), 1, 10);
  return w;
}

// ---- loading ----

struct FileCloser {
  void operator()(FILE* f) const { std::fclose(f); }
};
using ConstraintFile = std::unique_ptr<FILE, FileCloser>;

// The line of new row r, with at least need own words ("too few <name> entries" else).
void read_row_line(FILE* fp, WordArray& w, int need, const char* name) {
  if (!myread(fp, w) || w.own_count() < need) fatal(strformat("too few %s entries", name));
}

// Refuses a row whose index can address nothing: a component index (positive) beyond the
// model's components, a source index (negative) beyond the count limit, or a parameter
// index outside 1..10 (1..8 for a source). Before any model is set the count limit bounds
// the component index, so that constraints may be loaded first; the source tables still
// grow with the data, so a source index is bounded by the limit alone. Rows naming what
// the fitted model lacks are passed over where they are applied. word, when given, is the
// index as the file spells it; source_row marks a source row whatever the sign of igal.
void check_target(const char* name, const std::string& file, int r, double igal, double iparm,
                  const std::string& word = std::string(), bool source_row = false) {
  auto refuse = [&](const std::string& v, const char* what, long lo, long hi) {
    fatal(strformat("in %s, row %d of file %s: %s is not a usable %s (%ld to %ld)", name, r, file.c_str(), v.c_str(),
                    what, lo, hi));
  };
  auto text = [](double v) { return strformat("%.15g", v); };
  const bool source = source_row || igal < 0;
  const long hi = source ? kCountLimit : (TWgal.NGALMAX > 0 ? TWgal.NGALMAX : kCountLimit);
  // Compared as doubles: the index is converted only once it is known to fit.
  const double a = std::fabs(igal);
  if (!(a >= 1.0 && a * 1.000001 < static_cast<double>(hi) + 1.0)) {
    if (!word.empty())  // as the file spells it: a positive number
      refuse(word, source ? "source index" : "component index", 1, hi);
    else if (source)
      refuse(text(igal), "source index", -hi, -1);
    else
      refuse(text(igal), "component index", 1, hi);
  }
  const long np = source ? 8 : 10;
  if (!(iparm >= 1.0 && iparm * 1.000001 < static_cast<double>(np) + 1.0))
    refuse(text(iparm), "parameter index", 1, np);
}

// The reading of a table's coordinate word: "src" negates the index, "cart"/"cartesian"
// gives mode 1, "pol"/"polar" mode 2, anything else mode 0.
void option_word(const std::string& opt, double& index, double& mode) {
  if (opt == "src")
    index = -index;
  else if (opt == "cart" || opt == "cartesian")
    mode = 1;
  else if (opt == "pol" || opt == "polar")
    mode = 2;
}

// The steps that the four commands share: help, reset, the file and its count, the new
// rows, the indices to ignore and the appending. first_line sees the file's first line;
// parse(fp, words, row, r) reads new row r; off(row) switches a row off.
template <class Row, class First, class Parse, class Off>
void load_constraints(const WordArray& words, const char* name, BVec<Row>& table, int& count, First first_line,
                      Parse parse, Off off, bool announce_ignored) {
  if (words[1] == "reset") {
    qprintf("Resetting %s constraints.", name);
    table.clear();
    count = 0;
    return;
  }
  const std::string path = words[1];
  ConstraintFile fp(open_input_file(path, "r", strformat("could not open %s file", name)));
  if (!fp) fatal(strformat("could not open %s file", name));
  qprintf("Reading %s from %s\n", name, path.c_str());
  WordArray w;
  const int n = myread(fp.get(), w) ? w.int_value(0) : 0;
  first_line(w);
  if (n < 1) {
    warning(strformat("Nothing in %s file.", name));
    return;
  }
  // Rows are stored as they are read, so a count larger than the file holds ends with the
  // short-file error rather than a table of that size.
  std::vector<Row> fresh;
  for (int r = 1; r <= n; ++r) {
    fresh.emplace_back();
    parse(fp.get(), w, fresh.back(), r);
  }
  fp.reset();
  for (int i = 2; i < words.own_count(); ++i) {
    // Only an index of a new row switches something off; other integers are passed over.
    const long k = usable_integer(name, words[i], "constraint index", -kIntWordLimit, kIntWordLimit);
    if (k < 1 || k > n) continue;
    off(fresh[static_cast<size_t>(k - 1)]);
    if (announce_ignored && !quietflag && settings.verbose <= 2) qprintf("%s: ignoring constraint #%ld\n", name, k);
  }
  BVec<Row> all(1, count + n);
  for (int r = 1; r <= count; ++r) all[r] = std::move(table[r]);
  for (int r = 1; r <= n; ++r) all[count + r] = std::move(fresh[static_cast<size_t>(r - 1)]);
  table = std::move(all);
  count += n;
  qprintf("Number of %s constraints: %d\n", name, count);
}

void no_first_line(const WordArray&) {}

}  // namespace

void plimits(const WordArray& words) {
  load_constraints(
      words, "plimits", TScons.plimarr, TScons.nplim, no_first_line,
      [&words](FILE* fp, WordArray& w, PlimRow& row, int r) {
        read_row_line(fp, w, 3, "plimits");
        row.on = 1;
        row.igal = w.finite(0, "plimits");
        row.iparm = w.finite(1, "plimits");
        row.value = w.finite(2, "plimits");
        row.sigma = w.own_count() >= 4 ? w.finite(3, "plimits") : 0.0;  // a three-value line is never used
        row.mode = 0;
        if (w.own_count() >= 5) option_word(w[4], row.igal, row.mode);
        check_target("plimits", words[1], r, row.igal, row.iparm);
      },
      [](PlimRow& row) { row.on = 0; }, false);
}

void pbounds(const WordArray& words) {
  ConstraintTables& T = TScons;
  const std::string file = words[1];
  if (words.own_count() >= 2 && file == "reset") T.mpbnd = 0;  // a reset frees the term maximum too
  load_constraints(
      words, "pbounds", T.pbndarr, T.npbnd,
      [&T](const WordArray& w) {
        const int mfile =
            static_cast<int>(usable_integer("pbounds", w[1], "maximum number of terms", -kCountLimit, kCountLimit));
        if (T.mpbnd <= 0)
          T.mpbnd = mfile;
        else if (mfile > T.mpbnd)
          warning("number of terms allowed in this pbounds file exceeds maximum");
      },
      [&T, &file](FILE* fp, WordArray& w, PbndRow& row, int r) {
        if (!myread(fp, w)) fatal("too few pbounds entries");
        const int M = std::max(T.mpbnd, 0);
        const int nt = static_cast<int>(usable_integer("pbounds", w[0], "number of terms", -kCountLimit, kCountLimit));
        const int na = std::abs(nt);
        const int own = w.own_count();
        if (own < 3 * na) fatal("too few pbounds entries");
        if (na > M) fatal("in pbounds, number of terms exceeds maximum");
        // Each row holds its own terms: every reader of a row goes by its own count.
        row.c.assign(3 * static_cast<size_t>(na) + 4, 0.0);
        row.c[0] = nt;
        // Values beyond the line's own words read as 0.
        for (int col = 1; col <= 3 * na + 2; ++col) row.c[col] = col < own ? w.finite(col, "pbounds") : 0.0;
        double mode = 0;
        if (own > 3 * na + 3) option_word(w[3 * na + 3], row.c[0], mode);
        row.c[3 * na + 3] = mode;
        for (int t = 1; t <= na; ++t) {  // term indices are positive; the sign of the count picks sources
          const double index = row.c[3 * t - 2] > 0 ? row.c[3 * t - 2] : 0.0;
          const bool src = row.c[0] < 0;
          check_target("pbounds", file, r, src ? -index : index, row.c[3 * t - 1], w[3 * t - 2], src);
        }
        // An empty range would keep the penalty on for every model.
        const double lo = row.c[3 * na + 1], hi = row.c[3 * na + 2];
        if (!(hi > lo))
          fatal(strformat("in pbounds, bound %d of file %s has hi <= lo (lo %g, hi %g)", r, file.c_str(), lo, hi));
      },
      [](PbndRow& row) { row.c[0] = 0; }, true);
}

void PArange(const WordArray& words) {
  const std::string file = words[1];
  load_constraints(
      words, "PArange", TScons.PAarr, TScons.nPA, no_first_line,
      [&file](FILE* fp, WordArray& w, PArangeRow& row, int r) {
        read_row_line(fp, w, 3, "PArange");
        row.on = 1;
        row.igal = w.finite(0, "PArange");
        row.iparm = w.finite(1, "PArange");
        row.lo = w.finite(2, "PArange");
        row.hi = w.own_count() >= 4 ? w.finite(3, "PArange") : 0.0;
        if (w.own_count() >= 5 && w[4] == "src") row.igal = -row.igal;
        check_target("PArange", file, r, row.igal, row.iparm);
        if (!(row.hi > row.lo))
          fatal(strformat("in PArange, range %d of file %s has hi <= lo (lo %g, hi %g)", r, file.c_str(), row.lo,
                          row.hi));
      },
      [](PArangeRow& row) { row.on = 0; }, false);
}

void pmatch(const WordArray& words) {
  load_constraints(
      words, "pmatch", TScons.pmatcharr, TScons.npmatch, no_first_line,
      [&words](FILE* fp, WordArray& w, PmatchRow& row, int r) {
        read_row_line(fp, w, 6, "pmatch");
        row.on = 1;
        row.igal = w.finite(0, "pmatch");
        row.iparm = w.finite(1, "pmatch");
        row.jgal = w.finite(2, "pmatch");
        row.jparm = w.finite(3, "pmatch");
        row.ratio = w.finite(4, "pmatch");
        // The form follows the line's own words: a trailing comment never changes it.
        const int own = w.own_count();
        bool src = false;
        if (own == 6) {
          row.sigma = w.finite(5, "pmatch");
        } else if (w[6] == "src") {
          row.sigma = w.finite(5, "pmatch");
          src = true;
        } else if (own == 7) {
          row.zeropt = w.finite(5, "pmatch");
          row.sigma = w.finite(6, "pmatch");
        } else if (w[7] == "src") {
          row.zeropt = w.finite(5, "pmatch");
          row.sigma = w.finite(6, "pmatch");
          src = true;
        } else {
          fatal("unknown mode in pmatch");
        }
        if (src) {
          row.igal = -row.igal;
          row.jgal = -row.jgal;
        }
        check_target("pmatch", words[1], r, row.igal, row.iparm);
        check_target("pmatch", words[1], r, row.jgal, row.jparm);
      },
      [](PmatchRow& row) { row.on = 0; }, false);
}

// ---- help ----

// ---- trial-model processing ----

void proc_parms(Mat& g, Mat* s) {
  const ConstraintTables& T = TScons;
  const ModelStore& S = TSstore;
  const int ng = static_cast<int>(g.rhi());
  const int ns = src_rows(s);
  const bool polar = settings.shrcoords == 2;

  if (polar) {
    int m = 0;
    const BVec<std::string>* names = S.built ? &S.gname : (TWref.Nref >= 1 ? &TWref.ref[1].names : nullptr);
    if (names)
      for (int i = names->lo(); i <= names->hi(); ++i)
        if (!is_class((*names)[i], "none") && !is_class((*names)[i], "register")) ++m;
    m = std::min(m, ng);
    for (int i = 1; i <= m; ++i) {
      const std::string& cls = (*names)[i];
      const bool shear_only = is_class(cls, "mpole") || is_class(cls, "fourmode");
      for (int first : {4, 6}) {
        if (first == 4 && shear_only) continue;
        double& a = g[i][first];
        double& th = g[i][first + 1];
        if (a == 0) continue;
        const bool angle_varied = S.built && i <= S.ngal && S.gvary[i][first + 1] != 0;
        if (((a > -1 && a < 0) || a > 1) && angle_varied) th += 90;
        a = std::min(std::fabs(a), 1.0 / std::fabs(a));
      }
      if (settings.PAwrap) {
        g[i][5] = wrap_pa(g[i][5]);
        g[i][7] = wrap_pa(g[i][7]);
      }
    }
  }

  if (T.nPA > 0 && polar && settings.PAwrap) {
    for (int r = 1; r <= T.nPA; ++r) {
      const PArangeRow& row = T.PAarr[r];
      if (row.on == 0) continue;
      const int ig = constraint_index(row.igal), ip = constraint_index(row.iparm);
      if (ig >= 1 && ig <= ng && ip >= 1 && ip <= 10)
        g[ig][ip] = wrap_range(g[ig][ip], row.lo, row.hi);
      else if (s && ig < 0 && -ig <= ns && ip >= 1 && ip <= 8)
        (*s)[-ig][ip] = wrap_range((*s)[-ig][ip], row.lo, row.hi);
    }
  }

  for (int r = 1; r <= T.npmatch; ++r) {
    const PmatchRow& row = T.pmatcharr[r];
    if (row.on == 0 || row.sigma != 0) continue;
    const int ig = constraint_index(row.igal), ip = constraint_index(row.iparm);
    const int jg = constraint_index(row.jgal), jp = constraint_index(row.jparm);
    if (ig >= 1 && ig <= ng && jg >= 1 && jg <= ng && ip >= 1 && ip <= 10 && jp >= 1 && jp <= 10) {
      g[ig][ip] = g[jg][jp] * row.ratio + row.zeropt;
      if ((ip == 5 || ip == 7) && (jp == 5 || jp == 7)) {
        const double amp = std::fabs(g[ig][ip - 1]);
        g[ig][ip - 1] = g[jg][jp - 1] > 0 ? amp : -amp;
      }
    } else if (s && ig < 0 && jg < 0 && -ig <= ns && -jg <= ns && ip >= 4 && ip <= 8 && jp >= 4 && jp <= 8) {
      (*s)[-ig][ip] = (*s)[-jg][jp] * row.ratio + row.zeropt;
    }
  }
}

double check_parms(const BVec<std::string>& names, const Mat& g) {
  double pen = 0;
  const int sc = settings.shrcoords;
  if (sc != 1 && sc != 2) fatal("unknown value of shrcoords");
  const Mat* ref1 = TWref.Nref >= 1 ? &TWref.ref[1].p : nullptr;
  for (int i = names.lo(); i <= names.hi() && i <= g.rhi(); ++i) {
    const std::string& cls = names[i];
    if (is_class(cls, "none") || is_class(cls, "register") || is_class(cls, "fourmode")) continue;
    if (settings.nobflip == 1 && ref1 && i <= ref1->rhi() && g[i][1] * (*ref1)[i][1] < 0) {
      warning(strformat("b[%d] has changed signs", i));
      const double db = g[i][1] - (*ref1)[i][1];
      pen += (db * db + 1) * kHardPenalty;
    }
    if (sc == 1) {
      const double e2 = g[i][4] * g[i][4] + g[i][5] * g[i][5];
      if (std::sqrt(e2) > 0.999) pen += (e2 + 1) * kHardPenalty;
      const double g2 = g[i][6] * g[i][6] + g[i][7] * g[i][7];
      if (std::sqrt(g2) > settings.maxshear) pen += (g2 + 1) * kHardPenalty;
    } else {
      if (g[i][4] > 0.999) pen += (g[i][4] * g[i][4] + 1) * kHardPenalty;
      if (g[i][6] > settings.maxshear) pen += (g[i][6] * g[i][6] + 1) * kHardPenalty;
    }
  }
  return pen;
}

double plimchi(const Mat& g, const Mat& s) { return plimfunc(&g, &s) + pbndfunc(&g, &s) + pmatchfunc(&g, &s); }

double plimfunc(const Mat* g, const Mat* s) {
  const ConstraintTables& T = TScons;
  if (T.nplim <= 0) return 0.0;
  const int ng = gal_rows(g), ns = src_rows(s);
  Mat* w = g ? &work_matrix(*g) : nullptr;
  if (g) {
    for (int i = 1; i <= ng; ++i) {
      for (int k = 1; k <= 10; ++k) (*w)[i][k] = (*g)[i][k];
      for (int first : {4, 6}) {
        for (int r = 1; r <= T.nplim; ++r) {
          const PlimRow& row = T.plimarr[r];
          const int ip = constraint_index(row.iparm);
          if (constraint_index(row.igal) != i || (ip != first && ip != first + 1) || !(row.sigma > 0) ||
              row.on == 0 || constraint_index(row.mode) == 0)
            continue;
          const double k = first == 4 ? angle_order(i, 4, *g) : 2.0;
          convert_pair(*w, i, first, constraint_index(row.mode), k);
          break;
        }
      }
    }
  }
  double sum = 0;
  for (int r = 1; r <= T.nplim; ++r) {
    const PlimRow& row = T.plimarr[r];
    if (!(row.sigma > 0) || row.on == 0) continue;
    const int ig = constraint_index(row.igal), ip = constraint_index(row.iparm);
    double d;
    if (g && ig >= 1 && ig <= ng && ip >= 1 && ip <= 10) {
      d = (*w)[ig][ip] - row.value;
      if (mode_of(row.mode) == 2 && (ip == 5 || ip == 7)) d = wrap_symmetric(d, 180.0 / angle_order(ig, ip, *g));
    } else if (s && ig < 0 && -ig <= ns && ip >= 1 && ip <= 8) {
      d = (*s)[-ig][ip] - row.value;
      if (settings.shrcoords == 2 && ip == 5) d = wrap_symmetric(d, 90.0);
    } else {
      continue;
    }
    sum += (d / row.sigma) * (d / row.sigma);
  }
  return sum;
}

double pbndfunc(const Mat* g, const Mat* s) {
  const ConstraintTables& T = TScons;
  if (T.npbnd <= 0) return 0.0;
  const int ng = gal_rows(g), ns = src_rows(s);
  Mat* w = g ? &work_matrix(*g) : nullptr;
  if (g) {
    for (int i = 1; i <= ng; ++i) {
      for (int k = 1; k <= 10; ++k) (*w)[i][k] = (*g)[i][k];
      for (int first : {4, 6}) {
        bool done = false;
        for (int r = 1; r <= T.npbnd && !done; ++r) {
          const std::vector<double>& c = T.pbndarr[r].c;
          const int nt = constraint_index(c[0]);
          if (nt <= 0) continue;
          const int mode = constraint_index(c[3 * nt + 3]);
          if (mode == 0) continue;
          for (int t = 1; t <= nt; ++t) {
            const int ip = constraint_index(c[3 * t - 1]);
            if (constraint_index(c[3 * t - 2]) == i && (ip == first || ip == first + 1)) {
              const double k = first == 4 ? angle_order(i, 4, *g) : 2.0;
              convert_pair(*w, i, first, mode, k);
              done = true;
              break;
            }
          }
        }
      }
    }
  }
  double sum = 0;
  for (int r = 1; r <= T.npbnd; ++r) {
    const std::vector<double>& c = T.pbndarr[r].c;
    const int n = constraint_index(c[0]);
    if (n == 0) continue;
    const int na = std::abs(n);
    const double lo = c[3 * na + 1], hi = c[3 * na + 2];
    const double half = (hi - lo) / 2;
    double S = 0;
    bool valid = true;
    if (n > 0) {
      if (!g) continue;
      for (int t = 1; t <= na && valid; ++t) {
        const int ig = constraint_index(c[3 * t - 2]), ip = constraint_index(c[3 * t - 1]);
        if (ig < 1 || ig > ng || ip < 1 || ip > 10)
          valid = false;
        else
          S += c[3 * t] * (*w)[ig][ip];
      }
      if (!valid) continue;
      double d = S - (hi + lo) / 2;
      if (mode_of(c[3 * na + 3]) == 2) {
        for (int t = 1; t <= na; ++t) {
          const int ig = constraint_index(c[3 * t - 2]), ip = constraint_index(c[3 * t - 1]);
          const double a = std::fabs(c[3 * t]);
          if ((ip == 5 || ip == 7) && a > 0) d = wrap_symmetric(d, 180.0 * a / angle_order(ig, ip, *g));
        }
      }
      if (std::fabs(d) > half) sum += kHardPenalty * (d / half) * (d / half);
    } else {
      if (!s) continue;
      for (int t = 1; t <= na && valid; ++t) {
        const int is = constraint_index(c[3 * t - 2]), ip = constraint_index(c[3 * t - 1]);
        if (is < 1 || is > ns || ip < 1 || ip > 8)
          valid = false;
        else
          S += c[3 * t] * (*s)[is][ip];
      }
      if (!valid) continue;
      double d = S - (hi + lo) / 2;
      if (settings.shrcoords == 2) {
        for (int t = 1; t <= na; ++t) {
          const int ip = constraint_index(c[3 * t - 1]);
          const double a = std::fabs(c[3 * t]);
          if (ip == 5 && a > 0) d = wrap_symmetric(d, 90.0 * a);
        }
      }
      if (std::fabs(d) > half) sum += kHardPenalty * (d / half) * (d / half);
    }
  }
  return sum;
}

double pmatchfunc(const Mat* g, const Mat* s) {
  const ConstraintTables& T = TScons;
  if (T.npmatch <= 0) return 0.0;
  const int ng = gal_rows(g), ns = src_rows(s);
  const bool polar = settings.shrcoords == 2;
  double sum = 0;
  for (int r = 1; r <= T.npmatch; ++r) {
    const PmatchRow& row = T.pmatcharr[r];
    if (row.on == 0 || !(std::fabs(row.sigma) > 1e-6)) continue;
    const int ig = constraint_index(row.igal), ip = constraint_index(row.iparm);
    const int jg = constraint_index(row.jgal), jp = constraint_index(row.jparm);
    double pi, pj;
    if (g && ig >= 1 && ig <= ng && jg >= 1 && jg <= ng && ip >= 1 && ip <= 10 && jp >= 1 && jp <= 10) {
      pi = (*g)[ig][ip];
      pj = (*g)[jg][jp];
      if (polar) {
        if (ip == 4 || ip == 6) {
          pi = std::fabs(pi);
          pj = std::fabs(pj);
        } else if (ip == 5 || ip == 7) {
          if ((*g)[ig][ip - 1] < 0) pi += 90;
          if (jp >= 2 && (*g)[jg][jp - 1] < 0) pj += 90;
          pj = wrap_symmetric(pj, 90.0);
          pi = pj + wrap_symmetric(pi - pj, 90.0);
        }
      }
    } else if (s && ig < 0 && jg < 0 && -ig <= ns && -jg <= ns && ip >= 1 && ip <= 8 && jp >= 1 && jp <= 8) {
      pi = (*s)[-ig][ip];
      pj = (*s)[-jg][jp];
      if (polar && ip == 4) {
        pi = std::fabs(pi);
        pj = std::fabs(pj);
      }
    } else {
      continue;
    }
    if (row.sigma > 0) {
      const double d = (pi - row.ratio * pj - row.zeropt) / row.sigma;
      sum += d * d;
    } else {
      const double r = pi / (row.ratio * pj + row.zeropt);
      if (!(r >= 1e-8)) {
        if (start_model_flag()) fatal("negative numbers associated with lognormal errors in pmatch");
        const double d = pi - row.ratio * pj - row.zeropt;
        sum += (1 + d * d) * kHardPenalty;
        continue;
      }
      const double l = std::log10(r);
      sum += l * l / (row.sigma * row.sigma);
    }
  }
  return sum;
}
