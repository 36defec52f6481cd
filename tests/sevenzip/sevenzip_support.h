#pragma once
// What the 7-Zip back-end tests share: the archives that make_archives.py
// made, the registries the handlers live in, the pixels of a bitmap, and a
// fixture that gives each test its own temporary folder and checks that the
// test left no file there and no file open.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "handlers/vekCB7zClass.h"

namespace quillet::test {

// The tests' own calls of the library's objects, exempt from the dynamic
// type check as the back-end's are (the objects are foreign to our program).
QUILLET_CALLS_LIBRARY_OBJECTS inline HRESULT OpenArchive(sevenzip::IInArchive* AArchive, sevenzip::IInStream* AStream) {
  return AArchive->Open(AStream, nullptr, nullptr);
}
QUILLET_CALLS_LIBRARY_OBJECTS inline HRESULT NumberOfItems(sevenzip::IInArchive* AArchive, uint32_t& ACount) {
  return AArchive->GetNumberOfItems(&ACount);
}
QUILLET_CALLS_LIBRARY_OBJECTS inline HRESULT ExtractItem(sevenzip::IInArchive* AArchive, uint32_t AIndex,
                                                         sevenzip::IArchiveExtractCallback* ACallback) {
  return AArchive->Extract(&AIndex, 1, 0, ACallback);
}

// The folder of the archives, in the build tree.
std::filesystem::path ArchivesDir();
// An archive of that folder, as the module is given paths.
std::u16string ArchivePath(const std::string& AName);

// The real 7-Zip library the handlers load, as the settings file beside the
// test program names it; the test fails when it is missing.
std::u16string SevenZipLibraryPath();

// Page n of the archives: page_colour(n) of pages.py, 10 + n by 7 pixels.
struct TPage {
  int Number;
  uint8_t R, G, B;
  int32_t Width, Height;
};
TPage Page(int ANumber);

// Whether every pixel is page n's colour, opaque, within ATolerance per
// channel, at page n's size. Explains itself when not.
::testing::AssertionResult ShowsPage(HBITMAP ABitmap, int ANumber, int ATolerance = 0);

// The registry of the five 7-Zip handlers, made once per program, so that all
// tests share one loaded library, as the module's requests do.
TvekCBxClassList& SevenZipRegistry();

// The outcome of asking the handlers of a registry for a file, last one
// first, as the module's dispatch does, but without scaling: the cover at its
// own size, and which handler gave it.
struct TFailure {
  std::string Extension;  // of the handler that raised
  std::string Message;
  int64_t HResult = -1;   // the code of an EOleSysError, else -1
};
struct TPreview {
  HBITMAP Bitmap = nullptr;
  std::string Extension;  // of the handler that gave the bitmap
  std::vector<TFailure> Failures;  // what the handlers that matched raised
  ~TPreview();
};
void PrintTo(const TFailure& AFailure, std::ostream* AStream);
void PreviewThroughHandlers(TvekCBxClassList& ARegistry, const std::u16string& AFileName, TPreview& APreview);

// The stand-in libraries built beside the tests (test-libraries/), by
// variant: "legacy", "foreign", "scripted". The name is the one a handler is
// given: a path relative to the folder of the test program.
std::u16string FakeLibraryName(const std::string& AVariant);
// The same library, loaded once more by the test itself, for its script and
// counters (the platform loader hands out the module the handler loaded).
platform::LibraryHandle FakeLibrary(const std::string& AVariant);
template <class TFunction>
TFunction FakeFunction(const std::string& AVariant, const char* AName) {
  return reinterpret_cast<TFunction>(platform::GetLibrarySymbol(FakeLibrary(AVariant), AName));
}

// A handler for ZIP heads that loads the library it is given.
class TLibraryUnderTest : public TvekCBZClass_v1 {
 public:
  TLibraryUnderTest(TvekCBxClassList* AOwner, std::u16string ALibraryName)
      : TvekCBZClass_v1(AOwner), FLibraryName(std::move(ALibraryName)) {}
  std::u16string GetLibraryName() const override { return FLibraryName; }

 private:
  std::u16string FLibraryName;
};

// The BSTR allocator of the real library (Linux) or of the system (Windows),
// whose strings ClearPropVariant frees.
BSTR AllocLibraryString(std::u16string_view AText);
void* LibraryAllocStringFunction();
void* LibraryFreeStringFunction();

// Sets up COM on the calling thread for its lifetime, as a host does on the
// threads that ask for previews (the image decoders need it on Windows).
class THostThread {
 public:
  THostThread() : FInitialized(CoInitialize(nullptr) >= 0) {}
  ~THostThread() {
    if (FInitialized) CoUninitialize();
  }
  THostThread(const THostThread&) = delete;
  THostThread& operator=(const THostThread&) = delete;

 private:
  bool FInitialized;
};

// The platform's temporary directory as the environment gives it (TMP and
// TEMP on Windows, TMPDIR on Linux), and setting it.
std::vector<std::wstring> TemporaryDirectorySettings();
void SetTemporaryDirectorySettings(const std::vector<std::wstring>& ASettings);

// Each test gets a fresh temporary folder as the platform's temporary
// directory, and must leave it empty and leave no file open behind it.
class SevenZipTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  const std::filesystem::path& TempDir() const { return FTempDir; }

 private:
  std::filesystem::path FTempDir;
  std::vector<std::wstring> FSavedTemporaryDirectory;
  int FOpenFilesBefore = -1;
};

// The number of files this process holds open, or -1 where it cannot be told
// (under Wine).
int OpenFileCount();
// Whether a file can be opened for writing, which it cannot while the module
// still holds it open (on Windows).
bool OpenableForWriting(const std::filesystem::path& APath);

}  // namespace quillet::test
