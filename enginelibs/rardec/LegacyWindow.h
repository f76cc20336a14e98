#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "rardec/BitInput.h"
#include "rardec/Decoder.h"

namespace brisko::rardec {

// The history of the RAR 1.5 and 2.0 decoders: a circular window that every produced byte passes
// through on its way to the Output. Bytes leave in order, a window-full at a time, before anything
// could overwrite them. A match may only reach back over bytes this stream has produced (a solid
// stream keeps its history from entry to entry).
class LegacyWindow {
public:
    // `size` is a power of two.
    explicit LegacyWindow(std::size_t size);

    // A new stream: no history.
    void reset();

    // An entry of `size` bytes begins; its bytes go to `output`. Writes past `size` are dropped.
    void beginEntry(std::uint64_t size, Output& output);
    bool entryDone() const { return m_done == m_wanted; }

    void put(std::uint8_t byte);
    // Copies `length` bytes starting `distance` back (overlapping copies repeat the pattern). False
    // for a distance of 0 or one reaching before the stream's first byte or beyond the window.
    bool copy(std::uint32_t distance, std::uint32_t length);

    // Hands what is still held over to the output. False when the output asked to stop, then or
    // during an earlier automatic hand-over (see stopped()).
    bool finish();
    // The output refused bytes; nothing more is written for this entry.
    bool stopped() const { return m_stopped; }

    // Calls `step` (false: damaged data) until the entry begun last is whole, then hands the rest
    // over: Ok, or why the entry ends early (input that failed or ran out, damage, a stopped output).
    template <typename Step>
    Status decodeEntry(BitInput& in, Step step) {
        while (!entryDone()) {
            if (in.failed()) {
                return Status::ReadError;
            }
            if (in.overrun()) {
                return Status::Corrupt;
            }
            if (stopped()) {
                return Status::Stopped;
            }
            if (!step()) {
                return Status::Corrupt;
            }
        }
        if (in.failed()) {
            return Status::ReadError;
        }
        return finish() ? Status::Ok : Status::Stopped;
    }

private:
    void flush();

    std::vector<std::uint8_t> m_data;
    std::size_t m_mask;
    std::size_t m_pos = 0;       // where the next byte goes
    std::size_t m_pending = 0;   // bytes before m_pos not yet handed over
    std::uint64_t m_history = 0; // bytes produced by this stream, all entries
    std::uint64_t m_wanted = 0;
    std::uint64_t m_done = 0;
    Output* m_output = nullptr;
    bool m_stopped = false;
};

} // namespace brisko::rardec
