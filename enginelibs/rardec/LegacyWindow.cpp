#include "rardec/LegacyWindow.h"

#include <algorithm>

namespace brisko::rardec {

LegacyWindow::LegacyWindow(std::size_t size) : m_data(size), m_mask(size - 1) {}

void LegacyWindow::reset() {
    m_pos = 0;
    m_pending = 0;
    m_history = 0;
}

void LegacyWindow::beginEntry(std::uint64_t size, Output& output) {
    m_wanted = size;
    m_done = 0;
    m_output = &output;
    m_stopped = false;
    m_pending = 0;
}

void LegacyWindow::flush() {
    if (m_pending == 0 || m_stopped) {
        m_pending = 0;
        return;
    }
    // The pending bytes end at m_pos and may wrap around the window's start.
    const std::size_t start = (m_pos - m_pending) & m_mask;
    const std::size_t first = std::min(m_pending, m_data.size() - start);
    bool ok = m_output->write(m_data.data() + start, first);
    if (ok && first < m_pending) {
        ok = m_output->write(m_data.data(), m_pending - first);
    }
    m_pending = 0;
    m_stopped = !ok;
}

void LegacyWindow::put(std::uint8_t byte) {
    if (m_done == m_wanted || m_stopped) {
        return;
    }
    m_data[m_pos] = byte;
    m_pos = (m_pos + 1) & m_mask;
    ++m_done;
    ++m_history;
    if (++m_pending == m_data.size()) {
        flush();
    }
}

bool LegacyWindow::copy(std::uint32_t distance, std::uint32_t length) {
    if (distance == 0 || distance > m_history || distance > m_data.size()) {
        return false;
    }
    const std::uint64_t count = std::min<std::uint64_t>(length, m_wanted - m_done);
    for (std::uint64_t i = 0; i < count && !m_stopped; ++i) {
        put(m_data[(m_pos - distance) & m_mask]);
    }
    return true;
}

bool LegacyWindow::finish() {
    flush();
    return !m_stopped;
}

} // namespace brisko::rardec
