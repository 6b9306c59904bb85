// Cost of finding the images of an extended source: the isothermal sphere (b = 1) on a
// 160 x 160 polar grid, a source of size 0.05 at (0.3, 0), per search and per ray; the
// triangles taking part show the per-triangle share (two stream set-ups each).
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>

#include "bench/bench.h"
#include "core/lens_model.h"
#include "core/sources.h"
#include "imageplane/finite_source.h"
#include "imageplane/grid.h"
#include "imageplane/images.h"
#include "imageplane/source_models.h"
#include "shell/commands.h"
#include "shell/fatal.h"
#include "shell/startup.h"
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

}  // namespace

void bench_finite_source() {
  start_program(stdin, stdout);
  quietflag = 1;
  SetVar("ngrid1", 0, 160);
  SetVar("ngrid2", 0, 160);
  SetVar("seeing", 0, 0.5);
  SetVar("omitcore", 0, 0.05);
  with_input("alpha 1 0 0 0 0 0 0 0 0 1\n0 0 0 0 0 0 0 0 0 0\n", setlens, WordArray({"setlens", "1", "1"}));
  SetGlob();

  struct Case {
    const char* name;
    const char* line;
  };
  const Case cases[] = {{"uniform R0 0.05   ", "uniform 1 0.3 0 0 0 0.05 0 0"},
                        {"sersic n 1 Reff 0.05", "sersic 1 0.3 0 0 0 0.05 0 1"},
                        {"sersic n 4 Reff 0.05", "sersic 1 0.3 0 0 0 0.05 0 4"}};
  for (const Case& c : cases)
    for (double rays : {1e4, 1e5}) {
      with_input(std::string(c.line) + "\n0 0 0 0 0 0 0 0\n", setsource,
                 WordArray({"setsource", "1", std::to_string(rays)}));
      // The searches report on standard output: silenced while timed.
      std::fflush(stdout);
      const int saved = dup(1), null = open("/dev/null", O_WRONLY);
      dup2(null, 1);
      const int reps = rays < 5e4 ? 40 : 8;
      double shot = 0;
      int images = 0;
      const double ns = ns_per_call(reps, [&] {
        int n = 0;
        Mat list;
        find_img(n, list, 0.3, 0);
        shot += TWfinsrc.rays;
        images = n;
      });
      std::fflush(stdout);
      dup2(saved, 1);
      close(null);
      close(saved);
      const double per_search = shot / reps;
      long accepted = 0;
      for (int m : TWtri.mark) accepted += m == 1;
      std::printf("find_img, %s, %.0e rays: %9.1f us per search (%d images, %ld of %d triangles, %.3g rays shot), "
                  "%6.1f ns per ray, %.3g rays per second\n",
                  c.name, rays, ns / 1000, images, accepted, TWtri.out.numberoftriangles, per_search, ns / per_search,
                  per_search / ns * 1e9);
    }
}
