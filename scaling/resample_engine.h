#pragma once
// Applies a pair of mapping tables to a surface, fast.
//
// The result is defined pixel by pixel as
//   clamp(sum over x-entries (Wx * sum over y-entries (Wy * C[Py][Px]))),
// an exact integer in 32-bit arithmetic. Integer addition does not care about
// order, so the work is reordered freely here and gives the same bytes as the
// column-then-row order that defines it:
//   - entries of a cluster that name the same source pixel are merged, and the
//     gaps between entries become zero weights, so that every cluster is one
//     run of adjacent source pixels;
//   - each source row is filtered horizontally once, into a ring of rows of
//     destination width, and every destination row is then a weighted sum of
//     ring rows; no image of source height is ever held;
//   - the horizontal sums run in 16-bit vector lanes where the weights prove
//     that no lane can overflow, in 32-bit lanes otherwise.
// The vector code exists for SSE2 (every x86-64), SSSE3 and AVX2, chosen at run
// time.
#include <cstddef>
#include <cstdint>

#include "scaling/bitmap32.h"
#include "scaling/resamplers.h"

namespace quillet::resample_engine {

enum class TSimdLevel : int { Sse2 = 0, Ssse3 = 1, Avx2 = 2 };

// The best level this processor and operating system support.
TSimdLevel SupportedSimdLevel();
// The level in use: the supported one after InitializeScaling, SSE2 before.
TSimdLevel ActiveSimdLevel();
// Chooses the level (tests compare every level); a level the processor lacks
// is lowered to the supported one.
void SetActiveSimdLevel(TSimdLevel ALevel);

// Bytes the ring of filtered rows may take (at least one row is always
// allowed). A destination row whose rows do not fit is summed in parts.
size_t RingByteLimit();
void SetRingByteLimit(size_t ABytes);

// Draws through the tables: destination pixel (DstClip.Left + i, DstClip.Top
// + j) gets MapX[i] x MapY[j] of Src, clamped, and stored (dmOpaque) or
// blended onto the destination pixel with Src's master alpha (dmBlend).
// MapX and MapY have DstClip's width and height, and every position in them
// lies within Src.
void ResampleWithTables(TBitmap32& Dst, const TRect& DstClip, const TBitmap32& Src, const TMappingTable& MapX,
                        const TMappingTable& MapY, TDrawMode CombineOp);

}  // namespace quillet::resample_engine
