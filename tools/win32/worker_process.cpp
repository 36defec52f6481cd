// Worker processes on Windows: anonymous pipes for the messages, inherited
// as the worker's standard input and output, and CreateProcessW.
#include <windows.h>

#include <algorithm>
#include <mutex>

#include "platform/platform.h"
#include "tools/worker_process.h"

namespace quillet::tool {

struct WorkerProcess::Process {
  HANDLE process = nullptr;
  HANDLE toWorker = nullptr;    // our end of the worker's standard input
  HANDLE fromWorker = nullptr;  // our end of its standard output
};

namespace {

bool WriteAll(HANDLE file, const char* data, size_t size) {
  while (size > 0) {
    DWORD written = 0;
    const DWORD chunk = size > 0x10000000 ? 0x10000000 : static_cast<DWORD>(size);
    if (!WriteFile(file, data, chunk, &written, nullptr) || written == 0) return false;
    data += written;
    size -= written;
  }
  return true;
}

bool ReadAll(HANDLE file, char* data, size_t size) {
  while (size > 0) {
    DWORD got = 0;
    const DWORD chunk = size > 0x10000000 ? 0x10000000 : static_cast<DWORD>(size);
    if (!ReadFile(file, data, chunk, &got, nullptr) || got == 0) return false;
    data += got;
    size -= got;
  }
  return true;
}

// One argument as the C runtime's command-line parser reads it back.
std::wstring Quoted(const std::wstring& argument) {
  if (!argument.empty() && argument.find_first_of(L" \t\n\v\"") == std::wstring::npos) return argument;
  std::wstring quoted = L"\"";
  size_t backslashes = 0;
  for (wchar_t c : argument) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    quoted.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
    backslashes = 0;
    quoted.push_back(c);
  }
  quoted.append(backslashes * 2, L'\\');
  quoted.push_back(L'"');
  return quoted;
}

// Reads exactly size bytes unless the deadline passes first or the worker
// ends. Anonymous pipes have no timed read: what is there is looked at
// first.
bool ReadAllBefore(HANDLE file, HANDLE process, char* data, size_t size,
                   std::chrono::steady_clock::time_point deadline, bool& timedOut) {
  while (size > 0) {
    DWORD available = 0;
    if (!PeekNamedPipe(file, nullptr, 0, nullptr, &available, nullptr)) return false;
    if (available == 0) {
      if (std::chrono::steady_clock::now() >= deadline) {
        timedOut = true;
        return false;
      }
      // A worker that ended has closed its end: the peek above fails then.
      WaitForSingleObject(process, 5);
      continue;
    }
    DWORD got = 0;
    const DWORD chunk = static_cast<DWORD>(std::min<size_t>(size, available));
    if (!ReadFile(file, data, chunk, &got, nullptr) || got == 0) return false;
    data += got;
    size -= got;
  }
  return true;
}

// Pipe ends are inheritable from their making until the worker has them: two
// workers started at once must not take each other's ends.
std::mutex StartingWorker;

void CloseIfOpen(HANDLE& handle) {
  if (handle != nullptr && handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
  handle = nullptr;
}

// Closing its input ends a healthy worker; one that does not end at once is
// ended (it may be stuck inside a library).
void EndWorker(WorkerProcess::Process& process) {
  CloseIfOpen(process.toWorker);
  CloseIfOpen(process.fromWorker);
  if (process.process != nullptr) {
    if (WaitForSingleObject(process.process, 500) != WAIT_OBJECT_0) {
      TerminateProcess(process.process, 1);
      WaitForSingleObject(process.process, INFINITE);
    }
    CloseIfOpen(process.process);
  }
}

}  // namespace

WorkerProcess::WorkerProcess(std::u16string program, std::vector<std::u16string> arguments)
    : program_(std::move(program)), arguments_(std::move(arguments)) {}

WorkerProcess::~WorkerProcess() {
  if (process_) EndWorker(*process_);
}

WorkerProcess::Outcome WorkerProcess::Exchange(const std::string& request, std::string& answer,
                                               std::chrono::milliseconds time) {
  answer.clear();
  const auto deadline = std::chrono::steady_clock::now() + time;
  if (!process_) {
    const std::lock_guard<std::mutex> starting(StartingWorker);
    auto process = std::make_unique<Process>();
    SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE workerInput = nullptr;
    HANDLE workerOutput = nullptr;
    if (!CreatePipe(&workerInput, &process->toWorker, &inheritable, 0)) return Outcome::NotStarted;
    if (!CreatePipe(&process->fromWorker, &workerOutput, &inheritable, 0)) {
      CloseIfOpen(workerInput);
      EndWorker(*process);
      return Outcome::NotStarted;
    }
    // Only the worker's ends are inherited.
    SetHandleInformation(process->toWorker, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(process->fromWorker, HANDLE_FLAG_INHERIT, 0);
    const std::u16string& program = program_;
    std::wstring commandLine = Quoted(std::wstring(program.begin(), program.end()));
    for (const std::u16string& argument : arguments_)
      commandLine += L" " + Quoted(std::wstring(argument.begin(), argument.end()));
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = workerInput;
    startup.hStdOutput = workerOutput;
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION created{};
    const BOOL started = CreateProcessW(reinterpret_cast<const wchar_t*>(program.c_str()), commandLine.data(),
                                        nullptr, nullptr, TRUE, CREATE_NEW_PROCESS_GROUP, nullptr, nullptr, &startup, &created);
    CloseIfOpen(workerInput);
    CloseIfOpen(workerOutput);
    if (!started) {
      EndWorker(*process);
      return Outcome::NotStarted;
    }
    CloseHandle(created.hThread);
    process->process = created.hProcess;
    process_ = std::move(process);
  }
  char length[4];
  EncodeMessageLength(static_cast<uint32_t>(request.size()), length);
  bool timedOut = false;
  bool whole = WriteAll(process_->toWorker, length, 4) &&
               WriteAll(process_->toWorker, request.data(), request.size()) &&
               ReadAllBefore(process_->fromWorker, process_->process, length, 4, deadline, timedOut);
  if (whole) {
    const uint32_t size = DecodeMessageLength(length);
    whole = size <= kLargestWorkerMessage;
    if (whole) {
      answer.resize(size);
      whole = ReadAllBefore(process_->fromWorker, process_->process, answer.data(), size, deadline, timedOut);
    }
  }
  if (whole) return Outcome::Answered;
  // A worker that did not answer in time may be stuck anywhere: it is ended
  // at once, not asked to end.
  if (timedOut) TerminateProcess(process_->process, 1);
  EndWorker(*process_);
  process_.reset();
  answer.clear();
  return timedOut ? Outcome::TimedOut : Outcome::Ended;
}

int ServeRequests(const std::function<std::string(const std::string& request)>& answer) {
  const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  const HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
  // The answers get standard output to themselves: whatever else in the
  // process prints there goes to standard error instead.
  SetStdHandle(STD_OUTPUT_HANDLE, GetStdHandle(STD_ERROR_HANDLE));
  for (;;) {
    char length[4];
    if (!ReadAll(input, length, 4)) return 0;
    const uint32_t size = DecodeMessageLength(length);
    if (size > kLargestWorkerMessage) return 2;
    std::string request(size, '\0');
    if (!ReadAll(input, request.data(), size)) return 2;
    const std::string reply = answer(request);
    EncodeMessageLength(static_cast<uint32_t>(reply.size()), length);
    if (!WriteAll(output, length, 4) || !WriteAll(output, reply.data(), reply.size())) return 2;
  }
}

}  // namespace quillet::tool
