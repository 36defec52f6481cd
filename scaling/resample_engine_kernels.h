#pragma once
// The vector building blocks of the resampling engine, one set per
// instruction-set level. Internal to the engine.
#include <cstdint>

#include "scaling/bitmap32.h"

namespace quillet::resample_engine::detail {

// One destination column: a run of adjacent source pixels and their weights,
// laid out for the vector code in blocks of 32 bytes (zero weights pad the
// run at either end).
//   ByteWeights = 1: 8 taps per block, signed 8-bit weights; Start is a
//     multiple of 8. Block bytes 0-15 hold taps 0-3 repeated four times,
//     bytes 16-31 taps 4-7 likewise. The pixels are read from the row
//     regrouped by channel (see THorizontalPlan), and sums are kept in 16-bit
//     lanes: the run was checked to never overflow them. Only the SSSE3 and
//     AVX2 code use this form.
//   ByteWeights = 0: 4 taps per block, signed 16-bit weights. Block words 0-7
//     hold taps 0 and 1 alternating, words 8-15 taps 2 and 3. The pixels are
//     read from the row itself, and sums are kept in 32-bit lanes.
// A block reads 8 (or 4) source pixels from Start + block * 8 (or * 4) on,
// past the run's end by up to 7 pixels: the surfaces keep slack after the
// last row for this.
struct TPackedCluster {
  int32_t Start;
  int32_t Blocks;
  int32_t FirstBlock;
  int32_t ByteWeights;
};

constexpr int kWeightBlockBytes = 32;
// The ring rows and the sum row hold a multiple of this many 32-bit lanes.
constexpr int kLaneBlock = 32;

// The horizontal table of one drawing, with a scratch area for the rows in
// the form the byte-weight clusters read: 8-pixel groups g (pixels 8g to
// 8g + 7), FirstGroup <= g < FirstGroup + Groups, each stored as the four
// pixels 8g .. 8g + 3 by channel (B B B B G G G G R R R R A A A A) followed
// by the next four likewise.
struct THorizontalPlan {
  const TPackedCluster* Clusters;
  int32_t Count;
  const uint8_t* Weights;
  int32_t FirstGroup;
  int32_t Groups;
  uint8_t* Scratch;  // kMaxRowsAtOnce rows of Groups * 32 bytes, 32-byte aligned
};

// For each of RowCount rows: Outs[r][4 * i + c] := the weighted sum of channel
// c (blue, green, red, alpha) over cluster i of Rows[r]. Up to
// kMaxRowsAtOnce rows at once share the weight loads and the loop work.
// Upcoming (UpcomingCount of them, at most kMaxRowsAtOnce) are the rows likely
// to be asked for next: their pixels may be fetched into the cache meanwhile.
constexpr int kMaxRowsAtOnce = 4;
using THorizontalRows = void (*)(const TColor32* const* Rows, int32_t* const* Outs, int32_t RowCount,
                                 const THorizontalPlan& Plan, const TColor32* const* Upcoming,
                                 int32_t UpcomingCount);
// Acc[l] := (Accumulate ? Acc[l] : 0) + sum over k of Weights[k] * Rows[k][l],
// for l below Lanes (a multiple of kLaneBlock); the rows are 32-byte aligned.
using TVerticalSum = void (*)(const int32_t* const* Rows, const int32_t* Weights, int32_t Count, int32_t* Acc,
                              int32_t Lanes, bool Accumulate);

void HorizontalRowsSse2(const TColor32* const* Rows, int32_t* const* Outs, int32_t RowCount,
                        const THorizontalPlan& Plan, const TColor32* const* Upcoming, int32_t UpcomingCount);
void VerticalSumSse2(const int32_t* const* Rows, const int32_t* Weights, int32_t Count, int32_t* Acc, int32_t Lanes,
                     bool Accumulate);
void HorizontalRowsSsse3(const TColor32* const* Rows, int32_t* const* Outs, int32_t RowCount,
                         const THorizontalPlan& Plan, const TColor32* const* Upcoming, int32_t UpcomingCount);
void HorizontalRowsAvx2(const TColor32* const* Rows, int32_t* const* Outs, int32_t RowCount,
                        const THorizontalPlan& Plan, const TColor32* const* Upcoming, int32_t UpcomingCount);
void VerticalSumAvx2(const int32_t* const* Rows, const int32_t* Weights, int32_t Count, int32_t* Acc, int32_t Lanes,
                     bool Accumulate);

// Clamps the sums of Count pixels to 8 bits (a sum carries 16 fraction bits;
// the fraction is cut off) and stores the pixels (dmOpaque) or blends them
// onto Dst with BlendPixelMaster's rule (dmBlend).
void PackRow(const int32_t* Acc, int32_t Count, TColor32* Dst, TDrawMode Mode, uint32_t MasterAlpha);

}  // namespace quillet::resample_engine::detail
