#include "gallery/download_run.h"

#include <algorithm>
#include <chrono>
#include <map>
#include <memory>
#include <thread>

#include "support/ui_text.h"

namespace gf {
namespace {

constexpr int32_t kMaxRetryAfterSeconds = 30;

bool Cancelled(const std::atomic<bool>* cancel) { return cancel != nullptr && cancel->load(); }

// Sleeps in short steps so that a cancel is noticed quickly.
bool SleepUnlessCancelled(int32_t milliseconds, const std::atomic<bool>* cancel) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
  while (std::chrono::steady_clock::now() < until) {
    if (Cancelled(cancel)) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return !Cancelled(cancel);
}

void Show(const RunHooks& hooks, const Text& caption) {
  if (hooks.writeCaption) hooks.writeCaption(caption);
}

// One number of a run that looks ahead, from its start until it is saved.
struct Pending {
  Text url;
  Text path;
  Text partPath;
  int32_t retries = 0;  // retries used so far
  bool ended = false;   // result is final: no transfer of it is in flight
  FetchResult result;
};

// The run with up to options.jobs numbers in flight. Whatever order the
// transfers end in, a number is saved (renamed into place, read back,
// counted) only once every number below it is, so the captions, the files
// and the end are those of the run one by one.
RunReport FetchAhead(GalleryGlobals& globals, const PreparedRun& prepared, const RunHooks& hooks,
                     const RunOptions& options, const std::atomic<bool>* cancel) {
  RunReport report = prepared.report;
  const int32_t jobs = std::clamp(options.jobs, 1, kMaxJobs);
  std::unique_ptr<FetchPool> ownPool;
  PoolHooks pool = hooks.pool;
  if (!pool.start) {
    ownPool = std::make_unique<FetchPool>(FetchOptions{}, jobs);
    pool = PoolHooksOf(*ownPool);
  }
  const auto fileName = [&](int32_t number) {
    return TextJoin({ImageNumber(number, prepared.numberWidth), globals.extension});
  };

  std::map<int32_t, Pending> pending;    // started and not yet saved, by number
  int32_t next = 1;                      // the lowest number not yet saved
  int32_t started = 0;                   // the highest number started
  int32_t last = options.highestNumber;  // no number above it can be saved

  // The run ends at number or below it: what is in flight above it stops and
  // what arrived of it goes, never renamed into place.
  const auto dropAbove = [&](int32_t number) {
    last = std::min(last, number);
    for (auto it = pending.upper_bound(number); it != pending.end(); it = pending.erase(it)) {
      if (!it->second.ended) {
        pool.abort(it->first);
      } else if (it->second.result.outcome == FetchOutcome::Fetched) {
        RemoveFile(it->second.partPath);
      }
    }
  };
  // Whatever is still in flight or held back goes, and the run returns only
  // once the files of what was aborted are gone.
  const auto end = [&](RunEnd how) {
    dropAbove(next - 1);
    pool.abortAll();
    report.end = how;
    return report;
  };
  const auto fail = [&](const Text& reason) {
    dropAbove(next);
    report.reason = reason;
    Show(hooks, FailureCaption(next, next - 1));
    return end(RunEnd::Failed);
  };
  const auto showNext = [&] {
    report.lastNumber = next;
    Show(hooks, ProgressCaption(next));
    globals.fileName = fileName(next);
  };

  if (Cancelled(cancel)) return end(RunEnd::Cancelled);
  showNext();
  for (;;) {
    while (started < std::min(last, next + jobs - 1)) {
      ++started;
      Pending& p = pending[started];
      const Text name = fileName(started);
      p.url = TextJoin({globals.baseUrl, globals.galleryId, "/", name});
      p.path = TextJoin({report.folder, kPathSeparator, name});
      p.partPath = p.path + ".part";
      pool.start(started, p.url, p.partPath, 0);
    }

    const auto lowest = pending.find(next);
    if (lowest != pending.end() && lowest->second.ended) {
      Pending& p = lowest->second;
      switch (p.result.outcome) {
        case FetchOutcome::Fetched: {
          if (Text why = ReplaceWithFile(p.partPath, p.path); !why.empty()) {
            RemoveFile(p.partPath);
            return fail(why + " (" + p.url + " -> " + p.path + ")");
          }
          // The image counts only once it reads back with content.
          if (!ReadsBackWithContent(p.path)) {
            return fail("the saved image " + p.path + " cannot be read back");
          }
          ++report.saved;
          report.bytes += p.result.bytes;
          if (hooks.saved) hooks.saved(next, p.result);
          pending.erase(lowest);
          if (++next > options.highestNumber) return end(RunEnd::AllPresent);
          if (Cancelled(cancel)) return end(RunEnd::Cancelled);
          showNext();
          continue;
        }
        case FetchOutcome::Missing:
          Show(hooks, FinalCaption(next - 1));
          return end(RunEnd::Completed);
        case FetchOutcome::Cancelled:
          return end(RunEnd::Cancelled);
        case FetchOutcome::Failed:
          return fail(p.result.reason + " (" + p.url + " -> " + p.path + ")");
      }
    }

    std::optional<PoolCompletion> done = pool.waitAny(cancel);
    if (!done) return end(RunEnd::Cancelled);
    const auto it = pending.find(done->id);
    if (it == pending.end() || it->second.ended) continue;  // news of one already let go
    Pending& p = it->second;
    FetchResult& result = done->result;
    if (result.outcome == FetchOutcome::Failed && !result.localError &&
        p.retries < options.retries) {
      // Waits in the pool, so that the numbers around it go on meanwhile.
      ++p.retries;
      pool.start(done->id, p.url, p.partPath, RetryDelayMilliseconds(p.retries, result));
      continue;
    }
    p.ended = true;
    p.result = std::move(result);
    // A number that is not saved ends the run there, or below.
    if (p.result.outcome != FetchOutcome::Fetched) dropAbove(done->id);
  }
}

}  // namespace

PoolHooks PoolHooksOf(FetchPool& pool) {
  PoolHooks hooks;
  hooks.start = [&pool](int32_t id, const Text& url, const Text& filePath, int32_t delay) {
    pool.Start(id, url, filePath, delay);
  };
  hooks.waitAny = [&pool](const std::atomic<bool>* cancel) { return pool.WaitAny(cancel); };
  hooks.abort = [&pool](int32_t id) { pool.Abort(id); };
  hooks.abortAll = [&pool] { pool.AbortAll(); };
  return hooks;
}

Text ProgressCaption(int32_t number) {
  return TextJoin({UiText(Ui::ProgressBefore), ToText(number), UiText(Ui::ProgressAfter)});
}

Text FinalCaption(int32_t count) {
  // The count is written the way a double is, which for whole numbers is
  // their plain digits.
  return TextJoin(
      {UiText(Ui::FinalBefore), ToText(static_cast<double>(count)), UiText(Ui::FinalAfter)});
}

Text FailureCaption(int32_t number, int32_t saved) {
  return TextJoin({UiText(Ui::FailedBefore), ToText(number), UiText(Ui::FailedMiddle),
                   ToText(saved), UiText(Ui::FailedAfter)});
}

int32_t RetryDelayMilliseconds(int32_t retry, const FetchResult& failed) {
  if (failed.retryAfterSeconds >= 0 && failed.retryAfterSeconds <= kMaxRetryAfterSeconds) {
    return failed.retryAfterSeconds * 1000;
  }
  return 1000 << std::clamp(retry - 1, 0, 10);
}

PreparedRun PrepareRun(GalleryGlobals& globals, const Text& address, const Text& directory,
                       const RunHooks& hooks) {
  PreparedRun prepared;
  RunReport& report = prepared.report;
  const ParseResult parse = ParseGalleryUrl(globals, address);
  if (!parse.usable) {
    Show(hooks, UiText(Ui::AddressUnusable));
    report.end = RunEnd::BadAddress;
    report.reason = parse.reason;
    return prepared;
  }
  prepared.numberWidth = parse.numberWidth;
  report.folder = TextJoin({directory, kPathSeparator, globals.galleryId});
  // An existing folder is fine; only a folder that is not there stops the run.
  CreateFolder(report.folder);
  if (!FolderExists(report.folder)) {
    Show(hooks, UiText(Ui::FolderFailed));
    report.end = RunEnd::FolderFailed;
    report.reason = "cannot create the folder " + report.folder;
    return prepared;
  }
  report.end = RunEnd::Completed;
  return prepared;
}

RunReport FetchImages(GalleryGlobals& globals, const PreparedRun& prepared, const RunHooks& hooks,
                      const RunOptions& options, const std::atomic<bool>* cancel) {
  if (options.jobs > 1) return FetchAhead(globals, prepared, hooks, options, cancel);
  RunReport report = prepared.report;
  std::unique_ptr<Downloader> ownDownloader;
  auto fetch = hooks.fetch;
  if (!fetch) {
    ownDownloader = std::make_unique<Downloader>();
    fetch = [&](const Text& url, const Text& path) {
      return ownDownloader->Fetch(url, path, cancel);
    };
  }
  auto wait = hooks.wait;
  if (!wait) wait = [cancel](int32_t ms) { return SleepUnlessCancelled(ms, cancel); };

  for (int32_t i = 1; i <= options.highestNumber; ++i) {
    if (Cancelled(cancel)) {
      report.end = RunEnd::Cancelled;
      return report;
    }
    report.lastNumber = i;
    Show(hooks, ProgressCaption(i));
    globals.fileName = TextJoin({ImageNumber(i, prepared.numberWidth), globals.extension});
    const Text url = TextJoin({globals.baseUrl, globals.galleryId, "/", globals.fileName});
    const Text path = TextJoin({report.folder, kPathSeparator, globals.fileName});

    FetchResult result = fetch(url, path);
    for (int32_t retry = 1;
         result.outcome == FetchOutcome::Failed && !result.localError && retry <= options.retries;
         ++retry) {
      if (!wait(RetryDelayMilliseconds(retry, result))) {
        result.outcome = FetchOutcome::Cancelled;
        break;
      }
      result = fetch(url, path);
    }

    switch (result.outcome) {
      case FetchOutcome::Fetched:
        // The image counts only once it reads back with content.
        if (ReadsBackWithContent(path)) {
          ++report.saved;
          report.bytes += result.bytes;
          if (hooks.saved) hooks.saved(i, result);
          continue;
        }
        report.reason = "the saved image " + path + " cannot be read back";
        break;
      case FetchOutcome::Missing:
        Show(hooks, FinalCaption(i - 1));
        report.end = RunEnd::Completed;
        return report;
      case FetchOutcome::Cancelled:
        report.end = RunEnd::Cancelled;
        return report;
      case FetchOutcome::Failed:
        report.reason = result.reason + " (" + url + " -> " + path + ")";
        break;
    }
    Show(hooks, FailureCaption(i, i - 1));
    report.end = RunEnd::Failed;
    return report;
  }
  report.end = RunEnd::AllPresent;
  return report;
}

RunReport RunDownload(GalleryGlobals& globals, const Text& address, const Text& directory,
                      const RunHooks& hooks, const RunOptions& options,
                      const std::atomic<bool>* cancel) {
  const PreparedRun prepared = PrepareRun(globals, address, directory, hooks);
  if (!prepared.ready()) return prepared.report;
  return FetchImages(globals, prepared, hooks, options, cancel);
}

}  // namespace gf
