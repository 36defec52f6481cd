// quillet-thumbnail: makes the cover thumbnail of one comic-book archive by
// loading the Quillet module through its exports, exactly as a file manager
// does, and writes it as a PNG (or, with --dump, as the module's raw bytes).
//
//   quillet-thumbnail [--module PATH] --detect
//   quillet-thumbnail [--module PATH] [--size N | -s N | --box WxH] [--dump] INPUT OUTPUT
//
// INPUT may be a path or a file:// URI. Exit codes: 0 thumbnail written,
// 1 the module gave none, 2 usage or I/O error.
#include <algorithm>
#include <charconv>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "quillet/lister.h"
#include "tools/thumbnail_host.h"

namespace quillet::tool {

namespace {

constexpr size_t kHeadSize = 8192;

std::string Narrow(const std::u16string& text) { return platform::Utf16ToUtf8(text); }

int UsageError(const std::string& message) {
  std::fprintf(stderr, "quillet-thumbnail: %s\n", message.c_str());
  std::fprintf(stderr,
               "usage: quillet-thumbnail [--module PATH] --detect\n"
               "       quillet-thumbnail [--module PATH] [--size N | -s N | --box WxH] [--dump] INPUT OUTPUT\n");
  return 2;
}

std::optional<int32_t> ParsePositive(const std::string& text) {
  int32_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || value <= 0) return std::nullopt;
  return value;
}

int HexValue(char16_t c) {
  if (c >= u'0' && c <= u'9') return c - u'0';
  if (c >= u'a' && c <= u'f') return c - u'a' + 10;
  if (c >= u'A' && c <= u'F') return c - u'A' + 10;
  return -1;
}

// A file:// URI names a local file: its path, percent-decoded as UTF-8.
std::u16string PathFromInput(const std::u16string& input) {
  const std::u16string scheme = u"file://";
  if (input.size() < scheme.size() || platform::UpperCase(input.substr(0, scheme.size())) != u"FILE://") return input;
  std::u16string rest = input.substr(scheme.size());
  const size_t slash = rest.find(u'/');
  if (slash == std::u16string::npos) return input;
  rest = rest.substr(slash);  // the host part (empty or localhost) is dropped
  std::string bytes;
  const std::string utf8 = Narrow(rest);
  for (size_t i = 0; i < utf8.size(); ++i) {
    if (utf8[i] == '%' && i + 2 < utf8.size() && HexValue(static_cast<char16_t>(utf8[i + 1])) >= 0 &&
        HexValue(static_cast<char16_t>(utf8[i + 2])) >= 0) {
      bytes.push_back(static_cast<char>(HexValue(static_cast<char16_t>(utf8[i + 1])) * 16 +
                                        HexValue(static_cast<char16_t>(utf8[i + 2]))));
      i += 2;
    } else {
      bytes.push_back(utf8[i]);
    }
  }
  std::u16string path = platform::Utf8ToUtf16(bytes);
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

bool WriteDump(const std::u16string& path, const BitmapPixels& pixels, std::string& failure) {
  std::ofstream out(std::filesystem::path(path), std::ios::binary);
  if (!out) {
    failure = "cannot create " + Narrow(path);
    return false;
  }
  const bool alpha = pixels.bytesPerPixel == 4;
  out << "P7\nWIDTH " << pixels.width << "\nHEIGHT " << pixels.height << "\nDEPTH " << pixels.bytesPerPixel
      << "\nMAXVAL 255\nTUPLTYPE " << (alpha ? "BGRA" : "BGR") << "\nENDHDR\n";
  out.write(reinterpret_cast<const char*>(pixels.bytes.data()), static_cast<std::streamsize>(pixels.bytes.size()));
  out.close();
  if (!out) {
    failure = "cannot write " + Narrow(path);
    return false;
  }
  return true;
}

// PNG wants red, green, blue and straight alpha; the module's colours are
// premultiplied.
std::vector<uint8_t> ToStraightRgba(const BitmapPixels& pixels) {
  const size_t count = static_cast<size_t>(pixels.width) * static_cast<size_t>(pixels.height);
  const size_t channels = static_cast<size_t>(pixels.bytesPerPixel);
  std::vector<uint8_t> out(count * channels);
  for (size_t i = 0; i < count; ++i) {
    const uint8_t* p = pixels.bytes.data() + i * channels;
    uint8_t* q = out.data() + i * channels;
    uint32_t b = p[0], g = p[1], r = p[2];
    if (channels == 4) {
      const uint32_t a = p[3];
      if (a == 0) {
        r = g = b = 0;
      } else if (a < 255) {
        r = std::min<uint32_t>(255, (r * 255 + a / 2) / a);
        g = std::min<uint32_t>(255, (g * 255 + a / 2) / a);
        b = std::min<uint32_t>(255, (b * 255 + a / 2) / a);
      }
      q[3] = static_cast<uint8_t>(a);
    }
    q[0] = static_cast<uint8_t>(r);
    q[1] = static_cast<uint8_t>(g);
    q[2] = static_cast<uint8_t>(b);
  }
  return out;
}

struct Options {
  std::optional<std::u16string> module;
  bool detect = false;
  bool dump = false;
  int32_t width = 256;
  int32_t height = 256;
  std::vector<std::u16string> positional;
};

std::optional<std::string> ParseArguments(const std::vector<std::u16string>& arguments, Options& options) {
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
    } else if (arg == "--module") {
      const auto v = value();
      if (!v) return "--module needs a path";
      options.module = *v;
    } else if (arg == "--size" || arg == "-s") {
      const auto v = value();
      const auto n = v ? ParsePositive(Narrow(*v)) : std::nullopt;
      if (!n) return arg + " needs a positive whole number";
      options.width = options.height = *n;
    } else if (arg == "--box") {
      const auto v = value();
      const std::string box = v ? Narrow(*v) : std::string();
      const size_t x = box.find_first_of("xX");
      const auto w = x == std::string::npos ? std::nullopt : ParsePositive(box.substr(0, x));
      const auto h = x == std::string::npos ? std::nullopt : ParsePositive(box.substr(x + 1));
      if (!w || !h) return "--box needs WIDTHxHEIGHT, both positive";
      options.width = *w;
      options.height = *h;
    } else if (arg == "--help" || arg == "-h") {
      return "";
    } else if (arg.size() > 1 && arg[0] == '-' && arg != "-") {
      return "unknown option " + arg;
    } else {
      options.positional.push_back(arguments[i]);
    }
  }
  if (options.detect ? !options.positional.empty() : options.positional.size() != 2)
    return options.detect ? "--detect takes no files" : "needs INPUT and OUTPUT";
  return std::nullopt;
}

}  // namespace

int RunThumbnailTool(const std::vector<std::u16string>& arguments) {
  Options options;
  if (const auto problem = ParseArguments(arguments, options)) return UsageError(problem->empty() ? "help" : *problem);

  Module module;
  std::string tried;
  if (!LoadModule(ModuleCandidates(options.module), module, tried)) {
    std::fprintf(stderr, "quillet-thumbnail: cannot load the Quillet module (tried %s)\n", tried.c_str());
    return 2;
  }

  int status = 0;
  InitializeHostThread();
  if (options.detect) {
    char detect[1024] = {};
    module.getDetectString(detect, sizeof detect);
    std::printf("%s\n", detect);
  } else {
    const std::u16string input = FullPath(PathFromInput(options.positional[0]));
    const std::u16string output = options.positional[1];
    std::vector<char> head(kHeadSize);
    std::ifstream in(std::filesystem::path(input), std::ios::binary);
    if (!in) {
      std::fprintf(stderr, "quillet-thumbnail: cannot read %s\n", Narrow(input).c_str());
      status = 2;
    } else {
      in.read(head.data(), static_cast<std::streamsize>(head.size()));
      const auto headLength = static_cast<int32_t>(in.gcount());
      in.close();
      void* bitmap = module.getPreviewBitmapW(reinterpret_cast<const uint16_t*>(input.c_str()), options.width,
                                              options.height, head.data(), headLength);
      BitmapPixels pixels;
      if (bitmap == nullptr || !ReadBitmapPixels(bitmap, pixels)) {
        std::fprintf(stderr, "no thumbnail for %s\n", Narrow(input).c_str());
        status = 1;
      } else {
        std::string failure;
        if (options.dump) {
          if (!WriteDump(output, pixels, failure)) status = 2;
        } else {
          failure = WritePng(output, pixels.width, pixels.height, pixels.bytesPerPixel, ToStraightRgba(pixels));
          if (!failure.empty()) status = 2;
        }
        if (status != 0) std::fprintf(stderr, "quillet-thumbnail: %s\n", failure.c_str());
      }
      DeleteModuleBitmap(bitmap);
    }
  }
  FinalizeHostThread();
  platform::FreeLibraryHandle(module.handle);
  return status;
}

}  // namespace quillet::tool
