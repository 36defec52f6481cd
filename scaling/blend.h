#pragma once
// The two ways a pixel is blended onto a destination pixel. They differ in
// their rounding and in how they treat alpha, and every byte of a thumbnail
// made from a 32-bit image depends on them, so both are kept exactly.
#include <cstdint>

#include "scaling/bitmap32.h"

namespace quillet {

// Blends F onto B with the weight W = ((M + 1) * alpha of F) >> 8: every byte
// of B, alpha included, becomes (f * W + b * (256 - W) + 128) >> 8. Nothing
// changes when W is 0. M is the master alpha, 0 to 255.
void BlendPixelMaster(TColor32 F, TColor32& B, uint32_t M);

// Blends Count source pixels onto the destination pixels at the same
// positions: a colour byte becomes ((f * Fa + 128) >> 8) + b - ((b * Fa + 128)
// >> 8), the alpha Fa + Ba - ((Ba * Fa + 128) >> 8), both limited to 0..255.
// Nothing happens for Count <= 0.
void BlendRow(const TColor32* Src, TColor32* Dst, int32_t Count);

}  // namespace quillet
