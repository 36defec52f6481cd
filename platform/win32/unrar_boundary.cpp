// The unrar library's wide text on Windows is UTF-16, like ours.
#include "platform/unrar_boundary.h"

namespace quillet::platform {

static_assert(sizeof(UnrarChar) == 2, "the Windows library's wchar_t holds UTF-16");

std::vector<UnrarChar> ToUnrarText(std::u16string_view text) {
  std::vector<UnrarChar> out(text.begin(), text.end());
  out.push_back(0);
  return out;
}

std::u16string FromUnrarText(const UnrarChar* text, size_t capacity) {
  std::u16string out;
  for (size_t i = 0; i < capacity && text[i] != 0; ++i) out.push_back(static_cast<char16_t>(text[i]));
  return out;
}

// The library takes wide names as they are: there is no locale to set.
UnrarLocaleScope::UnrarLocaleScope() noexcept : FPrevious(nullptr) {}
UnrarLocaleScope::~UnrarLocaleScope() = default;

}  // namespace quillet::platform
