// Start-up and shut-down of the module on Windows: DllMain, once per load,
// reached through the module's own entry point.
#include <windows.h>

#include "plugin/module_lifetime.h"

// The C runtime's entry point. It starts the runtime and constructs static
// objects before DllMain, and at a detach, after DllMain, runs the runtime's
// teardown: the destructors of static objects and the atexit list, which
// free memory through the runtime's heap and take its locks.
extern "C" BOOL WINAPI DllMainCRTStartup(HANDLE module, DWORD reason, LPVOID reserved);

// The entry point the module is linked with (plugin/CMakeLists.txt). When the
// process is ending (a detach with a non-null reserved pointer) its other
// threads are gone already, perhaps in the middle of an allocation with the
// heap's lock held, and the system takes back memory and libraries itself:
// nothing of the module or of its runtime runs then, so no lock is taken and
// nothing waits on the way out. Every other notification goes to the runtime
// as usual, an ordinary unload (FreeLibrary) included.
extern "C" BOOL WINAPI QuilletModuleEntry(HANDLE module, DWORD reason, LPVOID reserved) {
  if (reason == DLL_PROCESS_DETACH && reserved != nullptr) return TRUE;
  return DllMainCRTStartup(module, reason, reserved);
}

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
  switch (reason) {
    case DLL_PROCESS_ATTACH:
      // A failed start-up fails the load, so the host never calls a module
      // that has no registry.
      return quillet::ModuleStartup() ? TRUE : FALSE;
    case DLL_PROCESS_DETACH:
      // Only an ordinary unload shuts the module down; the entry point above
      // keeps the end of the process from getting here, and the test stays
      // for a runtime entered some other way.
      if (reserved == nullptr) quillet::ModuleShutdown();
      return TRUE;
    default:
      return TRUE;
  }
}
