// Plot files of the mesh and of the individual node grids, in the format of plotmode.
#include <cstdio>

#include "imageplane/grid.h"
#include "io/outfile.h"
#include "io/qvmfile.h"
#include "shell/fatal.h"
#include "shell/settings.h"
#include "shell/words.h"

namespace {

void doplotgrid_line(FILE* f, const gnode* a, const gnode* b, int level) {
  switch (settings.plotmode) {
    case 1:
      std::fprintf(f, "%13.6e %13.6e %13.6e %13.6e %13.6e %13.6e %13.6e %13.6e %d\n", a->x, a->y, a->u, a->v, b->x,
                   b->y, b->u, b->v, level);
      break;
    case 2:
      std::fprintf(f, "%13.6e %13.6e %13.6e %13.6e\n", a->x, a->y, a->u, a->v);
      std::fprintf(f, "%13.6e %13.6e %13.6e %13.6e\n\n", b->x, b->y, b->u, b->v);
      break;
    case 3:
      std::fprintf(f, "image;line(%f,%f,%f,%f)\n", a->x, a->y, b->x, b->y);
      break;
    case 4:
      std::fprintf(f, "image;line(%f,%f,%f,%f)\n", a->u, a->v, b->u, b->v);
      break;
    default:
      fatal("unknown value of plotmode");
  }
}

// The links of one grid: to up, to right (and, in mode 2, the diagonal), then each
// node's subgrid one level deeper.
void doplotgridOLD(FILE* f, const gnode* first, int mode, int level) {
  for (const gnode* g = first; g; g = g->next) {
    if (g->up) doplotgrid_line(f, g, g->up, level);
    if (g->right) doplotgrid_line(f, g, g->right, level);
    if (mode == 2 && g->up && g->up->right) doplotgrid_line(f, g, g->up->right, level);
    if (g->subgrid) doplotgridOLD(f, g->subgrid, mode, level + 1);
  }
}

void write_grid_file(const std::string& name, const gnode* grid) {
  WholeFile f(name, "could not open grid output file", true);
  doplotgridOLD(f, grid, 1, 1);
  f.commit();
}

}  // namespace

void plot_grid(const std::string& file) {
  const std::string K = GetString("_COMMENT");
  const char* k = K.c_str();
  const int mode = settings.plotmode;
  if (mode < 1 || mode > 4) fatal("unknown value of plotmode");
  WholeFile f(file, "could not open grid output file", true);
  qprintf("Writing grid to %s\n", file.c_str());
  if (mode == 1) {
    std::fprintf(f, "%s\n%s Columns: x1 y1 u1 v1 x2 y2 u2 v2 lev\n%s\n", k, k, k);
    std::fprintf(f, "%s To plot the image plane grid, connect each (x1,y1) to the (x2,y2)\n", k);
    std::fprintf(f, "%s on the same line -- do *not* connect consecutive lines!\n%s\n", k, k);
    std::fprintf(f, "%s To plot the source plane grid, do the same for (u1,v1) and (u2,v2).\n%s\n", k, k);
  } else if (mode == 2) {
    std::fprintf(f, "%s Columns: x y u v\n\n", k);
  } else if (mode == 3) {
    std::fprintf(f, "# ds9 region file: image plane grid\n");
  } else {
    std::fprintf(f, "# ds9 region file: source plane grid\n");
  }
  const triangulateio& t = TWtri.out;
  for (int e = 0; e < t.numberofedges; ++e) {
    const int a = t.edgelist[2 * e], b = t.edgelist[2 * e + 1];
    const double x1 = t.pointlist[2 * a], y1 = t.pointlist[2 * a + 1];
    const double x2 = t.pointlist[2 * b], y2 = t.pointlist[2 * b + 1];
    const double u1 = t.pointattributelist[6 * a], v1 = t.pointattributelist[6 * a + 1];
    const double u2 = t.pointattributelist[6 * b], v2 = t.pointattributelist[6 * b + 1];
    switch (mode) {
      case 1:
        std::fprintf(f, "%13.6e %13.6e %13.6e %13.6e %13.6e %13.6e %13.6e %13.6e\n", x1, y1, u1, v1, x2, y2, u2, v2);
        break;
      case 2:
        std::fprintf(f, "%.12e %.12e %.12e %.12e\n%.12e %.12e %.12e %.12e\n\n", x1, y1, u1, v1, x2, y2, u2, v2);
        break;
      case 3:
        std::fprintf(f, "image;line(%f,%f,%f,%f)\n", x1, y1, x2, y2);
        break;
      default:
        std::fprintf(f, "image;line(%f,%f,%f,%f)\n", u1, v1, u2, v2);
        break;
    }
  }
  f.commit();
}

void plot_grid_OLD(const std::string& base) {
  if (settings.gridsave != 1) {
    warning("cannot plot temp grids because they have not been saved (see gridsave)");
    return;
  }
  const std::string main_name = base + "-main.grid";
  qprintf("Writing main grid to %s\n", main_name.c_str());
  write_grid_file(main_name, TWgrid.top);
  for (int i = 1; i <= TWgrid.ngalgrid && i < static_cast<int>(TWgrid.gal.size()); ++i) {
    const std::string name = strformat("%s-gal%d.grid", base.c_str(), i);
    qprintf("Writing galaxy grid #%d to %s\n", i, name.c_str());
    write_grid_file(name, TWgrid.gal[static_cast<size_t>(i)]);
  }
  for (int i = 1; i <= TWgrid.nimggrid && i < static_cast<int>(TWgrid.img.size()); ++i) {
    const std::string name = strformat("%s-img%d.grid", base.c_str(), i);
    qprintf("Writing image grid #%d to %s\n", i, name.c_str());
    write_grid_file(name, TWgrid.img[static_cast<size_t>(i)]);
  }
}

