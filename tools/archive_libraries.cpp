#include "tools/archive_libraries.h"

#include "platform/library_search.h"
#include "platform/platform.h"

namespace quillet::tool {

namespace {

struct Signature {
  std::string_view bytes;
  size_t offset;
  bool rar;
};

constexpr Signature kSignatures[] = {
    {std::string_view("Rar!\x1A\x07", 6), 0, true},
    {std::string_view("PK\x03\x04", 4), 0, false},
    {std::string_view("PK\x05\x06", 4), 0, false},
    {"PK00PK", 0, false},
    {std::string_view("7z\xBC\xAF\x27\x1C", 6), 0, false},
    {"ustar", 257, false},
};

}  // namespace

std::u16string ArchiveLibraryForHead(std::string_view head) {
  for (const Signature& signature : kSignatures) {
    if (head.size() >= signature.offset + signature.bytes.size() &&
        head.substr(signature.offset, signature.bytes.size()) == signature.bytes) {
      return signature.rar ? platform::kUnrarLibraryName : platform::kSevenZipLibraryName;
    }
  }
  return {};
}

bool ArchiveLibraryLoads(const std::u16string& modulePath, const std::u16string& libraryName) {
  for (int place = 0; place < platform::kLibrarySearchPlaces; ++place) {
    const std::u16string path = platform::LibrarySearchPath(place, modulePath, libraryName);
    if (path.empty()) continue;
    if (const platform::LibraryHandle library = platform::LoadLibraryQuietly(path)) {
      platform::FreeLibraryHandle(library);
      return true;
    }
  }
  return false;
}

bool ArchiveLibraryCheck::Loads(const std::u16string& libraryName, bool& firstRefusal) {
  firstRefusal = false;
  std::lock_guard<std::mutex> guard(lock_);
  const auto known = loads_.find(libraryName);
  if (known != loads_.end()) return known->second;
  const bool loads = ArchiveLibraryLoads(modulePath_, libraryName);
  loads_.emplace(libraryName, loads);
  firstRefusal = !loads;
  return loads;
}

}  // namespace quillet::tool
