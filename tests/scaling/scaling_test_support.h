#pragma once
// Helpers of the scaling tests: pictures in and out of surfaces and bitmaps.
#include <cstdint>
#include <random>
#include <string>

#include "platform_gdi.h"
#include "reference.h"
#include "scaling/bitmap32.h"
#include "scaling/resample_engine.h"

namespace quillet::scaling_test {

using reference::Image;

void CopyToSurface(const Image& image, TBitmap32& surface);
Image CopyFromSurface(const TBitmap32& surface);

// Kinds of picture content that stress different parts of the arithmetic.
enum class Content { Noise, Premultiplied, Sparks, Constant, Gradient };
Image MakeImage(std::mt19937& random, int32_t width, int32_t height, Content content);

// A bottom-up DIB section of 24 or 32 bits per pixel showing `image` (the
// alpha byte is stored for 32 bits). The caller deletes it.
HBITMAP MakeBottomUpDib(const Image& image, int bitsPerPixel);
// The same with the rows stored top-down (a negative height).
HBITMAP MakeTopDownDib(const Image& image, int bitsPerPixel);

// What GetObjectW says about a bitmap, and its pixels read back from the
// memory of the section, top row first (alpha 0 for 24 bits).
struct DibContents {
  int32_t Width = 0;
  int32_t Height = 0;
  int BitsPerPixel = 0;
  int32_t Stride = 0;
  Image Pixels;
  std::vector<uint8_t> PaddingBytes;  // the bytes after each row's pixels
};
// `topDown`: whether the first row in memory is the top of the picture.
DibContents ReadDib(HBITMAP bitmap, bool topDown);

std::string Hex(TColor32 pixel);
// The first differing pixel, as text, or empty when the pictures are equal.
std::string FirstDifference(const Image& expected, const Image& actual);

// Sets a SIMD level and the ring limit for one scope, restoring both after.
class EngineSettings {
 public:
  EngineSettings(resample_engine::TSimdLevel level, size_t ringLimit);
  ~EngineSettings();

 private:
  resample_engine::TSimdLevel FLevel;
  size_t FRingLimit;
};

// The levels this processor can run.
std::vector<resample_engine::TSimdLevel> AvailableLevels();
const char* LevelName(resample_engine::TSimdLevel level);

}  // namespace quillet::scaling_test
