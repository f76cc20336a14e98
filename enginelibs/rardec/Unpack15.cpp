// The RAR 1.5 decoder (UnpVer 15 and below): no transmitted tables, but fixed codes whose symbols
// are places in adaptive move-to-front tables, and running averages that pick which code to read.
// Every piece of that state carries over into a solid entry, so all of it lives in the decoder.
#include <algorithm>
#include <array>
#include <utility>

#include "rardec/BitInput.h"
#include "rardec/Decoders.h"
#include "rardec/LegacyWindow.h"

namespace brisko::rardec {

namespace {

constexpr std::size_t kWindowSize = 1 << 16;

// A fixed canonical code given by how many codewords each length 0..12 has.
using FixedCode = std::array<std::uint16_t, 13>;

constexpr FixedCode kPosL1 = {0, 0, 2, 1, 2, 2, 4, 5, 4, 4, 8, 0, 224};
constexpr FixedCode kPosL2 = {0, 0, 0, 5, 2, 2, 4, 5, 4, 4, 8, 2, 220};
constexpr FixedCode kPosHf0 = {0, 0, 0, 0, 8, 8, 8, 9, 0, 0, 0, 0, 224};
constexpr FixedCode kPosHf1 = {0, 0, 0, 0, 0, 4, 40, 16, 16, 4, 0, 47, 130};
constexpr FixedCode kPosHf2 = {0, 0, 0, 0, 0, 2, 5, 46, 64, 116, 24, 0, 0};
constexpr FixedCode kPosHf3 = {0, 0, 0, 0, 0, 0, 2, 14, 202, 33, 6, 0, 0};
constexpr FixedCode kPosHf4 = {0, 0, 0, 0, 0, 0, 0, 0, 255, 2, 0, 0, 0};

// decodeNum relies on every 12-bit pattern belonging to a codeword.
constexpr bool complete(const FixedCode& code) {
    unsigned space = 0;
    for (unsigned length = 1; length <= 12; ++length) {
        space += unsigned(code[length]) << (12 - length);
    }
    return space == 1u << 12;
}
static_assert(complete(kPosL1) && complete(kPosL2) && complete(kPosHf0) && complete(kPosHf1) &&
              complete(kPosHf2) && complete(kPosHf3) && complete(kPosHf4));

unsigned decodeNum(BitInput& input, const FixedCode& code) {
    unsigned bits = input.peek(12);
    unsigned first = 0;
    for (unsigned length = 1; length <= 12; ++length) {
        const unsigned span = unsigned(code[length]) << (12 - length);
        if (bits < span) {
            input.skip(length);
            return (bits >> (12 - length)) + first;
        }
        bits -= span;
        first += code[length];
    }
    return 0; // not reached: the codes are complete (checked above)
}

// The short-match selector: four prefix codes, chosen by the average short length and a toggle the
// stream flips. Each is written as (code, length) per selector value 0..14; length 0 = absent.
struct SelectorCode {
    std::uint8_t code;
    std::uint8_t length;
};
using SelectorCodes = std::array<SelectorCode, 15>;

// clang-format off
constexpr SelectorCodes kShortCodes[4] = {
    // average below 37, toggle off
    {{{0b0, 1}, {0b101, 3}, {0b1101, 4}, {0b1110, 4}, {0b11110, 5}, {0b111110, 6}, {0b1111110, 7},
      {0b11111110, 8}, {0b11111111, 8}, {0b1100, 4}, {0b1000, 4}, {0b10010, 5}, {0b100110, 6},
      {0b100111, 6}, {0, 0}}},
    // average below 37, toggle on
    {{{0b0, 1}, {0b1010, 4}, {0b1101, 4}, {0b1110, 4}, {0b11110, 5}, {0b111110, 6}, {0b1111110, 7},
      {0b11111110, 8}, {0b11111111, 8}, {0b1100, 4}, {0b1000, 4}, {0b10010, 5}, {0b100110, 6},
      {0b100111, 6}, {0b1011, 4}}},
    // average 37 or more, toggle off
    {{{0b00, 2}, {0b010, 3}, {0b011, 3}, {0b101, 3}, {0b1101, 4}, {0b1110, 4}, {0b11110, 5},
      {0b111110, 6}, {0b111111, 6}, {0b1100, 4}, {0b1000, 4}, {0b10010, 5}, {0b100110, 6},
      {0b100111, 6}, {0, 0}}},
    // average 37 or more, toggle on
    {{{0b00, 2}, {0b010, 3}, {0b011, 3}, {0b1010, 4}, {0b1101, 4}, {0b1110, 4}, {0b11110, 5},
      {0b111110, 6}, {0b111111, 6}, {0b1100, 4}, {0b1000, 4}, {0b10010, 5}, {0b100110, 6},
      {0b100111, 6}, {0b1011, 4}}},
};
// clang-format on

// Selector value per 8-bit look-ahead; 0xFF marks a pattern no code covers.
using SelectorTable = std::array<std::uint8_t, 256>;

constexpr SelectorTable selectorTable(const SelectorCodes& codes) {
    SelectorTable table{};
    table.fill(0xFF);
    for (unsigned value = 0; value < codes.size(); ++value) {
        if (codes[value].length == 0) {
            continue;
        }
        const unsigned shift = 8u - codes[value].length;
        for (unsigned fill = 0; fill < (1u << shift); ++fill) {
            table[(unsigned(codes[value].code) << shift) | fill] = static_cast<std::uint8_t>(value);
        }
    }
    return table;
}

constexpr SelectorTable kShortTables[4] = {selectorTable(kShortCodes[0]), selectorTable(kShortCodes[1]),
                                           selectorTable(kShortCodes[2]), selectorTable(kShortCodes[3])};

// Every code is complete and prefix-free: each 8-bit pattern is covered exactly once.
constexpr bool coversEachPatternOnce(const SelectorCodes& codes) {
    unsigned space = 0;
    for (const SelectorCode& c : codes) {
        space += c.length == 0 ? 0 : 1u << (8 - c.length);
    }
    return space == 256;
}
constexpr bool noGaps(const SelectorTable& table) {
    for (std::uint8_t value : table) {
        if (value == 0xFF) {
            return false;
        }
    }
    return true;
}
static_assert(coversEachPatternOnce(kShortCodes[0]) && coversEachPatternOnce(kShortCodes[1]) &&
              coversEachPatternOnce(kShortCodes[2]) && coversEachPatternOnce(kShortCodes[3]));
static_assert(noGaps(kShortTables[0]) && noGaps(kShortTables[1]) && noGaps(kShortTables[2]) &&
              noGaps(kShortTables[3]));

// An adaptive table: 256 entries "value << 8 | use counter" kept roughly sorted by use, plus for
// each counter the place the next entry reaching it moves to.
class AdaptiveTable {
public:
    void setValues(unsigned (*valueOf)(unsigned)) {
        for (unsigned i = 0; i < 256; ++i) {
            m_entries[i] = valueOf(i) << 8;
        }
        m_next.fill(0);
    }

    // Counters restart at 7 for the first 32 places down to 0 for the last 32.
    void resetCounters() {
        for (unsigned i = 0; i < 256; ++i) {
            m_entries[i] = (m_entries[i] & ~0xFFu) | (7 - i / 32);
        }
        m_next.fill(0);
        for (unsigned i = 0; i < 7; ++i) {
            m_next[i] = (7 - i) * 32;
        }
    }

    // The value at `place`, which moves up; -1 if the table was driven into a state a valid stream
    // never reaches.
    int take(unsigned place, unsigned limit) {
        std::uint32_t entry = m_entries[place];
        if ((entry & 0xFF) >= limit) {
            resetCounters();
            entry = m_entries[place];
        }
        const std::uint32_t target = m_next[entry & 0xFF]++;
        if (target >= m_entries.size()) {
            return -1;
        }
        m_entries[place] = m_entries[target];
        m_entries[target] = entry + 1;
        return static_cast<int>(entry >> 8);
    }

private:
    std::array<std::uint32_t, 256> m_entries{};
    std::array<std::uint32_t, 256> m_next{};
};

class Rar15Decoder final : public Decoder {
public:
    Status decode(PackedInput& input, std::uint64_t packedSize, std::uint64_t unpackedSize, bool solid,
                  Output& output) override;

private:
    void startStream();
    // One step of the main loop; false for data that does not decode.
    bool step(BitInput& in);
    int flagBit(BitInput& in);
    bool literal(BitInput& in);
    bool shortMatch(BitInput& in);
    bool longMatch(BitInput& in);
    bool match(std::uint32_t distance, std::uint32_t length);

    LegacyWindow m_window{kWindowSize};
    AdaptiveTable m_literals; // ChSet
    AdaptiveTable m_distHigh; // ChSetB
    AdaptiveTable m_flagSet;  // ChSetC
    std::array<std::uint8_t, 256> m_shortDists{};
    unsigned m_avrPlc = 0;
    unsigned m_avrPlcB = 0;
    unsigned m_avrLn1 = 0;
    unsigned m_avrLn2 = 0;
    unsigned m_avrLn3 = 0;
    unsigned m_numHuf = 0;
    unsigned m_buf60 = 0;
    unsigned m_maxDist3 = 0;
    unsigned m_nhfb = 0;
    unsigned m_nlzb = 0;
    std::uint32_t m_hist[4] = {};
    unsigned m_histPos = 0;
    std::uint32_t m_lastDist = 0;
    std::uint32_t m_lastLength = 0;
    // Per entry, also in a solid stream.
    unsigned m_flags = 0;
    unsigned m_flagCount = 0;
    bool m_stMode = false;
    unsigned m_lCount = 0;
    // The state can be continued by a solid entry.
    bool m_started = false;
    bool m_intact = false;
};

void Rar15Decoder::startStream() {
    m_window.reset();
    m_literals.setValues([](unsigned i) { return i; });
    m_distHigh.setValues([](unsigned i) { return i; });
    m_flagSet.setValues([](unsigned i) { return (0u - i) & 0xFF; });
    m_distHigh.resetCounters();
    for (unsigned i = 0; i < 256; ++i) {
        m_shortDists[i] = static_cast<std::uint8_t>(i);
    }
    m_avrPlc = 0x3500;
    m_avrPlcB = m_avrLn1 = m_avrLn2 = m_avrLn3 = m_numHuf = m_buf60 = 0;
    m_maxDist3 = 0x2001;
    m_nhfb = m_nlzb = 0x80;
    std::fill(std::begin(m_hist), std::end(m_hist), 0);
    m_histPos = 0;
    m_lastDist = m_lastLength = 0;
    m_started = true;
}

int Rar15Decoder::flagBit(BitInput& in) {
    if (m_flagCount == 0) {
        const unsigned place = decodeNum(in, kPosHf2);
        if (place > 0xFF) {
            return -1; // the flag table has 256 places
        }
        const int flags = m_flagSet.take(place, 0xFF);
        if (flags < 0) {
            return -1;
        }
        m_flags = static_cast<unsigned>(flags);
        m_flagCount = 8;
    }
    --m_flagCount;
    return (m_flags >> m_flagCount) & 1;
}

bool Rar15Decoder::match(std::uint32_t distance, std::uint32_t length) {
    m_hist[m_histPos & 3] = distance;
    ++m_histPos;
    m_lastDist = distance;
    m_lastLength = length;
    return m_window.copy(distance, length);
}

bool Rar15Decoder::literal(BitInput& in) {
    const FixedCode& code = m_avrPlc >= 0x7600   ? kPosHf4
                            : m_avrPlc >= 0x5E00 ? kPosHf3
                            : m_avrPlc >= 0x3600 ? kPosHf2
                            : m_avrPlc >= 0x0E00 ? kPosHf1
                                                 : kPosHf0;
    unsigned place = decodeNum(in, code);
    if (m_stMode) {
        // Place 0 escapes to a short match, or back to the flag-driven mode.
        if (place == 0) {
            if (in.bits(1) == 1) {
                m_stMode = false;
                m_numHuf = 0;
                return true;
            }
            const std::uint32_t length = in.bits(1) + 3;
            const std::uint32_t distance = (decodeNum(in, kPosHf2) << 5) | in.bits(5);
            return m_window.copy(distance, length);
        }
        --place;
    } else if (m_numHuf++ >= 16 && m_flagCount == 0) {
        m_stMode = true;
    }
    place &= 0xFF;
    m_avrPlc += place;
    m_avrPlc -= m_avrPlc >> 8;
    m_nhfb += 16;
    if (m_nhfb > 0xFF) {
        m_nhfb = 0x90;
        m_nlzb >>= 1;
    }
    const int byte = m_literals.take(place, 0xA1);
    if (byte < 0) {
        return false;
    }
    m_window.put(static_cast<std::uint8_t>(byte));
    return true;
}

bool Rar15Decoder::shortMatch(BitInput& in) {
    m_numHuf = 0;
    if (m_lCount == 2) {
        if (in.bits(1) == 1) {
            return m_window.copy(m_lastDist, m_lastLength);
        }
        m_lCount = 0;
    }
    const unsigned variant = (m_avrLn1 >= 37 ? 2 : 0) + (m_buf60 != 0 ? 1 : 0);
    const unsigned selector = kShortTables[variant][in.peek(8)];
    in.skip(kShortCodes[variant][selector].length);

    std::uint32_t distance = 0;
    std::uint32_t length = 0;
    if (selector <= 8) {
        m_lCount = 0;
        m_avrLn1 += selector;
        m_avrLn1 -= m_avrLn1 >> 4;
        const unsigned place = decodeNum(in, kPosHf2) & 0xFF;
        distance = m_shortDists[place] + 1u;
        if (place > 0) {
            std::swap(m_shortDists[place], m_shortDists[place - 1]);
        }
        length = selector + 2;
    } else if (selector == 9) {
        ++m_lCount;
        return m_window.copy(m_lastDist, m_lastLength);
    } else if (selector == 14) {
        // A far match that stays out of the distance history.
        m_lCount = 0;
        length = decodeNum(in, kPosL2) + 5;
        distance = 0x8000 + in.bits(15);
        m_lastLength = length;
        m_lastDist = distance;
        return m_window.copy(distance, length);
    } else {
        m_lCount = 0;
        distance = m_hist[(m_histPos - (selector - 9)) & 3];
        const unsigned lengthCode = decodeNum(in, kPosL1);
        if (lengthCode == 0xFF && selector == 10) {
            m_buf60 ^= 16; // switches the selector code; produces nothing
            return true;
        }
        length = lengthCode + 2;
        if (distance > 256) {
            ++length;
        }
        if (distance >= m_maxDist3) {
            ++length;
        }
    }
    return match(distance, length);
}

bool Rar15Decoder::longMatch(BitInput& in) {
    m_numHuf = 0;
    m_nlzb += 16;
    if (m_nlzb > 0xFF) {
        m_nlzb = 0x90;
        m_nhfb >>= 1;
    }
    const unsigned oldAvrLn2 = m_avrLn2;
    unsigned lengthCode = 0;
    if (m_avrLn2 >= 122) {
        lengthCode = decodeNum(in, kPosL2);
    } else if (m_avrLn2 >= 64) {
        lengthCode = decodeNum(in, kPosL1);
    } else {
        // Unary: up to 8 zeros then a one; 8 zeros are followed by the length in 8 bits.
        const unsigned bits = in.peek(16);
        if (bits < 0x100) {
            lengthCode = bits;
            in.skip(16);
        } else {
            while (((bits << lengthCode) & 0x8000) == 0) {
                ++lengthCode;
            }
            in.skip(lengthCode + 1);
        }
    }
    m_avrLn2 += lengthCode;
    m_avrLn2 -= m_avrLn2 >> 5;

    const FixedCode& code = m_avrPlcB >= 0x2900 ? kPosHf2 : m_avrPlcB >= 0x0700 ? kPosHf1 : kPosHf0;
    const unsigned place = decodeNum(in, code);
    m_avrPlcB += place;
    m_avrPlcB -= m_avrPlcB >> 8;
    const int high = m_distHigh.take(place & 0xFF, 0xFF);
    if (high < 0) {
        return false;
    }
    const std::uint32_t distance = (static_cast<std::uint32_t>(high) << 7) | in.bits(7);

    const unsigned oldAvrLn3 = m_avrLn3;
    if (lengthCode != 1 && lengthCode != 4) {
        if (lengthCode == 0 && distance <= m_maxDist3) {
            ++m_avrLn3;
            m_avrLn3 -= m_avrLn3 >> 8;
        } else if (m_avrLn3 > 0) {
            --m_avrLn3;
        }
    }
    std::uint32_t length = lengthCode + 3;
    if (distance >= m_maxDist3) {
        ++length;
    }
    if (distance <= 256) {
        length += 8;
    }
    m_maxDist3 = (oldAvrLn3 > 0xB0 || (m_avrPlc >= 0x2A00 && oldAvrLn2 < 0x40)) ? 0x7F00 : 0x2001;
    return match(distance, length);
}

bool Rar15Decoder::step(BitInput& in) {
    if (m_stMode) {
        return literal(in);
    }
    const int first = flagBit(in);
    if (first < 0) {
        return false;
    }
    if (first == 1) {
        return m_nlzb > m_nhfb ? longMatch(in) : literal(in);
    }
    const int second = flagBit(in);
    if (second < 0) {
        return false;
    }
    if (second == 0) {
        return shortMatch(in);
    }
    return m_nlzb <= m_nhfb ? longMatch(in) : literal(in);
}

Status Rar15Decoder::decode(PackedInput& input, std::uint64_t /*packedSize*/, std::uint64_t unpackedSize,
                            bool solid, Output& output) {
    if (!solid || !m_started) {
        startStream();
    } else if (!m_intact) {
        return Status::Corrupt; // the entry before did not decode: its state is no base
    }
    m_intact = false;
    m_flags = m_flagCount = 0;
    m_stMode = false;
    m_lCount = 0;
    m_window.beginEntry(unpackedSize, output);
    BitInput in(input);
    const Status status = m_window.decodeEntry(in, [&] { return step(in); });
    if (status != Status::Ok) {
        return status;
    }
    m_intact = true;
    return Status::Ok;
}

} // namespace

std::unique_ptr<Decoder> makeRar15Decoder() {
    return std::make_unique<Rar15Decoder>();
}

} // namespace brisko::rardec
