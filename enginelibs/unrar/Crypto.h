#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include <nettle/aes.h>

// The checksums and ciphers of the two RAR generations.
namespace brisko::enginelib::rar {

// The usual reflected CRC-32 (polynomial 0xEDB88320), continued from `crc` (0 to start).
std::uint32_t crc32(std::uint32_t crc, const void* data, std::size_t size);

// RAR 3.x/4.x: AES-128 key and CBC IV from a UTF-8 password and an 8-byte salt (null: no salt).
struct Rar3Key {
    std::uint8_t key[16];
    std::uint8_t iv[16];
};
Rar3Key deriveRar3Key(std::string_view password, const std::uint8_t* salt);

// RAR 5: the AES-256 key, the key for checksum MACs and the 8-byte password check, from a UTF-8
// password, a 16-byte salt and log2 of the PBKDF2 iteration count.
struct Rar5Keys {
    std::uint8_t key[32];
    std::uint8_t hashKey[32];
    std::uint8_t check[8];
};
Rar5Keys deriveRar5Keys(std::string_view password, const std::uint8_t* salt, int log2Count);

// The form a RAR 5 archive stores a CRC-32 or a BLAKE2sp digest in when its encryption record asks
// for MAC-tweaked checksums.
std::uint32_t macCrc(const std::uint8_t* hashKey, std::uint32_t crc);
void macDigest(const std::uint8_t* hashKey, const std::uint8_t* digest, std::uint8_t* out);

// AES-CBC decryption (16- or 32-byte key) that keeps its chain between calls, so a stream split at
// block boundaries decrypts as one.
class CbcDecryptor {
public:
    CbcDecryptor(const std::uint8_t* key, std::size_t keySize, const std::uint8_t* iv);
    // In place; `size` is a multiple of 16.
    void decrypt(std::uint8_t* data, std::size_t size);

private:
    bool m_aes256;
    aes128_ctx m_ctx128{};
    aes256_ctx m_ctx256{};
    std::uint8_t m_iv[16];
};

} // namespace brisko::enginelib::rar
