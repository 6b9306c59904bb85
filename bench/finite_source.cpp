// Cost of finding the images of an extended source on the default grid of a cored
// isothermal ellipsoid with shear (b = 1.1101595795 at (0.03, -0.02), e = 0.3 at 20
// degrees, shear 0.06 at 55, core 0.0405499112): a uniform disc, exponential and n = 4
// Sersic sources (Reff 0.05) at (0.05, 0.03) inside the caustic, and a disc of radius 0.03
// 1% inside a cusp, at the ray counts asked. Per search: process CPU time, the median of 5
// searches after one to warm up (its time is printed too), so that every case is measured
// the same way each time; the images, lens evaluations, leaves and rays of the search.
// Prompts and the searches' reports are kept off the output.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

#include "bench/bench.h"
#include "core/sources.h"
#include "imageplane/finite_source.h"
#include "imageplane/grid.h"
#include "imageplane/images.h"
#include "shell/commands.h"
#include "shell/fatal.h"
#include "shell/vars.h"

namespace {

// Standard output sent to /dev/null while it lives.
class Silenced {
 public:
  Silenced() {
    std::fflush(stdout);
    saved_ = dup(1);
    const int null = open("/dev/null", O_WRONLY);
    dup2(null, 1);
    close(null);
  }
  ~Silenced() {
    std::fflush(stdout);
    dup2(saved_, 1);
    close(saved_);
  }
  Silenced(const Silenced&) = delete;
  Silenced& operator=(const Silenced&) = delete;

 private:
  int saved_;
};

double cpu_ms() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) * 1e-6;
}

void set_source(const std::string& line, double rays) {
  run_bench_commands("setsource 1 " + std::to_string(rays) + "\n" + line + "\n0 0 0 0 0 0 0 0\n");
}

}  // namespace

void bench_finite_source() {
  {
    Silenced quiet;
    start_bench_lens(
        "alpha 1.1101595795 0.03 -0.02 0.3 20 0.06 55 0.0405499112 0 1\n0 0 0 0 0 0 0 0 0 0\n");
    SetVar("gridflag", 0, 1);
    SetGlob();
    dogrid();
  }
  struct Case {
    const char* source;
    double u, v, rays;
  };
  const double cu = -0.226960658, cv = -0.166943134;
  const Case cases[] = {
      {"uniform 1 0.05 0.03 0 0 0.05 0 0", 0.05, 0.03, 1e4},
      {"sersic 1 0.05 0.03 0 0 0.05 0 1", 0.05, 0.03, 1e3},
      {"sersic 1 0.05 0.03 0 0 0.05 0 1", 0.05, 0.03, 1e4},
      {"sersic 1 0.05 0.03 0 0 0.05 0 4", 0.05, 0.03, 1e3},
      {"sersic 1 0.05 0.03 0 0 0.05 0 4", 0.05, 0.03, 1e4},
      {"sersic 1 0.05 0.03 0 0 0.05 0 4", 0.05, 0.03, 1e5},
      {"uniform 1 -0.226960658 -0.166943134 0 0 0.03 0 0", cu, cv, 1e4},
  };
  for (const Case& c : cases) {
    int n = 0;
    double first = 0;
    std::vector<double> ms;
    {
      Silenced quiet;
      set_source(c.source, c.rays);
      for (int r = 0; r < 6; ++r) {
        Mat list;
        const double t0 = cpu_ms();
        find_img(n, list, c.u, c.v);
        const double t = cpu_ms() - t0;
        if (r == 0)
          first = t;
        else
          ms.push_back(t);
      }
    }
    std::sort(ms.begin(), ms.end());
    const FiniteSourceState& F = TWfinsrc;
    std::printf("  %-48s %.0e rays: %8.2f ms CPU per search (median of 5; first %8.2f), %d images, %ld lens "
                "evaluations, %ld leaves, %.3g rays\n",
                c.source, c.rays, ms[ms.size() / 2], first, n, F.evals, F.leaves, F.rays);
  }
}
