// The choice of the cover among the image entries of an archive.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "handlers/cover_selection.h"
#include "handlers/vekCBxClasses.h"
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

}  // namespace
}  // namespace quillet
