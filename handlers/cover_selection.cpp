#include "handlers/cover_selection.h"

#include <algorithm>
#include <string>
#include <unordered_map>
#include <utility>

#include "handlers/vekCBxClasses.h"
#include "platform/platform.h"

namespace quillet {

namespace {

bool IsDigit(char16_t c) { return c >= u'0' && c <= u'9'; }

// Whether a name follows the majority's scheme. With an empty prefix, the
// scheme is "begins with a number".
bool IsCandidate(std::u16string_view AName, std::u16string_view AMajorityPrefix) {
  if (AMajorityPrefix.empty()) return !AName.empty() && IsDigit(AName.front());
  return platform::UpperCase(AName).starts_with(AMajorityPrefix);
}

bool IsPathSeparator(char16_t c) { return c == u'/' || c == u'\\'; }

bool IsMacResourceFolder(std::u16string_view APart) {
  static constexpr std::u16string_view kFolder = u"__MACOSX";
  if (APart.size() != kFolder.size()) return false;
  for (size_t i = 0; i < APart.size(); ++i) {
    char16_t c = APart[i];
    if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - u'a' + u'A');
    if (c != kFolder[i]) return false;
  }
  return true;
}

}  // namespace

bool IsNeverAPage(std::u16string_view AEntryName) {
  size_t partStart = 0;
  for (size_t i = 0; i < AEntryName.size(); ++i) {
    if (!IsPathSeparator(AEntryName[i])) continue;
    // Only a folder part counts: a file named __MACOSX is judged by its name.
    if (IsMacResourceFolder(AEntryName.substr(partStart, i - partStart))) return true;
    partStart = i + 1;
  }
  return AEntryName.substr(partStart).starts_with(u"._");
}

std::vector<std::u16string> SelectCoverAttempts(TvekCBxClassList& ARegistry, std::vector<std::u16string> ANames,
                                                size_t AMaxAttempts) {
  std::vector<std::u16string> attempts;
  while (!ANames.empty() && attempts.size() < AMaxAttempts) {
    std::u16string choice = ARegistry.SelectCoverName(ANames);
    // Of names written alike the rule returns the earliest, so that one goes.
    ANames.erase(std::find(ANames.begin(), ANames.end(), choice));
    attempts.push_back(std::move(choice));
  }
  return attempts;
}

TDigitRuns SplitDigitRuns(std::u16string_view AName) {
  TDigitRuns runs;
  std::u16string run;
  for (const char16_t c : AName) {
    if (IsDigit(c)) {
      run.push_back(c);
    } else if (!run.empty()) {
      runs.push_back(std::move(run));
      run.clear();
    }
  }
  if (!run.empty()) runs.push_back(std::move(run));
  return runs;
}

std::u16string GetNamePrefix(std::u16string_view AName) {
  const auto firstDigit = std::find_if(AName.begin(), AName.end(), IsDigit);
  return platform::UpperCase(AName.substr(0, static_cast<size_t>(firstDigit - AName.begin())));
}

std::u16string GetMajorityPrefix(const std::vector<std::u16string>& ANames) {
  // The tally in the order prefixes are first met, each in the form first
  // met, found again through its case-insensitive key: one hash lookup per
  // name, so an archive of many distinct prefixes costs no more per name
  // than one of few.
  std::vector<std::pair<std::u16string, size_t>> tally;
  std::unordered_map<std::string, size_t> tallyIndex;
  tallyIndex.reserve(ANames.size());
  for (const std::u16string& name : ANames) {
    std::u16string prefix = GetNamePrefix(name);
    const auto [known, added] = tallyIndex.try_emplace(platform::SameTextKey(prefix), tally.size());
    if (added) {
      tally.emplace_back(std::move(prefix), 1);
    } else {
      ++tally[known->second].second;
    }
  }
  if (tally.empty()) return {};
  size_t best = 0;
  // Only a strictly higher count replaces the best: of equals, the first met wins.
  for (size_t i = 1; i < tally.size(); ++i)
    if (tally[i].second > tally[best].second) best = i;
  return tally[best].first;
}

int CompareDigitRuns(const TDigitRuns& A, const TDigitRuns& B) {
  for (size_t i = 0;; ++i) {
    const bool inA = i < A.size();
    const bool inB = i < B.size();
    if (!inA && !inB) return 0;
    if (!inA) return -1;
    if (!inB) return 1;
    // The shorter run counts as left-filled with '0' to the longer one's
    // length, then the texts are compared digit by digit: numeric order
    // without any conversion, so no length overflows.
    const std::u16string& a = A[i];
    const std::u16string& b = B[i];
    const size_t length = std::max(a.size(), b.size());
    const size_t padA = length - a.size();
    const size_t padB = length - b.size();
    for (size_t k = 0; k < length; ++k) {
      const char16_t da = k < padA ? u'0' : a[k - padA];
      const char16_t db = k < padB ? u'0' : b[k - padB];
      if (da != db) return da < db ? -1 : 1;
    }
  }
}

std::u16string TvekCBxClassList::SelectCoverName(const std::vector<std::u16string>& ANames) {
  if (ANames.empty()) throw EListError("List index out of bounds (0)");
  std::vector<TDigitRuns> runs;
  runs.reserve(ANames.size());
  for (const std::u16string& name : ANames) runs.push_back(SplitDigitRuns(name));
  const std::u16string majorityPrefix = GetMajorityPrefix(ANames);

  size_t choice = ANames.size();
  for (size_t i = 0; i < ANames.size(); ++i) {
    if (!IsCandidate(ANames[i], majorityPrefix)) continue;
    // Equal runs never replace the choice: the earliest of equals wins.
    if (choice == ANames.size() || CompareDigitRuns(runs[choice], runs[i]) > 0) choice = i;
  }
  // The name the majority prefix came from always passes the filter; only an
  // empty name, which no caller passes, could leave none.
  return choice < ANames.size() ? ANames[choice] : ANames.front();
}

}  // namespace quillet
