// The decoder of RAR 2.9 to 4.x entries (unpack versions 29 and 36): LZ blocks with four canonical codes
// and PPMd blocks, taking turns in one circular window, with the standard filters applied on the way out.
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <new>
#include <vector>

#include "rardec/BitInput.h"
#include "rardec/Decoders.h"
#include "rardec/Huffman.h"
#include "rardec/Ppmd.h"
#include "rardec/Rar29Filters.h"

namespace brisko::rardec {

namespace {

constexpr std::size_t kMinWindow = std::size_t(64) * 1024;
constexpr std::size_t kMaxWindow = std::size_t(4) * 1024 * 1024;
// The most one symbol writes: an LZ match is at most 260 bytes, a PPMd match 287. Decoding stops this
// far short of the oldest byte not yet taken out of the window, so that no match wraps onto it.
constexpr std::size_t kMaxRun = 288;
// A stream that goes on this far past its entry's size without an end marker is damaged.
constexpr std::uint64_t kMaxOvershoot = std::uint64_t(1) << 20;

constexpr unsigned kPreSymbols = 20;
constexpr unsigned kMainSymbols = 299;
constexpr unsigned kDistSymbols = 60;
constexpr unsigned kLowSymbols = 17;
constexpr unsigned kRepSymbols = 28;
constexpr unsigned kTableSize = kMainSymbols + kDistSymbols + kLowSymbols + kRepSymbols;

struct Slots {
    std::array<std::uint32_t, kRepSymbols> lengthBase{};
    std::array<std::uint8_t, kRepSymbols> lengthBits{};
    std::array<std::uint32_t, kDistSymbols> distBase{};
    std::array<std::uint8_t, kDistSymbols> distBits{};
};

constexpr Slots makeSlots() {
    Slots slots;
    for (unsigned i = 0; i < kRepSymbols; ++i) {
        if (i < 8) {
            slots.lengthBase[i] = i;
        } else {
            const unsigned bits = (i >> 2) - 1;
            slots.lengthBase[i] = (4 + (i & 3)) << bits;
            slots.lengthBits[i] = static_cast<std::uint8_t>(bits);
        }
    }
    std::uint32_t base = 0;
    for (unsigned i = 0; i < kDistSymbols; ++i) {
        const unsigned bits = i < 4 ? 0 : i < 34 ? (i - 2) / 2 : i < 48 ? 16 : 18;
        slots.distBase[i] = base;
        slots.distBits[i] = static_cast<std::uint8_t>(bits);
        base += 1u << bits;
    }
    return slots;
}
constexpr Slots kSlots = makeSlots();
static_assert(kSlots.lengthBase[27] == 224 && kSlots.lengthBits[27] == 5 && kSlots.lengthBase[9] == 10);
static_assert(kSlots.distBase[33] == 98304 && kSlots.distBase[48] == 1048576 &&
              kSlots.distBase[59] == 3932160);

constexpr std::uint8_t kShortBase[8] = {0, 4, 8, 16, 32, 64, 128, 192};
constexpr std::uint8_t kShortBits[8] = {2, 2, 3, 4, 5, 6, 6, 6};

std::size_t windowSizeFor(std::size_t dictionary) {
    std::size_t size = kMinWindow;
    while (size < dictionary && size < kMaxWindow) {
        size <<= 1;
    }
    return size;
}

// A canonical code read once or more per symbol: a 12-bit lookup answers nearly every code in one
// step; the rest go to HuffmanCode, which also checks the lengths.
class QuickCode {
public:
    bool build(const std::uint8_t* lengths, unsigned count) {
        if (!m_code.build(lengths, count)) {
            return false;
        }
        unsigned perLength[HuffmanCode::kMaxLength + 1] = {};
        for (unsigned s = 0; s < count; ++s) {
            ++perLength[lengths[s]];
        }
        perLength[0] = 0;
        unsigned next[HuffmanCode::kMaxLength + 1] = {};
        unsigned code = 0;
        for (unsigned length = 1; length <= HuffmanCode::kMaxLength; ++length) {
            code = (code + perLength[length - 1]) << 1;
            next[length] = code;
        }
        m_table.fill(0);
        for (unsigned s = 0; s < count; ++s) {
            const unsigned length = lengths[s];
            if (length == 0) {
                continue;
            }
            const unsigned assigned = next[length]++;
            if (length > kBits) {
                continue;
            }
            const unsigned first = assigned << (kBits - length);
            const auto entry = static_cast<std::uint16_t>((s << 4) | length);
            std::fill_n(m_table.begin() + first, 1u << (kBits - length), entry);
        }
        return true;
    }

    // The next symbol, or -1 for a pattern no symbol has.
    int decode(BitInput& in) const {
        const std::uint16_t entry = m_table[in.peek(kBits)];
        if (entry != 0) {
            in.skip(entry & 15);
            return entry >> 4;
        }
        return m_code.decode(in);
    }

private:
    static constexpr unsigned kBits = 12;
    std::array<std::uint16_t, 1u << kBits> m_table{}; // symbol << 4 | length; 0: longer or unassigned
    HuffmanCode m_code;
};

class Rar29Decoder final : public Decoder {
public:
    explicit Rar29Decoder(std::size_t dictionarySize)
        : m_windowSize(windowSizeFor(dictionarySize)), m_mask(m_windowSize - 1) {}

    Status decode(PackedInput& input, std::uint64_t packedSize, std::uint64_t unpackedSize, bool solid,
                  Output& output) override;

private:
    // Why a stretch of decoding returned.
    enum class Stop { Flush, EntryEnd, InputEnd };

    void reset();
    Status decodeEntry(BitInput& in, std::uint64_t unpackedSize);
    Status readTables(BitInput& in);
    Status readPpmdHeader(BitInput& in);
    // Decode until the window needs flushing, the stream position `stopAt`, or a block or entry end.
    Status decodeLz(BitInput& in, std::uint64_t stopAt, Stop* stop);
    Status decodePpmd(BitInput& in, std::uint64_t stopAt, Stop* stop);
    Status readFilter(BitInput& in, bool fromPpmd);
    bool copyMatch(std::uint32_t distance, std::uint32_t length);
    void putByte(std::uint8_t byte) { m_window[m_pos++ & m_mask] = byte; }
    // Takes every decoded byte out of the window: to the output, or into the block of a waiting filter.
    Status flush();
    Status runFilters();
    Status emitWindow(std::uint64_t from, std::uint64_t to);
    Status emit(const std::uint8_t* data, std::size_t size);

    const std::size_t m_windowSize;
    const std::size_t m_mask;
    std::unique_ptr<std::uint8_t[]> m_window;
    std::uint64_t m_pos = 0;     // bytes decoded since the stream's non-solid start
    std::uint64_t m_flushed = 0; // of those, the ones taken out of the window

    QuickCode m_mainCode;
    QuickCode m_distCode;
    QuickCode m_lowCode;
    QuickCode m_repCode;
    std::array<std::uint8_t, kTableSize> m_oldLengths{};
    std::array<std::uint32_t, 4> m_oldDist{};
    std::uint32_t m_lastLength = 0;
    unsigned m_lowRepeat = 0; // matches left that reuse m_prevLow as their low distance bits
    unsigned m_prevLow = 0;
    bool m_tablesValid = false; // a solid entry may start without tables

    PpmdModel m_ppmd;
    bool m_ppmdBlock = false;
    unsigned m_escape = 2;

    rar29::FilterQueue m_filters;
    std::unique_ptr<std::uint8_t[]> m_filterMemory;
    std::vector<std::uint8_t> m_record;

    // The entry being decoded.
    Output* m_output = nullptr;
    std::uint64_t m_entryLeft = 0;    // bytes the output still takes
    std::uint64_t m_entryWritten = 0; // bytes of the entry that left the decoder, kept or not
    bool m_broken = false;            // a failed entry leaves nothing a solid one could continue
};

void Rar29Decoder::reset() {
    m_pos = 0;
    m_flushed = 0;
    m_oldLengths.fill(0);
    m_oldDist.fill(0);
    m_lastLength = 0;
    m_lowRepeat = 0;
    m_prevLow = 0;
    m_tablesValid = false;
    m_ppmd.reset();
    m_ppmdBlock = false;
    m_escape = 2;
    m_filters.clear();
    m_broken = false;
}

Status Rar29Decoder::decode(PackedInput& input, std::uint64_t /*packedSize*/, std::uint64_t unpackedSize,
                            bool solid, Output& output) {
    if (!solid) {
        reset();
    } else if (m_broken) {
        return Status::Corrupt;
    }
    if (!m_window) {
        m_window.reset(new (std::nothrow) std::uint8_t[m_windowSize]);
        if (!m_window) {
            return Status::NoMemory;
        }
    }
    m_output = &output;
    m_entryLeft = unpackedSize;
    m_entryWritten = 0;
    BitInput in(input);
    Status status = decodeEntry(in, unpackedSize);
    if (status == Status::Ok && in.failed()) {
        status = Status::ReadError;
    }
    m_output = nullptr;
    m_broken = status != Status::Ok;
    return status;
}

Status Rar29Decoder::decodeEntry(BitInput& in, std::uint64_t unpackedSize) {
    const std::uint64_t entryStart = m_pos;
    const std::uint64_t entryEnd =
        unpackedSize > UINT64_MAX - entryStart ? UINT64_MAX : entryStart + unpackedSize;
    // Whether the entry's last byte came from the input rather than from decoding past its end: a
    // stream that loses its end marker is still whole, one that loses more is not.
    bool reachedSize = unpackedSize == 0;
    bool wholeBeforeInputEnd = reachedSize;
    if (!m_tablesValid || m_ppmdBlock) {
        const Status status = readTables(in);
        if (status != Status::Ok) {
            return status;
        }
    }
    for (;;) {
        Stop stop = Stop::Flush;
        const std::uint64_t stopAt = reachedSize ? UINT64_MAX : entryEnd;
        Status status = m_ppmdBlock ? decodePpmd(in, stopAt, &stop) : decodeLz(in, stopAt, &stop);
        if (!reachedSize && m_pos >= entryEnd) {
            reachedSize = true;
            wholeBeforeInputEnd = !in.overrun(0);
        }
        if (status == Status::Ok) {
            status = flush();
        }
        if (status != Status::Ok) {
            return status;
        }
        if (in.failed()) {
            return Status::ReadError;
        }
        if (stop != Stop::Flush || in.overrun()) {
            break;
        }
        const std::uint64_t produced = m_pos - entryStart;
        if (produced > unpackedSize && produced - unpackedSize > kMaxOvershoot) {
            return Status::Corrupt;
        }
    }
    if (in.overrun(0) && !wholeBeforeInputEnd) {
        return Status::Corrupt;
    }
    return m_entryWritten >= unpackedSize ? Status::Ok : Status::Corrupt;
}

Status Rar29Decoder::readTables(BitInput& in) {
    in.align();
    if (in.peek(1) != 0) {
        return readPpmdHeader(in);
    }
    in.skip(1);
    m_ppmdBlock = false;
    // A repeat of the low distance bits does not outlive its table.
    m_lowRepeat = 0;
    m_prevLow = 0;
    if (in.bits(1) == 0) {
        m_oldLengths.fill(0);
    }

    std::uint8_t preLengths[kPreSymbols] = {};
    for (unsigned i = 0; i < kPreSymbols;) {
        const unsigned length = in.bits(4);
        if (length == 15) {
            const unsigned zeros = in.bits(4);
            if (zeros != 0) {
                for (unsigned n = zeros + 2; n > 0 && i < kPreSymbols; --n) {
                    preLengths[i++] = 0;
                }
                continue;
            }
        }
        preLengths[i++] = static_cast<std::uint8_t>(length);
    }
    HuffmanCode preCode;
    if (!preCode.build(preLengths, kPreSymbols)) {
        return Status::Corrupt;
    }

    std::array<std::uint8_t, kTableSize> lengths{};
    for (unsigned i = 0; i < kTableSize;) {
        const int symbol = preCode.decode(in);
        if (symbol < 0) {
            return Status::Corrupt;
        }
        if (symbol < 16) {
            // The new length is coded as a change of the previous table's.
            lengths[i] = static_cast<std::uint8_t>((m_oldLengths[i] + symbol) & 15);
            ++i;
            continue;
        }
        unsigned count = 0;
        std::uint8_t value = 0;
        if (symbol < 18) {
            if (i == 0) {
                return Status::Corrupt;
            }
            count = symbol == 16 ? 3 + in.bits(3) : 11 + in.bits(7);
            value = lengths[i - 1];
        } else {
            count = symbol == 18 ? 3 + in.bits(3) : 11 + in.bits(7);
        }
        for (; count > 0 && i < kTableSize; --count) {
            lengths[i++] = value;
        }
    }
    if (in.overrun()) {
        return Status::Corrupt;
    }
    const std::uint8_t* at = lengths.data();
    if (!m_mainCode.build(at, kMainSymbols) || !m_distCode.build(at + kMainSymbols, kDistSymbols) ||
        !m_lowCode.build(at + kMainSymbols + kDistSymbols, kLowSymbols) ||
        !m_repCode.build(at + kMainSymbols + kDistSymbols + kLowSymbols, kRepSymbols)) {
        return Status::Corrupt;
    }
    m_oldLengths = lengths;
    m_tablesValid = true;
    return Status::Ok;
}

Status Rar29Decoder::readPpmdHeader(BitInput& in) {
    // A solid entry after a PPMd block starts with a block header of its own.
    m_tablesValid = false;
    const unsigned flags = in.bits(8);
    const unsigned memory = (flags & 0x20) != 0 ? in.bits(8) : 0;
    if ((flags & 0x40) != 0) {
        m_escape = in.bits(8);
    }
    if ((flags & 0x20) != 0) {
        int order = static_cast<int>(flags & 0x1F) + 1;
        if (order > 16) {
            order = 16 + (order - 16) * 3;
        }
        if (order == 1) {
            m_ppmd.reset();
            return Status::Corrupt;
        }
        if (!m_ppmd.restart((std::size_t(memory) + 1) << 20, order)) {
            return Status::NoMemory;
        }
    } else if (!m_ppmd.valid()) {
        return Status::Corrupt;
    }
    if (in.overrun()) {
        return Status::Corrupt;
    }
    m_ppmd.startBlock(in);
    m_ppmdBlock = true;
    return Status::Ok;
}

bool Rar29Decoder::copyMatch(std::uint32_t distance, std::uint32_t length) {
    if (distance == 0 || distance > m_pos || distance > m_windowSize) {
        return false;
    }
    std::uint8_t* const window = m_window.get();
    const std::size_t dst = m_pos & m_mask;
    const std::size_t src = (m_pos - distance) & m_mask;
    m_pos += length;
    if (dst + length > m_windowSize || src + length > m_windowSize) {
        for (std::size_t i = 0; i < length; ++i) {
            window[(dst + i) & m_mask] = window[(src + i) & m_mask];
        }
        return true;
    }
    // Copies never write past the match: a distance of up to the whole window may still want the
    // bytes that lie there.
    std::uint8_t* const out = window + dst;
    const std::uint8_t* const from = window + src;
    if (src > dst || distance >= length) {
        // The source is read before any of it is overwritten.
        std::memmove(out, from, length);
        return true;
    }
    if (distance == 1) {
        std::memset(out, *from, length);
        return true;
    }
    // The match repeats its own output: chunks no longer than the distance read only bytes
    // written before them.
    std::size_t i = 0;
    if (distance >= 16) {
        for (; i + 16 <= length; i += 16) {
            std::memcpy(out + i, from + i, 16);
        }
    } else if (distance >= 8) {
        for (; i + 8 <= length; i += 8) {
            std::memcpy(out + i, from + i, 8);
        }
    }
    for (; i < length; ++i) {
        out[i] = from[i];
    }
    return true;
}

Status Rar29Decoder::decodeLz(BitInput& in, std::uint64_t stopAt, Stop* stop) {
    const std::uint64_t limit = std::min(stopAt, m_flushed + m_windowSize - kMaxRun);
    std::uint8_t* const window = m_window.get();
    for (;;) {
        // Literals, the common case, in a loop of their own.
        std::uint64_t pos = m_pos;
        int symbol = -1;
        while (pos < limit) {
            symbol = m_mainCode.decode(in);
            if (static_cast<unsigned>(symbol) >= 256) {
                break;
            }
            window[pos++ & m_mask] = static_cast<std::uint8_t>(symbol);
        }
        m_pos = pos;
        if (pos >= limit) {
            break;
        }
        if (symbol < 0) {
            return Status::Corrupt;
        }
        // Symbols that write nothing must not run on for ever past the end of the input.
        if (in.overrun()) {
            *stop = Stop::InputEnd;
            return Status::Ok;
        }
        std::uint32_t length = 0;
        std::uint32_t distance = 0;
        if (symbol >= 271) {
            const unsigned lengthSlot = static_cast<unsigned>(symbol) - 271;
            length = kSlots.lengthBase[lengthSlot] + 3 + in.bits(kSlots.lengthBits[lengthSlot]);
            const int slot = m_distCode.decode(in);
            if (slot < 0) {
                return Status::Corrupt;
            }
            const unsigned bits = kSlots.distBits[slot];
            distance = kSlots.distBase[slot] + 1;
            if (slot < 10) {
                distance += in.bits(bits);
            } else {
                // The low four bits have a code of their own, with a way to repeat them.
                if (bits > 4) {
                    distance += in.bits(bits - 4) << 4;
                }
                if (m_lowRepeat > 0) {
                    --m_lowRepeat;
                    distance += m_prevLow;
                } else {
                    const int low = m_lowCode.decode(in);
                    if (low < 0) {
                        return Status::Corrupt;
                    }
                    if (low < 16) {
                        m_prevLow = static_cast<unsigned>(low);
                    } else {
                        m_lowRepeat = 15;
                    }
                    distance += m_prevLow;
                }
            }
            if (distance >= 0x2000) {
                ++length;
                if (distance >= 0x40000) {
                    ++length;
                }
            }
            m_oldDist[3] = m_oldDist[2];
            m_oldDist[2] = m_oldDist[1];
            m_oldDist[1] = m_oldDist[0];
            m_oldDist[0] = distance;
        } else if (symbol >= 263) {
            const unsigned k = static_cast<unsigned>(symbol) - 263;
            distance = kShortBase[k] + in.bits(kShortBits[k]) + 1;
            length = 2;
            m_oldDist[3] = m_oldDist[2];
            m_oldDist[2] = m_oldDist[1];
            m_oldDist[1] = m_oldDist[0];
            m_oldDist[0] = distance;
        } else if (symbol >= 259) {
            const unsigned k = static_cast<unsigned>(symbol) - 259;
            distance = m_oldDist[k];
            for (unsigned i = k; i > 0; --i) {
                m_oldDist[i] = m_oldDist[i - 1];
            }
            m_oldDist[0] = distance;
            const int lengthSlot = m_repCode.decode(in);
            if (lengthSlot < 0) {
                return Status::Corrupt;
            }
            length = kSlots.lengthBase[lengthSlot] + 2 + in.bits(kSlots.lengthBits[lengthSlot]);
        } else if (symbol == 258) {
            // Nothing to repeat yet: the symbol is ignored rather than taken for damage.
            if (m_lastLength == 0) {
                continue;
            }
            distance = m_oldDist[0];
            length = m_lastLength;
        } else if (symbol == 257) {
            const Status status = readFilter(in, false);
            if (status != Status::Ok) {
                return status;
            }
            continue;
        } else {
            // 256: "1" = new tables here; "0t" = end of the entry, t = the next entry brings tables.
            if (in.bits(1) != 0) {
                m_tablesValid = false;
                const Status status = readTables(in);
                if (status != Status::Ok) {
                    return status;
                }
                if (m_ppmdBlock) {
                    *stop = Stop::Flush;
                    return Status::Ok;
                }
                continue;
            }
            m_tablesValid = in.bits(1) == 0;
            *stop = Stop::EntryEnd;
            return Status::Ok;
        }
        m_lastLength = length;
        if (!copyMatch(distance, length)) {
            return Status::Corrupt;
        }
    }
    *stop = Stop::Flush;
    return Status::Ok;
}

Status Rar29Decoder::decodePpmd(BitInput& in, std::uint64_t stopAt, Stop* stop) {
    const std::uint64_t limit = std::min(stopAt, m_flushed + m_windowSize - kMaxRun);
    while (m_pos < limit) {
        if (in.overrun()) {
            *stop = Stop::InputEnd;
            return Status::Ok;
        }
        const int symbol = m_ppmd.decodeSymbol(in);
        if (symbol < 0) {
            return Status::Corrupt;
        }
        if (static_cast<unsigned>(symbol) != m_escape) {
            putByte(static_cast<std::uint8_t>(symbol));
            continue;
        }
        const int code = m_ppmd.decodeSymbol(in);
        if (code < 0) {
            return Status::Corrupt;
        }
        switch (code) {
        case 0: { // end of the block: tables (LZ or PPMd) follow
            const Status status = readTables(in);
            if (status != Status::Ok) {
                return status;
            }
            if (!m_ppmdBlock) {
                *stop = Stop::Flush;
                return Status::Ok;
            }
            break;
        }
        case 2:
            *stop = Stop::EntryEnd;
            return Status::Ok;
        case 3: {
            const Status status = readFilter(in, true);
            if (status != Status::Ok) {
                return status;
            }
            break;
        }
        case 4: { // a match: three bytes of distance, one of length
            std::uint32_t distance = 0;
            for (int i = 0; i < 3; ++i) {
                const int byte = m_ppmd.decodeSymbol(in);
                if (byte < 0) {
                    return Status::Corrupt;
                }
                distance = (distance << 8) | static_cast<std::uint32_t>(byte);
            }
            const int length = m_ppmd.decodeSymbol(in);
            if (length < 0 || !copyMatch(distance + 2, static_cast<std::uint32_t>(length) + 32)) {
                return Status::Corrupt;
            }
            break;
        }
        case 5: { // a run of the last byte
            const int length = m_ppmd.decodeSymbol(in);
            if (length < 0 || !copyMatch(1, static_cast<std::uint32_t>(length) + 4)) {
                return Status::Corrupt;
            }
            break;
        }
        default: // the escape byte itself
            putByte(static_cast<std::uint8_t>(m_escape));
            break;
        }
    }
    *stop = Stop::Flush;
    return Status::Ok;
}

Status Rar29Decoder::readFilter(BitInput& in, bool fromPpmd) {
    const auto next = [&]() -> int {
        return fromPpmd ? m_ppmd.decodeSymbol(in) : static_cast<int>(in.bits(8));
    };
    const int flags = next();
    if (flags < 0) {
        return Status::Corrupt;
    }
    int size = (flags & 7) + 1;
    if (size == 7) {
        const int byte = next();
        size = byte < 0 ? -1 : byte + 7;
    } else if (size == 8) {
        const int high = next();
        const int low = next();
        size = high < 0 || low < 0 ? -1 : (high << 8) | low;
    }
    if (size < 0) {
        return Status::Corrupt;
    }
    m_record.resize(static_cast<std::size_t>(size));
    for (std::uint8_t& byte : m_record) {
        const int value = next();
        if (value < 0) {
            return Status::Corrupt;
        }
        byte = static_cast<std::uint8_t>(value);
    }
    if (in.overrun()) {
        return Status::Corrupt;
    }
    if (!m_filterMemory) {
        m_filterMemory.reset(new (std::nothrow) std::uint8_t[rar29::kFilterMemory]());
        if (!m_filterMemory) {
            return Status::NoMemory;
        }
    }
    // Bytes already handed to the waiting filter: if the record drops it, they go out unfiltered.
    const std::uint64_t handed =
        !m_filters.empty() && m_filters.front().start < m_flushed ? m_flushed - m_filters.front().start : 0;
    bool dropped = false;
    const Status status =
        m_filters.add(static_cast<std::uint8_t>(flags), m_record.data(), m_record.size(), m_pos, &dropped);
    if (dropped && handed > 0) {
        const Status written = emit(m_filterMemory.get(), static_cast<std::size_t>(handed));
        if (written != Status::Ok) {
            return written;
        }
    }
    return status;
}

Status Rar29Decoder::emit(const std::uint8_t* data, std::size_t size) {
    m_entryWritten += size;
    const std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(size, m_entryLeft));
    if (take == 0) {
        return Status::Ok;
    }
    m_entryLeft -= take;
    return m_output->write(data, take) ? Status::Ok : Status::Stopped;
}

Status Rar29Decoder::emitWindow(std::uint64_t from, std::uint64_t to) {
    while (from < to) {
        const std::size_t at = from & m_mask;
        const std::size_t count =
            static_cast<std::size_t>(std::min<std::uint64_t>(to - from, m_windowSize - at));
        const Status status = emit(m_window.get() + at, count);
        if (status != Status::Ok) {
            return status;
        }
        from += count;
    }
    return Status::Ok;
}

Status Rar29Decoder::flush() {
    for (;;) {
        if (m_filters.empty()) {
            const Status status = emitWindow(m_flushed, m_pos);
            m_flushed = m_pos;
            return status;
        }
        const rar29::PendingFilter& filter = m_filters.front();
        if (filter.start > m_flushed) {
            const std::uint64_t end = std::min(m_pos, filter.start);
            const Status status = emitWindow(m_flushed, end);
            m_flushed = end;
            if (status != Status::Ok) {
                return status;
            }
            if (m_flushed < filter.start) {
                return Status::Ok;
            }
        }
        // The filter's block goes to the filter's memory as it is decoded; the window keeps the
        // unfiltered bytes that later matches refer to.
        const std::uint64_t blockEnd = filter.start + filter.length;
        const std::uint64_t end = std::min(m_pos, blockEnd);
        while (m_flushed < end) {
            const std::size_t at = m_flushed & m_mask;
            const std::size_t count =
                static_cast<std::size_t>(std::min<std::uint64_t>(end - m_flushed, m_windowSize - at));
            std::memcpy(m_filterMemory.get() + (m_flushed - filter.start), m_window.get() + at, count);
            m_flushed += count;
        }
        if (m_flushed < blockEnd) {
            return Status::Ok;
        }
        const Status status = runFilters();
        if (status != Status::Ok) {
            return status;
        }
    }
}

Status Rar29Decoder::runFilters() {
    std::uint8_t* const memory = m_filterMemory.get();
    const rar29::PendingFilter first = m_filters.front();
    m_filters.pop();
    // The entry's bytes written so far: the position of the block in the file being extracted.
    const auto fileOffset = static_cast<std::uint32_t>(m_entryWritten);
    std::uint32_t outputAt = 0;
    if (!rar29::runFilter(first, memory, fileOffset, &outputAt)) {
        return Status::Corrupt;
    }
    // Filters on the same block run on the output of the one before.
    while (!m_filters.empty() && m_filters.front().start == first.start &&
           m_filters.front().length == first.length) {
        if (outputAt != 0) {
            std::memmove(memory, memory + outputAt, first.length);
        }
        if (!rar29::runFilter(m_filters.front(), memory, fileOffset, &outputAt)) {
            return Status::Corrupt;
        }
        m_filters.pop();
    }
    return emit(memory + outputAt, first.length);
}

} // namespace

std::unique_ptr<Decoder> makeRar29Decoder(std::size_t dictionarySize) {
    return std::make_unique<Rar29Decoder>(dictionarySize);
}

} // namespace brisko::rardec
