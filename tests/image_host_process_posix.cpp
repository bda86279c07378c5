// The Linux half of ImageHost: the host runs as a child process, found through
// GALLERYFETCH_IMAGE_HOST, and tells its port through a file in a private
// temporary directory.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "image_host_process.h"

extern char** environ;

namespace gf::testing_support {
namespace {

constexpr auto kStartTimeout = std::chrono::seconds(10);
constexpr auto kStopTimeout = std::chrono::seconds(5);
constexpr auto kPollInterval = std::chrono::milliseconds(10);

// The port once the host has written its file whole (it renames it into place).
int ReadPortFile(const std::string& file) {
  std::ifstream in(file);
  int port = 0;
  if (!(in >> port)) return 0;
  return port > 0 && port < 65536 ? port : 0;
}

// SIGTERM first, so the host closes its connections; SIGKILL if it does not
// go within kStopTimeout, so a broken host cannot hang the test.
void Stop(pid_t pid) {
  ::kill(pid, SIGTERM);
  const auto deadline = std::chrono::steady_clock::now() + kStopTimeout;
  int status = 0;
  while (::waitpid(pid, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      return;
    }
    std::this_thread::sleep_for(kPollInterval);
  }
}

}  // namespace

ImageHost::ImageHost(const std::vector<std::string>& options) {
  const char* binary = std::getenv("GALLERYFETCH_IMAGE_HOST");
  if (!binary || !*binary) {
    std::fprintf(stderr, "ImageHost: GALLERYFETCH_IMAGE_HOST is not set\n");
    return;
  }
  std::error_code ec;
  std::string pattern =
      (std::filesystem::temp_directory_path(ec) / "gf-image-host-XXXXXX").string();
  if (!::mkdtemp(pattern.data())) {
    std::perror("ImageHost: mkdtemp");
    return;
  }
  workDir_ = pattern;
  https_ = std::find(options.begin(), options.end(), "--https") != options.end();
  const std::string portFile = workDir_ + "/port";

  std::vector<std::string> args = {
      binary, "--port", "0", "--port-file", portFile, "--log", workDir_ + "/requests.log"};
  args.insert(args.end(), options.begin(), options.end());
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);

  // Its "port=N" line would only clutter the test output; errors still show.
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  // A test runner that ignores or blocks SIGTERM must not pass that on, or the
  // host could not be stopped.
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t none, stopSignals;
  sigemptyset(&none);
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGINT);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setsigdefault(&attributes, &stopSignals);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  pid_t pid = 0;
  const int spawned = ::posix_spawn(&pid, binary, &actions, &attributes, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  if (spawned != 0) {
    std::fprintf(stderr, "ImageHost: cannot start %s: %s\n", binary, std::strerror(spawned));
    return;
  }
  process_ = pid;

  const auto deadline = std::chrono::steady_clock::now() + kStartTimeout;
  while (std::chrono::steady_clock::now() < deadline) {
    if (const int port = ReadPortFile(portFile); port > 0) {
      port_ = port;
      return;
    }
    int status = 0;
    if (::waitpid(pid, &status, WNOHANG) == pid) {
      std::fprintf(stderr, "ImageHost: %s ended before it listened\n", binary);
      process_ = 0;
      return;
    }
    std::this_thread::sleep_for(kPollInterval);
  }
  std::fprintf(stderr, "ImageHost: %s wrote no port within %lld s\n", binary,
               static_cast<long long>(kStartTimeout.count()));
}

ImageHost::~ImageHost() {
  if (process_ > 0) Stop(static_cast<pid_t>(process_));
  if (!workDir_.empty()) {
    std::error_code ec;
    std::filesystem::remove_all(workDir_, ec);
  }
}

std::string ImageHost::origin() const {
  return std::string(https_ ? "https" : "http") + "://127.0.0.1:" + std::to_string(port_);
}

std::vector<std::string> ImageHost::RequestLog() const {
  std::vector<std::string> lines;
  std::ifstream in(workDir_ + "/requests.log");
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

}  // namespace gf::testing_support
