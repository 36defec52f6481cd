#include "platform/library_search.h"

#include "platform/platform.h"

namespace quillet::platform {

std::u16string SettingsFileOf(const std::u16string& AModulePath) {
  // The extension: from the last '.' that follows the last delimiter and is
  // not the first character.
  size_t end = AModulePath.size();
  for (size_t i = AModulePath.size(); i > 0; --i) {
    const char16_t c = AModulePath[i - 1];
    if (c == u'.') {
      if (i - 1 > 0) end = i - 1;
      break;
    }
    if (IsNameDelimiter(c)) break;
  }
  return AModulePath.substr(0, end) + u".ini";
}

std::u16string LibrarySearchPath(int APlace, const std::u16string& AModulePath, const std::u16string& ALibraryName) {
  switch (APlace) {
    case 0:
      return ExtractFilePath(AModulePath) + ALibraryName;
    case 1:
      return ExtractFilePath(HostExecutablePath()) + ALibraryName;
    default: {
      const std::u16string value = ReadProfileString(SettingsFileOf(AModulePath), u"DllPath", ALibraryName, u"");
      size_t b = 0, e = value.size();
      while (b < e && value[b] <= u' ') ++b;
      while (e > b && value[e - 1] <= u' ') --e;
      if (b == e) return {};
      const std::u16string trimmed = value.substr(b, e - b);
      std::u16string expanded;
      return ExpandEnvironmentText(trimmed, expanded) < 2 ? trimmed : expanded;
    }
  }
}

}  // namespace quillet::platform
