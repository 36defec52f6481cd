#include "scaling/kernels.h"

#include <emmintrin.h>

#include <cmath>

namespace quillet {

namespace {

constexpr double kPi = 3.141592653589793;

// pi / 2 in three parts: the first two have at most 33 significant bits, so k
// times either is exact for |k| < 2^20.
constexpr double kHalfPi1 = 0x1.921fb54400000p+0;
constexpr double kHalfPi2 = 0x1.0b4611a600000p-34;
constexpr double kHalfPi3 = 0x1.3198a2e037073p-69;
constexpr double kTwoOverPi = 0.6366197723675814;

// Two doubles in one SSE2 register, with the arithmetic of a double, so that
// the vector kernel below is the scalar one's very text: the same IEEE
// operations in the same order give the same bits in every lane.
struct TDouble2 {
  __m128d V;
  TDouble2(__m128d v) : V(v) {}
  TDouble2(double c) : V(_mm_set1_pd(c)) {}
};
inline TDouble2 operator+(TDouble2 a, TDouble2 b) { return _mm_add_pd(a.V, b.V); }
inline TDouble2 operator-(TDouble2 a, TDouble2 b) { return _mm_sub_pd(a.V, b.V); }
inline TDouble2 operator*(TDouble2 a, TDouble2 b) { return _mm_mul_pd(a.V, b.V); }
inline TDouble2 operator/(TDouble2 a, TDouble2 b) { return _mm_div_pd(a.V, b.V); }

// Taylor series on [-pi/4, pi/4] of the argument r + tail, tail being far
// below the last bit of r; the first omitted terms are below 1e-19.
template <class D>
inline __attribute__((always_inline)) D SinNearZero(D r, D tail) {
  const D r2 = r * r;
  D p = 1.0 / 355687428096000.0;       // 1/17!
  p = p * r2 - D(1.0 / 1307674368000.0);  // 1/15!
  p = p * r2 + D(1.0 / 6227020800.0);     // 1/13!
  p = p * r2 - D(1.0 / 39916800.0);       // 1/11!
  p = p * r2 + D(1.0 / 362880.0);         // 1/9!
  p = p * r2 - D(1.0 / 5040.0);           // 1/7!
  p = p * r2 + D(1.0 / 120.0);            // 1/5!
  p = p * r2 - D(1.0 / 6.0);              // 1/3!
  // sin(r + tail) = sin(r) + tail * cos(r), to well below the last bit.
  return r + (r * r2 * p + tail * (D(1.0) - D(0.5) * r2));
}

template <class D>
inline __attribute__((always_inline)) D CosNearZero(D r, D tail) {
  const D r2 = r * r;
  D p = -1.0 / 6402373705728000.0;        // 1/18!
  p = p * r2 + D(1.0 / 20922789888000.0);  // 1/16!
  p = p * r2 - D(1.0 / 87178291200.0);     // 1/14!
  p = p * r2 + D(1.0 / 479001600.0);       // 1/12!
  p = p * r2 - D(1.0 / 3628800.0);         // 1/10!
  p = p * r2 + D(1.0 / 40320.0);           // 1/8!
  p = p * r2 - D(1.0 / 720.0);             // 1/6!
  p = p * r2 + D(1.0 / 24.0);              // 1/4!
  // 1 - r^2/2 loses its last bit when rounded; (1 - w) - half gives it back.
  const D half = D(0.5) * r2;
  const D w = D(1.0) - half;
  return w + (((D(1.0) - w) - half) + (r2 * r2 * p - tail * r));
}

// x - k pi/2 as r + tail, for k the nearest integer to x * 2/pi (ties to
// even: adding and taking away 1.5 * 2^52 rounds to an integer in the default
// rounding mode). The first difference is exact; the error of the second is
// recovered, the third part only ever touches the tail. Returns x * 2/pi +
// 1.5 * 2^52, whose lowest mantissa bits are those of k.
template <class D>
inline __attribute__((always_inline)) D ReduceByHalfPi(D x, D& r, D& tail) {
  const D shifted = x * D(kTwoOverPi) + D(0x1.8p52);
  const D k = shifted - D(0x1.8p52);
  const D a = x - k * D(kHalfPi1);
  const D b = a - k * D(kHalfPi2);
  const D error = (a - b) - k * D(kHalfPi2);
  const D c = k * D(kHalfPi3);
  r = b - c;
  tail = ((b - r) - c) + error;
  return shifted;
}

#define QUILLET_INLINE inline __attribute__((always_inline))

// KernelSine of two values of magnitude up to 1.6e6.
QUILLET_INLINE TDouble2 KernelSine2(TDouble2 x) {
  TDouble2 r = 0.0, tail = 0.0;
  const __m128i quadrant = _mm_castpd_si128(ReduceByHalfPi(x, r, tail).V);
  const __m128d sine = SinNearZero(r, tail).V;
  const __m128d cosine = CosNearZero(r, tail).V;
  const __m128i one = _mm_set1_epi64x(1);
  const __m128d useCosine = _mm_castsi128_pd(_mm_cmpeq_epi32(_mm_and_si128(quadrant, one), one));
  // Only the low halves of the 64-bit lanes were compared; spread them.
  const __m128d cosineLanes = _mm_castsi128_pd(_mm_shuffle_epi32(_mm_castpd_si128(useCosine), _MM_SHUFFLE(2, 2, 0, 0)));
  const __m128d value = _mm_or_pd(_mm_and_pd(cosineLanes, cosine), _mm_andnot_pd(cosineLanes, sine));
  // Quadrants 2 and 3 are negated: bit 1 of k moved to the sign bit.
  const __m128i sign = _mm_slli_epi64(_mm_and_si128(quadrant, _mm_set1_epi64x(2)), 62);
  return _mm_xor_pd(value, _mm_castsi128_pd(sign));
}

// TWindowedSincKernel::Sinc of two single values held as doubles.
QUILLET_INLINE TDouble2 Sinc2(TDouble2 x) {
  const TDouble2 x1 = _mm_cvtps_pd(_mm_cvtpd_ps((x * TDouble2(kPi)).V));
  const TDouble2 quotient = _mm_cvtps_pd(_mm_cvtpd_ps((KernelSine2(x1) / x1).V));
  const __m128d isZero = _mm_cmpeq_pd(x.V, _mm_setzero_pd());
  return _mm_or_pd(_mm_and_pd(isZero, _mm_set1_pd(1.0)), _mm_andnot_pd(isZero, quotient.V));
}

}  // namespace

double KernelSine(double x) {
  if (!std::isfinite(x)) return std::nan("");
  if (std::fabs(x) > 1.6e6) return std::sin(x);  // far beyond any kernel's reach
  double r = 0.0, tail = 0.0;
  const double shifted = ReduceByHalfPi(x, r, tail);
  const double k = shifted - 0x1.8p52;
  switch (static_cast<long long>(k) & 3) {
    case 0:
      return SinNearZero(r, tail);
    case 1:
      return CosNearZero(r, tail);
    case 2:
      return -SinNearZero(r, tail);
    default:
      return -CosNearZero(r, tail);
  }
}

void TCustomKernel::FilterMany(const float* Values, float* Results, size_t Count) const {
  for (size_t i = 0; i < Count; ++i) Results[i] = Filter(Values[i]);
}

float TBoxKernel::Filter(float Value) const { return (Value >= -0.5f && Value <= 0.5f) ? 1.0f : 0.0f; }

float TLinearKernel::Filter(float Value) const {
  const double x = std::fabs(static_cast<double>(Value));
  return x < 1.0 ? static_cast<float>(1.0 - x) : 0.0f;
}

float TCosineKernel::Filter(float Value) const {
  const double x = std::fabs(static_cast<double>(Value));
  if (!(x < 1.0)) return 0.0f;
  // (cos(pi x) + 1) / 2 = cos(pi x / 2)^2 = sin(pi (1 - x) / 2)^2
  const double s = KernelSine(kPi * (1.0 - x) * 0.5);
  return static_cast<float>(s * s);
}

float TSplineKernel::Filter(float Value) const {
  const double x = std::fabs(static_cast<double>(Value));
  if (x < 1.0) return static_cast<float>(2.0 / 3.0 - x * x + 0.5 * x * x * x);
  if (x < 2.0) {
    const double t = 2.0 - x;
    return static_cast<float>(t * t * t / 6.0);
  }
  return 0.0f;
}

float TCubicKernel::Filter(float Value) const {
  const double x = std::fabs(static_cast<double>(Value));
  if (x < 1.0) return static_cast<float>((1.5 * x - 2.5) * x * x + 1.0);
  if (x < 2.0) return static_cast<float>(((-0.5 * x + 2.5) * x - 4.0) * x + 2.0);
  return 0.0f;
}

float TMitchellKernel::Filter(float Value) const {
  const double x = std::fabs(static_cast<double>(Value));
  if (x < 1.0) return static_cast<float>(((7.0 * x - 12.0) * x * x + 16.0 / 3.0) / 6.0);
  if (x < 2.0) return static_cast<float>(((((-7.0 / 3.0) * x + 12.0) * x - 20.0) * x + 32.0 / 3.0) / 6.0);
  return 0.0f;
}

float THermiteKernel::Filter(float Value) const {
  const double x = std::fabs(static_cast<double>(Value));
  if (x < 1.0) return static_cast<float>((2.0 * x - 3.0) * x * x + 1.0);
  return 0.0f;
}

TWindowedSincKernel::TWindowedSincKernel()
    : FWidth(3.0f), FWidthReciprocal(static_cast<float>(1.0 / 3.0)) {}

void TWindowedSincKernel::SetWidth(float Value) {
  if (!(Value > 0.0f) || !std::isfinite(Value)) return;
  FWidth = Value;
  FWidthReciprocal = static_cast<float>(1.0 / static_cast<double>(Value));
}

float TWindowedSincKernel::Sinc(float X) {
  if (X == 0.0f) return 1.0f;
  const float x1 = static_cast<float>(static_cast<double>(X) * kPi);
  return static_cast<float>(KernelSine(x1) / static_cast<double>(x1));
}

float TWindowedSincKernel::Filter(float Value) const {
  const float v = std::fabs(Value);
  if (static_cast<double>(FWidth) > static_cast<double>(v))
    return static_cast<float>(static_cast<double>(Sinc(v)) * static_cast<double>(WindowAt(v)));
  return 0.0f;
}

float TLanczosKernel::WindowAt(float X) const {
  return Sinc(static_cast<float>(static_cast<double>(X) * static_cast<double>(FWidthReciprocal)));
}

void TLanczosKernel::FilterMany(const float* Values, float* Results, size_t Count) const {
  // The vector sine covers arguments up to 1.6e6: beyond a width of 5e5 the
  // plain way it is (no kernel of this module is anywhere near that wide).
  if (!(FWidth < 5e5f)) {
    TCustomKernel::FilterMany(Values, Results, Count);
    return;
  }
  const __m128 absMask = _mm_castsi128_ps(_mm_set1_epi32(0x7FFFFFFF));
  const __m128d width = _mm_set1_pd(FWidth);
  const TDouble2 reciprocal = static_cast<double>(FWidthReciprocal);
  // Filter of the two values in the low lanes of `pair`, in the low lanes of
  // the result.
  auto filter2 = [&](__m128 pair) __attribute__((always_inline)) {
    const TDouble2 v = _mm_cvtps_pd(_mm_and_ps(pair, absMask));
    const TDouble2 window = Sinc2(_mm_cvtps_pd(_mm_cvtpd_ps((v * reciprocal).V)));
    const __m128 product = _mm_cvtpd_ps((Sinc2(v) * window).V);
    // 0 from the width on: the 64-bit lane masks narrowed to 32-bit lanes.
    const __m128i inside = _mm_shuffle_epi32(_mm_castpd_si128(_mm_cmpgt_pd(width, v.V)), _MM_SHUFFLE(2, 0, 2, 0));
    return _mm_and_ps(_mm_castsi128_ps(inside), product);
  };
  size_t i = 0;
  // Four at a time: two independent chains keep the multipliers busy.
  for (; i + 4 <= Count; i += 4) {
    const __m128 four = _mm_loadu_ps(Values + i);
    const __m128 low = filter2(four);
    const __m128 high = filter2(_mm_movehl_ps(four, four));
    _mm_storeu_ps(Results + i, _mm_movelh_ps(low, high));
  }
  for (; i < Count; ++i) Results[i] = Filter(Values[i]);
}

}  // namespace quillet
