#pragma once
// The platform's imaging component as the image services see it: the
// installed decoders with the file extensions they declare, and the decoding
// of one image held in memory into 32-bit pixels. Windows Imaging Component
// on Windows, gdk-pixbuf and its installed loaders on Linux.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string_view>
#include <vector>

namespace quillet::platform {

// Calls visit once for each installed decoder, in the order the platform
// lists them, with the text in which the decoder declares its file
// extensions: each with its leading dot, separated by commas (".jpeg,.jpe,.jpg")
// or, by some decoders, by semicolons. The text is passed as declared, not
// trimmed; a decoder that declares nothing is skipped.
// On Windows the calling thread must have COM initialised; the module never
// does it for this. Raises EOleSysError when the decoders cannot be listed or
// a declaration cannot be read; the decoders visited until then stay visited.
void EnumerateImageDecoders(const std::function<void(std::u16string_view declared)>& visit);

// The most pixels an image may have: 100 * 2^20 (104,857,600). Every real
// page fits, 8000 x 12500 and 10000 x 10000 (100 million) and 8192 x 12800
// alike, while the decoded buffer of four bytes a pixel stays within 400 MiB
// and so within what the 32-bit route can address. A larger image is refused
// as soon as its size is known: a flat image of 20000 x 20000 packs into a
// few kilobytes of PNG and would take 1.5 GiB to decode.
constexpr int64_t kMaxImagePixels = int64_t{100} * 1024 * 1024;

// Whether an image of this size is decoded: both sides positive and at most
// kMaxImagePixels pixels in all.
constexpr bool ImageSizeAccepted(int64_t width, int64_t height) {
  return width > 0 && height > 0 && width <= kMaxImagePixels / height;
}

// The first frame of a decoded image: width * height pixels of four bytes,
// blue, green, red, alpha, the colours not premultiplied; rows width * 4 bytes
// apart, top row first. An image without alpha has alpha 255.
struct DecodedImage {
  int32_t width = 0;
  int32_t height = 0;
  std::vector<uint8_t> pixels;
};

// Where a decoder puts the pixels of the image: memory for AHeight rows of
// AWidth pixels of four bytes, asked for once the size is known and accepted.
// Rows returns the address of the top row and sets ARowStep to the bytes from
// one row to the next one down: AWidth * 4, the rows lying next to each other,
// negated for memory that holds them bottom-up. A decoder that starts over asks again with the same size and
// gets the same memory. Every pixel is written before the decoding returns.
class TPixelTarget {
 public:
  virtual uint8_t* Rows(int32_t AWidth, int32_t AHeight, ptrdiff_t& ARowStep) = 0;
  // Told once every pixel is written, by a decoder that knows the image has
  // no alpha: every alpha byte is 255 and need not be looked at.
  virtual void AllOpaque() {}

 protected:
  ~TPixelTarget() = default;
};

// Decodes the first frame (of an animation or a multi-page image) of the
// image held in data into the memory ATarget gives, pixels as DecodedImage
// describes them. The decoder is chosen by the content, never by a name.
// Raises Exception("Invalid image") when no installed decoder accepts the
// data or the data is damaged, and also when the image is larger than
// ImageSizeAccepted allows. That test comes as soon as the decoder reports
// the size, which for some decoders is after they have decoded the pixels
// (Wine's PNG decoder, gdk-pixbuf's WebP loader): callers screen the size the
// data declares first. Other failures raise an error of their own, and so do
// the target's.
void DecodeFirstFrame(const uint8_t* data, size_t size, TPixelTarget& ATarget);

// The same into a buffer of its own.
DecodedImage DecodeFirstFrame(const uint8_t* data, size_t size);

}  // namespace quillet::platform
