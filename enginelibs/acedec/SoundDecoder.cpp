#include "acedec/SoundDecoder.h"

#include "acedec/DecodeError.h"

#include <cstdlib>

namespace brisko::acedec {

namespace {

constexpr unsigned kCodeWidth = 10;
constexpr std::size_t kSymbols = 290;
constexpr unsigned kRunCodes = 32;      // symbols 0..31 start a run of symbol+1 zero residuals
constexpr unsigned kSwitchSymbol = 288; // 32..287 are residuals

// Which channel each byte of a 4-byte group belongs to, per mode 3..6.
constexpr unsigned kChannelOf[4][4] = {{0, 0, 0, 0}, {0, 1, 0, 1}, {0, 1, 0, 2}, {1, 0, 2, 0}};
constexpr unsigned kChannelCount[4] = {1, 2, 3, 3};

int signed8(int v) {
    v &= 0xFF;
    return v >= 128 ? v - 256 : v;
}

// Significant bits of the magnitude of a signed byte given as 0..255.
int magnitudeBits(int index) {
    int v = index & 0xFF;
    if (v > 128) {
        v = 256 - v;
    }
    int n = 0;
    while (v != 0) {
        ++n;
        v >>= 1;
    }
    return n;
}

} // namespace

void SoundDecoder::reset(unsigned mode) {
    m_mode = mode;
    m_channels = kChannelCount[mode - 3];
    m_runPos = 0;
    m_symbolsLeft = 0;
    m_channel = {};
}

void SoundDecoder::readTables(BitReader& bits) {
    for (unsigned i = 0; i < 3 * m_channels; ++i) {
        m_models[i].read(bits, kCodeWidth, kSymbols);
    }
    m_symbolsLeft = bits.bits(15);
    if (m_symbolsLeft == 0) {
        corrupt("empty sound block");
    }
}

int SoundDecoder::predict(const Channel& c) {
    // Arithmetic shift of a signed sum: the model's own rounding.
    const int sum = 8 * c.last + c.k[0] * c.d[0] + c.k[1] * c.d[1] + c.k[2] * c.d[2] + c.k[3] * c.d[3];
    return (sum >> 3) & 0xFF;
}

void SoundDecoder::adapt(Channel& c, int sample) {
    ++c.count;
    const int x = signed8(predict(c) - sample) * 8;
    c.acc[0] += std::abs(x - c.d[0]);
    c.acc[1] += std::abs(x + c.d[0]);
    c.acc[2] += std::abs(x - c.d[1]);
    c.acc[3] += std::abs(x + c.d[1]);
    c.acc[4] += std::abs(x - c.d[2]);
    c.acc[5] += std::abs(x + c.d[2]);
    c.acc[6] += std::abs(x - c.d[3]);
    c.acc[7] += std::abs(x + c.d[3]);
    c.acc[8] += std::abs(x);
    c.cnt[0] += magnitudeBits(x / 8);
    c.cnt[1] += magnitudeBits(c.last - sample);
    const int delta = signed8(sample - c.last);
    c.last = sample;

    if (c.count % 32 == 0) {
        // The smallest accumulated error picks which coefficient to nudge; ties go to the lower index.
        int best = 8;
        for (int i = 7; i >= 0; --i) {
            if (c.acc[i] <= c.acc[best]) {
                best = i;
            }
        }
        c.acc = {};
        if (best != 8) {
            const int j = best >> 1;
            if (best % 2 == 0 && c.k[j] >= -16) {
                --c.k[j];
            } else if (best % 2 == 1 && c.k[j] <= 16) {
                ++c.k[j];
            }
        }
        if (c.count % 256 == 0) {
            for (int j = 0; j < 2; ++j) {
                c.cnt[j] -= c.prevCnt[j];
                c.prevCnt[j] = c.cnt[j];
            }
        }
    }
    c.d[3] = c.d[2];
    c.d[2] = c.d[1];
    c.d[1] = delta - c.d[0];
    c.d[0] = delta;
}

int SoundDecoder::decodeByte(BitReader& bits) {
    Channel& c = m_channel[kChannelOf[m_mode - 3][m_runPos % 4]];

    int residual = 0;
    if (c.state != 2) {
        if (m_symbolsLeft == 0) {
            readTables(bits);
        }
        --m_symbolsLeft;
        const unsigned channelIndex = static_cast<unsigned>(&c - m_channel.data());
        const unsigned model = 3 * channelIndex + (c.state == 1 ? 2 : static_cast<unsigned>(c.adaptUse));
        const unsigned symbol = m_models[model].decode(bits);
        if (symbol == kSwitchSymbol) {
            return kModeSwitch;
        }
        if (symbol > kSwitchSymbol) {
            corrupt("invalid sound symbol");
        }
        if (c.state == 0 && symbol < kRunCodes) {
            c.state = 2;
            c.runLeft = static_cast<int>(symbol);
        } else if (c.state == 0) {
            residual = static_cast<int>(symbol - kRunCodes);
            c.adaptCount = (c.adaptCount * 7 >> 3) + residual;
            c.adaptUse = c.adaptCount > 40 ? 1 : 0;
        } else {
            residual = static_cast<int>(symbol);
            c.state = 0;
        }
    }
    if (c.state == 2) {
        residual = 0;
        if (c.runLeft == 0) {
            c.state = 1;
        } else {
            --c.runLeft;
        }
    }

    // Residuals are sent folded: even codes are 0, 1, 2..., odd ones -1, -2, -3...
    const int r = (residual & 1) ? 255 - (residual >> 1) : residual >> 1;
    const int prediction = c.cnt[0] > c.cnt[1] ? (c.last & 0xFF) : predict(c);
    const int byte = (r + prediction) & 0xFF;
    adapt(c, signed8(byte));
    ++m_runPos;
    return byte;
}

} // namespace brisko::acedec
