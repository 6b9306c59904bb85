// The table of the simulation commands: mock lenses, substructure clumps, statistics and OMEGA runs.
#include "sim/commands.h"

#include <iterator>

#include "shell/commands.h"
#include "sim/batchmock.h"
#include "sim/clumps.h"
#include "sim/mocks.h"
#include "sim/omega.h"
#include "sim/stats.h"

namespace {

// The batch commands' usage ends alike: noise modes, parameter ranges, output forms.
const std::vector<const char*> kBatchTail = {
    "Noise modes:",
    "  0 : none",
    "  1 : add noise before shifting position relative to galaxy",
    "      and time delays relative to leading image",
    "  2 : add noise after shifting",
    "The code then asks for",
    "  <lo> <hi> <#steps>",
    "for each parameter that is varied.",
    "If #steps>0, the code will use a regular grid for that parameter;",
    "if #steps<0, the code will draw random values for the parameter.",
    "The global variable batchwrite controls the form of the output:",
    "  1 : plain text",
    "  2 : FITS",
    "  3 : both"};

// mock1 and mock2 differ only in how the sources are counted.
const std::vector<const char*> kMockDrawing = {
    "Lenses are drawn inside the smallest circle circumscribing the caustics.",
    "outname=stdout sends the output to the terminal.  The optional third",
    "argument is the minimum number of images for a lens to be stored.",
    "nu is the power-law index of the source counts, dN/dS \\propto S^{nu}.",
    "Three magnification modes are computed:"};
const std::vector<const char*> kMockModes = {
    "  2: use magnification of 2nd brightest image",
    "  3: use magnification of 2nd brightest image more than 0.5*sep away",
    "     from the brightest, where sep is the maximum separation",
    "With nu=-2, mode #1 gives the bias to be the mean magnification."};

// clang-format off
const CommandSpec kCommands[] = {
    {"checktree", checktree, SetGlob, 5, "Checks pot/def/mag for a tree.",
     {"checktree <outbase> <rmin> <rmax> <Nsamp>",
      "Checks pot/def/mag for a tree."}, HelpLayout{kLongest, 0}},
    {"mock1", mock1, SetGlob, 3, "Generate mock lenses for a fixed *number* of sources.",
     joined_lines({{"mock1 <outname> <source number> [minimum Nimg] [nu lo] [hi] [steps]",
                    "Generate mock lenses for a fixed *number* of sources."},
                   kMockDrawing, {"  1: use total magnification"}, kMockModes})},
    {"mock2", mock2, SetGlob, 3, "Generate mock lenses for a fixed *density* of sources.",
     joined_lines({{"mock2 <outname> <source density> [minimum Nimg] [nu lo] [hi] [steps]",
                    "Generate mock lenses for a fixed *density* of sources."},
                   kMockDrawing, {"  1: use total magnification [default]"}, kMockModes})},
    {"mock3", mock3, SetGlob, 7, "mock3 <outbase> <density of sources> <siggal> <sigx> <sigf> <sigt> [mode]",
     {"mock3 <outbase> <density of sources> <siggal> <sigx> <sigf> <sigt> [mode]"}},
    {"mockLF", mockLF, nullptr, 7, "Defines a double power law luminosity function for mock lenses.",
     {"mockLF <Llo> <nu1> <Lstar> <nu2> <Lhi> <Llim> [N]",
      "Defines a double power law luminosity function for mock lenses.",
      "The luminosity function has the form",
      "  Phi(L) \\propto 1 / [ (L/Lstar)^nu1 + (L/Lstar)^nu2 ]",
      "where nu1 and nu2 should be positive.  It is defined from Llo to Lhi.",
      "Llim is the limiting luminosity.  The optional N is the number of",
      "steps used to store the differential and cumulative distributions",
      "(default 1000)."}, HelpLayout{64, 68}},
    {"mocklens", mocklens, nullptr, 3, "Generates mock lenses in a form that can be fed into lens modeling.",
     {"mocklens <outbase> <Nsrc> [source mode] [minimum Nimg] \\",
      "    [siggal] [sigx] [sigf] [sigt] [add noise?]",
      "Generates mock lenses in a form that can be fed into lens modeling.",
      "  src mode = 1 : uniform sampling of source positions (default)",
      "  src mode = 2 : magnification-weighted sampling of source positions"}, HelpLayout{kLongest, 70}},
    {"batchmock1", batchmock1, SetGlob, 3, "Batch run of mock lenses, allowing model parameters to vary.",
     joined_lines({{"batchmock1 <outbase> <Nsrc> [source mode] [minimum Nimg] \\",
      "    [siggal] [sigx] [sigf] [sigt] [add noise?]",
      "Batch run of mock lenses, allowing model parameters to vary.",
      "Source modes:",
      "  1 : uniform sampling of source positions (default)",
      "  2 : magnification-weighted sampling of source positions"}, kBatchTail}), HelpLayout{kLongest, 70}},
    {"batchmock2", batchmock2, SetGlob, 4, "Batch run of mock lenses, allowing model parameters to vary.",
     joined_lines({{"batchmock2 <outbase> <Nsrc> <source file> [minimum Nimg] \\",
      "    [siggal] [sigx] [sigf] [sigt] [add noise?]",
      "Similar to batchmock1, but source positions are read from a file.",
      "With Nsrc<=0 the code counts the entries of the source file.",
      "Source file form:",
      "  u1 v1 [f1]",
      "  u2 v2 [f2]",
      "  ...",
      "(fluxes default to 1)"}, kBatchTail}), HelpLayout{kLongest, 70}},
    {"mockcsec", mockcsec, SetGlob, 7, "Uses mock lenses to compute cross sections, with bootstrap errors.",
     {"mockcsec <outbase> <source number> <nu lo> <hi> <steps> <Nboot>",
      "  -- or --",
      "mockcsec <outbase> <source number> <L0 lo> <hi> <steps> <Nboot>",
      "Uses mock lenses to compute cross sections, with bootstrap errors.",
      "Outputs:",
      "  outbase.dat  : properties of individual lenses",
      "  outbase.csec : summary of the cross sections",
      "A negative source number distributes sources with magnification",
      "weighting (accounted for in the cross sections).  A negative third",
      "argument gives slopes nu of a simple power-law luminosity function;",
      "a positive one gives limiting luminosities L0 for the mockLF function.",
      "Nboot is the number of bootstrap resamplings.",
      "With omitcore<=0 every lens must have Nmin+Nmax=Nsad+1 images; with",
      "omitcore>0 lenses with an image brighter than 0.5*omitcrit are redrawn."}, HelpLayout{67, 72}},
    {"csec2sep", csec2sep, SetGlob, 10,
     "csec2sep <inbase> <source number> <nu lo> <hi> <steps> \\\n  <outbase> <separation lo> <hi> <steps>",
     {"csec2sep <inbase> <source number> <nu lo> <hi> <steps> \\",
      "  <outbase> <separation lo> <hi> <steps>"}, HelpLayout{0, 0}},
    {"ranlens", ranlens, nullptr, 6, "ranlens <outbase> <srcu> <srcv> <srcf> <Nran> [Niter] [sigx]",
     {"ranlens <outbase> <srcu> <srcv> <srcf> <Nran> [Niter] [sigx]"}},
    {"ranlens1", ranlens1, SetGlob, 0,
     "ranlens1 <outbase> <Nlens> <Nsrc> <R>\n  - or -\nranlens1 <outbase> <Nlens> 1 <u> <v>",
     {"ranlens1 <outbase> <Nlens> <Nsrc> <R>",
      "  - or -",
      "ranlens1 <outbase> <Nlens> 1 <u> <v>"}, HelpLayout{0, 0}},
    {"clumplist", clumplist, SetGlob, 2, "Specifies which mass components are to be treated as clumps.",
     {"clumplist [list of indices]",
      "Specifies which mass components are to be treated as clumps.",
      "clumplist 0 resets the list so nothing is treated as a clump."}, HelpLayout{62, 62}},
    {"setclumps", setclumps, SetGlob, 4, "Sets parameters for clump population(s).",
     {"setclumps <# of populations> <Rmin> <Rmax>",
      "QVM DOCUMENTATION IS OLD!!!",
      "  <igal> <m> <q> <beta> <id> [R_eff] [other parameters] [random N?]",
      "  igal = index of the parent component in the mass model",
      "  m    = clump mass parameter (see below)",
      "  q    = dynamic range of mass function (m_hi/m_lo)",
      "  beta = power law index of mass function",
      "  id   = clump type: star, gaus, pj, tsis, nfw, pow, soft",
      "If m>0 it is the mean clump mass; if m<0 then |m| is the low end of the",
      "mass function.  In both cases the mass is scaled by the critical density",
      "(so it has units of area).",
      "The remaining arguments describe the internal structure of each clump.",
      "Clumps are constructed explicitly between R1 and R2 along the semimajor",
      "axis, using Nrad steps.  Between R2 and R3 a multivariate Gaussian",
      "approximation is used, averaged with Nrad radial and Nang angular steps,",
      "computed at the positions set with 'imggrid'."}, HelpLayout{72}},
    {"farclumps", farclumps, SetGlob, 0, "farclumps <r0> <Rfac> <mmax> [Nrad/1000] [Nang/1000] [test?]",
     {"farclumps <r0> <Rfac> <mmax> [Nrad/1000] [Nang/1000] [test?]"}},
    {"NFWclumps", NFWclumps, nullptr, 0, "Same as scaleclumps.",
     {"Same as scaleclumps."}},
    {"scaleclumps", scaleclumps, SetGlob, 7, "Defines scaling relations for NFW clumps.",
     {"scaleclumps <m0> <R0> rt <value> <alpha> <beta> rs <value> <alpha> <beta>",
      "Defines scaling relations for NFW clumps.  A reference mass and position",
      "and power-law indices give relations of the form",
      "  rt(m,R) = value * (m/m0)^alpha * (R/R0)^beta",
      "where m0 is a scaled mass (M/Sigma_crit) as in setclumps.  The keywords",
      "'rs' and 'rt' are needed, but the two sets may come in either order.",
      "NOTE: this supersedes any values specified in the setclumps command.",
      "WARNING: THE RADIAL SCALING RELATION IS NOT ACTUALLY USED RIGHT NOW!!!!"}, HelpLayout{72, 72}},
    {"drawclumps", drawclumps, SetGlob, 0, "drawclumps [Nseed] [rseed] [gseed]",
     {"drawclumps [Nseed] [rseed] [gseed]"}},
    {"writeclumps", writeclumps, SetGlob, 2, "writeclumps <outbase> [list of indices]",
     {"writeclumps <outbase> [list of indices]"}},
    {"clumpcheckR", clumpcheckR, SetGlob, 8, "clumpcheckR <x> <y> <R lo> <hi> <steps> <Nran> <outbase>",
     {"clumpcheckR <x> <y> <R lo> <hi> <steps> <Nran> <outbase>"}},
    {"clumpIJdist", clumpIJdist, SetGlob, 3, "clumpIJdist <Nran> <outbase>",
     {"clumpIJdist <Nran> <outbase>"}},
    {"clumptestfar", clumptestfar, SetGlob, 3, "QVM HERE",
     {"clumptestfar <N> <outbase> [xref] [yref]",
      "QVM HERE",
      "Computes the magnification distribution at the image-grid points set",
      "with imggrid or imgarray, for N realizations of the clump population(s).",
      "Output files: outbase-all.dat and outbase-mag.dat."}, HelpLayout{65, 65}},
    {"magdistimg", magdistimg, SetGlob, 3, "Computes magnification distribution at fixed image plane points.",
     {"magdistimg <N> <outbase>",
      "Computes magnification distribution at fixed image plane points.",
      "The points are those specified with the imggrid or imgarray command.",
      "N is the number of realizations of the clump population.",
      "Output files:",
      "  outbase-all.dat : all lensing properties (potential and its",
      "                    derivatives) for all image positions",
      "  outbase-mag.dat : magnifications for all image positions"}},
    {"magdistsrc", magdistsrc, SetGlob, 5, "Computes magnification distribution at fixed source plane point.",
     {"magdistsrc <u> <v> <N> <outbase>",
      "Computes magnification distribution at fixed source plane point.",
      "For the specified source plane point, the images are found for N",
      "random realizations of the clump population.",
      "Output files:",
      "  outbase.dat : total magnifications",
      "  outbase.img : all the individual images"}, HelpLayout{kLongest, 68}},
    {"OMEGAstep1", OMEGAstep1, SetGlob, 5, "Runs step #1 of OMEGA simulations.",
     {"OMEGAstep1 <u> <v> <N> <outbase> [Rcut] [gridsize] [ngrid]",
      "Runs step #1 of OMEGA simulations.",
      "Outputs:",
      "  outbase-img.dat       : basic properties of point images",
      "  outbase-ran#-mod#.dat : model file for step #2",
      "The tree algorithm decides which clumps are treated explicitly; with",
      "Rcut, all clumps within Rcut of an image are.  gridsize (the full side",
      "length) and ngrid put a 'maingrid' command centred on the image into",
      "each model file."}, HelpLayout{kLongest, 72}},
    {"OMEGAstep2", OMEGAstep2, SetGlob, 6, "Runs step #2 of OMEGA simulations.",
     {"OMEGAstep2 <u> <v> <ushift> <vshift> <potential reference> [outname]",
      "Runs step #2 of OMEGA simulations.",
      "(u,v) is the unshifted source position, (ushift,vshift)",
      "the shifted position for the local run, and the fifth argument the",
      "potential reference of the local run.",
      "The output is like findimg."}, HelpLayout{kLongest, 72}},
    {"OMEGAwrite", OMEGAwrite, SetGlob, 2, "Sets how simulation results are stored for OMEGA runs.",
     {"OMEGAwrite <name> [binary/text] [mode]",
      "Sets how simulation results are stored for OMEGA runs.",
      "The second argument is the word 'binary' or 'text'.",
      "Modes:",
      "  1 : results written one at a time (default)",
      "  2 : results written continuously"}, HelpLayout{kLongest, 60}},
    {"OMEGAmerge", OMEGAmerge, SetGlob, 4, "OMEGAmerge <filelist> <outname> <outtype> [Nimg_min] [Nimg_max]",
     {"OMEGAmerge <filelist> <outname> <outtype> [Nimg_min] [Nimg_max]"}},
};
// clang-format on

const CommandSpec& row(const char* name) { return table_row(sim_commands(), name); }

}  // namespace

CommandTable sim_commands() { return {kCommands, std::size(kCommands)}; }

void checktreehelp(int level) { print_help(row("checktree"), level); }
void mock1help(int level) { print_help(row("mock1"), level); }
void mock2help(int level) { print_help(row("mock2"), level); }
void mock3help(int level) { print_help(row("mock3"), level); }
void mockLFhelp(int level) { print_help(row("mockLF"), level); }
void mocklenshelp(int level) { print_help(row("mocklens"), level); }
void batchmock1help(int level) { print_help(row("batchmock1"), level); }
void batchmock2help(int level) { print_help(row("batchmock2"), level); }
void mockcsechelp(int level) { print_help(row("mockcsec"), level); }
void csec2sephelp(int level) { print_help(row("csec2sep"), level); }
void ranlenshelp(int level) { print_help(row("ranlens"), level); }
void ranlens1help(int level) { print_help(row("ranlens1"), level); }
void clumplisthelp(int level) { print_help(row("clumplist"), level); }
void setclumpshelp(int level) { print_help(row("setclumps"), level); }
void farclumpshelp(int level) { print_help(row("farclumps"), level); }
void NFWclumpshelp(int level) { print_help(row("NFWclumps"), level); }
void scaleclumpshelp(int level) { print_help(row("scaleclumps"), level); }
void drawclumpshelp(int level) { print_help(row("drawclumps"), level); }
void writeclumpshelp(int level) { print_help(row("writeclumps"), level); }
void clumpcheckRhelp(int level) { print_help(row("clumpcheckR"), level); }
void clumpIJdisthelp(int level) { print_help(row("clumpIJdist"), level); }
void clumptestfarhelp(int level) { print_help(row("clumptestfar"), level); }
void magdistimghelp(int level) { print_help(row("magdistimg"), level); }
void magdistsrchelp(int level) { print_help(row("magdistsrc"), level); }
void OMEGAstep1help(int level) { print_help(row("OMEGAstep1"), level); }
void OMEGAstep2help(int level) { print_help(row("OMEGAstep2"), level); }
void OMEGAwritehelp(int level) { print_help(row("OMEGAwrite"), level); }
void OMEGAmergehelp(int level) { print_help(row("OMEGAmerge"), level); }
