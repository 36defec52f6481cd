// The imaging component on Windows: Windows Imaging Component (WIC). These
// calls run on the host's thread as the host set it up; the module does not
// initialise COM for them.
#include "platform/image_decoding.h"

#include <algorithm>

#include <windows.h>
#include <wincodec.h>

#include <string>

#include "platform/platform.h"

namespace quillet::platform {

namespace {

// The published identifiers, spelt out here so that the code asks for exactly
// these whatever version of the SDK headers it is built with.
constexpr GUID kClsidWicImagingFactory = {0xCACAF262, 0x9370, 0x4615, {0xA1, 0x3B, 0x9F, 0x55, 0x39, 0xDA, 0x4C, 0x0A}};
constexpr GUID kIidWicImagingFactory = {0xEC5EC8A9, 0xC395, 0x4314, {0x9C, 0x77, 0x54, 0xD7, 0xA9, 0x35, 0xFF, 0x70}};
constexpr GUID kIidWicBitmapDecoderInfo = {
    0xD8CD007F, 0xD08F, 0x4191, {0x9B, 0xFC, 0x23, 0x6E, 0xA7, 0xF0, 0xE4, 0xB5}};
constexpr GUID kWicPixelFormat32bppBGRA = {
    0x6FDDC324, 0x4E03, 0x4BFE, {0xB1, 0x85, 0x3D, 0x77, 0x76, 0x8D, 0xC9, 0x0F}};

// In-process server or local server, as the factory may be registered either way.
constexpr DWORD kFactoryClassContext = CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER;

// One reference to a COM object, released when it goes.
template <class T>
class ComRef {
 public:
  ComRef() = default;
  ~ComRef() { Reset(); }
  ComRef(const ComRef&) = delete;
  ComRef& operator=(const ComRef&) = delete;

  T* operator->() const { return object_; }
  T* Get() const { return object_; }
  T** Put() {
    Reset();
    return &object_;
  }
  void** PutVoid() { return reinterpret_cast<void**>(Put()); }
  void Reset() {
    if (object_ != nullptr) object_->Release();
    object_ = nullptr;
  }

 private:
  T* object_ = nullptr;
};

// What a failed status means to the caller.
enum class Failure {
  Status,        // an error that carries the status and the platform's text for it
  InvalidImage,  // the data is not an image this machine can decode
};

// The one check of every status that comes back from the imaging component.
void CheckResult(HRESULT status, Failure failure = Failure::Status) {
  if (SUCCEEDED(status)) return;
  if (failure == Failure::InvalidImage) throw Exception("Invalid image");
  throw EOleSysError(static_cast<int32_t>(status), SystemMessageForHResult(static_cast<int32_t>(status)));
}

void CreateFactory(ComRef<IWICImagingFactory>& factory) {
  CheckResult(CoCreateInstance(kClsidWicImagingFactory, nullptr, kFactoryClassContext, kIidWicImagingFactory,
                               factory.PutVoid()));
}

void CheckSize(UINT width, UINT height) {
  if (!ImageSizeAccepted(width, height)) throw Exception("Invalid image");
}

}  // namespace

void EnumerateImageDecoders(const std::function<void(std::u16string_view declared)>& visit) {
  ComRef<IWICImagingFactory> factory;
  CreateFactory(factory);
  ComRef<IEnumUnknown> components;
  CheckResult(factory->CreateComponentEnumerator(WICDecoder, WICComponentEnumerateDefault, components.Put()));
  for (;;) {
    ComRef<IUnknown> component;
    // Anything but S_OK, S_FALSE at the end or a failure, ends the list.
    if (components->Next(1, component.Put(), nullptr) != S_OK) break;
    ComRef<IWICBitmapDecoderInfo> decoder;
    if (FAILED(component->QueryInterface(kIidWicBitmapDecoderInfo, decoder.PutVoid()))) continue;
    UINT length = 0;
    CheckResult(decoder->GetFileExtensions(0, nullptr, &length));
    if (length <= 1) continue;
    std::wstring declared(length, L'\0');
    CheckResult(decoder->GetFileExtensions(length, declared.data(), &length));
    declared.resize(declared.size() - 1);  // the terminating zero
    visit(std::u16string_view(reinterpret_cast<const char16_t*>(declared.data()), declared.size()));
  }
}

void DecodeFirstFrame(const uint8_t* data, size_t size, TPixelTarget& ATarget) {
  ComRef<IWICImagingFactory> factory;
  CreateFactory(factory);

  ComRef<IWICStream> stream;
  CheckResult(factory->CreateStream(stream.Put()), Failure::InvalidImage);
  if (size > MAXDWORD) throw Exception("Invalid image");
  // The stream only reads the memory it is given.
  CheckResult(stream->InitializeFromMemory(const_cast<BYTE*>(data), static_cast<DWORD>(size)), Failure::InvalidImage);
  ComRef<IWICBitmapDecoder> decoder;
  CheckResult(factory->CreateDecoderFromStream(stream.Get(), nullptr, WICDecodeMetadataCacheOnDemand, decoder.Put()),
              Failure::InvalidImage);
  GUID container{};
  CheckResult(decoder->GetContainerFormat(&container), Failure::InvalidImage);
  ComRef<IWICBitmapFrameDecode> frame;
  CheckResult(decoder->GetFrame(0, frame.Put()), Failure::InvalidImage);
  // The size is known before any pixel memory is taken: a small file can
  // declare a huge frame.
  UINT width = 0, height = 0;
  CheckResult(frame->GetSize(&width, &height), Failure::InvalidImage);
  CheckSize(width, height);

  // Converted straight from the frame, which decodes into the buffer below
  // and nowhere else: a cached copy of the frame would hold it in its own
  // pixel format, up to 16 bytes a pixel where the size check counts 4.
  ComRef<IWICBitmapSource> converted;
  CheckResult(WICConvertBitmapSource(kWicPixelFormat32bppBGRA, frame.Get(), converted.Put()));
  const UINT stride = width * 4;
  const UINT bufferSize = stride * height;  // fits: CheckSize
  ptrdiff_t rowStep = 0;
  uint8_t* const top = ATarget.Rows(static_cast<int32_t>(width), static_cast<int32_t>(height), rowStep);
  // The decoder writes rows top-down from the lowest address: memory that
  // holds them bottom-up is filled the same way and turned round after.
  const bool bottomUp = rowStep < 0;
  uint8_t* const lowest = bottomUp ? top + static_cast<ptrdiff_t>(height - 1) * rowStep : top;
  // The frame is decoded here: damaged data fails now.
  CheckResult(converted->CopyPixels(nullptr, stride, bufferSize, lowest), Failure::InvalidImage);
  if (bottomUp) {
    for (UINT y = 0; y < height / 2; ++y) {
      std::swap_ranges(lowest + static_cast<size_t>(y) * stride, lowest + static_cast<size_t>(y + 1) * stride,
                       lowest + static_cast<size_t>(height - 1 - y) * stride);
    }
  }
}

}  // namespace quillet::platform
