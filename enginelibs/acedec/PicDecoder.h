#pragma once

#include "acedec/BitReader.h"

#include <array>
#include <cstdint>
#include <vector>

namespace brisko::acedec {

// The PIC mode of ACE 2.0: image rows predicted from the row above and the pixel to the left,
// with context-selected predictors and Golomb-Rice coded residuals.
class PicDecoder {
public:
    // The widest row accepted. The compressor never makes rows over 16 KiB; anything far beyond is
    // hostile and must not size an allocation.
    static constexpr std::uint32_t kMaxRowWidth = 1u << 20;
    static constexpr std::uint32_t kMaxPlanes = 4;

    // Starts the model afresh: reads the row width and plane count that follow the switch into PIC.
    // Throws DecodeError(Corrupt) for a width of 0 or over kMaxRowWidth, or 0 or over kMaxPlanes planes.
    void start(BitReader& bits);

    // Reads the bit that announces a row and decodes the row. False when the bit announces a mode
    // switch instead.
    bool decodeRow(BitReader& bits);

    // The row last decoded.
    const std::uint8_t* row() const { return m_current.data() + m_planes; }
    std::uint32_t width() const { return m_width; }

private:
    struct Context {
        int used = 0;
        int avg = 4;
        int pred = 0;
        std::array<int, 4> err{};
    };
    static constexpr int kContexts = 365;

    static std::uint32_t rice(BitReader& bits, unsigned k, std::uint32_t limit);
    void decodePlane(BitReader& bits, std::uint32_t plane);

    std::uint32_t m_width = 0;
    std::uint32_t m_planes = 1;
    // Rows with m_planes zero cells on both sides, so neighbours outside the row read as 0.
    std::vector<std::uint8_t> m_previous;
    std::vector<std::uint8_t> m_current;
    std::array<std::array<Context, kContexts>, 2> m_contexts{}; // plane 0; planes 1 and up
};

} // namespace brisko::acedec
