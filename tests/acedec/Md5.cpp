#include "Md5.h"

#include <cmath>
#include <cstdio>

namespace brisko::acedec::test {

namespace {

constexpr unsigned kShift[64] = {7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22,
                                 5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20,
                                 4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23,
                                 6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21};

struct Constants {
    std::uint32_t k[64];
    Constants() {
        for (int i = 0; i < 64; ++i) {
            k[i] = static_cast<std::uint32_t>(std::floor(std::fabs(std::sin(i + 1.0)) * 4294967296.0));
        }
    }
};

const Constants kConstants;

std::uint32_t rotl(std::uint32_t v, unsigned n) {
    return (v << n) | (v >> (32 - n));
}

} // namespace

Md5::Md5() : m_state{0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476} {}

void Md5::block(const std::uint8_t* p) {
    std::uint32_t m[16];
    for (int i = 0; i < 16; ++i) {
        m[i] = static_cast<std::uint32_t>(p[4 * i]) | static_cast<std::uint32_t>(p[4 * i + 1]) << 8 |
               static_cast<std::uint32_t>(p[4 * i + 2]) << 16 |
               static_cast<std::uint32_t>(p[4 * i + 3]) << 24;
    }
    std::uint32_t a = m_state[0], b = m_state[1], c = m_state[2], d = m_state[3];
    for (int i = 0; i < 64; ++i) {
        std::uint32_t f = 0;
        int g = 0;
        if (i < 16) {
            f = (b & c) | (~b & d);
            g = i;
        } else if (i < 32) {
            f = (d & b) | (~d & c);
            g = (5 * i + 1) % 16;
        } else if (i < 48) {
            f = b ^ c ^ d;
            g = (3 * i + 5) % 16;
        } else {
            f = c ^ (b | ~d);
            g = (7 * i) % 16;
        }
        const std::uint32_t next = b + rotl(a + f + kConstants.k[i] + m[g], kShift[i]);
        a = d;
        d = c;
        c = b;
        b = next;
    }
    m_state[0] += a;
    m_state[1] += b;
    m_state[2] += c;
    m_state[3] += d;
}

void Md5::update(std::span<const std::uint8_t> bytes) {
    for (const std::uint8_t byte : bytes) {
        m_buffer[m_length++ % 64] = byte;
        if (m_length % 64 == 0) {
            block(m_buffer);
        }
    }
}

std::string Md5::hex() {
    const std::uint64_t bits = m_length * 8;
    const std::uint8_t pad = 0x80;
    update({&pad, 1});
    const std::uint8_t zero = 0;
    while (m_length % 64 != 56) {
        update({&zero, 1});
    }
    for (int i = 0; i < 8; ++i) {
        const auto byte = static_cast<std::uint8_t>(bits >> (8 * i));
        update({&byte, 1});
    }
    std::string out;
    char digits[3];
    for (const std::uint32_t word : m_state) {
        for (int i = 0; i < 4; ++i) {
            std::snprintf(digits, sizeof digits, "%02x", static_cast<unsigned>((word >> (8 * i)) & 0xFF));
            out += digits;
        }
    }
    return out;
}

} // namespace brisko::acedec::test
