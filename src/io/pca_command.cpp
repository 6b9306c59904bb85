// The command doPCA: reads the points of a data file, finds their principal frame and
// writes it with the points in that frame.
#include "io/pca_command.h"

#include <cstdio>
#include <string>
#include <vector>

#include "io/outfile.h"
#include "io/qvmfile.h"
#include "numeric/alloc.h"
#include "numeric/pca.h"
#include "shell/fatal.h"

void doPCA(const WordArray& words) {
  const std::string inname = words[1], outbase = words[2];
  // Counts are kept as long until the file has confirmed them (a line must hold n values,
  // npts lines must exist), so an absurd count ends with the missing-data error.
  long n = words.own_count() > 3 ? words.integer(3) : 0;
  long npts = words.own_count() > 4 ? words.integer(4) : 0;
  WordArray line;

  if (npts <= 0) {
    FileHandle f(QVMfopen(inname, "r", "could not open input file for doPCA"));
    qprintf("doPCA: counting data points ... ");
    std::fflush(QVMstdout);
    if (n <= 0) myread(f, line);  // the first data line holds the dimension
    npts = 0;
    while (myread(f, line)) npts++;
    f.close();
    qprintf("%ld\n", npts);
  }

  FileHandle f(QVMfopen(inname, "r", "could not open input file for doPCA"));
  if (n <= 0) {
    if (!myread(f, line) || line.own_count() < 1) fatal("missing data in doPCA input file");
    const long dim = line.integer(0);
    if (dim <= 0) fatal("the number of dimensions in the doPCA input file must be positive");
    n = dim;
  }
  qprintf("doPCA: number of dimensions ... %ld\n", n);

  // Points are collected before the matrix is made, so that a wrong count on the command
  // line ends with the missing-data error rather than a huge allocation.
  std::vector<double> values;
  for (long i = 1; i <= npts; i++) {
    if (!myread(f, line) || line.own_count() < n) fatal("missing data in doPCA input file");
    for (int j = 0; j < n; j++) values.push_back(line.real(j));
  }
  f.close();
  // Before the n by n matrices are made: without two points a dimension read from the
  // file has not been confirmed by any data line.
  check_covariance_input(npts, n);

  Mat data(1, npts, 1, n);
  for (long i = 1; i <= npts; i++)
    for (long j = 1; j <= n; j++) data[i][j] = values[static_cast<size_t>((i - 1) * n + (j - 1))];
  std::vector<double>().swap(values);

  Vec mean(1, n), eval(1, n);
  Mat rot(1, n, 1, n);
  PCAdcmp(data, static_cast<int>(npts), static_cast<int>(n), mean, eval, rot);

  WholeFile info(outbase + ".info", "could not open doPCA output file", true);
  std::fprintf(info, "#  index  eigenvalues  mean-vector  rotation-matrix\n");
  for (long i = 1; i <= n; i++) {
    std::fprintf(info, "%2ld %13.6e %13.6e ", i, eval[i], mean[i]);
    for (long j = 1; j <= n; j++) std::fprintf(info, " %13.6e", rot[i][j]);
    std::fprintf(info, "\n");
  }
  info.commit();

  WholeFile dat(outbase + ".dat", "could not open doPCA output file", true);
  for (long i = 1; i <= npts; i++) {
    for (long j = 1; j <= n; j++) std::fprintf(dat, " %13.6e", data[i][j]);
    std::fprintf(dat, "\n");
  }
  dat.commit();
}
