// On Windows the report is a message box with no owner, the caption "错误",
// one OK button and the stop icon; the text also goes to standard error, where
// a console or a test harness can read it.
#include <windows.h>

#include <cstdlib>
#include <cstring>

#include "support/fatal.h"
#include "support/ui_text.h"

namespace gf {

void ShowFatalReport(const char* boxText) {
  const HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
  if (err != nullptr && err != INVALID_HANDLE_VALUE) {
    DWORD written = 0;
    WriteFile(err, boxText, static_cast<DWORD>(std::strlen(boxText)), &written, nullptr);
  }
  const char* skip = std::getenv(kNoErrorBoxVariable);
  if (skip != nullptr && skip[0] != '\0') return;
  MessageBoxA(nullptr, boxText, UiText(Ui::ErrorBoxCaption), MB_OK | MB_ICONSTOP);
}

[[noreturn]] void ExitFatally() { ExitProcess(static_cast<UINT>(kFatalExitCode)); }

}  // namespace gf
