// The SSE2 level of the resampling engine: every x86-64 processor has it.
#include <emmintrin.h>

#include "scaling/blend.h"
#include "scaling/resample_engine_kernels.h"

namespace quillet::resample_engine::detail {

namespace {

// The low 32 bits of each lane's product; signed or unsigned makes no
// difference to them.
inline __m128i MultiplyLow32(__m128i a, __m128i b) {
  const __m128i even = _mm_mul_epu32(a, b);
  const __m128i odd = _mm_mul_epu32(_mm_srli_epi64(a, 32), _mm_srli_epi64(b, 32));
  return _mm_unpacklo_epi32(_mm_shuffle_epi32(even, _MM_SHUFFLE(0, 0, 2, 0)),
                            _mm_shuffle_epi32(odd, _MM_SHUFFLE(0, 0, 2, 0)));
}

inline TColor32 ClampPixel(const int32_t* sums) {
  TColor32 pixel = 0;
  for (int c = 0; c < 4; ++c) {
    int32_t s = sums[c];
    s = s > 0xFF0000 ? 0xFF0000 : (s < 0 ? 0 : (s & 0xFF0000));
    pixel |= static_cast<TColor32>(s >> 16) << (8 * c);
  }
  return pixel;
}

// Four pixels: sum >> 16 lies in -32768..32767, and narrowing with signed and
// then unsigned saturation limits it to 0..255, which is the clamp.
inline __m128i ClampFour(const int32_t* sums) {
  const __m128i* p = reinterpret_cast<const __m128i*>(sums);
  const __m128i a = _mm_packs_epi32(_mm_srai_epi32(_mm_load_si128(p), 16), _mm_srai_epi32(_mm_load_si128(p + 1), 16));
  const __m128i b =
      _mm_packs_epi32(_mm_srai_epi32(_mm_load_si128(p + 2), 16), _mm_srai_epi32(_mm_load_si128(p + 3), 16));
  return _mm_packus_epi16(a, b);
}

// BlendPixelMaster on two pixels in 16-bit lanes: (f - b) * W + (b << 8) + 128
// taken modulo 65536 is the exact value, which lies within 0..65535.
inline __m128i BlendMasterPair(__m128i f, __m128i b, __m128i masterPlusOne) {
  const __m128i fa = _mm_shufflehi_epi16(_mm_shufflelo_epi16(f, 0xFF), 0xFF);
  const __m128i weight = _mm_srli_epi16(_mm_mullo_epi16(fa, masterPlusOne), 8);
  const __m128i mixed = _mm_add_epi16(_mm_mullo_epi16(_mm_sub_epi16(f, b), weight), _mm_slli_epi16(b, 8));
  return _mm_srli_epi16(_mm_add_epi16(mixed, _mm_set1_epi16(128)), 8);
}

}  // namespace

namespace {

template <int N>
void HorizontalRowsSse2N(const TColor32* const* Rows, int32_t* const* Outs, const THorizontalPlan& Plan) {
  const __m128i zero = _mm_setzero_si128();
  for (int32_t i = 0; i < Plan.Count; ++i) {
    const TPackedCluster& cluster = Plan.Clusters[i];
    const uint8_t* weights = Plan.Weights + static_cast<size_t>(cluster.FirstBlock) * kWeightBlockBytes;
    __m128i sum[N];
    for (int r = 0; r < N; ++r) sum[r] = zero;
    for (int32_t block = 0; block < cluster.Blocks; ++block, weights += kWeightBlockBytes) {
      const __m128i w01 = _mm_load_si128(reinterpret_cast<const __m128i*>(weights));
      const __m128i w23 = _mm_load_si128(reinterpret_cast<const __m128i*>(weights + 16));
      const size_t first = static_cast<size_t>(cluster.Start) + 4 * static_cast<size_t>(block);
      for (int r = 0; r < N; ++r) {
        // Pixels 0 1 2 3 -> 0 2 1 3, then the bytes of 0 and 2 interleaved
        // with those of 1 and 3: B0 B1 G0 G1 R0 R1 A0 A1 B2 B3 ... A3, so that
        // each 32-bit lane of the multiply-add takes two taps of one channel.
        const __m128i p = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(Rows[r] + first)),
                                            _MM_SHUFFLE(3, 1, 2, 0));
        const __m128i paired = _mm_unpacklo_epi8(p, _mm_unpackhi_epi64(p, p));
        sum[r] = _mm_add_epi32(sum[r], _mm_madd_epi16(_mm_unpacklo_epi8(paired, zero), w01));
        sum[r] = _mm_add_epi32(sum[r], _mm_madd_epi16(_mm_unpackhi_epi8(paired, zero), w23));
      }
    }
    for (int r = 0; r < N; ++r)
      _mm_storeu_si128(reinterpret_cast<__m128i*>(Outs[r] + 4 * static_cast<size_t>(i)), sum[r]);
  }
}

}  // namespace

void HorizontalRowsSse2(const TColor32* const* Rows, int32_t* const* Outs, int32_t RowCount,
                        const THorizontalPlan& Plan, const TColor32* const*, int32_t) {
  int32_t r = 0;
  for (; r + 4 <= RowCount; r += 4) HorizontalRowsSse2N<4>(Rows + r, Outs + r, Plan);
  for (; r < RowCount; ++r) HorizontalRowsSse2N<1>(Rows + r, Outs + r, Plan);
}

void VerticalSumSse2(const int32_t* const* Rows, const int32_t* Weights, int32_t Count, int32_t* Acc, int32_t Lanes,
                     bool Accumulate) {
  for (int32_t lane = 0; lane < Lanes; lane += 16) {
    __m128i* acc = reinterpret_cast<__m128i*>(Acc + lane);
    __m128i a0 = Accumulate ? _mm_load_si128(acc) : _mm_setzero_si128();
    __m128i a1 = Accumulate ? _mm_load_si128(acc + 1) : _mm_setzero_si128();
    __m128i a2 = Accumulate ? _mm_load_si128(acc + 2) : _mm_setzero_si128();
    __m128i a3 = Accumulate ? _mm_load_si128(acc + 3) : _mm_setzero_si128();
    for (int32_t k = 0; k < Count; ++k) {
      const __m128i w = _mm_set1_epi32(Weights[k]);
      const __m128i* row = reinterpret_cast<const __m128i*>(Rows[k] + lane);
      a0 = _mm_add_epi32(a0, MultiplyLow32(_mm_load_si128(row), w));
      a1 = _mm_add_epi32(a1, MultiplyLow32(_mm_load_si128(row + 1), w));
      a2 = _mm_add_epi32(a2, MultiplyLow32(_mm_load_si128(row + 2), w));
      a3 = _mm_add_epi32(a3, MultiplyLow32(_mm_load_si128(row + 3), w));
    }
    _mm_store_si128(acc, a0);
    _mm_store_si128(acc + 1, a1);
    _mm_store_si128(acc + 2, a2);
    _mm_store_si128(acc + 3, a3);
  }
}

void PackRow(const int32_t* Acc, int32_t Count, TColor32* Dst, TDrawMode Mode, uint32_t MasterAlpha) {
  const __m128i zero = _mm_setzero_si128();
  const __m128i masterPlusOne = _mm_set1_epi16(static_cast<short>(MasterAlpha + 1));
  int32_t i = 0;
  for (; i + 4 <= Count; i += 4) {
    const __m128i pixels = ClampFour(Acc + 4 * static_cast<size_t>(i));
    __m128i* dst = reinterpret_cast<__m128i*>(Dst + i);
    if (Mode == dmOpaque) {
      _mm_storeu_si128(dst, pixels);
    } else {
      const __m128i b = _mm_loadu_si128(dst);
      const __m128i low = BlendMasterPair(_mm_unpacklo_epi8(pixels, zero), _mm_unpacklo_epi8(b, zero), masterPlusOne);
      const __m128i high =
          BlendMasterPair(_mm_unpackhi_epi8(pixels, zero), _mm_unpackhi_epi8(b, zero), masterPlusOne);
      _mm_storeu_si128(dst, _mm_packus_epi16(low, high));
    }
  }
  for (; i < Count; ++i) {
    const TColor32 pixel = ClampPixel(Acc + 4 * static_cast<size_t>(i));
    if (Mode == dmOpaque)
      Dst[i] = pixel;
    else
      BlendPixelMaster(pixel, Dst[i], MasterAlpha);
  }
}

}  // namespace quillet::resample_engine::detail
