#pragma once
// The registry of archive handlers, the handler base, and the services the
// handlers share: which entries are images, decoding, the cover choice and
// temporary file names.
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform_gdi.h"

namespace quillet {

class TvekCBxClassList;

// The abstract archive handler: a format description (extension, signature,
// its offset, the library that reads the format) and the cover bitmap.
class TvekCBxClass {
 public:
  // Appends the new handler to its owner's list when there is an owner.
  explicit TvekCBxClass(TvekCBxClassList* AOwner);
  virtual ~TvekCBxClass();
  TvekCBxClass(const TvekCBxClass&) = delete;
  TvekCBxClass& operator=(const TvekCBxClass&) = delete;

  virtual std::u16string GetLibraryName() const;
  virtual void BindFunctions();
  // The cover image at its own size (a 32-bit bottom-up DIB with premultiplied
  // alpha), or null. The base only makes sure the library is loaded.
  virtual HBITMAP GetPreviewBitmap(const std::u16string& AFileName, bool AIsCBxFile);
  virtual std::string GetExtension() const;
  virtual std::string GetSignature() const;
  virtual int32_t GetSignatureOffset() const;

  // Whether the file head carries this handler's signature at its offset.
  bool MatchSignature(const void* ABuffer, int32_t ABufferLen) const;
  // Loads and binds the library on first use: beside the module, beside the
  // host executable, then the path named in the settings file. Raises
  // "Module not found" when none loads.
  void LoadModule();

  TvekCBxClassList* Owner() const { return FOwner; }

 protected:
  platform::LibraryHandle Module() const { return FModule; }
  // The address of an export of the loaded library, or null.
  void* GetProc(const char* AName) const { return platform::GetLibrarySymbol(FModule, AName); }
  // The guard of every library call: an entry point the library lacks fails
  // the call, never the load.
  template <class Fn>
  static Fn Require(Fn AFunction, const char* AName) {
    if (AFunction == nullptr) RaiseNotImplemented(AName);
    return AFunction;
  }
  [[noreturn]] static void RaiseNotImplemented(const char* AName);

 private:
  TvekCBxClassList* FOwner;
  platform::LibraryHandle FModule = nullptr;
  std::mutex FLock;
};

// Makes one handler of a class, owned by the registry it appends itself to.
using TvekCBxClassClass = TvekCBxClass* (*)(TvekCBxClassList* AOwner);

template <class THandler>
TvekCBxClass* CreateHandler(TvekCBxClassList* AOwner) {
  return new THandler(AOwner);
}

class TvekCBxClassList {
 public:
  TvekCBxClassList();
  ~TvekCBxClassList();
  TvekCBxClassList(const TvekCBxClassList&) = delete;
  TvekCBxClassList& operator=(const TvekCBxClassList&) = delete;

  int32_t Count() const;
  // Raises EListError for an index outside 0 .. Count() - 1.
  TvekCBxClass* GetClass(int32_t AIndex) const;
  TvekCBxClass* Classes(int32_t AIndex) const { return GetClass(AIndex); }

  std::string GetDetectString() const;
  // The thumbnail for one file, or null; the caller owns the bitmap. No
  // failure leaves this function.
  HBITMAP CreatePreview(const std::u16string& AFileName, const void* ABuffer, int32_t ABufferLen,
                        int32_t AWidth, int32_t AHeight);

  bool IsImageFile(const std::u16string& AEntryName);
  HBITMAP LoadImageFile(const std::u16string& AImageFileName);
  std::u16string SelectCoverName(const std::vector<std::u16string>& ANames);
  std::u16string MakeTempFileName(const std::u16string& AEntryName);

 private:
  friend class TvekCBxClass;

  std::unique_ptr<std::vector<TvekCBxClass*>> FList;
  std::unique_ptr<std::vector<std::u16string>> FImageExtensions;
  std::mutex FLock;
  int32_t FTempCounter = 0;
};

// The module's registry; null outside the module's life.
extern TvekCBxClassList* CBxClassList;

// Registers one handler of the class with CBxClassList.
void RegisterHandlerClass(TvekCBxClassClass AClass);

// The extension of a name: from its last '.' to the end, dot included and
// case kept, when that '.' comes after the last folder or drive delimiter and
// is not the first character; otherwise empty.
std::u16string ExtractFileExt(std::u16string_view AName);

}  // namespace quillet
