// The 7-Zip handlers over the real 7-Zip library, on archives that the real
// tools made: which page becomes the cover, and what yields none.
#include <atomic>
#include <cctype>
#include <sstream>
#include <thread>

#include "sevenzip_support.h"
#include "support/test_support.h"

namespace quillet::test {
namespace {

struct TCoverCase {
  const char* Archive;
  int Page;                // the page that must become the cover
  const char* Handler;     // extension of the handler whose signature matches
  int Tolerance = 0;       // per channel; lossless pages compare exactly
};

std::ostream& operator<<(std::ostream& AStream, const TCoverCase& ACase) { return AStream << ACase.Archive; }

class CoverOfArchive : public SevenZipTest, public ::testing::WithParamInterface<TCoverCase> {};

TEST_P(CoverOfArchive, IsTheExpectedPage) {
  const TCoverCase& c = GetParam();
  const std::u16string archive = ArchivePath(c.Archive);
  {
    TPreview preview;
    PreviewThroughHandlers(SevenZipRegistry(), archive, preview);
    EXPECT_TRUE(ShowsPage(preview.Bitmap, c.Page, c.Tolerance)) << ::testing::PrintToString(preview.Failures);
    EXPECT_EQ(preview.Extension, c.Handler);
  }
  EXPECT_TRUE(OpenableForWriting(ArchivesDir() / c.Archive)) << "the archive is still open";
}

INSTANTIATE_TEST_SUITE_P(
    Formats, CoverOfArchive,
    ::testing::Values(
        // Every ZIP method the library offers.
        TCoverCase{"zip-copy.cbz", 1, "CBZ"}, TCoverCase{"zip-deflate.cbz", 1, "CBZ"},
        TCoverCase{"zip-deflate64.cbz", 1, "CBZ"}, TCoverCase{"zip-bzip2.cbz", 1, "CBZ"},
        TCoverCase{"zip-lzma.cbz", 1, "CBZ"}, TCoverCase{"zip-ppmd.cbz", 1, "CBZ"},
        TCoverCase{"zip-xz.cbz", 1, "CBZ"},
        // 7z, solid and through the BCJ2 filter; TAR in both header forms,
        // pages not in name order.
        TCoverCase{"7z-lzma2-solid.cb7", 1, "CB7"}, TCoverCase{"7z-bcj2.cb7", 1, "CB7"},
        TCoverCase{"tar-ustar.cbt", 1, "CBT"}, TCoverCase{"tar-gnu.cbt", 1, "CBT"},
        // Names: folders with entries of their own, text beyond ASCII and
        // beyond the BMP, a backslash inside a ZIP name.
        TCoverCase{"folders.cbz", 1, "CBZ"}, TCoverCase{"unicode.cbz", 1, "CBZ"},
        TCoverCase{"unicode.cb7", 1, "CB7"}, TCoverCase{"unicode.cbt", 1, "CBT"},
        TCoverCase{"backslash.cbz", 1, "CBZ"},
        // p9 before p10 and p011 by the digit runs; under a .zip name the
        // first image of the archive, p10, whatever the rule would say.
        TCoverCase{"digits.cbz", 9, "CBZ"}, TCoverCase{"digits.zip", 10, "CBZ"},
        // The file head decides the handler, never the name.
        TCoverCase{"zip-named.cbr", 1, "CBZ"}, TCoverCase{"7z-named.cbz", 1, "CB7"},
        // Lossy pages: decoders round the colour conversion differently.
        TCoverCase{"jpeg-pages.cbz", 1, "CBZ", 3},
        // A link named p01.png, to a file outside the archive or to a page
        // inside it, is no page: the cover is the real page 5.
        TCoverCase{"symlink-named-p01.cbt", 5, "CBT"}, TCoverCase{"hardlink-named-p01.cbt", 5, "CBT"},
        TCoverCase{"symlink-named-p01.cbz", 5, "CBZ"}, TCoverCase{"symlink-named-p01.cb7", 5, "CB7"},
        TCoverCase{"symlink-to-page-p01.cbz", 5, "CBZ"},
        // macOS's AppleDouble twins, met first, are no pages.
        TCoverCase{"macos-twins-first.cbz", 1, "CBZ", 3},
        // A page that does not decode makes way for the next one, up to the
        // fourth page tried.
        TCoverCase{"first-page-cut.cbz", 2, "CBZ"}, TCoverCase{"first-page-not-an-image.cbz", 2, "CBZ"},
        TCoverCase{"three-pages-cut.cbz", 4, "CBZ"},
        // A JPEG cut after 200 bytes is damaged, not a grey page.
        TCoverCase{"jpeg-cut-after-200-bytes.cbz", 2, "CBZ", 3}),
    [](const ::testing::TestParamInfo<TCoverCase>& info) {
      std::string name = info.param.Archive;
      for (char& ch : name) {
        if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
      }
      return name;
    });

// AVIF and HEIF covers, through the gdk-pixbuf loaders that setup installs.
// Encoded losslessly, but through the formats' own colour conversion.
TEST_F(SevenZipTest, AvifAndHeifCoversThroughTheirLoaders) {
#if defined(_WIN32)
  GTEST_SKIP() << "no AVIF or HEIF decoder is part of the Windows imaging component under test";
#else
  for (const char* name : {"avif-cover.cbz", "heif-cover.cbz"}) {
    TPreview preview;
    PreviewThroughHandlers(SevenZipRegistry(), ArchivePath(name), preview);
    EXPECT_TRUE(ShowsPage(preview.Bitmap, 1, 3)) << name << ::testing::PrintToString(preview.Failures);
  }
#endif
}

// Archives that give no cover. The dispatch must end without a bitmap and
// without a file left behind, whether the handler answers null or raises.
enum class TOutcome { Null, Raises, RaisesCode, RaisesMessage };

struct TNoCoverCase {
  const char* Archive;
  const char* Handler;  // extension of the handler whose signature matches
  TOutcome Outcome;
  uint32_t HResult = 0;         // for RaisesCode
  const char* Message = "";     // for RaisesMessage
};

std::ostream& operator<<(std::ostream& AStream, const TNoCoverCase& ACase) { return AStream << ACase.Archive; }

class NoCoverFrom : public SevenZipTest, public ::testing::WithParamInterface<TNoCoverCase> {};

TEST_P(NoCoverFrom, TheArchive) {
  const TNoCoverCase& c = GetParam();
  TPreview preview;
  PreviewThroughHandlers(SevenZipRegistry(), ArchivePath(c.Archive), preview);
  EXPECT_EQ(preview.Bitmap, nullptr);
  if (c.Outcome == TOutcome::Null) {
    EXPECT_TRUE(preview.Failures.empty()) << ::testing::PrintToString(preview.Failures);
  } else {
    ASSERT_EQ(preview.Failures.size(), 1u) << ::testing::PrintToString(preview.Failures);
    const TFailure& failure = preview.Failures[0];
    EXPECT_EQ(failure.Extension, c.Handler);
    if (c.Outcome == TOutcome::RaisesCode) {
      EXPECT_EQ(failure.HResult, int64_t{c.HResult}) << failure.Message;
    }
    if (c.Outcome == TOutcome::RaisesMessage) {
      EXPECT_EQ(failure.Message, c.Message);
    }
  }
  EXPECT_TRUE(OpenableForWriting(ArchivesDir() / c.Archive)) << "the archive is still open";
}

INSTANTIATE_TEST_SUITE_P(
    Archives, NoCoverFrom,
    ::testing::Values(
        TNoCoverCase{"only-folders.cbz", "CBZ", TOutcome::Null}, TNoCoverCase{"no-images.cbz", "CBZ", TOutcome::Null},
        // An empty ZIP is only its end record, PK 05 06: the second variant.
        TNoCoverCase{"empty.cbz", "CBZ", TOutcome::Null},
        // A cut ZIP or TAR still lists its items, and the cut cover page
        // fails to decode; a cut 7z is refused when it is opened (S_FALSE).
        TNoCoverCase{"truncated.cbz", "CBZ", TOutcome::RaisesMessage, 0, "Invalid image"},
        TNoCoverCase{"truncated.cbt", "CBT", TOutcome::RaisesMessage, 0, "Invalid image"},
        TNoCoverCase{"truncated.cb7", "CB7", TOutcome::RaisesCode, 0x80004005u},
        // Without a password what comes out, if anything, is no image; with
        // the headers encrypted the archive does not even open.
        TNoCoverCase{"zip-zipcrypto.cbz", "CBZ", TOutcome::Raises}, TNoCoverCase{"zip-aes.cbz", "CBZ", TOutcome::Raises},
        TNoCoverCase{"7z-encrypted.cb7", "CB7", TOutcome::Raises},
        TNoCoverCase{"7z-encrypted-headers.cb7", "CB7", TOutcome::RaisesCode, 0x80004005u},
        // A cover whose declared size is beyond the bound is refused with
        // the bound's code, in each format.
        TNoCoverCase{"inflates-4gib.cbz", "CBZ", TOutcome::RaisesCode, static_cast<uint32_t>(kItemTooLargeResult)},
        TNoCoverCase{"inflates-600mib.cb7", "CB7", TOutcome::RaisesCode,
                     static_cast<uint32_t>(kItemTooLargeResult)},
        TNoCoverCase{"sparse-4gib.cbt", "CBT", TOutcome::RaisesCode, static_cast<uint32_t>(kItemTooLargeResult)},
        // Headers that say 4 KiB for 64 MiB of data: the library stops at
        // what they say, and 4 KiB of zeros is no image.
        TNoCoverCase{"declares-4kib-inflates-64mib.cbz", "CBZ", TOutcome::Raises},
        // Four pages are tried at most: the good sixth one is never reached,
        // and the last failure is the request's.
        TNoCoverCase{"five-pages-cut.cbz", "CBZ", TOutcome::RaisesMessage, 0, "Invalid image"}),
    [](const ::testing::TestParamInfo<TNoCoverCase>& info) {
      std::string name = info.param.Archive;
      for (char& ch : name) {
        if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
      }
      return name;
    });

// A JPEG under a .cbz name carries no archive's signature, so no handler is
// asked; and the ZIP handler, asked all the same, is refused by the library.
TEST_F(SevenZipTest, JpegRenamedCbzIsNoArchive) {
  const std::u16string file = ArchivePath("jpeg-renamed.cbz");
  TPreview preview;
  PreviewThroughHandlers(SevenZipRegistry(), file, preview);
  EXPECT_EQ(preview.Bitmap, nullptr);
  EXPECT_TRUE(preview.Failures.empty());

  TvekCBxClass* zip = SevenZipRegistry().GetClass(0);
  ASSERT_EQ(zip->GetSignature(), std::string("PK\x03\x04", 4));
  try {
    zip->GetPreviewBitmap(file, true);
    ADD_FAILURE() << "the ZIP handler took a JPEG";
  } catch (const EOleSysError& error) {
    EXPECT_EQ(static_cast<uint32_t>(error.ErrorCode), 0x80004005u);
  }
}

// Eight threads ask the handlers of one registry, with one loaded library,
// for the covers of eight archives of the three formats, again and again;
// each must get its own page every time.
TEST_F(SevenZipTest, EightThreadsThroughOneLoadedLibrary) {
  const char* archives[8] = {"thread-0.cbz", "thread-1.cb7", "thread-2.cbt", "thread-3.cbz",
                             "thread-4.cb7", "thread-5.cbt", "thread-6.cbz", "thread-7.cb7"};
  std::atomic<bool> go{false};
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  std::vector<std::string> reports(8);
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      const THostThread host;
      while (!go) std::this_thread::yield();
      for (int round = 0; round < 12; ++round) {
        TPreview preview;
        PreviewThroughHandlers(SevenZipRegistry(), ArchivePath(archives[t]), preview);
        const ::testing::AssertionResult shown = ShowsPage(preview.Bitmap, 30 + t);
        if (!shown) {
          ++wrong;
          std::ostringstream report;
          report << shown.message() << " " << ::testing::PrintToString(preview.Failures);
          reports[static_cast<size_t>(t)] = report.str();
        }
      }
    });
  }
  go = true;
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(wrong, 0) << ::testing::PrintToString(reports);
}

}  // namespace
}  // namespace quillet::test
