#pragma once

// Character tests for names and patterns. They look at ASCII only, on purpose: the locale must not
// change which files match or how volume names are built, and UTF-8 bytes pass through untouched.
namespace brisko::batch {

constexpr bool IsAsciiDigit(char c) {
    return c >= '0' && c <= '9';
}
constexpr bool IsAsciiUpper(char c) {
    return c >= 'A' && c <= 'Z';
}
constexpr char ToAsciiUpper(char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}
constexpr char ToAsciiLower(char c) {
    return IsAsciiUpper(c) ? static_cast<char>(c - 'A' + 'a') : c;
}

} // namespace brisko::batch
