// The system services through which the gallery logic reaches the operating
// system: where the program lies, folders, whole-file reads and URL downloads.
// One interface; services_win32.cpp and services_posix.cpp implement it.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>

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
// separator, as recorded at start-up; a new copy at every call. Empty when
// InitializeServices has not run.
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

// True when ReadWholeFile would give the file's content, not nothing: it opens
// and reads the whole file the same way, a piece at a time, keeping none of
// it. How a saved image shows that it reads back, at the cost of one pass over
// the page cache rather than a buffer the image's size.
bool ReadsBackWithContent(const Text& path);

enum class FetchOutcome {
  Fetched,  // HTTP 2xx after redirects, at least one byte, now at the path
  Missing,  // any 4xx except 408 and 429, or an empty body: the image does not exist
  Failed,   // anything else: no answer, 5xx, 408, 429, TLS, a local write error
  Cancelled,
};

struct FetchResult {
  FetchOutcome outcome = FetchOutcome::Failed;
  int32_t httpStatus = 0;          // 0 when no HTTP answer came
  Text reason;                     // for the user: what failed, in a few words
  bool localError = false;         // the file could not be written: retrying won't help
  int32_t retryAfterSeconds = -1;  // from a Retry-After header, -1 when none
  uint64_t bytes = 0;              // body bytes written
};

struct FetchOptions {
  int32_t connectTimeoutSeconds = 30;
  // A transfer that receives nothing for this long is given up.
  int32_t stallTimeoutSeconds = 30;
  // A PEM file of certificates to trust instead of the system's (tests).
  Text caFile;
};

// Renames the file from to the name to, replacing a file there. Empty when it
// was done, else why not, for the user.
Text ReplaceWithFile(const Text& from, const Text& to);

// Removes one file; false when there was none or it could not be removed.
bool RemoveFile(const Text& path);

// One transfer of a FetchPool that has ended.
struct PoolCompletion {
  int32_t id = 0;
  FetchResult result;  // Fetched: the whole body is in the transfer's file
};

// Fetches several URLs at once, each into a file of its own that it never
// renames: what to do with a fetched file is the caller's. A file is created
// on the first byte of a good answer only and removed again unless the outcome
// is Fetched. Connections are kept alive and reused from one transfer to the
// next, at most `parallel` to one host. The outcomes are classified as
// Downloader's. Use it from one thread at a time.
class FetchPool {
 public:
  FetchPool(FetchOptions options, int32_t parallel);
  ~FetchPool();  // as AbortAll
  FetchPool(const FetchPool&) = delete;
  FetchPool& operator=(const FetchPool&) = delete;

  // Begins fetching url into filePath, after delayMilliseconds (a retry's
  // wait, which then holds up nothing else). id names the transfer in
  // WaitAny's answer and in Abort; it must not be in use. A transfer that
  // cannot even start ends at once as Failed.
  void Start(int32_t id, const Text& url, const Text& filePath, int32_t delayMilliseconds = 0);

  // The next transfer to end, each exactly once. nullopt when none is in
  // flight, or within about a second once *cancel is true; the transfers then
  // go on until aborted.
  std::optional<PoolCompletion> WaitAny(const std::atomic<bool>* cancel = nullptr);

  // Stops transfer id, which then never completes, and removes its file
  // (where a transfer takes a moment to stop, by the end of AbortAll at the
  // latest). An id not in flight is ignored.
  void Abort(int32_t id);

  // Aborts every transfer and returns, within about a second, once their
  // files are gone.
  void AbortAll();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// Fetches URLs into files. The file is written as <path>.part and renamed to
// <path> only when the outcome is Fetched; otherwise the .part is removed and
// any earlier file at <path> is left as it was. One Downloader keeps its
// connection alive from one fetch to the next; use it from one thread at a
// time. A fetch returns within about a second once *cancel becomes true. It is
// a FetchPool of one.
class Downloader {
 public:
  explicit Downloader(FetchOptions options = {});
  ~Downloader();
  Downloader(const Downloader&) = delete;
  Downloader& operator=(const Downloader&) = delete;

  FetchResult Fetch(const Text& url, const Text& path, const std::atomic<bool>* cancel = nullptr);

 private:
  FetchPool pool_;
};

}  // namespace gf
