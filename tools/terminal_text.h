#pragma once
// Messages on the terminal. File names may hold anything but '/' and NUL,
// escape sequences and line ends included, and a terminal acts on those:
// every message goes out through TerminalSafe.
#include <cstdio>
#include <string>
#include <string_view>

namespace quillet::tool {

// The text with everything a terminal could act on written out as an
// escape: C0 controls (line ends and ESC included) and DEL as \xHH, C1
// controls as \u0080 .. \u009F, each byte that is not part of well-formed
// UTF-8 as \xHH, and the backslash itself as \\, so that an escape and a
// name that spells one stay apart. Everything else is kept as it is.
std::string TerminalSafe(std::string_view text);

// Writes "quillet-thumbnail: " and the message, made safe, and a line end.
void PrintMessage(std::FILE* stream, std::string_view message);

}  // namespace quillet::tool
