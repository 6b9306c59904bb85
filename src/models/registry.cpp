// The model-class registry: finding a class by name, the class list and listmodels.
#include "models/registry.h"

#include "models/classes.h"
#include "models/component.h"
#include "shell/fatal.h"

namespace {

std::deque<ModelClass> g_modlist;

struct ClassRow {
  const char* name;
  const char* description;
  ModelClassEval evaluate;
  ModelClassDensity density;
  ModelClassMass mass;
};

using namespace modelclass;

// The 51 built-in classes in registration order. Each entry spans two lines, name and
// description first, routines second, so that a class lands by changing its own routine
// line alone (not_built -> its routine; dumrho/dummass -> its density/mass pair).
const ClassRow kClassTable[] = {
    {"ring", "Ring source parameters (only in tarnsolve)",
     dummy, dumrho, dummass},
    {"register", "Allows registration of different data types",
     rgstfunc, dumrho, dummass},
    {"LOSshr", "Allows line-of-sight shear",
     LOSshrfunc, dumrho, dummass},
    {"convrg", "Convergence from uniform mass sheet",
     convrg, dumrho, dummass},
    {"clus3", "Bernstein & Fischer 3rd order cluster terms",
     clus3, dumrho, dummass},
    {"fourmode", "Fourier mode density perturbation",
     fourmode, dumrho, dummass},
    {"nonpar", "Non-parametric model",
     nonpar, dumrho, dummass},
    {"monopole", "General monopole term",
     monopole, dumrho, dummass},
    {"mpole", "General multipole term",
     mpole, dumrho, dummass},
    {"intshr", "Internal shear quadrupole",
     intshr, dumrho, dummass},
    {"foldcaus", "Idealized fold caustic",
     foldcaus, dumrho, dummass},
    {"ArnoldADE", "Arnold ADE -- QVM IN DEVELOPMENT",
     ArnoldADE, dumrho, dummass},
    {"ptmass", "Point mass",
     ptmass, dumrho, dummass},
    {"softpow", "Softened power law density (alternate)",
     softpow, dumrho, dummass},
    {"alphapot", "Softened power law potential",
     alphapot, dumrho, dummass},
    {"alpha", "Softened power law density",
     alpha, alpha_rho, alpha_M},
    {"alphaT", "Softened power law density (tabulated)",
     alphaT, alpha_rho, alpha_M},
    {"pjaffe", "Pseudo-Jaffe (truncated isothermal) model",
     pjaffe, dumrho, dummass},
    {"king", "King model",
     king, dumrho, dummass},
    {"tsis", "Truncated isothermal sphere",
     tsis, dumrho, dummass},
    {"tpow", "Truncated power law sphere",
     tpow, dumrho, dummass},
    {"boxypot", "Boxy power law potential",
     boxypot, dumrho, dummass},
    {"devauc", "de Vaucouleurs r^(1/4) model (numerical) ",
     devauc, dumrho, dummass},
    {"devaucT", "de Vaucouleurs r^(1/4) model (tabulated) ",
     devaucT, dumrho, dummass},
    {"devaucA", "de Vaucouleurs r^(1/4) model (approximate)",
     devaucA, dumrho, dummass},
    {"sersic", "Sersic r^(1/n) model (numerical)",
     sersic, dumrho, dummass},
    {"sersicT", "Sersic r^(1/n) model (tabulated)",
     sersicT, dumrho, dummass},
    {"jaffe", "Jaffe model (numerical)",
     jaffe, jaffe_rho, jaffe_M},
    {"jaffeT", "Jaffe model (tabulated)",
     jaffeT, jaffe_rho, jaffe_M},
    {"hern", "Hernquist model (numerical)",
     hern, hern_rho, hern_M},
    {"hernT", "Hernquist model (tabulated)",
     hernT, hern_rho, hern_M},
    {"nfw", "NFW model (numerical)",
     nfw, nfw_rho, nfw_M},
    {"tnfw2", "Truncated isothermal sphere (2d)",
     tnfw2, dumrho, dummass},
    {"tnfw3", "Truncated isothermal sphere (3d)",
     tnfw3, dumrho, dummass},
    {"nfwT", "NFW model (tabulated)",
     nfwT, nfw_rho, nfw_M},
    {"nfwpot", "NFW elliptical potential",
     nfwpot, dumrho, dummass},
    {"nfwcusp", "Cuspy NFW model (numerical) -- circ only",
     nfwcusp, nfwcusp_rho, nfwcusp_M},
    {"nfwcuspT", "Cuspy NFW model (tabulated) -- circ only",
     nfwcuspT, nfwcusp_rho, nfwcusp_M},
    {"cusp", "Cusp model (numerical)",
     cusp, cusp_rho, cusp_M},
    {"cuspT", "Cusp model (tabulated)",
     cuspT, cusp_rho, cusp_M},
    {"burkert", "Burkert model (numerical)",
     burkert, dumrho, dummass},
    {"nuker", "Nuker model (numerical)",
     nuker, dumrho, dummass},
    {"unidisk", "Uniform density disk",
     unidisk, dumrho, dummass},
    {"expdisk", "Exponential disk (numerical)  ",
     expdisk, dumrho, dummass},
    {"expdiskT", "Exponential disk (tabulated)  ",
     expdiskT, dumrho, dummass},
    {"expdiskA", "Exponential disk (approximate)",
     expdiskA, dumrho, dummass},
    {"kuzdisk", "Kuzmin disk",
     kuzdisk, dumrho, dummass},
    {"kapmap", "Arbitrary kappa map",
     kapmap, dumrho, dummass},
    {"tab", "General tabulated model",
     tab, dumrho, dummass},
    {"gaus", "Gaussian model (numerical)",
     gaus, dumrho, dummass},
    {"gausT", "Gaussian model (tabulated)",
     gausT, dumrho, dummass},
};
static_assert(sizeof(kClassTable) / sizeof(kClassTable[0]) == CLS_COUNT_BUILTIN,
              "the class table and ClassId must list the same classes");

}  // namespace

const std::deque<ModelClass>& modlist() { return g_modlist; }

const ModelClass* FindModelClass(std::string_view name) {
  for (const ModelClass& m : g_modlist)
    if (m.name == name) return &m;
  return nullptr;
}

void AddMod(const std::string& name, ModelClassEval evaluate, ModelClassDensity density,
            ModelClassMass mass, const std::string& description) {
  ModelClass m;
  m.name = name;
  m.description = description;
  m.evaluate = evaluate;
  m.density = density;
  m.mass = mass;
  m.id = static_cast<int>(g_modlist.size()) + 1;
  g_modlist.push_back(std::move(m));
  // A component whose name was unknown may now name a class.
  resolve_component_classes();
}

void SetMod(const std::string& name, ModelClassEval evaluate, ModelClassDensity density,
            ModelClassMass mass, const std::string& description) {
  for (ModelClass& m : g_modlist) {
    if (m.name == name) {
      m.description = description;
      m.evaluate = evaluate;
      m.density = density;
      m.mass = mass;
      // Rows of the class made their evaluation plan from the old routine.
      for (GalaxyTable::Row& r : TWgal.rows_)
        if (r.cls == &m) r.valid = false;
      return;
    }
  }
  AddMod(name, evaluate, density, mass, description);
}

void InitModels() {
  // Component rows point into the registry: drop those pointers before emptying it.
  TWgal.allocate(TWgal.NGALMAX);
  g_modlist.clear();
  for (const ClassRow& r : kClassTable) AddMod(r.name, r.evaluate, r.density, r.mass, r.description);
}

void ListModels() {
  for (const ModelClass& m : g_modlist) qprintf("%-8s : %s\n", m.name.c_str(), m.description.c_str());
}

void listmodels(const WordArray&) { ListModels(); }

