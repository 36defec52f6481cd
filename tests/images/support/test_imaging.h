#pragma once
// What the image tests need of the platform beyond the module's own layer.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "images/support/image_fixtures.h"

namespace quillet::test {

// Sets the calling thread up for the imaging component as a host's thread is
// set up: COM initialised on Windows (the module never does it itself),
// nothing to do on Linux. Undone when it goes.
class TImagingThread {
 public:
  TImagingThread();
  ~TImagingThread();
  TImagingThread(const TImagingThread&) = delete;
  TImagingThread& operator=(const TImagingThread&) = delete;

 private:
  bool FInitialized = false;
};

// An opaque baseline JPEG of the pixels (top row first, alpha ignored), made
// by the platform's own encoder at its best quality.
TBytes EncodeJpeg(int AWidth, int AHeight, const std::vector<TRgba>& APixels);

// Points the platform's temporary directory (TMPDIR on Linux, TMP on
// Windows) at ADirectory, written as given, for as long as it lives.
class TTemporaryDirectoryOverride {
 public:
  explicit TTemporaryDirectoryOverride(const std::string& ADirectory);
  ~TTemporaryDirectoryOverride();
  TTemporaryDirectoryOverride(const TTemporaryDirectoryOverride&) = delete;
  TTemporaryDirectoryOverride& operator=(const TTemporaryDirectoryOverride&) = delete;

 private:
  std::optional<std::string> FPrevious;
};

// The process's resident memory now and at its peak so far, in bytes.
uint64_t CurrentMemoryBytes();
uint64_t PeakMemoryBytes();

}  // namespace quillet::test
