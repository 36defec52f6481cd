#pragma once
// The operations the module needs from the operating system. One declaration
// here, one implementation per platform (platform/posix, platform/win32),
// chosen by the build. Core code never asks which platform it runs on.
//
// Text conventions: paths and names are UTF-16 (std::u16string) everywhere in
// the core. On Linux the layer converts to and from UTF-8 bytes at the system
// boundary; on Windows UTF-16 goes to the W functions as it is.
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "platform/errors.h"

namespace quillet::platform {

// ---- Files of this process ---------------------------------------------

// Full, absolute path of the file this code was loaded from (the module, or
// the test program it is linked into). Resolved at the first call, which the
// module makes when it is loaded, and the same for the rest of its life,
// whatever directory the host changes to.
std::u16string ThisModulePath();
// Full path of the process's executable file.
std::u16string HostExecutablePath();

// The separator the platform puts between folders in a path it reports:
// '\' on Windows, '/' on Linux.
extern const char16_t kDirectorySeparator;
// Whether c separates the folder or drive part of a name from the file name,
// for the extension rule: '\' and ':' everywhere, and '/' on Linux as well.
bool IsNameDelimiter(char16_t c);
// The directory part of a path: cut after the last path delimiter, the
// delimiter kept; empty when there is none.
std::u16string ExtractFilePath(std::u16string_view path);

// ---- Libraries -----------------------------------------------------------

// File names of the archive libraries: "unrar64.dll" and "7z.64.dll" on
// Windows, "libunrar.so.5" and "7z.so" on Linux.
extern const char16_t* const kUnrarLibraryName;
extern const char16_t* const kSevenZipLibraryName;

using LibraryHandle = void*;
// Loads a library without letting the platform show any error box; null when
// it does not load. On Linux: dlopen(RTLD_NOW | RTLD_LOCAL).
LibraryHandle LoadLibraryQuietly(const std::u16string& path);
// The address of an export, or null.
void* GetLibrarySymbol(LibraryHandle library, const char* name);
void FreeLibraryHandle(LibraryHandle library);

// ---- Settings file and environment -----------------------------------------

// The value of Key in [Section] of an INI file; Default when the file, the
// section or the key is missing. At most 2047 UTF-16 units are returned.
// Sections and keys match ignoring case.
std::u16string ReadProfileString(const std::u16string& fileName, const std::u16string& section,
                                 const std::u16string& key, const std::u16string& defaultValue);

// Expands environment-variable references in text, the platform's way
// (%NAME% on Windows; $NAME and ${NAME} on Linux, unknown names left as
// written, never through a shell). Returns the size the expanded text needs in
// UTF-16 units including a terminating zero (0 on failure), and the expanded
// text in `expanded` when that size is 2 or more.
uint32_t ExpandEnvironmentText(const std::u16string& text, std::u16string& expanded);

// ---- Text ------------------------------------------------------------------

// The system ANSI code page (CP_ACP on Windows, UTF-8 on Linux).
std::u16string AnsiToUtf16(std::string_view text);
std::string Utf16ToAnsi(std::u16string_view text);
// UTF-8, the same on every platform (for messages, tools and Linux paths).
std::u16string Utf8ToUtf16(std::string_view text);
std::string Utf16ToUtf8(std::u16string_view text);
// Upper-casing per UTF-16 unit, each unit to one unit, independent of the
// user's language (i always becomes I).
std::u16string UpperCase(std::u16string_view text);
// Equality ignoring case, as the platform's user-locale comparison sees it.
bool SameText(std::u16string_view a, std::u16string_view b);
// A key that matches exactly when the texts do under SameText, so that texts
// compared ignoring case can be found through a hash table instead of one
// comparison per text already met. Bytes, meaningful only to this process.
std::string SameTextKey(std::u16string_view text);
// The same key written over `key`, whose storage is reused: a caller making
// one key after another allocates only when a key outgrows the ones before.
void SameTextKeyInto(std::u16string_view text, std::string& key);
// Frees what text handling made for itself. Only for the module's unload,
// when no request is in flight; text functions still work afterwards.
void ReleaseTextResources() noexcept;

// ---- Errors --------------------------------------------------------------

// The calling thread's last OS error code (GetLastError / errno).
uint32_t LastOSErrorCode();
// Raises EOSError with "System Error.  Code: %d.\r\n%s%s" made from the code
// and the platform's text for it, or "A call to an OS function failed" for 0.
[[noreturn]] void RaiseOSError(uint32_t code);
[[noreturn]] void RaiseLastOSError();
// The platform's message text for an HRESULT (may be empty).
std::string SystemMessageForHResult(int32_t hresult);

// ---- Processes, threads, temporary files -----------------------------------

uint32_t CurrentProcessId();
uint32_t CurrentThreadId();
// The user's temporary directory exactly as the platform reports it (it may
// lack the trailing separator). Raises the OS error when none can be had.
std::u16string TemporaryDirectory();
// Whether anything at all occupies the name: a file, a directory, or a link,
// a dangling link included (the link itself is looked at, never followed).
bool PathOccupied(const std::u16string& path);
// Whether a directory (not a link to one) stands at the name.
bool DirectoryExists(const std::u16string& path);
// The deletion rule of an extracted file: make it writable again, then
// delete it; both results are ignored.
void ResetAttributesAndDelete(const std::u16string& path) noexcept;

// ---- File streams ----------------------------------------------------------

// An open file. Read/write failures are reported through the results, never
// thrown; opening and creating raise the OS error.
class File {
 public:
  virtual ~File() = default;
  // Bytes read (0 at the end or on failure).
  virtual uint32_t Read(void* data, uint32_t size) noexcept = 0;
  // Bytes written (0 on failure).
  virtual uint32_t Write(const void* data, uint32_t size) noexcept = 0;
  // origin: 0 start, 1 current, 2 end. Returns false on failure.
  virtual bool Seek(int64_t offset, uint32_t origin, uint64_t& newPosition) noexcept = 0;
  // Size in bytes; the position is unchanged. Raises the OS error on failure.
  virtual uint64_t Size() = 0;
  // A name by which a library that opens files itself, by name, reaches this
  // very open file, and no other, for as long as this object lives, whatever
  // is renamed onto `openedAs` (the path this file was opened by) meanwhile.
  // So what we checked through this file is what the library reads. Raises
  // the OS error when the platform offers no such name.
  virtual std::u16string NameHeldOpen(const std::u16string& openedAs) const = 0;
};

// Opens an existing regular file for reading; others may read it but not
// write it while it is open (as far as the platform can say so). Anything
// else at the name (a folder, a FIFO, a device) raises the OS error, and the
// open never waits for a writer.
std::unique_ptr<File> OpenFileForReading(const std::u16string& path);
// Creates a new file for reading and writing, exclusively: it fails when
// anything is already at the name, never follows a link, and on Linux the
// file is readable and writable by its owner alone (0600).
std::unique_ptr<File> CreateFileExclusive(const std::u16string& path);

}  // namespace quillet::platform
