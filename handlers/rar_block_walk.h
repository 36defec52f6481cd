#pragma once
// Our own look at a RAR file's block headers before the unrar library sees the
// file: a library that trusts a damaged header can crash the host, so a file
// whose headers do not hold together is never handed on.
#include <cstdint>
#include <string>

namespace quillet {

namespace platform {
class File;
}

enum class TRarWalkResult {
  // Every header's checksum matches and every block lies within the file.
  Intact,
  // The headers are encrypted and cannot be checked; every header before
  // the encrypted ones was. The library asks for the password and is refused.
  HeadersEncrypted,
  // Nothing follows the signature, or the signature names a format we do not
  // know: no archive the library could open.
  NoArchive,
  // A checksum that does not match, a size beyond the file's end, a number
  // that does not fit, or a first block that is not the archive header.
  Damaged,
};

// What the walk learnt of the archive besides its soundness.
struct TRarArchiveFacts {
  // The file is one volume of several. The library goes on to the next
  // volume by itself, and reads its headers before it tells anyone, so it
  // must never be led past the file headers of this one.
  bool Volume = false;
  // The file headers in this file: the entries the library lists from it.
  uint64_t FileHeaders = 0;
};

// Walks the block headers of the RAR file (RAR 4 or RAR 5) whose signature
// starts at offset 0: it reads each header, checks it, and seeks over the
// block's data. Only this file is read, also when it is one volume of several.
// Fills AFacts, when given, as far as the walk got.
// Raises the OS error when the file cannot be opened.
TRarWalkResult WalkRarBlocks(const std::u16string& AFileName, TRarArchiveFacts* AFacts = nullptr);
// The same walk over a file already open, from its start; the file's
// position is left anywhere.
TRarWalkResult WalkRarBlocks(platform::File& AFile, TRarArchiveFacts* AFacts = nullptr);

// CRC-32 (the polynomial of ZIP and PNG) of `ASize` bytes, continuing `ACrc`.
uint32_t RarCrc32(const uint8_t* AData, size_t ASize, uint32_t ACrc = 0);

}  // namespace quillet
