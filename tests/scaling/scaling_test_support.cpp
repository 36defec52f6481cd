#include "scaling_test_support.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>

#include "scaling/scaling.h"

namespace quillet::scaling_test {

namespace {

// Every scaling test runs with the registries filled, as in the module.
class ScalingEnvironment : public ::testing::Environment {
 public:
  void SetUp() override { InitializeScaling(); }
  void TearDown() override { FinalizeScaling(); }
};

[[maybe_unused]] ::testing::Environment* const kEnvironment =
    ::testing::AddGlobalTestEnvironment(new ScalingEnvironment);

}  // namespace

void CopyToSurface(const Image& image, TBitmap32& surface) {
  surface.SetSize(image.Width, image.Height);
  if (!image.Pixels.empty()) std::memcpy(surface.Bits(), image.Pixels.data(), image.Pixels.size() * sizeof(TColor32));
}

Image CopyFromSurface(const TBitmap32& surface) {
  Image image(surface.Width(), surface.Height());
  // Row by row: a surface may read rows that are not its own store.
  for (int32_t y = 0; y < surface.Height(); ++y)
    std::memcpy(image.Pixels.data() + static_cast<size_t>(y) * static_cast<size_t>(surface.Width()), surface.ScanLine(y),
                static_cast<size_t>(surface.Width()) * sizeof(TColor32));
  return image;
}

Image MakeImage(std::mt19937& random, int32_t width, int32_t height, Content content) {
  Image image(width, height);
  std::uniform_int_distribution<uint32_t> word(0, UINT32_MAX);
  std::uniform_int_distribution<int> byte(0, 255);
  const TColor32 constant = word(random);
  for (int32_t y = 0; y < height; ++y)
    for (int32_t x = 0; x < width; ++x) {
      TColor32 pixel = 0;
      switch (content) {
        case Content::Noise:
          pixel = word(random);
          break;
        case Content::Premultiplied: {
          const uint32_t a = static_cast<uint32_t>(byte(random));
          pixel = a << 24;
          for (int c = 0; c < 3; ++c) pixel |= (static_cast<uint32_t>(byte(random)) * a / 255) << (8 * c);
          break;
        }
        case Content::Sparks:
          // Dark with rare full-bright pixels: the negative lobes overshoot.
          pixel = byte(random) < 16 ? 0xFFFFFFFFu : 0xFF000000u | static_cast<uint32_t>(byte(random) / 16);
          break;
        case Content::Constant:
          pixel = constant;
          break;
        case Content::Gradient:
          pixel = 0xFF000000u | static_cast<uint32_t>((x * 255) / std::max(1, width - 1)) << 16 |
                  static_cast<uint32_t>((y * 255) / std::max(1, height - 1)) << 8 |
                  static_cast<uint32_t>(((x + y) * 7) & 255);
          break;
      }
      image.At(x, y) = pixel;
    }
  return image;
}

namespace {

HBITMAP MakeDib(const Image& image, int bitsPerPixel, bool topDown) {
  BITMAPINFO info;
  std::memset(&info, 0, sizeof info);
  info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
  info.bmiHeader.biWidth = image.Width;
  info.bmiHeader.biHeight = topDown ? -image.Height : image.Height;
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = static_cast<WORD>(bitsPerPixel);
  info.bmiHeader.biCompression = BI_RGB;
  void* bits = nullptr;
  HDC dc = GetDC(nullptr);
  HBITMAP bitmap = CreateDIBSection(dc, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  ReleaseDC(nullptr, dc);
  if (bitmap == nullptr || bits == nullptr) return nullptr;
  const size_t stride = ((static_cast<size_t>(image.Width) * bitsPerPixel + 31) & ~size_t{31}) / 8;
  for (int32_t y = 0; y < image.Height; ++y) {
    const int32_t stored = topDown ? y : image.Height - 1 - y;
    uint8_t* row = static_cast<uint8_t*>(bits) + stride * static_cast<size_t>(stored);
    for (int32_t x = 0; x < image.Width; ++x) {
      const TColor32 pixel = image.At(x, y);
      uint8_t* out = row + static_cast<size_t>(x) * (bitsPerPixel / 8);
      out[0] = static_cast<uint8_t>(pixel);
      out[1] = static_cast<uint8_t>(pixel >> 8);
      out[2] = static_cast<uint8_t>(pixel >> 16);
      if (bitsPerPixel == 32) out[3] = static_cast<uint8_t>(pixel >> 24);
    }
  }
  return bitmap;
}

}  // namespace

HBITMAP MakeBottomUpDib(const Image& image, int bitsPerPixel) { return MakeDib(image, bitsPerPixel, false); }

HBITMAP MakeTopDownDib(const Image& image, int bitsPerPixel) { return MakeDib(image, bitsPerPixel, true); }

DibContents ReadDib(HBITMAP bitmap, bool topDown) {
  DibContents contents;
  BITMAP bm;
  std::memset(&bm, 0, sizeof bm);
  if (GetObjectW(bitmap, sizeof bm, &bm) == 0 || bm.bmBits == nullptr) return contents;
  contents.Width = bm.bmWidth;
  contents.Height = bm.bmHeight;
  contents.BitsPerPixel = bm.bmBitsPixel;
  contents.Stride = bm.bmWidthBytes;
  contents.Pixels = Image(bm.bmWidth, bm.bmHeight);
  const int bytesPerPixel = bm.bmBitsPixel / 8;
  for (int32_t y = 0; y < bm.bmHeight; ++y) {
    const int32_t stored = topDown ? y : bm.bmHeight - 1 - y;
    const uint8_t* row = static_cast<const uint8_t*>(bm.bmBits) + static_cast<size_t>(bm.bmWidthBytes) * stored;
    for (int32_t x = 0; x < bm.bmWidth; ++x) {
      const uint8_t* p = row + static_cast<size_t>(x) * bytesPerPixel;
      TColor32 pixel = p[0] | static_cast<TColor32>(p[1]) << 8 | static_cast<TColor32>(p[2]) << 16;
      if (bytesPerPixel == 4) pixel |= static_cast<TColor32>(p[3]) << 24;
      contents.Pixels.At(x, y) = pixel;
    }
    for (int32_t i = bm.bmWidth * bytesPerPixel; i < bm.bmWidthBytes; ++i) contents.PaddingBytes.push_back(row[i]);
  }
  return contents;
}

std::string Hex(TColor32 pixel) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(pixel));
  return text;
}

std::string FirstDifference(const Image& expected, const Image& actual) {
  if (expected.Width != actual.Width || expected.Height != actual.Height)
    return "size " + std::to_string(actual.Width) + "x" + std::to_string(actual.Height) + ", expected " +
           std::to_string(expected.Width) + "x" + std::to_string(expected.Height);
  for (int32_t y = 0; y < expected.Height; ++y)
    for (int32_t x = 0; x < expected.Width; ++x)
      if (expected.At(x, y) != actual.At(x, y))
        return "pixel (" + std::to_string(x) + ", " + std::to_string(y) + ") is " + Hex(actual.At(x, y)) +
               ", expected " + Hex(expected.At(x, y));
  return {};
}

EngineSettings::EngineSettings(resample_engine::TSimdLevel level, size_t ringLimit)
    : FLevel(resample_engine::ActiveSimdLevel()), FRingLimit(resample_engine::RingByteLimit()) {
  resample_engine::SetActiveSimdLevel(level);
  resample_engine::SetRingByteLimit(ringLimit);
}

EngineSettings::~EngineSettings() {
  resample_engine::SetActiveSimdLevel(FLevel);
  resample_engine::SetRingByteLimit(FRingLimit);
}

std::vector<resample_engine::TSimdLevel> AvailableLevels() {
  using resample_engine::TSimdLevel;
  std::vector<TSimdLevel> levels;
  for (TSimdLevel level : {TSimdLevel::Sse2, TSimdLevel::Ssse3, TSimdLevel::Avx2})
    if (static_cast<int>(level) <= static_cast<int>(resample_engine::SupportedSimdLevel())) levels.push_back(level);
  return levels;
}

const char* LevelName(resample_engine::TSimdLevel level) {
  switch (level) {
    case resample_engine::TSimdLevel::Avx2:
      return "AVX2";
    case resample_engine::TSimdLevel::Ssse3:
      return "SSSE3";
    default:
      return "SSE2";
  }
}

}  // namespace quillet::scaling_test
