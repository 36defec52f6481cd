#pragma once
// PNG files at the level of their chunks: the image header and the text
// chunks, read without decoding any pixels, and text chunks added to a PNG
// that an encoder made without them.
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace quillet::tool {

// One text chunk: a Latin-1 keyword (1 to 79 bytes) and its value.
struct PngText {
  std::string key;
  std::string value;
};

struct PngSummary {
  uint32_t width = 0;
  uint32_t height = 0;
  uint8_t bitDepth = 0;
  uint8_t colourType = 0;  // 6: RGBA, 2: RGB
  uint8_t interlace = 0;   // 0: none
  // tEXt chunks and uncompressed iTXt chunks, by keyword.
  std::map<std::string, std::string> text;
};

// Reads the header and the text of a whole PNG file held in memory. False when
// it is not a well-formed PNG: wrong signature, a chunk cut short or with a
// wrong CRC, no IHDR first, or no IEND.
bool ReadPngSummary(std::string_view file, PngSummary& summary);

// The PNG with a tEXt chunk for each pair placed right after its IHDR chunk.
// Returns an empty vector when the input is not a PNG that starts with IHDR.
std::vector<uint8_t> InsertPngTextChunks(const std::vector<uint8_t>& png, const std::vector<PngText>& text);

// The CRC-32 of PNG chunks (and of ZIP and zlib), of the bytes.
uint32_t Crc32(const uint8_t* data, size_t size, uint32_t crc = 0);

}  // namespace quillet::tool
