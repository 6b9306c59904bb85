// Critical curves and caustics of the current mesh, their plot files, and the ellipse fit of
// the tangential critical curve (fitcrit).
//
// Sources: the critical curves, where det A = 0 with A = 1 - psi_ij, and the caustics they
// map onto through the lens equation (Schneider, Ehlers & Falco 1992, Gravitational Lenses,
// Springer; Blandford & Narayan 1986, ApJ 310, 568).
#include "imageplane/critcurves.h"

#include <cfloat>
#include <cmath>
#include <cstring>
#include <vector>

#include "imageplane/grid.h"
#include "io/outfile.h"
#include "io/qvmfile.h"
#include "io/wcs.h"
#include "models/component.h"
#include "models/evaluator.h"
#include "numeric/constants.h"
#include "numeric/minimize.h"
#include "numeric/roots.h"
#include "numeric/sort.h"
#include "shell/commands.h"
#include "shell/fatal.h"
#include "shell/settings.h"

CritPointList TWcrit;

namespace {

constexpr int kAttrMu = 2;

double det_at(double x, double y) {
  double pot, ax, ay, xx, yy, xy, yx;
  potdefmag(x, y, pot, ax, ay, xx, yy, xy, yx);
  return (1.0 - xx) * (1.0 - yy) - xy * yx;
}

// The chaining walk shared by plot_crv and crvlen: links the points into curves, each
// time from the current point to the nearest point not yet visited (and neither the
// current nor the previous one), a curve closing when it returns to its start. seg(d, c)
// receives each link (indices 1..n).
template <class Seg>
void chain_walk(int n, const Mat& pts, Seg&& seg) {
  if (n <= 0) return;
  std::vector<char> visited(static_cast<size_t>(n) + 1, 0);
  int s = 1, d = 1, e = 0, c = 0;  // 0 stands for "none"
  // Each step either visits a new point or makes the previous point equal the current
  // one, so the walk ends well within this bound; the bound only guards the loop.
  const long max_steps = 4L * n + 16;
  for (long step = 0; step < max_steps; ++step) {
    double best = 1e12;
    int pick = 0;
    const double xd = pts[d][1], yd = pts[d][2];
    for (int k = 1; k <= n; ++k) {
      if (visited[k] || k == d || k == e) continue;
      const double dx = pts[k][1] - xd, dy = pts[k][2] - yd;
      const double r2 = dx * dx + dy * dy;
      if (r2 < best) {
        best = r2;
        pick = k;
      }
    }
    if (pick != 0) c = pick;
    if (c == 0) return;  // a lone point: nothing to link it to
    seg(d, c);
    visited[c] = 1;
    if (c != s) {
      e = d;
      d = c;
      continue;
    }
    // The curve is closed: start the next one at the lowest unvisited point, unless none
    // is left or it is the last point of the list.
    int next = 0;
    for (int k = 1; k <= n; ++k)
      if (!visited[k]) {
        next = k;
        break;
      }
    if (next == 0 || next == n) return;
    c = s;  // fallback: the previous curve's start
    s = d = next;
    e = 0;
  }
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Critical points

double refinecrit(double t) {
  const CritPointList& c = TWcrit;
  return det_at(c.edge_x1 + (c.edge_x2 - c.edge_x1) * t, c.edge_y1 + (c.edge_y2 - c.edge_y1) * t);
}

namespace {

constexpr int kAttrU = 0, kAttrV = 1, kAttrPhi = 4;

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// The lens evaluated at points of the edge under refinement: the fraction t, det A and the
// deflection. The root finder asks again for points it has evaluated (both ends, and the
// root it returns), which are then taken from here.
struct EdgeProbes {
  static constexpr int kMax = 128;
  double t[kMax], det[kMax], ax[kMax], ay[kMax];
  bool defl[kMax];  // ax, ay hold the deflection (the root finder's probes make det A only)
  int n = 0;
  // Index of the probe at fraction tt, or -1.
  int find(double tt) const {
    for (int k = n - 1; k >= 0; --k)
      if (same_bits(t[k], tt)) return k;
    return -1;
  }
  void add(double tt, double d, double x, double y, bool has_defl = true) {
    if (n == kMax) return;
    t[n] = tt;
    det[n] = d;
    ax[n] = x;
    ay[n] = y;
    defl[n] = has_defl;
    ++n;
  }
};

// The point at fraction t of the stored edge (the same arithmetic as refinecrit).
void edge_point(double t, double& x, double& y) {
  const CritPointList& c = TWcrit;
  x = c.edge_x1 + (c.edge_x2 - c.edge_x1) * t;
  y = c.edge_y1 + (c.edge_y2 - c.edge_y1) * t;
}

// det A at fraction t of the stored edge, remembered in `probes`.
double probe_edge(EdgeProbes& probes, double t) {
  const int k = probes.find(t);
  if (k >= 0) return probes.det[k];
  double x, y, xx, yy, xy, yx;
  edge_point(t, x, y);
  potdefmag_hessian(x, y, xx, yy, xy, yx);
  const double det = (1.0 - xx) * (1.0 - yy) - xy * yx;
  probes.add(t, det, 0.0, 0.0, false);
  return det;
}

// Adds the build's own evaluation of the lens at vertex k as the probe at fraction t (0 or
// 1), when the build evaluated that very point and the vertex still carries its values.
void probe_vertex(EdgeProbes& probes, double t, int k, const triangulateio& m) {
  const std::vector<VertexLens>& table = TWgrid.vertex_lens;
  if (k < 0 || k >= static_cast<int>(table.size())) return;
  const VertexLens& e = table[static_cast<size_t>(k)];
  if (!e.known) return;
  double x, y;
  edge_point(t, x, y);
  const size_t na = static_cast<size_t>(m.numberofpointattributes);
  const double* a = &m.pointattributelist[static_cast<size_t>(k) * na];
  if (same_bits(x, e.x) && same_bits(y, e.y) && same_bits(m.pointlist[2 * static_cast<size_t>(k)], e.x) &&
      same_bits(m.pointlist[2 * static_cast<size_t>(k) + 1], e.y) && same_bits(a[kAttrU], e.u) &&
      same_bits(a[kAttrV], e.v) && same_bits(a[kAttrMu], e.mu) && same_bits(a[kAttrPhi], e.phi))
    probes.add(t, e.det, e.alpha_x, e.alpha_y);
}

}  // namespace

void find_crit() {
  CritPointList& cl = TWcrit;
  cl.ncrit = 0;
  cl.edge.clear();
  // The list keeps its storage from build to build while it holds points.
  const triangulateio& m = TWtri.out;
  const int na = m.numberofpointattributes;
  if (m.numberofedges <= 0 || na <= kAttrMu) {
    cl.crit.clear();
    return;
  }
  const bool vertex_values = na > kAttrPhi;

  // Side of the critical curves of each vertex: 1 where det A = 1/mu > 0, 0 where it is
  // not, -1 where it is not a finite number (a vertex at a singularity: its edges cannot
  // be refined and are skipped).
  static std::vector<signed char> side;
  side.resize(static_cast<size_t>(m.numberofpoints));
  // Where 1e-300 <= |mu| <= DBL_MAX, 1/mu is finite, nonzero and of the sign of mu, so the
  // division is needed only elsewhere.
  for (int k = 0; k < m.numberofpoints; ++k) {
    const double mu = m.pointattributelist[static_cast<size_t>(k) * na + kAttrMu];
    const double am = std::fabs(mu);
    if (am >= 1e-300 && am <= DBL_MAX) {
      side[static_cast<size_t>(k)] = mu > 0.0 ? 1 : 0;
      continue;
    }
    const double d = 1.0 / mu;
    side[static_cast<size_t>(k)] = std::isfinite(d) ? (d > 0.0 ? 1 : 0) : -1;
  }
  static std::vector<double> rows;  // x, y, u, v per point
  rows.clear();
  static EdgeProbes probes;
  for (int e = 0; e < m.numberofedges; ++e) {
    const int a = m.edgelist[2 * e], b = m.edgelist[2 * e + 1];
    const int sa = side[static_cast<size_t>(a)], sb = side[static_cast<size_t>(b)];
    if (sa < 0 || sb < 0 || sa == sb) continue;
    const double g = 1.0 / m.pointattributelist[static_cast<size_t>(a) * na + kAttrMu];
    const double h = 1.0 / m.pointattributelist[static_cast<size_t>(b) * na + kAttrMu];
    cl.edge_x1 = m.pointlist[2 * a];
    cl.edge_y1 = m.pointlist[2 * a + 1];
    cl.edge_x2 = m.pointlist[2 * b];
    cl.edge_y2 = m.pointlist[2 * b + 1];
    probes.n = 0;
    double t = -g / (h - g);
    if (settings.critmode != 0) {
      // The stored values bracket the root; the lens evaluated at the ends normally
      // agrees (vertices added where segments cross carry interpolated values, so check).
      // The ends are the build's own evaluations where it made them.
      if (vertex_values) {
        probe_vertex(probes, 0.0, a, m);
        probe_vertex(probes, 1.0, b, m);
      }
      const double f0 = probe_edge(probes, 0.0), f1 = probe_edge(probes, 1.0);
      const bool bracketed = std::isfinite(f0) && std::isfinite(f1) &&
                             !((f0 > 0.0 && f1 > 0.0) || (f0 < 0.0 && f1 < 0.0));
      if (bracketed) t = zbrent([](double tt) { return probe_edge(probes, tt); }, 0.0, 1.0, settings.crittol);
    }
    const double x = cl.edge_x1 + t * (cl.edge_x2 - cl.edge_x1);
    const double y = cl.edge_y1 + t * (cl.edge_y2 - cl.edge_y1);
    double ax, ay;
    if (const int k = probes.find(t); k >= 0 && probes.defl[k]) {
      ax = probes.ax[k];
      ay = probes.ay[k];
    } else {
      potdefmag_deflection(x, y, ax, ay);
    }
    rows.insert(rows.end(), {x, y, x - ax, y - ay});
    cl.edge.push_back(a);
    cl.edge.push_back(b);
  }
  cl.ncrit = static_cast<int>(rows.size() / 4);
  if (cl.ncrit == 0) {
    cl.crit.clear();
    return;
  }
  cl.crit.reset(1, cl.ncrit, 1, 4);
  for (int k = 1; k <= cl.ncrit; ++k)
    for (int j = 1; j <= 4; ++j) cl.crit[k][j] = rows[static_cast<size_t>(k - 1) * 4 + (j - 1)];
}

void get_crit(int& n, Mat& list) {
  n = TWcrit.ncrit;
  list.clear();
  if (n <= 0) {
    n = 0;
    return;
  }
  list.reset(1, n, 1, 4);
  for (int k = 1; k <= n; ++k)
    for (int j = 1; j <= 4; ++j) list[k][j] = TWcrit.crit[k][j];
}

// ---------------------------------------------------------------------------------------
// Plot files

void plot_crit(const std::string& file) {
  if (TWcrit.ncrit <= 0) {
    if (!quietflag) note("no critical curves have been found");
    return;
  }
  WholeFile fp(file, "could not open critical curve output file", true);
  qprintf("Writing critical curves and caustics to %s\n", file.c_str());
  plot_crv(fp, TWcrit.ncrit, TWcrit.crit);
  fp.commit();
}

void plot_crv(FILE* fp, int n, const Mat& pts) {
  const int mode = settings.plotmode;
  if (mode < 1 || mode > 4) fatal("unknown value of plotmode");
  const bool wcs = (mode == 3 || mode == 4) && WCSinfo.is_on();
  double c = 1.0;
  if (wcs) {
    if (std::fabs(WCSinfo.refx) > 0.5 || std::fabs(WCSinfo.refy) > 0.5)
      fatal("to plot crit/caus in WCS, reference point should be origin of coordinates");
    c = std::cos(WCSinfo.dec * kPi / 180.0);
  }
  if (settings.plotquiet != 1) {
    const std::string k = GetString("_COMMENT");
    const char* K = k.c_str();
    switch (mode) {
      case 1:
        std::fprintf(fp, "%s\n", K);
        std::fprintf(fp, "%s Columns: x1 y1 u1 v1 x2 y2 u2 v2\n", K);
        std::fprintf(fp, "%s\n", K);
        std::fprintf(fp, "%s To plot the image plane curves, connect each (x1,y1)\n", K);
        std::fprintf(fp, "%s to the (x2,y2) on the same line -- do *not* connect\n", K);
        std::fprintf(fp, "%s consecutive lines!\n", K);
        std::fprintf(fp, "%s\n", K);
        std::fprintf(fp, "%s To plot the source plane curves, do the same for\n", K);
        std::fprintf(fp, "%s (u1,v1) and (u2,v2).\n", K);
        std::fprintf(fp, "%s\n", K);
        break;
      case 2:
        std::fprintf(fp, "%s Columns: x y u v\n", K);
        std::fprintf(fp, "\n");
        break;
      case 3:
        std::fprintf(fp, "# ds9 region file; critical curve\n");
        std::fprintf(fp, "# Region file format: ds9\n");
        std::fprintf(fp, "global color=red\n");
        if (WCSinfo.is_on()) std::fprintf(fp, "fk5\n");
        break;
      case 4:
        std::fprintf(fp, "# ds9 region file; caustic\n");
        std::fprintf(fp, "global color=red\n");
        if (WCSinfo.is_on()) std::fprintf(fp, "fk5\n");
        break;
    }
  }
  flush_record(fp);
  if (n <= 0) {
    if (!quietflag) note("no curve points are given for plot_crv()");
    return;
  }
  // Sky coordinates of a position in arcseconds (east to the left).
  auto ra = [&](double p) { return wcs ? WCSinfo.ra + p / (-3600.0 * c) : p; };
  auto dec = [&](double q) { return wcs ? WCSinfo.dec + q / 3600.0 : q; };
  chain_walk(n, pts, [&](int d, int e) {
    const double x1 = pts[d][1], y1 = pts[d][2], u1 = pts[d][3], v1 = pts[d][4];
    const double x2 = pts[e][1], y2 = pts[e][2], u2 = pts[e][3], v2 = pts[e][4];
    switch (mode) {
      case 1:
        std::fprintf(fp, " %19.12e %19.12e %19.12e %19.12e  %19.12e %19.12e %19.12e %19.12e\n", x1, y1, u1,
                     v1, x2, y2, u2, v2);
        break;
      case 2:
        std::fprintf(fp, " %19.12e %19.12e %19.12e %19.12e\n", x1, y1, u1, v1);
        std::fprintf(fp, " %19.12e %19.12e %19.12e %19.12e\n", x2, y2, u2, v2);
        std::fprintf(fp, "\n");
        break;
      case 3:
        std::fprintf(fp, "line(%f,%f,%f,%f)\n", ra(x1), dec(y1), ra(x2), dec(y2));
        break;
      case 4:
        std::fprintf(fp, "line(%f,%f,%f,%f)\n", ra(u1), dec(v1), ra(u2), dec(v2));
        break;
    }
    flush_record(fp);
  });
}

void crvlen(int n, const Mat& pts, double& limg, double& lsrc) {
  limg = lsrc = 0.0;
  if (n <= 0) {
    warning("trying to compute curve length, but not points are given");
    return;
  }
  chain_walk(n, pts, [&](int d, int c) {
    limg += std::hypot(pts[c][1] - pts[d][1], pts[c][2] - pts[d][2]);
    lsrc += std::hypot(pts[c][3] - pts[d][3], pts[c][4] - pts[d][4]);
  });
}

// ---------------------------------------------------------------------------------------
// fitcrit

namespace {
// Tangential points of the last fitcrit: radius and angle (radians, ascending) about
// component 1, rows [1..2][1..fitcritn].
struct FitCritState {
  int fitcritn = 0;
  Mat fitcritdat;
};
FitCritState fitcrit_state;

// Model radius at angle th; NaN where the ellipse formula has no real value.
double fit_radius(double A, double E, double PA, double th) {
  const double q = 1.0 - E * std::cos(2.0 * (th - PA));
  return q > 0.0 ? A / std::sqrt(q) : NAN;
}

// Trapezoid integral over the closed circle of f(i) sampled at the angles of the
// tangential points: the first interval runs from the last point (moved back by 2 pi).
template <class F>
double closed_trapezoid(F&& f) {
  const FitCritState& s = fitcrit_state;
  const int n = s.fitcritn;
  double sum = 0.0;
  double thp = s.fitcritdat[2][n] - 2.0 * kPi, fp = f(n);
  for (int i = 1; i <= n; ++i) {
    const double th = s.fitcritdat[2][i], fi = f(i);
    sum += 0.5 * (th - thp) * (fi + fp);
    thp = th;
    fp = fi;
  }
  return sum;
}
}  // namespace

double fitcrit_chi(const Vec& p) {
  const double A = p[1], E = p[2], PA = p[3];
  const FitCritState& s = fitcrit_state;
  const double chi = closed_trapezoid([&](int i) {
    const double d = s.fitcritdat[1][i] - fit_radius(A, E, PA, s.fitcritdat[2][i]);
    return d * d;
  });
  // Outside the range where the model radius exists the simplex is sent back.
  return std::isfinite(chi) ? chi : 1e30;
}

void fitcrit(const WordArray& words) {
  // The line's own words (a trailing comment is not an argument).
  const int nw = words.own_count();
  const int mmax = words.signed_count(1, "maximum multipole order");
  const std::string outname = words[2];
  const double eps = nw > 3 ? words.real(3) : 0.1;

  const double x0 = TWgal.NGALMAX >= 1 ? TWgal.p[1][2] : 0.0;
  const double y0 = TWgal.NGALMAX >= 1 ? TWgal.p[1][3] : 0.0;
  int n = 0;
  Mat pts;
  get_crit(n, pts);
  if (n == 0) {
    if (!quietflag) qprintf("%s\n", "No critical curves have been found.");
    return;
  }

  // Classify each point by the magnification just outside and just inside it.
  std::vector<double> rr, tt;
  for (int k = 1; k <= n; ++k) {
    const double dx = pts[k][1] - x0, dy = pts[k][2] - y0;
    const double r = std::hypot(dx, dy);
    double th = std::atan2(dy, dx);
    if (th < 0.0) th += 2.0 * kPi;
    const double c = std::cos(th), s = std::sin(th);
    const double mu_out = 1.0 / det_at(x0 + (1.0 + eps) * r * c, y0 + (1.0 + eps) * r * s);
    const double mu_in = 1.0 / det_at(x0 + (1.0 - eps) * r * c, y0 + (1.0 - eps) * r * s);
    if (mu_out > 0.0 && mu_in < 0.0) {
      rr.push_back(r);
      tt.push_back(th);
    } else if (mu_out < 0.0 && mu_in > 0.0) {
      // radial critical point: not part of the fit
    } else {
      // Both probes on one side: a satellite's curve, or radial and tangential curves
      // closer than eps r. Such a point tells nothing about the tangential curve here.
      warning("fitcrit skipped a critical point whose probes do not bracket the curve");
    }
  }
  const int nt = static_cast<int>(rr.size());
  if (nt == 0) {
    if (!quietflag) note("fitcrit found no tangential critical points; no fit is written");
    return;
  }

  WholeFile fp(outname, "could not open fitcrit output file", true);

  // Tangential points by ascending angle.
  Vec th(1, nt);
  for (int i = 1; i <= nt; ++i) th[i] = tt[static_cast<size_t>(i - 1)];
  LVec idx(1, nt);
  indexx(nt, th, idx);
  FitCritState& st = fitcrit_state;
  st.fitcritn = nt;
  st.fitcritdat.reset(1, 2, 1, nt);
  double rmin = 1e6, rmax = -1, thmax = 0;
  for (int i = 1; i <= nt; ++i) {
    const size_t j = static_cast<size_t>(idx[i] - 1);
    st.fitcritdat[1][i] = rr[j];
    st.fitcritdat[2][i] = tt[j];
    if (rr[j] < rmin) rmin = rr[j];
    if (rr[j] > rmax) {
      rmax = rr[j];
      thmax = tt[j];
    }
  }

  // Downhill simplex on (A, E, PA).
  Mat p(1, 4, 1, 3);
  Vec y(1, 4), pt(1, 3);
  for (int i = 1; i <= 4; ++i) {
    p[i][1] = rmax;
    p[i][2] = 1.0 - rmin / rmax;
    p[i][3] = thmax;
  }
  p[2][1] *= 1.2;
  p[3][2] += 0.2;
  p[4][3] += 0.2;
  for (int i = 1; i <= 4; ++i) {
    for (int j = 1; j <= 3; ++j) pt[j] = p[i][j];
    y[i] = fitcrit_chi(pt);
  }
  int nfunc = 0;
  amoeba(p, y, 3, 1e-8, fitcrit_chi, nfunc, 5000);
  const double A = p[1][1], E = p[1][2];
  double PA = p[1][3];
  for (int j = 1; j <= 3; ++j) pt[j] = p[1][j];
  const double best = fitcrit_chi(pt);
  if (PA > kPi) PA -= kPi;
  const double a = A / std::sqrt(1.0 - E);
  const double e = 1.0 - std::sqrt((1.0 - E) / (1.0 + E));
  const double pa_deg = PA * 180.0 / kPi - 90.0;
  const double dr = std::sqrt(best);
  qprintf("Best-fit ellipse:\n");
  qprintf("  a  = %10.6f\n", a);
  qprintf("  e  = %10.6f\n", e);
  qprintf("  PA = %10.6f\n", pa_deg);
  qprintf("  dr = %10.6f\n", dr);
  std::fprintf(fp, "# Best-fit ellipse:\n");
  std::fprintf(fp, "#   a  = %10.6f\n", a);
  std::fprintf(fp, "#   e  = %10.6f\n", e);
  std::fprintf(fp, "#   PA = %10.6f\n", pa_deg);
  std::fprintf(fp, "#   dr = %10.6f\n", dr);

  // Fourier decomposition of the residuals.
  std::vector<double> resid(static_cast<size_t>(nt) + 1);
  for (int i = 1; i <= nt; ++i)
    resid[static_cast<size_t>(i)] = st.fitcritdat[1][i] - fit_radius(A, E, PA, st.fitcritdat[2][i]);
  qprintf("\nMultipole fit to residuals (m,am,bm):\n");
  std::fprintf(fp, "#\n# Multipole fit to residuals (m,am,bm):\n");
  for (int m = 1; m <= mmax; ++m) {
    const double am = closed_trapezoid([&](int i) {
      return resid[static_cast<size_t>(i)] * std::cos(m * (st.fitcritdat[2][i] - PA));
    }) / kPi;
    const double bm = closed_trapezoid([&](int i) {
      return resid[static_cast<size_t>(i)] * std::sin(m * (st.fitcritdat[2][i] - PA));
    }) / kPi;
    qprintf("%2d %9.6f %9.6f\n", m, am, bm);
    std::fprintf(fp, "# %2d %9.6f %9.6f\n", m, am, bm);
  }

  std::fprintf(fp, "#\n");
  std::fprintf(fp, "#  (x,y)_true  (x,y)_model\n");
  std::fprintf(fp, "#\n");
  for (int i = 1; i <= nt; ++i) {
    const double r = st.fitcritdat[1][i], t = st.fitcritdat[2][i];
    const double rm = fit_radius(A, E, PA, t);
    std::fprintf(fp, "%13.6e %13.6e   %13.6e %13.6e\n", r * std::cos(t), r * std::sin(t), rm * std::cos(t),
                 rm * std::sin(t));
  }
  fp.commit();
}
