#pragma once
// What quillet-thumbnail needs from the platform it runs on: the module's
// bitmaps, PNG encoding, safe file writing, COM and Ctrl-C. One declaration,
// one file per platform.
#include <cstdint>
#include <string>
#include <vector>

#include "tools/png_chunks.h"

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

// Encodes an 8-bit, non-interlaced PNG into memory: RGBA from rows of R, G, B,
// A bytes (straight alpha) when channels is 4, RGB when it is 3, with one tEXt
// chunk for each text pair. Returns an error text, empty on success.
std::string EncodePng(int32_t width, int32_t height, int channels, const std::vector<uint8_t>& pixels,
                      const std::vector<PngText>& text, std::vector<uint8_t>& png);

// Puts the bytes at path so that nobody ever sees a partial file there: they
// go into a new temporary file in the same folder, which is then renamed over
// path. ownerOnly makes the file readable and writable by its owner alone
// (on Linux; elsewhere it changes nothing). Returns an error text, empty on
// success; on failure nothing is left behind.
std::string WriteFileAtomically(const std::u16string& path, const std::vector<uint8_t>& bytes, bool ownerOnly);

// The output file of a single request. A caller may create that file itself
// and read the result through the handle it created it with (Tumbler does):
// an existing regular file is therefore overwritten in place, so that the
// caller's handle sees the new bytes; a new file, a link or anything else is
// written as WriteFileAtomically writes it, for everyone to read.
std::string WriteOutputFile(const std::u16string& path, const std::vector<uint8_t>& bytes);

// EncodePng, then WriteOutputFile.
std::string WritePng(const std::u16string& path, int32_t width, int32_t height, int channels,
                     const std::vector<uint8_t>& pixels, const std::vector<PngText>& text = {});

// Prepares the calling thread as a file manager's thread is prepared.
void InitializeHostThread();
void FinalizeHostThread();

// Ctrl-C (and SIGTERM and SIGHUP on Linux), after CatchInterrupts: with
// finishWorkInProgress the first interrupt only makes InterruptRequested
// true, so that the work in progress can finish, and the second ends the
// process at once; without it the first does. Ending the process at once
// first deletes the temporary files that WriteFileAtomically has open.
void CatchInterrupts(bool finishWorkInProgress);
bool InterruptRequested();

// Whether the standard error stream is a terminal (for a progress bar).
bool StandardErrorIsTerminal();

// The name of the module file: Quillet.wlx or Quillet.wlx64.
extern const char16_t* const kModuleFileName;

// Whether --cache, which fills the thumbnail cache of Linux desktops, is
// offered on this platform.
extern const bool kCacheModeAvailable;

// The program's entry, with its arguments in UTF-16 (without the program name).
int RunThumbnailTool(const std::vector<std::u16string>& arguments);

}  // namespace quillet::tool
