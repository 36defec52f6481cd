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

std::optional<platform::DecodedImage> DecodeWithTheGeneralDecoder(const TBytes& AData) {
  std::unique_ptr<GdkPixbufLoader, decltype(&g_object_unref)> loader(gdk_pixbuf_loader_new(), &g_object_unref);
  GError* error = nullptr;
  bool ok = gdk_pixbuf_loader_write(loader.get(), AData.data(), AData.size(), &error) != FALSE;
  if (ok) {
    ok = gdk_pixbuf_loader_close(loader.get(), &error) != FALSE;
  } else {
    gdk_pixbuf_loader_close(loader.get(), nullptr);
  }
  if (error != nullptr) g_error_free(error);
  GdkPixbuf* pixbuf = gdk_pixbuf_loader_get_pixbuf(loader.get());
  if (!ok || pixbuf == nullptr) throw std::runtime_error("gdk-pixbuf refuses the image");
  platform::DecodedImage image;
  image.width = gdk_pixbuf_get_width(pixbuf);
  image.height = gdk_pixbuf_get_height(pixbuf);
  const int channels = gdk_pixbuf_get_n_channels(pixbuf);
  const bool alpha = gdk_pixbuf_get_has_alpha(pixbuf) != FALSE;
  const uint8_t* rows = gdk_pixbuf_read_pixels(pixbuf);
  const auto stride = static_cast<size_t>(gdk_pixbuf_get_rowstride(pixbuf));
  for (int y = 0; y < image.height; ++y) {
    const uint8_t* pixel = rows + static_cast<size_t>(y) * stride;
    for (int x = 0; x < image.width; ++x, pixel += channels)
      image.pixels.insert(image.pixels.end(), {pixel[2], pixel[1], pixel[0], alpha ? pixel[3] : uint8_t{255}});
  }
  return image;
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
