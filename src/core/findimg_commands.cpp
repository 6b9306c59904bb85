// Image and source finding commands (findimg, findimg2, findimg3, findsrc, findsrc3, ellsrc,
// ellimg) and plotcrit, each with its help routine.
#include "core/findimg_commands.h"

#include <array>
#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

#include "imageplane/critcurves.h"
#include "imageplane/grid.h"
#include "imageplane/gridcheck.h"
#include "imageplane/images.h"
#include "io/outfile.h"
#include "io/qvmfile.h"
#include "models/evaluator.h"
#include "numeric/constants.h"
#include "numeric/interp.h"
#include "shell/argcheck.h"
#include "shell/commands.h"
#include "shell/fatal.h"
#include "shell/settings.h"

namespace {

// The finders' grid check, for point sources: an extended source's search names an image
// cut by the grid's rim itself, with the radius that holds the whole image.
void warn_point_grid(const std::vector<SourceDisc>& sources) {
  if (TWcursrc.usefinsrc == 0) warn_grid_holds(sources);
}

// The same check for finders of many sources, made as each source is searched.
class PointGridWatch {
 public:
  void add(double u, double v) {
    if (TWcursrc.usefinsrc == 0) watch_.add({u, v, 0.0});
  }
  void warn() const { watch_.warn(); }

 private:
  GridHoldWatch watch_;
};

// The images of the current source at (u, v), turned into delays and ordered by delay.
void images_with_delays(double u, double v, int& n, Mat& list) {
  find_img(n, list, u, v);
  pot2tdel(n, list, settings.tshift, u, v);
}

// The image block: source line, (two empty lines in plotmode 2), count line, rows.
void write_block(FILE* fp, int n, const Mat& list, double u, double v) {
  std::fprintf(fp, "%13.6e %13.6e  # source\n", u, v);
  if (settings.plotmode == 2) std::fprintf(fp, "\n\n");
  std::fprintf(fp, "# %d images:  x  y  mag  tdel\n", n);
  for (int i = 1; i <= n; ++i) std::fprintf(fp, "%13.6e %13.6e %13.6e %13.6e\n", list[i][1], list[i][2], list[i][3], list[i][4]);
}

void source_of_image(double x, double y, double& u, double& v) {
  double pot, ax, ay, xx, yy, xy, yx;
  potdefmag(x, y, pot, ax, ay, xx, yy, xy, yx);
  u = x - ax;
  v = y - ay;
}

// Reads the count line of a position file, then the positions one by one through f(k, a, b).
// A position that is not a finite number ends the program naming the file (label).
template <class F>
void read_positions(FILE* in, const std::string& label, F&& f) {
  WordArray w;
  if (myread(in, w) == 0) fatal("file ended before the number of positions was read");
  const long total = w.integer(0);
  for (long k = 1; k <= total; ++k) {
    if (myread(in, w) == 0) fatal(strformat("file ended after %ld of %ld positions", k - 1, total));
    f(k, w.finite(0, label), w.finite(1, label));
  }
}

// Ellipse tracing shared by ellsrc (image_plane false: points are sources) and ellimg
// (points are image positions whose source is traced).
void trace_ellipses(const WordArray& words, bool image_plane) {
  const char* name = image_plane ? "ellimg" : "ellsrc";
  if (!checksteps(words[8], "R steps", 1, 1)) return;
  if (!checksteps(words[9], "theta steps", 1, 0)) return;
  const std::string file = words[1];
  const double x0 = words.finite(2, name), y0 = words.finite(3, name), e = words.finite(4, name);
  const double pa = words.finite(5, name) * kPi / 180.0;
  const double rlo = words.finite(6, name), rhi = words.finite(7, name);
  const int nr = words.signed_count(8, "number of steps");
  const int nt = words.signed_count(9, "number of steps");
  if (log_range_refused(nr, rlo, rhi)) {
    warn_log_range();
    return;
  }
  WholeFile fp(file, strformat("could not open %s output file", name));
  qprintf("Writing %s data to %s\n", name, file.c_str());
  const double q = 1.0 - e;
  PointGridWatch grid_watch;
  std::vector<std::array<double, 4>> rows;  // image x, y, source u, v; grows as needed
  rows.reserve(static_cast<size_t>(10) * nt);
  for (int i = 1; i <= std::abs(nr); ++i) {
    const double R = setparm(nr, i, rlo, rhi);
    rows.clear();
    for (int j = 1; j <= nt; ++j) {
      const double th = setparm(nt, j, 0.0, 360.0) * kPi / 180.0;
      const double c = std::cos(th);
      const double r = R / std::sqrt((1.0 - c * c) / (q * q) + c * c);
      const double phi = pa + th;
      double u = x0 - r * std::sin(phi), v = y0 + r * std::cos(phi);
      if (image_plane) source_of_image(u, v, u, v);
      int n = 0;
      Mat list;
      find_img(n, list, u, v);
      grid_watch.add(u, v);
      for (int k = 1; k <= n; ++k) rows.push_back({list[k][1], list[k][2], u, v});
    }
    const int m = static_cast<int>(rows.size());
    Mat table;
    if (m > 0) {
      table.reset(1, m, 1, 4);
      for (int k = 1; k <= m; ++k)
        for (int c = 1; c <= 4; ++c) table[k][c] = rows[static_cast<size_t>(k - 1)][static_cast<size_t>(c - 1)];
    }
    plot_crv(fp, m, table);
  }
  grid_watch.warn();
  fp.commit();
}

}  // namespace

// ---------------------------------------------------------------------------------------

void findimg(const WordArray& words) {
  const int nw = words.own_count();
  const double u = words.finite(1, "findimg"), v = words.finite(2, "findimg");
  int n = 0;
  Mat list;
  images_with_delays(u, v, n, list);
  warn_point_grid({{u, v, 0.0}});
  if (nw == 3) {
    qprintf("findimg results:\n");
    write_block(QVMstdout, n, list, u, v);
    return;
  }
  {
    WholeFile fp(words[3], "could not open findimg output file", true);
    write_block(fp, n, list, u, v);
    fp.commit();
  }
  if (nw < 6) return;
  const long mode = words.integer(4);
  if (mode < 0 || mode > 2) fatal("unknown tracking mode");
  WholeFile ft(words[5], "could not open output file", true);
  std::fprintf(ft, "#  imgnum  potential  deflection  convergence  shear\n");
  TWtrack.track_mode = static_cast<int>(mode);
  for (int i = 1; i <= n; ++i) {
    double pot, ax, ay, xx, yy, xy, yx;
    potdefmag(list[i][1], list[i][2], pot, ax, ay, xx, yy, xy, yx);
    const DominanceTrack& t = TWtrack;
    std::fprintf(ft, "%d", i);
    std::fprintf(ft, "  %d %e %e", t.track_dom[1], t.track_arr[1], t.track_arr[8]);
    std::fprintf(ft, "  %d %e %e", t.track_dom[2], t.track_arr[2], t.track_arr[9]);
    std::fprintf(ft, "  %d %e %e", t.track_dom[4], t.track_arr[4], t.track_arr[11]);
    std::fprintf(ft, "  %d %e %e", t.track_dom[5], t.track_arr[5], t.track_arr[12]);
    std::fprintf(ft, "\n");
  }
  TWtrack.track_mode = 0;
  ft.commit();
}

void findimg2(const WordArray& words) {
  const int nw = words.own_count();
  if (!checksteps(words[3], "u steps", 1, 1)) return;
  if (!checksteps(words[6], "v steps", 1, 1)) return;
  const double ulo = words.finite(1, "findimg2"), uhi = words.finite(2, "findimg2"), vlo = words.finite(4, "findimg2"),
               vhi = words.finite(5, "findimg2");
  const int nu = words.signed_count(3, "number of steps"), nv = words.signed_count(6, "number of steps");
  WholeFile fp(words[7], "could not open findimg2 output file", true);
  WholeFile fm;
  if (nw > 8) fm = WholeFile(words[8], "could not open findimg2 output file", true);
  if (log_range_refused(nu, ulo, uhi) || log_range_refused(nv, vlo, vhi)) {
    warn_log_range();
    fm.commit();
    fp.commit();
    return;
  }
  PointGridWatch grid_watch;
  for (int i = 1; i <= std::abs(nu); ++i) {
    const double u = setparm(nu, i, ulo, uhi);
    for (int j = 1; j <= std::abs(nv); ++j) {
      const double v = setparm(nv, j, vlo, vhi);
      int n = 0;
      Mat list;
      images_with_delays(u, v, n, list);
      grid_watch.add(u, v);
      std::fprintf(fp, "\n");
      write_block(fp, n, list, u, v);
      if (fm) {
        double mag = 0.0;
        for (int k = 1; k <= n; ++k) mag += std::fabs(list[k][3]);
        std::fprintf(fm, "%13.6e %13.6e %d %e\n", u, v, n, mag);
      }
    }
  }
  grid_watch.warn();
  fm.commit();
  fp.commit();
}

void findimg3(const WordArray& words) {
  FileHandle in(QVMfopen(words[1], "r", "could not open findimg3 input file"));
  WholeFile fp(words[2], "could not open findimg3 output file", true);
  PointGridWatch grid_watch;
  read_positions(in, "findimg3 input file " + words[1], [&](long, double u, double v) {
    int n = 0;
    Mat list;
    images_with_delays(u, v, n, list);
    grid_watch.add(u, v);
    std::fprintf(fp, "\n");
    write_block(fp, n, list, u, v);
  });
  grid_watch.warn();
  fp.commit();
}

void findsrc(const WordArray& words) {
  const int nw = words.own_count();
  double u, v;
  source_of_image(words.finite(1, "findsrc"), words.finite(2, "findsrc"), u, v);
  int n = 0;
  Mat list;
  images_with_delays(u, v, n, list);
  warn_point_grid({{u, v, 0.0}});
  if (nw == 3) {
    qprintf("findsrc results:\n");
    write_block(QVMstdout, n, list, u, v);
    return;
  }
  WholeFile fp(words[3], "could not open findimg output file", true);
  write_block(fp, n, list, u, v);
  fp.commit();
}

void findsrc3(const WordArray& words) {
  FileHandle in(QVMfopen(words[1], "r", "could not open findsrc3 input file"));
  WholeFile fd(words[2] + ".dat", "could not open findsrc3 output file", true);
  WholeFile ft(words[2] + ".txt", "could not open findsrc3 output file", true);
  std::fprintf(ft, "# isrc u v iimg x y mu tdel\n");
  PointGridWatch grid_watch;
  read_positions(in, "findsrc3 input file " + words[1], [&](long k, double x, double y) {
    double u, v;
    source_of_image(x, y, u, v);
    int n = 0;
    Mat list;
    images_with_delays(u, v, n, list);
    grid_watch.add(u, v);
    std::fprintf(fd, "\n");
    std::fprintf(fd, "%13.6e %13.6e  # source\n", u, v);
    if (settings.plotmode == 2) std::fprintf(fd, "\n\n");
    std::fprintf(fd, "# %d images:  x  y  mag  tdel\n", n);
    for (int j = 1; j <= n; ++j) {
      std::fprintf(fd, "%13.6e %13.6e %13.6e %13.6e\n", list[j][1], list[j][2], list[j][3], list[j][4]);
      std::fprintf(ft, "%ld %13.6e %13.6e %d %13.6e %13.6e %13.6e %13.6e\n", k, u, v, j, list[j][1], list[j][2],
                   list[j][3], list[j][4]);
    }
  });
  grid_watch.warn();
  ft.commit();
  fd.commit();
}

void ellsrc(const WordArray& words) {
  trace_ellipses(words, false);
}

void ellimg(const WordArray& words) {
  trace_ellipses(words, true);
}

void plotcrit(const WordArray& words) {
  plot_crit(words[1]);
}

