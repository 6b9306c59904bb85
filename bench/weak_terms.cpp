// Cost of the weak-lensing term per galaxy (against one lens evaluation per galaxy) and of
// writing the pixelated-source deflection file per pixel (without the external run).
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "app/startup.h"
#include "bench/bench.h"
#include "core/lens_model.h"
#include "fit/pixsrc.h"
#include "fit/weak.h"
#include "models/evaluator.h"
#include "shell/commands.h"
#include "shell/fatal.h"
#include "shell/vars.h"

void bench_weak_terms();

namespace {

constexpr int kGalaxies = 10000;
constexpr int kRepeats = 5;

// A catalogue of kGalaxies galaxies in the annulus 1 < r < 5 with distance uncertainty dw.
void fill_catalogue(double dw) {
  std::mt19937_64 gen(4321);
  std::uniform_real_distribution<double> u(0.0, 1.0);
  WeakCatalog& c = TWweak;
  c.Nweak = kGalaxies;
  c.weakerms = 0.3;
  c.sigs2 = 0.09;
  c.R0 = 1;
  c.weakdat.reset(1, kGalaxies, 1, 9);
  for (int i = 1; i <= kGalaxies; ++i) {
    const double r = 1 + 4 * u(gen), a = 6.283185307179586 * u(gen);
    const double row[10] = {0, r * std::cos(a), r * std::sin(a), 0.3 * (u(gen) - 0.5), 0.3 * (u(gen) - 0.5),
                            0.05, 0.05, 0.6, dw, weak_norm(0.05, 0.05, 0.09)};
    for (int k = 1; k <= 9; ++k) c.weakdat[i][k] = row[k];
  }
}

}  // namespace

void bench_weak_terms() {
  start_bench_lens("alpha 1 0 0 0.3 20 0.06 55 0 0 1\n0 0 0 0 0 0 0 0 0 0\n");
  SetVar("tempfiles", 0, 0);
  SetGlob();

  fill_catalogue(0.0);
  long k = 0;
  const double lens = fastest_ns(kRepeats, 200000, [&] {
    const int i = static_cast<int>(k++ % kGalaxies) + 1;
    double a, b, c, d, e, f, g;
    potdefmag(TWweak.weakdat[i][1], TWweak.weakdat[i][2], a, b, c, d, e, f, g);
    keep(a + b + c + d + e + f + g);
  });
  const double exact = fastest_ns(kRepeats, 20, [] { keep(weak_chi()); }) / kGalaxies;
  fill_catalogue(0.01);
  const double averaged = fastest_ns(kRepeats, 3, [] { keep(weak_chi()); }) / kGalaxies;
  std::printf("lens evaluation (isothermal ellipsoid + shear): %8.1f ns\n", lens);
  std::printf("weak term per galaxy, dw 0                     : %8.1f ns (%.2f x one lens evaluation)\n", exact,
              exact / lens);
  std::printf("weak term per galaxy, dw 0.01 (Romberg over w) : %8.1f ns (%.2f us)\n", averaged, averaged / 1000);
  TWweak = WeakCatalog();

  // Deflection file of a 101 x 101 pixel grid, written in a scratch folder.
  char dir[] = "/tmp/tarnbench_pixsrcXXXXXX";
  char cwd[4096];
  if (!mkdtemp(dir) || !getcwd(cwd, sizeof cwd) || chdir(dir) != 0) return;
  mkdir("tempFolder", 0755);
  FILE* saved = QVMstdout;
  QVMstdout = std::fopen("/dev/null", "w");
  TWpixsrc.pixsrcflag = 1;
  TWpixsrc.pixsrc_base = "bench";
  TWpixsrc.pixsrc_scl = 0.05;
  const int rng[4] = {-50, -50, 50, 50};
  std::copy(rng, rng + 4, TWpixsrc.pixsrc_rng);
  const double npix = 101.0 * 101.0;
  const double file = fastest_ns(kRepeats, 5, [] { pixsrc_write_deflection(); }) / npix;
  k = 0;
  const double eval = fastest_ns(kRepeats, 200000, [&] {
    const long p = k++ % 10201;
    double a, b, c, d, e, f, g;
    potdefmag(0.05 * (p / 101 - 50), 0.05 * (p % 101 - 50), a, b, c, d, e, f, g);
    keep(a + b + c + d + e + f + g);
  });
  std::fclose(QVMstdout);
  QVMstdout = saved;
  std::remove("tempFolder/bench_deflection.dat");
  rmdir("tempFolder");
  if (chdir(cwd) != 0) std::perror("chdir");
  rmdir(dir);
  TWpixsrc = PixsrcSettings();
  std::printf("pixsrc deflection file per pixel               : %8.1f ns (lens evaluation %.1f ns + %.1f ns per line)\n",
              file, eval, file - eval);
}
