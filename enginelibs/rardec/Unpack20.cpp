// The RAR 2.0 decoder (UnpVer 20 and 26): LZ with transmitted canonical codes, and a multimedia mode
// that codes each channel's bytes as the error of a small adaptive linear predictor.
#include <algorithm>
#include <array>

#include "rardec/BitInput.h"
#include "rardec/Decoders.h"
#include "rardec/Huffman.h"
#include "rardec/LegacyWindow.h"
#include "rardec/Rar20Audio.h"

namespace brisko::rardec {

namespace {

// RAR 2.x dictionaries are at most 1 MiB, and so are the farthest distances the codes can express.
constexpr std::size_t kWindowSize = 1 << 20;

constexpr unsigned kMainSymbols = 298;
constexpr unsigned kDistSymbols = 48;
constexpr unsigned kLengthSymbols = 28;
constexpr unsigned kLzLengths = kMainSymbols + kDistSymbols + kLengthSymbols;
constexpr unsigned kAudioSymbols = 257;
constexpr unsigned kMaxChannels = 4;
constexpr unsigned kStoredLengths = kMaxChannels * kAudioSymbols; // shared by both modes
constexpr unsigned kPreSymbols = 19;

constexpr unsigned kRepeatLast = 256;
constexpr unsigned kFirstShort = 261;
constexpr unsigned kNewTables = 269;
constexpr unsigned kFirstMatch = 270;
constexpr unsigned kAudioNewTables = 256;

constexpr std::uint8_t kLengthBase[kLengthSymbols] = {0,  1,  2,  3,   4,   5,   6,   7,  8,  10,
                                                      12, 14, 16, 20,  24,  28,  32,  40, 48, 56,
                                                      64, 80, 96, 112, 128, 160, 192, 224};
constexpr std::uint8_t kLengthBits[kLengthSymbols] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2,
                                                      2, 2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5};
constexpr std::uint32_t kDistBase[kDistSymbols] = {
    0,      1,      2,      3,      4,      6,      8,      12,     16,     24,     32,     48,
    64,     96,     128,    192,    256,    384,    512,    768,    1024,   1536,   2048,   3072,
    4096,   6144,   8192,   12288,  16384,  24576,  32768,  49152,  65536,  98304,  131072, 196608,
    262144, 327680, 393216, 458752, 524288, 589824, 655360, 720896, 786432, 851968, 917504, 983040};
constexpr std::uint8_t kDistBits[kDistSymbols] = {
    0,  0,  0,  0,  1,  1,  2,  2,  3,  3,  4,  4,  5,  5,  6,  6,  7,  7,  8,  8,  9,  9,  10, 10,
    11, 11, 12, 12, 13, 13, 14, 14, 15, 15, 16, 16, 16, 16, 16, 16, 16, 16, 16, 16, 16, 16, 16, 16};
constexpr std::uint8_t kShortBase[8] = {0, 4, 8, 16, 32, 64, 128, 192};
constexpr std::uint8_t kShortBits[8] = {2, 2, 3, 4, 5, 6, 6, 6};

// Each distance slot begins where the one before ends, and the last reaches exactly the window.
constexpr bool slotsTile() {
    for (unsigned i = 0; i + 1 < kDistSymbols; ++i) {
        if (kDistBase[i] + (1u << kDistBits[i]) != kDistBase[i + 1]) {
            return false;
        }
    }
    return kDistBase[kDistSymbols - 1] + (1u << kDistBits[kDistSymbols - 1]) == kWindowSize;
}
static_assert(slotsTile());

class Rar20Decoder final : public Decoder {
public:
    Status decode(PackedInput& input, std::uint64_t packedSize, std::uint64_t unpackedSize, bool solid,
                  Output& output) override;

private:
    void startStream();
    bool readTables(BitInput& in);
    // One symbol of the current mode; false for data that does not decode.
    bool step(BitInput& in);
    bool match(std::uint32_t distance, std::uint32_t length);
    // After the entry's last byte: a table the encoder put there for the next solid entry.
    void readTrailingTables(BitInput& in, std::uint64_t packedSize);

    LegacyWindow m_window{kWindowSize};
    std::array<std::uint8_t, kStoredLengths> m_lengths{};
    HuffmanCode m_main;
    HuffmanCode m_dist;
    HuffmanCode m_length;
    HuffmanCode m_audioCodes[kMaxChannels];
    bool m_audio = false;
    unsigned m_channels = 1;
    unsigned m_channel = 0;
    Rar20Audio m_predictor;
    std::uint32_t m_hist[4] = {};
    unsigned m_histPos = 0;
    std::uint32_t m_lastDist = 0;
    std::uint32_t m_lastLength = 0;
    // The state can be continued by a solid entry.
    bool m_started = false;
    bool m_intact = false;
};

void Rar20Decoder::startStream() {
    m_window.reset();
    m_lengths.fill(0);
    // Codes with no symbols, so that a solid entry without tables fails instead of reading stale ones.
    m_main.build(m_lengths.data(), kMainSymbols);
    m_dist.build(m_lengths.data(), kDistSymbols);
    m_length.build(m_lengths.data(), kLengthSymbols);
    for (HuffmanCode& code : m_audioCodes) {
        code.build(m_lengths.data(), kAudioSymbols);
    }
    m_audio = false;
    m_channels = 1;
    m_channel = 0;
    m_predictor.reset();
    std::fill(std::begin(m_hist), std::end(m_hist), 0);
    m_histPos = 0;
    m_lastDist = m_lastLength = 0;
    m_started = true;
}

bool Rar20Decoder::readTables(BitInput& in) {
    const bool audio = in.bits(1) == 1;
    if (in.bits(1) == 0) {
        m_lengths.fill(0);
    }
    unsigned count = kLzLengths;
    unsigned channels = m_channels;
    if (audio) {
        channels = in.bits(2) + 1;
        count = channels * kAudioSymbols;
    }
    std::uint8_t preLengths[kPreSymbols];
    for (std::uint8_t& length : preLengths) {
        length = static_cast<std::uint8_t>(in.bits(4));
    }
    HuffmanCode pre;
    if (!pre.build(preLengths, kPreSymbols)) {
        return false;
    }
    std::array<std::uint8_t, kStoredLengths> lengths{};
    unsigned i = 0;
    while (i < count) {
        if (in.overrun()) {
            return false;
        }
        const int symbol = pre.decode(in);
        if (symbol < 0) {
            return false;
        }
        if (symbol < 16) {
            lengths[i] = static_cast<std::uint8_t>((m_lengths[i] + symbol) & 15);
            ++i;
            continue;
        }
        unsigned run = 0;
        std::uint8_t value = 0;
        if (symbol == 16) {
            if (i == 0) {
                return false;
            }
            run = 3 + in.bits(2);
            value = lengths[i - 1];
        } else if (symbol == 17) {
            run = 3 + in.bits(3);
        } else {
            run = 11 + in.bits(7);
        }
        for (const unsigned end = std::min(count, i + run); i < end; ++i) {
            lengths[i] = value;
        }
    }
    std::copy_n(lengths.begin(), count, m_lengths.begin());
    if (audio) {
        for (unsigned c = 0; c < channels; ++c) {
            if (!m_audioCodes[c].build(lengths.data() + c * kAudioSymbols, kAudioSymbols)) {
                return false;
            }
        }
        m_channels = channels;
        if (m_channel >= channels) {
            m_channel = 0;
        }
    } else if (!m_main.build(lengths.data(), kMainSymbols) ||
               !m_dist.build(lengths.data() + kMainSymbols, kDistSymbols) ||
               !m_length.build(lengths.data() + kMainSymbols + kDistSymbols, kLengthSymbols)) {
        return false;
    }
    m_audio = audio;
    return true;
}

bool Rar20Decoder::match(std::uint32_t distance, std::uint32_t length) {
    // A ring of the last four distances, not move-to-front.
    m_hist[m_histPos & 3] = distance;
    ++m_histPos;
    m_lastDist = distance;
    m_lastLength = length;
    return m_window.copy(distance, length);
}

bool Rar20Decoder::step(BitInput& in) {
    if (m_audio) {
        const int symbol = m_audioCodes[m_channel].decode(in);
        if (symbol < 0) {
            return false;
        }
        if (unsigned(symbol) == kAudioNewTables) {
            return readTables(in);
        }
        m_window.put(m_predictor.decode(m_channel, static_cast<std::uint8_t>(symbol)));
        m_channel = (m_channel + 1) % m_channels;
        return true;
    }
    const int read = m_main.decode(in);
    if (read < 0) {
        return false;
    }
    const unsigned symbol = static_cast<unsigned>(read);
    if (symbol < 256) {
        m_window.put(static_cast<std::uint8_t>(symbol));
        return true;
    }
    if (symbol == kRepeatLast) {
        return m_lastLength != 0 && match(m_lastDist, m_lastLength);
    }
    if (symbol < kFirstShort) {
        const std::uint32_t distance = m_hist[(m_histPos - (symbol - kRepeatLast)) & 3];
        const int slot = m_length.decode(in);
        if (slot < 0) {
            return false;
        }
        std::uint32_t length = kLengthBase[slot] + in.bits(kLengthBits[slot]) + 2;
        length += (distance >= 0x101) + (distance >= 0x2000) + (distance >= 0x40000);
        return match(distance, length);
    }
    if (symbol < kNewTables) {
        const unsigned k = symbol - kFirstShort;
        return match(kShortBase[k] + in.bits(kShortBits[k]) + 1u, 2);
    }
    if (symbol == kNewTables) {
        return readTables(in);
    }
    const unsigned lengthSlot = symbol - kFirstMatch;
    std::uint32_t length = kLengthBase[lengthSlot] + in.bits(kLengthBits[lengthSlot]) + 3;
    const int slot = m_dist.decode(in);
    if (slot < 0) {
        return false;
    }
    const std::uint32_t distance = kDistBase[slot] + in.bits(kDistBits[slot]) + 1;
    length += (distance >= 0x2000) + (distance >= 0x40000);
    return match(distance, length);
}

void Rar20Decoder::readTrailingTables(BitInput& in, std::uint64_t packedSize) {
    // Only an encoder that put a table here leaves this much unread; otherwise the last few bytes are
    // the tail of the final symbol, or cipher padding. Decoders in use wait for 5 or for 7 bytes; a
    // table is far longer than either, so the choice only matters for damaged data.
    constexpr std::uint64_t kTableMargin = 5;
    if (in.consumed() + kTableMargin > packedSize) {
        return;
    }
    const int symbol = m_audio ? m_audioCodes[m_channel].decode(in) : m_main.decode(in);
    const unsigned tableSymbol = m_audio ? kAudioNewTables : kNewTables;
    if (symbol >= 0 && unsigned(symbol) == tableSymbol && !readTables(in)) {
        // This entry is whole, but a solid successor would start from broken codes.
        m_intact = false;
    }
}

Status Rar20Decoder::decode(PackedInput& input, std::uint64_t packedSize, std::uint64_t unpackedSize,
                            bool solid, Output& output) {
    if (!solid || !m_started) {
        startStream();
    } else if (!m_intact) {
        return Status::Corrupt; // the entry before did not decode: its state is no base
    }
    m_intact = false;
    m_window.beginEntry(unpackedSize, output);
    BitInput in(input);
    // A fresh stream opens with its tables (an empty entry may have no data at all).
    bool tables = true;
    if (!solid && (unpackedSize != 0 || packedSize != 0)) {
        tables = readTables(in);
    }
    if (!tables && unpackedSize != 0) {
        return Status::Corrupt;
    }
    const Status status = m_window.decodeEntry(in, [&] { return step(in); });
    if (status != Status::Ok) {
        return status;
    }
    m_intact = tables;
    if (tables) {
        readTrailingTables(in, packedSize);
    }
    return Status::Ok;
}

} // namespace

std::unique_ptr<Decoder> makeRar20Decoder() {
    return std::make_unique<Rar20Decoder>();
}

} // namespace brisko::rardec
