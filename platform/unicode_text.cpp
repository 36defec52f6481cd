// UTF-8 and UTF-16, the same on every platform. Ill-formed input (a stray
// byte, an unpaired surrogate) becomes U+FFFD rather than failing: these are
// names for display and lookup, and a file name must never stop a request.
#include "platform/platform.h"

namespace quillet::platform {

std::u16string Utf8ToUtf16(std::string_view text) {
  std::u16string out;
  out.reserve(text.size());
  size_t i = 0;
  const size_t n = text.size();
  auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
  while (i < n) {
    const unsigned char b0 = byte(i);
    char32_t cp = 0xFFFD;
    size_t len = 1;
    if (b0 < 0x80) {
      cp = b0;
    } else if (b0 >= 0xC2 && b0 <= 0xDF && i + 1 < n && (byte(i + 1) & 0xC0) == 0x80) {
      cp = ((b0 & 0x1Fu) << 6) | (byte(i + 1) & 0x3Fu);
      len = 2;
    } else if (b0 >= 0xE0 && b0 <= 0xEF && i + 2 < n && (byte(i + 1) & 0xC0) == 0x80 &&
               (byte(i + 2) & 0xC0) == 0x80) {
      const char32_t c = ((b0 & 0x0Fu) << 12) | ((byte(i + 1) & 0x3Fu) << 6) | (byte(i + 2) & 0x3Fu);
      if (c >= 0x800 && (c < 0xD800 || c > 0xDFFF)) {
        cp = c;
        len = 3;
      }
    } else if (b0 >= 0xF0 && b0 <= 0xF4 && i + 3 < n && (byte(i + 1) & 0xC0) == 0x80 &&
               (byte(i + 2) & 0xC0) == 0x80 && (byte(i + 3) & 0xC0) == 0x80) {
      const char32_t c = ((b0 & 0x07u) << 18) | ((byte(i + 1) & 0x3Fu) << 12) |
                         ((byte(i + 2) & 0x3Fu) << 6) | (byte(i + 3) & 0x3Fu);
      if (c >= 0x10000 && c <= 0x10FFFF) {
        cp = c;
        len = 4;
      }
    }
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(cp));
    }
    i += len;
  }
  return out;
}

std::string Utf16ToUtf8(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    char32_t cp = text[i];
    if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    } else if (cp >= 0xD800 && cp <= 0xDFFF) {
      cp = 0xFFFD;
    }
    if (cp < 0x80) {
      out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
  }
  return out;
}

std::u16string ExtractFilePath(std::u16string_view path) {
  for (size_t i = path.size(); i > 0; --i) {
    const char16_t c = path[i - 1];
    if (c == u'\\' || c == u':' || c == kDirectorySeparator) return std::u16string(path.substr(0, i));
  }
  return {};
}

}  // namespace quillet::platform
