// A host that ends its process with exit() while four of its threads are
// inside the module, extracting covers. Run 20 times, each run must end as
// the host chose, never in a crash or a hang.
//
// Under Wine (8.0) about one host in twenty to sixty never ends, and not in
// the module: its one thread left waits in NtTerminateProcess, while Wine
// ends the other threads and before any library is told, on a lock of
// Wine's own virtual-memory code that a thread Wine has already ended still
// holds. On Windows the hosts therefore load a witness library before the
// module and another after it (exit_witness.c), which leave a file when the
// system tells them the process is ending. A host that never ends fails the
// test when the library told before the module left its file and the one
// told after it did not: it stopped in the module's part of the way out. A
// host that stopped before any library was told is counted and reported.
//
//   quillet_exit_probe MODULE SEVENZIP_LIBRARY COMIC WORK_FOLDER
//       puts a copy of MODULE into WORK_FOLDER with a settings file that
//       names SEVENZIP_LIBRARY, then runs itself as the host 20 times;
//   quillet_exit_probe --host MODULE_COPY COMIC
//       one such host.
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "quillet/lister.h"

#if defined(_WIN32)
#include <windows.h>
#include <objbase.h>
#else
#include <sys/wait.h>
#include <unistd.h>

#include "quillet/dib.h"
#endif

namespace fs = std::filesystem;
using namespace quillet;

namespace {

constexpr int kRuns = 20;
constexpr int kThreads = 4;
constexpr int kHostExitCode = 0;
// What RunSelf returns for a host that ended in a crash, and for one that
// had not ended when its time was up.
constexpr int kHostCrashed = -1;
constexpr int kHostHung = -3;

#if !defined(_WIN32)
// Freed memory in the hosts is overwritten at once and never kept in a
// per-thread cache, so that a thread using an object freed under it fails
// there and then rather than reading what happened to remain.
void PoisonFreedMemoryInHosts() { setenv("GLIBC_TUNABLES", "glibc.malloc.tcache_count=0:glibc.malloc.perturb=165", 1); }
#else
// Windows ends a process's other threads before any library is told.
void PoisonFreedMemoryInHosts() {}
#endif

#if defined(_WIN32)
// GetTempPathW in a child takes TMP first, then TEMP, from the environment
// it inherits.
void GiveHostsTemporaryFolder(const fs::path& folder) {
  SetEnvironmentVariableW(L"TMP", folder.wstring().c_str());
  SetEnvironmentVariableW(L"TEMP", folder.wstring().c_str());
}
#else
void GiveHostsTemporaryFolder(const fs::path& folder) { setenv("TMPDIR", folder.string().c_str(), 1); }
#endif

bool OnWindows() { return platform::kDirectorySeparator == u'\\'; }

// Under Wine a Unix path reaches the program as it is: drive Z: is the root.
fs::path Local(const std::string& path) {
  if (OnWindows() && !path.empty() && path[0] == '/') return fs::path("Z:" + path);
  return fs::path(path);
}

void DeleteBitmap(void* bitmap) {
#if defined(_WIN32)
  if (bitmap != nullptr) DeleteObject(static_cast<HBITMAP>(bitmap));
#else
  quillet_dib_delete(static_cast<QuilletDib*>(bitmap));
#endif
}

// The exit status of the program run with these arguments, or -1 when it
// did not end by returning or calling exit (a crash).
int RunSelf(const std::vector<std::string>& arguments) {
  const std::u16string self = platform::HostExecutablePath();
#if defined(_WIN32)
  std::wstring command = L"\"" + std::wstring(reinterpret_cast<const wchar_t*>(self.c_str())) + L"\"";
  for (const std::string& argument : arguments) {
    const std::u16string wide = platform::Utf8ToUtf16(argument);
    command += L" \"" + std::wstring(reinterpret_cast<const wchar_t*>(wide.c_str())) + L"\"";
  }
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
    return -2;
  // A host that hangs on its way out is as wrong as one that crashes.
  const DWORD waited = WaitForSingleObject(process.hProcess, 120000);
  DWORD code = static_cast<DWORD>(-1);
  if (waited == WAIT_OBJECT_0) GetExitCodeProcess(process.hProcess, &code);
  if (waited != WAIT_OBJECT_0) TerminateProcess(process.hProcess, 99);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  if (waited != WAIT_OBJECT_0) return kHostHung;
  // An exception that ends a Windows process leaves its code (0xC0000005...).
  return code < 256 ? static_cast<int>(code) : kHostCrashed;
#else
  const std::string program = platform::Utf16ToUtf8(self);
  const pid_t child = fork();
  if (child < 0) return -2;
  if (child == 0) {
    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    alarm(120);  // a host that hangs on its way out is as wrong as one that crashes
    execv(program.c_str(), argv.data());
    _exit(127);
  }
  int status = 0;
  if (waitpid(child, &status, 0) != child) return -2;
  if (WIFSIGNALED(status)) std::fprintf(stderr, "the host ended by signal %d\n", WTERMSIG(status));
  if (WIFSIGNALED(status) && WTERMSIG(status) == SIGALRM) return kHostHung;
  return WIFEXITED(status) ? WEXITSTATUS(status) : kHostCrashed;
#endif
}

#if defined(_WIN32)
// The two copies of the witness library beside the module's copy: the one
// loaded before the module is told of the end after it, and the other way
// round.
constexpr char kWitnessToldAfterModule[] = "exit-witness-told-after-module.dll";
constexpr char kWitnessToldBeforeModule[] = "exit-witness-told-before-module.dll";

fs::path WitnessMarker(const fs::path& witness) { return fs::path(witness.native() + L".detached"); }
#endif

int Host(const std::string& moduleCopy, const std::string& comic) {
#if defined(_WIN32)
  const fs::path folder = Local(moduleCopy).parent_path();
  if (platform::LoadLibraryQuietly((folder / kWitnessToldAfterModule).u16string()) == nullptr) return 5;
#endif
  const platform::LibraryHandle module = platform::LoadLibraryQuietly(Local(moduleCopy).u16string());
  const auto preview =
      reinterpret_cast<ListGetPreviewBitmapWProc>(platform::GetLibrarySymbol(module, "ListGetPreviewBitmapW"));
  if (preview == nullptr) return 3;
#if !defined(_WIN32)
  // Loaded after the module, so that its destructor runs after the module's
  // and the process lingers with the module shut down (linger_at_exit.c).
  if (platform::LoadLibraryQuietly(platform::Utf8ToUtf16(QUILLET_EXIT_LINGER_LIBRARY)) == nullptr) return 5;
#else
  if (platform::LoadLibraryQuietly((folder / kWitnessToldBeforeModule).u16string()) == nullptr) return 5;
#endif
  const std::u16string path = fs::absolute(Local(comic)).u16string();
  std::vector<char> head(8192);
  std::ifstream in(Local(comic), std::ios::binary);
  in.read(head.data(), static_cast<std::streamsize>(head.size()));
  const auto headLength = static_cast<int32_t>(in.gcount());

  std::atomic<int> requests{0};
  std::atomic<int> covers{0};
  for (int t = 0; t < kThreads; ++t) {
    std::thread([&] {
#if defined(_WIN32)
      CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);  // as a file manager's thread
#endif
      for (;;) {
        void* bitmap = preview(path.c_str(), 64, 64, head.data(), headLength);
        if (bitmap != nullptr) ++covers;
        DeleteBitmap(bitmap);
        ++requests;
      }
    }).detach();
  }
  // Every thread is busy in its loop, then the host ends at some moment of
  // their requests.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (requests.load() < 2 * kThreads && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  std::mt19937 random(std::random_device{}());
  std::this_thread::sleep_for(std::chrono::microseconds(random() % 5000));
  if (covers.load() == 0) {
    std::fprintf(stderr, "no request made a cover (%d requests)\n", requests.load());
    std::fflush(stderr);
    std::_Exit(4);
  }
  std::exit(kHostExitCode);
}

int Driver(const std::string& module, const std::string& library, const std::string& comic,
           const std::string& work) {
  const fs::path folder = Local(work);
  fs::remove_all(folder);
  fs::create_directories(folder);
  const fs::path copy = folder / Local(module).filename();
  fs::copy_file(Local(module), copy, fs::copy_options::overwrite_existing);
  fs::path settings = copy;
  settings.replace_extension(".ini");
  std::ofstream(settings) << "[DllPath]\n"
                          << platform::Utf16ToUtf8(platform::kSevenZipLibraryName) << "="
                          << Local(library).string() << "\n";
  // The hosts end in the middle of requests, so their temporary files stay
  // behind by design: they get a folder of their own, emptied afterwards,
  // where no other test looks for files left behind.
  const fs::path temporary = folder / "temp";
  fs::create_directories(temporary);
  GiveHostsTemporaryFolder(temporary);
  PoisonFreedMemoryInHosts();
#if defined(_WIN32)
  const fs::path toldAfter = folder / kWitnessToldAfterModule;
  const fs::path toldBefore = folder / kWitnessToldBeforeModule;
  for (const fs::path& witness : {toldAfter, toldBefore})
    fs::copy_file(Local(QUILLET_EXIT_WITNESS_LIBRARY), witness, fs::copy_options::overwrite_existing);
#endif
  int failures = 0;
  int hungOutsideModule = 0;
  for (int run = 1; run <= kRuns; ++run) {
#if defined(_WIN32)
    for (const fs::path& witness : {toldAfter, toldBefore}) fs::remove(WitnessMarker(witness));
#endif
    const int status = RunSelf({"--host", copy.string(), comic});
    if (status == kHostExitCode) continue;
#if defined(_WIN32)
    if (status == kHostHung) {
      const bool beforeModuleTold = fs::exists(WitnessMarker(toldBefore));
      const bool afterModuleTold = fs::exists(WitnessMarker(toldAfter));
      if (!beforeModuleTold || afterModuleTold) {
        ++hungOutsideModule;
        std::printf("run %d: the host never ended, %s\n", run,
                    beforeModuleTold ? "after the module had returned from its part of the way out"
                                     : "before any library was told that the process ends (in Wine's own "
                                       "ending of the other threads)");
        continue;
      }
      std::printf("run %d: the host never ended, in the module's part of the way out\n", run);
      ++failures;
      continue;
    }
#endif
    ++failures;
    std::printf("run %d: the host ended with %d, not %d\n", run, status, kHostExitCode);
  }
  std::printf("%d of %d hosts that called exit() during %d threads' requests ended as they chose\n",
              kRuns - failures - hungOutsideModule, kRuns, kThreads);
  if (hungOutsideModule > 0)
    std::printf("%d hosts never ended outside the module's part of their way out\n", hungOutsideModule);
  std::error_code ignored;
  fs::remove_all(temporary, ignored);
  return failures == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::string(argv[1]) == "--host") return Host(argv[2], argv[3]);
  if (argc == 5) return Driver(argv[1], argv[2], argv[3], argv[4]);
  std::fprintf(stderr, "usage: %s MODULE SEVENZIP_LIBRARY COMIC WORK_FOLDER\n", argv[0]);
  return 2;
}
