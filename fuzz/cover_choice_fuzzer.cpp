// SelectCoverName over name lists, checked against the rule written out
// plainly. An input is a list of names, one per line, in UTF-8; the hashed
// tally must choose exactly what the plain rule chooses.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "handlers/cover_selection.h"
#include "handlers/vekCBxClasses.h"
#include "images/support/plain_cover_rule.h"
#include "platform/platform.h"

namespace {

quillet::TvekCBxClassList* Registry = nullptr;

// The plain rule is quadratic in the list; real lists this long are
// covered by the tests of the hashed tally at scale.
constexpr size_t kMostNames = 400;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  Registry = new quillet::TvekCBxClassList();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<std::u16string> names;
  std::string line;
  auto take = [&] {
    if (!line.empty() && names.size() < kMostNames) names.push_back(quillet::platform::Utf8ToUtf16(line));
    line.clear();
  };
  for (size_t i = 0; i < size; ++i) {
    if (data[i] == '\n') take();
    else line.push_back(static_cast<char>(data[i]));
  }
  take();
  // A name that is empty as UTF-16 never reaches the rule: the archive
  // back-ends give every entry a name.
  std::erase_if(names, [](const std::u16string& name) { return name.empty(); });
  if (names.empty()) return 0;

  const quillet::test::ReferenceResult expected = quillet::test::ReferenceCover(names);
  const std::u16string chosen = Registry->SelectCoverName(names);
  if (chosen != expected.cover || quillet::GetMajorityPrefix(names) != expected.majorityPrefix) {
    std::fprintf(stderr, "cover choice differs from the plain rule: chose \"%s\", the rule \"%s\"\n",
                 quillet::platform::Utf16ToUtf8(chosen).c_str(), quillet::platform::Utf16ToUtf8(expected.cover).c_str());
    std::abort();
  }
  const std::vector<std::u16string> attempts = quillet::SelectCoverAttempts(*Registry, names);
  if (attempts.empty() || attempts.front() != chosen || attempts.size() > quillet::kMaxCoverAttempts) std::abort();
  return 0;
}
