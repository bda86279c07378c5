// The one window of the program: what it holds, and the few operations through
// which the program's logic touches it. window_win32.cpp and window_gtk.cpp
// implement the platform half; program.cpp is the portable half.
#pragma once

#include <cstdint>
#include <functional>

#include "support/text.h"
#include "support/ui_text.h"

namespace gf {

enum class ControlKind { Label, Button, Edit };

enum class Control {
  Label1,         // 标签1: the progress caption
  Button2,        // 按钮2: 打开文件夹
  ProgressLabel,  // 下载进度
  Address,        // 网址1: the address box
  AddressLabel,   // 标签: 网址
  Button1,        // 按钮1: 开始
};

struct ControlLayout {
  Control id;
  const char* name;  // the control's name, UTF-8
  ControlKind kind;
  int left, top, width, height;  // in the client area
  bool hasText;                  // false: starts empty
  Ui text;                       // the initial text when hasText (the address box has its own)
  bool tabStop;
};

// In the order of the window's description, which is also the stacking order,
// the first on top. Controls are created in the reverse order.
inline constexpr ControlLayout kControls[] = {
    {Control::Label1, "标签1", ControlKind::Label, 72, 40, 216, 32, false, Ui::Count_, false},
    {Control::Button2, "按钮2", ControlKind::Button, 184, 176, 176, 40, true, Ui::OpenFolderButton,
     true},
    {Control::ProgressLabel, "下载进度", ControlKind::Label, 0, 40, 56, 32, true, Ui::ProgressLabel,
     false},
    {Control::Address, "网址1", ControlKind::Edit, 32, 8, 224, 24, false, Ui::Count_, true},
    {Control::AddressLabel, "标签", ControlKind::Label, 0, 8, 32, 24, true, Ui::AddressLabel,
     false},
    {Control::Button1, "按钮1", ControlKind::Button, 8, 176, 112, 40, true, Ui::StartButton, true},
};

inline constexpr int kWindowWidth = 380;  // outer size, frame and caption included
inline constexpr int kWindowHeight = 250;
inline constexpr int32_t kMainWindowId = 1375797249;

// The address box's initial text (84 characters; no "j" in either host name).
inline constexpr const char* kDefaultAddress =
    "https://gallery.example/img.html?img=https://img.example.test/images/img/20103/1.jpg";

struct Point {
  int x, y;
};

// Where the window's top-left corner goes to be centred on a screen of this
// size; negative on a screen smaller than the window.
constexpr Point CentredPlace(int screenWidth, int screenHeight) {
  // Integer division truncates toward zero, as the placement asks.
  return {(screenWidth - kWindowWidth) / 2, (screenHeight - kWindowHeight) / 2};
}

const ControlLayout& LayoutOf(Control id);

// ---- The platform half.

// Creates the window with its controls, shows it centred with the focus on
// 按钮1. False when it cannot be created.
bool LoadWindow();
// Processes the window's messages until it has been closed.
void RunMessageLoop();
// The control's current text; a new text the caller owns.
Text ReadControlText(Control id);
// The control keeps a copy; shown at the next paint.
void WriteControlText(Control id, const Text& text);
void SetControlEnabled(Control id, bool enabled);
// Runs work on the window thread, soon, in order of posting. Safe from any thread.
void PostToWindowThread(std::function<void()> work);
// Opens a folder in the system's file manager. False when that could not be started.
bool OpenInFileManager(const Text& folder);

// ---- The portable half, called by the platform half.

// The whole life of the program; returns its exit code (0).
int ProgramStart();
// The click events.
void OnStartClicked();
bool OnOpenFolderClicked();
// The window is about to be destroyed: a run in progress is cancelled and
// waited for.
void OnWindowClosing();
// True while a run's images are being fetched.
bool RunInProgress();

// The folder the open-folder button opens: the last run's gallery folder, or
// the program directory when there was no run or that folder is not there.
Text FolderToOpen();

}  // namespace gf
