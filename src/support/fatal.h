// The run-time error report: the one way the program ends on an error that its
// logic does not handle. It shows a box saying what went wrong and where, drops
// the exit routines, runs the shutdown steps and ends the process with -1.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "support/text.h"

namespace gf {

inline constexpr int32_t kErrorArrayIndex = 1;  // member read outside a TextArray
inline constexpr int32_t kErrorStack = 6;       // stack unbalanced after a DLL call

// The exit code of a fatal end as a parent process sees it.
#ifdef _WIN32
inline constexpr int kFatalExitCode = -1;
#else
inline constexpr int kFatalExitCode = 255;
#endif

// Set (to anything non-empty) only by the tests: the report then skips its
// message box, which nobody would be there to close.
inline constexpr const char* kNoErrorBoxVariable = "GALLERYFETCH_NO_ERROR_BOX";

// The message of a numbered error, in the platform's narrow encoding; empty for
// an unknown number.
const char* FatalMessageFor(int32_t errorNumber);

// Writes the box text into out (at most capacity - 1 bytes and a terminator)
// without allocating, and returns its length.
size_t FormatFatalReport(char* out, size_t capacity, int32_t errorNumber, std::string_view message,
                         int32_t location1, int32_t location2);

// The same, as a text.
Text FatalReportText(int32_t errorNumber, std::string_view message, int32_t location1,
                     int32_t location2);

// The allocation message for a request of the given size.
size_t FormatOutOfMemoryMessage(char* out, size_t capacity, size_t bytes);

[[noreturn]] void FatalRunError(int32_t errorNumber, int32_t location1, int32_t location2);
[[noreturn]] void FatalRunError(std::string_view message, int32_t errorNumber, int32_t location1,
                                int32_t location2);
// Reports a failed allocation; allocates nothing itself.
[[noreturn]] void FatalOutOfMemory(size_t bytes);

// True from the moment a report is raised: the window dispatches no click
// while its box is on the screen.
bool FatalReportRaised();

// A program with a window of its own may show the report there as well (the
// Linux window program shows a dialog); called before standard error is written.
using FatalBoxHook = void (*)(const char* boxText);
void SetFatalBoxHook(FatalBoxHook hook);
FatalBoxHook GetFatalBoxHook();

// Platform part: shows the box (or skips it under the tests) and writes the
// text to standard error. Must not allocate.
void ShowFatalReport(const char* boxText);
// Platform part: ends the process with the fatal exit code.
[[noreturn]] void ExitFatally();

}  // namespace gf
