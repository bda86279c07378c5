// Windows narrow texts are in the ANSI code page, which the "A" functions use.
#include <windows.h>

#include "support/ui_text.h"

namespace gf {
namespace {

std::wstring Wide(std::string_view text, UINT codePage) {
  if (text.empty()) return std::wstring();
  const int n = MultiByteToWideChar(codePage, 0, text.data(), static_cast<int>(text.size()),
                                    nullptr, 0);
  std::wstring wide(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(codePage, 0, text.data(), static_cast<int>(text.size()), wide.data(), n);
  return wide;
}

std::string Narrow(const std::wstring& wide, UINT codePage) {
  if (wide.empty()) return std::string();
  const int n = WideCharToMultiByte(codePage, 0, wide.data(), static_cast<int>(wide.size()),
                                    nullptr, 0, nullptr, nullptr);
  std::string narrow(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(codePage, 0, wide.data(), static_cast<int>(wide.size()), narrow.data(), n,
                      nullptr, nullptr);
  return narrow;
}

}  // namespace

std::string NativeFromUtf8(std::string_view utf8) { return Narrow(Wide(utf8, CP_UTF8), CP_ACP); }

std::string Utf8FromNative(std::string_view native) {
  return Narrow(Wide(native, CP_ACP), CP_UTF8);
}

}  // namespace gf
