// The worker processes of --cache, driven as the cache drives them: the
// program quillet-thumbnail in its worker mode, one request at a time.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "support/test_support.h"
#include "tools/worker_process.h"

namespace quillet::tool {
namespace {

namespace fs = std::filesystem;
using Outcome = WorkerProcess::Outcome;
constexpr std::chrono::milliseconds kAnyTime = std::chrono::minutes(5);

std::u16string ThumbnailProgram() {
  return test::ModulePath(test::BuiltModulePath().parent_path() /
                          (test::RunningOnWindows() ? "quillet-thumbnail.exe" : "quillet-thumbnail"));
}

// A request as the cache sends it: the box, then the path in UTF-16.
std::string Request(const std::u16string& path, uint32_t box) {
  std::string request;
  char bytes[4];
  EncodeMessageLength(box, bytes);
  request.append(bytes, 4);
  request.append(reinterpret_cast<const char*>(path.data()), path.size() * sizeof(char16_t));
  return request;
}

TEST(WorkerProcess, AnswersOneRequestAfterAnother) {
  WorkerProcess worker(ThumbnailProgram(),
                       {u"--cache-worker", u"--module", test::ModulePath(test::BuiltModulePath())});
  const std::u16string sample = test::ModulePath(fs::path(QUILLET_SOURCE_DIR) / "samples" / "sample.cbz");
  const std::u16string missing = test::ModulePath(test::ScratchDir("worker-process") / "missing.cbz");
  for (int round = 0; round < 3; ++round) {
    std::string answer;
    ASSERT_EQ(worker.Exchange(Request(missing, 64), answer, kAnyTime), Outcome::Answered);
    EXPECT_EQ(answer, std::string(5, '\0')) << "a file that is not there: not readable, not made, no head";

    ASSERT_EQ(worker.Exchange(Request(sample, 64), answer, kAnyTime), Outcome::Answered);
    ASSERT_GT(answer.size(), 1u + 4);
    if (test::RunningOnWindows()) {
      // Windows offers no --cache, and no settings file beside the module
      // names the 7-Zip library there: the worker reads the file and says
      // so, with no picture.
      EXPECT_EQ(answer[0] & 1, 1) << "round " << round;
      continue;
    }
    // Readable and made, the head of the file, then the picture.
    ASSERT_GT(answer.size(), 1u + 4 + 12);
    EXPECT_EQ(answer[0], 3) << "round " << round;
    const uint32_t headSize = DecodeMessageLength(answer.data() + 1);
    ASSERT_GE(answer.size(), 1u + 4 + headSize + 12);
    const char* picture = answer.data() + 1 + 4 + headSize;
    const uint32_t width = DecodeMessageLength(picture);
    const uint32_t height = DecodeMessageLength(picture + 4);
    const uint32_t bytesPerPixel = DecodeMessageLength(picture + 8);
    EXPECT_EQ(std::max(width, height), 64u);
    EXPECT_EQ(answer.size(), 1u + 4 + headSize + 12 + size_t{width} * height * bytesPerPixel);
  }
}

TEST(WorkerProcess, AWorkerThatEndsBeforeAnsweringFailsTheRequestAndTheNextOneStartsAgain) {
  // A worker whose module cannot be loaded ends at once, every time.
  WorkerProcess broken(ThumbnailProgram(), {u"--cache-worker", u"--module", u"no-such-module"});
  std::string answer = "left over";
  EXPECT_EQ(broken.Exchange(Request(u"x.cbz", 64), answer, kAnyTime), Outcome::Ended);
  EXPECT_TRUE(answer.empty());
  EXPECT_EQ(broken.Exchange(Request(u"x.cbz", 64), answer, kAnyTime), Outcome::Ended);

  // A program that cannot be started is no worker's end: nothing was asked.
  WorkerProcess absent(ThumbnailProgram() + u"-not-there", {});
  EXPECT_EQ(absent.Exchange(Request(u"x.cbz", 64), answer, kAnyTime), Outcome::NotStarted);
}

}  // namespace
}  // namespace quillet::tool
