#include "ui/DisplayText.h"

#include <cstdint>

namespace brisko::ui {

namespace {

// Characters that are invisible or that change how the text around them is laid out: shown
// literally they would let a hostile name hide some of itself, pose as another name or split one
// entry of the failure list into several lines.
bool MustEscape(char32_t c) {
    if (c < 0x20 || (c >= 0x7F && c <= 0x9F)) {
        return true; // C0, DEL, C1
    }
    switch (c) {
    case 0x061C: // Arabic letter mark
    case 0x200E: // left-to-right mark
    case 0x200F: // right-to-left mark
    case 0x2028: // line separator
    case 0x2029: // paragraph separator
        return true;
    default:
        break;
    }
    return (c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069);
}

QString Hex(std::uint32_t value, int digits) {
    return QStringLiteral("%1").arg(value, digits, 16, QLatin1Char('0')).toUpper();
}

// Decodes one well-formed UTF-8 sequence at the start of `bytes`. Returns its length, or 0 when
// the first byte does not begin one (a stray continuation byte, a truncated sequence, an overlong
// form, a surrogate or a value beyond U+10FFFF).
std::size_t DecodeOne(std::string_view bytes, char32_t& out) {
    const auto b0 = static_cast<unsigned char>(bytes[0]);
    if (b0 < 0x80) {
        out = b0;
        return 1;
    }
    std::size_t length = 0;
    char32_t value = 0;
    // The allowed range of the second byte excludes overlong forms, surrogates and values past
    // U+10FFFF in one check.
    unsigned char lo = 0x80;
    unsigned char hi = 0xBF;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        length = 2;
        value = b0 & 0x1F;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        length = 3;
        value = b0 & 0x0F;
        if (b0 == 0xE0) {
            lo = 0xA0;
        } else if (b0 == 0xED) {
            hi = 0x9F;
        }
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        length = 4;
        value = b0 & 0x07;
        if (b0 == 0xF0) {
            lo = 0x90;
        } else if (b0 == 0xF4) {
            hi = 0x8F;
        }
    } else {
        return 0;
    }
    if (bytes.size() < length) {
        return 0;
    }
    for (std::size_t i = 1; i < length; ++i) {
        const auto b = static_cast<unsigned char>(bytes[i]);
        const unsigned char min = i == 1 ? lo : 0x80;
        const unsigned char max = i == 1 ? hi : 0xBF;
        if (b < min || b > max) {
            return 0;
        }
        value = (value << 6) | (b & 0x3F);
    }
    out = value;
    return length;
}

} // namespace

QString DisplayText(std::string_view utf8) {
    QString text;
    text.reserve(static_cast<qsizetype>(utf8.size()));
    while (!utf8.empty()) {
        char32_t c = 0;
        const std::size_t length = DecodeOne(utf8, c);
        if (length == 0) {
            // Only this byte is given up; decoding starts again at the next one, so that a damaged
            // sequence hides no valid character after it.
            text += QStringLiteral("\\x") + Hex(static_cast<unsigned char>(utf8[0]), 2);
            utf8.remove_prefix(1);
            continue;
        }
        if (MustEscape(c)) {
            text += QStringLiteral("\\u{") + Hex(c, 4) + QLatin1Char('}');
        } else {
            text += QString::fromUcs4(&c, 1);
        }
        utf8.remove_prefix(length);
    }
    return text;
}

} // namespace brisko::ui
