#include "unrar/Blake2sp.h"

#include <algorithm>
#include <cstring>

namespace brisko::enginelib::rar {

namespace {

constexpr std::uint32_t kIv[8] = {0x6A09E667, 0xBB67AE85, 0x3C6EF372, 0xA54FF53A,
                                  0x510E527F, 0x9B05688C, 0x1F83D9AB, 0x5BE0CD19};

constexpr std::uint8_t kSigma[10][16] = {
    {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15},
    {14, 10, 4, 8, 9, 15, 13, 6, 1, 12, 0, 2, 11, 7, 5, 3},
    {11, 8, 12, 0, 5, 2, 15, 13, 10, 14, 3, 6, 7, 1, 9, 4},
    {7, 9, 3, 1, 13, 12, 11, 14, 2, 6, 5, 10, 4, 0, 15, 8},
    {9, 0, 5, 7, 2, 4, 10, 15, 14, 1, 11, 12, 6, 8, 3, 13},
    {2, 12, 6, 10, 0, 11, 8, 3, 4, 13, 7, 5, 15, 14, 1, 9},
    {12, 5, 1, 15, 14, 13, 4, 10, 0, 7, 6, 3, 9, 2, 8, 11},
    {13, 11, 7, 14, 12, 1, 3, 9, 5, 0, 15, 4, 8, 6, 2, 10},
    {6, 15, 14, 9, 11, 3, 0, 8, 12, 2, 13, 7, 1, 4, 10, 5},
    {10, 2, 8, 4, 7, 6, 1, 5, 15, 11, 9, 14, 3, 12, 13, 0},
};

constexpr std::uint32_t ror(std::uint32_t v, int n) {
    return (v >> n) | (v << (32 - n));
}

std::uint32_t load32(const std::uint8_t* p) {
    return std::uint32_t(p[0]) | (std::uint32_t(p[1]) << 8) | (std::uint32_t(p[2]) << 16) |
           (std::uint32_t(p[3]) << 24);
}

constexpr int kLeaves = 8;
constexpr std::size_t kBlock = 64;

} // namespace

Blake2s::Blake2s(std::uint32_t offset, int depth, bool lastNode) : m_lastNode(lastNode) {
    std::memcpy(m_h, kIv, sizeof m_h);
    // Parameter block: digest length 32, no key, fanout 8, depth 2, node offset, node depth, inner
    // length 32.
    m_h[0] ^= 32u | (8u << 16) | (2u << 24);
    m_h[2] ^= offset;
    m_h[3] ^= (std::uint32_t(depth) << 16) | (32u << 24);
}

void Blake2s::compress(const std::uint8_t* block, bool last) {
    std::uint32_t m[16];
    for (int i = 0; i < 16; ++i) {
        m[i] = load32(block + 4 * i);
    }
    std::uint32_t v[16];
    std::memcpy(v, m_h, sizeof m_h);
    std::memcpy(v + 8, kIv, sizeof kIv);
    v[12] ^= static_cast<std::uint32_t>(m_count);
    v[13] ^= static_cast<std::uint32_t>(m_count >> 32);
    if (last) {
        v[14] = ~v[14];
        if (m_lastNode) {
            v[15] = ~v[15];
        }
    }
    auto g = [&](int a, int b, int c, int d, std::uint32_t x, std::uint32_t y) {
        v[a] = v[a] + v[b] + x;
        v[d] = ror(v[d] ^ v[a], 16);
        v[c] = v[c] + v[d];
        v[b] = ror(v[b] ^ v[c], 12);
        v[a] = v[a] + v[b] + y;
        v[d] = ror(v[d] ^ v[a], 8);
        v[c] = v[c] + v[d];
        v[b] = ror(v[b] ^ v[c], 7);
    };
    for (const auto& s : kSigma) {
        g(0, 4, 8, 12, m[s[0]], m[s[1]]);
        g(1, 5, 9, 13, m[s[2]], m[s[3]]);
        g(2, 6, 10, 14, m[s[4]], m[s[5]]);
        g(3, 7, 11, 15, m[s[6]], m[s[7]]);
        g(0, 5, 10, 15, m[s[8]], m[s[9]]);
        g(1, 6, 11, 12, m[s[10]], m[s[11]]);
        g(2, 7, 8, 13, m[s[12]], m[s[13]]);
        g(3, 4, 9, 14, m[s[14]], m[s[15]]);
    }
    for (int i = 0; i < 8; ++i) {
        m_h[i] ^= v[i] ^ v[i + 8];
    }
}

void Blake2s::update(const std::uint8_t* data, std::size_t size) {
    while (size > 0) {
        // The last block is held back: it is compressed with the final flag in finish().
        if (m_used == kBlock) {
            m_count += kBlock;
            compress(m_buffer, false);
            m_used = 0;
        }
        const std::size_t take = std::min(size, kBlock - m_used);
        std::memcpy(m_buffer + m_used, data, take);
        m_used += take;
        data += take;
        size -= take;
    }
}

void Blake2s::finish(std::uint8_t* digest) {
    m_count += m_used;
    std::memset(m_buffer + m_used, 0, kBlock - m_used);
    compress(m_buffer, true);
    for (int i = 0; i < 8; ++i) {
        for (int b = 0; b < 4; ++b) {
            digest[4 * i + b] = static_cast<std::uint8_t>(m_h[i] >> (8 * b));
        }
    }
}

Blake2sp::Blake2sp()
    : m_leaves{Blake2s(0, 0, false), Blake2s(1, 0, false), Blake2s(2, 0, false), Blake2s(3, 0, false),
               Blake2s(4, 0, false), Blake2s(5, 0, false), Blake2s(6, 0, false), Blake2s(7, 0, true)} {}

void Blake2sp::update(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return;
    }
    constexpr std::size_t kRound = kLeaves * kBlock;
    if (m_used > 0 && m_used + size >= kRound) {
        const std::size_t take = kRound - m_used;
        std::memcpy(m_buffer + m_used, data, take);
        for (int i = 0; i < kLeaves; ++i) {
            m_leaves[i].update(m_buffer + i * kBlock, kBlock);
        }
        data += take;
        size -= take;
        m_used = 0;
    }
    if (m_used == 0) {
        // Keep the final round in the buffer: its partial blocks decide which leaf ends where.
        while (size > kRound) {
            for (int i = 0; i < kLeaves; ++i) {
                m_leaves[i].update(data + i * kBlock, kBlock);
            }
            data += kRound;
            size -= kRound;
        }
    }
    std::memcpy(m_buffer + m_used, data, size);
    m_used += size;
}

void Blake2sp::finish(std::uint8_t* digest) {
    std::uint8_t leafDigests[kLeaves * 32];
    for (int i = 0; i < kLeaves; ++i) {
        const std::size_t start = static_cast<std::size_t>(i) * kBlock;
        if (m_used > start) {
            m_leaves[i].update(m_buffer + start, std::min(kBlock, m_used - start));
        }
        m_leaves[i].finish(leafDigests + 32 * i);
    }
    Blake2s root(0, 1, true);
    root.update(leafDigests, sizeof leafDigests);
    root.finish(digest);
}

} // namespace brisko::enginelib::rar
