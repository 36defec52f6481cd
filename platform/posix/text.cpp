// Text services on Linux. The "ANSI code page" of a Linux system is UTF-8.
// Upper-casing uses the C.UTF-8 locale's tables, one UTF-16 unit at a time,
// whatever locale the host process runs in.
#include <atomic>
#include <clocale>
#include <cstring>
#include <cwctype>
#include <locale.h>

#include "platform/platform.h"
#include "platform_text_locale.h"

namespace quillet::platform {

namespace {

// Made on first use and freed by ReleaseTextResources when the module is
// unloaded with no request in flight; a later use makes it again.
std::atomic<locale_t> TextLocale{static_cast<locale_t>(0)};

char16_t UpperUnit(char16_t c, locale_t locale) {
  if (c < 0x80) return (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - 32) : c;
  if (c >= 0xD800 && c <= 0xDFFF) return c;  // halves of a pair are left alone
  if (locale == static_cast<locale_t>(0)) return c;
  const wint_t upper = towupper_l(static_cast<wint_t>(c), locale);
  return upper <= 0xFFFF ? static_cast<char16_t>(upper) : c;
}

}  // namespace

locale_t Utf8TextLocale() noexcept {
  locale_t locale = TextLocale.load(std::memory_order_acquire);
  if (locale != static_cast<locale_t>(0)) return locale;
  locale_t made = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(0));
  if (made == static_cast<locale_t>(0)) return made;  // ASCII rules alone then
  // Two threads may both make one: the loser frees its own.
  if (!TextLocale.compare_exchange_strong(locale, made, std::memory_order_acq_rel)) {
    freelocale(made);
    return locale;
  }
  return made;
}

void ReleaseTextResources() noexcept {
  const locale_t locale = TextLocale.exchange(static_cast<locale_t>(0));
  if (locale != static_cast<locale_t>(0)) freelocale(locale);
}

std::u16string AnsiToUtf16(std::string_view text) { return Utf8ToUtf16(text); }
std::string Utf16ToAnsi(std::u16string_view text) { return Utf16ToUtf8(text); }

std::u16string UpperCase(std::u16string_view text) {
  const locale_t locale = Utf8TextLocale();
  std::u16string out(text);
  for (char16_t& c : out) c = UpperUnit(c, locale);
  return out;
}

bool SameText(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  const locale_t locale = Utf8TextLocale();
  for (size_t i = 0; i < a.size(); ++i)
    if (a[i] != b[i] && UpperUnit(a[i], locale) != UpperUnit(b[i], locale)) return false;
  return true;
}

// SameText compares unit by unit after upper-casing, so the upper-cased units
// are the key.
void SameTextKeyInto(std::u16string_view text, std::string& key) {
  const locale_t locale = Utf8TextLocale();
  key.resize(text.size() * sizeof(char16_t));
  for (size_t i = 0; i < text.size(); ++i) {
    const char16_t upper = UpperUnit(text[i], locale);
    std::memcpy(key.data() + i * sizeof(char16_t), &upper, sizeof upper);
  }
}

std::string SameTextKey(std::u16string_view text) {
  std::string key;
  SameTextKeyInto(text, key);
  return key;
}

}  // namespace quillet::platform
