#include "plugin/module_lifetime.h"

#include "handlers/vekCB7zClass.h"
#include "handlers/vekCBRClass.h"
#include "handlers/vekCBxClasses.h"
#include "platform/platform.h"
#include "scaling/scaling.h"

namespace quillet {

bool ModuleStartup() noexcept {
  try {
    // The module's own path is fixed now, while the current directory is
    // still the one the host loaded it from: the libraries beside it and its
    // settings file are found through it on every later request.
    (void)platform::ThisModulePath();
    InitializeScaling();
    CBxClassList = new TvekCBxClassList();
    // The order binds: the detect string lists extensions in it, and the
    // dispatch asks the handlers from the last to the first.
    RegisterCBRHandlers();
    RegisterCB7zHandlers();
    return true;
  } catch (...) {
    ModuleShutdown();
    return false;
  }
}

void ModuleShutdown() noexcept {
  try {
    TvekCBxClassList* list = CBxClassList;
    CBxClassList = nullptr;
    delete list;
    FinalizeScaling();
  } catch (...) {
  }
}

}  // namespace quillet
