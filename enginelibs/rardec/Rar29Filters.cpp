#include "rardec/Rar29Filters.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>

namespace brisko::rardec::rar29 {

namespace {

// Hostile streams may define programs and filters without end; real ones use a handful.
constexpr std::size_t kMaxPrograms = 1024;
constexpr std::size_t kMaxPending = 8192;
constexpr std::uint32_t kMaxGlobalData = 0x2000 - 0x40;
constexpr std::uint32_t kMaxChannels = 1024;

constexpr std::array<std::uint32_t, 256> makeCrcTable() {
    std::array<std::uint32_t, 256> table{};
    for (std::uint32_t i = 0; i < 256; ++i) {
        std::uint32_t c = i;
        for (int k = 0; k < 8; ++k) {
            c = (c & 1) != 0 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        }
        table[i] = c;
    }
    return table;
}
constexpr std::array<std::uint32_t, 256> kCrcTable = makeCrcTable();

std::uint32_t crc32(const std::uint8_t* data, std::size_t size) {
    std::uint32_t crc = 0xFFFFFFFFu;
    for (std::size_t i = 0; i < size; ++i) {
        crc = kCrcTable[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
    }
    return ~crc;
}

struct KnownProgram {
    std::size_t size;
    std::uint32_t crc;
    FilterKind kind;
};
constexpr KnownProgram kKnownPrograms[] = {
    {53, 0xAD576887u, FilterKind::E8},       {57, 0x3CD7E57Eu, FilterKind::E8E9},
    {120, 0x3769893Fu, FilterKind::Itanium}, {29, 0x0E06077Du, FilterKind::Delta},
    {149, 0x1C2C5DC8u, FilterKind::Rgb},     {216, 0xBC85E701u, FilterKind::Audio},
};

// The data of a filter record, read most significant bit first. Reading past its end gives zeros
// and is remembered.
class RecordBits {
public:
    RecordBits(const std::uint8_t* data, std::size_t size) : m_data(data), m_size(size) {}

    std::uint32_t bits(unsigned count) { // 0..32
        std::uint32_t value = 0;
        for (unsigned i = 0; i < count; ++i) {
            const std::size_t byte = m_bit >> 3;
            unsigned bit = 0;
            if (byte < m_size) {
                bit = (m_data[byte] >> (7 - (m_bit & 7))) & 1;
            } else {
                m_overrun = true;
            }
            value = (value << 1) | bit;
            ++m_bit;
        }
        return value;
    }

    // The machine's variable-length number: a 2-bit form, then 4, 8, 16 or 32 bits.
    std::uint32_t number() {
        switch (bits(2)) {
        case 0:
            return bits(4);
        case 1: {
            const std::uint32_t value = bits(8);
            if (value >= 16) {
                return value;
            }
            return 0xFFFFFF00u | (value << 4) | bits(4);
        }
        case 2:
            return bits(16);
        default:
            return bits(32);
        }
    }

    std::size_t bytesLeft() const { return m_bit >= m_size * 8 ? 0 : (m_size * 8 - m_bit) / 8; }
    bool overrun() const { return m_overrun; }

private:
    const std::uint8_t* m_data;
    std::size_t m_size;
    std::size_t m_bit = 0;
    bool m_overrun = false;
};

std::uint32_t le32(const std::uint8_t* p) {
    return std::uint32_t(p[0]) | (std::uint32_t(p[1]) << 8) | (std::uint32_t(p[2]) << 16) |
           (std::uint32_t(p[3]) << 24);
}

void putLe32(std::uint8_t* p, std::uint32_t v) {
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
    p[2] = static_cast<std::uint8_t>(v >> 16);
    p[3] = static_cast<std::uint8_t>(v >> 24);
}

// x86 CALL (and JMP) targets were made absolute by the compressor; make them relative again.
void x86Decode(std::uint8_t* data, std::uint32_t length, std::uint32_t fileOffset, bool withJumps) {
    constexpr std::uint32_t kFileSize = 0x1000000;
    if (length <= 4) {
        return;
    }
    for (std::uint32_t i = 0; i < length - 4;) {
        const std::uint8_t op = data[i++];
        if (op != 0xE8 && !(withJumps && op == 0xE9)) {
            continue;
        }
        const std::uint32_t offset = fileOffset + i;
        const std::uint32_t address = le32(data + i);
        if (address < kFileSize) {
            putLe32(data + i, address - offset);
        } else if ((address & 0x80000000u) != 0 && ((address + offset) & 0x80000000u) == 0) {
            putLe32(data + i, address + kFileSize);
        }
        i += 4;
    }
}

// IA-64 branch targets in 16-byte bundles, the same idea as x86Decode.
void itaniumDecode(std::uint8_t* data, std::uint32_t length, std::uint32_t fileOffset) {
    if (length <= 21) {
        return;
    }
    const std::uint32_t bundles = (length - 21 + 15) >> 4;
    std::uint32_t position = fileOffset >> 4;
    for (std::uint32_t b = 0; b < bundles; ++b, ++position) {
        std::uint8_t* bundle = data + b * 16;
        const unsigned mask = (0x334B0000u >> (bundle[0] & 0x1E)) & 3;
        if (mask == 0) {
            continue;
        }
        for (unsigned slot = mask + 1; slot <= 4; ++slot) {
            std::uint8_t* p = bundle + slot * 5 - 8;
            if (((p[3] >> slot) & 15) != 5) {
                continue;
            }
            std::uint32_t raw = le32(p);
            const std::uint32_t value = ((raw >> slot) - position) & 0xFFFFF;
            raw = (raw & ~(0xFFFFFu << slot)) | (value << slot);
            putLe32(p, raw);
        }
    }
}

// Each channel's bytes were stored as differences, one channel after the other.
void deltaDecode(const std::uint8_t* in, std::uint8_t* out, std::uint32_t length, std::uint32_t channels) {
    std::uint32_t src = 0;
    for (std::uint32_t ch = 0; ch < channels; ++ch) {
        std::uint8_t prev = 0;
        for (std::uint32_t i = ch; i < length; i += channels) {
            prev = static_cast<std::uint8_t>(prev - in[src++]);
            out[i] = prev;
        }
    }
}

// 24-bit pixels predicted from their left, upper and upper-left neighbours (rows of `width` bytes),
// then green added back to red and blue.
void rgbDecode(const std::uint8_t* in, std::uint8_t* out, std::uint32_t length, std::uint32_t width,
               std::uint32_t posR) {
    std::uint32_t src = 0;
    for (std::uint32_t c = 0; c < 3; ++c) {
        int prev = 0;
        for (std::uint32_t i = c; i < length; i += 3) {
            int predicted = prev;
            if (i >= width) {
                const int upperLeft = out[i - width];
                const int upper = out[i - width + 3];
                predicted = prev + upper - upperLeft;
                const int pa = std::abs(predicted - prev);
                const int pb = std::abs(predicted - upper);
                const int pc = std::abs(predicted - upperLeft);
                if (pa <= pb && pa <= pc) {
                    predicted = prev;
                } else if (pb <= pc) {
                    predicted = upper;
                } else {
                    predicted = upperLeft;
                }
            }
            prev = (predicted - in[src++]) & 0xFF;
            out[i] = static_cast<std::uint8_t>(prev);
        }
    }
    for (std::uint32_t i = posR; i + 2 < length; i += 3) {
        const std::uint8_t green = out[i + 1];
        out[i] = static_cast<std::uint8_t>(out[i] + green);
        out[i + 2] = static_cast<std::uint8_t>(out[i + 2] + green);
    }
}

// Sound samples per channel through an adaptive three-tap predictor whose weights follow whichever
// tap would have erred least over the last 32 samples.
void audioDecode(const std::uint8_t* in, std::uint8_t* out, std::uint32_t length, std::uint32_t channels) {
    std::uint32_t src = 0;
    for (std::uint32_t ch = 0; ch < channels; ++ch) {
        int prevByte = 0;
        int prevDelta = 0;
        int d1 = 0, d2 = 0, d3 = 0;
        int k1 = 0, k2 = 0, k3 = 0;
        std::uint32_t dif[7] = {};
        std::uint32_t n = 0;
        for (std::uint32_t i = ch; i < length; i += channels, ++n) {
            d3 = d2;
            d2 = prevDelta - d1;
            d1 = prevDelta;
            const int predicted = ((8 * prevByte + k1 * d1 + k2 * d2 + k3 * d3) >> 3) & 0xFF;
            const int cur = in[src++];
            const int value = (predicted - cur) & 0xFF;
            out[i] = static_cast<std::uint8_t>(value);
            prevDelta = static_cast<std::int8_t>(static_cast<std::uint8_t>(value - prevByte));
            prevByte = value;

            const int d = static_cast<std::int8_t>(static_cast<std::uint8_t>(cur)) * 8;
            dif[0] += static_cast<std::uint32_t>(std::abs(d));
            dif[1] += static_cast<std::uint32_t>(std::abs(d - d1));
            dif[2] += static_cast<std::uint32_t>(std::abs(d + d1));
            dif[3] += static_cast<std::uint32_t>(std::abs(d - d2));
            dif[4] += static_cast<std::uint32_t>(std::abs(d + d2));
            dif[5] += static_cast<std::uint32_t>(std::abs(d - d3));
            dif[6] += static_cast<std::uint32_t>(std::abs(d + d3));
            if ((n & 31) != 0) {
                continue;
            }
            unsigned best = 0;
            for (unsigned j = 1; j < 7; ++j) {
                if (dif[j] < dif[best]) {
                    best = j;
                }
            }
            std::fill(std::begin(dif), std::end(dif), 0u);
            switch (best) {
            case 1:
                k1 -= k1 >= -16 ? 1 : 0;
                break;
            case 2:
                k1 += k1 < 16 ? 1 : 0;
                break;
            case 3:
                k2 -= k2 >= -16 ? 1 : 0;
                break;
            case 4:
                k2 += k2 < 16 ? 1 : 0;
                break;
            case 5:
                k3 -= k3 >= -16 ? 1 : 0;
                break;
            case 6:
                k3 += k3 < 16 ? 1 : 0;
                break;
            default:
                break;
            }
        }
    }
}

} // namespace

std::optional<FilterKind> identifyProgram(const std::uint8_t* code, std::size_t size) {
    const std::uint32_t crc = crc32(code, size);
    for (const KnownProgram& known : kKnownPrograms) {
        if (known.size == size && known.crc == crc) {
            return known.kind;
        }
    }
    return std::nullopt;
}

bool runFilter(const PendingFilter& filter, std::uint8_t* memory, std::uint32_t fileOffset,
               std::uint32_t* outputAt) {
    const std::uint32_t length = filter.length;
    if (length > kMaxFilterBlock) {
        return false;
    }
    *outputAt = 0;
    switch (filter.kind) {
    case FilterKind::E8:
    case FilterKind::E8E9:
        x86Decode(memory, length, fileOffset, filter.kind == FilterKind::E8E9);
        return true;
    case FilterKind::Itanium:
        itaniumDecode(memory, length, fileOffset);
        return true;
    default:
        break;
    }
    // The rest write their output behind the block.
    if (std::size_t(length) * 2 > kFilterMemory) {
        return false;
    }
    *outputAt = length;
    std::uint8_t* out = memory + length;
    switch (filter.kind) {
    case FilterKind::Delta:
        if (filter.r0 == 0 || filter.r0 > kMaxChannels) {
            return false;
        }
        deltaDecode(memory, out, length, filter.r0);
        return true;
    case FilterKind::Rgb:
        if (length < 3 || filter.r0 < 3 || filter.r0 > length + 3 || filter.r1 > 2) {
            return false;
        }
        rgbDecode(memory, out, length, filter.r0, filter.r1);
        return true;
    case FilterKind::Audio:
        if (filter.r0 == 0 || filter.r0 > kMaxChannels) {
            return false;
        }
        audioDecode(memory, out, length, filter.r0);
        return true;
    default:
        return false;
    }
}

void FilterQueue::clear() {
    m_programs.clear();
    m_pending.clear();
    m_lastProgram = 0;
}

Status FilterQueue::add(std::uint8_t flags, const std::uint8_t* data, std::size_t size,
                        std::uint64_t streamPosition, bool* droppedPending) {
    *droppedPending = false;
    RecordBits in(data, size);
    std::size_t number = m_lastProgram;
    if ((flags & 0x80) != 0) {
        const std::uint32_t value = in.number();
        if (value == 0) {
            clear();
            *droppedPending = true;
            number = 0;
        } else {
            number = value - 1;
        }
    }
    if (number > m_programs.size()) {
        return Status::Corrupt;
    }
    const bool isNew = number == m_programs.size();

    PendingFilter filter;
    filter.start = streamPosition + in.number() + ((flags & 0x40) != 0 ? 258 : 0);
    filter.length = isNew ? 0 : m_programs[number].lastLength;
    if ((flags & 0x20) != 0) {
        filter.length = in.number();
    }
    if ((flags & 0x10) != 0) {
        const std::uint32_t mask = in.bits(7);
        for (unsigned r = 0; r < 7; ++r) {
            if ((mask & (1u << r)) == 0) {
                continue;
            }
            const std::uint32_t value = in.number();
            if (r == 0) {
                filter.r0 = value;
            } else if (r == 1) {
                filter.r1 = value;
            }
        }
    }
    if (isNew) {
        const std::uint32_t codeSize = in.number();
        if (codeSize == 0 || codeSize > in.bytesLeft()) {
            return Status::Corrupt;
        }
        std::vector<std::uint8_t> code(codeSize);
        std::uint8_t check = 0;
        for (std::uint8_t& byte : code) {
            byte = static_cast<std::uint8_t>(in.bits(8));
            check ^= byte;
        }
        if (check != 0) {
            return Status::Corrupt;
        }
        const std::optional<FilterKind> kind = identifyProgram(code.data(), code.size());
        if (!kind) {
            return Status::Unsupported;
        }
        if (m_programs.size() >= kMaxPrograms) {
            return Status::Corrupt;
        }
        m_programs.push_back({*kind, 0});
    }
    if ((flags & 0x08) != 0) {
        // Data for the program's own use; the standard programs take none.
        const std::uint32_t globalSize = in.number();
        if (globalSize > kMaxGlobalData || globalSize > in.bytesLeft()) {
            return Status::Corrupt;
        }
        for (std::uint32_t i = 0; i < globalSize; ++i) {
            in.bits(8);
        }
    }
    if (in.overrun() || filter.length > kMaxFilterBlock) {
        return Status::Corrupt;
    }
    Program& program = m_programs[number];
    program.lastLength = filter.length;
    m_lastProgram = number;
    filter.kind = program.kind;

    if (!m_pending.empty()) {
        const PendingFilter& last = m_pending.back();
        const bool chained = filter.start == last.start && filter.length == last.length;
        if (!chained && filter.start < last.start + last.length) {
            return Status::Corrupt;
        }
    }
    if (m_pending.size() >= kMaxPending) {
        return Status::Corrupt;
    }
    m_pending.push_back(filter);
    return Status::Ok;
}

} // namespace brisko::rardec::rar29
