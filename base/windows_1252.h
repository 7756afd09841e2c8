#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace kelvane {

// Windows-1252, the code page of settings files written on Windows in Western Europe, as
// text in UTF-8 and back. Every byte stands for one character: 0x80 to 0x9F for the
// characters Windows puts there (0x80 is €), and the five bytes Windows leaves undefined
// (0x81, 0x8D, 0x8F, 0x90, 0x9D) for the C1 controls of the same number, as Windows itself
// reads them. So any bytes read and written again are the same bytes.
std::string fromWindows1252(std::string_view bytes);
// nullopt when text (UTF-8) holds a character the code page has no byte for.
std::optional<std::string> toWindows1252(std::string_view text);

}  // namespace kelvane
