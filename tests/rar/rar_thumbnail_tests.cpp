// CBR thumbnails through the registry's dispatch: the file head picks the
// handler, the file name says how to look for the cover, and the cover comes
// back scaled.
#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "handlers/vekCBRClass.h"
#include "platform/platform.h"
#include "rar/rar_archives.h"
#include "scaling/scaling.h"
#include "support/test_support.h"

namespace quillet::rar_test {
namespace {

class RarThumbnail : public RarBackEnd, public testing::WithParamInterface<CoverCase> {
 protected:
  // The scaler's registries, which the module fills when it starts.
  static void SetUpTestSuite() { InitializeScaling(); }
  static void TearDownTestSuite() { FinalizeScaling(); }
};

std::string FileHead(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::string head(8192, '\0');
  in.read(head.data(), static_cast<std::streamsize>(head.size()));
  head.resize(static_cast<size_t>(in.gcount()));
  return head;
}

TEST_P(RarThumbnail, ShowsTheCoverChosenByTheFileName) {
  const CoverCase& c = GetParam();
  const fs::path archive = Archive(c.archive);
  const std::string head = FileHead(archive);
  HBITMAP thumbnail = FRegistry.CreatePreview(test::ModulePath(archive), head.data(),
                                              static_cast<int32_t>(head.size()), 64, 64);
  if (c.page == 0) {
    EXPECT_EQ(thumbnail, nullptr);
  } else {
    ASSERT_NE(thumbnail, nullptr);
    EXPECT_EQ(PageOf(thumbnail, 3), c.page);
  }
  if (thumbnail != nullptr) DeleteObject(thumbnail);
}

INSTANTIATE_TEST_SUITE_P(
    Archives, RarThumbnail,
    testing::Values(
        // The name, not the head, says how to look for the cover: the first
        // image of a .rar, the chosen one of anything .cb-something.
        CoverCase{u8"normal.cbr", true, 1}, CoverCase{u8"normal.rar", false, 3},
        CoverCase{u8"rar-named.cbz", true, 1}, CoverCase{u8"solid.cbr", true, 1},
        CoverCase{u8"encrypted-data.cbr", true, 0}, CoverCase{u8"damaged-data.cbr", true, 0},
        // macOS's AppleDouble twins, added first, are no pages.
        CoverCase{u8"macos-twins-first.cbr", true, 1},
        // A page cut short makes way for the next; four pages are tried at
        // most, so the whole sixth page is never reached.
        CoverCase{u8"first-page-cut.cbr", true, 2}, CoverCase{u8"first-page-cut-solid.cbr", true, 2},
        CoverCase{u8"five-pages-cut.cbr", true, 0}));

}  // namespace
}  // namespace quillet::rar_test
