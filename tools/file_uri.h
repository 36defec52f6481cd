#pragma once
// file:// URIs, as desktops write them: the thumbnailer is handed one, and
// the thumbnail cache names each thumbnail after the MD5 of one.
#include <string>
#include <string_view>

namespace quillet::tool {

// The URI of an absolute path given as bytes with '/' separators: "file://"
// and the path, every byte outside letters, digits and -._~!$&'()*+,=:@/
// written as %XX with upper-case hex digits (the form GLib and the desktops
// that use it write, so that the MD5 of the text matches theirs).
std::string FileUriFromPath(std::string_view absolutePath);

// The local path that a file:// URI names (host part empty or "localhost"),
// percent-decoded, as bytes. Anything that is not such a URI is returned as it
// is, so a plain path passes through unchanged.
std::string PathFromFileUri(std::string_view input);

}  // namespace quillet::tool
