#pragma once
// What the image tests need of the platform beyond the module's own layer.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "images/support/image_fixtures.h"
#include "platform/image_decoding.h"

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

// The image as the platform's general decoder gives it, pixels as
// platform::DecodedImage describes them: gdk-pixbuf's loaders on Linux, where
// the module decodes JPEG and PNG pages through their libraries itself, so
// that the two can be compared. Nothing on Windows, where the module decodes
// every page through WIC. Raises when the decoder refuses the data.
std::optional<platform::DecodedImage> DecodeWithTheGeneralDecoder(const TBytes& AData);

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
