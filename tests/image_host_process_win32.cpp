// The Windows half of ImageHost, for the tests under Wine: the host is the
// Linux build's binary. Wine runs a Unix program given to CreateProcessA, but
// hands back no process handle for it (TerminateProcess cannot reach it), so
// the host is started through /bin/sh, which records the host's Unix pid, and
// stopped with a Unix kill the same way.
#include <windows.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "image_host_process.h"

namespace gf::testing_support {
namespace {

constexpr auto kStartTimeout = std::chrono::seconds(10);
constexpr auto kStopTimeout = std::chrono::seconds(5);
constexpr auto kPollInterval = std::chrono::milliseconds(20);

// Wine's own path conversions, exported by its kernel32.
using UnixFromDos = char*(CDECL*)(const wchar_t*);
using DosFromUnix = wchar_t*(CDECL*)(const char*);

std::wstring Wide(const std::string& text) {
  const int n = MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, nullptr, 0);
  std::wstring wide(static_cast<size_t>(n > 0 ? n : 1), L'\0');
  MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, wide.data(), n);
  wide.resize(wide.size() - 1);
  return wide;
}

std::string Narrow(const wchar_t* wide) {
  const int n = WideCharToMultiByte(CP_ACP, 0, wide, -1, nullptr, 0, nullptr, nullptr);
  std::string text(static_cast<size_t>(n > 0 ? n : 1), '\0');
  WideCharToMultiByte(CP_ACP, 0, wide, -1, text.data(), n, nullptr, nullptr);
  text.resize(text.size() - 1);
  return text;
}

// A Unix path stays as it is; a Windows path is mapped by Wine. Empty when
// this is not Wine.
std::string UnixPath(const std::string& path) {
  if (!path.empty() && path[0] == '/') return path;
  const auto convert = reinterpret_cast<UnixFromDos>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleA("kernel32.dll"), "wine_get_unix_file_name")));
  if (convert == nullptr) return std::string();
  char* unix = convert(Wide(path).c_str());
  if (unix == nullptr) return std::string();
  std::string result = unix;
  HeapFree(GetProcessHeap(), 0, unix);
  return result;
}

std::string DosPath(const std::string& unixPath) {
  const auto convert = reinterpret_cast<DosFromUnix>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleA("kernel32.dll"), "wine_get_dos_file_name")));
  if (convert == nullptr) return std::string();
  wchar_t* dos = convert(unixPath.c_str());
  if (dos == nullptr) return std::string();
  std::string result = Narrow(dos);
  HeapFree(GetProcessHeap(), 0, dos);
  return result;
}

// One argument as CommandLineToArgvW (and Wine, for a Unix program's argv)
// splits it back.
std::string Quoted(const std::string& arg) {
  if (!arg.empty() && arg.find_first_of(" \t\"") == std::string::npos) return arg;
  std::string out = "\"";
  size_t backslashes = 0;
  for (char c : arg) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    out.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
    backslashes = 0;
    out.push_back(c);
  }
  out.append(backslashes * 2, '\\');
  out.push_back('"');
  return out;
}

// Runs /bin/sh -c script with the arguments, without waiting: Wine gives no
// handle to wait on.
bool RunShell(const std::string& script, const std::vector<std::string>& args) {
  const std::string shell = DosPath("/bin/sh");
  if (shell.empty()) return false;
  std::string commandLine = "sh -c " + Quoted(script) + " sh";
  for (const std::string& a : args) commandLine += " " + Quoted(a);
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (!CreateProcessA(shell.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                      nullptr, &startup, &process)) {
    std::fprintf(stderr, "ImageHost: cannot run %s (error %lu)\n", shell.c_str(), GetLastError());
    return false;
  }
  // Not closed: for a Unix program Wine can hand back as the thread a value
  // left over on its stack, which may be a handle of ours to something else
  // (once it was the registry's HKEY_CURRENT_USER, and every later HTTPS
  // certificate check failed). Leaving them costs two handles per host started.
  return true;
}

int ReadNumber(const std::string& file) {
  std::ifstream in(file);
  int value = 0;
  if (!(in >> value)) return 0;
  return value;
}

// Alive unless /proc has no entry for it or only a zombie's.
bool UnixProcessRunning(long long pid) {
  static const std::string proc = DosPath("/proc");
  std::ifstream in(proc + "\\" + std::to_string(pid) + "\\stat");
  std::string stat;
  if (!std::getline(in, stat)) return false;
  const size_t close = stat.rfind(')');
  return close != std::string::npos && close + 2 < stat.size() && stat[close + 2] != 'Z';
}

bool WaitUntilGone(long long pid, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (UnixProcessRunning(pid)) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(kPollInterval);
  }
  return true;
}

void RemoveTree(const std::string& directory) {
  WIN32_FIND_DATAA found;
  const HANDLE search = FindFirstFileA((directory + "\\*").c_str(), &found);
  if (search != INVALID_HANDLE_VALUE) {
    do {
      const std::string name = found.cFileName;
      if (name == "." || name == "..") continue;
      DeleteFileA((directory + "\\" + name).c_str());
    } while (FindNextFileA(search, &found));
    FindClose(search);
  }
  RemoveDirectoryA(directory.c_str());
}

}  // namespace

ImageHost::ImageHost(const std::vector<std::string>& options) {
  const char* binary = std::getenv("GALLERYFETCH_IMAGE_HOST");
  if (!binary || !*binary) {
    std::fprintf(stderr, "ImageHost: GALLERYFETCH_IMAGE_HOST is not set\n");
    return;
  }
  const std::string unixBinary = UnixPath(binary);
  if (unixBinary.empty()) {
    std::fprintf(stderr, "ImageHost: no Unix path for %s (not under Wine?)\n", binary);
    return;
  }
  char temp[MAX_PATH];
  const DWORD n = GetTempPathA(sizeof temp, temp);
  if (n == 0 || n >= sizeof temp) return;
  static int serial = 0;
  for (int attempt = 0; attempt < 100 && workDir_.empty(); ++attempt) {
    const std::string candidate = std::string(temp) + "gf-image-host-" +
                                  std::to_string(GetCurrentProcessId()) + "-" +
                                  std::to_string(++serial);
    if (CreateDirectoryA(candidate.c_str(), nullptr)) workDir_ = candidate;
  }
  if (workDir_.empty()) {
    std::fprintf(stderr, "ImageHost: cannot make a work directory in %s\n", temp);
    return;
  }
  https_ = false;
  for (const std::string& o : options) https_ = https_ || o == "--https";
  const std::string portFile = workDir_ + "\\port";
  const std::string pidFile = workDir_ + "\\pid";

  std::vector<std::string> args = {
      UnixPath(pidFile), unixBinary,         "--port", "0",
      "--port-file",     UnixPath(portFile), "--log",  UnixPath(workDir_ + "\\requests.log")};
  // Paths among the options are the test's Windows paths; the host wants
  // Unix ones.
  for (size_t i = 0; i < options.size(); ++i) {
    const bool pathValue = i > 0 && (options[i - 1] == "--root" || options[i - 1] == "--cert-out");
    args.push_back(pathValue ? UnixPath(options[i]) : options[i]);
  }
  // exec keeps the pid that $$ wrote; the "port=N" line would only clutter
  // the test output.
  if (!RunShell("echo $$ >\"$1\"; shift; exec \"$@\" >/dev/null", args)) return;

  const auto deadline = std::chrono::steady_clock::now() + kStartTimeout;
  while (std::chrono::steady_clock::now() < deadline) {
    if (process_ == 0) process_ = ReadNumber(pidFile);
    if (const int port = ReadNumber(portFile); port > 0 && port < 65536) {
      port_ = port;
      return;
    }
    if (process_ > 0 && !UnixProcessRunning(process_)) {
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
  if (process_ > 0) {
    // TERM first so the host closes its connections; KILL if it lingers.
    const std::string pid = std::to_string(process_);
    RunShell("kill -TERM \"$1\"", {pid});
    if (!WaitUntilGone(process_, kStopTimeout)) {
      RunShell("kill -KILL \"$1\"", {pid});
      if (!WaitUntilGone(process_, kStopTimeout)) {
        std::fprintf(stderr, "ImageHost: host %s did not stop\n", pid.c_str());
      }
    }
  }
  if (!workDir_.empty()) RemoveTree(workDir_);
}

std::string ImageHost::origin() const {
  return std::string(https_ ? "https" : "http") + "://127.0.0.1:" + std::to_string(port_);
}

std::vector<std::string> ImageHost::RequestLog() const {
  std::vector<std::string> lines;
  std::ifstream in(workDir_ + "\\requests.log");
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
  }
  return lines;
}

}  // namespace gf::testing_support
