// quillet-thumbnail on Linux: the module's bitmaps are QuilletDibs, PNG files
// are encoded with libpng, and Ctrl-C arrives as a signal.
#include <fcntl.h>
#include <png.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

#include "platform/platform.h"
#include "quillet/dib.h"
#include "tools/thumbnail_host.h"

namespace quillet::tool {

const char16_t* const kModuleFileName = u"Quillet.wlx";
const bool kCacheModeAvailable = true;

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

namespace {

void AppendToVector(png_structp png, png_bytep data, png_size_t length) {
  auto* out = static_cast<std::vector<uint8_t>*>(png_get_io_ptr(png));
  out->insert(out->end(), data, data + length);
}

void FlushNothing(png_structp) {}

}  // namespace

namespace {

// libpng reports errors by longjmp, so the calls that may jump live in a
// function of their own whose frame holds no C++ objects.
bool RunPngEncoder(png_structp writer, png_infop info, std::vector<uint8_t>* out, png_uint_32 width,
                   png_uint_32 height, int colourType, png_textp text, int textCount, png_bytepp rows) {
  if (setjmp(png_jmpbuf(writer))) return false;
  png_set_write_fn(writer, out, AppendToVector, FlushNothing);
  // zlib's fastest level. At the default level the match search over a
  // detailed page's thumbnail took about a fifth of a whole request (59 ms
  // of processor time against 42-49 ms at this level, for a 1988 x 3056
  // page), for a file some 15% smaller. The pixels are the same.
  png_set_compression_level(writer, 1);
  png_set_IHDR(writer, info, width, height, 8, colourType, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
               PNG_FILTER_TYPE_DEFAULT);
  if (textCount > 0) png_set_text(writer, info, text, textCount);
  png_write_info(writer, info);
  png_write_image(writer, rows);
  png_write_end(writer, nullptr);
  return true;
}

}  // namespace

std::string EncodePng(int32_t width, int32_t height, int channels, const std::vector<uint8_t>& pixels,
                      const std::vector<PngText>& text, std::vector<uint8_t>& png) {
  png.clear();
  if (width <= 0 || height <= 0 || (channels != 3 && channels != 4) ||
      pixels.size() != static_cast<size_t>(width) * static_cast<size_t>(height) * static_cast<size_t>(channels))
    return "no picture to encode";
  std::vector<png_bytep> rows(static_cast<size_t>(height));
  for (int32_t y = 0; y < height; ++y)
    rows[static_cast<size_t>(y)] =
        const_cast<png_bytep>(pixels.data()) + static_cast<size_t>(y) * static_cast<size_t>(width) * channels;
  std::vector<png_text> chunks(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    chunks[i].compression = PNG_TEXT_COMPRESSION_NONE;
    chunks[i].key = const_cast<char*>(text[i].key.c_str());
    chunks[i].text = const_cast<char*>(text[i].value.c_str());
    chunks[i].text_length = text[i].value.size();
  }
  png_structp writer = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = writer != nullptr ? png_create_info_struct(writer) : nullptr;
  if (writer == nullptr || info == nullptr) {
    png_destroy_write_struct(&writer, &info);
    return "cannot start the PNG encoder";
  }
  const bool encoded = RunPngEncoder(writer, info, &png, static_cast<png_uint_32>(width),
                                     static_cast<png_uint_32>(height),
                                     channels == 4 ? PNG_COLOR_TYPE_RGBA : PNG_COLOR_TYPE_RGB, chunks.data(),
                                     static_cast<int>(chunks.size()), rows.data());
  png_destroy_write_struct(&writer, &info);
  if (!encoded) {
    png.clear();
    return "the PNG encoder failed";
  }
  return {};
}

namespace {

// The temporary files being written right now, for a second Ctrl-C to delete
// from its signal handler. A slot is 0 free, 1 taken, 2 taken and holding a
// path; the handler only reads slots in state 2 and calls unlink, which is
// safe in a signal handler.
struct TemporarySlot {
  std::atomic<int> state{0};
  char path[PATH_MAX] = {};
};
constexpr int kTemporarySlots = 256;
TemporarySlot gTemporaries[kTemporarySlots];

std::atomic<int> gInterrupts{0};
std::atomic<bool> gFinishWorkInProgress{true};
std::atomic<unsigned> gTemporaryCounter{0};

TemporarySlot* TakeSlot(const std::string& path) {
  if (path.size() >= PATH_MAX) return nullptr;
  for (TemporarySlot& slot : gTemporaries) {
    int expected = 0;
    if (slot.state.compare_exchange_strong(expected, 1)) {
      std::memcpy(slot.path, path.c_str(), path.size() + 1);
      slot.state.store(2);
      return &slot;
    }
  }
  return nullptr;  // more writers than slots: this one goes unguarded
}

void ReleaseSlot(TemporarySlot* slot) {
  if (slot == nullptr) return;
  slot->state.store(0);
}

void DeleteTemporariesAndDie(int signalNumber) {
  for (TemporarySlot& slot : gTemporaries)
    if (slot.state.load() == 2) unlink(slot.path);
  signal(signalNumber, SIG_DFL);
  raise(signalNumber);
}

void OnInterrupt(int signalNumber) {
  if (gFinishWorkInProgress.load() && gInterrupts.fetch_add(1) == 0) {
    static const char kMessage[] =
        "\nquillet-thumbnail: stopping once the work in progress is done (interrupt again to stop at once)\n";
    [[maybe_unused]] const ssize_t ignored = write(STDERR_FILENO, kMessage, sizeof kMessage - 1);
    return;
  }
  DeleteTemporariesAndDie(signalNumber);
}

std::string ErrorText(const std::string& what, const std::string& name) {
  return what + " " + name + ": " + std::strerror(errno);
}

// Writes all of bytes to an open file; an error text, empty on success.
std::string WriteAll(int descriptor, const std::vector<uint8_t>& bytes, const std::string& name) {
  size_t written = 0;
  while (written < bytes.size()) {
    const ssize_t n = write(descriptor, bytes.data() + written, bytes.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return ErrorText("cannot write", name);
    written += static_cast<size_t>(n);
  }
  return {};
}

}  // namespace

std::string WriteFileAtomically(const std::u16string& path, const std::vector<uint8_t>& bytes, bool ownerOnly) {
  const std::string name = platform::Utf16ToUtf8(path);
  const size_t slash = name.rfind('/');
  const std::string folder = slash == std::string::npos ? std::string() : name.substr(0, slash + 1);
  const std::string temporary = folder + ".quillet-" + std::to_string(getpid()) + "-" +
                                std::to_string(gTemporaryCounter.fetch_add(1)) + ".tmp";
  TemporarySlot* slot = TakeSlot(temporary);
  const int descriptor =
      open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, ownerOnly ? 0600 : 0666);
  if (descriptor < 0) {
    const std::string failure = ErrorText("cannot create a file in", folder.empty() ? "." : folder);
    ReleaseSlot(slot);
    return failure;
  }
  std::string failure = WriteAll(descriptor, bytes, temporary);
  if (close(descriptor) != 0 && failure.empty()) failure = ErrorText("cannot write", temporary);
  if (failure.empty() && rename(temporary.c_str(), name.c_str()) != 0) failure = ErrorText("cannot replace", name);
  if (!failure.empty()) unlink(temporary.c_str());
  ReleaseSlot(slot);
  return failure;
}

std::string WriteOutputFile(const std::u16string& path, const std::vector<uint8_t>& bytes) {
  const std::string name = platform::Utf16ToUtf8(path);
  // Not through a link, and O_NONBLOCK so that a FIFO does not wait here for
  // a reader: only a regular file is written in place.
  const int descriptor = open(name.c_str(), O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  struct stat status {};
  if (descriptor < 0 || fstat(descriptor, &status) != 0 || !S_ISREG(status.st_mode)) {
    if (descriptor >= 0) close(descriptor);
    return WriteFileAtomically(path, bytes, false);
  }
  std::string failure = ftruncate(descriptor, 0) == 0 ? WriteAll(descriptor, bytes, name) : ErrorText("cannot write", name);
  if (close(descriptor) != 0 && failure.empty()) failure = ErrorText("cannot write", name);
  return failure;
}

void InitializeHostThread() {}
void FinalizeHostThread() {}

void CatchInterrupts(bool finishWorkInProgress) {
  gFinishWorkInProgress.store(finishWorkInProgress);
  struct sigaction action {};
  action.sa_handler = OnInterrupt;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (int signalNumber : {SIGINT, SIGTERM, SIGHUP}) sigaction(signalNumber, &action, nullptr);
}

bool InterruptRequested() { return gInterrupts.load() != 0; }

bool StandardErrorIsTerminal() { return isatty(STDERR_FILENO) == 1; }

}  // namespace quillet::tool
