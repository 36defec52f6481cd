// Names for the temporary files that receive an extracted entry, their
// exclusive creation and their deletion.
#include <gtest/gtest.h>

#include <algorithm>
#include <barrier>
#include <filesystem>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "handlers/temp_files.h"
#include "handlers/vekCBxClasses.h"
#include "images/support/image_fixtures.h"
#include "images/support/test_imaging.h"
#include "platform/platform.h"
#include "support/test_support.h"

namespace quillet {
namespace {

namespace fs = std::filesystem;

std::u16string U(const std::string& AText) { return platform::Utf8ToUtf16(AText); }
std::string Narrow(const std::u16string& AText) { return platform::Utf16ToUtf8(AText); }

// What every name of this thread begins with, in the platform's own terms.
std::u16string ExpectedStem(std::u16string ADirectory) {
  if (ADirectory.back() != platform::kDirectorySeparator) ADirectory.push_back(platform::kDirectorySeparator);
  return ADirectory + u"CBx-" + U(std::to_string(platform::CurrentProcessId())) + u"-" +
         U(std::to_string(platform::CurrentThreadId())) + u"-";
}

// The counter value in a name made on this thread.
long CounterOf(const std::u16string& AName, const std::u16string& AStem, const std::u16string& AExtension) {
  return std::stol(Narrow(AName.substr(AStem.size(), AName.size() - AStem.size() - AExtension.size())));
}

// A scratch folder that stands in for the temporary directory, written
// without its trailing separator, as a platform may report it.
class TempNames : public testing::Test {
 protected:
  fs::path FDir = test::ScratchDir("images-temp-names");
  std::u16string FDirText = test::ModulePath(FDir);
  test::TTemporaryDirectoryOverride FOverride{Narrow(FDirText)};
  std::u16string FStem = ExpectedStem(FDirText);
  TvekCBxClassList FRegistry;
};

TEST_F(TempNames, CarryProcessThreadCounterAndTheEntryExtensionAsWritten) {
  struct Case {
    const char* entry;
    const char* extension;
  };
  const Case cases[] = {
      {"Pages\\p01.Jpg", ".Jpg"}, {"p01.JPG", ".JPG"},   {".png", ""}, {"cover", ""},
      {"Vol.1\\cover", ""},       {"a.b.webp", ".webp"},
  };
  long counter = 0;
  for (const Case& c : cases) {
    const std::u16string name = FRegistry.MakeTempFileName(U(c.entry));
    EXPECT_EQ(name, FStem + U(std::to_string(++counter)) + U(c.extension)) << c.entry;
    EXPECT_FALSE(platform::PathOccupied(name));  // the name only: no file is made
  }
}

TEST_F(TempNames, FirstNameOfARegistryUsesOneThenTwoOnAnyThread) {
  EXPECT_EQ(FRegistry.MakeTempFileName(u"a.png"), FStem + u"1.png");
  std::u16string other, otherStem;
  std::thread([&] {
    otherStem = ExpectedStem(FDirText);
    other = FRegistry.MakeTempFileName(u"b.png");
  }).join();
  EXPECT_EQ(other, otherStem + u"2.png");
}

TEST_F(TempNames, SkipOccupiedNamesAndNeverReuseTheirValues) {
  struct Plant {
    const char* what;
    bool (*make)(const fs::path&);
  };
  const Plant plants[] = {
      {"file",
       [](const fs::path& p) {
         test::WriteBytes(p, {1, 2, 3});
         return true;
       }},
      {"directory", [](const fs::path& p) { return fs::create_directory(p); }},
      // Another user of a shared /tmp plants a link to a file of ours at the
      // next name: the name must count as taken although the link leads
      // nowhere yet.
      {"dangling link",
       [](const fs::path& p) {
         if (test::RunningOnWindows()) return false;
         fs::create_symlink(p.parent_path() / "victim_file_that_does_not_exist_yet", p);
         return true;
       }},
  };
  for (const Plant& plant : plants) {
    TvekCBxClassList registry;
    const fs::path first = fs::path(FDir) / Narrow(FStem.substr(FDirText.size() + 1) + u"1.jpg");
    fs::remove_all(first);
    if (!plant.make(first)) continue;
    const std::u16string name = registry.MakeTempFileName(u"p01.jpg");
    EXPECT_EQ(name, FStem + u"2.jpg") << plant.what;
    EXPECT_EQ(registry.MakeTempFileName(u"p02.jpg"), FStem + u"3.jpg") << plant.what;
    fs::remove_all(first);
  }
  EXPECT_FALSE(fs::exists(FDir / "victim_file_that_does_not_exist_yet"));
}

TEST_F(TempNames, ManyThreadsAtOnceNeverShareACounterValue) {
  constexpr int kThreads = 8, kNamesEach = 200;
  std::barrier start(kThreads);
  std::vector<std::vector<long>> taken(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      const std::u16string stem = ExpectedStem(FDirText);
      start.arrive_and_wait();
      for (int i = 0; i < kNamesEach; ++i)
        taken[t].push_back(CounterOf(FRegistry.MakeTempFileName(u"x.png"), stem, u".png"));
    });
  }
  for (std::thread& t : threads) t.join();
  std::vector<long> all;
  for (const auto& values : taken) all.insert(all.end(), values.begin(), values.end());
  std::sort(all.begin(), all.end());
  std::vector<long> expected(kThreads * kNamesEach);
  for (size_t i = 0; i < expected.size(); ++i) expected[i] = static_cast<long>(i) + 1;
  EXPECT_EQ(all, expected);
}

TEST_F(TempNames, ExclusiveCreationRefusesAnythingAtTheName) {
  const fs::path target = FDir / "victim.txt";
  const fs::path planted = FDir / "planted";
  const std::u16string plantedName = test::ModulePath(planted);
  for (const char* what : {"file", "directory", "dangling link"}) {
    fs::remove_all(planted);
    if (std::string(what) == "file") test::WriteBytes(planted, {7});
    if (std::string(what) == "directory") fs::create_directory(planted);
    if (std::string(what) == "dangling link") {
      if (test::RunningOnWindows()) continue;
      fs::create_symlink(target, planted);
    }
    EXPECT_THROW(platform::CreateFileExclusive(plantedName), EOSError) << what;
    EXPECT_FALSE(fs::exists(target)) << what;
  }
  fs::remove_all(planted);

  const std::u16string fresh = FRegistry.MakeTempFileName(u"p01.png");
  platform::CreateFileExclusive(fresh).reset();
  if (!test::RunningOnWindows()) {
    const fs::perms perms = fs::status(fs::path(fresh)).permissions();
    EXPECT_EQ(perms & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);
  }
  DeleteTempFile(fresh);
  EXPECT_FALSE(platform::PathOccupied(fresh));
}

TEST_F(TempNames, DeletionRuleRemovesAReadOnlyFile) {
  const std::u16string name = FRegistry.MakeTempFileName(u"p01.png");
  const fs::path path = fs::path(FDir) / Narrow(name.substr(FDirText.size() + 1));
  test::WriteBytes(path, {1, 2, 3});
  fs::permissions(path, fs::perms::owner_read);  // the read-only attribute on Windows
  DeleteTempFile(name);
  EXPECT_FALSE(fs::exists(path));
  DeleteTempFile(name);  // nothing there any more: ignored
}

TEST_F(TempNames, CleanupRunsOnceArmedWhateverHappens) {
  const std::u16string name = FRegistry.MakeTempFileName(u"p01.png");
  const fs::path path = fs::path(FDir) / Narrow(name.substr(FDirText.size() + 1));
  test::WriteBytes(path, {1});
  { TTempFileCleanup unarmed; }
  EXPECT_TRUE(fs::exists(path));
  try {
    TTempFileCleanup cleanup(name);
    throw Exception("extraction failed");
  } catch (const Exception&) {
  }
  EXPECT_FALSE(fs::exists(path));
}

// The whole road of one cover through the real temporary directory: a name,
// the file made exclusively, the decode, and the deletion after a success and
// after a failure. The file is closed when the decode returns, so even
// Windows lets it go at once.
TEST(TempFileRoad, DecodedOrNotTheFileIsGoneAfterwards) {
  test::TImagingThread imaging;
  TvekCBxClassList registry;
  const test::TBytes png = test::MakePng(2, 1, {{1, 2, 3, 255}, {4, 5, 6, 255}}, true);
  const test::TBytes garbage(100, 0x5A);
  for (const test::TBytes* content : {&png, &garbage}) {
    const std::u16string name = registry.MakeTempFileName(u"Pages\\cover.png");
    HBITMAP bitmap = nullptr;
    bool failed = false;
    {
      TTempFileCleanup cleanup(name);
      std::unique_ptr<platform::File> file = platform::CreateFileExclusive(name);
      ASSERT_EQ(file->Write(content->data(), static_cast<uint32_t>(content->size())), content->size());
      file.reset();  // the extraction is over: its stream is closed before the decode
      try {
        bitmap = registry.LoadImageFile(name);
      } catch (const Exception&) {
        failed = true;
      }
    }
    EXPECT_EQ(failed, content == &garbage);
    if (bitmap != nullptr) DeleteObject(bitmap);
    EXPECT_FALSE(platform::PathOccupied(name)) << Narrow(name);
  }
}

// After every test program: no file named after this process is left in the
// real temporary directory.
// A file of that name that was there before the program started is another
// process's, one that had the same process id earlier and was killed.
class NoTemporaryFileLeft : public testing::Environment {
 public:
  void SetUp() override { FBefore = Named(); }
  void TearDown() override {
    std::u16string directory = platform::TemporaryDirectory();
    const std::string prefix = "CBx-" + std::to_string(platform::CurrentProcessId()) + "-";
    std::vector<std::string> left;
    for (const std::string& file : Named())
      if (std::find(FBefore.begin(), FBefore.end(), file) == FBefore.end()) left.push_back(file);
    EXPECT_TRUE(left.empty()) << "left in " << Narrow(directory) << ": " << testing::PrintToString(left);
    if (left.empty()) std::cout << "no temporary file " << prefix << "* left in " << Narrow(directory) << std::endl;
  }

 private:
  // The files in the temporary directory named after this process.
  static std::vector<std::string> Named() {
    const std::string prefix = "CBx-" + std::to_string(platform::CurrentProcessId()) + "-";
    std::vector<std::string> named;
    std::error_code error;
    for (const fs::directory_entry& entry : fs::directory_iterator(fs::path(platform::TemporaryDirectory()), error)) {
      const std::string file = entry.path().filename().string();
      if (file.rfind(prefix, 0) == 0) named.push_back(file);
    }
    return named;
  }
  std::vector<std::string> FBefore;
};

[[maybe_unused]] testing::Environment* const kNoTemporaryFileLeft =
    testing::AddGlobalTestEnvironment(new NoTemporaryFileLeft);

}  // namespace
}  // namespace quillet
