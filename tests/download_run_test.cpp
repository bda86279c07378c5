#include "gallery/download_run.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <random>

#include "support/services.h"
#include "support/ui_text.h"

namespace gf {
namespace {

namespace fs = std::filesystem;

const Text kAddress =
    "https://gallery.example/img.html?img=https://img.example.test/images/img/20103/1.jpg";

// A host scripted per image number: each call answers the next outcome of its
// number's list (the last one repeats); a number without a script is missing.
// A fetched answer writes the image, as the real downloader would.
struct ScriptedHost {
  std::map<int, std::vector<FetchResult>> script;
  std::vector<Text> requests;
  std::map<int, size_t> calls;
  // Bytes a fetched answer writes; empty writes a 0-byte file.
  std::string body = "\xFF\xD8\xFF";

  FetchResult Fetch(const Text& url, const Text& path) {
    requests.push_back(url);
    const int number = std::stoi(url.substr(url.rfind('/') + 1));
    auto it = script.find(number);
    if (it == script.end()) return FetchResult{FetchOutcome::Missing, 404, "HTTP 404"};
    const size_t call = std::min(calls[number]++, it->second.size() - 1);
    const FetchResult result = it->second[call];
    if (result.outcome == FetchOutcome::Fetched) std::ofstream(path, std::ios::binary) << body;
    return result;
  }
};

const FetchResult kFetched{FetchOutcome::Fetched, 200, "", false, -1, 3};
const FetchResult kBusy{FetchOutcome::Failed, 503, "HTTP 503", false, -1, 0};
const FetchResult kDiskFull{FetchOutcome::Failed, 200, "cannot write", true, -1, 0};

class DownloadRunTest : public testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("gf_run_" + std::string(testing::UnitTest::GetInstance()->current_test_info()->name()));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  RunReport Run(ScriptedHost& host, const Text& address = kAddress, RunOptions options = {},
                std::function<bool(int32_t)> wait = nullptr) {
    RunHooks hooks;
    hooks.writeCaption = [this](const Text& c) { captions_.push_back(Utf8FromNative(c)); };
    hooks.fetch = [&host](const Text& url, const Text& path) { return host.Fetch(url, path); };
    hooks.wait = wait ? wait : [this](int32_t ms) {
      waits_.push_back(ms);
      return true;
    };
    return RunDownload(globals_, address, dir_.string(), hooks, options);
  }

  // Everything in the gallery folder, .part files included.
  std::vector<std::string> FilesInGallery(const char* gallery = "20103") const {
    std::vector<std::string> names;
    if (!fs::exists(dir_ / gallery)) return names;
    for (const auto& entry : fs::directory_iterator(dir_ / gallery)) {
      names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
  }

  fs::path dir_;
  GalleryGlobals globals_;
  std::vector<std::string> captions_;
  std::vector<int32_t> waits_;
};

std::vector<std::string> Progress(int from, int to) {
  std::vector<std::string> out;
  for (int i = from; i <= to; ++i) out.push_back("正在下载" + std::to_string(i) + "第几张");
  return out;
}

std::vector<std::string> Plus(std::vector<std::string> a, const std::string& b) {
  a.push_back(b);
  return a;
}

TEST_F(DownloadRunTest, TwelveImagesThenTheGalleryEnds) {
  ScriptedHost host;
  for (int i = 1; i <= 12; ++i) host.script[i] = {kFetched};
  const RunReport report = Run(host);
  EXPECT_EQ(report.end, RunEnd::Completed);
  EXPECT_EQ(report.saved, 12);
  EXPECT_EQ(captions_, Plus(Progress(1, 13), "共12图片，已全部下载完成"));
  EXPECT_EQ(FilesInGallery(),
            (std::vector<std::string>{"1.jpg", "10.jpg", "11.jpg", "12.jpg", "2.jpg", "3.jpg",
                                      "4.jpg", "5.jpg", "6.jpg", "7.jpg", "8.jpg", "9.jpg"}));
  EXPECT_EQ(globals_.fileName, "13.jpg");
  EXPECT_EQ(globals_.galleryId, "20103");
  EXPECT_EQ(host.requests.front(), "https://img.example.test/images/img/20103/1.jpg");
  EXPECT_EQ(host.requests.size(), 13u);  // each number once
}

TEST_F(DownloadRunTest, OutcomesOfOneNumber) {
  struct Case {
    const char* what;
    std::vector<FetchResult> image2;  // images 1 and 3 are fine, 4 is missing
    std::string body;
    RunEnd end;
    std::vector<std::string> captions;
    std::vector<int32_t> waits;
    size_t requests;
  };
  FetchResult retryAfter5 = kBusy;
  retryAfter5.retryAfterSeconds = 5;
  FetchResult retryAfter60 = kBusy;
  retryAfter60.retryAfterSeconds = 60;
  const Case cases[] = {
      {"busy twice, then saved",
       {kBusy, kBusy, kFetched},
       "\xFF",
       RunEnd::Completed,
       Plus(Progress(1, 4), "共3图片，已全部下载完成"),
       {1000, 2000},
       6},
      {"busy for good",
       {kBusy},
       "\xFF",
       RunEnd::Failed,
       Plus(Progress(1, 2), "第2张下载失败，已保存1张"),
       {1000, 2000, 4000},
       5},
      {"a local write error is not retried",
       {kDiskFull},
       "\xFF",
       RunEnd::Failed,
       Plus(Progress(1, 2), "第2张下载失败，已保存1张"),
       {},
       2},
      {"Retry-After up to 30 s is honoured",
       {retryAfter5, kFetched},
       "\xFF",
       RunEnd::Completed,
       Plus(Progress(1, 4), "共3图片，已全部下载完成"),
       {5000},
       5},
      {"a longer Retry-After is not",
       {retryAfter60, kFetched},
       "\xFF",
       RunEnd::Completed,
       Plus(Progress(1, 4), "共3图片，已全部下载完成"),
       {1000},
       5},
      {"an image starting with a zero byte counts",
       {kFetched},
       std::string("\0\0\0\x18", 4),
       RunEnd::Completed,
       Plus(Progress(1, 4), "共3图片，已全部下载完成"),
       {},
       4},
      {"a saved image that reads back empty is a failure",
       {kFetched},
       "",
       RunEnd::Failed,
       Plus(Progress(1, 2), "第2张下载失败，已保存1张"),
       {},
       2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    fs::remove_all(dir_ / "20103");
    captions_.clear();
    waits_.clear();
    ScriptedHost host;
    host.script[1] = {kFetched};
    host.script[2] = c.image2;
    host.script[3] = {kFetched};
    RunReport report;
    {
      // Only image 2 gets the case's body.
      RunHooks hooks;
      hooks.writeCaption = [this](const Text& t) { captions_.push_back(Utf8FromNative(t)); };
      hooks.fetch = [&](const Text& url, const Text& path) {
        host.body = url.find("/2.jpg") != Text::npos ? c.body : "\xFF\xD8";
        return host.Fetch(url, path);
      };
      hooks.wait = [this](int32_t ms) {
        waits_.push_back(ms);
        return true;
      };
      report = RunDownload(globals_, kAddress, dir_.string(), hooks);
    }
    EXPECT_EQ(report.end, c.end);
    EXPECT_EQ(captions_, c.captions);
    EXPECT_EQ(waits_, c.waits);
    EXPECT_EQ(host.requests.size(), c.requests);
    if (c.end == RunEnd::Failed) {
      EXPECT_FALSE(report.reason.empty());
    }
  }
}

TEST_F(DownloadRunTest, FirstImageMissing) {
  ScriptedHost host;
  EXPECT_EQ(Run(host).end, RunEnd::Completed);
  EXPECT_EQ(captions_, Plus(Progress(1, 1), "共0图片，已全部下载完成"));
  EXPECT_TRUE(FilesInGallery().empty());
  EXPECT_TRUE(fs::is_directory(dir_ / "20103"));
}

TEST_F(DownloadRunTest, EveryNumberPresentShowsNoFinalText) {
  ScriptedHost host;
  for (int i = 1; i <= 3; ++i) host.script[i] = {kFetched};
  RunOptions options;
  options.highestNumber = 3;
  const RunReport report = Run(host, kAddress, options);
  EXPECT_EQ(report.end, RunEnd::AllPresent);
  EXPECT_EQ(captions_, Progress(1, 3));
  EXPECT_EQ(globals_.fileName, "3.jpg");
}

TEST_F(DownloadRunTest, ZeroPaddedNumbers) {
  ScriptedHost host;
  for (int i = 1; i <= 2; ++i) host.script[i] = {kFetched};
  Run(host, "https://img.example.test/images/img/20103/001.png");
  EXPECT_EQ(host.requests,
            (std::vector<Text>{"https://img.example.test/images/img/20103/001.png",
                               "https://img.example.test/images/img/20103/002.png",
                               "https://img.example.test/images/img/20103/003.png"}));
  EXPECT_EQ(ImageNumber(999, 3), "999");
  EXPECT_EQ(ImageNumber(1000, 3), "1000");
}

TEST_F(DownloadRunTest, BadAddressTouchesNothing) {
  globals_ = {"https://img.example.test/images/img/", "20103", "13.jpg", ".jpg"};
  const GalleryGlobals before = globals_;
  ScriptedHost host;
  const RunReport report = Run(host, "https://gallery.example/img.html?img=nothing here");
  EXPECT_EQ(report.end, RunEnd::BadAddress);
  EXPECT_EQ(captions_, (std::vector<std::string>{"网址无法识别"}));
  EXPECT_TRUE(host.requests.empty());
  EXPECT_TRUE(fs::is_empty(dir_));
  EXPECT_EQ(globals_, before);
}

TEST_F(DownloadRunTest, FolderThatCannotBeMade) {
  std::ofstream(dir_ / "20103") << "a file where the folder belongs";
  ScriptedHost host;
  const RunReport report = Run(host);
  EXPECT_EQ(report.end, RunEnd::FolderFailed);
  EXPECT_EQ(captions_, (std::vector<std::string>{"无法创建文件夹"}));
  EXPECT_TRUE(host.requests.empty());
}

TEST_F(DownloadRunTest, CancelDuringARetryWaitEndsWithoutFinalText) {
  ScriptedHost host;
  host.script[1] = {kFetched};
  host.script[2] = {kBusy};
  const RunReport report = Run(host, kAddress, {}, [](int32_t) { return false; });
  EXPECT_EQ(report.end, RunEnd::Cancelled);
  EXPECT_EQ(captions_, Progress(1, 2));
  EXPECT_EQ(FilesInGallery(), (std::vector<std::string>{"1.jpg"}));
}

TEST_F(DownloadRunTest, CancelBeforeTheNextNumber) {
  ScriptedHost host;
  for (int i = 1; i <= 5; ++i) host.script[i] = {kFetched};
  std::atomic<bool> cancel{false};
  RunHooks hooks;
  hooks.writeCaption = [this](const Text& c) { captions_.push_back(Utf8FromNative(c)); };
  hooks.fetch = [&](const Text& url, const Text& path) {
    FetchResult r = host.Fetch(url, path);
    if (host.requests.size() == 2) cancel = true;
    return r;
  };
  const RunReport report = RunDownload(globals_, kAddress, dir_.string(), hooks, {}, &cancel);
  EXPECT_EQ(report.end, RunEnd::Cancelled);
  EXPECT_EQ(report.saved, 2);
  EXPECT_EQ(captions_, Progress(1, 2));
}

// ---------------------------------------------------------------------------
// Looking ahead

// A pool scripted per image number like ScriptedHost. Nothing ends by itself:
// each wait ends the transfer that `order` picks among those in flight, so a
// test decides the order in which they arrive. A fetched transfer writes its
// file, as the real pool would.
struct ScriptedPool {
  struct InFlight {
    int32_t id;
    Text filePath;
  };
  enum class Order { HighestFirst, LowestFirst, Shuffled };

  std::map<int, std::vector<FetchResult>> script;
  std::map<int, std::string> bodies;  // per number; "\xFF\xD8\xFF" otherwise
  Order order = Order::HighestFirst;
  // Numbers that end as soon as they are in flight, before any other.
  std::vector<int32_t> endFirst;
  // Called at every wait with the number of transfers ended so far.
  std::function<void(size_t ended)> beforeWait;

  std::vector<InFlight> inFlight;
  std::vector<int32_t> starts;  // numbers, in the order started
  std::vector<int32_t> delays;  // the waits asked for before a start, when not 0
  std::vector<int32_t> aborted;
  int abortAlls = 0;
  size_t mostInFlight = 0;
  size_t ended = 0;
  std::map<int, size_t> calls;
  std::mt19937 random{20103};

  PoolHooks Hooks() {
    PoolHooks hooks;
    hooks.start = [this](int32_t id, const Text&, const Text& filePath, int32_t delay) {
      for (const InFlight& t : inFlight) EXPECT_NE(t.id, id) << "started twice at once";
      inFlight.push_back({id, filePath});
      starts.push_back(id);
      if (delay != 0) delays.push_back(delay);
      mostInFlight = std::max(mostInFlight, inFlight.size());
    };
    hooks.waitAny = [this](const std::atomic<bool>* cancel) -> std::optional<PoolCompletion> {
      if (beforeWait) beforeWait(ended);
      if ((cancel && cancel->load()) || inFlight.empty()) return std::nullopt;
      auto pick = std::find_if(inFlight.begin(), inFlight.end(), [&](const InFlight& t) {
        return std::find(endFirst.begin(), endFirst.end(), t.id) != endFirst.end();
      });
      if (pick == inFlight.end() && order == Order::Shuffled) {
        pick = inFlight.begin() + static_cast<std::ptrdiff_t>(random() % inFlight.size());
      } else if (pick == inFlight.end()) {
        const bool highest = order == Order::HighestFirst;
        pick = std::max_element(inFlight.begin(), inFlight.end(), [&](auto& a, auto& b) {
          return highest ? a.id < b.id : a.id > b.id;
        });
      }
      const InFlight t = *pick;
      inFlight.erase(pick);
      ++ended;
      PoolCompletion done{t.id, FetchResult{FetchOutcome::Missing, 404, "HTTP 404"}};
      if (auto it = script.find(t.id); it != script.end()) {
        done.result = it->second[std::min(calls[t.id]++, it->second.size() - 1)];
      }
      if (done.result.outcome == FetchOutcome::Fetched) {
        const auto body = bodies.find(t.id);
        std::ofstream(t.filePath, std::ios::binary)
            << (body == bodies.end() ? std::string("\xFF\xD8\xFF") : body->second);
      }
      return done;
    };
    hooks.abort = [this](int32_t id) {
      aborted.push_back(id);
      std::erase_if(inFlight, [&](const InFlight& t) {
        if (t.id != id) return false;
        fs::remove(t.filePath);
        return true;
      });
    };
    hooks.abortAll = [this] {
      ++abortAlls;
      for (const InFlight& t : inFlight) fs::remove(t.filePath);
      inFlight.clear();
    };
    return hooks;
  }
};

class LookAheadTest : public DownloadRunTest {
 protected:
  // A run of jobs images at once; for each caption, filesAtCaption_ records
  // which images were in place (arrivals still held back as .part aside).
  RunReport RunAhead(ScriptedPool& pool, int32_t jobs, RunOptions options = {},
                     std::atomic<bool>* cancel = nullptr) {
    options.jobs = jobs;
    RunHooks hooks;
    hooks.writeCaption = [this](const Text& c) {
      captions_.push_back(Utf8FromNative(c));
      std::vector<std::string> inPlace = FilesInGallery();
      std::erase_if(inPlace, [](const std::string& name) { return name.ends_with(".part"); });
      filesAtCaption_.push_back(inPlace);
    };
    hooks.fetch = [](const Text&, const Text&) {
      ADD_FAILURE() << "looking ahead fetches through the pool only";
      return FetchResult{};
    };
    hooks.pool = pool.Hooks();
    hooks.saved = [this](int32_t number, const FetchResult&) { savedNumbers_.push_back(number); };
    return RunDownload(globals_, kAddress, dir_.string(), hooks, options, cancel);
  }

  void Reset() {
    fs::remove_all(dir_ / "20103");
    captions_.clear();
    filesAtCaption_.clear();
    savedNumbers_.clear();
    waits_.clear();
    globals_ = {};
  }

  std::vector<std::vector<std::string>> filesAtCaption_;
  std::vector<int32_t> savedNumbers_;
};

std::vector<std::string> Images(int count) {
  std::vector<std::string> names;
  for (int i = 1; i <= count; ++i) names.push_back(std::to_string(i) + ".jpg");
  std::sort(names.begin(), names.end());
  return names;
}

std::vector<int32_t> Numbers(int from, int to) {
  std::vector<int32_t> out;
  for (int i = from; i <= to; ++i) out.push_back(i);
  return out;
}

TEST_F(LookAheadTest, SavesInNumberOrderWhateverOrderTheTransfersEndIn) {
  using Order = ScriptedPool::Order;
  for (const Order order : {Order::HighestFirst, Order::LowestFirst, Order::Shuffled}) {
    for (const int32_t jobs : {2, 4, 16}) {
      SCOPED_TRACE(testing::Message() << "order " << static_cast<int>(order) << ", jobs " << jobs);
      Reset();
      ScriptedPool pool;
      pool.order = order;
      for (int i = 1; i <= 12; ++i) pool.script[i] = {kFetched};
      const RunReport report = RunAhead(pool, jobs);

      EXPECT_EQ(report.end, RunEnd::Completed);
      EXPECT_EQ(report.saved, 12);
      EXPECT_EQ(report.lastNumber, 13);
      EXPECT_EQ(captions_, Plus(Progress(1, 13), "共12图片，已全部下载完成"));
      // The caption of k comes when 1 … k-1 are in place and no other image is.
      for (int k = 1; k <= 13; ++k) {
        EXPECT_EQ(filesAtCaption_[static_cast<size_t>(k - 1)], Images(k - 1)) << k;
      }
      EXPECT_EQ(savedNumbers_, Numbers(1, 12));
      EXPECT_EQ(FilesInGallery(), Images(12));
      EXPECT_EQ(globals_.fileName, "13.jpg");
      EXPECT_LE(pool.mostInFlight, static_cast<size_t>(jobs));
      // Each number once; past the end, jobs - 1 at most.
      std::vector<int32_t> starts = pool.starts;
      std::sort(starts.begin(), starts.end());
      EXPECT_EQ(std::adjacent_find(starts.begin(), starts.end()), starts.end());
      EXPECT_GE(starts.back(), 13);
      EXPECT_LE(starts.back(), 12 + jobs);
      EXPECT_TRUE(pool.inFlight.empty());
    }
  }
}

// The gallery ends at a number whose later numbers exist: what arrived of them
// is dropped, what is in flight stops, and nothing past the window starts.
TEST_F(LookAheadTest, AMissingNumberInsideTheWindowEndsTheGalleryThere) {
  using Order = ScriptedPool::Order;
  for (const Order order : {Order::HighestFirst, Order::LowestFirst, Order::Shuffled}) {
    SCOPED_TRACE(static_cast<int>(order));
    Reset();
    ScriptedPool pool;
    pool.order = order;
    for (int i = 1; i <= 40; ++i) {
      if (i != 13) pool.script[i] = {kFetched};
    }
    const RunReport report = RunAhead(pool, 16);

    EXPECT_EQ(report.end, RunEnd::Completed);
    EXPECT_EQ(captions_, Plus(Progress(1, 13), "共12图片，已全部下载完成"));
    EXPECT_EQ(FilesInGallery(), Images(12));
    EXPECT_EQ(globals_.fileName, "13.jpg");
    EXPECT_LE(*std::max_element(pool.starts.begin(), pool.starts.end()), 28);
    EXPECT_TRUE(pool.inFlight.empty());
    for (const int32_t id : pool.aborted) EXPECT_GT(id, 13);
  }
}

// A number known early to end the run stops the transfers above it at once,
// and none above it starts later.
TEST_F(LookAheadTest, AnEndKnownEarlyStopsTheNumbersAboveIt) {
  const struct {
    const char* what;
    int32_t number;
    FetchResult result;
    int32_t jobs;
    std::string lastCaption;
  } cases[] = {
      {"missing 13", 13, FetchResult{FetchOutcome::Missing, 404, "HTTP 404"}, 16,
       "共12图片，已全部下载完成"},
      {"busy for good at 5", 5, kBusy, 8, "第5张下载失败，已保存4张"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Reset();
    ScriptedPool pool;
    for (int i = 1; i <= 40; ++i) pool.script[i] = {kFetched};
    pool.script[c.number] = {c.result};
    pool.endFirst = {c.number};
    RunOptions options;
    options.retries = 0;
    RunAhead(pool, c.jobs, options);
    EXPECT_EQ(captions_, Plus(Progress(1, c.number), c.lastCaption));
    EXPECT_EQ(FilesInGallery(), Images(c.number - 1));
    // Only the first window was ever started, and what was above the end in it stopped.
    EXPECT_EQ(*std::max_element(pool.starts.begin(), pool.starts.end()), c.jobs);
    EXPECT_EQ(pool.aborted, Numbers(c.number + 1, c.jobs));
  }
}

// Outcomes of one number, looked ahead and one by one: the same captions,
// files, end and waits before retries.
TEST_F(LookAheadTest, EndsAsTheRunOneByOne) {
  FetchResult retryAfter5 = kBusy;
  retryAfter5.retryAfterSeconds = 5;
  const struct {
    const char* what;
    int number;  // the number with the case's script; the others up to 12 are fine
    std::vector<FetchResult> script;
    std::string body;
  } cases[] = {
      {"busy twice, then saved", 2, {kBusy, kBusy, kFetched}, "\xFF"},
      {"busy for good at 5", 5, {kBusy}, "\xFF"},
      {"busy for good at 1", 1, {kBusy}, "\xFF"},
      {"a local write error is not retried", 5, {kDiskFull}, "\xFF"},
      {"Retry-After 5 s", 3, {retryAfter5, kFetched}, "\xFF"},
      {"missing at 7", 7, {FetchResult{FetchOutcome::Missing, 410, "HTTP 410"}}, "\xFF"},
      {"a saved image that reads back empty", 6, {kFetched}, ""},
  };
  for (const auto& c : cases) {
    for (const int32_t retries : {0, 3}) {
      SCOPED_TRACE(testing::Message() << c.what << ", retries " << retries);
      RunOptions options;
      options.retries = retries;

      Reset();
      ScriptedHost host;
      for (int i = 1; i <= 12; ++i) host.script[i] = {kFetched};
      host.script[c.number] = c.script;
      RunHooks hooks;
      hooks.writeCaption = [this](const Text& t) { captions_.push_back(Utf8FromNative(t)); };
      hooks.fetch = [&](const Text& url, const Text& path) {
        host.body = url.ends_with("/" + std::to_string(c.number) + ".jpg") ? c.body : "\xFF\xD8";
        return host.Fetch(url, path);
      };
      hooks.wait = [this](int32_t ms) {
        waits_.push_back(ms);
        return true;
      };
      const RunReport oneByOne = RunDownload(globals_, kAddress, dir_.string(), hooks, options);
      const std::vector<std::string> captionsOneByOne = captions_;
      const std::vector<std::string> filesOneByOne = FilesInGallery();
      const std::vector<int32_t> waitsOneByOne = waits_;
      const Text fileNameOneByOne = globals_.fileName;

      for (const int32_t jobs : {2, 4, 16}) {
        SCOPED_TRACE(jobs);
        Reset();
        ScriptedPool pool;
        for (int i = 1; i <= 12; ++i) pool.script[i] = {kFetched};
        pool.script[c.number] = c.script;
        pool.bodies[c.number] = c.body;
        const RunReport ahead = RunAhead(pool, jobs, options);
        EXPECT_EQ(ahead.end, oneByOne.end);
        EXPECT_EQ(ahead.saved, oneByOne.saved);
        EXPECT_EQ(ahead.reason.empty(), oneByOne.reason.empty()) << ahead.reason;
        EXPECT_EQ(captions_, captionsOneByOne);
        EXPECT_EQ(FilesInGallery(), filesOneByOne);
        EXPECT_EQ(pool.delays, waitsOneByOne);
        EXPECT_EQ(globals_.fileName, fileNameOneByOne);
        EXPECT_TRUE(pool.inFlight.empty());
      }
    }
  }
}

TEST_F(LookAheadTest, AFailedNumberWithLaterOnesArrivedKeepsNoneOfThem) {
  ScriptedPool pool;  // highest first: 6 to 8 have arrived when 5 fails
  for (int i = 1; i <= 12; ++i) pool.script[i] = {kFetched};
  pool.script[5] = {kBusy};
  RunOptions options;
  options.retries = 0;
  const RunReport report = RunAhead(pool, 4, options);
  EXPECT_EQ(report.end, RunEnd::Failed);
  EXPECT_EQ(report.saved, 4);
  EXPECT_EQ(captions_, Plus(Progress(1, 5), "第5张下载失败，已保存4张"));
  EXPECT_EQ(FilesInGallery(), Images(4));
  EXPECT_THAT(report.reason, testing::HasSubstr("HTTP 503"));
  EXPECT_THAT(report.reason, testing::HasSubstr("/20103/5.jpg"));
  EXPECT_LE(*std::max_element(pool.starts.begin(), pool.starts.end()), 8);
}

TEST_F(LookAheadTest, NoNumberAboveTheHighestStarts) {
  ScriptedPool pool;
  for (int i = 1; i <= 12; ++i) pool.script[i] = {kFetched};
  RunOptions options;
  options.highestNumber = 3;
  const RunReport report = RunAhead(pool, 16, options);
  EXPECT_EQ(report.end, RunEnd::AllPresent);
  EXPECT_EQ(captions_, Progress(1, 3));
  EXPECT_EQ(pool.starts, Numbers(1, 3));
  EXPECT_EQ(FilesInGallery(), Images(3));
}

TEST_F(LookAheadTest, CancelStopsEveryTransferAndKeepsOnlyWhatWasSaved) {
  using Order = ScriptedPool::Order;
  const struct {
    const char* what;
    Order order;
    int busyNumber;      // 0: none
    size_t cancelAfter;  // transfers ended; ignored with a busy number
    std::vector<std::string> captions;
    std::vector<std::string> files;
  } cases[] = {
      {"before anything ended", Order::LowestFirst, 0, 0, Progress(1, 1), {}},
      {"with 3 and 4 arrived, 1 not", Order::HighestFirst, 0, 2, Progress(1, 1), {}},
      {"with 1 to 3 saved", Order::LowestFirst, 0, 3, Progress(1, 4), Images(3)},
      {"during a retry wait", Order::LowestFirst, 2, 0, Progress(1, 2), Images(1)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Reset();
    ScriptedPool pool;
    pool.order = c.order;
    for (int i = 1; i <= 12; ++i) pool.script[i] = {kFetched};
    std::atomic<bool> cancel{false};
    if (c.busyNumber != 0) {
      pool.script[c.busyNumber] = {kBusy};
      pool.beforeWait = [&](size_t) {
        if (!pool.delays.empty()) cancel = true;
      };
    } else {
      pool.beforeWait = [&](size_t ended) {
        if (ended == c.cancelAfter) cancel = true;
      };
    }
    const RunReport report = RunAhead(pool, 4, {}, &cancel);
    EXPECT_EQ(report.end, RunEnd::Cancelled);
    EXPECT_EQ(captions_, c.captions);
    EXPECT_EQ(FilesInGallery(), c.files);
    EXPECT_GE(pool.abortAlls, 1);
    EXPECT_TRUE(pool.inFlight.empty());
  }
}

TEST_F(LookAheadTest, CancelledBeforeTheStartFetchesNothing) {
  ScriptedPool pool;
  std::atomic<bool> cancel{true};
  EXPECT_EQ(RunAhead(pool, 4, {}, &cancel).end, RunEnd::Cancelled);
  EXPECT_TRUE(pool.starts.empty());
  EXPECT_TRUE(captions_.empty());
}

TEST(RetryDelay, BacksOffAndHonoursShortRetryAfter) {
  FetchResult failed = kBusy;
  EXPECT_EQ(RetryDelayMilliseconds(1, failed), 1000);
  EXPECT_EQ(RetryDelayMilliseconds(2, failed), 2000);
  EXPECT_EQ(RetryDelayMilliseconds(3, failed), 4000);
  failed.retryAfterSeconds = 30;
  EXPECT_EQ(RetryDelayMilliseconds(1, failed), 30000);
  failed.retryAfterSeconds = 31;
  EXPECT_EQ(RetryDelayMilliseconds(2, failed), 2000);
}

}  // namespace
}  // namespace gf
