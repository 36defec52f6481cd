// The unrar library's wide text (UTF-32 wchar_t) and its locale on Linux.
#include <locale.h>

#include "platform/unrar_boundary.h"
#include "platform_text_locale.h"

namespace quillet::platform {

static_assert(sizeof(UnrarChar) == 4, "the Linux library's wchar_t holds UTF-32");

namespace {

bool IsHighSurrogate(char32_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool IsLowSurrogate(char32_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

}  // namespace

std::vector<UnrarChar> ToUnrarText(std::u16string_view text) {
  std::vector<UnrarChar> out;
  out.reserve(text.size() + 1);
  for (size_t i = 0; i < text.size(); ++i) {
    char32_t c = text[i];
    if (IsHighSurrogate(c) && i + 1 < text.size() && IsLowSurrogate(text[i + 1])) {
      c = 0x10000 + ((c - 0xD800) << 10) + (static_cast<char32_t>(text[i + 1]) - 0xDC00);
      ++i;
    } else if (IsHighSurrogate(c) || IsLowSurrogate(c)) {
      c = 0xFFFD;
    }
    out.push_back(static_cast<UnrarChar>(c));
  }
  out.push_back(0);
  return out;
}

std::u16string FromUnrarText(const UnrarChar* text, size_t capacity) {
  std::u16string out;
  for (size_t i = 0; i < capacity && text[i] != 0; ++i) {
    char32_t c = static_cast<char32_t>(text[i]);
    if (c > 0x10FFFF || IsHighSurrogate(c) || IsLowSurrogate(c)) c = 0xFFFD;
    if (c >= 0x10000) {
      c -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (c >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (c & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(c));
    }
  }
  return out;
}

UnrarLocaleScope::UnrarLocaleScope() noexcept : FPrevious(nullptr) {
  const locale_t utf8 = Utf8TextLocale();
  // Without a UTF-8 locale on the machine, ASCII paths still work as before.
  if (utf8 != static_cast<locale_t>(0)) FPrevious = static_cast<void*>(uselocale(utf8));
}

UnrarLocaleScope::~UnrarLocaleScope() {
  if (FPrevious != nullptr) uselocale(static_cast<locale_t>(FPrevious));
}

}  // namespace quillet::platform
