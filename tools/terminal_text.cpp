#include "tools/terminal_text.h"

#include <cstdint>

namespace quillet::tool {

namespace {

void AppendHex(std::string& out, const char* prefix, unsigned value, int digits) {
  static const char kDigits[] = "0123456789ABCDEF";
  out += prefix;
  for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4) out += kDigits[(value >> shift) & 0xF];
}

// The length of the well-formed UTF-8 sequence at the start of text (1 to 4),
// or 0 when its first byte starts none: a stray continuation byte, an
// overlong form, a surrogate, a value beyond U+10FFFF, or a cut-off sequence.
size_t Utf8SequenceLength(std::string_view text) {
  const auto byte = [&](size_t i) { return static_cast<uint8_t>(text[i]); };
  const uint8_t lead = byte(0);
  if (lead < 0x80) return 1;
  size_t length = 0;
  uint8_t low = 0x80, high = 0xBF;  // the range of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (text.size() < length || byte(1) < low || byte(1) > high) return 0;
  for (size_t i = 2; i < length; ++i)
    if (byte(i) < 0x80 || byte(i) > 0xBF) return 0;
  return length;
}

}  // namespace

std::string TerminalSafe(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  while (!text.empty()) {
    const auto lead = static_cast<uint8_t>(text[0]);
    const size_t length = Utf8SequenceLength(text);
    if (length == 0 || lead < 0x20 || lead == 0x7F) {
      AppendHex(out, "\\x", lead, 2);
      text.remove_prefix(1);
      continue;
    }
    if (lead == '\\') {
      out += "\\\\";
    } else if (lead == 0xC2 && static_cast<uint8_t>(text[1]) <= 0x9F) {
      // U+0080 .. U+009F: the C1 controls, CSI (U+009B) among them.
      AppendHex(out, "\\u00", static_cast<uint8_t>(text[1]), 2);
    } else {
      out.append(text.substr(0, length));
    }
    text.remove_prefix(length);
  }
  return out;
}

void PrintMessage(std::FILE* stream, std::string_view message) {
  std::fprintf(stream, "quillet-thumbnail: %s\n", TerminalSafe(message).c_str());
}

}  // namespace quillet::tool
