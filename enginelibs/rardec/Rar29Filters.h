#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <vector>

#include "rardec/Decoder.h"

// The filters of RAR 2.9 streams. RAR 3.x/4.x sends them as byte-code programs for a small virtual
// machine, but only ever the same six programs; those are recognised by their checksum and run natively.
// Any other program is refused.
namespace brisko::rardec::rar29 {

enum class FilterKind : std::uint8_t { E8, E8E9, Itanium, Delta, Rgb, Audio };

// The memory a filter works in: its block at offset 0, and for the transforms that do not work in
// place, their output right behind the block.
inline constexpr std::size_t kFilterMemory = 0x40000;
// The largest block a filter takes (the rest of the memory belongs to the machine's globals).
inline constexpr std::uint32_t kMaxFilterBlock = 0x3C000;

// One filter waiting for its block of the (solid) stream.
struct PendingFilter {
    FilterKind kind = FilterKind::E8;
    std::uint64_t start = 0;  // absolute position in the stream of decoded bytes
    std::uint32_t length = 0; // of the block, at most kMaxFilterBlock
    std::uint32_t r0 = 0;     // the program's first two registers: channels, or row width and
    std::uint32_t r1 = 0;     // the position of red in a pixel
};

// Which standard program `code` is (by length and checksum), if any.
std::optional<FilterKind> identifyProgram(const std::uint8_t* code, std::size_t size);

// Runs `filter` on the block in memory[0, length) (memory holds kFilterMemory bytes; length is the
// filter's). `fileOffset` is the number of bytes of the entry written before the block. On success
// the filtered block is at memory + *outputAt (0 or length). False when the filter's parameters do
// not fit the block (a damaged stream).
bool runFilter(const PendingFilter& filter, std::uint8_t* memory, std::uint32_t fileOffset,
               std::uint32_t* outputAt);

// The programs a stream has defined and the filters waiting for their blocks, in stream order.
// Filters never overlap: a filter starts at or after the end of the one before it, or it chains to
// it (same block, run on the previous filter's output).
class FilterQueue {
public:
    // Reads one filter record: its flags byte and the `size` data bytes that followed it.
    // `streamPosition` is the number of bytes decoded so far in the stream. `droppedPending` tells
    // whether the record deleted every program and pending filter (even if it then failed).
    Status add(std::uint8_t flags, const std::uint8_t* data, std::size_t size, std::uint64_t streamPosition,
               bool* droppedPending);

    // Forgets every program and pending filter (a non-solid start).
    void clear();

    bool empty() const { return m_pending.empty(); }
    const PendingFilter& front() const { return m_pending.front(); }
    void pop() { m_pending.pop_front(); }

private:
    struct Program {
        FilterKind kind;
        std::uint32_t lastLength; // a filter that does not give its block length reuses this
    };

    std::vector<Program> m_programs;
    std::deque<PendingFilter> m_pending;
    std::size_t m_lastProgram = 0; // a record without a program number uses this one
};

} // namespace brisko::rardec::rar29
