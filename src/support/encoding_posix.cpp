// Linux texts are UTF-8 throughout, so there is nothing to convert.
#include "support/ui_text.h"

namespace gf {

std::string NativeFromUtf8(std::string_view utf8) { return std::string(utf8); }

std::string Utf8FromNative(std::string_view native) { return std::string(native); }

}  // namespace gf
