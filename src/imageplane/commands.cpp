// The table of the image-plane commands: grids, critical curves, surface-brightness maps and microlensing.
#include "imageplane/commands.h"

#include <iterator>

#include "imageplane/critcurves.h"
#include "imageplane/finite_source.h"
#include "imageplane/grid.h"
#include "imageplane/microlensing.h"
#include "imageplane/sbmap.h"
#include "imageplane/srcmap.h"
#include "shell/commands.h"

namespace {

// clang-format off
const CommandSpec kCommands[] = {
    {"maingrid", maingrid, SetGlob, 8, "Sets parameters for main grid.",
     {"maingrid 1 <x lo> <hi> <#steps> <y lo> <hi> <#steps>",
      "maingrid 2 <r lo> <hi> <#steps> <theta lo> <hi> <#steps>",
      "Sets parameters for main grid: 1 for a cartesian grid, 2 for a polar grid.",
      "The seven arguments are the variables gridcoords, gridlo1, gridhi1, ngrid1,",
      "gridlo2, gridhi2, ngrid2, in that order; theta is in degrees."}},
    {"galgrid", galgrid, SetGlob, 0, "Sets parameters for secondary polar grids around individual galaxies.",
     {"galgrid <Ngal> <r lo> <hi> <#steps> <theta lo> <hi> <#steps>",
      "Sets parameters for secondary polar grids around the first Ngal galaxies.",
      "A negative number of radial steps with rlo>0 gives logarithmic spacing in r.",
      "Theta is in degrees.  'galgrid 0' turns the grids off."}},
    {"imggrid", imggrid, SetGlob, 0, "Sets parameters for secondary polar grids around specific positions.",
     {"imggrid <Nimg> <r lo> <hi> <#steps> <theta lo> <hi> <#steps> [filename]",
      "Sets parameters for secondary polar grids around Nimg positions.  A negative",
      "number of radial steps with rlo>0 gives logarithmic spacing in r.  Theta is in",
      "degrees.  'imggrid 0' turns the grids off.  The positions are read from the",
      "file (first line Nimg, which supersedes the argument, then one line per",
      "position with x and y) or, without a file, from the input that follows.",
      "[tarnsolve only] A negative Nimg uses the observed image positions; it must",
      "be given before the data command."}},
    {"imgarray", imgarray, SetGlob, 2, "Sets positions of images (as reference points for various calculations).",
     {"imgarray <Nimg> [filename]",
      "Sets Nimg image positions, read from the file (first line Nimg, which",
      "supersedes the argument, then one line per position with x and y) or,",
      "without a file, from the input that follows.",
      "[tarnsolve only] A negative Nimg uses the observed image positions; it must",
      "be given before the data command."}},
    {"fitcrit", fitcrit, SetGlob, 3, "Fits an ellipse to the tangential critical curve.",
     {"fitcrit <mmax> <outname> [eps]",
      "Fits an ellipse to the tangential critical curve, then decomposes the",
      "residuals into a Fourier series up to mode mmax.  The output file lists",
      "the fit and gives the curve with the best-fit ellipse, for plotting.",
      "Tangential critical points are told apart from radial ones by probing",
      "the magnification at (1-eps)*r and (1+eps)*r.",
      "The default value is eps=0.1."}, HelpLayout{kLongest, 72}},
    {"checkfinsrc", checkfinsrc, SetGlob, 6, "Convergence tests for finite source calculations.",
     {"checkfinsrc <Nray lo> <hi> <# steps> <# bootstraps> <outname>",
      "Finds the images of the current extended source (at its own position)",
      "with the target number of rays stepped from lo to hi (a negative number",
      "of steps spaces them logarithmically), repeating each search the given",
      "number of times, and writes the mean and scatter of each image's x, y,",
      "mu and tdel at each step, then their errors relative to the last step",
      "(fractional for mu), to outname."}},
    {"SBmap1", SBmap1, SetGlob, 16, "Reads a surface brightness map and lenses it.",
     {"SBmap1 <inname> <intype> <u lo> <hi> <v lo> <hi> <outname> <outtype> <x lo> <hi> <# steps> <y lo> <hi> <# steps> <Nover>",
      "Reads a surface brightness map, puts it in the specified region of the",
      "source plane, and lenses it onto the given image-plane grid. Each pixel",
      "is oversampled with Nover steps in each direction."}},
    {"SBmap2", SBmap2, SetGlob, 10, "Generates a lensed SB map from analytic sources.",
     {"SBmap2 <x lo> <hi> <# steps> <y lo> <hi> <# steps> <Nover> <file> <outtype>",
      "Generates a lensed surface brightness map from the sources specified with",
      "setsource. Each pixel is oversampled with Nover steps in each direction."}},
    {"convolve1", convolve1, SetGlob, 7, "Convolves two images (e.g., an image and a PSF).",
     {"convolve1 <inname1> <intype1> <inname2> <intype2> <outname> <outtype>",
      "Convolves two images (e.g., an image and a PSF).",
      "  The images may differ in size, but should have the same pixel scale.",
      "  Image 2 is taken as the PSF, centred on its brightest pixel.",
      "  The output has the size of image 1."}},
    {"convolve2", convolve2, SetGlob, 7, "Convolves an image with an analytic extended source/PSF.",
     {"convolve2 <inname> <intype> <xpixel> <ypixel> <outname> <outtype>",
      "Convolves an image with the extended source specified with setsource,",
      "used as the PSF; xpixel and ypixel are the pixel scale in each direction."}},
    {"imgstats", imgstats, SetGlob, 3, "Reports some basic properties and statistics of an image.",
     {"imgstats <inname> <intype>",
      "Reports some basic properties and statistics of the image in the file."}},
    {"spider", spider, SetGlob, 15, "Generates a lensed velocity `spider' diagram.",
     {"spider <x lo> <hi> <# steps> <y lo> <hi> <# steps> <outname> <outtype> <u0> <v0> <inclination> <PA> <Vcirc> <Rmax>",
      "Generates a lensed velocity `spider' diagram for a flat rotation curve disk",
      "centred at (u0,v0) with the given inclination and major-axis PA (degrees),",
      "rotating at Vcirc out to radius Rmax."}},
    {"makesrcmap", makesrcmap, SetGlob, 10, "Writes a source map using the current source model.",
     {"makesrcmap <output source file> <outfile type> <range file> \\",
      "           <x lo> <hi> <# steps> <y lo> <hi> <# steps> [noise] [Nover]",
      "Writes the brightness of the current source (isource) on the given grid,",
      "and the range file that loadsrcmap reads with it.",
      "Oversampling takes Nover steps in each direction within each pixel.",
      "Any noise value of 1e-6 or more in magnitude adds Gaussian noise of unit",
      "standard deviation from 'seed'."}},
    {"loadsrcmap", loadsrcmap, SetGlob, 4, "Loads file to be used with 'srcmap' model class.",
     {"loadsrcmap <infile> <infile type> <range file> [index/1] [total number of source maps/1]",
      "The range file holds two lines: 'xlo xhi' and 'ylo yhi', the coordinates",
      "of the first and last pixel centres relative to the source centre.",
      "The fourth argument is the index of the map being loaded; the fifth is",
      "the total number of source maps, which cannot be changed once set.",
      "Parameter 8 of a 'srcmap' source is the index of the stored map it uses."}},
    {"lightcrv", lightcrv, SetGlob, 7, "Computes a microlensing light curve.",
     {"lightcrv <file> <u1> <v1> <u2> <v2> <# steps> [Rsrc lo] [hi] [# steps]",
      "Computes a microlensing light curve along the line from (u1,v1)",
      "to (u2,v2) in the given number of steps, and writes it to the file.",
      "Rsrc values label the passes in the first column; each pass uses",
      "the current source as it is set (the size is not changed)."}},
    {"rayshoot", rayshoot, SetGlob, 10, "Ray shooting to determine magnification patterns in source plane.",
     {"rayshoot <u lo> <hi> <# steps> <v lo> <hi> <# steps> <file> <filetype> <Nray1> [Nwrite] [interpolate?] [mu0]",
      "Ray shooting to determine magnification patterns in source plane.",
      "  Nray1 is the number of rays per pixel corresponding to a magnification of unity.",
      "  Nwrite is the number of intermediate stages at which the output file is written.",
      "  interpolate = 0 computes the exact deflection for each ray;",
      "  interpolate = 1 interpolates on the main grid.",
      "  mu0 = 0 writes absolute magnifications; mu0 > 0 writes log10(mu/mu0).",
      "The grid of the current model must have been built."}},
    {"magmapP", magmapP, SetGlob, 9, "Computes magnification map for a Paczynski (ptmass) lens.",
     {"magmapP <xlo> <xhi> <nx> <ylo> <yhi> <ny> <outname> <outtype> [Nover] [epsilon]",
      "Computes magnification map for a Paczynski (ptmass) lens,",
      "with lengths in units of the Einstein radius.",
      "Optionally uses random oversampling (batches of Nover points per pixel)",
      "until the error in the mean is below epsilon."}},
    {"map2lcrv", map2lcrv, SetGlob, 7, "map2lcrv <inname> <intype> <pixscale> <b> <theta (deg)> <outname>",
     {"map2lcrv <inname> <intype> <pixscale> <b> <theta (deg)> <outname>"}},
    {"map2lstats", map2lstats, SetGlob, 11,
     "map2lstats <inname> <intype> <pixscale> <b lo> <hi> <#b> <#theta>\n           <Delta(A) threshold> <outbase> <outtype>",
     {"map2lstats <inname> <intype> <pixscale> <b lo> <hi> <#b> <#theta>",
      "           <Delta(A) threshold> <outbase> <outtype>"}},
};
// clang-format on

const CommandSpec& row(const char* name) { return table_row(imageplane_commands(), name); }

}  // namespace

CommandTable imageplane_commands() { return {kCommands, std::size(kCommands)}; }

void maingridhelp(int level) { print_help(row("maingrid"), level); }
void galgridhelp(int level) { print_help(row("galgrid"), level); }
void imggridhelp(int level) { print_help(row("imggrid"), level); }
void imgarrayhelp(int level) { print_help(row("imgarray"), level); }
void fitcrithelp(int level) { print_help(row("fitcrit"), level); }
void checkfinsrchelp(int level) { print_help(row("checkfinsrc"), level); }
void SBmap1help(int level) { print_help(row("SBmap1"), level); }
void SBmap2help(int level) { print_help(row("SBmap2"), level); }
void convolve1help(int level) { print_help(row("convolve1"), level); }
void convolve2help(int level) { print_help(row("convolve2"), level); }
void imgstatshelp(int level) { print_help(row("imgstats"), level); }
void spiderhelp(int level) { print_help(row("spider"), level); }
void makesrcmaphelp(int level) { print_help(row("makesrcmap"), level); }
void loadsrcmaphelp(int level) { print_help(row("loadsrcmap"), level); }
void lightcrvhelp(int level) { print_help(row("lightcrv"), level); }
void rayshoothelp(int level) { print_help(row("rayshoot"), level); }
void magmapPhelp(int level) { print_help(row("magmapP"), level); }
void map2lcrvhelp(int level) { print_help(row("map2lcrv"), level); }
void map2lstatshelp(int level) { print_help(row("map2lstats"), level); }
