// quillet-thumbnail: makes the cover thumbnail of one comic-book archive by
// loading the Quillet module through its exports, exactly as a file manager
// does, and writes it as a PNG (or, with --dump, as the module's raw bytes).
//
//   quillet-thumbnail [--module PATH] --detect
//   quillet-thumbnail [--module PATH] [--size N | -s N | --box WxH] [--dump] INPUT OUTPUT
//   quillet-thumbnail [--module PATH] --cache [--size normal|large|x-large|xx-large] [-j N]
//                     [--request-timeout SECONDS] PATH...
//   quillet-thumbnail --version
//
// INPUT may be a path or a file:// URI. Exit codes: 0 thumbnail written,
// 1 the module gave none, 2 usage or I/O error. --cache fills the freedesktop
// thumbnail cache with the covers of every comic under the PATHs; it asks
// the module in worker processes of its own, each started as
// "quillet-thumbnail --cache-worker --module PATH".
#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "quillet/lister.h"
#include "tools/archive_libraries.h"
#include "tools/cache_run.h"
#include "tools/file_uri.h"
#include "tools/terminal_text.h"
#include "tools/thumbnail_host.h"
#include "tools/worker_process.h"

namespace quillet::tool {

namespace {

constexpr size_t kHeadSize = 8192;
// How long --cache waits for one comic's thumbnail before it ends the worker
// process making it. The module bounds its own work far below this; a
// worker stuck in a library must not hold up the run for ever.
constexpr unsigned kDefaultRequestSeconds = 120;

std::string Narrow(const std::u16string& text) { return platform::Utf16ToUtf8(text); }

int UsageError(const std::string& message) {
  PrintMessage(stderr, message);
  std::fprintf(stderr,
               "usage: quillet-thumbnail [--module PATH] --detect\n"
               "       quillet-thumbnail [--module PATH] [--size N | -s N | --box WxH] [--dump] INPUT OUTPUT\n"
               "       quillet-thumbnail [--module PATH] --cache [--size normal|large|x-large|xx-large] [-j N] "
               "[--request-timeout SECONDS] PATH...\n"
               "       quillet-thumbnail --version\n");
  return 2;
}

std::optional<int32_t> ParsePositive(const std::string& text) {
  int32_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || value <= 0) return std::nullopt;
  return value;
}

// A file:// URI names a local file: its path, percent-decoded as UTF-8.
std::u16string PathFromInput(const std::u16string& input) {
  const std::string narrow = Narrow(input);
  const std::string decoded = PathFromFileUri(narrow);
  if (decoded == narrow) return input;
  std::u16string path = platform::Utf8ToUtf16(decoded);
  // file:///C:/dir/x.cbz on Windows
  if (platform::kDirectorySeparator == u'\\' && path.size() >= 3 && path[0] == u'/' && path[2] == u':') path.erase(0, 1);
  return path;
}

std::u16string FullPath(const std::u16string& path) {
  std::error_code error;
  std::filesystem::path full = std::filesystem::absolute(std::filesystem::path(path), error);
  if (error) return path;
  full.make_preferred();
  return full.u16string();
}

// The module: given, beside this program, or where an installation puts it.
std::vector<std::u16string> ModuleCandidates(const std::optional<std::u16string>& given) {
  if (given) return {FullPath(*given)};
  const std::u16string dir = platform::ExtractFilePath(platform::HostExecutablePath());
  const std::u16string sep(1, platform::kDirectorySeparator);
  return {dir + kModuleFileName, dir + u".." + sep + u"lib" + sep + u"quillet" + sep + kModuleFileName};
}

struct Module {
  std::u16string path;
  platform::LibraryHandle handle = nullptr;
  ListGetDetectStringProc getDetectString = nullptr;
  ListGetPreviewBitmapWProc getPreviewBitmapW = nullptr;
};

bool LoadModule(const std::vector<std::u16string>& candidates, Module& module, std::string& tried) {
  for (const std::u16string& path : candidates) {
    if (!tried.empty()) tried += ", ";
    tried += Narrow(path);
    module.handle = platform::LoadLibraryQuietly(path);
    if (module.handle == nullptr) continue;
    module.path = path;
    module.getDetectString =
        reinterpret_cast<ListGetDetectStringProc>(platform::GetLibrarySymbol(module.handle, "ListGetDetectString"));
    module.getPreviewBitmapW =
        reinterpret_cast<ListGetPreviewBitmapWProc>(platform::GetLibrarySymbol(module.handle, "ListGetPreviewBitmapW"));
    if (module.getDetectString != nullptr && module.getPreviewBitmapW != nullptr) return true;
    platform::FreeLibraryHandle(module.handle);
    module.handle = nullptr;
  }
  return false;
}

// The module's pixels exactly as returned, as a PAM file.
std::string WriteDump(const std::u16string& path, const BitmapPixels& pixels) {
  const bool alpha = pixels.bytesPerPixel == 4;
  const std::string header = "P7\nWIDTH " + std::to_string(pixels.width) + "\nHEIGHT " +
                             std::to_string(pixels.height) + "\nDEPTH " + std::to_string(pixels.bytesPerPixel) +
                             "\nMAXVAL 255\nTUPLTYPE " + (alpha ? "BGRA" : "BGR") + "\nENDHDR\n";
  std::vector<uint8_t> bytes(header.begin(), header.end());
  bytes.insert(bytes.end(), pixels.bytes.begin(), pixels.bytes.end());
  return WriteOutputFile(path, bytes);
}

// PNG wants red, green, blue and straight alpha; the module's colours are
// premultiplied. A bitmap without alpha becomes opaque: thumbnails are RGBA.
RgbaImage ToStraightRgba(const BitmapPixels& pixels) {
  const size_t count = static_cast<size_t>(pixels.width) * static_cast<size_t>(pixels.height);
  const size_t channels = static_cast<size_t>(pixels.bytesPerPixel);
  RgbaImage image{pixels.width, pixels.height, std::vector<uint8_t>(count * 4)};
  for (size_t i = 0; i < count; ++i) {
    const uint8_t* p = pixels.bytes.data() + i * channels;
    uint8_t* q = image.rgba.data() + i * 4;
    uint32_t b = p[0], g = p[1], r = p[2];
    const uint32_t a = channels == 4 ? p[3] : 255;
    if (a == 0) {
      r = g = b = 0;
    } else if (a < 255) {
      r = std::min<uint32_t>(255, (r * 255 + a / 2) / a);
      g = std::min<uint32_t>(255, (g * 255 + a / 2) / a);
      b = std::min<uint32_t>(255, (b * 255 + a / 2) / a);
    }
    q[0] = static_cast<uint8_t>(r);
    q[1] = static_cast<uint8_t>(g);
    q[2] = static_cast<uint8_t>(b);
    q[3] = static_cast<uint8_t>(a);
  }
  return image;
}

// One request to the module, as a file manager makes it: the first bytes of
// the file, and the box.
struct ModuleAnswer {
  bool readable = false;
  bool made = false;
  BitmapPixels pixels;
  std::string head;  // the first bytes of the file, as the module was given them
};

ModuleAnswer AskModule(const Module& module, const std::u16string& path, int32_t width, int32_t height) {
  ModuleAnswer answer;
  std::vector<char> head(kHeadSize);
  int32_t headLength = 0;
  try {
    // The module's own reader: a FIFO, a device or a folder at the name is
    // refused without waiting for a writer.
    const std::unique_ptr<platform::File> in = platform::OpenFileForReading(path);
    headLength = static_cast<int32_t>(in->Read(head.data(), static_cast<uint32_t>(head.size())));
  } catch (const std::exception&) {
    // Something that is there but is no regular file is no comic: no
    // thumbnail, not an I/O error.
    std::error_code error;
    const auto status = std::filesystem::status(std::filesystem::path(path), error);
    answer.readable = !error && std::filesystem::exists(status) && !std::filesystem::is_regular_file(status);
    return answer;
  }
  answer.readable = true;
  answer.head.assign(head.data(), static_cast<size_t>(headLength));
  void* bitmap = module.getPreviewBitmapW(path.c_str(), width, height,
                                          head.data(), headLength);
  answer.made = bitmap != nullptr && ReadBitmapPixels(bitmap, answer.pixels);
  DeleteModuleBitmap(bitmap);
  return answer;
}

// --cache asks the module in worker processes: a request is the box and the
// path in UTF-16, an answer is the ModuleAnswer. Numbers are 4 bytes, least
// significant first.
void PutNumber(std::string& out, uint32_t value) {
  char bytes[4];
  EncodeMessageLength(value, bytes);
  out.append(bytes, 4);
}

bool TakeNumber(std::string_view& in, uint32_t& value) {
  if (in.size() < 4) return false;
  value = DecodeMessageLength(in.data());
  in.remove_prefix(4);
  return true;
}

bool TakeBytes(std::string_view& in, uint32_t size, std::string_view& bytes) {
  if (in.size() < size) return false;
  bytes = in.substr(0, size);
  in.remove_prefix(size);
  return true;
}

std::string EncodeRequest(const std::u16string& path, int32_t size) {
  std::string out;
  PutNumber(out, static_cast<uint32_t>(size));
  out.append(reinterpret_cast<const char*>(path.data()), path.size() * sizeof(char16_t));
  return out;
}

bool DecodeRequest(std::string_view in, std::u16string& path, int32_t& size) {
  uint32_t box = 0;
  if (!TakeNumber(in, box) || box == 0 || box > 0x7FFFFFFF || in.size() % sizeof(char16_t) != 0) return false;
  size = static_cast<int32_t>(box);
  path.resize(in.size() / sizeof(char16_t));
  std::copy(in.begin(), in.end(), reinterpret_cast<char*>(path.data()));
  return true;
}

std::string EncodeAnswer(const ModuleAnswer& answer) {
  std::string out;
  out.push_back(static_cast<char>((answer.readable ? 1 : 0) | (answer.made ? 2 : 0)));
  PutNumber(out, static_cast<uint32_t>(answer.head.size()));
  out += answer.head;
  if (answer.made) {
    PutNumber(out, static_cast<uint32_t>(answer.pixels.width));
    PutNumber(out, static_cast<uint32_t>(answer.pixels.height));
    PutNumber(out, static_cast<uint32_t>(answer.pixels.bytesPerPixel));
    out.append(answer.pixels.bytes.begin(), answer.pixels.bytes.end());
  }
  return out;
}

// A worker's answer is believed only when every size in it agrees.
bool DecodeAnswer(std::string_view in, ModuleAnswer& answer) {
  if (in.empty()) return false;
  const auto flags = static_cast<unsigned char>(in[0]);
  in.remove_prefix(1);
  answer.readable = (flags & 1) != 0;
  answer.made = (flags & 2) != 0;
  uint32_t headSize = 0;
  std::string_view head;
  if (!TakeNumber(in, headSize) || headSize > kHeadSize || !TakeBytes(in, headSize, head)) return false;
  answer.head.assign(head);
  if (!answer.made) return in.empty();
  uint32_t width = 0, height = 0, bytesPerPixel = 0;
  if (!TakeNumber(in, width) || !TakeNumber(in, height) || !TakeNumber(in, bytesPerPixel)) return false;
  if (width == 0 || height == 0 || width > 0xFFFF || height > 0xFFFF || (bytesPerPixel != 3 && bytesPerPixel != 4))
    return false;
  if (in.size() != static_cast<size_t>(width) * height * bytesPerPixel) return false;
  answer.pixels.width = static_cast<int32_t>(width);
  answer.pixels.height = static_cast<int32_t>(height);
  answer.pixels.bytesPerPixel = static_cast<int>(bytesPerPixel);
  answer.pixels.bytes.assign(in.begin(), in.end());
  return true;
}

// The worker processes of a --cache run, one for each of its threads at
// most, each used by one thread at a time.
class WorkerPool {
 public:
  WorkerPool(const std::u16string& modulePath, std::chrono::milliseconds requestTime)
      : modulePath_(modulePath), requestTime_(requestTime) {}

  // The module's answer from a worker. An answer that does not decode is
  // the worker's failure as much as its end.
  WorkerProcess::Outcome Ask(const std::u16string& path, int32_t size, ModuleAnswer& answer) {
    std::unique_ptr<WorkerProcess> worker = Take();
    std::string reply;
    WorkerProcess::Outcome outcome = worker->Exchange(EncodeRequest(path, size), reply, requestTime_);
    if (outcome == WorkerProcess::Outcome::Answered && !DecodeAnswer(reply, answer))
      outcome = WorkerProcess::Outcome::Ended;
    Give(std::move(worker));
    return outcome;
  }

 private:
  std::unique_ptr<WorkerProcess> Take() {
    {
      std::lock_guard<std::mutex> guard(lock_);
      if (!idle_.empty()) {
        std::unique_ptr<WorkerProcess> worker = std::move(idle_.back());
        idle_.pop_back();
        return worker;
      }
    }
    return std::make_unique<WorkerProcess>(platform::HostExecutablePath(),
                                           std::vector<std::u16string>{u"--cache-worker", u"--module", modulePath_});
  }
  void Give(std::unique_ptr<WorkerProcess> worker) {
    std::lock_guard<std::mutex> guard(lock_);
    idle_.push_back(std::move(worker));
  }

  std::u16string modulePath_;
  std::chrono::milliseconds requestTime_;
  std::mutex lock_;
  std::vector<std::unique_ptr<WorkerProcess>> idle_;
};

int ServeCacheRequests(const Module& module) {
  return ServeRequests([&module](const std::string& request) {
    std::u16string path;
    int32_t size = 0;
    ModuleAnswer answer;
    if (DecodeRequest(request, path, size)) answer = AskModule(module, path, size, size);
    return EncodeAnswer(answer);
  });
}

struct Options {
  std::optional<std::u16string> module;
  bool detect = false;
  bool dump = false;
  bool cache = false;
  bool cacheWorker = false;  // a worker process of a --cache run
  bool version = false;
  int32_t width = 256;
  int32_t height = 256;
  std::optional<std::string> sizeText;  // as given, for --cache
  std::optional<unsigned> jobs;
  std::optional<unsigned> requestSeconds;  // --request-timeout, for --cache
  std::vector<std::u16string> positional;
};

std::optional<std::string> ParseArguments(const std::vector<std::u16string>& arguments, Options& options) {
  bool sized = false;
  std::optional<std::string> boxText;
  for (size_t i = 0; i < arguments.size(); ++i) {
    const std::string arg = Narrow(arguments[i]);
    auto value = [&]() -> std::optional<std::u16string> {
      if (i + 1 >= arguments.size()) return std::nullopt;
      return arguments[++i];
    };
    if (arg == "--detect") {
      options.detect = true;
    } else if (arg == "--dump") {
      options.dump = true;
    } else if (arg == "--cache") {
      options.cache = true;
    } else if (arg == "--cache-worker") {
      options.cacheWorker = true;
    } else if (arg == "--module") {
      const auto v = value();
      if (!v) return "--module needs a path";
      options.module = *v;
    } else if (arg == "--size" || arg == "-s") {
      const auto v = value();
      if (!v) return arg + " needs a value";
      options.sizeText = Narrow(*v);
      sized = true;
    } else if (arg == "--box") {
      const auto v = value();
      if (!v) return "--box needs WIDTHxHEIGHT";
      boxText = Narrow(*v);
    } else if (arg == "-j" || arg == "--jobs") {
      const auto v = value();
      const auto n = v ? ParsePositive(Narrow(*v)) : std::nullopt;
      if (!n) return arg + " needs a positive whole number";
      options.jobs = static_cast<unsigned>(*n);
    } else if (arg == "--request-timeout") {
      const auto v = value();
      const auto n = v ? ParsePositive(Narrow(*v)) : std::nullopt;
      if (!n) return arg + " needs a positive whole number of seconds";
      options.requestSeconds = static_cast<unsigned>(*n);
    } else if (arg == "--version") {
      options.version = true;
    } else if (arg == "--help" || arg == "-h") {
      return "";
    } else if (arg.size() > 1 && arg[0] == '-' && arg != "-") {
      return "unknown option " + arg;
    } else {
      options.positional.push_back(arguments[i]);
    }
  }
  if (options.version) {
    if (arguments.size() != 1) return "--version takes nothing else";
    return std::nullopt;
  }
  if (options.cacheWorker) {
    if (options.cache || options.detect || options.dump || boxText || sized || options.jobs ||
        options.requestSeconds || !options.module ||
        !options.positional.empty())
      return "--cache-worker takes --module alone";
    return std::nullopt;
  }
  if (options.cache) {
    if (options.detect || options.dump || boxText) return "--cache takes none of --detect, --dump, --box";
    if (options.sizeText && !CacheSizeByName(*options.sizeText))
      return "--size with --cache is one of normal, large, x-large, xx-large";
    if (options.positional.empty()) return "--cache needs at least one file or folder";
    return std::nullopt;
  }
  if (options.jobs) return "-j goes with --cache";
  if (options.requestSeconds) return "--request-timeout goes with --cache";
  if (sized) {
    const auto n = ParsePositive(*options.sizeText);
    if (!n) return "--size needs a positive whole number";
    options.width = options.height = *n;
  }
  if (boxText) {
    const size_t x = boxText->find_first_of("xX");
    const auto w = x == std::string::npos ? std::nullopt : ParsePositive(boxText->substr(0, x));
    const auto h = x == std::string::npos ? std::nullopt : ParsePositive(boxText->substr(x + 1));
    if (!w || !h) return "--box needs WIDTHxHEIGHT, both positive";
    options.width = *w;
    options.height = *h;
  }
  if (options.detect ? !options.positional.empty() : options.positional.size() != 2)
    return options.detect ? "--detect takes no files" : "needs INPUT and OUTPUT";
  return std::nullopt;
}

int RunSingle(const Module& module, const Options& options) {
  const std::u16string input = FullPath(PathFromInput(options.positional[0]));
  const std::u16string output = options.positional[1];
  // Ctrl-C while a new file is written leaves nothing behind.
  CatchInterrupts(false);
  const ModuleAnswer answer = AskModule(module, input, options.width, options.height);
  if (!answer.readable) {
    PrintMessage(stderr, "cannot read " + Narrow(input));
    return 2;
  }
  if (!answer.made) {
    PrintMessage(stderr, "no thumbnail for " + Narrow(input));
    return 1;
  }
  std::string failure;
  if (options.dump) {
    failure = WriteDump(output, answer.pixels);
  } else {
    const RgbaImage image = ToStraightRgba(answer.pixels);
    failure = WritePng(output, image.width, image.height, 4, image.rgba);
  }
  if (failure.empty()) return 0;
  PrintMessage(stderr, failure);
  return 2;
}

int RunCache(const Module& module, const Options& options) {
  if (!kCacheModeAvailable) {
    PrintMessage(stderr, "--cache fills the thumbnail cache of Linux desktops; it is not available here");
    return 2;
  }
  CacheRunSettings settings;
  settings.size = *CacheSizeByName(options.sizeText.value_or("large"));
  settings.root = ThumbnailCacheRoot(std::getenv("XDG_CACHE_HOME"), std::getenv("HOME"));
  if (settings.root.empty()) {
    PrintMessage(stderr, "neither XDG_CACHE_HOME nor HOME names a folder for the cache");
    return 2;
  }
  settings.jobs = options.jobs.value_or(std::max(1u, std::thread::hardware_concurrency()));
  settings.progressBar = StandardErrorIsTerminal();
  settings.stopRequested = InterruptRequested;

  std::vector<std::filesystem::path> inputs;
  for (const std::u16string& path : options.positional) inputs.emplace_back(PathFromInput(path));
  std::vector<std::string> problems;
  const std::vector<std::filesystem::path> comics = FindComics(inputs, problems);
  for (const std::string& problem : problems) PrintMessage(stderr, problem);
  if (const std::string failure = PrepareCacheFolders(settings.root, settings.size); !failure.empty()) {
    PrintMessage(stderr, failure);
    return 2;
  }
  PrintMessage(stdout, std::to_string(comics.size()) + " comics, thumbnails of " +
                           std::to_string(settings.size.pixels) + " pixels into " +
                           (settings.root / settings.size.name).string());
  std::fflush(stdout);

  CatchInterrupts(true);
  ArchiveLibraryCheck libraries(module.path);
  // Every request runs in a worker process: a comic that crashes a library
  // costs that worker, and the run goes on with a new one.
  const unsigned requestSeconds = options.requestSeconds.value_or(kDefaultRequestSeconds);
  WorkerPool workers(module.path, std::chrono::seconds(requestSeconds));
  const ThumbnailMaker maker = [&libraries, &workers, requestSeconds](const std::filesystem::path& comic,
                                                                      int32_t size) {
    ThumbnailAttempt attempt;
    std::u16string path;
    try {
      path = comic.u16string();
    } catch (const std::exception&) {
      attempt.result = ThumbnailAttempt::Result::Unreadable;
      attempt.problem = "cannot pass the name " + comic.string() + " on as Unicode text";
      return attempt;
    }
    ModuleAnswer answer;
    const WorkerProcess::Outcome outcome = workers.Ask(path, size, answer);
    if (outcome == WorkerProcess::Outcome::NotStarted) {
      // Not the comic's doing: an error, and no fail entry.
      attempt.result = ThumbnailAttempt::Result::Unreadable;
      attempt.problem = "cannot start a worker process for " + Narrow(path);
    } else if (outcome == WorkerProcess::Outcome::Ended) {
      attempt.result = ThumbnailAttempt::Result::Crashed;
      attempt.problem = "the worker process ended while making the thumbnail of " + Narrow(path) +
                        "; it gets a fail entry, and a new worker goes on";
    } else if (outcome == WorkerProcess::Outcome::TimedOut) {
      attempt.result = ThumbnailAttempt::Result::Crashed;
      attempt.problem = "no thumbnail of " + Narrow(path) + " within " + std::to_string(requestSeconds) +
                        " s; its worker process was ended, the comic gets a fail entry, and a new worker goes on";
    } else if (!answer.readable) {
      attempt.result = ThumbnailAttempt::Result::Unreadable;
    } else if (answer.made) {
      attempt.result = ThumbnailAttempt::Result::Made;
      attempt.image = ToStraightRgba(answer.pixels);
    } else if (const std::u16string library = ArchiveLibraryForHead(answer.head); !library.empty()) {
      // Asked only once the module has given nothing: whether the library
      // the comic needs is there for the module at all.
      bool firstRefusal = false;
      if (!libraries.Loads(library, firstRefusal)) {
        attempt.result = ThumbnailAttempt::Result::NoLibrary;
        if (firstRefusal)
          attempt.problem = "the module cannot load " + Narrow(library) + ", which " + Narrow(path) +
                            " needs; such comics are left without a thumbnail or fail entry until it can";
      }
    }
    return attempt;
  };
  const CacheRunReport report = FillCache(comics, settings, maker);
  PrintMessage(stdout, DescribeCacheRun(report));
  if (report.stopped) return 130;
  if (report.errors != 0 || report.noLibrary != 0 || !problems.empty()) return 2;
  return report.failed != 0 || report.crashed != 0 ? 1 : 0;
}

}  // namespace

std::string WritePng(const std::u16string& path, int32_t width, int32_t height, int channels,
                     const std::vector<uint8_t>& pixels, const std::vector<PngText>& text) {
  std::vector<uint8_t> png;
  std::string failure = EncodePng(width, height, channels, pixels, text, png);
  if (failure.empty()) failure = WriteOutputFile(path, png);
  return failure;
}

int RunThumbnailTool(const std::vector<std::u16string>& arguments) {
  Options options;
  if (const auto problem = ParseArguments(arguments, options)) return UsageError(problem->empty() ? "help" : *problem);
  // The version is the program's and the module's alike: both are built
  // from one source tree with one version, so no module is needed for it.
  if (options.version) {
    std::printf("quillet-thumbnail %s\n", QUILLET_VERSION);
    return 0;
  }

  Module module;
  std::string tried;
  if (!LoadModule(ModuleCandidates(options.module), module, tried)) {
    PrintMessage(stderr, "cannot load the Quillet module (tried " + tried + ")");
    return 2;
  }

  int status = 0;
  InitializeHostThread();
  if (options.detect) {
    char detect[1024] = {};
    module.getDetectString(detect, sizeof detect);
    std::printf("%s\n", TerminalSafe(detect).c_str());
  } else if (options.cacheWorker) {
    status = ServeCacheRequests(module);
  } else if (options.cache) {
    status = RunCache(module, options);
  } else {
    status = RunSingle(module, options);
  }
  FinalizeHostThread();
  platform::FreeLibraryHandle(module.handle);
  return status;
}

}  // namespace quillet::tool
