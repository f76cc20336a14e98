#include "rardec/Ppmd.h"

#include "rardec/PpmdContextModel.h"

namespace brisko::rardec {

namespace {

// RAR's range decoder: a carry-less coder that keeps `low` (the 7z format's PPMd coder does not, and
// renormalises differently). It takes whole bytes from the bit input.
class RangeDecoder {
public:
    void start(BitInput& input) {
        m_input = &input;
        m_low = 0;
        m_range = 0xFFFFFFFF;
        m_code = 0;
        for (int i = 0; i < 4; ++i) {
            m_code = (m_code << 8) | input.byte();
        }
    }
    void use(BitInput& input) { m_input = &input; }

    bool threshold(std::uint32_t total, std::uint32_t& count) {
        m_range /= total;
        if (m_range == 0) { // a total above the range: no valid stream gets here
            return false;
        }
        count = (m_code - m_low) / m_range;
        return true;
    }

    bool decode(std::uint32_t start, std::uint32_t size) {
        m_low += start * m_range;
        m_range *= size;
        // Every pass either ends or shifts the range up a byte; a carry-less cut sets it below 2^15
        // (once in effect: a later cut leaves it as it is), so within a few passes the loop ends or
        // the range is 0, which no valid stream reaches.
        for (;;) {
            if ((m_low ^ (m_low + m_range)) >= kTop) {
                if (m_range >= kBottom) {
                    return true;
                }
                m_range = (0 - m_low) & (kBottom - 1);
            }
            if (m_range == 0) {
                return false;
            }
            m_code = (m_code << 8) | m_input->byte();
            m_range <<= 8;
            m_low <<= 8;
        }
    }

private:
    static constexpr std::uint32_t kTop = 1u << 24;
    static constexpr std::uint32_t kBottom = 1u << 15;

    BitInput* m_input = nullptr;
    std::uint32_t m_low = 0;
    std::uint32_t m_range = 0xFFFFFFFF;
    std::uint32_t m_code = 0;
};

} // namespace

struct PpmdModel::Impl {
    PpmdContextModel model;
    RangeDecoder coder;
};

PpmdModel::PpmdModel() : m_impl(std::make_unique<Impl>()) {}
PpmdModel::~PpmdModel() = default;

bool PpmdModel::restart(std::size_t memoryBytes, int maxOrder) {
    if (memoryBytes < PpmdHeap::kMinSize || memoryBytes > PpmdHeap::kMaxSize) {
        m_impl->model.release();
        return false;
    }
    return m_impl->model.restart(static_cast<std::uint32_t>(memoryBytes), maxOrder);
}

bool PpmdModel::valid() const {
    return m_impl->model.valid();
}

void PpmdModel::startBlock(BitInput& input) {
    m_impl->coder.start(input);
}

int PpmdModel::decodeSymbol(BitInput& input) {
    // Past its end the input reads as zeros, which would decode to something forever.
    if (input.overrun()) {
        m_impl->model.release();
        return -1;
    }
    m_impl->coder.use(input);
    return m_impl->model.decodeSymbol(m_impl->coder);
}

void PpmdModel::reset() {
    // The memory stays for the next restart of the same size: entries of an archive are decoded one
    // after another, and handing tens of MiB back and forth for each cost more than small entries.
    m_impl->model.invalidate();
}

} // namespace brisko::rardec
