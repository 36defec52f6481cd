#pragma once
// Resamplers: what DrawTo uses when the source and destination rectangles
// differ in size. Every resampler here works the same way: per axis, a mapping
// table says which source pixels, with which 8-bit fixed-point weights, make
// each destination pixel; the tables are then applied in 32-bit integers and
// the result is clamped to 8 bits per channel and handed to the destination
// according to the draw mode.
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "scaling/bitmap32.h"
#include "scaling/kernels.h"

namespace quillet {

// One source pixel of a destination pixel on one axis: its index and its
// weight in units of 1/256.
struct TPointRec {
  int32_t Pos;
  int32_t Weight;
  friend bool operator==(const TPointRec&, const TPointRec&) = default;
};
// The source pixels of one destination pixel; the weights add up to 256.
using TCluster = std::vector<TPointRec>;
// One cluster per destination pixel of the clip span, in destination order.
using TMappingTable = std::vector<TCluster>;

// The table of one axis for drawing the source span SrcLo..SrcHi onto the
// destination span DstLo..DstHi, of which ClipLo..ClipHi is written. When the
// destination is smaller the kernel is stretched by the reduction factor.
TMappingTable MakeMappingTable(int32_t DstLo, int32_t DstHi, int32_t ClipLo, int32_t ClipHi, int32_t SrcLo,
                               int32_t SrcHi, const TCustomKernel& Kernel);

class TCustomResampler {
 public:
  explicit TCustomResampler(TBitmap32& ABitmap) : FBitmap(&ABitmap) {}
  virtual ~TCustomResampler() = default;
  TCustomResampler(const TCustomResampler&) = delete;
  TCustomResampler& operator=(const TCustomResampler&) = delete;

  virtual const char* ClassName() const = 0;
  TBitmap32& Bitmap() const { return *FBitmap; }
  // Draws SrcRect of Src onto DstRect of Dst, writing only inside DstClip
  // (which lies within DstRect and Dst). In dmBlend the pixels are blended
  // with Src's master alpha.
  virtual void Resample(TBitmap32& Dst, const TRect& DstRect, const TRect& DstClip, const TBitmap32& Src,
                        const TRect& SrcRect, TDrawMode CombineOp) = 0;

 private:
  TBitmap32* FBitmap;
};

// A class of resamplers as the registry knows it: its name and how to make
// one for a surface.
struct TResamplerClass {
  const char* ClassName;
  std::unique_ptr<TCustomResampler> (*Create)(TBitmap32& ABitmap);
};

// Each destination pixel takes the source pixel under its centre. The first
// resampler of every surface.
class TNearestResampler : public TCustomResampler {
 public:
  static constexpr const char* StaticClassName = "TNearestResampler";
  using TCustomResampler::TCustomResampler;
  const char* ClassName() const override { return StaticClassName; }
  void Resample(TBitmap32& Dst, const TRect& DstRect, const TRect& DstClip, const TBitmap32& Src,
                const TRect& SrcRect, TDrawMode CombineOp) override;
};

// Linear interpolation between the two nearest source pixels when enlarging;
// a triangle filter over the covered source pixels when reducing.
class TLinearResampler : public TCustomResampler {
 public:
  static constexpr const char* StaticClassName = "TLinearResampler";
  using TCustomResampler::TCustomResampler;
  const char* ClassName() const override { return StaticClassName; }
  void Resample(TBitmap32& Dst, const TRect& DstRect, const TRect& DstClip, const TBitmap32& Src,
                const TRect& SrcRect, TDrawMode CombineOp) override;
};

// The quick one: the average of the covered source pixels when reducing,
// pixel repetition when enlarging.
class TDraftResampler : public TCustomResampler {
 public:
  static constexpr const char* StaticClassName = "TDraftResampler";
  using TCustomResampler::TCustomResampler;
  const char* ClassName() const override { return StaticClassName; }
  void Resample(TBitmap32& Dst, const TRect& DstRect, const TRect& DstClip, const TBitmap32& Src,
                const TRect& SrcRect, TDrawMode CombineOp) override;
};

// Resampling through a selectable filter kernel (a box at first).
class TKernelResampler : public TCustomResampler {
 public:
  static constexpr const char* StaticClassName = "TKernelResampler";
  explicit TKernelResampler(TBitmap32& ABitmap);
  const char* ClassName() const override { return StaticClassName; }

  const TCustomKernel& Kernel() const { return *FKernel; }
  std::string KernelClassName() const { return FKernel->ClassName(); }
  // Selects the kernel by its registered class name (exact spelling). An
  // empty or unknown name, or the name of the current kernel, changes nothing.
  void SetKernelClassName(std::string_view Value);

  void Resample(TBitmap32& Dst, const TRect& DstRect, const TRect& DstClip, const TBitmap32& Src,
                const TRect& SrcRect, TDrawMode CombineOp) override;

 private:
  std::unique_ptr<TCustomKernel> FKernel;
};

// The resampler classes in registration order, filled by InitializeScaling.
const std::vector<TResamplerClass>& ResamplerList();
// The first registered resampler class of exactly that name, or null.
const TResamplerClass* FindResamplerClass(std::string_view AClassName);

template <class TResampler>
TResamplerClass ResamplerClassOf() {
  return TResamplerClass{TResampler::StaticClassName,
                         [](TBitmap32& ABitmap) -> std::unique_ptr<TCustomResampler> {
                           return std::make_unique<TResampler>(ABitmap);
                         }};
}

}  // namespace quillet
