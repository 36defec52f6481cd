// Worker processes on Linux: a socket pair for the messages (so that writing
// to a worker that died fails with EPIPE instead of killing us with
// SIGPIPE), posix_spawn for the process.
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <thread>

#include "platform/platform.h"
#include "tools/worker_process.h"

extern char** environ;

namespace quillet::tool {

struct WorkerProcess::Process {
  pid_t pid = -1;
  int socket = -1;  // our end; the worker's is its standard input and output
};

namespace {

bool SendAll(int socket, const char* data, size_t size) {
  while (size > 0) {
    const ssize_t sent = send(socket, data, size, MSG_NOSIGNAL);
    if (sent < 0 && errno == EINTR) continue;
    if (sent <= 0) return false;
    data += sent;
    size -= static_cast<size_t>(sent);
  }
  return true;
}

bool ReadAll(int descriptor, char* data, size_t size) {
  while (size > 0) {
    const ssize_t got = read(descriptor, data, size);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    data += got;
    size -= static_cast<size_t>(got);
  }
  return true;
}

// Reads exactly size bytes unless the deadline passes first.
bool ReadAllBefore(int socket, char* data, size_t size, std::chrono::steady_clock::time_point deadline,
                   bool& timedOut) {
  while (size > 0) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      timedOut = true;
      return false;
    }
    pollfd wait{socket, POLLIN, 0};
    const int ready = poll(&wait, 1, static_cast<int>(std::min<int64_t>(left.count(), 60000)));
    if (ready < 0 && errno != EINTR) return false;
    if (ready <= 0) continue;
    const ssize_t got = read(socket, data, size);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    data += got;
    size -= static_cast<size_t>(got);
  }
  return true;
}

bool WriteAll(int descriptor, const char* data, size_t size) {
  while (size > 0) {
    const ssize_t written = write(descriptor, data, size);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    data += written;
    size -= static_cast<size_t>(written);
  }
  return true;
}

// Ends a worker: closing its input ends a healthy one; one that does not end
// at once is killed (it may be stuck inside a library).
void EndWorker(pid_t pid, int socket) {
  if (socket >= 0) close(socket);
  if (pid <= 0) return;
  for (int tries = 0; tries < 50; ++tries) {
    int status = 0;
    const pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid || (done < 0 && errno != EINTR)) return;
    usleep(10000);
  }
  kill(pid, SIGKILL);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
}

}  // namespace

WorkerProcess::WorkerProcess(std::u16string program, std::vector<std::u16string> arguments)
    : program_(std::move(program)), arguments_(std::move(arguments)) {}

WorkerProcess::~WorkerProcess() {
  if (process_) EndWorker(process_->pid, process_->socket);
}

WorkerProcess::Outcome WorkerProcess::Exchange(const std::string& request, std::string& answer,
                                               std::chrono::milliseconds time) {
  answer.clear();
  const auto deadline = std::chrono::steady_clock::now() + time;
  if (!process_) {
    int sockets[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sockets) != 0) return Outcome::NotStarted;
    const std::string program = platform::Utf16ToUtf8(program_);
    std::vector<std::string> texts{program};
    for (const std::u16string& argument : arguments_) texts.push_back(platform::Utf16ToUtf8(argument));
    std::vector<char*> argv;
    for (std::string& text : texts) argv.push_back(text.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, sockets[1], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, sockets[1], STDOUT_FILENO);
    // A process group of its own: Ctrl-C at the terminal is for us, and we
    // let the work in progress finish.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attributes, 0);
    pid_t pid = -1;
    const int failed = posix_spawn(&pid, program.c_str(), &actions, &attributes, argv.data(), environ);
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    close(sockets[1]);
    if (failed != 0) {
      close(sockets[0]);
      return Outcome::NotStarted;
    }
    process_ = std::make_unique<Process>();
    process_->pid = pid;
    process_->socket = sockets[0];
  }
  char length[4];
  EncodeMessageLength(static_cast<uint32_t>(request.size()), length);
  bool timedOut = false;
  bool whole = SendAll(process_->socket, length, 4) && SendAll(process_->socket, request.data(), request.size()) &&
               ReadAllBefore(process_->socket, length, 4, deadline, timedOut);
  if (whole) {
    const uint32_t size = DecodeMessageLength(length);
    whole = size <= kLargestWorkerMessage;
    if (whole) {
      answer.resize(size);
      whole = ReadAllBefore(process_->socket, answer.data(), size, deadline, timedOut);
    }
  }
  if (whole) return Outcome::Answered;
  // A worker that did not answer in time may be stuck anywhere: it is
  // killed, not asked to end.
  if (timedOut) kill(process_->pid, SIGKILL);
  EndWorker(process_->pid, process_->socket);
  process_.reset();
  answer.clear();
  return timedOut ? Outcome::TimedOut : Outcome::Ended;
}

int ServeRequests(const std::function<std::string(const std::string& request)>& answer) {
  // A worker never outlives the run that started it, even one stuck in a
  // library when the run is killed: a thread of its own watches for the
  // run's end of the socket to close. (A parent-death signal would not do:
  // it follows the thread that started the worker, and the run's threads
  // share their workers and end one by one.)
  std::thread([] {
    pollfd watch{STDIN_FILENO, POLLRDHUP, 0};
    for (;;) {
      const int ready = poll(&watch, 1, -1);
      if (ready < 0 && errno == EINTR) continue;
      if (ready < 0) return;
      if ((watch.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0) _exit(0);
    }
  }).detach();
  // The answers get standard output to themselves: whatever else in the
  // process prints there goes to standard error instead.
  const int output = dup(STDOUT_FILENO);
  if (output < 0 || dup2(STDERR_FILENO, STDOUT_FILENO) < 0) return 2;
  for (;;) {
    char length[4];
    if (!ReadAll(STDIN_FILENO, length, 4)) return 0;
    const uint32_t size = DecodeMessageLength(length);
    if (size > kLargestWorkerMessage) return 2;
    std::string request(size, '\0');
    if (!ReadAll(STDIN_FILENO, request.data(), size)) return 2;
    const std::string reply = answer(request);
    EncodeMessageLength(static_cast<uint32_t>(reply.size()), length);
    if (!WriteAll(output, length, 4) || !WriteAll(output, reply.data(), reply.size())) return 2;
  }
}

}  // namespace quillet::tool
