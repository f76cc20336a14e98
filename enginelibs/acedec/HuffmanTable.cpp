#include "acedec/HuffmanTable.h"

#include "acedec/DecodeError.h"

#include <algorithm>
#include <utility>

namespace brisko::acedec {

namespace {

// The compressor's recursive quicksort, descending, with its particular partition and its special
// case for two-element ranges. Depth stays small: ranges shrink and alphabets have under 300 entries.
void sortRange(std::uint8_t* key, std::uint16_t* sym, int lo, int hi) {
    int i = lo;
    int j = hi;
    const std::uint8_t pivot = key[hi];
    do {
        while (key[i] > pivot) {
            ++i;
        }
        while (key[j] < pivot) {
            --j;
        }
        if (i <= j) {
            std::swap(key[i], key[j]);
            std::swap(sym[i], sym[j]);
            ++i;
            --j;
        }
    } while (i < j);
    if (lo < j) {
        if (lo < j - 1) {
            sortRange(key, sym, lo, j);
        } else if (key[lo] < key[j]) {
            std::swap(key[lo], key[j]);
            std::swap(sym[lo], sym[j]);
        }
    }
    if (i < hi) {
        if (i < hi - 1) {
            sortRange(key, sym, i, hi);
        } else if (key[i] < key[hi]) {
            std::swap(key[i], key[hi]);
            std::swap(sym[i], sym[hi]);
        }
    }
}

} // namespace

void sortByWidth(std::span<std::uint8_t> keys, std::span<std::uint16_t> symbols) {
    if (keys.size() > 1 && symbols.size() == keys.size()) {
        sortRange(keys.data(), symbols.data(), 0, static_cast<int>(keys.size()) - 1);
    }
}

void HuffmanTable::invalidCode() {
    corrupt("invalid Huffman code");
}

bool HuffmanTable::build(std::span<const std::uint8_t> widths, unsigned maxWidth) {
    m_slots.fill(kNoSymbol);
    m_size = 0;
    if (widths.empty() || widths.size() > kMaxSymbols || maxWidth == 0 || maxWidth > kMaxWidth) {
        return false;
    }
    std::array<std::uint8_t, kMaxSymbols> key{};
    std::array<std::uint16_t, kMaxSymbols> sym{};
    const std::size_t n = widths.size();
    for (std::size_t i = 0; i < n; ++i) {
        if (widths[i] > maxWidth) {
            return false;
        }
        key[i] = widths[i];
        sym[i] = static_cast<std::uint16_t>(i);
        m_widths[i] = widths[i];
    }
    sortByWidth(std::span(key.data(), n), std::span(sym.data(), n));

    std::size_t used = 0;
    while (used < n && key[used] != 0) {
        ++used;
    }
    // A code of one symbol (or none) still costs one bit per symbol, while the slots it fills follow
    // the transmitted width: the compressor's decoder behaves so, and it keeps every decode consuming
    // input.
    if (used == 0) {
        m_widths[sym[0]] = 1;
        used = 1;
    } else if (used == 1) {
        m_widths[sym[0]] = 1;
    }

    const std::size_t total = std::size_t{1} << maxWidth;
    std::size_t pos = 0;
    for (std::size_t idx = used; idx-- > 0;) {
        const std::size_t span = total >> key[idx];
        if (span > total - pos) {
            return false;
        }
        for (std::size_t k = 0; k < span; ++k) {
            m_slots[pos + k] = sym[idx];
        }
        pos += span;
    }
    m_maxWidth = maxWidth;
    m_size = n;
    return true;
}

void HuffmanTable::read(BitReader& bits, unsigned maxWidth, std::size_t maxSymbols) {
    const std::size_t count = std::min<std::size_t>(bits.bits(9), maxSymbols - 1) + 1;
    const unsigned lower = bits.bits(4);
    const unsigned upper = bits.bits(4);

    std::array<std::uint8_t, 16> smallWidths{};
    for (unsigned i = 0; i <= upper; ++i) {
        smallWidths[i] = static_cast<std::uint8_t>(bits.bits(3));
    }
    HuffmanTable widthCode;
    if (!widthCode.build(std::span(smallWidths.data(), upper + 1), 7)) {
        corrupt("invalid width table");
    }

    std::array<std::uint8_t, kMaxSymbols> widths{};
    std::size_t filled = 0;
    while (filled < count) {
        const unsigned v = widthCode.decode(bits);
        if (v < upper) {
            widths[filled++] = static_cast<std::uint8_t>(v);
        } else {
            // A run of zeros; widths[] is already zero there.
            filled += std::min<std::size_t>(bits.bits(4) + 4, count - filled);
        }
    }
    // Widths are sent as differences modulo `upper`, so a zero from a run repeats the previous width.
    if (upper > 0) {
        for (std::size_t i = 1; i < count; ++i) {
            widths[i] = static_cast<std::uint8_t>((widths[i] + widths[i - 1]) % upper);
        }
    }
    for (std::size_t i = 0; i < count; ++i) {
        if (widths[i] != 0) {
            widths[i] = static_cast<std::uint8_t>(widths[i] + lower);
        }
    }
    if (!build(std::span(widths.data(), count), maxWidth)) {
        corrupt("invalid Huffman table");
    }
}

} // namespace brisko::acedec
