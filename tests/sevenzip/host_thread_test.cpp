// What requests leave of the host's thread: its COM count and its
// apartment; and a registry whose first request came on a thread without
// COM. COM exists on Windows only.
#include <thread>

#include "sevenzip_support.h"
#include "support/test_support.h"

#if defined(_WIN32)
#include <objbase.h>
#endif

namespace quillet::test {
namespace {

#if defined(_WIN32)

struct TApartmentCase {
  const char* Name;
  DWORD Mode;       // what the host's thread chose
  DWORD OtherMode;  // the apartment it did not choose
};

class HostThreadCom : public SevenZipTest, public ::testing::WithParamInterface<TApartmentCase> {};

// A thread that set up COM before its first request holds exactly the one
// count it took itself after 100 requests, in the apartment it chose: one
// CoUninitialize leaves it without COM, so that CoInitializeEx starts afresh
// (S_OK) instead of finding it still set up (S_FALSE).
TEST_P(HostThreadCom, IsAsTheHostLeftItAfterAHundredRequests) {
  const TApartmentCase& c = GetParam();
  HRESULT initialised = E_FAIL, otherApartment = S_OK, afterOneUninitialize = E_FAIL;
  int covers = 0;
  std::thread host([&] {
    initialised = CoInitializeEx(nullptr, c.Mode);
    if (initialised != S_OK) return;
    for (int i = 0; i < 100; ++i) {
      TPreview preview;
      PreviewThroughHandlers(SevenZipRegistry(), ArchivePath("thread-0.cbz"), preview);
      if (ShowsPage(preview.Bitmap, 30)) ++covers;
    }
    // Still the apartment the host chose...
    otherApartment = CoInitializeEx(nullptr, c.OtherMode);
    if (SUCCEEDED(otherApartment)) CoUninitialize();
    // ...and still the one count of the host's own.
    CoUninitialize();
    afterOneUninitialize = CoInitializeEx(nullptr, c.Mode);
    if (SUCCEEDED(afterOneUninitialize)) CoUninitialize();
  });
  host.join();
  ASSERT_EQ(initialised, S_OK);
  EXPECT_EQ(covers, 100);
  EXPECT_EQ(otherApartment, RPC_E_CHANGED_MODE);
  EXPECT_EQ(afterOneUninitialize, S_OK) << "S_FALSE: the requests left COM counts behind";
}

INSTANTIATE_TEST_SUITE_P(Apartments, HostThreadCom,
                         ::testing::Values(TApartmentCase{"SingleThreaded", COINIT_APARTMENTTHREADED,
                                                          COINIT_MULTITHREADED},
                                           TApartmentCase{"MultiThreaded", COINIT_MULTITHREADED,
                                                          COINIT_APARTMENTTHREADED}),
                         [](const ::testing::TestParamInfo<TApartmentCase>& info) { return info.param.Name; });

// A registry of its own, whose image-extension set nobody has built yet.
struct TFreshRegistry {
  TvekCBxClassList Registry;
  TFreshRegistry() { new TvekCBZClass_v1(&Registry); }
};

// The first request comes on a thread without COM: it gets no cover, and it
// must not settle the question of which entries are images for the
// registry's life. The next request, on a thread with COM, gets its cover.
TEST_F(SevenZipTest, AFirstRequestWithoutComDoesNotCostTheNextOneOnAThreadWithCom) {
  TFreshRegistry fresh;
  bool bareGotNoCover = false, bareFailed = false;
  std::thread bare([&] {
    TPreview preview;
    PreviewThroughHandlers(fresh.Registry, ArchivePath("thread-0.cbz"), preview);
    bareGotNoCover = preview.Bitmap == nullptr;
    bareFailed = !preview.Failures.empty();
  });
  bare.join();
  EXPECT_TRUE(bareGotNoCover);
  EXPECT_TRUE(bareFailed);

  std::thread host([&] {
    const THostThread com;
    TPreview preview;
    PreviewThroughHandlers(fresh.Registry, ArchivePath("thread-0.cbz"), preview);
    EXPECT_TRUE(ShowsPage(preview.Bitmap, 30)) << ::testing::PrintToString(preview.Failures);
  });
  host.join();
}

#else

TEST(HostThreadCom, IsAWindowsMatter) { GTEST_SKIP() << "COM exists on Windows only"; }

#endif

}  // namespace
}  // namespace quillet::test
