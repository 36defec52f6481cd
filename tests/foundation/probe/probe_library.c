/* A tiny library for the library-loading tests: it exports one function and
   deliberately lacks another that the tests ask for. On Windows it also
   notes the error modes that were in force while it was being loaded. */
#if defined(_WIN32)
#include <windows.h>
#define PROBE_EXPORT __declspec(dllexport)
#else
#define PROBE_EXPORT __attribute__((visibility("default")))
#endif

PROBE_EXPORT int QuilletProbeAnswer(void) { return 42; }

#if defined(_WIN32)
static UINT ThreadErrorModeAtLoad;
static UINT ProcessErrorModeAtLoad;

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  (void)instance;
  (void)reserved;
  if (reason == DLL_PROCESS_ATTACH) {
    ThreadErrorModeAtLoad = (UINT)GetThreadErrorMode();
    ProcessErrorModeAtLoad = GetErrorMode();
  }
  return TRUE;
}

PROBE_EXPORT unsigned QuilletProbeThreadErrorModeAtLoad(void) { return ThreadErrorModeAtLoad; }
PROBE_EXPORT unsigned QuilletProbeProcessErrorModeAtLoad(void) { return ProcessErrorModeAtLoad; }
#endif
