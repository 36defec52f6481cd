#include "tools/png_chunks.h"

#include <array>
#include <cstring>

namespace quillet::tool {

namespace {

constexpr uint8_t kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};

uint32_t ReadBigEndian(const uint8_t* p) {
  return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | uint32_t{p[3]};
}

void AppendBigEndian(std::vector<uint8_t>& out, uint32_t value) {
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<uint8_t>(value >> shift));
}

const std::array<uint32_t, 256>& CrcTable() {
  static const std::array<uint32_t, 256> table = [] {
    std::array<uint32_t, 256> t{};
    for (uint32_t n = 0; n < 256; ++n) {
      uint32_t c = n;
      for (int k = 0; k < 8; ++k) c = (c & 1) != 0 ? 0xedb88320u ^ (c >> 1) : c >> 1;
      t[n] = c;
    }
    return t;
  }();
  return table;
}

// A keyword, a zero byte, the rest up to the next zero byte; false when the
// zero is missing.
bool SplitAtZero(std::string_view data, std::string& head, std::string_view& rest) {
  const size_t zero = data.find('\0');
  if (zero == std::string_view::npos) return false;
  head = std::string(data.substr(0, zero));
  rest = data.substr(zero + 1);
  return true;
}

void ReadTextChunk(std::string_view type, std::string_view data, std::map<std::string, std::string>& text) {
  std::string key;
  std::string_view rest;
  if (!SplitAtZero(data, key, rest) || key.empty()) return;
  if (type == "tEXt") {
    text.emplace(key, std::string(rest));
    return;
  }
  // iTXt: compression flag, method, language tag, translated keyword, text.
  if (rest.size() < 2 || rest[0] != 0) return;  // compressed text is not needed here
  std::string language;
  std::string translated;
  std::string_view afterLanguage;
  std::string_view value;
  if (!SplitAtZero(rest.substr(2), language, afterLanguage) || !SplitAtZero(afterLanguage, translated, value)) return;
  text.emplace(key, std::string(value));
}

}  // namespace

uint32_t Crc32(const uint8_t* data, size_t size, uint32_t crc) {
  const auto& table = CrcTable();
  uint32_t c = crc ^ 0xffffffffu;
  for (size_t i = 0; i < size; ++i) c = table[(c ^ data[i]) & 0xff] ^ (c >> 8);
  return c ^ 0xffffffffu;
}

bool ReadPngSummary(std::string_view file, PngSummary& summary) {
  summary = PngSummary{};
  const auto* bytes = reinterpret_cast<const uint8_t*>(file.data());
  if (file.size() < sizeof kSignature || std::memcmp(bytes, kSignature, sizeof kSignature) != 0) return false;
  size_t offset = sizeof kSignature;
  bool first = true;
  while (file.size() - offset >= 12) {
    const uint32_t length = ReadBigEndian(bytes + offset);
    if (length > file.size() - offset - 12) return false;
    const uint8_t* typeAndData = bytes + offset + 4;
    const std::string_view type(reinterpret_cast<const char*>(typeAndData), 4);
    const std::string_view data(reinterpret_cast<const char*>(typeAndData + 4), length);
    if (Crc32(typeAndData, size_t{length} + 4) != ReadBigEndian(typeAndData + 4 + length)) return false;
    offset += size_t{length} + 12;
    if (first != (type == "IHDR")) return false;
    if (first) {
      if (length != 13) return false;
      const auto* header = reinterpret_cast<const uint8_t*>(data.data());
      summary.width = ReadBigEndian(header);
      summary.height = ReadBigEndian(header + 4);
      summary.bitDepth = header[8];
      summary.colourType = header[9];
      summary.interlace = header[12];
      first = false;
    } else if (type == "tEXt" || type == "iTXt") {
      ReadTextChunk(type, data, summary.text);
    } else if (type == "IEND") {
      return true;
    }
  }
  return false;
}

std::vector<uint8_t> InsertPngTextChunks(const std::vector<uint8_t>& png, const std::vector<PngText>& text) {
  constexpr size_t kHeaderEnd = sizeof kSignature + 12 + 13;
  if (png.size() < kHeaderEnd || std::memcmp(png.data(), kSignature, sizeof kSignature) != 0 ||
      ReadBigEndian(png.data() + 8) != 13 || std::memcmp(png.data() + 12, "IHDR", 4) != 0)
    return {};
  std::vector<uint8_t> out(png.begin(), png.begin() + kHeaderEnd);
  for (const PngText& pair : text) {
    std::vector<uint8_t> chunk = {'t', 'E', 'X', 't'};
    chunk.insert(chunk.end(), pair.key.begin(), pair.key.end());
    chunk.push_back(0);
    chunk.insert(chunk.end(), pair.value.begin(), pair.value.end());
    AppendBigEndian(out, static_cast<uint32_t>(chunk.size() - 4));
    out.insert(out.end(), chunk.begin(), chunk.end());
    AppendBigEndian(out, Crc32(chunk.data(), chunk.size()));
  }
  out.insert(out.end(), png.begin() + kHeaderEnd, png.end());
  return out;
}

}  // namespace quillet::tool
