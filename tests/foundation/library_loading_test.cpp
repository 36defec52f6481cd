// Loading an archive library from its three places, with real libraries: a
// stand-in plugin module holding the real handler base, and a tiny probe
// library copied beside the module, beside the test program (the host), or
// named in the module's settings file.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "support/test_support.h"

#if defined(_WIN32)
#include <windows.h>
#endif

namespace quillet::test {
namespace {

namespace fs = std::filesystem;

using ProbeLoadFn = int (*)(const char16_t*, char16_t*, int);
using ProbeCallFn = int (*)(const char16_t*, const char*, char16_t*, int);

std::string LibrarySuffix() { return RunningOnWindows() ? ".dll" : ".so"; }

fs::path TestLibraries() {
  const char* dir = std::getenv("QUILLET_TEST_LIBRARIES");
  fs::path path = dir != nullptr ? dir : QUILLET_BINARY_DIR "/test-libraries";
  if (RunningOnWindows() && path.string().rfind('/', 0) == 0) path = "Z:" + path.string();
  return path;
}

fs::path HostDirectory() { return fs::path(platform::HostExecutablePath()).parent_path(); }

void SetVariable(const std::string& name, const std::string& value) {
#if defined(_WIN32)
  SetEnvironmentVariableW(reinterpret_cast<const wchar_t*>(platform::Utf8ToUtf16(name).c_str()),
                          reinterpret_cast<const wchar_t*>(platform::Utf8ToUtf16(value).c_str()));
#else
  setenv(name.c_str(), value.c_str(), 1);
#endif
}

// One copy of the stand-in module, in a folder of its own, under a name of its
// own so that every test loads a fresh copy with fresh handlers.
class StandInModule {
 public:
  StandInModule(const fs::path& dir, const std::string& name) : path_(dir / (name + LibrarySuffix())) {
    fs::create_directories(dir);
    fs::copy_file(TestLibraries() / ("quillet-loader-probe" + LibrarySuffix()), path_,
                  fs::copy_options::overwrite_existing);
    handle_ = platform::LoadLibraryQuietly(ModulePath(path_));
    load_ = reinterpret_cast<ProbeLoadFn>(platform::GetLibrarySymbol(handle_, "ProbeLoad"));
    call_ = reinterpret_cast<ProbeCallFn>(platform::GetLibrarySymbol(handle_, "ProbeCall"));
  }
  ~StandInModule() { platform::FreeLibraryHandle(handle_); }

  bool Loaded() const { return load_ != nullptr && call_ != nullptr; }
  fs::path SettingsFile() const { return fs::path(path_).replace_extension(".ini"); }

  // {ok, loaded path or error message}
  std::pair<bool, std::u16string> Load(const std::u16string& library) const {
    char16_t text[4096] = {};
    const int status = load_(library.c_str(), text, 4096);
    return {status == 0, text};
  }
  std::pair<int, std::u16string> Call(const std::u16string& library, const char* entry) const {
    char16_t text[4096] = {};
    const int result = call_(library.c_str(), entry, text, 4096);
    return {result, text};
  }

 private:
  fs::path path_;
  platform::LibraryHandle handle_ = nullptr;
  ProbeLoadFn load_ = nullptr;
  ProbeCallFn call_ = nullptr;
};

fs::path PlaceProbeLibrary(const fs::path& dir, const std::u16string& name) {
  fs::create_directories(dir);
  const fs::path target = dir / fs::path(name);
  fs::copy_file(TestLibraries() / ("quillet-probe-library" + LibrarySuffix()), target,
                fs::copy_options::overwrite_existing);
  return target;
}

bool SameFile(const std::u16string& loaded, const fs::path& expected) {
  std::error_code error;
  return fs::equivalent(fs::path(loaded), expected, error);
}

std::string Text(const std::u16string& text) { return platform::Utf16ToUtf8(text); }

class LibraryLoading : public testing::Test {
 protected:
  void TearDown() override {
    std::error_code ignored;
    for (const fs::path& p : hostCopies_) fs::remove(p, ignored);
  }
  // A library beside the test program, which plays the host; removed again
  // after the test.
  fs::path PlaceBesideHost(const std::u16string& name) {
    const fs::path p = PlaceProbeLibrary(HostDirectory(), name);
    hostCopies_.push_back(p);
    return p;
  }
  std::u16string Name(const std::string& stem) const { return platform::Utf8ToUtf16(stem + LibrarySuffix()); }

 private:
  std::vector<fs::path> hostCopies_;
};

TEST_F(LibraryLoading, BesideTheModuleComesBeforeBesideTheHost) {
  const fs::path dir = ScratchDir("loading-order");
  StandInModule module(dir / "plugin", "order-module");
  ASSERT_TRUE(module.Loaded());
  const std::u16string library = Name("probe-order");
  const fs::path besideModule = PlaceProbeLibrary(dir / "plugin", library);
  PlaceBesideHost(library);
  const auto [ok, loaded] = module.Load(library);
  ASSERT_TRUE(ok) << Text(loaded);
  EXPECT_TRUE(SameFile(loaded, besideModule)) << Text(loaded);
  EXPECT_EQ(module.Call(library, "answer").first, 42);
}

TEST_F(LibraryLoading, BesideTheHostWhenNotBesideTheModule) {
  const fs::path dir = ScratchDir("loading-host");
  StandInModule module(dir / "plugin", "host-module");
  ASSERT_TRUE(module.Loaded());
  const std::u16string library = Name("probe-host");
  const fs::path besideHost = PlaceBesideHost(library);
  const auto [ok, loaded] = module.Load(library);
  ASSERT_TRUE(ok) << Text(loaded);
  EXPECT_TRUE(SameFile(loaded, besideHost)) << Text(loaded);
}

TEST_F(LibraryLoading, SettingsValueIsTrimmedThenExpandedThenLoaded) {
  const fs::path dir = ScratchDir("loading-settings");
  StandInModule module(dir / "plugin", "settings-module");
  ASSERT_TRUE(module.Loaded());
  const std::u16string library = Name("probe-settings");
  const fs::path elsewhere = PlaceProbeLibrary(dir / "elsewhere", library);
  SetVariable("QUILLET_PROBE_DIR", fs::path(ModulePath(dir / "elsewhere")).string());
  const std::string reference = RunningOnWindows() ? "%QUILLET_PROBE_DIR%" : "${QUILLET_PROBE_DIR}";
  std::ofstream(module.SettingsFile()) << "[other]\n" << Text(library) << "=nowhere\n\n[dllpath]\n"
                                       << Text(library) << " =  \t" << reference << (RunningOnWindows() ? "\\" : "/")
                                       << Text(library) << "  \n";
  const auto [ok, loaded] = module.Load(library);
  ASSERT_TRUE(ok) << Text(loaded);
  EXPECT_TRUE(SameFile(loaded, elsewhere)) << Text(loaded);
}

TEST_F(LibraryLoading, NotFoundAnywhereRaisesAndIsTriedAgainNextTime) {
  const fs::path dir = ScratchDir("loading-retry");
  StandInModule module(dir / "plugin", "retry-module");
  ASSERT_TRUE(module.Loaded());
  const std::u16string library = Name("probe-retry");
  EXPECT_EQ(module.Load(library), std::make_pair(false, std::u16string(u"Module not found")));
  // No settings file, then a blank value, then a value naming nothing loadable.
  std::ofstream(module.SettingsFile()) << "[DllPath]\n" << Text(library) << "=   \n";
  EXPECT_EQ(module.Load(library), std::make_pair(false, std::u16string(u"Module not found")));
  std::ofstream(module.SettingsFile()) << "[DllPath]\n" << Text(library) << "=" << Text(ModulePath(dir / "nothing-here"))
                                       << "\n";
  EXPECT_EQ(module.Load(library), std::make_pair(false, std::u16string(u"Module not found")));
  EXPECT_EQ(module.Call(library, "answer").second, u"Function QuilletProbeAnswer is not implemented");
  // The library arrives: the next request finds it.
  const fs::path placed = PlaceProbeLibrary(dir / "plugin", library);
  const auto [ok, loaded] = module.Load(library);
  ASSERT_TRUE(ok) << Text(loaded);
  EXPECT_TRUE(SameFile(loaded, placed));
}

TEST_F(LibraryLoading, AMissingEntryPointFailsOnlyItsOwnCall) {
  const fs::path dir = ScratchDir("loading-entry");
  StandInModule module(dir / "plugin", "entry-module");
  ASSERT_TRUE(module.Loaded());
  const std::u16string library = Name("probe-entry");
  PlaceProbeLibrary(dir / "plugin", library);
  ASSERT_TRUE(module.Load(library).first);
  EXPECT_EQ(module.Call(library, "missing"),
            std::make_pair(-1, std::u16string(u"Function QuilletProbeMissing is not implemented")));
  EXPECT_EQ(module.Call(library, "answer").first, 42);
  EXPECT_TRUE(module.Load(library).first);
}

TEST_F(LibraryLoading, NonAsciiFoldersAndNames) {
  const fs::path dir = ScratchDir("loading-non-ascii");
  const fs::path plugin = dir / fs::path(u"Bandes dessinées ✓ 漫画");
  StandInModule module(plugin, "module-é");
  ASSERT_TRUE(module.Loaded());
  const std::u16string library = platform::Utf8ToUtf16("probe-ñ-😀" + LibrarySuffix());
  const fs::path placed = PlaceProbeLibrary(plugin, library);
  const auto [ok, loaded] = module.Load(library);
  ASSERT_TRUE(ok) << Text(loaded);
  EXPECT_TRUE(SameFile(loaded, placed)) << Text(loaded);
}

TEST_F(LibraryLoading, ManyThreadsLoadOnceAndAllSeeTheBoundEntryPoints) {
  const fs::path dir = ScratchDir("loading-threads");
  StandInModule module(dir / "plugin", "threads-module");
  ASSERT_TRUE(module.Loaded());
  const std::u16string library = Name("probe-threads");
  const fs::path placed = PlaceProbeLibrary(dir / "plugin", library);
  std::vector<std::thread> threads;
  std::vector<int> answers(8, 0);
  for (size_t i = 0; i < answers.size(); ++i) {
    threads.emplace_back([&, i] {
      if (module.Load(library).first) answers[i] = module.Call(library, "answer").first;
    });
  }
  for (auto& t : threads) t.join();
  for (int answer : answers) EXPECT_EQ(answer, 42);
}

#if defined(_WIN32)
// The loader's error boxes are kept quiet through the loading thread's own
// error mode, on top of the flags the host gave that thread; the process's
// mode, which other threads share, is never touched, and the thread's comes
// back as it was, after a load that works and after one that does not.
TEST(LibraryErrorMode, OnlyTheLoadingThreadsModeChangesAndOnlyDuringTheLoad) {
  const fs::path dir = ScratchDir("library-error-mode");
  // A copy under a name of its own: its DllMain runs for this load.
  const fs::path probe = dir / "error-mode-probe.dll";
  fs::copy_file(TestLibraries() / "quillet-probe-library.dll", probe, fs::copy_options::overwrite_existing);

  const UINT processMode = SEM_NOGPFAULTERRORBOX;
  const UINT savedProcessMode = SetErrorMode(processMode);
  UINT threadBefore = 0, threadAfterMissing = 0, threadAfterLoad = 0, processDuring = 0, threadDuring = 0;
  UINT processAfter = 0;
  std::thread host([&] {
    DWORD previous = 0;
    SetThreadErrorMode(SEM_NOGPFAULTERRORBOX, &previous);
    threadBefore = GetThreadErrorMode();
    EXPECT_EQ(platform::LoadLibraryQuietly(ModulePath(dir / "no-such-library.dll")), nullptr);
    threadAfterMissing = GetThreadErrorMode();
    const platform::LibraryHandle library = platform::LoadLibraryQuietly(ModulePath(probe));
    threadAfterLoad = GetThreadErrorMode();
    processAfter = GetErrorMode();
    ASSERT_NE(library, nullptr);
    using ModeFn = unsigned (*)();
    threadDuring = reinterpret_cast<ModeFn>(platform::GetLibrarySymbol(library, "QuilletProbeThreadErrorModeAtLoad"))();
    processDuring =
        reinterpret_cast<ModeFn>(platform::GetLibrarySymbol(library, "QuilletProbeProcessErrorModeAtLoad"))();
    platform::FreeLibraryHandle(library);
    SetThreadErrorMode(previous, nullptr);
  });
  host.join();
  SetErrorMode(savedProcessMode);

  EXPECT_EQ(threadBefore, static_cast<UINT>(SEM_NOGPFAULTERRORBOX));
  EXPECT_EQ(threadAfterMissing, threadBefore);
  EXPECT_EQ(threadAfterLoad, threadBefore);
  EXPECT_EQ(threadDuring, static_cast<UINT>(SEM_NOGPFAULTERRORBOX | SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX));
  EXPECT_EQ(processDuring, processMode);
  EXPECT_EQ(processAfter, processMode);
}
#endif

}  // namespace
}  // namespace quillet::test
