#include "acedec/Crc32.h"

#include <array>

namespace brisko::acedec {

namespace {

// Slicing by four: four table lookups per 32-bit step keep the check well ahead of the decoder.
using Tables = std::array<std::array<std::uint32_t, 256>, 4>;

constexpr Tables makeTables() {
    Tables t{};
    for (std::uint32_t i = 0; i < 256; ++i) {
        std::uint32_t c = i;
        for (int k = 0; k < 8; ++k) {
            c = (c & 1) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
        }
        t[0][i] = c;
    }
    for (std::uint32_t i = 0; i < 256; ++i) {
        for (std::size_t k = 1; k < 4; ++k) {
            t[k][i] = (t[k - 1][i] >> 8) ^ t[0][t[k - 1][i] & 0xFF];
        }
    }
    return t;
}

constexpr Tables kTables = makeTables();

} // namespace

std::uint32_t aceCrc32(std::span<const std::uint8_t> bytes, std::uint32_t crc) {
    const std::uint8_t* p = bytes.data();
    std::size_t n = bytes.size();
    while (n >= 4) {
        crc ^= static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
               static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
        crc = kTables[3][crc & 0xFF] ^ kTables[2][(crc >> 8) & 0xFF] ^ kTables[1][(crc >> 16) & 0xFF] ^
              kTables[0][crc >> 24];
        p += 4;
        n -= 4;
    }
    while (n-- > 0) {
        crc = kTables[0][(crc ^ *p++) & 0xFF] ^ (crc >> 8);
    }
    return crc;
}

} // namespace brisko::acedec
