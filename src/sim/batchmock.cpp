// Batch mocks: mock lenses over a grid (or random draws) of model parameters, written as
// a text stream split into per-kind data, model and parameter files, and/or as rows of
// the FITS table of mock lenses.
#include "sim/batchmock.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <vector>

#include "core/lens_model.h"
#include "imageplane/gridcheck.h"
#include "imageplane/images.h"
#include "io/outfile.h"
#include "io/qvmfile.h"
#include "io/scratch_records.h"
#include "models/component.h"
#include "models/evaluator.h"
#include "numeric/constants.h"
#include "numeric/interp.h"
#include "shell/commands.h"
#include "shell/fatal.h"
#include "shell/settings.h"
#include "sim/clumps.h"
#include "sim/mocks.h"
#include "sim/omega.h"

namespace {
constexpr int kMaxImg = 12;
constexpr long kRefusalLimit = 10000;

struct Range {
  int igal, ip;
  double lo, hi, g;
  int steps;
};

struct Batch {
  const char* name;  // "batchmock1" or "batchmock2"
  std::string base;
  int Nsrc = 0, mode = 1, minimg = 0, maximg = 100, noisemode = 0;
  std::string count_word;  // Nsrc as typed, for the refusal of a density
  double noise[4] = {};  // siggal, sigx, sigf, sigt
  std::vector<double> su, sv, sf;  // batchmock2 sources
};

bool quiet_or_verbose(int v) { return quietflag || settings.verbose > v; }

// Counted image: a maximum only when omitcore <= 0.
bool counted(double parity) { return settings.omitcore <= 0 || std::fabs(parity) >= 0.001; }

// Number of component lines writep writes for model 1.
int written_components() {
  int c = 0;
  for (int i = 1; i <= TWgal.NGALMAX; ++i)
    if (TWref.ref[1].names[i] != "none") ++c;
  return c;
}

void split_stream(const Batch& b, long nkind[3], ScratchRecords& tmp) {
  std::vector<std::string> lines;
  {
    FileHandle in = tmp.read_back("batchmock");
    std::string l;
    while (read_line(in, l)) lines.push_back(l);
  }
  const std::string omsg = strformat("could not open %s output file", b.name);
  const char kinds[3] = {'d', 'q', 'o'};
  WholeFile fd[3], fi[3], fs[3], fp[3];
  const int ncomp = written_components();
  for (int k = 0; k < 3; ++k) {
    fd[k] = WholeFile(strformat("%s-%c.dat", b.base.c_str(), kinds[k]), omsg, true);
    fi[k] = WholeFile(strformat("%s-%c.img", b.base.c_str(), kinds[k]), omsg, true);
    fs[k] = WholeFile(strformat("%s-%c.start", b.base.c_str(), kinds[k]), omsg, true);
    fp[k] = WholeFile(strformat("%s-%c-p.dat", b.base.c_str(), kinds[k]), omsg, true);
    if (LOS.on > 0)
      std::fprintf(fs[k], "%d %ld %d\n", ncomp, nkind[k], LOS.on);
    else
      std::fprintf(fs[k], "%d %ld\n", ncomp, nkind[k]);
  }
  auto starts = [](const std::string& l, const char* p) { return l.compare(0, std::strlen(p), p) == 0; };
  size_t i = 0;
  while (i < lines.size()) {
    if (!starts(lines[i], "# source position")) {
      ++i;
      continue;
    }
    size_t end = i + 1;
    while (end < lines.size() && !starts(lines[end], "# source position")) ++end;
    // One record: lines i .. end-1.
    const std::string& src = lines[i];
    if (i + 2 >= end) break;
    const int H = std::atoi(lines[i + 1].c_str());
    const std::string& label = lines[i + 2];
    size_t pline = i + 3;
    while (pline < end && !starts(lines[pline], "# parameters")) ++pline;
    size_t lline = pline;
    while (lline < end && !starts(lines[lline], "# lens data")) ++lline;
    if (pline + 1 >= end || lline + 7 >= end + 1) break;
    const int k = H == 2 ? 0 : H == 4 ? 1 : 2;
    std::fprintf(fd[k], "%s\n%s\n", src.c_str(), label.c_str());
    for (size_t q = lline + 1; q <= lline + 6 && q < end; ++q) std::fprintf(fd[k], "%s\n", lines[q].c_str());
    std::fprintf(fd[k], "%d\n", H);
    for (size_t q = lline + 8; q < end; ++q) {
      std::fprintf(fd[k], "%s\n", lines[q].c_str());
      std::fprintf(fi[k], "%s\n", lines[q].c_str());
    }
    std::fprintf(fd[k], "\n");
    std::fprintf(fs[k], "%s\n", label.c_str());
    for (size_t q = i + 3; q < pline; ++q) std::fprintf(fs[k], "%s\n", lines[q].c_str());
    std::fprintf(fp[k], "%s\n", lines[pline + 1].c_str());
    i = end;
  }
  for (int k = 0; k < 3; ++k)
    for (int g = 1; g <= TWgal.NGALMAX; ++g) {
      if (TWref.ref[1].names[g] == "none") continue;
      for (int j = 1; j <= 10; ++j) std::fprintf(fs[k], " %d", TWref.refv[g][j]);
      std::fprintf(fs[k], "\n");
    }
  for (int k = 0; k < 3; ++k) {
    fd[k].commit();
    fi[k].commit();
    fs[k].commit();
    fp[k].commit();
  }
}

// Parameters of model m (0-based) of the M of the batch into P, its step indices appended
// to label; random ranges draw from uni (uniform) or gau (Gaussian).
void model_parameters(const std::vector<Range>& ranges, long m, long M, const LensModel& ref, Mat& P,
                      std::string& label, RandomStream& uni, RandomStream& gau) {
  for (int i = 1; i <= TWgal.NGALMAX; ++i)
    for (int j = 1; j <= 10; ++j) P[i][j] = ref.p[i][j];
  long r = m, D = M;
  for (const Range& rg : ranges) {
    D /= std::abs(rg.steps);
    const long k = r / D;
    label += strformat(" %ld", k + 1);
    r %= D;
    double t = 0;
    if (rg.steps == 1) {
      t = 0;
    } else if (rg.steps > 1 && rg.g >= 0) {
      t = static_cast<double>(k) / (rg.steps - 1);
    } else if (rg.steps > 1) {
      const double R = rg.hi / rg.lo;
      t = (std::pow(R, static_cast<double>(k) / (rg.steps - 1)) - 1.0) / (R - 1.0);
    } else if (rg.g > 0) {
      double N;
      do N = gasdev(gau);
      while (std::fabs(N) > rg.g);
      t = (N / rg.g + 1.0) / 2.0;
    } else {
      t = ran2(uni);
    }
    P[rg.igal][rg.ip] = (1.0 - t) * rg.lo + t * rg.hi;
  }
}

// Loads P as the batch runs it (lens planes, line-of-sight shear, clumps drawn for the
// trial model, then the grid) and returns its penalty.
double load_model(const LensModel& ref, const Mat& P, bool clumps, RandomStream& cnt, RandomStream& uni,
                  RandomStream& gau) {
  for (int i = 1; i <= TWref.Ngal; ++i) TWgal.refon[i] = 1;
  Vec z = ref.z;
  initLOS(z);
  double pen = 0;
  if (LOS.shearmode == 2) {
    pen = initmodel(ref.names, P, ref.z, 0);
    if (pen <= 0) initLOSshear();
  }
  if (clumps) {
    // The clumps follow the trial model: load it, draw, then build the grid.
    pen = initmodel(ref.names, P, ref.z, 0);
    if (pen <= 0) do_drawclumps(cnt, uni, gau);
  }
  if (pen <= 0) pen = initmodel(ref.names, P, ref.z, settings.gridflag);
  return pen;
}

// Sources to draw for a model whose caustic points reach umax: Nsrc, or for a negative
// Nsrc the density's count, which must give a lens (as mocklens refuses one).
long draw_target(const Batch& b, double umax) {
  return b.Nsrc >= 0 ? b.Nsrc : density_sources(b.name, b.count_word, -b.Nsrc, kPi * umax * umax, 1);
}

// Screen output sent nowhere while it lives.
class Unheard {
 public:
  Unheard() : saved_(QVMstdout), null_(std::fopen("/dev/null", "w")) {
    if (null_) QVMstdout = null_;
  }
  ~Unheard() {
    QVMstdout = saved_;
    if (null_) std::fclose(null_);
  }
  Unheard(const Unheard&) = delete;
  Unheard& operator=(const Unheard&) = delete;

 private:
  FILE* saved_;
  FILE* null_;
};

// Before anything is written or drawn: loads every model of a batch whose models are all
// known in advance (no random range, no clumps), builds its grid and checks that it holds
// every image of the model's sources; ends the program naming a grid that holds them for
// every model when one does not. Prints nothing: the batch loads each model again.
void check_every_model(const Batch& b, bool fromfile, const std::vector<Range>& ranges, long M,
                       const std::vector<SourceDisc>& listed) {
  const LensModel& ref = TWref.ref[1];
  Mat P(1, TWgal.NGALMAX, 1, 10);
  RandomStream unused(settings.seed);
  GridNeed need;
  {
    const Unheard quiet;
    for (long m = 0; m < M; ++m) {
      std::string label;
      model_parameters(ranges, m, M, ref, P, label, unused, unused);
      if (load_model(ref, P, false, unused, unused, unused) > 0) continue;
      const std::string who = strformat("%s, model %ld", b.name, m + 1);
      if (fromfile) {
        need.add(who, listed);
        continue;
      }
      double ug, vg, umax;
      get_umax(ug, vg, umax);
      if (umax > 0 && draw_target(b, umax) >= 1) need.add(who, {{ug, vg, umax}});
    }
  }
  need.require();
}

// Reads the command's words into b and checks them; returns the source file's name
// (batchmock2).
std::string read_batch_words(const WordArray& words, bool fromfile, Batch& b) {
  const int nw = words.own_count();
  b.base = words[1];
  b.Nsrc = words.signed_count(2, "number of sources");
  b.count_word = words[2];
  int w = 3;
  std::string srcfile;
  if (fromfile)
    srcfile = words[w++];
  else
    b.mode = nw > w ? words.finite_int(w++, words[0]) : (w++, 1);
  b.minimg = nw > w ? words.signed_count(w, "minimum number of images") : 0;
  ++w;
  for (int k = 0; k < 4; ++k, ++w) b.noise[k] = nw > w ? words.finite(w, words[0]) : 0.0;
  b.noisemode = nw > w ? static_cast<int>(usable_truncation(words[0], words[w], words.finite(w, words[0]),
                                                             "noise mode", -kIntWordLimit, kIntWordLimit))
                       : 0;
  if (b.minimg < 0) b.minimg = b.maximg = -b.minimg;
  const double siggal = b.noise[0], sigf = b.noise[2];
  if (siggal < 0) fatal(strformat("in %s: siggal cannot be negative", b.name));
  if (b.noise[1] < 0) fatal(strformat("in %s: sigx cannot be negative", b.name));
  if (b.noise[3] < 0) fatal(strformat("in %s: sigt cannot be negative", b.name));
  if (!fromfile && b.mode != 1 && b.mode != 2) fatal(strformat("unknown source mode in %s", b.name));
  if (!quietflag) {
    if (sigf < -1e-6) note(strformat("in %s: using fractional flux errors", b.name));
    if (sigf > 1e-6) note(strformat("in %s: using absolute flux errors", b.name));
  }
  return srcfile;
}

// The batchmock2 source list: the whole file, or its first Nsrc entries.
void read_source_list(Batch& b, const std::string& srcfile) {
  FileHandle fsrc(QVMfopen(srcfile, "r", "could not open batchmock2 source file"));
  WordArray line;
  while ((b.Nsrc <= 0 || static_cast<int>(b.su.size()) < b.Nsrc) && myread(fsrc, line) > 0) {
    if (line.own_count() < 2) continue;
    b.su.push_back(line.finite(0, b.name));
    b.sv.push_back(line.finite(1, b.name));
    b.sf.push_back(line.own_count() > 2 ? line.finite(2, b.name) : 1.0);
  }
  if (b.Nsrc <= 0 && !quiet_or_verbose(2)) qprintf("batchmock2: number of sources = %d\n", (int)b.su.size());
}

// Ranges of the varied parameters, asked for on the input one by one.
std::vector<Range> read_ranges(const Batch& b) {
  std::vector<Range> ranges;
  for (int i = 1; i <= TWgal.NGALMAX; ++i)
    for (int j = 1; j <= 10; ++j) {
      if (i > TWref.refv.rhi() || TWref.refv[i][j] == 0) continue;
      qprintf("Enter <lo> <hi> <#steps> for igal,ip= %d %d\n", i, j);
      WordArray line;
      if (myread(QVMstdin, line) == 0 || line.own_count() < 3) fatal(strformat("too few entries in %s", b.name));
      Range r{i, j, line.finite(0, b.name), line.finite(1, b.name), 0.0,
              static_cast<int>(usable_integer(b.name, line[2], "number of steps", -kCountLimit, kCountLimit))};
      if (line.own_count() > 3 && line[3] == "log") r.g = -1;
      if (line.own_count() > 4 && line[3] == "gaus") r.g = line.finite(4, b.name);
      if (r.steps > 1 && r.g < 0 && std::fabs(r.hi / r.lo - 1.0) < 1e-10)
        fatal("batchmock: range cannot be 0 with log steps");
      ranges.push_back(r);
    }
  return ranges;
}

// Number of models the ranges ask for; random is set when a range draws at random.
long count_models(const Batch& b, const std::vector<Range>& ranges, bool& random) {
  long M = 1;
  random = false;
  for (const Range& r : ranges) {
    constexpr long kModelLimit = kCountLimit * 10000L;
    if (r.steps != 0 && M > kModelLimit / std::abs(r.steps))
      fatal(strformat("in %s: the ranges ask for more than %ld models", b.name, kModelLimit));
    M *= std::abs(r.steps);
    if (r.steps < 1 && r.steps != 0) random = true;
  }
  return M;
}

bool clumps_drawn() {
  bool clumps = false;
  for (int i = TWclump.clumpdat.lo(); i <= TWclump.clumpdat.hi(); ++i)
    if (TWclump.clumpdat[i].type > 0) clumps = true;
  return clumps;
}

// Where the batch writes: the text stream (split at the end) and/or the FITS table.
struct BatchOutput {
  bool text = false, fits = false, fits_made = false;
  ScratchRecords ftmp;
  std::string fitsname;
};

void open_batch_output(const Batch& b, BatchOutput& out) {
  const int bw = settings.batchwrite;
  out.text = bw == 1 || bw == 3;
  out.fits = bw == 2 || bw == 3;
  if (out.text) out.ftmp = ScratchRecords(b.base + ".tmp", strformat("could not open %s output file", b.name), true);
  out.fitsname = b.base + ".fits";
  out.fits_made = out.fits && !exists(out.fitsname);
  if (out.fits) {
    write_header_create_table(out.fitsname, "MODEL_REALISATIONS", TWgal.NGALMAX, 1, settings.shrcoords, b.noise,
                              settings.omega, settings.lambda, settings.hval);
    qprintf("Opened output FITS file: %s\n", out.fitsname.c_str());
  }
}

// Removes the files the batch began.
void discard_files(const Batch& b, BatchOutput& out) {
  if (out.text) {
    out.ftmp.close();
    std::remove((b.base + ".tmp").c_str());
  }
  if (out.fits_made) std::remove(out.fitsname.c_str());
}

// A model that fails the grid check as the batch runs ends it without the files it began.
void require_held(const Batch& b, BatchOutput& out, const std::string& who, const std::vector<SourceDisc>& discs) {
  GridNeed need;
  if (need.add(who, discs)) return;
  discard_files(b, out);
  need.require();
}

// What the batch carries from model to model: its random streams, the model's parameters,
// the images of the current source, and the counts of the lenses written.
struct BatchState {
  RandomStream uni, gau, cnt;
  Mat P;
  long nkind[3] = {0, 0, 0};
  int ndouble = 0, nquad = 0, nother = 0;
  int n = 0;
  Mat list, img;
  explicit BatchState(long seed)
      : uni(seed), gau(seed), cnt(seed), P(1, TWgal.NGALMAX, 1, 10), img(1, kMaxImg, 1, 4) {}
};

// Loads model m, drawing its random parameters again (up to kRefusalLimit times) while
// they are out of bounds; false when the model is skipped.
bool load_batch_model(const Batch& b, const std::vector<Range>& ranges, long m, long M, bool random, bool clumps,
                      BatchState& st, std::string& label) {
  const LensModel& ref = TWref.ref[1];
  for (long refused = 0;; ++refused) {
    label = strformat("# model %ld indices", m + 1);
    model_parameters(ranges, m, M, ref, st.P, label, st.uni, st.gau);
    if (load_model(ref, st.P, clumps, st.cnt, st.uni, st.gau) <= 0) return true;
    if (!random || refused + 1 >= kRefusalLimit) {
      warning(strformat("parameters out of bounds in %s; model %ld skipped", b.name, m + 1));
      return false;
    }
    if (!quiet_or_verbose(1)) warning(strformat("parameters out of bounds in %s; retrying", b.name));
  }
}

// The observed images of one source: noise drawn before (noise mode 1) or after (mode 2)
// the positions are taken relative to the galaxy and the delays to the leading image.
// Returns the summed flux; lead is the leading image, gx, gy the galaxy's offset.
double observe_images(const Batch& b, BatchState& st, double xg, double yg, int& lead, double& gx, double& gy) {
  const double siggal = b.noise[0], sigx = b.noise[1], sigf = b.noise[2], sigt = b.noise[3];
  Mat& list = st.list;
  const int n = st.n;
  RandomStream& gau = st.gau;
  // The flux takes the sign of the parity.
  for (int i = 1; i <= n; ++i) list[i][3] = list[i][9] == -1 ? -std::fabs(list[i][3]) : std::fabs(list[i][3]);
  double cx = xg, cy = yg;
  gx = gy = 0;
  auto image_noise = [&](int i, bool after, int leading) {
    if (sigx > 0) {
      list[i][1] += sigx * gasdev(gau);
      list[i][2] += sigx * gasdev(gau);
    }
    if (std::fabs(sigf) > 1e-6) {
      const double f = list[i][3];
      list[i][3] += sigf > 0 ? std::fabs(sigf) * gasdev(gau) : std::fabs(sigf * f) * gasdev(gau);
    }
    if (sigt > 0) list[i][4] += (after && i == leading ? 0.01 : sigt) * gasdev(gau);
  };
  if (b.noisemode == 1) {
    if (siggal > 0) {
      cx += siggal * gasdev(gau);
      cy += siggal * gasdev(gau);
    }
    for (int i = 1; i <= n; ++i) image_noise(i, false, 0);
  }
  lead = 0;
  double tmin = 1e6;
  for (int i = 1; i <= n; ++i) {
    list[i][1] -= cx;
    list[i][2] -= cy;
    if (list[i][4] < tmin) tmin = list[i][4], lead = i;
  }
  if (lead > 0)
    for (int i = 1; i <= n; ++i) list[i][4] -= tmin;
  double J = 0;
  for (int i = 1; i <= n; ++i) J += std::fabs(list[i][3]);
  if (b.noisemode == 2) {
    if (siggal > 0) {
      gx = siggal * gasdev(gau);
      gy = siggal * gasdev(gau);
    }
    for (int i = 1; i <= n; ++i) image_noise(i, true, lead);
  }
  return J;
}

// Writes a kept lens of model m, labelled by its kind and its number among that kind.
void write_lens(const Batch& b, BatchOutput& out, BatchState& st, long m, const std::string& label, int H, double u,
                double v, double gx, double gy, int lead) {
  std::string lab;
  int kind;
  if (H == 2)
    lab = strformat("%s double %d", label.c_str(), ++st.ndouble), kind = 0;
  else if (H == 4)
    lab = strformat("%s quad %d", label.c_str(), ++st.nquad), kind = 1;
  else
    lab = strformat("%s other %d", label.c_str(), ++st.nother), kind = 2;
  ++st.nkind[kind];
  if (out.text) {
    const int kc = kind == 0 ? st.ndouble : kind == 1 ? st.nquad : st.nother;
    batchmock1write(out.ftmp.out(), lab, kc, st.P, b.noise, st.n, u, v, gx, gy, H, st.list, lead);
  }
  if (out.fits) {
    int k = 0;
    for (int i = 1; i <= st.n; ++i)
      if (counted(st.list[i][9])) {
        ++k;
        for (int q = 1; q <= 4; ++q) st.img[k][q] = st.list[i][q];
      }
    write_table(out.fitsname, "MODEL_REALISATIONS", TWgal.NGALMAX, settings.shrcoords, static_cast<int>(m + 1), st.P,
                TWclump.clumpdat, settings.zlens, settings.zsrc, u, v, k, st.img, st.ndouble, st.nquad, settings.seed,
                TWclump.NFWclumparr);
  }
}

// Where the sources of one model come from: the list (batchmock2) or draws about the
// caustics until target lenses are kept (batchmock1).
struct SourcePlan {
  double xg = 0, yg = 0, ug = 0, vg = 0, umax = 0, rimg = 0;
  long target = 0;
};

// Sets up the sources of model m; false when the model gives no sources.
bool plan_sources(bool fromfile, bool known, const Batch& b, BatchOutput& out,
                  const std::vector<SourceDisc>& listed, long m, SourcePlan& sp) {
  sp.xg = getp(1, 2);
  sp.yg = getp(1, 3);
  if (!fromfile) {
    get_umax(sp.ug, sp.vg, sp.umax);
    if (sp.umax <= 0) {
      warning(strformat("in %s: no caustic point counts for model %ld, so no sources are drawn", b.name, m + 1));
      return false;
    }
    if (b.mode == 2)
      sp.rimg = mock_image_radius(strformat("for %s, grid may not cover full multiply imaged region", b.name), sp.xg,
                                  sp.yg, sp.ug, sp.vg, sp.umax);
    // Models known in advance had their densities checked before any file was begun.
    try {
      sp.target = draw_target(b, sp.umax);
    } catch (const FatalError&) {
      discard_files(b, out);
      throw;
    }
    if (sp.target < 1) return false;
    if (!known) require_held(b, out, strformat("%s, model %ld", b.name, m + 1), {{sp.ug, sp.vg, sp.umax}});
  } else if (!known) {
    require_held(b, out, strformat("%s, model %ld", b.name, m + 1), listed);
  }
  return true;
}

// Runs the sources of model m, writing every lens that passes the selection.
void run_model_sources(bool fromfile, const Batch& b, BatchOutput& out, BatchState& st, const SourcePlan& sp,
                       long m, const std::string& label) {
  long kept = 0, tried = 0, since = 0;
  const long nlist = static_cast<long>(b.su.size());
  for (long s = 0;; ++s) {
    double u, v, L;
    if (fromfile) {
      if (s >= nlist) break;
      if ((s + 1) % 1000 == 0) qprintf("Source %ld/%ld\n", s + 1, nlist);
      u = b.su[static_cast<size_t>(s)], v = b.sv[static_cast<size_t>(s)], L = b.sf[static_cast<size_t>(s)];
    } else {
      if (kept >= sp.target) break;
      mock_draw_source(st.uni, b.mode, sp.xg, sp.yg, sp.rimg, sp.ug, sp.vg, sp.umax, b.name, tried, kept, since, u,
                       v);
      ++tried;
      if (tried % 1000 == 0) qprintf("Sources tried/kept: %ld %ld\n", tried, kept);
      L = mockflux();
    }
    find_img(st.n, st.list, u, v);
    if (st.n > kMaxImg) {
      warning(strformat("too many images in %s", b.name));
      st.n = kMaxImg;
    }
    const int H = mock_classify(st.n, st.list, u, v, L);
    int lead;
    double gx, gy;
    const double J = observe_images(b, st, sp.xg, sp.yg, lead, gx, gy);
    const bool selected = J > TWmock.mock_Llim && H >= b.minimg && H <= b.maximg;
    if (!selected) {
      if (!fromfile && ++since >= mock_draw_limit)
        fatal(strformat("in %s: %ld sources drawn in a row with none kept (drawn %ld, kept %ld)", b.name,
                        mock_draw_limit, tried, kept));
      continue;
    }
    since = 0;
    ++kept;
    write_lens(b, out, st, m, label, H, u, v, gx, gy, lead);
  }
}

void run_batch(const WordArray& words, bool fromfile) {
  Batch b;
  b.name = fromfile ? "batchmock2" : "batchmock1";
  require_model();
  const std::string srcfile = read_batch_words(words, fromfile, b);
  if (fromfile) read_source_list(b, srcfile);
  const std::vector<Range> ranges = read_ranges(b);
  bool random = false;
  const long M = count_models(b, ranges, random);

  const bool clumps = clumps_drawn();
  std::vector<SourceDisc> listed;
  for (size_t s = 0; s < b.su.size(); ++s) listed.push_back({b.su[s], b.sv[s], 0.0});
  // Models drawn at random, or with clumps drawn for them, are known only as the batch
  // runs; those are checked one by one as they are loaded.
  const bool known = !random && !clumps;
  if (known) check_every_model(b, fromfile, ranges, M, listed);

  BatchOutput out;
  open_batch_output(b, out);
  BatchState st(settings.seed);
  for (long m = 0; m < M; ++m) {
    std::string label;
    if (!load_batch_model(b, ranges, m, M, random, clumps, st, label)) continue;
    SourcePlan sp;
    if (!plan_sources(fromfile, known, b, out, listed, m, sp)) continue;
    run_model_sources(fromfile, b, out, st, sp, m, label);
  }
  if (out.text) split_stream(b, st.nkind, out.ftmp);
}
}  // namespace

void batchmock1write(FILE* f, const std::string& label, int kindcount, const Mat& params, const double noise[4], int n,
                     double u, double v, double gx, double gy, int H, const Mat& images, int leading) {
  std::vector<int> order;
  for (int i = 1; i <= n; ++i) order.push_back(i);
  std::stable_sort(order.begin(), order.end(), [&](int a, int b) { return images[a][4] < images[b][4]; });
  std::fprintf(f, "# source position: %e %e\n", u, v);
  std::fprintf(f, "%d\n", H);
  std::fprintf(f, "%s\n", label.c_str());
  writep(f, TWref.ref[1].names, params);
  std::fprintf(f, "# parameters\n");
  std::fprintf(f, "%d", kindcount);
  for (int i = 1; i <= TWgal.NGALMAX; ++i)
    for (int j = 1; j <= 10; ++j)
      if (i <= TWref.refv.rhi() && TWref.refv[i][j] != 0) std::fprintf(f, " %13.6e", params[i][j]);
  std::fprintf(f, "\n");
  std::fprintf(f, "# lens data\n1\n%e %e %e\n", gx, gy, std::fabs(noise[0]));
  for (int k = 0; k < 3; ++k) std::fprintf(f, "0.0 10000.0\n");
  std::fprintf(f, "1\n%d\n", H);
  const double sigx = noise[1], sigf = noise[2], sigt = noise[3];
  for (int i : order) {
    if (!counted(images[i][9])) continue;
    const double ferr = sigf > 0 ? std::fabs(sigf) : std::fabs(sigf * images[i][3]);
    std::fprintf(f, "%13.6e %13.6e %13.6e %13.6e %13.6e %13.6e %13.6e\n", images[i][1], images[i][2], images[i][3],
                 std::fabs(sigx), ferr, images[i][4], i == leading ? 0.01 : sigt);
  }
  flush_record(f);
}

void batchmock1(const WordArray& words) { run_batch(words, false); }
void batchmock2(const WordArray& words) { run_batch(words, true); }

namespace {
}  // namespace

