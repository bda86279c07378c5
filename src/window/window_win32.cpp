// The Windows half of the window program: a plain top-level window with six
// child controls. The keyboard goes through IsDialogMessageA, except for Tab,
// Enter and Escape, which the window handles itself.
#include <windows.h>
// After windows.h, which it needs.
#include <shellapi.h>

#include <array>
#include <atomic>
#include <functional>
#include <memory>

#include "support/fatal.h"
#include "support/ui_text.h"
#include "window/main_window.h"

namespace gf {
namespace {

constexpr const char* kWindowClass = "GalleryFetchMainWindow";
// The one message through which other threads hand work to the window thread.
constexpr UINT kRunWorkMessage = WM_APP + 1;
// Control ids stay clear of IDOK and IDCANCEL, which IsDialogMessageA sends
// for Enter and Escape.
constexpr int kFirstControlId = 100;

// Keyboard order of the controls that take focus. The stacking order (标签1 on
// top) runs the other way, so Tab is not left to the dialog manager's z-order walk.
constexpr std::array<Control, 3> kTabOrder = {Control::Button1, Control::Address, Control::Button2};

std::atomic<HWND> g_main{nullptr};
std::array<HWND, std::size(kControls)> g_controls{};
HFONT g_font = nullptr;
// Where the focus goes back to when the window is activated again.
HWND g_lastFocus = nullptr;

int ControlIndex(Control id) { return static_cast<int>(id); }
HWND ControlWindow(Control id) { return g_controls[static_cast<size_t>(ControlIndex(id))]; }
int ControlIdOf(Control id) { return kFirstControlId + ControlIndex(id); }

bool IsTabStop(HWND hwnd) {
  for (Control id : kTabOrder) {
    if (ControlWindow(id) == hwnd) return true;
  }
  return false;
}

bool CanTakeFocus(HWND hwnd) {
  return hwnd != nullptr && IsWindowVisible(hwnd) && IsWindowEnabled(hwnd);
}

// The next control in the Tab cycle from current that can take the focus, or
// null when none can. A current outside the cycle starts it from the top.
HWND NextTabStop(HWND current, bool backwards) {
  const int n = static_cast<int>(kTabOrder.size());
  int at = backwards ? 0 : n - 1;
  for (int i = 0; i < n; ++i) {
    if (ControlWindow(kTabOrder[static_cast<size_t>(i)]) == current) at = i;
  }
  for (int step = 1; step <= n; ++step) {
    const int i = ((backwards ? at - step : at + step) % n + n) % n;
    HWND candidate = ControlWindow(kTabOrder[static_cast<size_t>(i)]);
    if (CanTakeFocus(candidate)) return candidate;
  }
  return nullptr;
}

// As a dialog does: an edit box reached from the keyboard has its text selected.
void FocusFromKeyboard(HWND target) {
  SetFocus(target);
  if (target == ControlWindow(Control::Address)) SendMessageA(target, EM_SETSEL, 0, -1);
}

void RestoreFocus() {
  HWND target = CanTakeFocus(g_lastFocus) ? g_lastFocus : NextTabStop(nullptr, false);
  if (target != nullptr) SetFocus(target);
}

void PaintLabel(const DRAWITEMSTRUCT& item) {
  FillRect(item.hDC, &item.rcItem, GetSysColorBrush(COLOR_BTNFACE));
  const int length = GetWindowTextLengthA(item.hwndItem);
  Text text(static_cast<size_t>(length) + 1, '\0');
  text.resize(static_cast<size_t>(GetWindowTextA(item.hwndItem, text.data(), length + 1)));
  const HFONT font = reinterpret_cast<HFONT>(SendMessageA(item.hwndItem, WM_GETFONT, 0, 0));
  const HGDIOBJ oldFont = font != nullptr ? SelectObject(item.hDC, font) : nullptr;
  SetTextColor(item.hDC, RGB(0, 0, 0));
  SetBkMode(item.hDC, TRANSPARENT);
  RECT box = item.rcItem;
  DrawTextA(item.hDC, text.c_str(), static_cast<int>(text.size()), &box,
            DT_SINGLELINE | DT_VCENTER | DT_NOPREFIX | DT_LEFT);
  if (oldFont != nullptr) SelectObject(item.hDC, oldFont);
}

// Work posted to the window but never run, because the window went first.
void DiscardPostedWork(HWND hwnd) {
  MSG msg;
  while (PeekMessageA(&msg, hwnd, kRunWorkMessage, kRunWorkMessage, PM_REMOVE)) {
    delete reinterpret_cast<std::function<void()>*>(msg.lParam);
  }
}

// Tab, Enter and Escape are decided here, before the dialog manager sees
// them: its Tab walks the stacking order, which runs the other way, and its
// Enter clicks a push button that has the focus.
bool HandleWindowKey(HWND main, const MSG& msg) {
  if (msg.message != WM_KEYDOWN || (msg.hwnd != main && !IsChild(main, msg.hwnd))) return false;
  switch (msg.wParam) {
    case VK_TAB: {
      if (GetKeyState(VK_CONTROL) < 0 || GetKeyState(VK_MENU) < 0) return false;
      if (HWND next = NextTabStop(GetFocus(), GetKeyState(VK_SHIFT) < 0)) FocusFromKeyboard(next);
      return true;
    }
    case VK_RETURN:
      return true;  // no default button: Enter does nothing
    case VK_ESCAPE:
      // The same path as the close box.
      SendMessageA(main, WM_SYSCOMMAND, SC_CLOSE, 0);
      return true;
    default:
      return false;
  }
}

void OnCommand(WPARAM wParam) {
  if (HIWORD(wParam) != BN_CLICKED) return;
  // A click that arrives while the error report's box is up is not acted on.
  if (FatalReportRaised()) return;
  const int id = LOWORD(wParam);
  if (id == ControlIdOf(Control::Button1)) {
    OnStartClicked();
  } else if (id == ControlIdOf(Control::Button2)) {
    OnOpenFolderClicked();
  }
}

LRESULT CALLBACK MainWindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case kRunWorkMessage: {
      std::unique_ptr<std::function<void()>> work(reinterpret_cast<std::function<void()>*>(lParam));
      if (work && *work) (*work)();
      return 0;
    }
    case WM_COMMAND:
      OnCommand(wParam);
      return 0;
    case WM_DRAWITEM: {
      const auto* item = reinterpret_cast<const DRAWITEMSTRUCT*>(lParam);
      if (item->CtlType != ODT_STATIC) break;
      PaintLabel(*item);
      return TRUE;
    }
    case WM_NEXTDLGCTL: {
      // IsDialogMessageA asks for this on the arrow keys (lParam 1, wParam the
      // control it picked), and may on Tab (lParam 0, wParam set for Shift+Tab).
      // Only the three tab stops take the focus.
      HWND target =
          lParam != 0 ? reinterpret_cast<HWND>(wParam) : NextTabStop(GetFocus(), wParam != 0);
      if (target != nullptr && IsTabStop(target) && CanTakeFocus(target)) {
        FocusFromKeyboard(target);
      }
      return 0;
    }
    case WM_ACTIVATE:
      if (LOWORD(wParam) == WA_INACTIVE) {
        HWND focus = GetFocus();
        if (focus != nullptr && IsChild(hwnd, focus)) g_lastFocus = focus;
      } else if (HIWORD(wParam) == 0) {  // not while minimised
        RestoreFocus();
      }
      return 0;
    case WM_SETFOCUS:
      // The window itself has nothing to type into; pass the focus on.
      RestoreFocus();
      return 0;
    case WM_SETFONT:
      g_font = reinterpret_cast<HFONT>(wParam);
      return 0;
    case WM_GETFONT:
      return reinterpret_cast<LRESULT>(g_font);
    case WM_CLOSE:
      // A running download is cancelled and waited for before the window goes.
      OnWindowClosing();
      DestroyWindow(hwnd);
      return 0;
    case WM_DESTROY:
      OnWindowClosing();  // also when destroyed without a close
      DiscardPostedWork(hwnd);
      g_controls.fill(nullptr);
      g_main = nullptr;
      PostQuitMessage(0);
      return 0;
    default:
      break;
  }
  return DefWindowProcA(hwnd, message, wParam, lParam);
}

bool RegisterWindowClass(HINSTANCE instance) {
  WNDCLASSEXA wc{};
  wc.cbSize = sizeof wc;
  wc.lpfnWndProc = MainWindowProc;
  wc.hInstance = instance;
  wc.hIcon = static_cast<HICON>(LoadImageA(instance, "DEFAULT_ICON", IMAGE_ICON,
                                           GetSystemMetrics(SM_CXICON), GetSystemMetrics(SM_CYICON),
                                           LR_DEFAULTCOLOR));
  wc.hIconSm = static_cast<HICON>(LoadImageA(instance, "DEFAULT_ICON", IMAGE_ICON,
                                             GetSystemMetrics(SM_CXSMICON),
                                             GetSystemMetrics(SM_CYSMICON), LR_DEFAULTCOLOR));
  wc.hCursor = LoadCursorA(nullptr, IDC_ARROW);
  wc.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(COLOR_BTNFACE + 1));
  wc.lpszClassName = kWindowClass;
  return RegisterClassExA(&wc) != 0 || GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
}

HWND CreateControl(HWND parent, HINSTANCE instance, const ControlLayout& layout) {
  const char* className = "STATIC";
  DWORD style = WS_CHILD | WS_VISIBLE;
  DWORD exStyle = 0;
  Text text = layout.hasText ? Text(UiText(layout.text)) : Text();
  switch (layout.kind) {
    case ControlKind::Label:
      style |= SS_OWNERDRAW;
      break;
    case ControlKind::Button:
      className = "BUTTON";
      style |= BS_PUSHBUTTON | BS_CENTER | BS_VCENTER | BS_MULTILINE;
      break;
    case ControlKind::Edit:
      className = "EDIT";
      style |= ES_LEFT | ES_AUTOHSCROLL;
      exStyle |= WS_EX_CLIENTEDGE;
      text = NativeFromUtf8(kDefaultAddress);
      break;
  }
  if (layout.tabStop) style |= WS_TABSTOP;
  HWND hwnd = CreateWindowExA(exStyle, className, text.c_str(), style, layout.left, layout.top,
                              layout.width, layout.height, parent,
                              reinterpret_cast<HMENU>(static_cast<INT_PTR>(ControlIdOf(layout.id))),
                              instance, nullptr);
  if (hwnd == nullptr) return nullptr;
  SendMessageA(hwnd, WM_SETFONT, reinterpret_cast<WPARAM>(g_font), FALSE);
  if (layout.kind == ControlKind::Edit) {
    SendMessageA(hwnd, EM_SETLIMITTEXT, 0, 0);  // 0: as long as the system allows
    SendMessageA(hwnd, EM_SETSEL, 0, 0);
  }
  return hwnd;
}

}  // namespace

bool LoadWindow() {
  const HINSTANCE instance = GetModuleHandleA(nullptr);
  if (!RegisterWindowClass(instance)) return false;
  g_font = static_cast<HFONT>(GetStockObject(DEFAULT_GUI_FONT));

  const Point place = CentredPlace(GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN));
  HWND hwnd = CreateWindowExA(
      WS_EX_APPWINDOW, kWindowClass, "", WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX,
      place.x, place.y, kWindowWidth, kWindowHeight, nullptr, nullptr, instance, nullptr);
  if (hwnd == nullptr) return false;
  RECT outer{};
  GetWindowRect(hwnd, &outer);
  if (outer.right - outer.left != kWindowWidth || outer.bottom - outer.top != kWindowHeight) {
    SetWindowPos(hwnd, nullptr, place.x, place.y, kWindowWidth, kWindowHeight,
                 SWP_NOZORDER | SWP_NOACTIVATE);
  }
  SendMessageA(hwnd, WM_SETFONT, reinterpret_cast<WPARAM>(g_font), FALSE);

  // New children go to the bottom of the stack; creating the last first and
  // then raising each in turn leaves kControls[0] on top.
  for (size_t i = std::size(kControls); i-- > 0;) {
    HWND control = CreateControl(hwnd, instance, kControls[i]);
    if (control == nullptr) {
      DestroyWindow(hwnd);
      return false;
    }
    g_controls[static_cast<size_t>(ControlIndex(kControls[i].id))] = control;
  }
  for (size_t i = std::size(kControls); i-- > 0;) {
    SetWindowPos(ControlWindow(kControls[i].id), HWND_TOP, 0, 0, 0, 0,
                 SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
  }

  g_main = hwnd;
  g_lastFocus = ControlWindow(Control::Button1);
  ShowWindow(hwnd, SW_SHOWDEFAULT);
  UpdateWindow(hwnd);
  SetFocus(g_lastFocus);
  return true;
}

void RunMessageLoop() {
  MSG msg;
  while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
    HWND main = g_main;
    if (main != nullptr && (HandleWindowKey(main, msg) || IsDialogMessageA(main, &msg))) continue;
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
  }
}

Text ReadControlText(Control id) {
  HWND hwnd = ControlWindow(id);
  if (hwnd == nullptr) return Text();
  const int length = GetWindowTextLengthA(hwnd);
  if (length <= 0) return Text();
  Text text(static_cast<size_t>(length) + 1, '\0');
  text.resize(static_cast<size_t>(GetWindowTextA(hwnd, text.data(), length + 1)));
  return text;
}

void WriteControlText(Control id, const Text& text) {
  // A STATIC repaints itself (through WM_DRAWITEM) when its text is set.
  if (HWND hwnd = ControlWindow(id)) SetWindowTextA(hwnd, text.c_str());
}

void SetControlEnabled(Control id, bool enabled) {
  HWND hwnd = ControlWindow(id);
  if (hwnd == nullptr) return;
  // A disabled window loses the focus to nobody, and the keyboard would then
  // reach no control; hand it on first.
  if (!enabled && GetFocus() == hwnd) {
    if (HWND next = NextTabStop(hwnd, false); next != nullptr && next != hwnd) SetFocus(next);
  }
  if (!enabled && g_lastFocus == hwnd) g_lastFocus = GetFocus();
  EnableWindow(hwnd, enabled ? TRUE : FALSE);
}

void PostToWindowThread(std::function<void()> work) {
  auto* posted = new std::function<void()>(std::move(work));
  HWND main = g_main;
  if (main == nullptr ||
      !PostMessageA(main, kRunWorkMessage, 0, reinterpret_cast<LPARAM>(posted))) {
    delete posted;
  }
}

bool OpenInFileManager(const Text& folder) {
  const HINSTANCE result =
      ShellExecuteA(nullptr, "open", folder.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
  return reinterpret_cast<INT_PTR>(result) > 32;
}

}  // namespace gf

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) { return gf::ProgramStart(); }
