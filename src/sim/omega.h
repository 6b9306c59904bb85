// Simulation output: the FITS table of batch mock lenses, the record files of mock lenses
// (OMEGAwrite, merged by OMEGAmerge), and the two-step simulation over clump
// realisations (OMEGAstep1 writes local models with explicit clumps, OMEGAstep2 solves
// them).
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "io/outfile.h"
#include "models/substructure.h"
#include "numeric/alloc.h"
#include "shell/words.h"

// Record-file settings and stream.
struct OmegaWriteState {
  std::string OMEGAwrite_name;
  int OMEGAwrite_bin = 1;   // 1 binary, 2 text, 3 csv
  int OMEGAwrite_mode = 0;  // 0 no records, 1 open and close per record, 2 stream kept open
  OutFile OMEGAwrite_out;
  int OMEGAwrite_Ngal = 0, OMEGAwrite_nvar = 0, OMEGAwrite_nsub = 0;
};
extern OmegaWriteState TWomega;

// Missing-value marker of empty image slots in the FITS table.
constexpr double kFitsMissing = -4.2e11;

// 1 when the file can be opened for reading, else 0.
int exists(const std::string& path);

// Creates the FITS file and its table (N lenses, M model-number columns, coordinate flag
// 1 Cartesian, noise: siggal, sigx, sigf, sigt) unless the file exists. Returns false
// (after one line of report) when an existing table was made for another number of
// lenses or other coordinates, or the file could not be made.
bool write_header_create_table(const std::string& file, const std::string& extname, int N, int M, int coord,
                               const double noise[4], double omega, double lambda, double h);
// Appends one row: parameters [1..N][1..10], clump populations [1..N], the H counted
// images as rows [1..H][1..4] (x, y, flux, delay) in solver order. Returns true when the
// row was written; a failed row is removed again and reported in one line.
bool write_table(const std::string& file, const std::string& extname, int N, int coord, int model, const Mat& params,
                 const BVec<ClumpPop>& clumps, double zlens, double zsrc, double u, double v, int H, const Mat& images,
                 int ndouble, int nquad, long seed, const double nfw[11]);

// Record-file values in the given format (1 binary, 2 text, 3 csv).
void OMEGAwrite_float(FILE* f, int bin, double x, int end);
void OMEGAwrite_int(FILE* f, int bin, int x, int end);
void OMEGAwrite_string(FILE* f, int bin, const std::string& s, int end);
void OMEGAwrite_newline(FILE* f, int bin);

// Checks or writes the header of the record file of TWomega.
void OMEGAwrite_setup();
// Appends one record: H images [1..H][1..4], the source (u, v) and its flux.
void OMEGAwrite_mock(int H, const Mat& images, double u, double v, double flux);
// Closes the record stream (mode 2).
void OMEGAwrite_close();

// One record file read back.
struct OmegaRecordFile {
  int Ngal = 0, nvar = 0, nsub = 0;
  std::vector<std::string> names;
  std::vector<double> params;  // Ngal x 10
  std::vector<int> vary;       // Ngal x 10
  struct Record {
    std::vector<double> values;  // nvar + 8 nsub + 3 (u, v, flux)
    int H = 0;
    std::vector<double> images;  // 4 H
  };
  std::vector<Record> records;
  int maxH = 0;
};
// Reads a record file (bin 1 binary, 2 text); store false only counts the records.
// Returns the number of records; fatal when the file cannot be read.
int OMEGAmerge_read(const std::string& path, int bin, bool store, OmegaRecordFile& out);

// ---- commands ----
void OMEGAwrite(const WordArray& words);
void OMEGAwritehelp(int level);
void OMEGAmerge(const WordArray& words);
void OMEGAmergehelp(int level);
void OMEGAstep1(const WordArray& words);
void OMEGAstep1help(int level);
void OMEGAstep2(const WordArray& words);
void OMEGAstep2help(int level);
