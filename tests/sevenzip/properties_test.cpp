// Item properties: the conversions of tagged values, and the texts the real
// library reports for the items of real archives.
#include <cmath>
#include <cctype>
#include <functional>
#include <limits>

#include "sevenzip_support.h"
#include "support/test_support.h"

namespace quillet::test {
namespace {

using namespace sevenzip;

PROPVARIANT Value(VARTYPE AKind) {
  PROPVARIANT value{};
  value.vt = AKind;
  return value;
}
PROPVARIANT Unsigned(VARTYPE AKind, uint64_t ABits) {
  PROPVARIANT value = Value(AKind);
  value.uhVal.QuadPart = ABits;
  return value;
}
PROPVARIANT Real(double AValue) {
  PROPVARIANT value = Value(VT_R8);
  value.dblVal = AValue;
  return value;
}
PROPVARIANT Single(float AValue) {
  PROPVARIANT value = Value(VT_R4);
  value.fltVal = AValue;
  return value;
}
PROPVARIANT Currency(int64_t AValue) {
  PROPVARIANT value = Value(VT_CY);
  value.cyVal.int64 = AValue;
  return value;
}
PROPVARIANT AnsiText(const char* AText) {
  PROPVARIANT value = Value(VT_LPSTR);
  value.pszVal = const_cast<char*>(AText);
  return value;
}

// A BSTR of the library's allocator in a value, freed by ClearPropVariant.
class LibraryString {
 public:
  explicit LibraryString(std::u16string_view AText) : FValue(Value(VT_BSTR)) {
    // ClearPropVariant frees through the loaded library's SysFreeString.
    SevenZipRegistry().GetClass(0)->LoadModule();
    FValue.bstrVal = AllocLibraryString(AText);
  }
  ~LibraryString() { ClearPropVariant(FValue); }
  LibraryString(const LibraryString&) = delete;
  LibraryString& operator=(const LibraryString&) = delete;
  PROPVARIANT& Get() { return FValue; }

 private:
  PROPVARIANT FValue;
};

void ExpectTypeNotSupported(const std::function<void()>& ACall) {
  try {
    ACall();
    ADD_FAILURE() << "no error";
  } catch (const Exception& error) {
    EXPECT_STREQ(error.what(), "Type is not supported");
  }
}

TEST(PropVariantToText, WritesNumbersAndFlags) {
  EXPECT_EQ(PropVariantToText(Value(VT_EMPTY)), u"");
  EXPECT_EQ(PropVariantToText(Value(VT_NULL)), u"");
  EXPECT_EQ(PropVariantToText(Unsigned(VT_I2, 0xFFFF)), u"-1");
  EXPECT_EQ(PropVariantToText(Unsigned(VT_I1, 0xFD)), u"-3");
  EXPECT_EQ(PropVariantToText(Unsigned(VT_I4, 0x80000000u)), u"-2147483648");
  EXPECT_EQ(PropVariantToText(Unsigned(VT_ERROR, 0x80004005u)), u"-2147467259");
  EXPECT_EQ(PropVariantToText(Unsigned(VT_I8, 0x8000000000000000ull)), u"-9223372036854775808");
  EXPECT_EQ(PropVariantToText(Unsigned(VT_UI1, 0xFF)), u"255");
  EXPECT_EQ(PropVariantToText(Unsigned(VT_UI2, 0xFFFF)), u"65535");
  EXPECT_EQ(PropVariantToText(Unsigned(VT_UI4, 0xFFFFFFFFu)), u"4294967295");
  EXPECT_EQ(PropVariantToText(Unsigned(VT_UI8, ~0ull)), u"18446744073709551615");
  EXPECT_EQ(PropVariantToText(Unsigned(VT_BOOL, 0xFFFF)), u"True");
  EXPECT_EQ(PropVariantToText(Unsigned(VT_BOOL, 0)), u"False");
  EXPECT_EQ(PropVariantToText(Real(2.5)), u"2.5");
  EXPECT_EQ(PropVariantToText(Real(-0.125)), u"-0.125");
  EXPECT_EQ(PropVariantToText(Real(1e20)), u"1E20");
  EXPECT_EQ(PropVariantToText(Real(1.5e-7)), u"1.5E-7");
  EXPECT_EQ(PropVariantToText(Real(0.1 + 0.2)), u"0.3");  // 15 significant digits
  EXPECT_EQ(PropVariantToText(Single(0.5f)), u"0.5");
  EXPECT_EQ(PropVariantToText(Currency(25000)), u"2.5");
}

TEST(PropVariantToText, WritesTextsAndIdentifiers) {
  EXPECT_EQ(PropVariantToText(AnsiText("page 01.png")), u"page 01.png");
  std::wstring wide = platform::Utf16ToWideText(u"Vol 1\\p\u00fc01.png");
  PROPVARIANT value = Value(VT_LPWSTR);
  value.pwszVal = wide.data();
  EXPECT_EQ(PropVariantToText(value), u"Vol 1\\p\u00fc01.png");

  CLSID id = IID_IInArchive;
  value = Value(VT_CLSID);
  value.puuid = &id;
  EXPECT_EQ(PropVariantToText(value), u"{23170F69-40C1-278A-0000-000600600000}");
}

// A BSTR comes back exactly, up to its first NUL, beyond the BMP too, and
// stays owned by its value.
TEST(PropVariantToText, TakesBstrExactly) {
  const std::u16string text = u"Scans\\\u00dcber \U0001F600/P\u00e1gina 01.PNG";
  LibraryString value(text + u'\0' + u"after");
  const BSTR before = value.Get().bstrVal;
  EXPECT_EQ(PropVariantToText(value.Get()), text);
  EXPECT_EQ(value.Get().vt, VT_BSTR);
  EXPECT_EQ(value.Get().bstrVal, before);
}

TEST(PropVariantToText, WritesDatesInTheUsersForm) {
  PROPVARIANT value = Value(VT_DATE);
  value.date = 44197.75;  // 2021-01-01 18:00
  const std::u16string date = PropVariantToText(value);
  EXPECT_NE(date.find(u"21"), std::u16string::npos) << platform::Utf16ToUtf8(date);
  EXPECT_EQ(date.find(u':'), std::u16string::npos) << "the date part only: " << platform::Utf16ToUtf8(date);

  value = Value(VT_FILETIME);
  const uint64_t ticks = 132539976000000000ull;  // 2021-01-01 18:00 UTC
  value.filetime.dwLowDateTime = static_cast<uint32_t>(ticks);
  value.filetime.dwHighDateTime = static_cast<uint32_t>(ticks >> 32);
  const std::u16string time = PropVariantToText(value);
  EXPECT_NE(time.find(u"21"), std::u16string::npos) << platform::Utf16ToUtf8(time);
  EXPECT_NE(time.find(u':'), std::u16string::npos) << "date and time: " << platform::Utf16ToUtf8(time);

  value.filetime.dwHighDateTime = 0x80000000u;  // beyond any calendar
  EXPECT_THROW(PropVariantToText(value), EOSError);
}

TEST(PropVariantToText, RefusesOtherKinds) {
  for (const VARTYPE kind : {VARTYPE{12}, VARTYPE{13}, VARTYPE{65}, VARTYPE{0x2011}}) {
    ExpectTypeNotSupported([&] { PropVariantToText(Value(kind)); });
  }
}

TEST(PropVariantToInteger, ConvertsEveryNumberKind) {
  EXPECT_EQ(PropVariantToInteger(Value(VT_EMPTY)), 0);
  EXPECT_EQ(PropVariantToInteger(Value(VT_NULL)), 0);
  EXPECT_EQ(PropVariantToInteger(Unsigned(VT_I1, 0xFF)), -1);
  EXPECT_EQ(PropVariantToInteger(Unsigned(VT_I2, 0x8000)), -32768);
  EXPECT_EQ(PropVariantToInteger(Unsigned(VT_I4, 0xFFFFFFFEu)), -2);
  EXPECT_EQ(PropVariantToInteger(Unsigned(VT_ERROR, 0x80004005u)), -2147467259);
  EXPECT_EQ(PropVariantToInteger(Unsigned(VT_UI1, 0xFF)), 255);
  EXPECT_EQ(PropVariantToInteger(Unsigned(VT_UI2, 0xFFFF)), 65535);
  EXPECT_EQ(PropVariantToInteger(Unsigned(VT_UI4, 0xFFFFFFFFu)), 4294967295);
  EXPECT_EQ(PropVariantToInteger(Unsigned(VT_UI8, ~0ull)), -1);
  EXPECT_EQ(PropVariantToInteger(Unsigned(VT_I8, 1ull << 40)), int64_t{1} << 40);
  EXPECT_EQ(PropVariantToInteger(Unsigned(VT_BOOL, 0xFFFF)), 1);
  EXPECT_EQ(PropVariantToInteger(Unsigned(VT_BOOL, 0)), 0);
}

TEST(PropVariantToInteger, RoundsHalvesToEven) {
  EXPECT_EQ(PropVariantToInteger(Real(2.5)), 2);
  EXPECT_EQ(PropVariantToInteger(Real(3.5)), 4);
  EXPECT_EQ(PropVariantToInteger(Real(-2.5)), -2);
  EXPECT_EQ(PropVariantToInteger(Real(2.5000001)), 3);
  EXPECT_EQ(PropVariantToInteger(Single(0.5f)), 0);
  PROPVARIANT date = Value(VT_DATE);
  date.date = 44197.75;
  EXPECT_EQ(PropVariantToInteger(date), 44198);
  EXPECT_EQ(PropVariantToInteger(Currency(25000)), 2);
  EXPECT_EQ(PropVariantToInteger(Currency(35000)), 4);
  EXPECT_EQ(PropVariantToInteger(Currency(-25000)), -2);
  EXPECT_EQ(PropVariantToInteger(Currency(-25001)), -3);
  EXPECT_EQ(PropVariantToInteger(Currency(14999)), 1);
  EXPECT_THROW(PropVariantToInteger(Real(std::nan(""))), EConvertError);
  EXPECT_THROW(PropVariantToInteger(Real(1e19)), EConvertError);
}

TEST(PropVariantToInteger, ParsesTextAs32BitInteger) {
  {
    LibraryString twelve(u"12");
    EXPECT_EQ(PropVariantToInteger(twelve.Get()), 12);
  }
  EXPECT_EQ(PropVariantToInteger(AnsiText("-2147483648")), -2147483648LL);
  EXPECT_EQ(PropVariantToInteger(AnsiText("  +7")), 7);
  EXPECT_EQ(PropVariantToInteger(AnsiText("$1F")), 31);
  EXPECT_EQ(PropVariantToInteger(AnsiText("0xFFFFFFFF")), -1);
  for (const char* text : {"", "2147483648", "12x", "1 ", "-", "0x", "1.5"}) {
    EXPECT_THROW(PropVariantToInteger(AnsiText(text)), EConvertError) << '"' << text << '"';
  }
}

TEST(PropVariantToInteger, RefusesOtherKinds) {
  CLSID id{};
  PROPVARIANT clsid = Value(VT_CLSID);
  clsid.puuid = &id;
  ExpectTypeNotSupported([&] { PropVariantToInteger(clsid); });
  ExpectTypeNotSupported([&] { PropVariantToInteger(Value(VT_FILETIME)); });
  ExpectTypeNotSupported([&] { PropVariantToInteger(Value(12)); });
}

TEST(PropVariantIsTrue, TestsTheValueOfItsWidth) {
  EXPECT_FALSE(PropVariantIsTrue(Value(VT_EMPTY)));
  EXPECT_FALSE(PropVariantIsTrue(Value(VT_NULL)));
  EXPECT_TRUE(PropVariantIsTrue(Unsigned(VT_UI4, 0x10)));
  // Only the value's own width counts.
  EXPECT_FALSE(PropVariantIsTrue(Unsigned(VT_UI1, 0x100)));
  EXPECT_FALSE(PropVariantIsTrue(Unsigned(VT_I2, 0x10000)));
  EXPECT_TRUE(PropVariantIsTrue(Unsigned(VT_BOOL, 0xFFFF)));
  EXPECT_FALSE(PropVariantIsTrue(Unsigned(VT_BOOL, 0)));
  EXPECT_FALSE(PropVariantIsTrue(Unsigned(VT_I4, 1ull << 32)));
  EXPECT_TRUE(PropVariantIsTrue(Unsigned(VT_UI8, 1ull << 40)));
  EXPECT_FALSE(PropVariantIsTrue(Real(-0.0)));
  EXPECT_TRUE(PropVariantIsTrue(Real(std::nan(""))));
  EXPECT_TRUE(PropVariantIsTrue(Single(0.25f)));
}

TEST(PropVariantIsTrue, RefusesOtherKinds) {
  ExpectTypeNotSupported([] { PropVariantIsTrue(Currency(1)); });
  ExpectTypeNotSupported([] { PropVariantIsTrue(Value(VT_DATE)); });
  ExpectTypeNotSupported([] { PropVariantIsTrue(AnsiText("1")); });
  LibraryString text(u"1");
  ExpectTypeNotSupported([&] { PropVariantIsTrue(text.Get()); });
}

TEST(ClearPropVariant, FreesStringsAndEmptiesSimpleKinds) {
  LibraryString text(u"page.png");
  ClearPropVariant(text.Get());
  EXPECT_EQ(text.Get().vt, VT_EMPTY);
  EXPECT_EQ(text.Get().bstrVal, nullptr);

  for (const VARTYPE kind : {VT_NULL, VT_I2, VT_UI4, VT_R8, VT_BOOL, VT_UI8, VT_FILETIME}) {
    PROPVARIANT value = Unsigned(kind, 1);
    ClearPropVariant(value);
    EXPECT_EQ(value.vt, VT_EMPTY) << kind;
  }
}

TEST(ClearPropVariant, RefusesOtherKindsAndLeavesThem) {
  for (const VARTYPE kind : {VT_DATE, VT_CY, VT_LPSTR, VT_LPWSTR, VT_CLSID}) {
    PROPVARIANT value = Value(kind);
    ExpectTypeNotSupported([&] { ClearPropVariant(value); });
    EXPECT_EQ(value.vt, kind);
  }
}

// ---- Against the real library -------------------------------------------------

// Opens archives of one format with the real library, as the handlers do.
class TArchiveOpener : public TvekCB7zClass {
 public:
  explicit TArchiveOpener(const GUID& AClassID) : TvekCB7zClass(nullptr), FClassID(AClassID) {}
  GUID GetClassID() const override { return FClassID; }
  void Open(const std::string& AArchive, TComPtr<IInArchive>& AResult) {
    LoadModule();
    CreateArchive(FClassID, AResult);
    const TComPtr<IInStream> stream(new TvekInStream(ArchivePath(AArchive)));
    CheckResult(OpenArchive(AResult.Get(), stream.Get()));
  }

 private:
  GUID FClassID;
};

struct TPathsCase {
  const char* Archive;
  const GUID* Format;
  std::vector<std::u16string> Paths;  // in archive order, folders joined by '/'
};

std::ostream& operator<<(std::ostream& AStream, const TPathsCase& ACase) { return AStream << ACase.Archive; }

class ItemTexts : public SevenZipTest, public ::testing::WithParamInterface<TPathsCase> {};

// Paths come back as the archive holds them, in UTF-16, beyond the BMP too,
// with the platform's folder separator. Names and extensions are not
// reported.
TEST_P(ItemTexts, AreThePathsOfTheArchive) {
  const TPathsCase& c = GetParam();
  TArchiveOpener opener(*c.Format);
  TComPtr<IInArchive> archive;
  opener.Open(c.Archive, archive);
  uint32_t count = 0;
  ASSERT_EQ(NumberOfItems(archive.Get(), count), S_OK);
  std::vector<std::u16string> paths;
  for (uint32_t i = 0; i < count; ++i) {
    paths.push_back(GetItemPropertyText(archive.Get(), i, kpidPath));
    EXPECT_EQ(GetItemPropertyText(archive.Get(), i, kpidName), u"");
    EXPECT_EQ(GetItemPropertyText(archive.Get(), i, kpidExtension), u"");
    PROPVARIANT isDir{};
    EXPECT_TRUE(GetItemProperty(archive.Get(), i, kpidIsDir, isDir));
    EXPECT_EQ(isDir.vt, VT_BOOL);
    EXPECT_FALSE(PropVariantIsTrue(isDir));
    ClearPropVariant(isDir);
  }
  // On Windows the library shows a backslash inside a name from a Unix
  // system as U+F05C, so that it cannot pass for a folder separator.
  std::vector<std::u16string> expected = c.Paths;
  for (std::u16string& path : expected) {
    for (char16_t& ch : path) {
      if (ch == u'\\' && RunningOnWindows()) ch = u'\uF05C';
      if (ch == u'/') ch = platform::kDirectorySeparator;
    }
  }
  EXPECT_EQ(paths, expected);
}

INSTANTIATE_TEST_SUITE_P(
    Archives, ItemTexts,
    ::testing::Values(
        TPathsCase{"unicode.cbz", &CLSID_FormatZip, {u"\u00dcber \U0001F600/Seite 01.png", u"\u00dcber \U0001F600/Seite 02.png"}},
        TPathsCase{"unicode.cb7", &CLSID_Format7z, {u"\u00dcber \U0001F600/Seite 01.png", u"\u00dcber \U0001F600/Seite 02.png"}},
        TPathsCase{"unicode.cbt", &CLSID_FormatTar, {u"\u00dcber \U0001F600/Seite 02.png", u"\u00dcber \U0001F600/Seite 01.png"}},
        TPathsCase{"backslash.cbz", &CLSID_FormatZip, {u"scan\\p02.png", u"scan\\p01.png"}},
        TPathsCase{"tar-gnu.cbt", &CLSID_FormatTar, {u"p03.png", u"p01.png", u"p02.png"}}),
    [](const ::testing::TestParamInfo<TPathsCase>& info) {
      std::string name = info.param.Archive;
      for (char& ch : name) {
        if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
      }
      return name;
    });

// Folders report kpidIsDir as a true VT_BOOL.
TEST_F(SevenZipTest, FoldersReportIsDir) {
  TArchiveOpener opener(CLSID_FormatZip);
  TComPtr<IInArchive> archive;
  opener.Open("folders.cbz", archive);
  uint32_t count = 0;
  ASSERT_EQ(NumberOfItems(archive.Get(), count), S_OK);
  int folders = 0;
  for (uint32_t i = 0; i < count; ++i) {
    PROPVARIANT isDir{};
    ASSERT_TRUE(GetItemProperty(archive.Get(), i, kpidIsDir, isDir));
    EXPECT_EQ(isDir.vt, VT_BOOL);
    const std::u16string path = GetItemPropertyText(archive.Get(), i, kpidPath);
    EXPECT_EQ(PropVariantIsTrue(isDir), path == u"Vol 1" || path == u"Vol 2") << platform::Utf16ToUtf8(path);
    folders += PropVariantIsTrue(isDir) ? 1 : 0;
    ClearPropVariant(isDir);
  }
  EXPECT_EQ(folders, 2);
}

}  // namespace
}  // namespace quillet::test
