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

void WriteBytes(const std::filesystem::path& APath, const TBytes& ABytes);

}  // namespace quillet::test
