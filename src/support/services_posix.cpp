// The system services on Linux: the program's location from /proc, folders and
// whole-file reads through POSIX calls, downloads through libcurl.
#include <curl/curl.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstring>
#include <deque>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "support/runtime.h"
#include "support/services.h"

namespace gf {
namespace {

// Owns one file descriptor and closes it on every path out.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  ~UniqueFd() { Close(); }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) {
      Close();
      fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
  }

  bool valid() const { return fd_ >= 0; }
  int get() const { return fd_; }

  // Closes now; returns 0 or the errno of a failed close, which can be the
  // first news of a write the kernel could not complete. Linux releases the
  // descriptor even then, so it is never closed twice.
  int Close() {
    if (fd_ < 0) return 0;
    const int rc = ::close(fd_);
    fd_ = -1;
    return rc == 0 ? 0 : errno;
  }

 private:
  int fd_ = -1;
};

struct ServiceState {
  Text programDirectory;
  bool curlStarted = false;
};

ServiceState& Services() {
  static ServiceState state;
  return state;
}

void EndCurl() {
  ServiceState& s = Services();
  if (!s.curlStarted) return;
  curl_global_cleanup();
  s.curlStarted = false;
}

// readlink does not say whether it cut the path short, so grow until it fits.
bool ReadOwnPath(Text* path) {
  for (size_t capacity = PATH_MAX; capacity <= 16 * PATH_MAX; capacity *= 2) {
    Text buffer(capacity, '\0');
    const ssize_t n = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (n <= 0) return false;
    if (static_cast<size_t>(n) < buffer.size()) {
      buffer.resize(static_cast<size_t>(n));
      *path = std::move(buffer);
      return true;
    }
  }
  return false;
}

// ---------------------------------------------------------------------------
// Downloads

// Body bytes go to the file in whole pieces of this size: few writes, each
// starting on a page, where libcurl hands the body over in pieces of 16 KiB
// that start wherever the headers ended. Written that way a large image
// arrives measurably sooner.
constexpr size_t kWritePieceBytes = 256 * 1024;

// What one transfer gathers from libcurl's callbacks.
struct Transfer {
  CURL* curl = nullptr;
  const Text* partPath = nullptr;
  UniqueFd part;
  std::vector<char> unwritten;  // body bytes not yet in the file
  uint64_t bytes = 0;
  int writeErrno = 0;  // non-zero: the file could not be created or written
  int32_t retryAfterSeconds = -1;
};

// Writes the whole pieces gathered so far, or everything when all is true.
// False, with writeErrno set, when the file refuses them.
bool WriteOut(Transfer& t, bool all) {
  const size_t size =
      all ? t.unwritten.size() : t.unwritten.size() - t.unwritten.size() % kWritePieceBytes;
  size_t done = 0;
  while (done < size) {
    const ssize_t w = ::write(t.part.get(), t.unwritten.data() + done, size - done);
    if (w < 0) {
      if (errno == EINTR) continue;
      t.writeErrno = errno;
      t.unwritten.clear();
      return false;
    }
    done += static_cast<size_t>(w);
  }
  t.unwritten.erase(t.unwritten.begin(), t.unwritten.begin() + static_cast<std::ptrdiff_t>(size));
  return true;
}

// strerror's buffer is shared between threads; downloads run on several. g++
// always builds with _GNU_SOURCE, hence the GNU form that returns the text.
Text ErrnoText(int error) {
  char buffer[256];
  return ToText(strerror_r(error, buffer, sizeof buffer));
}

bool IsSuccess(long status) { return status >= 200 && status <= 299; }

size_t WriteBody(char* data, size_t size, size_t count, void* user) {
  Transfer& t = *static_cast<Transfer*>(user);
  const size_t n = size * count;
  if (n == 0) return 0;
  long status = 0;
  curl_easy_getinfo(t.curl, CURLINFO_RESPONSE_CODE, &status);
  // An error page is read and dropped, so that the connection stays usable for
  // the next image; it never reaches the disk.
  if (!IsSuccess(status)) return n;
  if (!t.part.valid()) {
    // Opened on the first byte of a good answer only, so a missing image leaves
    // no trace at all.
    UniqueFd opened(::open(t.partPath->c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
    if (!opened.valid()) {
      t.writeErrno = errno;
      return 0;  // anything but n ends the transfer with CURLE_WRITE_ERROR
    }
    t.part = std::move(opened);
    t.unwritten.reserve(kWritePieceBytes + CURL_MAX_WRITE_SIZE);
  }
  t.unwritten.insert(t.unwritten.end(), data, data + n);
  if (t.unwritten.size() >= kWritePieceBytes && !WriteOut(t, false)) return 0;
  t.bytes += n;
  return n;
}

bool StartsWithIgnoringCase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i) {
    char a = text[i];
    if (a >= 'A' && a <= 'Z') a = static_cast<char>(a - 'A' + 'a');
    if (a != prefix[i]) return false;
  }
  return true;
}

// The delta-seconds form only; an HTTP date or anything odd gives -1.
int32_t ParseRetryAfter(std::string_view value) {
  auto isBlank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
  while (!value.empty() && isBlank(value.front())) value.remove_prefix(1);
  while (!value.empty() && isBlank(value.back())) value.remove_suffix(1);
  if (value.empty()) return -1;
  int64_t seconds = 0;
  for (char c : value) {
    if (c < '0' || c > '9') return -1;
    seconds = seconds * 10 + (c - '0');
    if (seconds > INT32_MAX) seconds = INT32_MAX;
  }
  return static_cast<int32_t>(seconds);
}

size_t ReadHeader(char* data, size_t size, size_t count, void* user) {
  Transfer& t = *static_cast<Transfer*>(user);
  const size_t n = size * count;
  const std::string_view line(data, n);
  // Headers of every response pass here, redirects included; only the final
  // response's Retry-After counts.
  constexpr std::string_view kRetryAfter = "retry-after:";
  if (line.starts_with("HTTP/")) {
    t.retryAfterSeconds = -1;
  } else if (StartsWithIgnoringCase(line, kRetryAfter)) {
    t.retryAfterSeconds = ParseRetryAfter(line.substr(kRetryAfter.size()));
  }
  return n;
}

// "host:port" of an address, for the reasons; the address itself when it
// cannot be taken apart.
Text HostOf(const char* url) {
  if (!url || !*url) return Text();
  Text label = url;
  CURLU* parts = curl_url();
  if (!parts) return label;
  if (curl_url_set(parts, CURLUPART_URL, url, 0) == CURLUE_OK) {
    char* host = nullptr;
    char* port = nullptr;
    if (curl_url_get(parts, CURLUPART_HOST, &host, 0) == CURLUE_OK &&
        curl_url_get(parts, CURLUPART_PORT, &port, CURLU_DEFAULT_PORT) == CURLUE_OK) {
      label = TextJoin({host, ":", port});
    }
    curl_free(host);
    curl_free(port);
  }
  curl_url_cleanup(parts);
  return label;
}

// curl's own detail, or its generic text for the code when it left none.
Text Detail(CURLcode code, const char* errorBuffer) {
  return ToText(errorBuffer[0] ? errorBuffer : curl_easy_strerror(code));
}

Text NetworkReason(CURLcode code, CURL* curl, const char* errorBuffer, const Text& url,
                   const FetchOptions& options, const Transfer& t) {
  char* effective = nullptr;
  curl_easy_getinfo(curl, CURLINFO_EFFECTIVE_URL, &effective);
  Text host = HostOf(effective);
  if (host.empty()) host = HostOf(url.c_str());
  long osErrno = 0;
  curl_easy_getinfo(curl, CURLINFO_OS_ERRNO, &osErrno);

  switch (code) {
    case CURLE_COULDNT_RESOLVE_HOST:
      return TextJoin({"cannot find host: ", host});
    case CURLE_COULDNT_CONNECT:
      if (osErrno == ECONNREFUSED) return TextJoin({"connection refused: ", host});
      return TextJoin({"cannot connect to ", host, ": ", Detail(code, errorBuffer)});
    case CURLE_OPERATION_TIMEDOUT: {
      curl_off_t connected = 0;
      curl_easy_getinfo(curl, CURLINFO_CONNECT_TIME_T, &connected);
      if (connected == 0) {
        return TextJoin(
            {"no connection within ", ToText(options.connectTimeoutSeconds), " s to ", host});
      }
      return TextJoin({"no data for ", ToText(options.stallTimeoutSeconds), " s from ", host});
    }
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
      if (osErrno == ECONNRESET) return TextJoin({"connection reset by ", host});
      return TextJoin({"connection to ", host, " broken: ", Detail(code, errorBuffer)});
    case CURLE_GOT_NOTHING:
      return TextJoin({"no answer from ", host});
    case CURLE_PARTIAL_FILE: {
      curl_off_t expected = -1;
      curl_easy_getinfo(curl, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &expected);
      const Text got = std::to_string(t.bytes);
      if (expected < 0) return TextJoin({"answer cut off after ", got, " bytes from ", host});
      return TextJoin(
          {"answer cut off after ", got, " of ", std::to_string(expected), " bytes from ", host});
    }
    case CURLE_PEER_FAILED_VERIFICATION:
      return TextJoin({"certificate not trusted: ", Detail(code, errorBuffer)});
    case CURLE_SSL_CACERT_BADFILE:
      return TextJoin(
          {"cannot use the certificates in ", options.caFile, ": ", Detail(code, errorBuffer)});
    case CURLE_SSL_CONNECT_ERROR:
      return TextJoin({"secure connection to ", host, " failed: ", Detail(code, errorBuffer)});
    case CURLE_TOO_MANY_REDIRECTS:
      return TextJoin({"too many redirects from ", host});
    case CURLE_UNSUPPORTED_PROTOCOL: {
      long redirects = 0;
      curl_easy_getinfo(curl, CURLINFO_REDIRECT_COUNT, &redirects);
      char* target = nullptr;
      curl_easy_getinfo(curl, CURLINFO_REDIRECT_URL, &target);
      if (target && *target) return TextJoin({"redirect to a non-web address: ", target});
      if (redirects > 0 && effective) {
        return TextJoin({"redirect to a non-web address: ", effective});
      }
      return TextJoin({"not a web address: ", url});
    }
    case CURLE_URL_MALFORMAT:
      return TextJoin({"not a valid address: ", url});
    default:
      return TextJoin({Detail(code, errorBuffer), " (", host, ")"});
  }
}

// Bodies come in pieces of this size: fewer calls for large images, and still
// little memory for a pool of sixteen.
constexpr long kReceiveBufferBytes = 128 * 1024;

// How long WaitAny sleeps at most between looks at the cancel flag.
constexpr int kPollMilliseconds = 100;

// One easy handle of a pool, kept from one transfer to the next, and what its
// current transfer gathers.
struct PoolTransfer {
  CURL* curl = nullptr;
  char errorBuffer[CURL_ERROR_SIZE] = {};
  int32_t id = 0;
  Text url;
  Text filePath;
  Transfer t;

  PoolTransfer() = default;
  PoolTransfer(const PoolTransfer&) = delete;
  PoolTransfer& operator=(const PoolTransfer&) = delete;
  ~PoolTransfer() {
    if (curl) curl_easy_cleanup(curl);
  }
};

// The options that stay the same for every transfer of a handle.
CURL* NewEasyHandle(const FetchOptions& options, char* errorBuffer) {
  CURL* c = curl_easy_init();
  if (!c) return nullptr;
  curl_easy_setopt(c, CURLOPT_ERRORBUFFER, errorBuffer);
  // Worker threads: no SIGALRM for resolver timeouts.
  curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(c, CURLOPT_USERAGENT, "galleryfetch/0.1");
  curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(c, CURLOPT_MAXREDIRS, 10L);
  // A host's redirect must never make us read a local file or speak anything else.
  curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(c, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(c, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(c, CURLOPT_SSL_VERIFYHOST, 2L);
  if (!options.caFile.empty()) curl_easy_setopt(c, CURLOPT_CAINFO, options.caFile.c_str());
  if (options.connectTimeoutSeconds > 0) {
    curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT, static_cast<long>(options.connectTimeoutSeconds));
  }
  if (options.stallTimeoutSeconds > 0) {
    curl_easy_setopt(c, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(c, CURLOPT_LOW_SPEED_TIME, static_cast<long>(options.stallTimeoutSeconds));
  }
  curl_easy_setopt(c, CURLOPT_BUFFERSIZE, kReceiveBufferBytes);
  // Statuses are classified here, and a 4xx body must still be read to keep the
  // connection.
  curl_easy_setopt(c, CURLOPT_FAILONERROR, 0L);
  curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, WriteBody);
  curl_easy_setopt(c, CURLOPT_HEADERFUNCTION, ReadHeader);
  return c;
}

// The outcome of an ended transfer. Its file is closed, and removed unless the
// outcome is Fetched.
FetchResult Classify(CURLcode code, PoolTransfer& p, const FetchOptions& options) {
  Transfer& t = p.t;
  FetchResult result;
  if (t.part.valid() && t.writeErrno == 0) WriteOut(t, true);
  if (const int closeErrno = t.part.Close(); closeErrno != 0 && t.writeErrno == 0) {
    t.writeErrno = closeErrno;
  }
  long status = 0;
  curl_easy_getinfo(p.curl, CURLINFO_RESPONSE_CODE, &status);
  result.httpStatus = static_cast<int32_t>(status);
  result.retryAfterSeconds = t.retryAfterSeconds;
  result.bytes = t.bytes;

  char* effective = nullptr;
  curl_easy_getinfo(p.curl, CURLINFO_EFFECTIVE_URL, &effective);
  Text host = HostOf(effective);
  if (host.empty()) host = HostOf(p.url.c_str());

  if (t.writeErrno != 0) {
    result.localError = true;
    result.reason = TextJoin({"cannot write ", p.filePath, ": ", ErrnoText(t.writeErrno)});
  } else if (code != CURLE_OK) {
    result.reason = NetworkReason(code, p.curl, p.errorBuffer, p.url, options, t);
  } else if (IsSuccess(status)) {
    if (t.bytes == 0) {
      result.outcome = FetchOutcome::Missing;
      result.reason = TextJoin({"empty answer (HTTP ", ToText(result.httpStatus), ") from ", host});
    } else {
      result.outcome = FetchOutcome::Fetched;
    }
  } else {
    const bool missing = status >= 400 && status <= 499 && status != 408 && status != 429;
    result.outcome = missing ? FetchOutcome::Missing : FetchOutcome::Failed;
    result.reason = status == 0 ? TextJoin({"no HTTP answer from ", host})
                                : TextJoin({"HTTP ", ToText(result.httpStatus), " from ", host});
  }

  // Whatever was not fetched goes; a file left by an earlier run that was ended
  // mid-image goes with it.
  if (result.outcome != FetchOutcome::Fetched) ::unlink(p.filePath.c_str());
  return result;
}

}  // namespace

void InitializeServices() {
  ServiceState& s = Services();
  Text ownPath;
  if (ReadOwnPath(&ownPath)) {
    s.programDirectory = DirectoryOfPath(ownPath, CharRule::Utf8);
    // The program directory is the current one, so that relative paths mean
    // the same however the program was started. A failure leaves the start
    // directory, which is all there is then.
    const char* directory = s.programDirectory.empty() ? "/" : s.programDirectory.c_str();
    [[maybe_unused]] const bool moved = ::chdir(directory) == 0;
  }
  if (!s.curlStarted && curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK) s.curlStarted = true;
  RegisterShutdownStep(EndCurl);
}

// Empty until InitializeServices has run.
Text ProgramDirectory() { return Services().programDirectory; }

bool CreateFolder(const Text& path) {
  if (path.empty()) return false;
  return ::mkdir(path.c_str(), 0777) == 0;
}

bool FolderExists(const Text& path) {
  if (path.empty()) return false;
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

ByteBuffer ReadWholeFile(const Text& path) {
  if (path.empty()) return {};
  // Linux has no share modes: a file another program still writes is read as
  // far as it stands, where Windows (opening with read sharing only) finds it
  // absent. O_NONBLOCK only keeps a FIFO at the path from hanging the open; it
  // changes nothing for the regular files read here.
  UniqueFd file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (!file.valid()) return {};
  struct stat st {};
  if (::fstat(file.get(), &st) != 0 || !S_ISREG(st.st_mode)) return {};
  if (st.st_size <= 0 || st.st_size >= (static_cast<off_t>(1) << 31)) return {};
  const size_t size = static_cast<size_t>(st.st_size);
  ByteBuffer buffer(size);
  size_t got = 0;
  while (got < size) {
    const ssize_t n = ::read(file.get(), buffer.data() + got, size - got);
    if (n < 0) {
      if (errno == EINTR) continue;
      return {};
    }
    if (n == 0) break;  // the file shrank since fstat: what arrived is the content
    got += static_cast<size_t>(n);
  }
  if (got == 0) return {};
  buffer.resize(got);
  return buffer;
}

bool ReadsBackWithContent(const Text& path) {
  if (path.empty()) return false;
  // Opened and checked exactly as ReadWholeFile does.
  UniqueFd file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (!file.valid()) return false;
  struct stat st {};
  if (::fstat(file.get(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  if (st.st_size <= 0 || st.st_size >= (static_cast<off_t>(1) << 31)) return false;
  const size_t size = static_cast<size_t>(st.st_size);
  size_t got = 0;
  // The kernel reads the file through the page cache into /dev/null: every
  // byte is read back as read() would, without the copy out to us, which for
  // a large image costs as much as a good part of its download.
  if (UniqueFd sink(::open("/dev/null", O_WRONLY | O_CLOEXEC)); sink.valid()) {
    while (got < size) {
      const ssize_t n = ::sendfile(sink.get(), file.get(), nullptr, size - got);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && (errno == EINVAL || errno == ENOSYS)) break;  // read() below goes on
      if (n < 0) return false;
      if (n == 0) return got > 0;  // the file shrank since fstat
      got += static_cast<size_t>(n);
    }
  }
  char piece[64 * 1024];
  while (got < size) {
    const ssize_t n = ::read(file.get(), piece, std::min(sizeof piece, size - got));
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) break;  // the file shrank since fstat: what arrived is the content
    got += static_cast<size_t>(n);
  }
  return got > 0;
}

Text ReplaceWithFile(const Text& from, const Text& to) {
  if (::rename(from.c_str(), to.c_str()) == 0) return Text();
  return TextJoin({"cannot rename ", from, " to ", to, ": ", ErrnoText(errno)});
}

bool RemoveFile(const Text& path) { return !path.empty() && ::unlink(path.c_str()) == 0; }

// ---------------------------------------------------------------------------
// FetchPool: libcurl's multi interface. Its connection cache keeps the
// connections alive between transfers; the easy handles are kept too.

struct FetchPool::State {
  struct Delayed {
    int32_t id = 0;
    Text url;
    Text filePath;
    std::chrono::steady_clock::time_point due;
  };
  struct Ended {
    PoolCompletion completion;
    Text filePath;
  };

  FetchOptions options;
  CURLM* multi = nullptr;
  std::vector<std::unique_ptr<PoolTransfer>> spare;    // idle handles
  std::vector<std::unique_ptr<PoolTransfer>> running;  // in the multi handle
  std::vector<Delayed> delayed;                        // waiting to start
  std::deque<Ended> ended;                             // not yet handed out

  State() = default;
  State(const State&) = delete;
  State& operator=(const State&) = delete;
  ~State() {
    // The easy handles leave the multi handle before either is cleaned up.
    for (auto& p : running) curl_multi_remove_handle(multi, p->curl);
    running.clear();
    spare.clear();
    if (multi) curl_multi_cleanup(multi);
  }

  void Fail(int32_t id, const char* reason) {
    Ended e;
    e.completion.id = id;
    e.completion.result.reason = reason;
    ended.push_back(std::move(e));
  }

  void Launch(int32_t id, const Text& url, const Text& filePath) {
    std::unique_ptr<PoolTransfer> p;
    if (!spare.empty()) {
      p = std::move(spare.back());
      spare.pop_back();
    } else {
      p = std::make_unique<PoolTransfer>();
      p->curl = NewEasyHandle(options, p->errorBuffer);
    }
    if (!multi || !p->curl) return Fail(id, "cannot start a download");
    p->id = id;
    p->url = url;
    p->filePath = filePath;
    // The buffer of the last transfer serves this one too.
    std::vector<char> buffer = std::move(p->t.unwritten);
    buffer.clear();
    p->t = Transfer{};
    p->t.unwritten = std::move(buffer);
    p->t.curl = p->curl;
    p->t.partPath = &p->filePath;
    p->errorBuffer[0] = '\0';
    CURL* c = p->curl;
    curl_easy_setopt(c, CURLOPT_URL, p->url.c_str());
    curl_easy_setopt(c, CURLOPT_WRITEDATA, &p->t);
    curl_easy_setopt(c, CURLOPT_HEADERDATA, &p->t);
    // Over HTTPS the host may offer HTTP/2: then wait for the one connection
    // and share it rather than open more. Plain HTTP is HTTP/1.1, where that
    // wait would only hold up the first transfers.
    const bool secure = url.compare(0, 8, "https://") == 0;
    curl_easy_setopt(c, CURLOPT_PIPEWAIT, secure ? 1L : 0L);
    if (curl_multi_add_handle(multi, c) != CURLM_OK) {
      spare.push_back(std::move(p));
      return Fail(id, "cannot start a download");
    }
    running.push_back(std::move(p));
  }

  void LaunchDue() {
    const auto now = std::chrono::steady_clock::now();
    for (size_t i = 0; i < delayed.size();) {
      if (delayed[i].due <= now) {
        const Delayed d = std::move(delayed[i]);
        delayed.erase(delayed.begin() + static_cast<std::ptrdiff_t>(i));
        Launch(d.id, d.url, d.filePath);
      } else {
        ++i;
      }
    }
  }

  // Takes the handle out of the multi handle and back to the idle ones.
  std::unique_ptr<PoolTransfer> Detach(size_t index) {
    std::unique_ptr<PoolTransfer> p = std::move(running[index]);
    running.erase(running.begin() + static_cast<std::ptrdiff_t>(index));
    curl_multi_remove_handle(multi, p->curl);
    return p;
  }

  void CollectEnded() {
    int left = 0;
    while (CURLMsg* message = curl_multi_info_read(multi, &left)) {
      if (message->msg != CURLMSG_DONE) continue;
      for (size_t i = 0; i < running.size(); ++i) {
        if (running[i]->curl != message->easy_handle) continue;
        const CURLcode code = message->data.result;  // the message dies with the removal
        std::unique_ptr<PoolTransfer> p = Detach(i);
        Ended e;
        e.completion.id = p->id;
        e.completion.result = Classify(code, *p, options);
        e.filePath = p->filePath;
        ended.push_back(std::move(e));
        spare.push_back(std::move(p));
        break;
      }
    }
  }

  // Milliseconds until the next delayed start is due; kPollMilliseconds at most.
  int PollMilliseconds() const {
    int wait = kPollMilliseconds;
    const auto now = std::chrono::steady_clock::now();
    for (const Delayed& d : delayed) {
      const auto until = std::chrono::duration_cast<std::chrono::milliseconds>(d.due - now);
      wait = std::min<int>(wait, static_cast<int>(std::max<int64_t>(until.count(), 0)));
    }
    return wait;
  }
};

FetchPool::FetchPool(FetchOptions options, int32_t parallel) : state_(std::make_unique<State>()) {
  State& s = *state_;
  s.options = std::move(options);
  s.multi = curl_multi_init();
  if (!s.multi) return;
  const long connections = std::max<long>(parallel, 1);
  curl_multi_setopt(s.multi, CURLMOPT_MAX_HOST_CONNECTIONS, connections);
  curl_multi_setopt(s.multi, CURLMOPT_MAX_TOTAL_CONNECTIONS, connections);
  curl_multi_setopt(s.multi, CURLMOPT_PIPELINING, static_cast<long>(CURLPIPE_MULTIPLEX));
}

FetchPool::~FetchPool() { AbortAll(); }

void FetchPool::Start(int32_t id, const Text& url, const Text& filePath,
                      int32_t delayMilliseconds) {
  State& s = *state_;
  if (delayMilliseconds <= 0) return s.Launch(id, url, filePath);
  s.delayed.push_back(
      {id, url, filePath,
       std::chrono::steady_clock::now() + std::chrono::milliseconds(delayMilliseconds)});
}

std::optional<PoolCompletion> FetchPool::WaitAny(const std::atomic<bool>* cancel) {
  State& s = *state_;
  for (;;) {
    if (!s.ended.empty()) {
      PoolCompletion c = std::move(s.ended.front().completion);
      s.ended.pop_front();
      return c;
    }
    if (cancel && cancel->load()) return std::nullopt;
    if (s.running.empty() && s.delayed.empty()) return std::nullopt;
    s.LaunchDue();
    if (s.running.empty()) {
      if (s.ended.empty()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(s.PollMilliseconds()));
      }
      continue;
    }
    int stillRunning = 0;
    curl_multi_perform(s.multi, &stillRunning);
    s.CollectEnded();
    if (!s.ended.empty()) continue;
    curl_multi_poll(s.multi, nullptr, 0, s.PollMilliseconds(), nullptr);
  }
}

void FetchPool::Abort(int32_t id) {
  State& s = *state_;
  std::erase_if(s.delayed, [id](const State::Delayed& d) { return d.id == id; });
  std::erase_if(s.ended, [id](const State::Ended& e) {
    if (e.completion.id != id) return false;
    // Never handed out, so a fetched file is nobody's.
    if (e.completion.result.outcome == FetchOutcome::Fetched) ::unlink(e.filePath.c_str());
    return true;
  });
  for (size_t i = 0; i < s.running.size(); ++i) {
    if (s.running[i]->id != id) continue;
    std::unique_ptr<PoolTransfer> p = s.Detach(i);
    p->t.part.Close();
    ::unlink(p->filePath.c_str());
    s.spare.push_back(std::move(p));
    return;
  }
}

void FetchPool::AbortAll() {
  State& s = *state_;
  s.delayed.clear();
  while (!s.ended.empty()) Abort(s.ended.front().completion.id);
  while (!s.running.empty()) Abort(s.running.front()->id);
}

}  // namespace gf
