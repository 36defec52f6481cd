// The settings file and environment expansion on Linux. The file has the INI
// form that Windows reads with GetPrivateProfileString, and is read the same
// way: sections and keys match ignoring case, a value is trimmed of blanks and
// of one pair of surrounding quotes, and is at most 2047 UTF-16 units long.
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "platform/platform.h"

namespace quillet::platform {

namespace {

constexpr size_t kMaxProfileValue = 2047;

std::u16string TrimBlanks(std::u16string_view text) {
  size_t b = 0, e = text.size();
  while (b < e && (text[b] == u' ' || text[b] == u'\t' || text[b] == u'\r')) ++b;
  while (e > b && (text[e - 1] == u' ' || text[e - 1] == u'\t' || text[e - 1] == u'\r')) --e;
  return std::u16string(text.substr(b, e - b));
}

bool IsNameStart(char16_t c) { return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z') || c == u'_'; }
bool IsNameChar(char16_t c) { return IsNameStart(c) || (c >= u'0' && c <= u'9'); }

}  // namespace

std::u16string ReadProfileString(const std::u16string& fileName, const std::u16string& section,
                                 const std::u16string& key, const std::u16string& defaultValue) {
  std::ifstream in(Utf16ToUtf8(fileName), std::ios::binary);
  if (!in) return defaultValue;
  std::stringstream whole;
  whole << in.rdbuf();
  std::string bytes = whole.str();
  if (bytes.rfind("\xEF\xBB\xBF", 0) == 0) bytes.erase(0, 3);
  const std::u16string text = Utf8ToUtf16(bytes);

  bool inSection = false;
  size_t pos = 0;
  while (pos <= text.size()) {
    size_t end = text.find(u'\n', pos);
    if (end == std::u16string::npos) end = text.size();
    const std::u16string line = TrimBlanks(std::u16string_view(text).substr(pos, end - pos));
    pos = end + 1;
    if (line.empty() || line[0] == u';') continue;
    if (line[0] == u'[') {
      const size_t close = line.find(u']');
      const std::u16string name = TrimBlanks(std::u16string_view(line).substr(1, close == std::u16string::npos ? std::u16string::npos : close - 1));
      inSection = SameText(name, section);
      continue;
    }
    if (!inSection) continue;
    const size_t eq = line.find(u'=');
    if (eq == std::u16string::npos) continue;
    if (!SameText(TrimBlanks(std::u16string_view(line).substr(0, eq)), key)) continue;
    std::u16string value = TrimBlanks(std::u16string_view(line).substr(eq + 1));
    if (value.size() >= 2 && (value.front() == u'"' || value.front() == u'\'') && value.back() == value.front()) {
      value = value.substr(1, value.size() - 2);
    }
    if (value.size() > kMaxProfileValue) value.resize(kMaxProfileValue);
    return value;
  }
  return defaultValue;
}

uint32_t ExpandEnvironmentText(const std::u16string& text, std::u16string& expanded) {
  std::u16string out;
  size_t i = 0;
  while (i < text.size()) {
    if (text[i] == u'$' && i + 1 < text.size()) {
      size_t nameBegin = i + 1, nameEnd = 0, next = 0;
      if (text[nameBegin] == u'{') {
        const size_t close = text.find(u'}', nameBegin + 1);
        if (close != std::u16string::npos && close > nameBegin + 1) {
          bool valid = IsNameStart(text[nameBegin + 1]);
          for (size_t k = nameBegin + 1; k < close && valid; ++k) valid = IsNameChar(text[k]);
          if (valid) {
            nameEnd = close;
            next = close + 1;
            ++nameBegin;
          }
        }
      } else if (IsNameStart(text[nameBegin])) {
        nameEnd = nameBegin;
        while (nameEnd < text.size() && IsNameChar(text[nameEnd])) ++nameEnd;
        next = nameEnd;
      }
      if (nameEnd > nameBegin) {
        const std::string name = Utf16ToUtf8(std::u16string_view(text).substr(nameBegin, nameEnd - nameBegin));
        if (const char* value = std::getenv(name.c_str()); value != nullptr) {
          out += Utf8ToUtf16(value);
          i = next;
          continue;
        }
        // An unknown name stays as it was written.
        out.append(text, i, next - i);
        i = next;
        continue;
      }
    }
    out.push_back(text[i]);
    ++i;
  }
  expanded = out;
  return static_cast<uint32_t>(out.size() + 1);
}

}  // namespace quillet::platform
