// quillet-thumbnail --cache without the module: a stand-in thumbnail maker
// lets these tests drive every decision of the cache.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <iterator>
#include <mutex>
#include <new>
#include <string>
#include <system_error>
#include <vector>

#include "support/test_support.h"
#include "tools/cache_run.h"
#include "tools/file_uri.h"
#include "tools/md5.h"
#include "tools/png_chunks.h"
#include "tools/thumbnail_cache.h"
#include "tools/thumbnail_host.h"

namespace quillet::tool {
namespace {

namespace fs = std::filesystem;

void WriteBytes(const fs::path& path, const std::string& bytes) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << bytes;
}

std::string ReadBytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

PngSummary Summary(const fs::path& png) {
  PngSummary summary;
  EXPECT_TRUE(ReadPngSummary(ReadBytes(png), summary)) << png;
  return summary;
}

// Every file below the folder, leftovers of atomic writes included.
std::vector<fs::path> FilesBelow(const fs::path& folder) {
  std::vector<fs::path> files;
  for (const auto& entry : fs::recursive_directory_iterator(folder))
    if (entry.is_regular_file()) files.push_back(entry.path());
  return files;
}

void MoveModificationTime(const fs::path& file, int seconds) {
  fs::last_write_time(file, fs::last_write_time(file) + std::chrono::seconds(seconds));
}

// Gives every comic a thumbnail of size x size/2 (or none), and counts calls.
struct StandInMaker {
  std::atomic<int> calls{0};
  std::atomic<bool> gives{true};
  ThumbnailMaker Maker() {
    return [this](const fs::path&, int32_t size) {
      ++calls;
      ThumbnailAttempt attempt;
      if (!gives) return attempt;
      attempt.result = ThumbnailAttempt::Result::Made;
      attempt.image = RgbaImage{size, size / 2, std::vector<uint8_t>(static_cast<size_t>(size * (size / 2)) * 4, 90)};
      return attempt;
    };
  }
};

// Gives no thumbnail, for the reason given.
ThumbnailMaker GivingNothing(ThumbnailAttempt::Result result, std::string problem) {
  return [result, problem](const fs::path&, int32_t) {
    ThumbnailAttempt attempt;
    attempt.result = result;
    attempt.problem = problem;
    return attempt;
  };
}

class Cache : public ::testing::Test {
 protected:
  void SetUp() override {
    scratch_ = test::ScratchDir(std::string("hosts-cache-") + ::testing::UnitTest::GetInstance()->current_test_info()->name());
    root_ = scratch_ / "cache" / "thumbnails";
    comic_ = scratch_ / "library" / "Issue 01.cbz";
    WriteBytes(comic_, "comic one");
    ASSERT_EQ(PrepareCacheFolders(root_, size_), "");
  }
  CacheOutcome Cache1(const ThumbnailMaker& maker) {
    std::string problem;
    const CacheOutcome outcome = CacheOneComic(comic_, root_, size_, maker, problem);
    EXPECT_EQ(problem.empty(), outcome != CacheOutcome::Error) << problem;
    return outcome;
  }
  CacheEntry Entry() const { return CacheEntryFor(root_, size_, comic_); }

  fs::path scratch_;
  fs::path root_;
  fs::path comic_;
  CacheSize size_ = *CacheSizeByName("normal");
  StandInMaker stand_in_;
};

TEST(CacheNames, RootSizesAndTypes) {
  const std::string cache = (fs::current_path() / "x" / "cache").string();
  const std::string home = (fs::current_path() / "home").string();
  EXPECT_EQ(ThumbnailCacheRoot(cache.c_str(), home.c_str()), fs::path(cache) / "thumbnails");
  EXPECT_EQ(ThumbnailCacheRoot("", home.c_str()), fs::path(home) / ".cache" / "thumbnails");
  EXPECT_EQ(ThumbnailCacheRoot("relative/cache", home.c_str()), fs::path(home) / ".cache" / "thumbnails");
  EXPECT_EQ(ThumbnailCacheRoot(nullptr, home.c_str()), fs::path(home) / ".cache" / "thumbnails");
  EXPECT_EQ(ThumbnailCacheRoot(nullptr, nullptr), fs::path());

  const std::vector<std::pair<std::string, int>> sizes = {
      {"normal", 128}, {"large", 256}, {"x-large", 512}, {"xx-large", 1024}, {"512", 512}};
  for (const auto& [name, pixels] : sizes) {
    const auto size = CacheSizeByName(name);
    ASSERT_TRUE(size) << name;
    EXPECT_EQ(size->pixels, pixels) << name;
  }
  EXPECT_FALSE(CacheSizeByName("huge"));
  EXPECT_FALSE(CacheSizeByName("200"));

  const std::vector<std::pair<std::string, std::string>> types = {
      {"a.cbz", "application/vnd.comicbook+zip"}, {"a.CBR", "application/vnd.comicbook-rar"},
      {"a.b.Cb7", "application/x-cb7"},          {"a.cbt", "application/x-cbt"},
      {"a.zip", ""},                              {"cbz", ""}};
  for (const auto& [name, type] : types) EXPECT_EQ(ComicMimeType(name), type) << name;
}

TEST(CacheNames, EntryIsTheMd5OfTheUriInTheSizeAndFailFolders) {
  const CacheEntry entry = CacheEntryFor("/c/thumbnails", *CacheSizeByName("large"), "/lib/My Hero #1.cbz");
  EXPECT_EQ(entry.uri, "file:///lib/My%20Hero%20%231.cbz");
  const std::string name = Md5Hex(entry.uri) + ".png";
  EXPECT_EQ(entry.thumbnail, fs::path("/c/thumbnails/large") / name);
  EXPECT_EQ(entry.failure, fs::path("/c/thumbnails/fail/quillet-" QUILLET_VERSION) / name);
}

TEST_F(Cache, ThumbnailCarriesItsDescriptionAndIsThenUpToDate) {
  ASSERT_EQ(Cache1(stand_in_.Maker()), CacheOutcome::Made);
  const CacheEntry entry = Entry();
  const PngSummary summary = Summary(entry.thumbnail);
  EXPECT_EQ(summary.width, 128u);
  EXPECT_EQ(summary.height, 64u);
  EXPECT_EQ(summary.bitDepth, 8);
  EXPECT_EQ(summary.colourType, 6);
  EXPECT_EQ(summary.interlace, 0);
  const auto stamp = ReadFileStamp(comic_);
  ASSERT_TRUE(stamp);
  EXPECT_EQ(summary.text.at("Thumb::URI"), FileUriFromPath(comic_.generic_string()));
  EXPECT_EQ(summary.text.at("Thumb::MTime"), std::to_string(stamp->modified));
  EXPECT_EQ(summary.text.at("Thumb::Size"), "9");
  EXPECT_EQ(summary.text.at("Thumb::Mimetype"), "application/vnd.comicbook+zip");
  EXPECT_EQ(FilesBelow(root_), std::vector<fs::path>{entry.thumbnail});  // no temporary file is left
  if (!test::RunningOnWindows()) {
    EXPECT_EQ(fs::status(entry.thumbnail).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);
  }

  EXPECT_EQ(Cache1(stand_in_.Maker()), CacheOutcome::UpToDate);
  EXPECT_EQ(stand_in_.calls, 1);
  MoveModificationTime(comic_, 10);
  EXPECT_EQ(Cache1(stand_in_.Maker()), CacheOutcome::Made);
  EXPECT_EQ(stand_in_.calls, 2);
}

TEST_F(Cache, FailedComicIsNotTriedAgainUntilItChanges) {
  stand_in_.gives = false;
  ASSERT_EQ(Cache1(stand_in_.Maker()), CacheOutcome::Failed);
  const CacheEntry entry = Entry();
  EXPECT_FALSE(fs::exists(entry.thumbnail));
  const PngSummary failure = Summary(entry.failure);
  EXPECT_EQ(failure.text.at("Thumb::URI"), entry.uri);
  EXPECT_EQ(failure.text.at("Thumb::MTime"), std::to_string(ReadFileStamp(comic_)->modified));

  EXPECT_EQ(Cache1(stand_in_.Maker()), CacheOutcome::FailedBefore);
  EXPECT_EQ(stand_in_.calls, 1);

  // Mended: a new thumbnail, and the fail entry goes.
  WriteBytes(comic_, "comic one, mended");
  MoveModificationTime(comic_, 10);
  stand_in_.gives = true;
  EXPECT_EQ(Cache1(stand_in_.Maker()), CacheOutcome::Made);
  EXPECT_TRUE(fs::exists(entry.thumbnail));
  EXPECT_FALSE(fs::exists(entry.failure));
}

TEST_F(Cache, OnlyAnEntryThatDescribesTheFileAsItIsCountsAsUpToDate) {
  const CacheEntry entry = Entry();
  const FileStamp stamp = *ReadFileStamp(comic_);
  const std::string mtime = std::to_string(stamp.modified);
  struct Case {
    const char* name;
    std::vector<PngText> text;
    bool upToDate;
  };
  const std::vector<Case> cases = {
      {"matching", {{"Thumb::URI", entry.uri}, {"Thumb::MTime", mtime}, {"Thumb::Size", "9"}}, true},
      {"no size, as some writers do", {{"Thumb::URI", entry.uri}, {"Thumb::MTime", mtime}}, true},
      {"other time", {{"Thumb::URI", entry.uri}, {"Thumb::MTime", std::to_string(stamp.modified - 1)}}, false},
      {"other size", {{"Thumb::URI", entry.uri}, {"Thumb::MTime", mtime}, {"Thumb::Size", "10"}}, false},
      {"other file", {{"Thumb::URI", entry.uri + "x"}, {"Thumb::MTime", mtime}}, false},
      {"time not a number", {{"Thumb::URI", entry.uri}, {"Thumb::MTime", mtime + ".5"}}, false},
      {"no time", {{"Thumb::URI", entry.uri}}, false},
  };
  for (const Case& c : cases) {
    std::vector<uint8_t> png;
    ASSERT_EQ(EncodePng(1, 1, 4, {0, 0, 0, 0}, c.text, png), "");
    ASSERT_EQ(WriteFileAtomically(entry.thumbnail.u16string(), png, true), "");
    EXPECT_EQ(DescribesFile(entry.thumbnail, entry.uri, stamp), c.upToDate) << c.name;
  }
  // A thumbnail cut short by a crash is made again.
  std::vector<uint8_t> png;
  ASSERT_EQ(EncodePng(1, 1, 4, {0, 0, 0, 0}, ThumbnailText(entry.uri, stamp, ""), png), "");
  WriteBytes(entry.thumbnail, std::string(png.begin(), png.end() - 20));
  EXPECT_EQ(Cache1(stand_in_.Maker()), CacheOutcome::Made);
  EXPECT_EQ(stand_in_.calls, 1);
}

TEST_F(Cache, UnreadableComicIsAnErrorAndGetsNoFailEntry) {
  std::string problem;
  EXPECT_EQ(CacheOneComic(comic_, root_, size_, GivingNothing(ThumbnailAttempt::Result::Unreadable, "cannot read it"),
                          problem),
            CacheOutcome::Error);
  EXPECT_EQ(problem, "cannot read it");
  EXPECT_TRUE(FilesBelow(root_).empty());
  EXPECT_EQ(CacheOneComic(scratch_ / "library" / "gone.cbz", root_, size_, stand_in_.Maker(), problem),
            CacheOutcome::Error);
  EXPECT_EQ(stand_in_.calls, 0);
}

// The module could not load the comic's archive library: the comic has not
// failed, so it gets no fail entry and is tried again by the next run.
TEST_F(Cache, ComicWithoutItsArchiveLibraryGetsNoFailEntry) {
  const ThumbnailMaker withoutLibrary =
      GivingNothing(ThumbnailAttempt::Result::NoLibrary, "the module cannot load libunrar.so.5");
  std::string problem;
  EXPECT_EQ(CacheOneComic(comic_, root_, size_, withoutLibrary, problem), CacheOutcome::NoLibrary);
  EXPECT_EQ(problem, "the module cannot load libunrar.so.5");
  EXPECT_TRUE(FilesBelow(root_).empty());
  EXPECT_EQ(Cache1(stand_in_.Maker()), CacheOutcome::Made);
}

TEST(AtomicWrite, ReplacesWholeOrLeavesNothing) {
  const fs::path dir = test::ScratchDir("hosts-atomic-write");
  const fs::path target = dir / "out.png";
  WriteBytes(target, "old contents");
  EXPECT_EQ(WriteFileAtomically(target.u16string(), {'n', 'e', 'w'}, false), "");
  EXPECT_EQ(ReadBytes(target), "new");
  EXPECT_EQ(FilesBelow(dir), std::vector<fs::path>{target});

  const fs::path nowhere = dir / "no such folder" / "out.png";
  EXPECT_NE(WriteFileAtomically(nowhere.u16string(), {'x'}, false), "");
  EXPECT_EQ(FilesBelow(dir), std::vector<fs::path>{target});
}

// Tumbler creates the output file, keeps it open and reads the result through
// that handle: an existing file must get the bytes in place, not be renamed
// over.
TEST(OutputFile, ExistingFileIsWrittenInPlaceForTheHandleThatMadeIt) {
  if (test::RunningOnWindows()) GTEST_SKIP() << "no Windows host holds the output open";
  const fs::path dir = test::ScratchDir("hosts-output-file");
  const fs::path target = dir / "made by the caller.png";
  WriteBytes(target, "an older and longer content");
  std::ifstream held(target, std::ios::binary);
  ASSERT_TRUE(held);
  EXPECT_EQ(WriteOutputFile(target.u16string(), {'n', 'e', 'w'}), "");
  EXPECT_EQ(std::string((std::istreambuf_iterator<char>(held)), std::istreambuf_iterator<char>()), "new");
  EXPECT_EQ(FilesBelow(dir), std::vector<fs::path>{target});

  const fs::path fresh = dir / "fresh.png";
  EXPECT_EQ(WriteOutputFile(fresh.u16string(), {'x'}), "");
  EXPECT_EQ(ReadBytes(fresh), "x");
  std::vector<fs::path> files = FilesBelow(dir);
  std::sort(files.begin(), files.end());
  EXPECT_EQ(files, (std::vector<fs::path>{fresh, target}));
}

// A link at the output path is replaced, never written through: what it
// points to stays as it was.
TEST(OutputFile, LinkIsReplacedNotFollowed) {
  if (test::RunningOnWindows()) GTEST_SKIP() << "file links need privileges on Windows";
  const fs::path dir = test::ScratchDir("hosts-output-link");
  const fs::path victim = dir / "victim.txt";
  const fs::path link = dir / "out.png";
  WriteBytes(victim, "keep me");
  fs::create_symlink(victim, link);
  EXPECT_EQ(WriteOutputFile(link.u16string(), {'p', 'n', 'g'}), "");
  EXPECT_EQ(ReadBytes(victim), "keep me");
  EXPECT_FALSE(fs::is_symlink(link));
  EXPECT_EQ(ReadBytes(link), "png");
}

class Library : public ::testing::Test {
 protected:
  void SetUp() override {
    scratch_ = test::ScratchDir(std::string("hosts-library-") + ::testing::UnitTest::GetInstance()->current_test_info()->name());
    library_ = scratch_ / "library";
    for (int i = 0; i < 12; ++i)
      WriteBytes(library_ / ("series " + std::to_string(i % 3)) / ("issue " + std::to_string(i) + ".cbz"),
                 "comic " + std::to_string(i));
    WriteBytes(library_ / "LOUD.CBR", "rar");
    WriteBytes(library_ / "notes.txt", "not a comic");
    WriteBytes(library_ / "archive.zip", "not a comic either");
    settings_.root = scratch_ / "cache" / "thumbnails";
    settings_.size = *CacheSizeByName("large");
    settings_.jobs = 4;
    ASSERT_EQ(PrepareCacheFolders(settings_.root, settings_.size), "");
  }
  fs::path scratch_;
  fs::path library_;
  CacheRunSettings settings_;
  StandInMaker stand_in_;
};

TEST_F(Library, FindsEachComicOnceAndNothingElse) {
  std::vector<std::string> problems;
  const auto comics = FindComics({library_, library_ / "series 1" / ".." / "LOUD.CBR", library_ / "notes.txt",
                                  scratch_ / "missing"},
                                 problems);
  ASSERT_EQ(comics.size(), 13u);
  for (const fs::path& comic : comics) {
    EXPECT_TRUE(comic.is_absolute());
    EXPECT_EQ(comic, comic.lexically_normal());
    EXPECT_FALSE(ComicMimeType(comic).empty()) << comic;
  }
  ASSERT_EQ(problems.size(), 2u);
  EXPECT_NE(problems[0].find("not a comic-book archive"), std::string::npos) << problems[0];
  EXPECT_NE(problems[1].find("missing"), std::string::npos) << problems[1];
}

// A folder that goes away between being listed and being read (removed
// during the walk) is reported, and every other folder is still searched.
TEST_F(Library, AFolderRemovedDuringTheWalkIsReportedAndTheWalkGoesOn) {
  for (int i = 0; i < 6; ++i) WriteBytes(library_ / ("extra " + std::to_string(i)) / "one.cb7", "comic");
  // The first folder read after the top goes away, whichever the walk takes
  // first: every other folder is read after it.
  fs::path doomed;
  std::vector<std::string> problems;
  const auto comics = FindComics({library_}, problems, [&](const fs::path& folder) {
    if (folder != library_ && doomed.empty()) {
      doomed = folder;
      fs::remove_all(doomed);
    }
  });
  ASSERT_FALSE(doomed.empty());
  ASSERT_EQ(problems.size(), 1u);
  EXPECT_NE(problems[0].find(doomed.filename().string()), std::string::npos) << problems[0];
  // 13 comics and 6 more, less those of the removed folder.
  const size_t removed = doomed.filename().string().rfind("extra", 0) == 0 ? 1 : 4;
  EXPECT_EQ(comics.size(), 19u - removed);
  EXPECT_TRUE(std::count(comics.begin(), comics.end(), library_ / "LOUD.CBR"));
  for (int i = 0; i < 6; ++i) {
    const fs::path folder = library_ / ("extra " + std::to_string(i));
    if (folder == doomed) continue;
    EXPECT_TRUE(std::count(comics.begin(), comics.end(), folder / "one.cb7")) << folder;
  }
  for (int i = 0; i < 3; ++i) {
    const fs::path folder = library_ / ("series " + std::to_string(i));
    if (folder == doomed) continue;
    EXPECT_EQ(std::count_if(comics.begin(), comics.end(), [&](const fs::path& comic) { return comic.parent_path() == folder; }), 4)
        << folder;
  }
}

TEST_F(Library, LinksToFoldersAreNotFollowed) {
  if (test::RunningOnWindows()) GTEST_SKIP() << "folder links need privileges on Windows";
  fs::create_directory_symlink(library_, library_ / "series 0" / "loop");
  std::vector<std::string> problems;
  EXPECT_EQ(FindComics({library_}, problems).size(), 13u);
  EXPECT_TRUE(problems.empty());
}

TEST_F(Library, SecondRunSkipsEverything) {
  std::vector<std::string> problems;
  const auto comics = FindComics({library_}, problems);
  const CacheRunReport first = FillCache(comics, settings_, stand_in_.Maker());
  EXPECT_EQ(first.made, 13u);
  EXPECT_EQ(first.Handled(), 13u);
  EXPECT_FALSE(first.stopped);
  EXPECT_EQ(stand_in_.calls, 13);
  EXPECT_EQ(FilesBelow(settings_.root).size(), 13u);  // thumbnails only, no temporary files
  for (const fs::path& comic : comics) {
    const CacheEntry entry = CacheEntryFor(settings_.root, settings_.size, comic);
    EXPECT_EQ(Summary(entry.thumbnail).width, 256u) << comic;
  }

  const CacheRunReport second = FillCache(comics, settings_, stand_in_.Maker());
  EXPECT_EQ(second.upToDate, 13u);
  EXPECT_EQ(second.made, 0u);
  EXPECT_EQ(stand_in_.calls, 13);
  EXPECT_NE(DescribeCacheRun(second).find("made 0, up to date 13, failed 0"), std::string::npos)
      << DescribeCacheRun(second);
}

TEST_F(Library, RequestsRunInParallel) {
  // Each request waits until another one is under way at the same time; with
  // one request at a time the first would wait for ever (or here: 30 s).
  std::mutex lock;
  std::condition_variable changed;
  int inFlight = 0;
  bool overlapped = false;
  const ThumbnailMaker maker = [&](const fs::path& comic, int32_t size) {
    {
      std::unique_lock<std::mutex> guard(lock);
      ++inFlight;
      if (inFlight >= 2) overlapped = true;
      changed.notify_all();
      changed.wait_for(guard, std::chrono::seconds(30), [&] { return overlapped; });
      --inFlight;
    }
    return stand_in_.Maker()(comic, size);
  };
  std::vector<std::string> problems;
  const CacheRunReport report = FillCache(FindComics({library_}, problems), settings_, maker);
  EXPECT_TRUE(overlapped);
  EXPECT_EQ(report.made, 13u);
}

// Whatever a comic raises (out of memory, a name the library cannot
// convert) is that comic's error: the run counts it and goes on.
TEST_F(Library, WhatAComicRaisesIsItsErrorAndTheRunGoesOn) {
  std::vector<std::string> problems;
  const auto comics = FindComics({library_}, problems);
  const ThumbnailMaker maker = [this](const fs::path& comic, int32_t size) {
    const std::string name = comic.filename().string();
    if (name == "issue 3.cbz") throw std::bad_alloc();
    if (name == "issue 5.cbz")
      throw fs::filesystem_error("cannot convert", comic, std::make_error_code(std::errc::illegal_byte_sequence));
    if (name == "issue 7.cbz") throw 7;
    return stand_in_.Maker()(comic, size);
  };
  testing::internal::CaptureStderr();
  const CacheRunReport report = FillCache(comics, settings_, maker);
  const std::string said = testing::internal::GetCapturedStderr();
  EXPECT_EQ(report.errors, 3u);
  EXPECT_EQ(report.made, 10u);
  EXPECT_EQ(report.Handled(), 13u);
  EXPECT_FALSE(report.stopped);
  EXPECT_EQ(FilesBelow(settings_.root).size(), 10u);  // thumbnails, and no fail entry for the three
  for (const char* name : {"issue 3.cbz", "issue 5.cbz", "issue 7.cbz"})
    EXPECT_NE(said.find(name), std::string::npos) << name << " is not named in: " << said;
}

// A cache folder whose name is not UTF-8 (XDG_CACHE_HOME may name one)
// cannot be passed on as Unicode: every comic is an error, and the run ends
// as runs end.
TEST_F(Library, ACacheFolderWhoseNameIsNotUtf8MakesErrorsNotAnAbort) {
  if (test::RunningOnWindows()) GTEST_SKIP() << "Windows names are UTF-16";
  settings_.root = scratch_ / std::string("cache-\xFF\xFE") / "thumbnails";
  ASSERT_EQ(PrepareCacheFolders(settings_.root, settings_.size), "");
  std::vector<std::string> problems;
  testing::internal::CaptureStderr();
  const CacheRunReport report = FillCache(FindComics({library_}, problems), settings_, stand_in_.Maker());
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(report.Handled(), 13u);
  EXPECT_EQ(report.errors + report.made, 13u);
}

// Problems name files, and names can hold escape sequences and line ends:
// what reaches standard error is one line per problem, without a control.
TEST_F(Library, ProblemsReachTheTerminalWithoutControls) {
  std::vector<std::string> problems;
  const auto comics = FindComics({library_}, problems);
  const ThumbnailMaker maker = [](const fs::path& comic, int32_t) {
    ThumbnailAttempt attempt;
    attempt.result = ThumbnailAttempt::Result::Unreadable;
    attempt.problem = "cannot read " + comic.filename().string() + "\x1B]0;owned\x07\x1B[2J\nquillet-thumbnail: all fine";
    return attempt;
  };
  settings_.jobs = 1;
  testing::internal::CaptureStderr();
  const CacheRunReport report = FillCache(comics, settings_, maker);
  const std::string said = testing::internal::GetCapturedStderr();
  EXPECT_EQ(report.errors, 13u);
  EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 13) << said;
  for (const char c : said) EXPECT_TRUE(c == '\n' || static_cast<unsigned char>(c) >= 0x20) << int(c);
  EXPECT_EQ(said.find("\x1B"), std::string::npos);
  EXPECT_NE(said.find("\\x1B]0;owned\\x07\\x1B[2J\\x0Aquillet-thumbnail: all fine"), std::string::npos) << said;
}

TEST_F(Library, StopLeavesOnlyWholeFiles) {
  std::vector<std::string> problems;
  const auto comics = FindComics({library_}, problems);
  settings_.jobs = 2;
  settings_.stopRequested = [this] { return stand_in_.calls >= 3; };
  const CacheRunReport report = FillCache(comics, settings_, stand_in_.Maker());
  EXPECT_TRUE(report.stopped);
  EXPECT_GE(report.made, 3u);
  EXPECT_LT(report.made, 13u);
  const auto files = FilesBelow(settings_.root);
  EXPECT_EQ(files.size(), report.made);
  for (const fs::path& file : files) {
    EXPECT_EQ(file.extension(), ".png") << file;
    EXPECT_EQ(Summary(file).width, 256u) << file;
  }
}

}  // namespace
}  // namespace quillet::tool
