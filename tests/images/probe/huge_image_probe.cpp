// Decodes small PNG files whose images are far beyond the pixel cap, and
// prints what each refusal cost: a 1 KB file that declares 60000 x 60000
// pixels and carries almost none of them, and complete, valid flat images of
// 20000 x 20000 and 12000 x 12000 in a few hundred kilobytes, and a flat
// lossless WebP of 16383 x 16383 in 28 bytes. Each decode
// must fail as an invalid image without the process ever holding 64 MiB;
// decoding them for real would take 1 to 14 GB.
#include <chrono>
#include <cstdio>
#include <string>

#include "handlers/vekCBxClasses.h"
#include "images/support/image_fixtures.h"
#include "images/support/test_imaging.h"
#include "support/test_support.h"

int main() {
  using namespace quillet;
  test::TImagingThread imaging;
  struct Case {
    const char* name;
    test::TBytes png;
  };
  const Case cases[] = {
      {"declares_60000x60000.png", test::MakePngDeclaring(60000, 60000)},
      {"flat_20000x20000.png", test::MakeFlatPng(20000, 20000)},
      {"flat_12000x12000.png", test::MakeFlatPng(12000, 12000)},
      {"flat_16383x16383.webp", test::MakeFlatLosslessWebP(16383, 16383)},
  };
  TvekCBxClassList registry;
  constexpr double kMiB = 1024.0 * 1024.0;
  bool allRefused = true;
  for (const Case& c : cases) {
    const std::filesystem::path path = test::ScratchDir("images-probe") / c.name;
    test::WriteBytes(path, c.png);
    const uint64_t before = test::CurrentMemoryBytes();
    const auto start = std::chrono::steady_clock::now();
    std::string failure = "(none: the decode succeeded)";
    try {
      DeleteObject(registry.LoadImageFile(test::ModulePath(path)));
    } catch (const std::exception& e) {
      failure = e.what();
    }
    const double milliseconds =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    std::printf("%s, %zu bytes: failed with \"%s\" in %.2f ms; process memory %.1f MiB before the decode\n", c.name,
                c.png.size(), failure.c_str(), milliseconds, before / kMiB);
    std::filesystem::remove(path);
    allRefused = allRefused && failure == "Invalid image";
  }
  const uint64_t peak = test::PeakMemoryBytes();
  std::printf("peak process memory over all decodes: %.1f MiB\n", peak / kMiB);
  const bool small = peak < uint64_t{64} * 1024 * 1024;
  return allRefused && small ? 0 : 1;
}
