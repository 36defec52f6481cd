#include "scaling/kernels.h"

#include <emmintrin.h>

#include <cmath>

#include "scaling/kernel_math.h"
#include "scaling/resample_engine.h"

namespace quillet {

namespace {

using namespace kernel_math;

// Two doubles in one SSE2 register, with the arithmetic of a double.
struct TDouble2 {
  __m128d V;
  TDouble2(__m128d v) : V(v) {}
  TDouble2(double c) : V(_mm_set1_pd(c)) {}
};
inline TDouble2 operator+(TDouble2 a, TDouble2 b) { return _mm_add_pd(a.V, b.V); }
inline TDouble2 operator-(TDouble2 a, TDouble2 b) { return _mm_sub_pd(a.V, b.V); }
inline TDouble2 operator*(TDouble2 a, TDouble2 b) { return _mm_mul_pd(a.V, b.V); }
inline TDouble2 operator/(TDouble2 a, TDouble2 b) { return _mm_div_pd(a.V, b.V); }
inline TDouble2 Single(TDouble2 x) { return _mm_cvtps_pd(_mm_cvtpd_ps(x.V)); }
inline TDouble2 Select(__m128d mask, TDouble2 ifSet, TDouble2 otherwise) {
  return _mm_or_pd(_mm_and_pd(mask, ifSet.V), _mm_andnot_pd(mask, otherwise.V));
}
inline TDouble2 SineOfQuadrant(TDouble2 shifted, TDouble2 sine, TDouble2 cosine) {
  const __m128i quadrant = _mm_castpd_si128(shifted.V);
  const __m128i one = _mm_set1_epi64x(1);
  // Equal low halves of the 64-bit lanes, spread over the whole lanes.
  const __m128i odd = _mm_shuffle_epi32(_mm_cmpeq_epi32(_mm_and_si128(quadrant, one), one), _MM_SHUFFLE(2, 2, 0, 0));
  const TDouble2 value = Select(_mm_castsi128_pd(odd), cosine, sine);
  // Quadrants 2 and 3 are negated: bit 1 of k moved to the sign bit.
  const __m128i sign = _mm_slli_epi64(_mm_and_si128(quadrant, _mm_set1_epi64x(2)), 62);
  return _mm_xor_pd(value.V, _mm_castsi128_pd(sign));
}
inline TDouble2 OneWhereZero(TDouble2 x, TDouble2 y) {
  return Select(_mm_cmpeq_pd(x.V, _mm_setzero_pd()), TDouble2(1.0), y);
}
inline TDouble2 ZeroFromWidth(TDouble2 v, TDouble2 width, TDouble2 y) {
  return _mm_and_pd(_mm_cmpgt_pd(width.V, v.V), y.V);
}

}  // namespace

double KernelSine(double x) {
  if (!std::isfinite(x)) return std::nan("");
  if (std::fabs(x) > 1.6e6) return std::sin(x);  // far beyond any kernel's reach
  double r = 0.0, tail = 0.0;
  const double k = ReduceByHalfPi(x, r, tail) - kRoundingShift;
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
  if (resample_engine::ActiveSimdLevel() == resample_engine::TSimdLevel::Avx2) {
    kernel_math::LanczosFilterManyAvx2(Values, Results, Count, FWidth, FWidthReciprocal);
    return;
  }
  const __m128 absMask = _mm_castsi128_ps(_mm_set1_epi32(0x7FFFFFFF));
  const TDouble2 width = static_cast<double>(FWidth);
  const TDouble2 reciprocal = static_cast<double>(FWidthReciprocal);
  size_t i = 0;
  // Four at a time: two independent chains keep the multipliers busy.
  for (; i + 4 <= Count; i += 4) {
    const __m128 four = _mm_and_ps(_mm_loadu_ps(Values + i), absMask);
    const __m128 low = _mm_cvtpd_ps(LanczosOf(TDouble2(_mm_cvtps_pd(four)), width, reciprocal).V);
    const __m128 high =
        _mm_cvtpd_ps(LanczosOf(TDouble2(_mm_cvtps_pd(_mm_movehl_ps(four, four))), width, reciprocal).V);
    _mm_storeu_ps(Results + i, _mm_movelh_ps(low, high));
  }
  for (; i < Count; ++i) Results[i] = Filter(Values[i]);
}

}  // namespace quillet
