#include "unrar/LegacyCipher.h"

#include <algorithm>
#include <utility>

namespace brisko::enginelib::rar {

namespace {

// The reflected CRC-32 table (polynomial 0xEDB88320): all three ciphers mix its entries in.
constexpr std::array<std::uint32_t, 256> makeCrcTable() {
    std::array<std::uint32_t, 256> table{};
    for (std::uint32_t i = 0; i < 256; ++i) {
        std::uint32_t c = i;
        for (int bit = 0; bit < 8; ++bit) {
            c = (c & 1) != 0 ? (c >> 1) ^ 0xEDB88320u : c >> 1;
        }
        table[i] = c;
    }
    return table;
}
constexpr std::array<std::uint32_t, 256> kCrcTable = makeCrcTable();
static_assert(kCrcTable[1] == 0x77073096u && kCrcTable[255] == 0x2D02EF8Du);

constexpr std::uint8_t kSubstInit[256] = {
    215, 19,  149, 35,  73,  197, 192, 205, 249, 28,  16,  119, 48,  221, 2,   42,  232, 1,   177, 233,
    14,  88,  219, 25,  223, 195, 244, 90,  87,  239, 153, 137, 255, 199, 147, 70,  92,  66,  246, 13,
    216, 40,  62,  29,  217, 230, 86,  6,   71,  24,  171, 196, 101, 113, 218, 123, 93,  91,  163, 178,
    202, 67,  44,  235, 107, 250, 75,  234, 49,  167, 125, 211, 83,  114, 157, 144, 32,  193, 143, 36,
    158, 124, 247, 187, 89,  214, 141, 47,  121, 228, 61,  130, 213, 194, 174, 251, 97,  110, 54,  229,
    115, 57,  152, 94,  105, 243, 212, 55,  209, 245, 63,  11,  164, 200, 31,  156, 81,  176, 227, 21,
    76,  99,  139, 188, 127, 17,  248, 51,  207, 120, 189, 210, 8,   226, 41,  72,  183, 203, 135, 165,
    166, 60,  98,  7,   122, 38,  155, 170, 69,  172, 252, 238, 39,  134, 59,  128, 236, 27,  240, 80,
    131, 3,   85,  206, 145, 79,  154, 142, 159, 220, 201, 133, 74,  64,  20,  129, 224, 185, 138, 103,
    173, 182, 43,  34,  254, 82,  198, 151, 231, 180, 58,  10,  118, 26,  102, 12,  50,  132, 22,  191,
    136, 111, 162, 179, 45,  4,   148, 108, 161, 56,  78,  126, 242, 222, 15,  175, 146, 23,  33,  241,
    181, 190, 77,  225, 0,   46,  169, 186, 68,  95,  237, 65,  53,  208, 253, 168, 9,   18,  100, 52,
    116, 184, 160, 96,  109, 37,  30,  106, 140, 104, 150, 5,   204, 117, 112, 84};

// The table is a permutation: the key setup only swaps its entries.
constexpr bool isPermutation(const std::uint8_t (&table)[256]) {
    bool seen[256] = {};
    for (std::uint8_t value : table) {
        if (seen[value]) {
            return false;
        }
        seen[value] = true;
    }
    return true;
}
static_assert(isPermutation(kSubstInit));

constexpr std::uint32_t kRar20InitialKeys[4] = {0xD3A3B879u, 0x3F6D12F7u, 0x7515A235u, 0xA4E7F123u};
constexpr std::size_t kRar20MaxPassword = 127;

constexpr std::uint8_t rotl8(std::uint8_t v, unsigned n) {
    return static_cast<std::uint8_t>((v << n) | (v >> (8 - n)));
}
constexpr std::uint16_t ror16(std::uint16_t v, unsigned n) {
    return static_cast<std::uint16_t>((v >> n) | (v << (16 - n)));
}
constexpr std::uint32_t rotl32(std::uint32_t v, unsigned n) {
    return (v << n) | (v >> (32 - n));
}

std::uint32_t loadLe32(const std::uint8_t* p) {
    return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 |
           std::uint32_t(p[3]) << 24;
}
void storeLe32(std::uint8_t* p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) {
        p[i] = static_cast<std::uint8_t>(v >> (8 * i));
    }
}

} // namespace

std::optional<LegacyCipherKind> legacyCipherFor(unsigned unpackVersion) {
    switch (unpackVersion) {
    case 13:
        return LegacyCipherKind::Rar13;
    case 15:
        return LegacyCipherKind::Rar15;
    case 20:
    case 26:
        return LegacyCipherKind::Rar20;
    default:
        return std::nullopt;
    }
}

LegacyCipher::LegacyCipher(LegacyCipherKind kind, std::string_view password) : m_kind(kind) {
    switch (kind) {
    case LegacyCipherKind::Rar13: {
        std::uint8_t k0 = 0;
        std::uint8_t k1 = 0;
        std::uint8_t k2 = 0;
        for (const char ch : password) {
            const auto c = static_cast<std::uint8_t>(ch);
            k0 = static_cast<std::uint8_t>(k0 + c);
            k1 ^= c;
            k2 = rotl8(static_cast<std::uint8_t>(k2 + c), 1);
        }
        m_key[0] = k0;
        m_key[1] = k1;
        m_key[2] = k2;
        break;
    }
    case LegacyCipherKind::Rar15: {
        // The CRC-32 register over the password, without the final inversion.
        std::uint32_t crc = 0xFFFFFFFFu;
        for (const char ch : password) {
            crc = kCrcTable[(crc ^ static_cast<std::uint8_t>(ch)) & 0xFF] ^ (crc >> 8);
        }
        m_key[0] = static_cast<std::uint16_t>(crc);
        m_key[1] = static_cast<std::uint16_t>(crc >> 16);
        for (const char ch : password) {
            const auto c = static_cast<std::uint8_t>(ch);
            m_key[2] = static_cast<std::uint16_t>(m_key[2] ^ c ^ kCrcTable[c]);
            m_key[3] = static_cast<std::uint16_t>(m_key[3] + c + (kCrcTable[c] >> 16));
        }
        break;
    }
    case LegacyCipherKind::Rar20:
        setupRar20(password);
        break;
    }
}

void LegacyCipher::setupRar20(std::string_view password) {
    std::copy(std::begin(kRar20InitialKeys), std::end(kRar20InitialKeys), m_roundKey);
    std::copy(std::begin(kSubstInit), std::end(kSubstInit), m_subst.begin());
    std::uint8_t padded[kRar20MaxPassword + 1] = {};
    const std::size_t length = std::min(password.size(), kRar20MaxPassword);
    std::copy_n(password.data(), length, padded);
    for (unsigned j = 0; j < 256; ++j) {
        for (std::size_t i = 0; i < length; i += 2) {
            unsigned a = kCrcTable[(padded[i] - j) & 0xFF] & 0xFF;
            const unsigned b = kCrcTable[(padded[i + 1] + j) & 0xFF] & 0xFF;
            // Ends within 256 turns: a walks through every value.
            for (unsigned k = 1; a != b; ++k) {
                std::swap(m_subst[a], m_subst[(a + i + k) & 0xFF]);
                a = (a + 1) & 0xFF;
            }
        }
    }
    for (std::size_t i = 0; i < length; i += 16) {
        encryptBlock(padded + i);
    }
}

void LegacyCipher::rar20Block(std::uint8_t* block, bool encrypt) {
    const auto substitute = [this](std::uint32_t x) {
        return std::uint32_t(m_subst[x & 0xFF]) | std::uint32_t(m_subst[(x >> 8) & 0xFF]) << 8 |
               std::uint32_t(m_subst[(x >> 16) & 0xFF]) << 16 | std::uint32_t(m_subst[x >> 24]) << 24;
    };
    std::uint8_t cipherText[16];
    if (!encrypt) {
        std::copy_n(block, 16, cipherText);
    }
    std::uint32_t a = loadLe32(block) ^ m_roundKey[0];
    std::uint32_t b = loadLe32(block + 4) ^ m_roundKey[1];
    std::uint32_t c = loadLe32(block + 8) ^ m_roundKey[2];
    std::uint32_t d = loadLe32(block + 12) ^ m_roundKey[3];
    for (unsigned round = 0; round < 32; ++round) {
        const std::uint32_t key = m_roundKey[(encrypt ? round : 31 - round) & 3];
        const std::uint32_t ta = a ^ substitute((c + rotl32(d, 11)) ^ key);
        const std::uint32_t tb = b ^ substitute((d ^ rotl32(c, 17)) + key);
        a = c;
        b = d;
        c = ta;
        d = tb;
    }
    storeLe32(block, c ^ m_roundKey[0]);
    storeLe32(block + 4, d ^ m_roundKey[1]);
    storeLe32(block + 8, a ^ m_roundKey[2]);
    storeLe32(block + 12, b ^ m_roundKey[3]);
    if (encrypt) {
        std::copy_n(block, 16, cipherText);
    }
    // The round keys move on with every block's cipher text.
    for (unsigned i = 0; i < 16; i += 4) {
        for (unsigned j = 0; j < 4; ++j) {
            m_roundKey[j] ^= kCrcTable[cipherText[i + j]];
        }
    }
}

void LegacyCipher::encryptBlock(std::uint8_t* block) {
    rar20Block(block, true);
}

void LegacyCipher::decryptBlock(std::uint8_t* block) {
    rar20Block(block, false);
}

std::size_t LegacyCipher::decrypt(std::uint8_t* data, std::size_t size) {
    switch (m_kind) {
    case LegacyCipherKind::Rar13: {
        auto k0 = static_cast<std::uint8_t>(m_key[0]);
        auto k1 = static_cast<std::uint8_t>(m_key[1]);
        const auto k2 = static_cast<std::uint8_t>(m_key[2]);
        for (std::size_t i = 0; i < size; ++i) {
            k1 = static_cast<std::uint8_t>(k1 + k2);
            k0 = static_cast<std::uint8_t>(k0 + k1);
            data[i] = static_cast<std::uint8_t>(data[i] - k0);
        }
        m_key[0] = k0;
        m_key[1] = k1;
        return size;
    }
    case LegacyCipherKind::Rar15:
        for (std::size_t i = 0; i < size; ++i) {
            m_key[0] = static_cast<std::uint16_t>(m_key[0] + 0x1234);
            const std::uint32_t t = kCrcTable[(m_key[0] >> 1) & 0xFF];
            m_key[1] = static_cast<std::uint16_t>(m_key[1] ^ t);
            m_key[2] = static_cast<std::uint16_t>(m_key[2] - (t >> 16));
            m_key[0] = static_cast<std::uint16_t>(m_key[0] ^ m_key[2]);
            m_key[3] = static_cast<std::uint16_t>(ror16(m_key[3], 1) ^ m_key[1]);
            m_key[3] = ror16(m_key[3], 1);
            m_key[0] = static_cast<std::uint16_t>(m_key[0] ^ m_key[3]);
            data[i] = static_cast<std::uint8_t>(data[i] ^ (m_key[0] >> 8));
        }
        return size;
    case LegacyCipherKind::Rar20:
        break;
    }
    const std::size_t whole = size - size % 16;
    for (std::size_t i = 0; i < whole; i += 16) {
        decryptBlock(data + i);
    }
    return whole;
}

} // namespace brisko::enginelib::rar
