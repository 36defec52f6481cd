// The thumbnail as the host receives it: its size, its pixels and format,
// and the ways it is refused.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <tuple>

#include "platform/errors.h"
#include "reference.h"
#include "scaling/scaling.h"
#include "scaling/thumbnail.h"
#include "scaling_test_support.h"

namespace quillet {
namespace {

using scaling_test::Content;
using scaling_test::DibContents;
using scaling_test::FirstDifference;
using scaling_test::Hex;
using scaling_test::Image;
using scaling_test::MakeBottomUpDib;
using scaling_test::ReadDib;

struct FitCase {
  int32_t A, B, C, D;
  TFittedSize Expected;
};

TEST(FitSize, FitsTheWidthFirstAndRoundsTiesToEven) {
  const FitCase cases[] = {
      {1000, 1500, 200, 200, {133, 200}},  // the height overflows: Round(133.33)
      {1500, 1000, 200, 200, {200, 133}},
      {4, 2, 5, 10, {5, 2}},               // Round(2.5) = 2
      {4, 6, 5, 10, {5, 8}},               // Round(7.5) = 8
      {1, 1000, 100, 100, {1, 100}},       // width Round(0.1) = 0 becomes 1
      {3000, 1, 96, 96, {96, 1}},          // height Round(0.032) = 0 becomes 1
      {200, 300, 200, 300, {200, 300}},    // fits exactly
      {200, 300, 200, 301, {200, 300}},
      {50, 50, 200, 300, {200, 200}},      // small images are enlarged
      {400, 300, 0, 100, {1, 1}},          // a zero side gives 1 x 1
      {400, 300, 100, 0, {1, 1}},
      {400, 300, -10, 100, {-10, -8}},     // Round(-7.5) = -8
      {400, 300, 100, -10, {-13, -10}},
      {0, 300, 100, 100, {0, 0}},
      {300, 0, 100, 100, {0, 0}},
      {1988, 3056, 256, 256, {167, 256}},
      // Products beyond 32 bits are exact.
      {65535, 65535, 40000, 40000, {40000, 40000}},
      {60000, 50000, 60000, 60000, {60000, 50000}},
  };
  for (const FitCase& c : cases)
    EXPECT_EQ(FitSize(c.A, c.B, c.C, c.D), c.Expected) << c.A << " " << c.B << " " << c.C << " " << c.D;
}

// A thumbnail made by ScaleBitmap, read back.
DibContents Thumbnail(const Image& picture, int bits, int32_t maxW, int32_t maxH) {
  HBITMAP source = MakeBottomUpDib(picture, bits);
  EXPECT_NE(source, nullptr);
  HBITMAP thumbnail = ScaleBitmap(source, maxW, maxH);
  DeleteObject(source);
  if (thumbnail == nullptr) return {};
  DibContents contents = ReadDib(thumbnail, true);
  DeleteObject(thumbnail);
  return contents;
}

Image Expected(const Image& picture, int bits, int32_t maxW, int32_t maxH) {
  Image expected = reference::Thumbnail(picture, bits == 32, maxW, maxH);
  if (bits != 32)
    for (TColor32& p : expected.Pixels) p &= 0xFFFFFF;
  return expected;
}

TEST(ScaleBitmap, MatchesTheRulesForRandomPicturesAndBoxes) {
  std::mt19937 random(71);
  auto pick = [&](int32_t lo, int32_t hi) { return std::uniform_int_distribution<int32_t>(lo, hi)(random); };
  for (int i = 0; i < 60; ++i) {
    const int bits = i % 3 == 0 ? 24 : 32;
    const Image picture = scaling_test::MakeImage(random, pick(1, 140), pick(1, 140),
                                                  bits == 32 ? Content::Premultiplied : Content::Noise);
    const int32_t maxW = pick(1, 160), maxH = pick(1, 160);
    const DibContents thumbnail = Thumbnail(picture, bits, maxW, maxH);
    const TFittedSize size = FitSize(picture.Width, picture.Height, maxW, maxH);
    ASSERT_EQ(thumbnail.Width, size.Width);
    ASSERT_EQ(thumbnail.Height, size.Height);
    ASSERT_EQ(thumbnail.BitsPerPixel, bits);
    EXPECT_EQ(FirstDifference(Expected(picture, bits, maxW, maxH), thumbnail.Pixels), "")
        << picture.Width << "x" << picture.Height << " into " << maxW << "x" << maxH << " at " << bits << " bits";
  }
}

TEST(ScaleBitmap, ReadsTheBottomUpSourceTheRightWayUp) {
  // Top half red, bottom half blue, left column green: the thumbnail's first
  // row in memory is the top of the picture.
  Image picture(40, 60);
  for (int32_t y = 0; y < 60; ++y)
    for (int32_t x = 0; x < 40; ++x) picture.At(x, y) = x < 4 ? 0xFF00FF00 : (y < 30 ? 0xFFFF0000 : 0xFF0000FF);
  for (int bits : {24, 32}) {
    for (int32_t box : {60, 20}) {  // a copy, and a reduction
      const DibContents t = Thumbnail(picture, bits, box, box);
      ASSERT_EQ(t.Height, box) << bits;
      const TColor32 mask = 0xFFFFFF;
      const TColor32 red = bits == 32 ? 0xFE0000 : 0xFF0000, blue = bits == 32 ? 0x0000FE : 0x0000FF;
      EXPECT_EQ(Hex(t.Pixels.At(t.Width - 1, 0) & mask), Hex(red)) << bits << " bits, box " << box;
      EXPECT_EQ(Hex(t.Pixels.At(t.Width - 1, t.Height - 1) & mask), Hex(blue)) << bits << " bits, box " << box;
      EXPECT_EQ(Hex(t.Pixels.At(0, t.Height / 4) & 0x00FF00), Hex(bits == 32 ? 0x00FE00 : 0x00FF00));
    }
  }
}

TEST(ScaleBitmap, ReadsBottomUpAndTopDownSectionsAlike) {
  // A 32-bit source is read where it lies, the row at the highest address
  // included (its last pixels are where vector reads run past a row's end).
  // Its row order is told by its pixels: by the first pair of rows, counting
  // in from both ends, that differ, as on a page whose top and bottom margins
  // are alike; a picture that is its own mirror image reads the same either
  // way up.
  std::mt19937 random(5);
  for (const auto& [width, height, box, mirroredPairs] :
       {std::tuple{37, 53, 16, 0}, std::tuple{64, 9, 20, 0}, std::tuple{8, 8, 40, 0}, std::tuple{30, 45, 12, 1},
        std::tuple{30, 45, 12, 7}, std::tuple{31, 44, 12, 22}, std::tuple{31, 45, 12, 22}, std::tuple{5, 1, 3, 0},
        // Narrow sections, enlarged and reduced: the scaler reads past each
        // row's end, and must stay within the section's memory.
        std::tuple{1, 40, 60, 0}, std::tuple{2, 40, 60, 0}, std::tuple{3, 17, 40, 0}, std::tuple{5, 30, 45, 3},
        std::tuple{7, 12, 30, 0}, std::tuple{7, 40, 5, 0}, std::tuple{8, 40, 60, 0}}) {
    Image picture = scaling_test::MakeImage(random, width, height, Content::Premultiplied);
    for (int32_t pair = 0; pair < mirroredPairs; ++pair)
      std::copy_n(picture.Pixels.begin() + static_cast<ptrdiff_t>(pair) * width, width,
                  picture.Pixels.begin() + static_cast<ptrdiff_t>(height - 1 - pair) * width);
    HBITMAP topDown = scaling_test::MakeTopDownDib(picture, 32);
    ASSERT_NE(topDown, nullptr);
    HBITMAP thumbnail = ScaleBitmap(topDown, box, box);
    DeleteObject(topDown);
    ASSERT_NE(thumbnail, nullptr);
    const DibContents fromTopDown = ReadDib(thumbnail, true);
    DeleteObject(thumbnail);
    EXPECT_EQ(FirstDifference(Expected(picture, 32, box, box), fromTopDown.Pixels), "")
        << width << "x" << height << " into " << box << ", " << mirroredPairs << " mirrored pairs";
    EXPECT_EQ(FirstDifference(Thumbnail(picture, 32, box, box).Pixels, fromTopDown.Pixels), "");
  }
}

TEST(ScaleBitmap, ConstantPicturesComeThroughUnchangedApartFromTheBlend) {
  // Opaque 24-bit sources keep their colour exactly. 32-bit sources are
  // blended onto transparent black: a channel above 128 loses one, and the
  // alpha becomes 254 when resampled (255 when copied at the same size).
  const int32_t sizes[][2] = {{1, 1}, {3, 7}, {64, 48}, {300, 200}, {1000, 3}, {2, 999}, {97, 103}};
  const int32_t boxes[][2] = {{1, 1}, {16, 16}, {96, 96}, {256, 256}, {300, 200}, {1000, 1000}, {7, 500}};
  for (int bits : {24, 32})
    for (const auto& s : sizes)
      for (const auto& b : boxes) {
        const TColor32 colour = 0xFF000000u | static_cast<TColor32>((s[0] * 73 + s[1] * 31 + b[0]) * 2654435761u >> 8);
        const Image picture(s[0], s[1], colour);
        const DibContents t = Thumbnail(picture, bits, b[0], b[1]);
        ASSERT_GT(t.Width, 0);
        const bool copied = t.Width == s[0] && t.Height == s[1];
        TColor32 expected = colour & 0xFFFFFF;
        if (bits == 32) {
          expected = 0;
          for (int c = 0; c < 3; ++c) {
            const uint32_t v = (colour >> (8 * c)) & 255;
            expected |= (v <= 128 ? v : v - 1) << (8 * c);
          }
          expected |= (copied ? 255u : 254u) << 24;
        }
        for (TColor32 p : t.Pixels.Pixels)
          ASSERT_EQ(Hex(p), Hex(expected)) << s[0] << "x" << s[1] << " into " << b[0] << "x" << b[1] << " at " << bits;
      }
}

TEST(ScaleBitmap, AnImageThatFitsExactlyIsCopied) {
  std::mt19937 random(81);
  const Image picture = scaling_test::MakeImage(random, 200, 300, Content::Noise);
  const DibContents t24 = Thumbnail(picture, 24, 200, 300);
  for (size_t i = 0; i < picture.Pixels.size(); ++i)
    ASSERT_EQ(Hex(t24.Pixels.Pixels[i]), Hex(picture.Pixels[i] & 0xFFFFFF)) << i;
  const Image premultiplied = scaling_test::MakeImage(random, 200, 300, Content::Premultiplied);
  const DibContents t32 = Thumbnail(premultiplied, 32, 200, 300);
  for (size_t i = 0; i < premultiplied.Pixels.size(); ++i)
    ASSERT_EQ(Hex(t32.Pixels.Pixels[i]), Hex(reference::BlendRowPixel(premultiplied.Pixels[i], 0))) << i;
}

TEST(ScaleBitmap, TwentyFourBitRowsArePaddedToFourBytes) {
  std::mt19937 random(91);
  for (int32_t width : {1, 2, 3, 4, 5, 6, 7}) {
    const Image picture = scaling_test::MakeImage(random, width * 3, 30, Content::Noise);
    const DibContents t = Thumbnail(picture, 24, width, 100);
    ASSERT_EQ(t.Width, width);
    ASSERT_EQ(t.Height, 10);
    EXPECT_EQ(t.BitsPerPixel, 24);
    EXPECT_EQ(t.Stride, (width * 3 + 3) / 4 * 4) << width;  // width 5: 15 bytes of pixels, stride 16
    for (uint8_t padding : t.PaddingBytes) EXPECT_EQ(padding, 0) << width;  // as the section was created
    EXPECT_EQ(FirstDifference(Expected(picture, 24, width, 100), t.Pixels), "") << width;
  }
}

TEST(ScaleBitmap, ThirtyTwoBitOutputIsOneBlockOfTopDownRows) {
  std::mt19937 random(92);
  const Image picture = scaling_test::MakeImage(random, 33, 17, Content::Premultiplied);
  const DibContents t = Thumbnail(picture, 32, 66, 66);
  EXPECT_EQ(t.Width, 66);
  EXPECT_EQ(t.Height, 34);
  EXPECT_EQ(t.Stride, 66 * 4);
  EXPECT_TRUE(t.PaddingBytes.empty());
}

TEST(ScaleBitmap, RefusesWhatItCannotThumbnail) {
  EXPECT_EQ(ScaleBitmap(nullptr, 100, 100), nullptr);  // the query fails
  const Image picture(10, 20, 0xFF336699);
  HBITMAP source = MakeBottomUpDib(picture, 32);
  ASSERT_NE(source, nullptr);
  // A negative side of the box: FitSize gives a negative side, no bitmap.
  EXPECT_EQ(ScaleBitmap(source, -10, 100), nullptr);
  EXPECT_EQ(ScaleBitmap(source, 100, -10), nullptr);
  EXPECT_EQ(ScaleBitmap(source, -5, -5), nullptr);
  // A zero side: 1 x 1.
  for (const auto& [w, h] : {std::pair{0, 100}, std::pair{100, 0}, std::pair{0, 0}}) {
    HBITMAP thumbnail = ScaleBitmap(source, w, h);
    ASSERT_NE(thumbnail, nullptr);
    const DibContents t = ReadDib(thumbnail, true);
    EXPECT_EQ(t.Width, 1);
    EXPECT_EQ(t.Height, 1);
    DeleteObject(thumbnail);
  }
  // The source is neither changed nor freed.
  const DibContents after = ReadDib(source, false);
  EXPECT_EQ(FirstDifference(picture, after.Pixels), "");
  DeleteObject(source);
}

TEST(ScaleBitmap, AnOutputTooLargeForADibIsRefusedBeforeAnythingIsAllocated) {
  const Image picture(1, 1, 0xFF000000);
  HBITMAP source = MakeBottomUpDib(picture, 32);
  ASSERT_NE(source, nullptr);
  EXPECT_EQ(ScaleBitmap(source, 40000, 40000), nullptr);  // 6.4 GB of pixels
  DeleteObject(source);
}

TEST(ScaleBitmap, WithoutTheRegistriesThereIsNoThumbnail) {
  // Rather no thumbnail than one drawn by the wrong resampler.
  const Image picture(10, 20, 0xFF336699);
  HBITMAP source = MakeBottomUpDib(picture, 32);
  ASSERT_NE(source, nullptr);
  FinalizeScaling();
  HBITMAP thumbnail = ScaleBitmap(source, 5, 5);
  InitializeScaling();
  EXPECT_EQ(thumbnail, nullptr);
  if (thumbnail != nullptr) DeleteObject(thumbnail);
  thumbnail = ScaleBitmap(source, 5, 5);
  EXPECT_NE(thumbnail, nullptr);
  DeleteObject(thumbnail);
  DeleteObject(source);
}

}  // namespace
}  // namespace quillet

namespace quillet {
namespace {

// The digest of a set of thumbnails made from pictures that depend on
// nothing but the raw output of mt19937 (the standard fixes it): equal on
// every target and every vector level, since each byte is specified.
uint64_t ThumbnailDigest() {
  std::mt19937 random(4711);
  uint64_t digest = 14695981039346656037ull;  // FNV-1a
  auto add = [&](uint32_t value) {
    for (int i = 0; i < 4; ++i) {
      digest ^= (value >> (8 * i)) & 255;
      digest *= 1099511628211ull;
    }
  };
  struct Job {
    int32_t W, H, Bits, BoxW, BoxH;
  };
  for (const Job& job : {Job{640, 960, 32, 96, 96}, Job{640, 960, 24, 200, 200}, Job{123, 77, 32, 500, 500},
                         Job{77, 123, 24, 31, 300}, Job{1500, 40, 32, 256, 256}, Job{5, 3, 32, 5, 3}}) {
    Image picture(job.W, job.H);
    for (TColor32& p : picture.Pixels) {
      const uint32_t bits = static_cast<uint32_t>(random());
      const uint32_t a = job.Bits == 32 ? bits >> 24 : 255;
      p = a << 24 | ((bits & 255) * a / 255) | (((bits >> 8) & 255) * a / 255) << 8 |
          (((bits >> 16) & 255) * a / 255) << 16;
    }
    const DibContents t = Thumbnail(picture, job.Bits, job.BoxW, job.BoxH);
    add(static_cast<uint32_t>(t.Width));
    add(static_cast<uint32_t>(t.Height));
    for (TColor32 p : t.Pixels.Pixels) add(p);
  }
  return digest;
}

TEST(ScaleBitmap, GivesTheSameBytesOnEveryTargetAndLevel) {
  for (resample_engine::TSimdLevel level : scaling_test::AvailableLevels()) {
    scaling_test::EngineSettings settings(level, resample_engine::RingByteLimit());
    EXPECT_EQ(ThumbnailDigest(), 0x13CE93F9753A882Dull) << scaling_test::LevelName(level);
  }
}

}  // namespace
}  // namespace quillet
