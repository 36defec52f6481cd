// quillet-thumbnail on Windows: arguments arrive as UTF-16.
#include <windows.h>

#include <string>
#include <vector>

#include "tools/thumbnail_host.h"

int wmain(int argc, wchar_t** argv) {
  std::vector<std::u16string> arguments;
  for (int i = 1; i < argc; ++i) arguments.emplace_back(reinterpret_cast<const char16_t*>(argv[i]));
  return quillet::tool::RunThumbnailTool(arguments);
}
