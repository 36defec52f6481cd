// Temporary files and file streams on Windows.
#include <windows.h>

#include <vector>

#include "platform/platform.h"

namespace quillet::platform {

namespace {

const wchar_t* W(const std::u16string& s) { return reinterpret_cast<const wchar_t*>(s.c_str()); }

class Win32File final : public File {
 public:
  explicit Win32File(HANDLE handle) : handle_(handle) {}
  ~Win32File() override { CloseHandle(handle_); }
  Win32File(const Win32File&) = delete;
  Win32File& operator=(const Win32File&) = delete;

  uint32_t Read(void* data, uint32_t size) noexcept override {
    DWORD n = 0;
    if (!ReadFile(handle_, data, size, &n, nullptr)) return 0;
    return n;
  }

  uint32_t Write(const void* data, uint32_t size) noexcept override {
    DWORD n = 0;
    if (!WriteFile(handle_, data, size, &n, nullptr)) return 0;
    return n;
  }

  bool Seek(int64_t offset, uint32_t origin, uint64_t& newPosition) noexcept override {
    if (origin > 2) return false;
    LARGE_INTEGER distance;
    distance.QuadPart = offset;
    LARGE_INTEGER at;
    if (!SetFilePointerEx(handle_, distance, &at, origin)) return false;
    newPosition = static_cast<uint64_t>(at.QuadPart);
    return true;
  }

  uint64_t Size() override {
    LARGE_INTEGER size;
    if (!GetFileSizeEx(handle_, &size)) RaiseLastOSError();
    return static_cast<uint64_t>(size.QuadPart);
  }

  // The handle shares neither writing nor deletion (OpenFileForReading): while
  // it is open nobody can write the file, rename it, delete it or rename
  // another file over it, so the name still leads to this file.
  std::u16string NameHeldOpen(const std::u16string& openedAs) const override { return openedAs; }

 private:
  HANDLE handle_;
};

}  // namespace

std::u16string TemporaryDirectory() {
  const DWORD n = GetTempPathW(0, nullptr);
  if (n < 2) RaiseLastOSError();
  std::vector<wchar_t> buffer(n);
  const DWORD written = GetTempPathW(n, buffer.data());
  if (written == 0 || written >= n) RaiseLastOSError();
  return std::u16string(reinterpret_cast<const char16_t*>(buffer.data()), written);
}

bool PathOccupied(const std::u16string& path) { return GetFileAttributesW(W(path)) != INVALID_FILE_ATTRIBUTES; }

bool DirectoryExists(const std::u16string& path) {
  const DWORD attributes = GetFileAttributesW(W(path));
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

void ResetAttributesAndDelete(const std::u16string& path) noexcept {
  SetFileAttributesW(W(path), FILE_ATTRIBUTE_NORMAL);
  DeleteFileW(W(path));
}

std::unique_ptr<File> OpenFileForReading(const std::u16string& path) {
  HANDLE h = CreateFileW(W(path), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) RaiseLastOSError();
  // Only a file on a disk is read: a pipe, a console or a device could wait
  // for ever or never end.
  BY_HANDLE_FILE_INFORMATION information{};
  DWORD error = ERROR_SUCCESS;
  if (GetFileType(h) != FILE_TYPE_DISK) {
    error = ERROR_INVALID_PARAMETER;
  } else if (!GetFileInformationByHandle(h, &information)) {
    error = GetLastError();
  } else if ((information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    error = ERROR_DIRECTORY;
  }
  if (error != ERROR_SUCCESS) {
    CloseHandle(h);
    RaiseOSError(error);
  }
  return std::make_unique<Win32File>(h);
}

std::unique_ptr<File> CreateFileExclusive(const std::u16string& path) {
  // CREATE_NEW fails when anything is at the name, so nobody can slip a file
  // or link in between choosing the name and creating it.
  HANDLE h = CreateFileW(W(path), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                         FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (h == INVALID_HANDLE_VALUE) RaiseLastOSError();
  return std::make_unique<Win32File>(h);
}

}  // namespace quillet::platform
