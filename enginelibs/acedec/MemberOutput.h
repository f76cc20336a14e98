#pragma once

#include "acedec/Crc32.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

namespace brisko::acedec {

// Collects a member's decoded bytes, keeps their CRC and hands them on in large chunks. The consumer
// returns false to stop; write() then throws DecodeError(Cancelled).
class MemberOutput {
public:
    using Consumer = std::function<bool(std::span<const std::uint8_t>)>;

    explicit MemberOutput(const Consumer* consumer);

    void write(const std::uint8_t* bytes, std::size_t count);
    void write(std::uint8_t byte) {
        m_buffer.push_back(byte);
        if (m_buffer.size() >= kFlushSize) {
            flush();
        }
    }
    // Hands on whatever is buffered.
    void flush();

    // Bytes written so far.
    std::uint64_t position() const { return m_flushed + m_buffer.size(); }
    std::uint32_t crc() const;

private:
    static constexpr std::size_t kFlushSize = 64 * 1024;

    const Consumer* m_consumer; // may be null: bytes are only counted and checked
    std::vector<std::uint8_t> m_buffer;
    std::uint64_t m_flushed = 0;
    std::uint32_t m_crc = kCrcStart;
};

} // namespace brisko::acedec
