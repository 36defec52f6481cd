// Messages that name files reach a terminal: whatever in a name a terminal
// would act on is written out as an escape.
#include <gtest/gtest.h>

#include <string>

#include "tools/terminal_text.h"

namespace quillet::tool {
namespace {

struct SafeTextCase {
  const char* what;
  std::string text;
  std::string shown;
};

void PrintTo(const SafeTextCase& c, std::ostream* out) { *out << c.what; }

class TerminalText : public ::testing::TestWithParam<SafeTextCase> {};

TEST_P(TerminalText, ShowsEveryControlAsAnEscape) { EXPECT_EQ(TerminalSafe(GetParam().text), GetParam().shown); }

INSTANTIATE_TEST_SUITE_P(
    Cases, TerminalText,
    ::testing::Values(
        SafeTextCase{"plain", "/comics/Issue 01.cbz", "/comics/Issue 01.cbz"},
        SafeTextCase{"letters beyond ASCII", "/comics/\xC3\x89t\xC3\xA9 \xE6\xBC\xAB\xE7\x94\xBB \xF0\x9F\x93\x9A.cbz",
                     "/comics/\xC3\x89t\xC3\xA9 \xE6\xBC\xAB\xE7\x94\xBB \xF0\x9F\x93\x9A.cbz"},
        SafeTextCase{"colour sequence", "red \x1B[31mtext\x1B[0m.cbz", "red \\x1B[31mtext\\x1B[0m.cbz"},
        SafeTextCase{"title sequence", "\x1B]0;owned\x07.cbz", "\\x1B]0;owned\\x07.cbz"},
        SafeTextCase{"line ends and tab", "a\nquillet-thumbnail: fake\r\t.cbz", "a\\x0Aquillet-thumbnail: fake\\x0D\\x09.cbz"},
        SafeTextCase{"NUL and DEL", std::string("a\0b\x7F", 4), "a\\x00b\\x7F"},
        SafeTextCase{"C1 controls (CSI, NEL)", "x\xC2\x9B" "31m\xC2\x85y", "x\\u009B31m\\u0085y"},
        SafeTextCase{"first character after C1", "\xC2\xA0\xC2\xBF", "\xC2\xA0\xC2\xBF"},
        SafeTextCase{"bytes that are not UTF-8", "bad \xFF\xFE \x9B[2J", "bad \\xFF\\xFE \\x9B[2J"},
        SafeTextCase{"overlong and surrogate forms", "\xC0\x8A \xE0\x80\x8A \xED\xA0\x80",
                     "\\xC0\\x8A \\xE0\\x80\\x8A \\xED\\xA0\\x80"},
        SafeTextCase{"cut-off sequence at the end", "name\xE6\xBC", "name\\xE6\\xBC"},
        SafeTextCase{"beyond U+10FFFF", "\xF4\x90\x80\x80", "\\xF4\\x90\\x80\\x80"},
        SafeTextCase{"a backslash stays apart from an escape", "a\\x1B.cbz", "a\\\\x1B.cbz"}));

}  // namespace
}  // namespace quillet::tool
