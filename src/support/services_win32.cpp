// The Windows system services: the "A" functions in the ANSI code page, and
// downloads through URLMON.DLL's URLDownloadToFileA, bound by name at the
// first download so that the program starts even without it.
#include <windows.h>
// After windows.h, which they build on.
#include <ole2.h>
#include <urlmon.h>
#include <wininet.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "support/dll_commands.h"
#include "support/fatal.h"
#include "support/runtime.h"
#include "support/services.h"
#include "support/ui_text.h"

namespace gf {
namespace {

// ---------------------------------------------------------------------------
// Start-up state

std::once_flag gStarted;
Text gProgramDirectory;

void EndOle() { OleUninitialize(); }

// Owns a handle from CreateFileA.
struct FileHandle {
  HANDLE handle;
  explicit FileHandle(HANDLE h) : handle(h) {}
  ~FileHandle() {
    if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
  }
  FileHandle(const FileHandle&) = delete;
  FileHandle& operator=(const FileHandle&) = delete;
  bool ok() const { return handle != INVALID_HANDLE_VALUE; }
};

// ---------------------------------------------------------------------------
// The table of late-bound routines

struct DllCommand {
  const char* library;
  const char* routine;
  void* address = nullptr;
  HMODULE module = nullptr;
};

std::mutex& DllTableMutex() {
  static std::mutex mutex;
  return mutex;
}

std::vector<DllCommand>& DllTable() {
  static std::vector<DllCommand> table{{"URLMON.DLL", "URLDownloadToFileA"}};
  return table;
}

// From the system directory only: a DLL of the same name planted beside the
// program must never be the one that runs.
HMODULE LoadFromSystemDirectory(const char* library) {
  if (HMODULE module = LoadLibraryExA(library, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32)) {
    return module;
  }
  // Systems without the search flags refuse it as an invalid parameter; an
  // absolute path in the system directory keeps the same guarantee there.
  if (GetLastError() != ERROR_INVALID_PARAMETER) return nullptr;
  char directory[MAX_PATH];
  const UINT n = GetSystemDirectoryA(directory, sizeof directory);
  if (n == 0 || n >= sizeof directory) return nullptr;
  const Text path = TextJoin({std::string_view(directory, n), "\\", library});
  return LoadLibraryExA(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}

// ---------------------------------------------------------------------------
// Downloads

// Runs OLE on the current thread for the life of the object, when the thread
// does not have it already in a compatible mode.
struct OleForThisThread {
  HRESULT hr = OleInitialize(nullptr);
  OleForThisThread() = default;
  ~OleForThisThread() {
    if (SUCCEEDED(hr)) OleUninitialize();
  }
  OleForThisThread(const OleForThisThread&) = delete;
  OleForThisThread& operator=(const OleForThisThread&) = delete;
};

// "host:port" of a URL, for the reasons.
Text HostOf(const Text& url) {
  const int32_t scheme = TextFind(url, "://", 1, false, CharRule::DoubleByte);
  const size_t from = scheme > 0 ? static_cast<size_t>(scheme) + 2 : 0;
  const size_t to = url.find('/', from);
  return url.substr(from, to == Text::npos ? Text::npos : to - from);
}

Text Hex(HRESULT hr) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(hr));
  return text;
}

// The response headers as ASCII; anything else cannot matter to what we read.
std::string AsciiOf(const wchar_t* wide) {
  std::string text;
  for (; wide != nullptr && *wide != L'\0'; ++wide) {
    text.push_back(*wide < 0x80 ? static_cast<char>(*wide) : '?');
  }
  return text;
}

bool StartsWithIgnoringCase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i) {
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
    if (lower(text[i]) != lower(prefix[i])) return false;
  }
  return true;
}

// A header's value, trimmed; empty when the header is absent.
std::string HeaderValue(std::string_view headers, std::string_view name) {
  size_t at = 0;
  while (at < headers.size()) {
    size_t end = headers.find('\n', at);
    if (end == std::string_view::npos) end = headers.size();
    std::string_view line = headers.substr(at, end - at);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (StartsWithIgnoringCase(line, name) && line.size() > name.size() &&
        line[name.size()] == ':') {
      std::string_view value = line.substr(name.size() + 1);
      while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) {
        value.remove_prefix(1);
      }
      while (!value.empty() && (value.back() == ' ' || value.back() == '\t')) {
        value.remove_suffix(1);
      }
      return std::string(value);
    }
    at = end + 1;
  }
  return std::string();
}

// Digits only; -1 for anything else (an HTTP date, say) or for absurd values.
int64_t DecimalOrMinusOne(const std::string& text, int64_t limit) {
  if (text.empty() || text.size() > 18) return -1;
  int64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return -1;
    value = value * 10 + (c - '0');
  }
  return value <= limit ? value : -1;
}

// Size of a file, -1 when it is not there.
int64_t FileSize(const Text& path) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data)) return -1;
  if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return -1;
  return (static_cast<int64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

// The system's words for a Windows error code.
Text SystemMessage(DWORD error) {
  char text[256];
  DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                           error, 0, text, sizeof text, nullptr);
  while (n > 0 && (text[n - 1] == '\r' || text[n - 1] == '\n' || text[n - 1] == ' ')) --n;
  const Text code = TextJoin({"error ", ToText(static_cast<int32_t>(error))});
  return n == 0 ? code : TextJoin({std::string_view(text, n), " (", code, ")"});
}

// Empty when the .part can be created where the image goes, else why not.
// Bytes the caller may still write beside path; the most there is when the
// system cannot tell.
uint64_t DiskFreeBytes(const Text& path) {
  const size_t slash = path.find_last_of("\\/");
  const Text folder = slash == Text::npos ? Text(".") : path.substr(0, slash + 1);
  ULARGE_INTEGER available{};
  if (!GetDiskFreeSpaceExA(folder.c_str(), &available, nullptr, nullptr)) return UINT64_MAX;
  return available.QuadPart;
}

Text WhyNotWritable(const Text& partPath) {
  const HANDLE h = CreateFileA(partPath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    return TextJoin({"cannot write ", partPath, ": ", SystemMessage(GetLastError())});
  }
  CloseHandle(h);
  DeleteFileA(partPath.c_str());
  return Text();
}

constexpr int kMaxRedirects = 10;

enum class StopReason { None, Cancelled, ConnectTimeout, Stalled, TooManyRedirects };

// What one fetch shares between the caller, which watches the clock and the
// cancel flag, and the helper thread that sits in URLDownloadToFileA. Shared
// ownership: a helper that does not come back in time is left to finish alone.
struct Transfer {
  Text url;
  Text partPath;

  std::mutex mutex;
  IBinding* binding = nullptr;  // held between OnStartBinding and OnStopBinding
  bool abortSent = false;
  bool finished = false;   // the helper is out of URLDownloadToFileA
  bool abandoned = false;  // the caller has returned without it
  HRESULT hr = E_PENDING;
  DWORD status = 0;
  int64_t contentLength = -1;
  int32_t retryAfterSeconds = -1;
  DWORD securityProblem = 0;
  StopReason stop = StopReason::None;

  std::atomic<bool> abort{false};
  std::atomic<bool> requestSent{false};
  std::atomic<int> requestsSent{0};
  std::atomic<ULONGLONG> lastActivity{GetTickCount64()};

  HANDLE done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  ~Transfer() {
    if (done) CloseHandle(done);
  }

  // Stops the binding once it exists; IBinding::Abort from this thread is
  // the only thing that ends a request the host never answers.
  void Stop(StopReason reason) {
    IBinding* target = nullptr;
    {
      std::lock_guard<std::mutex> lock(mutex);
      if (stop == StopReason::None) stop = reason;
      abort = true;
      if (binding != nullptr && !abortSent) {
        abortSent = true;
        target = binding;
        target->AddRef();
      }
    }
    // Unlocked: the binding may call back into the callback from here.
    if (target != nullptr) {
      target->Abort();
      target->Release();
    }
  }
};

// The status callback URLDownloadToFileA reports to. It also answers for the
// HTTP negotiation (the status code and the headers of the answer) and for
// certificate problems.
class StatusCallback final : public IBindStatusCallback,
                             public IHttpNegotiate,
                             public IHttpSecurity {
 public:
  explicit StatusCallback(std::shared_ptr<Transfer> transfer) : transfer_(std::move(transfer)) {}

  // IUnknown
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
    if (object == nullptr) return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IBindStatusCallback)) {
      *object = static_cast<IBindStatusCallback*>(this);
    } else if (IsEqualIID(riid, IID_IHttpNegotiate)) {
      *object = static_cast<IHttpNegotiate*>(this);
    } else if (IsEqualIID(riid, IID_IHttpSecurity) || IsEqualIID(riid, IID_IWindowForBindingUI)) {
      *object = static_cast<IHttpSecurity*>(this);
    } else {
      *object = nullptr;
      return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG left = --references_;
    if (left == 0) delete this;
    return left;
  }

  // IBindStatusCallback
  HRESULT STDMETHODCALLTYPE OnStartBinding(DWORD, IBinding* binding) override {
    std::lock_guard<std::mutex> lock(transfer_->mutex);
    if (binding != nullptr) {
      binding->AddRef();
      transfer_->binding = binding;
    }
    return transfer_->abort ? E_ABORT : S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetPriority(LONG*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE OnLowResource(DWORD) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE OnProgress(ULONG, ULONG, ULONG statusCode, LPCWSTR) override {
    transfer_->lastActivity = GetTickCount64();
    if (statusCode == BINDSTATUS_SENDINGREQUEST) {
      transfer_->requestSent = true;
      // The binding follows redirects without end, each one a new request.
      // Wine follows the next redirect whatever this returns, so the binding
      // itself is stopped as well.
      if (++transfer_->requestsSent > kMaxRedirects + 1)
        transfer_->Stop(StopReason::TooManyRedirects);
    }
    if (statusCode == BINDSTATUS_BEGINDOWNLOADDATA) TakeStatusFromBinding();
    return transfer_->abort ? E_ABORT : S_OK;
  }
  HRESULT STDMETHODCALLTYPE OnStopBinding(HRESULT, LPCWSTR) override {
    std::lock_guard<std::mutex> lock(transfer_->mutex);
    if (transfer_->binding != nullptr) {
      transfer_->binding->Release();
      transfer_->binding = nullptr;
    }
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetBindInfo(DWORD* flags, BINDINFO* info) override {
    // Always a fresh copy from the host, never one from the cache.
    *flags = BINDF_GETNEWESTVERSION | BINDF_NOWRITECACHE | BINDF_PRAGMA_NO_CACHE;
    if (info != nullptr) {
      const DWORD size = info->cbSize;
      std::memset(info, 0, size);
      info->cbSize = size;
      info->dwBindVerb = BINDVERB_GET;
    }
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE OnDataAvailable(DWORD, DWORD, FORMATETC*, STGMEDIUM*) override {
    transfer_->lastActivity = GetTickCount64();
    return transfer_->abort ? E_ABORT : S_OK;
  }
  HRESULT STDMETHODCALLTYPE OnObjectAvailable(REFIID, IUnknown*) override { return S_OK; }

  // IHttpNegotiate
  HRESULT STDMETHODCALLTYPE BeginningTransaction(LPCWSTR, LPCWSTR, DWORD,
                                                 LPWSTR* additionalHeaders) override {
    if (additionalHeaders != nullptr) *additionalHeaders = nullptr;
    return transfer_->abort ? E_ABORT : S_OK;
  }
  HRESULT STDMETHODCALLTYPE OnResponse(DWORD code, LPCWSTR headers, LPCWSTR,
                                       LPWSTR* additionalHeaders) override {
    if (additionalHeaders != nullptr) *additionalHeaders = nullptr;
    transfer_->lastActivity = GetTickCount64();
    const std::string ascii = AsciiOf(headers);
    std::lock_guard<std::mutex> lock(transfer_->mutex);
    // Each answer replaces the last: only the final one's headers count.
    transfer_->status = code;
    transfer_->contentLength = DecimalOrMinusOne(HeaderValue(ascii, "Content-Length"), INT64_MAX);
    transfer_->retryAfterSeconds =
        static_cast<int32_t>(DecimalOrMinusOne(HeaderValue(ascii, "Retry-After"), INT32_MAX));
    return transfer_->abort ? E_ABORT : S_OK;
  }

  // IWindowForBindingUI
  HRESULT STDMETHODCALLTYPE GetWindow(REFGUID, HWND* window) override {
    // No window: nothing may ever ask the user.
    *window = nullptr;
    return S_FALSE;
  }

  // IHttpSecurity
  HRESULT STDMETHODCALLTYPE OnSecurityProblem(DWORD problem) override {
    // Every certificate problem ends the transfer: nothing here may weaken
    // the system's checks, and there is no user to ask.
    std::lock_guard<std::mutex> lock(transfer_->mutex);
    transfer_->securityProblem = problem;
    return E_ABORT;
  }

 private:
  ~StatusCallback() = default;

  // Where OnResponse is not called, the binding still knows the status.
  void TakeStatusFromBinding() {
    std::lock_guard<std::mutex> lock(transfer_->mutex);
    if (transfer_->status != 0 || transfer_->binding == nullptr) return;
    IWinInetHttpInfo* info = nullptr;
    if (FAILED(transfer_->binding->QueryInterface(IID_IWinInetHttpInfo,
                                                  reinterpret_cast<void**>(&info)))) {
      return;
    }
    DWORD status = 0;
    DWORD size = sizeof status;
    if (SUCCEEDED(info->QueryInfo(HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &size,
                                  nullptr, nullptr))) {
      transfer_->status = status;
    }
    info->Release();
  }

  std::atomic<ULONG> references_{1};
  std::shared_ptr<Transfer> transfer_;
};

using UrlDownloadToFileRoutine = HRESULT(WINAPI*)(IUnknown*, LPCSTR, LPCSTR, DWORD,
                                                  IBindStatusCallback*);

HRESULT CallUrlDownloadToFile(void* routine, const char* url, const char* file,
                              IBindStatusCallback* callback) {
#if defined(__i386__)
  const uint32_t args[5] = {0, static_cast<uint32_t>(reinterpret_cast<uintptr_t>(url)),
                            static_cast<uint32_t>(reinterpret_cast<uintptr_t>(file)), 0,
                            static_cast<uint32_t>(reinterpret_cast<uintptr_t>(callback))};
  uint32_t result = 0;
  if (gf_call_stdcall5(routine, args, &result) != 0) FatalRunError(kErrorStack, 67193900, 25);
  return static_cast<HRESULT>(result);
#else
  // x86_64 Windows has a single calling convention: the stack cannot come
  // back unbalanced, so there is nothing to check.
  return reinterpret_cast<UrlDownloadToFileRoutine>(routine)(nullptr, url, file, 0, callback);
#endif
}

// The helper thread's whole work: one URLDownloadToFileA with OLE of its own.
void RunTransfer(std::shared_ptr<Transfer> transfer, void* routine) {
  // Keeps URLMON in memory while this thread may still use it, even if the
  // shutdown steps free the table's reference meanwhile.
  HMODULE pin = nullptr;
  GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, static_cast<const char*>(routine),
                     &pin);
  HRESULT hr = E_FAIL;
  {
    // The binding runs in this thread's apartment, ended before URLMON may go.
    const OleForThisThread ole;
    hr = ole.hr;
    if (SUCCEEDED(ole.hr)) {
      StatusCallback* callback = new StatusCallback(transfer);
      hr = CallUrlDownloadToFile(routine, transfer->url.c_str(), transfer->partPath.c_str(),
                                 callback);
      callback->Release();
    }
    // In case the binding ended without OnStopBinding.
    std::lock_guard<std::mutex> lock(transfer->mutex);
    if (transfer->binding != nullptr) {
      transfer->binding->Release();
      transfer->binding = nullptr;
    }
  }
  {
    std::lock_guard<std::mutex> lock(transfer->mutex);
    transfer->hr = hr;
    transfer->finished = true;
    // Nobody will look at what came in: it must not stay behind.
    if (transfer->abandoned) DeleteFileA(transfer->partPath.c_str());
  }
  SetEvent(transfer->done);
  if (pin != nullptr) FreeLibrary(pin);
}

struct TransferStart {
  std::shared_ptr<Transfer> transfer;
  void* routine;
};

DWORD WINAPI TransferThread(void* parameter) {
  const std::unique_ptr<TransferStart> start(static_cast<TransferStart*>(parameter));
  RunTransfer(start->transfer, start->routine);
  return 0;
}

Text NetworkReason(HRESULT hr, bool requestSent, const Text& host) {
  switch (hr) {
    case INET_E_CANNOT_CONNECT:
    case INET_E_DOWNLOAD_FAILURE:
      if (!requestSent) {
        return TextJoin({"cannot connect to ", host, ": refused or unreachable (", Hex(hr), ")"});
      }
      return TextJoin({"connection to ", host, " failed (", Hex(hr), ")"});
    case INET_E_RESOURCE_NOT_FOUND:
      return TextJoin({"cannot find ", host, " (", Hex(hr), ")"});
    case INET_E_INVALID_CERTIFICATE:
    case INET_E_SECURITY_PROBLEM:
      return TextJoin({"the certificate of ", host, " is not trusted (", Hex(hr), ")"});
    case INET_E_REDIRECT_FAILED:
      return TextJoin({"redirect from ", host, " failed (", Hex(hr), ")"});
    default:
      return TextJoin({"download from ", host, " failed (", Hex(hr), ")"});
  }
}

}  // namespace

// ---------------------------------------------------------------------------
// Start-up, folders and files

void InitializeServices() {
  std::call_once(gStarted, [] {
    const HRESULT ole = OleInitialize(nullptr);
    char path[260];
    const DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
    Text fileName;
    gProgramDirectory = DirectoryOfPath(std::string_view(path, n), CharRule::DoubleByte, &fileName);
    // "C:" alone would mean the drive's current directory, not its root.
    const Text enter = !gProgramDirectory.empty() && gProgramDirectory.back() == ':'
                           ? gProgramDirectory + "\\"
                           : gProgramDirectory;
    SetCurrentDirectoryA(enter.c_str());
    ReleaseDllCommands();
    RegisterShutdownStep(ReleaseDllCommands);
    if (SUCCEEDED(ole)) RegisterShutdownStep(EndOle);
  });
}

Text ProgramDirectory() { return gProgramDirectory; }

bool CreateFolder(const Text& path) {
  return !path.empty() && CreateDirectoryA(path.c_str(), nullptr) != 0;
}

bool FolderExists(const Text& path) {
  if (path.empty()) return false;
  const DWORD attributes = GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

ByteBuffer ReadWholeFile(const Text& path) {
  if (path.empty()) return {};
  // Sharing reads only: a file someone is still writing is not read half-done.
  const FileHandle file(CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.ok()) return {};
  const DWORD here = SetFilePointer(file.handle, 0, nullptr, FILE_CURRENT);
  LONG high = 0;
  const DWORD end = SetFilePointer(file.handle, 0, &high, FILE_END);
  if (here == INVALID_SET_FILE_POINTER || end == INVALID_SET_FILE_POINTER || high != 0) return {};
  SetFilePointer(file.handle, static_cast<LONG>(here), nullptr, FILE_BEGIN);
  // 2 GiB and more come out negative, like an empty file: nothing to read.
  const LONG size = static_cast<LONG>(end - here);
  if (size <= 0) return {};
  ByteBuffer bytes(static_cast<size_t>(size));
  DWORD read = 0;
  if (!ReadFile(file.handle, bytes.data(), static_cast<DWORD>(size), &read, nullptr) || read == 0) {
    return {};
  }
  bytes.resize(read);
  return bytes;
}

bool ReadsBackWithContent(const Text& path) {
  if (path.empty()) return false;
  // Opened and checked exactly as ReadWholeFile does.
  const FileHandle file(CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.ok()) return false;
  const DWORD here = SetFilePointer(file.handle, 0, nullptr, FILE_CURRENT);
  LONG high = 0;
  const DWORD end = SetFilePointer(file.handle, 0, &high, FILE_END);
  if (here == INVALID_SET_FILE_POINTER || end == INVALID_SET_FILE_POINTER || high != 0) {
    return false;
  }
  SetFilePointer(file.handle, static_cast<LONG>(here), nullptr, FILE_BEGIN);
  const LONG size = static_cast<LONG>(end - here);
  if (size <= 0) return false;
  // ReadWholeFile reads once and takes what comes; so does this, in pieces.
  char piece[64 * 1024];
  DWORD left = static_cast<DWORD>(size);
  DWORD got = 0;
  while (left > 0) {
    DWORD read = 0;
    if (!ReadFile(file.handle, piece, std::min<DWORD>(left, sizeof piece), &read, nullptr)) {
      return false;
    }
    if (read == 0) break;
    got += read;
    left -= read;
  }
  return got > 0;
}

// ---------------------------------------------------------------------------
// Late-bound routines

int32_t DeclareDllCommand(const char* library, const char* routine) {
  std::lock_guard<std::mutex> lock(DllTableMutex());
  DllTable().push_back({library, routine});
  return static_cast<int32_t>(DllTable().size() - 1);
}

Text DllBindMessage(std::string_view library, std::string_view routine) {
  const std::string_view format = UiText(Ui::DllBindFormat);
  const size_t first = format.find("%s");
  const size_t second = first == std::string_view::npos ? first : format.find("%s", first + 2);
  if (second == std::string_view::npos) return ToText(format);
  return TextJoin({format.substr(0, first), library, format.substr(first + 2, second - first - 2),
                   routine, format.substr(second + 2)});
}

void* BindDllCommand(int32_t entry) {
  const char* library = nullptr;
  const char* routine = nullptr;
  {
    std::lock_guard<std::mutex> lock(DllTableMutex());
    std::vector<DllCommand>& table = DllTable();
    if (entry < 0 || static_cast<size_t>(entry) >= table.size()) return nullptr;
    DllCommand& command = table[static_cast<size_t>(entry)];
    if (command.address != nullptr) return command.address;
    library = command.library;
    routine = command.routine;
    HMODULE module = LoadFromSystemDirectory(library);
    void* address = module ? reinterpret_cast<void*>(GetProcAddress(module, routine)) : nullptr;
    if (address != nullptr) {
      command.address = address;
      command.module = module;
      return address;
    }
    if (module != nullptr) FreeLibrary(module);
  }
  // Outside the lock: the report's shutdown steps take it again.
  const Text message = DllBindMessage(library, routine);
  FatalRunError(message, 0, 0, 0);
}

void ReleaseDllCommands() {
  std::lock_guard<std::mutex> lock(DllTableMutex());
  for (DllCommand& command : DllTable()) {
    if (command.module != nullptr) FreeLibrary(command.module);
    command.module = nullptr;
    command.address = nullptr;
  }
}

// ---------------------------------------------------------------------------
// Files of a download

Text ReplaceWithFile(const Text& from, const Text& to) {
  if (MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING)) return Text();
  return TextJoin({"cannot replace ", to, ": ", SystemMessage(GetLastError())});
}

bool RemoveFile(const Text& path) { return !path.empty() && DeleteFileA(path.c_str()) != 0; }

// ---------------------------------------------------------------------------
// FetchPool: one helper thread per transfer, each in URLDownloadToFileA with
// OLE of its own, watched from the pool's thread in WaitAny.

namespace {

// How long an aborted binding may take to come back before it is left.
constexpr ULONGLONG kAbortGrace = 700;
// How long WaitAny sleeps at most between looks at the cancel flag and the clocks.
constexpr DWORD kWatchMilliseconds = 50;

// One transfer from Start until it is handed out or aborted.
struct PoolEntry {
  int32_t id = 0;
  std::shared_ptr<Transfer> transfer;  // null until the helper is started
  ULONGLONG startAt = 0;               // when the helper is to be started
  ULONGLONG launchedAt = 0;
  ULONGLONG stoppedAt = 0;  // when it was told to stop, 0 while it runs
  Text url;
  Text filePath;
};

// Starts the helper thread; false when there is none.
bool LaunchHelper(PoolEntry& entry) {
  void* routine = BindDllCommand(kUrlDownloadToFileEntry);
  auto transfer = std::make_shared<Transfer>();
  transfer->url = entry.url;
  transfer->partPath = entry.filePath;
  // A file left by an earlier run that was ended mid-image.
  DeleteFileA(transfer->partPath.c_str());
  auto threadStart = std::make_unique<TransferStart>(TransferStart{transfer, routine});
  const HANDLE thread =
      transfer->done ? CreateThread(nullptr, 0, TransferThread, threadStart.get(), 0, nullptr)
                     : nullptr;
  if (thread == nullptr) return false;
  threadStart.release();
  CloseHandle(thread);
  entry.transfer = std::move(transfer);
  entry.launchedAt = GetTickCount64();
  return true;
}

// Stops an entry whose helper went past a limit. True once it has ended: the
// helper came back, or it was left after the grace.
bool Watch(PoolEntry& entry, const FetchOptions& options, ULONGLONG now) {
  Transfer& transfer = *entry.transfer;
  if (WaitForSingleObject(transfer.done, 0) == WAIT_OBJECT_0) return true;
  // URLDownloadToFileA tells nothing while a host is silent, and returns only
  // when the transfer ends: the limits are kept from here.
  const ULONGLONG connectLimit =
      static_cast<ULONGLONG>(std::max(options.connectTimeoutSeconds, 1)) * 1000;
  const ULONGLONG stallLimit =
      static_cast<ULONGLONG>(std::max(options.stallTimeoutSeconds, 1)) * 1000;
  // The callback, or a start just now, may have moved them past "now".
  const ULONGLONG quiet = now - std::min(now, transfer.lastActivity.load());
  const ULONGLONG running = now - std::min(now, entry.launchedAt);
  if (entry.stoppedAt == 0) {
    StopReason reason = StopReason::None;
    if (transfer.abort) {
      // The callback gave up (too many redirects); make sure it ends.
      reason = StopReason::TooManyRedirects;
    } else if (!transfer.requestSent && running > connectLimit) {
      reason = StopReason::ConnectTimeout;
    } else if (transfer.requestSent && quiet > stallLimit) {
      reason = StopReason::Stalled;
    }
    if (reason != StopReason::None) {
      transfer.Stop(reason);
      entry.stoppedAt = now;
    }
    return false;
  }
  if (now - entry.stoppedAt > kAbortGrace) {
    std::lock_guard<std::mutex> lock(transfer.mutex);
    if (transfer.finished) return true;
    // The helper deletes what it wrote when it comes back.
    transfer.abandoned = true;
    return true;
  }
  // The binding may have started only after the first attempt.
  transfer.Stop(StopReason::None);
  return false;
}

// The outcome of an ended transfer. Its file is removed unless the outcome is
// Fetched (a helper that was left removes it when it comes back).
FetchResult Classify(Transfer& transfer, const FetchOptions& options) {
  FetchResult result;
  const Text host = HostOf(transfer.url);
  StopReason stop;
  HRESULT hr;
  int32_t status;
  int64_t contentLength;
  DWORD securityProblem;
  {
    std::lock_guard<std::mutex> lock(transfer.mutex);
    stop = transfer.stop;
    hr = transfer.hr;
    status = static_cast<int32_t>(transfer.status);
    result.retryAfterSeconds = transfer.retryAfterSeconds;
    contentLength = transfer.contentLength;
    securityProblem = transfer.securityProblem;
  }
  result.httpStatus = status;

  const Text& part = transfer.partPath;
  const auto discard = [&] { DeleteFileA(part.c_str()); };

  switch (stop) {
    case StopReason::Cancelled:
      discard();
      result.outcome = FetchOutcome::Cancelled;
      result.reason = "cancelled";
      return result;
    case StopReason::ConnectTimeout:
      discard();
      result.reason = TextJoin(
          {"no connection to ", host, " within ", ToText(options.connectTimeoutSeconds), " s"});
      return result;
    case StopReason::Stalled:
      discard();
      result.reason = TextJoin(
          {"nothing received from ", host, " for ", ToText(options.stallTimeoutSeconds), " s"});
      return result;
    case StopReason::TooManyRedirects:
      discard();
      result.reason = TextJoin({"too many redirects from ", host});
      return result;
    case StopReason::None:
      break;
  }

  const bool success = status >= 200 && status < 300;
  const int64_t size = FileSize(part);
  if (securityProblem != 0) {
    discard();
    result.httpStatus = 0;
    result.reason = TextJoin({"the certificate of ", host, " is not trusted (problem ",
                              ToText(static_cast<int32_t>(securityProblem)), ")"});
    return result;
  }
  if (FAILED(hr)) {
    discard();
    if (success) {
      const Text why = WhyNotWritable(part);
      if (!why.empty()) {
        result.localError = true;
        result.reason = why;
        return result;
      }
    }
    result.reason = NetworkReason(hr, transfer.requestSent, host);
    return result;
  }
  if (status == 0) {
    discard();
    result.reason = TextJoin({"no HTTP answer from ", host});
    return result;
  }
  if (!success) {
    discard();
    result.outcome = status >= 400 && status < 500 && status != 408 && status != 429
                         ? FetchOutcome::Missing
                         : FetchOutcome::Failed;
    result.reason = TextJoin({"HTTP ", ToText(status), " from ", host});
    return result;
  }
  // A 2xx answer whose body could not be stored comes back as a success with
  // no file.
  if (size < 0) {
    const Text why = WhyNotWritable(part);
    result.localError = !why.empty();
    result.reason = result.localError ? why : TextJoin({"no file came from ", host});
    return result;
  }
  result.bytes = static_cast<uint64_t>(size);
  // A connection closed early still ends in success here: the length tells.
  if (contentLength >= 0 && size < contentLength) {
    discard();
    // The service reports a write that ran out of room as a short transfer;
    // retrying cannot help then.
    if (DiskFreeBytes(part) < static_cast<uint64_t>(contentLength - size)) {
      result.localError = true;
      result.reason = TextJoin({"cannot write ", part, ": no space left on the disk"});
      return result;
    }
    result.reason = TextJoin({"connection to ", host, " closed after ", std::to_string(size),
                              " of ", std::to_string(contentLength), " bytes"});
    return result;
  }
  if (size == 0) {
    discard();
    result.outcome = FetchOutcome::Missing;
    result.reason = TextJoin({"empty answer (HTTP ", ToText(status), ") from ", host});
    return result;
  }
  result.outcome = FetchOutcome::Fetched;
  return result;
}

}  // namespace

struct FetchPool::State {
  struct Ended {
    PoolCompletion completion;
    Text filePath;
  };

  FetchOptions options;
  std::vector<PoolEntry> entries;                   // started, not yet ended
  std::vector<std::shared_ptr<Transfer>> stopping;  // aborted, the helper maybe still inside
  std::deque<Ended> ended;                          // not yet handed out

  void Fail(int32_t id, Text reason, bool localError) {
    Ended e;
    e.completion.id = id;
    e.completion.result.reason = std::move(reason);
    e.completion.result.localError = localError;
    ended.push_back(std::move(e));
  }

  // Tells the helper to stop; what it wrote goes now or, when it is still
  // inside, when it comes back.
  void Stop(std::shared_ptr<Transfer> transfer) {
    transfer->Stop(StopReason::Cancelled);
    {
      std::lock_guard<std::mutex> lock(transfer->mutex);
      if (!transfer->finished) {
        transfer->abandoned = true;
        stopping.push_back(std::move(transfer));
        return;
      }
    }
    DeleteFileA(transfer->partPath.c_str());
  }

  // Forgets the stopped helpers that have come back (and removed their files).
  void ForgetFinished() {
    std::erase_if(stopping, [](const std::shared_ptr<Transfer>& t) {
      std::lock_guard<std::mutex> lock(t->mutex);
      return t->finished;
    });
  }
};

FetchPool::FetchPool(FetchOptions options, int32_t) : state_(std::make_unique<State>()) {
  state_->options = std::move(options);
}

FetchPool::~FetchPool() { AbortAll(); }

void FetchPool::Start(int32_t id, const Text& url, const Text& filePath,
                      int32_t delayMilliseconds) {
  State& s = *state_;
  // The URL download service trusts the system's certificate store only; a
  // certificate file could be honoured only by changing that store.
  if (!s.options.caFile.empty()) {
    return s.Fail(id, "a certificate file to trust is not supported on Windows", true);
  }
  PoolEntry entry;
  entry.id = id;
  entry.url = url;
  entry.filePath = filePath;
  entry.startAt = GetTickCount64() + static_cast<ULONGLONG>(std::max(delayMilliseconds, 0));
  if (delayMilliseconds <= 0 && !LaunchHelper(entry)) {
    return s.Fail(id, "cannot start a download", false);
  }
  s.entries.push_back(std::move(entry));
}

std::optional<PoolCompletion> FetchPool::WaitAny(const std::atomic<bool>* cancel) {
  State& s = *state_;
  for (;;) {
    if (!s.ended.empty()) {
      PoolCompletion c = std::move(s.ended.front().completion);
      s.ended.pop_front();
      return c;
    }
    if (cancel != nullptr && cancel->load()) return std::nullopt;
    if (s.entries.empty()) return std::nullopt;
    s.ForgetFinished();

    const ULONGLONG now = GetTickCount64();
    DWORD wait = kWatchMilliseconds;
    std::vector<HANDLE> running;
    for (size_t i = 0; i < s.entries.size();) {
      PoolEntry& entry = s.entries[i];
      if (!entry.transfer) {
        if (entry.startAt > now) {
          wait = static_cast<DWORD>(std::min<ULONGLONG>(wait, entry.startAt - now));
          ++i;
          continue;
        }
        if (!LaunchHelper(entry)) {
          s.Fail(entry.id, "cannot start a download", false);
          s.entries.erase(s.entries.begin() + static_cast<std::ptrdiff_t>(i));
          continue;
        }
      }
      if (Watch(entry, s.options, now)) {
        State::Ended e;
        e.completion.id = entry.id;
        e.completion.result = Classify(*entry.transfer, s.options);
        e.filePath = entry.filePath;
        s.ended.push_back(std::move(e));
        s.entries.erase(s.entries.begin() + static_cast<std::ptrdiff_t>(i));
        continue;
      }
      running.push_back(entry.transfer->done);
      ++i;
    }
    if (!s.ended.empty()) continue;
    if (running.empty()) {
      Sleep(wait);
    } else {
      // A pool runs at most a few dozen: well within the limit of one wait.
      const DWORD count =
          static_cast<DWORD>(std::min<size_t>(running.size(), MAXIMUM_WAIT_OBJECTS));
      WaitForMultipleObjects(count, running.data(), FALSE, wait);
    }
  }
}

void FetchPool::Abort(int32_t id) {
  State& s = *state_;
  std::erase_if(s.ended, [id](const State::Ended& e) {
    if (e.completion.id != id) return false;
    // Never handed out, so a fetched file is nobody's.
    if (e.completion.result.outcome == FetchOutcome::Fetched) DeleteFileA(e.filePath.c_str());
    return true;
  });
  for (size_t i = 0; i < s.entries.size(); ++i) {
    if (s.entries[i].id != id) continue;
    std::shared_ptr<Transfer> transfer = std::move(s.entries[i].transfer);
    s.entries.erase(s.entries.begin() + static_cast<std::ptrdiff_t>(i));
    if (transfer) s.Stop(std::move(transfer));
    return;
  }
}

void FetchPool::AbortAll() {
  State& s = *state_;
  while (!s.ended.empty()) Abort(s.ended.front().completion.id);
  while (!s.entries.empty()) Abort(s.entries.front().id);
  // All were told to stop at once, so together they take one grace at most.
  const ULONGLONG until = GetTickCount64() + kAbortGrace;
  for (;;) {
    s.ForgetFinished();
    if (s.stopping.empty() || GetTickCount64() > until) break;
    Sleep(10);
  }
  // The rest delete their files when they come back.
  s.stopping.clear();
}

}  // namespace gf
