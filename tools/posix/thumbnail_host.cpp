// quillet-thumbnail on Linux: the module's bitmaps are QuilletDibs, and PNG
// files are written with libpng.
#include <png.h>

#include <cstdio>
#include <cstring>

#include "platform/platform.h"
#include "quillet/dib.h"
#include "tools/thumbnail_host.h"

namespace quillet::tool {

const char16_t* const kModuleFileName = u"Quillet.wlx";

bool ReadBitmapPixels(void* bitmap, BitmapPixels& pixels) {
  auto* dib = static_cast<QuilletDib*>(bitmap);
  if (dib == nullptr || dib->magic != QUILLET_DIB_MAGIC || dib->width <= 0 || dib->height == 0) return false;
  if (dib->bitsPerPixel != 24 && dib->bitsPerPixel != 32) return false;
  const int32_t rows = dib->height < 0 ? -dib->height : dib->height;
  pixels.width = dib->width;
  pixels.height = rows;
  pixels.bytesPerPixel = dib->bitsPerPixel / 8;
  const size_t rowBytes = static_cast<size_t>(dib->width) * pixels.bytesPerPixel;
  pixels.bytes.resize(rowBytes * static_cast<size_t>(rows));
  for (int32_t y = 0; y < rows; ++y) {
    const int32_t stored = dib->height < 0 ? y : rows - 1 - y;
    std::memcpy(pixels.bytes.data() + rowBytes * static_cast<size_t>(y),
                quillet_dib_bits(dib) + static_cast<size_t>(stored) * dib->stride, rowBytes);
  }
  return true;
}

void DeleteModuleBitmap(void* bitmap) { quillet_dib_delete(static_cast<QuilletDib*>(bitmap)); }

std::string WritePng(const std::u16string& path, int32_t width, int32_t height, int channels,
                     const std::vector<uint8_t>& rgba) {
  const std::string name = platform::Utf16ToUtf8(path);
  FILE* file = std::fopen(name.c_str(), "wb");
  if (file == nullptr) return "cannot create " + name + ": " + std::strerror(errno);
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png != nullptr ? png_create_info_struct(png) : nullptr;
  if (png == nullptr || info == nullptr) {
    png_destroy_write_struct(&png, &info);
    std::fclose(file);
    return "cannot start the PNG encoder";
  }
  std::vector<png_bytep> rows(static_cast<size_t>(height));
  for (int32_t y = 0; y < height; ++y)
    rows[static_cast<size_t>(y)] = const_cast<png_bytep>(rgba.data()) + static_cast<size_t>(y) * width * channels;
  if (setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    std::fclose(file);
    return "cannot write " + name;
  }
  png_init_io(png, file);
  png_set_IHDR(png, info, static_cast<png_uint_32>(width), static_cast<png_uint_32>(height), 8,
               channels == 4 ? PNG_COLOR_TYPE_RGBA : PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);
  png_write_image(png, rows.data());
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  if (std::fclose(file) != 0) return "cannot write " + name + ": " + std::strerror(errno);
  return {};
}

void InitializeHostThread() {}
void FinalizeHostThread() {}

}  // namespace quillet::tool

int main(int argc, char** argv) {
  std::vector<std::u16string> arguments;
  for (int i = 1; i < argc; ++i) arguments.push_back(quillet::platform::Utf8ToUtf16(argv[i]));
  return quillet::tool::RunThumbnailTool(arguments);
}
