#pragma once
// Whether the module has the archive library a comic needs. The module says
// nothing about why it gave no thumbnail, so the host asks the same loader,
// by the module's own search rule, whether the library is there: a comic
// whose library is missing has not failed on its own account.
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>

namespace quillet::tool {

// The file name of the archive library that the module loads for a file
// with this head, by the signatures that its handlers take: the unrar
// library for RAR, the 7-Zip library for ZIP, 7z and TAR. Empty for a head
// that no handler takes.
std::u16string ArchiveLibraryForHead(std::string_view head);

// Whether the library loads from one of the places where the module at
// modulePath looks for it, in its order. The library is let go again.
bool ArchiveLibraryLoads(const std::u16string& modulePath, const std::u16string& libraryName);

// ArchiveLibraryLoads once per library, on the first question about it, for
// any number of threads.
class ArchiveLibraryCheck {
 public:
  explicit ArchiveLibraryCheck(std::u16string modulePath) : modulePath_(std::move(modulePath)) {}
  // Whether the library loads; firstRefusal is set when this answer is the
  // first "no" for the library, so that it is reported once.
  bool Loads(const std::u16string& libraryName, bool& firstRefusal);

 private:
  std::u16string modulePath_;
  std::mutex lock_;
  std::map<std::u16string, bool> loads_;
};

}  // namespace quillet::tool
