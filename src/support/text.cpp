#include "support/text.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>

namespace gf {
namespace {

unsigned char ByteAt(std::string_view text, size_t pos) {
  return static_cast<unsigned char>(text[pos]);
}

bool IsContinuation(unsigned char b) { return b >= 0x80 && b <= 0xBF; }

// Bytes to advance from the character that starts at pos, or 0 when the scan
// must end there (a double-byte lead byte without its second byte).
size_t CharStep(std::string_view text, size_t pos, CharRule rule) {
  const unsigned char b = ByteAt(text, pos);
  if (b < 0x80) return 1;
  if (rule == CharRule::DoubleByte) return pos + 1 < text.size() ? 2 : 0;
  size_t width = 1;
  if (b >= 0xC2 && b <= 0xDF) {
    width = 2;
  } else if (b >= 0xE0 && b <= 0xEF) {
    width = 3;
  } else if (b >= 0xF0 && b <= 0xF4) {
    width = 4;
  }
  if (pos + width > text.size()) return 1;
  for (size_t i = 1; i < width; ++i) {
    if (!IsContinuation(ByteAt(text, pos + i))) return 1;
  }
  return width;
}

unsigned char FoldAscii(unsigned char b) {
  return (b >= 'A' && b <= 'Z') ? static_cast<unsigned char>(b + 0x20) : b;
}

bool BytesEqual(std::string_view a, std::string_view b, bool ignoreCase) {
  if (!ignoreCase) return a == b;
  for (size_t i = 0; i < a.size(); ++i) {
    if (FoldAscii(ByteAt(a, i)) != FoldAscii(ByteAt(b, i))) return false;
  }
  return true;
}

}  // namespace

int32_t TextLength(std::string_view text) {
  const void* zero = std::memchr(text.data(), 0, text.size());
  const size_t n = zero ? static_cast<size_t>(static_cast<const char*>(zero) - text.data())
                        : text.size();
  return static_cast<int32_t>(std::min<size_t>(n, INT32_MAX));
}

int32_t TextFind(std::string_view text, std::string_view needle, int32_t start, bool ignoreCase,
                 CharRule rule) {
  text = text.substr(0, static_cast<size_t>(TextLength(text)));
  needle = needle.substr(0, static_cast<size_t>(TextLength(needle)));
  const size_t offset = start > 1 ? static_cast<size_t>(start) - 1 : 0;
  if (offset >= text.size()) return -1;
  if (needle.empty()) return 1;
  size_t p = offset;
  while (text.size() - p >= needle.size()) {
    if (BytesEqual(text.substr(p, needle.size()), needle, ignoreCase)) {
      return static_cast<int32_t>(p + 1);
    }
    const size_t step = CharStep(text, p, rule);
    if (step == 0) return -1;
    p += step;
  }
  return -1;
}

Text TextMiddle(std::string_view text, int32_t start, int32_t count) {
  const int64_t length = TextLength(text);
  const int64_t off = static_cast<int64_t>(start) - 1;
  if (off < 0 || off >= length || count <= 0) return Text();
  const int64_t n = std::min<int64_t>(count, length - off);
  return Text(text.substr(static_cast<size_t>(off), static_cast<size_t>(n)));
}

TextArray TextSplit(std::string_view text, std::string_view delimiter,
                    std::optional<int32_t> maxParts, CharRule rule) {
  TextArray result;
  text = text.substr(0, static_cast<size_t>(TextLength(text)));
  delimiter = delimiter.substr(0, static_cast<size_t>(TextLength(delimiter)));
  const int32_t limit = maxParts ? std::max<int32_t>(*maxParts, 0) : -1;
  if (text.empty() || limit == 0) return result;
  if (delimiter.empty()) {
    result.members.emplace_back(text);
    return result;
  }
  size_t p = 0;
  size_t pieceStart = 0;
  while (text.size() - p >= delimiter.size()) {
    if (text.compare(p, delimiter.size(), delimiter) == 0) {
      result.members.emplace_back(text.substr(pieceStart, p - pieceStart));
      p += delimiter.size();
      pieceStart = p;
      if (limit > 0 && static_cast<int32_t>(result.members.size()) == limit) return result;
      continue;
    }
    const size_t step = CharStep(text, p, rule);
    if (step == 0) break;
    p += step;
  }
  if (pieceStart < text.size()) result.members.emplace_back(text.substr(pieceStart));
  return result;
}

Text TextJoin(std::initializer_list<std::string_view> parts) {
  size_t total = 0;
  for (std::string_view part : parts) total += static_cast<size_t>(TextLength(part));
  Text result;
  result.reserve(total);
  for (std::string_view part : parts) result.append(part.substr(0, static_cast<size_t>(TextLength(part))));
  return result;
}

int32_t TextCompare(std::string_view a, std::string_view b) {
  a = a.substr(0, static_cast<size_t>(TextLength(a)));
  b = b.substr(0, static_cast<size_t>(TextLength(b)));
  // std::string_view compares through char_traits<char>, which compares as unsigned char.
  const int c = a.compare(b);
  return c < 0 ? -1 : (c > 0 ? 1 : 0);
}

Text ToText(std::string_view text) {
  return Text(text.substr(0, static_cast<size_t>(TextLength(text))));
}

Text ToText(int32_t value) {
  char buffer[16];
  const auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value);
  (void)ec;  // 16 bytes always hold an int32
  return Text(buffer, end);
}

Text ToText(double value) {
  if (std::isnan(value)) return "nan";
  if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
  if (value == 0.0) return "0";  // also negative zero

  // 17 significant digits hold every double exactly enough to round from.
  char sci[40];
  const auto [sciEnd, ec] =
      std::to_chars(sci, sci + sizeof sci, std::fabs(value), std::chars_format::scientific, 16);
  (void)ec;
  // sci is "d.dddddddddddddddde[+-]XX".
  char digits[18];
  digits[0] = sci[0];
  std::memcpy(digits + 1, sci + 2, 16);
  const char* expText = std::find(sci, sciEnd, 'e') + 1;
  int exponent = 0;
  std::from_chars(expText[0] == '+' ? expText + 1 : expText, sciEnd, exponent);

  // Round half up at the 13th significant digit.
  constexpr int kPrecision = 13;
  if (digits[kPrecision] >= '5') {
    int i = kPrecision - 1;
    while (i >= 0 && digits[i] == '9') digits[i--] = '0';
    if (i >= 0) {
      ++digits[i];
    } else {
      digits[0] = '1';  // 9.99…9 became 10.0…0
      ++exponent;
    }
  }
  int used = kPrecision;
  while (used > 1 && digits[used - 1] == '0') --used;

  Text out;
  if (value < 0) out += '-';
  if (exponent >= -4 && exponent < kPrecision) {
    if (exponent < 0) {
      out += "0.";
      out.append(static_cast<size_t>(-exponent - 1), '0');
      out.append(digits, static_cast<size_t>(used));
    } else {
      const int whole = exponent + 1;
      for (int i = 0; i < whole; ++i) out += i < used ? digits[i] : '0';
      if (used > whole) {
        out += '.';
        out.append(digits + whole, static_cast<size_t>(used - whole));
      }
    }
    return out;
  }
  out += digits[0];
  if (used > 1) {
    out += '.';
    out.append(digits + 1, static_cast<size_t>(used - 1));
  }
  out += exponent < 0 ? "e-" : "e+";
  Text expDigits = ToText(static_cast<int32_t>(std::abs(exponent)));
  if (expDigits.size() < 3) out.append(3 - expDigits.size(), '0');
  out += expDigits;
  return out;
}

Text ToText(const ByteBuffer& buffer) {
  const auto zero = std::find(buffer.begin(), buffer.end(), 0);
  return Text(buffer.begin(), zero);
}

int32_t TextArrayCount(const TextArray& array) {
  return static_cast<int32_t>(array.members.size());
}

int32_t TruncateToInt(double value) {
  // 2^63 is exactly representable; anything at or beyond it does not fit.
  constexpr double kLimit = 9223372036854775808.0;
  if (std::isnan(value) || value >= kLimit || value < -kLimit) return 0;
  const auto wide = static_cast<int64_t>(value);  // a cast truncates toward zero
  return static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(wide)));
}

}  // namespace gf

#include "support/fatal.h"

namespace gf {

const Text& TextArrayMember(const TextArray& array, int32_t k, int32_t location1,
                            int32_t location2) {
  // A position below 1 is as much outside the array as one past its end.
  if (k >= 1 && k <= TextArrayCount(array)) return array.members[static_cast<size_t>(k) - 1];
  FatalRunError(kErrorArrayIndex, location1, location2);
}

}  // namespace gf
