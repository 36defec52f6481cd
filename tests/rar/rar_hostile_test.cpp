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
  std::vector<fs::file_status> seen;
  std::thread watcher([&] {
    while (!done) {
      std::error_code error;
      for (const auto& entry : fs::directory_iterator(FTempDir, error)) {
        const fs::file_status status = fs::symlink_status(entry.path(), error);
        if (!error && status.type() != fs::file_type::not_found) seen.push_back(status);
      }
    }
  });
  for (int round = 0; round < 50; ++round) {
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

}  // namespace
}  // namespace quillet::rar_test
