#pragma once
// The choice of the cover among an archive's image entries, by their names
// alone: among the names that follow the most common naming scheme (the text
// before the first digit), the one whose numbers are smallest.
#include <string>
#include <string_view>
#include <vector>

namespace quillet {

// The runs of consecutive digits '0' to '9' of a name, left to right, as
// written (leading zeros kept). No other character counts as a digit.
using TDigitRuns = std::vector<std::u16string>;
TDigitRuns SplitDigitRuns(std::u16string_view AName);

// The characters of a name before its first digit, or the whole name when it
// has none, upper-cased.
std::u16string GetNamePrefix(std::u16string_view AName);

// The prefix most names share (prefixes met ignoring case, kept in the form
// first met); of prefixes equally common, the one met first. Empty for an
// empty list.
std::u16string GetMajorityPrefix(const std::vector<std::u16string>& ANames);

// Three-way comparison of digit-run lists, run by run by numeric value (of any
// length, leading zeros ignored); the first unequal pair decides, and a list
// that runs out first is smaller. Negative, zero or positive.
int CompareDigitRuns(const TDigitRuns& A, const TDigitRuns& B);

}  // namespace quillet
