// The AVX2 level of the resampling engine. Only called after the processor
// and the operating system were found to support AVX2; the functions carry the
// target attribute themselves, so nothing else in this file (or in an inline
// function shared with other files) is compiled for AVX2.
#include <immintrin.h>

#include <algorithm>

#include "scaling/resample_engine_kernels.h"

#define QUILLET_AVX2 __attribute__((target("avx2")))

namespace quillet::resample_engine::detail {

namespace {

// Per 128-bit lane, four pixels regrouped by channel: B0 B1 B2 B3 G0 .. A3.
QUILLET_AVX2 inline __m256i ByChannelMask() {
  return _mm256_setr_epi8(0, 4, 8, 12, 1, 5, 9, 13, 2, 6, 10, 14, 3, 7, 11, 15,  //
                          0, 4, 8, 12, 1, 5, 9, 13, 2, 6, 10, 14, 3, 7, 11, 15);
}

template <int N>
QUILLET_AVX2 void HorizontalRowsAvx2N(const TColor32* const* Rows, int32_t* const* Outs, const THorizontalPlan& Plan,
                                      const TColor32* const* Upcoming, int32_t UpcomingCount) {
  // Regroup the pixels once per row for the byte-weight clusters, which each
  // read a pixel about six times.
  const __m256i byChannel = ByChannelMask();
  const size_t groupBytes = static_cast<size_t>(Plan.Groups) * 32;
  const uint8_t* grouped[N];
  for (int r = 0; r < N; ++r) {
    uint8_t* out = Plan.Scratch + static_cast<size_t>(r) * groupBytes;
    const TColor32* in = Rows[r] + static_cast<size_t>(Plan.FirstGroup) * 8;
    for (int32_t g = 0; g < Plan.Groups; ++g, in += 8, out += 32)
      _mm256_store_si256(reinterpret_cast<__m256i*>(out),
                         _mm256_shuffle_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(in)), byChannel));
    grouped[r] = Plan.Scratch + static_cast<size_t>(r) * groupBytes;
  }
  // Per 128-bit lane, two pixels widened to 16 bits and paired by channel:
  // B0 B1 G0 G1 R0 R1 A0 A1.
  const __m256i pairedWords = _mm256_setr_epi8(0, 1, 8, 9, 2, 3, 10, 11, 4, 5, 12, 13, 6, 7, 14, 15,  //
                                               0, 1, 8, 9, 2, 3, 10, 11, 4, 5, 12, 13, 6, 7, 14, 15);
  const __m256i ones = _mm256_set1_epi16(1);
  // The next rows come from memory while these are worked on: a share of
  // their cache lines with every cluster.
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
    const __m256i* weights =
        reinterpret_cast<const __m256i*>(Plan.Weights + static_cast<size_t>(cluster.FirstBlock) * kWeightBlockBytes);
    __m256i sum[N];
    for (int r = 0; r < N; ++r) sum[r] = _mm256_setzero_si256();
    if (cluster.ByteWeights) {
      // Unsigned pixel bytes times signed weight bytes, two taps added per
      // 16-bit lane: B01 B23 G01 G23 R01 R23 A01 A23 per 128-bit lane. The
      // packing checked that these lanes cannot overflow over the whole run.
      const size_t first = static_cast<size_t>(cluster.Start / 8 - Plan.FirstGroup) * 32;
      for (int32_t block = 0; block < cluster.Blocks; ++block) {
        const __m256i w = _mm256_load_si256(weights + block);
        for (int r = 0; r < N; ++r) {
          const __m256i p = _mm256_load_si256(reinterpret_cast<const __m256i*>(grouped[r] + first) + block);
          sum[r] = _mm256_add_epi16(sum[r], _mm256_maddubs_epi16(p, w));
        }
      }
      for (int r = 0; r < N; ++r) sum[r] = _mm256_madd_epi16(sum[r], ones);
    } else {
      const size_t start = static_cast<size_t>(cluster.Start);
      for (int32_t block = 0; block < cluster.Blocks; ++block) {
        const __m256i w = _mm256_load_si256(weights + block);
        const size_t first = start + 4 * static_cast<size_t>(block);
        for (int r = 0; r < N; ++r) {
          const __m256i p = _mm256_shuffle_epi8(
              _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(Rows[r] + first))), pairedWords);
          sum[r] = _mm256_add_epi32(sum[r], _mm256_madd_epi16(p, w));
        }
      }
    }
    for (int r = 0; r < N; ++r) {
      const __m128i total = _mm_add_epi32(_mm256_castsi256_si128(sum[r]), _mm256_extracti128_si256(sum[r], 1));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(Outs[r] + 4 * static_cast<size_t>(i)), total);
    }
  }
}

}  // namespace

QUILLET_AVX2 void HorizontalRowsAvx2(const TColor32* const* Rows, int32_t* const* Outs, int32_t RowCount,
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
    HorizontalRowsAvx2N<4>(Rows + r, Outs + r, Plan, upcoming, count);
  }
  for (; r < RowCount; ++r) {
    const int32_t count = next(r + 1, upcoming);
    HorizontalRowsAvx2N<1>(Rows + r, Outs + r, Plan, upcoming, std::min<int32_t>(count, 1));
  }
}

QUILLET_AVX2 void VerticalSumAvx2(const int32_t* const* Rows, const int32_t* Weights, int32_t Count, int32_t* Acc,
                                  int32_t Lanes, bool Accumulate) {
  for (int32_t lane = 0; lane < Lanes; lane += 32) {
    __m256i* acc = reinterpret_cast<__m256i*>(Acc + lane);
    __m256i a0 = Accumulate ? _mm256_load_si256(acc) : _mm256_setzero_si256();
    __m256i a1 = Accumulate ? _mm256_load_si256(acc + 1) : _mm256_setzero_si256();
    __m256i a2 = Accumulate ? _mm256_load_si256(acc + 2) : _mm256_setzero_si256();
    __m256i a3 = Accumulate ? _mm256_load_si256(acc + 3) : _mm256_setzero_si256();
    for (int32_t k = 0; k < Count; ++k) {
      const __m256i w = _mm256_set1_epi32(Weights[k]);
      const __m256i* row = reinterpret_cast<const __m256i*>(Rows[k] + lane);
      a0 = _mm256_add_epi32(a0, _mm256_mullo_epi32(_mm256_load_si256(row), w));
      a1 = _mm256_add_epi32(a1, _mm256_mullo_epi32(_mm256_load_si256(row + 1), w));
      a2 = _mm256_add_epi32(a2, _mm256_mullo_epi32(_mm256_load_si256(row + 2), w));
      a3 = _mm256_add_epi32(a3, _mm256_mullo_epi32(_mm256_load_si256(row + 3), w));
    }
    _mm256_store_si256(acc, a0);
    _mm256_store_si256(acc + 1, a1);
    _mm256_store_si256(acc + 2, a2);
    _mm256_store_si256(acc + 3, a3);
  }
}

}  // namespace quillet::resample_engine::detail
