#include "reference.h"

#include <algorithm>
#include <cmath>

#include "scaling/kernels.h"
#include "scaling/thumbnail.h"

namespace quillet::reference {

namespace {

float Sinc(float x) {
  if (x == 0.0f) return 1.0f;
  const float x1 = static_cast<float>(static_cast<double>(x) * 3.141592653589793);
  return static_cast<float>(KernelSine(static_cast<double>(x1)) / static_cast<double>(x1));
}

int32_t Round(double x) { return static_cast<int32_t>(std::nearbyint(x)); }

int32_t Clamp(int32_t j, int32_t lo, int32_t hi) { return j < lo ? lo : (j > hi ? hi : j); }

// 32-bit signed wrap-around of an exact sum.
int32_t Wrap(int64_t value, bool* overflow) {
  if ((value < INT32_MIN || value > INT32_MAX) && overflow != nullptr) *overflow = true;
  return static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(value)));
}

int32_t ClampSum(int32_t s) {
  if (s > 0xFF0000) return 0xFF0000;
  if (s < 0) return 0;
  return s & 0xFF0000;
}

}  // namespace

float LanczosFilter(float value) {
  const float widthReciprocal = static_cast<float>(1.0 / 3.0);
  const float v = std::fabs(value);
  if (3.0 > static_cast<double>(v)) {
    const float window = Sinc(static_cast<float>(static_cast<double>(v) * static_cast<double>(widthReciprocal)));
    return static_cast<float>(static_cast<double>(Sinc(v)) * static_cast<double>(window));
  }
  return 0.0f;
}

TMappingTable MappingTable(int32_t dstLo, int32_t dstHi, int32_t clipLo, int32_t clipHi, int32_t srcLo,
                           int32_t srcHi) {
  const int32_t srcW = srcHi - srcLo;
  const int32_t dstW = dstHi - dstLo;
  const int32_t clipW = clipHi - clipLo;
  if (srcW == 0) return {};
  if (srcW == 1) return TMappingTable(static_cast<size_t>(clipW), TCluster{{srcLo, 256}});
  TMappingTable table(static_cast<size_t>(clipW));
  if (clipW == 0) return table;
  const float scale = static_cast<float>(static_cast<double>(dstW) / srcW);
  float filterWidth = 3.0f;
  if (scale < 1.0f) {
    const float oldScale = scale;
    const float inv = static_cast<float>(1.0 / oldScale);
    filterWidth = static_cast<float>(static_cast<double>(filterWidth) * inv);
    for (int32_t i = 0; i < clipW; ++i) {
      const float center = static_cast<float>(srcLo + (i - dstLo + clipLo + 0.5) * static_cast<double>(inv) - 0.5);
      const int32_t left = static_cast<int32_t>(std::floor(static_cast<double>(center) - filterWidth));
      const int32_t right = static_cast<int32_t>(std::ceil(static_cast<double>(center) + filterWidth));
      int32_t sum = -256;
      int32_t k = 0;
      TCluster& cluster = table[static_cast<size_t>(i)];
      for (int32_t j = left; j <= right; ++j) {
        const float value = LanczosFilter(static_cast<float>((static_cast<double>(center) - j) * oldScale));
        const int32_t weight = Round(static_cast<double>(value) * 256 * static_cast<double>(oldScale));
        if (weight != 0) {
          k = static_cast<int32_t>(cluster.size());
          cluster.push_back({Clamp(j, srcLo, srcHi - 1), weight});
          sum += weight;
        }
      }
      if (cluster.empty()) {
        cluster.push_back({static_cast<int32_t>(std::floor(center)), 256});
      } else if (sum != 0) {
        cluster[static_cast<size_t>(k / 2)].Weight -= sum;
      }
    }
  } else {
    const float inv = static_cast<float>(1.0 / scale);
    for (int32_t i = 0; i < clipW; ++i) {
      const float center = static_cast<float>(srcLo + (i - dstLo + clipLo + 0.5) * static_cast<double>(inv) - 0.5);
      const int32_t left = static_cast<int32_t>(std::floor(static_cast<double>(center) - filterWidth));
      const int32_t right = static_cast<int32_t>(std::ceil(static_cast<double>(center) + filterWidth));
      int32_t sum = -256;
      int32_t k = 0;
      TCluster& cluster = table[static_cast<size_t>(i)];
      for (int32_t j = left; j <= right; ++j) {
        const float value = LanczosFilter(static_cast<float>(static_cast<double>(center) - j));
        const int32_t weight = Round(static_cast<double>(value) * 256);
        if (weight != 0) {
          k = static_cast<int32_t>(cluster.size());
          cluster.push_back({Clamp(j, srcLo, srcHi - 1), weight});
          sum += weight;
        }
      }
      if (sum != 0) cluster[static_cast<size_t>(k / 2)].Weight -= sum;
    }
  }
  return table;
}

void BlendPixelMaster(TColor32 f, TColor32& b, uint32_t m) {
  const uint32_t fa = f >> 24;
  if (fa == 0) return;
  const uint32_t w = ((m + 1) * fa) >> 8;
  if (w == 0) return;
  TColor32 result = 0;
  for (int byte = 0; byte < 4; ++byte) {
    const uint32_t fb = (f >> (8 * byte)) & 255;
    const uint32_t bb = (b >> (8 * byte)) & 255;
    result |= ((fb * w + bb * (256 - w) + 128) >> 8) << (8 * byte);
  }
  b = result;
}

TColor32 BlendRowPixel(TColor32 f, TColor32 b) {
  const int32_t fa = static_cast<int32_t>(f >> 24);
  auto limit = [](int32_t v) { return static_cast<TColor32>(v < 0 ? 0 : (v > 255 ? 255 : v)); };
  TColor32 result = 0;
  for (int byte = 0; byte < 3; ++byte) {
    const int32_t fb = static_cast<int32_t>((f >> (8 * byte)) & 255);
    const int32_t bb = static_cast<int32_t>((b >> (8 * byte)) & 255);
    result |= limit(((fb * fa + 128) >> 8) + bb - ((bb * fa + 128) >> 8)) << (8 * byte);
  }
  const int32_t ba = static_cast<int32_t>(b >> 24);
  return result | limit(fa + ba - ((ba * fa + 128) >> 8)) << 24;
}

void Resample(Image& dst, const TRect& dstRect, const TRect& dstClip, const Image& src, const TRect& srcRect,
              TDrawMode mode, uint32_t masterAlpha, bool* overflow) {
  if (mode == dmBlend && masterAlpha == 0) return;
  const TMappingTable mapX = MappingTable(dstRect.Left, dstRect.Right, dstClip.Left, dstClip.Right, srcRect.Left,
                                          srcRect.Right);
  const TMappingTable mapY = MappingTable(dstRect.Top, dstRect.Bottom, dstClip.Top, dstClip.Bottom, srcRect.Top,
                                          srcRect.Bottom);
  if (mapX.empty() || mapY.empty()) return;
  // The span of source columns that the horizontal clusters use. The first
  // entry of the first cluster and the last of the last are not always its
  // ends: a clip span or source rectangle away from the edges lets a later
  // cluster reach further left (the first cluster's outer weights round to
  // 0). So the ends are searched for.
  int32_t lo = mapX.front().front().Pos;
  int32_t hi = mapX.back().back().Pos;
  for (const TCluster& cluster : mapX)
    for (const TPointRec& e : cluster) {
      lo = std::min(lo, e.Pos);
      hi = std::max(hi, e.Pos);
    }
  struct Entry {
    int32_t B, G, R, A;
  };
  std::vector<Entry> buffer(static_cast<size_t>(hi - lo + 1));
  for (int32_t j = dstClip.Top; j < dstClip.Bottom; ++j) {
    const TCluster& clusterY = mapY[static_cast<size_t>(j - dstClip.Top)];
    for (int32_t x = lo; x <= hi; ++x) {
      int64_t a = 0, r = 0, g = 0, b = 0;
      for (const TPointRec& e : clusterY) {
        const TColor32 c = src.At(x, e.Pos);
        a = Wrap(a + int64_t{static_cast<int32_t>(c >> 24)} * e.Weight, overflow);
        r = Wrap(r + int64_t{static_cast<int32_t>((c >> 16) & 255)} * e.Weight, overflow);
        g = Wrap(g + int64_t{static_cast<int32_t>((c >> 8) & 255)} * e.Weight, overflow);
        b = Wrap(b + int64_t{static_cast<int32_t>(c & 255)} * e.Weight, overflow);
      }
      buffer[static_cast<size_t>(x - lo)] = Entry{static_cast<int32_t>(b), static_cast<int32_t>(g),
                                                  static_cast<int32_t>(r), static_cast<int32_t>(a)};
    }
    for (int32_t i = dstClip.Left; i < dstClip.Right; ++i) {
      const TCluster& clusterX = mapX[static_cast<size_t>(i - dstClip.Left)];
      int64_t a = 0, r = 0, g = 0, b = 0;
      for (const TPointRec& e : clusterX) {
        const Entry& s = buffer.at(static_cast<size_t>(e.Pos - lo));
        a = Wrap(a + int64_t{s.A} * e.Weight, overflow);
        r = Wrap(r + int64_t{s.R} * e.Weight, overflow);
        g = Wrap(g + int64_t{s.G} * e.Weight, overflow);
        b = Wrap(b + int64_t{s.B} * e.Weight, overflow);
      }
      const uint32_t ca = static_cast<uint32_t>(ClampSum(static_cast<int32_t>(a)));
      const uint32_t cr = static_cast<uint32_t>(ClampSum(static_cast<int32_t>(r)));
      const uint32_t cg = static_cast<uint32_t>(ClampSum(static_cast<int32_t>(g)));
      const uint32_t cb = static_cast<uint32_t>(ClampSum(static_cast<int32_t>(b)));
      const TColor32 c = (ca << 8) | cr | (cg >> 8) | (cb >> 16);
      if (mode == dmOpaque)
        dst.At(i, j) = c;
      else
        BlendPixelMaster(c, dst.At(i, j), masterAlpha);
    }
  }
}

void DrawTo(const Image& src, TDrawMode mode, uint32_t masterAlpha, Image& dst, const TRect& dstRect,
            const TRect& srcRect) {
  if (src.Width == 0 || src.Height == 0 || dst.Width == 0 || dst.Height == 0) return;
  if (mode == dmBlend && masterAlpha == 0) return;
  if (srcRect.IsEmpty()) return;
  const TRect clip = IntersectRect(TRect{0, 0, dst.Width, dst.Height}, dstRect);
  if (clip.IsEmpty()) return;
  if (srcRect.Width() == dstRect.Width() && srcRect.Height() == dstRect.Height()) {
    const int32_t sx = srcRect.Left + clip.Left - dstRect.Left;
    const int32_t sy = srcRect.Top + clip.Top - dstRect.Top;
    for (int32_t y = clip.Top; y < clip.Bottom; ++y)
      for (int32_t x = clip.Left; x < clip.Right; ++x) {
        const TColor32 f = src.At(sx + x - clip.Left, sy + y - clip.Top);
        TColor32& b = dst.At(x, y);
        if (mode == dmOpaque)
          b = f;
        else if (masterAlpha == 255)
          b = BlendRowPixel(f, b);
        else
          BlendPixelMaster(f, b, masterAlpha);
      }
    return;
  }
  Resample(dst, dstRect, clip, src, srcRect, mode, masterAlpha);
}

Image Thumbnail(const Image& source, bool sourceIs32Bit, int32_t maxWidth, int32_t maxHeight) {
  const TFittedSize size = FitSize(source.Width, source.Height, maxWidth, maxHeight);
  Image src = source;
  if (!sourceIs32Bit)
    for (TColor32& p : src.Pixels) p = (p & 0xFFFFFF) | 0xFF000000u;
  Image dst(size.Width, size.Height, 0);
  DrawTo(src, sourceIs32Bit ? dmBlend : dmOpaque, 255, dst, TRect{0, 0, size.Width, size.Height},
         TRect{0, 0, source.Width, source.Height});
  return dst;
}

}  // namespace quillet::reference
