// The Lanczos kernel in AVX2 lanes. Only called after the processor and the
// operating system were found to support AVX2. The build compiles this whole
// file for AVX2 (an option that gcc and clang both honour, where a target
// pragma is gcc's alone), so nothing in it is shared with other sources: the
// kernel templates are instantiated here with this file's own vector type.
#include <immintrin.h>

#include <cstddef>

#include "scaling/kernel_math.h"

namespace quillet::kernel_math {

namespace {

// Four doubles in one AVX register, with the arithmetic of a double.
struct TDouble4 {
  __m256d V;
  TDouble4(__m256d v) : V(v) {}
  TDouble4(double c) : V(_mm256_set1_pd(c)) {}
};
inline TDouble4 operator+(TDouble4 a, TDouble4 b) { return _mm256_add_pd(a.V, b.V); }
inline TDouble4 operator-(TDouble4 a, TDouble4 b) { return _mm256_sub_pd(a.V, b.V); }
inline TDouble4 operator*(TDouble4 a, TDouble4 b) { return _mm256_mul_pd(a.V, b.V); }
inline TDouble4 operator/(TDouble4 a, TDouble4 b) { return _mm256_div_pd(a.V, b.V); }
inline TDouble4 Single(TDouble4 x) { return _mm256_cvtps_pd(_mm256_cvtpd_ps(x.V)); }
inline TDouble4 SineOfQuadrant(TDouble4 shifted, TDouble4 sine, TDouble4 cosine) {
  const __m256i quadrant = _mm256_castpd_si256(shifted.V);
  const __m256i one = _mm256_set1_epi64x(1);
  const __m256d odd = _mm256_castsi256_pd(_mm256_cmpeq_epi64(_mm256_and_si256(quadrant, one), one));
  const __m256d value = _mm256_blendv_pd(sine.V, cosine.V, odd);
  // Quadrants 2 and 3 are negated: bit 1 of k moved to the sign bit.
  const __m256i sign = _mm256_slli_epi64(_mm256_and_si256(quadrant, _mm256_set1_epi64x(2)), 62);
  return _mm256_xor_pd(value, _mm256_castsi256_pd(sign));
}
inline TDouble4 OneWhereZero(TDouble4 x, TDouble4 y) {
  return _mm256_blendv_pd(y.V, _mm256_set1_pd(1.0), _mm256_cmp_pd(x.V, _mm256_setzero_pd(), _CMP_EQ_OQ));
}
inline TDouble4 ZeroFromWidth(TDouble4 v, TDouble4 width, TDouble4 y) {
  return _mm256_and_pd(_mm256_cmp_pd(width.V, v.V, _CMP_GT_OQ), y.V);
}

}  // namespace

void LanczosFilterManyAvx2(const float* Values, float* Results, size_t Count, float Width, float WidthReciprocal) {
  const __m128 absMask = _mm_castsi128_ps(_mm_set1_epi32(0x7FFFFFFF));
  const TDouble4 width = static_cast<double>(Width);
  const TDouble4 reciprocal = static_cast<double>(WidthReciprocal);
  auto lanczos4 = [&](const float* values) __attribute__((always_inline)) {
    const TDouble4 v = _mm256_cvtps_pd(_mm_and_ps(_mm_loadu_ps(values), absMask));
    return _mm256_cvtpd_ps(LanczosOf(v, width, reciprocal).V);
  };
  size_t i = 0;
  // Eight at a time: two independent chains keep the multipliers busy.
  for (; i + 8 <= Count; i += 8) {
    const __m128 low = lanczos4(Values + i);
    const __m128 high = lanczos4(Values + i + 4);
    _mm_storeu_ps(Results + i, low);
    _mm_storeu_ps(Results + i + 4, high);
  }
  for (; i + 4 <= Count; i += 4) _mm_storeu_ps(Results + i, lanczos4(Values + i));
  if (i < Count) {
    float in[4] = {0, 0, 0, 0};
    float out[4];
    for (size_t j = i; j < Count; ++j) in[j - i] = Values[j];
    _mm_storeu_ps(out, lanczos4(in));
    for (size_t j = i; j < Count; ++j) Results[j] = out[j - i];
  }
}

}  // namespace quillet::kernel_math
