// The whole module over archive bytes: each input is a file that a host
// asks a thumbnail of, through the W export, with the real archive libraries
// and decoders. The module's code is linked in; the settings file beside
// this program names the libraries, as it does beside the module.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "plugin/module_lifetime.h"
#include "platform/platform.h"
#include "quillet/dib.h"
#include "quillet/lister.h"

extern "C" QuilletBitmapHandle ListGetPreviewBitmapW(const char16_t* FileToLoad, int32_t width, int32_t height,
                                                     const char* contentbuf, int32_t contentbuflen);

namespace {

std::string ArchivePath;
// Where the bytes read from each thumbnail go, so that reading them stays.
volatile uint32_t SinkOfReads = 0;

// The extension a file manager would see for such a file: the module reads
// the signature, but treats names outside the comic extensions otherwise.
const char* ExtensionFor(const uint8_t* data, size_t size) {
  auto startsWith = [&](const char* prefix, size_t length) {
    return size >= length && std::string(reinterpret_cast<const char*>(data), length) == std::string(prefix, length);
  };
  if (startsWith("Rar!", 4)) return ".cbr";
  if (startsWith("7z\xBC\xAF", 4)) return ".cb7";
  if (startsWith("PK", 2)) return ".cbz";
  return ".cbt";
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  if (!quillet::ModuleStartup()) {
    std::fprintf(stderr, "the module did not start\n");
    std::abort();
  }
  const char* folder = std::getenv("TMPDIR");
  ArchivePath = std::string(folder != nullptr ? folder : "/tmp") + "/quillet-fuzz-" + std::to_string(getpid());
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string path = ArchivePath + ExtensionFor(data, size);
  FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) return 0;
  std::fwrite(data, 1, size, file);
  std::fclose(file);
  const std::u16string name = quillet::platform::Utf8ToUtf16(path);
  const int32_t headLength = static_cast<int32_t>(size < 8192 ? size : 8192);
  auto* dib = static_cast<QuilletDib*>(
      ListGetPreviewBitmapW(name.c_str(), 64, 64, reinterpret_cast<const char*>(data), headLength));
  // Says whether each input got a thumbnail, for the check that the seed
  // comics reach the real libraries.
  if (std::getenv("QUILLET_FUZZ_DEBUG") != nullptr)
    std::fprintf(stderr, "%s: %s\n", path.c_str(), dib != nullptr ? "thumbnail" : "none");
  if (dib != nullptr) {
    // A thumbnail must fit the box and be whole: every byte of it is read.
    // (Its colours may exceed its alpha by a little where the kernel's
    // negative lobes ring at an edge of transparency: the scaler's exact
    // arithmetic does so, so that is not checked.)
    if (dib->magic != QUILLET_DIB_MAGIC || dib->width <= 0 || dib->width > 64 || dib->height == 0) std::abort();
    const int32_t rows = dib->height < 0 ? -dib->height : dib->height;
    if (rows > 64 || dib->stride < static_cast<uint32_t>(dib->width) * (dib->bitsPerPixel / 8)) std::abort();
    uint32_t sum = 0;
    for (size_t i = 0; i < static_cast<size_t>(rows) * dib->stride; ++i) sum += quillet_dib_bits(dib)[i];
    SinkOfReads = SinkOfReads + sum;
    quillet_dib_delete(dib);
  }
  std::remove(path.c_str());
  return 0;
}
