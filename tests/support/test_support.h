#pragma once
// Helpers shared by the test programs.
#include <filesystem>
#include <string>

namespace quillet::test {

// A fresh, empty folder for one test's files, below the build tree's
// test-output folder (or the system's temporary folder). The name is made
// unique to the calling process, so tests that run side by side never share
// one; within a process the same name gives the same folder, emptied again.
std::filesystem::path ScratchDir(const std::string& name);

// The path as the module under test must be given it, in UTF-16. Under Wine a
// Unix path becomes the same file through drive Z:.
std::u16string ModulePath(const std::filesystem::path& path);

// Whether the tests run as a Windows program (under Wine).
bool RunningOnWindows();

}  // namespace quillet::test

#include <cstdint>

#include "quillet/lister.h"

namespace quillet::test {

// The built module, loaded through its exports as a host loads it (once per
// test program; it stays loaded until the program ends).
struct QuilletModuleExports {
  void* handle = nullptr;
  ListGetDetectStringProc ListGetDetectString = nullptr;
  ListSetDefaultParamsProc ListSetDefaultParams = nullptr;
  ListGetPreviewBitmapProc ListGetPreviewBitmap = nullptr;
  ListGetPreviewBitmapWProc ListGetPreviewBitmapW = nullptr;
};
// Fails the current test (and returns exports with null members) when the
// module cannot be loaded.
const QuilletModuleExports& QuilletModule();

// The module file in the build tree.
std::filesystem::path BuiltModulePath();

}  // namespace quillet::test
