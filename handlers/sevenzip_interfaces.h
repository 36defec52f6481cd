#pragma once
// The slice of the 7-Zip library's published interfaces that the back-end
// uses, declared by us from their identifiers and method orders. The library
// calls and is called through these vtables, so the order of the methods is
// the contract; only the leading methods that we use are declared, and
// nothing is ever called beyond them.
#include <cstdint>

#include "platform_com.h"

// The library's objects are foreign to our program: no type information of
// ours describes them, so the undefined-behaviour sanitizer's check of an
// object's dynamic type fails on every call into them. The functions that
// call methods of the library's objects carry this attribute, and only they.
#define QUILLET_CALLS_LIBRARY_OBJECTS __attribute__((no_sanitize("vptr")))

namespace quillet::sevenzip {

// The library's identifiers all read {23170F69-40C1-278A-...}: they differ
// only in their last eight bytes.
constexpr GUID MakeLibraryGuid(uint8_t A0, uint8_t A1, uint8_t A2, uint8_t A3, uint8_t A4, uint8_t A5, uint8_t A6,
                               uint8_t A7) {
  return GUID{0x23170F69, 0x40C1, 0x278A, {A0, A1, A2, A3, A4, A5, A6, A7}};
}

inline constexpr IID IID_ISequentialInStream = MakeLibraryGuid(0x00, 0x00, 0x00, 0x03, 0x00, 0x01, 0x00, 0x00);
inline constexpr IID IID_ISequentialOutStream = MakeLibraryGuid(0x00, 0x00, 0x00, 0x03, 0x00, 0x02, 0x00, 0x00);
inline constexpr IID IID_IInStream = MakeLibraryGuid(0x00, 0x00, 0x00, 0x03, 0x00, 0x03, 0x00, 0x00);
inline constexpr IID IID_IStreamGetSize = MakeLibraryGuid(0x00, 0x00, 0x00, 0x03, 0x00, 0x06, 0x00, 0x00);
inline constexpr IID IID_IProgress = MakeLibraryGuid(0x00, 0x00, 0x00, 0x00, 0x00, 0x05, 0x00, 0x00);
inline constexpr IID IID_IArchiveExtractCallback =
    MakeLibraryGuid(0x00, 0x00, 0x00, 0x06, 0x00, 0x20, 0x00, 0x00);
inline constexpr IID IID_IInArchive = MakeLibraryGuid(0x00, 0x00, 0x00, 0x06, 0x00, 0x60, 0x00, 0x00);

// Class identifiers of the library's format handlers.
inline constexpr CLSID CLSID_FormatZip = MakeLibraryGuid(0x10, 0x00, 0x00, 0x01, 0x10, 0x01, 0x00, 0x00);
inline constexpr CLSID CLSID_Format7z = MakeLibraryGuid(0x10, 0x00, 0x00, 0x01, 0x10, 0x07, 0x00, 0x00);
inline constexpr CLSID CLSID_FormatTar = MakeLibraryGuid(0x10, 0x00, 0x00, 0x01, 0x10, 0xEE, 0x00, 0x00);

// Item property ids.
constexpr PROPID kpidPath = 3;
constexpr PROPID kpidName = 4;
constexpr PROPID kpidExtension = 5;
constexpr PROPID kpidIsDir = 6;
constexpr PROPID kpidSize = 7;
constexpr PROPID kpidAttrib = 9;
constexpr PROPID kpidBlock = 27;  // the solid block (folder) that holds the item's data
constexpr PROPID kpidPosixAttrib = 53;
constexpr PROPID kpidSymLink = 54;
constexpr PROPID kpidIsAltStream = 63;
constexpr PROPID kpidHardLink = 90;
constexpr PROPID kpidCopyLink = 95;

// The ask-extract modes of GetStream and PrepareOperation.
constexpr int32_t kExtract = 0;
constexpr int32_t kTest = 1;
constexpr int32_t kSkip = 2;

// GetModuleProp: the IUnknown layout the library was built with, reported as
// VT_UI4 under this property id; the value 0 is our layout (no virtual
// destructor in IUnknown).
constexpr PROPID kModulePropInterfaceType = 0;
constexpr uint32_t kInterfaceTypeWithoutVirtualDestructor = 0;

struct ISequentialInStream : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE Read(void* data, uint32_t size, uint32_t* processedSize) = 0;
};

struct IInStream : ISequentialInStream {
  virtual HRESULT STDMETHODCALLTYPE Seek(int64_t offset, uint32_t seekOrigin, uint64_t* newPosition) = 0;
};

struct IStreamGetSize : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE GetSize(uint64_t* size) = 0;
};

struct ISequentialOutStream : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE Write(const void* data, uint32_t size, uint32_t* processedSize) = 0;
};

struct IProgress : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE SetTotal(uint64_t total) = 0;
  virtual HRESULT STDMETHODCALLTYPE SetCompleted(const uint64_t* completeValue) = 0;
};

struct IArchiveExtractCallback : IProgress {
  virtual HRESULT STDMETHODCALLTYPE GetStream(uint32_t index, ISequentialOutStream** outStream,
                                              int32_t askExtractMode) = 0;
  virtual HRESULT STDMETHODCALLTYPE PrepareOperation(int32_t askExtractMode) = 0;
  virtual HRESULT STDMETHODCALLTYPE SetOperationResult(int32_t opRes) = 0;
};

// Never implemented here: Open is always given a null open callback.
struct IArchiveOpenCallback;

struct IInArchive : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE Open(IInStream* stream, const uint64_t* maxCheckStartPosition,
                                         IArchiveOpenCallback* openCallback) = 0;
  virtual HRESULT STDMETHODCALLTYPE Close() = 0;
  virtual HRESULT STDMETHODCALLTYPE GetNumberOfItems(uint32_t* numItems) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetProperty(uint32_t index, PROPID propID, PROPVARIANT* value) = 0;
  virtual HRESULT STDMETHODCALLTYPE Extract(const uint32_t* indices, uint32_t numItems, int32_t testMode,
                                            IArchiveExtractCallback* extractCallback) = 0;
  // Further methods follow in the library's table; they are never called.
};

// The library's exports.
using TCreateObjectFunc = HRESULT(STDAPICALLTYPE*)(const GUID* clsid, const GUID* iid, void** outObject);
using TGetModulePropFunc = HRESULT(STDAPICALLTYPE*)(PROPID propID, PROPVARIANT* value);

}  // namespace quillet::sevenzip
