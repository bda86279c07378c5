// Local test image host for galleryfetch: serves one numbered gallery on 127.0.0.1, either
// synthesised or from a directory, with optional faults so the client's error handling can be
// exercised without touching a real host.

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <utility>
#include <variant>
#include <vector>

#include <httplib.h>

namespace {

constexpr const char* kProgram = "image-host";
constexpr const char* kBindHost = "127.0.0.1";
constexpr std::string_view kImagePrefix = "/images/img/";
constexpr std::string_view kRedirectPrefix = "/r";
constexpr std::size_t kChunkBytes = 64 * 1024;
// Large enough that latency overlaps across the parallel downloads a client makes, and that a
// few stalled requests cannot starve the rest.
constexpr std::size_t kWorkerThreads = 64;
// If connections are still busy this long after SIGINT/SIGTERM (a client that stopped reading),
// exit anyway so test teardown never hangs.
constexpr auto kShutdownGrace = std::chrono::milliseconds(2000);

// SOI + a minimal JFIF APP0 segment, then EOI at the end of the body.
constexpr std::array<unsigned char, 20> kJpegHeader = {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x10, 'J',
                                                       'F',  'I',  'F',  0x00, 0x01, 0x01, 0x00,
                                                       0x00, 0x01, 0x00, 0x01, 0x00, 0x00};
constexpr std::array<unsigned char, 2> kJpegTrailer = {0xFF, 0xD9};
// An ISO-BMFF "ftyp avif" box header: a real format whose first byte is zero.
constexpr std::array<unsigned char, 12> kAvifHeader = {0x00, 0x00, 0x00, 0x18, 'f', 't',
                                                       'y',  'p',  'a',  'v',  'i', 'f'};

// ---------------------------------------------------------------------------------------------
// Configuration

struct Config {
  int port = 0;
  std::string port_file;
  std::optional<std::string> root;
  std::string gallery = "20103";
  std::uint64_t count = 12;
  std::string ext = "jpg";
  std::uint64_t size = 2048;
  unsigned pad = 0;
  int missing_status = 404;
  std::string missing_body = "<html><body><h1>404 Not Found</h1></body></html>\n";
  std::uint64_t latency_ms = 0;
  std::uint64_t fail_first = 0;
  std::optional<std::uint64_t> retry_after;
  std::set<std::uint64_t> fail_numbers;
  std::map<std::uint64_t, std::uint64_t> cut_after;
  std::set<std::uint64_t> reset_numbers;
  std::set<std::uint64_t> stall_numbers;
  std::set<std::uint64_t> empty_numbers;
  std::set<std::uint64_t> zero_first_numbers;
  bool redirect = false;
  std::set<std::uint64_t> redirect_loop_numbers;
  std::set<std::uint64_t> redirect_file_numbers;
  std::map<std::uint64_t, std::uint64_t> oversize;
  bool https = false;
  std::string cert_out;
  std::string log_file;
};

struct ParseOutcome {
  std::optional<Config> config;  // empty: see error / help
  std::string error;
  bool help = false;
};

constexpr const char* kUsage =
    "usage: image-host [options]\n"
    "Serves /images/img/<gallery>/<n>.<ext> on 127.0.0.1 for galleryfetch tests.\n"
    "  --port P                 port to bind (default 0: any free port); prints port=<P>\n"
    "  --port-file FILE         also write the bound port to FILE (atomically)\n"
    "  --root DIR               serve DIR/<gallery>/<name> from disk instead of a synthetic "
    "gallery\n"
    "  --gallery ID             synthetic gallery id (default 20103)\n"
    "  --count N                synthetic images 1..N (default 12)\n"
    "  --ext EXT                synthetic image extension (default jpg)\n"
    "  --size BYTES             synthetic image size (default 2048)\n"
    "  --pad W                  zero-pad synthetic names to width W\n"
    "  --missing-status S       status for missing images (default 404)\n"
    "  --missing-body TEXT      body for missing images (text/html)\n"
    "  --latency-ms MS          delay every answer by MS milliseconds\n"
    "  --fail-first K           answer the first K requests to each image path with 503\n"
    "  --retry-after S          add Retry-After: S to those 503s\n"
    "  --fail-number N          image N always answers 503\n"
    "  --cut-after N:B          image N closes the connection after B body bytes\n"
    "  --reset-number N         image N's connection is reset before any response\n"
    "  --stall-number N         image N is never answered\n"
    "  --empty-number N         image N answers 200 with an empty body\n"
    "  --zero-first-number N    image N's body starts with a zero byte (AVIF ftyp)\n"
    "  --redirect               /images/img/... answers 302 to /r/images/img/...\n"
    "  --redirect-loop-number N image N redirects to itself\n"
    "  --redirect-file-number N image N redirects to file:///etc/passwd\n"
    "  --oversize-number N:B    image N's body is B bytes\n"
    "  --https                  serve TLS with a fresh self-signed certificate\n"
    "  --cert-out FILE          write that certificate as PEM (required with --https)\n"
    "  --log FILE               append '<METHOD> <path> <status>' per request to FILE\n"
    "Options naming an image number may be repeated.\n";

std::optional<std::uint64_t> parse_uint(std::string_view text, std::uint64_t max = UINT64_MAX) {
  std::uint64_t value = 0;
  const char* end = text.data() + text.size();
  auto [ptr, ec] = std::from_chars(text.data(), end, value);
  if (text.empty() || ec != std::errc() || ptr != end || value > max) return std::nullopt;
  return value;
}

bool is_simple_token(std::string_view text, std::size_t max_len, std::string_view extra) {
  if (text.empty() || text.size() > max_len) return false;
  return std::all_of(text.begin(), text.end(), [&](char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
           extra.find(c) != std::string_view::npos;
  });
}

ParseOutcome parse_args(int argc, char** argv) {
  ParseOutcome out;
  Config cfg;
  std::set<std::string> seen;
  bool synthetic_option = false;
  std::string synthetic_option_name;

  auto fail = [&](std::string message) {
    out.error = std::move(message);
    return out;
  };

  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    std::optional<std::string> inline_value;
    if (auto eq = arg.find('='); arg.rfind("--", 0) == 0 && eq != std::string::npos) {
      inline_value = arg.substr(eq + 1);
      arg.resize(eq);
    }

    static const std::set<std::string> kFlags = {"--redirect", "--https", "--help", "-h"};
    static const std::set<std::string> kRepeatable = {
        "--fail-number",          "--cut-after",
        "--reset-number",         "--stall-number",
        "--empty-number",         "--zero-first-number",
        "--redirect-loop-number", "--redirect-file-number",
        "--oversize-number"};
    static const std::set<std::string> kValued = {
        "--port",       "--port-file",  "--root",        "--gallery",        "--count",
        "--ext",        "--size",       "--pad",         "--missing-status", "--missing-body",
        "--latency-ms", "--fail-first", "--retry-after", "--cert-out",       "--log"};

    const bool is_flag = kFlags.count(arg) != 0;
    const bool repeatable = kRepeatable.count(arg) != 0;
    if (!is_flag && !repeatable && kValued.count(arg) == 0) {
      return fail("unknown option '" + arg + "' (see --help)");
    }
    if (!repeatable && !seen.insert(arg).second) return fail(arg + " given more than once");

    if (is_flag) {
      if (inline_value) return fail(arg + " takes no value");
      if (arg == "--help" || arg == "-h") {
        out.help = true;
        return out;
      }
      if (arg == "--redirect") cfg.redirect = true;
      if (arg == "--https") cfg.https = true;
      continue;
    }

    std::string value;
    if (inline_value) {
      value = *inline_value;
    } else if (i + 1 < argc) {
      value = argv[++i];
    } else {
      return fail(arg + " needs a value");
    }

    auto bad = [&](std::string_view expected) {
      return fail(arg + ": expected " + std::string(expected) + ", got '" + value + "'");
    };
    auto number_arg = [&](std::uint64_t min, std::uint64_t max) -> std::optional<std::uint64_t> {
      auto n = parse_uint(value, max);
      if (!n || *n < min) return std::nullopt;
      return n;
    };
    // "N:B" pairs for per-image byte counts.
    auto pair_arg = [&]() -> std::optional<std::pair<std::uint64_t, std::uint64_t>> {
      auto colon = value.find(':');
      if (colon == std::string::npos) return std::nullopt;
      auto n = parse_uint(std::string_view(value).substr(0, colon));
      auto b = parse_uint(std::string_view(value).substr(colon + 1));
      if (!n || *n == 0 || !b) return std::nullopt;
      return std::make_pair(*n, *b);
    };

    if (arg == "--gallery" || arg == "--count" || arg == "--ext" || arg == "--size" ||
        arg == "--pad") {
      synthetic_option = true;
      synthetic_option_name = arg;
    }

    if (arg == "--port") {
      auto n = number_arg(0, 65535);
      if (!n) return bad("a port number 0-65535");
      cfg.port = static_cast<int>(*n);
    } else if (arg == "--port-file") {
      if (value.empty()) return bad("a file name");
      cfg.port_file = value;
    } else if (arg == "--root") {
      struct stat st {};
      if (value.empty() || ::stat(value.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        return bad("an existing directory");
      }
      cfg.root = value;
    } else if (arg == "--gallery") {
      if (!is_simple_token(value, 64, "._-") || value == "." || value == "..") {
        return bad("a gallery id of letters, digits, '.', '_' or '-'");
      }
      cfg.gallery = value;
    } else if (arg == "--count") {
      auto n = number_arg(0, UINT64_MAX);
      if (!n) return bad("a non-negative integer");
      cfg.count = *n;
    } else if (arg == "--ext") {
      if (!is_simple_token(value, 16, "")) return bad("an extension of letters and digits");
      cfg.ext = value;
    } else if (arg == "--size") {
      auto n = number_arg(0, UINT64_MAX);
      if (!n) return bad("a byte count");
      cfg.size = *n;
    } else if (arg == "--pad") {
      auto n = number_arg(0, 20);
      if (!n) return bad("a width 0-20");
      cfg.pad = static_cast<unsigned>(*n);
    } else if (arg == "--missing-status") {
      auto n = number_arg(200, 599);
      if (!n) return bad("an HTTP status 200-599");
      cfg.missing_status = static_cast<int>(*n);
    } else if (arg == "--missing-body") {
      cfg.missing_body = value;
    } else if (arg == "--latency-ms") {
      auto n = number_arg(0, 600000);
      if (!n) return bad("milliseconds 0-600000");
      cfg.latency_ms = *n;
    } else if (arg == "--fail-first") {
      auto n = number_arg(0, UINT64_MAX);
      if (!n) return bad("a non-negative integer");
      cfg.fail_first = *n;
    } else if (arg == "--retry-after") {
      auto n = number_arg(0, UINT64_MAX);
      if (!n) return bad("seconds as a non-negative integer");
      cfg.retry_after = *n;
    } else if (arg == "--cut-after" || arg == "--oversize-number") {
      auto p = pair_arg();
      if (!p) return bad("N:BYTES with image number N >= 1");
      (arg == "--cut-after" ? cfg.cut_after : cfg.oversize)[p->first] = p->second;
    } else if (repeatable) {
      auto n = number_arg(1, UINT64_MAX);
      if (!n) return bad("an image number >= 1");
      std::set<std::uint64_t>& target = arg == "--fail-number"         ? cfg.fail_numbers
                                        : arg == "--reset-number"      ? cfg.reset_numbers
                                        : arg == "--stall-number"      ? cfg.stall_numbers
                                        : arg == "--empty-number"      ? cfg.empty_numbers
                                        : arg == "--zero-first-number" ? cfg.zero_first_numbers
                                        : arg == "--redirect-loop-number"
                                            ? cfg.redirect_loop_numbers
                                            : cfg.redirect_file_numbers;
      target.insert(*n);
    } else if (arg == "--cert-out") {
      if (value.empty()) return bad("a file name");
      cfg.cert_out = value;
    } else if (arg == "--log") {
      if (value.empty()) return bad("a file name");
      cfg.log_file = value;
    }
  }

  if (cfg.root && synthetic_option) {
    return fail(synthetic_option_name +
                " describes the synthetic gallery; it cannot be used with --root");
  }
  if (cfg.https && cfg.cert_out.empty()) return fail("--https needs --cert-out FILE");
  if (!cfg.https && !cfg.cert_out.empty()) return fail("--cert-out only makes sense with --https");
  out.config = std::move(cfg);
  return out;
}

// ---------------------------------------------------------------------------------------------
// Image bodies

// Owns a file descriptor for the lifetime of one streamed answer.
struct Fd {
  int fd = -1;
  explicit Fd(int f) : fd(f) {}
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() {
    if (fd >= 0) ::close(fd);
  }
};

enum class Kind { Jpeg, Avif };

struct Body {
  std::shared_ptr<const Fd> file;  // null: synthetic pattern seeded by `number`
  std::uint64_t number = 0;
  Kind kind = Kind::Jpeg;
  std::uint64_t size = 0;
  bool avif_overlay = false;  // a file's first bytes replaced by the AVIF header
  std::optional<std::uint64_t> cut_after;
};

std::uint64_t splitmix64(std::uint64_t x) {
  x += 0x9E3779B97F4A7C15ULL;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ULL;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBULL;
  return x ^ (x >> 31);
}

// Byte-addressable so any chunk (or Range) can be produced without generating what precedes it.
void fill_synthetic(std::uint64_t number, Kind kind, std::uint64_t size, std::uint64_t offset,
                    std::span<char> out) {
  std::span<const unsigned char> header = kind == Kind::Jpeg
                                              ? std::span<const unsigned char>(kJpegHeader)
                                              : std::span<const unsigned char>(kAvifHeader);
  std::span<const unsigned char> trailer = kind == Kind::Jpeg
                                               ? std::span<const unsigned char>(kJpegTrailer)
                                               : std::span<const unsigned char>();
  const std::uint64_t framing = header.size() + trailer.size();
  const std::uint64_t seed = splitmix64(number);

  for (std::size_t k = 0; k < out.size(); ++k) {
    const std::uint64_t i = offset + k;
    unsigned char byte;
    if (size < framing) {
      // Too small for header and trailer: just the start of both back to back.
      byte = i < header.size() ? header[i] : trailer[i - header.size()];
    } else if (i < header.size()) {
      byte = header[i];
    } else if (i >= size - trailer.size()) {
      byte = trailer[i - (size - trailer.size())];
    } else {
      byte = static_cast<unsigned char>(splitmix64(seed + i / 8) >> (8 * (i % 8)));
    }
    out[k] = static_cast<char>(byte);
  }
}

bool fill_body(const Body& body, std::uint64_t offset, std::span<char> out) {
  if (body.file) {
    std::size_t done = 0;
    while (done < out.size()) {
      ssize_t n = ::pread(body.file->fd, out.data() + done, out.size() - done,
                          static_cast<off_t>(offset + done));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;  // the file shrank or failed under us: abort the transfer
      done += static_cast<std::size_t>(n);
    }
  } else {
    fill_synthetic(body.number, body.kind, body.size, offset, out);
  }
  if (body.avif_overlay) {
    for (std::size_t k = 0; k < out.size() && offset + k < kAvifHeader.size(); ++k) {
      out[k] = static_cast<char>(kAvifHeader[offset + k]);
    }
  }
  return true;
}

// ---------------------------------------------------------------------------------------------
// Request classification

std::string format_number(std::uint64_t n, unsigned pad) {
  std::string digits = std::to_string(n);
  if (digits.size() < pad) digits.insert(0, pad - digits.size(), '0');
  return digits;
}

std::string content_type_for(std::string_view name) {
  auto dot = name.rfind('.');
  std::string ext(dot == std::string_view::npos ? "" : name.substr(dot + 1));
  std::transform(ext.begin(), ext.end(), ext.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  if (ext == "jpg" || ext == "jpeg") return "image/jpeg";
  if (ext == "png") return "image/png";
  if (ext == "gif") return "image/gif";
  if (ext == "webp") return "image/webp";
  if (ext == "avif") return "image/avif";
  return "application/octet-stream";
}

// The number of "<digits>.<ext>", leading zeros allowed; nullopt for other names.
std::optional<std::uint64_t> loose_image_number(std::string_view name) {
  auto dot = name.find('.');
  if (dot == std::string_view::npos || dot + 1 == name.size()) return std::nullopt;
  auto n = parse_uint(name.substr(0, dot));
  if (!n || *n == 0) return std::nullopt;
  return n;
}

// Synthetic names must match exactly what the gallery would link to, so padded and unpadded
// spellings are distinct images.
std::optional<std::uint64_t> synthetic_image_number(const Config& cfg, std::string_view name) {
  auto n = loose_image_number(name);
  if (!n || *n > cfg.count) return std::nullopt;
  if (name != format_number(*n, cfg.pad) + "." + cfg.ext) return std::nullopt;
  return n;
}

bool is_safe_component(std::string_view part) {
  return !part.empty() && part != "." && part != ".." &&
         part.find('\\') == std::string_view::npos && part.find('\0') == std::string_view::npos;
}

struct ImagePath {
  std::string gallery;
  std::string name;
};

// "<gallery>/<name>" after the image prefix; anything else is not an image.
std::optional<ImagePath> split_image_path(std::string_view rest) {
  auto slash = rest.find('/');
  if (slash == std::string_view::npos) return std::nullopt;
  ImagePath p{std::string(rest.substr(0, slash)), std::string(rest.substr(slash + 1))};
  if (!is_safe_component(p.gallery) || !is_safe_component(p.name) ||
      p.name.find('/') != std::string::npos) {
    return std::nullopt;
  }
  return p;
}

struct Image {
  Body body;
  std::optional<std::uint64_t> number;  // for per-number faults
  std::string content_type;
};

std::optional<Image> find_image(const Config& cfg, std::string_view rest) {
  auto path = split_image_path(rest);
  if (!path) return std::nullopt;

  if (!cfg.root) {
    if (path->gallery != cfg.gallery) return std::nullopt;
    auto n = synthetic_image_number(cfg, path->name);
    if (!n) return std::nullopt;
    Image img;
    img.body.number = *n;
    img.body.size = cfg.size;
    img.number = n;
    img.content_type = content_type_for(path->name);
    return img;
  }

  std::string file = *cfg.root + "/" + path->gallery + "/" + path->name;
  // O_NONBLOCK so a FIFO in the tree cannot hang the worker before the regular-file check.
  int raw = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (raw < 0) return std::nullopt;
  auto fd = std::make_shared<const Fd>(raw);
  struct stat st {};
  if (::fstat(fd->fd, &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
  Image img;
  img.body.file = fd;
  img.body.size = static_cast<std::uint64_t>(st.st_size);
  img.number = loose_image_number(path->name);
  img.content_type = content_type_for(path->name);
  return img;
}

enum class Action { Missing, Viewer, NotAllowed, Busy, Fail, Redirect, Stall, Reset, Empty, Serve };

struct Answer {
  Action action = Action::Missing;
  std::string location;
  Image image;
};

// Counts requests per path for --fail-first.
struct HitCounter {
  std::mutex mutex;
  std::unordered_map<std::string, std::uint64_t> hits;

  std::uint64_t next(const std::string& path) {
    std::lock_guard lock(mutex);
    return hits[path]++;
  }
};

Answer decide(const Config& cfg, HitCounter& counter, const httplib::Request& req) {
  const std::string_view path = req.path;
  if (req.method != "GET" && req.method != "HEAD") return {Action::NotAllowed, {}, {}};
  if (path == "/img.html") return {Action::Viewer, {}, {}};

  if (cfg.redirect && path.rfind(kImagePrefix, 0) == 0) {
    return {Action::Redirect, std::string(kRedirectPrefix) + req.target, {}};
  }
  std::string_view served = path;
  if (cfg.redirect) {
    if (served.rfind(kRedirectPrefix, 0) != 0) return {Action::Missing, {}, {}};
    served.remove_prefix(kRedirectPrefix.size());
  }
  if (served.rfind(kImagePrefix, 0) != 0) return {Action::Missing, {}, {}};

  // Counted before the lookup: "the first K requests to each path" includes missing ones.
  if (counter.next(req.path) < cfg.fail_first) return {Action::Busy, {}, {}};

  auto image = find_image(cfg, served.substr(kImagePrefix.size()));
  if (!image) return {Action::Missing, {}, {}};

  Answer answer{Action::Serve, {}, std::move(*image)};
  Body& body = answer.image.body;
  if (auto n = answer.image.number) {
    if (cfg.fail_numbers.count(*n)) return {Action::Fail, {}, {}};
    if (cfg.redirect_loop_numbers.count(*n)) return {Action::Redirect, req.target, {}};
    if (cfg.redirect_file_numbers.count(*n)) return {Action::Redirect, "file:///etc/passwd", {}};
    if (cfg.stall_numbers.count(*n)) return {Action::Stall, {}, {}};
    if (cfg.reset_numbers.count(*n)) return {Action::Reset, {}, {}};
    if (cfg.empty_numbers.count(*n)) {
      answer.action = Action::Empty;
      return answer;
    }
    if (auto it = cfg.oversize.find(*n); it != cfg.oversize.end()) {
      body.file.reset();
      body.number = *n;
      body.size = it->second;
    }
    if (cfg.zero_first_numbers.count(*n)) {
      if (body.file) {
        body.avif_overlay = true;
      } else {
        body.kind = Kind::Avif;
      }
    }
    if (auto it = cfg.cut_after.find(*n); it != cfg.cut_after.end()) body.cut_after = it->second;
  }
  return answer;
}

// ---------------------------------------------------------------------------------------------
// Connection faults

// The accepted socket behind a request. The library does not expose it for plain HTTP, so look
// for the one descriptor whose endpoints match this request.
int find_connection_fd(const httplib::Request& req) {
  if (req.ssl) return SSL_get_fd(req.ssl);
  DIR* dir = ::opendir("/proc/self/fd");
  if (!dir) return -1;
  int found = -1;
  while (dirent* entry = ::readdir(dir)) {
    auto fd = parse_uint(entry->d_name, INT32_MAX);
    if (!fd || static_cast<int>(*fd) == ::dirfd(dir)) continue;
    sockaddr_in local{}, peer{};
    socklen_t local_len = sizeof local, peer_len = sizeof peer;
    int s = static_cast<int>(*fd);
    if (::getsockname(s, reinterpret_cast<sockaddr*>(&local), &local_len) != 0 ||
        ::getpeername(s, reinterpret_cast<sockaddr*>(&peer), &peer_len) != 0 ||
        local.sin_family != AF_INET || peer.sin_family != AF_INET) {
      continue;
    }
    char peer_ip[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &peer.sin_addr, peer_ip, sizeof peer_ip);
    if (ntohs(local.sin_port) == req.local_port && ntohs(peer.sin_port) == req.remote_port &&
        req.remote_addr == peer_ip) {
      found = s;
      break;
    }
  }
  ::closedir(dir);
  return found;
}

// Sends a TCP RST with nothing written. SO_LINGER 0 makes the close abortive; the connection
// is closed by dup2-ing an unconnected socket over its descriptor, so the library's own later
// writes fail harmlessly and its close() cannot hit a reused descriptor number.
bool reset_connection(const httplib::Request& req) {
  int fd = find_connection_fd(req);
  if (fd < 0) return false;
  linger abort_close{1, 0};
  if (::setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort_close, sizeof abort_close) != 0) {
    return false;
  }
  int placeholder = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (placeholder < 0) return false;
  bool ok = ::dup2(placeholder, fd) >= 0;
  ::close(placeholder);
  return ok;
}

// ---------------------------------------------------------------------------------------------
// Server

struct RequestLog {
  std::mutex mutex;
  std::FILE* file = nullptr;

  RequestLog() = default;
  RequestLog(const RequestLog&) = delete;
  RequestLog& operator=(const RequestLog&) = delete;
  ~RequestLog() {
    if (file) std::fclose(file);
  }

  void write(const std::string& method, const std::string& path, const std::string& status) {
    if (!file) return;
    // Keep it one line per request whatever the decoded path contains.
    std::string safe;
    for (unsigned char c : path) {
      if (c <= 0x20 || c == 0x7F) {
        char buf[4];
        std::snprintf(buf, sizeof buf, "%%%02X", c);
        safe += buf;
      } else {
        safe += static_cast<char>(c);
      }
    }
    std::string line = method + " " + safe + " " + status + "\n";
    std::lock_guard lock(mutex);
    std::fwrite(line.data(), 1, line.size(), file);
    std::fflush(file);
  }
};

struct Context {
  const Config& cfg;
  HitCounter counter;
  RequestLog log;
  std::atomic<bool> stop{false};
};

// Returns false if the server is stopping, so long waits never hold up shutdown.
bool sleep_unless_stopped(const std::atomic<bool>& stop, std::chrono::milliseconds duration) {
  auto deadline = std::chrono::steady_clock::now() + duration;
  while (!stop.load()) {
    auto now = std::chrono::steady_clock::now();
    if (now >= deadline) return true;
    std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(
        deadline - now, std::chrono::milliseconds(20)));
  }
  return false;
}

void set_body(Context& ctx, const Image& image, httplib::Response& res) {
  if (image.body.size == 0) {
    res.set_content("", image.content_type);
    return;
  }
  auto body = std::make_shared<const Body>(image.body);
  const std::atomic<bool>* stop = &ctx.stop;
  res.set_content_provider(
      static_cast<std::size_t>(body->size), image.content_type,
      [body, stop](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
        if (stop->load()) return false;
        std::uint64_t end = offset + length;
        if (body->cut_after) {
          // Returning false makes the library drop the connection short of Content-Length.
          if (offset >= *body->cut_after) return false;
          end = std::min<std::uint64_t>(end, *body->cut_after);
        }
        // One chunk per call keeps memory per request at kChunkBytes whatever the body size.
        thread_local std::vector<char> buffer;
        buffer.resize(static_cast<std::size_t>(std::min<std::uint64_t>(end - offset, kChunkBytes)));
        if (!fill_body(*body, offset, buffer)) return false;
        return sink.write(buffer.data(), buffer.size());
      });
}

void handle(Context& ctx, const httplib::Request& req, httplib::Response& res) {
  const Config& cfg = ctx.cfg;
  if (cfg.latency_ms > 0) {
    sleep_unless_stopped(ctx.stop, std::chrono::milliseconds(cfg.latency_ms));
  }
  Answer answer = decide(cfg, ctx.counter, req);
  auto log = [&](const std::string& status) { ctx.log.write(req.method, req.path, status); };

  switch (answer.action) {
    case Action::Missing:
      res.status = cfg.missing_status;
      res.set_content(cfg.missing_body, "text/html");
      break;
    case Action::Viewer:
      res.status = 200;
      res.set_content("<html><body><p>image viewer</p></body></html>\n", "text/html");
      break;
    case Action::NotAllowed:
      res.status = 405;
      res.set_header("Allow", "GET, HEAD");
      res.set_content("method not allowed\n", "text/plain");
      break;
    case Action::Busy:
      res.status = 503;
      if (cfg.retry_after) res.set_header("Retry-After", std::to_string(*cfg.retry_after));
      res.set_content("busy", "text/plain");
      break;
    case Action::Fail:
      res.status = 503;
      res.set_content("busy", "text/plain");
      break;
    case Action::Redirect:
      res.status = 302;
      res.set_header("Location", answer.location);
      break;
    case Action::Stall:
      // Logged on arrival, since there will never be an answer to log.
      log("stall");
      while (sleep_unless_stopped(ctx.stop, std::chrono::milliseconds(1000))) {
      }
      if (!reset_connection(req)) {
        res.status = 503;
        res.set_content("stopping", "text/plain");
      }
      return;
    case Action::Reset:
      log("reset");
      if (!reset_connection(req)) {
        std::fprintf(stderr, "%s: cannot find the connection of %s to reset it\n", kProgram,
                     req.path.c_str());
        res.status = 500;
        res.set_content("reset failed", "text/plain");
      }
      return;
    case Action::Empty:
      res.status = 200;
      res.set_content("", answer.image.content_type);
      break;
    case Action::Serve:
      // The library answers 206 for a satisfiable Range itself only if status is still unset,
      // so state it explicitly to keep the log truthful.
      res.status = req.ranges.empty() ? 200 : 206;
      set_body(ctx, answer.image, res);
      break;
  }
  log(std::to_string(res.status));
}

// ---------------------------------------------------------------------------------------------
// TLS

struct X509Deleter {
  void operator()(X509* p) const { X509_free(p); }
};
struct PkeyDeleter {
  void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
};
using X509Ptr = std::unique_ptr<X509, X509Deleter>;
using PkeyPtr = std::unique_ptr<EVP_PKEY, PkeyDeleter>;

struct Credentials {
  X509Ptr cert;
  PkeyPtr key;
};

std::string openssl_error() {
  unsigned long code = ERR_get_error();
  if (code == 0) return "unknown OpenSSL error";
  char buf[256];
  ERR_error_string_n(code, buf, sizeof buf);
  return buf;
}

std::variant<Credentials, std::string> make_self_signed() {
  PkeyPtr key(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"));
  if (!key) return "cannot generate a P-256 key: " + openssl_error();
  X509Ptr cert(X509_new());
  if (!cert) return "cannot allocate a certificate: " + openssl_error();

  std::uint64_t serial = 0;
  if (RAND_bytes(reinterpret_cast<unsigned char*>(&serial), sizeof serial) != 1) {
    return "cannot draw a serial number: " + openssl_error();
  }
  X509_NAME* name = X509_get_subject_name(cert.get());
  bool ok =
      X509_set_version(cert.get(), 2) == 1 &&
      ASN1_INTEGER_set_uint64(X509_get_serialNumber(cert.get()), serial >> 1) == 1 &&
      X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600) != nullptr &&
      X509_gmtime_adj(X509_getm_notAfter(cert.get()), 30L * 24 * 3600) != nullptr &&
      X509_set_pubkey(cert.get(), key.get()) == 1 &&
      X509_NAME_add_entry_by_txt(
          name, "O", MBSTRING_ASC,
          reinterpret_cast<const unsigned char*>("galleryfetch test image host"), -1, -1, 0) == 1 &&
      X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                                 reinterpret_cast<const unsigned char*>("127.0.0.1"), -1, -1,
                                 0) == 1 &&
      X509_set_issuer_name(cert.get(), name) == 1;
  if (!ok) return "cannot fill in the certificate: " + openssl_error();

  X509V3_CTX v3;
  X509V3_set_ctx_nodb(&v3);
  X509V3_set_ctx(&v3, cert.get(), cert.get(), nullptr, nullptr, 0);
  // Self-signed and used directly as the client's trust anchor, so it is its own CA.
  const std::pair<int, const char*> extensions[] = {
      {NID_basic_constraints, "critical,CA:TRUE"},
      {NID_key_usage, "critical,digitalSignature,keyCertSign"},
      {NID_ext_key_usage, "serverAuth"},
      {NID_subject_alt_name, "IP:127.0.0.1,DNS:localhost"},
      {NID_subject_key_identifier, "hash"},
      {NID_authority_key_identifier, "keyid:always"},
  };
  for (const auto& [nid, value] : extensions) {
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &v3, nid, value);
    if (!ext)
      return std::string("cannot build extension ") + OBJ_nid2sn(nid) + ": " + openssl_error();
    int added = X509_add_ext(cert.get(), ext, -1);
    X509_EXTENSION_free(ext);
    if (added != 1) return std::string("cannot add extension ") + OBJ_nid2sn(nid);
  }
  if (X509_sign(cert.get(), key.get(), EVP_sha256()) == 0) {
    return "cannot sign the certificate: " + openssl_error();
  }
  return Credentials{std::move(cert), std::move(key)};
}

// ---------------------------------------------------------------------------------------------
// Files

// Written beside the target and renamed so readers never see a partial file.
std::optional<std::string> write_atomically(const std::string& path,
                                            const std::function<bool(std::FILE*)>& writer) {
  std::string tmp = path + ".tmp." + std::to_string(::getpid());
  std::FILE* f = std::fopen(tmp.c_str(), "w");
  if (!f) return "cannot create " + tmp + ": " + std::strerror(errno);
  bool wrote = writer(f);
  int saved = errno;
  if (std::fclose(f) != 0 && wrote) {
    wrote = false;
    saved = errno;
  }
  if (!wrote) {
    ::unlink(tmp.c_str());
    return "cannot write " + tmp + ": " + std::strerror(saved);
  }
  if (std::rename(tmp.c_str(), path.c_str()) != 0) {
    saved = errno;
    ::unlink(tmp.c_str());
    return "cannot rename " + tmp + " to " + path + ": " + std::strerror(saved);
  }
  return std::nullopt;
}

int fail(const std::string& message, int code) {
  std::fprintf(stderr, "%s: %s\n", kProgram, message.c_str());
  return code;
}

int run(const Config& cfg) {
  Context ctx{cfg, {}, {}, {}};
  if (!cfg.log_file.empty()) {
    ctx.log.file = std::fopen(cfg.log_file.c_str(), "a");
    if (!ctx.log.file) {
      return fail("cannot open log file " + cfg.log_file + ": " + std::strerror(errno), 1);
    }
  }

  // Signals are taken synchronously by one watcher thread; every other thread inherits the
  // mask, so none of them is interrupted mid-request.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
  // A client that hangs up mid-body must not kill the server (TLS writes use plain write()).
  std::signal(SIGPIPE, SIG_IGN);

  Credentials creds;
  std::unique_ptr<httplib::Server> server;
  if (cfg.https) {
    auto made = make_self_signed();
    if (auto* error = std::get_if<std::string>(&made)) return fail(*error, 1);
    creds = std::move(std::get<Credentials>(made));
    if (auto error = write_atomically(
            cfg.cert_out, [&](std::FILE* f) { return PEM_write_X509(f, creds.cert.get()) == 1; })) {
      return fail(*error, 1);
    }
    auto tls = std::make_unique<httplib::SSLServer>(creds.cert.get(), creds.key.get());
    if (!tls->is_valid()) return fail("cannot set up TLS: " + openssl_error(), 1);
    server = std::move(tls);
  } else {
    server = std::make_unique<httplib::Server>();
  }

  httplib::Server& svr = *server;
  svr.new_task_queue = [] { return new httplib::ThreadPool(kWorkerThreads); };
  // Only SO_REUSEADDR: the library's default SO_REUSEPORT would let two hosts share a port
  // silently instead of reporting the conflict. The socket is kept to widen its backlog below.
  int listen_fd = -1;
  svr.set_socket_options([&listen_fd](socket_t sock) {
    int yes = 1;
    ::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    listen_fd = sock;
  });
  // Idle keep-alive connections are only noticed at this interval, which bounds shutdown time.
  svr.set_keep_alive_timeout(1);
  auto handler = [&ctx](const httplib::Request& req, httplib::Response& res) {
    handle(ctx, req, res);
  };
  const std::string any = ".*";
  svr.Get(any, handler);
  svr.Post(any, handler);
  svr.Put(any, handler);
  svr.Patch(any, handler);
  svr.Delete(any, handler);
  svr.Options(any, handler);

  int port = cfg.port;
  errno = 0;
  bool bound =
      port == 0 ? (port = svr.bind_to_any_port(kBindHost)) > 0 : svr.bind_to_port(kBindHost, port);
  if (!bound) {
    int saved = errno;
    return fail(std::string("cannot bind ") + kBindHost + ":" + std::to_string(cfg.port) + ": " +
                    (saved ? std::strerror(saved) : "unknown error"),
                1);
  }

  // The library listens with a backlog of 5; a client opening many parallel connections would
  // then see dropped SYNs and second-long retransmit delays. Listening again only resizes it.
  if (listen_fd < 0 || ::listen(listen_fd, SOMAXCONN) != 0) {
    return fail(std::string("cannot listen on ") + kBindHost + ":" + std::to_string(port) + ": " +
                    std::strerror(errno),
                1);
  }

  if (!cfg.port_file.empty()) {
    if (auto error = write_atomically(
            cfg.port_file, [&](std::FILE* f) { return std::fprintf(f, "%d\n", port) > 0; })) {
      return fail(*error, 1);
    }
  }
  std::printf("port=%d\n", port);
  std::fflush(stdout);

  std::atomic<bool> listen_done{false};
  std::thread watcher([&] {
    const timespec poll_interval{0, 100 * 1000 * 1000};
    while (!listen_done.load()) {
      int sig = sigtimedwait(&stop_signals, nullptr, &poll_interval);
      if (sig == SIGINT || sig == SIGTERM) {
        ctx.stop = true;
        break;
      }
    }
    if (!ctx.stop.load()) return;
    // stop() only takes effect once the accept loop is running, and must be called just once.
    auto deadline = std::chrono::steady_clock::now() + kShutdownGrace;
    bool stop_sent = false;
    while (!listen_done.load()) {
      if (!stop_sent && svr.is_running()) {
        svr.stop();
        stop_sent = true;
      }
      if (std::chrono::steady_clock::now() > deadline) {
        std::fprintf(stderr, "%s: connections still busy at shutdown; exiting anyway\n", kProgram);
        std::_Exit(0);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  });

  bool listened = svr.listen_after_bind();
  listen_done = true;
  watcher.join();
  if (ctx.stop.load()) return 0;
  if (!listened)
    return fail(std::string("cannot serve on ") + kBindHost + ":" + std::to_string(port), 1);
  return fail("server stopped unexpectedly", 1);
}

}  // namespace

int main(int argc, char** argv) {
  ParseOutcome parsed = parse_args(argc, argv);
  if (parsed.help) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (!parsed.config) return fail(parsed.error, 2);
  return run(*parsed.config);
}
