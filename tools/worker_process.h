#pragma once
// A process of this program that answers requests one at a time, so that
// whatever kills it (a crash inside an archive library, say) costs one
// request and not the run. Each request and each answer travels as a 4-byte
// length, least significant byte first, and that many bytes.
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace quillet::tool {

class WorkerProcess {
 public:
  struct Process;  // the running worker, the platform's own
  // The worker is the program started with these arguments (this program,
  // as a rule); it is started on the first request, and again after one it
  // did not answer.
  WorkerProcess(std::u16string program, std::vector<std::u16string> arguments);
  ~WorkerProcess();  // ends the worker: its input closes, then it is waited for
  WorkerProcess(const WorkerProcess&) = delete;
  WorkerProcess& operator=(const WorkerProcess&) = delete;

  enum class Outcome {
    Answered,
    NotStarted,  // no worker could be started: nothing was asked
    Ended,       // the worker ended before its answer was whole
    TimedOut,    // no whole answer within the time given: the worker was ended
  };
  // Sends the request and reads the answer, waiting at most `time` for it.
  // Unless it was answered, the worker is gone, and the next request starts
  // another.
  Outcome Exchange(const std::string& request, std::string& answer, std::chrono::milliseconds time);

 private:
  std::u16string program_;
  std::vector<std::u16string> arguments_;
  std::unique_ptr<Process> process_;
};

// The worker's side: reads requests from standard input and writes the
// answer to each on standard output, until the input ends. Returns the
// program's exit code: 0 at the end of the input, 2 when it broke off. A
// worker whose parent ends is ended too, wherever it is.
int ServeRequests(const std::function<std::string(const std::string& request)>& answer);

// Answers longer than this are taken for a broken worker.
constexpr uint32_t kLargestWorkerMessage = 256u << 20;

// The length before each message.
inline void EncodeMessageLength(uint32_t length, char bytes[4]) {
  for (int i = 0; i < 4; ++i) bytes[i] = static_cast<char>((length >> (8 * i)) & 0xFF);
}
inline uint32_t DecodeMessageLength(const char bytes[4]) {
  uint32_t length = 0;
  for (int i = 0; i < 4; ++i) length |= static_cast<uint32_t>(static_cast<unsigned char>(bytes[i])) << (8 * i);
  return length;
}

}  // namespace quillet::tool
