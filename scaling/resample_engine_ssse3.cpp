// The SSSE3 level of the resampling engine, for processors without AVX2: the
// byte-weight clusters in 128-bit registers. Only called after the processor
// was found to support SSSE3; the functions carry the target attribute
// themselves, so nothing else is compiled for SSSE3. The vertical sums are
// those of the SSE2 level.
#include <tmmintrin.h>

#include <algorithm>

#include "scaling/resample_engine_kernels.h"

#define QUILLET_SSSE3 __attribute__((target("ssse3")))

namespace quillet::resample_engine::detail {

namespace {

template <int N>
QUILLET_SSSE3 void HorizontalRowsSsse3N(const TColor32* const* Rows, int32_t* const* Outs, const THorizontalPlan& Plan,
                                        const TColor32* const* Upcoming, int32_t UpcomingCount) {
  // Four pixels regrouped by channel: B0 B1 B2 B3 G0 .. A3, for the byte-weight
  // clusters, once per row.
  const __m128i byChannel = _mm_setr_epi8(0, 4, 8, 12, 1, 5, 9, 13, 2, 6, 10, 14, 3, 7, 11, 15);
  const size_t groupBytes = static_cast<size_t>(Plan.Groups) * 32;
  const uint8_t* grouped[N];
  for (int r = 0; r < N; ++r) {
    uint8_t* out = Plan.Scratch + static_cast<size_t>(r) * groupBytes;
    const TColor32* in = Rows[r] + static_cast<size_t>(Plan.FirstGroup) * 8;
    for (int32_t g = 0; g < Plan.Groups; ++g, in += 8, out += 32) {
      const __m128i* pixels = reinterpret_cast<const __m128i*>(in);
      _mm_store_si128(reinterpret_cast<__m128i*>(out), _mm_shuffle_epi8(_mm_loadu_si128(pixels), byChannel));
      _mm_store_si128(reinterpret_cast<__m128i*>(out + 16), _mm_shuffle_epi8(_mm_loadu_si128(pixels + 1), byChannel));
    }
    grouped[r] = Plan.Scratch + static_cast<size_t>(r) * groupBytes;
  }
  // Four pixels paired by channel: B0 B1 G0 G1 R0 R1 A0 A1 B2 B3 .. A3.
  const __m128i pairedBytes = _mm_setr_epi8(0, 4, 1, 5, 2, 6, 3, 7, 8, 12, 9, 13, 10, 14, 11, 15);
  const __m128i zero = _mm_setzero_si128();
  const __m128i ones = _mm_set1_epi16(1);
  const size_t upcomingLines = static_cast<size_t>(Plan.Groups) / 2 + 1;
  size_t prefetched = 0;
  for (int32_t i = 0; i < Plan.Count; ++i) {
    const size_t prefetchEnd = upcomingLines * static_cast<size_t>(i + 1) / static_cast<size_t>(Plan.Count);
    for (; prefetched < prefetchEnd; ++prefetched)
      for (int32_t u = 0; u < UpcomingCount; ++u)
        _mm_prefetch(reinterpret_cast<const char*>(Upcoming[u] + static_cast<size_t>(Plan.FirstGroup) * 8) +
                         64 * prefetched,
                     _MM_HINT_T0);
    const TPackedCluster& cluster = Plan.Clusters[i];
    const __m128i* weights =
        reinterpret_cast<const __m128i*>(Plan.Weights + static_cast<size_t>(cluster.FirstBlock) * kWeightBlockBytes);
    __m128i sum[N];
    if (cluster.ByteWeights) {
      // Two 16-bit sums per row, one per half of a block (taps 0-3 and 4-7),
      // as the packing's overflow check counts them.
      __m128i low[N], high[N];
      for (int r = 0; r < N; ++r) low[r] = high[r] = zero;
      const size_t first = static_cast<size_t>(cluster.Start / 8 - Plan.FirstGroup) * 32;
      for (int32_t block = 0; block < cluster.Blocks; ++block) {
        const __m128i w0 = _mm_load_si128(weights + 2 * block);
        const __m128i w1 = _mm_load_si128(weights + 2 * block + 1);
        for (int r = 0; r < N; ++r) {
          const __m128i* p = reinterpret_cast<const __m128i*>(grouped[r] + first) + 2 * block;
          low[r] = _mm_add_epi16(low[r], _mm_maddubs_epi16(_mm_load_si128(p), w0));
          high[r] = _mm_add_epi16(high[r], _mm_maddubs_epi16(_mm_load_si128(p + 1), w1));
        }
      }
      for (int r = 0; r < N; ++r) sum[r] = _mm_add_epi32(_mm_madd_epi16(low[r], ones), _mm_madd_epi16(high[r], ones));
    } else {
      for (int r = 0; r < N; ++r) sum[r] = zero;
      const size_t start = static_cast<size_t>(cluster.Start);
      for (int32_t block = 0; block < cluster.Blocks; ++block) {
        const __m128i w01 = _mm_load_si128(weights + 2 * block);
        const __m128i w23 = _mm_load_si128(weights + 2 * block + 1);
        const size_t first = start + 4 * static_cast<size_t>(block);
        for (int r = 0; r < N; ++r) {
          const __m128i paired =
              _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(Rows[r] + first)), pairedBytes);
          sum[r] = _mm_add_epi32(sum[r], _mm_madd_epi16(_mm_unpacklo_epi8(paired, zero), w01));
          sum[r] = _mm_add_epi32(sum[r], _mm_madd_epi16(_mm_unpackhi_epi8(paired, zero), w23));
        }
      }
    }
    for (int r = 0; r < N; ++r)
      _mm_storeu_si128(reinterpret_cast<__m128i*>(Outs[r] + 4 * static_cast<size_t>(i)), sum[r]);
  }
}

}  // namespace

QUILLET_SSSE3 void HorizontalRowsSsse3(const TColor32* const* Rows, int32_t* const* Outs, int32_t RowCount,
                                       const THorizontalPlan& Plan, const TColor32* const* Upcoming,
                                       int32_t UpcomingCount) {
  // Each group of rows fetches the next group, the last one the upcoming rows.
  auto next = [&](int32_t after, const TColor32* const*& rows) {
    if (after < RowCount) {
      rows = Rows + after;
      return std::min<int32_t>(RowCount - after, kMaxRowsAtOnce);
    }
    rows = Upcoming;
    return UpcomingCount;
  };
  const TColor32* const* upcoming = nullptr;
  int32_t r = 0;
  for (; r + 4 <= RowCount; r += 4) {
    const int32_t count = next(r + 4, upcoming);
    HorizontalRowsSsse3N<4>(Rows + r, Outs + r, Plan, upcoming, count);
  }
  for (; r < RowCount; ++r) {
    const int32_t count = next(r + 1, upcoming);
    HorizontalRowsSsse3N<1>(Rows + r, Outs + r, Plan, upcoming, std::min<int32_t>(count, 1));
  }
}

}  // namespace quillet::resample_engine::detail
