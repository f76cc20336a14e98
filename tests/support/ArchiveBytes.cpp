#include "support/ArchiveBytes.h"

namespace brisko::test {

std::uint32_t Crc32Register(const Bytes& data) {
    std::uint32_t crc = 0xFFFFFFFFu;
    for (const std::uint8_t byte : data) {
        crc ^= byte;
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
        }
    }
    return crc;
}

void Le(Bytes& out, std::uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) {
        out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
    }
}

void Vint(Bytes& out, std::uint64_t value) {
    do {
        out.push_back(static_cast<std::uint8_t>((value & 0x7F) | (value > 0x7F ? 0x80 : 0)));
        value >>= 7;
    } while (value != 0);
}

Bytes Rar4Block(const Bytes& body) {
    Bytes block;
    Le(block, Crc(body) & 0xFFFF, 2);
    block.insert(block.end(), body.begin(), body.end());
    return block;
}

Bytes Rar5Block(const Bytes& body) {
    Bytes sized;
    Vint(sized, body.size());
    sized.insert(sized.end(), body.begin(), body.end());
    Bytes block;
    Le(block, Crc(sized), 4);
    block.insert(block.end(), sized.begin(), sized.end());
    return block;
}

} // namespace brisko::test
