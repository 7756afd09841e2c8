#pragma once

#include <string_view>

namespace kelvane {

// True when bytes are well-formed UTF-8 (no overlong forms, surrogates or code points past
// U+10FFFF); plain ASCII and the empty text are. A file's text is taken as UTF-8 exactly
// when this holds, and in the system's local encoding otherwise.
bool isUtf8(std::string_view bytes);

}  // namespace kelvane
