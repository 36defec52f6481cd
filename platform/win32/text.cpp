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

}  // namespace quillet::platform
