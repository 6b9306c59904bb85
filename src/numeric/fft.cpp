// Fast Fourier transforms in one, two and three dimensions through FFTW3, with plans kept
// per problem.
#include "numeric/fft.h"

#include <fftw3.h>

#include <algorithm>
#include <cstddef>
#include <string>
#include <vector>

namespace {

inline bool power_of_two(long n) { return n >= 1 && (n & (n - 1)) == 0; }

void check_length(const char* routine, long n) {
  if (!power_of_two(n))
    nrerror(std::string(routine) + ": length " + std::to_string(n) + " is not a power of 2");
}

void check_sign(const char* routine, int isign) {
  if (isign != 1 && isign != -1) nrerror(std::string(routine) + ": isign must be 1 or -1");
}

enum class Kind { Complex, RealToHalf, HalfToReal };

// One kept plan: the problem it solves and the alignment of the arrays it was made for.
// FFTW runs a plan on other arrays only when they have that alignment and the same
// in-place or out-of-place arrangement.
struct KeptPlan {
  Kind kind;
  int sign;
  bool in_place;
  int align_in, align_out;
  std::vector<long> dims;
  fftw_plan plan;
};

// Plans made once per problem and kept for the process (FFTW_ESTIMATE: no trial runs, and
// the arrays are not touched while planning), and one scratch block for the packed real
// transforms. Everything is released at exit.
class PlanCache {
 public:
  PlanCache() = default;
  PlanCache(const PlanCache&) = delete;
  PlanCache& operator=(const PlanCache&) = delete;
  ~PlanCache() {
    for (KeptPlan& p : plans_) fftw_destroy_plan(p.plan);
    fftw_free(scratch_);
    fftw_cleanup();
  }

  // The plan for dims[0..rank-1] (last index fastest) from in to out; for the real kinds
  // dims are those of the real array, whose rows are padded to 2 (n/2 + 1) values when the
  // transform runs in place.
  fftw_plan get(Kind kind, int sign, const long* dims, int rank, double* in, double* out) {
    const bool in_place = in == out;
    const int ai = fftw_alignment_of(in), ao = fftw_alignment_of(out);
    for (const KeptPlan& p : plans_)
      if (p.kind == kind && p.sign == sign && p.in_place == in_place && p.align_in == ai && p.align_out == ao &&
          static_cast<int>(p.dims.size()) == rank && std::equal(dims, dims + rank, p.dims.begin()))
        return p.plan;
    const fftw_plan plan = make(kind, sign, dims, rank, in, out, in_place);
    if (plan == nullptr) nrerror("fft: no transform plan for this array");
    plans_.push_back({kind, sign, in_place, ai, ao, std::vector<long>(dims, dims + rank), plan});
    return plan;
  }

  // A block of at least n doubles, kept and grown as needed.
  double* scratch(size_t n) {
    if (n > scratch_size_) {
      fftw_free(scratch_);
      scratch_ = fftw_alloc_real(n);
      if (scratch_ == nullptr) nrerror("allocation failure in fft scratch");
      scratch_size_ = n;
    }
    return scratch_;
  }

 private:
  static fftw_plan make(Kind kind, int sign, const long* dims, int rank, double* in, double* out, bool in_place) {
    // Row-major strides, in units of the element type on each side: complex values on the
    // spectrum side, doubles on the real side.
    const long last = dims[rank - 1];
    const long half = last / 2 + 1;
    const long real_row = in_place ? 2 * half : last;
    std::vector<fftw_iodim64> iod(static_cast<size_t>(rank));
    ptrdiff_t creal = 1, chalf = 1, cfull = 1;
    for (int d = rank - 1; d >= 0; --d) {
      const long n = dims[d];
      fftw_iodim64& io = iod[static_cast<size_t>(d)];
      io.n = n;
      if (kind == Kind::Complex) {
        io.is = io.os = cfull;
      } else {
        const ptrdiff_t sr = creal, sh = chalf;
        io.is = kind == Kind::RealToHalf ? sr : sh;
        io.os = kind == Kind::RealToHalf ? sh : sr;
      }
      cfull *= n;
      creal *= d == rank - 1 ? real_row : n;
      chalf *= d == rank - 1 ? half : n;
    }
    const unsigned flags = FFTW_ESTIMATE | FFTW_DESTROY_INPUT;
    auto* cin = reinterpret_cast<fftw_complex*>(in);
    auto* cout = reinterpret_cast<fftw_complex*>(out);
    switch (kind) {
      case Kind::Complex: return fftw_plan_guru64_dft(rank, iod.data(), 0, nullptr, cin, cout, sign, flags);
      case Kind::RealToHalf: return fftw_plan_guru64_dft_r2c(rank, iod.data(), 0, nullptr, in, cout, flags);
      case Kind::HalfToReal: return fftw_plan_guru64_dft_c2r(rank, iod.data(), 0, nullptr, cin, out, flags);
    }
    return nullptr;
  }

  std::vector<KeptPlan> plans_;
  double* scratch_ = nullptr;
  size_t scratch_size_ = 0;
};

PlanCache& plans() {
  static PlanCache cache;
  return cache;
}

// In-place complex transform; FFTW's sign is the isign of the header.
void complex_transform(double* data, const long* dims, int rank, int isign) {
  const fftw_plan p = plans().get(Kind::Complex, isign, dims, rank, data, data);
  fftw_execute_dft(p, reinterpret_cast<fftw_complex*>(data), reinterpret_cast<fftw_complex*>(data));
}

// Number of complex values in the half spectrum of a real array dims[0..rank-1].
size_t half_count(const long* dims, int rank) {
  size_t n = static_cast<size_t>(dims[rank - 1] / 2 + 1);
  for (int d = 0; d < rank - 1; ++d) n *= static_cast<size_t>(dims[d]);
  return n;
}

void half_forward(int rank, const long* dims, double* data, double* spec) {
  const fftw_plan p = plans().get(Kind::RealToHalf, FFTW_FORWARD, dims, rank, data, spec);
  fftw_execute_dft_r2c(p, data, reinterpret_cast<fftw_complex*>(spec));
}

void half_backward(int rank, const long* dims, double* spec, double* data) {
  const fftw_plan p = plans().get(Kind::HalfToReal, FFTW_BACKWARD, dims, rank, spec, data);
  fftw_execute_dft_c2r(p, reinterpret_cast<fftw_complex*>(spec), data);
}

void check_real_dims(const char* routine, int rank, const long* dims) {
  if (rank < 1 || rank > 3) nrerror(std::string(routine) + ": rank must be 1, 2 or 3");
  for (int d = 0; d < rank; ++d) check_length(routine, dims[d]);
  if (dims[rank - 1] < 2) nrerror(std::string(routine) + ": last dimension must be at least 2");
}

}  // namespace

void real_forward(int rank, const long* dims, double* data, double* spec) {
  check_real_dims("real_forward", rank, dims);
  half_forward(rank, dims, data, spec);
}

void real_backward(int rank, const long* dims, double* spec, double* data) {
  check_real_dims("real_backward", rank, dims);
  half_backward(rank, dims, spec, data);
}

void four1(double* data, long nn, int isign) {
  check_length("four1", nn);
  check_sign("four1", isign);
  complex_transform(data, &nn, 1, isign);
}

void four1(Vec& data, long nn, int isign) {
  check_length("four1", nn);
  if (data.size() < 2 * nn) nrerror("four1: data vector shorter than 2 nn");
  four1(data.data(), nn, isign);
}

void fourn(double* data, const LVec& nn, int ndim, int isign) {
  if (ndim < 1 || nn.lo() > 1 || nn.hi() < ndim) nrerror("fourn: dimensions not given for every axis");
  check_sign("fourn", isign);
  long lens[64];
  if (ndim > 62) nrerror("fourn: too many dimensions");
  for (int d = 1; d <= ndim; d++) {
    check_length("fourn", nn[d]);
    lens[d - 1] = nn[d];
  }
  complex_transform(data, lens, ndim, isign);
}

// The packed real transforms go through FFTW's half spectrum, held in the scratch block:
// FFTW's forward transform carries exp(-2 pi i jk/N), so the isign = 1 transform of real
// data is its complex conjugate, and the inverse of the packing is FFTW's backward
// transform of the conjugated values.

void realft(double* data, long n, int isign) {
  if (n < 2) nrerror("realft: length " + std::to_string(n) + " is below 2");
  check_length("realft", n);
  const long h = n / 2;
  double* s = plans().scratch(static_cast<size_t>(2 * (h + 1)));
  if (isign == 1) {
    half_forward(1, &n, data, s);
    data[0] = s[0];  // F_0 and F_(n/2) packed into the first pair
    data[1] = s[2 * h];
    for (long k = 1; k < h; ++k) {
      data[2 * k] = s[2 * k];
      data[2 * k + 1] = -s[2 * k + 1];
    }
  } else {
    // Half of FFTW's backward transform: n/2 times the original values.
    s[0] = 0.5 * data[0];
    s[1] = 0.0;
    s[2 * h] = 0.5 * data[1];
    s[2 * h + 1] = 0.0;
    for (long k = 1; k < h; ++k) {
      s[2 * k] = 0.5 * data[2 * k];
      s[2 * k + 1] = -0.5 * data[2 * k + 1];
    }
    half_backward(1, &n, s, data);
  }
}

void realft(Vec& data, long n, int isign) {
  if (data.size() < n) nrerror("realft: data vector shorter than n");
  realft(data.data(), n, isign);
}

void rlft3(double* data, double* speq, long nn1, long nn2, long nn3, int isign) {
  check_length("rlft3", nn1);
  check_length("rlft3", nn2);
  check_length("rlft3", nn3);
  if (nn3 < 2) nrerror("rlft3: last dimension must be at least 2");
  check_sign("rlft3", isign);
  const long dims[3] = {nn1, nn2, nn3};
  const long h = nn3 / 2;
  double* s = plans().scratch(2 * half_count(dims, 3));
  // Row (i, j) of the half spectrum starts at s + 2 (h + 1) (i nn2 + j); its first h values
  // fill data's row (i, j), the Nyquist value goes to speq[i][2j], speq[i][2j + 1].
  const long rows = nn1 * nn2;
  if (isign == 1) {
    half_forward(3, dims, data, s);
    for (long r = 0; r < rows; ++r) {
      const double* in = s + 2 * (h + 1) * r;
      double* out = data + nn3 * r;
      for (long k = 0; k < h; ++k) {
        out[2 * k] = in[2 * k];
        out[2 * k + 1] = -in[2 * k + 1];
      }
      speq[2 * r] = in[2 * h];
      speq[2 * r + 1] = -in[2 * h + 1];
    }
  } else {
    // Half of FFTW's backward transform: nn1 nn2 nn3 / 2 times the data.
    for (long r = 0; r < rows; ++r) {
      const double* in = data + nn3 * r;
      double* out = s + 2 * (h + 1) * r;
      for (long k = 0; k < h; ++k) {
        out[2 * k] = 0.5 * in[2 * k];
        out[2 * k + 1] = -0.5 * in[2 * k + 1];
      }
      out[2 * h] = 0.5 * speq[2 * r];
      out[2 * h + 1] = -0.5 * speq[2 * r + 1];
    }
    half_backward(3, dims, s, data);
  }
}

void rlft3(Tensor3& data, Mat& speq, long nn1, long nn2, long nn3, int isign) {
  // The block must run from data[1][1][1] to data[nn1][nn2][nn3] without gaps.
  const bool data_ok = nn1 >= 1 && nn2 >= 1 && nn3 >= 1 && data.rlo() == 1 && data.rhi() >= nn1 &&
                       data.clo() == 1 && data.chi() == nn2 && data.dlo() == 1 && data.dhi() == nn3;
  if (!data_ok) nrerror("rlft3: problem with dimensions or contiguity of data array\n");
  const bool speq_ok = speq.rlo() == 1 && speq.rhi() >= nn1 && speq.clo() == 1 && speq.chi() == 2 * nn2;
  if (!speq_ok) nrerror("rlft3: problem with dimensions of the Nyquist array");
  rlft3(data.data(), speq.data(), nn1, nn2, nn3, isign);
}
