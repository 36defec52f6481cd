// The text the thumbnail cache depends on: MD5 names, file:// URIs, and the
// PNG chunks that carry a thumbnail's description.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tools/file_uri.h"
#include "tools/md5.h"
#include "tools/png_chunks.h"
#include "tools/thumbnail_host.h"

namespace quillet::tool {
namespace {

// The PNG encoder wants the thread prepared as a host prepares it.
class HostThread : public ::testing::Environment {
 public:
  void SetUp() override { InitializeHostThread(); }
  void TearDown() override { FinalizeHostThread(); }
};
[[maybe_unused]] ::testing::Environment* const kHostThread = ::testing::AddGlobalTestEnvironment(new HostThread);

std::string EightTimes(const std::string& text) {
  std::string out;
  for (int i = 0; i < 8; ++i) out += text;
  return out;
}

TEST(Md5, MatchesTheReferenceDigests) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"", "d41d8cd98f00b204e9800998ecf8427e"},
      {"a", "0cc175b9c0f1b6a831c399e269772661"},
      {"abc", "900150983cd24fb0d6963f7d28e17f72"},
      {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
      {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
      {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789", "d174ab98d277d9f5a5611c2c9f419d9f"},
      {EightTimes("1234567890"), "57edf4a22be3c955ac49da2e2107b67a"},
      // the example of the thumbnail cache's own documentation
      {"file:///home/jens/photos/me.png", "c6ee772d9e49320e97ec29a7eb5b1697"},
  };
  for (const auto& [text, digest] : cases) EXPECT_EQ(Md5Hex(text), digest) << '"' << text << '"';
}

TEST(Md5, PaddingBoundariesAroundOneBlock) {
  // 55, 56 and 64 bytes put the length into the first block, force a second
  // one, and fill a block exactly.
  EXPECT_EQ(Md5Hex(std::string(55, 'x')), "04364420e25c512fd958a70738aa8f72");
  EXPECT_EQ(Md5Hex(std::string(56, 'x')), "668a72d5ba17f08e62dabcafad6db14b");
  EXPECT_EQ(Md5Hex(std::string(64, 'x')), "c1bb4f81d892b2d57947682aeb252456");
}

TEST(FileUri, EscapesWhatDesktopsEscape) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"/home/ann/comics/Issue 01.cbz", "file:///home/ann/comics/Issue%2001.cbz"},
      {"/c/#1?[x]%.cbz", "file:///c/%231%3F%5Bx%5D%25.cbz"},
      {"/c/!$&'()*+,=:@~-_.cbz", "file:///c/!$&'()*+,=:@~-_.cbz"},
      {"/c/;<>\"\\^`{|}.cbr", "file:///c/%3B%3C%3E%22%5C%5E%60%7B%7C%7D.cbr"},
      {"/c/\xc3\xa9t\xc3\xa9.cb7", "file:///c/%C3%A9t%C3%A9.cb7"},
      {"/c/\x7f\x01\t.cbt", "file:///c/%7F%01%09.cbt"},
  };
  for (const auto& [path, uri] : cases) {
    EXPECT_EQ(FileUriFromPath(path), uri);
    EXPECT_EQ(PathFromFileUri(uri), path);
  }
}

TEST(FileUri, ReadsLocalUrisAndLeavesEverythingElse) {
  EXPECT_EQ(PathFromFileUri("FILE://localhost/a%20b.cbz"), "/a b.cbz");
  EXPECT_EQ(PathFromFileUri("file:///a%2"), "/a%2");  // a cut-off escape stays as written
  EXPECT_EQ(PathFromFileUri("file://server/share/a.cbz"), "file://server/share/a.cbz");
  EXPECT_EQ(PathFromFileUri("/plain/a%20b.cbz"), "/plain/a%20b.cbz");
  EXPECT_EQ(PathFromFileUri("relative.cbz"), "relative.cbz");
}

std::vector<uint8_t> Gradient(int width, int height) {
  std::vector<uint8_t> rgba(static_cast<size_t>(width * height) * 4);
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) {
      uint8_t* pixel = rgba.data() + static_cast<size_t>(y * width + x) * 4;
      pixel[0] = static_cast<uint8_t>(x * 40);
      pixel[1] = static_cast<uint8_t>(y * 40);
      pixel[2] = 200;
      pixel[3] = static_cast<uint8_t>(255 - x * y);
    }
  return rgba;
}

std::string AsText(const std::vector<uint8_t>& bytes) { return std::string(bytes.begin(), bytes.end()); }

TEST(PngChunks, EncodedThumbnailIsEightBitRgbaWithItsText) {
  std::vector<uint8_t> png;
  const std::vector<PngText> text = {{"Thumb::URI", "file:///c/a%20b.cbz"}, {"Thumb::MTime", "1700000000"}};
  ASSERT_EQ(EncodePng(5, 3, 4, Gradient(5, 3), text, png), "");
  PngSummary summary;
  ASSERT_TRUE(ReadPngSummary(AsText(png), summary));
  EXPECT_EQ(summary.width, 5u);
  EXPECT_EQ(summary.height, 3u);
  EXPECT_EQ(summary.bitDepth, 8);
  EXPECT_EQ(summary.colourType, 6);
  EXPECT_EQ(summary.interlace, 0);
  EXPECT_EQ(summary.text, (std::map<std::string, std::string>{{"Thumb::URI", "file:///c/a%20b.cbz"},
                                                              {"Thumb::MTime", "1700000000"}}));
}

TEST(PngChunks, InsertedTextReadsBackAndTheImageStaysIntact) {
  std::vector<uint8_t> plain;
  ASSERT_EQ(EncodePng(2, 2, 4, Gradient(2, 2), {}, plain), "");
  const std::vector<uint8_t> withText = InsertPngTextChunks(plain, {{"Thumb::Size", "1234"}, {"Software", "x"}});
  PngSummary before;
  PngSummary after;
  ASSERT_TRUE(ReadPngSummary(AsText(plain), before));
  ASSERT_TRUE(ReadPngSummary(AsText(withText), after));
  EXPECT_TRUE(before.text.empty());
  EXPECT_EQ(after.text, (std::map<std::string, std::string>{{"Thumb::Size", "1234"}, {"Software", "x"}}));
  // Everything after the new chunks is the original file from its IHDR on.
  EXPECT_EQ(AsText(withText).substr(withText.size() - (plain.size() - 33)), AsText(plain).substr(33));
  EXPECT_TRUE(InsertPngTextChunks({'n', 'o', 't'}, {{"a", "b"}}).empty());
}

TEST(PngChunks, DamagedFilesAreNotBelieved) {
  std::vector<uint8_t> good;
  ASSERT_EQ(EncodePng(3, 3, 4, Gradient(3, 3), {{"Thumb::MTime", "5"}}, good), "");
  std::string flipped = AsText(good);
  flipped[40] = static_cast<char>(flipped[40] ^ 1);  // inside the tEXt chunk, so its CRC fails
  const std::vector<std::pair<const char*, std::string>> cases = {
      {"empty", ""},
      {"cut short", AsText(good).substr(0, good.size() - 5)},
      {"no IEND", AsText(good).substr(0, good.size() - 12)},
      {"wrong CRC", flipped},
      {"not a PNG", "GIF89a" + AsText(good).substr(6)},
  };
  for (const auto& [name, bytes] : cases) {
    PngSummary summary;
    EXPECT_FALSE(ReadPngSummary(bytes, summary)) << name;
  }
}

TEST(PngChunks, ReadsUncompressedInternationalText) {
  std::vector<uint8_t> png;
  ASSERT_EQ(EncodePng(1, 1, 4, {1, 2, 3, 4}, {}, png), "");
  // An iTXt chunk: keyword, zero, flag 0, method 0, language, zero,
  // translated keyword, zero, text.
  std::vector<uint8_t> chunk = {'i', 'T', 'X', 't'};
  const std::string body = std::string("Thumb::URI") + '\0' + '\0' + '\0' + "en" + '\0' + '\0' + "file:///x.cbz";
  chunk.insert(chunk.end(), body.begin(), body.end());
  std::vector<uint8_t> withChunk(png.begin(), png.begin() + 33);
  for (int shift = 24; shift >= 0; shift -= 8) withChunk.push_back(static_cast<uint8_t>(body.size() >> shift));
  withChunk.insert(withChunk.end(), chunk.begin(), chunk.end());
  const uint32_t crc = Crc32(chunk.data(), chunk.size());
  for (int shift = 24; shift >= 0; shift -= 8) withChunk.push_back(static_cast<uint8_t>(crc >> shift));
  withChunk.insert(withChunk.end(), png.begin() + 33, png.end());
  PngSummary summary;
  ASSERT_TRUE(ReadPngSummary(AsText(withChunk), summary));
  EXPECT_EQ(summary.text["Thumb::URI"], "file:///x.cbz");
}

}  // namespace
}  // namespace quillet::tool
