#include "acedec/MemberOutput.h"

#include "acedec/DecodeError.h"

#include <algorithm>

namespace brisko::acedec {

MemberOutput::MemberOutput(const Consumer* consumer) : m_consumer(consumer) {
    m_buffer.reserve(kFlushSize);
}

void MemberOutput::write(const std::uint8_t* bytes, std::size_t count) {
    while (count > 0) {
        const std::size_t n = std::min(count, kFlushSize - std::min(kFlushSize, m_buffer.size()));
        if (n == 0) {
            flush();
            continue;
        }
        m_buffer.insert(m_buffer.end(), bytes, bytes + n);
        bytes += n;
        count -= n;
        if (m_buffer.size() >= kFlushSize) {
            flush();
        }
    }
}

void MemberOutput::flush() {
    if (m_buffer.empty()) {
        return;
    }
    m_crc = aceCrc32(m_buffer, m_crc);
    m_flushed += m_buffer.size();
    const bool goOn = !m_consumer || !*m_consumer || (*m_consumer)(m_buffer);
    m_buffer.clear();
    if (!goOn) {
        fail(Status::Cancelled, "stopped by the caller");
    }
}

std::uint32_t MemberOutput::crc() const {
    return aceCrc32(m_buffer, m_crc);
}

} // namespace brisko::acedec
