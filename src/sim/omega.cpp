// Simulation output files: the FITS table of mock lenses, the record files and their
// merge, and the two-step simulation over clump realisations.
#include "sim/omega.h"

#include <fcntl.h>
#include <fitsio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>

#include "core/lens_model.h"
#include "imageplane/images.h"
#include "io/outfile.h"
#include "io/qvmfile.h"
#include "models/evaluator.h"
#include "numeric/constants.h"
#include "shell/commands.h"
#include "shell/fatal.h"
#include "shell/settings.h"
#include "sim/clumps.h"

OmegaWriteState TWomega;

namespace {
constexpr int kNameField = 132;

const char* const kCartesian[4] = {"E_C", "E_S", "G_C", "G_S"};
const char* const kPolar[4] = {"ELLIP", "POSANGLE", "SHEAR", "SHRANGLE"};

// Closes a FITS file on every path (the status of the close is not needed).
struct FitsFile {
  fitsfile* f = nullptr;
  ~FitsFile() {
    if (f) {
      int s = 0;
      ffclos(f, &s);
    }
  }
};

void say_line(const std::string& s) { qprintf("%s\n", s.c_str()); }

// Number of lenses and coordinate word of an open table.
bool table_matches(fitsfile* f, int N, int coord, const std::string& file) {
  int status = 0, nl = 0;
  char cw[FLEN_VALUE] = {};
  ffgky(f, TINT, "N_LENSES", &nl, nullptr, &status);
  ffgky(f, TSTRING, "COORD", cw, nullptr, &status);
  const char* want = coord == 1 ? "CARTESIAN" : "POLAR";
  if (status || nl != N || std::strcmp(cw, want) != 0) {
    say_line(strformat("FITS table of %s holds %d lenses in %s coordinates, not %d in %s: no rows written",
                       file.c_str(), nl, cw, N, want));
    return false;
  }
  return true;
}

// Opens the file for update and moves to the table (one line of report on failure).
bool open_table(FitsFile& ff, const std::string& file, const std::string& extname) {
  int status = 0;
  if (ffopen(&ff.f, file.c_str(), READWRITE, &status)) {
    ff.f = nullptr;
    say_line("Unable to open file");
    return false;
  }
  if (ffmnhd(ff.f, BINARY_TBL, const_cast<char*>(extname.c_str()), 0, &status)) {
    say_line("Correct HDU does not exist");
    return false;
  }
  return true;
}

// Size of a file, -1 when it cannot be looked at.
long long file_size(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : -1;
}

// Reads n bytes at offset; false when the file holds fewer.
bool read_at(int fd, long long offset, std::string& bytes, long long n) {
  bytes.assign(static_cast<size_t>(std::max(0LL, n)), '\0');
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t r =
        ::pread(fd, &bytes[done], bytes.size() - done, static_cast<off_t>(offset + static_cast<long long>(done)));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    done += static_cast<size_t>(r);
  }
  return true;
}

bool write_at(int fd, long long offset, const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t w =
        ::pwrite(fd, &bytes[done], bytes.size() - done, static_cast<off_t>(offset + static_cast<long long>(done)));
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return false;
    done += static_cast<size_t>(w);
  }
  return true;
}

// Why a file falls short of end bytes: a write of its last byte, which allocates what the
// missing part needed, gives the system's reason (0 when the system now takes it).
int shortfall_reason(const std::string& path, long long end) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
  if (fd < 0) return errno;
  const char zero = 0;
  const int err = ::pwrite(fd, &zero, 1, static_cast<off_t>(end - 1)) == 1 ? 0 : errno;
  ::close(fd);
  return err;
}

// The library writes through a buffered stream and does not report the writes of it that
// the system refused: a file is whole only when its size on disk reaches where its last HDU
// ends (bytes after it, which the library ignores, do not count). Closes f and returns 0, or
// the library's status of the failure (WRITE_ERROR for a file shorter than written), with
// errnum the system's reason when known.
int close_checked(fitsfile*& f, const std::string& path, int& errnum) {
  int status = 0;
  errnum = 0;
  ffflus(f, &status);  // everything to the system, while the HDUs can still be looked at
  int nhdu = 0, cur = 0;
  LONGLONG head = 0, data = 0, end = -1;
  if (!status) {
    ffthdu(f, &nhdu, &status);
    ffghdn(f, &cur);
    if (!status && cur != nhdu) ffmahd(f, nhdu, nullptr, &status);
    ffghadll(f, &head, &data, &end, &status);
  }
  int cs = 0;
  ffclos(f, &cs);
  f = nullptr;
  if (!status && cs) status = cs;
  if (!status && file_size(path) < end) {
    status = WRITE_ERROR;
    errnum = shortfall_reason(path, end);
  }
  return status;
}

// What a table file held before a row was added, enough to give it back: its size, the
// table's header and everything after the last row (the fill of its last block and any
// later HDUs). Appending a row touches nothing else.
struct TableSnapshot {
  long long size = -1;
  long rows = 0;
  long long head_start = 0, tail_start = 0;
  std::string header, tail;

  bool take(fitsfile* f, const std::string& path) {
    int status = 0;
    LONGLONG head = 0, data = 0, end = 0, width = 0;
    ffghadll(f, &head, &data, &end, &status);
    ffgnrw(f, &rows, &status);
    ffgkyjj(f, "NAXIS1", &width, nullptr, &status);
    size = file_size(path);
    if (status || size < 0) return false;
    head_start = head;
    tail_start = std::min<long long>(data + rows * width, size);
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    const bool read = read_at(fd, head, header, data - head) && read_at(fd, tail_start, tail, size - tail_start);
    ::close(fd);
    return read;
  }

  // Puts the file back as it was; false with errno set when it cannot.
  bool restore(const std::string& path) const {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) return false;
    const bool ok = ::ftruncate(fd, static_cast<off_t>(size)) == 0 && write_at(fd, head_start, header) &&
                    write_at(fd, tail_start, tail);
    const int err = errno;
    if (::close(fd) != 0) return false;
    errno = err;
    return ok;
  }
};

// Gives the file back as it was before a row; a file that cannot be given back ends the
// program, since it is no longer a table of whole rows.
void take_back(const TableSnapshot& before, const std::string& file) {
  if (!before.restore(file)) write_failure(file, errno ? errno : EIO);
}

// 0 when the file read afresh holds the table up to row, whose bytes are bytes; else the
// library's status (WRITE_ERROR when the file holds something else).
int row_on_disk(const std::string& file, const std::string& extname, long row,
                const std::vector<unsigned char>& bytes) {
  int status = 0;
  FitsFile ff;
  if (ffopen(&ff.f, file.c_str(), READONLY, &status)) {
    ff.f = nullptr;
    return status;
  }
  long rows = 0;
  ffmnhd(ff.f, BINARY_TBL, const_cast<char*>(extname.c_str()), 0, &status);
  ffgnrw(ff.f, &rows, &status);
  if (status) return status;
  std::vector<unsigned char> read(bytes.size());
  if (rows != row || ffgtbb(ff.f, row, 1, static_cast<LONGLONG>(read.size()), read.data(), &status) || read != bytes)
    return status ? status : WRITE_ERROR;
  return 0;
}

// Model header counts: components, varied parameters, clump populations of positive type.
void model_counts(int& ngal, int& nvar, int& nsub) {
  ngal = TWref.Ngal;
  nvar = nsub = 0;
  for (int i = 1; i <= ngal; ++i) {
    for (int j = 1; j <= 10; ++j)
      if (TWref.refv.nrows() >= i && TWref.refv[i][j] != 0) ++nvar;
    if (i <= TWclump.clumpdat.hi() && TWclump.clumpdat[i].type > 0) ++nsub;
  }
}
}  // namespace

int exists(const std::string& path) {
  FILE* f = std::fopen(path.c_str(), "r");
  if (!f) return 0;
  std::fclose(f);
  return 1;
}

// ---- FITS table ----

bool write_header_create_table(const std::string& file, const std::string& extname, int N, int M, int coord,
                               const double noise[4], double omega, double lambda, double h) {
  int status = 0;
  FitsFile ff;
  if (exists(file)) return open_table(ff, file, extname) && table_matches(ff.f, N, coord, file);
  if (ffinit(&ff.f, file.c_str(), &status)) {
    ff.f = nullptr;
    say_line("Unable to create FITS file");
    return false;
  }
  // A table that could not be made whole is not left behind.
  auto abandon = [&](const std::string& line) {
    int s = 0;
    ffclos(ff.f, &s);
    ff.f = nullptr;
    std::remove(file.c_str());
    say_line(line);
    return false;
  };
  std::vector<std::string> names, forms;
  auto col = [&](const std::string& n, const char* form) {
    names.push_back(n);
    forms.push_back(form);
  };
  col("Z_LENS", "1D");
  col("Z_SRC", "1D");
  for (int m = 1; m <= M; ++m) col(strformat("MOD_ID_%d", m), "1J");
  const char* const* suffix = coord == 1 ? kCartesian : kPolar;
  for (int i = 1; i <= N; ++i) {
    col(strformat("LENS%dNORM", i), "1D");
    col(strformat("LENS%dX", i), "1D");
    col(strformat("LENS%dY", i), "1D");
    for (int k = 0; k < 4; ++k) col(strformat("LENS%d%s", i, suffix[k]), "1D");
    col(strformat("LENS%dSRADIUS1", i), "1D");
    col(strformat("LENS%dSRADIUS2", i), "1D");
    col(strformat("LENS%dPROFILEINDEX", i), "1D");
    col(strformat("CLUMP%dID", i), "1J");
    col(strformat("CLUMP%dMASS", i), "1D");
    col(strformat("CLUMP%dDYNAMICRANGE", i), "1D");
    col(strformat("CLUMP%dPROFILEINDEX", i), "1D");
    for (int k = 1; k <= 5; ++k) col(strformat("CLUMP%dP%d", i, k), "1D");
  }
  col("SEED", "1J");
  for (int k = 1; k <= 11; ++k) col(strformat("NFWCL_%d", k), "1D");
  col("SRC_POS_X", "1D");
  col("SRC_POS_Y", "1D");
  col("DOUBLE_ID", "1J");
  col("QUAD_ID", "1J");
  for (int k = 1; k <= 4; ++k) {
    col(strformat("IMG%dX", k), "1D");
    col(strformat("IMG%dY", k), "1D");
    col(strformat("IMG%dFLUX", k), "1D");
    col(strformat("IMG%dTD", k), "1D");
  }
  std::vector<char*> tt, tf;
  for (auto& s : names) tt.push_back(&s[0]);
  for (auto& s : forms) tf.push_back(&s[0]);
  if (ffcrtb(ff.f, BINARY_TBL, 0, static_cast<int>(tt.size()), tt.data(), tf.data(), nullptr,
             const_cast<char*>(extname.c_str()), &status))
    return abandon(strformat("Unable to create HDU_%d", status));
  if (ffmnhd(ff.f, BINARY_TBL, const_cast<char*>(extname.c_str()), 0, &status))
    return abandon(strformat("Correct HDU does not exist_%d", status));
  double om = omega, la = lambda, hv = h, s0 = noise[0], s1 = noise[1], s2 = noise[2], s3 = noise[3];
  int nl = N;
  char cw[16];
  std::snprintf(cw, sizeof cw, "%s", coord == 1 ? "CARTESIAN" : "POLAR");
  ffpky(ff.f, TDOUBLE, "OMEGA_M", &om, "Matter density parameter", &status);
  ffpky(ff.f, TDOUBLE, "OMEGA_L", &la, "Cosmological constant", &status);
  ffuky(ff.f, TDOUBLE, "h_0", &hv, "Hubble (100) parameter today", &status);
  ffpky(ff.f, TINT, "N_LENSES", &nl, "Number of lenses", &status);
  ffpky(ff.f, TSTRING, "COORD", cw, "Coordinate system for lens parameters", &status);
  ffpky(ff.f, TDOUBLE, "SIG_LENS", &s0, "Variance in lens positions", &status);
  ffpky(ff.f, TDOUBLE, "SIG_SRC", &s1, "Variance in source positions", &status);
  ffpky(ff.f, TDOUBLE, "SIG_F", &s2, "Variance in flux", &status);
  ffpky(ff.f, TDOUBLE, "SIG_T", &s3, "Variance in time delay", &status);
  ffpdat(ff.f, &status);
  if (status) return abandon("Cannot write header to HDU");
  int errnum = 0;
  if (close_checked(ff.f, file, errnum)) {
    std::remove(file.c_str());
    say_line("Cannot write header to HDU");
    return false;
  }
  return true;
}

bool write_table(const std::string& file, const std::string& extname, int N, int coord, int model, const Mat& params,
                 const BVec<ClumpPop>& clumps, double zlens, double zsrc, double u, double v, int H, const Mat& images,
                 int ndouble, int nquad, long seed, const double nfw[11]) {
  int status = 0;
  FitsFile ff;
  if (!open_table(ff, file, extname)) return false;
  if (!table_matches(ff.f, N, coord, file)) return false;
  TableSnapshot before;
  if (!before.take(ff.f, file)) {
    say_line(strformat("Unable to add a row to %s", file.c_str()));
    return false;
  }
  const long R = before.rows;
  if (ffirow(ff.f, R, 1, &status)) {
    ffclos(ff.f, &status);
    ff.f = nullptr;
    take_back(before, file);
    say_line(strformat("Unable to add a row to %s", file.c_str()));
    return false;
  }
  const long row = R + 1;
  int c = 0;
  auto putd = [&](double x) { ffpcl(ff.f, TDOUBLE, ++c, row, 1, 1, &x, &status); };
  auto puti = [&](long x) { ffpcl(ff.f, TLONG, ++c, row, 1, 1, &x, &status); };
  putd(zlens);
  putd(zsrc);
  puti(model);
  for (int i = 1; i <= N; ++i) {
    for (int j = 1; j <= 10; ++j) putd(params[i][j]);
    const bool has = i >= clumps.lo() && i <= clumps.hi();
    const ClumpPop* p = has ? &clumps[i] : nullptr;
    puti(p ? p->type : 0);
    putd(p ? p->m : 0);
    putd(p ? p->q : 0);
    putd(p ? p->beta : 0);
    for (int k = 0; k < 5; ++k) putd(p ? p->parms[k] : 0);
  }
  puti(seed);
  for (int k = 0; k < 11; ++k) putd(nfw[k]);
  putd(u);
  putd(v);
  puti(H <= 2 ? ndouble : 0);
  puti(H <= 2 ? 0 : nquad);
  // Image slots.
  int slot[5] = {0, 0, 0, 0, 0};
  int nslot = 0;
  const int nrows = static_cast<int>(std::min<long>(H, images.nrows()));
  if (nrows == 1) {
    slot[1] = 1, nslot = 1;
  } else if (nrows >= 2 && H <= 2) {
    const bool second = images[2][4] <= images[1][4];
    slot[1] = second ? 2 : 1;
    slot[2] = second ? 1 : 2;
    nslot = 2;
  } else if (nrows > 2) {
    const int n = std::min(nrows, 4);
    int ref = 0;
    for (int i = 1; i <= n; ++i)
      if (images[i][4] == 0) ref = i;
    if (ref == 0) {  // no image at delay 0: the earliest leads
      ref = 1;
      for (int i = 2; i <= n; ++i)
        if (images[i][4] < images[ref][4]) ref = i;
    }
    auto angle = [&](int i) {
      double a = std::atan2(images[i][2], images[i][1]);
      if (a < 0) a += 2 * kPi;
      return a;
    };
    std::vector<std::pair<double, int>> rest;
    for (int i = 1; i <= n; ++i) {
      if (i == ref) continue;
      double d = std::fmod(angle(i) - angle(ref), 2 * kPi);
      if (d < 0) d += 2 * kPi;
      rest.push_back({d, i});
    }
    std::stable_sort(rest.begin(), rest.end(), [](const auto& a, const auto& b) { return a.first > b.first; });
    slot[1] = ref;
    nslot = 1;
    for (const auto& r : rest) slot[++nslot] = r.second;
  }
  for (int k = 1; k <= 4; ++k)
    for (int q = 1; q <= 4; ++q) putd(k <= nslot ? images[slot[k]][q] : kFitsMissing);
  // The row as the library holds it, to be found again on disk.
  LONGLONG width = 0;
  ffgkyjj(ff.f, "NAXIS1", &width, nullptr, &status);
  std::vector<unsigned char> bytes(static_cast<size_t>(std::max<LONGLONG>(width, 0)));
  if (!status) ffgtbb(ff.f, row, 1, width, bytes.data(), &status);
  int errnum = 0;
  if (status) {
    ffclos(ff.f, &errnum);
    ff.f = nullptr;
    errnum = 0;
  } else {
    status = close_checked(ff.f, file, errnum);
  }
  if (!status) status = row_on_disk(file, extname, row, bytes);
  if (status) {
    take_back(before, file);
    char text[FLEN_STATUS] = {};
    ffgerr(status, text);
    say_line(strformat("Unable to write row %ld of %s (%s): row removed", row, file.c_str(),
                       errnum ? std::strerror(errnum) : text));
    ffcmsg();
    return false;
  }
  return true;
}

// ---- record files ----

void OMEGAwrite_float(FILE* f, int bin, double x, int end) {
  if (bin == 1)
    std::fwrite(&x, sizeof x, 1, f);
  else if (bin == 2)
    std::fprintf(f, end ? " %e\n" : " %e", x);
  else
    std::fprintf(f, end ? "%f\n" : "%f,", x);
}

void OMEGAwrite_int(FILE* f, int bin, int x, int end) {
  if (bin == 1)
    std::fwrite(&x, sizeof x, 1, f);
  else if (bin == 2)
    std::fprintf(f, end ? " %d\n" : " %d", x);
  else
    std::fprintf(f, end ? "%d\n" : "%d,", x);
}

void OMEGAwrite_string(FILE* f, int bin, const std::string& s, int end) {
  if (bin == 1) {
    char buf[kNameField] = {};
    std::snprintf(buf, sizeof buf, "%s", s.c_str());
    std::fwrite(buf, 1, kNameField, f);
  } else if (bin == 2) {
    std::fprintf(f, end ? " %s\n" : " %s", s.c_str());
  } else {
    std::fprintf(f, end ? "%s\n" : "%s,", s.c_str());
  }
}

void OMEGAwrite_newline(FILE* f, int bin) {
  if (bin != 1) std::fputc('\n', f);
}

void OMEGAwrite_close() { TWomega.OMEGAwrite_out.close(); }

namespace {
// The record file opened for appending.
OutFile open_records(const OmegaWriteState& w) {
  const char* mode = w.OMEGAwrite_bin == 1 ? "ab" : "a";
  return OutFile(w.OMEGAwrite_name, mode, "OMEGAwrite: could not open " + w.OMEGAwrite_name);
}
}  // namespace

void OMEGAwrite_setup() {
  OmegaWriteState& w = TWomega;
  int ngal, nvar, nsub;
  model_counts(ngal, nvar, nsub);
  const char* kind = w.OMEGAwrite_bin == 1 ? "binary" : "text";
  const char* rmode = w.OMEGAwrite_bin == 1 ? "rb" : "r";
  OMEGAwrite_close();
  // An existing file is appended to after its header is checked; a folder is no such file.
  if (FILE* in = open_input_file(w.OMEGAwrite_name, rmode, "OMEGAwrite: could not open the file to append to")) {
    int h[3] = {-1, -1, -1};
    if (w.OMEGAwrite_bin == 1) {
      if (std::fread(h, sizeof(int), 3, in) != 3) h[0] = -1;
    } else if (std::fscanf(in, "%d %d %d", &h[0], &h[1], &h[2]) != 3) {
      h[0] = -1;
    }
    std::fclose(in);
    if (h[0] != ngal) fatal("OMEGAwrite: number of galaxies has changed since setup");
    if (h[1] != nvar) fatal("OMEGAwrite: number of variable parameters has changed since setup");
    if (h[2] != nsub) fatal("OMEGAwrite: number of substructure components has changed since setup");
    qprintf("OMEGAwrite: appending %s file %s\n", kind, w.OMEGAwrite_name.c_str());
  } else {
    WholeFile f(w.OMEGAwrite_name, "OMEGAwrite: could not create " + w.OMEGAwrite_name);
    const int b = w.OMEGAwrite_bin;
    OMEGAwrite_int(f, b, ngal, 0);
    OMEGAwrite_int(f, b, nvar, 0);
    OMEGAwrite_int(f, b, nsub, 0);
    OMEGAwrite_newline(f, b);
    const LensModel& m = TWref.ref[1];
    for (int i = 1; i <= ngal; ++i) {
      OMEGAwrite_string(f, b, m.names[i], 0);
      for (int j = 1; j <= 10; ++j) OMEGAwrite_float(f, b, m.p[i][j], 0);
      OMEGAwrite_newline(f, b);
    }
    for (int i = 1; i <= ngal; ++i) {
      for (int j = 1; j <= 10; ++j) OMEGAwrite_int(f, b, TWref.refv[i][j], 0);
      OMEGAwrite_newline(f, b);
    }
    f.commit();
    qprintf("OMEGAwrite: creating %s file %s\n", kind, w.OMEGAwrite_name.c_str());
  }
  w.OMEGAwrite_Ngal = ngal;
  w.OMEGAwrite_nvar = nvar;
  w.OMEGAwrite_nsub = nsub;
  if (w.OMEGAwrite_mode == 2) w.OMEGAwrite_out = open_records(w);
}

void OMEGAwrite_mock(int H, const Mat& images, double u, double v, double flux) {
  OmegaWriteState& w = TWomega;
  if (w.OMEGAwrite_mode <= 0) return;
  OutFile once;  // mode 1: open only around this record
  if (!w.OMEGAwrite_out) {
    // Mode 1, or a mode-2 stream that a merge has closed: open for appending.
    if (w.OMEGAwrite_mode == 2)
      w.OMEGAwrite_out = open_records(w);
    else
      once = open_records(w);
  }
  OutFile& out = once ? once : w.OMEGAwrite_out;
  FILE* f = out;
  const int b = w.OMEGAwrite_bin;
  const LensModel& m = TWref.ref[1];
  const int ngal = TWref.Ngal;
  if (w.OMEGAwrite_nvar > 0)
    for (int i = 1; i <= ngal; ++i) {
      for (int j = 1; j <= 10; ++j)
        if (TWref.refv[i][j] != 0) OMEGAwrite_float(f, b, m.p[i][j], 0);
      OMEGAwrite_newline(f, b);
    }
  for (int i = 1; i <= ngal && i <= TWclump.clumpdat.hi(); ++i) {
    const ClumpPop& p = TWclump.clumpdat[i];
    if (p.type <= 0) continue;
    OMEGAwrite_float(f, b, p.m, 0);
    OMEGAwrite_float(f, b, p.q, 0);
    OMEGAwrite_float(f, b, p.beta, 0);
    for (double x : p.parms) OMEGAwrite_float(f, b, x, 0);
    OMEGAwrite_newline(f, b);
  }
  OMEGAwrite_float(f, b, u, 0);
  OMEGAwrite_float(f, b, v, 0);
  OMEGAwrite_float(f, b, flux, 0);
  OMEGAwrite_int(f, b, H, 0);
  OMEGAwrite_newline(f, b);
  for (int k = 1; k <= H; ++k) {
    for (int q = 1; q <= 4; ++q) OMEGAwrite_float(f, b, images[k][q], 0);
    OMEGAwrite_newline(f, b);
  }
  // Each mock is on the disk, or the run ends naming the file.
  out.flush();
  once.close();
}

void OMEGAwrite(const WordArray& words) {
  const int nw = words.own_count();
  require_model();
  int bin = 1, mode = 1;
  if (nw > 2) {
    if (words[2] == "binary")
      bin = 1;
    else if (words[2] == "text")
      bin = 2;
    else
      fatal("unknown format in OMEGAwrite");
  }
  if (nw > 3) {
    mode = words.finite_int(3, words[0]);
    if (mode != 1 && mode != 2) fatal("invalid mode in OMEGAwrite");
  }
  OMEGAwrite_close();
  TWomega.OMEGAwrite_name = words[1].substr(0, kNameField - 1);
  TWomega.OMEGAwrite_bin = bin;
  TWomega.OMEGAwrite_mode = mode;
  OMEGAwrite_setup();
}

// ---- merging ----

int OMEGAmerge_read(const std::string& path, int bin, bool store, OmegaRecordFile& out) {
  FILE* f = open_input_file(path, bin == 1 ? "rb" : "r", "OMEGAmerge: could not open file to read");
  if (!f) fatal("OMEGAmerge: file to read does not exist");
  FileHandle guard(f);
  out = OmegaRecordFile();
  auto rd = [&](double& x) {
    return bin == 1 ? std::fread(&x, sizeof x, 1, f) == 1 : std::fscanf(f, "%le", &x) == 1;
  };
  auto ri = [&](int& x) { return bin == 1 ? std::fread(&x, sizeof x, 1, f) == 1 : std::fscanf(f, "%d", &x) == 1; };
  auto bad = [&]() { fatal(strformat("OMEGAmerge: %s is not a complete record file", path.c_str())); };
  // Every value takes at least one byte in either format, so a count larger than the rest
  // of the file is a damaged header or record: refused before anything is sized by it.
  std::fseek(f, 0, SEEK_END);
  const double size = static_cast<double>(std::ftell(f));
  std::rewind(f);
  auto fits = [&](double items) {
    if (items > size - static_cast<double>(std::ftell(f))) bad();
  };
  if (!ri(out.Ngal) || !ri(out.nvar) || !ri(out.nsub) || out.Ngal < 0 || out.nvar < 0 || out.nsub < 0) bad();
  fits(21.0 * out.Ngal + out.nvar + 8.0 * out.nsub);
  out.names.resize(static_cast<size_t>(out.Ngal));
  out.params.resize(static_cast<size_t>(out.Ngal) * 10);
  out.vary.resize(static_cast<size_t>(out.Ngal) * 10);
  for (int i = 0; i < out.Ngal; ++i) {
    if (bin == 1) {
      char buf[kNameField + 1] = {};
      if (std::fread(buf, 1, kNameField, f) != static_cast<size_t>(kNameField)) bad();
      out.names[static_cast<size_t>(i)] = buf;
    } else {
      char buf[kNameField + 1] = {};
      if (std::fscanf(f, "%132s", buf) != 1) bad();
      out.names[static_cast<size_t>(i)] = buf;
    }
    for (int j = 0; j < 10; ++j)
      if (!rd(out.params[static_cast<size_t>(i) * 10 + j])) bad();
  }
  for (size_t k = 0; k < out.vary.size(); ++k)
    if (!ri(out.vary[k])) bad();
  const size_t nval = static_cast<size_t>(out.nvar + 8 * out.nsub + 3);
  int count = 0;
  for (;;) {
    OmegaRecordFile::Record r;
    r.values.resize(nval);
    if (nval > 0 && !rd(r.values[0])) break;  // end of the file
    for (size_t k = 1; k < nval; ++k)
      if (!rd(r.values[k])) bad();
    if (!ri(r.H) || r.H < 0) bad();
    fits(4.0 * r.H);
    r.images.resize(static_cast<size_t>(r.H) * 4);
    for (double& x : r.images)
      if (!rd(x)) bad();
    out.maxH = std::max(out.maxH, r.H);
    ++count;
    if (store) out.records.push_back(std::move(r));
  }
  return count;
}

void OMEGAmerge(const WordArray& words) {
  const int nw = words.own_count();
  const std::string listname = words[1], outname = words[2], outtype = words[3];
  const int Nmin = nw > 4 ? words.signed_count(4, "minimum number of images") : 0;
  int Nmax = nw > 5 ? words.signed_count(5, "maximum number of images") : 0;
  std::vector<std::string> files;
  int inbin = 0;
  {
    FileHandle fl(QVMfopen(listname, "r", "could not open filelist in OMEGAmerge"));
    WordArray w;
    if (myread(fl, w) == 0) fatal("unknown format for input files in OMEGAmerge");
    const long nfiles = w.integer(0);
    if (w[1] == "binary")
      inbin = 1;
    else if (w[1] == "text")
      inbin = 2;
    else
      fatal("unknown format for input files in OMEGAmerge");
    for (long k = 0; k < nfiles; ++k) {
      if (myread(fl, w) == 0) fatal(strformat("OMEGAmerge: %s names fewer files than it says", listname.c_str()));
      files.push_back(w[0]);
    }
  }
  qprintf("OMEGAmerge: scanning input files:\n");
  int maxH = 0;
  OmegaRecordFile first;
  for (size_t k = 0; k < files.size(); ++k) {
    OmegaRecordFile rf;
    const int n = OMEGAmerge_read(files[k], inbin, false, rf);
    qprintf("file %s lenses %d\n", files[k].c_str(), n);
    if (k == 0)
      first = rf;
    else if (rf.Ngal != first.Ngal || rf.nvar != first.nvar || rf.nsub != first.nsub)
      fatal(strformat("OMEGAmerge: header of %s differs from that of %s", files[k].c_str(), files[0].c_str()));
    maxH = std::max(maxH, rf.maxH);
  }
  if (Nmax == 0) Nmax = maxH;
  if (TWomega.OMEGAwrite_out) {
    qprintf("OMEGAmerge note: closing OMEGAwrite file before writing to %s\n", outname.c_str());
    OMEGAwrite_close();
  }
  int ob;
  if (outtype == "binary")
    ob = 1;
  else if (outtype == "text")
    ob = 2;
  else if (outtype == "csv")
    ob = 3;
  else
    fatal("unknown format for output file in OMEGAmerge");
  WholeFile fo(outname, "could not open output file", true);
  for (const std::string& file : files) {
    OmegaRecordFile rf;
    OMEGAmerge_read(file, inbin, true, rf);
    for (const auto& r : rf.records) {
      if (r.H < Nmin || r.H > Nmax) continue;
      for (double x : r.values) OMEGAwrite_float(fo, ob, x, 0);
      OMEGAwrite_int(fo, ob, r.H, 0);
      for (int j = 0; j < Nmax; ++j)
        for (int q = 0; q < 4; ++q)
          OMEGAwrite_float(fo, ob, j < r.H ? r.images[static_cast<size_t>(j) * 4 + q] : 0.0, 0);
      OMEGAwrite_newline(fo, ob);
    }
  }
  fo.commit();
  qprintf("OMEGAmerge header information:\n");
  int c = 0;
  for (int i = 0; i < first.Ngal; ++i)
    for (int j = 0; j < 10; ++j)
      if (first.vary[static_cast<size_t>(i) * 10 + j] != 0) qprintf("Column %2d: gal%dp%d\n", ++c, i + 1, j + 1);
  for (int i = 1; i <= first.nsub; ++i) {
    qprintf("Column %2d: sub%dmbar\n", ++c, i);
    qprintf("Column %2d: sub%dq\n", ++c, i);
    qprintf("Column %2d: sub%dbeta\n", ++c, i);
    for (int k = 0; k < 5; ++k) qprintf("Column %2d: sub%dp%d\n", ++c, i, k);
  }
  qprintf("Column %2d: usrc\n", ++c);
  qprintf("Column %2d: vsrc\n", ++c);
  qprintf("Column %2d: fsrc\n", ++c);
  qprintf("Column %2d: Nimg\n", ++c);
  for (int j = 1; j <= Nmax; ++j) {
    qprintf("Column %2d: img%dx\n", ++c, j);
    qprintf("Column %2d: img%dy\n", ++c, j);
    qprintf("Column %2d: img%df\n", ++c, j);
    qprintf("Column %2d: img%dtd\n", ++c, j);
  }
}

// ---- two-step simulation ----

void OMEGAstep1(const WordArray& words) {
  const int nw = words.own_count();
  require_model();
  const double u = words.finite(1, words[0]), v = words.finite(2, words[0]);
  const long N = words.signed_count(3, "number of realisations");
  const std::string base = words[4];
  const double Rcut = nw > 5 ? words.finite(5, words[0]) : 0.0;
  const double gridsize = nw > 6 ? words.finite(6, words[0]) : 0.0;
  const long ngrid = nw > 7 ? words.signed_count(7, "number of grid points") : 0;
  RandomStream Nseed(settings.seed), rseed(settings.seed), gseed(settings.seed);
  OutFile fimg(base + "-img.dat", "w", "could not open OMEGAstep1 output file", true);
  ClumpState& cs = TWclump;
  struct Clear {
    ~Clear() {
      TWclump.OMEGAarr[0] = 0;
      TWclump.OMEGAout = nullptr;
    }
  } clear;
  int n = 0;
  Mat list;
  for (long s = 1; s <= N; ++s) {
    qprintf("Step %ld/%ld\n", s, N);
    do_drawclumps(Nseed, rseed, gseed);
    find_img(n, list, u, v);
    pot2tdel(n, list, settings.tshift == 1, u, v);
    std::fprintf(fimg, "\n%ld # iran\n%d # number of images\n", s, n);
    for (int k = 1; k <= n; ++k)
      std::fprintf(fimg, "%13.6e %13.6e %13.6e %13.6e\n", list[k][1], list[k][2], list[k][3], list[k][4]);
    fimg.flush();
    for (int k = 1; k <= n; ++k) {
      const double x = list[k][1], y = list[k][2];
      WholeFile fm(strformat("%s-ran%ld-mod%d.dat", base.c_str(), s, k), "could not open OMEGAstep1 model file", true);
      std::fprintf(fm, "set shrcoords = 1\n");
      std::fprintf(fm, "# ptimg %e %e\n", x, y);
      if (gridsize > 0 && ngrid > 0)
        std::fprintf(fm, "maingrid 1 %e %e %ld %e %e %ld\n", x - gridsize / 2, x + gridsize / 2, ngrid,
                     y - gridsize / 2, y + gridsize / 2, ngrid);
      // The clump lines are held until their number, which the setlens line needs, is known.
      FileHandle held(std::tmpfile());
      if (!held) fatal("could not open OMEGAstep1 scratch file");
      cs.OMEGAarr[0] = Rcut + 1;
      cs.OMEGAarr[4] = 0;
      cs.OMEGAout = held;
      double phi, px, py, pxx, pyy, pxy, pyx;
      potdefmag(x, y, phi, px, py, pxx, pyy, pxy, pyx);
      cs.OMEGAout = nullptr;
      cs.OMEGAarr[0] = 0;
      const int count = static_cast<int>(cs.OMEGAarr[4] + 0.5);
      std::fprintf(fm, "setlens %.0f 1\n", static_cast<double>(count + 1));
      // Clump lines lost on the way to the scratch file would leave the model short of them.
      errno = 0;
      if (std::fflush(held) != 0 || std::ferror(held)) write_failure("OMEGAstep1 scratch file", errno ? errno : EIO);
      std::rewind(held);
      char buf[4096];
      size_t got;
      while ((got = std::fread(buf, 1, sizeof buf, held)) > 0) std::fwrite(buf, 1, got, fm);
      std::fprintf(fm, "convrg %e %e %e 0 0 %e %e 0 0 0\n", 0.5 * (pxx + pyy), x, y, 0.5 * (pxx - pyy), pxy);
      for (int i = 0; i <= count; ++i) std::fprintf(fm, "  0 0 0 0 0 0 0 0 0 0\n");
      std::fprintf(fm, "# shifted source %e %e\n", u + px, v + py);
      std::fprintf(fm, "# potential reference %e\n", phi);
      std::fprintf(fm, "OMEGAstep2 %e %e %e %e %e\n", u, v, u + px, v + py, phi);
      fm.commit();
    }
  }
  fimg.close();
}

void OMEGAstep2(const WordArray& words) {
  const int nw = words.own_count();
  require_model();
  const double u = words.finite(1, words[0]), v = words.finite(2, words[0]), us = words.finite(3, words[0]), vs = words.finite(4, words[0]), phiref = words.finite(5, words[0]);
  WholeFile fown;
  FILE* f = QVMstdout;
  if (nw > 6) {
    fown = WholeFile(words[6], "could not open OMEGAstep2 output file", true);
    f = fown;
  } else {
    qprintf("OMEGAstep2 results:\n");
  }
  int n = 0;
  Mat list;
  find_img(n, list, us, vs);
  const double g = std::fabs(settings.tscale - 1.0) > 0.001 ? settings.tscale / settings.hval : 1.0;
  std::fprintf(f, "%13.6e %13.6e  %13.6e %13.6e # source\n", u, v, us, vs);
  if (settings.plotmode == 2) std::fprintf(f, "\n\n");
  std::fprintf(f, "# %d images:  x  y  mag  tdel\n", n);
  for (int k = 1; k <= n; ++k) {
    const double dx = list[k][1] - u, dy = list[k][2] - v;
    const double t = (0.5 * (dx * dx + dy * dy) - (phiref + list[k][4])) * g;
    std::fprintf(f, "%13.6e %13.6e %13.6e %13.6e\n", list[k][1], list[k][2], list[k][3], t);
  }
  flush_record(f);
  fown.commit();
}

