#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

#include "rardec/BitWriter.h"
#include "rardec/Decoder.h"

// What the RAR decoder tests share: the input and output ends a decoder is run between.
namespace brisko::test {

// The bytes in chunks of at most 1000; -1 (a read error) once `failAt` is reached.
class BytesInput : public rardec::PackedInput {
public:
    explicit BytesInput(const std::vector<std::uint8_t>& bytes, std::size_t failAt = SIZE_MAX)
        : m_bytes(bytes), m_failAt(failAt) {}
    long read(std::uint8_t* out, std::size_t size) override {
        if (m_at >= m_failAt) {
            return -1;
        }
        const std::size_t n = std::min({size, m_failAt - m_at, m_bytes.size() - m_at, std::size_t(1000)});
        std::copy_n(m_bytes.data() + m_at, n, out);
        m_at += n;
        return static_cast<long>(n);
    }

private:
    const std::vector<std::uint8_t>& m_bytes;
    std::size_t m_failAt;
    std::size_t m_at = 0;
};

// Keeps what it is given; asks to stop once `stopAfter` bytes have come.
class Collect : public rardec::Output {
public:
    explicit Collect(std::size_t stopAfter = SIZE_MAX) : m_stopAfter(stopAfter) {}
    bool write(const std::uint8_t* data, std::size_t size) override {
        ++writes;
        bytes.insert(bytes.end(), data, data + size);
        return bytes.size() < m_stopAfter;
    }
    std::vector<std::uint8_t> bytes;
    int writes = 0;

private:
    std::size_t m_stopAfter;
};

struct Decoded {
    rardec::Status status;
    std::vector<std::uint8_t> bytes;
};

inline Decoded Decode(rardec::Decoder& decoder, const std::vector<std::uint8_t>& packed, std::uint64_t size,
                      bool solid = false) {
    BytesInput input(packed);
    Collect output;
    const rardec::Status status = decoder.decode(input, packed.size(), size, solid, output);
    return {status, std::move(output.bytes)};
}

} // namespace brisko::test
