#pragma once
// What differs between the platforms where the module meets the unrar
// library: the width and encoding of its wide characters, the calling
// convention of its functions and callback, and the locale it converts names
// with.
//
// The library's wide text is wchar_t: UTF-16 on Windows, where it is the same
// as ours, and UTF-32 code points on Linux, where every name has to be
// converted on the way in and out.
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

// QUILLET_UNRAR_CALL: the calling convention of the library's functions and
// of the callback it calls (the platform's convention for exported functions).
#include "platform_unrar_call.h"

namespace quillet::platform {

using UnrarChar = wchar_t;

// Our UTF-16 text as the library's wide text, NUL-terminated. A lone
// surrogate, which no file name can hold, becomes U+FFFD.
std::vector<UnrarChar> ToUnrarText(std::u16string_view text);
// The library's wide text up to its first NUL, reading at most `capacity`
// characters, as UTF-16. A value that is no Unicode scalar becomes U+FFFD.
std::u16string FromUnrarText(const UnrarChar* text, size_t capacity);

// On Linux the library turns wide names into multibyte ones (and back) with
// the calling thread's locale, so a host running in the C locale could not
// open an archive, or write a file, whose path is not ASCII. While an object
// of this class lives, the calling thread alone converts as UTF-8; the
// process-wide locale and every other thread are left alone. On Windows the
// library takes wide names as they are, and this does nothing.
class UnrarLocaleScope {
 public:
  UnrarLocaleScope() noexcept;
  ~UnrarLocaleScope();
  UnrarLocaleScope(const UnrarLocaleScope&) = delete;
  UnrarLocaleScope& operator=(const UnrarLocaleScope&) = delete;

 private:
  void* FPrevious;  // the thread's locale before, to put back; null for none
};

}  // namespace quillet::platform
