// Two-dimensional array files: text, raw binary and FITS.
//
// An array is a matrix a[1..nx][1..ny]; the first index is x (the column of an image), the
// second y (the row). Every file type stores the nx * ny values with x varying fastest and
// in single precision; reading converts them back to doubles.
//
//   type 1, text:   "nx ny" on line 1, then one value per line as "%e" (any white space on input)
//   type 2, binary: int32 nx, int32 ny, then nx*ny float32, native byte order, no padding
//   type 3, FITS:   primary image, BITPIX -32, NAXIS1 = nx, NAXIS2 = ny (+ WCS keywords, see
//                   write_fits)
//   type 4, HDF5:   not supported in this build: the program ends, nothing read or written
//
// A file that cannot hold the array it declares (a size of zero or below, one too large,
// too few values, a word that is not a number) ends the program with an ERROR that names
// the file; no caller ever receives a partly filled array.
#pragma once

#include <string>

#include "numeric/alloc.h"

enum ArrayFileType { kTextFile = 1, kBinaryFile = 2, kFitsFile = 3, kHdf5File = 4 };

// The file-type check of a command's type words, made before the command reads or computes
// anything: the HDF5 type, not compiled in, ends the program with "ERROR: code has not been
// compiled to use HDF5 files". Other codes are left to the readers and writers.
void check_file_type(int type);

// Reads an array file of the given type into a new matrix a[1..nx][1..ny] and returns true.
// The HDF5 type ends the program before anything is read (check_file_type), as does an
// unknown type.
[[nodiscard]] bool read_array(const std::string& path, int type, int& nx, int& ny, Mat& a);
// read_array for maps whose pixels go into sums (fluxes, convolutions, statistics, cuts):
// a pixel that is not finite (a NaN blank, an infinity, a text value beyond the single
// precision range) ends the program with "<file>: pixel (i, j) is not a finite number".
[[nodiscard]] bool read_finite_array(const std::string& path, int type, int& nx, int& ny, Mat& a);
// Writes a[1..nx][1..ny] as a file of the given type and returns true. The HDF5 type and an
// unknown type end the program; nothing is written then.
bool write_array(const std::string& path, int type, int nx, int ny, const Mat& a);

void read_text(const std::string& path, int& nx, int& ny, Mat& a);
void read_bin(const std::string& path, int& nx, int& ny, Mat& a);
void read_fits(const std::string& path, int& nx, int& ny, Mat& a);
// HDF5 is not compiled in: both end the program (check_file_type).
void read_hdf5(const std::string& path, int& nx, int& ny, Mat& a);

void write_text(const std::string& path, int nx, int ny, const Mat& a);
void write_bin(const std::string& path, int nx, int ny, const Mat& a);
// Writes the FITS image; while WCSinfo is on it adds the tangent-plane keywords CTYPE1/2,
// CRPIX1/2, CRVAL1/2 and the CD matrix (arcseconds per pixel turned into degrees, x axis
// reversed; entries below 1e-12 in magnitude written as 0). The path is the file's name as
// written, not the FITS library's syntax (a leading "!" is dropped); a name ending in ".gz"
// is compressed. The image is built in memory and written as a WholeFile, so the target is
// replaced only when every byte is on disk. A file that cannot be created ends with the
// library's report for status 105, one not written whole with that for status 106.
void write_fits(const std::string& path, int nx, int ny, const Mat& a);
void write_hdf5(const std::string& path, int nx, int ny, const Mat& a);

// The single-precision pixel buffer of FITS reading and writing, over [nl..nh]. When it
// cannot be had the program ends with "ERROR: could not allocate FITS data array".
BVec<float> FITSvector(long nl, long nh);
