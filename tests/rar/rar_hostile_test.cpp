// Archives made to harm the host: link entries that point outside the
// archive, entries that claim gigabytes, and a damaged file that crashes the
// library. None of them gets a thumbnail from what it points at, writes much,
// or touches a file outside the temporary folder.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "handlers/image_loading.h"
#include "handlers/rar_block_walk.h"
#include "handlers/vekCBRClass.h"
#include "platform/platform.h"
#include "rar/rar_archives.h"
#include "support/test_support.h"

namespace quillet::rar_test {
namespace {

std::string ReadText(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// What a file outside the archive is: its bytes, its permissions, its links.
struct TOutsideFile {
  std::string Bytes;
  fs::perms Permissions;
  uintmax_t Links;
  bool operator==(const TOutsideFile&) const = default;
};

TOutsideFile Observe(const fs::path& file) {
  return {ReadText(file), fs::status(file).permissions(), fs::hard_link_count(file)};
}

// Every name below a folder, the temporary folder left out.
std::vector<std::string> Tree(const fs::path& root, const fs::path& leftOut) {
  std::vector<std::string> names;
  for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it) {
    if (it->path() == leftOut) {
      it.disable_recursion_pending();
      continue;
    }
    names.push_back(fs::relative(it->path(), root).generic_string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

// ---- Links and references ---------------------------------------------------------

// The folder around the temporary folder holds victim/secret.png, where the
// symbolic links point, and host/, the current folder while the test runs,
// with its own secret.png, where hard links and references are looked up.
// Both are read-only copies of the page OUTSIDE_PAGE of make_archives.py.
class RarLinkCover : public RarBackEnd, public testing::WithParamInterface<CoverCase> {
 protected:
  static constexpr int kOutsidePage = 9;

  void SetUp() override {
    RarBackEnd::SetUp();
    const fs::path around = FTempDir.parent_path();
    fs::create_directories(around / "victim");
    fs::create_directories(around / "host");
    FOutside = {around / "victim" / "secret.png", around / "host" / "secret.png"};
    const fs::path page = Archive(u8"links/secret.png");
    for (const fs::path& file : FOutside) {
      fs::copy_file(page, file, fs::copy_options::overwrite_existing);
      fs::permissions(file, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    }
    FCurrent = fs::current_path();
    fs::current_path(around / "host");
  }

  void TearDown() override {
    fs::current_path(FCurrent);
    for (const fs::path& file : FOutside) fs::permissions(file, fs::perms::owner_all);
    RarBackEnd::TearDown();
  }

  std::vector<fs::path> FOutside;
  fs::path FCurrent;
};

TEST_P(RarLinkCover, IsNoPageAndTouchesNothingOutside) {
  const CoverCase& c = GetParam();
  const fs::path around = FTempDir.parent_path();
  std::map<fs::path, TOutsideFile> before;
  for (const fs::path& file : FOutside) before[file] = Observe(file);
  const std::vector<std::string> treeBefore = Tree(around, FTempDir);

  HBITMAP cover = Preview(Archive(c.archive), c.isCBxFile);
  // The link p1.png is no candidate: the cover is the real page p2.png.
  ASSERT_NE(cover, nullptr);
  EXPECT_EQ(PageOf(cover), c.page);
  DeleteObject(cover);

  for (const fs::path& file : FOutside) EXPECT_TRUE(Observe(file) == before[file]) << file << " was changed";
  EXPECT_EQ(Tree(around, FTempDir), treeBefore) << "something was made outside the temporary folder";
}

INSTANTIATE_TEST_SUITE_P(
    Archives, RarLinkCover,
    testing::Values(CoverCase{u8"links/symlink-cover.cbr", true, 2}, CoverCase{u8"links/symlink-cover.cbr", false, 2},
                    CoverCase{u8"links/symlink-cover-rar4.cbr", true, 2},
                    CoverCase{u8"links/symlink-cover-rar4.cbr", false, 2},
                    CoverCase{u8"links/hardlink-cover.cbr", true, 2},
                    CoverCase{u8"links/hardlink-cover.cbr", false, 2},
                    CoverCase{u8"links/reference-cover.cbr", true, 2},
                    CoverCase{u8"links/reference-cover.cbr", false, 2}));

// ---- The extracted page ---------------------------------------------------------

// While the cover is extracted and decoded, its file is a regular file that
// its owner alone may read and write, whatever mode the archive stored (777
// here). A second thread watches the temporary folder meanwhile.
TEST_F(RarBackEnd, ExtractedPageKeepsOurMode) {
  if (RunningOnWindows()) GTEST_SKIP() << "file modes are those of Linux";
  std::atomic<bool> done{false};
  std::atomic<size_t> seenCount{0};
  std::vector<fs::file_status> seen;
  std::thread watcher([&] {
    while (!done) {
      std::error_code error;
      for (const auto& entry : fs::directory_iterator(FTempDir, error)) {
        const fs::file_status status = fs::symlink_status(entry.path(), error);
        if (!error && status.type() != fs::file_type::not_found) {
          seen.push_back(status);
          ++seenCount;
        }
      }
    }
  });
  // The file lives only while its page is decoded, a few milliseconds: the
  // requests go on until the watcher has seen it, on a fast machine too.
  for (int round = 0; round < 5000 && (round < 50 || seenCount == 0); ++round) {
    HBITMAP cover = Preview(Archive(u8"mode-777.cbr"), true);
    EXPECT_EQ(PageOf(cover), 1);
    if (cover != nullptr) DeleteObject(cover);
  }
  done = true;
  watcher.join();
  EXPECT_FALSE(seen.empty()) << "the extracted file was never seen";
  for (const fs::file_status& status : seen) {
    EXPECT_EQ(status.type(), fs::file_type::regular);
    EXPECT_EQ(status.permissions(), fs::perms::owner_read | fs::perms::owner_write);
  }
}

// ---- Sizes ------------------------------------------------------------------------

// A cover that claims 600 MiB (of zeros, packed to 25 KB), and a cover in a
// solid archive behind two entries of 300 MiB of zeros, which are unpacked on
// the way to it: both are refused before the temporary file is even named,
// so nothing is unpacked or written.
TEST_F(RarBackEnd, RefusesACoverThatMeansUnpackingMoreThanARequestMay) {
  for (const char8_t* archive : {u8"zeros-600M.cbr", u8"solid-cover-behind-600M.cbr"}) {
    for (const bool isCBxFile : {true, false}) {
      try {
        HBITMAP cover = Preview(Archive(archive), isCBxFile);
        ADD_FAILURE() << reinterpret_cast<const char*>(archive) << ": no error; cover of page " << PageOf(cover);
        if (cover != nullptr) DeleteObject(cover);
      } catch (const Exception& e) {
        EXPECT_STREQ(e.what(), "Rar error");
      }
    }
  }
  const std::u16string probe = FRegistry.MakeTempFileName(u"probe");
  EXPECT_EQ(probe.substr(probe.size() - 2), u"-1") << "an extraction was begun";
}

// The sink takes the library's data up to its limit and refuses the first
// piece that would pass it, whatever the headers said.
TEST_F(RarBackEnd, DataSinkStopsAtItsLimit) {
  const std::u16string path = test::ModulePath(FTempDir / "sink");
  {
    std::unique_ptr<platform::File> file = platform::CreateFileExclusive(path);
    TRarDataSink sink(10);
    const auto userData = reinterpret_cast<unrar::LPARAM>(&sink);
    const char data[] = "0123456789abcdef";
    const auto piece = [&](size_t size) {
      return RarCallback(unrar::UCM_PROCESSDATA, userData, reinterpret_cast<unrar::LPARAM>(data),
                         static_cast<unrar::LPARAM>(size));
    };
    // Without an output the data of a passed-over entry goes by.
    EXPECT_EQ(piece(16), 1);
    sink.Begin(file.get());
    EXPECT_EQ(piece(6), 1);
    EXPECT_EQ(piece(4), 1);
    EXPECT_FALSE(sink.Failed());
    EXPECT_EQ(piece(1), -1);
    EXPECT_TRUE(sink.Failed());
    EXPECT_EQ(sink.Written(), 10u);
    // A negative size is refused, not taken for a huge one.
    sink.Begin(file.get());
    EXPECT_EQ(RarCallback(unrar::UCM_PROCESSDATA, userData, reinterpret_cast<unrar::LPARAM>(data), -1), -1);
  }
  EXPECT_EQ(ReadText(FTempDir / "sink"), "0123450123");
  fs::remove(FTempDir / "sink");
}

// ---- Damaged headers ----------------------------------------------------------------

// The library of Debian 12 crashes on this file. It gets no thumbnail, and it
// never reaches the library: one without the unrar functions is never called.
TEST_F(RarBackEnd, NeverHandsTheCrashingFileToTheLibrary) {
  const fs::path file = FTempDir.parent_path() / "crash.cbr";
  {
    const std::vector<uint8_t> bytes = CrashingFile();
    ASSERT_EQ(bytes.size(), 92u);
    std::ofstream out(file, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  }
  TLibraryWithoutUnrar withoutUnrar(&FRegistry);
  for (TvekCBRClass* handler : {static_cast<TvekCBRClass*>(&withoutUnrar), FHandler}) {
    try {
      HBITMAP cover = handler->GetPreviewBitmap(test::ModulePath(file), true);
      ADD_FAILURE() << "no error; cover of page " << PageOf(cover);
    } catch (const Exception& e) {
      EXPECT_STREQ(e.what(), "Rar error");
    }
  }
}

// ---- The file checked is the file read -------------------------------------------------

// While the requests run, another thread renames two files in turn onto the
// archive's name: an intact archive whose first page is page 1, and a copy of
// one whose first page is page 3 with its last 20 bytes cut off. Our walk
// refuses the cut one; the library would read it up to its first page all the
// same. A library that opened the name anew after the walk would, now and
// then, meet the file nobody checked and show page 3.
TEST_F(RarBackEnd, ReadsTheVeryFileItCheckedWhileOthersAreRenamedOntoItsName) {
  const fs::path around = FTempDir.parent_path();
  const fs::path intact = around / "intact.cbr";
  const fs::path cut = around / "cut.cbr";
  const fs::path target = around / "renamed onto.cbr";
  fs::copy_file(Archive(u8"walk/rar5-plain.cbr"), intact, fs::copy_options::overwrite_existing);
  fs::copy_file(Archive(u8"normal.cbr"), cut, fs::copy_options::overwrite_existing);
  fs::resize_file(cut, fs::file_size(cut) - 20);
  ASSERT_EQ(WalkRarBlocks(test::ModulePath(cut)), TRarWalkResult::Damaged);
  fs::copy_file(intact, target, fs::copy_options::overwrite_existing);
  {
    HBITMAP cover = Preview(target, false);
    ASSERT_EQ(PageOf(cover), 1);
    DeleteObject(cover);
  }

  std::atomic<bool> stop{false};
  std::atomic<int> renames{0};
  std::thread renamer([&] {
    const fs::path staging = around / "staging.cbr";
    for (unsigned turn = 0; !stop; ++turn) {
      // A new link to the file is quicker to make than a copy; where the
      // file system has no links, a copy. Failures are expected where an
      // open file cannot be renamed over.
      const fs::path& next = turn % 2 == 0 ? cut : intact;
      std::error_code error;
      fs::remove(staging, error);
      fs::create_hard_link(next, staging, error);
      if (error) fs::copy_file(next, staging, fs::copy_options::overwrite_existing, error);
      if (!error) fs::rename(staging, target, error);
      if (!error) ++renames;
    }
  });
  // What each request gave: the page shown, no thumbnail, or the error.
  std::map<std::string, int> outcomes;
  // The moment to hit is short: many requests, each a chance.
  for (int request = 0; request < 1000; ++request) {
    std::string outcome;
    try {
      HBITMAP cover = Preview(target, false);
      outcome = cover != nullptr ? "page " + std::to_string(PageOf(cover)) : "no thumbnail";
      if (cover != nullptr) DeleteObject(cover);
    } catch (const EOSError&) {
      // Our own open refused: on Windows the renamer may hold the file
      // without sharing it for a moment. Nothing reached the library.
      outcome = "not opened";
    } catch (const std::exception& e) {
      outcome = e.what();
    }
    ++outcomes[outcome];
  }
  stop = true;
  renamer.join();
  EXPECT_GT(renames.load(), 0) << "the files were never renamed onto the name";
  // Checked and read the intact file: page 1. Checked the cut one: refused.
  // Not opened at all: nothing to check, nothing read.
  // Anything else means the library read a file other than the one checked
  // (page 3 when that was the cut one in both passes; no thumbnail when the
  // passes read different files).
  outcomes.erase("page 1");
  outcomes.erase("Rar error");
  outcomes.erase("not opened");
  EXPECT_TRUE(outcomes.empty()) << "requests that read an unchecked file: " << testing::PrintToString(outcomes);
}

}  // namespace
}  // namespace quillet::rar_test
