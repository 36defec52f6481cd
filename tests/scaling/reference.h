#pragma once
// A plain implementation of the scaler's arithmetic, written straight from its
// rules with no regard for speed: the yardstick for the fast code.
#include <cstdint>
#include <vector>

#include "scaling/bitmap32.h"
#include "scaling/resamplers.h"

namespace quillet::reference {

// A picture of 32-bit pixels, rows top to bottom.
struct Image {
  int32_t Width = 0;
  int32_t Height = 0;
  std::vector<TColor32> Pixels;

  Image() = default;
  Image(int32_t width, int32_t height, TColor32 fill = 0)
      : Width(width), Height(height), Pixels(static_cast<size_t>(width) * static_cast<size_t>(height), fill) {}
  TColor32& At(int32_t x, int32_t y) { return Pixels[static_cast<size_t>(y) * static_cast<size_t>(Width) + x]; }
  TColor32 At(int32_t x, int32_t y) const {
    return Pixels[static_cast<size_t>(y) * static_cast<size_t>(Width) + x];
  }
};

// The Lanczos kernel of width 3.
float LanczosFilter(float value);
TMappingTable MappingTable(int32_t dstLo, int32_t dstHi, int32_t clipLo, int32_t clipHi, int32_t srcLo,
                           int32_t srcHi);

void BlendPixelMaster(TColor32 f, TColor32& b, uint32_t m);
TColor32 BlendRowPixel(TColor32 f, TColor32 b);

// The kernel resampler with the Lanczos kernel: column sums for each
// destination row, then row sums, clamp, and the hand-over by draw mode.
// Sets *overflow when a sum left the 32-bit range (the result then follows
// 32-bit wrap-around, as the rules have it).
void Resample(Image& dst, const TRect& dstRect, const TRect& dstClip, const Image& src, const TRect& srcRect,
              TDrawMode mode, uint32_t masterAlpha, bool* overflow = nullptr);

// DrawTo of a surface in `mode` with `masterAlpha`: a same-size block
// transfer (BlendRow for blending at master alpha 255) or the resampler.
void DrawTo(const Image& src, TDrawMode mode, uint32_t masterAlpha, Image& dst, const TRect& dstRect,
            const TRect& srcRect);

// What a thumbnail's pixels should be: FitSize, then the source (alpha set to
// 255 unless it is 32-bit) drawn onto transparent black. Top-down.
Image Thumbnail(const Image& source, bool sourceIs32Bit, int32_t maxWidth, int32_t maxHeight);

}  // namespace quillet::reference
