// The PPMd variant H model with RAR's range decoder: on the PPMd blocks of real RAR 2.9 entries (read
// here by a small driver of the block headers and escape codes), on damaged copies of them, and driven
// by random symbol choices through small models until their memory runs out, again and again.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <vector>
#include <zlib.h>

#include "rardec/BitInput.h"
#include "rardec/Ppmd.h"
#include "rardec/PpmdContextModel.h"
#include "rardec/PpmdHeap.h"
#include "rardec/SampleEntries.h"

namespace brisko::rardec {
namespace {

const std::string kBest = "rar4-compressed-best/test_read_format_rar_compress_best.rar";
const std::string kMixed = "rar4-vol-4digit-ppmd/test_read_format_rar_multivolume.part0001.rar";

class BytesInput : public PackedInput {
public:
    explicit BytesInput(const std::vector<std::uint8_t>& bytes) : m_bytes(bytes) {}
    long read(std::uint8_t* out, std::size_t size) override {
        const std::size_t n = std::min(size, m_bytes.size() - m_at);
        std::copy_n(m_bytes.data() + m_at, n, out);
        m_at += n;
        return static_cast<long>(n);
    }

private:
    const std::vector<std::uint8_t>& m_bytes;
    std::size_t m_at = 0;
};

std::uint32_t crcOf(const std::vector<std::uint8_t>& bytes) {
    return static_cast<std::uint32_t>(::crc32(0, bytes.data(), static_cast<uInt>(bytes.size())));
}

enum class Stop {
    End,     // escape + 2
    TooLong, // more output than the entry has, without an end
    LzBlock, // the next block is LZ (not for this driver)
    Filter,  // escape + 3 (not for this driver)
    Error,   // the model said -1, a block header was refused, or a match reached before the start
};

struct Decoded {
    std::vector<std::uint8_t> bytes;
    Stop stop = Stop::Error;
};

// Decodes an entry whose packed stream is made of PPMd blocks the way the RAR 2.9 decoder drives the
// model: block headers, literals, and the escape codes 0 (next block), 2 (end of entry), 4 and 5
// (matches). A non-solid entry: the window starts empty.
Decoded decodePpmdBlocks(const std::vector<std::uint8_t>& packed, std::uint64_t size, PpmdModel& model) {
    BytesInput bytes(packed);
    BitInput in(bytes);
    std::vector<std::uint8_t> window;
    unsigned escape = 2;
    const auto finish = [&](Stop stop) { return Decoded{window, stop}; };
    // Reads a block header and starts the block; why not, if it cannot.
    const auto startBlock = [&]() -> std::optional<Stop> {
        const unsigned flags = in.byte();
        if ((flags & 0x80) == 0) {
            return Stop::LzBlock;
        }
        if ((flags & 0x20) != 0) {
            const unsigned memory = in.byte();
            int order = static_cast<int>(flags & 0x1F) + 1;
            if (order > 16) {
                order = 16 + (order - 16) * 3;
            }
            if (!model.restart(std::size_t(memory + 1) << 20, order)) {
                return Stop::Error;
            }
        } else if (!model.valid()) {
            return Stop::Error;
        }
        if ((flags & 0x40) != 0) {
            escape = in.byte();
        }
        model.startBlock(in);
        return std::nullopt;
    };
    const auto copy = [&](std::size_t distance, std::size_t length) {
        if (distance > window.size()) {
            return false;
        }
        for (std::size_t i = 0; i < length; ++i) {
            window.push_back(window[window.size() - distance]);
        }
        return true;
    };
    const auto symbols = [&](int count, std::size_t& value) {
        for (int i = 0; i < count; ++i) {
            const int symbol = model.decodeSymbol(in);
            if (symbol < 0) {
                return false;
            }
            value = (value << 8) | static_cast<std::size_t>(symbol);
        }
        return true;
    };

    if (const auto stop = startBlock()) {
        return finish(*stop);
    }
    while (window.size() <= size) {
        const int c = model.decodeSymbol(in);
        if (c < 0) {
            return finish(Stop::Error);
        }
        if (static_cast<unsigned>(c) != escape) {
            window.push_back(static_cast<std::uint8_t>(c));
            continue;
        }
        std::size_t code = 0;
        std::size_t distance = 0;
        std::size_t length = 0;
        if (!symbols(1, code)) {
            return finish(Stop::Error);
        }
        switch (code) {
        case 0:
            if (const auto stop = startBlock()) {
                return finish(*stop);
            }
            break;
        case 2:
            return finish(Stop::End);
        case 3:
            return finish(Stop::Filter);
        case 4:
            if (!symbols(3, distance) || !symbols(1, length) || !copy(distance + 2, length + 32)) {
                return finish(Stop::Error);
            }
            break;
        case 5:
            if (!symbols(1, length) || !copy(1, length + 4)) {
                return finish(Stop::Error);
            }
            break;
        default:
            window.push_back(static_cast<std::uint8_t>(escape));
        }
    }
    return finish(Stop::TooLong);
}

const test::PackedEntry& entryNamed(const std::vector<test::PackedEntry>& entries, const std::string& name) {
    for (const test::PackedEntry& entry : entries) {
        if (entry.name == name) {
            return entry;
        }
    }
    ADD_FAILURE() << "no entry " << name;
    static const test::PackedEntry none;
    return none;
}

class WithSamples : public ::testing::Test {
protected:
    void SetUp() override {
        if (!test::SamplesPresent()) {
            GTEST_SKIP() << "the RAR samples are not at " << test::kRarSamples;
        }
    }
};
using PpmdSamples = WithSamples;
using PpmdDamage = WithSamples;

// ---- Real streams

// The entries whose packed stream is PPMd from its first byte to its end marker (method -m5 text).
TEST_F(PpmdSamples, PpmdOnlyEntriesDecodeToTheirEndMarkerSizeAndCrc) {
    const struct {
        std::string archive;
        std::string entry;
    } cases[] = {
        {kBest, "LibarchiveAddingTest.html"},
        {kBest, "testdir/test.txt"},
        {kBest, "testdir/LibarchiveAddingTest.html"},
        {kMixed, "LibarchiveAddingTest.html"},
        {kMixed, "testdir/test.txt"},
    };
    PpmdModel model; // one model for all: every entry restarts it
    for (const auto& c : cases) {
        SCOPED_TRACE(c.archive + " " + c.entry);
        const auto entries = test::PackedEntries(c.archive);
        const test::PackedEntry& entry = entryNamed(entries, c.entry);
        ASSERT_FALSE(entry.packed.empty());
        EXPECT_EQ(entry.packed[0] & 0xE0, 0xA0) << "a PPMd block that restarts the model";
        const Decoded decoded = decodePpmdBlocks(entry.packed, entry.unpackedSize, model);
        EXPECT_EQ(decoded.stop, Stop::End);
        EXPECT_EQ(decoded.bytes.size(), entry.unpackedSize);
        EXPECT_EQ(crcOf(decoded.bytes), entry.crc);
    }
}

// The 242 MB entry starts with a PPMd block over the first copies of the HTML file, then switches to LZ
// (its later PPMd blocks are the RAR 2.9 decoder's to reach).
TEST_F(PpmdSamples, MixedEntryStartsWithAPpmdBlockThatEndsInAnLzBlock) {
    const auto entries = test::PackedEntries(kMixed);
    PpmdModel model;
    const test::PackedEntry& html = entryNamed(entries, "LibarchiveAddingTest.html");
    const Decoded page = decodePpmdBlocks(html.packed, html.unpackedSize, model);
    ASSERT_EQ(crcOf(page.bytes), html.crc);

    const test::PackedEntry& big = entryNamed(entries, "ppmd_lzss_conversion_test.txt");
    const Decoded decoded = decodePpmdBlocks(big.packed, big.unpackedSize, model);
    EXPECT_EQ(decoded.stop, Stop::LzBlock);
    ASSERT_EQ(decoded.bytes.size(), 32768u);
    for (std::size_t i = 0; i < decoded.bytes.size(); ++i) {
        ASSERT_EQ(decoded.bytes[i], page.bytes[i % page.bytes.size()]) << "at " << i;
    }
}

// ---- Damaged streams

struct DamageCase {
    const char* what;
    std::function<void(std::vector<std::uint8_t>&)> damage;
};

// Decodes a damaged copy of the HTML entry: it must end in an error, or in output whose size or CRC is
// wrong. Never a crash, a hang, or the right CRC by accident.
void expectDamageShows(const test::PackedEntry& entry, const std::vector<std::uint8_t>& damaged,
                       PpmdModel& model) {
    const Decoded decoded = decodePpmdBlocks(damaged, entry.unpackedSize, model);
    const bool looksWhole = decoded.stop == Stop::End && decoded.bytes.size() == entry.unpackedSize &&
                            crcOf(decoded.bytes) == entry.crc;
    EXPECT_FALSE(looksWhole);
}

TEST_F(PpmdDamage, DamagedStreamsFailOrFailTheirCrc) {
    const auto entries = test::PackedEntries(kBest);
    const test::PackedEntry& entry = entryNamed(entries, "LibarchiveAddingTest.html");
    ASSERT_GT(entry.packed.size(), 1000u);
    const std::size_t size = entry.packed.size();
    const auto flip = [](std::size_t at, std::uint8_t mask) {
        return [at, mask](std::vector<std::uint8_t>& b) { b[at] ^= mask; };
    };
    const auto cut = [](std::size_t keep) {
        return [keep](std::vector<std::uint8_t>& b) { b.resize(keep); };
    };
    const DamageCase cases[] = {
        {"block flag 'restart' cleared: no model yet", flip(0, 0x20)},
        {"block flag 'new escape' set: a byte shifts", flip(0, 0x40)},
        {"block flag 'PPMd' cleared: an LZ block", flip(0, 0x80)},
        {"order 64 instead of 8", [](std::vector<std::uint8_t>& b) { b[0] |= 0x1F; }},
        {"order code 0 (order 1 is refused)", [](std::vector<std::uint8_t>& b) { b[0] &= 0xE0; }},
        {"first byte of the range code", flip(2, 0x01)},
        {"top bit of the range code", flip(2, 0x80)},
        {"a bit at 10%", flip(size / 10, 0x10)},
        {"a bit at half", flip(size / 2, 0x04)},
        {"a bit at 90%", flip(size * 9 / 10, 0x40)},
        {"64 zero bytes in the middle",
         [](std::vector<std::uint8_t>& b) { std::fill_n(b.begin() + b.size() / 2, 64, 0); }},
        {"all 0xFF after the header",
         [](std::vector<std::uint8_t>& b) { std::fill(b.begin() + 2, b.end(), 0xFF); }},
        {"all 0x00 after the header",
         [](std::vector<std::uint8_t>& b) { std::fill(b.begin() + 2, b.end(), 0); }},
        {"noise after the header",
         [](std::vector<std::uint8_t>& b) {
             std::uint32_t x = 12345;
             for (std::size_t i = 2; i < b.size(); ++i) {
                 x = x * 1103515245 + 12345;
                 b[i] = static_cast<std::uint8_t>(x >> 24);
             }
         }},
        {"empty", cut(0)},
        {"header only", cut(2)},
        {"header and two code bytes", cut(4)},
        {"cut in half", cut(size / 2)},
        {"the last 16 bytes missing", cut(size - 16)},
    };
    PpmdModel model;
    for (const DamageCase& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<std::uint8_t> damaged = entry.packed;
        c.damage(damaged);
        model.reset(); // each case is a non-solid start
        expectDamageShows(entry, damaged, model);
    }
    // Every bit of the first code bytes, and one bit at a stride through the rest (the last bytes may
    // hold bits the decoder never needs).
    for (std::size_t at = 2; at < size - 8; at += at < 18 ? 1 : 257) {
        for (unsigned bit = 0; bit < 8; bit += at < 18 ? 1 : 8) {
            SCOPED_TRACE("bit " + std::to_string(bit) + " of byte " + std::to_string(at));
            std::vector<std::uint8_t> damaged = entry.packed;
            damaged[at] ^= static_cast<std::uint8_t>(1u << ((bit + at) & 7));
            expectDamageShows(entry, damaged, model);
        }
    }

    // After all that the same model restarts and decodes the intact stream.
    const Decoded decoded = decodePpmdBlocks(entry.packed, entry.unpackedSize, model);
    EXPECT_EQ(decoded.stop, Stop::End);
    EXPECT_EQ(crcOf(decoded.bytes), entry.crc);
}

// The model's layout does not depend on where its heap ends, so a different memory size gives the same
// symbols as long as memory does not run out (20 KB of text need far less than 9 MiB).
TEST_F(PpmdDamage, OtherMemorySizeDecodesTheSameUntilMemoryRunsOut) {
    const auto entries = test::PackedEntries(kBest);
    const test::PackedEntry& entry = entryNamed(entries, "LibarchiveAddingTest.html");
    ASSERT_EQ(entry.packed[1], 0x18); // 25 MiB
    PpmdModel model;
    for (const std::uint8_t memory : {0x08, 0x10, 0x1C, 0x38, 0xFF}) {
        SCOPED_TRACE(static_cast<int>(memory));
        std::vector<std::uint8_t> changed = entry.packed;
        changed[1] = memory;
        const Decoded decoded = decodePpmdBlocks(changed, entry.unpackedSize, model);
        EXPECT_EQ(decoded.stop, Stop::End);
        EXPECT_EQ(crcOf(decoded.bytes), entry.crc);
    }
}

// ---- The model's interface

TEST(PpmdModelApi, RestartTakesOnlyWhatItCanHold) {
    const struct {
        std::size_t memory;
        int order;
        bool taken;
    } cases[] = {
        {0, 8, false},          {(1u << 20) - 1, 8, false},   {1u << 20, 1, false},
        {1u << 20, 2, true},    {1u << 20, 64, true},         {1u << 20, 65, false},
        {256u << 20, 64, true}, {(256u << 20) + 1, 8, false}, {std::size_t(1) << 40, 8, false},
    };
    PpmdModel model;
    EXPECT_FALSE(model.valid());
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.memory) + " bytes, order " + std::to_string(c.order));
        EXPECT_EQ(model.restart(c.memory, c.order), c.taken);
        EXPECT_EQ(model.valid(), c.taken);
    }
    model.reset();
    EXPECT_FALSE(model.valid());
    std::vector<std::uint8_t> zeros(64, 0);
    BytesInput bytes(zeros);
    BitInput in(bytes);
    model.startBlock(in);
    EXPECT_EQ(model.decodeSymbol(in), -1) << "no model, no symbols";
}

// ---- Random symbol choices through small models

// A coder that picks a count instead of reading one: the model follows a random path through its own
// probabilities, pushed into an escape (and so into new contexts) one time in `escapeEvery`. Never the
// last count of a total, nor a forced escape from a total above 256 unless it is a binary context's:
// both can be the escape from the root, which ends the stream (the root has 256 symbols of count >= 1).
class RandomCoder {
public:
    RandomCoder(std::uint64_t seed, std::uint32_t escapeEvery) : m_state(seed), m_escapeEvery(escapeEvery) {}
    bool threshold(std::uint32_t total, std::uint32_t& count) {
        const std::uint32_t r = next();
        const bool escape = r % m_escapeEvery == 0 && (total < 257 || total == 1u << 14);
        count = total < 2 ? 0 : escape ? total - 2 : (r >> 5) % (total - 1);
        return true;
    }
    bool decode(std::uint32_t, std::uint32_t) { return true; }

private:
    std::uint32_t next() {
        m_state ^= m_state << 13;
        m_state ^= m_state >> 7;
        m_state ^= m_state << 17;
        return static_cast<std::uint32_t>(m_state >> 32);
    }
    std::uint64_t m_state;
    std::uint32_t m_escapeEvery;
};

TEST(PpmdStress, RandomPathsThroughSmallModelsRestartWithoutBreakingTheHeap) {
    // Rarely pushed into escapes, a model of order 2 stays in its longest contexts, where counts grow
    // until states halve to 0 and drop out (shrinking state arrays). Pushed often, any model keeps
    // making contexts until its megabyte runs out, is glued, borrows from the text area and restarts.
    const struct {
        int order;
        std::uint32_t escapeEvery;
        int symbols;
        std::uint32_t memoryRestarts; // at least
    } cases[] = {
        {2, 64, 400'000, 0}, {2, 2, 400'000, 2}, {4, 2, 300'000, 2}, {16, 2, 250'000, 2}, {64, 2, 250'000, 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("order " + std::to_string(c.order) + ", escapes " + std::to_string(c.escapeEvery));
        PpmdContextModel model;
        ASSERT_TRUE(model.restart(PpmdHeap::kMinSize, c.order));
        RandomCoder coder(0x9E3779B97F4A7C15ull + static_cast<unsigned>(c.order), c.escapeEvery);
        std::uint32_t memoryRestarts = 0;
        int ends = 0;
        int counts[256] = {};
        for (int i = 0; i < c.symbols; ++i) {
            const int symbol = model.decodeSymbol(coder);
            if (symbol < 0) {
                // Only an escape out of a fresh root can stop this coder; the heap must never break.
                ASSERT_EQ(model.error(), PpmdError::Stream) << "after " << i << " symbols";
                ++ends;
                memoryRestarts += model.memoryRestarts();
                ASSERT_TRUE(model.restart(PpmdHeap::kMinSize, c.order));
                continue;
            }
            ++counts[symbol];
        }
        memoryRestarts += model.memoryRestarts();
        EXPECT_GE(memoryRestarts, c.memoryRestarts);
        EXPECT_LT(ends, c.symbols / 1000);
        int seen = 0;
        for (const int n : counts) {
            seen += n > 0 ? 1 : 0;
        }
        EXPECT_GT(seen, 200) << "the paths reach most of the alphabet";
    }
}

// ---- The unit allocator

// Marks a block in use the way the model's data does: a non-zero first 16-bit word.
void markLive(PpmdHeap& heap, std::uint32_t block) {
    ppmdStore16(heap.at(block, 2), 1);
}

// Uses up the middle of the heap with contexts, each marked live.
void fillMiddle(PpmdHeap& heap) {
    while (heap.loUnit() != heap.hiUnit()) {
        markLive(heap, heap.allocContext());
    }
}

TEST(PpmdHeapUnits, ClassesCoverOneToOneHundredTwentyEightUnits) {
    EXPECT_EQ(PpmdHeap::kIndexToUnits[0], 1);
    EXPECT_EQ(PpmdHeap::kIndexToUnits[4], 6);
    EXPECT_EQ(PpmdHeap::kIndexToUnits[8], 15);
    EXPECT_EQ(PpmdHeap::kIndexToUnits[12], 28);
    EXPECT_EQ(PpmdHeap::kIndexToUnits[37], 128);
    for (unsigned units = 1; units <= 128; ++units) {
        const unsigned index = PpmdHeap::unitsToIndex(units);
        ASSERT_GE(PpmdHeap::kIndexToUnits[index], units);
        ASSERT_TRUE(index == 0 || PpmdHeap::kIndexToUnits[index - 1] < units) << units;
    }
}

TEST(PpmdHeapUnits, FreshHeapHandsOutContextsFromTheTopAndArraysFromTheBottom) {
    PpmdHeap heap;
    ASSERT_TRUE(heap.allocate(PpmdHeap::kMinSize));
    heap.restart();
    const std::uint32_t size = PpmdHeap::kMinSize;
    const std::uint32_t unitsStart = size - size / 8 / 12 * 7 * 12;
    EXPECT_EQ(heap.unitsStart(), unitsStart);
    EXPECT_EQ(heap.text(), 0u);
    EXPECT_EQ(heap.allocContext(), size - 12);
    EXPECT_EQ(heap.allocContext(), size - 24);
    EXPECT_EQ(heap.allocUnits(0), unitsStart);
    EXPECT_EQ(heap.allocUnits(4), unitsStart + 12); // 6 units
    EXPECT_EQ(heap.allocUnits(1), unitsStart + 12 + 72);

    // Freed blocks come back first, the last freed first.
    heap.insertNode(unitsStart, 0);
    heap.insertNode(size - 24, 0);
    EXPECT_EQ(heap.allocUnits(0), size - 24);
    EXPECT_EQ(heap.allocUnits(0), unitsStart);
}

TEST(PpmdHeapUnits, ShrinkMovesToAFreeBlockOfTheSmallerClassOrSplits) {
    PpmdHeap heap;
    ASSERT_TRUE(heap.allocate(PpmdHeap::kMinSize));
    heap.restart();
    const std::uint32_t big = heap.allocUnits(7); // 12 units
    std::uint8_t* data = heap.at(big, 12 * 12);
    for (int i = 0; i < 12 * 12; ++i) {
        data[i] = static_cast<std::uint8_t>(i);
    }
    // No free block of 4 units: split in place, the 8 units behind freed as one block.
    EXPECT_EQ(heap.shrinkUnits(big, 12, 4), big);
    EXPECT_EQ(heap.freeListHead(5), big + 4 * 12);
    EXPECT_EQ(heap.allocUnits(5), big + 4 * 12);

    // A free 2-unit block exists: the data moves there, the old block is freed whole.
    const std::uint32_t spare = heap.allocUnits(1);
    heap.insertNode(spare, 1);
    EXPECT_EQ(heap.shrinkUnits(big, 4, 2), spare);
    EXPECT_EQ(heap.freeListHead(3), big);
    EXPECT_EQ(heap.at(spare, 24)[23], 23);

    // Same class: nothing to do.
    EXPECT_EQ(heap.shrinkUnits(spare, 2, 2), spare);
}

TEST(PpmdHeapUnits, WhenTheMiddleIsUsedUpFreeNeighboursAreGluedAndLargeBlocksSplit) {
    PpmdHeap heap;
    ASSERT_TRUE(heap.allocate(PpmdHeap::kMinSize));
    heap.restart();
    // Two runs of three neighbouring 1-unit blocks and a 128-unit block, each with a live unit behind
    // it; then nothing left in the middle.
    std::uint32_t one[6];
    for (int run = 0; run < 2; ++run) {
        for (int i = 0; i < 3; ++i) {
            one[3 * run + i] = heap.allocUnits(0);
        }
        markLive(heap, heap.allocUnits(0));
    }
    const std::uint32_t large = heap.allocUnits(37);
    markLive(heap, heap.allocUnits(0));
    fillMiddle(heap);
    for (const int i : {1, 0, 2, 4, 3, 5}) {
        heap.insertNode(one[i], 0);
    }
    heap.insertNode(large, 37);

    // 3 units: the first rare allocation glues each run into one block. The free blocks are taken
    // from the lists class by class, each put in front of one chain, and the glued blocks go back in
    // the order of that chain: the second run ends up in front.
    EXPECT_EQ(heap.allocUnits(2), one[3]);
    EXPECT_EQ(heap.allocUnits(2), one[0]);
    EXPECT_EQ(heap.freeListHead(0), 0u);
    // 2 units: cut from the 128-unit block; its 126 other units go back as 124 + 2.
    EXPECT_EQ(heap.allocUnits(1), large);
    EXPECT_EQ(heap.freeListHead(36), large + 2 * 12);
    EXPECT_EQ(heap.freeListHead(1), large + 126 * 12);
}

// Five glued units go back as 4 + 1, and the link of the 1-unit piece overwrites the size field of the
// merged-in block at that place, which the chain still lists behind the glued one.
TEST(PpmdHeapUnits, GluedBlockFreedInPiecesDoesNotFreeAMergedInBlockAgain) {
    PpmdHeap heap;
    ASSERT_TRUE(heap.allocate(PpmdHeap::kMinSize));
    heap.restart();
    const std::uint32_t single = heap.allocUnits(0);
    markLive(heap, heap.allocUnits(0));
    std::uint32_t run[5];
    for (std::uint32_t& block : run) {
        block = heap.allocUnits(0);
    }
    markLive(heap, heap.allocUnits(0));
    fillMiddle(heap);
    ASSERT_GE(single, 1u << 16) << "the link written must look like a size";
    heap.insertNode(single, 0);
    for (const std::uint32_t block : run) {
        heap.insertNode(block, 0);
    }

    EXPECT_EQ(heap.allocUnits(2), run[0]); // glued to 5, freed as 4 + 1, the 4 split into 3 + 1
    EXPECT_EQ(heap.allocUnits(0), run[3]);
    EXPECT_EQ(heap.allocUnits(0), run[4]);
    EXPECT_EQ(heap.allocUnits(0), single);
    for (unsigned index = 0; index < PpmdHeap::kIndexCount; ++index) {
        EXPECT_EQ(heap.freeListHead(index), 0u) << index;
    }
}

TEST(PpmdHeapUnits, WithNothingFreeBlocksComeFromTheTextGapUntilItIsGone) {
    PpmdHeap heap;
    ASSERT_TRUE(heap.allocate(PpmdHeap::kMinSize));
    heap.restart();
    fillMiddle(heap);
    const std::uint32_t unitsStart = heap.unitsStart();
    EXPECT_EQ(heap.allocUnits(3), unitsStart - 4 * 12);
    EXPECT_EQ(heap.unitsStart(), unitsStart - 4 * 12);
    // Text up to just below the units: the gap is too small now.
    while (heap.appendText('x')) {
    }
    EXPECT_EQ(heap.text(), heap.unitsStart());
    EXPECT_EQ(heap.allocUnits(0), 0u);
    EXPECT_EQ(heap.allocContext(), 0u);
}

TEST(PpmdHeapUnits, OffsetsOutsideTheHeapAreRefused) {
    PpmdHeap heap;
    ASSERT_TRUE(heap.allocate(PpmdHeap::kMinSize));
    const std::uint32_t size = heap.size();
    EXPECT_NO_THROW(heap.at(size - 12, 12));
    EXPECT_THROW(heap.at(size - 11, 12), PpmdHeapFault);
    EXPECT_THROW(heap.at(0xFFFFFFF8u, 12), PpmdHeapFault);
    EXPECT_THROW(heap.at(0, size + 1), PpmdHeapFault);
    EXPECT_FALSE(heap.allocate(PpmdHeap::kMaxSize + 1));
    EXPECT_FALSE(heap.allocated());
}

} // namespace
} // namespace brisko::rardec
