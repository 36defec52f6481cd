// The settings file and environment expansion on Windows.
#include <windows.h>

#include <vector>

#include "platform/platform.h"

namespace quillet::platform {

namespace {
const wchar_t* W(const std::u16string& s) { return reinterpret_cast<const wchar_t*>(s.c_str()); }
}  // namespace

std::u16string ReadProfileString(const std::u16string& fileName, const std::u16string& section,
                                 const std::u16string& key, const std::u16string& defaultValue) {
  wchar_t buffer[2048] = {};
  const DWORD n = GetPrivateProfileStringW(W(section), W(key), W(defaultValue), buffer, 2048, W(fileName));
  return std::u16string(reinterpret_cast<const char16_t*>(buffer), n);
}

uint32_t ExpandEnvironmentText(const std::u16string& text, std::u16string& expanded) {
  const DWORD n = ExpandEnvironmentStringsW(W(text), nullptr, 0);
  if (n < 2) return n;
  std::vector<wchar_t> buffer(n);
  const DWORD written = ExpandEnvironmentStringsW(W(text), buffer.data(), n);
  if (written == 0 || written > n) return 0;
  expanded.assign(reinterpret_cast<const char16_t*>(buffer.data()), n - 1);
  return n;
}

}  // namespace quillet::platform
