// Paths of this process, library loading, OS errors and ids on Windows.
#include <windows.h>

#include <string>
#include <vector>

#include "platform/platform.h"

namespace quillet::platform {

const char16_t* const kUnrarLibraryName = u"unrar64.dll";
const char16_t* const kSevenZipLibraryName = u"7z.64.dll";

const char16_t kDirectorySeparator = u'\\';

bool IsNameDelimiter(char16_t c) { return c == u'\\' || c == u':'; }

namespace {

const wchar_t* W(const std::u16string& s) { return reinterpret_cast<const wchar_t*>(s.c_str()); }

std::u16string ModuleFileName(HMODULE module) {
  std::vector<wchar_t> buffer(MAX_PATH);
  for (;;) {
    const DWORD n = GetModuleFileNameW(module, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (n == 0) return {};
    // A full buffer may hold a cut-off name without its terminating zero
    // (Wine does this even when the call "succeeds"): grow and retry.
    if (n < buffer.size() - 1) return std::u16string(reinterpret_cast<const char16_t*>(buffer.data()), n);
    if (buffer.size() >= 32768 * 2) return {};
    buffer.resize(buffer.size() * 2);
  }
}

}  // namespace

std::u16string ThisModulePath() {
  // Resolved once, as for every platform; the name the loader reports is
  // already a full one.
  static const std::u16string path = [] {
    HMODULE self = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            reinterpret_cast<LPCWSTR>(&ThisModulePath), &self)) {
      return std::u16string();
    }
    return ModuleFileName(self);
  }();
  return path;
}

std::u16string HostExecutablePath() { return ModuleFileName(nullptr); }

LibraryHandle LoadLibraryQuietly(const std::u16string& path) {
  if (path.empty()) return nullptr;
  // No box for a library that is not there or cannot start. The error mode
  // of this thread only, on top of the flags the host gave it, and given
  // back afterwards: the process's mode belongs to the host, and another
  // thread loading at the same time must not see ours or restore its own
  // over it.
  DWORD previous = 0;
  const bool quiet =
      SetThreadErrorMode(GetThreadErrorMode() | SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX, &previous) != FALSE;
  HMODULE module = LoadLibraryW(W(path));
  if (quiet) SetThreadErrorMode(previous, nullptr);
  return reinterpret_cast<LibraryHandle>(module);
}

void* GetLibrarySymbol(LibraryHandle library, const char* name) {
  if (library == nullptr) return nullptr;
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), name));
}

void FreeLibraryHandle(LibraryHandle library) {
  if (library != nullptr) FreeLibrary(static_cast<HMODULE>(library));
}

uint32_t LastOSErrorCode() { return GetLastError(); }

namespace {

std::string MessageText(DWORD code) {
  wchar_t* text = nullptr;
  const DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                     FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_ARGUMENT_ARRAY,
                                 nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::string result;
  if (n != 0 && text != nullptr) {
    std::u16string wide(reinterpret_cast<const char16_t*>(text), n);
    while (!wide.empty() && (wide.back() == u'\r' || wide.back() == u'\n' || wide.back() == u' ')) wide.pop_back();
    result = Utf16ToUtf8(wide);
  }
  if (text != nullptr) LocalFree(text);
  return result;
}

}  // namespace

[[noreturn]] void RaiseOSError(uint32_t code) {
  if (code == 0) throw EOSError(0, "A call to an OS function failed");
  throw EOSError(code, "System Error.  Code: " + std::to_string(code) + ".\r\n" + MessageText(code));
}

[[noreturn]] void RaiseLastOSError() { RaiseOSError(GetLastError()); }

std::string SystemMessageForHResult(int32_t hresult) { return MessageText(static_cast<DWORD>(hresult)); }

uint32_t CurrentProcessId() { return GetCurrentProcessId(); }
uint32_t CurrentThreadId() { return GetCurrentThreadId(); }

}  // namespace quillet::platform
