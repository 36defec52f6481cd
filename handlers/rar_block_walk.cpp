#include "handlers/rar_block_walk.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <iterator>
#include <memory>
#include <vector>

#include "platform/platform.h"

namespace quillet {

namespace {

// ---- CRC-32 ---------------------------------------------------------------------

std::array<uint32_t, 256> MakeCrcTable() {
  std::array<uint32_t, 256> table{};
  for (uint32_t n = 0; n < 256; ++n) {
    uint32_t c = n;
    for (int k = 0; k < 8; ++k) c = (c & 1) != 0 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    table[n] = c;
  }
  return table;
}

// ---- Reading the file -----------------------------------------------------------

// The file seen through positioned reads, each of which stays within its
// size. Reads go through a window of the file, so that a file of many small
// blocks costs few calls of the system.
class TBlockReader {
 public:
  explicit TBlockReader(platform::File& AFile) : FFile(AFile), FSize(AFile.Size()), FWindow(kWindowSize) {}

  uint64_t Size() const { return FSize; }

  // Exactly ASize bytes at AOffset; false when the file has fewer there.
  bool ReadAt(uint64_t AOffset, void* AData, size_t ASize) {
    if (AOffset > FSize || ASize > FSize - AOffset) return false;
    if (ASize > FWindow.size()) return ReadFromFile(AOffset, AData, ASize);
    if (AOffset < FWindowStart || AOffset + ASize > FWindowStart + FWindowLength) {
      const auto length = static_cast<size_t>(std::min<uint64_t>(FWindow.size(), FSize - AOffset));
      FWindowLength = 0;
      if (!ReadFromFile(AOffset, FWindow.data(), length)) return false;
      FWindowStart = AOffset;
      FWindowLength = length;
    }
    std::memcpy(AData, FWindow.data() + (AOffset - FWindowStart), ASize);
    return true;
  }

 private:
  static constexpr size_t kWindowSize = 64 * 1024;

  bool ReadFromFile(uint64_t AOffset, void* AData, size_t ASize) {
    uint64_t at = 0;
    if (!FFile.Seek(static_cast<int64_t>(AOffset), 0, at) || at != AOffset) return false;
    return FFile.Read(AData, static_cast<uint32_t>(ASize)) == ASize;
  }

  platform::File& FFile;
  uint64_t FSize;
  std::vector<uint8_t> FWindow;
  uint64_t FWindowStart = 0;
  size_t FWindowLength = 0;
};

uint16_t Le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint32_t Le32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
         (static_cast<uint32_t>(p[3]) << 24);
}

// The bytes from AOffset to the end of the file, as a count that fits.
uint64_t Remaining(const TBlockReader& AReader, uint64_t AOffset) {
  return AOffset <= AReader.Size() ? AReader.Size() - AOffset : 0;
}

// ---- RAR 5 ------------------------------------------------------------------------

constexpr uint8_t kRar5Signature[] = {0x52, 0x61, 0x72, 0x21, 0x1A, 0x07, 0x01, 0x00};
// The format allows no header (from its type to its end) larger than this.
constexpr uint64_t kRar5MaxHeaderSize = 2 * 1024 * 1024;
// A block is at least its CRC, a one-byte size, a type and flags.
constexpr uint64_t kRar5MinBlockSize = 4 + 1 + 2;

enum : uint64_t {
  kRar5MainHeader = 1,
  kRar5FileHeader = 2,
  kRar5EncryptionHeader = 4,
  kRar5EndHeader = 5,
};
enum : uint64_t {
  kRar5HasExtraArea = 0x0001,
  kRar5HasDataArea = 0x0002,
};
// The main header's own fields and the records of its extra area.
enum : uint64_t {
  kRar5ArchiveIsVolume = 0x0001,
  kRar5ArchiveHasVolumeNumber = 0x0002,
  kRar5LocatorRecord = 1,
  kRar5MetadataRecord = 2,
  kRar5LocatorHasQuickOpen = 0x0001,
  kRar5LocatorHasRecovery = 0x0002,
  kRar5MetadataHasName = 0x0001,
  kRar5MetadataHasTime = 0x0002,
  kRar5MetadataUnixTime = 0x0004,
  kRar5MetadataNanoseconds = 0x0008,
};

// A variable-length number: seven bits a byte, low bits first, the high bit
// saying that more follow; at most ten bytes, and no more than 64 bits.
class TVintReader {
 public:
  TVintReader(const uint8_t* AData, size_t ASize) : FData(AData), FSize(ASize) {}

  bool Next(uint64_t& AValue) {
    AValue = 0;
    for (unsigned shift = 0; shift < 70; shift += 7) {
      if (FPosition >= FSize) return false;
      const uint8_t byte = FData[FPosition++];
      const uint64_t bits = byte & 0x7Fu;
      if (shift == 63 && bits > 1) return false;  // beyond 64 bits
      AValue |= bits << shift;
      if ((byte & 0x80) == 0) return true;
    }
    return false;  // an eleventh byte
  }

  size_t Position() const { return FPosition; }
  size_t Left() const { return FSize - FPosition; }

  // Passes over ACount bytes; false when fewer are left.
  bool Skip(uint64_t ACount) {
    if (ACount > Left()) return false;
    FPosition += static_cast<size_t>(ACount);
    return true;
  }

 private:
  const uint8_t* FData;
  size_t FSize;
  size_t FPosition = 0;
};

// The library reads the records of a main header's extra area field by field
// and trusts every size it meets there: a name size of 0 in the metadata
// record alone is enough to crash it. So each field of the two records the
// format knows must lie within its record, and any other record is refused.
bool MainRecordHolds(uint64_t AType, TVintReader& ARecord) {
  uint64_t flags = 0, value = 0;
  if (!ARecord.Next(flags)) return false;
  switch (AType) {
    case kRar5LocatorRecord:
      if ((flags & kRar5LocatorHasQuickOpen) != 0 && !ARecord.Next(value)) return false;
      if ((flags & kRar5LocatorHasRecovery) != 0 && !ARecord.Next(value)) return false;
      return true;
    case kRar5MetadataRecord:
      if ((flags & kRar5MetadataHasName) != 0) {
        if (!ARecord.Next(value) || value == 0 || !ARecord.Skip(value)) return false;
      }
      if ((flags & kRar5MetadataHasTime) != 0) {
        const bool shortTime =
            (flags & kRar5MetadataUnixTime) != 0 && (flags & kRar5MetadataNanoseconds) == 0;
        if (!ARecord.Skip(shortTime ? 4 : 8)) return false;
      }
      return true;
    default:
      return false;
  }
}

// Every record of an extra area: its size, then its type and data, which
// the size must cover and the area must hold. AMainHeader: the records are
// the main header's, whose fields are checked too.
bool ExtraAreaHolds(const uint8_t* AArea, size_t ASize, bool AMainHeader) {
  TVintReader area(AArea, ASize);
  while (area.Left() > 0) {
    uint64_t recordSize = 0, type = 0;
    if (!area.Next(recordSize) || recordSize == 0 || recordSize > area.Left()) return false;
    TVintReader record(AArea + area.Position(), static_cast<size_t>(recordSize));
    if (!record.Next(type)) return false;
    if (AMainHeader && !MainRecordHolds(type, record)) return false;
    area.Skip(recordSize);
  }
  return true;
}

TRarWalkResult WalkRar5(TBlockReader& AReader, TRarArchiveFacts& AFacts) {
  uint64_t position = sizeof kRar5Signature;
  const uint64_t maxBlocks = AReader.Size() / kRar5MinBlockSize + 1;
  std::vector<uint8_t> header;
  for (uint64_t block = 0; block < maxBlocks; ++block) {
    // Every RAR 5 archive ends with its end header: a file that ends before
    // it has been cut short.
    if (position == AReader.Size()) return block == 0 ? TRarWalkResult::NoArchive : TRarWalkResult::Damaged;

    // The CRC and the header size, whose own length is not known beforehand.
    uint8_t head[4 + 10] = {};
    const size_t headLength = static_cast<size_t>(std::min<uint64_t>(sizeof head, Remaining(AReader, position)));
    if (headLength < kRar5MinBlockSize || !AReader.ReadAt(position, head, headLength))
      return TRarWalkResult::Damaged;
    TVintReader sizeReader(head + 4, headLength - 4);
    uint64_t headerSize = 0;
    if (!sizeReader.Next(headerSize) || headerSize < 2 || headerSize > kRar5MaxHeaderSize)
      return TRarWalkResult::Damaged;
    // The CRC covers the size field and the header after it.
    const uint64_t checked = sizeReader.Position() + headerSize;
    if (checked > Remaining(AReader, position + 4)) return TRarWalkResult::Damaged;
    header.resize(static_cast<size_t>(checked));
    if (!AReader.ReadAt(position + 4, header.data(), header.size())) return TRarWalkResult::Damaged;
    if (RarCrc32(header.data(), header.size()) != Le32(head)) return TRarWalkResult::Damaged;

    TVintReader fields(header.data() + sizeReader.Position(), static_cast<size_t>(headerSize));
    uint64_t type = 0, flags = 0, extraSize = 0, dataSize = 0;
    if (!fields.Next(type) || !fields.Next(flags)) return TRarWalkResult::Damaged;
    if ((flags & kRar5HasExtraArea) != 0 && !fields.Next(extraSize)) return TRarWalkResult::Damaged;
    if ((flags & kRar5HasDataArea) != 0 && !fields.Next(dataSize)) return TRarWalkResult::Damaged;
    if (extraSize > headerSize - fields.Position()) return TRarWalkResult::Damaged;
    // The extra area is the end of the header.
    const auto extraStart = static_cast<size_t>(headerSize - extraSize);
    if (type == kRar5MainHeader) {
      uint64_t archiveFlags = 0, volumeNumber = 0;
      if (!fields.Next(archiveFlags)) return TRarWalkResult::Damaged;
      if ((archiveFlags & kRar5ArchiveHasVolumeNumber) != 0 && !fields.Next(volumeNumber))
        return TRarWalkResult::Damaged;
      if (fields.Position() > extraStart) return TRarWalkResult::Damaged;
      AFacts.Volume = (archiveFlags & kRar5ArchiveIsVolume) != 0;
    }
    if (!ExtraAreaHolds(header.data() + sizeReader.Position() + extraStart, static_cast<size_t>(extraSize),
                        type == kRar5MainHeader))
      return TRarWalkResult::Damaged;

    if (block == 0 && type != kRar5MainHeader && type != kRar5EncryptionHeader) return TRarWalkResult::Damaged;
    // Every header after this one is encrypted.
    if (type == kRar5EncryptionHeader) return TRarWalkResult::HeadersEncrypted;
    if (type == kRar5FileHeader) ++AFacts.FileHeaders;
    if (type == kRar5EndHeader) return TRarWalkResult::Intact;

    const uint64_t blockStart = position;
    position += 4 + checked;
    if (dataSize > Remaining(AReader, position)) return TRarWalkResult::Damaged;
    position += dataSize;
    if (position <= blockStart) return TRarWalkResult::Damaged;
  }
  return TRarWalkResult::Damaged;
}

// ---- RAR 4 (the format of RAR 1.5 to 4) ---------------------------------------------

constexpr uint8_t kRar4Signature[] = {0x52, 0x61, 0x72, 0x21, 0x1A, 0x07, 0x00};
// CRC, type, flags and size: the least a block can be.
constexpr uint64_t kRar4MinBlockSize = 7;

enum : uint8_t {
  kRar4MainHeader = 0x73,
  kRar4FileHeader = 0x74,
  kRar4ServiceHeader = 0x7A,
  kRar4EndHeader = 0x7B,
};
enum : uint16_t {
  kRar4MainVolume = 0x0001,
  kRar4MainEncryptedHeaders = 0x0080,
  kRar4FileLarge = 0x0100,  // the packed and unpacked sizes have 32 high bits more
  kRar4LongBlock = 0x8000,  // a 32-bit data size follows the size of the header
};
// A file or service header: fixed fields up to the attributes, then the high
// halves of the sizes when they are large, then the name.
constexpr uint16_t kRar4FileFixedSize = 32;
constexpr size_t kRar4FileNameSizeAt = 26;
constexpr size_t kRar4FileHighPackSizeAt = 32;

TRarWalkResult WalkRar4(TBlockReader& AReader, TRarArchiveFacts& AFacts) {
  uint64_t position = sizeof kRar4Signature;
  const uint64_t maxBlocks = AReader.Size() / kRar4MinBlockSize + 1;
  std::vector<uint8_t> header;
  for (uint64_t block = 0; block < maxBlocks; ++block) {
    // Archives of the oldest versions of this format end without an end header.
    if (position == AReader.Size()) return block == 0 ? TRarWalkResult::NoArchive : TRarWalkResult::Intact;

    uint8_t head[kRar4MinBlockSize];
    if (!AReader.ReadAt(position, head, sizeof head)) return TRarWalkResult::Damaged;
    const uint8_t type = head[2];
    const uint16_t flags = Le16(head + 3);
    const uint16_t headerSize = Le16(head + 5);
    if (headerSize < kRar4MinBlockSize + ((flags & kRar4LongBlock) != 0 ? 4 : 0)) return TRarWalkResult::Damaged;
    header.resize(headerSize);
    if (!AReader.ReadAt(position, header.data(), header.size())) return TRarWalkResult::Damaged;
    // The low half of the CRC-32 of the header after its CRC field.
    if ((RarCrc32(header.data() + 2, header.size() - 2) & 0xFFFFu) != Le16(head)) return TRarWalkResult::Damaged;

    uint64_t dataSize = 0;
    if (type == kRar4FileHeader || type == kRar4ServiceHeader) {
      const bool large = (flags & kRar4FileLarge) != 0;
      const size_t fixedSize = kRar4FileFixedSize + (large ? 8 : 0);
      if (headerSize < fixedSize || (flags & kRar4LongBlock) == 0) return TRarWalkResult::Damaged;
      if (Le16(header.data() + kRar4FileNameSizeAt) > headerSize - fixedSize) return TRarWalkResult::Damaged;
      dataSize = Le32(header.data() + kRar4MinBlockSize);
      if (large) dataSize |= static_cast<uint64_t>(Le32(header.data() + kRar4FileHighPackSizeAt)) << 32;
    } else if ((flags & kRar4LongBlock) != 0) {
      dataSize = Le32(header.data() + kRar4MinBlockSize);
    }

    if (block == 0 && type != kRar4MainHeader) return TRarWalkResult::Damaged;
    if (type == kRar4MainHeader && (flags & kRar4MainEncryptedHeaders) != 0)
      return TRarWalkResult::HeadersEncrypted;
    if (type == kRar4MainHeader) AFacts.Volume = (flags & kRar4MainVolume) != 0;
    if (type == kRar4FileHeader) ++AFacts.FileHeaders;
    if (type == kRar4EndHeader) return TRarWalkResult::Intact;

    position += headerSize;
    if (dataSize > Remaining(AReader, position)) return TRarWalkResult::Damaged;
    position += dataSize;
  }
  return TRarWalkResult::Damaged;
}

}  // namespace

uint32_t RarCrc32(const uint8_t* AData, size_t ASize, uint32_t ACrc) {
  static const std::array<uint32_t, 256> table = MakeCrcTable();
  uint32_t c = ~ACrc;
  for (size_t i = 0; i < ASize; ++i) c = table[(c ^ AData[i]) & 0xFFu] ^ (c >> 8);
  return ~c;
}

TRarWalkResult WalkRarBlocks(const std::u16string& AFileName, TRarArchiveFacts* AFacts) {
  const std::unique_ptr<platform::File> file = platform::OpenFileForReading(AFileName);
  return WalkRarBlocks(*file, AFacts);
}

TRarWalkResult WalkRarBlocks(platform::File& AFile, TRarArchiveFacts* AFacts) {
  TRarArchiveFacts ignored;
  TRarArchiveFacts& facts = AFacts != nullptr ? *AFacts : ignored;
  facts = {};
  TBlockReader reader(AFile);
  uint8_t signature[sizeof kRar5Signature] = {};
  const size_t length = static_cast<size_t>(std::min<uint64_t>(sizeof signature, reader.Size()));
  if (!reader.ReadAt(0, signature, length)) return TRarWalkResult::NoArchive;
  if (length == sizeof kRar5Signature && std::equal(signature, signature + length, kRar5Signature))
    return WalkRar5(reader, facts);
  if (length >= sizeof kRar4Signature && std::equal(kRar4Signature, std::end(kRar4Signature), signature))
    return WalkRar4(reader, facts);
  return TRarWalkResult::NoArchive;
}

}  // namespace quillet
