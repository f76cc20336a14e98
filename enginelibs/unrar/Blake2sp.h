#pragma once

#include <blake2.h>
#include <cstddef>
#include <cstdint>

namespace brisko::enginelib::rar {

// BLAKE2sp, unkeyed, 32-byte digest: the checksum RAR 5 entries may carry instead of CRC-32.
class Blake2sp {
public:
    Blake2sp() { blake2sp_init(&m_state, kDigestSize); }
    void update(const std::uint8_t* data, std::size_t size) { blake2sp_update(&m_state, data, size); }
    void finish(std::uint8_t* digest) { blake2sp_final(&m_state, digest, kDigestSize); }

private:
    static constexpr std::size_t kDigestSize = 32;
    blake2sp_state m_state{};
};

} // namespace brisko::enginelib::rar
