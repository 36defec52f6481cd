#pragma once
// The freedesktop thumbnail cache, as quillet-thumbnail --cache fills it:
// where it lives, what each comic's thumbnail and fail entry are called, what
// they carry, and when they are up to date.
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tools/png_chunks.h"

namespace quillet::tool {

// The folders of the cache by thumbnail size: normal 128, large 256,
// x-large 512, xx-large 1024 pixels on the longest edge.
struct CacheSize {
  std::string name;
  int32_t pixels = 0;
};
// A size by its folder name, or by its number of pixels ("256").
std::optional<CacheSize> CacheSizeByName(std::string_view name);

// $XDG_CACHE_HOME/thumbnails, or ~/.cache/thumbnails when XDG_CACHE_HOME is
// unset, empty or not an absolute path. Empty when neither can be had. The
// values are those of the two variables (null when unset).
std::filesystem::path ThumbnailCacheRoot(const char* xdgCacheHome, const char* home);

// The MIME type under which desktops know a comic of this name, by its
// extension (.cbz, .cbr, .cb7, .cbt, any case); empty for anything else.
std::string ComicMimeType(const std::filesystem::path& file);

// What decides whether a thumbnail is up to date: the file's modification
// time in whole seconds since 1970 and its size in bytes.
struct FileStamp {
  int64_t modified = 0;
  uint64_t size = 0;
};
std::optional<FileStamp> ReadFileStamp(const std::filesystem::path& file);

// One comic's places in the cache.
struct CacheEntry {
  std::string uri;                    // the comic's file:// URI
  std::filesystem::path thumbnail;    // <root>/<size>/<md5 of uri>.png
  std::filesystem::path failure;      // <root>/fail/quillet-<version>/<md5 of uri>.png
};
// The comic's path must be absolute and normal (no "." or ".." parts).
CacheEntry CacheEntryFor(const std::filesystem::path& root, const CacheSize& size,
                         const std::filesystem::path& comic);

// The text chunks of a thumbnail or fail entry for the comic.
std::vector<PngText> ThumbnailText(const std::string& uri, const FileStamp& stamp, const std::string& mimeType);

// Whether the PNG at png is a thumbnail (or fail entry) of the file with this
// URI as it is now: a readable, well-formed PNG whose Thumb::URI is the URI
// and whose Thumb::MTime (and Thumb::Size, when it has one) match the stamp.
bool DescribesFile(const std::filesystem::path& png, const std::string& uri, const FileStamp& stamp);

// The folder of the fail entries of this program: fail/quillet-<version>.
std::string FailFolderName();

}  // namespace quillet::tool
