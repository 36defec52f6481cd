// The kernels: the Lanczos values that every mapping table is made of, the
// sine beneath them, and the other registered kernels.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "reference.h"
#include "scaling/kernels.h"
#include "scaling_test_support.h"

namespace quillet {
namespace {

struct KernelValue {
  float X;
  float Expected;
};

TEST(LanczosKernel, FilterValuesAreTheSinglePrecisionOnes) {
  const TLanczosKernel kernel;
  const KernelValue values[] = {
      {0.0f, 1.0f},           {0.25f, 0.890067041f},   {0.5f, 0.607927084f},   {0.75f, 0.270189792f},
      {1.5f, -0.135094911f},  {2.5f, 0.0243170746f},   {3.0f, 0.0f},           {-0.25f, 0.890067041f},
      {-1.5f, -0.135094911f}, {3.5f, 0.0f},            {-3.0f, 0.0f},
  };
  for (const KernelValue& v : values) EXPECT_EQ(kernel.Filter(v.X), v.Expected) << "Filter(" << v.X << ")";
}

TEST(LanczosKernel, ValueAtOneIsTheRoundingResidueOfSinglePi) {
  // sin(single(pi)) is not 0: the value is a tiny negative number, not 0.
  const float value = TLanczosKernel().Filter(1.0f);
  EXPECT_LT(value, 0.0f);
  EXPECT_NEAR(value, -2.3e-8, 0.1e-8);
}

TEST(LanczosKernel, WidthThreeWithSingleReciprocal) {
  const TLanczosKernel kernel;
  EXPECT_EQ(kernel.GetWidth(), 3.0f);
  EXPECT_EQ(static_cast<double>(kernel.WidthReciprocal()), 0.3333333432674408);
  EXPECT_TRUE(kernel.NeedsClamp());
  EXPECT_STREQ(kernel.ClassName(), "TLanczosKernel");
}

TEST(LanczosKernel, AgreesWithTheReferenceEverywhereInItsWidth) {
  const TLanczosKernel kernel;
  std::mt19937 random(7);
  std::uniform_real_distribution<float> x(-3.5f, 3.5f);
  for (int i = 0; i < 200000; ++i) {
    const float v = x(random);
    ASSERT_EQ(kernel.Filter(v), reference::LanczosFilter(v)) << v;
  }
}

TEST(LanczosKernel, ManyValuesAtOnceAreTheSameBitsAsOneByOne) {
  // The vector kernels of every level against the scalar one, on values in
  // and out of the width, zeros, signs, and counts that leave a remainder.
  std::mt19937 random(8);
  std::uniform_real_distribution<float> x(-4.0f, 4.0f);
  std::vector<float> values(4099);
  for (size_t i = 0; i < values.size(); ++i) values[i] = i % 97 == 0 ? 0.0f : (i % 89 == 0 ? 3.0f : x(random));
  values[5] = -0.0f;
  values[6] = std::nextafter(3.0f, 0.0f);
  values[7] = std::nanf("");
  for (const float width : {3.0f, 2.0f, 7.5f}) {
    TLanczosKernel kernel;
    kernel.SetWidth(width);
    for (resample_engine::TSimdLevel level : scaling_test::AvailableLevels()) {
      scaling_test::EngineSettings settings(level, resample_engine::RingByteLimit());
      for (size_t count : {size_t{0}, size_t{1}, size_t{3}, size_t{4}, size_t{7}, size_t{9}, values.size()}) {
        std::vector<float> many(count, -1.0f);
        kernel.FilterMany(values.data(), many.data(), count);
        for (size_t i = 0; i < count; ++i) {
          const float one = kernel.Filter(values[i]);
          ASSERT_EQ(std::memcmp(&many[i], &one, sizeof one), 0)
              << values[i] << " width " << width << " " << scaling_test::LevelName(level) << ": " << many[i]
              << " against " << one;
        }
      }
    }
  }
}

TEST(LanczosKernel, SetWidthChangesWidthAndReciprocalAndIgnoresNonsense) {
  TLanczosKernel kernel;
  kernel.SetWidth(2.0f);
  EXPECT_EQ(kernel.GetWidth(), 2.0f);
  EXPECT_EQ(kernel.WidthReciprocal(), 0.5f);
  EXPECT_EQ(kernel.Filter(2.0f), 0.0f);
  EXPECT_GT(kernel.Filter(0.5f), 0.0f);
  for (float bad : {0.0f, -1.0f, std::nanf(""), INFINITY}) {
    kernel.SetWidth(bad);
    EXPECT_EQ(kernel.GetWidth(), 2.0f) << bad;
  }
}

TEST(KernelSine, WithinOneUnitInTheLastPlaceOfTheTrueSine) {
  // long double carries 64 bits of mantissa on both targets; its sine is the
  // yardstick. Close to the zeros of the sine the platforms' own long double
  // sines lose their edge, so those arguments are left out.
  std::mt19937_64 random(11);
  std::uniform_real_distribution<double> x(-40.0, 40.0);
  int compared = 0;
  for (int i = 0; i < 300000; ++i) {
    const double v = x(random);
    const long double truth = std::sin(static_cast<long double>(v));
    if (std::fabs(truth) < 1e-3L) continue;
    const double magnitude = std::fabs(static_cast<double>(truth));
    const double ulp = std::nextafter(magnitude, INFINITY) - magnitude;
    ASSERT_LE(std::fabs(static_cast<long double>(KernelSine(v)) - truth), static_cast<long double>(ulp)) << v;
    ++compared;
  }
  EXPECT_GT(compared, 290000);
  EXPECT_EQ(KernelSine(0.0), 0.0);
  EXPECT_EQ(KernelSine(-0.5), -KernelSine(0.5));
  EXPECT_TRUE(std::isnan(KernelSine(INFINITY)));
}

struct OtherKernelCase {
  TKernelClass Class;
  float Width;
  float AtZero;
  float AtHalf;
  bool Clamps;
};

TEST(OtherKernels, AreWhatTheirNamesSay) {
  const OtherKernelCase cases[] = {
      {KernelClassOf<TBoxKernel>(), 1.0f, 1.0f, 1.0f, false},
      {KernelClassOf<TLinearKernel>(), 1.0f, 1.0f, 0.5f, false},
      {KernelClassOf<TCosineKernel>(), 1.0f, 1.0f, 0.5f, false},
      {KernelClassOf<TSplineKernel>(), 2.0f, 2.0f / 3.0f, 23.0f / 48.0f, false},
      {KernelClassOf<TCubicKernel>(), 2.0f, 1.0f, 0.5625f, true},
      {KernelClassOf<TMitchellKernel>(), 2.0f, 8.0f / 9.0f, static_cast<float>((7.0 / 8 - 3.0 + 16.0 / 3) / 6), true},
      {KernelClassOf<THermiteKernel>(), 1.0f, 1.0f, 0.5f, false},
  };
  for (const OtherKernelCase& c : cases) {
    const std::unique_ptr<TCustomKernel> kernel = c.Class.Create();
    SCOPED_TRACE(c.Class.ClassName);
    EXPECT_STREQ(kernel->ClassName(), c.Class.ClassName);
    EXPECT_EQ(kernel->GetWidth(), c.Width);
    EXPECT_EQ(kernel->NeedsClamp(), c.Clamps);
    EXPECT_FLOAT_EQ(kernel->Filter(0.0f), c.AtZero);
    EXPECT_FLOAT_EQ(kernel->Filter(0.5f), c.AtHalf);
    EXPECT_FLOAT_EQ(kernel->Filter(-0.5f), c.AtHalf);
    EXPECT_EQ(kernel->Filter(c.Width + 0.01f), 0.0f);
    // Shifted copies at every integer add up to 1: each interpolates a
    // constant exactly (the box counts both ends of its interval).
    if (c.Class.ClassName != std::string("TBoxKernel")) {
      for (float offset : {0.0f, 0.125f, 0.3f, 0.5f, 0.9f}) {
        double sum = 0;
        for (int k = -3; k <= 3; ++k) sum += kernel->Filter(offset + static_cast<float>(k));
        EXPECT_NEAR(sum, 1.0, 1e-6) << offset;
      }
    }
  }
}

TEST(OtherKernels, BoxIsOneOnItsClosedInterval) {
  const TBoxKernel box;
  EXPECT_EQ(box.Filter(0.5f), 1.0f);
  EXPECT_EQ(box.Filter(-0.5f), 1.0f);
  EXPECT_EQ(box.Filter(std::nextafter(0.5f, 1.0f)), 0.0f);
  EXPECT_EQ(box.Filter(-0.75f), 0.0f);
}

}  // namespace
}  // namespace quillet
