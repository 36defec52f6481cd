// Decoding an extracted image file into a 32-bit bottom-up bitmap with
// premultiplied alpha.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "handlers/image_loading.h"
#include "handlers/vekCBxClasses.h"
#include "images/support/image_fixtures.h"
#include "images/support/test_imaging.h"
#include "platform/image_decoding.h"
#include "support/test_support.h"

namespace quillet {
namespace {

using test::TBytes;
using test::TRgba;

// A pixel as the bitmap stores it.
struct Bgra {
  uint8_t b, g, r, a;
  bool operator==(const Bgra&) const = default;
};

void PrintTo(const Bgra& APixel, std::ostream* AOut) {
  *AOut << "BGRA(" << int(APixel.b) << "," << int(APixel.g) << "," << int(APixel.r) << "," << int(APixel.a) << ")";
}

// The pixels of a decoded bitmap, top row first, after checking that it is
// the bitmap the scaler expects: 32 bits per pixel, rows bottom-up.
struct Picture {
  int width = 0, height = 0;
  std::vector<Bgra> pixels;
  Bgra At(int x, int y) const {
    return pixels[static_cast<size_t>(y) * static_cast<size_t>(width) + static_cast<size_t>(x)];
  }
};

Picture ReadBitmap(HBITMAP ABitmap) {
  Picture picture;
  BITMAP info{};
  EXPECT_EQ(GetObjectW(ABitmap, sizeof info, &info), static_cast<int>(sizeof info));
  EXPECT_EQ(info.bmBitsPixel, 32);
  EXPECT_EQ(info.bmWidthBytes, info.bmWidth * 4);
  picture.width = info.bmWidth;
  picture.height = info.bmHeight;
  const auto* bits = static_cast<const uint8_t*>(info.bmBits);
  // Bottom-up: picture row y is memory row height - 1 - y.
  for (int y = 0; y < picture.height; ++y) {
    const uint8_t* row = bits + static_cast<size_t>(picture.height - 1 - y) * static_cast<size_t>(info.bmWidthBytes);
    for (int x = 0; x < picture.width; ++x, row += 4) picture.pixels.push_back({row[0], row[1], row[2], row[3]});
  }
  return picture;
}

struct BitmapOwner {
  HBITMAP bitmap;
  ~BitmapOwner() {
    if (bitmap != nullptr) DeleteObject(bitmap);
  }
};

TEST(PremultipliedDib, RoundsToTheNearestAndStandsUpright) {
  // One column, top row first: straight colours with their alpha, and what
  // (c * a + 127) div 255 makes of them.
  struct Case {
    uint8_t c, a, expected;
  };
  const Case cases[] = {{255, 128, 128}, {1, 128, 1},    {1, 127, 0},    {200, 0, 0},     {37, 255, 37},
                        {254, 1, 1},     {128, 128, 64}, {100, 200, 78}, {255, 255, 255}, {0, 77, 0}};
  platform::DecodedImage image;
  image.width = 1;
  image.height = static_cast<int32_t>(std::size(cases));
  for (const Case& c : cases) image.pixels.insert(image.pixels.end(), {c.c, c.c, c.c, c.a});
  BitmapOwner owner{CreatePremultipliedDib(image)};
  ASSERT_NE(owner.bitmap, nullptr);
  const Picture picture = ReadBitmap(owner.bitmap);
  ASSERT_EQ(picture.height, image.height);
  for (int y = 0; y < picture.height; ++y) {
    const Case& c = cases[y];
    EXPECT_EQ(picture.At(0, y), (Bgra{c.expected, c.expected, c.expected, c.a}))
        << int(c.c) << " at alpha " << int(c.a);
  }
}

TEST(PremultipliedDib, RefusesPixelsThatDoNotMatchTheSize) {
  platform::DecodedImage image;
  image.width = 2;
  image.height = 2;
  image.pixels.resize(12);
  EXPECT_THROW(CreatePremultipliedDib(image), Exception);
}

TEST(PixelCap, EveryPageUpToAHundredMillionPixelsIsDecodedAndNothingLarger) {
  struct Case {
    int64_t width, height;
    bool accepted;
  };
  const Case cases[] = {
      {1, 1, true},
      {8000, 12500, true},   // 100 million pixels, a page scanned at 1000 dpi
      {10000, 10000, true},  //
      {8192, 12800, true},   // exactly the cap
      {10240, 10240, true},  // exactly the cap
      {platform::kMaxImagePixels, 1, true},
      {1, platform::kMaxImagePixels, true},
      {8192, 12801, false},  // one row over
      {10241, 10240, false},
      {platform::kMaxImagePixels + 1, 1, false},
      {12000, 12000, false},
      {20000, 20000, false},
      {32768, 32768, false},
      {60000, 60000, false},
      {int64_t{1} << 40, int64_t{1} << 40, false},
      {0, 5, false},
      {5, 0, false},
      {-1, -1, false},
      {-8000, -12500, false},
  };
  for (const Case& c : cases)
    EXPECT_EQ(platform::ImageSizeAccepted(c.width, c.height), c.accepted) << c.width << " x " << c.height;
  // Within the cap, the 32-bit bitmap route can always hold the pixels.
  EXPECT_LE(platform::kMaxImagePixels * 4, int64_t{0xFFFFFFFF});
}

class LoadImageFile : public testing::Test {
 protected:
  std::filesystem::path Fixture(const std::string& AName, const TBytes& ABytes) {
    const std::filesystem::path path = FDir / AName;
    test::WriteBytes(path, ABytes);
    return path;
  }
  HBITMAP Load(const std::filesystem::path& APath) { return FRegistry.LoadImageFile(test::ModulePath(APath)); }
  // The message of the failure, or "" when the decode succeeded.
  std::string FailureOf(const std::filesystem::path& APath) {
    try {
      BitmapOwner owner{Load(APath)};
      return "";
    } catch (const Exception& e) {
      return e.what();
    }
  }

  test::TImagingThread FImaging;
  std::filesystem::path FDir = test::ScratchDir("images-decoding");
  TvekCBxClassList FRegistry;
};

// Straight colours and the premultiplied pixels they must come back as.
const std::vector<TRgba> kAlphaPixels = {
    {255, 0, 0, 128}, {0, 255, 0, 255}, {0, 0, 255, 0}, {10, 20, 30, 255}, {200, 100, 50, 64}, {255, 255, 255, 1},
};
const std::vector<Bgra> kAlphaExpected = {
    {0, 0, 128, 128}, {0, 255, 0, 255}, {0, 0, 0, 0}, {30, 20, 10, 255}, {13, 25, 50, 64}, {1, 1, 1, 1},
};

TEST_F(LoadImageFile, PngWithAlphaComesBackPremultiplied) {
  BitmapOwner owner{Load(Fixture("alpha.png", test::MakePng(3, 2, kAlphaPixels, true)))};
  const Picture picture = ReadBitmap(owner.bitmap);
  ASSERT_EQ(picture.width, 3);
  ASSERT_EQ(picture.height, 2);
  EXPECT_EQ(picture.pixels, kAlphaExpected);
}

TEST_F(LoadImageFile, InterlacedPngGivesEveryRow) {
  std::vector<TRgba> pixels;
  for (int y = 0; y < 11; ++y)
    for (int x = 0; x < 13; ++x)
      pixels.push_back({static_cast<uint8_t>(x * 19), static_cast<uint8_t>(y * 23), 99, 255});
  BitmapOwner owner{Load(Fixture("interlaced.png", test::MakePng(13, 11, pixels, true, true)))};
  const Picture picture = ReadBitmap(owner.bitmap);
  ASSERT_EQ(picture.width, 13);
  ASSERT_EQ(picture.height, 11);
  for (int y = 0; y < 11; ++y)
    for (int x = 0; x < 13; ++x) {
      const TRgba& p = pixels[static_cast<size_t>(y) * 13 + static_cast<size_t>(x)];
      EXPECT_EQ(picture.At(x, y), (Bgra{p.b, p.g, p.r, 255})) << x << "," << y;
    }
}

TEST_F(LoadImageFile, ContentDecidesNotTheName) {
  BitmapOwner owner{Load(Fixture("png_named.jpg", test::MakePng(3, 2, kAlphaPixels, true)))};
  EXPECT_EQ(ReadBitmap(owner.bitmap).pixels, kAlphaExpected);
}

TEST_F(LoadImageFile, ImageWithoutAlphaIsOpaque) {
  BitmapOwner owner{Load(Fixture("rgb.png", test::MakePng(3, 2, kAlphaPixels, false)))};
  const Picture picture = ReadBitmap(owner.bitmap);
  ASSERT_EQ(picture.pixels.size(), kAlphaPixels.size());
  for (size_t i = 0; i < kAlphaPixels.size(); ++i) {
    const TRgba& p = kAlphaPixels[i];
    EXPECT_EQ(picture.pixels[i], (Bgra{p.b, p.g, p.r, 255})) << i;
  }
}

TEST_F(LoadImageFile, OpaqueJpegKeepsItsColoursWithAlpha255) {
  const TRgba colour = {200, 100, 50, 255};
  const std::vector<TRgba> pixels(16 * 8, colour);
  BitmapOwner owner{Load(Fixture("opaque.jpg", test::EncodeJpeg(16, 8, pixels)))};
  const Picture picture = ReadBitmap(owner.bitmap);
  ASSERT_EQ(picture.width, 16);
  ASSERT_EQ(picture.height, 8);
  // Lossy: near the colour, as each platform's decoder rounds it.
  for (const Bgra& p : picture.pixels) {
    EXPECT_EQ(p.a, 255);
    EXPECT_NEAR(p.r, colour.r, 3);
    EXPECT_NEAR(p.g, colour.g, 3);
    EXPECT_NEAR(p.b, colour.b, 3);
  }
}

TEST_F(LoadImageFile, AnimatedGifGivesItsFirstFrame) {
  const std::vector<TRgba> palette = {
      {0, 0, 0, 255}, {200, 30, 40, 255}, {20, 160, 90, 255}, {250, 240, 10, 255}, {0, 0, 255, 255}};
  const int width = 300, height = 3;  // wide enough for several clear codes per frame
  std::vector<uint8_t> first, second(static_cast<size_t>(width) * height, 4);
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) first.push_back(static_cast<uint8_t>(1 + (y + x / 100) % 3));
  BitmapOwner owner{Load(Fixture("animated.gif", test::MakeAnimatedGif(width, height, palette, {first, second})))};
  const Picture picture = ReadBitmap(owner.bitmap);
  ASSERT_EQ(picture.width, width);
  ASSERT_EQ(picture.height, height);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; x += 50) {
      const TRgba& c = palette[first[static_cast<size_t>(y) * width + x]];
      EXPECT_EQ(picture.At(x, y), (Bgra{c.b, c.g, c.r, 255})) << x << "," << y;
    }
  }
}

TBytes Cut(const TBytes& ABytes, size_t ASize) {
  return TBytes(ABytes.begin(), ABytes.begin() + static_cast<std::ptrdiff_t>(ASize));
}

// A JPEG whose every block differs, so that no row can stand in for another.
TBytes GradientJpeg() {
  std::vector<TRgba> pixels;
  for (int y = 0; y < 48; ++y)
    for (int x = 0; x < 64; ++x)
      pixels.push_back({static_cast<uint8_t>(x * 4), static_cast<uint8_t>(y * 5), static_cast<uint8_t>((x * y) % 251),
                        255});
  return test::EncodeJpeg(64, 48, pixels);
}

// An uncompressed 24-bit BMP of 64 x 48 pixels, rows bottom-up.
// The same file with another size in its bitmap header's size field.
TBytes WithBmpHeaderSize(TBytes ABmp, uint32_t ASize) {
  for (size_t i = 0; i < 4 && ABmp.size() >= 18; ++i) ABmp.at(14 + i) = static_cast<uint8_t>(ASize >> (8 * i));
  return ABmp;
}

// The same file with another offset of its pixels in its file header.
TBytes WithBmpPixelOffset(TBytes ABmp, uint32_t AOffset) {
  for (size_t i = 0; i < 4 && ABmp.size() >= 14; ++i) ABmp.at(10 + i) = static_cast<uint8_t>(AOffset >> (8 * i));
  return ABmp;
}

TBytes GradientBmp() {
  constexpr uint32_t width = 64, height = 48, stride = width * 3, pixelBytes = stride * height;
  TBytes bmp;
  auto put = [&](uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) bmp.push_back(static_cast<uint8_t>(value >> (8 * i)));
  };
  bmp.push_back('B');
  bmp.push_back('M');
  put(14 + 40 + pixelBytes, 4);
  put(0, 4);
  put(14 + 40, 4);
  put(40, 4);
  put(width, 4);
  put(height, 4);
  put(1, 2);
  put(24, 2);
  put(0, 4);  // stored rows, no compression
  put(pixelBytes, 4);
  put(2835, 4);
  put(2835, 4);
  put(0, 4);
  put(0, 4);
  for (uint32_t y = 0; y < height; ++y)
    for (uint32_t x = 0; x < width; ++x) {
      bmp.push_back(static_cast<uint8_t>(x * 4));
      bmp.push_back(static_cast<uint8_t>(y * 5));
      bmp.push_back(static_cast<uint8_t>(x * y));
    }
  return bmp;
}

TEST_F(LoadImageFile, WholeUncompressedBmpDecodes) {
  BitmapOwner owner{Load(Fixture("whole.bmp", GradientBmp()))};
  const Picture picture = ReadBitmap(owner.bitmap);
  ASSERT_EQ(picture.width, 64);
  ASSERT_EQ(picture.height, 48);
  // Stored bottom-up: the file's first row is the picture's last.
  EXPECT_EQ(picture.At(5, 47), (Bgra{20, 0, 0, 255}));
}

// Rows that all arrived make a whole image, whether the end marker came with
// them or not, and whatever follows it.
TEST_F(LoadImageFile, JpegWithAllItsRowsDecodesWithOrWithoutItsEndMarker) {
  const TBytes whole = GradientJpeg();
  ASSERT_GT(whole.size(), 200u);
  ASSERT_EQ(whole[whole.size() - 2], 0xFF);
  ASSERT_EQ(whole[whole.size() - 1], 0xD9);
  BitmapOwner reference{Load(Fixture("whole.jpg", whole))};
  const Picture expected = ReadBitmap(reference.bitmap);
  TBytes padded = whole;
  padded.insert(padded.end(), 300, 0x00);
  // Without its end marker the imaging component under Wine refuses the
  // file outright, and gdk-pixbuf takes it: both give the whole image.
  for (const auto& [name, bytes] : {std::pair{"without_end_marker.jpg", Cut(whole, whole.size() - 2)},
                                    std::pair{"zeros_after_end_marker.jpg", padded}}) {
    BitmapOwner owner{Load(Fixture(name, bytes))};
    EXPECT_EQ(ReadBitmap(owner.bitmap).pixels, expected.pixels) << name;
  }
}

// Every scan of a progressive JPEG costs a pass over the whole image, so a
// file of many scans is refused before any decoder sees it: 883 scans of
// 8000 x 12500 pixels in 350 KB took the decoder 20 s. One of fewer scans
// decodes.
TEST_F(LoadImageFile, ProgressiveJpegOfTooManyScansIsRefused) {
  struct Case {
    const char* name;
    int refinements;
    bool refused;
  };
  for (const Case& c : {Case{"64_scans.jpg", 0, false}, Case{"127_scans.jpg", 1, true},
                        Case{"883_scans.jpg", 13, true}}) {
    SCOPED_TRACE(c.name);
    const std::filesystem::path path = Fixture(c.name, test::MakeProgressiveJpeg(40, 24, c.refinements));
    if (c.refused) {
      EXPECT_EQ(FailureOf(path), "Invalid image");
      continue;
    }
    BitmapOwner owner{Load(path)};
    const Picture picture = ReadBitmap(owner.bitmap);
    ASSERT_EQ(picture.width, 40);
    ASSERT_EQ(picture.height, 24);
    EXPECT_EQ(picture.pixels, std::vector<Bgra>(40 * 24, Bgra{128, 128, 128, 255}));
  }
}

TBytes Text(const std::string& AText) { return TBytes(AText.begin(), AText.end()); }

TEST_F(LoadImageFile, DamagedOrForeignDataIsAnInvalidImage) {
  std::vector<TRgba> gradient;
  for (int i = 0; i < 64 * 64; ++i)
    gradient.push_back({static_cast<uint8_t>(i), static_cast<uint8_t>(i >> 4), 7, static_cast<uint8_t>(255 - i % 256)});
  const TBytes whole = test::MakePng(64, 64, gradient, true);
  const std::vector<uint8_t> frame(100 * 30, 1);
  const TBytes gif = test::MakeAnimatedGif(100, 30, {{0, 0, 0, 255}, {9, 9, 9, 255}}, {frame, frame});
  std::mt19937 random(20240611);
  TBytes noise(4096);
  for (uint8_t& byte : noise) byte = static_cast<uint8_t>(random());
  struct Case {
    const char* name;
    TBytes bytes;
  };
  const Case cases[] = {
      // Cut off in the middle of the rows, as by a broken extraction. Every
      // piece reads well, and gdk-pixbuf's PNG loader would hand out the rows
      // it had, the rest blank, without an error.
      {"png_cut_in_the_rows.png", TBytes(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(whole.size() / 2))},
      // Well-formed, checksummed chunks whose data holds half the rows: no
      // error from gdk-pixbuf's PNG loader either.
      {"png_rows_missing_before_its_end.png", test::MakePngWithRowsMissing(64, 64)},
      // The GIF loader notices only when the data is closed, and has an
      // image by then.
      {"gif_cut_short.gif", TBytes(gif.begin(), gif.begin() + static_cast<std::ptrdiff_t>(gif.size() / 2))},
      {"random_bytes.jpg", noise},
      {"empty.png", {}},
      {"declares_60000x60000.png", test::MakePngDeclaring(60000, 60000)},
      {"declares_32768x32768.png", test::MakePngDeclaring(32768, 32768)},
      // Complete, valid images of a few hundred kilobytes whose pixels are
      // beyond the cap: refused by their size, not for any fault.
      {"flat_20000x20000.png", test::MakeFlatPng(20000, 20000)},
      {"flat_12000x12000.png", test::MakeFlatPng(12000, 12000)},
      {"one_row_over_the_cap_8192x12801.png", test::MakeFlatPng(8192, 12801)},
      // gdk-pixbuf's WebP loader decodes on after a refused size: 11 s and 1.8 GB.
      {"flat_16383x16383.webp", test::MakeFlatLosslessWebP(16383, 16383)},
      // Cut short: libjpeg only warns, and gdk-pixbuf hands out grey rows
      // for the ones that never came.
      {"jpeg_cut_after_200_bytes.jpg", Cut(GradientJpeg(), 200)},
      {"jpeg_cut_in_the_rows.jpg", Cut(GradientJpeg(), GradientJpeg().size() / 2)},
      {"jpeg_cut_before_its_last_bytes.jpg", Cut(GradientJpeg(), GradientJpeg().size() - 6)},
      // Uncompressed BMP rows cut short: the loader hands out what it had.
      {"bmp_cut_in_the_rows.bmp", Cut(GradientBmp(), GradientBmp().size() * 3 / 4)},
      // A bitmap header that claims 3 GiB in a file of a few kilobytes:
      // gdk-pixbuf's BMP loader reserves what it claims (found by fuzzing).
      {"bmp_header_claims_3_gib.bmp", WithBmpHeaderSize(GradientBmp(), 0xC9360EC6u)},
      // Pixels said to start 4 GiB into a file of a few kilobytes: the same
      // loader reserves up to there (found by fuzzing).
      {"bmp_pixels_start_4_gib_on.bmp", WithBmpPixelOffset(GradientBmp(), 0xFFFFFFC9u)},
      // Whole, valid pictures in formats no page comes in, whatever the
      // name: an SVG's filters can make a few hundred bytes render for
      // minutes, and the loaders of the others have their own ways.
      {"picture_in_svg.png", Text("<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"4\" height=\"4\">"
                                  "<rect width=\"4\" height=\"4\" fill=\"red\"/></svg>")},
      {"picture_in_xpm.jpg", Text("/* XPM */\nstatic char *p[] = {\"2 2 1 1\", \"a c #ff0000\", \"aa\", \"aa\"};\n")},
      {"picture_in_pnm.png", Text("P3\n2 2\n255\n255 0 0 255 0 0 255 0 0 255 0 0\n")},
  };
  for (const Case& c : cases) EXPECT_EQ(FailureOf(Fixture(c.name, c.bytes)), "Invalid image") << c.name;
}

// Decodes share nothing but the imaging component: several at once on
// several threads each get their own, right bitmap.
TEST_F(LoadImageFile, ConcurrentDecodesEachGetTheirImage) {
  const std::filesystem::path png = Fixture("concurrent.png", test::MakePng(3, 2, kAlphaPixels, true));
  const std::vector<uint8_t> frame(40 * 20, 1);
  const std::filesystem::path gif =
      Fixture("concurrent.gif", test::MakeAnimatedGif(40, 20, {{0, 0, 0, 255}, {90, 60, 30, 255}}, {frame}));
  constexpr int kThreads = 4, kRounds = 10;
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      test::TImagingThread imaging;
      for (int i = 0; i < kRounds; ++i) {
        try {
          const bool usePng = (t + i) % 2 == 0;
          BitmapOwner owner{FRegistry.LoadImageFile(test::ModulePath(usePng ? png : gif))};
          BITMAP info{};
          GetObjectW(owner.bitmap, sizeof info, &info);
          const auto* bottomLeft = static_cast<const uint8_t*>(info.bmBits);
          const Bgra seen{bottomLeft[0], bottomLeft[1], bottomLeft[2], bottomLeft[3]};
          if (seen != (usePng ? kAlphaExpected[3] : Bgra{30, 60, 90, 255})) ++wrong;
        } catch (...) {
          ++wrong;
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(wrong, 0);
}

// The largest real pages still decode: 8000 x 12500 is a full 100 million
// pixels, an A4 page scanned at about 1000 dpi (the decode holds some 1.2 GB
// for a moment).
TEST_F(LoadImageFile, PageOfAHundredMillionPixelsIsDecoded) {
  BitmapOwner owner{Load(Fixture("flat_8000x12500.png", test::MakeFlatPng(8000, 12500)))};
  BITMAP info{};
  ASSERT_EQ(GetObjectW(owner.bitmap, sizeof info, &info), static_cast<int>(sizeof info));
  EXPECT_EQ(info.bmWidth, 8000);
  EXPECT_EQ(info.bmHeight, 12500);
  const auto* pixel = static_cast<const uint8_t*>(info.bmBits);
  EXPECT_EQ((Bgra{pixel[0], pixel[1], pixel[2], pixel[3]}), (Bgra{0, 0, 0, 255}));
}

TEST_F(LoadImageFile, MissingFileRaisesThePlatformError) { EXPECT_THROW(Load(FDir / "no such file.png"), EOSError); }

// A valid PNG padded with zeros past the limit: any decoder would read the
// image, so only the size test refuses it, and before reading.
TEST_F(LoadImageFile, FileAboveTheSizeLimitIsRefusedUnread) {
  const std::filesystem::path path = Fixture("padded_past_the_limit.png", test::MakePng(3, 2, kAlphaPixels, true));
  std::filesystem::resize_file(path, kMaxImageFileSize + 1);  // sparse: no disk taken
  EXPECT_EQ(FailureOf(path), "Invalid image");
}

}  // namespace
}  // namespace quillet
