#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

// The ciphers RAR used before AES, for entries of RAR 1.5-4.x archives written by RAR 1.3 to 2.x.
namespace brisko::enginelib::rar {

enum class LegacyCipherKind {
    Rar13, // byte stream
    Rar15, // byte stream
    Rar20, // 16-byte blocks
};

// The cipher of an entry whose file header has flag 0x0004 (encrypted), chosen by its UnpVer: 13 is
// RAR 1.3's, 15 RAR 1.5's, 20 and 26 RAR 2.0's. Nothing for 29 and above (AES-128, see Crypto.h)
// nor for any other value, which no known RAR writes. These ciphers take no salt: a salt flag
// (0x0400) on such an entry does not change the key.
std::optional<LegacyCipherKind> legacyCipherFor(unsigned unpackVersion);

// Decrypts one entry's packed bytes in order. Make one per entry, also within a solid archive: the
// key state starts from the password alone at every entry and runs on through the entry's bytes,
// across volume boundaries. The password is used as the bytes given (RAR took them in the
// creator's code page, so only ASCII passwords are sure to match); RAR 2.0 uses the first 127.
//
// RAR 2.0 works on 16-byte blocks. RAR pads every encrypted entry's packed data to whole blocks
// (its packed size includes the padding), so an intact entry always divides evenly; the decoder
// stops at the unpacked size and never looks at the padding's content.
class LegacyCipher {
public:
    LegacyCipher(LegacyCipherKind kind, std::string_view password);

    LegacyCipherKind kind() const { return m_kind; }
    // 1 for the byte ciphers, 16 for RAR 2.0.
    std::size_t blockSize() const { return m_kind == LegacyCipherKind::Rar20 ? 16 : 1; }

    // Decrypts in place the longest prefix of `data` that is a whole number of blocks and returns
    // its length (`size` for the byte ciphers). The caller presents the remaining bytes again at the
    // front of its next call. A tail still left when the entry's data ends (a damaged archive) cannot
    // be decrypted; the caller treats it as damage.
    std::size_t decrypt(std::uint8_t* data, std::size_t size);

    // RAR 2.0's block function in the encrypting direction, which the key setup runs over the
    // password; exposed so that tests can check that it and decryption are inverse.
    void encryptBlock(std::uint8_t* block);

private:
    void decryptBlock(std::uint8_t* block);
    void rar20Block(std::uint8_t* block, bool encrypt);
    void setupRar20(std::string_view password);

    LegacyCipherKind m_kind;
    // RAR 1.3 and 1.5: the running keys (RAR 1.3 uses the low 8 bits).
    std::uint16_t m_key[4] = {};
    // RAR 2.0: the round keys and the substitution table.
    std::uint32_t m_roundKey[4] = {};
    std::array<std::uint8_t, 256> m_subst{};
};

} // namespace brisko::enginelib::rar
