#include "images/support/test_imaging.h"

#include <windows.h>
#include <psapi.h>
#include <wincodec.h>

#include <stdexcept>
#include <string>

namespace quillet::test {

namespace {

constexpr GUID kClsidWicImagingFactory = {0xCACAF262, 0x9370, 0x4615, {0xA1, 0x3B, 0x9F, 0x55, 0x39, 0xDA, 0x4C, 0x0A}};
constexpr GUID kIidWicImagingFactory = {0xEC5EC8A9, 0xC395, 0x4314, {0x9C, 0x77, 0x54, 0xD7, 0xA9, 0x35, 0xFF, 0x70}};
constexpr GUID kContainerFormatJpeg = {0x19E4A5AA, 0x5662, 0x4FC5, {0xA0, 0xC0, 0x17, 0x58, 0x02, 0x8E, 0x10, 0x57}};
constexpr GUID kPixelFormat24bppBGR = {0x6FDDC324, 0x4E03, 0x4BFE, {0xB1, 0x85, 0x3D, 0x77, 0x76, 0x8D, 0xC9, 0x0C}};

void Check(HRESULT AStatus, const char* AWhat) {
  if (FAILED(AStatus))
    throw std::runtime_error(std::string("JPEG encoding failed at ") + AWhat + ": 0x" +
                             std::to_string(static_cast<unsigned long>(AStatus)));
}

template <class T>
struct Ref {
  T* p = nullptr;
  ~Ref() {
    if (p != nullptr) p->Release();
  }
  T* operator->() const { return p; }
};

}  // namespace

TImagingThread::TImagingThread() {
  // A single-threaded apartment, as a host's window thread has. No thread of
  // the tests enters the multithreaded apartment, so a thread without COM
  // really has none.
  FInitialized = SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
}

TImagingThread::~TImagingThread() {
  if (FInitialized) CoUninitialize();
}

TBytes EncodeJpeg(int AWidth, int AHeight, const std::vector<TRgba>& APixels) {
  TImagingThread com;
  std::vector<BYTE> bgr;
  for (const TRgba& p : APixels) bgr.insert(bgr.end(), {p.b, p.g, p.r});
  Ref<IWICImagingFactory> factory;
  Check(CoCreateInstance(kClsidWicImagingFactory, nullptr, CLSCTX_INPROC_SERVER, kIidWicImagingFactory,
                         reinterpret_cast<void**>(&factory.p)),
        "factory");
  Ref<IStream> stream;
  Check(CreateStreamOnHGlobal(nullptr, TRUE, &stream.p), "stream");
  Ref<IWICBitmapEncoder> encoder;
  Check(factory->CreateEncoder(kContainerFormatJpeg, nullptr, &encoder.p), "encoder");
  Check(encoder->Initialize(stream.p, WICBitmapEncoderNoCache), "encoder initialisation");
  Ref<IWICBitmapFrameEncode> frame;
  Ref<IPropertyBag2> options;
  Check(encoder->CreateNewFrame(&frame.p, &options.p), "frame");
  PROPBAG2 quality{};
  quality.pstrName = const_cast<LPOLESTR>(L"ImageQuality");
  VARIANT value;
  VariantInit(&value);
  value.vt = VT_R4;
  value.fltVal = 1.0f;
  Check(options->Write(1, &quality, &value), "quality");
  Check(frame->Initialize(options.p), "frame initialisation");
  Check(frame->SetSize(static_cast<UINT>(AWidth), static_cast<UINT>(AHeight)), "size");
  WICPixelFormatGUID format = kPixelFormat24bppBGR;
  Check(frame->SetPixelFormat(&format), "pixel format");
  if (format != kPixelFormat24bppBGR) throw std::runtime_error("JPEG encoder refuses 24-bit BGR");
  const UINT stride = static_cast<UINT>(AWidth) * 3;
  Check(frame->WritePixels(static_cast<UINT>(AHeight), stride, stride * static_cast<UINT>(AHeight), bgr.data()),
        "pixels");
  Check(frame->Commit(), "frame commit");
  Check(encoder->Commit(), "commit");
  HGLOBAL memory = nullptr;
  Check(GetHGlobalFromStream(stream.p, &memory), "memory");
  STATSTG stat{};
  Check(stream->Stat(&stat, STATFLAG_NONAME), "size");
  const auto* bytes = static_cast<const uint8_t*>(GlobalLock(memory));
  TBytes jpeg(bytes, bytes + stat.cbSize.QuadPart);
  GlobalUnlock(memory);
  return jpeg;
}

// GetTempPathW reads TMP from the process's environment block.
// The module decodes every page through WIC: there is no second decoder to
// compare it with.
std::optional<platform::DecodedImage> DecodeWithTheGeneralDecoder(const TBytes&) { return std::nullopt; }

TTemporaryDirectoryOverride::TTemporaryDirectoryOverride(const std::string& ADirectory) {
  char previous[32768];
  const DWORD n = GetEnvironmentVariableA("TMP", previous, sizeof previous);
  if (n > 0 && n < sizeof previous) FPrevious = std::string(previous, n);
  SetEnvironmentVariableA("TMP", ADirectory.c_str());
}

TTemporaryDirectoryOverride::~TTemporaryDirectoryOverride() {
  SetEnvironmentVariableA("TMP", FPrevious ? FPrevious->c_str() : nullptr);
}

uint64_t CurrentMemoryBytes() {
  PROCESS_MEMORY_COUNTERS counters{};
  counters.cb = sizeof counters;
  return GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters) ? counters.WorkingSetSize : 0;
}

uint64_t PeakMemoryBytes() {
  PROCESS_MEMORY_COUNTERS counters{};
  counters.cb = sizeof counters;
  return GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters) ? counters.PeakWorkingSetSize : 0;
}

}  // namespace quillet::test
