// Archives and paths made to hurt: entries whose declared size is beyond any
// decodable image, data that goes on past the bound of the written bytes,
// names that are FIFOs, devices or folders, and a host that loads the module
// by a relative name and then changes its directory.
#include <chrono>
#include <fstream>
#include <future>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform_gdi.h"
#include "quillet/lister.h"
#include "sevenzip_support.h"
#include "support/test_support.h"

#if !defined(_WIN32)
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace quillet::test {
namespace {

namespace fs = std::filesystem;
using namespace sevenzip;

// With the temporary directory gone, any attempt to write the entry would
// fail with the file's own error: only a refusal before extraction gives the
// bound's code.
TEST_F(SevenZipTest, DeclaredSizeBeyondTheBoundIsRefusedBeforeAnyFileIsMade) {
  SetTemporaryDirectorySettings(std::vector<std::wstring>(TemporaryDirectorySettings().size(),
                                                          (TempDir() / "no-such-folder").wstring()));
  for (const char* archive : {"inflates-4gib.cbz", "inflates-600mib.cb7", "sparse-4gib.cbt"}) {
    TPreview preview;
    PreviewThroughHandlers(SevenZipRegistry(), ArchivePath(archive), preview);
    EXPECT_EQ(preview.Bitmap, nullptr) << archive;
    ASSERT_EQ(preview.Failures.size(), 1u) << archive << ::testing::PrintToString(preview.Failures);
    EXPECT_EQ(preview.Failures[0].HResult, int64_t{static_cast<uint32_t>(kItemTooLargeResult)})
        << archive << ": " << preview.Failures[0].Message;
  }
  EXPECT_FALSE(fs::exists(TempDir() / "no-such-folder"));
}

// In a solid block the items before the cover are decoded on the way to it:
// 600 MiB of zeros before the cover, in items of a size a cover may have, are
// refused before any file is made.
TEST_F(SevenZipTest, SolidCoverBehindMoreThanARequestUnpacksIsRefused) {
  SetTemporaryDirectorySettings(std::vector<std::wstring>(TemporaryDirectorySettings().size(),
                                                          (TempDir() / "no-such-folder").wstring()));
  TPreview preview;
  PreviewThroughHandlers(SevenZipRegistry(), ArchivePath("solid-cover-behind-600mib.cb7"), preview);
  EXPECT_EQ(preview.Bitmap, nullptr);
  ASSERT_EQ(preview.Failures.size(), 1u) << ::testing::PrintToString(preview.Failures);
  EXPECT_EQ(preview.Failures[0].HResult, int64_t{static_cast<uint32_t>(kItemTooLargeResult)})
      << preview.Failures[0].Message;
  EXPECT_FALSE(fs::exists(TempDir() / "no-such-folder"));
}

// Passes writes on to a bounded TvekOutStream and counts those that come
// after the bound refused one: the library must stop there, not go on
// decoding into a stream that throws the data away.
class TCountingOutStream final : public TvekInterfacedObject<ISequentialOutStream> {
 public:
  TCountingOutStream(const std::u16string& AFileName, uint64_t AMaxSize)
      : FTarget(new TvekOutStream(AFileName, AMaxSize)) {}

  HRESULT STDMETHODCALLTYPE Write(const void* data, uint32_t size, uint32_t* processedSize) override {
    if (Refused) ++WritesAfterRefusal;
    const HRESULT result = FTarget->Write(data, size, processedSize);
    if (result == kItemTooLargeResult) Refused = true;
    return result;
  }

  bool Refused = false;
  int WritesAfterRefusal = 0;

 protected:
  void* FindInterface(REFIID AIID) override {
    return AIID == IID_ISequentialOutStream ? static_cast<ISequentialOutStream*>(this) : nullptr;
  }

 private:
  TComPtr<ISequentialOutStream> FTarget;
};

// Hands the one stream out for whatever item is extracted.
class TOneStreamCallback final : public TvekInterfacedObject<IArchiveExtractCallback> {
 public:
  explicit TOneStreamCallback(ISequentialOutStream* AStream) : FStream(AStream) {}
  HRESULT STDMETHODCALLTYPE SetTotal(uint64_t) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE SetCompleted(const uint64_t*) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE GetStream(uint32_t, ISequentialOutStream** outStream, int32_t askExtractMode) override {
    *outStream = nullptr;
    if (askExtractMode != kExtract) return S_OK;
    FStream->AddRef();
    *outStream = FStream.Get();
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE PrepareOperation(int32_t) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE SetOperationResult(int32_t) override { return S_OK; }

 protected:
  void* FindInterface(REFIID AIID) override {
    return AIID == IID_IArchiveExtractCallback ? static_cast<IArchiveExtractCallback*>(this) : nullptr;
  }

 private:
  TComPtr<ISequentialOutStream> FStream;
};

// A ZIP handler of no registry, for an archive object of the real library.
class TZipArchives : public TvekCBZClass_v1 {
 public:
  TZipArchives() : TvekCBZClass_v1(nullptr) {}
  void NewArchive(TComPtr<IInArchive>& AArchive) {
    LoadModule();
    CreateArchive(GetClassID(), AArchive);
  }
};

TEST_F(SevenZipTest, TheLibraryStopsAtTheBoundOfTheWrittenBytes) {
  constexpr uint64_t kBound = 1 << 20;  // the entry is 64 MiB of zeros
  TZipArchives zip;
  TComPtr<IInArchive> archive;
  zip.NewArchive(archive);
  const TComPtr<IInStream> in(new TvekInStream(ArchivePath("zeros-64mib.cbz")));
  ASSERT_EQ(OpenArchive(archive.Get(), in.Get()), S_OK);

  const fs::path target = TempDir() / "bounded.png";
  auto* counting = new TCountingOutStream(ModulePath(target), kBound);
  TComPtr<ISequentialOutStream> stream(counting);
  HRESULT result = S_OK;
  {
    const TComPtr<IArchiveExtractCallback> callback(new TOneStreamCallback(stream.Get()));
    const uint32_t index = 0;
    result = ExtractItem(archive.Get(), index, callback.Get());
  }
  EXPECT_EQ(static_cast<uint32_t>(result), static_cast<uint32_t>(kItemTooLargeResult));
  EXPECT_TRUE(counting->Refused);
  EXPECT_EQ(counting->WritesAfterRefusal, 0) << "the library went on after the refusal";
  stream.Reset();  // closes the file
  EXPECT_LE(fs::file_size(target), kBound);
  archive.Reset();
  fs::remove(target);
}

// ---- Names that are no regular file -----------------------------------------------

// The first bytes of an archive of each kind, as a host passes them.
std::vector<char> HeadOf(const std::string& AExtension) {
  std::string head;
  if (AExtension == ".cbz") head = std::string("PK\x03\x04", 4);
  if (AExtension == ".cbr") head = std::string("Rar!\x1a\x07\x00", 7);
  if (AExtension == ".cb7") head = std::string("7z\xBC\xAF\x27\x1C", 6);
  head.resize(512, '\0');
  if (AExtension == ".cbt") head.replace(257, 5, "ustar");
  return std::vector<char>(head.begin(), head.end());
}

// Asks the module, through its export, for the thumbnail of APath on a thread
// of its own. A call that has not returned within four seconds counts as
// blocked; the far end of a FIFO is then opened for writing so that it can
// end, and the test goes on.
struct TAnswer {
  bool Returned = false;
  bool Thumbnail = false;
};
TAnswer AskWithin4Seconds(const fs::path& APath, const std::string& AExtension) {
  const QuilletModuleExports& module = QuilletModule();
  TAnswer answer;
  if (module.ListGetPreviewBitmapW == nullptr) return answer;
  const std::u16string name = ModulePath(APath);
  const std::vector<char> head = HeadOf(AExtension);
  auto call = std::async(std::launch::async, [&] {
    const THostThread host;
    return module.ListGetPreviewBitmapW(name.c_str(), 64, 64, head.data(),
                                        static_cast<int32_t>(head.size()));
  });
  answer.Returned = call.wait_for(std::chrono::seconds(4)) == std::future_status::ready;
#if !defined(_WIN32)
  while (call.wait_for(std::chrono::milliseconds(100)) != std::future_status::ready) {
    const int writer = open(APath.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (writer >= 0) close(writer);
  }
#endif
  QuilletBitmapHandle bitmap = call.get();
  answer.Thumbnail = bitmap != nullptr;
  if (bitmap != nullptr) DeleteObject(static_cast<HBITMAP>(bitmap));
  return answer;
}

TEST_F(SevenZipTest, FifoNamedLikeAnArchiveGetsNoThumbnailAtOnce) {
#if defined(_WIN32)
  GTEST_SKIP() << "no FIFOs on Windows";
#else
  const fs::path dir = ScratchDir("sevenzip-fifos");
  for (const char* extension : {".cbz", ".cbr", ".cb7", ".cbt"}) {
    const fs::path fifo = dir / (std::string("x") + extension);
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0) << fifo;
    const TAnswer answer = AskWithin4Seconds(fifo, extension);
    EXPECT_TRUE(answer.Returned) << fifo << " blocked the host";
    EXPECT_FALSE(answer.Thumbnail) << fifo;
  }
#endif
}

TEST_F(SevenZipTest, FolderOrDeviceNamedLikeAnArchiveGetsNoThumbnail) {
  const fs::path folder = ScratchDir("sevenzip-folder-named-cbz") / "x.cbz";
  fs::create_directories(folder);
  std::vector<fs::path> names = {folder};
  if (!RunningOnWindows()) names.emplace_back("/dev/zero");
  for (const fs::path& name : names) {
    const TAnswer answer = AskWithin4Seconds(name, ".cbz");
    EXPECT_TRUE(answer.Returned) << name;
    EXPECT_FALSE(answer.Thumbnail) << name;
  }
}

// ---- The module's own folder -------------------------------------------------------

#if !defined(_WIN32)
// A host loads the module by a relative name, then changes its directory to
// one that holds, at the same relative place, a library and a settings file
// of an attacker's. The module must keep to the folder it was loaded from.
TEST_F(SevenZipTest, ModuleLoadedByARelativeNameKeepsItsFolder) {
  const fs::path root = ScratchDir("sevenzip-relative-module");
  const fs::path loadedFrom = root / "host-start";
  const fs::path changedTo = root / "host-later";
  fs::create_directories(loadedFrom / "installed");
  fs::create_directories(changedTo / "installed");
  const fs::path moduleName = fs::path("installed") / BuiltModulePath().filename();
  fs::copy_file(BuiltModulePath(), loadedFrom / moduleName);
  const fs::path settingsName = fs::path(moduleName).replace_extension(".ini");
  std::ofstream(loadedFrom / settingsName) << "[DllPath]\n7z.so=" << platform::Utf16ToUtf8(SevenZipLibraryPath())
                                           << "\n";
  const fs::path planted = changedTo / "installed" / "7z.so";
  fs::copy_file(QUILLET_BINARY_DIR "/test-libraries/planted/7z.so", planted);
  std::ofstream(changedTo / settingsName) << "[DllPath]\n7z.so=" << planted.string() << "\n";
  const fs::path marker = changedTo / "planted-library-ran";

  const fs::path before = fs::current_path();
  fs::current_path(loadedFrom);
  platform::LibraryHandle module = platform::LoadLibraryQuietly(platform::Utf8ToUtf16(moduleName.string()));
  fs::current_path(changedTo);
  ASSERT_NE(module, nullptr);
  const auto preview =
      reinterpret_cast<ListGetPreviewBitmapWProc>(platform::GetLibrarySymbol(module, "ListGetPreviewBitmapW"));
  const std::u16string archive = ArchivePath("zip-deflate.cbz");
  const std::vector<char> head = HeadOf(".cbz");
  QuilletBitmapHandle bitmap =
      preview(archive.c_str(), 64, 64, head.data(), static_cast<int32_t>(head.size()));
  fs::current_path(before);

  EXPECT_NE(bitmap, nullptr) << "the real library was not loaded";
  if (bitmap != nullptr) DeleteObject(static_cast<HBITMAP>(bitmap));
  EXPECT_FALSE(fs::exists(marker)) << "the planted library was loaded";
  platform::FreeLibraryHandle(module);
}
#endif

}  // namespace
}  // namespace quillet::test
