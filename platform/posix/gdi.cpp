// Device-independent bitmaps for Linux, behaving as the GDI calls of the same
// names do for the cases the module uses.
#include <cstdlib>
#include <cstring>
#include <new>

#include <sys/mman.h>

#include "platform_gdi.h"

namespace {

// A full-size page is tens of megabytes: in huge pages it costs a few dozen
// page faults instead of thousands. Only whole huge pages inside the block
// are marked; the system may still decline.
void AskForHugePages(void* block, size_t bytes) {
  constexpr size_t kHugePage = size_t{2} << 20;
  if (bytes < 2 * kHugePage) return;
  const uintptr_t start = (reinterpret_cast<uintptr_t>(block) + kHugePage - 1) & ~uintptr_t{kHugePage - 1};
  const uintptr_t end = (reinterpret_cast<uintptr_t>(block) + bytes) & ~uintptr_t{kHugePage - 1};
  if (end > start) madvise(reinterpret_cast<void*>(start), end - start, MADV_HUGEPAGE);
}

bool ValidDib(const QuilletDib* dib) {
  return dib != nullptr && dib->magic == QUILLET_DIB_MAGIC && dib->headerSize == sizeof(QuilletDib);
}

uint64_t StrideFor(int64_t width, unsigned bitCount) {
  return ((static_cast<uint64_t>(width) * bitCount + 31) & ~uint64_t{31}) / 8;
}

// Address of the row that shows picture row `fromTop` (0 = top of the picture).
uint8_t* RowFromTop(QuilletDib* dib, int32_t fromTop) {
  const int32_t rows = dib->height < 0 ? -dib->height : dib->height;
  const int32_t stored = dib->height < 0 ? fromTop : rows - 1 - fromTop;
  return quillet_dib_bits(dib) + static_cast<uint64_t>(stored) * dib->stride;
}

bool SupportedRequest(const BITMAPINFO* info, const QuilletDib* dib) {
  if (info == nullptr || info->bmiHeader.biSize < sizeof(BITMAPINFOHEADER)) return false;
  const BITMAPINFOHEADER& h = info->bmiHeader;
  if (h.biCompression != BI_RGB || (h.biBitCount != 24 && h.biBitCount != 32)) return false;
  const int64_t rows = h.biHeight < 0 ? -int64_t{h.biHeight} : h.biHeight;
  const int64_t dibRows = dib->height < 0 ? -int64_t{dib->height} : dib->height;
  return h.biWidth == dib->width && rows == dibRows;
}

// Picture row (from the top) that scan line k of a transfer stands for. GDI
// counts scan lines from the bottom of the picture.
int32_t PictureRowOfScan(int32_t rows, UINT scan) { return rows - 1 - static_cast<int32_t>(scan); }

// Address of scan line `scan` within a caller's buffer laid out as `h` says.
uint64_t BufferRowOffset(const BITMAPINFOHEADER& h, UINT startScan, UINT scan, UINT lines) {
  const uint64_t stride = StrideFor(h.biWidth, h.biBitCount);
  // A bottom-up buffer holds scan startScan first; a top-down one holds the
  // highest requested scan (the topmost row) first.
  const uint64_t index = h.biHeight < 0 ? (startScan + lines - 1 - scan) : (scan - startScan);
  return index * stride;
}

void CopyPixelRow(const uint8_t* from, unsigned fromBits, uint8_t* to, unsigned toBits, int32_t width) {
  if (fromBits == toBits) {
    std::memcpy(to, from, static_cast<size_t>(width) * (fromBits / 8));
    return;
  }
  for (int32_t x = 0; x < width; ++x) {
    const uint8_t* s = from + static_cast<size_t>(x) * (fromBits / 8);
    uint8_t* d = to + static_cast<size_t>(x) * (toBits / 8);
    d[0] = s[0];
    d[1] = s[1];
    d[2] = s[2];
    if (toBits == 32) d[3] = 0;  // a 24-bit source has no alpha to carry
  }
}

}  // namespace

struct QuilletScreenDC {};

int GetObjectW(HGDIOBJ object, int bufferSize, void* buffer) {
  auto* dib = static_cast<QuilletDib*>(object);
  if (!ValidDib(dib) || buffer == nullptr || bufferSize < static_cast<int>(sizeof(BITMAP))) return 0;
  BITMAP bm{};
  bm.bmType = 0;
  bm.bmWidth = dib->width;
  bm.bmHeight = dib->height < 0 ? -dib->height : dib->height;  // GDI reports DIB sections this way
  bm.bmWidthBytes = static_cast<LONG>(dib->stride);
  bm.bmPlanes = 1;
  bm.bmBitsPixel = dib->bitsPerPixel;
  bm.bmBits = quillet_dib_bits(dib);
  if (bufferSize < static_cast<int>(sizeof(DIBSECTION))) {
    std::memcpy(buffer, &bm, sizeof bm);
    return sizeof bm;
  }
  DIBSECTION section{};
  section.dsBm = bm;
  section.dsBmih.biSize = sizeof(BITMAPINFOHEADER);
  section.dsBmih.biWidth = dib->width;
  section.dsBmih.biHeight = dib->height;
  section.dsBmih.biPlanes = 1;
  section.dsBmih.biBitCount = dib->bitsPerPixel;
  section.dsBmih.biCompression = BI_RGB;
  section.dsBmih.biSizeImage = static_cast<DWORD>(uint64_t{dib->stride} * static_cast<uint64_t>(bm.bmHeight));
  std::memcpy(buffer, &section, sizeof section);
  return sizeof section;
}

BOOL DeleteObject(HGDIOBJ object) {
  auto* dib = static_cast<QuilletDib*>(object);
  if (!ValidDib(dib)) return 0;
  dib->magic = 0;  // a second delete of the same handle is then refused
  quillet_dib_delete(dib);
  return 1;
}

HDC GetDC(HWND) {
  static QuilletScreenDC screen;
  return &screen;
}

int ReleaseDC(HWND, HDC dc) { return dc != nullptr ? 1 : 0; }

HBITMAP CreateDIBSection(HDC, const BITMAPINFO* info, UINT usage, void** bits, HANDLE section,
                         DWORD offset) {
  if (bits != nullptr) *bits = nullptr;
  if (info == nullptr || usage != DIB_RGB_COLORS || section != nullptr || offset != 0) return nullptr;
  const BITMAPINFOHEADER& h = info->bmiHeader;
  if (h.biSize < sizeof(BITMAPINFOHEADER) || h.biCompression != BI_RGB) return nullptr;
  if (h.biBitCount != 24 && h.biBitCount != 32) return nullptr;
  if (h.biWidth <= 0 || h.biHeight == 0 || h.biHeight == INT32_MIN) return nullptr;
  const uint64_t rows = h.biHeight < 0 ? -int64_t{h.biHeight} : h.biHeight;
  const uint64_t stride = StrideFor(h.biWidth, h.biBitCount);
  const uint64_t header = (sizeof(QuilletDib) + 15) & ~uint64_t{15};
  if (stride > UINT32_MAX || rows > (UINT64_MAX - header) / stride) return nullptr;
  const uint64_t total = header + stride * rows;
  if (total > SIZE_MAX / 2) return nullptr;
  // calloc hands out a large block as fresh pages, zero already: nothing is
  // written to it here, and the decoder that fills it touches each page once.
  void* block = std::calloc(1, static_cast<size_t>(total));
  if (block == nullptr) return nullptr;
  AskForHugePages(block, static_cast<size_t>(total));
  auto* dib = static_cast<QuilletDib*>(block);
  dib->magic = QUILLET_DIB_MAGIC;
  dib->headerSize = sizeof(QuilletDib);
  dib->width = h.biWidth;
  dib->height = h.biHeight;
  dib->bitsPerPixel = h.biBitCount;
  dib->reserved = 0;
  dib->stride = static_cast<uint32_t>(stride);
  dib->bitsOffset = header;
  if (bits != nullptr) *bits = quillet_dib_bits(dib);
  return dib;
}

int GetDIBits(HDC dc, HBITMAP bitmap, UINT startScan, UINT lines, void* bits, BITMAPINFO* info,
              UINT usage) {
  if (dc == nullptr || !ValidDib(bitmap) || bits == nullptr || usage != DIB_RGB_COLORS) return 0;
  if (!SupportedRequest(info, bitmap)) return 0;
  const int32_t rows = bitmap->height < 0 ? -bitmap->height : bitmap->height;
  if (startScan >= static_cast<UINT>(rows)) return 0;
  if (lines > static_cast<UINT>(rows) - startScan) lines = static_cast<UINT>(rows) - startScan;
  const BITMAPINFOHEADER& h = info->bmiHeader;
  auto* out = static_cast<uint8_t*>(bits);
  for (UINT scan = startScan; scan < startScan + lines; ++scan) {
    const uint8_t* from = RowFromTop(bitmap, PictureRowOfScan(rows, scan));
    CopyPixelRow(from, bitmap->bitsPerPixel, out + BufferRowOffset(h, startScan, scan, lines),
                 h.biBitCount, bitmap->width);
  }
  return static_cast<int>(lines);
}

int SetDIBits(HDC, HBITMAP bitmap, UINT startScan, UINT lines, const void* bits,
              const BITMAPINFO* info, UINT usage) {
  if (!ValidDib(bitmap) || bits == nullptr || usage != DIB_RGB_COLORS) return 0;
  if (!SupportedRequest(info, bitmap)) return 0;
  const int32_t rows = bitmap->height < 0 ? -bitmap->height : bitmap->height;
  if (startScan >= static_cast<UINT>(rows)) return 0;
  if (lines > static_cast<UINT>(rows) - startScan) lines = static_cast<UINT>(rows) - startScan;
  const BITMAPINFOHEADER& h = info->bmiHeader;
  const auto* in = static_cast<const uint8_t*>(bits);
  for (UINT scan = startScan; scan < startScan + lines; ++scan) {
    uint8_t* to = RowFromTop(bitmap, PictureRowOfScan(rows, scan));
    const uint8_t* from = in + BufferRowOffset(h, startScan, scan, lines);
    if (h.biBitCount == bitmap->bitsPerPixel) {
      std::memcpy(to, from, static_cast<size_t>(bitmap->width) * (h.biBitCount / 8));
    } else {
      for (int32_t x = 0; x < bitmap->width; ++x) {
        const uint8_t* s = from + static_cast<size_t>(x) * (h.biBitCount / 8);
        uint8_t* d = to + static_cast<size_t>(x) * (bitmap->bitsPerPixel / 8);
        d[0] = s[0];
        d[1] = s[1];
        d[2] = s[2];
        if (bitmap->bitsPerPixel == 32) d[3] = 0;
      }
    }
  }
  return static_cast<int>(lines);
}
