// quillet-thumbnail on Linux: arguments arrive as UTF-8 bytes.
#include <string>
#include <vector>

#include "platform/platform.h"
#include "tools/thumbnail_host.h"

int main(int argc, char** argv) {
  std::vector<std::u16string> arguments;
  for (int i = 1; i < argc; ++i) arguments.push_back(quillet::platform::Utf8ToUtf16(argv[i]));
  return quillet::tool::RunThumbnailTool(arguments);
}
