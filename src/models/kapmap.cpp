// Convergence maps: the Fourier solver, the binary map files, the class "kapmap" and the
// map commands.
//
// The deflection of a convergence map is alpha(x) = (1/pi) int kappa(x') (x - x')/|x - x'|^2
// d^2x' and its potential solves the Poisson equation lap psi = 2 kappa (Schneider, Ehlers &
// Falco 1992, Gravitational Lenses), both evaluated as convolutions with the Fourier transform.
#include "models/kapmap.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "io/arrayfile.h"
#include "io/outfile.h"
#include "io/qvmfile.h"
#include "models/classes.h"
#include "models/component.h"
#include "models/evaluator.h"
#include "numeric/constants.h"
#include "numeric/cosmology.h"
#include "numeric/fft.h"
#include "numeric/random.h"
#include "numeric/interp.h"
#include "shell/argcheck.h"
#include "shell/commands.h"
#include "shell/fatal.h"
#include "shell/settings.h"

KapMapTable thekmap;

void reset_kapmaps() {
  thekmap.Nkmap = 0;
  thekmap.slot.clear();
}

namespace {

constexpr int kMaxAxis = 16384;  // pixels per axis that the transform grid can pad

// ---- small file helpers ----

// Reads the first two words of the next non-blank line of a range file as numbers; a
// missing line or a word that is not a number ends with an ERROR naming the file.
void read_range_line(FILE* f, const std::string& path, const char* what, double& lo, double& hi) {
  WordArray w;
  if (myread(f, w) == 0 || w.own_count() < 2)
    fatal("range file " + path + " has no " + what + " range (two numbers expected)");
  if (!parse_real(w[0], lo) || !parse_real(w[1], hi))
    fatal("range file " + path + ": the " + what + " range is not a pair of numbers");
}

void read_range_file(const std::string& path, const char* open_message, double& xlo, double& xhi,
                     double& ylo, double& yhi) {
  FileHandle f(QVMfopen(path, "r", open_message));
  read_range_line(f, path, "x", xlo, xhi);
  read_range_line(f, path, "y", ylo, yhi);
}

// Unpacked spectrum index of (k1, k2), k1 = -N1/2+1..N1/2, k2 = 0..N2/2.
inline size_t spec_index(int N1, int N2, int k1, int k2) {
  return (static_cast<size_t>(k1 + N1 / 2 - 1) * static_cast<size_t>(N2 / 2 + 1) + static_cast<size_t>(k2)) * 2;
}

template <class T>
bool read_exact(FILE* f, T* dst, size_t n) {
  return std::fread(dst, sizeof(T), n, f) == n;
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Transforms

// The half-plane spectrum runs k1 = -N1/2+1 .. N1/2; FFTW's rows run k1 = 0 .. N1/2, then
// -N1/2+1 .. -1, so FFTW's row r is spectrum row (r + N1/2 - 1) mod N1. FFTW's forward
// transform carries exp(-i ...), the spectrum exp(+i ...): for a real field the two are
// complex conjugates.

void doFT(int N1, int N2, std::vector<double>& data, std::vector<double>& spec) {
  const size_t row = static_cast<size_t>(N2 / 2 + 1) * 2;
  spec.resize(static_cast<size_t>(N1) * row);
  const long dims[2] = {N1, N2};
  real_forward(2, dims, data.data(), spec.data());
  // FFTW's row r becomes spectrum row (r + shift) mod N1, conjugated.
  const int shift = ((N1 / 2 - 1) % N1 + N1) % N1;
  std::rotate(spec.begin(), spec.begin() + static_cast<std::ptrdiff_t>(N1 - shift) * static_cast<std::ptrdiff_t>(row),
              spec.end());
  for (size_t c = 1; c < spec.size(); c += 2) spec[c] = -spec[c];
}

void doIFT(int N1, int N2, std::vector<double>& data, const std::vector<double>& spec) {
  // The spectrum goes into data as FFTW's padded in-place layout (rows of N2 + 2 values),
  // conjugated and divided by N1 N2, the factor FFTW's backward transform multiplies by.
  const size_t row = static_cast<size_t>(N2 / 2 + 1) * 2;
  const int shift = N1 / 2 - 1;
  const double norm = 1.0 / (static_cast<double>(N1) * static_cast<double>(N2));
  data.resize(static_cast<size_t>(N1) * row);  // every value is written below
  for (int r = 0; r < N1; ++r) {
    const double* from = spec.data() + static_cast<size_t>((r + shift) % N1) * row;
    double* to = data.data() + static_cast<size_t>(r) * row;
    for (size_t c = 0; c < row; c += 2) {
      to[c] = norm * from[c];
      to[c + 1] = -norm * from[c + 1];
    }
  }
  const long dims[2] = {N1, N2};
  real_backward(2, dims, data.data(), data.data());
  for (int r = 1; r < N1; ++r)  // close the padding: rows of N2 values
    std::copy(data.begin() + static_cast<std::ptrdiff_t>(r * row),
              data.begin() + static_cast<std::ptrdiff_t>(r * row + N2),
              data.begin() + static_cast<std::ptrdiff_t>(r) * N2);
  data.resize(static_cast<size_t>(N1) * N2);
}

int kapmap_fft_length(int n) {
  if (n > kMaxAxis) return 0;
  int len = 2;
  while (len < 2 * n) len *= 2;
  return len;
}

// ---------------------------------------------------------------------------------------
// Poisson solution

namespace {

// The difference between the periodic Green's function of the padded box and the
// free-space one, J(d) = G_per(d) - G_free(d), with lap G_free = delta (G_free = ln|d|/(2 pi))
// and lap G_per = delta - 1/A on the box of sides Lx, Ly (A = Lx Ly, zero mean). J is smooth
// wherever |d_x| < Lx and |d_y| < Ly except at the lattice points, so over the separations
// of two pixels of the map (less than half the box along each axis). It is the field of
// all periodic images of a unit mass together with the uniform background that the
// dropped zero mode stands for: lens = periodic solution - 2 kappa (*) J.
//
// Evaluation: the images are summed row by row. With P the shorter period (along s) and
// Q the longer (along t), a row of unit masses spaced P along s at height t = m Q has the
// potential (1/4 pi) ln(cosh a_m - cos b), a_m = 2 pi (t - m Q)/P, b = 2 pi s/P; rows m != 0
// enter without their linear growth (which cancels in pairs for |t| < Q), so they decay
// like exp(-2 pi |m| Q/P); the background adds -t^2/(2A). With E = e^-|a| and
// D = (1 - E)^2 + 4 E sin^2(b/2) (cosh a - cos b = D e^|a|/2) every term is free of
// cancellation and overflow.
class ImageKernel {
 public:
  ImageKernel(double Lx, double Ly) : swap_(Lx > Ly) {
    P_ = swap_ ? Ly : Lx;
    Q_ = swap_ ? Lx : Ly;
    A_ = Lx * Ly;
    k_ = 2.0 * kPi / P_;
    // Rows beyond +-M change nothing in double precision (|t| <= Q/2).
    M_ = 1;
    while (M_ < 64 && std::exp(-k_ * (M_ - 0.5) * Q_) > 1e-18) ++M_;
    // Limits at d = 0: J(0) and the second derivatives from the harmonic expansion
    // J = j0 + e2 (s^2 - t^2) - (s^2 + t^2)/(4A) + O(d^4),
    // e2 = -pi/(12 P^2) + 1/(4A) + (2 pi/P^2) sum_m q_m/(1 - q_m)^2, q_m = exp(-2 pi m Q/P).
    double S1 = 0.0, lnsum = 0.0;
    for (int m = 1; m <= M_; ++m) {
      const double q = std::exp(-k_ * m * Q_);
      S1 += q / ((1.0 - q) * (1.0 - q));
      lnsum += 4.0 * std::log1p(-q);  // rows +-m at b = 0: ln((1 - q)^2) each
    }
    const double e2 = -kPi / (12.0 * P_ * P_) + 1.0 / (4.0 * A_) + 2.0 * kPi * S1 / (P_ * P_);
    j0_ = (2.0 * std::log(k_) + lnsum) / (4.0 * kPi);
    jss0_ = 2.0 * e2 - 1.0 / (2.0 * A_);
    jtt0_ = -2.0 * e2 - 1.0 / (2.0 * A_);
  }

  // J, J_x, J_y, J_xx, J_yy, J_xy at the separations (i dx, j dy), i = 0..n1-1, j = 0..n2-1,
  // into out[q][i * n2 + j].
  void fill(int n1, int n2, double dx, double dy, std::vector<double> out[6]) const {
    const int ns = swap_ ? n2 : n1, nt = swap_ ? n1 : n2;
    const double ds = swap_ ? dy : dx, dt = swap_ ? dx : dy;
    // Per s: sin b, cos b, sin^2(b/2).
    std::vector<double> sb(ns), cb(ns), hb2(ns);
    for (int is = 0; is < ns; ++is) {
      const double b = k_ * is * ds, h = std::sin(0.5 * b);
      sb[is] = std::sin(b);
      cb[is] = std::cos(b);
      hb2[is] = h * h;
    }
    // Per t: E and 1 - E of the rows m = 0, +1, -1, +2, -2, ..., and the sign of a_m.
    const int nrow = 2 * M_ + 1;
    std::vector<double> E(nrow), om(nrow), sg(nrow);
    for (int q = 0; q < 6; ++q) out[q].assign(static_cast<size_t>(n1) * n2, 0.0);
    for (int it = 0; it < nt; ++it) {
      const double t = it * dt, at = k_ * t;
      E[0] = std::exp(-at);
      om[0] = -std::expm1(-at);
      sg[0] = at > 0 ? 1.0 : 0.0;
      const double up = std::exp(at), down = E[0];
      for (int m = 1; m <= M_; ++m) {
        const double qm = std::exp(-k_ * m * Q_);
        E[2 * m - 1] = qm * up;  // row +m: a = k (t - m Q) < 0
        E[2 * m] = qm * down;    // row -m: a = k (t + m Q) > 0
        om[2 * m - 1] = 1.0 - E[2 * m - 1];
        om[2 * m] = 1.0 - E[2 * m];
        sg[2 * m - 1] = -1.0;
        sg[2 * m] = 1.0;
      }
      for (int is = 0; is < ns; ++is) {
        const double s = is * ds;
        const double r2 = s * s + t * t;
        double J, Js, Jt, Jss, Jtt, Jst;
        if (r2 == 0.0) {
          J = j0_;
          Js = Jt = Jst = 0.0;
          Jss = jss0_;
          Jtt = jtt0_;
        } else {
          double logD0 = 0.0, prod = 1.0, Sa = 0.0, Sb = 0.0, Saa = 0.0, Sab = 0.0;
          for (int m = 0; m < nrow; ++m) {
            const double e = E[m], o = om[m];
            const double D = o * o + 4.0 * e * hb2[is];
            const double iD = 1.0 / D, iD2 = iD * iD;
            if (m == 0) {
              logD0 = std::log(D);
              Sa += sg[m] * o * (1.0 + e) * iD;
            } else {
              prod *= D;
              Sa += sg[m] * (o * (1.0 + e) * iD - 1.0);
            }
            Sb += 2.0 * e * sb[is] * iD;
            Saa += -2.0 * e * (o * o * cb[is] - 4.0 * e * hb2[is]) * iD2;
            Sab += -sg[m] * 2.0 * e * o * (1.0 + e) * sb[is] * iD2;
          }
          const double S = at + logD0 + std::log(prod);
          const double r4 = r2 * r2, c = kPi / (P_ * P_);
          J = S / (4.0 * kPi) - std::log(r2) / (4.0 * kPi) - t * t / (2.0 * A_);
          Js = Sb / (2.0 * P_) - s / (2.0 * kPi * r2);
          Jt = Sa / (2.0 * P_) - t / (2.0 * kPi * r2) - t / A_;
          Jss = -c * Saa - (t * t - s * s) / (2.0 * kPi * r4);
          Jtt = c * Saa - (s * s - t * t) / (2.0 * kPi * r4) - 1.0 / A_;
          Jst = c * Sab + s * t / (kPi * r4);
        }
        const size_t at_ij = swap_ ? static_cast<size_t>(it) * n2 + is : static_cast<size_t>(is) * n2 + it;
        out[0][at_ij] = J;
        out[1][at_ij] = swap_ ? Jt : Js;
        out[2][at_ij] = swap_ ? Js : Jt;
        out[3][at_ij] = swap_ ? Jtt : Jss;
        out[4][at_ij] = swap_ ? Jss : Jtt;
        out[5][at_ij] = Jst;
      }
    }
  }

 private:
  bool swap_;
  int M_;
  double P_, Q_, A_, k_, j0_, jss0_, jtt0_;
};

}  // namespace

void solve_lens_FFT(int nx, int ny, Tensor3& maps, int N1, int N2, double dx, double dy) {
  qprintf("Solving Poisson equation using FFTs.\n");
  note(strformat("FFT grid size = %d %d", N1, N2));

  // The map sits centred in zero padding.
  const int ox = (N1 - nx) / 2, oy = (N2 - ny) / 2;
  const size_t ngrid = static_cast<size_t>(N1) * N2;
  qprintf("Working on: kappa\n");
  std::vector<double> grid(ngrid, 0.0), kspec, jspec, work;
  for (int i = 1; i <= nx; ++i)
    for (int j = 1; j <= ny; ++j)
      grid[static_cast<size_t>(ox + i - 1) * N2 + (oy + j - 1)] = maps[KM_KAPPA][i][j];
  doFT(N1, N2, grid, kspec);

  // The image-correction kernels J_q at the separations of two map pixels (one quadrant;
  // the others by the parity of each kernel). Separations of half the box or more never
  // join two pixels of the map and stay 0.
  const double dA = dx * dy;
  std::vector<double> quad[6];
  ImageKernel(N1 * dx, N2 * dy).fill(nx, ny, dx, dy, quad);
  const double parity[6][2] = {{1, 1}, {-1, 1}, {1, -1}, {1, 1}, {1, 1}, {-1, -1}};
  auto kernel_grid = [&](int q, std::vector<double>& g) {
    g.assign(ngrid, 0.0);
    for (int r = 0; r < nx; ++r)
      for (int c = 0; c < ny; ++c) {
        const double v = -2.0 * dA * quad[q][static_cast<size_t>(r) * ny + c];
        const int rr[2] = {r, (N1 - r) % N1}, cc[2] = {c, (N2 - c) % N2};
        for (int u = 0; u < 2; ++u)
          for (int w = 0; w < 2; ++w)
            g[static_cast<size_t>(rr[u]) * N2 + cc[w]] = v * (u ? parity[q][0] : 1.0) * (w ? parity[q][1] : 1.0);
      }
  };

  // Physical angular wavenumbers of the padded box: the box is N1 dx by N2 dy.
  const double cx = 2.0 * kPi / (N1 * dx), cy = 2.0 * kPi / (N2 * dy);
  // Periodic part: with the transform's sign convention a derivative along x multiplies
  // the spectrum by -i kx, so  phi = -2 K/k^2,  alpha_x = 2 i kx K/k^2,  phi_xx = 2 kx^2 K/k^2
  // ... with the zero mode (the mean of the padded field) dropped. The Nyquist row and
  // column, where a real field has no odd part, get no odd derivative. The images and the
  // background that the periodic solution contains are then removed by the kernels.
  // phi_yy follows from Poisson's equation, phi_xx + phi_yy = 2 kappa, which both parts
  // satisfy exactly.
  struct Quantity {
    int index;
    const char* name;
  };
  const Quantity quantities[] = {{KM_POT, "potential"}, {KM_DEFX, "defx"}, {KM_DEFY, "defy"},
                                 {KM_PHIXX, "phixx"}, {KM_PHIXY, "phixy"}};
  const int kern_of[KM_COUNT] = {0, 0, 1, 2, 3, 4, 5};
  work.resize(kspec.size());
  for (const Quantity& q : quantities) {
    if (q.index == KM_PHIXY) qprintf("Working on: phiyy\n");
    qprintf("Working on: %s\n", q.name);
    kernel_grid(kern_of[q.index], grid);
    doFT(N1, N2, grid, jspec);
    for (int k1 = -N1 / 2 + 1; k1 <= N1 / 2; ++k1) {
      const double kx = cx * k1;
      const bool nyq1 = k1 == N1 / 2;
      for (int k2 = 0; k2 <= N2 / 2; ++k2) {
        const size_t s = spec_index(N1, N2, k1, k2);
        const double ky = cy * k2;
        const bool nyq2 = k2 == N2 / 2;
        const double k2sum = kx * kx + ky * ky;
        const double re = kspec[s], im = kspec[s + 1];
        double fr = jspec[s], fi = jspec[s + 1];  // result = (re + i im) * (fr + i fi)
        if (k1 != 0 || k2 != 0) {
          switch (q.index) {
            case KM_POT: fr += -2.0 / k2sum; break;
            case KM_DEFX: fi += nyq1 ? 0.0 : 2.0 * kx / k2sum; break;
            case KM_DEFY: fi += nyq2 ? 0.0 : 2.0 * ky / k2sum; break;
            case KM_PHIXX: fr += 2.0 * kx * kx / k2sum; break;
            default: fr += (nyq1 || nyq2) ? 0.0 : 2.0 * kx * ky / k2sum; break;
          }
        }
        work[s] = re * fr - im * fi;
        work[s + 1] = re * fi + im * fr;
      }
    }
    doIFT(N1, N2, grid, work);
    for (int i = 1; i <= nx; ++i)
      for (int j = 1; j <= ny; ++j)
        maps[q.index][i][j] = grid[static_cast<size_t>(ox + i - 1) * N2 + (oy + j - 1)];
  }
  for (int i = 1; i <= nx; ++i)
    for (int j = 1; j <= ny; ++j) maps[KM_PHIYY][i][j] = 2.0 * maps[KM_KAPPA][i][j] - maps[KM_PHIXX][i][j];

  // The potential is defined up to a constant: its minimum over the map becomes 0.
  double pmin = 1.0e12;
  for (int i = 1; i <= nx; ++i)
    for (int j = 1; j <= ny; ++j) pmin = std::fmin(pmin, maps[KM_POT][i][j]);
  for (int i = 1; i <= nx; ++i)
    for (int j = 1; j <= ny; ++j) maps[KM_POT][i][j] -= pmin;
}

void trim_kapmap(int nx, int ny, Mat& kappa, double level) {
  if (level < 0.0) {
    for (int i = 1; i <= nx; ++i) {
      level = std::fmax(level, kappa[i][1]);
      level = std::fmax(level, kappa[i][ny]);
    }
    for (int j = 1; j <= ny; ++j) {
      level = std::fmax(level, kappa[1][j]);
      level = std::fmax(level, kappa[nx][j]);
    }
  }
  qprintf("Trimming kappa map at isodensity level kappa = %e\n", level);
  for (int i = 1; i <= nx; ++i)
    for (int j = 1; j <= ny; ++j)
      if (kappa[i][j] < level) kappa[i][j] = 0.0;
}

void do_kap2lens(int nx, int ny, const Mat& kappa, const std::string& outname, double xlo, double xhi,
                 double ylo, double yhi) {
  const int N1 = kapmap_fft_length(nx);
  if (N1 == 0) fatal("kappa array too large in x direction");
  const int N2 = kapmap_fft_length(ny);
  if (N2 == 0) fatal("kappa array too large in y direction");
  if (nx < 2 || ny < 2) fatal("kappa map needs at least two pixels along each axis");
  if (!(xlo < xhi) || !(ylo < yhi)) fatal("kappa map range must run from low to high in x and in y");
  const double dx = (xhi - xlo) / (nx - 1), dy = (yhi - ylo) / (ny - 1);

  Tensor3 maps(0, KM_COUNT - 1, 1, nx, 1, ny);
  double ksum = 0.0;
  for (int i = 1; i <= nx; ++i)
    for (int j = 1; j <= ny; ++j) {
      maps[KM_KAPPA][i][j] = kappa[i][j];
      ksum += kappa[i][j];
    }
  solve_lens_FFT(nx, ny, maps, N1, N2, dx, dy);

  // The mean convergence of the padded box, which the periodic solution drops with its zero
  // mode; the solver has put it back (as the sheet of the map's own mass, together with
  // the field of the periodic images).
  const double kbar = ksum / (static_cast<double>(N1) * static_cast<double>(N2));
  qprintf("Correcting lensFFT results with sheet kappa = %e\n", kbar);

  qprintf("Writing kap2lens data to binary file %s\n", outname.c_str());
  WholeFile f(outname, "could not open kap2lens output file");
  const int32_t nx32 = nx, ny32 = ny;
  std::fwrite(&xlo, sizeof xlo, 1, f);
  std::fwrite(&xhi, sizeof xhi, 1, f);
  std::fwrite(&nx32, sizeof nx32, 1, f);
  std::fwrite(&ylo, sizeof ylo, 1, f);
  std::fwrite(&yhi, sizeof yhi, 1, f);
  std::fwrite(&ny32, sizeof ny32, 1, f);
  std::fwrite(maps.data(), sizeof(double), static_cast<size_t>(KM_COUNT) * nx * ny, f);
  f.commit();
}

// ---------------------------------------------------------------------------------------
// Binary map files

void read_kapmap_file(const std::string& path, KapMap& rec) {
  FileHandle f(open_input_file(path, "rb", "could not open loadkapmap input file"));
  if (!f) fatal("could not open loadkapmap input file");
  qprintf("Reading kapmap data from binary file %s\n", path.c_str());
  const std::string shortmsg = "kapmap file " + path + " is shorter than its header says";
  double xlo, xhi, ylo, yhi;
  int32_t nx, ny;
  if (!read_exact(f.get(), &xlo, 1) || !read_exact(f.get(), &xhi, 1) || !read_exact(f.get(), &nx, 1) ||
      !read_exact(f.get(), &ylo, 1) || !read_exact(f.get(), &yhi, 1) || !read_exact(f.get(), &ny, 1))
    fatal(shortmsg);
  if (nx < 1 || ny < 1) fatal(strformat("kapmap file %s declares an impossible size %d x %d", path.c_str(), nx, ny));
  if (!std::isfinite(xlo) || !std::isfinite(xhi) || !std::isfinite(ylo) || !std::isfinite(yhi))
    fatal("kapmap file " + path + " holds a range that is not a number");
  // The class steps (hi - lo)/(n - 1) from lo: an axis of two or more pixels needs lo < hi.
  if ((nx > 1 && !(xlo < xhi)) || (ny > 1 && !(ylo < yhi)))
    fatal("kapmap file " + path + " has an empty or reversed range");
  qprintf("  x : %f %f %d\n", xlo, xhi, nx);
  qprintf("  y : %f %f %d\n", ylo, yhi, ny);
  // Compare the declared size with the file before allocating for it.
  const long header = 40;
  const double want = header + 56.0 * nx * static_cast<double>(ny);
  if (std::fseek(f, 0, SEEK_END) == 0) {
    const long size = std::ftell(f);
    if (size >= 0 && static_cast<double>(size) < want) fatal(shortmsg);
    if (std::fseek(f, header, SEEK_SET) != 0) fatal("could not read kapmap file " + path);
  }
  KapMap m;
  m.nx = nx;
  m.ny = ny;
  m.xlo = xlo;
  m.xhi = xhi;
  m.ylo = ylo;
  m.yhi = yhi;
  m.maps.reset(0, KM_COUNT - 1, 1, nx, 1, ny);
  const size_t n = static_cast<size_t>(KM_COUNT) * nx * ny;
  if (!read_exact(f.get(), m.maps.data(), n)) fatal(shortmsg);
  for (size_t k = 0; k < n; ++k)
    if (!std::isfinite(m.maps.data()[k])) fatal("kapmap file " + path + " holds a value that is not a number");
  rec = std::move(m);
}

// ---------------------------------------------------------------------------------------
// Class "kapmap"

namespace modelclass {

void kapmap(DerivVector& out, double x, double y) {
  if (thekmap.Nkmap == 0) fatal("no kapmaps have been loaded");
  const double al = cur.al;
  if (!(al > -1.0 && al < thekmap.Nkmap + 1.0)) fatal("kapmap index out of bounds");
  int d = static_cast<int>(al);  // truncation toward zero
  if (d == 0) d = 1;
  const KapMap& km = thekmap.slot[d];
  const double a = std::fabs(cur.aa);
  double u = x, v = y;
  if (a != 0.0) {
    u = x / a;
    v = y / a;
  }
  if (km.nx <= 1 || km.ny <= 1) {
    warning("trying to compute with a kapmap that has not been loaded");
    return;
  }
  const int nx = km.nx, ny = km.ny;
  const double dx = (km.xhi - km.xlo) / (nx - 1), dy = (km.yhi - km.ylo) / (ny - 1);
  // Points outside the map give zeros. The edges are taken with a slack of 1e-9 pixel, so
  // that the last row and column stay reachable through the rounding of the rotation
  // into the component frame.
  const double ex = 1e-9 * std::fabs(dx), ey = 1e-9 * std::fabs(dy);
  if (!(u >= km.xlo - ex && u <= km.xhi + ex && v >= km.ylo - ey && v <= km.yhi + ey)) return;

  int i = static_cast<int>((u - km.xlo) / dx * 1.000001) + 1;
  int j = static_cast<int>((v - km.ylo) / dy * 1.000001) + 1;
  if (i >= nx) i = nx - 1;
  if (j >= ny) j = ny - 1;
  if (i < 1) i = 1;
  if (j < 1) j = 1;
  const double fu = (u - (km.xlo + (i - 1) * dx)) / dx;
  const double fv = (v - (km.ylo + (j - 1) * dy)) / dy;
  const double w00 = (1.0 - fu) * (1.0 - fv), w10 = fu * (1.0 - fv), w01 = (1.0 - fu) * fv, w11 = fu * fv;
  const size_t plane = static_cast<size_t>(nx) * ny;
  const double* base = km.maps.data() + static_cast<size_t>(i - 1) * ny + (j - 1);
  double val[KM_COUNT];
  for (int m = KM_POT; m < KM_COUNT; ++m) {
    const double* p = base + m * plane;
    val[m] = w00 * p[0] + w10 * p[ny] + w01 * p[1] + w11 * p[ny + 1];
  }
  const double b = cur.b;
  const double lp = a != 0.0 ? a * a : 1.0, ld = a != 0.0 ? a : 1.0;
  out[1] = b * val[KM_POT] * lp;
  out[2] = b * val[KM_DEFX] * ld;
  out[3] = b * val[KM_DEFY] * ld;
  out[4] = b * val[KM_PHIXX];
  out[5] = b * val[KM_PHIYY];
  out[6] = b * val[KM_PHIXY];
}

}  // namespace modelclass

// ---------------------------------------------------------------------------------------
// Commands

namespace {

// Shared by kap2lens and sig2lens: the map file, its type, the trimming words. Every pixel
// goes into the transforms, so one that is not finite ends the program.
bool read_map_words(const WordArray& words, int& nx, int& ny, Mat& kappa) {
  return read_finite_array(words[1], words.int_value(2), nx, ny, kappa);
}

bool trim_requested(const WordArray& words, double& level) {
  if (words[5] != "trim") return false;
  level = words.own_count() > 6 ? words.real(6) : -1.0;
  return true;
}

}  // namespace

void kap2lens(const WordArray& words) {
  int nx = 0, ny = 0;
  Mat kappa;
  if (!read_map_words(words, nx, ny, kappa)) return;
  double xlo, xhi, ylo, yhi;
  read_range_file(words[3], "could not open kap2lens range file", xlo, xhi, ylo, yhi);
  double level;
  if (trim_requested(words, level)) trim_kapmap(nx, ny, kappa, level);
  do_kap2lens(nx, ny, kappa, words[4], xlo, xhi, ylo, yhi);
}

void sig2lens(const WordArray& words) {
  if (settings.zlens < 0.0 || settings.zsrc < 0.0) fatal("sig2lens needs lens and source redshifts");
  if (!(settings.zlens > 0.0)) fatal("sig2lens needs a positive lens redshift");
  if (!(settings.zsrc > settings.zlens)) fatal("sig2lens needs a source redshift above the lens redshift");
  int nx = 0, ny = 0;
  Mat sigma;
  if (!read_map_words(words, nx, ny, sigma)) return;
  double xlo, xhi, ylo, yhi;
  read_range_file(words[3], "could not open sig2lens range file", xlo, xhi, ylo, yhi);

  const double Dol = angdist(0.0, settings.zlens), Dos = angdist(0.0, settings.zsrc);
  const double Dls = angdist(settings.zlens, settings.zsrc);
  const double hval = settings.hval;
  const double sigcrit = hval * 5.5541e8 * Dos / (Dls * Dol);
  const double kpc_per_arcsec = Dol * 2997920.0 / hval * kPi / 648000.0;
  for (int i = 1; i <= nx; ++i)
    for (int j = 1; j <= ny; ++j) sigma[i][j] /= sigcrit;
  xlo /= kpc_per_arcsec;
  xhi /= kpc_per_arcsec;
  ylo /= kpc_per_arcsec;
  yhi /= kpc_per_arcsec;
  qprintf("Conversion factors:\n");
  qprintf("  Sigma_crit = %e Msun/kpc^2\n", sigcrit);
  qprintf("  Dol implies: %e kpc/arcsec\n", kpc_per_arcsec);
  qprintf("Map range in arcsec:\n");
  qprintf(" x %f %f\n", xlo, xhi);
  qprintf(" y %f %f\n", ylo, yhi);
  double level;
  if (trim_requested(words, level)) trim_kapmap(nx, ny, sigma, level);
  do_kap2lens(nx, ny, sigma, words[4], xlo, xhi, ylo, yhi);
}

void loadkapmap(const WordArray& words) {
  const int nw = words.own_count();
  const long index = nw > 2 ? words.integer(2) : 1;
  const bool has_total = nw > 3;
  const long total = has_total ? words.integer(3) : 1;
  if (thekmap.Nkmap == 0) {
    if (total < 1 || total > 1000000) fatal("the total number of kappa maps must be positive");
    thekmap.Nkmap = static_cast<int>(total);
    thekmap.slot.assign(static_cast<size_t>(total) + 1, KapMap());
  } else if (has_total && total != thekmap.Nkmap) {
    fatal("you cannot change the total number of kappa maps once it is set");
  }
  if (index < 1 || index > thekmap.Nkmap) fatal("in loadkapmap, index is out of bounds");
  KapMap rec;
  read_kapmap_file(words[1], rec);
  thekmap.slot[index] = std::move(rec);
}

void makekapmap(const WordArray& words) {
  const int nw = words.own_count();
  if (TWgal.NGALMAX < 1) fatal("makekapmap needs a lens model (none has been set)");
  if (!checksteps(words[6], "x steps", 1, 0)) return;
  if (!checksteps(words[9], "y steps", 1, 0)) return;
  const std::string outname = words[1];
  const int outtype = words.int_value(2);
  check_file_type(outtype);
  const std::string rangename = words[3];
  const double xlo = words.real(4), xhi = words.real(5), ylo = words.real(7), yhi = words.real(8);
  const int nx = words.usable(6, "number of steps", 1, kCountLimit);
  const int ny = words.usable(9, "number of steps", 1, kCountLimit);
  check_grid_points("makekapmap", nx, ny);
  const double noise = nw > 10 ? words.real(10) : 0.0;
  const long nover_l = nw > 11 ? words.integer(11) : 1;
  if (nover_l < 1 || nover_l > 10000) fatal("makekapmap: Nover must be a positive number of samples");
  const int nover = static_cast<int>(nover_l);
  const double dx = nx > 1 ? (xhi - xlo) / (nx - 1) : 0.0, dy = ny > 1 ? (yhi - ylo) / (ny - 1) : 0.0;

  qprintf("Computing kappa map.\n");
  Mat kap(1, nx, 1, ny);
  for (int i = 1; i <= nx; ++i) {
    qprintf("Step %d/%d\n", i, nx);
    const double x = setparm(nx, i, xlo, xhi);
    for (int j = 1; j <= ny; ++j) {
      const double y = setparm(ny, j, ylo, yhi);
      double sum = 0.0;
      for (int k = 1; k <= nover; ++k) {
        const double xs = x + ((k - 0.5) / nover - 0.5) * dx;
        for (int l = 1; l <= nover; ++l) {
          const double ys = y + ((l - 0.5) / nover - 0.5) * dy;
          double pot, px, py, pxx, pyy, pxy, pyx;
          potdefmag(xs, ys, pot, px, py, pxx, pyy, pxy, pyx);
          sum += 0.5 * (pxx + pyy);
        }
      }
      kap[i][j] = sum / (static_cast<double>(nover) * nover);
      if (std::fabs(noise) >= 1.0e-6) kap[i][j] += gasdev(settings.seed);
    }
  }
  if (!write_array(outname, outtype, nx, ny, kap)) return;
  WholeFile f(rangename, "could not open range file for writing", true);
  std::fprintf(f, "%e %e\n", xlo, xhi);
  std::fprintf(f, "%e %e\n", ylo, yhi);
  f.commit();
}

void checkkapmap(const WordArray& words) {
  const int nw = words.own_count();
  if (TWgal.NGALMAX < 1) fatal("checkkapmap needs a lens model (none has been set)");
  const int type = words.int_value(3);
  check_file_type(type);
  if (nw > 8) check_file_type(words.int_value(8));
  int nx = 0, ny = 0, nxn = 0, nyn = 0;
  Mat kap, noise;
  if (!read_array(words[1], type, nx, ny, kap)) return;
  if (!read_array(words[2], type, nxn, nyn, noise)) return;
  if (nxn != nx || nyn != ny)
    fatal(strformat("checkkapmap: the noise map (%d x %d) and the kappa map (%d x %d) differ in size", nxn,
                    nyn, nx, ny));
  double xlo, xhi, ylo, yhi;
  read_range_file(words[4], "could not open checkkapmap range file", xlo, xhi, ylo, yhi);
  const double Rlo = nw > 5 ? words.real(5) : 0.0;
  const double Rhi = nw > 6 ? words.real(6) : 1.0e10;
  const double x0 = getp(1, 2), y0 = getp(1, 3);

  Mat model(1, nx, 1, ny);
  double chi2 = 0.0;
  int npix = 0;
  for (int i = 1; i <= nx; ++i) {
    const double x = setparm(nx, i, xlo, xhi);
    for (int j = 1; j <= ny; ++j) {
      const double y = setparm(ny, j, ylo, yhi);
      double pot, px, py, pxx, pyy, pxy, pyx;
      potdefmag(x, y, pot, px, py, pxx, pyy, pxy, pyx);
      const double R = std::hypot(x - x0, y - y0);
      if (R < Rlo || R > Rhi) continue;
      model[i][j] = 0.5 * (pxx + pyy);
      if (noise[i][j] > 0.0) {
        const double d = (model[i][j] - kap[i][j]) / noise[i][j];
        chi2 += d * d;
        ++npix;
      }
    }
  }
  qprintf("checkkapmap:\n");
  qprintf("  Npix    = %d\n", npix);
  qprintf("  chi^2   = %e\n", chi2);
  qprintf("  chi^2/N = %e\n", npix > 0 ? chi2 / npix : 0.0);
  if (nw > 8) write_array(words[7], words.int_value(8), nx, ny, model);
}

void fft1(const WordArray& words) {
  const std::string inname = words[1], outname = words[4];
  const bool count = words.real(2) != 0.0;
  const bool periodic = words.integer(3) == 1;

  qprintf("fft1: reading input data\n");
  FileHandle in(QVMfopen(inname, "r", "could not open input file"));
  long ndata = 0;
  if (count) {
    qprintf("fft1: finding Ndata by counting\n");
    WordArray w;
    while (myread(in, w) != 0) ++ndata;
    in.close();
    in = FileHandle(QVMfopen(inname, "r", "could not open input file"));
  } else {
    qprintf("fft1: reading Ndata from file\n");
    WordArray w;
    double v;
    if (myread(in, w) == 0 || !parse_real(w[0], v) || !fits_long(v))
      fatal("fft1: the first line of " + inname + " does not give the number of data points");
    ndata = read_integer(v);
  }
  qprintf("fft1: Ndata = %ld\n", ndata);
  if (ndata < 2) fatal("fft1: " + inname + " must hold at least two data points");

  const long need = periodic ? ndata : 2 * ndata;
  long len = 2;
  while (len < need && len <= 32768) len *= 2;
  if (len > 32768) fatal("fft1: array too large");

  std::vector<double> f(static_cast<size_t>(len), 0.0);
  const long off = (len - ndata) / 2;
  double x1 = 0.0, x2 = 0.0;
  for (long k = 0; k < ndata; ++k) {
    WordArray w;
    double x, v;
    if (myread(in, w) == 0 || !parse_real(w[0], x) || !parse_real(w[1], v))
      fatal(strformat("fft1: %s holds fewer than %ld data lines of two numbers", inname.c_str(), ndata));
    if (k == 0) x1 = x;
    if (k == 1) x2 = x;
    f[static_cast<size_t>(off + k)] = v;
  }
  const double dx = x2 - x1;
  realft(f.data(), len, 1);
  const double norm = dx / std::sqrt(2.0 * kPi);
  for (double& v : f) v *= norm;

  qprintf("fft1: writing Fourier transform\n");
  WholeFile out(outname, "could not open output file", true);
  std::fprintf(out, "#  F(k) = 1/sqrt(2*pi) * \\int f(x) exp(i*k*x) dx\n");
  std::fprintf(out, "#  index  k  Re(F)  Im(F)  power=|F|^2\n");
  std::fprintf(out, "%d %e %13.6e %13.6e %13.6e\n", 0, 0.0, f[0], 0.0, f[0] * f[0]);
  for (long k = 1; k < len / 2; ++k) {
    const double re = f[static_cast<size_t>(2 * k)], im = f[static_cast<size_t>(2 * k + 1)];
    std::fprintf(out, "%ld %e %13.6e %13.6e %13.6e\n", k, k * 2.0 * kPi / (len * dx), re, im, re * re + im * im);
  }
  std::fprintf(out, "%ld %e %13.6e %13.6e %13.6e\n", len / 2, kPi / dx, f[1], 0.0, f[1] * f[1]);
  out.commit();
}
