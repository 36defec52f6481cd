#pragma once
// The handler of RAR comic-book archives (CBR), read through the unrar library.
#include <cstddef>
#include <cstdint>
#include <exception>
#include <string>
#include <vector>

#include "handlers/rar_block_walk.h"
#include "handlers/vekCBxClasses.h"
#include "platform/unrar_boundary.h"

namespace quillet {

// The unrar library's interface as this module uses it, declared from its
// published description. The records are packed to single bytes; the static
// asserts below hold them to the library's sizes and to the offsets of every
// field the handler touches.
namespace unrar {

using UnrarChar = platform::UnrarChar;
using LPARAM = intptr_t;
using ArchiveHandle = void*;

using UNRARCALLBACK = int(QUILLET_UNRAR_CALL*)(unsigned int AMsg, LPARAM AUserData, LPARAM AP1, LPARAM AP2);

#pragma pack(push, 1)
struct RAROpenArchiveDataEx {
  char* ArcName;
  UnrarChar* ArcNameW;
  unsigned int OpenMode;
  unsigned int OpenResult;
  char* CmtBuf;
  unsigned int CmtBufSize;
  unsigned int CmtSize;
  unsigned int CmtState;
  unsigned int Flags;
  UNRARCALLBACK Callback;
  LPARAM UserData;
  unsigned int OpFlags;
  UnrarChar* CmtBufW;
  unsigned int Reserved[25];
};

constexpr size_t kNameCapacity = 1024;

struct RARHeaderDataEx {
  char ArcName[kNameCapacity];
  UnrarChar ArcNameW[kNameCapacity];
  char FileName[kNameCapacity];
  UnrarChar FileNameW[kNameCapacity];
  unsigned int Flags;
  unsigned int PackSize;
  unsigned int PackSizeHigh;
  unsigned int UnpSize;
  unsigned int UnpSizeHigh;
  unsigned int HostOS;
  unsigned int FileCRC;
  unsigned int FileTime;
  unsigned int UnpVer;
  unsigned int Method;
  unsigned int FileAttr;
  char* CmtBuf;
  unsigned int CmtBufSize;
  unsigned int CmtSize;
  unsigned int CmtState;
  unsigned int DictSize;
  unsigned int HashType;
  char Hash[32];
  unsigned int RedirType;
  UnrarChar* RedirName;
  unsigned int RedirNameSize;
  unsigned int DirTarget;
  unsigned int MtimeLow;
  unsigned int MtimeHigh;
  unsigned int CtimeLow;
  unsigned int CtimeHigh;
  unsigned int AtimeLow;
  unsigned int AtimeHigh;
  unsigned int Reserved[988];
};
#pragma pack(pop)

static_assert(sizeof(RAROpenArchiveDataEx) == 176);
static_assert(offsetof(RAROpenArchiveDataEx, ArcNameW) == 8);
static_assert(offsetof(RAROpenArchiveDataEx, OpenMode) == 16);
static_assert(offsetof(RAROpenArchiveDataEx, OpenResult) == 20);
static_assert(offsetof(RAROpenArchiveDataEx, Flags) == 44);
static_assert(offsetof(RAROpenArchiveDataEx, Callback) == 48);
static_assert(offsetof(RAROpenArchiveDataEx, UserData) == 56);

// 14340 bytes where wchar_t is 4 bytes (Linux), 10244 where it is 2 (Windows).
static_assert(sizeof(RARHeaderDataEx) == 6148 + 2048 * sizeof(UnrarChar));
static_assert(offsetof(RARHeaderDataEx, FileNameW) == 2048 + 1024 * sizeof(UnrarChar));
static_assert(offsetof(RARHeaderDataEx, Flags) == 2048 + 2048 * sizeof(UnrarChar));
static_assert(offsetof(RARHeaderDataEx, UnpSize) == offsetof(RARHeaderDataEx, Flags) + 12);
static_assert(offsetof(RARHeaderDataEx, UnpSizeHigh) == offsetof(RARHeaderDataEx, Flags) + 16);
static_assert(offsetof(RARHeaderDataEx, HostOS) == offsetof(RARHeaderDataEx, Flags) + 20);
static_assert(offsetof(RARHeaderDataEx, FileAttr) == offsetof(RARHeaderDataEx, Flags) + 40);
static_assert(offsetof(RARHeaderDataEx, RedirType) == offsetof(RARHeaderDataEx, Flags) + 104);
static_assert(offsetof(RARHeaderDataEx, RedirName) == offsetof(RARHeaderDataEx, Flags) + 108);
static_assert(offsetof(RARHeaderDataEx, AtimeHigh) == offsetof(RARHeaderDataEx, Flags) + 144);

// RAROpenArchiveDataEx::OpenMode
constexpr unsigned int RAR_OM_LIST = 0;
constexpr unsigned int RAR_OM_EXTRACT = 1;
// RAROpenArchiveDataEx::Flags after the open: the archive is solid.
constexpr unsigned int ROADF_SOLID = 0x0008;
// Operations of RARProcessFileW
constexpr int RAR_SKIP = 0;
constexpr int RAR_TEST = 1;
constexpr int RAR_EXTRACT = 2;
// Result codes
constexpr int ERAR_SUCCESS = 0;
constexpr int ERAR_END_ARCHIVE = 10;
// RARHeaderDataEx::Flags: the entry is a directory, whatever system made it.
constexpr unsigned int RHDF_DIRECTORY = 0x20;
// RARHeaderDataEx::Flags: the entry continues from the previous volume, or
// into the next one.
constexpr unsigned int RHDF_SPLITBEFORE = 0x01;
constexpr unsigned int RHDF_SPLITAFTER = 0x02;
// RARHeaderDataEx::RedirType: anything but this is a link or a reference to
// another file (symbolic link, junction, hard link, file copy).
constexpr unsigned int FSREDIR_NONE = 0;
// RARHeaderDataEx::HostOS of archives made on Unix-like systems, whose
// FileAttr holds the file mode.
constexpr unsigned int HOST_UNIX = 3;
// Callback messages
constexpr unsigned int UCM_CHANGEVOLUME = 0;
constexpr unsigned int UCM_PROCESSDATA = 1;
constexpr unsigned int UCM_NEEDPASSWORD = 2;
constexpr unsigned int UCM_CHANGEVOLUMEW = 3;
constexpr unsigned int UCM_NEEDPASSWORDW = 4;
// The fourth argument of the two volume messages
constexpr LPARAM RAR_VOL_ASK = 0;
constexpr LPARAM RAR_VOL_NOTIFY = 1;

using TRAROpenArchiveEx = ArchiveHandle(QUILLET_UNRAR_CALL*)(RAROpenArchiveDataEx* AArchiveData);
using TRARCloseArchive = int(QUILLET_UNRAR_CALL*)(ArchiveHandle AArcData);
using TRARReadHeaderEx = int(QUILLET_UNRAR_CALL*)(ArchiveHandle AArcData, RARHeaderDataEx* AHeaderData);
using TRARProcessFileW = int(QUILLET_UNRAR_CALL*)(ArchiveHandle AArcData, int AOperation, UnrarChar* ADestPath,
                                                  UnrarChar* ADestName);

}  // namespace unrar

// Where the data of the entry being extracted goes: our own file, written
// here and never by the library, up to a limit. The library hands the data
// over through RarCallback, whose user data is the address of the sink.
class TRarDataSink {
 public:
  explicit TRarDataSink(uint64_t ALimit) : FLimit(ALimit) {}
  TRarDataSink(const TRarDataSink&) = delete;
  TRarDataSink& operator=(const TRarDataSink&) = delete;

  // From now on the data goes into AOutput (not owned); null lets data pass
  // unkept, as for an entry that is only passed over.
  void Begin(platform::File* AOutput) noexcept {
    FOutput = AOutput;
    FWritten = 0;
    FFailed = false;
  }
  // 1 to go on; -1 when the data would pass the limit or cannot be written.
  int Receive(const void* AData, unrar::LPARAM ASize) noexcept;

  uint64_t Written() const { return FWritten; }
  // Whether data was refused since Begin.
  bool Failed() const { return FFailed; }

 private:
  uint64_t FLimit;
  platform::File* FOutput = nullptr;
  uint64_t FWritten = 0;
  bool FFailed = false;
};

// The library's answers to its questions: go on with data and with volumes it
// found, give up on a volume it cannot find and on every password request.
// AUserData is the address of a TRarDataSink, or 0 when no data is taken.
int QUILLET_UNRAR_CALL RarCallback(unsigned int AMsg, unrar::LPARAM AUserData, unrar::LPARAM AP1,
                                   unrar::LPARAM AP2) noexcept;
// Every result code of the library passes through here: anything but success
// raises "Rar error".
void RarCheck(int AResult);

class TvekCBRClass : public TvekCBxClass {
 public:
  using TvekCBxClass::TvekCBxClass;
  std::u16string GetLibraryName() const override;
  void BindFunctions() override;
  // Two passes over the archive, which the library reads only forwards: the
  // first collects the image entries, the second extracts the cover chosen
  // among them into a temporary file and decodes it.
  HBITMAP GetPreviewBitmap(const std::u16string& AFileName, bool AIsCBxFile) override;
  std::string GetExtension() const override;
  std::string GetSignature() const override;

 private:
  class TArchive;
  // One pass that extracts the entry named ACoverName and decodes it. A
  // failure to decode is handed back in ADecodeFailure, so that the next
  // page may be tried; any other failure is raised.
  HBITMAP ExtractAndLoad(TvekCBxClassList& ARegistry, std::vector<platform::UnrarChar>& AArchiveName,
                         const TRarArchiveFacts& AFacts,
                         const std::u16string& ACoverName, std::exception_ptr& ADecodeFailure);

  // The guarded calls: each raises "Function %s is not implemented" when the
  // library lacks the entry point, and converts names in UTF-8 on Linux.
  unrar::ArchiveHandle RAROpenArchiveEx(unrar::RAROpenArchiveDataEx* AArchiveData) const;
  int RARCloseArchive(unrar::ArchiveHandle AArcData) const;
  int RARReadHeaderEx(unrar::ArchiveHandle AArcData, unrar::RARHeaderDataEx* AHeaderData) const;
  int RARProcessFileW(unrar::ArchiveHandle AArcData, int AOperation, unrar::UnrarChar* ADestPath,
                      unrar::UnrarChar* ADestName) const;

  unrar::TRAROpenArchiveEx FRAROpenArchiveEx = nullptr;
  unrar::TRARCloseArchive FRARCloseArchive = nullptr;
  unrar::TRARReadHeaderEx FRARReadHeaderEx = nullptr;
  unrar::TRARProcessFileW FRARProcessFileW = nullptr;
};

// Registers the RAR handler with CBxClassList (module start-up).
void RegisterCBRHandlers();

}  // namespace quillet
