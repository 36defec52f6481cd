#include "tools/thumbnail_cache.h"

#include <charconv>
#include <chrono>
#include <fstream>
#include <iterator>
#include <system_error>

#include "tools/file_uri.h"
#include "tools/md5.h"

#ifndef QUILLET_VERSION
#error "QUILLET_VERSION must name the program's version"
#endif

namespace quillet::tool {

namespace fs = std::filesystem;

std::optional<CacheSize> CacheSizeByName(std::string_view name) {
  static const CacheSize kSizes[] = {{"normal", 128}, {"large", 256}, {"x-large", 512}, {"xx-large", 1024}};
  for (const CacheSize& size : kSizes)
    if (name == size.name || name == std::to_string(size.pixels)) return size;
  return std::nullopt;
}

fs::path ThumbnailCacheRoot(const char* xdgCacheHome, const char* home) {
  if (xdgCacheHome != nullptr && *xdgCacheHome != '\0' && fs::path(xdgCacheHome).is_absolute())
    return fs::path(xdgCacheHome) / "thumbnails";
  if (home != nullptr && *home != '\0') return fs::path(home) / ".cache" / "thumbnails";
  return {};
}

std::string ComicMimeType(const fs::path& file) {
  std::string extension = file.extension().string();
  for (char& c : extension)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  if (extension == ".cbz") return "application/vnd.comicbook+zip";
  if (extension == ".cbr") return "application/vnd.comicbook-rar";
  if (extension == ".cb7") return "application/x-cb7";
  if (extension == ".cbt") return "application/x-cbt";
  return {};
}

std::optional<FileStamp> ReadFileStamp(const fs::path& file) {
  std::error_code error;
  const auto status = fs::status(file, error);
  if (error || !fs::is_regular_file(status)) return std::nullopt;
  const auto modified = fs::last_write_time(file, error);
  if (error) return std::nullopt;
  const auto size = fs::file_size(file, error);
  if (error) return std::nullopt;
  const auto since1970 = std::chrono::file_clock::to_sys(modified).time_since_epoch();
  return FileStamp{std::chrono::floor<std::chrono::seconds>(since1970).count(), size};
}

std::string FailFolderName() { return std::string("quillet-") + QUILLET_VERSION; }

CacheEntry CacheEntryFor(const fs::path& root, const CacheSize& size, const fs::path& comic) {
  CacheEntry entry;
  entry.uri = FileUriFromPath(comic.generic_string());
  const std::string name = Md5Hex(entry.uri) + ".png";
  entry.thumbnail = root / size.name / name;
  entry.failure = root / "fail" / FailFolderName() / name;
  return entry;
}

std::vector<PngText> ThumbnailText(const std::string& uri, const FileStamp& stamp, const std::string& mimeType) {
  std::vector<PngText> text = {{"Thumb::URI", uri},
                               {"Thumb::MTime", std::to_string(stamp.modified)},
                               {"Thumb::Size", std::to_string(stamp.size)}};
  if (!mimeType.empty()) text.push_back({"Thumb::Mimetype", mimeType});
  text.push_back({"Software", std::string("Quillet ") + QUILLET_VERSION});
  return text;
}

namespace {

template <class Number>
bool ParsesAs(const std::string& text, Number expected) {
  Number value{};
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  return error == std::errc() && end == text.data() + text.size() && value == expected;
}

}  // namespace

bool DescribesFile(const fs::path& png, const std::string& uri, const FileStamp& stamp) {
  std::ifstream in(png, std::ios::binary);
  if (!in) return false;
  const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  PngSummary summary;
  if (!ReadPngSummary(bytes, summary)) return false;
  const auto uriText = summary.text.find("Thumb::URI");
  const auto modifiedText = summary.text.find("Thumb::MTime");
  if (uriText == summary.text.end() || uriText->second != uri) return false;
  if (modifiedText == summary.text.end() || !ParsesAs(modifiedText->second, stamp.modified)) return false;
  const auto sizeText = summary.text.find("Thumb::Size");
  return sizeText == summary.text.end() || ParsesAs(sizeText->second, stamp.size);
}

}  // namespace quillet::tool
