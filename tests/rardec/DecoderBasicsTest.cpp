// The pieces every RAR decoder stands on: the bit reader and canonical codes.
#include <gtest/gtest.h>

#include "rardec/BitInput.h"
#include "rardec/Huffman.h"

namespace brisko::rardec {
namespace {

class Bytes : public PackedInput {
public:
    explicit Bytes(std::vector<std::uint8_t> data) : m_data(std::move(data)) {}
    long read(std::uint8_t* out, std::size_t size) override {
        // One byte at a time: every refill path of the reader is taken.
        if (m_at == m_data.size() || size == 0) {
            return 0;
        }
        *out = m_data[m_at++];
        return 1;
    }

private:
    std::vector<std::uint8_t> m_data;
    std::size_t m_at = 0;
};

TEST(BitInput, ReadsMostSignificantBitFirstAndCountsWhatItRunsPast) {
    Bytes bytes({0b10110011, 0b01010101, 0xFF});
    BitInput in(bytes);
    EXPECT_EQ(in.bits(1), 1u);
    EXPECT_EQ(in.bits(3), 0b011u);
    EXPECT_EQ(in.peek(8), 0b00110101u);
    EXPECT_EQ(in.bits(12), 0b001101010101u);
    EXPECT_EQ(in.consumed(), 2u);
    in.skip(3);
    in.align();
    EXPECT_EQ(in.consumed(), 3u);
    EXPECT_FALSE(in.overrun(0));
    EXPECT_EQ(in.bits(16), 0u); // past the end: zeros
    EXPECT_TRUE(in.overrun(1));
}

TEST(HuffmanCode, DecodesCanonicalCodesAndRejectsWhatNoSymbolHas) {
    // Lengths 2,1,3,3 for symbols 0..3: codes 10, 0, 110, 111.
    const std::uint8_t lengths[] = {2, 1, 3, 3};
    HuffmanCode code;
    ASSERT_TRUE(code.build(lengths, 4));
    Bytes bytes({0b10011011, 0b10000000});
    BitInput in(bytes);
    EXPECT_EQ(code.decode(in), 0);
    EXPECT_EQ(code.decode(in), 1);
    EXPECT_EQ(code.decode(in), 2);
    EXPECT_EQ(code.decode(in), 3);

    const std::uint8_t one[] = {0, 1}; // a single symbol: code 0; pattern 1 is unassigned
    ASSERT_TRUE(code.build(one, 2));
    Bytes bits({0b01000000});
    BitInput in2(bits);
    EXPECT_EQ(code.decode(in2), 1);
    EXPECT_EQ(code.decode(in2), -1);

    const std::uint8_t over[] = {1, 1, 1};
    EXPECT_FALSE(code.build(over, 3));
    std::vector<std::uint8_t> deep(300, 0); // long codes go through the slow path
    for (unsigned s = 0; s < 16; ++s) {
        deep[s] = static_cast<std::uint8_t>(s == 15 ? 15 : s + 1);
    }
    EXPECT_TRUE(code.build(deep.data(), static_cast<unsigned>(deep.size())));
}

} // namespace
} // namespace brisko::rardec
