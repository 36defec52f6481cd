#include "scaling/blend.h"

#include <emmintrin.h>

namespace quillet {

void BlendPixelMaster(TColor32 F, TColor32& B, uint32_t M) {
  const uint32_t foregroundAlpha = F >> 24;
  if (foregroundAlpha == 0) return;
  const uint32_t weight = ((M + 1) * foregroundAlpha) >> 8;
  if (weight == 0) return;
  TColor32 result = 0;
  for (int shift = 0; shift < 32; shift += 8) {
    const uint32_t f = (F >> shift) & 0xFF;
    const uint32_t b = (B >> shift) & 0xFF;
    result |= ((f * weight + b * (256 - weight) + 128) >> 8) << shift;
  }
  B = result;
}

namespace {

uint32_t Limit255(int32_t value) { return value > 255 ? 255u : static_cast<uint32_t>(value); }

TColor32 BlendRowPixel(TColor32 F, TColor32 B) {
  const int32_t fa = static_cast<int32_t>(F >> 24);
  TColor32 result = 0;
  for (int shift = 0; shift < 24; shift += 8) {
    const int32_t f = static_cast<int32_t>((F >> shift) & 0xFF);
    const int32_t b = static_cast<int32_t>((B >> shift) & 0xFF);
    result |= Limit255(((f * fa + 128) >> 8) + b - ((b * fa + 128) >> 8)) << shift;
  }
  const int32_t ba = static_cast<int32_t>(B >> 24);
  return result | Limit255(fa + ba - ((ba * fa + 128) >> 8)) << 24;
}

// Two pixels widened to 16-bit lanes: (f * m1 + 128) >> 8 + b - (b * Fa + 128)
// >> 8, where m1 is Fa on the colour lanes and 256 on the alpha lane, which
// makes the first term Fa itself there. All products stay below 65536, and the
// result (0..510) is limited to 255 when narrowing.
__m128i BlendRowPair(__m128i f, __m128i b) {
  const __m128i alphaLane256 = _mm_set_epi16(256, 0, 0, 0, 256, 0, 0, 0);
  const __m128i colourLanes = _mm_set_epi16(0, -1, -1, -1, 0, -1, -1, -1);
  const __m128i bias = _mm_set1_epi16(128);
  const __m128i fa = _mm_shufflehi_epi16(_mm_shufflelo_epi16(f, 0xFF), 0xFF);
  const __m128i factorF = _mm_or_si128(_mm_and_si128(fa, colourLanes), alphaLane256);
  const __m128i first = _mm_srli_epi16(_mm_add_epi16(_mm_mullo_epi16(f, factorF), bias), 8);
  const __m128i taken = _mm_srli_epi16(_mm_add_epi16(_mm_mullo_epi16(b, fa), bias), 8);
  return _mm_sub_epi16(_mm_add_epi16(first, b), taken);
}

}  // namespace

void BlendRow(const TColor32* Src, TColor32* Dst, int32_t Count) {
  if (Count <= 0) return;
  const __m128i zero = _mm_setzero_si128();
  int32_t i = 0;
  for (; i + 4 <= Count; i += 4) {
    const __m128i f = _mm_loadu_si128(reinterpret_cast<const __m128i*>(Src + i));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(Dst + i));
    const __m128i low = BlendRowPair(_mm_unpacklo_epi8(f, zero), _mm_unpacklo_epi8(b, zero));
    const __m128i high = BlendRowPair(_mm_unpackhi_epi8(f, zero), _mm_unpackhi_epi8(b, zero));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(Dst + i), _mm_packus_epi16(low, high));
  }
  for (; i < Count; ++i) Dst[i] = BlendRowPixel(Src[i], Dst[i]);
}

}  // namespace quillet
