// The imaging component on Linux: gdk-pixbuf and the loaders installed on the
// machine. Each enabled format plays the part of one decoder.
#include "platform/image_decoding.h"

#include <gdk-pixbuf/gdk-pixbuf.h>
// After the C library headers it relies on.
#include <csetjmp>
#include <cstdio>
#include <cstring>

#include <jpeglib.h>
#include <png.h>

#include <algorithm>
#include <exception>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"

namespace quillet::platform {

void EnumerateImageDecoders(const std::function<void(std::u16string_view declared)>& visit) {
  // The list belongs to us, the formats in it to gdk-pixbuf.
  std::unique_ptr<GSList, decltype(&g_slist_free)> formats(gdk_pixbuf_get_formats(), &g_slist_free);
  for (GSList* item = formats.get(); item != nullptr; item = item->next) {
    auto* format = static_cast<GdkPixbufFormat*>(item->data);
    if (format == nullptr || gdk_pixbuf_format_is_disabled(format)) continue;
    std::unique_ptr<gchar*, decltype(&g_strfreev)> extensions(gdk_pixbuf_format_get_extensions(format), &g_strfreev);
    if (!extensions) continue;
    // Declared the way the Windows decoders declare theirs, so one set
    // builder serves both platforms.
    std::string declared;
    for (gchar** extension = extensions.get(); *extension != nullptr; ++extension) {
      if (!declared.empty()) declared += ',';
      declared += '.';
      declared += *extension;
    }
    if (!declared.empty()) visit(Utf8ToUtf16(declared));
  }
}

namespace {

[[noreturn]] void RaiseInvalidImage() { throw Exception("Invalid image"); }

// What the loader's signal handlers learnt. They run inside the loader's C
// code, so they only record; decisions are taken once the calls return.
struct LoadState {
  bool sizeRefused = false;
  bool recordFailed = false;
  std::vector<bool> rowsDelivered;
};

void OnSizePrepared(GdkPixbufLoader* loader, gint width, gint height, gpointer data) noexcept {
  auto* state = static_cast<LoadState*>(data);
  if (ImageSizeAccepted(width, height)) return;
  state->sizeRefused = true;
  // A size of zero tells the loader that the image is not wanted: it stops
  // before it allocates the pixels. A 1 KB file can declare 60000 x 60000.
  gdk_pixbuf_loader_set_size(loader, 0, 0);
}

void OnAreaUpdated(GdkPixbufLoader*, gint, gint y, gint, gint height, gpointer data) noexcept {
  auto* state = static_cast<LoadState*>(data);
  if (y < 0 || height <= 0) return;
  try {
    const size_t end = static_cast<size_t>(y) + static_cast<size_t>(height);
    if (state->rowsDelivered.size() < end) state->rowsDelivered.resize(end, false);
    std::fill(state->rowsDelivered.begin() + y, state->rowsDelivered.begin() + static_cast<std::ptrdiff_t>(end), true);
  } catch (...) {
    state->recordFailed = true;
  }
}

// The loader, closed before its last reference goes, as gdk-pixbuf requires.
class Loader {
 public:
  Loader() : loader_(gdk_pixbuf_loader_new()) {
    if (loader_ == nullptr) throw EOutOfMemory();
    g_signal_connect(loader_, "size-prepared", G_CALLBACK(OnSizePrepared), &state_);
    g_signal_connect(loader_, "area-updated", G_CALLBACK(OnAreaUpdated), &state_);
  }
  ~Loader() {
    if (!closed_) gdk_pixbuf_loader_close(loader_, nullptr);
    g_object_unref(loader_);
  }
  Loader(const Loader&) = delete;
  Loader& operator=(const Loader&) = delete;

  void Write(const uint8_t* data, size_t size) {
    GError* error = nullptr;
    const gboolean ok = gdk_pixbuf_loader_write(loader_, data, size, &error);
    // A failed write ends the stream: the loader has closed itself.
    if (!ok) closed_ = true;
    Check(ok, error);
  }

  // A damaged file may decode without complaint until the end of the data,
  // where the loader notices what is missing: the close is checked as well.
  void Close() {
    GError* error = nullptr;
    closed_ = true;
    // The close must have run before its error is looked at: as two
    // arguments of one call, the order would be the compiler's choice.
    const gboolean ok = gdk_pixbuf_loader_close(loader_, &error);
    Check(ok, error);
  }

  GdkPixbuf* Pixbuf() const { return gdk_pixbuf_loader_get_pixbuf(loader_); }

  // The PNG loader reports no error when the data stops in the middle of the
  // rows: it hands out the rows it had, the rest left blank. Every row of a
  // complete PNG image reaches the loader's updates at least once (in some
  // pass, when interlaced), so a row never delivered means the data ended
  // early. (An interlaced file cut in its later passes still slips through:
  // the loader reports every row from the first passes on.) The BMP loader
  // does the same with uncompressed rows, and delivers each of them once.
  // Other loaders may legitimately leave rows undelivered, a GIF frame
  // smaller than its canvas or a run-length BMP that ends its rows early for
  // two, so the test is for these alone.
  bool MissesRows(int height, bool AUncompressedBmp) const {
    GdkPixbufFormat* format = gdk_pixbuf_loader_get_format(loader_);
    if (format == nullptr) return false;
    std::unique_ptr<gchar, decltype(&g_free)> name(gdk_pixbuf_format_get_name(format), &g_free);
    if (!name) return false;
    const std::string_view formatName(name.get());
    if (formatName != "png" && !(formatName == "bmp" && AUncompressedBmp)) return false;
    if (state_.recordFailed) return true;
    const std::vector<bool>& rows = state_.rowsDelivered;
    return rows.size() < static_cast<size_t>(height) ||
           std::find(rows.begin(), rows.begin() + height, false) != rows.begin() + height;
  }

 private:
  // The one check of every status the loader reports.
  void Check(gboolean ok, GError* error) const {
    if (error != nullptr) g_error_free(error);
    if (!ok || state_.sizeRefused) RaiseInvalidImage();
  }

  GdkPixbufLoader* loader_;
  LoadState state_;
  bool closed_ = false;
};

// A BMP file whose rows are stored as they are (no compression, or bit
// fields), by its info header's compression field.
bool IsUncompressedBmp(const uint8_t* data, size_t size) {
  constexpr size_t kCompressionAt = 14 + 16;
  if (size < kCompressionAt + 4 || data[0] != 'B' || data[1] != 'M') return false;
  const uint32_t compression = static_cast<uint32_t>(data[kCompressionAt]) |
                               static_cast<uint32_t>(data[kCompressionAt + 1]) << 8 |
                               static_cast<uint32_t>(data[kCompressionAt + 2]) << 16 |
                               static_cast<uint32_t>(data[kCompressionAt + 3]) << 24;
  constexpr uint32_t kStoredRows = 0, kBitFields = 3;
  return compression == kStoredRows || compression == kBitFields;
}

// The image gdk-pixbuf decoded, one reference held.
using TPixbufRef = std::unique_ptr<GdkPixbuf, decltype(&g_object_unref)>;

// One decode of data through gdk-pixbuf.
TPixbufRef DecodeOnce(const uint8_t* data, size_t size) {
  Loader loader;
  // Fed in pieces, so that a size refused in the first piece stops the feed
  // even with a loader that would go on after the refusal.
  constexpr size_t kPiece = 64 * 1024;
  for (size_t at = 0; at < size; at += kPiece) loader.Write(data + at, std::min(kPiece, size - at));
  loader.Close();

  // For an animation, the loader's image is its first frame.
  GdkPixbuf* pixbuf = loader.Pixbuf();
  if (pixbuf == nullptr) RaiseInvalidImage();
  const int width = gdk_pixbuf_get_width(pixbuf);
  const int height = gdk_pixbuf_get_height(pixbuf);
  const int channels = gdk_pixbuf_get_n_channels(pixbuf);
  const bool hasAlpha = gdk_pixbuf_get_has_alpha(pixbuf) != FALSE;
  // A loader that ignored the refused size is caught here, late but still.
  if (!ImageSizeAccepted(width, height) || loader.MissesRows(height, IsUncompressedBmp(data, size))) {
    RaiseInvalidImage();
  }
  if (gdk_pixbuf_get_colorspace(pixbuf) != GDK_COLORSPACE_RGB || gdk_pixbuf_get_bits_per_sample(pixbuf) != 8 ||
      channels != (hasAlpha ? 4 : 3)) {
    RaiseInvalidImage();
  }
  return TPixbufRef(static_cast<GdkPixbuf*>(g_object_ref(pixbuf)), &g_object_unref);
}

void CopyPixbuf(GdkPixbuf* pixbuf, TPixelTarget& ATarget) {
  const int width = gdk_pixbuf_get_width(pixbuf);
  const int height = gdk_pixbuf_get_height(pixbuf);
  const int channels = gdk_pixbuf_get_n_channels(pixbuf);
  const bool hasAlpha = gdk_pixbuf_get_has_alpha(pixbuf) != FALSE;
  ptrdiff_t rowStep = 0;
  uint8_t* top = ATarget.Rows(width, height, rowStep);
  const uint8_t* rows = gdk_pixbuf_read_pixels(pixbuf);
  const size_t rowStride = static_cast<size_t>(gdk_pixbuf_get_rowstride(pixbuf));
  for (int y = 0; y < height; ++y) {
    const uint8_t* from = rows + static_cast<size_t>(y) * rowStride;
    uint8_t* to = top + static_cast<ptrdiff_t>(y) * rowStep;
    for (int x = 0; x < width; ++x, from += channels, to += 4) {
      to[0] = from[2];
      to[1] = from[1];
      to[2] = from[0];
      to[3] = hasAlpha ? from[3] : 255;
    }
  }
  if (!hasAlpha) ATarget.AllOpaque();
}

bool IsJpeg(const uint8_t* data, size_t size) {
  return size >= 3 && data[0] == 0xFF && data[1] == 0xD8 && data[2] == 0xFF;
}

bool EndsWithJpegEndMarker(const uint8_t* data, size_t size) {
  return size >= 2 && data[size - 2] == 0xFF && data[size - 1] == 0xD9;
}

// libjpeg reports a fatal error by calling error_exit, which must not return
// and must not throw through the library: it jumps back to the decode.
struct TJpegErrors {
  jpeg_error_mgr Manager;
  std::jmp_buf Escape;
  bool Warned = false;
};

void OnJpegError(j_common_ptr AInfo) {
  std::longjmp(reinterpret_cast<TJpegErrors*>(AInfo->err)->Escape, 1);
}

// Warnings (corrupt data, data that ends early) are noted and nothing is
// printed: such a file goes the way of every other image.
void OnJpegMessage(j_common_ptr AInfo, int ALevel) {
  if (ALevel < 0) reinterpret_cast<TJpegErrors*>(AInfo->err)->Warned = true;
}

// The decompressor with its error manager, destroyed on every way out.
struct TJpegDecompressor {
  TJpegErrors Errors;
  jpeg_decompress_struct Info{};
  TJpegDecompressor() {
    Info.err = jpeg_std_error(&Errors.Manager);
    Errors.Manager.error_exit = OnJpegError;
    Errors.Manager.emit_message = OnJpegMessage;
  }
  ~TJpegDecompressor() { jpeg_destroy_decompress(&Info); }
  TJpegDecompressor(const TJpegDecompressor&) = delete;
  TJpegDecompressor& operator=(const TJpegDecompressor&) = delete;
};

enum class TJpegOutcome { Decoded, LeftToGdkPixbuf };

// Decodes a whole JPEG image of one (grey) or three (YCbCr or RGB) components
// straight into the target, through libjpeg-turbo with the settings
// gdk-pixbuf's loader uses, so that the pixels are the ones it would give.
// Anything else, and any file the library complains about, even with a
// warning, is left to gdk-pixbuf, which decides what it is.
// No object with a destructor is made between the setjmp and the jumps.
TJpegOutcome DecodeJpegInto(const uint8_t* data, size_t size, TPixelTarget& ATarget) {
  TJpegDecompressor decompressor;
  jpeg_decompress_struct& info = decompressor.Info;
  if (setjmp(decompressor.Errors.Escape) != 0) return TJpegOutcome::LeftToGdkPixbuf;
  jpeg_create_decompress(&info);
  jpeg_mem_src(&info, data, static_cast<unsigned long>(size));
  if (jpeg_read_header(&info, TRUE) != JPEG_HEADER_OK) return TJpegOutcome::LeftToGdkPixbuf;
  const bool grey = info.num_components == 1 && info.jpeg_color_space == JCS_GRAYSCALE;
  const bool colour = info.num_components == 3 && (info.jpeg_color_space == JCS_YCbCr || info.jpeg_color_space == JCS_RGB);
  if ((!grey && !colour) || decompressor.Errors.Warned) return TJpegOutcome::LeftToGdkPixbuf;
  if (!ImageSizeAccepted(info.image_width, info.image_height)) RaiseInvalidImage();
  info.out_color_space = JCS_EXT_BGRA;  // alpha 255
  jpeg_start_decompress(&info);
  if (info.output_width != info.image_width || info.output_height != info.image_height ||
      info.output_components != 4) {
    return TJpegOutcome::LeftToGdkPixbuf;
  }
  ptrdiff_t rowStep = 0;
  uint8_t* const top = ATarget.Rows(static_cast<int32_t>(info.output_width), static_cast<int32_t>(info.output_height),
                                    rowStep);
  constexpr int kRowsAtOnce = 16;
  JSAMPROW rows[kRowsAtOnce];
  while (info.output_scanline < info.output_height) {
    const JDIMENSION first = info.output_scanline;
    const JDIMENSION count = std::min<JDIMENSION>(kRowsAtOnce, info.output_height - first);
    for (JDIMENSION r = 0; r < count; ++r) rows[r] = top + static_cast<ptrdiff_t>(first + r) * rowStep;
    if (jpeg_read_scanlines(&info, rows, count) == 0) return TJpegOutcome::LeftToGdkPixbuf;
  }
  jpeg_finish_decompress(&info);
  if (decompressor.Errors.Warned) return TJpegOutcome::LeftToGdkPixbuf;
  ATarget.AllOpaque();
  return TJpegOutcome::Decoded;
}

bool IsPng(const uint8_t* data, size_t size) {
  static constexpr uint8_t kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  return size >= sizeof kSignature && std::memcmp(data, kSignature, sizeof kSignature) == 0;
}

// One decode through libpng's progressive reader, the one gdk-pixbuf's loader
// feeds, so that a file is taken or refused at the same chunk. libpng reports
// a fatal error through its error function, which must not return and must
// not throw through the library: it jumps back to the decode. The callbacks
// run inside libpng as well: they only record, and what they cannot do they
// end with such an error.
struct TPngDecode {
  std::jmp_buf Escape;
  TPixelTarget* Target = nullptr;
  uint8_t* Top = nullptr;
  ptrdiff_t RowStep = 0;
  png_uint_32 Height = 0;
  png_uint_32 RowsDelivered = 0;
  size_t RowBytes = 0;
  bool Opaque = false;
  bool Warned = false;
  bool SizeRefused = false;
  bool Ended = false;     // the end chunk was read
  std::exception_ptr TargetFailed;
};

TPngDecode& DecodeOf(png_structp APng) { return *static_cast<TPngDecode*>(png_get_progressive_ptr(APng)); }

void OnPngError(png_structp APng, png_const_charp) {
  std::longjmp(static_cast<TPngDecode*>(png_get_error_ptr(APng))->Escape, 1);
}

// Warnings (a damaged ancillary chunk, say) are noted and nothing is printed.
void OnPngWarning(png_structp APng, png_const_charp) {
  static_cast<TPngDecode*>(png_get_error_ptr(APng))->Warned = true;
}

// The header is read: the transformations gdk-pixbuf's loader asks for (fewer
// bits and palettes expanded, a transparent colour made alpha, grey made RGB),
// then BGRA, and the target's memory.
void OnPngHeader(png_structp APng, png_infop AInfo) noexcept {
  TPngDecode& decode = DecodeOf(APng);
  png_uint_32 width = 0, height = 0;
  int bitDepth = 0, colourType = 0, interlace = 0;
  png_get_IHDR(APng, AInfo, &width, &height, &bitDepth, &colourType, &interlace, nullptr, nullptr);
  if (!ImageSizeAccepted(width, height)) {
    decode.SizeRefused = true;
    png_error(APng, "refused size");
  }
  // An interlaced image is told whole by which rows gdk-pixbuf saw in any of
  // its passes; rare in comics, it is left to gdk-pixbuf, which judges it so.
  if (bitDepth > 8 || interlace != PNG_INTERLACE_NONE || decode.Warned) png_error(APng, "left to gdk-pixbuf");
  const bool transparentColour = png_get_valid(APng, AInfo, PNG_INFO_tRNS) != 0;
  decode.Opaque = (colourType & PNG_COLOR_MASK_ALPHA) == 0 && !transparentColour;
  if (colourType == PNG_COLOR_TYPE_PALETTE) png_set_palette_to_rgb(APng);
  if (colourType == PNG_COLOR_TYPE_GRAY && bitDepth < 8) png_set_expand_gray_1_2_4_to_8(APng);
  if (transparentColour) png_set_tRNS_to_alpha(APng);
  if ((colourType & PNG_COLOR_MASK_COLOR) == 0) png_set_gray_to_rgb(APng);
  png_set_bgr(APng);
  if (decode.Opaque) png_set_filler(APng, 0xFF, PNG_FILLER_AFTER);
  png_read_update_info(APng, AInfo);
  if (png_get_bit_depth(APng, AInfo) != 8 || png_get_channels(APng, AInfo) != 4 ||
      png_get_rowbytes(APng, AInfo) != static_cast<size_t>(width) * 4) {
    png_error(APng, "left to gdk-pixbuf");
  }
  try {
    decode.Top = decode.Target->Rows(static_cast<int32_t>(width), static_cast<int32_t>(height), decode.RowStep);
  } catch (...) {
    decode.TargetFailed = std::current_exception();
  }
  if (decode.TargetFailed) png_error(APng, "no memory for the pixels");
  decode.Height = height;
  decode.RowBytes = static_cast<size_t>(width) * 4;
}

// A row, whole: each comes once.
void OnPngRow(png_structp APng, png_bytep ARow, png_uint_32 ARowNumber, int) noexcept {
  TPngDecode& decode = DecodeOf(APng);
  if (ARow == nullptr || ARowNumber >= decode.Height) return;
  std::memcpy(decode.Top + static_cast<ptrdiff_t>(ARowNumber) * decode.RowStep, ARow, decode.RowBytes);
  ++decode.RowsDelivered;
}

void OnPngEnd(png_structp APng, png_infop) noexcept { DecodeOf(APng).Ended = true; }

// The reader, destroyed on every way out. It is made before the setjmp, so
// that nothing with a destructor is made between the setjmp and the jumps.
struct TPngReader {
  png_structp Png = nullptr;
  png_infop Info = nullptr;
  explicit TPngReader(TPngDecode& ADecode) {
    Png = png_create_read_struct(PNG_LIBPNG_VER_STRING, &ADecode, OnPngError, OnPngWarning);
    if (Png != nullptr) Info = png_create_info_struct(Png);
  }
  ~TPngReader() { png_destroy_read_struct(&Png, Info != nullptr ? &Info : nullptr, nullptr); }
  TPngReader(const TPngReader&) = delete;
  TPngReader& operator=(const TPngReader&) = delete;
};

enum class TPngOutcome { Decoded, LeftToGdkPixbuf };

bool RunPngDecode(TPngReader& AReader, TPngDecode& ADecode, const uint8_t* data, size_t size) {
  if (setjmp(ADecode.Escape) != 0) return false;
  png_set_progressive_read_fn(AReader.Png, &ADecode, OnPngHeader, OnPngRow, OnPngEnd);
  // Text says nothing about the pixels, yet libpng would inflate and keep
  // every text chunk: a few megabytes of file can hold gigabytes of it.
  static constexpr png_byte kTextChunks[] = "tEXt\0zTXt\0iTXt";
  png_set_keep_unknown_chunks(AReader.Png, PNG_HANDLE_CHUNK_NEVER, kTextChunks, 3);
  png_process_data(AReader.Png, AReader.Info, const_cast<png_bytep>(data), size);
  return true;
}

// Decodes a whole PNG image of 8 bits or fewer a sample, not interlaced,
// straight into the target through libpng, as gdk-pixbuf's loader would: the
// same reader, the same transformations, so the pixels are the ones it would
// give. Other images, and any file the library complains about, even with a
// warning, or that does not reach its end chunk with every row, are left to
// gdk-pixbuf, which decides what they are (the reader ends a file whose
// image data stops early without complaint; gdk-pixbuf's row check finds it
// damaged, and a file whose rows all came without its end chunk whole).
TPngOutcome DecodePngInto(const uint8_t* data, size_t size, TPixelTarget& ATarget) {
  TPngDecode decode;
  decode.Target = &ATarget;
  TPngReader reader(decode);
  if (reader.Png == nullptr || reader.Info == nullptr) throw EOutOfMemory();
  const bool finished = RunPngDecode(reader, decode, data, size);
  if (decode.TargetFailed) std::rethrow_exception(decode.TargetFailed);
  if (decode.SizeRefused) RaiseInvalidImage();
  if (!finished || !decode.Ended || decode.Warned || decode.Top == nullptr || decode.RowsDelivered != decode.Height)
    return TPngOutcome::LeftToGdkPixbuf;
  if (decode.Opaque) ATarget.AllOpaque();
  return TPngOutcome::Decoded;
}

// The PNG file without its text chunks (tEXt, zTXt, iTXt), for gdk-pixbuf:
// its loader inflates and keeps every one of them, and a file of a few
// megabytes can hold gigabytes of compressed text (300 chunks of 8 MB each
// in 2.3 MB took 4.6 GB and 20 s). Empty when the file holds none. The walk
// stops at the first chunk that does not fit in the file, whose bytes are
// then kept as they are for the loader to judge.
std::vector<uint8_t> WithoutPngText(const uint8_t* data, size_t size) {
  constexpr size_t kSignatureBytes = 8, kFrameBytes = 12;  // length, type, CRC
  auto isText = [](const uint8_t* type) {
    return std::memcmp(type, "tEXt", 4) == 0 || std::memcmp(type, "zTXt", 4) == 0 ||
           std::memcmp(type, "iTXt", 4) == 0;
  };
  auto chunkEnd = [&](size_t at) -> size_t {  // 0 when the chunk does not fit
    if (size - at < kFrameBytes) return 0;
    const size_t length = static_cast<size_t>(data[at]) << 24 | static_cast<size_t>(data[at + 1]) << 16 |
                          static_cast<size_t>(data[at + 2]) << 8 | data[at + 3];
    return length <= size - at - kFrameBytes ? at + kFrameBytes + length : 0;
  };
  bool anyText = false;
  for (size_t at = kSignatureBytes, end; at < size && (end = chunkEnd(at)) != 0; at = end)
    anyText = anyText || isText(data + at + 4);
  if (!anyText) return {};
  std::vector<uint8_t> kept(data, data + kSignatureBytes);
  size_t at = kSignatureBytes;
  for (size_t end; at < size && (end = chunkEnd(at)) != 0; at = end)
    if (!isText(data + at + 4)) kept.insert(kept.end(), data + at, data + end);
  kept.insert(kept.end(), data + at, data + size);
  return kept;
}

}  // namespace

void DecodeFirstFrame(const uint8_t* data, size_t size, TPixelTarget& ATarget) {
  // A JPEG without its end marker comes completed by the image loading,
  // which checks that all its rows arrived.
  if (IsJpeg(data, size) && EndsWithJpegEndMarker(data, size) &&
      DecodeJpegInto(data, size, ATarget) == TJpegOutcome::Decoded) {
    return;
  }
  std::vector<uint8_t> withoutText;
  if (IsPng(data, size)) {
    if (DecodePngInto(data, size, ATarget) == TPngOutcome::Decoded) return;
    withoutText = WithoutPngText(data, size);
    if (!withoutText.empty()) {
      data = withoutText.data();
      size = withoutText.size();
    }
  }
  TPixbufRef image = DecodeOnce(data, size);
  CopyPixbuf(image.get(), ATarget);
}

}  // namespace quillet::platform
