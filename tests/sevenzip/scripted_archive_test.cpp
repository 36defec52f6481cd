// The preview algorithm against an archive whose items a test scripts, for
// what the real formats never report: items without a path or a name,
// directory flags that disagree with attributes, failures at each step.
#include "sevenzip_support.h"
#include "support/test_support.h"

namespace quillet::test {
namespace {

using ResetProc = void (*)(HRESULT, HRESULT);
using AddItemProc = void (*)(const char16_t*, const char16_t*, const char16_t*, int, int64_t, const char*);
using IntProc = int (*)();
using HResultProc = HRESULT (*)();
using SetStringsProc = void (*)(void*, void*);

constexpr int kNotReported = -1;

class ScriptedArchive : public SevenZipTest {
 protected:
  void SetUp() override {
    SevenZipTest::SetUp();
    static const bool strings = [] {
      FakeFunction<SetStringsProc>("scripted", "FakeScriptSetStringFunctions")(LibraryAllocStringFunction(),
                                                                                LibraryFreeStringFunction());
      return true;
    }();
    (void)strings;
    Reset(S_OK, S_OK);
  }
  void TearDown() override {
    EXPECT_EQ(FakeFunction<IntProc>("scripted", "FakeLiveArchives")(), 0) << "an archive object was not released";
    SevenZipTest::TearDown();
  }

  static void Reset(HRESULT AOpenResult, HRESULT AExtractResult) {
    FakeFunction<ResetProc>("scripted", "FakeScriptReset")(AOpenResult, AExtractResult);
  }
  // An item; a null text is a property the library does not report.
  static void Item(const char16_t* APath, const char16_t* AName, const char16_t* AExtension, int AIsDir,
                   int64_t AAttrib, const char* APage) {
    const std::string content = APage != nullptr ? (ArchivesDir() / "pages" / APage).string() : std::string();
    FakeFunction<AddItemProc>("scripted", "FakeScriptAddItem")(APath, AName, AExtension, AIsDir, AAttrib,
                                                                content.c_str());
  }
  static int Extracted() { return FakeFunction<IntProc>("scripted", "FakeExtractedIndex")(); }
  static int HighestIndexRead() { return FakeFunction<IntProc>("scripted", "FakeHighestIndexRead")(); }

  // The handler's bitmap for a file of that name in scripted/: the stand-in
  // never reads it, but our input stream opens it.
  static HBITMAP Preview(const std::string& AArchiveName, bool AIsCBxFile) {
    static TvekCBxClassList* registry = [] {
      auto* list = new TvekCBxClassList();
      new TLibraryUnderTest(list, FakeLibraryName("scripted"));
      return list;
    }();
    return registry->GetClass(0)->GetPreviewBitmap(ArchivePath("scripted/" + AArchiveName), AIsCBxFile);
  }
};

// The directory test: kpidIsDir when reported, else the directory bit of
// kpidAttrib, else not a directory. Item 0 is the item under test, named
// p01.png so that it wins the cover if it is not a directory.
struct TDirectoryCase {
  const char* What;
  int IsDir;
  int64_t Attrib;
  bool Directory;
};

std::ostream& operator<<(std::ostream& AStream, const TDirectoryCase& ACase) { return AStream << ACase.What; }

class DirectoryTest : public ScriptedArchive, public ::testing::WithParamInterface<TDirectoryCase> {};

TEST_P(DirectoryTest, DecidesWhetherTheItemIsPassedOver) {
  const TDirectoryCase& c = GetParam();
  Item(u"p01.png", nullptr, nullptr, c.IsDir, c.Attrib, "page-1.png");
  Item(u"p02.png", nullptr, nullptr, 0, 0x20, "page-2.png");
  HBITMAP bitmap = Preview("any.cbz", true);
  EXPECT_EQ(Extracted(), c.Directory ? 1 : 0);
  EXPECT_TRUE(ShowsPage(bitmap, c.Directory ? 2 : 1));
  DeleteObject(bitmap);
}

INSTANTIATE_TEST_SUITE_P(
    Items, DirectoryTest,
    ::testing::Values(TDirectoryCase{"IsDirTrue", 1, kNotReported, true},
                      // A reported kpidIsDir wins over the attributes.
                      TDirectoryCase{"IsDirFalseWithDirectoryAttribute", 0, 0x10, false},
                      TDirectoryCase{"IsDirTrueWithoutDirectoryAttribute", 1, 0x20, true},
                      TDirectoryCase{"DirectoryAttributeOnly", kNotReported, 0x10, true},
                      TDirectoryCase{"OtherAttributesOnly", kNotReported, 0x21, false},
                      TDirectoryCase{"NeitherReported", kNotReported, kNotReported, false}),
    [](const ::testing::TestParamInfo<TDirectoryCase>& info) { return info.param.What; });

// Entry names: the path, else the name, then the extension with a dot. An
// item with only an extension takes the archive's name with that extension,
// and then competes under that name: p01.cbz makes its item p01.png, which
// wins over p02.png.
struct TNameCase {
  const char* What;
  const char16_t* Path;
  const char16_t* Name;
  const char16_t* Extension;
  const char* Archive;
  bool WinsCover;  // else item 1, p02.png, wins
};

std::ostream& operator<<(std::ostream& AStream, const TNameCase& ACase) { return AStream << ACase.What; }

class EntryName : public ScriptedArchive, public ::testing::WithParamInterface<TNameCase> {};

TEST_P(EntryName, IsFormedFromPathNameAndExtension) {
  const TNameCase& c = GetParam();
  Item(c.Path, c.Name, c.Extension, 0, kNotReported, "page-1.png");
  Item(u"p02.png", nullptr, nullptr, 0, kNotReported, "page-2.png");
  HBITMAP bitmap = Preview(c.Archive, true);
  EXPECT_EQ(Extracted(), c.WinsCover ? 0 : 1);
  EXPECT_TRUE(ShowsPage(bitmap, c.WinsCover ? 1 : 2));
  DeleteObject(bitmap);
}

INSTANTIATE_TEST_SUITE_P(
    Items, EntryName,
    ::testing::Values(TNameCase{"PathAlone", u"p01.png", nullptr, nullptr, "any.cbz", true},
                      // The name counts only without a path.
                      TNameCase{"NameWithoutPath", nullptr, u"p01.png", nullptr, "any.cbz", true},
                      TNameCase{"NameBesidePathIsIgnored", u"p01", u"x.png", nullptr, "any.cbz", false},
                      // The extension is appended, with or without its dot.
                      TNameCase{"PathPlusExtension", u"p01", nullptr, u"png", "any.cbz", true},
                      TNameCase{"NamePlusDottedExtension", nullptr, u"p01", u".png", "any.cbz", true},
                      // Only an extension: the archive's name carries it.
                      TNameCase{"ExtensionOnlyTakesArchiveName", nullptr, nullptr, u"png", "p01.cbz", true},
                      TNameCase{"DottedExtensionOnly", nullptr, u"", u".png", "p01.cbz", true},
                      // Nothing at all: the bare archive name, never an image.
                      TNameCase{"NothingReported", nullptr, nullptr, nullptr, "p01.png", false},
                      // A backslash in the path is kept as it is.
                      TNameCase{"BackslashInPath", u"scans\\p01.png", nullptr, nullptr, "any.cbz", true}),
    [](const ::testing::TestParamInfo<TNameCase>& info) { return info.param.What; });

// Outside a comic-book name the first image is the cover, and no item after
// it is read; with one, every item is read and the rule decides.
TEST_F(ScriptedArchive, FirstImageEndsTheScanOutsideComicBookNames) {
  for (const bool isCBxFile : {false, true}) {
    Reset(S_OK, S_OK);
    Item(u"readme.txt", nullptr, nullptr, 0, kNotReported, nullptr);
    Item(u"p02.png", nullptr, nullptr, 0, kNotReported, "page-2.png");
    Item(u"p01.png", nullptr, nullptr, 0, kNotReported, "page-1.png");
    Item(u"p03.png", nullptr, nullptr, 0, kNotReported, "page-3.png");
    HBITMAP bitmap = Preview("any.zip", isCBxFile);
    EXPECT_TRUE(ShowsPage(bitmap, isCBxFile ? 1 : 2)) << "isCBxFile " << isCBxFile;
    EXPECT_EQ(HighestIndexRead(), isCBxFile ? 3 : 1) << "isCBxFile " << isCBxFile;
    DeleteObject(bitmap);
  }
}

// Archives with nothing to show give null, and extract nothing.
TEST_F(ScriptedArchive, NoItemsOrNoImagesGiveNull) {
  EXPECT_EQ(Preview("any.cbz", true), nullptr);
  Reset(S_OK, S_OK);
  Item(u"folder", nullptr, nullptr, 1, kNotReported, nullptr);
  Item(u"notes.txt", nullptr, nullptr, 0, kNotReported, nullptr);
  Item(u"cover", nullptr, nullptr, 0, kNotReported, "page-1.png");
  EXPECT_EQ(Preview("any.cbz", true), nullptr);
  EXPECT_EQ(Extracted(), -1);
}

// Whatever fails, the error reaches the caller, the archive object and the
// input stream are released, and the temporary file is gone.
struct TFailureCase {
  const char* What;
  HRESULT OpenResult;
  HRESULT ExtractResult;
  const char* Page;
  int64_t HResult;  // -1: not a COM error
  const char* Message;
};

std::ostream& operator<<(std::ostream& AStream, const TFailureCase& ACase) { return AStream << ACase.What; }

class FailureAt : public ScriptedArchive, public ::testing::WithParamInterface<TFailureCase> {};

TEST_P(FailureAt, ReachesTheCallerAndLeavesNothing) {
  const TFailureCase& c = GetParam();
  Reset(c.OpenResult, c.ExtractResult);
  Item(u"p01.png", nullptr, nullptr, 0, kNotReported, c.Page);
  try {
    Preview("any.cbz", true);
    ADD_FAILURE() << "no error";
  } catch (const EOleSysError& error) {
    EXPECT_EQ(int64_t{static_cast<uint32_t>(error.ErrorCode)}, c.HResult) << error.what();
  } catch (const Exception& error) {
    EXPECT_EQ(c.HResult, -1) << error.what();
    EXPECT_STREQ(error.what(), c.Message);
  }
  EXPECT_TRUE(OpenableForWriting(ArchivesDir() / "scripted" / "any.cbz")) << "the archive is still open";
}

INSTANTIATE_TEST_SUITE_P(
    Steps, FailureAt,
    ::testing::Values(
        // S_FALSE from Open, the library's "not my format", fails as E_FAIL.
        TFailureCase{"OpenAnswersFalse", S_FALSE, S_OK, "page-1.png", 0x80004005u, ""},
        TFailureCase{"OpenFails", static_cast<HRESULT>(0x80070057u), S_OK, "page-1.png", 0x80070057u, ""},
        // The file was written, then Extract failed: it is deleted all the same.
        TFailureCase{"ExtractFails", S_OK, static_cast<HRESULT>(0x80004005u), "page-1.png", 0x80004005u, ""},
        TFailureCase{"ExtractAnswersFalse", S_OK, S_FALSE, "page-1.png", 0x80004005u, ""},
        TFailureCase{"DecodingFails", S_OK, S_OK, "not-an-image.png", -1, "Invalid image"}),
    [](const ::testing::TestParamInfo<TFailureCase>& info) { return info.param.What; });

// The library probes the callback for a password provider; it gets none.
TEST_F(ScriptedArchive, CallbackOffersNoPassword) {
  Item(u"p01.png", nullptr, nullptr, 0, kNotReported, "page-1.png");
  HBITMAP bitmap = Preview("any.cbz", true);
  EXPECT_TRUE(ShowsPage(bitmap, 1));
  DeleteObject(bitmap);
  EXPECT_EQ(FakeFunction<HResultProc>("scripted", "FakePasswordQuery")(), E_NOINTERFACE);
}

}  // namespace
}  // namespace quillet::test
