#include "scaling/bitmap32.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "platform/errors.h"
#include "scaling/blend.h"
#include "scaling/resamplers.h"

namespace quillet {

namespace {

constexpr size_t kStoreAlignment = 64;
// Zeroed bytes after the last pixel: the resampler's vector loads read up to
// 7 pixels past the end of a row.
constexpr size_t kStoreSlack = 64;

// Uninitialised pixels (every user either fills or reads into all of them),
// or null when the memory cannot be had.
TColor32* AllocatePixels(int32_t width, int32_t height) noexcept {
  const uint64_t pixels = static_cast<uint64_t>(width) * static_cast<uint64_t>(height);
  if (pixels > (SIZE_MAX - kStoreSlack) / sizeof(TColor32)) return nullptr;
  const size_t bytes = static_cast<size_t>(pixels) * sizeof(TColor32);
  void* memory = ::operator new(bytes + kStoreSlack, std::align_val_t{kStoreAlignment}, std::nothrow);
  if (memory == nullptr) return nullptr;
  std::memset(static_cast<char*>(memory) + bytes, 0, kStoreSlack);
  return static_cast<TColor32*>(memory);
}

void FreePixels(TColor32* pixels) noexcept {
  if (pixels != nullptr) ::operator delete(pixels, std::align_val_t{kStoreAlignment});
}

}  // namespace

TRect IntersectRect(const TRect& A, const TRect& B) {
  TRect result{std::max(A.Left, B.Left), std::max(A.Top, B.Top), std::min(A.Right, B.Right),
               std::min(A.Bottom, B.Bottom)};
  if (result.Right < result.Left || result.Bottom < result.Top) return TRect{0, 0, 0, 0};
  return result;
}

TBitmap32::TBitmap32() : FResampler(std::make_unique<TNearestResampler>(*this)) {}

TBitmap32::~TBitmap32() { Release(); }

void TBitmap32::Release() {
  FreePixels(FBits);
  FreePixels(FTailCopy);
  FBits = nullptr;
  FTop = nullptr;
  FRowStep = 0;
  FTailRow = -1;
  FTailCopy = nullptr;
  FWidth = 0;
  FHeight = 0;
  FClipRect = TRect{0, 0, 0, 0};
}

void TBitmap32::SetSize(int32_t NewWidth, int32_t NewHeight) {
  if (NewWidth < 0) NewWidth = 0;
  if (NewHeight < 0) NewHeight = 0;
  if (NewWidth == FWidth && NewHeight == FHeight && FTailRow < 0) return;
  Release();
  if (NewWidth > 0 && NewHeight > 0) {
    FBits = AllocatePixels(NewWidth, NewHeight);
    if (FBits == nullptr) throw Exception("Can't allocate the DIB handle");
  }
  FTop = FBits;
  FRowStep = NewWidth;
  FWidth = NewWidth;
  FHeight = NewHeight;
  FClipRect = BoundsRect();
}

void TBitmap32::AttachRows(TColor32* ATopRow, int32_t AWidth, int32_t AHeight, ptrdiff_t ARowStep) {
  Release();
  if (ATopRow == nullptr || AWidth <= 0 || AHeight <= 0) return;
  const int32_t tailRow = ARowStep < 0 ? 0 : AHeight - 1;
  FTailCopy = AllocatePixels(AWidth, 1);
  if (FTailCopy == nullptr) throw Exception("Can't allocate the DIB handle");
  std::memcpy(FTailCopy, ATopRow + static_cast<ptrdiff_t>(tailRow) * ARowStep,
              static_cast<size_t>(AWidth) * sizeof(TColor32));
  FTailRow = tailRow;
  FTop = ATopRow;
  FRowStep = ARowStep;
  FWidth = AWidth;
  FHeight = AHeight;
  FClipRect = BoundsRect();
}

void TBitmap32::Clear(TColor32 FillColor) {
  if (Empty()) return;
  const TRect clip = IntersectRect(FClipRect, BoundsRect());
  for (int32_t y = clip.Top; y < clip.Bottom; ++y)
    std::fill(PixelPtr(clip.Left, y), PixelPtr(clip.Right, y), FillColor);
}

void TBitmap32::ResetAlpha(uint8_t AlphaValue) {
  if (Empty()) return;
  const TColor32 alpha = static_cast<TColor32>(AlphaValue) << 24;
  for (int32_t y = 0; y < FHeight; ++y) {
    TColor32* pixel = ScanLine(y);
    TColor32* const end = pixel + FWidth;
    for (; pixel != end; ++pixel) *pixel = (*pixel & 0x00FFFFFFu) | alpha;
  }
}

std::string TBitmap32::ResamplerClassName() const { return FResampler->ClassName(); }

void TBitmap32::SetResamplerClassName(std::string_view Value) {
  if (Value.empty() || Value == FResampler->ClassName()) return;
  const TResamplerClass* resamplerClass = FindResamplerClass(Value);
  if (resamplerClass == nullptr) return;
  SetResampler(resamplerClass->Create(*this));
}

void TBitmap32::SetResampler(std::unique_ptr<TCustomResampler> Value) {
  if (Value != nullptr) FResampler = std::move(Value);
}

void TBitmap32::DrawTo(TBitmap32* Dst, const TRect& DstRect, const TRect& SrcRect) {
  if (Dst == nullptr) throw EBitmapException("Destination bitmap is nil");
  if (Empty() || Dst->Empty() || (FDrawMode == dmBlend && FMasterAlpha == 0) || SrcRect.IsEmpty()) return;
  const TRect dstClip = IntersectRect(IntersectRect(Dst->ClipRect(), Dst->BoundsRect()), DstRect);
  if (dstClip.IsEmpty()) return;
  // Reading outside the source would read foreign memory; drawing a surface
  // onto itself would read pixels that the drawing has already changed.
  if (IntersectRect(SrcRect, BoundsRect()) != SrcRect)
    throw EBitmapException("Source rectangle lies outside the bitmap");
  if (Dst == this) throw EBitmapException("Can't draw a bitmap onto itself");
  const bool sameSize = int64_t{SrcRect.Right} - SrcRect.Left == int64_t{DstRect.Right} - DstRect.Left &&
                        int64_t{SrcRect.Bottom} - SrcRect.Top == int64_t{DstRect.Bottom} - DstRect.Top;
  if (sameSize) {
    BlockTransfer(*Dst, dstClip, SrcRect.Left + (dstClip.Left - DstRect.Left),
                  SrcRect.Top + (dstClip.Top - DstRect.Top));
  } else {
    FResampler->Resample(*Dst, DstRect, dstClip, *this, SrcRect, FDrawMode);
  }
}

void TBitmap32::BlockTransfer(TBitmap32& Dst, const TRect& Area, int32_t SrcX, int32_t SrcY) {
  const int32_t count = Area.Width();
  for (int32_t row = 0; row < Area.Height(); ++row) {
    const TColor32* from = PixelPtr(SrcX, SrcY + row);
    TColor32* to = Dst.PixelPtr(Area.Left, Area.Top + row);
    if (FDrawMode == dmOpaque) {
      std::memcpy(to, from, static_cast<size_t>(count) * sizeof(TColor32));
    } else if (FMasterAlpha == 255) {
      BlendRow(from, to, count);
    } else {
      for (int32_t i = 0; i < count; ++i) BlendPixelMaster(from[i], to[i], FMasterAlpha);
    }
  }
}

}  // namespace quillet
