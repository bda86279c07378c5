#include "support/text.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cfenv>
#include <cmath>
#include <limits>

#include "support/fatal.h"

namespace gf {
namespace {

struct FindCase {
  const char* text;
  const char* needle;
  int32_t start;
  bool ignoreCase;
  CharRule rule;
  int32_t expected;
};

constexpr CharRule kDbcs = CharRule::DoubleByte;
constexpr CharRule kUtf8 = CharRule::Utf8;

TEST(TextFind, Table) {
  const FindCase cases[] = {
      {"a=b", "=", 1, true, kDbcs, 2},
      {"abc", "x", 1, false, kDbcs, -1},
      {"xJpg", "j", 1, true, kDbcs, 2},
      {"xJpg", "j", 1, false, kDbcs, -1},
      {"xjpg", "J", 1, true, kDbcs, 2},
      {"abcabc", "c", 4, false, kDbcs, 6},  // counted from the text's start
      {"abcabc", "a", 0, false, kDbcs, 1},
      {"abcabc", "a", -7, false, kDbcs, 1},
      {"abc", "c", 4, false, kDbcs, -1},  // start beyond the last byte
      {"abc", "", 1, false, kDbcs, 1},
      {"abc", "", 3, false, kDbcs, 1},
      {"abc", "", 4, false, kDbcs, -1},
      {"", "", 1, false, kDbcs, -1},
      {"abc", "abcd", 1, false, kDbcs, -1},
      // A lead byte hides the byte after it.
      {"\xB0==", "=", 1, false, kDbcs, 3},
      {"\xB0=", "=", 1, false, kDbcs, -1},
      {"ab\xB0", "x", 1, false, kDbcs, -1},  // last byte a lead byte: the scan ends
      // Only ASCII letters fold.
      {"\xC3\x89", "\xC3\xA9", 1, true, kDbcs, -1},
      {"ABC", "abc", 1, true, kDbcs, 1},
      // A start on a second byte takes it as a character of its own.
      {"\xB0=", "=", 2, false, kDbcs, 2},
      // UTF-8: a three-byte character followed by "/" must not hide the "/".
      {"\xE4\xB8\xAD/x", "/", 1, false, kUtf8, 4},
      {"\xE4\xB8\xAD/x", "/", 1, false, kDbcs, -1},  // the two-byte rule eats "/"
      {"\xE4\xB8\xAD=", "=", 1, true, kUtf8, 4},
      // A malformed sequence is stepped byte by byte, so ASCII after it is seen.
      {"\xE4/x", "/", 1, false, kUtf8, 2},
      {"\xF0\x9F\x98\x80j", "j", 1, true, kUtf8, 5},
      {"\xFFj", "J", 1, true, kUtf8, 2},
  };
  for (const FindCase& c : cases) {
    EXPECT_EQ(TextFind(c.text, c.needle, c.start, c.ignoreCase, c.rule), c.expected)
        << "TextFind(\"" << c.text << "\", \"" << c.needle << "\", " << c.start << ", "
        << c.ignoreCase << ", rule " << static_cast<int>(c.rule) << ")";
  }
}

TEST(TextMiddle, Table) {
  struct Case {
    const char* text;
    int32_t start;
    int32_t count;
    const char* expected;
  };
  const Case cases[] = {
      {"abcdef", 2, 3, "bcd"},
      {"abcdef", 5, 100, "ef"},
      {"abcdef", 6, 1, "f"},
      {"abcdef", 0, 3, ""},
      {"abcdef", -1, 3, ""},
      {"abcdef", 7, 1, ""},
      {"abcdef", 1, 0, ""},
      {"abcdef", 1, -4, ""},
      {"", 1, 5, ""},
      {"abcdef", 2, INT32_MAX, "bcdef"},  // no overflow for a huge count
      {"\xB0\xA1x", 1, 1, "\xB0"},        // cuts bytes, not characters
  };
  for (const Case& c : cases) {
    EXPECT_EQ(TextMiddle(c.text, c.start, c.count), c.expected)
        << "TextMiddle(\"" << c.text << "\", " << c.start << ", " << c.count << ")";
  }
}

TEST(TextSplit, Table) {
  struct Case {
    const char* text;
    const char* delimiter;
    std::optional<int32_t> maxParts;
    CharRule rule;
    std::vector<Text> expected;
  };
  const Case cases[] = {
      {"/20103/1.jpg", "/", {}, kDbcs, {"", "20103", "1.jpg"}},
      {"1.jpg", ".", {}, kDbcs, {"1", "jpg"}},
      {"1.", ".", {}, kDbcs, {"1"}},
      {".jpg", ".", {}, kDbcs, {"", "jpg"}},
      {"1", ".", {}, kDbcs, {"1"}},
      {"", "/", {}, kDbcs, {}},
      {"abc", "", {}, kDbcs, {"abc"}},
      {"a,b", ",", {}, kDbcs, {"a", "b"}},
      {"a,,b", ",", {}, kDbcs, {"a", "", "b"}},
      {"a,b,", ",", {}, kDbcs, {"a", "b"}},
      {"a,b,,", ",", {}, kDbcs, {"a", "b", ""}},
      {",", ",", {}, kDbcs, {""}},
      {"a,b,c", ",", 0, kDbcs, {}},
      {"a,b,c", ",", -3, kDbcs, {}},
      {"a,b,c", ",", 1, kDbcs, {"a"}},
      {"a,b,c", ",", 2, kDbcs, {"a", "b"}},
      {"a,b,c", ",", 10, kDbcs, {"a", "b", "c"}},
      {"ab", "abc", {}, kDbcs, {"ab"}},
      {"a::b", "::", {}, kDbcs, {"a", "b"}},
      {"\xB0/a", "/", {}, kDbcs, {"\xB0/a"}},     // the lead byte hides the "/"
      {"aXb", "x", {}, kDbcs, {"aXb"}},           // case-sensitive
      {"a/\xB0", "/", {}, kDbcs, {"a", "\xB0"}},  // a trailing lead byte ends the scan
      {"\xE4\xB8\xAD/\xE6\x96\x87", "/", {}, kUtf8, {"\xE4\xB8\xAD", "\xE6\x96\x87"}},
      {"\xE4\xB8\xAD/\xE6\x96\x87", "/", {}, kDbcs, {"\xE4\xB8\xAD/\xE6\x96\x87"}},
  };
  for (const Case& c : cases) {
    const TextArray parts = TextSplit(c.text, c.delimiter, c.maxParts, c.rule);
    EXPECT_EQ(parts.members, c.expected) << "TextSplit(\"" << c.text << "\", \"" << c.delimiter
                                         << "\", " << c.maxParts.value_or(-99) << ")";
    EXPECT_EQ(TextArrayCount(parts), static_cast<int32_t>(c.expected.size())) << c.text;
  }
  EXPECT_EQ(TextSplit("a,b").members, (std::vector<Text>{"a", "b"}));  // "," by default
}

TEST(TextJoinAndCompare, Table) {
  EXPECT_EQ(TextJoin({"a", "", "b"}), "ab");
  EXPECT_EQ(TextJoin({"", ""}), "");
  EXPECT_EQ(TextJoin({"https://h/", "20103", "/", "1.jpg"}), "https://h/20103/1.jpg");

  struct Case {
    const char* a;
    const char* b;
    int32_t expected;
  };
  const Case cases[] = {
      {"", "", 0},       {"a", "", 1},     {"", "a", -1},
      {"a", "b", -1},    {"\xE9", "a", 1},  // bytes compare unsigned
      {"ab", "abc", -1}, {"abc", "ab", 1}, {"same", "same", 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(TextCompare(c.a, c.b), c.expected) << c.a << " vs " << c.b;
  }
}

TEST(ToText, Integers) {
  const std::pair<int32_t, const char*> cases[] = {
      {0, "0"},
      {7, "7"},
      {1, "1"},
      {9999, "9999"},
      {10000, "10000"},
      {-5, "-5"},
      {INT32_MIN, "-2147483648"},
      {INT32_MAX, "2147483647"},
  };
  for (const auto& [value, expected] : cases) EXPECT_EQ(ToText(value), expected);
}

TEST(ToText, Doubles) {
  const std::pair<double, const char*> cases[] = {
      {5.0, "5"},
      {0.0, "0"},
      {-0.0, "0"},
      {1.0, "1"},
      {9998.0, "9998"},
      {0.5, "0.5"},
      {-2.5, "-2.5"},
      {2.0 / 3.0, "0.6666666666667"},
      {1234567890123.0, "1234567890123"},
      {1e13, "1e+013"},
      {12345678901234.0, "1.234567890123e+013"},
      {0.0001, "0.0001"},
      {0.00001, "1e-005"},
      {1e100, "1e+100"},
      {-1e-300, "-1e-300"},
      {9999999999999.5, "1e+013"},  // rounding carries into a new digit
      {0.1, "0.1"},
      {123.456, "123.456"},
  };
  for (const auto& [value, expected] : cases) {
    EXPECT_EQ(ToText(value), expected) << "ToText(" << value << ")";
  }
}

TEST(ToText, TextsAndBuffers) {
  EXPECT_EQ(ToText(std::string_view("")), "");
  EXPECT_EQ(ToText(std::string_view("x")), "x");
  EXPECT_EQ(ToText(ByteBuffer{0xFF, 0xD8, 0xFF, 0x00, 0x10}), "\xFF\xD8\xFF");
  EXPECT_EQ(ToText(ByteBuffer{0x00, 0x41}), "");
  EXPECT_EQ(ToText(ByteBuffer{}), "");
  EXPECT_EQ(ToText(ByteBuffer{'a', 'b', 'c'}), "abc");
}

TEST(TruncateToInt, Table) {
  const std::pair<double, int32_t> cases[] = {
      {3.9, 3},
      {-3.9, -3},
      {0.0, 0},
      {4294967297.0, 1},  // the low 32 bits of the 64-bit value
      {1e30, 0},
      {-1e30, 0},
      {std::numeric_limits<double>::quiet_NaN(), 0},
      {2147483648.0, INT32_MIN},
      {46.0, 46},
  };
  for (const auto& [value, expected] : cases) {
    EXPECT_EQ(TruncateToInt(value), expected) << "TruncateToInt(" << value << ")";
  }
}

TEST(TruncateToInt, LeavesTheRoundingModeAlone) {
  const int before = std::fegetround();
  ASSERT_EQ(std::fesetround(FE_UPWARD), 0);
  EXPECT_EQ(TruncateToInt(3.9), 3);
  EXPECT_EQ(TruncateToInt(-3.9), -3);
  EXPECT_EQ(std::fegetround(), FE_UPWARD);
  std::fesetround(before);
}

TEST(TextArrayMember, ReadsInside) {
  const TextArray one = TextSplit(",", ",");
  EXPECT_EQ(TextArrayMember(one, 1, 0, 0), "");
  const TextArray three = TextSplit("/20103/1.jpg", "/");
  EXPECT_EQ(TextArrayMember(three, 2, 0, 0), "20103");
}

TEST(TextArrayMemberDeathTest, OutsideEndsWithErrorOne) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const TextArray empty;
  EXPECT_EXIT(TextArrayMember(empty, 1, 67184145, 1092), testing::ExitedWithCode(kFatalExitCode),
              testing::HasSubstr("67184145, 1092"));
  const TextArray one = TextSplit("1", ".");
  EXPECT_EXIT(TextArrayMember(one, 2, 67184145, 1212), testing::ExitedWithCode(kFatalExitCode),
              testing::HasSubstr("67184145, 1212"));
  EXPECT_EXIT(TextArrayMember(one, 0, 5, 6), testing::ExitedWithCode(kFatalExitCode),
              testing::HasSubstr("5, 6"));
}

}  // namespace
}  // namespace gf
