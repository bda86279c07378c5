// On Linux the report goes to standard error, and to the window program's
// dialog when it has set one up.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "support/fatal.h"

namespace gf {

void ShowFatalReport(const char* boxText) {
  std::fflush(stdout);
  // write(2) rather than stdio: nothing here may allocate.
  const char* rest = boxText;
  size_t left = std::strlen(rest);
  while (left > 0) {
    const ssize_t n = write(STDERR_FILENO, rest, left);
    if (n <= 0) break;
    rest += n;
    left -= static_cast<size_t>(n);
  }
  const char* skip = std::getenv(kNoErrorBoxVariable);
  if (skip != nullptr && skip[0] != '\0') return;
  if (FatalBoxHook hook = GetFatalBoxHook()) hook(boxText);
}

[[noreturn]] void ExitFatally() {
  std::fflush(stdout);
  _exit(kFatalExitCode);
}

}  // namespace gf
