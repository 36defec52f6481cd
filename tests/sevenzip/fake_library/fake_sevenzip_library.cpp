// Stand-ins for 7-Zip libraries, built in three variants:
//   FAKE_SEVENZIP_LEGACY    CreateObject but no GetModuleProp, as the builds
//                           for Linux that had a virtual destructor in IUnknown;
//   FAKE_SEVENZIP_FOREIGN   GetModuleProp reporting another IUnknown layout;
//   FAKE_SEVENZIP_SCRIPTED  our layout, with an archive object whose items,
//                           properties and results a test scripts.
// The first two never hand out an object: their CreateObject only counts its
// calls, so a test can tell whether it was reached.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <string>
#include <vector>

#include "handlers/sevenzip_interfaces.h"

#ifdef _WIN32
#define FAKE_EXPORT extern "C" __declspec(dllexport)
#else
#define FAKE_EXPORT extern "C" __attribute__((visibility("default")))
#endif

using namespace quillet::sevenzip;

namespace {
std::atomic<int> CreateObjectCalls{0};
}

FAKE_EXPORT int FakeCreateObjectCalls() { return CreateObjectCalls; }

#if defined(FAKE_SEVENZIP_LEGACY) || defined(FAKE_SEVENZIP_FOREIGN)

FAKE_EXPORT HRESULT STDAPICALLTYPE CreateObject(const GUID*, const GUID*, void** AObject) {
  ++CreateObjectCalls;
  if (AObject != nullptr) *AObject = nullptr;
  return E_NOTIMPL;
}

#ifdef FAKE_SEVENZIP_FOREIGN
FAKE_EXPORT HRESULT STDAPICALLTYPE GetModuleProp(PROPID APropID, PROPVARIANT* AValue) {
  AValue->vt = VT_EMPTY;
  if (APropID == kModulePropInterfaceType) {
    AValue->vt = VT_UI4;
    AValue->ulVal = 1;  // IUnknown with a virtual destructor
  }
  return S_OK;
}
#endif

#else  // FAKE_SEVENZIP_SCRIPTED

namespace {

using AllocStringProc = BSTR(STDAPICALLTYPE*)(const OLECHAR*);
using FreeStringProc = void(STDAPICALLTYPE*)(BSTR);

struct TItem {
  bool HasPath, HasName, HasExtension;
  std::u16string Path, Name, Extension;
  int IsDir;        // -1: not reported
  int64_t Attrib;   // -1: not reported
  std::string Content;  // file whose bytes Extract writes
};

struct TScript {
  std::vector<TItem> Items;
  HRESULT OpenResult = S_OK;
  HRESULT ExtractResult = S_OK;
  AllocStringProc AllocString = nullptr;
  FreeStringProc FreeString = nullptr;
  std::atomic<int> HighestIndexRead{-1};
  std::atomic<int> ExtractedIndex{-1};
  std::atomic<int> LiveArchives{0};
  std::atomic<HRESULT> PasswordQuery{S_OK};
} Script;

BSTR MakeString(const std::u16string& AText) {
  std::vector<OLECHAR> units(AText.begin(), AText.end());
  units.push_back(0);
  return Script.AllocString(units.data());
}

class TScriptedArchive final : public IInArchive {
 public:
  TScriptedArchive() { ++Script.LiveArchives; }
  ~TScriptedArchive() {
    if (FStream != nullptr) FStream->Release();
    --Script.LiveArchives;
  }

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppvObject) override {
    if (riid == IID_IUnknown || riid == IID_IInArchive) {
      *ppvObject = static_cast<IInArchive*>(this);
      AddRef();
      return S_OK;
    }
    *ppvObject = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(++FCount); }
  ULONG STDMETHODCALLTYPE Release() override {
    const int count = --FCount;
    if (count == 0) delete this;
    return static_cast<ULONG>(count);
  }

  HRESULT STDMETHODCALLTYPE Open(IInStream* stream, const uint64_t*, IArchiveOpenCallback*) override {
    // Kept, as the real library keeps it, until the archive goes.
    FStream = stream;
    FStream->AddRef();
    return Script.OpenResult;
  }
  HRESULT STDMETHODCALLTYPE Close() override { return S_OK; }
  HRESULT STDMETHODCALLTYPE GetNumberOfItems(uint32_t* numItems) override {
    *numItems = static_cast<uint32_t>(Script.Items.size());
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetProperty(uint32_t index, PROPID propID, PROPVARIANT* value) override {
    value->vt = VT_EMPTY;
    if (index >= Script.Items.size()) return E_INVALIDARG;
    int highest = Script.HighestIndexRead;
    while (static_cast<int>(index) > highest && !Script.HighestIndexRead.compare_exchange_weak(highest, static_cast<int>(index))) {
    }
    const TItem& item = Script.Items[index];
    if (propID == kpidPath && item.HasPath) {
      value->vt = VT_BSTR;
      value->bstrVal = MakeString(item.Path);
    } else if (propID == kpidName && item.HasName) {
      value->vt = VT_BSTR;
      value->bstrVal = MakeString(item.Name);
    } else if (propID == kpidExtension && item.HasExtension) {
      value->vt = VT_BSTR;
      value->bstrVal = MakeString(item.Extension);
    } else if (propID == kpidIsDir && item.IsDir >= 0) {
      value->vt = VT_BOOL;
      value->boolVal = static_cast<VARIANT_BOOL>(item.IsDir != 0 ? -1 : 0);
    } else if (propID == kpidAttrib && item.Attrib >= 0) {
      value->vt = VT_UI4;
      value->ulVal = static_cast<uint32_t>(item.Attrib);
    }
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Extract(const uint32_t* indices, uint32_t numItems, int32_t testMode,
                                    IArchiveExtractCallback* extractCallback) override {
    // The real library asks the callback for a password provider, and goes
    // on without one.
    const IID passwordProvider = MakeLibraryGuid(0x00, 0x00, 0x00, 0x05, 0x00, 0x10, 0x00, 0x00);
    void* provider = nullptr;
    Script.PasswordQuery = extractCallback->QueryInterface(passwordProvider, &provider);
    if (provider != nullptr) static_cast<IUnknown*>(provider)->Release();

    for (uint32_t n = 0; n < numItems; ++n) {
      const uint32_t index = indices[n];
      ISequentialOutStream* out = nullptr;
      const HRESULT got = extractCallback->GetStream(index, &out, testMode != 0 ? kTest : kExtract);
      if (got != S_OK) return got;
      if (out == nullptr) continue;
      Script.ExtractedIndex = static_cast<int>(index);
      std::string bytes;
      if (FILE* file = std::fopen(Script.Items[index].Content.c_str(), "rb")) {
        char buffer[4096];
        size_t read;
        while ((read = std::fread(buffer, 1, sizeof buffer, file)) > 0) bytes.append(buffer, read);
        std::fclose(file);
      }
      // Small pieces, as a decoder hands them out.
      for (size_t at = 0; at < bytes.size(); at += 7) {
        uint32_t written = 0;
        out->Write(bytes.data() + at, static_cast<uint32_t>(std::min<size_t>(7, bytes.size() - at)), &written);
      }
      out->Release();
      extractCallback->SetOperationResult(0);
    }
    return Script.ExtractResult;
  }

 private:
  std::atomic<int> FCount{0};
  IInStream* FStream = nullptr;
};

}  // namespace

FAKE_EXPORT HRESULT STDAPICALLTYPE CreateObject(const GUID*, const GUID* AInterfaceID, void** AObject) {
  ++CreateObjectCalls;
  *AObject = nullptr;
  if (!(*AInterfaceID == IID_IInArchive)) return E_NOINTERFACE;
  auto* archive = new TScriptedArchive();
  archive->AddRef();
  *AObject = static_cast<IInArchive*>(archive);
  return S_OK;
}

FAKE_EXPORT HRESULT STDAPICALLTYPE GetModuleProp(PROPID APropID, PROPVARIANT* AValue) {
  AValue->vt = VT_EMPTY;
  if (APropID == kModulePropInterfaceType) {
    AValue->vt = VT_UI4;
    AValue->ulVal = kInterfaceTypeWithoutVirtualDestructor;
  }
  return S_OK;
}

#ifndef _WIN32
// The strings it hands out belong to the allocator that the test gave it.
// Exported as SysFreeString, as a library for Linux exports it (a different
// name in C++, where platform_com.h declares our own SysFreeString).
FAKE_EXPORT void FakeSysFreeString(BSTR AText) __asm__("SysFreeString");
void FakeSysFreeString(BSTR AText) {
  if (AText != nullptr && Script.FreeString != nullptr) Script.FreeString(AText);
}
#endif

// The script. A null text is a property the library does not report.
FAKE_EXPORT void FakeScriptSetStringFunctions(void* AAlloc, void* AFree) {
  Script.AllocString = reinterpret_cast<AllocStringProc>(AAlloc);
  Script.FreeString = reinterpret_cast<FreeStringProc>(AFree);
}

FAKE_EXPORT void FakeScriptReset(HRESULT AOpenResult, HRESULT AExtractResult) {
  Script.Items.clear();
  Script.OpenResult = AOpenResult;
  Script.ExtractResult = AExtractResult;
  Script.HighestIndexRead = -1;
  Script.ExtractedIndex = -1;
  Script.PasswordQuery = S_OK;
}

FAKE_EXPORT void FakeScriptAddItem(const char16_t* APath, const char16_t* AName, const char16_t* AExtension,
                                   int AIsDir, int64_t AAttrib, const char* AContent) {
  Script.Items.push_back(TItem{APath != nullptr, AName != nullptr, AExtension != nullptr,
                               APath != nullptr ? APath : u"", AName != nullptr ? AName : u"",
                               AExtension != nullptr ? AExtension : u"", AIsDir, AAttrib,
                               AContent != nullptr ? AContent : ""});
}

FAKE_EXPORT int FakeHighestIndexRead() { return Script.HighestIndexRead; }
FAKE_EXPORT int FakeExtractedIndex() { return Script.ExtractedIndex; }
FAKE_EXPORT int FakeLiveArchives() { return Script.LiveArchives; }
FAKE_EXPORT HRESULT FakePasswordQuery() { return Script.PasswordQuery; }

#endif
