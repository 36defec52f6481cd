// A 7-Zip library is trusted with our interface layout only when it says it
// shares it, or on Windows, where there is only one. Builds for Linux from
// before the GetModuleProp export had a virtual destructor in IUnknown:
// calling them would crash the host, so they count as lacking CreateObject.
#include "sevenzip_support.h"
#include "support/test_support.h"

namespace quillet::test {
namespace {

struct TLayoutCase {
  const char* Variant;
  bool TrustedOnLinux;
  bool TrustedOnWindows;
};

std::ostream& operator<<(std::ostream& AStream, const TLayoutCase& ACase) { return AStream << ACase.Variant; }

class LibraryLayout : public SevenZipTest, public ::testing::WithParamInterface<TLayoutCase> {};

TEST_P(LibraryLayout, DecidesWhetherCreateObjectIsCalled) {
  const TLayoutCase& c = GetParam();
  const bool trusted = RunningOnWindows() ? c.TrustedOnWindows : c.TrustedOnLinux;
  using CountProc = int (*)();
  const auto calls = FakeFunction<CountProc>(c.Variant, "FakeCreateObjectCalls");
  ASSERT_NE(calls, nullptr);
  const int before = calls();

  TvekCBxClassList registry;
  new TLibraryUnderTest(&registry, FakeLibraryName(c.Variant));
  // Twice: the library stays loaded, and the answer stays the same.
  for (int request = 0; request < 2; ++request) {
    try {
      registry.GetClass(0)->GetPreviewBitmap(ArchivePath("zip-deflate.cbz"), true);
      ADD_FAILURE() << "a stand-in library gave a bitmap";
    } catch (const EOleSysError& error) {
      EXPECT_TRUE(trusted) << error.what();
      EXPECT_EQ(static_cast<uint32_t>(error.ErrorCode), 0x80004001u);  // the stand-in's E_NOTIMPL
    } catch (const Exception& error) {
      EXPECT_FALSE(trusted) << error.what();
      EXPECT_STREQ(error.what(), "Function CreateObject is not implemented");
    }
  }
  EXPECT_EQ(calls() - before, trusted ? 2 : 0);
}

INSTANTIATE_TEST_SUITE_P(Variants, LibraryLayout,
                         ::testing::Values(
                             // No GetModuleProp: the layout is unknown.
                             TLayoutCase{"legacy", false, true},
                             // GetModuleProp reports IUnknown with a virtual destructor.
                             TLayoutCase{"foreign", false, false}),
                         [](const ::testing::TestParamInfo<TLayoutCase>& info) { return info.param.Variant; });

// The real library reports our layout and is used.
TEST_F(SevenZipTest, RealLibraryReportsOurLayout) {
  const platform::LibraryHandle library = platform::LoadLibraryQuietly(SevenZipLibraryPath());
  ASSERT_NE(library, nullptr);
  using GetModulePropProc = HRESULT(STDAPICALLTYPE*)(PROPID, PROPVARIANT*);
  const auto getModuleProp = reinterpret_cast<GetModulePropProc>(platform::GetLibrarySymbol(library, "GetModuleProp"));
  ASSERT_NE(getModuleProp, nullptr);
  PROPVARIANT value{};
  ASSERT_EQ(getModuleProp(sevenzip::kModulePropInterfaceType, &value), S_OK);
  EXPECT_EQ(value.vt, VT_UI4);
  EXPECT_EQ(value.ulVal, sevenzip::kInterfaceTypeWithoutVirtualDestructor);
  platform::FreeLibraryHandle(library);
}

}  // namespace
}  // namespace quillet::test
