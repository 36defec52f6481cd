#include "handlers/vekCBxClasses.h"

#include <algorithm>
#include <cstring>

#include "platform/library_search.h"
#include "scaling/scaling.h"

namespace quillet {

TvekCBxClassList* CBxClassList = nullptr;

// ---- The handler base --------------------------------------------------------

TvekCBxClass::TvekCBxClass(TvekCBxClassList* AOwner) : FOwner(AOwner) {
  if (FOwner != nullptr && FOwner->FList) FOwner->FList->push_back(this);
}

TvekCBxClass::~TvekCBxClass() {
  if (FOwner != nullptr && FOwner->FList) {
    auto& list = *FOwner->FList;
    const auto at = std::find(list.begin(), list.end(), this);
    if (at != list.end()) list.erase(at);
  }
  if (FModule != nullptr) {
    platform::FreeLibraryHandle(FModule);
    FModule = nullptr;
  }
}

std::u16string TvekCBxClass::GetLibraryName() const { return {}; }
void TvekCBxClass::BindFunctions() {}

HBITMAP TvekCBxClass::GetPreviewBitmap(const std::u16string&, bool) {
  LoadModule();
  return nullptr;
}

std::string TvekCBxClass::GetExtension() const { return {}; }
std::string TvekCBxClass::GetSignature() const { return {}; }
int32_t TvekCBxClass::GetSignatureOffset() const { return 0; }

bool TvekCBxClass::MatchSignature(const void* ABuffer, int32_t ABufferLen) const {
  const std::string signature = GetSignature();
  const int64_t n = static_cast<int64_t>(signature.size());
  if (n == 0) return false;
  const int64_t offset = GetSignatureOffset();
  // Compared in 64 bits so that no offset or length can wrap round.
  if (offset < 0 || n + offset > ABufferLen || ABuffer == nullptr) return false;
  return std::memcmp(static_cast<const char*>(ABuffer) + offset, signature.data(), static_cast<size_t>(n)) == 0;
}

void TvekCBxClass::RaiseNotImplemented(const char* AName) {
  throw Exception(std::string("Function ") + AName + " is not implemented");
}

void TvekCBxClass::LoadModule() {
  std::lock_guard<std::mutex> lock(FLock);
  if (FModule != nullptr) return;
  for (int attempt = 0; attempt < platform::kLibrarySearchPlaces; ++attempt) {
    const std::u16string path = platform::LibrarySearchPath(attempt, platform::ThisModulePath(), GetLibraryName());
    // The settings file names nothing: no third load is tried.
    if (path.empty() && attempt == platform::kLibrarySearchPlaces - 1) throw Exception("Module not found");
    FModule = platform::LoadLibraryQuietly(path);
    if (FModule != nullptr) {
      BindFunctions();
      return;
    }
  }
  throw Exception("Module not found");
}

// ---- The registry ------------------------------------------------------------

TvekCBxClassList::TvekCBxClassList() : FList(std::make_unique<std::vector<TvekCBxClass*>>()) {}

TvekCBxClassList::~TvekCBxClassList() {
  // Each handler takes itself off the list as it goes, last one first.
  for (int32_t i = Count() - 1; i >= 0; --i) delete (*FList)[static_cast<size_t>(i)];
  FList.reset();
  FImageExtensions.reset();
}

int32_t TvekCBxClassList::Count() const { return FList ? static_cast<int32_t>(FList->size()) : 0; }

TvekCBxClass* TvekCBxClassList::GetClass(int32_t AIndex) const {
  if (AIndex < 0 || AIndex >= Count()) throw EListError("List index out of bounds (" + std::to_string(AIndex) + ")");
  return (*FList)[static_cast<size_t>(AIndex)];
}

std::string TvekCBxClassList::GetDetectString() const {
  std::vector<std::u16string> extensions;
  for (int32_t i = 0; i < Count(); ++i) {
    const std::u16string extension = platform::UpperCase(platform::AnsiToUtf16(GetClass(i)->GetExtension()));
    const bool known = std::any_of(extensions.begin(), extensions.end(),
                                   [&](const std::u16string& e) { return platform::SameText(e, extension); });
    if (!known) extensions.push_back(extension);
  }
  std::string result;
  for (const std::u16string& extension : extensions) {
    if (!result.empty()) result += '|';
    result += "EXT=\"" + platform::Utf16ToAnsi(extension) + "\"";
  }
  return result;
}

HBITMAP TvekCBxClassList::CreatePreview(const std::u16string& AFileName, const void* ABuffer, int32_t ABufferLen,
                                        int32_t AWidth, int32_t AHeight) {
  HBITMAP result = nullptr;
  bool isCBxFile = false;
  try {
    const std::u16string extension = platform::UpperCase(ExtractFileExt(AFileName));
    isCBxFile = extension.rfind(u".CB", 0) == 0;
  } catch (...) {
    return nullptr;
  }
  for (int32_t i = Count() - 1; i >= 0; --i) {
    HBITMAP unscaled = nullptr;
    try {
      TvekCBxClass* handler = GetClass(i);
      if (!handler->MatchSignature(ABuffer, ABufferLen)) continue;
      unscaled = handler->GetPreviewBitmap(AFileName, isCBxFile);
      if (unscaled == nullptr) continue;
      result = ScaleBitmap(unscaled, AWidth, AHeight);
      DeleteObject(unscaled);
      return result;
    } catch (...) {
      // One handler's failure is never the host's: drop it, ask the next.
      if (unscaled != nullptr) DeleteObject(unscaled);
    }
  }
  return nullptr;
}

void RegisterHandlerClass(TvekCBxClassClass AClass) { AClass(CBxClassList); }

std::u16string ExtractFileExt(std::u16string_view AName) {
  for (size_t i = AName.size(); i > 0; --i) {
    const char16_t c = AName[i - 1];
    if (c == u'.') return i - 1 > 0 ? std::u16string(AName.substr(i - 1)) : std::u16string();
    if (platform::IsNameDelimiter(c)) return {};
  }
  return {};
}

}  // namespace quillet
