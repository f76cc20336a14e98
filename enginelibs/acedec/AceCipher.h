#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace brisko::acedec {

// The encryption of ACE members: a Blowfish variant (altered starting tables) keyed with a 160-bit
// hash of the password, in CBC mode with a zero IV that restarts at every member.
class AceCipher {
public:
    static constexpr std::size_t kMaxPassword = 50; // longer passwords are cut, as the archiver does

    explicit AceCipher(std::string_view password);

    // The 160-bit key: one SHA-0-style block over the password, words read little-endian, the bit
    // length in the last word, no second block.
    static std::array<std::uint32_t, 5> deriveKey(std::string_view password);

    // Restarts the CBC chain (each member's data starts with a zero IV).
    void restart() { m_chain = {0, 0}; }

    // Decrypts `size` bytes in place (a multiple of 8), continuing the chain.
    void decrypt(std::uint8_t* data, std::size_t size);

    // One block, words as numbers.
    void encryptBlock(std::uint32_t& left, std::uint32_t& right) const;
    void decryptBlock(std::uint32_t& left, std::uint32_t& right) const;

    // The subkeys after the schedule (for checking against known values).
    const std::array<std::uint32_t, 18>& subkeys() const { return m_p; }
    std::uint32_t sbox(std::size_t box, std::size_t index) const { return m_s[box][index]; }

private:
    std::uint32_t round(std::uint32_t x) const {
        return ((m_s[0][x >> 24] + m_s[1][(x >> 16) & 0xFF]) ^ m_s[2][(x >> 8) & 0xFF]) + m_s[3][x & 0xFF];
    }

    static const std::array<std::uint32_t, 18> kInitialP;
    static const std::array<std::array<std::uint32_t, 256>, 4> kInitialS;

    std::array<std::uint32_t, 18> m_p;
    std::array<std::array<std::uint32_t, 256>, 4> m_s;
    std::array<std::uint32_t, 2> m_chain{};
};

} // namespace brisko::acedec
