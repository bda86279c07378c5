// Drives galleryfetch.exe from outside, as a user would: finds its window,
// reads what it shows, types and clicks, and watches a download run through.
// Run by window_win32_test.sh, which starts the local image host.
//
// usage: window_win32_driver CASE EXE PORT LOG [SHOT_DIR]
//   CASE      full-run | close-mid-run-box | close-mid-run-escape
//   EXE       galleryfetch.exe, alone in a fresh folder (galleries go beside it)
//   PORT      the image host's port on 127.0.0.1
//   LOG       the image host's request log
//   SHOT_DIR  full-run only: hand the finished window's place to the script
//             there (window.rect) and wait for it to take a picture (shot.done)
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "gallery/download_run.h"
#include "window/main_window.h"

namespace {

using gf::Control;

const char* g_case = "";
int g_failures = 0;

std::wstring Wide(const std::string& utf8) {
  if (utf8.empty()) return std::wstring();
  const int n =
      MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  std::wstring wide(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), wide.data(), n);
  return wide;
}

std::string Utf8(const std::wstring& wide) {
  if (wide.empty()) return std::string();
  const int n = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), nullptr,
                                    0, nullptr, nullptr);
  std::string narrow(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), narrow.data(), n,
                      nullptr, nullptr);
  return narrow;
}

bool Check(bool ok, const std::string& what, const std::string& detail = "") {
  if (!ok) {
    ++g_failures;
    std::printf("FAILED: %s: %s%s%s\n", g_case, what.c_str(), detail.empty() ? "" : ": ",
                detail.c_str());
    std::fflush(stdout);
  }
  return ok;
}

std::string Quoted(const std::wstring& text) { return "\"" + Utf8(text) + "\""; }

// Text of a window in another process; WM_GETTEXT is marshalled across, and
// the timeout keeps a hung program from hanging the test. One message with
// room to spare, so that a text changing meanwhile is never read half.
std::wstring TextOf(HWND hwnd) {
  std::wstring text(4096, L'\0');
  DWORD_PTR copied = 0;
  if (!SendMessageTimeoutW(hwnd, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()),
                           SMTO_ABORTIFHUNG, 5000, &copied)) {
    return L"<no answer>";
  }
  text.resize(static_cast<size_t>(copied));
  return text;
}

std::wstring ClassOf(HWND hwnd) {
  wchar_t name[64] = {};
  GetClassNameW(hwnd, name, 64);
  return name;
}

// The program's own window and controls, found from outside.
struct Program {
  PROCESS_INFORMATION process{};
  HWND main = nullptr;
  HWND controls[std::size(gf::kControls)] = {};
  HWND Of(Control id) const { return controls[static_cast<int>(id)]; }
};

struct FindByProcess {
  DWORD pid;
  HWND found;
};

BOOL CALLBACK FindTopLevel(HWND hwnd, LPARAM param) {
  auto* find = reinterpret_cast<FindByProcess*>(param);
  DWORD pid = 0;
  GetWindowThreadProcessId(hwnd, &pid);
  if (pid == find->pid && IsWindowVisible(hwnd) && GetWindow(hwnd, GW_OWNER) == nullptr) {
    find->found = hwnd;
    return FALSE;
  }
  return TRUE;
}

// Polls until ready() holds or the bound passes; a bound, not a measurement.
template <typename Ready>
bool WaitFor(Ready ready, DWORD boundMs) {
  const ULONGLONG end = GetTickCount64() + boundMs;
  while (!ready()) {
    if (GetTickCount64() > end) return false;
    Sleep(20);
  }
  return true;
}

bool Start(Program& program, const std::string& exe) {
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  std::string commandLine = "\"" + exe + "\"";
  if (!CreateProcessA(exe.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                      &startup, &program.process)) {
    return Check(false, "start the program",
                 "CreateProcessA error " + std::to_string(GetLastError()));
  }
  WaitForInputIdle(program.process.hProcess, 30000);
  FindByProcess find{program.process.dwProcessId, nullptr};
  const bool shown = WaitFor(
      [&] {
        find.found = nullptr;
        EnumWindows(FindTopLevel, reinterpret_cast<LPARAM>(&find));
        return find.found != nullptr;
      },
      30000);
  if (!Check(shown, "a visible top-level window of the program appears")) return false;
  program.main = find.found;

  // The children from the top of the stack down, which is the order of kControls.
  size_t n = 0;
  for (HWND child = GetWindow(program.main, GW_CHILD); child != nullptr;
       child = GetWindow(child, GW_HWNDNEXT)) {
    if (n < std::size(program.controls)) {
      program.controls[static_cast<int>(gf::kControls[n].id)] = child;
    }
    ++n;
  }
  return Check(n == std::size(gf::kControls), "six child controls",
               std::to_string(n) + " children");
}

// Ends a program the test could not close itself, so the next case starts clean.
void Kill(Program& program) {
  if (program.process.hProcess == nullptr) return;
  if (WaitForSingleObject(program.process.hProcess, 0) == WAIT_TIMEOUT) {
    TerminateProcess(program.process.hProcess, 99);
    WaitForSingleObject(program.process.hProcess, 10000);
  }
  CloseHandle(program.process.hThread);
  CloseHandle(program.process.hProcess);
  program.process = {};
}

HWND FocusOf(const Program& program) {
  GUITHREADINFO info{};
  info.cbSize = sizeof info;
  if (!GetGUIThreadInfo(program.process.dwThreadId, &info)) return nullptr;
  return info.hwndFocus;
}

std::string NameOf(const Program& program, HWND hwnd) {
  for (const gf::ControlLayout& layout : gf::kControls) {
    if (program.Of(layout.id) == hwnd) return layout.name;
  }
  return hwnd == nullptr ? "nothing" : hwnd == program.main ? "the window" : "another window";
}

void PressKey(WORD key, bool shift = false) {
  std::vector<INPUT> inputs;
  auto add = [&](WORD vk, DWORD flags) {
    INPUT input{};
    input.type = INPUT_KEYBOARD;
    input.ki.wVk = vk;
    input.ki.wScan = static_cast<WORD>(MapVirtualKeyW(vk, MAPVK_VK_TO_VSC));
    input.ki.dwFlags = flags;
    inputs.push_back(input);
  };
  if (shift) add(VK_SHIFT, 0);
  add(key, 0);
  add(key, KEYEVENTF_KEYUP);
  if (shift) add(VK_SHIFT, KEYEVENTF_KEYUP);
  SendInput(static_cast<UINT>(inputs.size()), inputs.data(), sizeof(INPUT));
}

// Keys go to the foreground window; the program's must be it.
bool BringToFront(const Program& program) {
  SetForegroundWindow(program.main);
  return WaitFor([&] { return GetForegroundWindow() == program.main; }, 5000);
}

// The window as it comes up, before anything is touched.
void CheckFirstLook(const Program& program) {
  RECT outer{};
  GetWindowRect(program.main, &outer);
  const gf::Point place =
      gf::CentredPlace(GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN));
  const std::string got = std::to_string(outer.left) + "," + std::to_string(outer.top) + " " +
                          std::to_string(outer.right - outer.left) + "x" +
                          std::to_string(outer.bottom - outer.top);
  Check(outer.left == place.x && outer.top == place.y, "placed centred", got);
  Check(outer.right - outer.left == 380 && outer.bottom - outer.top == 250, "outer size 380x250",
        got);
  Check(GetWindowTextLengthW(program.main) == 0, "empty title", Quoted(TextOf(program.main)));

  const LONG_PTR style = GetWindowLongPtrW(program.main, GWL_STYLE);
  const LONG_PTR exStyle = GetWindowLongPtrW(program.main, GWL_EXSTYLE);
  Check((style & WS_CAPTION) == WS_CAPTION && (style & WS_SYSMENU) && (style & WS_MINIMIZEBOX),
        "caption, close box and minimize box");
  Check(!(style & WS_THICKFRAME) && !(style & WS_MAXIMIZEBOX), "no resizing frame, no maximize");
  Check(!(exStyle & WS_EX_TOPMOST), "not topmost");

  struct Expected {
    Control id;
    const wchar_t* className;
    std::string text;  // UTF-8
  };
  const Expected expected[] = {
      {Control::Label1, L"Static", ""},
      {Control::Button2, L"Button", "打开文件夹"},
      {Control::ProgressLabel, L"Static", "下载进度"},
      {Control::Address, L"Edit",
       "https://gallery.example/img.html?img=https://img.example.test/images/img/20103/1.jpg"},
      {Control::AddressLabel, L"Static", "网址"},
      {Control::Button1, L"Button", "开始"},
  };
  // Start() took the children from the top of the stack down as kControls'
  // order, so a control out of its stacking place shows up here as a wrong
  // class, text or place.
  for (const Expected& e : expected) {
    const gf::ControlLayout& layout = gf::kControls[static_cast<int>(e.id)];
    HWND hwnd = program.Of(e.id);
    const std::string name = layout.name;
    if (!Check(hwnd != nullptr, name + " exists")) continue;
    Check(ClassOf(hwnd) == e.className, name + " is a " + Utf8(e.className), Utf8(ClassOf(hwnd)));
    const std::wstring text = TextOf(hwnd);
    Check(text == Wide(e.text), name + " shows " + Quoted(Wide(e.text)), Quoted(text));

    RECT box{};
    GetWindowRect(hwnd, &box);
    MapWindowPoints(HWND_DESKTOP, program.main, reinterpret_cast<POINT*>(&box), 2);
    Check(box.left == layout.left && box.top == layout.top && box.right - box.left == layout.width &&
              box.bottom - box.top == layout.height,
          name + " at its place and size",
          std::to_string(box.left) + "," + std::to_string(box.top) + " " +
              std::to_string(box.right - box.left) + "x" + std::to_string(box.bottom - box.top));
    Check(IsWindowVisible(hwnd) && IsWindowEnabled(hwnd), name + " visible and enabled");
    const bool tabStop = (GetWindowLongPtrW(hwnd, GWL_STYLE) & WS_TABSTOP) != 0;
    Check(tabStop == layout.tabStop, name + (layout.tabStop ? " is" : " is not") + " a tab stop");
  }
  const LRESULT selection = SendMessageW(program.Of(Control::Address), EM_GETSEL, 0, 0);
  Check(LOWORD(selection) == 0 && HIWORD(selection) == 0,
        "nothing selected in the address box, caret at the start",
        std::to_string(LOWORD(selection)) + ".." + std::to_string(HIWORD(selection)));
  Check(FocusOf(program) == program.Of(Control::Button1), "the focus starts on 按钮1",
        NameOf(program, FocusOf(program)));
}

// The program file carries the icon as DEFAULT_ICON, drawn at 32 and 16 pixels.
void CheckIconResource(const std::string& exe) {
  HMODULE module = LoadLibraryExA(exe.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
  if (!Check(module != nullptr, "the program file opens as a resource file")) return;
  HRSRC found = FindResourceA(module, "DEFAULT_ICON", MAKEINTRESOURCEA(14));  // RT_GROUP_ICON
  std::string sizes;
  if (Check(found != nullptr, "an icon resource named DEFAULT_ICON")) {
    // The group header: reserved, type and count words, then 14-byte entries
    // starting with the width and height bytes.
    const auto* group =
        static_cast<const unsigned char*>(LockResource(LoadResource(module, found)));
    const int count = group[4] | (group[5] << 8);
    for (int i = 0; i < count; ++i) {
      const unsigned char* entry = group + 6 + 14 * i;
      sizes += std::to_string(entry[0]) + "x" + std::to_string(entry[1]) + " ";
    }
    Check(sizes == "32x32 16x16 ", "DEFAULT_ICON holds a 32x32 and a 16x16 image", sizes);
  }
  FreeLibrary(module);
}

// Tab and Shift+Tab go round the three controls that take focus; Enter does
// nothing of the window's own, neither on 按钮1 nor in the address box.
void CheckKeyboard(const Program& program) {
  if (!Check(BringToFront(program), "the window comes to the front for the keyboard")) return;
  struct Step {
    WORD key;
    bool shift;
    Control focusAfter;
  };
  // Ends with a Tab: once it has moved the focus, the Enter before it has
  // been handled too, since keys are taken in order.
  const Step steps[] = {
      {VK_TAB, false, Control::Address},    {VK_TAB, false, Control::Button2},
      {VK_TAB, false, Control::Button1},    {VK_RETURN, false, Control::Button1},
      {VK_TAB, true, Control::Button2},     {VK_TAB, true, Control::Address},
      {VK_RETURN, false, Control::Address}, {VK_TAB, true, Control::Button1},
  };
  for (const Step& step : steps) {
    const HWND before = FocusOf(program);
    const HWND want = program.Of(step.focusAfter);
    PressKey(step.key, step.shift);
    // Where an Enter must leave the focus is checked by the Tab after it: had
    // the focus moved, that Tab would start from elsewhere and end elsewhere.
    if (step.key == VK_RETURN) continue;
    WaitFor([&] { return FocusOf(program) != before; }, 3000);
    Check(FocusOf(program) == want,
          std::string(step.shift ? "Shift+Tab" : "Tab") + " from " + NameOf(program, before) +
              " leaves the focus on " + gf::kControls[static_cast<int>(step.focusAfter)].name,
          NameOf(program, FocusOf(program)));
  }
  Check(TextOf(program.Of(Control::Label1)).empty(), "Enter started nothing: 标签1 still empty",
        Quoted(TextOf(program.Of(Control::Label1))));
  Check(IsWindowEnabled(program.Of(Control::Button1)), "Enter started nothing: 按钮1 enabled");
}

// Another window takes the foreground and gives it back: the focus returns to
// the control that had it, not to the window itself.
void CheckFocusKeptAcrossActivation(const Program& program) {
  const HWND edit = program.Of(Control::Address);
  PressKey(VK_TAB);
  if (!Check(WaitFor([&] { return FocusOf(program) == edit; }, 3000),
             "Tab from 按钮1 reaches 网址1")) {
    return;
  }
  HWND other = CreateWindowExW(0, L"STATIC", L"other", WS_OVERLAPPED | WS_CAPTION | WS_VISIBLE, 0,
                               0, 200, 100, nullptr, nullptr, nullptr, nullptr);
  SetForegroundWindow(other);
  const bool away = WaitFor([&] { return GetForegroundWindow() == other; }, 5000);
  Check(away, "another window takes the foreground");
  const bool back = away && BringToFront(program);
  Check(back, "the program's window comes back to the front");
  if (back) {
    WaitFor([&] { return FocusOf(program) == edit; }, 3000);
    Check(FocusOf(program) == edit, "the focus comes back to 网址1",
          NameOf(program, FocusOf(program)));
  }
  DestroyWindow(other);
  BringToFront(program);
  PressKey(VK_TAB, true);
  WaitFor([&] { return FocusOf(program) == program.Of(Control::Button1); }, 3000);
}

// "正在下载<n>第几张" gives n; anything else gives nothing.
std::optional<int> ProgressNumber(const std::wstring& caption) {
  const std::wstring before = Wide("正在下载"), after = Wide("第几张");
  if (caption.size() <= before.size() + after.size()) return std::nullopt;
  if (caption.compare(0, before.size(), before) != 0) return std::nullopt;
  if (caption.compare(caption.size() - after.size(), after.size(), after) != 0) {
    return std::nullopt;
  }
  const std::wstring digits =
      caption.substr(before.size(), caption.size() - before.size() - after.size());
  int n = 0;
  for (wchar_t c : digits) {
    if (c < L'0' || c > L'9') return std::nullopt;
    n = n * 10 + (c - L'0');
  }
  return n;
}

// Points the address box at the local host (before any key is pressed, so
// that nothing can start a run towards the default address's host).
void SetAddress(const Program& program, const std::string& port) {
  const std::string origin = "http://127.0.0.1:" + port;
  const std::wstring address = Wide(origin + "/img.html?img=" + origin + "/images/img/20103/1.jpg");
  HWND edit = program.Of(Control::Address);
  DWORD_PTR ignored = 0;
  SendMessageTimeoutW(edit, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(address.c_str()),
                      SMTO_ABORTIFHUNG, 5000, &ignored);
  Check(TextOf(edit) == address, "the address box takes the host's address", Quoted(TextOf(edit)));
}

void ClickStart(const Program& program) {
  DWORD_PTR ignored = 0;
  SendMessageTimeoutW(program.Of(Control::Button1), BM_CLICK, 0, 0, SMTO_ABORTIFHUNG, 5000,
                      &ignored);
}

struct FileEntry {
  std::string name;
  ULONGLONG size;
};

std::vector<FileEntry> FilesIn(const std::string& folder) {
  std::vector<FileEntry> files;
  WIN32_FIND_DATAA data;
  HANDLE find = FindFirstFileA((folder + "\\*").c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) return files;
  do {
    const std::string name = data.cFileName;
    if (name == "." || name == "..") continue;
    files.push_back({name, (ULONGLONG(data.nFileSizeHigh) << 32) | data.nFileSizeLow});
  } while (FindNextFileA(find, &data));
  FindClose(find);
  return files;
}

std::string Listing(const std::vector<FileEntry>& files) {
  std::string out;
  for (const FileEntry& f : files) out += f.name + "(" + std::to_string(f.size) + ") ";
  return out;
}

// The gallery folder holds exactly 1.jpg … count.jpg, whole (the host's
// default 2048 bytes, starting as a JPEG does), and nothing half-written.
void CheckGallery(const std::string& folder, int count) {
  const std::vector<FileEntry> files = FilesIn(folder);
  bool exact = files.size() == static_cast<size_t>(count);
  for (int i = 1; i <= count && exact; ++i) {
    bool found = false;
    for (const FileEntry& f : files)
      found |= f.name == std::to_string(i) + ".jpg" && f.size == 2048;
    exact = found;
  }
  Check(exact, "the gallery folder holds 1.jpg to " + std::to_string(count) + ".jpg, whole",
        Listing(files));
  unsigned char head[4] = {};
  std::ifstream last(folder + "\\" + std::to_string(count) + ".jpg", std::ios::binary);
  last.read(reinterpret_cast<char*>(head), 4);
  Check(count == 0 || (head[0] == 0xFF && head[1] == 0xD8 && head[2] == 0xFF),
        "the last image is the host's JPEG");
}

std::string FolderOf(const std::string& path) { return path.substr(0, path.find_last_of('\\')); }

std::vector<std::string> LogLines(const std::string& log) {
  std::vector<std::string> lines;
  std::ifstream in(log);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// The highest image number the host was asked for.
int HighestRequested(const std::vector<std::string>& lines) {
  int highest = 0;
  const std::string prefix = "GET /images/img/20103/";
  for (const std::string& line : lines) {
    if (line.compare(0, prefix.size(), prefix) != 0) continue;
    highest = std::max(highest, std::atoi(line.c_str() + prefix.size()));
  }
  return highest;
}

bool WaitForExit(Program& program, DWORD boundMs, DWORD* exitCode) {
  if (WaitForSingleObject(program.process.hProcess, boundMs) != WAIT_OBJECT_0) return false;
  GetExitCodeProcess(program.process.hProcess, exitCode);
  return true;
}

void TakePicture(const Program& program, const std::string& shotDir) {
  RECT outer{};
  GetWindowRect(program.main, &outer);
  {
    std::ofstream rect(shotDir + "\\window.rect.tmp");
    rect << outer.left << " " << outer.top << " " << outer.right - outer.left << " "
         << outer.bottom - outer.top << "\n";
  }
  MoveFileA((shotDir + "\\window.rect.tmp").c_str(), (shotDir + "\\window.rect").c_str());
  const std::string done = shotDir + "\\shot.done";
  Check(WaitFor([&] { return GetFileAttributesA(done.c_str()) != INVALID_FILE_ATTRIBUTES; }, 30000),
        "the script took the window's picture");
}

void FullRun(const std::string& exe, const std::string& port, const std::string& shotDir) {
  Program program;
  if (!Start(program, exe)) return Kill(program);
  CheckFirstLook(program);
  CheckIconResource(exe);
  SetAddress(program, port);
  CheckKeyboard(program);
  CheckFocusKeptAcrossActivation(program);

  ClickStart(program);
  HWND label = program.Of(Control::Label1);
  HWND button1 = program.Of(Control::Button1);
  const std::wstring final = Wide("共12图片，已全部下载完成");
  bool sawDisabledDuringProgress = false, sawEnabledDuringProgress = false, ordered = true;
  int lastNumber = 0;
  std::wstring caption, unexpected;
  const bool finished = WaitFor(
      [&] {
        caption = TextOf(label);
        if (const std::optional<int> n = ProgressNumber(caption)) {
          (IsWindowEnabled(button1) ? sawEnabledDuringProgress : sawDisabledDuringProgress) = true;
          ordered &= *n >= lastNumber && *n >= 1 && *n <= 13;
          lastNumber = *n;
        } else if (caption != final && !caption.empty() && unexpected.empty()) {
          unexpected = caption;
        }
        return caption == final;
      },
      60000);
  Check(sawDisabledDuringProgress, "a caption 正在下载<n>第几张 shows while 按钮1 is disabled");
  Check(!sawEnabledDuringProgress, "按钮1 is never enabled during the run");
  Check(ordered, "the progress numbers count up from 1", "last " + std::to_string(lastNumber));
  Check(unexpected.empty(), "only progress captions before the final one", Quoted(unexpected));
  Check(finished, "标签1 ends with " + Quoted(final), Quoted(caption));
  CheckGallery(FolderOf(exe) + "\\20103", 12);
  Check(WaitFor([&] { return IsWindowEnabled(button1) != FALSE; }, 10000),
        "按钮1 is enabled again after the run");

  if (!shotDir.empty()) TakePicture(program, shotDir);

  // Escape, typed for real, closes the window as the close box does.
  if (Check(BringToFront(program), "the window comes to the front for Escape")) {
    PressKey(VK_ESCAPE);
  }
  DWORD exitCode = STILL_ACTIVE;
  bool ended = Check(WaitForExit(program, 15000, &exitCode), "Escape ends the program");
  if (!ended) {
    // Closed another way, to learn whether the end itself is clean.
    PostMessageW(program.main, WM_CLOSE, 0, 0);
    ended = WaitForExit(program, 15000, &exitCode);
  }
  if (ended) Check(exitCode == 0, "exit code 0", std::to_string(exitCode));
  Kill(program);
}

// The window is closed while an image is on its way: the run is cancelled,
// nothing half-written stays and the program ends normally.
void CloseMidRun(const std::string& exe, const std::string& port, const std::string& log,
                 bool byEscape) {
  Program program;
  if (!Start(program, exe)) return Kill(program);
  SetAddress(program, port);
  ClickStart(program);
  int number = 0;
  const bool underway = WaitFor(
      [&] {
        number = ProgressNumber(TextOf(program.Of(Control::Label1))).value_or(0);
        return number >= 3;
      },
      30000);
  if (!Check(underway, "the slow run reaches image 3")) return Kill(program);

  const size_t linesAtClose = LogLines(log).size();
  if (byEscape) {
    if (Check(BringToFront(program), "the window comes to the front for Escape")) {
      PressKey(VK_ESCAPE);
    }
  } else {
    // What the close box sends.
    PostMessageW(program.main, WM_SYSCOMMAND, SC_CLOSE, 0);
  }
  DWORD exitCode = STILL_ACTIVE;
  if (Check(WaitForExit(program, 10000, &exitCode), "the program ends within a few seconds")) {
    Check(exitCode == 0, "exit code 0", std::to_string(exitCode));
  }
  Kill(program);

  // The window looks ahead: with the caption at number, numbers up to
  // number + jobs - 1 are in flight, and until the close arrives the ones in
  // flight may end and let as many more start. Closing stops them all: the
  // host logs an answer when its latency is over, so only those reach the log
  // afterwards, and nothing is asked for beyond them.
  constexpr int jobs = gf::kDefaultJobs;
  const std::vector<std::string> lines = LogLines(log);
  Check(lines.size() <= linesAtClose + 2 * jobs,
        "the host's request log stops growing at the close",
        std::to_string(linesAtClose) + " lines at the close, " + std::to_string(lines.size()) +
            " after");
  const int highest = HighestRequested(lines);
  Check(highest <= number + 2 * jobs - 1 && highest < 50,
        "nothing beyond the images in flight was asked for",
        "caption " + std::to_string(number) + ", highest request " + std::to_string(highest));

  const std::vector<FileEntry> files = FilesIn(FolderOf(exe) + "\\20103");
  bool noPart = true;
  for (const FileEntry& f : files) noPart &= f.name.find(".part") == std::string::npos;
  Check(noPart, "no .part file left", Listing(files));
  // Every image before the captioned one was saved whole; those in flight at
  // the caption may or may not be.
  const int saved = static_cast<int>(files.size());
  Check(saved >= number - 1 && saved <= number - 1 + jobs,
        "the images before the current one are kept",
        "caption " + std::to_string(number) + ": " + Listing(files));
  CheckGallery(FolderOf(exe) + "\\20103", saved);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 5) {
    std::fprintf(stderr, "usage: %s CASE EXE PORT LOG [SHOT_DIR]\n", argv[0]);
    return 2;
  }
  g_case = argv[1];
  const std::string which = argv[1], exe = argv[2], port = argv[3], log = argv[4];
  const std::string shotDir = argc > 5 ? argv[5] : "";
  if (which == "full-run") {
    FullRun(exe, port, shotDir);
  } else if (which == "close-mid-run-box") {
    CloseMidRun(exe, port, log, false);
  } else if (which == "close-mid-run-escape") {
    CloseMidRun(exe, port, log, true);
  } else {
    std::fprintf(stderr, "unknown case %s\n", argv[1]);
    return 2;
  }
  std::printf("%s: %s\n", g_case, g_failures == 0 ? "passed" : "FAILED");
  return g_failures == 0 ? 0 : 1;
}
