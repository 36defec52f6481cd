#include "scaling/resamplers.h"

#include <algorithm>
#include <cmath>

#include "scaling/resample_engine.h"

namespace quillet {

namespace {

int32_t ClampPos(int64_t J, int32_t SrcLo, int32_t SrcHi) {
  return static_cast<int32_t>(std::clamp<int64_t>(J, SrcLo, int64_t{SrcHi} - 1));
}

// Round to nearest, ties to even, for |x| < 2^31: adding and taking away
// 1.5 * 2^52 rounds to an integer in the default rounding mode.
int32_t RoundWeight(double x) { return static_cast<int32_t>((x + 0x1.8p52) - 0x1.8p52); }

// floor and ceil of a value well inside the 64-bit range, without a library
// call per value.
int64_t Floor(double x) {
  const int64_t t = static_cast<int64_t>(x);
  return static_cast<double>(t) > x ? t - 1 : t;
}
int64_t Ceil(double x) {
  const int64_t t = static_cast<int64_t>(x);
  return static_cast<double>(t) < x ? t + 1 : t;
}

// Everything a resampler of this module needs once it has its tables.
void DrawThroughTables(TBitmap32& Dst, const TRect& DstClip, const TBitmap32& Src, const TMappingTable& MapX,
                       const TMappingTable& MapY, TDrawMode CombineOp) {
  if (MapX.empty() || MapY.empty()) return;
  resample_engine::ResampleWithTables(Dst, DstClip, Src, MapX, MapY, CombineOp);
}

void ResampleWithKernel(const TCustomKernel& Kernel, TBitmap32& Dst, const TRect& DstRect, const TRect& DstClip,
                        const TBitmap32& Src, const TRect& SrcRect, TDrawMode CombineOp) {
  if (CombineOp == dmBlend && Src.MasterAlpha() == 0) return;
  const TMappingTable mapX =
      MakeMappingTable(DstRect.Left, DstRect.Right, DstClip.Left, DstClip.Right, SrcRect.Left, SrcRect.Right, Kernel);
  if (mapX.empty()) return;
  const TMappingTable mapY =
      MakeMappingTable(DstRect.Top, DstRect.Bottom, DstClip.Top, DstClip.Bottom, SrcRect.Top, SrcRect.Bottom, Kernel);
  DrawThroughTables(Dst, DstClip, Src, mapX, mapY, CombineOp);
}

// Destination pixel I of the clip span takes the source pixel under its
// centre: SrcLo + floor((d + 0.5) * SrcW / DstW), d its place in DstLo..DstHi.
TMappingTable NearestTable(int32_t DstLo, int32_t DstHi, int32_t ClipLo, int32_t ClipHi, int32_t SrcLo,
                           int32_t SrcHi) {
  const int64_t srcW = int64_t{SrcHi} - SrcLo;
  const int64_t dstW = int64_t{DstHi} - DstLo;
  const int64_t clipW = int64_t{ClipHi} - ClipLo;
  if (srcW <= 0 || dstW <= 0 || clipW <= 0) return {};
  TMappingTable table(static_cast<size_t>(clipW));
  for (int64_t i = 0; i < clipW; ++i) {
    const int64_t d = i + ClipLo - DstLo;
    const int64_t numerator = (2 * d + 1) * srcW;
    const int64_t offset = numerator >= 0 ? numerator / (2 * dstW) : -((-numerator + 2 * dstW - 1) / (2 * dstW));
    table[static_cast<size_t>(i)] = TCluster{{ClampPos(SrcLo + offset, SrcLo, SrcHi), 256}};
  }
  return table;
}

}  // namespace

TMappingTable MakeMappingTable(int32_t DstLo, int32_t DstHi, int32_t ClipLo, int32_t ClipHi, int32_t SrcLo,
                               int32_t SrcHi, const TCustomKernel& Kernel) {
  const int64_t srcW = int64_t{SrcHi} - SrcLo;
  const int64_t dstW = int64_t{DstHi} - DstLo;
  const int64_t clipW = int64_t{ClipHi} - ClipLo;
  if (srcW <= 0 || clipW <= 0) return {};
  TMappingTable table(static_cast<size_t>(clipW));
  if (srcW == 1) {
    for (TCluster& cluster : table) cluster = TCluster{{SrcLo, 256}};
    return table;
  }

  const float scale = static_cast<float>(static_cast<double>(dstW) / static_cast<double>(srcW));
  const bool reducing = scale < 1.0f;
  const float inv = static_cast<float>(1.0 / static_cast<double>(scale));
  float filterWidth = Kernel.GetWidth();
  // Reducing, the kernel is stretched by the reduction factor, and its values
  // are scaled down by it so that the weights still add up to about 256.
  if (reducing) filterWidth = static_cast<float>(static_cast<double>(filterWidth) * static_cast<double>(inv));

  std::vector<float> arguments;
  std::vector<float> values;
  for (int64_t i = 0; i < clipW; ++i) {
    TCluster& cluster = table[static_cast<size_t>(i)];
    // The source coordinate under the destination pixel's centre, as an index
    // into the source pixel centres.
    const float center = static_cast<float>(
        static_cast<double>(SrcLo) + (static_cast<double>(i - DstLo + ClipLo) + 0.5) * static_cast<double>(inv) - 0.5);
    const int64_t left = Floor(static_cast<double>(center) - static_cast<double>(filterWidth));
    const int64_t right = Ceil(static_cast<double>(center) + static_cast<double>(filterWidth));
    // The kernel's arguments for the whole run first, then its values in one
    // call: the vector kernel makes them two at a time.
    arguments.clear();
    for (int64_t j = left; j <= right; ++j) {
      const double distance = static_cast<double>(center) - static_cast<double>(j);
      arguments.push_back(reducing ? static_cast<float>(distance * static_cast<double>(scale))
                                   : static_cast<float>(distance));
    }
    values.resize(arguments.size());
    Kernel.FilterMany(arguments.data(), values.data(), arguments.size());
    int32_t sum = -256;
    size_t last = 0;
    for (int64_t j = left; j <= right; ++j) {
      const double value = values[static_cast<size_t>(j - left)];
      const int32_t weight = reducing ? RoundWeight(value * 256.0 * static_cast<double>(scale))
                                      : RoundWeight(value * 256.0);
      if (weight == 0) continue;
      last = cluster.size();
      cluster.push_back(TPointRec{ClampPos(j, SrcLo, SrcHi), weight});
      sum += weight;
    }
    if (cluster.empty()) {
      // Every weight rounded to 0: the pixel under the centre alone.
      cluster.push_back(TPointRec{ClampPos(Floor(center), SrcLo, SrcHi), 256});
    } else if (sum != 0) {
      // The rounding error of the cluster goes in full onto its middle entry.
      cluster[last / 2].Weight -= sum;
    }
  }
  return table;
}

void TNearestResampler::Resample(TBitmap32& Dst, const TRect& DstRect, const TRect& DstClip, const TBitmap32& Src,
                                 const TRect& SrcRect, TDrawMode CombineOp) {
  if (CombineOp == dmBlend && Src.MasterAlpha() == 0) return;
  DrawThroughTables(Dst, DstClip, Src,
                    NearestTable(DstRect.Left, DstRect.Right, DstClip.Left, DstClip.Right, SrcRect.Left, SrcRect.Right),
                    NearestTable(DstRect.Top, DstRect.Bottom, DstClip.Top, DstClip.Bottom, SrcRect.Top, SrcRect.Bottom),
                    CombineOp);
}

void TLinearResampler::Resample(TBitmap32& Dst, const TRect& DstRect, const TRect& DstClip, const TBitmap32& Src,
                                const TRect& SrcRect, TDrawMode CombineOp) {
  ResampleWithKernel(TLinearKernel(), Dst, DstRect, DstClip, Src, SrcRect, CombineOp);
}

void TDraftResampler::Resample(TBitmap32& Dst, const TRect& DstRect, const TRect& DstClip, const TBitmap32& Src,
                               const TRect& SrcRect, TDrawMode CombineOp) {
  ResampleWithKernel(TBoxKernel(), Dst, DstRect, DstClip, Src, SrcRect, CombineOp);
}

TKernelResampler::TKernelResampler(TBitmap32& ABitmap)
    : TCustomResampler(ABitmap), FKernel(std::make_unique<TBoxKernel>()) {}

void TKernelResampler::SetKernelClassName(std::string_view Value) {
  if (Value.empty() || Value == FKernel->ClassName()) return;
  const TKernelClass* kernelClass = FindKernelClass(Value);
  if (kernelClass == nullptr) return;
  FKernel = kernelClass->Create();
}

void TKernelResampler::Resample(TBitmap32& Dst, const TRect& DstRect, const TRect& DstClip, const TBitmap32& Src,
                                const TRect& SrcRect, TDrawMode CombineOp) {
  ResampleWithKernel(*FKernel, Dst, DstRect, DstClip, Src, SrcRect, CombineOp);
}

}  // namespace quillet
