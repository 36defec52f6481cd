// Checks, before any Windows test runs under Wine, that every platform
// component the tests rely on is really there, and names the first one that
// is not. Without this a prefix whose registry never reached the disk makes
// every archive quietly get "no thumbnail", and the failure points nowhere.
//
//   quillet_windows_probe [LIBRARY...]
//
// Exit code 0 when all is in place; 1, with one line per missing component
// on stderr, when not.
#include <windows.h>
#include <objbase.h>

#include <cstdio>
#include <string>
#include <vector>

#include "platform/image_decoding.h"
#include "platform/platform.h"

namespace {

using namespace quillet;

// A 2 x 1 RGBA PNG: red at half alpha, then opaque blue.
constexpr uint8_t kTinyPng[] = {
    0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A, 0x00, 0x00, 0x00, 0x0D, 0x49, 0x48, 0x44, 0x52, 0x00, 0x00, 0x00,
    0x02, 0x00, 0x00, 0x00, 0x01, 0x08, 0x06, 0x00, 0x00, 0x00, 0xF4, 0x22, 0x7F, 0x8A, 0x00, 0x00, 0x00, 0x11, 0x49,
    0x44, 0x41, 0x54, 0x78, 0xDA, 0x63, 0xF8, 0xCF, 0xC0, 0xD0, 0xC0, 0xC0, 0xF0, 0xFF, 0x3F, 0x00, 0x0D, 0x7E, 0x03,
    0x7E, 0x97, 0xF1, 0x88, 0x3F, 0x00, 0x00, 0x00, 0x00, 0x49, 0x45, 0x4E, 0x44, 0xAE, 0x42, 0x60, 0x82};

int failures = 0;

void Missing(const std::string& component, const std::string& detail) {
  std::fprintf(stderr, "platform component missing: %s (%s)\n", component.c_str(), detail.c_str());
  ++failures;
}

std::string Narrow(std::u16string_view text) { return platform::Utf16ToUtf8(text); }

// What a failure says, with the platform's status where it carries one.
std::string Describe(const std::exception& error) {
  std::string text = error.what();
  if (const auto* com = dynamic_cast<const EOleSysError*>(&error)) {
    char status[32];
    std::snprintf(status, sizeof status, "HRESULT 0x%08lX", static_cast<unsigned long>(com->ErrorCode));
    text = text.empty() ? status : text + ", " + status;
  }
  return text.empty() ? "no message" : text;
}

void CheckComRuntime() {
  const HRESULT status = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  if (FAILED(status)) Missing("COM runtime", "CoInitializeEx returned " + std::to_string(status));
}

// The imaging factory and its decoder list, through the module's own calls.
void CheckImagingDecoders() {
  std::u16string declared;
  try {
    platform::EnumerateImageDecoders([&](std::u16string_view extensions) {
      declared.append(extensions);
      declared.push_back(u',');
    });
  } catch (const std::exception& error) {
    Missing("Windows Imaging Component: imaging factory or decoder list", Describe(error));
    return;
  }
  const std::string upper = Narrow(platform::UpperCase(declared));
  for (const char* extension : {".PNG", ".JPG", ".GIF"}) {
    if (upper.find(extension) == std::string::npos) {
      Missing(std::string("Windows Imaging Component: decoder for ") + extension, "declared: " + Narrow(declared));
    }
  }
}

void CheckImageDecoding() {
  try {
    const platform::DecodedImage image = platform::DecodeFirstFrame(kTinyPng, sizeof kTinyPng);
    // Blue, green, red, alpha; straight colours.
    const std::vector<uint8_t> expected = {0, 0, 255, 128, 255, 0, 0, 255};
    if (image.width != 2 || image.height != 1 || image.pixels != expected) {
      Missing("Windows Imaging Component: PNG decoding", "a 2 x 1 PNG decoded to other pixels");
    }
  } catch (const std::exception& error) {
    Missing("Windows Imaging Component: PNG decoding", Describe(error));
  }
}

void CheckTemporaryFolder() {
  try {
    const std::u16string folder = platform::TemporaryDirectory();
    if (!platform::DirectoryExists(folder)) Missing("temporary folder", Narrow(folder) + " does not exist");
  } catch (const std::exception& error) {
    Missing("temporary folder", Describe(error));
  }
}

void CheckLibrary(const std::u16string& path) {
  platform::LibraryHandle library = platform::LoadLibraryQuietly(path);
  if (library == nullptr) {
    Missing("archive library " + Narrow(path), "it does not load");
    return;
  }
  platform::FreeLibraryHandle(library);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  CheckComRuntime();
  CheckImagingDecoders();
  CheckImageDecoding();
  CheckTemporaryFolder();
  for (int i = 1; i < argc; ++i) CheckLibrary(reinterpret_cast<const char16_t*>(argv[i]));
  if (failures == 0) std::printf("all platform components in place\n");
  return failures == 0 ? 0 : 1;
}
