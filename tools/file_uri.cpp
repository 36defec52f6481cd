#include "tools/file_uri.h"

namespace quillet::tool {

namespace {

bool KeptAsItIs(unsigned char c) {
  if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
  constexpr std::string_view kSafe = "-._~!$&'()*+,=:@/";
  return kSafe.find(static_cast<char>(c)) != std::string_view::npos;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool StartsWithIgnoringCase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i) {
    char c = text[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != prefix[i]) return false;
  }
  return true;
}

}  // namespace

std::string FileUriFromPath(std::string_view absolutePath) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string uri = "file://";
  uri.reserve(uri.size() + absolutePath.size() * 3);
  for (char raw : absolutePath) {
    const auto c = static_cast<unsigned char>(raw);
    if (KeptAsItIs(c)) {
      uri.push_back(raw);
    } else {
      uri.push_back('%');
      uri.push_back(kDigits[c >> 4]);
      uri.push_back(kDigits[c & 15]);
    }
  }
  return uri;
}

std::string PathFromFileUri(std::string_view input) {
  if (!StartsWithIgnoringCase(input, "file://")) return std::string(input);
  const std::string_view rest = input.substr(7);
  const size_t slash = rest.find('/');
  if (slash == std::string_view::npos) return std::string(input);
  const std::string_view host = rest.substr(0, slash);
  const bool local = host.empty() || (host.size() == 9 && StartsWithIgnoringCase(host, "localhost"));
  if (!local) return std::string(input);
  const std::string_view encoded = rest.substr(slash);
  std::string path;
  path.reserve(encoded.size());
  for (size_t i = 0; i < encoded.size(); ++i) {
    if (encoded[i] == '%' && i + 2 < encoded.size() && HexValue(encoded[i + 1]) >= 0 &&
        HexValue(encoded[i + 2]) >= 0) {
      path.push_back(static_cast<char>(HexValue(encoded[i + 1]) * 16 + HexValue(encoded[i + 2])));
      i += 2;
    } else {
      path.push_back(encoded[i]);
    }
  }
  return path;
}

}  // namespace quillet::tool
