// Start-up and shut-down of the module on Windows: DllMain, once per load.
#include <windows.h>

#include "plugin/module_lifetime.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
  switch (reason) {
    case DLL_PROCESS_ATTACH:
      // A failed start-up fails the load, so the host never calls a module
      // that has no registry.
      return quillet::ModuleStartup() ? TRUE : FALSE;
    case DLL_PROCESS_DETACH:
      quillet::ModuleShutdown();
      return TRUE;
    default:
      return TRUE;
  }
}
