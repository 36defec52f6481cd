// LoadImageFile over image bytes: each input is an extracted page, decoded
// by the platform's decoders with every check the module makes.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "handlers/vekCBxClasses.h"
#include "platform/platform.h"
#include "platform_gdi.h"

namespace {

quillet::TvekCBxClassList* Registry = nullptr;
std::u16string PagePath;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  Registry = new quillet::TvekCBxClassList();
  const char* folder = std::getenv("TMPDIR");
  PagePath = quillet::platform::Utf8ToUtf16(std::string(folder != nullptr ? folder : "/tmp") + "/quillet-fuzz-page-" +
                                            std::to_string(getpid()));
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string path = quillet::platform::Utf16ToUtf8(PagePath);
  FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) return 0;
  std::fwrite(data, 1, size, file);
  std::fclose(file);
  try {
    HBITMAP bitmap = Registry->LoadImageFile(PagePath);
    if (bitmap != nullptr) DeleteObject(bitmap);
  } catch (...) {
    // A page that does not decode is refused by an exception: that is the
    // expected way out, and the fuzzer is after crashes, leaks and hangs.
  }
  std::remove(path.c_str());
  return 0;
}
