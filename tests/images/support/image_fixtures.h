#pragma once
// Image files made by the tests themselves: small PNG and GIF writers, enough
// to give every decoder exact, known pixels.
#include <cstdint>
#include <filesystem>
#include <vector>

namespace quillet::test {

struct TRgba {
  uint8_t r, g, b, a;
  bool operator==(const TRgba&) const = default;
};

using TBytes = std::vector<uint8_t>;

// An 8-bit PNG of AWidth x AHeight pixels given top row first: colour type 6
// (RGBA) with AWithAlpha, else type 2 (RGB, the alpha bytes ignored);
// Adam7-interlaced with AInterlaced. The image data is stored uncompressed
// inside a valid zlib stream.
TBytes MakePng(int AWidth, int AHeight, const std::vector<TRgba>& APixels, bool AWithAlpha, bool AInterlaced = false);

// A PNG of any colour type and bit depth the format allows. Samples holds
// Width * Height * (samples per pixel of the colour type) values, top row
// first: palette indexes for colour type 3. Written with PLTE from Palette
// (colour type 3), tRNS from Transparent (colour type 3: one alpha per
// palette entry, as many as given; grey and RGB: the samples of the one
// transparent colour) and gAMA when Gamma (in 1/100000) is not 0.
struct TPngImage {
  int Width = 0;
  int Height = 0;
  uint8_t ColourType = 6;
  uint8_t BitDepth = 8;
  bool Interlaced = false;
  std::vector<uint16_t> Samples;
  std::vector<TRgba> Palette;
  std::vector<uint16_t> Transparent;
  uint32_t Gamma = 0;
};
TBytes MakePngOf(const TPngImage& AImage);

// A valid 16 x 16 RGB PNG whose pixels follow AChunks zTXt chunks of text
// that inflates to ABytesEach letters each; with ADamagedText also a
// tEXt chunk whose CRC is wrong. A few hundred kilobytes of file hold
// gigabytes of text.
TBytes MakePngFullOfText(int AChunks, uint64_t ABytesEach, bool ADamagedText);

// A well-formed RGBA PNG whose complete, checksummed data holds only the
// first half of its rows, followed by its end chunk.
TBytes MakePngWithRowsMissing(int AWidth, int AHeight);

// A PNG that declares AWidth x AHeight RGBA pixels but carries only the start
// of their data: a file of about a kilobyte.
TBytes MakePngDeclaring(uint32_t AWidth, uint32_t AHeight);

// A complete, valid black PNG of AWidth x AHeight pixels, one bit each,
// its rows deflated: 20000 x 20000 takes about 300 KB, however many bytes
// its pixels need once decoded.
TBytes MakeFlatPng(uint32_t AWidth, uint32_t AHeight);

// A lossless WebP of AWidth x AHeight transparent black pixels (each side at
// most 16384) in 28 bytes: every pixel is coded in no bits at all.
TBytes MakeFlatLosslessWebP(uint32_t AWidth, uint32_t AHeight);

// An animated GIF: one frame per entry of AFrames, each AWidth x AHeight
// palette indexes (top row first) into APalette (at most 256 colours).
TBytes MakeAnimatedGif(int AWidth, int AHeight, const std::vector<TRgba>& APalette,
                       const std::vector<std::vector<uint8_t>>& AFrames);

// A valid progressive grey JPEG of AWidth x AHeight pixels of grey 128 in
// 1 + 63 * (1 + ARefinements) scans (ARefinements at most 13): the DC
// coefficients, then each AC coefficient on its own, first ARefinements bits
// short and then refined a bit a scan. Each AC scan is a few end-of-band
// runs, yet a decoder passes over every block of the image for it.
TBytes MakeProgressiveJpeg(uint32_t AWidth, uint32_t AHeight, int ARefinements);

void WriteBytes(const std::filesystem::path& APath, const TBytes& ABytes);

}  // namespace quillet::test
