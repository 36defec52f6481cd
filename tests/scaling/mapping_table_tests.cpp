// Mapping tables: which source pixels, with which 8-bit weights, make each
// destination pixel on one axis.
#include <gtest/gtest.h>

#include <numeric>
#include <random>

#include "reference.h"
#include "scaling/resamplers.h"

namespace quillet {
namespace {

TMappingTable Lanczos(int32_t srcW, int32_t dstW) {
  return MakeMappingTable(0, dstW, 0, dstW, 0, srcW, TLanczosKernel());
}

int32_t WeightSum(const TCluster& cluster) {
  return std::accumulate(cluster.begin(), cluster.end(), 0,
                         [](int32_t sum, const TPointRec& e) { return sum + e.Weight; });
}

TEST(MappingTable, FourOntoTwoStretchesTheKernelAndMirrors) {
  const TMappingTable table = Lanczos(4, 2);
  ASSERT_EQ(table.size(), 2u);
  EXPECT_EQ(table[0], (TCluster{{0, 1}, {0, 4}, {0, -9}, {0, -17}, {0, 35}, {0, 114}, {1, 114}, {2, 35}, {3, -17},
                                {3, -9}, {3, 4}, {3, 1}}));
  EXPECT_EQ(table[1], (TCluster{{0, 1}, {0, 4}, {0, -9}, {0, -17}, {1, 35}, {2, 114}, {3, 114}, {3, 35}, {3, -17},
                                {3, -9}, {3, 4}, {3, 1}}));
  EXPECT_EQ(WeightSum(table[0]), 256);
}

TEST(MappingTable, TwoOntoFourKeepsTheKernelWidth) {
  const TMappingTable table = Lanczos(2, 4);
  ASSERT_EQ(table.size(), 4u);
  EXPECT_EQ(table[0], (TCluster{{0, 2}, {0, -17}, {0, 69}, {0, 228}, {1, -34}, {1, 8}}));
  for (const TCluster& cluster : table) EXPECT_EQ(WeightSum(cluster), 256);
}

TEST(MappingTable, EqualSpansCopyTheAxis) {
  const TMappingTable table = Lanczos(200, 200);
  ASSERT_EQ(table.size(), 200u);
  for (int32_t i = 0; i < 200; ++i) EXPECT_EQ(table[static_cast<size_t>(i)], (TCluster{{i, 256}})) << i;
}

TEST(MappingTable, ASourceSpanOfOnePixelIsRepeated) {
  const TMappingTable table = MakeMappingTable(0, 7, 0, 7, 5, 6, TLanczosKernel());
  ASSERT_EQ(table.size(), 7u);
  for (const TCluster& cluster : table) EXPECT_EQ(cluster, (TCluster{{5, 256}}));
}

TEST(MappingTable, ReductionBy512OrMoreTakesOnePixelPerCluster) {
  const TMappingTable table = Lanczos(1024, 2);
  ASSERT_EQ(table.size(), 2u);
  EXPECT_EQ(table[0], (TCluster{{255, 256}}));
  EXPECT_EQ(table[1], (TCluster{{767, 256}}));
}

TEST(MappingTable, JustBelow512TheMiddleEntryTakesTheRoundingError) {
  const TMappingTable table = Lanczos(1023, 2);
  for (const TCluster& cluster : table) {
    ASSERT_EQ(cluster.size(), 24u);
    for (size_t k = 0; k < cluster.size(); ++k) EXPECT_EQ(cluster[k].Weight, k == 11 ? 233 : 1) << k;
  }
}

TEST(MappingTable, EmptySpansGiveEmptyTables) {
  EXPECT_TRUE(MakeMappingTable(0, 5, 0, 5, 3, 3, TLanczosKernel()).empty());  // no source
  EXPECT_TRUE(MakeMappingTable(0, 5, 2, 2, 0, 9, TLanczosKernel()).empty());  // no clip
  EXPECT_TRUE(MakeMappingTable(0, 5, 0, 5, 4, 2, TLanczosKernel()).empty());  // reversed source
}

TEST(MappingTable, AClipSpanPicksTheClustersOfItsPixels) {
  const TMappingTable whole = MakeMappingTable(-3, 17, -3, 17, 2, 40, TLanczosKernel());
  const TMappingTable clipped = MakeMappingTable(-3, 17, 0, 10, 2, 40, TLanczosKernel());
  ASSERT_EQ(clipped.size(), 10u);
  for (size_t i = 0; i < clipped.size(); ++i) EXPECT_EQ(clipped[i], whole[i + 3]) << i;
}

TEST(MappingTable, AgreesWithTheReferenceOnRandomSpans) {
  std::mt19937 random(3);
  std::uniform_int_distribution<int32_t> size(1, 700);
  std::uniform_int_distribution<int32_t> offset(-20, 20);
  for (int n = 0; n < 3000; ++n) {
    const int32_t srcLo = std::abs(offset(random));
    const int32_t srcW = n % 10 == 0 ? size(random) * 7 : size(random) % 120 + 1;
    const int32_t dstLo = offset(random);
    const int32_t dstW = n % 7 == 0 ? 1 + size(random) % 3 : size(random) % 300 + 1;
    const int32_t clipLo = dstLo + std::abs(offset(random)) % dstW;
    const int32_t clipHi = clipLo + 1 + std::abs(offset(random)) % (dstLo + dstW - clipLo);
    const TMappingTable expected = reference::MappingTable(dstLo, dstLo + dstW, clipLo, clipHi, srcLo, srcLo + srcW);
    const TMappingTable actual =
        MakeMappingTable(dstLo, dstLo + dstW, clipLo, clipHi, srcLo, srcLo + srcW, TLanczosKernel());
    ASSERT_EQ(actual, expected) << srcW << " onto " << dstW << " clip " << clipLo << ".." << clipHi;
    for (const TCluster& cluster : actual) {
      ASSERT_EQ(WeightSum(cluster), 256);
      for (const TPointRec& e : cluster) ASSERT_TRUE(e.Pos >= srcLo && e.Pos < srcLo + srcW);
    }
  }
}

}  // namespace
}  // namespace quillet
