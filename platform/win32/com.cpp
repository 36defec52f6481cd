// The 7-Zip library's COM basics on Windows: the system's own.
#include "platform/com.h"

#include <vector>

namespace quillet::platform {

const bool kUnreportedComLayoutIsOurs = true;

std::u16string WideTextToUtf16(const wchar_t* text) {
  if (text == nullptr) return {};
  return std::u16string(reinterpret_cast<const char16_t*>(text));
}

std::wstring Utf16ToWideText(std::u16string_view text) {
  return std::wstring(reinterpret_cast<const wchar_t*>(text.data()), text.size());
}

void UseLibraryStrings(LibraryHandle) noexcept {}

namespace {

std::u16string DatePart(const SYSTEMTIME& time) {
  const int n = GetDateFormatW(LOCALE_USER_DEFAULT, DATE_SHORTDATE, &time, nullptr, nullptr, 0);
  if (n <= 1) return {};
  std::vector<wchar_t> text(static_cast<size_t>(n));
  GetDateFormatW(LOCALE_USER_DEFAULT, DATE_SHORTDATE, &time, nullptr, text.data(), n);
  return std::u16string(reinterpret_cast<const char16_t*>(text.data()));
}

std::u16string TimePart(const SYSTEMTIME& time) {
  const int n = GetTimeFormatW(LOCALE_USER_DEFAULT, 0, &time, nullptr, nullptr, 0);
  if (n <= 1) return {};
  std::vector<wchar_t> text(static_cast<size_t>(n));
  GetTimeFormatW(LOCALE_USER_DEFAULT, 0, &time, nullptr, text.data(), n);
  return std::u16string(reinterpret_cast<const char16_t*>(text.data()));
}

}  // namespace

std::u16string FormatShortDate(DATE value) {
  SYSTEMTIME time{};
  if (!VariantTimeToSystemTime(value, &time)) RaiseOSError(ERROR_INVALID_PARAMETER);
  return DatePart(time);
}

std::u16string FormatFileTime(const FILETIME& value) {
  SYSTEMTIME time{};
  if (!FileTimeToSystemTime(&value, &time)) RaiseLastOSError();
  return DatePart(time) + u" " + TimePart(time);
}

}  // namespace quillet::platform
