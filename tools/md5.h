#pragma once
// MD5 digests, for the file names of the freedesktop thumbnail cache (the
// digest of a file's URI names its thumbnail). Not for anything secret.
#include <string>
#include <string_view>

namespace quillet::tool {

// The digest of the bytes, as 32 lower-case hexadecimal digits.
std::string Md5Hex(std::string_view bytes);

}  // namespace quillet::tool
