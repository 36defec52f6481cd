// The module's two preview exports on a real comic at a path with non-ASCII
// characters: the 8-bit name in the system's ANSI code page and the UTF-16
// name must reach the handlers as the same file.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform_gdi.h"
#include "support/test_support.h"

#if defined(_WIN32)
#include <objbase.h>
#endif

namespace quillet::test {
namespace {

namespace fs = std::filesystem;

fs::path FromEnvironment(const char* name) {
  const char* value = std::getenv(name);
  fs::path path = value != nullptr ? value : "";
  if (RunningOnWindows() && path.string().rfind('/', 0) == 0) path = "Z:" + path.string();
  return path;
}

// A fresh copy of the built module, with a settings file that names the real
// 7-Zip library, as an installation would have it.
struct InstalledModule {
  explicit InstalledModule(const fs::path& dir) {
    fs::create_directories(dir);
    const fs::path module = dir / BuiltModulePath().filename();
    fs::copy_file(BuiltModulePath(), module, fs::copy_options::overwrite_existing);
    const std::string key = RunningOnWindows() ? "7z.64.dll" : "7z.so";
    std::ofstream(fs::path(module).replace_extension(".ini"))
        << "[DllPath]\n" << key << "=" << platform::Utf16ToUtf8(ModulePath(FromEnvironment("QUILLET_SEVENZIP_LIBRARY")))
        << "\n";
    handle = platform::LoadLibraryQuietly(ModulePath(module));
    ansi = reinterpret_cast<ListGetPreviewBitmapProc>(platform::GetLibrarySymbol(handle, "ListGetPreviewBitmap"));
    wide = reinterpret_cast<ListGetPreviewBitmapWProc>(platform::GetLibrarySymbol(handle, "ListGetPreviewBitmapW"));
  }
  ~InstalledModule() { platform::FreeLibraryHandle(handle); }
  platform::LibraryHandle handle = nullptr;
  ListGetPreviewBitmapProc ansi = nullptr;
  ListGetPreviewBitmapWProc wide = nullptr;
};

// The thumbnail's pixels; the bitmap is deleted, as its owner does.
TPixels TakePixels(QuilletBitmapHandle AHandle) {
  HBITMAP bitmap = static_cast<HBITMAP>(AHandle);
  TPixels pixels = ReadPixels(bitmap);
  if (bitmap != nullptr) DeleteObject(bitmap);
  return pixels;
}

TEST(ModulePaths, AnsiAndWideNamesReachTheHandlersAsTheSameFile) {
#if defined(_WIN32)
  // A file manager's thread has COM; the image decoders need it.
  CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
#endif
  const fs::path dir = ScratchDir("module-paths");
  InstalledModule module(dir / fs::path(u"Modul für Comics"));
  ASSERT_NE(module.wide, nullptr);
  ASSERT_NE(module.ansi, nullptr);

  const fs::path comic = dir / fs::path(u"Bandes dessinées") / fs::path(u"Été 1987.cbz");
  fs::create_directories(comic.parent_path());
  fs::copy_file(FromEnvironment("QUILLET_SAMPLE_COMIC"), comic, fs::copy_options::overwrite_existing);
  std::ifstream in(comic, std::ios::binary);
  std::vector<char> head(8192);
  in.read(head.data(), static_cast<std::streamsize>(head.size()));
  const auto headLength = static_cast<int32_t>(in.gcount());

  const std::u16string wideName = ModulePath(comic);
  const std::string ansiName = platform::Utf16ToAnsi(wideName);
  if (platform::AnsiToUtf16(ansiName) != wideName) GTEST_SKIP() << "the ANSI code page cannot spell this path";

  // The sample's cover is 300 x 450; the box 128 x 128 makes it 85 x 128.
  const TPixels viaWide = TakePixels(module.wide(wideName.c_str(), 128, 128,
                                             head.data(), headLength));
  const TPixels viaAnsi = TakePixels(module.ansi(ansiName.c_str(), 128, 128, head.data(), headLength));
  EXPECT_EQ(viaWide.Width, 85);
  EXPECT_EQ(viaWide.Height, 128);
  EXPECT_EQ(viaAnsi.Width, viaWide.Width);
  EXPECT_EQ(viaAnsi.Height, viaWide.Height);
  EXPECT_TRUE(viaAnsi.Bgra == viaWide.Bgra);
}

}  // namespace
}  // namespace quillet::test
