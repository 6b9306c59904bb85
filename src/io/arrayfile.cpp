// Two-dimensional array files: reading and writing text, raw binary and FITS, with the
// checks of their sizes and values.
#include "io/arrayfile.h"

#include <fitsio.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "io/qvmfile.h"
#include "io/outfile.h"
#include "io/wcs.h"
#include "shell/fatal.h"

namespace {

const char* const kHdf5Message = "code has not been compiled to use HDF5 files";

// Values an array may hold: its doubles must be addressable.
constexpr long long kMaxValues = static_cast<long long>(PTRDIFF_MAX / sizeof(double));

// Checks the size a file declares; ends the program with an ERROR naming the file when no
// array of that size can exist. Returns the number of values.
long check_declared_size(long long nx, long long ny, const char* kind, const std::string& path) {
  if (nx <= 0 || ny <= 0) {
    fatal(strformat("%s file %s declares an invalid array size %lld x %lld", kind, path.c_str(), nx, ny));
  }
  if (nx > INT_MAX || ny > INT_MAX || nx > kMaxValues / ny) {
    fatal(strformat("%s file %s declares an array of %lld x %lld values, too large to allocate", kind,
                    path.c_str(), nx, ny));
  }
  return static_cast<long>(nx * ny);
}

// Checks that a[1..nx][1..ny] exists before it is written.
long check_output_array(int nx, int ny, const Mat& a, const std::string& path) {
  if (nx <= 0 || ny <= 0 || a.rlo() > 1 || a.rhi() < nx || a.clo() > 1 || a.chi() < ny) {
    fatal(strformat("no %d x %d array to write to output file %s", nx, ny, path.c_str()));
  }
  return static_cast<long>(nx) * ny;
}

// Makes a[1..nx][1..ny]; a refused allocation names the file it was meant for.
void allocate_array(Mat& a, int nx, int ny, const std::string& path) {
  try {
    a.reset(1, nx, 1, ny);
  } catch (const FatalError& e) {
    if (e.kind != FatalKind::Numerical) throw;
    fatal(strformat("could not allocate a %d x %d array for file %s", nx, ny, path.c_str()));
  }
}

// Values of a file in file order (x fastest) into a[1..nx][1..ny].
void fill_from_file_order(const float* v, int nx, int ny, Mat& a) {
  for (int x = 1; x <= nx; ++x) {
    BRow<double> row = a[x];
    const float* p = v + (x - 1);
    for (int y = 1; y <= ny; ++y, p += nx) row[y] = *p;
  }
}

// Rounds to single precision to nearest, as IEEE conversion does, without converting a
// value outside the float range: from FLT_MAX + half its spacing on, the result is infinite.
inline float to_float(double v) {
  constexpr double kOverflow = static_cast<double>(FLT_MAX) + 0x1p103;
  if (std::fabs(v) > FLT_MAX) {
    if (std::fabs(v) >= kOverflow) return v > 0 ? HUGE_VALF : -HUGE_VALF;
    return v > 0 ? FLT_MAX : -FLT_MAX;
  }
  return static_cast<float>(v);
}

// a[1..nx][1..ny] in file order (x fastest), single precision, into v[0..nx*ny-1].
void to_file_order(const Mat& a, int nx, int ny, float* v) {
  for (int x = 1; x <= nx; ++x) {
    BRow<const double> row = a[x];
    float* p = v + (x - 1);
    for (int y = 1; y <= ny; ++y, p += nx) *p = to_float(row[y]);
  }
}

FileHandle open_input(const std::string& path, const char* mode) {
  FileHandle f(open_input_file(path, mode, "could not open input file"));
  if (!f) fatal(strformat("could not open input file %s", path.c_str()));
  return f;
}

// A map is replaced only when the new one is complete.
WholeFile open_output(const std::string& path) {
  return WholeFile(path, "could not open output file " + path);
}

// Next white-space separated word of a text stream; false at the end of the stream.
bool next_word(FILE* f, std::string& word) {
  word.clear();
  int c;
  while ((c = getc_unlocked(f)) != EOF && std::isspace(c)) {}
  if (c == EOF) return false;
  do {
    word.push_back(static_cast<char>(c));
  } while ((c = getc_unlocked(f)) != EOF && !std::isspace(c));
  return true;
}

bool parse_whole_integer(const std::string& word, long long& v) {
  errno = 0;
  char* end = nullptr;
  v = std::strtoll(word.c_str(), &end, 10);
  return end != word.c_str() && *end == '\0' && errno == 0;
}

bool parse_whole_float(const std::string& word, float& v) {
  char* end = nullptr;
  v = std::strtof(word.c_str(), &end);
  return end != word.c_str() && *end == '\0';
}

// ---- FITS ----

// Closes a FITS file that is still open when an error leaves the routine.
struct FitsGuard {
  fitsfile* f = nullptr;
  ~FitsGuard() { close_quietly(); }
  void close_quietly() {
    if (f) {
      int s = 0;
      ffclos(f, &s);
      f = nullptr;
    }
  }
};

// Prints the library's report for status on standard error, with the file it concerns,
// and ends the program with that status.
[[noreturn]] void fits_failure(int status, FitsGuard& g, const char* what, const std::string& path) {
  std::fflush(QVMstdout);
  ffrprt(stderr, status);
  std::fprintf(stderr, "(while %s FITS file %s)\n", what, path.c_str());
  g.close_quietly();
  fits_fatal(status);
}

// A FITS file that cannot be created (status 105) or written whole (status 106): the
// library's report with the system's reason, and the program ends with that status.
[[noreturn]] void fits_file_failure(const std::string& path, int errnum, bool opening) {
  ffpmsg(std::strerror(errnum));
  FitsGuard g;
  fits_failure(opening ? FILE_NOT_CREATED : WRITE_ERROR, g, opening ? "creating" : "writing", path);
}

// The memory a FITS file is built in, sized for its header and data from the start.
struct MemoryFits {
  void* data = nullptr;
  size_t capacity = 0;
  size_t growth;
  explicit MemoryFits(long values)
      : growth((static_cast<size_t>(values) * sizeof(float) / 2880 + 3) * 2880) {
    data = std::malloc(growth);
    if (data) capacity = growth;
  }
  ~MemoryFits() { std::free(data); }
  MemoryFits(const MemoryFits&) = delete;
  MemoryFits& operator=(const MemoryFits&) = delete;
};

bool ends_with(const std::string& s, const char* tail) {
  const size_t n = std::strlen(tail);
  return s.size() >= n && s.compare(s.size() - n, n, tail) == 0;
}

// bytes[0..size) into out as one gzip stream, compressed as the library compresses the
// files it writes under a ".gz" name.
void write_gzip(WholeFile& out, const unsigned char* bytes, size_t size) {
  z_stream z;
  std::memset(&z, 0, sizeof z);
  if (deflateInit2(&z, 1, Z_DEFLATED, MAX_WBITS + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
    fits_file_failure(out.path(), ENOMEM, false);
  }
  unsigned char chunk[1 << 16];
  size_t left = size;
  int flush;
  do {
    const size_t piece = std::min<size_t>(left, 1u << 30);
    z.next_in = const_cast<unsigned char*>(bytes + (size - left));
    z.avail_in = static_cast<uInt>(piece);
    left -= piece;
    flush = left == 0 ? Z_FINISH : Z_NO_FLUSH;
    do {
      z.next_out = chunk;
      z.avail_out = sizeof chunk;
      deflate(&z, flush);
      std::fwrite(chunk, 1, sizeof chunk - z.avail_out, out);
    } while (z.avail_out == 0);
  } while (flush != Z_FINISH);
  deflateEnd(&z);
}

}  // namespace

BVec<float> FITSvector(long nl, long nh) {
  BVec<float> v;
  try {
    v.reset(nl, nh);
  } catch (const FatalError& e) {
    if (e.kind != FatalKind::Numerical) throw;
    fatal("could not allocate FITS data array");
  }
  return v;
}

// ---------------------------------------------------------------------------------------
// Text files

void read_text(const std::string& path, int& nx, int& ny, Mat& a) {
  FileHandle f = open_input(path, "r");
  qprintf("Reading array from text file %s\n", path.c_str());
  std::string word;
  long long dims[2];
  for (int i = 0; i < 2; ++i) {
    if (!next_word(f, word)) fatal(strformat("text file %s ends before its array size", path.c_str()));
    if (!parse_whole_integer(word, dims[i])) {
      fatal(strformat("text file %s: array size \"%s\" is not an integer", path.c_str(), word.c_str()));
    }
  }
  const long n = check_declared_size(dims[0], dims[1], "text", path);
  // The values are gathered before the array is made, so a header that promises more than
  // the file holds is refused without a matching allocation.
  std::vector<float> v;
  v.reserve(static_cast<size_t>(std::min<long>(n, 1L << 20)));
  for (long i = 0; i < n; ++i) {
    if (!next_word(f, word)) {
      fatal(strformat("text file %s ends after %ld of its %ld values", path.c_str(), i, n));
    }
    float x;
    if (!parse_whole_float(word, x)) {
      fatal(strformat("text file %s: value %ld (\"%s\") is not a number", path.c_str(), i + 1, word.c_str()));
    }
    v.push_back(x);
  }
  f.close();
  nx = static_cast<int>(dims[0]);
  ny = static_cast<int>(dims[1]);
  allocate_array(a, nx, ny, path);
  fill_from_file_order(v.data(), nx, ny, a);
}

void write_text(const std::string& path, int nx, int ny, const Mat& a) {
  check_output_array(nx, ny, a, path);
  WholeFile f = open_output(path);
  qprintf("Writing array to text file %s\n", path.c_str());
  std::fprintf(f, "%d %d\n", nx, ny);
  for (int y = 1; y <= ny; ++y) {
    for (int x = 1; x <= nx; ++x) std::fprintf(f, "%e\n", static_cast<double>(to_float(a[x][y])));
  }
  f.commit();
}

// ---------------------------------------------------------------------------------------
// Binary files

void read_bin(const std::string& path, int& nx, int& ny, Mat& a) {
  FileHandle f = open_input(path, "rb");
  qprintf("Reading array from binary file %s\n", path.c_str());
  int32_t dims[2];
  if (std::fread(dims, sizeof(int32_t), 2, f) != 2) {
    fatal(strformat("binary file %s is too short to hold its array size", path.c_str()));
  }
  const long n = check_declared_size(dims[0], dims[1], "binary", path);
  // Read in blocks into a buffer that grows with what the file really holds.
  std::vector<float> v;
  const long block = 1L << 16;
  long got = 0;
  while (got < n) {
    const long want = std::min(block, n - got);
    v.resize(static_cast<size_t>(got + want));
    const size_t r = std::fread(v.data() + got, sizeof(float), static_cast<size_t>(want), f);
    got += static_cast<long>(r);
    if (static_cast<long>(r) < want) {
      fatal(strformat("binary file %s ends after %ld of its %ld values", path.c_str(), got, n));
    }
  }
  f.close();
  nx = dims[0];
  ny = dims[1];
  allocate_array(a, nx, ny, path);
  fill_from_file_order(v.data(), nx, ny, a);
}

void write_bin(const std::string& path, int nx, int ny, const Mat& a) {
  const long n = check_output_array(nx, ny, a, path);
  WholeFile f = open_output(path);
  qprintf("Writing array to binary file %s\n", path.c_str());
  const int32_t dims[2] = {nx, ny};
  std::fwrite(dims, sizeof(int32_t), 2, f);
  std::vector<float> v(static_cast<size_t>(n));
  to_file_order(a, nx, ny, v.data());
  std::fwrite(v.data(), sizeof(float), v.size(), f);
  f.commit();
}

// ---------------------------------------------------------------------------------------
// FITS files

void read_fits(const std::string& path, int& nx, int& ny, Mat& a) {
  refuse_folder(path, "could not open input file");
  FitsGuard g;
  int status = 0;
  if (ffopen(&g.f, path.c_str(), READONLY, &status)) {
    g.f = nullptr;
    fits_failure(status, g, "opening", path);
  }
  qprintf("Reading array from FITS file %s\n", path.c_str());
  long lnx = 0, lny = 0;
  if (ffgky(g.f, TLONG, "NAXIS1", &lnx, nullptr, &status)) fits_failure(status, g, "reading", path);
  if (ffgky(g.f, TLONG, "NAXIS2", &lny, nullptr, &status)) fits_failure(status, g, "reading", path);
  const long n = check_declared_size(lnx, lny, "FITS", path);
  // The last pixel first: a file cut short is found before any array is made for it.
  float last = 0;
  int anynul = 0;
  if (ffgpv(g.f, TFLOAT, n, 1, nullptr, &last, &anynul, &status)) {
    if (status == END_OF_FILE) {
      ffcmsg();
      fatal(strformat("FITS file %s is shorter than its header says", path.c_str()));
    }
    fits_failure(status, g, "reading", path);
  }
  BVec<float> buf = FITSvector(1, n);
  if (ffgpv(g.f, TFLOAT, 1, n, nullptr, buf.data(), &anynul, &status)) fits_failure(status, g, "reading", path);
  fitsfile* fp = g.f;
  g.f = nullptr;
  if (ffclos(fp, &status)) fits_failure(status, g, "reading", path);
  nx = static_cast<int>(lnx);
  ny = static_cast<int>(lny);
  allocate_array(a, nx, ny, path);
  fill_from_file_order(buf.data(), nx, ny, a);
}

void write_fits(const std::string& name, int nx, int ny, const Mat& a) {
  // The name is the file's name as written, never the library's syntax; its "replace"
  // prefix means nothing more here, since the file is replaced anyway.
  const std::string path = !name.empty() && name[0] == '!' ? name.substr(1) : name;
  const long n = check_output_array(nx, ny, a, path);
  BVec<float> buf = FITSvector(1, n);
  to_file_order(a, nx, ny, buf.data());

  // Something other than a file (a folder, a device) in the target's place is never replaced.
  struct stat st;
  if (lstat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode) && !S_ISLNK(st.st_mode)) {
    write_failure(path, S_ISDIR(st.st_mode) ? EISDIR : ENOTSUP);
  }
  // The library builds the file in memory; its bytes then go to the target as any whole
  // file's do, so the target is replaced only when every byte is on disk.
  WholeFile out(path, fits_file_failure);
  qprintf("Writing array to FITS file %s\n", path.c_str());
  MemoryFits mem(n);
  FitsGuard g;
  int status = 0;
  auto fail = [&](const char* what) { fits_failure(status, g, what, path); };
  if (ffimem(&g.f, &mem.data, &mem.capacity, mem.growth, std::realloc, &status)) {
    g.f = nullptr;
    fail("creating");
  }
  long naxes[2] = {nx, ny};
  if (ffcrim(g.f, FLOAT_IMG, 2, naxes, &status)) fail("writing");

  if (WCSinfo.is_on()) {
    char ctype1[] = "RA---TAN", ctype2[] = "DEC--TAN";
    double crpix1 = WCSinfo.refx, crpix2 = WCSinfo.refy, crval1 = WCSinfo.ra, crval2 = WCSinfo.dec;
    double cd[4] = {WCSinfo.m11 / -3600.0, WCSinfo.m12 / -3600.0, WCSinfo.m21 / 3600.0, WCSinfo.m22 / 3600.0};
    for (double& c : cd) {
      if (std::fabs(c) < 1e-12) c = 0.0;
    }
    ffuky(g.f, TSTRING, "CTYPE1", ctype1, nullptr, &status);
    ffuky(g.f, TSTRING, "CTYPE2", ctype2, nullptr, &status);
    ffuky(g.f, TDOUBLE, "CRPIX1", &crpix1, "reference pixel ix", &status);
    ffuky(g.f, TDOUBLE, "CRPIX2", &crpix2, "reference pixel iy", &status);
    ffuky(g.f, TDOUBLE, "CRVAL1", &crval1, "reference RA  (decimal degrees)", &status);
    ffuky(g.f, TDOUBLE, "CRVAL2", &crval2, "reference Dec (decimal degrees)", &status);
    ffuky(g.f, TDOUBLE, "CD1_1", &cd[0], "scale*rotation matrix (deg/pix)", &status);
    ffuky(g.f, TDOUBLE, "CD1_2", &cd[1], nullptr, &status);
    ffuky(g.f, TDOUBLE, "CD2_1", &cd[2], nullptr, &status);
    ffuky(g.f, TDOUBLE, "CD2_2", &cd[3], nullptr, &status);
    if (status) fail("writing");
  }

  if (ffppr(g.f, TFLOAT, 1, n, buf.data(), &status)) fail("writing");
  LONGLONG head = 0, data = 0, end = 0;
  if (ffghadll(g.f, &head, &data, &end, &status)) fail("writing");
  fitsfile* fp = g.f;
  g.f = nullptr;
  if (ffclos(fp, &status)) fail("writing");
  const size_t size = static_cast<size_t>((end + 2879) / 2880 * 2880);
  if (size > mem.capacity) {
    status = WRITE_ERROR;
    fail("writing");
  }
  const auto* bytes = static_cast<const unsigned char*>(mem.data);
  if (ends_with(path, ".gz")) write_gzip(out, bytes, size);
  else std::fwrite(bytes, 1, size, out);
  out.commit();
}

// ---------------------------------------------------------------------------------------
// HDF5 files: not compiled in.

void check_file_type(int type) {
  if (type == kHdf5File) fatal(kHdf5Message);
}

void read_hdf5(const std::string&, int&, int&, Mat&) { check_file_type(kHdf5File); }

void write_hdf5(const std::string&, int, int, const Mat&) { check_file_type(kHdf5File); }

// ---------------------------------------------------------------------------------------
// Dispatch by file-type code

bool read_array(const std::string& path, int type, int& nx, int& ny, Mat& a) {
  switch (type) {
    case kTextFile: read_text(path, nx, ny, a); return true;
    case kBinaryFile: read_bin(path, nx, ny, a); return true;
    case kFitsFile: read_fits(path, nx, ny, a); return true;
    case kHdf5File: read_hdf5(path, nx, ny, a); return false;  // not reached
    default: fatal("unknown filetype in read_array()");
  }
}

bool read_finite_array(const std::string& path, int type, int& nx, int& ny, Mat& a) {
  if (!read_array(path, type, nx, ny, a)) return false;
  for (int i = 1; i <= nx; ++i)
    for (int j = 1; j <= ny; ++j)
      if (!std::isfinite(a[i][j])) fatal(strformat("%s: pixel (%d, %d) is not a finite number", path.c_str(), i, j));
  return true;
}

bool write_array(const std::string& path, int type, int nx, int ny, const Mat& a) {
  switch (type) {
    case kTextFile: write_text(path, nx, ny, a); return true;
    case kBinaryFile: write_bin(path, nx, ny, a); return true;
    case kFitsFile: write_fits(path, nx, ny, a); return true;
    case kHdf5File: write_hdf5(path, nx, ny, a); return false;  // not reached
    default: fatal("unknown filetype in write_array()");
  }
}
