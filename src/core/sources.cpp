// Source-model and vary commands: setsource, turnoff, turnon, changevary, changevarysrc,
// stepsize and minstepsize.
#include "core/sources.h"

#include <algorithm>

#include "core/lens_model.h"
#include "imageplane/source_models.h"
#include "io/qvmfile.h"
#include "models/component.h"
#include "shell/commands.h"
#include "shell/fatal.h"
#include "shell/settings.h"

StepSizes TWstep;

namespace {

// Reads the next data line; false at the end of the input.
bool next_line(FILE* in, WordArray& w) {
  w = WordArray();
  return myread(in, w) == 1;
}

// Reads a line of at least `need` words of its own; the end of the input counts as a
// line with too few words.
void read_words(FILE* in, WordArray& w, int need, const char* message) {
  if (!next_line(in, w) || w.own_count() < need) fatal(message);
}

// Integer k of the line's own words, 0 past them.
int own_int(const WordArray& w, int k) { return k < w.own_count() ? w.int_value(k) : 0; }

void default_component_steps(BRow<double> r) {
  const double s = 0.01 * settings.rscale, a = settings.shrcoords == 1 ? 0.01 : 1.0;
  const double v[11] = {0, s, s, s, 0.01, a, 0.01, a, s, s, 0.01};
  for (int k = 1; k <= 10; ++k) r[k] = v[k];
}

void default_source_steps(BRow<double> r) {
  const double s = 0.01 * settings.rscale, a = settings.shrcoords == 1 ? 0.01 : 1.0;
  const double v[11] = {0, 0.01, s, s, 0.01, a, s, s, 0.01, 0, 0};
  for (int k = 1; k <= 10; ++k) r[k] = v[k];
}

// Creates the table with default steps, or brings it to the current counts.
void make_pstep() {
  StepSizes& st = TWstep;
  if (!st.made) {
    const int ng = TWgal.NGALMAX, ns = TWsrc.NSRCMAX;
    st.pstep.reset(1, ng + ns, 1, 10);
    for (int i = 1; i <= ng; ++i) default_component_steps(st.pstep[i]);
    for (int i = 1; i <= ns; ++i) default_source_steps(st.pstep[ng + i]);
    st.ngal = ng;
    st.nsrc = ns;
    st.made = true;
    return;
  }
  update_pstep();
}

// Shared worker of turnoff (value 0) and turnon (value 1).
void switch_components(const WordArray& words, int value, const char* name) {
  const int nw = words.own_count();
  const char* state = value ? "on" : "off";
  qprintf("In %s:\n", name);
  enum class Mode { Unset, Gal, Src } mode = Mode::Unset;
  for (int a = 1; a < nw; ++a) {
    const std::string& word = words[a];
    if (word == "status") {
      qprintf("Current status of mass model components:\n");
      for (int i = 1; i <= TWref.Ngal && i <= TWgal.NGALMAX; ++i)
        qprintf("  gal #%d %s\n", i, TWgal.refon[i] ? "on" : "off");
      qprintf("Current status of source components:\n");
      for (int i = 1; i <= TWsrc.Nsource; ++i) qprintf("  src #%d %s\n", i, TWsrc.srcon[i] ? "on" : "off");
    } else if (word == "gal") {
      mode = Mode::Gal;
    } else if (word == "src") {
      mode = Mode::Src;
    } else {
      const long idx = words.integer(a);
      if (mode == Mode::Gal) {
        if (idx < 1 || idx > TWref.Ngal || idx > TWgal.NGALMAX) {
          refuse(strformat("ignoring galaxy index %ld (out of range)", idx), "Note");
        } else {
          TWgal.refon[idx] = value;
          qprintf("Turning %s galaxy #%ld\n", state, idx);
        }
      } else if (mode == Mode::Src) {
        if (idx < 1 || idx > TWsrc.Nsource) {
          refuse(strformat("ignoring source index %ld (out of range)", idx), "Note");
        } else {
          TWsrc.srcon[idx] = value;
          qprintf("Turning %s source #%ld\n", state, idx);
        }
      } else {
        refuse(strformat("mode has not been set properly in %s", name));
      }
    }
  }
}

}  // namespace

// ---- step sizes ----

void update_pstep() {
  StepSizes& st = TWstep;
  const int ng = TWgal.NGALMAX, ns = TWsrc.NSRCMAX;
  if (!st.made || (st.ngal == ng && st.nsrc == ns)) return;
  Mat fresh(1, ng + ns, 1, 10);
  for (int i = 1; i <= ng; ++i) {
    if (i <= st.ngal) {
      for (int k = 1; k <= 10; ++k) fresh[i][k] = st.pstep[i][k];
    } else {
      default_component_steps(fresh[i]);
    }
  }
  for (int i = 1; i <= ns; ++i) {
    if (i <= st.nsrc) {
      for (int k = 1; k <= 10; ++k) fresh[ng + i][k] = st.pstep[st.ngal + i][k];
    } else {
      default_source_steps(fresh[ng + i]);
    }
  }
  st.pstep = std::move(fresh);
  st.ngal = ng;
  st.nsrc = ns;
}

void minstepsize() { make_pstep(); }

// ---- writesrc ----

void writesrc(FILE* stream, const BVec<std::string>& names, const Mat& params) {
  for (int i = 1; i <= TWsrc.NSRCMAX; ++i) {
    if (names[i] == "none") continue;
    std::string line = strformat("%8s", names[i].c_str());
    for (int k = 1; k <= 8; ++k) line += params[i][k] == 0.0 ? std::string(" 0.0") : strformat(" %e", params[i][k]);
    std::fprintf(stream, "%s\n", line.c_str());
  }
}

// ---- setsource ----

void setsource(const WordArray& words) {
  const int nw = words.own_count();
  FileHandle file;
  FILE* in = QVMstdin;
  long n;
  double rays;
  if (nw == 2) {
    file = FileHandle(QVMfopen(words[1], "r", "could not open setsource input file"));
    in = file;
    WordArray h;
    next_line(in, h);  // an empty file reads as a header of zero sources
    n = h.own_count() > 0 ? h.finite_integer(0, "setsource") : 0;
    rays = h.own_count() > 1 ? h.finite(1, "setsource") : 0.0;
  } else {
    n = words.finite_integer(1, "setsource");
    rays = words.finite(2, "setsource");
  }
  if (n <= 0) fatal("number of sources must be positive");
  if (n > 2147483647L) fatal("number of sources is too large");

  InitSrcArr(static_cast<int>(n), rays);
  const int ns = TWsrc.NSRCMAX;
  BVec<std::string> names(1, ns);
  Mat params(1, ns, 1, 8);
  qprintf("Enter sources:\n");
  WordArray w;
  for (int i = 1; i <= ns; ++i) {
    read_words(in, w, 9, "in setsource, you gave too few parameters.");
    names[i] = w[0];
    for (int k = 1; k <= 8; ++k) params[i][k] = w.finite(k, "setsource");
    // A source that cannot be imaged is refused here, before anything derives from it.
    if (!is_source_class(names[i])) fatal("unknown source type: " + names[i]);
    double excess;
    std::string fault = source_shape_fault(names[i], params[i][6], params[i][8], excess);
    if (fault.empty()) fault = source_rays_fault(names[i], params[i][8], rays, excess);
    if (!fault.empty()) fatal(strformat("setsource: source %d: %s", i, fault.c_str()));
  }
  if (initsrcmod(names, params) > 0) fatal("in initsrcmod called from setsource");
  qprintf("For each source, enter what to vary:\n");
  for (int i = 1; i <= ns; ++i) {
    read_words(in, w, 8, "in setsource, you gave too few vary flags.");
    for (int k = 1; k <= 8; ++k) TWsrc.srcvary[i][k] = w.finite_int(k - 1, "setsource");
  }
}

// ---- turnoff / turnon ----

void turnoff(const WordArray& words) {
  switch_components(words, 0, "turnoff");
}

void turnon(const WordArray& words) {
  switch_components(words, 1, "turnon");
}

// ---- vary flags ----

void changevary(const WordArray& words) {
  const long mode = words.integer(1);
  const int n = TWref.Ngal;
  WordArray w;
  // A line sets the ten flags of component j; eight or nine flags leave the rest 0.
  auto read_flags = [&w](int j) {
    read_words(QVMstdin, w, 8, "you gave too few vary flags.");
    for (int k = 1; k <= 10; ++k) TWref.refv[j][k] = own_int(w, k - 1);
  };
  if (mode < 0) {
    if (!quietflag) qprintf("Enter what to vary for each galaxy:\n");
    for (int j = 1; j <= n; ++j) read_flags(j);
  } else if (mode == 0) {
    for (int j = 1; j <= n; ++j)
      for (int k = 1; k <= 10; ++k) TWref.refv[j][k] = 0;
  } else {
    require_model();
    if (mode > n) fatal(strformat("galaxy index %ld is out of range", mode));
    const int j = static_cast<int>(mode);
    qprintf("Enter what to vary for galaxy #%d:\n", j);
    read_flags(j);
    qprintf("New vary flags for galaxy #%d:\n", j);
    for (int k = 1; k <= 10; ++k) qprintf(" %d", TWref.refv[j][k]);
    qprintf("\n");
  }
}

void changevarysrc(const WordArray& words) {
  const long mode = words.integer(1);
  SourceModel& s = TWsrc;
  if (mode == 1) {
    if (!quietflag) qprintf("Enter what to vary for each source:\n");
    WordArray w;
    for (int i = 1; i <= s.NSRCMAX; ++i) {
      read_words(QVMstdin, w, 6, "you gave too few vary flags.");
      for (int k = 1; k <= 8; ++k) s.srcvary[i][k] = own_int(w, k - 1);
    }
  } else if (mode == 0) {
    s.srcvary.fill(0);
  } else {
    fatal("unknown changevarysrc mode");
  }
}

// ---- stepsize ----

void stepsize(const WordArray& words) {
  const int nw = words.own_count();
  enum class Action { Init, All, One } action;
  long g = 0, srcmode = 0;
  if (nw <= 1 || (nw == 2 && words.is_number(1) && words.integer(1) == 0)) {
    action = Action::All;
  } else if (words[1] == "all") {
    action = Action::All;
    srcmode = nw > 2 ? words.integer(2) : 0;
  } else if (words[1] == "init") {
    action = Action::Init;
  } else {
    g = words.integer(1);
    action = g == 0 ? Action::Init : g < 0 ? Action::All : Action::One;
    srcmode = nw > 2 ? words.integer(2) : 0;
  }
  if (action == Action::One) {
    require_model();
    if (g > TWref.Ngal) fatal(strformat("galaxy index %ld is out of range", g));
  }

  make_pstep();
  Mat& ps = TWstep.pstep;
  const int n = std::min(TWref.Ngal, TWgal.NGALMAX);
  const bool report = !quietflag && settings.verbose <= 2;
  WordArray w;
  auto read_steps = [&](int row) {
    read_words(QVMstdin, w, 10, "in stepsize, you gave too few parameters.");
    for (int k = 1; k <= 10; ++k) ps[row][k] = w.real(k - 1);
  };
  switch (action) {
    case Action::Init:
      if (report) qprintf("Initializing stepsize to 0 for all galaxy parameters\n");
      for (int j = 1; j <= n; ++j)
        for (int k = 1; k <= 10; ++k) ps[j][k] = 0.0;
      break;
    case Action::All:
      qprintf("Enter step sizes for all galaxies:\n");
      for (int j = 1; j <= n; ++j) read_steps(j);
      break;
    case Action::One:
      qprintf("Enter step sizes for galaxy #%ld:\n", g);
      read_steps(static_cast<int>(g));
      break;
  }
  if (report) {
    qprintf("stepsize array for galaxy parameters:\n");
    for (int j = 1; j <= n; ++j) {
      for (int k = 1; k <= 10; ++k) qprintf(" %e", ps[j][k]);
      qprintf("\n");
    }
  }

  const int ng = TWstep.ngal, ns = TWstep.nsrc;
  if (srcmode != 0) {
    qprintf("Enter step sizes for all source model parameters:\n");
    for (int i = 1; i <= ns; ++i) {
      read_words(QVMstdin, w, 8, "in stepsize, you gave too few parameters.");
      for (int k = 1; k <= 8; ++k) ps[ng + i][k] = w.real(k - 1);
    }
  } else {
    if (report) qprintf("Initializing stepsize to 0 for all source parameters\n");
    for (int i = 1; i <= ns; ++i)
      for (int k = 1; k <= 8; ++k) ps[ng + i][k] = 0.0;
  }
}

