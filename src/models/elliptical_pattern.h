// The numerical elliptical pattern: lensing fields of a radial mass profile whose
// convergence is constant on ellipses, for profiles without a closed-form elliptical
// deflection.
//
// A class routine built on the pattern supplies only its own physics, as a profile type
// (the "traits"), and calls
//
//     radial_profile_class<MyProfile>(out, x, y);
//
// which runs the common steps in this order:
//   1. out arrives cleared; b == 0 gives all zeros.
//   2. s == 0: MyProfile::kZeroScaleError is the fatal message ("NFW scale radius cannot
//      be zero"), or nullptr to replace s by 1e-4 (written back to cur.ss).
//   3. r == 0 with MyProfile::kZeroAtCentre: all zeros.
//   4. The profile is built from the current component: MyProfile prof(cur).
//      prof.accept(x, y, r) may refuse the point (false: all zeros) or end the program
//      (class checks such as an out-of-range slope).
//   5. N = prof.norm(b, q), q = 1 - e.
//   6. |e| >= 1e-6: six integrals over u from prof.lower_limit() to 1, one adaptive
//      integration (settings.inttol), and
//        phi = (N/2) I1, phi_x = N x I2, phi_y = N y I3,
//        phi_xx = N (I2 + 2 x^2 I4), phi_yy = N (I3 + 2 y^2 I5), phi_xy = 2 N x y I6,
//      with w(u) = 1 - (1 - q^2) u, xi^2(u) = u (x^2 + y^2/w) and the integrands
//        I1: P/sqrt(w), I2: k/sqrt(w), I3: k/w^(3/2),
//        I4: u k'/sqrt(w), I5: u k'/w^(5/2), I6: u k'/w^(3/2),
//      where P = D(xi) xi/u (0 when settings.potflag is 0), k = kappa~(xi) and
//      k' = d kappa~ / d(xi^2).
//   7. |e| < 1e-6: circular forms with A = N D(r)/r and B = 2 N kappa~(r) - A:
//        phi_x = A x, phi_y = A y, phi_xx = A sin^2 + B cos^2,
//        phi_yy = A cos^2 + B sin^2, phi_xy = (B - A) sin cos,
//      and the potential from prof.circular_potential (closed form) or N times the
//      integral of D from prof.potential_lower_limit() to r; computed when
//      settings.potflag is 1 or MyProfile::kPotentialAlways.
// The convergence of the component is (N/q) kappa~(xi); for N = q b it is b kappa~.
//
// How a profile plugs in (derive from EllipticalProfile<MyProfile>, which supplies the
// defaults marked "default"):
//
//   struct MyProfile : EllipticalProfile<MyProfile> {
//     static constexpr const char* kZeroScaleError = "My scale radius cannot be zero";
//                                                     // required (nullptr: s -> 1e-4)
//     static constexpr bool kZeroAtCentre = true;     // default true
//     static constexpr bool kPotentialAlways = false; // default false
//     explicit MyProfile(const CurrentComponent& c);  // per-evaluation constants (s, ...)
//     // D: deflection / N at radius xi, in length units (only needed when want_D);
//     // k = kappa~(xi); kp = d kappa~/d(xi^2). Called with 0 < xi (and xi = 0 only
//     // for classes that go on at the centre).
//     void radial(double xi, double xi2, bool want_D, double& D, double& k, double& kp) const;
//     double lower_limit() const;                     // u0 (default 0)
//     double norm(double b, double q) const;          // N (default q b)
//     // Optional:
//     bool accept(double x, double y, double r) const;          // default true
//     void circular(double r, double& D, double& k) const;      // default radial()
//     bool circular_potential(double r, double& phi) const;     // phi / N; default false
//     double potential_lower_limit() const;                     // default 0
//     bool centre(double& k0) const;  // finite kappa~(0): used for the integrand at u = 0
//                                     // (P -> k0 r^2, k -> k0, u k' -> 0); default false
//     double u_power() const;         // integrate in t with u = t^p (default 1), see below
//     double potential_power() const; // same for the circular potential integral
//     static constexpr bool kScaledIntegrals = false;
//     void integral_scales(double x, double y, double c[6]) const; // see below
//   };
//
// End points. The integrator evaluates the integrand at the lower end first. A profile
// whose convergence is finite at the centre and integrates from u0 = 0 supplies centre().
// A profile whose kappa~ diverges at the centre like xi^-g (g < 2) either keeps a small
// positive u0 (as "nfw" does with 1e-8) or sets u_power() = p >= 2/(2 - g): the integrals
// are then taken over t in [u0^(1/p), 1] with u = t^p, du = p t^(p-1) dt, the integrands
// stay finite, and at t = 0 the Jacobian makes them 0 (the profile is not called there).
// potential_power() does the same for the circular potential, r' = r0 + (r - r0) t^p.
//
// Scaled integrals. The integrator's error control is absolute for integrals below 1.
// A profile whose integrals are small can set kScaledIntegrals and give a factor c[i] per
// integral: the pattern integrates c[i] times integrand i and divides the result by c[i].
//
// Table exponent check. Tabulated twins ("...T" classes) are built on the tabulated
// pattern (models/tabulated_pattern.h), not on this header; the twin of a profile with a
// shape exponent `al` (slope, index) sets TabulatedClass::check_exponent there, so that a
// table made for an exponent more than 1e-6 away (absolute for a table exponent of 0,
// relative otherwise) is refused with a warning and this numerical route is used.
//
// Not re-entrant with respect to the evaluator chain (it reads and may write `cur`), but
// the integrals themselves keep no process-wide state: a profile may nest integrals inside
// radial() freely.
//
// Source: the integrals of step 6 are those of a mass distribution constant on
// similar ellipses, Schramm 1990, A&A 231, 19.
#pragma once

#include <cmath>

#include "models/component.h"
#include "models/derivs.h"
#include "numeric/integrate.h"
#include "shell/fatal.h"
#include "shell/settings.h"

// ---- Radial functions shared by several profiles (defined in nfw.cpp) ----
// The NFW auxiliary function F(x): artanh(sqrt(1 - x^2))/sqrt(1 - x^2) below 1,
// arctan(sqrt(x^2 - 1))/sqrt(x^2 - 1) above, through a logarithm below |x| = 0.5 and its
// series near 1 (|x^2 - 1| < 0.01); F(1) = 1.
double nfwFfunc(double x);
// (1 - F(X))/(X^2 - 1) for g = X^2 - 1 and F = F(X), with its series near X = 1 where the
// quotient loses digits.
double nfw_one_minus_F_over_g(double g, double F);
// Circular NFW deflection in units of b s at X = r/s: 4 (ln(X/2) + F)/X (written without
// the cancelling difference below X = 0.5; 0 at X = 0). nfw0phir_F takes F(X) already
// computed (not read below X = 0.5).
double nfw0phir(double X);
double nfw0phir_F(double X, double F);
// NFW potential function h(X): the circular potential is 2 b s^2 h(r/s).
double nfw_hfunc(double X);

// Counters of the pattern's work, for the benchmark program (never read by the models).
struct EllipticalPatternStats {
  long integrations = 0;     // elliptical six-integral evaluations
  long integrand_calls = 0;  // profile evaluations inside them
};
inline EllipticalPatternStats elliptical_pattern_stats;

// Defaults of a profile of the pattern (CRTP: Derived is the profile itself).
template <class Derived>
struct EllipticalProfile {
  static constexpr bool kZeroAtCentre = true;
  static constexpr bool kPotentialAlways = false;
  static constexpr bool kScaledIntegrals = false;

  bool accept(double, double, double) const { return true; }
  double lower_limit() const { return 0.0; }
  double norm(double b, double q) const { return q * b; }
  void circular(double r, double& D, double& k) const {
    double kp;
    self().radial(r, r * r, true, D, k, kp);
  }
  bool circular_potential(double, double&) const { return false; }
  double potential_lower_limit() const { return 0.0; }
  bool centre(double&) const { return false; }
  double u_power() const { return 1.0; }
  double potential_power() const { return 1.0; }
  void integral_scales(double, double, double c[6]) const {
    for (int i = 0; i < 6; ++i) c[i] = 1.0;
  }

 private:
  const Derived& self() const { return static_cast<const Derived&>(*this); }
};

namespace elliptical_detail {

// The six integrands at u (jac: du/dt of the change of variable), added into d[0..5].
template <class Prof>
inline void integrands(const Prof& prof, double u, double jac, double x2, double y2, double r2,
                       double omq2, bool want_pot, double* d) {
  const double w = 1.0 - omq2 * u;
  const double sw = std::sqrt(w);
  const double iw1 = 1.0 / sw, iw3 = iw1 / w, iw5 = iw3 / w;
  double P = 0.0, k, ukp;
  if (u == 0.0) {
    // Centre of every ellipse: the limits of the integrands (xi -> 0, w = 1).
    double k0 = 0.0;
    if (!prof.centre(k0))
      fatal("elliptical profile integrand evaluated at the centre without a finite limit");
    k = k0;
    ukp = 0.0;
    if (want_pot) P = k0 * r2;
  } else {
    const double xi2 = u * (x2 + y2 / w);
    const double xi = std::sqrt(xi2);
    double D = 0.0, kp;
    prof.radial(xi, xi2, want_pot, D, k, kp);
    ukp = u * kp;
    if (want_pot) P = D * xi / u;
  }
  ++elliptical_pattern_stats.integrand_calls;
  d[0] = jac * P * iw1;
  d[1] = jac * k * iw1;
  d[2] = jac * k * iw3;
  d[3] = jac * ukp * iw1;
  d[4] = jac * ukp * iw5;
  d[5] = jac * ukp * iw3;
}

}  // namespace elliptical_detail

// The six integrals I[0..5] (I1..I6 above) at the component-frame point (x, y) for axis
// ratio q, from prof.lower_limit() to 1.
template <class Prof>
void elliptical_integrals(const Prof& prof, double x, double y, double q, double I[6]) {
  ++elliptical_pattern_stats.integrations;
  const double x2 = x * x, y2 = y * y, r2 = x2 + y2, omq2 = 1.0 - q * q;
  const bool want_pot = settings.potflag != 0;
  const double p = prof.u_power();
  const double u0 = prof.lower_limit();
  double c[6] = {1, 1, 1, 1, 1, 1};
  if constexpr (Prof::kScaledIntegrals) prof.integral_scales(x, y, c);

  auto rhs = [&](double t, const double*, double* d) {
    double u = t, jac = 1.0;
    if (p != 1.0) {
      if (t <= 0.0) {
        for (int i = 0; i < 6; ++i) d[i] = 0.0;
        return;
      }
      u = std::pow(t, p);
      jac = p * u / t;
    }
    elliptical_detail::integrands(prof, u, jac, x2, y2, r2, omq2, want_pot, d);
    if constexpr (Prof::kScaledIntegrals)
      for (int i = 0; i < 6; ++i) d[i] *= c[i];
  };
  const double t0 = (p != 1.0 && u0 > 0.0) ? std::pow(u0, 1.0 / p) : u0;
  integrateN(rhs, 6, I, t0, 1.0);
  if constexpr (Prof::kScaledIntegrals)
    for (int i = 0; i < 6; ++i) I[i] /= c[i];
}

// Elliptical case (|e| >= 1e-6): fills out[1..6].
template <class Prof>
void elliptical_fields(const Prof& prof, double N, double q, DerivVector& out, double x, double y) {
  double I[6];
  elliptical_integrals(prof, x, y, q, I);
  out[1] = 0.5 * N * I[0];
  out[2] = N * x * I[1];
  out[3] = N * y * I[2];
  out[4] = N * (I[1] + 2.0 * x * x * I[3]);
  out[5] = N * (I[2] + 2.0 * y * y * I[4]);
  out[6] = 2.0 * N * x * y * I[5];
}

// Circular potential over N: the profile's closed form, else the integral of D from
// prof.potential_lower_limit() to r.
template <class Prof>
double circular_potential_over_N(const Prof& prof, double r) {
  double phi;
  if (prof.circular_potential(r, phi)) return phi;
  const double r0 = prof.potential_lower_limit();
  const double p = prof.potential_power();
  if (p == 1.0) {
    return integrate1([&prof](double t) {
      double D, k;
      prof.circular(t, D, k);
      return D;
    }, r0, r);
  }
  const double span = r - r0;
  return integrate1([&prof, r0, span, p](double t) {
    if (t <= 0.0) return 0.0;
    const double tp = std::pow(t, p);
    double D, k;
    prof.circular(r0 + span * tp, D, k);
    return D * span * p * tp / t;
  }, 0.0, 1.0);
}

// Circular case (|e| < 1e-6): fills out[1..6]. At r = 0 (classes that go on at the
// centre) A = N kappa~(0) and the direction cosines are 1 and 0.
template <class Prof>
void circular_fields(const Prof& prof, double N, DerivVector& out, double x, double y) {
  const double r = std::sqrt(x * x + y * y);
  double A, B, c = 1.0, s = 0.0;
  if (r > 0.0) {
    double D, k;
    prof.circular(r, D, k);
    A = N * D / r;
    B = 2.0 * N * k - A;
    c = x / r;
    s = y / r;
  } else {
    double k0 = 0.0;
    if (!prof.centre(k0)) return;
    A = B = N * k0;
  }
  out[2] = A * x;
  out[3] = A * y;
  out[4] = A * s * s + B * c * c;
  out[5] = A * c * c + B * s * s;
  out[6] = (B - A) * s * c;
  if ((settings.potflag == 1 || Prof::kPotentialAlways) && r > 0.0)
    out[1] = N * circular_potential_over_N(prof, r);
}

// The whole class routine of a profile of the pattern (steps 1 to 7 above).
template <class Prof>
void radial_profile_class(DerivVector& out, double x, double y) {
  if (cur.b == 0.0) return;
  if (cur.ss == 0.0) {
    if (Prof::kZeroScaleError != nullptr) fatal(Prof::kZeroScaleError);
    cur.ss = 1e-4;
  }
  const double r = std::sqrt(x * x + y * y);
  if (r == 0.0 && Prof::kZeroAtCentre) return;
  const Prof prof(cur);
  if (!prof.accept(x, y, r)) return;
  const double q = 1.0 - cur.ep;
  const double N = prof.norm(cur.b, q);
  if (std::fabs(cur.ep) >= 1e-6)
    elliptical_fields(prof, N, q, out, x, y);
  else
    circular_fields(prof, N, out, x, y);
}
