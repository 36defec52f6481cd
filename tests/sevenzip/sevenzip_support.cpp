#include "sevenzip_support.h"

#include <cstdlib>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <system_error>

#include "platform/platform.h"
#include "platform_gdi.h"
#include "support/test_support.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace quillet::test {

namespace {

// A Unix path as this program must open it: under Wine it is the same file
// through drive Z:.
std::filesystem::path HostPath(std::string AText) {
  if (RunningOnWindows() && AText.rfind('/', 0) == 0) AText = "Z:" + AText;
  return std::filesystem::path(AText);
}

}  // namespace

// The platform's temporary directory comes from the environment, read anew
// for every name: TMP (and TEMP) on Windows, TMPDIR on Linux.
#ifdef _WIN32
const wchar_t* const kTemporaryDirectoryVariables[] = {L"TMP", L"TEMP"};
#endif

std::vector<std::wstring> TemporaryDirectorySettings() {
  std::vector<std::wstring> settings;
#ifdef _WIN32
  for (const wchar_t* name : kTemporaryDirectoryVariables) {
    wchar_t value[32768];
    const DWORD n = GetEnvironmentVariableW(name, value, 32768);
    settings.push_back(n > 0 && n < 32768 ? std::wstring(value, n) : std::wstring());
  }
#else
  const char* value = std::getenv("TMPDIR");
  settings.push_back(value != nullptr ? std::filesystem::path(value).wstring() : std::wstring());
#endif
  return settings;
}

void SetTemporaryDirectorySettings(const std::vector<std::wstring>& ASettings) {
#ifdef _WIN32
  for (size_t i = 0; i < ASettings.size(); ++i)
    SetEnvironmentVariableW(kTemporaryDirectoryVariables[i], ASettings[i].empty() ? nullptr : ASettings[i].c_str());
#else
  if (ASettings[0].empty()) {
    unsetenv("TMPDIR");
  } else {
    setenv("TMPDIR", std::filesystem::path(ASettings[0]).string().c_str(), 1);
  }
#endif
}

std::filesystem::path ArchivesDir() { return HostPath(QUILLET_BINARY_DIR "/sevenzip-archives"); }

std::u16string ArchivePath(const std::string& AName) { return ModulePath(ArchivesDir() / AName); }

std::u16string SevenZipLibraryPath() {
  // The path that the settings file beside this program gives the handlers.
  const std::u16string program = platform::ThisModulePath();
  const std::u16string settings = program.substr(0, program.size() - ExtractFileExt(program).size()) + u".ini";
  const std::u16string library =
      platform::ReadProfileString(settings, u"DllPath", platform::kSevenZipLibraryName, u"");
  EXPECT_TRUE(!library.empty() && std::filesystem::exists(std::filesystem::path(library)))
      << "the 7-Zip library named in " << platform::Utf16ToUtf8(settings) << " is missing ("
      << platform::Utf16ToUtf8(library) << "); on Windows scripts/build-windows-libs.sh builds it";
  return library;
}

TPage Page(int ANumber) {
  return TPage{ANumber,
               static_cast<uint8_t>((ANumber * 67 + 40) % 256),
               static_cast<uint8_t>((ANumber * 151 + 90) % 256),
               static_cast<uint8_t>((ANumber * 29 + 200) % 256),
               10 + ANumber,
               7};
}

::testing::AssertionResult ShowsPage(HBITMAP ABitmap, int ANumber, int ATolerance) {
  if (ABitmap == nullptr) return ::testing::AssertionFailure() << "no bitmap";
  const TPage page = Page(ANumber);
  const TPixels pixels = ReadPixels(ABitmap);
  if (pixels.Width != page.Width || pixels.Height != page.Height)
    return ::testing::AssertionFailure() << "a bitmap of " << pixels.Width << " x " << pixels.Height
                                         << ", not page " << ANumber << "'s " << page.Width << " x " << page.Height;
  const uint8_t expected[4] = {page.B, page.G, page.R, 255};
  for (size_t i = 0; i < pixels.Bgra.size(); ++i) {
    if (std::abs(int{pixels.Bgra[i]} - int{expected[i % 4]}) > ATolerance) {
      return ::testing::AssertionFailure()
             << "pixel " << i / 4 << " byte " << i % 4 << " is " << int{pixels.Bgra[i]} << ", page " << ANumber
             << " has " << int{expected[i % 4]} << " (tolerance " << ATolerance << ")";
    }
  }
  return ::testing::AssertionSuccess();
}

TvekCBxClassList& SevenZipRegistry() {
  static TvekCBxClassList* registry = [] {
    auto* list = new TvekCBxClassList();
    new TvekCBZClass_v1(list);
    new TvekCBZClass_v2(list);
    new TvekCBZClass_v3(list);
    new TvekCB7Class(list);
    new TvekCBTClass(list);
    return list;
  }();
  return *registry;
}

void PrintTo(const TFailure& AFailure, std::ostream* AStream) {
  *AStream << AFailure.Extension << ": " << AFailure.Message;
  if (AFailure.HResult >= 0) *AStream << " (HRESULT " << std::hex << AFailure.HResult << std::dec << ")";
}

TPreview::~TPreview() {
  if (Bitmap != nullptr) DeleteObject(Bitmap);
}

void PreviewThroughHandlers(TvekCBxClassList& ARegistry, const std::u16string& AFileName, TPreview& APreview) {
  std::vector<char> head(8192);
  {
    std::ifstream file(std::filesystem::path(AFileName), std::ios::binary);
    file.read(head.data(), static_cast<std::streamsize>(head.size()));
    head.resize(static_cast<size_t>(file.gcount()));
  }
  const bool isCBxFile = platform::UpperCase(ExtractFileExt(AFileName)).rfind(u".CB", 0) == 0;
  for (int32_t i = ARegistry.Count() - 1; i >= 0; --i) {
    TvekCBxClass* handler = ARegistry.GetClass(i);
    if (!handler->MatchSignature(head.data(), static_cast<int32_t>(head.size()))) continue;
    try {
      APreview.Bitmap = handler->GetPreviewBitmap(AFileName, isCBxFile);
    } catch (const EOleSysError& error) {
      APreview.Failures.push_back({handler->GetExtension(), error.what(), static_cast<uint32_t>(error.ErrorCode)});
      continue;
    } catch (const std::exception& error) {
      APreview.Failures.push_back({handler->GetExtension(), error.what()});
      continue;
    }
    if (APreview.Bitmap != nullptr) {
      APreview.Extension = handler->GetExtension();
      return;
    }
  }
}

std::u16string FakeLibraryName(const std::string& AVariant) {
  const std::string file = "quillet-fake-7z-" + AVariant + (RunningOnWindows() ? ".dll" : ".so");
  return platform::Utf8ToUtf16(std::string("test-libraries") + (RunningOnWindows() ? "\\" : "/") + file);
}

platform::LibraryHandle FakeLibrary(const std::string& AVariant) {
  const std::u16string path = platform::ExtractFilePath(platform::ThisModulePath()) + FakeLibraryName(AVariant);
  static std::mutex lock;
  static std::map<std::string, platform::LibraryHandle> loaded;
  std::lock_guard<std::mutex> guard(lock);
  platform::LibraryHandle& library = loaded[AVariant];
  if (library == nullptr) library = platform::LoadLibraryQuietly(path);
  EXPECT_NE(library, nullptr) << "the stand-in library " << platform::Utf16ToUtf8(path) << " does not load";
  return library;
}

namespace {

// Where the BSTR functions live: the real library exports them on Linux; on
// Windows they are the system's.
platform::LibraryHandle StringFunctionsLibrary() {
  static const platform::LibraryHandle library =
      platform::LoadLibraryQuietly(RunningOnWindows() ? std::u16string(u"oleaut32.dll") : SevenZipLibraryPath());
  return library;
}

}  // namespace

void* LibraryAllocStringFunction() { return platform::GetLibrarySymbol(StringFunctionsLibrary(), "SysAllocString"); }
void* LibraryFreeStringFunction() { return platform::GetLibrarySymbol(StringFunctionsLibrary(), "SysFreeString"); }

BSTR AllocLibraryString(std::u16string_view AText) {
  using AllocStringProc = BSTR(STDAPICALLTYPE*)(const OLECHAR*);
  const auto alloc = reinterpret_cast<AllocStringProc>(LibraryAllocStringFunction());
  if (alloc == nullptr) {
    ADD_FAILURE() << "no SysAllocString";
    return nullptr;
  }
  const std::wstring text = platform::Utf16ToWideText(AText);
  return alloc(text.c_str());
}

int OpenFileCount() {
  if (RunningOnWindows()) return -1;
  std::error_code error;
  int count = 0;
  for (std::filesystem::directory_iterator it("/proc/self/fd", error), end; !error && it != end; it.increment(error))
    ++count;
  return error ? -1 : count;
}

bool OpenableForWriting(const std::filesystem::path& APath) {
  std::fstream file(APath, std::ios::in | std::ios::out | std::ios::binary);
  return file.is_open();
}

void SevenZipTest::SetUp() {
  // Loaded libraries and the image-extension set stay for the program's
  // life; they are made before the first count of open files.
  static const THostThread mainThread;
  static const bool primed = [] {
    TvekCBxClassList& registry = SevenZipRegistry();
    for (int32_t i = 0; i < registry.Count(); ++i) {
      try {
        registry.GetClass(i)->LoadModule();
      } catch (...) {
      }
    }
    registry.IsImageFile(u"page.png");
    return true;
  }();
  (void)primed;

  const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
  std::string name = std::string("sevenzip-") + test->test_suite_name() + "-" + test->name();
  for (char& c : name) {
    if (c == '/') c = '-';
  }
  FTempDir = ScratchDir(name);
  FSavedTemporaryDirectory = TemporaryDirectorySettings();
  SetTemporaryDirectorySettings(std::vector<std::wstring>(FSavedTemporaryDirectory.size(), FTempDir.wstring()));
  FOpenFilesBefore = OpenFileCount();
}

void SevenZipTest::TearDown() {
  SetTemporaryDirectorySettings(FSavedTemporaryDirectory);
  std::vector<std::string> left;
  std::error_code error;
  for (std::filesystem::directory_iterator it(FTempDir, error), end; !error && it != end; it.increment(error))
    left.push_back(it->path().filename().string());
  EXPECT_TRUE(left.empty()) << "left in the temporary folder: " << ::testing::PrintToString(left);
  if (FOpenFilesBefore >= 0) {
    EXPECT_EQ(OpenFileCount(), FOpenFilesBefore) << "files left open";
  }
}

}  // namespace quillet::test
