// The system services through which the gallery logic reaches the operating
// system: where the program lies, folders, whole-file reads and URL downloads.
// One interface; services_win32.cpp and services_posix.cpp implement it.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "support/text.h"

namespace gf {

#ifdef _WIN32
inline constexpr const char* kPathSeparator = "\\";
#else
inline constexpr const char* kPathSeparator = "/";
#endif

// Start-up, once, before any other service: OLE for this thread (Windows), the
// record of the program's own location, the program directory as the current
// directory, an empty table of late-bound routines. Registers the shutdown
// steps that release what was bound and end OLE.
void InitializeServices();

// The directory that holds the running executable, without a trailing
// separator, as recorded at start-up; a new copy at every call.
Text ProgramDirectory();

// Splits an executable's full path at its last separator, stepping over
// multi-byte characters by rule. Returns the directory (empty when there is no
// separator) and stores the file name in fileName when given.
Text DirectoryOfPath(std::string_view fullPath, CharRule rule, Text* fileName = nullptr);

// Creates one directory (the parent must exist). False when it was not
// created, also when it exists already.
bool CreateFolder(const Text& path);

// True when path names an existing directory.
bool FolderExists(const Text& path);

// The whole content of a file; empty when the path is empty, the file cannot
// be opened (missing, a folder, held open for writing on Windows), is empty,
// is 2 GiB or larger, or cannot be read.
ByteBuffer ReadWholeFile(const Text& path);

enum class FetchOutcome {
  Fetched,  // HTTP 2xx after redirects, at least one byte, now at the path
  Missing,  // any 4xx except 408 and 429, or an empty body: the image does not exist
  Failed,   // anything else: no answer, 5xx, 408, 429, TLS, a local write error
  Cancelled,
};

struct FetchResult {
  FetchOutcome outcome = FetchOutcome::Failed;
  int32_t httpStatus = 0;     // 0 when no HTTP answer came
  Text reason;                // for the user: what failed, in a few words
  bool localError = false;    // the file could not be written: retrying won't help
  int32_t retryAfterSeconds = -1;  // from a Retry-After header, -1 when none
  uint64_t bytes = 0;         // body bytes written
};

struct FetchOptions {
  int32_t connectTimeoutSeconds = 30;
  // A transfer that receives nothing for this long is given up.
  int32_t stallTimeoutSeconds = 30;
  // A PEM file of certificates to trust instead of the system's (tests).
  Text caFile;
};

// Fetches URLs into files. The file is written as <path>.part and renamed to
// <path> only when the outcome is Fetched; otherwise the .part is removed and
// any earlier file at <path> is left as it was. One Downloader keeps its
// connection alive from one fetch to the next; use it from one thread at a
// time. A fetch returns within about a second once *cancel becomes true.
class Downloader {
 public:
  explicit Downloader(FetchOptions options = {});
  ~Downloader();
  Downloader(const Downloader&) = delete;
  Downloader& operator=(const Downloader&) = delete;

  FetchResult Fetch(const Text& url, const Text& path, const std::atomic<bool>* cancel = nullptr);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace gf
