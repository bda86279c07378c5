// The download run: from an address text to a gallery folder holding the
// images 1, 2, 3 … up to the first number the host does not have.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>

#include "gallery/url_parser.h"
#include "support/services.h"
#include "support/text.h"

namespace gf {

inline constexpr int32_t kHighestImageNumber = 9999;

// Images in flight at once: what the programs use, and the most they allow.
inline constexpr int32_t kDefaultJobs = 4;
inline constexpr int32_t kMaxJobs = 16;

enum class RunEnd {
  Completed,     // the gallery ended: the final text was written
  AllPresent,    // every number up to the highest had an image: no final text
  Failed,        // a fetch failed for good, or a saved image could not be read back
  FolderFailed,  // the gallery folder does not exist and could not be made
  BadAddress,    // the address could not be taken apart; nothing was touched
  Cancelled,     // stopped from outside; no final text
};

struct RunReport {
  RunEnd end = RunEnd::BadAddress;
  int32_t saved = 0;       // images saved by this run, numbers 1 … saved
  int32_t lastNumber = 0;  // the number tried last
  uint64_t bytes = 0;      // bytes saved by this run
  Text folder;             // the gallery folder
  Text reason;             // what failed, for the user (English); empty when nothing did
};

struct RunOptions {
  int32_t highestNumber = kHighestImageNumber;
  int32_t retries = 3;  // further tries of a failed fetch
  // Numbers in flight at once (1 … kMaxJobs). 1 fetches one number after the
  // other through RunHooks::fetch; more look ahead through RunHooks::pool,
  // with the same captions, files and end as one by one.
  int32_t jobs = 1;
};

// The transfers of a run that looks ahead; they act as the FetchPool members
// of the same names. Empty: a FetchPool of RunOptions::jobs does them.
struct PoolHooks {
  std::function<void(int32_t id, const Text& url, const Text& filePath, int32_t delayMilliseconds)>
      start;
  std::function<std::optional<PoolCompletion>(const std::atomic<bool>* cancel)> waitAny;
  std::function<void(int32_t id)> abort;
  std::function<void()> abortAll;
};

// Hooks that drive pool, which must outlive the run.
PoolHooks PoolHooksOf(FetchPool& pool);

struct RunHooks {
  // Shows a caption in the progress label (WriteControlText of 标签1).
  std::function<void(const Text& caption)> writeCaption;
  // Fetches one image when jobs is 1; by default a Downloader does.
  std::function<FetchResult(const Text& url, const Text& path)> fetch;
  // The transfers when jobs is more than 1.
  PoolHooks pool;
  // Waits before a retry one by one (looking ahead, the pool waits instead);
  // returns false when the run was cancelled meanwhile.
  std::function<bool(int32_t milliseconds)> wait;
  // Told after each saved image (for progress lines); may be empty.
  std::function<void(int32_t number, const FetchResult& result)> saved;
};

// The caption texts of a run.
Text ProgressCaption(int32_t number);
Text FinalCaption(int32_t count);
Text FailureCaption(int32_t number, int32_t saved);

// The delay before retry k (1-based) of a failed fetch: 1, 2, 4 … seconds, or
// the host's Retry-After when it asks for 30 s or less.
int32_t RetryDelayMilliseconds(int32_t retry, const FetchResult& failed);

// The first half of a run: takes the address apart and makes the gallery
// folder. On failure it shows its caption and report.end tells what failed;
// report.end is Completed when the images can be fetched.
struct PreparedRun {
  RunReport report;
  int32_t numberWidth = 0;
  bool ready() const { return report.end == RunEnd::Completed; }
};
PreparedRun PrepareRun(GalleryGlobals& globals, const Text& address, const Text& directory,
                       const RunHooks& hooks);

// The second half: fetches the images 1, 2, 3 … of a prepared run. It writes
// only globals.fileName, so the other globals may be read meanwhile. Looking
// ahead, images are still saved, counted and captioned strictly in number
// order: the caption of a number comes when every number below it is saved.
RunReport FetchImages(GalleryGlobals& globals, const PreparedRun& prepared, const RunHooks& hooks,
                      const RunOptions& options = {}, const std::atomic<bool>* cancel = nullptr);

// A whole run. address is the text of the address box; directory is where the
// gallery folder is made. The globals are those of the program: they change
// only when the address could be taken apart, and fileName then follows the
// run. cancel may be null.
RunReport RunDownload(GalleryGlobals& globals, const Text& address, const Text& directory,
                      const RunHooks& hooks, const RunOptions& options = {},
                      const std::atomic<bool>* cancel = nullptr);

}  // namespace gf
