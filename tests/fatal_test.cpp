#include "support/fatal.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "support/runtime.h"
#include "support/ui_text.h"

#ifdef __SANITIZE_ADDRESS__
// The out-of-memory report is only reachable when malloc returns null, which
// AddressSanitizer does not do by default.
extern "C" const char* __asan_default_options() { return "allocator_may_return_null=1"; }
#endif

namespace gf {
namespace {

const std::string kLocationUtf8 =
    "\r\n运行时错误相关信息值(在IDE中打开对应源程序后执行\"运行->到运行时错误相关位置\""
    "菜单功能查看): ";

std::string BoxUtf8(int32_t number, std::string_view nativeMessage, int32_t l1, int32_t l2) {
  return Utf8FromNative(FatalReportText(number, nativeMessage, l1, l2));
}

TEST(FatalReportText, BoxTexts) {
  struct Case {
    const char* what;
    int32_t number;
    std::string messageUtf8;
    int32_t l1, l2;
    std::string expectedUtf8;
  };
  const Case cases[] = {
      {"array index, with code and message", 1, "数组成员引用下标超出定义范围", 67184145, 1092,
       "运行时出错!\r\n\r\n错误代码：1\r\n\r\n错误信息：数组成员引用下标超出定义范围\r\n" +
           kLocationUtf8 + "67184145, 1092\r\n"},
      {"stack", 6, "调用DLL命令后发现堆栈错误", 67193900, 25,
       "运行时出错!\r\n\r\n错误代码：6\r\n\r\n错误信息：调用DLL命令后发现堆栈错误\r\n" +
           kLocationUtf8 + "67193900, 25\r\n"},
      {"by text, no code line", 0, "分配 100 字节内存失败!", 0, 0,
       "运行时出错!\r\n\r\n错误信息：分配 100 字节内存失败!\r\n" + kLocationUtf8 + "0, 0\r\n"},
      {"empty message and no code", 0, "", 0, 0, "运行时出错!\r\n" + kLocationUtf8 + "0, 0\r\n"},
      {"negative location values", 0, "", -1, INT32_MIN,
       "运行时出错!\r\n" + kLocationUtf8 + "-1, -2147483648\r\n"},
      {"window start-up", 0, "载入启动窗口失败", 1375797249, 0,
       "运行时出错!\r\n\r\n错误信息：载入启动窗口失败\r\n" + kLocationUtf8 + "1375797249, 0\r\n"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(BoxUtf8(c.number, NativeFromUtf8(c.messageUtf8), c.l1, c.l2), c.expectedUtf8)
        << c.what;
  }
}

TEST(FatalReportText, NumberedMessagesAndTheAllocationMessage) {
  EXPECT_EQ(Utf8FromNative(FatalMessageFor(kErrorArrayIndex)), "数组成员引用下标超出定义范围");
  EXPECT_EQ(Utf8FromNative(FatalMessageFor(kErrorStack)), "调用DLL命令后发现堆栈错误");
  EXPECT_STREQ(FatalMessageFor(2), "");

  char message[128];
  const size_t n = FormatOutOfMemoryMessage(message, sizeof message, 100);
  EXPECT_EQ(Utf8FromNative(std::string_view(message, n)), "分配 100 字节内存失败!");
}

TEST(FatalReportText, StopsAtTheBufferWithoutOverrunning) {
  char small[8];
  std::memset(small, 'x', sizeof small);
  const size_t n = FormatFatalReport(small, sizeof small, 1, "message", 1, 2);
  EXPECT_EQ(n, sizeof small - 1);
  EXPECT_EQ(small[sizeof small - 1], '\0');
}

// The exit routine and the shutdown step leave files behind, which the parent
// can look for after the child has ended. Parent and child share the working
// directory (the build's own) and the test's name.
std::filesystem::path MarkerPath(const char* what) {
  const std::string test = testing::UnitTest::GetInstance()->current_test_info()->name();
  return std::filesystem::current_path() / ("gf_marker_" + test + "_" + what);
}

void Touch(const char* what) { std::ofstream(MarkerPath(what)) << "ran"; }
void ExitRoutineMarker() { Touch("exit_routine"); }
void ShutdownStepMarker() { Touch("shutdown_step"); }

class FatalRunErrorDeathTest : public testing::Test {
 protected:
  void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
  void TearDown() override {
    std::filesystem::remove(MarkerPath("exit_routine"));
    std::filesystem::remove(MarkerPath("shutdown_step"));
  }
};

TEST_F(FatalRunErrorDeathTest, ByNumberDropsExitRoutinesRunsShutdownAndExitsMinusOne) {
  EXPECT_EXIT(
      {
        RegisterExitRoutine(ExitRoutineMarker);
        RegisterShutdownStep(ShutdownStepMarker);
        FatalRunError(kErrorStack, 67193900, 25);
      },
      testing::ExitedWithCode(kFatalExitCode), testing::HasSubstr("67193900, 25"));
  EXPECT_FALSE(std::filesystem::exists(MarkerPath("exit_routine")));
  EXPECT_TRUE(std::filesystem::exists(MarkerPath("shutdown_step")));
}

TEST_F(FatalRunErrorDeathTest, ByTextShowsTheGivenMessage) {
  EXPECT_EXIT(FatalRunError("custom message text", 0, 1375797249, 0),
              testing::ExitedWithCode(kFatalExitCode),
              testing::AllOf(testing::HasSubstr("custom message text"),
                             testing::HasSubstr("1375797249, 0")));
}

TEST_F(FatalRunErrorDeathTest, FailedAllocationNamesTheByteCount) {
  // Far beyond any address space, so malloc fails at once.
  const size_t huge = SIZE_MAX / 4;
  const std::string count = std::to_string(huge);
  EXPECT_EXIT(
      {
        void* volatile p = ::operator new(huge);
        (void)p;
      },
      testing::ExitedWithCode(kFatalExitCode), testing::HasSubstr(" " + count + " "));
}

TEST(RuntimeRoutines, ExitRoutinesRunOnceInOrderOfRegistration) {
  static std::string order;
  order.clear();
  RegisterExitRoutine([] { order += "a"; });
  RegisterExitRoutine([] { order += "b"; });
  const Routine c = [] { order += "c"; };
  RegisterExitRoutine(c);
  RegisterExitRoutine(c);  // already registered: not added twice
  RunExitRoutines();
  RunExitRoutines();  // the list is empty now
  EXPECT_EQ(order, "abc");
}

}  // namespace
}  // namespace gf
