#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace brisko::acedec {

inline constexpr std::uint32_t kCrcStart = 0xFFFFFFFFu;

// The CRC that ACE stores for data and headers: CRC-32 with polynomial 0xEDB88320 started at
// 0xFFFFFFFF, without the final inversion (the bitwise NOT of zlib's value). Continues from `crc`,
// so data can be fed in pieces.
std::uint32_t aceCrc32(std::span<const std::uint8_t> bytes, std::uint32_t crc = kCrcStart);

// A header's check value: the low 16 bits of aceCrc32 over the header bytes.
inline std::uint16_t aceCrc16(std::span<const std::uint8_t> bytes) {
    return static_cast<std::uint16_t>(aceCrc32(bytes) & 0xFFFFu);
}

} // namespace brisko::acedec
