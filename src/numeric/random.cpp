// Random deviates: uniform generators, Gaussian and Poisson deviates, random vectors,
// points in ellipsoids and rotations, and the seeded streams.
#include "numeric/random.h"

#include <cmath>

#include "numeric/linalg.h"
#include "numeric/specfunc.h"

RandomState random_state;

namespace {

constexpr double kRnmx = 1.0 - 1.2e-7;  // largest value a uniform generator returns

// ran1: minimal standard generator, Schrage's factorisation.
constexpr long kIA = 16807, kIM = 2147483647, kIQ = 127773, kIR = 2836;
constexpr long kNDIV1 = 1 + (kIM - 1) / RandomState::kTable;  // 67108864

// ran2: L'Ecuyer's two generators.
constexpr long kIM1 = 2147483563, kIM2 = 2147483399, kIMM1 = kIM1 - 1;
constexpr long kIA1 = 40014, kIA2 = 40692, kIQ1 = 53668, kIQ2 = 52774, kIR1 = 12211, kIR2 = 3791;
constexpr long kNDIV2 = 1 + kIMM1 / RandomState::kTable;  // 67108862

// The magnitude of a non-positive seed as the start of a generator of modulus m: -seed,
// and 1 for 0. Seeds beyond the 32-bit range are reduced modulo m so that the table never
// holds values outside the generator's range (which would index past the table).
inline long start_value(long seed, long m) {
  long s = -(seed % m);
  return s < 1 ? 1 : s;
}

// A positive seed beyond the generator's range is reduced into it (0 would be a fixed
// point of the multiplicative step, so it becomes 1).
inline void keep_in_range(long& seed, long m) {
  if (seed >= m) {
    seed %= m;
    if (seed == 0) seed = 1;
  }
}

inline void step(long& s, long a, long m, long q, long r) {
  const long k = s / q;
  s = a * (s - k * q) - r * k;
  if (s < 0) s += m;
}

}  // namespace

double ran1(long& seed) { return ran1(seed, random_state); }

double ran1(long& seed, RandomState& rs) {
  auto& st = rs.ran1;
  if (seed <= 0 || st.iy == 0) {
    seed = seed <= 0 ? start_value(seed, kIM) : 1;
    for (int j = RandomState::kTable + 7; j >= 0; j--) {
      step(seed, kIA, kIM, kIQ, kIR);
      if (j < RandomState::kTable) st.iv[j] = seed;
    }
    st.iy = st.iv[0];
  }
  keep_in_range(seed, kIM);
  step(seed, kIA, kIM, kIQ, kIR);
  const long j = st.iy / kNDIV1;
  st.iy = st.iv[j];
  st.iv[j] = seed;
  const double temp = static_cast<double>(st.iy) / static_cast<double>(kIM);
  return temp > kRnmx ? kRnmx : temp;
}

double ran2(long& seed) { return ran2(seed, random_state); }

double ran2(long& seed, RandomState& rs) {
  auto& st = rs.ran2;
  if (seed <= 0) {
    seed = start_value(seed, kIM1);
    st.idum2 = seed;
    for (int j = RandomState::kTable + 7; j >= 0; j--) {
      step(seed, kIA1, kIM1, kIQ1, kIR1);
      if (j < RandomState::kTable) st.iv[j] = seed;
    }
    st.iy = st.iv[0];
  }
  keep_in_range(seed, kIM1);
  step(seed, kIA1, kIM1, kIQ1, kIR1);
  step(st.idum2, kIA2, kIM2, kIQ2, kIR2);
  const long j = st.iy / kNDIV2;
  st.iy = st.iv[j] - st.idum2;
  st.iv[j] = seed;
  if (st.iy < 1) st.iy += kIMM1;
  const double temp = static_cast<double>(st.iy) / static_cast<double>(kIM1);
  return temp > kRnmx ? kRnmx : temp;
}

double gasdev(long& seed) { return gasdev(seed, random_state); }

double gasdev(long& seed, RandomState& rs) {
  auto& st = rs.gasdev;
  if (seed < 0) st.held = false;
  if (st.held) {
    st.held = false;
    return st.spare;
  }
  double s, t, r;
  do {
    s = 2.0 * ran1(seed, rs) - 1.0;
    t = 2.0 * ran1(seed, rs) - 1.0;
    r = s * s + t * t;
  } while (r >= 1.0 || r == 0.0);
  const double f = std::sqrt(-2.0 * std::log(r) / r);
  st.spare = s * f;
  st.held = true;
  return t * f;
}

double poidev(double mean, long& seed) { return poidev(mean, seed, random_state); }

double poidev(double mean, long& seed, RandomState& rs) {
  // The rejection method's own ten-digit pi: the deviates of a seed repeat only with it.
  constexpr double kPoissonPi = 3.141592654;
  auto& st = rs.poidev;
  double em;
  if (mean < 12.0) {  // direct method: multiply uniform deviates until below e^-mean
    if (mean != st.oldm) {
      st.oldm = mean;
      st.g = std::exp(-mean);
    }
    em = -1.0;
    double t = 1.0;
    do {
      em += 1.0;
      t *= ran1(seed, rs);
    } while (t > st.g);
  } else {  // rejection with a Lorentzian comparison function
    if (mean != st.oldm) {
      st.oldm = mean;
      st.sq = std::sqrt(2.0 * mean);
      st.alxm = std::log(mean);
      st.g = mean * st.alxm - gammln(mean + 1.0);
    }
    double t;
    do {
      double y;
      do {
        y = std::tan(kPoissonPi * ran1(seed, rs));
        em = st.sq * y + mean;
      } while (em < 0.0);
      em = std::floor(em);
      t = 0.9 * (1.0 + y * y) * std::exp(em * st.alxm - gammln(em + 1.0) - st.g);
    } while (ran1(seed, rs) > t);
  }
  return em;
}

namespace {

template <class Normal>
void gasvec_with(Normal&& normal, int n, const Mat& M, Vec& g, Vec& out) {
  if (n <= 0) return;
  for (int k = 1; k <= n; k++) g[k] = normal();
  for (int i = 1; i <= n; i++) {
    double sum = 0.0;
    for (int k = 1; k <= n; k++) sum += M[i][k] * g[k];
    out[i] = sum;
  }
}

template <class Normal, class Uniform>
void ranell_with(Normal&& normal, Uniform&& uniform, int n, const Mat& M, Vec& g, Vec& out) {
  if (n <= 0) return;
  double norm2 = 0.0;
  for (int k = 1; k <= n; k++) {
    g[k] = normal();
    norm2 += g[k] * g[k];
  }
  const double u = uniform();
  const double f = std::pow(u, 1.0 / n) / std::sqrt(norm2);
  for (int k = 1; k <= n; k++) g[k] *= f;
  for (int i = 1; i <= n; i++) {
    double sum = 0.0;
    for (int k = 1; k <= n; k++) sum += M[i][k] * g[k];
    out[i] = sum;
  }
}

template <class Normal>
void ranrot_with(Normal&& normal, int n, Mat& R) {
  for (int i = 1; i <= n; i++)
    for (int j = 1; j <= n; j++) R[i][j] = normal();
  GramSchmidt(n, R);
}

}  // namespace

void gasvec(long& seed, int n, const Mat& M, Vec& g, Vec& out) {
  gasvec_with([&] { return gasdev(seed); }, n, M, g, out);
}
void gasvec(RandomStream& r, int n, const Mat& M, Vec& g, Vec& out) {
  gasvec_with([&] { return gasdev(r); }, n, M, g, out);
}
void ranell(long& seed1, long& seed2, int n, const Mat& M, Vec& g, Vec& out) {
  ranell_with([&] { return gasdev(seed1); }, [&] { return ran2(seed2); }, n, M, g, out);
}
void ranell(RandomStream& r1, RandomStream& r2, int n, const Mat& M, Vec& g, Vec& out) {
  ranell_with([&] { return gasdev(r1); }, [&] { return ran2(r2); }, n, M, g, out);
}
void ranrot(long& seed, int n, Mat& R) {
  ranrot_with([&] { return gasdev(seed); }, n, R);
}
void ranrot(RandomStream& r, int n, Mat& R) {
  ranrot_with([&] { return gasdev(r); }, n, R);
}

long stream_start(long s) {
  if (s == 0) return -1;
  return s < 0 ? s : -s;
}

void RandomStream::restart(long s) {
  seed = stream_start(s);
  state = RandomState{};
}

unsigned long long mix_seed(unsigned long long a, unsigned long long b, unsigned long long c) {
  auto splitmix = [](unsigned long long x) {
    x += 0x9e3779b97f4a7c15ULL;
    x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
    x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
    return x ^ (x >> 31);
  };
  return splitmix(splitmix(splitmix(a) ^ b) ^ c);
}

long mixed_stream_start(unsigned long long mix) { return -(1 + static_cast<long>(mix % 2147483646ULL)); }

RandomStream mixed_ran1_stream(unsigned long long mix) {
  RandomStream r(mixed_stream_start(mix));
  ran1(r);
  return r;
}
