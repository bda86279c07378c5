#include "support/services.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "image_host_process.h"

namespace gf {
namespace {

namespace fs = std::filesystem;
using testing_support::ImageHost;

// A folder of the test's own under the temporary directory, gone afterwards.
class TempFolder {
 public:
  TempFolder() {
    std::random_device random;
    for (int attempt = 0; attempt < 100; ++attempt) {
      fs::path candidate = fs::temp_directory_path() / ("gf-services-" + std::to_string(random()));
      std::error_code ec;
      if (fs::create_directory(candidate, ec)) {
        path_ = candidate;
        return;
      }
    }
  }
  ~TempFolder() {
    std::error_code ec;
    if (!path_.empty()) fs::remove_all(path_, ec);
  }
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  const fs::path& path() const { return path_; }
  Text operator/(const std::string& name) const { return (path_ / name).string(); }

 private:
  fs::path path_;
};

void WriteFile(const fs::path& path, const ByteBuffer& bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

ByteBuffer Bytes(std::string_view text) { return ByteBuffer(text.begin(), text.end()); }

// Read independently of ReadWholeFile, to check what a download left.
ByteBuffer FileBytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return ByteBuffer(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// ---------------------------------------------------------------------------
// Files and folders

TEST(ReadWholeFile, NothingForWhatHoldsNoBytes) {
  TempFolder folder;
  ASSERT_FALSE(folder.path().empty());
  fs::create_directory(folder.path() / "sub");
  WriteFile(folder.path() / "empty.bin", {});
  const struct {
    const char* what;
    Text path;
  } cases[] = {
      {"empty path", ""},
      {"missing file", folder / "absent.bin"},
      {"a folder", folder / "sub"},
      {"a 0-byte file", folder / "empty.bin"},
  };
  for (const auto& c : cases) {
    EXPECT_TRUE(ReadWholeFile(c.path).empty()) << c.what;
    EXPECT_FALSE(ReadsBackWithContent(c.path)) << c.what;
  }
}

TEST(ReadWholeFile, EveryByteZeroBytesIncluded) {
  TempFolder folder;
  ASSERT_FALSE(folder.path().empty());
  ByteBuffer large(3 * 1024 * 1024 + 7);
  for (size_t i = 0; i < large.size(); ++i) large[i] = static_cast<unsigned char>(i * 131 + 7);
  const struct {
    const char* what;
    ByteBuffer bytes;
  } cases[] = {
      {"zero bytes inside", {0x41, 0x00, 0x42, 0x00, 0x43}},
      {"one byte", {0x00}},
      {"text", Bytes("gallery 20103\r\nline two\n")},
      {"several MiB", large},
  };
  for (const auto& c : cases) {
    const fs::path path = folder.path() / "file.bin";
    WriteFile(path, c.bytes);
    EXPECT_EQ(ReadWholeFile(path.string()), c.bytes) << c.what;
    EXPECT_TRUE(ReadsBackWithContent(path.string())) << c.what;
  }
}

TEST(CreateFolder, OneLevelAndOnlyWhenNew) {
  TempFolder folder;
  ASSERT_FALSE(folder.path().empty());

  const Text fresh = folder / "20103";
  EXPECT_TRUE(CreateFolder(fresh));
  EXPECT_TRUE(fs::is_directory(fresh));

  // Existing: refused, and what is inside stays.
  WriteFile(fs::path(fresh) / "1.jpg", Bytes("earlier"));
  EXPECT_FALSE(CreateFolder(fresh));
  EXPECT_EQ(FileBytes(fs::path(fresh) / "1.jpg"), Bytes("earlier"));

  // Missing parent: nothing is made on the way.
  const fs::path deep = folder.path() / "missing" / "20103";
  EXPECT_FALSE(CreateFolder(deep.string()));
  EXPECT_FALSE(fs::exists(folder.path() / "missing"));

  EXPECT_FALSE(CreateFolder(""));
}

TEST(FolderExists, OnlyForDirectories) {
  TempFolder folder;
  ASSERT_FALSE(folder.path().empty());
  WriteFile(folder.path() / "file.bin", Bytes("x"));
  const struct {
    const char* what;
    Text path;
    bool expected;
  } cases[] = {
      {"a folder", folder.path().string(), true},
      {"a file", folder / "file.bin", false},
      {"missing", folder / "absent", false},
      {"empty path", "", false},
  };
  for (const auto& c : cases) EXPECT_EQ(FolderExists(c.path), c.expected) << c.what;
}

TEST(DirectoryOfPath, CutsAtTheLastSeparatorOutsideCharacters) {
  const std::string sep = kPathSeparator;
  // A double-byte character whose second byte is the separator byte of the
  // platform (0x5C on Windows, as in many code-page 936 characters).
  const std::string wide = std::string("\xB1") + sep;
  const struct {
    const char* what;
    std::string path;
    CharRule rule;
    std::string directory;
    std::string fileName;
  } cases[] = {
      {"absolute", sep + "a" + sep + "b" + sep + "prog", CharRule::Utf8, sep + "a" + sep + "b",
       "prog"},
      {"no separator", "prog", CharRule::Utf8, "", "prog"},
      {"at the root", sep + "prog", CharRule::Utf8, "", "prog"},
      {"trailing separator", "dir" + sep, CharRule::Utf8, "dir", ""},
      {"empty", "", CharRule::Utf8, "", ""},
      {"drive", "C:" + sep + "x.exe", CharRule::DoubleByte, "C:", "x.exe"},
      {"second byte is not a separator", "C:" + sep + wide + sep + "x.exe", CharRule::DoubleByte,
       "C:" + sep + wide, "x.exe"},
      {"only separator inside a character", wide + "x.exe", CharRule::DoubleByte, "",
       wide + "x.exe"},
      // UTF-8 has no such pairs: the lone 0xB1 is a byte of its own.
      {"same bytes as UTF-8", wide + "x.exe", CharRule::Utf8, "\xB1", "x.exe"},
      {"UTF-8 names", sep + "\xE5\x9B\xBE" + sep + "\xE7\x89\x87", CharRule::Utf8,
       sep + "\xE5\x9B\xBE", "\xE7\x89\x87"},
  };
  for (const auto& c : cases) {
    Text fileName = "stale";
    EXPECT_EQ(DirectoryOfPath(c.path, c.rule, &fileName), c.directory) << c.what;
    EXPECT_EQ(fileName, c.fileName) << c.what;
    EXPECT_EQ(DirectoryOfPath(c.path, c.rule), c.directory) << c.what << " (no file name)";
  }
}

TEST(InitializeServices, RecordsAndEntersTheProgramDirectory) {
  InitializeServices();
  const Text first = ProgramDirectory();
  ASSERT_FALSE(first.empty());
  EXPECT_TRUE(FolderExists(first));
  EXPECT_TRUE(fs::equivalent(fs::current_path(), first));

  // Again: no harm, same answer.
  InitializeServices();
  EXPECT_EQ(ProgramDirectory(), first);
}

// ---------------------------------------------------------------------------
// Downloads against the local image host

const std::string kGallery = "20103";

std::string ImageUrl(const ImageHost& host, int number, const std::string& ext = "jpg") {
  return host.origin() + "/images/img/" + kGallery + "/" + std::to_string(number) + "." + ext;
}

class DownloaderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(folder_.path().empty());
#ifndef _WIN32
    // The tests speak to 127.0.0.1 only, never through a proxy.
    for (const char* name :
         {"http_proxy", "https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"}) {
      unsetenv(name);
    }
#endif
  }

  // The host with its options; --https also writes the certificate to trust.
  std::unique_ptr<ImageHost> StartHost(std::vector<std::string> options, bool https = false) {
    if (https) options.insert(options.end(), {"--https", "--cert-out", CertFile()});
    return std::make_unique<ImageHost>(options);
  }
  Text CertFile() const { return folder_ / "host-cert.pem"; }

  // Neither the file nor its .part.
  void ExpectNothingAt(const Text& path, const std::string& what) {
    EXPECT_FALSE(fs::exists(path)) << what;
    EXPECT_FALSE(fs::exists(path + ".part")) << what;
  }

  TempFolder folder_;
};

TEST_F(DownloaderTest, FetchesAGalleryByteForByteOverOneDownloader) {
  // Served from files, so the exact bytes are known; sizes from one byte to
  // many of libcurl's chunks.
  const fs::path served = folder_.path() / "served" / kGallery;
  fs::create_directories(served);
  std::vector<ByteBuffer> images;
  std::mt19937 random(20103);
  for (int n = 1; n <= 12; ++n) {
    ByteBuffer bytes(n == 1 ? 1 : static_cast<size_t>(n) * 41'000 + static_cast<size_t>(n));
    for (unsigned char& b : bytes) b = static_cast<unsigned char>(random());
    WriteFile(served / (std::to_string(n) + ".jpg"), bytes);
    images.push_back(std::move(bytes));
  }
  const auto host = StartHost({"--root", (folder_.path() / "served").string()});
  ASSERT_TRUE(host->ok());

  const fs::path out = folder_.path() / "out";
  fs::create_directory(out);
  Downloader downloader;
  for (int n = 1; n <= 12; ++n) {
    const Text path = (out / (std::to_string(n) + ".jpg")).string();
    const FetchResult r = downloader.Fetch(ImageUrl(*host, n), path);
    const ByteBuffer& expected = images[static_cast<size_t>(n - 1)];
    EXPECT_EQ(r.outcome, FetchOutcome::Fetched) << n << ": " << r.reason;
    EXPECT_EQ(r.httpStatus, 200) << n;
    EXPECT_EQ(r.bytes, expected.size()) << n;
    EXPECT_EQ(r.retryAfterSeconds, -1) << n;
    EXPECT_FALSE(r.localError) << n;
    EXPECT_TRUE(FileBytes(path) == expected) << n;
    EXPECT_TRUE(ReadWholeFile(path) == expected) << n;
    EXPECT_FALSE(fs::exists(path + ".part")) << n;
  }
  std::vector<std::string> expectedLog;
  for (int n = 1; n <= 12; ++n) {
    expectedLog.push_back("GET /images/img/" + kGallery + "/" + std::to_string(n) + ".jpg 200");
  }
  EXPECT_EQ(host->RequestLog(), expectedLog);
}

TEST_F(DownloaderTest, FetchedVariants) {
  const struct {
    const char* what;
    std::vector<std::string> options;
    bool https;
    ByteBuffer start;
  } cases[] = {
      {"synthetic JPEG", {}, false, {0xFF, 0xD8, 0xFF}},
      {"first byte zero", {"--zero-first-number", "1"}, false, {0x00, 0x00, 0x00, 0x18, 'f', 't'}},
      {"after a redirect", {"--redirect"}, false, {0xFF, 0xD8, 0xFF}},
      {"HTTPS with the host's certificate trusted", {}, true, {0xFF, 0xD8, 0xFF}},
  };
  for (const auto& c : cases) {
    const auto host = StartHost(c.options, c.https);
    ASSERT_TRUE(host->ok()) << c.what;
    FetchOptions options;
    if (c.https) options.caFile = CertFile();
    Downloader downloader(options);
    const Text path = folder_ / "1.jpg";
    const FetchResult r = downloader.Fetch(ImageUrl(*host, 1), path);
#ifdef _WIN32
    // The Windows service trusts the system's store only and says so.
    if (c.https) {
      EXPECT_EQ(r.outcome, FetchOutcome::Failed) << c.what;
      EXPECT_TRUE(r.localError) << c.what;
      EXPECT_NE(r.reason.find("not supported"), Text::npos) << r.reason;
      EXPECT_FALSE(fs::exists(path)) << c.what;
      continue;
    }
#endif
    EXPECT_EQ(r.outcome, FetchOutcome::Fetched) << c.what << ": " << r.reason;
    EXPECT_EQ(r.httpStatus, 200) << c.what;
    EXPECT_EQ(r.bytes, 2048u) << c.what;
    const ByteBuffer bytes = FileBytes(path);
    ASSERT_EQ(bytes.size(), 2048u) << c.what;
    EXPECT_TRUE(std::equal(c.start.begin(), c.start.end(), bytes.begin())) << c.what;
    EXPECT_FALSE(fs::exists(path + ".part")) << c.what;
    fs::remove(path);
  }
}

// Every answer that is not an image: the outcome, and that the path is left
// exactly as it was, with no file or an earlier good one.
TEST_F(DownloaderTest, AnswersThatAreNotImagesLeaveThePathAlone) {
  constexpr int kAny = -1;
  const struct {
    const char* what;
    std::vector<std::string> options;
    bool https;
    int number;
    FetchOutcome outcome;
    int status;  // kAny: not checked
    const char* reasonHas;
  } cases[] = {
      {"404 with an HTML page", {}, false, 99, FetchOutcome::Missing, 404, "HTTP 404"},
      {"410", {"--missing-status", "410"}, false, 99, FetchOutcome::Missing, 410, "HTTP 410"},
      {"empty 200", {"--empty-number", "3"}, false, 3, FetchOutcome::Missing, 200, ""},
      {"408 asks to come again",
       {"--missing-status", "408"},
       false,
       99,
       FetchOutcome::Failed,
       408,
       "HTTP 408"},
      {"429 asks to come again",
       {"--missing-status", "429"},
       false,
       99,
       FetchOutcome::Failed,
       429,
       "HTTP 429"},
      {"503 that stays", {"--fail-number", "3"}, false, 3, FetchOutcome::Failed, 503, "HTTP 503"},
      {"body cut off", {"--cut-after", "3:1000"}, false, 3, FetchOutcome::Failed, 200, ""},
      {"connection reset", {"--reset-number", "3"}, false, 3, FetchOutcome::Failed, 0, ""},
      {"redirect loop",
       {"--redirect-loop-number", "3"},
       false,
       3,
       FetchOutcome::Failed,
       kAny,
       "redirect"},
      {"redirect to a local file",
       {"--redirect-file-number", "3"},
       false,
       3,
       FetchOutcome::Failed,
       kAny,
       ""},
      {"self-signed certificate not trusted", {}, true, 3, FetchOutcome::Failed, 0, "certificate"},
  };
  const std::string host127 = "127.0.0.1:";
  for (const auto& c : cases) {
    const auto host = StartHost(c.options, c.https);
    ASSERT_TRUE(host->ok()) << c.what;
    Downloader downloader;  // no caFile: the system's certificates only
    const Text path = folder_ / "3.jpg";

    const FetchResult r = downloader.Fetch(ImageUrl(*host, c.number), path);
    EXPECT_EQ(r.outcome, c.outcome) << c.what << ": " << r.reason;
    if (c.status != kAny) {
      EXPECT_EQ(r.httpStatus, c.status) << c.what;
    }
    EXPECT_THAT(r.reason, ::testing::HasSubstr(c.reasonHas)) << c.what;
    EXPECT_FALSE(r.reason.empty()) << c.what;
    EXPECT_FALSE(r.localError) << c.what;
    ExpectNothingAt(path, c.what);

    const ByteBuffer earlier = Bytes("an earlier good image");
    WriteFile(path, earlier);
    const FetchResult again = downloader.Fetch(ImageUrl(*host, c.number), path);
    EXPECT_EQ(again.outcome, c.outcome) << c.what << " (again): " << again.reason;
    EXPECT_EQ(FileBytes(path), earlier) << c.what;
    EXPECT_FALSE(fs::exists(path + ".part")) << c.what;
    fs::remove(path);
  }
}

TEST_F(DownloaderTest, ReasonsNameTheHost) {
  const struct {
    const char* what;
    std::vector<std::string> options;
    int number;
  } cases[] = {
      {"404", {}, 99},
      {"503", {"--fail-number", "3"}, 3},
      {"cut off", {"--cut-after", "3:1000"}, 3},
  };
  for (const auto& c : cases) {
    const auto host = StartHost(c.options);
    ASSERT_TRUE(host->ok()) << c.what;
    Downloader downloader;
    const FetchResult r = downloader.Fetch(ImageUrl(*host, c.number), folder_ / "x.jpg");
    EXPECT_THAT(r.reason, ::testing::HasSubstr("127.0.0.1:" + std::to_string(host->port())))
        << c.what;
  }
}

TEST_F(DownloaderTest, RedirectToALocalFileReadsNothing) {
  const auto host = StartHost({"--redirect-file-number", "3"});
  ASSERT_TRUE(host->ok());
  Downloader downloader;
  const Text path = folder_ / "3.jpg";
  const FetchResult r = downloader.Fetch(ImageUrl(*host, 3), path);
  EXPECT_EQ(r.outcome, FetchOutcome::Failed) << r.reason;
  EXPECT_EQ(r.bytes, 0u);
  ExpectNothingAt(path, "file redirect");
}

TEST_F(DownloaderTest, RefusedConnection) {
  int deadPort = 0;
  {
    // A port that was just free and that nothing listens on any more.
    const auto host = StartHost({});
    ASSERT_TRUE(host->ok());
    deadPort = host->port();
  }
  Downloader downloader;
  const Text path = folder_ / "1.jpg";
  const std::string url =
      "http://127.0.0.1:" + std::to_string(deadPort) + "/images/img/20103/1.jpg";
  const FetchResult r = downloader.Fetch(url, path);
  EXPECT_EQ(r.outcome, FetchOutcome::Failed);
  EXPECT_EQ(r.httpStatus, 0);
  EXPECT_FALSE(r.localError);
  EXPECT_THAT(r.reason, ::testing::HasSubstr("refused"));
  EXPECT_THAT(r.reason, ::testing::HasSubstr("127.0.0.1:" + std::to_string(deadPort)));
  ExpectNothingAt(path, "refused");
}

TEST_F(DownloaderTest, RetryAfterOfTheFinalAnswerOnly) {
  const auto host = StartHost({"--fail-first", "1", "--retry-after", "7"});
  ASSERT_TRUE(host->ok());
  Downloader downloader;
  const Text path = folder_ / "1.jpg";

  const FetchResult busy = downloader.Fetch(ImageUrl(*host, 1), path);
  EXPECT_EQ(busy.outcome, FetchOutcome::Failed);
  EXPECT_EQ(busy.httpStatus, 503);
  EXPECT_EQ(busy.retryAfterSeconds, 7);

  // The next answer has none: nothing is carried over from the last fetch.
  const FetchResult fetched = downloader.Fetch(ImageUrl(*host, 1), path);
  EXPECT_EQ(fetched.outcome, FetchOutcome::Fetched) << fetched.reason;
  EXPECT_EQ(fetched.retryAfterSeconds, -1);
}

TEST_F(DownloaderTest, StalledAnswerIsGivenUp) {
  const auto host = StartHost({"--stall-number", "2"});
  ASSERT_TRUE(host->ok());
  FetchOptions options;
  options.stallTimeoutSeconds = 1;
  Downloader downloader(options);
  const Text path = folder_ / "2.jpg";
  const FetchResult r = downloader.Fetch(ImageUrl(*host, 2), path);
  EXPECT_EQ(r.outcome, FetchOutcome::Failed);
  EXPECT_EQ(r.httpStatus, 0);
  EXPECT_FALSE(r.reason.empty());
  ExpectNothingAt(path, "stalled");
}

TEST_F(DownloaderTest, CancelEndsAStalledFetch) {
  const auto host = StartHost({"--stall-number", "2"});
  ASSERT_TRUE(host->ok());
  Downloader downloader;  // a 30 s stall limit: only the cancel can end it soon
  const Text path = folder_ / "2.jpg";
  std::atomic<bool> cancel{false};

  std::promise<FetchResult> done;
  std::future<FetchResult> result = done.get_future();
  std::thread worker([&] { done.set_value(downloader.Fetch(ImageUrl(*host, 2), path, &cancel)); });

  // Cancel once the host holds the request.
  auto stalled = [&] {
    for (const std::string& line : host->RequestLog()) {
      if (line == "GET /images/img/20103/2.jpg stall") return true;
    }
    return false;
  };
  for (int i = 0; i < 1000 && !stalled(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_TRUE(stalled());
  const auto cancelledAt = std::chrono::steady_clock::now();
  cancel = true;

  // A generous bound that only keeps a broken cancel from hanging the run.
  const bool returned = result.wait_for(std::chrono::seconds(20)) == std::future_status::ready;
  const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now() - cancelledAt);
  worker.join();
  ASSERT_TRUE(returned);
  std::printf("fetch returned %lld ms after the cancel\n", static_cast<long long>(took.count()));
  const FetchResult r = result.get();
  EXPECT_EQ(r.outcome, FetchOutcome::Cancelled) << r.reason;
  ExpectNothingAt(path, "cancelled");

  // Already cancelled: no request at all.
  const size_t requests = host->RequestLog().size();
  EXPECT_EQ(downloader.Fetch(ImageUrl(*host, 1), path, &cancel).outcome, FetchOutcome::Cancelled);
  EXPECT_EQ(host->RequestLog().size(), requests);
  ExpectNothingAt(path, "cancelled before the start");
}

TEST_F(DownloaderTest, UnwritablePathIsALocalError) {
  const auto host = StartHost({});
  ASSERT_TRUE(host->ok());
  Downloader downloader;
  const Text path = (folder_.path() / "no-such-folder" / "1.jpg").string();

  const FetchResult r = downloader.Fetch(ImageUrl(*host, 1), path);
  EXPECT_EQ(r.outcome, FetchOutcome::Failed);
  EXPECT_TRUE(r.localError);
  EXPECT_THAT(r.reason, ::testing::HasSubstr(path));
  ExpectNothingAt(path, "unwritable");

  // A missing image writes nothing, so the same place is no local error then.
  const FetchResult missing = downloader.Fetch(ImageUrl(*host, 99), path);
  EXPECT_EQ(missing.outcome, FetchOutcome::Missing) << missing.reason;
  EXPECT_FALSE(missing.localError);
}

// ---------------------------------------------------------------------------
// FetchPool against the local image host

// Waits for every transfer in flight; the completions by id.
std::map<int32_t, FetchResult> WaitAll(FetchPool& pool) {
  std::map<int32_t, FetchResult> results;
  while (std::optional<PoolCompletion> done = pool.WaitAny()) {
    EXPECT_EQ(results.count(done->id), 0u) << "completed twice: " << done->id;
    results[done->id] = done->result;
  }
  return results;
}

using FetchPoolTest = DownloaderTest;

TEST_F(FetchPoolTest, FetchesSeveralIntoFilesItLeavesWhereTheyAre) {
  const auto host = StartHost({"--count", "8", "--fail-number", "3"});
  ASSERT_TRUE(host->ok());
  FetchPool pool({}, 4);
  for (int n = 1; n <= 10; ++n) {
    pool.Start(n, ImageUrl(*host, n), folder_ / (std::to_string(n) + ".jpg.part"));
  }
  const std::map<int32_t, FetchResult> results = WaitAll(pool);
  ASSERT_EQ(results.size(), 10u);
  for (const auto& [n, r] : results) {
    const Text part = folder_ / (std::to_string(n) + ".jpg.part");
    const FetchOutcome expected = n == 3  ? FetchOutcome::Failed
                                  : n > 8 ? FetchOutcome::Missing
                                          : FetchOutcome::Fetched;
    EXPECT_EQ(r.outcome, expected) << n << ": " << r.reason;
    EXPECT_FALSE(fs::exists(folder_ / (std::to_string(n) + ".jpg"))) << n;
    if (expected == FetchOutcome::Fetched) {
      EXPECT_EQ(r.bytes, 2048u) << n;
      EXPECT_EQ(FileBytes(part).size(), 2048u) << n;
    } else {
      EXPECT_FALSE(fs::exists(part)) << n;
    }
  }
  EXPECT_EQ(results.at(3).httpStatus, 503);
  // Nothing in flight: no wait.
  EXPECT_FALSE(pool.WaitAny().has_value());
}

TEST_F(FetchPoolTest, AbortedTransfersLeaveNoFileAndNeverComplete) {
  const auto host = StartHost({"--count", "4", "--stall-number", "2"});
  ASSERT_TRUE(host->ok());
  FetchPool pool({}, 4);
  const Text stalled = folder_ / "2.jpg.part";
  const Text fetched = folder_ / "1.jpg.part";
  pool.Start(1, ImageUrl(*host, 1), fetched);
  pool.Start(2, ImageUrl(*host, 2), stalled);
  // Long enough never to start while the test runs.
  pool.Start(3, ImageUrl(*host, 3), folder_ / "3.jpg.part", 600'000);
  std::optional<PoolCompletion> first = pool.WaitAny();
  ASSERT_TRUE(first.has_value());
  EXPECT_EQ(first->id, 1);
  EXPECT_EQ(first->result.outcome, FetchOutcome::Fetched) << first->result.reason;

  pool.Abort(2);
  pool.Abort(3);
  EXPECT_FALSE(pool.WaitAny().has_value());
  pool.AbortAll();
  EXPECT_FALSE(fs::exists(stalled));
  EXPECT_FALSE(fs::exists(folder_ / "3.jpg.part"));
  // A file handed out is the caller's: aborting does not touch it.
  EXPECT_EQ(FileBytes(fetched).size(), 2048u);
  for (const std::string& line : host->RequestLog()) {
    EXPECT_EQ(line.find("/3.jpg"), std::string::npos) << "a delayed start was made: " << line;
  }
}

TEST_F(FetchPoolTest, AbortAllRemovesWhatWasNotHandedOut) {
  const auto host = StartHost({"--count", "4", "--stall-number", "4"});
  ASSERT_TRUE(host->ok());
  FetchPool pool({}, 4);
  for (int n = 1; n <= 4; ++n) {
    pool.Start(n, ImageUrl(*host, n), folder_ / (std::to_string(n) + ".jpg.part"));
  }
  // 1 to 3 end, one of them is handed out; 4 stalls.
  std::optional<PoolCompletion> first = pool.WaitAny();
  ASSERT_TRUE(first.has_value());
  for (int i = 0; i < 1000; ++i) {
    size_t arrived = 0;
    for (int n = 1; n <= 3; ++n) arrived += fs::exists(folder_ / (std::to_string(n) + ".jpg.part"));
    if (arrived == 3) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  pool.AbortAll();
  for (int n = 1; n <= 4; ++n) {
    const bool kept = n == first->id;
    EXPECT_EQ(fs::exists(folder_ / (std::to_string(n) + ".jpg.part")), kept) << n;
  }
  EXPECT_FALSE(pool.WaitAny().has_value());
}

TEST_F(FetchPoolTest, CancelEndsTheWaitAndTheTransfersGoOn) {
  const auto host = StartHost({"--count", "4", "--stall-number", "1"});
  ASSERT_TRUE(host->ok());
  FetchPool pool({}, 2);
  pool.Start(1, ImageUrl(*host, 1), folder_ / "1.jpg.part");
  std::atomic<bool> cancel{true};
  EXPECT_FALSE(pool.WaitAny(&cancel).has_value());
  // Still in flight after the cancelled wait: 2 ends while 1 stalls on.
  pool.Start(2, ImageUrl(*host, 2), folder_ / "2.jpg.part");
  std::optional<PoolCompletion> done = pool.WaitAny();
  ASSERT_TRUE(done.has_value());
  EXPECT_EQ(done->id, 2);
  EXPECT_EQ(done->result.outcome, FetchOutcome::Fetched) << done->result.reason;
  pool.AbortAll();
  EXPECT_FALSE(fs::exists(folder_ / "1.jpg.part"));
}

TEST_F(FetchPoolTest, ADelayedStartHappens) {
  const auto host = StartHost({"--count", "2"});
  ASSERT_TRUE(host->ok());
  FetchPool pool({}, 2);
  pool.Start(2, ImageUrl(*host, 2), folder_ / "2.jpg.part", 200);
  std::optional<PoolCompletion> done = pool.WaitAny();
  ASSERT_TRUE(done.has_value());
  EXPECT_EQ(done->result.outcome, FetchOutcome::Fetched) << done->result.reason;
  EXPECT_EQ(host->RequestLog(), std::vector<std::string>{"GET /images/img/20103/2.jpg 200"});
}

}  // namespace
}  // namespace gf
