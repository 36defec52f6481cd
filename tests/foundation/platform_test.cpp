// The platform layer's settings reader, environment expansion and text
// services, on whichever platform the tests run.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <system_error>

#include "platform/platform.h"
#include "support/test_support.h"

#if defined(_WIN32)
#include <windows.h>
#endif

namespace quillet::test {
namespace {

namespace fs = std::filesystem;
using platform::Utf8ToUtf16;

void SetVariable(const char* name, const char* value) {
#if defined(_WIN32)
  SetEnvironmentVariableA(name, value);
#else
  setenv(name, value, 1);
#endif
}

std::u16string Read(const fs::path& file, const std::u16string& section, const std::u16string& key) {
  return platform::ReadProfileString(ModulePath(file), section, key, u"<default>");
}

TEST(Settings, FindsSectionsAndKeysIgnoringCase) {
  const fs::path file = ScratchDir("settings-case") / "Quillet.ini";
  std::ofstream(file) << "; libraries\n[Other]\n7z.so=wrong\n[DLLPATH]\n  7Z.SO = /opt/7z/7z.so  \nunrar=\n"
                      << "[DllPath]\nlate=second section of the same name\n";
  EXPECT_EQ(Read(file, u"DllPath", u"7z.so"), u"/opt/7z/7z.so");
  EXPECT_EQ(Read(file, u"dllpath", u"7Z.So"), u"/opt/7z/7z.so");
  EXPECT_EQ(Read(file, u"Other", u"7z.so"), u"wrong");
  EXPECT_EQ(Read(file, u"DllPath", u"unrar"), u"");
  EXPECT_EQ(Read(file, u"DllPath", u"absent"), u"<default>");
  EXPECT_EQ(Read(file, u"Absent", u"7z.so"), u"<default>");
}

TEST(Settings, MissingFileGivesTheDefault) {
  EXPECT_EQ(Read(ScratchDir("settings-missing") / "nothing.ini", u"DllPath", u"7z.so"), u"<default>");
}

TEST(Settings, ValuesAreCutAt2047Units) {
  const fs::path file = ScratchDir("settings-long") / "Quillet.ini";
  std::ofstream(file) << "[DllPath]\nlong=" << std::string(5000, 'x') << "\n";
  EXPECT_EQ(Read(file, u"DllPath", u"long"), std::u16string(2047, u'x'));
}

TEST(Settings, NonAsciiValuesAndFileNames) {
  const fs::path file = ScratchDir("settings-non-ascii") / fs::path(u"réglages ✓.ini");
  std::ofstream(file) << "[DllPath]\nlib=C:\\Bandes dessinées\\7z.dll\n";
  // Windows reads such a file in its ANSI code page unless it is UTF-16; only
  // ASCII content is portable there, so check the file name on Windows.
  if (RunningOnWindows()) {
    EXPECT_NE(Read(file, u"DllPath", u"lib"), u"<default>");
  } else {
    EXPECT_EQ(Read(file, u"DllPath", u"lib"), Utf8ToUtf16("C:\\Bandes dessinées\\7z.dll"));
  }
}

TEST(Environment, ExpandsKnownNamesAndLeavesOthersAsWritten) {
  SetVariable("QUILLET_TEST_HOME", "/home/reader");
  std::u16string expanded;
  if (RunningOnWindows()) {
    EXPECT_EQ(platform::ExpandEnvironmentText(u"%QUILLET_TEST_HOME%\\7z.dll", expanded), 20u);
    EXPECT_EQ(expanded, u"/home/reader\\7z.dll");
    platform::ExpandEnvironmentText(u"%QUILLET_NO_SUCH_NAME%\\x", expanded);
    EXPECT_EQ(expanded, u"%QUILLET_NO_SUCH_NAME%\\x");
    return;
  }
  const struct {
    std::u16string in, out;
  } cases[] = {
      {u"$QUILLET_TEST_HOME/lib/7z.so", u"/home/reader/lib/7z.so"},
      {u"${QUILLET_TEST_HOME}lib", u"/home/readerlib"},
      {u"$QUILLET_NO_SUCH_NAME/x", u"$QUILLET_NO_SUCH_NAME/x"},
      {u"${QUILLET_NO_SUCH_NAME}/x", u"${QUILLET_NO_SUCH_NAME}/x"},
      {u"cost $5 and $", u"cost $5 and $"},
      {u"${unclosed", u"${unclosed"},
      {u"%QUILLET_TEST_HOME%", u"%QUILLET_TEST_HOME%"},
      // Never a shell: command substitution and globbing stay text.
      {u"$(touch /tmp/quillet-pwned)`id`*", u"$(touch /tmp/quillet-pwned)`id`*"},
  };
  for (const auto& c : cases) {
    const uint32_t n = platform::ExpandEnvironmentText(c.in, expanded);
    EXPECT_EQ(expanded, c.out);
    EXPECT_EQ(n, c.out.size() + 1);
  }
  EXPECT_FALSE(fs::exists("/tmp/quillet-pwned"));
}

TEST(Text, Utf8AndUtf16RoundTrip) {
  const std::string samples[] = {"plain", "Bandes dessinées", "漫画", "emoji 😀 beyond the BMP", ""};
  for (const std::string& s : samples) EXPECT_EQ(platform::Utf16ToUtf8(Utf8ToUtf16(s)), s);
  EXPECT_EQ(Utf8ToUtf16("😀"), (std::u16string{0xD83D, 0xDE00}));
  // Broken input becomes U+FFFD instead of failing.
  EXPECT_EQ(Utf8ToUtf16("a\xFF" "b"), u"a\uFFFDb");
  EXPECT_EQ(platform::Utf16ToUtf8(std::u16string{u'a', 0xD800, u'b'}), "a\xEF\xBF\xBD" "b");
}

TEST(Text, AnsiIsUtf8OnLinux) {
  if (RunningOnWindows()) GTEST_SKIP() << "the ANSI code page of Windows is the system's";
  EXPECT_EQ(platform::AnsiToUtf16("Bandes dessin\xC3\xA9" "es"), u"Bandes dessinées");
}

TEST(Text, UpperCasingIsPerUnitAndLanguageIndependent) {
  EXPECT_EQ(platform::UpperCase(u"page01.jpg"), u"PAGE01.JPG");
  EXPECT_EQ(platform::UpperCase(u"i"), u"I");                // never a dotted capital I
  EXPECT_EQ(platform::UpperCase(u"éàü"), u"ÉÀÜ");
  EXPECT_EQ(platform::UpperCase(u"ß"), u"ß");                // one unit stays one unit
  EXPECT_EQ(platform::UpperCase(u"１２３"), u"１２３");
  const std::u16string pair{0xD83D, 0xDE00};
  EXPECT_EQ(platform::UpperCase(pair), pair);
  EXPECT_TRUE(platform::SameText(u"Page01.JPG", u"pAGE01.jpg"));
  EXPECT_TRUE(platform::SameText(u"été", u"ÉTÉ"));
  EXPECT_FALSE(platform::SameText(u"page1", u"page01"));
  EXPECT_FALSE(platform::SameText(u"a", u""));
}

// A key written over a reused buffer is the key made afresh, whatever the
// buffer held before: a longer key, a shorter one, or none.
TEST(Text, SameTextKeyIntoAReusedBufferIsTheFreshKey) {
  std::string key;
  for (const std::u16string& text : {std::u16string(600, u'x'), std::u16string(u"Page"), std::u16string(),
                                    std::u16string(u"\u00e4rger-\u00c4RGER"), std::u16string(u"p")}) {
    platform::SameTextKeyInto(text, key);
    EXPECT_EQ(key, platform::SameTextKey(text)) << platform::Utf16ToUtf8(text);
  }
}

TEST(Paths, TheModuleAndTheHostKnowWhereTheyAre) {
  const std::u16string self = platform::ThisModulePath();
  const std::u16string host = platform::HostExecutablePath();
  EXPECT_FALSE(self.empty());
  EXPECT_TRUE(fs::exists(fs::path(host)));
  // Linked into the test program, "this module" is the program itself.
  EXPECT_TRUE(fs::equivalent(fs::path(self), fs::path(host)));
  const std::u16string dir = platform::ExtractFilePath(host);
  ASSERT_FALSE(dir.empty());
  EXPECT_EQ(dir.back(), platform::kDirectorySeparator);
}

// A library that opens the name NameHeldOpen gives reads the file we hold
// open, also after another file has been renamed onto the path we opened it
// by (where the platform lets anyone do that while we hold it).
TEST(Files, TheNameHeldOpenLeadsToTheFileHeldOpen) {
  const fs::path dir = ScratchDir("files-name-held-open");
  const fs::path checked = dir / "archive.cbr";
  const fs::path other = dir / "other.cbr";
  std::ofstream(checked, std::ios::binary) << "checked";
  std::ofstream(other, std::ios::binary) << "renamed onto it";
  const std::unique_ptr<platform::File> held = platform::OpenFileForReading(ModulePath(checked));
  const std::u16string name = held->NameHeldOpen(ModulePath(checked));

  std::error_code renameError;
  fs::rename(other, checked, renameError);
  if (RunningOnWindows()) {
    EXPECT_TRUE(renameError) << "a file held open was replaced";
  } else {
    ASSERT_FALSE(renameError) << renameError.message();
    EXPECT_NE(name, ModulePath(checked));
  }

  // Opened anew by that name, as a library opens it.
  const std::unique_ptr<platform::File> reopened = platform::OpenFileForReading(name);
  char bytes[32] = {};
  const uint32_t read = reopened->Read(bytes, sizeof bytes);
  EXPECT_EQ(std::string(bytes, read), "checked");
}

}  // namespace
}  // namespace quillet::test
