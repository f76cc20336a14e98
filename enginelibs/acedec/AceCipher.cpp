#include "acedec/AceCipher.h"

#include <algorithm>
#include <cstring>

namespace brisko::acedec {

namespace {

std::uint32_t rotl(std::uint32_t v, unsigned n) {
    return (v << n) | (v >> (32 - n));
}

std::uint32_t loadLe(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

void storeLe(std::uint8_t* p, std::uint32_t v) {
    for (int k = 0; k < 4; ++k) {
        p[k] = static_cast<std::uint8_t>(v >> (8 * k));
    }
}

} // namespace

std::array<std::uint32_t, 5> AceCipher::deriveKey(std::string_view password) {
    const std::size_t length = std::min(password.size(), kMaxPassword);
    std::uint8_t block[64] = {};
    std::memcpy(block, password.data(), length);
    block[length] = 0x80;

    std::uint32_t w[80];
    for (int t = 0; t < 16; ++t) {
        w[t] = loadLe(block + 4 * t);
    }
    w[15] = static_cast<std::uint32_t>(length * 8);
    // The expansion without SHA-1's rotation.
    for (int t = 16; t < 80; ++t) {
        w[t] = w[t - 3] ^ w[t - 8] ^ w[t - 14] ^ w[t - 16];
    }

    const std::array<std::uint32_t, 5> init = {0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476, 0xC3D2E1F0};
    std::uint32_t a = init[0], b = init[1], c = init[2], d = init[3], e = init[4];
    for (int t = 0; t < 80; ++t) {
        std::uint32_t f = 0;
        std::uint32_t k = 0;
        if (t < 20) {
            f = (b & c) | (~b & d);
            k = 0x5A827999;
        } else if (t < 40) {
            f = b ^ c ^ d;
            k = 0x6ED9EBA1;
        } else if (t < 60) {
            f = (b & c) | (b & d) | (c & d);
            k = 0x8F1BBCDC;
        } else {
            f = b ^ c ^ d;
            k = 0xCA62C1D6;
        }
        const std::uint32_t temp = rotl(a, 5) + f + e + k + w[t];
        e = d;
        d = c;
        c = rotl(b, 30);
        b = a;
        a = temp;
    }
    return {init[0] + a, init[1] + b, init[2] + c, init[3] + d, init[4] + e};
}

AceCipher::AceCipher(std::string_view password) : m_p(kInitialP), m_s(kInitialS) {
    const auto key = deriveKey(password);
    for (std::size_t i = 0; i < m_p.size(); ++i) {
        m_p[i] ^= key[i % key.size()];
    }
    std::uint32_t left = 0;
    std::uint32_t right = 0;
    for (std::size_t i = 0; i < m_p.size(); i += 2) {
        encryptBlock(left, right);
        m_p[i] = left;
        m_p[i + 1] = right;
    }
    for (auto& box : m_s) {
        for (std::size_t i = 0; i < box.size(); i += 2) {
            encryptBlock(left, right);
            box[i] = left;
            box[i + 1] = right;
        }
    }
}

void AceCipher::encryptBlock(std::uint32_t& left, std::uint32_t& right) const {
    std::uint32_t l = left;
    std::uint32_t r = right;
    for (int i = 0; i < 16; i += 2) {
        l ^= m_p[i];
        r ^= round(l);
        r ^= m_p[i + 1];
        l ^= round(r);
    }
    l ^= m_p[16];
    r ^= m_p[17];
    left = r;
    right = l;
}

void AceCipher::decryptBlock(std::uint32_t& left, std::uint32_t& right) const {
    std::uint32_t l = left;
    std::uint32_t r = right;
    for (int i = 16; i > 0; i -= 2) {
        l ^= m_p[i + 1];
        r ^= round(l);
        r ^= m_p[i];
        l ^= round(r);
    }
    l ^= m_p[1];
    r ^= m_p[0];
    left = r;
    right = l;
}

void AceCipher::decrypt(std::uint8_t* data, std::size_t size) {
    // Blocks are two little-endian words, unlike the big-endian convention of other Blowfish users.
    for (std::size_t off = 0; off + 8 <= size; off += 8) {
        const std::uint32_t cl = loadLe(data + off);
        const std::uint32_t cr = loadLe(data + off + 4);
        std::uint32_t l = cl;
        std::uint32_t r = cr;
        decryptBlock(l, r);
        storeLe(data + off, l ^ m_chain[0]);
        storeLe(data + off + 4, r ^ m_chain[1]);
        m_chain = {cl, cr};
    }
}

} // namespace brisko::acedec
