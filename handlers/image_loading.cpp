#include "handlers/image_loading.h"

#include <memory>
#include <span>
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

// What a JPEG without its end marker is completed with: filler that stands
// for data that never came, then the end marker. Both decodes of such a JPEG
// (see DecodeImageData) run on the file's own buffer with one of these
// after it.
constexpr uint8_t kJpegEndMarker[] = {0xFF, 0xD9};
constexpr uint8_t kJpegFillerAndEndMarker[] = {0x55, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55,
                                               0x55, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55,
                                               0x55, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55,
                                               0x55, 0x55, 0x55, 0x55, 0x55, 0xFF, 0xD9};

// The whole file, in a buffer with room for a JPEG's completion behind it,
// so that completing it never moves the data.
std::vector<uint8_t> ReadWholeFile(platform::File& AFile) {
  const uint64_t size = AFile.Size();
  // Refused before anything is read: the host must not be made to hold it.
  if (size > kMaxImageFileSize) throw Exception("Invalid image");
  std::vector<uint8_t> data;
  data.reserve(static_cast<size_t>(size) + sizeof kJpegFillerAndEndMarker);
  data.resize(static_cast<size_t>(size));
  size_t done = 0;
  while (done < data.size()) {
    const uint32_t n = AFile.Read(data.data() + done, static_cast<uint32_t>(data.size() - done));
    if (n == 0) platform::RaiseLastOSError();
    done += n;
  }
  return data;
}

bool IsJpeg(const std::vector<uint8_t>& AData) {
  return AData.size() >= 3 && AData[0] == 0xFF && AData[1] == 0xD8 && AData[2] == 0xFF;
}

bool EndsWithJpegEndMarker(const std::vector<uint8_t>& AData) {
  const size_t size = AData.size();
  return size >= 2 && AData[size - 2] == 0xFF && AData[size - 1] == 0xD9;
}

// AData with ATail put after it, decoded; AData is left as it was. The
// buffer has room for the tail (ReadWholeFile), so nothing is copied.
platform::DecodedImage DecodeWithTail(std::vector<uint8_t>& AData, std::span<const uint8_t> ATail) {
  const size_t size = AData.size();
  AData.insert(AData.end(), ATail.begin(), ATail.end());
  try {
    platform::DecodedImage image = platform::DecodeFirstFrame(AData.data(), AData.size());
    AData.resize(size);
    return image;
  } catch (...) {
    AData.resize(size);
    throw;
  }
}

// A JPEG whose data just ends without its end marker (a download cut short,
// a writer that never closed the file) may still hold every row. The
// decoders disagree on such data: libjpeg through gdk-pixbuf fills the rows
// that never came with grey and only warns, while the imaging component
// under Wine refuses the whole file. So such a JPEG is decoded with its end
// marker put back, and once more with filler bytes before the end marker:
// rows that all arrived do not depend on what follows them, while rows made
// up for missing data do. It is a whole image only when the two agree. (A
// whole JPEG with something after its end marker pays for the second decode
// and passes.)
platform::DecodedImage DecodeImageData(std::vector<uint8_t>& AData) {
  if (!IsJpeg(AData) || EndsWithJpegEndMarker(AData)) return platform::DecodeFirstFrame(AData.data(), AData.size());
  platform::DecodedImage image = DecodeWithTail(AData, kJpegEndMarker);
  platform::DecodedImage filled;
  try {
    filled = DecodeWithTail(AData, kJpegFillerAndEndMarker);
  } catch (const Exception&) {
    throw Exception("Invalid image");
  }
  if (filled.width != image.width || filled.height != image.height || filled.pixels != image.pixels) {
    throw Exception("Invalid image");
  }
  return image;
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
    if (DeclaresTooManyPixels(data.data(), data.size())) throw Exception("Invalid image");
    image = DecodeImageData(data);
  }  // the file and its copy in memory go before the bitmap is made
  return CreatePremultipliedDib(image);
}

}  // namespace quillet
