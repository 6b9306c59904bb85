// The model-class registry: the 51 mass-model classes a component can be an instance of.
//
// Each class has a name, a one-line description and three routines:
//   evaluate(out, x, y)  fills out[1..6] (1..10 for classes with third derivatives) with
//                        the lensing potential and its derivatives of the CURRENT
//                        component (see models/component.h, record `cur`) at the point
//                        (x, y) given in the component's own frame (centred on the
//                        component, major axis along x). out is cleared by the caller.
//   density(r)           three-dimensional density rho(r) of the current component;
//   mass(r)              three-dimensional mass M(r) inside radius r.
// Classes without their own density/mass register dumrho/dummass, which end the program.
//
// A component's class is resolved once, when its name is stored (setID), into a pointer
// to its ModelClass entry; evaluation never searches by name. Entries live in a deque and
// are never removed or moved, so the pointers stay valid for the rest of the run.
#pragma once

#include <deque>
#include <string>
#include <string_view>

#include "models/derivs.h"
#include "shell/words.h"

using ModelClassEval = void (*)(DerivVector& out, double x, double y);
using ModelClassDensity = double (*)(double r);
using ModelClassMass = double (*)(double r);

struct ModelClass {
  std::string name;         // compared exactly (case-sensitive)
  std::string description;  // shown by listmodels
  ModelClassEval evaluate = nullptr;
  ModelClassDensity density = nullptr;
  ModelClassMass mass = nullptr;
  int id = 0;               // position in registration order, 1..51 for the built-in classes
};

// Registration position of each built-in class (the ClassId of a component whose name
// is that class). CLS_NONE marks an empty slot ("none"), CLS_UNKNOWN a name that is no
// registered class (its first evaluation ends the program).
enum ClassId : int {
  CLS_UNKNOWN = -1,
  CLS_NONE = 0,
  CLS_ring = 1, CLS_register, CLS_LOSshr, CLS_convrg, CLS_clus3, CLS_fourmode, CLS_nonpar,
  CLS_monopole, CLS_mpole, CLS_intshr, CLS_foldcaus, CLS_ArnoldADE, CLS_ptmass, CLS_softpow,
  CLS_alphapot, CLS_alpha, CLS_alphaT, CLS_pjaffe, CLS_king, CLS_tsis, CLS_tpow, CLS_boxypot,
  CLS_devauc, CLS_devaucT, CLS_devaucA, CLS_sersic, CLS_sersicT, CLS_jaffe, CLS_jaffeT,
  CLS_hern, CLS_hernT, CLS_nfw, CLS_tnfw2, CLS_tnfw3, CLS_nfwT, CLS_nfwpot, CLS_nfwcusp,
  CLS_nfwcuspT, CLS_cusp, CLS_cuspT, CLS_burkert, CLS_nuker, CLS_unidisk, CLS_expdisk,
  CLS_expdiskT, CLS_expdiskA, CLS_kuzdisk, CLS_kapmap, CLS_tab, CLS_gaus, CLS_gausT,
  CLS_COUNT_BUILTIN = CLS_gausT
};

// The registry in registration order (the order of listmodels and of every name search).
const std::deque<ModelClass>& modlist();

// Empties the registry, registers the 51 built-in classes in order, and (re)allocates the
// component rows of TWgal for the current NGALMAX. Called once by the core start-up.
void InitModels();
// Appends a class at the tail (duplicates are not checked; a search finds the earliest).
void AddMod(const std::string& name, ModelClassEval evaluate, ModelClassDensity density,
            ModelClassMass mass, const std::string& description);
// Replaces the routines and description of the first class of that name in place, or
// appends it like AddMod.
void SetMod(const std::string& name, ModelClassEval evaluate, ModelClassDensity density,
            ModelClassMass mass, const std::string& description);
// First class whose name equals name exactly, or nullptr. "none" is never a class here
// unless someone registered it; callers treat "none" before looking up.
const ModelClass* FindModelClass(std::string_view name);
// One line "%-8s : %s\n" per class, in registration order, on QVMstdout.
void ListModels();

// Command listmodels: prints the registry (ignores its words, no settings refresh, prints
// in quiet mode too). Help: "Lists all mass models." at both levels, nothing when quiet.
void listmodels(const WordArray& words);
void listmodelshelp(int level);
