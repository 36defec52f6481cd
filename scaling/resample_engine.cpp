#include "scaling/resample_engine.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <new>
#include <vector>

#include "scaling/resample_engine_kernels.h"

namespace quillet::resample_engine {

using detail::kLaneBlock;
using detail::kWeightBlockBytes;
using detail::TPackedCluster;

namespace {

std::atomic<int> ActiveLevel{static_cast<int>(TSimdLevel::Sse2)};
std::atomic<size_t> RingLimit{size_t{16} << 20};

// A zeroed, 64-byte aligned array that frees itself.
template <class T>
class TAlignedArray {
 public:
  explicit TAlignedArray(size_t count)
      : FData(static_cast<T*>(::operator new(count * sizeof(T) + 64, std::align_val_t{64}))) {
    std::memset(static_cast<void*>(FData), 0, count * sizeof(T) + 64);
  }
  ~TAlignedArray() { ::operator delete(FData, std::align_val_t{64}); }
  TAlignedArray(const TAlignedArray&) = delete;
  TAlignedArray& operator=(const TAlignedArray&) = delete;
  T* Data() const { return FData; }

 private:
  T* FData;
};

struct TKernelSet {
  detail::THorizontalRows Horizontal;
  detail::TVerticalSum Vertical;
};

TKernelSet KernelsFor(TSimdLevel level) {
  if (level == TSimdLevel::Avx2) return {detail::HorizontalRowsAvx2, detail::VerticalSumAvx2};
  if (level == TSimdLevel::Ssse3) return {detail::HorizontalRowsSsse3, detail::VerticalSumSse2};
  return {detail::HorizontalRowsSse2, detail::VerticalSumSse2};
}

// The horizontal table laid out for the vector code.
struct TPackedAxis {
  std::vector<TPackedCluster> Clusters;
  std::vector<uint8_t> RawWeights;  // over-allocated for 32-byte alignment
  const uint8_t* Weights = nullptr;
  int32_t FirstGroup = 0;  // the 8-pixel groups that byte-weight clusters read
  int32_t Groups = 0;
};

// Whether a run can use signed 8-bit weights with 16-bit sums: every weight
// fits a byte, and in each of the four 16-bit sum lanes (taps 0-1, 2-3, 4-5,
// 6-7 of every block) the positive and the negative weights add up to at most
// 128: 255 * 128 = 32640 can never overflow.
bool FitsByteLanes(const std::vector<int32_t>& dense) {
  int32_t positive[4] = {0, 0, 0, 0};
  int32_t negative[4] = {0, 0, 0, 0};
  for (size_t t = 0; t < dense.size(); ++t) {
    const int32_t w = dense[t];
    if (w < -128 || w > 127) return false;
    const size_t lane = (t % 8) / 2;
    if (w > 0) positive[lane] += w;
    if (w < 0) negative[lane] -= w;
    if (positive[lane] > 128 || negative[lane] > 128) return false;
  }
  return true;
}

TPackedAxis PackHorizontal(const TMappingTable& map, bool allowByteWeights) {
  TPackedAxis packed;
  packed.Clusters.resize(map.size());
  std::vector<std::vector<int32_t>> runs(map.size());
  size_t blocks = 0;
  int32_t groupsEnd = 0;
  bool anyByteWeights = false;
  for (size_t i = 0; i < map.size(); ++i) {
    const TCluster& cluster = map[i];
    TPackedCluster& out = packed.Clusters[i];
    out = TPackedCluster{0, 0, static_cast<int32_t>(blocks), 0};
    if (cluster.empty()) continue;
    int32_t lo = cluster.front().Pos;
    int32_t hi = lo;
    for (const TPointRec& entry : cluster) {
      lo = std::min(lo, entry.Pos);
      hi = std::max(hi, entry.Pos);
    }
    std::vector<int32_t>& dense = runs[i];
    // Byte-weight runs start at a multiple of 8 pixels, zero weights in front.
    const int32_t front = lo % 8;
    dense.assign(static_cast<size_t>(hi - lo) + 1 + static_cast<size_t>(front), 0);
    for (const TPointRec& entry : cluster) dense[static_cast<size_t>(entry.Pos - lo + front)] += entry.Weight;
    if (allowByteWeights && FitsByteLanes(dense)) {
      out.ByteWeights = 1;
      out.Start = lo - front;
      out.Blocks = static_cast<int32_t>((dense.size() + 7) / 8);
      dense.resize(static_cast<size_t>(out.Blocks) * 8, 0);
      const int32_t firstGroup = out.Start / 8;
      packed.FirstGroup = anyByteWeights ? std::min(packed.FirstGroup, firstGroup) : firstGroup;
      groupsEnd = std::max(groupsEnd, firstGroup + out.Blocks);
      anyByteWeights = true;
    } else {
      dense.erase(dense.begin(), dense.begin() + front);
      out.Start = lo;
      out.Blocks = static_cast<int32_t>((dense.size() + 3) / 4);
      dense.resize(static_cast<size_t>(out.Blocks) * 4, 0);
    }
    blocks += static_cast<size_t>(out.Blocks);
  }
  packed.Groups = anyByteWeights ? groupsEnd - packed.FirstGroup : 0;
  packed.RawWeights.assign(blocks * kWeightBlockBytes + kWeightBlockBytes, 0);
  uint8_t* base = packed.RawWeights.data();
  base += (kWeightBlockBytes - reinterpret_cast<uintptr_t>(base) % kWeightBlockBytes) % kWeightBlockBytes;
  packed.Weights = base;
  for (size_t i = 0; i < map.size(); ++i) {
    const TPackedCluster& cluster = packed.Clusters[i];
    const std::vector<int32_t>& dense = runs[i];
    for (int32_t b = 0; b < cluster.Blocks; ++b) {
      uint8_t* block = base + static_cast<size_t>(cluster.FirstBlock + b) * kWeightBlockBytes;
      if (cluster.ByteWeights) {
        for (int half = 0; half < 2; ++half)
          for (int repeat = 0; repeat < 4; ++repeat)
            for (int tap = 0; tap < 4; ++tap)
              block[16 * half + 4 * repeat + tap] =
                  static_cast<uint8_t>(static_cast<int8_t>(dense[static_cast<size_t>(8 * b + 4 * half + tap)]));
      } else {
        int16_t words[16];
        for (int half = 0; half < 2; ++half)
          for (int repeat = 0; repeat < 4; ++repeat)
            for (int tap = 0; tap < 2; ++tap)
              words[8 * half + 2 * repeat + tap] =
                  static_cast<int16_t>(dense[static_cast<size_t>(4 * b + 2 * half + tap)]);
        std::memcpy(block, words, sizeof words);
      }
    }
  }
  return packed;
}

// The vertical table with the entries of each cluster sorted by row, entries
// of the same row merged, and zero weights dropped.
struct TMergedAxis {
  std::vector<size_t> First;  // First[j] .. First[j + 1] are cluster j's entries
  std::vector<int32_t> Rows;
  std::vector<int32_t> Weights;
  int32_t LongestSpan = 1;  // rows from the first to the last entry of a cluster
};

TMergedAxis MergeVertical(const TMappingTable& map) {
  TMergedAxis merged;
  merged.First.reserve(map.size() + 1);
  TCluster sorted;
  for (const TCluster& cluster : map) {
    merged.First.push_back(merged.Rows.size());
    sorted = cluster;
    std::sort(sorted.begin(), sorted.end(),
              [](const TPointRec& a, const TPointRec& b) { return a.Pos < b.Pos; });
    const size_t first = merged.Rows.size();
    for (size_t k = 0; k < sorted.size();) {
      const int32_t row = sorted[k].Pos;
      int32_t weight = 0;
      for (; k < sorted.size() && sorted[k].Pos == row; ++k) weight += sorted[k].Weight;
      if (weight == 0) continue;
      merged.Rows.push_back(row);
      merged.Weights.push_back(weight);
    }
    if (merged.Rows.size() > first)
      merged.LongestSpan = std::max(merged.LongestSpan, merged.Rows.back() - merged.Rows[first] + 1);
  }
  merged.First.push_back(merged.Rows.size());
  return merged;
}

}  // namespace

TSimdLevel SupportedSimdLevel() {
  static const TSimdLevel supported = [] {
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx2")) return TSimdLevel::Avx2;
    return __builtin_cpu_supports("ssse3") ? TSimdLevel::Ssse3 : TSimdLevel::Sse2;
  }();
  return supported;
}

TSimdLevel ActiveSimdLevel() { return static_cast<TSimdLevel>(ActiveLevel.load(std::memory_order_relaxed)); }

void SetActiveSimdLevel(TSimdLevel ALevel) {
  const int level = std::min(static_cast<int>(ALevel), static_cast<int>(SupportedSimdLevel()));
  ActiveLevel.store(level, std::memory_order_relaxed);
}

size_t RingByteLimit() { return RingLimit.load(std::memory_order_relaxed); }
void SetRingByteLimit(size_t ABytes) { RingLimit.store(ABytes, std::memory_order_relaxed); }

void ResampleWithTables(TBitmap32& Dst, const TRect& DstClip, const TBitmap32& Src, const TMappingTable& MapX,
                        const TMappingTable& MapY, TDrawMode CombineOp) {
  const int32_t width = static_cast<int32_t>(MapX.size());
  const int32_t height = static_cast<int32_t>(MapY.size());
  if (width == 0 || height == 0) return;
  const uint32_t masterAlpha = Src.MasterAlpha();
  if (CombineOp == dmBlend && masterAlpha == 0) return;

  const TSimdLevel level = ActiveSimdLevel();
  const TKernelSet kernels = KernelsFor(level);
  const TPackedAxis horizontal = PackHorizontal(MapX, level != TSimdLevel::Sse2);
  const TMergedAxis vertical = MergeVertical(MapY);

  const size_t lanes = (static_cast<size_t>(width) * 4 + kLaneBlock - 1) / kLaneBlock * kLaneBlock;
  if (lanes > INT32_MAX) throw std::bad_alloc();
  const size_t rowBytes = lanes * sizeof(int32_t);
  const size_t ringRows =
      std::clamp<size_t>(RingByteLimit() / rowBytes, 1, static_cast<size_t>(vertical.LongestSpan));
  TAlignedArray<int32_t> ring(ringRows * lanes);
  TAlignedArray<int32_t> sums(lanes);
  std::vector<int32_t> ringRowOf(ringRows, -1);
  std::vector<const int32_t*> rowPointers(ringRows);
  std::vector<int32_t> rowWeights(ringRows);

  TAlignedArray<uint8_t> scratch(size_t{detail::kMaxRowsAtOnce} * static_cast<size_t>(horizontal.Groups) * 32);
  const detail::THorizontalPlan plan{horizontal.Clusters.data(), width,           horizontal.Weights,
                                     horizontal.FirstGroup,      horizontal.Groups, scratch.Data()};
  std::vector<const TColor32*> missingRows(ringRows);
  std::vector<int32_t*> missingOuts(ringRows);

  for (int32_t j = 0; j < height; ++j) {
    const size_t end = vertical.First[static_cast<size_t>(j) + 1];
    bool accumulate = false;
    for (size_t k = vertical.First[static_cast<size_t>(j)]; k < end;) {
      // One window of rows less than ringRows apart: they never share a slot
      // of the ring. Rows not in the ring yet are filtered together.
      const int64_t windowEnd = int64_t{vertical.Rows[k]} + static_cast<int64_t>(ringRows);
      int32_t count = 0;
      int32_t missing = 0;
      for (; k < end && vertical.Rows[k] < windowEnd; ++k, ++count) {
        const int32_t row = vertical.Rows[k];
        const size_t slot = static_cast<size_t>(row) % ringRows;
        int32_t* filtered = ring.Data() + slot * lanes;
        if (ringRowOf[slot] != row) {
          ringRowOf[slot] = row;
          missingRows[static_cast<size_t>(missing)] = Src.ScanLine(row);
          missingOuts[static_cast<size_t>(missing)] = filtered;
          ++missing;
        }
        rowPointers[static_cast<size_t>(count)] = filtered;
        rowWeights[static_cast<size_t>(count)] = vertical.Weights[k];
      }
      if (missing > 0) {
        // The rows after these are the likely next ones.
        const TColor32* upcoming[detail::kMaxRowsAtOnce];
        int32_t upcomingCount = 0;
        for (int32_t row = vertical.Rows[k - 1] + 1; upcomingCount < detail::kMaxRowsAtOnce && row < Src.Height();
             ++row)
          upcoming[upcomingCount++] = Src.ScanLine(row);
        kernels.Horizontal(missingRows.data(), missingOuts.data(), missing, plan, upcoming, upcomingCount);
      }
      kernels.Vertical(rowPointers.data(), rowWeights.data(), count, sums.Data(), static_cast<int32_t>(lanes),
                       accumulate);
      accumulate = true;
    }
    if (!accumulate) std::memset(sums.Data(), 0, rowBytes);
    detail::PackRow(sums.Data(), width, Dst.ScanLine(DstClip.Top + j) + DstClip.Left, CombineOp, masterAlpha);
  }
}

}  // namespace quillet::resample_engine
