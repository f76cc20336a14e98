#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

// The one block of memory a PPMd model lives in, and the unit allocator that carves it up. The
// compressor ran the very same allocator: when memory runs out the model restarts, and that moment
// must fall on the same symbol here, so every allocation has to land where the compressor's did.
namespace brisko::rardec {

// Thrown when an offset the model keeps in the heap leads outside of it, or the model's structure is
// otherwise not what the model itself builds. No input leads here (the data picks symbols, and every
// symbol sequence is one the model handles): the checks keep a defect from becoming a wild memory
// access. The model catches it and reports a data error.
struct PpmdHeapFault {};

[[noreturn]] void ppmdHeapFault();

// The heap's 16- and 32-bit fields are little-endian: a single context's state overlays its
// SummFreq field, which the model reads as Symbol + 256 * Freq, as the compressor did. Whole-word copies
// (rather than byte by byte) let the compiler use one load or store for each.
inline std::uint16_t ppmdLoad16(const std::uint8_t* p) {
    std::uint16_t value;
    std::memcpy(&value, p, sizeof value);
    if constexpr (std::endian::native == std::endian::big) {
        value = __builtin_bswap16(value);
    }
    return value;
}
inline std::uint32_t ppmdLoad32(const std::uint8_t* p) {
    std::uint32_t value;
    std::memcpy(&value, p, sizeof value);
    if constexpr (std::endian::native == std::endian::big) {
        value = __builtin_bswap32(value);
    }
    return value;
}
inline void ppmdStore16(std::uint8_t* p, std::uint32_t value) {
    auto word = static_cast<std::uint16_t>(value);
    if constexpr (std::endian::native == std::endian::big) {
        word = __builtin_bswap16(word);
    }
    std::memcpy(p, &word, sizeof word);
}
inline void ppmdStore32(std::uint8_t* p, std::uint32_t value) {
    if constexpr (std::endian::native == std::endian::big) {
        value = __builtin_bswap32(value);
    }
    std::memcpy(p, &value, sizeof value);
}
inline void ppmdStore64(std::uint8_t* p, std::uint64_t value) {
    if constexpr (std::endian::native == std::endian::big) {
        value = __builtin_bswap64(value);
    }
    std::memcpy(p, &value, sizeof value);
}

// Where the heap lies, copied out of it for the model's hot paths. The model writes the heap through
// byte pointers, which may alias anything, so the heap's own fields would be read from memory again
// after every write; a local copy of these two stays in registers.
//
// The heap's memory runs kSpan bytes past its size (PpmdHeap maps them; the model never places anything
// there), so a field or state array that starts at an offset up to the size lies inside the memory
// whenever it is at most kSpan bytes long. Each access here checks only where it starts, against the
// one limit, and takes at most kSpan bytes by construction.
class PpmdArena {
public:
    static constexpr std::uint32_t kUnitSize = 12;
    static constexpr std::uint32_t kStateSize = 6;
    static constexpr unsigned kMaxStates = 256;
    static constexpr std::uint32_t kSpan = kMaxStates * kStateSize; // also 128 units, the largest block

    // The heap at `base`: `limit` is its size (kSpan more bytes follow), or -1 for no heap at all, where
    // every access faults.
    PpmdArena(std::uint8_t* base, std::int64_t limit) : m_base(base), m_limit(limit) {}

    // A context (one unit) at `offset`; throws PpmdHeapFault when it starts past the heap.
    std::uint8_t* context(std::uint32_t offset) const { return start(offset); }
    // A state at `offset`.
    std::uint8_t* state(std::uint32_t offset) const { return start(offset); }
    // A text byte at `offset`.
    std::uint8_t* text(std::uint32_t offset) const { return start(offset); }
    // An array of `numStats` (2..256) states at `offset`.
    std::uint8_t* states(std::uint32_t offset, unsigned numStats) const {
        if (numStats - 2 > kMaxStates - 2) [[unlikely]] {
            ppmdHeapFault();
        }
        return start(offset);
    }
    // A block of `units` (1..128) units at `offset`.
    std::uint8_t* units(std::uint32_t offset, unsigned units) const {
        if (units - 1 > kSpan / kUnitSize - 1) [[unlikely]] {
            ppmdHeapFault();
        }
        return start(offset);
    }
    std::uint32_t offsetOf(const std::uint8_t* p) const { return static_cast<std::uint32_t>(p - m_base); }

private:
    std::uint8_t* start(std::uint32_t offset) const {
        if (std::int64_t{offset} > m_limit) [[unlikely]] {
            ppmdHeapFault();
        }
        return m_base + offset;
    }

    std::uint8_t* m_base;
    std::int64_t m_limit; // the last offset a field or array may start at; -1: none
};

// Offsets into the heap are 32-bit. Offset 0 is the first text byte, which nothing links to (a raw
// successor points just past a byte written), so a link of 0 means none. Layout, low to high:
//   [text: raw history bytes, growing up][gap][units: state arrays, growing up][free][contexts, growing down]
// Units are 12 bytes; blocks of units come in 38 size classes ("indexes").
class PpmdHeap {
public:
    static constexpr std::uint32_t kUnitSize = PpmdArena::kUnitSize;
    static constexpr unsigned kIndexCount = 38;
    static constexpr unsigned kMaxUnits = 128; // of the largest class
    static constexpr std::uint32_t kMinSize = 1u << 20;
    static constexpr std::uint32_t kMaxSize = 256u << 20;

    // Units in each size class: 1,2,3,4, 6,8,10,12, 15,18,21,24, 28,32,...,128.
    static constexpr std::array<std::uint8_t, kIndexCount> kIndexToUnits = [] {
        std::array<std::uint8_t, kIndexCount> table{};
        unsigned units = 0;
        for (unsigned i = 0; i < kIndexCount; ++i) {
            units += i < 4 ? 1 : i < 8 ? 2 : i < 12 ? 3 : 4;
            table[i] = static_cast<std::uint8_t>(units);
        }
        return table;
    }();
    // The smallest class holding `units` (1..128) units.
    static unsigned unitsToIndex(unsigned units) { return kUnitsToIndex[units - 1]; }

    PpmdHeap() = default;
    ~PpmdHeap();
    PpmdHeap(const PpmdHeap&) = delete;
    PpmdHeap& operator=(const PpmdHeap&) = delete;

    // Holds exactly `size` (kMinSize..kMaxSize) bytes of memory from now on, keeping the block it has
    // when that is the same size. False, holding nothing, when the memory cannot be had.
    bool allocate(std::uint32_t size);
    void release();
    bool allocated() const { return m_base != nullptr; }
    std::uint32_t size() const { return m_size; }

    // Everything free again: an empty text area, 7/8 of the heap for units, no free blocks.
    void restart();

    // The `length` bytes at `offset`; throws PpmdHeapFault unless they all lie inside the heap.
    std::uint8_t* at(std::uint32_t offset, std::uint32_t length) {
        if (std::uint64_t{offset} + length > m_size) [[unlikely]] {
            ppmdHeapFault();
        }
        return m_base + offset;
    }
    // For the model's hot paths (an unallocated heap gives one that refuses every offset).
    PpmdArena arena() const { return PpmdArena(m_base, m_limit); }
    std::uint32_t offsetOf(const std::uint8_t* p) const { return static_cast<std::uint32_t>(p - m_base); }

    // The text area: the raw history bytes that not yet materialised contexts point into.
    std::uint32_t text() const { return m_text; }
    // Appends a byte; false when the text area has run into the units (the model must restart).
    bool appendText(std::uint8_t byte) {
        m_base[m_text++] = byte; // m_text < m_unitsStart <= m_size, see restart() and the return value
        return m_text < m_unitsStart;
    }
    void dropLastText() { --m_text; } // only right after appendText
    std::uint32_t unitsStart() const { return m_unitsStart; }

    // One unit for a context, 0 when memory is exhausted.
    std::uint32_t allocContext() {
        if (m_hiUnit != m_loUnit) {
            m_hiUnit -= kUnitSize;
            return m_hiUnit;
        }
        if (m_freeList[0] != 0) {
            return removeNode(0);
        }
        return allocUnitsRare(0);
    }
    // A block of class `index`, 0 when memory is exhausted.
    std::uint32_t allocUnits(unsigned index) {
        if (m_freeList[index] != 0) {
            return removeNode(index);
        }
        const std::uint32_t bytes = kIndexToUnits[index] * kUnitSize;
        if (m_hiUnit - m_loUnit >= bytes) {
            const std::uint32_t block = m_loUnit;
            m_loUnit += bytes;
            return block;
        }
        return allocUnitsRare(index);
    }
    // Gives back the block of class `index` at `offset`.
    void insertNode(std::uint32_t offset, unsigned index) {
        ppmdStore32(at(offset, kUnitSize), m_freeList[index]);
        m_freeList[index] = offset;
    }
    // Shrinks the block of `oldUnits` units at `offset`, whose first `newUnits` units are in use, to
    // the class of `newUnits`; where that block is now (it moves when a free block of that class exists).
    std::uint32_t shrinkUnits(std::uint32_t offset, unsigned oldUnits, unsigned newUnits);

    // For tests of the allocator.
    std::uint32_t loUnit() const { return m_loUnit; }
    std::uint32_t hiUnit() const { return m_hiUnit; }
    std::uint32_t freeListHead(unsigned index) const { return m_freeList[index]; }

private:
    static constexpr std::array<std::uint8_t, kMaxUnits> kUnitsToIndex = [] {
        std::array<std::uint8_t, kMaxUnits> table{};
        unsigned index = 0;
        for (unsigned units = 1; units <= kMaxUnits; ++units) {
            index += kIndexToUnits[index] < units ? 1 : 0;
            table[units - 1] = static_cast<std::uint8_t>(index);
        }
        return table;
    }();

    std::uint32_t removeNode(unsigned index) {
        const std::uint32_t node = m_freeList[index];
        m_freeList[index] = ppmdLoad32(at(node, kIndexToUnits[index] * kUnitSize));
        return node;
    }
    std::uint32_t allocUnitsRare(unsigned index);
    void splitBlock(std::uint32_t offset, unsigned oldIndex, unsigned newIndex);
    void insertRun(std::uint32_t offset, unsigned units);
    void glueFreeBlocks();

    std::uint8_t* m_base = nullptr;
    std::uint32_t m_size = 0;
    std::int64_t m_limit = -1; // for arena(): m_size, or -1 while nothing is allocated
    std::uint32_t m_text = 0;
    std::uint32_t m_unitsStart = 0;
    std::uint32_t m_loUnit = 0;
    std::uint32_t m_hiUnit = 0;
    unsigned m_glueCount = 0;
    std::array<std::uint32_t, kIndexCount> m_freeList{};
};

} // namespace brisko::rardec
