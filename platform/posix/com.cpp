// The 7-Zip library's COM basics on Linux: its wide strings, its BSTR
// allocator, and dates in the C library's locale.
#include <atomic>
#include <cerrno>
#include <cmath>
#include <ctime>

#include "platform/com.h"

namespace {

using SysFreeStringProc = void (*)(BSTR);
// Every 7-Zip handler binds the same loaded library, so one process-wide
// routine serves, as the system's SysFreeString does on Windows.
std::atomic<SysFreeStringProc> LibrarySysFreeString{nullptr};

}  // namespace

void SysFreeString(BSTR text) noexcept {
  if (text == nullptr) return;
  // Without a bound library the string cannot have come from it; leaking is
  // then the only safe choice, since its allocator is unknown.
  if (const SysFreeStringProc free = LibrarySysFreeString.load(std::memory_order_acquire)) free(text);
}

namespace quillet::platform {

const bool kUnreportedComLayoutIsOurs = false;

std::u16string WideTextToUtf16(const wchar_t* text) {
  std::u16string out;
  if (text == nullptr) return out;
  for (const wchar_t* p = text; *p != L'\0'; ++p) {
    const auto unit = static_cast<uint32_t>(*p);
    if (unit <= 0xFFFF) {
      out.push_back(static_cast<char16_t>(unit));
    } else if (unit <= 0x10FFFF) {
      out.push_back(static_cast<char16_t>(0xD800 + ((unit - 0x10000) >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + ((unit - 0x10000) & 0x3FF)));
    } else {
      out.push_back(u'\uFFFD');
    }
  }
  return out;
}

std::wstring Utf16ToWideText(std::u16string_view text) {
  std::wstring out;
  out.reserve(text.size());
  for (const char16_t unit : text) out.push_back(static_cast<wchar_t>(unit));
  return out;
}

void UseLibraryStrings(LibraryHandle library) noexcept {
  if (library == nullptr) return;
  const auto free = reinterpret_cast<SysFreeStringProc>(GetLibrarySymbol(library, "SysFreeString"));
  if (free != nullptr) LibrarySysFreeString.store(free, std::memory_order_release);
}

namespace {

// The civil date of a day count from 1970-01-01 (proleptic Gregorian).
void CivilFromDays(int64_t days, int& year, int& month, int& day) {
  days += 719468;
  const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const int64_t dayOfEra = days - era * 146097;
  const int64_t yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
  const int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  const int64_t monthIndex = (5 * dayOfYear + 2) / 153;
  day = static_cast<int>(dayOfYear - (153 * monthIndex + 2) / 5 + 1);
  month = static_cast<int>(monthIndex < 10 ? monthIndex + 3 : monthIndex - 9);
  year = static_cast<int>(yearOfEra + era * 400 + (month <= 2 ? 1 : 0));
}

std::u16string Format(const char* format, const std::tm& time) {
  char text[128] = {};
  const size_t n = std::strftime(text, sizeof text, format, &time);
  return Utf8ToUtf16(std::string_view(text, n));
}

std::tm CalendarTime(int64_t daysSince1970, int64_t secondsOfDay) {
  std::tm time{};
  int year = 0, month = 0, day = 0;
  CivilFromDays(daysSince1970, year, month, day);
  time.tm_year = year - 1900;
  time.tm_mon = month - 1;
  time.tm_mday = day;
  time.tm_hour = static_cast<int>(secondsOfDay / 3600);
  time.tm_min = static_cast<int>(secondsOfDay / 60 % 60);
  time.tm_sec = static_cast<int>(secondsOfDay % 60);
  time.tm_wday = static_cast<int>(((daysSince1970 % 7) + 11) % 7);  // 1970-01-01 was a Thursday
  return time;
}

}  // namespace

std::u16string FormatShortDate(DATE value) {
  // An OLE date counts days from 1899-12-30; its whole part is the day, also
  // for dates before that (the fraction then counts forwards from the day).
  if (!std::isfinite(value) || std::fabs(value) > 2958465.0) RaiseOSError(EINVAL);
  const auto days = static_cast<int64_t>(std::trunc(value)) - 25569;
  return Format("%x", CalendarTime(days, 0));
}

std::u16string FormatFileTime(const FILETIME& value) {
  const uint64_t ticks = (static_cast<uint64_t>(value.dwHighDateTime) << 32) | value.dwLowDateTime;
  // Beyond this the time has no calendar form on Windows either.
  if (ticks > 0x7FFFFFFFFFFFFFFFull) RaiseOSError(EINVAL);
  const uint64_t seconds = ticks / 10000000u;
  const auto days = static_cast<int64_t>(seconds / 86400u) - 134774;  // 1601-01-01 to 1970-01-01
  return Format("%x %X", CalendarTime(days, static_cast<int64_t>(seconds % 86400u)));
}

}  // namespace quillet::platform
