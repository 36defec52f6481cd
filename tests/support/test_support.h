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

#include <vector>

#include "platform_gdi.h"
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

// A bitmap's size and pixels, top row first, each as blue, green, red, alpha
// (read through GetDIBits, as a host reads a thumbnail). Empty when the
// handle is no bitmap.
struct TPixels {
  int32_t Width = 0;
  int32_t Height = 0;
  std::vector<uint8_t> Bgra;
};
TPixels ReadPixels(HBITMAP ABitmap);

// The module file in the build tree.
std::filesystem::path BuiltModulePath();

}  // namespace quillet::test
