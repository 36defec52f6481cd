// The choice of the cover among the image entries of an archive.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "handlers/cover_selection.h"
#include "handlers/vekCBxClasses.h"
#include "images/support/plain_cover_rule.h"
#include "platform/platform.h"

namespace quillet {
namespace {

std::u16string U(const std::string& AText) { return platform::Utf8ToUtf16(AText); }

struct CoverCase {
  const char* what;
  std::vector<std::string> names;  // UTF-8, in archive order
  std::string majorityPrefix;
  std::string cover;
};

void PrintTo(const CoverCase& ACase, std::ostream* AOut) { *AOut << ACase.what; }

class CoverRule : public testing::TestWithParam<CoverCase> {};

TEST_P(CoverRule, ChoosesTheCoverAndReturnsItAsWritten) {
  const CoverCase& c = GetParam();
  std::vector<std::u16string> names;
  for (const std::string& name : c.names) names.push_back(U(name));
  EXPECT_EQ(GetMajorityPrefix(names), U(c.majorityPrefix));
  TvekCBxClassList registry;
  EXPECT_EQ(registry.SelectCoverName(names), U(c.cover));
}

const std::string k40DigitsA = "1234567890123456789012345678901234567891";
const std::string k40DigitsB = "1234567890123456789012345678901234567890";

INSTANTIATE_TEST_SUITE_P(
    WorkedExamples, CoverRule,
    testing::Values(
        CoverCase{"page_names_outnumber_cover_and_credits",
                  {"cover.jpg", "page01.jpg", "page02.jpg", "page03.jpg", "credits.jpg"},
                  "PAGE",
                  "page01.jpg"},
        CoverCase{"bare_numbers_form_the_majority",
                  {"credits.jpg", "003.jpg", "001.jpg", "002.jpg", "zz_scan_notes.png"},
                  "",
                  "001.jpg"},
        CoverCase{"numbers_compare_by_value", {"p9.jpg", "p10.jpg", "p11.jpg"}, "P", "p9.jpg"},
        CoverCase{"first_unequal_run_decides", {"ch1_p10.jpg", "ch1_p2.jpg", "ch1_p03.jpg"}, "CH", "ch1_p2.jpg"},
        CoverCase{"tied_prefixes_go_to_the_first_met", {"a1.jpg", "b1.jpg", "b2.jpg", "a2.jpg"}, "A", "a1.jpg"},
        CoverCase{"fewer_runs_are_smaller", {"vol1.jpg", "vol1_2.jpg", "vol1_1.jpg"}, "VOL", "vol1.jpg"},
        CoverCase{"begins_with_is_enough_and_no_runs_is_smallest",
                  {"page01.jpg", "page02.jpg", "pagecredits.jpg"},
                  "PAGE",
                  "pagecredits.jpg"},
        CoverCase{"leading_zeros_ignored_earlier_wins", {"Comic 007.jpg", "Comic 7.jpg"}, "COMIC ", "Comic 007.jpg"},
        CoverCase{"folder_numbers_count",
                  {"Vol 1\\Page 002.jpg", "Vol 1\\Page 001.jpg", "Vol 2\\Page 001.jpg"},
                  "VOL ",
                  "Vol 1\\Page 001.jpg"},
        CoverCase{"case_ignored_result_as_written", {"page02.jpg", "PAGE01.JPG", "page03.jpg"}, "PAGE", "PAGE01.JPG"},
        CoverCase{"no_digits_first_name_wins", {"cover.jpg", "back.jpg"}, "COVER.JPG", "cover.jpg"},
        CoverCase{"underscore_name_outvoted", {"_cover.jpg", "01.jpg", "02.jpg"}, "", "01.jpg"},
        CoverCase{"underscore_name_met_first", {"_cover.jpg", "01.jpg"}, "_COVER.JPG", "_cover.jpg"},
        CoverCase{"digits_in_the_extension_count", {"scan1.jp2", "scan1.jpg"}, "SCAN", "scan1.jpg"}),
    [](const testing::TestParamInfo<CoverCase>& AInfo) { return std::string(AInfo.param.what); });

INSTANTIATE_TEST_SUITE_P(
    EdgeCases, CoverRule,
    testing::Values(
        CoverCase{"single_name_unchanged", {"anything 3 here.png"}, "ANYTHING ", "anything 3 here.png"},
        CoverCase{"no_digits_anywhere", {"zeta.png", "alpha.png", "beta.png"}, "ZETA.PNG", "zeta.png"},
        CoverCase{"repeated_name_becomes_the_majority", {"b.jpg", "a.jpg", "A.JPG"}, "A.JPG", "a.jpg"},
        CoverCase{"names_equal_but_for_case", {"PAGE01.JPG", "page01.jpg"}, "PAGE", "PAGE01.JPG"},
        CoverCase{"numeric_not_text_order", {"10.jpg", "9.jpg"}, "", "9.jpg"},
        CoverCase{"equal_values_earlier_wins", {"0009.jpg", "9.jpg"}, "", "0009.jpg"},
        CoverCase{
            "forty_digit_runs", {"p" + k40DigitsA + ".jpg", "p" + k40DigitsB + ".jpg"}, "P", "p" + k40DigitsB + ".jpg"},
        CoverCase{"forty_digits_against_thirty_nine_nines",
                  {"p1000000000000000000000000000000000000000.jpg", "p999999999999999999999999999999999999999.jpg"},
                  "P",
                  "p999999999999999999999999999999999999999.jpg"},
        // U+FF11 FULLWIDTH DIGIT ONE is no digit: the name has no run and no
        // place among names that begin with a number.
        CoverCase{"full_width_digits_are_letters", {"\xEF\xBC\x91.jpg", "5.jpg", "7.jpg"}, "", "5.jpg"},
        CoverCase{"run_in_the_extension_only", {"scan.jp2", "scan.jpg"}, "SCAN.JP", "scan.jpg"},
        CoverCase{"run_in_the_folder_only", {"Vol 2\\cover.jpg", "Vol 1\\cover.jpg"}, "VOL ", "Vol 1\\cover.jpg"},
        CoverCase{"empty_prefix_needs_a_leading_digit", {"01.jpg", "02.jpg", " 00.jpg"}, "", "01.jpg"}),
    [](const testing::TestParamInfo<CoverCase>& AInfo) { return std::string(AInfo.param.what); });

TEST(CoverSelection, EmptyListIsAnErrorNotAName) {
  TvekCBxClassList registry;
  EXPECT_THROW(registry.SelectCoverName({}), EListError);
}

TEST(CoverSelection, DigitRunsAreTheAsciiDigitsAsWritten) {
  EXPECT_EQ(SplitDigitRuns(u"ch1_p03.jpg"), (TDigitRuns{u"1", u"03"}));
  EXPECT_EQ(SplitDigitRuns(u"007"), (TDigitRuns{u"007"}));
  EXPECT_EQ(SplitDigitRuns(u"a12b3"), (TDigitRuns{u"12", u"3"}));
  EXPECT_EQ(SplitDigitRuns(u"cover.jpg"), TDigitRuns{});
  EXPECT_EQ(SplitDigitRuns(u"\uFF11\uFF12.jpg"), TDigitRuns{});
  EXPECT_EQ(SplitDigitRuns(u"\u00B9\u0661x9"), (TDigitRuns{u"9"}));  // superscript one, Arabic-Indic one
}

TEST(CoverSelection, DigitRunListsCompareRunByRunByValue) {
  struct Case {
    TDigitRuns a, b;
    int sign;
  };
  const Case cases[] = {
      {{u"007"}, {u"7"}, 0},
      {{}, {}, 0},
      {{}, {u"0"}, -1},
      {{u"0"}, {}, 1},
      {{u"9"}, {u"10"}, -1},
      {{u"1", u"2"}, {u"1", u"10"}, -1},
      {{u"1"}, {u"1", u"0"}, -1},
      {{u"2"}, {u"1", u"9"}, 1},
      {{u"000000000000000000000000000000000000000000001"}, {u"1"}, 0},
      {{u"99999999999999999999"}, {u"100000000000000000000"}, -1},
  };
  for (const Case& c : cases) {
    const int result = CompareDigitRuns(c.a, c.b);
    EXPECT_EQ((result > 0) - (result < 0), c.sign)
        << testing::PrintToString(c.a) << " vs " << testing::PrintToString(c.b);
  }
}


// Characters that make prefixes meet or part ignoring case: ASCII and other
// letters in both cases (dotted and dotless i, final sigma, sharp s), digits
// and digit-like letters, separators, and characters a locale's comparison
// may pass over (zero-width space, soft hyphen, hyphen, apostrophe).
const std::u16string kNameCharacters =
    u"aAbBzZiI\u0131\u0130\u00E9\u00C9\u00DF\u03C3\u03C2\u03A3\u0436\u0416"
    u"0123456789\uFF11\u00B9 _.\\/\u200B\u00AD-'";

std::vector<std::u16string> RandomNames(std::mt19937& ARandom) {
  std::uniform_int_distribution<int> countOf(1, 60);
  const int count = countOf(ARandom);
  auto pick = [&](const std::u16string& AFrom) {
    return AFrom[std::uniform_int_distribution<size_t>(0, AFrom.size() - 1)(ARandom)];
  };
  auto randomText = [&](int AMaxLength, const std::u16string& AFrom) {
    std::u16string text;
    const int length = std::uniform_int_distribution<int>(0, AMaxLength)(ARandom);
    for (int i = 0; i < length; ++i) text += pick(AFrom);
    return text;
  };
  // A few stems shared by many names, or a fresh stem for nearly every
  // name; in both cases letters are flipped in case now and then, so that
  // prefixes meet ignoring case and ties are common.
  const bool fewStems = ARandom() % 2 == 0;
  std::vector<std::u16string> stems;
  const int stemCount = fewStems ? 1 + static_cast<int>(ARandom() % 4) : count;
  for (int i = 0; i < stemCount; ++i) stems.push_back(randomText(4, kNameCharacters));
  std::vector<std::u16string> names;
  for (int i = 0; i < count; ++i) {
    std::u16string name = stems[ARandom() % stems.size()];
    for (char16_t& c : name)
      if (ARandom() % 3 == 0) c = platform::UpperCase(std::u16string(1, c))[0];
    if (ARandom() % 4 != 0) name += randomText(3, u"0123456789");
    name += randomText(3, kNameCharacters);
    if (ARandom() % 2 == 0) name.append(u".jpg");
    if (name.empty()) name.push_back(u'x');
    names.push_back(name);
  }
  return names;
}

TEST(CoverSelection, HashedTallyKeysMatchExactlyWhenTheNamesCompareEqual) {
  std::mt19937 random(20240917);
  int equalPairs = 0;
  for (int round = 0; round < 20000; ++round) {
    const std::vector<std::u16string> names = RandomNames(random);
    const std::u16string& a = names[random() % names.size()];
    std::u16string b = a;
    // Mostly near-copies, so that equal pairs are not rare.
    if (random() % 2 == 0 && !b.empty()) b[random() % b.size()] = kNameCharacters[random() % kNameCharacters.size()];
    if (random() % 4 == 0) b = platform::UpperCase(b);
    const bool same = platform::SameText(a, b);
    equalPairs += same;
    ASSERT_EQ(platform::SameTextKey(a) == platform::SameTextKey(b), same)
        << platform::Utf16ToUtf8(a) << " | " << platform::Utf16ToUtf8(b);
  }
  EXPECT_GT(equalPairs, 0);
}

TEST(CoverSelection, AgreesWithThePlainRuleOnRandomNameLists) {
  std::mt19937 random(20240918);
  TvekCBxClassList registry;
  for (int round = 0; round < 3000; ++round) {
    const std::vector<std::u16string> names = RandomNames(random);
    const test::ReferenceResult expected = test::ReferenceCover(names);
    std::string listed;
    for (const std::u16string& name : names) listed.append("[").append(platform::Utf16ToUtf8(name)).append("] ");
    ASSERT_EQ(GetMajorityPrefix(names), expected.majorityPrefix) << listed;
    ASSERT_EQ(registry.SelectCoverName(names), expected.cover) << listed;
  }
}

// Many distinct names without digits: every prefix is met once, so the first
// name wins, wherever it sorts and whatever a hash table makes of the order.
// One name that comes again in other case late in the list outvotes them all.
TEST(CoverSelection, ManyDistinctPrefixesKeepTheRuleAtScale) {
  std::mt19937 random(7);
  std::vector<std::u16string> names;
  for (int i = 0; i < 150000; ++i) {
    std::u16string name = u"page-";
    for (int n = i; n > 0 || name.size() == 5; n /= 26) name += static_cast<char16_t>(u'a' + n % 26);
    names.push_back(name + u".png");
  }
  std::shuffle(names.begin(), names.end(), random);
  TvekCBxClassList registry;
  EXPECT_EQ(registry.SelectCoverName(names), names.front());

  const std::u16string repeated = names[120000];
  names.push_back(platform::UpperCase(repeated));
  EXPECT_EQ(GetMajorityPrefix(names), platform::UpperCase(repeated));
  EXPECT_EQ(registry.SelectCoverName(names), repeated);
}

TEST(CoverSelection, MacOsLeftoversAreNeverPages) {
  struct Case {
    const char16_t* name;
    bool neverAPage;
  };
  const Case cases[] = {
      {u"__MACOSX/Comic/._page01.jpg", true},
      {u"__MACOSX/page01.jpg", true},
      {u"Comic/__MACOSX/Chapter 1/p01.jpg", true},
      {u"__MACOSX\\Comic\\._page01.jpg", true},
      {u"Comic\\__macosx\\p01.jpg", true},
      {u"._page01.jpg", true},
      {u"Comic/._p01.jpg", true},
      {u"Comic\\._p01.jpg", true},
      // Only these two shapes go: look-alikes are pages like any other.
      {u"page01.jpg", false},
      {u"__MACOSX.jpg", false},
      {u"Comic/__MACOSX", false},
      {u"__MACOSX_scans/p01.jpg", false},
      {u"x__MACOSX/p01.jpg", false},
      {u"_page01.jpg", false},
      {u".page01.jpg", false},
      {u"Comic/p._01.jpg", false},
      {u"._Comic/p01.jpg", false},
  };
  for (const Case& c : cases) EXPECT_EQ(IsNeverAPage(c.name), c.neverAPage) << platform::Utf16ToUtf8(c.name);
}

std::vector<std::u16string> PagesOnly(const std::vector<std::u16string>& ANames) {
  std::vector<std::u16string> pages;
  std::copy_if(ANames.begin(), ANames.end(), std::back_inserter(pages),
               [](const std::u16string& name) { return !IsNeverAPage(name); });
  return pages;
}

// Random page lists in the shapes archives have: a few prefixes, numbers with
// and without leading zeros, some in folders.
std::vector<std::u16string> RandomPageNames(std::mt19937& ARandom) {
  static const char* const kPrefixes[] = {"page", "Page ", "p", "", "cover", "scan_", "Vol 1/p", "Vol 2/p", "credits"};
  std::uniform_int_distribution<int> count(1, 12), prefix(0, 8), number(0, 120), zeros(0, 2);
  std::vector<std::u16string> names;
  for (int i = count(ARandom); i > 0; --i) {
    std::string name = kPrefixes[prefix(ARandom)];
    if (name != "cover" && name != "credits") name += std::string(static_cast<size_t>(zeros(ARandom)), '0') +
                                                      std::to_string(number(ARandom));
    names.push_back(U(name + ".jpg"));
  }
  return names;
}

// The AppleDouble twin of a page: its last part prefixed with "._", beside
// the page or, as macOS zips it, under __MACOSX.
std::u16string AppleDoubleTwin(const std::u16string& AName) {
  const size_t slash = AName.find_last_of(u'/');
  const size_t lastPart = slash == std::u16string::npos ? 0 : slash + 1;
  return AName.substr(0, lastPart) + u"._" + AName.substr(lastPart);
}

TEST(CoverSelection, LeavingOutMacOsLeftoversChangesNoOtherChoice) {
  std::mt19937 random(14);
  TvekCBxClassList registry;
  for (int round = 0; round < 2000; ++round) {
    const std::vector<std::u16string> names = RandomPageNames(random);
    // Without leftovers nothing is left out, and the choice stays.
    ASSERT_EQ(PagesOnly(names), names);
    ASSERT_EQ(registry.SelectCoverName(PagesOnly(names)), registry.SelectCoverName(names));
    // With a twin for every page, placed first as re-zipping puts them, and
    // a loose one beside its page, the choice is the one without them.
    std::vector<std::u16string> withTwins;
    for (const std::u16string& name : names) withTwins.push_back(u"__MACOSX/" + AppleDoubleTwin(name));
    for (const std::u16string& name : names) {
      withTwins.push_back(name);
      if (round % 2 == 0) withTwins.push_back(AppleDoubleTwin(name));
    }
    ASSERT_EQ(PagesOnly(withTwins), names);
    ASSERT_EQ(registry.SelectCoverName(PagesOnly(withTwins)), registry.SelectCoverName(names));
  }
}

TEST(CoverSelection, AttemptsFollowTheRuleOnWhatIsLeft) {
  TvekCBxClassList registry;
  const std::vector<std::u16string> names = {u"cover.jpg", u"page03.jpg", u"page01.jpg", u"page02.jpg",
                                             u"page01.jpg", u"page05.jpg", u"page04.jpg"};
  EXPECT_EQ(SelectCoverAttempts(registry, names),
            (std::vector<std::u16string>{u"page01.jpg", u"page01.jpg", u"page02.jpg", u"page03.jpg"}));
  EXPECT_EQ(SelectCoverAttempts(registry, {u"b.jpg", u"a.jpg"}), (std::vector<std::u16string>{u"b.jpg", u"a.jpg"}));
  EXPECT_EQ(SelectCoverAttempts(registry, {u"p2.jpg", u"p1.jpg", u"p3.jpg"}, 2),
            (std::vector<std::u16string>{u"p1.jpg", u"p2.jpg"}));
  EXPECT_TRUE(SelectCoverAttempts(registry, {}).empty());

  std::mt19937 random(41);
  for (int round = 0; round < 500; ++round) {
    const std::vector<std::u16string> list = RandomPageNames(random);
    const std::vector<std::u16string> attempts = SelectCoverAttempts(registry, list);
    ASSERT_EQ(attempts.size(), std::min(list.size(), kMaxCoverAttempts));
    // The first attempt is the rule's own choice: a cover that decodes is
    // exactly what it was.
    ASSERT_EQ(attempts.front(), registry.SelectCoverName(list));
  }
}

// The attempts are worked out one at a time over the caller's list, which
// stays as it was; after the last one there is no other.
TEST(CoverSelection, AttemptsComeOneAtATimeAndLeaveTheNamesAlone) {
  TvekCBxClassList registry;
  const std::vector<std::u16string> names = {u"p3.jpg", u"p1.jpg", u"P1.JPG", u"p2.jpg"};
  const std::vector<std::u16string> before = names;
  TCoverAttempts attempts(registry, names, 3);
  std::vector<std::u16string> given;
  for (std::u16string name; attempts.More();) {
    ASSERT_TRUE(attempts.Next(name));
    given.push_back(name);
  }
  EXPECT_EQ(given, (std::vector<std::u16string>{u"p1.jpg", u"P1.JPG", u"p2.jpg"}));
  std::u16string none = u"unchanged";
  EXPECT_FALSE(attempts.Next(none));
  EXPECT_EQ(none, u"unchanged");
  EXPECT_EQ(names, before);
}

// Many distinct prefixes, as in an archive of names without digits: with
// each met once the first wins; a prefix met twice, in another case and far
// down the list, wins over all of them.
TEST(CoverSelection, TallyOfManyDistinctPrefixes) {
  std::vector<std::u16string> names;
  for (int i = 0; i < 50000; ++i) {
    std::u16string name = u"page-";
    for (int n = i; n > 0 || name.size() == 5; n /= 26) name.push_back(static_cast<char16_t>(u'a' + n % 26));
    names.push_back(name + u".png");
  }
  EXPECT_EQ(GetMajorityPrefix(names), u"PAGE-A.PNG");
  TvekCBxClassList registry;
  EXPECT_EQ(registry.SelectCoverName(names), u"page-a.png");
  names.push_back(u"PAGE-QWERTY.PNG");
  names.insert(names.begin() + 30000, u"page-qwerty.png");
  EXPECT_EQ(GetMajorityPrefix(names), u"PAGE-QWERTY.PNG");
  EXPECT_EQ(registry.SelectCoverName(names), u"page-qwerty.png");
}

}  // namespace
}  // namespace quillet
