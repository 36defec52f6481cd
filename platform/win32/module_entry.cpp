// Start-up and shut-down of the module on Windows: DllMain, once per load.
#include <windows.h>

#include "plugin/module_lifetime.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
  switch (reason) {
    case DLL_PROCESS_ATTACH:
      // A failed start-up fails the load, so the host never calls a module
      // that has no registry.
      return quillet::ModuleStartup() ? TRUE : FALSE;
    case DLL_PROCESS_DETACH:
      // A non-null reserved pointer: the process is ending. Its other threads
      // are gone, perhaps holding locks, and the libraries may be detached
      // already; the system takes back memory and libraries itself, so
      // nothing is freed and no lock is taken. Only an ordinary unload
      // (FreeLibrary) shuts the module down.
      if (reserved == nullptr) quillet::ModuleShutdown();
      return TRUE;
    default:
      return TRUE;
  }
}
