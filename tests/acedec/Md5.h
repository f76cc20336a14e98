#pragma once

#include <cstdint>
#include <span>
#include <string>

#include <nettle/md5.h>

// MD5 of extracted bytes, to compare with the checksums listed next to the sample archives (nettle's).
namespace brisko::acedec::test {

class Md5 {
public:
    Md5() { md5_init(&m_context); }
    void update(std::span<const std::uint8_t> bytes) { md5_update(&m_context, bytes.size(), bytes.data()); }
    std::string hex(); // finishes the digest; lower-case hex

private:
    md5_ctx m_context;
};

} // namespace brisko::acedec::test
