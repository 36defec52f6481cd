#include "images/support/image_fixtures.h"

#include <algorithm>
#include <array>
#include <bit>
#include <fstream>
#include <stdexcept>
#include <string>
#include <utility>

namespace quillet::test {

namespace {

void Put32BE(TBytes& AOut, uint32_t AValue) {
  for (int shift = 24; shift >= 0; shift -= 8) AOut.push_back(static_cast<uint8_t>(AValue >> shift));
}

void Put16LE(TBytes& AOut, uint32_t AValue) {
  AOut.push_back(static_cast<uint8_t>(AValue));
  AOut.push_back(static_cast<uint8_t>(AValue >> 8));
}

uint32_t Crc32(const uint8_t* AData, size_t ASize) {
  static const std::array<uint32_t, 256> table = [] {
    std::array<uint32_t, 256> t{};
    for (uint32_t n = 0; n < 256; ++n) {
      uint32_t c = n;
      for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      t[n] = c;
    }
    return t;
  }();
  uint32_t crc = 0xFFFFFFFFu;
  for (size_t i = 0; i < ASize; ++i) crc = table[(crc ^ AData[i]) & 0xFF] ^ (crc >> 8);
  return crc ^ 0xFFFFFFFFu;
}

uint32_t Adler32(const TBytes& AData) {
  uint32_t a = 1, b = 0;
  for (const uint8_t byte : AData) {
    a = (a + byte) % 65521;
    b = (b + a) % 65521;
  }
  return (b << 16) | a;
}

void PutChunk(TBytes& AOut, const char* AType, const TBytes& AData) {
  Put32BE(AOut, static_cast<uint32_t>(AData.size()));
  const size_t start = AOut.size();
  AOut.insert(AOut.end(), AType, AType + 4);
  AOut.insert(AOut.end(), AData.begin(), AData.end());
  Put32BE(AOut, Crc32(AOut.data() + start, AOut.size() - start));
}

// A zlib stream of stored (uncompressed) deflate blocks. With AComplete
// false it stops after the blocks, without a final block or checksum.
TBytes StoredZlib(const TBytes& ARaw, bool AComplete) {
  TBytes out = {0x78, 0x01};
  size_t at = 0;
  do {
    const size_t n = std::min<size_t>(65535, ARaw.size() - at);
    const bool last = AComplete && at + n == ARaw.size();
    out.push_back(last ? 1 : 0);
    Put16LE(out, static_cast<uint32_t>(n));
    Put16LE(out, static_cast<uint32_t>(~n & 0xFFFF));
    out.insert(out.end(), ARaw.begin() + static_cast<std::ptrdiff_t>(at),
               ARaw.begin() + static_cast<std::ptrdiff_t>(at + n));
    at += n;
  } while (at < ARaw.size());
  if (AComplete) Put32BE(out, Adler32(ARaw));
  return out;
}

TBytes PngHeader(uint32_t AWidth, uint32_t AHeight, bool AWithAlpha, bool AInterlaced = false) {
  TBytes png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  TBytes ihdr;
  Put32BE(ihdr, AWidth);
  Put32BE(ihdr, AHeight);
  ihdr.insert(ihdr.end(),
              {8, static_cast<uint8_t>(AWithAlpha ? 6 : 2), 0, 0, static_cast<uint8_t>(AInterlaced ? 1 : 0)});
  PutChunk(png, "IHDR", ihdr);
  return png;
}

// A zlib stream of ACount bytes of AByte (at most 143, a literal of 8 bits in
// deflate's fixed codes) in one block of those codes: the literal, then
// copies of 258 bytes from one byte back, 13 bits each. The many megabytes
// of a flat image's rows shrink to a few kilobytes.
TBytes RepeatedByteZlib(uint8_t AByte, uint64_t ACount) {
  if (AByte > 143) throw std::invalid_argument("byte");
  TBytes out = {0x78, 0x01};
  uint32_t bits = 0;
  int count = 0;
  auto put = [&](uint32_t AValue, int ABits) {  // least significant bit first
    for (int i = 0; i < ABits; ++i) {
      bits |= ((AValue >> i) & 1u) << count;
      if (++count == 8) {
        out.push_back(static_cast<uint8_t>(bits));
        bits = 0;
        count = 0;
      }
    }
  };
  auto code = [&](uint32_t ACode, int ABits) {  // Huffman codes go most significant bit first
    for (int i = ABits - 1; i >= 0; --i) put((ACode >> i) & 1u, 1);
  };
  const uint32_t literal = 0x30u + AByte;
  constexpr uint32_t kLength258 = 0xC5, kEndOfBlock = 0;
  put(1, 1);  // the final block
  put(1, 2);  // fixed codes
  uint64_t left = ACount;
  if (left > 0) {
    code(literal, 8);
    --left;
  }
  for (; left >= 258; left -= 258) {
    code(kLength258, 8);
    code(0, 5);  // distance 1
  }
  for (; left > 0; --left) code(literal, 8);
  code(kEndOfBlock, 7);
  if (count > 0) out.push_back(static_cast<uint8_t>(bits));
  // Adler-32 of n equal bytes: the sum is 1 + n b, the sum of sums
  // n + b n (n + 1) / 2.
  constexpr uint64_t kModulus = 65521;
  const uint64_t n = ACount % kModulus;
  const uint64_t sum = (1 + n * AByte) % kModulus;
  const uint64_t halfProduct = ACount % 2 == 0 ? (ACount / 2 % kModulus) * ((ACount + 1) % kModulus)
                                                : (ACount % kModulus) * ((ACount + 1) / 2 % kModulus);
  const uint64_t sums = (n + AByte * (halfProduct % kModulus)) % kModulus;
  Put32BE(out, static_cast<uint32_t>(sums << 16 | sum));
  return out;
}

TBytes ZerosZlib(uint64_t ACount) { return RepeatedByteZlib(0, ACount); }

// GIF's variable-length LZW, kept at 9-bit codes: every index goes out as a
// literal, and a clear code comes again before the decoder's table would
// need 10 bits.
TBytes GifLzw(const std::vector<uint8_t>& AIndexes) {
  constexpr uint32_t kClear = 256, kEnd = 257, kLiteralsPerClear = 250;
  TBytes out;
  uint32_t bits = 0;
  int count = 0;
  auto emit = [&](uint32_t code) {
    bits |= code << count;
    count += 9;
    while (count >= 8) {
      out.push_back(static_cast<uint8_t>(bits));
      bits >>= 8;
      count -= 8;
    }
  };
  for (size_t i = 0; i < AIndexes.size(); ++i) {
    if (i % kLiteralsPerClear == 0) emit(kClear);
    emit(AIndexes[i]);
  }
  emit(kEnd);
  if (count > 0) out.push_back(static_cast<uint8_t>(bits));
  return out;
}

}  // namespace

TBytes MakePngOf(const TPngImage& AImage) {
  int channels = 0;
  switch (AImage.ColourType) {
    case 0: case 3: channels = 1; break;
    case 4: channels = 2; break;
    case 2: channels = 3; break;
    case 6: channels = 4; break;
    default: throw std::invalid_argument("colour type");
  }
  const size_t width = static_cast<size_t>(AImage.Width);
  if (AImage.Samples.size() != width * static_cast<size_t>(AImage.Height) * static_cast<size_t>(channels))
    throw std::invalid_argument("sample count");
  // Adam7: seven passes over sub-grids (first column, first row, steps);
  // without interlacing, one pass over everything.
  struct Pass {
    int x0, y0, dx, dy;
  };
  const std::vector<Pass> passes = AImage.Interlaced
                                       ? std::vector<Pass>{{0, 0, 8, 8}, {4, 0, 8, 8}, {0, 4, 4, 8}, {2, 0, 4, 4},
                                                           {0, 2, 2, 4}, {1, 0, 2, 2}, {0, 1, 1, 2}}
                                       : std::vector<Pass>{{0, 0, 1, 1}};
  const int depth = AImage.BitDepth;
  TBytes raw;
  for (const Pass& pass : passes) {
    if (pass.x0 >= AImage.Width || pass.y0 >= AImage.Height) continue;  // an empty pass has no rows at all
    for (int y = pass.y0; y < AImage.Height; y += pass.dy) {
      raw.push_back(0);  // filter: none
      // Samples below 8 bits are packed from the most significant bit on,
      // the last byte of a row filled up with zeros.
      uint32_t bits = 0;
      int count = 0;
      for (int x = pass.x0; x < AImage.Width; x += pass.dx) {
        for (int c = 0; c < channels; ++c) {
          const uint16_t sample =
              AImage.Samples[(static_cast<size_t>(y) * width + static_cast<size_t>(x)) * static_cast<size_t>(channels) +
                             static_cast<size_t>(c)];
          if (depth == 16) {
            raw.insert(raw.end(), {static_cast<uint8_t>(sample >> 8), static_cast<uint8_t>(sample)});
          } else {
            bits = (bits << depth) | (sample & ((1u << depth) - 1));
            count += depth;
            if (count == 8) {
              raw.push_back(static_cast<uint8_t>(bits));
              bits = 0;
              count = 0;
            }
          }
        }
      }
      if (count > 0) raw.push_back(static_cast<uint8_t>(bits << (8 - count)));
    }
  }
  TBytes png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  TBytes ihdr;
  Put32BE(ihdr, static_cast<uint32_t>(AImage.Width));
  Put32BE(ihdr, static_cast<uint32_t>(AImage.Height));
  ihdr.insert(ihdr.end(), {AImage.BitDepth, AImage.ColourType, 0, 0, static_cast<uint8_t>(AImage.Interlaced ? 1 : 0)});
  PutChunk(png, "IHDR", ihdr);
  if (AImage.Gamma != 0) {
    TBytes gamma;
    Put32BE(gamma, AImage.Gamma);
    PutChunk(png, "gAMA", gamma);
  }
  if (AImage.ColourType == 3) {
    TBytes palette;
    for (const TRgba& entry : AImage.Palette) palette.insert(palette.end(), {entry.r, entry.g, entry.b});
    PutChunk(png, "PLTE", palette);
  }
  if (!AImage.Transparent.empty()) {
    TBytes transparent;
    for (const uint16_t value : AImage.Transparent) {
      if (AImage.ColourType == 3) {
        transparent.push_back(static_cast<uint8_t>(value));
      } else {
        transparent.insert(transparent.end(), {static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)});
      }
    }
    PutChunk(png, "tRNS", transparent);
  }
  PutChunk(png, "IDAT", StoredZlib(raw, true));
  PutChunk(png, "IEND", {});
  return png;
}

TBytes MakePngFullOfText(int AChunks, uint64_t ABytesEach, bool ADamagedText) {
  TBytes png = PngHeader(16, 16, false);
  TBytes text = {'C', 'o', 'm', 'm', 'e', 'n', 't', 0, 0};  // keyword, compression method
  const TBytes letters = RepeatedByteZlib('a', ABytesEach);
  text.insert(text.end(), letters.begin(), letters.end());
  for (int i = 0; i < AChunks; ++i) PutChunk(png, "zTXt", text);
  if (ADamagedText) {
    PutChunk(png, "tEXt", {'T', 'i', 't', 'l', 'e', 0, 'x'});
    png[png.size() - 1] ^= 0xFF;
  }
  TBytes raw;
  for (int y = 0; y < 16; ++y) {
    raw.push_back(0);
    for (int x = 0; x < 16; ++x) raw.insert(raw.end(), {static_cast<uint8_t>(x * 16), static_cast<uint8_t>(y * 16), 99});
  }
  PutChunk(png, "IDAT", StoredZlib(raw, true));
  PutChunk(png, "IEND", {});
  return png;
}

TBytes MakePng(int AWidth, int AHeight, const std::vector<TRgba>& APixels, bool AWithAlpha, bool AInterlaced) {
  if (APixels.size() != static_cast<size_t>(AWidth) * static_cast<size_t>(AHeight))
    throw std::invalid_argument("pixel count");
  TPngImage image;
  image.Width = AWidth;
  image.Height = AHeight;
  image.ColourType = AWithAlpha ? 6 : 2;
  image.Interlaced = AInterlaced;
  for (const TRgba& p : APixels) {
    image.Samples.insert(image.Samples.end(), {p.r, p.g, p.b});
    if (AWithAlpha) image.Samples.push_back(p.a);
  }
  return MakePngOf(image);
}

TBytes MakePngWithRowsMissing(int AWidth, int AHeight) {
  const TBytes raw(static_cast<size_t>(AHeight / 2) * (1 + static_cast<size_t>(AWidth) * 4), 0);
  TBytes png = PngHeader(static_cast<uint32_t>(AWidth), static_cast<uint32_t>(AHeight), true);
  PutChunk(png, "IDAT", StoredZlib(raw, true));
  PutChunk(png, "IEND", {});
  return png;
}

TBytes MakePngDeclaring(uint32_t AWidth, uint32_t AHeight) {
  TBytes png = PngHeader(AWidth, AHeight, true);
  PutChunk(png, "IDAT", StoredZlib(TBytes(1000, 0), false));
  PutChunk(png, "IEND", {});
  return png;
}

TBytes MakeFlatPng(uint32_t AWidth, uint32_t AHeight) {
  TBytes png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  TBytes ihdr;
  Put32BE(ihdr, AWidth);
  Put32BE(ihdr, AHeight);
  ihdr.insert(ihdr.end(), {1, 0, 0, 0, 0});  // one bit a pixel, grey, not interlaced
  PutChunk(png, "IHDR", ihdr);
  // Each row: filter byte 0 (none), then (AWidth + 7) / 8 bytes of black.
  const uint64_t rowBytes = 1 + (uint64_t{AWidth} + 7) / 8;
  PutChunk(png, "IDAT", ZerosZlib(rowBytes * AHeight));
  PutChunk(png, "IEND", {});
  return png;
}

TBytes MakeFlatLosslessWebP(uint32_t AWidth, uint32_t AHeight) {
  // The lossless bitstream, least significant bit first: its signature, the
  // size, no alpha hint, version 0; no transform, no colour cache, no meta
  // codes; then five prefix codes of one symbol each (0), which make every
  // pixel cost no bits at all.
  TBytes bits;
  auto put = [&](uint32_t AValue, int ACount) {
    for (int i = 0; i < ACount; ++i) bits.push_back(static_cast<uint8_t>((AValue >> i) & 1));
  };
  put(AWidth - 1, 14);
  put(AHeight - 1, 14);
  put(0, 4);
  put(0, 3);
  for (int code = 0; code < 5; ++code) put(1, 4);  // simple code, one symbol, one bit wide, symbol 0
  TBytes stream = {0x2F};
  for (size_t i = 0; i < bits.size(); i += 8) {
    uint8_t byte = 0;
    for (size_t k = 0; k < 8 && i + k < bits.size(); ++k) byte = static_cast<uint8_t>(byte | bits[i + k] << k);
    stream.push_back(byte);
  }
  if (stream.size() % 2 != 0) stream.push_back(0);
  auto put32 = [](TBytes& AOut, uint32_t AValue) {
    for (int shift = 0; shift < 32; shift += 8) AOut.push_back(static_cast<uint8_t>(AValue >> shift));
  };
  TBytes webp = {'R', 'I', 'F', 'F'};
  put32(webp, static_cast<uint32_t>(4 + 8 + stream.size()));
  webp.insert(webp.end(), {'W', 'E', 'B', 'P', 'V', 'P', '8', 'L'});
  put32(webp, static_cast<uint32_t>(stream.size()));
  webp.insert(webp.end(), stream.begin(), stream.end());
  return webp;
}

TBytes MakeAnimatedGif(int AWidth, int AHeight, const std::vector<TRgba>& APalette,
                       const std::vector<std::vector<uint8_t>>& AFrames) {
  if (APalette.empty() || APalette.size() > 256) throw std::invalid_argument("palette size");
  TBytes gif = {'G', 'I', 'F', '8', '9', 'a'};
  Put16LE(gif, static_cast<uint32_t>(AWidth));
  Put16LE(gif, static_cast<uint32_t>(AHeight));
  gif.insert(gif.end(), {0xF7, 0, 0});  // a global table of 256 colours, 8 bits each
  for (size_t i = 0; i < 256; ++i) {
    const TRgba c = i < APalette.size() ? APalette[i] : TRgba{0, 0, 0, 255};
    gif.insert(gif.end(), {c.r, c.g, c.b});
  }
  // Loop for ever: what makes the frames an animation to a viewer.
  const std::string netscape = "NETSCAPE2.0";
  gif.insert(gif.end(), {0x21, 0xFF, 11});
  gif.insert(gif.end(), netscape.begin(), netscape.end());
  gif.insert(gif.end(), {3, 1, 0, 0, 0});
  for (const std::vector<uint8_t>& frame : AFrames) {
    if (frame.size() != static_cast<size_t>(AWidth) * static_cast<size_t>(AHeight))
      throw std::invalid_argument("frame size");
    gif.insert(gif.end(), {0x21, 0xF9, 4, 0x04, 10, 0, 0, 0});  // keep the frame, 0.1 s
    gif.push_back(0x2C);
    Put16LE(gif, 0);
    Put16LE(gif, 0);
    Put16LE(gif, static_cast<uint32_t>(AWidth));
    Put16LE(gif, static_cast<uint32_t>(AHeight));
    gif.push_back(0);
    gif.push_back(8);  // LZW minimum code size
    const TBytes data = GifLzw(frame);
    for (size_t at = 0; at < data.size(); at += 255) {
      const size_t n = std::min<size_t>(255, data.size() - at);
      gif.push_back(static_cast<uint8_t>(n));
      gif.insert(gif.end(), data.begin() + static_cast<std::ptrdiff_t>(at),
                 data.begin() + static_cast<std::ptrdiff_t>(at + n));
    }
    gif.push_back(0);
  }
  gif.push_back(0x3B);
  return gif;
}

TBytes MakeProgressiveJpeg(uint32_t AWidth, uint32_t AHeight, int ARefinements) {
  const uint64_t blocks = uint64_t{(AWidth + 7) / 8} * ((AHeight + 7) / 8);
  TBytes out = {0xFF, 0xD8};
  auto segment = [&out](uint8_t AMarker, const TBytes& ABody) {
    out.insert(out.end(), {0xFF, AMarker, static_cast<uint8_t>((ABody.size() + 2) >> 8),
                           static_cast<uint8_t>(ABody.size() + 2)});
    out.insert(out.end(), ABody.begin(), ABody.end());
  };
  TBytes quantisation(65, 1);
  quantisation[0] = 0;  // 8-bit table 0
  segment(0xDB, quantisation);
  segment(0xC2, {8, static_cast<uint8_t>(AHeight >> 8), static_cast<uint8_t>(AHeight),
                 static_cast<uint8_t>(AWidth >> 8), static_cast<uint8_t>(AWidth), 1, 1, 0x11, 0});
  // DC table 0: category 0 alone, code "0". AC table 0: the end-of-band runs
  // EOB0 to EOB14 as the 4-bit codes 0 to 14.
  TBytes tables = {0x00, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x00,
                   0x10, 0, 0, 0, 15, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  for (uint8_t run = 0; run < 15; ++run) tables.push_back(static_cast<uint8_t>(run << 4));
  segment(0xC4, tables);

  // Entropy-coded data, most significant bit first, 0xFF stuffed, 1-bits to
  // the end of the last byte.
  auto entropyCoded = [](const std::vector<std::pair<uint32_t, int>>& ACodes) {
    TBytes data;
    uint64_t pending = 0;
    int bits = 0;
    auto put = [&](uint32_t AValue, int ALength) {
      pending = pending << ALength | AValue;
      bits += ALength;
      while (bits >= 8) {
        bits -= 8;
        data.push_back(static_cast<uint8_t>(pending >> bits));
        if (data.back() == 0xFF) data.push_back(0x00);
      }
      pending &= (uint64_t{1} << bits) - 1;
    };
    for (const auto& [value, length] : ACodes) put(value, length);
    if (bits > 0) put((1u << (8 - bits)) - 1, 8 - bits);
    return data;
  };
  auto scan = [&](uint8_t AStart, uint8_t AEnd, int AHigh, int ALow, const TBytes& AData) {
    segment(0xDA, {1, 1, 0x00, AStart, AEnd, static_cast<uint8_t>(AHigh << 4 | ALow)});
    out.insert(out.end(), AData.begin(), AData.end());
  };
  // DC: every difference 0, one bit a block.
  TBytes dc(blocks / 8, 0x00);
  if (blocks % 8 != 0) dc.push_back(static_cast<uint8_t>(0xFF >> (blocks % 8)));
  scan(0, 0, 0, 0, dc);
  // AC: end-of-band runs of at most 32767 blocks.
  std::vector<std::pair<uint32_t, int>> runs;
  for (uint64_t left = blocks; left > 0;) {
    const auto run = static_cast<uint32_t>(std::min<uint64_t>(left, 32767));
    const int n = std::bit_width(run) - 1;
    runs.push_back({static_cast<uint32_t>(n), 4});
    runs.push_back({run - (1u << n), n});
    left -= run;
  }
  const TBytes ac = entropyCoded(runs);
  for (uint8_t k = 1; k < 64; ++k) {
    scan(k, k, 0, ARefinements, ac);
    for (int bit = ARefinements; bit > 0; --bit) scan(k, k, bit, bit - 1, ac);
  }
  out.insert(out.end(), {0xFF, 0xD9});
  return out;
}

void WriteBytes(const std::filesystem::path& APath, const TBytes& ABytes) {
  std::ofstream out(APath, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(ABytes.data()), static_cast<std::streamsize>(ABytes.size()));
  if (!out) throw std::runtime_error("cannot write " + APath.string());
}

}  // namespace quillet::test
