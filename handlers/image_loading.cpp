#include "handlers/image_loading.h"

#include <memory>
#include <type_traits>
#include <vector>

#include "handlers/image_dimensions.h"
#include "handlers/vekCBxClasses.h"
#include "platform/platform.h"

namespace quillet {

namespace {

struct BitmapDeleter {
  void operator()(HBITMAP ABitmap) const { DeleteObject(ABitmap); }
};
using TBitmapRef = std::unique_ptr<std::remove_pointer_t<HBITMAP>, BitmapDeleter>;

// The screen device context, released again on every path.
class TScreenDC {
 public:
  TScreenDC() : FDC(GetDC(nullptr)) {}
  ~TScreenDC() {
    if (FDC != nullptr) ReleaseDC(nullptr, FDC);
  }
  TScreenDC(const TScreenDC&) = delete;
  TScreenDC& operator=(const TScreenDC&) = delete;
  HDC Handle() const { return FDC; }

 private:
  HDC FDC;
};

BITMAPINFO Header32(int32_t AWidth, int32_t AHeight) {
  BITMAPINFO info{};
  info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
  info.bmiHeader.biWidth = AWidth;
  info.bmiHeader.biHeight = AHeight;
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  info.bmiHeader.biCompression = BI_RGB;
  return info;
}

std::vector<uint8_t> ReadWholeFile(platform::File& AFile) {
  const uint64_t size = AFile.Size();
  // Refused before anything is read: the host must not be made to hold it.
  if (size > kMaxImageFileSize) throw Exception("Invalid image");
  std::vector<uint8_t> data(static_cast<size_t>(size));
  size_t done = 0;
  while (done < data.size()) {
    const uint32_t n = AFile.Read(data.data() + done, static_cast<uint32_t>(data.size() - done));
    if (n == 0) platform::RaiseLastOSError();
    done += n;
  }
  return data;
}

}  // namespace

HBITMAP CreatePremultipliedDib(const platform::DecodedImage& AImage) {
  const int32_t width = AImage.width;
  const int32_t height = AImage.height;
  if (!platform::ImageSizeAccepted(width, height) ||
      AImage.pixels.size() != static_cast<size_t>(width) * 4 * static_cast<size_t>(height)) {
    throw Exception("Invalid image");
  }
  TScreenDC screen;
  // A positive height: rows bottom-up, as the scaler expects of a decoded image.
  const BITMAPINFO dibHeader = Header32(width, height);
  void* bits = nullptr;
  TBitmapRef bitmap(CreateDIBSection(screen.Handle(), &dibHeader, DIB_RGB_COLORS, &bits, nullptr, 0));
  if (!bitmap || bits == nullptr) platform::RaiseLastOSError();
  // The pixels come top row first; a negative height says so, and the copy
  // turns them round.
  const BITMAPINFO bufferHeader = Header32(width, -height);
  if (SetDIBits(screen.Handle(), bitmap.get(), 0, static_cast<UINT>(height), AImage.pixels.data(), &bufferHeader,
                DIB_RGB_COLORS) != height) {
    platform::RaiseLastOSError();
  }
  auto* pixel = static_cast<uint8_t*>(bits);
  const size_t count = static_cast<size_t>(width) * static_cast<size_t>(height);
  for (size_t i = 0; i < count; ++i, pixel += 4) {
    const unsigned alpha = pixel[3];
    if (alpha == 255) continue;
    for (int c = 0; c < 3; ++c) pixel[c] = static_cast<uint8_t>((pixel[c] * alpha + 127) / 255);
  }
  return bitmap.release();
}

HBITMAP TvekCBxClassList::LoadImageFile(const std::u16string& AImageFileName) {
  platform::DecodedImage image;
  {
    const std::unique_ptr<platform::File> file = platform::OpenFileForReading(AImageFileName);
    std::vector<uint8_t> data = ReadWholeFile(*file);
    // Refused before a decoder is handed the data: some decode all of it as
    // soon as they are, whatever size they would report afterwards.
    if (DeclaresTooManyPixels(data.data(), data.size()) || DeclaresHeaderBeyondItsData(data.data(), data.size()))
      throw Exception("Invalid image");
    image = platform::DecodeFirstFrame(data.data(), data.size());
  }  // the file and its copy in memory go before the bitmap is made
  return CreatePremultipliedDib(image);
}

}  // namespace quillet
