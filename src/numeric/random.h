// Random deviates: two uniform generators, Gaussian and Poisson deviates, and random
// vectors, points in ellipsoids and rotations built on them.
//
// Every stream is fixed by the seed its caller passes by reference; each generator
// advances the caller's seed at every call. A seed that is zero or negative asks the
// generator to (re)initialise its table from the magnitude of the seed (0 counts as 1).
// Seeds are expected within the 32-bit range. No platform generator is used anywhere, so
// a run with the same seed repeats exactly.
//
// Each generator keeps its table in a generator record (RandomState). The forms without a
// record use the process-wide random_state, shared by every seed variable that uses that
// generator: two seeds used alternately there influence each other's streams. A stream that
// must repeat from its seed whatever else runs (image finder restarts, per-triangle rays,
// samplers, clump draws) owns a record of its own: a RandomStream.
#pragma once

#include "numeric/alloc.h"

struct RandomState {
  static constexpr int kTable = 32;
  struct Ran1 {
    long iv[kTable] = {};
    long iy = 0;  // 0 forces initialisation at the first call
  } ran1;
  struct Ran2 {
    long iv[kTable] = {};
    long iy = 0;
    long idum2 = 123456789;
  } ran2;
  struct Gasdev {
    bool held = false;  // a spare deviate is held
    double spare = 0.0;
  } gasdev;
  struct Poidev {
    double oldm = -1.0;  // the mean of the last call
    double sq = 0.0, alxm = 0.0, g = 0.0;
  } poidev;
};
extern RandomState random_state;

// A seed and the generator record it draws with: an independent, repeatable stream.
// The start value is -|s| (-1 for 0), so the first draw initialises the record's tables
// and a positive seed repeats as well as a negative one.
struct RandomStream {
  long seed = -1;
  RandomState state;
  RandomStream() = default;
  explicit RandomStream(long s) { restart(s); }
  void restart(long s);
};

// -|s|, and -1 for 0: the value a stream copied from a seed starts from.
long stream_start(long s);
// A well-mixed 64-bit function of its arguments (splitmix64 chained over them), for seeding
// sub-streams from (seed, repetition, index) without correlations between neighbours.
unsigned long long mix_seed(unsigned long long a, unsigned long long b = 0, unsigned long long c = 0);
// The start value of a stream seeded by a mixed value: -(1 + (mix mod 2147483646)).
long mixed_stream_start(unsigned long long mix);
// A stream seeded by a mixed value whose first ran1 output is already drawn. The first
// ran1 output after the table is filled is biased low (mean 0.486 over seeds, not 0.5), so
// a Poisson deviate of small mean drawn first from a fresh stream falls about 3% short;
// streams seeded for one use each (one per triangle) skip that output.
RandomStream mixed_ran1_stream(unsigned long long mix);

// Uniform deviate in (0, 1): the minimal-standard congruential generator (16807 mod
// 2^31 - 1) with a 32-entry shuffle table. Never above 1 - 1.2e-7.
double ran1(long& seed);
double ran1(long& seed, RandomState& st);
// Uniform deviate in (0, 1): L'Ecuyer's combined generator with a 32-entry shuffle.
double ran2(long& seed);
double ran2(long& seed, RandomState& st);
// Normal deviate of mean 0 and variance 1 (polar Box-Muller, draws from ran1). Deviates
// come in pairs: every second call returns the spare of the previous one without a draw;
// a negative seed discards the spare.
double gasdev(long& seed);
double gasdev(long& seed, RandomState& st);
// Poisson deviate of the given mean, as a double (draws from ran1).
double poidev(double mean, long& seed);
double poidev(double mean, long& seed, RandomState& st);

// The same deviates from a stream's own record.
inline double ran1(RandomStream& r) { return ran1(r.seed, r.state); }
inline double ran2(RandomStream& r) { return ran2(r.seed, r.state); }
inline double gasdev(RandomStream& r) { return gasdev(r.seed, r.state); }
inline double poidev(double mean, RandomStream& r) { return poidev(mean, r.seed, r.state); }

// out[1..n] = M g for n fresh normal deviates g[1..n] (drawn in order from gasdev(seed));
// with M a Cholesky factor of a covariance matrix, out is a correlated normal vector.
// n <= 0 does nothing.
void gasvec(long& seed, int n, const Mat& M, Vec& g, Vec& out);
void gasvec(RandomStream& r, int n, const Mat& M, Vec& g, Vec& out);
// out[1..n] = M g for g uniform in the unit n-ball: g[1..n] from gasdev(seed1), then one
// ran2(seed2) for the radius.
void ranell(long& seed1, long& seed2, int n, const Mat& M, Vec& g, Vec& out);
// Stream form: the normal deviates from r1, the radius from r2 (two records, or one twice).
void ranell(RandomStream& r1, RandomStream& r2, int n, const Mat& M, Vec& g, Vec& out);
// Fills R[1..n][1..n] with a random orthonormal matrix: normal deviates row by row, then
// Gram-Schmidt on the columns.
void ranrot(long& seed, int n, Mat& R);
void ranrot(RandomStream& r, int n, Mat& R);
