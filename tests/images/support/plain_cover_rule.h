#pragma once
// The cover-naming rule written out plainly, step by step and without any
// shortcut, to check the module's hashed tally against: tests and the
// cover-choice fuzz target use it.
#include <string>
#include <vector>

namespace quillet::test {

struct ReferenceResult {
  std::u16string majorityPrefix;
  std::u16string cover;
};

// The names must not be empty, nor any name in it.
ReferenceResult ReferenceCover(const std::vector<std::u16string>& ANames);

}  // namespace quillet::test
