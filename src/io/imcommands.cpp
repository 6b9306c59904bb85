// Commands on array files: filetypes, fileconvert, imarith, imcombine, imdiff and imstats.
#include "io/imcommands.h"

#include <climits>
#include <cmath>
#include <cstdlib>
#include <string>

#include "io/arrayfile.h"
#include "shell/commands.h"
#include "shell/fatal.h"

namespace {

// A file type, mode or pixel index given as a word, within the range of an int. Words past
// the line's own words (the comment marker) read as 0.
int word_int(const WordArray& words, int i) { return i >= words.own_count() ? 0 : words.int_value(i); }

}  // namespace

// ---------------------------------------------------------------------------------------

void filetypes(const WordArray& words) {
  qprintf("The known file types are as follows:\n");
  qprintf("  %d : text file\n", kTextFile);
  qprintf("  %d : binary file\n", kBinaryFile);
  qprintf("  %d : FITS file\n", kFitsFile);
  qprintf("  %d : HDF5 file [not currently implemented]\n", kHdf5File);
}

// ---------------------------------------------------------------------------------------

void fileconvert(const WordArray& words) {
  int nx = 0, ny = 0;
  Mat a;
  check_file_type(word_int(words, 4));
  if (!read_array(words[1], word_int(words, 2), nx, ny, a)) return;
  write_array(words[3], word_int(words, 4), nx, ny, a);
}

// ---------------------------------------------------------------------------------------

void imarith(const WordArray& words) {
  const int nw = words.own_count();
  // The operation is settled before anything is read, so an unknown one or one that lacks
  // its value never leads to an output array that nothing has filled.
  enum class Op { Abs, Add, Mult };
  Op op;
  const std::string& opword = words[5];
  if (opword == "abs") {
    op = Op::Abs;
  } else if (opword == "add") {
    op = Op::Add;
  } else if (opword == "mult") {
    op = Op::Mult;
  } else {
    fatal("unknown operation in imarith");
  }
  if (op != Op::Abs && nw < 7) {
    refuse_line(words);
    return;
  }
  const double f = op == Op::Abs ? 0.0 : words.real(6);
  check_file_type(word_int(words, 2));
  check_file_type(word_int(words, 4));

  int nx = 0, ny = 0;
  Mat in;
  if (!read_array(words[1], word_int(words, 2), nx, ny, in)) return;
  Mat out(1, nx, 1, ny);
  const long n = static_cast<long>(nx) * ny;
  const double* src = in.data();
  double* dst = out.data();
  switch (op) {
    case Op::Abs:
      qprintf("imarith: taking absolute value\n");
      for (long i = 0; i < n; ++i) dst[i] = std::fabs(src[i]);
      break;
    case Op::Add:
      qprintf("imarith: performing addition\n");
      for (long i = 0; i < n; ++i) dst[i] = f + src[i];
      break;
    case Op::Mult:
      qprintf("imarith: performing multiplication\n");
      for (long i = 0; i < n; ++i) dst[i] = f * src[i];
      break;
  }
  write_array(words[3], word_int(words, 4), nx, ny, out);
}

// ---------------------------------------------------------------------------------------

void imcombine(const WordArray& words) {
  int nx1 = 0, ny1 = 0, nx2 = 0, ny2 = 0;
  Mat a1, a2;
  for (int k : {2, 4, 7}) check_file_type(word_int(words, k));
  if (!read_array(words[1], word_int(words, 2), nx1, ny1, a1)) return;
  if (!read_array(words[3], word_int(words, 4), nx2, ny2, a2)) return;
  const double f = words.real(5);
  if (nx1 != nx2 || ny1 != ny2) {
    refuse("in imcombine, the two arrays need to have the same dimensions");
    return;
  }
  Mat out(1, nx1, 1, ny1);
  const long n = static_cast<long>(nx1) * ny1;
  const double* p1 = a1.data();
  const double* p2 = a2.data();
  double* dst = out.data();
  for (long i = 0; i < n; ++i) dst[i] = f * p2[i] + p1[i];
  write_array(words[6], word_int(words, 7), nx1, ny1, out);
}

// ---------------------------------------------------------------------------------------

void imdiff(const WordArray& words) {
  int nx1 = 0, ny1 = 0, nx2 = 0, ny2 = 0;
  Mat a1, a2;
  for (int k : {2, 4, 7}) check_file_type(word_int(words, k));
  if (!read_array(words[1], word_int(words, 2), nx1, ny1, a1)) return;
  if (!read_array(words[3], word_int(words, 4), nx2, ny2, a2)) return;
  const int mode = word_int(words, 5);
  if (nx1 != nx2 || ny1 != ny2) {
    refuse("in imdiff, the two arrays need to have the same dimensions");
    return;
  }
  if (mode < 1 || mode > 3) fatal("unknown mode in imdiff");
  Mat out(1, nx1, 1, ny1);
  const long n = static_cast<long>(nx1) * ny1;
  const double* p1 = a1.data();
  const double* p2 = a2.data();
  double* dst = out.data();
  switch (mode) {
    case 1:
      for (long i = 0; i < n; ++i) dst[i] = p1[i] - p2[i];
      break;
    case 2:
      for (long i = 0; i < n; ++i) dst[i] = p1[i] / p2[i] - 1.0;
      break;
    default:
      for (long i = 0; i < n; ++i) dst[i] = 2.5 * std::log10(std::fabs(p1[i] / p2[i]));
      break;
  }
  write_array(words[6], word_int(words, 7), nx1, ny1, out);
}

// ---------------------------------------------------------------------------------------

void imstats(const WordArray& words) {
  const int nw = words.own_count();
  int nx = 0, ny = 0;
  Mat a;
  if (!read_array(words[1], word_int(words, 2), nx, ny, a)) return;

  // Bounds: all four are given, or the whole array is used.
  int ixlo = 1, ixhi = nx, iylo = 1, iyhi = ny;
  if (nw >= 7) {
    ixlo = word_int(words, 3);
    ixhi = word_int(words, 4);
    iylo = word_int(words, 5);
    iyhi = word_int(words, 6);
  }
  if (ixlo <= 0) ixlo = 1;
  if (ixhi <= 0 || ixhi > nx) ixhi = nx;
  if (iylo <= 0) iylo = 1;
  if (iyhi <= 0 || iyhi > ny) iyhi = ny;
  if (ixlo > ixhi || iylo > iyhi) {
    refuse(strformat("in imstats, the range nx=%d-%d and ny=%d-%d holds no pixels", ixlo, ixhi, iylo, iyhi));
    return;
  }

  // Two passes in double precision: the mean, then the spread about it. The variance is
  // floored at 0 so that a constant image gives sigma = 0.
  const double npix = static_cast<double>(ixhi - ixlo + 1) * static_cast<double>(iyhi - iylo + 1);
  double sum = 0.0;
  for (int x = ixlo; x <= ixhi; ++x) {
    BRow<double> row = a[x];
    for (int y = iylo; y <= iyhi; ++y) sum += row[y];
  }
  const double mu = sum / npix;
  double sd = 0.0, sd2 = 0.0;
  for (int x = ixlo; x <= ixhi; ++x) {
    BRow<double> row = a[x];
    for (int y = iylo; y <= iyhi; ++y) {
      const double d = row[y] - mu;
      sd += d;
      sd2 += d * d;
    }
  }
  double var = (sd2 - sd * sd / npix) / npix;
  if (var < 0.0) var = 0.0;
  const double sigma = std::sqrt(var);
  qprintf("imstats results for nx=%d-%d and ny=%d-%d:\n", ixlo, ixhi, iylo, iyhi);
  qprintf("  mu,sigma= %e %e\n", mu, sigma);
}

