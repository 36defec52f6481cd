#include "handlers/vekCB7zClass.h"

#include "handlers/cover_selection.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <new>
#include <utility>
#include <vector>

namespace quillet {

using namespace sevenzip;

// ---- Statuses at the library boundary ---------------------------------------

HRESULT ExceptionToHResult(const std::exception_ptr& AError) noexcept {
  try {
    if (AError) std::rethrow_exception(AError);
  } catch (const EAbort&) {
    return static_cast<HRESULT>(0x800704C7u);  // ERROR_CANCELLED as an HRESULT
  } catch (const EOleSysError& error) {
    return error.ErrorCode;
  } catch (const EOutOfMemory&) {
    return E_OUTOFMEMORY;
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  } catch (const EOSError& error) {
    // A failure must never read as success: an OS error without a code still
    // failed.
    if (error.ErrorCode == 0) return E_FAIL;
    return static_cast<HRESULT>((error.ErrorCode & 0xFFFFu) | 0x80070000u);
  } catch (const EArgumentException&) {
    return E_INVALIDARG;
  } catch (const EInvalidPointer&) {
    return E_POINTER;
  } catch (...) {
    return E_UNEXPECTED;
  }
  return E_UNEXPECTED;
}

HRESULT CheckResult(HRESULT AResult) {
  // The library's S_FALSE means "not done" (an archive it does not accept),
  // so every code but S_OK fails.
  if (AResult == S_FALSE) AResult = E_FAIL;
  if (AResult != S_OK) {
    std::string message = platform::SystemMessageForHResult(AResult);
    if (message.empty()) {
      char text[40];
      std::snprintf(text, sizeof text, "OLE error %08X", static_cast<unsigned>(AResult));
      message = text;
    }
    throw EOleSysError(AResult, message);
  }
  return AResult;
}

namespace {

// Runs an adapter method's body; whatever it raises becomes its HRESULT.
template <class TBody>
HRESULT Guarded(TBody&& ABody) noexcept {
  try {
    return ABody();
  } catch (...) {
    return ExceptionToHResult(std::current_exception());
  }
}

}  // namespace

// ---- TvekInStream ------------------------------------------------------------

TvekInStream::TvekInStream(const std::u16string& AFileName) : FStream(platform::OpenFileForReading(AFileName)) {}

void* TvekInStream::FindInterface(REFIID AIID) {
  if (AIID == IID_ISequentialInStream) return static_cast<ISequentialInStream*>(this);
  if (AIID == IID_IInStream) return static_cast<IInStream*>(this);
  if (AIID == IID_IStreamGetSize) return static_cast<IStreamGetSize*>(this);
  return nullptr;
}

HRESULT TvekInStream::Read(void* data, uint32_t size, uint32_t* processedSize) {
  return Guarded([&] {
    uint32_t done = 0;
    if (size != 0) done = FStream->Read(data, size);  // a failed read reads nothing, as at the end
    if (processedSize != nullptr) *processedSize = done;
    return S_OK;
  });
}

HRESULT TvekInStream::Seek(int64_t offset, uint32_t seekOrigin, uint64_t* newPosition) {
  return Guarded([&] {
    if (seekOrigin > 2) return STG_E_INVALIDFUNCTION;
    uint64_t position = 0;
    // A seek that fails (before the start of the file) leaves the position
    // where it was; reporting it as done would have the library read from
    // the wrong place.
    if (!FStream->Seek(offset, seekOrigin, position)) return static_cast<HRESULT>(0x80070083u);  // ERROR_NEGATIVE_SEEK
    if (newPosition != nullptr) *newPosition = position;
    return S_OK;
  });
}

HRESULT TvekInStream::GetSize(uint64_t* size) {
  return Guarded([&] {
    if (size == nullptr) return E_POINTER;
    *size = FStream->Size();
    return S_OK;
  });
}

// ---- TvekOutStream -----------------------------------------------------------

TvekOutStream::TvekOutStream(const std::u16string& AFileName, uint64_t AMaxSize)
    : FStream(platform::CreateFileExclusive(AFileName)), FRemaining(AMaxSize) {}

void* TvekOutStream::FindInterface(REFIID AIID) {
  if (AIID == IID_ISequentialOutStream) return static_cast<ISequentialOutStream*>(this);
  return nullptr;
}

HRESULT TvekOutStream::Write(const void* data, uint32_t size, uint32_t* processedSize) {
  return Guarded([&] {
    if (processedSize != nullptr) *processedSize = 0;
    if (size == 0) return S_OK;
    // Past the bound the item can only fail to decode: stop before its bytes
    // reach the disk, and fail the extraction.
    if (size > FRemaining) {
      FRemaining = 0;
      return kItemTooLargeResult;
    }
    const uint32_t written = FStream->Write(data, size);
    FRemaining -= written;
    if (processedSize != nullptr) *processedSize = written;
    return written > 0 ? S_OK : S_FALSE;
  });
}

// ---- TvekExtractCallback -------------------------------------------------------

TvekExtractCallback::TvekExtractCallback(uint32_t AIndex, std::u16string AFileName)
    : FIndex(AIndex), FFileName(std::move(AFileName)) {}

void* TvekExtractCallback::FindInterface(REFIID AIID) {
  if (AIID == IID_IArchiveExtractCallback) return static_cast<IArchiveExtractCallback*>(this);
  return nullptr;
}

HRESULT TvekExtractCallback::SetTotal(uint64_t) { return S_OK; }
HRESULT TvekExtractCallback::SetCompleted(const uint64_t*) { return S_OK; }
HRESULT TvekExtractCallback::PrepareOperation(int32_t) { return S_OK; }
// The result is not acted upon: what was written is decoded, and the
// decoder decides.
HRESULT TvekExtractCallback::SetOperationResult(int32_t) { return S_OK; }

HRESULT TvekExtractCallback::GetStream(uint32_t index, ISequentialOutStream** outStream, int32_t askExtractMode) {
  return Guarded([&] {
    if (outStream == nullptr) return E_POINTER;
    *outStream = nullptr;
    if (askExtractMode != kExtract) return S_OK;

    // COM is set up around the creation of the file only. Every call that
    // succeeds counts, S_FALSE (the thread had COM already) included, and is
    // balanced; a thread of another apartment answers RPC_E_CHANGED_MODE,
    // which counts nothing and is left as it is.
    struct ComForThisCall {
      bool Initialised = CoInitialize(nullptr) >= 0;
      ~ComForThisCall() {
        if (Initialised) CoUninitialize();
      }
    } com;

    if (index == FIndex) {
      TvekOutStream* stream = new TvekOutStream(FFileName);
      FCreatedFile = true;
      stream->AddRef();  // the library's reference, the only one
      *outStream = stream;
    }
    return S_OK;
  });
}

// ---- Item properties -----------------------------------------------------------

namespace {

[[noreturn]] void RaiseTypeNotSupported() { throw Exception("Type is not supported"); }

std::u16string Ascii(const std::string& AText) { return std::u16string(AText.begin(), AText.end()); }

// The general format with up to 15 significant digits: "2.5", "1E20",
// "1.5E-7", "INF", "NAN". The decimal separator is the C library's, that is
// the process's locale.
std::u16string FormatFloat(double AValue) {
  if (std::isnan(AValue)) return u"NAN";
  if (std::isinf(AValue)) return AValue < 0 ? u"-INF" : u"INF";
  char text[64];
  std::snprintf(text, sizeof text, "%.15g", AValue);
  std::string out = text;
  // "1e+20" -> "1E20", "1.5e-07" -> "1.5E-7".
  const size_t e = out.find('e');
  if (e != std::string::npos) {
    std::string mantissa = out.substr(0, e);
    const char sign = out[e + 1];
    std::string digits = out.substr(e + 2);
    digits.erase(0, std::min(digits.find_first_not_of('0'), digits.size() - 1));
    out = mantissa + "E" + (sign == '-' ? "-" : "") + digits;
  }
  return platform::Utf8ToUtf16(out);
}

std::u16string FormatGuid(const GUID& AValue) {
  char text[40];
  std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                static_cast<unsigned>(AValue.Data1), static_cast<unsigned>(AValue.Data2),
                static_cast<unsigned>(AValue.Data3), AValue.Data4[0], AValue.Data4[1], AValue.Data4[2],
                AValue.Data4[3], AValue.Data4[4], AValue.Data4[5], AValue.Data4[6], AValue.Data4[7]);
  return Ascii(text);
}

// Text as a signed 32-bit integer: leading blanks, a sign, then decimal
// digits, or hexadecimal ones after "$" or "0x"; nothing after the digits.
int32_t TextToInteger(const std::u16string& AText) {
  const auto fail = [&]() -> int32_t {
    throw EConvertError("'" + platform::Utf16ToUtf8(AText) + "' is not a valid integer value");
  };
  size_t i = 0;
  while (i < AText.size() && AText[i] == u' ') ++i;
  bool negative = false;
  if (i < AText.size() && (AText[i] == u'-' || AText[i] == u'+')) negative = AText[i++] == u'-';
  unsigned base = 10;
  if (i < AText.size() && AText[i] == u'$') {
    base = 16;
    ++i;
  } else if (i + 1 < AText.size() && AText[i] == u'0' && (AText[i + 1] == u'x' || AText[i + 1] == u'X')) {
    base = 16;
    i += 2;
  }
  if (i == AText.size()) return fail();
  uint64_t value = 0;
  for (; i < AText.size(); ++i) {
    const char16_t c = AText[i];
    unsigned digit;
    if (c >= u'0' && c <= u'9') {
      digit = c - u'0';
    } else if (base == 16 && c >= u'a' && c <= u'f') {
      digit = c - u'a' + 10;
    } else if (base == 16 && c >= u'A' && c <= u'F') {
      digit = c - u'A' + 10;
    } else {
      return fail();
    }
    value = value * base + digit;
    if (value > 0xFFFFFFFFull) return fail();
  }
  if (base == 16) {
    // Hexadecimal digits give the 32 bits as they are.
    const auto bits = static_cast<int32_t>(static_cast<uint32_t>(value));
    return negative ? static_cast<int32_t>(0u - static_cast<uint32_t>(bits)) : bits;
  }
  if (negative ? value > 0x80000000ull : value > 0x7FFFFFFFull) return fail();
  return static_cast<int32_t>(negative ? -static_cast<int64_t>(value) : static_cast<int64_t>(value));
}

// Rounds to the nearest integer, halves to the even neighbour.
int64_t RoundToInteger(double AValue) {
  const double rounded = std::nearbyint(AValue);
  if (!(rounded >= -9223372036854775808.0 && rounded < 9223372036854775808.0))
    throw EConvertError("Invalid floating point operation");
  return static_cast<int64_t>(rounded);
}

// A currency value (units of 1/10000) rounded the same way, exactly.
int64_t RoundCurrency(int64_t AValue) {
  int64_t whole = AValue / 10000;
  const int64_t rest = AValue % 10000;  // has the sign of AValue
  const int64_t magnitude = rest < 0 ? -rest : rest;
  if (magnitude > 5000 || (magnitude == 5000 && whole % 2 != 0)) whole += rest < 0 ? -1 : 1;
  return whole;
}

}  // namespace

QUILLET_CALLS_LIBRARY_OBJECTS bool GetItemProperty(IInArchive* AArchive, uint32_t AIndex, PROPID APropID, PROPVARIANT& AValue) {
  AValue.vt = VT_EMPTY;
  const TComPtr<IInArchive> hold(AArchive);  // our own reference for the length of the call
  CheckResult(AArchive->GetProperty(AIndex, APropID, &AValue));
  return AValue.vt != VT_EMPTY;
}

std::u16string GetItemPropertyText(IInArchive* AArchive, uint32_t AIndex, PROPID APropID) {
  PROPVARIANT value{};
  GetItemProperty(AArchive, AIndex, APropID, value);
  std::u16string text;
  try {
    text = PropVariantToText(value);
  } catch (...) {
    try {
      ClearPropVariant(value);
    } catch (...) {
    }
    throw;
  }
  ClearPropVariant(value);
  return text;
}

std::u16string PropVariantToText(const PROPVARIANT& AValue) {
  const PROPVARIANT value = AValue;
  switch (value.vt) {
    case VT_EMPTY:
    case VT_NULL:
      return {};
    case VT_I1:
      return Ascii(std::to_string(static_cast<int8_t>(value.cVal)));
    case VT_I2:
      return Ascii(std::to_string(value.iVal));
    case VT_I4:
      return Ascii(std::to_string(value.lVal));
    case VT_ERROR:
      return Ascii(std::to_string(value.scode));
    case VT_I8:
      return Ascii(std::to_string(value.hVal.QuadPart));
    case VT_UI1:
      return Ascii(std::to_string(value.bVal));
    case VT_UI2:
      return Ascii(std::to_string(value.uiVal));
    case VT_UI4:
      return Ascii(std::to_string(value.ulVal));
    case VT_UI8:
      return Ascii(std::to_string(value.uhVal.QuadPart));
    case VT_R4:
      return FormatFloat(value.fltVal);
    case VT_R8:
      return FormatFloat(value.dblVal);
    case VT_CY:
      return FormatFloat(static_cast<double>(value.cyVal.int64) / 10000.0);
    case VT_DATE:
      return platform::FormatShortDate(value.date);
    case VT_BSTR:
      return platform::WideTextToUtf16(value.bstrVal);
    case VT_BOOL:
      return value.boolVal != 0 ? u"True" : u"False";
    case VT_LPSTR:
      return value.pszVal != nullptr ? platform::AnsiToUtf16(value.pszVal) : std::u16string();
    case VT_LPWSTR:
      return platform::WideTextToUtf16(value.pwszVal);
    case VT_FILETIME:
      return platform::FormatFileTime(value.filetime);
    case VT_CLSID:
      return value.puuid != nullptr ? FormatGuid(*value.puuid) : std::u16string();
    default:
      RaiseTypeNotSupported();
  }
}

int64_t PropVariantToInteger(const PROPVARIANT& AValue) {
  const PROPVARIANT value = AValue;
  switch (value.vt) {
    case VT_EMPTY:
    case VT_NULL:
      return 0;
    case VT_I1:
      return static_cast<int8_t>(value.cVal);
    case VT_I2:
      return value.iVal;
    case VT_I4:
      return value.lVal;
    case VT_ERROR:
      return value.scode;
    case VT_UI1:
      return value.bVal;
    case VT_UI2:
      return value.uiVal;
    case VT_UI4:
      return value.ulVal;
    case VT_I8:
      return value.hVal.QuadPart;
    case VT_UI8:
      return static_cast<int64_t>(value.uhVal.QuadPart);
    case VT_R4:
      return RoundToInteger(value.fltVal);
    case VT_R8:
      return RoundToInteger(value.dblVal);
    case VT_DATE:
      return RoundToInteger(value.date);
    case VT_CY:
      return RoundCurrency(value.cyVal.int64);
    case VT_BOOL:
      return value.boolVal != 0 ? 1 : 0;
    case VT_BSTR:
      return TextToInteger(platform::WideTextToUtf16(value.bstrVal));
    case VT_LPWSTR:
      return TextToInteger(platform::WideTextToUtf16(value.pwszVal));
    case VT_LPSTR:
      return TextToInteger(value.pszVal != nullptr ? platform::AnsiToUtf16(value.pszVal) : std::u16string());
    default:
      RaiseTypeNotSupported();
  }
}

bool PropVariantIsTrue(const PROPVARIANT& AValue) {
  const PROPVARIANT value = AValue;
  switch (value.vt) {
    case VT_EMPTY:
    case VT_NULL:
      return false;
    case VT_I1:
    case VT_UI1:
      return value.bVal != 0;
    case VT_I2:
    case VT_UI2:
    case VT_BOOL:
      return value.uiVal != 0;
    case VT_I4:
    case VT_UI4:
    case VT_ERROR:
      return value.ulVal != 0;
    case VT_I8:
    case VT_UI8:
      return value.uhVal.QuadPart != 0;
    case VT_R4:
      return !(value.fltVal == 0.0f);
    case VT_R8:
      return !(value.dblVal == 0.0);
    default:
      RaiseTypeNotSupported();
  }
}

void ClearPropVariant(PROPVARIANT& AValue) {
  switch (AValue.vt) {
    case VT_BSTR:
      SysFreeString(AValue.bstrVal);
      AValue.bstrVal = nullptr;
      AValue.vt = VT_EMPTY;
      return;
    case VT_EMPTY:
    case VT_NULL:
    case VT_I2:
    case VT_I4:
    case VT_R4:
    case VT_R8:
    case VT_ERROR:
    case VT_BOOL:
    case VT_I1:
    case VT_UI1:
    case VT_UI2:
    case VT_UI4:
    case VT_I8:
    case VT_UI8:
    case VT_FILETIME:
      AValue.vt = VT_EMPTY;
      return;
    default:
      RaiseTypeNotSupported();
  }
}

// ---- The handlers ----------------------------------------------------------------

namespace {

// Clears a value on the way out of a failed conversion; a value that cannot
// be cleared is left as it is.
void ClearQuietly(PROPVARIANT& AValue) noexcept {
  try {
    ClearPropVariant(AValue);
  } catch (...) {
  }
}

// One property of one item, converted (true), or false when the library
// reports none. The value is cleared on every path.
template <class T, class TConvert>
bool GetItemPropertyAs(IInArchive* AArchive, uint32_t AIndex, PROPID APropID, T& AResult, TConvert AConvert) {
  PROPVARIANT value{};
  if (!GetItemProperty(AArchive, AIndex, APropID, value)) return false;
  try {
    AResult = AConvert(value);
  } catch (...) {
    ClearQuietly(value);
    throw;
  }
  ClearPropVariant(value);
  return true;
}

bool GetItemPropertyInteger(IInArchive* AArchive, uint32_t AIndex, PROPID APropID, int64_t& AInteger) {
  return GetItemPropertyAs(AArchive, AIndex, APropID, AInteger, PropVariantToInteger);
}

bool GetItemPropertyTruth(IInArchive* AArchive, uint32_t AIndex, PROPID APropID, bool& ATruth) {
  return GetItemPropertyAs(AArchive, AIndex, APropID, ATruth, PropVariantIsTrue);
}

// Whether item AIndex is a directory: by kpidIsDir when the library reports
// it, otherwise by the directory bit of kpidAttrib.
bool IsDirectoryItem(IInArchive* AArchive, uint32_t AIndex) {
  bool directory = false;
  if (GetItemPropertyTruth(AArchive, AIndex, kpidIsDir, directory)) return directory;
  int64_t attributes = 0;
  if (GetItemPropertyInteger(AArchive, AIndex, kpidAttrib, attributes)) {
    return (attributes & 0x10) != 0;  // FILE_ATTRIBUTE_DIRECTORY
  }
  return false;
}

// Whether a POSIX mode names anything but a regular file. A mode without
// type bits says nothing either way.
bool IsSpecialPosixMode(int64_t AMode) {
  const int64_t type = AMode & 0xF000;  // S_IFMT
  return type != 0 && type != 0x8000;   // S_IFREG
}

// Whether item AIndex is a link of any kind, or anything else that is not
// the data of a plain file: extracted, its bytes are a link's target, or
// nothing at all, never a page. The library reports a TAR entry's link in
// kpidSymLink or kpidHardLink, an entry's POSIX mode in kpidPosixAttrib, or
// in the high half of kpidAttrib behind the Unix-extension bit (ZIP, 7z);
// Windows archivers mark links as reparse points, and alternate data streams
// on their own.
bool IsLinkOrSpecialItem(IInArchive* AArchive, uint32_t AIndex) {
  for (const PROPID linkTarget : {kpidSymLink, kpidHardLink, kpidCopyLink}) {
    if (!GetItemPropertyText(AArchive, AIndex, linkTarget).empty()) return true;
  }
  bool altStream = false;
  if (GetItemPropertyTruth(AArchive, AIndex, kpidIsAltStream, altStream) && altStream) return true;
  int64_t mode = 0;
  if (GetItemPropertyInteger(AArchive, AIndex, kpidPosixAttrib, mode) && IsSpecialPosixMode(mode)) return true;
  int64_t attributes = 0;
  if (GetItemPropertyInteger(AArchive, AIndex, kpidAttrib, attributes)) {
    constexpr int64_t kReparsePoint = 0x400;        // FILE_ATTRIBUTE_REPARSE_POINT
    constexpr int64_t kUnixExtension = 0x8000;      // the POSIX mode is in the high 16 bits
    if ((attributes & kReparsePoint) != 0) return true;
    if ((attributes & kUnixExtension) != 0 && IsSpecialPosixMode((attributes >> 16) & 0xFFFF)) return true;
  }
  return false;
}

// Refuses item AIndex before any of it is written when its declared size is
// beyond what could be decoded. An item that declares no size is bounded
// while it is written (TvekOutStream).
void CheckDeclaredItemSize(IInArchive* AArchive, uint32_t AIndex) {
  int64_t size = 0;
  if (!GetItemPropertyInteger(AArchive, AIndex, kpidSize, size)) return;
  if (static_cast<uint64_t>(size) > kMaxExtractedItemSize)
    throw EOleSysError(kItemTooLargeResult, "The entry is larger than any image that can be decoded");
}

// Refuses the extraction of item ACoverIndex before it begins when the
// library would unpack more than a request may: in a solid block every item
// before the cover is decoded on the way to it. Items the library places in
// no block, or formats without blocks, decode nothing but their own data.
void CheckUnpackedBudget(IInArchive* AArchive, uint32_t ACoverIndex) {
  int64_t coverBlock = 0;
  if (!GetItemPropertyInteger(AArchive, ACoverIndex, kpidBlock, coverBlock)) return;
  uint64_t unpacked = 0;
  const auto charge = [&](uint32_t AIndex) {
    int64_t size = 0;
    if (!GetItemPropertyInteger(AArchive, AIndex, kpidSize, size)) return;
    const auto declared = static_cast<uint64_t>(size);
    if (declared > kMaxUnpackedBytesPerRequest - unpacked)
      throw EOleSysError(kItemTooLargeResult, "Reaching the entry means unpacking more than a request may");
    unpacked += declared;
  };
  charge(ACoverIndex);
  for (uint32_t i = 0; i < ACoverIndex; ++i) {
    int64_t block = 0;
    if (GetItemPropertyInteger(AArchive, i, kpidBlock, block) && block == coverBlock) charge(i);
  }
}

// The archive's own file name, without its folder.
std::u16string ArchiveBaseName(const std::u16string& AFileName) {
  size_t start = AFileName.size();
  while (start > 0 && !platform::IsNameDelimiter(AFileName[start - 1])) --start;
  return AFileName.substr(start);
}

// The name of item AIndex: its path, or else its name, followed by its
// extension with a dot. An item that reports neither path nor name takes the
// archive's file name, with the item's extension in place of the archive's.
std::u16string ItemEntryName(IInArchive* AArchive, uint32_t AIndex, const std::u16string& AFileName) {
  const std::u16string path = GetItemPropertyText(AArchive, AIndex, kpidPath);
  const std::u16string name = path.empty() ? GetItemPropertyText(AArchive, AIndex, kpidName) : std::u16string();
  std::u16string extension = GetItemPropertyText(AArchive, AIndex, kpidExtension);
  if (!extension.empty() && extension.front() != u'.') extension.insert(extension.begin(), u'.');

  std::u16string entryName = path + name + extension;
  if (!entryName.empty() && !(path.empty() && name.empty())) return entryName;
  const std::u16string archiveName = ArchiveBaseName(AFileName);
  const std::u16string stem = archiveName.substr(0, archiveName.size() - ExtractFileExt(archiveName).size());
  return stem + extension;  // empty extension: the bare stem, which is never an image
}

}  // namespace

std::u16string TvekCB7zClass::GetLibraryName() const { return platform::kSevenZipLibraryName; }

void TvekCB7zClass::BindFunctions() {
  FCreateObject = nullptr;
  try {
    platform::UseLibraryStrings(Module());
    const auto createObject = reinterpret_cast<TCreateObjectFunc>(GetProc("CreateObject"));
    // A library laid out differently would crash on the first call: then it
    // is as good as one without CreateObject.
    if (createObject != nullptr && SharesOurComLayout()) FCreateObject = createObject;
  } catch (...) {
    FCreateObject = nullptr;
  }
}

bool TvekCB7zClass::SharesOurComLayout() const {
  const auto getModuleProp = reinterpret_cast<TGetModulePropFunc>(GetProc("GetModuleProp"));
  if (getModuleProp == nullptr) return platform::kUnreportedComLayoutIsOurs;
  PROPVARIANT value{};
  value.vt = VT_EMPTY;
  if (getModuleProp(kModulePropInterfaceType, &value) != S_OK) return true;
  const bool reported = value.vt == VT_UI4;
  const bool ours = !reported || value.ulVal == kInterfaceTypeWithoutVirtualDestructor;
  ClearQuietly(value);
  return ours;
}

HRESULT TvekCB7zClass::CreateObject(const GUID* AClassID, const GUID* AInterfaceID, void** AObject) const {
  return Require(FCreateObject, "CreateObject")(AClassID, AInterfaceID, AObject);
}

void TvekCB7zClass::CreateArchive(const GUID& AClassID, TComPtr<IInArchive>& AArchive) const {
  CheckResult(CreateObject(&AClassID, &IID_IInArchive, reinterpret_cast<void**>(AArchive.Put())));
}

QUILLET_CALLS_LIBRARY_OBJECTS HBITMAP TvekCB7zClass::GetPreviewBitmap(const std::u16string& AFileName, bool AIsCBxFile) {
  HBITMAP result = TvekCBxClass::GetPreviewBitmap(AFileName, AIsCBxFile);
  TvekCBxClassList* registry = Owner();
  if (registry == nullptr) throw Exception("The handler belongs to no registry");

  // Declared in this order so that the stream goes before the archive, on
  // every path.
  TComPtr<IInArchive> archive;
  CreateArchive(GetClassID(), archive);
  const TComPtr<IInStream> stream(new TvekInStream(AFileName));

  CheckResult(archive->Open(stream.Get(), nullptr, nullptr));
  uint32_t count = 0;
  CheckResult(archive->GetNumberOfItems(&count));
  if (count == 0) return result;

  // The image entries' names, and beside each its item index.
  std::vector<std::u16string> names;
  std::vector<uint32_t> indices;
  for (uint32_t i = 0; i < count; ++i) {
    if (IsDirectoryItem(archive.Get(), i)) continue;
    std::u16string entryName = ItemEntryName(archive.Get(), i, AFileName);
    // A link named like a page is no page (asked of image names only).
    if (registry->IsImageFile(entryName) && !IsNeverAPage(entryName) && !IsLinkOrSpecialItem(archive.Get(), i)) {
      names.push_back(std::move(entryName));
      indices.push_back(i);
      // Outside a comic-book name the first image is the cover.
      if (!AIsCBxFile) break;
    }
  }
  if (names.empty()) return result;

  // A page that does not decode makes way for the rule's next choice; the
  // attempts are few, and each extraction is bounded as the first one is.
  TCoverAttempts attempts(*registry, names);
  for (std::u16string coverName; attempts.Next(coverName);) {
    const auto cover = std::find_if(names.begin(), names.end(),
                                    [&](const std::u16string& name) { return platform::SameText(name, coverName); });
    if (cover == names.end()) return result;
    const uint32_t coverIndex = indices[static_cast<size_t>(cover - names.begin())];

    CheckDeclaredItemSize(archive.Get(), coverIndex);
    CheckUnpackedBudget(archive.Get(), coverIndex);

    const std::u16string tempFileName = registry->MakeTempFileName(coverName);
    auto* callbackObject = new TvekExtractCallback(coverIndex, tempFileName);
    // The callback goes first, then the file, on every path. Only a file that
    // the callback created is deleted: one that stood at the name before is
    // someone else's.
    struct ExtractionCleanup {
      TComPtr<IArchiveExtractCallback> Callback;
      const std::u16string& FileName;
      ExtractionCleanup(TvekExtractCallback* ACallback, const std::u16string& AFileName)
          : Callback(ACallback), FileName(AFileName) {}
      ~ExtractionCleanup() {
        const bool created = static_cast<TvekExtractCallback*>(Callback.Get())->CreatedFile();
        Callback.Reset();
        if (created) platform::ResetAttributesAndDelete(FileName);
      }
    } cleanup(callbackObject, tempFileName);

    CheckResult(archive->Extract(&coverIndex, 1, 0, cleanup.Callback.Get()));
    try {
      return registry->LoadImageFile(tempFileName);
    } catch (const Exception&) {
      // The last attempt's failure is the request's.
      if (!attempts.More()) throw;
    }
  }
  return result;
}

std::string TvekCBZClass::GetExtension() const { return "CBZ"; }
GUID TvekCBZClass::GetClassID() const { return CLSID_FormatZip; }
std::string TvekCBZClass_v1::GetSignature() const { return std::string("PK\x03\x04", 4); }
std::string TvekCBZClass_v2::GetSignature() const { return std::string("PK\x05\x06", 4); }
std::string TvekCBZClass_v3::GetSignature() const { return "PK00PK"; }

std::string TvekCB7Class::GetExtension() const { return "CB7"; }
std::string TvekCB7Class::GetSignature() const { return std::string("7z\xBC\xAF\x27\x1C", 6); }
GUID TvekCB7Class::GetClassID() const { return CLSID_Format7z; }

std::string TvekCBTClass::GetExtension() const { return "CBT"; }
std::string TvekCBTClass::GetSignature() const { return "ustar"; }
int32_t TvekCBTClass::GetSignatureOffset() const { return 257; }
GUID TvekCBTClass::GetClassID() const { return CLSID_FormatTar; }

void RegisterCB7zHandlers() {
  RegisterHandlerClass(CreateHandler<TvekCBZClass_v1>);
  RegisterHandlerClass(CreateHandler<TvekCBZClass_v2>);
  RegisterHandlerClass(CreateHandler<TvekCBZClass_v3>);
  RegisterHandlerClass(CreateHandler<TvekCB7Class>);
  RegisterHandlerClass(CreateHandler<TvekCBTClass>);
}

}  // namespace quillet
