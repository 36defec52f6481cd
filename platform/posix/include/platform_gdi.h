#pragma once
// The slice of Windows GDI that the module uses, for Linux: device-independent
// bitmaps and the conversions between them. Same names, argument orders and
// results as on Windows, so the scaling and image code read the same on both
// platforms. A bitmap handle is a QuilletDib (quillet/dib.h), one malloc'd
// block that a host frees with free().
#include <cstdint>

#include "quillet/dib.h"

using BYTE = uint8_t;
using WORD = uint16_t;
using DWORD = uint32_t;
using LONG = int32_t;
using UINT = unsigned int;
using BOOL = int;

using HBITMAP = QuilletDib*;
using HGDIOBJ = void*;
struct QuilletScreenDC;
using HDC = QuilletScreenDC*;
using HWND = void*;
using HANDLE = void*;

constexpr DWORD BI_RGB = 0;
constexpr UINT DIB_RGB_COLORS = 0;

struct BITMAP {
  LONG bmType;
  LONG bmWidth;
  LONG bmHeight;
  LONG bmWidthBytes;
  WORD bmPlanes;
  WORD bmBitsPixel;
  void* bmBits;
};

struct BITMAPINFOHEADER {
  DWORD biSize;
  LONG biWidth;
  LONG biHeight;
  WORD biPlanes;
  WORD biBitCount;
  DWORD biCompression;
  DWORD biSizeImage;
  LONG biXPelsPerMeter;
  LONG biYPelsPerMeter;
  DWORD biClrUsed;
  DWORD biClrImportant;
};

struct RGBQUAD {
  BYTE rgbBlue;
  BYTE rgbGreen;
  BYTE rgbRed;
  BYTE rgbReserved;
};

struct BITMAPINFO {
  BITMAPINFOHEADER bmiHeader;
  RGBQUAD bmiColors[1];
};

// A DIB section as GetObjectW describes it: the BITMAP record and the header
// the section was made with (its biHeight signed: negative for rows stored
// top-down).
struct DIBSECTION {
  BITMAP dsBm;
  BITMAPINFOHEADER dsBmih;
  DWORD dsBitfields[3];
  HANDLE dshSection;
  DWORD dsOffset;
};

// Fills a BITMAP record for a bitmap handle, or a DIBSECTION record when the
// buffer is that large; returns the bytes written, 0 on failure (a null or
// foreign handle, or a buffer smaller than a BITMAP record).
int GetObjectW(HGDIOBJ object, int bufferSize, void* buffer);
// Deletes a bitmap made by CreateDIBSection; nonzero on success.
BOOL DeleteObject(HGDIOBJ object);
// The screen device context. It exists only so that calls can be written as on
// Windows; it carries no state.
HDC GetDC(HWND window);
int ReleaseDC(HWND window, HDC dc);
// A new DIB of 24 or 32 bits per pixel (BI_RGB), rows in the order the sign
// of biHeight says; *bits receives the pixel memory. Null on failure (bad
// header, size overflow, out of memory). `section` and `offset` must be 0.
// The pixels are zero, as on Windows; a large block comes from fresh pages
// that are not touched here, backed by huge pages where the system has them.
HBITMAP CreateDIBSection(HDC dc, const BITMAPINFO* info, UINT usage, void** bits, HANDLE section,
                         DWORD offset);
// Copies `lines` rows of a bitmap, starting at row `startScan` counted from
// the bottom, into `bits` in the 24- or 32-bit BI_RGB layout that `info`
// asks for (rows top-down for a negative biHeight). A 32-bit request of a
// 32-bit bitmap carries alpha through; of a 24-bit one it writes 0 there.
// Returns the number of rows copied, 0 on failure.
int GetDIBits(HDC dc, HBITMAP bitmap, UINT startScan, UINT lines, void* bits, BITMAPINFO* info,
              UINT usage);
// The reverse: stores rows given in the layout of `info` into the bitmap.
int SetDIBits(HDC dc, HBITMAP bitmap, UINT startScan, UINT lines, const void* bits,
              const BITMAPINFO* info, UINT usage);
