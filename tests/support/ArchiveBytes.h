#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The byte-level pieces the tests' archive writers share. Written independently of the engines, so
// that a mistake the two shared could not hide.
namespace brisko::test {

using Bytes = std::vector<std::uint8_t>;

// 2020-09-13 12:00 as an MS-DOS date and time.
inline constexpr std::uint32_t kDosTime = (40u << 25) | (9u << 21) | (13u << 16) | (12u << 11);

// CRC-32 register after the data, started at all ones and not inverted (ACE stores it so); the
// ordinary CRC-32 is its complement.
std::uint32_t Crc32Register(const Bytes& data);
inline std::uint32_t Crc(const Bytes& data) {
    return ~Crc32Register(data);
}
inline std::uint32_t Crc(const std::string& data) {
    return Crc(Bytes(data.begin(), data.end()));
}

// Appends the low `bytes` bytes of `value`, least significant first.
void Le(Bytes& out, std::uint64_t value, int bytes);
// Appends a RAR 5 variable-length integer.
void Vint(Bytes& out, std::uint64_t value);

// A RAR 4 block: the low 16 bits of the body's CRC, then the body.
Bytes Rar4Block(const Bytes& body);
// A RAR 5 block: CRC-32 of what follows, the body's size, then the body.
Bytes Rar5Block(const Bytes& body);

} // namespace brisko::test
