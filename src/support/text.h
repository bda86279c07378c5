// Byte-oriented texts, text arrays and byte buffers.
//
// A Text is a value: the absent and the empty text are the same value (an
// empty string), and ownership is the string's. Texts hold bytes of the
// platform's narrow encoding (the ANSI code page on Windows, UTF-8 on Linux)
// and never a zero byte. Positions are 1-based byte positions; lengths count
// bytes. No operation fails on odd arguments: out-of-range positions give empty
// results and a missing landmark gives -1.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace gf {

using Text = std::string;

// The bytes of a file, zero bytes included. Empty stands for "nothing read".
using ByteBuffer = std::vector<unsigned char>;

// An array of texts as splitting produces it. Members may be empty.
struct TextArray {
  std::vector<Text> members;
};

// How the scans of TextFind and TextSplit step from one character to the next,
// so that a match is never looked for inside a multi-byte character.
enum class CharRule {
  // A byte of 0x80 or more starts a two-byte character (ANSI double-byte code pages).
  DoubleByte,
  // Whole UTF-8 sequences are stepped over; a malformed sequence counts byte by byte.
  Utf8,
};

// The rule that fits the platform's narrow encoding.
#ifdef _WIN32
inline constexpr CharRule kPlatformCharRule = CharRule::DoubleByte;
#else
inline constexpr CharRule kPlatformCharRule = CharRule::Utf8;
#endif

int32_t TextLength(std::string_view text);

// 1-based position of the first match of needle at or after start, counted
// from the beginning of text; -1 when there is none. Under ignoreCase only the
// ASCII letters fold.
int32_t TextFind(std::string_view text, std::string_view needle, int32_t start = 1,
                 bool ignoreCase = false, CharRule rule = kPlatformCharRule);

// count bytes from position start on, cut short at the end of the text.
Text TextMiddle(std::string_view text, int32_t start, int32_t count);

// The pieces between delimiters. Without maxParts there is no limit; a
// maxParts below 0 counts as 0.
TextArray TextSplit(std::string_view text, std::string_view delimiter = ",",
                    std::optional<int32_t> maxParts = std::nullopt,
                    CharRule rule = kPlatformCharRule);

Text TextJoin(std::initializer_list<std::string_view> parts);

// -1, 0 or 1, comparing bytes as unsigned values.
int32_t TextCompare(std::string_view a, std::string_view b);

Text ToText(std::string_view text);
Text ToText(int32_t value);
// The "%.13g" form with a three-digit exponent, independent of the locale.
Text ToText(double value);
// The bytes before the first zero byte.
Text ToText(const ByteBuffer& buffer);

int32_t TextArrayCount(const TextArray& array);

// The member at 1-based position k. A position outside the array ends the
// program with run-time error 1, naming the caller's location values.
const Text& TextArrayMember(const TextArray& array, int32_t k, int32_t location1,
                            int32_t location2);

// Truncates toward zero to 64 bits and keeps the low 32; NaN and values
// outside the 64-bit range give 0.
int32_t TruncateToInt(double value);

}  // namespace gf
