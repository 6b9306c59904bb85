// Closed form of the cored isothermal ellipsoid (the "alpha" family at alpha = 1, and
// "pjaffe"): kappa = (b/2)(s^2 + xi^2)^(-1/2), xi^2 = x^2 + y^2/q^2, in the component frame.
//
// The constants that depend on the parameters alone are made once (iso_prepare): by the
// class routine at each call, and by the component loader for the whole-model sum, which
// then evaluates the component without reading `cur`. Both routes run the same arithmetic,
// so they give the same bits.
//
// Source: Kassiola & Kovner 1993, ApJ 417, 450 and Kormann, Schneider & Bartelmann 1994,
// A&A 284, 285 (the singular limit s = 0).
#pragma once

#include <cmath>

struct CurrentComponent;

namespace iso_detail {

struct IsoConsts {
  double s = 0;     // core radius (1e-4 in place of |s| < 1e-8)
  double q2 = 1;    // q^2
  double u = 0;     // 1 - q^2
  double v = 0;     // sqrt(|1 - q^2|)
  double qb = 0;    // q b
  double qbv = 0;   // (q/v) b
  double c2 = 0;    // ((1 + q) s)^2
  double hqbs = 0;  // q b s / 2
  bool zero = true; // b = 0: every entry 0
};

// b, s after the normalisation factor; q the axis ratio, v = sqrt(|1 - q^2|), qov = q/v.
inline void iso_prepare(IsoConsts& k, double b, double s, double q, double v, double qov) {
  k.zero = b == 0.0;
  if (std::fabs(s) < 1e-8) s = 1e-4;
  k.s = s;
  k.q2 = q * q;
  k.u = 1.0 - k.q2;
  k.v = v;
  k.qb = q * b;
  k.qbv = qov * b;
  const double c = (1.0 + q) * s;
  k.c2 = c * c;
  k.hqbs = 0.5 * k.qb * s;
}

// Writes o[2..6], o[1] when pot is true (it is left alone otherwise) and, when third is
// true, the third derivatives o[7..10]. For b != 0 (k.zero false): with b = 0 every entry
// is 0. With defl false only the second derivatives o[4..6] are made (pot and third are
// then ignored), by the same arithmetic, so they are the same bits. With hess false only
// the deflection o[2..3] is made (pot and third are then ignored), the same bits as well.
template <bool hess = true>
inline void iso_eval(const IsoConsts& k, double x, double y, bool pot, bool third, double* o, bool defl = true) {
  const double s = k.s, q2 = k.q2, u = k.u, v = k.v, qb = k.qb;
  const bool circ = v < 1e-6;
  const double psi = circ ? std::sqrt(x * x + y * y + s * s) : std::sqrt(q2 * (s * s + x * x) + y * y);
  const double W = psi + s, E = W * W + u * x * x;
  // The library calls come first, while few values are live across them.
  // x phi_x + y phi_y - (qbs/2) ln E + qbs ln((1 + q) s), with one logarithm.
  if (!defl || !hess) pot = third = false;
  const double L = pot ? std::log(E / k.c2) : 0.0;
  if (!defl) {
    // second derivatives only
  } else if (circ) {
    const double ipsi = 1.0 / psi;
    const double B = psi + s, iB = 1.0 / B, iH = iB * iB * iB * ipsi / 6.0;
    o[2] = qb * x * (iB + u * (x * x * (psi + 3.0 * s) + 3.0 * s * s * B) * iH);
    o[3] = qb * y * (iB + u * (3.0 * psi * B * (psi + 2.0 * s) - y * y * (psi + 3.0 * s)) * iH);
  } else {
    // Two divisions side by side: a shorter chain before the library calls than one shared
    // reciprocal.
    const double ax = v * x / (psi + s), ay = v * y / (psi + q2 * s);
    if (u > 0.0) {
      o[2] = k.qbv * std::atan(ax);
      o[3] = k.qbv * std::atanh(ay);
    } else {
      o[2] = k.qbv * std::atanh(ax);
      o[3] = k.qbv * std::atan(ay);
    }
  }
  if (!hess) return;
  const double D = psi * E, iD = 1.0 / D;
  const double N1 = psi * W - q2 * x * x, N2 = s * W + x * x;
  o[4] = qb * N1 * iD;
  o[5] = qb * N2 * iD;
  o[6] = -qb * x * y * iD;
  if (pot) o[1] = x * o[2] + y * o[3] - k.hqbs * L;
  if (!third) return;
  // Third derivatives: derivatives of phi_xx = qb N1/D and phi_yy = qb N2/D.
  const double ipsi = 1.0 / psi;
  const double psix = (circ ? x : q2 * x) * ipsi, psiy = y * ipsi;
  const double Dx = psix * E + psi * (2.0 * W * psix + 2.0 * u * x);
  const double Dy = psiy * E + psi * 2.0 * W * psiy;
  const double N1x = psix * (2.0 * psi + s) - 2.0 * q2 * x, N1y = psiy * (2.0 * psi + s);
  const double N2x = s * psix + 2.0 * x, N2y = s * psiy;
  const double iD2 = qb * iD * iD;
  o[7] = (N1x * D - N1 * Dx) * iD2;
  o[8] = (N1y * D - N1 * Dy) * iD2;
  o[9] = (N2x * D - N2 * Dx) * iD2;
  o[10] = (N2y * D - N2 * Dy) * iD2;
}

// The truncated profile: the profile of k0 minus that of k1 (the same b and axis ratio,
// cores k0.s and k1.s), o[1..6] and, when third is true, o[7..10]. Far outside both cores
// the two convergences nearly cancel: the convergence is made from their difference in a
// form without the cancellation, (b/2)(a^2 - s^2)/(Ps Pa (Ps + Pa)) with P = sqrt(core^2 +
// xi^2), and the shear from the difference of the two fields.
inline void iso_truncated(const IsoConsts& k0, const IsoConsts& k1, double x, double y, bool pot, bool third,
                          double* o) {
  double u[11] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  iso_eval(k0, x, y, pot, third, o);
  iso_eval(k1, x, y, pot, third, u);
  const int n = third ? 10 : 6;
  for (int q = pot ? 1 : 2; q <= n; ++q) o[q] -= u[q];
  // With psi = q P: kappa = (qb q^2/2)(a^2 - s^2)/(psi_s psi_a (psi_s + psi_a)).
  const bool circ = k0.v < 1e-6;
  const double q2 = circ ? 1.0 : k0.q2;
  const double ps = circ ? std::sqrt(x * x + y * y + k0.s * k0.s) : std::sqrt(q2 * (k0.s * k0.s + x * x) + y * y);
  const double pa = circ ? std::sqrt(x * x + y * y + k1.s * k1.s) : std::sqrt(q2 * (k1.s * k1.s + x * x) + y * y);
  const double kap = 0.5 * k0.qb * q2 * (k1.s - k0.s) * (k1.s + k0.s) / (ps * pa * (ps + pa));
  const double h = 0.5 * (o[4] - o[5]);
  o[4] = kap + h;
  o[5] = kap - h;
}

// For a loaded component (c as the loader made it): true when its class routine evaluates
// it through this closed form ("alpha" with alpha = 1, "pjaffe"); then terms is the number
// of profiles summed with the given alphanorm setting (0 when b = 0; 2 when a core a > 0
// truncates it: k[0] minus k[1]) and k[0..terms-1] their constants.
bool iso_component(const CurrentComponent& c, int alphanorm, IsoConsts* k, int& terms);

}  // namespace iso_detail
