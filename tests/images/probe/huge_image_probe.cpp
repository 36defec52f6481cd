// Decodes a 1 KB PNG that declares 60000 x 60000 pixels and prints what the
// refusal cost. The decode must fail as an invalid image without the process
// ever holding 64 MiB; decoding it for real would take 14 GB.
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
  const std::filesystem::path path = test::ScratchDir("images-probe") / "declares_60000x60000.png";
  const test::TBytes png = test::MakePngDeclaring(60000, 60000);
  test::WriteBytes(path, png);

  TvekCBxClassList registry;
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
  const uint64_t peak = test::PeakMemoryBytes();
  constexpr double kMiB = 1024.0 * 1024.0;
  std::printf(
      "PNG of %zu bytes declaring 60000 x 60000: failed with \"%s\" in %.2f ms; "
      "process memory %.1f MiB before the decode, peak %.1f MiB\n",
      png.size(), failure.c_str(), milliseconds, before / kMiB, peak / kMiB);
  std::filesystem::remove(path);
  const bool refused = failure == "Invalid image";
  const bool small = peak < uint64_t{64} * 1024 * 1024;
  return refused && small ? 0 : 1;
}
