#include "plugin/module_lifetime.h"

#include <atomic>

#include "handlers/vekCB7zClass.h"
#include "handlers/vekCBRClass.h"
#include "handlers/vekCBxClasses.h"
#include "platform/platform.h"
#include "scaling/scaling.h"

namespace quillet {

namespace {

// A request counts itself in before it looks at ModuleClosing, and shut-down
// sets ModuleClosing before it counts the requests: with sequentially
// consistent order at least one of the two sees the other, so either the
// request is not admitted or shut-down leaves everything in place.
std::atomic<int> RequestsInFlight{0};
std::atomic<bool> ModuleClosing{false};

}  // namespace

TModuleRequest::TModuleRequest() noexcept {
  RequestsInFlight.fetch_add(1);
  FAdmitted = !ModuleClosing.load();
}

TModuleRequest::~TModuleRequest() { RequestsInFlight.fetch_sub(1); }

bool ModuleStartup() noexcept {
  ModuleClosing.store(false);
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
  ModuleClosing.store(true);
  if (RequestsInFlight.load() != 0) return;
  try {
    TvekCBxClassList* list = CBxClassList;
    CBxClassList = nullptr;
    delete list;
    FinalizeScaling();
    platform::ReleaseTextResources();
  } catch (...) {
  }
}

}  // namespace quillet
