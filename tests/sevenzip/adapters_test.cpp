// The objects the library reads and writes through, called as the library
// calls them, and the mapping of statuses at the boundary.
#include <fstream>

#include "sevenzip_support.h"
#include "support/test_support.h"

namespace quillet::test {
namespace {

using namespace sevenzip;

std::filesystem::path WriteFile(const std::filesystem::path& APath, const std::string& AContent) {
  std::ofstream(APath, std::ios::binary) << AContent;
  return APath;
}

std::string ReadFile(const std::filesystem::path& APath) {
  std::ifstream file(APath, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

// ---- Statuses ------------------------------------------------------------

struct TMappingCase {
  const char* What;
  std::exception_ptr Error;
  uint32_t HResult;
};

std::ostream& operator<<(std::ostream& AStream, const TMappingCase& ACase) { return AStream << ACase.What; }

class ExceptionMapping : public ::testing::TestWithParam<TMappingCase> {};

TEST_P(ExceptionMapping, GivesTheHResult) {
  EXPECT_EQ(static_cast<uint32_t>(ExceptionToHResult(GetParam().Error)), GetParam().HResult);
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, ExceptionMapping,
    ::testing::Values(
        TMappingCase{"Abort", std::make_exception_ptr(EAbort("stop")), 0x800704C7u},
        TMappingCase{"OleError", std::make_exception_ptr(EOleSysError(static_cast<int32_t>(0x80030002u), "")),
                     0x80030002u},
        TMappingCase{"OutOfMemory", std::make_exception_ptr(EOutOfMemory()), 0x8007000Eu},
        TMappingCase{"BadAlloc", std::make_exception_ptr(std::bad_alloc()), 0x8007000Eu},
        TMappingCase{"OSErrorKeepsLowWord", std::make_exception_ptr(EOSError(5, "")), 0x80070005u},
        TMappingCase{"OSErrorHighBitsDropped", std::make_exception_ptr(EOSError(0x12345, "")), 0x80072345u},
        // An OS error without a code still failed: it must not read as S_OK.
        TMappingCase{"OSErrorWithoutCodeFails", std::make_exception_ptr(EOSError(0, "")), 0x80004005u},
        TMappingCase{"Argument", std::make_exception_ptr(EArgumentException("")), 0x80070057u},
        TMappingCase{"Pointer", std::make_exception_ptr(EInvalidPointer("")), 0x80004003u},
        TMappingCase{"General", std::make_exception_ptr(Exception("Invalid image")), 0x8000FFFFu},
        TMappingCase{"Foreign", std::make_exception_ptr(std::runtime_error("")), 0x8000FFFFu},
        TMappingCase{"NotAnException", std::make_exception_ptr(42), 0x8000FFFFu},
        TMappingCase{"None", std::exception_ptr(), 0x8000FFFFu}),
    [](const ::testing::TestParamInfo<TMappingCase>& info) { return info.param.What; });

TEST(CheckResult, PassesOnlyS_OK) {
  EXPECT_EQ(CheckResult(S_OK), S_OK);
  for (const uint32_t code : {1u, 2u, 0x80004001u, 0x800700DFu}) {
    try {
      CheckResult(static_cast<HRESULT>(code));
      ADD_FAILURE() << std::hex << code << " passed";
    } catch (const EOleSysError& error) {
      // S_FALSE, the library's "not done", fails as E_FAIL.
      EXPECT_EQ(static_cast<uint32_t>(error.ErrorCode), code == 1u ? 0x80004005u : code);
      EXPECT_STRNE(error.what(), "");
    }
  }
}

// ---- The input stream ---------------------------------------------------------

class InStream : public SevenZipTest {
 protected:
  void SetUp() override {
    SevenZipTest::SetUp();
    FPath = WriteFile(TempDir() / "archive.bin", "0123456789");
    FStream = TComPtr<IInStream>(new TvekInStream(ModulePath(FPath)));
  }
  void TearDown() override {
    FStream.Reset();
    std::filesystem::remove(FPath);
    SevenZipTest::TearDown();
  }
  uint64_t Position() {
    uint64_t position = 0;
    EXPECT_EQ(FStream->Seek(0, 1, &position), S_OK);
    return position;
  }

  std::filesystem::path FPath;
  TComPtr<IInStream> FStream;
};

TEST_F(InStream, ReadsAndReportsWhatItRead) {
  char buffer[16] = {};
  uint32_t processed = 99;
  EXPECT_EQ(FStream->Read(buffer, 0, &processed), S_OK);
  EXPECT_EQ(processed, 0u);
  EXPECT_EQ(Position(), 0u);
  EXPECT_EQ(FStream->Read(buffer, 4, &processed), S_OK);
  EXPECT_EQ(processed, 4u);
  EXPECT_EQ(std::string(buffer, 4), "0123");
  // No count wanted: it still reads.
  EXPECT_EQ(FStream->Read(buffer, 2, nullptr), S_OK);
  EXPECT_EQ(Position(), 6u);
  // A short read, then the end: both are S_OK.
  EXPECT_EQ(FStream->Read(buffer, 16, &processed), S_OK);
  EXPECT_EQ(processed, 4u);
  EXPECT_EQ(FStream->Read(buffer, 16, &processed), S_OK);
  EXPECT_EQ(processed, 0u);
}

TEST_F(InStream, SeeksIn64Bits) {
  uint64_t position = 0;
  EXPECT_EQ(FStream->Seek(int64_t{5} << 30, 0, &position), S_OK);
  EXPECT_EQ(position, uint64_t{5} << 30);
  EXPECT_EQ(FStream->Seek(-3, 2, &position), S_OK);
  EXPECT_EQ(position, 7u);
  EXPECT_EQ(FStream->Seek(1, 1, nullptr), S_OK);
  EXPECT_EQ(Position(), 8u);
}

// A seek before the start fails and leaves the position, instead of
// reporting a position the file does not have.
TEST_F(InStream, RefusesToSeekBeforeTheStart) {
  uint64_t position = 1234;
  EXPECT_EQ(FStream->Seek(3, 0, nullptr), S_OK);
  EXPECT_LT(FStream->Seek(-4, 1, &position), 0);
  EXPECT_EQ(position, 1234u);
  EXPECT_EQ(Position(), 3u);
  EXPECT_LT(FStream->Seek(0, 3, &position), 0);
}

TEST_F(InStream, ReportsItsSizeWithoutMoving) {
  uint64_t size = 0;
  EXPECT_EQ(FStream->Seek(2, 0, nullptr), S_OK);
  TComPtr<IStreamGetSize> sized;
  ASSERT_EQ(FStream->QueryInterface(IID_IStreamGetSize, reinterpret_cast<void**>(sized.Put())), S_OK);
  EXPECT_EQ(sized->GetSize(&size), S_OK);
  EXPECT_EQ(size, 10u);
  EXPECT_EQ(Position(), 2u);
  EXPECT_EQ(sized->GetSize(nullptr), E_POINTER);
}

TEST_F(InStream, AnswersItsThreeInterfacesOnly) {
  for (const IID& iid : {IID_IUnknown, IID_ISequentialInStream, IID_IInStream, IID_IStreamGetSize}) {
    IUnknown* found = nullptr;
    EXPECT_EQ(FStream->QueryInterface(iid, reinterpret_cast<void**>(&found)), S_OK);
    ASSERT_NE(found, nullptr);
    found->Release();
  }
  for (const IID& iid : {IID_ISequentialOutStream, IID_IArchiveExtractCallback, IID_IInArchive}) {
    void* found = &found;
    EXPECT_EQ(FStream->QueryInterface(iid, &found), E_NOINTERFACE);
    EXPECT_EQ(found, nullptr);
  }
  // One object: the same IUnknown through either of its interfaces.
  TComPtr<IStreamGetSize> sized;
  ASSERT_EQ(FStream->QueryInterface(IID_IStreamGetSize, reinterpret_cast<void**>(sized.Put())), S_OK);
  TComPtr<IUnknown> first, second;
  FStream->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(first.Put()));
  sized->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(second.Put()));
  EXPECT_EQ(first.Get(), second.Get());
}

// The file closes with the last reference, and not before.
TEST_F(InStream, ClosesWithTheLastReference) {
  FStream->AddRef();
  EXPECT_EQ(FStream->Release(), 1u);
  if (RunningOnWindows()) {
    EXPECT_FALSE(OpenableForWriting(FPath)) << "others may write the open archive";
  }
  IInStream* last = FStream.Get();
  last->AddRef();
  FStream.Reset();
  EXPECT_EQ(last->Release(), 0u);
  EXPECT_TRUE(OpenableForWriting(FPath));
}

TEST_F(InStream, RaisesForAMissingFile) {
  EXPECT_THROW(TvekInStream(ModulePath(TempDir() / "missing.cbz")), EOSError);
}

// ---- The output stream ----------------------------------------------------------

class OutStream : public SevenZipTest {
 protected:
  void TearDown() override {
    std::filesystem::remove(TempDir() / "item.png");
    SevenZipTest::TearDown();
  }
};

TEST_F(OutStream, WritesAndReportsWhatItWrote) {
  const std::filesystem::path path = TempDir() / "item.png";
  {
    TComPtr<ISequentialOutStream> stream(new TvekOutStream(ModulePath(path)));
    EXPECT_TRUE(std::filesystem::exists(path)) << "created at once, before any data";
    uint32_t processed = 99;
    EXPECT_EQ(stream->Write("x", 0, &processed), S_OK);
    EXPECT_EQ(processed, 0u);
    EXPECT_EQ(stream->Write("0123456789", 10, &processed), S_OK);
    EXPECT_EQ(processed, 10u);
    EXPECT_EQ(stream->Write("ab", 2, nullptr), S_OK);
  }
  EXPECT_EQ(ReadFile(path), "0123456789ab");
}

// Nothing may stand at the name: an existing file stays as it was, and the
// stream is not made.
TEST_F(OutStream, CreatesItsFileExclusively) {
  const std::filesystem::path path = WriteFile(TempDir() / "item.png", "someone's file");
  EXPECT_THROW(TvekOutStream(ModulePath(path)), EOSError);
  EXPECT_EQ(ReadFile(path), "someone's file");
}

// An item may grow up to the bound and not a byte further: the write that
// would pass it fails and writes nothing.
TEST_F(OutStream, StopsAtItsBound) {
  const std::filesystem::path path = TempDir() / "item.png";
  {
    TComPtr<ISequentialOutStream> stream(new TvekOutStream(ModulePath(path), 16));
    uint32_t processed = 0;
    EXPECT_EQ(stream->Write("0123456789", 10, &processed), S_OK);
    EXPECT_EQ(stream->Write("abcdef", 6, &processed), S_OK);
    EXPECT_EQ(processed, 6u);
    EXPECT_EQ(stream->Write("!", 1, &processed), kItemTooLargeResult);
    EXPECT_EQ(processed, 0u);
    EXPECT_EQ(stream->Write("", 0, &processed), S_OK);
  }
  EXPECT_EQ(ReadFile(path), "0123456789abcdef");
  {
    std::filesystem::remove(path);
    TComPtr<ISequentialOutStream> stream(new TvekOutStream(ModulePath(path), 16));
    EXPECT_EQ(stream->Write("0123456789abcdefg", 17, nullptr), kItemTooLargeResult);
  }
  EXPECT_EQ(ReadFile(path), "");
}

TEST(OutStreamBound, IsWhatTheDecoderReads) { EXPECT_EQ(kMaxExtractedItemSize, uint64_t{512} << 20); }

// ---- The extraction callback ------------------------------------------------------

class ExtractCallback : public SevenZipTest {
 protected:
  void SetUp() override {
    SevenZipTest::SetUp();
    FPath = TempDir() / "cover.png";
    FObject = new TvekExtractCallback(7, ModulePath(FPath));
    FCallback = TComPtr<IArchiveExtractCallback>(FObject);
  }
  void TearDown() override {
    FCallback.Reset();
    std::filesystem::remove(FPath);
    SevenZipTest::TearDown();
  }

  std::filesystem::path FPath;
  TvekExtractCallback* FObject = nullptr;
  TComPtr<IArchiveExtractCallback> FCallback;
};

TEST_F(ExtractCallback, GivesAStreamForItsItemOnly) {
  ISequentialOutStream* out = reinterpret_cast<ISequentialOutStream*>(&out);
  EXPECT_EQ(FCallback->GetStream(7, &out, kTest), S_OK);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(FCallback->GetStream(7, &out, kSkip), S_OK);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(FCallback->GetStream(6, &out, kExtract), S_OK);
  EXPECT_EQ(out, nullptr);
  EXPECT_FALSE(std::filesystem::exists(FPath));
  EXPECT_FALSE(FObject->CreatedFile());

  EXPECT_EQ(FCallback->GetStream(7, &out, kExtract), S_OK);
  ASSERT_NE(out, nullptr);
  EXPECT_TRUE(std::filesystem::exists(FPath));
  EXPECT_TRUE(FObject->CreatedFile());
  EXPECT_EQ(out->Write("page", 4, nullptr), S_OK);
  // The library holds the only reference; with it the file closes.
  EXPECT_EQ(out->Release(), 0u);
  EXPECT_EQ(ReadFile(FPath), "page");
  EXPECT_TRUE(OpenableForWriting(FPath));
}

// A file that stood at the name before is not ours: no stream, the failure
// goes back to the library, and the file is left as it was.
TEST_F(ExtractCallback, FailsForAnOccupiedName) {
  WriteFile(FPath, "someone's file");
  ISequentialOutStream* out = nullptr;
  EXPECT_LT(FCallback->GetStream(7, &out, kExtract), 0);
  EXPECT_EQ(out, nullptr);
  EXPECT_FALSE(FObject->CreatedFile());
  EXPECT_EQ(ReadFile(FPath), "someone's file");
}

TEST_F(ExtractCallback, AnswersItsOwnInterfaceOnly) {
  IUnknown* found = nullptr;
  EXPECT_EQ(FCallback->QueryInterface(IID_IArchiveExtractCallback, reinterpret_cast<void**>(&found)), S_OK);
  ASSERT_NE(found, nullptr);
  found->Release();
  EXPECT_EQ(FCallback->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&found)), S_OK);
  found->Release();
  const IID passwordProvider = MakeLibraryGuid(0x00, 0x00, 0x00, 0x05, 0x00, 0x10, 0x00, 0x00);
  for (const IID& iid : {IID_IProgress, passwordProvider, IID_ISequentialOutStream}) {
    void* other = &other;
    EXPECT_EQ(FCallback->QueryInterface(iid, &other), E_NOINTERFACE);
    EXPECT_EQ(other, nullptr);
  }
}

TEST_F(ExtractCallback, AcceptsProgressAndResults) {
  const uint64_t done = 5;
  EXPECT_EQ(FCallback->SetTotal(10), S_OK);
  EXPECT_EQ(FCallback->SetCompleted(&done), S_OK);
  EXPECT_EQ(FCallback->SetCompleted(nullptr), S_OK);
  EXPECT_EQ(FCallback->PrepareOperation(kExtract), S_OK);
  // A failed item is not acted upon: the decoder judges what was written.
  EXPECT_EQ(FCallback->SetOperationResult(2), S_OK);
}

}  // namespace
}  // namespace quillet::test
