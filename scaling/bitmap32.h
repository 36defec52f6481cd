#pragma once
// TBitmap32: the in-memory 32-bit image the scaler works on. Rows lie top to
// bottom, each exactly Width pixels long, so the whole store is one block that
// can be handed to GetDIBits or copied out in one go. A surface can instead
// read pixels that live elsewhere (AttachRows), such as those of a decoded
// bitmap, without copying them.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace quillet {

// Blue in bits 0-7, green 8-15, red 16-23, alpha 24-31; in memory (little
// endian) the bytes are blue, green, red, alpha.
using TColor32 = uint32_t;

// Left, top, right, bottom; right and bottom are exclusive.
struct TRect {
  int32_t Left;
  int32_t Top;
  int32_t Right;
  int32_t Bottom;

  int32_t Width() const { return Right - Left; }
  int32_t Height() const { return Bottom - Top; }
  bool IsEmpty() const { return Right <= Left || Bottom <= Top; }
  friend bool operator==(const TRect&, const TRect&) = default;
};

// The larger left and top, the smaller right and bottom; (0, 0, 0, 0) when
// that has right < left or bottom < top.
TRect IntersectRect(const TRect& A, const TRect& B);

// How a surface is put onto another one: its pixels replace the destination
// pixels, or are blended onto them.
enum TDrawMode : uint8_t { dmOpaque, dmBlend };

class TCustomResampler;

class TBitmap32 {
 public:
  TBitmap32();
  ~TBitmap32();
  TBitmap32(const TBitmap32&) = delete;
  TBitmap32& operator=(const TBitmap32&) = delete;

  int32_t Width() const { return FWidth; }
  int32_t Height() const { return FHeight; }
  // A negative side is taken as 0. A new size gets a new (uninitialised)
  // store; when it cannot be allocated the surface is left empty and an
  // Exception "Can't allocate the DIB handle" is raised. The store is followed
  // by a few zeroed bytes of slack: the resampler's vector loads may run up to
  // 7 pixels past the last pixel of a row.
  void SetSize(int32_t NewWidth, int32_t NewHeight);
  // Makes the surface a reader of AHeight rows of AWidth pixels that it does
  // not own: row y starts at ATopRow + y * ARowStep pixels (ARowStep may be
  // negative, for rows stored bottom-up). The memory must outlive the surface
  // or the next SetSize, and is only read, never written. The row at the
  // highest address is read from a copy with slack after it (the resampler
  // reads past row ends), so the memory needs none. Raises an Exception when
  // that copy cannot be had.
  void AttachRows(TColor32* ATopRow, int32_t AWidth, int32_t AHeight, ptrdiff_t ARowStep);
  bool Empty() const { return FWidth == 0 || FHeight == 0 || FTop == nullptr; }
  TRect BoundsRect() const { return TRect{0, 0, FWidth, FHeight}; }
  TRect ClipRect() const { return FClipRect; }

  // The whole store; for a surface that reads attached rows, its top row.
  TColor32* Bits() { return FTop; }
  const TColor32* Bits() const { return FTop; }
  TColor32* ScanLine(int32_t Y) { return Y == FTailRow ? FTailCopy : FTop + static_cast<ptrdiff_t>(Y) * FRowStep; }
  const TColor32* ScanLine(int32_t Y) const {
    return Y == FTailRow ? FTailCopy : FTop + static_cast<ptrdiff_t>(Y) * FRowStep;
  }
  TColor32* PixelPtr(int32_t X, int32_t Y) { return ScanLine(Y) + X; }

  void Clear(TColor32 FillColor);
  void ResetAlpha(uint8_t AlphaValue = 255);

  TDrawMode DrawMode() const { return FDrawMode; }
  void SetDrawMode(TDrawMode Value) { FDrawMode = Value; }
  uint32_t MasterAlpha() const { return FMasterAlpha; }
  // Values above 255 are taken as 255.
  void SetMasterAlpha(uint32_t Value) { FMasterAlpha = Value > 255 ? 255 : Value; }

  TCustomResampler& Resampler() const { return *FResampler; }
  std::string ResamplerClassName() const;
  // Selects the resampler by its registered class name (exact spelling). An
  // empty or unknown name, or the name of the current one, changes nothing.
  void SetResamplerClassName(std::string_view Value);
  // The surface takes over the resampler and frees the previous one.
  void SetResampler(std::unique_ptr<TCustomResampler> Value);

  // Puts SrcRect of this surface onto DstRect of Dst: a straight block
  // transfer when both have the same size, resampling otherwise. SrcRect must
  // lie within this surface. Raises EBitmapException for a missing Dst.
  void DrawTo(TBitmap32* Dst, const TRect& DstRect, const TRect& SrcRect);

 private:
  void BlockTransfer(TBitmap32& Dst, const TRect& Area, int32_t SrcX, int32_t SrcY);

  void Release();

  int32_t FWidth = 0;
  int32_t FHeight = 0;
  TColor32* FBits = nullptr;  // the store the surface owns, if any
  TColor32* FTop = nullptr;   // row 0, in the own store or attached memory
  ptrdiff_t FRowStep = 0;     // pixels from one row to the next
  // Attached rows: the row at the highest address, and its copy with slack.
  int32_t FTailRow = -1;
  TColor32* FTailCopy = nullptr;
  TRect FClipRect{0, 0, 0, 0};
  TDrawMode FDrawMode = dmOpaque;
  uint32_t FMasterAlpha = 255;
  std::unique_ptr<TCustomResampler> FResampler;
};

}  // namespace quillet
