#pragma once
// quillet-thumbnail --cache: finds the comics under the given files and
// folders and puts the thumbnail of each into the freedesktop thumbnail
// cache, several at a time, skipping those whose entry is up to date.
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "tools/thumbnail_cache.h"

namespace quillet::tool {

// A thumbnail as the PNG wants it: rows of R, G, B, A bytes, straight alpha.
struct RgbaImage {
  int32_t width = 0;
  int32_t height = 0;
  std::vector<uint8_t> rgba;
};

// What became of one request for a thumbnail.
struct ThumbnailAttempt {
  // NoLibrary: no thumbnail, and the archive library that the comic needs
  // cannot be loaded, so the comic itself has not failed. Crashed: the
  // process that made the request ended on this comic.
  enum class Result { Made, NoThumbnail, Unreadable, NoLibrary, Crashed };
  Result result = Result::NoThumbnail;
  RgbaImage image;      // when Made
  std::string problem;  // when Unreadable or Crashed, or NoLibrary and said for the first time
};

// Makes the thumbnail of a comic that fits a square of the given size. The
// cache calls it from several threads at once.
using ThumbnailMaker = std::function<ThumbnailAttempt(const std::filesystem::path& comic, int32_t size)>;

// The comics named by the inputs: a file as it is (when its extension is one
// of a comic), a folder searched to any depth for files with such
// extensions, without following links to folders. Each comic once, as an
// absolute, normal path, sorted. What cannot be read goes to problems, and
// the walk goes on with the rest; folders that we may not read are passed
// over in silence. beforeReadingFolder, when given, is called with each
// folder of the walk just before it is read (tests change the tree there).
std::vector<std::filesystem::path> FindComics(
    const std::vector<std::filesystem::path>& inputs, std::vector<std::string>& problems,
    const std::function<void(const std::filesystem::path&)>& beforeReadingFolder = {});

enum class CacheOutcome {
  Made,          // a new thumbnail
  UpToDate,      // the thumbnail there already describes the file as it is
  Failed,        // no thumbnail: a fail entry was written
  FailedBefore,  // an earlier run failed on the file as it is now: not tried
  Error,         // the comic or the cache could not be read or written
  NoLibrary,     // no thumbnail, for want of the archive library: no fail entry
  Crashed,       // the request ended its worker process: a fail entry was written
};

// Brings one comic's entry up to date: its thumbnail when one can be made,
// else its fail entry. The comic's path must be absolute and normal, and the
// folders of the cache must exist. May raise (out of memory, a name the
// library cannot convert); FillCache counts that as an error of the comic.
CacheOutcome CacheOneComic(const std::filesystem::path& comic, const std::filesystem::path& root,
                           const CacheSize& size, const ThumbnailMaker& maker, std::string& problem);

// Creates the size folder and the fail folder of the cache, each folder that
// is new with access for its owner only. Returns an error text, empty on
// success.
std::string PrepareCacheFolders(const std::filesystem::path& root, const CacheSize& size);

struct CacheRunSettings {
  std::filesystem::path root;
  CacheSize size;
  unsigned jobs = 1;
  bool progressBar = false;             // redrawn on standard error
  std::function<bool()> stopRequested;  // polled before each comic; may be empty
};

struct CacheRunReport {
  size_t total = 0;
  size_t made = 0;
  size_t upToDate = 0;
  size_t failed = 0;
  size_t failedBefore = 0;
  size_t errors = 0;
  size_t noLibrary = 0;
  size_t crashed = 0;
  bool stopped = false;  // stopped early: not every comic was looked at
  double seconds = 0;
  size_t Handled() const { return made + upToDate + failed + failedBefore + errors + noLibrary + crashed; }
};

// Runs CacheOneComic for every comic on settings.jobs threads. Problems are
// written to standard error as they happen, made safe for a terminal. What a
// comic raises is counted as its error, and the run goes on.
CacheRunReport FillCache(const std::vector<std::filesystem::path>& comics, const CacheRunSettings& settings,
                         const ThumbnailMaker& maker);

// The closing summary: made, up to date, failed, errors, those that ended
// their worker process and those without their archive library (when there
// are any), time and rate.
std::string DescribeCacheRun(const CacheRunReport& report);

}  // namespace quillet::tool
