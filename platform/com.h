#pragma once
// What the 7-Zip back-end needs from the platform beyond the COM basics of
// platform_com.h: the text of the library's wide strings, its BSTR
// allocator, date formatting, and which IUnknown layout a library may be
// trusted to share with us. One declaration here, one implementation per
// platform (platform/posix/com.cpp, platform/win32/com.cpp).
#include <string>

#include "platform/platform.h"
#include "platform_com.h"

namespace quillet::platform {

// The text of a wide string that the library handed out (a BSTR or a
// VT_LPWSTR value), up to its first NUL, in UTF-16. On Windows the units are
// taken as they are. On Linux each 4-byte unit holds one UTF-16 unit; a unit
// beyond 0xFFFF, as a differently built library might hand out, is written as
// its surrogate pair rather than cut short.
std::u16string WideTextToUtf16(const wchar_t* text);

// The reverse, for strings that we hand to the library or that tests make.
std::wstring Utf16ToWideText(std::u16string_view text);

// Makes SysFreeString free the strings of this loaded 7-Zip library. On
// Linux the library allocates its BSTRs itself and exports the matching
// SysFreeString, which is looked up here; on Windows BSTRs belong to the
// system and nothing is done. Never raises.
void UseLibraryStrings(LibraryHandle library) noexcept;

// The date part of an OLE date, in the user's short date format.
std::u16string FormatShortDate(DATE value);
// A file time (UTC) as the user's short date followed by the long time.
// Raises the OS error when it cannot be converted to a calendar time.
std::u16string FormatFileTime(const FILETIME& value);

// Whether a 7-Zip library that does not report the IUnknown layout it was
// built with (it lacks the GetModuleProp export) shares ours. Windows has one
// layout, so yes. On Linux, builds from before that export put a virtual
// destructor into IUnknown, which shifts every method: calling one of them
// with our layout would crash the host, so no.
extern const bool kUnreportedComLayoutIsOurs;

}  // namespace quillet::platform
