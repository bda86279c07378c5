// The program's own interface texts. They are written in UTF-8 here and handed
// out in the platform's narrow encoding (converted to the ANSI code page on
// Windows, once, at first use).
#pragma once

#include <string>
#include <string_view>

namespace gf {

enum class Ui {
  ErrorBoxCaption,       // 错误
  ErrorHeading,          // 运行时出错!
  ErrorCodeLabel,        // 错误代码：
  ErrorMessageLabel,     // 错误信息：
  ErrorLocationIntro,    // 运行时错误相关信息值(在IDE中打开对应源程序后执行
  ErrorLocationMenu,     // 运行->到运行时错误相关位置
  ErrorLocationOutro,    // 菜单功能查看):
  ArrayIndexMessage,     // error 1
  StackMessage,          // error 6
  OutOfMemoryFormat,     // holds one %d for the byte count
  DllBindFormat,         // holds two %s: the library and the routine
  WindowLoadFailed,      // the main window could not be created
  WindowTemplateFailed,  // the window's description could not be read
  ProgressBefore,        // 正在下载
  ProgressAfter,         // 第几张
  FinalBefore,           // 共
  FinalAfter,            // 图片，已全部下载完成
  AddressUnusable,       // 网址无法识别
  FailedBefore,          // 第
  FailedMiddle,          // 张下载失败，已保存
  FailedAfter,           // 张
  FolderFailed,          // 无法创建文件夹
  StartButton,           // 开始
  OpenFolderButton,      // 打开文件夹
  ProgressLabel,         // 下载进度
  AddressLabel,          // 网址
  Count_
};

// The text in the platform's narrow encoding. The pointer stays valid for the
// life of the process.
const char* UiText(Ui id);

// The same text in UTF-8, as written here.
const char* UiTextUtf8(Ui id);

// Conversions between UTF-8 and the platform's narrow encoding. On Linux both
// are the identity; on Windows they go through UTF-16 and the ANSI code page.
std::string NativeFromUtf8(std::string_view utf8);
std::string Utf8FromNative(std::string_view native);

}  // namespace gf
