// Every kind of PNG the format allows decodes to exactly the pixels of the
// platform's general decoder. On Linux the module reads 8-bit PNG pages
// through libpng itself, straight into the bitmap, and leaves the rest to
// gdk-pixbuf: whichever way a page goes, its thumbnail must not change.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "images/support/image_fixtures.h"
#include "images/support/test_imaging.h"
#include "platform/image_decoding.h"

namespace quillet {
namespace {

struct PngKind {
  std::string Name;
  uint8_t ColourType;
  uint8_t BitDepth;
  bool Interlaced = false;
  bool Transparent = false;  // a tRNS chunk
  uint32_t Gamma = 0;
};

void PrintTo(const PngKind& AKind, std::ostream* AOut) { *AOut << AKind.Name; }

int ChannelsOf(uint8_t AColourType) {
  switch (AColourType) {
    case 2: return 3;
    case 4: return 2;
    case 6: return 4;
    default: return 1;
  }
}

// 13 x 11 pixels of random samples: odd sides, so that rows of sub-byte
// samples end inside a byte and every Adam7 pass has a ragged edge. A third
// of the pixels take the transparent colour, where there is one.
test::TPngImage MakeImage(const PngKind& AKind) {
  test::TPngImage image;
  image.Width = 13;
  image.Height = 11;
  image.ColourType = AKind.ColourType;
  image.BitDepth = AKind.BitDepth;
  image.Interlaced = AKind.Interlaced;
  image.Gamma = AKind.Gamma;
  std::mt19937 random(AKind.ColourType * 100 + AKind.BitDepth);
  const uint32_t top = (1u << AKind.BitDepth) - 1;
  const int channels = ChannelsOf(AKind.ColourType);
  if (AKind.ColourType == 3) {
    const uint32_t entries = top + 1;
    for (uint32_t i = 0; i < entries; ++i)
      image.Palette.push_back({static_cast<uint8_t>(random()), static_cast<uint8_t>(random()),
                               static_cast<uint8_t>(random()), 255});
    // Fewer alphas than entries: the rest are opaque.
    if (AKind.Transparent)
      for (uint32_t i = 0; i < (entries + 1) / 2; ++i) image.Transparent.push_back(static_cast<uint16_t>(random() % 256));
  } else if (AKind.Transparent) {
    for (int c = 0; c < channels; ++c) image.Transparent.push_back(static_cast<uint16_t>(random() % (top + 1)));
  }
  for (int p = 0; p < image.Width * image.Height; ++p) {
    if (!image.Transparent.empty() && AKind.ColourType != 3 && p % 3 == 0) {
      image.Samples.insert(image.Samples.end(), image.Transparent.begin(), image.Transparent.end());
      continue;
    }
    for (int c = 0; c < channels; ++c) image.Samples.push_back(static_cast<uint16_t>(random() % (top + 1)));
  }
  return image;
}

class PngKinds : public ::testing::TestWithParam<PngKind> {};

TEST_P(PngKinds, DecodeToThePixelsOfThePlatformsGeneralDecoder) {
  const test::TBytes png = test::MakePngOf(MakeImage(GetParam()));
  const std::optional<platform::DecodedImage> expected = test::DecodeWithTheGeneralDecoder(png);
  if (!expected) GTEST_SKIP() << "the module has no decoder of its own beside the platform's";
  const platform::DecodedImage decoded = platform::DecodeFirstFrame(png.data(), png.size());
  ASSERT_EQ(decoded.width, expected->width);
  ASSERT_EQ(decoded.height, expected->height);
  ASSERT_EQ(decoded.pixels.size(), expected->pixels.size());
  for (size_t i = 0; i < decoded.pixels.size(); i += 4) {
    const std::vector<uint8_t> ours(decoded.pixels.begin() + static_cast<std::ptrdiff_t>(i),
                                    decoded.pixels.begin() + static_cast<std::ptrdiff_t>(i + 4));
    const std::vector<uint8_t> theirs(expected->pixels.begin() + static_cast<std::ptrdiff_t>(i),
                                      expected->pixels.begin() + static_cast<std::ptrdiff_t>(i + 4));
    ASSERT_EQ(ours, theirs) << "pixel " << i / 4 << " (BGRA)";
  }
}

INSTANTIATE_TEST_SUITE_P(
    EveryColourTypeAndDepth, PngKinds,
    ::testing::Values(PngKind{"grey1", 0, 1}, PngKind{"grey2", 0, 2}, PngKind{"grey4", 0, 4}, PngKind{"grey8", 0, 8},
                      PngKind{"grey16", 0, 16}, PngKind{"grey1_transparent", 0, 1, false, true},
                      PngKind{"grey8_transparent", 0, 8, false, true}, PngKind{"grey2_interlaced", 0, 2, true},
                      PngKind{"grey8_interlaced_transparent", 0, 8, true, true}, PngKind{"rgb8", 2, 8},
                      PngKind{"rgb16", 2, 16}, PngKind{"rgb8_transparent", 2, 8, false, true},
                      PngKind{"rgb16_transparent", 2, 16, false, true}, PngKind{"rgb8_interlaced", 2, 8, true},
                      PngKind{"rgb8_gamma_1", 2, 8, false, false, 100000},
                      PngKind{"rgb8_gamma_045", 2, 8, false, false, 45455}, PngKind{"palette1", 3, 1},
                      PngKind{"palette2", 3, 2}, PngKind{"palette4", 3, 4}, PngKind{"palette8", 3, 8},
                      PngKind{"palette2_transparent", 3, 2, false, true},
                      PngKind{"palette8_transparent", 3, 8, false, true},
                      PngKind{"palette4_interlaced_transparent", 3, 4, true, true}, PngKind{"grey_alpha8", 4, 8},
                      PngKind{"grey_alpha16", 4, 16}, PngKind{"grey_alpha8_interlaced", 4, 8, true},
                      PngKind{"rgba8", 6, 8}, PngKind{"rgba16", 6, 16}, PngKind{"rgba8_interlaced", 6, 8, true},
                      PngKind{"rgba8_gamma_045", 6, 8, false, false, 45455}),
    [](const ::testing::TestParamInfo<PngKind>& AInfo) { return AInfo.param.Name; });

// Text chunks say nothing of the pixels: decoding a page must not inflate
// them. 40 chunks of 7.5 MiB of text each (libpng keeps a text chunk up to
// 8,000,000 bytes), 300 MiB in a file of 2 MB, whether the page goes
// libpng's way or, with a damaged text chunk, gdk-pixbuf's.
TEST(PngText, IsNotInflatedWhateverWayThePageIsDecoded) {
#ifdef _WIN32
  GTEST_SKIP() << "WIC reads the file's chunks its own way";
#else
  for (const bool damagedText : {false, true}) {
    const test::TBytes png = test::MakePngFullOfText(40, uint64_t{15} << 19, damagedText);
    ASSERT_LT(png.size(), size_t{3} << 20);
    const uint64_t peakBefore = test::PeakMemoryBytes();
    const platform::DecodedImage decoded = platform::DecodeFirstFrame(png.data(), png.size());
    EXPECT_EQ(decoded.width, 16);
    EXPECT_EQ(decoded.height, 16);
    EXPECT_LT(test::PeakMemoryBytes() - peakBefore, uint64_t{64} << 20) << "damaged text: " << damagedText;
  }
#endif
}

}  // namespace
}  // namespace quillet
