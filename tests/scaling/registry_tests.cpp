// The class registries through which surfaces find resamplers and kernels by
// name.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "scaling/bitmap32.h"
#include "scaling/kernels.h"
#include "scaling/resamplers.h"

namespace quillet {
namespace {

TEST(Registries, HoldTheRequiredClassesAtTheirPlaces) {
  const std::vector<TResamplerClass>& resamplers = ResamplerList();
  ASSERT_GE(resamplers.size(), 4u);
  EXPECT_STREQ(resamplers[0].ClassName, "TNearestResampler");
  EXPECT_STREQ(resamplers[3].ClassName, "TKernelResampler");
  const std::vector<TKernelClass>& kernels = KernelList();
  ASSERT_GE(kernels.size(), 8u);
  EXPECT_STREQ(kernels[0].ClassName, "TBoxKernel");
  EXPECT_STREQ(kernels[7].ClassName, "TLanczosKernel");
}

TEST(Registries, EveryEntryMakesAnObjectOfItsOwnName) {
  TBitmap32 surface;
  std::set<std::string> names;
  for (const TResamplerClass& entry : ResamplerList()) {
    EXPECT_TRUE(names.insert(entry.ClassName).second) << entry.ClassName;
    const std::unique_ptr<TCustomResampler> resampler = entry.Create(surface);
    EXPECT_STREQ(resampler->ClassName(), entry.ClassName);
    EXPECT_EQ(&resampler->Bitmap(), &surface);
  }
  for (const TKernelClass& entry : KernelList()) {
    EXPECT_TRUE(names.insert(entry.ClassName).second) << entry.ClassName;
    EXPECT_STREQ(entry.Create()->ClassName(), entry.ClassName);
  }
}

TEST(Registries, LookUpNamesExactly) {
  for (const TResamplerClass& entry : ResamplerList()) EXPECT_EQ(FindResamplerClass(entry.ClassName), &entry);
  for (const TKernelClass& entry : KernelList()) EXPECT_EQ(FindKernelClass(entry.ClassName), &entry);
  EXPECT_EQ(FindResamplerClass("tkernelresampler"), nullptr);
  EXPECT_EQ(FindResamplerClass("TKernelResampler2"), nullptr);
  EXPECT_EQ(FindResamplerClass(""), nullptr);
  EXPECT_EQ(FindKernelClass("TLanczos"), nullptr);
  EXPECT_EQ(FindKernelClass("TLANCZOSKERNEL"), nullptr);
  // A kernel is no resampler and the other way round.
  EXPECT_EQ(FindResamplerClass("TLanczosKernel"), nullptr);
  EXPECT_EQ(FindKernelClass("TKernelResampler"), nullptr);
}

}  // namespace
}  // namespace quillet
