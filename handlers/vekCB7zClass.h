#pragma once
// The handlers of the archive kinds read through the 7-Zip library: ZIP (CBZ,
// in three signature variants), 7z (CB7) and TAR (CBT); the stream and
// callback objects that the library reads and writes through; and the access
// to item properties.
#include <atomic>
#include <cstdint>
#include <exception>
#include <memory>
#include <string>
#include <utility>

#include "handlers/image_loading.h"
#include "handlers/sevenzip_interfaces.h"
#include "handlers/vekCBxClasses.h"
#include "platform/com.h"

namespace quillet {

// Text that should be a number and is not.
class EConvertError : public Exception {
 public:
  using Exception::Exception;
};

// ---- Statuses at the library boundary ---------------------------------------

// The HRESULT that an adapter method returns for an error it caught. No error
// ever crosses the interface boundary; a null error gives E_UNEXPECTED.
HRESULT ExceptionToHResult(const std::exception_ptr& AError) noexcept;
// Every status that comes back from the library: S_OK passes, S_FALSE fails
// as E_FAIL, anything else fails with its own code (EOleSysError).
HRESULT CheckResult(HRESULT AResult);

// ---- Reference-counted objects handed to the library --------------------------

// Holds one reference to an interface and releases it when it goes.
template <class T>
class TComPtr {
 public:
  TComPtr() = default;
  // Takes a reference of its own on AObject (a fresh object has none yet).
  QUILLET_CALLS_LIBRARY_OBJECTS explicit TComPtr(T* AObject) : FObject(AObject) {
    if (FObject != nullptr) FObject->AddRef();
  }
  ~TComPtr() { Reset(); }
  TComPtr(const TComPtr&) = delete;
  TComPtr& operator=(const TComPtr&) = delete;
  TComPtr(TComPtr&& AOther) noexcept : FObject(std::exchange(AOther.FObject, nullptr)) {}
  TComPtr& operator=(TComPtr&& AOther) noexcept {
    if (this != &AOther) {
      Reset();
      FObject = std::exchange(AOther.FObject, nullptr);
    }
    return *this;
  }

  T* Get() const { return FObject; }
  T* operator->() const { return FObject; }
  explicit operator bool() const { return FObject != nullptr; }
  // Releases what it held and hands out the variable for a call that fills it
  // with a referenced object.
  T** Put() {
    Reset();
    return &FObject;
  }
  QUILLET_CALLS_LIBRARY_OBJECTS void Reset() {
    if (FObject != nullptr) std::exchange(FObject, nullptr)->Release();
  }

 private:
  T* FObject = nullptr;
};

// The base of the adapters: IUnknown over an atomic reference count, for an
// object that implements TPrimary and TOthers. The object destroys itself when
// its last reference goes. A new object has no reference: its first holder
// takes one through one of its interfaces.
template <class TPrimary, class... TOthers>
class TvekInterfacedObject : public TPrimary, public TOthers... {
 public:
  TvekInterfacedObject() = default;
  TvekInterfacedObject(const TvekInterfacedObject&) = delete;
  TvekInterfacedObject& operator=(const TvekInterfacedObject&) = delete;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppvObject) override {
    if (ppvObject == nullptr) return E_POINTER;
    void* found = riid == IID_IUnknown ? static_cast<IUnknown*>(static_cast<TPrimary*>(this)) : FindInterface(riid);
    *ppvObject = found;
    if (found == nullptr) return E_NOINTERFACE;
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(++FRefCount); }
  ULONG STDMETHODCALLTYPE Release() override {
    const int32_t count = --FRefCount;
    if (count == 0) delete this;
    return static_cast<ULONG>(count);
  }

 protected:
  virtual ~TvekInterfacedObject() = default;
  // The interface pointer for an identifier that the class lists, or null.
  virtual void* FindInterface(REFIID AIID) = 0;

 private:
  std::atomic<int32_t> FRefCount{0};
};

// The archive file, read by the library. Others may read the file but not
// write it while it is open; it closes with the last reference.
class TvekInStream final : public TvekInterfacedObject<sevenzip::IInStream, sevenzip::IStreamGetSize> {
 public:
  // Raises the OS error when the file cannot be opened.
  explicit TvekInStream(const std::u16string& AFileName);

  HRESULT STDMETHODCALLTYPE Read(void* data, uint32_t size, uint32_t* processedSize) override;
  HRESULT STDMETHODCALLTYPE Seek(int64_t offset, uint32_t seekOrigin, uint64_t* newPosition) override;
  HRESULT STDMETHODCALLTYPE GetSize(uint64_t* size) override;

 protected:
  void* FindInterface(REFIID AIID) override;

 private:
  std::unique_ptr<platform::File> FStream;
};

// The largest item that is written out: LoadImageFile reads no file above
// this size, so nothing beyond it could become a thumbnail, and an entry that
// inflates to gigabytes must not fill the temporary disk first.
constexpr uint64_t kMaxExtractedItemSize = kMaxImageFileSize;

// HRESULT_FROM_WIN32(ERROR_FILE_TOO_LARGE): a write that would carry the item
// past its bound.
constexpr HRESULT kItemTooLargeResult = static_cast<HRESULT>(0x800700DFu);

// The file that receives the extracted cover entry. It is created afresh and
// exclusively: nothing may stand at its name, and no link is followed.
class TvekOutStream final : public TvekInterfacedObject<sevenzip::ISequentialOutStream> {
 public:
  // Raises the OS error when the file cannot be created. AMaxSize is the
  // bound on the bytes written.
  explicit TvekOutStream(const std::u16string& AFileName, uint64_t AMaxSize = kMaxExtractedItemSize);

  HRESULT STDMETHODCALLTYPE Write(const void* data, uint32_t size, uint32_t* processedSize) override;

 protected:
  void* FindInterface(REFIID AIID) override;

 private:
  std::unique_ptr<platform::File> FStream;
  uint64_t FRemaining;
};

// Routes exactly one item into one file; every other item passes without a
// stream. Asks for nothing else (no password, no progress of its own).
class TvekExtractCallback final : public TvekInterfacedObject<sevenzip::IArchiveExtractCallback> {
 public:
  TvekExtractCallback(uint32_t AIndex, std::u16string AFileName);

  HRESULT STDMETHODCALLTYPE SetTotal(uint64_t total) override;
  HRESULT STDMETHODCALLTYPE SetCompleted(const uint64_t* completeValue) override;
  HRESULT STDMETHODCALLTYPE GetStream(uint32_t index, sevenzip::ISequentialOutStream** outStream,
                                      int32_t askExtractMode) override;
  HRESULT STDMETHODCALLTYPE PrepareOperation(int32_t askExtractMode) override;
  HRESULT STDMETHODCALLTYPE SetOperationResult(int32_t opRes) override;

  // Whether this callback created the target file: only then is the file
  // ours to delete.
  bool CreatedFile() const { return FCreatedFile.load(); }

 protected:
  void* FindInterface(REFIID AIID) override;

 private:
  uint32_t FIndex;
  std::u16string FFileName;
  std::atomic<bool> FCreatedFile{false};
};

// ---- Item properties -----------------------------------------------------------

// Fills AValue with one property of one item; true when the library reported
// one (the kind is not VT_EMPTY). The caller clears AValue.
bool GetItemProperty(sevenzip::IInArchive* AArchive, uint32_t AIndex, PROPID APropID, PROPVARIANT& AValue);
// One property of one item as text; empty when the library reports none.
std::u16string GetItemPropertyText(sevenzip::IInArchive* AArchive, uint32_t AIndex, PROPID APropID);

// Conversions of a value; they never change it. A kind outside what each
// accepts raises "Type is not supported".
std::u16string PropVariantToText(const PROPVARIANT& AValue);
int64_t PropVariantToInteger(const PROPVARIANT& AValue);
bool PropVariantIsTrue(const PROPVARIANT& AValue);
// Frees what the value owns and leaves it VT_EMPTY.
void ClearPropVariant(PROPVARIANT& AValue);

// ---- The handlers ----------------------------------------------------------------

class TvekCB7zClass : public TvekCBxClass {
 public:
  using TvekCBxClass::TvekCBxClass;
  std::u16string GetLibraryName() const override;
  void BindFunctions() override;
  HBITMAP GetPreviewBitmap(const std::u16string& AFileName, bool AIsCBxFile) override;
  // The class identifier of the library's format handler for this kind.
  virtual GUID GetClassID() const = 0;

 protected:
  // The library's CreateObject, guarded: raises "Function CreateObject is not
  // implemented" when the library lacks it or is not to be trusted with it.
  HRESULT CreateObject(const GUID* AClassID, const GUID* AInterfaceID, void** AObject) const;
  // A new archive object of the format, its status checked.
  void CreateArchive(const GUID& AClassID, TComPtr<sevenzip::IInArchive>& AArchive) const;

 private:
  // Whether the loaded library was built with our layout of IUnknown.
  bool SharesOurComLayout() const;

  sevenzip::TCreateObjectFunc FCreateObject = nullptr;
};

class TvekCBZClass : public TvekCB7zClass {
 public:
  using TvekCB7zClass::TvekCB7zClass;
  std::string GetExtension() const override;
  GUID GetClassID() const override;
};

class TvekCBZClass_v1 : public TvekCBZClass {
 public:
  using TvekCBZClass::TvekCBZClass;
  std::string GetSignature() const override;
};

class TvekCBZClass_v2 : public TvekCBZClass {
 public:
  using TvekCBZClass::TvekCBZClass;
  std::string GetSignature() const override;
};

class TvekCBZClass_v3 : public TvekCBZClass {
 public:
  using TvekCBZClass::TvekCBZClass;
  std::string GetSignature() const override;
};

class TvekCB7Class : public TvekCB7zClass {
 public:
  using TvekCB7zClass::TvekCB7zClass;
  std::string GetExtension() const override;
  std::string GetSignature() const override;
  GUID GetClassID() const override;
};

class TvekCBTClass : public TvekCB7zClass {
 public:
  using TvekCB7zClass::TvekCB7zClass;
  std::string GetExtension() const override;
  std::string GetSignature() const override;
  int32_t GetSignatureOffset() const override;
  GUID GetClassID() const override;
};

// Registers the five 7-Zip handlers with CBxClassList (module start-up).
void RegisterCB7zHandlers();

}  // namespace quillet
