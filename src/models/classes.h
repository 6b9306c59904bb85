// The class routines of the 51 registered model classes, and their density/mass pairs.
//
// How to add a class routine (mass-profile developers):
//   1. Define the routine declared below, in namespace modelclass, in your own file
//      (src/models/<family>.cpp):
//        namespace modelclass {
//        void alpha(DerivVector& out, double x, double y) { ... }
//        }
//      (x, y) is the position in the component frame; read the component from `cur`
//      (models/component.h): cur.b, cur.ep, cur.te, cur.ss, cur.aa, cur.al, cur.ct,
//      cur.st, cur.c2t, cur.s2t, cur.gm, cur.tg, cur.gc, cur.gs. out arrives cleared:
//      write entries 1..6 (and 7..10 if the class has third derivatives). Honour
//      settings.potflag == 0 (the potential may be left 0) and b == 0 (all zeros).
//      TWmod.potdefmag_com[0..10] is scratch for the duration of one class evaluation.
//   2. In src/models/registry.cpp replace exactly the routine line of that class in the
//      class table: `not_built, dumrho, dummass` becomes `alpha, alpha_rho, alpha_M`
//      (or `alpha, dumrho, dummass` when the class has no density pair).
// The chain is not re-entrant: a class routine must never call the evaluator
// (potdefmag, ellipse, initgal) - it may call other class routines directly, e.g. a
// tabulated class falling back on its numerical twin with the same `cur`.
//
// Until its routine lands, a class points at not_built, which ends the program with
// "ERROR: model class <name> is not available in this build" naming the class.
#pragma once

#include "models/derivs.h"

namespace modelclass {

// ---- placeholders of the registry ----
// Class not built yet: ends the program naming the current component's class.
[[noreturn]] void not_built(DerivVector& out, double x, double y);
// Class "ring": zeros.
void dummy(DerivVector& out, double x, double y);
// Classes "register" and "LOSshr": zeros and a warning (the evaluators skip them).
void rgstfunc(DerivVector& out, double x, double y);
void LOSshrfunc(DerivVector& out, double x, double y);
// Density / mass of a class without them: "ERROR: 3-d density not defined for this model".
[[noreturn]] double dumrho(double r);
[[noreturn]] double dummass(double r);

// ---- class routines, in registration order ----
void convrg(DerivVector& out, double x, double y);
void clus3(DerivVector& out, double x, double y);
void fourmode(DerivVector& out, double x, double y);
void nonpar(DerivVector& out, double x, double y);
void monopole(DerivVector& out, double x, double y);
void mpole(DerivVector& out, double x, double y);
void intshr(DerivVector& out, double x, double y);
void foldcaus(DerivVector& out, double x, double y);
void ArnoldADE(DerivVector& out, double x, double y);
void ptmass(DerivVector& out, double x, double y);
void softpow(DerivVector& out, double x, double y);
void alphapot(DerivVector& out, double x, double y);
void alpha(DerivVector& out, double x, double y);
void alphaT(DerivVector& out, double x, double y);
void pjaffe(DerivVector& out, double x, double y);
void king(DerivVector& out, double x, double y);
void tsis(DerivVector& out, double x, double y);
void tpow(DerivVector& out, double x, double y);
void boxypot(DerivVector& out, double x, double y);
void devauc(DerivVector& out, double x, double y);
void devaucT(DerivVector& out, double x, double y);
void devaucA(DerivVector& out, double x, double y);
void sersic(DerivVector& out, double x, double y);
void sersicT(DerivVector& out, double x, double y);
void jaffe(DerivVector& out, double x, double y);
void jaffeT(DerivVector& out, double x, double y);
void hern(DerivVector& out, double x, double y);
void hernT(DerivVector& out, double x, double y);
void nfw(DerivVector& out, double x, double y);
void tnfw2(DerivVector& out, double x, double y);
void tnfw3(DerivVector& out, double x, double y);
void nfwT(DerivVector& out, double x, double y);
void nfwpot(DerivVector& out, double x, double y);
void nfwcusp(DerivVector& out, double x, double y);
void nfwcuspT(DerivVector& out, double x, double y);
void cusp(DerivVector& out, double x, double y);
void cuspT(DerivVector& out, double x, double y);
void burkert(DerivVector& out, double x, double y);
void nuker(DerivVector& out, double x, double y);
void unidisk(DerivVector& out, double x, double y);
void expdisk(DerivVector& out, double x, double y);
void expdiskT(DerivVector& out, double x, double y);
void expdiskA(DerivVector& out, double x, double y);
void kuzdisk(DerivVector& out, double x, double y);
void kapmap(DerivVector& out, double x, double y);
void tab(DerivVector& out, double x, double y);
void gaus(DerivVector& out, double x, double y);
void gausT(DerivVector& out, double x, double y);

// ---- density rho(r) and mass M(r) of the current component ----
double alpha_rho(double r);    // classes alpha, alphaT
double alpha_M(double r);
double jaffe_rho(double r);    // classes jaffe, jaffeT
double jaffe_M(double r);
double hern_rho(double r);     // classes hern, hernT
double hern_M(double r);
double nfw_rho(double r);      // classes nfw, nfwT
double nfw_M(double r);
double nfwcusp_rho(double r);  // classes nfwcusp, nfwcuspT
double nfwcusp_M(double r);
double cusp_rho(double r);     // classes cusp, cuspT
double cusp_M(double r);

}  // namespace modelclass
