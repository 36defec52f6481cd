// quillet-thumbnail on Windows: the module's bitmaps are GDI DIB sections, PNG
// files are encoded with the Windows Imaging Component's PNG encoder, and
// Ctrl-C arrives through the console.
#include <windows.h>
#include <wincodec.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <set>
#include <string>

#include "platform/platform.h"
#include "tools/thumbnail_host.h"

namespace quillet::tool {

const char16_t* const kModuleFileName = u"Quillet.wlx64";
const bool kCacheModeAvailable = false;

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

std::string EncodePng(int32_t width, int32_t height, int channels, const std::vector<uint8_t>& pixels,
                      const std::vector<PngText>& text, std::vector<uint8_t>& png) {
  png.clear();
  if (width <= 0 || height <= 0 || (channels != 3 && channels != 4) ||
      pixels.size() != static_cast<size_t>(width) * static_cast<size_t>(height) * static_cast<size_t>(channels))
    return "no picture to encode";
  // WIC takes blue-green-red order.
  std::vector<uint8_t> bgr(pixels);
  for (size_t i = 0; i + 2 < bgr.size(); i += static_cast<size_t>(channels)) std::swap(bgr[i], bgr[i + 2]);
  const UINT stride = static_cast<UINT>(width) * static_cast<UINT>(channels);

  IWICImagingFactory* factory = nullptr;
  IStream* memory = nullptr;
  IWICBitmapEncoder* encoder = nullptr;
  IWICBitmapFrameEncode* frame = nullptr;
  IPropertyBag2* options = nullptr;
  HRESULT hr = CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER, IID_IWICImagingFactory,
                                reinterpret_cast<void**>(&factory));
  if (SUCCEEDED(hr)) hr = CreateStreamOnHGlobal(nullptr, TRUE, &memory);
  if (SUCCEEDED(hr)) hr = factory->CreateEncoder(GUID_ContainerFormatPng, nullptr, &encoder);
  if (SUCCEEDED(hr)) hr = encoder->Initialize(memory, WICBitmapEncoderNoCache);
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
  // Read the encoded bytes back from the start of the memory stream.
  ULARGE_INTEGER size{};
  if (SUCCEEDED(hr)) hr = memory->Seek(LARGE_INTEGER{}, STREAM_SEEK_END, &size);
  if (SUCCEEDED(hr)) hr = memory->Seek(LARGE_INTEGER{}, STREAM_SEEK_SET, nullptr);
  std::vector<uint8_t> encoded(SUCCEEDED(hr) ? static_cast<size_t>(size.QuadPart) : 0);
  ULONG read = 0;
  if (SUCCEEDED(hr)) hr = memory->Read(encoded.data(), static_cast<ULONG>(encoded.size()), &read);
  if (SUCCEEDED(hr) && read != encoded.size()) hr = E_FAIL;
  Release(options);
  Release(frame);
  Release(encoder);
  Release(memory);
  Release(factory);
  if (FAILED(hr)) {
    char message[64];
    std::snprintf(message, sizeof message, "the PNG encoder failed (HRESULT 0x%08lX)", static_cast<unsigned long>(hr));
    return message;
  }
  // The imaging component's encoder has no simple way to add text chunks, so
  // they go in afterwards.
  png = text.empty() ? std::move(encoded) : InsertPngTextChunks(encoded, text);
  if (png.empty()) return "the PNG encoder made no PNG";
  return {};
}

namespace {

// Temporary files being written right now, for a second Ctrl-C to delete.
// The console runs its handler on a thread of its own, so a lock suffices.
std::mutex gTemporariesLock;
std::set<std::wstring> gTemporaries;
std::atomic<int> gInterrupts{0};
std::atomic<bool> gFinishWorkInProgress{true};
std::atomic<unsigned> gTemporaryCounter{0};

std::string LastErrorText(const std::string& what, const std::u16string& name) {
  char code[32];
  std::snprintf(code, sizeof code, " (error %lu)", GetLastError());
  return what + " " + platform::Utf16ToUtf8(name) + code;
}

BOOL WINAPI OnConsoleEvent(DWORD event) {
  const bool interrupt = event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT;
  if (interrupt && gFinishWorkInProgress.load() && gInterrupts.fetch_add(1) == 0) {
    std::fputs("\nquillet-thumbnail: stopping once the work in progress is done (interrupt again to stop at once)\n",
               stderr);
    return TRUE;
  }
  {
    std::lock_guard<std::mutex> guard(gTemporariesLock);
    for (const std::wstring& path : gTemporaries) DeleteFileW(path.c_str());
  }
  ExitProcess(130);
}

}  // namespace

std::string WriteFileAtomically(const std::u16string& path, const std::vector<uint8_t>& bytes, bool) {
  const size_t separator = path.find_last_of(u"\\/:");
  const std::u16string folder = separator == std::u16string::npos ? std::u16string() : path.substr(0, separator + 1);
  const std::u16string temporary = folder + u".quillet-" + platform::Utf8ToUtf16(std::to_string(GetCurrentProcessId())) +
                                   u"-" + platform::Utf8ToUtf16(std::to_string(gTemporaryCounter.fetch_add(1))) +
                                   u".tmp";
  const std::wstring temporaryName(temporary.begin(), temporary.end());
  const std::wstring finalName(path.begin(), path.end());
  {
    std::lock_guard<std::mutex> guard(gTemporariesLock);
    gTemporaries.insert(temporaryName);
  }
  std::string failure;
  HANDLE file = CreateFileW(temporaryName.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    failure = LastErrorText("cannot create a file in", folder.empty() ? u"." : folder);
  } else {
    size_t written = 0;
    while (failure.empty() && written < bytes.size()) {
      DWORD n = 0;
      const DWORD chunk = static_cast<DWORD>(std::min<size_t>(bytes.size() - written, 1u << 30));
      if (!WriteFile(file, bytes.data() + written, chunk, &n, nullptr) || n == 0)
        failure = LastErrorText("cannot write", temporary);
      written += n;
    }
    if (!CloseHandle(file) && failure.empty()) failure = LastErrorText("cannot write", temporary);
    if (failure.empty() && !MoveFileExW(temporaryName.c_str(), finalName.c_str(), MOVEFILE_REPLACE_EXISTING))
      failure = LastErrorText("cannot replace", path);
    if (!failure.empty()) DeleteFileW(temporaryName.c_str());
  }
  std::lock_guard<std::mutex> guard(gTemporariesLock);
  gTemporaries.erase(temporaryName);
  return failure;
}

// No Windows host hands the program a file that it holds open for the result.
std::string WriteOutputFile(const std::u16string& path, const std::vector<uint8_t>& bytes) {
  return WriteFileAtomically(path, bytes, false);
}

void InitializeHostThread() { CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED); }
void FinalizeHostThread() { CoUninitialize(); }

void CatchInterrupts(bool finishWorkInProgress) {
  gFinishWorkInProgress.store(finishWorkInProgress);
  SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

bool InterruptRequested() { return gInterrupts.load() != 0; }

bool StandardErrorIsTerminal() {
  DWORD mode = 0;
  return GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
}

}  // namespace quillet::tool
