// Cost of ray shooting through a star field (1,000 and 10,000 point masses plus a
// convergence sheet with shear), in ray-star deflections per second: the block sum of
// do_trishoot against a plain per-ray loop over the stars' arrays compiled with the same
// flags, and rays per second through potdefmag and by interpolation; then a convolution of
// a 1024 x 1024 image beside the plain FFTW transforms it needs, a convergence map solved on
// a grid of that size, and SBmap2's lensed map per sample point.
#include <fftw3.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "app/startup.h"
#include "bench/bench.h"
#include "imageplane/finite_source.h"
#include "imageplane/grid.h"
#include "imageplane/microlensing.h"
#include "imageplane/sbmap.h"
#include "imageplane/source_models.h"
#include "models/component.h"
#include "models/evaluator.h"
#include "models/kapmap.h"
#include "numeric/constants.h"
#include "numeric/random.h"
#include "shell/commands.h"
#include "shell/fatal.h"
#include "shell/settings.h"
#include "shell/vars.h"

void bench_microlensing();

namespace {

double seconds_since(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// Stars uniform in a disc of radius 3 with total convergence 0.3 there, then a sheet of
// convergence 0.2 with shear 0.1.
void star_field(int nstars) {
  start_program(stdin, QVMstdout);
  SetGlob();
  TWgal.allocate(nstars + 1);
  TWmod = LensState();
  LOS = LOSPlanes();
  ellipse = ellipse1;
  RandomStream r(-3);
  const double b = std::sqrt(0.3 * 9.0 / nstars);
  for (int i = 1; i <= nstars; ++i) {
    const double rad = 3.0 * std::sqrt(ran2(r)), th = 2 * kPi * ran2(r);
    setID(i, "ptmass");
    setp(i, 1, b);
    setp(i, 2, rad * std::cos(th));
    setp(i, 3, rad * std::sin(th));
  }
  setID(nstars + 1, "convrg");
  setp(nstars + 1, 1, 0.2);
  setp(nstars + 1, 6, 0.1);
  setp(nstars + 1, 7, 20);
}

// A Cartesian mesh over [-L, L]^2 of n x n nodes with the lens mapping at its vertices.
void square_mesh(double L, int n) {
  triangulateio in;
  in.numberofpointattributes = 6;
  for (int i = 0; i < n; ++i)
    for (int j = 0; j < n; ++j) {
      const double x = -L + 2 * L * i / (n - 1), y = -L + 2 * L * j / (n - 1);
      double pot, ax, ay, xx, yy, xy, yx;
      potdefmag(x, y, pot, ax, ay, xx, yy, xy, yx);
      in.pointlist.insert(in.pointlist.end(), {x, y});
      in.pointattributelist.insert(in.pointattributelist.end(), {x - ax, y - ay, 1, 1, pot, 0});
      ++in.numberofpoints;
    }
  // The boundary, counter-clockwise: bottom, right, top, left edges of the node lattice
  // (node (i, j) is number i n + j).
  std::vector<int> ring;
  for (int i = 0; i < n - 1; ++i) ring.push_back(i * n);
  for (int j = 0; j < n - 1; ++j) ring.push_back((n - 1) * n + j);
  for (int i = n - 1; i > 0; --i) ring.push_back(i * n + n - 1);
  for (int j = n - 1; j > 0; --j) ring.push_back(j);
  for (size_t k = 0; k < ring.size(); ++k) {
    in.segmentlist.insert(in.segmentlist.end(), {ring[k], ring[(k + 1) % ring.size()]});
    ++in.numberofsegments;
  }
  triangulate("zBepQ", in, TWtri.out);
}

// One shooting pass over the window [-1, 1]^2 (100 x 100 pixels) at nray1 rays per unit
// magnification; returns rays shot per second and the number shot.
double shoot_rate(double nray1, int interpolate, bool blocks, double& rays) {
  RayShootState& s = TWshoot;
  init_rayshoot(s, -1, 1, 100, -1, 1, 100, -5);
  s.allow_blocks = blocks;
  ShootCounters c;
  const double density = nray1 / (s.shoot_du * s.shoot_dv);
  const auto t0 = std::chrono::steady_clock::now();
  do_rayshoot(s, 1, interpolate, c, density);
  const double t = seconds_since(t0);
  s.allow_blocks = true;
  rays = 1e7 * c.step + static_cast<double>(c.counter);
  return rays / t;
}

// Plain per-ray loop over the stars' arrays: ray-star deflections per second.
double plain_rate(const PtmassField& f, int nrays) {
  std::vector<double> px(nrays), py(nrays);
  RandomStream r(-9);
  for (int i = 0; i < nrays; ++i) {
    px[i] = 2 * ran2(r) - 1;
    py[i] = 2 * ran2(r) - 1;
  }
  const double* sx = f.x.data();
  const double* sy = f.y.data();
  const double* sb = f.b2.data();
  const size_t m = f.x.size();
  const auto t0 = std::chrono::steady_clock::now();
  for (int i = 0; i < nrays; ++i) {
    double ax = 0, ay = 0;
    for (size_t k = 0; k < m; ++k) {
      const double dx = px[i] - sx[k], dy = py[i] - sy[k];
      const double r2 = dx * dx + dy * dy;
      const double g = r2 > 0.0 ? sb[k] / r2 : 0.0;
      ax += g * dx;
      ay += g * dy;
    }
    keep(ax);
    keep(ay);
  }
  return static_cast<double>(nrays) * static_cast<double>(m) / seconds_since(t0);
}

// Median of three timings in ms (fn returns seconds), after one untimed warm-up call.
template <class F>
double median_ms(F&& fn) {
  fn();
  double t[3];
  for (double& v : t) v = 1e3 * fn();
  std::sort(t, t + 3);
  return t[1];
}

// Plain FFTW on an n x n real array (FFTW_ESTIMATE, the planner flag of the program's own
// transforms): two forward transforms and one inverse, timed as median_ms does; also the
// medians of one forward and one inverse.
double fftw_three_transforms(int n, double& forward, double& inverse) {
  const size_t real = static_cast<size_t>(n) * n, half = static_cast<size_t>(n) * (n / 2 + 1);
  double* x = fftw_alloc_real(real);
  double* y = fftw_alloc_real(real);
  fftw_complex* X = fftw_alloc_complex(half);
  fftw_complex* Y = fftw_alloc_complex(half);
  const fftw_plan fx = fftw_plan_dft_r2c_2d(n, n, x, X, FFTW_ESTIMATE);
  const fftw_plan fy = fftw_plan_dft_r2c_2d(n, n, y, Y, FFTW_ESTIMATE);
  const fftw_plan bx = fftw_plan_dft_c2r_2d(n, n, X, x, FFTW_ESTIMATE);
  RandomStream r(-5);
  for (size_t i = 0; i < real; ++i) y[i] = ran2(r);
  auto fill = [&] {
    for (size_t i = 0; i < real; ++i) x[i] = y[i];
  };
  auto timed = [](const fftw_plan& p) {
    const auto t0 = std::chrono::steady_clock::now();
    fftw_execute(p);
    return seconds_since(t0);
  };
  const double three = median_ms([&] {
    fill();
    return timed(fx) + timed(fy) + timed(bx);
  });
  forward = median_ms([&] { fill(); return timed(fx); });
  inverse = median_ms([&] { fill(); timed(fx); return timed(bx); });
  keep(x[0]);
  for (fftw_plan p : {fx, fy, bx}) fftw_destroy_plan(p);
  for (double* p : {x, y}) fftw_free(p);
  for (fftw_complex* p : {X, Y}) fftw_free(p);
  return three;
}

}  // namespace

void bench_microlensing() {
  FILE* sink = std::tmpfile();
  QVMstdout = sink;
  quietflag = 1;
  for (int nstars : {1000, 10000}) {
    star_field(nstars);
    square_mesh(3.5, 60);
    PtmassField f;
    f.build();
    // About 2e8 ray-star deflections per route: some 4e4 rays per unit Nray1 reach the
    // window's triangles (image area about 16 over a pixel area of 4e-4).
    const double nray1 = 2e8 / nstars / 4e4;
    double rays = 0;
    const double block_rays = shoot_rate(nray1, 0, true, rays);
    const double block = block_rays * nstars;
    const double plain = plain_rate(f, static_cast<int>(std::max(1000.0, 2e8 / nstars)));
    double rays_exact = 0, rays_interp = 0;
    const double exact = shoot_rate(nray1 / 10, 0, false, rays_exact);
    const double interp = shoot_rate(nray1 * 20, 1, true, rays_interp);
    std::printf("rayshoot, %5d stars + sheet: block sum %.3e ray-star/s (%.0f rays), plain loop %.3e ray-star/s,"
                " ratio %.2f\n",
                nstars, block, rays, plain, block / plain);
    std::printf("rayshoot, %5d stars + sheet: %.3e rays/s through potdefmag per ray, %.3e rays/s interpolated\n",
                nstars, exact, interp);
  }

  // Convolution of a 1024 x 1024 image (a 2048 x 2048 grid) beside the three plain FFTW
  // transforms it needs, then a convergence map solved on a grid of the same size.
  {
    const int n = 1024;
    Mat a(1, n, 1, n);
    for (int i = 1; i <= n; ++i)
      for (int j = 1; j <= n; ++j) a[i][j] = std::exp(-((i - 500.0) * (i - 500.0) + (j - 530.0) * (j - 530.0)) / 800.0);
    const int N = convolve_length(n, 'x');
    const std::vector<double> img0 = place_image(a, n, n, N, N);
    std::vector<double> psf0(img0.size(), 0.0);
    psf0[0] = 0.5;
    psf0[1] = psf0[static_cast<size_t>(N)] = 0.25;
    const double conv = median_ms([&] {
      std::vector<double> img = img0, psf = psf0;  // the transform overwrites its input
      const auto t0 = std::chrono::steady_clock::now();
      const Mat out = convolve_grids(img, psf, n, n, N, N);
      const double t = seconds_since(t0);
      keep(out[500][530]);
      return t;
    });
    double forward = 0, inverse = 0;
    const double plain = fftw_three_transforms(N, forward, inverse);
    std::printf("convolve 1024 x 1024 (grid %d x %d): %.1f ms; FFTW, two forward and one inverse real %d x %d"
                " transforms: %.1f ms (forward %.1f, inverse %.1f); ratio %.2f\n",
                N, N, conv, N, N, plain, forward, inverse, conv / plain);

    const int m = N / 2;
    Mat kappa(1, m, 1, m);
    for (int i = 1; i <= m; ++i)
      for (int j = 1; j <= m; ++j) {
        const double x = -4.0 + 8.0 * (i - 1) / (m - 1), y = -4.0 + 8.0 * (j - 1) / (m - 1);
        kappa[i][j] = 0.5 / std::sqrt(0.04 + x * x + y * y);
      }
    char path[] = "/tmp/tarnbench_kapmapXXXXXX";
    const int fd = mkstemp(path);
    if (fd >= 0) close(fd);
    const auto t0 = std::chrono::steady_clock::now();
    do_kap2lens(m, m, kappa, path, -4, 4, -4, 4);
    const double t = seconds_since(t0);
    std::remove(path);
    std::printf("kap2lens, %d x %d map (grid %d x %d): %.1f ms\n", m, m, N, N, 1e3 * t);
  }

  // SBmap2's lensed map per sample point: 1,000 stars and the sheet, one Sersic source.
  {
    star_field(1000);
    InitSrcArr(1, 0);
    TWsrc.srcID[1] = "sersic";
    const double p[9] = {0, 1, 0.1, 0, 0.2, 30, 0.2, 0, 2};
    for (int k = 1; k <= 8; ++k) TWsrc.srcparms[1][k] = p[k];
    source_init(1);
    const FinsrcShape shape = finsrc_shape(1);
    SampleGrid g;
    g.xlo = g.ylo = -1;
    g.xhi = g.yhi = 1;
    g.nx = g.ny = 100;
    g.nover = 2;
    const auto t0 = std::chrono::steady_clock::now();
    const Mat m = lensed_map(g, [&](double u, double v) { return shape.flux(u, v); });
    keep(m[50][50]);
    std::printf("SBmap2, 1000 stars + sheet, Sersic source: %.1f ns per sample\n",
                1e9 * seconds_since(t0) / (100.0 * 100.0 * 4.0));
  }
  quietflag = 0;
  QVMstdout = stdout;
  std::fclose(sink);
}
