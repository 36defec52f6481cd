#pragma once
// The size an image file declares in its header, read from the bytes alone,
// before any decoder sees them. A decoder learns the size only once it has
// been handed the data, and some decode the whole image right then (Wine's
// PNG decoder does, gdk-pixbuf's WebP loader takes no notice of a refused
// size), so an image beyond the pixel cap is turned away here first. So are
// data that is no page image and a JPEG file whose scans would cost the
// decoder far more than its bytes.
#include <cstddef>
#include <cstdint>
#include <optional>

namespace quillet {

struct TImageDimensions {
  int64_t Width = 0;
  int64_t Height = 0;
  // The frames a decoder makes of that size before handing out the first:
  // an animated WebP is decoded whole.
  int64_t Frames = 1;
};

// The width and height declared by a PNG (APNG too), WebP (VP8, VP8L, VP8X,
// with the number of frames of an animation), JPEG (the first frame header),
// GIF (the logical screen, grown to hold the first image descriptor), BMP
// header, or HEIF or AVIF file (the largest of its images' spatial extents,
// tiles and grids alike); nothing for other formats, and for data too short
// or too damaged to tell. Reads only within ASize bytes, in time linear in
// ASize at most.
std::optional<TImageDimensions> DeclaredImageDimensions(const uint8_t* AData, size_t ASize);

// Whether the data starts as a page image does: JPEG, PNG, GIF, BMP, TIFF,
// WebP, or an ISO media file of a HEIF or AVIF brand whose file type box
// fits in the data. Only these are handed to a
// decoder. The platform offers more (SVG, whose filters make a 274-byte file
// take 23 s and 2.7 GB to render; icon and QuickTime containers, whose
// loaders decode the picture inside before its size is looked at; XPM, whose
// loader copies the page to a temporary file of its own), none of which a
// comic's pages come in, and a decoder is chosen by the content, whatever
// the entry's name.
bool HasPageImageSignature(const uint8_t* AData, size_t ASize);

// The most frames a decoder may make before the first is handed out. The
// WebP loader's work grows faster than the frames: 200,000 frames of one
// pixel in a 64 KB file took it 97 s.
constexpr int64_t kMaxFrames = 1000;

// Whether the data declares an image beyond the pixel cap, counting every
// frame a decoder makes, or more than kMaxFrames frames. Data whose size
// cannot be read here, or that declares no positive size, is left to the
// decoder's own checks.
bool DeclaresTooManyPixels(const uint8_t* AData, size_t ASize);

// Whether the data declares a header longer than the data itself: a BMP
// whose bitmap header claims more bytes than the file holds, or whose pixels
// start beyond its end. Such a file is damaged, and a decoder may reserve
// the claimed size before it reads on (gdk-pixbuf's BMP loader does,
// gigabytes for a few hundred bytes).
bool DeclaresHeaderBeyondItsData(const uint8_t* AData, size_t ASize);

// What the scans of a JPEG file may cost. Every scan of a progressive JPEG
// is a pass over all the blocks of its components, and a refinement scan
// visits every coefficient of its band in each of them, however few bytes
// the scan takes: 883 one-coefficient scans of 8000 x 12500 pixels in 350 KB
// kept libjpeg-turbo busy for 20 s, 100 refinements of all 63 coefficients
// of 10240 x 10240 grey pixels in 223 KB for 32 s. A common progressive
// file has 3 to 10 scans that visit each coefficient about 3 times in all
// (libjpeg's own script: 191 visits of the 64 coefficients of a luma block);
// one from an optimising encoder a few dozen scans at most. So a file may
// hold at most kMaxJpegScans scans, which together visit at most
// kMaxJpegCoefficientVisits times each coefficient of the image.
constexpr size_t kMaxJpegScans = 100;
constexpr uint64_t kMaxJpegCoefficientVisits = 6;

// Whether the data is a JPEG file whose scans exceed either bound. The
// markers are found as the decoder finds them: segments are passed over by
// their lengths, anything else up to the next marker byte by byte, up to the
// end of the image; the frame header gives each component's blocks, each
// scan header its components and band. Linear in ASize.
bool HasTooCostlyJpegScans(const uint8_t* AData, size_t ASize);

}  // namespace quillet
