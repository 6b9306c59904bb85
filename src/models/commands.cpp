// The table of the mass-model commands: model list, tables, convergence maps and special models.
#include "models/commands.h"

#include <iterator>

#include "models/evaluator.h"
#include "models/kapmap.h"
#include "models/powerlaw.h"
#include "models/registry.h"
#include "models/special.h"
#include "shell/commands.h"

namespace {

// clang-format off
const CommandSpec kCommands[] = {
    {"listmodels", listmodels, nullptr, 0, "Lists all mass models.",
     {"Lists all mass models."}},
    {"fft1", fft1, SetGlob, 5, "Computes FFT of a single, real function.",
     {"fft1 <inname> <count?> <periodic?> <outname>",
      "  Computes FFT of a single, real function."}, HelpLayout{kLongest, 0}},
    {"loadpowlawtab", loadpowlawtab, nullptr, 2, "Read interpolation coefficients for powlawT model.",
     {"loadpowlawtab <filename>",
      "Read interpolation coefficients for powlawT model."}, HelpLayout{kLongest, 0}},
    {"kap2lens", kap2lens, SetGlob, 5, "Computes lensing properties of a kappa map, using FFT.",
     {"kap2lens <input kappa file> <infile type> <range file> <output file> \\",
      "         [trim] [kappa_cut]",
      "  Computes lensing properties of a kappa map, using FFT."}, HelpLayout{kLongest, 0}},
    {"sig2lens", sig2lens, SetGlob, 5, "Computes lensing properties of a density map, using FFT.",
     {"sig2lens <input Sigma file> <infile type> <range file> <output file> \\",
      "         [trim] [kappa_cut]",
      "  Computes lensing properties of a density map, using FFT."}, HelpLayout{kLongest, 0}},
    {"makekapmap", makekapmap, SetGlob, 10, "Writes a kappa map using the current lens model.",
     {"makekapmap <output kappa file> <outfile type> <range file> \\",
      "           <x lo> <hi> <# steps> <y lo> <hi> <# steps> [noise] [Nover]",
      "  Writes a kappa map using the current lens model."}, HelpLayout{kLongest, 0}},
    {"loadkapmap", loadkapmap, SetGlob, 2, "Loads binary file containing kappa map (from kap2lens).",
     {"loadkapmap <input file> [index/1] [total number of kappa maps/1]",
      "  Loads binary file containing kappa map (from kap2lens)."}, HelpLayout{kLongest, 0}},
    {"checkkapmap", checkkapmap, SetGlob, 5, "Checks to see whether the current model matches a kappa map.",
     {"checkkapmap <kappa file> <noise file> <filetype> <range file> \\",
      "            [Rlo] [Rhi] [outname] [outtype]",
      "  Checks to see whether the current model matches a kappa map."}, HelpLayout{kLongest, 0}},
    {"setgausran1", setgausran1, SetGlob, 2, "Sets the number of modes in the gausran1 model.",
     {"setgausran1 <n>",
      " Sets the number of modes in the gausran1 model."}, HelpLayout{kLongest, 0}},
    {"MTseries", MTseries, nullptr, 0, "",
     {}},
    {"loadnonpar", loadnonpar, nullptr, 0, "",
     {}},
    {"setfoldcaus", setfoldcaus, SetGlob, 0, "Set parameters for idealized fold caustic.",
     {"setfoldcaus <inname or random>",
      " Set parameters for idealized fold caustic.",
      " The input file contains lines of the form:",
      "  K <value>",
      "  e <value>",
      "  f <value>",
      "  g <value>",
      "  h <value>",
      "  k <value>",
      "  m <value>",
      "  n <value>",
      "  p <value>",
      "  r <value>",
      "Any coefficients that are not specified are set to 0."}, HelpLayout{kLongest, 0}},
    {"try2", try2, SetGlob, 0, "try2 <n>",
     {"try2 <n>"}},
};
// clang-format on

const CommandSpec& row(const char* name) { return table_row(models_commands(), name); }

}  // namespace

CommandTable models_commands() { return {kCommands, std::size(kCommands)}; }

void listmodelshelp(int level) { print_help(row("listmodels"), level); }
void fft1help(int level) { print_help(row("fft1"), level); }
void loadpowlawtabhelp(int level) { print_help(row("loadpowlawtab"), level); }
void kap2lenshelp(int level) { print_help(row("kap2lens"), level); }
void sig2lenshelp(int level) { print_help(row("sig2lens"), level); }
void makekapmaphelp(int level) { print_help(row("makekapmap"), level); }
void loadkapmaphelp(int level) { print_help(row("loadkapmap"), level); }
void checkkapmaphelp(int level) { print_help(row("checkkapmap"), level); }
void setgausran1help(int level) { print_help(row("setgausran1"), level); }
void MTserieshelp(int level) { print_help(row("MTseries"), level); }
void loadnonparhelp(int level) { print_help(row("loadnonpar"), level); }
void setfoldcaushelp(int level) { print_help(row("setfoldcaus"), level); }
void try2help(int level) { print_help(row("try2"), level); }
