#include "rardec/Rar20Audio.h"

#include <cstdlib>

namespace brisko::rardec {

void Rar20Audio::reset() {
    m_channels.fill(Channel{});
    m_channelDelta = 0;
}

std::uint8_t Rar20Audio::decode(unsigned channel, std::uint8_t delta) {
    Channel& st = m_channels[channel % kMaxChannels];
    st.d[3] = st.d[2];
    st.d[2] = st.d[1];
    st.d[1] = st.lastDelta - st.d[0];
    st.d[0] = st.lastDelta;
    const int prediction = (8 * int(st.lastByte) + st.k[0] * st.d[0] + st.k[1] * st.d[1] + st.k[2] * st.d[2] +
                            st.k[3] * st.d[3] + st.k[4] * m_channelDelta) >>
                           3;
    const unsigned byte = unsigned(prediction - int(delta)) & 0xFF;

    // The error the coder saw, and what it would have been with each weight one step either way.
    const int error = int(static_cast<std::int8_t>(delta)) * 8;
    st.dif[0] += unsigned(std::abs(error));
    for (unsigned i = 0; i < 4; ++i) {
        st.dif[1 + 2 * i] += unsigned(std::abs(error - st.d[i]));
        st.dif[2 + 2 * i] += unsigned(std::abs(error + st.d[i]));
    }
    st.dif[9] += unsigned(std::abs(error - m_channelDelta));
    st.dif[10] += unsigned(std::abs(error + m_channelDelta));

    st.lastDelta = static_cast<std::int8_t>(byte - st.lastByte);
    m_channelDelta = st.lastDelta;
    st.lastByte = byte;

    if ((++st.count & 31) == 0) {
        unsigned best = 0;
        for (unsigned i = 1; i < 11; ++i) {
            if (st.dif[i] < st.dif[best]) {
                best = i;
            }
        }
        for (unsigned& dif : st.dif) {
            dif = 0;
        }
        if (best != 0) {
            int& k = st.k[(best - 1) / 2];
            if (best % 2 == 1) {
                k -= k >= -16 ? 1 : 0;
            } else {
                k += k < 16 ? 1 : 0;
            }
        }
    }
    return static_cast<std::uint8_t>(byte);
}

} // namespace brisko::rardec
