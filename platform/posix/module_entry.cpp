// Start-up and shut-down of the module on Linux: run once per load, by the
// dynamic loader, when the shared object is mapped and unmapped.
#include "plugin/module_lifetime.h"

namespace {

// A constructor cannot fail the load; a failed start-up leaves the module
// without a registry, and the exports then give empty results.
__attribute__((constructor)) void QuilletModuleLoaded() { (void)quillet::ModuleStartup(); }
// The destructor runs on dlclose() and also when the process calls exit(),
// and cannot tell which: exit() leaves the host's other threads running, and
// one may be inside a request, inside 7z.so. ModuleShutdown therefore frees
// nothing while a request is in flight (which only exit() can leave), and an
// ordinary unload, with no request in flight, still frees everything.
__attribute__((destructor)) void QuilletModuleUnloaded() { quillet::ModuleShutdown(); }

}  // namespace
