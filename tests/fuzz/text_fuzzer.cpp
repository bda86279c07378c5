// Runs the scanning text operations over arbitrary bytes with both stepping
// rules (AddressSanitizer catches any read past a text's end) and checks what
// the results must satisfy whatever the input.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "support/text.h"

namespace {

void Check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "%s\n", what);
    std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  const gf::CharRule rule = data[0] & 1 ? gf::CharRule::Utf8 : gf::CharRule::DoubleByte;
  const bool ignoreCase = data[0] & 2;
  const size_t needleLength = data[1] % 4;
  const int32_t start = static_cast<int8_t>(data[2]);
  std::string rest(reinterpret_cast<const char*>(data + 3), size - 3);
  for (char& c : rest) {
    if (c == '\0') c = 'z';  // texts hold no zero byte
  }
  const std::string needle = rest.substr(0, std::min(needleLength, rest.size()));
  const std::string text = rest.substr(needle.size());
  const auto length = static_cast<int32_t>(text.size());

  const int32_t found = gf::TextFind(text, needle, start, ignoreCase, rule);
  Check(found == -1 || (found >= 1 && found + static_cast<int32_t>(needle.size()) - 1 <= length),
        "TextFind result outside the text");
  Check(found == -1 || found >= start || needle.empty(), "TextFind before start");

  const gf::Text middle = gf::TextMiddle(text, start, static_cast<int32_t>(needleLength) * 7);
  Check(static_cast<int32_t>(middle.size()) <= length, "TextMiddle longer than the text");
  Check(middle.empty() || text.compare(static_cast<size_t>(start) - 1, middle.size(), middle) == 0,
        "TextMiddle not a piece of the text");

  if (!needle.empty()) {
    const gf::TextArray parts = gf::TextSplit(text, needle, std::nullopt, rule);
    std::string joined;
    for (size_t i = 0; i < parts.members.size(); ++i) {
      if (i > 0) joined += needle;
      joined += parts.members[i];
    }
    // The pieces and the delimiters between them give the text back, except
    // for one delimiter at the very end, which leaves no empty last member.
    Check(joined == text || joined + needle == text, "TextSplit lost bytes");
  }
  return 0;
}
