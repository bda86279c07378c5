// On Linux the report goes to standard error; there is no box to wait for.
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "support/fatal.h"

namespace gf {

void ShowFatalReport(const char* boxText) {
  std::fflush(stdout);
  // write(2) rather than stdio: nothing here may allocate.
  size_t left = std::strlen(boxText);
  while (left > 0) {
    const ssize_t n = write(STDERR_FILENO, boxText, left);
    if (n <= 0) break;
    boxText += n;
    left -= static_cast<size_t>(n);
  }
}

[[noreturn]] void ExitFatally() {
  std::fflush(stdout);
  _exit(kFatalExitCode);
}

}  // namespace gf
