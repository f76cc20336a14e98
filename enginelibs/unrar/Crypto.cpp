#include "unrar/Crypto.h"

#include <cstring>
#include <string>
#include <vector>

#include <nettle/cbc.h>
#include <nettle/hmac.h>
#include <nettle/sha2.h>
#include <zlib.h>

namespace brisko::enginelib::rar {

std::uint32_t crc32(std::uint32_t crc, const void* data, std::size_t size) {
    const auto* bytes = static_cast<const Bytef*>(data);
    uLong value = crc;
    while (size > 0) {
        const auto chunk = static_cast<uInt>(size > (1u << 30) ? (1u << 30) : size);
        value = ::crc32(value, bytes, chunk);
        bytes += chunk;
        size -= chunk;
    }
    return static_cast<std::uint32_t>(value);
}

namespace {

// SHA-1 as the RAR 3.x key derivation needs it: a 64-byte block hashed straight from the caller's
// buffer is overwritten with the last sixteen words of the message schedule. Keys for passwords of
// 29 characters and more depend on that side effect, so it is reproduced exactly.
class QuirkySha1 {
public:
    void update(std::uint8_t* data, std::size_t size, bool quirk) {
        std::size_t used = static_cast<std::size_t>(m_count % 64);
        m_count += size;
        std::size_t i = 0;
        if (used + size >= 64) {
            i = 64 - used;
            std::memcpy(m_buffer + used, data, i);
            transform(m_buffer);
            for (; i + 63 < size; i += 64) {
                transform(data + i);
                if (quirk) {
                    for (int w = 0; w < 16; ++w) {
                        const std::uint32_t v = m_w[w];
                        data[i + 4 * w] = static_cast<std::uint8_t>(v);
                        data[i + 4 * w + 1] = static_cast<std::uint8_t>(v >> 8);
                        data[i + 4 * w + 2] = static_cast<std::uint8_t>(v >> 16);
                        data[i + 4 * w + 3] = static_cast<std::uint8_t>(v >> 24);
                    }
                }
            }
            used = 0;
        }
        std::memcpy(m_buffer + used, data + i, size - i);
    }

    void digest(std::uint8_t* out) const {
        QuirkySha1 copy = *this;
        const std::uint64_t bits = m_count * 8;
        std::uint8_t pad[72] = {0x80};
        const std::size_t used = static_cast<std::size_t>(m_count % 64);
        const std::size_t padSize = used < 56 ? 56 - used : 120 - used;
        for (int b = 0; b < 8; ++b) {
            pad[padSize + static_cast<std::size_t>(b)] = static_cast<std::uint8_t>(bits >> (56 - 8 * b));
        }
        copy.update(pad, padSize + 8, false);
        for (int w = 0; w < 5; ++w) {
            for (int b = 0; b < 4; ++b) {
                out[4 * w + b] = static_cast<std::uint8_t>(copy.m_state[w] >> (24 - 8 * b));
            }
        }
    }

private:
    static std::uint32_t rol(std::uint32_t v, int n) { return (v << n) | (v >> (32 - n)); }

    void transform(const std::uint8_t* block) {
        for (int w = 0; w < 16; ++w) {
            m_w[w] = (std::uint32_t(block[4 * w]) << 24) | (std::uint32_t(block[4 * w + 1]) << 16) |
                     (std::uint32_t(block[4 * w + 2]) << 8) | std::uint32_t(block[4 * w + 3]);
        }
        std::uint32_t a = m_state[0], b = m_state[1], c = m_state[2], d = m_state[3], e = m_state[4];
        for (int t = 0; t < 80; ++t) {
            std::uint32_t w;
            if (t < 16) {
                w = m_w[t];
            } else {
                w = rol(m_w[(t + 13) & 15] ^ m_w[(t + 8) & 15] ^ m_w[(t + 2) & 15] ^ m_w[t & 15], 1);
                m_w[t & 15] = w;
            }
            std::uint32_t f, k;
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
            const std::uint32_t temp = rol(a, 5) + f + e + k + w;
            e = d;
            d = c;
            c = rol(b, 30);
            b = a;
            a = temp;
        }
        m_state[0] += a;
        m_state[1] += b;
        m_state[2] += c;
        m_state[3] += d;
        m_state[4] += e;
    }

    std::uint32_t m_state[5] = {0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476, 0xC3D2E1F0};
    std::uint32_t m_w[16] = {};
    std::uint8_t m_buffer[64] = {};
    std::uint64_t m_count = 0;
};

// UTF-8 to UTF-16 code units; a malformed byte counts as a Latin-1 character.
std::vector<std::uint16_t> utf16(std::string_view text) {
    std::vector<std::uint16_t> units;
    for (std::size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        std::size_t extra = c < 0x80 ? 0 : c < 0xC0 ? 9 : c < 0xE0 ? 1 : c < 0xF0 ? 2 : c < 0xF8 ? 3 : 9;
        std::uint32_t cp = extra == 0 ? c : extra == 1 ? (c & 0x1Fu) : extra == 2 ? (c & 0x0Fu) : (c & 0x07u);
        bool valid = extra != 9 && i + extra < text.size();
        for (std::size_t k = 1; valid && k <= extra; ++k) {
            const auto n = static_cast<unsigned char>(text[i + k]);
            valid = (n & 0xC0) == 0x80;
            cp = (cp << 6) | (n & 0x3Fu);
        }
        if (!valid) {
            cp = c;
            extra = 0;
        }
        i += extra + 1;
        if (cp >= 0x10000) {
            cp -= 0x10000;
            units.push_back(static_cast<std::uint16_t>(0xD800 + (cp >> 10)));
            units.push_back(static_cast<std::uint16_t>(0xDC00 + (cp & 0x3FF)));
        } else {
            units.push_back(static_cast<std::uint16_t>(cp));
        }
    }
    return units;
}

constexpr std::size_t kMaxPasswordUnits = 127;

} // namespace

Rar3Key deriveRar3Key(std::string_view password, const std::uint8_t* salt) {
    std::vector<std::uint16_t> units = utf16(password);
    if (units.size() > kMaxPasswordUnits) {
        units.resize(kMaxPasswordUnits);
    }
    std::vector<std::uint8_t> seed;
    for (const std::uint16_t unit : units) {
        seed.push_back(static_cast<std::uint8_t>(unit));
        seed.push_back(static_cast<std::uint8_t>(unit >> 8));
    }
    if (salt != nullptr) {
        seed.insert(seed.end(), salt, salt + 8);
    }
    Rar3Key result{};
    QuirkySha1 sha;
    constexpr std::uint32_t kRounds = 0x40000;
    for (std::uint32_t i = 0; i < kRounds; ++i) {
        sha.update(seed.data(), seed.size(), true);
        std::uint8_t counter[3] = {static_cast<std::uint8_t>(i), static_cast<std::uint8_t>(i >> 8),
                                   static_cast<std::uint8_t>(i >> 16)};
        sha.update(counter, 3, false);
        if (i % (kRounds / 16) == 0) {
            std::uint8_t digest[20];
            sha.digest(digest);
            result.iv[i / (kRounds / 16)] = digest[19];
        }
    }
    std::uint8_t digest[20];
    sha.digest(digest);
    for (int group = 0; group < 4; ++group) {
        for (int b = 0; b < 4; ++b) {
            result.key[4 * group + b] = digest[4 * group + 3 - b];
        }
    }
    explicit_bzero(seed.data(), seed.size());
    return result;
}

Rar5Keys deriveRar5Keys(std::string_view password, const std::uint8_t* salt, int log2Count) {
    // One PBKDF2-HMAC-SHA256 run of n + 32 iterations: its states after n, n + 16 and n + 32
    // iterations are the three values.
    std::string_view pw = password;
    hmac_sha256_ctx ctx;
    hmac_sha256_set_key(&ctx, pw.size(), reinterpret_cast<const std::uint8_t*>(pw.data()));
    std::uint8_t u[32];
    std::uint8_t t[32];
    const std::uint8_t index[4] = {0, 0, 0, 1};
    hmac_sha256_update(&ctx, 16, salt);
    hmac_sha256_update(&ctx, 4, index);
    hmac_sha256_digest(&ctx, 32, u);
    std::memcpy(t, u, 32);
    Rar5Keys keys{};
    const std::uint64_t n = std::uint64_t(1) << log2Count;
    for (std::uint64_t i = 2; i <= n + 32; ++i) {
        hmac_sha256_update(&ctx, 32, u);
        hmac_sha256_digest(&ctx, 32, u);
        for (int b = 0; b < 32; ++b) {
            t[b] ^= u[b];
        }
        if (i == n) {
            std::memcpy(keys.key, t, 32);
        } else if (i == n + 16) {
            std::memcpy(keys.hashKey, t, 32);
        }
    }
    if (n == 1) {
        std::memcpy(keys.key, u, 32); // unreachable in practice: RAR counts start far higher
    }
    for (int b = 0; b < 32; ++b) {
        keys.check[b % 8] ^= t[b];
    }
    explicit_bzero(u, sizeof u);
    explicit_bzero(t, sizeof t);
    return keys;
}

std::uint32_t macCrc(const std::uint8_t* hashKey, std::uint32_t crc) {
    const std::uint8_t raw[4] = {static_cast<std::uint8_t>(crc), static_cast<std::uint8_t>(crc >> 8),
                                 static_cast<std::uint8_t>(crc >> 16), static_cast<std::uint8_t>(crc >> 24)};
    hmac_sha256_ctx ctx;
    hmac_sha256_set_key(&ctx, 32, hashKey);
    hmac_sha256_update(&ctx, 4, raw);
    std::uint8_t mac[32];
    hmac_sha256_digest(&ctx, 32, mac);
    std::uint32_t result = 0;
    for (int i = 0; i < 32; ++i) {
        result ^= std::uint32_t(mac[i]) << (8 * (i % 4));
    }
    return result;
}

void macDigest(const std::uint8_t* hashKey, const std::uint8_t* digest, std::uint8_t* out) {
    hmac_sha256_ctx ctx;
    hmac_sha256_set_key(&ctx, 32, hashKey);
    hmac_sha256_update(&ctx, 32, digest);
    hmac_sha256_digest(&ctx, 32, out);
}

CbcDecryptor::CbcDecryptor(const std::uint8_t* key, std::size_t keySize, const std::uint8_t* iv)
    : m_aes256(keySize == 32) {
    if (m_aes256) {
        aes256_set_decrypt_key(&m_ctx256, key);
    } else {
        aes128_set_decrypt_key(&m_ctx128, key);
    }
    std::memcpy(m_iv, iv, 16);
}

void CbcDecryptor::decrypt(std::uint8_t* data, std::size_t size) {
    if (m_aes256) {
        cbc_decrypt(&m_ctx256, reinterpret_cast<nettle_cipher_func*>(aes256_decrypt), 16, m_iv, size, data,
                    data);
    } else {
        cbc_decrypt(&m_ctx128, reinterpret_cast<nettle_cipher_func*>(aes128_decrypt), 16, m_iv, size, data,
                    data);
    }
}

} // namespace brisko::enginelib::rar
