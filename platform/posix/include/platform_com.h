#pragma once
// The COM basics that the 7-Zip library speaks, for Linux: the same names,
// layouts and results as on Windows, so the adapters and the property code
// read the same on both platforms. The layouts are those of the 7-Zip
// library for Linux as it is built today:
//   - interface methods are plain C++ virtuals without a calling-convention
//     attribute, and IUnknown has no virtual destructor, so the first method
//     of an interface sits in slot 3;
//   - HRESULT is a 32-bit int;
//   - PROPVARIANT is 16 bytes: the 16-bit kind at offset 0, the value at 8;
//   - OLECHAR is wchar_t (4 bytes), but each one holds a single UTF-16 unit,
//     and a BSTR is freed by the library's own exported SysFreeString.
#include <cstddef>
#include <cstdint>
#include <cstring>

#define STDMETHODCALLTYPE
#define STDAPICALLTYPE

using HRESULT = int32_t;
using SCODE = int32_t;
using ULONG = uint32_t;
using VARTYPE = uint16_t;
using VARIANT_BOOL = int16_t;
using PROPID = uint32_t;
using OLECHAR = wchar_t;
using BSTR = OLECHAR*;
using LPSTR = char*;
using LPWSTR = wchar_t*;
using DATE = double;

struct GUID {
  uint32_t Data1;
  uint16_t Data2;
  uint16_t Data3;
  uint8_t Data4[8];
};
using IID = GUID;
using CLSID = GUID;
using REFIID = const IID&;
using REFCLSID = const CLSID&;

inline bool operator==(const GUID& a, const GUID& b) { return std::memcmp(&a, &b, sizeof(GUID)) == 0; }

struct FILETIME {
  uint32_t dwLowDateTime;
  uint32_t dwHighDateTime;
};

union LARGE_INTEGER {
  int64_t QuadPart;
};
union ULARGE_INTEGER {
  uint64_t QuadPart;
};
union CY {
  int64_t int64;
};

struct PROPVARIANT {
  VARTYPE vt;
  uint16_t wReserved1;
  uint16_t wReserved2;
  uint16_t wReserved3;
  union {
    char cVal;
    uint8_t bVal;
    int16_t iVal;
    uint16_t uiVal;
    int32_t lVal;
    uint32_t ulVal;
    LARGE_INTEGER hVal;
    ULARGE_INTEGER uhVal;
    float fltVal;
    double dblVal;
    VARIANT_BOOL boolVal;
    SCODE scode;
    CY cyVal;
    DATE date;
    FILETIME filetime;
    CLSID* puuid;
    LPSTR pszVal;
    LPWSTR pwszVal;
    BSTR bstrVal;
  };
};
static_assert(sizeof(PROPVARIANT) == 16 && offsetof(PROPVARIANT, ulVal) == 8,
              "the 7-Zip library's PROPVARIANT: kind at 0, value at 8, 16 bytes");

enum VARENUM : VARTYPE {
  VT_EMPTY = 0,
  VT_NULL = 1,
  VT_I2 = 2,
  VT_I4 = 3,
  VT_R4 = 4,
  VT_R8 = 5,
  VT_CY = 6,
  VT_DATE = 7,
  VT_BSTR = 8,
  VT_ERROR = 10,
  VT_BOOL = 11,
  VT_I1 = 16,
  VT_UI1 = 17,
  VT_UI2 = 18,
  VT_UI4 = 19,
  VT_I8 = 20,
  VT_UI8 = 21,
  VT_LPSTR = 30,
  VT_LPWSTR = 31,
  VT_FILETIME = 64,
  VT_CLSID = 72,
};

constexpr HRESULT S_OK = 0;
constexpr HRESULT S_FALSE = 1;
constexpr HRESULT E_NOTIMPL = static_cast<HRESULT>(0x80004001u);
constexpr HRESULT E_NOINTERFACE = static_cast<HRESULT>(0x80004002u);
constexpr HRESULT E_POINTER = static_cast<HRESULT>(0x80004003u);
constexpr HRESULT E_ABORT = static_cast<HRESULT>(0x80004004u);
constexpr HRESULT E_FAIL = static_cast<HRESULT>(0x80004005u);
constexpr HRESULT E_UNEXPECTED = static_cast<HRESULT>(0x8000FFFFu);
constexpr HRESULT E_OUTOFMEMORY = static_cast<HRESULT>(0x8007000Eu);
constexpr HRESULT E_INVALIDARG = static_cast<HRESULT>(0x80070057u);
constexpr HRESULT STG_E_INVALIDFUNCTION = static_cast<HRESULT>(0x80030001u);

inline constexpr IID IID_IUnknown = {0x00000000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

struct IUnknown {
  virtual HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppvObject) = 0;
  virtual ULONG STDMETHODCALLTYPE AddRef() = 0;
  virtual ULONG STDMETHODCALLTYPE Release() = 0;

 protected:
  // Not virtual: a virtual destructor would take slots of its own and shift
  // every method that the library calls.
  ~IUnknown() = default;
};

// COM needs no set-up on Linux: the calls exist so that code reads as on
// Windows. CoInitialize reports that nothing was done, so nothing is undone.
inline HRESULT CoInitialize(void*) { return S_FALSE; }
inline void CoUninitialize() {}

// Frees a BSTR that the 7-Zip library handed out, through the SysFreeString
// that the library exports (it allocated the string with its own allocator).
// A null string is ignored.
void SysFreeString(BSTR text) noexcept;
