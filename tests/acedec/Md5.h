#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace brisko::acedec::test {

// MD5 of the decoded bytes, to compare with the checksums listed next to the sample archives.
class Md5 {
public:
    Md5();
    void update(std::span<const std::uint8_t> bytes);
    std::string hex(); // finishes the digest; lower-case hex

private:
    void block(const std::uint8_t* p);

    std::uint32_t m_state[4];
    std::uint8_t m_buffer[64] = {};
    std::uint64_t m_length = 0;
};

} // namespace brisko::acedec::test
