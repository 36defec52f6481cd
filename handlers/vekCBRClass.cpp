#include "handlers/vekCBRClass.h"

#include <cstring>
#include <memory>
#include <utility>

namespace quillet {

using namespace unrar;

int QUILLET_UNRAR_CALL RarCallback(unsigned int AMsg, LPARAM, LPARAM, LPARAM AP2) noexcept {
  switch (AMsg) {
    case UCM_CHANGEVOLUME:
    case UCM_CHANGEVOLUMEW: {
      const auto mode = static_cast<uint32_t>(AP2);
      if (mode == static_cast<uint32_t>(RAR_VOL_ASK)) return -1;  // a volume is missing: stop here
      if (mode == static_cast<uint32_t>(RAR_VOL_NOTIFY)) return 1;
      return 0;
    }
    case UCM_PROCESSDATA:
      return 1;
    case UCM_NEEDPASSWORD:
    case UCM_NEEDPASSWORDW:
      return -1;  // we have no password to give
    default:
      return 0;
  }
}

void RarCheck(int AResult) {
  if (AResult != ERAR_SUCCESS) throw Exception("Rar error");
}

// ---- The guarded calls --------------------------------------------------------

ArchiveHandle TvekCBRClass::RAROpenArchiveEx(RAROpenArchiveDataEx* AArchiveData) const {
  const auto call = Require(FRAROpenArchiveEx, "RAROpenArchiveEx");
  platform::UnrarLocaleScope locale;
  return call(AArchiveData);
}

int TvekCBRClass::RARCloseArchive(ArchiveHandle AArcData) const {
  const auto call = Require(FRARCloseArchive, "RARCloseArchive");
  platform::UnrarLocaleScope locale;
  return call(AArcData);
}

int TvekCBRClass::RARReadHeaderEx(ArchiveHandle AArcData, RARHeaderDataEx* AHeaderData) const {
  const auto call = Require(FRARReadHeaderEx, "RARReadHeaderEx");
  platform::UnrarLocaleScope locale;
  return call(AArcData, AHeaderData);
}

int TvekCBRClass::RARProcessFileW(ArchiveHandle AArcData, int AOperation, UnrarChar* ADestPath,
                                  UnrarChar* ADestName) const {
  const auto call = Require(FRARProcessFileW, "RARProcessFileW");
  platform::UnrarLocaleScope locale;
  return call(AArcData, AOperation, ADestPath, ADestName);
}

// ---- One pass over an archive ---------------------------------------------------

// An archive opened for one pass, closed when the pass ends on whatever path.
class TvekCBRClass::TArchive {
 public:
  TArchive(const TvekCBRClass& AHandler, std::vector<UnrarChar>& AArcName, unsigned int AOpenMode)
      : FHandler(AHandler), FHeader(std::make_unique<RARHeaderDataEx>()) {
    RAROpenArchiveDataEx data;
    std::memset(&data, 0, sizeof data);
    data.ArcNameW = AArcName.data();
    data.OpenMode = AOpenMode;
    data.Callback = RarCallback;
    data.UserData = 0;
    FHandle = FHandler.RAROpenArchiveEx(&data);
    FOpenResult = static_cast<int>(data.OpenResult);
  }

  ~TArchive() {
    if (FHandle == nullptr) return;
    try {
      FHandler.RARCloseArchive(FHandle);
    } catch (...) {
      // Only a library without RARCloseArchive gets here, and Close has
      // reported that already on the ordinary path.
    }
  }

  TArchive(const TArchive&) = delete;
  TArchive& operator=(const TArchive&) = delete;

  // False when the library could not open the archive at all.
  bool Opened() const { return FHandle != nullptr; }
  int OpenResult() const { return FOpenResult; }

  // The next entry's header; false at the end of the archive.
  bool ReadHeader() {
    std::memset(FHeader.get(), 0, sizeof(RARHeaderDataEx));
    const int code = FHandler.RARReadHeaderEx(FHandle, FHeader.get());
    if (code == ERAR_END_ARCHIVE) return false;
    RarCheck(code);
    return true;
  }

  std::u16string EntryName() const { return platform::FromUnrarText(FHeader->FileNameW, kNameCapacity); }

  // The library's own directory flag. The attributes cannot tell: for an
  // archive made on a Unix-like system they hold the file mode, whose bit
  // 0x10 is group write.
  bool EntryIsDirectory() const { return (FHeader->Flags & RHDF_DIRECTORY) != 0; }

  void Skip() { RarCheck(FHandler.RARProcessFileW(FHandle, RAR_SKIP, nullptr, nullptr)); }

  void ExtractTo(const std::u16string& AFileName) {
    std::vector<UnrarChar> destination = platform::ToUnrarText(AFileName);
    RarCheck(FHandler.RARProcessFileW(FHandle, RAR_EXTRACT, nullptr, destination.data()));
  }

  void Close() {
    ArchiveHandle handle = std::exchange(FHandle, nullptr);
    FHandler.RARCloseArchive(handle);
  }

 private:
  const TvekCBRClass& FHandler;
  std::unique_ptr<RARHeaderDataEx> FHeader;  // some 14 KB: kept off the host's stack
  ArchiveHandle FHandle = nullptr;
  int FOpenResult = 0;
};

namespace {

// The file the cover is extracted into. The name is taken by creating the
// file, empty and exclusively, before the library writes to it: what the
// library then opens is our own file, never a link planted at the name. From
// then on the file is deleted when the request ends, whether the extraction
// and the decoding worked or not.
class TTemporaryFile {
 public:
  explicit TTemporaryFile(std::u16string APath) : FPath(std::move(APath)) {
    platform::CreateFileExclusive(FPath).reset();
  }
  ~TTemporaryFile() { platform::ResetAttributesAndDelete(FPath); }
  TTemporaryFile(const TTemporaryFile&) = delete;
  TTemporaryFile& operator=(const TTemporaryFile&) = delete;

  const std::u16string& Path() const { return FPath; }

 private:
  std::u16string FPath;
};

}  // namespace

// ---- The handler ------------------------------------------------------------------

std::u16string TvekCBRClass::GetLibraryName() const { return platform::kUnrarLibraryName; }
std::string TvekCBRClass::GetExtension() const { return "CBR"; }
std::string TvekCBRClass::GetSignature() const { return std::string("Rar!\x1A\x07", 6); }

void TvekCBRClass::BindFunctions() {
  FRAROpenArchiveEx = reinterpret_cast<TRAROpenArchiveEx>(GetProc("RAROpenArchiveEx"));
  FRARCloseArchive = reinterpret_cast<TRARCloseArchive>(GetProc("RARCloseArchive"));
  FRARReadHeaderEx = reinterpret_cast<TRARReadHeaderEx>(GetProc("RARReadHeaderEx"));
  FRARProcessFileW = reinterpret_cast<TRARProcessFileW>(GetProc("RARProcessFileW"));
}

HBITMAP TvekCBRClass::GetPreviewBitmap(const std::u16string& AFileName, bool AIsCBxFile) {
  HBITMAP result = TvekCBxClass::GetPreviewBitmap(AFileName, AIsCBxFile);
  TvekCBxClassList* registry = Owner();
  // The image services are the registry's: a handler outside one has no cover.
  if (registry == nullptr) return result;

  std::vector<UnrarChar> archiveName = platform::ToUnrarText(AFileName);

  // First pass: the image entries, in archive order; only the first of them
  // when the file does not call itself a comic book.
  std::vector<std::u16string> candidates;
  {
    TArchive archive(*this, archiveName, RAR_OM_LIST);
    if (!archive.Opened()) return result;
    RarCheck(archive.OpenResult());
    while (archive.ReadHeader()) {
      std::u16string name = archive.EntryName();
      if (!archive.EntryIsDirectory() && registry->IsImageFile(name)) {
        candidates.push_back(std::move(name));
        if (!AIsCBxFile) break;
      }
      archive.Skip();
    }
    archive.Close();
  }
  if (candidates.empty()) return result;

  const std::u16string coverName = registry->SelectCoverName(candidates);
  candidates = {};

  // Second pass: forwards again, up to the entry of that very name.
  TArchive archive(*this, archiveName, RAR_OM_EXTRACT);
  if (!archive.Opened()) return result;
  RarCheck(archive.OpenResult());
  while (archive.ReadHeader()) {
    if (archive.EntryName() != coverName) {
      archive.Skip();
      continue;
    }
    TTemporaryFile temporary(registry->MakeTempFileName(coverName));
    archive.ExtractTo(temporary.Path());
    result = registry->LoadImageFile(temporary.Path());
    break;
  }
  archive.Close();
  return result;
}

void RegisterCBRHandlers() { RegisterHandlerClass(CreateHandler<TvekCBRClass>); }

}  // namespace quillet
