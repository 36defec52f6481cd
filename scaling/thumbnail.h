#pragma once
// The size of a thumbnail. ScaleBitmap itself is declared in scaling.h.
#include <cstdint>

namespace quillet {

struct TFittedSize {
  int32_t Width;
  int32_t Height;
  friend bool operator==(const TFittedSize&, const TFittedSize&) = default;
};

// The size of a source of AWidth x AHeight scaled to fill the box AMaxWidth x
// AMaxHeight in one direction, aspect ratio kept: the width is fitted first,
// the height only when the fitted height overflows the box. Sides that round
// to 0 become 1; a box with a negative side gives a negative side. (0, 0) for
// a source with a zero side. Rounding is to nearest, ties to even.
TFittedSize FitSize(int32_t AWidth, int32_t AHeight, int32_t AMaxWidth, int32_t AMaxHeight);

}  // namespace quillet
