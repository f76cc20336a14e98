#pragma once

#include <array>
#include <cstdint>

namespace brisko::rardec {

// The multimedia mode of RAR 2.0: per channel, a linear predictor over the last deltas whose five
// weights adapt every 32 bytes towards whichever would have erred least. The stream codes the
// difference between prediction and byte. Up to four channels, interleaved byte by byte; one
// delta is shared across channels.
class Rar20Audio {
public:
    static constexpr unsigned kMaxChannels = 4;

    // All channels back to silence (a fresh stream).
    void reset();
    // The byte that `delta`, decoded for `channel` (below kMaxChannels), stands for.
    std::uint8_t decode(unsigned channel, std::uint8_t delta);

private:
    struct Channel {
        int k[5] = {}; // weights of D1..D4 and of the shared delta
        int d[4] = {}; // D1..D4: the last delta and its differences
        int lastDelta = 0;
        unsigned dif[11] = {}; // how each weight nudge would have fared
        unsigned count = 0;
        unsigned lastByte = 0;
    };
    std::array<Channel, kMaxChannels> m_channels{};
    int m_channelDelta = 0;
};

} // namespace brisko::rardec
