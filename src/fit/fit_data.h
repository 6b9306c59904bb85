// Observed lens data: the galaxy and source records, their tables, the observed-lens
// data file and the commands that load it (data, data2, batchdata).
//
// Data file (read with the line reader; blank and comment lines skipped; the counts of
// values below are a line's own words, without the appended comment marker):
//   Ngal
//   per galaxy: x y sig(x)         (data2: x y sig(a) sig(b) sig(pa))
//               R_e sig(R_e)
//               PA sig(PA)
//               e sig(e)
//   Nsrc
//   per source: Nimg [wpos [wflux [wtdel [zsrc]]]]
//               Nimg lines x y flux sig(x) sig(flux) tdel [sig(tdel)]
//               (data2: x y flux sig(a) sig(b) sig(pa) sig(flux) tdel [sig(tdel)])
//               when every flux is negative: nflux, then nflux lines
//               srcsize f_1 sf_1 ... f_Nimg sf_Nimg
//
// Errors that mean "not measured": a flux error of exactly 0 and a delay error <= 0 (the
// image leaves that term), a galaxy position error axis of 0 (the galaxy leaves the
// galaxy term). An image position error axis of 0 loads, but the terms that weight by
// the position errors refuse it (require_position_errors).
#pragma once

#include <cstdio>
#include <string>

#include "numeric/alloc.h"
#include "numeric/random.h"
#include "shell/words.h"

// One observed (or model) galaxy.
struct GalData {
  double x = 0, y = 0;
  double sig_a = 0, sig_b = 0, err_pa = 0;  // position error ellipse (axes, degrees)
  double R_e = 0, sig_R_e = 0;
  double PA = 0, sig_PA = 0;
  double e = 0, sig_e = 0;
};

// One source and its images. Per-image arrays run over [1..maximg], per-band arrays over
// [1..multiflux], with the capacities the record was allocated with (kept in the record:
// every loop runs to its own sizes, never to the current settings).
struct SrcData {
  int maximg = 0, multiflux = 0;  // capacities
  int nimg = 0, nflux = 1;
  double u = 0, v = 0;
  Vec fsrc, srcsize;              // [1..multiflux]
  double h = 0;
  double wpos = 1, wflux = 1, wtdel = 1;
  double zsrc = -1, pscale = 1;
  IVec core, grid;                // [1..maximg]
  Vec x, y, sig_a, sig_b, err_pa; // [1..maximg]
  Mat flux, sig_flux;             // [1..maximg][1..multiflux]
  Vec tdel, sig_tdel;             // [1..maximg]
  int nextra = 0;
  Mat extra;                      // [1..maximg][1..4]: x, y, magnification (or flux)
  Tensor3 invcov;                 // [1..maximg][0..1][0..1]
  // Allocates every array for the given capacities (zeros) and resets the scalars.
  void allocate(int mimg, int mflux);
};

// Process-wide observed data: the current lens and the batch entries.
struct ObservedData {
  int Ngalobs = 0;
  BVec<GalData> galobs, galmod;  // [1..Ngalobs]
  int Nsrcobs = 0;
  BVec<SrcData> srcobs, srcmod;  // [1..Nsrcobs]
  int Nbatdat = 0;
  BVec<GalData> galbat;          // [1..Nbatdat]
  BVec<SrcData> srcbat;          // [1..Nbatdat]
  // Batch entry now held in galobs[1], srcobs[1] (0: the lens of a data file).
  int batch_entry = 0;
  // True once the image position errors of the current lens passed the check of
  // require_position_errors; cleared by every load and every entry copied in.
  bool poserr_checked = false;
};
extern ObservedData TSobs;
// The noise stream of batchdata: its own generator record, restarted from the "seed" by
// every batchdata command.
extern RandomStream batchdata_nseed;

// Empties every observed and batch table.
void clear_observed_data();

// Record tables. srcvector allocates every record with the current "maximg" and
// "multiflux" settings.
BVec<GalData> galvector(long lo, long hi);
void free_galvector(BVec<GalData>& table);
BVec<SrcData> srcvector(long lo, long hi);
void free_srcvector(BVec<SrcData>& table);
void copygalaxy(GalData& to, const GalData& from);
// Copies a source into an allocated record; a source beyond the target's capacities ends
// the program ("QVM uh oh maximg" / "QVM uh oh multiflux").
void copysource(const SrcData& from, SrcData& to);
// Copies batch entry i into galobs[1], srcobs[1] (the commands that fit batch entries
// call it before each fit) and marks the position errors for checking again.
void use_batch_entry(int i);

// Inverse covariance of image k's position error ellipse; an axis of 0 contributes 0
// (the position terms refuse such an image through require_position_errors).
void compute_invcov(SrcData& s, int k);

// Called by every chi-squared evaluation that weights image positions by their errors:
// the first call after a load (or a batch entry copied in) ends the program when an
// image has a position error axis of 0, naming the source, the image and the batch
// entry; later calls return at once.
void require_position_errors();

// The reference distance ratio R0 = Dls/Dos at the redshift the core references the
// model to: "zref" as the user set it, or the "zsrc" setting while zref is negative;
// 1 when neither is positive or zref >= 1000, else PMdist(zlens, zref)/PMdist(0, zref).
// With print set, the note of a data load is printed (also in quiet mode).
double reference_ratio(bool print);

// Image-grid centres from the observed images (see imggridp).
void proc_imggrid();

// Reads one batch entry (one galaxy, one source) into gal, src. Returns 1 when an entry
// was read, 0 at the end of the file or after an invalid count. rmin, rmax follow the
// image distances from the entry's galaxy; noise nonzero adds Gaussian noise drawn from
// the batch noise stream; fac rescales every error bar.
int batchdata_read1(FILE* fp, const std::string& path, int noise, GalData& gal, SrcData& src,
                    double& rmin, double& rmax, double fac);

// Commands.
void data(const WordArray& words);
void datahelp(int level);
void data2(const WordArray& words);
void data2help(int level);
void batchdata(const WordArray& words);
void batchdatahelp(int level);
