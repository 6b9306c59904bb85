// Grid nodes, subgrids and the rebuild of the image plane.
#include "imageplane/grid.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <new>
#include <utility>
#include <vector>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#endif

#include "imageplane/catalog.h"
#include "imageplane/critcurves.h"
#include "imageplane/images.h"
#include "io/qvmfile.h"
#include "models/component.h"
#include "models/evaluator.h"
#include "models/model_set.h"
#include "models/substructure.h"
#include "numeric/constants.h"
#include "numeric/interp.h"
#include "shell/commands.h"
#include "shell/fatal.h"
#include "shell/settings.h"
#include "shell/vars.h"

GridState TWgrid;
SecondaryGrids TWsecgrid;

namespace {

// Nodes come from a pool owned by the grid code: free_grid hands them back to the pool and
// new_node takes them from it, so that a rebuild allocates nothing once the pool has grown
// to the size of the largest build. The blocks are kept for the process. Once every node is
// back (a rebuild releases the grids of the build before), the pool hands its nodes out
// again in the order of its blocks, so that a build's nodes lie in memory in the order it
// makes them, which is nearly the order its walks visit them; while some nodes are still
// held, released nodes are reused through a free list once the blocks are used up.
// Under the address sanitizer a node not handed out is poisoned, so that a node used after
// its release is still caught.
#if defined(__SANITIZE_ADDRESS__)
void poison_node(gnode* g) { ASAN_POISON_MEMORY_REGION(g, sizeof *g); }
void unpoison_node(gnode* g) { ASAN_UNPOISON_MEMORY_REGION(g, sizeof *g); }
#else
void poison_node(gnode*) {}
void unpoison_node(gnode*) {}
#endif

long grid_node_limit = kGridNodeLimit;

class NodePool {
 public:
  gnode* take() {
    if (held_ >= static_cast<size_t>(grid_node_limit))
      fatal(
          strformat("the grid needs more than %ld nodes (about 2 GB); lower maxlev (now %d), or nsubg1, nsubg2, "
                    "ngrid1, ngrid2, gallev, imglev or the steps of galgrid and imggrid, and regrid",
                    grid_node_limit, settings.maxlev));
    gnode* g;
    if (next_ < blocks_.size() * kBlock) {
      g = &blocks_[next_ / kBlock][next_ % kBlock];
      ++next_;
    } else if (free_) {
      g = free_;
      unpoison_node(g);  // its link is read before the node is handed out
      free_ = g->next;
    } else {
      grow();
      g = &blocks_[next_ / kBlock][next_ % kBlock];
      ++next_;
    }
    unpoison_node(g);
    *g = gnode();
    ++held_;
    return g;
  }
  void give(gnode* g) {
    g->next = free_;
    poison_node(g);
    free_ = g;
    if (--held_ == 0) {  // every node is back: hand them out from the first block again
      free_ = nullptr;
      next_ = 0;
    }
  }

 private:
  static constexpr size_t kBlock = 1024;
  void grow() {
    std::unique_ptr<gnode[]> block(new (std::nothrow) gnode[kBlock]);
    if (!block) fatal("could not allocate gnode");
    for (size_t k = 0; k < kBlock; ++k) poison_node(&block[k]);
    blocks_.push_back(std::move(block));
  }
  std::vector<std::unique_ptr<gnode[]>> blocks_;
  size_t next_ = 0;        // first node of the blocks not handed out since the last reset
  size_t held_ = 0;        // nodes handed out and not yet given back
  gnode* free_ = nullptr;  // given back since the last reset, linked through next
};
NodePool node_pool;

gnode* new_node() { return node_pool.take(); }
void release_node(gnode* g) { node_pool.give(g); }

// The nodes evaluated by the build in progress (dogrid), in the order of evaluation; no
// list outside a build. Every node of the build either is one of them or a copy of one at
// the same position.
std::vector<const gnode*>* evaluated_nodes = nullptr;

// Evaluates the lens at the node's position and fills its mapping, magnification and
// parity; widens the source range of the build.
void eval_node(gnode* g) {
  double phi, ax, ay, xx, yy, xy, yx;
  potdefmag(g->x, g->y, phi, ax, ay, xx, yy, xy, yx);
  g->phi = phi;
  g->alpha_x = ax;
  g->alpha_y = ay;
  g->u = g->x - ax;
  g->v = g->y - ay;
  g->phi_xx = xx;
  g->phi_yy = yy;
  g->phi_xy = xy;
  g->phi_yx = yx;
  const double det = (1.0 - xx) * (1.0 - yy) - xy * yx;
  g->mu = 1.0 / det;
  GridState& s = TWgrid;
  if (g->u < s.umin) s.umin = g->u;
  if (g->u > s.umax) s.umax = g->u;
  if (g->v < s.vmin) s.vmin = g->v;
  if (g->v > s.vmax) s.vmax = g->v;
  g->parity = lens_parity(xx, yy, xy, yx);
  if (evaluated_nodes) evaluated_nodes->push_back(g);
}

// Links an n1 x n2 block of nodes (column order) made by `node_at`.
template <class Make>
gnode* build_block(int n1, int n2, Make&& node_at) {
  if (n1 < 1 || n2 < 1) return nullptr;
  // The previous and the current column; node_at never builds a block itself, so one
  // scratch serves every call.
  static std::vector<gnode*> scratch;
  scratch.assign(2 * static_cast<size_t>(n2), nullptr);
  gnode** prev_col = scratch.data();
  gnode** col = prev_col + n2;
  gnode* first = nullptr;
  gnode* last = nullptr;
  for (int i = 0; i < n1; ++i) {
    for (int j = 0; j < n2; ++j) {
      gnode* g = node_at(i, j);
      if (!first) first = g;
      if (last) {
        last->next = g;
        g->prev = last;
      }
      last = g;
      if (j > 0) {
        g->down = col[j - 1];
        col[j - 1]->up = g;
      }
      if (i > 0) {
        g->left = prev_col[j];
        prev_col[j]->right = g;
      }
      col[j] = g;
    }
    std::swap(prev_col, col);
  }
  return first;
}

// A node at the position of `from` takes its lens, and the link to the evaluated node
// behind it (the merge gives both one vertex without looking it up twice).
void take_lens(const gnode* from, gnode* to) {
  copy_gnode(from, to);
  to->twin = from->twin ? from->twin : const_cast<gnode*>(from);
}

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// True when the node lies at (x, y) bit for bit (the lens there is then the node's).
bool same_position(const gnode* g, double x, double y) { return same_bits(g->x, x) && same_bits(g->y, y); }

// The node of a grid at column `col` and row `row` counted from its first node, kLast
// standing for the last column or row (nullptr past the grid's end).
constexpr int kLast = -1;
const gnode* grid_node(const gnode* g, int col, int row) {
  for (int i = 0; g && (col == kLast ? g->right != nullptr : i < col); ++i) g = g->right;
  for (int j = 0; g && (row == kLast ? g->up != nullptr : j < row); ++j) g = g->up;
  return g;
}

bool cell_straddles_critical_curve(const gnode* g) {
  const gnode* ur = g->up->right;
  const bool s = g->mu > 0;
  return s != (g->right->mu > 0) || s != (g->up->mu > 0) || (ur && s != (ur->mu > 0));
}

bool may_refine(const gnode* g, int depth) {
  return g->up && g->right && g->up->right && depth < settings.maxlev &&
         (TWgrid.grid_mode == 1 || TWgrid.subgrid_anyway);
}

// True when the lens varies across the triangle (a, b, c) by more than the subgridding
// tolerances, judged at its centroid.
bool triangle_varies(const gnode* a, const gnode* b, const gnode* c) {
  const double x = (a->x + b->x + c->x) / 3.0, y = (a->y + b->y + c->y) / 3.0;
  double phi, ax, ay, xx, yy, xy, yx;
  potdefmag(x, y, phi, ax, ay, xx, yy, xy, yx);
  const double det = (1.0 - xx) * (1.0 - yy) - xy * yx;
  const double mean_ax = (a->alpha_x + b->alpha_x + c->alpha_x) / 3.0;
  const double mean_ay = (a->alpha_y + b->alpha_y + c->alpha_y) / 3.0;
  const double mean_mu = (a->mu + b->mu + c->mu) / 3.0;
  return std::fabs(mean_ax - ax) > settings.deftol || std::fabs(mean_ay - ay) > settings.deftol ||
         std::fabs(mean_mu * det - 1.0) > settings.magtol;
}

// Component 1's position, the centre of polar grids (the origin when there is no model).
void component1_position(double& x0, double& y0) {
  x0 = y0 = 0;
  if (TWgal.NGALMAX > 0) {
    x0 = TWgal.p[1][2];
    y0 = TWgal.p[1][3];
  }
}

// Records the lens of the evaluated nodes that lie exactly at their mesh vertices.
void record_vertex_lens(const std::vector<const gnode*>& nodes, const triangulateio& m,
                        std::vector<VertexLens>& table) {
  table.assign(static_cast<size_t>(m.numberofpoints), VertexLens());
  const size_t n = nodes.size();
  for (size_t i = 0; i < n; ++i) {
    if (i + 8 < n) __builtin_prefetch(nodes[i + 8]);  // nodes are met in memory order, mostly
    const gnode* g = nodes[i];
    const int k = g->vertex;
    if (k < 0 || k >= m.numberofpoints) continue;
    VertexLens& e = table[static_cast<size_t>(k)];
    if (e.known || !same_position(g, m.pointlist[2 * static_cast<size_t>(k)], m.pointlist[2 * static_cast<size_t>(k) + 1]))
      continue;
    e.x = g->x;
    e.y = g->y;
    e.u = g->u;
    e.v = g->v;
    e.mu = g->mu;
    e.phi = g->phi;
    e.det = (1.0 - g->phi_xx) * (1.0 - g->phi_yy) - g->phi_xy * g->phi_yx;
    e.alpha_x = g->alpha_x;
    e.alpha_y = g->alpha_y;
    e.known = true;
  }
}

void free_grid_list(std::vector<gnode*>& list) {
  for (gnode*& g : list) {
    free_grid(g);
    g = nullptr;
  }
  list.clear();
}

// The secondary polar grids about the given centres, one per entry of `grids`.
template <class Centre>
void make_secondary_grids(const SecondaryGridParams& p, std::vector<gnode*>& grids, int n, bool refine_def,
                          Centre&& centre) {
  const int nr = read_int(p[4]), rings = std::abs(nr), nth = read_int(p[7]);
  // Values the grid commands refuse (negative radii, logarithmic radii from r lo <= 0) can
  // still come from other writers of the parameters: no grid is built from them.
  if (p[2] < 0 || p[3] < 0 || (nr < 0 && p[2] <= 0)) return;
  const int saved_coords = settings.gridcoords;
  settings.gridcoords = 2;
  const double rs = settings.rscale;
  double x1, y1;
  component1_position(x1, y1);
  for (int k = 1; k <= n; ++k) {
    double xc, yc;
    centre(k, xc, yc);
    bool inside;
    if (saved_coords == 1) {
      inside = xc > rs * settings.gridlo1 && xc < rs * settings.gridhi1 && yc > rs * settings.gridlo2 &&
               yc < rs * settings.gridhi2;
    } else {
      inside = std::hypot(xc - x1, yc - y1) < rs * settings.gridhi1;
    }
    if (!inside || rings < 1 || nth < 1) continue;
    Mat c1(1, rings, 1, nth), c2(1, rings, 1, nth);
    for (int i = 1; i <= rings; ++i)
      for (int j = 1; j <= nth; ++j) {
        c1[i][j] = setparm(nr, i, rs * p[2], rs * p[3]);
        c2[i][j] = setparm(nth, j, p[5], p[6]);
      }
    if (p[6] - p[5] == 360.0)
      for (int i = 1; i <= rings; ++i) c2[i][nth] = c2[i][1];
    grids[static_cast<size_t>(k)] = make_grid(rings, nth, c1, c2, xc, yc);
    subg_crit(grids[static_cast<size_t>(k)], 1);
    if (refine_def) subg_def(grids[static_cast<size_t>(k)], 1);
  }
  settings.gridcoords = saved_coords;
}

}  // namespace

// ---------------------------------------------------------------------------------------

gnode* make_grid(int N1, int N2, const Mat& c1, const Mat& c2, double x0, double y0) {
  const bool cartesian = settings.gridcoords == 1;
  // Nodes of a column that coincide (the centre of a polar grid from radius 0, the last
  // ray of a full circle repeating the first) take the lens of the first of them.
  const gnode* column_first = nullptr;
  const gnode* previous = nullptr;
  // Sine and cosine of each row's angle in the previous column: the rays of a polar grid
  // repeat their angles from ring to ring.
  static std::vector<double> ray;  // angle, sine, cosine per row
  if (!cartesian) ray.assign(3 * static_cast<size_t>(std::max(N2, 0)), NAN);
  return build_block(N1, N2, [&](int i, int j) {
    gnode* g = new_node();
    const double a = c1[i + 1][j + 1], b = c2[i + 1][j + 1];
    if (cartesian) {
      g->x = a;
      g->y = b;
    } else {
      double* r = &ray[3 * static_cast<size_t>(j)];
      if (!same_bits(r[0], b)) {
        const double t = b * kPi / 180.0;
        r[0] = b;
        r[1] = std::sin(t);
        r[2] = std::cos(t);
      }
      g->x = x0 - a * r[1];
      g->y = y0 + a * r[2];
    }
    if (j > 0 && same_position(previous, g->x, g->y)) {
      take_lens(previous, g);
    } else if (j > 0 && same_position(column_first, g->x, g->y)) {
      take_lens(column_first, g);
    } else {
      eval_node(g);
    }
    if (j == 0) column_first = g;
    previous = g;
    return g;
  });
}

void copy_gnode(const gnode* from, gnode* to) {
  to->parity = from->parity;
  to->x = from->x;
  to->y = from->y;
  to->u = from->u;
  to->v = from->v;
  to->phi = from->phi;
  to->alpha_x = from->alpha_x;
  to->alpha_y = from->alpha_y;
  to->phi_xx = from->phi_xx;
  to->phi_yy = from->phi_yy;
  to->phi_xy = from->phi_xy;
  to->phi_yx = from->phi_yx;
  to->mu = from->mu;
}

namespace {

// The subgrid of the cell `node` (as make_subg), given the subgrids already built for the
// neighbouring cells below, left, right and above it (each may be empty): their nodes on
// the edge they share with this cell lie at the same positions and lend their lens.
gnode* build_subgrid(gnode* node, int N1, int N2, const gnode* below, const gnode* left, const gnode* right,
                     const gnode* above) {
  if (!node->up || !node->right || !node->up->right) return nullptr;
  const gnode* c00 = node;
  const gnode* c10 = node->right;
  const gnode* c01 = node->up;
  const gnode* c11 = node->up->right;
  return build_block(N1 + 1, N2 + 1, [&](int a, int b) {
    gnode* g = new_node();
    if (a == 0 && b == 0) {
      take_lens(c00, g);
    } else if (a == N1 && b == 0) {
      take_lens(c10, g);
    } else if (a == 0 && b == N2) {
      take_lens(c01, g);
    } else if (a == N1 && b == N2) {
      take_lens(c11, g);
    } else {
      const double s = static_cast<double>(a) / N1, t = static_cast<double>(b) / N2;
      const double w00 = (1 - s) * (1 - t), w10 = s * (1 - t), w01 = (1 - s) * t, w11 = s * t;
      g->x = w00 * c00->x + w10 * c10->x + w01 * c01->x + w11 * c11->x;
      g->y = w00 * c00->y + w10 * c10->y + w01 * c01->y + w11 * c11->y;
      const gnode* twin = nullptr;
      if (b == 0 && below) {
        twin = grid_node(below, a, kLast);
      } else if (b == N2 && above) {
        twin = grid_node(above, a, 0);
      } else if (a == 0 && left) {
        twin = grid_node(left, kLast, b);
      } else if (a == N1 && right) {
        twin = grid_node(right, 0, b);
      }
      if (twin && same_position(twin, g->x, g->y)) {
        take_lens(twin, g);
      } else {
        eval_node(g);
      }
    }
    return g;
  });
}

// Where a grid lies: the cell of its parent grid that it refines (the cell's lower-left
// node) and the parent's own place. The top-level grid has none.
struct GridPlace {
  const GridPlace* parent;
  const gnode* cell;
};

enum Side { kBelow, kLeft, kRight, kAbove };

int column_of(const gnode* g) {
  int i = 0;
  for (; g->left; g = g->left) ++i;
  return i;
}
int row_of(const gnode* g) {
  int j = 0;
  for (; g->down; g = g->down) ++j;
  return j;
}

// The lower-left node of the cell next to the cell of g on the given side: in g's own
// grid, or across its edge in the subgrid of the parent's neighbouring cell, or across the
// seam of a top-level grid whose last row repeats its first (a full circle of rays).
// Empty when there is none. The caller checks positions: a wrong guess costs only time.
const gnode* neighbour_cell(const GridPlace* place, const gnode* g, Side side) {
  switch (side) {
    case kBelow:
      if (g->down) return g->down;
      break;
    case kLeft:
      if (g->left) return g->left;
      break;
    case kRight:
      if (g->right->right) return g->right;
      break;
    case kAbove:
      if (g->up->up) return g->up;
      break;
  }
  if (!place) {
    if (side == kAbove) {
      const gnode* b = g->up;
      while (b->down) b = b->down;
      return b != g->up && same_position(b, g->up->x, g->up->y) ? b : nullptr;
    }
    if (side == kBelow) {
      const gnode* t = g;
      while (t->up) t = t->up;
      return t != g && same_position(t, g->x, g->y) ? t->down : nullptr;
    }
    return nullptr;
  }
  const gnode* cell = neighbour_cell(place->parent, place->cell, side);
  if (!cell || !cell->subgrid) return nullptr;
  const gnode* sub = cell->subgrid;
  const gnode* n = nullptr;
  switch (side) {
    case kBelow:
      n = grid_node(sub, column_of(g), kLast);
      return n ? n->down : nullptr;
    case kLeft:
      n = grid_node(sub, kLast, row_of(g));
      return n ? n->left : nullptr;
    case kRight:
      return grid_node(sub, 0, row_of(g));
    case kAbove:
      return grid_node(sub, column_of(g), 0);
  }
  return nullptr;
}

const gnode* subgrid_of(const gnode* cell) { return cell ? cell->subgrid : nullptr; }

// Refines the cell g of a grid at `place`.
gnode* refine_cell(const GridPlace* place, gnode* g) {
  return build_subgrid(g, settings.nsubg1, settings.nsubg2, subgrid_of(neighbour_cell(place, g, kBelow)),
                       subgrid_of(neighbour_cell(place, g, kLeft)), subgrid_of(neighbour_cell(place, g, kRight)),
                       subgrid_of(neighbour_cell(place, g, kAbove)));
}

void refine_crit(gnode* first, int depth, const GridPlace* place) {
  for (gnode* g = first; g; g = g->next) {
    const GridPlace here{place, g};
    if (g->subgrid) {
      refine_crit(g->subgrid, depth + 1, &here);
    } else if (may_refine(g, depth) && cell_straddles_critical_curve(g)) {
      g->subgrid = refine_cell(place, g);
      refine_crit(g->subgrid, depth + 1, &here);
    }
  }
}

void refine_def(gnode* first, int depth, const GridPlace* place) {
  for (gnode* g = first; g; g = g->next) {
    const GridPlace here{place, g};
    if (g->subgrid) {
      refine_def(g->subgrid, depth + 1, &here);
    } else if (may_refine(g, depth)) {
      const gnode* ur = g->up->right;
      if (triangle_varies(g, g->right, ur) || triangle_varies(g, g->up, ur)) {
        g->subgrid = refine_cell(place, g);
        refine_def(g->subgrid, depth + 1, &here);
      }
    }
  }
}

}  // namespace

gnode* make_subg(gnode* node, int N1, int N2) {
  if (!node->up || !node->right || !node->up->right) return nullptr;
  return build_subgrid(node, N1, N2, node->down ? node->down->subgrid : nullptr,
                       node->left ? node->left->subgrid : nullptr, node->right->subgrid, node->up->subgrid);
}

void subg_crit(gnode* first, int depth) { refine_crit(first, depth, nullptr); }

void subg_def(gnode* first, int depth) { refine_def(first, depth, nullptr); }

void free_grid(gnode* first) {
  gnode* g = first;
  while (g) {
    gnode* next = g->next;
    if (g->subgrid) {
      if (next) __builtin_prefetch(next);  // loads while the subgrid is released
      free_grid(g->subgrid);
    }
    release_node(g);
    g = next;
  }
}

void domaingrid() {
  free_grid(TWgrid.top);
  TWgrid.top = nullptr;
  double x0, y0;
  component1_position(x0, y0);
  int N1 = 0, N2 = 0;
  Mat c1, c2;
  if (!TWgrid.grid_range) setgridmode(TWgrid.grid_mode);
  TWgrid.grid_range(N1, N2, c1, c2);
  TWgrid.top = make_grid(N1, N2, c1, c2, x0, y0);
  TWgrid.top_polar = settings.gridcoords != 1;
  TWgrid.top_x0 = x0;
  TWgrid.top_y0 = y0;
  subg_crit(TWgrid.top, 1);
  // A grid-mode-2 main grid built from the plain ranges was subgridded as in grid mode 1;
  // the galaxy and image grids keep the rule of grid mode 2.
  TWgrid.subgrid_anyway = false;
  GridState& s = TWgrid;
  s.top_R = 0;
  s.top_xlo = s.top_ylo = 1e300;
  s.top_xhi = s.top_yhi = -1e300;
  for (const gnode* g = s.top; g != nullptr; g = g->next) {
    s.top_R = std::max(s.top_R, std::hypot(g->x - x0, g->y - y0));
    s.top_xlo = std::min(s.top_xlo, g->x), s.top_xhi = std::max(s.top_xhi, g->x);
    s.top_ylo = std::min(s.top_ylo, g->y), s.top_yhi = std::max(s.top_yhi, g->y);
  }
}

void dogalgrid() {
  if (TWgrid.ngalgrid == 0) return;
  make_secondary_grids(TWsecgrid.galgridp, TWgrid.gal, TWgrid.ngalgrid, false, [](int k, double& x, double& y) {
    x = TWgal.pos[k][3];
    y = TWgal.pos[k][4];
  });
}

void doimggrid() {
  if (TWgrid.nimggrid == 0) return;
  if (TWsecgrid.imggridpos.nrows() < TWgrid.nimggrid) return;  // no positions: no grids
  make_secondary_grids(TWsecgrid.imggridp, TWgrid.img, TWgrid.nimggrid, true, [](int k, double& x, double& y) {
    x = TWsecgrid.imggridpos[k][1];
    y = TWsecgrid.imggridpos[k][2];
  });
}

void free_all_grids() {
  free_grid(TWgrid.top);
  TWgrid.top = nullptr;
  free_grid_list(TWgrid.gal);
  free_grid_list(TWgrid.img);
}

void set_grid_node_limit(long nodes) { grid_node_limit = nodes > 0 ? nodes : kGridNodeLimit; }

void dogrid() {
  GridState& s = TWgrid;
  const bool hold_clumps = settings.clumpmode == 2;
  const int saved_useclumps = TWclump.useclumps;
  if (hold_clumps) TWclump.useclumps = 0;

  free_tri(TWtri.out, 0);
  TWtri.mark.clear();
  // Grids kept by the previous build (gridsave 1 then) are released whatever gridsave
  // says now, so that none is lost.
  free_grid_list(s.gal);
  free_grid_list(s.img);
  s.ngalgrid = read_int(TWsecgrid.galgridp[1]);
  if (s.ngalgrid > TWref.Ngal) s.ngalgrid = TWref.Ngal;
  if (s.ngalgrid < 0) s.ngalgrid = 0;
  s.nimggrid = read_int(TWsecgrid.imggridp[1]);
  if (s.nimggrid < 0) s.nimggrid = 0;
  s.gal.assign(static_cast<size_t>(s.ngalgrid) + 1, nullptr);
  s.img.assign(static_cast<size_t>(s.nimggrid) + 1, nullptr);
  s.umin = 1e12;
  s.umax = -1e12;
  s.vmin = 1e12;
  s.vmax = -1e12;
  s.vertex_lens.clear();

  // The nodes this build evaluates; every one of them lives until the vertex table is
  // made (the grids are released only after it).
  static std::vector<const gnode*> evaluated;
  evaluated.clear();
  struct Listing {
    Listing() { evaluated_nodes = &evaluated; }
    ~Listing() { evaluated_nodes = nullptr; }
  };
  {
    const Listing listing;
    domaingrid();
    dogalgrid();
    doimggrid();
  }
  grid2tri();
  record_vertex_lens(evaluated, TWtri.out, s.vertex_lens);
  if (settings.gridsave != 1) {
    free_grid_list(s.gal);
    free_grid_list(s.img);
  }
  find_crit();
  docatalog();
  if (hold_clumps) TWclump.useclumps = saved_useclumps;
}

// ---------------------------------------------------------------------------------------
// Commands

namespace {

// Reads the positions of the image grids: from the named file (first line: the count,
// which replaces nimggrid and N) or from the command input.
void read_imggrid_positions(const WordArray& words, int file_word, const char* what) {
  GridState& s = TWgrid;
  SecondaryGridParams& p = TWsecgrid.imggridp;
  FileHandle file;
  FILE* in = QVMstdin;
  if (words.own_count() > file_word) {
    file = FileHandle(QVMfopen(words[file_word], "r", strformat("could not open %s input file", what)));
    in = file.get();
    qprintf("Reading %s positions from file %s\n", what, words.c_str(file_word));
    WordArray head;
    if (!myread(in, head)) fatal(strformat("%s file %s is empty", what, words.c_str(file_word)));
    s.nimggrid = head.signed_count(0, "number of positions");
    p[1] = s.nimggrid;
  } else {
    qprintf("Enter the %s positions, one per line:\n", what);
  }
  if (s.nimggrid <= 0) {
    TWsecgrid.imggridpos.clear();
    return;
  }
  // Read before anything is sized by the count, so a count larger than the input holds
  // ends with the short-input error.
  std::vector<double> xy;
  for (int k = 1; k <= s.nimggrid; ++k) {
    WordArray w;
    if (!myread(in, w) || w.own_count() < 2)
      fatal(strformat("%s positions ended after %d of %d positions", what, k - 1, s.nimggrid));
    xy.push_back(w.finite(0, words[0]));
    xy.push_back(w.finite(1, words[0]));
  }
  Mat pos(1, s.nimggrid, 1, 2);
  for (int k = 1; k <= s.nimggrid; ++k) {
    pos[k][1] = xy[static_cast<size_t>(2 * k - 2)];
    pos[k][2] = xy[static_cast<size_t>(2 * k - 1)];
  }
  TWsecgrid.imggridpos = std::move(pos);
  qprintf("Positions for %s:\n", what);
  for (int k = 1; k <= s.nimggrid; ++k)
    qprintf("  %13.6e %13.6e\n", TWsecgrid.imggridpos[k][1], TWsecgrid.imggridpos[k][2]);
}

// Reads seven secondary-grid values and checks them; on a refused value the previous
// parameters are restored (a grid is never built from refused values). Returns true when
// the values were accepted.
bool read_secondary(const WordArray& words, SecondaryGridParams& p, const char* kind) {
  const SecondaryGridParams previous = p;
  for (int k = 1; k <= 7; ++k) words.finite(k, words[0]);
  // The number of grids and the two numbers of steps are read as integers when grids are built.
  for (int k : {1, 4, 7}) words.signed_count(k, "count");
  for (int k = 1; k <= 7; ++k) p[k] = words.finite(k, words[0]);
  if (p[2] < 0 || p[3] < 0) {
    refuse(strformat("%s grids cannot have negative radii", kind));
    p = previous;
    return false;
  }
  if (p[4] < 0 && p[2] <= 0) {
    refuse(strformat("%s grids cannot be logarithmic if rlo=0", kind));
    p = previous;
    return false;
  }
  // As for the main grid: at least 2 steps and an upper limit above the lower one leave a
  // grid; the bound on the steps keeps a build to what the node limit can stop in time (a
  // grid's coordinates are tabulated before its nodes are made).
  const double nr = std::fabs(p[4]), nt = p[7];
  if (p[1] != 0 && (nr < 2 || nr > kMaxTopSteps || nt < 2 || nt > kMaxTopSteps)) {
    refuse(strformat("%s grids need 2 to %d steps in r and in theta (they have %g and %g)", kind, kMaxTopSteps, p[4],
                     p[7]));
    p = previous;
    return false;
  }
  if (p[1] != 0 && !(p[3] > p[2] && p[6] > p[5])) {
    refuse(strformat("%s grids need r hi above r lo and theta hi above theta lo", kind));
    p = previous;
    return false;
  }
  if (std::fabs(p[6] - p[5] - 360.0) > 0.01 && !quietflag)
    note(strformat("%s grids do not cover full azimuthal range", kind));
  return true;
}

void print_secondary_ranges(const SecondaryGridParams& p) {
  qprintf("  r     %13.6e %13.6e %.0f\n", p[2], p[3], p[4]);
  qprintf("  theta %13.6e %13.6e %.0f\n", p[5], p[6], p[7]);
}

}  // namespace

void maingrid(const WordArray& words) {
  const char* names[] = {"gridcoords", "gridlo1", "gridhi1", "ngrid1", "gridlo2", "gridhi2", "ngrid2"};
  for (int k = 1; k <= 7; ++k) words.finite(k, "maingrid");  // every value checked before any is set
  for (int k : {4, 7}) usable_integer("maingrid", words[k], "number of steps", -kCountLimit, kCountLimit);
  for (int k = 0; k < 7; ++k) SetVar(names[k], 0, words.real(k + 1));
  SetGlob();
  const Settings& s = settings;
  if (s.gridcoords == 1) {
    qprintf("Setting cartesian grid:\n");
    qprintf("  x %13.6e %13.6e %d\n", s.gridlo1, s.gridhi1, s.ngrid1);
    qprintf("  y %13.6e %13.6e %d\n", s.gridlo2, s.gridhi2, s.ngrid2);
  } else {
    qprintf("Setting polar grid:\n");
    qprintf("  r     %13.6e %13.6e %d\n", s.gridlo1, s.gridhi1, s.ngrid1);
    qprintf("  theta %13.6e %13.6e %d\n", s.gridlo2, s.gridhi2, s.ngrid2);
  }
}

void galgrid(const WordArray& words) {
  const int n = words.own_count();
  SecondaryGridParams& p = TWsecgrid.galgridp;
  if (n == 2 && words.is_number(1) && words.integer(1) == 0) {
    p[1] = 0;
    qprintf("Turning off secondary grids around galaxies.\n");
    return;
  }
  if (n < 8) {
    refuse_line(words);
    return;
  }
  if (!read_secondary(words, p, "galaxy")) return;
  qprintf("Turning on secondary grids around galaxies:\n");
  qprintf("  Ngrid  %.0f\n", p[1]);
  print_secondary_ranges(p);
}

void imggrid(const WordArray& words) {
  const int n = words.own_count();
  GridState& s = TWgrid;
  SecondaryGridParams& p = TWsecgrid.imggridp;
  if (n == 2 && words.is_number(1) && words.integer(1) == 0) {
    TWsecgrid.imggridpos.clear();
    p[1] = 0;
    qprintf("Turning off secondary grids around image positions.\n");
    return;
  }
  if (n < 8) {
    refuse_line(words);
    return;
  }
  TWsecgrid.imggridpos.clear();
  if (!read_secondary(words, p, "image")) {
    p[1] = 0;  // the position table is gone: no image grids until they are set again
    return;
  }
  s.nimggrid = read_int(p[1]);
  qprintf("Turning on secondary grids around image positions:\n");
  if (s.nimggrid <= 0)
    qprintf("  Ngrid  [using observed image positions]\n");
  else
    qprintf("  Ngrid  %.0f\n", p[1]);
  print_secondary_ranges(p);
  if (s.nimggrid <= 0) return;
  read_imggrid_positions(words, 8, "imggrid");
}

void imgarray(const WordArray& words) {
  GridState& s = TWgrid;
  TWsecgrid.imggridpos.clear();
  usable_integer("imgarray", words[1], "number of positions", -kCountLimit, kCountLimit);
  TWsecgrid.imggridp[1] = words.finite(1, "imgarray");
  s.nimggrid = read_int(TWsecgrid.imggridp[1]);
  if (s.nimggrid <= 0) return;
  read_imggrid_positions(words, 2, "imgarray");
}

