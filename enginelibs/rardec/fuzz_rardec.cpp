// Feeds arbitrary bytes to one of the RAR decoders (chosen at build time by RARDEC_FUZZ_VERSION) as
// an entry's packed data, twice: once as a stream of its own and once continued as a solid entry.
// The first four bytes give the unpacked size to ask for (at most 4 MiB). Any crash, sanitizer
// report, hang or runaway allocation is a bug; what comes out is not checked (the engine checks the
// CRC).
#include "rardec/Decoder.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>

namespace {

using namespace brisko::rardec;

class Bytes : public PackedInput {
public:
    Bytes(const std::uint8_t* data, std::size_t size) : m_data(data), m_size(size) {}
    long read(std::uint8_t* out, std::size_t size) override {
        const std::size_t n = std::min(size, m_size - m_at);
        std::copy_n(m_data + m_at, n, out);
        m_at += n;
        return static_cast<long>(n);
    }

private:
    const std::uint8_t* m_data;
    std::size_t m_size;
    std::size_t m_at = 0;
};

class Counter : public Output {
public:
    bool write(const std::uint8_t*, std::size_t size) override {
        total += size;
        return true;
    }
    std::uint64_t total = 0;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 4) {
        return 0;
    }
    const std::uint32_t unpacked =
        (std::uint32_t(data[0]) | std::uint32_t(data[1]) << 8 | std::uint32_t(data[2]) << 16) & 0x3FFFFF;
    const bool dictionaryLarge = (data[3] & 1) != 0;
    data += 4;
    size -= 4;
    auto decoder = makeDecoder(RARDEC_FUZZ_VERSION, dictionaryLarge ? (std::size_t(4) << 20) : (std::size_t(1) << 16));
    if (!decoder) {
        return 0;
    }
    for (const bool solid : {false, true}) {
        Bytes input(data, size);
        Counter output;
        const Status status = decoder->decode(input, size, unpacked, solid, output);
        if (status != Status::Ok) {
            break;
        }
    }
    return 0;
}
