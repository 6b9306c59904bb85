// Convergence maps turned into lens components by fast Fourier transforms.
//
// kap2lens / sig2lens solve the two-dimensional Poisson equation  lap(phi) = 2 kappa  for a
// pixel map of convergence (or surface density) on a zero-padded periodic grid, put back the
// mean sheet the zero mode drops, and store potential, deflection and second derivatives
// at the map's pixels in a binary file. loadkapmap reads such a file into a slot of the
// process-wide table `thekmap`; the class "kapmap" interpolates the stored maps bilinearly.
//
// Pixel (i, j), i = 1..nx, j = 1..ny, lies at x = xlo + (i - 1) dx, y = ylo + (j - 1) dy with
// dx = (xhi - xlo)/(nx - 1), dy = (yhi - ylo)/(ny - 1): xlo..xhi are the first and last
// pixel centres. The Fourier solution uses these spacings and the physical wavenumbers of
// each axis, so non-square maps and pixels are solved exactly like square ones.
//
// Binary map file (native byte order, no padding): double xlo, double xhi, int32 nx,
// double ylo, double yhi, int32 ny, then the seven maps (convergence, potential, deflection
// x, deflection y, phi_xx, phi_yy, phi_xy), each nx rows (i) of ny doubles (j).
#pragma once

#include <string>
#include <vector>

#include "numeric/alloc.h"
#include "shell/words.h"

// One stored map; nx = ny = 0 in a slot that holds none.
struct KapMap {
  int nx = 0, ny = 0;
  double xlo = 0, xhi = 0, ylo = 0, yhi = 0;
  Tensor3 maps;  // [0..6][1..nx][1..ny]
};

// Indices of the seven maps.
enum KapMapIndex { KM_KAPPA = 0, KM_POT, KM_DEFX, KM_DEFY, KM_PHIXX, KM_PHIYY, KM_PHIXY, KM_COUNT };

// The process-wide table of loaded maps, slots 1..Nkmap. Nkmap is 0 until the first
// loadkapmap fixes it; it never changes afterwards.
struct KapMapTable {
  int Nkmap = 0;
  std::vector<KapMap> slot;  // [0..Nkmap], slot 0 unused
};
extern KapMapTable thekmap;

// Empties the table (Nkmap back to 0). For start-up and tests.
void reset_kapmaps();

// ---- the solver ----

// Forward real transform of data[0 .. N1*N2-1] (row-major, N2 fastest) into the half-plane
// spectrum spec, indexed [(k1 + N1/2 - 1)][k2][re/im] for k1 = -N1/2+1..N1/2, k2 = 0..N2/2:
// spec[((k1 + N1/2 - 1) * (N2/2 + 1) + k2) * 2 + c]. data is overwritten.
void doFT(int N1, int N2, std::vector<double>& data, std::vector<double>& spec);
// The inverse: data = the real field whose doFT is spec (normalised so that doIFT after doFT
// returns the input).
void doIFT(int N1, int N2, std::vector<double>& data, const std::vector<double>& spec);

// Transform length for an axis of n pixels: the smallest power of two >= 2 n (at least 2);
// 0 when n exceeds 16384.
int kapmap_fft_length(int n);

// Fills maps[1..6] from maps[0] (nx x ny pixels, spacings dx, dy > 0) on an N1 x N2 padded
// transform grid: potential (its minimum over the map subtracted), deflection, second
// derivatives, all without the mean sheet that the periodic solution drops.
void solve_lens_FFT(int nx, int ny, Tensor3& maps, int N1, int N2, double dx, double dy);
// Zeroes the pixels below level; a negative level is first raised to the largest border
// pixel when that is larger.
void trim_kapmap(int nx, int ny, Mat& kappa, double level);
// Chooses the grid, solves, restores the mean sheet (centred on the origin) and writes the
// binary map file. Needs nx, ny >= 2 and xlo < xhi, ylo < yhi.
void do_kap2lens(int nx, int ny, const Mat& kappa, const std::string& outname, double xlo, double xhi,
                 double ylo, double yhi);

// Reads a binary map file into rec (nothing is kept on failure: the program ends with an
// ERROR naming the file when it is short, its header is impossible or a value is not a
// number).
void read_kapmap_file(const std::string& path, KapMap& rec);

// ---- commands ----
void kap2lens(const WordArray& words);
void kap2lenshelp(int level);
void sig2lens(const WordArray& words);
void sig2lenshelp(int level);
void loadkapmap(const WordArray& words);
void loadkapmaphelp(int level);
void makekapmap(const WordArray& words);
void makekapmaphelp(int level);
void checkkapmap(const WordArray& words);
void checkkapmaphelp(int level);
void fft1(const WordArray& words);
void fft1help(int level);
