// The RAR back-end over the real unrar library, with archives that `rar` made
// when the tests started. Every page is one colour that tells its number, so
// the cover bitmap says which entry was extracted.
#include <gtest/gtest.h>

#include <array>
#include <clocale>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "handlers/vekCBRClass.h"
#include "platform/platform.h"
#include "rar/rar_archives.h"
#include "support/test_support.h"

namespace quillet::rar_test {
namespace {

// ---- The library's questions and results -----------------------------------------

TEST(RarCallback, AnswersEachMessage) {
  struct Case {
    unsigned int message;
    unrar::LPARAM p2;
    int expected;
  };
  const Case cases[] = {
      // Every volume change is refused, the notice that one was made too:
      // only the first volume is read.
      {unrar::UCM_CHANGEVOLUME, unrar::RAR_VOL_ASK, -1},
      {unrar::UCM_CHANGEVOLUME, unrar::RAR_VOL_NOTIFY, -1},
      {unrar::UCM_CHANGEVOLUME, 2, -1},
      {unrar::UCM_CHANGEVOLUMEW, unrar::RAR_VOL_ASK, -1},
      {unrar::UCM_CHANGEVOLUMEW, unrar::RAR_VOL_NOTIFY, -1},
      {unrar::UCM_CHANGEVOLUMEW, static_cast<unrar::LPARAM>(0x100000001LL), -1},
      // Data with no sink to take it (user data 0) goes by.
      {unrar::UCM_PROCESSDATA, 0, 1},
      {unrar::UCM_NEEDPASSWORD, 0, -1},
      {unrar::UCM_NEEDPASSWORDW, 0, -1},
      {5, 0, 0},
      {0xFFFFFFFFu, 1, 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(RarCallback(c.message, 0, 5678, c.p2), c.expected) << "message " << c.message << ", mode " << c.p2;
  }
}

TEST(RarCheck, RaisesRarErrorForEveryCodeButSuccess) {
  EXPECT_NO_THROW(RarCheck(0));
  for (const int code : {unrar::ERAR_END_ARCHIVE, 12, 16, 18, 22, 24, -1}) {
    try {
      RarCheck(code);
      ADD_FAILURE() << "no error for code " << code;
    } catch (const Exception& e) {
      EXPECT_STREQ(e.what(), "Rar error") << "code " << code;
    }
  }
}

TEST(RarFormat, RecognisesRarArchivesByTheirHead) {
  TvekCBRClass handler(nullptr);
  EXPECT_EQ(handler.GetExtension(), "CBR");
  EXPECT_EQ(handler.GetLibraryName(), platform::kUnrarLibraryName);
  const std::string rar5("Rar!\x1A\x07\x01\x00", 8);
  EXPECT_TRUE(handler.MatchSignature(rar5.data(), static_cast<int32_t>(rar5.size())));
  EXPECT_TRUE(handler.MatchSignature(rar5.data(), 6));
  EXPECT_FALSE(handler.MatchSignature(rar5.data(), 5));
  EXPECT_FALSE(handler.MatchSignature("Rar!\x1A\x08", 6));
}

// ---- Covers -----------------------------------------------------------------------

class RarCover : public RarBackEnd, public testing::WithParamInterface<CoverCase> {};

TEST_P(RarCover, IsTheExpectedPage) {
  const CoverCase& c = GetParam();
  // The library converts names with the thread's locale; the test program
  // runs in the C locale, where a name that is not ASCII cannot be converted.
  ASSERT_STREQ(std::setlocale(LC_ALL, nullptr), "C");
  HBITMAP cover = Preview(Archive(c.archive), c.isCBxFile);
  ASSERT_NE(cover, nullptr);
  EXPECT_EQ(PageOf(cover), c.page);
  DeleteObject(cover);
  EXPECT_STREQ(std::setlocale(LC_ALL, nullptr), "C") << "the process-wide locale was changed";
}

INSTANTIATE_TEST_SUITE_P(
    Archives, RarCover,
    testing::Values(
        // Seite 3, Seite 1, Seite 2 in archive order, below a folder whose
        // name is not ASCII (a character beyond 16 bits included).
        CoverCase{u8"normal.cbr", true, 1}, CoverCase{u8"normal.cbr", false, 3},
        CoverCase{u8"solid.cbr", true, 1}, CoverCase{u8"solid.cbr", false, 3},
        CoverCase{u8"Überblick 📖/normal.cbr", true, 1},
        // A directory 00.png before the pages is no page.
        CoverCase{u8"directory-named-like-image.cbr", true, 1},
        CoverCase{u8"directory-named-like-image.cbr", false, 1},
        // A page with mode 664 is a page all the same.
        CoverCase{u8"mode-664.cbr", true, 1}, CoverCase{u8"mode-664.cbr", false, 1},
        CoverCase{u8"read-only-page.cbr", true, 1},
        // The first image lies wholly in the first volume, the only one read;
        // the second would crash the library, also when every page is listed.
        CoverCase{u8"volumes-damaged-second/book.part1.rar", false, 1},
        CoverCase{u8"volumes-damaged-second/book.part1.rar", true, 1}));

// ---- What gives no cover ------------------------------------------------------

enum class Outcome { NoCover, RarError };

struct RefusalCase {
  const char8_t* archive;
  bool isCBxFile;
  Outcome outcome;
  bool extracts;  // whether it fails in the cover's extraction, after the listing
};

void PrintTo(const RefusalCase& c, std::ostream* out) {
  *out << reinterpret_cast<const char*>(c.archive) << (c.isCBxFile ? " as a comic book" : " as a plain archive");
}

class RarRefusal : public RarBackEnd, public testing::WithParamInterface<RefusalCase> {};

TEST_P(RarRefusal, GivesNoCoverAndLeavesNothing) {
  const RefusalCase& c = GetParam();
  HBITMAP cover = nullptr;
  try {
    cover = Preview(Archive(c.archive), c.isCBxFile);
    EXPECT_EQ(c.outcome, Outcome::NoCover) << "no error raised";
  } catch (const Exception& e) {
    EXPECT_EQ(c.outcome, Outcome::RarError) << "raised " << e.what();
    EXPECT_STREQ(e.what(), "Rar error");
  }
  EXPECT_EQ(cover, nullptr) << "a cover of page " << PageOf(cover);
  if (cover != nullptr) DeleteObject(cover);
  // Whether a temporary name was taken, that is, the cover's extraction began.
  const std::u16string probe = FRegistry.MakeTempFileName(u"probe");
  EXPECT_EQ(probe.substr(probe.size() - 2), c.extracts ? u"-2" : u"-1")
      << (c.extracts ? "the cover was never extracted" : "an extraction was begun");
}

INSTANTIATE_TEST_SUITE_P(
    Archives, RarRefusal,
    testing::Values(
        // Only a directory named like an image and a text.
        RefusalCase{u8"no-pages.cbr", true, Outcome::NoCover, false},
        RefusalCase{u8"no-pages.cbr", false, Outcome::NoCover, false},
        // The password requests are refused: for the cover's data when it is
        // extracted, for the headers when the archive is opened, which the
        // library then does not.
        RefusalCase{u8"encrypted-data.cbr", true, Outcome::RarError, true},
        RefusalCase{u8"encrypted-headers.cbr", true, Outcome::NoCover, false},
        // Only the first volume, which was checked, is read, and only as far
        // as its own entries: a page that goes on in the next volume is no
        // page, whether that volume is there, missing or one further on.
        RefusalCase{u8"volumes-first-only/book.part1.rar", true, Outcome::NoCover, false},
        RefusalCase{u8"volumes-first-only/book.part1.rar", false, Outcome::NoCover, false},
        RefusalCase{u8"volumes-middle-missing/book.part1.rar", true, Outcome::NoCover, false},
        RefusalCase{u8"volumes-middle-missing/book.part1.rar", false, Outcome::NoCover, false},
        RefusalCase{u8"volumes-complete/book.part1.rar", true, Outcome::NoCover, false},
        RefusalCase{u8"volumes-complete/book.part1.rar", false, Outcome::NoCover, false},
        // The cover's data fails its checksum: what the library wrote goes.
        RefusalCase{u8"damaged-data.cbr", true, Outcome::RarError, true},
        // The second entry's header fails its checksum.
        RefusalCase{u8"damaged-header.cbr", true, Outcome::RarError, false},
        // The archive ends in the middle of the cover's data: the cover's
        // size reaches past the end, and the library never sees the file.
        RefusalCase{u8"truncated.cbr", true, Outcome::RarError, false},
        RefusalCase{u8"truncated.cbr", false, Outcome::RarError, false},
        // The library cannot open a file that has nothing but the signature.
        RefusalCase{u8"signature-only.cbr", true, Outcome::NoCover, false}));

// ---- The handler and its library ------------------------------------------------

TEST_F(RarBackEnd, MissingEntryPointIsNamed) {
  TLibraryWithoutUnrar handler(&FRegistry);
  try {
    handler.GetPreviewBitmap(test::ModulePath(Archive(u8"normal.cbr")), true);
    ADD_FAILURE() << "no error raised";
  } catch (const Exception& e) {
    EXPECT_STREQ(e.what(), "Function RAROpenArchiveEx is not implemented");
  }
}

TEST_F(RarBackEnd, OneHandlerServesSeveralThreadsAtOnce) {
  struct Job {
    const char8_t* archive;
    bool isCBxFile;
    int page;
  };
  const Job jobs[] = {{u8"normal.cbr", true, 1}, {u8"solid.cbr", false, 3}, {u8"Überblick 📖/normal.cbr", false, 3},
                      {u8"mode-664.cbr", true, 1}};
  constexpr int kRounds = 5;
  std::vector<std::array<int, kRounds>> pages(std::size(jobs));
  std::vector<std::thread> threads;
  for (size_t j = 0; j < std::size(jobs); ++j) {
    threads.emplace_back([&, j] {
      THostThread hostThread;
      for (int round = 0; round < kRounds; ++round) {
        int page = -1;
        try {
          HBITMAP cover = Preview(Archive(jobs[j].archive), jobs[j].isCBxFile);
          page = PageOf(cover);
          if (cover != nullptr) DeleteObject(cover);
        } catch (...) {
        }
        pages[j][static_cast<size_t>(round)] = page;
      }
    });
  }
  for (std::thread& t : threads) t.join();
  for (size_t j = 0; j < std::size(jobs); ++j)
    for (int page : pages[j]) EXPECT_EQ(page, jobs[j].page) << reinterpret_cast<const char*>(jobs[j].archive);
}

}  // namespace
}  // namespace quillet::rar_test
