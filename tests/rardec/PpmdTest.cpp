// The PPMd variant H model and its unit allocator, for what the real samples (checked through the
// engine) do not reach. Faults caught here:
// - a model restarted with a memory size or order the format does not allow, or symbols decoded
//   with no model
// - the heap breaking (an offset outside it, a block handed out twice) when random paths through
//   small models run out of memory again and again, with contexts glued, split and restarted
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <string>
#include <vector>

#include "rardec/BitInput.h"
#include "rardec/Ppmd.h"
#include "rardec/PpmdContextModel.h"
#include "rardec/PpmdHeap.h"

namespace brisko::rardec {
namespace {

class Zeros : public PackedInput {
public:
    long read(std::uint8_t* out, std::size_t size) override {
        std::fill_n(out, size, 0);
        return static_cast<long>(size);
    }
};

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
    Zeros bytes;
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

} // namespace
} // namespace brisko::rardec
