// The system services that are the same on every platform.
#include "support/services.h"

#include <utility>

namespace gf {

Text DirectoryOfPath(std::string_view fullPath, CharRule rule, Text* fileName) {
  const Text path = ToText(fullPath);
  // Each scan resumes just after a separator, which is always a character
  // boundary, so together they step exactly as one TextFind would and a second
  // byte that happens to equal the separator is never taken for one.
  int32_t last = -1;
  for (int32_t at = TextFind(path, kPathSeparator, 1, false, rule); at > 0;
       at = TextFind(path, kPathSeparator, at + 1, false, rule)) {
    last = at;
  }
  if (last < 0) {
    if (fileName) *fileName = path;
    return Text();
  }
  if (fileName) *fileName = path.substr(static_cast<size_t>(last));
  return path.substr(0, static_cast<size_t>(last) - 1);
}

Downloader::Downloader(FetchOptions options) : pool_(std::move(options), 1) {}

Downloader::~Downloader() = default;

FetchResult Downloader::Fetch(const Text& url, const Text& path, const std::atomic<bool>* cancel) {
  FetchResult result;
  if (path.empty()) {
    result.localError = true;
    result.reason = "no file name to write to";
    return result;
  }
  if (cancel && cancel->load()) {
    result.outcome = FetchOutcome::Cancelled;
    result.reason = "cancelled";
    return result;
  }
  const Text partPath = path + ".part";
  pool_.Start(0, url, partPath);
  std::optional<PoolCompletion> done = pool_.WaitAny(cancel);
  if (!done) {
    pool_.AbortAll();
    result.outcome = FetchOutcome::Cancelled;
    result.reason = "cancelled";
    return result;
  }
  result = std::move(done->result);
  if (result.outcome == FetchOutcome::Fetched) {
    if (Text why = ReplaceWithFile(partPath, path); !why.empty()) {
      RemoveFile(partPath);
      result.outcome = FetchOutcome::Failed;
      result.localError = true;
      result.reason = std::move(why);
    }
  }
  return result;
}

}  // namespace gf
