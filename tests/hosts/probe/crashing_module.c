/*
 * A stand-in for the Quillet module that crashes its process on any file
 * whose own name (not its folder's) contains "crash", and never returns for
 * one whose name contains "hang", as an archive library with a fault would;
 * it hands every other request to the real module named by
 * QUILLET_FORWARD_MODULE. Linux only: it is what the --cache run meets.
 */
#include <dlfcn.h>
#include <signal.h>
#include <unistd.h>
#include <stdint.h>
#include <stdlib.h>

#define EXPORT __attribute__((visibility("default")))

typedef void (*DetectProc)(char*, int32_t);
typedef void* (*PreviewWProc)(const uint16_t*, int32_t, int32_t, const char*, int32_t);
typedef void* (*PreviewProc)(const char*, int32_t, int32_t, const char*, int32_t);

static void* RealSymbol(const char* name) {
  static void* real = NULL;
  if (real == NULL) {
    const char* path = getenv("QUILLET_FORWARD_MODULE");
    if (path == NULL || (real = dlopen(path, RTLD_NOW | RTLD_LOCAL)) == NULL) abort();
  }
  return dlsym(real, name);
}

static int NameHolds(const uint16_t* path, const char* word) {
  const uint16_t* name = path;
  for (const uint16_t* c = path; c != NULL && *c != 0; ++c)
    if (*c == '/') name = c + 1;
  for (; name != NULL && *name != 0; ++name) {
    int i = 0;
    while (word[i] != 0 && name[i] == (uint16_t)word[i]) ++i;
    if (word[i] == 0) return 1;
  }
  return 0;
}

EXPORT void ListGetDetectString(char* detect, int32_t length) {
  ((DetectProc)RealSymbol("ListGetDetectString"))(detect, length);
}

EXPORT void ListSetDefaultParams(void* params) { (void)params; }

EXPORT void* ListGetPreviewBitmapW(const uint16_t* name, int32_t width, int32_t height, const char* head,
                                   int32_t length) {
  if (NameHolds(name, "crash")) raise(SIGSEGV);
  while (NameHolds(name, "hang")) pause();
  return ((PreviewWProc)RealSymbol("ListGetPreviewBitmapW"))(name, width, height, head, length);
}

EXPORT void* ListGetPreviewBitmap(const char* name, int32_t width, int32_t height, const char* head, int32_t length) {
  return ((PreviewProc)RealSymbol("ListGetPreviewBitmap"))(name, width, height, head, length);
}
