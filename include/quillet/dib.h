/*
 * Quillet bitmaps on Linux.
 *
 * On Windows the preview exports return an ordinary GDI bitmap (HBITMAP) of a
 * DIB section, which the host deletes with DeleteObject. Linux has no GDI, so
 * there the same exports return a pointer to a QuilletDib: one block of memory
 * made with malloc that holds this header followed by the pixel rows.
 *
 * The host owns every bitmap the module returns. It deletes one with
 * quillet_dib_delete(), which is free() of the handle: module and host share
 * the process's C library, so nothing else is needed.
 *
 * Layout of the pixels:
 *   - row r (0 = first stored row) starts at (uint8_t*)dib + dib->bitsOffset
 *     + r * dib->stride; stride is a multiple of 4 bytes;
 *   - height > 0: rows are stored bottom-up (the first stored row is the
 *     bottom of the picture); height < 0: top-down, |height| rows;
 *   - 32 bits per pixel: bytes blue, green, red, alpha, colours premultiplied
 *     by alpha; 24 bits per pixel: blue, green, red, and the padding bytes at
 *     the end of each row are unspecified.
 * Thumbnails come back top-down; decoded images inside the module are
 * bottom-up, as Windows DIBs usually are.
 */
#ifndef QUILLET_DIB_H
#define QUILLET_DIB_H

#include <stdint.h>
#include <stdlib.h>

#ifdef __cplusplus
extern "C" {
#endif

#define QUILLET_DIB_MAGIC 0x42494451u /* "QDIB" in memory order */

typedef struct QuilletDib {
  uint32_t magic;        /* QUILLET_DIB_MAGIC */
  uint32_t headerSize;   /* sizeof(QuilletDib) */
  int32_t width;         /* pixels, > 0 */
  int32_t height;        /* rows; the sign gives the row order, as above */
  uint16_t bitsPerPixel; /* 24 or 32 */
  uint16_t reserved;     /* 0 */
  uint32_t stride;       /* bytes from one stored row to the next */
  uint64_t bitsOffset;   /* bytes from the start of the block to the first row */
} QuilletDib;

static inline uint8_t* quillet_dib_bits(QuilletDib* dib) { return (uint8_t*)dib + dib->bitsOffset; }

/* Deletes a bitmap that the module returned. A null handle is ignored. */
static inline void quillet_dib_delete(QuilletDib* dib) { free(dib); }

#ifdef __cplusplus
}
#endif

#endif /* QUILLET_DIB_H */
