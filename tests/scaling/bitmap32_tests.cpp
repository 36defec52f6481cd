// The surface: sizing, filling, alpha, the choice of resampler, and DrawTo's
// choice between a block transfer and resampling.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>
#include <random>
#include <algorithm>

#include "platform/errors.h"
#include "reference.h"
#include "scaling/bitmap32.h"
#include "scaling/resamplers.h"
#include "scaling_test_support.h"

namespace quillet {
namespace {

using scaling_test::CopyFromSurface;
using scaling_test::CopyToSurface;
using scaling_test::FirstDifference;
using scaling_test::Image;

TEST(Bitmap32, StartsEmptyWithItsDefaults) {
  TBitmap32 surface;
  EXPECT_TRUE(surface.Empty());
  EXPECT_EQ(surface.Width(), 0);
  EXPECT_EQ(surface.Height(), 0);
  EXPECT_EQ(surface.Bits(), nullptr);
  EXPECT_EQ(surface.ClipRect(), (TRect{0, 0, 0, 0}));
  EXPECT_EQ(surface.DrawMode(), dmOpaque);
  EXPECT_EQ(surface.MasterAlpha(), 255u);
  EXPECT_EQ(surface.ResamplerClassName(), "TNearestResampler");
  EXPECT_EQ(&surface.Resampler().Bitmap(), &surface);
}

TEST(Bitmap32, NegativeSideIsTakenAsZero) {
  TBitmap32 surface;
  surface.SetSize(-5, 10);
  EXPECT_EQ(surface.Width(), 0);
  EXPECT_EQ(surface.Height(), 10);
  EXPECT_TRUE(surface.Empty());
  EXPECT_EQ(surface.Bits(), nullptr);
  surface.Clear(0xFFFFFFFF);  // nothing to fill, no failure
  surface.ResetAlpha(255);
}

TEST(Bitmap32, SameSizeKeepsTheStoreAndItsContents) {
  TBitmap32 surface;
  surface.SetSize(3, 2);
  surface.Clear(0x11223344);
  const TColor32* store = surface.Bits();
  surface.SetSize(3, 2);
  EXPECT_EQ(surface.Bits(), store);
  EXPECT_EQ(surface.Bits()[5], 0x11223344u);
  surface.SetSize(2, 3);
  EXPECT_EQ(surface.BoundsRect(), (TRect{0, 0, 2, 3}));
  EXPECT_EQ(surface.ClipRect(), surface.BoundsRect());
  surface.SetSize(0, 3);
  EXPECT_TRUE(surface.Empty());
  EXPECT_EQ(surface.Bits(), nullptr);
}

TEST(Bitmap32, ClearFillsEveryPixelAndScanLinesAreUnpadded) {
  TBitmap32 surface;
  surface.SetSize(3, 2);
  surface.Clear(0);
  for (int i = 0; i < 6; ++i) EXPECT_EQ(surface.Bits()[i], 0u);
  EXPECT_EQ(surface.ScanLine(1), surface.Bits() + 3);
  EXPECT_EQ(surface.PixelPtr(2, 1), surface.Bits() + 5);
}

TEST(Bitmap32, ResetAlphaKeepsTheColours) {
  TBitmap32 surface;
  surface.SetSize(2, 1);
  surface.Bits()[0] = 0x00123456;
  surface.Bits()[1] = 0x80123456;
  surface.ResetAlpha(255);
  EXPECT_EQ(surface.Bits()[0], 0xFF123456u);
  EXPECT_EQ(surface.Bits()[1], 0xFF123456u);
  surface.ResetAlpha(7);
  EXPECT_EQ(surface.Bits()[0], 0x07123456u);
}

TEST(Bitmap32, AFailedAllocationRaisesAndLeavesTheSurfaceEmpty) {
  // Neither size can be had: the first does not even fit the address space.
  for (const auto& [w, h] : {std::pair{INT32_MAX, INT32_MAX}, std::pair{INT32_MAX, 1 << 20}}) {
    TBitmap32 surface;
    surface.SetSize(4, 4);
    try {
      surface.SetSize(w, h);
      FAIL() << "no exception for " << w << " x " << h;
    } catch (const Exception& e) {
      EXPECT_STREQ(e.what(), "Can't allocate the DIB handle");
    }
    EXPECT_EQ(surface.Width(), 0);
    EXPECT_EQ(surface.Height(), 0);
    EXPECT_EQ(surface.Bits(), nullptr);
    surface.SetSize(2, 2);  // usable again
    EXPECT_FALSE(surface.Empty());
  }
}

TEST(Bitmap32, ResamplerIsChosenByExactClassName) {
  TBitmap32 surface;
  surface.SetResamplerClassName("TKernelResampler");
  ASSERT_EQ(surface.ResamplerClassName(), "TKernelResampler");
  TCustomResampler* first = &surface.Resampler();
  EXPECT_EQ(&first->Bitmap(), &surface);
  surface.SetResamplerClassName("TKernelResampler");  // the same name: kept
  EXPECT_EQ(&surface.Resampler(), first);
  for (const char* ignored : {"", "tkernelresampler", "TKernelResampler ", "TNoSuchResampler"}) {
    surface.SetResamplerClassName(ignored);
    EXPECT_EQ(&surface.Resampler(), first) << ignored;
  }
  surface.SetResamplerClassName("TDraftResampler");
  EXPECT_EQ(surface.ResamplerClassName(), "TDraftResampler");
}

TEST(Bitmap32, KernelIsChosenByExactClassName) {
  TBitmap32 surface;
  TKernelResampler resampler(surface);
  EXPECT_EQ(resampler.KernelClassName(), "TBoxKernel");
  resampler.SetKernelClassName("TLanczosKernel");
  ASSERT_EQ(resampler.KernelClassName(), "TLanczosKernel");
  const TCustomKernel* kernel = &resampler.Kernel();
  for (const char* ignored : {"", "TLanczosKernel", "tlanczoskernel", "TNoSuchKernel"}) {
    resampler.SetKernelClassName(ignored);
    EXPECT_EQ(&resampler.Kernel(), kernel) << ignored;
  }
}

TEST(Bitmap32, DrawToAtTheSameSizeCopiesOrBlendsRows) {
  std::mt19937 random(21);
  const Image picture = scaling_test::MakeImage(random, 7, 5, scaling_test::Content::Noise);
  TBitmap32 source, opaque, blended;
  CopyToSurface(picture, source);
  opaque.SetSize(7, 5);
  opaque.Clear(0x5A5A5A5A);
  source.DrawTo(&opaque, TRect{0, 0, 7, 5}, TRect{0, 0, 7, 5});
  EXPECT_EQ(FirstDifference(picture, CopyFromSurface(opaque)), "");

  source.SetDrawMode(dmBlend);
  blended.SetSize(7, 5);
  blended.Clear(0);
  source.DrawTo(&blended, TRect{0, 0, 7, 5}, TRect{0, 0, 7, 5});
  Image expected(7, 5, 0);
  for (size_t i = 0; i < expected.Pixels.size(); ++i)
    expected.Pixels[i] = reference::BlendRowPixel(picture.Pixels[i], 0);
  EXPECT_EQ(FirstDifference(expected, CopyFromSurface(blended)), "");

  TBitmap32 white, target;
  white.SetSize(1, 1);
  white.Clear(0xFFFFFFFF);
  white.SetDrawMode(dmBlend);
  target.SetSize(1, 1);
  target.Clear(0);
  white.DrawTo(&target, TRect{0, 0, 1, 1}, TRect{0, 0, 1, 1});
  EXPECT_EQ(target.Bits()[0], 0xFFFEFEFEu);
}

TEST(Bitmap32, DrawToClipsToTheDestinationAndReadsTheMatchingSourcePart) {
  std::mt19937 random(22);
  const Image picture = scaling_test::MakeImage(random, 9, 8, scaling_test::Content::Noise);
  for (TDrawMode mode : {dmOpaque, dmBlend}) {
    const Image background = scaling_test::MakeImage(random, 6, 5, scaling_test::Content::Noise);
    // Same size, partly outside the destination; then a different size.
    for (const auto& [dstRect, srcRect] : {std::pair{TRect{-2, -1, 5, 5}, TRect{1, 2, 8, 8}},
                                           std::pair{TRect{-3, 1, 9, 4}, TRect{2, 1, 9, 8}}}) {
      TBitmap32 source, target;
      CopyToSurface(picture, source);
      source.SetDrawMode(mode);
      source.SetResamplerClassName("TKernelResampler");
      dynamic_cast<TKernelResampler&>(source.Resampler()).SetKernelClassName("TLanczosKernel");
      CopyToSurface(background, target);
      source.DrawTo(&target, dstRect, srcRect);
      Image expected = background;
      reference::DrawTo(picture, mode, 255, expected, dstRect, srcRect);
      EXPECT_EQ(FirstDifference(expected, CopyFromSurface(target)), "") << "mode " << int{mode};
    }
  }
}

TEST(Bitmap32, DrawToDrawsNothingWhenThereIsNothingToDraw) {
  TBitmap32 source, target;
  source.SetSize(4, 4);
  source.Clear(0xFFFFFFFF);
  target.SetSize(4, 4);
  target.Clear(0x01010101);
  source.DrawTo(&target, TRect{0, 0, 4, 4}, TRect{2, 2, 2, 4});    // empty source rectangle
  source.DrawTo(&target, TRect{4, 0, 8, 4}, TRect{0, 0, 4, 4});    // outside the destination
  source.DrawTo(&target, TRect{0, 0, 0, 4}, TRect{0, 0, 4, 4});    // empty destination rectangle
  source.SetDrawMode(dmBlend);
  source.SetMasterAlpha(0);
  source.DrawTo(&target, TRect{0, 0, 4, 4}, TRect{0, 0, 4, 4});    // fully transparent
  source.DrawTo(&target, TRect{0, 0, 3, 2}, TRect{0, 0, 4, 4});
  TBitmap32 empty;
  empty.DrawTo(&target, TRect{0, 0, 4, 4}, TRect{0, 0, 4, 4});
  for (int i = 0; i < 16; ++i) EXPECT_EQ(target.Bits()[i], 0x01010101u);
}

TEST(Bitmap32, DrawToRefusesWhatCannotBeDrawnSafely) {
  TBitmap32 source;
  source.SetSize(4, 4);
  source.Clear(0);
  try {
    source.DrawTo(nullptr, TRect{0, 0, 4, 4}, TRect{0, 0, 4, 4});
    FAIL();
  } catch (const EBitmapException& e) {
    EXPECT_STREQ(e.what(), "Destination bitmap is nil");
  }
  TBitmap32 target;
  target.SetSize(4, 4);
  EXPECT_THROW(source.DrawTo(&target, TRect{0, 0, 2, 2}, TRect{0, 0, 5, 4}), EBitmapException);
  EXPECT_THROW(source.DrawTo(&target, TRect{0, 0, 2, 2}, TRect{-1, 0, 3, 4}), EBitmapException);
  EXPECT_THROW(source.DrawTo(&source, TRect{0, 0, 2, 2}, TRect{0, 0, 4, 4}), EBitmapException);
}

TEST(Bitmap32, BlendingWithAMasterAlphaBelow255BlendsEachPixelByIt) {
  TBitmap32 source, target;
  source.SetSize(3, 1);
  source.Clear(0x80FF8040);
  source.SetDrawMode(dmBlend);
  source.SetMasterAlpha(127);
  target.SetSize(3, 1);
  target.Clear(0);
  source.DrawTo(&target, TRect{0, 0, 3, 1}, TRect{0, 0, 3, 1});
  for (int i = 0; i < 3; ++i) EXPECT_EQ(target.Bits()[i], 0x20402010u);
  source.SetMasterAlpha(1000);
  EXPECT_EQ(source.MasterAlpha(), 255u);
}

TEST(Bitmap32, IntersectRectTakesTheCommonPartOrNothing) {
  EXPECT_EQ(IntersectRect(TRect{0, 0, 10, 10}, TRect{5, -5, 20, 7}), (TRect{5, 0, 10, 7}));
  EXPECT_EQ(IntersectRect(TRect{0, 0, 10, 10}, TRect{10, 0, 20, 10}), (TRect{10, 0, 10, 10}));
  EXPECT_EQ(IntersectRect(TRect{0, 0, 10, 10}, TRect{11, 0, 20, 10}), (TRect{0, 0, 0, 0}));
}

TEST(TBitmap32, AttachedRowsDrawAsTheSameRowsCopiedInto) {
  // Rows stored bottom-up (a negative step) and top-down, drawn by the
  // Lanczos resampler, give what a surface holding the same pixels gives;
  // the attached memory is left as it was.
  std::mt19937 random(9);
  const Image picture = scaling_test::MakeImage(random, 29, 41, scaling_test::Content::Premultiplied);
  TBitmap32 copied;
  CopyToSurface(picture, copied);
  for (const bool bottomUp : {true, false}) {
    std::vector<TColor32> memory(picture.Pixels.size());
    for (int32_t y = 0; y < picture.Height; ++y) {
      const int32_t stored = bottomUp ? picture.Height - 1 - y : y;
      std::copy_n(picture.Pixels.begin() + static_cast<ptrdiff_t>(y) * picture.Width, picture.Width,
                  memory.begin() + static_cast<ptrdiff_t>(stored) * picture.Width);
    }
    const std::vector<TColor32> before = memory;
    TBitmap32 attached;
    TColor32* top = memory.data() + (bottomUp ? static_cast<ptrdiff_t>(picture.Height - 1) * picture.Width : 0);
    attached.AttachRows(top, picture.Width, picture.Height, bottomUp ? -picture.Width : picture.Width);
    ASSERT_EQ(attached.Width(), picture.Width);
    ASSERT_EQ(attached.Height(), picture.Height);
    EXPECT_EQ(FirstDifference(picture, CopyFromSurface(attached)), "") << bottomUp;

    TBitmap32 fromCopy, fromAttached;
    for (TBitmap32* surface : {&copied, &attached}) {
      surface->SetDrawMode(dmBlend);
      surface->SetResamplerClassName("TKernelResampler");
      dynamic_cast<TKernelResampler&>(surface->Resampler()).SetKernelClassName("TLanczosKernel");
    }
    for (TBitmap32* target : {&fromCopy, &fromAttached}) {
      target->SetSize(11, 17);
      target->Clear(0);
    }
    copied.DrawTo(&fromCopy, fromCopy.BoundsRect(), copied.BoundsRect());
    attached.DrawTo(&fromAttached, fromAttached.BoundsRect(), attached.BoundsRect());
    EXPECT_EQ(FirstDifference(CopyFromSurface(fromCopy), CopyFromSurface(fromAttached)), "") << bottomUp;
    EXPECT_EQ(memory, before) << bottomUp;

    // A new size gives the surface a store of its own again.
    attached.SetSize(3, 2);
    attached.Clear(0xFF102030);
    EXPECT_EQ(memory, before) << bottomUp;
  }
}

}  // namespace
}  // namespace quillet
