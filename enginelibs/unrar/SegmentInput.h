#pragma once

#include <memory>
#include <optional>
#include <vector>

#include "rardec/Decoder.h"
#include "unrar/PlainStream.h"

namespace brisko::enginelib::rar {

// An entry's data as our decoders read it: the segment's pieces across the volumes, decrypted when
// the segment says so, up to its length.
class SegmentInput : public rardec::PackedInput {
public:
    SegmentInput(Volumes& volumes, const Segment& segment);
    ~SegmentInput() override;

    long read(std::uint8_t* out, std::size_t size) override;

    // True when a volume could not be read.
    bool volumeFailed() const { return m_volumeFailed; }

private:
    Volumes& m_volumes;
    const Segment& m_segment;
    std::uint64_t m_done = 0;
    std::unique_ptr<CbcDecryptor> m_cipher;
    std::optional<LegacyCipher> m_legacy;
    std::vector<std::uint8_t> m_block; // decrypted bytes not yet handed out (a cipher block's tail)
    std::size_t m_blockAt = 0;
    bool m_volumeFailed = false;
};

} // namespace brisko::enginelib::rar
