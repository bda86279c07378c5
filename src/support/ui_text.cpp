#include "support/ui_text.h"

#include <array>

namespace gf {
namespace {

constexpr std::array<const char*, static_cast<size_t>(Ui::Count_)> kUtf8 = {
    "错误",
    "运行时出错!",
    "错误代码：",
    "错误信息：",
    "运行时错误相关信息值(在IDE中打开对应源程序后执行",
    "运行->到运行时错误相关位置",
    "菜单功能查看): ",
    "数组成员引用下标超出定义范围",
    "调用DLL命令后发现堆栈错误",
    "分配 %d 字节内存失败!",
    "无法找到指定DLL库文件“%s”中的输出命令“%s”",
    "载入启动窗口失败",
    "载入窗口模板数据段出错!",
    "正在下载",
    "第几张",
    "共",
    "图片，已全部下载完成",
    "网址无法识别",
    "第",
    "张下载失败，已保存",
    "张",
    "无法创建文件夹",
    "开始",
    "打开文件夹",
    "下载进度",
    "网址",
};

using NativeTable = std::array<std::string, static_cast<size_t>(Ui::Count_)>;

const NativeTable& Native() {
  // Converted once; a function-local static is initialised thread-safely.
  static const NativeTable table = [] {
    NativeTable t;
    for (size_t i = 0; i < t.size(); ++i) t[i] = NativeFromUtf8(kUtf8[i]);
    return t;
  }();
  return table;
}

}  // namespace

const char* UiText(Ui id) { return Native()[static_cast<size_t>(id)].c_str(); }

const char* UiTextUtf8(Ui id) { return kUtf8[static_cast<size_t>(id)]; }

}  // namespace gf
