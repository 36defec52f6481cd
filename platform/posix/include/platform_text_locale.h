#pragma once
// The C.UTF-8 character-type locale that text handling on Linux uses whatever
// locale the host runs in. Made on first use; (locale_t)0 when the system
// has none.
#include <locale.h>

namespace quillet::platform {
locale_t Utf8TextLocale() noexcept;
}  // namespace quillet::platform
