#include "support/test_support.h"

#include <cstdlib>
#include <system_error>

#include "platform/platform.h"

namespace quillet::test {

bool RunningOnWindows() { return platform::kDirectorySeparator == u'\\'; }

std::filesystem::path ScratchDir(const std::string& name) {
  std::filesystem::path root;
  if (const char* out = std::getenv("QUILLET_TEST_OUTPUT"); out != nullptr && *out != '\0') {
    root = out;
    if (RunningOnWindows() && root.string().rfind('/', 0) == 0) root = "Z:" + root.string();
  } else {
    root = std::filesystem::temp_directory_path() / "quillet-tests";
  }
  // One folder per process as well as per name: ctest runs tests of the same
  // fixture side by side, and one must never clear another's files.
  std::filesystem::path dir = root / (name + "-" + std::to_string(platform::CurrentProcessId()));
  std::error_code ignored;
  std::filesystem::remove_all(dir, ignored);
  std::filesystem::create_directories(dir);
  return dir;
}

std::u16string ModulePath(const std::filesystem::path& path) {
  std::u16string text = path.u16string();
  if (RunningOnWindows()) {
    if (!text.empty() && text.front() == u'/') text = u"Z:" + text;
    for (char16_t& c : text)
      if (c == u'/') c = u'\\';
  }
  return text;
}

}  // namespace quillet::test

#include <gtest/gtest.h>

namespace quillet::test {

std::filesystem::path BuiltModulePath() {
  std::filesystem::path dir = QUILLET_BINARY_DIR;
  return dir / (RunningOnWindows() ? "Quillet.wlx64" : "Quillet.wlx");
}

const QuilletModuleExports& QuilletModule() {
  static const QuilletModuleExports exports = [] {
    QuilletModuleExports e;
    e.handle = platform::LoadLibraryQuietly(ModulePath(BuiltModulePath()));
    if (e.handle == nullptr) return e;
    auto symbol = [&](const char* name) { return platform::GetLibrarySymbol(e.handle, name); };
    e.ListGetDetectString = reinterpret_cast<ListGetDetectStringProc>(symbol("ListGetDetectString"));
    e.ListSetDefaultParams = reinterpret_cast<ListSetDefaultParamsProc>(symbol("ListSetDefaultParams"));
    e.ListGetPreviewBitmap = reinterpret_cast<ListGetPreviewBitmapProc>(symbol("ListGetPreviewBitmap"));
    e.ListGetPreviewBitmapW = reinterpret_cast<ListGetPreviewBitmapWProc>(symbol("ListGetPreviewBitmapW"));
    return e;
  }();
  EXPECT_NE(exports.handle, nullptr) << "cannot load " << BuiltModulePath();
  EXPECT_NE(exports.ListGetPreviewBitmapW, nullptr);
  return exports;
}

TPixels ReadPixels(HBITMAP ABitmap) {
  TPixels pixels;
  BITMAP bitmap{};
  if (ABitmap == nullptr || GetObjectW(ABitmap, sizeof bitmap, &bitmap) == 0) return pixels;
  pixels.Width = bitmap.bmWidth;
  pixels.Height = bitmap.bmHeight < 0 ? -bitmap.bmHeight : bitmap.bmHeight;
  BITMAPINFO info{};
  info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
  info.bmiHeader.biWidth = pixels.Width;
  info.bmiHeader.biHeight = -pixels.Height;  // top row first
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  info.bmiHeader.biCompression = BI_RGB;
  pixels.Bgra.resize(static_cast<size_t>(pixels.Width) * static_cast<size_t>(pixels.Height) * 4);
  HDC dc = GetDC(nullptr);
  const int rows = GetDIBits(dc, ABitmap, 0, static_cast<UINT>(pixels.Height), pixels.Bgra.data(), &info,
                             DIB_RGB_COLORS);
  ReleaseDC(nullptr, dc);
  if (rows != pixels.Height) pixels = TPixels{};
  return pixels;
}

}  // namespace quillet::test
