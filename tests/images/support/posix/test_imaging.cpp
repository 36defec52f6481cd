#include "images/support/test_imaging.h"

#include <gdk-pixbuf/gdk-pixbuf.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <memory>
#include <stdexcept>

namespace quillet::test {

TImagingThread::TImagingThread() = default;
TImagingThread::~TImagingThread() = default;

TBytes EncodeJpeg(int AWidth, int AHeight, const std::vector<TRgba>& APixels) {
  std::vector<uint8_t> rgb;
  for (const TRgba& p : APixels) rgb.insert(rgb.end(), {p.r, p.g, p.b});
  std::unique_ptr<GdkPixbuf, decltype(&g_object_unref)> pixbuf(
      gdk_pixbuf_new_from_data(rgb.data(), GDK_COLORSPACE_RGB, FALSE, 8, AWidth, AHeight, AWidth * 3, nullptr, nullptr),
      &g_object_unref);
  gchar* buffer = nullptr;
  gsize size = 0;
  GError* error = nullptr;
  if (!gdk_pixbuf_save_to_buffer(pixbuf.get(), &buffer, &size, "jpeg", &error, "quality", "100", nullptr)) {
    const std::string message = error != nullptr ? error->message : "unknown";
    if (error != nullptr) g_error_free(error);
    throw std::runtime_error("JPEG encoding failed: " + message);
  }
  TBytes jpeg(buffer, buffer + size);
  g_free(buffer);
  return jpeg;
}

TTemporaryDirectoryOverride::TTemporaryDirectoryOverride(const std::string& ADirectory) {
  if (const char* previous = std::getenv("TMPDIR")) FPrevious = previous;
  setenv("TMPDIR", ADirectory.c_str(), 1);
}

TTemporaryDirectoryOverride::~TTemporaryDirectoryOverride() {
  if (FPrevious) {
    setenv("TMPDIR", FPrevious->c_str(), 1);
  } else {
    unsetenv("TMPDIR");
  }
}

uint64_t CurrentMemoryBytes() {
  std::ifstream statm("/proc/self/statm");
  uint64_t pages = 0, resident = 0;
  statm >> pages >> resident;
  return resident * static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
}

uint64_t PeakMemoryBytes() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<uint64_t>(usage.ru_maxrss) * 1024;
}

}  // namespace quillet::test
