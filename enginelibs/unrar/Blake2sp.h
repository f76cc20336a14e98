#pragma once

#include <cstddef>
#include <cstdint>

namespace brisko::enginelib::rar {

// BLAKE2s (RFC 7693) with the tree parameters BLAKE2sp needs; unkeyed, 32-byte digest.
class Blake2s {
public:
    Blake2s() : Blake2s(0, 0, false) {}
    // A node of the BLAKE2sp tree: `offset` is the leaf index, `depth` 0 for leaves, 1 for the root.
    Blake2s(std::uint32_t offset, int depth, bool lastNode);
    void update(const std::uint8_t* data, std::size_t size);
    void finish(std::uint8_t* digest);

private:
    void compress(const std::uint8_t* block, bool last);

    std::uint32_t m_h[8];
    std::uint8_t m_buffer[64] = {};
    std::size_t m_used = 0;
    std::uint64_t m_count = 0;
    bool m_lastNode;
};

// BLAKE2sp: eight BLAKE2s leaves fed 64-byte blocks in turn, and a root over their digests.
class Blake2sp {
public:
    Blake2sp();
    void update(const std::uint8_t* data, std::size_t size);
    void finish(std::uint8_t* digest);

private:
    Blake2s m_leaves[8];
    std::uint8_t m_buffer[8 * 64] = {};
    std::size_t m_used = 0;
};

} // namespace brisko::enginelib::rar
