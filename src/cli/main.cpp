// galleryfetch-cli: the download run from the command line, for scripting,
// tests and benchmarks.
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#define isatty _isatty
#define fileno _fileno
#else
#include <unistd.h>
#endif

#include "gallery/download_run.h"
#include "gallery/url_parser.h"
#include "support/services.h"
#include "support/text.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kExitInterrupted = 130;

constexpr const char* kUsage =
    "usage: galleryfetch-cli [options] ADDRESS\n"
    "  ADDRESS            a gallery viewer address (...=<first image address>)\n"
    "                     or the first image's address\n"
    "  -o, --output DIR   where the gallery folder is made (default: the current\n"
    "                     directory; created with its parents when missing)\n"
    "      --max N        highest number tried (default 9999)\n"
    "  -j, --jobs N       images in flight at once, 1 to 16 (default 4); they are\n"
    "                     still saved and counted in number order, 1 fetches them\n"
    "                     one after the other\n"
    "      --retries N    extra tries for a failed fetch (default 3)\n"
    "      --timeout S    give up a transfer that receives nothing for S seconds\n"
    "                     (default 30)\n"
    "      --cacert FILE  trust the certificates in FILE instead of the system's\n"
    "      --captions FILE\n"
    "                     append every caption to FILE, one a line, in the order\n"
    "                     the window shows them\n"
    "  -n, --dry-run      print the parse and the first address; fetch nothing,\n"
    "                     create nothing\n"
    "  -q, --quiet        only the final line\n"
    "  -h, --help         this text\n"
    "      --version      the version\n"
    "exit codes: 0 done, 1 a fetch or the disk failed, 2 bad address or options,\n"
    "130 interrupted\n";

std::atomic<bool> g_interrupted{false};

#ifdef _WIN32
BOOL WINAPI OnConsoleControl(DWORD) {
  g_interrupted = true;
  return TRUE;
}
void CatchInterrupts() { SetConsoleCtrlHandler(OnConsoleControl, TRUE); }
#else
void OnSignal(int) { g_interrupted = true; }
void CatchInterrupts() {
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}
#endif

struct Options {
  std::string address;
  std::string output = ".";
  int32_t highest = gf::kHighestImageNumber;
  int32_t retries = 3;
  int32_t timeout = 30;
  int32_t jobs = gf::kDefaultJobs;
  std::string caFile;
  std::string captionsFile;
  bool dryRun = false;
  bool quiet = false;
};

std::optional<int32_t> ParseNumber(const char* text, int32_t low, int32_t high) {
  char* end = nullptr;
  errno = 0;
  const long value = std::strtol(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || value < low || value > high) return {};
  return static_cast<int32_t>(value);
}

// Fills options from argv; returns an exit code when the program should end now.
std::optional<int> ParseArguments(int argc, char** argv, Options& options) {
  std::vector<std::string> positional;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
    auto number = [&](int32_t low, int32_t high, int32_t& into) -> bool {
      const char* text = value();
      const auto parsed = text ? ParseNumber(text, low, high) : std::nullopt;
      if (!parsed) {
        std::fprintf(stderr, "galleryfetch-cli: %s needs a number from %d to %d\n", arg.c_str(),
                     low, high);
        return false;
      }
      into = *parsed;
      return true;
    };
    if (arg == "-h" || arg == "--help") {
      std::fputs(kUsage, stdout);
      return kExitOk;
    } else if (arg == "--version") {
      std::puts("galleryfetch-cli 0.1.0");
      return kExitOk;
    } else if (arg == "-o" || arg == "--output") {
      const char* dir = value();
      if (dir == nullptr || *dir == '\0') {
        std::fputs("galleryfetch-cli: --output needs a directory\n", stderr);
        return kExitUsage;
      }
      options.output = dir;
    } else if (arg == "--max") {
      if (!number(1, gf::kHighestImageNumber, options.highest)) return kExitUsage;
    } else if (arg == "-j" || arg == "--jobs") {
      if (!number(1, gf::kMaxJobs, options.jobs)) return kExitUsage;
    } else if (arg == "--retries") {
      if (!number(0, 10, options.retries)) return kExitUsage;
    } else if (arg == "--timeout") {
      if (!number(1, 3600, options.timeout)) return kExitUsage;
    } else if (arg == "--cacert") {
      const char* file = value();
      if (file == nullptr) {
        std::fputs("galleryfetch-cli: --cacert needs a file\n", stderr);
        return kExitUsage;
      }
      options.caFile = file;
    } else if (arg == "--captions") {
      const char* file = value();
      if (file == nullptr || *file == '\0') {
        std::fputs("galleryfetch-cli: --captions needs a file\n", stderr);
        return kExitUsage;
      }
      options.captionsFile = file;
    } else if (arg == "-n" || arg == "--dry-run") {
      options.dryRun = true;
    } else if (arg == "-q" || arg == "--quiet") {
      options.quiet = true;
    } else if (arg.size() > 1 && arg[0] == '-') {
      std::fprintf(stderr, "galleryfetch-cli: unknown option %s\n%s", arg.c_str(), kUsage);
      return kExitUsage;
    } else {
      positional.push_back(arg);
    }
  }
  if (positional.size() != 1) {
    std::fprintf(stderr, "galleryfetch-cli: give exactly one ADDRESS\n%s", kUsage);
    return kExitUsage;
  }
  options.address = positional[0];
  return std::nullopt;
}

int DryRun(const Options& options, const std::string& outputDir) {
  gf::GalleryGlobals globals;
  const gf::ParseResult parse = gf::ParseGalleryUrl(globals, options.address);
  if (!parse.usable) {
    std::fprintf(stderr, "galleryfetch-cli: cannot use the address: %s\n", parse.reason.c_str());
    return kExitUsage;
  }
  const gf::Text first = gf::TextJoin({globals.baseUrl, globals.galleryId, "/",
                                       gf::ImageNumber(1, parse.numberWidth), globals.extension});
  std::printf("prefix=%s\ngallery=%s\nextension=%s\nfolder=%s\nfirst=%s\n", globals.baseUrl.c_str(),
              globals.galleryId.c_str(), globals.extension.c_str(),
              gf::TextJoin({outputDir, gf::kPathSeparator, globals.galleryId}).c_str(),
              first.c_str());
  return kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (const auto code = ParseArguments(argc, argv, options)) return *code;

  std::error_code ec;
  const std::filesystem::path output = std::filesystem::absolute(options.output, ec);
  if (ec) {
    std::fprintf(stderr, "galleryfetch-cli: cannot use the output directory %s: %s\n",
                 options.output.c_str(), ec.message().c_str());
    return kExitUsage;
  }
  const std::string outputDir = output.lexically_normal().string();
  if (options.dryRun) return DryRun(options, outputDir);

  // A bad address must not leave even the output directory behind.
  gf::GalleryGlobals scratch;
  const gf::ParseResult parse = gf::ParseGalleryUrl(scratch, options.address);
  if (!parse.usable) {
    std::fprintf(stderr, "galleryfetch-cli: cannot use the address: %s\n", parse.reason.c_str());
    return kExitUsage;
  }
  std::filesystem::create_directories(output, ec);
  if (ec) {
    std::fprintf(stderr, "galleryfetch-cli: cannot create the output directory %s: %s\n",
                 outputDir.c_str(), ec.message().c_str());
    return kExitFailed;
  }

  // Opened before the run, so that a caption file that cannot be written stops
  // it before anything is fetched, and before the services move to the
  // program's directory, so that a relative name means the working directory.
  std::FILE* captionLog = nullptr;
  if (!options.captionsFile.empty()) {
    captionLog = std::fopen(options.captionsFile.c_str(), "ab");
    if (captionLog == nullptr) {
      std::fprintf(stderr, "galleryfetch-cli: cannot write %s: %s\n", options.captionsFile.c_str(),
                   std::strerror(errno));
      return kExitFailed;
    }
  }
  const std::unique_ptr<std::FILE, int (*)(std::FILE*)> closeCaptionLog(
      captionLog, [](std::FILE* f) { return f ? std::fclose(f) : 0; });

  // The services move to the program's own directory: a relative certificate
  // file must still mean one in the working directory.
  if (!options.caFile.empty()) {
    const std::filesystem::path caFile = std::filesystem::absolute(options.caFile, ec);
    if (!ec) options.caFile = caFile.lexically_normal().string();
  }

  gf::InitializeServices();
  CatchInterrupts();

  gf::FetchOptions fetchOptions;
  fetchOptions.stallTimeoutSeconds = options.timeout;
  fetchOptions.caFile = options.caFile;
  // One by one the Downloader fetches; looking ahead, the pool.
  std::optional<gf::Downloader> downloader;
  std::optional<gf::FetchPool> pool;
  if (options.jobs > 1) {
    pool.emplace(fetchOptions, options.jobs);
  } else {
    downloader.emplace(fetchOptions);
  }

  const bool live = !options.quiet && isatty(fileno(stderr));
  const auto started = std::chrono::steady_clock::now();
  int32_t savedSoFar = 0;
  uint64_t bytesSoFar = 0;
  gf::Text caption;
  auto showProgress = [&] {
    if (!live) return;
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    const double rate = seconds > 0 ? static_cast<double>(bytesSoFar) / 1024.0 / seconds : 0;
    std::fprintf(stderr, "\r\x1b[K%s  %d saved, %llu bytes, %.0f KB/s", caption.c_str(), savedSoFar,
                 static_cast<unsigned long long>(bytesSoFar), rate);
    std::fflush(stderr);
  };

  gf::RunHooks hooks;
  hooks.writeCaption = [&](const gf::Text& text) {
    caption = text;
    if (captionLog) {
      std::fprintf(captionLog, "%s\n", text.c_str());
      std::fflush(captionLog);
    }
    showProgress();
  };
  if (downloader) {
    hooks.fetch = [&](const gf::Text& url, const gf::Text& path) {
      return downloader->Fetch(url, path, &g_interrupted);
    };
  } else {
    hooks.pool = gf::PoolHooksOf(*pool);
  }
  hooks.saved = [&](int32_t, const gf::FetchResult& result) {
    ++savedSoFar;
    bytesSoFar += result.bytes;
    showProgress();
  };
  gf::RunOptions runOptions;
  runOptions.highestNumber = options.highest;
  runOptions.retries = options.retries;
  runOptions.jobs = options.jobs;

  gf::GalleryGlobals globals;
  const gf::RunReport report =
      gf::RunDownload(globals, options.address, outputDir, hooks, runOptions, &g_interrupted);
  if (live) std::fputs("\n", stderr);

  switch (report.end) {
    case gf::RunEnd::Completed:
      std::printf("%s\n", caption.c_str());
      return kExitOk;
    case gf::RunEnd::AllPresent:
      // Every number had an image, so the gallery's end was never seen: no final text.
      if (!options.quiet) {
        std::fprintf(stderr, "galleryfetch-cli: all %d numbers had an image\n", report.saved);
      }
      return kExitOk;
    case gf::RunEnd::BadAddress:
      std::fprintf(stderr, "galleryfetch-cli: cannot use the address: %s\n", report.reason.c_str());
      return kExitUsage;
    case gf::RunEnd::Cancelled:
      std::fprintf(stderr, "galleryfetch-cli: interrupted; %d images saved in %s\n", report.saved,
                   report.folder.c_str());
      return kExitInterrupted;
    case gf::RunEnd::Failed:
    case gf::RunEnd::FolderFailed:
      break;
  }
  std::printf("%s\n", caption.c_str());
  std::fprintf(stderr, "galleryfetch-cli: %s\n", report.reason.c_str());
  return kExitFailed;
}
