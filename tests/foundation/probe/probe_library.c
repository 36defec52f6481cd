/* A tiny library for the library-loading tests: it exports one function and
   deliberately lacks another that the tests ask for. */
#if defined(_WIN32)
#define PROBE_EXPORT __declspec(dllexport)
#else
#define PROBE_EXPORT __attribute__((visibility("default")))
#endif

PROBE_EXPORT int QuilletProbeAnswer(void) { return 42; }
