#pragma once
// Temporary files that receive an extracted archive entry, and their removal.
#include <string>

namespace quillet {

// The deletion rule of an extracted file: its attributes made normal again
// (on Linux: writable by its owner), then the file deleted; both results are
// ignored, so a file that cannot be deleted simply stays.
void DeleteTempFile(const std::u16string& AFileName) noexcept;

// Deletes a temporary file by the rule above when it goes out of scope, once
// armed with the file's name: whatever happens after the arming, also an
// exception, the file does not outlive the request.
class TTempFileCleanup {
 public:
  TTempFileCleanup() = default;
  explicit TTempFileCleanup(std::u16string AFileName) : FFileName(std::move(AFileName)), FArmed(true) {}
  ~TTempFileCleanup() { Run(); }
  TTempFileCleanup(const TTempFileCleanup&) = delete;
  TTempFileCleanup& operator=(const TTempFileCleanup&) = delete;

  void Arm(std::u16string AFileName) {
    Run();
    FFileName = std::move(AFileName);
    FArmed = true;
  }
  // Deletes the file now rather than at the end of the scope.
  void Run() noexcept {
    if (FArmed) DeleteTempFile(FFileName);
    FArmed = false;
  }

 private:
  std::u16string FFileName;
  bool FArmed = false;
};

}  // namespace quillet
