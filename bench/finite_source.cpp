// Cost of finding the images of an extended source on the default grid of a four-image
// lens (isothermal ellipsoid, b = 1, e = 0.3 at 20 degrees, shear 0.06 at 55, omitcore
// 0.05): uniform disks of four radii and an exponential source, each well inside the
// caustic and 0.02 inside a fold, at 1e4 and 1e5 rays. Per search: the time (grid build
// excluded), its ratio to the point-source search at the same place, the lens evaluations
// and leaves of the refinement, the rays shot and rays per second.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "bench/bench.h"
#include "core/sources.h"
#include "imageplane/finite_source.h"
#include "imageplane/grid.h"
#include "imageplane/images.h"
#include "shell/commands.h"
#include "shell/fatal.h"
#include "shell/vars.h"

namespace {

// Runs a command whose further lines come from text.
void with_input(const std::string& text, void (*cmd)(const WordArray&), const WordArray& w) {
  FILE* f = std::tmpfile();
  std::fputs(text.c_str(), f);
  std::rewind(f);
  FILE* saved = QVMstdin;
  QVMstdin = f;
  cmd(w);
  QVMstdin = saved;
  std::fclose(f);
}

void set_source(const std::string& line, double rays) {
  with_input(line + "\n0 0 0 0 0 0 0 0\n", setsource, WordArray({"setsource", "1", std::to_string(rays)}));
}

// Nanoseconds per find_img at (u, v), standard output (where the searches report) silenced.
double search_ns(int reps, double u, double v, int& images) {
  std::fflush(stdout);
  const int saved = dup(1), null = open("/dev/null", O_WRONLY);
  dup2(null, 1);
  const double ns = fastest_ns(3, reps, [&] {
    Mat list;
    find_img(images, list, u, v);
  });
  std::fflush(stdout);
  dup2(saved, 1);
  close(null);
  close(saved);
  return ns;
}

}  // namespace

void bench_finite_source() {
  start_bench_lens("alpha 1 0 0 0.3 20 0.06 55 0 0 1\n0 0 0 0 0 0 0 0 0 0\n");
  SetVar("omitcore", 0, 0.05);
  SetVar("gridflag", 0, 1);
  SetGlob();
  dogrid();

  struct Place {
    const char* name;
    double u, v;
  };
  // The fold lies 0.1477 from the centre at 73 degrees.
  const Place places[] = {{"inside", 0.03, -0.02}, {"fold", 0.0373, 0.1221}};
  const char* sources[] = {"uniform 1 0 0 0 0 0.005 0 0", "uniform 1 0 0 0 0 0.01 0 0", "uniform 1 0 0 0 0 0.03 0 0",
                           "uniform 1 0 0 0 0 0.1 0 0", "sersic 1 0 0 0 0 0.05 0 1"};
  for (const Place& p : places) {
    set_source("ptsrc 1 0 0 0 0 0 0 0", 0);
    int n = 0;
    const double point = search_ns(200, p.u, p.v, n);
    std::printf("%s (%.4f, %.4f): point source %.1f us per search, %d images\n", p.name, p.u, p.v, point / 1000, n);
    for (const char* src : sources)
      for (double rays : {1e4, 1e5}) {
        set_source(src, rays);
        const double ns = search_ns(rays < 5e4 ? 10 : 3, p.u, p.v, n);
        const FiniteSourceState& F = TWfinsrc;
        std::printf("  %-28s %.0e rays: %9.1f us per search (x%.0f the point search), %d images, %ld lens "
                    "evaluations, %ld leaves, %.3g rays, %.3g rays per second\n",
                    src, rays, ns / 1000, ns / point, n, F.evals, F.leaves, F.rays, F.rays / ns * 1e9);
      }
  }
}
