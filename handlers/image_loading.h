#pragma once
// Decoding of an extracted image file into the bitmap the scaler takes.
#include <cstdint>

#include "platform/image_decoding.h"
#include "platform_gdi.h"

namespace quillet {

// The largest image file that is read: a cover page is never this large, and
// the whole file is held in memory while it is decoded.
constexpr uint64_t kMaxImageFileSize = uint64_t{512} * 1024 * 1024;

// The most an archive back-end unpacks for one request, the cover included.
// In a solid archive every entry before the cover is unpacked to reach it,
// and sparse data packs hundreds of megabytes into a few kilobytes: without
// this bound the time of a request had none.
constexpr uint64_t kMaxUnpackedBytesPerRequest = kMaxImageFileSize;

// A new 32-bit bottom-up DIB section holding AImage upright, its colours
// premultiplied by alpha: each of blue, green and red becomes
// (c * a + 127) div 255. The caller owns the bitmap.
HBITMAP CreatePremultipliedDib(const platform::DecodedImage& AImage);

}  // namespace quillet
