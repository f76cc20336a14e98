#pragma once

#include "acedec/BitReader.h"
#include "acedec/HuffmanTable.h"

#include <array>
#include <cstdint>

namespace brisko::acedec {

// The SOUND modes of ACE 2.0: audio samples as residuals of an adaptive linear predictor per channel,
// with Huffman-coded residuals and zero runs.
class SoundDecoder {
public:
    static constexpr int kModeSwitch = -1;

    // Starts the model afresh for `mode` (3 SOUND_8, 4 SOUND_16, 5 SOUND_32A, 6 SOUND_32B).
    void reset(unsigned mode);

    // Starts a run in the current model (after any mode switch, even to the same mode): the byte
    // position that picks the channel counts from zero again.
    void startRun() { m_runPos = 0; }

    // Decodes the next byte, or returns kModeSwitch when the stream switches modes.
    int decodeByte(BitReader& bits);

private:
    struct Channel {
        int state = 0; // 0 normal, 1 after a zero run, 2 inside a zero run
        int runLeft = 0;
        int adaptCount = 0;
        int adaptUse = 0;
        int last = 0; // the previous sample, signed
        std::array<int, 4> d{};
        std::array<int, 4> k{};
        std::array<int, 9> acc{};
        std::array<int, 2> cnt{};
        std::array<int, 2> prevCnt{};
        std::uint32_t count = 0;
    };

    static int predict(const Channel& c);
    static void adapt(Channel& c, int sample);
    void readTables(BitReader& bits);

    unsigned m_mode = 3;
    unsigned m_channels = 1;
    unsigned m_runPos = 0;
    unsigned m_symbolsLeft = 0;
    std::array<Channel, 3> m_channel{};
    std::array<HuffmanTable, 9> m_models; // three per channel
};

} // namespace brisko::acedec
