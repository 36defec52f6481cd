#include "handlers/cover_selection.h"

#include <algorithm>
#include <string>
#include <cstdint>
#include <functional>
#include <string_view>
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
  // Upper-casing maps each unit to one unit, so only as much of the name as
  // the prefix is long needs it.
  if (AName.size() < AMajorityPrefix.size()) return false;
  return platform::UpperCase(AName.substr(0, AMajorityPrefix.size())) == AMajorityPrefix;
}

// The prefix tally: the distinct prefixes in the order first met, each with
// its count and the name it was first met in, found again through its
// case-insensitive key. The keys lie end to end in one buffer and an
// open-addressing table of twice as many slots as names finds them, so a
// name costs one lookup and no allocation of its own, however many distinct
// prefixes an archive holds.
class TPrefixTally {
 public:
  struct TEntry {
    uint32_t KeyStart;
    uint32_t KeyLength;
    uint32_t FirstName;  // position of the name the prefix was first met in
    uint32_t Count;
  };

  explicit TPrefixTally(size_t ANames) {
    size_t slots = 16;
    while (slots < ANames * 2) slots *= 2;
    FSlots.assign(slots, TSlot{0, kEmptySlot});
    FEntries.reserve(ANames);
  }

  void Count(std::string_view AKey, size_t AName) {
    const size_t hash = std::hash<std::string_view>{}(AKey);
    // The slot keeps part of the hash: a probe that meets another key seldom
    // has to look at that key.
    const auto tag = static_cast<uint32_t>(hash >> 32);
    const size_t mask = FSlots.size() - 1;
    for (size_t slot = hash & mask;; slot = (slot + 1) & mask) {
      TSlot& probe = FSlots[slot];
      if (probe.Entry == kEmptySlot) {
        // Positions are kept in 32 bits; no list of names that fits in
        // memory comes near, but one that did would fail, not wrap.
        if (FKeys.size() + AKey.size() > UINT32_MAX || AName >= UINT32_MAX) throw EListError("Too many names");
        probe = {tag, static_cast<uint32_t>(FEntries.size())};
        FEntries.push_back({static_cast<uint32_t>(FKeys.size()), static_cast<uint32_t>(AKey.size()),
                            static_cast<uint32_t>(AName), 1});
        FKeys.append(AKey);
        return;
      }
      if (probe.Tag != tag) continue;
      TEntry& known = FEntries[probe.Entry];
      if (std::string_view(FKeys).substr(known.KeyStart, known.KeyLength) == AKey) {
        ++known.Count;
        return;
      }
    }
  }

  const std::vector<TEntry>& Entries() const { return FEntries; }

 private:
  struct TSlot {
    uint32_t Tag;
    uint32_t Entry;
  };
  static constexpr uint32_t kEmptySlot = UINT32_MAX;
  std::vector<TSlot> FSlots;
  std::vector<TEntry> FEntries;
  std::string FKeys;
};

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

TCoverAttempts::TCoverAttempts(TvekCBxClassList& ARegistry, const std::vector<std::u16string>& ANames,
                               size_t AMaxAttempts)
    : FRegistry(ARegistry), FNames(ANames), FTaken(ANames.size(), false), FLeft(AMaxAttempts) {}

bool TCoverAttempts::Next(std::u16string& AName) {
  if (!More()) return false;
  if (FTakenCount == 0) {
    AName = FRegistry.SelectCoverName(FNames);
  } else {
    // Only when a page did not decode: the rule again over the names left.
    std::vector<std::u16string> left;
    left.reserve(FNames.size() - FTakenCount);
    for (size_t i = 0; i < FNames.size(); ++i)
      if (!FTaken[i]) left.push_back(FNames[i]);
    AName = FRegistry.SelectCoverName(left);
  }
  --FLeft;
  // Of names written alike the rule returns the earliest, so that one goes.
  for (size_t i = 0; i < FNames.size(); ++i) {
    if (!FTaken[i] && FNames[i] == AName) {
      FTaken[i] = true;
      ++FTakenCount;
      break;
    }
  }
  return true;
}

std::vector<std::u16string> SelectCoverAttempts(TvekCBxClassList& ARegistry, std::vector<std::u16string> ANames,
                                                size_t AMaxAttempts) {
  const std::vector<std::u16string> names = std::move(ANames);
  TCoverAttempts source(ARegistry, names, AMaxAttempts);
  std::vector<std::u16string> attempts;
  for (std::u16string name; source.Next(name);) attempts.push_back(std::move(name));
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
  if (ANames.empty()) return {};
  TPrefixTally tally(ANames.size());
  std::string key;
  for (size_t i = 0; i < ANames.size(); ++i) {
    platform::SameTextKeyInto(GetNamePrefix(ANames[i]), key);
    tally.Count(key, i);
  }
  const std::vector<TPrefixTally::TEntry>& entries = tally.Entries();
  size_t best = 0;
  // Only a strictly higher count replaces the best: of equals, the first met wins.
  for (size_t i = 1; i < entries.size(); ++i)
    if (entries[i].Count > entries[best].Count) best = i;
  // The form first met.
  return GetNamePrefix(ANames[entries[best].FirstName]);
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
  const std::u16string majorityPrefix = GetMajorityPrefix(ANames);

  // Only candidates need their runs, and only the choice's are kept.
  size_t choice = ANames.size();
  TDigitRuns choiceRuns;
  for (size_t i = 0; i < ANames.size(); ++i) {
    if (!IsCandidate(ANames[i], majorityPrefix)) continue;
    TDigitRuns runs = SplitDigitRuns(ANames[i]);
    // Equal runs never replace the choice: the earliest of equals wins.
    if (choice == ANames.size() || CompareDigitRuns(choiceRuns, runs) > 0) {
      choice = i;
      choiceRuns = std::move(runs);
    }
  }
  // The name the majority prefix came from always passes the filter; only an
  // empty name, which no caller passes, could leave none.
  return choice < ANames.size() ? ANames[choice] : ANames.front();
}

}  // namespace quillet
