// The least a program can do to give a page's exact thumbnail pixels: read
// the JPEG file and decode it whole, with libjpeg-turbo and the settings the
// module uses, into fresh memory, and end. Nothing is loaded, scaled or
// written. Timed as a whole process by bench/whole_process.py, it is the
// floor under any thumbnail made from the full-size pixels.
//
//   quillet_decode_floor PAGE.jpg [--threads 2]
//
// With two threads the rows are split between them: the first decodes the
// upper rows; the second skips those (libjpeg must still read their entropy
// coded data to find where the lower rows start) and decodes the rest. The
// pixels are the same either way; the split is what a decode on both cores
// could gain here.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
// After the C library headers it relies on.
#include <jpeglib.h>

#include <fstream>
#include <memory>
#include <thread>
#include <vector>

#include <sys/mman.h>

namespace {

// A decompressor with the header read; started only for a decode, since a
// progressive file's start decodes all its scans.
struct TDecoder {
  jpeg_decompress_struct Info{};
  jpeg_error_mgr Errors{};
  explicit TDecoder(const std::vector<uint8_t>& AFile) {
    // The default error handler prints and exits, which is all a bench
    // program needs.
    Info.err = jpeg_std_error(&Errors);
    jpeg_create_decompress(&Info);
    jpeg_mem_src(&Info, AFile.data(), static_cast<unsigned long>(AFile.size()));
    jpeg_read_header(&Info, TRUE);
    Info.out_color_space = JCS_EXT_BGRA;
    jpeg_calc_output_dimensions(&Info);
  }
  ~TDecoder() { jpeg_destroy_decompress(&Info); }
};

void DecodeRows(const std::vector<uint8_t>& AFile, uint8_t* APixels, JDIMENSION AFirst, JDIMENSION AEnd) {
  TDecoder decoder(AFile);
  jpeg_decompress_struct& info = decoder.Info;
  jpeg_start_decompress(&info);
  const size_t rowBytes = static_cast<size_t>(info.output_width) * 4;
  if (AFirst > 0) jpeg_skip_scanlines(&info, AFirst);
  while (info.output_scanline < AEnd) {
    JSAMPROW row = APixels + info.output_scanline * rowBytes;
    jpeg_read_scanlines(&info, &row, 1);
  }
  if (AEnd == info.output_height) jpeg_finish_decompress(&info);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2 && !(argc == 4 && std::strcmp(argv[2], "--threads") == 0)) {
    std::fprintf(stderr, "usage: quillet_decode_floor PAGE.jpg [--threads 1|2]\n");
    return 2;
  }
  const bool twoThreads = argc == 4 && std::strcmp(argv[3], "2") == 0;
  std::ifstream in(argv[1], std::ios::binary | std::ios::ate);
  const std::streamoff size = in.tellg();
  if (!in || size <= 0) return 1;
  std::vector<uint8_t> file(static_cast<size_t>(size));
  in.seekg(0);
  if (!in.read(reinterpret_cast<char*>(file.data()), size)) return 1;

  JDIMENSION width = 0, height = 0, band = 0;
  bool progressive = false;
  {
    TDecoder probe(file);
    width = probe.Info.output_width;
    height = probe.Info.output_height;
    band = static_cast<JDIMENSION>(probe.Info.max_v_samp_factor) * DCTSIZE;
    progressive = jpeg_has_multiple_scans(&probe.Info);
  }
  // Fresh memory, never cleared, in huge pages where the system gives them:
  // as in the module, the decode is its first touch.
  const size_t bytes = static_cast<size_t>(width) * height * 4;
  constexpr size_t kHugePage = size_t{2} << 20;
  void* block = nullptr;
  if (posix_memalign(&block, kHugePage, bytes) != 0) return 1;
  std::unique_ptr<uint8_t, decltype(&std::free)> pixels(static_cast<uint8_t*>(block), &std::free);
  madvise(block, bytes / kHugePage * kHugePage, MADV_HUGEPAGE);

  // The upper thread decodes about 7/10 of the rows: the lower one reads the
  // entropy coded data of all rows, a bit more than half the work of a
  // decode, so the two end at about the same time.
  const JDIMENSION split = twoThreads && !progressive ? height * 7 / 10 / band * band : height;
  std::thread lower;
  if (split < height) lower = std::thread(DecodeRows, std::cref(file), pixels.get(), split, height);
  DecodeRows(file, pixels.get(), 0, split);
  if (lower.joinable()) lower.join();
  return 0;
}
