// Text services on Windows: the system ANSI code page, CharUpperBuffW and the
// user-locale comparison.
#include <windows.h>

#include "platform/platform.h"

namespace quillet::platform {

std::u16string AnsiToUtf16(std::string_view text) {
  if (text.empty()) return {};
  const int n = MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  if (n <= 0) RaiseLastOSError();
  std::u16string out(static_cast<size_t>(n), u'\0');
  MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), reinterpret_cast<wchar_t*>(out.data()), n);
  return out;
}

std::string Utf16ToAnsi(std::u16string_view text) {
  if (text.empty()) return {};
  const auto* w = reinterpret_cast<const wchar_t*>(text.data());
  const int n = WideCharToMultiByte(CP_ACP, 0, w, static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
  if (n <= 0) RaiseLastOSError();
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_ACP, 0, w, static_cast<int>(text.size()), out.data(), n, nullptr, nullptr);
  return out;
}

std::u16string UpperCase(std::u16string_view text) {
  std::u16string out(text);
  if (!out.empty()) CharUpperBuffW(reinterpret_cast<wchar_t*>(out.data()), static_cast<DWORD>(out.size()));
  return out;
}

bool SameText(std::u16string_view a, std::u16string_view b) {
  return CompareStringW(LOCALE_USER_DEFAULT, NORM_IGNORECASE, reinterpret_cast<const wchar_t*>(a.data()),
                        static_cast<int>(a.size()), reinterpret_cast<const wchar_t*>(b.data()),
                        static_cast<int>(b.size())) == CSTR_EQUAL;
}

// The locale's sort key under the same flags as SameText's comparison: two
// texts compare equal exactly when their sort keys are equal byte for byte.
void SameTextKeyInto(std::u16string_view text, std::string& key) {
  constexpr DWORD kFlags = LCMAP_SORTKEY | NORM_IGNORECASE;
  // The call refuses a length of zero: the empty text goes as a terminated
  // one, whose terminator is not part of its key.
  const auto* source = text.empty() ? L"" : reinterpret_cast<const wchar_t*>(text.data());
  const int length = text.empty() ? -1 : static_cast<int>(text.size());
  // Most names fit in what the key already has, or in 512 bytes; the size
  // query is for the rest.
  if (key.size() < 512) key.resize(512);
  int n = LCMapStringW(LOCALE_USER_DEFAULT, kFlags, source, length, reinterpret_cast<wchar_t*>(key.data()),
                       static_cast<int>(key.size()));
  if (n > 0) {
    key.resize(static_cast<size_t>(n));
    return;
  }
  n = LCMapStringW(LOCALE_USER_DEFAULT, kFlags, source, length, nullptr, 0);
  if (n <= 0) RaiseLastOSError();
  key.resize(static_cast<size_t>(n));
  if (LCMapStringW(LOCALE_USER_DEFAULT, kFlags, source, length, reinterpret_cast<wchar_t*>(key.data()), n) != n)
    RaiseLastOSError();
}

std::string SameTextKey(std::u16string_view text) {
  std::string key;
  SameTextKeyInto(text, key);
  return key;
}

// The system's own tables need nothing made or freed.
void ReleaseTextResources() noexcept {}

}  // namespace quillet::platform
