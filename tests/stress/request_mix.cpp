// Runs a mix of requests, valid and broken archives of every kind, through
// the module's exports as a host does, and checks every result.
//
//   quillet_request_mix MODULE FIXTURE_FOLDER [--threads N] [--requests N]
//                       [--leak-check]
//
// FIXTURE_FOLDER is what make_request_mix.py made: the archives and
// expected.txt. A first pass on one thread gives every archive's result and
// checks it against the list ("thumbnail": a bitmap, "none": none, "any":
// either). Then N threads share the requests, each result compared with the
// first pass's down to the last byte. With --leak-check the program also
// checks that the requests leave no descriptor, no new file in the temporary
// folder ($TMPDIR) and no growth of memory behind, and it unloads
// the module at the end, so that a leak checker run around it sees what an
// unload leaves.
#include <dirent.h>
#include <dlfcn.h>

#include <algorithm>
#include <atomic>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "quillet/dib.h"
#include "quillet/lister.h"

namespace {

struct TFixture {
  std::string Expectation;  // "thumbnail", "none" or "any"
  std::string Path;
  std::vector<char> Head;   // the first bytes, as a host passes them
};

// A result: no bitmap, or a digest of its header and pixels.
using TResult = std::optional<uint64_t>;

uint64_t Digest(const QuilletDib* dib) {
  uint64_t hash = 1469598103934665603ull;
  const auto mix = [&](const void* data, size_t size) {
    const auto* bytes = static_cast<const uint8_t*>(data);
    for (size_t i = 0; i < size; ++i) hash = (hash ^ bytes[i]) * 1099511628211ull;
  };
  mix(&dib->width, sizeof dib->width);
  mix(&dib->height, sizeof dib->height);
  mix(&dib->bitsPerPixel, sizeof dib->bitsPerPixel);
  const int32_t rows = dib->height < 0 ? -dib->height : dib->height;
  const size_t rowBytes = static_cast<size_t>(dib->width) * dib->bitsPerPixel / 8;
  const uint8_t* bits = reinterpret_cast<const uint8_t*>(dib) + dib->bitsOffset;
  for (int32_t r = 0; r < rows; ++r) mix(bits + static_cast<size_t>(r) * dib->stride, rowBytes);
  return hash;
}

std::vector<TFixture> ReadFixtures(const std::string& folder) {
  std::vector<TFixture> fixtures;
  std::ifstream list(folder + "/expected.txt");
  std::string line;
  while (std::getline(list, line)) {
    const size_t tab = line.find('\t');
    if (tab == std::string::npos) continue;
    TFixture fixture{line.substr(0, tab), folder + "/" + line.substr(tab + 1), {}};
    std::ifstream file(fixture.Path, std::ios::binary);
    fixture.Head.resize(8192);
    file.read(fixture.Head.data(), static_cast<std::streamsize>(fixture.Head.size()));
    fixture.Head.resize(static_cast<size_t>(file.gcount()));
    fixtures.push_back(std::move(fixture));
  }
  return fixtures;
}

size_t CountOpenDescriptors() {
  size_t count = 0;
  if (DIR* dir = opendir("/proc/self/fd")) {
    while (const dirent* entry = readdir(dir))
      if (entry->d_name[0] != '.') ++count;
    closedir(dir);
  }
  return count - 1;  // the listing's own
}

std::vector<std::string> FilesIn(const char* folder) {
  std::vector<std::string> names;
  if (folder == nullptr) return names;
  if (DIR* dir = opendir(folder)) {
    while (const dirent* entry = readdir(dir))
      if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) names.push_back(entry->d_name);
    closedir(dir);
  }
  return names;
}

[[maybe_unused]] long ResidentKiB() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("VmRSS:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
  return -1;
}

#if defined(__SANITIZE_ADDRESS__)
#define QUILLET_ADDRESS_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QUILLET_ADDRESS_SANITIZER 1
#endif
#endif

#ifdef QUILLET_ADDRESS_SANITIZER
extern "C" size_t __sanitizer_get_current_allocated_bytes();
#endif

// What a request that kept memory would make grow. AddressSanitizer holds
// freed blocks back in its quarantine (up to 256 MiB) before they are used
// again, so there the resident size grows with every request whether or not
// anything is kept; its count of the bytes still allocated does not.
struct TMemoryMeasure {
  const char* Name;
  long (*KiB)();
};

TMemoryMeasure MemoryMeasure() {
#ifdef QUILLET_ADDRESS_SANITIZER
  return {"allocated memory", [] { return static_cast<long>(__sanitizer_get_current_allocated_bytes() / 1024); }};
#else
  return {"resident memory", ResidentKiB};
#endif
}

int Fail(const char* message) {
  std::fprintf(stderr, "request mix: %s\n", message);
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return Fail("usage: quillet_request_mix MODULE FIXTURE_FOLDER [--threads N] [--requests N] [--leak-check]");
  int threads = 8;
  int requests = 400;
  bool leakCheck = false;
  for (int i = 3; i < argc; ++i) {
    if (std::strcmp(argv[i], "--threads") == 0 && i + 1 < argc) threads = std::atoi(argv[++i]);
    else if (std::strcmp(argv[i], "--requests") == 0 && i + 1 < argc) requests = std::atoi(argv[++i]);
    else if (std::strcmp(argv[i], "--leak-check") == 0) leakCheck = true;
    else return Fail("unknown argument");
  }
  if (threads < 1 || requests < 1) return Fail("--threads and --requests must be positive");

  const std::vector<TFixture> fixtures = ReadFixtures(argv[2]);
  if (fixtures.empty()) return Fail("no fixtures listed");
  const char* temporaryFolder = std::getenv("TMPDIR");
  if (leakCheck && temporaryFolder == nullptr) return Fail("--leak-check needs TMPDIR set to a folder of its own");
  // A checker around the program may keep files of its own there.
  const std::vector<std::string> filesBefore = FilesIn(temporaryFolder);
  const size_t descriptorsBefore = CountOpenDescriptors();

  void* module = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
  if (module == nullptr) return Fail(dlerror());
  const auto preview = reinterpret_cast<ListGetPreviewBitmapProc>(dlsym(module, "ListGetPreviewBitmap"));
  if (preview == nullptr) return Fail("the module has no ListGetPreviewBitmap");

  const auto request = [&](const TFixture& fixture) -> TResult {
    auto* dib = static_cast<QuilletDib*>(preview(fixture.Path.c_str(), 96, 96, fixture.Head.data(),
                                                 static_cast<int32_t>(fixture.Head.size())));
    if (dib == nullptr) return std::nullopt;
    const uint64_t digest = Digest(dib);
    quillet_dib_delete(dib);
    return digest;
  };

  // The first pass, on one thread: every archive's own result.
  std::vector<TResult> expected;
  int wrong = 0;
  for (const TFixture& fixture : fixtures) {
    expected.push_back(request(fixture));
    const bool hasThumbnail = expected.back().has_value();
    if ((fixture.Expectation == "thumbnail" && !hasThumbnail) || (fixture.Expectation == "none" && hasThumbnail)) {
      std::fprintf(stderr, "request mix: %s gave %s, expected %s\n", fixture.Path.c_str(),
                   hasThumbnail ? "a thumbnail" : "none", fixture.Expectation.c_str());
      ++wrong;
    }
  }

  // The mix: thread t takes requests t, t + threads, ..., each on the next
  // archive of the list, so every archive is asked by several threads at once.
  std::atomic<int> mismatches{0};
  std::atomic<int> done{0};
  const TMemoryMeasure memory = MemoryMeasure();
  long memoryAfterWarmUp = -1;
  std::atomic<bool> warmUpMeasured{false};
  const int warmUp = requests / 10;
  std::vector<std::thread> workers;
  for (int t = 0; t < threads; ++t) {
    workers.emplace_back([&, t] {
      for (int i = t; i < requests; i += threads) {
        const size_t which = static_cast<size_t>(i) % fixtures.size();
        if (request(fixtures[which]) != expected[which]) {
          std::fprintf(stderr, "request mix: %s gave a different result on request %d\n",
                       fixtures[which].Path.c_str(), i);
          ++mismatches;
        }
        if (++done >= warmUp && !warmUpMeasured.exchange(true)) memoryAfterWarmUp = memory.KiB();
      }
    });
  }
  for (std::thread& worker : workers) worker.join();
  const long memoryAtEnd = memory.KiB();

  size_t thumbnails = 0;
  for (const TResult& result : expected) thumbnails += result.has_value() ? 1 : 0;
  std::printf("request mix: %zu archives (%zu with a thumbnail), %d requests on %d threads, %d wrong, "
              "%d mismatched\n",
              fixtures.size(), thumbnails, requests, threads, wrong, mismatches.load());
  int status = (wrong != 0 || mismatches != 0) ? 1 : 0;

  if (leakCheck) {
    dlclose(module);
    const size_t descriptorsAfter = CountOpenDescriptors();
    std::vector<std::string> leftBehind;
    for (const std::string& name : FilesIn(temporaryFolder))
      if (std::find(filesBefore.begin(), filesBefore.end(), name) == filesBefore.end()) leftBehind.push_back(name);
    // Caches of the libraries fill during the first requests; what grows
    // after them grows with every request.
    const long growthKiB = memoryAtEnd - memoryAfterWarmUp;
    std::printf("request mix: descriptors %zu before, %zu after; %zu files left in the temporary folder; "
                "%s %ld KiB after %d requests, %ld KiB after %d (%+ld KiB)\n",
                descriptorsBefore, descriptorsAfter, leftBehind.size(), memory.Name, memoryAfterWarmUp, warmUp,
                memoryAtEnd, requests, growthKiB);
    for (const std::string& name : leftBehind) std::fprintf(stderr, "request mix: left behind: %s\n", name.c_str());
    if (descriptorsAfter != descriptorsBefore || !leftBehind.empty() || growthKiB > 16 * 1024) status = 1;
  }
  return status;
}
