#pragma once
// The choice of the cover among an archive's image entries, by their names
// alone: among the names that follow the most common naming scheme (the text
// before the first digit), the one whose numbers are smallest.
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace quillet {

class TvekCBxClassList;

// Whether an entry is a file that macOS writes beside the real ones and that
// is never a page, whatever its extension says: anything under a __MACOSX
// folder (at any depth, '/' or '\' between the parts) and AppleDouble files,
// whose last part begins with "._". The folder name is matched ignoring ASCII
// case: a folder copied through a case-insensitive file system may come back
// as __macosx and still holds only resource forks. Nothing else is excluded.
bool IsNeverAPage(std::u16string_view AEntryName);

// How many pages are tried, at most, before an archive gets no cover: the
// chosen one and three more.
constexpr size_t kMaxCoverAttempts = 4;

// The pages to try as the cover, one at a time: the naming rule's choice
// among the names, then its choice among the names left, and so on, at most
// AMaxAttempts names. The first is always SelectCoverName of all the names.
// Each choice is made only when it is asked for: an archive whose first
// choice decodes pays for one pass of the rule over its names, not for one
// per possible attempt.
class TCoverAttempts {
 public:
  // ANames must outlive this object; it is read, never changed.
  TCoverAttempts(TvekCBxClassList& ARegistry, const std::vector<std::u16string>& ANames,
                 size_t AMaxAttempts = kMaxCoverAttempts);
  // The next page to try into AName; false when none is left.
  bool Next(std::u16string& AName);
  // Whether Next has another page to give.
  bool More() const { return FLeft > 0 && FTakenCount < FNames.size(); }

 private:
  TvekCBxClassList& FRegistry;
  const std::vector<std::u16string>& FNames;
  std::vector<bool> FTaken;  // the names already given, by position
  size_t FTakenCount = 0;
  size_t FLeft;
};

// All the pages TCoverAttempts would give, in order.
std::vector<std::u16string> SelectCoverAttempts(TvekCBxClassList& ARegistry, std::vector<std::u16string> ANames,
                                                size_t AMaxAttempts = kMaxCoverAttempts);

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
