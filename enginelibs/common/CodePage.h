#pragma once

#include <string>
#include <string_view>

// Names in the 8-bit code pages of DOS and Windows, as archives made there store them, turned into
// the UTF-8 every engine hands out.
namespace brisko::enginelib {

enum class CodePage { Cp437, Cp850, Cp1252 };

// Converts 8-bit text in `codePage` to UTF-8. Every byte maps to one character, so nothing is lost and
// the result is always valid UTF-8; bytes below 0x80 stay as they are.
std::string toUtf8(std::string_view text, CodePage codePage);

// True when `text` is well-formed UTF-8 (no overlong forms, surrogates or values past U+10FFFF).
bool isValidUtf8(std::string_view text);

} // namespace brisko::enginelib
