#include "acedec/PicDecoder.h"

#include "acedec/DecodeError.h"

#include <cstdlib>

namespace brisko::acedec {

namespace {

// Residuals of real images are -128..127 (codes up to 255); the cap only keeps hostile unary runs
// from overflowing.
constexpr std::uint32_t kMaxResidualCode = 1u << 16;

int bitLength(unsigned v) {
    int n = 0;
    while (v != 0) {
        ++n;
        v >>= 1;
    }
    return n;
}

// Gradient quantiser for the context: 0, 1..2, 3..6, 7..20, 21 and up, with sign.
int quantise(int v) {
    const int a = std::abs(v);
    int q = 0;
    if (a >= 21) {
        q = 4;
    } else if (a >= 7) {
        q = 3;
    } else if (a >= 3) {
        q = 2;
    } else if (a >= 1) {
        q = 1;
    }
    return v < 0 ? -q : q;
}

// Cost of a prediction error given as a byte: the bits its folded code would take.
int errorCost(int byte) {
    const int v = byte >= 128 ? byte - 256 : byte;
    return v >= 0 ? bitLength(static_cast<unsigned>(2 * v)) : bitLength(static_cast<unsigned>(-2 * v - 1));
}

} // namespace

std::uint32_t PicDecoder::rice(BitReader& bits, unsigned k, std::uint32_t limit) {
    std::uint32_t v = bits.bits(k);
    while (bits.bits(1) != 0) {
        v += 1u << k;
        if (v > limit) {
            corrupt("invalid PIC code");
        }
    }
    return v;
}

void PicDecoder::start(BitReader& bits) {
    const std::uint32_t width = rice(bits, 12, kMaxRowWidth);
    const std::uint32_t planes = rice(bits, 2, kMaxPlanes);
    if (width == 0 || planes == 0) {
        corrupt("invalid PIC header");
    }
    m_width = width;
    m_planes = planes;
    m_previous.assign(width + 2 * planes, 0);
    m_current.assign(width + 2 * planes, 0);
    m_contexts = {};
}

bool PicDecoder::decodeRow(BitReader& bits) {
    if (bits.bits(1) == 0) {
        return false;
    }
    m_previous.swap(m_current);
    for (std::uint32_t p = 0; p < m_planes; ++p) {
        decodePlane(bits, p);
    }
    return true;
}

void PicDecoder::decodePlane(BitReader& bits, std::uint32_t plane) {
    const int mode = plane == 0 ? 0 : static_cast<int>(bits.bits(2));
    if (mode == 3) {
        corrupt("invalid PIC predictor");
    }
    auto& contexts = m_contexts[plane == 0 ? 0 : 1];
    // After the swap in decodeRow, m_previous holds the row above; both are offset by m_planes.
    const std::uint8_t* prev = m_previous.data() + m_planes;
    std::uint8_t* cur = m_current.data() + m_planes;
    const int w = static_cast<int>(m_width);
    const int step = static_cast<int>(m_planes);

    // Planes after the first are predicted as differences to the plane before (mode 1) or to a scaled
    // copy of it (mode 2); the neighbours are taken in that same domain.
    auto adjusted = [&](int i) -> int {
        switch (mode) {
        case 1:
            return (prev[i] - prev[i - 1] + 128) & 0xFF;
        case 2:
            return (prev[i] - (prev[i - 1] * 11 >> 4) + 128) & 0xFF;
        default:
            return prev[i];
        }
    };

    const int start = mode == 0 ? 0 : 128;
    int a = start;
    int b = start;
    int c = start;
    int x = start;
    int d = adjusted(static_cast<int>(plane));
    for (int col = static_cast<int>(plane); col < w; col += step) {
        c = a;
        a = d;
        b = x;
        d = adjusted(col + step);

        Context& ctx = contexts[std::abs(81 * quantise(d - a) + 9 * quantise(a - c) + quantise(c - b))];
        ++ctx.used;
        const int k = bitLength(static_cast<unsigned>(ctx.avg / ctx.used));
        const std::uint32_t u = rice(bits, static_cast<unsigned>(k), kMaxResidualCode);
        const int eps = (u & 1) ? -static_cast<int>(u >> 1) - 1 : static_cast<int>(u >> 1);

        const int predictions[4] = {a, b, (a + b) >> 1, (a + b - c) & 0xFF};
        x = (eps + predictions[ctx.pred]) & 0xFF;

        int best = 0;
        for (int j = 0; j < 4; ++j) {
            ctx.err[j] += errorCost((x - predictions[j]) & 0xFF);
        }
        for (int j = 1; j < 4; ++j) {
            if (ctx.err[j] < ctx.err[best]) {
                best = j;
            }
        }
        ctx.pred = best;
        if (ctx.err[0] > 127 || ctx.err[1] > 127 || ctx.err[2] > 127 || ctx.err[3] > 127) {
            for (int& e : ctx.err) {
                e >>= 1;
            }
        }
        ctx.avg += std::abs(eps);
        if (ctx.used == 128) {
            ctx.used = 64;
            ctx.avg >>= 1;
        }

        switch (mode) {
        case 1:
            cur[col] = static_cast<std::uint8_t>((x + cur[col - 1] - 128) & 0xFF);
            break;
        case 2:
            cur[col] = static_cast<std::uint8_t>((x + (cur[col - 1] * 11 >> 4) - 128) & 0xFF);
            break;
        default:
            cur[col] = static_cast<std::uint8_t>(x);
            break;
        }
    }
}

} // namespace brisko::acedec
