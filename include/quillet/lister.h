/*
 * The four exports of the Quillet module, as a host calls them. On Windows a
 * bitmap handle is an HBITMAP (delete it with DeleteObject); on Linux it is a
 * QuilletDib* (see quillet/dib.h; delete it with quillet_dib_delete). File
 * names of the W export are UTF-16 on every platform; those of the 8-bit
 * export are in the system ANSI code page on Windows and UTF-8 on Linux.
 */
#ifndef QUILLET_LISTER_H
#define QUILLET_LISTER_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef void* QuilletBitmapHandle;

/* One UTF-16 code unit. A C++ host's function pointer must name exactly the
 * type the module defines, or the call goes through a mismatched type. */
#ifdef __cplusplus
typedef char16_t QuilletUtf16Unit;
#else
typedef uint_least16_t QuilletUtf16Unit;
#endif

typedef void (*ListGetDetectStringProc)(char* detectString, int32_t maxLength);
typedef void (*ListSetDefaultParamsProc)(void* defaultParams);
typedef QuilletBitmapHandle (*ListGetPreviewBitmapProc)(const char* fileToLoad, int32_t width,
                                                        int32_t height, const char* contentBuf,
                                                        int32_t contentBufLen);
typedef QuilletBitmapHandle (*ListGetPreviewBitmapWProc)(const QuilletUtf16Unit* fileToLoad, int32_t width,
                                                         int32_t height, const char* contentBuf,
                                                         int32_t contentBufLen);

#ifdef __cplusplus
}
#endif

#endif /* QUILLET_LISTER_H */
