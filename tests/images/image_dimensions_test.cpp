// The size an image file declares, read from its header before any decoder
// is handed the data, and the refusal of images beyond the pixel cap.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "handlers/image_dimensions.h"

namespace quillet {
namespace {

using TBytes = std::vector<uint8_t>;

// Header bytes written piece by piece.
struct THeader {
  TBytes bytes;
  THeader& Text(const std::string& AText) {
    bytes.insert(bytes.end(), AText.begin(), AText.end());
    return *this;
  }
  THeader& Bytes(std::initializer_list<uint8_t> AValues) {
    bytes.insert(bytes.end(), AValues);
    return *this;
  }
  THeader& Zeros(size_t ACount) {
    // One at a time: GCC 12 misjudges the bounds of a bulk fill here.
    for (size_t i = 0; i < ACount; ++i) bytes.push_back(0);
    return *this;
  }
  THeader& Le(uint64_t AValue, int ABytes) {
    for (int i = 0; i < ABytes; ++i) bytes.push_back(static_cast<uint8_t>(AValue >> (8 * i)));
    return *this;
  }
  THeader& Be(uint64_t AValue, int ABytes) {
    for (int i = ABytes - 1; i >= 0; --i) bytes.push_back(static_cast<uint8_t>(AValue >> (8 * i)));
    return *this;
  }
  THeader& CutTo(size_t ASize) {
    bytes.resize(ASize);
    return *this;
  }
};

THeader Png(uint32_t AWidth, uint32_t AHeight) {
  return std::move(THeader{}.Text("\x89PNG\r\n\x1A\n").Be(13, 4).Text("IHDR").Be(AWidth, 4).Be(AHeight, 4).Bytes(
      {8, 6, 0, 0, 0}));
}

THeader WebPChunk(const char* AKind) { return std::move(THeader{}.Text("RIFF").Le(100, 4).Text("WEBP").Text(AKind)); }

THeader WebPCanvas(uint32_t AWidth, uint32_t AHeight) {
  return std::move(WebPChunk("VP8X").Le(10, 4).Zeros(4).Le(AWidth - 1, 3).Le(AHeight - 1, 3));
}

THeader WebPLossless(uint32_t AWidth, uint32_t AHeight) {
  return std::move(WebPChunk("VP8L").Le(5, 4).Bytes({0x2F}).Le((AWidth - 1) | uint64_t{AHeight - 1} << 14, 4));
}

THeader WebPLossy(uint32_t AWidth, uint32_t AHeight) {
  return std::move(WebPChunk("VP8 ").Le(10, 4).Zeros(3).Bytes({0x9D, 0x01, 0x2A}).Le(AWidth, 2).Le(AHeight, 2));
}

// Start of image, a JFIF segment, then a baseline frame header.
THeader JpegStart() { return std::move(THeader{}.Bytes({0xFF, 0xD8, 0xFF, 0xE0}).Be(16, 2).Text("JFIF").Zeros(10)); }
THeader& JpegFrame(THeader& AHeader, uint8_t AMarker, uint32_t AWidth, uint32_t AHeight) {
  return AHeader.Bytes({0xFF, AMarker}).Be(11, 2).Bytes({8}).Be(AHeight, 2).Be(AWidth, 2).Bytes({1, 1, 0x11, 0});
}
THeader Jpeg(uint32_t AWidth, uint32_t AHeight, uint8_t AMarker = 0xC0) {
  THeader header = JpegStart();
  return std::move(JpegFrame(header, AMarker, AWidth, AHeight));
}

// A screen with a global colour table of two colours, a graphic control
// extension, then an image descriptor.
THeader Gif(uint32_t AScreenWidth, uint32_t AScreenHeight, uint32_t ALeft, uint32_t AWidth, uint32_t AHeight) {
  return std::move(THeader{}
                       .Text("GIF89a")
                       .Le(AScreenWidth, 2)
                       .Le(AScreenHeight, 2)
                       .Bytes({0x80, 0, 0})
                       .Zeros(6)
                       .Bytes({0x21, 0xF9, 4, 0, 0, 0, 0, 0})
                       .Bytes({0x2C})
                       .Le(ALeft, 2)
                       .Le(0, 2)
                       .Le(AWidth, 2)
                       .Le(AHeight, 2)
                       .Bytes({0, 2}));
}

THeader Bmp(int32_t AWidth, int32_t AHeight) {
  return std::move(THeader{}.Text("BM").Zeros(12).Le(40, 4).Le(static_cast<uint32_t>(AWidth), 4).Le(
      static_cast<uint32_t>(AHeight), 4));
}

// An animated WebP: the extended header with its animation flag, the
// animation chunk, then AFrames frame chunks (of odd length, padded).
THeader AnimatedWebP(uint32_t AWidth, uint32_t AHeight, int AFrames) {
  THeader header = WebPChunk("VP8X").Le(10, 4).Bytes({0x02}).Zeros(3).Le(AWidth - 1, 3).Le(AHeight - 1, 3);
  header.Text("ANIM").Le(6, 4).Zeros(6);
  for (int i = 0; i < AFrames; ++i) header.Text("ANMF").Le(17, 4).Zeros(17).Zeros(1);
  return header;
}

TBytes Cut(TBytes ABytes, size_t ASize) {
  ABytes.resize(ASize);
  return ABytes;
}

// An ISO media file: a box of its type and contents.
TBytes Box(const char* AType, const TBytes& AContents) {
  TBytes box = THeader{}.Be(8 + AContents.size(), 4).Text(AType).bytes;
  box.insert(box.end(), AContents.begin(), AContents.end());
  return box;
}
TBytes Joined(std::initializer_list<TBytes> AParts) {
  TBytes joined;
  for (const TBytes& part : AParts) joined.insert(joined.end(), part.begin(), part.end());
  return joined;
}
// An HEVC sequence parameter set coding AWidth x AHeight luma samples, with
// ASubLayers sub-layers that each declare a profile and a level. Its profile
// bits are zeros, so the emulation prevention bytes a writer puts after two
// zero bytes are there to be taken out.
TBytes HevcSequenceParameterSet(uint32_t AWidth, uint32_t AHeight, int ASubLayers) {
  std::vector<bool> bits;
  auto put = [&bits](uint64_t AValue, int ACount) {  // at most 64 bits at a time
    for (int i = ACount - 1; i >= 0; --i) bits.push_back((AValue >> i & 1) != 0);
  };
  auto golomb = [&put](uint64_t AValue) {
    const int length = std::bit_width(AValue + 1);
    put(0, length - 1);
    put(AValue + 1, length);
  };
  put(0x4201, 16);  // NAL unit type 33
  put(0, 4);
  put(static_cast<uint64_t>(ASubLayers), 3);
  put(1, 1);
  for (int i = 0; i < 3; ++i) put(0, 32);  // general profile, tier and level: 96 bits
  for (int i = 0; i < ASubLayers; ++i) put(3, 2);
  if (ASubLayers > 0) put(0, 2 * (8 - ASubLayers));
  for (int i = 0; i < 3 * ASubLayers; ++i) put(0, 32);  // each sub-layer's profile (88 bits) and level (8)
  golomb(0);  // parameter set
  golomb(1);  // 4:2:0
  golomb(AWidth);
  golomb(AHeight);
  put(1, 1);  // the trailing bits
  while (bits.size() % 8 != 0) bits.push_back(false);
  TBytes unit;
  int zeros = 0;
  for (size_t at = 0; at < bits.size(); at += 8) {
    uint8_t byte = 0;
    for (size_t i = 0; i < 8; ++i) byte = static_cast<uint8_t>(byte << 1 | (bits[at + i] ? 1 : 0));
    if (zeros >= 2 && byte <= 3) {
      unit.push_back(3);
      zeros = 0;
    }
    unit.push_back(byte);
    zeros = byte == 0 ? zeros + 1 : 0;
  }
  return unit;
}

// An HEVC configuration record holding one sequence parameter set.
TBytes HevcConfiguration(const TBytes& ASequenceParameterSet) {
  TBytes record = THeader{}.Bytes({1}).Zeros(21).Bytes({1, 0x80 | 33}).Be(1, 2).Be(ASequenceParameterSet.size(), 2).bytes;
  record.insert(record.end(), ASequenceParameterSet.begin(), ASequenceParameterSet.end());
  return Box("hvcC", record);
}

// A HEIF file whose item properties give each of ASizes as a spatial extent,
// after AProperties.
TBytes Heif(std::initializer_list<std::pair<uint32_t, uint32_t>> ASizes, const TBytes& AProperties = {}) {
  TBytes extents = AProperties;
  for (const auto& [width, height] : ASizes) {
    const TBytes ispe = Box("ispe", THeader{}.Zeros(4).Be(width, 4).Be(height, 4).bytes);
    extents.insert(extents.end(), ispe.begin(), ispe.end());
  }
  const TBytes ftyp = Box("ftyp", THeader{}.Text("heic").Zeros(4).Text("mif1heic").bytes);
  const TBytes hdlr = Box("hdlr", THeader{}.Zeros(8).Text("pict").Zeros(13).bytes);
  const TBytes meta = Box("meta", Joined({TBytes(4, 0), hdlr, Box("iprp", Box("ipco", extents))}));
  return Joined({ftyp, meta, Box("mdat", TBytes(16, 0))});
}

constexpr uint32_t kSide = 10240;  // kSide x kSide is exactly the cap

TEST(DeclaredImageDimensions, HeadersOfEveryFormatReadHere) {
  struct Case {
    const char* name;
    TBytes bytes;
    std::optional<TImageDimensions> dimensions;  // nothing: left to the decoder
    bool tooMany;
  };
  THeader jpegWithThumbnail = JpegStart();
  // An APP1 segment holding a frame header of its own, skipped by its length.
  jpegWithThumbnail.Bytes({0xFF, 0xE1}).Be(2 + 15, 2).Bytes({0xFF, 0xC0}).Be(11, 2).Bytes({8}).Be(60000, 2).Be(
      60000, 2).Bytes({1, 1, 0x11, 0, 0, 0});
  JpegFrame(jpegWithThumbnail, 0xC0, 800, 1200);
  THeader jpegFill = JpegStart();
  jpegFill.Bytes({0xFF, 0xFF, 0xFF});
  JpegFrame(jpegFill, 0xC2, 65535, 65535);
  THeader jpegScanFirst = JpegStart();
  jpegScanFirst.Bytes({0xFF, 0xDA}).Be(8, 2).Zeros(6);
  JpegFrame(jpegScanFirst, 0xC0, 65535, 65535);
  THeader jpegHuffmanTable = JpegStart();  // C4 is a table, not a frame
  jpegHuffmanTable.Bytes({0xFF, 0xC4}).Be(7, 2).Be(65535, 2).Be(65535, 2).Bytes({0});
  JpegFrame(jpegHuffmanTable, 0xC1, 320, 200);

  const Case cases[] = {
      {"png", Png(800, 1200).bytes, TImageDimensions{800, 1200}, false},
      {"png at the cap", Png(kSide, kSide).bytes, TImageDimensions{kSide, kSide}, false},
      {"png one column over", Png(kSide + 1, kSide).bytes, TImageDimensions{kSide + 1, kSide}, true},
      {"png 20000 x 20000", Png(20000, 20000).bytes, TImageDimensions{20000, 20000}, true},
      {"png of the largest sides", Png(0xFFFFFFFF, 0xFFFFFFFF).bytes, TImageDimensions{0xFFFFFFFF, 0xFFFFFFFF},
       true},
      {"png of no width", Png(0, 60000).bytes, TImageDimensions{0, 60000}, false},
      {"png cut in its height", Png(60000, 60000).CutTo(22).bytes, std::nullopt, false},
      {"png without IHDR first", THeader{}.Text("\x89PNG\r\n\x1A\n").Be(4, 4).Text("CgBI").Be(60000, 4).Be(
                                     60000, 4).bytes,
       std::nullopt, false},
      {"webp canvas", WebPCanvas(8000, 12500).bytes, TImageDimensions{8000, 12500}, false},
      {"webp canvas over", WebPCanvas(1 << 24, 1 << 24).bytes, TImageDimensions{1 << 24, 1 << 24}, true},
      {"webp canvas cut", WebPCanvas(1 << 24, 1 << 24).CutTo(29).bytes, std::nullopt, false},
      {"webp lossless at the cap", WebPLossless(kSide, kSide).bytes, TImageDimensions{kSide, kSide}, false},
      {"webp lossless over", WebPLossless(16384, 16384).bytes, TImageDimensions{16384, 16384}, true},
      {"webp lossless cut", WebPLossless(16384, 16384).CutTo(24).bytes, std::nullopt, false},
      {"webp lossy", WebPLossy(16383, 16383).bytes, TImageDimensions{16383, 16383}, true},
      {"webp lossy, scale bits ignored", WebPLossy(0xC000 | 640, 0x4000 | 480).bytes, TImageDimensions{640, 480},
       false},
      {"webp lossy without its start code", WebPChunk("VP8 ").Le(10, 4).Zeros(10).bytes, std::nullopt, false},
      {"webp animation of 6 frames at 4096 x 4096", AnimatedWebP(4096, 4096, 6).bytes,
       TImageDimensions{4096, 4096, 6}, false},
      {"webp animation of 7 frames at 4096 x 4096", AnimatedWebP(4096, 4096, 7).bytes,
       TImageDimensions{4096, 4096, 7}, true},
      {"webp animation of 60 frames cut after 20", AnimatedWebP(4096, 4096, 60).CutTo(30 + 18 + 26 * 20).bytes,
       TImageDimensions{4096, 4096, 20}, true},
      {"webp animation of 1000 frames of 1 pixel", AnimatedWebP(1, 1, 1000).bytes, TImageDimensions{1, 1, 1000},
       false},
      {"webp animation of 1001 frames of 1 pixel", AnimatedWebP(1, 1, 1001).bytes, TImageDimensions{1, 1, 1001},
       true},
      {"heif", Heif({{800, 1200}}), TImageDimensions{800, 1200}, false},
      {"heif tiles and their grid", Heif({{512, 512}, {12000, 9000}, {512, 512}}), TImageDimensions{12000, 9000},
       true},
      {"heif without extents", Heif({}), std::nullopt, false},
      {"heif whose stream codes its extent", Heif({{640, 480}}, HevcConfiguration(HevcSequenceParameterSet(640, 480, 0))),
       TImageDimensions{640, 480}, false},
      // The decoder goes by the stream.
      {"heif whose stream codes more than its extent",
       Heif({{100, 100}}, HevcConfiguration(HevcSequenceParameterSet(24000, 24000, 0))),
       TImageDimensions{24000, 24000}, true},
      {"heif of a stream without extents", Heif({}, HevcConfiguration(HevcSequenceParameterSet(12000, 9000, 2))),
       TImageDimensions{12000, 9000}, true},
      {"heif of a stream with sub-layers", Heif({}, HevcConfiguration(HevcSequenceParameterSet(1992, 3056, 7))),
       TImageDimensions{1992, 3056}, false},
      {"heif of a cut parameter set",
       Heif({{64, 48}}, HevcConfiguration(Cut(HevcSequenceParameterSet(24000, 24000, 0), 18))),
       TImageDimensions{64, 48}, false},
      {"jpeg", Jpeg(800, 1200).bytes, TImageDimensions{800, 1200}, false},
      {"jpeg at the cap", Jpeg(kSide, kSide).bytes, TImageDimensions{kSide, kSide}, false},
      {"jpeg one row over", Jpeg(kSide, kSide + 1, 0xC1).bytes, TImageDimensions{kSide, kSide + 1}, true},
      {"jpeg progressive after fill bytes", jpegFill.bytes, TImageDimensions{65535, 65535}, true},
      {"jpeg with a thumbnail's frame inside a segment", jpegWithThumbnail.bytes, TImageDimensions{800, 1200}, false},
      {"jpeg with a Huffman table first", jpegHuffmanTable.bytes, TImageDimensions{320, 200}, false},
      {"jpeg with a scan before any frame", jpegScanFirst.bytes, std::nullopt, false},
      {"jpeg whose segment runs past the end", THeader{}.Bytes({0xFF, 0xD8, 0xFF, 0xE0}).Be(60000, 2).Zeros(20).bytes,
       std::nullopt, false},
      {"jpeg segment of length 0", THeader{}.Bytes({0xFF, 0xD8, 0xFF, 0xE0}).Be(0, 2).Zeros(20).bytes, std::nullopt,
       false},
      {"jpeg frame header too short", THeader{}.Bytes({0xFF, 0xD8, 0xFF, 0xC0}).Be(6, 2).Bytes({8, 0xFF, 0xFF, 0xFF})
                                          .bytes,
       std::nullopt, false},
      {"jpeg cut in its frame", Jpeg(60000, 60000).CutTo(26).bytes, std::nullopt, false},
      {"jpeg of no segments", THeader{}.Bytes({0xFF, 0xD8, 0x00}).bytes, std::nullopt, false},
      {"gif", Gif(800, 1200, 0, 800, 1200).bytes, TImageDimensions{800, 1200}, false},
      {"gif at the cap", Gif(kSide, kSide, 0, kSide, kSide).bytes, TImageDimensions{kSide, kSide}, false},
      {"gif screen over", Gif(65535, 65535, 0, 1, 1).bytes, TImageDimensions{65535, 65535}, true},
      {"gif image beyond a small screen", Gif(1, 1, 0, 65535, 65535).bytes, TImageDimensions{65535, 65535}, true},
      {"gif image placed past the cap", Gif(kSide, kSide, 1, kSide, kSide).bytes,
       TImageDimensions{kSide + 1, kSide}, true},
      {"gif cut before its image", Gif(100, 100, 0, 65535, 65535).CutTo(28).bytes, TImageDimensions{100, 100},
       false},
      {"gif extension that runs past the end", THeader{}.Text("GIF87a").Le(50, 2).Le(60, 2).Zeros(3).Bytes(
                                                    {0x21, 0xFE, 200, 1, 2}).bytes,
       TImageDimensions{50, 60}, false},
      {"gif cut in its screen", THeader{}.Text("GIF89a").Le(65535, 2).Le(65535, 2).bytes, std::nullopt, false},
      {"bmp top-down", Bmp(8000, -12500).bytes, TImageDimensions{8000, 12500}, false},
      {"bmp over", Bmp(kSide + 1, kSide).bytes, TImageDimensions{kSide + 1, kSide}, true},
      {"bmp of the most negative height", Bmp(kSide, INT32_MIN).bytes, TImageDimensions{kSide, int64_t{1} << 31},
       true},
      {"bmp of negative width", Bmp(-60000, 60000).bytes, TImageDimensions{-60000, 60000}, false},
      {"bmp old header", THeader{}.Text("BM").Zeros(12).Le(12, 4).Le(65535, 2).Le(65535, 2).bytes,
       TImageDimensions{65535, 65535}, true},
      {"bmp unknown header size", THeader{}.Text("BM").Zeros(12).Le(20, 4).Le(60000, 4).Le(60000, 4).bytes,
       std::nullopt, false},
      {"bmp cut in its height", Bmp(60000, 60000).CutTo(24).bytes, std::nullopt, false},
      {"tiff, not read here", THeader{}.Text("II*").Zeros(20).bytes, std::nullopt, false},
      {"empty", {}, std::nullopt, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    // Each case alone in a buffer of its own size, so that a read past the
    // end is seen by the address sanitizer and by the heap checks of both
    // platforms' debug runtimes.
    const std::unique_ptr<uint8_t[]> exact(new uint8_t[c.bytes.size() + (c.bytes.empty() ? 1 : 0)]);
    std::copy(c.bytes.begin(), c.bytes.end(), exact.get());
    const std::optional<TImageDimensions> read = DeclaredImageDimensions(exact.get(), c.bytes.size());
    ASSERT_EQ(read.has_value(), c.dimensions.has_value());
    if (read) {
      EXPECT_EQ(read->Width, c.dimensions->Width);
      EXPECT_EQ(read->Height, c.dimensions->Height);
      EXPECT_EQ(read->Frames, c.dimensions->Frames);
    }
    EXPECT_EQ(DeclaresTooManyPixels(exact.get(), c.bytes.size()), c.tooMany);
  }
}

// A bitmap header is never longer than its file; one that claims more is
// damage, whatever it says of the picture.
TEST(DeclaredImageDimensions, BmpHeaderBeyondItsFile) {
  const TBytes oldHeader = THeader{}.Text("BM").Zeros(12).Le(12, 4).Le(640, 2).Le(480, 2).Le(1, 2).Le(24, 2).bytes;
  const TBytes infoHeader = Bmp(640, 480).Zeros(40 - 12).bytes;  // the whole 40-byte header
  const auto withHeaderSize = [](TBytes ABytes, uint32_t ASize) {
    if (ABytes.size() >= 18)
      for (size_t i = 0; i < 4; ++i) ABytes.at(14 + i) = static_cast<uint8_t>(ASize >> (8 * i));
    return ABytes;
  };
  const auto withPixelOffset = [](TBytes ABytes, uint32_t AOffset) {
    if (ABytes.size() >= 14)
      for (size_t i = 0; i < 4; ++i) ABytes.at(10 + i) = static_cast<uint8_t>(AOffset >> (8 * i));
    return ABytes;
  };
  struct Case {
    const char* name;
    TBytes bytes;
    bool beyond;
  };
  const Case cases[] = {
      {"old 12-byte header", oldHeader, false},
      {"40-byte header", infoHeader, false},
      {"header that ends with the file", withHeaderSize(infoHeader, static_cast<uint32_t>(infoHeader.size() - 14)), false},
      {"header one byte beyond the file", withHeaderSize(infoHeader, static_cast<uint32_t>(infoHeader.size() - 13)), true},
      {"header of 3 GiB", withHeaderSize(infoHeader, 0xC9360EC6u), true},
      {"header of 4 GiB less one", withHeaderSize(infoHeader, 0xFFFFFFFFu), true},
      {"cut before the size field", TBytes(infoHeader.begin(), infoHeader.begin() + 16), false},
      {"pixels that start where the file ends", withPixelOffset(infoHeader, static_cast<uint32_t>(infoHeader.size())),
       false},
      {"pixels that start beyond the file", withPixelOffset(infoHeader, static_cast<uint32_t>(infoHeader.size() + 1)),
       true},
      {"pixels 4 GiB on", withPixelOffset(infoHeader, 0xFFFFFFC9u), true},
      {"a PNG", Png(640, 480).bytes, false},
  };
  for (const Case& c : cases)
    EXPECT_EQ(DeclaresHeaderBeyondItsData(c.bytes.data(), c.bytes.size()), c.beyond) << c.name;
  EXPECT_FALSE(DeclaresHeaderBeyondItsData(nullptr, 0));
}

TEST(DeclaredImageDimensions, NoDataDeclaresNothing) {
  EXPECT_FALSE(DeclaredImageDimensions(nullptr, 0).has_value());
  EXPECT_FALSE(DeclaresTooManyPixels(nullptr, 0));
}

// Every prefix of each header is read within its bounds; a prefix too short
// for the size declares none.
TEST(DeclaredImageDimensions, EveryCutOfAHeaderStaysWithinIt) {
  for (const TBytes& whole : {Heif({{60000, 60000}}), Heif({}, HevcConfiguration(HevcSequenceParameterSet(60000, 60000, 3))),
                              Png(60000, 60000).bytes, WebPCanvas(1 << 20, 1 << 20).bytes,
                              WebPLossless(16384, 16384).bytes, WebPLossy(16383, 16383).bytes,
                              Jpeg(60000, 60000).bytes, Gif(60000, 60000, 0, 60000, 60000).bytes,
                              Bmp(60000, 60000).bytes}) {
    for (size_t size = 0; size < whole.size(); ++size) {
      const std::unique_ptr<uint8_t[]> cut(new uint8_t[size + 1]);
      std::copy(whole.begin(), whole.begin() + static_cast<ptrdiff_t>(size), cut.get());
      const std::optional<TImageDimensions> read = DeclaredImageDimensions(cut.get(), size);
      if (read && (read->Width > 60000 || read->Height > 60000)) ADD_FAILURE() << "cut at " << size;
    }
    EXPECT_TRUE(DeclaresTooManyPixels(whole.data(), whole.size()));
  }
}

TEST(PageImageSignature, OnlyThePageFormatsAreHandedToADecoder) {
  struct Case {
    const char* name;
    TBytes bytes;
    bool page;
  };
  const Case cases[] = {
      {"jpeg", Jpeg(64, 64).bytes, true},
      {"png", Png(64, 64).bytes, true},
      {"gif 87a", THeader{}.Text("GIF87a").Zeros(7).bytes, true},
      {"gif 89a", Gif(64, 64, 0, 64, 64).bytes, true},
      {"bmp", Bmp(64, 64).bytes, true},
      {"tiff, little-endian", THeader{}.Text("II").Le(42, 2).Le(8, 4).bytes, true},
      {"tiff, big-endian", THeader{}.Text("MM").Be(42, 2).Be(8, 4).bytes, true},
      {"bigtiff", THeader{}.Text("II").Le(43, 2).Le(8, 2).Zeros(2).bytes, true},
      {"webp", WebPLossless(64, 64).bytes, true},
      {"heif", Heif({{64, 64}}), true},
      {"avif", Joined({Box("ftyp", THeader{}.Text("avif").Zeros(4).Text("mif1miaf").bytes), TBytes(8, 0)}), true},
      {"iso media of another brand", Joined({Box("ftyp", THeader{}.Text("isom").Zeros(4).bytes), TBytes(8, 0)}),
       false},
      {"a file type box longer than the data", THeader{}.Be(4096, 4).Text("ftypheic").Zeros(8).bytes, false},
      // Read as an SVG by the platform's content sniffing: the comment's
      // first bytes stand where the box's size would be.
      {"svg behind a file type", THeader{}.Text("<!--ftypheic-->\n<!DOCTYPE svg>\n<svg/>").bytes, false},
      {"svg", THeader{}.Text("<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"4\" height=\"4\"/>").bytes, false},
      {"svg with a declaration", THeader{}.Text("<?xml version=\"1.0\"?><svg/>").bytes, false},
      {"xpm", THeader{}.Text("/* XPM */\nstatic char *p[] = {\"1 1 1 1\", \"a c #ff0000\", \"a\"};").bytes, false},
      {"icon", THeader{}.Bytes({0, 0, 1, 0, 1, 0}).Zeros(16).bytes, false},
      {"mac icon", THeader{}.Text("icns").Be(8, 4).bytes, false},
      {"quicktime image", THeader{}.Be(16, 4).Text("idat").Zeros(8).bytes, false},
      {"pnm", THeader{}.Text("P6\n4 4\n255\n").Zeros(48).bytes, false},
      {"tga", THeader{}.Bytes({0, 0, 2}).Zeros(15).bytes, false},
      {"tiff of another number", THeader{}.Text("II").Le(41, 2).Le(8, 4).bytes, false},
      {"riff of another kind", THeader{}.Text("RIFF").Le(4, 4).Text("ACON").bytes, false},
      {"two bytes of a jpeg", TBytes{0xFF, 0xD8}, false},
      {"nothing", TBytes{}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::unique_ptr<uint8_t[]> exact(new uint8_t[c.bytes.size() + 1]);
    std::copy(c.bytes.begin(), c.bytes.end(), exact.get());
    EXPECT_EQ(HasPageImageSignature(exact.get(), c.bytes.size()), c.page);
  }
  EXPECT_FALSE(HasPageImageSignature(nullptr, 0));
}

// The marker stream of a JPEG file of AScans scans, each header followed by
// entropy-coded data with a stuffed 0xFF and a restart marker in it, as the
// decoder's marker reader meets them; ABetween comes before every scan.
TBytes JpegWithScans(size_t AScans, const TBytes& ABetween = {}) {
  THeader header = Jpeg(640, 480, 0xC2);
  for (size_t i = 0; i < AScans; ++i) {
    header.bytes.insert(header.bytes.end(), ABetween.begin(), ABetween.end());
    header.Bytes({0xFF, 0xDA}).Be(8, 2).Bytes({1, 1, 0x00, 1, 1, 0x10});
    header.Bytes({0x12, 0xFF, 0x00, 0x34, 0xFF, 0xD3, 0x56});
  }
  return std::move(header.Bytes({0xFF, 0xD9}).bytes);
}

TEST(JpegScans, MoreThanTheLimitAreRefusedHoweverTheMarkersAreDressed) {
  const TBytes garbage = {0x00, 0x41, 0xD9, 0x42};       // skipped by the decoder with a warning
  const TBytes fill = {0xFF, 0xFF, 0xFF};                 // fill bytes before a marker
  const TBytes comment = THeader{}.Bytes({0xFF, 0xFE}).Be(6, 2).Bytes({0xFF, 0xDA, 0x00, 0x02}).bytes;
  struct Case {
    const char* name;
    TBytes bytes;
    bool tooMany;
  };
  const Case cases[] = {
      {"one scan", JpegWithScans(1), false},
      {"ten scans, as a common progressive file", JpegWithScans(10), false},
      {"the limit", JpegWithScans(kMaxJpegScans), false},
      {"one more", JpegWithScans(kMaxJpegScans + 1), true},
      {"2,082 scans", JpegWithScans(2082), true},
      {"bytes between the scans", JpegWithScans(kMaxJpegScans + 1, garbage), true},
      {"fill bytes before each scan", JpegWithScans(kMaxJpegScans + 1, fill), true},
      // Marker bytes inside a segment are its data, not markers.
      {"a comment of marker bytes before each scan", JpegWithScans(kMaxJpegScans, comment), false},
      {"not a JPEG", TBytes(1000, 0xDA), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(HasTooCostlyJpegScans(c.bytes.data(), c.bytes.size()), c.tooMany);
  }

  // Scans after the end of the image are never decoded.
  TBytes ended = JpegWithScans(kMaxJpegScans);
  const TBytes more = JpegWithScans(kMaxJpegScans);
  ended.insert(ended.end(), more.begin() + 2, more.end());
  EXPECT_FALSE(HasTooCostlyJpegScans(ended.data(), ended.size()));
  EXPECT_FALSE(HasTooCostlyJpegScans(nullptr, 0));
}

// A JPEG of 640 x 480 pixels (4,800 blocks of one component): its DC scan,
// then AScans scans that each refine all 63 AC coefficients, visiting every
// coefficient of the image but the DC ones.
TBytes JpegOfFullRefinements(size_t AScans) {
  THeader header = Jpeg(640, 480, 0xC2);
  header.Bytes({0xFF, 0xDA}).Be(8, 2).Bytes({1, 1, 0x00, 0, 0, 0x00, 0x12});
  for (size_t i = 0; i < AScans; ++i) header.Bytes({0xFF, 0xDA}).Be(8, 2).Bytes({1, 1, 0x00, 1, 63, 0x10, 0x34});
  return std::move(header.Bytes({0xFF, 0xD9}).bytes);
}

// Few scans may still cost many passes over the image: what they visit is
// bounded too, not only how many there are.
TEST(JpegScans, WhatTheyVisitIsBounded) {
  // The DC scan and 6 full refinements visit each block's coefficients
  // 1 + 6 * 63 = 379 times, within 6 * 64 = 384; a seventh is over.
  const TBytes six = JpegOfFullRefinements(6), seven = JpegOfFullRefinements(7);
  EXPECT_FALSE(HasTooCostlyJpegScans(six.data(), six.size()));
  EXPECT_TRUE(HasTooCostlyJpegScans(seven.data(), seven.size()));
  // A sequential JPEG: one scan of every coefficient of three components,
  // sampled 2 x 2 and 1 x 1 (the 4:2:0 of most photographs).
  THeader sequential = JpegStart();
  sequential.Bytes({0xFF, 0xC0}).Be(17, 2).Bytes({8}).Be(3056, 2).Be(1988, 2).Bytes(
      {3, 1, 0x22, 0, 2, 0x11, 1, 3, 0x11, 1});
  sequential.Bytes({0xFF, 0xDA}).Be(12, 2).Bytes({3, 1, 0x00, 2, 0x11, 3, 0x11, 0, 63, 0x00, 0x12, 0x34});
  sequential.Bytes({0xFF, 0xD9});
  EXPECT_FALSE(HasTooCostlyJpegScans(sequential.bytes.data(), sequential.bytes.size()));
}

// Every prefix is read within its bounds (AddressSanitizer watches the copy's
// end); a segment whose length runs past the data ends nothing early.
TEST(JpegScans, EveryCutStaysWithinTheData) {
  const TBytes whole = JpegWithScans(kMaxJpegScans + 1);
  const TBytes startOfScan = {0xFF, 0xDA};
  const auto lastScan = static_cast<size_t>(
      std::find_end(whole.begin(), whole.end(), startOfScan.begin(), startOfScan.end()) - whole.begin());
  for (size_t size = 0; size <= whole.size(); ++size) {
    const std::unique_ptr<uint8_t[]> cut(new uint8_t[size]);
    std::copy(whole.begin(), whole.begin() + static_cast<ptrdiff_t>(size), cut.get());
    // The scan counts once its header's length is there.
    if (HasTooCostlyJpegScans(cut.get(), size) != (size >= lastScan + 4)) ADD_FAILURE() << "cut at " << size;
  }
  TBytes longSegment = JpegWithScans(kMaxJpegScans + 1);
  const TBytes overlong = THeader{}.Bytes({0xFF, 0xE1}).Be(0xFFFF, 2).bytes;
  longSegment.insert(longSegment.begin() + 2, overlong.begin(), overlong.end());
  EXPECT_TRUE(HasTooCostlyJpegScans(longSegment.data(), longSegment.size()));
}

}  // namespace
}  // namespace quillet
