#include "handlers/image_loading.h"

#include <cstring>
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

// The file's bytes, in memory that is written once: nothing zeroes it first.
struct TFileBytes {
  std::unique_ptr<uint8_t[]> Data;
  size_t Size = 0;
};

TFileBytes ReadWholeFile(platform::File& AFile) {
  const uint64_t size = AFile.Size();
  // Refused before anything is read: the host must not be made to hold it.
  if (size > kMaxImageFileSize) throw Exception("Invalid image");
  TFileBytes bytes{std::make_unique_for_overwrite<uint8_t[]>(static_cast<size_t>(size)), static_cast<size_t>(size)};
  size_t done = 0;
  while (done < bytes.Size) {
    const uint32_t n = AFile.Read(bytes.Data.get() + done, static_cast<uint32_t>(bytes.Size - done));
    if (n == 0) platform::RaiseLastOSError();
    done += n;
  }
  return bytes;
}

// Colours premultiplied by alpha, in place: (c * a + 127) div 255.
void Premultiply(uint8_t* APixels, size_t ACount) {
  uint8_t* pixel = APixels;
  for (size_t i = 0; i < ACount; ++i, pixel += 4) {
    const unsigned alpha = pixel[3];
    if (alpha == 255) continue;
    for (int c = 0; c < 3; ++c) pixel[c] = static_cast<uint8_t>((pixel[c] * alpha + 127) / 255);
  }
}

// The decoder writes straight into the pixel memory of the bitmap that is
// returned: a bottom-up 32-bit DIB section, made once the size is known.
class TDibTarget final : public platform::TPixelTarget {
 public:
  uint8_t* Rows(int32_t AWidth, int32_t AHeight, ptrdiff_t& ARowStep) override {
    const ptrdiff_t stride = static_cast<ptrdiff_t>(AWidth) * 4;
    if (!FBitmap) {
      if (!platform::ImageSizeAccepted(AWidth, AHeight)) throw Exception("Invalid image");
      TScreenDC screen;
      // A positive height: rows bottom-up, as the scaler expects of a decoded image.
      const BITMAPINFO header = Header32(AWidth, AHeight);
      void* bits = nullptr;
      FBitmap.reset(CreateDIBSection(screen.Handle(), &header, DIB_RGB_COLORS, &bits, nullptr, 0));
      if (!FBitmap || bits == nullptr) platform::RaiseLastOSError();
      FBits = static_cast<uint8_t*>(bits);
      FWidth = AWidth;
      FHeight = AHeight;
    } else if (AWidth != FWidth || AHeight != FHeight) {
      throw Exception("Invalid image");
    }
    ARowStep = -stride;
    return FBits + static_cast<ptrdiff_t>(FHeight - 1) * stride;
  }

  void AllOpaque() override { FOpaque = true; }

  // The bitmap, premultiplied; the caller owns it.
  HBITMAP Finish() {
    if (!FBitmap) throw Exception("Invalid image");
    if (!FOpaque) Premultiply(FBits, static_cast<size_t>(FWidth) * static_cast<size_t>(FHeight));
    return FBitmap.release();
  }

 private:
  TBitmapRef FBitmap;
  uint8_t* FBits = nullptr;
  int32_t FWidth = 0;
  int32_t FHeight = 0;
  bool FOpaque = false;
};

}  // namespace

HBITMAP CreatePremultipliedDib(const platform::DecodedImage& AImage) {
  const int32_t width = AImage.width;
  const int32_t height = AImage.height;
  if (!platform::ImageSizeAccepted(width, height) ||
      AImage.pixels.size() != static_cast<size_t>(width) * 4 * static_cast<size_t>(height)) {
    throw Exception("Invalid image");
  }
  TDibTarget target;
  ptrdiff_t rowStep = 0;
  uint8_t* top = target.Rows(width, height, rowStep);
  const size_t rowBytes = static_cast<size_t>(width) * 4;
  for (int32_t y = 0; y < height; ++y)
    std::memcpy(top + static_cast<ptrdiff_t>(y) * rowStep, AImage.pixels.data() + static_cast<size_t>(y) * rowBytes,
                rowBytes);
  return target.Finish();
}

HBITMAP TvekCBxClassList::LoadImageFile(const std::u16string& AImageFileName) {
  TDibTarget target;
  {
    const std::unique_ptr<platform::File> file = platform::OpenFileForReading(AImageFileName);
    const TFileBytes data = ReadWholeFile(*file);
    // Refused before a decoder is handed the data: some decode all of it as
    // soon as they are, whatever size they would report afterwards.
    if (DeclaresTooManyPixels(data.Data.get(), data.Size) || DeclaresHeaderBeyondItsData(data.Data.get(), data.Size))
      throw Exception("Invalid image");
    platform::DecodeFirstFrame(data.Data.get(), data.Size, target);
  }  // the file and its copy in memory go before the scaler runs
  return target.Finish();
}

}  // namespace quillet
