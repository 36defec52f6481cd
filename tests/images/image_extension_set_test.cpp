// Which entries are images: the extension set built from the installed
// decoders, and the lookup by an entry's name.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <barrier>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "handlers/image_extension_set.h"
#include "handlers/vekCBxClasses.h"
#include "images/support/test_imaging.h"
#include "platform/image_decoding.h"
#include "platform/platform.h"
#include "support/test_support.h"

namespace quillet {
namespace {

std::string Narrow(const std::u16string& AText) { return platform::Utf16ToUtf8(AText); }

std::string Joined(const TImageExtensionSet& ASet) {
  std::string text;
  for (const std::u16string& entry : ASet) text += (text.empty() ? "" : " ") + Narrow(entry);
  return text;
}

struct DeclarationCase {
  const char* what;
  std::vector<std::u16string> declarations;  // one per decoder, in order
  TImageExtensionSet expected;
};

void PrintTo(const DeclarationCase& ACase, std::ostream* AOut) { *AOut << ACase.what; }

class ExtensionDeclarations : public testing::TestWithParam<DeclarationCase> {};

TEST_P(ExtensionDeclarations, BecomeTheSet) {
  TImageExtensionSet set;
  for (const std::u16string& declared : GetParam().declarations) AddDeclaredExtensions(set, declared);
  EXPECT_EQ(set, GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Rules, ExtensionDeclarations,
    testing::Values(
        DeclarationCase{"empty_piece_and_trailing_comma_add_nothing", {u".jpg,,.jpeg,"}, {u".JPG", u".JPEG"}},
        DeclarationCase{"two_decoders_one_tif", {u".tif", u".tif,.tiff"}, {u".TIF", u".TIFF"}},
        DeclarationCase{"semicolons_separate_as_wine_declares",
                        {u".jpg;.jpeg;.jfif", u".tif;.tiff"},
                        {u".JPG", u".JPEG", u".JFIF", u".TIF", u".TIFF"}},
        DeclarationCase{"pieces_trimmed_and_upper_cased", {u" .png , .Png\t", u"\r\n.gif\n"}, {u".PNG", u".GIF"}},
        DeclarationCase{"zero_characters_trimmed", {std::u16string(u"\0.bmp\0", 6)}, {u".BMP"}},
        DeclarationCase{"declared_without_a_dot_is_kept", {u"jpg"}, {u"JPG"}},
        DeclarationCase{"nothing_but_separators", {u"", u" ", u",;, ;"}, {}},
        DeclarationCase{"decoder_order_kept", {u".webp", u".bmp,.dib", u".BMP"}, {u".WEBP", u".BMP", u".DIB"}}),
    [](const testing::TestParamInfo<DeclarationCase>& AInfo) { return std::string(AInfo.param.what); });

struct LookupCase {
  const char* name;
  bool isImage;
};

TEST(ImageExtensionLookup, TakesTheExtensionOfTheEntryName) {
  const TImageExtensionSet set = {u".JPG", u".JPEG", u".PNG", u"GIF"};
  const LookupCase cases[] = {
      {"Scans\\p01.jpg", true},
      {"P01.JPG", true},
      {"p01.Jpg", true},
      {"dir.cbz\\cover.jpeg", true},
      {".jpg", false},               // the dot is the first character
      {"folder.old\\cover", false},  // the last separator comes after the dot
      {"folder.png\\", false},
      {"c:x.png", true},
      {"c.png:x", false},
      {"a.png/c", false},      // '/' separates on Linux, and ".png/c" is no image anywhere
      {"cover.jpeg ", false},  // the looked-up extension is not trimmed
      {"cover.gif", false},    // the set's "GIF" has no dot and never matches
      {"cover", false},
      {"cover.", false},
      {"cover.jpg.txt", false},
  };
  for (const LookupCase& c : cases)
    EXPECT_EQ(HoldsExtensionOf(set, platform::Utf8ToUtf16(c.name)), c.isImage) << c.name;
}

// A stand-in for the platform's decoder list that counts how often it is
// asked and can fail half-way, as a list read from a registry can.
struct CountingDecoders {
  std::atomic<int> calls{0};
  bool failAfterFirst = false;
  void operator()(const std::function<void(std::u16string_view)>& AVisit) {
    ++calls;
    AVisit(u".png");
    if (failAfterFirst) throw EOleSysError(static_cast<int32_t>(0x80004005), "Unspecified error");
    AVisit(u".jpg,.jpeg");
  }
};

TEST(ImageExtensionSet, IsBuiltOnceWhenManyThreadsAskFirstAtOnce) {
  std::unique_ptr<TImageExtensionSet> set;
  std::mutex lock;
  CountingDecoders decoders;
  constexpr int kThreads = 16;
  std::barrier start(kThreads);
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&] {
      start.arrive_and_wait();
      SettleImageExtensionSet(set, lock, std::ref(decoders));
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(decoders.calls, 1);
  ASSERT_TRUE(set);
  EXPECT_EQ(*set, (TImageExtensionSet{u".PNG", u".JPG", u".JPEG"}));
}

TEST(ImageExtensionSet, AFailedBuildLeavesNoSetAndIsTriedAgainUntilOneSucceeds) {
  std::unique_ptr<TImageExtensionSet> set;
  std::mutex lock;
  CountingDecoders decoders;
  decoders.failAfterFirst = true;
  EXPECT_THROW(SettleImageExtensionSet(set, lock, std::ref(decoders)), EOleSysError);
  // Nothing half-built is left to answer later lookups.
  EXPECT_FALSE(set);
  // The lock was released on the failing path as well.
  EXPECT_TRUE(lock.try_lock());
  lock.unlock();
  EXPECT_THROW(SettleImageExtensionSet(set, lock, std::ref(decoders)), EOleSysError);
  EXPECT_FALSE(set);
  EXPECT_EQ(decoders.calls, 2);

  decoders.failAfterFirst = false;
  EXPECT_NO_THROW(SettleImageExtensionSet(set, lock, std::ref(decoders)));
  ASSERT_TRUE(set);
  EXPECT_EQ(*set, (TImageExtensionSet{u".PNG", u".JPG", u".JPEG"}));
  // Once built, it is never built again, even were the listing to fail now.
  decoders.failAfterFirst = true;
  EXPECT_NO_THROW(SettleImageExtensionSet(set, lock, std::ref(decoders)));
  EXPECT_EQ(decoders.calls, 3);
  EXPECT_EQ(*set, (TImageExtensionSet{u".PNG", u".JPG", u".JPEG"}));
}

TEST(ImageExtensionSet, HoldsWhatTheInstalledDecodersDeclare) {
  test::TImagingThread imaging;
  std::unique_ptr<TImageExtensionSet> set;
  std::mutex lock;
  SettleImageExtensionSet(set, lock, &platform::EnumerateImageDecoders);
  ASSERT_TRUE(set);
  std::cout << "image-extension set (" << (test::RunningOnWindows() ? "WIC" : "gdk-pixbuf") << "): " << Joined(*set)
            << std::endl;
  std::vector<std::u16string> required = {u".JPG", u".JPEG", u".PNG", u".GIF", u".BMP"};
  if (!test::RunningOnWindows()) required.push_back(u".WEBP");
  for (const std::u16string& extension : required)
    EXPECT_NE(std::find(set->begin(), set->end(), extension), set->end()) << Narrow(extension);
  for (const std::u16string& entry : *set) EXPECT_EQ(entry, platform::UpperCase(entry));

  // The registry answers from the same set.
  TvekCBxClassList registry;
  // An entry of one dot, first, is what an entry name's extension can be
  // (".SVG.GZ" never matches: the extension of a.svg.gz is .gz).
  for (const std::u16string& entry : *set) {
    if (!entry.empty() && entry.front() == u'.' && entry.find(u'.', 1) == std::u16string::npos) {
      EXPECT_TRUE(registry.IsImageFile(u"Pages\\p01" + entry)) << Narrow(entry);
    }
  }
}

TEST(ImageExtensionSet, RegistryAnswersAlikeOnManyThreadsFromTheFirstCall) {
  TvekCBxClassList registry;
  constexpr int kThreads = 8;
  std::barrier start(kThreads);
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&] {
      test::TImagingThread imaging;
      start.arrive_and_wait();
      try {
        if (!registry.IsImageFile(u"Scans\\p01.jpg")) ++wrong;
        if (!registry.IsImageFile(u"P02.PNG")) ++wrong;
        if (registry.IsImageFile(u"notes.txt")) ++wrong;
        if (registry.IsImageFile(u".jpg")) ++wrong;
      } catch (...) {
        ++wrong;
      }
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(wrong, 0);
}

// Windows only: the module leaves COM to the host's thread. A thread without
// it cannot build the set and the error reaches that caller; the first
// request on a thread that has COM builds it after all.
TEST(ImageExtensionSet, WithoutComTheFirstCallFailsAndALaterThreadWithComBuildsTheSet) {
  if (!test::RunningOnWindows()) GTEST_SKIP() << "COM exists on Windows only";
  TvekCBxClassList registry;
  bool raised = false;
  std::thread bare([&] {
    try {
      registry.IsImageFile(u"p01.jpg");
    } catch (const EOleSysError&) {
      raised = true;
    }
  });
  bare.join();
  EXPECT_TRUE(raised);
  test::TImagingThread imaging;
  EXPECT_TRUE(registry.IsImageFile(u"p01.jpg"));
  EXPECT_TRUE(registry.IsImageFile(u"p01.png"));
  EXPECT_FALSE(registry.IsImageFile(u"notes.txt"));
}

}  // namespace
}  // namespace quillet
