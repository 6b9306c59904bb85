// Magnification tensors at points, images and sources (magtensor, magtensImg, magtensSrc),
// magnification-weighted maps (magweightimg, magweightsrc) and plotmag.
//
// Sources: the magnification tensor M = A^-1, A = 1 - psi_ij, with its eigenvalues and
// directions (Schneider, Ehlers & Falco 1992, Gravitational Lenses, Springer); images
// as minima, saddles and maxima of the time-delay surface (Blandford & Narayan 1986,
// ApJ 310, 568).
#include "core/magtens.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "core/lens_model.h"
#include "core/maps.h"
#include "imageplane/images.h"
#include "io/arrayfile.h"
#include "io/outfile.h"
#include "io/qvmfile.h"
#include "numeric/constants.h"
#include "numeric/sort.h"
#include "shell/argcheck.h"
#include "shell/commands.h"
#include "shell/fatal.h"
#include "shell/settings.h"

MagTensor magnification_tensor(double xx, double yy, double xy, double yx) {
  const double det = (1.0 - xx) * (1.0 - yy) - xy * yx;
  MagTensor M;
  M.m11 = (1.0 - yy) / det;
  M.m12 = xy / det;
  M.m21 = yx / det;
  M.m22 = (1.0 - xx) / det;
  const double tr = M.m11 + M.m22, d = M.m11 - M.m22;
  const double root = std::sqrt(d * d + 4.0 * M.m12 * M.m21);
  M.lp = 0.5 * (tr + root);
  M.lm = 0.5 * (tr - root);
  return M;
}

void eigen_directions_deg(const MagTensor& M, double& dir_p, double& dir_m) {
  const double tiny = 1e-12 * std::sqrt(M.m11 * M.m11 + M.m12 * M.m12 + M.m21 * M.m21 + M.m22 * M.m22);
  if (std::fabs(M.m12) > tiny) {
    dir_p = std::atan((M.lp - M.m11) / M.m12) * kDeg;
    dir_m = std::atan((M.lm - M.m11) / M.m12) * kDeg;
  } else if (std::fabs(M.m21) > tiny) {
    dir_p = std::atan(M.m21 / (M.lp - M.m22)) * kDeg;
    dir_m = std::atan(M.m21 / (M.lm - M.m22)) * kDeg;
  } else {
    // Diagonal: the eigenvectors are the axes.
    const bool p_on_x = std::fabs(M.lp - M.m11) <= std::fabs(M.lp - M.m22);
    dir_p = p_on_x ? 0.0 : 90.0;
    dir_m = p_on_x ? 90.0 : 0.0;
  }
}

void eigen_pair(const MagTensor& M, double& l1, double& t1, double& l2, double& t2) {
  l1 = M.lp;
  l2 = M.lm;
  if (std::fabs(M.lm) > std::fabs(M.lp)) std::swap(l1, l2);
  t1 = std::atan2(l1 - M.m11, M.m12);
  t2 = std::atan2(l2 - M.m11, M.m12);
}

namespace {

using Positions = std::vector<std::pair<double, double>>;

// The positions of a list file: the count on the first line, then one "x y" line each.
Positions read_position_list(const std::string& path, const char* message, const char* command) {
  FileHandle in(QVMfopen(path, "r", message));
  WordArray w;
  if (myread(in, w) == 0) fatal("file ended before the number of positions was read");
  const long total = w.integer(0);
  Positions p;
  for (long k = 1; k <= total; ++k) {
    if (myread(in, w) == 0) fatal(strformat("file ended after %ld of %ld positions", k - 1, total));
    p.emplace_back(w.finite(0, command), w.finite(1, command));
  }
  return p;
}

// The positions of a grid form (words first..first+5), outer coordinate first; the counts
// must be positive. False after the step-check warnings.
bool grid_positions(const WordArray& words, int first, const char* xname, const char* yname, Positions& p, MapGrid& g) {
  if (!read_map_grid(words, first, xname, yname, false, g)) return false;
  p.reserve(static_cast<size_t>(g.points()));
  walk_grid(g, nullptr, [&](int, int, double x, double y) { p.emplace_back(x, y); });
  return true;
}

// Total magnification of the images in list (0 when there are none) and of the brightest.
void magnification_sums(int n, const Mat& list, double& total, double& brightest) {
  total = brightest = 0.0;
  for (int k = 1; k <= n; ++k) {
    const double m = std::fabs(list[k][3]);
    total += m;
    if (m > brightest) brightest = m;
  }
}

// The weight and image-count maps of magweightimg and magweightsrc.
void write_weight_maps(const MapGrid& g, int type, const std::string& base, const Mat& wgt, const Mat& nimg) {
  const std::string ext = map_extension(type);
  write_maps(g, type, {{base + "-wgt." + ext, &wgt}, {base + "-nimg." + ext, &nimg}});
}

}  // namespace

// ---- magtensor ----

void magtensor(const WordArray& words) {
  require_model();
  const Lens l = lens_at(words.finite(1, "magtensor"), words.finite(2, "magtensor"));
  const MagTensor M = magnification_tensor(l.xx, l.yy, l.xy, l.yx);
  double dp, dm;
  eigen_directions_deg(M, dp, dm);
  qprintf("Magnification tensor:\n");
  qprintf("%13.6e %13.6e\n", M.m11, M.m12);
  qprintf("%13.6e %13.6e\n", M.m21, M.m22);
  qprintf("Eigenvalues and directions:\n");
  qprintf("%13.6e %13.6e\n", M.lp, dp);
  qprintf("%13.6e %13.6e\n", M.lm, dm);
}

// ---- magtensImg ----

void magtensImg(const WordArray& words) {
  require_model();
  const int nw = words.own_count();
  Positions pos;
  if (nw == 3) {
    pos = read_position_list(words[2], "could not read magtensImg input file", "magtensImg");
  } else if (nw < 8) {
    pos.emplace_back(words.finite(2, "magtensImg"), words.finite(3, "magtensImg"));
  } else {
    MapGrid g;
    if (!grid_positions(words, 2, "x steps", "y steps", pos, g)) return;
  }
  const std::string& base = words[1];
  WholeFile ft(base + "-tens.dat", "could not open magtensImg output file", true);
  WholeFile fe(base + "-eigen.dat", "could not open magtensImg output file", true);
  for (const auto& [x, y] : pos) {
    const Lens l = lens_at(x, y);
    const MagTensor M = magnification_tensor(l.xx, l.yy, l.xy, l.yx);
    double l1, t1, l2, t2;
    eigen_pair(M, l1, t1, l2, t2);
    std::fprintf(ft, "%13.6e %13.6e %13.6e %13.6e %13.6e %13.6e\n", x, y, M.m11, M.m12, M.m21, M.m22);
    std::fprintf(fe, "%13.6e %13.6e %13.6e %13.6e %13.6e %13.6e\n", x, y, l1, t1, l2, t2);
  }
  fe.commit();
  ft.commit();
}

// ---- magtensSrc ----

void magtensSrc(const WordArray& words) {
  require_model();
  const int nw = words.own_count();
  const double sigx = words.finite(2, "magtensSrc");
  Positions src;
  double area = 0.0;
  int nwrite_word = 0;  // the word that holds Nwrite (0: none)
  // A list file may be followed by Nwrite, as the help says; a point needs two numbers.
  const bool list_with_nwrite = nw == 5 && !words.is_number(3);
  if (nw <= 4 || list_with_nwrite) {
    src = read_position_list(words[3], "could not read magtensSrc input file", "magtensSrc");
    if (list_with_nwrite) nwrite_word = 4;
  } else if (nw <= 8) {
    src.emplace_back(words.finite(3, "magtensSrc"), words.finite(4, "magtensSrc"));
    if (nw >= 6) nwrite_word = 5;
  } else {
    MapGrid g;
    if (!grid_positions(words, 3, "u steps", "v steps", src, g)) return;
    // A one-step axis has no pixel.
    if (g.nx > 1 && g.ny > 1) area = (g.xhi - g.xlo) / (g.nx - 1) * ((g.yhi - g.ylo) / (g.ny - 1));
    if (nw >= 10) nwrite_word = 9;
  }
  // A negative number of image groups would write a negative image count to the data file.
  if (nwrite_word > 0 && !checkint2(words[nwrite_word], "Nwrite", 0, INT_MAX)) return;
  const long nwrite = nwrite_word > 0 ? word_integer(words[nwrite_word]) : 0;

  const std::string& base = words[1];
  WholeFile ft(base + "-tens.dat", "could not open magtensSrc tens file", true);
  WholeFile fe(base + "-eigen.dat", "could not open magtensSrc eigen file", true);
  WholeFile fd(base + "-img.dat", "could not open magtensSrc eigen file", true);
  const int nsrc = static_cast<int>(src.size());
  std::fprintf(ft, "%d %e\n", nsrc, area);
  std::fprintf(fe, "%d %e\n", nsrc, area);
  // One galaxy at the origin whose every property is unconstrained, then the sources.
  std::fprintf(fd, "1\n0.0 0.0 10000.0\n0.0 10000.0\n0.0 10000.0\n0.0 10000.0\n\n%d\n", nsrc);

  for (const auto& [u, v] : src) {
    int n = 0;
    Mat list;
    find_img(n, list, u, v);
    double mutot, brightest;
    magnification_sums(n, list, mutot, brightest);
    LVec rank;
    if (n > 0) {
      Vec key(1, n);
      for (int k = 1; k <= n; ++k) key[k] = -std::fabs(list[k][3]);
      rank.reset(1, n);
      indexx(n, key, rank);
    }
    std::fprintf(ft, "%13.6e %13.6e %d %e", u, v, n, mutot);
    std::fprintf(fe, "%13.6e %13.6e %d %e", u, v, n, mutot);
    const long w = nwrite > 0 ? std::min<long>(n, nwrite) : n;
    std::fprintf(fd, "\n%ld\n", w);
    for (long k = 1; k <= w; ++k) {
      const auto row = list[rank[k]];
      const MagTensor M = magnification_tensor(row[5], row[6], row[7], row[8]);
      double l1, t1, l2, t2;
      eigen_pair(M, l1, t1, l2, t2);
      std::fprintf(ft, "  %13.6e %13.6e %e %13.6e %13.6e %13.6e %13.6e", row[1], row[2], row[3], M.m11, M.m12, M.m21,
                   M.m22);
      std::fprintf(fe, "  %13.6e %13.6e %e %13.6e %13.6e %13.6e %13.6e", row[1], row[2], row[3], l1, l2, t1, t2);
      std::fprintf(fd, "%13.6e %13.6e 1 %e 1000.0 0 0\n", row[1], row[2], sigx);
    }
    for (long k = w + 1; k <= nwrite; ++k) {
      std::fprintf(ft, "  0 0 0 0 0 0 0");
      std::fprintf(fe, "  0 0 0 0 0 0 0");
    }
    std::fprintf(ft, "\n");
    std::fprintf(fe, "\n");
  }
  fd.commit();
  fe.commit();
  ft.commit();
}

// ---- magweightimg / magweightsrc ----

void magweightimg(const WordArray& words) {
  require_model();
  MapGrid g;
  if (!read_map_grid(words, 3, "x steps", "y steps", true, g)) return;
  const int type = words.int_value(2);
  check_file_type(type);
  const double omitcore = settings.omitcore;
  Mat wgt = new_map(g), nimg = new_map(g);
  walk_grid(g, "magweightimg", [&](int i, int j, double x, double y) {
    const Lens l = lens_at(x, y);
    if (std::fabs(l.xy - l.yx) > 1e-4) fatal("magweightimg assumes single-plane lensing");
    if (omitcore > 0) {
      // Both eigenvalues of A negative: a maximum of the time-delay surface.
      const double k = kappa_of(l), gc = 0.5 * (l.xx - l.yy);
      const double gam = std::sqrt(gc * gc + l.xy * l.xy);
      if (1.0 - k - gam < 0 && 1.0 - k + gam < 0) {
        wgt[i][j] = nimg[i][j] = 0.0;
        return;
      }
    }
    int n = 0;
    Mat list;
    find_img(n, list, x - l.ax, y - l.ay);
    if (n == 0) fatal("found a position with no images!");
    wgt[i][j] = std::fabs(det_of(l)) / n;
    nimg[i][j] = n;
  });
  write_weight_maps(g, type, words[1], wgt, nimg);
}

void magweightsrc(const WordArray& words) {
  require_model();
  MapGrid g;
  if (!read_map_grid(words, 3, "u steps", "v steps", true, g)) return;
  const int type = words.int_value(2);
  check_file_type(type);
  Mat wgt = new_map(g), nimg = new_map(g);
  walk_grid(g, "magweightsrc", [&](int i, int j, double u, double v) {
    int n = 0;
    Mat list;
    find_img(n, list, u, v);
    double total, brightest;
    magnification_sums(n, list, total, brightest);
    wgt[i][j] = total;
    nimg[i][j] = n;
  });
  write_weight_maps(g, type, words[1], wgt, nimg);
}

// ---- plotmag ----

void plotmag(const WordArray& words) {
  if (!first_model_gridded()) return;
  const int nw = words.own_count();
  if (nw < 8) {
    refuse_line(words);
    return;
  }
  MapGrid g;
  if (!read_map_grid(words, 1, "u steps", "v steps", true, g)) return;
  const std::string& file = words[7];
  const int type = words.int_value(8);
  check_file_type(type);
  const long mode = nw > 9 ? words.integer(9) : 1;
  if (mode != 1 && mode != 2) fatal("unknown mode in plotmag");
  Mat mag = new_map(g);
  IMat count(1, g.cols(), 1, g.rows());
  auto u_line = [](int i, double u) { qprintf(" iu = %2d, u = %13.6e\n", i, u); };
  walk_grid(g, nullptr, u_line, [&](int i, int j, double u, double v) {
    int n = 0;
    Mat list;
    find_img(n, list, u, v);
    double total, brightest;
    magnification_sums(n, list, total, brightest);
    mag[i][j] = mode == 1 ? total : brightest;
    count[i][j] = n;
  });
  if (type != kTextFile) {
    write_maps(g, type, {{file, &mag}});
    return;
  }
  WholeFile f(file, "Could not open plotmag output file");
  qprintf("Writing plotmag data to file %s\n", file.c_str());
  std::fprintf(f, "%e %e %e %e\n", g.xlo, g.xhi, g.ylo, g.yhi);
  std::fprintf(f, " %d %d\n", g.nx, g.ny);
  std::fprintf(f, "# columns: u v Nimg totmag\n");
  walk_grid(g, nullptr, u_line, [&](int i, int j, double u, double v) {
    std::fprintf(f, "%13.6e %13.6e %2d %13.6e\n", u, v, count[i][j], mag[i][j]);
  });
  f.commit();
}

