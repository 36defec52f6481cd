// Start-up and shut-down of the module on Linux: run once per load, by the
// dynamic loader, when the shared object is mapped and unmapped.
#include "plugin/module_lifetime.h"

namespace {

// A constructor cannot fail the load; a failed start-up leaves the module
// without a registry, and the exports then give empty results.
__attribute__((constructor)) void QuilletModuleLoaded() { (void)quillet::ModuleStartup(); }
__attribute__((destructor)) void QuilletModuleUnloaded() { quillet::ModuleShutdown(); }

}  // namespace
