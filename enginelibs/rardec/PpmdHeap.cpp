#include "rardec/PpmdHeap.h"

#include <sys/mman.h>

#include <cstdlib>
#include <cstring>

namespace brisko::rardec {

namespace {

constexpr std::uint32_t kUnit = PpmdHeap::kUnitSize;

// Fields of a free block while the blocks are glued together (it overlays the block's first unit).
constexpr std::uint32_t kStamp = 0; // 0 = free; the first u16 of a live unit is never 0
constexpr std::uint32_t kUnits = 2;
constexpr std::uint32_t kNext = 4;

} // namespace

void ppmdHeapFault() {
    throw PpmdHeapFault{};
}

PpmdHeap::~PpmdHeap() {
    release();
}

bool PpmdHeap::allocate(std::uint32_t size) {
    if (size < kMinSize || size > kMaxSize) {
        release();
        return false;
    }
    if (m_base != nullptr && m_size == size) {
        return true;
    }
    release();
    // Straight from the system as untouched zero pages: a big model that decodes a small file costs
    // only the pages it touches, and the heap's bytes are defined from the start. (calloc would do the
    // same only the first time: once a block this large has been freed, the allocator keeps the next
    // one in its own heap and clears every byte.)
    // The span past the end is for PpmdArena's checks (see there); nothing is placed in it.
    void* pages = ::mmap(nullptr, std::size_t{size} + PpmdArena::kSpan, PROT_READ | PROT_WRITE,
                         MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (pages == MAP_FAILED) {
        return false;
    }
    m_base = static_cast<std::uint8_t*>(pages);
    m_size = size;
    m_limit = size;
    return true;
}

void PpmdHeap::release() {
    if (m_base != nullptr) {
        ::munmap(m_base, std::size_t{m_size} + PpmdArena::kSpan);
    }
    m_base = nullptr;
    m_size = 0;
    m_limit = -1;
    m_text = m_unitsStart = m_loUnit = m_hiUnit = 0;
    m_freeList.fill(0);
}

void PpmdHeap::restart() {
    m_freeList.fill(0);
    m_text = 0;
    m_hiUnit = m_size;
    m_loUnit = m_unitsStart = m_hiUnit - m_size / 8 / kUnit * 7 * kUnit;
    m_glueCount = 0;
}

std::uint32_t PpmdHeap::allocUnitsRare(unsigned index) {
    if (m_glueCount == 0) {
        glueFreeBlocks();
        if (m_freeList[index] != 0) {
            return removeNode(index);
        }
    }
    unsigned larger = index;
    do {
        if (++larger == kIndexCount) {
            // Nothing free that is large enough: take the units from the top of the text gap.
            const std::uint32_t bytes = kIndexToUnits[index] * kUnit;
            --m_glueCount;
            if (m_unitsStart - m_text > bytes) {
                m_unitsStart -= bytes;
                return m_unitsStart;
            }
            return 0;
        }
    } while (m_freeList[larger] == 0);
    const std::uint32_t block = removeNode(larger);
    splitBlock(block, larger, index);
    return block;
}

// Frees `units` units at `offset` as one block of the class that fits, or the largest class below
// and the rest (1 to 3 units, whose class index is units - 1) behind it.
void PpmdHeap::insertRun(std::uint32_t offset, unsigned units) {
    unsigned index = unitsToIndex(units);
    if (kIndexToUnits[index] != units) {
        const unsigned below = kIndexToUnits[--index];
        insertNode(offset + below * kUnit, units - below - 1);
    }
    insertNode(offset, index);
}

void PpmdHeap::splitBlock(std::uint32_t offset, unsigned oldIndex, unsigned newIndex) {
    const unsigned rest = kIndexToUnits[oldIndex] - kIndexToUnits[newIndex];
    insertRun(offset + kIndexToUnits[newIndex] * kUnit, rest);
}

std::uint32_t PpmdHeap::shrinkUnits(std::uint32_t offset, unsigned oldUnits, unsigned newUnits) {
    const unsigned oldIndex = unitsToIndex(oldUnits);
    const unsigned newIndex = unitsToIndex(newUnits);
    if (oldIndex == newIndex) {
        return offset;
    }
    if (m_freeList[newIndex] != 0) {
        const std::uint32_t moved = removeNode(newIndex);
        std::memmove(at(moved, newUnits * kUnit), at(offset, newUnits * kUnit), newUnits * kUnit);
        insertNode(offset, oldIndex);
        return moved;
    }
    splitBlock(offset, oldIndex, newIndex);
    return offset;
}

void PpmdHeap::glueFreeBlocks() {
    m_glueCount = 255;
    // A live stamp on the first unit of the untouched middle stops a merge from running into it.
    if (m_loUnit != m_hiUnit) {
        ppmdStore16(at(m_loUnit, 2), 1);
    }

    // Chain every free block into one list (each class in turn, each block put in front), marking it
    // free with its size. A cycle in a free list could only come from a broken heap: the walk stops
    // after as many blocks as the heap has units.
    const std::uint32_t maxBlocks = m_size / kUnit;
    std::uint32_t blocks = 0;
    std::uint32_t head = 0;
    for (unsigned i = 0; i < kIndexCount; ++i) {
        for (std::uint32_t node = m_freeList[i]; node != 0;) {
            if (++blocks > maxBlocks) {
                ppmdHeapFault();
            }
            std::uint8_t* p = at(node, kIndexToUnits[i] * kUnit);
            const std::uint32_t next = ppmdLoad32(p);
            ppmdStore16(p + kStamp, 0);
            ppmdStore16(p + kUnits, kIndexToUnits[i]);
            ppmdStore32(p + kNext, head);
            head = node;
            node = next;
        }
        m_freeList[i] = 0;
    }

    // Merge each block with the free blocks right behind it. A merged-in block keeps its place in the
    // list with a size of 0; it cannot be behind another block that is still in use as a list entry.
    for (std::uint32_t node = head; node != 0;) {
        std::uint8_t* p = at(node, 8);
        std::uint32_t units = ppmdLoad16(p + kUnits);
        if (units != 0) {
            for (;;) {
                std::uint8_t* behind = at(node + units * kUnit, 4);
                const std::uint32_t added = ppmdLoad16(behind + kUnits);
                if (ppmdLoad16(behind + kStamp) != 0 || units + added >= 0x10000) {
                    break;
                }
                if (added == 0) {
                    ppmdHeapFault();
                }
                ppmdStore16(behind + kUnits, 0);
                units += added;
                ppmdStore16(p + kUnits, units);
            }
        }
        node = ppmdLoad32(p + kNext);
    }

    // Drop the merged-in blocks from the list before freeing anything: freeing writes a link over the
    // first bytes of the pieces of a merged block, where a merged-in block kept its size.
    std::uint32_t kept = 0; // the last block kept; 0 while there is none
    for (std::uint32_t node = head; node != 0;) {
        const std::uint8_t* p = at(node, 8);
        const std::uint32_t next = ppmdLoad32(p + kNext);
        if (ppmdLoad16(p + kUnits) != 0) {
            kept = node;
        } else if (kept == 0) {
            head = next;
        } else {
            ppmdStore32(at(kept, 8) + kNext, next);
        }
        node = next;
    }

    for (std::uint32_t node = head; node != 0;) {
        std::uint8_t* p = at(node, 8);
        const std::uint32_t next = ppmdLoad32(p + kNext);
        unsigned units = ppmdLoad16(p + kUnits);
        (void)at(node, units * kUnit); // the whole merged block lies inside the heap
        std::uint32_t block = node;
        for (; units > kMaxUnits; units -= kMaxUnits, block += kMaxUnits * kUnit) {
            insertNode(block, kIndexCount - 1);
        }
        insertRun(block, units);
        node = next;
    }
}

} // namespace brisko::rardec
