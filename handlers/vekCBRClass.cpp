#include "handlers/vekCBRClass.h"

#include "handlers/cover_selection.h"
#include "handlers/image_loading.h"
#include "handlers/rar_block_walk.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <exception>
#include <memory>
#include <utility>

namespace quillet {

using namespace unrar;

int TRarDataSink::Receive(const void* AData, LPARAM ASize) noexcept {
  if (FOutput == nullptr) return 1;
  if (ASize < 0 || (ASize > 0 && AData == nullptr)) {
    FFailed = true;
    return -1;
  }
  const auto size = static_cast<uint64_t>(ASize);
  // Stop before writing what the headers never promised or the decoder would
  // refuse anyway.
  if (size > FLimit - FWritten) {
    FFailed = true;
    return -1;
  }
  const auto* bytes = static_cast<const uint8_t*>(AData);
  for (uint64_t done = 0; done < size;) {
    const auto chunk = static_cast<uint32_t>(std::min<uint64_t>(size - done, 0x40000000u));
    if (FOutput->Write(bytes + done, chunk) != chunk) {
      FFailed = true;
      return -1;
    }
    done += chunk;
  }
  FWritten += size;
  return 1;
}

int QUILLET_UNRAR_CALL RarCallback(unsigned int AMsg, LPARAM AUserData, LPARAM AP1, LPARAM AP2) noexcept {
  switch (AMsg) {
    case UCM_CHANGEVOLUME:
    case UCM_CHANGEVOLUMEW:
      // Only the volume we walked is read: a later one has not been checked
      // and could crash the library. So a cover that goes on in the next
      // volume gets no thumbnail, and a listing ends in an error there.
      return -1;
    case UCM_PROCESSDATA:
      if (AUserData == 0) return 1;
      return reinterpret_cast<TRarDataSink*>(AUserData)->Receive(reinterpret_cast<const void*>(AP1), AP2);
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
  // ASink receives the data of the entries processed in this pass; null for
  // a listing.
  TArchive(const TvekCBRClass& AHandler, std::vector<UnrarChar>& AArcName, unsigned int AOpenMode,
           TRarDataSink* ASink)
      : FHandler(AHandler), FHeader(std::make_unique<RARHeaderDataEx>()), FSink(ASink) {
    RAROpenArchiveDataEx data;
    std::memset(&data, 0, sizeof data);
    data.ArcNameW = AArcName.data();
    data.OpenMode = AOpenMode;
    data.Callback = RarCallback;
    data.UserData = reinterpret_cast<LPARAM>(ASink);
    FHandle = FHandler.RAROpenArchiveEx(&data);
    FOpenResult = static_cast<int>(data.OpenResult);
    FSolid = (data.Flags & ROADF_SOLID) != 0;
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
  // Whether passing over an entry means unpacking it, to the last byte.
  bool Solid() const { return FSolid; }

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
  bool EntryIsSplit() const { return (FHeader->Flags & (RHDF_SPLITBEFORE | RHDF_SPLITAFTER)) != 0; }

  // A link of any kind, or a reference to another file: what it stands for
  // lies outside the archive, or elsewhere in it, and is never a page. Links
  // that older archives made on Unix-like systems carry only in their mode.
  bool EntryIsLink() const {
    if (FHeader->RedirType != FSREDIR_NONE) return true;
    return FHeader->HostOS == HOST_UNIX && (FHeader->FileAttr & kFileTypeMask) == kSymbolicLinkType;
  }

  // The size the header promises for the unpacked entry.
  uint64_t EntryDeclaredSize() const {
    return (static_cast<uint64_t>(FHeader->UnpSizeHigh) << 32) | FHeader->UnpSize;
  }

  void Skip() { RarCheck(FHandler.RARProcessFileW(FHandle, RAR_SKIP, nullptr, nullptr)); }

  // The entry's data, checked by the library and handed to us through the
  // callback, into AOutput. The library only tests the entry: it creates no
  // file, sets no mode and makes no link.
  void TestInto(platform::File& AOutput) {
    FSink->Begin(&AOutput);
    const int code = FHandler.RARProcessFileW(FHandle, RAR_TEST, nullptr, nullptr);
    const bool refused = FSink->Failed();
    FSink->Begin(nullptr);
    RarCheck(code);
    if (refused) throw Exception("Rar error");
  }

  void Close() {
    ArchiveHandle handle = std::exchange(FHandle, nullptr);
    FHandler.RARCloseArchive(handle);
  }

 private:
  static constexpr unsigned int kFileTypeMask = 0xF000;      // S_IFMT
  static constexpr unsigned int kSymbolicLinkType = 0xA000;  // S_IFLNK

  const TvekCBRClass& FHandler;
  std::unique_ptr<RARHeaderDataEx> FHeader;  // some 14 KB: kept off the host's stack
  TRarDataSink* FSink;
  ArchiveHandle FHandle = nullptr;
  int FOpenResult = 0;
  bool FSolid = false;
};

namespace {

// The file the cover is extracted into: created empty and exclusively by us
// (on Linux readable and writable by its owner alone), so what receives the
// data is our own file, never a link planted at the name, and its mode stays
// ours until it is deleted. From then on the file is deleted when the request
// ends, whether the extraction and the decoding worked or not.
class TTemporaryFile {
 public:
  explicit TTemporaryFile(std::u16string APath)
      : FPath(std::move(APath)), FFile(platform::CreateFileExclusive(FPath)) {}
  ~TTemporaryFile() {
    FFile.reset();
    platform::ResetAttributesAndDelete(FPath);
  }
  TTemporaryFile(const TTemporaryFile&) = delete;
  TTemporaryFile& operator=(const TTemporaryFile&) = delete;

  const std::u16string& Path() const { return FPath; }
  platform::File& File() { return *FFile; }
  // Closed before it is decoded, which opens it anew.
  void Close() { FFile.reset(); }

 private:
  std::u16string FPath;
  std::unique_ptr<platform::File> FFile;
};

// An entry that claims more than the decoder accepts is refused before any of
// it is unpacked.
void CheckDeclaredSize(uint64_t ASize) {
  if (ASize > kMaxImageFileSize) throw Exception("Rar error");
}

// What the library unpacks for one request. In a solid archive passing over
// an entry unpacks it, to as many bytes as its header declares: the entries
// before the cover and the cover together are refused, before any of them is
// unpacked, when they declare more than a request may unpack.
// In one volume of several the library is led no further than this file's
// own entries: reading past them, or processing an entry that goes on in the
// next volume, makes the library open that volume and read its headers
// before anyone is asked, and those headers nobody has checked. A cover that
// spans volumes, or lies in a later one, therefore gets no thumbnail.
class TVolumeGuard {
 public:
  explicit TVolumeGuard(const TRarArchiveFacts& AFacts) : FFacts(AFacts) {}
  bool MayReadHeader() const { return !FFacts.Volume || FHeadersRead < FFacts.FileHeaders; }
  // Counts the header just read; false when its entry must not be touched.
  bool MayProcess(bool AEntryIsSplit) {
    ++FHeadersRead;
    return !FFacts.Volume || !AEntryIsSplit;
  }

 private:
  const TRarArchiveFacts& FFacts;
  uint64_t FHeadersRead = 0;
};

class TUnpackedBudget {
 public:
  void Charge(uint64_t ADeclaredSize) {
    if (ADeclaredSize > kMaxUnpackedBytesPerRequest - FUnpacked) throw Exception("Rar error");
    FUnpacked += ADeclaredSize;
  }

 private:
  uint64_t FUnpacked = 0;
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

  // The library trusts the headers it reads; a damaged one can crash the
  // host. Only a file whose headers we have checked ourselves is handed on,
  // and the library reads that very file: it stays open until the request
  // ends, and the library opens it through a name that leads to what we
  // hold open, not to whatever has been renamed onto the archive's path
  // since we looked.
  const std::unique_ptr<platform::File> checkedFile = platform::OpenFileForReading(AFileName);
  TRarArchiveFacts facts;
  switch (WalkRarBlocks(*checkedFile, &facts)) {
    case TRarWalkResult::NoArchive:
      return result;
    case TRarWalkResult::Damaged:
      throw Exception("Rar error");
    case TRarWalkResult::Intact:
    case TRarWalkResult::HeadersEncrypted:
      break;
  }

  std::vector<UnrarChar> archiveName = platform::ToUnrarText(checkedFile->NameHeldOpen(AFileName));

  // First pass: the image entries, in archive order; only the first of them
  // when the file does not call itself a comic book.
  // With each, what reaching it and unpacking it would unpack in all.
  std::vector<std::u16string> candidates;
  std::vector<uint64_t> unpackedThrough;
  {
    TArchive archive(*this, archiveName, RAR_OM_LIST, nullptr);
    if (!archive.Opened()) return result;
    RarCheck(archive.OpenResult());
    uint64_t unpacked = 0;
    TVolumeGuard volume(facts);
    while (volume.MayReadHeader() && archive.ReadHeader()) {
      if (!volume.MayProcess(archive.EntryIsSplit())) break;
      std::u16string name = archive.EntryName();
      const uint64_t declared = archive.EntryDeclaredSize();
      if (!archive.Solid()) unpacked = 0;
      unpacked = declared > UINT64_MAX - unpacked ? UINT64_MAX : unpacked + declared;
      if (!archive.EntryIsDirectory() && !archive.EntryIsLink() && registry->IsImageFile(name) &&
          !IsNeverAPage(name)) {
        candidates.push_back(std::move(name));
        unpackedThrough.push_back(unpacked);
        if (!AIsCBxFile) break;
      }
      archive.Skip();
    }
    archive.Close();
  }
  if (candidates.empty()) return result;

  // A page that does not decode makes way for the rule's next choice. Each
  // attempt is a pass of its own, bounded as the first one is, and the
  // attempts are few.
  TCoverAttempts attempts(*registry, candidates);
  for (std::u16string coverName; attempts.Next(coverName);) {
    // Refused before anything is unpacked: in a solid archive the entries
    // before a page are unpacked on the way to it.
    const auto listed = std::find(candidates.begin(), candidates.end(), coverName);
    if (listed != candidates.end() && unpackedThrough[listed - candidates.begin()] > kMaxUnpackedBytesPerRequest)
      throw Exception("Rar error");
    std::exception_ptr decodeFailure;
    result = ExtractAndLoad(*registry, archiveName, facts, coverName, decodeFailure);
    if (!decodeFailure) return result;
    // The last attempt's failure is the request's.
    if (!attempts.More()) std::rethrow_exception(decodeFailure);
  }
  return result;
}

HBITMAP TvekCBRClass::ExtractAndLoad(TvekCBxClassList& ARegistry, std::vector<UnrarChar>& AArchiveName,
                                     const TRarArchiveFacts& AFacts, const std::u16string& ACoverName,
                                     std::exception_ptr& ADecodeFailure) {
  HBITMAP result = nullptr;
  // Forwards again, up to the entry of that very name that the listing took
  // (a link or directory of the same name is passed over).
  TRarDataSink sink(kMaxImageFileSize);
  TArchive archive(*this, AArchiveName, RAR_OM_EXTRACT, &sink);
  if (!archive.Opened()) return result;
  RarCheck(archive.OpenResult());
  TUnpackedBudget budget;
  TVolumeGuard volume(AFacts);
  while (volume.MayReadHeader() && archive.ReadHeader()) {
    if (!volume.MayProcess(archive.EntryIsSplit())) break;
    if (archive.EntryName() != ACoverName || archive.EntryIsDirectory() || archive.EntryIsLink()) {
      // In a solid archive passing over an entry unpacks it.
      if (archive.Solid()) budget.Charge(archive.EntryDeclaredSize());
      archive.Skip();
      continue;
    }
    CheckDeclaredSize(archive.EntryDeclaredSize());
    budget.Charge(archive.EntryDeclaredSize());
    TTemporaryFile temporary(ARegistry.MakeTempFileName(ACoverName));
    archive.TestInto(temporary.File());
    temporary.Close();
    try {
      result = ARegistry.LoadImageFile(temporary.Path());
    } catch (const Exception&) {
      ADecodeFailure = std::current_exception();
    }
    break;
  }
  archive.Close();
  return result;
}

void RegisterCBRHandlers() { RegisterHandlerClass(CreateHandler<TvekCBRClass>); }

}  // namespace quillet
