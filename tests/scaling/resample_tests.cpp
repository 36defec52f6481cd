// The kernel resampler: the worked examples, uniform areas, and the fast
// engine against the plain reference on many random cases.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>

#include "reference.h"
#include "scaling/bitmap32.h"
#include "scaling/resample_engine.h"
#include "scaling/resamplers.h"
#include "scaling_test_support.h"

namespace quillet {
namespace {

using resample_engine::TSimdLevel;
using scaling_test::AvailableLevels;
using scaling_test::Content;
using scaling_test::CopyFromSurface;
using scaling_test::CopyToSurface;
using scaling_test::EngineSettings;
using scaling_test::FirstDifference;
using scaling_test::Hex;
using scaling_test::Image;
using scaling_test::LevelName;

constexpr size_t kDefaultRing = size_t{16} << 20;

void UseLanczos(TBitmap32& surface) {
  surface.SetResamplerClassName("TKernelResampler");
  dynamic_cast<TKernelResampler&>(surface.Resampler()).SetKernelClassName("TLanczosKernel");
}

Image Grey4x1() {
  Image grey(4, 1);
  const uint32_t values[4] = {0, 100, 200, 255};
  for (int32_t x = 0; x < 4; ++x) grey.At(x, 0) = 0xFF000000u | values[x] * 0x010101u;
  return grey;
}

TEST(KernelResampler, GreyFourByOneOntoTwoByOne) {
  struct Case {
    TDrawMode Mode;
    TColor32 First;
    TColor32 Second;
  };
  // Pixel 0: (114 * 100 + 35 * 200 - 21 * 255) / 256 = 50.96, cut to 50;
  // pixel 1: (35 * 100 + 114 * 200 + 128 * 255) / 256 = 230.23. Blending onto
  // transparent black then costs alpha and the bright value one step.
  const Case cases[] = {{dmOpaque, 0xFF323232, 0xFFE6E6E6}, {dmBlend, 0xFE323232, 0xFEE5E5E5}};
  for (TSimdLevel level : AvailableLevels()) {
    EngineSettings settings(level, kDefaultRing);
    for (const Case& c : cases) {
      TBitmap32 source, target;
      CopyToSurface(Grey4x1(), source);
      source.SetDrawMode(c.Mode);
      UseLanczos(source);
      target.SetSize(2, 1);
      target.Clear(0);
      source.DrawTo(&target, TRect{0, 0, 2, 1}, TRect{0, 0, 4, 1});
      EXPECT_EQ(Hex(target.Bits()[0]), Hex(c.First)) << LevelName(level);
      EXPECT_EQ(Hex(target.Bits()[1]), Hex(c.Second)) << LevelName(level);
    }
  }
}

TEST(KernelResampler, OvershootIsClampedAtBothEnds) {
  // A bright line on black: the negative lobes would go below 0 beside it,
  // and the sums above 255 on it.
  Image line(9, 1, 0xFF000000);
  line.At(4, 0) = 0xFFFFFFFF;
  line.At(5, 0) = 0xFFFFFFFF;
  TBitmap32 source, target;
  CopyToSurface(line, source);
  UseLanczos(source);
  target.SetSize(23, 1);
  target.Clear(0);
  source.DrawTo(&target, TRect{0, 0, 23, 1}, TRect{0, 0, 9, 1});
  Image expected(23, 1, 0);
  bool overflow = false;
  reference::Resample(expected, TRect{0, 0, 23, 1}, TRect{0, 0, 23, 1}, line, TRect{0, 0, 9, 1}, dmOpaque, 255,
                      &overflow);
  EXPECT_FALSE(overflow);
  EXPECT_EQ(FirstDifference(expected, CopyFromSurface(target)), "");
  int black = 0, white = 0;
  for (TColor32 p : expected.Pixels) {
    black += (p & 0xFFFFFF) == 0;
    white += (p & 0xFFFFFF) == 0xFFFFFF;
  }
  EXPECT_GT(black, 2);
  EXPECT_GT(white, 0);
}

// Uniform areas come through exactly: the weights of every cluster add up to
// 256 on both axes.
TEST(KernelResampler, ConstantPicturesStayConstantThroughEverySize) {
  const int32_t sizes[] = {1, 2, 3, 5, 8, 13, 31, 64, 100, 257, 600, 1023, 1024, 1500};
  std::mt19937 random(31);
  for (TSimdLevel level : AvailableLevels()) {
    EngineSettings settings(level, kDefaultRing);
    for (int32_t sw : sizes)
      for (int32_t dw : sizes) {
        const int32_t sh = sizes[(sw + dw) % 14] % 97 + 1;
        const int32_t dh = sizes[(sw * 3 + dw) % 14] % 89 + 1;
        if (sw == dw && sh == dh) continue;
        const TColor32 colour = 0xFF000000u | (random() & 0xFFFFFF);
        TBitmap32 source, target;
        source.SetSize(sw, sh);
        source.Clear(colour);
        UseLanczos(source);
        target.SetSize(dw, dh);
        target.Clear(0x12345678);
        source.DrawTo(&target, target.BoundsRect(), source.BoundsRect());
        for (int32_t i = 0; i < dw * dh; ++i)
          ASSERT_EQ(Hex(target.Bits()[i]), Hex(colour))
              << sw << "x" << sh << " onto " << dw << "x" << dh << " " << LevelName(level);
      }
  }
}

TEST(KernelResampler, SameSizeResamplingIsTheBlockCopyForOpaqueSurfaces) {
  // Equal spans make clusters of one entry of 256: resampling copies. In blend
  // mode the two paths differ only in the alpha, by their two blends.
  std::mt19937 random(41);
  const Image picture = scaling_test::MakeImage(random, 37, 23, Content::Premultiplied);
  for (TSimdLevel level : AvailableLevels()) {
    EngineSettings settings(level, kDefaultRing);
    for (TDrawMode mode : {dmOpaque, dmBlend}) {
      TBitmap32 source, copied, resampled;
      CopyToSurface(picture, source);
      source.SetDrawMode(mode);
      UseLanczos(source);
      copied.SetSize(37, 23);
      copied.Clear(0);
      resampled.SetSize(37, 23);
      resampled.Clear(0);
      source.DrawTo(&copied, copied.BoundsRect(), source.BoundsRect());
      source.Resampler().Resample(resampled, resampled.BoundsRect(), resampled.BoundsRect(), source,
                                  source.BoundsRect(), mode);
      for (size_t i = 0; i < picture.Pixels.size(); ++i) {
        const TColor32 f = picture.Pixels[i];
        const TColor32 c = copied.Bits()[i];
        const TColor32 r = resampled.Bits()[i];
        if (mode == dmOpaque) {
          ASSERT_EQ(c, f);
          ASSERT_EQ(r, f);
        } else {
          const uint32_t fa = f >> 24;
          ASSERT_EQ(c & 0xFFFFFF, r & 0xFFFFFF) << i;
          ASSERT_EQ(c >> 24, fa);
          ASSERT_EQ(r >> 24, (fa * fa + 128) >> 8);
        }
      }
    }
  }
}

// One random drawing: sizes, rectangles, content and mode.
struct RandomCase {
  Image Source;
  Image Background;
  TRect DstRect;
  TRect SrcRect;
  TDrawMode Mode;
  uint32_t MasterAlpha;
  std::string Describe() const {
    char text[200];
    std::snprintf(text, sizeof text, "source %dx%d rect (%d,%d,%d,%d) onto %dx%d rect (%d,%d,%d,%d) %s %u",
                  Source.Width, Source.Height, SrcRect.Left, SrcRect.Top, SrcRect.Right, SrcRect.Bottom,
                  Background.Width, Background.Height, DstRect.Left, DstRect.Top, DstRect.Right, DstRect.Bottom,
                  Mode == dmBlend ? "blend" : "opaque", MasterAlpha);
    return text;
  }
};

int32_t Pick(std::mt19937& random, int32_t lo, int32_t hi) {
  return std::uniform_int_distribution<int32_t>(lo, hi)(random);
}

// A span pair of the kind `kind`: 0 reducing, 1 enlarging, 2 equal, 3 one
// source pixel, 4 one destination pixel, 5 extreme reduction, 6 extreme
// enlargement, 7 any.
void PickSpans(std::mt19937& random, int kind, int32_t& src, int32_t& dst) {
  switch (kind) {
    case 0:
      src = Pick(random, 2, 300);
      dst = Pick(random, 1, src - 1);
      break;
    case 1:
      src = Pick(random, 1, 60);
      dst = Pick(random, src + 1, 200);
      break;
    case 2:
      src = dst = Pick(random, 1, 80);
      break;
    case 3:
      src = 1;
      dst = Pick(random, 1, 50);
      break;
    case 4:
      src = Pick(random, 1, 400);
      dst = 1;
      break;
    case 5:
      dst = Pick(random, 1, 3);
      src = dst * Pick(random, 200, 1100);
      break;
    case 6:
      src = Pick(random, 1, 3);
      dst = src * Pick(random, 30, 150);
      break;
    default:
      src = Pick(random, 1, 120);
      dst = Pick(random, 1, 120);
      break;
  }
}

RandomCase MakeCase(std::mt19937& random, int index) {
  RandomCase c;
  int32_t srcW, dstW, srcH, dstH;
  const int kindX = index % 8;
  const int kindY = (index / 8 + index % 3) % 8;  // mixed pairs of kinds
  PickSpans(random, kindX, srcW, dstW);
  PickSpans(random, kindY, srcH, dstH);
  // Keep the extreme cases small in the other direction.
  if (kindX >= 5) {
    srcH = std::min(srcH, 40);
    dstH = std::min(dstH, 40);
  }
  if (kindY >= 5) {
    srcW = std::min(srcW, 40);
    dstW = std::min(dstW, 40);
  }
  const Content contents[] = {Content::Noise, Content::Premultiplied, Content::Sparks, Content::Constant,
                              Content::Gradient};
  // A source surface larger than the rectangle read from it, sometimes.
  const bool subRect = Pick(random, 0, 3) == 0;
  const int32_t padLeft = subRect ? Pick(random, 0, 5) : 0, padTop = subRect ? Pick(random, 0, 5) : 0;
  const int32_t padRight = subRect ? Pick(random, 0, 5) : 0, padBottom = subRect ? Pick(random, 0, 5) : 0;
  c.Source = scaling_test::MakeImage(random, srcW + padLeft + padRight, srcH + padTop + padBottom,
                                     contents[Pick(random, 0, 4)]);
  c.SrcRect = TRect{padLeft, padTop, padLeft + srcW, padTop + srcH};
  // A destination rectangle that sometimes sticks out of the destination.
  const bool clipped = Pick(random, 0, 2) == 0;
  const int32_t offX = clipped ? Pick(random, -dstW / 2 - 1, 3) : 0;
  const int32_t offY = clipped ? Pick(random, -dstH / 2 - 1, 3) : 0;
  const int32_t bgW = clipped ? std::max(1, dstW + Pick(random, -dstW / 2, 4)) : dstW;
  const int32_t bgH = clipped ? std::max(1, dstH + Pick(random, -dstH / 2, 4)) : dstH;
  c.Background = scaling_test::MakeImage(random, bgW, bgH, Pick(random, 0, 1) ? Content::Noise : Content::Constant);
  if (Pick(random, 0, 1)) std::fill(c.Background.Pixels.begin(), c.Background.Pixels.end(), 0);
  c.DstRect = TRect{offX, offY, offX + dstW, offY + dstH};
  c.Mode = Pick(random, 0, 1) ? dmBlend : dmOpaque;
  const uint32_t alphas[] = {255, 255, 255, 0, 1, 127, 254};
  c.MasterAlpha = alphas[Pick(random, 0, 6)];
  return c;
}

Image DrawFast(const RandomCase& c) {
  TBitmap32 source, target;
  CopyToSurface(c.Source, source);
  CopyToSurface(c.Background, target);
  source.SetDrawMode(c.Mode);
  source.SetMasterAlpha(c.MasterAlpha);
  UseLanczos(source);
  source.DrawTo(&target, c.DstRect, c.SrcRect);
  return CopyFromSurface(target);
}

Image DrawReference(const RandomCase& c, bool* overflow) {
  Image expected = c.Background;
  const TRect clip = IntersectRect(TRect{0, 0, expected.Width, expected.Height}, c.DstRect);
  if (c.SrcRect.Width() == c.DstRect.Width() && c.SrcRect.Height() == c.DstRect.Height())
    reference::DrawTo(c.Source, c.Mode, c.MasterAlpha, expected, c.DstRect, c.SrcRect);
  else if (!clip.IsEmpty())
    reference::Resample(expected, c.DstRect, clip, c.Source, c.SrcRect, c.Mode, c.MasterAlpha, overflow);
  return expected;
}

int RandomCaseCount() {
  if (const char* text = std::getenv("QUILLET_SCALING_CASES"); text != nullptr && std::atoi(text) > 0)
    return std::atoi(text);
  return 1200;
}

TEST(ResampleEngine, MatchesTheReferenceByteForByteOnRandomCases) {
  const int count = RandomCaseCount();
  for (TSimdLevel level : AvailableLevels()) {
    std::mt19937 random(20240611);
    int compared = 0, resampled = 0;
    for (int i = 0; i < count; ++i) {
      const RandomCase c = MakeCase(random, i);
      // Now and then a ring too small for one destination row, so that rows
      // are summed in parts.
      const size_t ring = i % 5 == 4 ? static_cast<size_t>(Pick(random, 1, 3000)) : kDefaultRing;
      EngineSettings settings(level, ring);
      bool overflow = false;
      const Image expected = DrawReference(c, &overflow);
      ASSERT_FALSE(overflow) << c.Describe();
      const Image actual = DrawFast(c);
      ASSERT_EQ(FirstDifference(expected, actual), "")
          << "case " << i << ": " << c.Describe() << " ring " << ring << " " << LevelName(level);
      ++compared;
      resampled += c.SrcRect.Width() != c.DstRect.Width() || c.SrcRect.Height() != c.DstRect.Height();
    }
    EXPECT_EQ(compared, count);
    EXPECT_GT(resampled, count * 3 / 4);
    std::printf("[          ] %s: %d random cases equal to the reference, %d of them resampled\n", LevelName(level),
                compared, resampled);
  }
}

TEST(ResampleEngine, MatchesTheReferenceOnStrongReductions) {
  // Reductions by 4 and more over wide sources: the horizontal pass then sums
  // in 16-bit lanes with 8-bit weights, where the small random cases rarely
  // get; the edges and heavy clamping still fall back to 32-bit lanes.
  const int count = std::max(300, RandomCaseCount() / 4);
  for (TSimdLevel level : AvailableLevels()) {
    EngineSettings settings(level, kDefaultRing);
    std::mt19937 random(777);
    for (int i = 0; i < count; ++i) {
      const int32_t srcW = Pick(random, 64, 1400), srcH = Pick(random, 8, 300);
      const int32_t dstW = std::max(1, srcW / Pick(random, 4, 60)), dstH = Pick(random, 1, std::max(1, srcH / 2));
      const Content contents[] = {Content::Noise, Content::Premultiplied, Content::Sparks, Content::Gradient};
      RandomCase c{scaling_test::MakeImage(random, srcW, srcH, contents[i % 4]), Image(dstW, dstH, 0),
                   TRect{0, 0, dstW, dstH}, TRect{0, 0, srcW, srcH}, i % 2 ? dmBlend : dmOpaque, 255};
      if (i % 3 == 0) {  // a clipped part and a sub-rectangle of the source
        c.DstRect = TRect{-Pick(random, 0, dstW / 3), 0, dstW, dstH};
        c.SrcRect = TRect{Pick(random, 0, 9), 0, srcW - Pick(random, 0, 9), srcH};
      }
      bool overflow = false;
      const Image expected = DrawReference(c, &overflow);
      ASSERT_FALSE(overflow);
      ASSERT_EQ(FirstDifference(expected, DrawFast(c)), "") << "case " << i << ": " << c.Describe() << " "
                                                             << LevelName(level);
    }
    std::printf("[          ] %s: %d strong reductions equal to the reference\n", LevelName(level), count);
  }
}

TEST(ResampleEngine, EveryLevelGivesTheSameBytesOnLargePictures) {
  // Sizes like real pages and thumbnails, where the 8-bit weight lanes are
  // taken; the reference is too slow here, the levels check one another and
  // the reference checks a band of rows.
  std::mt19937 random(51);
  const Image page = scaling_test::MakeImage(random, 997, 1531, Content::Premultiplied);
  struct Target {
    int32_t W, H;
  };
  for (const Target& t : {Target{167, 256}, Target{83, 128}, Target{500, 768}, Target{1200, 1600}}) {
    std::vector<Image> results;
    for (TSimdLevel level : AvailableLevels()) {
      EngineSettings settings(level, kDefaultRing);
      RandomCase c{page, Image(t.W, t.H, 0), TRect{0, 0, t.W, t.H}, TRect{0, 0, 997, 1531}, dmBlend, 255};
      results.push_back(DrawFast(c));
    }
    for (size_t i = 1; i < results.size(); ++i) EXPECT_EQ(FirstDifference(results[0], results[i]), "") << t.W;
    Image band(t.W, t.H, 0);
    const TRect clip{0, t.H / 2, t.W, t.H / 2 + 3};
    reference::Resample(band, TRect{0, 0, t.W, t.H}, clip, page, TRect{0, 0, 997, 1531}, dmBlend, 255);
    for (int32_t y = clip.Top; y < clip.Bottom; ++y)
      for (int32_t x = 0; x < t.W; ++x) ASSERT_EQ(Hex(results[0].At(x, y)), Hex(band.At(x, y))) << x << "," << y;
  }
}

TEST(OtherResamplers, DrawHonestly) {
  std::mt19937 random(61);
  const Image picture = scaling_test::MakeImage(random, 8, 6, Content::Gradient);
  struct Case {
    const char* Name;
    int32_t W, H;
  };
  for (const Case& c : {Case{"TNearestResampler", 16, 12}, Case{"TNearestResampler", 4, 3},
                        Case{"TLinearResampler", 16, 12}, Case{"TDraftResampler", 4, 3},
                        Case{"TDraftResampler", 16, 12}}) {
    TBitmap32 source, target;
    CopyToSurface(picture, source);
    source.SetResamplerClassName(c.Name);
    ASSERT_EQ(source.ResamplerClassName(), c.Name);
    target.SetSize(c.W, c.H);
    target.Clear(0);
    source.DrawTo(&target, target.BoundsRect(), source.BoundsRect());
    const Image result = CopyFromSurface(target);
    for (int32_t y = 0; y < c.H; ++y)
      for (int32_t x = 0; x < c.W; ++x) {
        const TColor32 p = result.At(x, y);
        ASSERT_EQ(p >> 24, 255u) << c.Name;
        const std::string name = c.Name;
        if (name == "TNearestResampler") {
          // The pixel under the centre.
          ASSERT_EQ(p, picture.At((2 * x + 1) * 8 / (2 * c.W), (2 * y + 1) * 6 / (2 * c.H))) << x << "," << y;
        } else if (name == "TDraftResampler" && c.W == 4) {
          // Halving: the rounded-down average of each 2 x 2 block, per channel.
          for (int ch = 0; ch < 3; ++ch) {
            uint32_t sum = 0;
            for (int dy = 0; dy < 2; ++dy)
              for (int dx = 0; dx < 2; ++dx) sum += (picture.At(2 * x + dx, 2 * y + dy) >> (8 * ch)) & 255;
            ASSERT_EQ((p >> (8 * ch)) & 255, sum / 4) << x << "," << y << " channel " << ch;
          }
        }
      }
  }
}

}  // namespace
}  // namespace quillet
