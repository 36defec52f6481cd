#pragma once
// What the RAR back-end tests share: the archives that `rar` made when the
// tests started (make_archives.py), and how to tell a page from its colour.
#include <gtest/gtest.h>

#include <array>
#include <cstdlib>
#include <filesystem>
#include <ostream>
#include <string>
#include <vector>

#include "handlers/vekCBRClass.h"
#include "platform/platform.h"
#include "support/test_support.h"

#ifdef _WIN32
#include <objbase.h>
#endif

namespace quillet::rar_test {

namespace fs = std::filesystem;
using test::RunningOnWindows;

// The colour of page `number`, as tests/fixtures/pages.py draws it.
inline std::array<uint8_t, 3> PageColour(int number) {
  return {static_cast<uint8_t>((number * 67 + 40) % 256), static_cast<uint8_t>((number * 151 + 90) % 256),
          static_cast<uint8_t>((number * 29 + 200) % 256)};
}

// The page a bitmap shows, judged by a pixel in its middle: 0 when it is no
// page at all. A decoded page has its colour exactly; a scaled one may be off
// by the scaler's rounding, up to `tolerance` in each colour.
inline int PageOf(HBITMAP bitmap, int tolerance = 0) {
  BITMAP info{};
  if (GetObjectW(bitmap, sizeof info, &info) == 0 || info.bmBits == nullptr || info.bmBitsPixel < 24) return 0;
  const int row = info.bmHeight / 2 < 0 ? -(info.bmHeight / 2) : info.bmHeight / 2;
  const auto* pixel = static_cast<const uint8_t*>(info.bmBits) + static_cast<size_t>(row) * info.bmWidthBytes +
                      static_cast<size_t>(info.bmWidth / 2) * (info.bmBitsPixel / 8);
  const auto within = [tolerance](int a, int b) { return a - b <= tolerance && b - a <= tolerance; };
  for (int number = 1; number <= 9; ++number) {
    const auto rgb = PageColour(number);
    if (within(pixel[2], rgb[0]) && within(pixel[1], rgb[1]) && within(pixel[0], rgb[2])) return number;
  }
  return 0;
}

// The folder the archives were made in (rar-archives in the test output
// folder, see suite.cmake), as this program sees it.
inline fs::path ArchiveFolder() {
  const char* output = std::getenv("QUILLET_TEST_OUTPUT");
  if (output == nullptr || *output == '\0') return {};
  std::string text = std::string(output) + "/rar-archives";
  if (RunningOnWindows() && text.rfind('/', 0) == 0) text = "Z:" + text;
  return fs::path(std::u8string(text.begin(), text.end()));
}

inline fs::path Archive(const std::u8string& name) { return ArchiveFolder() / fs::path(name); }

inline void SetEnvironment(const char* name, const fs::path& value) {
#ifdef _WIN32
  _wputenv_s(fs::path(name).wstring().c_str(), value.wstring().c_str());
#else
  setenv(name, value.string().c_str(), 1);
#endif
}

// A host asks for previews on threads it has set up for COM, which the image
// decoding of Windows needs; each test thread does the same.
class THostThread {
 public:
  THostThread() {
#ifdef _WIN32
    FInitialized = SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
#endif
  }
  ~THostThread() {
#ifdef _WIN32
    if (FInitialized) CoUninitialize();
#endif
  }
  THostThread(const THostThread&) = delete;
  THostThread& operator=(const THostThread&) = delete;

 private:
  [[maybe_unused]] bool FInitialized = false;
};

// One registry with the RAR handler alone, and a temporary folder of its own
// whose name is not ASCII, checked to be empty again after every test.
class RarBackEnd : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(ArchiveFolder().empty()) << "QUILLET_TEST_OUTPUT is not set: run the tests through ctest";
    const testing::TestInfo* test = testing::UnitTest::GetInstance()->current_test_info();
    std::string name = std::string("rar-temp-") + test->test_suite_name() + "." + test->name();
    for (char& c : name)
      if (c == '/') c = '-';
    FTempDir = test::ScratchDir(name);
    FTempDir /= fs::path(u8"tmp ü 📖");
    fs::create_directories(FTempDir);
    if (RunningOnWindows()) {
      SetEnvironment("TMP", FTempDir);
      SetEnvironment("TEMP", FTempDir);
    } else {
      SetEnvironment("TMPDIR", FTempDir);
    }
    FHandler = new TvekCBRClass(&FRegistry);  // the registry owns it
  }

  void TearDown() override {
    std::vector<std::string> left;
    for (const auto& entry : fs::directory_iterator(FTempDir)) left.push_back(entry.path().filename().string());
    EXPECT_TRUE(left.empty()) << "left in the temporary folder: " << testing::PrintToString(left);
  }

  HBITMAP Preview(const fs::path& archive, bool isCBxFile) {
    return FHandler->GetPreviewBitmap(test::ModulePath(archive), isCBxFile);
  }

  THostThread FHostThread;
  TvekCBxClassList FRegistry;
  TvekCBRClass* FHandler = nullptr;
  fs::path FTempDir;
};

struct CoverCase {
  const char8_t* archive;
  bool isCBxFile;
  int page;  // the page the cover must show
};

inline void PrintTo(const CoverCase& c, std::ostream* out) {
  *out << reinterpret_cast<const char*>(c.archive) << (c.isCBxFile ? " as a comic book" : " as a plain archive");
}

// A library that loads but exports none of the unrar functions.
class TLibraryWithoutUnrar : public TvekCBRClass {
 public:
  using TvekCBRClass::TvekCBRClass;
  std::u16string GetLibraryName() const override { return RunningOnWindows() ? u"kernel32.dll" : u"libc.so.6"; }
};

// The 92-byte RAR 5 file whose main header fails its CRC, on which the unrar
// library of Debian 12 (6.2.6) crashes inside RAROpenArchiveEx. Made here
// from its bytes, never kept as a file.
inline std::vector<uint8_t> CrashingFile() {
  const char* hex =
      "526172211a070100f3e1efeb0b010507000602010060c0000250747effff461ee2c38080800100eccd2502030be40004000c29"
      "8302087b77e5800001077030312e706e67f38080800100eccde40b250203000400030be48950fbfb36";
  std::vector<uint8_t> bytes;
  for (const char* p = hex; p[0] != '\0' && p[1] != '\0'; p += 2)
    bytes.push_back(static_cast<uint8_t>(std::stoi(std::string(p, 2), nullptr, 16)));
  return bytes;
}

}  // namespace quillet::rar_test
