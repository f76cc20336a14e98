#include "acedec/Lz77Decoder.h"

#include "acedec/DecodeError.h"

namespace brisko::acedec {

namespace {

constexpr unsigned kCodeWidth = 11;
constexpr std::size_t kMainSymbols = 285; // 0..283 used; 284 can be sent but never means anything
constexpr std::size_t kLengthSymbols = 256;
constexpr unsigned kRecentBase = 256;   // 256..259: a recent distance
constexpr unsigned kDistanceBase = 260; // 260..282: a new distance of 0..22 bits
constexpr unsigned kModeSwitchSymbol = 283;

} // namespace

void Lz77Decoder::readTables(BitReader& bits) {
    m_main.read(bits, kCodeWidth, kMainSymbols);
    m_lengths.read(bits, kCodeWidth, kLengthSymbols);
    m_symbolsLeft = bits.bits(15);
    // A count of zero would only make the decoder read table after table.
    if (m_symbolsLeft == 0) {
        corrupt("empty LZ77 block");
    }
}

int Lz77Decoder::decodeSymbol(BitReader& bits, Window& window, std::uint8_t* out, bool switchAllowed,
                              std::uint64_t room) {
    if (m_symbolsLeft == 0) {
        readTables(bits);
    }
    --m_symbolsLeft;

    const unsigned symbol = m_main.decode(bits);
    if (symbol < 256) {
        if (room == 0) {
            corrupt("data longer than declared");
        }
        const auto byte = static_cast<std::uint8_t>(symbol);
        window.put(byte);
        out[0] = byte;
        return 1;
    }

    std::uint32_t distance = 0;
    std::size_t length = 0;
    if (symbol < kDistanceBase) {
        const unsigned k = symbol - kRecentBase;
        distance = m_recent[k];
        for (unsigned i = k; i > 0; --i) {
            m_recent[i] = m_recent[i - 1];
        }
        m_recent[0] = distance;
        length = m_lengths.decode(bits) + (k < 2 ? 2 : 3);
    } else if (symbol < kModeSwitchSymbol) {
        const unsigned n = symbol - kDistanceBase;
        distance = n < 2 ? n : bits.bits(n - 1) + (1u << (n - 1));
        m_recent = {distance, m_recent[0], m_recent[1], m_recent[2]};
        length = m_lengths.decode(bits) + 2;
        if (distance > 255) {
            ++length;
        }
        if (distance > 8191) {
            ++length;
        }
    } else if (symbol == kModeSwitchSymbol && switchAllowed) {
        return kModeSwitch;
    } else {
        corrupt("invalid LZ77 symbol");
    }

    // A stored distance d copies from d + 1 bytes back.
    const std::uint64_t back = std::uint64_t{distance} + 1;
    if (back > window.history()) {
        corrupt("match reaches before the start of the data");
    }
    if (length > room) {
        corrupt("data longer than declared");
    }
    window.copy(static_cast<std::size_t>(back), length, out);
    return static_cast<int>(length);
}

} // namespace brisko::acedec
