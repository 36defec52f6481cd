// The module's face towards the host: the four Lister exports. They convert
// what the host passes, hand it to the registry, and let no failure through.
#include <cstdint>
#include <cstring>
#include <string>

#include "handlers/vekCBxClasses.h"
#include "plugin/module_lifetime.h"
#include "platform/platform.h"

using quillet::CBxClassList;
namespace platform = quillet::platform;

extern "C" {

QUILLET_EXPORT void ListGetDetectString(char* DetectString, int32_t maxlen) {
  if (maxlen == 0) return;
  try {
    const quillet::TModuleRequest request;
    if (!request.Admitted() || DetectString == nullptr || CBxClassList == nullptr) return;
    const std::string detect = CBxClassList->GetDetectString();
    // Never a detect string cut short: one that does not fit is empty.
    if (static_cast<int64_t>(detect.size()) + 1 > maxlen) {
      DetectString[0] = '\0';
    } else {
      std::memcpy(DetectString, detect.c_str(), detect.size() + 1);
    }
  } catch (...) {
  }
}

QUILLET_EXPORT void ListSetDefaultParams(void* /*dps*/) {}

QUILLET_EXPORT HBITMAP ListGetPreviewBitmapW(const char16_t* FileToLoad, int32_t width, int32_t height,
                                            const char* contentbuf, int32_t contentbuflen) {
  try {
    const quillet::TModuleRequest request;
    if (!request.Admitted() || CBxClassList == nullptr) return nullptr;
    const std::u16string fileName = FileToLoad != nullptr ? std::u16string(FileToLoad) : std::u16string();
    // Only a regular file is an archive. Looked at here, without waiting, so
    // that no library that opens the file by its name meets a FIFO or a
    // device.
    platform::OpenFileForReading(fileName);
    return CBxClassList->CreatePreview(fileName, contentbuf, contentbuflen, width, height);
  } catch (...) {
    return nullptr;
  }
}

QUILLET_EXPORT HBITMAP ListGetPreviewBitmap(const char* FileToLoad, int32_t width, int32_t height,
                                           const char* contentbuf, int32_t contentbuflen) {
  try {
    const std::u16string fileName =
        FileToLoad != nullptr ? quillet::platform::AnsiToUtf16(FileToLoad) : std::u16string();
    return ListGetPreviewBitmapW(fileName.c_str(), width, height, contentbuf, contentbuflen);
  } catch (...) {
    return nullptr;
  }
}

}  // extern "C"
