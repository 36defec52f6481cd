#pragma once
// What quillet-thumbnail needs from the platform it runs on: the module's
// bitmaps, PNG writing and COM. One declaration, one file per platform.
#include <cstdint>
#include <string>
#include <vector>

namespace quillet::tool {

// A bitmap as the module returned it: rows top-down, pixel bytes in memory
// order (blue, green, red[, alpha]), no row padding.
struct BitmapPixels {
  int32_t width = 0;
  int32_t height = 0;
  int bytesPerPixel = 0;  // 3 or 4
  std::vector<uint8_t> bytes;
};

// Reads the pixels of a bitmap handle from the module; false when the handle
// is not a bitmap of 24 or 32 bits per pixel.
bool ReadBitmapPixels(void* bitmap, BitmapPixels& pixels);
// Deletes a bitmap the module returned, as its owner.
void DeleteModuleBitmap(void* bitmap);

// Writes an 8-bit, non-interlaced PNG: RGBA from rows of R, G, B, A bytes
// (straight alpha) when channels is 4, RGB when it is 3. Returns an error
// text, empty on success.
std::string WritePng(const std::u16string& path, int32_t width, int32_t height, int channels,
                     const std::vector<uint8_t>& rgba);

// Prepares the calling thread as a file manager's thread is prepared.
void InitializeHostThread();
void FinalizeHostThread();

// The name of the module file: Quillet.wlx or Quillet.wlx64.
extern const char16_t* const kModuleFileName;

// The program's entry, with its arguments in UTF-16 (without the program name).
int RunThumbnailTool(const std::vector<std::u16string>& arguments);

}  // namespace quillet::tool
