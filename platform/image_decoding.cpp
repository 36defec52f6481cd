// Decoding into a buffer of its own, for callers that want the pixels apart
// from any bitmap.
#include "platform/image_decoding.h"

namespace quillet::platform {

namespace {

class TVectorTarget final : public TPixelTarget {
 public:
  explicit TVectorTarget(DecodedImage& AImage) : FImage(AImage) {}
  uint8_t* Rows(int32_t AWidth, int32_t AHeight, ptrdiff_t& ARowStep) override {
    const size_t bytes = static_cast<size_t>(AWidth) * 4 * static_cast<size_t>(AHeight);
    if (FImage.pixels.size() != bytes) FImage.pixels.resize(bytes);
    FImage.width = AWidth;
    FImage.height = AHeight;
    ARowStep = static_cast<ptrdiff_t>(AWidth) * 4;
    return FImage.pixels.data();
  }

 private:
  DecodedImage& FImage;
};

}  // namespace

DecodedImage DecodeFirstFrame(const uint8_t* data, size_t size) {
  DecodedImage image;
  TVectorTarget target(image);
  DecodeFirstFrame(data, size, target);
  return image;
}

}  // namespace quillet::platform
