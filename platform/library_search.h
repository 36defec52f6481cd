#pragma once
// Where a module looks for an archive library: beside the module, beside the
// host executable, then at the path that the module's settings file names.
// The module's handlers load their libraries by this rule, and a host that
// must know whether a library is there for the module asks the same rule.
#include <string>

namespace quillet::platform {

constexpr int kLibrarySearchPlaces = 3;

// The settings file of a module: its path with the extension replaced by
// ".ini" (Quillet.ini beside Quillet.wlx64).
std::u16string SettingsFileOf(const std::u16string& AModulePath);

// The path tried in place APlace (0, 1 or 2) for the library ALibraryName of
// the module at AModulePath:
//   0  the module's folder followed by the library's name;
//   1  the host executable's folder followed by the library's name;
//   2  the value of the key ALibraryName in [DllPath] of the module's
//      settings file, trimmed of characters U+0020 and below at both ends,
//      then with its environment references expanded; empty when the file,
//      the section or the key is missing or the value is blank.
std::u16string LibrarySearchPath(int APlace, const std::u16string& AModulePath, const std::u16string& ALibraryName);

}  // namespace quillet::platform
