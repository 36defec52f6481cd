// The handler registry: the detect string, the preview dispatch and the file
// head test, with handlers of the tests' own.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "handlers/vekCBxClasses.h"
#include "platform_gdi.h"
#include "scaling/scaling.h"

namespace quillet {
namespace {

enum class Outcome { Bitmap, Null, Throws, ThrowsInt };

// A 2 x 2 opaque grey DIB, as a back-end would return one.
HBITMAP SmallBitmap() {
  BITMAPINFO info{};
  info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
  info.bmiHeader.biWidth = 2;
  info.bmiHeader.biHeight = 2;
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  info.bmiHeader.biCompression = BI_RGB;
  void* bits = nullptr;
  HDC dc = GetDC(nullptr);
  HBITMAP bitmap = CreateDIBSection(dc, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  ReleaseDC(nullptr, dc);
  if (bits != nullptr)
    for (int i = 0; i < 4; ++i) static_cast<uint32_t*>(bits)[i] = 0xFF808080u;
  return bitmap;
}

struct Call {
  std::string handler;
  std::u16string fileName;
  bool isCBxFile;
};

class ScriptedHandler : public TvekCBxClass {
 public:
  ScriptedHandler(TvekCBxClassList* owner, std::string name, std::string extension, std::string signature,
                  Outcome outcome, std::vector<Call>* calls, int32_t offset = 0)
      : TvekCBxClass(owner),
        name_(std::move(name)),
        extension_(std::move(extension)),
        signature_(std::move(signature)),
        outcome_(outcome),
        calls_(calls),
        offset_(offset) {}

  HBITMAP GetPreviewBitmap(const std::u16string& AFileName, bool AIsCBxFile) override {
    if (calls_ != nullptr) calls_->push_back({name_, AFileName, AIsCBxFile});
    switch (outcome_) {
      case Outcome::Bitmap:
        return SmallBitmap();
      case Outcome::Null:
        return nullptr;
      case Outcome::Throws:
        throw Exception("Rar error");
      case Outcome::ThrowsInt:
        throw 7;  // not even an exception class: still contained
    }
    return nullptr;
  }
  std::string GetExtension() const override { return extension_; }
  std::string GetSignature() const override { return signature_; }
  int32_t GetSignatureOffset() const override { return offset_; }

 private:
  std::string name_, extension_, signature_;
  Outcome outcome_;
  std::vector<Call>* calls_;
  int32_t offset_;
};

class Registry : public testing::Test {
 protected:
  void SetUp() override { InitializeScaling(); }
  std::vector<std::string> AskedHandlers() const {
    std::vector<std::string> names;
    for (const Call& c : calls) names.push_back(c.handler);
    return names;
  }
  HBITMAP Preview(const std::u16string& name, const std::string& head, int32_t w = 64, int32_t h = 64) {
    return list.CreatePreview(name, head.data(), static_cast<int32_t>(head.size()), w, h);
  }
  TvekCBxClassList list;
  std::vector<Call> calls;
};

TEST_F(Registry, EmptyRegistryDetectsNothingAndPreviewsNothing) {
  EXPECT_EQ(list.Count(), 0);
  EXPECT_EQ(list.GetDetectString(), "");
  EXPECT_EQ(Preview(u"a.cbz", "PK\x03\x04"), nullptr);
}

TEST_F(Registry, DetectStringListsEachExtensionOnceInRegistrationOrder) {
  new ScriptedHandler(&list, "r", "cbr", "R", Outcome::Null, nullptr);
  new ScriptedHandler(&list, "z1", "CBZ", "Z", Outcome::Null, nullptr);
  new ScriptedHandler(&list, "z2", "cbz", "Y", Outcome::Null, nullptr);
  new ScriptedHandler(&list, "7", "CB7", "7", Outcome::Null, nullptr);
  EXPECT_EQ(list.GetDetectString(), "EXT=\"CBR\"|EXT=\"CBZ\"|EXT=\"CB7\"");
}

TEST_F(Registry, AsksMatchingHandlersFromLastToFirstAndContainsEveryFailure) {
  new ScriptedHandler(&list, "first", "CBA", "PK", Outcome::Bitmap, &calls);
  new ScriptedHandler(&list, "throws", "CBB", "PK", Outcome::Throws, &calls);
  new ScriptedHandler(&list, "other-signature", "CBC", "7z", Outcome::Bitmap, &calls);
  new ScriptedHandler(&list, "throws-int", "CBD", "PK", Outcome::ThrowsInt, &calls);
  new ScriptedHandler(&list, "null", "CBE", "PK", Outcome::Null, &calls);
  HBITMAP thumbnail = Preview(u"c:\\books\\a.cbz", "PK\x03\x04");
  EXPECT_EQ(AskedHandlers(), (std::vector<std::string>{"null", "throws-int", "throws", "first"}));
  ASSERT_NE(thumbnail, nullptr);
  BITMAP bm{};
  ASSERT_NE(GetObjectW(thumbnail, sizeof bm, &bm), 0);
  EXPECT_EQ(bm.bmWidth, 64);
  EXPECT_EQ(bm.bmHeight, 64);
  DeleteObject(thumbnail);
}

TEST_F(Registry, StopsAtTheFirstHandlerThatGivesABitmap) {
  new ScriptedHandler(&list, "lower", "CBZ", "PK", Outcome::Bitmap, &calls);
  new ScriptedHandler(&list, "upper", "CBZ", "PK", Outcome::Bitmap, &calls);
  HBITMAP thumbnail = Preview(u"a.cbz", "PK");
  EXPECT_EQ(AskedHandlers(), std::vector<std::string>{"upper"});
  EXPECT_NE(thumbnail, nullptr);
  DeleteObject(thumbnail);
}

TEST_F(Registry, NothingMatchesGivesNull) {
  new ScriptedHandler(&list, "zip", "CBZ", "PK", Outcome::Bitmap, &calls);
  EXPECT_EQ(Preview(u"a.cbz", "Rar!"), nullptr);
  EXPECT_EQ(Preview(u"a.cbz", ""), nullptr);
  EXPECT_TRUE(calls.empty());
}

TEST_F(Registry, TheExtensionDecidesOnlyHowThoroughlyToLook) {
  new ScriptedHandler(&list, "h", "CBZ", "PK", Outcome::Null, &calls);
  const struct {
    std::u16string name;
    bool isCBxFile;
  } cases[] = {
      {u"comic.cbz", true},  {u"comic.CBZ", true},      {u"comic.Cbr", true},     {u"comic.cb", true},
      {u"comic.cbxyz", true}, {u"comic.zip", false},    {u"comic", false},        {u"dir.cbz\\comic", false},
      {u".cbz", false},      {u"C:comic.rar", false},   {u"x.c.cbt", true},       {u"name.cb7 ", true},
  };
  for (const auto& c : cases) {
    calls.clear();
    EXPECT_EQ(Preview(c.name, "PK"), nullptr);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].isCBxFile, c.isCBxFile) << std::string(c.name.begin(), c.name.end());
    EXPECT_EQ(calls[0].fileName, c.name);
  }
}

TEST_F(Registry, GetClassOutsideTheListRaises) {
  new ScriptedHandler(&list, "h", "CBZ", "PK", Outcome::Null, &calls);
  EXPECT_NE(list.GetClass(0), nullptr);
  EXPECT_THROW(list.GetClass(1), EListError);
  EXPECT_THROW(list.GetClass(-1), EListError);
}

TEST_F(Registry, HandlersLeaveTheListWhenFreed) {
  auto* a = new ScriptedHandler(&list, "a", "CBA", "A", Outcome::Null, nullptr);
  new ScriptedHandler(&list, "b", "CBB", "B", Outcome::Null, nullptr);
  EXPECT_EQ(list.Count(), 2);
  delete a;
  EXPECT_EQ(list.Count(), 1);
  EXPECT_EQ(list.GetDetectString(), "EXT=\"CBB\"");
}

struct SignatureCase {
  std::string signature;
  int32_t offset;
  std::string head;
  int32_t headLength;  // as the host reports it; may differ from head.size()
  bool matches;
};

class MatchSignature : public testing::TestWithParam<SignatureCase> {};

TEST_P(MatchSignature, ComparesExactlyTheBytesAtTheOffset) {
  const SignatureCase& c = GetParam();
  ScriptedHandler handler(nullptr, "h", "CBX", c.signature, Outcome::Null, nullptr, c.offset);
  EXPECT_EQ(handler.MatchSignature(c.head.data(), c.headLength), c.matches);
}

std::string TarHead(size_t size) {
  std::string head(size, '\0');
  if (size >= 262) head.replace(257, 5, "ustar");
  return head;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MatchSignature,
    testing::Values(SignatureCase{"PK\x03\x04", 0, "PK\x03\x04rest", 8, true},
                    SignatureCase{"PK\x03\x04", 0, "PK\x03\x04", 4, true},        // exactly n bytes
                    SignatureCase{"PK\x03\x04", 0, "PK\x03\x04", 3, false},       // one short: not read
                    SignatureCase{"PK\x03\x04", 0, "pk\x03\x04", 4, false},       // no case folding
                    SignatureCase{"PK\x03\x04", 0, "PK\x03\x05", 4, false},
                    SignatureCase{"", 0, "anything", 8, false},                   // empty never matches
                    SignatureCase{"PK", 0, "PK", -1, false},                      // negative length
                    SignatureCase{"ustar", 257, TarHead(262), 262, true},
                    SignatureCase{"ustar", 257, TarHead(262), 261, false},
                    SignatureCase{"ustar", 257, TarHead(512), 512, true},
                    SignatureCase{std::string("Rar!\x1A\x07", 6), 0, std::string("Rar!\x1A\x07\x00", 7), 7, true},
                    SignatureCase{std::string("Rar!\x1A\x07", 6), 0, std::string("Rar!\x1A\x08", 6), 6, false}));

TEST(ExtractFileExt, FollowsTheExtensionRule) {
  const struct {
    std::u16string name, ext;
  } cases[] = {
      {u"page.jpg", u".jpg"},          {u"Scans\\p01.JPG", u".JPG"},   {u".jpg", u""},
      {u"folder.old\\cover", u""},     {u"c:x.png", u".png"},          {u"c:.png", u".png"},
      {u"a.tar.gz", u".gz"},           {u"name.jpeg ", u".jpeg "},     {u"noext", u""},
      {u"", u""},                      {u"dir\\.hidden", u".hidden"},  {u"trailing.", u"."},
  };
  for (const auto& c : cases) EXPECT_EQ(ExtractFileExt(c.name), c.ext) << std::string(c.name.begin(), c.name.end());
  // '/' separates folders only where the platform says so.
  EXPECT_EQ(ExtractFileExt(u"a.b/c"), platform::IsNameDelimiter(u'/') ? u"" : u".b/c");
}

}  // namespace
}  // namespace quillet
