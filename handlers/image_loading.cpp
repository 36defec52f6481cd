#include "handlers/image_loading.h"

#include <cstring>
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

// The file's bytes, in memory that is written once: nothing zeroes it first.
// The buffer has room behind the data for a JPEG's completion, so that
// completing it never moves the data.
struct TFileBytes {
  std::unique_ptr<uint8_t[]> Data;
  size_t Size = 0;
};

TFileBytes ReadWholeFile(platform::File& AFile) {
  const uint64_t size = AFile.Size();
  // Refused before anything is read: the host must not be made to hold it.
  if (size > kMaxImageFileSize) throw Exception("Invalid image");
  TFileBytes bytes{std::make_unique_for_overwrite<uint8_t[]>(static_cast<size_t>(size) + sizeof kJpegFillerAndEndMarker),
                   static_cast<size_t>(size)};
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

  // Whether the pixels written so far are those of AImage (rows top-down).
  bool Holds(const platform::DecodedImage& AImage) const {
    if (!FBitmap || AImage.width != FWidth || AImage.height != FHeight) return false;
    const size_t rowBytes = static_cast<size_t>(FWidth) * 4;
    if (AImage.pixels.size() != rowBytes * static_cast<size_t>(FHeight)) return false;
    for (int32_t y = 0; y < FHeight; ++y) {
      const uint8_t* stored = FBits + static_cast<size_t>(FHeight - 1 - y) * rowBytes;
      if (std::memcmp(stored, AImage.pixels.data() + static_cast<size_t>(y) * rowBytes, rowBytes) != 0) return false;
    }
    return true;
  }

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

bool IsJpeg(const TFileBytes& AData) {
  return AData.Size >= 3 && AData.Data[0] == 0xFF && AData.Data[1] == 0xD8 && AData.Data[2] == 0xFF;
}

bool EndsWithJpegEndMarker(const TFileBytes& AData) {
  return AData.Size >= 2 && AData.Data[AData.Size - 2] == 0xFF && AData.Data[AData.Size - 1] == 0xD9;
}

// The data with ATail put after it, in the room the buffer keeps for it.
size_t WithTail(TFileBytes& AData, std::span<const uint8_t> ATail) {
  std::memcpy(AData.Data.get() + AData.Size, ATail.data(), ATail.size());
  return AData.Size + ATail.size();
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
void DecodeImageData(TFileBytes& AData, TDibTarget& ATarget) {
  if (!IsJpeg(AData) || EndsWithJpegEndMarker(AData)) {
    platform::DecodeFirstFrame(AData.Data.get(), AData.Size, ATarget);
    return;
  }
  platform::DecodeFirstFrame(AData.Data.get(), WithTail(AData, kJpegEndMarker), ATarget);
  platform::DecodedImage filled;
  try {
    filled = platform::DecodeFirstFrame(AData.Data.get(), WithTail(AData, kJpegFillerAndEndMarker));
  } catch (const Exception&) {
    throw Exception("Invalid image");
  }
  if (!ATarget.Holds(filled)) throw Exception("Invalid image");
}

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
    TFileBytes data = ReadWholeFile(*file);
    // Refused before a decoder is handed the data: some decode all of it as
    // soon as they are, whatever size they would report afterwards.
    if (!HasPageImageSignature(data.Data.get(), data.Size) || DeclaresTooManyPixels(data.Data.get(), data.Size) ||
        DeclaresHeaderBeyondItsData(data.Data.get(), data.Size) || HasTooCostlyJpegScans(data.Data.get(), data.Size))
      throw Exception("Invalid image");
    DecodeImageData(data, target);
  }  // the file and its copy in memory go before the scaler runs
  return target.Finish();
}

}  // namespace quillet
