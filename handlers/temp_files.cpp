#include "handlers/temp_files.h"

#include "handlers/vekCBxClasses.h"
#include "platform/platform.h"

namespace quillet {

void DeleteTempFile(const std::u16string& AFileName) noexcept { platform::ResetAttributesAndDelete(AFileName); }

std::u16string TvekCBxClassList::MakeTempFileName(const std::u16string& AEntryName) {
  std::u16string directory = platform::TemporaryDirectory();
  if (directory.empty() || directory.back() != platform::kDirectorySeparator)
    directory.push_back(platform::kDirectorySeparator);
  const std::u16string extension = ExtractFileExt(AEntryName);
  const std::u16string stem = directory + u"CBx-" +
                              platform::Utf8ToUtf16(std::to_string(platform::CurrentProcessId())) + u"-" +
                              platform::Utf8ToUtf16(std::to_string(platform::CurrentThreadId())) + u"-";
  for (;;) {
    int32_t value;
    {
      std::lock_guard<std::mutex> lock(FLock);
      // Counted in unsigned arithmetic: past the largest value the counter
      // wraps to negative numbers instead of overflowing.
      FTempCounter = static_cast<int32_t>(static_cast<uint32_t>(FTempCounter) + 1u);
      value = FTempCounter;
    }
    std::u16string candidate = stem + platform::Utf8ToUtf16(std::to_string(value)) + extension;
    // Anything at the name makes it taken: a file, a directory, or a link,
    // dangling or not. The name is predictable, so another user of a shared
    // temporary directory could have planted a link there.
    if (!platform::PathOccupied(candidate)) return candidate;
  }
}

}  // namespace quillet
