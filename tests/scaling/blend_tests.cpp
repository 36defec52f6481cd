// The two blends and their rounding.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "reference.h"
#include "scaling/blend.h"
#include "scaling_test_support.h"

namespace quillet {
namespace {

using scaling_test::Hex;

struct MasterCase {
  TColor32 F;
  TColor32 B;
  uint32_t M;
  TColor32 Expected;
};

TEST(BlendPixelMaster, Examples) {
  const MasterCase cases[] = {
      {0xFFFFFFFF, 0x00000000, 255, 0xFEFEFEFE},  // alpha blended like a colour
      {0x80FF8040, 0x00000000, 255, 0x40804020},
      {0x80FF8040, 0xFF204060, 255, 0xC0906050},
      {0x80FF8040, 0x00000000, 127, 0x20402010},  // W = 64
      {0x00123456, 0xFF204060, 255, 0xFF204060},  // transparent foreground
      {0xFF102030, 0xFF204060, 0, 0xFF204060},    // W = (1 * 255) >> 8 = 0
      {0xFF000000, 0xFFFFFFFF, 255, 0xFF010101},
  };
  for (const MasterCase& c : cases) {
    TColor32 b = c.B;
    BlendPixelMaster(c.F, b, c.M);
    EXPECT_EQ(Hex(b), Hex(c.Expected)) << Hex(c.F) << " onto " << Hex(c.B) << " at " << c.M;
  }
}

struct RowCase {
  TColor32 F;
  TColor32 B;
  TColor32 Expected;
};

TEST(BlendRow, Examples) {
  const RowCase cases[] = {
      {0xFFFFFFFF, 0x00000000, 0xFFFEFEFE},  // alpha kept
      {0x80FF8040, 0x00000000, 0x80804020},
      {0x80FF8040, 0xFF204060, 0xFF906050},
      {0xFF000000, 0xFFFFFFFF, 0xFF010101},  // alpha 255 + 255 - 254 limited to 255
      {0x00FFFFFF, 0x12345678, 0x12345678},  // alpha 0 leaves the destination
  };
  for (const RowCase& c : cases) {
    // Alone (the scalar tail) and inside a row of four (the vector body).
    TColor32 one = c.B;
    BlendRow(&c.F, &one, 1);
    EXPECT_EQ(Hex(one), Hex(c.Expected)) << Hex(c.F) << " onto " << Hex(c.B);
    const std::vector<TColor32> source(5, c.F);
    std::vector<TColor32> row(5, c.B);
    BlendRow(source.data(), row.data(), 5);
    for (TColor32 pixel : row) EXPECT_EQ(Hex(pixel), Hex(c.Expected));
  }
}

TEST(BlendRow, NothingHappensForCountZeroOrBelow) {
  const TColor32 source[2] = {0xFFFFFFFF, 0xFFFFFFFF};
  TColor32 row[2] = {0x01020304, 0x05060708};
  BlendRow(source, row, 0);
  BlendRow(source, row, -3);
  EXPECT_EQ(row[0], 0x01020304u);
  EXPECT_EQ(row[1], 0x05060708u);
}

TEST(BlendRow, VectorBodyMatchesTheRuleOnRandomPixels) {
  std::mt19937 random(5);
  std::uniform_int_distribution<uint32_t> word(0, UINT32_MAX);
  for (int count : {1, 2, 3, 4, 5, 7, 8, 31, 1000}) {
    std::vector<TColor32> source(static_cast<size_t>(count)), row(static_cast<size_t>(count));
    for (int n = 0; n < 50; ++n) {
      for (int i = 0; i < count; ++i) {
        source[static_cast<size_t>(i)] = word(random);
        row[static_cast<size_t>(i)] = word(random);
      }
      std::vector<TColor32> expected = row;
      for (size_t i = 0; i < expected.size(); ++i) expected[i] = reference::BlendRowPixel(source[i], expected[i]);
      BlendRow(source.data(), row.data(), count);
      ASSERT_EQ(row, expected) << count;
    }
  }
}

TEST(BlendPixelMaster, MatchesTheRuleOnEveryAlphaAndMaster) {
  std::mt19937 random(9);
  std::uniform_int_distribution<uint32_t> word(0, UINT32_MAX);
  for (uint32_t m = 0; m < 256; ++m)
    for (uint32_t fa = 0; fa < 256; ++fa) {
      const TColor32 f = (fa << 24) | (word(random) & 0xFFFFFF);
      const TColor32 b0 = word(random);
      TColor32 expected = b0, actual = b0;
      reference::BlendPixelMaster(f, expected, m);
      BlendPixelMaster(f, actual, m);
      ASSERT_EQ(actual, expected) << Hex(f) << " onto " << Hex(b0) << " at " << m;
    }
}

TEST(Blends, OntoTransparentBlackAnOpaqueColourLosesOneAbove128) {
  for (uint32_t c = 0; c < 256; ++c) {
    const TColor32 f = 0xFF000000u | c << 16 | c << 8 | c;
    const uint32_t expected = c <= 128 ? c : c - 1;
    TColor32 master = 0;
    BlendPixelMaster(f, master, 255);
    TColor32 row = 0;
    BlendRow(&f, &row, 1);
    EXPECT_EQ(master, 0xFE000000u | expected << 16 | expected << 8 | expected) << c;
    EXPECT_EQ(row, 0xFF000000u | expected << 16 | expected << 8 | expected) << c;
  }
}

}  // namespace
}  // namespace quillet
