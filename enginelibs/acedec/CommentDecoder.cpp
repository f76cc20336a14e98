#include "acedec/CommentDecoder.h"

#include "acedec/BitReader.h"
#include "acedec/DecodeError.h"
#include "acedec/HuffmanTable.h"

#include <array>

namespace brisko::acedec {

std::optional<std::string> decodeComment(std::span<const std::uint8_t> packed) {
    try {
        MemoryByteStream stream(packed.data(), packed.size());
        BitReader bits(stream, packed.size());
        const std::size_t length = bits.bits(15);
        HuffmanTable table;
        table.read(bits, 11, 285);

        std::string out;
        out.reserve(length);
        // Where the last pair of bytes with each sum was seen; a match copies from there.
        std::array<std::uint32_t, 511> lastSeen{};
        std::size_t source = 0;
        while (out.size() < length) {
            if (out.size() >= 2) {
                const unsigned sum = static_cast<unsigned char>(out[out.size() - 1]) +
                                     static_cast<unsigned char>(out[out.size() - 2]);
                source = lastSeen[sum];
                lastSeen[sum] = static_cast<std::uint32_t>(out.size());
            }
            const unsigned symbol = table.decode(bits);
            if (symbol < 256) {
                out += static_cast<char>(symbol);
                continue;
            }
            if (source >= out.size()) {
                return std::nullopt;
            }
            const std::size_t count = std::min<std::size_t>(symbol - 256 + 2, length - out.size());
            for (std::size_t i = 0; i < count; ++i) {
                out += out[source + i];
            }
        }
        return out;
    } catch (const DecodeError&) {
        return std::nullopt;
    }
}

} // namespace brisko::acedec
