// Paths of this process, library loading, OS errors and ids on Linux.
#include <dlfcn.h>
#include <link.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace quillet::platform {

const char16_t* const kUnrarLibraryName = u"libunrar.so.5";
const char16_t* const kSevenZipLibraryName = u"7z.so";

const char16_t kDirectorySeparator = u'/';

bool IsNameDelimiter(char16_t c) { return c == u'\\' || c == u':' || c == u'/'; }

namespace {

std::string ReadLink(const char* link) {
  std::vector<char> buffer(256);
  for (;;) {
    const ssize_t n = readlink(link, buffer.data(), buffer.size());
    if (n < 0) return {};
    if (static_cast<size_t>(n) < buffer.size()) return std::string(buffer.data(), static_cast<size_t>(n));
    buffer.resize(buffer.size() * 2);  // it may have been cut short: grow and retry
  }
}

std::string CurrentDirectory() {
  std::vector<char> buffer(256);
  while (getcwd(buffer.data(), buffer.size()) == nullptr) {
    if (errno != ERANGE) return {};
    buffer.resize(buffer.size() * 2);
  }
  return buffer.data();
}

}  // namespace

namespace {

// The path the loader found this module under, made absolute against the
// current directory; that is only right while the directory is still the one
// of the load.
std::u16string ResolveThisModulePath() {
  Dl_info info{};
  link_map* map = nullptr;
  if (dladdr1(reinterpret_cast<void*>(&ResolveThisModulePath), &info, reinterpret_cast<void**>(&map),
              RTLD_DL_LINKMAP) != 0 &&
      map != nullptr && map->l_name != nullptr && map->l_name[0] != '\0') {
    std::string path = map->l_name;
    if (char* resolved = realpath(path.c_str(), nullptr)) {
      path = resolved;
      std::free(resolved);
    } else if (path.front() != '/') {
      path = CurrentDirectory() + "/" + path;
    }
    return Utf8ToUtf16(path);
  }
  // Linked into the program itself (the main program has an empty name).
  return Utf8ToUtf16(ReadLink("/proc/self/exe"));
}

}  // namespace

std::u16string ThisModulePath() {
  // Resolved once: a host may load the module by a relative name and change
  // its directory later, and the libraries and the settings file must not
  // follow it there.
  static const std::u16string path = ResolveThisModulePath();
  return path;
}

std::u16string HostExecutablePath() { return Utf8ToUtf16(ReadLink("/proc/self/exe")); }

LibraryHandle LoadLibraryQuietly(const std::u16string& path) {
  if (path.empty()) return nullptr;
  return dlopen(Utf16ToUtf8(path).c_str(), RTLD_NOW | RTLD_LOCAL);
}

void* GetLibrarySymbol(LibraryHandle library, const char* name) {
  if (library == nullptr) return nullptr;
  return dlsym(library, name);
}

void FreeLibraryHandle(LibraryHandle library) {
  if (library != nullptr) dlclose(library);
}

uint32_t LastOSErrorCode() { return static_cast<uint32_t>(errno); }

[[noreturn]] void RaiseOSError(uint32_t code) {
  if (code == 0) throw EOSError(0, "A call to an OS function failed");
  char text[256] = {};
  const char* message = strerror_r(static_cast<int>(code), text, sizeof text);
  throw EOSError(code, "System Error.  Code: " + std::to_string(code) + ".\r\n" + message);
}

[[noreturn]] void RaiseLastOSError() { RaiseOSError(LastOSErrorCode()); }

std::string SystemMessageForHResult(int32_t hresult) {
  // Win32 errors wrapped as HRESULTs carry an errno-like code in their low
  // word only on Windows; here the code itself is all there is to say.
  char text[32];
  std::snprintf(text, sizeof text, "HRESULT 0x%08X", static_cast<unsigned>(hresult));
  return text;
}

uint32_t CurrentProcessId() { return static_cast<uint32_t>(getpid()); }
uint32_t CurrentThreadId() { return static_cast<uint32_t>(syscall(SYS_gettid)); }

}  // namespace quillet::platform
