#pragma once
// The size an image file declares in its header, read from the bytes alone,
// before any decoder sees them. A decoder learns the size only once it has
// been handed the data, and some decode the whole image right then (Wine's
// PNG decoder does, gdk-pixbuf's WebP loader takes no notice of a refused
// size), so an image beyond the pixel cap is turned away here first. So is a
// JPEG file whose scans would cost the decoder far more than its bytes.
#include <cstddef>
#include <cstdint>
#include <optional>

namespace quillet {

struct TImageDimensions {
  int64_t Width = 0;
  int64_t Height = 0;
};

// The width and height declared by a PNG (APNG too), WebP (VP8, VP8L, VP8X),
// JPEG (the first frame header), GIF (the logical screen, grown to hold the
// first image descriptor) or BMP header; nothing for other formats, and for
// data too short or too damaged to tell. Reads only within ASize bytes, in
// time linear in ASize at most.
std::optional<TImageDimensions> DeclaredImageDimensions(const uint8_t* AData, size_t ASize);

// Whether the data declares an image beyond the pixel cap. Data whose size
// cannot be read here, or that declares no positive size, is left to the
// decoder's own checks.
bool DeclaresTooManyPixels(const uint8_t* AData, size_t ASize);

// Whether the data declares a header longer than the data itself: a BMP
// whose bitmap header claims more bytes than the file holds, or whose pixels
// start beyond its end. Such a file is damaged, and a decoder may reserve
// the claimed size before it reads on (gdk-pixbuf's BMP loader does,
// gigabytes for a few hundred bytes).
bool DeclaresHeaderBeyondItsData(const uint8_t* AData, size_t ASize);

// The most scans a JPEG file may hold. Every scan of a progressive JPEG is a
// pass over all the blocks of its components, however few bytes it takes:
// a 342 KB file of 8000 x 8000 pixels in 2,082 scans (each coefficient coded
// on its own in every bit position) keeps the decoder busy for 17 s. A
// progressive file from any common encoder has 3 to 10 scans, one from an
// optimising encoder a few dozen at most.
constexpr size_t kMaxJpegScans = 100;

// Whether the data is a JPEG file with more than kMaxJpegScans scans. The
// markers are found as the decoder finds them: segments are passed over by
// their lengths, anything else up to the next marker byte by byte, up to the
// end of the image. Linear in ASize.
bool HasTooManyJpegScans(const uint8_t* AData, size_t ASize);

}  // namespace quillet
