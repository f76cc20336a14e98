#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace brisko::acedec {

// The history that matches copy from: a ring that grows with the reachable history up to 4 MiB, the
// largest dictionary the format allows, so one ring serves every member of a solid archive whatever
// their dictionary sizes, and small archives do not pay for the full size.
class Window {
public:
    static constexpr unsigned kMaxBits = 22;
    static constexpr std::size_t kMaxSize = std::size_t{1} << kMaxBits;

    Window() { grow(kInitialSize); }

    // Starts a member. Without `keepHistory` the bytes before it are out of reach, as in an archive
    // that is not solid.
    void startMember(bool keepHistory) {
        if (!keepHistory) {
            m_floor = m_total;
        }
    }

    // How far back a match may reach.
    std::uint64_t history() const {
        const std::uint64_t available = m_total - m_floor;
        return available < kMaxSize ? available : kMaxSize;
    }

    void put(std::uint8_t byte) {
        reserve(1);
        m_data[m_total++ & m_mask] = byte;
    }

    void put(const std::uint8_t* bytes, std::size_t count) {
        reserve(count);
        for (std::size_t i = 0; i < count; ++i) {
            m_data[(m_total + i) & m_mask] = bytes[i];
        }
        m_total += count;
    }

    // Appends `length` bytes copied from `distance` bytes back (1 = the last byte), byte by byte so
    // that an overlapping copy repeats a pattern, and also writes them to `out`. The caller has checked
    // 1 <= distance <= history().
    void copy(std::size_t distance, std::size_t length, std::uint8_t* out) {
        reserve(length);
        std::size_t from = static_cast<std::size_t>(m_total - distance) & m_mask;
        std::size_t to = static_cast<std::size_t>(m_total) & m_mask;
        for (std::size_t i = 0; i < length; ++i) {
            const std::uint8_t b = m_data[from];
            m_data[to] = b;
            out[i] = b;
            from = (from + 1) & m_mask;
            to = (to + 1) & m_mask;
        }
        m_total += length;
    }

private:
    static constexpr std::size_t kInitialSize = std::size_t{1} << 16;

    // Makes room for `count` more bytes without overwriting any byte a match may still reach.
    void reserve(std::size_t count) {
        if (m_size < kMaxSize && m_total - m_floor + count > m_size) {
            std::size_t size = m_size;
            while (size < kMaxSize && m_total - m_floor + count > size) {
                size *= 2;
            }
            grow(size);
        }
    }

    void grow(std::size_t size) {
        // Left uninitialised: only bytes already written are ever read (history() bounds every match).
        auto data = std::make_unique_for_overwrite<std::uint8_t[]>(size);
        const std::size_t mask = size - 1;
        const std::uint64_t kept = m_total - m_floor < m_size ? m_total - m_floor : m_size;
        for (std::uint64_t i = m_total - kept; i < m_total; ++i) {
            data[i & mask] = m_data[i & m_mask];
        }
        m_data = std::move(data);
        m_size = size;
        m_mask = mask;
    }

    std::unique_ptr<std::uint8_t[]> m_data;
    std::size_t m_size = 0;
    std::size_t m_mask = 0;
    std::uint64_t m_total = 0; // bytes ever written
    std::uint64_t m_floor = 0; // the first byte matches may reach
};

} // namespace brisko::acedec
