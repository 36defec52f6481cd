// The module as a host sees it: the four exports of the built module.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "support/test_support.h"

namespace quillet::test {
namespace {

const char kDetect[] = "EXT=\"CBR\"|EXT=\"CBZ\"|EXT=\"CB7\"|EXT=\"CBT\"";

struct DetectCase {
  int32_t maxLength;
  std::string expected;  // what the buffer holds up to its first zero
  bool untouched;        // the buffer keeps its filler entirely
};

class DetectStringBuffer : public testing::TestWithParam<DetectCase> {};

TEST_P(DetectStringBuffer, FillsTheBufferWholeOrNotAtAll) {
  const auto& exports = QuilletModule();
  ASSERT_NE(exports.ListGetDetectString, nullptr);
  const DetectCase& c = GetParam();
  std::vector<char> buffer(64, '#');
  exports.ListGetDetectString(buffer.data(), c.maxLength);
  if (c.untouched) {
    EXPECT_EQ(std::string(buffer.begin(), buffer.end()), std::string(64, '#'));
    return;
  }
  EXPECT_EQ(std::string(buffer.data()), c.expected);
  // Nothing is written after the terminating zero.
  const size_t written = c.expected.size() + 1;
  EXPECT_EQ(std::string(buffer.begin() + static_cast<std::ptrdiff_t>(written), buffer.end()),
            std::string(64 - written, '#'));
}

INSTANTIATE_TEST_SUITE_P(Cases, DetectStringBuffer,
                         testing::Values(DetectCase{0, "", true},            // nothing written at all
                                         DetectCase{1, "", false},           // no room: empty, never cut
                                         DetectCase{39, "", false},          // one byte short
                                         DetectCase{40, kDetect, false},     // exactly enough
                                         DetectCase{64, kDetect, false},     // more than enough
                                         DetectCase{-1, "", false},          // negative: empty
                                         DetectCase{INT32_MIN, "", false}));

TEST(Exports, DetectStringIs39CharactersOfTheSixHandlers) {
  EXPECT_EQ(std::strlen(kDetect), 39u);
}

TEST(Exports, SetDefaultParamsIgnoresItsArgument) {
  const auto& exports = QuilletModule();
  ASSERT_NE(exports.ListSetDefaultParams, nullptr);
  exports.ListSetDefaultParams(nullptr);
  char record[64] = {1, 2, 3};
  exports.ListSetDefaultParams(record);
  EXPECT_EQ(record[0], 1);
}

TEST(Exports, AnythingUnrecognisedGetsNoThumbnail) {
  const auto& exports = QuilletModule();
  ASSERT_NE(exports.ListGetPreviewBitmapW, nullptr);
  const auto dir = ScratchDir("exports-unrecognised");
  const auto file = dir / "notes.cbz";
  std::ofstream(file, std::ios::binary) << "just some text, not an archive";
  const std::u16string path = ModulePath(file);
  const char head[] = "just some text, not an archive";
  const auto* name = path.c_str();
  EXPECT_EQ(exports.ListGetPreviewBitmapW(name, 256, 256, head, sizeof head - 1), nullptr);
  // An empty head, a null head, a null name and absurd boxes are no reason to fail.
  EXPECT_EQ(exports.ListGetPreviewBitmapW(name, 256, 256, head, 0), nullptr);
  EXPECT_EQ(exports.ListGetPreviewBitmapW(name, 256, 256, nullptr, 100), nullptr);
  EXPECT_EQ(exports.ListGetPreviewBitmapW(nullptr, 256, 256, head, sizeof head - 1), nullptr);
  EXPECT_EQ(exports.ListGetPreviewBitmapW(name, -5, 0, head, -7), nullptr);
  EXPECT_EQ(exports.ListGetPreviewBitmap(nullptr, 256, 256, head, sizeof head - 1), nullptr);
}

TEST(Exports, ArchiveHeadsWithoutTheirLibraryOrContentGiveNothing) {
  // Heads that each handler recognises, on files that are not really
  // archives: whatever the libraries make of them, the host sees only null.
  const auto& exports = QuilletModule();
  ASSERT_NE(exports.ListGetPreviewBitmapW, nullptr);
  const auto dir = ScratchDir("exports-fake-heads");
  std::vector<std::string> heads = {std::string("Rar!\x1A\x07\x01\x00", 8), std::string("PK\x03\x04", 4),
                                    std::string("PK\x05\x06", 4), "PK00PK", std::string("7z\xBC\xAF\x27\x1C", 6)};
  std::string tar(512, '\0');
  tar.replace(257, 5, "ustar");
  heads.push_back(tar);
  int n = 0;
  for (const std::string& head : heads) {
    const auto file = dir / ("fake" + std::to_string(n++) + ".cbz");
    std::ofstream(file, std::ios::binary) << head;
    const std::u16string path = ModulePath(file);
    EXPECT_EQ(exports.ListGetPreviewBitmapW(path.c_str(), 128, 128, head.data(),
                                            static_cast<int32_t>(head.size())),
              nullptr);
  }
}

}  // namespace
}  // namespace quillet::test
