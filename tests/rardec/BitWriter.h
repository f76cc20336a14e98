#pragma once

#include <cstdint>
#include <vector>

// Streams of bits written most significant first, as the RAR and ACE decoders read them.
namespace brisko::test {

class BitWriter {
public:
    void put(std::uint64_t value, unsigned count) {
        for (unsigned i = count; i-- > 0;) {
            if (m_bits % 8 == 0) {
                bytes.push_back(0);
            }
            bytes.back() = static_cast<std::uint8_t>(bytes.back() | (((value >> i) & 1) << (7 - m_bits % 8)));
            ++m_bits;
        }
    }
    void put(const char* bits) {
        for (; *bits != '\0'; ++bits) {
            put(*bits == '1' ? 1 : 0, 1);
        }
    }
    void align() { put(0, (8 - m_bits % 8) % 8); }
    std::uint64_t bits() const { return m_bits; }
    std::vector<std::uint8_t> bytes;

private:
    std::uint64_t m_bits = 0;
};

} // namespace brisko::test
