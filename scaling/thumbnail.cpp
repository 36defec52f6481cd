// The thumbnail: the fitted size, the scaling of the decoded image onto a
// surface of that size, and the new bitmap handed to the host.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <vector>

#include "scaling/bitmap32.h"
#include "scaling/resamplers.h"
#include "scaling/scaling.h"
#include "scaling/thumbnail.h"

namespace quillet {

namespace {

// The side that ratio gives, rounded to nearest with ties to even. The product
// is exact in 64 bits; the result is limited to the 32-bit range, which only a
// box with a negative side can leave.
int32_t ScaledSide(int32_t side, int32_t numerator, int32_t denominator) {
  const double product = static_cast<double>(int64_t{side} * int64_t{numerator});
  const double rounded = std::nearbyint(product / static_cast<double>(denominator));
  return static_cast<int32_t>(std::clamp(rounded, static_cast<double>(INT32_MIN), static_cast<double>(INT32_MAX)));
}

// Bytes per row of a DIB: rounded up to a multiple of 4.
uint64_t DibStride(int32_t width, uint32_t bitsPerPixel) {
  return ((static_cast<uint64_t>(width) * bitsPerPixel + 31) & ~uint64_t{31}) / 8;
}

// The screen device context, released on every way out.
class TScreenDC {
 public:
  TScreenDC() : FHandle(GetDC(nullptr)) {}
  ~TScreenDC() {
    if (FHandle != nullptr) ReleaseDC(nullptr, FHandle);
  }
  TScreenDC(const TScreenDC&) = delete;
  TScreenDC& operator=(const TScreenDC&) = delete;
  HDC Handle() const { return FHandle; }

 private:
  HDC FHandle;
};

void FillHeader(BITMAPINFO& info, int32_t width, int32_t height, uint16_t bitsPerPixel) {
  std::memset(&info, 0, sizeof info);
  info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
  info.bmiHeader.biWidth = width;
  info.bmiHeader.biHeight = -height;  // rows top to bottom
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = bitsPerPixel;
  info.bmiHeader.biCompression = BI_RGB;
  info.bmiHeader.biSizeImage = static_cast<DWORD>(DibStride(width, bitsPerPixel) * static_cast<uint64_t>(height));
}

// The order of the rows in a section's memory. The section's header does not
// tell it reliably (Wine reports a top-down section's height as positive), so
// it is read off the pixels: the first pair of rows, counting in from both
// ends of the memory, that differ from each other, against the picture's row
// there as GetDIBits gives it. Pages often start and end with the same blank
// margin, so the first and last rows alone seldom tell. A picture with no
// such pair reads the same either way up, so either order is right for it.
enum class TRowOrder { BottomUp, TopDown, Unknown };

TRowOrder RowOrderOf(HDC ADC, HBITMAP ABitmap, const BITMAP& ASource) {
  const size_t rowBytes = static_cast<size_t>(ASource.bmWidth) * 4;
  const auto* memory = static_cast<const uint8_t*>(ASource.bmBits);
  auto memoryRow = [&](int32_t AIndex) { return memory + static_cast<size_t>(AIndex) * rowBytes; };
  const int32_t height = ASource.bmHeight;
  int32_t row = 0;
  while (row < height / 2 && std::memcmp(memoryRow(row), memoryRow(height - 1 - row), rowBytes) == 0) ++row;
  if (row == height / 2) return TRowOrder::TopDown;

  std::vector<uint8_t> picture(rowBytes);
  BITMAPINFO info;
  FillHeader(info, ASource.bmWidth, height, 32);
  // GDI counts scan lines from the bottom of the picture: this is the
  // picture's row `row` from the top.
  if (GetDIBits(ADC, ABitmap, static_cast<UINT>(height - 1 - row), 1, picture.data(), &info, DIB_RGB_COLORS) != 1)
    return TRowOrder::Unknown;
  // The two memory rows differ, so at most one of them is that row.
  if (std::memcmp(picture.data(), memoryRow(row), rowBytes) == 0) return TRowOrder::TopDown;
  if (std::memcmp(picture.data(), memoryRow(height - 1 - row), rowBytes) == 0) return TRowOrder::BottomUp;
  return TRowOrder::Unknown;
}

// The scaler's vector reads run up to 7 pixels past a row's last pixel (it
// takes rows in groups of 8). Read in place, such a read runs into the next
// row in memory, and the row at the highest address is read from a padded
// copy; in a section narrower than this, the reads of the rows before that
// one would run past the section's memory.
constexpr int32_t kNarrowestSectionReadInPlace = 8;

// A 32-bit DIB section is read where it lies: the conversion GetDIBits
// would make of it is a copy of the same bytes. Anything else (another depth
// or layout, a device bitmap, rows whose order is not known, a very narrow
// section) is read through GetDIBits. True when the surface now reads the
// bitmap's own memory.
bool ReadInPlace(HDC ADC, HBITMAP ABitmap, const BITMAP& ASource, TBitmap32& ASurface) {
  if (ASource.bmBitsPixel != 32 || ASource.bmBits == nullptr) return false;
  if (ASource.bmWidth < kNarrowestSectionReadInPlace) return false;
  DIBSECTION section{};
  if (GetObjectW(ABitmap, sizeof section, &section) != static_cast<int>(sizeof section)) return false;
  const BITMAPINFOHEADER& header = section.dsBmih;
  if (header.biBitCount != 32 || header.biCompression != BI_RGB || header.biWidth != ASource.bmWidth ||
      static_cast<int64_t>(ASource.bmWidthBytes) != int64_t{ASource.bmWidth} * 4) {
    return false;
  }
  const TRowOrder order = RowOrderOf(ADC, ABitmap, ASource);
  if (order == TRowOrder::Unknown) return false;
  auto* first = static_cast<TColor32*>(ASource.bmBits);
  if (order == TRowOrder::BottomUp) {
    ASurface.AttachRows(first + static_cast<ptrdiff_t>(ASource.bmHeight - 1) * ASource.bmWidth, ASource.bmWidth,
                        ASource.bmHeight, -static_cast<ptrdiff_t>(ASource.bmWidth));
  } else {
    ASurface.AttachRows(first, ASource.bmWidth, ASource.bmHeight, ASource.bmWidth);
  }
  return true;
}

}  // namespace

TFittedSize FitSize(int32_t AWidth, int32_t AHeight, int32_t AMaxWidth, int32_t AMaxHeight) {
  if (AWidth == 0 || AHeight == 0) return TFittedSize{0, 0};
  int32_t width = AMaxWidth;
  int32_t height = ScaledSide(AMaxWidth, AHeight, AWidth);
  if (height > AMaxHeight) {
    height = AMaxHeight;
    width = ScaledSide(AMaxHeight, AWidth, AHeight);
  }
  if (width == 0) width = 1;
  if (height == 0) height = 1;
  return TFittedSize{width, height};
}

HBITMAP ScaleBitmap(HBITMAP ABitmap, int32_t AMaxWidth, int32_t AMaxHeight) {
  BITMAP source{};
  if (GetObjectW(ABitmap, sizeof(BITMAP), &source) == 0) return nullptr;
  if (source.bmWidth == 0 || source.bmHeight == 0) return nullptr;
  // Sizes that GDI never reports; a negative height could not be read with
  // the top-down request below anyway.
  if (source.bmWidth < 0 || source.bmHeight < 0) return nullptr;
  const TFittedSize size = FitSize(source.bmWidth, source.bmHeight, AMaxWidth, AMaxHeight);
  // A box with a negative side: no bitmap with a side of 0 or less for the host.
  if (size.Width <= 0 || size.Height <= 0) return nullptr;
  const uint16_t outputBits = source.bmBitsPixel == 32 ? 32 : 24;
  const uint64_t outputStride = DibStride(size.Width, outputBits);
  if (outputStride * static_cast<uint64_t>(size.Height) > UINT32_MAX) return nullptr;  // not expressible in a DIB

  const TScreenDC dc;
  if (dc.Handle() == nullptr) return nullptr;

  BITMAPINFO info;
  FillHeader(info, source.bmWidth, source.bmHeight, 32);
  const int32_t sourceHeight = source.bmHeight;
  auto sourceSurface = std::make_unique<TBitmap32>();
  if (!ReadInPlace(dc.Handle(), ABitmap, source, *sourceSurface)) {
    sourceSurface->SetSize(info.bmiHeader.biWidth, sourceHeight);
    if (GetDIBits(dc.Handle(), ABitmap, 0, static_cast<UINT>(sourceHeight), sourceSurface->Bits(), &info,
                  DIB_RGB_COLORS) != source.bmHeight)
      return nullptr;
  }

  if (source.bmBitsPixel >= 32) {
    // Premultiplied pixels, blended onto the cleared destination.
    sourceSurface->SetDrawMode(dmBlend);
  } else {
    // The read leaves the fourth byte undefined for such sources.
    sourceSurface->ResetAlpha(255);
    sourceSurface->SetDrawMode(dmOpaque);
  }
  sourceSurface->SetResamplerClassName("TKernelResampler");
  auto* kernelResampler = dynamic_cast<TKernelResampler*>(&sourceSurface->Resampler());
  if (kernelResampler == nullptr) return nullptr;  // the registries were never filled
  kernelResampler->SetKernelClassName("TLanczosKernel");
  if (kernelResampler->KernelClassName() != TLanczosKernel::StaticClassName) return nullptr;

  auto destination = std::make_unique<TBitmap32>();
  destination->SetSize(size.Width, size.Height);
  destination->Clear(0x00000000);
  sourceSurface->DrawTo(destination.get(), TRect{0, 0, size.Width, size.Height},
                        TRect{0, 0, source.bmWidth, source.bmHeight});

  FillHeader(info, size.Width, size.Height, outputBits);
  void* outputBitsMemory = nullptr;
  HBITMAP result = CreateDIBSection(dc.Handle(), &info, DIB_RGB_COLORS, &outputBitsMemory, nullptr, 0);
  if (result == nullptr) return nullptr;
  if (outputBitsMemory == nullptr) {
    DeleteObject(result);
    return nullptr;
  }
  auto* output = static_cast<uint8_t*>(outputBitsMemory);
  if (outputBits == 32) {
    std::memcpy(output, destination->Bits(), static_cast<size_t>(outputStride) * static_cast<size_t>(size.Height));
  } else {
    for (int32_t y = 0; y < size.Height; ++y) {
      const auto* from = reinterpret_cast<const uint8_t*>(destination->ScanLine(y));
      uint8_t* to = output + static_cast<size_t>(outputStride) * static_cast<size_t>(y);
      for (int32_t x = 0; x < size.Width; ++x, from += 4, to += 3) {
        to[0] = from[0];
        to[1] = from[1];
        to[2] = from[2];
      }
    }
  }
  return result;
}

}  // namespace quillet
