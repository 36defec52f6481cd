#include "tools/cache_run.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <cstdio>
#include <mutex>
#include <set>
#include <system_error>
#include <thread>

#include "tools/terminal_text.h"
#include "tools/thumbnail_host.h"

namespace quillet::tool {

namespace fs = std::filesystem;

namespace {

fs::path AbsoluteNormal(const fs::path& path) {
  std::error_code error;
  fs::path absolute = fs::absolute(path, error);
  if (error) absolute = path;
  absolute = absolute.lexically_normal();
  // "/comics/" names the same folder as "/comics"
  if (!absolute.has_filename() && absolute.has_parent_path() && absolute != absolute.root_path())
    absolute = absolute.parent_path();
  return absolute;
}

// Names as they are; messages are made safe for the terminal when printed.
std::string Show(const fs::path& path) { return path.string(); }

// Never raises: with no memory left the comic is counted without a word.
std::string CannotCache(const fs::path& comic, const char* reason) noexcept {
  try {
    return "cannot cache " + Show(comic) + ": " + reason;
  } catch (...) {
    return {};
  }
}

}  // namespace

namespace {

// Every comic below a folder, to any depth, without following links to
// folders. A folder that cannot be read, or stops being readable half-way
// (removed during the walk, say), is reported, and the walk goes on with
// the others; folders that we may not read are passed over in silence.
void WalkFolder(const fs::path& top, std::set<fs::path>& found, std::vector<std::string>& problems,
                const std::function<void(const fs::path&)>& beforeReadingFolder) {
  std::vector<fs::path> pending{top};
  while (!pending.empty()) {
    const fs::path folder = std::move(pending.back());
    pending.pop_back();
    if (beforeReadingFolder) beforeReadingFolder(folder);
    std::error_code error;
    fs::directory_iterator entries(folder, fs::directory_options::skip_permission_denied, error);
    for (; !error && entries != fs::directory_iterator(); entries.increment(error)) {
      const fs::directory_entry& entry = *entries;
      std::error_code kindError;
      if (entry.is_symlink(kindError)) {
        // A link counts for the file it names, never for a folder.
        if (entry.is_regular_file(kindError) && !ComicMimeType(entry.path()).empty()) found.insert(entry.path());
      } else if (entry.is_directory(kindError)) {
        pending.push_back(entry.path());
      } else if (entry.is_regular_file(kindError) && !ComicMimeType(entry.path()).empty()) {
        found.insert(entry.path());
      }
    }
    if (error) problems.push_back("cannot read all of " + Show(folder) + ": " + error.message());
  }
}

}  // namespace

std::vector<fs::path> FindComics(const std::vector<fs::path>& inputs, std::vector<std::string>& problems,
                                 const std::function<void(const fs::path&)>& beforeReadingFolder) {
  std::set<fs::path> found;
  for (const fs::path& input : inputs) {
    const fs::path start = AbsoluteNormal(input);
    std::error_code error;
    const auto status = fs::status(start, error);
    if (error || !fs::exists(status)) {
      problems.push_back("cannot read " + Show(input) + ": no such file or folder");
    } else if (fs::is_directory(status)) {
      WalkFolder(start, found, problems, beforeReadingFolder);
    } else if (ComicMimeType(start).empty()) {
      problems.push_back("skipping " + Show(input) + ": not a comic-book archive (.cbz, .cbr, .cb7, .cbt)");
    } else {
      found.insert(start);
    }
  }
  return {found.begin(), found.end()};
}

std::string PrepareCacheFolders(const fs::path& root, const CacheSize& size) {
  for (const fs::path& folder : {root / size.name, root / "fail" / FailFolderName()}) {
    // The folders that are new get access for their owner only.
    std::vector<fs::path> missing;
    std::error_code error;
    for (fs::path level = folder; !level.empty() && !fs::exists(level, error); level = level.parent_path()) {
      missing.push_back(level);
      if (level == level.parent_path()) break;
    }
    fs::create_directories(folder, error);
    if (!fs::is_directory(folder))
      return "cannot create " + Show(folder) + ": " + (error ? error.message() : "a file is in the way");
    for (const fs::path& level : missing) fs::permissions(level, fs::perms::owner_all, fs::perm_options::replace, error);
  }
  return {};
}

CacheOutcome CacheOneComic(const fs::path& comic, const fs::path& root, const CacheSize& size,
                           const ThumbnailMaker& maker, std::string& problem) {
  // The stamp is read first: should the comic change while its thumbnail is
  // made, the entry carries the older time and the next run makes it again.
  const auto stamp = ReadFileStamp(comic);
  if (!stamp) {
    problem = "cannot read " + Show(comic);
    return CacheOutcome::Error;
  }
  const CacheEntry entry = CacheEntryFor(root, size, comic);
  if (DescribesFile(entry.thumbnail, entry.uri, *stamp)) return CacheOutcome::UpToDate;
  if (DescribesFile(entry.failure, entry.uri, *stamp)) return CacheOutcome::FailedBefore;

  ThumbnailAttempt attempt = maker(comic, size.pixels);
  if (attempt.result == ThumbnailAttempt::Result::NoLibrary) {
    // The comic is not to blame: no fail entry, so that it is tried again
    // once the library is there. The maker says so once, not per comic.
    problem = attempt.problem;
    return CacheOutcome::NoLibrary;
  }
  if (attempt.result == ThumbnailAttempt::Result::Unreadable) {
    // Not the comic's fault (it may be unreadable to us only for now): no
    // fail entry.
    problem = attempt.problem.empty() ? "cannot read " + Show(comic) : attempt.problem;
    return CacheOutcome::Error;
  }
  const bool made = attempt.result == ThumbnailAttempt::Result::Made;
  // A comic that ends the process making its thumbnail would end the next
  // run's too: it gets a fail entry like any comic without a thumbnail, and
  // is said by name.
  const bool crashed = attempt.result == ThumbnailAttempt::Result::Crashed;
  if (crashed) problem = attempt.problem;
  // A fail entry is a picture of one transparent pixel with the same text.
  RgbaImage image = made ? std::move(attempt.image) : RgbaImage{1, 1, {0, 0, 0, 0}};
  std::vector<uint8_t> png;
  std::string written = EncodePng(image.width, image.height, 4, image.rgba,
                                  ThumbnailText(entry.uri, *stamp, ComicMimeType(comic)), png);
  if (written.empty()) written = WriteFileAtomically((made ? entry.thumbnail : entry.failure).u16string(), png, true);
  if (!written.empty()) {
    problem = crashed ? problem + "; " + written : written;
    return CacheOutcome::Error;
  }
  if (crashed) return CacheOutcome::Crashed;
  if (made) {
    std::error_code ignored;
    fs::remove(entry.failure, ignored);  // it failed once; now it does not
    return CacheOutcome::Made;
  }
  return CacheOutcome::Failed;
}

namespace {

std::string Duration(double seconds) {
  const auto whole = static_cast<long long>(seconds + 0.5);
  char text[32];
  if (whole >= 3600)
    std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", whole / 3600, whole / 60 % 60, whole % 60);
  else
    std::snprintf(text, sizeof text, "%lld:%02lld", whole / 60, whole % 60);
  return text;
}

void DrawProgress(size_t done, size_t total, double seconds) {
  constexpr int kBarWidth = 30;
  const double fraction = total == 0 ? 1.0 : static_cast<double>(done) / static_cast<double>(total);
  const int filled = static_cast<int>(fraction * kBarWidth);
  std::string bar(static_cast<size_t>(filled), '#');
  bar.append(static_cast<size_t>(kBarWidth - filled), '-');
  const double rate = seconds > 0 ? static_cast<double>(done) / seconds : 0.0;
  const std::string eta = rate > 0 ? Duration(static_cast<double>(total - done) / rate) : "?";
  std::fprintf(stderr, "\r\033[K%zu/%zu [%s] %5.1f comics/s  ETA %s", done, total, bar.c_str(), rate, eta.c_str());
  std::fflush(stderr);
}

}  // namespace

CacheRunReport FillCache(const std::vector<fs::path>& comics, const CacheRunSettings& settings,
                         const ThumbnailMaker& maker) {
  CacheRunReport report;
  report.total = comics.size();
  const auto start = std::chrono::steady_clock::now();
  const auto elapsed = [&] { return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(); };

  std::atomic<size_t> next{0};
  std::atomic<size_t> counts[7] = {};
  std::atomic<bool> stopped{false};
  std::atomic<unsigned> running{0};
  std::mutex messageLock;
  std::mutex finishLock;
  std::condition_variable finished;

  auto work = [&] {
    InitializeHostThread();
    for (;;) {
      if (settings.stopRequested && settings.stopRequested()) {
        stopped = true;
        break;
      }
      const size_t index = next.fetch_add(1);
      if (index >= comics.size()) break;
      std::string problem;
      CacheOutcome outcome = CacheOutcome::Error;
      // Whatever one comic raises is that comic's error; the others go on.
      try {
        outcome = CacheOneComic(comics[index], settings.root, settings.size, maker, problem);
      } catch (const std::exception& error) {
        problem = CannotCache(comics[index], error.what());
      } catch (...) {
        problem = CannotCache(comics[index], "unknown error");
      }
      if (!problem.empty()) {
        std::lock_guard<std::mutex> guard(messageLock);
        if (settings.progressBar) std::fputs("\r\033[K", stderr);
        try {
          PrintMessage(stderr, problem);
        } catch (...) {
        }
      }
      counts[static_cast<int>(outcome)].fetch_add(1);
    }
    FinalizeHostThread();
    std::lock_guard<std::mutex> guard(finishLock);
    running.fetch_sub(1);
    finished.notify_all();
  };

  const unsigned jobs = std::max(1u, std::min<unsigned>(settings.jobs, static_cast<unsigned>(comics.size())));
  running = jobs;
  std::vector<std::thread> threads;
  threads.reserve(jobs);
  for (unsigned i = 0; i < jobs; ++i) threads.emplace_back(work);

  auto done = [&] {
    size_t sum = 0;
    for (const auto& count : counts) sum += count.load();
    return sum;
  };
  for (;;) {
    {
      std::unique_lock<std::mutex> guard(finishLock);
      if (finished.wait_for(guard, std::chrono::milliseconds(100), [&] { return running.load() == 0; })) break;
    }
    if (settings.progressBar) {
      std::lock_guard<std::mutex> guard(messageLock);
      DrawProgress(done(), comics.size(), elapsed());
    }
  }
  for (std::thread& thread : threads) thread.join();
  if (settings.progressBar) {
    DrawProgress(done(), comics.size(), elapsed());
    std::fputs("\n", stderr);
  }

  report.made = counts[static_cast<int>(CacheOutcome::Made)];
  report.upToDate = counts[static_cast<int>(CacheOutcome::UpToDate)];
  report.failed = counts[static_cast<int>(CacheOutcome::Failed)];
  report.failedBefore = counts[static_cast<int>(CacheOutcome::FailedBefore)];
  report.errors = counts[static_cast<int>(CacheOutcome::Error)];
  report.noLibrary = counts[static_cast<int>(CacheOutcome::NoLibrary)];
  report.crashed = counts[static_cast<int>(CacheOutcome::Crashed)];
  report.stopped = stopped && report.Handled() < report.total;
  report.seconds = elapsed();
  return report;
}

std::string DescribeCacheRun(const CacheRunReport& report) {
  char text[512];
  const double rate = report.seconds > 0 ? static_cast<double>(report.Handled()) / report.seconds : 0.0;
  std::snprintf(text, sizeof text, "made %zu, up to date %zu, failed %zu (%zu new), errors %zu", report.made,
                report.upToDate, report.failed + report.failedBefore, report.failed, report.errors);
  std::string description = text;
  if (report.crashed != 0) description += ", ended their worker process " + std::to_string(report.crashed);
  if (report.noLibrary != 0) description += ", without their archive library " + std::to_string(report.noLibrary);
  std::snprintf(text, sizeof text, ": %zu of %zu comics in %.2f s (%.1f comics/s)", report.Handled(), report.total,
                report.seconds, rate);
  description += text;
  if (report.stopped) description += "; stopped early, the rest is untouched";
  return description;
}

}  // namespace quillet::tool
