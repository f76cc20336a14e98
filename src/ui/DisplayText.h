#pragma once

#include <QString>
#include <string_view>

namespace brisko::ui {

// The one way a file name (or any UTF-8 text that may hold one) becomes screen text.
// Valid UTF-8 is decoded as it is, except characters that could hide or reorder what is shown:
// - each byte that does not belong to a well-formed UTF-8 sequence becomes "\xNN" (two upper-case hex
//   digits), so the text stays one to one with the bytes on disk;
// - C0 and C1 control characters and DEL, the line and paragraph separators (U+2028, U+2029) and
//   the bidirectional controls (U+061C, U+200E, U+200F, U+202A..U+202E, U+2066..U+2069) become
//   "\u{XXXX}" (at least four upper-case hex digits).
// The result never contains a line break, so one name is always one line of a list.
QString DisplayText(std::string_view utf8);

} // namespace brisko::ui
