// Temporary files and file streams on Linux.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>

#include "platform/platform.h"

namespace quillet::platform {

namespace {

class PosixFile final : public File {
 public:
  explicit PosixFile(int fd) : fd_(fd) {}
  ~PosixFile() override { close(fd_); }
  PosixFile(const PosixFile&) = delete;
  PosixFile& operator=(const PosixFile&) = delete;

  uint32_t Read(void* data, uint32_t size) noexcept override {
    uint32_t done = 0;
    while (done < size) {
      const ssize_t n = read(fd_, static_cast<char*>(data) + done, size - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      done += static_cast<uint32_t>(n);
    }
    return done;
  }

  uint32_t Write(const void* data, uint32_t size) noexcept override {
    uint32_t done = 0;
    while (done < size) {
      const ssize_t n = write(fd_, static_cast<const char*>(data) + done, size - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      done += static_cast<uint32_t>(n);
    }
    return done;
  }

  bool Seek(int64_t offset, uint32_t origin, uint64_t& newPosition) noexcept override {
    if (origin > 2) return false;
    const int whence = origin == 0 ? SEEK_SET : origin == 1 ? SEEK_CUR : SEEK_END;
    const off_t at = lseek(fd_, static_cast<off_t>(offset), whence);
    if (at < 0) return false;
    newPosition = static_cast<uint64_t>(at);
    return true;
  }

  uint64_t Size() override {
    struct stat st {};
    if (fstat(fd_, &st) != 0) RaiseLastOSError();
    return static_cast<uint64_t>(st.st_size);
  }

  // The descriptor's own entry in /proc: opening it opens the file the
  // descriptor holds, not whatever now bears the name. Only trusted once it
  // is seen to lead to that very file (a /proc that is missing, or something
  // else mounted there, must not hand the library another one).
  std::u16string NameHeldOpen(const std::u16string& /*openedAs*/) const override {
    const std::string name = "/proc/self/fd/" + std::to_string(fd_);
    struct stat held {};
    struct stat named {};
    if (fstat(fd_, &held) != 0) RaiseLastOSError();
    if (stat(name.c_str(), &named) != 0) RaiseLastOSError();
    if (named.st_dev != held.st_dev || named.st_ino != held.st_ino) RaiseOSError(ENOENT);
    return Utf8ToUtf16(name);
  }

 private:
  int fd_;
};

}  // namespace

std::u16string TemporaryDirectory() {
  const char* dir = std::getenv("TMPDIR");
  std::string path = (dir != nullptr && *dir != '\0') ? dir : "/tmp";
  if (path.back() != '/') path.push_back('/');
  return Utf8ToUtf16(path);
}

bool PathOccupied(const std::u16string& path) {
  struct stat st {};
  return lstat(Utf16ToUtf8(path).c_str(), &st) == 0;
}

bool DirectoryExists(const std::u16string& path) {
  struct stat st {};
  return lstat(Utf16ToUtf8(path).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

void ResetAttributesAndDelete(const std::u16string& path) noexcept {
  try {
    const std::string name = Utf16ToUtf8(path);
    struct stat st {};
    // chmod follows links, so only a regular file of our own gets its mode
    // back; a link planted at the name is removed, never followed.
    if (lstat(name.c_str(), &st) == 0 && S_ISREG(st.st_mode)) chmod(name.c_str(), (st.st_mode & 07777) | S_IWUSR);
    unlink(name.c_str());
  } catch (...) {
  }
}

std::unique_ptr<File> OpenFileForReading(const std::u16string& path) {
  // Opening a FIFO for reading waits for a writer, and a terminal could
  // become the process's own: the open must not block and take no terminal,
  // and only a regular file is kept.
  const int fd = open(Utf16ToUtf8(path).c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) RaiseLastOSError();
  struct stat st {};
  int error = 0;
  if (fstat(fd, &st) != 0) {
    error = errno;
  } else if (!S_ISREG(st.st_mode)) {
    error = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
  } else {
    // Reads of a regular file never wait anyway; the flag goes so that the
    // file reads as any other.
    const int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) error = errno;
  }
  if (error != 0) {
    close(fd);
    RaiseOSError(static_cast<uint32_t>(error));
  }
  return std::make_unique<PosixFile>(fd);
}

std::unique_ptr<File> CreateFileExclusive(const std::u16string& path) {
  const int fd = open(Utf16ToUtf8(path).c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) RaiseLastOSError();
  return std::make_unique<PosixFile>(fd);
}

}  // namespace quillet::platform
