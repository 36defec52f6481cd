// A stand-in plugin module for the library-loading tests. It holds the real
// handler base, so a handler inside it looks for its library beside this
// module, beside the host program and in this module's settings file, exactly
// as the handlers of the real module do.
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "handlers/vekCBxClasses.h"

#if defined(_WIN32)
#include <windows.h>
#define PROBE_EXPORT extern "C" __declspec(dllexport)
#else
#include <dlfcn.h>
#include <link.h>
#define PROBE_EXPORT extern "C" __attribute__((visibility("default")))
#endif

namespace {

using AnswerFn = int (*)();

class ProbeHandler : public quillet::TvekCBxClass {
 public:
  explicit ProbeHandler(std::u16string libraryName) : TvekCBxClass(nullptr), libraryName_(std::move(libraryName)) {}
  std::u16string GetLibraryName() const override { return libraryName_; }
  void BindFunctions() override {
    answer_ = reinterpret_cast<AnswerFn>(GetProc("QuilletProbeAnswer"));
    missing_ = reinterpret_cast<AnswerFn>(GetProc("QuilletProbeMissing"));
  }
  int CallAnswer() const { return Require(answer_, "QuilletProbeAnswer")(); }
  int CallMissing() const { return Require(missing_, "QuilletProbeMissing")(); }
  std::u16string LoadedPath() const {
#if defined(_WIN32)
    wchar_t name[4096] = {};
    const DWORD n = GetModuleFileNameW(static_cast<HMODULE>(Module()), name, 4096);
    return std::u16string(reinterpret_cast<const char16_t*>(name), n);
#else
    link_map* map = nullptr;
    if (Module() == nullptr || dlinfo(Module(), RTLD_DI_LINKMAP, &map) != 0) return {};
    return quillet::platform::Utf8ToUtf16(map->l_name);
#endif
  }

 private:
  std::u16string libraryName_;
  AnswerFn answer_ = nullptr;
  AnswerFn missing_ = nullptr;
};

std::mutex handlersLock;
std::map<std::u16string, std::unique_ptr<ProbeHandler>> handlers;

ProbeHandler& HandlerFor(const std::u16string& libraryName) {
  std::lock_guard<std::mutex> lock(handlersLock);
  auto& slot = handlers[libraryName];
  if (!slot) slot = std::make_unique<ProbeHandler>(libraryName);
  return *slot;
}

void CopyOut(const std::u16string& text, char16_t* out, int capacity) {
  if (out == nullptr || capacity <= 0) return;
  const size_t n = std::min<size_t>(text.size(), static_cast<size_t>(capacity - 1));
  std::memcpy(out, text.data(), n * sizeof(char16_t));
  out[n] = 0;
}

}  // namespace

// Runs one preview request's worth of loading for the handler of that library
// name (one handler per name for the module's life). Returns 0 on success and
// the loaded file's path; otherwise 1 and the error's message.
PROBE_EXPORT int ProbeLoad(const char16_t* libraryName, char16_t* result, int capacity) {
  try {
    ProbeHandler& handler = HandlerFor(libraryName);
    handler.GetPreviewBitmap(u"", true);
    CopyOut(handler.LoadedPath(), result, capacity);
    return 0;
  } catch (const std::exception& error) {
    CopyOut(quillet::platform::Utf8ToUtf16(error.what()), result, capacity);
    return 1;
  }
}

// Calls an entry point of the loaded library through the guard: "answer" or
// "missing". Returns its result, or -1 and the error's message.
PROBE_EXPORT int ProbeCall(const char16_t* libraryName, const char* entry, char16_t* message, int capacity) {
  try {
    ProbeHandler& handler = HandlerFor(libraryName);
    return std::strcmp(entry, "answer") == 0 ? handler.CallAnswer() : handler.CallMissing();
  } catch (const std::exception& error) {
    CopyOut(quillet::platform::Utf8ToUtf16(error.what()), message, capacity);
    return -1;
  }
}
