#include "handlers/image_dimensions.h"

#include <algorithm>
#include <cstring>

#include "platform/image_decoding.h"

namespace quillet {

namespace {

// The data with reads that are checked against its end. Every read asks
// Has first; offsets are compared by subtraction, so no sum can overflow.
class TByteView {
 public:
  TByteView(const uint8_t* AData, size_t ASize) : FData(AData), FSize(ASize) {}
  size_t Size() const { return FSize; }
  bool Has(size_t AOffset, size_t ACount) const { return AOffset <= FSize && ACount <= FSize - AOffset; }
  bool Matches(size_t AOffset, const char* AText) const {
    const size_t length = std::strlen(AText);
    return Has(AOffset, length) && std::memcmp(FData + AOffset, AText, length) == 0;
  }
  // The reads below expect Has(AOffset, width) to hold.
  uint32_t U8(size_t AOffset) const { return FData[AOffset]; }
  uint32_t Le16(size_t AOffset) const { return U8(AOffset) | U8(AOffset + 1) << 8; }
  uint32_t Le24(size_t AOffset) const { return Le16(AOffset) | U8(AOffset + 2) << 16; }
  uint32_t Le32(size_t AOffset) const { return Le24(AOffset) | U8(AOffset + 3) << 24; }
  uint32_t Be16(size_t AOffset) const { return U8(AOffset) << 8 | U8(AOffset + 1); }
  uint32_t Be32(size_t AOffset) const { return Be16(AOffset) << 16 | Be16(AOffset + 2); }

 private:
  const uint8_t* FData;
  size_t FSize;
};

using TResult = std::optional<TImageDimensions>;

// The signatures the readers below and the page screen share.
bool StartsAsPng(const TByteView& AData) { return AData.Matches(0, "\x89PNG\r\n\x1A\n"); }
bool StartsAsWebP(const TByteView& AData) { return AData.Matches(0, "RIFF") && AData.Matches(8, "WEBP"); }
// The start-of-image marker.
bool StartsAsJpeg(const TByteView& AData) { return AData.Has(0, 2) && AData.U8(0) == 0xFF && AData.U8(1) == 0xD8; }

// The signature, then the first chunk, which must be IHDR: width and height
// as 32-bit big-endian numbers.
TResult PngDimensions(const TByteView& AData) {
  if (!StartsAsPng(AData) || !AData.Matches(12, "IHDR") || !AData.Has(16, 8)) return {};
  return TImageDimensions{AData.Be32(16), AData.Be32(20)};
}

// RIFF, a size, WEBP, then the first chunk's type and size; its data from 20.
TResult WebPDimensions(const TByteView& AData) {
  if (!StartsAsWebP(AData)) return {};
  constexpr size_t kBody = 20;
  if (AData.Matches(12, "VP8X") && AData.Has(kBody, 10)) {
    // Flags and reserved bytes, then the canvas less one, 24 bits each.
    TImageDimensions result{int64_t{AData.Le24(kBody + 4)} + 1, int64_t{AData.Le24(kBody + 7)} + 1};
    // An animation's frames follow as ANMF chunks, each decoded onto the
    // canvas before the first is handed out. Chunks are even-padded.
    constexpr uint32_t kAnimation = 0x02;
    if ((AData.U8(kBody) & kAnimation) != 0) {
      int64_t frames = 0;
      for (size_t at = 12; AData.Has(at, 8);) {
        if (AData.Matches(at, "ANMF")) ++frames;
        const size_t length = AData.Le32(at + 4);
        if (!AData.Has(at + 8, length)) break;
        at += 8 + length + (length & 1);
      }
      result.Frames = std::max<int64_t>(frames, 1);
    }
    return result;
  }
  if (AData.Matches(12, "VP8L") && AData.Has(kBody, 5) && AData.U8(kBody) == 0x2F) {
    // After the signature byte: 14 bits each, less one.
    const uint32_t bits = AData.Le32(kBody + 1);
    return TImageDimensions{int64_t{bits & 0x3FFF} + 1, int64_t{(bits >> 14) & 0x3FFF} + 1};
  }
  if (AData.Matches(12, "VP8 ") && AData.Has(kBody, 10) && AData.U8(kBody + 3) == 0x9D &&
      AData.U8(kBody + 4) == 0x01 && AData.U8(kBody + 5) == 0x2A) {
    // A key frame: 14 bits each after the start code, the top two a scale.
    return TImageDimensions{AData.Le16(kBody + 6) & 0x3FFF, AData.Le16(kBody + 8) & 0x3FFF};
  }
  return {};
}

// A start-of-frame marker: every SOFn but DHT (C4), JPG (C8) and DAC (CC).
bool IsStartOfFrame(uint32_t AMarker) {
  return AMarker >= 0xC0 && AMarker <= 0xCF && AMarker != 0xC4 && AMarker != 0xC8 && AMarker != 0xCC;
}

// The marker segments are walked by their lengths up to the first frame
// header; each step moves forward, so the walk ends within the data.
TResult JpegDimensions(const TByteView& AData) {
  if (!AData.Has(0, 3) || !StartsAsJpeg(AData)) return {};
  size_t at = 2;
  for (;;) {
    if (!AData.Has(at, 2) || AData.U8(at) != 0xFF) return {};
    while (AData.Has(at + 1, 1) && AData.U8(at + 1) == 0xFF) ++at;  // fill bytes before a marker
    if (!AData.Has(at, 2)) return {};
    const uint32_t marker = AData.U8(at + 1);
    at += 2;
    if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7)) continue;  // no length follows
    // The scan, the end, or a second start, before any frame header.
    if (marker == 0xDA || marker == 0xD9 || marker == 0xD8 || marker == 0x00) return {};
    if (!AData.Has(at, 2)) return {};
    const size_t length = AData.Be16(at);  // counts itself
    if (length < 2 || !AData.Has(at, length)) return {};
    if (IsStartOfFrame(marker)) {
      // Precision, then height and width, 16 bits each.
      if (length < 7) return {};
      return TImageDimensions{AData.Be16(at + 5), AData.Be16(at + 3)};
    }
    at += length;
  }
}

// The logical screen, grown to hold the first image, whose descriptor comes
// after the global colour table and any extension blocks.
TResult GifDimensions(const TByteView& AData) {
  if ((!AData.Matches(0, "GIF87a") && !AData.Matches(0, "GIF89a")) || !AData.Has(6, 7)) return {};
  TImageDimensions result{AData.Le16(6), AData.Le16(8)};
  const uint32_t screenFlags = AData.U8(10);
  size_t at = 13;
  if (screenFlags & 0x80) at += size_t{3} << ((screenFlags & 7) + 1);
  for (;;) {
    if (!AData.Has(at, 1)) return result;
    const uint32_t block = AData.U8(at);
    if (block == 0x2C) {  // image descriptor: left, top, width, height
      if (!AData.Has(at + 1, 8)) return result;
      result.Width = std::max<int64_t>(result.Width, int64_t{AData.Le16(at + 1)} + AData.Le16(at + 5));
      result.Height = std::max<int64_t>(result.Height, int64_t{AData.Le16(at + 3)} + AData.Le16(at + 7));
      return result;
    }
    if (block != 0x21 || !AData.Has(at, 2)) return result;  // the trailer, or damage
    at += 2;  // introducer and label, then sub-blocks up to an empty one
    for (;;) {
      if (!AData.Has(at, 1)) return result;
      const size_t length = AData.U8(at);
      ++at;
      if (length == 0) break;
      if (!AData.Has(at, length)) return result;
      at += length;
    }
  }
}

// The file header, then the bitmap header: the old 12-byte one with 16-bit
// sides, or any later one with 32-bit signed sides, a negative height for
// rows stored top-down.
TResult BmpDimensions(const TByteView& AData) {
  if (!AData.Matches(0, "BM") || !AData.Has(14, 4)) return {};
  const uint32_t headerSize = AData.Le32(14);
  if (headerSize == 12 && AData.Has(18, 4)) return TImageDimensions{AData.Le16(18), AData.Le16(20)};
  if (headerSize < 40 || !AData.Has(18, 8)) return {};
  const int64_t width = static_cast<int32_t>(AData.Le32(18));
  const int64_t height = static_cast<int32_t>(AData.Le32(22));
  return TImageDimensions{width, height < 0 ? -height : height};
}

// Bits of an HEVC parameter set, most significant first, the emulation
// prevention bytes (the 03 of 00 00 03) left out. Reads past the end give
// zeros and mark the reader exhausted.
class THevcBits {
 public:
  THevcBits(const TByteView& AData, size_t AStart, size_t AEnd) : FData(AData), FAt(AStart), FEnd(AEnd) {}
  uint32_t Bits(int ACount) {
    uint32_t value = 0;
    for (int i = 0; i < ACount; ++i) value = value << 1 | Bit();
    return value;
  }
  // An unsigned exponential-Golomb number; at most 32 leading zeros.
  uint64_t Golomb() {
    int zeros = 0;
    while (Bit() == 0 && !FExhausted && zeros < 32) ++zeros;
    return (uint64_t{1} << zeros) - 1 + Bits(zeros);
  }
  bool Exhausted() const { return FExhausted; }

 private:
  uint32_t Bit() {
    if (FBit == 0) {
      if (FAt >= FEnd) {
        FExhausted = true;
        return 0;
      }
      if (FZeros >= 2 && FData.U8(FAt) == 3) {
        FZeros = 0;
        if (++FAt >= FEnd) {
          FExhausted = true;
          return 0;
        }
      }
      FByte = FData.U8(FAt++);
      FZeros = FByte == 0 ? FZeros + 1 : 0;
      FBit = 8;
    }
    --FBit;
    return FByte >> FBit & 1;
  }

  const TByteView& FData;
  size_t FAt, FEnd;
  uint32_t FByte = 0;
  int FBit = 0;
  int FZeros = 0;
  bool FExhausted = false;
};

// The luma size a sequence parameter set codes: after the NAL unit header,
// the set's identifiers and its profile, tier and level (a fixed 96 bits for
// the whole stream, then what each sub-layer declares).
std::optional<TImageDimensions> HevcSequenceSize(const TByteView& AData, size_t AStart, size_t AEnd) {
  THevcBits bits(AData, AStart, AEnd);
  bits.Bits(16);  // NAL unit header
  bits.Bits(4);   // video parameter set
  const uint32_t subLayers = bits.Bits(3);
  bits.Bits(1);
  bits.Bits(32), bits.Bits(32), bits.Bits(32);  // general profile, tier, flags and level
  uint32_t profilePresent = 0, levelPresent = 0;
  for (uint32_t i = 0; i < subLayers; ++i) {
    profilePresent |= bits.Bits(1) << i;
    levelPresent |= bits.Bits(1) << i;
  }
  if (subLayers > 0) bits.Bits(2 * (8 - static_cast<int>(subLayers)));
  for (uint32_t i = 0; i < subLayers; ++i) {
    if (profilePresent >> i & 1) bits.Bits(32), bits.Bits(32), bits.Bits(24);
    if (levelPresent >> i & 1) bits.Bits(8);
  }
  bits.Golomb();  // sequence parameter set
  if (bits.Golomb() == 3) bits.Bits(1);  // chroma format, separate planes
  const uint64_t width = bits.Golomb(), height = bits.Golomb();
  if (bits.Exhausted()) return {};
  return TImageDimensions{static_cast<int64_t>(width), static_cast<int64_t>(height)};
}

// The sequence parameter sets (NAL unit type 33) of an HEVC configuration
// record: 22 bytes of profile and format, the count of arrays, then per array
// its NAL unit type, the count of units and each unit after its length.
void ReadHevcConfiguration(const TByteView& AData, size_t AStart, size_t AEnd, TImageDimensions& AResult,
                           bool& AFound) {
  constexpr uint32_t kSequenceParameterSet = 33;
  size_t at = AStart + 22;
  if (at >= AEnd || !AData.Has(at, 1)) return;
  const uint32_t arrays = AData.U8(at++);
  for (uint32_t a = 0; a < arrays; ++a) {
    if (AEnd - at < 3) return;
    const uint32_t type = AData.U8(at) & 0x3F;
    const uint32_t units = AData.Be16(at + 1);
    at += 3;
    for (uint32_t u = 0; u < units; ++u) {
      if (AEnd - at < 2) return;
      const size_t length = AData.Be16(at);
      at += 2;
      if (length > AEnd - at) return;
      if (type == kSequenceParameterSet) {
        if (const std::optional<TImageDimensions> size = HevcSequenceSize(AData, at, at + length)) {
          AResult.Width = std::max(AResult.Width, size->Width);
          AResult.Height = std::max(AResult.Height, size->Height);
          AFound = true;
        }
      }
      at += length;
    }
  }
}

// An ISO media file (HEIF, AVIF): boxes of a 32-bit size (1: a 64-bit size
// follows the type; 0: to the end), then the type. The images' spatial
// extents (ispe) and HEVC configurations (hvcC) are properties in meta /
// iprp / ipco; the largest width and height of any of them is the size, so
// that neither a tile nor the grid they make, nor a stream larger than its
// extents, goes unseen. Each box is visited once.
void ReadSpatialExtents(const TByteView& AData, size_t AStart, size_t AEnd, int ADepth, TImageDimensions& AResult,
                        bool& AFound) {
  for (size_t at = AStart; at < AEnd && AData.Has(at, 8);) {
    uint64_t size = AData.Be32(at);
    size_t header = 8;
    if (size == 1) {
      if (!AData.Has(at + 8, 8)) return;
      size = uint64_t{AData.Be32(at + 8)} << 32 | AData.Be32(at + 12);
      header = 16;
    } else if (size == 0) {
      size = AEnd - at;
    }
    if (size < header || size > AEnd - at) return;
    const size_t end = at + static_cast<size_t>(size);
    if (AData.Matches(at + 4, "ispe") && AData.Has(at + header, 12) && end - at >= header + 12) {
      AResult.Width = std::max<int64_t>(AResult.Width, AData.Be32(at + header + 4));
      AResult.Height = std::max<int64_t>(AResult.Height, AData.Be32(at + header + 8));
      AFound = true;
    } else if (AData.Matches(at + 4, "hvcC")) {
      // The size the HEVC stream itself codes: the decoder goes by it,
      // whatever the extents say.
      ReadHevcConfiguration(AData, at + header, end, AResult, AFound);
    } else if (ADepth < 3 && (AData.Matches(at + 4, "meta") || AData.Matches(at + 4, "iprp") ||
                              AData.Matches(at + 4, "ipco"))) {
      // meta is a full box: a version and flags come before its children.
      const size_t children = at + header + (AData.Matches(at + 4, "meta") ? 4 : 0);
      ReadSpatialExtents(AData, children, end, ADepth + 1, AResult, AFound);
    }
    at = end;
  }
}

TResult HeifDimensions(const TByteView& AData) {
  if (!AData.Matches(4, "ftyp")) return {};
  TImageDimensions result;
  bool found = false;
  ReadSpatialExtents(AData, 0, AData.Size(), 0, result, found);
  if (!found) return {};
  return result;
}

// An ISO media file that is a HEIF or AVIF image: it starts with its file
// type box, whole within the data, whose major brand is one of theirs. The
// first four bytes are the box's size: taken for anything, they would let a
// file whose content sniffing finds another format (SVG, TGA, PNM) through.
bool IsHeifImage(const TByteView& AData) {
  if (!AData.Has(0, 12) || !AData.Matches(4, "ftyp")) return false;
  const uint32_t size = AData.Be32(0);
  if (size < 16 || !AData.Has(0, size)) return false;
  for (const char* brand : {"heic", "heix", "heim", "heis", "hevc", "hevx", "mif1", "mif2", "msf1", "avif", "avis"})
    if (AData.Matches(8, brand)) return true;
  return false;
}

}  // namespace

bool HasPageImageSignature(const uint8_t* AData, size_t ASize) {
  if (AData == nullptr) return false;
  const TByteView data(AData, ASize);
  const bool jpeg = StartsAsJpeg(data) && data.Has(2, 1) && data.U8(2) == 0xFF;  // a marker follows
  // Little-endian "II" 42 or 43 (BigTIFF), big-endian "MM" 42 or 43.
  const bool tiff = data.Has(0, 4) && ((data.Matches(0, "II") && (data.Le16(2) == 42 || data.Le16(2) == 43)) ||
                                       (data.Matches(0, "MM") && (data.Be16(2) == 42 || data.Be16(2) == 43)));
  return jpeg || tiff || StartsAsPng(data) || data.Matches(0, "GIF87a") || data.Matches(0, "GIF89a") ||
         data.Matches(0, "BM") || StartsAsWebP(data) || IsHeifImage(data);
}

std::optional<TImageDimensions> DeclaredImageDimensions(const uint8_t* AData, size_t ASize) {
  if (AData == nullptr) return {};
  const TByteView data(AData, ASize);
  for (TResult (*read)(const TByteView&) :
       {PngDimensions, WebPDimensions, JpegDimensions, GifDimensions, BmpDimensions, HeifDimensions}) {
    if (TResult dimensions = read(data)) return dimensions;
  }
  return {};
}

bool DeclaresTooManyPixels(const uint8_t* AData, size_t ASize) {
  const TResult dimensions = DeclaredImageDimensions(AData, ASize);
  if (!dimensions || dimensions->Width <= 0 || dimensions->Height <= 0) return false;
  return !platform::ImageSizeAccepted(dimensions->Width, dimensions->Height) || dimensions->Frames > kMaxFrames ||
         dimensions->Frames > platform::kMaxImagePixels / (dimensions->Width * dimensions->Height);
}

bool DeclaresHeaderBeyondItsData(const uint8_t* AData, size_t ASize) {
  if (AData == nullptr) return false;
  const TByteView data(AData, ASize);
  if (!data.Matches(0, "BM") || !data.Has(14, 4)) return false;
  constexpr uint64_t kFileHeaderSize = 14;
  // The bitmap header's own size, and where the file header says the pixels
  // start: neither lies beyond the end of a whole file.
  return kFileHeaderSize + data.Le32(14) > ASize || data.Le32(10) > ASize;
}

bool HasTooCostlyJpegScans(const uint8_t* AData, size_t ASize) {
  if (AData == nullptr) return false;
  const TByteView data(AData, ASize);
  if (!StartsAsJpeg(data)) return false;
  constexpr uint32_t kStartOfScan = 0xDA, kEndOfImage = 0xD9;
  // libjpeg takes frames of up to 10 components.
  constexpr size_t kBlockSide = 8, kCoefficients = 64, kMostComponents = 10;
  // From the frame header: each component's identifier and blocks.
  struct TComponent {
    uint32_t Id = 0;
    uint64_t Blocks = 0;
  };
  TComponent components[kMostComponents];
  size_t componentCount = 0;
  uint64_t imageBlocks = 0;
  size_t scans = 0;
  uint64_t visits = 0;
  size_t at = 2;
  for (;;) {
    // The next 0xFF, past entropy-coded data or bytes the decoder would
    // skip with a warning, then past any fill bytes.
    const void* next = std::memchr(AData + at, 0xFF, ASize - at);
    if (next == nullptr) return false;
    at = static_cast<size_t>(static_cast<const uint8_t*>(next) - AData);
    while (data.Has(at + 1, 1) && data.U8(at + 1) == 0xFF) ++at;
    if (!data.Has(at, 2)) return false;
    const uint32_t marker = data.U8(at + 1);
    at += 2;
    if (marker == kEndOfImage) return false;
    // A stuffed 0xFF of entropy-coded data, a restart marker, or a marker
    // without a segment: nothing to pass over.
    if (marker == 0x00 || marker == 0x01 || marker == 0xD8 || (marker >= 0xD0 && marker <= 0xD7)) continue;
    if (!data.Has(at, 2)) return false;
    const size_t length = data.Be16(at);  // counts itself
    const bool whole = length >= 2 && data.Has(at, length);
    if (marker == kStartOfScan && ++scans > kMaxJpegScans) return true;
    if (whole && IsStartOfFrame(marker) && componentCount == 0 && length >= 8 &&
        length >= 8 + 3 * std::min<size_t>(data.U8(at + 7), kMostComponents)) {
      // Precision, height, width, the component count, then 3 bytes each:
      // identifier, sampling factors, quantisation table.
      const uint64_t height = data.Be16(at + 3), width = data.Be16(at + 5);
      const size_t count = std::min<size_t>(data.U8(at + 7), kMostComponents);
      uint32_t mostAcross = 1, mostDown = 1;
      for (size_t c = 0; c < count; ++c) {
        mostAcross = std::max(mostAcross, data.U8(at + 9 + 3 * c) >> 4);
        mostDown = std::max(mostDown, data.U8(at + 9 + 3 * c) & 15);
      }
      for (size_t c = 0; c < count; ++c) {
        const uint32_t across = std::max(1u, data.U8(at + 9 + 3 * c) >> 4);
        const uint32_t down = std::max(1u, data.U8(at + 9 + 3 * c) & 15);
        const uint64_t columns = ((width * across + mostAcross - 1) / mostAcross + kBlockSide - 1) / kBlockSide;
        const uint64_t rows = ((height * down + mostDown - 1) / mostDown + kBlockSide - 1) / kBlockSide;
        components[c] = {data.U8(at + 8 + 3 * c), columns * rows};
        imageBlocks += columns * rows;
      }
      componentCount = count;
    }
    if (whole && marker == kStartOfScan && componentCount > 0 && length >= 3) {
      // The component count, 2 bytes each (identifier, tables), then the
      // band's first and last coefficient.
      const size_t count = data.U8(at + 2);
      if (length >= 6 + 2 * count) {
        const uint32_t first = data.U8(at + 3 + 2 * count), last = data.U8(at + 4 + 2 * count);
        const uint64_t band = last >= first ? uint64_t{last} - first + 1 : 1;
        for (size_t c = 0; c < count; ++c) {
          for (size_t k = 0; k < componentCount; ++k)
            if (components[k].Id == data.U8(at + 3 + 2 * c)) visits += components[k].Blocks * band;
        }
        if (visits > imageBlocks * kCoefficients * kMaxJpegCoefficientVisits) return true;
      }
    }
    if (whole) at += length;
  }
}

}  // namespace quillet
