// Our own walk over a RAR file's block headers, which decides whether the
// unrar library may see the file: intact archives of every shape pass, and a
// file whose headers do not hold together fails.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "handlers/rar_block_walk.h"
#include "rar/rar_archives.h"
#include "support/test_support.h"

namespace quillet::rar_test {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes ReadBytes(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteBytes(const fs::path& file, const Bytes& bytes) {
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

const char* ResultName(TRarWalkResult result) {
  switch (result) {
    case TRarWalkResult::Intact:
      return "intact";
    case TRarWalkResult::HeadersEncrypted:
      return "headers encrypted";
    case TRarWalkResult::NoArchive:
      return "no archive";
    case TRarWalkResult::Damaged:
      return "damaged";
  }
  return "?";
}

// ---- RAR 5 blocks made by hand -----------------------------------------------------

Bytes Vint(uint64_t value) {
  Bytes out;
  do {
    uint8_t byte = value & 0x7F;
    value >>= 7;
    if (value != 0) byte |= 0x80;
    out.push_back(byte);
  } while (value != 0);
  return out;
}

void Append(Bytes& to, const Bytes& more) { to.insert(to.end(), more.begin(), more.end()); }

// A header of the given type and flags followed by `fields` (the vints after
// the flags), its size and CRC made right, then `data` bytes of data.
Bytes Rar5Block(uint64_t type, uint64_t flags, const Bytes& fields, size_t data = 0) {
  Bytes header = Vint(type);
  Append(header, Vint(flags));
  Append(header, fields);
  Bytes checked = Vint(header.size());
  Append(checked, header);
  const uint32_t crc = RarCrc32(checked.data(), checked.size());
  Bytes block = {static_cast<uint8_t>(crc), static_cast<uint8_t>(crc >> 8), static_cast<uint8_t>(crc >> 16),
                 static_cast<uint8_t>(crc >> 24)};
  Append(block, checked);
  block.resize(block.size() + data, 0x5A);
  return block;
}

const Bytes kRar5Signature = {0x52, 0x61, 0x72, 0x21, 0x1A, 0x07, 0x01, 0x00};
const Bytes kMainBlock = Rar5Block(1, 0, {0x00});   // archive flags 0
const Bytes kEndBlock = Rar5Block(5, 0, {0x00});    // not followed by a volume
constexpr uint64_t kHasExtraArea = 0x0001;
constexpr uint64_t kHasDataArea = 0x0002;

Bytes Rar5Archive(const std::vector<Bytes>& blocks) {
  Bytes out = kRar5Signature;
  for (const Bytes& block : blocks) Append(out, block);
  return out;
}

// ---- The walk over files ------------------------------------------------------------

class RarBlockWalk : public testing::Test {
 protected:
  void SetUp() override { FDir = test::ScratchDir("rar-block-walk"); }

  TRarWalkResult Walk(const Bytes& bytes) {
    const fs::path file = FDir / "walked.cbr";
    WriteBytes(file, bytes);
    return WalkRarBlocks(test::ModulePath(file));
  }

  fs::path FDir;
};

struct WalkCase {
  const char8_t* archive;
  TRarWalkResult expected;
};

void PrintTo(const WalkCase& c, std::ostream* out) { *out << reinterpret_cast<const char*>(c.archive); }

class RarBlockWalkOfArchive : public RarBlockWalk, public testing::WithParamInterface<WalkCase> {};

TEST_P(RarBlockWalkOfArchive, PassesEveryIntactShape) {
  const WalkCase& c = GetParam();
  const TRarWalkResult result = WalkRarBlocks(test::ModulePath(Archive(c.archive)));
  EXPECT_EQ(result, c.expected) << ResultName(result);
}

constexpr auto kIntact = TRarWalkResult::Intact;
constexpr auto kEncrypted = TRarWalkResult::HeadersEncrypted;

INSTANTIATE_TEST_SUITE_P(
    Archives, RarBlockWalkOfArchive,
    testing::Values(
        // Made by rar, RAR 5.
        WalkCase{u8"walk/rar5-plain.cbr", kIntact}, WalkCase{u8"walk/rar5-solid.cbr", kIntact},
        WalkCase{u8"walk/rar5-comment.cbr", kIntact}, WalkCase{u8"walk/rar5-recovery.cbr", kIntact},
        WalkCase{u8"walk/rar5-locked.cbr", kIntact}, WalkCase{u8"walk/rar5-quick-open.cbr", kIntact},
        WalkCase{u8"walk/rar5-times.cbr", kIntact}, WalkCase{u8"walk/rar5-encrypted-data.cbr", kIntact},
        WalkCase{u8"walk/rar5-encrypted-headers.cbr", kEncrypted},
        WalkCase{u8"walk/rar5-volume.part1.rar", kIntact}, WalkCase{u8"walk/rar5-volume.part2.rar", kIntact},
        WalkCase{u8"normal.cbr", kIntact}, WalkCase{u8"Überblick 📖/normal.cbr", kIntact},
        WalkCase{u8"volumes-complete/book.part1.rar", kIntact}, WalkCase{u8"zeros-600M.cbr", kIntact},
        WalkCase{u8"links/symlink-cover.cbr", kIntact}, WalkCase{u8"links/hardlink-cover.cbr", kIntact},
        WalkCase{u8"links/reference-cover.cbr", kIntact},
        // RAR 4, from our own writer and read in full by unrar.
        WalkCase{u8"walk/rar4-plain.cbr", kIntact}, WalkCase{u8"walk/rar4-no-end.cbr", kIntact},
        WalkCase{u8"walk/rar4-solid.cbr", kIntact}, WalkCase{u8"walk/rar4-comment.cbr", kIntact},
        WalkCase{u8"walk/rar4-recovery.cbr", kIntact}, WalkCase{u8"walk/rar4-locked.cbr", kIntact},
        WalkCase{u8"walk/rar4-large-sizes.cbr", kIntact}, WalkCase{u8"walk/rar4-volume.part1.rar", kIntact},
        WalkCase{u8"walk/rar4-encrypted-headers.cbr", kEncrypted},
        WalkCase{u8"links/symlink-cover-rar4.cbr", kIntact}));

// What the handler needs to keep the library within a volume: whether the
// file is one, and how many entries it lists from it.
TEST_F(RarBlockWalk, TellsAVolumeAndCountsItsFileHeaders) {
  struct Case {
    const char8_t* archive;
    bool volume;
    uint64_t fileHeaders;
  };
  const Case cases[] = {
      {u8"normal.cbr", false, 0},
      {u8"walk/rar5-volume.part1.rar", true, 0},
      {u8"walk/rar4-volume.part1.rar", true, 0},
      {u8"volumes-damaged-second/book.part1.rar", true, 2},
  };
  for (const Case& c : cases) {
    TRarArchiveFacts facts;
    ASSERT_EQ(WalkRarBlocks(test::ModulePath(Archive(c.archive)), &facts), TRarWalkResult::Intact)
        << reinterpret_cast<const char*>(c.archive);
    EXPECT_EQ(facts.Volume, c.volume) << reinterpret_cast<const char*>(c.archive);
    if (c.fileHeaders != 0) {
      EXPECT_EQ(facts.FileHeaders, c.fileHeaders) << reinterpret_cast<const char*>(c.archive);
    }
    EXPECT_GE(facts.FileHeaders, 1u) << reinterpret_cast<const char*>(c.archive);
  }
}

TEST_F(RarBlockWalk, RefusesTheCrashingFile) {
  EXPECT_EQ(Walk(CrashingFile()), TRarWalkResult::Damaged);
}

// Every byte of the first headers, up to the end of the first entry's name,
// flipped in turn.
TEST_F(RarBlockWalk, RefusesEveryFlippedHeaderByte) {
  for (const char8_t* name : {u8"walk/rar5-plain.cbr", u8"walk/rar4-plain.cbr"}) {
    const Bytes intact = ReadBytes(Archive(name));
    const std::string cover = "p1.png";
    const auto at = std::search(intact.begin(), intact.end(), cover.begin(), cover.end());
    ASSERT_NE(at, intact.end()) << reinterpret_cast<const char*>(name);
    const size_t signatureSize = intact[6] == 0x01 ? 8 : 7;
    const auto end = static_cast<size_t>(at - intact.begin()) + cover.size();
    for (size_t i = signatureSize; i < end; ++i) {
      Bytes damaged = intact;
      damaged[i] ^= 0xFF;
      EXPECT_EQ(Walk(damaged), TRarWalkResult::Damaged) << reinterpret_cast<const char*>(name) << ", byte " << i;
    }
  }
}

// RAR 5 always ends with its end header: any cut is found.
TEST_F(RarBlockWalk, RefusesARar5FileCutAnywhere) {
  const Bytes intact = ReadBytes(Archive(u8"walk/rar5-plain.cbr"));
  for (size_t size = kRar5Signature.size() + 1; size < intact.size(); ++size) {
    const Bytes cut(intact.begin(), intact.begin() + static_cast<std::ptrdiff_t>(size));
    EXPECT_EQ(Walk(cut), TRarWalkResult::Damaged) << "cut to " << size << " bytes";
  }
}

// RAR 4 may end without an end header, so a cut between blocks is an
// archive of fewer entries; a cut inside a block is found.
TEST_F(RarBlockWalk, RefusesARar4FileCutInsideABlock) {
  const Bytes intact = ReadBytes(Archive(u8"walk/rar4-plain.cbr"));
  for (const size_t size : {size_t{10}, size_t{24}, size_t{60}, intact.size() / 2, intact.size() - 1}) {
    const Bytes cut(intact.begin(), intact.begin() + static_cast<std::ptrdiff_t>(size));
    EXPECT_EQ(Walk(cut), TRarWalkResult::Damaged) << "cut to " << size << " bytes";
  }
}

TEST_F(RarBlockWalk, JudgesHandMadeRar5Files) {
  Bytes fileFields = Vint(100);  // data size
  Bytes hugeDataSize = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01};  // 2^64 - 1
  Bytes beyond64Bits = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F};
  Bytes elevenBytes(10, 0x80);
  elevenBytes.push_back(0x00);
  // A header whose size says 1000 bytes, in a file that ends first.
  Bytes sizePastTheEnd = Rar5Block(2, 0, Bytes(20, 0));
  sizePastTheEnd[4] = 0xE8;  // 1000 as a vint: E8 07
  sizePastTheEnd.insert(sizePastTheEnd.begin() + 5, 0x07);
  // A size field that never ends.
  Bytes endlessSize = {0, 0, 0, 0};
  endlessSize.resize(4 + 11, 0xFF);

  // The main header's extra area is read record by record: each record is
  // its size, then its type and fields.
  const auto record = [](const Bytes& typeAndFields) {
    Bytes out = Vint(typeAndFields.size());
    Append(out, typeAndFields);
    return out;
  };
  const auto mainWithExtra = [](const Bytes& area, uint64_t flags = kHasExtraArea) {
    Bytes fields = Vint(area.size());
    fields.push_back(0x00);  // archive flags
    Append(fields, area);
    return Rar5Archive({Rar5Block(1, flags, fields), kEndBlock});
  };
  const auto fileWithExtra = [](const Bytes& area) {
    Bytes fields = Vint(area.size());
    Append(fields, area);
    return Rar5Archive({kMainBlock, Rar5Block(2, kHasExtraArea, fields), kEndBlock});
  };
  const Bytes unixTime = {0x02, 0x06, 0x01, 0x61, 0x00, 0x00, 0x00, 0x00};  // name "a", 4-byte time

  struct Case {
    const char* what;
    Bytes file;
    TRarWalkResult expected;
  };
  const Case cases[] = {
      {"main and end headers", Rar5Archive({kMainBlock, kEndBlock}), kIntact},
      // These 29 bytes crash the library: a metadata record says it has a
      // name, of size 0.
      {"a metadata record whose name is empty", mainWithExtra(record({0x02, 0x01, 0x00}), 0x0005),
       TRarWalkResult::Damaged},
      {"a metadata record whose name is empty, then more bytes",
       mainWithExtra(record({0x02, 0x01, 0x00, 0x60, 0xC0, 0x00}), 0x0005), TRarWalkResult::Damaged},
      {"a metadata record whose name is past its end", mainWithExtra(record({0x02, 0x01, 0x05, 0x61})),
       TRarWalkResult::Damaged},
      {"a metadata record whose time is past its end", mainWithExtra(record({0x02, 0x02, 0x00, 0x00, 0x00, 0x00})),
       TRarWalkResult::Damaged},
      {"a metadata record with a name and a time", mainWithExtra(record(unixTime)), kIntact},
      {"a locator with a quick-open offset", mainWithExtra(record({0x01, 0x01, 0x64})), kIntact},
      {"a locator whose recovery offset is missing", mainWithExtra(record({0x01, 0x03, 0x64})),
       TRarWalkResult::Damaged},
      {"a main record of an unknown type", mainWithExtra(record({0x03, 0x00})), TRarWalkResult::Damaged},
      {"a main record larger than the area", mainWithExtra({0x09, 0x02, 0x00}), TRarWalkResult::Damaged},
      {"a main record of size 0", mainWithExtra({0x00}), TRarWalkResult::Damaged},
      {"a file record that fits", fileWithExtra(record({0x07, 0x00})), kIntact},
      {"a file record larger than the area", fileWithExtra({0x05, 0x07, 0x00}), TRarWalkResult::Damaged},
      {"a file of 100 bytes", Rar5Archive({kMainBlock, Rar5Block(2, kHasDataArea, fileFields, 100), kEndBlock}),
       kIntact},
      {"data reaching past the end",
       Rar5Archive({kMainBlock, Rar5Block(2, kHasDataArea, fileFields, 99)}), TRarWalkResult::Damaged},
      {"a data size of 2^64 - 1", Rar5Archive({kMainBlock, Rar5Block(2, kHasDataArea, hugeDataSize), kEndBlock}),
       TRarWalkResult::Damaged},
      {"a data size beyond 64 bits",
       Rar5Archive({kMainBlock, Rar5Block(2, kHasDataArea, beyond64Bits), kEndBlock}), TRarWalkResult::Damaged},
      {"a data size of eleven bytes",
       Rar5Archive({kMainBlock, Rar5Block(2, kHasDataArea, elevenBytes), kEndBlock}), TRarWalkResult::Damaged},
      {"a header size past the end", Rar5Archive({kMainBlock, sizePastTheEnd}), TRarWalkResult::Damaged},
      {"a header size that never ends", Rar5Archive({kMainBlock, endlessSize, kEndBlock}), TRarWalkResult::Damaged},
      {"an extra area larger than its header",
       Rar5Archive({kMainBlock, Rar5Block(2, 0x0001, Vint(50)), kEndBlock}), TRarWalkResult::Damaged},
      {"no main header first", Rar5Archive({Rar5Block(2, 0, {}), kMainBlock, kEndBlock}), TRarWalkResult::Damaged},
      {"no end header", Rar5Archive({kMainBlock}), TRarWalkResult::Damaged},
      {"encrypted headers", Rar5Archive({Rar5Block(4, 0, Bytes(30, 0)), Bytes(64, 0xC3)}), kEncrypted},
      {"nothing but the signature", kRar5Signature, TRarWalkResult::NoArchive},
      {"a format of the future", {0x52, 0x61, 0x72, 0x21, 0x1A, 0x07, 0x02, 0x00, 0x00}, TRarWalkResult::NoArchive},
  };
  for (const Case& c : cases) {
    const TRarWalkResult result = Walk(c.file);
    EXPECT_EQ(result, c.expected) << c.what << ": " << ResultName(result);
  }
}

TEST_F(RarBlockWalk, EndsOnAMillionTinyBlocks) {
  // Blocks of the least size: the walk's work grows with the file, no faster.
  Bytes file = kRar5Signature;
  Append(file, kMainBlock);
  const Bytes tiny = Rar5Block(3, 0, {});
  for (int i = 0; i < 1000000 / static_cast<int>(tiny.size()); ++i) Append(file, tiny);
  Append(file, kEndBlock);
  EXPECT_EQ(Walk(file), kIntact);
  file.pop_back();
  EXPECT_EQ(Walk(file), TRarWalkResult::Damaged);
}

// The walk's cost on a large archive (not a timed test: it prints). Give a
// file in QUILLET_RAR_WALK_FILE, for example a 300 MB CBR of stored pages.
TEST(RarBlockWalkCost, OfAGivenFile) {
  const char* file = std::getenv("QUILLET_RAR_WALK_FILE");
  if (file == nullptr || *file == '\0') GTEST_SKIP() << "QUILLET_RAR_WALK_FILE names no file";
  const std::u16string path = platform::Utf8ToUtf16(file);
  std::vector<double> milliseconds;
  for (int round = 0; round < 7; ++round) {
    const auto start = std::chrono::steady_clock::now();
    const TRarWalkResult result = WalkRarBlocks(path);
    milliseconds.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
    EXPECT_NE(result, TRarWalkResult::Damaged);
  }
  const double first = milliseconds.front();
  std::sort(milliseconds.begin(), milliseconds.end());
  std::printf("walk of %s: first (cold) %.3f ms, median %.3f ms over %zu rounds\n", file, first,
              milliseconds[milliseconds.size() / 2], milliseconds.size());
}

}  // namespace
}  // namespace quillet::rar_test
