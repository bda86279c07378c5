#include "support/fatal.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <type_traits>

#include "support/runtime.h"
#include "support/ui_text.h"

namespace gf {
namespace {

// Appends without allocating; silently stops at the capacity.
struct FixedWriter {
  char* out;
  size_t capacity;
  size_t length = 0;

  void Put(std::string_view s) {
    if (capacity == 0) return;
    const size_t room = capacity - 1 - length;
    const size_t n = std::min(room, s.size());
    std::memcpy(out + length, s.data(), n);
    length += n;
    out[length] = '\0';
  }
  template <typename Int>
  void PutDecimal(Int value) {
    char digits[24];
    size_t n = 0;
    const bool negative = value < 0;
    // Work in the unsigned type so the most negative value needs no special case.
    using Unsigned = std::make_unsigned_t<Int>;
    Unsigned magnitude =
        negative ? Unsigned(0) - static_cast<Unsigned>(value) : static_cast<Unsigned>(value);
    do {
      digits[n++] = static_cast<char>('0' + magnitude % 10);
      magnitude /= 10;
    } while (magnitude != 0);
    if (negative) Put("-");
    while (n > 0) Put(std::string_view(&digits[--n], 1));
  }
};

std::atomic<bool> g_raised{false};
std::atomic<FatalBoxHook> g_boxHook{nullptr};

}  // namespace

bool FatalReportRaised() { return g_raised.load(); }
void SetFatalBoxHook(FatalBoxHook hook) { g_boxHook = hook; }
FatalBoxHook GetFatalBoxHook() { return g_boxHook.load(); }

const char* FatalMessageFor(int32_t errorNumber) {
  switch (errorNumber) {
    case kErrorArrayIndex:
      return UiText(Ui::ArrayIndexMessage);
    case kErrorStack:
      return UiText(Ui::StackMessage);
    default:
      return "";
  }
}

size_t FormatFatalReport(char* out, size_t capacity, int32_t errorNumber, std::string_view message,
                         int32_t location1, int32_t location2) {
  FixedWriter w{out, capacity};
  if (capacity > 0) out[0] = '\0';
  w.Put(UiText(Ui::ErrorHeading));
  w.Put("\r\n");
  if (errorNumber != 0) {
    w.Put("\r\n");
    w.Put(UiText(Ui::ErrorCodeLabel));
    w.PutDecimal(errorNumber);
    w.Put("\r\n");
  }
  if (!message.empty()) {
    w.Put("\r\n");
    w.Put(UiText(Ui::ErrorMessageLabel));
    w.Put(message);
    w.Put("\r\n");
  }
  w.Put("\r\n");
  w.Put(UiText(Ui::ErrorLocationIntro));
  w.Put("\"");
  w.Put(UiText(Ui::ErrorLocationMenu));
  w.Put("\"");
  w.Put(UiText(Ui::ErrorLocationOutro));
  w.PutDecimal(location1);
  w.Put(", ");
  w.PutDecimal(location2);
  w.Put("\r\n");
  return w.length;
}

Text FatalReportText(int32_t errorNumber, std::string_view message, int32_t location1,
                     int32_t location2) {
  // Room for the fixed parts, the two numbers and the message.
  Text text(4096 + message.size(), '\0');
  text.resize(
      FormatFatalReport(text.data(), text.size(), errorNumber, message, location1, location2));
  return text;
}

size_t FormatOutOfMemoryMessage(char* out, size_t capacity, size_t bytes) {
  FixedWriter w{out, capacity};
  if (capacity > 0) out[0] = '\0';
  const std::string_view format = UiText(Ui::OutOfMemoryFormat);
  const size_t at = format.find("%d");
  w.Put(format.substr(0, at));
  if (at != std::string_view::npos) {
    w.PutDecimal(bytes);
    w.Put(format.substr(at + 2));
  }
  return w.length;
}

[[noreturn]] void FatalRunError(int32_t errorNumber, int32_t location1, int32_t location2) {
  FatalRunError(FatalMessageFor(errorNumber), errorNumber, location1, location2);
}

[[noreturn]] void FatalRunError(std::string_view message, int32_t errorNumber, int32_t location1,
                                int32_t location2) {
  g_raised = true;
  // A static buffer: the report must work when memory is exhausted.
  static char box[8192];
  FormatFatalReport(box, sizeof box, errorNumber, message, location1, location2);
  ShowFatalReport(box);
  DropExitRoutines();
  RunShutdownSteps();
  ExitFatally();
}

[[noreturn]] void FatalOutOfMemory(size_t bytes) {
  static char message[256];
  const size_t n = FormatOutOfMemoryMessage(message, sizeof message, bytes);
  FatalRunError(std::string_view(message, n), 0, 0, 0);
}

}  // namespace gf
