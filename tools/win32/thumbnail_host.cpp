// quillet-thumbnail on Windows: the module's bitmaps are GDI DIB sections, and
// PNG files are written with the Windows Imaging Component's PNG encoder.
#include <windows.h>
#include <wincodec.h>

#include <cstring>

#include "platform/platform.h"
#include "tools/thumbnail_host.h"

namespace quillet::tool {

const char16_t* const kModuleFileName = u"Quillet.wlx64";

bool ReadBitmapPixels(void* bitmap, BitmapPixels& pixels) {
  BITMAP bm{};
  if (bitmap == nullptr || GetObjectW(static_cast<HBITMAP>(bitmap), sizeof bm, &bm) == 0) return false;
  if (bm.bmWidth <= 0 || bm.bmHeight == 0 || (bm.bmBitsPixel != 24 && bm.bmBitsPixel != 32)) return false;
  const LONG rows = bm.bmHeight < 0 ? -bm.bmHeight : bm.bmHeight;
  const int bytesPerPixel = bm.bmBitsPixel / 8;
  const size_t stride = ((static_cast<size_t>(bm.bmWidth) * bm.bmBitsPixel + 31) & ~size_t{31}) / 8;
  std::vector<uint8_t> raw(stride * static_cast<size_t>(rows));
  BITMAPINFO request{};
  request.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
  request.bmiHeader.biWidth = bm.bmWidth;
  request.bmiHeader.biHeight = -rows;  // top-down
  request.bmiHeader.biPlanes = 1;
  request.bmiHeader.biBitCount = bm.bmBitsPixel;
  request.bmiHeader.biCompression = BI_RGB;
  HDC dc = GetDC(nullptr);
  if (dc == nullptr) return false;
  const int copied = GetDIBits(dc, static_cast<HBITMAP>(bitmap), 0, static_cast<UINT>(rows), raw.data(), &request,
                               DIB_RGB_COLORS);
  ReleaseDC(nullptr, dc);
  if (copied != rows) return false;
  pixels.width = bm.bmWidth;
  pixels.height = rows;
  pixels.bytesPerPixel = bytesPerPixel;
  const size_t rowBytes = static_cast<size_t>(bm.bmWidth) * bytesPerPixel;
  pixels.bytes.resize(rowBytes * static_cast<size_t>(rows));
  for (LONG y = 0; y < rows; ++y)
    std::memcpy(pixels.bytes.data() + rowBytes * static_cast<size_t>(y), raw.data() + stride * static_cast<size_t>(y),
                rowBytes);
  return true;
}

void DeleteModuleBitmap(void* bitmap) {
  if (bitmap != nullptr) DeleteObject(static_cast<HBITMAP>(bitmap));
}

namespace {

template <class T>
void Release(T*& object) {
  if (object != nullptr) object->Release();
  object = nullptr;
}

}  // namespace

std::string WritePng(const std::u16string& path, int32_t width, int32_t height, int channels,
                     const std::vector<uint8_t>& rgba) {
  // WIC takes blue-green-red order.
  std::vector<uint8_t> bgr(rgba);
  for (size_t i = 0; i + 2 < bgr.size(); i += static_cast<size_t>(channels)) std::swap(bgr[i], bgr[i + 2]);
  const UINT stride = static_cast<UINT>(width) * static_cast<UINT>(channels);

  IWICImagingFactory* factory = nullptr;
  IWICStream* stream = nullptr;
  IWICBitmapEncoder* encoder = nullptr;
  IWICBitmapFrameEncode* frame = nullptr;
  IPropertyBag2* options = nullptr;
  std::string failure;
  HRESULT hr = CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER, IID_IWICImagingFactory,
                                reinterpret_cast<void**>(&factory));
  if (SUCCEEDED(hr)) hr = factory->CreateStream(&stream);
  if (SUCCEEDED(hr)) hr = stream->InitializeFromFilename(reinterpret_cast<LPCWSTR>(path.c_str()), GENERIC_WRITE);
  if (FAILED(hr) && failure.empty()) failure = "cannot create " + platform::Utf16ToUtf8(path);
  if (SUCCEEDED(hr)) hr = factory->CreateEncoder(GUID_ContainerFormatPng, nullptr, &encoder);
  if (SUCCEEDED(hr)) hr = encoder->Initialize(stream, WICBitmapEncoderNoCache);
  if (SUCCEEDED(hr)) hr = encoder->CreateNewFrame(&frame, &options);
  if (SUCCEEDED(hr)) hr = frame->Initialize(options);
  if (SUCCEEDED(hr)) hr = frame->SetSize(static_cast<UINT>(width), static_cast<UINT>(height));
  WICPixelFormatGUID format = channels == 4 ? GUID_WICPixelFormat32bppBGRA : GUID_WICPixelFormat24bppBGR;
  const WICPixelFormatGUID wanted = format;
  if (SUCCEEDED(hr)) hr = frame->SetPixelFormat(&format);
  if (SUCCEEDED(hr) && !IsEqualGUID(format, wanted)) hr = E_FAIL;
  if (SUCCEEDED(hr)) hr = frame->WritePixels(static_cast<UINT>(height), stride, stride * static_cast<UINT>(height), bgr.data());
  if (SUCCEEDED(hr)) hr = frame->Commit();
  if (SUCCEEDED(hr)) hr = encoder->Commit();
  Release(options);
  Release(frame);
  Release(encoder);
  Release(stream);
  Release(factory);
  if (FAILED(hr) && failure.empty()) {
    char text[64];
    std::snprintf(text, sizeof text, "the PNG encoder failed (HRESULT 0x%08lX)", static_cast<unsigned long>(hr));
    failure = text;
  }
  return failure;
}

void InitializeHostThread() { CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED); }
void FinalizeHostThread() { CoUninitialize(); }

}  // namespace quillet::tool

int wmain(int argc, wchar_t** argv) {
  std::vector<std::u16string> arguments;
  for (int i = 1; i < argc; ++i) arguments.emplace_back(reinterpret_cast<const char16_t*>(argv[i]));
  return quillet::tool::RunThumbnailTool(arguments);
}
