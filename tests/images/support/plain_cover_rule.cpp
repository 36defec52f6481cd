#include "images/support/plain_cover_rule.h"

#include <algorithm>

#include "platform/platform.h"

namespace quillet::test {

namespace {

bool ReferenceIsDigit(char16_t c) { return c >= u'0' && c <= u'9'; }

}  // namespace

// The cover by the rule step by step: digit runs per name, a tally searched
// entry by entry with the platform's case-insensitive comparison, the
// majority by strictly greater counts, the begins-with filter, and the
// smallest run list, the earliest of equals.
ReferenceResult ReferenceCover(const std::vector<std::u16string>& ANames) {
  std::vector<std::vector<std::u16string>> runs;
  for (const std::u16string& name : ANames) {
    std::vector<std::u16string> list;
    std::u16string current;
    for (const char16_t c : name) {
      if (ReferenceIsDigit(c)) {
        current += c;
      } else {
        if (!current.empty()) list.push_back(current);
        current.clear();
      }
    }
    if (!current.empty()) list.push_back(current);
    runs.push_back(list);
  }

  std::vector<std::u16string> prefixes;
  std::vector<int> counts;
  for (const std::u16string& name : ANames) {
    size_t firstDigit = 0;
    while (firstDigit < name.size() && !ReferenceIsDigit(name[firstDigit])) ++firstDigit;
    const std::u16string prefix = platform::UpperCase(name.substr(0, firstDigit));
    size_t i = 0;
    while (i < prefixes.size() && !platform::SameText(prefixes[i], prefix)) ++i;
    if (i == prefixes.size()) {
      prefixes.push_back(prefix);
      counts.push_back(1);
    } else {
      ++counts[i];
    }
  }
  size_t best = 0;
  for (size_t i = 1; i < prefixes.size(); ++i)
    if (counts[i] > counts[best]) best = i;
  const std::u16string majority = prefixes[best];

  auto compare = [](const std::vector<std::u16string>& a, const std::vector<std::u16string>& b) {
    for (size_t i = 0;; ++i) {
      if (i >= a.size() && i >= b.size()) return 0;
      if (i >= a.size()) return -1;
      if (i >= b.size()) return 1;
      const size_t length = std::max(a[i].size(), b[i].size());
      const std::u16string x = std::u16string(length - a[i].size(), u'0') + a[i];
      const std::u16string y = std::u16string(length - b[i].size(), u'0') + b[i];
      if (x != y) return x < y ? -1 : 1;
    }
  };
  size_t choice = ANames.size();
  for (size_t i = 0; i < ANames.size(); ++i) {
    const std::u16string& name = ANames[i];
    const bool candidate = majority.empty() ? ReferenceIsDigit(name[0])
                                            : platform::UpperCase(name).substr(0, majority.size()) == majority;
    if (!candidate) continue;
    if (choice == ANames.size() || compare(runs[choice], runs[i]) > 0) choice = i;
  }
  return {majority, ANames[choice]};
}

}  // namespace quillet::test
